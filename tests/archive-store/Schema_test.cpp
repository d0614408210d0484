// One description of the archive's tables, rendered for both databases.
#include "Schema.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <set>

using namespace vqarchive;

namespace {

// The tables and columns the viewer's statements name.
const std::map<std::string, std::set<std::string>> kViewerColumns = {
    {"media", {"Media_ID", "Media_Type", "CALL_ID", "Timestamp", "filename"}},
    {"participants", {"Media_ID", "User_ID", "Group_ID", "External_Address", "Role"}},
    {"users", {"User_ID", "Display_Name"}},
    {"groups", {"Group_ID", "Display_Name"}},
    {"cad", {"call_id", "name", "value", "description"}},
};

} // namespace

TEST(Schema, HasEveryTableAndColumnTheViewerNames) {
    for (const auto& entry : kViewerColumns) {
        const std::string& table = entry.first;
        const std::set<std::string>& columns = entry.second;
        const auto& schema = archiveSchema();
        const auto t = std::find_if(schema.begin(), schema.end(),
                                    [&](const TableDef& d) { return d.name == table; });
        ASSERT_NE(t, schema.end()) << table;
        for (const auto& c : columns) {
            EXPECT_TRUE(std::any_of(t->columns.begin(), t->columns.end(),
                                    [&](const ColumnDef& d) { return d.name == c; }))
                << table << "." << c;
        }
    }
}

TEST(Schema, RendersForSqliteAndCreatesEveryTable) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    for (const auto& sql : createStatements(Dialect::sqlite)) {
        char* err = nullptr;
        EXPECT_EQ(sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &err), SQLITE_OK)
            << sql << ": " << (err ? err : "");
        sqlite3_free(err);
    }
    for (const auto& t : archiveSchema()) {
        const std::string sql = "SELECT * FROM " + t.name;
        sqlite3_stmt* s = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &s, nullptr), SQLITE_OK) << t.name;
        EXPECT_EQ(sqlite3_column_count(s), static_cast<int>(t.columns.size()));
        sqlite3_finalize(s);
    }
    for (const auto& sql : dropStatements(Dialect::sqlite))
        EXPECT_EQ(sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
}

TEST(Schema, MariaDbFormUsesItsOwnTypesAndExactTexts) {
    const auto statements = createStatements(Dialect::mariadb);
    const auto media = std::find_if(statements.begin(), statements.end(), [](const auto& s) {
        return s.rfind("CREATE TABLE media ", 0) == 0;
    });
    ASSERT_NE(media, statements.end());
    EXPECT_NE(media->find("Media_ID INT UNSIGNED NOT NULL"), std::string::npos) << *media;
    EXPECT_NE(media->find("Media_Type VARCHAR(16) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin"),
              std::string::npos);
    EXPECT_NE(media->find("PRIMARY KEY (Media_ID)"), std::string::npos);
    EXPECT_NE(media->find("ENGINE=InnoDB"), std::string::npos);
}

TEST(Schema, CreatesEveryTableInMariaDb) {
    VQ_MYSQL_OR_SKIP();
    vqtest::TempMysqlDatabase db;
    for (const auto& sql : createStatements(Dialect::mariadb))
        EXPECT_NO_THROW(db.run(sql)) << sql;
    auto store = ArchiveStore::open(db.url());
    EXPECT_TRUE(store->status().reachable);
    for (const auto& t : archiveSchema())
        EXPECT_EQ(vqtest::scalar(*store, "SELECT COUNT(*) FROM " + t.name), "0");
}
