// Audio playback for the media player: TMCIPlayer, a thin object that
// drives an audio device through text commands ("open ... alias ...",
// "status ... position", "seek ... to ..."), and TMCICommandDevice, the
// device of our own that answers those commands over Qt Multimedia.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>

enum TMCIMode { mciPlaying, mciStopped, mciPaused, mciUnknown };

// Answers media command texts for the aliases it opened:
//   open FILE [type waveaudio|mpegvideo] [alias NAME]
//   close NAME|all
//   play NAME [from MS] [to MS], pause NAME, resume NAME, stop NAME
//   seek NAME to MS|start|end
//   set NAME time format milliseconds|ms, set NAME speed N (1000 = normal)
//   setaudio NAME volume to N (0 to 1000), setaudio NAME off|on (mute)
//   status NAME length|position|mode|speed|ready|failed|time format|device type
// Keywords and aliases are compared without regard to case. The file name
// of an open may stand quoted or unquoted, blanks included. Lengths and
// positions are milliseconds; modes "playing", "paused", "stopped" and
// "not ready" while the media is still loading without a play pending.
// The waveaudio type opens RIFF wave files only; mpegvideo anything the
// media back end plays.
class TMCICommandDevice : public QObject {
    Q_OBJECT
public:
    explicit TMCICommandDevice(QObject* Owner = nullptr);
    ~TMCICommandDevice() override;

    // Runs one command. On success the answer (at most 256 characters,
    // possibly empty) goes to Answer; on failure Answer is empty and the
    // reason is kept for LastError.
    bool SendString(const QString& Command, QString* Answer = nullptr);
    QString LastError() const { return FLastError; }
    QStringList Aliases() const;
    // How often a stalled output was started afresh or ended.
    int Restarts() const { return FRestarts; }

    static constexpr int MaxAnswer = 256;
    // A playing media whose position stands still this long is restarted
    // where it stands, or ends when it stands within EndSlack of its end.
    static constexpr int StallLimit = 2500;
    static constexpr int EndSlack = 2000;
    static constexpr int WatchInterval = 500;

signals:
    // The media of Alias reached its end or failed while playing.
    void Notify(const QString& Alias);

private:
    struct TMedia;
    TMedia* Find(const QString& Alias);
    bool Fail(const QString& Why);
    bool Open(const QString& Arguments, QString& Answer);
    bool Close(const QString& Alias);
    bool Status(TMedia& M, const QString& Item, QString& Answer);
    bool Set(TMedia& M, const QString& Item);
    void Seek(TMedia& M, qint64 Ms);
    void Play(TMedia& M);
    static qint64 Length(const TMedia& M);
    static qint64 Position(const TMedia& M);

    void Watch();

    std::map<QString, std::unique_ptr<TMedia>> FDevices;
    QString FLastError;
    class QTimer* FWatch = nullptr;
    int FRestarts = 0;
};

class TMCIPlayer : public QObject {
    Q_OBJECT
public:
    explicit TMCIPlayer(QObject* Owner = nullptr);
    ~TMCIPlayer() override;

    // Opens the file on the device its extension asks for ("wav": wave
    // audio, anything else: the MPEG device); closes an open file first.
    // True when the file is open afterwards.
    bool Open(const QString& WavFileName, const QString& FileExtension);
    void Close();
    void Play();
    void Stop();
    void Pause();
    void Resume();
    TMCIMode Mode() const;

    bool Opened() const { return FOpened; }
    int MediaLength() const { return FMediaLength; }
    bool Paused() const { return Mode() == mciPaused; }
    // True pauses, false resumes.
    void SetPaused(bool Value);
    // Milliseconds; 0 while stopped.
    int Position() const;
    void SetPosition(int Value);
    // Thousandths of the normal speed.
    int Speed() const;
    void SetSpeed(int Thousandths);
    // Volume in percent and mute, kept for every file opened later too.
    void SetVolume(int Percent, bool Muted);
    int Volume() const { return FVolume; }
    bool Muted() const { return FMuted; }
    // The open file turned out to be one the back end cannot play (a
    // damaged recording); known once it tried.
    bool Failed() const;

    const QString& DeviceName() const { return FDeviceName; }
    TMCICommandDevice* Device() const { return FDevice; }

    // Builds the command from Pattern (its "%S" and "%d" in order) and
    // sends it; the answer, or empty when the command failed.
    QString Command(const char* Pattern, const QString& First = {},
                    const QString& Second = {}) const;

signals:
    // The device's media ended or failed.
    void MediaNotify();

private:
    TMCICommandDevice* FDevice;
    bool FOpened = false;
    QString FDeviceName;
    int FMediaLength = 0;
    int FVolume = 100;
    bool FMuted = false;

    void ApplyVolume() const;
};
