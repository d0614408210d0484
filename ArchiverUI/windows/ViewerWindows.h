// The go-between of the viewer's windows. The main window, the query
// builder, the text search dialog and the result windows do not know one
// another: each tells what it wants by a signal, and this object, owned by
// the main window, answers: it opens the builder and the search, opens a
// result window for a confirmed query or a query file, and gives the turn
// to the operations the result windows deferred while the server was busy.
// The program makes one for its main window; the window tests do too.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class TfrmMain;
class TfrmQueryResult;
class TdlgSearch;

class TViewerWindows : public QObject {
    Q_OBJECT
public:
    // Belongs to Main and connects its commands.
    explicit TViewerWindows(TfrmMain& Main);

    // A new result window as a child of the main window.
    TfrmQueryResult* NewResultWindow();
    // Opens a result window for a query file and executes it; raises the
    // file's error (no window is opened then).
    TfrmQueryResult* OpenQueryFile(const QString& FileName);
    // The open result windows, in the main window's child order.
    QList<TfrmQueryResult*> ResultWindows() const;
    // Runs the first deferred operation of the result windows, in child
    // order: one operation a call.
    void RunPendingOperation();

    // The main window's "Query Builder": a confirmed query opens its own
    // result window, which runs it.
    void RunQueryBuilder();
    // The text search dialog for Target (the active result window when
    // the main window asks; none: results go to a new window).
    void ShowSearchDialog(TfrmQueryResult* Target);
    // The dialog, once it has been shown (it lives with the main window).
    TdlgSearch* SearchDialog() const;

private:
    TfrmQueryResult* ActiveResultWindow() const;

    TfrmMain& FMain;
    QPointer<TdlgSearch> FSearch;
};

// The go-between of Main (made on first call).
TViewerWindows* InstallViewerWindows(TfrmMain& Main);
