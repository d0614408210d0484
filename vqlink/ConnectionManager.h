// The library's one connection to one archive server. A connection is two
// TCP connections and a thread: requests go out on the client channel
// (DBServer); the server connects back to a listener of the connection and
// calls DBClient there, served by the connection's own thread.
#pragma once

#include "ORTU_Debug.h"
#include "ORTU_Exception.h"
#include "ORTU_Object_Manager.h"
#include "ORTU_String.h"
#include "ORTU_Sync.h"
#include "ORTU_Thread_Win32.h"

#include "IPC_DA_DBServer.h"
#include "QREX_Client.h"
#include "QREX_Server.h"
#include "QREX_Stream.h"
#include "TCP_Socket.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

ORTU_DECLARE_DEBUG_GROUP(lxtcp);

// A failed step of the handshake, with its Connect code (4 to 8).
class ConnectionException : public ORTU_Exception {
public:
    ConnectionException(int code, const char* format, ...);
    int code() const { return code_; }

private:
    int code_;
};

// The client side's socket adapter. Reads and writes exclude each other.
// Once one operation has failed, every later one fails at once: a channel
// whose socket broke stays unusable until it is replaced. Every wait is cut
// short by the cancel event, and inside a call it ends by the call's
// deadline.
class QREX_TCP_Socket_Adapter : public QREX_Socket_Adapter {
public:
    // Neither is owned.
    explicit QREX_TCP_Socket_Adapter(TCP_Socket* socket,
                                     ORTU_UINT32 timeout = TCP_Socket::TCP_DEFAULT_TIMEOUT,
                                     const ORTU_Event* cancel = nullptr)
        : socket_(socket), timeout_(timeout), cancel_(cancel), valid_(true) {}

    size_t read(void* buffer, size_t n) override;
    void read_exact(void* buffer, size_t n) override;
    void write(const void* buffer, size_t n) override;
    // Closes the socket; nothing more goes over it.
    void abandon() override;

    // Operations until end_call() finish within limit milliseconds of now,
    // all together.
    void begin_call(ORTU_UINT32 limit);
    void end_call();

    bool valid() const { return valid_.load(); }
    // The operation that failed ran out of time.
    bool timed_out() const { return timed_out_.load(); }

private:
    ORTU_UINT32 operation_timeout() const;
    [[noreturn]] void fail(const char* where, ORTU_UINT32 code);

    ORTU_Mutex lock_;
    TCP_Socket* socket_;
    ORTU_UINT32 timeout_;
    const ORTU_Event* cancel_;
    std::atomic<bool> valid_;
    std::atomic<bool> timed_out_{false};
    bool in_call_ = false;
    ORTU_UINT32 call_start_ = 0;
    ORTU_UINT32 call_limit_ = 0;
};

// The back connection's socket adapter: every wait is cut short by the
// connection's stop event. Used by the serving thread alone, so no lock.
class BackSocketAdapter : public QREX_Socket_Adapter {
public:
    // Neither is owned.
    BackSocketAdapter(TCP_Socket* socket, const ORTU_Event* cancel)
        : socket_(socket), cancel_(cancel) {}

    size_t read(void* buffer, size_t n) override;
    void read_exact(void* buffer, size_t n) override;
    void write(const void* buffer, size_t n) override;

private:
    TCP_Socket* socket_;
    const ORTU_Event* cancel_;
};

// The connection to the server: a socket, its adapter, the RPC client over it.
class ClientChannel : public QREX_Client_Connection {
public:
    // cancel ends every wait of the channel at once (not owned); each call
    // gets call_timeout milliseconds for all of its request and its reply.
    ClientChannel(const ORTU_Event* cancel, ORTU_UINT32 call_timeout);
    // Destroys the client connection, the adapter and the socket, in that order.
    ~ClientChannel() override;

    // Connects within limit milliseconds.
    void open(const InetEndpoint& server, ORTU_UINT32 limit);
    void call(qrex_uint32_t call_id, qrex_uint32_t hash, void* result, XDR_function result_function,
              void* arguments, XDR_function argument_function, qrex_uint32_t flags) override;
    // Calls end within limit milliseconds of start at the latest, whatever
    // their own bound (the handshake as a whole has one bound), until
    // unlimit_calls().
    void limit_calls_until(ORTU_UINT32 start, ORTU_UINT32 limit);
    void unlimit_calls();

    TCP_Socket& socket() { return *socket_; }
    bool timed_out() const { return adapter_.timed_out(); }

private:
    ORTU_UINT32 call_limit() const;

    const ORTU_Event* cancel_;
    std::unique_ptr<TCP_Socket> socket_;
    QREX_TCP_Socket_Adapter adapter_;
    std::unique_ptr<QREX_TCP_Client_Connection> connection_;
    ORTU_Mutex call_lock_;
    ORTU_UINT32 call_timeout_;
    bool bounded_ = false;
    ORTU_UINT32 bound_start_ = 0;
    ORTU_UINT32 bound_limit_ = 0;
};

// What a request and the handshake use: the channel and the proxy over it.
// Shared between the connection and every request under way, Connect's
// Initialize among them, so that the back connection ending meanwhile only
// drops the connection's share and never frees what a caller is using.
struct Server_Link {
    Server_Link() : cancel(true) {}

    // Set once: every wait of the channel ends at once, now and later.
    ORTU_Event cancel;
    std::unique_ptr<ClientChannel> channel;
    std::unique_ptr<IPC_DA_DBServer::DBServerProxy> proxy; // destroyed first

    // Initialize on the server, naming the back connection's port; a
    // refusal raises ConnectionException 7 or 8 with the server's text.
    // Other failures of the call pass through.
    void initialize(ORTU_UINT16 back_port);
    // Ends every call under way and every later one with a communication
    // error.
    void end_calls() { cancel.set(); }
};

class ConnectionManager;

// Ends on its own thread and deletes itself there; nobody joins it. Until
// then its destructor cannot finish without the manager's lock, which is
// what lets the manager touch the current connection under that lock.
//
// The back connection's listener listens only on the address through which
// the server is reached, takes one connection, and only from the server's
// address; it is closed as soon as that connection is up or the handshake
// is over, so nobody else can ask for a password proof.
class ServerConnection : public ORTU_Thread {
public:
    explicit ServerConnection(ConnectionManager* manager);
    ~ServerConnection() override;

    // Channel (ConnectionException 4), proxy (5), listener (6), all within
    // limit milliseconds. The manager starts the serving thread once the
    // connection is current.
    void open(std::shared_ptr<Server_Link> link, ORTU_UINT32 address, ORTU_UINT16 port,
              ORTU_UINT32 limit);

    const std::shared_ptr<Server_Link>& link() const { return link_; }
    ORTU_UINT16 listener_port() const { return listener_port_; }
    // The handshake is over: a back connection not taken by now never will.
    // Returns once the listener is closed.
    void handshake_over();

protected:
    void execute() override;
    void on_stop() override {
        stop_event_.set();
        accept_end_.set();
    }

private:
    std::unique_ptr<TCP_Socket> accept_back_connection();
    void serve(TCP_Socket* accepted);

    ConnectionManager* manager_;
    std::shared_ptr<Server_Link> link_;
    std::unique_ptr<TCP_Socket> listener_;
    ORTU_UINT16 listener_port_ = 0;
    ORTU_UINT32 server_address_ = 0;
    ORTU_Event stop_event_;
    ORTU_Event accept_end_;
    ORTU_Event listener_closed_;
};

// The serving loop of a back connection: while wait_readable() says a
// request is there, dispatch it. Whatever the dispatcher raises ends the
// loop and passes to the caller.
template <class Wait>
void serve_back_connection(QREX_Server_Dispatcher& dispatcher, QREX_TCP_Stream& stream,
                           Wait&& wait_readable) {
    while (wait_readable())
        dispatcher.dispatch(&stream);
}

class ConnectionManager {
public:
    ConnectionManager();
    // Waits until no connection is left alive.
    ~ConnectionManager();
    ConnectionManager(const ConnectionManager&) = delete;
    ConnectionManager& operator=(const ConnectionManager&) = delete;

    static ConnectionManager* instance() { return ORTU_Singleton<ConnectionManager>::instance(); }

    // A Connect code: 0 connected, 1 already connected, 2 to 8, -1.
    int connect(const char* host, ORTU_UINT16 port, const char* password);
    // Stops the current connection and ends every call on it, and a
    // handshake under way, at once.
    void disconnect();

    // The current connection's proxy, held for as long as the caller keeps
    // it; null without a connection.
    std::shared_ptr<IPC_DA_DBServer::DBServer> current_proxy();

    // The answer to a password challenge: the digest of the stored password
    // followed by the token.
    void password_proof(const char* token, char digest[41]);

    // Waits until every connection has ended and deleted itself.
    void wait_for_connections();
    ORTU_INT32 live_connections() const { return live_.load(); }

    // The listening port chosen for a new back connection: the debug
    // configuration's "port" section when it is enabled, else 0.
    static ORTU_UINT16 back_connection_port();
    // The bound, in milliseconds, of each call and of the handshake: the
    // debug configuration's "call_timeout" section (its max_level) when it
    // is enabled, else DEFAULT_CALL_TIMEOUT.
    static ORTU_UINT32 call_timeout();
    static constexpr ORTU_UINT32 DEFAULT_CALL_TIMEOUT = 30000;

    // For ServerConnection's constructor and destructor: counted up when
    // built; no longer current; counted down once its sockets are closed.
    void connection_created() { live_.fetch_add(1); }
    void forget_connection(ServerConnection* connection);
    void connection_ended();

private:
    ServerConnection* current_;
    std::shared_ptr<Server_Link> current_link_;
    // The link of a Connect still opening its channel: Disconnect ends it.
    std::shared_ptr<Server_Link> connecting_link_;
    ORTU_String password_;
    bool winsock_started_;
    ORTU_Mutex lock_;
    std::atomic<ORTU_INT32> live_;
    // Signalled by the last connection to end; a condition of the standard
    // library, since the runtime's objects may be on their way down.
    std::mutex ended_lock_;
    std::condition_variable ended_;
};
