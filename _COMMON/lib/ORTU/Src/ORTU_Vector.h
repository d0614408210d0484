// The runtime's growable array of pointers. Slots may hold null; put() fills
// the first free one, compact() squeezes them out.
#pragma once

#include "ORTU_Types.h"

#include <memory>

// The untyped part, shared by every ORTU_Pointer_Vector.
class ORTU_Void_Vector {
public:
    explicit ORTU_Void_Vector(ORTU_UINT32 step = 16);
    ~ORTU_Void_Vector();
    ORTU_Void_Vector(const ORTU_Void_Vector&) = delete;
    ORTU_Void_Vector& operator=(const ORTU_Void_Vector&) = delete;

    // Appends; returns the new item's index.
    ORTU_UINT32 push(void* p);
    // Into the first null slot, or appended; returns the index.
    ORTU_UINT32 put(void* p);
    // Nulls the slot holding p and returns its index; -1 (after an
    // assertion) when p is not there.
    ORTU_INT32 remove(void* p);
    // Index of p, -1 when absent.
    ORTU_INT32 find(const void* p) const;
    // Drops the null slots; the others keep their order.
    void compact();
    // Room for at least capacity items without growing.
    void reserve(ORTU_UINT32 capacity);
    // Null (after an assertion) for an index past the end.
    void* at(ORTU_UINT32 index) const;
    void* operator[](ORTU_UINT32 index) const { return at(index); }

    ORTU_UINT32 size() const { return size_; }
    ORTU_UINT32 capacity() const { return capacity_; }
    ORTU_UINT32 step() const { return step_; }
    bool empty() const { return size_ == 0; }

protected:
    // Forgets the items (the typed vector deletes them first when it owns
    // them); the storage stays for reuse.
    void forget_all() { size_ = 0; }
    void** items() const { return items_; }

private:
    void grow_to(ORTU_UINT32 capacity);

    void** items_;
    ORTU_UINT32 capacity_;
    ORTU_UINT32 size_;
    ORTU_UINT32 step_;
};

template <class T> class ORTU_Pointer_Vector : public ORTU_Void_Vector {
public:
    explicit ORTU_Pointer_Vector(ORTU_UINT32 step = 16, bool owns = false)
        : ORTU_Void_Vector(step), owns_(owns) {}
    ~ORTU_Pointer_Vector() { clear(); }

    ORTU_UINT32 push(T* p) { return ORTU_Void_Vector::push(p); }
    ORTU_UINT32 put(T* p) { return ORTU_Void_Vector::put(p); }
    ORTU_INT32 remove(T* p) { return ORTU_Void_Vector::remove(p); }
    ORTU_INT32 find(const T* p) const { return ORTU_Void_Vector::find(p); }
    T* at(ORTU_UINT32 index) const { return static_cast<T*>(ORTU_Void_Vector::at(index)); }
    T* operator[](ORTU_UINT32 index) const { return at(index); }

    bool owns() const { return owns_; }
    void set_owns(bool owns) { owns_ = owns; }

    // Empties the vector; an owning vector deletes the objects.
    void clear() {
        if (owns_) {
            void** p = items();
            for (ORTU_UINT32 i = 0; i < size(); ++i) {
                // The vector is the owner here: hand each object to a
                // unique_ptr so it goes the ordinary way.
                std::unique_ptr<T> owned(static_cast<T*>(p[i]));
                p[i] = nullptr;
            }
        }
        forget_all();
    }

private:
    bool owns_;
};
