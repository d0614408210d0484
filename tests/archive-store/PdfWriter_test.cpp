// The small PDF writer of the demo faxes.
#include "PdfWriter.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace vqarchive;

TEST(PdfWriter, PagesTextAndLinesMakeAValidDocument) {
    PdfDocument d("Fax");
    d.newPage();
    d.text(10, 20, 12, PdfFont::bold, "Hello");
    d.line(0, 0, 100, 100, 2);
    d.newPage();
    d.rect(10, 10, 50, 50);
    d.newPage();
    const auto info = vqtest::parsePdf(d.bytes());
    ASSERT_EQ(info.error, "");
    EXPECT_EQ(info.pages, 3u);
    EXPECT_EQ(info.objects, 6u + 2u * 3u);
    EXPECT_NE(info.allContent.find("/F2 12.00 Tf 10.00 20.00 Td (Hello) Tj"), std::string::npos);
    EXPECT_NE(info.allContent.find("2.00 w 0.00 0.00 m 100.00 100.00 l S"), std::string::npos);
    EXPECT_NE(info.allContent.find("10.00 10.00 50.00 50.00 re S"), std::string::npos);
}

TEST(PdfWriter, SpecialCharactersAreEscapedAndLatinOneIsKept) {
    PdfDocument d;
    d.text(0, 0, 10, PdfFont::regular, "a(b)c\\d Grüße 请");
    const auto info = vqtest::parsePdf(d.bytes());
    ASSERT_EQ(info.error, "");
    EXPECT_NE(info.allContent.find("(a\\(b\\)c\\\\d Gr\xFC\xDF"
                                   "e ?) Tj"),
              std::string::npos)
        << info.allContent;
}

TEST(PdfWriter, AnEmptyDocumentStillHasOnePage) {
    const auto info = vqtest::parsePdf(PdfDocument().bytes());
    EXPECT_EQ(info.error, "");
    EXPECT_EQ(info.pages, 1u);
}
