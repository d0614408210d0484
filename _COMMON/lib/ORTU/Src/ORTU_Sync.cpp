#include "ORTU_Sync.h"

#include "ORTU_Assert.h"

ORTU_Mutex::ORTU_Mutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(&mutex_, &attr);
    pthread_mutexattr_destroy(&attr);
    ORTU_ASSERT(rc == 0);
}

ORTU_Mutex::~ORTU_Mutex() { pthread_mutex_destroy(&mutex_); }

void ORTU_Mutex::acquire() {
    int rc = pthread_mutex_lock(&mutex_);
    ORTU_ASSERT(rc == 0);
}

void ORTU_Mutex::release() {
    int rc = pthread_mutex_unlock(&mutex_);
    ORTU_ASSERT(rc == 0);
}
