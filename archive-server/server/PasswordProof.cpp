#include "PasswordProof.h"

#include "ArchiveServer.h"
#include "SHA1.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/random.h>

namespace vqarchive {

namespace {

constexpr char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr unsigned kAlphabetSize = sizeof kAlphabet - 1;
// Bytes at or above this would favour the first letters: they are drawn again.
constexpr unsigned kUnbiasedLimit = 256 - 256 % kAlphabetSize;

void fillRandom(unsigned char* buffer, size_t size) {
    while (size) {
        const ssize_t n = getrandom(buffer, size, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw ServerError(std::string("no random source: ") + std::strerror(errno));
        }
        buffer += n;
        size -= static_cast<size_t>(n);
    }
}

} // namespace

std::string makeChallenge() {
    std::string challenge;
    unsigned char pool[64];
    while (challenge.size() < kChallengeLength) {
        fillRandom(pool, sizeof pool);
        for (unsigned char b : pool) {
            if (b >= kUnbiasedLimit)
                continue;
            challenge += kAlphabet[b % kAlphabetSize];
            if (challenge.size() == kChallengeLength)
                break;
        }
    }
    return challenge;
}

std::string expectedAnswer(const std::string& password, const std::string& challenge) {
    SHA1_Context sha;
    sha.update(password.data(), password.size());
    sha.update(challenge.data(), challenge.size());
    std::uint8_t digest[SHA1_Context::DIGEST_SIZE];
    sha.final(digest);
    char text[SHA1_Context::HEX_SIZE];
    sha1_hex(digest, text);
    return std::string(text);
}

bool answerMatches(const std::string& expected, const char* answer, size_t size) {
    const size_t length = strnlen(answer, size);
    // The length is no secret: every valid answer has 40 characters.
    if (length != expected.size())
        return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < length; ++i)
        difference |= static_cast<unsigned char>(answer[i] ^ expected[i]);
    return difference == 0;
}

} // namespace vqarchive
