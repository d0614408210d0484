#include "ServerJobs.h"

#include "ORTU_Exception.h"

#include <algorithm>
#include <exception>

namespace vqarchive {

using namespace IPC_DA_DBClient;

namespace {

// The end marker of a download.
constexpr uint32_t kDownloadEnd = 0xFFFFFFFFu;
// Pieces larger than this would make one message of several megabytes.
constexpr uint32_t kMaxPieceSize = 1024 * 1024;

char* text(const std::string& s) {
    // The records are only encoded, never written through.
    return const_cast<char*>(s.c_str());
}

TDAError errorOf(StoreCode code, const std::string& message) {
    TDAError e{};
    e.error = errorCodeOf(code);
    e.extra = 0;
    e.msg = text(message);
    return e;
}

// A store that throws must not take the job's thread down with it: the
// client gets the failure as a result instead.
template <class F> StoreResult guarded(F&& call) {
    try {
        return call();
    } catch (const std::exception& e) {
        return StoreResult::failure(StoreCode::dbFailed, e.what());
    } catch (...) {
        return StoreResult::failure(StoreCode::dbFailed, "unknown failure of the archive store");
    }
}

JobOutcome runSql(Job& job, ArchiveStore& store, ResultSender& sender, const ServerConfig& config) {
    JobOutcome o;
    const size_t batch = std::clamp<uint32_t>(config.batchSize, 1, MAX_ROWS);
    const RowSink sink = [&](std::vector<Row>&& rows, bool hasMore) {
        o.items += rows.size();
        return sender.select(job.id, rows, hasMore, StoreCode::success, std::string());
    };
    const StoreResult r =
        guarded([&] { return store.execute(job.statement, batch, sink, job.cancel); });
    if (!r.ok())
        sender.select(job.id, {}, false, r.code, r.message);
    o.code = r.code;
    o.message = r.message;
    return o;
}

JobOutcome runDownload(Job& job, ArchiveStore& store, ResultSender& sender,
                       const ServerConfig& config) {
    JobOutcome o;
    const size_t piece = std::clamp<uint32_t>(config.pieceSize, 1, kMaxPieceSize);
    bool cancelled = false;
    uint32_t missing = 0;
    for (const uint32_t rec : job.recs) {
        if (job.cancel.cancelled()) {
            cancelled = true;
            break;
        }
        if (sender.failed())
            break;
        const DataSink sink = [&](const uint8_t* data, size_t size) {
            o.items += size;
            return sender.download(job.id, rec, data, size, StoreCode::success, std::string());
        };
        const StoreResult r = guarded([&] { return store.readData(rec, piece, sink, job.cancel); });
        if (r.code == StoreCode::cancelled) {
            cancelled = job.cancel.cancelled();
            break;
        }
        if (!r.ok()) {
            ++missing;
            sender.download(job.id, rec, nullptr, 0, r.code, r.message);
        }
    }
    if (cancelled) {
        o.code = StoreCode::cancelled;
        o.message = "Cancelled";
    } else if (missing) {
        o.message = std::to_string(missing) + " record(s) without data";
    }
    sender.download(job.id, kDownloadEnd, nullptr, 0, o.code, o.message);
    return o;
}

JobOutcome runSearch(Job& job, ArchiveStore& store, ResultSender& sender) {
    JobOutcome o;
    const uint32_t total = static_cast<uint32_t>(job.recs.size());
    if (job.mode != IPC_DA_DBServer::smAllOf && job.mode != IPC_DA_DBServer::smAnyOf) {
        o.code = StoreCode::sqlError;
        o.message = "Unknown search mode " + std::to_string(job.mode);
        sender.search(job.id, total, {}, o.code, o.message);
        return o;
    }
    bool reported = false;
    uint32_t lastSearched = 0;
    const SearchProgress progress = [&](uint32_t searched, std::vector<uint32_t>&& found) {
        o.items += found.size();
        reported = true;
        lastSearched = searched;
        return sender.search(job.id, searched, found, StoreCode::success, std::string());
    };
    const bool allOf = job.mode == IPC_DA_DBServer::smAllOf;
    const StoreResult r = guarded(
        [&] { return store.searchText(job.recs, job.phrases, allOf, progress, job.cancel); });
    if (r.ok()) {
        // The client's job ends only when the count reaches the total.
        if (!reported || lastSearched != total)
            sender.search(job.id, total, {}, StoreCode::success, std::string());
    } else {
        sender.search(job.id, total, {}, r.code, r.message);
    }
    o.code = r.code;
    o.message = r.message;
    return o;
}

JobOutcome runDelete(Job& job, ArchiveStore& store, ResultSender& sender) {
    JobOutcome o;
    DeleteResult d;
    try {
        d = store.deleteRecords(job.recs);
    } catch (const std::exception& e) {
        d.result = StoreResult::failure(StoreCode::dbFailed, e.what());
    }
    sender.deleted(job.id, d.result.code, d.result.message);
    o.code = d.result.code;
    o.message = d.result.message;
    o.items = d.records;
    return o;
}

} // namespace

const char* operationName(int32_t operation) {
    switch (operation) {
    case IPC_DA_DBServer::opSQLExecute:
        return "SQLExecute";
    case IPC_DA_DBServer::opDelete:
        return "Delete";
    case IPC_DA_DBServer::opDownload:
        return "Download";
    case IPC_DA_DBServer::opSearchText:
        return "SearchText";
    }
    return "unknown operation";
}

TDAErrorCode errorCodeOf(StoreCode code) {
    // The store's codes are the protocol's numbers.
    return static_cast<TDAErrorCode>(static_cast<int32_t>(code));
}

// ---------------------------------------------------------------- sending

ResultSender::ResultSender(DBClient& client, uint32_t delayMs, const CancelToken& cancel)
    : client_(client), delayMs_(delayMs), cancel_(cancel) {}

bool ResultSender::before() {
    if (failed_)
        return false;
    // A cancelled job skips the rest of the delay but still sends its last
    // result, which reports the cancellation.
    if (delayMs_ && !cancel_.cancelled())
        cancel_.waitFor(std::chrono::milliseconds(delayMs_));
    return true;
}

void ResultSender::failedWith(const char* what) {
    failed_ = true;
    failure_ = what;
}

bool ResultSender::select(uint32_t id, const std::vector<Row>& rows, bool hasMore, StoreCode code,
                          const std::string& message) {
    if (!before())
        return false;
    std::vector<std::vector<TValueItem>> columns(rows.size());
    std::vector<TSelectRow> wireRows(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        columns[i].resize(rows[i].size());
        for (size_t j = 0; j < rows[i].size(); ++j) {
            columns[i][j].name = text(rows[i][j].name);
            columns[i][j].value = text(rows[i][j].value);
        }
        wireRows[i].cols.cols_len = static_cast<uint32_t>(columns[i].size());
        wireRows[i].cols.cols_val = columns[i].empty() ? nullptr : columns[i].data();
    }
    TSelectResult r{};
    r.id = id;
    r.rows.rows_len = static_cast<uint32_t>(wireRows.size());
    r.rows.rows_val = wireRows.empty() ? nullptr : wireRows.data();
    r.hasMore = hasMore;
    r.error = errorOf(code, message);
    try {
        client_.SelectResult(&r);
    } catch (const ORTU_Exception& e) {
        failedWith(e.what());
        return false;
    }
    ++calls_;
    return true;
}

bool ResultSender::download(uint32_t id, uint32_t recId, const uint8_t* data, size_t size,
                            StoreCode code, const std::string& message) {
    if (!before())
        return false;
    TDownloadProcess r{};
    r.id = id;
    r.recId = recId;
    r.data.data_len = static_cast<uint32_t>(size);
    r.data.data_val = size ? const_cast<uint8_t*>(data) : nullptr;
    r.error = errorOf(code, message);
    try {
        client_.DownloadProcess(&r);
    } catch (const ORTU_Exception& e) {
        failedWith(e.what());
        return false;
    }
    ++calls_;
    return true;
}

bool ResultSender::search(uint32_t id, uint32_t searched, const std::vector<uint32_t>& found,
                          StoreCode code, const std::string& message) {
    if (!before())
        return false;
    TSearchProcess r{};
    r.id = id;
    r.searched = searched;
    r.recs.recs_len = static_cast<uint32_t>(found.size());
    r.recs.recs_val = found.empty() ? nullptr : const_cast<uint32_t*>(found.data());
    r.error = errorOf(code, message);
    try {
        client_.SearchProcess(&r);
    } catch (const ORTU_Exception& e) {
        failedWith(e.what());
        return false;
    }
    ++calls_;
    return true;
}

bool ResultSender::deleted(uint32_t id, StoreCode code, const std::string& message) {
    if (!before())
        return false;
    TDeleteComplete r{};
    r.id = id;
    r.error = errorOf(code, message);
    try {
        client_.DeleteComplete(&r);
    } catch (const ORTU_Exception& e) {
        failedWith(e.what());
        return false;
    }
    ++calls_;
    return true;
}

// ---------------------------------------------------------------- running

JobOutcome runJob(Job& job, ArchiveStore& store, ResultSender& sender, const ServerConfig& config) {
    if (job.cancel.cancelled()) {
        refuseJob(job, sender, StoreCode::cancelled, "Cancelled");
        JobOutcome o;
        o.code = StoreCode::cancelled;
        o.message = "Cancelled";
        return o;
    }
    JobOutcome o;
    switch (job.operation) {
    case IPC_DA_DBServer::opSQLExecute:
        o = runSql(job, store, sender, config);
        break;
    case IPC_DA_DBServer::opDownload:
        o = runDownload(job, store, sender, config);
        break;
    case IPC_DA_DBServer::opSearchText:
        o = runSearch(job, store, sender);
        break;
    case IPC_DA_DBServer::opDelete:
        o = runDelete(job, store, sender);
        break;
    }
    o.calls = sender.calls();
    return o;
}

void refuseJob(const Job& job, ResultSender& sender, StoreCode code, const std::string& message) {
    switch (job.operation) {
    case IPC_DA_DBServer::opSQLExecute:
        sender.select(job.id, {}, false, code, message);
        break;
    case IPC_DA_DBServer::opDownload:
        sender.download(job.id, kDownloadEnd, nullptr, 0, code, message);
        break;
    case IPC_DA_DBServer::opSearchText:
        sender.search(job.id, static_cast<uint32_t>(job.recs.size()), {}, code, message);
        break;
    case IPC_DA_DBServer::opDelete:
        sender.deleted(job.id, code, message);
        break;
    }
}

} // namespace vqarchive
