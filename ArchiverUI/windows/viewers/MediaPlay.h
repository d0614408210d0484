// The media player a result window docks into its viewer panel: plays a
// downloaded call recording or voice mail, saves it, and shows the call
// attached data of a call recording.
#pragma once

#include "JobHandle.h"

#include <QString>
#include <QWidget>

#include <functional>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QSplitter;
class QTimer;
class QSlider;
class QToolButton;
class QTreeView;
class TCADModel;
class TLinkLabel;
class TMCIPlayer;
class TWaveTrackBar;
class TWaveformReader;

// Posted by the player to itself after the operator moved the track bar.
inline constexpr int WM_PLAY_AFTER_SEEK = 0x669;

enum TActionAfterMediaLoad { amlaPlay, amlaSaveAs };

class TfrmMediaPlayer : public QWidget {
    Q_OBJECT
public:
    explicit TfrmMediaPlayer(QWidget* Owner);
    ~TfrmMediaPlayer() override;

    // The downloaded audio file; another name closes the current media.
    QString Sound() const;
    void SetSound(const QString& FileName);
    // Opens Sound with the record's file extension ("wav", "mp3", ...);
    // then plays or saves, whichever was asked last.
    void LoadFile(const QString& FileExtension);
    // The result window browses: plays only when Autoplay is on.
    void Play();
    // Closes the device and deletes the file.
    void CloseMedia();
    void SetProgressCaption(const QString& Value);
    // Date and time of the record, for the proposed file name.
    void SetDateTimeStr(const QString& Value);
    bool Autostart() const;
    bool Playing() const;
    // A key from the result list: Space plays or pauses, Backspace rewinds.
    void ProcessKey(int Key);
    // Loads the call attached data of a call (no busy check).
    void CADQuery(const QString& GcId);
    void CancelQuery();
    // A call attached data query is running.
    bool Busy() const;

    // Asks the owner to download the record; it later calls SetSound and
    // LoadFile.
    std::function<void(QObject* Sender)> OnGetMedia;
    // The player closed itself.
    std::function<void(QObject* Sender)> OnClose;

    QLabel* lbParticipants = nullptr;
    QWidget* pnlCAD = nullptr;
    QAction* aPlay = nullptr;

    // Beyond what the result window uses.
    QString DateTimeStr() const { return FDateTimeStr; }
    QString ProgressCaption() const;
    bool IsMp3() const { return FMP3; }
    void SetAutostart(bool Value);
    TActionAfterMediaLoad AfterLoad() const { return FAfterLoad; }
    TMCIPlayer* MCI() const { return FMCI; }
    TWaveformReader* Waveform() const { return FWaveform; }
    // Skips by Ms milliseconds (negative: back) within the recording.
    void Skip(int Ms);
    // The proposed name of Save As for the current date and time text.
    QString ProposedFileName() const;

    QWidget* pnlMediaPlayer = nullptr;
    TLinkLabel* lPlay = nullptr;
    TLinkLabel* lPause = nullptr;
    TLinkLabel* lStop = nullptr;
    TLinkLabel* lSaveAs = nullptr;
    QLabel* lbDownload = nullptr;
    QLabel* lbRecordTime = nullptr;
    QLabel* lbTime = nullptr;
    QCheckBox* cbAutostart = nullptr;
    TWaveTrackBar* TrackBar1 = nullptr;
    QToolButton* btnSkipBack = nullptr;
    QToolButton* btnPlay = nullptr;
    QToolButton* btnPause = nullptr;
    QToolButton* btnStop = nullptr;
    QToolButton* btnSkipForward = nullptr;
    QToolButton* btnMute = nullptr;
    QSlider* tbVolume = nullptr;
    QComboBox* cbSpeed = nullptr;
    QSplitter* Splitter1 = nullptr;
    QTreeView* lvCADValues = nullptr;
    QTimer* Timer1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* aPause = nullptr;
    QAction* aStop = nullptr;
    QAction* aClose = nullptr;
    QAction* aAutostart = nullptr;
    QAction* aSave = nullptr;
    QAction* aSkipBack = nullptr;
    QAction* aMute = nullptr;
    QAction* aSkipForward = nullptr;

    static constexpr int TimerInterval = 200;
    static constexpr int SkipMs = 5000;

protected:
    bool event(QEvent* Event) override;
    void hideEvent(QHideEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
    void contextMenuEvent(QContextMenuEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;

private:
    void AdjustUpperPanel();
    void CreateControls();
    void aPlayExecute();
    void aPauseExecute();
    void aStopExecute();
    void aSaveExecute();
    void SetTrackBar(int Value);
    void MediaNotify();
    void ShowUnplayable();
    void VolumeChanged();
    void Timer1Timer();
    void TrackBar1Change(int Value);
    void UpdateState();
    void CopyToSaveTarget(const QString& FileExtension);
    void ConnectCADJob();
    void AddCADRows(const IPC_DA_DBClient::TSelectResult& Result);

    TMCIPlayer* FMCI = nullptr;
    TWaveformReader* FWaveform = nullptr;
    TCADModel* FCADModel = nullptr;
    QString FFileName;
    bool FSeekEnabled = true;
    TJobHandle* FCADJob = nullptr;
    // The first result of a query replaces the list, later batches add to it.
    bool FCADFirstBatch = true;
    TActionAfterMediaLoad FAfterLoad = amlaPlay;
    QString FDateTimeStr;
    bool FMP3 = false;
    // Where Save As copies the recording once it is downloaded.
    QString FSaveFileName;
    QString FSaveDefaultExt;
};
