// Command line of vqarchived. Parsing only: no side effects, so that the
// tests can try every form. The serving options fill a ServerConfig
// directly, so the server's own defaults are the only defaults there are.
#pragma once

#include "ArchiveServer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vqarchive {

// Exit codes of vqarchived.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // the work failed (archive unreachable, port taken, disk full, ...)
constexpr int kExitUsage = 2;   // bad command line

// Limits the command line enforces on the server's settings.
constexpr uint32_t kMaxPieceBytes = 1024 * 1024;
constexpr uint32_t kMaxTimeoutMs = 24 * 60 * 60 * 1000;
constexpr uint32_t kMaxConnectionsLimit = 4096;
constexpr uint32_t kMinRequestBytes = 1024;
constexpr uint32_t kMaxRequestBytesLimit = 256 * 1024 * 1024;
constexpr uint32_t kMaxQueuedJobsLimit = 1024;
constexpr uint32_t kMaxBatchDelayMs = 60 * 1000;
// A password file is read up to this size; a password is one line.
constexpr size_t kMaxPasswordFileBytes = 4096;

enum class RunMode { help, version, createDemo, serve };

struct ServerOptions {
    RunMode mode = RunMode::serve;

    // Serving.
    ServerConfig server;
    std::string passwordFile; // not empty: the password is read from this file
    std::string archive;

    // --create-demo.
    std::string demoTarget;
    uint64_t seed = 1;
    uint32_t records = 5000;
    int64_t endTime = 0; // 0: the end of today
    uint32_t days = 90;  // the records' time span before the end
    bool replace = false;
    uint32_t longRecordingMb = 0; // 0: none
};

struct ParsedOptions {
    bool ok = false;
    ServerOptions options;
    std::string error; // what is wrong, when !ok
};

// `args` are the arguments after the program name.
ParsedOptions parseServerOptions(const std::vector<std::string>& args);

// The password kept in a file: its first line, without the line end. Returns
// false with a reason when the file cannot be read, is too large, or holds
// no line at all.
bool readPasswordFile(const std::string& path, std::string& password, std::string& error);

std::string usageText();

} // namespace vqarchive
