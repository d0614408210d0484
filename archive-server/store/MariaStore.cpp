// The MariaDB/MySQL backend through the MariaDB client library. Data files
// live in the database (table media_files), so the server needs no shared
// file system with the database host.
#include "MariaStore.h"

#include "ArchiveWriter.h"
#include "ListingShape.h"
#include "Schema.h"
#include "StoreCommon.h"
#include "TextMatch.h"

#include <mysql.h>

#include <cctype>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace vqarchive {

namespace {

// The client library's global set-up is not thread-safe; the first store
// does it once for all.
void initLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mysql_library_init(0, nullptr, nullptr); });
}

struct ConnCloser {
    void operator()(MYSQL* c) const { mysql_close(c); }
};
using Conn = std::unique_ptr<MYSQL, ConnCloser>;

struct ResultFree {
    void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
};
using Result = std::unique_ptr<MYSQL_RES, ResultFree>;

// Server errors for statements it understood but refused, as opposed to a
// lost or unreachable server.
bool isConnectionError(unsigned code) {
    return code >= 2000 && code < 3000;
}

StoreResult failureOf(MYSQL* c) {
    const unsigned code = mysql_errno(c);
    return StoreResult::failure(isConnectionError(code) ? StoreCode::dbFailed : StoreCode::sqlError,
                                mysql_error(c));
}

std::string escape(MYSQL* c, const std::string& s) {
    std::string out(s.size() * 2 + 1, '\0');
    const unsigned long n = mysql_real_escape_string(c, out.data(), s.data(), s.size());
    out.resize(n);
    return "'" + out + "'";
}

std::string idList(const std::vector<uint32_t>& ids, size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to; ++i) {
        if (!out.empty())
            out += ",";
        out += std::to_string(ids[i]);
    }
    return out;
}

// Client statements must be queries. The read-only transaction already
// refuses writes; this also keeps out statements that no transaction
// governs (KILL, SET, FLUSH, ...).
// What the grants of the connected account allow beyond reading, as the
// server lists them; empty when it may only look (USAGE) and SELECT. FILE,
// which reads and writes the server's files, and every kind of writing,
// administration or granting count as beyond.
std::string privilegesBeyondReading(MYSQL* c) {
    if (mysql_query(c, "SHOW GRANTS FOR CURRENT_USER()") != 0)
        return std::string("its grants cannot be read: ") + mysql_error(c);
    Result res(mysql_store_result(c));
    if (!res)
        return std::string("its grants cannot be read: ") + mysql_error(c);
    std::string excess;
    while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
        const std::string grant = row[0] ? row[0] : "";
        std::string upper;
        for (char ch : grant)
            upper += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        bool fine = false;
        if (upper.rfind("GRANT ", 0) == 0 &&
            upper.find(" WITH GRANT OPTION") == std::string::npos) {
            const size_t on = upper.find(" ON ");
            if (on != std::string::npos) {
                // "SELECT, USAGE" or a column list "SELECT (a, b)".
                std::string privileges = upper.substr(6, on - 6);
                std::string word;
                fine = true;
                int depth = 0;
                for (char ch : privileges + ",") {
                    if (ch == '(')
                        ++depth;
                    else if (ch == ')')
                        --depth;
                    else if (ch == ',' && depth == 0) {
                        const size_t a = word.find_first_not_of(' ');
                        const size_t b = word.find_last_not_of(' ');
                        const std::string p =
                            a == std::string::npos ? "" : word.substr(a, b - a + 1);
                        if (p != "USAGE" && p != "SELECT")
                            fine = false;
                        word.clear();
                    } else if (depth == 0)
                        word += ch;
                }
            }
        }
        if (!fine) {
            const size_t to = grant.find(" TO ");
            excess += (excess.empty() ? "" : "; ") + grant.substr(0, to);
        }
    }
    return excess;
}

bool isQuery(const std::string& sql) {
    size_t i = 0;
    while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i])))
        ++i;
    if (i < sql.size() && sql[i] == '(')
        return true;
    std::string word;
    while (i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i])))
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[i++])));
    static const std::set<std::string> allowed = {"SELECT", "WITH",    "SHOW",   "DESCRIBE",
                                                  "DESC",   "EXPLAIN", "VALUES", "TABLE"};
    return allowed.count(word) != 0;
}

// Indexes that earlier versions made and the schema has replaced.
const char* const kRetiredIndexes[][2] = {{"participants", "participants_media"},
                                          {"participants", "participants_user"},
                                          {"participants", "participants_group"},
                                          {"participants", "participants_external"},
                                          {"cad", "cad_name_value"}};

// One number from a statement of ours; nothing when it cannot run.
std::optional<uint64_t> countOf(MYSQL* c, const std::string& sql) {
    if (mysql_query(c, sql.c_str()) != 0)
        return std::nullopt;
    Result res(mysql_store_result(c));
    MYSQL_ROW row = res ? mysql_fetch_row(res.get()) : nullptr;
    if (!row || !row[0])
        return std::nullopt;
    return std::strtoull(row[0], nullptr, 10);
}

// The lowest and highest record number and the number of records of each
// day (UTC), so that the records of any time span are bounded at once:
// records are archived as they happen, so a span's lie close together.
// Triggers keep it for every writer: a record deleted later leaves its
// day's bounds as they were, wider than needed but still bounds. The
// triggers come before the table is filled, so that a record added by
// another writer meanwhile is counted by one or the other; filling twice
// (two servers at once) widens nothing.
const char* const kDayUpsert =
    " ON DUPLICATE KEY UPDATE low = LEAST(low, VALUES(low)), high = GREATEST(high, "
    "VALUES(high)), records = ";
const std::string kMediaDays[] = {
    "CREATE TABLE IF NOT EXISTS media_days (day BIGINT NOT NULL PRIMARY KEY, low INT UNSIGNED "
    "NOT NULL, high INT UNSIGNED NOT NULL, records BIGINT NOT NULL) ENGINE=InnoDB",
    std::string("CREATE TRIGGER IF NOT EXISTS media_days_insert AFTER INSERT ON media FOR EACH "
                "ROW INSERT INTO media_days VALUES (NEW.Timestamp DIV 86400, NEW.Media_ID, "
                "NEW.Media_ID, 1)") +
        kDayUpsert + "records + 1",
    std::string("CREATE TRIGGER IF NOT EXISTS media_days_update AFTER UPDATE ON media FOR EACH "
                "ROW INSERT INTO media_days VALUES (NEW.Timestamp DIV 86400, NEW.Media_ID, "
                "NEW.Media_ID, 1)") +
        kDayUpsert + "records + 1",
    std::string("INSERT INTO media_days SELECT Timestamp DIV 86400, MIN(Media_ID), "
                "MAX(Media_ID), COUNT(*) FROM media GROUP BY 1") +
        kDayUpsert + "GREATEST(records, VALUES(records))",
    "ALTER TABLE media_days COMMENT = 'kept'"};

// Whether the archive keeps its day table, making it when it does not;
// when not, why. An account that may not make triggers leaves the archive
// without: its listings are then planned by the database alone.
std::optional<std::string> daysMissing(MYSQL* c) {
    const auto ready = countOf(
        c, "SELECT (SELECT COUNT(*) FROM information_schema.TRIGGERS WHERE TRIGGER_SCHEMA = "
           "DATABASE() AND TRIGGER_NAME IN ('media_days_insert', 'media_days_update')) + (SELECT "
           "COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() AND "
           "TABLE_NAME = 'media_days' AND TABLE_COMMENT = 'kept')");
    if (ready && *ready == 3)
        return std::nullopt;
    // A trigger waits for every statement already reading media, and every
    // one after it waits for the trigger: better without it this time than
    // the archive stalled behind another server's long listing.
    mysql_query(c, "SET SESSION lock_wait_timeout = 5");
    std::optional<std::string> why;
    for (const std::string& sql : kMediaDays)
        // 1213: a deadlock with another server filling it at the same time.
        if (mysql_query(c, sql.c_str()) != 0 &&
            (mysql_errno(c) != 1213 || mysql_query(c, sql.c_str()) != 0)) {
            why = mysql_error(c);
            break;
        }
    mysql_query(c, "SET SESSION lock_wait_timeout = DEFAULT");
    return why;
}

// Gives the archive the schema's indexes and its tables fresh statistics.
// Another server on the same database may be doing the same at the same
// time: an index it made first, or dropped first, is no failure.
StoreResult bringUpToDate(MYSQL* c, std::optional<std::string>& noDays) {
    noDays = "the archive has no media table";
    if (mysql_query(c, "SELECT TABLE_NAME, INDEX_NAME FROM information_schema.STATISTICS "
                       "WHERE TABLE_SCHEMA = DATABASE()") != 0)
        return failureOf(c);
    std::set<std::pair<std::string, std::string>> existing;
    std::set<std::string> tables;
    {
        Result res(mysql_store_result(c));
        if (!res)
            return failureOf(c);
        while (MYSQL_ROW row = mysql_fetch_row(res.get()))
            if (row[0] && row[1]) {
                existing.insert({row[0], row[1]});
                tables.insert(row[0]);
            }
    }
    if (!tables.count("media"))
        return StoreResult::success(); // not an archive (yet)
    std::set<std::string> changed;
    const auto run = [&](const std::string& table, const std::string& sql) {
        // 1061: the index exists already; 1091: it is gone already.
        if (mysql_query(c, sql.c_str()) != 0 && mysql_errno(c) != 1061 && mysql_errno(c) != 1091)
            return false;
        changed.insert(table);
        return true;
    };
    for (const auto& [table, index] : kRetiredIndexes)
        if (existing.count({table, index}) &&
            !run(table, std::string("DROP INDEX ") + index + " ON " + table))
            return failureOf(c);
    for (const TableDef& t : archiveSchema())
        for (const IndexDef& i : t.indexes)
            if (!existing.count({t.name, i.name}) && !run(t.name, createIndexStatement(t, i)))
                return failureOf(c);
    if (!changed.empty() &&
        mysql_query(c, ("REPLACE INTO archive_info VALUES ('schema_version', '" +
                        std::to_string(kSchemaVersion) + "')")
                           .c_str()) != 0)
        return failureOf(c);
    for (const auto& table : changed) {
        const std::string sql = "ANALYZE TABLE " + table;
        if (mysql_query(c, sql.c_str()) != 0)
            return failureOf(c);
        Result res(mysql_store_result(c));
    }
    noDays = daysMissing(c);
    return StoreResult::success();
}

// The span's bounds from the day table, by the same day arithmetic as its
// triggers' (which keeps the order of times).
std::optional<SpanBounds> spanBounds(MYSQL* c, const TimeSpan& span) {
    const std::string sql = "SELECT MIN(low), MAX(high), SUM(records) FROM media_days WHERE day "
                            "BETWEEN " +
                            std::to_string(span.from) + " DIV 86400 AND " +
                            std::to_string(span.to) + " DIV 86400";
    if (mysql_query(c, sql.c_str()) != 0)
        return std::nullopt;
    Result res(mysql_store_result(c));
    MYSQL_ROW row = res ? mysql_fetch_row(res.get()) : nullptr;
    if (!row || mysql_num_fields(res.get()) != 3)
        return std::nullopt;
    const auto number = [&](int i) { return row[i] ? std::strtoll(row[i], nullptr, 10) : 0; };
    return SpanBounds{number(0), number(1), number(2)};
}

// MariaDB weighs a CAD condition's calls rightly, yet joins them in first
// (a semi-join) and sorts every matching record before the first row. For a
// value that many calls carry, the connection tests the condition record by
// record instead, as the listing walks the records in order to its limit.
// The switch holds for the whole statement, and other lists (a user's or a
// group's records) are better joined in first: a statement with one of
// them, or whose counting fails, runs as it is.
void walkCommonCad(MYSQL* c, const std::string& sql) {
    const std::vector<CadCondition> found = findCadConditions(sql, Dialect::mariadb);
    if (found.empty() || subqueryListCount(sql, Dialect::mariadb) != found.size())
        return;
    const auto records = countOf(c, "SELECT MAX(Media_ID) FROM media");
    if (!records)
        return;
    const uint64_t threshold = commonCadThreshold(*records);
    for (const CadCondition& cad : found) {
        const auto matches = countOf(c, cadMatchCountQuery(cad, threshold));
        if (matches && *matches >= threshold) {
            mysql_query(c, "SET SESSION optimizer_switch = 'semijoin=off,materialization=off'");
            return;
        }
    }
}

} // namespace

class MariaStore final : public ArchiveStore {
public:
    explicit MariaStore(MysqlAddress address) : address_(std::move(address)) { initLibrary(); }

    int serverType() const override { return 2; }
    std::string describe() const override { return "MariaDB archive " + address_.redacted(); }

    StoreStatus status() override {
        Conn c;
        StoreResult r = connect(c);
        if (!r.ok())
            return {false, r.message};
        if (mysql_query(c.get(), "SELECT 1 FROM media LIMIT 1") != 0)
            return {false, mysql_error(c.get())};
        Result res(mysql_store_result(c.get()));
        if (!res)
            return {false, mysql_error(c.get())};
        return {true, "ready"};
    }

    std::string notice() const override {
        std::lock_guard lock(upgradeMutex_);
        if (!upgraded_ || !noDays_)
            return {};
        return "listings over a time span are planned by MariaDB alone, slowly in a large "
               "archive: its table of each day's records could not be made (" +
               *noDays_ + "); it needs the CREATE and TRIGGER privileges of the server's account";
    }

    StoreResult execute(const std::string& sql, size_t batchSize, const RowSink& sink,
                        const CancelToken& cancel) override {
        if (!isQuery(sql))
            return StoreResult::failure(StoreCode::sqlError,
                                        "only queries may be run (SELECT, WITH, SHOW, ...)");
        Conn c;
        StoreResult r = connectForClients(c);
        if (!r.ok())
            return r;
        if (mysql_query(c.get(), "SET SESSION TRANSACTION READ ONLY") != 0 ||
            mysql_query(c.get(), "START TRANSACTION READ ONLY") != 0)
            return failureOf(c.get());

        const std::string text = shaped(c.get(), sql);
        walkCommonCad(c.get(), text);
        KillWatch watch(*this, mysql_thread_id(c.get()), cancel);
        // A statement of the client's that the reshaping broke (an index
        // hint of its own beside ours) runs as written, so that its errors
        // are its own.
        if (mysql_real_query(c.get(), text.data(), text.size()) != 0 &&
            (text == sql || watch.fired() || cancel.cancelled() ||
             isConnectionError(mysql_errno(c.get())) ||
             mysql_real_query(c.get(), sql.data(), sql.size()) != 0)) {
            if (watch.fired() || cancel.cancelled())
                return StoreResult::failure(StoreCode::cancelled, "cancelled");
            return failureOf(c.get());
        }
        // Rows stream from the server instead of being held in memory whole.
        Result res(mysql_use_result(c.get()));
        if (!res) {
            if (mysql_field_count(c.get()) != 0)
                return failureOf(c.get());
            // A statement without a result set: one empty, final batch.
            BatchCollector none(batchSize, sink);
            if (!none.finish())
                return StoreResult::failure(StoreCode::cancelled, "stopped by the receiver");
            return StoreResult::success();
        }
        const unsigned columns = mysql_num_fields(res.get());
        const MYSQL_FIELD* fields = mysql_fetch_fields(res.get());
        std::vector<std::string> names;
        for (unsigned i = 0; i < columns; ++i)
            names.emplace_back(fields[i].name, fields[i].name_length);
        BatchCollector batches(batchSize, sink);
        for (;;) {
            if (cancel.cancelled()) {
                watch.fire();
                return StoreResult::failure(StoreCode::cancelled, "cancelled");
            }
            MYSQL_ROW row = mysql_fetch_row(res.get());
            if (!row)
                break;
            const unsigned long* lengths = mysql_fetch_lengths(res.get());
            Row out;
            out.reserve(columns);
            for (unsigned i = 0; i < columns; ++i)
                out.push_back({names[i], row[i] ? std::string(row[i], lengths[i]) : std::string()});
            if (!batches.add(std::move(out))) {
                watch.fire();
                return StoreResult::failure(StoreCode::cancelled, "stopped by the receiver");
            }
        }
        if (mysql_errno(c.get()) != 0) {
            if (watch.fired() || cancel.cancelled())
                return StoreResult::failure(StoreCode::cancelled, "cancelled");
            return failureOf(c.get());
        }
        // A killed statement may still end normally (SLEEP returns early).
        if (watch.fired() || cancel.cancelled())
            return StoreResult::failure(StoreCode::cancelled, "cancelled");
        if (!batches.finish())
            return StoreResult::failure(StoreCode::cancelled, "stopped by the receiver");
        return StoreResult::success();
    }

    StoreResult readData(uint32_t mediaId, size_t pieceSize, const DataSink& sink,
                         const CancelToken& cancel) override {
        Conn c;
        StoreResult r = connect(c);
        if (!r.ok())
            return r;
        pieceSize = clampPieceSize(pieceSize);
        std::vector<std::vector<std::string>> rows;
        r = query(c.get(),
                  "SELECT Media_Type, filename, CALL_ID FROM media WHERE Media_ID = " +
                      std::to_string(mediaId),
                  rows);
        if (!r.ok())
            return r;
        if (rows.empty())
            return missingRecord(mediaId);
        const std::string type = rows[0][0], filename = rows[0][1], callId = rows[0][2];

        switch (dataKindOf(type)) {
        case DataKind::text:
            r = query(c.get(),
                      "SELECT body FROM messages WHERE Media_ID = " + std::to_string(mediaId),
                      rows);
            if (!r.ok())
                return r;
            if (rows.empty())
                return missingData(mediaId, "no text is stored");
            return sendPieces(rows[0][0], pieceSize, sink, cancel);
        case DataKind::cad: {
            r = query(c.get(),
                      "SELECT name, value FROM cad WHERE call_id = " + escape(c.get(), callId),
                      rows);
            if (!r.ok())
                return r;
            if (rows.empty())
                return missingData(mediaId, "no call attached data is stored");
            std::vector<std::pair<std::string, std::string>> items;
            for (const auto& row : rows)
                items.emplace_back(row[0], row[1]);
            return sendPieces(cadText(items), pieceSize, sink, cancel);
        }
        case DataKind::file:
            return readBlob(c.get(), mediaId, filename, pieceSize, sink, cancel);
        case DataKind::none:
            break;
        }
        return missingData(mediaId, "records of type '" + type + "' have no data");
    }

    StoreResult searchText(const std::vector<uint32_t>& ids,
                           const std::vector<std::string>& phrases, bool allOf,
                           const SearchProgress& progress, const CancelToken& cancel) override {
        Conn c;
        StoreResult r = connect(c);
        if (!r.ok())
            return r;
        const PhraseMatcher matcher(phrases, allOf);
        SearchReporter reporter(static_cast<uint32_t>(ids.size()), progress);
        // Fetched in chunks: one round trip per record would be slow, all at
        // once could be large.
        constexpr size_t chunk = 100;
        for (size_t from = 0; from < ids.size(); from += chunk) {
            if (cancel.cancelled())
                return StoreResult::failure(StoreCode::cancelled, "cancelled");
            const size_t to = std::min(ids.size(), from + chunk);
            std::map<uint32_t, bool> hits;
            if (!matcher.empty()) {
                std::vector<std::vector<std::string>> rows;
                r = query(c.get(),
                          "SELECT m.Media_ID, t.body FROM media AS m JOIN messages AS t ON "
                          "t.Media_ID = m.Media_ID WHERE m.Media_Type = 'im' AND m.Media_ID IN (" +
                              idList(ids, from, to) + ")",
                          rows);
                if (!r.ok())
                    return r;
                for (const auto& row : rows)
                    hits[static_cast<uint32_t>(std::strtoul(row[0].c_str(), nullptr, 10))] =
                        matcher.matches(row[1]);
            }
            for (size_t i = from; i < to; ++i) {
                const auto it = hits.find(ids[i]);
                if (!reporter.searched(ids[i], it != hits.end() && it->second))
                    return StoreResult::failure(StoreCode::cancelled, "stopped by the receiver");
            }
        }
        if (!reporter.finish())
            return StoreResult::failure(StoreCode::cancelled, "stopped by the receiver");
        return StoreResult::success();
    }

    DeleteResult deleteRecords(const std::vector<uint32_t>& ids) override {
        DeleteResult out;
        Conn c;
        out.result = connect(c);
        if (!out.result.ok())
            return out;
        const auto fail = [&](MYSQL* conn) {
            out.result = failureOf(conn);
            out.records = 0;
            out.files = 0;
            mysql_query(conn, "ROLLBACK");
            return out;
        };
        if (mysql_query(c.get(), "START TRANSACTION") != 0)
            return fail(c.get());
        std::set<std::string> files, calls;
        constexpr size_t chunk = 500;
        for (size_t from = 0; from < ids.size(); from += chunk) {
            const size_t to = std::min(ids.size(), from + chunk);
            const std::string list = idList(ids, from, to);
            std::vector<std::vector<std::string>> rows;
            if (!query(c.get(),
                       "SELECT filename, CALL_ID FROM media WHERE Media_ID IN (" + list +
                           ") FOR UPDATE",
                       rows)
                     .ok())
                return fail(c.get());
            for (const auto& row : rows) {
                if (!row[0].empty())
                    files.insert(row[0]);
                if (!row[1].empty())
                    calls.insert(row[1]);
            }
            for (const char* table : {"participants", "messages", "media"}) {
                const std::string sql =
                    std::string("DELETE FROM ") + table + " WHERE Media_ID IN (" + list + ")";
                if (mysql_query(c.get(), sql.c_str()) != 0)
                    return fail(c.get());
                if (std::string(table) == "media")
                    out.records += static_cast<uint32_t>(mysql_affected_rows(c.get()));
            }
        }
        for (const auto& call : calls) {
            const std::string sql =
                "DELETE FROM cad WHERE call_id = " + escape(c.get(), call) +
                " AND NOT EXISTS (SELECT 1 FROM media WHERE CALL_ID = " + escape(c.get(), call) +
                ")";
            if (mysql_query(c.get(), sql.c_str()) != 0)
                return fail(c.get());
        }
        for (const auto& file : files) {
            const std::string sql =
                "DELETE FROM media_files WHERE filename = " + escape(c.get(), file) +
                " AND NOT EXISTS (SELECT 1 FROM media WHERE filename = " + escape(c.get(), file) +
                ")";
            if (mysql_query(c.get(), sql.c_str()) != 0)
                return fail(c.get());
            out.files += static_cast<uint32_t>(mysql_affected_rows(c.get()));
        }
        if (mysql_query(c.get(), "COMMIT") != 0)
            return fail(c.get());
        return out;
    }

    // The server's own connection. The first one brings an archive made by
    // an earlier version up to the schema's indexes.
    StoreResult connect(Conn& out) const {
        StoreResult r = connectAs(address_.user, address_.password, out);
        if (!r.ok())
            return r;
        std::lock_guard lock(upgradeMutex_);
        // An account that may not make indexes still serves the archive as
        // it is; only a lost connection makes the next one try again.
        if (!upgraded_)
            upgraded_ = bringUpToDate(out.get(), noDays_).code != StoreCode::dbFailed;
        return r;
    }

    // Whether the archive keeps its day table; the first asking brings it
    // up to date when no server connection has yet.
    bool daysKept() const {
        {
            std::lock_guard lock(upgradeMutex_);
            if (upgraded_)
                return !noDays_;
        }
        Conn c;
        connect(c);
        std::lock_guard lock(upgradeMutex_);
        return upgraded_ && !noDays_;
    }

    // The listing as the database runs it fastest, and how it must be
    // planned for that.
    std::string shaped(MYSQL* c, const std::string& sql) const {
        const ArchiveFacts facts{
            [&](const TimeSpan& span) { return daysKept() ? spanBounds(c, span) : std::nullopt; },
            [&](const std::string& q) { return countOf(c, q); }};
        const auto listing = shapedSpanListing(sql, Dialect::mariadb, facts);
        if (!listing)
            return sql;
        // Else MariaDB turns the per-record test back into a list of its own.
        if (listing->testsPerRecord)
            mysql_query(c, "SET SESSION optimizer_switch = 'exists_to_in=off'");
        return listing->sql;
    }

    // The connection client statements run on: the reader account when one
    // is configured, and only if what it may do is read.
    StoreResult connectForClients(Conn& out) const {
        const bool reader = !address_.readerUser.empty();
        StoreResult r =
            reader ? connectAs(address_.readerUser, address_.readerPassword, out) : connect(out);
        if (!r.ok())
            return r;
        const std::string excess = privilegesBeyondReading(out.get());
        if (!excess.empty()) {
            out.reset();
            return StoreResult::failure(
                StoreCode::dbFailed,
                "the account for client statements may do more than read the archive (" + excess +
                    "); give the server a reader account that may only SELECT (…?reader=USER:"
                    "PASSWORD)");
        }
        return StoreResult::success();
    }

    StoreResult connectForKilling(Conn& out) const {
        if (address_.readerUser.empty())
            return connect(out);
        return connectAs(address_.readerUser, address_.readerPassword, out);
    }

    StoreResult connectAs(const std::string& user, const std::string& password, Conn& out) const {
        Conn c(mysql_init(nullptr));
        if (!c)
            return StoreResult::failure(StoreCode::dbFailed, "out of memory");
        const unsigned timeout = 5;
        mysql_options(c.get(), MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
        mysql_options(c.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
        // Bounds what one row of a client statement may cost in memory.
        const unsigned long maxPacket = kMaxClientValue;
        mysql_options(c.get(), MYSQL_OPT_MAX_ALLOWED_PACKET, &maxPacket);
        if (!mysql_real_connect(c.get(), address_.host.c_str(), user.c_str(), password.c_str(),
                                address_.database.c_str(), address_.port, nullptr, 0))
            return StoreResult::failure(StoreCode::dbFailed, mysql_error(c.get()));
        out = std::move(c);
        return StoreResult::success();
    }

private:
    // Stops a running statement from outside: the client library blocks in
    // the query, so a second connection asks the server to kill it.
    class KillWatch {
    public:
        KillWatch(const MariaStore& store, unsigned long threadId, const CancelToken& cancel)
            : store_(store), threadId_(threadId), cancel_(cancel) {
            thread_ = std::thread([this] {
                while (!done_.load()) {
                    if (cancel_.waitFor(std::chrono::milliseconds(50)) && !done_.load()) {
                        fire();
                        return;
                    }
                }
            });
        }
        ~KillWatch() {
            done_.store(true);
            thread_.join();
        }
        KillWatch(const KillWatch&) = delete;
        KillWatch& operator=(const KillWatch&) = delete;

        void fire() {
            std::lock_guard lock(mutex_);
            if (fired_)
                return;
            fired_ = true;
            // The statement's own account: any account may end its own
            // statements, and the reader may do nothing more.
            Conn killer;
            if (store_.connectForKilling(killer).ok()) {
                const std::string sql = "KILL QUERY " + std::to_string(threadId_);
                mysql_query(killer.get(), sql.c_str());
            }
        }
        bool fired() {
            std::lock_guard lock(mutex_);
            return fired_;
        }

    private:
        const MariaStore& store_;
        unsigned long threadId_;
        const CancelToken& cancel_;
        std::atomic<bool> done_{false};
        std::mutex mutex_;
        bool fired_ = false;
        std::thread thread_;
    };

    static StoreResult query(MYSQL* c, const std::string& sql,
                             std::vector<std::vector<std::string>>& rows) {
        rows.clear();
        if (mysql_real_query(c, sql.data(), sql.size()) != 0)
            return failureOf(c);
        Result res(mysql_store_result(c));
        if (!res)
            return mysql_field_count(c) == 0 ? StoreResult::success() : failureOf(c);
        const unsigned columns = mysql_num_fields(res.get());
        while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
            const unsigned long* lengths = mysql_fetch_lengths(res.get());
            std::vector<std::string> r;
            for (unsigned i = 0; i < columns; ++i)
                r.emplace_back(row[i] ? std::string(row[i], lengths[i]) : std::string());
            rows.push_back(std::move(r));
        }
        return StoreResult::success();
    }

    StoreResult readBlob(MYSQL* c, uint32_t mediaId, const std::string& filename, size_t pieceSize,
                         const DataSink& sink, const CancelToken& cancel) const {
        if (filename.empty())
            return missingData(mediaId, "no data file is recorded");
        std::vector<std::vector<std::string>> rows;
        StoreResult r = query(
            c, "SELECT LENGTH(content) FROM media_files WHERE filename = " + escape(c, filename),
            rows);
        if (!r.ok())
            return r;
        if (rows.empty() || rows[0][0].empty())
            return missingData(mediaId, "its data file " + filename + " is missing");
        const uint64_t total = std::strtoull(rows[0][0].c_str(), nullptr, 10);
        // Read in slices so that a large recording never sits in memory
        // whole, nor exceeds the client's packet limit.
        constexpr uint64_t slice = 1024 * 1024;
        for (uint64_t off = 0; off < total; off += slice) {
            if (cancel.cancelled())
                return StoreResult::failure(StoreCode::cancelled, "cancelled");
            r = query(c,
                      "SELECT SUBSTRING(content, " + std::to_string(off + 1) + ", " +
                          std::to_string(slice) +
                          ") FROM media_files WHERE filename = " + escape(c, filename),
                      rows);
            if (!r.ok())
                return StoreResult::failure(StoreCode::readFailed, r.message);
            if (rows.empty())
                return missingData(mediaId, "its data file vanished while it was read");
            r = sendPieces(rows[0][0], pieceSize, sink, cancel);
            if (!r.ok())
                return r;
        }
        return StoreResult::success();
    }

    MysqlAddress address_;
    mutable std::mutex upgradeMutex_;
    mutable bool upgraded_ = false;
    mutable std::optional<std::string> noDays_ = "not yet looked at";
};

std::unique_ptr<ArchiveStore> openMariaStore(const MysqlAddress& address) {
    return std::make_unique<MariaStore>(address);
}

// ---------------------------------------------------------------------------

namespace {

// Rows go out as multi-row INSERT statements: far fewer round trips than
// one statement a row, and no prepared-statement bookkeeping.
class InsertBuffer {
public:
    InsertBuffer(std::string head) : head_(std::move(head)) {}

    void add(MYSQL* c, const std::string& values) {
        if (!sql_.empty())
            sql_ += ",";
        sql_ += values;
        if (++rows_ >= 500 || sql_.size() > 512 * 1024)
            flush(c);
    }

    void flush(MYSQL* c) {
        if (rows_ == 0)
            return;
        const std::string stmt = head_ + sql_;
        if (mysql_real_query(c, stmt.data(), stmt.size()) != 0)
            throw StoreError(std::string("MariaDB: ") + mysql_error(c));
        sql_.clear();
        rows_ = 0;
    }

private:
    std::string head_;
    std::string sql_;
    size_t rows_ = 0;
};

// "(a,b,c)" for a multi-row INSERT. Built by appending: GCC 12 at -O3
// reports a false overlap in chains of operator+ on strings.
std::string valuesRow(std::initializer_list<std::string> values) {
    std::string row(1, '(');
    bool first = true;
    for (const std::string& v : values) {
        if (!first)
            row += ',';
        row += v;
        first = false;
    }
    row += ')';
    return row;
}

class MariaWriter final : public ArchiveWriter {
public:
    MariaWriter(const std::string& url, bool replace) {
        initLibrary();
        const MysqlAddress a = MysqlAddress::parse(url);
        conn_.reset(mysql_init(nullptr));
        const unsigned timeout = 5;
        mysql_options(conn_.get(), MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
        mysql_options(conn_.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
        if (!mysql_real_connect(conn_.get(), a.host.c_str(), a.user.c_str(), a.password.c_str(),
                                a.database.c_str(), a.port, nullptr, 0))
            throw StoreError(std::string("cannot connect to ") + a.redacted() + ": " +
                             mysql_error(conn_.get()));
        run("SHOW TABLES LIKE 'media'");
        Result existing(mysql_store_result(conn_.get()));
        const bool exists = existing && mysql_num_rows(existing.get()) > 0;
        existing.reset();
        if (exists && !replace)
            throw StoreError("an archive exists already in " + a.redacted() +
                             " (ask for replacing it)");
        // DDL commits implicitly in MariaDB, so the tables are made first and
        // the rows follow in one transaction.
        for (const auto& sql : dropStatements(Dialect::mariadb))
            run(sql);
        // The new records' day table is made once they are all in.
        run("DROP TABLE IF EXISTS media_days");
        // The indexes follow the rows (commit): made from the finished
        // tables they cost a sort each instead of an insertion a row.
        for (const auto& sql : createStatements(Dialect::mariadb, false))
            run(sql);
        run("START TRANSACTION");
    }

    ~MariaWriter() override {
        if (!committed_ && conn_)
            mysql_query(conn_.get(), "ROLLBACK");
    }

    void addUser(uint32_t id, const std::string& name, const std::string& phone) override {
        users_.add(conn_.get(), valuesRow({std::to_string(id), text(name), nullable(phone)}));
    }

    void addGroup(uint32_t id, const std::string& name) override {
        groups_.add(conn_.get(), valuesRow({std::to_string(id), text(name)}));
    }

    void addMedia(const MediaRecord& m) override {
        media_.add(conn_.get(),
                   valuesRow({std::to_string(m.id), text(m.type), nullable(m.callId),
                              std::to_string(m.timestamp), nullable(m.filename),
                              m.duration > 0 ? std::to_string(m.duration) : std::string("NULL"),
                              std::to_string(m.dataSize)}));
    }

    void addParticipant(const ParticipantRecord& p) override {
        participants_.add(conn_.get(),
                          valuesRow({std::to_string(p.mediaId), id(p.userId), id(p.groupId),
                                     nullable(p.external), std::to_string(p.role)}));
    }

    void addMessage(uint32_t mediaId, const std::string& body) override {
        messages_.add(conn_.get(), valuesRow({std::to_string(mediaId), text(body)}));
    }

    void addCad(const std::string& callId, const std::string& name, const std::string& value,
                const std::string& description) override {
        cad_.add(conn_.get(),
                 valuesRow({text(callId), text(name), text(value), nullable(description)}));
    }

    bool hasFile(const std::string& filename) override { return files_.count(filename) != 0; }

    void addFile(const std::string& filename, const std::vector<uint8_t>& content) override {
        // In slices, to stay below the server's packet limit.
        constexpr size_t slice = 1024 * 1024;
        for (size_t off = 0; off == 0 || off < content.size(); off += slice) {
            const size_t n = std::min(slice, content.size() - off);
            const std::string bytes(reinterpret_cast<const char*>(content.data()) + off, n);
            if (off == 0)
                run("INSERT INTO media_files VALUES (" + text(filename) + ",_binary" + text(bytes) +
                    ")");
            else
                run("UPDATE media_files SET content = CONCAT(content, _binary" + text(bytes) +
                    ") WHERE filename = " + text(filename));
            if (content.empty())
                break;
        }
        files_.insert(filename);
    }

    void setInfo(const std::string& name, const std::string& value) override {
        run("REPLACE INTO archive_info VALUES (" + text(name) + "," + nullable(value) + ")");
    }

    void commit() override {
        for (auto* b : {&users_, &groups_, &media_, &participants_, &messages_, &cad_})
            b->flush(conn_.get());
        run("COMMIT");
        committed_ = true;
        // Should this fail, the rows are there and a server opening the
        // archive makes the indexes.
        std::optional<std::string> noDays;
        const StoreResult indexed = bringUpToDate(conn_.get(), noDays);
        if (!indexed.ok())
            throw StoreError("MariaDB: the archive is made, but not its indexes: " +
                             indexed.message);
    }

private:
    void run(const std::string& sql) {
        if (mysql_real_query(conn_.get(), sql.data(), sql.size()) != 0)
            throw StoreError(std::string("MariaDB: ") + mysql_error(conn_.get()));
    }
    std::string text(const std::string& s) { return escape(conn_.get(), s); }
    std::string nullable(const std::string& s) { return s.empty() ? "NULL" : text(s); }
    static std::string id(uint32_t v) { return v == 0 ? "NULL" : std::to_string(v); }

    Conn conn_;
    InsertBuffer users_{"INSERT INTO users VALUES "};
    InsertBuffer groups_{"INSERT INTO groups VALUES "};
    InsertBuffer media_{"INSERT INTO media VALUES "};
    InsertBuffer participants_{"INSERT INTO participants VALUES "};
    InsertBuffer messages_{"INSERT INTO messages VALUES "};
    InsertBuffer cad_{"INSERT INTO cad VALUES "};
    std::set<std::string> files_;
    bool committed_ = false;
};

} // namespace

std::unique_ptr<ArchiveWriter> createMariaWriter(const std::string& url, bool replace) {
    return std::make_unique<MariaWriter>(url, replace);
}

} // namespace vqarchive
