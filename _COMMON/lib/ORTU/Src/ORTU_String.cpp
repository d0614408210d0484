#include "ORTU_String.h"

#include "ORTU_Assert.h"
#include "ORTU_Exception.h"
#include "ORTU_Format.h"
#include "ORTU_Sync.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

// Reports under the condition's own name, where the code tests it another way.
#define ORTU_CHECK(cond, text)                                                                     \
    do {                                                                                           \
        if (!(cond) && ortu_assertion_report(__FILE__, __LINE__, text))                            \
            ortu_debugger_break();                                                                 \
    } while (0)

namespace {

// A block on the heap: 4 bytes of padding that keep the data 8-aligned for
// the descriptors' pointers, the 32-bit size word, the data, the guard.
constexpr size_t HEAD = 8;
constexpr size_t GUARD_SIZE = sizeof(ORTU_UINT32);
// The size word is 32 bits; nothing above this can be described by it.
constexpr size_t MAX_BLOCK = 0xFFFFFF00u;

struct Free_Block {
    Free_Block* next;
};

struct Manager_State {
    std::atomic<bool> active{false};
    // Made on the first start and kept: a release racing a stop must never
    // find it destroyed.
    std::optional<ORTU_Mutex> lock;
    Free_Block* free_lists[ORTU_String_Manager::CLASS_COUNT] = {};
    size_t cached[ORTU_String_Manager::CLASS_COUNT] = {};
    std::atomic<ORTU_UINT32> total{0};
    std::atomic<ORTU_UINT32> big{0};
    std::atomic<ORTU_UINT32> hits{0}; // changed under the lock; atomic for readers
    std::atomic<ORTU_String_Manager::Event_Hook> hook{nullptr};
};

Manager_State& state() {
    // Never destroyed: strings in other static objects may be released after
    // this unit's statics are gone.
    alignas(Manager_State) static unsigned char storage[sizeof(Manager_State)];
    static Manager_State* s = new (storage) Manager_State;
    return *s;
}

std::atomic<ORTU_Malloc_Allocator::Heap_Function> heap_function{nullptr};

void notify(int event, void* block, size_t size) {
    ORTU_String_Manager::Event_Hook hook = state().hook.load();
    if (!hook)
        return;
    try {
        hook(event, block, size);
    } catch (...) {
        if (ortu_assertion_report(__FILE__, __LINE__, "string manager event hook raised"))
            ortu_debugger_break();
    }
}

ORTU_UINT32 read_word(const void* p) {
    ORTU_UINT32 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void write_word(void* p, ORTU_UINT32 v) {
    std::memcpy(p, &v, sizeof v);
}

size_t normalized(size_t size) {
    size =
        (size + ORTU_String_Manager::ALIGNMENT_MASK) & ~size_t(ORTU_String_Manager::ALIGNMENT_MASK);
    return size ? size : ORTU_String_Manager::ALIGNMENT;
}

char* new_heap_block(size_t size) {
    if (size > MAX_BLOCK) {
        ortu_debug_print("ORTU_Malloc_Allocator, allocation of %u bytes failed\n",
                         static_cast<unsigned>(size > 0xFFFFFFFFu ? 0xFFFFFFFFu : size));
        throw ORTU_Out_Of_Memory();
    }
    char* raw = static_cast<char*>(ORTU_Malloc_Allocator::allocate(HEAD + size + GUARD_SIZE));
    char* data = raw + HEAD;
    write_word(data - sizeof(ORTU_UINT32), static_cast<ORTU_UINT32>(size));
    write_word(data + size, ORTU_String_Manager::GUARD);
    notify(ORTU_String_Manager::ev_heap_new, data, size);
    return data;
}

void free_heap_block(char* data, size_t size) {
    notify(ORTU_String_Manager::ev_heap_return, data, size);
    ORTU_Malloc_Allocator::deallocate(data - HEAD);
}

} // namespace

// ---------------------------------------------------------------------------
// ORTU_Malloc_Allocator

void* ORTU_Malloc_Allocator::heap_allocate(size_t size) {
    Heap_Function f = heap_function.load();
    return f ? f(size) : std::malloc(size ? size : 1);
}

ORTU_Malloc_Allocator::Heap_Function ORTU_Malloc_Allocator::set_heap_function(Heap_Function f) {
    return heap_function.exchange(f);
}

void* ORTU_Malloc_Allocator::allocate(size_t size) {
    if (void* p = heap_allocate(size))
        return p;
    ORTU_String_Manager::release_cached_blocks();
    if (void* p = heap_allocate(size))
        return p;
    ortu_debug_print("ORTU_Malloc_Allocator, allocation of %u bytes failed\n",
                     static_cast<unsigned>(size > 0xFFFFFFFFu ? 0xFFFFFFFFu : size));
    throw ORTU_Out_Of_Memory();
}

void ORTU_Malloc_Allocator::deallocate(void* p) {
    std::free(p);
}

// ---------------------------------------------------------------------------
// ORTU_String_Manager

void ORTU_String_Manager::start() {
    Manager_State& s = state();
    ORTU_CHECK(!s.active.load(), "!string_manager_active_");
    if (!s.lock)
        s.lock.emplace();
    s.total = 0;
    s.big = 0;
    s.hits = 0;
    s.active = true;
}

void ORTU_String_Manager::stop() {
    Manager_State& s = state();
    ORTU_CHECK(s.active.load(), "string_manager_active_");
    ORTU_UINT32 total = s.total.load();
    ORTU_UINT32 hits = s.hits.load();
    unsigned percent = total ? static_cast<unsigned>(ORTU_UINT64(hits) * 100 / total) : 0;
    ortu_debug_print("String manager statistics:\n");
    ortu_debug_print(" total allocations: %u\n", total);
    ortu_debug_print(" big allocations:   %u\n", s.big.load());
    ortu_debug_print(" cache hits:        %u (%u%%)\n", hits, percent);
    release_cached_blocks();
    s.active = false;
}

bool ORTU_String_Manager::active() {
    return state().active.load();
}

void* ORTU_String_Manager::allocate(size_t size) {
    ORTU_CHECK(state().active.load(), "string_manager_active_");
    ORTU_ASSERT(size);
    ORTU_ASSERT(!(size & ALIGNMENT_MASK));
    return allocate_any(size);
}

void* ORTU_String_Manager::allocate_any(size_t size) {
    Manager_State& s = state();
    size = normalized(size);
    if (!s.active.load())
        return new_heap_block(size);
    s.total.fetch_add(1);
    if (size >= BIG_BLOCK_SIZE) {
        s.big.fetch_add(1);
        return new_heap_block(size);
    }
    size_t cls = size / ALIGNMENT;
    Free_Block* block = nullptr;
    {
        ORTU_Mutex_Holder hold(*s.lock);
        block = s.free_lists[cls];
        if (block) {
            s.free_lists[cls] = block->next;
            --s.cached[cls];
            s.hits.fetch_add(1);
        }
    }
    if (!block)
        return new_heap_block(size);
    notify(ev_reused, block, size);
    return block;
}

void ORTU_String_Manager::release(void* p, size_t size) {
    ORTU_ASSERT(p && size && !(size & ALIGNMENT_MASK));
    release_any(p, size);
}

void ORTU_String_Manager::release_any(void* p, size_t size) {
    if (!p)
        return;
    Manager_State& s = state();
    size = normalized(size);
    char* data = static_cast<char*>(p);
    bool size_ok = read_word(data - sizeof(ORTU_UINT32)) == static_cast<ORTU_UINT32>(size);
    ORTU_CHECK(size_ok, "*(ORTU_UINT32*)(p - sizeof(ORTU_UINT32)) == (ORTU_UINT32)size");
    // The guard is only where we think it is when the size word agreed.
    bool guard_ok = size_ok && read_word(data + size) == GUARD;
    ORTU_CHECK(!size_ok || guard_ok, "*(ORTU_UINT32*)(p + size) == 0x78787878");
    // A damaged block must not go back into a class it may not fit: the heap
    // frees it whatever its size.
    if (!size_ok || !guard_ok || size >= BIG_BLOCK_SIZE || !s.active.load()) {
        free_heap_block(data, size);
        return;
    }
    size_t cls = size / ALIGNMENT;
    {
        ORTU_Mutex_Holder hold(*s.lock);
        Free_Block* block = reinterpret_cast<Free_Block*>(data);
        block->next = s.free_lists[cls];
        s.free_lists[cls] = block;
        ++s.cached[cls];
    }
    notify(ev_cached, data, size);
}

void ORTU_String_Manager::release_cached_blocks() {
    Manager_State& s = state();
    if (!s.lock)
        return;
    Free_Block* lists[CLASS_COUNT];
    {
        ORTU_Mutex_Holder hold(*s.lock);
        for (size_t i = 0; i < CLASS_COUNT; ++i) {
            lists[i] = s.free_lists[i];
            s.free_lists[i] = nullptr;
            s.cached[i] = 0;
        }
    }
    for (size_t i = 0; i < CLASS_COUNT; ++i) {
        while (Free_Block* block = lists[i]) {
            lists[i] = block->next;
            free_heap_block(reinterpret_cast<char*>(block), i * ALIGNMENT);
        }
    }
}

ORTU_String_Manager::Event_Hook ORTU_String_Manager::set_event_hook(Event_Hook hook) {
    return state().hook.exchange(hook);
}

ORTU_UINT32 ORTU_String_Manager::total_allocations() {
    return state().total.load();
}
ORTU_UINT32 ORTU_String_Manager::big_allocations() {
    return state().big.load();
}
ORTU_UINT32 ORTU_String_Manager::cache_hits() {
    return state().hits.load();
}

size_t ORTU_String_Manager::cached_blocks(size_t size) {
    Manager_State& s = state();
    size_t cls = size_class(size);
    if (!cls || !s.lock)
        return 0;
    ORTU_Mutex_Holder hold(*s.lock);
    return s.cached[cls];
}

// ---------------------------------------------------------------------------
// ORTU_String

namespace {

char null_text[1] = {0};

constexpr size_t DESCRIPTOR_SIZE = (sizeof(ORTU_String_Data) + 7) & ~size_t(7);
// Lengths and capacities are 32-bit; doubling must stay below that.
constexpr size_t MAX_CAPACITY = 0x7FFFFFF7u;
// The capacity the first format gives a string without storage.
constexpr size_t FORMAT_START_CAPACITY = 63;

size_t capacity_for(size_t length, size_t wished) {
    size_t c = length > wished ? length : wished;
    if (c > MAX_CAPACITY)
        throw ORTU_Out_Of_Memory();
    return c | 7;
}

// Windows-1252 to code page 437 and back, bytes 0x80 to 0xFF; characters the
// other page lacks take their nearest look-alike, or "?".
constexpr unsigned char ansi_to_oem_table[128] = {
    0x45, 0x3F, 0x27, 0x9F, 0x22, 0x2E, 0x2B, 0x2B, 0x5E, 0x25, 0x53, 0x3C, 0x4F, 0x3F, 0x5A, 0x3F,
    0x3F, 0x27, 0x27, 0x22, 0x22, 0xF9, 0x2D, 0x2D, 0x20, 0x54, 0x73, 0x3E, 0x6F, 0x3F, 0x7A, 0x59,
    0xFF, 0xAD, 0x9B, 0x9C, 0x6F, 0x9D, 0x7C, 0x3F, 0x20, 0x63, 0xA6, 0xAE, 0xAA, 0x2D, 0x72, 0x20,
    0xF8, 0xF1, 0xFD, 0x33, 0x20, 0xE6, 0x3F, 0xFA, 0x20, 0x31, 0xA7, 0xAF, 0xAC, 0xAB, 0x33, 0xA8,
    0x41, 0x41, 0x41, 0x41, 0x8E, 0x8F, 0x92, 0x80, 0x45, 0x90, 0x45, 0x45, 0x49, 0x49, 0x49, 0x49,
    0x44, 0xA5, 0x4F, 0x4F, 0x4F, 0x4F, 0x99, 0x78, 0x4F, 0x55, 0x55, 0x55, 0x9A, 0x59, 0x54, 0xE1,
    0x85, 0xA0, 0x83, 0x61, 0x84, 0x86, 0x91, 0x87, 0x8A, 0x82, 0x88, 0x89, 0x8D, 0xA1, 0x8C, 0x8B,
    0x64, 0xA4, 0x95, 0xA2, 0x93, 0x6F, 0x94, 0xF6, 0x6F, 0x97, 0xA3, 0x96, 0x81, 0x79, 0x74, 0x98,
};
constexpr unsigned char oem_to_ansi_table[128] = {
    0xC7, 0xFC, 0xE9, 0xE2, 0xE4, 0xE0, 0xE5, 0xE7, 0xEA, 0xEB, 0xE8, 0xEF, 0xEE, 0xEC, 0xC4, 0xC5,
    0xC9, 0xE6, 0xC6, 0xF4, 0xF6, 0xF2, 0xFB, 0xF9, 0xFF, 0xD6, 0xDC, 0xA2, 0xA3, 0xA5, 0x3F, 0x83,
    0xE1, 0xED, 0xF3, 0xFA, 0xF1, 0xD1, 0xAA, 0xBA, 0xBF, 0x3F, 0xAC, 0xBD, 0xBC, 0xA1, 0xAB, 0xBB,
    0x3F, 0x3F, 0x3F, 0x7C, 0x2B, 0x2B, 0x2B, 0x2B, 0x2B, 0x2B, 0x7C, 0x2B, 0x2B, 0x2B, 0x2B, 0x2B,
    0x2B, 0x2B, 0x2B, 0x2B, 0x2D, 0x2B, 0x2B, 0x2B, 0x2B, 0x2B, 0x2B, 0x2B, 0x2B, 0x2D, 0x2B, 0x2B,
    0x2B, 0x2B, 0x2B, 0x2B, 0x2B, 0x2B, 0x2B, 0x2B, 0x2B, 0x2B, 0x2B, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F,
    0x3F, 0xDF, 0x3F, 0x3F, 0x3F, 0x3F, 0xB5, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F,
    0x3F, 0xB1, 0x3F, 0x3F, 0x3F, 0x3F, 0xF7, 0x3F, 0xB0, 0x3F, 0xB7, 0x3F, 0x6E, 0xB2, 0x3F, 0xA0,
};

bool convert_needed(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80)
            return true;
    }
    return false;
}

void convert(char* text, size_t length, const unsigned char* table) {
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80)
            text[i] = static_cast<char>(table[c - 0x80]);
    }
}

int fold(int c) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
}

// Grows the text block of a string being formatted: capacity doubles.
int flush_growing(ORTU_Format_Buffer* buffer) {
    ORTU_String_Data* data = static_cast<ORTU_String_Data*>(buffer->user1);
    ORTU_ASSERT(data->ref_count_ == 1);
    size_t used = static_cast<size_t>(buffer->cur - data->text_);
    size_t old_capacity = data->capacity_;
    if (old_capacity > MAX_CAPACITY / 2)
        return 1;
    size_t new_capacity = (old_capacity * 2) | 7;
    char* block = static_cast<char*>(ORTU_String_Manager::allocate_any(new_capacity + 1));
    std::memcpy(block, data->text_, used);
    ORTU_String_Manager::release_any(data->text_, old_capacity + 1);
    data->text_ = block;
    data->capacity_ = static_cast<ORTU_UINT32>(new_capacity);
    buffer->cur = block + used;
    buffer->end = block + new_capacity;
    return 0;
}

} // namespace

ORTU_String_Data ORTU_String::null_string_descriptor_{null_text, {1}, 0, 0};

ORTU_String_Data* ORTU_String::null_descriptor() {
    return &null_string_descriptor_;
}

ORTU_String_Data* ORTU_String::new_descriptor(const char* text, size_t length, size_t wished) {
    size_t capacity = capacity_for(length, wished);
    char* block = static_cast<char*>(ORTU_String_Manager::allocate_any(capacity + 1));
    void* memory;
    try {
        memory = ORTU_String_Manager::allocate_any(DESCRIPTOR_SIZE);
    } catch (...) {
        ORTU_String_Manager::release_any(block, capacity + 1);
        throw;
    }
    ORTU_String_Data* desc = new (memory) ORTU_String_Data;
    desc->text_ = block;
    desc->ref_count_.store(1);
    desc->length_ = static_cast<ORTU_UINT32>(length);
    desc->capacity_ = static_cast<ORTU_UINT32>(capacity);
    if (length)
        std::memcpy(block, text, length);
    block[length] = 0;
    return desc;
}

void ORTU_String::add_ref(ORTU_String_Data* desc) {
    desc->ref_count_.fetch_add(1);
}

void ORTU_String::drop_ref(ORTU_String_Data* desc) {
    if (desc->ref_count_.fetch_sub(1) != 1)
        return;
    ORTU_ASSERT(desc != &null_string_descriptor_);
    if (desc == &null_string_descriptor_) {
        desc->ref_count_.fetch_add(1); // never freed, whatever went wrong
        return;
    }
    ORTU_String_Manager::release_any(desc->text_, desc->capacity_ + size_t(1));
    desc->~ORTU_String_Data();
    ORTU_String_Manager::release_any(desc, DESCRIPTOR_SIZE);
}

void ORTU_String::make_own(size_t wished) {
    if (data_ != &null_string_descriptor_ && data_->ref_count_.load() == 1 &&
        data_->capacity_ >= wished)
        return;
    size_t keep = wished > data_->capacity_ ? wished : data_->capacity_;
    ORTU_String_Data* desc = new_descriptor(data_->text_, data_->length_, keep);
    drop_ref(data_);
    data_ = desc;
}

ORTU_String::ORTU_String() : data_(&null_string_descriptor_) {
    add_ref(data_);
}

ORTU_String::ORTU_String(const char* text) : ORTU_String(text, text ? std::strlen(text) : 0) {}

ORTU_String::ORTU_String(const char* text, size_t length) : data_(&null_string_descriptor_) {
    if (!text || !length) {
        add_ref(data_);
        return;
    }
    data_ = new_descriptor(text, length, 0);
}

ORTU_String::ORTU_String(const ORTU_String& other) : data_(other.data_) {
    add_ref(data_);
}

ORTU_String::ORTU_String(ORTU_String&& other) noexcept : data_(other.data_) {
    other.data_ = &null_string_descriptor_;
    add_ref(other.data_);
}

ORTU_String::~ORTU_String() {
    drop_ref(data_);
}

ORTU_String& ORTU_String::operator=(const ORTU_String& other) {
    add_ref(other.data_); // first: self-assignment must not free the text
    drop_ref(data_);
    data_ = other.data_;
    return *this;
}

ORTU_String& ORTU_String::operator=(ORTU_String&& other) noexcept {
    if (this != &other) {
        drop_ref(data_);
        data_ = other.data_;
        other.data_ = &null_string_descriptor_;
        add_ref(other.data_);
    }
    return *this;
}

ORTU_String& ORTU_String::operator=(const char* text) {
    return assign(text, text ? std::strlen(text) : 0);
}

ORTU_String& ORTU_String::assign(const char* text, size_t length) {
    if (!text || !length) {
        clear();
        return *this;
    }
    if (data_ != &null_string_descriptor_ && data_->ref_count_.load() == 1 &&
        length <= data_->capacity_) {
        // memmove: the text may be a part of our own.
        std::memmove(data_->text_, text, length);
        data_->text_[length] = 0;
        data_->length_ = static_cast<ORTU_UINT32>(length);
        return *this;
    }
    ORTU_String_Data* desc = new_descriptor(text, length, 0);
    drop_ref(data_);
    data_ = desc;
    return *this;
}

ORTU_String& ORTU_String::append(const char* text) {
    return text ? append(text, std::strlen(text)) : *this;
}

ORTU_String& ORTU_String::append(const ORTU_String& other) {
    // Copy the value first: other may be this string.
    ORTU_String keep(other);
    return append(keep.c_str(), keep.length());
}

ORTU_String& ORTU_String::append(char c) {
    return append(&c, 1);
}

ORTU_String& ORTU_String::append(const char* bytes, size_t count) {
    if (!bytes || !count)
        return *this;
    size_t old_length = data_->length_;
    if (count > MAX_CAPACITY - old_length)
        throw ORTU_Out_Of_Memory();
    size_t new_length = old_length + count;
    if (data_ != &null_string_descriptor_ && data_->ref_count_.load() == 1 &&
        new_length <= data_->capacity_) {
        std::memmove(data_->text_ + old_length, bytes, count);
        data_->text_[new_length] = 0;
        data_->length_ = static_cast<ORTU_UINT32>(new_length);
        return *this;
    }
    // The old text stays until the copy is made: bytes may point into it.
    // Growth doubles so that repeated appends stay linear.
    size_t wished = data_->capacity_;
    if (new_length > wished)
        wished = wished > MAX_CAPACITY / 2 ? new_length : std::max(new_length, wished * 2);
    ORTU_String_Data* desc = new_descriptor(data_->text_, old_length, wished);
    std::memcpy(desc->text_ + old_length, bytes, count);
    desc->text_[new_length] = 0;
    desc->length_ = static_cast<ORTU_UINT32>(new_length);
    drop_ref(data_);
    data_ = desc;
    return *this;
}

void ORTU_String::reserve(size_t capacity) {
    if (capacity <= data_->capacity_ && data_ != &null_string_descriptor_)
        return;
    if (capacity == 0)
        return;
    make_own(capacity);
}

void ORTU_String::clear() {
    if (data_->length_ == 0)
        return;
    if (data_->ref_count_.load() == 1) {
        // Unshared storage is kept for the next text.
        data_->text_[0] = 0;
        data_->length_ = 0;
        return;
    }
    drop_ref(data_);
    data_ = &null_string_descriptor_;
    add_ref(data_);
}

void ORTU_String::truncate(size_t n) {
    if (n >= data_->length_)
        return;
    if (n == 0) {
        clear();
        return;
    }
    make_own(0);
    data_->text_[n] = 0;
    data_->length_ = static_cast<ORTU_UINT32>(n);
}

void ORTU_String::keep_last(size_t n) {
    size_t length = data_->length_;
    if (n >= length)
        return;
    if (n == 0) {
        clear();
        return;
    }
    make_own(0);
    std::memmove(data_->text_, data_->text_ + (length - n), n);
    data_->text_[n] = 0;
    data_->length_ = static_cast<ORTU_UINT32>(n);
}

void ORTU_String::trim() {
    const unsigned char* t = reinterpret_cast<const unsigned char*>(data_->text_);
    size_t length = data_->length_;
    size_t first = 0;
    while (first < length && t[first] <= 32)
        ++first;
    size_t last = length;
    while (last > first && t[last - 1] <= 32)
        --last;
    if (first == 0 && last == length)
        return;
    if (first == last) {
        clear();
        return;
    }
    make_own(0);
    std::memmove(data_->text_, data_->text_ + first, last - first);
    data_->text_[last - first] = 0;
    data_->length_ = static_cast<ORTU_UINT32>(last - first);
}

// Only A-Z and a-z change; a text without such letters keeps its shared
// descriptor.
void ORTU_String::shift_letters(char first, char last, int delta) {
    size_t length = data_->length_;
    size_t i = 0;
    while (i < length && !(data_->text_[i] >= first && data_->text_[i] <= last))
        ++i;
    if (i == length)
        return;
    make_own(0);
    for (; i < length; ++i) {
        char& c = data_->text_[i];
        if (c >= first && c <= last)
            c = static_cast<char>(c + delta);
    }
}

void ORTU_String::to_lower() {
    shift_letters('A', 'Z', 32);
}

void ORTU_String::to_upper() {
    shift_letters('a', 'z', -32);
}

void ORTU_String::ansi_to_oem() {
    if (!convert_needed(data_->text_, data_->length_))
        return;
    make_own(0);
    convert(data_->text_, data_->length_, ansi_to_oem_table);
}

void ORTU_String::oem_to_ansi() {
    if (!convert_needed(data_->text_, data_->length_))
        return;
    make_own(0);
    convert(data_->text_, data_->length_, oem_to_ansi_table);
}

int ORTU_String::format(const char* format_string, ...) {
    va_list args;
    va_start(args, format_string);
    int result = vformat(format_string, args);
    va_end(args);
    return result;
}

int ORTU_String::vformat(const char* format_string, va_list args) {
    ORTU_ASSERT(format_string);
    if (!format_string)
        return -1;
    // The old text lives until the end: the arguments may point into it.
    ORTU_String_Data* old_desc = nullptr;
    char* old_text = nullptr;
    size_t old_block = 0;
    if (data_ == &null_string_descriptor_ || data_->ref_count_.load() > 1) {
        size_t start = data_ == &null_string_descriptor_ ? FORMAT_START_CAPACITY : data_->capacity_;
        ORTU_String_Data* desc = new_descriptor("", 0, start);
        old_desc = data_;
        data_ = desc;
    } else {
        old_text = data_->text_;
        old_block = data_->capacity_ + size_t(1);
        data_->text_ = static_cast<char*>(ORTU_String_Manager::allocate_any(old_block));
    }

    ORTU_Format_Buffer buffer{data_->text_, data_->text_ + data_->capacity_, data_, nullptr};
    int f_length;
    try {
        f_length = ortu_vformat(flush_growing, &buffer, format_string, args);
    } catch (...) {
        // Back to the text we had: the new storage is given up.
        if (old_desc) {
            drop_ref(data_);
            data_ = old_desc;
        } else {
            ORTU_String_Manager::release_any(data_->text_, data_->capacity_ + size_t(1));
            data_->text_ = old_text;
            data_->capacity_ = static_cast<ORTU_UINT32>(old_block - 1);
        }
        throw;
    }
    size_t produced = static_cast<size_t>(buffer.cur - data_->text_);
    ORTU_ASSERT(f_length < 0 || (size_t)f_length <= data_->capacity_);
    data_->text_[produced] = 0;
    data_->length_ = static_cast<ORTU_UINT32>(produced);
    if (old_desc)
        drop_ref(old_desc);
    else
        ORTU_String_Manager::release_any(old_text, old_block);
    return f_length;
}

bool ORTU_String::read_file(const char* file_name) {
    ORTU_ASSERT(file_name);
    if (!file_name)
        return false;
    struct File_Closer {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<FILE, File_Closer> file(std::fopen(file_name, "rb"));
    if (!file)
        return false;
    // Files that cannot tell their size (pipes, /proc) count as size 0.
    long size = std::fseek(file.get(), 0, SEEK_END) == 0 ? std::ftell(file.get()) : 0;
    if (size < 0)
        size = 0;
    if (static_cast<unsigned long>(size) > MAX_CAPACITY)
        return false;
    if (std::fseek(file.get(), 0, SEEK_SET) != 0)
        return false;
    // Those get one read of a fixed size.
    size_t wanted = size ? static_cast<size_t>(size) : 4096;
    ORTU_String text;
    text.reserve(wanted);
    size_t got = std::fread(text.data_->text_, 1, wanted, file.get());
    if (size ? got != wanted : std::ferror(file.get()) != 0)
        return false;
    text.data_->text_[got] = 0;
    text.data_->length_ = static_cast<ORTU_UINT32>(std::strlen(text.data_->text_));
    *this = std::move(text);
    return true;
}

ORTU_UINT32 ORTU_String::hash(const char* text) {
    ORTU_UINT32 h = 0;
    if (!text)
        return h;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        h = h * 5 + *p;
    return h;
}

int ORTU_String::compare(const char* text) const {
    return std::strcmp(c_str(), text ? text : "");
}

int ORTU_String::compare_nocase(const char* text) const {
    const unsigned char* a = reinterpret_cast<const unsigned char*>(c_str());
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text ? text : "");
    for (;; ++a, ++b) {
        int ca = fold(*a), cb = fold(*b);
        if (ca != cb || ca == 0)
            return ca - cb;
    }
}

bool ORTU_String::operator==(const ORTU_String& other) const {
    return data_ == other.data_ ||
           (data_->length_ == other.data_->length_ &&
            std::memcmp(data_->text_, other.data_->text_, data_->length_) == 0);
}
