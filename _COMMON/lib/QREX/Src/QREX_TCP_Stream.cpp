#include "QREX_TCP_Stream.h"

#include "QREX_Errors.h"

#include <algorithm>
#include <cstring>

namespace {

qrex_uint32_t get_be32(const unsigned char* p) {
    return (qrex_uint32_t{p[0]} << 24) | (qrex_uint32_t{p[1]} << 16) | (qrex_uint32_t{p[2]} << 8) |
           qrex_uint32_t{p[3]};
}

// Winsock's numbers, as the socket layer reports them: "message too long",
// "connection aborted" and "not connected".
constexpr int MESSAGE_TOO_LONG = 10040;
constexpr int CONNECTION_ABORTED = 10053;
constexpr int NOT_CONNECTED = 10057;

void put_be32(unsigned char* p, qrex_uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// What the heap really spends on a block: a header word, rounded up to 16
// bytes, never less than 32.
size_t heap_cost(size_t size) {
    const size_t chunk = (size + 8 + 15) & ~size_t{15};
    return chunk < 32 ? 32 : chunk;
}

constexpr size_t HEADER = sizeof(qrex_int32_t);

} // namespace

QREX_TCP_Stream::QREX_TCP_Stream(QREX_Socket_Adapter* socket)
    : socket_(socket), fragment_(out_), out_current_(out_ + HEADER),
      fragment_end_(out_ + BUFFER_SIZE), out_fragment_sent_(false), in_pos_(in_), in_end_(in_),
      in_fragment_left_(0), in_last_fragment_(true), in_record_start_(true), in_record_size_(0),
      max_record_(DEFAULT_MAX_RECORD), record_too_large_(false), in_record_received_(0),
      in_record_charged_(0), memory_factor_(DEFAULT_MEMORY_FACTOR),
      memory_allowance_(DEFAULT_MEMORY_ALLOWANCE), memory_limit_hit_(false), broken_(false),
      xdr_in_(this), xdr_out_(this) {}

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
    in_pos_ = in_end_ = in_;
    in_fragment_left_ = 0;
    try {
        socket_->abandon();
    } catch (...) {
        // Closing is a courtesy here; the error below is what counts.
    }
    throw_comm_error(where, code);
}

// ---------------------------------------------------------------- output

void QREX_TCP_Stream::open_fragment(unsigned char* at) {
    fragment_ = at;
    out_current_ = at + HEADER;
    fragment_end_ = at + BUFFER_SIZE;
}

void QREX_TCP_Stream::close_fragment(bool last) {
    ORTU_ASSERT(out_current_ - fragment_ > (int)HEADER);
    const qrex_uint32_t size = static_cast<qrex_uint32_t>(out_current_ - fragment_ - HEADER);
    if (size == 0)
        return;
    ORTU_ASSERT((size & RM_LAST_FRAGMENT) == 0);
    put_be32(fragment_, last ? (size | RM_LAST_FRAGMENT) : size);
    ORTU_DEBUG(qrex, 3, "TCPStr.0x%x, send fragment %d, %s\n", qrex_tag(this), (int)size,
               last ? "L" : "");
    // The next fragment opens behind this one.
    open_fragment(out_current_);
    if (last) {
        flush();
        out_fragment_sent_ = false;
    } else if (static_cast<size_t>(out_ + OUTPUT_BUFFER_SIZE - fragment_) < BUFFER_SIZE) {
        // No room for a whole fragment more: the complete ones go now.
        flush();
        out_fragment_sent_ = true;
    }
}

void QREX_TCP_Stream::flush() {
    const size_t length = static_cast<size_t>(fragment_ - out_);
    // Emptied before writing: a failed write must not leave fragments
    // behind to go out again in front of a later message. The open
    // fragment holds nothing yet whenever this runs.
    open_fragment(out_);
    if (length)
        socket_->write(out_, length);
}

void QREX_TCP_Stream::put_int32(qrex_uint32_t value) {
    if (broken_)
        check_usable("QREX_TCP_Stream::put_int32");
    if (fragment_room() < HEADER)
        close_fragment(false);
    ORTU_ASSERT(fragment_room() >= HEADER);
    put_be32(out_current_, value);
    out_current_ += HEADER;
}

void QREX_TCP_Stream::put_bytes(const void* data, size_t n) {
    if (broken_)
        check_usable("QREX_TCP_Stream::put_bytes");
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (n) {
        size_t free_room = fragment_room();
        if (free_room == 0) {
            close_fragment(false);
            free_room = fragment_room();
            ORTU_ASSERT(free_room);
        }
        const size_t k = std::min(free_room, n);
        std::memcpy(out_current_, p, k);
        out_current_ += k;
        p += k;
        n -= k;
    }
}

size_t QREX_TCP_Stream::reserve(unsigned char** data) {
    if (broken_)
        check_usable("QREX_TCP_Stream::reserve");
    if (fragment_room() == 0)
        close_fragment(false);
    *data = out_current_;
    return fragment_room();
}

void QREX_TCP_Stream::commit(size_t n) {
    ORTU_ASSERT(n <= fragment_room());
    out_current_ += std::min(n, fragment_room());
}

void QREX_TCP_Stream::end_record() {
    check_usable("QREX_TCP_Stream::end_record");
    close_fragment(true);
}

void QREX_TCP_Stream::abort_record() {
    // Everything buffered belongs to this record: the last one left whole.
    open_fragment(out_);
    if (!out_fragment_sent_)
        return;
    // Part of the record is already on the wire: close it with an empty last
    // fragment so the peer sees where it ends.
    unsigned char header[HEADER];
    put_be32(header, RM_LAST_FRAGMENT);
    ORTU_DEBUG(qrex, 3, "TCPStr.0x%x, send fragment %d, %s\n", qrex_tag(this), 0, "L");
    out_fragment_sent_ = false;
    socket_->write(header, sizeof header);
}

// ---------------------------------------------------------------- input

void QREX_TCP_Stream::refill(size_t keep) {
    ORTU_ASSERT(keep <= static_cast<size_t>(in_end_ - in_pos_) && keep < HEADER);
    if (keep && in_pos_ != in_)
        std::memmove(in_, in_pos_, keep);
    in_pos_ = in_;
    in_end_ = in_ + keep;
    const size_t room = INPUT_BUFFER_SIZE - keep;
    const size_t n = socket_->read(in_end_, room);
    // An adapter that breaks its contract must not move us past the buffer.
    if (n == 0 || n > room)
        throw_comm_error("QREX_TCP_Stream::refill", NOT_CONNECTED);
    in_end_ += n;
}

void QREX_TCP_Stream::read_fragment_header() {
    while (static_cast<size_t>(in_end_ - in_pos_) < HEADER)
        refill(static_cast<size_t>(in_end_ - in_pos_));
    const qrex_uint32_t word = get_be32(in_pos_);
    in_pos_ += HEADER;
    in_last_fragment_ = (word & RM_LAST_FRAGMENT) != 0;
    in_fragment_left_ = word & ~RM_LAST_FRAGMENT;
    in_record_start_ = false;
    ORTU_DEBUG(qrex, 3, "TCPStr.0x%x, recv fragment %ld, %s\n", qrex_tag(this),
               (long)in_fragment_left_, in_last_fragment_ ? "L" : "");
    // Refused on the announcement, before any of it is read or buffered.
    in_record_size_ += in_fragment_left_;
    if (max_record_ && in_record_size_ > max_record_) {
        ORTU_DEBUG(qrex, 0, "TCPStr.0x%x, incoming record of more than %zu bytes refused\n",
                   qrex_tag(this), max_record_);
        record_too_large_ = true;
        break_connection("QREX_TCP_Stream::next_fragment", MESSAGE_TOO_LONG);
    }
}

bool QREX_TCP_Stream::next_fragment(size_t wanted) {
    for (;;) {
        if (in_fragment_left_) {
            // The fragment goes on in the socket.
            if (in_pos_ == in_end_)
                refill(0);
            return true;
        }
        if (in_last_fragment_ && !in_record_start_)
            throw_stream_underflow("QREX_TCP_Stream::get_bytes", wanted, 0);
        // Zero-length fragments are passed over.
        read_fragment_header();
    }
}

qrex_uint32_t QREX_TCP_Stream::get_int32() {
    if (broken_)
        check_usable("QREX_TCP_Stream::get_int32");
    if (in_fragment_left_ >= HEADER && in_end_ - in_pos_ >= (int)HEADER) {
        const qrex_uint32_t v = get_be32(in_pos_);
        in_pos_ += HEADER;
        in_fragment_left_ -= HEADER;
        in_record_received_ += HEADER;
        return v;
    }
    unsigned char word[HEADER];
    get_bytes(word, sizeof word);
    return get_be32(word);
}

void QREX_TCP_Stream::get_bytes(void* data, size_t n) {
    if (broken_)
        check_usable("QREX_TCP_Stream::get_bytes");
    unsigned char* p = static_cast<unsigned char*>(data);
    while (n) {
        size_t avail = std::min<size_t>(in_fragment_left_, static_cast<size_t>(in_end_ - in_pos_));
        if (avail == 0) {
            next_fragment(n);
            continue;
        }
        const size_t k = std::min(avail, n);
        std::memcpy(p, in_pos_, k);
        in_pos_ += k;
        in_fragment_left_ -= static_cast<qrex_uint32_t>(k);
        in_record_received_ += k;
        p += k;
        n -= k;
    }
}

size_t QREX_TCP_Stream::peek(const unsigned char** data) {
    if (broken_)
        check_usable("QREX_TCP_Stream::peek");
    size_t avail = std::min<size_t>(in_fragment_left_, static_cast<size_t>(in_end_ - in_pos_));
    while (avail == 0) {
        next_fragment(1);
        avail = std::min<size_t>(in_fragment_left_, static_cast<size_t>(in_end_ - in_pos_));
    }
    *data = in_pos_;
    return avail;
}

void QREX_TCP_Stream::consume(size_t n) {
    const size_t avail =
        std::min<size_t>(in_fragment_left_, static_cast<size_t>(in_end_ - in_pos_));
    ORTU_ASSERT(n <= avail);
    n = std::min(n, avail);
    in_pos_ += n;
    in_fragment_left_ -= static_cast<qrex_uint32_t>(n);
    in_record_received_ += n;
}

void QREX_TCP_Stream::finish_record() {
    check_usable("QREX_TCP_Stream::finish_record");
    // A record with no fragment read yet has not begun: nothing to finish.
    if (in_record_start_)
        return;
    for (;;) {
        // Whatever the reader left of the record is not looked at.
        const size_t here =
            std::min<size_t>(in_fragment_left_, static_cast<size_t>(in_end_ - in_pos_));
        in_pos_ += here;
        in_fragment_left_ -= static_cast<qrex_uint32_t>(here);
        if (in_fragment_left_) {
            refill(0);
            continue;
        }
        if (in_last_fragment_)
            return;
        // Read as a header only: an empty last fragment ends the record
        // here, it is not a read past its end.
        read_fragment_header();
    }
}

void QREX_TCP_Stream::skip_record() {
    check_usable("QREX_TCP_Stream::skip_record");
    if (!in_record_start_)
        finish_record();
    // What follows in the buffer is the next record's.
    in_record_start_ = true;
    in_record_size_ = 0;
    record_too_large_ = false;
    in_record_received_ = 0;
    in_record_charged_ = 0;
    memory_limit_hit_ = false;
}
