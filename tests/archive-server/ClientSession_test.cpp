// One client connection as the server serves it, seen from a raw client on
// the RPC framework: the proof and its refusals, nothing for unproven
// clients, the deadlines and limits that protect the server, jobs running
// beside the request thread, cancellation, fault injection and shutdown.
#include "ServerTestSupport.h"
#include "TestSupport.h"
#include "qrex_wire_support.h"

#include "QREX_Errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

namespace {

using namespace vqtest;
using namespace IPC_DA_DBServer;
using Known = vqtest::KnownArchive;

// The 250 filler messages: 7 full batches of 32 and one of 26.
const char* kFillers = "SELECT Media_ID FROM media WHERE Media_ID >= 100 ORDER BY Media_ID";

class ClientSession : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::make_unique<TempDir>();
        known_ = writeKnownArchive(dir_->str());
    }
    std::unique_ptr<TestServer> serve(const std::function<void(vqarchive::ServerConfig&)>& f = {}) {
        return std::make_unique<TestServer>(dir_->str(), f);
    }
    std::unique_ptr<TempDir> dir_;
    Known known_;
};

bool refusedWith(qrex_int32_t status, const std::function<void()>& call) {
    try {
        call();
    } catch (const QREX_Selector_Error& e) {
        return e.status() == status;
    }
    return false;
}

TEST_F(ClientSession, ProvenClientIsServed) {
    auto server = serve();
    RawClient c(server->port());
    const auto reply = c.initialize();
    EXPECT_TRUE(reply.passwordValid);
    EXPECT_EQ(reply.error, "");
    EXPECT_EQ(c.challenge().size(), 32u);

    TStatus status{};
    c.server().GetStatus(&status);
    EXPECT_EQ(status.state, stReady);
    EXPECT_STREQ(status.message, "ready");
    XDR_Free(&status, xdr_TStatus);
    EXPECT_EQ(c.server().GetServerType(), 3);

    RawClient other(server->port());
    ASSERT_TRUE(other.initialize().passwordValid);
    EXPECT_NE(other.challenge(), c.challenge());
    EXPECT_TRUE(server->logContains("password proved"));
}

TEST_F(ClientSession, WrongAnswerIsRefusedAndTheConnectionClosed) {
    auto server = serve();
    RawClient c(server->port());
    RawClient::Options o;
    o.wrongAnswer = true;
    const auto reply = c.initialize(o);
    EXPECT_FALSE(reply.passwordValid);
    EXPECT_EQ(reply.error, "Invalid password");
    EXPECT_TRUE(c.waitClosedByServer());
    EXPECT_TRUE(server->waitForLog("Initialize refused: wrong password"));
    // Neither the password nor any answer reaches the log.
    const std::string right = referenceAnswer(kPassword, c.challenge());
    for (const auto& line : server->log()) {
        EXPECT_EQ(line.find(kPassword), std::string::npos) << line;
        EXPECT_EQ(line.find(right), std::string::npos) << line;
        EXPECT_EQ(line.find(c.challenge()), std::string::npos) << line;
    }
}

TEST_F(ClientSession, UnprovenClientGetsErrorsAndNoSqlRuns) {
    auto server = serve();
    RawClient c(server->port());
    EXPECT_TRUE(refusedWith(INVALID_MEMBER, [&] {
        TStatus s{};
        c.server().GetStatus(&s);
    }));
    EXPECT_TRUE(refusedWith(INVALID_MEMBER, [&] { c.server().GetServerType(); }));
    c.sql(1, "SELECT Media_ID FROM media");
    c.download(2, {7});
    EXPECT_TRUE(server->waitForLog("SQLExecute before the password proof: dropped"));
    EXPECT_TRUE(server->waitForLog("Download before the password proof: dropped"));
    EXPECT_TRUE(server->logContains("GetStatus before the password proof: refused"));
    EXPECT_FALSE(server->logContains("job SQLExecute"));
    EXPECT_FALSE(server->logContains("job Download"));

    // The connection may still prove itself, and is then served.
    ASSERT_TRUE(c.initialize().passwordValid);
    c.sql(3, "SELECT COUNT(*) AS n FROM media");
    ASSERT_TRUE(c.results().waitSelectDone(3));
    EXPECT_EQ(valuesOf(c.results().selects(3)).at(0).at(0), "264");
    EXPECT_TRUE(c.results().selects(1).empty());
}

TEST_F(ClientSession, BackConnectionGoesOnlyToThePeer) {
    auto server = serve();
    RawClient c(server->port());
    RawClient::Options o;
    o.clientIp = 0x7F000002; // 127.0.0.2, not where the request came from
    const auto reply = c.initialize(o);
    // Nothing to do with the password: the refusal says what it is.
    EXPECT_TRUE(reply.passwordValid);
    EXPECT_EQ(reply.error,
              "The server connects back only to the address the connection comes from, not to "
              "127.0.0.2");
    EXPECT_EQ(c.challenge(), "");
    EXPECT_TRUE(c.waitClosedByServer());
}

TEST_F(ClientSession, UnreachableBackListenerIsARefusal) {
    auto server = serve();
    uint16_t closedPort = 0;
    {
        const InetAddress loopback = InetAddress::loopback();
        TCP_Socket probe(0, &loopback); // bound, never listening
        closedPort = probe.local_endpoint().port;
        RawClient c(server->port());
        RawClient::Options o;
        o.clientPort = closedPort;
        const auto reply = c.initialize(o);
        EXPECT_TRUE(reply.passwordValid);
        EXPECT_EQ(reply.error,
                  "The server cannot connect back to 127.0.0.1:" + std::to_string(closedPort));
    }
    EXPECT_TRUE(server->waitForLog("connecting back to 127.0.0.1:" + std::to_string(closedPort)));
}

TEST_F(ClientSession, UnansweredProofEndsAtTheHandshakeDeadline) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.handshakeTimeoutMs = 500; });
    RawClient c(server->port());
    RawClient::Options o;
    o.hangOnProof = true;
    const auto started = std::chrono::steady_clock::now();
    const auto reply = c.initialize(o);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_TRUE(reply.passwordValid);
    EXPECT_EQ(reply.error, "The password check over the back connection failed");
    EXPECT_TRUE(c.waitClosedByServer());
}

TEST_F(ClientSession, ConnectionWithoutProofIsClosedAtTheDeadline) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.handshakeTimeoutMs = 300; });
    RawClient c(server->port());
    EXPECT_TRUE(c.waitClosedByServer(5000));
    EXPECT_TRUE(server->waitForLog("no password proof within 300 ms"));
}

TEST_F(ClientSession, RequestThatStopsHalfWayIsCutOff) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.requestTimeoutMs = 300; });
    RawClient c(server->port());
    ASSERT_TRUE(c.initialize().passwordValid);
    // A fragment header announcing 100 bytes, then 6 of them.
    c.sendRaw({0x80, 0, 0, 100, 0, 0, 0, 1, 0, 0});
    EXPECT_TRUE(c.waitClosedByServer(5000));
    EXPECT_TRUE(server->waitForLog("timed out reading a request"));
}

TEST_F(ClientSession, OversizedRequestClosesTheConnection) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.maxRequestBytes = 64 * 1024; });
    RawClient c(server->port());
    ASSERT_TRUE(c.initialize().passwordValid);
    // Below the cap: served.
    c.sql(1, "SELECT 1 AS one /*" + std::string(50000, 'x') + "*/");
    ASSERT_TRUE(c.results().waitSelectDone(1));
    EXPECT_EQ(c.results().selects(1).back().code, deSuccess);
    try {
        c.sql(2, "SELECT 1 /*" + std::string(200000, 'x') + "*/");
    } catch (const ORTU_Exception&) {
        // The server may close before all of it is written.
    }
    EXPECT_TRUE(c.waitClosedByServer());
    EXPECT_TRUE(server->waitForLog("request larger than 65536 bytes"));
    EXPECT_TRUE(c.results().selects(2).empty());
}

namespace {

void appendWords(std::vector<uint8_t>& out, std::initializer_list<uint32_t> words) {
    for (uint32_t w : words) {
        out.push_back(static_cast<uint8_t>(w >> 24));
        out.push_back(static_cast<uint8_t>(w >> 16));
        out.push_back(static_cast<uint8_t>(w >> 8));
        out.push_back(static_cast<uint8_t>(w));
    }
}

void appendText(std::vector<uint8_t>& out, const std::string& text) {
    appendWords(out, {static_cast<uint32_t>(text.size())});
    out.insert(out.end(), text.begin(), text.end());
    out.resize(out.size() + (4 - text.size() % 4) % 4, 0);
}

// One request record of DBServer in a single fragment whose header claims
// `missing` bytes more than the record holds.
std::vector<uint8_t> requestRecord(uint32_t callId, const std::vector<uint8_t>& arguments,
                                   uint32_t missing = 0) {
    std::vector<uint8_t> payload;
    appendWords(payload, {7, REQUEST_WITH_HASH, callId, DBServer_HASH});
    payload.insert(payload.end(), arguments.begin(), arguments.end());
    std::vector<uint8_t> out;
    appendWords(out, {0x80000000u | static_cast<uint32_t>(payload.size() + missing)});
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> sqlArguments(uint32_t id, const std::string& statement) {
    std::vector<uint8_t> a;
    appendWords(a, {id});
    appendText(a, statement);
    return a;
}

size_t recordsWithId(RawClient& c, uint32_t job, uint32_t id) {
    c.sql(job, "SELECT Media_ID FROM media WHERE Media_ID = " + std::to_string(id));
    if (!c.results().waitSelectDone(job))
        return 99;
    return valuesOf(c.results().selects(job)).size();
}

} // namespace

TEST_F(ClientSession, TruncatedRequestIsNeverRun) {
    auto server = serve();
    const uint32_t victim = Known::kFirstFiller;
    {
        RawClient c(server->port());
        ASSERT_TRUE(c.initialize().passwordValid);
        // Everything a Delete of the record needs is there, but the record
        // promised four bytes more when the client went away.
        std::vector<uint8_t> ids;
        appendWords(ids, {41, 1, victim});
        c.sendRaw(requestRecord(CALL_Delete, ids, 4));
        c.shutdownSending();
        EXPECT_TRUE(c.waitClosedByServer());
    }
    {
        RawClient c(server->port());
        ASSERT_TRUE(c.initialize().passwordValid);
        c.sendRaw(requestRecord(CALL_SQLExecute, sqlArguments(42, "SELECT 1 AS one"), 8));
        c.shutdownSending();
        EXPECT_TRUE(c.waitClosedByServer());
        EXPECT_TRUE(c.results().selects(42).empty());
    }
    RawClient check(server->port());
    ASSERT_TRUE(check.initialize().passwordValid);
    EXPECT_EQ(recordsWithId(check, 43, victim), 1u);
    for (const std::string& line : server->log()) {
        EXPECT_EQ(line.find("job Delete 41"), std::string::npos) << line;
        EXPECT_EQ(line.find("job SQLExecute 42"), std::string::npos) << line;
    }
}

TEST_F(ClientSession, RequestsAreServedHoweverTheirFragmentsAreCut) {
    auto server = serve();
    RawClient c(server->port());
    ASSERT_TRUE(c.initialize().passwordValid);
    const auto payload = [](const auto& r) { return qrex_test::Bytes(r.begin() + 4, r.end()); };
    // Sizes of the fragments before the last, which may be empty.
    for (const std::vector<size_t>& cut : {std::vector<size_t>{16}, {8, 8}, {0}, {8, 0, 8}}) {
        c.sendRaw(qrex_test::fragmented(payload(requestRecord(CALL_GetServerType, {})), cut));
        EXPECT_EQ(c.receiveRecord(), qrex_test::words({7, REPLY, SUCCESS, 3}));
    }
    const auto sql = payload(requestRecord(CALL_SQLExecute, sqlArguments(9, "SELECT 1 AS n")));
    c.sendRaw(qrex_test::fragmented(sql, {sql.size()}));
    ASSERT_TRUE(c.results().waitSelectDone(9));
    EXPECT_EQ(valuesOf(c.results().selects(9)), (std::vector<std::vector<std::string>>{{"1"}}));
}

TEST_F(ClientSession, OverlongAnswerIsAWrongPassword) {
    auto server = serve();
    // The right answer and more, or a length no answer has: a wrong answer.
    for (const std::string tail : {"0", "00", "length only"}) {
        RawClient c(server->port());
        RawClient::Options o;
        o.proofReply = [&](const std::string& answer) {
            std::vector<uint8_t> bytes;
            if (tail == "length only")
                return qrex_test::words({0xFFFFFFFFu});
            appendText(bytes, answer + tail);
            return bytes;
        };
        const auto reply = c.initialize(o);
        EXPECT_FALSE(reply.passwordValid) << tail;
        EXPECT_EQ(reply.error, "Invalid password") << tail;
    }
}

TEST_F(ClientSession, RequestLimitCountsThePayloadAndIsCheckedBeforeItRuns) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.maxRequestBytes = 65536; });
    RawClient c(server->port());
    ASSERT_TRUE(c.initialize().passwordValid);
    // Exactly 65536 bytes of payload: 16 of header, 8 of id and length, and
    // a statement that fills the rest. Accepted and run.
    const std::string comment(65536 - 16 - 8 - std::string("SELECT 1 AS one /**/").size(), 'x');
    const std::string fits = "SELECT 1 AS one /*" + comment + "*/";
    ASSERT_EQ(requestRecord(CALL_SQLExecute, sqlArguments(1, fits)).size(), 65536u + 4);
    c.sendRaw(requestRecord(CALL_SQLExecute, sqlArguments(1, fits)));
    ASSERT_TRUE(c.results().waitSelectDone(1));
    EXPECT_EQ(c.results().selects(1).back().code, deSuccess);
    // One byte more, in bytes behind a short statement: refused, not run.
    std::vector<uint8_t> arguments = sqlArguments(2, "SELECT 2 AS two");
    arguments.resize(65537 - 16, 0);
    try {
        c.sendRaw(requestRecord(CALL_SQLExecute, arguments));
    } catch (const ORTU_Exception&) {
        // The server may close before all of it is written.
    }
    EXPECT_TRUE(c.waitClosedByServer());
    EXPECT_TRUE(server->waitForLog("request larger than 65536 bytes"));
    EXPECT_TRUE(c.results().selects(2).empty());
    EXPECT_FALSE(server->logContains("job SQLExecute 2 "));
}

TEST_F(ClientSession, DecodedRequestTakesAtMostFourTimesItsSizeInMemory) {
    auto server = serve();
    RawClient c(server->port());
    ASSERT_TRUE(c.initialize().passwordValid);
    // A search for the empty phrase, 900,000 times: 3.6 MB on the wire, and
    // nine times that once each phrase is a string of its own.
    const std::vector<std::string> phrases(900000);
    try {
        c.search(5, {Known::kFirstFiller}, phrases, smAnyOf);
    } catch (const ORTU_Exception&) {
        // The server may close before all of it is written.
    }
    EXPECT_TRUE(c.waitClosedByServer());
    EXPECT_TRUE(server->waitForLog("request would take more than 4 times its size in memory"));
    EXPECT_FALSE(server->logContains("job SearchText 5 "));
    EXPECT_TRUE(c.results().searches(5).empty());

    // Phrases as people type them are searched as before.
    RawClient d(server->port());
    ASSERT_TRUE(d.initialize().passwordValid);
    const std::vector<std::string> typed(200, "needle");
    d.search(6, {Known::kFirstFiller, Known::kFirstFiller + 1}, typed, smAllOf);
    ASSERT_TRUE(d.results().waitSearchDone(6, 2));
    EXPECT_EQ(d.results().searches(6).back().code, deSuccess);
}

TEST_F(ClientSession, IdleConnectionIsClosed) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.idleTimeoutMs = 300; });
    RawClient c(server->port());
    ASSERT_TRUE(c.initialize().passwordValid);
    EXPECT_TRUE(c.waitClosedByServer(5000));
    EXPECT_TRUE(server->waitForLog("idle for 300 ms"));
}

TEST_F(ClientSession, ArbitraryBytesNeverTakeTheServerDown) {
    auto server = serve([](vqarchive::ServerConfig& c) {
        c.handshakeTimeoutMs = 500;
        c.requestTimeoutMs = 300;
    });
    std::mt19937 rng(1234);
    for (int round = 0; round < 12; ++round) {
        RawClient c(server->port());
        std::vector<uint8_t> bytes(1 + rng() % 600);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(rng());
        if (round % 3 == 0) {
            // A well-formed header in front of random arguments.
            const uint8_t header[] = {0x80, 0, 0,    0,    0,    0,    0,    1,    0,    0,
                                      0,    2, 0x69, 0x01, 0x01, 0x03, 0xEA, 0xA7, 0x96, 0xFB};
            std::copy(std::begin(header), std::end(header), bytes.begin());
            const uint32_t length = static_cast<uint32_t>(bytes.size() - 4);
            bytes[1] = static_cast<uint8_t>(length >> 16);
            bytes[2] = static_cast<uint8_t>(length >> 8);
            bytes[3] = static_cast<uint8_t>(length);
            bytes.resize(std::max<size_t>(bytes.size(), 24));
        }
        try {
            c.sendRaw(bytes);
        } catch (const ORTU_Exception&) {
        }
        EXPECT_TRUE(c.waitClosedByServer(5000)) << round;
    }
    RawClient good(server->port());
    ASSERT_TRUE(good.initialize().passwordValid);
    EXPECT_EQ(good.server().GetServerType(), 3);
}

TEST_F(ClientSession, ConnectionLimitGivesWayOnlyToIdleConnectionsAndRefusesClearly) {
    auto server = serve([](vqarchive::ServerConfig& c) {
        c.maxConnections = 2;
        c.handshakeTimeoutMs = 2000; // an unproven connection may give way after 500 ms
    });
    RawClient a(server->port());
    ASSERT_EQ(a.initialize().error, "");
    RawClient b(server->port()); // never proves itself
    ASSERT_TRUE(server->waitForLog("client #2"));
    // b has only just come: it may still be on its way. The newcomer is told.
    {
        RawClient c(server->port());
        const auto reply = c.initialize();
        EXPECT_TRUE(reply.passwordValid);
        EXPECT_EQ(reply.error,
                  "Too many connections: the server serves at most 2 at once; try again later");
    }
    // Once b has stayed silent for a while, it makes room.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    RawClient d(server->port());
    EXPECT_TRUE(b.waitClosedByServer());
    EXPECT_TRUE(server->waitForLog("makes room for"));
    ASSERT_EQ(d.initialize().error, "");

    // Both places taken by proven clients at work: the next one is refused.
    RawClient e(server->port());
    EXPECT_EQ(e.initialize().error,
              "Too many connections: the server serves at most 2 at once; try again later");
    EXPECT_TRUE(server->waitForLog("connection limit of 2 reached: refusing"));
    EXPECT_EQ(a.server().GetServerType(), 3);
    EXPECT_EQ(d.server().GetServerType(), 3);
}

TEST_F(ClientSession, NewcomerIsToldEvenWhenRefusalsPileUp) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.maxConnections = 2; });
    // Two places and two refusals taken by clients that say nothing.
    std::vector<std::unique_ptr<RawClient>> silent;
    for (int i = 1; i <= 4; ++i) {
        silent.push_back(std::make_unique<RawClient>(server->port()));
        ASSERT_TRUE(server->waitForLog("client #" + std::to_string(i) + " "));
    }
    RawClient c(server->port());
    EXPECT_EQ(c.initialize().error,
              "Too many connections: the server serves at most 2 at once; try again later");
    EXPECT_TRUE(silent[2]->waitClosedByServer()); // the oldest silent refusal
}

TEST_F(ClientSession, HundredClientsAtOnceAreServedOrToldWhy) {
    auto server = serve();
    const int clients = 100;
    std::atomic<int> served{0};
    std::atomic<int> refused{0};
    std::atomic<int> initialized{0};
    std::vector<std::string> failures(clients);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            try {
                RawClient c(server->port());
                const auto reply = c.initialize();
                ++initialized;
                // Everyone holds on until all have had their answer, so that
                // the limit of 64 is really met.
                eventually([&] { return initialized.load() == clients; }, 60000);
                if (reply.error.empty() && c.server().GetServerType() == 3)
                    ++served;
                else if (reply.passwordValid &&
                         reply.error.rfind("Too many connections: the server serves at most 64",
                                           0) == 0)
                    ++refused;
                else
                    failures[i] = reply.error;
            } catch (const std::exception& e) {
                failures[i] = std::string("exception: ") + e.what();
                ++initialized;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < clients; ++i)
        EXPECT_EQ(failures[i], "") << "client " << i;
    EXPECT_EQ(served.load() + refused.load(), clients);
    EXPECT_EQ(served.load(), 64);
}

TEST_F(ClientSession, ClientThatStopsReadingCostsOnlyItsOwnConnection) {
    auto server = serve([](vqarchive::ServerConfig& c) {
        c.writeTimeoutMs = 300;
        c.pieceSize = 65536;
    });
    RawClient slow(server->port());
    RawClient::Options o;
    o.stallBack = true;
    ASSERT_TRUE(slow.initialize(o).passwordValid);
    slow.download(1, std::vector<uint32_t>(400, 7));

    RawClient fast(server->port());
    ASSERT_TRUE(fast.initialize().passwordValid);
    fast.sql(2, kFillers);
    ASSERT_TRUE(fast.results().waitSelectDone(2));
    EXPECT_EQ(valuesOf(fast.results().selects(2)).size(), 250u);

    EXPECT_TRUE(server->waitForLog("the back connection failed", 20000));
    EXPECT_TRUE(slow.waitClosedByServer(20000));
    slow.releaseStall();
    EXPECT_EQ(fast.server().GetServerType(), 3);
}

TEST_F(ClientSession, ClientThatSendsAndNeverReadsLosesItsConnection) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.writeTimeoutMs = 300; });
    RawClient c(server->port());
    ASSERT_TRUE(c.initialize().passwordValid);
    std::vector<uint8_t> requests;
    for (int i = 0; i < 1000; ++i)
        requests = qrex_test::cat({requests, requestRecord(CALL_GetStatus, {})});
    std::atomic<bool> done{false};
    std::thread flood([&] {
        try {
            while (!done)
                c.sendRaw(requests);
        } catch (const ORTU_Exception&) { // closed by the server
        }
    });
    EXPECT_TRUE(server->waitForLog("replies not taken; its requests wait"));
    EXPECT_TRUE(server->waitForLog("replies not taken for 300 ms", 10000));
    done = true;
    flood.join();
}

TEST_F(ClientSession, StatusIsBusyWhileAJobRunsAndCancelStopsIt) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.faults.batchDelayMs = 150; });
    RawClient c(server->port());
    ASSERT_TRUE(c.initialize().passwordValid);
    c.sql(77, kFillers);
    TStatus status{};
    c.server().GetStatus(&status);
    EXPECT_EQ(status.state, stBusy);
    XDR_Free(&status, xdr_TStatus);
    ASSERT_TRUE(c.results().waitUntil([&] { return !c.results().selects(77).empty(); }, 10000));
    c.cancel(opSQLExecute, 77);
    ASSERT_TRUE(c.results().waitSelectDone(77));
    const auto batches = c.results().selects(77);
    EXPECT_LT(batches.size(), 8u);
    EXPECT_EQ(batches.back().code, deCancelled);
    EXPECT_FALSE(batches.back().hasMore);
    for (size_t i = 0; i + 1 < batches.size(); ++i)
        EXPECT_TRUE(batches[i].hasMore);
    EXPECT_TRUE(eventually(
        [&] {
            TStatus s{};
            c.server().GetStatus(&s);
            const bool ready = s.state == stReady;
            XDR_Free(&s, xdr_TStatus);
            return ready;
        },
        5000));
    EXPECT_TRUE(server->logContains("CancelOperation SQLExecute 77: cancelling"));
}

TEST_F(ClientSession, WaitingJobCancelledBeforeItsTurnReportsCancelled) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.faults.batchDelayMs = 100; });
    RawClient c(server->port());
    ASSERT_TRUE(c.initialize().passwordValid);
    c.sql(1, kFillers);
    c.download(2, {7});
    c.cancel(opDownload, 2);
    ASSERT_TRUE(c.results().waitDownloadDone(2));
    const auto pieces = c.results().downloads(2);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].recId, 0xFFFFFFFFu);
    EXPECT_EQ(pieces[0].code, deCancelled);
    ASSERT_TRUE(c.results().waitSelectDone(1));
    EXPECT_EQ(valuesOf(c.results().selects(1)).size(), 250u);
}

TEST_F(ClientSession, TooManyWaitingJobsAreRefused) {
    auto server = serve([](vqarchive::ServerConfig& c) {
        c.maxQueuedJobs = 1;
        c.faults.batchDelayMs = 100;
    });
    RawClient c(server->port());
    ASSERT_TRUE(c.initialize().passwordValid);
    for (uint32_t id = 1; id <= 4; ++id)
        c.sql(id, "SELECT 1 AS one");
    for (uint32_t id = 1; id <= 4; ++id)
        ASSERT_TRUE(c.results().waitSelectDone(id)) << id;
    int refused = 0;
    for (uint32_t id = 1; id <= 4; ++id) {
        const auto last = c.results().selects(id).back();
        if (last.code == deNotReady) {
            EXPECT_EQ(last.message, "Too many jobs waiting");
            ++refused;
        } else {
            EXPECT_EQ(last.code, deSuccess);
        }
    }
    EXPECT_GE(refused, 1);
}

TEST_F(ClientSession, BackConnectionClosedByFaultEndsTheConnection) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.faults.closeBackAfterCalls = 2; });
    RawClient c(server->port());
    ASSERT_TRUE(c.initialize().passwordValid);
    c.sql(5, kFillers);
    EXPECT_TRUE(eventually([&] { return c.backClosed(); }));
    EXPECT_EQ(c.results().selects(5).size(), 2u);
    EXPECT_TRUE(c.waitClosedByServer());
    EXPECT_TRUE(server->waitForLog("fault injection"));
}

TEST_F(ClientSession, SeveralClientsAreServedAtOnce) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.pieceSize = 1000; });
    constexpr int kClients = 5;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            RawClient c(server->port());
            if (!c.initialize().passwordValid)
                return;
            const uint32_t id = 100 + static_cast<uint32_t>(i);
            c.sql(id, kFillers);
            c.download(id, {7, 9});
            if (!c.results().waitSelectDone(id) || !c.results().waitDownloadDone(id))
                return;
            if (valuesOf(c.results().selects(id)).size() == 250 &&
                c.results().bytesOf(id, 7) == known_.wavA &&
                c.results().bytesOf(id, 9) == known_.pdf)
                ++good;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good.load(), kClients);
}

TEST_F(ClientSession, StopCancelsJobsAndClosesConnections) {
    auto server = serve([](vqarchive::ServerConfig& c) { c.faults.batchDelayMs = 300; });
    RawClient c(server->port());
    ASSERT_TRUE(c.initialize().passwordValid);
    RawClient idle(server->port());
    c.sql(9, kFillers);
    ASSERT_TRUE(c.results().waitUntil([&] { return !c.results().selects(9).empty(); }, 10000));
    const auto started = std::chrono::steady_clock::now();
    server->server().stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_TRUE(c.waitClosedByServer());
    EXPECT_TRUE(idle.waitClosedByServer());
    EXPECT_TRUE(eventually([&] { return c.backClosed(); }, 5000));
    EXPECT_LT(c.results().selects(9).size(), 8u);
    EXPECT_TRUE(server->logContains("stopped; 2 connection(s) closed"));
    EXPECT_EQ(server->server().connectionCount(), 0u);
}

} // namespace
