// Assertions and the direct debugger print. Both work without the debug
// manager, so the runtime can use them while it starts and stops.
#pragma once

#include <cstdarg>

// Shows the assertion report for a failed condition. Returns true when the
// user asked to debug (Retry); Abort ends the process, Ignore returns false.
bool ortu_assertion_report(const char* file, int line, const char* condition);

// Breaks into an attached debugger (SIGTRAP), or does nothing without one.
void ortu_debugger_break();

// Formats into at most 1024 bytes and sends the text to the system debugger
// output sink (see ORTU_OS.h for where that goes on this platform).
void ortu_debug_print(const char* format, ...);
void ortu_debug_vprint(const char* format, va_list args);

#define ORTU_ASSERT(cond)                                                                          \
    do {                                                                                           \
        if (!(cond) && ortu_assertion_report(__FILE__, __LINE__, #cond))                           \
            ortu_debugger_break();                                                                 \
    } while (0)
