// The archive server end to end with the real client library: libvqlink.so
// connects, proves the password and runs every kind of job against a small
// archive on SQLite and, when a server is configured, on MariaDB; vqcli runs
// as several programs at once; the viewer's own SQL runs on both backends.
#include "ServerTestSupport.h"
#include "TestSupport.h"

#include "Conditions.h"
#include "SQLMacros.h"
#include "VQQuery.h"
#include "vqlink/vqlink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

namespace {

using namespace vqtest;
using Rows = std::vector<std::vector<std::string>>;

const char* kFillers = "SELECT Media_ID FROM media WHERE Media_ID >= 100 ORDER BY Media_ID";

// Requests through the library's exports.
void sqlVia(uint32_t id, const std::string& statement) {
    IPC_DA_DBServer::TSQLExecute r{};
    r.id = id;
    r.statement = const_cast<char*>(statement.c_str());
    SQLExecute(&r);
}

void downloadVia(uint32_t id, const std::vector<uint32_t>& recs) {
    IPC_DA_DBServer::TDownload r{};
    r.id = id;
    r.recs.recs_len = static_cast<uint32_t>(recs.size());
    r.recs.recs_val = const_cast<uint32_t*>(recs.data());
    Download(&r);
}

void deleteVia(uint32_t id, const std::vector<uint32_t>& recs) {
    IPC_DA_DBServer::TDelete r{};
    r.id = id;
    r.recs.recs_len = static_cast<uint32_t>(recs.size());
    r.recs.recs_val = const_cast<uint32_t*>(recs.data());
    Delete(&r);
}

void searchVia(uint32_t id, const std::vector<uint32_t>& recs,
               const std::vector<std::string>& phrases, IPC_DA_DBServer::SearchMode mode) {
    std::vector<IPC_DA_DBServer::TSearchString> strings(phrases.size());
    for (size_t i = 0; i < phrases.size(); ++i)
        strings[i].value = const_cast<char*>(phrases[i].c_str());
    IPC_DA_DBServer::TSearchText r{};
    r.id = id;
    r.recs.recs_len = static_cast<uint32_t>(recs.size());
    r.recs.recs_val = const_cast<uint32_t*>(recs.data());
    r.criteria.mode = mode;
    r.criteria.strings.strings_len = static_cast<uint32_t>(strings.size());
    r.criteria.strings.strings_val = strings.data();
    SearchText(&r);
}

Rows runSql(VqlinkHost& host, uint32_t id, const std::string& statement) {
    sqlVia(id, statement);
    EXPECT_TRUE(host.results().waitSelectDone(id)) << statement;
    const auto batches = host.results().selects(id);
    EXPECT_FALSE(batches.empty());
    if (!batches.empty()) {
        EXPECT_EQ(batches.back().code, deSuccess) << batches.back().message;
    }
    return valuesOf(batches);
}

std::vector<uint32_t> range(uint32_t first, uint32_t last) {
    std::vector<uint32_t> ids;
    for (uint32_t i = first; i <= last; ++i)
        ids.push_back(i);
    return ids;
}

// ---------------------------------------------------------------- handshake

class ArchiveServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::make_unique<TempDir>();
        known_ = writeKnownArchive(dir_->str());
    }
    std::unique_ptr<TestServer> serve(const std::function<void(vqarchive::ServerConfig&)>& f = {}) {
        return std::make_unique<TestServer>(dir_->str(), f);
    }
    std::unique_ptr<TempDir> dir_;
    KnownArchive known_;
};

TEST_F(ArchiveServerTest, LibraryConnectsAndIsServed) {
    auto server = serve();
    VqlinkHost host;
    ASSERT_EQ(host.connect(server->port()), VQLINK_CONNECTED);
    const auto status = host.status();
    EXPECT_EQ(status.first, IPC_DA_DBServer::stReady);
    EXPECT_EQ(status.second, "ready");
    EXPECT_EQ(GetServerType(), 3);
    EXPECT_TRUE(host.exceptions().empty());
    EXPECT_TRUE(server->waitForLog("password proved"));
    for (const auto& line : server->log())
        EXPECT_EQ(line.find(kPassword), std::string::npos) << line;
}

TEST_F(ArchiveServerTest, StartFailsClearlyWhenItCannotListen) {
    auto store =
        std::shared_ptr<vqarchive::ArchiveStore>(vqarchive::ArchiveStore::open(dir_->str()));
    auto first = serve();
    vqarchive::ServerConfig taken;
    taken.port = first->port();
    taken.listenAddress = "127.0.0.1";
    taken.log = [](const std::string&) {};
    vqarchive::ArchiveServer second(taken, store);
    EXPECT_THROW(second.start(), vqarchive::ServerError);
    EXPECT_EQ(second.port(), 0);

    vqarchive::ServerConfig malformed = taken;
    malformed.port = 0;
    malformed.listenAddress = "300.1.2.3";
    vqarchive::ArchiveServer third(malformed, store);
    try {
        third.start();
        ADD_FAILURE() << "a malformed address was accepted";
    } catch (const vqarchive::ServerError& e) {
        EXPECT_NE(std::string(e.what()).find("300.1.2.3"), std::string::npos) << e.what();
    }
    // The first server is untouched.
    VqlinkHost host;
    EXPECT_EQ(host.connect(first->port()), VQLINK_CONNECTED);
}

TEST_F(ArchiveServerTest, WrongPasswordIsTheRefusedCode) {
    auto server = serve();
    VqlinkHost host;
    EXPECT_EQ(host.connect(server->port(), "not the password"), VQLINK_REFUSED_INVALID_PASSWORD);
    EXPECT_TRUE(server->waitForLog("Initialize refused: wrong password"));
    // The refusal leaves the library free to try again.
    EXPECT_EQ(host.connect(server->port()), VQLINK_CONNECTED);
}

TEST_F(ArchiveServerTest, ConfiguredInitializeErrorGivesBothRefusalCodes) {
    auto server =
        serve([](vqarchive::ServerConfig& c) { c.faults.initializeError = "Archive closed"; });
    VqlinkHost host;
    EXPECT_EQ(host.connect(server->port()), VQLINK_REFUSED_VALID_PASSWORD);
    EXPECT_EQ(host.connect(server->port(), "wrong"), VQLINK_REFUSED_INVALID_PASSWORD);
    EXPECT_TRUE(server->logContains("proof valid"));
    EXPECT_TRUE(server->logContains("proof invalid"));
}

TEST_F(ArchiveServerTest, NoRoomIsAFailedInitializeNotAWrongPassword) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.maxConnections = 1; });
    RawClient first(server->port());
    ASSERT_EQ(first.initialize().error, "");
    VqlinkHost host;
    // The library's refusal with a valid password: "Failed to initialize"
    // for the viewer, not "Invalid password".
    EXPECT_EQ(host.connect(server->port()), VQLINK_REFUSED_VALID_PASSWORD);
    EXPECT_TRUE(server->waitForLog("connection limit of 1 reached: refusing"));
    EXPECT_EQ(first.server().GetServerType(), 3);
}

TEST_F(ArchiveServerTest, LostBackConnectionEndsTheLibrarysConnection) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.faults.closeBackAfterCalls = 1; });
    VqlinkHost host;
    ASSERT_EQ(host.connect(server->port()), VQLINK_CONNECTED);
    sqlVia(1, kFillers);
    EXPECT_TRUE(server->waitForLog("fault injection"));
    bool notConnected = false;
    for (int i = 0; i < 50 && !notConnected; ++i) {
        host.status();
        for (const auto& e : host.exceptions())
            notConnected = notConnected || e.second == VQLINK_NOT_CONNECTED;
        if (!notConnected)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(notConnected);
    EXPECT_EQ(host.results().selects(1).size(), 1u);
}

TEST_F(ArchiveServerTest, CancelThroughTheLibraryWhileStatusSaysBusy) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.faults.batchDelayMs = 150; });
    VqlinkHost host;
    ASSERT_EQ(host.connect(server->port()), VQLINK_CONNECTED);
    sqlVia(42, kFillers);
    EXPECT_EQ(host.status().first, IPC_DA_DBServer::stBusy);
    ASSERT_TRUE(
        host.results().waitUntil([&] { return !host.results().selects(42).empty(); }, 10000));
    IPC_DA_DBServer::TCancelOperation c{};
    c.operation = IPC_DA_DBServer::opSQLExecute;
    c.id = 42;
    CancelOperation(&c);
    ASSERT_TRUE(host.results().waitSelectDone(42));
    const auto batches = host.results().selects(42);
    EXPECT_EQ(batches.back().code, deCancelled);
    EXPECT_LT(batches.size(), 8u);
}

TEST_F(ArchiveServerTest, LargeDownloadsArriveIntact) {
    TempDir demo;
    vqarchive::createDemoArchive(demo.str(), smallDemo(300, 7));
    TestServer server(demo.str(), [](vqarchive::ServerConfig& c) { c.pieceSize = 4000; });
    VqlinkHost host;
    ASSERT_EQ(host.connect(server.port()), VQLINK_CONNECTED);
    const Rows largest = runSql(host, 1,
                                "SELECT Media_ID, Data_Size FROM media WHERE Media_Type IN "
                                "('callrec', 'vm', 'fax') ORDER BY Data_Size DESC LIMIT 4");
    ASSERT_EQ(largest.size(), 4u);
    std::vector<uint32_t> ids;
    for (const auto& r : largest)
        ids.push_back(static_cast<uint32_t>(std::stoul(r.at(0))));
    downloadVia(2, ids);
    ASSERT_TRUE(host.results().waitDownloadDone(2, 60000));
    auto store = vqarchive::ArchiveStore::open(demo.str());
    for (size_t i = 0; i < ids.size(); ++i) {
        const std::vector<uint8_t> got = host.results().bytesOf(2, ids[i]);
        EXPECT_EQ(got.size(), std::stoull(largest[i].at(1))) << ids[i];
        std::vector<uint8_t> expected;
        ASSERT_TRUE(vqtest::download(*store, ids[i], expected).ok());
        EXPECT_TRUE(got == expected) << ids[i];
    }
    EXPECT_GT(host.results().bytesOf(2, ids[0]).size(), 100000u);
    for (const auto& p : host.results().downloads(2))
        EXPECT_LE(p.data.size(), 4000u);
    EXPECT_EQ(host.results().downloads(2).back().recId, 0xFFFFFFFFu);
    EXPECT_EQ(host.results().downloads(2).back().code, deSuccess);
}

// The example host (examples/host: C, through vqlink.h alone) as a program:
// the rows it counts and the bytes it downloads are the archive's; a wrong
// password ends it with status 1 before it prints anything.
TEST_F(ArchiveServerTest, ExampleHostCountsRowsAndDownloadsTheFirstRecord) {
    auto server = serve();
    const std::string port = std::to_string(server->port());
    auto store = vqarchive::ArchiveStore::open(dir_->str());
    std::vector<uint8_t> first;
    ASSERT_TRUE(vqtest::download(*store, 1, first).ok());
    ASSERT_FALSE(first.empty());

    const ProgramRun run = runProgram({VQHOST_PATH, "127.0.0.1", port, kPassword});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "records: 264\ndownloaded: " + std::to_string(first.size()) + " bytes of record 1\n");

    const ProgramRun refused = runProgram({VQHOST_PATH, "127.0.0.1", port, "not the password"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
}

TEST_F(ArchiveServerTest, SeveralVqcliProgramsAtOnce) {
    auto server = serve();
    constexpr int kPrograms = 4;
    std::vector<ProgramRun> runs(kPrograms);
    std::vector<std::thread> threads;
    for (int i = 0; i < kPrograms; ++i)
        threads.emplace_back([&, i] {
            runs[i] = runProgram(
                {VQCLI_PATH, "--host", "127.0.0.1", "--port", std::to_string(server->port()),
                 "--password", kPassword, "sql",
                 "SELECT COUNT(*) AS n FROM media WHERE Media_ID >= " + std::to_string(i)});
        });
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < kPrograms; ++i) {
        EXPECT_EQ(runs[i].status, 0) << runs[i].out;
        EXPECT_NE(runs[i].out.find(i == 0 ? "264" : std::to_string(264 - i + 1)), std::string::npos)
            << runs[i].out;
    }
    EXPECT_TRUE(server->waitForLog("client #4"));
}

// ---------------------------------------------------------------- both backends

class Backend : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        if (GetParam() == 2) {
            VQ_MYSQL_OR_SKIP();
            mysql_ = std::make_unique<TempMysqlDatabase>();
            target_ = mysql_->url();
        } else {
            dir_ = std::make_unique<TempDir>();
            target_ = dir_->str();
        }
        known_ = writeKnownArchive(target_);
        server_ = std::make_unique<TestServer>(
            target_, [](vqarchive::ServerConfig& c) { c.pieceSize = 1000; });
        host_ = std::make_unique<VqlinkHost>();
        ASSERT_EQ(host_->connect(server_->port()), VQLINK_CONNECTED);
    }
    void TearDown() override {
        host_.reset();
        server_.reset();
    }
    int type() const { return GetParam(); }
    Rows sql(uint32_t id, const std::string& statement) { return runSql(*host_, id, statement); }
    Results& results() { return host_->results(); }

    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<TempMysqlDatabase> mysql_;
    std::string target_;
    KnownArchive known_;
    std::unique_ptr<TestServer> server_;
    std::unique_ptr<VqlinkHost> host_;
};

TEST_P(Backend, ServerTypeIsTheDatabasesDialect) {
    EXPECT_EQ(GetServerType(), type());
}

TEST_P(Backend, RowsComeInBatchesOfAtMost32) {
    sqlVia(7, kFillers);
    ASSERT_TRUE(results().waitSelectDone(7));
    const auto batches = results().selects(7);
    ASSERT_EQ(batches.size(), 8u);
    for (size_t i = 0; i < batches.size(); ++i) {
        EXPECT_EQ(batches[i].rows.size(), i < 7 ? 32u : 26u);
        EXPECT_EQ(batches[i].hasMore, i < 7);
        EXPECT_EQ(batches[i].code, deSuccess);
    }
    const Rows rows = valuesOf(batches);
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(rows[i].at(0), std::to_string(100 + i));
    EXPECT_EQ(batches[0].rows[0].at(0).first, "Media_ID");
}

TEST_P(Backend, ColumnsKeepTheStatementsOrderAndNullIsEmpty) {
    sqlVia(8, "SELECT NULL AS a, 'x' AS b, 3 AS c");
    ASSERT_TRUE(results().waitSelectDone(8));
    const auto batches = results().selects(8);
    ASSERT_EQ(batches.size(), 1u);
    ASSERT_EQ(batches[0].rows.size(), 1u);
    const auto& cols = batches[0].rows[0];
    ASSERT_EQ(cols.size(), 3u);
    EXPECT_EQ(cols[0], std::make_pair(std::string("a"), std::string("")));
    EXPECT_EQ(cols[1], std::make_pair(std::string("b"), std::string("x")));
    EXPECT_EQ(cols[2], std::make_pair(std::string("c"), std::string("3")));
    EXPECT_FALSE(batches[0].hasMore);
}

TEST_P(Backend, StatementErrorsCarryTheDatabasesMessage) {
    sqlVia(9, "SELECT nope FROM media");
    ASSERT_TRUE(results().waitSelectDone(9));
    const auto batches = results().selects(9);
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].code, deSQLError);
    EXPECT_FALSE(batches[0].hasMore);
    EXPECT_NE(batches[0].message.find("nope"), std::string::npos) << batches[0].message;

    // Client SQL cannot write.
    sqlVia(10, "DELETE FROM media");
    ASSERT_TRUE(results().waitSelectDone(10));
    EXPECT_EQ(results().selects(10).back().code, deSQLError);
    EXPECT_EQ(sql(11, "SELECT COUNT(*) FROM media").at(0).at(0), "264");
}

TEST_P(Backend, DownloadsArriveIntactAndMissingDataIsReported) {
    downloadVia(20, {7, 9, 8, 1, 13});
    ASSERT_TRUE(results().waitDownloadDone(20));
    EXPECT_TRUE(results().bytesOf(20, 7) == known_.wavA);
    EXPECT_TRUE(results().bytesOf(20, 9) == known_.pdf);
    EXPECT_TRUE(results().bytesOf(20, 8) == known_.wavB);
    const auto text = results().bytesOf(20, 1);
    EXPECT_EQ(std::string(text.begin(), text.end()), "Hello World, see https://www.example.com/x");
    const auto pieces = results().downloads(20);
    bool missingReported = false;
    for (const auto& p : pieces) {
        EXPECT_LE(p.data.size(), 1000u);
        if (p.recId == 13) {
            EXPECT_EQ(p.code, deReadFailed);
            EXPECT_TRUE(p.data.empty());
            missingReported = true;
        } else if (p.recId != 0xFFFFFFFFu) {
            EXPECT_EQ(p.code, deSuccess);
        }
    }
    EXPECT_TRUE(missingReported);
    EXPECT_EQ(pieces.back().recId, 0xFFFFFFFFu);
    EXPECT_EQ(pieces.back().code, deSuccess);
    EXPECT_GT(pieces.size(), known_.wavA.size() / 1000);
}

TEST_P(Backend, SearchReportsProgressAndTheHits) {
    const auto ids = range(100, 349);
    searchVia(30, ids, {"needle"}, IPC_DA_DBServer::smAllOf);
    ASSERT_TRUE(results().waitSearchDone(30, 250));
    std::set<uint32_t> found;
    uint32_t last = 0;
    const auto reports = results().searches(30);
    for (const auto& r : reports) {
        EXPECT_EQ(r.code, deSuccess);
        EXPECT_GE(r.searched, last);
        EXPECT_LE(r.searched - last, 100u);
        last = r.searched;
        found.insert(r.found.begin(), r.found.end());
    }
    EXPECT_EQ(reports.back().searched, 250u);
    std::set<uint32_t> expected;
    for (uint32_t id : ids)
        if (KnownArchive::fillerHasNeedle(id))
            expected.insert(id);
    EXPECT_EQ(found, expected);

    auto hits = [&](uint32_t job) {
        std::set<uint32_t> s;
        for (const auto& r : results().searches(job))
            s.insert(r.found.begin(), r.found.end());
        return s;
    };
    searchVia(31, range(1, 6), {"hello", "world"}, IPC_DA_DBServer::smAllOf);
    searchVia(32, range(1, 6), {"HELLO", "Заказ"}, IPC_DA_DBServer::smAnyOf);
    searchVia(33, {}, {"hello"}, IPC_DA_DBServer::smAnyOf);
    ASSERT_TRUE(results().waitSearchDone(31, 6));
    ASSERT_TRUE(results().waitSearchDone(32, 6));
    ASSERT_TRUE(results().waitSearchDone(33, 0));
    EXPECT_EQ(hits(31), (std::set<uint32_t>{1}));
    EXPECT_EQ(hits(32), (std::set<uint32_t>{1, 2, 4}));
    EXPECT_TRUE(hits(33).empty());
}

TEST_P(Backend, DeleteRemovesTheRecordsAndCompletesOnce) {
    deleteVia(40, {1, 2});
    ASSERT_TRUE(results().waitDeleteDone(40));
    const auto done = results().deletes(40);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].code, deSuccess);
    EXPECT_EQ(sql(41, "SELECT COUNT(*) FROM media").at(0).at(0), "262");
    EXPECT_TRUE(sql(42, "SELECT Media_ID FROM media WHERE Media_ID IN (1, 2)").empty());
}

TEST_P(Backend, TheViewersHeadingSelectRuns) {
    TVQQuery query;
    query.AddDeleteMediaType(ckIM, 0);
    query.InsertPartipiant(0, QStringLiteral("Anna Müller"), 1, ukUser);
    ASSERT_FALSE(query.HasError());
    const QString statement = ExpandSQLMacros(type(), query.BuildQuery(type()));
    const Rows rows = sql(50, statement.toUtf8().toStdString());
    ASSERT_FALSE(rows.empty());
    std::set<std::string> ids;
    for (const auto& r : rows) {
        ASSERT_EQ(r.size(), 10u);
        EXPECT_EQ(r.at(1), "im");
        ids.insert(r.at(0));
    }
    for (const char* id : {"1", "2", "3", "100", "349"})
        EXPECT_EQ(ids.count(id), 1u) << id;
    EXPECT_EQ(ids.count("5"), 0u);
}

TEST_P(Backend, TheViewersUserListQueryRuns) {
    const QString text = QStringLiteral(
        "SELECT u.Display_Name, u.User_Id, 0 AS Group_Id FROM users AS u  UNION ALL SELECT "
        "g.Display_Name, 0,  g.Group_ID FROM groups AS g UNION ALL SELECT DISTINCT "
        "#F_CONCAT(g.Display_Name, ' agent ', u.Display_Name) Display_Name, p.User_ID, "
        "p.Group_ID FROM (select DISTINCT user_id, group_id from participants WHERE Group_ID is "
        "not null AND User_ID is not null) p JOIN users u ON (u.User_ID = p.User_ID) JOIN groups "
        "g ON (g.Group_ID = p.Group_ID) ORDER BY Display_Name ");
    const Rows rows = sql(60, ExpandSQLMacros(type(), text).toUtf8().toStdString());
    std::set<std::string> names;
    for (const auto& r : rows) {
        ASSERT_EQ(r.size(), 3u);
        names.insert(r.at(0));
    }
    for (const char* name : {"Anna Müller", "Bob Smith", "Support", "Support agent Anna Müller"})
        EXPECT_EQ(names.count(name), 1u) << name;
}

INSTANTIATE_TEST_SUITE_P(ArchiveServer, Backend, ::testing::Values(3, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == 3 ? std::string("SQLite")
                                                    : std::string("MariaDB");
                         });

} // namespace
