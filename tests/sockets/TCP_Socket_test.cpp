#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "ORTU_Thread_Win32.h"
#include "TCP_Socket.h"
#include "qrex_test_support.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

using namespace qrex_test;

namespace {

typedef Level_Scope<ORTU_DEBUG_GROUP_CLASS(wsock)> Wsock_Level;

// A listener on a free loopback port and a client connected to it.
struct Pair {
    TCP_Socket listener{0, nullptr};
    std::unique_ptr<TCP_Socket> client;
    std::unique_ptr<TCP_Socket> server;

    Pair() {
        listener.listen();
        client = std::make_unique<TCP_Socket>();
        client->open(endpoint(), 2000);
        server = listener.accept(2000);
    }
    InetEndpoint endpoint() const {
        return InetEndpoint{InetAddress::loopback(), listener.local_endpoint().port};
    }
};

// A port where nothing listens: bound once, then released.
ORTU_UINT16 free_port() {
    TCP_Socket probe(0, nullptr);
    return probe.local_endpoint().port;
}

template <typename F> Socket_Error caught(F f) {
    try {
        f();
    } catch (const Socket_Error& e) {
        return e;
    }
    ADD_FAILURE() << "no Socket_Error";
    return Socket_Error(0u, "none");
}

long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

class Function_Thread : public ORTU_Thread {
public:
    explicit Function_Thread(std::function<void()> body) : ORTU_Thread("test"), body_(body) {}
    ~Function_Thread() override { stop_and_wait(); }

protected:
    void execute() override { body_(); }

private:
    std::function<void()> body_;
};

// The option a socket bound to a given port carries: on Windows the
// exclusive use, since reuse there would let a second socket take the port.
#if defined(_WIN32)
constexpr int REUSE_OPTION = SO_EXCLUSIVEADDRUSE;
#else
constexpr int REUSE_OPTION = SO_REUSEADDR;
#endif

int socket_option(TCP_Socket::Handle fd, int level, int name) {
    int value = 0;
    socklen_t len = sizeof value;
    EXPECT_EQ(::getsockopt(fd, level, name, reinterpret_cast<char*>(&value), &len), 0);
    return value;
}

} // namespace

// ---------------------------------------------------------------- errors

TEST(Socket_Error_Texts, MessageCarriesCodeAndName) {
    const Socket_Error e(10061u, "TCP, %s failed", "open");
    EXPECT_STREQ(e.what(), "TCP, open failed, error 10061 (WSAECONNREFUSED)");
    EXPECT_EQ(e.code(), 10061u);
}

TEST(Socket_Error_Texts, NamesOfTheWinsockCodes) {
    EXPECT_STREQ(winsock_error_name(10004), "WSAEINTR");
    EXPECT_STREQ(winsock_error_name(10035), "WSAEWOULDBLOCK");
    EXPECT_STREQ(winsock_error_name(10057), "WSAENOTCONN");
    EXPECT_STREQ(winsock_error_name(10060), "WSAETIMEDOUT");
    EXPECT_STREQ(winsock_error_name(10071), "WSAEREMOTE");
    EXPECT_STREQ(winsock_error_name(10093), "WSANOTINITIALISED");
    EXPECT_STREQ(winsock_error_name(10101), "WSAEDISCON");
    EXPECT_STREQ(winsock_error_name(10111), "WSA_E_CANCELLED");
    EXPECT_STREQ(winsock_error_name(10112), "WSAEREFUSED");
    EXPECT_STREQ(winsock_error_name(10072), "UNKNOWN");
    EXPECT_STREQ(winsock_error_name(10113), "UNKNOWN");
    EXPECT_STREQ(winsock_error_name(0), "UNKNOWN");
}

// On Windows the system's socket errors are the Winsock codes themselves.
#if !defined(_WIN32)
TEST(Socket_Error_Texts, PosixErrorsMapToWinsockCodes) {
    EXPECT_EQ(winsock_error_from_errno(ECONNREFUSED), 10061u);
    EXPECT_EQ(winsock_error_from_errno(ENOTCONN), 10057u);
    EXPECT_EQ(winsock_error_from_errno(ETIMEDOUT), 10060u);
    EXPECT_EQ(winsock_error_from_errno(ECONNRESET), 10054u);
    EXPECT_EQ(winsock_error_from_errno(EPIPE), 10054u);
    EXPECT_EQ(winsock_error_from_errno(EADDRINUSE), 10048u);
    EXPECT_EQ(winsock_error_from_errno(EAGAIN), 10035u);
    errno = EINVAL;
    EXPECT_EQ(Socket_Error("x").code(), 10022u);
}
#endif

// ---------------------------------------------------------------- set-up

TEST(TCP_Socket_Create, PortZeroBindsAnEphemeralPort) {
    TCP_Socket s(0, nullptr);
    EXPECT_NE(s.local_endpoint().port, 0);
    EXPECT_EQ(s.local_endpoint().addr.version, 4);
    EXPECT_EQ(socket_option(s.handle(), SOL_SOCKET, REUSE_OPTION), 0);
}

TEST(TCP_Socket_Create, GivenPortAndAddressReuseTheAddress) {
    const ORTU_UINT16 port = free_port();
    const InetAddress loopback = InetAddress::loopback();
    TCP_Socket s(port, &loopback);
    EXPECT_EQ(s.local_endpoint().port, port);
    EXPECT_EQ(s.local_endpoint().addr.addr, 0x7F000001u);
    EXPECT_NE(socket_option(s.handle(), SOL_SOCKET, REUSE_OPTION), 0);
}

TEST(TCP_Socket_Create, PortInUseIsABindFailure) {
    TCP_Socket first(0, nullptr);
    first.listen();
    const InetAddress any = InetAddress::any();
    const Socket_Error e = caught([&] { TCP_Socket second(first.local_endpoint().port, &any); });
    EXPECT_EQ(e.code(), 10048u);
    EXPECT_STREQ(e.what(), "TCP, bind failed, error 10048 (WSAEADDRINUSE)");
}

TEST(TCP_Socket_Create, CreationIsLoggedAtLevelTwo) {
    Log_Capture capture;
    Wsock_Level level(2);
    TCP_Socket s(0, nullptr);
    char line[64];
    std::snprintf(line, sizeof line, "TCP.0x%x, created\n", static_cast<unsigned>(s.handle()));
    EXPECT_TRUE(Log_Capture::contains(line)) << Log_Capture::text();
    EXPECT_TRUE(Log_Capture::contains(", local info: ip = 0.0.0.0, port = "))
        << Log_Capture::text();
}

// ---------------------------------------------------------------- connect

TEST(TCP_Socket_Open, ConnectsAndFillsBothEndpoints) {
    Pair p;
    EXPECT_EQ(p.client->peer_endpoint().port, p.listener.local_endpoint().port);
    EXPECT_EQ(p.client->peer_endpoint().addr.addr, 0x7F000001u);
    EXPECT_EQ(p.server->peer_endpoint().port, p.client->local_endpoint().port);
    EXPECT_EQ(p.server->local_endpoint().port, p.listener.local_endpoint().port);
    // Nagle off on both ends of every connection.
    EXPECT_NE(socket_option(p.client->handle(), IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_NE(socket_option(p.server->handle(), IPPROTO_TCP, TCP_NODELAY), 0);
}

TEST(TCP_Socket_Open, NobodyListeningIsRefused) {
    TCP_Socket s;
    const InetEndpoint nowhere{InetAddress::loopback(), free_port()};
    Log_Capture capture;
    const Socket_Error e = caught([&] { s.open(nowhere, 2000); });
    EXPECT_EQ(e.code(), 10061u);
    EXPECT_STREQ(e.what(), "TCP, open failed, error 10061 (WSAECONNREFUSED)");
    EXPECT_TRUE(Log_Capture::contains(", open failed, error 10061 (WSAECONNREFUSED)\n"));
}

// ---------------------------------------------------------------- accept

TEST(TCP_Socket_Accept, CancelEventEndsTheWaitAndClosesTheListener) {
    TCP_Socket listener(0, nullptr);
    listener.listen();
    ORTU_Event cancel(true);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        cancel.set();
    });
    Log_Capture capture;
    const Socket_Error e = caught([&] { listener.accept(ORTU_INFINITE, &cancel); });
    canceller.join();
    EXPECT_EQ(e.code(), 10111u);
    EXPECT_STREQ(e.what(), "TCP, accept canceled, error 10111 (WSA_E_CANCELLED)");
    EXPECT_FALSE(listener.is_open());
    EXPECT_TRUE(Log_Capture::contains(", accept canceled\n"));
}

TEST(TCP_Socket_Accept, TimesOut) {
    TCP_Socket listener(0, nullptr);
    listener.listen();
    const auto start = std::chrono::steady_clock::now();
    const Socket_Error e = caught([&] { listener.accept(100); });
    EXPECT_GE(elapsed_ms(start), 95);
    EXPECT_EQ(e.code(), 10060u);
    EXPECT_STREQ(e.what(), "TCP, accept timed out, error 10060 (WSAETIMEDOUT)");
    EXPECT_FALSE(listener.is_open());
}

TEST(TCP_Socket_Accept, IntoCallerStorage) {
    TCP_Socket listener(0, nullptr);
    listener.listen();
    TCP_Socket client;
    client.open(InetEndpoint{InetAddress::loopback(), listener.local_endpoint().port}, 2000);
    alignas(TCP_Socket) unsigned char storage[sizeof(TCP_Socket)];
    TCP_Socket* accepted = listener.accept(2000, storage, sizeof storage);
    EXPECT_EQ(static_cast<void*>(accepted), static_cast<void*>(storage));
    EXPECT_EQ(accepted->peer_endpoint().port, client.local_endpoint().port);
    accepted->~TCP_Socket();
}

// ---------------------------------------------------------------- transfer

TEST(TCP_Socket_Transfer, RecvExactGathersPieces) {
    Pair p;
    std::thread sender([&] {
        p.client->send("abc", 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        p.client->send("defghij", 7);
    });
    char buffer[11] = {};
    p.server->recv_exact(buffer, 10, 2000);
    sender.join();
    EXPECT_STREQ(buffer, "abcdefghij");
}

TEST(TCP_Socket_Transfer, RecvReturnsWhatHasArrived) {
    Pair p;
    p.client->send("xy", 2);
    char buffer[100];
    const size_t n = p.server->recv(buffer, sizeof buffer, 2000);
    EXPECT_GE(n, 1u);
    EXPECT_LE(n, 2u);
}

TEST(TCP_Socket_Transfer, LargeSendsCompleteWhileThePeerReads) {
    Pair p;
    std::vector<unsigned char> data(8 * 1024 * 1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 31);
    std::vector<unsigned char> back(data.size());
    std::thread reader([&] { p.server->recv_exact(back.data(), back.size(), 10000); });
    p.client->send(data.data(), data.size(), 10000);
    reader.join();
    EXPECT_EQ(back, data);
}

TEST(TCP_Socket_Transfer, SendAndRecvRunAtOnceOnOneSocket) {
    Pair p;
    // The server echoes; the client sends on one thread and receives on another.
    std::thread echo([&] {
        char b[4096];
        size_t total = 0;
        while (total < 1000000) {
            const size_t n = p.server->recv(b, sizeof b, 10000);
            p.server->send(b, n, 10000);
            total += n;
        }
    });
    std::vector<unsigned char> out(1000000, 7), in(out.size());
    std::thread receiver([&] { p.client->recv_exact(in.data(), in.size(), 10000); });
    p.client->send(out.data(), out.size(), 10000);
    receiver.join();
    echo.join();
    EXPECT_EQ(in, out);
}

TEST(TCP_Socket_Transfer, PeerClosedIsNotConnected) {
    Pair p;
    p.client->close();
    Log_Capture capture;
    char b[4];
    const Socket_Error e = caught([&] { p.server->recv(b, sizeof b, 2000); });
    EXPECT_EQ(e.code(), 10057u);
    EXPECT_STREQ(e.what(), "TCP, recv, connection has been closed, error 10057 (WSAENOTCONN)");
    EXPECT_TRUE(Log_Capture::contains(", recv, connection has been closed\n"));
}

TEST(TCP_Socket_Transfer, PeerClosingMidMessageEndsRecvExact) {
    Pair p;
    p.client->send("12345", 5);
    p.client->close();
    char b[10];
    const Socket_Error e = caught([&] { p.server->recv_exact(b, sizeof b, 2000); });
    EXPECT_EQ(e.code(), 10057u);
}

TEST(TCP_Socket_Transfer, RecvTimesOutAndClosesTheSocket) {
    Pair p;
    Log_Capture capture;
    char b[4];
    const auto start = std::chrono::steady_clock::now();
    const Socket_Error e = caught([&] { p.server->recv(b, sizeof b, 100); });
    const long ms = elapsed_ms(start);
    EXPECT_GE(ms, 95);
    EXPECT_LT(ms, 5000);
    EXPECT_EQ(e.code(), 10060u);
    EXPECT_STREQ(e.what(), "TCP, recv timed out, error 10060 (WSAETIMEDOUT)");
    EXPECT_FALSE(p.server->is_open());
    EXPECT_TRUE(Log_Capture::contains(", recv timed out\n"));
}

TEST(TCP_Socket_Transfer, SendTimesOutWhenThePeerStopsReading) {
    Pair p;
    std::vector<unsigned char> data(64 * 1024 * 1024);
    const Socket_Error e = caught([&] { p.client->send(data.data(), data.size(), 200); });
    EXPECT_EQ(e.code(), 10060u);
    EXPECT_STREQ(e.what(), "TCP, send timed out, error 10060 (WSAETIMEDOUT)");
    EXPECT_FALSE(p.client->is_open());
}

TEST(TCP_Socket_Transfer, CancelEventEndsRecv) {
    Pair p;
    ORTU_Event cancel(true);
    cancel.set();
    char b[4];
    const Socket_Error e = caught([&] { p.server->recv(b, sizeof b, ORTU_INFINITE, &cancel); });
    EXPECT_EQ(e.code(), 10111u);
    EXPECT_STREQ(e.what(), "TCP, recv canceled, error 10111 (WSA_E_CANCELLED)");
    EXPECT_FALSE(p.server->is_open());
}

TEST(TCP_Socket_Transfer, DataWinsOverASignalledCancelEvent) {
    Pair p;
    p.client->send("z", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ORTU_Event cancel(true);
    cancel.set();
    char b[4];
    // Data already there is taken without waiting.
    EXPECT_EQ(p.server->recv(b, sizeof b, ORTU_INFINITE, &cancel), 1u);
}

TEST(TCP_Socket_Transfer, StoppingTheCallingThreadCancelsItsWait) {
    Pair p;
    std::atomic<ORTU_UINT32> code{0};
    auto thread = std::make_unique<Function_Thread>([&] {
        char b[4];
        try {
            p.server->recv(b, sizeof b); // no cancel event given: the thread's own stop event
        } catch (const Socket_Error& e) {
            code = e.code();
        }
    });
    thread->start();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    thread->stop_and_wait();
    EXPECT_EQ(code.load(), 10111u);
}

TEST(TCP_Socket_Transfer, OperationOnAClosedSocketIsRefused) {
    Pair p;
    p.server->close();
    p.server->close(); // twice does nothing
    Assertion_Counter assertions;
    char b[4];
    const Socket_Error e = caught([&] { p.server->recv(b, sizeof b, 100); });
    EXPECT_EQ(e.code(), 10038u);
    EXPECT_EQ(Assertion_Counter::count(), 1);
}

// ---------------------------------------------------------------- defaults

TEST(TCP_Socket_Defaults, DefaultTimeoutIsPerThread) {
    EXPECT_EQ(TCP_Socket::default_timeout(), ORTU_INFINITE);
    TCP_Socket::set_default_timeout(80);
    ORTU_UINT32 other = 0;
    std::thread t([&] { other = TCP_Socket::default_timeout(); });
    t.join();
    EXPECT_EQ(other, ORTU_INFINITE);
    Pair p;
    char b[4];
    const auto start = std::chrono::steady_clock::now();
    const Socket_Error e = caught([&] { p.server->recv(b, sizeof b); });
    EXPECT_GE(elapsed_ms(start), 75);
    EXPECT_EQ(e.code(), 10060u);
    TCP_Socket::set_default_timeout(ORTU_INFINITE);
}

TEST(TCP_Socket_Logging, TransferLinesAtLevelFour) {
    Pair p;
    Log_Capture capture;
    {
        Wsock_Level level(3);
        p.client->send("a", 1);
    }
    EXPECT_FALSE(Log_Capture::contains(", send(0x"));
    {
        Wsock_Level level(4);
        p.client->send("b", 1);
        char buffer[2];
        p.server->recv_exact(buffer, 2, 2000);
    }
    EXPECT_TRUE(Log_Capture::contains(", send(0x")) << Log_Capture::text();
    EXPECT_TRUE(Log_Capture::contains(", 1, 4294967295, 0x0)\n")) << Log_Capture::text();
    EXPECT_TRUE(Log_Capture::contains(", recv_exact(0x")) << Log_Capture::text();
    EXPECT_TRUE(Log_Capture::contains(" bytes\n")) << Log_Capture::text();
}

namespace {

// A listener whose accept queue is full, so that further connection
// attempts hang in the handshake.
class Full_Listener {
public:
    Full_Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        EXPECT_EQ(::listen(fd_, 0), 0);
        // Fill the queue: these stay connected and are never accepted.
        for (int i = 0; i < 4; ++i) {
            auto s = std::make_unique<TCP_Socket>();
            try {
                s->open(endpoint(), 100);
                fillers_.push_back(std::move(s));
            } catch (const Socket_Error&) {
                break;
            }
        }
    }
#if defined(_WIN32)
    ~Full_Listener() {
        ::closesocket(fd_);
    }
#else
    ~Full_Listener() {
        ::close(fd_);
    }
#endif
    InetEndpoint endpoint() const {
        return InetEndpoint{InetAddress::loopback(), port_};
    }

private:
    TCP_Socket::Handle fd_;
    ORTU_UINT16 port_;
    std::vector<std::unique_ptr<TCP_Socket>> fillers_;
};

} // namespace

TEST(TCP_Socket_Open, HangingHandshakeTimesOut) {
    Full_Listener full;
    TCP_Socket s;
    Log_Capture capture;
    const auto start = std::chrono::steady_clock::now();
    const Socket_Error e = caught([&] { s.open(full.endpoint(), 150); });
    EXPECT_GE(elapsed_ms(start), 140);
    EXPECT_EQ(e.code(), 10060u);
    EXPECT_STREQ(e.what(), "TCP, open timed out, error 10060 (WSAETIMEDOUT)");
    EXPECT_FALSE(s.is_open());
    EXPECT_TRUE(Log_Capture::contains(", open timed out\n"));
}

TEST(TCP_Socket_Open, HangingHandshakeIsCanceled) {
    Full_Listener full;
    TCP_Socket s;
    ORTU_Event cancel(true);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        cancel.set();
    });
    const Socket_Error e = caught([&] { s.open(full.endpoint(), ORTU_INFINITE, &cancel); });
    canceller.join();
    EXPECT_EQ(e.code(), 10111u);
    EXPECT_STREQ(e.what(), "TCP, open canceled, error 10111 (WSA_E_CANCELLED)");
    EXPECT_FALSE(s.is_open());
}

TEST(TCP_Socket_Logging, ConnectionLifeLines) {
    Log_Capture capture;
    unsigned client_handle = 0, listener_handle = 0;
    ORTU_UINT16 port = 0;
    {
        Wsock_Level level(3);
        TCP_Socket listener(0, nullptr);
        listener_handle = static_cast<unsigned>(listener.handle());
        port = listener.local_endpoint().port;
        listener.listen();
        TCP_Socket client;
        client_handle = static_cast<unsigned>(client.handle());
        client.open(InetEndpoint{InetAddress::loopback(), port}, 2000);
        std::unique_ptr<TCP_Socket> accepted = listener.accept(2000);
    }
    char line[128];
    std::snprintf(line, sizeof line, "TCP.0x%x, open(127.0.0.1:%d, 2000, 0x0)\n", client_handle,
                  port);
    EXPECT_TRUE(Log_Capture::contains(line)) << Log_Capture::text();
    std::snprintf(line, sizeof line, "TCP.0x%x, peer info: ip = 127.0.0.1, port = %d\n",
                  client_handle, port);
    EXPECT_TRUE(Log_Capture::contains(line)) << Log_Capture::text();
    std::snprintf(line, sizeof line, "TCP.0x%x, listen()\n", listener_handle);
    EXPECT_TRUE(Log_Capture::contains(line));
    std::snprintf(line, sizeof line, "TCP.0x%x, accept(2000, 0x0, 0, 0x0)\n", listener_handle);
    EXPECT_TRUE(Log_Capture::contains(line)) << Log_Capture::text();
    EXPECT_TRUE(Log_Capture::contains(", created (2)\n"));
    std::snprintf(line, sizeof line, "TCP.0x%x, closed\n", client_handle);
    EXPECT_TRUE(Log_Capture::contains(line));
    std::snprintf(line, sizeof line, "TCP.0x%x, destroyed\n", client_handle);
    EXPECT_TRUE(Log_Capture::contains(line));
}

TEST(TCP_Socket_Logging, ListenAndAcceptLinesAreLevelThree) {
    Log_Capture capture;
    {
        Wsock_Level level(2);
        TCP_Socket listener(0, nullptr);
        listener.listen();
    }
    EXPECT_FALSE(Log_Capture::contains(", listen()\n"));
    EXPECT_TRUE(Log_Capture::contains(", created\n"));
}
