#define VQLINK_BUILDING 1
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#endif

#include "ConnectionManager.h"

#include "DBClient_impl.h"
#include "IPC_DA_Stub.h"
#include "ORTU_Debug_Manager.h"
#include "QREX_Errors.h"
#include "QREX_Server.h"
#include "QREX_TCP_Stream.h"

#include <cstring>

ORTU_DEFINE_DEBUG_GROUP(lxtcp);

namespace {

// Releases a held lock for a scope and takes it again on every way out.
class Unlock {
public:
    explicit Unlock(ORTU_Mutex& mutex) : mutex_(mutex) { mutex_.release(); }
    ~Unlock() { mutex_.acquire(); }
    Unlock(const Unlock&) = delete;
    Unlock& operator=(const Unlock&) = delete;

private:
    ORTU_Mutex& mutex_;
};

// A dotted address first, then the resolver's first IPv4 address; in host
// byte order. The broadcast address equals the invalid one and so counts as
// not found.
bool resolve_host(const char* host, ORTU_UINT32& address) {
    if (!host || !*host)
        return false;
    auto a = inet_addr(host);
    if (a == INADDR_NONE) {
        addrinfo hints;
        std::memset(&hints, 0, sizeof(hints));
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found)
            return false;
        // A lambda: the system's freeaddrinfo has its own calling convention.
        auto release = [](addrinfo* list) { freeaddrinfo(list); };
        std::unique_ptr<addrinfo, decltype(release)> owned(found, release);
        for (addrinfo* p = found; p; p = p->ai_next) {
            if (p->ai_family == AF_INET && p->ai_addr) {
                a = reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
                break;
            }
        }
    }
    if (a == INADDR_NONE)
        return false;
    address = ntohl(a);
    return true;
}

} // namespace

ConnectionException::ConnectionException(int code, const char* format, ...) : code_(code) {
    va_list args;
    va_start(args, format);
    vset_message(format, args);
    va_end(args);
}

// ---- socket adapters ----

ORTU_UINT32 QREX_TCP_Socket_Adapter::operation_timeout() const {
    if (!in_call_)
        return timeout_;
    const ORTU_UINT32 spent = ORTU_OS::tick_count() - call_start_;
    return spent >= call_limit_ ? 0 : call_limit_ - spent;
}

void QREX_TCP_Socket_Adapter::fail(const char* where, ORTU_UINT32 code) {
    valid_ = false;
    if (code == WSAETIMEDOUT_CODE)
        timed_out_ = true;
    throw_comm_error(where, static_cast<int>(code));
}

void QREX_TCP_Socket_Adapter::begin_call(ORTU_UINT32 limit) {
    ORTU_Mutex_Holder hold(lock_);
    in_call_ = true;
    call_start_ = ORTU_OS::tick_count();
    call_limit_ = limit;
}

void QREX_TCP_Socket_Adapter::end_call() {
    ORTU_Mutex_Holder hold(lock_);
    in_call_ = false;
}

size_t QREX_TCP_Socket_Adapter::read(void* buffer, size_t n) {
    ORTU_Mutex_Holder hold(lock_);
    if (!valid_ || (cancel_ && cancel_->is_signalled()))
        throw_comm_error("QREX_TCP_Socket_Adapter::read, not valid", WSAENOTCONN_CODE);
    try {
        return socket_->recv(buffer, n, operation_timeout(), cancel_);
    } catch (const Socket_Error& e) {
        fail("QREX_TCP_Socket_Adapter::read", e.code());
    }
}

void QREX_TCP_Socket_Adapter::read_exact(void* buffer, size_t n) {
    ORTU_Mutex_Holder hold(lock_);
    if (!valid_ || (cancel_ && cancel_->is_signalled()))
        throw_comm_error("QREX_TCP_Socket_Adapter::read_exact, not valid", WSAENOTCONN_CODE);
    try {
        // One bound for the whole read, not one per piece that arrives.
        char* p = static_cast<char*>(buffer);
        while (n) {
            const size_t k = socket_->recv(p, n, operation_timeout(), cancel_);
            p += k;
            n -= k;
        }
    } catch (const Socket_Error& e) {
        fail("QREX_TCP_Socket_Adapter::read_exact", e.code());
    }
}

void QREX_TCP_Socket_Adapter::write(const void* buffer, size_t n) {
    ORTU_Mutex_Holder hold(lock_);
    if (!valid_ || (cancel_ && cancel_->is_signalled()))
        throw_comm_error("QREX_TCP_Socket_Adapter::write, not valid", WSAENOTCONN_CODE);
    try {
        socket_->send(buffer, n, operation_timeout(), cancel_);
    } catch (const Socket_Error& e) {
        fail("QREX_TCP_Socket_Adapter::write", e.code());
    }
}

void QREX_TCP_Socket_Adapter::abandon() {
    ORTU_Mutex_Holder hold(lock_);
    valid_ = false;
    // The server sees the connection end instead of waiting on it.
    socket_->close();
}

size_t BackSocketAdapter::read(void* buffer, size_t n) {
    try {
        return socket_->recv(buffer, n, TCP_Socket::TCP_DEFAULT_TIMEOUT, cancel_);
    } catch (const Socket_Error& e) {
        throw_comm_error("QREX_TCP_Socket_Adapter::read", static_cast<int>(e.code()));
    }
}

void BackSocketAdapter::read_exact(void* buffer, size_t n) {
    try {
        socket_->recv_exact(buffer, n, TCP_Socket::TCP_DEFAULT_TIMEOUT, cancel_);
    } catch (const Socket_Error& e) {
        throw_comm_error("QREX_TCP_Socket_Adapter::read_exact", static_cast<int>(e.code()));
    }
}

void BackSocketAdapter::write(const void* buffer, size_t n) {
    try {
        socket_->send(buffer, n, TCP_Socket::TCP_DEFAULT_TIMEOUT, cancel_);
    } catch (const Socket_Error& e) {
        throw_comm_error("QREX_TCP_Socket_Adapter::write", static_cast<int>(e.code()));
    }
}

// ---- client channel ----

ClientChannel::ClientChannel(const ORTU_Event* cancel, ORTU_UINT32 call_timeout)
    : cancel_(cancel), socket_(std::make_unique<TCP_Socket>(0, nullptr)),
      adapter_(socket_.get(), TCP_Socket::TCP_DEFAULT_TIMEOUT, cancel),
      connection_(std::make_unique<QREX_TCP_Client_Connection>(&adapter_)),
      call_timeout_(call_timeout) {}

ClientChannel::~ClientChannel() {
    connection_.reset();
    // The adapter goes with the members, after the connection and before
    // the socket it refers to.
}

void ClientChannel::open(const InetEndpoint& server, ORTU_UINT32 limit) {
    socket_->open(server, limit, cancel_);
}

void ClientChannel::limit_calls_until(ORTU_UINT32 start, ORTU_UINT32 limit) {
    ORTU_Mutex_Holder hold(call_lock_);
    bounded_ = true;
    bound_start_ = start;
    bound_limit_ = limit;
}

void ClientChannel::unlimit_calls() {
    ORTU_Mutex_Holder hold(call_lock_);
    bounded_ = false;
}

ORTU_UINT32 ClientChannel::call_limit() const {
    if (!bounded_)
        return call_timeout_;
    const ORTU_UINT32 spent = ORTU_OS::tick_count() - bound_start_;
    const ORTU_UINT32 left = spent >= bound_limit_ ? 0 : bound_limit_ - spent;
    return std::min(left, call_timeout_);
}

void ClientChannel::call(qrex_uint32_t call_id, qrex_uint32_t hash, void* result,
                         XDR_function result_function, void* arguments,
                         XDR_function argument_function, qrex_uint32_t flags) {
    ORTU_DEBUG(lxtcp, 2, "call(0x%x, hash 0x%x)\n", call_id, hash);
    // Calls are one at a time anyway (the client connection's lock); this
    // lock makes the call's bound belong to the call that runs.
    ORTU_Mutex_Holder hold(call_lock_);
    struct Bound {
        QREX_TCP_Socket_Adapter& adapter;
        ~Bound() { adapter.end_call(); }
    } bound{adapter_};
    adapter_.begin_call(call_limit());
    connection_->call(call_id, hash, result, result_function, arguments, argument_function, flags);
}

// ---- server connection ----

ServerConnection::ServerConnection(ConnectionManager* manager)
    : ORTU_Thread(""), manager_(manager), stop_event_(true), accept_end_(true),
      listener_closed_(true) {
    manager_->connection_created();
}

ServerConnection::~ServerConnection() {
    // Always through the manager's lock, even when this is not the current
    // connection: whoever holds that lock may still be stopping this object.
    manager_->forget_connection(this);
    listener_.reset();
    // Only this connection's share: a request or a handshake still under
    // way closes the channel when it lets go of it.
    link_.reset();
    // Last, so that a wait for no connection also waits for the listener
    // and for every channel no caller holds.
    manager_->connection_ended();
}

void ServerConnection::open(std::shared_ptr<Server_Link> link, ORTU_UINT32 address,
                            ORTU_UINT16 port, ORTU_UINT32 limit) {
    const ORTU_UINT32 started = ORTU_OS::tick_count();
    try {
        link->channel = std::make_unique<ClientChannel>(&link->cancel, limit);
        link->channel->open(InetEndpoint{InetAddress{4, address}, port}, limit);
    } catch (const ORTU_Exception& e) {
        throw ConnectionException(4, "%s", e.what());
    }
    // The handshake as a whole keeps to the one bound.
    link->channel->limit_calls_until(started, limit);
    try {
        link->proxy = std::make_unique<IPC_DA_DBServer::DBServerProxy>(link->channel.get());
    } catch (const ORTU_Exception& e) {
        throw ConnectionException(5, "%s", e.what());
    }
    try {
        // Only where the server reaches us: the address our connection to it
        // goes out from.
        const InetAddress local = link->channel->socket().local_endpoint().addr;
        listener_ = std::make_unique<TCP_Socket>(ConnectionManager::back_connection_port(), &local);
        listener_->listen();
        listener_port_ = listener_->local_endpoint().port;
    } catch (const ORTU_Exception& e) {
        listener_.reset();
        throw ConnectionException(6, "%s", e.what());
    }
    server_address_ = address;
    link_ = std::move(link);
}

void Server_Link::initialize(ORTU_UINT16 back_port) {
    IPC_DA_DBServer::TInitialize argument;
    argument.clientIp = channel->socket().local_endpoint().addr.addr;
    argument.clientPort = back_port;
    ipc_da::Local_Record<IPC_DA_DBServer::TInitializeResult> result(
        IPC_DA_DBServer::xdr_TInitializeResult);
    proxy->Initialize(result.get(), &argument);
    const char* error = result.get()->error;
    if (error && *error)
        throw ConnectionException(result.get()->passwordValid ? 7 : 8, "%s", error);
}

void ServerConnection::handshake_over() {
    accept_end_.set();
    // Only a wait in accept is left to notice the event, which it does at
    // once; the bound merely keeps a stuck thread from hanging Connect.
    listener_closed_.wait(5000);
}

std::unique_ptr<TCP_Socket> ServerConnection::accept_back_connection() {
    std::unique_ptr<TCP_Socket> accepted;
    try {
        for (;;) {
            accepted = listener_->accept(TCP_Socket::TCP_DEFAULT_TIMEOUT, &accept_end_);
            if (accepted->peer_endpoint().addr.addr == server_address_)
                break;
            // Whoever else got here first must not be asked anything, nor
            // be able to ask for a proof.
            ORTU_DEBUG(lxtcp, 0, "SC.0x%x, back connection from %pa refused, expected %pa\n",
                       qrex_tag(this), accepted->peer_endpoint().addr.addr, server_address_);
            accepted.reset();
        }
    } catch (const ORTU_Exception& e) {
        ORTU_DEBUG(lxtcp, 2, "SC.0x%x, accept ended: %s\n", qrex_tag(this), e.what());
        accepted.reset();
    }
    // One back connection per connection: nobody else gets in from now on.
    listener_.reset();
    listener_closed_.set();
    return accepted;
}

void ServerConnection::execute() {
    std::unique_ptr<TCP_Socket> accepted = accept_back_connection();
    if (accepted)
        serve(accepted.get());
    // Deletes this object once execute() has returned.
    detach();
}

void ServerConnection::serve(TCP_Socket* accepted) {
    try {
        QREX_Server_Dispatcher dispatcher(&IPC_DA_DBClient_definition);
        BackSocketAdapter adapter(accepted, &stop_event_);
        QREX_TCP_Stream stream(&adapter);
#if !defined(_WIN32)
        const ORTU_Fd_Waitable readable(accepted->handle(), POLLIN);
#endif
        serve_back_connection(dispatcher, stream, [&] {
            // A request the stream holds already is not on the socket.
            if (stream.input_buffered())
                return !stop_requested();
#if defined(_WIN32)
            // Looks every 10 ms whether a stop came; a read that a stop cuts
            // short ends at once through the stop event.
            while (!stop_requested() && accepted->is_open()) {
                fd_set readable;
                FD_ZERO(&readable);
                FD_SET(accepted->handle(), &readable);
                timeval limit{0, 10000};
                const int r = ::select(0, &readable, nullptr, nullptr, &limit);
                if (r > 0)
                    return true;
                if (r < 0)
                    return false;
            }
            return false;
#else
            while (!stop_requested() && accepted->is_open()) {
                const ORTU_UINT32 r =
                    ortu_wait_for_objects(readable, stop_event_, false, ORTU_INFINITE);
                if (r == ORTU_WAIT_OBJECT_0)
                    return true;
                if (r != ORTU_WAIT_TIMEOUT)
                    return false;
            }
            return false;
#endif
        });
    } catch (const ORTU_Exception& e) {
        ORTU_DEBUG(lxtcp, 2, "SC.0x%x, back connection ended: %s\n", qrex_tag(this), e.what());
    } catch (...) {
        // A host callback that raised on this thread: ending the connection
        // is the one thing that leaves it in a known state, and the thread
        // must still delete its connection or no stop could ever complete.
        ORTU_DEBUG(lxtcp, 0, "SC.0x%x, unknown exception while serving, connection ends\n",
                   qrex_tag(this));
    }
}

// ---- manager ----

ConnectionManager::ConnectionManager() : current_(nullptr), winsock_started_(false), live_(0) {
    // The servant exists before any connection serves a call.
    ORTU_Singleton<DBClient_impl>::instance();
}

ConnectionManager::~ConnectionManager() {
    wait_for_connections();
}

void ConnectionManager::connection_ended() {
    std::lock_guard<std::mutex> hold(ended_lock_);
    if (live_.fetch_sub(1) == 1)
        ended_.notify_all();
}

void ConnectionManager::wait_for_connections() {
    std::unique_lock<std::mutex> hold(ended_lock_);
    ended_.wait(hold, [this] { return live_.load() <= 0; });
}

ORTU_UINT16 ConnectionManager::back_connection_port() {
    ORTU_Debug_Manager* debug = ORTU_Debug_Manager::current();
    ORTU_Debug_Settings settings{};
    if (!debug || !debug->get_group_settings("port", settings) || !settings.enabled)
        return 0;
    // A value that is no port lets the system choose, as without the section.
    if (settings.max_level <= 0 || settings.max_level > 0xFFFF)
        return 0;
    return static_cast<ORTU_UINT16>(settings.max_level);
}

ORTU_UINT32 ConnectionManager::call_timeout() {
    ORTU_Debug_Manager* debug = ORTU_Debug_Manager::current();
    ORTU_Debug_Settings settings{};
    if (!debug || !debug->get_group_settings("call_timeout", settings) || !settings.enabled)
        return DEFAULT_CALL_TIMEOUT;
    // No value, or one that is no time, keeps the default: an unlimited
    // wait is exactly what the bound is there to prevent.
    if (settings.max_level <= 0)
        return DEFAULT_CALL_TIMEOUT;
    return static_cast<ORTU_UINT32>(settings.max_level);
}

int ConnectionManager::connect(const char* host, ORTU_UINT16 port, const char* password) {
    ORTU_Mutex_Holder hold(lock_);
    if (current_)
        return 1;
#if defined(_WIN32)
    // Version 2.2: the sockets use Winsock 2's event selection and
    // overlapped transfers. Started once and never cleaned up, as a host may
    // use Winsock itself.
    WSADATA data;
    if (!winsock_started_)
        winsock_started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
    if (!winsock_started_)
        winsock_started_ = true; // nothing to start on this platform
#endif
    if (!winsock_started_)
        return 2;
    ORTU_UINT32 address = 0;
    if (!resolve_host(host, address))
        return 3;

    std::unique_ptr<ServerConnection> fresh;
    std::shared_ptr<Server_Link> link;
    try {
        fresh = std::make_unique<ServerConnection>(this);
        link = std::make_shared<Server_Link>();
    } catch (const ORTU_Exception&) {
        return -1;
    }
    password_ = password ? password : "";
    const ORTU_UINT32 limit = call_timeout();

    try {
        struct Connecting {
            std::shared_ptr<Server_Link>& slot;
            ~Connecting() { slot.reset(); }
        } connecting{connecting_link_};
        connecting_link_ = link;
        {
            Unlock unlock(lock_);
            fresh->open(link, address, port, limit);
        }
        // A Disconnect while the channel opened ended this attempt.
        if (link->cancel.is_signalled())
            return -1;
        const ORTU_UINT16 back_port = fresh->listener_port();
        // Current before its thread runs: a thread that ended at once could
        // otherwise be deleted before it was ever made current.
        ServerConnection* connection = fresh.release(); // deletes itself from now on
        current_ = connection;
        current_link_ = link;
        connection->start();
        try {
            Unlock unlock(lock_);
            // The handshake's own share of the connection: the serving
            // thread may end and delete its connection while Initialize
            // still waits for the reply (a server that refuses closes the
            // back connection first), and the channel must outlive that
            // wait. Nothing of the connection object itself is touched once
            // the lock is let go.
            link->initialize(back_port);
        } catch (...) {
            // Still current means still alive: its destructor waits for this
            // lock. Compared by the link this call holds, whose address no
            // later connection can take while it is held.
            if (current_link_ == link) {
                current_->handshake_over();
                current_->stop();
                current_ = nullptr;
                current_link_.reset();
            }
            throw;
        }
        if (current_link_ == link)
            current_->handshake_over();
        link->channel->unlimit_calls();
        return 0;
    } catch (const ConnectionException& e) {
        // Connect tells its host only the code: the text, the server's own
        // reason for a refusal among them, goes to the log.
        ORTU_DEBUG(lxtcp, 0, "connect(%s:%u) failed, code %d: %s\n", host, port, e.code(),
                   e.what());
        return e.code();
    } catch (const ORTU_Exception& e) {
        ORTU_DEBUG(lxtcp, 1, "connect(%s:%u) failed: %s\n", host, port, e.what());
        // A server that took the connection and never finished the
        // handshake failed to initialize it; nothing says it runs another
        // version.
        if (link->channel && link->channel->timed_out())
            return 7;
        return -1;
    }
}

void ConnectionManager::disconnect() {
    ORTU_Mutex_Holder hold(lock_);
    if (connecting_link_)
        connecting_link_->end_calls();
    if (!current_)
        return;
    current_->stop();
    current_ = nullptr;
    current_link_->end_calls();
    current_link_.reset();
}

std::shared_ptr<IPC_DA_DBServer::DBServer> ConnectionManager::current_proxy() {
    std::shared_ptr<Server_Link> link;
    {
        ORTU_Mutex_Holder hold(lock_);
        link = current_link_;
    }
    if (!link)
        return nullptr;
    IPC_DA_DBServer::DBServer* proxy = link->proxy.get();
    return std::shared_ptr<IPC_DA_DBServer::DBServer>(std::move(link), proxy);
}

void ConnectionManager::password_proof(const char* token, char digest[41]) {
    ORTU_Mutex_Holder hold(lock_);
    ::password_proof(password_.c_str(), password_.length(), token, digest);
}

void ConnectionManager::forget_connection(ServerConnection* connection) {
    ORTU_Mutex_Holder hold(lock_);
    if (current_ == connection) {
        current_ = nullptr;
        current_link_.reset();
    }
}
