// The call header that opens every message, and the layout of call_id.
#pragma once

#include "QREX_XDR.h"

enum qrex_msg_type : qrex_int32_t {
    REQUEST = 0,
    REPLY = 1,
    REQUEST_WITH_HASH = 2,
    REQUEST_WITH_TS = 3,
};

enum qrex_reply_status : qrex_int32_t {
    SUCCESS = 0,
    INVALID_MODULE = 1,
    INVALID_INTERFACE = 2,
    INVALID_MEMBER = 3,
    INVALID_HASH = 4,
    GARBAGE_ARG = 5,
};

// Five plain words in memory; on the wire fields 3 and 4 are a union switched
// by msg_type, and ts travels only in the extended form.
struct qrex_header {
    qrex_uint32_t xid;
    qrex_int32_t msg_type;
    union {
        qrex_uint32_t call_id;
        qrex_int32_t reply_status;
    };
    qrex_uint32_t hash;
    qrex_uint32_t ts;
};

// call_id: mod_id in bits 31..24, if_id 23..16, flags 15..8, m_id 7..0.
constexpr qrex_uint32_t QREX_CALL_ONEWAY = 0x100;

constexpr qrex_uint32_t qrex_make_call_id(qrex_uint32_t mod_id, qrex_uint32_t if_id,
                                          qrex_uint32_t flags, qrex_uint32_t m_id) {
    return ((mod_id & 0xFF) << 24) | ((if_id & 0xFF) << 16) | ((flags & 0xFF) << 8) | (m_id & 0xFF);
}
constexpr qrex_uint32_t qrex_call_mod_id(qrex_uint32_t call_id) {
    return call_id >> 24;
}
constexpr qrex_uint32_t qrex_call_if_id(qrex_uint32_t call_id) {
    return (call_id >> 16) & 0xFF;
}
constexpr qrex_uint32_t qrex_call_flags(qrex_uint32_t call_id) {
    return (call_id >> 8) & 0xFF;
}
constexpr qrex_uint32_t qrex_call_m_id(qrex_uint32_t call_id) {
    return call_id & 0xFF;
}

// XDR_functions over a qrex_header. An unknown msg_type raises invalid_union
// for "qrex_header".
void xdr_qrex_header(XDR_Stream* xdr, void* header);
// The basic form, then ts for REQUEST_WITH_TS.
void xdr_qrex_header_ext(XDR_Stream* xdr, void* header);

// "<Unknown:msg_type>" / "<Unknown:reply_status>" for other values.
const char* qrex_msg_type_name(qrex_int32_t value);
const char* qrex_reply_status_name(qrex_int32_t value);
