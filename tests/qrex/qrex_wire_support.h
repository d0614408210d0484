// Wire bytes and an in-memory socket adapter that can hand out its bytes in
// hostile splits. Shared by every test folder that speaks the wire format;
// it starts nothing, so any test program may include it.
#pragma once

#include "QREX_Errors.h"
#include "QREX_Stream.h"
#include "QREX_TCP_Stream.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <random>
#include <vector>

namespace qrex_test {

typedef std::vector<unsigned char> Bytes;

// Big-endian words.
inline Bytes words(std::initializer_list<qrex_uint32_t> values) {
    Bytes b;
    for (qrex_uint32_t v : values) {
        b.push_back(static_cast<unsigned char>(v >> 24));
        b.push_back(static_cast<unsigned char>(v >> 16));
        b.push_back(static_cast<unsigned char>(v >> 8));
        b.push_back(static_cast<unsigned char>(v));
    }
    return b;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

inline Bytes text(const char* s) {
    return Bytes(s, s + std::strlen(s));
}

// One fragment: header word and payload.
inline Bytes fragment(const Bytes& payload, bool last) {
    const qrex_uint32_t size = static_cast<qrex_uint32_t>(payload.size());
    return cat({words({last ? (size | RM_LAST_FRAGMENT) : size}), payload});
}

// The payload as fragments of these sizes and a last one with the rest.
inline Bytes fragmented(const Bytes& payload, const std::vector<size_t>& sizes) {
    Bytes out;
    for (size_t i = 0, at = 0; i <= sizes.size(); at += i < sizes.size() ? sizes[i] : 0, ++i) {
        const size_t end = i < sizes.size() ? at + sizes[i] : payload.size();
        out = cat(
            {out, fragment(Bytes(payload.begin() + at, payload.begin() + end), i == sizes.size())});
    }
    return out;
}

inline Bytes record(const Bytes& payload) {
    return fragment(payload, true);
}

// Reads from a byte vector, writes into another one.
class Memory_Adapter : public QREX_Socket_Adapter {
public:
    enum Split { whole, one_byte, random_split };

    explicit Memory_Adapter(Bytes in = {}, Split split = whole, unsigned seed = 1)
        : input(std::move(in)), split_(split), rng_(seed) {}

    size_t read(void* buffer, size_t n) override {
        requests.push_back(n);
        if (pos_ >= input.size())
            throw_comm_error("Memory_Adapter::read", -10057);
        size_t k = std::min(n, input.size() - pos_);
        if (split_ == one_byte)
            k = 1;
        else if (split_ == random_split)
            k = std::uniform_int_distribution<size_t>(1, k)(rng_);
        std::memcpy(buffer, input.data() + pos_, k);
        pos_ += k;
        return k;
    }

    void read_exact(void* buffer, size_t n) override {
        unsigned char* p = static_cast<unsigned char*>(buffer);
        while (n) {
            const size_t k = read(p, n);
            p += k;
            n -= k;
        }
    }

    void write(const void* buffer, size_t n) override {
        const unsigned char* p = static_cast<const unsigned char*>(buffer);
        output.insert(output.end(), p, p + n);
        writes.push_back(n);
    }

    void abandon() override { abandoned = true; }

    size_t consumed() const { return pos_; }
    void feed(const Bytes& more) { input.insert(input.end(), more.begin(), more.end()); }

    Bytes input;
    Bytes output;
    std::vector<size_t> writes;
    std::vector<size_t> requests;
    bool abandoned = false;

private:
    size_t pos_ = 0;
    Split split_;
    std::mt19937 rng_;
};

} // namespace qrex_test
