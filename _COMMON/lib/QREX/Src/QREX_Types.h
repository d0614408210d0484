// Wire-level integer types of the RPC framework. Every value on the wire is
// built from big-endian 32-bit words.
#pragma once

#include <cstddef>
#include <cstdint>

typedef std::int8_t qrex_int8_t;
typedef std::uint8_t qrex_uint8_t;
typedef std::int16_t qrex_int16_t;
typedef std::uint16_t qrex_uint16_t;
typedef std::int32_t qrex_int32_t;
typedef std::uint32_t qrex_uint32_t;
typedef std::int64_t qrex_int64_t;
typedef std::uint64_t qrex_uint64_t;

// Passed as a maximum where a string, byte block or array has no limit.
constexpr qrex_uint32_t QREX_NO_LIMIT = 0xFFFFFFFFu;

// Objects are named in log lines by a short tag and a 32-bit identity.
inline unsigned qrex_tag(const void* object) {
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(object));
}
