#include "ORTU_Exception.h"
#include "ORTU_OS.h"
#include "ORTU_Object_Manager.h"
#include "ORTU_Thread_Win32.h"

#include "ortu_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using ortu_test::assertion_reports;
using ortu_test::count_assertion;

using ortu_test::capture_output;
using ortu_test::captured;
using ortu_test::output;
using ortu_test::output_lock;

std::vector<int> calls;
void exit_1() {
    calls.push_back(1);
}
void exit_2() {
    calls.push_back(2);
}
void exit_3() {
    calls.push_back(3);
}
void exit_raises_ortu() {
    calls.push_back(10);
    throw ORTU_Exception("cleanup of %s failed", "cache");
}
void exit_raises_other() {
    calls.push_back(20);
    throw std::runtime_error("not ours");
}
void exit_registers_more() {
    calls.push_back(30);
    ORTU_Object_Manager::at_exit(&exit_1);
}

class ObjectManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        assertion_reports = 0;
        calls.clear();
        {
            std::lock_guard<std::mutex> hold(output_lock);
            output.clear();
        }
        previous_handler_ = ORTU_OS::set_assertion_handler(&count_assertion);
        previous_sink_ = ORTU_OS::set_debug_output_sink(&capture_output);
        ASSERT_EQ(ortu_runtime_start_count(), 0u);
    }
    void TearDown() override {
        while (ortu_runtime_start_count() > 0)
            ortu_runtime_stop();
        ORTU_OS::set_debug_output_sink(previous_sink_);
        ORTU_OS::set_assertion_handler(previous_handler_);
    }

    ORTU_OS::Assertion_Handler previous_handler_ = nullptr;
    ORTU_OS::Debug_Output_Sink previous_sink_ = nullptr;
};

size_t position(const std::string& text, const char* piece) {
    size_t at = text.find(piece);
    EXPECT_NE(at, std::string::npos) << "missing: " << piece << "\nin:\n" << text;
    return at;
}

} // namespace

// Singleton probes live at global scope so that their names read plainly in
// the leak message.
struct Counted_Singleton {
    Counted_Singleton() {
        ++built;
        ORTU_OS::sleep(2); // widens the window for racing first users
    }
    ~Counted_Singleton() { ++destroyed; }
    static std::atomic<int> built;
    static std::atomic<int> destroyed;
};
std::atomic<int> Counted_Singleton::built{0};
std::atomic<int> Counted_Singleton::destroyed{0};

std::vector<char> destruction_order;
struct First_Singleton {
    ~First_Singleton() { destruction_order.push_back('1'); }
};
struct Second_Singleton {
    ~Second_Singleton() { destruction_order.push_back('2'); }
};

struct Leaky_Singleton {
    Leaky_Singleton() { ++built; }
    ~Leaky_Singleton() { ++destroyed; }
    static int built;
    static int destroyed;
};
int Leaky_Singleton::built = 0;
int Leaky_Singleton::destroyed = 0;

struct Late_Singleton {
    ~Late_Singleton() { ++destroyed; }
    static int destroyed;
};
int Late_Singleton::destroyed = 0;
void exit_uses_late_singleton() {
    ORTU_Singleton<Late_Singleton>::instance();
}

// ------------------------------------------------------- start and stop

TEST_F(ObjectManagerTest, NestedStartsNeedAsManyStops) {
    EXPECT_FALSE(ORTU_Object_Manager::active());
    ortu_runtime_start();
    ortu_runtime_start();
    EXPECT_TRUE(ORTU_Object_Manager::active());
    EXPECT_NE(ORTU_Object_Manager::instance(), nullptr);
    ortu_runtime_stop();
    EXPECT_TRUE(ORTU_Object_Manager::active());
    EXPECT_EQ(ortu_runtime_start_count(), 1u);
    ortu_runtime_stop();
    EXPECT_FALSE(ORTU_Object_Manager::active());
    EXPECT_EQ(ORTU_Object_Manager::instance(), nullptr);
    EXPECT_EQ(assertion_reports, 0);
    // Only one start and one stop of the manager itself.
    std::string text = captured();
    EXPECT_EQ(text.find("ORTU_Object_Manager is starting...\n"),
              text.rfind("ORTU_Object_Manager is starting...\n"));
}

TEST_F(ObjectManagerTest, StartAndStopGoInTheirOrder) {
    ortu_runtime_start();
    ortu_runtime_stop();
    std::string text = captured();
    size_t starting = position(text, "ORTU_Object_Manager is starting...\n");
    size_t threads_up = position(text, "ORTU_Thread_Manager has been started");
    size_t debug_up = position(text, "ORTU_OS_Debug_Device created\n");
    size_t started = position(text, "ORTU_Object_Manager has been started!\n");
    size_t stopping =
        position(text, "ORTU_Object_Manager is stopping, (exit queue: 0 items) ...\n");
    size_t debug_down = position(text, "ORTU_Debug_Manager has been shut down\n");
    size_t threads_down = position(text, "ORTU_Thread_Manager is stopping...\n");
    size_t strings_down = position(text, "String manager statistics:\n");
    size_t down = position(text, "ORTU_Object_Manager has been shut down\n");
    EXPECT_LT(starting, threads_up);
    EXPECT_LT(threads_up, debug_up);
    EXPECT_LT(debug_up, started);
    EXPECT_LT(started, stopping);
    EXPECT_LT(stopping, debug_down);
    EXPECT_LT(debug_down, threads_down);
    EXPECT_LT(threads_down, strings_down);
    EXPECT_LT(strings_down, down);
}

TEST_F(ObjectManagerTest, StopWithoutStartIsAnAssertionAndLeavesTheCountAlone) {
    ortu_runtime_stop();
    EXPECT_EQ(assertion_reports, 1);
    EXPECT_EQ(ortu_runtime_start_count(), 0u);
    ortu_runtime_start();
    EXPECT_TRUE(ORTU_Object_Manager::active());
}

TEST_F(ObjectManagerTest, StartingTheManagerTwiceIsAnAssertion) {
    ortu_runtime_start();
    ORTU_Object_Manager* first = ORTU_Object_Manager::instance();
    ORTU_Object_Manager::start();
    EXPECT_EQ(assertion_reports, 2); // !active() and !instance_
    EXPECT_EQ(ORTU_Object_Manager::instance(), first);
}

TEST_F(ObjectManagerTest, RuntimeCanStartAgainAfterAStop) {
    ortu_runtime_start();
    ortu_runtime_stop();
    ortu_runtime_start();
    EXPECT_TRUE(ORTU_Object_Manager::active());
    ORTU_Object_Manager::at_exit(&exit_1);
    ortu_runtime_stop();
    EXPECT_EQ(calls, (std::vector<int>{1}));
    EXPECT_EQ(assertion_reports, 0);
}

// ------------------------------------------------------------ exit queue

TEST_F(ObjectManagerTest, ExitFunctionsRunLastFirst) {
    ortu_runtime_start();
    ORTU_Object_Manager::at_exit(&exit_1);
    ORTU_Object_Manager::at_exit(&exit_2);
    ORTU_Object_Manager::at_exit(&exit_3);
    EXPECT_EQ(ORTU_Object_Manager::exit_queue_size(), 3u);
    EXPECT_TRUE(calls.empty());
    ortu_runtime_stop();
    EXPECT_EQ(calls, (std::vector<int>{3, 2, 1}));
    position(captured(), "ORTU_Object_Manager is stopping, (exit queue: 3 items) ...\n");
}

TEST_F(ObjectManagerTest, RaisingExitFunctionsAreReportedAndTheRestStillRun) {
    ortu_runtime_start();
    ORTU_Object_Manager::at_exit(&exit_1);
    ORTU_Object_Manager::at_exit(&exit_raises_other);
    ORTU_Object_Manager::at_exit(&exit_2);
    ORTU_Object_Manager::at_exit(&exit_raises_ortu);
    ORTU_Object_Manager::at_exit(&exit_3);
    ortu_runtime_stop();
    EXPECT_EQ(calls, (std::vector<int>{3, 10, 2, 20, 1}));
    std::string text = captured();
    size_t ortu = position(text, "ORTU_Exception during at_exit_func: 'cleanup of cache failed'\n");
    size_t other = position(text, "Unknown exception during at_exit_func\n");
    EXPECT_LT(ortu, other);
    position(text, "ORTU_Object_Manager has been shut down\n");
}

TEST_F(ObjectManagerTest, RegisteringWhileStoppedIsAnAssertion) {
    ORTU_Object_Manager::at_exit(&exit_1);
    EXPECT_EQ(assertion_reports, 2); // active() and instance_
    ortu_runtime_start();
    ortu_runtime_stop();
    EXPECT_TRUE(calls.empty());
}

TEST_F(ObjectManagerTest, RegisteringFromAnExitFunctionIsAnAssertion) {
    ortu_runtime_start();
    ORTU_Object_Manager::at_exit(&exit_registers_more);
    ortu_runtime_stop();
    EXPECT_EQ(calls, (std::vector<int>{30}));
    EXPECT_GE(assertion_reports, 1);
}

// ------------------------------------------------------------ singletons

TEST_F(ObjectManagerTest, RacingFirstUsersGetOneInstance) {
    ortu_runtime_start();
    Counted_Singleton::built = 0;
    Counted_Singleton::destroyed = 0;
    ORTU_Event go(true);
    std::vector<Counted_Singleton*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] {
            go.wait();
            seen[i] = ORTU_Singleton<Counted_Singleton>::instance();
        });
    go.set();
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(Counted_Singleton::built, 1);
    for (Counted_Singleton* p : seen)
        EXPECT_EQ(p, seen[0]);
    EXPECT_EQ(ORTU_Object_Manager::exit_queue_size(), 1u);
    ortu_runtime_stop();
    EXPECT_EQ(Counted_Singleton::destroyed, 1);
    EXPECT_FALSE(ORTU_Singleton<Counted_Singleton>::exists());
}

TEST_F(ObjectManagerTest, SingletonsAreBuiltAnewAfterARestart) {
    Counted_Singleton::built = 0;
    Counted_Singleton::destroyed = 0;
    ortu_runtime_start();
    ORTU_Singleton<Counted_Singleton>::instance();
    ortu_runtime_stop();
    ortu_runtime_start();
    ORTU_Singleton<Counted_Singleton>::instance();
    EXPECT_EQ(Counted_Singleton::built, 2);
    ortu_runtime_stop();
    EXPECT_EQ(Counted_Singleton::destroyed, 2);
}

TEST_F(ObjectManagerTest, SingletonsGoInReverseOrderOfCreation) {
    destruction_order.clear();
    ortu_runtime_start();
    ORTU_Singleton<First_Singleton>::instance();
    ORTU_Singleton<Second_Singleton>::instance();
    ortu_runtime_stop();
    EXPECT_EQ(destruction_order, (std::vector<char>{'2', '1'}));
}

TEST_F(ObjectManagerTest, SingletonBuiltWhileStoppedLeaksAndSaysSo) {
    ASSERT_FALSE(ORTU_Object_Manager::active());
    Leaky_Singleton* p = ORTU_Singleton<Leaky_Singleton>::instance();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Leaky_Singleton::built, 1);
    position(captured(), "ORTU_Singleton<Leaky_Singleton>::create_instance(), Object manager is "
                         "down, this instance will leak :(\n");
    ortu_runtime_start();
    EXPECT_EQ(ORTU_Singleton<Leaky_Singleton>::instance(), p);
    ortu_runtime_stop();
    EXPECT_EQ(Leaky_Singleton::destroyed, 0);
    EXPECT_EQ(ORTU_Singleton<Leaky_Singleton>::instance(), p);
    EXPECT_EQ(Leaky_Singleton::built, 1);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(ObjectManagerTest, SingletonFirstUsedDuringTheStopLeaks) {
    ortu_runtime_start();
    ORTU_Object_Manager::at_exit(&exit_uses_late_singleton);
    ortu_runtime_stop();
    EXPECT_TRUE(ORTU_Singleton<Late_Singleton>::exists());
    EXPECT_EQ(Late_Singleton::destroyed, 0);
    position(captured(), "ORTU_Singleton<Late_Singleton>::create_instance(), Object manager is "
                         "down, this instance will leak :(\n");
    EXPECT_EQ(assertion_reports, 0); // no registration attempted
}

TEST(TypeNameTest, NamesReadAsInTheSource) {
    char buffer[64];
    EXPECT_STREQ(ortu_type_name(typeid(Leaky_Singleton), buffer, sizeof buffer), "Leaky_Singleton");
    char tiny[6];
    EXPECT_STREQ(ortu_type_name(typeid(Leaky_Singleton), tiny, sizeof tiny), "Leaky");
}
