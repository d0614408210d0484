#if defined(_WIN32)
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "TCP_Socket.h"

#include "ORTU_OS.h"
#include "ORTU_Object_Manager.h"
#include "ORTU_TSS.h"
#include "ORTU_Thread_Win32.h"

#include <cerrno>
#include <cstring>
#include <new>

ORTU_DEFINE_DEBUG_GROUP(wsock);

namespace {

typedef ORTU_TSS_Adaptor<__tcp_socket_tss_data> Timeout_Storage;

Timeout_Storage& timeout_storage() {
    return *ORTU_Singleton<Timeout_Storage>::instance();
}

sockaddr_in to_sockaddr(ORTU_UINT32 address, ORTU_UINT16 port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

InetEndpoint from_sockaddr(const sockaddr_in& sa) {
    return InetEndpoint{InetAddress{4, ntohl(sa.sin_addr.s_addr)}, ntohs(sa.sin_port)};
}

#if defined(_WIN32)
void close_handle(TCP_Socket::Handle handle) {
    ::closesocket(handle);
}

// Binds a socket to an event of its own for one network event, which also
// makes it non-blocking; release() undoes both, so that the overlapped
// transfers later behave as on a blocking socket.
class Socket_Event_Selector {
public:
    Socket_Event_Selector(SOCKET socket, long event_bit)
        : socket_(socket), event_(true), event_bit_(event_bit), bound_(false) {
        bound_ = ::WSAEventSelect(socket_, event_.handle(), 1L << event_bit_) == 0;
        ORTU_ASSERT(bound_);
    }
    ~Socket_Event_Selector() { release(); }
    Socket_Event_Selector(const Socket_Event_Selector&) = delete;
    Socket_Event_Selector& operator=(const Socket_Event_Selector&) = delete;

    void release() {
        if (!bound_)
            return;
        bound_ = false;
        const bool unbound = ::WSAEventSelect(socket_, nullptr, 0) == 0;
        ORTU_ASSERT(unbound);
        u_long non_blocking = 0;
        ::ioctlsocket(socket_, FIONBIO, &non_blocking);
    }
    const ORTU_Event& event() const { return event_; }
    // The error Winsock recorded for the event (0: success); resets the event.
    int result() const {
        WSANETWORKEVENTS events{};
        const bool read = ::WSAEnumNetworkEvents(socket_, event_.handle(), &events) == 0;
        ORTU_ASSERT(read);
        ORTU_ASSERT(events.lNetworkEvents & (1L << event_bit_));
        return events.iErrorCode[event_bit_];
    }

private:
    SOCKET socket_;
    ORTU_Event event_;
    long event_bit_;
    bool bound_;
};

// On Windows SO_REUSEADDR would let the socket take a port another socket
// is listening on; the exclusive use is what keeps a second bind out there,
// as the plain option does elsewhere.
constexpr int REUSE_OPTION = SO_EXCLUSIVEADDRUSE;

OVERLAPPED* overlapped(unsigned char* storage) {
    return reinterpret_cast<OVERLAPPED*>(storage);
}
#else
void close_handle(TCP_Socket::Handle handle) {
    ::close(handle);
}

constexpr int REUSE_OPTION = SO_REUSEADDR;

bool set_non_blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Errors of a connection attempt itself, as opposed to a misused socket:
// they are reported like a connect that failed after waiting.
bool is_connect_outcome(int error) {
    return error == ECONNREFUSED || error == ETIMEDOUT || error == ENETUNREACH ||
           error == EHOSTUNREACH || error == ECONNRESET;
}
#endif

ORTU_UINT32 remaining(ORTU_UINT32 limit, ORTU_UINT32 started) {
    if (limit == ORTU_INFINITE)
        return ORTU_INFINITE;
    const ORTU_UINT32 spent = ORTU_OS::tick_count() - started;
    return spent >= limit ? 0 : limit - spent;
}

unsigned handle_tag(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p));
}

} // namespace

// ---------------------------------------------------------------- defaults

ORTU_UINT32 TCP_Socket::default_timeout() {
    return timeout_storage()->timeout;
}

void TCP_Socket::set_default_timeout(ORTU_UINT32 timeout) {
    timeout_storage()->timeout = timeout;
}

// ---------------------------------------------------------------- life

TCP_Socket::TCP_Socket(ORTU_UINT16 local_port, const InetAddress* local_address)
    : socket_(INVALID_SOCKET), tag_(0), read_pending_(false), write_pending_(false),
#if defined(_WIN32)
      ov_read_{}, ov_write_{}, read_event_(true), write_event_(true),
#endif
      local_{}, peer_{} {
#if defined(_WIN32)
    // Overlapped-capable, which the system's socket() always is.
    socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket_ == INVALID_SOCKET)
        generic_failure("socket", winsock_last_error());
    ::SetHandleInformation(reinterpret_cast<HANDLE>(socket_), HANDLE_FLAG_INHERIT, 0);
#else
    // Non-blocking from the start: every wait happens in poll(), never inside
    // a socket call.
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (socket_ < 0) {
        socket_ = INVALID_SOCKET;
        generic_failure("socket", winsock_last_error());
    }
#endif
    tag_ = static_cast<unsigned>(socket_);
    if (local_address)
        ORTU_ASSERT(local_address->version == 4);
    if (local_port != 0 || local_address) {
        const int on = 1;
        if (::setsockopt(socket_, SOL_SOCKET, REUSE_OPTION, reinterpret_cast<const char*>(&on),
                         sizeof on) != 0) {
            const ORTU_UINT32 code = winsock_last_error();
            ORTU_DEBUG(wsock, 0, "TCP.0x%x, setsockopt failed, error %d (%s)\n", tag(), (int)code,
                       winsock_error_name(code));
        }
    }
    const sockaddr_in sa =
        to_sockaddr(local_address ? local_address->addr : INADDR_ANY, local_port);
    if (::bind(socket_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        const ORTU_UINT32 code = winsock_last_error();
        ORTU_DEBUG(wsock, 0, "TCP.0x%x, bind failed, error %d (%s)\n", tag(), (int)code,
                   winsock_error_name(code));
        close_handle(socket_);
        socket_ = INVALID_SOCKET;
        throw Socket_Error(code, "TCP, bind failed");
    }
    read_local_endpoint();
    ORTU_DEBUG(wsock, 2, "TCP.0x%x, created\n", tag());
}

TCP_Socket::TCP_Socket(Handle accepted_handle)
    : socket_(accepted_handle), tag_(static_cast<unsigned>(accepted_handle)), read_pending_(false),
      write_pending_(false),
#if defined(_WIN32)
      ov_read_{}, ov_write_{}, read_event_(true), write_event_(true),
#endif
      local_{}, peer_{} {
#if !defined(_WIN32)
    // A descriptor from elsewhere may still block; ours never do.
    if (!set_non_blocking(socket_)) {
        const ORTU_UINT32 code = winsock_last_error();
        ORTU_DEBUG(wsock, 0, "TCP.0x%x, fcntl failed, error %d (%s)\n", tag(), (int)code,
                   winsock_error_name(code));
    }
#endif
    read_local_endpoint();
    read_peer_endpoint();
    ORTU_DEBUG(wsock, 2, "TCP.0x%x, created (2)\n", tag());
}

TCP_Socket::~TCP_Socket() {
    close();
    ORTU_DEBUG(wsock, 2, "TCP.0x%x, destroyed\n", tag());
}

void TCP_Socket::close() {
    if (socket_ == INVALID_SOCKET)
        return;
#if defined(_WIN32)
    const int rc = ::closesocket(socket_);
#else
    const int rc = ::close(socket_);
#endif
    ORTU_ASSERT(rc == 0);
    ORTU_DEBUG(wsock, 2, "TCP.0x%x, closed\n", tag());
    socket_ = INVALID_SOCKET;
}

// ---------------------------------------------------------------- helpers

void TCP_Socket::read_local_endpoint() {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
        local_ = from_sockaddr(sa);
    } else {
        const ORTU_UINT32 code = winsock_last_error();
        ORTU_DEBUG(wsock, 0, "%s.0x%x, getsockname failed, error %d (%s)\n", "TCP", tag(),
                   (int)code, winsock_error_name(code));
        local_ = InetEndpoint{};
    }
    ORTU_DEBUG(wsock, 2, "%s.0x%x, local info: ip = %pa, port = %d\n", "TCP", tag(),
               local_.addr.addr, (int)local_.port);
}

void TCP_Socket::read_peer_endpoint() {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(socket_, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
        peer_ = from_sockaddr(sa);
    } else {
        const ORTU_UINT32 code = winsock_last_error();
        ORTU_DEBUG(wsock, 0, "TCP.0x%x, getpeername failed, error %d (%s)\n", tag(), (int)code,
                   winsock_error_name(code));
        peer_ = InetEndpoint{};
    }
    ORTU_DEBUG(wsock, 2, "TCP.0x%x, peer info: ip = %pa, port = %d\n", tag(), peer_.addr.addr,
               (int)peer_.port);
}

void TCP_Socket::set_no_delay() {
    // Small one-way messages behind Nagle's algorithm meet the peer's delayed
    // acknowledgement and stall for tens of milliseconds each.
    const int on = 1;
    if (::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                     sizeof on) != 0) {
        const ORTU_UINT32 code = winsock_last_error();
        ORTU_DEBUG(wsock, 0, "TCP.0x%x, setsockopt failed, error %d (%s)\n", tag(), (int)code,
                   winsock_error_name(code));
    }
}

bool TCP_Socket::check_open(const char* operation) {
    ORTU_ASSERT(socket_ != INVALID_SOCKET);
    if (socket_ != INVALID_SOCKET)
        return true;
    // Past an ignored assertion: fail cleanly instead of touching handle -1.
    throw Socket_Error(WSAENOTSOCK_CODE, "TCP, %s failed", operation);
}

void TCP_Socket::generic_failure(const char* operation, ORTU_UINT32 code) {
    read_pending_ = false;
    write_pending_ = false;
    ORTU_DEBUG(wsock, 0, "TCP.0x%x, %s failed with error %d (%s)\n", tag(), operation, (int)code,
               winsock_error_name(code));
    // A failed transfer leaves the stream in an unknown place: nothing more
    // may be sent or read on it.
    if (std::strcmp(operation, "send") == 0 || std::strcmp(operation, "recv") == 0)
        close();
    throw Socket_Error(code, "TCP, %s failed", operation);
}

void TCP_Socket::wait_failure(const char* operation, Wait_Outcome outcome) {
    read_pending_ = false;
    write_pending_ = false;
    if (outcome == wo_canceled) {
        ORTU_DEBUG(wsock, 0, "TCP.0x%x, %s canceled\n", tag(), operation);
        close();
        throw Socket_Error(WSA_E_CANCELLED_CODE, "TCP, %s canceled", operation);
    }
    ORTU_DEBUG(wsock, 0, "TCP.0x%x, %s timed out\n", tag(), operation);
    close();
    throw Socket_Error(WSAETIMEDOUT_CODE, "TCP, %s timed out", operation);
}

TCP_Socket::Wait_Outcome TCP_Socket::wait(const ORTU_Waitable& object, ORTU_UINT32 timeout,
                                          const ORTU_Event* cancel) {
    const ORTU_UINT32 r = ortu_wait_cancelable(object, cancel, timeout);
    if (r == ORTU_WAIT_OBJECT_0)
        return wo_ready;
    if (r == ORTU_WAIT_OBJECT_0 + 1)
        return wo_canceled;
    if (r == ORTU_WAIT_TIMEOUT)
        return wo_timed_out;
    ORTU_ASSERT(!"unexpected wait result");
    return wo_timed_out;
}

namespace {

struct Wait_Setup {
    ORTU_UINT32 limit;
    const ORTU_Event* cancel;
};

Wait_Setup resolve(ORTU_UINT32 timeout, const ORTU_Event* cancel) {
    Wait_Setup s{timeout, cancel};
    if (s.limit == TCP_Socket::TCP_DEFAULT_TIMEOUT)
        s.limit = TCP_Socket::default_timeout();
    if (!s.cancel) {
        if (ORTU_Thread* thread = ORTU_Thread_Manager::current_thread())
            s.cancel = &thread->stop_event();
    }
    return s;
}

} // namespace

// ---------------------------------------------------------------- listen

void TCP_Socket::listen() {
    ORTU_Mutex_Holder hold_read(read_lock_);
    ORTU_Mutex_Holder hold_write(write_lock_);
    check_open("listen");
    ORTU_DEBUG(wsock, 3, "TCP.0x%x, listen()\n", tag());
    if (::listen(socket_, 0x7FFFFFFF) != 0)
        generic_failure("listen", winsock_last_error());
}

std::unique_ptr<TCP_Socket> TCP_Socket::accept(ORTU_UINT32 timeout, const ORTU_Event* cancel) {
    return std::unique_ptr<TCP_Socket>(accept(timeout, nullptr, 0, cancel));
}

void TCP_Socket::recv_exact(void* buffer, size_t n, ORTU_UINT32 timeout, const ORTU_Event* cancel) {
    ORTU_Mutex_Holder hold(read_lock_);
    ORTU_DEBUG(wsock, 4, "TCP.0x%x, recv_exact(0x%x, %u, %u, 0x%x)\n", tag(), handle_tag(buffer),
               (unsigned)n, timeout, handle_tag(cancel));
    char* p = static_cast<char*>(buffer);
    while (n) {
        const size_t k = recv(p, n, timeout, cancel);
        p += k;
        n -= k;
    }
}

// ---------------------------------------------------------------- connect

void TCP_Socket::open(const InetEndpoint& server, ORTU_UINT32 timeout, const ORTU_Event* cancel) {
    ORTU_Mutex_Holder hold_read(read_lock_);
    ORTU_Mutex_Holder hold_write(write_lock_);
    ORTU_ASSERT(server.addr.version == 4);
    check_open("connect");
    ORTU_DEBUG(wsock, 2, "TCP.0x%x, open(%pa:%d, %u, 0x%x)\n", tag(), server.addr.addr,
               (int)server.port, timeout, handle_tag(cancel));
    const Wait_Setup w = resolve(timeout, cancel);
    connect_step(server, w.limit, w.cancel);
    set_no_delay();
    read_local_endpoint();
    read_peer_endpoint();
}

void TCP_Socket::open_failed(ORTU_UINT32 code) {
    ORTU_DEBUG(wsock, 0, "TCP.0x%x, open failed, error %d (%s)\n", tag(), (int)code,
               winsock_error_name(code));
    throw Socket_Error(code, "TCP, open failed");
}

// ---------------------------------------------------------------- accept

TCP_Socket* TCP_Socket::accept(ORTU_UINT32 timeout, void* storage, size_t storage_size,
                               const ORTU_Event* cancel) {
    ORTU_Mutex_Holder hold_read(read_lock_);
    ORTU_Mutex_Holder hold_write(write_lock_);
    check_open("accept");
    ORTU_DEBUG(wsock, 3, "TCP.0x%x, accept(%u, 0x%x, %u, 0x%x)\n", tag(), timeout,
               handle_tag(storage), (unsigned)storage_size, handle_tag(cancel));
    if (storage)
        ORTU_ASSERT(storage_size == sizeof(TCP_Socket));
    if (storage && storage_size != sizeof(TCP_Socket))
        throw Socket_Error(10014u, "TCP, accept failed"); // WSAEFAULT: no room for the object
    const Wait_Setup w = resolve(timeout, cancel);
    const Handle accepted = accept_step(w.limit, w.cancel);
    if (storage)
        return new (storage) TCP_Socket(accepted);
    return new TCP_Socket(accepted);
}

// ---------------------------------------------------------------- transfer

void TCP_Socket::send(const void* data, size_t n, ORTU_UINT32 timeout, const ORTU_Event* cancel) {
    ORTU_Mutex_Holder hold(write_lock_);
    check_open("send");
    ORTU_ASSERT(!write_pending_);
    ORTU_DEBUG(wsock, 4, "TCP.0x%x, send(0x%x, %u, %u, 0x%x)\n", tag(), handle_tag(data),
               (unsigned)n, timeout, handle_tag(cancel));
    write_pending_ = true;
    const Wait_Setup w = resolve(timeout, cancel);
    send_step(static_cast<const char*>(data), n, w.limit, w.cancel);
    write_pending_ = false;
}

size_t TCP_Socket::recv(void* buffer, size_t n, ORTU_UINT32 timeout, const ORTU_Event* cancel) {
    ORTU_Mutex_Holder hold(read_lock_);
    check_open("recv");
    ORTU_ASSERT(!read_pending_);
    ORTU_DEBUG(wsock, 4, "TCP.0x%x, recv(0x%x, %u, %u, 0x%x)\n", tag(), handle_tag(buffer),
               (unsigned)n, timeout, handle_tag(cancel));
    ORTU_ASSERT(n > 0);
    if (n == 0)
        return 0;
    read_pending_ = true;
    const Wait_Setup w = resolve(timeout, cancel);
    const size_t count = recv_step(buffer, n, w.limit, w.cancel);
    read_pending_ = false;
    ORTU_DEBUG(wsock, 4, "TCP.0x%x, recv -> %u bytes\n", tag(), (unsigned)count);
    if (count == 0) {
        ORTU_DEBUG(wsock, 1, "TCP.0x%x, recv, connection has been closed\n", tag());
        throw Socket_Error(WSAENOTCONN_CODE, "TCP, recv, connection has been closed");
    }
    return count;
}

#if defined(_WIN32)
// ---------------------------------------------------------------- Winsock

void TCP_Socket::connect_step(const InetEndpoint& server, ORTU_UINT32 limit,
                              const ORTU_Event* cancel) {
    const sockaddr_in sa = to_sockaddr(server.addr.addr, server.port);
    // Binding the event makes the socket non-blocking for the connect;
    // releasing it restores blocking mode.
    Socket_Event_Selector selector(socket_, FD_CONNECT_BIT);
    if (::connect(socket_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        const ORTU_UINT32 error = winsock_last_error();
        if (error != WSAEWOULDBLOCK_CODE) {
            selector.release();
            generic_failure("connect", error);
        }
        const Wait_Outcome outcome = wait(selector.event(), limit, cancel);
        if (outcome != wo_ready) {
            selector.release();
            wait_failure("open", outcome);
        }
        const ORTU_UINT32 code = static_cast<ORTU_UINT32>(selector.result());
        if (code != 0) {
            selector.release();
            open_failed(code);
        }
    }
    selector.release();
}

TCP_Socket::Handle TCP_Socket::accept_step(ORTU_UINT32 limit, const ORTU_Event* cancel) {
    Socket_Event_Selector selector(socket_, FD_ACCEPT_BIT);
    const ORTU_UINT32 started = ORTU_OS::tick_count();
    SOCKET accepted;
    for (;;) {
        accepted = ::accept(socket_, nullptr, nullptr);
        if (accepted != INVALID_SOCKET)
            break;
        const ORTU_UINT32 error = winsock_last_error();
        // A connection that went away before we took it is not our failure.
        if (error == WSAECONNRESET_CODE)
            continue;
        if (error != WSAEWOULDBLOCK_CODE) {
            selector.release();
            generic_failure("accept", error);
        }
        const Wait_Outcome outcome = wait(selector.event(), remaining(limit, started), cancel);
        if (outcome != wo_ready) {
            selector.release();
            wait_failure("accept", outcome);
        }
        const ORTU_UINT32 code = static_cast<ORTU_UINT32>(selector.result());
        if (code != 0) {
            ORTU_DEBUG(wsock, 0, "TCP.0x%x, accept failed, error %d (%s)\n", tag(), (int)code,
                       winsock_error_name(code));
            selector.release();
            throw Socket_Error(code, "TCP, accept failed");
        }
    }
    // The new socket inherits the listener's event binding and with it the
    // non-blocking mode: both go, so that its transfers are plain overlapped
    // operations.
    ::WSAEventSelect(accepted, nullptr, 0);
    u_long non_blocking = 0;
    ::ioctlsocket(accepted, FIONBIO, &non_blocking);
    ::SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
    const int on = 1;
    ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    selector.release();
    return accepted;
}

void TCP_Socket::abandon(void* record) {
    // The system may still write into the buffer until the cancelled
    // operation has completed: wait for that before anything goes.
    OVERLAPPED* ov = static_cast<OVERLAPPED*>(record);
    ::CancelIoEx(reinterpret_cast<HANDLE>(socket_), ov);
    DWORD count = 0, flags = 0;
    ::WSAGetOverlappedResult(socket_, ov, &count, TRUE, &flags);
}

void TCP_Socket::send_step(const char* p, size_t n, ORTU_UINT32 limit, const ORTU_Event* cancel) {
    const ORTU_UINT32 started = ORTU_OS::tick_count();
    size_t sent = 0;
    // An overlapped send completes whole; the loop only matters should the
    // system ever report a part.
    while (sent < n) {
        OVERLAPPED* ov = overlapped(ov_write_);
        *ov = OVERLAPPED{};
        ov->hEvent = write_event_.handle();
        write_event_.reset();
        WSABUF buffer{static_cast<ULONG>(n - sent), const_cast<char*>(p + sent)};
        DWORD count = 0;
        if (::WSASend(socket_, &buffer, 1, &count, 0, ov, nullptr) != 0) {
            const ORTU_UINT32 error = winsock_last_error();
            if (error != WSA_IO_PENDING)
                generic_failure("send", error);
            const Wait_Outcome outcome = wait(write_event_, remaining(limit, started), cancel);
            if (outcome != wo_ready) {
                abandon(ov);
                wait_failure("send", outcome);
            }
            DWORD flags = 0;
            if (!::WSAGetOverlappedResult(socket_, ov, &count, FALSE, &flags)) {
                const ORTU_UINT32 code = winsock_last_error();
                ORTU_DEBUG(wsock, 0, "TCP.0x%x, WSAGetOverlappedResult failed with %d\n", tag(),
                           (int)code);
                write_pending_ = false;
                close();
                throw Socket_Error(WSAETIMEDOUT_CODE, "TCP, WSAGetOverlappedResult failed");
            }
        }
        sent += count;
    }
    ORTU_ASSERT(sent == n);
}

size_t TCP_Socket::recv_step(void* buffer, size_t n, ORTU_UINT32 limit, const ORTU_Event* cancel) {
    OVERLAPPED* ov = overlapped(ov_read_);
    *ov = OVERLAPPED{};
    ov->hEvent = read_event_.handle();
    read_event_.reset();
    WSABUF piece{static_cast<ULONG>(n), static_cast<char*>(buffer)};
    DWORD count = 0, flags = 0;
    if (::WSARecv(socket_, &piece, 1, &count, &flags, ov, nullptr) != 0) {
        const ORTU_UINT32 error = winsock_last_error();
        if (error != WSA_IO_PENDING)
            generic_failure("recv", error);
        const Wait_Outcome outcome = wait(read_event_, limit, cancel);
        if (outcome != wo_ready) {
            abandon(ov);
            wait_failure("recv", outcome);
        }
        if (!::WSAGetOverlappedResult(socket_, ov, &count, FALSE, &flags))
            generic_failure("recv", winsock_last_error());
    }
    return static_cast<size_t>(count);
}
#else
// ---------------------------------------------------------------- POSIX

void TCP_Socket::connect_step(const InetEndpoint& server, ORTU_UINT32 limit,
                              const ORTU_Event* cancel) {
    const sockaddr_in sa = to_sockaddr(server.addr.addr, server.port);
    int rc;
    do {
        rc = ::connect(socket_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return;
    const int error = errno;
    if (is_connect_outcome(error))
        open_failed(winsock_error_from_errno(error));
    if (error != EINPROGRESS)
        generic_failure("connect", winsock_error_from_errno(error));
    const Wait_Outcome outcome = wait(ORTU_Fd_Waitable(socket_, POLLOUT), limit, cancel);
    if (outcome != wo_ready)
        wait_failure("open", outcome);
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0)
        so_error = errno;
    if (so_error != 0)
        open_failed(winsock_error_from_errno(so_error));
}

TCP_Socket::Handle TCP_Socket::accept_step(ORTU_UINT32 limit, const ORTU_Event* cancel) {
    const ORTU_UINT32 started = ORTU_OS::tick_count();
    for (;;) {
        const int fd = ::accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            // The accepted socket gets the same treatment as a connected one.
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return fd;
        }
        const int error = errno;
        // A connection that went away before we took it is not our failure.
        if (error == EINTR || error == ECONNABORTED)
            continue;
        if (error != EAGAIN)
            generic_failure("accept", winsock_error_from_errno(error));
        const Wait_Outcome outcome =
            wait(ORTU_Fd_Waitable(socket_, POLLIN), remaining(limit, started), cancel);
        if (outcome != wo_ready)
            wait_failure("accept", outcome);
    }
}

void TCP_Socket::send_step(const char* p, size_t n, ORTU_UINT32 limit, const ORTU_Event* cancel) {
    const ORTU_UINT32 started = ORTU_OS::tick_count();
    size_t sent = 0;
    while (sent < n) {
        const ssize_t k = ::send(socket_, p + sent, n - sent, MSG_NOSIGNAL);
        if (k >= 0) {
            sent += static_cast<size_t>(k);
            continue;
        }
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error != EAGAIN)
            generic_failure("send", winsock_error_from_errno(error));
        const Wait_Outcome outcome =
            wait(ORTU_Fd_Waitable(socket_, POLLOUT), remaining(limit, started), cancel);
        if (outcome != wo_ready)
            wait_failure("send", outcome);
    }
}

size_t TCP_Socket::recv_step(void* buffer, size_t n, ORTU_UINT32 limit, const ORTU_Event* cancel) {
    const ORTU_UINT32 started = ORTU_OS::tick_count();
    for (;;) {
        const ssize_t k = ::recv(socket_, buffer, n, 0);
        if (k >= 0)
            return static_cast<size_t>(k);
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error != EAGAIN)
            generic_failure("recv", winsock_error_from_errno(error));
        const Wait_Outcome outcome =
            wait(ORTU_Fd_Waitable(socket_, POLLIN), remaining(limit, started), cancel);
        if (outcome != wo_ready)
            wait_failure("recv", outcome);
    }
}
#endif
