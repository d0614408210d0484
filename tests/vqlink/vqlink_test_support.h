// Shared helpers of the vqlink tests: the wire helpers of the QREX tests,
// record encoding and decoding, and the runtime of the test program itself.
#pragma once

#include "ORTU_Object_Manager.h"
#include "QREX_Errors.h"
#include "QREX_Stream.h"
#include "QREX_TCP_Stream.h"
#include "qrex_wire_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace vqlink_test {

using qrex_test::Bytes;
using qrex_test::cat;
using qrex_test::Memory_Adapter;
using qrex_test::record;
using qrex_test::words;

// Characters padded with zero bytes to a whole number of words.
inline Bytes padded(const char* s) {
    Bytes b(s, s + std::strlen(s));
    while (b.size() % 4)
        b.push_back(0);
    return b;
}

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
