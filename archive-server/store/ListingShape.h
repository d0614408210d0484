// Shapes of the viewer's listings that the backends run differently from
// how the engines would plan them, each with the same result.
//
// The query builder's CAD conditions:
//   m.call_id IN (SELECT call_id FROM cad WHERE name = 'N' AND value = 'V')
// (or "value LIKE 'P'"). Without per-value statistics neither engine can
// tell a value that a handful of calls carry from one that every seventh
// call carries, and both look the calls up first: right for the few, but
// for the many every matching record is collected and sorted before the
// first row. The backends count the matches and, for a common value, run
// the statement so that it walks the records in order and stops at its
// limit.
#pragma once

#include "Schema.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vqarchive {

struct CadCondition {
    size_t begin = 0; // the whole "X IN (...)" in the statement, bytes
    size_t end = 0;
    std::string subject; // X as written, always qualified ("m.call_id")
    std::string filter;  // "name = 'N' AND value = 'V'" as written
};

// The CAD conditions that stand alone as terms of a condition (between
// brackets, AND, OR, NOT, WHERE, ...), so that replacing one by a bracketed
// expression of the same value keeps the statement's meaning. A statement
// that cannot be read (an open quote or comment) has none.
std::vector<CadCondition> findCadConditions(const std::string& sql, Dialect dialect);

// How many "IN (SELECT" lists the statement holds, CAD conditions included.
size_t subqueryListCount(const std::string& sql, Dialect dialect);

// Counts the CAD rows the condition's filter selects, stopping at `limit`.
std::string cadMatchCountQuery(const CadCondition& c, uint64_t limit);

// Fewer matching calls than this and looking them up first is the faster
// plan for an archive of `records`; at or above it, walking the records in
// order is. The lookup sorts every matching record before the first row,
// the walk reads about records/matches records for each one it keeps, so
// the walk wins once matches^2 outgrows records times the record limit
// weighed by the relative cost of the two.
uint64_t commonCadThreshold(uint64_t records);

// The statement with each given condition replaced by a test per record:
// "does this record's call have such a CAD row", of the same three-valued
// result as the IN it replaces (cad.call_id is never NULL).
std::string withCadTestedPerRecord(const std::string& sql,
                                   const std::vector<CadCondition>& conditions);

// A listing of "media AS m" whose condition holds, as a term ANDed with all
// the others, "m.Timestamp BETWEEN from AND to". Without statistics of its
// own the engine finds the span's records by time and sorts them all by
// Media_ID before the first row; bounded by the Media_IDs the span holds
// (records are archived as they happen, so these lie close together), it
// walks them in order and stops at its limit.
//
// A participant condition ANDed beside it,
//   m.Media_ID IN (SELECT Media_ID FROM participants WHERE ...)
// gets the bounds too: the engine collects the participant's records into
// a list before the first row, and walks that list from its first entry.
// A participant of very many records (a large group over a long span) is
// instead tested per record as the listing walks the records in order:
// collecting such a list alone outlasts the wait for a first row.
struct ParticipantList {
    size_t begin = 0; // the whole "m.Media_ID IN (...)", bytes
    size_t end = 0;
    std::string condition; // what follows its WHERE, as written
};
struct TimeSpan {
    int64_t from = 0;
    int64_t to = 0;
    size_t whereEnd = 0; // where a further "AND ..." joins the condition
    size_t mediaEnd = 0; // just after "media AS m" in the FROM
    std::vector<ParticipantList> participantLists;
};
std::optional<TimeSpan> findTimeSpan(const std::string& sql, Dialect dialect);

// A participant list of this many records or more, among `records`
// consecutive record numbers, is tested per record rather than collected:
// collecting costs about a sixth of walking a record, and a walk to the
// viewer's limit (10,000 records) reads records/matches records for each.
uint64_t commonListThreshold(uint64_t records);

// Counts the list's records numbered low to high, stopping at `limit`.
std::string participantListCountQuery(const ParticipantList& list, int64_t low, int64_t high,
                                      uint64_t limit);

// The statement with, where bounds are given, "AND m.Media_ID BETWEEN low
// AND high" added to its condition and to each collected participant
// list's; each list marked in `tested` becomes a test per record, and m is
// then read only by record number.
struct MediaIdRange {
    int64_t low = 0;
    int64_t high = 0;
};
std::string reshapedSpanListing(const std::string& sql, Dialect dialect, const TimeSpan& span,
                                const std::optional<MediaIdRange>& bounds,
                                const std::vector<bool>& tested);

// What a backend tells of its archive to shape a listing: the lowest and
// highest record number of a span's records and (at most) how many there
// are, and one number from a statement of ours; nothing when it cannot.
struct SpanBounds {
    int64_t low = 0;
    int64_t high = 0;
    int64_t records = 0;
};
struct ArchiveFacts {
    std::function<std::optional<SpanBounds>(const TimeSpan&)> spanBounds;
    std::function<std::optional<uint64_t>(const std::string&)> count;
};

// A listing over a time span bounded by the record numbers the span holds,
// where those lie close together (no more than four times the span's
// records between the first and the last), and each participant list
// beside it collected or tested per record, whichever is the faster by a
// count on a sample of the records (the middle sixteenth). Nothing when
// the statement stays as it is.
struct ShapedListing {
    std::string sql;
    bool testsPerRecord = false; // a participant list became a test per record
};
std::optional<ShapedListing> shapedSpanListing(const std::string& sql, Dialect dialect,
                                               const ArchiveFacts& facts);

} // namespace vqarchive
