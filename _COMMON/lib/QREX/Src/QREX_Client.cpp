#include "QREX_Client.h"

#include "QREX_Errors.h"

namespace {

const char* reply_error_message(qrex_int32_t status) {
    switch (status) {
    case INVALID_MODULE:
        return "QREX reply error: Invalid module";
    case INVALID_INTERFACE:
        return "QREX reply error: Invalid interface";
    case INVALID_MEMBER:
        return "QREX reply error: Invalid member";
    case INVALID_HASH:
        return "QREX reply error: Invalid hash";
    case GARBAGE_ARG:
        return "QREX reply error: Garbage argument";
    default:
        return "QREX reply error: Invalid status in response";
    }
}

} // namespace

void abort_partial_record(QREX_TCP_Stream& stream) {
    try {
        stream.abort_record();
    } catch (const QREX_Error&) {
        // A broken connection fails the next call anyway; the caller's own
        // error is the one worth reporting.
    }
}

QREX_TCP_Client_Connection::QREX_TCP_Client_Connection(QREX_Socket_Adapter* socket)
    : stream_(socket), last_xid_(0) {}

void QREX_TCP_Client_Connection::call(qrex_uint32_t call_id, qrex_uint32_t hash, void* result,
                                      XDR_function result_function, void* arguments,
                                      XDR_function argument_function, qrex_uint32_t flags) {
    ORTU_Mutex_Holder hold(lock_);

    const qrex_uint32_t xid = ++last_xid_;
    qrex_header header{};
    header.xid = xid;
    header.msg_type = REQUEST_WITH_HASH;
    header.call_id = call_id;
    header.hash = hash;

    stream_.prepare_output();
    try {
        xdr_qrex_header(stream_.output(), &header);
        argument_function(stream_.output(), arguments);
    } catch (const QREX_Communication_Error&) {
        throw; // the connection is gone: nothing to tidy on it
    } catch (...) {
        // Arguments over their limits: the partial request must not open
        // the next call's record.
        abort_partial_record(stream_);
        throw;
    }
    stream_.end_record();

    if (flags & QREX_FLAG_NO_REPLY)
        return;

    stream_.prepare_input();
    for (;;) {
        stream_.skip_record();
        xdr_qrex_header(stream_.input(), &header);
        if (header.xid == xid)
            break;
        ORTU_DEBUG(qrex, 1, "TCPC.0x%x, invalid xid 0x%x received, expected 0x%x\n", qrex_tag(this),
                   header.xid, xid);
    }

    if (header.msg_type != REPLY)
        throw_logical_error("QREX_TCP_Client_Connection::call", "invalid QREX packet type");

    if (header.reply_status == SUCCESS) {
        result_function(stream_.input(), result);
        // A reply cut short is a failure, however much of it decoded.
        stream_.finish_record();
        return;
    }
    const char* message = reply_error_message(header.reply_status);
    ORTU_DEBUG(qrex, 0, "TCPC.0x%x, %s (%d), call_id 0x%x, hash 0x%x\n", qrex_tag(this), message,
               header.reply_status, call_id, hash);
    throw_selector_error("QREX_TCP_Client_Connection::call", message, header.reply_status);
}
