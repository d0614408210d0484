// SHA-1 (FIPS 180-1), for the password proof: the library must not depend
// on an outside crypto library.
#pragma once

#include <cstddef>
#include <cstdint>

class SHA1_Context {
public:
    enum : size_t { DIGEST_SIZE = 20, HEX_SIZE = 41 };

    SHA1_Context() { reset(); }

    void reset();
    void update(const void* data, size_t size);
    // Pads, writes the 20-byte digest and leaves the context to be reset.
    void final(std::uint8_t digest[DIGEST_SIZE]);

private:
    void process_block(const std::uint8_t* block);

    std::uint32_t state_[5];
    std::uint64_t length_; // bytes hashed so far
    std::uint8_t block_[64];
    size_t block_used_;
};

// The digest as 40 lowercase hexadecimal characters, high half of each byte
// first, and a terminator: 41 bytes.
void sha1_hex(const std::uint8_t digest[SHA1_Context::DIGEST_SIZE],
              char text[SHA1_Context::HEX_SIZE]);

// One-shot forms.
void sha1(const void* data, size_t size, std::uint8_t digest[SHA1_Context::DIGEST_SIZE]);
