#include "TextMatch.h"

#include <clocale>
#include <cwctype>
#include <locale.h>

namespace vqarchive {

namespace {

// The C.UTF-8 locale carries the full Unicode case tables; the process's
// global locale (often plain "C") does not, and changing it would affect the
// whole server, so the lookup uses a locale object of its own.
class CaseLocale {
public:
    CaseLocale() {
        handle_ = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        if (!handle_)
            handle_ = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(nullptr));
    }
    ~CaseLocale() {
        if (handle_)
            freelocale(handle_);
    }
    CaseLocale(const CaseLocale&) = delete;
    CaseLocale& operator=(const CaseLocale&) = delete;

    locale_t handle() const { return handle_; }

private:
    locale_t handle_ = nullptr;
};

const CaseLocale& caseLocale() {
    static const CaseLocale instance;
    return instance;
}

} // namespace

char32_t foldCharBuiltIn(char32_t c) {
    if (c < 0x80)
        return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return c + 32;
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x138 && c != 0x149 && c != 0x178) {
        const bool oddPairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (oddPairs)
            return (c % 2 == 1) ? c + 1 : c;
        return (c % 2 == 0) ? c + 1 : c;
    }
    if (c == 0x178)
        return 0xFF;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2)
        return c + 32;
    if (c == 0x3C2) // final sigma
        return 0x3C3;
    if (c >= 0x410 && c <= 0x42F)
        return c + 32;
    if (c >= 0x400 && c <= 0x40F)
        return c + 80;
    return c;
}

char32_t foldChar(char32_t c) {
    if (c < 0x80)
        return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    if (c >= 0xDC80 && c <= 0xDCFF)
        return c; // stands for an invalid byte
    if (locale_t loc = caseLocale().handle()) {
        // Through the capital first: letters with a second small form (the
        // final sigma, the long s, the Greek symbol forms) then meet their
        // usual one, so "ΟΔΟΣ" finds "οδος" written with a final ς.
        const wint_t upper = towupper_l(static_cast<wint_t>(c), loc);
        return static_cast<char32_t>(towlower_l(upper, loc));
    }
    return foldCharBuiltIn(c);
}

std::u32string foldCase(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    size_t i = 0;
    const auto byteAt = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    while (i < s.size()) {
        const unsigned char b = byteAt(i);
        char32_t cp = 0;
        size_t len = 0;
        if (b < 0x80) {
            cp = b;
            len = 1;
        } else if (b >= 0xC2 && b <= 0xDF) {
            cp = b & 0x1F;
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            cp = b & 0x0F;
            len = 3;
        } else if (b >= 0xF0 && b <= 0xF4) {
            cp = b & 0x07;
            len = 4;
        }
        bool valid = len > 0 && i + len <= s.size();
        for (size_t k = 1; valid && k < len; ++k) {
            const unsigned char cont = byteAt(i + k);
            if ((cont & 0xC0) != 0x80)
                valid = false;
            else
                cp = (cp << 6) | (cont & 0x3F);
        }
        // Reject overlong forms, surrogates and values past U+10FFFF.
        if (valid && ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
                      (cp >= 0xD800 && cp <= 0xDFFF)))
            valid = false;
        if (!valid) {
            out.push_back(0xDC00 + b);
            ++i;
            continue;
        }
        const char32_t folded = foldChar(cp);
        // The sharp s has no capital of one letter in common use; its
        // capital form is written "SS", so both fold to "ss".
        if (folded == 0xDF) {
            out.push_back(U's');
            out.push_back(U's');
        } else {
            out.push_back(folded);
        }
        i += len;
    }
    return out;
}

PhraseMatcher::PhraseMatcher(const std::vector<std::string>& phrases, bool allOf) : allOf_(allOf) {
    for (const auto& p : phrases) {
        auto folded = foldCase(p);
        if (!folded.empty())
            phrases_.push_back(std::move(folded));
    }
}

bool PhraseMatcher::matches(std::string_view utf8Text) const {
    if (phrases_.empty())
        return false;
    const std::u32string text = foldCase(utf8Text);
    for (const auto& p : phrases_) {
        const bool found = text.find(p) != std::u32string::npos;
        if (allOf_ && !found)
            return false;
        if (!allOf_ && found)
            return true;
    }
    return allOf_;
}

} // namespace vqarchive
