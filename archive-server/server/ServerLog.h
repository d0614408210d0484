// The server's log: one line per event, formatted printf-style and handed to
// the configured sink (standard error with a UTC time stamp by default).
// Callers never pass passwords, tokens or digests.
#pragma once

#include "ArchiveServer.h"

#include <string>

namespace vqarchive {

class ServerLog {
public:
    explicit ServerLog(LogSink sink);

    void line(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    LogSink sink_;
};

// Printable form of a text from the network for a log line: control
// characters become '?', and long texts are cut.
std::string printable(const std::string& text, size_t maxLength = 80);

} // namespace vqarchive
