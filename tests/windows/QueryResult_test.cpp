// The query result window against the reference archive server on a demo
// archive: the demo's query files run, rows arrive one per record with
// their texts, views filter them, sorting shares its direction, selection
// and marks live in the rows and survive a refresh, the record limit holds,
// one job runs at a time program-wide, downloads bring the archive's bytes,
// and the window lets go of its job and its file in every way it can end.
#include "ResultsTestSupport.h"

#include "CommonData.h"
#include "DataCache.h"
#include "FAXBrowser.h"
#include "Main.h"
#include "MediaPlay.h"
#include "ModalDriver.h"
#include "MsgView.h"
#include "QueryBuilder.h"
#include "QueryResult.h"
#include "ResultListView.h"
#include "ResultModels.h"
#include "SQLMacros.h"
#include "SearchOptions.h"
#include "SettingsStore.h"
#include "VQMessageBox.h"
#include "VQQuery.h"
#include "ViewerWindows.h"

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QAction>
#include <QCollator>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPointer>
#include <QSignalSpy>
#include <QSplitter>
#include <QTest>
#include <QToolBar>
#include <QTreeView>

#include <sqlite3.h>

#include <csignal>
#include <map>
#include <set>
#include <sys/resource.h>

#ifndef VQ_DEMO_DIR
#error "VQ_DEMO_DIR names the demo's query files"
#endif

namespace {

using results_test::Pump;
using results_test::TArchiveServer;
using results_test::WaitUntil;

constexpr const char* Password = "secret";

using results_test::TTestConnection;

// The archive's own answer to a statement, row by row.
QList<QStringList> Sqlite(const QString& Statement) {
    return live_test::SqliteRows(TArchiveServer::Archive() + "/archive.sqlite", Statement);
}

QByteArray ArchiveFile(quint32 MediaId) {
    const QList<QStringList> Rows =
        Sqlite(QStringLiteral("SELECT filename FROM media WHERE Media_ID = %1").arg(MediaId));
    if (Rows.isEmpty())
        return {};
    const QString Name = Rows.first().first();
    QFile F(TArchiveServer::Archive() + "/data/" + Name.left(2) + "/" + Name);
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
}

QByteArray FileBytes(const QString& Path) {
    QFile F(Path);
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
}

// The rows the archive gives for a query, by record in the order sent.
struct TExpected {
    std::vector<quint32> Ids;
    std::map<quint32, QList<QStringList>> Rows;
};

TExpected Expect(const QString& Statement) {
    TExpected E;
    for (const QStringList& Row : Sqlite(Statement)) {
        const quint32 Id = Row[0].toUInt();
        if (E.Ids.empty() || E.Ids.back() != Id)
            E.Ids.push_back(Id);
        E.Rows[Id].append(Row);
    }
    return E;
}

QString ParticipantsOf(const QList<QStringList>& Rows) {
    static const char* const RoleTexts[] = {"", "as caller", "as recipient", "as supervisor"};
    QString Text;
    for (const QStringList& Row : Rows) {
        if (!Text.isEmpty())
            Text += ", ";
        const int Role = 2 - Row[8].toInt();
        Text += " " + Row[4] + " " + RoleTexts[Role >= 0 && Role <= 3 ? Role : 0];
    }
    return Text;
}

class QueryResultTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::remove(SettingsFilePath());
        TVQMessageBox::SetAnswerAutomatically(true);
        TVQMessageBox::ClearShown();
        Start({});
    }

    void Start(const QStringList& ServerOptions) {
        ASSERT_TRUE(Server.Start(Password, ServerOptions)) << qPrintable(Server.Error());
        Connection = std::make_unique<TTestConnection>();
        Connection->SetHost(QStringLiteral("127.0.0.1"));
        Connection->SetPort(Server.Port());
        Connection->SetPassword(Password);
        Data = std::make_unique<TCommonData>();
        CommonData = Data.get();
        Main = std::make_unique<TfrmMain>();
        Windows = InstallViewerWindows(*Main);
        Main->AssignImages(Data->ActionGlyphs);
        Main->resize(1280, 900);
        Main->show();
    }

    void TearDown() override {
        Main.reset();
        Data.reset();
        CommonData = nullptr;
        Connection.reset();
        Server.Stop();
        TVQMessageBox::SetAnswerAutomatically(false);
    }

    // A stopped server and a fresh one, for tests that need it slow.
    void Restart(const QStringList& ServerOptions) {
        TearDown();
        TVQMessageBox::SetAnswerAutomatically(true);
        Start(ServerOptions);
    }

    static QString Demo(const char* Name) {
        return QStringLiteral(VQ_DEMO_DIR "/") + QLatin1String(Name);
    }

    // The statement the window sends, as the archive runs it.
    static QString StatementOf(const TVQQuery& Query) {
        return WithoutRowLimit(ExpandSQLMacros(3, Query.BuildQuery(3)));
    }

    static bool Done(const TfrmQueryResult* W) {
        return W->Cache() == nullptr && W->Operations() == 0 &&
               W->StatusText(0) == QStringLiteral("Done");
    }

    TfrmQueryResult* Run(const char* DemoFile) {
        TfrmQueryResult* W = Windows->OpenQueryFile(Demo(DemoFile));
        EXPECT_TRUE(WaitUntil([&] { return Done(W); })) << qPrintable(W->StatusText(0));
        return W;
    }

    // A query of every media type and the given participants.
    TfrmQueryResult* RunWith(const QList<std::tuple<QString, quint64, TUserKind>>& People) {
        TfrmQueryResult* W = Windows->NewResultWindow();
        for (TConditionKind K : {ckIM, ckRVM, ckVM, ckFaxes})
            W->Query().AddDeleteMediaType(K, 0);
        int After = 0;
        for (const auto& [Name, Id, Kind] : People)
            After = W->Query().InsertPartipiant(After, Name, Id, Kind);
        W->Query().SetTitle(QStringLiteral("People"));
        W->ExecuteQuery();
        EXPECT_TRUE(WaitUntil([&] { return Done(W); }));
        return W;
    }

    const TViewNode* NodeNamed(TfrmQueryResult* W, const QString& Text, int Image) {
        for (const TViewNode* N : W->TreeModel()->Nodes())
            if (N->Text == Text && N->ImageIndex == Image)
                return N;
        return nullptr;
    }

    std::vector<quint32> VisibleIds(TfrmQueryResult* W) {
        std::vector<quint32> Ids;
        for (quint32 Row : W->VisibleItems())
            Ids.push_back(W->AllItems()[int(Row)].MediaId());
        return Ids;
    }

    int PositionOfType(TfrmQueryResult* W, int Type, int Skip = 0) {
        for (int I = 0; I < int(W->VisibleItems().size()); ++I)
            if (W->AllItems()[int(W->VisibleItems()[size_t(I)])].MediaType() == Type && Skip-- == 0)
                return I;
        return -1;
    }

    void ClickRow(TfrmQueryResult* W, int Position, Qt::KeyboardModifiers Keys = {}) {
        W->lvResults->scrollTo(W->ListModel()->index(Position, 1));
        const QRect Cell = W->lvResults->visualRect(W->ListModel()->index(Position, 1));
        QTest::mouseClick(W->lvResults->viewport(), Qt::LeftButton, Keys, Cell.center());
    }

    TArchiveServer Server;
    std::unique_ptr<TTestConnection> Connection;
    std::unique_ptr<TCommonData> Data;
    std::unique_ptr<TfrmMain> Main;
    TViewerWindows* Windows = nullptr;
};

} // namespace

// --- Rows --------------------------------------------------------------------

TEST_F(QueryResultTest, ADemoQueryListsOneRowPerRecordWithItsTexts) {
    TfrmQueryResult* W = Windows->NewResultWindow();
    QAbstractItemModelTester ListTester(W->ListModel(),
                                        QAbstractItemModelTester::FailureReportingMode::Fatal);
    QAbstractItemModelTester TreeTester(W->TreeModel(),
                                        QAbstractItemModelTester::FailureReportingMode::Fatal);
    W->Query().LoadFromFile(Demo("Every media type.vqq"));
    W->Query().SetTitle(QStringLiteral("Every media type"));
    W->ExecuteQuery();
    EXPECT_EQ(W->StatusText(0), QStringLiteral("Waiting for data"));
    ASSERT_TRUE(WaitUntil([&] { return Done(W); }));

    const TExpected E = Expect(StatementOf(W->Query()));
    ASSERT_GT(E.Ids.size(), 100u);
    EXPECT_EQ(W->ListModel()->rowCount(), int(E.Ids.size()));
    EXPECT_EQ(W->StatusText(1), QStringLiteral("Record count:"));
    EXPECT_EQ(W->StatusText(2), QString::number(E.Ids.size()));
    EXPECT_EQ(W->StatusText(3), QString());
    EXPECT_EQ(W->windowTitle(), QStringLiteral("Every media type"));

    std::set<quint32> Seen;
    qint64 Previous = std::numeric_limits<qint64>::min();
    for (int I = 0; I < W->ListModel()->rowCount(); ++I) {
        const int Row = int(W->VisibleItems()[size_t(I)]);
        const TViewItem& Item = W->AllItems()[Row];
        EXPECT_TRUE(Seen.insert(Item.MediaId()).second) << "record listed twice";
        // Sorted by date and time once the job ended.
        EXPECT_GE(Item.TimeStamp(), Previous);
        Previous = Item.TimeStamp();
        const QList<QStringList>& Rows = E.Rows.at(Item.MediaId());
        EXPECT_EQ(W->ListModel()->index(I, 1).data().toString(), ParticipantsOf(Rows));
        EXPECT_EQ(W->ListModel()->index(I, 2).data().toString(), Rows.first()[2]);
        EXPECT_EQ(W->ListModel()->index(I, 0).data().toString(), W->AllItems().DateTimeStr(Row));
    }
    // Every row of a record names the same session.
    int Rows = 0;
    for (int Row = 0; Row < W->AllItems().Count(); ++Row, ++Rows) {
        int First = Row;
        while (First > 0 && W->AllItems()[First - 1].MediaId() == W->AllItems()[Row].MediaId())
            --First;
        EXPECT_EQ(W->AllItems().SessionID(Row), W->AllItems().SessionID(First));
    }
    EXPECT_EQ(Rows, int(Sqlite(StatementOf(W->Query())).size()));

    // The tree: "All" with the query's four media kinds, in text order.
    ASSERT_EQ(W->TreeModel()->rowCount(), 1);
    const QModelIndex Root = W->TreeModel()->index(0, 0);
    EXPECT_EQ(Root.data().toString(), QStringLiteral("All"));
    QStringList Kinds;
    for (int I = 0; I < W->TreeModel()->rowCount(Root); ++I)
        Kinds.append(W->TreeModel()->index(I, 0, Root).data().toString());
    EXPECT_EQ(Kinds, QStringList({"Call recording", "Fax", "Instant message",
                                  "Voice mail & Personal call recording"}));
    EXPECT_EQ(W->TreeView1->currentIndex(), Root);
    EXPECT_TRUE(W->TreeView1->isExpanded(Root));
}

TEST_F(QueryResultTest, TheStatementHasNoRowCapBelowTheRecordLimit) {
    TfrmQueryResult* W = Windows->OpenQueryFile(Demo("Every media type.vqq"));
    ASSERT_NE(W->Cache(), nullptr);
    EXPECT_TRUE(W->Query().BuildQuery(3).endsWith(QStringLiteral(" limit 20002")));
    EXPECT_FALSE(W->Cache()->StringData().contains(QStringLiteral("limit"), Qt::CaseInsensitive));
    EXPECT_TRUE(W->Cache()->StringData().endsWith(QStringLiteral("ORDER BY p.Media_ID")));
    // While it runs the frame's query and search commands wait: they
    // follow the job as it starts and ends, with no idle pass.
    QCoreApplication::processEvents();
    EXPECT_TRUE(IsServerBusy());
    EXPECT_FALSE(Main->aNewQuery->isEnabled());
    EXPECT_FALSE(Main->aSearchText->isEnabled());
    Main->Timer1->stop();
    ASSERT_TRUE(WaitUntil([&] { return Done(W); }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(IsServerBusy());
    EXPECT_TRUE(Main->aNewQuery->isEnabled());
}

TEST_F(QueryResultTest, AnSqlErrorEndsTheJobWithItsMessage) {
    // A query without media types is no statement the archive accepts.
    TfrmQueryResult* W = Windows->NewResultWindow();
    W->ExecuteQuery();
    ASSERT_TRUE(WaitUntil([&] { return !W->JobRunning(); }));
    EXPECT_EQ(W->StatusText(0), QStringLiteral("Failed"));
    EXPECT_FALSE(W->StatusText(3).isEmpty());
    EXPECT_EQ(W->ListModel()->rowCount(), 0);
    EXPECT_EQ(Connection->JobCount(), 0);
}

TEST_F(QueryResultTest, RowsSortedWhileTheyArriveStayOnePerRecord) {
    Restart({QStringLiteral("--batch-size"), QStringLiteral("3"),
             QStringLiteral("--fault-batch-delay"), QStringLiteral("5ms")});
    TfrmQueryResult* W = Windows->OpenQueryFile(Demo("Every media type.vqq"));
    // Sorting between batches puts the newest record's row elsewhere; its
    // next participant must still not make a second row.
    while (W->Cache() != nullptr) {
        W->ColumnClick(TResultListModel::colParticipants);
        Pump(15);
    }
    ASSERT_TRUE(WaitUntil([&] { return Done(W); }));
    const std::vector<quint32> Ids = VisibleIds(W);
    EXPECT_EQ(std::set<quint32>(Ids.begin(), Ids.end()).size(), Ids.size());
    EXPECT_EQ(Ids.size(), Expect(StatementOf(W->Query())).Ids.size());
}

TEST_F(QueryResultTest, TheRecordLimitCancelsAndKeepsTheRecordsBeforeIt) {
    Connection->SetMaxRecords(100);
    TfrmQueryResult* W = Windows->OpenQueryFile(Demo("Every media type.vqq"));
    ASSERT_TRUE(WaitUntil([&] { return W->Cache() == nullptr; }));
    Pump(200);
    EXPECT_TRUE(TVQMessageBox::Shown().contains(QStringLiteral(
        "Query result contains more then 100 records.\r\nPlease, refine the query.")))
        << qPrintable(TVQMessageBox::Shown().join("|"));
    EXPECT_EQ(W->ListModel()->rowCount(), 100);
    EXPECT_EQ(W->StatusText(2), QStringLiteral("100"));
    EXPECT_EQ(W->StatusText(0), QStringLiteral("Canceled"));
    // The hundredth record came with all its participants.
    const TExpected E = Expect(StatementOf(W->Query()));
    int Expected = 0;
    for (size_t I = 0; I < 100; ++I)
        Expected += int(E.Rows.at(E.Ids[I]).size());
    EXPECT_EQ(W->AllItems().Count(), Expected);
    Connection->SetMaxRecords(TDBConnection::DefaultMaxRecords);
}

// --- Views, sorting, selection, marks ------------------------------------------

TEST_F(QueryResultTest, ViewsFilterByMediaKindAndParticipant) {
    TfrmQueryResult* W = RunWith({{QStringLiteral("Support"), 102, ukGroup},
                                  {QStringLiteral("Anna Schmidt"), 1006, ukUser}});
    const TExpected E = Expect(StatementOf(W->Query()));
    ASSERT_EQ(W->ListModel()->rowCount(), int(E.Ids.size()));

    const TViewNode* Fax = nullptr;
    for (const auto& Child : NodeNamed(W, QStringLiteral("All"), 16)->Children)
        if (Child->ImageIndex == ckFaxes)
            Fax = Child.get();
    ASSERT_NE(Fax, nullptr);
    W->SelectNode(Fax);
    int Faxes = 0;
    for (quint32 Id : E.Ids)
        Faxes += E.Rows.at(Id).first()[1] == QStringLiteral("fax");
    EXPECT_EQ(W->ListModel()->rowCount(), Faxes);
    EXPECT_EQ(W->StatusText(2), QString::number(Faxes));
    for (quint32 Row : W->VisibleItems())
        EXPECT_EQ(W->AllItems()[int(Row)].MediaType(), mtFax);

    // The group's view takes its agents too; each record once, shown from
    // the group's (or agent's) own row.
    const TViewNode* Support = NodeNamed(W, QStringLiteral("Support"), 15);
    ASSERT_NE(Support, nullptr);
    W->SelectNode(Support);
    std::set<quint32> WithSupport;
    for (quint32 Id : E.Ids)
        for (const QStringList& Row : E.Rows.at(Id))
            if (Row[6] == QStringLiteral("102"))
                WithSupport.insert(Id);
    ASSERT_FALSE(WithSupport.empty());
    EXPECT_EQ(W->ListModel()->rowCount(), int(WithSupport.size()));
    bool AgentSeen = false;
    for (quint32 Row : W->VisibleItems()) {
        EXPECT_EQ(W->AllItems()[int(Row)].GroupID(), 102);
        AgentSeen = AgentSeen || W->AllItems()[int(Row)].Kind() == ukUserGroup;
    }
    EXPECT_TRUE(AgentSeen);

    // Under a participant, its media kinds.
    const TViewNode* AnnaIM = nullptr;
    for (const auto& Child : NodeNamed(W, QStringLiteral("Anna Schmidt"), 15)->Children)
        if (Child->ImageIndex == ckIM)
            AnnaIM = Child.get();
    ASSERT_NE(AnnaIM, nullptr);
    W->SelectNode(AnnaIM);
    ASSERT_GT(W->ListModel()->rowCount(), 0);
    for (quint32 Row : W->VisibleItems()) {
        EXPECT_EQ(W->AllItems()[int(Row)].UserID(), 1006);
        EXPECT_EQ(W->AllItems()[int(Row)].MediaType(), mtIM);
        EXPECT_TRUE(W->AllItems().Participants(int(Row)).contains("Anna Schmidt"));
    }
    W->SelectNode(NodeNamed(W, QStringLiteral("All"), 16));
    EXPECT_EQ(W->ListModel()->rowCount(), int(E.Ids.size()));
}

TEST_F(QueryResultTest, SortingByEachColumnKeepsTheWindowsOwnDirection) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    QHeaderView* Header = W->lvResults->horizontalHeader();
    auto Click = [&](int Section) {
        QTest::mouseClick(Header->viewport(), Qt::LeftButton, {},
                          QPoint(Header->sectionViewportPosition(Section) + 10, 5));
    };
    Click(0);
    EXPECT_FALSE(W->SortAscending());
    for (size_t I = 1; I < W->VisibleItems().size(); ++I)
        EXPECT_GE(W->AllItems()[int(W->VisibleItems()[I - 1])].TimeStamp(),
                  W->AllItems()[int(W->VisibleItems()[I])].TimeStamp());
    // Another column keeps the direction.
    Click(2);
    EXPECT_EQ(W->LastSortedColumn(), 2);
    EXPECT_FALSE(W->SortAscending());
    QCollator Collator;
    Collator.setCaseSensitivity(Qt::CaseInsensitive);
    for (size_t I = 1; I < W->VisibleItems().size(); ++I)
        EXPECT_GE(Collator.compare(W->AllItems().GCID(int(W->VisibleItems()[I - 1])),
                                   W->AllItems().GCID(int(W->VisibleItems()[I]))),
                  0);
    Click(1);
    Click(1);
    EXPECT_TRUE(W->SortAscending());
    for (size_t I = 1; I < W->VisibleItems().size(); ++I)
        EXPECT_LE(Collator.compare(W->AllItems().Participants(int(W->VisibleItems()[I - 1])),
                                   W->AllItems().Participants(int(W->VisibleItems()[I]))),
                  0);
    EXPECT_FALSE(W->ListModel()->headerData(0, Qt::Horizontal, Qt::DecorationRole).isValid());
    EXPECT_TRUE(W->ListModel()->headerData(1, Qt::Horizontal, Qt::DecorationRole).isValid());
    // A second window starts ascending and leaves this one's order and
    // arrow as they are.
    Click(1);
    EXPECT_FALSE(W->SortAscending());
    EXPECT_TRUE(Windows->NewResultWindow()->SortAscending());
    EXPECT_FALSE(W->SortAscending());
    EXPECT_EQ(W->ListModel()->headerData(1, Qt::Horizontal, Qt::AccessibleDescriptionRole),
              QStringLiteral("sorted descending"));
}

TEST_F(QueryResultTest, SelectionLivesInTheRowsAndMarksFollowIt) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    const int Message = PositionOfType(W, mtIM);
    const int Recording = PositionOfType(W, mtCallRec);
    ASSERT_GE(Message, 0);
    ASSERT_GE(Recording, 0);

    ClickRow(W, Message);
    EXPECT_EQ(W->SelCount(), 1);
    const int MessageRow = int(W->VisibleItems()[size_t(Message)]);
    EXPECT_TRUE(W->AllItems()[MessageRow].Selected());
    EXPECT_EQ(W->SessionID(), W->AllItems().SessionID(MessageRow));
    // The conversation: this message and the later ones of the same two
    // parties within the message view's minutes.
    ASSERT_FALSE(W->BrowseList().empty());
    const qint64 Start = W->AllItems()[MessageRow].TimeStamp();
    const qint64 Window = qint64(W->FMsgViewer->SessionDuration()) * 60;
    int Expected = 0;
    for (int I = Message; I < int(W->VisibleItems().size()); ++I) {
        const int Row = int(W->VisibleItems()[size_t(I)]);
        if (W->AllItems()[Row].TimeStamp() >= Start + Window)
            break;
        if (W->AllItems()[Row].MediaType() == mtIM &&
            W->AllItems().SessionID(Row) == W->SessionID())
            ++Expected;
    }
    EXPECT_EQ(int(W->BrowseList().size()), Expected);
    for (quint32 Row : W->BrowseList()) {
        EXPECT_TRUE(W->AllItems()[int(Row)].Marked());
        EXPECT_EQ(W->AllItems()[int(Row)].MediaType(), mtIM);
    }

    // A recording is marked alone; the messages lose their marks.
    ClickRow(W, Recording);
    EXPECT_EQ(W->SelCount(), 1);
    ASSERT_EQ(W->BrowseList().size(), 1u);
    EXPECT_EQ(int(W->BrowseList().front()), int(W->VisibleItems()[size_t(Recording)]));
    EXPECT_FALSE(W->AllItems()[MessageRow].Marked());

    // Two messages chosen together: both marked, nothing else.
    const int Second = PositionOfType(W, mtIM, 3);
    ClickRow(W, Message);
    ClickRow(W, Second, Qt::ControlModifier);
    EXPECT_EQ(W->SelCount(), 2);
    ASSERT_EQ(W->BrowseList().size(), 2u);
    // A click on the state image toggles the row's mark.
    W->lvResults->scrollTo(W->ListModel()->index(Recording, 0));
    const QRect State = W->lvResults->visualRect(W->ListModel()->index(Recording, 0));
    int X = State.left();
    while (X < State.right() && W->lvResults->StateImageRowAt(QPoint(X, State.center().y())) < 0)
        ++X;
    ASSERT_LT(X, State.right()) << "no state image in a cell " << State.width() << " wide";
    QTest::mouseClick(W->lvResults->viewport(), Qt::LeftButton, {},
                      QPoint(X + 2, State.center().y()));
    EXPECT_TRUE(W->AllItems()[int(W->VisibleItems()[size_t(Recording)])].Marked());
    EXPECT_EQ(W->BrowseList().size(), 1u);

    // Ctrl+A in the list is "Select all": every row selected, and the
    // marks follow as they do for the command.
    W->aUnmarkAll->trigger();
    W->lvResults->setFocus();
    QTest::keyClick(W->lvResults, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(W->SelCount(), W->ListModel()->rowCount());
    EXPECT_EQ(W->lvResults->selectionModel()->selectedRows().size(), W->ListModel()->rowCount());
    EXPECT_FALSE(W->BrowseList().empty());
    W->aMarkAll->trigger();
    EXPECT_EQ(int(W->BrowseList().size()), W->ListModel()->rowCount());
    W->aUnmarkAll->trigger();
    EXPECT_TRUE(W->BrowseList().empty());
}

TEST_F(QueryResultTest, EachViewRemembersItsSelectionAcrossARefresh) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    const TViewNode* Messages = NodeNamed(W, QStringLiteral("Instant message"), ckIM);
    ASSERT_NE(Messages, nullptr);
    W->SelectNode(Messages);
    ClickRow(W, 3);
    ClickRow(W, 6, Qt::ControlModifier);
    const std::vector<quint32> Ids = VisibleIds(W);
    const std::set<quint32> Chosen = {Ids[3], Ids[6]};
    std::set<quint32> Marked;
    for (quint32 Row : W->BrowseList())
        Marked.insert(W->AllItems()[int(Row)].MediaId());

    W->aRefresh->trigger();
    ASSERT_TRUE(WaitUntil([&] { return Done(W); }));
    EXPECT_EQ(W->CurMedia(), int(ckIM));
    EXPECT_EQ(W->TreeModel()->Node(W->TreeView1->currentIndex())->Text,
              QStringLiteral("Instant message"));
    std::set<quint32> Selected;
    std::set<quint32> MarkedAfter;
    for (quint32 Row : W->VisibleItems()) {
        if (W->AllItems()[int(Row)].Selected())
            Selected.insert(W->AllItems()[int(Row)].MediaId());
        if (W->AllItems()[int(Row)].Marked())
            MarkedAfter.insert(W->AllItems()[int(Row)].MediaId());
    }
    EXPECT_EQ(Selected, Chosen);
    EXPECT_EQ(MarkedAfter, Marked);
    EXPECT_EQ(W->SelCount(), 2);
    EXPECT_EQ(W->lvResults->selectionModel()->selectedRows().size(), 2);
    EXPECT_EQ(W->StatusText(3), QString());

    // A view whose remembered record is gone says so.
    TAQCondition* Label = W->Query().GetCondition(0);
    ASSERT_NE(Label->GetStorage(0), nullptr);
    TViewItemStorage* Gone = Label->GetStorage(0)->AddItem();
    Gone->SetMediaId(999999);
    Gone->SetSelected(true);
    Label->GetStorage(0)->Organize();
    W->SelectNode(NodeNamed(W, QStringLiteral("All"), 16));
    EXPECT_EQ(W->StatusText(3), QStringLiteral("Some records of previous view are not found."));
}

// --- Jobs ------------------------------------------------------------------------

TEST_F(QueryResultTest, CancellingSortsTheRowsReceivedSoFar) {
    Restart({QStringLiteral("--batch-size"), QStringLiteral("4"),
             QStringLiteral("--fault-batch-delay"), QStringLiteral("40ms")});
    TfrmQueryResult* W = Windows->OpenQueryFile(Demo("Every media type.vqq"));
    ASSERT_TRUE(WaitUntil([&] { return W->ListModel()->rowCount() >= 8; }));
    // Turned round while rows arrive; the later rows come in arrival order.
    W->ColumnClick(0);
    ASSERT_TRUE(WaitUntil([&] { return W->ListModel()->rowCount() >= 16; }));
    ASSERT_NE(W->Cache(), nullptr);
    QCoreApplication::processEvents();
    EXPECT_TRUE(W->aCancelJob->isEnabled());
    W->aCancelJob->trigger();
    EXPECT_EQ(W->Cache(), nullptr);
    EXPECT_EQ(W->StatusText(0), QStringLiteral("Canceled"));
    const int Count = W->ListModel()->rowCount();
    for (size_t I = 1; I < W->VisibleItems().size(); ++I)
        EXPECT_GE(W->AllItems()[int(W->VisibleItems()[I - 1])].TimeStamp(),
                  W->AllItems()[int(W->VisibleItems()[I])].TimeStamp());
    Pump(500);
    EXPECT_EQ(W->ListModel()->rowCount(), Count);
    EXPECT_EQ(W->StatusText(0), QStringLiteral("Canceled"));
}

TEST_F(QueryResultTest, AQueryWaitsUntilAnotherWindowsDownloadIsFreed) {
    Restart({QStringLiteral("--piece-size"), QStringLiteral("2048"),
             QStringLiteral("--fault-batch-delay"), QStringLiteral("15ms")});
    TfrmQueryResult* A = Run("Every media type.vqq");
    TfrmQueryResult* B = Run("Every media type.vqq");
    // B waits with a query and a fax; the query goes first.
    const int Fax = PositionOfType(B, mtFax);
    ASSERT_GE(Fax, 0);
    B->SetMarked(int(B->VisibleItems()[size_t(Fax)]), true);
    const quint32 BMarked = B->AllItems()[int(B->BrowseList().front())].MediaId();

    const int Recording = PositionOfType(A, mtCallRec);
    A->SetMarked(int(A->VisibleItems()[size_t(Recording)]), true);
    QSignalSpy ADownload(A, &TfrmQueryResult::DownloadFinished);
    A->FetchMedia();
    ASSERT_NE(A->Cache(), nullptr);
    B->aRefreshExecute();
    EXPECT_EQ(B->StatusText(0), QStringLiteral("Waiting for the server"));
    B->FetchFax(B);
    EXPECT_EQ(B->Cache(), nullptr);
    EXPECT_EQ(B->Operations(), OperationBit(soExecuting) | OperationBit(soFax));
    QSignalSpy BDownload(B, &TfrmQueryResult::DownloadFinished);
    // B starts nothing while A downloads.
    bool Overlap = false;
    ASSERT_TRUE(WaitUntil([&] {
        Overlap = Overlap || (A->Cache() != nullptr && B->Cache() != nullptr);
        return ADownload.count() == 1;
    }));
    EXPECT_EQ(FileBytes(A->TempFileName()),
              ArchiveFile(A->AllItems()[int(A->BrowseList().front())].MediaId()));
    // Then the query, which brings the mark back, then the fax.
    ASSERT_TRUE(WaitUntil([&] {
        Overlap = Overlap || (A->Cache() != nullptr && B->Cache() != nullptr);
        return BDownload.count() == 1;
    }));
    EXPECT_FALSE(Overlap);
    EXPECT_EQ(B->Operations(), 0);
    ASSERT_FALSE(B->BrowseList().empty());
    EXPECT_EQ(B->AllItems()[int(B->BrowseList().front())].MediaId(), BMarked);
    EXPECT_EQ(FileBytes(B->TempFileName()), ArchiveFile(BMarked));
}

TEST_F(QueryResultTest, DownloadsBringTheArchivesBytes) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    QSignalSpy Finished(W, &TfrmQueryResult::DownloadFinished);
    for (int Type : {mtCallRec, mtVM, mtFax}) {
        const int Position = PositionOfType(W, Type);
        ASSERT_GE(Position, 0);
        W->SetMarked(int(W->VisibleItems()[size_t(Position)]), true);
        const quint32 Id = W->AllItems()[int(W->BrowseList().front())].MediaId();
        if (Type == mtFax) {
            // The browse command opens the viewer and fetches the fax.
            W->aBrowseBlob->trigger();
            EXPECT_TRUE(W->FFAXBrowser->isVisibleTo(W));
            EXPECT_TRUE(W->Panel1->isVisibleTo(W));
        } else {
            W->FetchMedia();
        }
        ASSERT_TRUE(WaitUntil([&] { return Finished.count() > 0; }));
        EXPECT_EQ(Finished.takeFirst().at(0).toUInt(), Id);
        const QByteArray Expected = ArchiveFile(Id);
        ASSERT_FALSE(Expected.isEmpty());
        EXPECT_EQ(FileBytes(W->TempFileName()), Expected) << "type " << Type;
        EXPECT_EQ(W->StatusText(0), QStringLiteral("Done"));
        EXPECT_EQ(W->Cache(), nullptr);
    }
    // Messages go to the message view, each under its heading.
    W->aBrowseBlob->setChecked(false);
    W->CloseViewer();
    const int Message = PositionOfType(W, mtIM);
    ClickRow(W, Message);
    ASSERT_FALSE(W->BrowseList().empty());
    W->aBrowseBlob->trigger();
    EXPECT_TRUE(W->FMsgViewer->isVisibleTo(W));
    ASSERT_TRUE(WaitUntil([&] { return W->Cache() == nullptr; }));
    const QString Text = W->FMsgViewer->PlainText();
    for (quint32 Row : W->BrowseList()) {
        const quint32 Id = W->AllItems()[int(Row)].MediaId();
        const QString Body =
            Sqlite(QStringLiteral("SELECT body FROM messages WHERE Media_ID = %1").arg(Id))
                .first()
                .first();
        EXPECT_TRUE(Text.contains(Body)) << qPrintable(Body);
        EXPECT_TRUE(Text.contains(W->AllItems().DateTimeStr(int(Row)) + " " +
                                  W->AllItems().Caller(int(Row)) + " said:"));
    }
}

TEST_F(QueryResultTest, ASearchResultWindowListsTheHits) {
    const QList<QStringList> Some =
        Sqlite(QStringLiteral("SELECT Media_ID FROM media WHERE media_type = 'im' LIMIT 3"));
    ASSERT_EQ(Some.size(), 3);
    TSearchOptions Options;
    for (const QStringList& Row : Some)
        Options.MediaIds().append(Row.first().toUInt());
    TfrmQueryResult* W = Windows->NewResultWindow();
    W->ShowSearchResult(Options);
    EXPECT_TRUE(W->IsSearchRes());
    EXPECT_EQ(W->windowTitle(), QStringLiteral("Search result 1"));
    ASSERT_TRUE(WaitUntil([&] { return Done(W); }));
    EXPECT_EQ(W->ListModel()->rowCount(), 3);
    QList<quint32> Ids;
    W->GetMediaIds(Ids, mtUnknown, false);
    EXPECT_EQ(std::set<quint32>(Ids.begin(), Ids.end()),
              std::set<quint32>(Options.MediaIds().begin(), Options.MediaIds().end()));
    W->GetMediaIds(Ids, mtFax, false);
    EXPECT_TRUE(Ids.isEmpty());
    ClickRow(W, 1);
    W->GetMediaIds(Ids, mtIM, true);
    EXPECT_EQ(Ids, QList<quint32>({W->AllItems()[int(W->VisibleItems()[1])].MediaId()}));
    ASSERT_EQ(W->TreeModel()->rowCount(), 1);
    EXPECT_EQ(W->TreeModel()->rowCount(W->TreeModel()->index(0, 0)), 0);
    EXPECT_EQ(W->SearchOptions()->MediaIds(), Options.MediaIds());

    // A search without hits asks the server nothing.
    TfrmQueryResult* Empty = Windows->NewResultWindow();
    Empty->ShowSearchResult(TSearchOptions());
    EXPECT_EQ(Empty->windowTitle(), QStringLiteral("Search result 2"));
    EXPECT_EQ(Empty->Cache(), nullptr);
    EXPECT_EQ(Empty->StatusText(0), QStringLiteral("Done"));
    EXPECT_EQ(Empty->ListModel()->rowCount(), 0);
}

TEST_F(QueryResultTest, ADownloadErrorIsShownAndEndsTheJob) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    const int Position = PositionOfType(W, mtVM);
    ASSERT_GE(Position, 0);
    const int Row = int(W->VisibleItems()[size_t(Position)]);
    const quint32 Id = W->AllItems()[Row].MediaId();
    const QString Name =
        Sqlite(QStringLiteral("SELECT filename FROM media WHERE Media_ID = %1").arg(Id))
            .first()
            .first();
    ASSERT_TRUE(QFile::remove(TArchiveServer::Archive() + "/data/" + Name.left(2) + "/" + Name));
    QSignalSpy Finished(W, &TfrmQueryResult::DownloadFinished);
    W->SetMarked(Row, true);
    W->FetchMedia();
    ASSERT_TRUE(WaitUntil([&] { return W->Cache() == nullptr; }));
    Pump(100);
    EXPECT_EQ(W->StatusText(0), QStringLiteral("Failed"));
    EXPECT_FALSE(W->StatusText(3).isEmpty());
    EXPECT_EQ(Finished.count(), 0);
    EXPECT_EQ(Connection->JobCount(), 0);
}

// A download that brings no data, or cannot be written, hands nothing to
// the player and ends in one error.
TEST_F(QueryResultTest, ADownloadWithoutAFileToShowFails) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    std::signal(SIGXFSZ, SIG_IGN);
    for (const bool FullDisk : {false, true}) {
        SCOPED_TRACE(FullDisk);
        // A voice mail whose stored file is whole (another test removes one).
        int Row = -1;
        for (int Skip = 0, Found = 0; Row < 0 && PositionOfType(W, mtVM, Skip) >= 0; ++Skip) {
            const int R = int(W->VisibleItems()[size_t(PositionOfType(W, mtVM, Skip))]);
            if (ArchiveFile(W->AllItems()[R].MediaId()).size() > 4096 && Found++ == int(FullDisk))
                Row = R;
        }
        ASSERT_GE(Row, 0);
        const quint32 Id = W->AllItems()[Row].MediaId();
        const QString Name =
            Sqlite(QStringLiteral("SELECT filename FROM media WHERE Media_ID = %1").arg(Id))[0][0];
        QFile Stored(TArchiveServer::Archive() + "/data/" + Name.left(2) + "/" + Name);
        const QByteArray Bytes = ArchiveFile(Id);
        ASSERT_GT(Bytes.size(), 4096);
        if (!FullDisk) {
            ASSERT_TRUE(Stored.resize(0));
        }
        rlimit Old{};
        getrlimit(RLIMIT_FSIZE, &Old);
        rlimit Limit = Old;
        Limit.rlim_cur = FullDisk ? 1024 : Old.rlim_cur;
        setrlimit(RLIMIT_FSIZE, &Limit);
        QSignalSpy Finished(W, &TfrmQueryResult::DownloadFinished);
        TVQMessageBox::ClearShown();
        W->UnmarkAll();
        W->SetMarked(Row, true);
        W->FetchMedia();
        const bool Ended = WaitUntil([&] { return !W->JobRunning(); });
        setrlimit(RLIMIT_FSIZE, &Old);
        ASSERT_TRUE(Stored.open(QIODevice::WriteOnly) && Stored.write(Bytes) == Bytes.size());
        Stored.close();
        ASSERT_TRUE(Ended);
        Pump(100);
        EXPECT_EQ(W->StatusText(0), QStringLiteral("Failed"));
        EXPECT_FALSE(W->StatusText(3).isEmpty());
        EXPECT_EQ(Finished.count(), 0);
        EXPECT_TRUE(TVQMessageBox::Shown().isEmpty());
        EXPECT_NE(W->FMediaPlayer->ProgressCaption(), QStringLiteral("Ready to play"));
    }
}

TEST_F(QueryResultTest, KeysAndDoubleClicksBrowseTheMarkedRecords) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    const int Message = PositionOfType(W, mtIM);
    ClickRow(W, Message);
    W->lvResults->setFocus();
    // The marks follow the keyboard once the key is up.
    QTest::keyClick(W->lvResults, Qt::Key_Down);
    EXPECT_EQ(W->lvResults->currentIndex().row(), Message + 1);
    ASSERT_EQ(W->SelCount(), 1);
    const int Next = int(W->VisibleItems()[size_t(Message + 1)]);
    EXPECT_TRUE(W->AllItems()[Next].Marked());
    EXPECT_EQ(W->SessionID(), W->AllItems().SessionID(Next));

    // Enter browses: the viewer for the marked record opens.
    ClickRow(W, Message);
    QTest::keyClick(W->lvResults, Qt::Key_Return);
    EXPECT_TRUE(W->aBrowseBlob->isChecked());
    EXPECT_TRUE(W->FMsgViewer->isVisibleTo(W));
    ASSERT_TRUE(WaitUntil([&] { return W->Cache() == nullptr; }));
    EXPECT_TRUE(W->FMsgViewer->PlainText().contains(" said:"));

    // The viewer closing itself unchecks Browse.
    W->FMsgViewer->OnClose(W->FMsgViewer);
    EXPECT_FALSE(W->aBrowseBlob->isChecked());
    EXPECT_TRUE(W->Panel1->isHidden());

    // A double-click on a marked message browses it.
    const QRect Cell = W->lvResults->visualRect(W->ListModel()->index(Message, 1));
    QTest::mouseDClick(W->lvResults->viewport(), Qt::LeftButton, {}, Cell.center());
    EXPECT_TRUE(W->aBrowseBlob->isChecked());
    EXPECT_TRUE(W->FMsgViewer->isVisibleTo(W));
    ASSERT_TRUE(WaitUntil([&] { return W->Cache() == nullptr; }));
}

TEST_F(QueryResultTest, ADoubleClickedRecordingLoadsOnceAndCloseClosesTheFrame) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    const int Recording = PositionOfType(W, mtCallRec);
    ClickRow(W, Recording);
    QSignalSpy Finished(W, &TfrmQueryResult::DownloadFinished);
    const QRect Cell = W->lvResults->visualRect(W->ListModel()->index(Recording, 1));
    QTest::mouseDClick(W->lvResults->viewport(), Qt::LeftButton, {}, Cell.center());
    ASSERT_TRUE(WaitUntil([&] { return Finished.count() > 0 && !W->JobRunning(); }));
    Pump(200);
    EXPECT_EQ(W->StatusText(0), QStringLiteral("Done"));
    EXPECT_EQ(Finished.count(), 1);

    W->aClose->trigger();
    TVQApplication::ProcessMessages();
    EXPECT_EQ(Main->MDIChildCount(), 0);
}

TEST_F(QueryResultTest, AQueryFromTheQueryBuilderOpensItsOwnWindow) {
    TVQQuery Query;
    Query.LoadFromFile(Demo("Messages of Anna Schmidt.vqq"));
    viewer_test::WhenModal([&](QWidget* Top) {
        auto* Builder = qobject_cast<TdlgQueryBuilder*>(Top);
        ASSERT_NE(Builder, nullptr);
        EXPECT_TRUE(WaitUntil([&] { return !Builder->Busy(); }));
        Builder->AssignQuery(Query);
        Builder->ProposeTitle(QStringLiteral("Query 1"));
        QCoreApplication::processEvents();
        EXPECT_TRUE(Builder->aExecute->isEnabled());
        Builder->aExecute->trigger();
        // Whatever failed, the dialog does not stay.
        if (Builder->isVisible())
            Builder->reject();
    });
    Main->aNewQuery->trigger();
    ASSERT_EQ(Main->MDIChildCount(), 1);
    auto* W = qobject_cast<TfrmQueryResult*>(Main->MDIChildren().first()->widget());
    ASSERT_NE(W, nullptr);
    EXPECT_EQ(Main->MDIChildren().first()->windowTitle(), QStringLiteral("Query 1"));
    ASSERT_TRUE(WaitUntil([&] { return Done(W); }));
    const TExpected E = Expect(StatementOf(W->Query()));
    ASSERT_FALSE(E.Ids.empty());
    EXPECT_EQ(W->ListModel()->rowCount(), int(E.Ids.size()));
    EXPECT_EQ(Main->AutoQueryTitle(QStringLiteral("Query ")), QStringLiteral("Query 2"));
    // Anna's node holds every record, those she worked on as an agent too.
    const TViewNode* Anna = NodeNamed(W, QStringLiteral("Anna Schmidt"), 15);
    ASSERT_NE(Anna, nullptr);
    W->SelectNode(Anna);
    EXPECT_EQ(W->ListModel()->rowCount(), int(E.Ids.size()));
}

// --- State changes and the end of a window ------------------------------------

TEST_F(QueryResultTest, AChangedServerFreezesTheWindow) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    const int Rows = W->ListModel()->rowCount();
    Connection->SetPort(TArchiveServer::FreePort());
    ASSERT_TRUE(WaitUntil([&] { return !W->StatusText(3).isEmpty(); }));
    EXPECT_EQ(W->StatusText(3), QStringLiteral("The server has been changed"));
    QCoreApplication::processEvents();
    EXPECT_FALSE(W->aRefresh->isEnabled());
    EXPECT_FALSE(W->aChangeQuery->isEnabled());
    EXPECT_FALSE(W->aBrowseBlob->isEnabled());
    EXPECT_EQ(W->ListModel()->rowCount(), Rows);
    // Enter only beeps now.
    ClickRow(W, 0);
    QTest::keyClick(W->lvResults, Qt::Key_Return);
    EXPECT_FALSE(W->aBrowseBlob->isChecked());
    EXPECT_TRUE(W->Panel1->isHidden());
}

TEST_F(QueryResultTest, AServerThatCannotBeReachedIsReportedInTheWindow) {
    Server.Stop();
    try {
        Windows->OpenQueryFile(Demo("Every media type.vqq"));
        FAIL() << "a query ran without a server";
    } catch (const EConnectionException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Failed to connect"));
    }
    ASSERT_EQ(Main->MDIChildCount(), 1);
    auto* W = qobject_cast<TfrmQueryResult*>(Main->MDIChildren().first()->widget());
    EXPECT_EQ(W->Cache(), nullptr);
    EXPECT_EQ(W->StatusText(0), QStringLiteral("Failed"));
    EXPECT_EQ(W->StatusText(3), QStringLiteral("Failed to connect"));
    // A file that is no query opens no window.
    QTemporaryDir Dir;
    QFile Bad(Dir.path() + "/bad.vqq");
    ASSERT_TRUE(Bad.open(QIODevice::WriteOnly));
    Bad.write("not a query");
    Bad.close();
    EXPECT_ANY_THROW(Windows->OpenQueryFile(Bad.fileName()));
    EXPECT_EQ(Main->MDIChildCount(), 1);
}

TEST_F(QueryResultTest, ALostConnectionFailsAndKeepsTheRowsReceived) {
    Restart({QStringLiteral("--batch-size"), QStringLiteral("2"),
             QStringLiteral("--fault-batch-delay"), QStringLiteral("50ms")});
    TfrmQueryResult* W = Windows->OpenQueryFile(Demo("Every media type.vqq"));
    ASSERT_TRUE(WaitUntil([&] { return W->ListModel()->rowCount() >= 4; }));
    ASSERT_NE(W->Cache(), nullptr);
    Server.Stop();
    ASSERT_TRUE(WaitUntil([&] { return !W->JobRunning(); }, 60000));
    EXPECT_EQ(W->StatusText(0), QStringLiteral("Failed"));
    EXPECT_TRUE(W->StatusText(3).contains(
        QStringLiteral("lost: the list holds only the %1 records").arg(W->StatusText(2))));
    EXPECT_GE(W->ListModel()->rowCount(), 4);
}

// A refresh that cannot reach the server leaves the list and says why.
TEST_F(QueryResultTest, AFailedRefreshKeepsTheListAndSaysSo) {
    for (const bool WrongPassword : {false, true}) {
        SCOPED_TRACE(WrongPassword);
        Restart({});
        TfrmQueryResult* W = Run("Support group calls.vqq");
        const int Rows = W->ListModel()->rowCount();
        ASSERT_GT(Rows, 0);
        if (WrongPassword) {
            Connection->SetPassword(QStringLiteral("wrong"));
            Connection->SetConnected(false);
        } else {
            Server.Stop();
        }
        EXPECT_ANY_THROW({
            W->aRefreshExecute();
            if (!W->JobRunning())
                throw std::runtime_error("no job");
        });
        EXPECT_EQ(W->StatusText(0), QStringLiteral("Failed"));
        EXPECT_FALSE(W->StatusText(3).isEmpty());
        if (WrongPassword) {
            EXPECT_EQ(W->StatusText(3), QStringLiteral("Invalid password"));
        }
        EXPECT_EQ(W->ListModel()->rowCount(), Rows);
    }
}

TEST_F(QueryResultTest, ClosingRemovesTheTemporaryFile) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    const QString Name = W->TempFileName();
    EXPECT_TRUE(QFile::exists(Name));
    QSignalSpy Finished(W, &TfrmQueryResult::DownloadFinished);
    W->SetMarked(int(W->VisibleItems()[size_t(PositionOfType(W, mtCallRec))]), true);
    W->FetchMedia();
    ASSERT_TRUE(WaitUntil([&] { return Finished.count() == 1; }));
    EXPECT_GT(QFileInfo(Name).size(), 0);
    QPointer<QMdiSubWindow> Child = Main->MDIChildren().first();
    Child->close();
    TVQApplication::ProcessMessages();
    EXPECT_TRUE(Child.isNull());
    EXPECT_FALSE(QFile::exists(Name));

    // A window that never downloaded, closed while its query runs.
    TfrmQueryResult* Running = Windows->OpenQueryFile(Demo("Every media type.vqq"));
    const QString Other = Running->TempFileName();
    EXPECT_TRUE(QFile::exists(Other));
    Main->aCloseAllExecute();
    EXPECT_FALSE(QFile::exists(Other));
    EXPECT_EQ(Connection->JobCount(), 0);

    // A main window that goes takes its windows' files along.
    TfrmQueryResult* Last = Run("Support group calls.vqq");
    const QString LastName = Last->TempFileName();
    Main.reset();
    EXPECT_FALSE(QFile::exists(LastName));
}

TEST_F(QueryResultTest, ControlsCarryTheirNamesAndTheListPaintsItsRows) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    EXPECT_EQ(W->findChild<QTreeView*>("TreeView1"), W->TreeView1);
    EXPECT_EQ(W->findChild<QWidget*>("lvResults"), W->lvResults);
    EXPECT_EQ(W->findChild<QWidget*>("Panel1"), W->Panel1);
    EXPECT_TRUE(W->Panel1->isHidden());
    EXPECT_EQ(W->aRefresh->shortcut(), QKeySequence(Qt::Key_F5));
    EXPECT_EQ(W->aCancelJob->shortcut(), QKeySequence(Qt::Key_Escape));
    EXPECT_EQ(W->aMarkAll->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_M));
    EXPECT_EQ(W->aUnmarkAll->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_U));
    QStringList Menu;
    for (QAction* A : W->PopupMenu1->actions())
        Menu.append(A->isSeparator() ? QStringLiteral("-") : A->objectName());
    EXPECT_EQ(Menu, QStringList({"aChangeQuery", "aRefresh", "aBrowseBlob", "-", "aSelectAll",
                                 "aMarkAll", "aUnmarkAll", "-", "aExportEvidence", "aExportList",
                                 "-", "aCancelJob"}));
    QStringList Tools;
    for (QAction* A : W->ToolBar1->actions())
        if (!A->isSeparator())
            Tools.append(W->ToolBar1->widgetForAction(A)->accessibleName());
    EXPECT_EQ(Tools, QStringList({"Change", "Refresh", "Browse", "Export evidence...",
                                  "Export list...", "Cancel", "Close"}));
    EXPECT_EQ(W->StatusPanels[2]->accessibleName(), QString::number(W->ListModel()->rowCount()));

    // A screen reader finds the list as a table, the tree's nodes and the
    // panels' texts.
    QAccessibleInterface* Records = QAccessible::queryAccessibleInterface(W->lvResults);
    ASSERT_NE(Records, nullptr);
    EXPECT_EQ(Records->role(), QAccessible::Table);
    EXPECT_EQ(Records->text(QAccessible::Name), QStringLiteral("Records"));
    QAccessibleTableInterface* Table = Records->tableInterface();
    ASSERT_NE(Table, nullptr);
    EXPECT_EQ(Table->rowCount(), W->ListModel()->rowCount());
    EXPECT_EQ(Table->columnCount(), 3);
    QAccessibleInterface* Participants = Table->cellAt(0, 1);
    ASSERT_NE(Participants, nullptr);
    EXPECT_EQ(Participants->text(QAccessible::Name),
              W->AllItems().Participants(int(W->VisibleItems()[0])).trimmed());
    QAccessibleInterface* Tree = QAccessible::queryAccessibleInterface(W->TreeView1);
    ASSERT_NE(Tree, nullptr);
    EXPECT_EQ(Tree->role(), QAccessible::Tree);
    ASSERT_NE(Tree->tableInterface(), nullptr);
    EXPECT_EQ(Tree->tableInterface()->cellAt(0, 0)->text(QAccessible::Name), QStringLiteral("All"));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(W->StatusPanels[0])->text(QAccessible::Name),
              QStringLiteral("Done"));

    // The pop-up menu opens where the right button went down.
    const QRect Cell = W->lvResults->visualRect(W->ListModel()->index(2, 1));
    QTest::mouseClick(W->lvResults->viewport(), Qt::RightButton, {}, Cell.center());
    ASSERT_TRUE(WaitUntil([&] { return W->PopupMenu1->isVisible(); }, 3000));
    W->PopupMenu1->hide();

    // Every other row shaded; a marked row shows its mark.
    ClickRow(W, 1);
    W->SetMarked(int(W->VisibleItems()[3]), true);
    W->lvResults->viewport()->repaint();
    const QImage Shot = W->grab().toImage();
    if (const char* Dir = std::getenv("VQ_SCREENSHOT_DIR"))
        Shot.save(QString::fromLocal8Bit(Dir) + "/result-window.png");
    const QImage List =
        W->lvResults->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const int RowHeight = W->lvResults->verticalHeader()->defaultSectionSize();
    // Pixels of the shading colour across a row.
    auto Shaded = [&](int Row) {
        int Count = 0;
        const int Y = Row * RowHeight + 2;
        for (int X = 0; X < List.width(); ++X)
            Count += QColor(List.pixel(X, Y)) == QColor(245, 244, 247);
        return Count;
    };
    EXPECT_GT(Shaded(3), List.width() / 2);
    EXPECT_GT(Shaded(5), List.width() / 2);
    EXPECT_EQ(Shaded(4), 0);
    // The selected odd row shows the selection instead.
    EXPECT_LT(Shaded(1), List.width() / 4);
    int Green = 0;
    for (int X = 0; X < 20; ++X)
        for (int Y = 3 * RowHeight; Y < 4 * RowHeight; ++Y) {
            const QColor C(List.pixel(X + 4, Y));
            Green += C.green() > 100 && C.red() < 90 && C.blue() < 120;
        }
    EXPECT_GT(Green, 5);

    // Browsing a marked recording opens the viewer panel with the player.
    QSignalSpy Finished(W, &TfrmQueryResult::DownloadFinished);
    const int Recording = PositionOfType(W, mtCallRec);
    ClickRow(W, Recording);
    W->aBrowseBlob->trigger();
    EXPECT_TRUE(W->Panel1->isVisible());
    EXPECT_TRUE(W->Splitter2->isVisible());
    EXPECT_TRUE(W->FMediaPlayer->isVisible());
    EXPECT_FALSE(W->FMsgViewer->isVisible());
    const int Row = int(W->VisibleItems()[size_t(Recording)]);
    EXPECT_EQ(W->FMediaPlayer->lbParticipants->text(),
              W->AllItems().DateTimeStr(Row) + ": " + W->AllItems().Participants(Row));
    W->FetchMedia();
    ASSERT_TRUE(WaitUntil([&] { return Finished.count() == 1; }));
    if (const char* Dir = std::getenv("VQ_SCREENSHOT_DIR")) {
        W->resize(1100, 640);
        Pump(200);
        W->grab().save(QString::fromLocal8Bit(Dir) + "/result-window-viewer.png");
    }
}
