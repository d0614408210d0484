#include "SHA1.h"

#include "reference_sha1.h"
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string hex_of(const void* data, size_t size) {
    std::uint8_t digest[SHA1_Context::DIGEST_SIZE];
    sha1(data, size, digest);
    char text[SHA1_Context::HEX_SIZE];
    sha1_hex(digest, text);
    return text;
}

std::string hex_of(const std::string& s) {
    return hex_of(s.data(), s.size());
}

std::string openssl_hex(const std::vector<unsigned char>& data) {
    return reference_sha1_hex(data.data(), data.size());
}

} // namespace

TEST(SHA1_Vectors, PublishedTestVectors) {
    EXPECT_EQ(hex_of(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(hex_of("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(hex_of(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(SHA1_Vectors, PaddingBoundaries) {
    // 55, 56 and 64 bytes are where the length word does or does not fit
    // into the last block.
    for (size_t n : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u}) {
        std::vector<unsigned char> data(n, static_cast<unsigned char>('x'));
        EXPECT_EQ(hex_of(data.data(), data.size()), openssl_hex(data)) << n;
    }
}

TEST(SHA1_Independent, RandomInputsInRandomPiecesAgreeWithOpenSSL) {
    if (!reference_sha1_is_independent())
        GTEST_SKIP() << "built without OpenSSL";
    std::mt19937 rng(42);
    for (int round = 0; round < 200; ++round) {
        std::vector<unsigned char> data(std::uniform_int_distribution<size_t>(0, 700)(rng));
        for (auto& b : data)
            b = static_cast<unsigned char>(rng());
        SHA1_Context context;
        size_t done = 0;
        while (done < data.size()) {
            const size_t piece =
                std::min(data.size() - done, std::uniform_int_distribution<size_t>(1, 90)(rng));
            context.update(data.data() + done, piece);
            done += piece;
        }
        std::uint8_t digest[SHA1_Context::DIGEST_SIZE];
        context.final(digest);
        char text[SHA1_Context::HEX_SIZE];
        sha1_hex(digest, text);
        EXPECT_EQ(std::string(text), openssl_hex(data)) << "round " << round;
    }
}

TEST(SHA1_Hex, LowercaseHighHalfFirstAndTerminated) {
    std::uint8_t digest[SHA1_Context::DIGEST_SIZE];
    for (size_t i = 0; i < sizeof(digest); ++i)
        digest[i] = static_cast<std::uint8_t>(0xA0 + i);
    char text[SHA1_Context::HEX_SIZE];
    std::memset(text, '#', sizeof(text));
    sha1_hex(digest, text);
    EXPECT_EQ(std::string(text), "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3");
    EXPECT_EQ(text[40], '\0');
}

TEST(SHA1_Context, ResetStartsOver) {
    SHA1_Context context;
    context.update("garbage", 7);
    context.reset();
    context.update("abc", 3);
    std::uint8_t digest[SHA1_Context::DIGEST_SIZE];
    context.final(digest);
    char text[SHA1_Context::HEX_SIZE];
    sha1_hex(digest, text);
    EXPECT_STREQ(text, "a9993e364706816aba3e25717850c26c9cd0d89d");
}
