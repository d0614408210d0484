// The socket module's exception: a text and the Winsock error code, with
// the code's name. POSIX errors are mapped to the Winsock codes so that
// callers see one set of numbers on every platform.
#pragma once

#include "ORTU_Exception.h"
#include "ORTU_Types.h"

// The Winsock codes this module raises by itself.
enum : ORTU_UINT32 {
    WSAEBADF_CODE = 10009,
    WSAEWOULDBLOCK_CODE = 10035,
    WSAENOTSOCK_CODE = 10038,
    WSAECONNRESET_CODE = 10054,
    WSAENOTCONN_CODE = 10057,
    WSAETIMEDOUT_CODE = 10060,
    WSAECONNREFUSED_CODE = 10061,
    WSA_E_CANCELLED_CODE = 10111,
};

class Socket_Error : public ORTU_Exception {
public:
    // Text: the formatted message, then ", error %u (%s)" with code and name.
    Socket_Error(ORTU_UINT32 code, const char* format, ...);
    // The code of the calling thread's last socket error (errno, mapped).
    explicit Socket_Error(const char* format, ...);

    ORTU_UINT32 code() const { return code_; }

private:
    void build(const char* format, va_list args);

    ORTU_UINT32 code_;
};

// The name of a Winsock error constant, "UNKNOWN" for other codes.
const char* winsock_error_name(ORTU_UINT32 code);
// The Winsock code for a POSIX errno value; unknown values pass unchanged.
ORTU_UINT32 winsock_error_from_errno(int error);
// The mapped code of the calling thread's errno.
ORTU_UINT32 winsock_last_error();
