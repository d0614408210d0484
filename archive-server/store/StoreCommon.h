// Pieces both backends share: batching of rows, the search report cadence,
// the data each media type carries, and the outcome texts.
#pragma once

#include "ArchiveStore.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace vqarchive {

inline constexpr const char* kSqliteFileName = "archive.sqlite";
inline constexpr const char* kDataFolderName = "data";

// Bounds of one download piece: zero means the default, and a huge request
// must not make the server allocate without limit.
constexpr size_t kDefaultPieceSize = 64 * 1024;
constexpr size_t kMaxPieceSize = 4 * 1024 * 1024;
size_t clampPieceSize(size_t requested);

// The largest single value a client statement may produce.
constexpr size_t kMaxClientValue = 64 * 1024 * 1024;

// Collects rows into batches and holds the last full batch back until it is
// known whether more rows follow, so that the final batch says hasMore=false
// without an empty batch after it.
class BatchCollector {
public:
    BatchCollector(size_t batchSize, const RowSink& sink);
    bool add(Row&& row);
    bool finish();

private:
    size_t batchSize_;
    const RowSink& sink_;
    std::vector<Row> current_;
    std::vector<Row> held_;
    bool holding_ = false;
};

// Reports search progress at least every kSearchReportInterval or
// kSearchReportRecords records.
class SearchReporter {
public:
    SearchReporter(uint32_t total, const SearchProgress& progress);
    bool searched(uint32_t id, bool found);
    bool finish();

private:
    bool report();

    uint32_t total_;
    const SearchProgress& progress_;
    uint32_t searched_ = 0;
    uint32_t reportedAt_ = 0;
    bool reportedOnce_ = false;
    std::vector<uint32_t> found_;
    std::chrono::steady_clock::time_point last_;
};

enum class DataKind { none, text, cad, file };
DataKind dataKindOf(const std::string& mediaType);

// The call attached data of a "cad" record as text: one "name: value" line
// per item.
std::string cadText(const std::vector<std::pair<std::string, std::string>>& items);

StoreResult sendPieces(const std::string& data, size_t pieceSize, const DataSink& sink,
                       const CancelToken& cancel);

StoreResult missingRecord(uint32_t mediaId);
StoreResult missingData(uint32_t mediaId, const std::string& why);

// Content-named data files: letters, digits, dots, dashes, underscores; no
// path separators, no leading dot.
bool isSafeFileName(const std::string& name);

bool onlyBlanksAndSemicolons(const char* text);

} // namespace vqarchive
