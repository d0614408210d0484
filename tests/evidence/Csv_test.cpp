// CSV as RFC 4180 has it, read back by a reader that follows it to the
// letter; the guard against cells that spreadsheets would run.
#include "EvidenceTestSupport.h"

#include "Csv.h"

using evidence_test::ReadCsv;

TEST(Csv, FieldsAreQuotedOnlyWhenTheyMustBe) {
    EXPECT_EQ(CsvField(QStringLiteral("plain text")), QStringLiteral("plain text"));
    EXPECT_EQ(CsvField(QString()), QString());
    EXPECT_EQ(CsvField(QStringLiteral("a,b")), QStringLiteral("\"a,b\""));
    EXPECT_EQ(CsvField(QStringLiteral("say \"hi\"")), QStringLiteral("\"say \"\"hi\"\"\""));
    EXPECT_EQ(CsvField(QStringLiteral("two\r\nlines")), QStringLiteral("\"two\r\nlines\""));
    EXPECT_EQ(CsvField(QStringLiteral("lf\nonly")), QStringLiteral("\"lf\nonly\""));
    // Blanks at either end survive readers that trim plain fields.
    EXPECT_EQ(CsvField(QStringLiteral(" padded")), QStringLiteral("\" padded\""));
    EXPECT_EQ(CsvField(QStringLiteral("padded ")), QStringLiteral("\"padded \""));
}

TEST(Csv, LinesEndInCrLfAndReadBackUnchanged) {
    const QStringList Tricky = {QStringLiteral("a,b"),
                                QStringLiteral("\"quoted\""),
                                QStringLiteral("line\r\nbreak"),
                                QStringLiteral("bare\nfeed"),
                                QStringLiteral("  blanks  "),
                                QString(),
                                QString::fromUtf8("Zoë Müller, Ольга, 你好 \xF0\x9F\x98\x80"),
                                QStringLiteral("'already")};
    QByteArray File(CsvByteOrderMark);
    File += CsvLine({QStringLiteral("h1"), QStringLiteral("h2")});
    File += CsvLine(Tricky);
    File += CsvLine({QStringLiteral("x")});
    EXPECT_TRUE(File.startsWith("\xEF\xBB\xBFh1,h2\r\n"));
    EXPECT_TRUE(File.endsWith("\r\nx\r\n"));
    QString Error;
    const QList<QStringList> Rows = ReadCsv(File, &Error);
    ASSERT_TRUE(Error.isEmpty()) << qPrintable(Error);
    ASSERT_EQ(Rows.size(), 3);
    EXPECT_EQ(Rows[0], QStringList({"h1", "h2"}));
    EXPECT_EQ(Rows[1], Tricky);
    EXPECT_EQ(Rows[2], QStringList({"x"}));
}

TEST(Csv, TheReaderRefusesWhatTheRulesForbid) {
    // So that its acceptance of the writer's files means something.
    QString Error;
    EXPECT_TRUE(ReadCsv("a,b\n", &Error).isEmpty());
    EXPECT_FALSE(Error.isEmpty());
    Error.clear();
    EXPECT_TRUE(ReadCsv("a\"b\r\n", &Error).isEmpty());
    EXPECT_FALSE(Error.isEmpty());
    Error.clear();
    EXPECT_TRUE(ReadCsv("\"open\r\n", &Error).isEmpty());
    EXPECT_FALSE(Error.isEmpty());
}

TEST(Csv, CellsThatLookLikeFormulasGetAnApostrophe) {
    for (const char* Formula :
         {"=HYPERLINK(\"http://x\")", "+49 30 1234", "-2+3", "@SUM(A1)", "\tcmd", "\rx"})
        EXPECT_EQ(GuardedCell(QString::fromLatin1(Formula)),
                  QLatin1Char('\'') + QString::fromLatin1(Formula))
            << Formula;
    for (const char* Plain : {"Anna", "", "1+1", "a=b", " =x", "'quoted"})
        EXPECT_EQ(GuardedCell(QString::fromLatin1(Plain)), QString::fromLatin1(Plain)) << Plain;
    // A guarded cell is still one field when read back.
    const QList<QStringList> Rows =
        ReadCsv(CsvLine({GuardedCell(QStringLiteral("=1,2")), QStringLiteral("b")}));
    ASSERT_EQ(Rows.size(), 1);
    EXPECT_EQ(Rows[0], QStringList({"'=1,2", "b"}));
}
