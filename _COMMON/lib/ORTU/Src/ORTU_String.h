// The runtime's string class and the block manager behind it.
//
// Text lives in blocks of size classes that are multiples of 8 bytes. Freed
// small blocks wait on per-class free lists; big blocks go straight to and
// from the heap. Every block carries its size in front and a guard word
// behind, checked when it comes back. Strings share one text by reference
// count and copy it before a change; the empty string is one static
// descriptor.
#pragma once

#include "ORTU_Types.h"

#include <atomic>
#include <cstdarg>
#include <cstddef>

class ORTU_String_Manager {
public:
    enum : size_t {
        ALIGNMENT = 8,
        ALIGNMENT_MASK = 7,
        BIG_BLOCK_SIZE = 320, // this size and above go straight to the heap
        CLASS_COUNT = 40,
    };
    static constexpr ORTU_UINT32 GUARD = 0x78787878u;

    // Events reported to the hook.
    enum Event : int {
        ev_reused = 0,      // handed out again from a free list
        ev_cached = 1,      // put on a free list
        ev_heap_new = 2,    // new block from the heap
        ev_heap_return = 3, // block returned to the heap
    };
    typedef void (*Event_Hook)(int event, void* block, size_t size);

    static void start();
    // Writes the statistics, releases every cached block, becomes inactive.
    static void stop();
    static bool active();

    // size must be a non-zero multiple of 8.
    static void* allocate(size_t size);
    static void release(void* p, size_t size);
    static void release_cached_blocks();
    // Returns the previous hook.
    static Event_Hook set_event_hook(Event_Hook hook);

    static ORTU_UINT32 total_allocations();
    static ORTU_UINT32 big_allocations();
    static ORTU_UINT32 cache_hits();
    // Blocks waiting on the free list of the class for size (0 for big sizes).
    static size_t cached_blocks(size_t size);
    // The free-list class of a size, 0 for a big block.
    static size_t size_class(size_t size) { return size < BIG_BLOCK_SIZE ? size / ALIGNMENT : 0; }

    // Used by strings: works while the manager is stopped too, straight on the
    // heap, so that an exception raised outside a running runtime can still
    // carry its text.
    static void* allocate_any(size_t size);
    static void release_any(void* p, size_t size);
};

// The runtime's general allocator. When the heap fails it gives the string
// manager's cached blocks back and tries once more before raising
// ORTU_Out_Of_Memory.
class ORTU_Malloc_Allocator {
public:
    static void* allocate(size_t size);
    static void deallocate(void* p);

    // Lets tests make the heap fail; returns the previous function. A null
    // function restores the system heap.
    typedef void* (*Heap_Function)(size_t size);
    static Heap_Function set_heap_function(Heap_Function function);
    // The heap as the string manager and the allocator see it (no retry).
    static void* heap_allocate(size_t size);
};

struct ORTU_String_Data {
    char* text_;
    std::atomic<ORTU_UINT32> ref_count_;
    ORTU_UINT32 length_;   // characters before the terminator
    ORTU_UINT32 capacity_; // largest length the text block holds: 7 mod 8
};

class ORTU_String {
public:
    ORTU_String();
    ORTU_String(const char* text); // NOLINT: implicit on purpose, like a literal
    ORTU_String(const char* text, size_t length);
    ORTU_String(const ORTU_String& other);
    ORTU_String(ORTU_String&& other) noexcept;
    ~ORTU_String();

    ORTU_String& operator=(const ORTU_String& other);
    ORTU_String& operator=(ORTU_String&& other) noexcept;
    ORTU_String& operator=(const char* text);
    ORTU_String& assign(const char* text, size_t length);

    const char* c_str() const { return data_->text_; }
    size_t length() const { return data_->length_; }
    size_t capacity() const { return data_->capacity_; }
    bool empty() const { return data_->length_ == 0; }
    char operator[](size_t index) const { return data_->text_[index]; }
    // How many values share this text (the null descriptor counts all empties).
    ORTU_UINT32 ref_count() const { return data_->ref_count_.load(); }
    bool shares_with(const ORTU_String& other) const { return data_ == other.data_; }

    ORTU_String& append(const char* text);
    ORTU_String& append(const char* bytes, size_t count);
    ORTU_String& append(const ORTU_String& other);
    ORTU_String& append(char c);
    ORTU_String& operator+=(const char* text) { return append(text); }
    ORTU_String& operator+=(const ORTU_String& other) { return append(other); }
    ORTU_String& operator+=(char c) { return append(c); }

    // Makes room for at least capacity characters without changing the text.
    void reserve(size_t capacity);
    void clear();
    void truncate(size_t n); // keeps the first n characters
    void keep_last(size_t n);
    // Removes leading and trailing characters with codes 32 and below.
    void trim();
    void to_lower();
    void to_upper();
    // Windows-1252 <-> code page 437 for the bytes 0x80 to 0xFF, in place.
    void ansi_to_oem();
    void oem_to_ansi();

    // Replaces the text. Returns the number of characters produced, -1 on error.
    int format(const char* format_string, ...);
    int vformat(const char* format_string, va_list args);

    // Replaces the text with the whole file; false when it cannot be read.
    bool read_file(const char* file_name);

    ORTU_UINT32 hash() const { return hash(c_str()); }
    static ORTU_UINT32 hash(const char* text);

    int compare(const char* text) const;
    int compare_nocase(const char* text) const;
    bool equals(const char* text) const { return compare(text) == 0; }
    bool equals_nocase(const char* text) const { return compare_nocase(text) == 0; }
    bool operator==(const ORTU_String& other) const;
    bool operator==(const char* text) const { return equals(text); }
    bool operator<(const ORTU_String& other) const { return compare(other.c_str()) < 0; }

    static ORTU_String_Data* null_descriptor();

private:
    static ORTU_String_Data null_string_descriptor_;

    static ORTU_String_Data* new_descriptor(const char* text, size_t length, size_t wished);
    static void add_ref(ORTU_String_Data* desc);
    static void drop_ref(ORTU_String_Data* desc);
    // Before any change: unshared and with room for at least wished characters.
    void make_own(size_t wished);
    void shift_letters(char first, char last, int delta);

    ORTU_String_Data* data_;
};
