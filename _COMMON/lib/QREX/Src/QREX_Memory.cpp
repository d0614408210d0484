#include "QREX_Memory.h"

#include "ORTU_String.h"

#include <cstring>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace {

// Every block carries one word in front of it: 0 for a block of its own on
// the heap (which starts HEAD bytes before the block, so that the block
// keeps the heap's alignment), else the block's distance from the start of
// the slab piece it was cut from.
constexpr size_t HEAD = QREX_BLOCK_OVERHEAD;
constexpr size_t PIECE_HEAD = 16;

size_t tag_of(const void* p) {
    size_t tag;
    std::memcpy(&tag, static_cast<const char*>(p) - sizeof tag, sizeof tag);
    return tag;
}

void release_piece(QREX_Slab_Allocator::Piece* piece) {
    if (piece->holds.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        piece->~Piece();
        ORTU_Malloc_Allocator::deallocate(piece);
    }
}

} // namespace

void* qrex_malloc(size_t size) {
    char* raw = static_cast<char*>(ORTU_Malloc_Allocator::allocate(HEAD + size));
    const size_t tag = 0;
    std::memcpy(raw + HEAD - sizeof tag, &tag, sizeof tag);
    return raw + HEAD;
}

void qrex_free(void* p) {
    if (!p)
        return;
    const size_t tag = tag_of(p);
    if (tag == 0) {
        ORTU_Malloc_Allocator::deallocate(static_cast<char*>(p) - HEAD);
        return;
    }
    ASAN_POISON_MEMORY_REGION(static_cast<char*>(p) - sizeof tag, sizeof tag);
    release_piece(reinterpret_cast<QREX_Slab_Allocator::Piece*>(static_cast<char*>(p) - tag));
}

QREX_Slab_Allocator::~QREX_Slab_Allocator() {
    if (piece_)
        release_piece(piece_);
}

void* QREX_Slab_Allocator::allocate(size_t size) {
    const size_t block = block_size(size);
    if (block > free_) {
        char* raw = static_cast<char*>(ORTU_Malloc_Allocator::allocate(PIECE_SIZE));
        // Nothing of a piece may be touched but the blocks handed out.
        ASAN_POISON_MEMORY_REGION(raw + PIECE_HEAD, PIECE_SIZE - PIECE_HEAD);
        if (piece_)
            release_piece(piece_);
        piece_ = new (raw) Piece{{1}};
        next_ = raw + PIECE_HEAD;
        free_ = PIECE_SIZE - PIECE_HEAD;
    }
    piece_->holds.fetch_add(1, std::memory_order_relaxed);
    char* p = next_ + 8;
    const size_t tag = static_cast<size_t>(p - reinterpret_cast<char*>(piece_));
    ASAN_UNPOISON_MEMORY_REGION(next_, 8 + size);
    std::memcpy(next_, &tag, sizeof tag);
    next_ += block;
    free_ -= block;
    return p;
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
