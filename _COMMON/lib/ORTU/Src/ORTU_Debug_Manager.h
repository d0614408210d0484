// The process-wide debug and log manager: it owns the output device, the
// settings read from "<program>.ini" that no group has claimed yet, and the
// list of registered debug groups.
#pragma once

#include "ORTU_Debug.h"
#include "ORTU_String.h"
#include "ORTU_Sync.h"
#include "ORTU_Vector.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <vector>

// Where the lines go. begin() takes the device's own lock, end() flushes and
// releases it; between them print() writes pieces.
class ORTU_Debug_Device {
public:
    virtual ~ORTU_Debug_Device();
    virtual void begin();
    virtual void end();
    virtual void print(const char* format, va_list args) = 0;
    virtual void set_enabled(bool enabled) { enabled_ = enabled; }
    virtual bool is_enabled() const { return enabled_; }
    virtual void shutdown() {}
    virtual bool is_valid() const = 0;
    virtual void close() {}

    void printf(const char* format, ...);

protected:
    ORTU_Debug_Device() = default;
    bool enabled_ = true;

private:
    ORTU_Mutex lock_;
};

// The system debugger output (ORTU_OS::debug_output); always valid.
class ORTU_OS_Debug_Device : public ORTU_Debug_Device {
public:
    ORTU_OS_Debug_Device();
    void print(const char* format, va_list args) override;
    bool is_valid() const override { return true; }
};

// The standard output or error stream ("stdout", "stderr", not owned) or a
// file that it opens, owns and flushes after every line.
class ORTU_File_Debug_Device : public ORTU_Debug_Device {
public:
    ORTU_File_Debug_Device(const char* name, bool append);
    ~ORTU_File_Debug_Device() override;
    void end() override;
    void print(const char* format, va_list args) override;
    bool is_enabled() const override { return enabled_ && file_ != nullptr; }
    bool is_valid() const override;
    void close() override;

private:
    FILE* file_ = nullptr;
    bool owns_ = false;
};

class ORTU_Debug_Manager {
public:
    // Entry points of the object manager.
    static void create();
    static void destroy();
    static void shutdown_device();
    // The manager; asserts that it exists.
    static ORTU_Debug_Manager* instance();
    // The manager or null, without an assertion.
    static ORTU_Debug_Manager* current() { return instance_.load(std::memory_order_acquire); }

    // The configuration file read by the next create() or by a reload without
    // a name: set here (null goes back to the default), else the environment
    // variable ORTU_DEBUG_INI, else the program's file name and ".ini".
    static void set_configuration_file(const char* file_name);
    static ORTU_String configuration_file();

    // Lines. The tested forms write only when the group passes the level.
    void print(ORTU_Debug_Group* group, int level, const char* format, va_list args);
    void print_untested(ORTU_Debug_Group* group, int level, const char* format, va_list args);
    void dump(ORTU_Debug_Group* group, int level, const void* data, size_t size, const char* format,
              va_list args);

    // A registered group first, then the loaded settings; false when neither
    // has the name.
    bool get_group_settings(const char* name, ORTU_Debug_Settings& settings);
    // Overwrites the group or loaded entry of that name; with create, adds a
    // loaded entry when there is none.
    void set_group_settings(const char* name, const ORTU_Debug_Settings& settings, bool create);

    void register_group(ORTU_Debug_Group* group);
    void unregister_group(ORTU_Debug_Group* group);

    void write_configuration(FILE* file);
    bool write_configuration(const char* file_name);
    // Drops the loaded settings and the device and reads the file again (null:
    // the configured one); registered groups take their sections' settings.
    void reload_configuration(const char* file_name = nullptr);

    // Looks for tests and tools.
    size_t loaded_count();
    size_t group_count();
    ORTU_String device_name();
    bool log_append() const { return log_append_; }
    bool global_time() const { return global_time_; }
    bool device_enabled();

    ~ORTU_Debug_Manager();
    ORTU_Debug_Manager(const ORTU_Debug_Manager&) = delete;
    ORTU_Debug_Manager& operator=(const ORTU_Debug_Manager&) = delete;

private:
    ORTU_Debug_Manager();

    struct Loaded_Entry {
        ORTU_String name;
        ORTU_Debug_Settings settings;
    };

    void read_configuration(const char* file_name);
    void read_manager_section(const char* entries);
    std::unique_ptr<ORTU_Debug_Device> make_device(const char* name, bool append);
    // Under the lock: false when nothing may be written now.
    bool device_ready();
    void write_prefix(ORTU_Debug_Group* group, int level);
    Loaded_Entry* find_loaded(const char* name);
    ORTU_Debug_Group* find_group(const char* name);

    static std::atomic<ORTU_Debug_Manager*> instance_;

    ORTU_Mutex lock_;
    std::unique_ptr<ORTU_Debug_Device> device_;
    ORTU_String device_name_;
    bool log_append_ = false;
    bool global_time_ = false;
    ORTU_UINT32 start_tick_;
    std::vector<Loaded_Entry> loaded_;
    ORTU_Pointer_Vector<ORTU_Debug_Group> groups_;
};
