// The embedded backend: an SQLite archive file plus a data folder of
// content-named files beside it.
#include "SqliteStore.h"

#include "ArchiveWriter.h"
#include "ListingShape.h"
#include "Schema.h"
#include "StoreCommon.h"
#include "TextMatch.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>

namespace fs = std::filesystem;

namespace vqarchive {

namespace {

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DbHandle = std::unique_ptr<sqlite3, DbCloser>;

struct StmtFinalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// How much of a data file one read takes.
constexpr size_t kFileReadBlock = 1024 * 1024;

// Failures of the engine or the file, as opposed to a statement it refused.
bool isDatabaseFailure(int rc) {
    switch (rc & 0xFF) {
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FULL:
    case SQLITE_NOMEM:
        return true;
    default:
        return false;
    }
}

StoreResult failureOf(sqlite3* db, int rc) {
    const std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    return StoreResult::failure(isDatabaseFailure(rc) ? StoreCode::dbFailed : StoreCode::sqlError,
                                msg);
}

// The plain functions of SQL that a client statement may call: text,
// numbers, dates and times, aggregates and windows. Whatever reaches
// outside the database or into the engine (load_extension, readfile,
// writefile, fts3_tokenizer, the sqlite_* functions), and what only makes
// values of any size (zeroblob, randomblob), is not among them.
bool allowedFunction(const char* name) {
    static const std::set<std::string> allowed = {
        "abs",        "avg",         "ceil",         "ceiling",      "char",       "coalesce",
        "concat",     "concat_ws",   "count",        "cume_dist",    "date",       "datetime",
        "dense_rank", "first_value", "floor",        "format",       "glob",       "group_concat",
        "hex",        "ifnull",      "iif",          "instr",        "julianday",  "lag",
        "last_value", "lead",        "length",       "like",         "likelihood", "likely",
        "lower",      "ltrim",       "max",          "min",          "mod",        "nth_value",
        "ntile",      "nullif",      "octet_length", "percent_rank", "printf",     "quote",
        "rank",       "replace",     "round",        "row_number",   "rtrim",      "sign",
        "string_agg", "strftime",    "substr",       "substring",    "sum",        "time",
        "timediff",   "total",       "trim",         "trunc",        "typeof",     "unhex",
        "unicode",    "unixepoch",   "unlikely",     "upper"};
    if (!name)
        return false;
    std::string lower(name);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return allowed.count(lower) != 0;
}

bool archiveTable(const char* name) {
    if (!name)
        return false;
    for (const TableDef& t : archiveSchema())
        if (sqlite3_stricmp(t.name.c_str(), name) == 0)
            return true;
    return false;
}

// Client statements may read the archive's tables and nothing else: no
// writes, no pragmas, no attaching other files, no schema tables, and only
// the functions above.
// `serverReads` (a bool) lets the server's own statements read its day
// table while it is set.
int clientAuthorizer(void* serverReads, int action, const char* first, const char* second,
                     const char*, const char*) {
    switch (action) {
    case SQLITE_SELECT:
    case SQLITE_RECURSIVE:
        return SQLITE_OK;
    case SQLITE_READ:
        if (*static_cast<const bool*>(serverReads) && first &&
            sqlite3_stricmp(first, "media_days") == 0)
            return SQLITE_OK;
        return archiveTable(first) ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_FUNCTION:
        return allowedFunction(second) ? SQLITE_OK : SQLITE_DENY;
    default:
        return SQLITE_DENY;
    }
}

int cancelProgress(void* token) {
    return static_cast<const CancelToken*>(token)->cancelled() ? 1 : 0;
}

void execOrThrow(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errmsg(db);
        sqlite3_free(err);
        throw StoreError("SQLite: " + msg + " (in: " + sql.substr(0, 80) + ")");
    }
}

Stmt prepareOrThrow(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK)
        throw StoreError("SQLite: " + std::string(sqlite3_errmsg(db)));
    return Stmt(s);
}

std::string columnText(sqlite3_stmt* s, int i) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    if (!text)
        return {};
    return std::string(text, static_cast<size_t>(sqlite3_column_bytes(s, i)));
}

void bindText(sqlite3_stmt* s, int i, const std::string& v, bool nullWhenEmpty) {
    if (nullWhenEmpty && v.empty())
        sqlite3_bind_null(s, i);
    else
        sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

void bindId(sqlite3_stmt* s, int i, uint32_t v) {
    if (v == 0)
        sqlite3_bind_null(s, i);
    else
        sqlite3_bind_int64(s, i, v);
}

void stepDone(sqlite3* db, sqlite3_stmt* s) {
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    if (rc != SQLITE_DONE)
        throw StoreError("SQLite: " + std::string(sqlite3_errmsg(db)));
}

// A read transaction that is ended and begun again every so many steps.
// Without one (BEGIN refused) the reads still work, only slower.
class ReadStretch {
public:
    explicit ReadStretch(sqlite3* db) : db_(db) {}
    ~ReadStretch() { end(); }
    ReadStretch(const ReadStretch&) = delete;
    ReadStretch& operator=(const ReadStretch&) = delete;

    void next() {
        if (open_ && ++steps_ < kSteps)
            return;
        end();
        open_ = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
        steps_ = 0;
    }
    void end() {
        if (open_)
            sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        open_ = false;
    }

private:
    static constexpr unsigned kSteps = 2000;
    sqlite3* db_;
    bool open_ = false;
    unsigned steps_ = 0;
};

// Indexes that earlier versions made and the schema has replaced.
const char* const kRetiredIndexes[] = {"participants_media", "participants_user",
                                       "participants_group", "participants_external",
                                       "cad_name_value"};

bool planned(sqlite3* db) {
    Stmt q = prepareOrThrow(db, "SELECT COUNT(*) FROM sqlite_master WHERE name = 'sqlite_stat1'");
    return sqlite3_step(q.get()) == SQLITE_ROW && sqlite3_column_int(q.get(), 0) > 0;
}

// The statements that give an archive the schema's indexes.
std::vector<std::string> missingIndexes(sqlite3* db) {
    std::set<std::string> existing;
    Stmt q = prepareOrThrow(db, "SELECT name FROM sqlite_master WHERE type = 'index'");
    while (sqlite3_step(q.get()) == SQLITE_ROW)
        existing.insert(columnText(q.get(), 0));
    std::vector<std::string> work;
    for (const char* name : kRetiredIndexes)
        if (existing.count(name))
            work.push_back(std::string("DROP INDEX ") + name);
    for (const TableDef& t : archiveSchema())
        for (const IndexDef& i : t.indexes)
            if (!existing.count(i.name))
                work.push_back(createIndexStatement(t, i));
    return work;
}

// The lowest and highest record number and the number of records of each
// day (UTC), so that the records of any time span are bounded at once:
// records are archived as they happen, so a span's lie close together. A
// record deleted later leaves its day's bounds as they were, wider than
// needed but still bounds; one added by any writer widens them.
const char* const kMediaDays[] = {
    "CREATE TABLE media_days (day INTEGER PRIMARY KEY, low INTEGER NOT NULL, "
    "high INTEGER NOT NULL, records INTEGER NOT NULL)",
    "INSERT INTO media_days SELECT CAST(Timestamp / 86400 AS INTEGER), MIN(Media_ID), "
    "MAX(Media_ID), COUNT(*) FROM media GROUP BY 1",
    "CREATE TRIGGER media_days_insert AFTER INSERT ON media BEGIN "
    "INSERT INTO media_days VALUES (CAST(NEW.Timestamp / 86400 AS INTEGER), NEW.Media_ID, "
    "NEW.Media_ID, 1) ON CONFLICT (day) DO UPDATE SET low = MIN(low, excluded.low), "
    "high = MAX(high, excluded.high), records = records + 1; END",
    "CREATE TRIGGER media_days_update AFTER UPDATE OF Media_ID, Timestamp ON media BEGIN "
    "INSERT INTO media_days VALUES (CAST(NEW.Timestamp / 86400 AS INTEGER), NEW.Media_ID, "
    "NEW.Media_ID, 1) ON CONFLICT (day) DO UPDATE SET low = MIN(low, excluded.low), "
    "high = MAX(high, excluded.high), records = records + 1; END"};

bool hasMediaDays(sqlite3* db) {
    Stmt q = prepareOrThrow(db, "SELECT COUNT(*) FROM sqlite_master WHERE name IN ('media_days', "
                                "'media_days_insert', 'media_days_update')");
    return sqlite3_step(q.get()) == SQLITE_ROW && sqlite3_column_int(q.get(), 0) == 3;
}

bool upToDate(sqlite3* db) {
    return missingIndexes(db).empty() && planned(db) && hasMediaDays(db);
}

// Gives an archive the schema's indexes and the planner its statistics,
// without which SQLite guesses every table's size and sorts whole results
// that an index could give in order. `thorough`: statistics from every
// row (a new archive) rather than a sample (an archive being opened, which
// must not keep a large archive's server from starting for long).
void bringUpToDate(sqlite3* db, bool thorough) {
    if (upToDate(db))
        return;
    // Statistics of an archive that has them and all its indexes stay: a
    // sample's would be worse than those made from every row.
    const std::vector<std::string> indexes = missingIndexes(db);
    const bool analyze = !indexes.empty() || !planned(db);
    for (const auto& sql : indexes)
        execOrThrow(db, sql);
    if (!hasMediaDays(db)) {
        execOrThrow(db, "DROP TRIGGER IF EXISTS media_days_insert");
        execOrThrow(db, "DROP TRIGGER IF EXISTS media_days_update");
        execOrThrow(db, "DROP TABLE IF EXISTS media_days");
        for (const char* sql : kMediaDays)
            execOrThrow(db, sql);
    }
    if (analyze && !thorough)
        execOrThrow(db, "PRAGMA analysis_limit = 4000");
    if (analyze)
        execOrThrow(db, "ANALYZE");
    execOrThrow(db, "INSERT OR REPLACE INTO archive_info VALUES ('schema_version', '" +
                        std::to_string(kSchemaVersion) + "')");
}

// One number from a statement of ours; nothing when it cannot run.
std::optional<uint64_t> countOf(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK)
        return std::nullopt;
    Stmt s(raw);
    if (sqlite3_step(s.get()) != SQLITE_ROW)
        return std::nullopt;
    return static_cast<uint64_t>(std::max<sqlite3_int64>(sqlite3_column_int64(s.get(), 0), 0));
}

// SQLite reckons every IN (SELECT ...) list at 25 rows and so looks the
// calls of a CAD condition up first, whatever their number. For a value
// that many calls carry, the statement instead tests each record as the
// listing walks them in order, and stops at its limit.
std::string walkingCommonCad(sqlite3* db, const std::string& sql) {
    std::vector<CadCondition> found = findCadConditions(sql, Dialect::sqlite);
    if (found.empty())
        return sql;
    const auto records = countOf(db, "SELECT MAX(Media_ID) FROM media");
    if (!records)
        return sql;
    const uint64_t threshold = commonCadThreshold(*records);
    std::vector<CadCondition> common;
    for (CadCondition& c : found) {
        const auto matches = countOf(db, cadMatchCountQuery(c, threshold));
        if (matches && *matches >= threshold)
            common.push_back(std::move(c));
    }
    return common.empty() ? sql : withCadTestedPerRecord(sql, common);
}

// The span's bounds from the day table, read by the server itself.
std::optional<SpanBounds> spanBounds(sqlite3* db, const TimeSpan& span, bool& serverReads) {
    sqlite3_stmt* raw = nullptr;
    // The same day arithmetic as the table's, which keeps the order of times.
    serverReads = true;
    const int rc =
        sqlite3_prepare_v2(db,
                           "SELECT MIN(low), MAX(high), TOTAL(records) FROM media_days WHERE day "
                           "BETWEEN CAST(?1 / 86400 AS INTEGER) AND CAST(?2 / 86400 AS INTEGER)",
                           -1, &raw, nullptr);
    serverReads = false;
    if (rc == SQLITE_OK) {
        Stmt q(raw);
        sqlite3_bind_int64(q.get(), 1, span.from);
        sqlite3_bind_int64(q.get(), 2, span.to);
        if (sqlite3_step(q.get()) != SQLITE_ROW)
            return std::nullopt;
        return SpanBounds{sqlite3_column_int64(q.get(), 0), sqlite3_column_int64(q.get(), 1),
                          static_cast<int64_t>(sqlite3_column_double(q.get(), 2))};
    }
    // An archive of an earlier version that could not be brought up to date
    // (a read-only copy): only a short span's are found at once.
    constexpr int64_t kMostRecords = 250000;
    if (sqlite3_prepare_v2(db,
                           "SELECT MIN(Media_ID), MAX(Media_ID), COUNT(*) FROM (SELECT Media_ID "
                           "FROM media WHERE Timestamp BETWEEN ? AND ? LIMIT ?)",
                           -1, &raw, nullptr) != SQLITE_OK)
        return std::nullopt;
    Stmt q(raw);
    sqlite3_bind_int64(q.get(), 1, span.from);
    sqlite3_bind_int64(q.get(), 2, span.to);
    sqlite3_bind_int64(q.get(), 3, kMostRecords);
    if (sqlite3_step(q.get()) != SQLITE_ROW)
        return std::nullopt;
    const int64_t count = sqlite3_column_int64(q.get(), 2);
    if (count >= kMostRecords)
        return std::nullopt;
    return SpanBounds{sqlite3_column_int64(q.get(), 0), sqlite3_column_int64(q.get(), 1), count};
}

// A listing over a time span reads the span's records by time and sorts
// them, all of them before the first row; bounded by the Media_IDs the span
// holds it walks them in order instead.
std::string shapedSpanListing(sqlite3* db, const std::string& sql, bool& serverReads) {
    const ArchiveFacts facts{
        [&](const TimeSpan& span) { return spanBounds(db, span, serverReads); },
        [&](const std::string& q) { return countOf(db, q); }};
    const auto shaped = vqarchive::shapedSpanListing(sql, Dialect::sqlite, facts);
    return shaped ? shaped->sql : sql;
}

} // namespace

SqliteLocation locateSqliteArchive(const std::string& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        const fs::path dir(path);
        return {(dir / kSqliteFileName).string(), (dir / kDataFolderName).string()};
    }
    const fs::path file(path);
    const fs::path parent = file.has_parent_path() ? file.parent_path() : fs::path(".");
    return {file.string(), (parent / kDataFolderName).string()};
}

// ---------------------------------------------------------------------------

class SqliteStore final : public ArchiveStore {
public:
    explicit SqliteStore(const std::string& path) : location_(locateSqliteArchive(path)) {
        std::error_code ec;
        if (!fs::is_regular_file(location_.database, ec))
            throw StoreError("no SQLite archive at " + location_.database);
        upgrade();
    }

    int serverType() const override { return 3; }
    std::string describe() const override { return "SQLite archive " + location_.database; }

    StoreStatus status() override {
        DbHandle db;
        StoreResult r = openReadOnly(db);
        if (!r.ok())
            return {false, r.message};
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db.get(), "SELECT 1 FROM media LIMIT 1", -1, &raw, nullptr) !=
            SQLITE_OK)
            return {false, sqlite3_errmsg(db.get())};
        Stmt s(raw);
        const int rc = sqlite3_step(s.get());
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return {false, sqlite3_errmsg(db.get())};
        return {true, "ready"};
    }

    StoreResult execute(const std::string& sql, size_t batchSize, const RowSink& sink,
                        const CancelToken& cancel) override {
        DbHandle db;
        StoreResult r = openReadOnly(db);
        if (!r.ok())
            return r;
        // With statistics SQLite puts a Bloom filter on the records looked
        // up for each participant of a listing, and fills it by reading all
        // of media before the first row: a listing in record order that
        // would stop at its limit after a few thousand records reads
        // millions. Without it such a listing streams. (An engine built
        // without test controls ignores this and keeps the filter.)
        constexpr int kBloomFilter = 0x00080000;
        sqlite3_test_control(SQLITE_TESTCTRL_OPTIMIZATIONS, db.get(), kBloomFilter);
        // The statements that shape the client's carry its conditions: they
        // run under the same rules as its own.
        bool serverReads = false;
        sqlite3_set_authorizer(db.get(), clientAuthorizer, &serverReads);
        // A client must not make the server build values of any size.
        sqlite3_limit(db.get(), SQLITE_LIMIT_LENGTH, static_cast<int>(kMaxClientValue));
        sqlite3_progress_handler(db.get(), 1000, cancelProgress, const_cast<CancelToken*>(&cancel));
        const std::string text = shapedSpanListing(
            db.get(), walkingCommonCad(db.get(), undoublePercent(sql)), serverReads);
        sqlite3_stmt* raw = nullptr;
        const char* tail = nullptr;
        int rc =
            sqlite3_prepare_v2(db.get(), text.c_str(), static_cast<int>(text.size()), &raw, &tail);
        Stmt stmt(raw);
        if (rc != SQLITE_OK) {
            if (cancel.cancelled())
                return StoreResult::failure(StoreCode::cancelled, "cancelled");
            return failureOf(db.get(), rc);
        }
        if (!stmt)
            return StoreResult::failure(StoreCode::sqlError, "empty statement");
        if (tail && !onlyBlanksAndSemicolons(tail))
            return StoreResult::failure(StoreCode::sqlError, "only one statement per request");

        const int columns = sqlite3_column_count(stmt.get());
        std::vector<std::string> names;
        for (int i = 0; i < columns; ++i) {
            const char* n = sqlite3_column_name(stmt.get(), i);
            names.emplace_back(n ? n : "");
        }
        BatchCollector batches(batchSize, sink);
        for (;;) {
            if (cancel.cancelled())
                return StoreResult::failure(StoreCode::cancelled, "cancelled");
            rc = sqlite3_step(stmt.get());
            if (rc == SQLITE_DONE)
                break;
            if (rc != SQLITE_ROW) {
                if (cancel.cancelled() || (rc & 0xFF) == SQLITE_INTERRUPT)
                    return StoreResult::failure(StoreCode::cancelled, "cancelled");
                return failureOf(db.get(), rc);
            }
            Row row;
            row.reserve(static_cast<size_t>(columns));
            for (int i = 0; i < columns; ++i)
                row.push_back({names[static_cast<size_t>(i)], columnText(stmt.get(), i)});
            if (!batches.add(std::move(row)))
                return StoreResult::failure(StoreCode::cancelled, "stopped by the receiver");
        }
        if (!batches.finish())
            return StoreResult::failure(StoreCode::cancelled, "stopped by the receiver");
        return StoreResult::success();
    }

    StoreResult readData(uint32_t mediaId, size_t pieceSize, const DataSink& sink,
                         const CancelToken& cancel) override {
        DbHandle db;
        StoreResult r = openReadOnly(db);
        if (!r.ok())
            return r;
        pieceSize = clampPieceSize(pieceSize);
        Stmt q = prepareOrThrowResult(db.get(),
                                      "SELECT Media_Type, filename, CALL_ID FROM media "
                                      "WHERE Media_ID = ?",
                                      r);
        if (!q)
            return r;
        sqlite3_bind_int64(q.get(), 1, mediaId);
        const int rc = sqlite3_step(q.get());
        if (rc == SQLITE_DONE)
            return missingRecord(mediaId);
        if (rc != SQLITE_ROW)
            return failureOf(db.get(), rc);
        const std::string type = columnText(q.get(), 0);
        const std::string filename = columnText(q.get(), 1);
        const std::string callId = columnText(q.get(), 2);
        q.reset();

        switch (dataKindOf(type)) {
        case DataKind::text: {
            Stmt t =
                prepareOrThrowResult(db.get(), "SELECT body FROM messages WHERE Media_ID = ?", r);
            if (!t)
                return r;
            sqlite3_bind_int64(t.get(), 1, mediaId);
            if (sqlite3_step(t.get()) != SQLITE_ROW)
                return missingData(mediaId, "no text is stored");
            return sendPieces(columnText(t.get(), 0), pieceSize, sink, cancel);
        }
        case DataKind::cad: {
            Stmt t = prepareOrThrowResult(
                db.get(), "SELECT name, value FROM cad WHERE call_id = ? ORDER BY rowid", r);
            if (!t)
                return r;
            bindText(t.get(), 1, callId, false);
            std::vector<std::pair<std::string, std::string>> items;
            while (sqlite3_step(t.get()) == SQLITE_ROW)
                items.emplace_back(columnText(t.get(), 0), columnText(t.get(), 1));
            if (items.empty())
                return missingData(mediaId, "no call attached data is stored");
            return sendPieces(cadText(items), pieceSize, sink, cancel);
        }
        case DataKind::file:
            return readFile(db.get(), mediaId, filename, pieceSize, sink, cancel);
        case DataKind::none:
            break;
        }
        return missingData(mediaId, "records of type '" + type + "' have no data");
    }

    StoreResult searchText(const std::vector<uint32_t>& ids,
                           const std::vector<std::string>& phrases, bool allOf,
                           const SearchProgress& progress, const CancelToken& cancel) override {
        DbHandle db;
        StoreResult r = openReadOnly(db);
        if (!r.ok())
            return r;
        Stmt q = prepareOrThrowResult(db.get(),
                                      "SELECT t.body FROM media AS m JOIN messages AS t "
                                      "ON t.Media_ID = m.Media_ID "
                                      "WHERE m.Media_ID = ? AND m.Media_Type = 'im'",
                                      r);
        if (!q)
            return r;
        const PhraseMatcher matcher(phrases, allOf);
        SearchReporter reporter(static_cast<uint32_t>(ids.size()), progress);
        // A lookup outside a transaction takes and drops the file's shared
        // lock and looks whether the file changed: several system calls a
        // record, more than the lookup itself. A read transaction over a
        // stretch of records does that once; it ends every so many records
        // so that a writer never waits long for a search.
        ReadStretch stretch(db.get());
        for (uint32_t id : ids) {
            if (cancel.cancelled())
                return StoreResult::failure(StoreCode::cancelled, "cancelled");
            bool found = false;
            if (!matcher.empty()) {
                stretch.next();
                sqlite3_bind_int64(q.get(), 1, id);
                const int rc = sqlite3_step(q.get());
                if (rc == SQLITE_ROW) {
                    const auto* text =
                        reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0));
                    const auto size = static_cast<size_t>(sqlite3_column_bytes(q.get(), 0));
                    found = text != nullptr && matcher.matches(std::string_view(text, size));
                } else if (rc != SQLITE_DONE) {
                    return failureOf(db.get(), rc);
                }
                sqlite3_reset(q.get());
            }
            if (!reporter.searched(id, found))
                return StoreResult::failure(StoreCode::cancelled, "stopped by the receiver");
        }
        stretch.end();
        if (!reporter.finish())
            return StoreResult::failure(StoreCode::cancelled, "stopped by the receiver");
        return StoreResult::success();
    }

    DeleteResult deleteRecords(const std::vector<uint32_t>& ids) override {
        DeleteResult out;
        std::vector<std::string> unusedFiles;
        try {
            DbHandle db = openWritable();
            execOrThrow(db.get(), "BEGIN IMMEDIATE");
            Stmt find =
                prepareOrThrow(db.get(), "SELECT filename, CALL_ID FROM media WHERE Media_ID = ?");
            Stmt delParticipants =
                prepareOrThrow(db.get(), "DELETE FROM participants WHERE Media_ID = ?");
            Stmt delMessages = prepareOrThrow(db.get(), "DELETE FROM messages WHERE Media_ID = ?");
            Stmt delMedia = prepareOrThrow(db.get(), "DELETE FROM media WHERE Media_ID = ?");
            std::set<std::string> files, calls;
            for (uint32_t id : ids) {
                sqlite3_bind_int64(find.get(), 1, id);
                const bool exists = sqlite3_step(find.get()) == SQLITE_ROW;
                if (exists) {
                    const std::string f = columnText(find.get(), 0);
                    const std::string c = columnText(find.get(), 1);
                    if (!f.empty())
                        files.insert(f);
                    if (!c.empty())
                        calls.insert(c);
                }
                sqlite3_reset(find.get());
                if (!exists)
                    continue;
                for (auto* s : {delParticipants.get(), delMessages.get(), delMedia.get()}) {
                    sqlite3_bind_int64(s, 1, id);
                    stepDone(db.get(), s);
                }
                ++out.records;
            }
            Stmt callUsed =
                prepareOrThrow(db.get(), "SELECT 1 FROM media WHERE CALL_ID = ? LIMIT 1");
            Stmt delCad = prepareOrThrow(db.get(), "DELETE FROM cad WHERE call_id = ?");
            for (const auto& c : calls) {
                bindText(callUsed.get(), 1, c, false);
                const bool used = sqlite3_step(callUsed.get()) == SQLITE_ROW;
                sqlite3_reset(callUsed.get());
                if (!used) {
                    bindText(delCad.get(), 1, c, false);
                    stepDone(db.get(), delCad.get());
                }
            }
            Stmt fileUsed =
                prepareOrThrow(db.get(), "SELECT 1 FROM media WHERE filename = ? LIMIT 1");
            Stmt delBlob = prepareOrThrow(db.get(), "DELETE FROM media_files WHERE filename = ?");
            for (const auto& f : files) {
                bindText(fileUsed.get(), 1, f, false);
                const bool used = sqlite3_step(fileUsed.get()) == SQLITE_ROW;
                sqlite3_reset(fileUsed.get());
                if (!used) {
                    bindText(delBlob.get(), 1, f, false);
                    stepDone(db.get(), delBlob.get());
                    unusedFiles.push_back(f);
                }
            }
            execOrThrow(db.get(), "COMMIT");
        } catch (const StoreError& e) {
            // The connection's rollback on close undoes the partial work.
            out.result = StoreResult::failure(StoreCode::dbFailed, e.what());
            out.records = 0;
            return out;
        }
        // Files go only after the rows are gone for good: a crash in between
        // leaves an unused file, never a record without its data.
        for (const auto& f : unusedFiles) {
            std::error_code ec;
            if (isSafeFileName(f))
                fs::remove(dataPath(f), ec);
        }
        out.files = static_cast<uint32_t>(unusedFiles.size());
        return out;
    }

private:
    // An archive of an earlier version gets its indexes and statistics once,
    // the first time a server opens it; one that cannot be written (a
    // read-only copy) is served as it is.
    void upgrade() {
        sqlite3* raw = nullptr;
        sqlite3_open_v2(location_.database.c_str(), &raw,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        DbHandle db(raw);
        if (!db || sqlite3_db_readonly(db.get(), "main") != 0)
            return;
        sqlite3_busy_timeout(db.get(), 60000);
        // A file that is not an archive is refused by the first statement.
        sqlite3_stmt* probe = nullptr;
        if (sqlite3_prepare_v2(db.get(), "SELECT 1 FROM media, archive_info LIMIT 0", -1, &probe,
                               nullptr) != SQLITE_OK) {
            sqlite3_finalize(probe);
            return;
        }
        sqlite3_finalize(probe);
        try {
            // Only an archive that needs it waits for the write lock.
            if (upToDate(db.get()))
                return;
            execOrThrow(db.get(), "BEGIN IMMEDIATE");
            bringUpToDate(db.get(), false);
            execOrThrow(db.get(), "COMMIT");
        } catch (const StoreError& e) {
            throw StoreError("cannot bring the archive " + location_.database +
                             " up to date: " + e.what());
        }
    }

    StoreResult openReadOnly(DbHandle& out) const {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(location_.database.c_str(), &raw,
                                       SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
        DbHandle db(raw);
        if (rc != SQLITE_OK)
            return StoreResult::failure(StoreCode::dbFailed,
                                        raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
        sqlite3_busy_timeout(db.get(), 5000);
        // The viewer writes some literals in double quotes.
        sqlite3_db_config(db.get(), SQLITE_DBCONFIG_DQS_DML, 1, nullptr);
        // Nothing a statement does may corrupt the file, load code or run
        // functions named by the schema.
        sqlite3_db_config(db.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
        sqlite3_db_config(db.get(), SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
        sqlite3_db_config(db.get(), SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
        sqlite3_exec(db.get(), "PRAGMA query_only = 1", nullptr, nullptr, nullptr);
        out = std::move(db);
        return StoreResult::success();
    }

    DbHandle openWritable() const {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(location_.database.c_str(), &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        DbHandle db(raw);
        if (rc != SQLITE_OK)
            throw StoreError("SQLite: " +
                             std::string(raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
        sqlite3_busy_timeout(db.get(), 10000);
        return db;
    }

    static Stmt prepareOrThrowResult(sqlite3* db, const char* sql, StoreResult& r) {
        sqlite3_stmt* s = nullptr;
        const int rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
        if (rc != SQLITE_OK) {
            r = failureOf(db, rc);
            if (r.ok())
                r = StoreResult::failure(StoreCode::dbFailed, "cannot prepare");
            sqlite3_finalize(s);
            return Stmt();
        }
        return Stmt(s);
    }

    fs::path dataPath(const std::string& filename) const {
        return fs::path(location_.dataFolder) / filename.substr(0, 2) / filename;
    }

    StoreResult readFile(sqlite3* db, uint32_t mediaId, const std::string& filename,
                         size_t pieceSize, const DataSink& sink, const CancelToken& cancel) const {
        if (filename.empty())
            return missingData(mediaId, "no data file is recorded");
        if (!isSafeFileName(filename))
            return missingData(mediaId, "its data file name is not acceptable");
        FileHandle file(std::fopen(dataPath(filename).c_str(), "rb"));
        if (file) {
            // Read in large blocks and handed out a piece at a time: a long
            // recording costs a few dozen reads, not one per piece.
            const size_t block = std::max<size_t>(1, kFileReadBlock / pieceSize) * pieceSize;
            std::vector<uint8_t> buffer(block);
            for (;;) {
                if (cancel.cancelled())
                    return StoreResult::failure(StoreCode::cancelled, "cancelled");
                const size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
                for (size_t at = 0; at < n; at += pieceSize) {
                    if (at && cancel.cancelled())
                        return StoreResult::failure(StoreCode::cancelled, "cancelled");
                    if (!sink(buffer.data() + at, std::min(pieceSize, n - at)))
                        return StoreResult::failure(StoreCode::cancelled,
                                                    "stopped by the receiver");
                }
                if (n < buffer.size()) {
                    if (std::ferror(file.get()))
                        return StoreResult::failure(StoreCode::readFailed,
                                                    "reading the data of record " +
                                                        std::to_string(mediaId) + " failed");
                    return StoreResult::success();
                }
            }
        }
        // Archives made as one file keep their data inside the database.
        sqlite3_int64 rowid = 0;
        {
            StoreResult r;
            Stmt q =
                prepareOrThrowResult(db, "SELECT rowid FROM media_files WHERE filename = ?", r);
            if (!q)
                return missingData(mediaId, "its data file " + filename + " is missing");
            bindText(q.get(), 1, filename, false);
            if (sqlite3_step(q.get()) != SQLITE_ROW)
                return missingData(mediaId, "its data file " + filename + " is missing");
            rowid = sqlite3_column_int64(q.get(), 0);
        }
        sqlite3_blob* rawBlob = nullptr;
        if (sqlite3_blob_open(db, "main", "media_files", "content", rowid, 0, &rawBlob) !=
            SQLITE_OK) {
            sqlite3_blob_close(rawBlob);
            return missingData(mediaId, "its data cannot be opened");
        }
        std::unique_ptr<sqlite3_blob, int (*)(sqlite3_blob*)> blob(rawBlob, sqlite3_blob_close);
        const int total = sqlite3_blob_bytes(blob.get());
        std::vector<uint8_t> buffer(pieceSize);
        for (int off = 0; off < total;) {
            if (cancel.cancelled())
                return StoreResult::failure(StoreCode::cancelled, "cancelled");
            const int n = std::min(total - off, static_cast<int>(buffer.size()));
            if (sqlite3_blob_read(blob.get(), buffer.data(), n, off) != SQLITE_OK)
                return StoreResult::failure(StoreCode::readFailed, sqlite3_errmsg(db));
            if (!sink(buffer.data(), static_cast<size_t>(n)))
                return StoreResult::failure(StoreCode::cancelled, "stopped by the receiver");
            off += n;
        }
        return StoreResult::success();
    }

    SqliteLocation location_;
};

std::unique_ptr<ArchiveStore> openSqliteStore(const std::string& path) {
    return std::make_unique<SqliteStore>(path);
}

// ---------------------------------------------------------------------------

namespace {

class SqliteWriter final : public ArchiveWriter {
public:
    SqliteWriter(const std::string& folder, bool replace) : folder_(folder) {
        std::error_code ec;
        fs::create_directories(folder_, ec);
        if (ec)
            throw StoreError("cannot create " + folder + ": " + ec.message());
        const fs::path db = fs::path(folder_) / kSqliteFileName;
        if (fs::exists(db) && !replace)
            throw StoreError("an archive exists already in " + folder +
                             " (remove it or ask for replacing it)");
        // Replacing an archive replaces its data folder; a "data" folder
        // that belongs to no archive is somebody else's and stays untouched.
        if (!fs::exists(db) && fs::exists(fs::path(folder_) / kDataFolderName))
            throw StoreError(folder + " holds a \"" + std::string(kDataFolderName) +
                             "\" folder but no archive; choose another folder");
        // Built under a temporary name and renamed at commit, so that a
        // failed run leaves any previous archive untouched.
        partial_ = fs::path(folder_) / (std::string(kSqliteFileName) + ".part");
        fs::remove(partial_, ec);
        dataDir_ = fs::path(folder_) / (std::string(kDataFolderName) + ".part");
        fs::remove_all(dataDir_, ec);
        sqlite3* raw = nullptr;
        if (sqlite3_open_v2(partial_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            DbHandle failed(raw);
            throw StoreError("cannot create " + partial_.string());
        }
        db_.reset(raw);
        execOrThrow(db_.get(), "PRAGMA journal_mode = OFF");
        execOrThrow(db_.get(), "PRAGMA synchronous = OFF");
        // Records arrive in the order they were planned, not by number: the
        // tables' pages are visited all over, so more of them stay at hand.
        execOrThrow(db_.get(), "PRAGMA cache_size = -65536");
        // Indexes come at the end: made from the finished tables they cost
        // a sort each instead of a random insertion a row.
        for (const auto& sql : createStatements(Dialect::sqlite, false))
            execOrThrow(db_.get(), sql);
        execOrThrow(db_.get(), "BEGIN");
        user_ = prepareOrThrow(db_.get(), "INSERT INTO users VALUES (?, ?, ?)");
        group_ = prepareOrThrow(db_.get(), "INSERT INTO groups VALUES (?, ?)");
        media_ = prepareOrThrow(db_.get(), "INSERT INTO media VALUES (?, ?, ?, ?, ?, ?, ?)");
        participant_ = prepareOrThrow(db_.get(), "INSERT INTO participants VALUES (?, ?, ?, ?, ?)");
        message_ = prepareOrThrow(db_.get(), "INSERT INTO messages VALUES (?, ?)");
        cad_ = prepareOrThrow(db_.get(), "INSERT INTO cad VALUES (?, ?, ?, ?)");
        info_ = prepareOrThrow(db_.get(), "INSERT OR REPLACE INTO archive_info VALUES (?, ?)");
    }

    ~SqliteWriter() override {
        if (!committed_) {
            clearStatements();
            db_.reset();
            std::error_code ec;
            fs::remove(partial_, ec);
            fs::remove_all(dataDir_, ec);
        }
    }

    void addUser(uint32_t id, const std::string& name, const std::string& phone) override {
        sqlite3_bind_int64(user_.get(), 1, id);
        bindText(user_.get(), 2, name, false);
        bindText(user_.get(), 3, phone, true);
        stepDone(db_.get(), user_.get());
    }

    void addGroup(uint32_t id, const std::string& name) override {
        sqlite3_bind_int64(group_.get(), 1, id);
        bindText(group_.get(), 2, name, false);
        stepDone(db_.get(), group_.get());
    }

    void addMedia(const MediaRecord& m) override {
        sqlite3_bind_int64(media_.get(), 1, m.id);
        bindText(media_.get(), 2, m.type, false);
        bindText(media_.get(), 3, m.callId, true);
        sqlite3_bind_int64(media_.get(), 4, m.timestamp);
        bindText(media_.get(), 5, m.filename, true);
        if (m.duration > 0)
            sqlite3_bind_int(media_.get(), 6, m.duration);
        sqlite3_bind_int64(media_.get(), 7, m.dataSize);
        stepDone(db_.get(), media_.get());
    }

    void addParticipant(const ParticipantRecord& p) override {
        sqlite3_bind_int64(participant_.get(), 1, p.mediaId);
        bindId(participant_.get(), 2, p.userId);
        bindId(participant_.get(), 3, p.groupId);
        bindText(participant_.get(), 4, p.external, true);
        sqlite3_bind_int(participant_.get(), 5, p.role);
        stepDone(db_.get(), participant_.get());
    }

    void addMessage(uint32_t mediaId, const std::string& body) override {
        sqlite3_bind_int64(message_.get(), 1, mediaId);
        bindText(message_.get(), 2, body, false);
        stepDone(db_.get(), message_.get());
    }

    void addCad(const std::string& callId, const std::string& name, const std::string& value,
                const std::string& description) override {
        bindText(cad_.get(), 1, callId, false);
        bindText(cad_.get(), 2, name, false);
        bindText(cad_.get(), 3, value, false);
        bindText(cad_.get(), 4, description, true);
        stepDone(db_.get(), cad_.get());
    }

    bool hasFile(const std::string& filename) override { return files_.count(filename) != 0; }

    void addFile(const std::string& filename, const std::vector<uint8_t>& content) override {
        if (!isSafeFileName(filename))
            throw StoreError("unacceptable data file name " + filename);
        const fs::path dir = dataDir_ / filename.substr(0, 2);
        std::error_code ec;
        fs::create_directories(dir, ec);
        FileHandle f(std::fopen((dir / filename).c_str(), "wb"));
        if (!f || std::fwrite(content.data(), 1, content.size(), f.get()) != content.size() ||
            std::fflush(f.get()) != 0)
            throw StoreError("cannot write " + (dir / filename).string());
        files_.insert(filename);
    }

    void setInfo(const std::string& name, const std::string& value) override {
        bindText(info_.get(), 1, name, false);
        bindText(info_.get(), 2, value, true);
        stepDone(db_.get(), info_.get());
    }

    void commit() override {
        clearStatements();
        bringUpToDate(db_.get(), true);
        execOrThrow(db_.get(), "COMMIT");
        // Readers and the deleting writer work side by side in WAL mode.
        execOrThrow(db_.get(), "PRAGMA journal_mode = WAL");
        db_.reset();
        const fs::path db = fs::path(folder_) / kSqliteFileName;
        const fs::path data = fs::path(folder_) / kDataFolderName;
        std::error_code ec;
        for (const char* suffix : {"-wal", "-shm"})
            fs::remove(db.string() + suffix, ec);
        fs::remove_all(data, ec);
        fs::create_directories(dataDir_, ec);
        fs::rename(dataDir_, data, ec);
        if (ec)
            throw StoreError("cannot move the data folder into place: " + ec.message());
        fs::rename(partial_, db, ec);
        if (ec)
            throw StoreError("cannot move the archive into place: " + ec.message());
        committed_ = true;
    }

private:
    void clearStatements() {
        for (auto* s : {&user_, &group_, &media_, &participant_, &message_, &cad_, &info_})
            s->reset();
    }

    fs::path folder_;
    fs::path partial_;
    fs::path dataDir_;
    DbHandle db_;
    Stmt user_, group_, media_, participant_, message_, cad_, info_;
    std::set<std::string> files_;
    bool committed_ = false;
};

} // namespace

std::unique_ptr<ArchiveWriter> createSqliteWriter(const std::string& folder, bool replace) {
    return std::make_unique<SqliteWriter>(folder, replace);
}

} // namespace vqarchive
