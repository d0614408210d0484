#include "ORTU_Sync.h"

#include "ORTU_Assert.h"

#include <map>
#include <mutex>
#include <string>

#if defined(_WIN32)
#include <windows.h>

namespace {
CRITICAL_SECTION* critical_section(unsigned char* storage) {
    return reinterpret_cast<CRITICAL_SECTION*>(storage);
}
} // namespace

ORTU_Mutex::ORTU_Mutex() {
    static_assert(sizeof(CRITICAL_SECTION) <= sizeof cs_ && alignof(CRITICAL_SECTION) <= 8);
    ::InitializeCriticalSection(critical_section(cs_));
}

ORTU_Mutex::~ORTU_Mutex() {
    ::DeleteCriticalSection(critical_section(cs_));
}

void ORTU_Mutex::acquire() {
    ::EnterCriticalSection(critical_section(cs_));
}

void ORTU_Mutex::release() {
    ::LeaveCriticalSection(critical_section(cs_));
}
#else
ORTU_Mutex::ORTU_Mutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(&mutex_, &attr);
    pthread_mutexattr_destroy(&attr);
    ORTU_ASSERT(rc == 0);
}

ORTU_Mutex::~ORTU_Mutex() {
    pthread_mutex_destroy(&mutex_);
}

void ORTU_Mutex::acquire() {
    int rc = pthread_mutex_lock(&mutex_);
    ORTU_ASSERT(rc == 0);
}

void ORTU_Mutex::release() {
    int rc = pthread_mutex_unlock(&mutex_);
    ORTU_ASSERT(rc == 0);
}
#endif

// ---------------------------------------------------------------- events

namespace {

struct Event_Registry {
    std::mutex lock;
    std::map<std::string, std::weak_ptr<ORTU_Event::Core>> by_name;
};

// Lives to the very end of the process: events in static storage may be
// destroyed after every other static object.
Event_Registry& event_registry() {
    static Event_Registry* registry = new Event_Registry;
    return *registry;
}

} // namespace

#if defined(_WIN32)
// The system's event. Within the process, events of one name share one
// object through the registry, as elsewhere; the name also goes to the
// system, so other processes meet the same event.
struct ORTU_Event::Core {
    HANDLE handle = nullptr;
    bool manual = false;
    std::string name; // empty for an unnamed event
    ~Core();
    bool create(const char* system_name) {
        handle = ::CreateEventA(nullptr, manual ? TRUE : FALSE, FALSE, system_name);
        return handle != nullptr;
    }
    bool set() const { return ::SetEvent(handle) != FALSE; }
    bool reset() const { return ::ResetEvent(handle) != FALSE; }
    bool signalled() const {
        if (::WaitForSingleObject(handle, 0) != WAIT_OBJECT_0)
            return false;
        // The look took an automatic event's signal: put it back.
        if (!manual)
            ::SetEvent(handle);
        return true;
    }
    ORTU_Wait_Item item() const { return ORTU_Wait_Item{handle}; }
    void close() {
        if (handle)
            ::CloseHandle(handle);
        handle = nullptr;
    }
};
#else
struct ORTU_Event::Core {
    int fd = -1;
    bool manual = false;
    std::string name; // empty for an unnamed event
    ~Core();
    bool create(const char*) {
        fd = ORTU_OS::create_event_fd(0, false);
        return fd >= 0;
    }
    // The counter only ever needs to be non-zero; several sets before a
    // wait still count as one, as for the system's events.
    bool set() const { return ORTU_OS::signal_fd(fd, 1); }
    bool reset() const {
        if (fd < 0)
            return false;
        ORTU_OS::drain_fd(fd);
        return true;
    }
    bool signalled() const {
        struct pollfd p = {fd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
    }
    ORTU_Wait_Item item() const { return ORTU_Wait_Item{fd, POLLIN, !manual}; }
    void close() { ORTU_OS::close_fd(fd); }
};
#endif

ORTU_Event::Core::~Core() {
    close();
    if (!name.empty()) {
        Event_Registry& registry = event_registry();
        std::lock_guard<std::mutex> hold(registry.lock);
        auto it = registry.by_name.find(name);
        // Somebody may have built a new event of that name meanwhile.
        if (it != registry.by_name.end() && it->second.expired())
            registry.by_name.erase(it);
    }
}

ORTU_Event::ORTU_Event(bool manual_reset, const char* name) {
    auto make = [manual_reset](const char* system_name) {
        auto core = std::make_shared<Core>();
        core->manual = manual_reset;
        core->create(system_name);
        return core;
    };
    if (!name || !*name) {
        core_ = make(nullptr);
    } else {
        Event_Registry& registry = event_registry();
        std::lock_guard<std::mutex> hold(registry.lock);
        std::weak_ptr<Core>& slot = registry.by_name[name];
        core_ = slot.lock();
        if (!core_) {
            core_ = make(name);
            core_->name = name;
            slot = core_;
        }
    }
    ORTU_ASSERT(valid());
}

ORTU_Event::~ORTU_Event() {}

void ORTU_Event::set() {
    bool ok = core_->set();
    ORTU_ASSERT(ok);
}

void ORTU_Event::reset() {
    bool ok = core_->reset();
    ORTU_ASSERT(ok);
}

bool ORTU_Event::wait() {
    return wait(ORTU_INFINITE) == ORTU_WAIT_OBJECT_0;
}

ORTU_UINT32 ORTU_Event::wait(ORTU_UINT32 timeout) {
    ORTU_Wait_Item item = wait_item();
    ORTU_UINT32 res = ORTU_OS::wait_items(&item, 1, false, timeout);
    ORTU_ASSERT(res != ORTU_WAIT_FAILED);
    return res;
}

bool ORTU_Event::is_signalled() const {
    return core_->signalled();
}

bool ORTU_Event::manual_reset() const {
    return core_->manual;
}

#if defined(_WIN32)
void* ORTU_Event::handle() const {
    return core_->handle;
}
#else
int ORTU_Event::fd() const {
    return core_->fd;
}
#endif

ORTU_Wait_Item ORTU_Event::wait_item() const {
    return core_->item();
}

// ------------------------------------------------------------ semaphores

#if defined(_WIN32)
ORTU_Semaphore::ORTU_Semaphore(ORTU_INT32 initial, ORTU_INT32 maximum)
    : handle_(nullptr), maximum_(maximum) {
    ORTU_ASSERT(maximum > 0 && initial >= 0 && initial <= maximum);
    handle_ = ::CreateSemaphoreA(nullptr, initial, maximum, nullptr);
    ORTU_ASSERT(handle_ != nullptr);
}

ORTU_Semaphore::~ORTU_Semaphore() {
    if (handle_)
        ::CloseHandle(handle_);
}

bool ORTU_Semaphore::release(ORTU_INT32 release_count) {
    // A count of 0 releases nothing; the system would take it as done.
    bool ok = release_count > 0 && ::ReleaseSemaphore(handle_, release_count, 0) != FALSE;
    ORTU_ASSERT(ok);
    return ok;
}

ORTU_Wait_Item ORTU_Semaphore::wait_item() const {
    return ORTU_Wait_Item{handle_};
}
#else
ORTU_Semaphore::ORTU_Semaphore(ORTU_INT32 initial, ORTU_INT32 maximum)
    : fd_(-1), maximum_(maximum) {
    ORTU_ASSERT(maximum > 0 && initial >= 0 && initial <= maximum);
    fd_ = ORTU_OS::create_event_fd(initial > 0 ? static_cast<ORTU_UINT32>(initial) : 0, true);
    ORTU_ASSERT(fd_ >= 0);
}

ORTU_Semaphore::~ORTU_Semaphore() {
    ORTU_OS::close_fd(fd_);
}

bool ORTU_Semaphore::release(ORTU_INT32 release_count) {
    // The eventfd cannot tell its count without taking it, so the limit is
    // enforced per release; the runtime's own semaphores never come near it.
    bool ok = release_count > 0 && release_count <= maximum_ &&
              ORTU_OS::signal_fd(fd_, static_cast<ORTU_UINT64>(release_count));
    ORTU_ASSERT(ok);
    return ok;
}

ORTU_Wait_Item ORTU_Semaphore::wait_item() const {
    return ORTU_Wait_Item{fd_, POLLIN, true};
}
#endif

bool ORTU_Semaphore::wait() {
    ORTU_UINT32 res = wait(ORTU_INFINITE);
    ORTU_ASSERT(res == ORTU_WAIT_OBJECT_0);
    return res == ORTU_WAIT_OBJECT_0;
}

ORTU_UINT32 ORTU_Semaphore::wait(ORTU_UINT32 timeout) {
    ORTU_Wait_Item item = wait_item();
    ORTU_UINT32 res = ORTU_OS::wait_items(&item, 1, false, timeout);
    ORTU_ASSERT(res != ORTU_WAIT_FAILED);
    return res;
}

// ---------------------------------------------------------------- waits

ORTU_UINT32 ortu_wait_for_object(const ORTU_Waitable& o1, ORTU_UINT32 timeout) {
    ORTU_Wait_Item item = o1.wait_item();
    ORTU_UINT32 res = ORTU_OS::wait_items(&item, 1, false, timeout);
    ORTU_ASSERT(res != ORTU_WAIT_FAILED);
    return res;
}

ORTU_UINT32 ortu_wait_for_objects(const ORTU_Waitable& o1, const ORTU_Waitable& o2, bool wait_all,
                                  ORTU_UINT32 timeout) {
    ORTU_Wait_Item items[] = {o1.wait_item(), o2.wait_item()};
    return ORTU_OS::wait_items(items, 2, wait_all, timeout);
}

ORTU_UINT32 ortu_wait_for_objects(const ORTU_Waitable& o1, const ORTU_Waitable& o2,
                                  const ORTU_Waitable& o3, bool wait_all, ORTU_UINT32 timeout) {
    ORTU_Wait_Item items[] = {o1.wait_item(), o2.wait_item(), o3.wait_item()};
    return ORTU_OS::wait_items(items, 3, wait_all, timeout);
}

ORTU_UINT32 ortu_wait_for_objects(const ORTU_Waitable& o1, const ORTU_Waitable& o2,
                                  const ORTU_Waitable& o3, const ORTU_Waitable& o4, bool wait_all,
                                  ORTU_UINT32 timeout) {
    ORTU_Wait_Item items[] = {o1.wait_item(), o2.wait_item(), o3.wait_item(), o4.wait_item()};
    return ORTU_OS::wait_items(items, 4, wait_all, timeout);
}

ORTU_UINT32 ortu_wait_cancelable(const ORTU_Waitable& object, const ORTU_Waitable* cancel,
                                 ORTU_UINT32 timeout) {
    if (!cancel)
        return ortu_wait_for_object(object, timeout);
    return ortu_wait_for_objects(object, *cancel, false, timeout);
}

// ------------------------------------------------------------ condition

struct ORTU_Condition::Waiter {
    ORTU_Event event{false};
    bool signalled = false; // under list_lock_
};

ORTU_Condition::ORTU_Condition() {}

ORTU_Condition::~ORTU_Condition() {
    ORTU_Mutex_Holder hold(list_lock_);
    ORTU_ASSERT(waiters_.empty());
}

int ORTU_Condition::wait(const struct timespec* deadline) {
    Waiter waiter;
    {
        ORTU_Mutex_Holder hold(list_lock_);
        waiters_.push_back(&waiter);
    }
    mutex_.release();

    ORTU_UINT32 timeout = ORTU_INFINITE;
    if (deadline) {
        struct timespec now = ORTU_OS::system_time();
        ORTU_INT64 left = (static_cast<ORTU_INT64>(deadline->tv_sec) - now.tv_sec) * 1000000000LL +
                          (deadline->tv_nsec - now.tv_nsec);
        if (left <= 0) {
            timeout = 0;
        } else {
            // Rounded up: waking a little late is harmless, waking early
            // would report a timeout before the deadline.
            ORTU_INT64 ms = (left + 999999) / 1000000;
            timeout = ms >= ORTU_INFINITE ? ORTU_INFINITE - 1 : static_cast<ORTU_UINT32>(ms);
        }
    }
    ORTU_UINT32 res = waiter.event.wait(timeout);
    ORTU_ASSERT(res != ORTU_WAIT_FAILED);

    bool signalled;
    {
        // Taken even after a wake-up by the event: the signaller may still
        // be inside set() on our record, which lives on this stack.
        ORTU_Mutex_Holder hold(list_lock_);
        signalled = waiter.signalled;
        if (!signalled) {
            for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
                if (*it == &waiter) {
                    waiters_.erase(it);
                    break;
                }
            }
        }
    }
    mutex_.acquire();
    return signalled ? 0 : ORTU_WAIT_TIMED_OUT;
}

void ORTU_Condition::signal() {
    ORTU_Mutex_Holder hold(list_lock_);
    if (waiters_.empty())
        return;
    Waiter* waiter = waiters_.front();
    waiters_.pop_front();
    waiter->signalled = true;
    waiter->event.set();
}

void ORTU_Condition::broadcast() {
    ORTU_Mutex_Holder hold(list_lock_);
    while (!waiters_.empty()) {
        Waiter* waiter = waiters_.front();
        waiters_.pop_front();
        waiter->signalled = true;
        waiter->event.set();
    }
}

size_t ORTU_Condition::waiters() const {
    ORTU_Mutex_Holder hold(list_lock_);
    return waiters_.size();
}

// --------------------------------------------------- reader/writer lock

ORTU_RW_Lock::ORTU_RW_Lock()
    : guard_(0), readers_event_(true), writers_semaphore_(0, 0x7FFFFFFF),
      upgraders_semaphore_(0, 0x7FFFFFFF), readers_(0), readers_waiting_(0), upgraders_waiting_(0),
      writer_(0), writer_reqursion_(0), writers_waiting_(0) {}

ORTU_RW_Lock::~ORTU_RW_Lock() {
    ORTU_ASSERT(readers_ == 0);
    ORTU_ASSERT(readers_waiting_ == 0);
    ORTU_ASSERT(upgraders_waiting_ == 0);
    ORTU_ASSERT(writer_ == 0);
    ORTU_ASSERT(writer_reqursion_ == 0);
    ORTU_ASSERT(writers_waiting_ == 0);
}

void ORTU_RW_Lock::take_guard() const {
    for (;;) {
        ORTU_UINT32 __ = guard_.exchange(1, std::memory_order_acquire);
        ORTU_ASSERT(!__ || __ == 1);
        if (__ != 1)
            return;
        ORTU_OS::sleep(0);
    }
}

void ORTU_RW_Lock::release_guard() const {
    guard_.store(0, std::memory_order_release);
}

void ORTU_RW_Lock::read_lock() {
    const ORTU_UINT32 me = ORTU_OS::current_thread_id();
    take_guard();
    ORTU_ASSERT(writer_ != ORTU_OS::current_thread_id());
    if (writer_ == me) {
        // Waiting for ourselves would never end: the writer already has
        // everything a reader could want, so this counts as one more write
        // hold and the matching unlock balances it.
        ++writer_reqursion_;
        release_guard();
        return;
    }
    ++readers_waiting_;
    while (writers_waiting_ || upgraders_waiting_ || writer_) {
        readers_event_.reset();
        release_guard();
        bool ok = readers_event_.wait();
        ORTU_ASSERT(ok);
        take_guard();
    }
    --readers_waiting_;
    ++readers_;
    release_guard();
}

void ORTU_RW_Lock::write_lock() {
    const ORTU_UINT32 me = ORTU_OS::current_thread_id();
    take_guard();
    if (writer_ != me) {
        ++writers_waiting_;
        while (readers_ || upgraders_waiting_ || writer_) {
            release_guard();
            writers_semaphore_.wait();
            take_guard();
        }
        --writers_waiting_;
        writer_ = me;
    }
    ++writer_reqursion_;
    readers_event_.reset();
    release_guard();
}

void ORTU_RW_Lock::upgrade() {
    const ORTU_UINT32 me = ORTU_OS::current_thread_id();
    take_guard();
    if (writer_ == me) {
        release_guard();
        return;
    }
    ORTU_ASSERT(readers_ > 0);
    if (readers_ > 0)
        --readers_;
    ++upgraders_waiting_;
    while (readers_ || writer_) {
        release_guard();
        upgraders_semaphore_.wait();
        take_guard();
    }
    --upgraders_waiting_;
    writer_ = me;
    ++writer_reqursion_;
    readers_event_.reset();
    release_guard();
}

void ORTU_RW_Lock::unlock() {
    take_guard();
    if (writer_) {
        ORTU_ASSERT(writer_ == ORTU_OS::current_thread_id());
        ORTU_ASSERT(writer_reqursion_ > 0);
        if (writer_ == ORTU_OS::current_thread_id() && writer_reqursion_ > 0 &&
            --writer_reqursion_ == 0) {
            writer_ = 0;
            if (upgraders_waiting_)
                upgraders_semaphore_.release(1);
            else if (writers_waiting_)
                writers_semaphore_.release(1);
            else if (readers_waiting_)
                readers_event_.set();
        }
    } else {
        ORTU_ASSERT(readers_ > 0);
        if (readers_ > 0 && --readers_ == 0) {
            if (upgraders_waiting_)
                upgraders_semaphore_.release(1);
            else if (writers_waiting_)
                writers_semaphore_.release(1);
        }
    }
    release_guard();
}

ORTU_RW_Lock::Snapshot ORTU_RW_Lock::snapshot() const {
    take_guard();
    Snapshot s{readers_, readers_waiting_,  upgraders_waiting_,
               writer_,  writer_reqursion_, writers_waiting_};
    release_guard();
    return s;
}
