// The media player a result window docks into its viewer panel: plays a
// downloaded call recording or voice mail, saves it, and shows the call
// attached data of a call recording.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>

class QAction;
class QLabel;

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
};
