#include "ViewerWindows.h"

#include "Main.h"
#include "QueryBuilder.h"
#include "QueryResult.h"
#include "SearchDlg.h"
#include "VQQuery.h"

#include <QFileInfo>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTimer>

TViewerWindows::TViewerWindows(TfrmMain& Main) : QObject(&Main), FMain(Main) {
    setObjectName(QStringLiteral("ViewerWindows"));
    connect(&Main, &TfrmMain::NewQueryRequested, this, &TViewerWindows::RunQueryBuilder);
    connect(&Main, &TfrmMain::SearchTextRequested, this,
            [this] { ShowSearchDialog(ActiveResultWindow()); });
}

TViewerWindows* InstallViewerWindows(TfrmMain& Main) {
    if (auto* Existing = Main.findChild<TViewerWindows*>(QString(), Qt::FindDirectChildrenOnly))
        return Existing;
    return new TViewerWindows(Main);
}

TfrmQueryResult* TViewerWindows::NewResultWindow() {
    auto* Window = new TfrmQueryResult;
    Window->SetTitleSource([this](const QString& Base) { return FMain.AutoQueryTitle(Base); });
    // Queued: the window that passes the turn is still winding up its job.
    connect(Window, &TfrmQueryResult::TurnEnded, this, &TViewerWindows::RunPendingOperation,
            Qt::QueuedConnection);
    connect(Window, &TfrmQueryResult::SearchDialogRequested, this,
            [this, Window] { ShowSearchDialog(Window); });
    // A window that closes with a job leaves the turn to the others.
    connect(Window, &QObject::destroyed, this, &TViewerWindows::RunPendingOperation,
            Qt::QueuedConnection);
    QMdiSubWindow* Child = FMain.AddChild(Window);
    // Most of the frame, so that the list shows a screenful and its
    // columns at once; cascading keeps the next window's title in view.
    const QSize Area = FMain.ClientArea()->viewport()->size();
    const QSize Least = Child->minimumSizeHint();
    Child->resize(qMax(Least.width(), qMin(Area.width() - 40, 1100)),
                  qMax(Least.height(), qMin(Area.height() - 40, 760)));
    return Window;
}

TfrmQueryResult* TViewerWindows::OpenQueryFile(const QString& FileName) {
    TVQQuery Query;
    Query.LoadFromFile(FileName);
    if (Query.HasError())
        throw EQueryResultError(QStringLiteral("The query \"%1\" cannot be executed:\n%2")
                                    .arg(FileName, Query.ErrorReason()));
    TfrmQueryResult* Window = NewResultWindow();
    Window->Query().Assign(Query);
    Window->Query().SetTitle(QFileInfo(FileName).completeBaseName());
    Window->setWindowTitle(Window->Query().Title());
    Window->ExecuteQuery();
    return Window;
}

QList<TfrmQueryResult*> TViewerWindows::ResultWindows() const {
    QList<TfrmQueryResult*> Result;
    for (QMdiSubWindow* Child : FMain.MDIChildren())
        if (auto* W = qobject_cast<TfrmQueryResult*>(Child->widget()))
            Result.append(W);
    return Result;
}

TfrmQueryResult* TViewerWindows::ActiveResultWindow() const {
    if (QMdiSubWindow* Child = FMain.ClientArea()->currentSubWindow())
        return qobject_cast<TfrmQueryResult*>(Child->widget());
    return nullptr;
}

void TViewerWindows::RunPendingOperation() {
    if (IsServerBusy())
        return;
    for (TfrmQueryResult* W : ResultWindows())
        if (W->RunFirstPendingOperation())
            return;
}

void TViewerWindows::RunQueryBuilder() {
    TVQQuery Query;
    if (!::RunQueryBuilder(&FMain, FMain.AutoQueryTitle(QStringLiteral("Query ")), Query))
        return;
    TfrmQueryResult* Window = NewResultWindow();
    Window->Query().Assign(Query);
    Window->Query().SetTitle(Query.Title());
    Window->setWindowTitle(Query.Title());
    Window->ExecuteQuery();
}

TdlgSearch* TViewerWindows::SearchDialog() const {
    return FSearch.data();
}

void TViewerWindows::ShowSearchDialog(TfrmQueryResult* Target) {
    if (FSearch.isNull()) {
        // Owned by the main window, which keeps it centred over itself; it
        // keeps its history and options from one search to the next.
        FSearch = new TdlgSearch(&FMain);
        FSearch->SetNewWindowSource([this] { return NewResultWindow(); });
    }
    FSearch->ShowFor(Target);
}
