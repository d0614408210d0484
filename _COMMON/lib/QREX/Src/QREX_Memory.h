// The framework allocator and the string helpers built on it. Everything the
// decoders allocate, and every string the library hands out, comes from here
// and goes back through qrex_free.
#pragma once

#include <atomic>
#include <cstddef>

// What qrex_malloc takes from the heap beyond the size asked for: a word in
// front of the block that tells qrex_free where it came from.
constexpr size_t QREX_BLOCK_OVERHEAD = 16;

// Never returns null: a heap that fails twice raises ORTU_Out_Of_Memory.
void* qrex_malloc(size_t size);
// Ignores a null pointer.
void qrex_free(void* p);

// Null for a null text, else a copy of length + 1 bytes from qrex_malloc.
char* qrex_strdup(const char* text);
// Releases *target and stores a qrex_strdup copy of text.
void qrex_assign_string(char** target, const char* text);
// Copies at most size characters; when size is not 0 the buffer's last byte
// is always a terminator, so a long text is cut rather than left open.
void qrex_copy_bounded(char* buffer, const char* text, size_t size);

// Small blocks for decoded values, cut one after another from pieces of
// the heap: decoding a batch of short strings costs a few heap calls
// instead of one per string, and freeing them is a count going down. The
// blocks are released with qrex_free like any other; a piece goes back to
// the heap once its last block is freed and the allocator has moved on.
// One thread at a time allocates; blocks may be freed on any thread.
class QREX_Slab_Allocator {
public:
    // Blocks up to this size come from pieces of PIECE_SIZE bytes.
    enum : size_t { MAX_BLOCK = 1024, PIECE_SIZE = 16384 };

    QREX_Slab_Allocator() = default;
    ~QREX_Slab_Allocator();
    QREX_Slab_Allocator(const QREX_Slab_Allocator&) = delete;
    QREX_Slab_Allocator& operator=(const QREX_Slab_Allocator&) = delete;

    // The next block of size bytes (at most MAX_BLOCK) would take a new
    // piece from the heap.
    bool needs_piece(size_t size) const { return block_size(size) > free_; }
    void* allocate(size_t size);

    struct Piece {
        std::atomic<size_t> holds;
    };

private:
    static size_t block_size(size_t size) { return 8 + ((size + 7) & ~size_t{7}); }

    Piece* piece_ = nullptr;
    char* next_ = nullptr;
    size_t free_ = 0;
};
