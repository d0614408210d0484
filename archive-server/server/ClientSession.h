// One client connection on its own thread: the request socket with read
// deadlines, a byte budget per request and a write deadline, the back
// connection to the client's listener, and the RequestProcessor between
// them. Every wait is cut short by the session's stop event.
#pragma once

#include "RequestProcessor.h"

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <thread>

namespace vqarchive {

// The socket under a QREX stream, with the limits a server needs: a read
// deadline, a byte budget for one request, and a time limit for every write.
class LimitedSocketAdapter : public QREX_Socket_Adapter {
public:
    LimitedSocketAdapter(TCP_Socket& socket, const ORTU_Event* cancel, uint32_t writeTimeoutMs);

    // Reads must complete by deadline; at most budget bytes may be read
    // until the next call.
    void limitReads(SteadyTime deadline, size_t budget);

    size_t read(void* buffer, size_t n) override;
    void read_exact(void* buffer, size_t n) override;
    void write(const void* buffer, size_t n) override;

    // Bytes written that the peer has not taken yet (as far as this end can
    // tell: not acknowledged), and when the oldest of them was written.
    // The write deadline counts from that moment, not from a blocked send.
    size_t untaken(SteadyTime* oldest);

    // Why the last operation failed, for the log: a Winsock code, or 0.
    uint32_t lastError() const { return lastError_; }
    bool overBudget() const { return overBudget_; }

private:
    [[noreturn]] void fail(const char* where, uint32_t code);

    TCP_Socket& socket_;
    const ORTU_Event* cancel_;
    uint32_t writeTimeoutMs_;
    SteadyTime deadline_;
    size_t budget_ = 0;
    size_t used_ = 0;
    uint32_t lastError_ = 0;
    bool overBudget_ = false;
    // Bytes written in all, and each write's end among them with its start.
    uint64_t written_ = 0;
    std::deque<std::pair<uint64_t, SteadyTime>> writes_;
};

class ClientSession {
public:
    // number: a running count of connections, for the log. A refusal not
    // empty makes a connection the server has no room for: its Initialize
    // is answered with that text (passwordValid true) and it is closed.
    ClientSession(const ServerConfig& config, ArchiveStore& store, StatusCache& status,
                  ServerLog& log, std::unique_ptr<TCP_Socket> socket, uint64_t number,
                  const std::string& refusal = std::string());
    ~ClientSession(); // stops and joins
    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;

    void start();
    // Asks the thread to end soon; reason goes to the log. Any thread.
    void requestStop(const char* reason);
    bool finished() const { return finished_.load(); }
    bool stopRequested() const { return stopRequested_.load(); }
    bool proven() const;
    bool refusing() const { return refusing_; }
    // The client has sent something (or closed) since it connected.
    bool heardFrom() const { return heardFrom_.load(); }
    SteadyTime accepted() const { return accepted_; }
    // May be closed to make room for a newcomer: a connection that has not
    // proved itself within a quarter of the handshake time (a real client
    // does in milliseconds), or a proved one with no request and no job for
    // ten seconds. A proved client at work never gives way.
    bool mayGiveWay(SteadyTime now) const;
    void join();

    static constexpr std::chrono::milliseconds kIdleGrace{10000};

    const std::string& tag() const { return tag_; }

private:
    void run();
    std::string serve();
    // Waits (bounded) for the client to close the request connection.
    void lingerForClient();
    std::unique_ptr<QREX_Client_Connection> connectBack(const InetEndpoint& target,
                                                        uint32_t timeoutMs);

    const ServerConfig& config_;
    ServerLog& log_;
    std::unique_ptr<TCP_Socket> socket_;
    std::string tag_;
    ORTU_Event stop_;
    LimitedSocketAdapter adapter_;
    std::unique_ptr<QREX_TCP_Stream> stream_;
    std::unique_ptr<RequestProcessor> processor_;
    SteadyTime accepted_;
    const bool refusing_;
    // Steady clock ticks of the last request or of the last moment a job ran.
    std::atomic<SteadyTime::rep> lastActivity_;
    std::atomic<bool> finished_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> provenSeen_{false};
    std::atomic<bool> heardFrom_{false};
    std::mutex reasonLock_;
    std::string stopReason_;
    std::thread thread_;
};

} // namespace vqarchive
