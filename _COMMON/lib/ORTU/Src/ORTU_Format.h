// The runtime's printf-style formatting engine. It writes into a caller's
// buffer and calls a flush function each time the buffer is full, so the
// same engine serves bounded buffers, growing strings and files.
//
// No printf format attribute on these: the engine's own conversions (%pa,
// %pB, registered extensions ...) would be flagged by the compiler.
#pragma once

#include "ORTU_Types.h"

#include <cstdarg>
#include <cstdio>

struct ORTU_Format_Buffer {
    char* cur;   // next character goes here
    char* end;   // one past the last usable byte
    void* user1; // for the flush function's own use (file form: the FILE*)
    void* user2; // (file form: the buffer's start)
};

// Returns 0 after making room (resets cur, may change end), non-zero to stop.
typedef int (*ORTU_Format_Flush)(ORTU_Format_Buffer* buffer);

// Builds text backwards from work_end (the end of a 512-byte work buffer);
// *length is 512 on entry and the text's length on return. Returns its start.
typedef char* (*ORTU_Format_Extension)(ORTU_UINT32 arg, char* work_end, int* length);

// Sizes: "ll"/"q" 64-bit, "l" and the default 32-bit, "h" 16-bit, "z" a
// size_t (the pointer-sized type of this platform).
//
// The engine: number of characters produced, or -1 when the flush function
// stopped it. A null flush function is one that always stops.
int ortu_vformat(ORTU_Format_Flush flush, ORTU_Format_Buffer* buffer, const char* format,
                 va_list args);

// Bounded: at most size-1 characters and a terminator. Returns the number of
// characters written, or size itself when the text was cut; 0 when size is 0.
int ortu_snprintf(char* buffer, size_t size, const char* format, ...);
int ortu_vsnprintf(char* buffer, size_t size, const char* format, va_list args);

// To a file through a 512-byte buffer; the engine's result (-1 also when the
// file cannot be written).
int ortu_fprintf(FILE* file, const char* format, ...);
int ortu_vfprintf(FILE* file, const char* format, va_list args);

// Registers a "%p<letter>" conversion. Returns its entry number (0..51), or 0
// after a message when the letter is not a letter or is taken. The engine's
// own letters (a, A, b, B, p) count as taken, which also keeps 0 free for
// failures. A null extension gives the letter back.
//
// "%p" with a letter that has no extension prints "bogus %p" and takes its
// 32-bit argument; "%p" with any other character prints the same and takes
// no argument.
int ortu_register_format_extension(char letter, ORTU_Format_Extension extension);
