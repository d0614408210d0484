#include "QREX_Memory.h"

#include "ORTU_String.h"

#include <cstring>

void* qrex_malloc(size_t size) {
    // The runtime allocator may hand back null for a zero size; callers expect
    // a pointer they can free.
    return ORTU_Malloc_Allocator::allocate(size == 0 ? 1 : size);
}

void qrex_free(void* p) {
    if (p)
        ORTU_Malloc_Allocator::deallocate(p);
}

char* qrex_strdup(const char* text) {
    if (!text)
        return nullptr;
    const size_t length = std::strlen(text);
    char* copy = static_cast<char*>(qrex_malloc(length + 1));
    std::memcpy(copy, text, length + 1);
    return copy;
}

void qrex_assign_string(char** target, const char* text) {
    // Copy first: text may be the very string being replaced.
    char* copy = qrex_strdup(text);
    qrex_free(*target);
    *target = copy;
}

void qrex_copy_bounded(char* buffer, const char* text, size_t size) {
    if (size == 0)
        return;
    if (!text)
        text = "";
    std::strncpy(buffer, text, size);
    buffer[size - 1] = '\0';
}
