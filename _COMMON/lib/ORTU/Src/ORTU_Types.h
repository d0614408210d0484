// Fixed-width types and wait constants shared by every unit of the runtime.
#pragma once

#include <cstddef>
#include <cstdint>

typedef std::uint8_t ORTU_BYTE;
typedef std::uint16_t ORTU_UINT16;
typedef std::int16_t ORTU_INT16;
typedef std::uint32_t ORTU_UINT32;
typedef std::int32_t ORTU_INT32;
typedef std::uint64_t ORTU_UINT64;
typedef std::int64_t ORTU_INT64;

// Results of the multi-object waits, as the system reports them: the index of
// the signalled object counted from 0, or these.
constexpr ORTU_UINT32 ORTU_WAIT_OBJECT_0 = 0;
constexpr ORTU_UINT32 ORTU_WAIT_TIMEOUT = 258;
constexpr ORTU_UINT32 ORTU_WAIT_FAILED = 0xFFFFFFFFu;
// A timeout of -1 means no limit.
constexpr ORTU_UINT32 ORTU_INFINITE = 0xFFFFFFFFu;

// Result of a condition wait that ran out of time (the system's "timed out"
// socket error number, which the runtime uses for every timed-out wait).
constexpr int ORTU_WAIT_TIMED_OUT = 10060;
