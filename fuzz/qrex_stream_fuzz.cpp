// Feeds arbitrary bytes to the QREX receive path. The first byte picks the
// mode and seeds the read sizes:
//   even: the bytes are a connection: record-marked stream, call header and
//         a dispatcher serving a module whose members decode strings, byte
//         blocks and arrays of records with strings; replies are discarded;
//   odd:  the bytes are one record's payload, decoded as the nested test
//         record, re-encoded, decoded again and compared, then released.
// Any assertion reached from data is a finding, so assertions abort.
#include "ORTU_OS.h"
#include "ORTU_Object_Manager.h"
#include "QREX_Errors.h"
#include "QREX_Header.h"
#include "QREX_Server.h"
#include "QREX_TCP_Stream.h"
#include "QREX_XDR.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Hands out the input in reads whose sizes follow a small generator.
class Fuzz_Adapter : public QREX_Socket_Adapter {
public:
    Fuzz_Adapter(const uint8_t* data, size_t size, uint32_t seed)
        : data_(data), size_(size), state_(seed | 1) {}

    size_t read(void* buffer, size_t n) override {
        if (pos_ >= size_)
            throw_comm_error("Fuzz_Adapter::read", -10057);
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        size_t k = std::min(n, size_ - pos_);
        k = 1 + state_ % k;
        std::memcpy(buffer, data_ + pos_, k);
        pos_ += k;
        return k;
    }
    void read_exact(void* buffer, size_t n) override {
        auto* p = static_cast<unsigned char*>(buffer);
        while (n) {
            const size_t k = read(p, n);
            p += k;
            n -= k;
        }
    }
    void write(const void*, size_t n) override { written_ += n; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    uint32_t state_;
    size_t written_ = 0;
};

// Collects what an encoder writes.
class Sink_Adapter : public QREX_Socket_Adapter {
public:
    size_t read(void*, size_t) override { throw_comm_error("Sink_Adapter::read", -10057); }
    void read_exact(void*, size_t) override { throw_comm_error("Sink_Adapter::read", -10057); }
    void write(const void* buffer, size_t n) override {
        const auto* p = static_cast<const unsigned char*>(buffer);
        bytes.insert(bytes.end(), p, p + n);
    }
    std::vector<unsigned char> bytes;
};

#pragma pack(push, 1)
struct Pair {
    char* name;
    char* value;
};
struct Row {
    int32_t kind;
    uint32_t count;
    Pair* pairs;
    char label[8];
};
struct Batch {
    uint32_t id;
    bool more;
    uint32_t count;
    Row* rows;
    uint32_t blob_length;
    void* blob;
    uint32_t byte_count;
    uint8_t* bytes;
    int64_t stamp;
};
#pragma pack(pop)

void xdr_pair(XDR_Stream* xdr, void* v) {
    auto* p = static_cast<Pair*>(v);
    xdr->XDR_string(&p->name, QREX_NO_LIMIT);
    xdr->XDR_string(&p->value, 40);
}
void xdr_row(XDR_Stream* xdr, void* v) {
    auto* r = static_cast<Row*>(v);
    xdr->XDR_int32(&r->kind);
    xdr->XDR_array(reinterpret_cast<void**>(&r->pairs), &r->count, 10, sizeof(Pair), xdr_pair);
    xdr->XDR_fixedstring(r->label, sizeof r->label);
}
void xdr_batch(XDR_Stream* xdr, void* v) {
    auto* b = static_cast<Batch*>(v);
    xdr->XDR_uint32(&b->id);
    xdr->XDR_bool(&b->more);
    xdr->XDR_array(reinterpret_cast<void**>(&b->rows), &b->count, 32, sizeof(Row), xdr_row);
    xdr->XDR_bytes(&b->blob, &b->blob_length, QREX_NO_LIMIT);
    xdr->XDR_array(reinterpret_cast<void**>(&b->bytes), &b->byte_count, QREX_NO_LIMIT, 1,
                   qrex_xdr_uchar);
    xdr->XDR_int64(&b->stamp);
}

class Fuzz_Servant : public QREX_Servant {
public:
    void release() override { std::unique_ptr<Fuzz_Servant> self(this); }
};

// Releases a stub's argument record on every way out.
struct Batch_Holder {
    Batch value{};
    ~Batch_Holder() { XDR_Free(&value, xdr_batch); }
};

void batch_stub(QREX_Server_Dispatcher* d, QREX_Servant*) {
    Batch_Holder args;
    d->read_args(&args.value, xdr_batch);
    uint32_t rows = args.value.count;
    d->send_reply(&rows, qrex_xdr_uint32);
}

void oneway_stub(QREX_Server_Dispatcher* d, QREX_Servant*) {
    Batch_Holder args;
    d->read_args(&args.value, xdr_batch);
}

QREX_Servant* make_servant(QREX_Server_Dispatcher*) {
    return new Fuzz_Servant;
}

const QREX_Member_Def members[] = {
    {nullptr, 0, nullptr},
    {batch_stub, 0, "Batch"},
    {oneway_stub, QREX_MEMBER_ONEWAY, "Notify"},
};
const QREX_Interface_Def interfaces[] = {
    {0, nullptr, nullptr, 0, nullptr},
    {3, make_servant, members, 0xF334D2FCu, "Fuzz"},
};
const QREX_Module_Def module_def = {QREX_MODULE_DEF_MAGIC, 0x6A, 2, interfaces, "IPC_Fuzz"};

void quiet(const char*) {}
ORTU_Prompt_Result abort_on_assertion(const char*, const char*) {
    std::abort();
    return pr_abort;
}

void serve(const uint8_t* data, size_t size, uint32_t seed) {
    Fuzz_Adapter adapter(data, size, seed);
    QREX_TCP_Stream stream(&adapter);
    QREX_Server_Dispatcher dispatcher(&module_def);
    for (int i = 0; i < 1000; ++i) {
        try {
            uint32_t delay = 0;
            dispatcher.dispatch(&stream, &delay);
        } catch (const QREX_Communication_Error&) {
            return; // input exhausted
        } catch (const ORTU_Exception&) {
            // framing or decoding refused: the next request starts afresh
        }
    }
}

void decode_record(const uint8_t* data, size_t size, uint32_t seed) {
    std::vector<uint8_t> wire(4 + size);
    const uint32_t header = 0x80000000u | static_cast<uint32_t>(size);
    wire[0] = static_cast<uint8_t>(header >> 24);
    wire[1] = static_cast<uint8_t>(header >> 16);
    wire[2] = static_cast<uint8_t>(header >> 8);
    wire[3] = static_cast<uint8_t>(header);
    std::memcpy(wire.data() + 4, data, size);
    Fuzz_Adapter adapter(wire.data(), wire.size(), seed);
    QREX_TCP_Stream stream(&adapter);
    Batch first{};
    try {
        xdr_batch(stream.input(), &first);
    } catch (const ORTU_Exception&) {
        XDR_Free(&first, xdr_batch);
        return;
    }
    // What decoded must encode, and decode to the same encoding again.
    Sink_Adapter sink;
    QREX_TCP_Stream out(&sink);
    xdr_batch(out.output(), &first);
    out.end_record();
    XDR_Free(&first, xdr_batch);
    Fuzz_Adapter again(sink.bytes.data(), sink.bytes.size(), seed + 1);
    QREX_TCP_Stream in(&again);
    Batch second{};
    xdr_batch(in.input(), &second);
    Sink_Adapter sink2;
    QREX_TCP_Stream out2(&sink2);
    xdr_batch(out2.output(), &second);
    out2.end_record();
    XDR_Free(&second, xdr_batch);
    if (sink.bytes != sink2.bytes)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ORTU_OS::set_debug_output_sink(quiet);
    ORTU_OS::set_assertion_handler(abort_on_assertion);
    ortu_runtime_start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const uint32_t seed = data[0] * 2654435761u;
    if (data[0] & 1)
        decode_record(data + 1, size - 1, seed);
    else
        serve(data + 1, size - 1, seed);
    return 0;
}
