#include "QREX_TCP_Stream.h"

#include "QREX_Errors.h"

#include <algorithm>
#include <cstring>

namespace {

qrex_uint32_t get_be32(const unsigned char* p) {
    return (qrex_uint32_t{p[0]} << 24) | (qrex_uint32_t{p[1]} << 16) | (qrex_uint32_t{p[2]} << 8) |
           qrex_uint32_t{p[3]};
}

// Winsock's numbers, as the socket layer reports them: "message too long"
// and "connection aborted".
constexpr int MESSAGE_TOO_LONG = 10040;
constexpr int CONNECTION_ABORTED = 10053;

void put_be32(unsigned char* p, qrex_uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

} // namespace

QREX_TCP_Stream::QREX_TCP_Stream(QREX_Socket_Adapter* socket)
    : socket_(socket), out_current_(out_ + sizeof(qrex_int32_t)), out_end_(out_ + BUFFER_SIZE),
      in_current_(in_), in_end_of_data_(in_), in_last_fragment_(true), in_fragment_not_read_(0),
      in_record_start_(true), out_fragment_sent_(false), in_record_size_(0),
      max_record_(DEFAULT_MAX_RECORD), record_too_large_(false), in_record_received_(0),
      in_record_charged_(0), memory_factor_(DEFAULT_MEMORY_FACTOR),
      memory_allowance_(DEFAULT_MEMORY_ALLOWANCE), memory_limit_hit_(false), broken_(false),
      xdr_in_(this), xdr_out_(this) {}

namespace {

// What the heap really spends on a block: a header word, rounded up to 16
// bytes, never less than 32.
size_t heap_cost(size_t size) {
    const size_t chunk = (size + 8 + 15) & ~size_t{15};
    return chunk < 32 ? 32 : chunk;
}

} // namespace

void QREX_TCP_Stream::charge_memory(size_t size) {
    in_record_charged_ += heap_cost(size);
    if (!memory_factor_)
        return;
    const size_t allowed = memory_allowance_ + memory_factor_ * in_record_received_;
    if (in_record_charged_ <= allowed)
        return;
    ORTU_DEBUG(qrex, 0,
               "TCPStr.0x%x, record of %zu bytes would take more than %zu bytes of memory\n",
               qrex_tag(this), in_record_received_, allowed);
    memory_limit_hit_ = true;
    break_connection("QREX_TCP_Stream::charge_memory", MESSAGE_TOO_LONG);
}

void QREX_TCP_Stream::check_usable(const char* where) {
    if (broken_)
        throw_comm_error(where, CONNECTION_ABORTED);
}

void QREX_TCP_Stream::break_connection(const char* where, int code) {
    broken_ = true;
    in_current_ = in_end_of_data_ = in_;
    in_fragment_not_read_ = 0;
    try {
        socket_->abandon();
    } catch (...) {
        // Closing is a courtesy here; the error below is what counts.
    }
    throw_comm_error(where, code);
}

// ---------------------------------------------------------------- output

void QREX_TCP_Stream::send_fragment(bool last) {
    ORTU_ASSERT(out_current_ - out_ > (int)sizeof(qrex_int32_t));
    const qrex_uint32_t size =
        static_cast<qrex_uint32_t>(out_current_ - out_ - sizeof(qrex_int32_t));
    if (size == 0)
        return;
    ORTU_ASSERT((size & RM_LAST_FRAGMENT) == 0);
    put_be32(out_, last ? (size | RM_LAST_FRAGMENT) : size);
    ORTU_DEBUG(qrex, 3, "TCPStr.0x%x, send fragment %d, %s\n", qrex_tag(this), (int)size,
               last ? "L" : "");
    // Emptied before writing: a failed write must not leave the fragment
    // behind to go out again in front of a later message.
    out_current_ = out_ + sizeof(qrex_int32_t);
    out_fragment_sent_ = !last;
    socket_->write(out_, size + sizeof(qrex_int32_t));
}

void QREX_TCP_Stream::put_int32(qrex_uint32_t value) {
    check_usable("QREX_TCP_Stream::put_int32");
    if (out_end_ - out_current_ < (int)sizeof(qrex_int32_t))
        send_fragment(false);
    ORTU_ASSERT(out_current_ + sizeof(qrex_int32_t) <= out_end_);
    put_be32(out_current_, value);
    out_current_ += sizeof(qrex_int32_t);
}

void QREX_TCP_Stream::put_bytes(const void* data, size_t n) {
    check_usable("QREX_TCP_Stream::put_bytes");
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (n) {
        size_t free_room = static_cast<size_t>(out_end_ - out_current_);
        if (free_room == 0) {
            send_fragment(false);
            free_room = static_cast<size_t>(out_end_ - out_current_);
            ORTU_ASSERT(free_room);
        }
        const size_t k = std::min(free_room, n);
        std::memcpy(out_current_, p, k);
        out_current_ += k;
        p += k;
        n -= k;
    }
}

void QREX_TCP_Stream::end_record() {
    check_usable("QREX_TCP_Stream::end_record");
    send_fragment(true);
}

void QREX_TCP_Stream::abort_record() {
    out_current_ = out_ + sizeof(qrex_int32_t);
    if (!out_fragment_sent_)
        return;
    // Part of the record is already on the wire: close it with an empty last
    // fragment so the peer sees where it ends.
    unsigned char header[sizeof(qrex_int32_t)];
    put_be32(header, RM_LAST_FRAGMENT);
    ORTU_DEBUG(qrex, 3, "TCPStr.0x%x, send fragment %d, %s\n", qrex_tag(this), 0, "L");
    out_fragment_sent_ = false;
    socket_->write(header, sizeof header);
}

// ---------------------------------------------------------------- input

void QREX_TCP_Stream::read_fragment_header() {
    ORTU_ASSERT(!in_fragment_not_read_);
    unsigned char header[sizeof(qrex_int32_t)];
    socket_->read_exact(header, sizeof header);
    const qrex_uint32_t word = get_be32(header);
    in_last_fragment_ = (word & RM_LAST_FRAGMENT) != 0;
    in_fragment_not_read_ = word & ~RM_LAST_FRAGMENT;
    in_record_start_ = false;
    ORTU_DEBUG(qrex, 3, "TCPStr.0x%x, recv fragment %ld, %s\n", qrex_tag(this),
               (long)in_fragment_not_read_, in_last_fragment_ ? "L" : "");
    // Refused on the announcement, before any of it is read or buffered.
    in_record_size_ += in_fragment_not_read_;
    if (max_record_ && in_record_size_ > max_record_) {
        ORTU_DEBUG(qrex, 0, "TCPStr.0x%x, incoming record of more than %zu bytes refused\n",
                   qrex_tag(this), max_record_);
        record_too_large_ = true;
        break_connection("QREX_TCP_Stream::read_fragment_header", MESSAGE_TOO_LONG);
    }
}

void QREX_TCP_Stream::fill(size_t wanted) {
    ORTU_ASSERT(in_current_ == in_end_of_data_);
    in_current_ = in_end_of_data_ = in_;
    while (in_fragment_not_read_ == 0) {
        if (in_last_fragment_ && !in_record_start_)
            throw_stream_underflow("QREX_TCP_Stream::get_bytes", wanted, 0);
        read_fragment_header();
    }
    const size_t n = socket_->read(in_, std::min<size_t>(in_fragment_not_read_, BUFFER_SIZE));
    // An adapter that breaks its contract must not move us past the buffer.
    if (n == 0 || n > std::min<size_t>(in_fragment_not_read_, BUFFER_SIZE))
        throw_comm_error("QREX_TCP_Stream::fill", 10057);
    in_end_of_data_ += n;
    in_fragment_not_read_ -= static_cast<qrex_uint32_t>(n);
    in_record_received_ += n;
}

qrex_uint32_t QREX_TCP_Stream::get_int32() {
    check_usable("QREX_TCP_Stream::get_int32");
    if (in_end_of_data_ - in_current_ >= (int)sizeof(qrex_int32_t)) {
        const qrex_uint32_t v = get_be32(in_current_);
        in_current_ += sizeof(qrex_int32_t);
        return v;
    }
    unsigned char word[sizeof(qrex_int32_t)];
    get_bytes(word, sizeof word);
    return get_be32(word);
}

void QREX_TCP_Stream::get_bytes(void* data, size_t n) {
    check_usable("QREX_TCP_Stream::get_bytes");
    unsigned char* p = static_cast<unsigned char*>(data);
    while (n) {
        size_t avail = static_cast<size_t>(in_end_of_data_ - in_current_);
        if (avail == 0) {
            fill(n);
            avail = static_cast<size_t>(in_end_of_data_ - in_current_);
            ORTU_ASSERT(avail);
        }
        const size_t k = std::min(avail, n);
        std::memcpy(p, in_current_, k);
        in_current_ += k;
        p += k;
        n -= k;
    }
}

void QREX_TCP_Stream::finish_record() {
    check_usable("QREX_TCP_Stream::finish_record");
    // A record with no fragment read yet has not begun: nothing to finish.
    if (in_record_start_)
        return;
    for (;;) {
        while (in_fragment_not_read_) {
            const size_t n =
                socket_->read(in_, std::min<size_t>(in_fragment_not_read_, BUFFER_SIZE));
            if (n == 0 || n > in_fragment_not_read_)
                throw_comm_error("QREX_TCP_Stream::finish_record", 10057);
            in_fragment_not_read_ -= static_cast<qrex_uint32_t>(n);
        }
        if (in_last_fragment_)
            break;
        read_fragment_header();
    }
    // Whatever the reader left of the record is not looked at.
    in_current_ = in_end_of_data_ = in_;
}

void QREX_TCP_Stream::skip_record() {
    check_usable("QREX_TCP_Stream::skip_record");
    if (!in_record_start_)
        finish_record();
    in_current_ = in_end_of_data_ = in_;
    in_record_start_ = true;
    in_record_size_ = 0;
    record_too_large_ = false;
    in_record_received_ = 0;
    in_record_charged_ = 0;
    memory_limit_hit_ = false;
}
