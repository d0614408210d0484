// The user manual: Markdown pages compiled into the program, shown in one
// help window with a contents list and a search box. Every window names its
// page, so F1 (and a dialog's Help button) opens the part that explains it.
#pragma once

#include <QStringList>
#include <QWidget>

class QLineEdit;
class QListView;
class QSortFilterProxyModel;
class QStandardItemModel;
class QTextBrowser;

class TfrmManual : public QWidget {
    Q_OBJECT
public:
    explicit TfrmManual(QWidget* Parent = nullptr);

    // Shows a page by its name ("player", or the file name "player.md");
    // false, and the first page shown instead, for a name the manual lacks.
    bool ShowPage(const QString& Page);
    QString CurrentPage() const { return FCurrentPage; }
    // How many places of the page shown are marked for the search text.
    int MarkedCount() const { return FMarked; }

    QLineEdit* edSearch = nullptr;
    QListView* lvContents = nullptr;
    QTextBrowser* tbPage = nullptr;

private:
    void Search(const QString& Text);
    void OpenSelected();
    void MarkSearchText();

    QStandardItemModel* FPages = nullptr;
    QSortFilterProxyModel* FFound = nullptr;
    QString FCurrentPage;
    int FMarked = 0;
};

// The page names in contents order.
QStringList ManualPages();

// Opens the manual at Page above the window From belongs to, or above the
// dialog that holds the input now, so it can be read beside a modal dialog.
// There is one manual window; a second call moves it and turns its page.
TfrmManual* ShowManual(QWidget* From, const QString& Page);

// Names the manual page that explains Window; for a dialog also makes F1
// open it there.
void SetManualPage(QWidget* Window, const QString& Page);
// The page of the nearest window around Widget that names one; "index"
// when none does.
QString ManualPageFor(const QWidget* Widget);
