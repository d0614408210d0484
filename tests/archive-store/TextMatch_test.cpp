// Case folding and phrase matching of the text search.
#include "TextMatch.h"

#include <gtest/gtest.h>

using vqarchive::foldCase;
using vqarchive::PhraseMatcher;

TEST(FoldCase, LowersAsciiAndOtherScripts) {
    EXPECT_EQ(foldCase("HeLLo"), U"hello");
    EXPECT_EQ(foldCase("ÄÖÜ ÀÉÎ"), U"äöü àéî");
    EXPECT_EQ(foldCase("ŁÓDŹ"), U"łódź");
    EXPECT_EQ(foldCase("ДОБРЫЙ ЁЖ"), U"добрый ёж");
    EXPECT_EQ(foldCase("ΚΑΛΗΜΈΡΑ"), U"καλημέρα");
    EXPECT_EQ(foldCase("请尽快"), U"请尽快");
}

TEST(FoldCase, TheSmallFormsOfOneLetterAgree) {
    // Final and medial sigma, long s, the Greek symbol forms of beta and
    // theta, and the title case form of DŽ.
    EXPECT_EQ(foldCase("ΟΔΟΣ"), foldCase("οδος"));
    EXPECT_EQ(foldCase("ς"), U"σ");
    EXPECT_EQ(foldCase("ſ"), U"s");
    EXPECT_EQ(foldCase("ϐϑ"), U"βθ");
    EXPECT_EQ(foldCase("ǅ"), foldCase("ǆ"));
    // The sharp s and its capital are written "SS" in capitals.
    EXPECT_EQ(foldCase("Straße"), U"strasse");
    EXPECT_EQ(foldCase("STRAẞE"), U"strasse");
}

TEST(FoldCase, InvalidBytesStandForThemselvesAndDoNotStopTheScan) {
    const std::u32string folded = foldCase(std::string("A\xFF"
                                                       "B\xC3",
                                                       4));
    ASSERT_EQ(folded.size(), 4u);
    EXPECT_EQ(folded[0], U'a');
    EXPECT_EQ(folded[1], char32_t{0xDCFF});
    EXPECT_EQ(folded[2], U'b');
    EXPECT_EQ(folded[3], char32_t{0xDCC3}); // a lead byte without its continuation
    // Overlong forms and encoded surrogates are not letters.
    EXPECT_EQ(foldCase("\xC0\xAF").size(), 2u);
    EXPECT_EQ(foldCase("\xED\xA0\x80").size(), 3u);
}

TEST(PhraseMatcher, AllOfNeedsEveryPhrase) {
    const PhraseMatcher m({"order", "REFUND"}, true);
    EXPECT_TRUE(m.matches("They want a refund for order 12."));
    EXPECT_FALSE(m.matches("The order is late."));
}

TEST(PhraseMatcher, AnyOfNeedsOnePhrase) {
    const PhraseMatcher m({"order", "REFUND"}, false);
    EXPECT_TRUE(m.matches("The ORDER is late."));
    EXPECT_TRUE(m.matches("refund please"));
    EXPECT_FALSE(m.matches("nothing here"));
}

TEST(PhraseMatcher, MatchesAcrossScriptsWithoutRegardToCase) {
    EXPECT_TRUE(PhraseMatcher({"GRÜSSE AUS"}, true).matches("Viele grüsse aus Köln"));
    EXPECT_TRUE(PhraseMatcher({"заказ"}, true).matches("ЗАКАЗ готов"));
    EXPECT_FALSE(PhraseMatcher({"заказ"}, true).matches("zakaz"));
}

TEST(PhraseMatcher, SpellingsOfOneWordInCapitalsAndSmallLettersMeet) {
    EXPECT_TRUE(PhraseMatcher({"STRASSE"}, true).matches("Hauptstraße 5"));
    EXPECT_TRUE(PhraseMatcher({"straße"}, true).matches("HAUPTSTRASSE 5"));
    EXPECT_TRUE(PhraseMatcher({"ΟΔΟΣ"}, true).matches("στην οδος Αθηνάς"));
    EXPECT_TRUE(PhraseMatcher({"οδος"}, false).matches("ΟΔΟΣ ΑΘΗΝΑΣ"));
}

TEST(PhraseMatcher, EmptyPhrasesAreIgnoredAndNoPhraseMatchesNothing) {
    EXPECT_TRUE(PhraseMatcher({"", "x"}, true).matches("x"));
    EXPECT_TRUE(PhraseMatcher({}, true).empty());
    EXPECT_FALSE(PhraseMatcher({}, true).matches("anything"));
    EXPECT_FALSE(PhraseMatcher({""}, false).matches("anything"));
}

TEST(PhraseMatcher, APhraseWithAnInvalidByteMatchesOnlyThatByte) {
    const PhraseMatcher m({std::string("a\xFF")}, true);
    EXPECT_TRUE(m.matches(std::string("xA\xFFy")));
    EXPECT_FALSE(m.matches("xa\xC3\xBFy")); // ÿ is another thing than byte FF
}

TEST(FoldCase, TheBuiltInMappingAgreesWithTheLocaleWhereItMapsAtAll) {
    for (char32_t c = 0; c < 0x530; ++c) {
        const char32_t builtIn = vqarchive::foldCharBuiltIn(c);
        if (builtIn != c) {
            EXPECT_EQ(builtIn, vqarchive::foldChar(c))
                << "U+" << std::hex << static_cast<unsigned>(c);
        }
    }
    EXPECT_EQ(vqarchive::foldCharBuiltIn(U'Ä'), U'ä');
    EXPECT_EQ(vqarchive::foldCharBuiltIn(U'Ł'), U'ł');
    EXPECT_EQ(vqarchive::foldCharBuiltIn(U'Ж'), U'ж');
    EXPECT_EQ(vqarchive::foldCharBuiltIn(U'Ё'), U'ё');
    EXPECT_EQ(vqarchive::foldCharBuiltIn(U'Σ'), U'σ');
}
