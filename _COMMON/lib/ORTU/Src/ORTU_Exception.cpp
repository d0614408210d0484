#include "ORTU_Exception.h"

#include "ORTU_OS.h"

ORTU_Exception::ORTU_Exception() {}

ORTU_Exception::ORTU_Exception(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vset_message(format, args);
    va_end(args);
}

ORTU_Exception::~ORTU_Exception() {}

const char* ORTU_Exception::what() const {
    return message_.c_str();
}

void ORTU_Exception::vset_message(const char* format, va_list args) {
    if (format)
        message_.vformat(format, args);
    else
        message_.clear();
}

ORTU_Win32_Error::ORTU_Win32_Error(const char* format, ...)
    : code_(static_cast<ORTU_UINT32>(ORTU_OS::last_error())) {
    // The code is taken before anything else runs: formatting may itself
    // touch errno.
    ORTU_String text;
    if (format) {
        va_list args;
        va_start(args, format);
        text.vformat(format, args);
        va_end(args);
    }
    const int code = static_cast<int>(code_);
    if (const char* description = ORTU_OS::error_description(code))
        message_.format("%s, %d - %s", text.c_str(), code, description);
    else
        message_.format("%s, %d", text.c_str(), code);
}
