// An IPv4 TCP socket whose blocking operations wait on the runtime's
// objects, bounded by a timeout and cut short by a cancel event (by default
// the calling ORTU_Thread's stop event). On Windows, connect and accept wait
// on a network event (WSAEventSelect) and transfers are overlapped, each
// direction with its own event; elsewhere the socket is non-blocking and
// waits for readiness in poll(). Every failure is a Socket_Error with the
// Winsock code. A socket that timed out, was cancelled or failed a transfer
// is closed and stays dead.
#pragma once

#include "ORTU_Debug.h"
#include "ORTU_Sync.h"
#include "ORTU_Types.h"
#include "Socket_Error.h"

#include <cstdint>
#include <memory>

ORTU_DECLARE_DEBUG_GROUP(wsock);

// Address and port in host byte order.
struct InetAddress {
    ORTU_INT32 version; // always 4
    ORTU_UINT32 addr;

    static InetAddress any() { return InetAddress{4, 0}; }
    static InetAddress loopback() { return InetAddress{4, 0x7F000001u}; }
};

struct InetEndpoint {
    InetAddress addr;
    ORTU_UINT16 port;
};

// The per-thread default timeout behind a timeout of TCP_DEFAULT_TIMEOUT.
struct __tcp_socket_tss_data {
    ORTU_UINT32 timeout = ORTU_INFINITE;
};

class TCP_Socket {
public:
    // As a timeout: take the calling thread's default.
    static constexpr ORTU_UINT32 TCP_DEFAULT_TIMEOUT = 0xFFFFFFFFu;
#if defined(_WIN32)
    typedef std::uintptr_t Handle; // the system's SOCKET
    static constexpr Handle CLOSED = ~static_cast<Handle>(0);
#else
    typedef int Handle;
    static constexpr int INVALID_SOCKET = -1;
    static constexpr Handle CLOSED = INVALID_SOCKET;
#endif

    // Creates and binds (port 0: any free port; no address: all local ones).
    explicit TCP_Socket(ORTU_UINT16 local_port = 0, const InetAddress* local_address = nullptr);
    // Wraps a connected descriptor handed out by accept().
    explicit TCP_Socket(Handle accepted_handle);
    ~TCP_Socket();

    TCP_Socket(const TCP_Socket&) = delete;
    TCP_Socket& operator=(const TCP_Socket&) = delete;

    void open(const InetEndpoint& server, ORTU_UINT32 timeout = TCP_DEFAULT_TIMEOUT,
              const ORTU_Event* cancel = nullptr);
    void listen();
    // The new socket is built in storage when given (size must be
    // sizeof(TCP_Socket); the caller then destroys it in place), else on the
    // heap and owned by the caller.
    TCP_Socket* accept(ORTU_UINT32 timeout, void* storage, size_t storage_size,
                       const ORTU_Event* cancel = nullptr);
    std::unique_ptr<TCP_Socket> accept(ORTU_UINT32 timeout = TCP_DEFAULT_TIMEOUT,
                                       const ORTU_Event* cancel = nullptr);

    // Sends all n bytes.
    void send(const void* data, size_t n, ORTU_UINT32 timeout = TCP_DEFAULT_TIMEOUT,
              const ORTU_Event* cancel = nullptr);
    // 1 to n bytes; a peer that closed raises 10057.
    size_t recv(void* buffer, size_t n, ORTU_UINT32 timeout = TCP_DEFAULT_TIMEOUT,
                const ORTU_Event* cancel = nullptr);
    void recv_exact(void* buffer, size_t n, ORTU_UINT32 timeout = TCP_DEFAULT_TIMEOUT,
                    const ORTU_Event* cancel = nullptr);
    void close();

    Handle handle() const {
        return socket_;
    }
    bool is_open() const {
        return socket_ != CLOSED;
    }
    const InetEndpoint& local_endpoint() const {
        return local_;
    }
    const InetEndpoint& peer_endpoint() const {
        return peer_;
    }

    // The calling thread's default timeout; ORTU_INFINITE waits without limit.
    static ORTU_UINT32 default_timeout();
    static void set_default_timeout(ORTU_UINT32 timeout);

private:
    enum Wait_Outcome { wo_ready, wo_canceled, wo_timed_out };

    // Waits for object (the socket's readiness, a network or overlapped
    // event) with the resolved timeout and cancel event.
    Wait_Outcome wait(const ORTU_Waitable& object, ORTU_UINT32 timeout, const ORTU_Event* cancel);
    // Logs, clears the pending marks and raises the operation's failure.
    [[noreturn]] void generic_failure(const char* operation, ORTU_UINT32 code);
    // Closes, then raises cancel (10111) or time-out (10060) for operation.
    [[noreturn]] void wait_failure(const char* operation, Wait_Outcome outcome);
    bool check_open(const char* operation);
    // Logs and raises a connect that the other side or the network refused.
    [[noreturn]] void open_failed(ORTU_UINT32 code);

    // The platform's part of each operation, after the checks all share:
    // each waits with the resolved limit and cancel event.
    void connect_step(const InetEndpoint& server, ORTU_UINT32 limit, const ORTU_Event* cancel);
    // The accepted connection, set up as a connected one is.
    Handle accept_step(ORTU_UINT32 limit, const ORTU_Event* cancel);
    void send_step(const char* data, size_t n, ORTU_UINT32 limit, const ORTU_Event* cancel);
    // Bytes read; 0 when the other side has closed.
    size_t recv_step(void* buffer, size_t n, ORTU_UINT32 limit, const ORTU_Event* cancel);

    void read_local_endpoint();
    void read_peer_endpoint();
    void set_no_delay();
    // Log lines name the socket by the handle it had, also once closed.
    unsigned tag() const {
        return tag_;
    }

#if defined(_WIN32)
    // Ends a pending overlapped operation before its record and buffer go.
    void abandon(void* overlapped);
#endif

    Handle socket_;
    unsigned tag_;
    ORTU_Mutex read_lock_;
    ORTU_Mutex write_lock_;
    // A transfer is under way (its overlapped record is pending).
    bool read_pending_;
    bool write_pending_;
#if defined(_WIN32)
    // The overlapped records (kept opaque: no system header comes in
    // through here) and their manual-reset events.
    alignas(8) unsigned char ov_read_[sizeof(void*) == 4 ? 20 : 32];
    alignas(8) unsigned char ov_write_[sizeof(void*) == 4 ? 20 : 32];
    ORTU_Event read_event_;
    ORTU_Event write_event_;
#endif
    InetEndpoint local_;
    InetEndpoint peer_;
};
