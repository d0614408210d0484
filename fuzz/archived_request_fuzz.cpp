// Feeds arbitrary bytes into the archive server's request path, as a client
// would send them on its request connection: record marking, call headers,
// the unproven and the proven member tables, argument decoding, the
// password proof (over a back connection that answers like a client that
// knows the password) and the jobs (over a store that answers at once).
#include "ORTU_Exception.h"
#include "ORTU_Object_Manager.h"
#include "PasswordProof.h"
#include "QREX_Errors.h"
#include "RequestProcessor.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace vqarchive;

namespace {

constexpr const char* kPassword = "fuzz";
// Requests handled per input at most, so that every input ends quickly.
constexpr int kMaxRequests = 64;

// The input as the request connection: reads take from it, writes vanish.
class MemoryAdapter : public QREX_Socket_Adapter {
public:
    MemoryAdapter(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t read(void* buffer, size_t n) override {
        if (position_ >= size_)
            throw_comm_error("MemoryAdapter::read", -static_cast<int>(WSAENOTCONN_CODE));
        const size_t k = std::min(n, size_ - position_);
        std::memcpy(buffer, data_ + position_, k);
        position_ += k;
        return k;
    }
    void read_exact(void* buffer, size_t n) override {
        if (size_ - position_ < n)
            throw_comm_error("MemoryAdapter::read_exact", -static_cast<int>(WSAENOTCONN_CODE));
        std::memcpy(buffer, data_ + position_, n);
        position_ += n;
    }
    void write(const void*, size_t) override {}

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

// Encodes into nothing, so that the results of the jobs go through their
// encoders as they would on a real back connection.
class NullOutput : public QREX_Output_Stream {
public:
    void end_record() override {}
    void put_int32(qrex_uint32_t) override {}
    void put_bytes(const void*, size_t) override {}
    void abort_record() override {}
};

class AnsweringChannel : public QREX_Client_Connection {
public:
    void call(qrex_uint32_t call_id, qrex_uint32_t, void* result, XDR_function result_function,
              void* arguments, XDR_function argument_function, qrex_uint32_t) override {
        NullOutput sink;
        XDR_StreamOutput out(&sink);
        argument_function(&out, arguments);
        if (call_id == IPC_DA_DBClient::CALL_VerifyPassword) {
            const auto* request = static_cast<const IPC_DA_DBClient::TVerifyReq*>(arguments);
            // The right answer as the wire brings it, one record of 44 bytes.
            const std::string text =
                expectedAnswer(kPassword, request->token ? request->token : "");
            uint8_t reply[48] = {0x80, 0, 0, 44, 0, 0, 0, 40};
            std::memcpy(reply + 8, text.data(), std::min<size_t>(text.size(), 40));
            MemoryAdapter adapter(reply, sizeof reply);
            QREX_TCP_Stream stream(&adapter);
            result_function(stream.input(), result);
        }
    }
};

// Answers every call at once with a little data derived from its input.
class QuickStore : public ArchiveStore {
public:
    int serverType() const override { return 3; }
    std::string describe() const override { return "fuzz store"; }
    StoreStatus status() override { return {true, "ready"}; }

    StoreResult execute(const std::string& sql, size_t batchSize, const RowSink& sink,
                        const CancelToken& cancel) override {
        if (sql.empty())
            return StoreResult::failure(StoreCode::sqlError, "empty statement");
        std::vector<Row> rows;
        const size_t count = std::min<size_t>(sql.size() % 5, batchSize);
        for (size_t i = 0; i < count; ++i)
            rows.push_back({{"c", sql.substr(0, std::min<size_t>(sql.size(), 16))}});
        if (cancel.cancelled())
            return StoreResult::failure(StoreCode::cancelled, "cancelled");
        if (!sink(std::move(rows), false))
            return StoreResult::failure(StoreCode::cancelled, "stopped");
        return StoreResult::success();
    }
    StoreResult readData(uint32_t mediaId, size_t pieceSize, const DataSink& sink,
                         const CancelToken&) override {
        if (mediaId % 3 == 0)
            return StoreResult::failure(StoreCode::readFailed, "no data");
        const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        sink(bytes, std::min<size_t>(pieceSize, sizeof bytes));
        return StoreResult::success();
    }
    StoreResult searchText(const std::vector<uint32_t>& ids, const std::vector<std::string>&, bool,
                           const SearchProgress& progress, const CancelToken&) override {
        std::vector<uint32_t> found;
        if (!ids.empty())
            found.push_back(ids.front());
        progress(static_cast<uint32_t>(ids.size()), std::move(found));
        return StoreResult::success();
    }
    DeleteResult deleteRecords(const std::vector<uint32_t>& ids) override {
        DeleteResult d;
        d.records = static_cast<uint32_t>(ids.size());
        return d;
    }
};

const ServerConfig& config() {
    static const ServerConfig c = [] {
        ServerConfig s;
        s.password = kPassword;
        s.log = [](const std::string&) {};
        return s;
    }();
    return c;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The framework's level-0 lines for every malformed request would drown
    // the fuzzer's own output.
    setenv("ORTU_DEBUG_OUTPUT", "none", 1);
    ortu_runtime_start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ServerLog log(config().log);
    QuickStore store;
    MemoryAdapter adapter(data, size);
    QREX_TCP_Stream stream(&adapter);
    const InetEndpoint peer{InetAddress::loopback(), 40000};
    StatusCache status;
    RequestProcessor processor(
        config(), store, status, log, peer, "fuzz",
        [](const InetEndpoint&, uint32_t) -> std::unique_ptr<QREX_Client_Connection> {
            return std::make_unique<AnsweringChannel>();
        },
        true);
    const SteadyTime deadline = std::chrono::steady_clock::now() + std::chrono::hours(1);
    for (int i = 0; i < kMaxRequests && !processor.closing(); ++i) {
        try {
            processor.serveOne(stream, deadline);
        } catch (const ORTU_Exception&) {
            break; // the connection would end here
        }
    }
    processor.shutdown();
    return 0;
}
