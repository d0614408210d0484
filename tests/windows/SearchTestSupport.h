// Shared by the text search's test programs and its benchmark: a demo
// archive whose instant messages say known texts, the reference archive
// server serving it, and a way to work the modal dialog as a person would
// while its own event loop runs.
#pragma once

#include "LiveTestSupport.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#ifndef VQARCHIVED_BINARY
#error "VQARCHIVED_BINARY names the vqarchived program"
#endif

namespace search_test {

using live_test::FreePort;
using live_test::Pump;
using live_test::SqliteExec;
using live_test::SqliteRows;
using live_test::WaitUntil;

// A demo archive made by the reference server, whose instant messages are
// then given texts from a list, in turn by record id, so that a test knows
// which records each phrase finds.
class TKnownArchive {
public:
    // Makes the archive in a folder of its own (below Parent when given);
    // Texts empty keeps the demo's own texts.
    bool Make(quint32 Records, const QStringList& Texts, const QString& Parent = {}) {
        if (!Parent.isEmpty())
            FDir = std::make_unique<QTemporaryDir>(Parent + QStringLiteral("/search-XXXXXX"));
        if (!FDir->isValid())
            return Fail(QStringLiteral("no temporary folder"));
        FPath = FDir->path() + QStringLiteral("/archive");
        QProcess Demo;
        Demo.start(QStringLiteral(VQARCHIVED_BINARY),
                   {QStringLiteral("--create-demo"), FPath, QStringLiteral("--records"),
                    QString::number(Records)});
        if (!Demo.waitForFinished(600000) || Demo.exitStatus() != QProcess::NormalExit ||
            Demo.exitCode() != 0)
            return Fail(QStringLiteral("the demo archive could not be made: ") +
                        QString::fromLocal8Bit(Demo.readAllStandardError()));
        for (const QStringList& Row :
             SqliteRows(File(), QStringLiteral("SELECT Media_ID FROM media WHERE Media_Type = 'im' "
                                               "ORDER BY Media_ID")))
            FMessages.push_back(Row.first().toUInt());
        if (Texts.isEmpty())
            return true;
        QString Statement = QStringLiteral("BEGIN;");
        for (size_t I = 0; I < FMessages.size(); ++I) {
            const QString Text = Texts.at(int(I % size_t(Texts.size())));
            FTexts[FMessages[I]] = Text;
            QString Quoted = Text;
            Quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
            Statement += QStringLiteral("UPDATE messages SET body = '%1' WHERE Media_ID = %2;")
                             .arg(Quoted)
                             .arg(FMessages[I]);
        }
        Statement += QStringLiteral("COMMIT;");
        QString Error;
        if (!SqliteExec(File(), Statement, &Error))
            return Fail(QStringLiteral("the texts could not be written: ") + Error);
        return true;
    }

    const QString& Path() const { return FPath; }
    QString File() const { return FPath + QStringLiteral("/archive.sqlite"); }
    const QString& Error() const { return FError; }
    // The instant messages, by id.
    const std::vector<quint32>& Messages() const { return FMessages; }
    const std::map<quint32, QString>& Texts() const { return FTexts; }

    // The messages among Ids whose text holds all (or any) of the phrases,
    // compared without regard to case.
    std::set<quint32> Matching(const QStringList& Phrases, bool AllOf,
                               const std::vector<quint32>* Ids = nullptr) const {
        std::set<quint32> Result;
        for (const auto& [Id, Text] : FTexts) {
            if (Ids != nullptr && std::find(Ids->begin(), Ids->end(), Id) == Ids->end())
                continue;
            int Hits = 0;
            for (const QString& P : Phrases)
                if (Text.contains(P, Qt::CaseInsensitive))
                    ++Hits;
            if (AllOf ? Hits == int(Phrases.size()) : Hits > 0)
                Result.insert(Id);
        }
        return Result;
    }

private:
    bool Fail(const QString& Why) {
        FError = Why;
        return false;
    }

    std::unique_ptr<QTemporaryDir> FDir = std::make_unique<QTemporaryDir>();
    QString FPath;
    QString FError;
    std::vector<quint32> FMessages;
    std::map<quint32, QString> FTexts;
};

// The reference server on a given archive, on a free loopback port.
class TSearchServer {
public:
    ~TSearchServer() { Stop(); }

    bool Start(const QString& Archive, const QString& Password, const QStringList& Options = {}) {
        Stop();
        FPort = FreePort();
        FServer.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        QStringList Args = {QStringLiteral("--port"),     QString::number(FPort),
                            QStringLiteral("--listen"),   QStringLiteral("127.0.0.1"),
                            QStringLiteral("--password"), Password};
        Args += Options;
        Args.append(Archive);
        FServer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        FServer.start(QStringLiteral(VQARCHIVED_BINARY), Args);
        if (!FServer.waitForStarted(10000))
            return Fail(QStringLiteral("vqarchived did not start"));
        // It says on its standard output once it listens.
        for (int I = 0; I < 300; ++I) {
            if (FServer.canReadLine() || FServer.waitForReadyRead(100)) {
                const QByteArray Line = FServer.readLine();
                if (Line.contains("listening"))
                    return true;
            }
            if (FServer.state() == QProcess::NotRunning)
                return Fail(
                    QStringLiteral("vqarchived ended with status %1").arg(FServer.exitCode()));
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

private:
    bool Fail(const QString& Why) {
        FError = Why;
        return false;
    }

    QProcess FServer;
    quint16 FPort = 0;
    QString FError;
};

// Runs Body once the modal dialog that Open shows is up, inside the
// dialog's own event loop, as a person working the dialog would. Whatever
// Body leaves open is closed afterwards, so a failing test cannot hang.
// Returns whether Body ran.
template <typename TDialog>
bool WhileModal(const std::function<TDialog*()>& Dialog, const std::function<void()>& Open,
                const std::function<void(TDialog*)>& Body) {
    bool Ran = false;
    int Tries = 0;
    // Timers still pending when this returns find the poll gone.
    auto Poll = std::make_shared<std::function<void()>>();
    const std::weak_ptr<std::function<void()>> Weak = Poll;
    const auto Schedule = [Weak](int Ms) {
        QTimer::singleShot(Ms, [Weak] {
            if (const auto P = Weak.lock())
                (*P)();
        });
    };
    *Poll = [&, Schedule] {
        TDialog* D = Dialog();
        if (D == nullptr || !D->isVisible()) {
            if (++Tries < 500)
                Schedule(10);
            return;
        }
        Ran = true;
        Body(D);
        if (D->isVisible())
            D->reject();
    };
    Schedule(0);
    Open();
    // Body runs even when Open did not block; give it the chance before
    // giving up.
    WaitUntil([&] { return Ran || Tries >= 500; }, 6000);
    return Ran;
}

} // namespace search_test
