// The RPC framework's exception classes and the throw functions through which
// the framework raises them. Every thrower writes one line to the "qrex"
// debug group first, so a failure can be traced even when a catcher drops it.
#pragma once

#include "ORTU_Debug.h"
#include "ORTU_Exception.h"
#include "QREX_Types.h"

ORTU_DECLARE_DEBUG_GROUP(qrex);

class QREX_Error : public ORTU_Exception {
public:
    // kind becomes the message; where is a static text and is not copied.
    QREX_Error(const char* kind, const char* where);

    const char* where() const { return where_; }

private:
    const char* where_;
};

class QREX_Out_Of_Memory : public QREX_Error {
public:
    explicit QREX_Out_Of_Memory(const char* where) : QREX_Error("out_of_memory", where) {}
};

class QREX_Communication_Error : public QREX_Error {
public:
    explicit QREX_Communication_Error(const char* where)
        : QREX_Error("communication_error", where) {}
};

// kind is one of "invalid_union", "invalid_size", "no_more_data", "stream overflow".
class QREX_XDR_Error : public QREX_Error {
public:
    QREX_XDR_Error(const char* kind, const char* where) : QREX_Error(kind, where) {}
};

class QREX_Logical_Error : public QREX_Error {
public:
    explicit QREX_Logical_Error(const char* where) : QREX_Error("logical_error", where) {}
};

class QREX_Internal_Error : public QREX_Error {
public:
    explicit QREX_Internal_Error(const char* where) : QREX_Error("internal_error", where) {}
};

// status is the reply_status the peer answered with.
class QREX_Selector_Error : public QREX_Error {
public:
    QREX_Selector_Error(const char* where, qrex_int32_t status)
        : QREX_Error("selector_error", where), status_(status) {}

    qrex_int32_t status() const { return status_; }

private:
    qrex_int32_t status_;
};

// The texts of the logical, internal and selector throwers, and every number,
// appear only in the log line; the raised error keeps its kind and where.
[[noreturn]] void throw_out_of_memory(const char* where, size_t size);
// A negative code is an expected end of a connection and logs at level 2.
[[noreturn]] void throw_comm_error(const char* where, int code);
[[noreturn]] void throw_invalid_union(const char* where, qrex_int32_t discriminant);
[[noreturn]] void throw_invalid_size(const char* where, size_t size, size_t limit);
[[noreturn]] void throw_stream_underflow(const char* where, size_t wanted, size_t available);
[[noreturn]] void throw_stream_overflow(const char* where, size_t wanted, size_t available);
[[noreturn]] void throw_logical_error(const char* where, const char* text);
[[noreturn]] void throw_internal_error(const char* where, const char* text);
[[noreturn]] void throw_selector_error(const char* where, const char* text, qrex_int32_t status);
