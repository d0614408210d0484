#include "ListingShape.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>

namespace vqarchive {

namespace {

enum class Kind { word, string, other };

struct Token {
    Kind kind;
    size_t begin;
    size_t end;
};

bool wordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$';
}

// Splits the statement into words, quoted strings and everything else,
// skipping blanks and comments. Nothing when a quote or comment is left
// open: the engine then reports the statement as it stands.
std::optional<std::vector<Token>> tokens(const std::string& s, Dialect dialect) {
    std::vector<Token> out;
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        const char c = s[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if ((c == '-' && i + 1 < n && s[i + 1] == '-') ||
                   (c == '#' && dialect == Dialect::mariadb)) {
            i = s.find('\n', i);
            if (i == std::string::npos)
                i = n;
        } else if (c == '/' && i + 1 < n && s[i + 1] == '*') {
            const size_t close = s.find("*/", i + 2);
            if (close == std::string::npos)
                return std::nullopt;
            i = close + 2;
        } else if (c == '\'' || c == '"' || c == '`' || (c == '[' && dialect == Dialect::sqlite)) {
            const char quote = c == '[' ? ']' : c;
            size_t j = i + 1;
            for (;; ++j) {
                if (j >= n)
                    return std::nullopt;
                if (s[j] == '\\' && dialect == Dialect::mariadb && quote != '`') {
                    ++j;
                } else if (s[j] == quote) {
                    if (quote != ']' && j + 1 < n && s[j + 1] == quote)
                        ++j; // a doubled quote stands for itself
                    else
                        break;
                }
            }
            out.push_back({c == '\'' ? Kind::string : Kind::other, i, j + 1});
            i = j + 1;
        } else if (wordChar(c)) {
            size_t j = i;
            while (j < n && wordChar(s[j]))
                ++j;
            out.push_back({Kind::word, i, j});
            i = j;
        } else {
            out.push_back({Kind::other, i, i + 1});
            ++i;
        }
    }
    return out;
}

class Reader {
public:
    Reader(const std::string& sql, const std::vector<Token>& tokens) : sql_(sql), t_(tokens) {}

    bool is(size_t i, const char* text) const {
        if (i >= t_.size())
            return false;
        const Token& k = t_[i];
        const size_t len = std::char_traits<char>::length(text);
        if (k.end - k.begin != len || k.kind == Kind::string)
            return false;
        for (size_t j = 0; j < len; ++j)
            if (std::tolower(static_cast<unsigned char>(sql_[k.begin + j])) !=
                std::tolower(static_cast<unsigned char>(text[j])))
                return false;
        return true;
    }
    bool isAny(size_t i, std::initializer_list<const char*> texts) const {
        return std::any_of(texts.begin(), texts.end(), [&](const char* t) { return is(i, t); });
    }
    Kind kind(size_t i) const { return i < t_.size() ? t_[i].kind : Kind::other; }
    size_t size() const { return t_.size(); }
    const Token& at(size_t i) const { return t_[i]; }

    // "X.call_id IN (SELECT call_id FROM cad WHERE name = 'N' AND value = 'V')"
    // from token i: the index of its closing bracket.
    std::optional<size_t> condition(size_t i) const {
        if (kind(i) != Kind::word || !is(i + 1, ".") || !is(i + 2, "call_id") || is(i, "cad"))
            return std::nullopt;
        size_t k = i + 3;
        for (const char* w : {"IN", "(", "SELECT", "call_id", "FROM", "cad", "WHERE", "name", "="})
            if (!is(k++, w))
                return std::nullopt;
        if (kind(k++) != Kind::string || !is(k++, "AND") || !is(k++, "value"))
            return std::nullopt;
        if (!isAny(k++, {"=", "LIKE"}) || kind(k++) != Kind::string || !is(k, ")"))
            return std::nullopt;
        return k;
    }

private:
    const std::string& sql_;
    const std::vector<Token>& t_;
};

} // namespace

std::vector<CadCondition> findCadConditions(const std::string& sql, Dialect dialect) {
    std::vector<CadCondition> out;
    const auto list = tokens(sql, dialect);
    if (!list)
        return out;
    const Reader r(sql, *list);
    for (size_t i = 1; i < r.size(); ++i) {
        // Only a whole term: a neighbour that binds tighter than IN would
        // take part of it.
        if (!r.isAny(i - 1, {"(", "AND", "OR", "NOT", "WHERE", "ON"}))
            continue;
        const auto close = r.condition(i);
        if (!close)
            continue;
        const size_t next = *close + 1;
        if (next < r.size() && !r.isAny(next, {")", "AND", "OR", "ORDER", "GROUP", "LIMIT", ";"}))
            continue;
        CadCondition c;
        c.begin = r.at(i).begin;
        c.end = r.at(*close).end;
        c.subject = sql.substr(c.begin, r.at(i + 2).end - c.begin);
        const size_t filterBegin = r.at(i + 10).begin; // "name"
        c.filter = sql.substr(filterBegin, r.at(*close).begin - filterBegin);
        while (!c.filter.empty() && std::isspace(static_cast<unsigned char>(c.filter.back())))
            c.filter.pop_back();
        out.push_back(std::move(c));
        i = *close;
    }
    return out;
}

size_t subqueryListCount(const std::string& sql, Dialect dialect) {
    const auto list = tokens(sql, dialect);
    if (!list)
        return 0;
    const Reader r(sql, *list);
    size_t count = 0;
    for (size_t i = 0; i + 2 < r.size(); ++i)
        if (r.is(i, "IN") && r.is(i + 1, "(") && r.is(i + 2, "SELECT"))
            ++count;
    return count;
}

std::string cadMatchCountQuery(const CadCondition& c, uint64_t limit) {
    return "SELECT COUNT(*) FROM (SELECT 1 FROM cad WHERE " + c.filter + " LIMIT " +
           std::to_string(limit) + ") AS found";
}

uint64_t commonCadThreshold(uint64_t records) {
    // Measured on demo archives: a looked-up record costs about fifteen
    // times a walked one, a call has about two records, and the viewer's
    // limit is 10,000 records.
    constexpr double kWeighedLimit = 10000.0 / 15.0 / 2.0;
    const auto t = static_cast<uint64_t>(std::sqrt(static_cast<double>(records) * kWeighedLimit));
    return std::max<uint64_t>(t, 1);
}

std::string withCadTestedPerRecord(const std::string& sql,
                                   const std::vector<CadCondition>& conditions) {
    std::string out;
    size_t at = 0;
    for (const CadCondition& c : conditions) {
        out.append(sql, at, c.begin - at);
        // A NULL call id is "in" a non-empty list as NULL, in an empty one
        // not at all: the same as IN gives, not merely as WHERE reads it.
        out += "(CASE WHEN " + c.subject + " IS NULL THEN (CASE WHEN EXISTS (SELECT 1 FROM cad " +
               "WHERE " + c.filter + ") THEN NULL ELSE 0 END) ELSE EXISTS (SELECT 1 FROM cad " +
               "WHERE " + c.filter + " AND call_id = " + c.subject + ") END)";
        at = c.end;
    }
    out.append(sql, at, std::string::npos);
    return out;
}

namespace {

bool isNumber(const std::string& sql, const Token& t) {
    return t.kind == Kind::word &&
           std::all_of(sql.begin() + static_cast<std::ptrdiff_t>(t.begin),
                       sql.begin() + static_cast<std::ptrdiff_t>(t.end),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) &&
           t.end - t.begin <= 18;
}

// Tokens [b, e) without brackets that enclose all of them.
std::pair<size_t, size_t> unbracketed(const Reader& r, size_t b, size_t e) {
    while (e - b >= 2 && r.is(b, "(") && r.is(e - 1, ")")) {
        int depth = 0;
        size_t i = b;
        for (; i < e; ++i) {
            depth += r.is(i, "(") ? 1 : r.is(i, ")") ? -1 : 0;
            if (depth == 0)
                break;
        }
        if (i != e - 1)
            break; // "(a) AND (b)"
        ++b;
        --e;
    }
    return {b, e};
}

// Tokens [b, e) as "m.Media_ID IN (SELECT Media_ID FROM participants
// WHERE ...)" with a plain condition: the index of its WHERE.
std::optional<size_t> participantList(const Reader& r, size_t b, size_t e) {
    size_t k = b;
    for (const char* w :
         {"m", ".", "Media_ID", "IN", "(", "SELECT", "Media_ID", "FROM", "participants", "WHERE"})
        if (k >= e || !r.is(k++, w))
            return std::nullopt;
    const size_t where = k - 1;
    if (k + 1 >= e || !r.is(e - 1, ")"))
        return std::nullopt;
    int depth = 0;
    for (; k < e - 1; ++k) {
        if (r.is(k, "(")) {
            ++depth;
        } else if (r.is(k, ")")) {
            if (--depth < 0)
                return std::nullopt; // "(...) AND (...)": not one list
        } else if (depth == 0 && r.isAny(k, {"ORDER", "LIMIT", "GROUP", "HAVING", "WINDOW", "UNION",
                                             "EXCEPT", "INTERSECT", ";"})) {
            return std::nullopt;
        }
    }
    return depth == 0 ? std::optional<size_t>(where) : std::nullopt;
}

} // namespace

std::optional<TimeSpan> findTimeSpan(const std::string& sql, Dialect dialect) {
    const auto list = tokens(sql, dialect);
    if (!list)
        return std::nullopt;
    const Reader r(sql, *list);
    // The outermost statement: "FROM ... media [AS] m ... WHERE".
    size_t i = 0;
    int depth = 0;
    bool media = false;
    size_t mediaEnd = 0;
    for (; i < r.size() && !(depth == 0 && r.is(i, "WHERE")); ++i) {
        depth += r.is(i, "(") ? 1 : r.is(i, ")") ? -1 : 0;
        if (depth == 0 && r.is(i, "media") &&
            (r.is(i + 1, "m") || (r.is(i + 1, "AS") && r.is(i + 2, "m")))) {
            media = true;
            mediaEnd = r.at(r.is(i + 1, "m") ? i + 1 : i + 2).end;
        }
    }
    if (!media || i >= r.size())
        return std::nullopt;
    std::optional<TimeSpan> found;
    size_t termBegin = ++i;
    bool inBetween = false;
    std::vector<ParticipantList> lists;
    const auto term = [&](size_t e) {
        const auto [b, end] = unbracketed(r, termBegin, e);
        if (const auto where = participantList(r, b, end)) {
            const size_t from = r.at(*where).end;
            lists.push_back(
                {r.at(b).begin, r.at(end - 1).end, sql.substr(from, r.at(end - 1).begin - from)});
        }
        if (end - b == 7 && r.is(b, "m") && r.is(b + 1, ".") && r.is(b + 2, "Timestamp") &&
            r.is(b + 3, "BETWEEN") && isNumber(sql, r.at(b + 4)) && r.is(b + 5, "AND") &&
            isNumber(sql, r.at(b + 6)) && !found) {
            found.emplace();
            found->from = std::stoll(sql.substr(r.at(b + 4).begin, r.at(b + 4).end));
            found->to = std::stoll(sql.substr(r.at(b + 6).begin, r.at(b + 6).end));
        }
    };
    for (depth = 0; i < r.size(); ++i) {
        if (r.is(i, "(")) {
            ++depth;
        } else if (r.is(i, ")")) {
            if (--depth < 0)
                return std::nullopt; // the WHERE of a subquery after all
        } else if (depth == 0) {
            if (r.isAny(
                    i, {"OR", "CASE", "GROUP", "HAVING", "WINDOW", "UNION", "EXCEPT", "INTERSECT"}))
                return std::nullopt; // not a plain AND of terms, or more than one listing
            if (r.isAny(i, {"ORDER", "LIMIT", ";"}))
                break;
            if (r.is(i, "BETWEEN")) {
                inBetween = true;
            } else if (r.is(i, "AND")) {
                if (inBetween) {
                    inBetween = false;
                } else {
                    term(i);
                    termBegin = i + 1;
                }
            }
        }
    }
    term(i);
    if (found) {
        found->whereEnd = i < r.size() ? r.at(i).begin : sql.size();
        found->participantLists = std::move(lists);
        found->mediaEnd = mediaEnd;
    }
    return found;
}

uint64_t commonListThreshold(uint64_t records) {
    // Measured on demo archives: a walked record costs about six times a
    // collected list entry; the viewer's limit is 10,000 records.
    constexpr double kWeighedLimit = 10000.0 * 6.0;
    const auto t = static_cast<uint64_t>(std::sqrt(static_cast<double>(records) * kWeighedLimit));
    return std::max<uint64_t>(t, 1);
}

std::string participantListCountQuery(const ParticipantList& list, int64_t low, int64_t high,
                                      uint64_t limit) {
    return "SELECT COUNT(*) FROM (SELECT 1 FROM participants WHERE (" + list.condition +
           ") AND Media_ID BETWEEN " + std::to_string(low) + " AND " + std::to_string(high) +
           " LIMIT " + std::to_string(limit) + ") AS found";
}

std::string reshapedSpanListing(const std::string& sql, Dialect dialect, const TimeSpan& span,
                                const std::optional<MediaIdRange>& bounds,
                                const std::vector<bool>& tested) {
    const std::string between = bounds ? " AND Media_ID BETWEEN " + std::to_string(bounds->low) +
                                             " AND " + std::to_string(bounds->high) + " "
                                       : " ";
    struct Edit {
        size_t from, to; // the text replaced
        std::string text;
    };
    std::vector<Edit> edits;
    bool anyTested = false;
    for (size_t i = 0; i < span.participantLists.size(); ++i) {
        const ParticipantList& list = span.participantLists[i];
        // Neither side of the IN is ever NULL (both are record numbers that
        // the schema requires), so EXISTS gives the same result.
        const bool test = i < tested.size() && tested[i];
        anyTested = anyTested || test;
        edits.push_back({list.begin, list.end,
                         test ? "EXISTS (SELECT 1 FROM participants WHERE (" + list.condition +
                                    ") AND Media_ID = m.Media_ID)"
                              : "m.Media_ID IN (SELECT Media_ID FROM participants WHERE (" +
                                    list.condition + ")" + between + ")"});
    }
    if (bounds)
        edits.push_back({span.whereEnd, span.whereEnd, " AND m." + between.substr(5)});
    // Read by any index of its own, m would come in the index's order and
    // be sorted before the first row.
    if (anyTested)
        edits.insert(edits.begin(),
                     {span.mediaEnd, span.mediaEnd,
                      dialect == Dialect::sqlite ? " NOT INDEXED" : " FORCE INDEX (PRIMARY)"});
    std::string out;
    size_t at = 0;
    for (const Edit& e : edits) {
        out.append(sql, at, e.from - at);
        out += e.text;
        at = e.to;
    }
    out.append(sql, at, std::string::npos);
    return out;
}

std::optional<ShapedListing> shapedSpanListing(const std::string& sql, Dialect dialect,
                                               const ArchiveFacts& facts) {
    const std::optional<TimeSpan> span = findTimeSpan(sql, dialect);
    if (!span)
        return std::nullopt;
    std::optional<MediaIdRange> bounds;
    if (const auto b = facts.spanBounds(*span);
        b && b->records > 0 && b->high - b->low < 4 * b->records)
        bounds = MediaIdRange{b->low, b->high};
    std::vector<bool> tested;
    if (!span->participantLists.empty()) {
        const MediaIdRange all{
            1, static_cast<int64_t>(facts.count("SELECT MAX(Media_ID) FROM media").value_or(0))};
        const MediaIdRange range = bounds.value_or(all);
        const int64_t records = range.high - range.low + 1;
        constexpr int64_t kSample = 16;
        const int64_t sampleLow = range.low + records / 2 - records / kSample / 2;
        const uint64_t threshold = commonListThreshold(static_cast<uint64_t>(records));
        for (const ParticipantList& list : span->participantLists) {
            const auto n = facts.count(participantListCountQuery(
                list, sampleLow, sampleLow + records / kSample, threshold / kSample + 1));
            tested.push_back(records > 0 && n && *n * kSample >= threshold);
        }
    }
    const bool anyTested = std::find(tested.begin(), tested.end(), true) != tested.end();
    if (!bounds && !anyTested)
        return std::nullopt;
    return ShapedListing{reshapedSpanListing(sql, dialect, *span, bounds, tested), anyTested};
}

} // namespace vqarchive
