#include "DataCache.h"
#include "FakeLibrary.h"
#include "JobHandle.h"
#include "ModelErrors.h"
#include "SettingsStore.h"
#include "TestWindow.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "LiveServer.h"

namespace {

using IPC_DA_DBClient::TSelectResult;

// The controller with its private steps and its clock within reach.
class TTestConnection : public TDBConnection {
public:
    using TDBConnection::CheckConnectResult;
    using TDBConnection::FindJob;
    using TDBConnection::FreeAllJobs;
    using TDBConnection::NotifyWndProc;
    using TDBConnection::PollStatus;

    quint32 Tick = 1000;
    quint32 TickCount() const override { return Tick; }
    void SetReconnectDelay(int Ms) { FReconnectDelay = Ms; }
};

// A library thread handing a record over, as the serving thread does; the
// GUI thread handles messages until the hand-over has returned.
template <typename TFunc> bool RunOnLibraryThread(TFunc F) {
    std::atomic<bool> Done{false};
    std::thread T([&] {
        F();
        Done = true;
    });
    // Bounded: a hand-over that never returns fails the test, not the run.
    for (int I = 0; I < 200000 && !Done; ++I) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        if (!Done)
            std::this_thread::yield();
    }
    const bool Returned = Done;
    if (!Returned)
        DBConnection->Shutdown();
    T.join();
    // Select results do not hold the library's thread: let the window
    // handle what is still queued for it.
    QCoreApplication::sendPostedEvents();
    return Returned;
}

// The status poll that finds the connection lost starts a reconnect round
// and returns at once; the round ends later, on the event loop. Gives the
// status the round ended with.
QString LoseConnection(TDBConnection& Conn) {
    const QString During = Conn.StatusString();
    EXPECT_TRUE(During.startsWith(QStringLiteral("Connection lost; reconnecting")))
        << qPrintable(During);
    // The attempts come after the call, on the event loop.
    EXPECT_TRUE(Conn.Reconnecting());
    EXPECT_FALSE(Conn.Enabled());
    EXPECT_FALSE(Conn.ConnectionOK());
    for (int I = 0; I < 3000 && Conn.Reconnecting(); ++I) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    EXPECT_FALSE(Conn.Reconnecting());
    return Conn.LastStatus();
}

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FHome.isValid());
        qputenv("XDG_CONFIG_HOME", FHome.path().toLocal8Bit());
        InstallFakeLibrary();
        SetApplicationExceptionHandler(nullptr);
        Conn = std::make_unique<TTestConnection>();
        Conn->SetReconnectDelay(0);
        TDBInterface::GetInstance().SetListener(Conn.get());
    }
    void TearDown() override {
        // The reactions refer to the test's locals, which are gone by now.
        for (TTestWindow* W : {W1.get(), W2.get()})
            if (W != nullptr)
                W->OnMessage = nullptr;
        Conn.reset();
        W1.reset();
        W2.reset();
        SetApplicationExceptionHandler(nullptr);
        InstallRealLibrary();
    }

    void Connect() {
        Conn->SetConnected(true);
        ASSERT_TRUE(Conn->Connected());
    }

    static TSelectResult Result(quint32 Id, bool HasMore) {
        TSelectResult R{};
        R.id = Id;
        R.hasMore = HasMore;
        return R;
    }

    QTemporaryDir FHome;
    std::unique_ptr<TTestConnection> Conn;
    std::unique_ptr<TTestWindow> W1 = std::make_unique<TTestWindow>();
    std::unique_ptr<TTestWindow> W2 = std::make_unique<TTestWindow>();
};

// ---------------------------------------------------------------------------
// Creation, settings

TEST_F(ControllerTest, WithNoStoredSettingsTheDefaultsApply) {
    EXPECT_EQ(Conn->Host(), QStringLiteral("localhost"));
    EXPECT_EQ(Conn->Port(), 7456u);
    EXPECT_EQ(Conn->Password(), QStringLiteral("pemrak"));
    EXPECT_EQ(Conn->MaxRecords(), 10000);
    EXPECT_FALSE(Conn->Connected());
    EXPECT_EQ(Conn->StatusString(), QStringLiteral("Not connected"));
    EXPECT_EQ(Conn->ServerState(), stReady);
    EXPECT_TRUE(Conn->Enabled());
    EXPECT_EQ(Fake.ConnectCalls, 0);
    EXPECT_EQ(DBConnection, Conn.get());
}

TEST_F(ControllerTest, StoredSettingsAreReadAtCreation) {
    ASSERT_TRUE(WriteHost(QStringLiteral("archive.local")));
    ASSERT_TRUE(WritePort(9000));
    ASSERT_TRUE(WriteMaxRecords(300));
    ASSERT_TRUE(WritePassword(QStringLiteral("s3cret")));
    Conn.reset();
    Conn = std::make_unique<TTestConnection>();
    EXPECT_EQ(Conn->Host(), QStringLiteral("archive.local"));
    EXPECT_EQ(Conn->Port(), 9000u);
    EXPECT_EQ(Conn->MaxRecords(), 300);
    EXPECT_EQ(Conn->Password(), QStringLiteral("s3cret"));
}

TEST_F(ControllerTest, PasswordAndMaximumArePersisted) {
    Conn->SetPassword(QStringLiteral("newpw"));
    Conn->SetMaxRecords(500);
    QString Password;
    qint32 Max = 0;
    ASSERT_TRUE(ReadPassword(Password));
    ASSERT_TRUE(ReadMaxRecords(Max));
    EXPECT_EQ(Password, QStringLiteral("newpw"));
    EXPECT_EQ(Max, 500);
    EXPECT_EQ(Conn->MaxRecords(), 500);
}

TEST_F(ControllerTest, ConnectingUsesTheStoredSettings) {
    Conn->SetHost(QStringLiteral(" archive "));
    Conn->SetPort(7000);
    Conn->SetPassword(QStringLiteral("pw"));
    Connect();
    EXPECT_EQ(Fake.ConnectHost, " archive ");
    EXPECT_EQ(Fake.ConnectPort, 7000);
    EXPECT_EQ(Fake.ConnectPassword, "pw");
    EXPECT_EQ(Conn->StatusString(), QStringLiteral("Idle"));
}

TEST_F(ControllerTest, ChangingTheHostDisconnectsAndTellsEveryForm) {
    Conn->AddForm(W1.get());
    Connect();
    TVQArcCache* Job = TVQArcCache::Create(W2.get(), opDownload, TIDs{1});
    ASSERT_NE(Job, nullptr);
    Conn->SetHost(QStringLiteral("other"));
    EXPECT_FALSE(Conn->Connected());
    EXPECT_EQ(Fake.DisconnectCalls, 1);
    EXPECT_EQ(Conn->JobCount(), 0);
    EXPECT_EQ(W2->Count(WM_DB_CACHEFREED), 1);
    EXPECT_EQ(Conn->StatusString(), QStringLiteral("Not connected"));
    QString Stored;
    ASSERT_TRUE(ReadHost(Stored));
    EXPECT_EQ(Stored, QStringLiteral("other"));
    // Posted, not sent.
    EXPECT_EQ(W1->Count(WM_DB_SERVERCHANGED), 0);
    TTestWindow::Pump();
    EXPECT_EQ(W1->Count(WM_DB_SERVERCHANGED), 1);
    EXPECT_EQ(W2->Count(WM_DB_SERVERCHANGED), 1);
}

TEST_F(ControllerTest, SettingTheSameHostOrPortDoesNothing) {
    Conn->AddForm(W1.get());
    Connect();
    Conn->SetHost(QStringLiteral("localhost"));
    Conn->SetPort(7456);
    TTestWindow::Pump();
    EXPECT_TRUE(Conn->Connected());
    EXPECT_EQ(Fake.DisconnectCalls, 0);
    EXPECT_EQ(W1->Count(WM_DB_SERVERCHANGED), 0);
    EXPECT_FALSE(QFile::exists(SettingsFilePath()));
}

TEST_F(ControllerTest, ChangingThePortIsStoredAndAnnounced) {
    Conn->AddForm(W1.get());
    Conn->SetPort(7457);
    TTestWindow::Pump();
    quint32 Port = 0;
    ASSERT_TRUE(ReadPort(Port));
    EXPECT_EQ(Port, 7457u);
    EXPECT_EQ(W1->Count(WM_DB_SERVERCHANGED), 1);
}

TEST_F(ControllerTest, MistypedSettingsTakeTheirDefaultsAndAreReported) {
    const QByteArray Broken = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\" +
                              SettingsKeyPath().toUtf8() +
                              "]\n\"Port\"=\"abc\"\n\"Host\"=dword:00000005\n"
                              "\"Data\"=\"plain\"\n\"Max_Recs\"=\"many\"\n";
    QDir().mkpath(QFileInfo(SettingsFilePath()).absolutePath());
    {
        QFile F(SettingsFilePath());
        ASSERT_TRUE(F.open(QIODevice::WriteOnly));
        F.write(Broken);
    }
    Conn.reset();
    ASSERT_NO_THROW(Conn = std::make_unique<TTestConnection>());
    EXPECT_EQ(Conn->Port(), 7456u);
    EXPECT_EQ(Conn->Host(), QStringLiteral("localhost"));
    EXPECT_EQ(Conn->Password(), QStringLiteral("pemrak"));
    EXPECT_EQ(Conn->MaxRecords(), 10000);
    EXPECT_EQ(Conn->SettingsProblems(),
              QStringList({QStringLiteral("Invalid data type for 'Port': 7456 is used instead"),
                           QStringLiteral("Invalid data type for 'Host': \"localhost\" is used "
                                          "instead"),
                           QStringLiteral("Invalid data type for 'Data': the default password is "
                                          "used instead"),
                           QStringLiteral("Invalid data type for 'Max_Recs': 10000 is used "
                                          "instead")}));
    // Connecting uses the defaults, and the operator's file stays as it was.
    TDBInterface::GetInstance().SetListener(Conn.get());
    Conn->SetConnected(true);
    EXPECT_EQ(Fake.ConnectPort, 7456);
    EXPECT_EQ(Fake.ConnectPassword, "pemrak");
    {
        QFile F(SettingsFilePath());
        ASSERT_TRUE(F.open(QIODevice::ReadOnly));
        EXPECT_EQ(F.readAll(), Broken);
    }
    // Until the operator saves settings.
    Conn->SetPort(7460);
    quint32 Port = 0;
    ASSERT_TRUE(ReadPort(Port));
    EXPECT_EQ(Port, 7460u);
}

TEST_F(ControllerTest, BroadcastsReachEveryFormOfTheApplication) {
    // The application's forms as the frame lists them, one of them also
    // registered: each hears once.
    TDBConnection::SetApplicationForms([this] { return QList<QObject*>{W1.get(), W2.get()}; });
    Conn->AddForm(W2.get());
    Conn->SetHost(QStringLiteral("elsewhere"));
    TTestWindow::Pump();
    EXPECT_EQ(W1->Count(WM_DB_SERVERCHANGED), 1);
    EXPECT_EQ(W2->Count(WM_DB_SERVERCHANGED), 1);
    // A form that has gone is not in the list; nothing else changes.
    W1.reset();
    Conn->SetPort(7999);
    TTestWindow::Pump();
    EXPECT_EQ(W2->Count(WM_DB_SERVERCHANGED), 2);
    TDBConnection::SetApplicationForms(nullptr);
}

// ---------------------------------------------------------------------------
// Connecting

struct TCodeText {
    int Code;
    const char* Text;
};

TEST_F(ControllerTest, EachConnectFailureHasItsText) {
    const TCodeText Cases[] = {
        {2, "Failed to init Windows Socket API"},
        {3, "Failed to resolve host"},
        {4, "Failed to connect"},
        {5, "Failed to create interface"},
        {6, "Failed to create back connection"},
        {7, "Failed to initialize"},
        {8, "Invalid password"},
        {9, "The server version is incompatible with 1.0.0.7"},
        {-1, "The server version is incompatible with 1.0.0.7"},
    };
    for (const TCodeText& C : Cases) {
        Fake.ConnectCode = C.Code;
        try {
            Conn->SetConnected(true);
            ADD_FAILURE() << "code " << C.Code << " connected";
        } catch (const EConnectionException& E) {
            EXPECT_EQ(E.Message(), QString::fromLatin1(C.Text)) << "code " << C.Code;
        }
        EXPECT_FALSE(Conn->Connected());
        EXPECT_EQ(Conn->ServerState(), stFailed);
        EXPECT_EQ(Conn->StatusString(), QString::fromLatin1(C.Text));
        EXPECT_TRUE(Conn->Enabled());
    }
}

TEST_F(ControllerTest, AlreadyConnectedCountsAsSuccess) {
    Fake.ConnectCode = 1;
    Connect();
    EXPECT_EQ(Conn->StatusString(), QStringLiteral("Idle"));
}

TEST_F(ControllerTest, TheVersionTextSaysNAWithoutAVersion) {
    QCoreApplication::setApplicationVersion(QString());
    try {
        Conn->CheckConnectResult(12);
        ADD_FAILURE();
    } catch (const EConnectionException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("The server version is incompatible with N/A"));
    }
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0.7"));
}

TEST_F(ControllerTest, ABlankHostOrABadPortIsRefusedWithoutTouchingTheStatus) {
    Conn->SetHost(QStringLiteral("   "));
    try {
        Conn->SetConnected(true);
        ADD_FAILURE();
    } catch (const EConnectionException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Invalid host name"));
    }
    Conn->SetHost(QStringLiteral("h"));
    for (quint32 Port : {0u, 65536u + 7456u}) {
        Conn->SetPort(Port);
        try {
            Conn->SetConnected(true);
            ADD_FAILURE() << Port;
        } catch (const EConnectionException& E) {
            EXPECT_EQ(E.Message(), QStringLiteral("Invalid port"));
        }
    }
    EXPECT_EQ(Fake.ConnectCalls, 0);
    EXPECT_EQ(Conn->StatusString(), QStringLiteral("Not connected"));
    EXPECT_EQ(Conn->ServerState(), stReady);
}

TEST_F(ControllerTest, DisconnectingDropsEveryJob) {
    Connect();
    TVQArcCache::Create(W1.get(), opDownload, TIDs{1});
    TVQArcCache::Create(W2.get(), opDelete, TIDs{2});
    ASSERT_EQ(Conn->JobCount(), 2);
    Conn->SetConnected(false);
    EXPECT_EQ(Conn->JobCount(), 0);
    EXPECT_EQ(W1->Count(WM_DB_CACHEFREED), 1);
    EXPECT_EQ(W2->Count(WM_DB_CACHEFREED), 1);
    EXPECT_EQ(Fake.DisconnectCalls, 1);
    Conn->SetConnected(false);
    EXPECT_EQ(Fake.DisconnectCalls, 1);
}

TEST_F(ControllerTest, AFailedServerDisablesTheCommandsWhileConnected) {
    Connect();
    Fake.StatusState = 2;
    Fake.StatusMessage = "Database is down";
    EXPECT_FALSE(Conn->ConnectionOK());
    EXPECT_EQ(Conn->ServerState(), stFailed);
    EXPECT_FALSE(Conn->Enabled());
    Fake.StatusState = 1;
    EXPECT_TRUE(Conn->ConnectionOK());
    EXPECT_TRUE(Conn->Enabled());
}

TEST_F(ControllerTest, ConnectionOKConnectsOnDemandAndRaisesItsFailure) {
    EXPECT_TRUE(Conn->ConnectionOK());
    EXPECT_TRUE(Conn->Connected());
    Conn->SetConnected(false);
    Fake.ConnectCode = 8;
    EXPECT_THROW(Conn->ConnectionOK(), EConnectionException);
}

TEST_F(ControllerTest, TheStatusFollowsTheServerAndTheJobs) {
    Connect();
    Fake.StatusState = 0;
    Fake.StatusMessage = "Indexing";
    EXPECT_EQ(Conn->StatusString(), QStringLiteral("Indexing"));
    EXPECT_EQ(Conn->ServerState(), stBusy);
    Fake.StatusState = 1;
    EXPECT_EQ(Conn->StatusString(), QStringLiteral("Idle"));
    ASSERT_NE(TVQArcCache::Create(W1.get(), opDownload, TIDs{1}), nullptr);
    EXPECT_EQ(Conn->StatusString(), QStringLiteral("Processing..."));
    EXPECT_EQ(Conn->ServerState(), stBusy);
    // The busy cursor of the poll does not outlive the status read.
    EXPECT_EQ(ScreenCursor(), crDefault);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(ControllerTest, ABusyPollShowsTheBusyCursor) {
    Connect();
    Fake.StatusState = 0;
    EXPECT_EQ(Conn->PollStatus(), stBusy);
    EXPECT_EQ(ScreenCursor(), crAppStart);
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BusyCursor);
    SetScreenCursor(crDefault);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

// ---------------------------------------------------------------------------
// Jobs

TEST_F(ControllerTest, AnSQLJobIsExpandedForTheServerTypeAndSentAtOnce) {
    Connect();
    Fake.ServerType = 3;
    Conn->Tick = 4242;
    TVQArcCache* Job = TVQArcCache::Create(
        W1.get(), opSQLExecute, QStringLiteral("SELECT #F_LENGTH(m.filename) FROM media"));
    ASSERT_NE(Job, nullptr);
    EXPECT_EQ(Job->StringData(), QStringLiteral("SELECT LENGTH(m.filename) FROM media"));
    EXPECT_EQ(Job->Job(), opSQLExecute);
    EXPECT_EQ(Job->Status(), jsResultWaiting);
    EXPECT_EQ(Job->TransactionID(), 4242u);
    EXPECT_EQ(Job->HWndForNotify().data(), W1.get());
    ASSERT_EQ(Fake.Count("SQLExecute"), 1);
    EXPECT_EQ(Fake.Requests.back().Id, 4242u);
    EXPECT_EQ(Fake.Requests.back().Statement, "SELECT LENGTH(m.filename) FROM media");
    EXPECT_TRUE(Conn->CacheExists(Job));
}

TEST_F(ControllerTest, AnSQLJobWithoutAConnectionFailsBeforeConnecting) {
    try {
        TVQArcCache::Create(W1.get(), opSQLExecute, QStringLiteral("SELECT 1"));
        ADD_FAILURE();
    } catch (const EConnectionException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Not connected"));
    }
    EXPECT_EQ(Fake.ConnectCalls, 0);
    EXPECT_EQ(Conn->JobCount(), 0);
}

TEST_F(ControllerTest, ADownloadJobConnectsOnDemand) {
    TVQArcCache* Job = TVQArcCache::Create(W1.get(), opDownload, TIDs{4, 5});
    ASSERT_NE(Job, nullptr);
    EXPECT_TRUE(Conn->Connected());
    ASSERT_EQ(Fake.Count("Download"), 1);
    EXPECT_EQ(Fake.Requests.back().Ids, (std::vector<quint32>{4, 5}));
}

TEST_F(ControllerTest, AJobWhoseConnectFailsIsNotRegistered) {
    Fake.ConnectCode = 4;
    EXPECT_THROW(TVQArcCache::Create(W1.get(), opDelete, TIDs{1}), EConnectionException);
    EXPECT_EQ(Conn->JobCount(), 0);
    // The half-built job was destroyed and told its window.
    EXPECT_EQ(W1->Count(WM_DB_CACHEFREED), 1);
    EXPECT_EQ(Conn->StatusString(), QStringLiteral("Failed to connect"));
}

TEST_F(ControllerTest, AJobKindThatDoesNotFitItsDataIsAnAssertion) {
    Connect();
    try {
        TVQArcCache::Create(W1.get(), opDelete, QStringLiteral("SELECT 1"));
        ADD_FAILURE();
    } catch (const EAssertionFailed& E) {
        EXPECT_EQ(E.Text(), QStringLiteral("TVQArcCache.Create: Invalid operation kind (1)"));
        EXPECT_EQ(E.Unit(), QStringLiteral("ArchiverUI/DataCache"));
    }
    EXPECT_THROW(TVQArcCache::Create(W1.get(), opSearchText, TIDs{1}), EAssertionFailed);
    TSearchOptions Options;
    EXPECT_THROW(TVQArcCache::Create(W1.get(), opSQLExecute, Options), EAssertionFailed);
    EXPECT_EQ(Conn->JobCount(), 0);
}

TEST_F(ControllerTest, ASearchJobTakesTheIdsOverAndCopiesThePhrases) {
    Connect();
    TSearchOptions Options;
    Options.SetPhrases({QStringLiteral("alpha"), QStringLiteral("beta")});
    Options.SetMode(smAnyOf);
    Options.MediaIds() = {10, 20, 30};
    TVQArcCache* Job = TVQArcCache::Create(W1.get(), opSearchText, Options);
    ASSERT_NE(Job, nullptr);
    EXPECT_TRUE(Options.MediaIds().isEmpty());
    EXPECT_EQ(Options.Phrases().size(), 2);
    EXPECT_EQ(Job->MediaIds(), (TIDs{10, 20, 30}));
    EXPECT_EQ(Job->SearchStrings(), (QStringList{QStringLiteral("alpha"), QStringLiteral("beta")}));
    EXPECT_EQ(Job->Mode(), smAnyOf);
    ASSERT_EQ(Fake.Count("SearchText"), 1);
    const TFakeRequest& R = Fake.Requests.back();
    EXPECT_EQ(R.Ids, (std::vector<quint32>{10, 20, 30}));
    EXPECT_EQ(R.Phrases, (std::vector<std::string>{"alpha", "beta"}));
    EXPECT_EQ(R.Mode, 1);
}

TEST_F(ControllerTest, ACloneIsAnUnregisteredCopyWithItsOwnPhrases) {
    Connect();
    TSearchOptions Options;
    Options.SetPhrases({QStringLiteral("x")});
    Options.MediaIds() = {1};
    TVQArcCache* Job = TVQArcCache::Create(W1.get(), opSearchText, Options);
    ASSERT_NE(Job, nullptr);
    std::unique_ptr<TVQArcCache> Copy = Job->Clone();
    EXPECT_FALSE(Conn->CacheExists(Copy.get()));
    EXPECT_EQ(Copy->SearchStrings(), Job->SearchStrings());
    EXPECT_EQ(Copy->MediaIds(), Job->MediaIds());
    EXPECT_EQ(Copy->TransactionID(), Job->TransactionID());
    EXPECT_EQ(Copy->Status(), Job->Status());
    EXPECT_EQ(Copy->HWndForNotify().data(), W1.get());
    Conn->FreeCache(Job);
    EXPECT_EQ(Copy->SearchStrings(), QStringList{QStringLiteral("x")});
}

TEST_F(ControllerTest, JobsRunOneAtATime) {
    Connect();
    Conn->Tick = 100;
    TVQArcCache* First = TVQArcCache::Create(W1.get(), opDownload, TIDs{1});
    Conn->Tick = 200;
    TVQArcCache* Second = TVQArcCache::Create(W2.get(), opDownload, TIDs{2});
    ASSERT_NE(First, nullptr);
    ASSERT_NE(Second, nullptr);
    EXPECT_EQ(First->TransactionID(), 100u);
    EXPECT_EQ(Second->TransactionID(), 0u);
    EXPECT_EQ(Second->Status(), jsExecWaiting);
    EXPECT_EQ(Fake.Count("Download"), 1);

    // The first still waits for its results: the tick refuses the second.
    EXPECT_FALSE(Conn->TimerProc());
    EXPECT_EQ(Second->TransactionID(), 0u);

    // The first window is done with its job; a later tick sends the second.
    EXPECT_TRUE(Conn->FreeCache(First));
    EXPECT_EQ(W1->Count(WM_DB_CACHEFREED), 1);
    EXPECT_FALSE(Conn->FreeCache(First));
    Conn->Tick = 300;
    EXPECT_TRUE(Conn->TimerProc());
    EXPECT_EQ(Second->TransactionID(), 300u);
    EXPECT_EQ(Second->Status(), jsResultWaiting);
    ASSERT_EQ(Fake.Count("Download"), 2);
    EXPECT_EQ(Fake.Requests.back().Ids, std::vector<quint32>{2});
}

TEST_F(ControllerTest, TheTimerDoesNothingWhileDisconnected) {
    EXPECT_FALSE(Conn->TimerProc());
    EXPECT_EQ(Fake.StatusCalls, 0);
}

// The end of a job cancelled a moment ago may still come under its id: the
// next job of the same millisecond must not take it for its own.
TEST_F(ControllerTest, AnIdIsNotGivenAgainInTheSameMillisecond) {
    Connect();
    Conn->Tick = 700;
    ASSERT_NE(TVQArcCache::Create(W1.get(), opDownload, TIDs{1}), nullptr);
    Conn->CancelJob(W1.get());
    TVQArcCache* Next = TVQArcCache::Create(W2.get(), opDownload, TIDs{2});
    ASSERT_NE(Next, nullptr);
    EXPECT_EQ(Next->TransactionID(), 701u);
}

TEST_F(ControllerTest, ATickCountOfZeroIsNotTakenAsAnId) {
    Connect();
    Conn->Tick = 0;
    TVQArcCache* Job = TVQArcCache::Create(W1.get(), opDownload, TIDs{1});
    ASSERT_NE(Job, nullptr);
    // 0 would mark the job as never sent, and the next tick would send it
    // again.
    EXPECT_EQ(Job->TransactionID(), 1u);
    EXPECT_TRUE(Conn->TimerProc());
    EXPECT_EQ(Fake.Count("Download"), 1);
}

TEST_F(ControllerTest, AJobWhoseStartFailsIsFreedAndTheStatusShowsWhy) {
    Connect();
    Fake.RequestFailure = {1, "communication_error"};
    TVQArcCache* Job = TVQArcCache::Create(W1.get(), opDelete, TIDs{1});
    EXPECT_EQ(Job, nullptr);
    EXPECT_EQ(Conn->JobCount(), 0);
    EXPECT_EQ(W1->Count(WM_DB_CACHEFREED), 1);
    EXPECT_FALSE(Conn->Connected());
    EXPECT_EQ(Conn->ServerState(), stFailed);
    EXPECT_EQ(Conn->StatusString(), QStringLiteral("communication_error"));
}

TEST_F(ControllerTest, CancelJobFreesAndCancelsEveryJobOfTheWindow) {
    Connect();
    Conn->Tick = 500;
    TVQArcCache::Create(W1.get(), opDownload, TIDs{1});
    TVQArcCache::Create(W2.get(), opDelete, TIDs{2});
    TVQArcCache::Create(W1.get(), opDelete, TIDs{3});
    ASSERT_EQ(Conn->JobCount(), 3);
    Conn->CancelJob(W1.get());
    ASSERT_EQ(Conn->JobCount(), 1);
    EXPECT_EQ(Conn->Jobs(0)->HWndForNotify().data(), W2.get());
    EXPECT_EQ(W1->Count(WM_DB_CACHEFREED), 2);
    ASSERT_EQ(Fake.Count("CancelOperation"), 2);
    // In list order; the one never sent is cancelled with id 0.
    const TFakeRequest& A = Fake.Requests[Fake.Requests.size() - 2];
    const TFakeRequest& B = Fake.Requests.back();
    EXPECT_EQ(A.Operation, opDownload);
    EXPECT_EQ(A.Id, 500u);
    EXPECT_EQ(B.Operation, opDelete);
    EXPECT_EQ(B.Id, 0u);
}

TEST_F(ControllerTest, CancelJobWithoutAConnectionOnlyFrees) {
    Connect();
    TVQArcCache::Create(W1.get(), opDownload, TIDs{1});
    Conn->SetConnected(false);
    Conn->CancelJob(W1.get());
    EXPECT_EQ(Fake.Count("CancelOperation"), 0);
}

TEST_F(ControllerTest, AWindowMayCancelItsJobsWhileOneIsBeingFreed) {
    Connect();
    TVQArcCache::Create(W1.get(), opDownload, TIDs{1});
    TVQArcCache::Create(W1.get(), opDownload, TIDs{2});
    TVQArcCache::Create(W2.get(), opDownload, TIDs{3});
    // As a result window does on the notice: it reacts by freeing more.
    W1->OnMessage = [this](const TDBMessage& M) {
        if (M.Msg() == WM_DB_CACHEFREED)
            Conn->CancelJob(W2.get());
    };
    Conn->FreeAllJobs();
    EXPECT_EQ(Conn->JobCount(), 0);
    EXPECT_EQ(W1->Count(WM_DB_CACHEFREED), 2);
    EXPECT_EQ(W2->Count(WM_DB_CACHEFREED), 1);
}

TEST_F(ControllerTest, DestroyingAJobOfAClosedWindowGoesNowhere) {
    Connect();
    TVQArcCache* Job = TVQArcCache::Create(W1.get(), opDownload, TIDs{1});
    ASSERT_NE(Job, nullptr);
    W1.reset();
    EXPECT_TRUE(Conn->FreeCache(Job));
}

TEST_F(ControllerTest, FindJobDropsAJobWhoseWindowIsGone) {
    Connect();
    Conn->Tick = 777;
    ASSERT_NE(TVQArcCache::Create(W1.get(), opDownload, TIDs{1}), nullptr);
    EXPECT_EQ(Conn->FindJob(778), nullptr);
    EXPECT_EQ(Conn->FindJob(0), nullptr);
    EXPECT_NE(Conn->FindJob(777), nullptr);
    W1.reset();
    EXPECT_EQ(Conn->FindJob(777), nullptr);
    EXPECT_EQ(Conn->JobCount(), 0);
}

TEST_F(ControllerTest, BroadcastReachesTheLivingForms) {
    Conn->AddForm(W1.get());
    Conn->AddForm(W2.get());
    Conn->AddForm(W1.get());
    {
        TTestWindow Gone;
        Conn->AddForm(&Gone);
    }
    EXPECT_EQ(Conn->Forms().size(), 2);
    Conn->BroadcastMsg(WM_DB_SERVERCHANGED, 3, 4);
    TTestWindow::Pump();
    ASSERT_EQ(W1->Count(WM_DB_SERVERCHANGED), 1);
    EXPECT_EQ(W1->Received.back().WParam, 3u);
    EXPECT_EQ(W1->Received.back().LParam, 4u);
    EXPECT_EQ(W2->Count(WM_DB_SERVERCHANGED), 1);
    Conn->RemoveForm(W2.get());
    Conn->BroadcastMsg(WM_DB_SERVERCHANGED, 0, 0);
    TTestWindow::Pump();
    EXPECT_EQ(W2->Count(WM_DB_SERVERCHANGED), 1);
}

// ---------------------------------------------------------------------------
// Results from the library's thread

TEST_F(ControllerTest, ASelectResultReachesTheJobsWindowAsAWholeCopyInOrder) {
    Connect();
    Conn->Tick = 31;
    TVQArcCache* Job = TVQArcCache::Create(W1.get(), opSQLExecute, QStringLiteral("SELECT 1"));
    ASSERT_NE(Job, nullptr);
    Conn->AddForm(W2.get());
    // Two rows of two pairs, one value missing, and an error text.
    char N1[] = "mediaId", V1[] = "17", N2[] = "ext", V2[] = "wav", Msg[] = "warn";
    IPC_DA_DBClient::TValueItem Row0[] = {{N1, V1}, {N2, V2}};
    IPC_DA_DBClient::TValueItem Row1[] = {{N1, V2}, {N2, nullptr}};
    IPC_DA_DBClient::TSelectRow Rows[] = {{{2, Row0}}, {{2, Row1}}};
    TSelectResult First = Result(31, true);
    First.rows.rows_len = 2;
    First.rows.rows_val = Rows;
    First.error.msg = Msg;
    TSelectResult Last = Result(31, false);
    std::atomic<bool> OnGuiThread{false};
    std::vector<std::string> Seen;
    W1->OnMessage = [&](const TDBMessage& M) {
        OnGuiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
        const auto* R = reinterpret_cast<const TSelectResult*>(M.WParam);
        std::string Text = std::to_string(R->id) + (R->hasMore ? "+" : ".");
        for (quint32 I = 0; I < R->rows.rows_len; ++I)
            for (quint32 C = 0; C < R->rows.rows_val[I].cols.cols_len; ++C) {
                const auto& Pair = R->rows.rows_val[I].cols.cols_val[C];
                Text += std::string(" ") + Pair.name + "=" + (Pair.value ? Pair.value : "(null)");
            }
        if (R->error.msg)
            Text += std::string(" !") + R->error.msg;
        Seen.push_back(Text);
    };
    ASSERT_TRUE(RunOnLibraryThread([&] {
        TDBInterface::OnSelectResult(&First);
        // The library reuses its buffers at once; the window must not care.
        V1[0] = 'X';
        Msg[0] = 'X';
        TDBInterface::OnSelectResult(&Last);
    }));
    EXPECT_TRUE(OnGuiThread);
    ASSERT_EQ(W1->Count(WM_DB_SELECTRESULT), 2);
    EXPECT_EQ(W1->Received.back().LParam, reinterpret_cast<quintptr>(Job));
    EXPECT_EQ(W1->Received.back().RecordId, 31u);
    EXPECT_EQ(W1->Received.front().Rows, 2);
    ASSERT_EQ(Seen.size(), 2u);
    EXPECT_EQ(Seen[0], "31+ mediaId=17 ext=wav mediaId=wav ext=(null) !warn");
    EXPECT_EQ(Seen[1], "31.");
    EXPECT_EQ(W2->Received.size(), 0u);
}

TEST_F(ControllerTest, TheLibraryThreadRunsAheadOfTheWindowOnlyUpToTheBound) {
    Connect();
    Conn->Tick = 32;
    ASSERT_NE(TVQArcCache::Create(W1.get(), opSQLExecute, QStringLiteral("SELECT 1")), nullptr);
    TSelectResult R = Result(32, true);
    // Each copy is larger than the bound's half: one may wait, never two.
    Conn->FQueueLimit = 1;
    std::atomic<int> Sent{0};
    std::thread Library([&] {
        for (int I = 0; I < 3; ++I) {
            TDBInterface::OnSelectResult(&R);
            ++Sent;
        }
    });
    // The window does not look at its messages for a while.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Sent.load(), 1) << "the library's thread did not wait for the window";
    for (int I = 0; I < 2000 && Sent < 3; ++I) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Library.join();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(Sent.load(), 3);
    EXPECT_EQ(W1->Count(WM_DB_SELECTRESULT), 3);
}

TEST_F(ControllerTest, OtherResultsStillHoldTheLibraryThreadUntilHandled) {
    Connect();
    Conn->Tick = 33;
    ASSERT_NE(TVQArcCache::Create(W1.get(), opDownload, TIDs{1}), nullptr);
    IPC_DA_DBClient::TDownloadProcess D{};
    D.id = 33;
    std::atomic<bool> HandledBeforeReturn{false};
    ASSERT_TRUE(RunOnLibraryThread([&] {
        TDBInterface::OnDownloadProcess(&D);
        HandledBeforeReturn = W1->Count(WM_DB_DOWNLOADPROCESS) == 1;
    }));
    EXPECT_TRUE(HandledBeforeReturn);
    EXPECT_EQ(W1->Received.back().WParam, reinterpret_cast<quintptr>(&D));
}

TEST_F(ControllerTest, EachKindOfResultIsForwardedUnderItsMessage) {
    Connect();
    Conn->Tick = 50;
    ASSERT_NE(TVQArcCache::Create(W1.get(), opDownload, TIDs{1}), nullptr);
    IPC_DA_DBClient::TDownloadProcess D{};
    D.id = 50;
    IPC_DA_DBClient::TSearchProcess S{};
    S.id = 50;
    IPC_DA_DBClient::TDeleteComplete C{};
    C.id = 50;
    ASSERT_TRUE(RunOnLibraryThread([&] {
        TDBInterface::OnDownloadProcess(&D);
        TDBInterface::OnSearchProcess(&S);
        TDBInterface::OnDeleteComplete(&C);
    }));
    ASSERT_EQ(W1->Received.size(), 3u);
    EXPECT_EQ(W1->Received[0].Msg, WM_DB_DOWNLOADPROCESS);
    EXPECT_EQ(W1->Received[1].Msg, WM_DB_SEARCHPROCESS);
    EXPECT_EQ(W1->Received[2].Msg, WM_DB_DELETECOMPLETE);
    for (const TReceived& Got : W1->Received)
        EXPECT_EQ(Got.RecordId, 50u);
}

TEST_F(ControllerTest, AResultForAClosedWindowIsDroppedAndItsJobFreed) {
    Connect();
    Conn->Tick = 60;
    ASSERT_NE(TVQArcCache::Create(W1.get(), opSQLExecute, QStringLiteral("SELECT 1")), nullptr);
    W1.reset();
    TSelectResult R = Result(60, true);
    ASSERT_TRUE(RunOnLibraryThread([&] { TDBInterface::OnSelectResult(&R); }));
    EXPECT_EQ(Conn->JobCount(), 0);
}

TEST_F(ControllerTest, AResultOfNoJobIsDropped) {
    Connect();
    Conn->Tick = 70;
    ASSERT_NE(TVQArcCache::Create(W1.get(), opSQLExecute, QStringLiteral("SELECT 1")), nullptr);
    Conn->Tick = 80;
    ASSERT_NE(TVQArcCache::Create(W2.get(), opDownload, TIDs{1}), nullptr);
    TSelectResult Stray = Result(71, false);
    // 0 is the id of the waiting, unsent job: no result belongs to it.
    TSelectResult Zero = Result(0, false);
    ASSERT_TRUE(RunOnLibraryThread([&] {
        TDBInterface::OnSelectResult(&Stray);
        TDBInterface::OnSelectResult(&Zero);
    }));
    EXPECT_EQ(W1->Received.size(), 0u);
    EXPECT_EQ(W2->Received.size(), 0u);
    EXPECT_EQ(Conn->JobCount(), 2);
}

TEST_F(ControllerTest, AnErrorInTheWindowsHandlerGoesToTheExceptionDisplay) {
    Connect();
    Conn->Tick = 90;
    ASSERT_NE(TVQArcCache::Create(W1.get(), opSQLExecute, QStringLiteral("SELECT 1")), nullptr);
    QStringList Shown;
    SetApplicationExceptionHandler(
        [&](std::exception_ptr E) { Shown.append(ExceptionMessage(E)); });
    W1->OnMessage = [](const TDBMessage&) {
        throw EConnectionException(QStringLiteral("Your computer can not allocate"));
    };
    TSelectResult R = Result(90, false);
    bool LibraryThreadSawAnError = false;
    ASSERT_TRUE(RunOnLibraryThread([&] {
        try {
            TDBInterface::OnSelectResult(&R);
        } catch (...) {
            LibraryThreadSawAnError = true;
        }
    }));
    EXPECT_FALSE(LibraryThreadSawAnError);
    EXPECT_EQ(Shown, QStringList{QStringLiteral("Your computer can not allocate")});
}

TEST_F(ControllerTest, AWindowMayFreeItsJobWhileHandlingAResult) {
    Connect();
    Conn->Tick = 95;
    ASSERT_NE(TVQArcCache::Create(W1.get(), opSQLExecute, QStringLiteral("SELECT 1")), nullptr);
    W1->OnMessage = [this](const TDBMessage& M) {
        if (M.Msg() == WM_DB_SELECTRESULT)
            Conn->FreeCache(M.Cache());
    };
    TSelectResult R = Result(95, false);
    ASSERT_TRUE(RunOnLibraryThread([&] { TDBInterface::OnSelectResult(&R); }));
    EXPECT_EQ(Conn->JobCount(), 0);
    EXPECT_EQ(W1->Count(WM_DB_CACHEFREED), 1);
}

TEST_F(ControllerTest, ShutdownReleasesAWaitingLibraryThread) {
    Connect();
    Conn->Tick = 99;
    ASSERT_NE(TVQArcCache::Create(W1.get(), opSQLExecute, QStringLiteral("SELECT 1")), nullptr);
    TSelectResult R = Result(99, false);
    std::atomic<bool> Returned{false};
    std::thread T([&] {
        TDBInterface::OnSelectResult(&R);
        Returned = true;
    });
    // The GUI thread handles no messages: the hand-over can only end by the
    // shutdown.
    Conn->Shutdown();
    T.join();
    EXPECT_TRUE(Returned);
    TTestWindow::Pump();
    EXPECT_EQ(W1->Count(WM_DB_SELECTRESULT), 0);
}

TEST_F(ControllerTest, AResultOnTheGuiThreadIsDeliveredAtOnce) {
    Connect();
    Conn->Tick = 111;
    ASSERT_NE(TVQArcCache::Create(W1.get(), opSQLExecute, QStringLiteral("SELECT 1")), nullptr);
    TSelectResult R = Result(111, false);
    Conn->SelectResult(&R);
    EXPECT_EQ(W1->Count(WM_DB_SELECTRESULT), 1);
}

TEST_F(ControllerTest, OtherMessagesToTheHiddenWindowAreNotForwarded) {
    Connect();
    Conn->Tick = 120;
    ASSERT_NE(TVQArcCache::Create(W1.get(), opSQLExecute, QStringLiteral("SELECT 1")), nullptr);
    Conn->NotifyWndProc(WM_DB_JOBDONE, 0, 120);
    Conn->NotifyWndProc(WM_DB_CONNECTIONLOST, 0, 120);
    EXPECT_EQ(W1->Received.size(), 0u);
}

// ---------------------------------------------------------------------------
// Lost connections

TEST_F(ControllerTest, AServerThatDiesIsRetriedFourTimesThenEveryFormHears) {
    Conn->AddForm(W2.get());
    Connect();
    Conn->Tick = 130;
    ASSERT_NE(TVQArcCache::Create(W1.get(), opSQLExecute, QStringLiteral("SELECT 1")), nullptr);
    const int ConnectsBefore = Fake.ConnectCalls;
    Fake.StatusFailure = {1, "communication_error"};
    Fake.StatusFailures = 1;
    Fake.ConnectCode = 4;
    EXPECT_EQ(LoseConnection(*Conn), QStringLiteral("communication_error"));
    EXPECT_EQ(Fake.ConnectCalls - ConnectsBefore, 4);
    EXPECT_FALSE(Conn->Connected());
    EXPECT_EQ(Conn->ServerState(), stFailed);
    EXPECT_EQ(Conn->JobCount(), 0);
    EXPECT_GE(W1->Count(WM_DB_CACHEFREED), 1);
    TTestWindow::Pump();
    EXPECT_EQ(W1->Count(WM_DB_CONNECTIONLOST), 1);
    EXPECT_EQ(W2->Count(WM_DB_CONNECTIONLOST), 1);
}

TEST_F(ControllerTest, AReconnectRestartsTheJobsUnderNewIds) {
    Connect();
    Conn->Tick = 140;
    TVQArcCache* Old = TVQArcCache::Create(W1.get(), opSQLExecute, QStringLiteral("SELECT 140"));
    ASSERT_NE(Old, nullptr);
    Conn->Tick = 150;
    ASSERT_NE(TVQArcCache::Create(W2.get(), opDownload, TIDs{9}), nullptr);
    Fake.StatusFailure = {1, "communication_error"};
    Fake.StatusFailures = 1;
    Fake.ConnectCodes = {4, 0};
    Conn->Tick = 160;
    EXPECT_EQ(LoseConnection(*Conn), QStringLiteral("Processing..."));
    EXPECT_TRUE(Conn->Connected());
    ASSERT_EQ(Conn->JobCount(), 2);
    TVQArcCache* First = Conn->Jobs(0);
    TVQArcCache* Second = Conn->Jobs(1);
    EXPECT_EQ(First->HWndForNotify().data(), W1.get());
    EXPECT_EQ(First->StringData(), QStringLiteral("SELECT 140"));
    EXPECT_EQ(First->TransactionID(), 160u);
    EXPECT_EQ(First->Status(), jsResultWaiting);
    EXPECT_EQ(Second->TransactionID(), 0u);
    EXPECT_EQ(Second->Status(), jsExecWaiting);
    // Each restarted job's window is told at once; the old ids are
    // cancelled as 0, the id the copies carry.
    EXPECT_EQ(W1->Count(WM_DB_CONNECTIONLOST), 1);
    EXPECT_EQ(W2->Count(WM_DB_CONNECTIONLOST), 1);
    EXPECT_EQ(Fake.Count("CancelOperation"), 2);
    EXPECT_EQ(Fake.Requests.back().Kind, "SQLExecute");
    EXPECT_EQ(Fake.Requests.back().Id, 160u);
    EXPECT_EQ(Fake.Requests.back().Statement, "SELECT 140");
}

// The copy a reconnect restarts stands in for a job that had received
// nothing; a job that had received rows ends as lost, and its copy is
// dropped, so that no row arrives twice.
TEST_F(ControllerTest, AJobHandleTakesARestartedCopyOnlyWhenNothingHadArrived) {
    for (const int Before : {0, 2}) {
        SCOPED_TRACE(Before);
        Connect();
        TJobHandle Handle(nullptr);
        int Rows = 0, Replaced = 0, Lost = 0;
        QObject::connect(&Handle, &TJobHandle::Rows, [&] { ++Rows; });
        QObject::connect(&Handle, &TJobHandle::Replaced, [&] { ++Replaced; });
        QObject::connect(&Handle, &TJobHandle::ConnectionLost, [&](qint64 N) { Lost += int(N); });
        Conn->Tick = 300 + quint32(Before);
        Handle.Start(opSQLExecute, QStringLiteral("SELECT 1"));
        TSelectResult R = Result(Conn->Jobs(0)->TransactionID(), true);
        for (int I = 0; I < Before; ++I)
            Conn->SelectResult(&R);
        Fake.StatusFailure = {1, "communication_error"};
        Fake.StatusFailures = 1;
        Fake.ConnectCodes = {0};
        Conn->Tick += 10;
        LoseConnection(*Conn);
        TTestWindow::Pump();
        TTestWindow::Pump();
        EXPECT_EQ(Rows, Before);
        EXPECT_EQ(Replaced, Before == 0 ? 1 : 0);
        EXPECT_EQ(Lost, Before);
        EXPECT_EQ(Handle.Running(), Before == 0);
        EXPECT_EQ(Conn->JobCount(), Before == 0 ? 1 : 0);
        Conn->SetConnected(false);
    }
}

TEST_F(ControllerTest, AServerThatConnectsButCannotReportIsGivenUpAfterOneRound) {
    Conn->AddForm(W1.get());
    Connect();
    const int ConnectsBefore = Fake.ConnectCalls;
    Fake.StatusFailure = {1, "selector_error"};
    Fake.StatusFailures = -1;
    EXPECT_EQ(LoseConnection(*Conn), QStringLiteral("selector_error"));
    EXPECT_EQ(Fake.ConnectCalls - ConnectsBefore, 1);
    EXPECT_FALSE(Conn->Connected());
    TTestWindow::Pump();
    EXPECT_EQ(W1->Count(WM_DB_CONNECTIONLOST), 1);
}

TEST_F(ControllerTest, CheckConnectionWithABadPasswordRestoresTheConnection) {
    Connect();
    Fake.ConnectCodes = {8};
    try {
        Conn->CheckConnection(QStringLiteral("other"), 7000, QStringLiteral("wrong"));
        ADD_FAILURE();
    } catch (const EConnectionException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Invalid password"));
    }
    EXPECT_TRUE(Conn->Connected());
    // Reconnected with the stored settings, not the tested ones.
    EXPECT_EQ(Fake.ConnectHost, "localhost");
    EXPECT_EQ(Fake.ConnectPort, 7456);
    EXPECT_EQ(Fake.ConnectPassword, "pemrak");
    EXPECT_EQ(Fake.ConnectCalls, 3);
}

TEST_F(ControllerTest, CheckConnectionTestsTheGivenSettingsAndStaysDisconnected) {
    Conn->CheckConnection(QStringLiteral("other"), 7000, QStringLiteral("right"));
    EXPECT_EQ(Fake.ConnectHost, "other");
    EXPECT_EQ(Fake.ConnectPort, 7000);
    EXPECT_EQ(Fake.ConnectPassword, "right");
    EXPECT_FALSE(Conn->Connected());
    EXPECT_FALSE(Fake.Connected);
    EXPECT_THROW(Conn->CheckConnection(QStringLiteral("other"), 70000, QStringLiteral("x")),
                 EConnectionException);
    EXPECT_EQ(Fake.ConnectCalls, 1);
}

// ---------------------------------------------------------------------------
// Against the reference archive server and the real library

class LiveServerTest : public ControllerTest {
protected:
    void SetUp() override {
        ControllerTest::SetUp();
        InstallRealLibrary();
        FServer = std::make_unique<TLiveServer>();
        switch (FServer->Start(QStringLiteral("livepw"))) {
        case TLiveServer::TStart::Serving:
            break;
        case TLiveServer::TStart::NotBuilt:
            GTEST_SKIP() << qPrintable(FServer->Error());
        case TLiveServer::TStart::Failed:
            FAIL() << qPrintable(FServer->Error());
        }
        Conn->SetHost(QStringLiteral("127.0.0.1"));
        Conn->SetPort(FServer->Port());
        Conn->SetPassword(QStringLiteral("livepw"));
    }
    void TearDown() override {
        Conn.reset();
        FServer.reset();
        ControllerTest::TearDown();
    }

    // Handles messages until Done holds; bounded so a silent server fails
    // the test instead of hanging it.
    template <typename TPred> bool PumpUntil(TPred Done) {
        for (int I = 0; I < 3000 && !Done(); ++I) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(10);
        }
        return Done();
    }

    std::unique_ptr<TLiveServer> FServer;
};

TEST_F(LiveServerTest, TheRightPasswordConnects) {
    Connect();
    EXPECT_NE(Conn->StatusString(), QStringLiteral("Not connected"));
    EXPECT_TRUE(Conn->Enabled());
}

TEST_F(LiveServerTest, AWrongPasswordIsInvalidPassword) {
    Conn->SetPassword(QStringLiteral("nope"));
    try {
        Conn->SetConnected(true);
        ADD_FAILURE();
    } catch (const EConnectionException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Invalid password"));
    }
    EXPECT_FALSE(Conn->Connected());
}

TEST_F(LiveServerTest, JobsAreSentOneAtATimeAndResultsReachTheirWindows) {
    Connect();
    // The windows free their jobs on the last packet, as result windows do.
    for (TTestWindow* W : {W1.get(), W2.get()}) {
        W->OnMessage = [this, W](const TDBMessage& M) {
            if (M.Msg() == WM_DB_SELECTRESULT) {
                const auto* R = M.Record<TSelectResult>();
                if (!R->hasMore || R->error.error != deSuccess)
                    PostDBMessage(W, WM_DB_JOBDONE, 0, M.LParam);
            } else if (M.Msg() == WM_DB_JOBDONE) {
                Conn->FreeCache(M.Cache());
            }
        };
    }
    TVQArcCache* First = TVQArcCache::Create(
        W1.get(), opSQLExecute, QStringLiteral("SELECT Media_ID FROM media WHERE media_type='im'"));
    TVQArcCache* Second =
        TVQArcCache::Create(W2.get(), opSQLExecute,
                            QStringLiteral("SELECT Media_ID FROM media WHERE media_type='fax'"));
    ASSERT_NE(First, nullptr);
    ASSERT_NE(Second, nullptr);
    EXPECT_EQ(Second->TransactionID(), 0u);
    const quintptr FirstJob = reinterpret_cast<quintptr>(First);
    const quint32 FirstId = First->TransactionID();
    ASSERT_TRUE(PumpUntil([&] { return W1->Count(WM_DB_JOBDONE) == 1; }));
    EXPECT_EQ(W2->Count(WM_DB_SELECTRESULT), 0);
    int Rows = 0;
    for (const TReceived& R : W1->Received) {
        if (R.Msg != WM_DB_SELECTRESULT)
            continue;
        Rows += R.Rows;
        EXPECT_EQ(R.LParam, FirstJob);
        EXPECT_EQ(R.RecordId, FirstId);
    }
    EXPECT_GT(Rows, 0);
    ASSERT_TRUE(PumpUntil([&] {
        Conn->TimerProc();
        return W2->Count(WM_DB_JOBDONE) == 1;
    }));
    EXPECT_EQ(Conn->JobCount(), 0);
    int FaxRows = 0;
    for (const TReceived& R : W2->Received)
        FaxRows += R.Rows;
    EXPECT_GT(FaxRows, 0);
    EXPECT_LT(FaxRows, Rows);
}

TEST_F(LiveServerTest, AResultForADestroyedWindowIsDropped) {
    Connect();
    ASSERT_NE(
        TVQArcCache::Create(W1.get(), opSQLExecute, QStringLiteral("SELECT Media_ID FROM media")),
        nullptr);
    W1.reset();
    ASSERT_TRUE(PumpUntil([&] { return Conn->JobCount() == 0; }));
}

TEST_F(LiveServerTest, AServerThatDiesEndsInConnectionLostForEveryForm) {
    Conn->AddForm(W1.get());
    Conn->AddForm(W2.get());
    Connect();
    FServer->Kill();
    Conn->StatusString();
    ASSERT_TRUE(PumpUntil([&] {
        Conn->StatusString();
        return W1->Count(WM_DB_CONNECTIONLOST) == 1;
    }));
    EXPECT_EQ(W2->Count(WM_DB_CONNECTIONLOST), 1);
    EXPECT_FALSE(Conn->Connected());
    EXPECT_EQ(Conn->ServerState(), stFailed);
}

TEST_F(LiveServerTest, AfterAServerRestartTheRunningJobIsSentAgain) {
    Connect();
    // This window keeps its job: it stays waiting for results.
    TVQArcCache* Job = TVQArcCache::Create(
        W1.get(), opSQLExecute, QStringLiteral("SELECT Media_ID FROM media WHERE media_type='vm'"));
    ASSERT_NE(Job, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return W1->Count(WM_DB_SELECTRESULT) > 0; }));
    ASSERT_EQ(FServer->Restart(), TLiveServer::TStart::Serving) << qPrintable(FServer->Error());
    const size_t Before = W1->Received.size();
    LoseConnection(*Conn);
    EXPECT_TRUE(Conn->Connected());
    ASSERT_EQ(Conn->JobCount(), 1);
    EXPECT_EQ(W1->Count(WM_DB_CONNECTIONLOST), 1);
    EXPECT_EQ(Conn->Jobs(0)->Status(), jsResultWaiting);
    // The copy's results reach the window under the copy.
    const quintptr Copy = reinterpret_cast<quintptr>(Conn->Jobs(0));
    ASSERT_TRUE(PumpUntil([&] {
        for (size_t I = Before; I < W1->Received.size(); ++I)
            if (W1->Received[I].Msg == WM_DB_SELECTRESULT && W1->Received[I].LParam == Copy)
                return true;
        return false;
    }));
}

TEST_F(LiveServerTest, CheckConnectionRestoresThePreviousState) {
    Connect();
    try {
        Conn->CheckConnection(QStringLiteral("127.0.0.1"), FServer->Port(), QStringLiteral("bad"));
        ADD_FAILURE() << "a bad password passed the check";
    } catch (const EConnectionException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Invalid password"));
    }
    EXPECT_TRUE(Conn->Connected());
    EXPECT_NE(Conn->StatusString(), QStringLiteral("Not connected"));
    EXPECT_NO_THROW(Conn->CheckConnection(QStringLiteral("127.0.0.1"), FServer->Port(),
                                          QStringLiteral("livepw")));
    EXPECT_TRUE(Conn->Connected());
}

// The real library with nothing listening: no server needed.
class NoServerTest : public ControllerTest {
protected:
    void SetUp() override {
        ControllerTest::SetUp();
        InstallRealLibrary();
    }
};

TEST_F(NoServerTest, AClosedPortFailsToConnect) {
    Conn->SetHost(QStringLiteral("127.0.0.1"));
    Conn->SetPort(TLiveServer::FreePort());
    try {
        Conn->SetConnected(true);
        ADD_FAILURE();
    } catch (const EConnectionException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Failed to connect"));
    }
    EXPECT_EQ(Conn->StatusString(), QStringLiteral("Failed to connect"));
}

} // namespace
