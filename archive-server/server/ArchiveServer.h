// The protocol side of vqarchived: a listener that serves the archive
// interface DBServer to several clients at once, one thread per connection,
// proves each client's password over the connection it opens back to the
// client, and runs the clients' jobs against one ArchiveStore.
//
//     ServerConfig config;            // port, password, limits, faults
//     ArchiveServer server(config, std::move(store));
//     server.start();                 // throws ServerError
//     ...                             // serve until asked to stop
//     server.stop();                  // cancels jobs, closes connections
#pragma once

#include "ArchiveStore.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace vqarchive {

// Misbehaviour on request, so that tests can see how clients cope.
struct ServerFaults {
    // Not empty: every Initialize is answered with this error text (after
    // the password proof, whose outcome still decides passwordValid).
    std::string initializeError;
    // Not 0: the back connection of a client is closed after this many
    // result calls on it (SelectResult, DownloadProcess, ...).
    uint32_t closeBackAfterCalls = 0;
    // Not 0: each result call of a job waits this long first.
    uint32_t batchDelayMs = 0;
};

// One line of the server's log, without the trailing newline.
using LogSink = std::function<void(const std::string& line)>;

struct ServerConfig {
    uint16_t port = 7456; // 0: a free port chosen by the system
    // Dotted IPv4 address to listen on; empty: all local addresses.
    std::string listenAddress;
    std::string password = "pemrak";

    // Rows per SelectResult (1 to 32) and bytes per DownloadProcess piece.
    // Every piece costs the client a wakeup and the viewer a hand-over to
    // its window, so pieces are large.
    uint32_t batchSize = 32;
    uint32_t pieceSize = 256 * 1024;

    // A new connection must complete Initialize and the proof in this time.
    uint32_t handshakeTimeoutMs = 10000;
    // A proven connection with no request and no job for this long is closed.
    uint32_t idleTimeoutMs = 300000;
    // Once a request has begun, all of it must arrive within this time.
    uint32_t requestTimeoutMs = 30000;
    // Each write to a client must complete within this time; a client that
    // stops reading loses its connection, nobody else notices.
    uint32_t writeTimeoutMs = 10000;
    uint32_t maxConnections = 64;
    // Largest request record accepted: the payload of its fragments, headers
    // not counted. A request over it is refused before any of it runs.
    uint32_t maxRequestBytes = 4 * 1024 * 1024;
    // Jobs of one client waiting behind its running job.
    uint32_t maxQueuedJobs = 16;
    // The back connection goes only to the address the request came from,
    // so a client cannot make the server connect elsewhere.
    bool backToPeerOnly = true;

    ServerFaults faults;
    // Null: lines go to standard error with a UTC time stamp.
    LogSink log;
};

class ServerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ArchiveServer {
public:
    // The store must allow calls from several threads at once.
    ArchiveServer(ServerConfig config, std::shared_ptr<ArchiveStore> store);
    ~ArchiveServer(); // stops
    ArchiveServer(const ArchiveServer&) = delete;
    ArchiveServer& operator=(const ArchiveServer&) = delete;

    // Binds, listens and starts accepting. Throws ServerError when the
    // address is malformed or the port cannot be bound.
    void start();
    // Stops accepting, cancels every job, closes every connection and waits
    // for their threads. Safe to call more than once.
    void stop();

    // The port actually listened on (useful with port 0), 0 before start.
    uint16_t port() const;
    // Connections being served right now.
    size_t connectionCount() const;

    // For the program's main: blocks SIGINT and SIGTERM in the calling
    // thread (call it before start(), so that every server thread inherits
    // the mask) and waits for one of them; returns its number.
    static void blockTerminationSignals();
    static int waitForTerminationSignal();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace vqarchive
