// Command line of vqarchived. Parsing only: no side effects, so that the
// tests can try every form and the server can add options here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vqarchive {

constexpr uint16_t kDefaultPort = 7456;
// The viewer's built-in default password.
inline constexpr const char* kDefaultPassword = "pemrak";

// Exit codes of vqarchived.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // the work failed (archive unreachable, disk full, ...)
constexpr int kExitUsage = 2;   // bad command line
constexpr int kExitNotBuilt = 3;

enum class RunMode { help, createDemo, serve };

struct ServerOptions {
    RunMode mode = RunMode::serve;

    // Serving.
    uint16_t port = kDefaultPort;
    std::string listen; // IPv4 address to listen on; empty: all local addresses
    std::string password = kDefaultPassword;
    std::string archive;

    // --create-demo.
    std::string demoTarget;
    uint64_t seed = 1;
    uint32_t records = 5000;
    int64_t endTime = 0; // 0: the end of today
    bool replace = false;
};

struct ParsedOptions {
    bool ok = false;
    ServerOptions options;
    std::string error; // what is wrong, when !ok
};

// `args` are the arguments after the program name.
ParsedOptions parseServerOptions(const std::vector<std::string>& args);

std::string usageText();

} // namespace vqarchive
