#include "Conditions.h"
#include "ModelErrors.h"
#include "SQLMacros.h"

#include <gtest/gtest.h>

namespace {

QString Expand(int ServerType, const char* Sql) {
    return ExpandSQLMacros(ServerType, QString::fromUtf8(Sql));
}

std::string AssertText(int ServerType, const char* Sql) {
    try {
        Expand(ServerType, Sql);
    } catch (const EAssertionFailed& Error) {
        EXPECT_EQ(Error.Unit(), QStringLiteral("ArchiverUI/Conditions"));
        return Error.Text().toStdString();
    }
    return "no error";
}

} // namespace

TEST(SQLMacrosExpand, TextWithoutMacrosIsUnchanged) {
    for (int Type : {1, 2, 3, 4}) {
        EXPECT_EQ(Expand(Type, "SELECT a FROM b WHERE c = '#F'"),
                  QStringLiteral("SELECT a FROM b WHERE c = '#F'"));
    }
    EXPECT_EQ(Expand(2, ""), QString());
}

TEST(SQLMacrosExpand, RightPerServerType) {
    EXPECT_EQ(Expand(1, "#F_RIGHT(m.filename,3)"), QStringLiteral("RIGHT(m.filename, 3)"));
    EXPECT_EQ(Expand(2, "#F_RIGHT(m.filename,3)"), QStringLiteral("SUBSTR(m.filename, -3)"));
    EXPECT_EQ(Expand(3, "#F_RIGHT(m.filename,3)"), QStringLiteral("SUBSTR(m.filename, -3)"));
    EXPECT_EQ(Expand(0, "#F_RIGHT(m.filename,3)"), QString());
}

TEST(SQLMacrosExpand, LengthPerServerType) {
    EXPECT_EQ(Expand(1, "#F_LENGTH(p.External_Address)"),
              QStringLiteral("LEN(p.External_Address)"));
    EXPECT_EQ(Expand(2, "#F_LENGTH(p.External_Address)"),
              QStringLiteral("LENGTH(p.External_Address)"));
    EXPECT_EQ(Expand(3, "#F_LENGTH( p.External_Address )"),
              QStringLiteral("LENGTH(p.External_Address)"));
}

TEST(SQLMacrosExpand, ConcatPerServerType) {
    const char* Sql = "#F_CONCAT(g.Display_Name, ' agent ', u.Display_Name)";
    EXPECT_EQ(Expand(1, Sql), QStringLiteral("g.Display_Name + ' agent ' + u.Display_Name"));
    EXPECT_EQ(Expand(2, Sql), QStringLiteral("CONCAT(g.Display_Name, ' agent ', u.Display_Name)"));
    EXPECT_EQ(Expand(3, Sql), QStringLiteral("g.Display_Name || ' agent ' || u.Display_Name"));
    EXPECT_EQ(Expand(7, Sql), QString());
}

TEST(SQLMacrosExpand, EmptyConcat) {
    EXPECT_EQ(Expand(2, "#F_CONCAT()"), QStringLiteral("CONCAT()"));
    EXPECT_EQ(Expand(3, "#F_CONCAT()"), QString());
    EXPECT_EQ(Expand(1, "x#F_CONCAT()y"), QStringLiteral("xy"));
}

TEST(SQLMacrosExpand, IgnoreIndexOnlyForType2) {
    EXPECT_EQ(Expand(2, "FROM media #F_IGNOREINDEX(ix_ts) WHERE"),
              QStringLiteral("FROM media IGNORE INDEX (ix_ts) WHERE"));
    EXPECT_EQ(Expand(1, "FROM media #F_IGNOREINDEX(ix_ts) WHERE"),
              QStringLiteral("FROM media  WHERE"));
    EXPECT_EQ(Expand(3, "FROM media #F_IGNOREINDEX(ix_ts) WHERE"),
              QStringLiteral("FROM media  WHERE"));
}

TEST(SQLMacrosExpand, SeveralMacrosAndSurroundingText) {
    EXPECT_EQ(Expand(2, "a #F_LENGTH(x) b #F_RIGHT(y, 2) c"),
              QStringLiteral("a LENGTH(x) b SUBSTR(y, -2) c"));
}

TEST(SQLMacrosExpand, CommasInQuotesStillSplit) {
    // Quotes are not taken into account: the comma inside splits too.
    EXPECT_EQ(Expand(3, "#F_CONCAT(a, ', ', b)"), QStringLiteral("a || ' || ' || b"));
}

TEST(SQLMacrosExpand, MacrosInsideLiteralsAreData) {
    EXPECT_EQ(Expand(2, "a = '#F_LENGTH(x)' AND #F_LENGTH(y)"),
              QStringLiteral("a = '#F_LENGTH(x)' AND LENGTH(y)"));
    // A doubled quote does not end the literal.
    EXPECT_EQ(Expand(1, "'it''s #F_IGNOREINDEX(' , #F_LENGTH(z) ')'"),
              QStringLiteral("'it''s #F_IGNOREINDEX(' , LEN(z) ')'"));
    // Not even an unknown name inside a literal is an error.
    EXPECT_EQ(Expand(3, "x = '#F_nothing'"), QStringLiteral("x = '#F_nothing'"));
    // Quotes inside a macro's arguments do not change what follows.
    EXPECT_EQ(Expand(3, "#F_CONCAT(a, ' x ') #F_LENGTH(b)"),
              QStringLiteral("a || ' x ' LENGTH(b)"));
}

TEST(SQLMacrosExpand, HeadingLosesItsMacrosForUnknownServerType) {
    const QString Sql = ExpandSQLMacros(4, QString::fromLatin1(QueryHeadingSQL));
    EXPECT_FALSE(Sql.contains(QStringLiteral("#F_")));
    EXPECT_TRUE(Sql.contains(QStringLiteral("Then   When u.User_ID")));
    EXPECT_TRUE(Sql.contains(QStringLiteral("p.Role,  FROM media")));
    EXPECT_TRUE(Sql.contains(QStringLiteral("Coalesce(p.User_ID, p.Group_ID, , 0)")));
}

TEST(SQLMacrosErrors, MissingParentheses) {
    EXPECT_EQ(AssertText(2, "SELECT #F_LENGTH"), "Element expected in Sql query: (");
    EXPECT_EQ(AssertText(2, "SELECT #F_LENGTH(x"), "Element expected in Sql query: )");
}

TEST(SQLMacrosErrors, UnknownNames) {
    EXPECT_EQ(AssertText(2, "#F_length(x)"), "Unknown function: length");
    EXPECT_EQ(AssertText(2, "#F_(x)"), "Unknown function: ");
    EXPECT_EQ(AssertText(2, "#F_ LENGTH(x)"), "Unknown function:  LENGTH");
    // The name is checked whatever the server type.
    EXPECT_EQ(AssertText(9, "#F_UPPER(x)"), "Unknown function: UPPER");
}

TEST(SQLMacrosErrors, WrongArgumentCounts) {
    EXPECT_EQ(AssertText(1, "#F_RIGHT(x)"), "Assertion failure");
    EXPECT_EQ(AssertText(1, "#F_RIGHT(x,1,2)"), "Assertion failure");
    EXPECT_EQ(AssertText(2, "#F_LENGTH()"), "Assertion failure");
    EXPECT_EQ(AssertText(2, "#F_LENGTH(a,b)"), "Assertion failure");
    EXPECT_EQ(AssertText(2, "#F_IGNOREINDEX()"), "Assertion failure");
}

TEST(SQLMacrosErrors, MessageNamesTheUnit) {
    try {
        Expand(2, "#F_NOPE()");
        FAIL() << "no error";
    } catch (const EAssertionFailed& Error) {
        EXPECT_STREQ(Error.what(), "Unknown function: NOPE (ArchiverUI/Conditions)");
    }
}

TEST(SQLMacrosSplit, TrimsPiecesAndKeepsEmptyOnes) {
    EXPECT_EQ(
        Split(QStringLiteral(" a , b,,c "), QStringLiteral(",")),
        QStringList({QStringLiteral("a"), QStringLiteral("b"), QString(), QStringLiteral("c")}));
    EXPECT_TRUE(Split(QString(), QStringLiteral(",")).isEmpty());
    EXPECT_EQ(Split(QStringLiteral("  "), QStringLiteral(",")), QStringList({QString()}));
    EXPECT_EQ(Split(QStringLiteral("\tx\n"), QStringLiteral(",")),
              QStringList({QStringLiteral("x")}));
}

TEST(SQLMacrosSplit, JoinUsesTheSeparator) {
    EXPECT_EQ(Join({QStringLiteral("a"), QStringLiteral("b")}, QStringLiteral(" || ")),
              QStringLiteral("a || b"));
    EXPECT_EQ(Join({}, QStringLiteral(", ")), QString());
}
