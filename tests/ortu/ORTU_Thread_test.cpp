#include "ORTU_Exception.h"
#include "ORTU_OS.h"
#include "ORTU_Object_Manager.h"
#include "ORTU_Thread_Win32.h"

#include "ortu_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#if defined(_WIN32)
#include <windows.h>
// Windows 8's, declared by the headers only for builds that require it.
extern "C" __declspec(dllimport) void WINAPI
    GetCurrentThreadStackLimits(PULONG_PTR low, PULONG_PTR high);
#else
#include <sys/resource.h>
#endif

namespace {

using ortu_test::assertion_reports;
using ortu_test::count_assertion;

using ortu_test::capture_output;
using ortu_test::captured;
using ortu_test::output;
using ortu_test::output_lock;

struct Exit_Record {
    ORTU_UINT32 id;
    ORTU_UINT32 code;
};
std::mutex exits_lock;
std::vector<Exit_Record> exits;

void record_exit(ORTU_UINT32 id, ORTU_UINT32 code) {
    std::lock_guard<std::mutex> hold(exits_lock);
    exits.push_back(Exit_Record{id, code});
}

// The exit code the hook saw for a thread id, or 1 when it has not ended.
ORTU_UINT32 exit_code_of(ORTU_UINT32 id) {
    std::lock_guard<std::mutex> hold(exits_lock);
    for (const Exit_Record& r : exits)
        if (r.id == id)
            return r.code;
    return 1;
}

bool eventually(bool (*condition)(void*), void* arg) {
    for (int i = 0; i < 10000; ++i) {
        if (condition(arg))
            return true;
        ORTU_OS::sleep(1);
    }
    return false;
}

class ThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        assertion_reports = 0;
        {
            std::lock_guard<std::mutex> hold(output_lock);
            output.clear();
        }
        previous_handler_ = ORTU_OS::set_assertion_handler(&count_assertion);
        previous_sink_ = ORTU_OS::set_debug_output_sink(&capture_output);
        previous_hook_ = ORTU_Thread::set_exit_hook(&record_exit);
        ortu_runtime_start();
    }
    void TearDown() override {
        ortu_runtime_stop();
        ORTU_Thread::set_exit_hook(previous_hook_);
        ORTU_OS::set_debug_output_sink(previous_sink_);
        ORTU_OS::set_assertion_handler(previous_handler_);
    }

    ORTU_OS::Assertion_Handler previous_handler_ = nullptr;
    ORTU_OS::Debug_Output_Sink previous_sink_ = nullptr;
    ORTU_Thread::Exit_Hook previous_hook_ = nullptr;
};

// Records what execute() saw; returns on its own or waits for the stop.
class Probe_Thread : public ORTU_Thread {
public:
    enum Mode { returns, waits_for_stop, raises, raises_ortu };

    explicit Probe_Thread(Mode mode, const char* name = "probe", bool* destroyed = nullptr,
                          ORTU_UINT32 stack_size = 0)
        : ORTU_Thread(name, 0, stack_size), mode_(mode), destroyed_(destroyed) {}
    ~Probe_Thread() override {
        if (destroyed_)
            *destroyed_ = true;
    }

    std::atomic<bool> ran{false};
    std::atomic<bool> stop_seen_at_start{false};
    std::atomic<bool> event_seen_at_start{false};
    std::atomic<int> on_stop_calls{0};
    std::atomic<ORTU_Thread*> current{nullptr};
    std::atomic<ORTU_UINT32> count_inside{0};
    std::atomic<size_t> stack_inside{0};
    ORTU_Event inside{true};

protected:
    void execute() override {
        stop_seen_at_start = stop_requested();
        event_seen_at_start = stop_event().is_signalled();
        ran = true;
        current = ORTU_Thread_Manager::current_thread();
        count_inside = ORTU_Thread_Manager::thread_count();
#if defined(_WIN32)
        ULONG_PTR low = 0, high = 0;
        ::GetCurrentThreadStackLimits(&low, &high);
        stack_inside = static_cast<size_t>(high - low);
#else
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            size_t size = 0;
            pthread_attr_getstacksize(&attr, &size);
            stack_inside = size;
            pthread_attr_destroy(&attr);
        }
#endif
        inside.set();
        switch (mode_) {
        case returns:
            return;
        case waits_for_stop:
            stop_event().wait();
            return;
        case raises:
            throw 42;
        case raises_ortu:
            throw ORTU_Exception("boom %d", 7);
        }
    }
    void on_stop() override {
        ++on_stop_calls;
    }

private:
    Mode mode_;
    bool* destroyed_;
};

} // namespace

TEST_F(ThreadTest, CreatedAndDestroyedWithoutStartNeverRuns) {
    ORTU_UINT32 before = ORTU_Thread_Manager::thread_count();
    bool destroyed = false;
    {
        Probe_Thread t(Probe_Thread::returns, "idle", &destroyed);
        EXPECT_EQ(t.state(), ts_waiting);
        EXPECT_NE(t.id(), 0u);
        EXPECT_NE(t.id(), ORTU_OS::current_thread_id());
        ORTU_OS::sleep(5);
        EXPECT_FALSE(t.ran);
    }
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(ORTU_Thread_Manager::thread_count(), before);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(ThreadTest, StartRunsExecuteAndEndsStopped) {
    Probe_Thread t(Probe_Thread::returns);
    t.start();
    t.wait();
    EXPECT_TRUE(t.ran);
    EXPECT_FALSE(t.stop_seen_at_start);
    EXPECT_EQ(t.state(), ts_stopped);
    EXPECT_TRUE(t.is_stopped());
    EXPECT_FALSE(t.stop_requested());
    EXPECT_EQ(t.exit_code(), 0u);
    EXPECT_EQ(t.current.load(), &t);
    EXPECT_EQ(exit_code_of(t.id()), 0u);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(ThreadTest, StopBeforeStartRunsExecuteWithTheStopAlreadyRequested) {
    Probe_Thread t(Probe_Thread::waits_for_stop);
    t.stop();
    t.wait();
    EXPECT_TRUE(t.ran);
    EXPECT_TRUE(t.stop_seen_at_start);
    EXPECT_TRUE(t.event_seen_at_start);
    EXPECT_EQ(t.on_stop_calls, 1);
    EXPECT_EQ(t.state(), ts_stopped);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(ThreadTest, StopTwiceActsOnce) {
    Probe_Thread t(Probe_Thread::waits_for_stop);
    t.start();
    t.inside.wait();
    EXPECT_EQ(t.state(), ts_running);
    t.stop();
    t.stop();
    EXPECT_EQ(t.on_stop_calls, 1);
    t.wait();
    t.stop(); // after the end: nothing
    EXPECT_EQ(t.on_stop_calls, 1);
    EXPECT_EQ(t.state(), ts_stopped);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(ThreadTest, StopRequestedIsVisibleWhileStopping) {
    Probe_Thread t(Probe_Thread::waits_for_stop);
    t.start();
    t.inside.wait();
    t.stop();
    // Either still in execute (stopping) or already done.
    ORTU_Thread_State s = t.state();
    EXPECT_TRUE(s == ts_stopping || s == ts_stopped);
    t.wait();
    EXPECT_TRUE(t.is_stopped());
}

TEST_F(ThreadTest, ExceptionInExecuteIsContained) {
    ORTU_UINT32 before = ORTU_Thread_Manager::thread_count();
    Probe_Thread t(Probe_Thread::raises, "thrower");
    t.start();
    t.inside.wait();
    t.wait();
    EXPECT_EQ(t.state(), ts_stopped);
    EXPECT_EQ(t.exit_code(), 0xDEADBEEFu);
    EXPECT_EQ(ORTU_Thread_Manager::thread_count(), before);
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "ORTU_Thread.0x%x (thrower), unexpected exception in execute()\n", t.id());
    EXPECT_NE(captured().find(expected), std::string::npos) << captured();
}

TEST_F(ThreadTest, RuntimeExceptionInExecuteIsContainedToo) {
    Probe_Thread t(Probe_Thread::raises_ortu, "ortu");
    t.start();
    t.wait();
    EXPECT_EQ(t.exit_code(), 0xDEADBEEFu);
    EXPECT_EQ(t.state(), ts_stopped);
}

TEST_F(ThreadTest, ThreadCountCoversRunningThreads) {
    ORTU_UINT32 before = ORTU_Thread_Manager::thread_count();
    Probe_Thread a(Probe_Thread::waits_for_stop), b(Probe_Thread::waits_for_stop);
    a.start();
    b.start();
    a.inside.wait();
    b.inside.wait();
    EXPECT_EQ(ORTU_Thread_Manager::thread_count(), before + 2);
    a.stop_and_wait();
    EXPECT_EQ(ORTU_Thread_Manager::thread_count(), before + 1);
    b.stop_and_wait();
    EXPECT_EQ(ORTU_Thread_Manager::thread_count(), before);
}

TEST_F(ThreadTest, DetachedThreadDeletesItselfAndExitsDeadface) {
    bool destroyed = false;
    auto* t = new Probe_Thread(Probe_Thread::waits_for_stop, "detached", &destroyed);
    ORTU_UINT32 id = t->id();
    t->start();
    t->inside.wait();
    t->detach(); // stops it; the object is the thread's own from here on
    ASSERT_TRUE(
        eventually([](void* p) { return exit_code_of(*static_cast<ORTU_UINT32*>(p)) != 1; }, &id));
    EXPECT_EQ(exit_code_of(id), 0xDEADFACEu);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(ThreadTest, DetachedThreadThatRaisesKeepsDeadbeef) {
    struct Raiser : ORTU_Thread {
        Raiser() : ORTU_Thread("raiser") {}
        ORTU_Event go{true};
        void execute() override {
            go.wait();
            throw 1;
        }
    };
    auto* t = new Raiser;
    ORTU_UINT32 id = t->id();
    t->start();
    t->detach();
    t->go.set(); // still alive: it waits for this before ending
    ASSERT_TRUE(
        eventually([](void* p) { return exit_code_of(*static_cast<ORTU_UINT32*>(p)) != 1; }, &id));
    EXPECT_EQ(exit_code_of(id), 0xDEADBEEFu);
}

TEST_F(ThreadTest, DetachAfterExecuteReturnedStillDisposesOfTheObject) {
    bool destroyed = false;
    auto* t = new Probe_Thread(Probe_Thread::returns, "late", &destroyed);
    t->start();
    t->wait(); // execute is over and the thread did not delete itself
    t->detach();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(ThreadTest, LongNameIsCutTo19Characters) {
    Probe_Thread t(Probe_Thread::returns, "abcdefghijklmnopqrstuvwxy");
    EXPECT_STREQ(t.name(), "abcdefghijklmnopqrs");
    EXPECT_EQ(std::strlen(t.name()), 19u);
}

TEST_F(ThreadTest, StackSizeIsHonoured) {
    const ORTU_UINT32 big = 24u * 1024 * 1024; // well above the usual default
    Probe_Thread t(Probe_Thread::returns, "stack", nullptr, big);
    EXPECT_EQ(t.stack_size(), big);
    t.start();
    t.wait();
    EXPECT_GE(t.stack_inside.load(), static_cast<size_t>(big));
}

TEST_F(ThreadTest, StopWaitAndDeleteDestroysTheObject) {
    bool destroyed = false;
    auto* t = new Probe_Thread(Probe_Thread::waits_for_stop, "swd", &destroyed);
    t->start();
    t->inside.wait();
    t->stop_wait_and_delete();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(ThreadTest, PriorityIsKept) {
    Probe_Thread t(Probe_Thread::waits_for_stop);
    EXPECT_EQ(t.get_priority(), 0);
    t.set_priority(-1);
    EXPECT_EQ(t.get_priority(), -1);
    t.start();
    t.inside.wait();
    t.set_priority(-2);
    EXPECT_EQ(t.get_priority(), -2);
    t.stop_and_wait();
}

TEST_F(ThreadTest, StartingTwiceIsAnAssertion) {
    Probe_Thread t(Probe_Thread::returns);
    t.start();
    t.start();
    EXPECT_EQ(assertion_reports, 1);
    t.wait();
    EXPECT_EQ(t.state(), ts_stopped);
}

TEST_F(ThreadTest, WaitingOnAThreadThatNeverStartedIsAnAssertionNotAHang) {
    Probe_Thread t(Probe_Thread::returns);
    t.wait();
    EXPECT_EQ(assertion_reports, 1);
    EXPECT_FALSE(t.ran);
}

TEST_F(ThreadTest, DestroyingARunningThreadIsAnAssertion) {
    // execute() touches nothing of the derived class once it waits: by the
    // time the base destructor reports the misuse, that part is gone.
    struct Bare_Waiter : ORTU_Thread {
        explicit Bare_Waiter(ORTU_Event& inside) : ORTU_Thread("bare"), inside_(inside) {}
        void execute() override {
            ORTU_Event& stop = stop_event();
            inside_.set();
            stop.wait();
        }
        ORTU_Event& inside_;
    };
    ORTU_Event inside(true);
    {
        Bare_Waiter t(inside);
        t.start();
        inside.wait();
        // Leaving the scope destroys a running thread; the destructor reports
        // it and still stops and joins, so nothing runs on freed memory.
    }
    EXPECT_GE(assertion_reports, 1);
}

TEST_F(ThreadTest, CurrentThreadIsNullOutsideRuntimeThreads) {
    EXPECT_EQ(ORTU_Thread_Manager::current_thread(), nullptr);
    ORTU_Thread* seen = reinterpret_cast<ORTU_Thread*>(1);
    std::thread plain([&] { seen = ORTU_Thread_Manager::current_thread(); });
    plain.join();
    EXPECT_EQ(seen, nullptr);
}

TEST_F(ThreadTest, MainThreadIsTheOneThatStartedTheRuntime) {
    EXPECT_EQ(ORTU_Thread_Manager::main_thread_id(), ORTU_OS::current_thread_id());
}

// ------------------------------------------------ manager start and stop

TEST(ThreadManagerTest, StartAndStopMessages) {
    auto previous = ORTU_OS::set_debug_output_sink(&capture_output);
    {
        std::lock_guard<std::mutex> hold(output_lock);
        output.clear();
    }
    ortu_runtime_start();
    ortu_runtime_stop();
    ORTU_OS::set_debug_output_sink(previous);
    char started[96];
    std::snprintf(started, sizeof started,
                  "ORTU_Thread_Manager has been started, main tid = 0x%x!\n",
                  ORTU_OS::current_thread_id());
    std::string text = captured();
    size_t a = text.find(started);
    size_t b = text.find("ORTU_Thread_Manager is stopping...\n");
    size_t c = text.find("ORTU_Thread_Manager has been shut down\n");
    ASSERT_NE(a, std::string::npos) << text;
    ASSERT_NE(b, std::string::npos);
    ASSERT_NE(c, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
}

TEST(ThreadManagerTest, StoppingWithARunningThreadIsAnAssertion) {
    auto previous_handler = ORTU_OS::set_assertion_handler(&count_assertion);
    assertion_reports = 0;
    ortu_runtime_start();
    auto* t = new Probe_Thread(Probe_Thread::waits_for_stop);
    t->start();
    t->inside.wait();
    ortu_runtime_stop();
    EXPECT_EQ(assertion_reports, 1);
    t->stop_wait_and_delete();
    EXPECT_EQ(ORTU_Thread_Manager::thread_count(), 0u);
    ORTU_OS::set_assertion_handler(previous_handler);
}

// The address-space cap below is the POSIX layer's way to make creation fail.
#if !defined(_WIN32)
// --------------------------------------------------- creation failure

namespace {

// Runs in a child process: with the address space capped, a thread with a
// 4 GB stack cannot be created.
int create_too_big_thread() {
    ORTU_OS::set_debug_output_sink(&capture_output);
    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) != 0)
        return 10;
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return 11;
    char line[256];
    unsigned long long vm_kb = 0;
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmSize: %llu kB", &vm_kb) == 1)
            break;
    std::fclose(status);
    limit.rlim_cur = static_cast<rlim_t>((vm_kb + 512 * 1024) * 1024);
    if (setrlimit(RLIMIT_AS, &limit) != 0)
        return 12;
    try {
        Probe_Thread t(Probe_Thread::returns, "huge", nullptr, 0xFFFFFFF0u);
        return 13; // created after all
    } catch (const ORTU_Win32_Error& e) {
        char head[160];
        std::snprintf(head, sizeof head,
                      "Failed to create ORTU_Thread, name = 'huge', stack_size = %u, errno = %d\n, "
                      "%d",
                      0xFFFFFFF0u, static_cast<int>(e.code()), static_cast<int>(e.code()));
        if (e.code() == 0)
            return 14;
        if (std::strncmp(e.what(), head, std::strlen(head)) != 0)
            return 15;
        if (captured().find(e.what()) == std::string::npos)
            return 16;
        return 0;
    }
}

} // namespace

TEST(ThreadCreationTest, FailureRaisesWin32ErrorWithTheText) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(create_too_big_thread()), ::testing::ExitedWithCode(0), "");
}
#endif
