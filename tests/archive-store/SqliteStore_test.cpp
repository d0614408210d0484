// The SQLite backend: the shared store contract plus what only SQLite has
// (the doubled percent signs of its dialect, the single-file form).
#define STORE_SUITE SqliteStore
#include "StoreContract.h"

#include <sqlite3.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

class SqliteBackend : public vqtest::TestBackend {
public:
    std::string target() const override { return (dir_.path() / "archive").string(); }
    int serverType() const override { return 3; }
    bool dataFileExists(const std::string& filename) override {
        return fs::exists(dir_.path() / "archive" / "data" / filename.substr(0, 2) / filename);
    }
    void runAsOwner(const std::string& sql) override { ASSERT_EQ(exec(sql, nullptr), SQLITE_OK); }
    std::set<std::string> schemaNames() override {
        std::set<std::string> out;
        exec("SELECT name FROM sqlite_master", &out);
        return out;
    }

private:
    int exec(const std::string& sql, std::set<std::string>* names) {
        sqlite3* raw = nullptr;
        sqlite3_open((dir_.path() / "archive" / "archive.sqlite").c_str(), &raw);
        std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
        const auto add = [](void* to, int, char** values, char**) {
            static_cast<std::set<std::string>*>(to)->insert(values[0]);
            return 0;
        };
        return sqlite3_exec(db.get(), sql.c_str(), names ? +add : nullptr, names, nullptr);
    }

    vqtest::TempDir dir_;
};

} // namespace

std::unique_ptr<vqtest::TestBackend> makeTestBackend() {
    return std::make_unique<SqliteBackend>();
}

TEST_F(SqliteStore, DoubledPercentSignsAreSingleOnes) {
    // The viewer writes the modulo operator and LIKE wildcards as "%%" for
    // this dialect.
    EXPECT_EQ(scalar(*store_, "SELECT 17 %% 5"), "2");
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM cad WHERE value LIKE '%%000%%'"), "1");
    EXPECT_EQ(scalar(*store_, "SELECT '100%%'"), "100%");
}

TEST_F(SqliteStore, PragmasAndAttachingOtherFilesAreRefused) {
    for (const char* sql : {"PRAGMA query_only = 0", "ATTACH DATABASE ':memory:' AS other",
                            "PRAGMA table_info(media)"}) {
        Collected c;
        EXPECT_EQ(collect(*store_, sql, c).code, StoreCode::sqlError) << sql;
    }
    Collected c;
    EXPECT_EQ(collect(*store_, "UPDATE users SET Display_Name = 'x'", c).code, StoreCode::sqlError);
}

TEST_F(SqliteStore, OnlyOneStatementRunsPerRequest) {
    Collected c;
    EXPECT_EQ(collect(*store_, "SELECT 1; DELETE FROM media", c).code, StoreCode::sqlError);
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM media WHERE Media_ID = 1"), "1");
    EXPECT_EQ(scalar(*store_, "SELECT 5 ;  "), "5");
}

TEST_F(SqliteStore, ViewerStyleDoubleQuotedLiteralsWork) {
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM participants WHERE External_Address = "
                              "\"+49 30 1234\""),
              "1");
}

TEST_F(SqliteStore, ARecordWhoseFileVanishedGivesReadFailed) {
    fs::remove(fs::path(backend_->target()) / "data" / known_.fileB.substr(0, 2) / known_.fileB);
    std::vector<uint8_t> got;
    const auto r = vqtest::download(*store_, 8, got);
    EXPECT_EQ(r.code, StoreCode::readFailed);
    EXPECT_NE(r.message.find(known_.fileB), std::string::npos) << r.message;
}

TEST_F(SqliteStore, ASingleFileArchiveServesDataKeptInTheDatabase) {
    vqtest::TempDir elsewhere;
    const fs::path file = elsewhere.path() / "single.sqlite";
    fs::copy_file(fs::path(backend_->target()) / "archive.sqlite", file);
    {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
        std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
        sqlite3_stmt* s = nullptr;
        ASSERT_EQ(
            sqlite3_prepare_v2(db.get(), "INSERT INTO media_files VALUES (?, ?)", -1, &s, nullptr),
            SQLITE_OK);
        sqlite3_bind_text(s, 1, known_.fileC.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(s, 2, known_.pdf.data(), static_cast<int>(known_.pdf.size()),
                          SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(s), SQLITE_DONE);
        sqlite3_finalize(s);
    }
    auto single = vqarchive::ArchiveStore::open(file.string());
    EXPECT_TRUE(single->status().reachable);
    std::vector<uint8_t> got;
    ASSERT_TRUE(vqtest::download(*single, 9, got, 700).ok());
    EXPECT_EQ(got, known_.pdf);
    // Without a data folder and no blob, a recording is missing.
    got.clear();
    EXPECT_EQ(vqtest::download(*single, 7, got).code, StoreCode::readFailed);
}

TEST_F(SqliteStore, OpeningAMissingArchiveIsAClearError) {
    try {
        vqarchive::ArchiveStore::open("/nonexistent/archive/folder");
        FAIL() << "expected StoreError";
    } catch (const vqarchive::StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/archive/folder"), std::string::npos);
    }
}

TEST_F(SqliteStore, AFileThatIsNoDatabaseIsReportedUnreachable) {
    vqtest::TempDir elsewhere;
    const fs::path file = elsewhere.path() / "garbage.sqlite";
    {
        std::FILE* f = std::fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("this is not an SQLite database, just some text padding it out to a size", f);
        std::fclose(f);
    }
    auto bad = vqarchive::ArchiveStore::open(file.string());
    const auto s = bad->status();
    EXPECT_FALSE(s.reachable);
    EXPECT_FALSE(s.message.empty());
    Collected c;
    EXPECT_NE(collect(*bad, "SELECT 1 FROM media", c).code, StoreCode::success);
}

TEST_F(SqliteStore, AClientCannotMakeTheServerBuildHugeValues) {
    Collected c;
    const auto r = collect(*store_, "SELECT randomblob(200000000)", c);
    EXPECT_EQ(r.code, StoreCode::sqlError);
    EXPECT_FALSE(r.message.empty());
}

TEST_F(SqliteStore, OnlyPlainReadsOfTheArchiveRun) {
    // Functions that reach into the engine or out of the database: the
    // tokenizer's pointer, extensions, files.
    for (const char* sql :
         {"SELECT hex(fts3_tokenizer('porter'))", "SELECT fts3_tokenizer('x', X'0011223344556677')",
          "SELECT load_extension('/tmp/nothing.so')", "SELECT readfile('/etc/passwd')",
          "SELECT writefile('/tmp/vq_written', 'x')", "SELECT sqlite_compileoption_used('X')",
          "SELECT zeroblob(10)", "SELECT name FROM sqlite_master", "SELECT sql FROM sqlite_schema",
          "WITH t(x) AS (SELECT 1) INSERT INTO users SELECT 9, "
          "'x', 'y' FROM t"}) {
        Collected c;
        const auto r = collect(*store_, sql, c);
        EXPECT_EQ(r.code, StoreCode::sqlError) << sql;
        EXPECT_TRUE(c.rows().empty()) << sql;
    }
    EXPECT_FALSE(fs::exists("/tmp/vq_written"));
    // What the viewer's queries use still works.
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM users"), "3");
    EXPECT_EQ(scalar(*store_, "SELECT SUBSTR('recording.wav', -3) || LENGTH('abc') || "
                              "Coalesce(NULL, 'x') || upper('b')"),
              "wav3xB");
    EXPECT_EQ(scalar(*store_, "SELECT strftime('%%Y', 0, 'unixepoch') || IFNULL(NULL, '-') || "
                              "printf('%%d', max(1, 2))"),
              "1970-2");
    EXPECT_EQ(scalar(*store_, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                              "WHERE i < 5) SELECT group_concat(i, '') FROM n"),
              "12345");
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM media AS m INNER JOIN participants AS p ON "
                              "m.Media_ID = p.Media_ID WHERE m.Media_Type LIKE 'c%%' AND "
                              "p.Role IN (0, 1)") != "",
              true);
}

TEST_F(SqliteStore, BringingAnArchiveUpToDateKeepsTheStatisticsItWasMadeWith) {
    store_.reset();
    // Figures no sample of this archive gives, as if made from every row of
    // a large one; the day table is what the archive lacks.
    backend_->runAsOwner("UPDATE sqlite_stat1 SET stat = '5000000 3' WHERE idx = 'media_time'; "
                         "DROP TABLE media_days");
    store_ = vqarchive::ArchiveStore::open(backend_->target());
    ASSERT_TRUE(store_->status().reachable);
    // Kept: the archive still holds the figures; made: the day table (else
    // the statement fails: abs() of the smallest integer overflows).
    backend_->runAsOwner("SELECT CASE WHEN stat = '5000000 3' AND (SELECT COUNT(*) FROM "
                         "media_days) > 0 THEN 1 ELSE abs(-9223372036854775808) END FROM "
                         "sqlite_stat1 WHERE idx = 'media_time'");
}
