// Record marking over a TCP connection: a message is one record, sent as
// fragments of a 4-byte big-endian header (bit 31: last fragment, bits 30..0:
// payload length) followed by the payload. Both buffers live inside the
// object, so no message costs an allocation here.
//
// The fragments are cut exactly where a stream with one 4096-byte buffer
// would cut them (at most 4092 payload bytes each, a new fragment only when
// the next item does not fit), but they reach the socket in large writes:
// complete fragments gather in the output buffer, which goes out when it is
// full and at the end of each record. The input side reads as much as the
// socket holds and takes the fragments out of its buffer, so a long record
// costs a few large reads instead of two per fragment.
#pragma once

#include "QREX_Stream.h"
#include "QREX_XDR.h"

constexpr qrex_uint32_t RM_LAST_FRAGMENT = 0x80000000u;

class QREX_TCP_Stream : public QREX_Input_Stream, public QREX_Output_Stream {
public:
    // The size of one fragment, header included, as the wire knows it.
    enum : size_t { BUFFER_SIZE = 4096 };
    enum : size_t { FRAGMENT_PAYLOAD = BUFFER_SIZE - 4 };
    // What goes to and comes from the socket in one call at most.
    enum : size_t { OUTPUT_BUFFER_SIZE = 128 * 1024, INPUT_BUFFER_SIZE = 512 * 1024 };
    // The largest incoming record accepted by default, in payload bytes:
    // far above a download piece or a batch of 32 rows, far below what
    // would hurt to hold.
    enum : size_t { DEFAULT_MAX_RECORD = 16u << 20 };

    // The adapter is not owned and must outlive the stream.
    explicit QREX_TCP_Stream(QREX_Socket_Adapter* socket);
    ~QREX_TCP_Stream() override = default;

    QREX_TCP_Stream(const QREX_TCP_Stream&) = delete;
    QREX_TCP_Stream& operator=(const QREX_TCP_Stream&) = delete;

    // Input side. Reading past the last fragment of a record raises
    // no_more_data instead of running on into the next record, so a record
    // that ends early cannot swallow the message behind it.
    void skip_record() override;
    qrex_uint32_t get_int32() override;
    void get_bytes(void* data, size_t n) override;
    void finish_record() override;
    size_t peek(const unsigned char** data) override;
    void consume(size_t n) override;

    // Incoming records whose fragments announce more payload than this are
    // refused before their payload is read: communication_error, and the
    // connection is abandoned. 0: no limit.
    void set_max_record(size_t bytes) { max_record_ = bytes; }
    size_t max_record() const { return max_record_; }
    // The last failure was a record over that limit.
    bool record_too_large() const { return record_too_large_; }

    // What decoding one record may allocate: factor times the record's
    // payload received so far, plus allowance (for storage taken ahead of
    // the bytes that fill it). Allocations are counted as the heap spends
    // them, small ones at the heap's minimum. Beyond it: communication_error
    // and the connection is abandoned. Factor 0: no limit.
    void limit_memory(unsigned factor, size_t allowance) {
        memory_factor_ = factor;
        memory_allowance_ = allowance;
    }
    void charge_memory(size_t size) override;
    // The last failure was a record over the memory limit.
    bool memory_limit_hit() const { return memory_limit_hit_; }
    // The default for a record from the peer: generous, since a legitimate
    // batch of short values costs several times its bytes.
    enum : unsigned { DEFAULT_MEMORY_FACTOR = 16 };
    enum : size_t { DEFAULT_MEMORY_ALLOWANCE = 1u << 20 };
    // The peer broke the framing rules; every later operation fails.
    bool broken() const { return broken_; }
    // Bytes of the peer are held here, not waiting on the socket: whoever
    // waits for the socket to become readable looks here first.
    bool input_buffered() const { return in_end_ != in_pos_; }

    // Output side. A fragment is complete only when the next item does not
    // fit; complete fragments leave when the buffer is full, and the record
    // leaves whole at its end.
    void end_record() override;
    void put_int32(qrex_uint32_t value) override;
    void put_bytes(const void* data, size_t n) override;
    size_t reserve(unsigned char** data) override;
    void commit(size_t n) override;
    void abort_record() override;

    XDR_StreamInput* input() { return &xdr_in_; }
    XDR_StreamOutput* output() { return &xdr_out_; }

private:
    // Output.
    void close_fragment(bool last);
    void open_fragment(unsigned char* at);
    void flush();
    size_t fragment_room() const { return static_cast<size_t>(fragment_end_ - out_current_); }

    // Input.
    bool next_fragment(size_t wanted);
    void read_fragment_header();
    void refill(size_t keep);
    void check_usable(const char* where);
    [[noreturn]] void break_connection(const char* where, int code);

    QREX_Socket_Adapter* socket_;

    // Complete fragments from out_ to fragment_, then the open fragment:
    // its header slot at fragment_, its payload up to out_current_.
    unsigned char out_[OUTPUT_BUFFER_SIZE];
    unsigned char* fragment_;
    unsigned char* out_current_;
    // Where the open fragment's payload must end: FRAGMENT_PAYLOAD bytes on.
    unsigned char* fragment_end_;
    // A fragment of the record being written has already left.
    bool out_fragment_sent_;

    // Raw bytes of the peer from in_pos_ to in_end_; the first
    // in_fragment_left_ payload bytes of the current fragment start at
    // in_pos_ (as many of them as are here).
    unsigned char in_[INPUT_BUFFER_SIZE];
    unsigned char* in_pos_;
    unsigned char* in_end_;
    qrex_uint32_t in_fragment_left_;
    bool in_last_fragment_;
    // No fragment header of the current record has been read yet.
    bool in_record_start_;
    // Payload announced so far by the fragments of the incoming record.
    size_t in_record_size_;
    size_t max_record_;
    bool record_too_large_;
    // Payload of the incoming record taken so far, and what its decoding
    // has allocated.
    size_t in_record_received_;
    size_t in_record_charged_;
    unsigned memory_factor_;
    size_t memory_allowance_;
    bool memory_limit_hit_;
    bool broken_;

    XDR_StreamInput xdr_in_;
    XDR_StreamOutput xdr_out_;
};
