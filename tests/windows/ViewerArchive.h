// Shared by the viewers' tests: the demo archive of the test run read
// directly (its SQLite file and data folder), a real download of records
// through the connection controller from a live vqarchived, the audio sink
// check, and a bounded wait that keeps the event loop running.
#pragma once

#include "DataCache.h"
#include "LiveServer.h"

#include <QAudioDevice>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMediaDevices>
#include <QStringList>
#include <QThread>
#include <QVariant>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace viewer_test {

// Handles events until Done holds or TimeoutMs passed; returns Done().
template <typename TPred> bool PumpUntil(TPred Done, int TimeoutMs = 30000) {
    QElapsedTimer Clock;
    Clock.start();
    while (!Done() && Clock.elapsed() < TimeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return Done();
}

inline void PumpFor(int Ms) {
    QElapsedTimer Clock;
    Clock.start();
    while (Clock.elapsed() < Ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
}

// Playback needs an audio sink: the test command starts a sound server with
// a null sink and sets VQ_REQUIRE_AUDIO=1, so a missing sink fails there; a
// developer's run without one skips the playing tests.
inline bool AudioRequired() {
    const char* Value = std::getenv("VQ_REQUIRE_AUDIO");
    return Value != nullptr && std::strcmp(Value, "1") == 0;
}
#define VQ_AUDIO_OR_SKIP()                                                                         \
    do {                                                                                           \
        if (QMediaDevices::audioOutputs().isEmpty()) {                                             \
            if (::viewer_test::AudioRequired())                                                    \
                FAIL() << "VQ_REQUIRE_AUDIO=1 but there is no audio output";                       \
            GTEST_SKIP() << "no audio output (start one with scripts/audio.sh)";                   \
        }                                                                                          \
    } while (0)

// Rows of a statement on an SQLite archive file, as texts.
using TRows = std::vector<std::vector<QString>>;
inline TRows QueryArchive(const QString& SqliteFile, const QString& Sql) {
    TRows Rows;
    sqlite3* Db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(SqliteFile).constData(), &Db, SQLITE_OPEN_READONLY,
                        nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << qPrintable(SqliteFile);
        sqlite3_close(Db);
        return Rows;
    }
    sqlite3_stmt* Stmt = nullptr;
    if (sqlite3_prepare_v2(Db, Sql.toUtf8().constData(), -1, &Stmt, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "bad statement: " << sqlite3_errmsg(Db);
    } else {
        while (sqlite3_step(Stmt) == SQLITE_ROW) {
            std::vector<QString> Row;
            for (int C = 0; C < sqlite3_column_count(Stmt); ++C) {
                const auto* Text = reinterpret_cast<const char*>(sqlite3_column_text(Stmt, C));
                Row.push_back(Text != nullptr ? QString::fromUtf8(Text) : QString());
            }
            Rows.push_back(Row);
        }
    }
    sqlite3_finalize(Stmt);
    sqlite3_close(Db);
    return Rows;
}

// Runs statements that change an SQLite archive (a copy of the demo).
inline bool ChangeArchive(const QString& SqliteFile, const QString& Sql) {
    sqlite3* Db = nullptr;
    bool Ok = sqlite3_open(QFile::encodeName(SqliteFile).constData(), &Db) == SQLITE_OK;
    char* Error = nullptr;
    if (Ok && sqlite3_exec(Db, Sql.toUtf8().constData(), nullptr, nullptr, &Error) != SQLITE_OK) {
        ADD_FAILURE() << "cannot change the archive: " << (Error != nullptr ? Error : "?");
        Ok = false;
    }
    sqlite3_free(Error);
    sqlite3_close(Db);
    return Ok;
}

// The demo archive of the test run.
class TDemoArchive {
public:
    static QString Folder() {
        QString Error;
        const QString Path = TLiveServer::SharedDemoArchive(Error);
        EXPECT_FALSE(Path.isEmpty()) << qPrintable(Error);
        return Path;
    }
    static QString Database() { return Folder() + QStringLiteral("/archive.sqlite"); }
    static TRows Query(const QString& Sql) { return QueryArchive(Database(), Sql); }
    // The data file of a media row's filename.
    static QString DataFile(const QString& FileName) {
        return Folder() + QStringLiteral("/data/") + FileName.left(2) + QLatin1Char('/') + FileName;
    }
    // A recording of the kind ("wav" or "mp3"): media id, call id, file.
    struct TRecord {
        quint32 Id = 0;
        QString CallId;
        QString FileName;
        QString Extension;
        int Duration = 0;
    };
    static TRecord Recording(const QString& Extension,
                             const QString& MediaType = QStringLiteral("callrec")) {
        const TRows Rows = Query(QStringLiteral("SELECT Media_ID, CALL_ID, filename, Duration FROM "
                                                "media WHERE Media_Type = '%1' AND filename LIKE "
                                                "'%.%2' ORDER BY Media_ID LIMIT 1")
                                     .arg(MediaType, Extension));
        TRecord R;
        if (Rows.empty()) {
            ADD_FAILURE() << "the demo archive has no " << qPrintable(Extension) << " "
                          << qPrintable(MediaType);
            return R;
        }
        R.Id = Rows[0][0].toUInt();
        R.CallId = Rows[0][1];
        R.FileName = Rows[0][2];
        R.Extension = Extension;
        R.Duration = Rows[0][3].toInt();
        return R;
    }
    // Copies the archive (database and data) into Target.
    static bool CopyTo(const QString& Target) {
        const QString From = Folder();
        if (!QDir().mkpath(Target + QStringLiteral("/data")))
            return false;
        if (!QFile::copy(From + QStringLiteral("/archive.sqlite"),
                         Target + QStringLiteral("/archive.sqlite")))
            return false;
        const QDir Data(From + QStringLiteral("/data"));
        for (const QString& Sub : Data.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QDir().mkpath(Target + QStringLiteral("/data/") + Sub);
            for (const QString& F : QDir(Data.filePath(Sub)).entryList(QDir::Files))
                if (!QFile::copy(Data.filePath(Sub) + QLatin1Char('/') + F,
                                 Target + QStringLiteral("/data/") + Sub + QLatin1Char('/') + F))
                    return false;
        }
        return true;
    }
};

// A window that downloads records through the controller as a result
// window does: the pieces of each record into a file, the end noticed.
class TDownloadWindow : public QObject {
public:
    // Starts a download of Ids; Files[id] collects each record's bytes.
    bool Start(const TIDs& Ids) {
        Done = false;
        Error.clear();
        Data.clear();
        FJob = TVQArcCache::Create(TWindowHandle(this), opDownload, Ids);
        return FJob != nullptr;
    }
    bool Wait(int TimeoutMs = 60000) {
        return PumpUntil(
            [this] {
                if (DBConnection != nullptr)
                    DBConnection->TimerProc();
                return Done;
            },
            TimeoutMs);
    }
    // Downloads one record into FileName; true when it arrived whole.
    bool Fetch(quint32 Id, const QString& FileName) {
        if (!Start({Id}) || !Wait())
            return false;
        QFile F(FileName);
        if (!F.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        return Error.isEmpty() && F.write(Data[Id]) == Data[Id].size();
    }

    std::map<quint32, QByteArray> Data;
    // Record ids in the order their first piece came.
    QList<quint32> Order;
    bool Done = false;
    QString Error;

protected:
    bool event(QEvent* Event) override {
        if (!IsDBMessage(Event))
            return QObject::event(Event);
        const auto& M = *static_cast<TDBMessage*>(Event);
        if (M.Msg() == WM_DB_DOWNLOADPROCESS) {
            const auto* R = M.Record<IPC_DA_DBClient::TDownloadProcess>();
            if (R->error.error != deSuccess) {
                Error = QString::fromUtf8(R->error.msg != nullptr ? R->error.msg : "error");
                Finish();
            } else if (R->recId == 0xFFFFFFFFu) {
                Finish();
            } else {
                if (!Data.count(R->recId))
                    Order.append(R->recId);
                Data[R->recId].append(reinterpret_cast<const char*>(R->data.data_val),
                                      static_cast<qsizetype>(R->data.data_len));
            }
        }
        return true;
    }

private:
    void Finish() {
        Done = true;
        if (FJob != nullptr && DBConnection != nullptr)
            DBConnection->FreeCache(FJob);
        FJob = nullptr;
    }
    TVQArcCache* FJob = nullptr;
};

// A live vqarchived with a connected controller for one test.
class TLiveConnection {
public:
    // Empty when connected; the reason otherwise (the server may not be
    // built yet: then Skip is set).
    QString Start(const QString& Archive = {}, const QStringList& Options = {}) {
        Server = std::make_unique<TLiveServer>();
        const auto Started =
            Archive.isEmpty() ? Server->Start(QStringLiteral("viewerpw"))
                              : Server->StartArchive(QStringLiteral("viewerpw"), Archive, Options);
        if (Started == TLiveServer::TStart::NotBuilt)
            Skip = true;
        if (Started != TLiveServer::TStart::Serving)
            return Server->Error();
        Connection = std::make_unique<TDBConnection>();
        // The main window hands the library's results to the controller.
        TDBInterface::GetInstance().SetListener(Connection.get());
        Connection->SetHost(QStringLiteral("127.0.0.1"));
        Connection->SetPort(Server->Port());
        Connection->SetPassword(QStringLiteral("viewerpw"));
        try {
            Connection->SetConnected(true);
        } catch (const EDllException& E) {
            return E.Message();
        }
        return {};
    }
    ~TLiveConnection() {
        Connection.reset();
        Server.reset();
    }

    std::unique_ptr<TLiveServer> Server;
    std::unique_ptr<TDBConnection> Connection;
    bool Skip = false;
};

} // namespace viewer_test
