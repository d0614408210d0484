// The framework allocator and the string helpers built on it. Everything the
// decoders allocate, and every string the library hands out, comes from here
// and goes back through qrex_free.
#pragma once

#include <cstddef>

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
