// For the window tests that talk to the reference archive server: a small
// archive of their own (names with quotes, backslashes and letters beyond
// ASCII, and as many plain users as a test asks for), the server started
// on it or on the demo archive, and the controller connected to it.
#pragma once

#include "ViewerTestSupport.h"

#include "QStringPrint.h"

#include "ArchiveWriter.h"
#include "CommonData.h"
#include "DataCache.h"
#include "LiveServer.h"
#include "UserList.h"
#include "VQMessageBox.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <string>

namespace viewer_test {

// The records of the test archive, by media id.
inline constexpr unsigned ImRecord = 1;    // Anna (caller) and Bob
inline constexpr unsigned CallRecord = 2;  // Bob as agent of Support and "+49 30 1234"
inline constexpr unsigned FaxRecord = 3;   // Carl and the external "O'Neil \ fax"
inline constexpr unsigned VoiceRecord = 4; // Zoë as agent of "Sales 'East'" and Anna
inline constexpr unsigned ExtraUserBase = 1000;

inline const char* const BackslashExternal = "O'Neil \\ fax";

// The user list the archive gives: users, groups and agents.
inline int TestArchiveListCount(int ExtraUsers) {
    return 5 + ExtraUsers + 2 + 2;
}

inline void WriteTestArchive(const std::string& Folder, int ExtraUsers) {
    using namespace vqarchive;
    auto W = createArchiveWriter(Folder, true);
    W->addUser(1, "Anna Müller", "2001");
    W->addUser(2, "Bob O'Brien", "2002");
    W->addUser(3, "Back\\slash Carl", "2003");
    W->addUser(4, "Zoë Ελένη", "2004");
    W->addUser(5, "Dmitri Петров", "2005");
    for (int I = 0; I < ExtraUsers; ++I) {
        char Name[32];
        std::snprintf(Name, sizeof Name, "Extra User %05d", I);
        W->addUser(ExtraUserBase + unsigned(I), Name, "");
    }
    W->addGroup(10, "Support");
    W->addGroup(11, "Sales 'East'");
    auto Media = [&](unsigned Id, const char* Type, const char* Call, long long Time) {
        MediaRecord M;
        M.id = Id;
        M.type = Type;
        M.callId = Call;
        M.timestamp = Time;
        W->addMedia(M);
    };
    auto Part = [&](unsigned Id, unsigned User, unsigned Group, const char* External, int Role) {
        W->addParticipant({Id, User, Group, External, Role});
    };
    Media(ImRecord, "im", "AAAAA-01-00001-001", 1000000000);
    W->addMessage(ImRecord, "hello");
    Part(ImRecord, 1, 0, "", 1);
    Part(ImRecord, 2, 0, "", 0);
    Media(CallRecord, "callrec", "AAAAA-01-00001-002", 1000001000);
    Part(CallRecord, 2, 10, "", 1);
    Part(CallRecord, 0, 0, "+49 30 1234", 0);
    Media(FaxRecord, "fax", "AAAAA-01-00001-003", 1000002000);
    Part(FaxRecord, 3, 0, "", 1);
    Part(FaxRecord, 0, 0, BackslashExternal, 0);
    Media(VoiceRecord, "vm", "AAAAA-01-00001-004", 1000003000);
    Part(VoiceRecord, 4, 11, "", 1);
    Part(VoiceRecord, 1, 0, "", 0);
    W->addCad("AAAAA-01-00001-002", "Queue", "Support", "queue");
    W->addCad("AAAAA-01-00001-002", "O'Reilly key", "x'y", "quote");
    W->addCad("AAAAA-01-00001-004", "Ärger", "ja", "umlaut");
    W->addCad("AAAAA-01-00001-004", "back\\slash", "v\\w", "backslash");
    W->setInfo("schema_version", "1");
    W->commit();
}

// Runs one statement on the SQLite file of an archive, as an administrator
// would while the server runs.
inline bool ChangeArchive(const QString& Folder, const char* Sql) {
    sqlite3* Db = nullptr;
    const QByteArray File = (Folder + QStringLiteral("/archive.sqlite")).toLocal8Bit();
    bool Ok = sqlite3_open_v2(File.constData(), &Db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
              sqlite3_exec(Db, Sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(Db);
    return Ok;
}

// The controller with short waits between reconnect attempts, so that a
// server that is gone is given up within a test's patience.
class TQuickConnection : public TDBConnection {
public:
    TQuickConnection() { FReconnectDelay = 20; }
};

class LiveArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        TVQMessageBox::SetAnswerAutomatically(true);
        TVQMessageBox::ClearShown();
        Users = std::make_unique<TUserList>();
        UserList = Users.get();
        Connection = std::make_unique<TQuickConnection>();
        TDBInterface::GetInstance().SetListener(Connection.get());
        Images = std::make_unique<TCommonData>();
        CommonData = Images.get();
        SetApplicationExceptionHandler(
            [this](std::exception_ptr Error) { Errors.append(ExceptionMessage(Error)); });
    }
    void TearDown() override {
        // Windows the test left are closed first: they cancel their jobs.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        SetApplicationExceptionHandler(nullptr);
        Connection.reset();
        Server.reset();
        Images.reset();
        UserList = nullptr;
        Users.reset();
        TVQMessageBox::SetAnswerAutomatically(false);
    }

    // Starts the server on the test archive (with ExtraUsers more users) or,
    // with Demo, on the demo archive, and connects the controller to it.
    // Options go to the server on the test archive (fault injection, batch
    // size).
    void StartServer(bool Demo, int ExtraUsers = 0, const QStringList& Options = {}) {
        Server = std::make_unique<TLiveServer>();
        TLiveServer::TStart Started;
        if (Demo) {
            Started = Server->Start(QStringLiteral("qbpw"));
        } else {
            ASSERT_TRUE(Folder.isValid());
            Archive = Folder.path() + QStringLiteral("/archive");
            WriteTestArchive(Archive.toStdString(), ExtraUsers);
            Started = Server->StartArchive(QStringLiteral("qbpw"), Archive, Options);
        }
        if (Started == TLiveServer::TStart::NotBuilt)
            GTEST_SKIP() << qPrintable(Server->Error());
        ASSERT_EQ(Started, TLiveServer::TStart::Serving) << qPrintable(Server->Error());
        Connection->SetHost(QStringLiteral("127.0.0.1"));
        Connection->SetPort(Server->Port());
        Connection->SetPassword(QStringLiteral("qbpw"));
        // As the query builder's entry points do before any window opens.
        ASSERT_TRUE(Connection->ConnectionOK());
    }

    // Lets messages run, with the main window's timer tick, until Done
    // holds; bounded, so that a silent server fails the test.
    template <typename TPred> bool PumpUntil(TPred Done, int Limit = 30000) {
        for (int Waited = 0; Waited < Limit && !Done(); Waited += 10) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            if (DBConnection != nullptr)
                DBConnection->TimerProc();
            QThread::msleep(5);
        }
        return Done();
    }

    QTemporaryDir Folder;
    QString Archive;
    std::unique_ptr<TUserList> Users;
    std::unique_ptr<TDBConnection> Connection;
    std::unique_ptr<TCommonData> Images;
    std::unique_ptr<TLiveServer> Server;
    QStringList Errors;
};

} // namespace viewer_test
