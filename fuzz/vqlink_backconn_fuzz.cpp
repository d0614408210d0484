// Plays arbitrary bytes as the archive server's side of a back connection
// into the library's serving loop: dispatcher, DBClient stubs, the servant
// and the host's callbacks, which read every field they are given.
#include "ConnectionManager.h"
#include "DBClient_impl.h"
#include "ORTU_Object_Manager.h"
#include "QREX_Errors.h"
#include "QREX_Server.h"
#include "QREX_TCP_Stream.h"
#include "vqlink_callbacks.h"

#include <cstdint>
#include <cstring>

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
    void write(const void*, size_t n) override { written_ += n; }
    bool at_end() const { return pos_ >= size_; }

private:
    const std::uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    size_t written_ = 0;
};

volatile std::uint32_t sink;

void touch(const char* text) {
    if (text)
        sink = sink + static_cast<std::uint32_t>(std::strlen(text));
}
void touch(const TDAError& e) {
    sink = sink + static_cast<std::uint32_t>(e.error);
    touch(e.msg);
}

void on_select(const IPC_DA_DBClient::TSelectResult* r) {
    for (std::uint32_t i = 0; i < r->rows.rows_len; ++i)
        for (std::uint32_t c = 0; c < r->rows.rows_val[i].cols.cols_len; ++c) {
            touch(r->rows.rows_val[i].cols.cols_val[c].name);
            touch(r->rows.rows_val[i].cols.cols_val[c].value);
        }
    touch(r->error);
}
void on_delete(const IPC_DA_DBClient::TDeleteComplete* r) {
    touch(r->error);
}
void on_download(const IPC_DA_DBClient::TDownloadProcess* r) {
    for (std::uint32_t i = 0; i < r->data.data_len; ++i)
        sink = sink + r->data.data_val[i];
    touch(r->error);
}
void on_search(const IPC_DA_DBClient::TSearchProcess* r) {
    for (std::uint32_t i = 0; i < r->recs.recs_len; ++i)
        sink = sink + r->recs.recs_val[i];
    touch(r->error);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ortu_runtime_start();
    VQLink_Callbacks::select_result.store(&on_select);
    VQLink_Callbacks::delete_complete.store(&on_delete);
    VQLink_Callbacks::download_process.store(&on_download);
    VQLink_Callbacks::search_process.store(&on_search);
    ConnectionManager::instance(); // the servant and the stored password
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    Bytes_Adapter adapter(data, size);
    QREX_Server_Dispatcher dispatcher(&IPC_DA_DBClient_definition);
    QREX_TCP_Stream stream(&adapter);
    try {
        serve_back_connection(dispatcher, stream, [&] { return !adapter.at_end(); });
    } catch (const ORTU_Exception&) {
        // The connection would end here, as it does on a real socket.
    }
    return 0;
}
