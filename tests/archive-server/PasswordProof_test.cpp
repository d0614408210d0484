// The server's half of the password proof: fresh challenges from the
// kernel's random source, the expected answer, and the comparison.
#include "PasswordProof.h"
#include "ServerTestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <set>

namespace {

using namespace vqarchive;

TEST(Challenge, HasTheProtocolsFullLengthOfLettersAndDigits) {
    const std::string c = makeChallenge();
    ASSERT_EQ(c.size(), kChallengeLength);
    for (char ch : c)
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(ch))) << c;
}

TEST(Challenge, IsFreshEveryTime) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i)
        seen.insert(makeChallenge());
    EXPECT_EQ(seen.size(), 200u);
}

TEST(Challenge, UsesTheWholeAlphabet) {
    // 62 symbols over 320 draws of 32: a biased or truncated alphabet shows.
    std::set<char> symbols;
    for (int i = 0; i < 320; ++i)
        for (char ch : makeChallenge())
            symbols.insert(ch);
    EXPECT_EQ(symbols.size(), 62u);
}

TEST(Answer, IsTheSha1OfPasswordFollowedByChallenge) {
    EXPECT_EQ(expectedAnswer("pemrak", "0123456789abcdefghijklmnopqrstuv"),
              vqtest::referenceAnswer("pemrak", "0123456789abcdefghijklmnopqrstuv"));
    EXPECT_EQ(expectedAnswer("", ""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    // Only the concatenation counts.
    EXPECT_EQ(expectedAnswer("abc", "def"), expectedAnswer("ab", "cdef"));
    EXPECT_NE(expectedAnswer("abc", "def"), expectedAnswer("abd", "def"));
}

TEST(Answer, MatchesOnlyTheExactLowercaseText) {
    const std::string expected = expectedAnswer("secret", "token");
    char answer[41];
    std::snprintf(answer, sizeof answer, "%s", expected.c_str());
    EXPECT_TRUE(answerMatches(expected, answer, sizeof answer));

    char changed[41];
    for (size_t i : {size_t{0}, size_t{20}, size_t{39}}) {
        std::snprintf(changed, sizeof changed, "%s", expected.c_str());
        changed[i] = changed[i] == 'a' ? 'b' : 'a';
        EXPECT_FALSE(answerMatches(expected, changed, sizeof changed)) << i;
    }
    std::string upper = expected;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper != expected) {
        std::snprintf(changed, sizeof changed, "%s", upper.c_str());
        EXPECT_FALSE(answerMatches(expected, changed, sizeof changed));
    }
    std::snprintf(changed, sizeof changed, "%s", expected.substr(0, 39).c_str());
    EXPECT_FALSE(answerMatches(expected, changed, sizeof changed));
    EXPECT_FALSE(answerMatches(expected, "", 1));
}

TEST(Answer, IsReadWithinTheBufferOnly) {
    const std::string expected = expectedAnswer("x", "y");
    char buffer[40];
    std::memcpy(buffer, expected.data(), sizeof buffer);
    // No terminator inside the buffer: the length is taken within it.
    EXPECT_TRUE(answerMatches(expected, buffer, sizeof buffer));
    char shorter[39];
    std::memcpy(shorter, expected.data(), sizeof shorter);
    EXPECT_FALSE(answerMatches(expected, shorter, sizeof shorter));
}

} // namespace
