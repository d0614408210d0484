// The fax browser a result window docks into its viewer panel: copies a
// downloaded fax to a file with its own extension, shows its pages and
// hands it to the desktop.
#pragma once

#include <QMenu>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

class QAction;
class QLabel;
class QMenu;
class QToolButton;
class TFaxPages;

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

    // Beyond what the result window uses.
    QString ProgressCaption() const;
    // Opens the fax with the desktop's application for its kind.
    void OpenFax();
    // The desktop's actions for the fax, at Global (screen coordinates);
    // nothing without a fax. The menu stays reachable through FileMenu
    // while it is open.
    void ShowFileMenu(const QPoint& Global);
    QMenu* FileMenu() const { return FFileMenu; }
    // Whether the desktop offers its own "open with" chooser here.
    static bool DesktopOffersChooser();

    QAction* aOpen = nullptr;
    QAction* aAdditional = nullptr;
    QToolButton* btnOpen = nullptr;
    QToolButton* btnAdditional = nullptr;
    QLabel* lbDownload = nullptr;
    TFaxPages* Pages = nullptr;

protected:
    void hideEvent(QHideEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
    void contextMenuEvent(QContextMenuEvent* Event) override;

private:
    void UpdateActions();
    void SaveCopy();
    void OpenWithChooser();

    QString FFax;
    bool FAutoOpen = false;
    QPointer<QMenu> FFileMenu;
};
