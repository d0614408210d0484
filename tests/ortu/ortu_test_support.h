// What several runtime test programs install around their cases: a handler
// that counts assertion reports instead of prompting, and a capture of the
// debugger output.
#pragma once

#include "ORTU_OS.h"

#include <atomic>
#include <mutex>
#include <string>

namespace ortu_test {

inline std::atomic<int> assertion_reports{0};

inline ORTU_Prompt_Result count_assertion(const char*, const char*) {
    ++assertion_reports;
    return pr_ignore;
}

inline std::mutex output_lock;
inline std::string output;

inline void capture_output(const char* text) {
    std::lock_guard<std::mutex> hold(output_lock);
    output += text;
}

inline std::string captured() {
    std::lock_guard<std::mutex> hold(output_lock);
    return output;
}

} // namespace ortu_test
