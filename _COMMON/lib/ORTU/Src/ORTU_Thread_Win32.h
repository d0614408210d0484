// The runtime's thread object and the thread manager.
//
// An ORTU_Thread is created suspended: its system thread exists from the
// constructor on but runs execute() only after start() (or stop(), which
// starts it with the stop already requested). execute() is expected to poll
// stop_requested() or wait on stop_event() and return soon after stop().
#pragma once

#include "ORTU_Sync.h"
#include "ORTU_Types.h"

#include <atomic>
#include <memory>
#if !defined(_WIN32)
#include <pthread.h>
#endif

enum ORTU_Thread_State {
    ts_waiting = 0,  // created, not yet running
    ts_running = 1,  //
    ts_stopping = 2, // stop requested
    ts_stopped = 3,  // execute() has returned
};

class ORTU_Thread {
public:
    // Exit codes of the system thread.
    static constexpr ORTU_UINT32 EXIT_UNEXPECTED_EXCEPTION = 0xDEADBEEF;
    static constexpr ORTU_UINT32 EXIT_AUTO_DELETED = 0xDEADFACE;
    enum { NAME_SIZE = 20 };

    // Raises ORTU_Win32_Error when the system thread cannot be created.
    // stack_size 0 takes the system default.
    explicit ORTU_Thread(const char* name, int priority = 0, ORTU_UINT32 stack_size = 0);
    virtual ~ORTU_Thread();
    ORTU_Thread(const ORTU_Thread&) = delete;
    ORTU_Thread& operator=(const ORTU_Thread&) = delete;

    void start();
    void stop();
    bool stop_requested() const;
    // Never true for an auto-delete thread: its object may be gone.
    bool is_stopped() const;
    // Waits without limit for the system thread to end.
    void wait();
    void stop_and_wait();
    // For heap objects only: stop, wait, then delete.
    void stop_wait_and_delete();
    // The object deletes itself once execute() returns; stops the thread.
    void detach();

    int get_priority() const;
    void set_priority(int priority);

    ORTU_Event& stop_event() { return stop_event_; }
    const char* name() const { return name_; }
    ORTU_UINT32 id() const { return id_; }
    ORTU_Thread_State state() const;
    // The system thread's exit code, valid once wait() has returned.
    ORTU_UINT32 exit_code() const { return exit_code_.load(); }
    ORTU_UINT32 stack_size() const { return stack_size_; }

    // Called on the ending thread as its very last step with its id and exit
    // code (also for auto-delete threads, whose object is gone by then).
    typedef void (*Exit_Hook)(ORTU_UINT32 id, ORTU_UINT32 exit_code);
    static Exit_Hook set_exit_hook(Exit_Hook hook);

protected:
    virtual void execute() = 0;
    // Called by stop() outside the object's lock, so it may take others.
    virtual void on_stop() {}

private:
    static void* thread_entry(void* arg);
#if defined(_WIN32)
    static unsigned long __stdcall system_entry(void* arg);
#endif
    // Lets the suspended system thread go; returns the suspend count it had.
    ORTU_UINT32 resume();
    void join_once();

#if defined(_WIN32)
    void* handle_; // the system thread's handle
#else
    pthread_t handle_;
#endif
    mutable ORTU_Mutex lock_; // guards state_ and auto_delete_
    ORTU_UINT32 id_;
    char name_[NAME_SIZE];
    ORTU_Thread_State state_;
    ORTU_Event stop_event_;
    bool auto_delete_;

    // What the suspended start needs on this platform.
    int priority_;
    ORTU_UINT32 stack_size_;
    ORTU_Event gate_;  // opened by resume()
    ORTU_Event ready_; // the new thread has recorded its id
    ORTU_UINT32 suspend_count_;
    std::atomic<bool> abandoned_; // destroyed before it ever ran
    int pins_;                    // calls from outside still using the object (under lock_)
    std::atomic<ORTU_UINT32> exit_code_;
    ORTU_Mutex join_lock_;
    bool joined_;
};

// Counts the runtime's threads, remembers the main thread and tells the
// thread-specific storage when a runtime thread begins and ends.
class ORTU_Current_Thread_Slot;

class ORTU_Thread_Manager {
public:
    static void start();
    static void stop();
    static ORTU_Thread_Manager* instance() { return instance_.load(); }

    // Called on a runtime thread by its entry.
    static void register_thread(ORTU_Thread* thread);
    static void unregister_thread();

    // The calling thread's ORTU_Thread, null on other threads or while the
    // manager is stopped.
    static ORTU_Thread* current_thread();
    static ORTU_UINT32 thread_count() { return thread_count_.load(); }
    static ORTU_UINT32 main_thread_id();

    // Guards the list of thread-specific storage objects. Usable at any
    // time, before the manager starts and after it stops.
    static ORTU_Mutex& lock();

private:
    ORTU_Thread_Manager();
    ~ORTU_Thread_Manager();

    ORTU_UINT32 main_tid_;
    std::unique_ptr<ORTU_Current_Thread_Slot> slot_;
    static std::atomic<ORTU_UINT32> thread_count_;
    static std::atomic<ORTU_Thread_Manager*> instance_;
};
