// The runtime's platform layer on Windows: the system's own thread ids,
// TLS indexes, tick count, module file name, debugger output, message box
// and multi-object wait. ORTU_OS.cpp is the same layer over POSIX.
#include "ORTU_OS.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <io.h>

namespace {

std::atomic<ORTU_OS::Debug_Output_Sink> debug_sink{nullptr};
std::atomic<ORTU_OS::Assertion_Handler> assertion_handler{nullptr};
std::atomic<ORTU_OS::Tick_Source> tick_source{nullptr};

enum Output_Mode { om_debugger, om_debugger_and_stderr, om_none };

Output_Mode output_mode() {
    // Read once, as on the other platforms: the destination must not change
    // in the middle of a run.
    static const Output_Mode mode = [] {
        const char* v = std::getenv("ORTU_DEBUG_OUTPUT");
        if (v && std::strcmp(v, "stderr") == 0)
            return om_debugger_and_stderr;
        if (v && std::strcmp(v, "none") == 0)
            return om_none;
        return om_debugger;
    }();
    return mode;
}

void write_stderr(const char* text) {
    // One write call, so that lines of several threads do not interleave.
    _write(2, text, static_cast<unsigned>(std::strlen(text)));
}

} // namespace

ORTU_UINT32 ORTU_OS::current_thread_id() {
    return ::GetCurrentThreadId();
}

bool ORTU_OS::create_tss_key(ORTU_TSS_Key& key) {
    key = ::TlsAlloc();
    return key != TLS_OUT_OF_INDEXES;
}

bool ORTU_OS::set_tss_value(ORTU_TSS_Key key, void* value) {
    return ::TlsSetValue(key, value) != FALSE;
}

void* ORTU_OS::get_tss_value(ORTU_TSS_Key key) {
    return ::TlsGetValue(key);
}

bool ORTU_OS::destroy_tss_key(ORTU_TSS_Key key) {
    return ::TlsFree(key) != FALSE;
}

ORTU_UINT32 ORTU_OS::tick_count() {
    if (Tick_Source source = tick_source.load(std::memory_order_acquire))
        return source();
    return ::GetTickCount();
}

ORTU_OS::Tick_Source ORTU_OS::set_tick_source(Tick_Source source) {
    return tick_source.exchange(source, std::memory_order_acq_rel);
}

struct timespec ORTU_OS::system_time() {
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    // 100 ns units since 1601-01-01.
    ORTU_UINT64 t = (static_cast<ORTU_UINT64>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    t -= 116444736000000000ULL;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(t / 10000000ULL);
    ts.tv_nsec = static_cast<long>(t % 10000000ULL) * 100;
    return ts;
}

const char* ORTU_OS::module_file_name() {
    static char path[MAX_PATH + 1];
    static const bool filled = [] {
        DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
        path[n < MAX_PATH ? n : 0] = '\0';
        return true;
    }();
    (void)filled;
    return path;
}

int ORTU_OS::last_error() {
    return static_cast<int>(::GetLastError());
}

void ORTU_OS::set_last_error(int code) {
    ::SetLastError(static_cast<DWORD>(code));
}

const char* ORTU_OS::error_description(int code) {
    static thread_local char text[256];
    // Looking the text up must not change the error it describes.
    const DWORD saved = ::GetLastError();
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    ::SetLastError(saved);
    if (n == 0)
        return nullptr;
    // The system's texts end in a line break.
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        text[--n] = '\0';
    return text;
}

void ORTU_OS::yield() {
    ::SwitchToThread();
}

void ORTU_OS::sleep(ORTU_UINT32 milliseconds) {
    ::Sleep(milliseconds);
}

void ORTU_OS::debug_output(const char* text) {
    if (!text)
        return;
    if (Debug_Output_Sink sink = debug_sink.load(std::memory_order_acquire)) {
        sink(text);
        return;
    }
    switch (output_mode()) {
    case om_debugger_and_stderr:
        write_stderr(text);
        [[fallthrough]];
    case om_debugger:
        ::OutputDebugStringA(text);
        break;
    case om_none:
        break;
    }
}

ORTU_OS::Debug_Output_Sink ORTU_OS::set_debug_output_sink(Debug_Output_Sink sink) {
    return debug_sink.exchange(sink, std::memory_order_acq_rel);
}

ORTU_Prompt_Result ORTU_OS::assertion_prompt(const char* title, const char* text) {
    if (Assertion_Handler handler = assertion_handler.load(std::memory_order_acquire))
        return handler(title, text);
    if (const char* v = std::getenv("ORTU_ASSERT")) {
        // Answered in advance, as for a service nobody sits in front of:
        // the report still reaches the debugger.
        char report[2304];
        std::snprintf(report, sizeof report, "%s\n%s\n", title ? title : "", text ? text : "");
        ::OutputDebugStringA(report);
        write_stderr(report);
        if (std::strcmp(v, "abort") == 0)
            return pr_abort;
        if (std::strcmp(v, "retry") == 0)
            return pr_retry;
        return pr_ignore;
    }
    // The box's buttons answer with the numbers of the enumeration.
    int answer =
        ::MessageBoxA(nullptr, text ? text : "", title ? title : "",
                      MB_ABORTRETRYIGNORE | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND);
    switch (answer) {
    case IDABORT:
        return pr_abort;
    case IDRETRY:
        return pr_retry;
    default:
        return pr_ignore;
    }
}

ORTU_OS::Assertion_Handler ORTU_OS::set_assertion_handler(Assertion_Handler handler) {
    return assertion_handler.exchange(handler, std::memory_order_acq_rel);
}

ORTU_UINT32 ORTU_OS::wait_items(const ORTU_Wait_Item* items, ORTU_UINT32 count, bool wait_all,
                                ORTU_UINT32 timeout) {
    if (!items || count == 0 || count > MAXIMUM_WAIT_OBJECTS)
        return ORTU_WAIT_FAILED;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (ORTU_UINT32 i = 0; i < count; ++i) {
        // The system would report a null handle as failed too, but only
        // after setting an error for it; say it plainly.
        if (!items[i].handle || items[i].handle == INVALID_HANDLE_VALUE)
            return ORTU_WAIT_FAILED;
        handles[i] = items[i].handle;
    }
    DWORD r = ::WaitForMultipleObjects(count, handles, wait_all ? TRUE : FALSE, timeout);
    if (r == WAIT_TIMEOUT)
        return ORTU_WAIT_TIMEOUT;
    if (r < WAIT_OBJECT_0 + count)
        return ORTU_WAIT_OBJECT_0 + (r - WAIT_OBJECT_0);
    // WAIT_ABANDONED_0 + i only comes with mutexes, which none of ours is.
    return ORTU_WAIT_FAILED;
}
