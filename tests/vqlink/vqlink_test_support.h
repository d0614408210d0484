// Shared helpers of the vqlink tests: wire bytes, an in-memory socket
// adapter, and the runtime of the test program itself.
#pragma once

#include "ORTU_Object_Manager.h"
#include "QREX_Errors.h"
#include "QREX_Stream.h"
#include "QREX_TCP_Stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace vqlink_test {

typedef std::vector<unsigned char> Bytes;

inline Bytes words(std::initializer_list<qrex_uint32_t> values) {
    Bytes b;
    for (qrex_uint32_t v : values) {
        b.push_back(static_cast<unsigned char>(v >> 24));
        b.push_back(static_cast<unsigned char>(v >> 16));
        b.push_back(static_cast<unsigned char>(v >> 8));
        b.push_back(static_cast<unsigned char>(v));
    }
    return b;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

// Characters padded with zero bytes to a whole number of words.
inline Bytes padded(const char* s) {
    Bytes b(s, s + std::strlen(s));
    while (b.size() % 4)
        b.push_back(0);
    return b;
}

inline Bytes record(const Bytes& payload) {
    const qrex_uint32_t size = static_cast<qrex_uint32_t>(payload.size());
    return cat({words({size | RM_LAST_FRAGMENT}), payload});
}

// Reads from one byte vector, writes into another; the end of the input is
// a closed connection.
class Memory_Adapter : public QREX_Socket_Adapter {
public:
    explicit Memory_Adapter(Bytes in = {}) : input(std::move(in)) {}

    size_t read(void* buffer, size_t n) override {
        if (pos_ >= input.size())
            throw_comm_error("Memory_Adapter::read", -10057);
        const size_t k = std::min(n, input.size() - pos_);
        std::memcpy(buffer, input.data() + pos_, k);
        pos_ += k;
        return k;
    }
    void read_exact(void* buffer, size_t n) override {
        unsigned char* p = static_cast<unsigned char*>(buffer);
        while (n) {
            const size_t k = read(p, n);
            p += k;
            n -= k;
        }
    }
    void write(const void* buffer, size_t n) override {
        const unsigned char* p = static_cast<const unsigned char*>(buffer);
        output.insert(output.end(), p, p + n);
    }

    Bytes input;
    Bytes output;

private:
    size_t pos_ = 0;
};

// Fields of packed records may be misaligned: assertions take them by
// value, since a reference to such a field is not allowed.
template <class T> T V(T value) {
    return value;
}

inline Bytes encode_probe(QREX_TCP_Stream& stream, Memory_Adapter& adapter) {
    // A marker word guarantees a fragment, and is cut off again.
    stream.put_int32(0xC0FFEE00u);
    stream.end_record();
    if (adapter.output.size() < 8)
        return {};
    return Bytes(adapter.output.begin() + 4, adapter.output.end() - 4);
}

// Encodes one value with its XDR function and returns the record's payload.
inline Bytes encode(void* value, XDR_function function) {
    Memory_Adapter adapter;
    QREX_TCP_Stream stream(&adapter);
    function(stream.output(), value);
    // An empty value (no arguments) sends no record at all.
    Bytes probe = encode_probe(stream, adapter);
    return probe;
}

// Decodes one value from a payload; the caller releases it.
inline void decode(const Bytes& payload, void* value, XDR_function function) {
    Memory_Adapter adapter(record(payload));
    QREX_TCP_Stream stream(&adapter);
    stream.skip_record();
    function(stream.input(), value);
}

// The test program's own runtime, for the parts it links directly.
class Runtime_Environment : public ::testing::Environment {
public:
    void SetUp() override { ortu_runtime_start(); }
    void TearDown() override { ortu_runtime_stop(); }
};

inline ::testing::Environment* const runtime_environment =
    ::testing::AddGlobalTestEnvironment(new Runtime_Environment);

} // namespace vqlink_test
