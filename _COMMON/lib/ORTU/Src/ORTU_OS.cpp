#include "ORTU_OS.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

namespace {

std::atomic<ORTU_OS::Debug_Output_Sink> debug_sink{nullptr};
std::atomic<ORTU_OS::Assertion_Handler> assertion_handler{nullptr};
std::atomic<ORTU_OS::Tick_Source> tick_source{nullptr};

enum Output_Mode { om_stderr, om_syslog, om_none };

Output_Mode output_mode() {
    // Read once: getenv is not safe against a concurrent setenv, and the
    // destination must not change in the middle of a run.
    static const Output_Mode mode = [] {
        const char* v = std::getenv("ORTU_DEBUG_OUTPUT");
        if (v && std::strcmp(v, "syslog") == 0)
            return om_syslog;
        if (v && std::strcmp(v, "none") == 0)
            return om_none;
        return om_stderr;
    }();
    return mode;
}

// write() may take a part only; a debug line must arrive whole.
void write_all(int fd, const char* text, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, text, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text += n;
        size -= static_cast<size_t>(n);
    }
}

struct timespec monotonic_now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

ORTU_INT64 to_ns(const struct timespec& ts) {
    return static_cast<ORTU_INT64>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool is_ready(const struct pollfd& p) {
    // A socket in error or hung up counts as signalled: the operation that
    // follows finds out what happened.
    return (p.revents & (p.events | POLLERR | POLLHUP)) != 0;
}

} // namespace

ORTU_UINT32 ORTU_OS::current_thread_id() {
    static thread_local ORTU_UINT32 id = static_cast<ORTU_UINT32>(::syscall(SYS_gettid));
    return id;
}

bool ORTU_OS::create_tss_key(ORTU_TSS_Key& key) {
    return pthread_key_create(&key, nullptr) == 0;
}

bool ORTU_OS::set_tss_value(ORTU_TSS_Key key, void* value) {
    return pthread_setspecific(key, value) == 0;
}

void* ORTU_OS::get_tss_value(ORTU_TSS_Key key) {
    return pthread_getspecific(key);
}

bool ORTU_OS::destroy_tss_key(ORTU_TSS_Key key) {
    return pthread_key_delete(key) == 0;
}

ORTU_UINT32 ORTU_OS::tick_count() {
    if (Tick_Source source = tick_source.load(std::memory_order_acquire))
        return source();
    struct timespec ts = monotonic_now();
    ORTU_UINT64 ms = static_cast<ORTU_UINT64>(ts.tv_sec) * 1000u +
                     static_cast<ORTU_UINT64>(ts.tv_nsec) / 1000000u;
    return static_cast<ORTU_UINT32>(ms);
}

ORTU_OS::Tick_Source ORTU_OS::set_tick_source(Tick_Source source) {
    return tick_source.exchange(source, std::memory_order_acq_rel);
}

struct timespec ORTU_OS::system_time() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

const char* ORTU_OS::module_file_name() {
    static char path[PATH_MAX + 1];
    static const bool filled = [] {
        ssize_t n = ::readlink("/proc/self/exe", path, PATH_MAX);
        path[n > 0 ? n : 0] = '\0';
        return true;
    }();
    (void)filled;
    return path;
}

int ORTU_OS::last_error() {
    return errno;
}

void ORTU_OS::set_last_error(int code) {
    errno = code;
}

const char* ORTU_OS::error_description(int code) {
    return strerrordesc_np(code);
}

void ORTU_OS::yield() {
    sched_yield();
}

void ORTU_OS::sleep(ORTU_UINT32 milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    struct timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void ORTU_OS::debug_output(const char* text) {
    if (!text)
        return;
    if (Debug_Output_Sink sink = debug_sink.load(std::memory_order_acquire)) {
        sink(text);
        return;
    }
    switch (output_mode()) {
    case om_stderr:
        write_all(STDERR_FILENO, text, std::strlen(text));
        break;
    case om_syslog:
        syslog(LOG_DEBUG, "%s", text);
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

    char report[2304];
    std::snprintf(report, sizeof report, "%s\n%s\n", title ? title : "", text ? text : "");
    write_all(STDERR_FILENO, report, std::strlen(report));

    if (const char* v = std::getenv("ORTU_ASSERT")) {
        if (std::strcmp(v, "abort") == 0)
            return pr_abort;
        if (std::strcmp(v, "ignore") == 0)
            return pr_ignore;
        if (std::strcmp(v, "retry") == 0)
            return pr_retry;
    }
    // Without somebody to answer, going on is the only useful choice: a
    // service must not stop on a report nobody reads.
    if (!::isatty(STDIN_FILENO) || !::isatty(STDERR_FILENO))
        return pr_ignore;

    for (;;) {
        static const char question[] = "Abort, Retry, Ignore? [a/r/i] ";
        write_all(STDERR_FILENO, question, sizeof question - 1);
        char line[64];
        size_t used = 0;
        char c = 0;
        for (;;) {
            ssize_t n = ::read(STDIN_FILENO, &c, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return pr_ignore; // the terminal went away
            if (c == '\n')
                break;
            if (used + 1 < sizeof line)
                line[used++] = c;
        }
        line[used] = '\0';
        switch (line[0]) {
        case 'a':
        case 'A':
            return pr_abort;
        case 'r':
        case 'R':
            return pr_retry;
        case 'i':
        case 'I':
            return pr_ignore;
        default:
            break;
        }
    }
}

ORTU_OS::Assertion_Handler ORTU_OS::set_assertion_handler(Assertion_Handler handler) {
    return assertion_handler.exchange(handler, std::memory_order_acq_rel);
}

ORTU_UINT32 ORTU_OS::wait_items(const ORTU_Wait_Item* items, ORTU_UINT32 count, bool wait_all,
                              ORTU_UINT32 timeout) {
    enum { max_items = 64 };
    if (!items || count == 0 || count > max_items)
        return ORTU_WAIT_FAILED;
    // poll() skips negative descriptors silently: an object whose creation
    // failed would make the wait sleep to its timeout, or forever.
    for (ORTU_UINT32 i = 0; i < count; ++i)
        if (items[i].fd < 0)
            return ORTU_WAIT_FAILED;

    const bool infinite = timeout == ORTU_INFINITE;
    const ORTU_INT64 deadline = to_ns(monotonic_now()) + static_cast<ORTU_INT64>(timeout) * 1000000;

    struct pollfd fds[max_items];

    for (;;) {
        // Which items are signalled right now?
        for (ORTU_UINT32 i = 0; i < count; ++i)
            fds[i] = pollfd{items[i].fd, items[i].events, 0};
        int rc = ::poll(fds, count, 0);
        if (rc < 0) {
            if (errno != EINTR)
                return ORTU_WAIT_FAILED;
            rc = 0;
        }
        for (ORTU_UINT32 i = 0; rc > 0 && i < count; ++i)
            if (fds[i].revents & POLLNVAL)
                return ORTU_WAIT_FAILED;

        if (rc > 0) {
            if (!wait_all) {
                for (ORTU_UINT32 i = 0; i < count; ++i) {
                    if (!is_ready(fds[i]))
                        continue;
                    // Another waiter may have taken the count in between.
                    if (!items[i].consume || consume_fd(items[i].fd))
                        return ORTU_WAIT_OBJECT_0 + i;
                }
            } else {
                bool all = true;
                for (ORTU_UINT32 i = 0; i < count && all; ++i)
                    all = is_ready(fds[i]);
                if (all) {
                    ORTU_UINT32 taken = 0;
                    bool lost = false;
                    for (; taken < count; ++taken) {
                        if (items[taken].consume && !consume_fd(items[taken].fd)) {
                            lost = true;
                            break;
                        }
                    }
                    if (!lost)
                        return ORTU_WAIT_OBJECT_0;
                    // Someone else took one of them: give back what was
                    // taken so that nothing is lost, and wait again.
                    for (ORTU_UINT32 i = 0; i < taken; ++i)
                        if (items[i].consume)
                            signal_fd(items[i].fd, 1);
                    continue;
                }
            }
        }

        // Sleep until something changes. With wait_all only the items not
        // yet signalled are watched, or a manual-reset event that stays
        // signalled would make this spin.
        ORTU_UINT32 watched = 0;
        for (ORTU_UINT32 i = 0; i < count; ++i) {
            if (wait_all && rc > 0 && is_ready(fds[i]))
                continue;
            fds[watched++] = pollfd{items[i].fd, items[i].events, 0};
        }

        struct timespec remaining;
        struct timespec* limit = nullptr;
        if (!infinite) {
            ORTU_INT64 left = deadline - to_ns(monotonic_now());
            if (left <= 0)
                return ORTU_WAIT_TIMEOUT;
            remaining.tv_sec = static_cast<time_t>(left / 1000000000LL);
            remaining.tv_nsec = static_cast<long>(left % 1000000000LL);
            limit = &remaining;
        }
        // Whatever woke us (or the time running out), the next round looks
        // at every item again before it decides, so a signal that came at
        // the very end still counts.
        if (::ppoll(fds, watched, limit, nullptr) < 0 && errno != EINTR)
            return ORTU_WAIT_FAILED;
    }
}

int ORTU_OS::create_event_fd(ORTU_UINT32 initial, bool semaphore) {
    int flags = EFD_NONBLOCK | EFD_CLOEXEC | (semaphore ? EFD_SEMAPHORE : 0);
    return ::eventfd(initial, flags);
}

bool ORTU_OS::signal_fd(int fd, ORTU_UINT64 count) {
    for (;;) {
        ssize_t n = ::write(fd, &count, sizeof count);
        if (n == static_cast<ssize_t>(sizeof count))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

bool ORTU_OS::consume_fd(int fd) {
    ORTU_UINT64 value;
    for (;;) {
        ssize_t n = ::read(fd, &value, sizeof value);
        if (n == static_cast<ssize_t>(sizeof value))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

void ORTU_OS::drain_fd(int fd) {
    while (consume_fd(fd)) {
    }
}

void ORTU_OS::close_fd(int fd) {
    if (fd >= 0)
        ::close(fd);
}
