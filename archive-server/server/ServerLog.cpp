#include "ServerLog.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <vector>

namespace vqarchive {

namespace {

void toStandardError(const std::string& line) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    // One write per line, so that lines of several threads never interleave.
    const std::string text = std::string(stamp) + " vqarchived: " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

} // namespace

ServerLog::ServerLog(LogSink sink) : sink_(sink ? std::move(sink) : LogSink(toStandardError)) {}

void ServerLog::line(const char* format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string text;
    if (n < 0) {
        text = format;
    } else if (static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else {
        std::vector<char> big(static_cast<size_t>(n) + 1);
        std::vsnprintf(big.data(), big.size(), format, again);
        text.assign(big.data(), static_cast<size_t>(n));
    }
    va_end(again);
    sink_(text);
}

std::string printable(const std::string& text, size_t maxLength) {
    std::string out;
    for (char c : text) {
        if (out.size() >= maxLength) {
            out += "...";
            break;
        }
        const unsigned char u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u == 0x7F) ? '?' : c;
    }
    return out;
}

} // namespace vqarchive
