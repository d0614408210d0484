// Decodes arbitrary bytes as each archive protocol record, re-encodes what
// was decoded, and releases it with the record's own release function.
#include "IPC_DA_Types.h"
#include "ORTU_Object_Manager.h"
#include "QREX_Errors.h"
#include "QREX_TCP_Stream.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

class Bytes_Adapter : public QREX_Socket_Adapter {
public:
    Bytes_Adapter(const std::uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t read(void* buffer, size_t n) override {
        if (pos_ >= size_)
            throw_comm_error("Bytes_Adapter::read", -10057);
        const size_t k = std::min(n, size_ - pos_);
        std::memcpy(buffer, data_ + pos_, k);
        pos_ += k;
        return k;
    }
    void read_exact(void* buffer, size_t n) override {
        auto* p = static_cast<std::uint8_t*>(buffer);
        while (n) {
            const size_t k = read(p, n);
            p += k;
            n -= k;
        }
    }
    void write(const void*, size_t) override {}

private:
    const std::uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

struct Record_Kind {
    size_t size;
    XDR_function function;
    void (*release)(void*);
};

template <class T, void (*F)(T*)> void release_as(void* p) {
    F(static_cast<T*>(p));
}

#define KIND(T, fn, rel)                                                                           \
    { sizeof(T), fn, &release_as<T, rel> }

const Record_Kind kinds[] = {
    KIND(DB_ID, xdr_DB_ID, DB_ID_Free),
    KIND(DB_ID_List, xdr_DB_ID_List, DB_ID_List_Free),
    KIND(TStamp, xdr_TStamp, TStamp_Free),
    KIND(TDAError, xdr_TDAError, TDAError_Free),
    KIND(TGCallID, xdr_TGCallID, TGCallID_Free),
    KIND(t_da_record_id, xdr_t_da_record_id, t_da_record_id_Free),
    KIND(t_da_user_descr, xdr_t_da_user_descr, t_da_user_descr_Free),
    KIND(t_da_callrec_descr, xdr_t_da_callrec_descr, t_da_callrec_descr_Free),
    KIND(t_da_record_descr, xdr_t_da_record_descr, t_da_record_descr_Free),
    KIND(IPC_DA_DBServer::TInitialize, IPC_DA_DBServer::xdr_TInitialize,
         IPC_DA_DBServer::TInitialize_Free),
    KIND(IPC_DA_DBServer::TInitializeResult, IPC_DA_DBServer::xdr_TInitializeResult,
         IPC_DA_DBServer::TInitializeResult_Free),
    KIND(IPC_DA_DBServer::TStatus, IPC_DA_DBServer::xdr_TStatus, IPC_DA_DBServer::TStatus_Free),
    KIND(IPC_DA_DBServer::TSQLExecute, IPC_DA_DBServer::xdr_TSQLExecute,
         IPC_DA_DBServer::TSQLExecute_Free),
    KIND(IPC_DA_DBServer::TDelete, IPC_DA_DBServer::xdr_TDelete, IPC_DA_DBServer::TDelete_Free),
    KIND(IPC_DA_DBServer::TDownload, IPC_DA_DBServer::xdr_TDownload,
         IPC_DA_DBServer::TDownload_Free),
    KIND(IPC_DA_DBServer::TSearchText, IPC_DA_DBServer::xdr_TSearchText,
         IPC_DA_DBServer::TSearchText_Free),
    KIND(IPC_DA_DBServer::TCancelOperation, IPC_DA_DBServer::xdr_TCancelOperation,
         IPC_DA_DBServer::TCancelOperation_Free),
    KIND(IPC_DA_DBClient::TSelectResult, IPC_DA_DBClient::xdr_TSelectResult,
         IPC_DA_DBClient::TSelectResult_Free),
    KIND(IPC_DA_DBClient::TDeleteComplete, IPC_DA_DBClient::xdr_TDeleteComplete,
         IPC_DA_DBClient::TDeleteComplete_Free),
    KIND(IPC_DA_DBClient::TDownloadProcess, IPC_DA_DBClient::xdr_TDownloadProcess,
         IPC_DA_DBClient::TDownloadProcess_Free),
    KIND(IPC_DA_DBClient::TSearchProcess, IPC_DA_DBClient::xdr_TSearchProcess,
         IPC_DA_DBClient::TSearchProcess_Free),
    KIND(IPC_DA_DBClient::TVerifyReq, IPC_DA_DBClient::xdr_TVerifyReq,
         IPC_DA_DBClient::TVerifyReq_Free),
    KIND(IPC_DA_DBClient::TVerifyRsp, IPC_DA_DBClient::xdr_TVerifyRsp,
         IPC_DA_DBClient::TVerifyRsp_Free),
};

class Null_Adapter : public Bytes_Adapter {
public:
    Null_Adapter() : Bytes_Adapter(nullptr, 0) {}
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ortu_runtime_start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const Record_Kind& kind = kinds[data[0] % (sizeof(kinds) / sizeof(kinds[0]))];
    // The rest is one record: a last fragment carrying the bytes.
    std::vector<std::uint8_t> wire(4 + size - 1);
    const std::uint32_t length = static_cast<std::uint32_t>(size - 1) | RM_LAST_FRAGMENT;
    wire[0] = static_cast<std::uint8_t>(length >> 24);
    wire[1] = static_cast<std::uint8_t>(length >> 16);
    wire[2] = static_cast<std::uint8_t>(length >> 8);
    wire[3] = static_cast<std::uint8_t>(length);
    if (size > 1)
        std::memcpy(wire.data() + 4, data + 1, size - 1);

    std::vector<std::uint8_t> storage(kind.size, 0);
    void* value = storage.data();
    bool complete = false;
    {
        Bytes_Adapter adapter(wire.data(), wire.size());
        QREX_TCP_Stream stream(&adapter);
        try {
            stream.skip_record();
            kind.function(stream.input(), value);
            complete = true;
        } catch (const ORTU_Exception&) {
        }
    }
    if (complete) {
        // Whatever decoded must encode again.
        Null_Adapter sink;
        QREX_TCP_Stream out(&sink);
        try {
            kind.function(out.output(), value);
        } catch (const QREX_Error&) {
            __builtin_trap();
        }
    }
    kind.release(value);
    // A second release finds nothing more to free.
    kind.release(value);
    return 0;
}
