// Shared by the window tests and benchmarks that run against the reference
// archive server: waiting while the event loop runs, a free loopback port,
// and the archive file's own answers. Needs no test framework.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sqlite3.h>

namespace live_test {

// Lets the event loop run until Done holds or Ms milliseconds passed.
template <typename TDone> bool WaitUntil(TDone Done, int Ms = 30000) {
    QElapsedTimer Clock;
    Clock.start();
    while (!Done()) {
        if (Clock.elapsed() > Ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

inline void Pump(int Ms) {
    WaitUntil([] { return false; }, Ms);
}

// A loopback port nobody listens on at this moment.
inline quint16 FreePort() {
    const int S = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t L = sizeof A;
    quint16 Port = 0;
    if (S >= 0 && ::bind(S, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0 &&
        ::getsockname(S, reinterpret_cast<sockaddr*>(&A), &L) == 0)
        Port = ntohs(A.sin_port);
    if (S >= 0)
        ::close(S);
    return Port;
}

// Runs Statement on an SQLite file; false with the engine's text on failure.
inline bool SqliteExec(const QString& File, const QString& Statement, QString* Error = nullptr) {
    sqlite3* Db = nullptr;
    bool Ok = sqlite3_open_v2(QFile::encodeName(File).constData(), &Db, SQLITE_OPEN_READWRITE,
                              nullptr) == SQLITE_OK;
    char* Message = nullptr;
    if (Ok)
        Ok = sqlite3_exec(Db, Statement.toUtf8().constData(), nullptr, nullptr, &Message) ==
             SQLITE_OK;
    if (!Ok && Error != nullptr)
        *Error = QString::fromUtf8(Message != nullptr ? Message : sqlite3_errmsg(Db));
    sqlite3_free(Message);
    sqlite3_close(Db);
    return Ok;
}

// Rows of a statement, columns as text.
inline QList<QStringList> SqliteRows(const QString& File, const QString& Statement) {
    QList<QStringList> Rows;
    sqlite3* Db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(File).constData(), &Db, SQLITE_OPEN_READONLY, nullptr) !=
        SQLITE_OK) {
        sqlite3_close(Db);
        return Rows;
    }
    sqlite3_stmt* Stmt = nullptr;
    const QByteArray Sql = Statement.toUtf8();
    if (sqlite3_prepare_v2(Db, Sql.constData(), int(Sql.size()), &Stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(Stmt) == SQLITE_ROW) {
            QStringList Row;
            for (int C = 0; C < sqlite3_column_count(Stmt); ++C) {
                const auto* Text = reinterpret_cast<const char*>(sqlite3_column_text(Stmt, C));
                Row.append(Text != nullptr ? QString::fromUtf8(Text) : QString());
            }
            Rows.append(Row);
        }
    }
    sqlite3_finalize(Stmt);
    sqlite3_close(Db);
    return Rows;
}

} // namespace live_test
