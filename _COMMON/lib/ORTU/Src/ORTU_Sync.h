// Synchronization objects: mutex with a scoped holder, events, semaphores,
// waits on one to four objects, condition, reader/writer lock.
#pragma once

#include "ORTU_Types.h"

#include <pthread.h>

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
    pthread_mutex_t mutex_;
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

// Events, semaphores, multi-object waits, condition and reader/writer lock
// follow below.
