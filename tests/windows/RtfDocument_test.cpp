// The message view's text document as RTF: each block a paragraph, each
// fragment a run with its colour, weight and link, the document's font and
// size; and what a second reader (unrtf) makes of the result.
#include "ViewerTestSupport.h"

#include "RtfDocument.h"
#include "SecondReader.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextCursor>
#include <QTextDocument>

namespace {

void Append(QTextDocument& Doc, const QString& Text, const QColor& Colour, bool Bold,
            const QString& Href = {}) {
    QTextCursor C(&Doc);
    C.movePosition(QTextCursor::End);
    QTextCharFormat F;
    F.setForeground(Colour);
    F.setFontWeight(Bold ? QFont::Bold : QFont::Normal);
    if (!Href.isEmpty()) {
        F.setAnchor(true);
        F.setAnchorHref(Href);
        F.setFontUnderline(true);
    }
    const QStringList Lines = Text.split(QLatin1Char('\n'));
    for (int I = 0; I < Lines.size(); ++I) {
        if (I > 0)
            C.insertBlock();
        C.insertText(Lines.at(I), F);
    }
}

} // namespace

TEST(RtfDocument, RunsCarryTheirColourWeightAndLinks) {
    QTextDocument Doc;
    Append(Doc, QStringLiteral("Head"), QColor(0, 0, 128), true);
    Append(Doc, QStringLiteral("\nbody "), Qt::black, false);
    Append(Doc, QStringLiteral("www.example.org"), Qt::blue, false,
           QStringLiteral("http://www.example.org/a b\"c"));
    const QByteArray Rtf = TRtfWriter::Write(RtfDocumentOf(Doc));
    EXPECT_TRUE(Rtf.startsWith("{\\rtf1\\ansi"));
    EXPECT_TRUE(Rtf.trimmed().endsWith('}'));
    EXPECT_EQ(Rtf.count('{'), Rtf.count('}')) << Rtf.constData();
    EXPECT_TRUE(Rtf.contains(
        "{\\colortbl ;\\red0\\green0\\blue128;\\red0\\green0\\blue0;\\red0\\green0\\blue255;}"))
        << Rtf.constData();
    EXPECT_TRUE(Rtf.contains("{\\b\\cf1 Head}")) << Rtf.constData();
    EXPECT_TRUE(Rtf.contains("\\par\r\n{\\cf2 body }")) << Rtf.constData();
    // The target is one quoted argument: no quote or blank inside it.
    EXPECT_TRUE(
        Rtf.contains("{\\field{\\*\\fldinst{ HYPERLINK \"http://www.example.org/a%20b%22c\" }}"
                     "{\\fldrslt{\\ul\\cf3 www.example.org}}}"))
        << Rtf.constData();
}

TEST(RtfDocument, ASecondReaderReadsTheSameTextAndFormatting) {
    if (!viewer_test::HaveUnrtf())
        GTEST_SKIP() << "unrtf is not installed";
    QTextDocument Doc;
    Append(Doc, QStringLiteral("12/31/2024 10:00:00 Anna said: "), QColor(0, 0, 128), true);
    Append(Doc, QString::fromUtf8("\nGrüße {aus} C:\\Temp — 你好 \xF0\x9F\x98\x80\nsee "),
           Qt::black, false);
    Append(Doc, QStringLiteral("www.example.org"), Qt::blue, false,
           QStringLiteral("http://www.example.org"));
    Append(Doc, QStringLiteral(" now\n\n"), Qt::black, false);
    QTemporaryDir Dir;
    const QString File = viewer_test::WriteTemp(Dir.filePath(QStringLiteral("t.rtf")),
                                                TRtfWriter::Write(RtfDocumentOf(Doc)));
    ASSERT_FALSE(File.isEmpty());
    const QString Text = viewer_test::UnrtfText(File);
    ASSERT_FALSE(Text.isEmpty());
    for (const QString& Line : Doc.toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        EXPECT_TRUE(Text.contains(Line.trimmed())) << qPrintable(Line) << "\nin\n"
                                                   << qPrintable(Text);
    // Line by line as the document has them.
    EXPECT_LT(Text.indexOf(QStringLiteral("said:")), Text.indexOf(QStringLiteral("Gr")));
    EXPECT_FALSE(Text.contains(QStringLiteral("said: Gr")));

    const QString Html = viewer_test::UnrtfHtml(File);
    EXPECT_TRUE(Html.contains(QStringLiteral("<b>"))) << qPrintable(Html);
    EXPECT_TRUE(Html.contains(QStringLiteral("#000080"), Qt::CaseInsensitive)) << qPrintable(Html);
    EXPECT_TRUE(Html.contains(QStringLiteral("<u>"))) << qPrintable(Html);
}

TEST(RtfDocument, TheDocumentsFontAndOtherSizesGoWithIt) {
    QTextDocument Doc;
    QFont Font(QStringLiteral("DejaVu Sans"));
    Font.setPointSizeF(9);
    Doc.setDefaultFont(Font);
    Append(Doc, QStringLiteral("small"), Qt::black, false);
    QTextCursor C(&Doc);
    C.movePosition(QTextCursor::End);
    QTextCharFormat Large;
    Large.setFontPointSize(14);
    Large.setFontItalic(true);
    Large.setFontStrikeOut(true);
    C.insertText(QStringLiteral("large"), Large);
    const TRtfDocument Runs = RtfDocumentOf(Doc);
    ASSERT_EQ(Runs.Paragraphs.size(), 1);
    ASSERT_EQ(Runs.Paragraphs.first().size(), 2);
    EXPECT_FALSE(Runs.Paragraphs.first().at(1).HasColour);
    const QByteArray Rtf = TRtfWriter::Write(Runs);
    EXPECT_TRUE(Rtf.contains("{\\fonttbl{\\f0\\fnil DejaVu Sans;}}")) << Rtf.constData();
    EXPECT_TRUE(Rtf.contains("\\plain\\f0\\fs18\r\n")) << Rtf.constData();
    // Only the run whose size differs names it.
    EXPECT_TRUE(Rtf.contains("{\\cf1 small}{\\i\\strike\\fs28 large}")) << Rtf.constData();
}
