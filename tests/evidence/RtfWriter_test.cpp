// The RTF writer: escapes, Unicode, the colour table, runs, sizes and
// links, and what a second reader (unrtf) makes of the result.
#include "EvidenceTestSupport.h"

#include "RtfWriter.h"

#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

TRtfRun Piece(const QString& Text, quint32 Colour, bool Bold, const QString& Href = {}) {
    TRtfRun R;
    R.Text = Text;
    R.HasColour = true;
    R.Colour = Colour;
    R.Bold = Bold;
    R.Underline = !Href.isEmpty();
    R.Href = Href;
    return R;
}

} // namespace

TEST(RtfWriter, EscapesWhatRtfReservesAndDropsControlCharacters) {
    EXPECT_EQ(TRtfWriter::EscapeText(QStringLiteral("a\\b{c}d")), QByteArray("a\\\\b\\{c\\}d"));
    EXPECT_EQ(TRtfWriter::EscapeText(QStringLiteral("x\ty")), QByteArray("x\\tab y"));
    EXPECT_EQ(TRtfWriter::EscapeText(QString(QChar(0x2028))), QByteArray("\\line "));
    EXPECT_EQ(TRtfWriter::EscapeText(QStringLiteral("a\u00A0b")), QByteArray("a\\~b"));
    EXPECT_EQ(TRtfWriter::EscapeText(QStringLiteral("a\x01\x1f\x7f"
                                                    "b")),
              QByteArray("ab"));
}

TEST(RtfWriter, UnicodeGoesAsSigned16BitEscapesWithAStandIn) {
    // The stand-in is the code page's character where it has one.
    EXPECT_EQ(TRtfWriter::EscapeText(QStringLiteral("\u00e9")), QByteArray("\\u233\\'e9"));
    EXPECT_EQ(TRtfWriter::EscapeText(QStringLiteral("\u0416")), QByteArray("\\u1046\\'3f"));
    // Above 32767 the number is negative.
    EXPECT_EQ(TRtfWriter::EscapeText(QStringLiteral("\uFFFD")), QByteArray("\\u-3\\'3f"));
    // Outside the basic plane: both halves of the surrogate pair.
    EXPECT_EQ(TRtfWriter::EscapeText(QString::fromUtf8("\xF0\x9F\x98\x80")),
              QByteArray("\\u-10179\\'3f\\u-8704\\'3f"));
    // The output is plain ASCII whatever went in.
    const QByteArray Out = TRtfWriter::EscapeText(QString::fromUtf8("Grüße 你好 \xF0\x9F\x98\x80"));
    for (const char C : Out)
        EXPECT_TRUE(static_cast<unsigned char>(C) < 0x80);
}

TEST(RtfWriter, RunsCarryTheirColourWeightSizeAndLinks) {
    TRtfDocument Doc;
    Doc.FontFamily = QStringLiteral("Arial");
    Doc.Points = 9;
    Doc.Paragraphs.append({Piece(QStringLiteral("Head"), 0x000080, true)});
    TRtfRun Big = Piece(QStringLiteral("body "), 0x000000, false);
    Big.Points = 12;
    Big.Italic = true;
    Doc.Paragraphs.append({Big, Piece(QStringLiteral("www.example.org"), 0x0000FF, false,
                                      QStringLiteral("http://www.example.org/a b\"c"))});
    TRtfRun Plain;
    Plain.Text = QStringLiteral("{plain}");
    Plain.Points = 9;
    Doc.Paragraphs.append({Plain});
    const QByteArray Rtf = TRtfWriter::Write(Doc);
    EXPECT_TRUE(
        Rtf.startsWith("{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1{\\fonttbl{\\f0\\fnil Arial;}}"))
        << Rtf.constData();
    EXPECT_TRUE(Rtf.trimmed().endsWith('}'));
    EXPECT_EQ(Rtf.count('{') - Rtf.count("\\{"), Rtf.count('}') - Rtf.count("\\}"))
        << Rtf.constData();
    // Each colour once, numbered from 1 in order of use.
    EXPECT_TRUE(Rtf.contains(
        "{\\colortbl ;\\red0\\green0\\blue128;\\red0\\green0\\blue0;\\red0\\green0\\blue255;}"))
        << Rtf.constData();
    EXPECT_TRUE(Rtf.contains("\\plain\\f0\\fs18\r\n{\\b\\cf1 Head}")) << Rtf.constData();
    EXPECT_TRUE(Rtf.contains("\\par\r\n{\\i\\cf2\\fs24 body }")) << Rtf.constData();
    // The target is one quoted argument: no quote or blank inside it.
    EXPECT_TRUE(
        Rtf.contains("{\\field{\\*\\fldinst{ HYPERLINK \"http://www.example.org/a%20b%22c\" }}"
                     "{\\fldrslt{\\ul\\cf3 www.example.org}}}"))
        << Rtf.constData();
    // The document's own size is not repeated; braces in the text are text.
    EXPECT_TRUE(Rtf.contains("\\par\r\n{ \\{plain\\}}\\par\r\n}")) << Rtf.constData();
}

TEST(RtfWriter, ASecondReaderReadsTheSameText) {
    const evidence_test::TRun Probe =
        evidence_test::RunProgram(QStringLiteral("unrtf"), {QStringLiteral("--version")});
    if (Probe.Status < 0)
        GTEST_SKIP() << "unrtf is not installed";
    TRtfDocument Doc;
    Doc.FontFamily = QStringLiteral("Arial");
    Doc.Paragraphs.append(
        {Piece(QStringLiteral("12/31/2024 10:00:00 Anna said: "), 0x000080, true)});
    Doc.Paragraphs.append({Piece(
        QString::fromUtf8("Жаль {aus} C:\\Temp 你好 \xF0\x9F\x98\x80 & <x>"), 0x000000, false)});
    Doc.Paragraphs.append({Piece(QStringLiteral("see "), 0x000000, false),
                           Piece(QStringLiteral("www.example.org"), 0x0000FF, false,
                                 QStringLiteral("http://www.example.org")),
                           Piece(QString::fromUtf8(" now, Grüße"), 0x000000, false)});
    QTemporaryDir Dir;
    const QString File = Dir.filePath(QStringLiteral("t.rtf"));
    {
        QFile F(File);
        ASSERT_TRUE(F.open(QIODevice::WriteOnly));
        F.write(TRtfWriter::Write(Doc));
    }
    const evidence_test::TRun Read =
        evidence_test::RunProgram(QStringLiteral("unrtf"), {QStringLiteral("--html"), File});
    ASSERT_EQ(Read.Status, 0) << qPrintable(Read.Err);
    const QString Html = Read.Out;
    // unrtf's HTML as text: a line a <br>, characters from their entities.
    QString Body = Html.mid(Html.indexOf(QStringLiteral("<body>")));
    Body.replace(QRegularExpression(QStringLiteral("\\s*<br>\\s*")), QStringLiteral("\n"));
    Body.remove(QRegularExpression(QStringLiteral("<[^>]*>")));
    QString Text;
    const QRegularExpression Entity(QStringLiteral("&(#(\\d+)|amp|lt|gt|quot);"));
    qsizetype At = 0;
    for (auto It = Entity.globalMatch(Body); It.hasNext();) {
        const QRegularExpressionMatch M = It.next();
        Text += Body.mid(At, M.capturedStart() - At);
        const QString Name = M.captured(1);
        if (!M.captured(2).isEmpty())
            Text += QChar(char16_t(M.captured(2).toUInt()));
        else
            Text += Name == QLatin1String("amp")  ? QStringLiteral("&")
                    : Name == QLatin1String("lt") ? QStringLiteral("<")
                    : Name == QLatin1String("gt") ? QStringLiteral(">")
                                                  : QStringLiteral("\"");
        At = M.capturedEnd();
    }
    Text += Body.mid(At);
    const QStringList Lines = Text.split(QLatin1Char('\n'));
    ASSERT_GE(Lines.size(), 3) << qPrintable(Html);
    EXPECT_EQ(Lines[0].trimmed(), QStringLiteral("12/31/2024 10:00:00 Anna said:"));
    EXPECT_EQ(Lines[1].trimmed(),
              QString::fromUtf8("Жаль {aus} C:\\Temp 你好 \xF0\x9F\x98\x80 & <x>"))
        << qPrintable(Html);
    EXPECT_TRUE(Lines[2].startsWith(QStringLiteral("see www.example.org now,")))
        << qPrintable(Html);
    // Latin-1 letters come back under their HTML names.
    EXPECT_TRUE(Html.contains(QStringLiteral("Gr&uuml;&szlig;e"))) << qPrintable(Html);
    EXPECT_TRUE(Html.contains(QStringLiteral("<b>"))) << qPrintable(Html);
    EXPECT_TRUE(Html.contains(QStringLiteral("#000080"), Qt::CaseInsensitive)) << qPrintable(Html);
}
