#include "ViewerWindows.h"

#include "Main.h"
#include "QueryBuilder.h"

void InstallViewerWindows() {
    TfrmMain::RunQueryBuilder = [] { RunQueryBuilder(); };
}
