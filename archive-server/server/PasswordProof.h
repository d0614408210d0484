// The server's half of the password proof: a fresh challenge for every
// connection, and the check of the client's answer, which is the SHA-1 of
// the password followed by the challenge, in lowercase hexadecimal.
#pragma once

#include <cstddef>
#include <string>

namespace vqarchive {

// The longest challenge the protocol carries.
constexpr size_t kChallengeLength = 32;

// kChallengeLength letters and digits from the kernel's random source, each
// of the 62 equally likely. Throws ServerError when the source fails.
std::string makeChallenge();

// The 40-character answer a client that knows the password gives.
std::string expectedAnswer(const std::string& password, const std::string& challenge);

// Compares the answer as received (a buffer of `size` bytes holding a
// terminated text) with the expected one. Takes the same time wherever the
// first difference is, so the comparison tells an attacker nothing.
bool answerMatches(const std::string& expected, const char* answer, size_t size);

} // namespace vqarchive
