#include "QREX_Memory.h"
#include "qrex_test_support.h"

#include <cstring>

using namespace qrex_test;

TEST(QREX_Memory_Strdup, NullStaysNull) {
    EXPECT_EQ(qrex_strdup(nullptr), nullptr);
}

TEST(QREX_Memory_Strdup, CopiesIntoItsOwnStorage) {
    Allocation_Tracker tracker;
    const char* original = "hello";
    char* copy = qrex_strdup(original);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, original);
    EXPECT_STREQ(copy, "hello");
    EXPECT_EQ(Allocation_Tracker::largest(), 6u + QREX_BLOCK_OVERHEAD);
    qrex_free(copy);
}

TEST(QREX_Memory_Assign, ReplacesAndReleasesTheOldString) {
    char* s = nullptr;
    qrex_assign_string(&s, "first");
    EXPECT_STREQ(s, "first");
    qrex_assign_string(&s, "second");
    EXPECT_STREQ(s, "second");
    qrex_assign_string(&s, nullptr);
    EXPECT_EQ(s, nullptr);
}

TEST(QREX_Memory_Assign, AssigningAStringToItselfKeepsItsText) {
    char* s = qrex_strdup("same");
    qrex_assign_string(&s, s);
    EXPECT_STREQ(s, "same");
    qrex_free(s);
}

TEST(QREX_Memory_Bounded, CutsAndAlwaysTerminates) {
    char buffer[6];
    std::memset(buffer, 'x', sizeof buffer);
    qrex_copy_bounded(buffer, "abcdefgh", sizeof buffer);
    EXPECT_STREQ(buffer, "abcde");
    qrex_copy_bounded(buffer, "ab", sizeof buffer);
    EXPECT_STREQ(buffer, "ab");
    qrex_copy_bounded(buffer, nullptr, sizeof buffer);
    EXPECT_STREQ(buffer, "");
}

TEST(QREX_Memory_Bounded, SizeZeroTouchesNothing) {
    char buffer[2] = {'q', 'r'};
    qrex_copy_bounded(buffer, "abc", 0);
    EXPECT_EQ(buffer[0], 'q');
    EXPECT_EQ(buffer[1], 'r');
}

TEST(QREX_Memory_Allocator, FreeIgnoresNull) {
    qrex_free(nullptr);
    void* p = qrex_malloc(0);
    EXPECT_NE(p, nullptr);
    qrex_free(p);
}

namespace {
void* failing_heap(size_t) {
    return nullptr;
}
} // namespace

TEST(QREX_Memory_Allocator, HeapFailureIsOutOfMemory) {
    auto previous = ORTU_Malloc_Allocator::set_heap_function(failing_heap);
    EXPECT_THROW(qrex_malloc(100), ORTU_Out_Of_Memory);
    ORTU_Malloc_Allocator::set_heap_function(previous);
}
