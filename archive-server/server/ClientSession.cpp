#include "ClientSession.h"

#include "ORTU_Exception.h"
#include "QREX_Errors.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace vqarchive {

std::string addressText(uint32_t address);

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Winsock's "message too long", for a request over its budget.
constexpr uint32_t kMessageTooLong = 10040;
// What decoding a request may allocate, as a multiple of its bytes, and the
// fixed part on top that covers storage taken ahead of the bytes filling it.
constexpr unsigned kRequestMemoryFactor = 4;
constexpr size_t kRequestMemoryAllowance = 128 * 1024;
// The most a peer may send back on the back connection (the proof's reply).
constexpr size_t kBackReplyBudget = 64 * 1024;
// How often a waiting session looks at its deadlines.
constexpr uint32_t kWaitSliceMs = 250;
// Replies the client has not taken, in bytes, past which no more of its
// requests are read: a client that sends and never reads must not make
// the server work for a queue nobody takes. How often such a session
// looks whether the client has begun to read.
constexpr size_t kReplyBacklog = 64 * 1024;
constexpr uint32_t kBacklogPollMs = 20;
// How long a refused client gets to close its connections first, and how
// much it may send meanwhile.
constexpr uint32_t kLingerMs = 2000;
constexpr size_t kLingerBytes = 64 * 1024;

long long millisecondsUntil(SteadyTime deadline) {
    return std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
}

// The connection that DBClient calls travel on: a socket of ours to the
// client's listener, with the same limits as the request connection.
class TcpBackChannel : public QREX_Client_Connection {
public:
    TcpBackChannel(std::unique_ptr<TCP_Socket> socket, const ORTU_Event* cancel,
                   uint32_t writeTimeoutMs, SteadyTime replyDeadline)
        : socket_(std::move(socket)), adapter_(*socket_, cancel, writeTimeoutMs),
          connection_(&adapter_) {
        // Only the proof has a reply; everything later is one-way.
        adapter_.limitReads(replyDeadline, kBackReplyBudget);
    }

    void call(qrex_uint32_t call_id, qrex_uint32_t hash, void* result, XDR_function result_function,
              void* arguments, XDR_function argument_function, qrex_uint32_t flags) override {
        connection_.call(call_id, hash, result, result_function, arguments, argument_function,
                         flags);
    }

private:
    std::unique_ptr<TCP_Socket> socket_;
    LimitedSocketAdapter adapter_;
    QREX_TCP_Client_Connection connection_;
};

} // namespace

// ---------------------------------------------------------------- adapter

LimitedSocketAdapter::LimitedSocketAdapter(TCP_Socket& socket, const ORTU_Event* cancel,
                                           uint32_t writeTimeoutMs)
    : socket_(socket), cancel_(cancel), writeTimeoutMs_(std::max<uint32_t>(writeTimeoutMs, 1)),
      deadline_(steady_clock::now()) {}

void LimitedSocketAdapter::limitReads(SteadyTime deadline, size_t budget) {
    deadline_ = deadline;
    budget_ = budget;
    used_ = 0;
    overBudget_ = false;
}

void LimitedSocketAdapter::fail(const char* where, uint32_t code) {
    lastError_ = code;
    // Negative: an expected end of a connection, logged quietly; the
    // session writes the line that matters.
    throw_comm_error(where, -static_cast<int>(code));
}

size_t LimitedSocketAdapter::read(void* buffer, size_t n) {
    if (!socket_.is_open())
        fail("LimitedSocketAdapter::read", WSAENOTCONN_CODE);
    if (used_ >= budget_) {
        overBudget_ = true;
        fail("LimitedSocketAdapter::read", kMessageTooLong);
    }
    const long long left = millisecondsUntil(deadline_);
    if (left <= 0)
        fail("LimitedSocketAdapter::read", WSAETIMEDOUT_CODE);
    n = std::min(n, budget_ - used_);
    size_t k = 0;
    try {
        k = socket_.recv(buffer, n, static_cast<ORTU_UINT32>(left), cancel_);
    } catch (const Socket_Error& e) {
        fail("LimitedSocketAdapter::read", e.code());
    }
    used_ += k;
    return k;
}

void LimitedSocketAdapter::read_exact(void* buffer, size_t n) {
    char* p = static_cast<char*>(buffer);
    while (n) {
        const size_t k = read(p, n);
        p += k;
        n -= k;
    }
}

size_t LimitedSocketAdapter::untaken(SteadyTime* oldest) {
    int queued = 0;
    if (!socket_.is_open() || ::ioctl(socket_.handle(), SIOCOUTQ, &queued) != 0 || queued < 0)
        queued = 0;
    const uint64_t taken = written_ - std::min<uint64_t>(written_, static_cast<uint64_t>(queued));
    while (!writes_.empty() && writes_.front().first <= taken)
        writes_.pop_front();
    if (writes_.empty())
        return 0;
    *oldest = writes_.front().second;
    return static_cast<size_t>(written_ - taken);
}

void LimitedSocketAdapter::write(const void* buffer, size_t n) {
    if (!socket_.is_open())
        fail("LimitedSocketAdapter::write", WSAENOTCONN_CODE);
    const SteadyTime now = steady_clock::now();
    long long timeout = writeTimeoutMs_;
    SteadyTime oldest;
    if (untaken(&oldest))
        timeout = millisecondsUntil(oldest + milliseconds(writeTimeoutMs_));
    if (timeout <= 0)
        fail("LimitedSocketAdapter::write", WSAETIMEDOUT_CODE);
    try {
        socket_.send(buffer, n, static_cast<ORTU_UINT32>(timeout), cancel_);
    } catch (const Socket_Error& e) {
        fail("LimitedSocketAdapter::write", e.code());
    }
    written_ += n;
    writes_.emplace_back(written_, now);
}

// ---------------------------------------------------------------- session

ClientSession::ClientSession(const ServerConfig& config, ArchiveStore& store, StatusCache& status,
                             ServerLog& log, std::unique_ptr<TCP_Socket> socket, uint64_t number,
                             const std::string& refusal)
    : config_(config), log_(log), socket_(std::move(socket)),
      tag_("client #" + std::to_string(number) + " " +
           addressText(socket_->peer_endpoint().addr.addr) + ":" +
           std::to_string(socket_->peer_endpoint().port)),
      stop_(true), adapter_(*socket_, &stop_, config.writeTimeoutMs),
      stream_(std::make_unique<QREX_TCP_Stream>(&adapter_)),
      processor_(std::make_unique<RequestProcessor>(
          config, store, status, log, socket_->peer_endpoint(), tag_,
          [this](const InetEndpoint& target, uint32_t timeoutMs) {
              return connectBack(target, timeoutMs);
          })),
      accepted_(steady_clock::now()), refusing_(!refusal.empty()),
      lastActivity_(accepted_.time_since_epoch().count()) {
    if (refusing_)
        processor_->refuseEveryInitialize(refusal, "connection limit reached");
    // Both limits apply while a request is read, before anything acts on it.
    stream_->set_max_record(config_.maxRequestBytes);
    stream_->limit_memory(kRequestMemoryFactor, kRequestMemoryAllowance);
}

ClientSession::~ClientSession() {
    requestStop("server stopping");
    join();
}

void ClientSession::start() {
    thread_ = std::thread([this] { run(); });
}

void ClientSession::requestStop(const char* reason) {
    {
        std::lock_guard<std::mutex> hold(reasonLock_);
        if (stopReason_.empty())
            stopReason_ = reason;
    }
    stopRequested_ = true;
    stop_.set();
}

bool ClientSession::proven() const {
    return provenSeen_.load();
}

bool ClientSession::mayGiveWay(SteadyTime now) const {
    if (refusing_)
        return false;
    if (!provenSeen_)
        return now - accepted_ >=
               milliseconds(std::max<uint32_t>(config_.handshakeTimeoutMs / 4, 1));
    const SteadyTime last{SteadyTime::duration(lastActivity_.load())};
    return now - last >= kIdleGrace;
}

void ClientSession::join() {
    if (thread_.joinable())
        thread_.join();
}

std::unique_ptr<QREX_Client_Connection> ClientSession::connectBack(const InetEndpoint& target,
                                                                   uint32_t timeoutMs) {
    auto socket = std::make_unique<TCP_Socket>(0, nullptr);
    socket->open(target, timeoutMs, &stop_);
    return std::make_unique<TcpBackChannel>(std::move(socket), &stop_, config_.writeTimeoutMs,
                                            steady_clock::now() + milliseconds(timeoutMs));
}

void ClientSession::run() {
    std::string reason;
    try {
        reason = serve();
    } catch (const ORTU_Exception& e) {
        if (stream_->record_too_large() || adapter_.overBudget())
            reason = "request larger than " + std::to_string(config_.maxRequestBytes) + " bytes";
        else if (stream_->memory_limit_hit())
            reason = "request would take more than " + std::to_string(kRequestMemoryFactor) +
                     " times its size in memory";
        else if (adapter_.lastError() == WSAETIMEDOUT_CODE)
            reason = "timed out reading a request or writing a reply";
        else if (adapter_.lastError() == WSAENOTCONN_CODE ||
                 adapter_.lastError() == WSAECONNRESET_CODE)
            reason = "closed by the client";
        else if (adapter_.lastError() == WSA_E_CANCELLED_CODE)
            reason = "stopped";
        else
            reason = std::string("protocol error: ") + e.what();
    } catch (const std::exception& e) {
        reason = std::string("failure: ") + e.what();
    }
    if (processor_->lingerBeforeClose() && !stopRequested_)
        lingerForClient();
    // Cuts short whatever the job worker waits for on the back connection.
    stop_.set();
    const uint32_t requests = processor_->requests();
    processor_->shutdown();
    processor_.reset();
    socket_->close();
    {
        std::lock_guard<std::mutex> hold(reasonLock_);
        if (!stopReason_.empty())
            reason = stopReason_;
    }
    const long long ms =
        std::chrono::duration_cast<milliseconds>(steady_clock::now() - accepted_).count();
    log_.line("%s: closed after %lld ms and %u request(s): %s", tag_.c_str(), ms, requests,
              reason.c_str());
    finished_ = true;
}

void ClientSession::lingerForClient() {
    const SteadyTime until = steady_clock::now() + milliseconds(kLingerMs);
    size_t discarded = 0;
    char buffer[4096];
    while (socket_->is_open() && discarded < kLingerBytes) {
        const long long left = millisecondsUntil(until);
        if (left <= 0)
            return;
        const ORTU_Fd_Waitable readable(socket_->handle(), POLLIN);
        if (ortu_wait_cancelable(readable, &stop_, static_cast<ORTU_UINT32>(left)) !=
            ORTU_WAIT_OBJECT_0)
            return;
        const ssize_t n = ::recv(socket_->handle(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0)
            return; // the client has closed
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        if (n > 0)
            discarded += static_cast<size_t>(n);
    }
}

std::string ClientSession::serve() {
    const SteadyTime handshakeDeadline = accepted_ + milliseconds(config_.handshakeTimeoutMs);
    SteadyTime lastActivity = steady_clock::now();
    bool backlogged = false;
    log_.line("%s: connected", tag_.c_str());
    for (;;) {
        // Wait for the next request, watching the deadlines meanwhile.
        for (;;) {
            if (processor_->closing())
                return processor_->closingReason();
            uint32_t slice = kWaitSliceMs;
            SteadyTime oldest;
            if (const size_t behind = adapter_.untaken(&oldest)) {
                const long long left =
                    millisecondsUntil(oldest + milliseconds(config_.writeTimeoutMs));
                if (left <= 0)
                    return "replies not taken for " + std::to_string(config_.writeTimeoutMs) +
                           " ms";
                if (behind > kReplyBacklog) {
                    if (!backlogged)
                        log_.line("%s: %zu bytes of replies not taken; its requests wait",
                                  tag_.c_str(), behind);
                    backlogged = true;
                    if (stop_.wait(static_cast<ORTU_UINT32>(
                            std::min<long long>(left, kBacklogPollMs))) == ORTU_WAIT_OBJECT_0)
                        return "stopped";
                    continue;
                }
                slice = static_cast<uint32_t>(std::min<long long>(slice, left));
            }
            backlogged = false;
            // A request read ahead with the last one is not on the socket.
            if (stream_->input_buffered())
                break;
            if (!provenSeen_) {
                const long long left = millisecondsUntil(handshakeDeadline);
                if (left <= 0)
                    return "no password proof within " +
                           std::to_string(config_.handshakeTimeoutMs) + " ms";
                slice = static_cast<uint32_t>(std::min<long long>(slice, left));
            }
            const ORTU_Fd_Waitable readable(socket_->handle(), POLLIN);
            const ORTU_UINT32 r = ortu_wait_cancelable(readable, &stop_, slice);
            if (r == ORTU_WAIT_OBJECT_0) {
                heardFrom_ = true;
                break;
            }
            if (r == ORTU_WAIT_OBJECT_0 + 1)
                return "stopped";
            if (r != ORTU_WAIT_TIMEOUT)
                return "waiting for a request failed";
            const SteadyTime now = steady_clock::now();
            if (processor_->busy()) {
                lastActivity = now; // a running job is activity
                lastActivity_ = now.time_since_epoch().count();
            } else if (provenSeen_ && now - lastActivity >= milliseconds(config_.idleTimeoutMs))
                return "idle for " + std::to_string(config_.idleTimeoutMs) + " ms";
        }
        SteadyTime requestDeadline = steady_clock::now() + milliseconds(config_.requestTimeoutMs);
        if (!provenSeen_)
            requestDeadline = std::min(requestDeadline, handshakeDeadline);
        // The stream counts the request's payload; the socket only its time.
        adapter_.limitReads(requestDeadline, SIZE_MAX);
        processor_->serveOne(*stream_, handshakeDeadline);
        provenSeen_ = processor_->proven();
        lastActivity = steady_clock::now();
        lastActivity_ = lastActivity.time_since_epoch().count();
        if (processor_->closing())
            return processor_->closingReason();
    }
}

} // namespace vqarchive
