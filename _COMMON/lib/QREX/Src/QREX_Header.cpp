#include "QREX_Header.h"

#include "QREX_Errors.h"

void xdr_qrex_header(XDR_Stream* xdr, void* header) {
    qrex_header* h = static_cast<qrex_header*>(header);
    xdr->XDR_uint32(&h->xid);
    xdr->XDR_int32(&h->msg_type);
    switch (h->msg_type) {
    case REQUEST:
        xdr->XDR_uint32(&h->call_id);
        break;
    case REQUEST_WITH_HASH:
    case REQUEST_WITH_TS:
        xdr->XDR_uint32(&h->call_id);
        xdr->XDR_uint32(&h->hash);
        break;
    case REPLY:
        xdr->XDR_int32(&h->reply_status);
        break;
    default:
        throw_invalid_union("qrex_header", h->msg_type);
    }
}

void xdr_qrex_header_ext(XDR_Stream* xdr, void* header) {
    xdr_qrex_header(xdr, header);
    qrex_header* h = static_cast<qrex_header*>(header);
    if (h->msg_type == REQUEST_WITH_TS)
        xdr->XDR_uint32(&h->ts);
}

const char* qrex_msg_type_name(qrex_int32_t value) {
    switch (value) {
    case REQUEST:
        return "REQUEST";
    case REPLY:
        return "REPLY";
    case REQUEST_WITH_HASH:
        return "REQUEST_WITH_HASH";
    case REQUEST_WITH_TS:
        return "REQUEST_WITH_TS";
    default:
        return "<Unknown:msg_type>";
    }
}

const char* qrex_reply_status_name(qrex_int32_t value) {
    switch (value) {
    case SUCCESS:
        return "SUCCESS";
    case INVALID_MODULE:
        return "INVALID_MODULE";
    case INVALID_INTERFACE:
        return "INVALID_INTERFACE";
    case INVALID_MEMBER:
        return "INVALID_MEMBER";
    case INVALID_HASH:
        return "INVALID_HASH";
    case GARBAGE_ARG:
        return "GARBAGE_ARG";
    default:
        return "<Unknown:reply_status>";
    }
}
