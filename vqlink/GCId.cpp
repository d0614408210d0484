// Global call identifiers: a signed 64-bit number of three fields, first
// part (26 bits), second part (8 bits), third part (30 bits), and their text
// form of four groups.
#define VQLINK_BUILDING 1
#include "vqlink/vqlink.h"

#include "ORTU_String.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int LONG_FORM_LENGTH = 18;
constexpr int FIRST_DIGITS = 5;
const char BASE36[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// Five characters, filled with X once the value is used up. A value of 36^5
// or more (it fits in 26 bits) would need a sixth digit and make the text
// longer than the host's buffer: only the five low-order digits are kept.
void base36(std::uint32_t value, char text[FIRST_DIGITS + 1]) {
    for (int i = FIRST_DIGITS - 1; i >= 0; --i) {
        if (value != 0) {
            text[i] = BASE36[value % 36];
            value /= 36;
        } else {
            text[i] = 'X';
        }
    }
    text[FIRST_DIGITS] = '\0';
}

// One group, read like strtol with base 16 from p; p then points one
// character past where the reading stopped, but never past the terminator:
// with a sign or spaces in a group, a read can run up to the end of the text.
long next_hex_group(const char*& p) {
    if (*p == '\0')
        return 0;
    char* end = nullptr;
    const long value = std::strtol(p, &end, 16);
    p = end;
    if (*p != '\0')
        ++p;
    return value;
}

int base36_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 0;
}

} // namespace

void GCIdToStr(const TGCallID* id, char* buffer) {
    if (!id || !buffer)
        return;
    const std::uint64_t value = static_cast<std::uint64_t>(id->id);
    const std::uint32_t first = static_cast<std::uint32_t>(value >> 38) & 0x3FFFFFFu;
    const std::uint32_t second = static_cast<std::uint32_t>(value >> 30) & 0xFFu;
    const std::uint32_t third = static_cast<std::uint32_t>(value) & 0x3FFFFFFFu;

    char first_text[FIRST_DIGITS + 1];
    base36(first, first_text);
    ORTU_String text;
    text.format("%5s-%02X-%05X-%03X", first_text, second, third >> 12, third & 0xFFFu);
    // The fields never exceed their widths, so this never cuts; the bound
    // is there because the buffer is the host's.
    const size_t n = std::min<size_t>(text.length(), LONG_FORM_LENGTH);
    std::memcpy(buffer, text.c_str(), n);
    buffer[n] = '\0';
}

void StrToGCId(TGCallID* id, const char* text) {
    if (!id)
        return;
    id->id = 0;
    if (!text || std::strlen(text) != LONG_FORM_LENGTH || text[5] != '-' || text[8] != '-' ||
        text[14] != '-')
        return;

    std::uint32_t first = 0;
    for (int i = 0; i < FIRST_DIGITS; ++i)
        first = first * 36 + static_cast<std::uint32_t>(base36_digit(text[i]));

    // Each group starts one character after the previous one stopped.
    const char* p = text + 6;
    const long second = next_hex_group(p);
    const long high = next_hex_group(p);
    const long low = next_hex_group(p);

    const std::uint32_t third =
        (static_cast<std::uint32_t>(high) << 12) | static_cast<std::uint32_t>(low);
    const std::uint64_t top = ((static_cast<std::uint64_t>(first & 0x3FFFFFFu) << 8) |
                               (static_cast<std::uint64_t>(second) & 0xFFu))
                              << 30;
    const std::int64_t third64 = static_cast<std::int32_t>(third);
    id->id = static_cast<std::int64_t>(top | static_cast<std::uint64_t>(third64));
}
