// Only a CAD condition that stands as a whole term of the statement's own
// text may be replaced: not one in a quote or comment, not a negated IN,
// not one an operator beside it would split.
#include "CadCondition.h"

#include <gtest/gtest.h>

namespace {

using vqarchive::Dialect;

const std::string kCad = "m.call_id IN (SELECT call_id FROM cad WHERE name = 'Q' AND value = 'V')";

TEST(CadCondition, FoundOnlyAsAWholeTermOfTheStatement) {
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
        {"SELECT 1 WHERE (m.call_id NOT IN (SELECT call_id FROM cad WHERE name = 'Q' AND value "
         "= 'V'))",
         Dialect::sqlite, 0},
        {"SELECT 1 WHERE (call_id IN (SELECT call_id FROM cad WHERE name = 'Q' AND value = 'V'))",
         Dialect::sqlite, 0},
        {"SELECT 1 WHERE (cad.call_id IN (SELECT call_id FROM cad WHERE name = 'Q' AND value = "
         "'V'))",
         Dialect::sqlite, 0},
        {"SELECT 1 WHERE 1 = " + kCad, Dialect::sqlite, 0},
        {"SELECT 1 WHERE (" + kCad + " = 0)", Dialect::sqlite, 0},
        {"SELECT 1 WHERE (" + kCad.substr(0, kCad.size() - 1) + " OR 1)", Dialect::sqlite, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vqarchive::findCadConditions(c.sql, c.dialect).size(), c.found) << c.sql;
}

TEST(CadCondition, ListsOfOtherSubqueriesAreCountedBesideIt) {
    const std::string sql = "SELECT 1 WHERE (m.Media_ID IN (SELECT Media_ID FROM participants "
                            "WHERE User_Id = 1)) AND (" +
                            kCad + ") AND 'IN (SELECT' <> ''";
    EXPECT_EQ(vqarchive::subqueryListCount(sql, Dialect::mariadb), 2u);
    EXPECT_EQ(vqarchive::findCadConditions(sql, Dialect::mariadb).size(), 1u);
}

} // namespace
