// Case-insensitive phrase matching over UTF-8 texts, Unicode-aware so that
// "MÜLLER" finds "müller" and "ДОБРЫЙ" finds "добрый".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vqarchive {

// Decodes UTF-8 into lower-case code points. Bytes that are not valid UTF-8
// become code points of their own (U+DC80..U+DCFF) so that they only ever
// match themselves and never break the scan. The sharp s (and its capital)
// becomes "ss", as "STRASSE" is written for "Straße".
std::u32string foldCase(std::string_view utf8);

// Lower case of one code point (simple mapping, no length change), taken
// through the capital so that the several small forms of one letter agree.
char32_t foldChar(char32_t c);

// The built-in mapping used where the system has no UTF-8 locale: Latin,
// Greek and Cyrillic letters only.
char32_t foldCharBuiltIn(char32_t c);

class PhraseMatcher {
public:
    // Empty phrases are ignored; with no phrase left nothing matches.
    PhraseMatcher(const std::vector<std::string>& phrases, bool allOf);

    bool matches(std::string_view utf8Text) const;
    bool empty() const { return phrases_.empty(); }

private:
    std::vector<std::u32string> phrases_;
    bool allOf_;
};

} // namespace vqarchive
