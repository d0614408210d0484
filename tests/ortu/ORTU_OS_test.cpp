#include "ORTU_OS.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string sink_text;
void collect(const char* text) {
    sink_text += text;
}

ORTU_Prompt_Result answer_retry(const char* title, const char* text) {
    sink_text = std::string(title) + "|" + text;
    return pr_retry;
}

ORTU_UINT32 fixed_tick() {
    return 123456u;
}

} // namespace

TEST(OSTest, ThreadIdsAreSmallStableAndDistinct) {
    ORTU_UINT32 mine = ORTU_OS::current_thread_id();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(ORTU_OS::current_thread_id(), mine);
    std::vector<ORTU_UINT32> ids(4, 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < ids.size(); ++i)
        threads.emplace_back([&ids, i] { ids[i] = ORTU_OS::current_thread_id(); });
    for (auto& t : threads)
        t.join();
    std::set<ORTU_UINT32> distinct(ids.begin(), ids.end());
    distinct.insert(mine);
    EXPECT_EQ(distinct.size(), 5u);
}

TEST(OSTest, ThreadLocalKeysHoldOneValuePerThread) {
    ORTU_TSS_Key key;
    ASSERT_TRUE(ORTU_OS::create_tss_key(key));
    int a = 1, b = 2;
    EXPECT_EQ(ORTU_OS::get_tss_value(key), nullptr);
    EXPECT_TRUE(ORTU_OS::set_tss_value(key, &a));
    void* other = &b;
    std::thread t([&] {
        other = ORTU_OS::get_tss_value(key);
        ORTU_OS::set_tss_value(key, &b);
    });
    t.join();
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(ORTU_OS::get_tss_value(key), &a);
    EXPECT_TRUE(ORTU_OS::destroy_tss_key(key));
}

TEST(OSTest, TickCountMovesForwardAndCanBeFixed) {
    ORTU_UINT32 before = ORTU_OS::tick_count();
    ORTU_OS::sleep(20);
    EXPECT_GE(ORTU_OS::tick_count() - before, 19u);
    ORTU_OS::Tick_Source previous = ORTU_OS::set_tick_source(&fixed_tick);
    EXPECT_EQ(ORTU_OS::tick_count(), 123456u);
    EXPECT_EQ(ORTU_OS::set_tick_source(previous), &fixed_tick);
    EXPECT_NE(ORTU_OS::tick_count(), 123456u);
}

TEST(OSTest, ModuleFileNameIsThisProgram) {
    std::string name = ORTU_OS::module_file_name();
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(name.front(), '/');
    EXPECT_NE(name.find("ORTU_OS_test"), std::string::npos) << name;
}

TEST(OSTest, ErrorDescriptions) {
    ORTU_OS::set_last_error(ENOENT);
    EXPECT_EQ(ORTU_OS::last_error(), ENOENT);
    ASSERT_NE(ORTU_OS::error_description(ENOENT), nullptr);
    EXPECT_STREQ(ORTU_OS::error_description(ENOENT), std::strerror(ENOENT));
    EXPECT_EQ(ORTU_OS::error_description(123456), nullptr);
}

TEST(OSTest, DebugOutputGoesToTheInstalledSink) {
    sink_text.clear();
    ORTU_OS::Debug_Output_Sink previous = ORTU_OS::set_debug_output_sink(&collect);
    ORTU_OS::debug_output("one ");
    ORTU_OS::debug_output(nullptr);
    ORTU_OS::debug_output("two\n");
    EXPECT_EQ(ORTU_OS::set_debug_output_sink(previous), &collect);
    EXPECT_EQ(sink_text, "one two\n");
}

TEST(OSTest, DebugOutputDefaultsToStandardError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            unsetenv("ORTU_DEBUG_OUTPUT");
            ORTU_OS::debug_output("ortu-line-on-stderr\n");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "ortu-line-on-stderr");
}

TEST(OSTest, DebugOutputCanBeSwitchedOff) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child starts afresh, so it reads the variable on its first line.
    EXPECT_EXIT(
        {
            setenv("ORTU_DEBUG_OUTPUT", "none", 1);
            ORTU_OS::debug_output("ortu-hidden-line\n");
            std::fputs("child-done", stderr);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^child-done$");
}

TEST(OSTest, AssertionHandlerAnswersInsteadOfThePrompt) {
    ORTU_OS::Assertion_Handler previous = ORTU_OS::set_assertion_handler(&answer_retry);
    EXPECT_EQ(ORTU_OS::assertion_prompt("Debug subsystem", "text"), pr_retry);
    EXPECT_EQ(sink_text, "Debug subsystem|text");
    EXPECT_EQ(ORTU_OS::set_assertion_handler(previous), &answer_retry);
}

TEST(OSTest, AssertionPromptWithoutATerminalIgnoresAfterReporting) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            unsetenv("ORTU_ASSERT");
            ORTU_Prompt_Result r = ORTU_OS::assertion_prompt("Debug subsystem", "the report");
            std::exit(r == pr_ignore ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "Debug subsystem\nthe report");
}

TEST(OSTest, AssertionPromptFollowsTheEnvironment) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("ORTU_ASSERT", "abort", 1);
            std::exit(ORTU_OS::assertion_prompt("t", "x") == pr_abort ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            setenv("ORTU_ASSERT", "retry", 1);
            std::exit(ORTU_OS::assertion_prompt("t", "x") == pr_retry ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(OSTest, EventDescriptorsCountAndDrain) {
    int fd = ORTU_OS::create_event_fd(0, false);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(ORTU_OS::consume_fd(fd));
    EXPECT_TRUE(ORTU_OS::signal_fd(fd, 3));
    EXPECT_TRUE(ORTU_OS::consume_fd(fd)); // takes all three at once
    EXPECT_FALSE(ORTU_OS::consume_fd(fd));
    ORTU_OS::close_fd(fd);

    int sem = ORTU_OS::create_event_fd(2, true);
    ASSERT_GE(sem, 0);
    EXPECT_TRUE(ORTU_OS::consume_fd(sem));
    EXPECT_TRUE(ORTU_OS::consume_fd(sem));
    EXPECT_FALSE(ORTU_OS::consume_fd(sem));
    ORTU_OS::signal_fd(sem, 5);
    ORTU_OS::drain_fd(sem);
    EXPECT_FALSE(ORTU_OS::consume_fd(sem));
    ORTU_OS::close_fd(sem);
    ORTU_OS::close_fd(-1); // closing nothing is allowed
}

TEST(OSTest, WaitRefusesANegativeDescriptor) {
    ORTU_Wait_Item items[] = {{-1, POLLIN, false}};
    EXPECT_EQ(ORTU_OS::wait_fds(items, 1, false, ORTU_INFINITE), ORTU_WAIT_FAILED);
}

TEST(OSTest, WaitAllGivesBackWhatItTookWhenItLosesARace) {
    // Two semaphores, one with a count, one without: a wait for both must
    // time out and leave the first one's count where it was.
    int a = ORTU_OS::create_event_fd(1, true);
    int b = ORTU_OS::create_event_fd(0, true);
    ORTU_Wait_Item items[] = {{a, POLLIN, true}, {b, POLLIN, true}};
    EXPECT_EQ(ORTU_OS::wait_fds(items, 2, true, 10), ORTU_WAIT_TIMEOUT);
    EXPECT_TRUE(ORTU_OS::consume_fd(a));
    ORTU_OS::close_fd(a);
    ORTU_OS::close_fd(b);
}
