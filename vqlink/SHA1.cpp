#include "SHA1.h"

#include <algorithm>
#include <cstring>

namespace {

inline std::uint32_t rotl(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

} // namespace

void SHA1_Context::reset() {
    state_[0] = 0x67452301u;
    state_[1] = 0xEFCDAB89u;
    state_[2] = 0x98BADCFEu;
    state_[3] = 0x10325476u;
    state_[4] = 0xC3D2E1F0u;
    length_ = 0;
    block_used_ = 0;
}

void SHA1_Context::process_block(const std::uint8_t* block) {
    std::uint32_t w[80];
    for (int t = 0; t < 16; ++t)
        w[t] = (std::uint32_t(block[4 * t]) << 24) | (std::uint32_t(block[4 * t + 1]) << 16) |
               (std::uint32_t(block[4 * t + 2]) << 8) | std::uint32_t(block[4 * t + 3]);
    for (int t = 16; t < 80; ++t)
        w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
    for (int t = 0; t < 80; ++t) {
        std::uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        const std::uint32_t temp = rotl(a, 5) + f + e + w[t] + k;
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = temp;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
}

void SHA1_Context::update(const void* data, size_t size) {
    const std::uint8_t* p = static_cast<const std::uint8_t*>(data);
    length_ += size;
    while (size > 0) {
        if (block_used_ == 0 && size >= sizeof(block_)) {
            process_block(p);
            p += sizeof(block_);
            size -= sizeof(block_);
            continue;
        }
        const size_t n = std::min(size, sizeof(block_) - block_used_);
        std::memcpy(block_ + block_used_, p, n);
        block_used_ += n;
        p += n;
        size -= n;
        if (block_used_ == sizeof(block_)) {
            process_block(block_);
            block_used_ = 0;
        }
    }
}

void SHA1_Context::final(std::uint8_t digest[DIGEST_SIZE]) {
    const std::uint64_t bits = length_ * 8;
    const std::uint8_t one = 0x80;
    update(&one, 1);
    const std::uint8_t zero = 0;
    while (block_used_ != 56)
        update(&zero, 1);
    std::uint8_t size_be[8];
    for (int i = 0; i < 8; ++i)
        size_be[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    update(size_be, sizeof(size_be));
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * j));
}

void sha1_hex(const std::uint8_t digest[SHA1_Context::DIGEST_SIZE],
              char text[SHA1_Context::HEX_SIZE]) {
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < SHA1_Context::DIGEST_SIZE; ++i) {
        text[2 * i] = hex[digest[i] >> 4];
        text[2 * i + 1] = hex[digest[i] & 0x0F];
    }
    text[2 * SHA1_Context::DIGEST_SIZE] = '\0';
}

void sha1(const void* data, size_t size, std::uint8_t digest[SHA1_Context::DIGEST_SIZE]) {
    SHA1_Context context;
    context.update(data, size);
    context.final(digest);
}
