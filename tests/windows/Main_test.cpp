#include "ViewerTestSupport.h"

#include "CommonData.h"
#include "DataCache.h"
#include "JobHandle.h"
#include "Main.h"
#include "SettingsStore.h"
#include "VQFileDialog.h"
#include "VQMessageBox.h"
#include "VersionInfo.h"

#include "Test_Archive_Server.h"

#include <QAccessible>
#include <QAction>
#include <QCloseEvent>
#include <QDialog>
#include <QFile>
#include <QImage>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPointer>
#include <QSignalSpy>
#include <QTimer>
#include <QToolBar>

#include <memory>

namespace {

// A child document that may refuse to close, as a result window with
// unsaved work would.
class TChild : public QWidget {
public:
    explicit TChild(const QString& Title, bool Refuse = false) : FRefuse(Refuse) {
        setWindowTitle(Title);
    }

protected:
    void closeEvent(QCloseEvent* Event) override {
        if (FRefuse)
            Event->ignore();
        else
            Event->accept();
    }

private:
    bool FRefuse;
};

// Pixels of a rendered panel by colour: red ink and any dark or red ink.
struct TInk {
    int Red = 0;
    int Any = 0;
};

TInk InkOf(QWidget* Panel) {
    const QImage Image = Panel->grab().toImage().convertToFormat(QImage::Format_RGB32);
    TInk Ink;
    for (int Y = 0; Y < Image.height(); ++Y)
        for (int X = 0; X < Image.width(); ++X) {
            const QRgb P = Image.pixel(X, Y);
            if (qRed(P) > 180 && qGreen(P) < 90 && qBlue(P) < 90)
                ++Ink.Red;
            if (qGreen(P) < 140)
                ++Ink.Any;
        }
    return Ink;
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::remove(SettingsFilePath());
        TVQMessageBox::SetAnswerAutomatically(true);
        TVQMessageBox::ClearShown();
        Connection = std::make_unique<TDBConnection>();
        Data = std::make_unique<TCommonData>();
        Main = std::make_unique<TfrmMain>();
        Main->AssignImages(Data->ActionGlyphs);
        Main->show();
    }
    void TearDown() override {
        Main.reset();
        Data.reset();
        Connection.reset();
        TVQMessageBox::SetAnswerAutomatically(false);
    }

    void PointAt(const Test_Archive_Server& Server, const QString& Password) {
        Connection->SetHost(QStringLiteral("127.0.0.1"));
        Connection->SetPort(Server.port());
        Connection->SetPassword(Password);
    }

    QMdiSubWindow* Open(const QString& Title, bool Refuse = false) {
        return Main->AddChild(new TChild(Title, Refuse));
    }

    std::unique_ptr<TDBConnection> Connection;
    std::unique_ptr<TCommonData> Data;
    std::unique_ptr<TfrmMain> Main;
};

QStringList Texts(const QList<QAction*>& Actions) {
    QStringList Result;
    for (const QAction* A : Actions)
        Result.append(A->isSeparator() ? QStringLiteral("-") : A->text());
    return Result;
}

} // namespace

// --- Creation ---------------------------------------------------------------

TEST_F(MainWindowTest, StartsNotConnectedWithTheControllerAsListener) {
    EXPECT_EQ(Main->windowTitle(), "VQarchive Viewer");
    EXPECT_EQ(frmMain, Main.get());
    EXPECT_EQ(Main->sbPanels.size(), 3);
    EXPECT_EQ(Main->sbPanels[0]->Text(), "Server status: ");
    EXPECT_EQ(Main->sbPanels[1]->Text(), "Not connected");
    EXPECT_EQ(Main->sbPanels[2]->Text(), "");
    // A screen reader reads the panels as the texts they show.
    EXPECT_EQ(QAccessible::queryAccessibleInterface(Main->sbPanels[1])->text(QAccessible::Name),
              "Not connected");
    EXPECT_EQ(Main->sbPanels[1]->width(), 600);
    EXPECT_EQ(Main->sbPanels[2]->width(), 50);
    EXPECT_TRUE(Main->sbPanels[0]->Alignment() & Qt::AlignRight);
    EXPECT_EQ(TDBInterface::GetInstance().Listener(), Connection.get());
    EXPECT_TRUE(Main->Timer1->isActive());
    EXPECT_EQ(Main->Timer1->interval(), 1000);
}

TEST_F(MainWindowTest, MenusHoldTheirItemsInOrder) {
    EXPECT_EQ(Texts(Main->miFile->actions()),
              QStringList({"&Open query...", "&Query Builder", "Search Messages", "-", "E&xit"}));
    EXPECT_EQ(Texts(Main->miView->actions()), QStringList({"Tool Bar"}));
    EXPECT_EQ(Texts(Main->miOptions->actions()), QStringList({"&Settings"}));
    EXPECT_EQ(
        Texts(Main->miWindow->actions()),
        QStringList({"&Cascade", "Tile &Horizontally", "&Tile Vertically", "Close All", "-"}));
    EXPECT_EQ(Texts(Main->miHelp->actions()), QStringList({"&Manual", "-", "&About"}));
    EXPECT_TRUE(Main->miToolBar->isChecked());
    EXPECT_EQ(Main->aNewQuery->shortcut(), QKeySequence(Qt::Key_F2));
    EXPECT_EQ(Main->aSearchText->shortcut(), QKeySequence(Qt::Key_F3));
    EXPECT_EQ(Main->aSearchText->toolTip(), "Search all records containing text..");
    EXPECT_EQ(Main->aExit->toolTip(), "Close all and exit");
}

TEST_F(MainWindowTest, ToolBarHoldsTheCommandsWithImages) {
    const QList<QAction*> Buttons = Main->ToolBar1->actions();
    ASSERT_EQ(Buttons.size(), 8);
    EXPECT_EQ(Buttons[0], Main->aNewQuery);
    EXPECT_TRUE(Buttons[1]->isSeparator());
    EXPECT_EQ(Buttons[2], Main->aSearchText);
    EXPECT_TRUE(Buttons[3]->isSeparator());
    EXPECT_EQ(Buttons[4], Main->WindowCascade1);
    EXPECT_EQ(Buttons[5], Main->WindowTileHorizontal1);
    EXPECT_EQ(Buttons[6], Main->WindowTileVertical1);
    EXPECT_EQ(Buttons[7], Main->aCloseAll);
    for (QAction* A : Buttons) {
        if (!A->isSeparator()) {
            EXPECT_FALSE(A->icon().isNull()) << A->objectName().toStdString();
        }
    }
    EXPECT_EQ(Main->aNewQuery->icon().pixmap(20, 20).toImage(),
              Data->ActionGlyphs.Pixmap(56).toImage());
}

// --- Titles and child windows ----------------------------------------------

TEST_F(MainWindowTest, AutoQueryTitleTakesTheFirstFreeNumberIgnoringCase) {
    EXPECT_EQ(Main->AutoQueryTitle("Query "), "Query 1");
    Open("Query 1");
    Open("query 2");
    EXPECT_EQ(Main->AutoQueryTitle("Query "), "Query 3");
    EXPECT_EQ(Main->AutoQueryTitle("Search result "), "Search result 1");
}

TEST_F(MainWindowTest, AutoQueryTitleFillsAGap) {
    Open("Query 2");
    Open("Query 3");
    EXPECT_EQ(Main->AutoQueryTitle("Query "), "Query 1");
}

TEST_F(MainWindowTest, OpenQueryAsksForAQueryFileAndHandsItOn) {
    QSignalSpy Requested(Main.get(), &TfrmMain::OpenQueryRequested);
    TVQFileDialog::SetNextAnswer(QStringLiteral("/tmp/calls.vqq"));
    Main->aOpenQuery->trigger();
    TVQFileDialog::SetNextAnswer(QString());
    Main->aOpenQuery->trigger();
    ASSERT_EQ(Requested.size(), 1);
    EXPECT_EQ(Requested[0][0].toString(), QStringLiteral("/tmp/calls.vqq"));
    EXPECT_EQ(TVQFileDialog::Asked().constFirst().Filter,
              QStringLiteral("VQ query file (*.vqq)|*.vqq"));
    EXPECT_EQ(Main->aOpenQuery->shortcut(), QKeySequence(QKeySequence::Open));
    TVQFileDialog::ClearAsked();
}

TEST_F(MainWindowTest, WindowCommandsAreEnabledOnlyWithChildren) {
    const auto Enabled = [&] {
        QList<bool> States;
        for (QAction* A : {Main->WindowCascade1, Main->WindowTileHorizontal1,
                           Main->WindowTileVertical1, Main->aCloseAll})
            States.append(A->isEnabled());
        return States;
    };
    EXPECT_EQ(Enabled(), QList<bool>({false, false, false, false}));
    QMdiSubWindow* Child = Open("Query 1");
    EXPECT_EQ(Enabled(), QList<bool>({true, true, true, true}));
    Child->close();
    TVQApplication::ProcessMessages();
    EXPECT_EQ(Enabled(), QList<bool>({false, false, false, false}));
}

TEST_F(MainWindowTest, NewChildrenOpenInsideTheWorkspaceAndAMaximisedOneStaysWhole) {
    Main->resize(640, 480);
    Main->show();
    const QRect Area = Main->ClientArea()->viewport()->rect();
    for (int I = 1; I <= 14; ++I) {
        QMdiSubWindow* Child = Open(QStringLiteral("Query %1").arg(I));
        EXPECT_TRUE(Area.contains(Child->geometry())) << I;
    }
    Main->ClientArea()->activeSubWindow()->showMaximized();
    QMdiSubWindow* Last = Open("Query 15");
    EXPECT_TRUE(Last->isMaximized());
    EXPECT_EQ(Last->geometry(), Area);
}

TEST_F(MainWindowTest, CloseAllClosesEveryChildInOneAction) {
    QPointer<QMdiSubWindow> A = Open("Query 1");
    QPointer<QMdiSubWindow> B = Open("Query 2");
    QPointer<QMdiSubWindow> C = Open("Search result 1");
    Main->aCloseAll->trigger();
    EXPECT_EQ(Main->MDIChildCount(), 0);
    EXPECT_TRUE(A.isNull());
    EXPECT_TRUE(B.isNull());
    EXPECT_TRUE(C.isNull());
    EXPECT_FALSE(Main->aCloseAll->isEnabled());
}

TEST_F(MainWindowTest, CloseAllStopsAtAWindowThatRefusesToClose) {
    Open("Query 1", true);
    Open("Query 2");
    Main->aCloseAllExecute();
    EXPECT_EQ(Main->MDIChildCount(), 2);
}

TEST_F(MainWindowTest, WindowMenuListsTheOpenChildren) {
    Open("Query 1");
    QMdiSubWindow* Second = Open("Search result 1");
    Main->ClientArea()->setActiveSubWindow(Second);
    Main->UpdateWindowMenu();
    const QList<QAction*> List = Main->WindowListActions();
    ASSERT_EQ(List.size(), 2);
    EXPECT_EQ(List[0]->text(), "&1 Query 1");
    EXPECT_EQ(List[1]->text(), "&2 Search result 1");
    EXPECT_FALSE(List[0]->isChecked());
    EXPECT_TRUE(List[1]->isChecked());
    EXPECT_EQ(Texts(Main->miWindow->actions()).mid(5),
              QStringList({"&1 Query 1", "&2 Search result 1"}));
    List[0]->trigger();
    EXPECT_EQ(Main->ClientArea()->activeSubWindow()->windowTitle(), "Query 1");
    // Rebuilding after a close drops the closed window's entry.
    Second->close();
    TVQApplication::ProcessMessages();
    Main->UpdateWindowMenu();
    EXPECT_EQ(Texts(Main->WindowListActions()), QStringList({"&1 Query 1"}));
    // An "&" in a title is shown as it is.
    Open("R&D 1");
    Main->UpdateWindowMenu();
    EXPECT_EQ(Texts(Main->WindowListActions()).last(), "&2 R&&D 1");
}

TEST_F(MainWindowTest, TilingArrangesSideBySideOrOneAboveTheOther) {
    QMdiSubWindow* A = Open("Query 1");
    QMdiSubWindow* B = Open("Query 2");
    Main->WindowTileVertical1->trigger();
    EXPECT_EQ(A->y(), B->y());
    EXPECT_NE(A->x(), B->x());
    EXPECT_EQ(A->height(), B->height());
    Main->WindowTileHorizontal1->trigger();
    EXPECT_EQ(A->x(), B->x());
    EXPECT_NE(A->y(), B->y());
    EXPECT_EQ(A->width(), Main->ClientArea()->viewport()->width());
    Main->WindowCascade1->trigger();
    EXPECT_NE(A->pos(), B->pos());
}

TEST_F(MainWindowTest, ToolBarItemHidesAndShowsTheWholeBand) {
    ASSERT_TRUE(Main->CoolBar1->isVisible());
    Main->miToolBar->trigger();
    EXPECT_FALSE(Main->miToolBar->isChecked());
    EXPECT_FALSE(Main->CoolBar1->isVisible());
    EXPECT_FALSE(Main->ToolBar1->isVisible());
    Main->miToolBar->trigger();
    EXPECT_TRUE(Main->miToolBar->isChecked());
    EXPECT_TRUE(Main->CoolBar1->isVisible());
}

// --- Enabled rules ----------------------------------------------------------

// The commands follow the jobs as they come and go (the tick is stopped):
// only the jobs that take turns, those of the result windows and the query
// builder, hold them back.
TEST_F(MainWindowTest, QueryAndSearchWaitWhileAJobThatTakesTurnsRuns) {
    Test_Archive_Server Server;
    PointAt(Server, "secret");
    ASSERT_TRUE(Connection->ConnectionOK());
    Main->Timer1->stop();
    for (const bool Turns : {false, true}) {
        SCOPED_TRACE(Turns);
        TJobHandle Job(nullptr);
        Job.SetTakesTurns(Turns);
        Job.Start(opSQLExecute, QStringLiteral("SELECT 1"));
        QCoreApplication::processEvents();
        EXPECT_EQ(Main->aNewQuery->isEnabled(), !Turns);
        EXPECT_EQ(Main->ToolBar1->widgetForAction(Main->aSearchText)->isEnabled(), !Turns);
        Job.Cancel();
        QCoreApplication::processEvents();
        EXPECT_TRUE(Main->aNewQuery->isEnabled());
    }
}

TEST_F(MainWindowTest, AFailedServerDisablesQueryAndSearchAndShowsRedBold) {
    Main->sbPanels[1]->SetText("The archive is failing");
    const TInk Normal = InkOf(Main->sbPanels[1]);
    EXPECT_EQ(Normal.Red, 0);
    ASSERT_GT(Normal.Any, 0);

    Test_Archive_Server::Settings Failing;
    Failing.password = "pemrak";
    Failing.state = IPC_DA_DBServer::stFailed;
    Failing.status_message = "The archive is failing";
    Main->Timer1->stop();
    Test_Archive_Server Server(Failing);
    PointAt(Server, "pemrak");
    EXPECT_FALSE(Connection->ConnectionOK());
    ASSERT_TRUE(Connection->Connected());
    ASSERT_EQ(Connection->ServerState(), stFailed);
    QCoreApplication::processEvents();
    EXPECT_FALSE(Main->aNewQuery->isEnabled());
    EXPECT_FALSE(Main->aSearchText->isEnabled());

    Main->Timer1Timer();
    EXPECT_EQ(Main->sbPanels[1]->Text(), "The archive is failing");
    const TInk Failed = InkOf(Main->sbPanels[1]);
    EXPECT_GT(Failed.Red, 0);
    // The same text in bold takes more ink.
    EXPECT_GT(Failed.Any, Normal.Any);
}

// --- The timer and the status text ------------------------------------------

TEST_F(MainWindowTest, TickWhileNotConnectedOpensNoConnection) {
    Test_Archive_Server Server;
    PointAt(Server, "secret");
    Main->Timer1Timer();
    Main->Timer1Timer();
    EXPECT_EQ(Main->sbPanels[1]->Text(), "Not connected");
    EXPECT_EQ(Server.observed().initializes, 0);
    EXPECT_FALSE(Connection->Connected());
}

TEST_F(MainWindowTest, ConnectedControllerShowsIdleOnTheNextTick) {
    Test_Archive_Server Server;
    PointAt(Server, "secret");
    ASSERT_TRUE(Connection->ConnectionOK());
    Main->Timer1Timer();
    EXPECT_EQ(Main->sbPanels[1]->Text(), "Idle");
    EXPECT_EQ(InkOf(Main->sbPanels[1]).Red, 0);
    EXPECT_TRUE(Main->aNewQuery->isEnabled());
}

// --- Errors -----------------------------------------------------------------

TEST_F(MainWindowTest, EscapedExceptionsEndInTheErrorBox) {
    SetScreenCursor(crHourGlass);
    QTimer::singleShot(0, Main.get(), [] { throw EConnectionException("Invalid host name"); });
    QTimer::singleShot(0, Main.get(), [] { throw std::runtime_error("plain failure"); });
    for (int I = 0; I < 5 && TVQMessageBox::Shown().size() < 2; ++I)
        QCoreApplication::processEvents();
    EXPECT_EQ(TVQMessageBox::Shown(), QStringList({"Invalid host name", "plain failure"}));
    EXPECT_EQ(ScreenCursor(), crDefault);
    // The program goes on: the window still answers.
    EXPECT_TRUE(Main->isVisible());
}

TEST_F(MainWindowTest, QueryAndSearchDoNothingHarmfulWithoutTheirWindows) {
    QSignalSpy Asked(Main.get(), &TfrmMain::NewQueryRequested);
    Main->aNewQuery->trigger();
    Main->aSearchText->trigger();
    EXPECT_EQ(Asked.count(), 1);
    EXPECT_EQ(Main->MDIChildCount(), 0);
    EXPECT_TRUE(TVQMessageBox::Shown().isEmpty());
}

TEST_F(MainWindowTest, ExitClosesTheMainWindow) {
    Main->aExit->trigger();
    EXPECT_FALSE(Main->isVisible());
}

// --- The controller's messages and texts ------------------------------------

namespace {

// Counts the window messages of one kind that reach an object.
class TMessageCounter : public QObject {
public:
    TMessageCounter(QObject* Target, int Msg) : FMsg(Msg) { Target->installEventFilter(this); }
    int Count = 0;

protected:
    bool eventFilter(QObject*, QEvent* Event) override {
        if (static_cast<int>(Event->type()) == FMsg)
            ++Count;
        return false;
    }

private:
    int FMsg;
};

} // namespace

TEST_F(MainWindowTest, ServerChangesReachTheMainWindowDialogsAndChildren) {
    QDialog Dialog(Main.get());
    Dialog.show();
    QWidget* Child = new TChild(QStringLiteral("Result 1"));
    Main->AddChild(Child);
    TMessageCounter AtMain(Main.get(), WM_DB_SERVERCHANGED);
    TMessageCounter AtDialog(&Dialog, WM_DB_SERVERCHANGED);
    TMessageCounter AtChild(Child, WM_DB_SERVERCHANGED);
    Connection->SetHost(QStringLiteral("another.host"));
    QCoreApplication::processEvents();
    EXPECT_EQ(AtMain.Count, 1);
    EXPECT_EQ(AtDialog.Count, 1);
    EXPECT_EQ(AtChild.Count, 1);
}

TEST_F(MainWindowTest, TheVersionTextNamesTheProductVersion) {
    QCoreApplication::setApplicationVersion(QString());
    Main.reset();
    Main = std::make_unique<TfrmMain>();
    // The same version the About box shows.
    EXPECT_EQ(QCoreApplication::applicationVersion(),
              GetVersionInfoValue(QStringLiteral("ProductVersion")));
    EXPECT_NE(QCoreApplication::applicationVersion(), QStringLiteral("N/A"));
    EXPECT_EQ(Connection->StatusString(), QStringLiteral("Not connected"));
    // A server of another version of the interface.
    Test_Archive_Server::Settings Settings;
    Settings.hash = IPC_DA_DBServer::DBServer_HASH ^ 1;
    Test_Archive_Server Server(Settings);
    PointAt(Server, QStringLiteral("secret"));
    try {
        Connection->SetConnected(true);
        ADD_FAILURE() << "a server of another version was accepted";
    } catch (const std::exception& E) {
        EXPECT_EQ(std::string(E.what()),
                  "The server version is incompatible with " +
                      GetVersionInfoValue(QStringLiteral("ProductVersion")).toStdString());
    }
}
