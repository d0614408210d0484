#include "QREX_XDR.h"

#include "QREX_Errors.h"
#include "QREX_Memory.h"

#include <algorithm>
#include <cstring>

namespace {

// Values may sit misaligned inside packed records: always copy byte-wise.
template <typename T> T load(const void* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

template <typename T> void store(void* p, T value) {
    std::memcpy(p, &value, sizeof value);
}

qrex_uint32_t padding_of(qrex_uint32_t n) {
    return (4 - (n & 3)) & 3;
}

const unsigned char zero_padding[4] = {0, 0, 0, 0};

// The byte-per-word form in bulk: loops simple enough for the compiler to
// turn into vector instructions, in a wider form too where the processor
// has one.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_ADDRESS__) && !defined(_WIN32)
#define QREX_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QREX_VECTOR_CLONES
#endif

QREX_VECTOR_CLONES void bytes_to_words(const qrex_uint8_t* bytes, unsigned char* words, size_t n) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (size_t j = 0; j < n; ++j) {
        const qrex_uint32_t w = static_cast<qrex_uint32_t>(bytes[j]) << 24;
        std::memcpy(words + 4 * j, &w, 4);
    }
#else
    for (size_t j = 0; j < n; ++j) {
        const qrex_uint32_t w = bytes[j];
        std::memcpy(words + 4 * j, &w, 4);
    }
#endif
}

QREX_VECTOR_CLONES void words_to_bytes(const unsigned char* words, qrex_uint8_t* bytes, size_t n) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (size_t j = 0; j < n; ++j) {
        qrex_uint32_t w;
        std::memcpy(&w, words + 4 * j, 4);
        bytes[j] = static_cast<qrex_uint8_t>(w >> 24);
    }
#else
    for (size_t j = 0; j < n; ++j)
        bytes[j] = words[4 * j + 3];
#endif
}

bool is_scalar_function(XDR_function f) {
    return f == qrex_xdr_char || f == qrex_xdr_uchar || f == qrex_xdr_short ||
           f == qrex_xdr_ushort || f == qrex_xdr_int32 || f == qrex_xdr_uint32 ||
           f == qrex_xdr_int64 || f == qrex_xdr_uint64 || f == qrex_xdr_bool || f == qrex_xdr_empty;
}

} // namespace

// ---------------------------------------------------------------- encoding

void XDR_StreamOutput::XDR_char(qrex_int8_t* value) {
    out_->put_int32(
        static_cast<qrex_uint32_t>(static_cast<qrex_int32_t>(load<qrex_int8_t>(value))));
}

void XDR_StreamOutput::XDR_uchar(qrex_uint8_t* value) {
    out_->put_int32(load<qrex_uint8_t>(value));
}

void XDR_StreamOutput::XDR_short(qrex_int16_t* value) {
    out_->put_int32(
        static_cast<qrex_uint32_t>(static_cast<qrex_int32_t>(load<qrex_int16_t>(value))));
}

void XDR_StreamOutput::XDR_ushort(qrex_uint16_t* value) {
    out_->put_int32(load<qrex_uint16_t>(value));
}

void XDR_StreamOutput::XDR_int32(qrex_int32_t* value) {
    out_->put_int32(static_cast<qrex_uint32_t>(load<qrex_int32_t>(value)));
}

void XDR_StreamOutput::XDR_uint32(qrex_uint32_t* value) {
    out_->put_int32(load<qrex_uint32_t>(value));
}

void XDR_StreamOutput::XDR_int64(qrex_int64_t* value) {
    const qrex_uint64_t v = static_cast<qrex_uint64_t>(load<qrex_int64_t>(value));
    out_->put_int32(static_cast<qrex_uint32_t>(v >> 32));
    out_->put_int32(static_cast<qrex_uint32_t>(v));
}

void XDR_StreamOutput::XDR_uint64(qrex_uint64_t* value) {
    const qrex_uint64_t v = load<qrex_uint64_t>(value);
    out_->put_int32(static_cast<qrex_uint32_t>(v >> 32));
    out_->put_int32(static_cast<qrex_uint32_t>(v));
}

void XDR_StreamOutput::XDR_bool(bool* value) {
    // The byte as it is stored: a record filled by foreign code may hold any
    // value there, and the peer reads every non-zero word as true.
    out_->put_int32(load<qrex_uint8_t>(value));
}

void XDR_StreamOutput::XDR_opaque(void* data, qrex_uint32_t n) {
    if (n == 0)
        return;
    out_->put_bytes(data, n);
    if (const qrex_uint32_t pad = padding_of(n))
        out_->put_bytes(zero_padding, pad);
}

void XDR_StreamOutput::XDR_string(char** text, qrex_uint32_t max_length) {
    char* s = load<char*>(text);
    const size_t length = s ? std::strlen(s) : 0;
    if (length > max_length)
        throw_invalid_size("XDR_StreamOutput::XDR_string", length, max_length);
    // Length, characters and padding straight into the fragment when they
    // fit it, which is the same wire form as writing them one by one.
    const size_t padded = (length + 3) & ~size_t{3};
    unsigned char* room = nullptr;
    if (out_->reserve(&room) >= 4 + padded) {
        const qrex_uint32_t word = static_cast<qrex_uint32_t>(length);
        room[0] = static_cast<unsigned char>(word >> 24);
        room[1] = static_cast<unsigned char>(word >> 16);
        room[2] = static_cast<unsigned char>(word >> 8);
        room[3] = static_cast<unsigned char>(word);
        if (length)
            std::memcpy(room + 4, s, length);
        for (size_t i = length; i < padded; ++i)
            room[4 + i] = 0;
        out_->commit(4 + padded);
        return;
    }
    out_->put_int32(static_cast<qrex_uint32_t>(length));
    XDR_opaque(s, static_cast<qrex_uint32_t>(length));
}

void XDR_StreamOutput::XDR_fixedstring(char* buffer, qrex_uint32_t size) {
    qrex_uint32_t length = size ? static_cast<qrex_uint32_t>(strnlen(buffer, size)) : 0;
    // An unterminated buffer never sends its last character: the receiver's
    // buffer of the same size needs that byte for the terminator.
    if (size && length == size)
        length = size - 1;
    out_->put_int32(length);
    XDR_opaque(buffer, length);
}

void XDR_StreamOutput::XDR_bytes(void** data, qrex_uint32_t* length, qrex_uint32_t max_length) {
    const qrex_uint32_t n = load<qrex_uint32_t>(length);
    if (n > max_length)
        throw_invalid_size("XDR_StreamOutput::XDR_bytes", n, max_length);
    void* p = load<void*>(data);
    if (n && !p)
        throw_invalid_size("XDR_StreamOutput::XDR_bytes", n, 0);
    out_->put_int32(n);
    XDR_opaque(p, n);
}

void XDR_StreamOutput::XDR_array(void** elements, qrex_uint32_t* count, qrex_uint32_t max_count,
                                 qrex_uint32_t element_size, XDR_function function) {
    const qrex_uint32_t n = load<qrex_uint32_t>(count);
    // Refused here as the receiver would refuse it, before anything is sent.
    if (n > max_count)
        throw_invalid_size("XDR_StreamOutput::XDR_array", n, max_count);
    char* p = load<char*>(elements);
    if (n && !p)
        throw_invalid_size("XDR_StreamOutput::XDR_array", n, 0);
    out_->put_int32(n);
    if (n == 0)
        return;
    if (function == qrex_xdr_uchar && element_size == 1) {
        encode_uchar_array(reinterpret_cast<const qrex_uint8_t*>(p), n);
        return;
    }
    for (qrex_uint32_t i = 0; i < n; ++i)
        function(this, p + static_cast<size_t>(i) * element_size);
}

void XDR_StreamOutput::encode_uchar_array(const qrex_uint8_t* elements, qrex_uint32_t count) {
    // Same wire form as one XDR_uchar per element, written in place, as
    // many whole words at a time as the fragment has room for.
    for (qrex_uint32_t done = 0; done < count;) {
        unsigned char* room = nullptr;
        const size_t words = std::min<size_t>(out_->reserve(&room) / 4, count - done);
        if (words == 0) {
            out_->put_int32(elements[done++]);
            continue;
        }
        bytes_to_words(elements + done, room, words);
        out_->commit(4 * words);
        done += static_cast<qrex_uint32_t>(words);
    }
}

// ---------------------------------------------------------------- decoding

void XDR_StreamInput::XDR_char(qrex_int8_t* value) {
    store(value, static_cast<qrex_int8_t>(in_->get_int32() & 0xFF));
}

void XDR_StreamInput::XDR_uchar(qrex_uint8_t* value) {
    store(value, static_cast<qrex_uint8_t>(in_->get_int32() & 0xFF));
}

void XDR_StreamInput::XDR_short(qrex_int16_t* value) {
    store(value, static_cast<qrex_int16_t>(in_->get_int32() & 0xFFFF));
}

void XDR_StreamInput::XDR_ushort(qrex_uint16_t* value) {
    store(value, static_cast<qrex_uint16_t>(in_->get_int32() & 0xFFFF));
}

void XDR_StreamInput::XDR_int32(qrex_int32_t* value) {
    store(value, static_cast<qrex_int32_t>(in_->get_int32()));
}

void XDR_StreamInput::XDR_uint32(qrex_uint32_t* value) {
    store(value, in_->get_int32());
}

void XDR_StreamInput::XDR_int64(qrex_int64_t* value) {
    const qrex_uint64_t high = in_->get_int32();
    const qrex_uint64_t low = in_->get_int32();
    store(value, static_cast<qrex_int64_t>((high << 32) | low));
}

void XDR_StreamInput::XDR_uint64(qrex_uint64_t* value) {
    const qrex_uint64_t high = in_->get_int32();
    const qrex_uint64_t low = in_->get_int32();
    store(value, (high << 32) | low);
}

void XDR_StreamInput::XDR_bool(bool* value) {
    const bool b = in_->get_int32() != 0;
    store(value, b);
}

void XDR_StreamInput::read_padding(qrex_uint32_t n) {
    if (const qrex_uint32_t pad = padding_of(n)) {
        unsigned char skip[4];
        in_->get_bytes(skip, pad);
    }
}

void XDR_StreamInput::XDR_opaque(void* data, qrex_uint32_t n) {
    if (n == 0)
        return;
    in_->get_bytes(data, n);
    read_padding(n);
}

void* XDR_StreamInput::allocate(size_t size) {
    if (size <= QREX_Slab_Allocator::MAX_BLOCK) {
        if (slab_.needs_piece(size))
            in_->charge_memory(QREX_Slab_Allocator::PIECE_SIZE);
        return slab_.allocate(size);
    }
    in_->charge_memory(size);
    return qrex_malloc(size);
}

void XDR_StreamInput::read_growing(char** storage, qrex_uint32_t n, size_t extra,
                                   qrex_uint32_t* received) {
    size_t capacity = std::min<size_t>(n, GROWTH_CHUNK);
    char* buffer = static_cast<char*>(allocate(capacity + extra));
    store(storage, buffer);
    size_t got = 0;
    try {
        while (got < n) {
            if (got == capacity) {
                const size_t grown = std::min<size_t>(n, capacity * 2);
                char* bigger = static_cast<char*>(allocate(grown + extra));
                std::memcpy(bigger, buffer, got);
                qrex_free(buffer);
                buffer = bigger;
                store(storage, buffer);
                capacity = grown;
            }
            const size_t piece = capacity - got;
            in_->get_bytes(buffer + got, piece);
            got += piece;
        }
    } catch (...) {
        if (extra)
            buffer[got] = '\0';
        *received = static_cast<qrex_uint32_t>(got);
        throw;
    }
    *received = static_cast<qrex_uint32_t>(got);
}

void XDR_StreamInput::XDR_string(char** text, qrex_uint32_t max_length) {
    if (!load<char*>(text)) {
        // A string whose length, characters and padding are all in the
        // stream's buffer is taken from there in one step.
        const unsigned char* data = nullptr;
        const size_t avail = in_->peek(&data);
        if (avail >= 4) {
            const qrex_uint32_t length = (qrex_uint32_t{data[0]} << 24) |
                                         (qrex_uint32_t{data[1]} << 16) |
                                         (qrex_uint32_t{data[2]} << 8) | qrex_uint32_t{data[3]};
            const size_t padded = (size_t{length} + 3) & ~size_t{3};
            if (length <= max_length && length < GROWTH_CHUNK && avail >= 4 + padded) {
                char* copy = static_cast<char*>(allocate(size_t{length} + 1));
                std::memcpy(copy, data + 4, length);
                copy[length] = '\0';
                store(text, copy);
                in_->consume(4 + padded);
                return;
            }
        }
    }
    const qrex_uint32_t length = in_->get_int32();
    if (length > max_length)
        throw_invalid_size("XDR_StreamInput::XDR_string", length, max_length);
    // length + 1 bytes of storage must still be a 32-bit size.
    if (length == 0xFFFFFFFFu)
        throw_invalid_size("XDR_StreamInput::XDR_string", length, 0xFFFFFFFEu);
    char* s = load<char*>(text);
    if (s) {
        XDR_opaque(s, length);
        s[length] = '\0';
        return;
    }
    qrex_uint32_t received = 0;
    read_growing(text, length, 1, &received);
    s = load<char*>(text);
    s[length] = '\0';
    read_padding(length);
}

void XDR_StreamInput::XDR_fixedstring(char* buffer, qrex_uint32_t size) {
    const qrex_uint32_t length = in_->get_int32();
    if (length >= size)
        throw_invalid_size("XDR_StreamInput::XDR_fixedstring", length, size);
    XDR_opaque(buffer, length);
    buffer[length] = '\0';
}

void XDR_StreamInput::XDR_bytes(void** data, qrex_uint32_t* length, qrex_uint32_t max_length) {
    const qrex_uint32_t n = in_->get_int32();
    if (n > max_length) {
        // The record keeps a length that matches the storage it has.
        store(length, qrex_uint32_t{0});
        throw_invalid_size("XDR_StreamInput::XDR_bytes", n, max_length);
    }
    store(length, n);
    void* p = load<void*>(data);
    if (p || n == 0) {
        XDR_opaque(p, n);
        return;
    }
    qrex_uint32_t received = 0;
    try {
        read_growing(reinterpret_cast<char**>(data), n, 0, &received);
    } catch (...) {
        store(length, received);
        throw;
    }
    read_padding(n);
}

void XDR_StreamInput::decode_uchar_array(qrex_uint8_t* elements, qrex_uint32_t count) {
    // The low byte of each big-endian word, as XDR_uchar stores it, taken
    // from the stream's buffer as many whole words at a time as are there.
    for (qrex_uint32_t done = 0; done < count;) {
        const unsigned char* data = nullptr;
        const size_t words = std::min<size_t>(in_->peek(&data) / 4, count - done);
        if (words == 0) {
            // A word split across fragments, or a stream without a buffer.
            elements[done++] = static_cast<qrex_uint8_t>(in_->get_int32() & 0xFF);
            continue;
        }
        words_to_bytes(data, elements + done, words);
        in_->consume(4 * words);
        done += static_cast<qrex_uint32_t>(words);
    }
}

void XDR_StreamInput::XDR_array(void** elements, qrex_uint32_t* count, qrex_uint32_t max_count,
                                qrex_uint32_t element_size, XDR_function function) {
    const qrex_uint32_t n = in_->get_int32();
    if (n == 0) {
        store(count, n);
        return;
    }
    // A refused count is not stored: freeing would walk that many elements.
    if (n > max_count) {
        store(count, qrex_uint32_t{0});
        throw_invalid_size("XDR_StreamInput::XDR_array", n, max_count);
    }
    ORTU_ASSERT(element_size > 0);
    if (element_size == 0 ||
        static_cast<qrex_uint64_t>(n) * element_size > static_cast<qrex_uint64_t>(0xFFFFFFFFu)) {
        store(count, qrex_uint32_t{0});
        throw_invalid_size("XDR_StreamInput::XDR_array", n,
                           element_size ? 0xFFFFFFFFu / element_size : 0);
    }
    const bool bytes = function == qrex_xdr_uchar && element_size == 1;
    char* p = load<char*>(elements);
    store(count, n);
    if (p) {
        // The caller sized this storage for the declared maximum.
        std::memset(p, 0, static_cast<size_t>(n) * element_size);
        if (bytes) {
            decode_uchar_array(reinterpret_cast<qrex_uint8_t*>(p), n);
            return;
        }
        for (qrex_uint32_t i = 0; i < n; ++i)
            function(this, p + static_cast<size_t>(i) * element_size);
        return;
    }

    // Storage grows with the elements that actually arrive. Whatever exists
    // is zero-filled and counted, so that freeing after a failure is safe.
    // Bytes come four wire bytes each: their first piece may be larger for
    // the same bytes received.
    const size_t first_piece = bytes ? 4 * GROWTH_CHUNK : GROWTH_CHUNK / element_size;
    size_t capacity = std::min<size_t>(n, std::max<size_t>(1, first_piece));
    p = static_cast<char*>(allocate(capacity * element_size));
    // Bytes hold no pointers and every one is written before it is counted;
    // other elements start as zeros so that freeing after a failure is safe.
    if (!bytes)
        std::memset(p, 0, capacity * element_size);
    store(elements, p);
    size_t done = 0;
    try {
        while (done < n) {
            if (done == capacity) {
                const size_t grown = std::min<size_t>(n, capacity * 2);
                char* bigger = static_cast<char*>(allocate(grown * element_size));
                std::memcpy(bigger, p, capacity * element_size);
                if (!bytes)
                    std::memset(bigger + capacity * element_size, 0,
                                (grown - capacity) * element_size);
                qrex_free(p);
                p = bigger;
                store(elements, p);
                capacity = grown;
            }
            if (bytes) {
                decode_uchar_array(reinterpret_cast<qrex_uint8_t*>(p) + done,
                                   static_cast<qrex_uint32_t>(capacity - done));
                done = capacity;
                continue;
            }
            function(this, p + done * element_size);
            ++done;
        }
    } catch (...) {
        // What exists is counted: zeroed elements, or the bytes written.
        store(count, static_cast<qrex_uint32_t>(bytes ? done : capacity));
        throw;
    }
}

// ---------------------------------------------------------------- freeing

void XDR_StreamFree::XDR_string(char** text, qrex_uint32_t) {
    if (char* s = load<char*>(text)) {
        qrex_free(s);
        store(text, static_cast<char*>(nullptr));
    }
}

void XDR_StreamFree::XDR_bytes(void** data, qrex_uint32_t*, qrex_uint32_t) {
    if (void* p = load<void*>(data)) {
        qrex_free(p);
        store(data, static_cast<void*>(nullptr));
    }
}

void XDR_StreamFree::XDR_array(void** elements, qrex_uint32_t* count, qrex_uint32_t,
                               qrex_uint32_t element_size, XDR_function function) {
    char* p = load<char*>(elements);
    if (!p)
        return;
    const qrex_uint32_t n = load<qrex_uint32_t>(count);
    if (n && !is_scalar_function(function)) {
        for (qrex_uint32_t i = 0; i < n; ++i)
            function(this, p + static_cast<size_t>(i) * element_size);
    }
    qrex_free(p);
    store(elements, static_cast<char*>(nullptr));
}

void XDR_Free(void* value, XDR_function function) {
    XDR_StreamFree stream;
    try {
        function(&stream, value);
    } catch (const QREX_Error& e) {
        ORTU_DEBUG(qrex, 0, "QREX exception during XDR_Free: '%s'\n", e.what());
    } catch (...) {
        ORTU_DEBUG(qrex, 0, "Unknown exception during XDR_Free\n");
    }
}

// ---------------------------------------------------------------- element functions

void qrex_xdr_empty(XDR_Stream*, void*) {}
void qrex_xdr_char(XDR_Stream* xdr, void* v) {
    xdr->XDR_char(static_cast<qrex_int8_t*>(v));
}
void qrex_xdr_uchar(XDR_Stream* xdr, void* v) {
    xdr->XDR_uchar(static_cast<qrex_uint8_t*>(v));
}
void qrex_xdr_short(XDR_Stream* xdr, void* v) {
    xdr->XDR_short(static_cast<qrex_int16_t*>(v));
}
void qrex_xdr_ushort(XDR_Stream* xdr, void* v) {
    xdr->XDR_ushort(static_cast<qrex_uint16_t*>(v));
}
void qrex_xdr_int32(XDR_Stream* xdr, void* v) {
    xdr->XDR_int32(static_cast<qrex_int32_t*>(v));
}
void qrex_xdr_uint32(XDR_Stream* xdr, void* v) {
    xdr->XDR_uint32(static_cast<qrex_uint32_t*>(v));
}
void qrex_xdr_int64(XDR_Stream* xdr, void* v) {
    xdr->XDR_int64(static_cast<qrex_int64_t*>(v));
}
void qrex_xdr_uint64(XDR_Stream* xdr, void* v) {
    xdr->XDR_uint64(static_cast<qrex_uint64_t*>(v));
}
void qrex_xdr_bool(XDR_Stream* xdr, void* v) {
    xdr->XDR_bool(static_cast<bool*>(v));
}
