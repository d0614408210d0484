// The pieces of the debug subsystem that work without the debug manager: the
// direct debugger print and the assertion report, plus the debug groups'
// entry points into the manager.
#include "ORTU_Debug.h"

#include "ORTU_Debug_Manager.h"
#include "ORTU_Format.h"
#include "ORTU_OS.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#if defined(_WIN32)
#include <windows.h>
#endif

void ortu_debug_vprint(const char* format, va_list args) {
    // A fixed stack buffer: this runs while the string manager is down too.
    char text[1024];
    ortu_vsnprintf(text, sizeof text, format, args);
    ORTU_OS::debug_output(text);
}

void ortu_debug_print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    ortu_debug_vprint(format, args);
    va_end(args);
}

bool ortu_assertion_report(const char* file, int line, const char* condition) {
    char text[2048];
    ortu_snprintf(text, sizeof text, "Assertion failed:\nfile '%s'\nline %d\nCondition: '%s'", file,
                  line, condition);
    switch (ORTU_OS::assertion_prompt("Debug subsystem", text)) {
    case pr_abort:
        std::abort();
    case pr_retry:
        return true;
    default:
        return false;
    }
}

#if defined(_WIN32)
void ortu_debugger_break() {
    // Without a debugger the breakpoint would end the process, which Retry
    // never meant.
    if (::IsDebuggerPresent())
        ::DebugBreak();
}
#else
namespace {

// The kernel names the tracing process in /proc/self/status; 0 means none.
bool debugger_attached() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return false;
    char line[256];
    bool attached = false;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, "TracerPid:", 10) == 0) {
            attached = std::atoi(line + 10) != 0;
            break;
        }
    }
    std::fclose(status);
    return attached;
}

} // namespace

void ortu_debugger_break() {
    // Without a debugger SIGTRAP would end the process, which Retry never meant.
    if (debugger_attached())
        std::raise(SIGTRAP);
}
#endif

// ---------------------------------------------------------------------------
// Debug groups

ORTU_Debug_Group::ORTU_Debug_Group(const char* name, const ORTU_Debug_Settings& defaults)
    : name_(name), settings_(defaults) {
    // A group made while no manager runs keeps its defaults; its lines are
    // reported when written.
    if (ORTU_Debug_Manager* m = ORTU_Debug_Manager::current())
        m->register_group(this);
}

ORTU_Debug_Group::~ORTU_Debug_Group() {
    if (ORTU_Debug_Manager* m = ORTU_Debug_Manager::current())
        m->unregister_group(this);
}

void ORTU_Debug_Group::print(int level, const char* format, ...) {
    if (!passes(level))
        return;
    va_list args;
    va_start(args, format);
    vprint(level, format, args);
    va_end(args);
}

void ORTU_Debug_Group::vprint(int level, const char* format, va_list args) {
    if (!passes(level))
        return;
    if (ORTU_Debug_Manager* m = ORTU_Debug_Manager::instance())
        m->print_untested(this, level, format, args);
}

void ORTU_Debug_Group::print_untested(int level, const char* format, ...) {
    ORTU_Debug_Manager* m = ORTU_Debug_Manager::instance();
    if (!m)
        return;
    va_list args;
    va_start(args, format);
    m->print_untested(this, level, format, args);
    va_end(args);
}

void ORTU_Debug_Group::dump(int level, const void* data, size_t size, const char* format, ...) {
    if (!passes(level))
        return;
    ORTU_Debug_Manager* m = ORTU_Debug_Manager::instance();
    if (!m)
        return;
    va_list args;
    va_start(args, format);
    m->dump(this, level, data, size, format, args);
    va_end(args);
}
