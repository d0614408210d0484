#include "ORTU_Exception.h"
#include "ORTU_OS.h"
#include "ORTU_String.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string captured;
void capture(const char* text) {
    captured += text;
}

std::vector<std::string> assertions;
ORTU_Prompt_Result record_assertion(const char*, const char* text) {
    assertions.push_back(text);
    return pr_ignore;
}

struct Event {
    int kind;
    void* block;
    size_t size;
};
std::vector<Event> events;
void record_event(int kind, void* block, size_t size) {
    events.push_back({kind, block, size});
}

// The size word right in front of a block's data.
ORTU_UINT32 size_word(const void* p) {
    ORTU_UINT32 v;
    std::memcpy(&v, static_cast<const char*>(p) - 4, 4);
    return v;
}

// Each test gets a started string manager and captures what it reports.
class String_Test : public ::testing::Test {
protected:
    void SetUp() override {
        captured.clear();
        assertions.clear();
        events.clear();
        previous_sink_ = ORTU_OS::set_debug_output_sink(capture);
        previous_handler_ = ORTU_OS::set_assertion_handler(record_assertion);
        ORTU_String_Manager::start();
    }
    void TearDown() override {
        ORTU_String_Manager::set_event_hook(nullptr);
        ORTU_Malloc_Allocator::set_heap_function(nullptr);
        if (ORTU_String_Manager::active())
            ORTU_String_Manager::stop();
        ORTU_OS::set_assertion_handler(previous_handler_);
        ORTU_OS::set_debug_output_sink(previous_sink_);
    }

private:
    ORTU_OS::Debug_Output_Sink previous_sink_;
    ORTU_OS::Assertion_Handler previous_handler_;
};

using String_Manager = String_Test;
using String_Value = String_Test;
using String_Format = String_Test;
using String_Edit = String_Test;
using String_File = String_Test;
using Malloc_Allocator = String_Test;

} // namespace

TEST_F(String_Manager, SizeClasses) {
    EXPECT_EQ(ORTU_String_Manager::size_class(8), 1u);
    EXPECT_EQ(ORTU_String_Manager::size_class(16), 2u);
    EXPECT_EQ(ORTU_String_Manager::size_class(312), 39u);
    EXPECT_EQ(ORTU_String_Manager::size_class(320), 0u);

    void* small = ORTU_String_Manager::allocate(312);
    EXPECT_EQ(ORTU_String_Manager::big_allocations(), 0u);
    void* big = ORTU_String_Manager::allocate(320);
    EXPECT_EQ(ORTU_String_Manager::big_allocations(), 1u);
    EXPECT_EQ(ORTU_String_Manager::total_allocations(), 2u);
    EXPECT_EQ(size_word(small), 312u);
    EXPECT_EQ(size_word(big), 320u);
    // Data is aligned for the pointers a descriptor holds.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(small) % 8, 0u);

    ORTU_String_Manager::release(small, 312);
    ORTU_String_Manager::release(big, 320);
    EXPECT_EQ(ORTU_String_Manager::cached_blocks(312), 1u);
    EXPECT_EQ(ORTU_String_Manager::cached_blocks(320), 0u);
    EXPECT_TRUE(assertions.empty());
}

TEST_F(String_Manager, ReleasedBlockIsReusedAsCacheHit) {
    void* a = ORTU_String_Manager::allocate(24);
    ORTU_String_Manager::release(a, 24);
    void* other = ORTU_String_Manager::allocate(32);
    void* b = ORTU_String_Manager::allocate(24);
    EXPECT_EQ(a, b);
    EXPECT_NE(other, b);
    EXPECT_EQ(ORTU_String_Manager::cache_hits(), 1u);
    ORTU_String_Manager::release(b, 24);
    ORTU_String_Manager::release(other, 32);
    // Big blocks are never cached.
    void* big = ORTU_String_Manager::allocate(400);
    ORTU_String_Manager::release(big, 400);
    big = ORTU_String_Manager::allocate(400);
    EXPECT_EQ(ORTU_String_Manager::cache_hits(), 1u);
    ORTU_String_Manager::release(big, 400);
}

TEST_F(String_Manager, EventHookSeesEveryMove) {
    ORTU_String_Manager::set_event_hook(record_event);
    void* a = ORTU_String_Manager::allocate(40);
    ORTU_String_Manager::release(a, 40);
    void* b = ORTU_String_Manager::allocate(40);
    ORTU_String_Manager::release(b, 40);
    ORTU_String_Manager::release_cached_blocks();
    void* big = ORTU_String_Manager::allocate(512);
    ORTU_String_Manager::release(big, 512);
    ASSERT_EQ(events.size(), 7u);
    EXPECT_EQ(events[0].kind, ORTU_String_Manager::ev_heap_new);
    EXPECT_EQ(events[1].kind, ORTU_String_Manager::ev_cached);
    EXPECT_EQ(events[2].kind, ORTU_String_Manager::ev_reused);
    EXPECT_EQ(events[3].kind, ORTU_String_Manager::ev_cached);
    EXPECT_EQ(events[4].kind, ORTU_String_Manager::ev_heap_return);
    EXPECT_EQ(events[4].block, a);
    EXPECT_EQ(events[5].kind, ORTU_String_Manager::ev_heap_new);
    EXPECT_EQ(events[5].size, 512u);
    EXPECT_EQ(events[6].kind, ORTU_String_Manager::ev_heap_return);
    EXPECT_EQ(ORTU_String_Manager::set_event_hook(nullptr), &record_event);
}

namespace {
void throwing_hook(int, void*, size_t) {
    throw 42;
}
} // namespace

TEST_F(String_Manager, RaisingHookIsReported) {
    ORTU_String_Manager::set_event_hook(throwing_hook);
    void* a = ORTU_String_Manager::allocate(8);
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_NE(assertions[0].find("string manager event hook raised"), std::string::npos);
    ORTU_String_Manager::set_event_hook(nullptr);
    ORTU_String_Manager::release(a, 8);
}

TEST_F(String_Manager, OverwrittenGuardIsReported) {
    char* p = static_cast<char*>(ORTU_String_Manager::allocate(24));
    p[24] = 'A'; // one past the data: the guard
    ORTU_String_Manager::release(p, 24);
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_NE(assertions[0].find("Assertion failed:\nfile '"), std::string::npos);
    EXPECT_NE(assertions[0].find("Condition: '*(ORTU_UINT32*)(p + size) == 0x78787878'"),
              std::string::npos);
    // A damaged block goes back to the heap, not to the free list.
    EXPECT_EQ(ORTU_String_Manager::cached_blocks(24), 0u);
}

TEST_F(String_Manager, WrongSizeWordIsReported) {
    void* p = ORTU_String_Manager::allocate(24);
    ORTU_String_Manager::release(p, 16);
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_NE(assertions[0].find("(p - sizeof(ORTU_UINT32)) == (ORTU_UINT32)size"),
              std::string::npos);
    EXPECT_EQ(ORTU_String_Manager::cached_blocks(16), 0u);
    EXPECT_EQ(ORTU_String_Manager::cached_blocks(24), 0u);
}

TEST_F(String_Manager, BadSizesAreReported) {
    void* p = ORTU_String_Manager::allocate(12);
    EXPECT_EQ(assertions.size(), 1u);
    EXPECT_NE(assertions[0].find("!(size & ALIGNMENT_MASK)"), std::string::npos);
    // Rounded up, so it still works after the report.
    EXPECT_EQ(size_word(p), 16u);
    ORTU_String_Manager::release(p, 16);
    EXPECT_EQ(assertions.size(), 1u);
}

TEST_F(String_Manager, StatisticsShowPercentage) {
    std::vector<void*> blocks;
    for (int i = 0; i < 3; ++i)
        blocks.push_back(ORTU_String_Manager::allocate(16));
    for (void* b : blocks)
        ORTU_String_Manager::release(b, 16);
    blocks.clear();
    for (int i = 0; i < 3; ++i)
        blocks.push_back(ORTU_String_Manager::allocate(16)); // hits
    for (int i = 0; i < 3; ++i)
        blocks.push_back(ORTU_String_Manager::allocate(48));
    blocks.push_back(ORTU_String_Manager::allocate(1000));
    for (size_t i = 0; i < blocks.size(); ++i)
        ORTU_String_Manager::release(blocks[i], i < 3 ? 16 : i < 6 ? 48 : 1000);
    EXPECT_EQ(ORTU_String_Manager::total_allocations(), 10u);
    EXPECT_EQ(ORTU_String_Manager::cache_hits(), 3u);
    captured.clear();
    ORTU_String_Manager::stop();
    EXPECT_EQ(captured, "String manager statistics:\n"
                        " total allocations: 10\n"
                        " big allocations:   1\n"
                        " cache hits:        3 (30%)\n");
    EXPECT_FALSE(ORTU_String_Manager::active());
    EXPECT_EQ(ORTU_String_Manager::cached_blocks(16), 0u);
}

TEST_F(String_Manager, StatisticsWithoutAllocations) {
    ORTU_String_Manager::stop();
    EXPECT_NE(captured.find(" cache hits:        0 (0%)\n"), std::string::npos);
}

namespace {
int heap_failures_left = 0;
void* failing_heap(size_t size) {
    if (heap_failures_left != 0) {
        if (heap_failures_left > 0)
            --heap_failures_left;
        return nullptr;
    }
    return std::malloc(size);
}
} // namespace

TEST_F(Malloc_Allocator, FailureReleasesCachedBlocksAndRetries) {
    void* cached = ORTU_String_Manager::allocate(64);
    ORTU_String_Manager::release(cached, 64);
    ASSERT_EQ(ORTU_String_Manager::cached_blocks(64), 1u);
    heap_failures_left = 1;
    ORTU_Malloc_Allocator::set_heap_function(failing_heap);
    void* p = ORTU_Malloc_Allocator::allocate(100);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(ORTU_String_Manager::cached_blocks(64), 0u);
    EXPECT_EQ(captured, "");
    ORTU_Malloc_Allocator::deallocate(p);
}

TEST_F(Malloc_Allocator, SecondFailureRaisesOutOfMemory) {
    ORTU_String s("abc");
    heap_failures_left = -1;
    ORTU_Malloc_Allocator::set_heap_function(failing_heap);
    EXPECT_THROW(ORTU_Malloc_Allocator::allocate(1234), ORTU_Out_Of_Memory);
    EXPECT_EQ(captured, "ORTU_Malloc_Allocator, allocation of 1234 bytes failed\n");
    // Strings feel it too, and stay as they were.
    EXPECT_THROW(s.append("a long text that needs a bigger block"), ORTU_Out_Of_Memory);
    EXPECT_STREQ(s.c_str(), "abc");
    EXPECT_THROW(s.format("%300d", 1), ORTU_Out_Of_Memory);
    EXPECT_STREQ(s.c_str(), "abc");
    ORTU_Malloc_Allocator::set_heap_function(nullptr);
}

TEST_F(String_Value, TenCharactersGetCapacity15) {
    ORTU_String s("0123456789");
    EXPECT_EQ(s.length(), 10u);
    EXPECT_EQ(s.capacity(), 15u);
    EXPECT_EQ(size_word(s.c_str()), 16u);
    ORTU_String t("01234567");
    EXPECT_EQ(t.capacity(), 15u);
    ORTU_String u("0123456", 7);
    EXPECT_EQ(u.capacity(), 7u);
    EXPECT_EQ(size_word(u.c_str()), 8u);
}

TEST_F(String_Value, EmptyStringsShareTheNullDescriptor) {
    ORTU_UINT32 before = ORTU_String::null_descriptor()->ref_count_.load();
    {
        ORTU_String a, b(""), c(nullptr), d("xyz", 0);
        EXPECT_TRUE(a.shares_with(b));
        EXPECT_TRUE(a.shares_with(c));
        EXPECT_TRUE(a.shares_with(d));
        EXPECT_EQ(a.capacity(), 0u);
        EXPECT_STREQ(a.c_str(), "");
        EXPECT_EQ(ORTU_String::null_descriptor()->ref_count_.load(), before + 4);
    }
    EXPECT_EQ(ORTU_String::null_descriptor()->ref_count_.load(), before);
    EXPECT_EQ(ORTU_String_Manager::total_allocations(), 0u);
}

TEST_F(String_Value, CopiesShareAndWritesCopy) {
    ORTU_String a("hello");
    ORTU_String b(a);
    EXPECT_TRUE(a.shares_with(b));
    EXPECT_EQ(a.ref_count(), 2u);
    b.append(" world");
    EXPECT_STREQ(a.c_str(), "hello");
    EXPECT_STREQ(b.c_str(), "hello world");
    EXPECT_FALSE(a.shares_with(b));
    EXPECT_EQ(a.ref_count(), 1u);

    ORTU_String c;
    c = a;
    c.to_upper();
    EXPECT_STREQ(a.c_str(), "hello");
    EXPECT_STREQ(c.c_str(), "HELLO");

    ORTU_String d(a);
    d.truncate(2);
    EXPECT_STREQ(a.c_str(), "hello");
    EXPECT_STREQ(d.c_str(), "he");
}

TEST_F(String_Value, SelfAssignmentAndMoves) {
    ORTU_String a("text");
    ORTU_String& alias = a;
    a = alias;
    EXPECT_STREQ(a.c_str(), "text");
    ORTU_String b(std::move(a));
    EXPECT_STREQ(b.c_str(), "text");
    EXPECT_TRUE(a.empty()); // NOLINT: moved-from is the empty string
    a = std::move(b);
    EXPECT_STREQ(a.c_str(), "text");
    a = "other";
    EXPECT_STREQ(a.c_str(), "other");
    a = static_cast<const char*>(nullptr);
    EXPECT_TRUE(a.empty());
}

TEST_F(String_Value, EverythingIsReleased) {
    {
        ORTU_String a("some text");
        ORTU_String b = a;
        b.append("!");
        b.format("%d", 1);
        a.clear();
    }
    ORTU_String_Manager::set_event_hook(record_event);
    ORTU_String_Manager::release_cached_blocks();
    // Two descriptors and two texts went back to the free lists and from there
    // to the heap; nothing is still out.
    size_t returned = 0;
    for (const Event& e : events)
        returned += e.kind == ORTU_String_Manager::ev_heap_return;
    EXPECT_EQ(returned,
              ORTU_String_Manager::total_allocations() - ORTU_String_Manager::cache_hits());
}

TEST_F(String_Value, ComparisonAndHash) {
    ORTU_String a("Alpha");
    EXPECT_TRUE(a.equals("Alpha"));
    EXPECT_FALSE(a.equals("alpha"));
    EXPECT_TRUE(a.equals_nocase("aLPHA"));
    EXPECT_FALSE(a.equals_nocase("alph"));
    EXPECT_TRUE(a == ORTU_String("Alpha"));
    EXPECT_TRUE(ORTU_String("a") < ORTU_String("b"));
    EXPECT_EQ(ORTU_String::hash(""), 0u);
    EXPECT_EQ(ORTU_String("ab").hash(), 97u * 5 + 98);
    ORTU_UINT32 h = 0;
    for (const char* p = "a longer text for the hash"; *p; ++p)
        h = h * 5 + static_cast<unsigned char>(*p);
    EXPECT_EQ(ORTU_String("a longer text for the hash").hash(), h);
}

TEST_F(String_Edit, AppendTextBytesAndSelf) {
    ORTU_String s("ab");
    s.append("cd").append("ef\0gh", 5).append('!');
    EXPECT_EQ(s.length(), 10u);
    EXPECT_EQ(std::memcmp(s.c_str(), "abcdef\0gh!", 11), 0);
    ORTU_String t("xy");
    t.append(t);
    EXPECT_STREQ(t.c_str(), "xyxy");
    t.append(t.c_str() + 1);
    EXPECT_STREQ(t.c_str(), "xyxyyxy");
    ORTU_String grow;
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        grow.append("0123456789", static_cast<size_t>(i % 10 + 1));
        expected.append("0123456789", static_cast<size_t>(i % 10 + 1));
    }
    EXPECT_EQ(std::string(grow.c_str()), expected);
    EXPECT_EQ(grow.capacity() % 8, 7u);
}

TEST_F(String_Edit, TruncateKeepLastClear) {
    ORTU_String s("abcdefgh");
    s.truncate(20);
    EXPECT_STREQ(s.c_str(), "abcdefgh");
    s.truncate(5);
    EXPECT_STREQ(s.c_str(), "abcde");
    EXPECT_EQ(s.length(), 5u);
    s.keep_last(3);
    EXPECT_STREQ(s.c_str(), "cde");
    s.keep_last(10);
    EXPECT_STREQ(s.c_str(), "cde");
    size_t capacity = s.capacity();
    s.clear();
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(s.capacity(), capacity); // own storage stays for the next text
    ORTU_String shared("x1");
    ORTU_String other(shared);
    other.clear();
    EXPECT_STREQ(shared.c_str(), "x1");
    EXPECT_TRUE(other.shares_with(ORTU_String()));
}

TEST_F(String_Edit, TrimControlsAndBlanks) {
    ORTU_String s(" \t\r\n value 1 \x01\x1f ");
    s.trim();
    EXPECT_STREQ(s.c_str(), "value 1");
    ORTU_String all("  \t ");
    all.trim();
    EXPECT_TRUE(all.empty());
    // Bytes above 0x7F are characters, not blanks.
    ORTU_String high("\xE9t\xE9");
    high.trim();
    EXPECT_STREQ(high.c_str(), "\xE9t\xE9");
}

TEST_F(String_Edit, CaseChangesOnlyAsciiLetters) {
    ORTU_String s("Hello, W\xD6rld [@`{}]");
    s.to_lower();
    EXPECT_STREQ(s.c_str(), "hello, w\xD6rld [@`{}]");
    s.to_upper();
    EXPECT_STREQ(s.c_str(), "HELLO, W\xD6RLD [@`{}]");
}

TEST_F(String_Edit, AnsiOemConversion) {
    ORTU_String s("K\xE4se \xE9t\xE9 \xC4\xD6\xDC\xDF");
    s.ansi_to_oem();
    EXPECT_STREQ(s.c_str(), "K\x84se \x82t\x82 \x8E\x99\x9A\xE1");
    s.oem_to_ansi();
    EXPECT_STREQ(s.c_str(), "K\xE4se \xE9t\xE9 \xC4\xD6\xDC\xDF");
    // Characters the OEM page lacks take a look-alike.
    ORTU_String fit("\xC0\x80\x93");
    fit.ansi_to_oem();
    EXPECT_STREQ(fit.c_str(), "AE\"");
    // Box drawing has no ANSI counterpart.
    ORTU_String box("\xC9\xCD\xBB\xBA");
    box.oem_to_ansi();
    EXPECT_STREQ(box.c_str(), "+-+|");
    // Plain ASCII is not touched, and shared text not copied for nothing.
    ORTU_String plain("abc");
    ORTU_String copy(plain);
    copy.ansi_to_oem();
    EXPECT_TRUE(copy.shares_with(plain));
}

TEST_F(String_Format, CapacityGrows63To127To255) {
    std::vector<size_t> text_blocks;
    ORTU_String_Manager::set_event_hook(record_event);
    ORTU_String s;
    std::string text(200, 'q');
    EXPECT_EQ(s.format("%s", text.c_str()), 200);
    ORTU_String_Manager::set_event_hook(nullptr);
    for (const Event& e : events) {
        if (e.kind == ORTU_String_Manager::ev_heap_new || e.kind == ORTU_String_Manager::ev_reused)
            text_blocks.push_back(e.size);
    }
    // The 24-byte descriptor, then text blocks of 64, 128 and 256 bytes.
    EXPECT_EQ(text_blocks, (std::vector<size_t>{64, 24, 128, 256}));
    EXPECT_EQ(s.capacity(), 255u);
    EXPECT_EQ(s.length(), 200u);
    EXPECT_EQ(std::string(s.c_str()), text);
}

TEST_F(String_Format, ShortTextKeepsCapacity63) {
    ORTU_String s;
    EXPECT_EQ(s.format("%d-%s", 42, "x"), 4);
    EXPECT_STREQ(s.c_str(), "42-x");
    EXPECT_EQ(s.capacity(), 63u);
    ORTU_String exact;
    exact.format("%63d", 1);
    EXPECT_EQ(exact.capacity(), 63u);
    ORTU_String over;
    over.format("%64d", 1);
    EXPECT_EQ(over.capacity(), 127u);
}

TEST_F(String_Format, ReplacesTextAndMayReadItsOwn) {
    ORTU_String s("abc");
    s.format("%s-%s", s.c_str(), s.c_str());
    EXPECT_STREQ(s.c_str(), "abc-abc");
    ORTU_String copy(s);
    copy.format("new %d", 7);
    EXPECT_STREQ(s.c_str(), "abc-abc");
    EXPECT_STREQ(copy.c_str(), "new 7");
    s.format("%s", "");
    EXPECT_TRUE(s.empty());
}

TEST_F(String_Format, NullFormatIsReported) {
    ORTU_String s("keep");
    EXPECT_EQ(s.format(nullptr), -1);
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_NE(assertions[0].find("Condition: 'format_string'"), std::string::npos);
    EXPECT_STREQ(s.c_str(), "keep");
}

TEST_F(String_Format, ExceptionsCarryText) {
    try {
        throw ORTU_Exception("code %d, %s", 5, "bad");
    } catch (const ORTU_Exception& e) {
        EXPECT_STREQ(e.what(), "code 5, bad");
    }
}

TEST_F(String_Format, StringsWorkWhileTheManagerIsStopped) {
    ORTU_String_Manager::stop();
    // What exceptions raised outside a running runtime rely on.
    try {
        throw ORTU_Exception("stopped %s", "runtime");
    } catch (const ORTU_Exception& e) {
        EXPECT_STREQ(e.what(), "stopped runtime");
    }
    ORTU_String s("abc");
    s.append(std::string(500, 'd').c_str());
    EXPECT_EQ(s.length(), 503u);
    EXPECT_EQ(ORTU_String_Manager::total_allocations(), 0u);
    EXPECT_TRUE(assertions.empty());
    // A string made while stopped may die while running.
    ORTU_String_Manager::start();
    s = "x";
    EXPECT_TRUE(assertions.empty());
}

TEST_F(String_Format, AllocateWhileStoppedIsReported) {
    ORTU_String_Manager::stop();
    void* p = ORTU_String_Manager::allocate(8);
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_NE(assertions[0].find("string_manager_active_"), std::string::npos);
    ORTU_String_Manager::release(p, 8);
}

TEST_F(String_File, ReadsWholeFileUpToFirstZero) {
    char name[] = "/tmp/ortu_string_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "line one\nline two\0hidden", 24), 24);
    close(fd);
    ORTU_String s("old");
    EXPECT_TRUE(s.read_file(name));
    EXPECT_STREQ(s.c_str(), "line one\nline two");
    EXPECT_EQ(s.length(), 17u);
    EXPECT_GE(s.capacity(), 24u);
    unlink(name);

    ORTU_String missing("unchanged");
    EXPECT_FALSE(missing.read_file("/nonexistent/ortu/file"));
    EXPECT_STREQ(missing.c_str(), "unchanged");
}

TEST_F(String_File, ZeroSizeFilesGetOneRead) {
    ORTU_String s;
    ASSERT_TRUE(s.read_file("/proc/self/stat"));
    EXPECT_GT(s.length(), 0u);
    EXPECT_LE(s.length(), 4096u);
    EXPECT_NE(std::strchr(s.c_str(), ')'), nullptr);
}

TEST_F(String_File, NullNameIsReported) {
    ORTU_String s;
    EXPECT_FALSE(s.read_file(nullptr));
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_NE(assertions[0].find("file_name"), std::string::npos);
}
