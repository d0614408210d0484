#include "ORTU_Debug_Manager.h"
#include "ORTU_OS.h"
#include "ORTU_Object_Manager.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

ORTU_DECLARE_DEBUG_GROUP(qrex);
ORTU_DEFINE_DEBUG_GROUP(qrex);
ORTU_DECLARE_DEBUG_GROUP(lxtcp);
ORTU_DEFINE_DEBUG_GROUP(lxtcp);
ORTU_DECLARE_DEBUG_GROUP(
    a_debug_group_whose_name_is_far_longer_than_the_prefix_buffer_of_ninety_nine_bytes_can_hold_x);
ORTU_DEFINE_DEBUG_GROUP(
    a_debug_group_whose_name_is_far_longer_than_the_prefix_buffer_of_ninety_nine_bytes_can_hold_x);

namespace {

std::string captured;
void capture(const char* text) {
    captured += text;
}

std::vector<std::string> assertion_titles;
std::vector<std::string> assertion_texts;
ORTU_Prompt_Result answer = pr_ignore;
ORTU_Prompt_Result record_assertion(const char* title, const char* text) {
    assertion_titles.push_back(title);
    assertion_texts.push_back(text);
    return answer;
}

ORTU_UINT32 fake_ticks = 0;
ORTU_UINT32 fixed_ticks() {
    return fake_ticks;
}

std::string read_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Temp_File {
public:
    explicit Temp_File(const std::string& content = "") {
        char name[] = "/tmp/ortu_debug_XXXXXX";
        int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        if (!content.empty()) {
            EXPECT_EQ(write(fd, content.data(), content.size()),
                      static_cast<ssize_t>(content.size()));
        }
        close(fd);
        name_ = name;
    }
    ~Temp_File() { unlink(name_.c_str()); }
    Temp_File(const Temp_File&) = delete;
    Temp_File& operator=(const Temp_File&) = delete;
    const char* name() const { return name_.c_str(); }
    std::string read() const { return read_file(name_); }
    void write_content(const std::string& content) const {
        std::ofstream out(name_, std::ios::binary | std::ios::trunc);
        out << content;
    }

private:
    std::string name_;
};

// Sends the process's standard error to a file while it lives.
class Stderr_Capture {
public:
    Stderr_Capture() {
        std::fflush(stderr);
        saved_ = dup(2);
        int fd = open(file_.name(), O_WRONLY | O_TRUNC);
        dup2(fd, 2);
        close(fd);
    }
    ~Stderr_Capture() { restore(); }
    std::string text() {
        restore();
        std::string text = file_.read();
#if defined(_WIN32)
        // Standard error is a text stream there: its line ends are CR LF.
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
#endif
        return text;
    }

private:
    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    Temp_File file_;
    int saved_ = -1;
};

std::string tid_text() {
    char b[32];
    std::snprintf(b, sizeof b, "0x%03x", ORTU_OS::current_thread_id());
    return b;
}

// Starts the runtime on a configuration text (or on no file) with the
// debugger output captured and the clock fixed.
class Debug_Test : public ::testing::Test {
protected:
    void SetUp() override {
        captured.clear();
        assertion_titles.clear();
        assertion_texts.clear();
        answer = pr_ignore;
        fake_ticks = 5000;
        previous_sink_ = ORTU_OS::set_debug_output_sink(capture);
        previous_handler_ = ORTU_OS::set_assertion_handler(record_assertion);
        previous_ticks_ = ORTU_OS::set_tick_source(fixed_ticks);
    }
    void TearDown() override {
        stop();
        ORTU_Debug_Manager::set_configuration_file(nullptr);
        ORTU_OS::set_tick_source(previous_ticks_);
        ORTU_OS::set_assertion_handler(previous_handler_);
        ORTU_OS::set_debug_output_sink(previous_sink_);
    }

    void start(const std::string& ini) {
        ini_.write_content(ini);
        ORTU_Debug_Manager::set_configuration_file(ini_.name());
        ortu_runtime_start();
        started_ = true;
    }
    void start_without_file() {
        ORTU_Debug_Manager::set_configuration_file("/nonexistent/ortu/program.ini");
        ortu_runtime_start();
        started_ = true;
    }
    void stop() {
        if (started_)
            ortu_runtime_stop();
        started_ = false;
    }
    ORTU_Debug_Manager& manager() { return *ORTU_Debug_Manager::instance(); }
    ORTU_Debug_Settings settings(const char* name) {
        ORTU_Debug_Settings s{false, -99, 0xFFFF};
        EXPECT_TRUE(manager().get_group_settings(name, s)) << name;
        return s;
    }

    Temp_File ini_;

private:
    bool started_ = false;
    ORTU_OS::Debug_Output_Sink previous_sink_;
    ORTU_OS::Assertion_Handler previous_handler_;
    ORTU_OS::Tick_Source previous_ticks_;
};

using Debug_Configuration = Debug_Test;
using Debug_Lines = Debug_Test;
using Debug_Devices = Debug_Test;
using Debug_Settings_Access = Debug_Test;
using Debug_Dump = Debug_Test;
using Debug_Direct = Debug_Test;

} // namespace

TEST_F(Debug_Configuration, MissingFileUsesDefaultsOnOsDebug) {
    start_without_file();
    EXPECT_NE(captured.find("ORTU_Debug_Manager, '/nonexistent/ortu/program.ini' is not found\n"),
              std::string::npos);
    EXPECT_NE(captured.find("ORTU_OS_Debug_Device created\n"), std::string::npos);
    EXPECT_STREQ(manager().device_name().c_str(), "os_debug");
    captured.clear();
    fake_ticks = 5000 + 12345;
    ORTU_DEBUG(qrex, 1, "hello %d\n", 5);
    EXPECT_EQ(captured, "{" + tid_text() + "} [12.345] [qrex] hello 5\n");
    captured.clear();
    ORTU_DEBUG(qrex, 2, "not written\n");
    EXPECT_EQ(captured, "");
    ORTU_Debug_Settings s = settings("qrex");
    EXPECT_TRUE(s.enabled);
    EXPECT_EQ(s.max_level, 1);
    EXPECT_EQ(s.print_flags, 0x23u);
}

TEST_F(Debug_Configuration, SectionWithOnlyMaxLevelDisablesTheGroup) {
    start("[qrex]\nmax_level=3\n");
    EXPECT_NE(captured.find("', 1 section(s) read\n"), std::string::npos);
    captured.clear();
    ORTU_DEBUG(qrex, 0, "errors neither\n");
    EXPECT_EQ(captured, "");
    ORTU_Debug_Settings s = settings("qrex");
    EXPECT_FALSE(s.enabled);
    EXPECT_EQ(s.max_level, 3);
    EXPECT_EQ(s.print_flags, 0u);
    // The group claimed its entry: nothing left in the loaded list.
    EXPECT_EQ(manager().loaded_count(), 0u);
}

TEST_F(Debug_Configuration, KeysIgnoreCaseOnlyOneIsTrue) {
    start("[qrex]\nENABLED=1\nMax_Level= 2 \nPRINT_LEVEL=1\n"
          "[lxtcp]\nenabled=yes\nmax_level=3\n"
          "[other]\nenabled =\t1 \nmax_level=12abc\nprint_tid=true\nprint_gname=01\n"
          "[neg]\nenabled=1\nmax_level=-4\n[nan]\nenabled=1x\nmax_level=x1\n");
    ORTU_Debug_Settings q = settings("qrex");
    EXPECT_TRUE(q.enabled);
    EXPECT_EQ(q.max_level, 2);
    EXPECT_EQ(q.print_flags, 0x08u);
    ORTU_DEBUG(lxtcp, 0, "x"); // creates the group, which takes its section
    EXPECT_FALSE(settings("lxtcp").enabled);
    ORTU_Debug_Settings o = settings("other");
    EXPECT_TRUE(o.enabled);
    EXPECT_EQ(o.max_level, 12);
    EXPECT_EQ(o.print_flags, 0u);
    EXPECT_EQ(settings("neg").max_level, -4);
    EXPECT_FALSE(settings("nan").enabled);
    EXPECT_EQ(settings("nan").max_level, 0);
}

TEST_F(Debug_Configuration, SectionNamesAreExact) {
    start("[QREX]\nenabled=1\nmax_level=3\n[debug_manager]\nenabled=1\nlog_device=stderr\n");
    // Neither configures anything: "QREX" is no group and "debug_manager" no
    // manager section.
    EXPECT_STREQ(manager().device_name().c_str(), "os_debug");
    ORTU_DEBUG(qrex, 9, "x"); // the group comes and finds no section of its own
    EXPECT_EQ(settings("qrex").max_level, 1);
    EXPECT_EQ(manager().loaded_count(), 2u);
}

TEST_F(Debug_Configuration, PortSectionStaysLoaded) {
    start("[port]\nmax_level=5000\n");
    EXPECT_EQ(manager().loaded_count(), 1u);
    ORTU_Debug_Settings p = settings("port");
    EXPECT_EQ(p.max_level, 5000);
    EXPECT_FALSE(p.enabled);
    ORTU_Debug_Settings none;
    EXPECT_FALSE(manager().get_group_settings("nothere", none));
}

TEST_F(Debug_Configuration, EmptyFileAndEmptySections) {
    start("no sections at all\n");
    EXPECT_NE(captured.find("' is empty\n"), std::string::npos);
    EXPECT_NE(captured.find("', 0 section(s) read\n"), std::string::npos);
    stop();
    captured.clear();
    start("[empty]\n[Debug_Manager]\n[also]\njunk line\n");
    EXPECT_NE(captured.find("', 0 section(s) read\n"), std::string::npos);
    EXPECT_EQ(captured.find("' is empty\n"), std::string::npos);
    // A manager section with no entries is skipped like the others.
    EXPECT_STREQ(manager().device_name().c_str(), "os_debug");
    EXPECT_TRUE(manager().device_enabled());
}

TEST_F(Debug_Configuration, ManagerSectionWithoutEnabledSilencesEverything) {
    start("[Debug_Manager]\nlog_device=os_debug\n");
    EXPECT_FALSE(manager().device_enabled());
    captured.clear();
    ORTU_DEBUG(qrex, 0, "nothing\n");
    EXPECT_EQ(captured, "");
}

TEST_F(Debug_Configuration, OnlyTheFirstManagerSectionCounts) {
    start("[Debug_Manager]\nenabled=1\nlog_device=os_debug\nglobal_time=1\n[Debug_Manager]\n"
          "enabled=1\nlog_device=stderr\n");
    EXPECT_STREQ(manager().device_name().c_str(), "os_debug");
    EXPECT_TRUE(manager().global_time());
}

TEST_F(Debug_Configuration, ReadsTheProgramIniByDefault) {
    unsetenv("ORTU_DEBUG_INI");
    ORTU_Debug_Manager::set_configuration_file(nullptr);
    std::string expected = std::string(ORTU_OS::module_file_name()) + ".ini";
    EXPECT_STREQ(ORTU_Debug_Manager::configuration_file().c_str(), expected.c_str());
    setenv("ORTU_DEBUG_INI", "/tmp/from_environment.ini", 1);
    EXPECT_STREQ(ORTU_Debug_Manager::configuration_file().c_str(), "/tmp/from_environment.ini");
    ORTU_Debug_Manager::set_configuration_file("/tmp/set_by_test.ini");
    EXPECT_STREQ(ORTU_Debug_Manager::configuration_file().c_str(), "/tmp/set_by_test.ini");
    unsetenv("ORTU_DEBUG_INI");
}

TEST_F(Debug_Configuration, WriteConfigurationFormats) {
    start("[Debug_Manager]\nenabled=1\nlog_device=os_debug\nglobal_time=1\n"
          "[port]\nmax_level=5000\n[qrex]\nenabled=1\nmax_level=2\nprint_tid=1\nprint_time=1\n");
    ORTU_DEBUG(qrex, 3, "register it\n");
    Temp_File out;
    ASSERT_TRUE(manager().write_configuration(out.name()));
    EXPECT_EQ(out.read(),
              "[Debug_Manager]\nenabled = 1\nlog_device = os_debug\nglobal_time = 1\n"
              "\nlog_append = 0\n\n"
              "[port]\nenabled = 0\nmax_level = 5000\nprint_tid = 0\nprint_tname = 0\n"
              "print_gname = 0\nprint_ms_time = 0\nprint_time = 0\nprint_level = 0\n\n"
              "[qrex]\nenabled = 1\nmax_level = 2\nprint_tid = 1\nprint_tname = 0\n"
              "print_gname = 0\nprint_ms_time = 0\nprint_time = 1\nprint_level = 0\n\n");
    // What it writes reads back to the same settings.
    Temp_File again(out.read());
    stop();
    ORTU_Debug_Manager::set_configuration_file(again.name());
    ortu_runtime_start();
    EXPECT_EQ(settings("port").max_level, 5000);
    ORTU_Debug_Settings s;
    ASSERT_TRUE(manager().get_group_settings("qrex", s));
    EXPECT_EQ(s.print_flags, 0x41u);
    ortu_runtime_stop();
}

TEST_F(Debug_Configuration, ReloadRereadsFileAndDevice) {
    start("[qrex]\nenabled=1\nmax_level=1\n[port]\nmax_level=1\n");
    ORTU_DEBUG(qrex, 0, "make the group\n");
    Temp_File log;
    ini_.write_content("[Debug_Manager]\nenabled=1\nlog_device=" + std::string(log.name()) +
                       "\n[qrex]\nenabled=1\nmax_level=3\n");
    manager().reload_configuration();
    EXPECT_EQ(settings("qrex").max_level, 3);
    EXPECT_EQ(manager().loaded_count(), 0u); // "port" went with the old file
    EXPECT_STREQ(manager().device_name().c_str(), log.name());
    ORTU_DEBUG(qrex, 3, "to the file\n");
    EXPECT_EQ(log.read(), "to the file\n");
}

TEST_F(Debug_Lines, PrefixParts) {
    start_without_file();
    const std::string tid = tid_text();
    struct Case {
        ORTU_UINT32 flags;
        std::string expected;
    };
    fake_ticks = 5000 + 2007;
    const Case cases[] = {
        {0, "text\n"},
        {ORTU_DEBUG_PRINT_TID, "{" + tid + "} text\n"},
        {ORTU_DEBUG_PRINT_TNAME, "{} text\n"},
        {ORTU_DEBUG_PRINT_TID | ORTU_DEBUG_PRINT_TNAME, "{, " + tid + "} text\n"},
        {ORTU_DEBUG_PRINT_MS_TIME, "[2.007] text\n"},
        {ORTU_DEBUG_PRINT_LEVEL, "2 text\n"},
        {ORTU_DEBUG_PRINT_GNAME, "[qrex] text\n"},
        {ORTU_DEBUG_PRINT_MS_TIME | ORTU_DEBUG_PRINT_TIME, "[2.007] text\n"},
        {0x7B, "{, " + tid + "} [2.007] 2 [qrex] text\n"},
        {0x04, "text\n"},
    };
    for (const Case& c : cases) {
        ORTU_DEBUG(qrex, 3, "x"); // makes sure the group exists before its settings change
        manager().set_group_settings("qrex", ORTU_Debug_Settings{true, 3, c.flags}, false);
        captured.clear();
        ORTU_DEBUG(qrex, 2, "text\n");
        EXPECT_EQ(captured, c.expected) << c.flags;
    }
}

TEST_F(Debug_Lines, WallClockPrefix) {
    start("[qrex]\nenabled=1\nmax_level=1\nprint_time=1\n");
    captured.clear();
    ORTU_DEBUG(qrex, 1, "now\n");
    std::regex pattern(
        R"(\[(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d\d \d\d:\d\d:\d\d\.000\] now\n)");
    EXPECT_TRUE(std::regex_match(captured, pattern)) << captured;
}

TEST_F(Debug_Lines, GlobalTimeUsesTheTickCount) {
    start("[Debug_Manager]\nenabled=1\nlog_device=os_debug\nglobal_time=1\n"
          "[qrex]\nenabled=1\nmax_level=1\nprint_ms_time=1\n");
    fake_ticks = 123456789;
    captured.clear();
    ORTU_DEBUG(qrex, 1, "t\n");
    EXPECT_EQ(captured, "[123456.789] t\n");
}

TEST_F(Debug_Lines, ElapsedTimeWrapsWithTheTickCount) {
    fake_ticks = 0xFFFFFF00u;
    start("[qrex]\nenabled=1\nmax_level=1\nprint_ms_time=1\n");
    fake_ticks = 0x100; // 512 ms later, across the wrap
    captured.clear();
    ORTU_DEBUG(qrex, 1, "t\n");
    EXPECT_EQ(captured, "[0.512] t\n");
}

TEST_F(Debug_Lines, PrefixIsCutAt98Characters) {
    start_without_file();
    captured.clear();
    ORTU_DEBUG(
        a_debug_group_whose_name_is_far_longer_than_the_prefix_buffer_of_ninety_nine_bytes_can_hold_x,
        1, "|tail\n");
    size_t bar = captured.find('|');
    ASSERT_NE(bar, std::string::npos);
    EXPECT_EQ(bar, 98u);
    EXPECT_EQ(captured.substr(bar), "|tail\n");
}

TEST_F(Debug_Lines, TestedAndUntestedForms) {
    start("[qrex]\nenabled=1\nmax_level=1\n");
    ORTU_Debug_Group* g = __ORTU_qrex_debug_group::instance();
    captured.clear();
    g->print(2, "no\n");
    g->print(1, "yes %s\n", "1");
    g->print_untested(3, "forced\n");
    EXPECT_EQ(captured, "yes 1\nforced\n");
    EXPECT_TRUE(g->passes(1));
    EXPECT_FALSE(g->passes(2));
}

TEST_F(Debug_Lines, LinesAllocateNothing) {
    start("[qrex]\nenabled=1\nmax_level=1\nprint_tid=1\nprint_time=1\nprint_gname=1\n");
    ORTU_DEBUG(qrex, 1, "warm up\n");
    unsigned char data[40] = {};
    ORTU_UINT32 before = ORTU_String_Manager::total_allocations();
    for (int i = 0; i < 100; ++i) {
        ORTU_DEBUG(qrex, 1, "line %d %s %pa\n", i, "text", 0x7F000001u);
        ORTU_DEBUG(qrex, 2, "filtered %d\n", i);
        ORTU_DEBUG_DUMP(qrex, 1, data, sizeof data, "dump %d\n", i);
    }
    EXPECT_EQ(ORTU_String_Manager::total_allocations(), before);
}

TEST_F(Debug_Lines, LinesOfThreadsDoNotInterleave) {
    Temp_File log;
    start("[Debug_Manager]\nenabled=1\nlog_device=" + std::string(log.name()) +
          "\n[qrex]\nenabled=1\nmax_level=1\nprint_tid=1\nprint_gname=1\n");
    ORTU_DEBUG(qrex, 1, "first\n");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                ORTU_DEBUG(qrex, 1, "thread %d line %d %s\n", t, i, "with some more text");
        });
    }
    for (std::thread& t : threads)
        t.join();
    std::istringstream lines(log.read());
    std::string line;
    int count = 0;
    std::regex pattern(
        R"(\{0x[0-9a-f]{3,}\} \[qrex\] (first|thread \d line \d+ with some more text))");
    while (std::getline(lines, line)) {
        EXPECT_TRUE(std::regex_match(line, pattern)) << line;
        ++count;
    }
    EXPECT_EQ(count, 801);
}

TEST_F(Debug_Devices, StderrDevice) {
    Stderr_Capture err;
    start("[Debug_Manager]\nenabled=1\nlog_device=stderr\nlog_append=1\n"
          "[qrex]\nenabled=1\nmax_level=1\nprint_gname=1\n");
    EXPECT_NE(captured.find("ORTU_File_Debug_Device created for standard device\n"),
              std::string::npos);
    captured.clear();
    ORTU_DEBUG(qrex, 1, "to stderr %d\n", 1);
    ORTU_DEBUG(qrex, 1, "and again\n");
    EXPECT_EQ(captured, "");
    EXPECT_EQ(err.text(), "[qrex] to stderr 1\n[qrex] and again\n");
}

TEST_F(Debug_Devices, FileDeviceTruncatesAndFlushes) {
    Temp_File log("old line\n");
    start("[Debug_Manager]\nenabled=1\nlog_device=" + std::string(log.name()) +
          "\nlog_append=0\n[qrex]\nenabled=1\nmax_level=1\n");
    EXPECT_NE(
        captured.find("ORTU_File_Debug_Device created for '" + std::string(log.name()) + "'\n"),
        std::string::npos);
    EXPECT_EQ(log.read(), "");
    ORTU_DEBUG(qrex, 1, "line %d\n", 1);
    // Flushed at once, while the runtime still runs.
    EXPECT_EQ(log.read(), "line 1\n");
}

TEST_F(Debug_Devices, FileDeviceAppends) {
    Temp_File log("old line\n");
    start("[Debug_Manager]\nenabled=1\nlog_device=" + std::string(log.name()) +
          "\nlog_append=1\n[qrex]\nenabled=1\nmax_level=1\n");
    ORTU_DEBUG(qrex, 1, "new line\n");
    EXPECT_EQ(log.read(), "old line\nnew line\n");
}

TEST_F(Debug_Devices, UnopenableFileIsADisabledDevice) {
    start("[Debug_Manager]\nenabled=1\nlog_device=/nonexistent/dir/log.txt\n"
          "[qrex]\nenabled=1\nmax_level=1\n");
    EXPECT_NE(captured.find("ORTU_File_Debug_Device created for '/nonexistent/dir/log.txt'\n"),
              std::string::npos);
    EXPECT_FALSE(manager().device_enabled());
    captured.clear();
    ORTU_DEBUG(qrex, 1, "lost\n");
    // No new attempt either.
    EXPECT_EQ(captured, "");
}

TEST_F(Debug_Devices, EmptyDeviceNameIsADisabledDevice) {
    start("[Debug_Manager]\nenabled=1\nlog_device=\n");
    EXPECT_FALSE(manager().device_enabled());
    EXPECT_STREQ(manager().device_name().c_str(), "");
}

TEST_F(Debug_Devices, FailingDeviceIsCreatedAgain) {
    start("[Debug_Manager]\nenabled=1\nlog_device=/dev/full\n[qrex]\nenabled=1\nmax_level=1\n");
    ORTU_DEBUG(qrex, 1, "fails at the flush\n");
    captured.clear();
    ORTU_DEBUG(qrex, 1, "finds the device invalid\n");
    EXPECT_EQ(captured, "ORTU_File_Debug_Device created for '/dev/full'\n");
}

TEST_F(Debug_Devices, GroupsLeftAtStopAreReported) {
    start_without_file();
    auto group = std::make_unique<ORTU_Debug_Group>("manual", ORTU_Debug_Settings{true, 1, 0});
    EXPECT_EQ(manager().group_count(), 1u);
    captured.clear();
    stop();
    size_t left = captured.find("ORTU_Debug_Manager, groups_ is not empty, 1\n");
    size_t down = captured.find("ORTU_Debug_Manager has been shut down\n");
    EXPECT_NE(left, std::string::npos);
    EXPECT_NE(down, std::string::npos);
    EXPECT_LT(left, down);
    group.reset(); // after the manager: must not touch it
    EXPECT_TRUE(assertion_texts.empty());
}

TEST_F(Debug_Settings_Access, SetAndCreate) {
    start("[port]\nmax_level=7\n");
    ORTU_Debug_Settings s{true, 9, 0x20};
    manager().set_group_settings("unknown", s, false);
    ORTU_Debug_Settings got;
    EXPECT_FALSE(manager().get_group_settings("unknown", got));
    manager().set_group_settings("unknown", s, true);
    ASSERT_TRUE(manager().get_group_settings("unknown", got));
    EXPECT_EQ(got.max_level, 9);
    manager().set_group_settings("port", s, false);
    EXPECT_EQ(settings("port").max_level, 9);
    EXPECT_EQ(manager().loaded_count(), 2u);
}

TEST_F(Debug_Settings_Access, GroupsTakeLoadedSettingsWhenRegistered) {
    start("[lxtcp]\nenabled=1\nmax_level=3\nprint_level=1\n[port]\nmax_level=1\n");
    EXPECT_EQ(manager().loaded_count(), 2u);
    size_t groups = manager().group_count();
    captured.clear();
    ORTU_DEBUG(lxtcp, 3, "level three\n");
    EXPECT_EQ(captured, "3 level three\n");
    EXPECT_EQ(manager().loaded_count(), 1u);
    EXPECT_EQ(manager().group_count(), groups + 1);
    // A group without a section keeps what it was built with.
    ORTU_DEBUG(qrex, 1, "x");
    ORTU_Debug_Settings q = settings("qrex");
    EXPECT_TRUE(q.enabled);
    EXPECT_EQ(q.max_level, 1);
    EXPECT_EQ(q.print_flags, 0x23u);
}

TEST_F(Debug_Settings_Access, GroupsAreDestroyedAtStop) {
    start_without_file();
    ORTU_DEBUG(qrex, 1, "x");
    ORTU_DEBUG(lxtcp, 1, "x");
    EXPECT_EQ(manager().group_count(), 2u);
    captured.clear();
    stop();
    EXPECT_EQ(captured.find("groups_ is not empty"), std::string::npos);
    EXPECT_FALSE(ORTU_Singleton<__ORTU_qrex_debug_group>::exists());
}

TEST_F(Debug_Dump, TwentyBytes) {
    start("[qrex]\nenabled=1\nmax_level=3\nprint_gname=1\n");
    unsigned char data[20];
    for (int i = 0; i < 20; ++i)
        data[i] = static_cast<unsigned char>('A' + i);
    data[3] = 0;
    data[17] = 0xFF;
    captured.clear();
    ORTU_DEBUG_DUMP(qrex, 3, data, sizeof data, "%d bytes:\n", 20);
    std::string expected =
        "[qrex] 20 bytes:\n"
        "   0000: 41 42 43 00 45 46 47 48-49 4A 4B 4C 4D 4E 4F 50   ABC.EFGHIJKLMNOP\n"
        "   0010: 51 FF 53 54 " +
        std::string(38, ' ') + "Q.ST\n";
    EXPECT_EQ(captured, expected);
    size_t second = captured.find("   0010");
    EXPECT_EQ(captured.find("ABC") - captured.find("   0000"), captured.find("Q.ST") - second);
}

TEST_F(Debug_Dump, FilteredAndEmpty) {
    start("[qrex]\nenabled=1\nmax_level=1\n");
    unsigned char data[16] = {1, 2, 3, 4};
    captured.clear();
    ORTU_DEBUG_DUMP(qrex, 2, data, sizeof data, "hidden\n");
    EXPECT_EQ(captured, "");
    ORTU_DEBUG_DUMP(qrex, 1, data, 0, "none\n");
    EXPECT_EQ(captured, "none\n");
    captured.clear();
    ORTU_DEBUG_DUMP(qrex, 1, data, 16, "exact\n");
    EXPECT_EQ(captured, "exact\n   0000: 01 02 03 04 00 00 00 00-00 00 00 00 00 00 00 00   "
                        "................\n");
}

TEST_F(Debug_Direct, PrintIsCutAt1023Characters) {
    std::string long_text(2000, 'y');
    ortu_debug_print("%s", long_text.c_str());
    EXPECT_EQ(captured, std::string(1023, 'y'));
    captured.clear();
    ortu_debug_print("%d-%pa\n", 7, 0x7F000001u);
    EXPECT_EQ(captured, "7-127.0.0.1\n");
}

TEST_F(Debug_Direct, AssertionReportTextAndAnswers) {
    answer = pr_retry;
    EXPECT_TRUE(ortu_assertion_report("file.cpp", 42, "x != 0"));
    answer = pr_ignore;
    EXPECT_FALSE(ortu_assertion_report("file.cpp", 43, "y"));
    ASSERT_EQ(assertion_texts.size(), 2u);
    EXPECT_EQ(assertion_titles[0], "Debug subsystem");
    EXPECT_EQ(assertion_texts[0],
              "Assertion failed:\nfile 'file.cpp'\nline 42\nCondition: 'x != 0'");
    std::string huge(3000, 'c');
    ortu_assertion_report("f", 1, huge.c_str());
    EXPECT_EQ(assertion_texts[2].size(), 2047u);
}

TEST_F(Debug_Direct, AssertMacroReports) {
    int value = 3;
    ORTU_ASSERT(value == 4);
    ASSERT_EQ(assertion_texts.size(), 1u);
    EXPECT_NE(assertion_texts[0].find("Condition: 'value == 4'"), std::string::npos);
}

TEST(Debug_Abort, AbortEndsTheProcess) {
    ORTU_OS::set_assertion_handler(
        [](const char*, const char*) -> ORTU_Prompt_Result { return pr_abort; });
    EXPECT_DEATH(ortu_assertion_report("f", 1, "c"), "");
    ORTU_OS::set_assertion_handler(nullptr);
}
