// One client's jobs (SQLExecute, Download, SearchText, Delete): what a job
// is, how its results go back to the client over DBClient, and how each kind
// runs against the store.
#pragma once

#include "ArchiveServer.h"
#include "IPC_DA_DBClient.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace vqarchive {

struct Job {
    IPC_DA_DBServer::Operation operation = IPC_DA_DBServer::opSQLExecute;
    uint32_t id = 0;
    std::string statement;      // opSQLExecute
    std::vector<uint32_t> recs; // the other three
    std::vector<std::string> phrases;
    int32_t mode = IPC_DA_DBServer::smAllOf;
    CancelToken cancel;
};

// What a finished job did, for its log line.
struct JobOutcome {
    StoreCode code = StoreCode::success;
    std::string message;
    uint64_t items = 0; // rows, bytes, hits or deleted records
    uint32_t calls = 0; // result calls made
};

// The server's own refusal of a job it has no room for: deNotReady.
constexpr StoreCode kNotReady = static_cast<StoreCode>(deNotReady);

const char* operationName(int32_t operation);
TDAErrorCode errorCodeOf(StoreCode code);

// Sends a job's results on the back connection. A call that fails marks the
// sender failed; later calls do nothing and return false, so a job whose
// client went away ends quickly.
class ResultSender {
public:
    // delayMs: fault injection, a wait before each call (cut short by cancel).
    ResultSender(IPC_DA_DBClient::DBClient& client, uint32_t delayMs, const CancelToken& cancel);

    bool select(uint32_t id, const std::vector<Row>& rows, bool hasMore, StoreCode code,
                const std::string& message);
    bool download(uint32_t id, uint32_t recId, const uint8_t* data, size_t size, StoreCode code,
                  const std::string& message);
    bool search(uint32_t id, uint32_t searched, const std::vector<uint32_t>& found, StoreCode code,
                const std::string& message);
    bool deleted(uint32_t id, StoreCode code, const std::string& message);

    bool failed() const { return failed_; }
    const std::string& failure() const { return failure_; }
    uint32_t calls() const { return calls_; }

private:
    bool before();
    void failedWith(const char* what);

    IPC_DA_DBClient::DBClient& client_;
    uint32_t delayMs_;
    const CancelToken& cancel_;
    bool failed_ = false;
    std::string failure_;
    uint32_t calls_ = 0;
};

// Runs the job to its end and sends every result, the final one included
// (last batch, end marker, last progress or completion).
JobOutcome runJob(Job& job, ArchiveStore& store, ResultSender& sender, const ServerConfig& config);

// Answers a job that never ran (queue full, cancelled before its turn) with
// one final result carrying the code.
void refuseJob(const Job& job, ResultSender& sender, StoreCode code, const std::string& message);

} // namespace vqarchive
