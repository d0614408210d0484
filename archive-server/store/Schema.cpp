#include "Schema.h"

namespace vqarchive {

const std::vector<TableDef>& archiveSchema() {
    // Column spellings follow the viewer's SQL (mixed case where it writes
    // them so); both engines match column names without regard to case.
    static const std::vector<TableDef> schema = {
        {"users",
         {{"User_ID", ColumnKind::id, 0, false},
          {"Display_Name", ColumnKind::text, 128, false},
          {"Phone", ColumnKind::text, 32}},
         "User_ID",
         {}},
        {"groups",
         {{"Group_ID", ColumnKind::id, 0, false}, {"Display_Name", ColumnKind::text, 128, false}},
         "Group_ID",
         {}},
        {"media",
         {{"Media_ID", ColumnKind::id, 0, false},
          {"Media_Type", ColumnKind::text, 16, false, true},
          {"CALL_ID", ColumnKind::text, 32, true, true},
          {"Timestamp", ColumnKind::int64, 0, false},
          {"filename", ColumnKind::text, 128},
          {"Duration", ColumnKind::int32},
          {"Data_Size", ColumnKind::int64}},
         "Media_ID",
         {{"media_time", {"Timestamp"}},
          {"media_call", {"CALL_ID"}},
          {"media_type_time", {"Media_Type", "Timestamp"}},
          {"media_file", {"filename"}}}},
        {"participants",
         {{"Media_ID", ColumnKind::id, 0, false},
          {"User_ID", ColumnKind::id},
          {"Group_ID", ColumnKind::id},
          {"External_Address", ColumnKind::text, 128},
          {"Role", ColumnKind::int32, 0, false}},
         "",
         // Every participant index ends in Media_ID, so that a participant's
         // records come out in record order without a table lookup; the
         // first covers the whole row, so that a query listing records in
         // Media_ID order walks it and stops at its limit.
         {{"participants_media_row",
           {"Media_ID", "User_ID", "Group_ID", "External_Address", "Role"}},
          {"participants_user_media", {"User_ID", "Group_ID", "Media_ID"}},
          {"participants_group_media", {"Group_ID", "Media_ID"}},
          {"participants_external_media", {"External_Address", "Media_ID"}}}},
        {"cad",
         {{"call_id", ColumnKind::text, 32, false, true},
          {"name", ColumnKind::text, 64, false},
          {"value", ColumnKind::text, 255, false},
          {"description", ColumnKind::text, 255}},
         "",
         // A name=value condition finds its calls in the index alone.
         {{"cad_call", {"call_id"}}, {"cad_name_value_call", {"name", "value", "call_id"}}}},
        // Texts of instant messages and web chats, one row per record.
        {"messages",
         {{"Media_ID", ColumnKind::id, 0, false}, {"body", ColumnKind::longText, 0, false}},
         "Media_ID",
         {}},
        // Data files kept inside the database, named as media.filename;
        // SQLite archives keep them in their data folder instead.
        {"media_files",
         {{"filename", ColumnKind::text, 128, false, true},
          {"content", ColumnKind::blob, 0, false}},
         "filename",
         {}},
        {"archive_info",
         {{"name", ColumnKind::text, 64, false, true}, {"value", ColumnKind::text, 255}},
         "name",
         {}},
    };
    return schema;
}

namespace {

std::string columnType(const ColumnDef& c, Dialect d) {
    if (d == Dialect::sqlite) {
        switch (c.kind) {
        case ColumnKind::id:
        case ColumnKind::int32:
        case ColumnKind::int64:
            return "INTEGER";
        case ColumnKind::text:
        case ColumnKind::longText:
            return "TEXT";
        case ColumnKind::blob:
            return "BLOB";
        }
        return "TEXT";
    }
    switch (c.kind) {
    case ColumnKind::id:
        return "INT UNSIGNED";
    case ColumnKind::int32:
        return "INT";
    case ColumnKind::int64:
        return "BIGINT";
    case ColumnKind::text:
        return "VARCHAR(" + std::to_string(c.length) + ")" +
               (c.exact ? " CHARACTER SET utf8mb4 COLLATE utf8mb4_bin" : "");
    case ColumnKind::longText:
        return "LONGTEXT";
    case ColumnKind::blob:
        return "LONGBLOB";
    }
    return "TEXT";
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) {
        if (!out.empty())
            out += ", ";
        out += p;
    }
    return out;
}

} // namespace

std::string createIndexStatement(const TableDef& table, const IndexDef& index) {
    return "CREATE INDEX " + index.name + " ON " + table.name + " (" + joined(index.columns) + ")";
}

std::vector<std::string> createStatements(Dialect dialect, bool withIndexes) {
    std::vector<std::string> out;
    for (const auto& t : archiveSchema()) {
        std::string sql = "CREATE TABLE " + t.name + " (";
        bool first = true;
        for (const auto& c : t.columns) {
            if (!first)
                sql += ", ";
            first = false;
            sql += c.name + " " + columnType(c, dialect);
            // SQLite's INTEGER PRIMARY KEY is the row id: the cheapest lookup.
            if (dialect == Dialect::sqlite && c.name == t.primaryKey)
                sql += " PRIMARY KEY";
            if (!c.nullable)
                sql += " NOT NULL";
        }
        if (dialect == Dialect::mariadb && !t.primaryKey.empty())
            sql += ", PRIMARY KEY (" + t.primaryKey + ")";
        sql += ")";
        if (dialect == Dialect::mariadb)
            sql += " ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci";
        out.push_back(sql);
        if (withIndexes)
            for (const auto& i : t.indexes)
                out.push_back(createIndexStatement(t, i));
    }
    return out;
}

std::vector<std::string> createIndexStatements() {
    std::vector<std::string> out;
    for (const auto& t : archiveSchema())
        for (const auto& i : t.indexes)
            out.push_back(createIndexStatement(t, i));
    return out;
}

std::vector<std::string> dropStatements(Dialect) {
    std::vector<std::string> out;
    for (const auto& t : archiveSchema())
        out.push_back("DROP TABLE IF EXISTS " + t.name);
    return out;
}

} // namespace vqarchive
