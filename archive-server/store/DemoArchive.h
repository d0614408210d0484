// The demo archive: a realistic, deterministic archive for trying out and
// testing the viewer and the server.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vqarchive {

struct DemoOptions {
    uint64_t seed = 1;
    uint32_t records = 5000;
    // Records fall in the `days` before this time (seconds since 1970);
    // 0 means the end of the current UTC day. Only the times depend on it.
    int64_t endTime = 0;
    uint32_t days = 90;
    // Upper bound of a recording's length; tests use short ones.
    double maxAudioSeconds = 300;
    bool replace = false;
    // Not 0: one more call recording, the archive's last record, whose WAV
    // file has this many bytes (for measuring downloads).
    uint64_t longRecordingBytes = 0;
};

struct DemoSummary {
    uint32_t records = 0;
    uint32_t users = 0;
    uint32_t groups = 0;
    uint32_t agents = 0; // distinct user-in-group pairs
    uint32_t externals = 0;
    uint32_t files = 0; // distinct data files
    uint64_t fileBytes = 0;
    uint32_t cadRows = 0;
    std::map<std::string, uint32_t> byType;
    uint32_t longRecordingId = 0; // 0: none
};

// Builds the archive in `target`: a folder (created if missing; SQLite file
// plus data folder) or a mysql:// address. Throws StoreError.
DemoSummary createDemoArchive(const std::string& target, const DemoOptions& options);
DemoSummary createDemoArchive(const std::string& target, uint64_t seed, uint32_t records);

// The long text form of a global call id, as the viewer shows and types it.
std::string formatGlobalCallId(int64_t id);

} // namespace vqarchive
