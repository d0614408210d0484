// The calling side of the RPC framework: numbers the calls, sends each as
// one record, waits for its reply and turns error replies into exceptions.
#pragma once

#include "ORTU_Sync.h"
#include "QREX_Header.h"
#include "QREX_TCP_Stream.h"
#include "QREX_XDR.h"

// flags of call(): do not wait for a reply (set together with
// QREX_CALL_ONEWAY in call_id).
constexpr qrex_uint32_t QREX_FLAG_NO_REPLY = 0x1;

// Drops the record being written after an encoding failure; a failure of the
// connection while doing so is left to the next operation to report.
void abort_partial_record(QREX_TCP_Stream& stream);

class QREX_Client_Connection {
public:
    virtual void call(qrex_uint32_t call_id, qrex_uint32_t hash, void* result,
                      XDR_function result_function, void* arguments, XDR_function argument_function,
                      qrex_uint32_t flags) = 0;
    virtual ~QREX_Client_Connection() = default;
};

class QREX_TCP_Client_Connection : public QREX_Client_Connection {
public:
    // The adapter is not owned and must outlive the connection.
    explicit QREX_TCP_Client_Connection(QREX_Socket_Adapter* socket);
    ~QREX_TCP_Client_Connection() override = default;

    QREX_TCP_Client_Connection(const QREX_TCP_Client_Connection&) = delete;
    QREX_TCP_Client_Connection& operator=(const QREX_TCP_Client_Connection&) = delete;

    // One call at a time, from the first byte of the request to the end of
    // the result's decoding. Replies of earlier calls are skipped by xid.
    void call(qrex_uint32_t call_id, qrex_uint32_t hash, void* result, XDR_function result_function,
              void* arguments, XDR_function argument_function, qrex_uint32_t flags) override;

    qrex_uint32_t last_xid() const { return last_xid_; }

private:
    ORTU_Mutex lock_;
    QREX_TCP_Stream stream_;
    qrex_uint32_t last_xid_;
};
