#include "ORTU_OS.h"
#include "ORTU_Vector.h"

#include "ortu_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {

using ortu_test::assertion_reports;
using ortu_test::count_assertion;

class VectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        assertion_reports = 0;
        previous_ = ORTU_OS::set_assertion_handler(&count_assertion);
    }
    void TearDown() override { ORTU_OS::set_assertion_handler(previous_); }

    ORTU_OS::Assertion_Handler previous_ = nullptr;
};

struct Counted {
    explicit Counted(int* deaths) : deaths_(deaths) {}
    ~Counted() { ++*deaths_; }
    int* deaths_;
};

} // namespace

TEST_F(VectorTest, GrowsByADoublingStep) {
    ORTU_Pointer_Vector<int> v;
    std::vector<int> values(120);
    std::vector<ORTU_UINT32> seen;
    ORTU_UINT32 last = 0;
    for (int i = 0; i < 120; ++i) {
        EXPECT_EQ(v.push(&values[i]), static_cast<ORTU_UINT32>(i));
        if (v.capacity() != last) {
            last = v.capacity();
            seen.push_back(last);
        }
    }
    EXPECT_EQ(seen, (std::vector<ORTU_UINT32>{16, 48, 112, 240}));
    EXPECT_EQ(v.size(), 120u);
    for (int i = 0; i < 120; ++i)
        EXPECT_EQ(v[i], &values[i]);
}

TEST_F(VectorTest, CapacityBoundariesAt16And48) {
    ORTU_Pointer_Vector<int> v;
    int x = 0;
    for (int i = 0; i < 16; ++i)
        v.push(&x);
    EXPECT_EQ(v.capacity(), 16u);
    v.push(&x);
    EXPECT_EQ(v.capacity(), 48u);
    while (v.size() < 48)
        v.push(&x);
    EXPECT_EQ(v.capacity(), 48u);
    v.push(&x);
    EXPECT_EQ(v.capacity(), 112u);
}

TEST_F(VectorTest, StepStopsDoublingAtTheLimit) {
    ORTU_Void_Vector v(0x20000);
    int x = 0;
    v.push(&x);
    EXPECT_EQ(v.capacity(), 0x20000u);
    EXPECT_EQ(v.step(), 0x40000u);
    while (v.size() < v.capacity())
        v.push(&x);
    v.push(&x);
    EXPECT_EQ(v.capacity(), 0x60000u);
    EXPECT_EQ(v.step(), 0x40000u); // no longer doubles
}

TEST_F(VectorTest, RemoveAndCompactKeepOrder) {
    ORTU_Pointer_Vector<int> v;
    int a = 1, b = 2, c = 3, d = 4;
    v.push(&a);
    v.push(&b);
    v.push(&c);
    v.push(&d);
    EXPECT_EQ(v.remove(&b), 1);
    EXPECT_EQ(v.at(1), nullptr);
    EXPECT_EQ(v.size(), 4u);
    EXPECT_EQ(v.remove(&d), 3);
    v.compact();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], &a);
    EXPECT_EQ(v[1], &c);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(VectorTest, PutFillsTheFirstHole) {
    ORTU_Pointer_Vector<int> v;
    int a = 1, b = 2, c = 3, e = 5;
    v.push(&a);
    v.push(&b);
    v.push(&c);
    v.remove(&a);
    v.remove(&c);
    EXPECT_EQ(v.put(&e), 0u);
    EXPECT_EQ(v.put(&a), 2u);
    EXPECT_EQ(v.put(&c), 3u); // no hole left: appended
    EXPECT_EQ(v.size(), 4u);
}

TEST_F(VectorTest, RemovingAnAbsentPointerIsAnAssertion) {
    ORTU_Pointer_Vector<int> v;
    int a = 1, b = 2;
    v.push(&a);
    EXPECT_EQ(v.remove(&b), -1);
    EXPECT_EQ(assertion_reports, 1);
    EXPECT_EQ(v[0], &a);
}

TEST_F(VectorTest, IndexPastTheEndIsAnAssertion) {
    ORTU_Pointer_Vector<int> v;
    int a = 1;
    v.push(&a);
    v.reserve(100);
    EXPECT_EQ(v.at(1), nullptr); // inside the capacity, outside the items
    EXPECT_EQ(v[50], nullptr);
    EXPECT_EQ(assertion_reports, 2);
}

TEST_F(VectorTest, ReserveKeepsItemsAndSkipsGrowth) {
    ORTU_Pointer_Vector<int> v;
    int a = 1;
    v.push(&a);
    v.reserve(40);
    EXPECT_EQ(v.capacity(), 40u);
    EXPECT_EQ(v[0], &a);
    v.reserve(10); // never shrinks
    EXPECT_EQ(v.capacity(), 40u);
    while (v.size() < 40)
        v.push(&a);
    EXPECT_EQ(v.capacity(), 40u);
}

TEST_F(VectorTest, OwningVectorDeletesOnClearAndDestruction) {
    int deaths = 0;
    {
        ORTU_Pointer_Vector<Counted> v(16, true);
        v.push(new Counted(&deaths));
        v.push(nullptr);
        v.push(new Counted(&deaths));
        v.clear();
        EXPECT_EQ(deaths, 2);
        EXPECT_EQ(v.size(), 0u);
        v.push(new Counted(&deaths));
    }
    EXPECT_EQ(deaths, 3);
}

TEST_F(VectorTest, NonOwningVectorLeavesObjectsAlone) {
    int deaths = 0;
    Counted keep(&deaths);
    {
        ORTU_Pointer_Vector<Counted> v;
        v.push(&keep);
        v.clear();
    }
    EXPECT_EQ(deaths, 0);
}
