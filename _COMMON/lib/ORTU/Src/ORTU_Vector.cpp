#include "ORTU_Vector.h"

#include "ORTU_Assert.h"
#include "ORTU_Exception.h"
#include "ORTU_String.h"

#include <cstring>

namespace {
// Past this the step stops doubling, so a huge vector grows linearly.
constexpr ORTU_UINT32 max_doubling_step = 0x40000;
} // namespace

ORTU_Void_Vector::ORTU_Void_Vector(ORTU_UINT32 step)
    : items_(nullptr), capacity_(0), size_(0), step_(step ? step : 16) {}

ORTU_Void_Vector::~ORTU_Void_Vector() {
    if (items_)
        ORTU_Malloc_Allocator::deallocate(items_);
}

void ORTU_Void_Vector::grow_to(ORTU_UINT32 capacity) {
    void** fresh = static_cast<void**>(ORTU_Malloc_Allocator::allocate(capacity * sizeof(void*)));
    if (size_)
        std::memcpy(fresh, items_, size_ * sizeof(void*));
    if (items_)
        ORTU_Malloc_Allocator::deallocate(items_);
    items_ = fresh;
    capacity_ = capacity;
}

ORTU_UINT32 ORTU_Void_Vector::push(void* p) {
    if (size_ == capacity_) {
        if (capacity_ > 0xFFFFFFFFu - step_)
            throw ORTU_Out_Of_Memory();
        grow_to(capacity_ + step_);
        if (step_ < max_doubling_step)
            step_ *= 2;
    }
    items_[size_] = p;
    return size_++;
}

ORTU_UINT32 ORTU_Void_Vector::put(void* p) {
    for (ORTU_UINT32 i = 0; i < size_; ++i) {
        if (!items_[i]) {
            items_[i] = p;
            return i;
        }
    }
    return push(p);
}

ORTU_INT32 ORTU_Void_Vector::find(const void* p) const {
    for (ORTU_UINT32 i = 0; i < size_; ++i)
        if (items_[i] == p)
            return static_cast<ORTU_INT32>(i);
    return -1;
}

ORTU_INT32 ORTU_Void_Vector::remove(void* p) {
    ORTU_INT32 index = p ? find(p) : -1;
    ORTU_ASSERT(index >= 0);
    if (index >= 0)
        items_[index] = nullptr;
    return index;
}

void ORTU_Void_Vector::compact() {
    ORTU_UINT32 kept = 0;
    for (ORTU_UINT32 i = 0; i < size_; ++i)
        if (items_[i])
            items_[kept++] = items_[i];
    size_ = kept;
}

void ORTU_Void_Vector::reserve(ORTU_UINT32 capacity) {
    if (capacity > capacity_)
        grow_to(capacity);
}

void* ORTU_Void_Vector::at(ORTU_UINT32 index) const {
    ORTU_ASSERT(index < size_);
    return index < size_ ? items_[index] : nullptr;
}
