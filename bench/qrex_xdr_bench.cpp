// Encoding and decoding throughput of the QREX streams, each beside the same
// work done by libtirpc (loaded at run time when it is installed):
//   - a select-result-shaped batch: 32 rows of 10 name/value string pairs,
//     values 1 to 40 characters, through memory;
//   - a 1 MB byte array sent one byte per word;
//   - a one-way stream of 10,000 batches over a loopback TCP connection,
//     QREX_TCP_Stream against xdrrec with 4096-byte send buffers.
#include "ORTU_OS.h"
#include "ORTU_Object_Manager.h"
#include "QREX_Errors.h"
#include "QREX_TCP_Stream.h"
#include "QREX_XDR.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------- the batch

struct Pair {
    char* name;
    char* value;
};
struct Row {
    qrex_uint32_t count;
    Pair* pairs;
};
struct Batch {
    qrex_uint32_t count;
    Row* rows;
    bool more;
};

void xdr_pair(XDR_Stream* xdr, void* v) {
    Pair* p = static_cast<Pair*>(v);
    xdr->XDR_string(&p->name, QREX_NO_LIMIT);
    xdr->XDR_string(&p->value, QREX_NO_LIMIT);
}
void xdr_row(XDR_Stream* xdr, void* v) {
    Row* r = static_cast<Row*>(v);
    xdr->XDR_array(reinterpret_cast<void**>(&r->pairs), &r->count, QREX_NO_LIMIT, sizeof(Pair),
                   xdr_pair);
}
void xdr_batch(XDR_Stream* xdr, void* v) {
    Batch* b = static_cast<Batch*>(v);
    xdr->XDR_array(reinterpret_cast<void**>(&b->rows), &b->count, 32, sizeof(Row), xdr_row);
    xdr->XDR_bool(&b->more);
}

// Owns the texts of one sample batch.
struct Sample {
    std::vector<std::string> texts;
    std::vector<Pair> pairs;
    std::vector<Row> rows;
    Batch batch{};

    Sample() {
        std::mt19937 rng(5);
        texts.reserve(640);
        for (int r = 0; r < 32; ++r)
            for (int p = 0; p < 10; ++p) {
                texts.push_back("column_" + std::to_string(p));
                texts.emplace_back(std::uniform_int_distribution<int>(1, 40)(rng), 'v');
            }
        pairs.resize(320);
        for (size_t i = 0; i < 320; ++i)
            pairs[i] = Pair{texts[2 * i].data(), texts[2 * i + 1].data()};
        rows.resize(32);
        for (size_t r = 0; r < 32; ++r)
            rows[r] = Row{10, &pairs[10 * r]};
        batch = Batch{32, rows.data(), true};
    }
};

// ---------------------------------------------------------------- memory adapters

class Sink : public QREX_Socket_Adapter {
public:
    size_t read(void*, size_t) override { throw_comm_error("Sink::read", -10057); }
    void read_exact(void*, size_t) override { throw_comm_error("Sink::read", -10057); }
    void write(const void* b, size_t n) override {
        const char* p = static_cast<const char*>(b);
        if (keep)
            bytes.insert(bytes.end(), p, p + n);
        total += n;
    }
    bool keep = true;
    std::vector<char> bytes;
    size_t total = 0;
};

class Source : public QREX_Socket_Adapter {
public:
    explicit Source(const std::vector<char>& b) : bytes_(b) {}
    size_t read(void* b, size_t n) override {
        if (pos_ >= bytes_.size())
            throw_comm_error("Source::read", -10057);
        const size_t k = std::min(n, bytes_.size() - pos_);
        std::memcpy(b, bytes_.data() + pos_, k);
        pos_ += k;
        return k;
    }
    void read_exact(void* b, size_t n) override {
        char* p = static_cast<char*>(b);
        while (n) {
            const size_t k = read(p, n);
            p += k;
            n -= k;
        }
    }
    void write(const void*, size_t) override {}
    void rewind() { pos_ = 0; }

private:
    const std::vector<char>& bytes_;
    size_t pos_ = 0;
};

class Fd_Adapter : public QREX_Socket_Adapter {
public:
    explicit Fd_Adapter(int fd) : fd_(fd) {}
    size_t read(void*, size_t) override { throw_comm_error("Fd_Adapter::read", -10057); }
    void read_exact(void*, size_t) override { throw_comm_error("Fd_Adapter::read", -10057); }
    void write(const void* b, size_t n) override {
        const char* p = static_cast<const char*>(b);
        while (n) {
            const ssize_t k = ::send(fd_, p, n, MSG_NOSIGNAL);
            if (k <= 0)
                throw_comm_error("Fd_Adapter::write", 10054);
            p += k;
            n -= static_cast<size_t>(k);
        }
    }

private:
    int fd_;
};

// ---------------------------------------------------------------- libtirpc at run time

struct tirpc_xdr_ops {
    void* getlong;
    void* putlong;
    void* getbytes;
    void* putbytes;
    unsigned (*getpostn)(void*);
    void* setpostn;
    void* inl;
    void (*destroy)(void*);
    void* control;
};
// The library's XDR handle, with room to spare.
struct tirpc_XDR {
    int x_op;
    const tirpc_xdr_ops* x_ops;
    char* x_public;
    void* x_private;
    char* x_base;
    unsigned x_handy;
    char spare[64];
};
typedef int (*tirpc_proc)(tirpc_XDR*, void*, unsigned);
enum { TIRPC_ENCODE = 0, TIRPC_DECODE = 1, TIRPC_FREE = 2 };

struct Tirpc {
    void (*xdrmem_create)(tirpc_XDR*, char*, unsigned, int) = nullptr;
    void (*xdrrec_create)(tirpc_XDR*, unsigned, unsigned, void*, int (*)(void*, void*, int),
                          int (*)(void*, void*, int)) = nullptr;
    int (*xdrrec_endofrecord)(tirpc_XDR*, int) = nullptr;
    int (*xdr_string)(tirpc_XDR*, char**, unsigned) = nullptr;
    int (*xdr_array)(tirpc_XDR*, char**, unsigned*, unsigned, unsigned, tirpc_proc) = nullptr;
    int (*xdr_u_char)(tirpc_XDR*, unsigned char*) = nullptr;
    int (*xdr_bool)(tirpc_XDR*, int*) = nullptr;
    void (*xdr_free)(tirpc_proc, void*) = nullptr;
    bool loaded = false;

    Tirpc() {
        void* lib = ::dlopen("libtirpc.so.3", RTLD_NOW);
        if (!lib)
            return;
        bool ok = true;
        auto get = [&](auto& fn, const char* name) {
            void* sym = ::dlsym(lib, name);
            ok = ok && sym;
            std::memcpy(&fn, &sym, sizeof sym);
        };
        get(xdrmem_create, "xdrmem_create");
        get(xdrrec_create, "xdrrec_create");
        get(xdrrec_endofrecord, "xdrrec_endofrecord");
        get(xdr_string, "xdr_string");
        get(xdr_array, "xdr_array");
        get(xdr_u_char, "xdr_u_char");
        get(xdr_bool, "xdr_bool");
        get(xdr_free, "xdr_free");
        loaded = ok;
    }
};

Tirpc& tirpc() {
    static Tirpc t;
    return t;
}

// The batch in libtirpc's terms: the same shape, int booleans.
struct T_Row {
    unsigned count;
    Pair* pairs;
};
struct T_Batch {
    unsigned count;
    T_Row* rows;
    int more;
};
int t_pair(tirpc_XDR* x, void* v, unsigned) {
    Pair* p = static_cast<Pair*>(v);
    return tirpc().xdr_string(x, &p->name, ~0u) && tirpc().xdr_string(x, &p->value, ~0u);
}
int t_row(tirpc_XDR* x, void* v, unsigned) {
    T_Row* r = static_cast<T_Row*>(v);
    return tirpc().xdr_array(x, reinterpret_cast<char**>(&r->pairs), &r->count, ~0u, sizeof(Pair),
                             t_pair);
}
int t_batch(tirpc_XDR* x, void* v, unsigned) {
    T_Batch* b = static_cast<T_Batch*>(v);
    return tirpc().xdr_array(x, reinterpret_cast<char**>(&b->rows), &b->count, 32, sizeof(T_Row),
                             t_row) &&
           tirpc().xdr_bool(x, &b->more);
}
int t_uchar(tirpc_XDR* x, void* v, unsigned) {
    return tirpc().xdr_u_char(x, static_cast<unsigned char*>(v));
}

struct T_Sample {
    Sample s;
    std::vector<T_Row> rows;
    T_Batch batch{};
    T_Sample() {
        for (Row& r : s.rows)
            rows.push_back(T_Row{r.count, r.pairs});
        batch = T_Batch{32, rows.data(), 1};
    }
};

void runtime() {
    static bool started = [] {
        ORTU_OS::set_debug_output_sink([](const char*) {});
        ortu_runtime_start();
        return true;
    }();
    (void)started;
}

// ---------------------------------------------------------------- batch benchmarks

std::vector<char> qrex_encoded_batch() {
    Sample sample;
    Sink sink;
    QREX_TCP_Stream stream(&sink);
    xdr_batch(stream.output(), &sample.batch);
    stream.end_record();
    return sink.bytes;
}

// The fragments' payloads joined, as libtirpc's memory streams read them.
std::vector<char> payload_of(const std::vector<char>& wire) {
    std::vector<char> payload;
    for (size_t at = 0; at + 4 <= wire.size();) {
        const unsigned char* h = reinterpret_cast<const unsigned char*>(&wire[at]);
        const size_t n =
            ((size_t{h[0]} & 0x7F) << 24) | (size_t{h[1]} << 16) | (size_t{h[2]} << 8) | h[3];
        payload.insert(payload.end(), wire.begin() + at + 4, wire.begin() + at + 4 + n);
        at += 4 + n;
    }
    return payload;
}

void BM_QREX_EncodeBatch(benchmark::State& state) {
    runtime();
    Sample sample;
    Sink sink;
    sink.keep = false;
    QREX_TCP_Stream stream(&sink);
    for (auto _ : state) {
        xdr_batch(stream.output(), &sample.batch);
        stream.end_record();
    }
    state.SetBytesProcessed(static_cast<int64_t>(sink.total));
    state.counters["rows/s"] =
        benchmark::Counter(32.0 * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_TIRPC_EncodeBatch(benchmark::State& state) {
    if (!tirpc().loaded) {
        state.SkipWithError("libtirpc.so.3 not installed");
        return;
    }
    T_Sample sample;
    std::vector<char> buffer(1 << 20);
    size_t total = 0;
    for (auto _ : state) {
        tirpc_XDR x{};
        tirpc().xdrmem_create(&x, buffer.data(), static_cast<unsigned>(buffer.size()),
                              TIRPC_ENCODE);
        t_batch(&x, &sample.batch, 0);
        total += x.x_ops->getpostn(&x);
    }
    state.SetBytesProcessed(static_cast<int64_t>(total));
    state.counters["rows/s"] =
        benchmark::Counter(32.0 * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_QREX_DecodeBatch(benchmark::State& state) {
    runtime();
    const std::vector<char> wire = qrex_encoded_batch();
    Source source(wire);
    for (auto _ : state) {
        source.rewind();
        QREX_TCP_Stream stream(&source);
        Batch b{};
        xdr_batch(stream.input(), &b);
        const bool decoded = b.count == 32 && b.rows[31].count == 10;
        XDR_Free(&b, xdr_batch);
        if (!decoded) {
            state.SkipWithError("the batch did not decode");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(wire.size() * state.iterations()));
    state.counters["rows/s"] =
        benchmark::Counter(32.0 * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_TIRPC_DecodeBatch(benchmark::State& state) {
    if (!tirpc().loaded) {
        state.SkipWithError("libtirpc.so.3 not installed");
        return;
    }
    // The same payload without its record marks: the batch is longer than
    // one fragment.
    std::vector<char> wire = payload_of(qrex_encoded_batch());
    for (auto _ : state) {
        tirpc_XDR x{};
        tirpc().xdrmem_create(&x, wire.data(), static_cast<unsigned>(wire.size()), TIRPC_DECODE);
        T_Batch b{};
        const bool decoded = t_batch(&x, &b, 0) && b.count == 32 && b.rows[31].count == 10;
        tirpc().xdr_free(t_batch, &b);
        if (!decoded) {
            state.SkipWithError("libtirpc could not decode the batch");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(wire.size() * state.iterations()));
    state.counters["rows/s"] =
        benchmark::Counter(32.0 * state.iterations(), benchmark::Counter::kIsRate);
}

// ---------------------------------------------------------------- byte-per-word array

struct Byte_Array {
    qrex_uint32_t count;
    qrex_uint8_t* elements;
};
void xdr_byte_array(XDR_Stream* xdr, void* v) {
    Byte_Array* a = static_cast<Byte_Array*>(v);
    xdr->XDR_array(reinterpret_cast<void**>(&a->elements), &a->count, QREX_NO_LIMIT, 1,
                   qrex_xdr_uchar);
}

std::vector<char> byte_array_wire() {
    std::vector<qrex_uint8_t> data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<qrex_uint8_t>(i);
    Byte_Array a{static_cast<qrex_uint32_t>(data.size()), data.data()};
    Sink sink;
    QREX_TCP_Stream stream(&sink);
    xdr_byte_array(stream.output(), &a);
    stream.end_record();
    return sink.bytes;
}

void BM_QREX_DecodeByteArray(benchmark::State& state) {
    runtime();
    const std::vector<char> wire = byte_array_wire();
    Source source(wire);
    for (auto _ : state) {
        source.rewind();
        QREX_TCP_Stream stream(&source);
        Byte_Array a{0, nullptr};
        stream.skip_record();
        xdr_byte_array(stream.input(), &a);
        XDR_Free(&a, xdr_byte_array);
    }
    // payload: the bytes the array carries
    state.SetBytesProcessed(static_cast<int64_t>((1 << 20) * state.iterations()));
}

void BM_TIRPC_DecodeByteArray(benchmark::State& state) {
    if (!tirpc().loaded) {
        state.SkipWithError("libtirpc.so.3 not installed");
        return;
    }
    std::vector<char> payload = payload_of(byte_array_wire());
    for (auto _ : state) {
        tirpc_XDR x{};
        tirpc().xdrmem_create(&x, payload.data(), static_cast<unsigned>(payload.size()),
                              TIRPC_DECODE);
        char* elements = nullptr;
        unsigned count = 0;
        tirpc().xdr_array(&x, &elements, &count, ~0u, 1, t_uchar);
        std::free(elements);
    }
    state.SetBytesProcessed(static_cast<int64_t>((1 << 20) * state.iterations()));
}

// ---------------------------------------------------------------- over loopback

// A connected loopback pair whose far end is drained by a thread.
class Drained_Connection {
public:
    Drained_Connection() {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
        ::listen(listener, 1);
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        const int peer = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        drain_ = std::thread([peer] {
            char buffer[65536];
            while (::recv(peer, buffer, sizeof buffer, 0) > 0) {
            }
            ::close(peer);
        });
    }
    ~Drained_Connection() {
        ::shutdown(fd_, SHUT_WR);
        drain_.join();
        ::close(fd_);
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::thread drain_;
};

constexpr int STREAM_BATCHES = 10000;

void BM_QREX_StreamBatches(benchmark::State& state) {
    runtime();
    Sample sample;
    Drained_Connection connection;
    Fd_Adapter adapter(connection.fd());
    QREX_TCP_Stream stream(&adapter);
    const size_t batch_bytes = qrex_encoded_batch().size();
    for (auto _ : state) {
        for (int i = 0; i < STREAM_BATCHES; ++i) {
            xdr_batch(stream.output(), &sample.batch);
            stream.end_record();
        }
    }
    state.SetBytesProcessed(
        static_cast<int64_t>(batch_bytes * STREAM_BATCHES * state.iterations()));
    state.counters["rows/s"] =
        benchmark::Counter(32.0 * STREAM_BATCHES * state.iterations(), benchmark::Counter::kIsRate);
}

int tirpc_write(void* handle, void* data, int n) {
    const int fd = *static_cast<int*>(handle);
    const char* p = static_cast<const char*>(data);
    int left = n;
    while (left > 0) {
        const ssize_t k = ::send(fd, p, static_cast<size_t>(left), MSG_NOSIGNAL);
        if (k <= 0)
            return -1;
        p += k;
        left -= static_cast<int>(k);
    }
    return n;
}
int tirpc_read(void*, void*, int) {
    return -1;
}

void BM_TIRPC_StreamBatches(benchmark::State& state) {
    if (!tirpc().loaded) {
        state.SkipWithError("libtirpc.so.3 not installed");
        return;
    }
    T_Sample sample;
    Drained_Connection connection;
    int fd = connection.fd();
    tirpc_XDR x{};
    tirpc().xdrrec_create(&x, 4096, 4096, &fd, tirpc_read, tirpc_write);
    x.x_op = TIRPC_ENCODE;
    const size_t batch_bytes = qrex_encoded_batch().size();
    for (auto _ : state) {
        for (int i = 0; i < STREAM_BATCHES; ++i) {
            t_batch(&x, &sample.batch, 0);
            tirpc().xdrrec_endofrecord(&x, 1);
        }
    }
    x.x_ops->destroy(&x);
    state.SetBytesProcessed(
        static_cast<int64_t>(batch_bytes * STREAM_BATCHES * state.iterations()));
    state.counters["rows/s"] =
        benchmark::Counter(32.0 * STREAM_BATCHES * state.iterations(), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_QREX_EncodeBatch);
BENCHMARK(BM_TIRPC_EncodeBatch);
BENCHMARK(BM_QREX_DecodeBatch);
BENCHMARK(BM_TIRPC_DecodeBatch);
BENCHMARK(BM_QREX_DecodeByteArray);
BENCHMARK(BM_TIRPC_DecodeByteArray);
BENCHMARK(BM_QREX_StreamBatches)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TIRPC_StreamBatches)->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
