// Shared by the result window's test programs: one application object on
// the offscreen platform with private settings and temporary folders, the
// reference archive server on a demo archive of its own, and ways to wait
// for the window while the event loop runs.
#pragma once

#include "DataCache.h"
#include "LiveTestSupport.h"

#include "VQApplication.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <netinet/in.h>
#include <ostream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

// Readable texts in failure messages.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& Text, std::ostream* Out) {
    *Out << '"' << Text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace results_test {

class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        if (std::getenv("QT_QPA_PLATFORM") == nullptr)
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        Config = std::make_unique<QTemporaryDir>();
        Temp = std::make_unique<QTemporaryDir>();
        ASSERT_TRUE(Config->isValid() && Temp->isValid());
        setenv("XDG_CONFIG_HOME", Config->path().toLocal8Bit().constData(), 1);
        // The windows' download files go below the temporary folder.
        setenv("TMPDIR", Temp->path().toLocal8Bit().constData(), 1);
        App = std::make_unique<TVQApplication>(Argc, Argv);
    }
    void TearDown() override {
        App.reset();
        Temp.reset();
        Config.reset();
    }

    static inline int Argc = 1;
    static inline char Name[] = "results_test";
    static inline char* Argv[] = {Name, nullptr};
    std::unique_ptr<QApplication> App;
    std::unique_ptr<QTemporaryDir> Config;
    std::unique_ptr<QTemporaryDir> Temp;
};

inline ::testing::Environment* const Registered =
    ::testing::AddGlobalTestEnvironment(new Environment);

using live_test::Pump;
using live_test::WaitUntil;

// The controller with short reconnect waits, so that a lost server is
// given up within a test's patience.
class TTestConnection : public TDBConnection {
public:
    TTestConnection() { FReconnectDelay = 20; }
};

#ifdef VQARCHIVED_BINARY
// The reference archive server on a demo archive of this test program,
// made once, on a free loopback port.
class TArchiveServer {
public:
    ~TArchiveServer() { Stop(); }

    // Extra options go before the archive (fault injection, batch size).
    bool Start(const QString& Password, const QStringList& Options = {}) {
        if (Archive().isEmpty())
            return false;
        FPort = FreePort();
        FServer.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        QStringList Args = {QStringLiteral("--port"),     QString::number(FPort),
                            QStringLiteral("--listen"),   QStringLiteral("127.0.0.1"),
                            QStringLiteral("--password"), Password};
        Args += Options;
        Args.append(Archive());
        FServer.start(QStringLiteral(VQARCHIVED_BINARY), Args);
        if (!FServer.waitForStarted(10000))
            return Fail(QStringLiteral("vqarchived did not start"));
        for (int I = 0; I < 200; ++I) {
            if (FServer.waitForFinished(100) || FServer.state() == QProcess::NotRunning)
                return Fail(QStringLiteral("vqarchived ended: ") +
                            QString::fromLocal8Bit(FServer.readAllStandardError()));
            if (Listening(FPort))
                return true;
        }
        return Fail(QStringLiteral("vqarchived does not listen"));
    }

    void Stop() {
        if (FServer.state() != QProcess::NotRunning) {
            FServer.kill();
            FServer.waitForFinished(10000);
        }
    }

    quint16 Port() const { return FPort; }
    const QString& Error() const { return FError; }

    // The demo archive: 400 records, made once for the program.
    static QString Archive() {
        static QTemporaryDir Dir;
        static QString Made;
        if (!Made.isEmpty() || !Dir.isValid())
            return Made;
        const QString Path = Dir.path() + QStringLiteral("/archive");
        QProcess Demo;
        Demo.start(QStringLiteral(VQARCHIVED_BINARY),
                   {QStringLiteral("--create-demo"), Path, QStringLiteral("--records"),
                    QStringLiteral("400")});
        if (Demo.waitForFinished(120000) && Demo.exitStatus() == QProcess::NormalExit &&
            Demo.exitCode() == 0)
            Made = Path;
        return Made;
    }

    static quint16 FreePort() { return live_test::FreePort(); }

private:
    bool Fail(const QString& Why) {
        FError = Why;
        return false;
    }

    static bool Listening(quint16 Port) {
        const int S = ::socket(AF_INET, SOCK_STREAM, 0);
        if (S < 0)
            return false;
        sockaddr_in A{};
        A.sin_family = AF_INET;
        A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        A.sin_port = htons(Port);
        const bool Ok = ::connect(S, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0;
        ::close(S);
        return Ok;
    }

    QProcess FServer;
    quint16 FPort = 0;
    QString FError;
};
#endif

} // namespace results_test
