#include "ViewerWindows.h"

#include "Main.h"
#include "QueryBuilder.h"
#include "QueryResult.h"
#include "SearchDlg.h"
#include "VQQuery.h"

void InstallViewerWindows() {
    TfrmMain::RunQueryBuilder = [] { RunQueryBuilder(); };
    TfrmMain::ShowSearchDialog = [] { ShowSearchDialog(); };
    TfrmMain::IsServerBusy = [] { return IsServerBusy(); };
    // A query the operator executes in the query builder opens its own
    // result window, which runs it.
    ExecuteNewQuery = [](TVQQuery& Query) {
        TfrmQueryResult* Window = NewResultWindow();
        Window->Query().Assign(Query);
        Window->Query().SetTitle(Query.Title());
        Window->setWindowTitle(Query.Title());
        Window->ExecuteQuery();
    };
}
