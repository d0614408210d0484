#include "ArchiveServer.h"

#include "ClientSession.h"
#include "ORTU_Exception.h"
#include "ORTU_Object_Manager.h"
#include "ServerLog.h"
#include "TCP_Socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <list>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vqarchive {

std::string addressText(uint32_t address);

namespace {

// How often the acceptor looks for sessions that have ended.
constexpr uint32_t kReapIntervalMs = 200;
// Refusals under way that have all been asked, per place, before a newcomer
// is closed without an answer.
constexpr uint32_t kRefusalsPerPlace = 4;

uint32_t parseListenAddress(const std::string& text) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        throw ServerError("not an IPv4 address: '" + text + "'");
    return ntohl(a.s_addr);
}

} // namespace

struct ArchiveServer::Impl {
    ServerConfig config;
    std::shared_ptr<ArchiveStore> store;
    StatusCache status;
    ServerLog log;
    bool runtimeStarted = false;
    std::unique_ptr<TCP_Socket> listener;
    uint16_t port = 0;
    ORTU_Event stop{true};
    std::thread acceptor;
    mutable std::mutex lock;
    std::list<std::unique_ptr<ClientSession>> sessions;
    uint64_t accepted = 0;
    bool stopped = false;

    Impl(ServerConfig c, std::shared_ptr<ArchiveStore> s)
        : config(std::move(c)), store(std::move(s)), log(config.log) {}

    void acceptLoop();
    void acceptOne();
    void reap();
    size_t active() const;
    size_t refusing() const;
};

size_t ArchiveServer::Impl::active() const {
    size_t n = 0;
    for (const auto& s : sessions)
        if (!s->finished() && !s->stopRequested() && !s->refusing())
            ++n;
    return n;
}

size_t ArchiveServer::Impl::refusing() const {
    size_t n = 0;
    for (const auto& s : sessions)
        if (!s->finished() && !s->stopRequested() && s->refusing())
            ++n;
    return n;
}

void ArchiveServer::Impl::reap() {
    std::list<std::unique_ptr<ClientSession>> done;
    {
        std::lock_guard<std::mutex> hold(lock);
        for (auto it = sessions.begin(); it != sessions.end();) {
            if ((*it)->finished()) {
                done.push_back(std::move(*it));
                it = sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Joined outside the lock: a session's last steps take no server lock,
    // but joining may wait for its final log line.
    done.clear();
}

void ArchiveServer::Impl::acceptOne() {
    const int fd = ::accept4(listener->handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            log.line("accepting a connection failed: %s", std::strerror(error));
            // The backlog keeps the connection; try again a little later.
            stop.wait(100);
        }
        return; // EAGAIN: the connection went away before we took it
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto socket = std::make_unique<TCP_Socket>(fd);
    const std::string peer = addressText(socket->peer_endpoint().addr.addr) + ":" +
                             std::to_string(socket->peer_endpoint().port);

    std::lock_guard<std::mutex> hold(lock);
    const uint32_t limit = std::max<uint32_t>(config.maxConnections, 1);
    std::string refusal;
    if (active() >= limit) {
        // Only a connection that is not doing anything gives way: one that
        // never proved itself, or a proved one left idle.
        const SteadyTime now = std::chrono::steady_clock::now();
        ClientSession* idle = nullptr;
        for (const auto& s : sessions) {
            if (!s->finished() && !s->stopRequested() && s->mayGiveWay(now)) {
                idle = s.get();
                break;
            }
        }
        if (idle) {
            log.line("connection limit of %u reached: %s makes room for %s", limit,
                     idle->tag().c_str(), peer.c_str());
            idle->requestStop("closed to make room for a new connection");
        } else {
            // Refusals are cheap but not free: past the limit, the oldest
            // one that is still waiting for its Initialize goes, so that
            // whoever asks is told. Refusals that were asked end within the
            // linger time, so only a flood of those is closed unanswered.
            if (refusing() >= limit) {
                ClientSession* silent = nullptr;
                for (const auto& s : sessions)
                    if (s->refusing() && !s->finished() && !s->stopRequested() && !s->heardFrom() &&
                        (!silent || s->accepted() < silent->accepted()))
                        silent = s.get();
                if (silent) {
                    silent->requestStop("refusal dropped for a newer one: nothing was asked");
                } else if (refusing() >= kRefusalsPerPlace * limit) {
                    log.line("connection limit of %u reached: %s closed, too many refusals "
                             "under way",
                             limit, peer.c_str());
                    return; // the socket closes as it goes out of scope
                }
            }
            log.line("connection limit of %u reached: refusing %s", limit, peer.c_str());
            refusal = "Too many connections: the server serves at most " + std::to_string(limit) +
                      " at once; try again later";
        }
    }
    auto session = std::make_unique<ClientSession>(config, *store, status, log, std::move(socket),
                                                   ++accepted, refusal);
    session->start();
    sessions.push_back(std::move(session));
}

void ArchiveServer::Impl::acceptLoop() {
    for (;;) {
        const ORTU_Fd_Waitable readable(listener->handle(), POLLIN);
        const ORTU_UINT32 r = ortu_wait_cancelable(readable, &stop, kReapIntervalMs);
        reap();
        if (r == ORTU_WAIT_OBJECT_0 + 1 || r == ORTU_WAIT_FAILED)
            return;
        if (r == ORTU_WAIT_OBJECT_0) {
            try {
                acceptOne();
            } catch (const ORTU_Exception& e) {
                log.line("accepting a connection failed: %s", e.what());
            } catch (const std::exception& e) {
                log.line("accepting a connection failed: %s", e.what());
            }
        }
    }
}

// ---------------------------------------------------------------- public

ArchiveServer::ArchiveServer(ServerConfig config, std::shared_ptr<ArchiveStore> store)
    : impl_(std::make_unique<Impl>(std::move(config), std::move(store))) {
    if (!impl_->store)
        throw ServerError("no archive store");
}

ArchiveServer::~ArchiveServer() {
    stop();
}

void ArchiveServer::start() {
    Impl& s = *impl_;
    if (s.listener)
        throw ServerError("the server is running already");
    InetAddress address = InetAddress::any();
    if (!s.config.listenAddress.empty())
        address.addr = parseListenAddress(s.config.listenAddress);
    if (!s.runtimeStarted) {
        ortu_runtime_start();
        s.runtimeStarted = true;
    }
    try {
        s.listener = std::make_unique<TCP_Socket>(s.config.port, &address);
        s.listener->listen();
    } catch (const ORTU_Exception& e) {
        s.listener.reset();
        throw ServerError("cannot listen on " + addressText(address.addr) + ":" +
                          std::to_string(s.config.port) + ": " + e.what());
    }
    s.port = s.listener->local_endpoint().port;
    s.stop.reset();
    s.stopped = false;
    s.log.line("serving %s (server type %d) on %s:%u", s.store->describe().c_str(),
               s.store->serverType(), addressText(address.addr).c_str(), s.port);
    s.acceptor = std::thread([&s] { s.acceptLoop(); });
}

void ArchiveServer::stop() {
    Impl& s = *impl_;
    if (s.listener && !s.stopped) {
        s.stopped = true;
        s.stop.set();
        if (s.acceptor.joinable())
            s.acceptor.join();
        std::list<std::unique_ptr<ClientSession>> sessions;
        {
            std::lock_guard<std::mutex> hold(s.lock);
            sessions.swap(s.sessions);
        }
        for (auto& session : sessions)
            session->requestStop("server stopping");
        const size_t count = sessions.size();
        sessions.clear(); // joins each
        s.listener.reset();
        s.log.line("stopped; %zu connection(s) closed", count);
    }
    if (s.runtimeStarted) {
        s.runtimeStarted = false;
        ortu_runtime_stop();
    }
}

uint16_t ArchiveServer::port() const {
    return impl_->listener ? impl_->port : 0;
}

size_t ArchiveServer::connectionCount() const {
    std::lock_guard<std::mutex> hold(impl_->lock);
    return impl_->active();
}

void ArchiveServer::blockTerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int ArchiveServer::waitForTerminationSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    return signal;
}

} // namespace vqarchive
