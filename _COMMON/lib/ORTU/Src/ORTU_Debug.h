// The debug and log manager: named debug groups at numbered levels, written
// to one output device configured from "<program>.ini".
//
// Declaring a group (in a header) and defining it (in one .cpp):
//
//     ORTU_DECLARE_DEBUG_GROUP(qrex);   // class __ORTU_qrex_debug_group
//     ORTU_DEFINE_DEBUG_GROUP(qrex);    // enabled, max_level 1, flags 0x23
//
// Writing to it:
//
//     ORTU_DEBUG(qrex, 1, "TCPC.0x%x, invalid xid 0x%x received\n", ...);
//     ORTU_DEBUG_DUMP(qrex, 3, data, size, "received %u bytes\n", size);
//
// A line that does not pass the group's test costs one comparison, no lock.
#pragma once

#include "ORTU_Assert.h"
#include "ORTU_Types.h"

#include <cstdarg>
#include <cstdio>

// Line prefix flags.
enum : ORTU_UINT32 {
    ORTU_DEBUG_PRINT_TID = 0x01,
    ORTU_DEBUG_PRINT_MS_TIME = 0x02,
    ORTU_DEBUG_PRINT_LEVEL = 0x08,
    ORTU_DEBUG_PRINT_TNAME = 0x10,
    ORTU_DEBUG_PRINT_GNAME = 0x20,
    ORTU_DEBUG_PRINT_TIME = 0x40,
};

struct ORTU_Debug_Settings {
    bool enabled;
    ORTU_INT32 max_level;
    ORTU_UINT32 print_flags;
};

class ORTU_Debug_Group {
public:
    // Registers with the manager (which may hand it loaded settings).
    ORTU_Debug_Group(const char* name, const ORTU_Debug_Settings& defaults);
    virtual ~ORTU_Debug_Group(); // unregisters

    ORTU_Debug_Group(const ORTU_Debug_Group&) = delete;
    ORTU_Debug_Group& operator=(const ORTU_Debug_Group&) = delete;

    const char* name() const { return name_; }
    bool passes(int level) const { return settings_.enabled && level <= settings_.max_level; }

    // Tested: writes only when passes(level).
    void print(int level, const char* format, ...);
    void vprint(int level, const char* format, va_list args);
    // Untested: for callers that tested already.
    void print_untested(int level, const char* format, ...);
    void dump(int level, const void* data, size_t size, const char* format, ...);

    const char* name_; // static text, not copied
    ORTU_Debug_Settings settings_;
};

// ORTU_Debug_Manager itself is declared in ORTU_Debug_Manager.h.

#define ORTU_DEBUG_GROUP_CLASS(name) __ORTU_##name##_debug_group

#define ORTU_DECLARE_DEBUG_GROUP(name)                                                             \
    class ORTU_DEBUG_GROUP_CLASS(name) : public ORTU_Debug_Group {                                 \
    public:                                                                                        \
        ORTU_DEBUG_GROUP_CLASS(name)();                                                            \
        static ORTU_DEBUG_GROUP_CLASS(name) * instance();                                          \
    }

#define ORTU_DEFINE_DEBUG_GROUP(name)                                                              \
    ORTU_DEBUG_GROUP_CLASS(name)::ORTU_DEBUG_GROUP_CLASS(name)()                                   \
        : ORTU_Debug_Group(#name, ORTU_Debug_Settings{true, 1, 0x23}) {}                           \
    ORTU_DEBUG_GROUP_CLASS(name) * ORTU_DEBUG_GROUP_CLASS(name)::instance() {                      \
        return ORTU_Singleton<ORTU_DEBUG_GROUP_CLASS(name)>::instance();                           \
    }

#define ORTU_DEBUG(name, level, ...)                                                               \
    do {                                                                                           \
        ORTU_Debug_Group* ortu_g_ = ORTU_DEBUG_GROUP_CLASS(name)::instance();                      \
        if (ortu_g_->passes(level))                                                                \
            ortu_g_->print_untested((level), __VA_ARGS__);                                         \
    } while (0)

#define ORTU_DEBUG_DUMP(name, level, data, size, ...)                                              \
    do {                                                                                           \
        ORTU_Debug_Group* ortu_g_ = ORTU_DEBUG_GROUP_CLASS(name)::instance();                      \
        if (ortu_g_->passes(level))                                                                \
            ortu_g_->dump((level), (data), (size), __VA_ARGS__);                                   \
    } while (0)
