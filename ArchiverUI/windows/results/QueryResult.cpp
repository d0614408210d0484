#include "QueryResult.h"

#include "EvidenceRun.h"
#include "FAXBrowser.h"
#include "JobHandle.h"
#include "Main.h"
#include "Manual.h"
#include "MediaPlay.h"
#include "MsgView.h"
#include "QueryBuilder.h"
#include "ResultListView.h"
#include "ResultModels.h"
#include "SearchOptions.h"
#include "TempFile.h"
#include "VQApplication.h"
#include "VQQuery.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMetaMethod>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QSpacerItem>
#include <QSplitter>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <utility>

namespace {

// Image numbers of the actions in the shared glyph list.
constexpr int ImgChangeQuery = 35;
constexpr int ImgRefresh = 85;
constexpr int ImgBrowseBlob = 40;
constexpr int ImgCancelJob = 65;
constexpr int ImgClose = 8;

// How often a window with deferred operations looks whether the server
// became free by a job that was not a result window's.
constexpr int PendingRetryMs = 1000;

// How long rows below the screen may wait before the list hears of them.
constexpr int RowCountDelayMs = 250;

QPixmap DrawMark() {
    QPixmap Image(20, 20);
    Image.fill(Qt::transparent);
    QPainter Canvas(&Image);
    Canvas.setRenderHint(QPainter::Antialiasing);
    QPen Pen(QColor(0x1E, 0x8E, 0x3E), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    Canvas.setPen(Pen);
    QPainterPath Tick;
    Tick.moveTo(4, 10.5);
    Tick.lineTo(8.5, 15);
    Tick.lineTo(16, 5);
    Canvas.drawPath(Tick);
    return Image;
}

QPixmap DrawSortImage(bool Up) {
    QPixmap Image(20, 20);
    Image.fill(Qt::transparent);
    QPainter Canvas(&Image);
    Canvas.setRenderHint(QPainter::Antialiasing);
    Canvas.setPen(Qt::NoPen);
    Canvas.setBrush(QColor(0x55, 0x5A, 0x64));
    const QPolygonF Triangle = Up ? QPolygonF({QPointF(5, 13), QPointF(15, 13), QPointF(10, 7)})
                                  : QPolygonF({QPointF(5, 7), QPointF(15, 7), QPointF(10, 13)});
    Canvas.drawPolygon(Triangle);
    return Image;
}

} // namespace

EQueryResultError::EQueryResultError(const QString& Message)
    : std::runtime_error(Message.toStdString()) {}

// ---------------------------------------------------------------------------
// Creation

TfrmQueryResult::TfrmQueryResult(QWidget* Owner)
    : QWidget(Owner), FTextDecoder(QStringDecoder::Utf8) {
    setObjectName(QStringLiteral("frmQueryResult"));
    SetManualPage(this, QStringLiteral("result-window"));
    setAttribute(Qt::WA_DeleteOnClose);
    setMinimumSize(350, 441);
    resize(760, 520);
    FormCreate();
}

void TfrmQueryResult::FormCreate() {
    FLastSortedColumn = 0;
    FQuery = std::make_unique<TVQQuery>();
    // The binding exists from program start; taking it here keeps the
    // order the windows rely on.
    TDBInterface::GetInstance();
    FDownloadRecID = -1;
    FTempFolder = PrivateTempDir();
    FTFBase = ReserveTempFileBase();
    FViewStorage = TViewStorageRef::Adopt(TViewStorage::Create());
    CreateImages();
    CreateActions();
    CreateControls();
    ConnectJob();
    FPendingTimer = new QTimer(this);
    FPendingTimer->setInterval(PendingRetryMs);
    connect(FPendingTimer, &QTimer::timeout, this, [this] {
        if (FOperations == 0) {
            FPendingTimer->stop();
            return;
        }
        if (!IsServerBusy())
            PassTurn();
    });
    FRowCountTimer = new QTimer(this);
    FRowCountTimer->setSingleShot(true);
    FRowCountTimer->setInterval(RowCountDelayMs);
    connect(FRowCountTimer, &QTimer::timeout, this, &TfrmQueryResult::FlushRowCount);
    FollowCommandState();
    if (DBConnection != nullptr)
        DBConnection->AddForm(this);
    ActionList1Update();
}

void TfrmQueryResult::FollowCommandState() {
    // Many changes come in one go (a batch of rows, a reset and its new
    // selection): the commands are set once, after all of them.
    FUpdateTimer = new QTimer(this);
    FUpdateTimer->setSingleShot(true);
    FUpdateTimer->setInterval(0);
    connect(FUpdateTimer, &QTimer::timeout, this, &TfrmQueryResult::ActionList1Update);
    // The controller's news comes coalesced already.
    if (DBConnection != nullptr)
        connect(DBConnection->Events(), &TConnectionEvents::Changed, this,
                &TfrmQueryResult::ActionList1Update);
    for (auto Signal : {&TJobHandle::WaitingForServer, &TJobHandle::Started, &TJobHandle::Finished,
                        &TJobHandle::Cancelled})
        connect(FJob, Signal, this, &TfrmQueryResult::ScheduleUpdate);
    connect(FJob, &TJobHandle::Failed, this, &TfrmQueryResult::ScheduleUpdate);
    connect(FJob, &TJobHandle::ConnectionLost, this, &TfrmQueryResult::ScheduleUpdate);
    connect(FListModel, &QAbstractItemModel::modelReset, this, &TfrmQueryResult::ScheduleUpdate);
    connect(FListModel, &QAbstractItemModel::rowsInserted, this, &TfrmQueryResult::ScheduleUpdate);
    connect(FListModel, &QAbstractItemModel::rowsRemoved, this, &TfrmQueryResult::ScheduleUpdate);
    connect(lvResults->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TfrmQueryResult::ScheduleUpdate);
}

void TfrmQueryResult::ScheduleUpdate() {
    if (FUpdateTimer != nullptr)
        FUpdateTimer->start();
}

void TfrmQueryResult::CreateImages() {
    StateImages.Add(DrawMark());
    // Descending first, then ascending.
    FSortDownImageIndex = SortingImages.Add(DrawSortImage(false));
    FSortUpImageIndex = SortingImages.Add(DrawSortImage(true));
    if (SortingImages.Count() != 2)
        throw EQueryResultError(QStringLiteral("SortingImages must hold two images"));
}

void TfrmQueryResult::CreateActions() {
    const TImageList* Glyphs = CommonData != nullptr ? &CommonData->ActionGlyphs : nullptr;
    auto Make = [&](const char* Name, const QString& Caption, const QString& Hint,
                    const QKeySequence& Shortcut, int Image) {
        auto* A = new QAction(Caption, this);
        A->setObjectName(QLatin1String(Name));
        if (!Hint.isEmpty()) {
            A->setToolTip(Hint);
            A->setStatusTip(Hint);
        }
        if (!Shortcut.isEmpty()) {
            A->setShortcut(Shortcut);
            A->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        }
        if (Image >= 0 && Glyphs != nullptr)
            A->setIcon(Glyphs->Icon(Image));
        addAction(A);
        return A;
    };
    aChangeQuery = Make("aChangeQuery", QStringLiteral("Cha&nge"), QStringLiteral("Change Query"),
                        {}, ImgChangeQuery);
    aRefresh = Make("aRefresh", QStringLiteral("&Refresh"), QStringLiteral("Refresh"),
                    QKeySequence(Qt::Key_F5), ImgRefresh);
    aBrowseBlob = Make("aBrowseBlob", QStringLiteral("&Browse"), QStringLiteral("Browse item"), {},
                       ImgBrowseBlob);
    aBrowseBlob->setCheckable(true);
    aCancelJob = Make("aCancelJob", QStringLiteral("C&ancel"), QStringLiteral("Cancel operation"),
                      QKeySequence(Qt::Key_Escape), ImgCancelJob);
    aSelectAll = Make("aSelectAll", QStringLiteral("Select all"), QStringLiteral("Select all"),
                      QKeySequence(QKeySequence::SelectAll), -1);
    aMarkAll =
        Make("aMarkAll", QStringLiteral("Mark all"), {}, QKeySequence(Qt::CTRL | Qt::Key_M), -1);
    aUnmarkAll = Make("aUnmarkAll", QStringLiteral("Unmark all"), {},
                      QKeySequence(Qt::CTRL | Qt::Key_U), -1);
    aClose = Make("aClose", QStringLiteral("&Close"), QStringLiteral("Close"), {}, ImgClose);

    connect(aChangeQuery, &QAction::triggered, this, &TfrmQueryResult::aChangeQueryExecute);
    connect(aRefresh, &QAction::triggered, this, &TfrmQueryResult::aRefreshExecute);
    connect(aBrowseBlob, &QAction::triggered, this, &TfrmQueryResult::aBrowseBlobExecute);
    connect(aCancelJob, &QAction::triggered, this, &TfrmQueryResult::aCancelJobExecute);
    connect(aSelectAll, &QAction::triggered, this, &TfrmQueryResult::aSelectAllExecute);
    connect(aMarkAll, &QAction::triggered, this, &TfrmQueryResult::aMarkAllExecute);
    connect(aUnmarkAll, &QAction::triggered, this, &TfrmQueryResult::aUnmarkAllExecute);
    // The window's frame in the workspace closes, not the list inside it.
    connect(aClose, &QAction::triggered, this, [this] {
        if (auto* Frame = qobject_cast<QMdiSubWindow*>(parentWidget()))
            Frame->close();
        else
            close();
    });
    CreateExportActions();

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    PopupMenu1->addAction(aChangeQuery);
    PopupMenu1->addAction(aRefresh);
    PopupMenu1->addAction(aBrowseBlob);
    PopupMenu1->addSeparator();
    PopupMenu1->addAction(aSelectAll);
    PopupMenu1->addAction(aMarkAll);
    PopupMenu1->addAction(aUnmarkAll);
    PopupMenu1->addSeparator();
    PopupMenu1->addAction(aExportEvidence);
    PopupMenu1->addAction(aExportList);
    PopupMenu1->addSeparator();
    PopupMenu1->addAction(aCancelJob);
}

void TfrmQueryResult::CreateControls() {
    auto* Layout = new QVBoxLayout(this);
    Layout->setContentsMargins(0, 0, 0, 0);
    Layout->setSpacing(0);

    ToolBar1 = new QToolBar(QStringLiteral("ToolBar1"), this);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setIconSize(QSize(20, 20));
    ToolBar1->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    ToolBar1->addAction(aChangeQuery);
    ToolBar1->addSeparator();
    ToolBar1->addAction(aRefresh);
    ToolBar1->addSeparator();
    ToolBar1->addAction(aBrowseBlob);
    ToolBar1->addSeparator();
    ToolBar1->addAction(aExportEvidence);
    ToolBar1->addAction(aExportList);
    ToolBar1->addSeparator();
    ToolBar1->addAction(aCancelJob);
    ToolBar1->addSeparator();
    ToolBar1->addSeparator();
    ToolBar1->addAction(aClose);
    for (QAction* A : ToolBar1->actions())
        if (QWidget* Button = ToolBar1->widgetForAction(A); Button && !A->isSeparator()) {
            // 44 x 40 at least; a caption wider than that widens its button.
            Button->setMinimumSize(44, 40);
            Button->setAccessibleName(A->text().remove(QLatin1Char('&')));
        }
    Layout->addWidget(ToolBar1);

    Splitter = new QSplitter(Qt::Horizontal, this);
    Splitter->setObjectName(QStringLiteral("Splitter"));
    Splitter->setChildrenCollapsible(false);

    FTreeModel = new TViewTreeModel(this);
    FTreeModel->SetImages(CommonData != nullptr ? &CommonData->MediaImages : nullptr);
    TreeView1 = new QTreeView(Splitter);
    TreeView1->setObjectName(QStringLiteral("TreeView1"));
    TreeView1->setAccessibleName(QStringLiteral("Views"));
    TreeView1->setHeaderHidden(true);
    TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeView1->setSelectionMode(QAbstractItemView::SingleSelection);
    TreeView1->setIconSize(QSize(20, 20));
    TreeView1->setModel(FTreeModel);
    // Long view names scroll rather than being cut.
    TreeView1->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    TreeView1->header()->setStretchLastSection(false);
    connect(TreeView1->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &TfrmQueryResult::OnTreeCurrentChanged);

    TResultListState State;
    State.Items = &FAllItems;
    State.Visible = &FVisibleItems;
    State.SessionID = &FSessionID;
    State.SelCount = &FSelCount;
    State.SortColumn = &FLastSortedColumn;
    State.SortAscending = &FSortAscending;
    FListModel = new TResultListModel(State, this);
    FListModel->SetImages(
        StateImages.Pixmap(0), CommonData != nullptr ? &CommonData->MediaImages : nullptr,
        SortingImages.Pixmap(FSortDownImageIndex), SortingImages.Pixmap(FSortUpImageIndex));
    lvResults = new TResultListView(Splitter);
    lvResults->setObjectName(QStringLiteral("lvResults"));
    lvResults->setAccessibleName(QStringLiteral("Records"));
    lvResults->setModel(FListModel);
    QHeaderView* Header = lvResults->horizontalHeader();
    Header->setMinimumSectionSize(100);
    Header->setSectionResizeMode(TResultListModel::colParticipants, QHeaderView::Stretch);
    // The row image stands before the date and time.
    lvResults->setColumnWidth(
        TResultListModel::colDateTime,
        qMax(120 + TResultListModel::ImageWidth,
             lvResults->fontMetrics().horizontalAdvance(QStringLiteral("00/00/0000 00:00:00 PM")) +
                 TResultListModel::ImageWidth + 16));
    lvResults->setColumnWidth(TResultListModel::colGCID, 160);
    Header->setStretchLastSection(false);
    connect(Header, &QHeaderView::sectionClicked, this, &TfrmQueryResult::ColumnClick);
    connect(lvResults->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TfrmQueryResult::OnSelectionChanged);
    lvResults->OnMouseDown = [this](QMouseEvent* E) { lvResultsMouseDown(E); };
    lvResults->OnMouseUp = [this](QMouseEvent* E) { lvResultsMouseUp(E); };
    lvResults->OnDoubleClick = [this](QMouseEvent* E) { lvResultsDblClick(E); };
    lvResults->OnKeyDown = [this](QKeyEvent* E) { return lvResultsKeyDown(E); };
    lvResults->OnKeyUp = [this](QKeyEvent* E) { lvResultsKeyUp(E); };

    Panel1 = new QWidget(Splitter);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setAccessibleName(QStringLiteral("Viewer"));
    auto* PanelLayout = new QVBoxLayout(Panel1);
    PanelLayout->setContentsMargins(2, 2, 2, 2);
    // At least 248 wide, and wider when the viewer shown needs it: the
    // layout's own minimum stays in force (a fixed minimum width would
    // override it and let the viewer's controls overlap).
    PanelLayout->addSpacerItem(new QSpacerItem(248, 0, QSizePolicy::Fixed, QSizePolicy::Fixed));
    lbPanel1 = new QLabel(QStringLiteral("There are not marked records."), Panel1);
    lbPanel1->setObjectName(QStringLiteral("lbPanel1"));
    lbPanel1->setAlignment(Qt::AlignCenter);
    PanelLayout->addWidget(lbPanel1);
    FMsgViewer = new TfrmMessageView(Panel1);
    FMediaPlayer = new TfrmMediaPlayer(Panel1);
    FFAXBrowser = new TfrmFaxBrowser(Panel1);
    for (QWidget* Viewer : {static_cast<QWidget*>(FMsgViewer), static_cast<QWidget*>(FMediaPlayer),
                            static_cast<QWidget*>(FFAXBrowser)}) {
        PanelLayout->addWidget(Viewer, 1);
        Viewer->hide();
    }
    FMsgViewer->OnClose = [this](QObject*) { ViewerClosed(); };
    FMediaPlayer->OnClose = [this](QObject*) { ViewerClosed(); };
    FFAXBrowser->OnClose = [this](QObject*) { ViewerClosed(); };
    FMediaPlayer->OnGetMedia = [this](QObject*) { FetchMedia(); };
    FFAXBrowser->OnGetFax = [this](QObject* Sender) { FetchFax(Sender); };
    FMsgViewer->OnOptionsChanged = [this](QObject*) { BrowseSelection(); };
    FMsgViewer->OnCancelLoading = [this](QObject*) { aCancelJob->trigger(); };

    Splitter->addWidget(TreeView1);
    Splitter->addWidget(lvResults);
    Splitter->addWidget(Panel1);
    Splitter->setStretchFactor(0, 0);
    Splitter->setStretchFactor(1, 1);
    Splitter->setStretchFactor(2, 0);
    Splitter->setSizes({230, 560, 300});
    Splitter1 = Splitter->handle(1);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter2 = Splitter->handle(2);
    Splitter2->setObjectName(QStringLiteral("Splitter2"));
    Panel1->hide();
    Layout->addWidget(Splitter, 1);

    StatusBar1 = new QWidget(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    auto* BarLayout = new QHBoxLayout(StatusBar1);
    BarLayout->setContentsMargins(0, 1, 0, 1);
    BarLayout->setSpacing(2);
    const QFontMetrics Metrics = fontMetrics();
    const int Panel0Width =
        qMax(100, Metrics.horizontalAdvance(QStringLiteral("Waiting for data")) + 12);
    const int Panel1Width = Metrics.horizontalAdvance(QStringLiteral("Record count:")) + 12;
    StatusPanels.append(new TStatusPanel(StatusBar1, Panel0Width, Qt::AlignHCenter, true));
    StatusPanels.append(new TStatusPanel(StatusBar1, Panel1Width, Qt::AlignLeft, true));
    StatusPanels.append(new TStatusPanel(StatusBar1, 70, Qt::AlignLeft, true));
    StatusPanels.append(new TStatusPanel(StatusBar1, 100, Qt::AlignLeft, true));
    // The zone the list's times are in, at the right end.
    StatusPanels.append(new TStatusPanel(StatusBar1, 100, Qt::AlignLeft, true));
    // The error text takes the rest of the bar.
    StatusPanels[3]->setMinimumWidth(0);
    StatusPanels[3]->setMaximumWidth(QWIDGETSIZE_MAX);
    StatusPanels[3]->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    for (int I = 0; I < StatusPanels.size(); ++I) {
        StatusPanels[I]->setObjectName(QStringLiteral("StatusPanel%1").arg(I));
        BarLayout->addWidget(StatusPanels[I], I == 3 ? 1 : 0);
    }
    Layout->addWidget(StatusBar1);
    SetPanel(0, QStringLiteral("Done"));
    SetPanel(1, QStringLiteral("Record count:"));
    SetPanel(2, QStringLiteral("0"));
    SetPanel(3, QString());
    UpdateZonePanel();
}

TfrmQueryResult::~TfrmQueryResult() {
    // The controls go before the connections do: no update on the way out.
    FUpdateTimer = nullptr;
    // An export of this window stops with it and leaves no file.
    FEvidence.reset();
    // The controller must not keep this window's jobs, and the download
    // file must not outlive the window however it ends (a closing main
    // window destroys its children without asking them to close).
    // The list and the viewers are going: the job ends without telling them.
    FJob->disconnect(this);
    try {
        FJob->Cancel();
    } catch (const EDllException&) {
        // Nothing more can be done about a job of a window that is gone.
    }
    FTempFile.reset();
    QFile::remove(TempFileName());
    FOperations = 0;
    if (DBConnection != nullptr)
        DBConnection->RemoveForm(this);
    FSyncingSelection = true;
    FBuildingTree = true;
}

void TfrmQueryResult::closeEvent(QCloseEvent* Event) {
    // An export stops with its window and leaves no file.
    FEvidence.reset();
    FMediaPlayer->CloseMedia();
    FTempFile.reset();
    try {
        CancelCurrentJob();
    } catch (const EDllException&) {
        // A lost connection must not keep the window open.
    }
    QFile::remove(TempFileName());
    FFAXBrowser->ReleaseFile();
    Event->accept();
}

// ---------------------------------------------------------------------------
// Status bar and small helpers

void TfrmQueryResult::SetPanel(int Panel, const QString& Text) {
    TStatusPanel* P = StatusPanels.value(Panel);
    if (P == nullptr)
        return;
    P->SetText(Text);
    P->setAccessibleName(Text);
}

QString TfrmQueryResult::StatusText(int Panel) const {
    const TStatusPanel* P = StatusPanels.value(Panel);
    return P != nullptr ? P->Text() : QString();
}

void TfrmQueryResult::SetErrorText(const QString& S) {
    SetPanel(3, S);
    StatusPanels[3]->setToolTip(S);
}

QString TfrmQueryResult::TempFileName() const {
    return FTempFolder + QLatin1Char('/') + FTFBase;
}

void TfrmQueryResult::ActionList1Update() {
    const bool Enabled = (DBConnection == nullptr || DBConnection->Enabled()) && !FServerChanged;
    aRefresh->setEnabled(Enabled);
    aChangeQuery->setEnabled(Enabled);
    aBrowseBlob->setEnabled(Enabled);
    aCancelJob->setEnabled(FJob->Running());
    aExportEvidence->setEnabled(Enabled && !FEvidence && (!FBrowseList.empty() || FSelCount > 0));
    aExportList->setEnabled(!FVisibleItems.empty());
}

// ---------------------------------------------------------------------------
// Window messages

bool TfrmQueryResult::event(QEvent* Event) {
    switch (int(Event->type())) {
    case WM_DB_SERVERCHANGED:
        WMServerChanged();
        return true;
    case WM_SHOW_POPUP:
        WMShowPopup(*static_cast<TDBMessage*>(Event));
        return true;
    default:
        return QWidget::event(Event);
    }
}

void TfrmQueryResult::WMShowPopup(const TDBMessage& Message) {
    const QPoint At(int(qint32(Message.WParam)), int(qint32(Message.LParam)));
    PopupMenu1->popup(lvResults->viewport()->mapToGlobal(At));
}

void TfrmQueryResult::WMServerChanged() {
    FServerChanged = true;
    aBrowseBlob->setChecked(false);
    CloseViewer();
    SetErrorText(QStringLiteral("The server has been changed"));
    ActionList1Update();
}

// ---------------------------------------------------------------------------
// The job's outcomes

void TfrmQueryResult::ConnectJob() {
    FJob = new TJobHandle(this);
    FJob->SetTakesTurns(true);
    connect(FJob, &TJobHandle::Rows, this, &TfrmQueryResult::ReceiveRows);
    connect(FJob, &TJobHandle::Data, this, &TfrmQueryResult::DownloadData);
    connect(FJob, &TJobHandle::WaitingForServer, this,
            [this] { SetPanel(0, QStringLiteral("Waiting for the server")); });
    connect(FJob, &TJobHandle::Started, this, [this] {
        if (std::exchange(FResetOnStart, false))
            ResetList();
        if (FJob->Kind() == opSQLExecute)
            SetPanel(0, QStringLiteral("Waiting for data"));
    });
    connect(FJob, &TJobHandle::Finished, this, &TfrmQueryResult::JobFinished);
    connect(FJob, &TJobHandle::Failed, this, &TfrmQueryResult::JobFailed);
    connect(FJob, &TJobHandle::Cancelled, this, [this] {
        // A download this window gave up on for a reason of its own.
        if (!FFailure.isEmpty())
            return JobFailed(std::exchange(FFailure, QString()));
        JobEnded(QStringLiteral("Canceled"));
    });
    connect(FJob, &TJobHandle::ConnectionLost, this, [this] {
        const QString Why =
            FJob->Kind() == opDownload
                ? QStringLiteral("The connection to the server was lost during the download")
                : QStringLiteral("The connection to the server was lost: the list holds only "
                                 "the %1 records received before it")
                      .arg(FRecordCount);
        JobFailed(Why);
    });
}

void TfrmQueryResult::JobEnded(const QString& Status) {
    FlushRowCount();
    const Operation Kind = FJob->Kind();
    if (Kind == opSQLExecute || Kind == opSearchText)
        SortItems();
    CloseTempFile();
    FDownloadRecID = -1;
    FinishText();
    FMsgViewer->SetLoading(false);
    SetScreenCursor(crDefault);
    SetPanel(0, Status);
    ActionList1Update();
    // The next deferred operation starts once the controller is done with
    // the job, not from inside its handling.
    QTimer::singleShot(0, this, [this] { PassTurn(); });
}

void TfrmQueryResult::JobFailed(const QString& Text) {
    if (FJob->Kind() == opDownload) {
        // Nothing of it goes to a viewer.
        FMediaPlayer->SetProgressCaption(QString());
        FFAXBrowser->SetProgressCaption(QString());
    }
    JobEnded(QStringLiteral("Failed"));
    SetErrorText(Text);
}

void TfrmQueryResult::JobFinished() {
    if (FJob->Kind() == opDownload) {
        DownloadDone();
        return;
    }
    FlushRowCount();
    RestoreView(FViewStorage.get());
    Repaint();
    JobEnded(QStringLiteral("Done"));
}

// ---------------------------------------------------------------------------
// Jobs

void TfrmQueryResult::AddOperation(TServerOperation Op) {
    FOperations |= OperationBit(Op);
    if (!FPendingTimer->isActive())
        FPendingTimer->start();
}

bool TfrmQueryResult::RunFirstPendingOperation() {
    for (TServerOperation Op : {soExecuting, soText, soMedia, soFax, soExport}) {
        if ((FOperations & OperationBit(Op)) == 0)
            continue;
        FOperations &= TServerOperations(~OperationBit(Op));
        switch (Op) {
        case soExecuting:
            ExecuteQuery();
            break;
        case soText:
            Browse(false);
            break;
        case soMedia:
            FetchMedia();
            break;
        case soExport:
            if (FEvidence)
                FEvidence->Resume();
            break;
        default:
            FetchFax(FFAXBrowser);
            break;
        }
        return true;
    }
    return false;
}

const TVQArcCache* TfrmQueryResult::Cache() const {
    return FJob->Current();
}

bool TfrmQueryResult::JobRunning() const {
    return FJob->Running();
}

void TfrmQueryResult::RunJob(Operation Kind, const QString& Sql) {
    StartJob(Kind, &Sql, nullptr);
}

void TfrmQueryResult::RunJob(Operation Kind, const TIDs& Ids) {
    StartJob(Kind, nullptr, &Ids);
}

void TfrmQueryResult::StartJob(Operation Kind, const QString* Sql, const TIDs* Ids) {
    FServerChanged = false;
    CancelCurrentJob();
    FFailure.clear();
    FDownloadBytes = -1;
    if (Sql == nullptr)
        FResetOnStart = false;
    SetScreenCursor(crHourGlass);
    if (Sql != nullptr)
        FJob->Start(Kind, *Sql);
    else
        FJob->Start(Kind, *Ids);
    if (!FJob->Running())
        SetScreenCursor(crDefault);
    ActionList1Update();
}

void TfrmQueryResult::CancelCurrentJob() {
    if (FJob->Running()) {
        FJob->Cancel();
        return;
    }
    FlushRowCount();
    CloseTempFile();
    FDownloadRecID = -1;
    FinishText();
    FMsgViewer->SetLoading(false);
}

void TfrmQueryResult::ExecuteQuery() {
    if (IsServerBusy()) {
        // The rows in view are not the answer yet.
        SetPanel(0, QStringLiteral("Waiting for the server"));
        AddOperation(soExecuting);
        return;
    }
    int ServerType = 0;
    try {
        // The statement's dialect is the server's: the connection comes
        // first, and a server that cannot be reached leaves the list as it
        // was.
        if (DBConnection != nullptr && !DBConnection->Connected())
            DBConnection->SetConnected(true);
        ServerType = DBConnection != nullptr ? DBConnection->GetServerType() : 0;
    } catch (const EDllException& E) {
        SetPanel(0, QStringLiteral("Failed"));
        SetErrorText(E.Message());
        throw;
    }
    // The rows in view go once the server takes the query: a query that
    // cannot be sent leaves them, with the reason beside them.
    FResetOnStart = true;
    const QString Sql = QString::fromLocal8Bit(FQuery->BuildQuery(ServerType).toLocal8Bit());
    RunJob(opSQLExecute, WithoutRowLimit(Sql));
}

// The view is kept for the rows to come; the rows, the filters and the
// count go.
void TfrmQueryResult::EmptyList() {
    SaveView(*FViewStorage.get());
    BeginListChange();
    ClearRows();
    FCurUser.clear();
    FFilter = TParticipantFilter();
    FCurMedia = 16;
    FSessionID.clear();
    EndListChange();
    SetPanel(2, QStringLiteral("0"));
}

void TfrmQueryResult::ResetList() {
    EmptyList();
    if (!FQuery->Title().isEmpty())
        setWindowTitle(FQuery->Title());
    BuildViewTree();
    SetPanel(0, QStringLiteral("Waiting for data"));
    SetErrorText(QString());
}

void TfrmQueryResult::ShowSearchResult(const TSearchOptions& Options) {
    if (FQuery->Title().isEmpty()) {
        FQuery->SetTitle(FTitleSource ? FTitleSource(QStringLiteral("Search result "))
                                      : QStringLiteral("Search result 1"));
        setWindowTitle(FQuery->Title());
    }
    if (!FSearchOptions)
        FSearchOptions = std::make_unique<TSearchOptions>();
    FSearchOptions->Assign(Options);
    RunSearchQuery();
}

void TfrmQueryResult::RunSearchQuery() {
    EmptyList();
    // The hits have no conditions: the tree shows "All" only.
    FBuildingTree = true;
    FTreeModel->Clear();
    FBuildingTree = false;
    FQuery->Init();
    BuildViewTree();
    SetPanel(0, QStringLiteral("Waiting for data"));
    SetErrorText(QString());
    const QList<quint32> Ids = FSearchOptions ? FSearchOptions->MediaIds() : QList<quint32>();
    if (Ids.isEmpty()) {
        // "IN ( )" is no statement: nothing was found, nothing to ask for.
        SetPanel(0, QStringLiteral("Done"));
        return;
    }
    RunJob(opSQLExecute, WithoutRowLimit(SearchResultSQL(Ids)));
}

// ---------------------------------------------------------------------------
// Commands

void TfrmQueryResult::aRefreshExecute() {
    CancelCurrentJob();
    if (IsSearchRes())
        RunSearchQuery();
    else
        ExecuteQuery();
}

void TfrmQueryResult::aChangeQueryExecute() {
    CancelCurrentJob();
    if (IsSearchRes()) {
        FChangeSearch = true;
        struct TClear {
            bool& Flag;
            ~TClear() { Flag = false; }
        } Clear{FChangeSearch};
        emit SearchDialogRequested();
        return;
    }
    TVQQuery Copy;
    Copy.Assign(*FQuery);
    Copy.SetTitle(FQuery->Title());
    if (!EditQuery(window(), Copy))
        return;
    // The tree points at the conditions that are about to be replaced.
    FBuildingTree = true;
    FTreeModel->Clear();
    FBuildingTree = false;
    const QString Title = Copy.Title().isEmpty() ? FQuery->Title() : Copy.Title();
    FQuery->Assign(Copy);
    FQuery->SetTitle(Title);
    ExecuteQuery();
}

void TfrmQueryResult::aCancelJobExecute() {
    CancelCurrentJob();
}

void TfrmQueryResult::aBrowseBlobExecute() {
    if (aBrowseBlob->isChecked())
        Browse(FBrowseList.empty());
    else
        CloseViewer();
}

// ---------------------------------------------------------------------------
// Unit functions

bool IsServerBusy() {
    return TJobHandle::TurnTaken();
}

void TfrmQueryResult::PassTurn() {
    if (isSignalConnected(QMetaMethod::fromSignal(&TfrmQueryResult::TurnEnded)))
        emit TurnEnded();
    else
        RunFirstPendingOperation();
}

QString WithoutRowLimit(const QString& Sql) {
    static const QRegularExpression Cap(QStringLiteral("\\s+limit\\s+\\d+\\s*$"),
                                        QRegularExpression::CaseInsensitiveOption);
    QString Result = Sql;
    Result.remove(Cap);
    return Result;
}

QString SearchResultSQL(const QList<quint32>& MediaIds) {
    QStringList Ids;
    Ids.reserve(MediaIds.size());
    for (quint32 Id : MediaIds)
        Ids.append(QString::number(Id));
    return QString::fromLatin1(QueryHeadingSQL) + QStringLiteral(" (m.Media_ID IN ( ") +
           Ids.join(QStringLiteral(", ")) + QStringLiteral(" ) ) ") +
           QString::fromLatin1(QueryTailSQL);
}
