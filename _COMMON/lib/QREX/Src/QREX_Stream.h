// The raw byte streams under the XDR codecs, and the socket adapter a TCP
// stream reads and writes through.
#pragma once

#include "QREX_Types.h"

// Reads one message at a time. skip_record must run before each new message.
class QREX_Input_Stream {
public:
    // Drops what is left of the current record, including later fragments.
    virtual void skip_record() = 0;
    // The next big-endian 32-bit word.
    virtual qrex_uint32_t get_int32() = 0;
    virtual void get_bytes(void* data, size_t n) = 0;
    // Reads what is left of the current record up to its last fragment and
    // drops it. Whoever acts on a decoded message calls this first, so that
    // nothing is done for a record that ends early.
    virtual void finish_record() = 0;
    // Contiguous payload of the current record that is here already, without
    // copying: *data points at it until the next call on the stream. Reads
    // from the peer when nothing is here; 0 only from a stream that does
    // not hand out its buffer (the caller then uses get_bytes). The end of
    // the record raises no_more_data as get_bytes does.
    virtual size_t peek(const unsigned char** data) {
        (void)data;
        return 0;
    }
    // Takes n bytes of what peek showed.
    virtual void consume(size_t n) { (void)n; }
    // The decoder is about to allocate size bytes for the current record;
    // a stream that bounds what a record may cost raises here.
    virtual void charge_memory(size_t size) { (void)size; }
    virtual ~QREX_Input_Stream() = default;
    virtual void prepare_input() {}
    virtual void prepare_output() {}
};

class QREX_Output_Stream {
public:
    // Sends what is buffered as the last fragment of the current record.
    virtual void end_record() = 0;
    virtual void put_int32(qrex_uint32_t value) = 0;
    virtual void put_bytes(const void* data, size_t n) = 0;
    // Room for the next bytes of the record where they will go, to be
    // filled in place and then handed over with commit(); it ends where
    // put_bytes would end the fragment. 0 from a stream that does not hand
    // out its buffer (the caller then uses put_bytes).
    virtual size_t reserve(unsigned char** data) {
        (void)data;
        return 0;
    }
    virtual void commit(size_t n) { (void)n; }
    virtual ~QREX_Output_Stream() = default;
    // Gives up the record being written after an encoding failure, so that the
    // next record starts on a boundary. What already left cannot be recalled:
    // the peer then sees a record that ends early and refuses it.
    virtual void abort_record() = 0;
};

// What a TCP stream needs from the connection under it. Each operation raises
// QREX_Communication_Error on failure; the stream lets it pass.
class QREX_Socket_Adapter {
public:
    virtual ~QREX_Socket_Adapter() = default;
    // At least 1 and at most n bytes; returns the count.
    virtual size_t read(void* buffer, size_t n) = 0;
    virtual void read_exact(void* buffer, size_t n) = 0;
    virtual void write(const void* buffer, size_t n) = 0;
    // The stream found the peer breaking the framing rules: nothing more
    // may be read or written on this connection. Closing is the adapter's
    // business; by default the owner does it when the error reaches it.
    virtual void abandon() {}
};
