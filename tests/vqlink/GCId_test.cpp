#include "vqlink/vqlink.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::int64_t make_id(std::uint64_t first, std::uint64_t second, std::uint64_t third) {
    return static_cast<std::int64_t>((first << 38) | (second << 30) | third);
}

std::string format(std::int64_t value) {
    TGCallID id{value};
    char buffer[32];
    std::memset(buffer, '#', sizeof(buffer));
    GCIdToStr(&id, buffer);
    return buffer;
}

std::int64_t parse(const char* text) {
    TGCallID id{12345};
    StrToGCId(&id, text);
    return id.id;
}

constexpr std::uint64_t X_VALUE = 33; // 'X' read back as a digit

} // namespace

TEST(GCIdToStr, ZeroIsAllFillers) {
    EXPECT_EQ(format(0), "XXXXX-00-00000-000");
}

TEST(GCIdToStr, FieldsGoToTheirGroups) {
    EXPECT_EQ(format(make_id(1, 0x2A, 0x12345)), "XXXX1-2A-00012-345");
    EXPECT_EQ(format(make_id(36, 0, 0)), "XXX10-00-00000-000");
    EXPECT_EQ(format(make_id(35, 0xFF, 0x3FFFFFFF)), "XXXXZ-FF-3FFFF-FFF");
    EXPECT_EQ(format(make_id(36ull * 36 * 36 * 36 * 36 - 1, 0, 0)), "ZZZZZ-00-00000-000");
}

TEST(GCIdToStr, NegativeIdsUseTheirBitPattern) {
    // All bits set: first part 0x3FFFFFF, second 0xFF, third 0x3FFFFFFF.
    const std::string text = format(-1);
    EXPECT_EQ(text.size(), 18u);
    EXPECT_EQ(text.substr(5), "-FF-3FFFF-FFF");
}

TEST(GCIdToStr, FirstPartOfSixDigitsNeverOverrunsTheBuffer) {
    // 36^5 needs six base-36 digits; the text keeps the five low-order ones.
    const std::uint64_t big = 36ull * 36 * 36 * 36 * 36;
    TGCallID id{make_id(big, 1, 2)};
    char buffer[24];
    std::memset(buffer, '#', sizeof(buffer));
    GCIdToStr(&id, buffer);
    EXPECT_EQ(std::string(buffer), "00000-01-00000-002");
    EXPECT_EQ(buffer[18], '\0');
    for (size_t i = 19; i < sizeof(buffer); ++i)
        EXPECT_EQ(buffer[i], '#') << "byte " << i << " written";

    TGCallID largest{make_id(0x3FFFFFF, 0, 0)};
    std::memset(buffer, '#', sizeof(buffer));
    GCIdToStr(&largest, buffer);
    EXPECT_EQ(std::strlen(buffer), 18u);
    EXPECT_EQ(buffer[19], '#');
}

TEST(StrToGCId, DigitsAndGroups) {
    EXPECT_EQ(parse("00001-2A-00012-345"), make_id(1, 0x2A, 0x12345));
    const std::uint64_t xs = X_VALUE * (36ull * 36 * 36 * 36 + 36 * 36 * 36 + 36 * 36 + 36) + 1;
    EXPECT_EQ(parse("XXXX1-2A-00012-345"), make_id(xs, 0x2A, 0x12345));
}

TEST(StrToGCId, RoundTripOfTextsWithoutFillers) {
    for (const char* text : {"10000-00-00000-000", "ZZZZZ-FF-3FFFF-FFF", "1A2B3-7F-2BCDE-012"}) {
        EXPECT_EQ(format(parse(text)), text);
    }
}

TEST(StrToGCId, CaseRules) {
    // Lowercase hexadecimal is fine in groups 2 to 4; a lowercase letter in
    // group 1 counts as 0.
    EXPECT_EQ(parse("00001-2a-0001f-abc"), make_id(1, 0x2A, (0x1Full << 12) | 0xABC));
    EXPECT_EQ(parse("0000a-00-00000-000"), make_id(0, 0, 0));
    EXPECT_EQ(parse("000a1-00-00000-000"), make_id(1, 0, 0));
}

TEST(StrToGCId, OtherTextsGiveZero) {
    EXPECT_EQ(parse(""), 0);
    EXPECT_EQ(parse("00001-2A-00012-34"), 0);
    EXPECT_EQ(parse("00001-2A-00012-3456"), 0);
    EXPECT_EQ(parse("00001+2A-00012-345"), 0);
    EXPECT_EQ(parse("00001-2A+00012-345"), 0);
    EXPECT_EQ(parse("00001-2A-00012+345"), 0);
    EXPECT_EQ(parse(nullptr), 0);
}

TEST(StrToGCId, SignedThirdPartSetsTheHighBits) {
    // "-1" in the low group: third = (0 << 12) | 0xFFFFFFFF as a signed 32-bit
    // value, which fills every high bit of the result.
    EXPECT_EQ(parse("00000-00-00000--01"), -1);
}

TEST(StrToGCId, GroupsThatRunToTheEndStayInsideTheText) {
    // Spaces and a sign let the second group's read swallow the third
    // group; the reads that follow must not go past the terminator.
    char text[32];
    std::memset(text, 'F', sizeof(text));
    std::memcpy(text, "XXXX1-  -00012-345", 19);
    TGCallID id{7};
    StrToGCId(&id, text);
    const std::uint64_t xs = X_VALUE * (36ull * 36 * 36 * 36 + 36 * 36 * 36 + 36 * 36 + 36) + 1;
    // second = -0x12 (masked to 0xEE), high = 0x345, low = nothing read.
    EXPECT_EQ(id.id, make_id(xs, 0xEE, 0x345ull << 12));
}
