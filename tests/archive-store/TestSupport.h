// Helpers of the storage tests: throw-away folders, small demo archives,
// throw-away MariaDB databases, and readers that check WAV, MP3 and PDF files.
#pragma once

#include "ArchiveStore.h"
#include "DemoArchive.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vqtest {

// A fixed end time keeps the demo archives of the tests identical.
constexpr int64_t kDemoEnd = 1765238400; // 2025-12-09 00:00 UTC

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

vqarchive::DemoOptions smallDemo(uint32_t records = 300, uint64_t seed = 7);

// The MariaDB server of the test run (VQ_MYSQL_URL), if any. Tests call
// mysqlOrSkip() in their body or SetUp: it skips when the variable is unset,
// unless VQ_REQUIRE_MYSQL=1 asks for the database, which then fails.
bool mysqlConfigured();
bool mysqlRequired();
#define VQ_MYSQL_OR_SKIP()                                                                         \
    do {                                                                                           \
        if (!::vqtest::mysqlConfigured()) {                                                        \
            if (::vqtest::mysqlRequired())                                                         \
                FAIL() << "VQ_REQUIRE_MYSQL=1 but VQ_MYSQL_URL is not set";                        \
            GTEST_SKIP() << "VQ_MYSQL_URL is not set";                                             \
        }                                                                                          \
    } while (0)

// A database of its own for one test, dropped at the end, so that tests may
// run in parallel against one server.
class TempMysqlDatabase {
public:
    TempMysqlDatabase();
    ~TempMysqlDatabase();
    TempMysqlDatabase(const TempMysqlDatabase&) = delete;
    TempMysqlDatabase& operator=(const TempMysqlDatabase&) = delete;
    const std::string& url() const { return url_; }
    // Runs a statement with full rights (test set-up only).
    void run(const std::string& sql) const;

private:
    std::string name_;
    std::string url_;
};

// Collected output of the store calls.
struct Collected {
    std::vector<std::vector<vqarchive::Row>> batches;
    std::vector<bool> hasMore;
    size_t rowCount() const;
    std::vector<vqarchive::Row> rows() const;
};
vqarchive::StoreResult collect(vqarchive::ArchiveStore& store, const std::string& sql,
                               Collected& out, size_t batchSize = 32);
// The rows of a query as plain value lists, asserting success.
std::vector<std::vector<std::string>> query(vqarchive::ArchiveStore& store, const std::string& sql);
std::string scalar(vqarchive::ArchiveStore& store, const std::string& sql);

vqarchive::StoreResult download(vqarchive::ArchiveStore& store, uint32_t id,
                                std::vector<uint8_t>& bytes, size_t pieceSize = 4096,
                                size_t* pieces = nullptr, size_t* largestPiece = nullptr);

std::vector<uint8_t> readFile(const std::filesystem::path& p);

// Parsed facts of a WAV file, or an error text.
struct WavInfo {
    std::string error; // empty when valid
    uint16_t format = 0, channels = 0, bitsPerSample = 0;
    uint32_t sampleRate = 0;
    uint32_t dataBytes = 0;
    double seconds() const;
};
WavInfo parseWav(const std::vector<uint8_t>& bytes);

// Parsed facts of an MP3 file: a gapless run of MPEG audio layer III frames
// from the first byte to the last, with no tags, all of one rate and mode.
struct Mp3Info {
    std::string error; // empty when valid
    size_t frames = 0;
    int layer = 0;          // 3 for layer III
    double mpegVersion = 0; // 1, 2 or 2.5
    uint32_t sampleRate = 0;
    uint32_t kbps = 0; // of the first frame
    bool mono = false;
    uint32_t samplesPerFrame = 0;
    double seconds() const;
};
Mp3Info parseMp3(const std::vector<uint8_t>& bytes);

// Parsed facts of a PDF file: checks the header, the cross-reference table
// (every offset must point at its object), stream lengths and the page tree.
struct PdfInfo {
    std::string error; // empty when valid
    size_t objects = 0;
    size_t pages = 0;       // /Count of the page tree
    size_t pageObjects = 0; // objects of /Type /Page
    std::string allContent; // the page content streams, joined
};
PdfInfo parsePdf(const std::vector<uint8_t>& bytes);

// A small archive with hand-picked content, for tests that need to know
// exactly what is in it.
struct KnownArchive {
    std::vector<uint8_t> wavA, wavB, pdf; // file contents
    std::string fileA, fileB, fileC;      // their names
    static constexpr uint32_t kFirstFiller = 100;
    static constexpr uint32_t kFillers = 250;
    // Every 7th filler message holds the word "needle".
    static bool fillerHasNeedle(uint32_t id) { return (id - kFirstFiller) % 7 == 0; }
};
KnownArchive writeKnownArchive(const std::string& target);

} // namespace vqtest
