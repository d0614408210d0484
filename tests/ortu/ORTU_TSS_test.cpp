#include "ORTU_Exception.h"
#include "ORTU_OS.h"
#include "ORTU_Object_Manager.h"
#include "ORTU_TSS.h"
#include "ORTU_Thread_Win32.h"

#include "ortu_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using ortu_test::assertion_reports;
using ortu_test::count_assertion;

std::mutex output_lock;
std::string output;

std::atomic<int> live_values{0};

struct Value {
    Value() { ++live_values; }
    ~Value() { --live_values; }
    int number = 0;
};

class TSSTest : public ::testing::Test {
protected:
    void SetUp() override {
        assertion_reports = 0;
        live_values = 0;
        previous_handler_ = ORTU_OS::set_assertion_handler(&count_assertion);
        ortu_runtime_start();
    }
    void TearDown() override {
        ortu_runtime_stop();
        ORTU_OS::set_assertion_handler(previous_handler_);
    }
    ORTU_OS::Assertion_Handler previous_handler_ = nullptr;
};

// A runtime thread that puts a number into the storage, then holds until it
// is told to end.
class User_Thread : public ORTU_Thread {
public:
    User_Thread(ORTU_TSS_Adaptor<Value>& tss, int number)
        : ORTU_Thread("tss user"), tss_(tss), number_(number) {}
    ~User_Thread() override {}

    ORTU_Event stored{true};
    ORTU_Event may_end{true};
    std::atomic<Value*> value{nullptr};
    std::atomic<int> seen_again{0};

protected:
    void execute() override {
        tss_->number = number_;
        value = tss_.get();
        stored.set();
        may_end.wait();
        seen_again = tss_->number; // still this thread's value
    }

private:
    ORTU_TSS_Adaptor<Value>& tss_;
    int number_;
};

} // namespace

TEST_F(TSSTest, TwoRuntimeThreadsGetTwoValuesAndEndingOneReleasesOnlyIts) {
    ORTU_TSS_Adaptor<Value> tss;
    User_Thread a(tss, 1), b(tss, 2);
    a.start();
    b.start();
    a.stored.wait();
    b.stored.wait();
    EXPECT_NE(a.value.load(), b.value.load());
    EXPECT_EQ(tss.values(), 2u);
    EXPECT_EQ(live_values, 2);

    a.may_end.set();
    a.wait();
    EXPECT_EQ(a.seen_again, 1);
    EXPECT_EQ(tss.values(), 1u);
    EXPECT_EQ(live_values, 1);
    EXPECT_EQ(b.value.load()->number, 2); // the other value is untouched

    b.may_end.set();
    b.wait();
    EXPECT_EQ(b.seen_again, 2);
    EXPECT_EQ(live_values, 0);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(TSSTest, ValueIsBuiltOncePerThread) {
    ORTU_TSS_Adaptor<Value> tss;
    EXPECT_EQ(tss.peek(), nullptr);
    Value* first = tss.get();
    EXPECT_EQ(tss.get(), first);
    EXPECT_EQ(tss.peek(), first);
    EXPECT_EQ(live_values, 1);
}

TEST_F(TSSTest, ValuesOfOtherThreadsLiveUntilTheStorageGoes) {
    auto tss = std::make_unique<ORTU_TSS_Adaptor<Value>>();
    std::thread plain([&] { (*tss)->number = 5; });
    plain.join();
    tss->get();
    EXPECT_EQ(live_values, 2); // the plain thread's value is not released at its end
    tss.reset();
    EXPECT_EQ(live_values, 0);
}

TEST_F(TSSTest, StorageObjectsJoinAndLeaveTheList) {
    size_t before = ORTU_TSS::count();
    {
        ORTU_TSS_Adaptor<Value> a;
        ORTU_TSS_Adaptor<Value> b;
        ORTU_TSS_Adaptor<int> c;
        EXPECT_EQ(ORTU_TSS::count(), before + 3);
    }
    EXPECT_EQ(ORTU_TSS::count(), before);
    // Out of order, so that the middle of the list is unlinked too.
    auto a = std::make_unique<ORTU_TSS_Adaptor<Value>>();
    auto b = std::make_unique<ORTU_TSS_Adaptor<Value>>();
    auto c = std::make_unique<ORTU_TSS_Adaptor<Value>>();
    b.reset();
    a.reset();
    c.reset();
    EXPECT_EQ(ORTU_TSS::count(), before);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(TSSTest, StorageCreatedWhileAThreadRunsStillReleasesAtItsEnd) {
    struct Late_User : ORTU_Thread {
        Late_User() : ORTU_Thread("late") {}
        ORTU_TSS_Adaptor<Value>* tss = nullptr;
        ORTU_Event go{true};
        ORTU_Event used{true};
        void execute() override {
            go.wait();
            tss->get();
            used.set();
        }
    };
    Late_User t;
    t.start();
    ORTU_TSS_Adaptor<Value> tss;
    t.tss = &tss;
    t.go.set();
    t.used.wait();
    t.wait();
    EXPECT_EQ(tss.values(), 0u);
    EXPECT_EQ(live_values, 0);
}

TEST_F(TSSTest, RunningOutOfKeysRaisesTheError) {
    std::lock_guard<std::mutex> hold(output_lock);
    output.clear();
    auto previous_sink = ORTU_OS::set_debug_output_sink([](const char* text) { output += text; });
    const size_t before = ORTU_TSS::count();
    std::vector<std::unique_ptr<ORTU_TSS_Adaptor<int>>> all;
    std::string message;
    try {
        for (int i = 0; i < 100000; ++i)
            all.push_back(std::make_unique<ORTU_TSS_Adaptor<int>>());
    } catch (const ORTU_Exception& e) {
        message = e.what();
    }
    ORTU_OS::set_debug_output_sink(previous_sink);
    EXPECT_EQ(message, "Cannot allocate TSS key");
    EXPECT_NE(output.find("Cannot allocate TSS key\n"), std::string::npos);
    EXPECT_FALSE(all.empty());
    // The failed one never joined the list.
    EXPECT_EQ(ORTU_TSS::count(), before + all.size());
    all.clear();
    EXPECT_EQ(ORTU_TSS::count(), before);
    // The keys are back: a new storage object works again.
    ORTU_TSS_Adaptor<int> again;
    *again.get() = 3;
    EXPECT_EQ(*again.get(), 3);
    EXPECT_EQ(assertion_reports, 0);
}
