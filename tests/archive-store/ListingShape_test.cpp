// Only a CAD condition or time span that stands as a whole term of the
// statement's own text may be reshaped: not one in a quote or comment, not a
// negated one, not one an operator beside it would split.
#include "ListingShape.h"

#include <gtest/gtest.h>

namespace {

using vqarchive::Dialect;

const std::string kCad = "m.call_id IN (SELECT call_id FROM cad WHERE name = 'Q' AND value = 'V')";

TEST(ListingShape, FoundOnlyAsAWholeTermOfTheStatement) {
    const struct {
        std::string sql;
        Dialect dialect;
        size_t found;
    } cases[] = {
        {"SELECT * FROM media AS m WHERE (( " + kCad + "))", Dialect::sqlite, 1},
        {"SELECT 1 WHERE " + kCad + " AND " + kCad + " ORDER BY 1", Dialect::mariadb, 2},
        {"SELECT 1 WHERE x = 1 OR\n" + kCad + ";", Dialect::sqlite, 1},
        {"SELECT '" + kCad + "'", Dialect::sqlite, 0},
        {"SELECT 'it''s' WHERE (" + kCad + ")", Dialect::sqlite, 1},
        {"SELECT 'it\\' WHERE (" + kCad + ")'", Dialect::mariadb, 0},
        {"SELECT 1 -- WHERE (" + kCad + ")", Dialect::sqlite, 0},
        {"SELECT 1 /* (" + kCad + ") */", Dialect::sqlite, 0},
        {"SELECT 1 /* (" + kCad + ")", Dialect::sqlite, 0},
        {"SELECT 1 WHERE (m.call_id NOT" + kCad.substr(9) + ")", Dialect::sqlite, 0},
        {"SELECT 1 WHERE (" + kCad.substr(2) + ")", Dialect::sqlite, 0},
        {"SELECT 1 WHERE (cad." + kCad.substr(2) + ")", Dialect::sqlite, 0},
        {"SELECT 1 WHERE 1 = " + kCad, Dialect::sqlite, 0},
        {"SELECT 1 WHERE (" + kCad + " = 0)", Dialect::sqlite, 0},
        {"SELECT 1 WHERE (" + kCad.substr(0, kCad.size() - 1) + " OR 1)", Dialect::sqlite, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vqarchive::findCadConditions(c.sql, c.dialect).size(), c.found) << c.sql;
}

TEST(ListingShape, ListsOfOtherSubqueriesAreCountedBesideIt) {
    const std::string sql = "SELECT 1 WHERE (m.Media_ID IN (SELECT Media_ID FROM participants "
                            "WHERE User_Id = 1)) AND (" +
                            kCad + ") AND 'IN (SELECT' <> ''";
    EXPECT_EQ(vqarchive::subqueryListCount(sql, Dialect::mariadb), 2u);
    EXPECT_EQ(vqarchive::findCadConditions(sql, Dialect::mariadb).size(), 1u);
}

TEST(ListingShape, ATimeSpanOnlyAsATermAndedWithAllOthers) {
    const std::string from = "SELECT m.Media_ID FROM media AS m JOIN participants p ON 1 WHERE ";
    const std::string span = "m.Timestamp BETWEEN 100 AND 200";
    const struct {
        std::string sql;
        int64_t to; // 0: none found
    } cases[] = {
        {from + "(x != 0) And m.media_type in ('im') AND ((" + span + ")) ORDER BY 1", 200},
        {from + "a BETWEEN 1 AND 2 AND " + span + " LIMIT 3", 200},
        {"SELECT 1 FROM media m WHERE " + span, 200},
        {from + "a = 1 OR " + span, 0},
        {from + "NOT " + span, 0},
        {from + "CASE WHEN 1 AND " + span + " AND 1 THEN 1 END", 0},
        {from + "m.Media_ID IN (SELECT Media_ID FROM media m WHERE " + span + ")", 0},
        {"SELECT 1 FROM calls AS m WHERE " + span, 0},
        {from + "(" + span + " OR 0 = 1)", 0},
    };
    for (const auto& c : cases) {
        const auto found = vqarchive::findTimeSpan(c.sql, Dialect::sqlite);
        EXPECT_EQ(found ? found->to : 0, c.to) << c.sql;
    }
    // A participant list beside it is bounded too, unless it is more than a
    // plain condition.
    const std::string list = "m.Media_ID IN (SELECT Media_ID FROM participants WHERE User_ID = 1";
    for (const auto& [tail, bounded] :
         {std::pair{")", "WHERE ( User_ID = 1) AND Media_ID BETWEEN 5 AND 9 ))) AND " + span +
                             " AND m.Media_ID BETWEEN 5 AND 9 "},
          {" OR 1)", "WHERE ( User_ID = 1 OR 1) AND Media_ID BETWEEN 5 AND 9 )"},
          {" LIMIT 1)", "User_ID = 1 LIMIT 1))) AND " + span + " AND m.Media_ID BETWEEN"},
          {") OR (1)", "= 1) OR (1))) AND " + span + " AND m.Media_ID BETWEEN 5 AND 9 "}}) {
        const std::string sql = from + "((" + list + tail + ")) AND " + span;
        const auto found = vqarchive::findTimeSpan(sql, Dialect::sqlite);
        ASSERT_TRUE(found) << sql;
        const std::string out =
            vqarchive::reshapedSpanListing(sql, Dialect::sqlite, *found, {{5, 9}}, {});
        EXPECT_NE(out.find(bounded), std::string::npos) << out;
    }
}

TEST(ListingShape, TheArchivesFactsChooseBetweenCollectingAndTestingPerRecord) {
    const std::string sql = "SELECT 1 FROM media m WHERE m.Media_ID IN (SELECT Media_ID FROM "
                            "participants WHERE Group_ID = 7) AND m.Timestamp BETWEEN 1 AND 2";
    // A span of 3,000,000 records from number 1,000,000 on (or, far apart,
    // unbounded) among 10,000,000; the list's count on a sixteenth of them.
    for (const auto& [high, sampled, shows] :
         {std::tuple{3999999, 10, "7) AND Media_ID BETWEEN 1000000 AND 3999999 ) AND m."},
          {3999999, 100000,
           "m FORCE INDEX (PRIMARY) WHERE EXISTS (SELECT 1 FROM participants "
           "WHERE ( Group_ID = 7) AND Media_ID = m.Media_ID)"},
          {50000000, 100000, "m FORCE INDEX (PRIMARY) WHERE EXISTS"},
          {50000000, 10, ""}}) {
        const vqarchive::ArchiveFacts facts{
            [&](const auto&) {
                return std::optional(vqarchive::SpanBounds{1000000, high, 3000000});
            },
            [&](const std::string& q) {
                return std::optional<uint64_t>(q.find("MAX(") != q.npos ? 10000000 : sampled);
            }};
        const auto out = vqarchive::shapedSpanListing(sql, Dialect::mariadb, facts);
        EXPECT_EQ(out.has_value(), *shows != 0);
        EXPECT_NE((out ? out->sql : std::string()).find(shows), std::string::npos);
    }
}

} // namespace
