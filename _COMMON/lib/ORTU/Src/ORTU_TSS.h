// Thread-specific storage: a value per thread, built on first use and
// released when a runtime thread ends (values of other threads go when the
// storage object goes).
#pragma once

#include "ORTU_Assert.h"
#include "ORTU_OS.h"
#include "ORTU_Sync.h"
#include "ORTU_Vector.h"

#include <memory>

class ORTU_TSS {
public:
    // Takes a thread-local key; raises ORTU_Exception "Cannot allocate TSS
    // key" when the system has none left.
    ORTU_TSS();
    virtual ~ORTU_TSS();
    ORTU_TSS(const ORTU_TSS&) = delete;
    ORTU_TSS& operator=(const ORTU_TSS&) = delete;

    // Called on the thread concerned.
    virtual void thread_begins() {}
    virtual void thread_ends() = 0;

    // Called by the thread manager on a runtime thread as it starts and as
    // it ends: tells every storage object, under the manager's lock.
    static void notify_thread_begins();
    static void notify_thread_ends();

    // Storage objects alive now (for diagnostics and tests).
    static size_t count();

protected:
    // Takes the object out of the list, so that no thread end reaches it
    // any more. A derived class calls this first in its destructor: after
    // that nothing calls into its half-destroyed parts.
    void unlink();

    ORTU_TSS_Key tss_key_;

private:
    ORTU_TSS* prev_;
    ORTU_TSS* next_;
    bool linked_;
    static ORTU_TSS* head_;
};

// A value of type T per thread. T needs a default constructor.
template <class T> class ORTU_TSS_Adaptor : public ORTU_TSS {
public:
    ORTU_TSS_Adaptor() = default;
    ~ORTU_TSS_Adaptor() override {
        unlink();
        ORTU_Mutex_Holder hold(lock_);
        values_.clear(); // owning: deletes every value still there
    }

    // The calling thread's value, built on first use.
    T* get() {
        T* p = static_cast<T*>(ORTU_OS::get_tss_value(tss_key_));
        if (p)
            return p;
        auto fresh = std::make_unique<T>();
        {
            ORTU_Mutex_Holder hold(lock_);
            values_.put(fresh.get());
        }
        p = fresh.release(); // the vector owns it now
        ORTU_ASSERT(ORTU_OS::set_tss_value(tss_key_, p));
        return p;
    }
    T* operator->() { return get(); }
    T& operator*() { return *get(); }

    // The calling thread's value without building one.
    T* peek() const { return static_cast<T*>(ORTU_OS::get_tss_value(tss_key_)); }

    void thread_ends() override {
        T* p = peek();
        if (!p)
            return;
        ORTU_ASSERT(ORTU_OS::set_tss_value(tss_key_, 0));
        std::unique_ptr<T> owned;
        {
            ORTU_Mutex_Holder hold(lock_);
            if (values_.find(p) >= 0) {
                values_.remove(p);
                owned.reset(p);
            }
        }
    }

    // Values alive now, over all threads.
    size_t values() {
        ORTU_Mutex_Holder hold(lock_);
        size_t n = 0;
        for (ORTU_UINT32 i = 0; i < values_.size(); ++i)
            n += values_.at(i) != nullptr;
        return n;
    }

private:
    ORTU_Mutex lock_;
    ORTU_Pointer_Vector<T> values_{16, true};
};
