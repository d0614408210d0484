// The archive's tables, described once and rendered for each database.
// The names and columns the viewer's SQL relies on are fixed; the rest
// (message texts, data blobs, archive facts) is what the server needs.
#pragma once

#include <string>
#include <vector>

namespace vqarchive {

enum class Dialect { sqlite, mariadb };

enum class ColumnKind {
    id,       // 32-bit unsigned record, user or group id
    int32,    // small signed numbers (roles, durations)
    int64,    // times, sizes
    text,     // short text with a length bound
    longText, // message bodies
    blob,     // file contents
};

struct ColumnDef {
    std::string name;
    ColumnKind kind;
    unsigned length = 0; // for text: the bound in characters
    bool nullable = true;
    bool exact = false; // compare byte for byte (media types, call ids)
};

struct IndexDef {
    std::string name;
    std::vector<std::string> columns;
};

struct TableDef {
    std::string name;
    std::vector<ColumnDef> columns;
    std::string primaryKey; // empty: none
    std::vector<IndexDef> indexes;
};

// 2: indexes that let listing queries read in record order and stop at
// their limit (archives of version 1 are brought up to it when opened).
// 3: SQLite archives keep the lowest and highest record number of each day.
// A MariaDB archive keeps them when its account may make triggers, which
// its table's comment "kept" tells (its schema is otherwise that of 2).
constexpr int kSchemaVersion = 3;

const std::vector<TableDef>& archiveSchema();

// CREATE TABLE and (unless a bulk load adds them afterwards) CREATE INDEX
// statements, in dependency-free order.
std::vector<std::string> createStatements(Dialect dialect, bool withIndexes = true);
// CREATE INDEX for every index of the schema; the same text for both
// databases.
std::vector<std::string> createIndexStatements();
std::string createIndexStatement(const TableDef& table, const IndexDef& index);
// DROP TABLE IF EXISTS for every table of the schema.
std::vector<std::string> dropStatements(Dialect dialect);

} // namespace vqarchive
