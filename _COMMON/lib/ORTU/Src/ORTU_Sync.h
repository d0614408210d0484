// Synchronization objects: mutex with a scoped holder, events, semaphores,
// waits on one to four objects, condition, reader/writer lock.
#pragma once

#include "ORTU_OS.h"
#include "ORTU_Types.h"

#include <atomic>
#include <deque>
#include <memory>
#include <time.h>
#if !defined(_WIN32)
#include <pthread.h>
#endif

// Recursive: the same thread may take it again; every take needs one release.
class ORTU_Mutex {
public:
    ORTU_Mutex();
    ~ORTU_Mutex();
    ORTU_Mutex(const ORTU_Mutex&) = delete;
    ORTU_Mutex& operator=(const ORTU_Mutex&) = delete;

    void acquire();
    void release();

private:
#if defined(_WIN32)
    // A critical section, kept opaque so that no system header comes in
    // through here (the size is checked where it is built).
    alignas(8) unsigned char cs_[sizeof(void*) == 4 ? 24 : 40];
#else
    pthread_mutex_t mutex_;
#endif
};

// Takes in its constructor, releases in its destructor.
class ORTU_Mutex_Holder {
public:
    explicit ORTU_Mutex_Holder(ORTU_Mutex& mutex) : mutex_(mutex) { mutex_.acquire(); }
    ~ORTU_Mutex_Holder() { mutex_.release(); }
    ORTU_Mutex_Holder(const ORTU_Mutex_Holder&) = delete;
    ORTU_Mutex_Holder& operator=(const ORTU_Mutex_Holder&) = delete;

private:
    ORTU_Mutex& mutex_;
};

// Anything a multi-object wait accepts: a kernel object's handle on
// Windows, elsewhere a descriptor that polls readable (or writable) when
// the object is signalled.
class ORTU_Waitable {
public:
    virtual ORTU_Wait_Item wait_item() const = 0;

protected:
    ~ORTU_Waitable() = default;
};

// An event: the system's own on Windows, elsewhere an eventfd, so that it
// can be waited on together with sockets. Manual-reset: stays signalled until reset. Automatic: a
// wait that it satisfies resets it. Events built with the same name in this process share one
// underlying object (the first one's kind wins), the way named system events do.
class ORTU_Event : public ORTU_Waitable {
public:
    explicit ORTU_Event(bool manual_reset = false, const char* name = nullptr);
    ~ORTU_Event();
    ORTU_Event(const ORTU_Event&) = delete;
    ORTU_Event& operator=(const ORTU_Event&) = delete;

    void set();
    void reset();
    // Without limit; true when the event was signalled.
    bool wait();
    // ORTU_WAIT_OBJECT_0 or ORTU_WAIT_TIMEOUT.
    ORTU_UINT32 wait(ORTU_UINT32 timeout);
    // Looks without waiting and without consuming an automatic event.
    bool is_signalled() const;

    bool manual_reset() const;
#if defined(_WIN32)
    bool valid() const {
        return handle() != nullptr;
    }
    void* handle() const;
#else
    bool valid() const {
        return fd() >= 0;
    }
    int fd() const;
#endif
    ORTU_Wait_Item wait_item() const override;

    struct Core; // the shared object behind one or more events of a name

private:
    std::shared_ptr<Core> core_;
};

// A counting semaphore: the system's own on Windows, elsewhere an eventfd
// in semaphore mode.
class ORTU_Semaphore : public ORTU_Waitable {
public:
    ORTU_Semaphore(ORTU_INT32 initial, ORTU_INT32 maximum);
    ~ORTU_Semaphore();
    ORTU_Semaphore(const ORTU_Semaphore&) = delete;
    ORTU_Semaphore& operator=(const ORTU_Semaphore&) = delete;

    // Without limit; true when a count was taken.
    bool wait();
    ORTU_UINT32 wait(ORTU_UINT32 timeout);
    // Adds release_count (1 to the maximum); false (after an assertion)
    // for a count the semaphore cannot take.
    bool release(ORTU_INT32 release_count = 1);

#if defined(_WIN32)
    bool valid() const {
        return handle_ != nullptr;
    }
    void* handle() const {
        return handle_;
    }
#else
    bool valid() const {
        return fd_ >= 0;
    }
    int fd() const {
        return fd_;
    }
#endif
    ORTU_Wait_Item wait_item() const override;

private:
#if defined(_WIN32)
    void* handle_;
#else
    int fd_;
#endif
    ORTU_INT32 maximum_;
};

// A descriptor of somebody else's (a socket) taking part in a wait: it is
// never consumed, and "events" says whether readability or writability
// counts.
#if defined(_WIN32)
// On Windows: any kernel object's handle (a socket's network event, an
// overlapped operation's event).
class ORTU_Handle_Waitable : public ORTU_Waitable {
public:
    explicit ORTU_Handle_Waitable(void* handle) : handle_(handle) {}
    ORTU_Wait_Item wait_item() const override { return ORTU_Wait_Item{handle_}; }

private:
    void* handle_;
};
#else
class ORTU_Fd_Waitable : public ORTU_Waitable {
public:
    ORTU_Fd_Waitable(int fd, short events) : fd_(fd), events_(events) {}
    ORTU_Wait_Item wait_item() const override { return ORTU_Wait_Item{fd_, events_, false}; }

private:
    int fd_;
    short events_;
};
#endif

// Waits on one to four objects. The result is the index of the signalled
// object (for wait_all, ORTU_WAIT_OBJECT_0 once all are), ORTU_WAIT_TIMEOUT
// when the timeout in milliseconds ran out, ORTU_WAIT_FAILED on a bad
// object. ORTU_INFINITE waits without limit.
ORTU_UINT32 ortu_wait_for_object(const ORTU_Waitable& o1, ORTU_UINT32 timeout);
ORTU_UINT32 ortu_wait_for_objects(const ORTU_Waitable& o1, const ORTU_Waitable& o2, bool wait_all,
                                  ORTU_UINT32 timeout);
ORTU_UINT32 ortu_wait_for_objects(const ORTU_Waitable& o1, const ORTU_Waitable& o2,
                                  const ORTU_Waitable& o3, bool wait_all, ORTU_UINT32 timeout);
ORTU_UINT32 ortu_wait_for_objects(const ORTU_Waitable& o1, const ORTU_Waitable& o2,
                                  const ORTU_Waitable& o3, const ORTU_Waitable& o4, bool wait_all,
                                  ORTU_UINT32 timeout);

// The wait of every blocking operation: the object, an optional cancel
// object, a timeout. 0 when the object was signalled, 1 when the cancel
// object was (the object wins when both are), ORTU_WAIT_TIMEOUT when the
// time ran out, ORTU_WAIT_FAILED on a bad object.
ORTU_UINT32 ortu_wait_cancelable(const ORTU_Waitable& object, const ORTU_Waitable* cancel,
                                 ORTU_UINT32 timeout);

// A condition in the classic form: the caller holds the condition's own
// lock around wait(); signal() wakes the oldest waiter, broadcast() every
// thread waiting at that moment.
class ORTU_Condition {
public:
    ORTU_Condition();
    ~ORTU_Condition();
    ORTU_Condition(const ORTU_Condition&) = delete;
    ORTU_Condition& operator=(const ORTU_Condition&) = delete;

    void acquire() { mutex_.acquire(); }
    void release() { mutex_.release(); }
    ORTU_Mutex& mutex() { return mutex_; }

    // deadline: seconds and nanoseconds since 1970, or null for no limit.
    // 0 when signalled, ORTU_WAIT_TIMED_OUT (10060) when the deadline came
    // first. The lock is held again on return either way.
    int wait(const struct timespec* deadline = nullptr);
    void signal();
    void broadcast();

    // Threads waiting right now (for diagnostics and tests).
    size_t waiters() const;

private:
    struct Waiter;

    ORTU_Mutex mutex_;
    mutable ORTU_Mutex list_lock_;
    std::deque<Waiter*> waiters_;
};

// Reader/writer lock. Waiting writers and upgraders go before new readers;
// a writer may take the lock again; a reader may upgrade to the writer.
// All bookkeeping is under a spin guard that is never held while sleeping.
class ORTU_RW_Lock {
public:
    ORTU_RW_Lock();
    ~ORTU_RW_Lock();
    ORTU_RW_Lock(const ORTU_RW_Lock&) = delete;
    ORTU_RW_Lock& operator=(const ORTU_RW_Lock&) = delete;

    void read_lock();
    void write_lock();
    // The caller's read hold becomes the write hold.
    void upgrade();
    // Ends the caller's read or write hold.
    void unlock();

    // A consistent picture of the bookkeeping, for diagnostics and tests.
    struct Snapshot {
        ORTU_INT32 readers, readers_waiting, upgraders_waiting;
        ORTU_UINT32 writer;
        ORTU_INT32 writer_recursion, writers_waiting;
    };
    Snapshot snapshot() const;

private:
    void take_guard() const;
    void release_guard() const;

    mutable std::atomic<ORTU_UINT32> guard_;
    ORTU_Event readers_event_;
    ORTU_Semaphore writers_semaphore_;
    ORTU_Semaphore upgraders_semaphore_;
    ORTU_INT32 readers_;
    ORTU_INT32 readers_waiting_;
    ORTU_INT32 upgraders_waiting_;
    ORTU_UINT32 writer_;
    ORTU_INT32 writer_reqursion_;
    ORTU_INT32 writers_waiting_;
};

// Scoped holds on a reader/writer lock.
class ORTU_Read_Holder {
public:
    explicit ORTU_Read_Holder(ORTU_RW_Lock& lock) : lock_(lock) { lock_.read_lock(); }
    ~ORTU_Read_Holder() { lock_.unlock(); }
    ORTU_Read_Holder(const ORTU_Read_Holder&) = delete;
    ORTU_Read_Holder& operator=(const ORTU_Read_Holder&) = delete;

private:
    ORTU_RW_Lock& lock_;
};

class ORTU_Write_Holder {
public:
    explicit ORTU_Write_Holder(ORTU_RW_Lock& lock) : lock_(lock) { lock_.write_lock(); }
    ~ORTU_Write_Holder() { lock_.unlock(); }
    ORTU_Write_Holder(const ORTU_Write_Holder&) = delete;
    ORTU_Write_Holder& operator=(const ORTU_Write_Holder&) = delete;

private:
    ORTU_RW_Lock& lock_;
};
