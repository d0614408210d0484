#include "Socket_Error.h"

#include "ORTU_String.h"

#include <cerrno>
#if defined(_WIN32)
#include <winsock2.h>
#endif

namespace {

struct Code_Name {
    ORTU_UINT32 code;
    const char* name;
};

const Code_Name code_names[] = {
    {10004, "WSAEINTR"},
    {10009, "WSAEBADF"},
    {10013, "WSAEACCES"},
    {10014, "WSAEFAULT"},
    {10022, "WSAEINVAL"},
    {10024, "WSAEMFILE"},
    {10035, "WSAEWOULDBLOCK"},
    {10036, "WSAEINPROGRESS"},
    {10037, "WSAEALREADY"},
    {10038, "WSAENOTSOCK"},
    {10039, "WSAEDESTADDRREQ"},
    {10040, "WSAEMSGSIZE"},
    {10041, "WSAEPROTOTYPE"},
    {10042, "WSAENOPROTOOPT"},
    {10043, "WSAEPROTONOSUPPORT"},
    {10044, "WSAESOCKTNOSUPPORT"},
    {10045, "WSAEOPNOTSUPP"},
    {10046, "WSAEPFNOSUPPORT"},
    {10047, "WSAEAFNOSUPPORT"},
    {10048, "WSAEADDRINUSE"},
    {10049, "WSAEADDRNOTAVAIL"},
    {10050, "WSAENETDOWN"},
    {10051, "WSAENETUNREACH"},
    {10052, "WSAENETRESET"},
    {10053, "WSAECONNABORTED"},
    {10054, "WSAECONNRESET"},
    {10055, "WSAENOBUFS"},
    {10056, "WSAEISCONN"},
    {10057, "WSAENOTCONN"},
    {10058, "WSAESHUTDOWN"},
    {10059, "WSAETOOMANYREFS"},
    {10060, "WSAETIMEDOUT"},
    {10061, "WSAECONNREFUSED"},
    {10062, "WSAELOOP"},
    {10063, "WSAENAMETOOLONG"},
    {10064, "WSAEHOSTDOWN"},
    {10065, "WSAEHOSTUNREACH"},
    {10066, "WSAENOTEMPTY"},
    {10067, "WSAEPROCLIM"},
    {10068, "WSAEUSERS"},
    {10069, "WSAEDQUOT"},
    {10070, "WSAESTALE"},
    {10071, "WSAEREMOTE"},
    {10091, "WSASYSNOTREADY"},
    {10092, "WSAVERNOTSUPPORTED"},
    {10093, "WSANOTINITIALISED"},
    {10101, "WSAEDISCON"},
    {10102, "WSAENOMORE"},
    {10103, "WSAECANCELLED"},
    {10104, "WSAEINVALIDPROCTABLE"},
    {10105, "WSAEINVALIDPROVIDER"},
    {10106, "WSAEPROVIDERFAILEDINIT"},
    {10107, "WSASYSCALLFAILURE"},
    {10108, "WSASERVICE_NOT_FOUND"},
    {10109, "WSATYPE_NOT_FOUND"},
    {10110, "WSA_E_NO_MORE"},
    {10111, "WSA_E_CANCELLED"},
    {10112, "WSAEREFUSED"},
};

#if !defined(_WIN32)
// Where the system's socket errors are POSIX ones. On Windows they are the
// Winsock codes themselves and pass unchanged.
struct Errno_Code {
    int error;
    ORTU_UINT32 code;
};

const Errno_Code errno_codes[] = {
    {EINTR, 10004},
    {EBADF, 10009},
    {EACCES, 10013},
    {EPERM, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, 10024},
    {ENFILE, 10024},
    {EAGAIN, 10035},
    {EINPROGRESS, 10036},
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    // Writing to a connection the peer has torn down.
    {EPIPE, 10054},
    {ENOBUFS, 10055},
    {ENOMEM, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
    {EUSERS, 10068},
    {EDQUOT, 10069},
    {ESTALE, 10070},
    {EREMOTE, 10071},
    {ECANCELED, 10111},
};
#endif

} // namespace

const char* winsock_error_name(ORTU_UINT32 code) {
    for (const Code_Name& c : code_names)
        if (c.code == code)
            return c.name;
    return "UNKNOWN";
}

ORTU_UINT32 winsock_error_from_errno(int error) {
#if !defined(_WIN32)
    for (const Errno_Code& e : errno_codes)
        if (e.error == error)
            return e.code;
#endif
    return static_cast<ORTU_UINT32>(error);
}

ORTU_UINT32 winsock_last_error() {
#if defined(_WIN32)
    return static_cast<ORTU_UINT32>(::WSAGetLastError());
#else
    return winsock_error_from_errno(errno);
#endif
}

Socket_Error::Socket_Error(ORTU_UINT32 code, const char* format, ...) : code_(code) {
    va_list args;
    va_start(args, format);
    build(format, args);
    va_end(args);
}

Socket_Error::Socket_Error(const char* format, ...) : code_(winsock_last_error()) {
    va_list args;
    va_start(args, format);
    build(format, args);
    va_end(args);
}

void Socket_Error::build(const char* format, va_list args) {
    ORTU_String text;
    if (format)
        text.vformat(format, args);
    message_.format("%s, error %u (%s)", text.c_str(), code_, winsock_error_name(code_));
}
