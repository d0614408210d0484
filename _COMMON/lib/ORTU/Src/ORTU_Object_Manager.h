// Brings the runtime up and down as one unit and keeps the exit queue:
// functions run when the runtime stops, last registered first. Singletons
// are built on first use and destroyed through that queue.
#pragma once

#include "ORTU_Assert.h"
#include "ORTU_Sync.h"
#include "ORTU_Types.h"
#include "ORTU_Vector.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <typeinfo>

// Counted: nested starts need as many stops. The library's init and
// finalize entry points call these, from one thread.
void ortu_runtime_start();
void ortu_runtime_stop();
// How many starts are in force.
ORTU_UINT32 ortu_runtime_start_count();

class ORTU_Object_Manager {
public:
    typedef void (*Exit_Function)();

    static bool active() { return active_.load() != 0; }
    static ORTU_Object_Manager* instance() { return instance_.load(); }

    // Queues fn for the next stop. Only while the manager runs.
    static void at_exit(Exit_Function fn);
    // Entries in the exit queue now.
    static ORTU_UINT32 exit_queue_size();

    // Called by the runtime start and stop; not for other callers.
    static void start();
    static void stop();

private:
    ORTU_Object_Manager();
    ~ORTU_Object_Manager();

    // Exit functions are held as plain function pointers; the queue stores
    // them in a pointer vector, one record each.
    struct Exit_Entry {
        Exit_Function fn;
    };

    ORTU_Mutex lock_;
    ORTU_Pointer_Vector<Exit_Entry> exit_queue_;

    static std::atomic<ORTU_UINT32> active_;
    static std::atomic<ORTU_Object_Manager*> instance_;
};

// The readable name of a type, for messages ("__ORTU_qrex_debug_group").
// Writes into buffer and returns it.
const char* ortu_type_name(const std::type_info& type, char* buffer, size_t size);

// Reports a singleton built while the object manager is down.
void ortu_singleton_leaks(const std::type_info& type);

template <class T> class ORTU_Singleton {
public:
    static T* instance() {
        T* p = instance_.load(std::memory_order_acquire);
        if (p)
            return p;
        return create_instance();
    }

    // Whether the instance exists now (does not create it).
    static bool exists() { return instance_.load(std::memory_order_acquire) != nullptr; }

private:
    static T* create_instance() {
        std::lock_guard<std::mutex> hold(lock_);
        T* p = instance_.load(std::memory_order_acquire);
        if (p)
            return p; // another thread built it meanwhile
        auto fresh = std::make_unique<T>();
        p = fresh.release(); // the exit queue (or nobody, when it leaks) owns it
        instance_.exchange(p, std::memory_order_acq_rel);
        if (ORTU_Object_Manager::active())
            ORTU_Object_Manager::at_exit(&destroy_instance);
        else
            ortu_singleton_leaks(typeid(T));
        return p;
    }

    static void destroy_instance() {
        std::unique_ptr<T> owned(instance_.exchange(nullptr, std::memory_order_acq_rel));
    }

    // Both are constant-initialized, so a singleton can be used during the
    // static initialization of any unit, before its own turn.
    static inline std::atomic<T*> instance_{nullptr};
    static inline std::mutex lock_;
};
