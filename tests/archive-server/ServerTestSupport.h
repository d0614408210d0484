// Helpers of the archive server's end-to-end tests: a server on loopback
// with its log captured, the results a client receives, a raw client built
// on the RPC framework (it can skip or fake the proof, send any bytes), and
// the real client library libvqlink.so as a host uses it.
#pragma once

#include "ArchiveServer.h"
#include "IPC_DA_DBClient.h"
#include "IPC_DA_DBServer.h"
#include "TCP_Socket.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vqtest {

constexpr const char* kPassword = "Zq7-tESt-pAss";

// What the back connection delivered, copied out of the records.
struct SelectBatch {
    uint32_t id = 0;
    std::vector<std::vector<std::pair<std::string, std::string>>> rows;
    bool hasMore = false;
    int32_t code = 0;
    std::string message;
};
struct DownloadPiece {
    uint32_t id = 0;
    uint32_t recId = 0;
    std::vector<uint8_t> data;
    int32_t code = 0;
    std::string message;
};
struct SearchReport {
    uint32_t id = 0;
    uint32_t searched = 0;
    std::vector<uint32_t> found;
    int32_t code = 0;
    std::string message;
};
struct DeleteReport {
    uint32_t id = 0;
    int32_t code = 0;
    std::string message;
};

class Results {
public:
    void add(const IPC_DA_DBClient::TSelectResult* r);
    void add(const IPC_DA_DBClient::TDownloadProcess* r);
    void add(const IPC_DA_DBClient::TSearchProcess* r);
    void add(const IPC_DA_DBClient::TDeleteComplete* r);
    void clear();

    // Waits (at most timeoutMs) until the job's last result has arrived.
    bool waitSelectDone(uint32_t id, int timeoutMs = 20000);
    bool waitDownloadDone(uint32_t id, int timeoutMs = 30000);
    bool waitSearchDone(uint32_t id, uint32_t total, int timeoutMs = 20000);
    bool waitDeleteDone(uint32_t id, int timeoutMs = 20000);
    bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

    std::vector<SelectBatch> selects(uint32_t id);
    std::vector<DownloadPiece> downloads(uint32_t id);
    std::vector<SearchReport> searches(uint32_t id);
    std::vector<DeleteReport> deletes(uint32_t id);
    // The bytes of one record of a download, joined.
    std::vector<uint8_t> bytesOf(uint32_t id, uint32_t recId);

private:
    // Recursive: a waited-for condition may use the accessors above.
    std::recursive_mutex lock_;
    std::condition_variable_any changed_;
    std::vector<SelectBatch> selects_;
    std::vector<DownloadPiece> downloads_;
    std::vector<SearchReport> searches_;
    std::vector<DeleteReport> deletes_;
};

// Polls a condition that nothing signals, every 10 ms, at most timeoutMs.
bool eventually(const std::function<bool()>& condition, int timeoutMs = 10000);

// Rows of a finished SQL job as plain values.
std::vector<std::vector<std::string>> valuesOf(const std::vector<SelectBatch>& batches);

// An ArchiveServer on 127.0.0.1 and a free port over one archive.
class TestServer {
public:
    explicit TestServer(const std::string& archive,
                        const std::function<void(vqarchive::ServerConfig&)>& adjust = {});
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    uint16_t port() const { return server_->port(); }
    vqarchive::ArchiveServer& server() { return *server_; }
    const vqarchive::ServerConfig& config() const { return config_; }

    std::vector<std::string> log() const;
    bool logContains(const std::string& text) const;
    bool waitForLog(const std::string& text, int timeoutMs = 10000) const;

private:
    vqarchive::ServerConfig config_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::unique_ptr<vqarchive::ArchiveServer> server_;
};

struct RawClientOptions {
    std::string password = kPassword;
    bool wrongAnswer = false;
    // Not 0: the clientIp sent in Initialize instead of 127.0.0.1.
    uint32_t clientIp = 0;
    // The back connection's serving thread stops reading after the
    // first DownloadProcess (a client that stops reading).
    bool stallBack = false;
    // VerifyPassword is never answered.
    bool hangOnProof = false;
    // Not 0: the clientPort sent in Initialize instead of the listener's.
    uint16_t clientPort = 0;
    // Set: the bytes the proof's reply carries, made from the answer.
    using ProofReply = std::function<std::vector<uint8_t>(const std::string& answer)>;
    ProofReply proofReply;
};

// A client of the server built directly on the RPC framework, with a back
// listener and a serving thread of its own.
class RawClient {
public:
    using Options = RawClientOptions;
    struct InitializeReply {
        bool passwordValid = false;
        std::string error;
    };

    explicit RawClient(uint16_t port);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    InitializeReply initialize(const Options& options);
    InitializeReply initialize() { return initialize(Options()); }
    IPC_DA_DBServer::DBServerProxy& server() { return *proxy_; }
    Results& results() { return results_; }

    void sql(uint32_t id, const std::string& statement);
    void download(uint32_t id, const std::vector<uint32_t>& recs);
    void search(uint32_t id, const std::vector<uint32_t>& recs,
                const std::vector<std::string>& phrases, IPC_DA_DBServer::SearchMode mode);
    void cancel(IPC_DA_DBServer::Operation operation, uint32_t id);

    // Writes bytes as they are on the request connection.
    void sendRaw(const std::vector<uint8_t>& bytes);
    // Reads a reply of one fragment from the request connection (when no
    // call waits for it).
    std::vector<uint8_t> receiveRecord();
    // Ends what the client sends (a half close): the server reads the end.
    void shutdownSending();
    // Waits until the server has closed the request connection.
    bool waitClosedByServer(int timeoutMs = 10000);
    bool backClosed() const { return backClosed_.load(); }
    // The challenge the server sent, as the back connection received it.
    std::string challenge() const;
    void releaseStall();

    class Servant;

private:
    void serveBack();

    std::unique_ptr<TCP_Socket> socket_;
    std::unique_ptr<QREX_Socket_Adapter> adapter_;
    std::unique_ptr<QREX_TCP_Client_Connection> connection_;
    std::unique_ptr<IPC_DA_DBServer::DBServerProxy> proxy_;
    std::unique_ptr<TCP_Socket> listener_;
    std::unique_ptr<Servant> servant_;
    ORTU_Event stop_{true};
    ORTU_Event stallReleased_{true};
    std::thread back_;
    std::atomic<bool> backClosed_{false};
    Results results_;
    Options options_;
    mutable std::mutex lock_;
    std::string challenge_;
};

// The real client library as the viewer uses it: InitDLL and the callbacks
// on construction, Disconnect and FinalizeDLL on destruction. One per
// process at a time, as the library allows.
class VqlinkHost {
public:
    VqlinkHost();
    ~VqlinkHost();
    VqlinkHost(const VqlinkHost&) = delete;
    VqlinkHost& operator=(const VqlinkHost&) = delete;

    int connect(uint16_t port, const std::string& password = kPassword);
    Results& results();
    // GetStatus through the library, the message released by the library's
    // own release function.
    std::pair<int32_t, std::string> status();
    // Texts and codes the exception callback reported.
    std::vector<std::pair<std::string, int>> exceptions();
};

// The expected answer to a challenge, by OpenSSL's SHA-1.
std::string referenceAnswer(const std::string& password, const std::string& challenge);

// A program run to its end; its exit status and standard output.
struct ProgramRun {
    int status = -1;
    std::string out;
};
ProgramRun runProgram(const std::vector<std::string>& argv);

} // namespace vqtest
