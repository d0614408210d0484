// Wires the window areas together: the frame's actions run the query
// builder and the text search, a confirmed query opens a result window, and
// the busy test sees every result window and the query builder. The
// program calls it once before its main window is created; the window
// tests call it too.
#pragma once

void InstallViewerWindows();
