#include "ORTU_TSS.h"

#include "ORTU_Exception.h"
#include "ORTU_Thread_Win32.h"

ORTU_TSS* ORTU_TSS::head_ = nullptr;

ORTU_TSS::ORTU_TSS() : tss_key_(), prev_(nullptr), next_(nullptr), linked_(false) {
    if (!ORTU_OS::create_tss_key(tss_key_)) {
        ortu_debug_print("Cannot allocate TSS key\n");
        throw ORTU_Exception("Cannot allocate TSS key");
    }
    ORTU_Mutex_Holder hold(ORTU_Thread_Manager::lock());
    next_ = head_;
    if (head_)
        head_->prev_ = this;
    head_ = this;
    linked_ = true;
}

ORTU_TSS::~ORTU_TSS() {
    unlink();
    ORTU_ASSERT(ORTU_OS::destroy_tss_key(tss_key_));
}

void ORTU_TSS::unlink() {
    ORTU_Mutex_Holder hold(ORTU_Thread_Manager::lock());
    if (!linked_)
        return;
    if (prev_) {
        ORTU_ASSERT(prev_->next_ == this);
        prev_->next_ = next_;
    } else {
        ORTU_ASSERT(head_ == this);
        head_ = next_;
    }
    if (next_) {
        ORTU_ASSERT(next_->prev_ == this);
        next_->prev_ = prev_;
    }
    prev_ = next_ = nullptr;
    linked_ = false;
}

void ORTU_TSS::notify_thread_begins() {
    ORTU_Mutex_Holder hold(ORTU_Thread_Manager::lock());
    for (ORTU_TSS* p = head_; p; p = p->next_)
        p->thread_begins();
}

void ORTU_TSS::notify_thread_ends() {
    ORTU_Mutex_Holder hold(ORTU_Thread_Manager::lock());
    for (ORTU_TSS* p = head_; p; p = p->next_)
        p->thread_ends();
}

size_t ORTU_TSS::count() {
    ORTU_Mutex_Holder hold(ORTU_Thread_Manager::lock());
    size_t n = 0;
    for (ORTU_TSS* p = head_; p; p = p->next_)
        ++n;
    return n;
}
