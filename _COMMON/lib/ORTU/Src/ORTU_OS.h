// The runtime's platform layer. Everything the runtime needs from the system
// (thread ids, thread-local keys, the millisecond clock, the program's file
// name, the debugger output, the assertion prompt and the multi-object wait)
// goes through here, so the rest of the runtime stays platform neutral.
#pragma once

#include "ORTU_Types.h"

#include <time.h>

#if defined(_WIN32)
// On Windows the system has every facility itself: keys are TLS indexes,
// and a wait item is a kernel object's handle, which the system's wait
// consumes by itself where the object calls for it.
typedef unsigned long ORTU_TSS_Key;

struct ORTU_Wait_Item {
    void* handle;
};
#else
#include <poll.h>
#include <pthread.h>

typedef pthread_key_t ORTU_TSS_Key;

// One descriptor taking part in a multi-object wait. Events and semaphores
// are eventfds that become readable when signalled; "consume" means that a
// wait satisfied by this descriptor takes one count from it (automatic
// events, semaphores), the way the system's waits do for such objects.
// Sockets take part with consume = false and the poll events they wait for.
struct ORTU_Wait_Item {
    int fd;
    short events; // POLLIN, POLLOUT ...
    bool consume;
};
#endif

// Results of the assertion prompt.
enum ORTU_Prompt_Result {
    pr_abort = 3, // the system's numbers for the three buttons
    pr_retry = 4,
    pr_ignore = 5,
};

class ORTU_OS {
public:
    // A small per-thread number (the kernel's thread id), stable for the
    // thread's life. Never 0.
    static ORTU_UINT32 current_thread_id();

    // Thread-local keys. Each returns whether the system call succeeded.
    static bool create_tss_key(ORTU_TSS_Key& key);
    static bool set_tss_value(ORTU_TSS_Key key, void* value);
    static void* get_tss_value(ORTU_TSS_Key key);
    static bool destroy_tss_key(ORTU_TSS_Key key);

    // Monotonic milliseconds, wrapping at 32 bits like the system tick count.
    static ORTU_UINT32 tick_count();
    // Lets tests fix the clock; a null source restores the system clock.
    // Returns the previous source.
    typedef ORTU_UINT32 (*Tick_Source)();
    static Tick_Source set_tick_source(Tick_Source source);

    // Seconds and nanoseconds since 1970 (wall clock), for absolute deadlines.
    static struct timespec system_time();

    // The running program's full path ("" when the system cannot tell).
    static const char* module_file_name();

    // The calling thread's last system error (errno) and its description.
    static int last_error();
    static void set_last_error(int code);
    // The system's text for an error number, or null when it has none.
    static const char* error_description(int code);

    // Gives up the rest of the time slice.
    static void yield();
    static void sleep(ORTU_UINT32 milliseconds);

    // The system debugger output. On Windows OutputDebugString, and standard
    // error as well with ORTU_DEBUG_OUTPUT=stderr; elsewhere standard error
    // unless the environment says otherwise (ORTU_DEBUG_OUTPUT=syslog or
    // none). An installed sink replaces it. The text is written as one piece.
    static void debug_output(const char* text);
    typedef void (*Debug_Output_Sink)(const char* text);
    // A null sink restores the system output. Returns the previous sink.
    static Debug_Output_Sink set_debug_output_sink(Debug_Output_Sink sink);

    // The assertion box: Abort, Retry or Ignore. On Windows a message box;
    // elsewhere the text goes to standard error, and on a terminal the user
    // answers, otherwise the answer is Ignore. ORTU_ASSERT=abort|ignore|retry
    // answers in advance on both. An installed handler
    // replaces all of that and answers by itself.
    static ORTU_Prompt_Result assertion_prompt(const char* title, const char* text);
    typedef ORTU_Prompt_Result (*Assertion_Handler)(const char* title, const char* text);
    // A null handler restores the prompt. Returns the previous handler.
    static Assertion_Handler set_assertion_handler(Assertion_Handler handler);

    // Waits until one (wait_all false) or all (wait_all true) of the items are
    // signalled, or the timeout in milliseconds runs out (ORTU_INFINITE: no
    // limit). Returns the index of the signalled item (the lowest one when
    // several are; 0 for wait_all), ORTU_WAIT_TIMEOUT, or ORTU_WAIT_FAILED
    // for a bad descriptor or count (1 to 64 items).
    static ORTU_UINT32 wait_items(const ORTU_Wait_Item* items, ORTU_UINT32 count, bool wait_all,
                                  ORTU_UINT32 timeout);
#if !defined(_WIN32)
    static ORTU_UINT32 wait_fds(const ORTU_Wait_Item* items, ORTU_UINT32 count, bool wait_all,
                                ORTU_UINT32 timeout) {
        return wait_items(items, count, wait_all, timeout);
    }

    // Eventfd helpers for the synchronization objects. Descriptors are
    // non-blocking and close on exec; -1 on failure.
    static int create_event_fd(ORTU_UINT32 initial, bool semaphore);
    static bool signal_fd(int fd, ORTU_UINT64 count);
    // Takes a count without waiting: true when one was there.
    static bool consume_fd(int fd);
    // Drops every pending count (resets a manual-reset event).
    static void drain_fd(int fd);
    static void close_fd(int fd);
#endif
};
