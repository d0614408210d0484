// The protocol logic of one client connection, independent of sockets: it
// reads one request at a time from a stream, lets nothing but Initialize
// through until the client has proved the password over its back
// connection, and hands the jobs to a worker of their own so that
// GetStatus and CancelOperation are answered while a job runs.
#pragma once

#include "ArchiveServer.h"
#include "IPC_DA_DBClient.h"
#include "IPC_DA_DBServer.h"
#include "QREX_Client.h"
#include "QREX_TCP_Stream.h"
#include "ServerJobs.h"
#include "ServerLog.h"
#include "TCP_Socket.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vqarchive {

using SteadyTime = std::chrono::steady_clock::time_point;

// Opens the back connection to the client's listener within timeoutMs and
// returns the connection that DBClient calls travel on. Throws
// ORTU_Exception when it cannot.
using BackConnector = std::function<std::unique_ptr<QREX_Client_Connection>(
    const InetEndpoint& target, uint32_t timeoutMs)>;

// The archive's state as GetStatus reports it, shared by the connections
// of one server. Asking the archive opens its database (hundreds of
// microseconds, seconds for a database that does not answer), so it is
// asked at most once per refresh period whoever polls, by one caller at a
// time while the others take the last answer. Another server on the same
// database changes nothing that this answer holds.
class StatusCache {
public:
    StoreStatus get(ArchiveStore& store);

    static constexpr std::chrono::milliseconds kRefresh{1000};

private:
    std::mutex asking_;
    std::mutex lock_;
    bool known_ = false;
    SteadyTime taken_{};
    StoreStatus last_;
};

class RequestProcessor {
public:
    // peer: the request connection's remote end; tag names the connection
    // in log lines. inlineJobs runs each job on the request thread (for the
    // fuzzer, which needs every input to be handled the same way).
    RequestProcessor(const ServerConfig& config, ArchiveStore& store, StatusCache& status,
                     ServerLog& log, const InetEndpoint& peer, std::string tag,
                     BackConnector connector, bool inlineJobs = false);
    ~RequestProcessor();
    RequestProcessor(const RequestProcessor&) = delete;
    RequestProcessor& operator=(const RequestProcessor&) = delete;

    // Reads and answers one request. handshakeDeadline bounds the back
    // connection and the proof. Throws ORTU_Exception (a broken or
    // misbehaving connection) when the connection must end.
    void serveOne(QREX_TCP_Stream& stream, SteadyTime handshakeDeadline);

    bool proven() const;
    // The connection is to be closed (refused proof, back connection lost);
    // the reason is for the log.
    bool closing() const;
    std::string closingReason() const;
    // The client is to close first: after a refused handshake the client
    // ends its connection itself, and a server that closed both sockets at
    // once could pull the back connection away under the client while it
    // still reads the refusal.
    bool lingerBeforeClose() const;
    // A job of this client is running or waiting.
    bool busy() const;
    uint32_t requests() const { return requests_; }

    // Cancels every job and waits for the worker. Idempotent.
    void shutdown();

    // For a connection the server has no room for: Initialize is answered
    // with passwordValid true and this error text, and nothing else runs.
    // reason goes to the log.
    void refuseEveryInitialize(std::string error, std::string reason);

    class Servant;

private:
    friend class Servant;

    void initialize(IPC_DA_DBServer::TInitializeResult* result,
                    const IPC_DA_DBServer::TInitialize* argument);
    void status(IPC_DA_DBServer::TStatus* result);
    qrex_int32_t serverType();
    void enqueue(std::shared_ptr<Job> job);
    void cancel(const IPC_DA_DBServer::TCancelOperation* argument);
    void refuse(IPC_DA_DBServer::TInitializeResult* result, bool passwordValid, const char* error,
                const std::string& reason);
    void closeWith(const std::string& reason, bool linger = false);
    void workerLoop();
    void runOne(const std::shared_ptr<Job>& job);

    const ServerConfig& config_;
    ArchiveStore& store_;
    StatusCache& statusCache_;
    ServerLog& log_;
    InetEndpoint peer_;
    std::string tag_;
    BackConnector connector_;
    bool inlineJobs_;
    SteadyTime handshakeDeadline_{};
    uint32_t requests_ = 0;
    bool initializeTried_ = false;
    std::string refusal_;
    std::string refusalReason_;

    std::unique_ptr<Servant> servant_;
    std::unique_ptr<QREX_Server_Dispatcher> unproven_;
    std::unique_ptr<QREX_Server_Dispatcher> proven_;

    class GuardedChannel;
    std::unique_ptr<GuardedChannel> back_;
    std::unique_ptr<IPC_DA_DBClient::DBClientProxy> client_;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool isProven_ = false;
    bool closing_ = false;
    bool linger_ = false;
    std::string closingReason_;
    bool stopping_ = false;
    std::deque<std::shared_ptr<Job>> pending_;
    std::shared_ptr<Job> running_;
    std::thread worker_;
};

} // namespace vqarchive
