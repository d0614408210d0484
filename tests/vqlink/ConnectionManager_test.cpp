// The connection manager as a host sees it: Connect's codes, the handshake,
// the back connection's end, failures of an established connection.
#include "Test_Archive_Server.h"
#include "vqlink_host.h"
#include "vqlink_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <thread>
#include <unistd.h>

using namespace vqlink_host;
typedef Test_Archive_Server::Observed Observed;

namespace {

class Connect_Test : public Library_Test {};

// A port where nothing listens: bound once, then released.
ORTU_UINT16 unused_port() {
    TCP_Socket probe(0, nullptr);
    return probe.local_endpoint().port;
}

// GetStatus outcome: "ok", or the report's code and text.
std::string status_outcome() {
    Recorder::get().clear();
    IPC_DA_DBServer::TStatus status{IPC_DA_DBServer::stBusy, nullptr};
    GetStatus(&status);
    std::string outcome;
    if (status.message)
        outcome = "ok " + std::string(status.message);
    IPC_DA_DBServer::TStatus_Free(&status);
    for (const Report& r : Recorder::get().reports())
        outcome += std::to_string(r.code) + " " + r.message;
    return outcome;
}

} // namespace

TEST_F(Connect_Test, SuccessRunsTheWholeHandshake) {
    Test_Archive_Server server;
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), VQLINK_CONNECTED);
    const Observed seen = server.observed();
    EXPECT_EQ(seen.initializes, 1);
    EXPECT_TRUE(seen.last_proof_valid);
    EXPECT_EQ(seen.last_digest,
              Test_Archive_Server::reference_digest("secret", "0123456789abcdefghijklmnopqrstuv"));
    EXPECT_EQ(seen.last_initialize.clientIp, 0x7F000001u);
    EXPECT_NE(seen.last_initialize.clientPort, 0u);
    EXPECT_EQ(status_outcome(), "ok ready");
}

TEST_F(Connect_Test, WhileConnectedReturnsOneAndKeepsTheConnection) {
    Test_Archive_Server server;
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    Test_Archive_Server other;
    EXPECT_EQ(Connect("127.0.0.1", other.port(), "secret"), VQLINK_ALREADY_CONNECTED);
    EXPECT_EQ(other.observed().sessions, 0);
    EXPECT_EQ(status_outcome(), "ok ready");
    EXPECT_EQ(server.observed().status_requests, 1);
}

TEST_F(Connect_Test, UnresolvableHostsGiveThree) {
    EXPECT_EQ(Connect("255.255.255.255", 1, "x"), VQLINK_UNRESOLVED_HOST);
    EXPECT_EQ(Connect("", 1, "x"), VQLINK_UNRESOLVED_HOST);
    EXPECT_EQ(Connect(nullptr, 1, "x"), VQLINK_UNRESOLVED_HOST);
    EXPECT_EQ(status_outcome(), "0 Not connected");
}

TEST_F(Connect_Test, NothingListeningGivesFour) {
    EXPECT_EQ(Connect("127.0.0.1", unused_port(), "x"), VQLINK_NO_CHANNEL);
    EXPECT_EQ(status_outcome(), "0 Not connected");
}

TEST_F(Connect_Test, WrongPasswordGivesEight) {
    Test_Archive_Server server;
    EXPECT_EQ(Connect("127.0.0.1", server.port(), "guess"), VQLINK_REFUSED_INVALID_PASSWORD);
    EXPECT_FALSE(server.observed().last_proof_valid);
    EXPECT_EQ(status_outcome(), "0 Not connected");
    // The failed attempt left nothing behind: the right password works now.
    EXPECT_EQ(Connect("127.0.0.1", server.port(), "secret"), VQLINK_CONNECTED);
}

TEST_F(Connect_Test, RefusalWithValidPasswordGivesSeven) {
    Test_Archive_Server::Settings settings;
    settings.refusal = "Too many clients";
    Test_Archive_Server server(settings);
    EXPECT_EQ(Connect("127.0.0.1", server.port(), "secret"), VQLINK_REFUSED_VALID_PASSWORD);
    EXPECT_TRUE(server.observed().last_proof_valid);
    EXPECT_EQ(status_outcome(), "0 Not connected");
}

TEST_F(Connect_Test, EmptyErrorTextIsSuccessWhateverPasswordValidSays) {
    Test_Archive_Server::Settings settings;
    settings.skip_back_connection = true; // replies passwordValid false
    Test_Archive_Server server(settings);
    EXPECT_EQ(Connect("127.0.0.1", server.port(), "secret"), VQLINK_CONNECTED);
    Disconnect();

    settings.refusal = "no";
    Test_Archive_Server refusing(settings);
    EXPECT_EQ(Connect("127.0.0.1", refusing.port(), "secret"), VQLINK_REFUSED_INVALID_PASSWORD);
}

namespace {

// Turns the library's assertion reports into aborts for one test: a report
// nobody reads is otherwise ignored, and the test would go on past it.
class Assertions_Abort {
public:
    Assertions_Abort() { setenv("ORTU_ASSERT", "abort", 1); }
    ~Assertions_Abort() { unsetenv("ORTU_ASSERT"); }
    Assertions_Abort(const Assertions_Abort&) = delete;
    Assertions_Abort& operator=(const Assertions_Abort&) = delete;
};

} // namespace

TEST_F(Connect_Test, RefusalAfterTheBackConnectionEndedUsesNothingFreed) {
    // The server closes the back connection before it replies to a refused
    // Initialize: the serving thread ends and lets go of its connection
    // while Connect still reads the reply on that connection's channel.
    Assertions_Abort abort_on_report;
    const int rounds = 30;
    Test_Archive_Server::Settings settings;
    settings.close_back_on_refusal = true;
    settings.reply_delay_ms = 10;
    Test_Archive_Server server(settings);
    for (int round = 0; round < rounds; ++round) {
        ASSERT_EQ(Connect("127.0.0.1", server.port(), "guess"), VQLINK_REFUSED_INVALID_PASSWORD)
            << "round " << round;
        ASSERT_EQ(status_outcome(), "0 Not connected") << "round " << round;
    }
    // Every round really had the serving thread end before the reply.
    EXPECT_EQ(server.observed().back_closed_before_reply, rounds);
    // Each refused attempt closed its request connection once done with it.
    EXPECT_TRUE(server.wait_until([&](const Observed& o) { return o.ended_sessions == rounds; }));
    EXPECT_EQ(Connect("127.0.0.1", server.port(), "secret"), VQLINK_CONNECTED);
    EXPECT_EQ(status_outcome(), "ok ready");
    Disconnect();

    settings.refusal = "Too many clients";
    Test_Archive_Server busy(settings);
    for (int round = 0; round < 5; ++round)
        ASSERT_EQ(Connect("127.0.0.1", busy.port(), "secret"), VQLINK_REFUSED_VALID_PASSWORD)
            << "round " << round;
    EXPECT_EQ(busy.observed().back_closed_before_reply, 5);
    EXPECT_EQ(status_outcome(), "0 Not connected");
}

TEST_F(Connect_Test, InvalidHashGivesMinusOneAndLeavesNoThread) {
    Test_Archive_Server::Settings settings;
    settings.hash = IPC_DA_DBServer::DBServer_HASH ^ 1;
    Test_Archive_Server server(settings);
    EXPECT_EQ(Connect("127.0.0.1", server.port(), "secret"), VQLINK_CONNECT_FAILED);
    EXPECT_EQ(server.observed().initializes, 0);
    EXPECT_EQ(status_outcome(), "0 Not connected");
    // The stopped connection closes its request connection as it ends.
    EXPECT_TRUE(server.wait_until([](const Observed& o) { return o.ended_sessions == 1; }));
}

TEST_F(Connect_Test, BackConnectionEndDiscardsTheConnection) {
    Test_Archive_Server server;
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    server.close_back_connection();
    EXPECT_TRUE(eventually([] { return status_outcome() == "0 Not connected"; }));
    // Its end also closed the request connection.
    EXPECT_TRUE(server.wait_until([](const Observed& o) { return o.ended_sessions == 1; }));
    EXPECT_EQ(Connect("127.0.0.1", server.port(), "secret"), VQLINK_CONNECTED);
    EXPECT_EQ(status_outcome(), "ok ready");
}

TEST_F(Connect_Test, BrokenRequestConnectionReportsCommunicationError) {
    Test_Archive_Server server;
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    server.break_request_connection();
    ASSERT_TRUE(server.wait_until([](const Observed& o) { return o.ended_sessions == 1; }));
    EXPECT_EQ(status_outcome(), "1 communication_error");
    EXPECT_EQ(status_outcome(), "1 communication_error");
    Recorder::get().clear();
    IPC_DA_DBServer::TSQLExecute sql{1, const_cast<char*>("select 1")};
    SQLExecute(&sql);
    ASSERT_EQ(Recorder::get().reports().size(), 1u);
    EXPECT_EQ(Recorder::get().reports()[0].message, "communication_error");
    // Still the current connection until the host lets go of it.
    EXPECT_EQ(Connect("127.0.0.1", server.port(), "secret"), VQLINK_ALREADY_CONNECTED);
    Disconnect();
    EXPECT_EQ(Connect("127.0.0.1", server.port(), "secret"), VQLINK_CONNECTED);
    EXPECT_EQ(status_outcome(), "ok ready");
}

TEST_F(Connect_Test, ErrorReplyReportsSelectorError) {
    Test_Archive_Server::Settings settings;
    settings.without_get_status = true;
    Test_Archive_Server server(settings);
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    EXPECT_EQ(status_outcome(), "1 selector_error");
    // The connection survives an error reply.
    EXPECT_EQ(GetServerType(), 2);
}

TEST_F(Connect_Test, DisconnectEndsBothConnections) {
    Test_Archive_Server server;
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    Disconnect();
    EXPECT_EQ(status_outcome(), "0 Not connected");
    Disconnect(); // nothing to do
    EXPECT_TRUE(server.wait_until([](const Observed& o) { return o.ended_sessions == 1; }));
}

TEST_F(Connect_Test, RequestsRacingAServerThatClosesUseNothingFreed) {
    // Many requests in flight while the back connection ends and the
    // connection deletes itself: each one completes or reports, none
    // touches freed memory (the sanitizer build checks that).
    for (int round = 0; round < 5; ++round) {
        Test_Archive_Server server;
        ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
        std::atomic<int> done{0};
        std::atomic<int> requests{0};
        std::vector<std::thread> hosts;
        for (int t = 0; t < 4; ++t) {
            hosts.emplace_back([&done, &requests, t] {
                for (int i = 0; i < 200; ++i, ++requests) {
                    if (t % 2) {
                        IPC_DA_DBServer::TStatus status{IPC_DA_DBServer::stBusy, nullptr};
                        GetStatus(&status);
                        IPC_DA_DBServer::TStatus_Free(&status);
                    } else {
                        IPC_DA_DBServer::TSQLExecute sql{static_cast<std::uint32_t>(i),
                                                         const_cast<char*>("select 1")};
                        SQLExecute(&sql);
                    }
                }
                ++done;
            });
        }
        // Close while the hosts are in the middle of their requests.
        const int before = 40 * (round + 1);
        eventually([&] { return requests.load() >= before; });
        server.close_back_connection();
        for (auto& h : hosts)
            h.join();
        EXPECT_EQ(done.load(), 4);
        for (const Report& r : Recorder::get().reports()) {
            EXPECT_TRUE((r.code == 0 && r.message == "Not connected") ||
                        (r.code == 1 && r.message == "communication_error"))
                << r.code << " " << r.message;
        }
        EXPECT_TRUE(eventually([] { return status_outcome() == "0 Not connected"; }));
        Recorder::get().clear();
    }
}

namespace {

// The library reads its debug configuration when its runtime starts.
class Configuration_File {
public:
    explicit Configuration_File(const std::string& text) {
        path_ = ::testing::TempDir() + "vqlink_port_test." + std::to_string(getpid()) + ".ini";
        std::ofstream(path_) << text;
        setenv("ORTU_DEBUG_INI", path_.c_str(), 1);
    }
    ~Configuration_File() {
        unsetenv("ORTU_DEBUG_INI");
        std::remove(path_.c_str());
    }

private:
    std::string path_;
};

ORTU_UINT16 back_port_with(const std::string& ini) {
    FinalizeDLL(); // the fixture's start: restart with the file in place
    ORTU_UINT16 port = 0;
    {
        Configuration_File file(ini);
        InitDLL();
        Test_Archive_Server server;
        if (Connect("127.0.0.1", server.port(), "secret") == 0)
            port = server.observed().last_initialize.clientPort;
        FinalizeDLL();
    }
    InitDLL();
    return port;
}

} // namespace

TEST_F(Connect_Test, PortSectionFixesTheListeningPort) {
    // A port found free may be taken by another program before the library
    // binds it: a few tries make that race harmless.
    ORTU_UINT16 wanted = 0;
    char ini[128];
    bool fixed = false;
    for (int attempt = 0; attempt < 5 && !fixed; ++attempt) {
        wanted = unused_port();
        std::snprintf(ini, sizeof(ini), "[port]\nenabled = 1\nmax_level = %u\n", wanted);
        fixed = back_port_with(ini) == wanted;
    }
    EXPECT_TRUE(fixed);

    std::snprintf(ini, sizeof(ini), "[port]\nmax_level = %u\n", wanted);
    const ORTU_UINT16 chosen = back_port_with(ini);
    EXPECT_NE(chosen, 0u);
    EXPECT_NE(chosen, wanted);

    EXPECT_NE(back_port_with("[other]\nenabled = 1\n"), 0u);
}

namespace {

// A second, independent instance of the library in this process: a copy of
// the file, loaded under its own name.
class Second_Instance {
public:
    Second_Instance() {
        path_ = ::testing::TempDir() + "libvqlink_copy." + std::to_string(getpid()) + ".so";
        std::ifstream in(VQLINK_LIBRARY_PATH, std::ios::binary);
        std::ofstream(path_, std::ios::binary) << in.rdbuf();
        handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    ~Second_Instance() {
        if (handle_)
            dlclose(handle_);
        std::remove(path_.c_str());
    }
    template <class F> F get(const char* name) {
        return reinterpret_cast<F>(handle_ ? dlsym(handle_, name) : nullptr);
    }
    bool loaded() const { return handle_ != nullptr; }

private:
    std::string path_;
    void* handle_ = nullptr;
};

} // namespace

TEST_F(Connect_Test, TwoInstancesListenOnDifferentSystemChosenPorts) {
    Second_Instance other;
    ASSERT_TRUE(other.loaded()) << dlerror();
    auto init = other.get<void (*)()>("InitDLL");
    auto finalize = other.get<void (*)()>("FinalizeDLL");
    auto connect = other.get<int (*)(const char*, std::uint16_t, const char*)>("Connect");
    ASSERT_TRUE(init && finalize && connect);

    Test_Archive_Server server;
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    const ORTU_UINT16 first = server.observed().last_initialize.clientPort;
    init();
    ASSERT_EQ(connect("127.0.0.1", server.port(), "secret"), 0);
    const ORTU_UINT16 second = server.observed().last_initialize.clientPort;
    finalize();
    EXPECT_EQ(server.observed().initializes, 2);
    EXPECT_NE(first, 0u);
    EXPECT_NE(second, 0u);
    EXPECT_NE(first, second);
    // Each instance has a connection of its own: this one is still there.
    EXPECT_EQ(status_outcome(), "ok ready");
}

// ---------------------------------------------------------------- servers that
// do not answer, and hosts that do not wait

namespace {

constexpr int BOUND_MS = 400;

// The library with a short bound for its calls, as the debug configuration
// sets it.
class Bounded_Test : public ::testing::Test {
protected:
    void SetUp() override {
        InitDLL();
        Recorder::get().clear();
        Recorder::register_all();
    }
    void TearDown() override { FinalizeDLL(); }

    Configuration_File file_{
        "[call_timeout]\nenabled = 1\nmax_level = " + std::to_string(BOUND_MS) + "\n"};
};

// Takes connections into its backlog and never says a word.
class Silent_Server {
public:
    Silent_Server() : listener_(0, &loopback_) { listener_.listen(); }
    ORTU_UINT16 port() const { return listener_.local_endpoint().port; }

private:
    InetAddress loopback_ = InetAddress::loopback();
    TCP_Socket listener_;
};

template <class F> long long milliseconds_of(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// A host thread's GetStatus, its outcome and when it ended.
class Status_Call {
public:
    Status_Call() {
        thread_ = std::thread([this] {
            IPC_DA_DBServer::TStatus status{IPC_DA_DBServer::stBusy, nullptr};
            GetStatus(&status);
            ok_ = status.message != nullptr;
            IPC_DA_DBServer::TStatus_Free(&status);
            done_ = true;
        });
    }
    ~Status_Call() { join(); }
    void join() {
        if (thread_.joinable())
            thread_.join();
    }
    bool done() const { return done_.load(); }
    bool ok() const { return ok_.load(); }

private:
    std::atomic<bool> done_{false};
    std::atomic<bool> ok_{false};
    std::thread thread_;
};

Test_Archive_Server::Settings hanging_status() {
    Test_Archive_Server::Settings settings;
    settings.hang_get_status = true;
    return settings;
}

} // namespace

TEST_F(Bounded_Test, ConnectToAServerThatNeverAnswersEndsAtTheBound) {
    Silent_Server silent;
    int code = 0;
    const long long ms =
        milliseconds_of([&] { code = Connect("127.0.0.1", silent.port(), "secret"); });
    // The server took the connection and never initialized it.
    EXPECT_EQ(code, VQLINK_REFUSED_VALID_PASSWORD);
    EXPECT_GE(ms, BOUND_MS - 20);
    EXPECT_LT(ms, BOUND_MS + 3000);
    // Nothing was reported: Connect speaks in codes.
    EXPECT_TRUE(Recorder::get().reports().empty());
    EXPECT_EQ(status_outcome(), "0 Not connected");
}

TEST_F(Bounded_Test, UnansweredCallFailsAtTheBoundAndTheConnectionWithIt) {
    Test_Archive_Server server(hanging_status());
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    std::string outcome;
    long long ms = milliseconds_of([&] { outcome = status_outcome(); });
    EXPECT_EQ(outcome, "1 communication_error");
    EXPECT_GE(ms, BOUND_MS - 20);
    EXPECT_LT(ms, BOUND_MS + 3000);
    // The channel is given up: the next call fails at once.
    ms = milliseconds_of([&] { outcome = status_outcome(); });
    EXPECT_EQ(outcome, "1 communication_error");
    EXPECT_LT(ms, BOUND_MS);
    Disconnect();
    Test_Archive_Server good;
    EXPECT_EQ(Connect("127.0.0.1", good.port(), "secret"), 0);
    EXPECT_EQ(status_outcome(), "ok ready");
}

TEST_F(Bounded_Test, CancelFromAnotherThreadWaitsAtMostTheBound) {
    Test_Archive_Server server(hanging_status());
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    Status_Call waiting;
    ASSERT_TRUE(server.wait_until([](const Observed& o) { return o.status_requests == 1; }));
    IPC_DA_DBServer::TCancelOperation cancel{IPC_DA_DBServer::opSQLExecute, 5};
    const long long ms = milliseconds_of([&] { CancelOperation(&cancel); });
    EXPECT_LT(ms, BOUND_MS + 3000);
    waiting.join();
    EXPECT_FALSE(waiting.ok());
}

TEST_F(Connect_Test, DisconnectEndsACallInFlightAtOnce) {
    // The default bound is far away; only Disconnect can end this call.
    Test_Archive_Server server(hanging_status());
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    Status_Call waiting;
    ASSERT_TRUE(server.wait_until([](const Observed& o) { return o.status_requests == 1; }));
    const auto disconnected = std::chrono::steady_clock::now();
    Disconnect();
    ASSERT_TRUE(eventually([&] { return waiting.done(); }, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - disconnected, std::chrono::seconds(2));
    waiting.join();
    EXPECT_FALSE(waiting.ok());
    bool communication_error = false;
    for (const Report& r : Recorder::get().reports())
        communication_error |= r.code == 1 && r.message == "communication_error";
    EXPECT_TRUE(communication_error);
    EXPECT_EQ(status_outcome(), "0 Not connected");
}

TEST_F(Connect_Test, DisconnectEndsAHandshakeUnderWay) {
    Silent_Server silent;
    std::atomic<int> code{0};
    std::atomic<bool> done{false};
    std::thread connecting([&] {
        code = Connect("127.0.0.1", silent.port(), "secret");
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Disconnect();
    const bool ended = eventually([&] { return done.load(); }, 5000);
    connecting.join();
    EXPECT_TRUE(ended);
    EXPECT_NE(code.load(), VQLINK_CONNECTED);
    EXPECT_EQ(status_outcome(), "0 Not connected");
}

namespace {

// What the process writes to standard error (where the library's runtime
// speaks) while it lives.
class Standard_Error_Capture {
public:
    Standard_Error_Capture() {
        std::fflush(stderr);
        saved_ = dup(2);
        path_ = ::testing::TempDir() + "vqlink_stderr." + std::to_string(getpid());
        const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~Standard_Error_Capture() {
        restore();
        std::remove(path_.c_str());
    }
    std::string text() {
        restore();
        std::ifstream in(path_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    int saved_ = -1;
    std::string path_;
};

} // namespace

TEST_F(Connect_Test, FinalizeEndsAndWaitsOutEveryCallInFlight) {
    auto server = std::make_unique<Test_Archive_Server>(hanging_status());
    ASSERT_EQ(Connect("127.0.0.1", server->port(), "secret"), 0);
    Status_Call waiting;
    ASSERT_TRUE(server->wait_until([](const Observed& o) { return o.status_requests == 1; }));
    Standard_Error_Capture output;
    const long long ms = milliseconds_of([] { FinalizeDLL(); });
    // The call was ended, not waited for until the server gave up...
    EXPECT_LT(ms, 2000);
    EXPECT_TRUE(eventually([&] { return waiting.done(); }, 2000));
    // ...and nothing of it is left to run once the server goes: the runtime
    // it used has stopped.
    server.reset();
    waiting.join();
    EXPECT_FALSE(waiting.ok());
    const std::string text = output.text();
    EXPECT_EQ(text.find("Object manager is down"), std::string::npos) << text;
    EXPECT_EQ(text.find("Assertion failed"), std::string::npos) << text;
    InitDLL(); // the fixture's stop
}

// ---------------------------------------------------------------- the back
// connection's listener

namespace {

// Connects to the back listener's port at address; the Winsock code of the
// failure, or 0 when the connection was taken.
ORTU_UINT32 try_back_port(ORTU_UINT32 address, ORTU_UINT16 port,
                          const InetAddress* from = nullptr) {
    try {
        TCP_Socket probe(0, from);
        probe.open(InetEndpoint{InetAddress{4, address}, port}, 2000);
        return 0;
    } catch (const Socket_Error& e) {
        return e.code();
    }
}

// A password challenge as the server sends it, with a token of our own.
vqlink_test::Bytes verify_request(const char* token) {
    using namespace vqlink_test;
    return record(cat(
        {words({1, REQUEST_WITH_HASH, IPC_DA_DBClient::CALL_VerifyPassword,
                IPC_DA_DBClient::DBClient_HASH, static_cast<qrex_uint32_t>(std::strlen(token))}),
         padded(token)}));
}

} // namespace

TEST_F(Connect_Test, BackListenerListensOnlyWhereTheServerReachesUs) {
    Test_Archive_Server server;
    std::atomic<ORTU_UINT32> elsewhere{1};
    server.on_initialize = [&](const IPC_DA_DBServer::TInitialize& init) {
        // Another local address of this machine: not where we reach the server.
        elsewhere = try_back_port(0x7F000002u, init.clientPort);
    };
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    EXPECT_EQ(elsewhere.load(), static_cast<ORTU_UINT32>(WSAECONNREFUSED_CODE));
    EXPECT_EQ(status_outcome(), "ok ready");
}

TEST_F(Connect_Test, ProofIsNeverGivenToAConnectionFromAnotherAddress) {
    Test_Archive_Server server;
    std::atomic<bool> answered{false};
    std::atomic<bool> refused{false};
    server.on_initialize = [&](const IPC_DA_DBServer::TInitialize& init) {
        // Somebody on another address gets to the listener before the server.
        const InetAddress intruder_address{4, 0x7F000002u};
        TCP_Socket intruder(0, &intruder_address);
        intruder.open(InetEndpoint{InetAddress::loopback(), init.clientPort}, 2000);
        const vqlink_test::Bytes challenge = verify_request("0123456789abcdefghijklmnopqrstuv");
        try {
            intruder.send(challenge.data(), challenge.size(), 2000);
            unsigned char reply[64];
            intruder.recv(reply, sizeof reply, 3000);
            answered = true;
        } catch (const Socket_Error& e) {
            refused = e.code() != WSAETIMEDOUT_CODE;
        }
    };
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    EXPECT_FALSE(answered.load());
    EXPECT_TRUE(refused.load());
    // The server's own back connection came after it and was served.
    EXPECT_TRUE(server.observed().last_proof_valid);
    EXPECT_EQ(status_outcome(), "ok ready");
}

TEST_F(Connect_Test, BackListenerClosesOnceTheHandshakeIsOver) {
    Test_Archive_Server server;
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    const ORTU_UINT16 back_port = server.observed().last_initialize.clientPort;
    EXPECT_EQ(try_back_port(0x7F000001u, back_port),
              static_cast<ORTU_UINT32>(WSAECONNREFUSED_CODE));
    EXPECT_EQ(status_outcome(), "ok ready");
    Disconnect();

    // Refused: the listener goes with the handshake too.
    EXPECT_EQ(Connect("127.0.0.1", server.port(), "guess"), VQLINK_REFUSED_INVALID_PASSWORD);
    EXPECT_EQ(try_back_port(0x7F000001u, server.observed().last_initialize.clientPort),
              static_cast<ORTU_UINT32>(WSAECONNREFUSED_CODE));

    // A server that never connected back cannot do so later either, and a
    // connection without a back connection ends by itself.
    Test_Archive_Server::Settings settings;
    settings.skip_back_connection = true;
    Test_Archive_Server lazy(settings);
    ASSERT_EQ(Connect("127.0.0.1", lazy.port(), "secret"), VQLINK_CONNECTED);
    EXPECT_EQ(try_back_port(0x7F000001u, lazy.observed().last_initialize.clientPort),
              static_cast<ORTU_UINT32>(WSAECONNREFUSED_CODE));
    EXPECT_TRUE(eventually([] { return status_outcome() == "0 Not connected"; }));
}

// ---------------------------------------------------------------- records
// from the server that must not be acted on

namespace {

// A SelectResult call as the server frames it: id 7, no rows, no more,
// success. extra: bytes the fragment header claims beyond what is there.
vqlink_test::Bytes select_result_call(qrex_uint32_t extra) {
    using namespace vqlink_test;
    Bytes payload = words({1, REQUEST_WITH_HASH, IPC_DA_DBClient::CALL_SelectResult,
                           IPC_DA_DBClient::DBClient_HASH, 7, 0, 0, 0, 0, 0});
    return cat(
        {words({RM_LAST_FRAGMENT | static_cast<qrex_uint32_t>(payload.size() + extra)}), payload});
}

} // namespace

TEST_F(Connect_Test, ResultRecordCutShortIsNotDelivered) {
    std::atomic<int> delivered{0};
    Recorder::get().inside_callback = [&](const Event&) { ++delivered; };
    Test_Archive_Server server;
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    // Whole, it is delivered.
    ASSERT_TRUE(server.send_back_raw(select_result_call(0), false));
    ASSERT_TRUE(eventually([&] { return delivered.load() == 1; }));
    // Cut: everything the callback would see is there, but the record
    // promised eight bytes more when the server went away.
    ASSERT_TRUE(server.send_back_raw(select_result_call(8), true));
    EXPECT_TRUE(eventually([] { return status_outcome() == "0 Not connected"; }));
    EXPECT_EQ(delivered.load(), 1);
}

TEST_F(Connect_Test, ResultRecordIsDeliveredHoweverItsFragmentsAreCut) {
    std::atomic<int> delivered{0};
    Recorder::get().inside_callback = [&](const Event&) { ++delivered; };
    Test_Archive_Server server;
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    const auto call = select_result_call(0);
    int expected = 0;
    for (const std::vector<size_t>& cut : {std::vector<size_t>{40}, {0}, {16, 0, 24}, {8, 32, 0}}) {
        const vqlink_test::Bytes payload(call.begin() + 4, call.end());
        ASSERT_TRUE(server.send_back_raw(qrex_test::fragmented(payload, cut), false));
        ++expected;
        EXPECT_TRUE(eventually([&] { return delivered.load() == expected; }));
    }
    EXPECT_EQ(status_outcome(), "ok ready");
    Recorder::get().inside_callback = nullptr;
}

TEST_F(Connect_Test, OversizedResultRecordIsRefusedAndTheConnectionClosed) {
    using namespace vqlink_test;
    for (const bool one_fragment : {true, false}) {
        Test_Archive_Server server;
        ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
        // A string of almost 2 GB announced, then 40 MB of it sent, as one
        // huge fragment or as many small ones.
        Bytes call = words({1, REQUEST_WITH_HASH, IPC_DA_DBClient::CALL_SelectResult,
                            IPC_DA_DBClient::DBClient_HASH, 7, 1, 1, 0x7FFFFFF0u});
        const Bytes filler(4092, 'x');
        Bytes wire;
        if (one_fragment) {
            wire = cat({words({0x7FFFFFFFu}), call});
            for (int i = 0; i < 10000; ++i)
                wire.insert(wire.end(), filler.begin(), filler.end());
        } else {
            wire = qrex_test::fragment(call, false);
            const Bytes piece = qrex_test::fragment(filler, false);
            for (int i = 0; i < 10000; ++i)
                wire.insert(wire.end(), piece.begin(), piece.end());
        }
        std::atomic<int> delivered{0};
        Recorder::get().inside_callback = [&](const Event&) { ++delivered; };
        // The library closes its end long before all of it is sent.
        EXPECT_FALSE(server.send_back_raw(wire, true));
        EXPECT_TRUE(eventually([] { return status_outcome() == "0 Not connected"; }));
        EXPECT_EQ(delivered.load(), 0);
        Recorder::get().inside_callback = nullptr;
    }
}
