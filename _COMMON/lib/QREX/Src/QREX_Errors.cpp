#include "QREX_Errors.h"

#include "ORTU_Object_Manager.h"

#include <cstring>

ORTU_DEFINE_DEBUG_GROUP(qrex);

QREX_Error::QREX_Error(const char* kind, const char* where)
    : ORTU_Exception("%s", kind), where_(where) {}

void throw_out_of_memory(const char* where, size_t size) {
    ORTU_DEBUG(qrex, 0, "throw_out_of_memory(%s, %zu)\n", where, size);
    throw QREX_Out_Of_Memory(where);
}

void throw_comm_error(const char* where, int code) {
    // Negative codes mark the peer's ordinary hang-up: not worth an error line.
    const int level = code < 0 ? 2 : 0;
    const int number = code < 0 ? -code : code;
    ORTU_DEBUG(qrex, level, "throw_comm_error(%s, %d, %s)\n", where, number, std::strerror(number));
    throw QREX_Communication_Error(where);
}

void throw_invalid_union(const char* where, qrex_int32_t discriminant) {
    ORTU_DEBUG(qrex, 0, "throw_invalid_union(%s, %d)\n", where, discriminant);
    throw QREX_XDR_Error("invalid_union", where);
}

void throw_invalid_size(const char* where, size_t size, size_t limit) {
    ORTU_DEBUG(qrex, 0, "throw_invalid_size(%s, %zu/%zu)\n", where, size, limit);
    throw QREX_XDR_Error("invalid_size", where);
}

void throw_stream_underflow(const char* where, size_t wanted, size_t available) {
    ORTU_DEBUG(qrex, 0, "throw_stream_underflow(%s): %zu/%zu\n", where, wanted, available);
    throw QREX_XDR_Error("no_more_data", where);
}

void throw_stream_overflow(const char* where, size_t wanted, size_t available) {
    ORTU_DEBUG(qrex, 0, "throw_stream_overflow(%s): %zu/%zu\n", where, wanted, available);
    throw QREX_XDR_Error("stream overflow", where);
}

void throw_logical_error(const char* where, const char* text) {
    ORTU_DEBUG(qrex, 0, "throw_logical_error(%s: %s)\n", where, text);
    throw QREX_Logical_Error(where);
}

void throw_internal_error(const char* where, const char* text) {
    ORTU_DEBUG(qrex, 0, "throw_internal_error(%s: %s)\n", where, text);
    throw QREX_Internal_Error(where);
}

void throw_selector_error(const char* where, const char* text, qrex_int32_t status) {
    ORTU_DEBUG(qrex, 0, "throw_selector_error(%s: %s, %d)\n", where, text, status);
    throw QREX_Selector_Error(where, status);
}
