// The query result window: a child document of the main window that runs
// one query (or shows one text search's hits) through the connection
// controller, lists one row per record, filters the rows by a tree of
// views, sorts them, keeps selection and marks per view across
// re-execution, downloads the marked records into its own temporary file
// and hands them to the message view, the media player or the fax browser.
//
// QueryResult.cpp holds the window, its commands and jobs;
// QueryResultList.cpp the list (rows, filter, sort, views, selection,
// marks); QueryResultViewers.cpp the viewers and the downloads;
// QueryResultExport.cpp the evidence packages, the list export and the
// time zone the list's times are shown in.
#pragma once

#include "CommonData.h"
#include "DataCache.h"
#include "EvidenceExport.h"
#include "JobHandle.h"
#include "ViewItem.h"
#include "ViewStorage.h"

#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringDecoder>
#include <QWidget>

#include <memory>
#include <stdexcept>
#include <vector>

class QAction;
class QItemSelection;
class QLabel;
class QMenu;
class QModelIndex;
class QSplitter;
class QSplitterHandle;
class QTimer;
class QToolBar;
class QTreeView;
class TfrmFaxBrowser;
class TfrmMediaPlayer;
class TfrmMessageView;
class TResultListModel;
class TResultListView;
class TSearchOptions;
class TEvidenceRun;
class TJobHandle;
class TStatusPanel;
class TTempFileStream;
class TViewTreeModel;
class TVQQuery;
struct TViewNode;

// Posted by a result window to itself: open the pop-up menu at WParam, LParam.
inline constexpr int WM_SHOW_POPUP = 0x1114;

// Operations that wait until no result window and no query builder has a
// job running. soExport: the next step of an evidence export.
enum TServerOperation : quint8 {
    soExecuting = 0,
    soText = 1,
    soMedia = 2,
    soFax = 3,
    soDeleting = 4,
    soExport = 5
};
using TServerOperations = quint8;
constexpr TServerOperations OperationBit(TServerOperation Op) {
    return TServerOperations(1u << Op);
}

// Errors a result window raises to the operator (record limit, memory).
class EQueryResultError : public std::runtime_error {
public:
    explicit EQueryResultError(const QString& Message);
};

class TfrmQueryResult : public QWidget {
    Q_OBJECT
public:
    explicit TfrmQueryResult(QWidget* Owner = nullptr);
    ~TfrmQueryResult() override;

    // The window's query; its title is the window's caption.
    TVQQuery& Query() const { return *FQuery; }
    // Set for a search result window.
    TSearchOptions* SearchOptions() const { return FSearchOptions.get(); }
    bool ChangeSearch() const { return FChangeSearch; }
    bool IsSearchRes() const { return FSearchOptions != nullptr; }

    // Runs the query and lists its records; waits while the server is busy.
    void ExecuteQuery();
    // Turns the window into the result of a text search and runs it.
    void ShowSearchResult(const TSearchOptions& Options);
    void RunSearchQuery();
    // The window's download file: the private temporary folder and FTFBase.
    QString TempFileName() const;
    void SetErrorText(const QString& S);

    // The visible position of the first visible row of a record, or -1.
    int ViewItemByMediaID(quint32 MediaId) const;
    // The ids of the visible rows of one media type (7: every type), in
    // visible order, and only the selected ones if SelectedOnly.
    void GetMediaIds(QList<quint32>& List, int MediaType, bool SelectedOnly) const;
    // Marks or unmarks a row (a position in the window's rows) by the rules
    // of the marks: recordings and faxes one at a time, messages of one type.
    void SetMarked(int Row, bool Value);

    // The running job, or none; deferred operations.
    const TVQArcCache* Cache() const;
    bool JobRunning() const;
    TServerOperations Operations() const { return FOperations; }
    // Runs the first deferred operation of this window; false when none.
    bool RunFirstPendingOperation();
    // Defers an operation until the server is free.
    void AddOperation(TServerOperation Op);
    // A job of this window ended: the deferred operations may run, those
    // of the windows before this one first (TurnEnded tells whoever keeps
    // the windows; a window on its own runs its own).
    void PassTurn();
    // Where the window takes a title from when a search result comes into
    // it untitled: the next free one of the program for a base text.
    void SetTitleSource(std::function<QString(const QString& Base)> Source) {
        FTitleSource = std::move(Source);
    }

    // --- evidence packages and the list export -----------------------------
    // The records an evidence package of this window holds: the marked and
    // the selected ones, in visible order.
    QList<quint32> ExportRecordIds() const;
    // Asks for the package's file and exports those records into it.
    void aExportEvidenceExecute();
    // Exports the records into FileName without asking (what the command
    // does once the file is chosen).
    void ExportEvidence(const QList<quint32>& Ids, const QString& FileName);
    // The running export, or none; its job counts as this window's.
    TEvidenceRun* EvidenceRun() const { return FEvidence.get(); }
    bool EvidenceJobRunning() const;
    // How the last export of this window ended, or none.
    const TEvidenceResult* LastEvidence() const { return FLastEvidence.get(); }
    // Asks for a file and writes the visible rows into it as CSV.
    void aExportListExecute();
    // The CSV of the visible rows, in their current order.
    QByteArray ListCsv() const;
    // "Times in <zone> (UTC+hh:mm)": the status bar's zone panel.
    void UpdateZonePanel();

    // --- the list -----------------------------------------------------------
    const TViewItemList& AllItems() const { return FAllItems; }
    const std::vector<quint32>& VisibleItems() const { return FVisibleItems; }
    // Positions in AllItems of the marked rows, by media id.
    const std::vector<quint32>& BrowseList() const { return FBrowseList; }
    int SelCount() const { return FSelCount; }
    const QString& SessionID() const { return FSessionID; }
    int CurMedia() const { return FCurMedia; }
    const QString& CurUser() const { return FCurUser; }
    int LastSortedColumn() const { return FLastSortedColumn; }
    TViewStorage* ViewStorage() const { return FViewStorage.get(); }
    TResultListModel* ListModel() const { return FListModel; }
    TViewTreeModel* TreeModel() const { return FTreeModel; }
    // The order of this window's rows. Each window keeps its own, so the
    // header's arrow always tells how the rows it stands over are sorted.
    bool SortAscending() const { return FSortAscending; }

    void SortItems();
    void ColumnClick(int Column);
    void ApplyViewFilter(const QString& User, int Media);
    void BuildViewTree();
    // Selects a node of the tree as the operator would.
    void SelectNode(const TViewNode* Node);
    void SaveView(TViewStorage& Memory);
    void RestoreView(TViewStorage* Memory);
    void BrowseSelection();
    void MarkSession(int Position, const QString& Session, qint64 Seconds, qint64 Time);
    void MarkSelected();
    void UnmarkAll();
    void BeginBrowseUpdate();
    void EndBrowseUpdate();
    // Selects the rows at these visible positions (the rest deselected),
    // as a click would, and makes the first one current.
    void SelectRows(const QList<int>& Positions);

    // --- commands -----------------------------------------------------------
    void aRefreshExecute();
    void aChangeQueryExecute();
    void aCancelJobExecute();
    void aSelectAllExecute();
    void aMarkAllExecute();
    void aUnmarkAllExecute();
    void aBrowseBlobExecute();
    void ActionList1Update();

    // --- viewers and downloads ----------------------------------------------
    void UpdateBrowse();
    void Browse(bool Refresh);
    void ShowMarked();
    void ShowViewer();
    void ShowMediaPlayer();
    void ShowMsgViewer();
    void ShowFAXBrowser();
    void ShowText();
    void CloseViewer();
    void ViewerClosed();
    void RunMediaPlayer(const QString& FileName, const QString& FileExtension);
    void RunFaxBrowser(const QString& FileName, const QString& FileExtension);
    void FetchMessages();
    void FetchMedia();
    void FetchFax(QObject* Sender);

    // --- jobs ---------------------------------------------------------------
    void RunJob(Operation Kind, const QString& Sql);
    void RunJob(Operation Kind, const TIDs& Ids);
    void CancelCurrentJob();

    // Controls and actions, by their form names.
    QToolBar* ToolBar1 = nullptr;
    QSplitter* Splitter = nullptr;
    QSplitterHandle* Splitter1 = nullptr;
    QSplitterHandle* Splitter2 = nullptr;
    QTreeView* TreeView1 = nullptr;
    TResultListView* lvResults = nullptr;
    QWidget* Panel1 = nullptr;
    QLabel* lbPanel1 = nullptr;
    QWidget* StatusBar1 = nullptr;
    QList<TStatusPanel*> StatusPanels;
    QMenu* PopupMenu1 = nullptr;
    QAction* aChangeQuery = nullptr;
    QAction* aRefresh = nullptr;
    QAction* aBrowseBlob = nullptr;
    QAction* aCancelJob = nullptr;
    QAction* aSelectAll = nullptr;
    QAction* aMarkAll = nullptr;
    QAction* aUnmarkAll = nullptr;
    QAction* aExportEvidence = nullptr;
    QAction* aExportList = nullptr;
    QAction* aClose = nullptr;
    TImageList StateImages{20, 20};
    TImageList SortingImages{20, 20};
    // The viewers, owned and docked in Panel1.
    TfrmMessageView* FMsgViewer = nullptr;
    TfrmMediaPlayer* FMediaPlayer = nullptr;
    TfrmFaxBrowser* FFAXBrowser = nullptr;

    QString StatusText(int Panel) const;

signals:
    // A downloaded recording or fax stands complete in FileName.
    void DownloadFinished(quint32 MediaId, const QString& FileName);
    // An evidence export of this window ended (LastEvidence says how).
    void EvidenceExported();
    // See PassTurn.
    void TurnEnded();
    // Change query on a search result: the text search dialog, for this
    // window.
    void SearchDialogRequested();

protected:
    bool event(QEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;

private:
    friend class TQueryResultAccess;
    friend class TEvidenceRun;

    void FormCreate();
    // The commands are set again whenever something they depend on changes.
    void FollowCommandState();
    void ScheduleUpdate();
    void CreateActions();
    void CreateExportActions();
    void EvidenceFinished();
    void CreateControls();
    void CreateImages();
    void SetPanel(int Panel, const QString& Text);

    // Window messages and the job's outcomes.
    void WMServerChanged();
    void WMShowPopup(const TDBMessage& Message);
    void ConnectJob();
    void JobFinished();
    void JobFailed(const QString& Text);
    void JobEnded(const QString& Status);
    void EmptyList();
    void ResetList();
    void DownloadData(quint32 RecId, const char* Bytes, quint32 Length);
    void DownloadDone();

    // Rows.
    void ReceiveRows(const IPC_DA_DBClient::TSelectResult& Result);
    void FlushRowCount();
    int AddIfVisible(int Row);
    void ClearRows();
    void ClearSelectionFlags();
    void BeginListChange();
    void EndListChange();
    void SyncSelectionToView();
    void OnSelectionChanged(const QItemSelection& Selected, const QItemSelection& Deselected);
    int CurrentPosition() const;
    void SetCurrentPosition(int Position, bool Scroll);
    void Repaint();
    void AddToBrowseList(int Row);
    void RemoveFromBrowseList(int Row);

    // The tree.
    void TreeView1Changing(const TViewNode* Node);
    void TreeView1Change(const TViewNode* Node);
    void OnTreeCurrentChanged(const QModelIndex& Current, const QModelIndex& Previous);
    TViewStorage* NodeMemory(const TViewNode* Node, bool Create) const;

    // Mouse and keys of the list.
    void lvResultsMouseDown(QMouseEvent* Event);
    void lvResultsMouseUp(QMouseEvent* Event);
    void lvResultsDblClick(QMouseEvent* Event);
    bool lvResultsKeyDown(QKeyEvent* Event);
    void lvResultsKeyUp(QKeyEvent* Event);

    // Jobs.
    void StartJob(Operation Kind, const QString* Sql, const TIDs* Ids);
    void CloseTempFile();
    void FinishText();
    bool ViewerShown(const QWidget* Viewer) const;
    int FirstMarkedType() const;

    std::unique_ptr<TVQQuery> FQuery;
    TJobHandle* FJob = nullptr;
    // Why the window gave up a download itself (its file could not be
    // written); the job's cancel then ends it as failed.
    QString FFailure;
    // The list is emptied when the query's job starts.
    bool FResetOnStart = false;
    TServerOperations FOperations = 0;
    QTimer* FPendingTimer = nullptr;
    // Tells the list of rows that arrived below the screen.
    QTimer* FRowCountTimer = nullptr;
    QTimer* FUpdateTimer = nullptr;
    int FDownloadRecID = -1;
    std::unique_ptr<TTempFileStream> FTempFile;
    QString FTFBase;
    QString FTempFolder;
    std::unique_ptr<TSearchOptions> FSearchOptions;
    bool FChangeSearch = false;
    bool FServerChanged = false;
    // Bytes the running download wrote, or -1 before its first piece.
    qint64 FDownloadBytes = -1;
    QElapsedTimer FDownloadStart;
    qint64 FLastProgress = -1;
    // The message whose text is being appended, and its decoder: a long
    // message arrives in several pieces, split anywhere.
    int FTextRecID = -1;
    QStringDecoder FTextDecoder;

    TViewItemList FAllItems;
    std::vector<quint32> FVisibleItems;
    std::vector<quint32> FBrowseList;
    int FRecordCount = 0;
    // The record that got the last visible row.
    quint32 FLastVisibleId = 0;
    bool FHasLastVisible = false;
    int FCurMedia = 16;
    QString FCurUser;
    TParticipantFilter FFilter;
    QString FSessionID;
    int FSelCount = 0;
    int FBUCount = 0;
    bool FBrowsingChanged = false;
    TViewStorageRef FViewStorage;
    int FLastSortedColumn = 0;
    bool FSortAscending = true;
    int FSortUpImageIndex = 0;
    int FSortDownImageIndex = 0;
    mutable int FLastFound = -1;

    TResultListModel* FListModel = nullptr;
    TViewTreeModel* FTreeModel = nullptr;
    bool FSyncingSelection = false;
    // The button went down on a state image: the click toggled a mark and
    // does not browse the selection.
    bool FStateClick = false;
    // The next button release ends a double-click.
    bool FDoubleClicked = false;
    bool FBuildingTree = false;
    int FListChangeDepth = 0;
    int FCurrentBefore = -1;

    // The evidence export that runs and how the last one ended; the zone
    // panel's clock.
    std::unique_ptr<TEvidenceRun> FEvidence;
    std::unique_ptr<TEvidenceResult> FLastEvidence;
    QTimer* FZoneTimer = nullptr;
    std::function<QString(const QString&)> FTitleSource;
};

// True while a result window or the query builder has a job with the
// controller: the others' operations wait for their turn.
bool IsServerBusy();
// The statement the window sends: the query's text without the row cap
// the query texts end with; the record limit bounds the result instead.
QString WithoutRowLimit(const QString& Sql);
// The fixed statement of a search result window for these record ids.
QString SearchResultSQL(const QList<quint32>& MediaIds);
