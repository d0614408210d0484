// The reference archive server, started for a test on a free loopback port
// with a small demo archive of its own, and stopped with the test.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef VQARCHIVED_BINARY
#error "VQARCHIVED_BINARY names the vqarchived program"
#endif

class TLiveServer {
public:
    enum class TStart { Serving, NotBuilt, Failed };

    ~TLiveServer() { Kill(); }

    TStart Start(const QString& Password) {
        // Once the server has said it cannot serve, it will not in this run.
        if (NotBuilt()) {
            FError = NotBuiltText();
            return TStart::NotBuilt;
        }
        const QString Archive = DemoArchive(FError);
        if (Archive.isEmpty())
            return TStart::Failed;
        return Start(Password, Archive);
    }

    // The same on an archive the test made itself.
    TStart Start(const QString& Password, const QString& Archive) {
        if (NotBuilt()) {
            FError = NotBuiltText();
            return TStart::NotBuilt;
        }
        FArchive = Archive;
        FPort = FreePort();
        FPassword = Password;
        return Serve();
    }

    // A server on another archive (a copy a test changed, a database
    // address), with further serving options.
    TStart StartArchive(const QString& Password, const QString& Archive,
                        const QStringList& Options = {}) {
        if (NotBuilt()) {
            FError = NotBuiltText();
            return TStart::NotBuilt;
        }
        FArchive = Archive;
        FOptions = Options;
        FPort = FreePort();
        FPassword = Password;
        return Serve();
    }

    // The demo archive every test of this run shares (made on first use).
    static QString SharedDemoArchive(QString& Error) { return DemoArchive(Error); }

    // The same server again, on the same port, after Kill.
    TStart Restart() {
        Kill();
        return Serve();
    }

    void Kill() {
        if (FServer.state() != QProcess::NotRunning) {
            FServer.kill();
            FServer.waitForFinished(10000);
        }
    }

    quint16 Port() const { return FPort; }
    const QString& Error() const { return FError; }

private:
    TStart Serve() {
        // A test that crashes must not leave its server running.
        FServer.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        FServer.start(QStringLiteral(VQARCHIVED_BINARY),
                      QStringList{QStringLiteral("--port"), QString::number(FPort),
                                  QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                                  QStringLiteral("--password"), FPassword} +
                          FOptions + QStringList{FArchive});
        if (!FServer.waitForStarted(10000))
            return Fail(QStringLiteral("vqarchived did not start"));
        // Until it listens or ends, for at most about 20 s.
        for (int I = 0; I < 200; ++I) {
            if (FServer.waitForFinished(100) || FServer.state() == QProcess::NotRunning) {
                if (FServer.exitStatus() == QProcess::NormalExit && FServer.exitCode() == 3) {
                    NotBuilt() = true;
                    FError = NotBuiltText();
                    return TStart::NotBuilt;
                }
                return Fail(QStringLiteral("vqarchived ended with status %1: %2")
                                .arg(FServer.exitCode())
                                .arg(QString::fromLocal8Bit(FServer.readAllStandardError())));
            }
            if (Listening(FPort))
                return TStart::Serving;
        }
        return Fail(QStringLiteral("vqarchived does not listen on port %1").arg(FPort));
    }

public:
    // A loopback port nobody listens on at this moment.
    static quint16 FreePort() {
        const int S = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in A{};
        A.sin_family = AF_INET;
        A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        A.sin_port = 0;
        socklen_t L = sizeof A;
        quint16 Port = 0;
        if (S >= 0 && ::bind(S, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0 &&
            ::getsockname(S, reinterpret_cast<sockaddr*>(&A), &L) == 0)
            Port = ntohs(A.sin_port);
        if (S >= 0)
            ::close(S);
        return Port;
    }

private:
    static bool& NotBuilt() {
        static bool Seen = false;
        return Seen;
    }
    static QString NotBuiltText() {
        return QStringLiteral("vqarchived cannot serve yet (exit status 3: serving is not built "
                              "yet); the live-server tests wait for it");
    }

    // One demo archive of 200 records for every test of this run; the
    // server only reads it.
    static QString DemoArchive(QString& Error) {
        static QTemporaryDir Dir;
        static QString Made;
        if (!Made.isEmpty())
            return Made;
        if (!Dir.isValid()) {
            Error = QStringLiteral("no temporary folder");
            return {};
        }
        const QString Archive = Dir.path() + QStringLiteral("/archive");
        QProcess Demo;
        Demo.start(QStringLiteral(VQARCHIVED_BINARY),
                   {QStringLiteral("--create-demo"), Archive, QStringLiteral("--records"),
                    QStringLiteral("200")});
        if (!Demo.waitForFinished(120000) || Demo.exitStatus() != QProcess::NormalExit ||
            Demo.exitCode() != 0) {
            Error = QStringLiteral("the demo archive could not be made: ") +
                    QString::fromLocal8Bit(Demo.readAllStandardError());
            return {};
        }
        Made = Archive;
        return Made;
    }

    TStart Fail(const QString& Why) {
        FError = Why;
        return TStart::Failed;
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
    QString FArchive;
    QStringList FOptions;
    QString FPassword;
    quint16 FPort = 0;
    QString FError;
};
