// The controller over the real library against servers that stop
// answering: every wait of the GUI thread ends within the library's bound,
// and the status bar and every form hear of the failure.
#include "DataCache.h"
#include "FakeLibrary.h"
#include "TestWindow.h"

#include "ORTU_Object_Manager.h"
#include "Test_Archive_Server.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

constexpr int BoundMs = 600;

// The library reads its bound once, when it starts: before any test.
struct TBoundConfiguration {
    TBoundConfiguration() {
        Path = QDir::tempPath().toStdString() + "/vq_hung_server_test." +
               std::to_string(QCoreApplication::applicationPid()) + ".ini";
        QFile F(QString::fromStdString(Path));
        if (F.open(QIODevice::WriteOnly))
            F.write(QByteArray("[call_timeout]\nenabled = 1\nmax_level = ") +
                    QByteArray::number(BoundMs) + "\n");
        setenv("ORTU_DEBUG_INI", Path.c_str(), 1);
    }
    ~TBoundConfiguration() { std::remove(Path.c_str()); }
    std::string Path;
} BoundConfiguration;

// The test server lives on this program's own runtime.
class TRuntime : public ::testing::Environment {
public:
    void SetUp() override { ortu_runtime_start(); }
    void TearDown() override { ortu_runtime_stop(); }
};
::testing::Environment* const Runtime = ::testing::AddGlobalTestEnvironment(new TRuntime);

class TQuickConnection : public TDBConnection {
public:
    void SetReconnectDelay(int Ms) { FReconnectDelay = Ms; }
};

class HungServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        InstallRealLibrary();
        SetApplicationExceptionHandler(nullptr);
        Conn = std::make_unique<TQuickConnection>();
        Conn->SetReconnectDelay(10);
        TDBInterface::GetInstance().SetListener(Conn.get());
        Conn->AddForm(&Window);
        Conn->SetHost(QStringLiteral("127.0.0.1"));
        Conn->SetPassword(QStringLiteral("secret"));
    }
    void TearDown() override {
        Conn.reset();
        SetApplicationExceptionHandler(nullptr);
    }

    template <typename F> static long long Milliseconds(F&& Call) {
        const auto Start = std::chrono::steady_clock::now();
        Call();
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - Start)
            .count();
    }

    TTestWindow Window;
    std::unique_ptr<TQuickConnection> Conn;
};

TEST_F(HungServerTest, AStatusPollThatGetsNoAnswerEndsInConnectionLost) {
    Test_Archive_Server::Settings Settings;
    Settings.hang_get_status = true;
    Test_Archive_Server Server(Settings);
    Conn->SetPort(Server.port());
    Conn->SetConnected(true);
    ASSERT_TRUE(Conn->Connected());
    QString Status;
    // The poll waits at most the bound; the reconnect runs beside the
    // window, and the poll after it fails again, which ends the round.
    const long long Ms = Milliseconds([&] { Status = Conn->StatusString(); });
    EXPECT_LT(Ms, BoundMs + 3000);
    EXPECT_TRUE(Status.startsWith(QStringLiteral("Connection lost; reconnecting")));
    for (int I = 0; I < 6000 && Conn->Reconnecting(); ++I) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    EXPECT_EQ(Conn->LastStatus(), QStringLiteral("communication_error"));
    EXPECT_FALSE(Conn->Connected());
    EXPECT_EQ(Conn->ServerState(), stFailed);
    TTestWindow::Pump();
    EXPECT_EQ(Window.Count(WM_DB_CONNECTIONLOST), 1);
}

TEST_F(HungServerTest, ConnectingToAServerThatNeverAnswersFailsWithinTheBound) {
    // Takes connections and never says a word.
    const InetAddress Loopback = InetAddress::loopback();
    TCP_Socket Silent(0, &Loopback);
    Silent.listen();
    Conn->SetPort(Silent.local_endpoint().port);
    std::string Error;
    const long long Ms = Milliseconds([&] {
        try {
            Conn->SetConnected(true);
        } catch (const std::exception& E) {
            Error = E.what();
        }
    });
    EXPECT_LT(Ms, BoundMs + 3000);
    EXPECT_EQ(Error, "Failed to initialize");
    EXPECT_EQ(Conn->StatusString(), QStringLiteral("Failed to initialize"));
    EXPECT_FALSE(Conn->Connected());
}

} // namespace
