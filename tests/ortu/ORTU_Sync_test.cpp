#include "ORTU_OS.h"
#include "ORTU_Sync.h"

#include "ortu_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>
#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

using ortu_test::assertion_reports;
using ortu_test::count_assertion;

class SyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        assertion_reports = 0;
        previous_ = ORTU_OS::set_assertion_handler(&count_assertion);
    }
    void TearDown() override { ORTU_OS::set_assertion_handler(previous_); }

    ORTU_OS::Assertion_Handler previous_ = nullptr;
};

// Polls until the condition holds; false after about ten seconds, which only
// a hang reaches.
bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 10000; ++i) {
        if (condition())
            return true;
        ORTU_OS::sleep(1);
    }
    return condition();
}

#if !defined(_WIN32)
// The descriptors of the POSIX layer.
struct Pipe {
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            read_end = fds[0];
            write_end = fds[1];
        }
    }
    ~Pipe() {
        ::close(read_end);
        ::close(write_end);
    }
    int read_end = -1;
    int write_end = -1;
};
#endif

} // namespace

// ------------------------------------------------------------------ events

TEST_F(SyncTest, ManualResetEventStaysSignalledUntilReset) {
    ORTU_Event e(true);
    EXPECT_TRUE(e.manual_reset());
    EXPECT_EQ(e.wait(0), ORTU_WAIT_TIMEOUT);
    e.set();
    EXPECT_EQ(e.wait(0), ORTU_WAIT_OBJECT_0);
    EXPECT_EQ(e.wait(0), ORTU_WAIT_OBJECT_0);
    EXPECT_TRUE(e.is_signalled());
    e.reset();
    EXPECT_FALSE(e.is_signalled());
    EXPECT_EQ(e.wait(10), ORTU_WAIT_TIMEOUT);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(SyncTest, AutomaticEventIsConsumedByOneWait) {
    ORTU_Event e(false);
    e.set();
    e.set(); // two sets before a wait count as one
    EXPECT_TRUE(e.is_signalled());
    EXPECT_TRUE(e.is_signalled()); // looking does not consume
    EXPECT_EQ(e.wait(0), ORTU_WAIT_OBJECT_0);
    EXPECT_EQ(e.wait(0), ORTU_WAIT_TIMEOUT);
}

TEST_F(SyncTest, TimedOutWaitLastsAtLeastTheTimeout) {
    ORTU_Event e(false);
    ORTU_UINT32 before = ORTU_OS::tick_count();
    EXPECT_EQ(e.wait(30), ORTU_WAIT_TIMEOUT);
    EXPECT_GE(ORTU_OS::tick_count() - before, 29u);
}

TEST_F(SyncTest, EventWakesAWaiterWithoutLimit) {
    ORTU_Event e(false);
    std::atomic<bool> woke{false};
    std::thread t([&] { woke = e.wait(); });
    e.set();
    t.join();
    EXPECT_TRUE(woke);
    EXPECT_FALSE(e.is_signalled()); // the waiter took it
}

TEST_F(SyncTest, EventsOfOneNameShareOneObject) {
    ORTU_Event a(true, "ortu-test-shared");
    ORTU_Event b(false, "ortu-test-shared"); // the first kind wins
    EXPECT_TRUE(b.manual_reset());
    a.set();
    EXPECT_EQ(b.wait(0), ORTU_WAIT_OBJECT_0);
    b.reset();
    EXPECT_FALSE(a.is_signalled());

    ORTU_Event other(true, "ortu-test-other");
    a.set();
    EXPECT_FALSE(other.is_signalled());
}

TEST_F(SyncTest, NameIsFreeAgainWhenItsLastEventGoes) {
    {
        ORTU_Event a(true, "ortu-test-transient");
        a.set();
    }
    ORTU_Event b(false, "ortu-test-transient");
    EXPECT_FALSE(b.manual_reset());
    EXPECT_FALSE(b.is_signalled());
}

#if !defined(_WIN32)
TEST_F(SyncTest, EventDescriptorPollsReadableWhenSet) {
    ORTU_Event e(true);
    ASSERT_GE(e.fd(), 0);
    struct pollfd p = {e.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    e.set();
    EXPECT_EQ(::poll(&p, 1, 0), 1);
}
#endif

// -------------------------------------------------------------- semaphores

TEST_F(SyncTest, SemaphoreCountsWaits) {
    ORTU_Semaphore s(2, 10);
    EXPECT_EQ(s.wait(0), ORTU_WAIT_OBJECT_0);
    EXPECT_EQ(s.wait(0), ORTU_WAIT_OBJECT_0);
    EXPECT_EQ(s.wait(0), ORTU_WAIT_TIMEOUT);
    EXPECT_TRUE(s.release(3));
    EXPECT_EQ(s.wait(0), ORTU_WAIT_OBJECT_0);
    EXPECT_EQ(s.wait(0), ORTU_WAIT_OBJECT_0);
    EXPECT_EQ(s.wait(0), ORTU_WAIT_OBJECT_0);
    EXPECT_EQ(s.wait(0), ORTU_WAIT_TIMEOUT);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(SyncTest, SemaphoreReleaseWakesThatManyThreads) {
    ORTU_Semaphore s(0, 100);
    std::atomic<int> passed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 5; ++i)
        threads.emplace_back([&] {
            if (s.wait())
                ++passed;
        });
    s.release(3);
    ASSERT_TRUE(eventually([&] { return passed == 3; }));
    EXPECT_EQ(s.wait(0), ORTU_WAIT_TIMEOUT); // nothing left over
    s.release(2);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(passed, 5);
}

TEST_F(SyncTest, SemaphoreRefusesBadReleaseCounts) {
    ORTU_Semaphore s(0, 4);
    EXPECT_FALSE(s.release(0));
    EXPECT_FALSE(s.release(5));
    EXPECT_FALSE(s.release(-1));
    EXPECT_EQ(assertion_reports, 3);
    EXPECT_EQ(s.wait(0), ORTU_WAIT_TIMEOUT);
}

// ------------------------------------------------------------------ waits

TEST_F(SyncTest, WaitAnyReturnsTheSignalledIndex) {
    ORTU_Event a(true), b(true), c(true), d(true);
    EXPECT_EQ(ortu_wait_for_objects(a, b, false, 0), ORTU_WAIT_TIMEOUT);
    b.set();
    EXPECT_EQ(ortu_wait_for_objects(a, b, false, 0), 1u);
    d.set();
    EXPECT_EQ(ortu_wait_for_objects(a, c, d, false, 0), 2u);
    EXPECT_EQ(ortu_wait_for_objects(a, c, b, d, false, 0), 2u); // the lowest signalled
    a.set();
    EXPECT_EQ(ortu_wait_for_objects(a, b, c, d, false, 0), 0u);
    EXPECT_EQ(ortu_wait_for_object(c, 0), ORTU_WAIT_TIMEOUT);
}

TEST_F(SyncTest, WaitAnyConsumesOnlyTheAutomaticEventItReturns) {
    ORTU_Event a(false), b(false);
    a.set();
    b.set();
    EXPECT_EQ(ortu_wait_for_objects(a, b, false, 0), 0u);
    EXPECT_FALSE(a.is_signalled());
    EXPECT_TRUE(b.is_signalled());
    EXPECT_EQ(ortu_wait_for_objects(a, b, false, 0), 1u);
    EXPECT_EQ(ortu_wait_for_objects(a, b, false, 0), ORTU_WAIT_TIMEOUT);
}

TEST_F(SyncTest, WaitAllNeedsEveryObjectAndTakesNothingUntilThen) {
    ORTU_Event a(false), b(true);
    ORTU_Semaphore s(1, 5);
    a.set();
    EXPECT_EQ(ortu_wait_for_objects(a, b, s, true, 20), ORTU_WAIT_TIMEOUT);
    EXPECT_TRUE(a.is_signalled()); // not consumed by the failed wait
    EXPECT_EQ(s.wait(0), ORTU_WAIT_OBJECT_0);
    s.release(1);

    b.set();
    EXPECT_EQ(ortu_wait_for_objects(a, b, s, true, 0), ORTU_WAIT_OBJECT_0);
    EXPECT_FALSE(a.is_signalled()); // automatic: consumed
    EXPECT_TRUE(b.is_signalled());  // manual: stays
    EXPECT_EQ(s.wait(0), ORTU_WAIT_TIMEOUT);
}

TEST_F(SyncTest, WaitAllEndsWhenTheLastObjectComesFromAnotherThread) {
    ORTU_Event a(true), b(false), c(false), d(true);
    a.set();
    c.set();
    std::thread t([&] {
        ORTU_OS::sleep(5);
        d.set();
        ORTU_OS::sleep(5);
        b.set();
    });
    EXPECT_EQ(ortu_wait_for_objects(a, b, c, d, true, ORTU_INFINITE), ORTU_WAIT_OBJECT_0);
    t.join();
    EXPECT_FALSE(b.is_signalled());
    EXPECT_FALSE(c.is_signalled());
}

TEST_F(SyncTest, CancelableWaitTellsObjectCancelAndTimeoutApart) {
    ORTU_Event object(true), cancel(true);
    EXPECT_EQ(ortu_wait_cancelable(object, &cancel, 10), ORTU_WAIT_TIMEOUT);
    EXPECT_EQ(ortu_wait_cancelable(object, nullptr, 0), ORTU_WAIT_TIMEOUT);

    std::thread t([&] {
        ORTU_OS::sleep(5);
        cancel.set();
    });
    EXPECT_EQ(ortu_wait_cancelable(object, &cancel, ORTU_INFINITE), 1u);
    t.join();

    object.set();
    EXPECT_EQ(ortu_wait_cancelable(object, &cancel, 0), 0u); // the object wins
    cancel.reset();
    EXPECT_EQ(ortu_wait_cancelable(object, nullptr, ORTU_INFINITE), 0u);
}

#if !defined(_WIN32)
TEST_F(SyncTest, RawDescriptorWaitsWithEventsAndIsNotConsumed) {
    Pipe pipe;
    ASSERT_GE(pipe.read_end, 0);
    ORTU_Fd_Waitable readable(pipe.read_end, POLLIN);
    ORTU_Event cancel(true);
    EXPECT_EQ(ortu_wait_cancelable(readable, &cancel, 0), ORTU_WAIT_TIMEOUT);
    ASSERT_EQ(::write(pipe.write_end, "x", 1), 1);
    EXPECT_EQ(ortu_wait_cancelable(readable, &cancel, ORTU_INFINITE), 0u);
    EXPECT_EQ(ortu_wait_cancelable(readable, &cancel, 0), 0u); // data still there
    char c;
    ASSERT_EQ(::read(pipe.read_end, &c, 1), 1);
    EXPECT_EQ(ortu_wait_cancelable(readable, &cancel, 0), ORTU_WAIT_TIMEOUT);

    ORTU_Fd_Waitable writable(pipe.write_end, POLLOUT);
    EXPECT_EQ(ortu_wait_for_objects(readable, writable, false, 0), 1u);
}

TEST_F(SyncTest, WaitOnABadDescriptorFails) {
    ORTU_Wait_Item bad = {1 << 20, POLLIN, false};
    EXPECT_EQ(ORTU_OS::wait_fds(&bad, 1, false, 0), ORTU_WAIT_FAILED);
    EXPECT_EQ(ORTU_OS::wait_fds(&bad, 0, false, 0), ORTU_WAIT_FAILED);
    EXPECT_EQ(ORTU_OS::wait_fds(nullptr, 1, false, 0), ORTU_WAIT_FAILED);
}
#endif

TEST_F(SyncTest, ManyWaitersOnOneAutomaticEventEachGetOneSet) {
    ORTU_Event e(false);
    std::atomic<int> woke{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            if (e.wait())
                ++woke;
        });
    for (int i = 1; i <= 4; ++i) {
        e.set();
        ASSERT_TRUE(eventually([&] { return woke == i; })) << i;
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(woke, 4);
}

// -------------------------------------------------------------- condition

TEST_F(SyncTest, ConditionDeadlineInThePastTimesOutAndKeepsTheLock) {
    ORTU_Condition cond;
    struct timespec past = ORTU_OS::system_time();
    past.tv_sec -= 1;
    cond.acquire();
    EXPECT_EQ(cond.wait(&past), ORTU_WAIT_TIMED_OUT);
    EXPECT_EQ(cond.waiters(), 0u);
    cond.release(); // would be reported if the lock were not held again
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(SyncTest, ConditionSignalIsNotRemembered) {
    ORTU_Condition cond;
    cond.signal();
    cond.broadcast();
    struct timespec soon = ORTU_OS::system_time();
    cond.acquire();
    EXPECT_EQ(cond.wait(&soon), ORTU_WAIT_TIMED_OUT);
    cond.release();
}

TEST_F(SyncTest, ConditionSignalWakesTheOldestWaiterOnly) {
    ORTU_Condition cond;
    std::vector<int> order;
    std::mutex order_lock;
    auto waiter = [&](int n) {
        cond.acquire();
        int rc = cond.wait();
        cond.release();
        std::lock_guard<std::mutex> hold(order_lock);
        order.push_back(rc == 0 ? n : -n);
    };
    std::thread first(waiter, 1);
    ASSERT_TRUE(eventually([&] { return cond.waiters() == 1; }));
    std::thread second(waiter, 2);
    ASSERT_TRUE(eventually([&] { return cond.waiters() == 2; }));

    cond.signal();
    first.join();
    EXPECT_EQ(cond.waiters(), 1u);
    cond.signal();
    second.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(SyncTest, BroadcastWakesOnlyThoseWaitingAtThatMoment) {
    ORTU_Condition cond;
    std::atomic<int> signalled{0};
    std::vector<std::thread> early;
    for (int i = 0; i < 3; ++i)
        early.emplace_back([&] {
            cond.acquire();
            if (cond.wait() == 0)
                ++signalled;
            cond.release();
        });
    ASSERT_TRUE(eventually([&] { return cond.waiters() == 3; }));
    cond.broadcast();
    EXPECT_EQ(cond.waiters(), 0u);

    int late_result = -1;
    std::thread late([&] {
        struct timespec deadline = ORTU_OS::system_time();
        deadline.tv_nsec += 30 * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        cond.acquire();
        late_result = cond.wait(&deadline);
        cond.release();
    });
    for (auto& t : early)
        t.join();
    late.join();
    EXPECT_EQ(signalled, 3);
    EXPECT_EQ(late_result, ORTU_WAIT_TIMED_OUT);
}

TEST_F(SyncTest, ConditionSignalBeforeTheDeadlineReturnsZero) {
    ORTU_Condition cond;
    int result = -1;
    std::thread t([&] {
        struct timespec deadline = ORTU_OS::system_time();
        deadline.tv_sec += 60;
        cond.acquire();
        result = cond.wait(&deadline);
        cond.release();
    });
    ASSERT_TRUE(eventually([&] { return cond.waiters() == 1; }));
    cond.signal();
    t.join();
    EXPECT_EQ(result, 0);
}

TEST_F(SyncTest, ConditionProtectsAPredicate) {
    // The classic use: a queue handed from producers to consumers.
    ORTU_Condition cond;
    int items = 0, consumed = 0;
    const int per_producer = 200;
    std::vector<std::thread> threads;
    for (int p = 0; p < 2; ++p)
        threads.emplace_back([&] {
            for (int i = 0; i < per_producer; ++i) {
                cond.acquire();
                ++items;
                cond.signal();
                cond.release();
            }
        });
    for (int c = 0; c < 2; ++c)
        threads.emplace_back([&] {
            for (int i = 0; i < per_producer; ++i) {
                cond.acquire();
                while (items == 0)
                    cond.wait();
                --items;
                ++consumed;
                cond.release();
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(items, 0);
    EXPECT_EQ(consumed, 2 * per_producer);
}

// ------------------------------------------------------ reader/writer lock

namespace {

struct Thread_Id_Box {
    std::atomic<ORTU_UINT32> id{0};
};

} // namespace

TEST_F(SyncTest, RecursiveWriterNeedsAsManyUnlocks) {
    ORTU_RW_Lock lock;
    lock.write_lock();
    lock.write_lock();
    lock.write_lock();
    EXPECT_EQ(lock.snapshot().writer_recursion, 3);

    std::atomic<bool> reading{false};
    std::thread reader([&] {
        lock.read_lock();
        reading = true;
        lock.unlock();
    });
    ASSERT_TRUE(eventually([&] { return lock.snapshot().readers_waiting == 1; }));
    lock.unlock();
    lock.unlock();
    EXPECT_EQ(lock.snapshot().readers_waiting, 1);
    EXPECT_FALSE(reading);
    lock.unlock();
    reader.join();
    EXPECT_TRUE(reading);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(SyncTest, ReadLockByTheWriterIsAnAssertionAndDoesNotHang) {
    ORTU_RW_Lock lock;
    lock.write_lock();
    lock.read_lock();
    EXPECT_EQ(assertion_reports, 1);
    lock.unlock();
    lock.unlock();
    ORTU_RW_Lock::Snapshot s = lock.snapshot();
    EXPECT_EQ(s.writer, 0u);
    EXPECT_EQ(s.readers, 0);
    EXPECT_EQ(s.readers_waiting, 0);
}

TEST_F(SyncTest, WaitingWriterGoesBeforeANewReader) {
    ORTU_RW_Lock lock;
    std::vector<char> order;
    std::mutex order_lock;
    auto note = [&](char c) {
        std::lock_guard<std::mutex> hold(order_lock);
        order.push_back(c);
    };
    lock.read_lock();
    std::thread writer([&] {
        lock.write_lock();
        note('W');
        lock.unlock();
    });
    ASSERT_TRUE(eventually([&] { return lock.snapshot().writers_waiting == 1; }));
    std::thread reader([&] {
        lock.read_lock();
        note('R');
        lock.unlock();
    });
    ASSERT_TRUE(eventually([&] { return lock.snapshot().readers_waiting == 1; }));
    EXPECT_EQ(lock.snapshot().readers, 1); // the second reader did not get in
    lock.unlock();
    writer.join();
    reader.join();
    EXPECT_EQ(order, (std::vector<char>{'W', 'R'}));
}

TEST_F(SyncTest, UpgradeWaitsForTheOtherReader) {
    ORTU_RW_Lock lock;
    Thread_Id_Box upgrader_id;
    std::atomic<bool> upgraded{false};
    lock.read_lock(); // the other reader
    std::thread upgrader([&] {
        upgrader_id.id = ORTU_OS::current_thread_id();
        lock.read_lock();
        lock.upgrade();
        upgraded = true;
        EXPECT_EQ(lock.snapshot().writer, ORTU_OS::current_thread_id());
        lock.unlock();
    });
    ASSERT_TRUE(eventually([&] { return lock.snapshot().upgraders_waiting == 1; }));
    EXPECT_FALSE(upgraded);
    EXPECT_EQ(lock.snapshot().readers, 1);
    lock.unlock();
    upgrader.join();
    EXPECT_TRUE(upgraded);
    EXPECT_EQ(lock.snapshot().writer, 0u);
}

TEST_F(SyncTest, UpgradeByTheWriterIsANoOp) {
    ORTU_RW_Lock lock;
    lock.write_lock();
    lock.upgrade();
    EXPECT_EQ(lock.snapshot().writer_recursion, 1);
    lock.unlock();
    EXPECT_EQ(lock.snapshot().writer, 0u);
    EXPECT_EQ(assertion_reports, 0);
}

TEST_F(SyncTest, WriterUnlockPrefersAWaitingUpgraderToAWaitingWriter) {
    // Two readers upgrade: the second becomes the writer at once (the first
    // already gave up its read hold), the first waits. A writer queues up.
    // When the second unlocks, the waiting upgrader must go first.
    ORTU_RW_Lock lock;
    std::vector<char> order;
    std::mutex order_lock;
    auto note = [&](char c) {
        std::lock_guard<std::mutex> hold(order_lock);
        order.push_back(c);
    };
    ORTU_Event second_may_upgrade(true), second_may_unlock(true);

    std::thread first([&] {
        lock.read_lock();
        ASSERT_TRUE(eventually([&] { return lock.snapshot().readers == 2; }));
        lock.upgrade();
        note('U');
        lock.unlock();
    });
    std::thread second([&] {
        lock.read_lock();
        second_may_upgrade.wait();
        lock.upgrade();
        note('S');
        second_may_unlock.wait();
        lock.unlock();
    });
    ASSERT_TRUE(eventually([&] { return lock.snapshot().upgraders_waiting == 1; }));
    std::thread writer([&] {
        lock.write_lock();
        note('W');
        lock.unlock();
    });
    ASSERT_TRUE(eventually([&] { return lock.snapshot().writers_waiting == 1; }));
    second_may_upgrade.set();
    ASSERT_TRUE(eventually([&] { return lock.snapshot().writer != 0; }));
    EXPECT_EQ(lock.snapshot().upgraders_waiting, 1);
    EXPECT_EQ(lock.snapshot().writers_waiting, 1);
    second_may_unlock.set();
    first.join();
    second.join();
    writer.join();
    EXPECT_EQ(order, (std::vector<char>{'S', 'U', 'W'}));
}

TEST_F(SyncTest, LastReaderOutPrefersTheUpgrader) {
    ORTU_RW_Lock lock;
    std::vector<char> order;
    std::mutex order_lock;
    auto note = [&](char c) {
        std::lock_guard<std::mutex> hold(order_lock);
        order.push_back(c);
    };
    lock.read_lock();
    std::thread upgrader([&] {
        lock.read_lock();
        lock.upgrade();
        note('U');
        lock.unlock();
    });
    ASSERT_TRUE(eventually([&] { return lock.snapshot().upgraders_waiting == 1; }));
    std::thread writer([&] {
        lock.write_lock();
        note('W');
        lock.unlock();
    });
    ASSERT_TRUE(eventually([&] { return lock.snapshot().writers_waiting == 1; }));
    lock.unlock();
    upgrader.join();
    writer.join();
    EXPECT_EQ(order, (std::vector<char>{'U', 'W'}));
}

TEST_F(SyncTest, WriterUnlockReleasesEveryWaitingReader) {
    ORTU_RW_Lock lock;
    lock.write_lock();
    std::atomic<int> inside{0};
    std::atomic<int> most_at_once{0};
    ORTU_Event leave(true);
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back([&] {
            lock.read_lock();
            int now = ++inside;
            int seen = most_at_once;
            while (now > seen && !most_at_once.compare_exchange_weak(seen, now)) {
            }
            leave.wait();
            --inside;
            lock.unlock();
        });
    ASSERT_TRUE(eventually([&] { return lock.snapshot().readers_waiting == 3; }));
    lock.unlock();
    ASSERT_TRUE(eventually([&] { return inside == 3; }));
    leave.set();
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(most_at_once, 3);
}

TEST_F(SyncTest, UnlockWithoutAHoldIsAnAssertion) {
    ORTU_RW_Lock lock;
    lock.unlock();
    EXPECT_EQ(assertion_reports, 1);
    EXPECT_EQ(lock.snapshot().readers, 0);
}

TEST_F(SyncTest, UnlockByAThreadThatIsNotTheWriterIsAnAssertion) {
    ORTU_RW_Lock lock;
    lock.write_lock();
    std::thread t([&] { lock.unlock(); });
    t.join();
    EXPECT_EQ(assertion_reports, 1);
    EXPECT_EQ(lock.snapshot().writer, ORTU_OS::current_thread_id()); // still ours
    lock.unlock();
    EXPECT_EQ(lock.snapshot().writer, 0u);
}

TEST_F(SyncTest, DestroyingABusyLockIsReported) {
    auto lock = std::make_unique<ORTU_RW_Lock>();
    lock->read_lock();
    lock.reset();
    EXPECT_EQ(assertion_reports, 1);
}

TEST_F(SyncTest, ReadersAndWritersNeverOverlap) {
    ORTU_RW_Lock lock;
    std::atomic<int> readers{0}, writers{0}, violations{0};
    long shared = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                if ((i + t) % 3 == 0) {
                    lock.write_lock();
                    if (++writers != 1 || readers != 0)
                        ++violations;
                    ++shared;
                    --writers;
                    lock.unlock();
                } else if ((i + t) % 7 == 0) {
                    lock.read_lock();
                    lock.upgrade();
                    if (++writers != 1 || readers != 0)
                        ++violations;
                    ++shared;
                    --writers;
                    lock.unlock();
                } else {
                    lock.read_lock();
                    ++readers;
                    if (writers != 0)
                        ++violations;
                    --readers;
                    lock.unlock();
                }
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(violations, 0);
    EXPECT_GT(shared, 0);
    ORTU_RW_Lock::Snapshot s = lock.snapshot();
    EXPECT_EQ(s.readers + s.readers_waiting + s.upgraders_waiting + s.writers_waiting, 0);
    EXPECT_EQ(assertion_reports, 0);
}

// ------------------------------------------------------------------ mutex

TEST_F(SyncTest, MutexIsRecursive) {
    ORTU_Mutex m;
    std::atomic<bool> got{false};
    m.acquire();
    { ORTU_Mutex_Holder again(m); }
    std::thread t([&] {
        ORTU_Mutex_Holder hold(m);
        got = true;
    });
    ORTU_OS::sleep(10);
    EXPECT_FALSE(got); // still held once
    m.release();
    t.join();
    EXPECT_TRUE(got);
}
