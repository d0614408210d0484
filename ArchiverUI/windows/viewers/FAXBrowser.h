// The fax browser a result window docks into its viewer panel: copies a
// downloaded fax to a file with its own extension and hands it to the
// desktop.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>

class QLabel;

class TfrmFaxBrowser : public QWidget {
    Q_OBJECT
public:
    explicit TfrmFaxBrowser(QWidget* Owner);
    ~TfrmFaxBrowser() override;

    // Value is the result window's temporary file; the copy goes into a
    // folder beside it. Opens the copy when AutoOpen is set.
    void SetFax(const QString& Value, const QString& FileExtension);
    // The copy's full name, empty if none.
    QString FAX() const;
    // Empties the progress text and releases the file.
    void Clear();
    // Deletes the copy and its folder.
    void ReleaseFile();
    bool AutoOpen() const;
    // Setting it also asks the owner for the fax (OnGetFax).
    void SetAutoOpen(bool Value);
    void SetProgressCaption(const QString& Value);

    std::function<void(QObject* Sender)> OnGetFax;
    std::function<void(QObject* Sender)> OnClose;

    QLabel* lbParticipants = nullptr;
};
