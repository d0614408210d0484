#include "ORTU_Thread_Win32.h"

#include "ORTU_Assert.h"
#include "ORTU_Exception.h"
#include "ORTU_TSS.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cxxabi.h>
#include <new>
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

std::atomic<ORTU_Thread::Exit_Hook> exit_hook{nullptr};

#if defined(_WIN32)
// The value is the system's own thread priority (THREAD_PRIORITY_*); one
// the system refuses is kept but not applied, as elsewhere.
void apply_priority(ORTU_UINT32 tid, int priority) {
    HANDLE thread = ::OpenThread(THREAD_SET_INFORMATION, FALSE, tid);
    if (!thread)
        return;
    ::SetThreadPriority(thread, priority);
    ::CloseHandle(thread);
}
#else
// Only a lower priority is applied to the system thread: raising one needs
// privileges a service should not count on, and a refusal must not turn
// into a failure. The value itself is always kept.
void apply_priority(ORTU_UINT32 tid, int priority) {
    if (priority >= 0)
        return;
    int nice_value = -priority > 19 ? 19 : -priority;
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice_value);
}

size_t usable_stack_size(ORTU_UINT32 requested) {
    size_t size = requested;
    if (size < static_cast<size_t>(PTHREAD_STACK_MIN))
        size = PTHREAD_STACK_MIN;
    size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}
#endif

} // namespace

// ----------------------------------------------------------- ORTU_Thread

ORTU_Thread::ORTU_Thread(const char* name, int priority, ORTU_UINT32 stack_size)
    : handle_(), id_(0), state_(ts_waiting), stop_event_(true), auto_delete_(false),
      priority_(priority), stack_size_(stack_size), gate_(true), ready_(true), suspend_count_(1),
      abandoned_(false), pins_(0), exit_code_(0), joined_(false) {
    std::strncpy(name_, name ? name : "", NAME_SIZE - 1);
    name_[NAME_SIZE - 1] = '\0';

#if defined(_WIN32)
    // The system rounds the stack size itself.
    DWORD system_id = 0;
    handle_ = ::CreateThread(nullptr, stack_size, &ORTU_Thread::system_entry, this,
                             stack_size ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, &system_id);
    const int rc = handle_ ? 0 : static_cast<int>(::GetLastError());
#else
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    int rc = 0;
    if (stack_size)
        rc = pthread_attr_setstacksize(&attr, usable_stack_size(stack_size));
    if (rc == 0)
        rc = pthread_create(&handle_, &attr, &ORTU_Thread::thread_entry, this);
    pthread_attr_destroy(&attr);
#endif
    if (rc != 0) {
        ORTU_OS::set_last_error(rc);
        ORTU_Win32_Error error("Failed to create ORTU_Thread, name = '%s', stack_size = %u, "
                               "errno = %d\n",
                               name_, stack_size, rc);
        ortu_debug_print("%s", error.what());
        throw error;
    }
    // The id is part of the object from the start (messages, detach checks).
    ready_.wait();
    set_priority(priority);
}

ORTU_Thread::~ORTU_Thread() {
    {
        ORTU_Mutex_Holder hold(lock_);
        ORTU_ASSERT(state_ == ts_waiting || state_ == ts_stopped);
        if (state_ == ts_waiting) {
            // The system thread still sits at its gate: let it go without
            // running anything, so no thread is left behind.
            abandoned_ = true;
            resume();
        } else if (state_ != ts_stopped) {
            // Misuse reported above; at least do not free the object under
            // a running thread's feet.
            state_ = ts_stopping;
            stop_event_.set();
        }
    }
#if defined(_WIN32)
    if (::GetCurrentThreadId() == id_) {
        // An auto-delete thread deleting itself: nobody will wait for it.
        ::CloseHandle(handle_);
        return;
    }
#else
    if (pthread_equal(pthread_self(), handle_)) {
        // An auto-delete thread deleting itself: nobody will join it.
        pthread_detach(handle_);
        return;
    }
#endif
    join_once();
}

#if defined(_WIN32)
unsigned long __stdcall ORTU_Thread::system_entry(void* arg) {
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(thread_entry(arg)));
}
#endif

void* ORTU_Thread::thread_entry(void* arg) {
    ORTU_Thread* self = static_cast<ORTU_Thread*>(arg);
    self->id_ = ORTU_OS::current_thread_id();
    self->ready_.set();
    self->gate_.wait();
    if (self->abandoned_)
        return nullptr;
    {
        // set_priority may run on another thread right now.
        ORTU_Mutex_Holder hold(self->lock_);
        apply_priority(self->id_, self->priority_);
    }

    ORTU_Thread_Manager::register_thread(self);
    ORTU_UINT32 code = 0;
    try {
        self->execute();
    } catch (abi::__forced_unwind&) {
        throw; // thread cancellation must unwind to the end
    } catch (...) {
        ortu_debug_print("ORTU_Thread.0x%x (%s), unexpected exception in execute()\n", self->id_,
                         self->name_);
        code = EXIT_UNEXPECTED_EXCEPTION;
    }

    const ORTU_UINT32 id = self->id_;
    bool auto_delete;
    {
        ORTU_Mutex_Holder hold(self->lock_);
        // Known before ts_stopped, so an owner that sees the state also sees
        // the code.
        self->exit_code_.store(code);
        self->state_ = ts_stopped;
        auto_delete = self->auto_delete_;
    }
    ORTU_Thread_Manager::unregister_thread();
    if (auto_delete) {
        // A stop() or detach() from another thread may still be between its
        // on_stop() and its last touch of the object: let it finish first.
        for (;;) {
            {
                ORTU_Mutex_Holder hold(self->lock_);
                if (self->pins_ == 0)
                    break;
            }
            ORTU_OS::sleep(1);
        }
        std::unique_ptr<ORTU_Thread> owned(self); // the thread is its own owner
        owned.reset();
        if (code == 0)
            code = EXIT_AUTO_DELETED;
    }
    if (Exit_Hook hook = exit_hook.load())
        hook(id, code);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(code));
}

ORTU_UINT32 ORTU_Thread::resume() {
    ORTU_UINT32 previous = suspend_count_;
    if (suspend_count_ > 0 && --suspend_count_ == 0)
        gate_.set();
    return previous;
}

void ORTU_Thread::start() {
    ORTU_Mutex_Holder hold(lock_);
    ORTU_ASSERT(state_ == ts_waiting);
    if (state_ != ts_waiting)
        return;
    ORTU_ASSERT(resume() == 1);
    state_ = ts_running;
}

void ORTU_Thread::stop() {
    ORTU_Mutex_Holder hold(lock_);
    switch (state_) {
    case ts_waiting:
        // Stop requested before the thread runs, so that execute() sees it
        // from its first instruction on.
        state_ = ts_stopping;
        stop_event_.set();
        ORTU_ASSERT(resume() == 1);
        break;
    case ts_running:
        state_ = ts_stopping;
        stop_event_.set();
        break;
    case ts_stopping:
    case ts_stopped:
        return;
    default:
        ORTU_ASSERT(state_ >= ts_waiting && state_ <= ts_stopped);
        return;
    }
    ++pins_;
    lock_.release();
    on_stop();
    lock_.acquire();
    --pins_;
}

bool ORTU_Thread::stop_requested() const {
    ORTU_Mutex_Holder hold(lock_);
    return state_ == ts_stopping;
}

bool ORTU_Thread::is_stopped() const {
    ORTU_Mutex_Holder hold(lock_);
    return !auto_delete_ && state_ == ts_stopped;
}

ORTU_Thread_State ORTU_Thread::state() const {
    ORTU_Mutex_Holder hold(lock_);
    return state_;
}

void ORTU_Thread::join_once() {
    ORTU_Mutex_Holder hold(join_lock_);
    if (joined_)
        return;
#if defined(_WIN32)
    const bool ended = ::WaitForSingleObject(handle_, INFINITE) == WAIT_OBJECT_0;
    ORTU_ASSERT(ended);
    if (ended) {
        ::CloseHandle(handle_);
        joined_ = true;
    }
#else
    void* result = nullptr;
    int rc = pthread_join(handle_, &result);
    ORTU_ASSERT(rc == 0);
    if (rc == 0)
        joined_ = true;
#endif
}

void ORTU_Thread::wait() {
    {
        ORTU_Mutex_Holder hold(lock_);
        ORTU_ASSERT(!auto_delete_ && (state_ != ts_waiting));
        // Waiting on a thread that never runs would never end; an
        // auto-delete object may be gone at any moment.
        if (auto_delete_ || state_ == ts_waiting)
            return;
    }
    join_once();
}

void ORTU_Thread::stop_and_wait() {
    stop();
    wait();
}

void ORTU_Thread::stop_wait_and_delete() {
    stop_and_wait();
    std::unique_ptr<ORTU_Thread> owned(this); // heap objects only, as documented
}

void ORTU_Thread::detach() {
    bool finished_already = false;
    {
        ORTU_Mutex_Holder hold(lock_);
        const bool self_call = ORTU_OS::current_thread_id() == id_;
        if (state_ == ts_stopped && !self_call) {
            // execute() returned on its own just before this call: the
            // thread has already decided not to delete itself, so the
            // object is disposed of here.
            finished_already = true;
        } else {
            ORTU_ASSERT(state_ == ts_running || ORTU_OS::current_thread_id() == id_);
            auto_delete_ = true;
            // From here on the thread may delete the object as soon as it
            // ends; the pin keeps it until stop() below is through.
            ++pins_;
        }
    }
    if (finished_already) {
        join_once();
        std::unique_ptr<ORTU_Thread> owned(this);
        return;
    }
    stop();
    ORTU_Mutex_Holder hold(lock_);
    --pins_;
}

int ORTU_Thread::get_priority() const {
    ORTU_Mutex_Holder hold(lock_);
    return priority_;
}

void ORTU_Thread::set_priority(int priority) {
    ORTU_Mutex_Holder hold(lock_);
    priority_ = priority;
    if (state_ != ts_waiting && state_ != ts_stopped)
        apply_priority(id_, priority);
}

ORTU_Thread::Exit_Hook ORTU_Thread::set_exit_hook(Exit_Hook hook) {
    return exit_hook.exchange(hook);
}

// --------------------------------------------------- ORTU_Thread_Manager

// Holds, on each runtime thread, that thread's ORTU_Thread. The pointer is
// not owned, so ending a thread only forgets it.
class ORTU_Current_Thread_Slot : public ORTU_TSS {
public:
    ~ORTU_Current_Thread_Slot() override { unlink(); }
    void set(ORTU_Thread* thread) { ORTU_ASSERT(ORTU_OS::set_tss_value(tss_key_, thread)); }
    ORTU_Thread* get() const { return static_cast<ORTU_Thread*>(ORTU_OS::get_tss_value(tss_key_)); }
    void thread_ends() override {
        if (get())
            ORTU_ASSERT(ORTU_OS::set_tss_value(tss_key_, 0));
    }
};

std::atomic<ORTU_UINT32> ORTU_Thread_Manager::thread_count_{0};
std::atomic<ORTU_Thread_Manager*> ORTU_Thread_Manager::instance_{nullptr};

namespace {
// The manager lives in static storage, built and destroyed by start/stop.
alignas(ORTU_Thread_Manager) unsigned char manager_storage[sizeof(ORTU_Thread_Manager)];
} // namespace

ORTU_Mutex& ORTU_Thread_Manager::lock() {
    // Never destroyed: storage objects in static storage may go after
    // every other static object, and still need the lock.
    alignas(ORTU_Mutex) static unsigned char storage[sizeof(ORTU_Mutex)];
    static ORTU_Mutex* mutex = new (storage) ORTU_Mutex;
    return *mutex;
}

ORTU_Thread_Manager::ORTU_Thread_Manager() : main_tid_(ORTU_OS::current_thread_id()) {}

ORTU_Thread_Manager::~ORTU_Thread_Manager() {}

void ORTU_Thread_Manager::start() {
    lock();
    ORTU_ASSERT(!instance_);
    if (instance_)
        return;
    thread_count_ = 0;
    ORTU_Thread_Manager* manager = new (manager_storage) ORTU_Thread_Manager;
    manager->slot_ = std::make_unique<ORTU_Current_Thread_Slot>();
    instance_ = manager;
    ortu_debug_print("ORTU_Thread_Manager has been started, main tid = 0x%x!\n",
                     manager->main_tid_);
}

void ORTU_Thread_Manager::stop() {
    ortu_debug_print("ORTU_Thread_Manager is stopping...\n");
    ORTU_Thread_Manager* manager = instance_.load();
    if (manager) {
        std::unique_ptr<ORTU_Current_Thread_Slot> slot;
        {
            ORTU_Mutex_Holder hold(lock());
            slot = std::move(manager->slot_);
        }
        slot.reset();
        instance_ = nullptr;
        manager->~ORTU_Thread_Manager();
    }
    ORTU_ASSERT(thread_count_ == 0);
    ortu_debug_print("ORTU_Thread_Manager has been shut down\n");
}

void ORTU_Thread_Manager::register_thread(ORTU_Thread* thread) {
    ++thread_count_;
    ORTU_TSS::notify_thread_begins();
    ORTU_Mutex_Holder hold(lock());
    if (ORTU_Thread_Manager* manager = instance_.load())
        if (manager->slot_)
            manager->slot_->set(thread);
}

void ORTU_Thread_Manager::unregister_thread() {
    ORTU_TSS::notify_thread_ends();
    ORTU_UINT32 count = thread_count_.load();
    ORTU_ASSERT(count > 0);
    // Never below zero, even after a reported mismatch.
    while (count > 0 && !thread_count_.compare_exchange_weak(count, count - 1)) {
    }
}

ORTU_Thread* ORTU_Thread_Manager::current_thread() {
    ORTU_Thread_Manager* manager = instance_.load();
    if (!manager)
        return nullptr;
    ORTU_Mutex_Holder hold(lock());
    return manager->slot_ ? manager->slot_->get() : nullptr;
}

ORTU_UINT32 ORTU_Thread_Manager::main_thread_id() {
    ORTU_Thread_Manager* manager = instance_.load();
    return manager ? manager->main_tid_ : 0;
}
