// The runtime's exception classes. Raised by value, caught by reference.
#pragma once

#include "ORTU_String.h"
#include "ORTU_Types.h"

#include <cstdarg>

class ORTU_Exception {
public:
    ORTU_Exception(); // empty message
    explicit ORTU_Exception(const char* format, ...);
    virtual ~ORTU_Exception();

    virtual const char* what() const;

protected:
    void vset_message(const char* format, va_list args);

    ORTU_String message_;
};

class ORTU_Out_Of_Memory : public ORTU_Exception {
public:
    ORTU_Out_Of_Memory() = default;
};

// The calling thread's last system error (errno) taken at construction;
// message "%s, %d - %s", or "%s, %d" when the system has no description.
class ORTU_Win32_Error : public ORTU_Exception {
public:
    explicit ORTU_Win32_Error(const char* format, ...);
    ORTU_UINT32 code() const { return code_; }

private:
    ORTU_UINT32 code_;
};
