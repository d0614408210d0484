// XDR codecs. Each protocol type has one XDR_function that applies a stream's
// operations to its fields in declaration order; given an XDR_StreamOutput it
// encodes, an XDR_StreamInput decodes, an XDR_StreamFree releases.
//
// Value pointers may point into packed records and so be misaligned: the
// streams read and write through them byte-wise.
#pragma once

#include "QREX_Memory.h"
#include "QREX_Stream.h"
#include "QREX_Types.h"

class XDR_Stream;

typedef void (*XDR_function)(XDR_Stream* xdr, void* value);

class XDR_Stream {
public:
    virtual void XDR_char(qrex_int8_t* value) = 0;
    virtual void XDR_uchar(qrex_uint8_t* value) = 0;
    virtual void XDR_short(qrex_int16_t* value) = 0;
    virtual void XDR_ushort(qrex_uint16_t* value) = 0;
    // Enumerations go through this one too.
    virtual void XDR_int32(qrex_int32_t* value) = 0;
    virtual void XDR_uint32(qrex_uint32_t* value) = 0;
    virtual void XDR_int64(qrex_int64_t* value) = 0;
    virtual void XDR_uint64(qrex_uint64_t* value) = 0;
    virtual void XDR_bool(bool* value) = 0;
    // *text may be null on encoding (sent as ""); decoding into a null pointer
    // allocates length + 1 bytes.
    virtual void XDR_string(char** text, qrex_uint32_t max_length) = 0;
    // A buffer of size bytes inside the record holding at most size - 1 characters.
    virtual void XDR_fixedstring(char* buffer, qrex_uint32_t size) = 0;
    virtual void XDR_bytes(void** data, qrex_uint32_t* length, qrex_uint32_t max_length) = 0;
    virtual void XDR_opaque(void* data, qrex_uint32_t n) = 0;
    // Element i lives at *elements + i * element_size.
    virtual void XDR_array(void** elements, qrex_uint32_t* count, qrex_uint32_t max_count,
                           qrex_uint32_t element_size, XDR_function function) = 0;
    virtual ~XDR_Stream() = default;
};

class XDR_StreamOutput : public XDR_Stream {
public:
    explicit XDR_StreamOutput(QREX_Output_Stream* out) : out_(out) {}

    void XDR_char(qrex_int8_t* value) override;
    void XDR_uchar(qrex_uint8_t* value) override;
    void XDR_short(qrex_int16_t* value) override;
    void XDR_ushort(qrex_uint16_t* value) override;
    void XDR_int32(qrex_int32_t* value) override;
    void XDR_uint32(qrex_uint32_t* value) override;
    void XDR_int64(qrex_int64_t* value) override;
    void XDR_uint64(qrex_uint64_t* value) override;
    void XDR_bool(bool* value) override;
    void XDR_string(char** text, qrex_uint32_t max_length) override;
    void XDR_fixedstring(char* buffer, qrex_uint32_t size) override;
    void XDR_bytes(void** data, qrex_uint32_t* length, qrex_uint32_t max_length) override;
    void XDR_opaque(void* data, qrex_uint32_t n) override;
    void XDR_array(void** elements, qrex_uint32_t* count, qrex_uint32_t max_count,
                   qrex_uint32_t element_size, XDR_function function) override;

    QREX_Output_Stream* raw() const { return out_; }

private:
    void encode_uchar_array(const qrex_uint8_t* elements, qrex_uint32_t count);

    QREX_Output_Stream* out_;
};

// Refuses, with invalid_size: lengths and counts above their declared maximum,
// and sizes whose storage would not fit in 32 bits. Storage for strings, byte
// blocks and arrays grows as their data arrives, so a peer that announces a
// huge value and sends little costs little.
class XDR_StreamInput : public XDR_Stream {
public:
    explicit XDR_StreamInput(QREX_Input_Stream* in) : in_(in) {}

    void XDR_char(qrex_int8_t* value) override;
    void XDR_uchar(qrex_uint8_t* value) override;
    void XDR_short(qrex_int16_t* value) override;
    void XDR_ushort(qrex_uint16_t* value) override;
    void XDR_int32(qrex_int32_t* value) override;
    void XDR_uint32(qrex_uint32_t* value) override;
    void XDR_int64(qrex_int64_t* value) override;
    void XDR_uint64(qrex_uint64_t* value) override;
    void XDR_bool(bool* value) override;
    void XDR_string(char** text, qrex_uint32_t max_length) override;
    void XDR_fixedstring(char* buffer, qrex_uint32_t size) override;
    void XDR_bytes(void** data, qrex_uint32_t* length, qrex_uint32_t max_length) override;
    void XDR_opaque(void* data, qrex_uint32_t n) override;
    void XDR_array(void** elements, qrex_uint32_t* count, qrex_uint32_t max_count,
                   qrex_uint32_t element_size, XDR_function function) override;

    QREX_Input_Stream* raw() const { return in_; }

    // Largest piece allocated ahead of the data that fills it.
    static constexpr size_t GROWTH_CHUNK = 64 * 1024;

private:
    void read_padding(qrex_uint32_t n);
    // Reads n bytes into storage that grows as they arrive; *storage is kept
    // current so that a failure leaves it attached to the value. extra bytes
    // are reserved behind the data (the string terminator). *received gets
    // the bytes that arrived, also when an exception leaves.
    void read_growing(char** storage, qrex_uint32_t n, size_t extra, qrex_uint32_t* received);
    void decode_uchar_array(qrex_uint8_t* elements, qrex_uint32_t count);
    // Storage for a decoded value, charged to the record: small blocks from
    // the slab (the record is charged each piece the slab takes), larger
    // ones from the heap.
    void* allocate(size_t size);

    QREX_Input_Stream* in_;
    QREX_Slab_Allocator slab_;
};

// Releases what decoding allocated and nulls the pointers; never raises.
class XDR_StreamFree : public XDR_Stream {
public:
    void XDR_char(qrex_int8_t*) override {}
    void XDR_uchar(qrex_uint8_t*) override {}
    void XDR_short(qrex_int16_t*) override {}
    void XDR_ushort(qrex_uint16_t*) override {}
    void XDR_int32(qrex_int32_t*) override {}
    void XDR_uint32(qrex_uint32_t*) override {}
    void XDR_int64(qrex_int64_t*) override {}
    void XDR_uint64(qrex_uint64_t*) override {}
    void XDR_bool(bool*) override {}
    void XDR_string(char** text, qrex_uint32_t max_length) override;
    void XDR_fixedstring(char*, qrex_uint32_t) override {}
    void XDR_bytes(void** data, qrex_uint32_t* length, qrex_uint32_t max_length) override;
    void XDR_opaque(void*, qrex_uint32_t) override {}
    void XDR_array(void** elements, qrex_uint32_t* count, qrex_uint32_t max_count,
                   qrex_uint32_t element_size, XDR_function function) override;
};

// Runs function over value with an XDR_StreamFree. Errors are logged, not raised.
void XDR_Free(void* value, XDR_function function);

// Element functions for arrays of scalars, and the function that encodes and
// decodes nothing (calls without arguments or result). An array of
// qrex_xdr_uchar elements (one byte per word on the wire) is decoded in bulk.
void qrex_xdr_empty(XDR_Stream* xdr, void* value);
void qrex_xdr_char(XDR_Stream* xdr, void* value);
void qrex_xdr_uchar(XDR_Stream* xdr, void* value);
void qrex_xdr_short(XDR_Stream* xdr, void* value);
void qrex_xdr_ushort(XDR_Stream* xdr, void* value);
void qrex_xdr_int32(XDR_Stream* xdr, void* value);
void qrex_xdr_uint32(XDR_Stream* xdr, void* value);
void qrex_xdr_int64(XDR_Stream* xdr, void* value);
void qrex_xdr_uint64(XDR_Stream* xdr, void* value);
void qrex_xdr_bool(XDR_Stream* xdr, void* value);
