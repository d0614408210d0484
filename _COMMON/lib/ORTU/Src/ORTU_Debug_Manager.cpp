#include "ORTU_Debug_Manager.h"

#include "ORTU_Format.h"
#include "ORTU_OS.h"
#include "ORTU_ini.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// Prefixes are built into this much stack, at most 98 characters.
constexpr size_t PREFIX_SIZE = 99;
constexpr size_t OS_PIECE_SIZE = 1024;
constexpr size_t DUMP_BYTES_PER_LINE = 16;
constexpr size_t DUMP_HEX_AREA = 50;

const char* const MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Owns the manager between create() and destroy(); instance_ is what the
// lines read.
std::unique_ptr<ORTU_Debug_Manager>& owner() {
    static std::unique_ptr<ORTU_Debug_Manager> manager;
    return manager;
}

// Set before start by tests and tools; empty means "not set".
char configured_file[4096];

struct Device_Session {
    explicit Device_Session(ORTU_Debug_Device& device) : device_(device) { device_.begin(); }
    ~Device_Session() { device_.end(); }
    Device_Session(const Device_Session&) = delete;
    Device_Session& operator=(const Device_Session&) = delete;

private:
    ORTU_Debug_Device& device_;
};

bool is_space(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

// The value of key trimmed of codes 32 and below, cut to the buffer.
void trimmed_value(const char* entries, const char* key, char* out, size_t size) {
    const char* v = ORTU_Ini_Reader::lookup(entries, key);
    while (*v && is_space(*v))
        ++v;
    size_t length = std::strlen(v);
    while (length && is_space(v[length - 1]))
        --length;
    if (length >= size)
        length = size - 1;
    std::memcpy(out, v, length);
    out[length] = 0;
}

bool bool_value(const char* entries, const char* key) {
    char v[ORTU_Ini_Reader::SECTION_BUFFER_SIZE];
    trimmed_value(entries, key, v, sizeof v);
    return std::strcmp(v, "1") == 0;
}

// Leading decimal digits with an optional sign; 0 when there are none.
ORTU_INT32 int_value(const char* entries, const char* key) {
    char v[ORTU_Ini_Reader::SECTION_BUFFER_SIZE];
    trimmed_value(entries, key, v, sizeof v);
    const char* p = v;
    bool negative = false;
    if (*p == '-' || *p == '+')
        negative = *p++ == '-';
    ORTU_INT64 n = 0;
    while (*p >= '0' && *p <= '9') {
        n = n * 10 + (*p++ - '0');
        if (n > ORTU_INT64(INT32_MAX) + 1)
            n = ORTU_INT64(INT32_MAX) + 1; // saturates instead of wrapping
    }
    if (negative)
        n = -n;
    if (n > INT32_MAX)
        n = INT32_MAX;
    return static_cast<ORTU_INT32>(n);
}

ORTU_Debug_Settings group_settings(const char* entries) {
    // Every key replaces the default, so a missing one counts as false or 0.
    ORTU_Debug_Settings s{true, 1, 0x23};
    s.enabled = bool_value(entries, "enabled");
    s.max_level = int_value(entries, "max_level");
    struct Flag_Key {
        const char* key;
        ORTU_UINT32 bit;
    };
    static const Flag_Key keys[] = {
        {"print_tid", ORTU_DEBUG_PRINT_TID},     {"print_tname", ORTU_DEBUG_PRINT_TNAME},
        {"print_gname", ORTU_DEBUG_PRINT_GNAME}, {"print_ms_time", ORTU_DEBUG_PRINT_MS_TIME},
        {"print_time", ORTU_DEBUG_PRINT_TIME},   {"print_level", ORTU_DEBUG_PRINT_LEVEL},
    };
    s.print_flags = 0;
    for (const Flag_Key& k : keys) {
        if (bool_value(entries, k.key))
            s.print_flags |= k.bit;
    }
    return s;
}

class Prefix_Builder {
public:
    void add(const char* format, ...) {
        if (used_ >= PREFIX_SIZE - 1)
            return;
        va_list args;
        va_start(args, format);
        int n = ortu_vsnprintf(text_ + used_, PREFIX_SIZE - used_, format, args);
        va_end(args);
        // A cut part reports the room it had: the buffer is full then.
        used_ += n > 0 ? static_cast<size_t>(n) : 0;
        if (used_ > PREFIX_SIZE - 1)
            used_ = PREFIX_SIZE - 1;
    }
    bool empty() const { return used_ == 0; }
    const char* text() const { return text_; }

private:
    char text_[PREFIX_SIZE] = {0};
    size_t used_ = 0;
};

} // namespace

// ---------------------------------------------------------------------------
// Devices

ORTU_Debug_Device::~ORTU_Debug_Device() = default;

void ORTU_Debug_Device::begin() {
    lock_.acquire();
}

void ORTU_Debug_Device::end() {
    lock_.release();
}

void ORTU_Debug_Device::printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    print(format, args);
    va_end(args);
}

ORTU_OS_Debug_Device::ORTU_OS_Debug_Device() {
    ortu_debug_print("ORTU_OS_Debug_Device created\n");
}

void ORTU_OS_Debug_Device::print(const char* format, va_list args) {
    char text[OS_PIECE_SIZE];
    ortu_vsnprintf(text, sizeof text, format, args);
    ORTU_OS::debug_output(text);
}

ORTU_File_Debug_Device::ORTU_File_Debug_Device(const char* name, bool append) {
    if (std::strcmp(name, "stdout") == 0 || std::strcmp(name, "stderr") == 0) {
        file_ = name[3] == 'o' ? stdout : stderr;
        ortu_debug_print("ORTU_File_Debug_Device created for standard device\n");
        return;
    }
    file_ = *name ? std::fopen(name, append ? "ab" : "wb") : nullptr;
    owns_ = file_ != nullptr;
    ortu_debug_print("ORTU_File_Debug_Device created for '%s'\n", name);
}

ORTU_File_Debug_Device::~ORTU_File_Debug_Device() {
    close();
}

void ORTU_File_Debug_Device::end() {
    if (file_)
        std::fflush(file_);
    ORTU_Debug_Device::end();
}

void ORTU_File_Debug_Device::print(const char* format, va_list args) {
    if (file_)
        ortu_vfprintf(file_, format, args);
}

bool ORTU_File_Debug_Device::is_valid() const {
    return file_ != nullptr && !std::ferror(file_);
}

void ORTU_File_Debug_Device::close() {
    if (file_ && owns_)
        std::fclose(file_);
    file_ = nullptr;
    owns_ = false;
}

// ---------------------------------------------------------------------------
// The manager's life

std::atomic<ORTU_Debug_Manager*> ORTU_Debug_Manager::instance_{nullptr};

ORTU_Debug_Manager::ORTU_Debug_Manager() : start_tick_(ORTU_OS::tick_count()), groups_(16) {}

ORTU_Debug_Manager::~ORTU_Debug_Manager() {
    if (device_)
        device_->close();
    device_.reset();
}

void ORTU_Debug_Manager::create() {
    ORTU_ASSERT(!instance_);
    if (instance_.load())
        return;
    std::unique_ptr<ORTU_Debug_Manager> manager(new ORTU_Debug_Manager);
    ORTU_Debug_Manager* m = manager.get();
    owner() = std::move(manager);
    instance_.store(m, std::memory_order_release);
    ORTU_String file = configuration_file();
    ORTU_Mutex_Holder hold(m->lock_);
    m->read_configuration(file.c_str());
}

void ORTU_Debug_Manager::destroy() {
    ORTU_ASSERT(instance_);
    ORTU_Debug_Manager* m = instance_.load();
    if (!m)
        return;
    {
        ORTU_Mutex_Holder hold(m->lock_);
        if (!m->groups_.empty())
            ortu_debug_print("ORTU_Debug_Manager, groups_ is not empty, %u\n",
                             static_cast<unsigned>(m->groups_.size()));
    }
    instance_.store(nullptr, std::memory_order_release);
    owner().reset();
    ortu_debug_print("ORTU_Debug_Manager has been shut down\n");
}

void ORTU_Debug_Manager::shutdown_device() {
    ORTU_Debug_Manager* m = current();
    if (!m)
        return;
    ORTU_Mutex_Holder hold(m->lock_);
    if (m->device_)
        m->device_->shutdown();
}

ORTU_Debug_Manager* ORTU_Debug_Manager::instance() {
    ORTU_Debug_Manager* m = current();
    ORTU_ASSERT(instance_);
    return m;
}

void ORTU_Debug_Manager::set_configuration_file(const char* file_name) {
    if (!file_name) {
        configured_file[0] = 0;
        return;
    }
    ortu_snprintf(configured_file, sizeof configured_file, "%s", file_name);
}

ORTU_String ORTU_Debug_Manager::configuration_file() {
    if (configured_file[0])
        return ORTU_String(configured_file);
    const char* env = std::getenv("ORTU_DEBUG_INI");
    if (env && *env)
        return ORTU_String(env);
    ORTU_String name(ORTU_OS::module_file_name());
    name.append(".ini");
    return name;
}

// ---------------------------------------------------------------------------
// Configuration

std::unique_ptr<ORTU_Debug_Device> ORTU_Debug_Manager::make_device(const char* name, bool append) {
    if (std::strcmp(name, "os_debug") == 0)
        return std::make_unique<ORTU_OS_Debug_Device>();
    return std::make_unique<ORTU_File_Debug_Device>(name, append);
}

void ORTU_Debug_Manager::read_manager_section(const char* entries) {
    global_time_ = bool_value(entries, "global_time");
    log_append_ = bool_value(entries, "log_append");
    // The device name is taken as the entry gives it, blanks and all.
    device_name_ = ORTU_Ini_Reader::lookup(entries, "log_device");
    device_ = make_device(device_name_.c_str(), log_append_);
    device_->set_enabled(bool_value(entries, "enabled"));
}

void ORTU_Debug_Manager::read_configuration(const char* file_name) {
    ORTU_String text;
    if (!ORTU_Ini_Reader::read_file(file_name, text)) {
        ortu_debug_print("ORTU_Debug_Manager, '%s' is not found\n", file_name);
    } else {
        // Both buffers on the heap: 10 KiB is too much for a thread's stack
        // that may be small.
        std::unique_ptr<char[]> names(new char[ORTU_Ini_Reader::NAMES_BUFFER_SIZE]);
        size_t used = ORTU_Ini_Reader::section_names(text.c_str(), text.length(), names.get(),
                                                     ORTU_Ini_Reader::NAMES_BUFFER_SIZE);
        if (used == 0)
            ortu_debug_print("ORTU_Debug_Manager, '%s' is empty\n", file_name);
        char entries[ORTU_Ini_Reader::SECTION_BUFFER_SIZE];
        for (const char* name = names.get(); *name; name += std::strlen(name) + 1) {
            bool manager_section = std::strcmp(name, "Debug_Manager") == 0;
            if (manager_section && device_)
                continue;
            if (ORTU_Ini_Reader::section(text.c_str(), text.length(), name, entries,
                                         sizeof entries) == 0)
                continue;
            if (manager_section) {
                read_manager_section(entries);
                continue;
            }
            // A name seen twice would read the first section again.
            if (find_loaded(name))
                continue;
            loaded_.push_back(Loaded_Entry{ORTU_String(name), group_settings(entries)});
        }
        ortu_debug_print("ORTU_Debug_Manager, '%s', %d section(s) read\n", file_name,
                         static_cast<int>(loaded_.size()));
    }
    if (!device_) {
        device_name_ = "os_debug";
        device_ = make_device("os_debug", false);
    }
}

void ORTU_Debug_Manager::reload_configuration(const char* file_name) {
    ORTU_String file = file_name ? ORTU_String(file_name) : configuration_file();
    ORTU_Mutex_Holder hold(lock_);
    loaded_.clear();
    if (device_)
        device_->close();
    device_.reset();
    read_configuration(file.c_str());
    for (ORTU_UINT32 i = 0; i < groups_.size(); ++i) {
        ORTU_Debug_Group* g = groups_.at(i);
        for (size_t j = 0; j < loaded_.size(); ++j) {
            if (std::strcmp(loaded_[j].name.c_str(), g->name()) == 0) {
                g->settings_ = loaded_[j].settings;
                loaded_.erase(loaded_.begin() + static_cast<std::ptrdiff_t>(j));
                break;
            }
        }
    }
}

void ORTU_Debug_Manager::write_configuration(FILE* file) {
    if (!file)
        return;
    ORTU_Mutex_Holder hold(lock_);
    ortu_fprintf(file,
                 "[Debug_Manager]\nenabled = %d\nlog_device = %s\nglobal_time = %d\n\nlog_append = "
                 "%d\n\n",
                 device_ && device_->is_enabled() ? 1 : 0, device_name_.c_str(),
                 global_time_ ? 1 : 0, log_append_ ? 1 : 0);
    auto block = [file](const char* name, const ORTU_Debug_Settings& s) {
        ortu_fprintf(file,
                     "[%s]\nenabled = %d\nmax_level = %d\nprint_tid = %d\nprint_tname = "
                     "%d\nprint_gname = %d\nprint_ms_time = %d\nprint_time = %d\nprint_level = "
                     "%d\n\n",
                     name, s.enabled ? 1 : 0, s.max_level,
                     (s.print_flags & ORTU_DEBUG_PRINT_TID) ? 1 : 0,
                     (s.print_flags & ORTU_DEBUG_PRINT_TNAME) ? 1 : 0,
                     (s.print_flags & ORTU_DEBUG_PRINT_GNAME) ? 1 : 0,
                     (s.print_flags & ORTU_DEBUG_PRINT_MS_TIME) ? 1 : 0,
                     (s.print_flags & ORTU_DEBUG_PRINT_TIME) ? 1 : 0,
                     (s.print_flags & ORTU_DEBUG_PRINT_LEVEL) ? 1 : 0);
    };
    for (const Loaded_Entry& e : loaded_)
        block(e.name.c_str(), e.settings);
    for (ORTU_UINT32 i = 0; i < groups_.size(); ++i) {
        if (ORTU_Debug_Group* g = groups_.at(i))
            block(g->name(), g->settings_);
    }
}

bool ORTU_Debug_Manager::write_configuration(const char* file_name) {
    if (!file_name)
        return false;
    FILE* file = std::fopen(file_name, "wb");
    if (!file)
        return false;
    write_configuration(file);
    bool ok = !std::ferror(file);
    return std::fclose(file) == 0 && ok;
}

// ---------------------------------------------------------------------------
// Groups and settings

ORTU_Debug_Manager::Loaded_Entry* ORTU_Debug_Manager::find_loaded(const char* name) {
    for (Loaded_Entry& e : loaded_) {
        if (std::strcmp(e.name.c_str(), name) == 0)
            return &e;
    }
    return nullptr;
}

ORTU_Debug_Group* ORTU_Debug_Manager::find_group(const char* name) {
    for (ORTU_UINT32 i = 0; i < groups_.size(); ++i) {
        ORTU_Debug_Group* g = groups_.at(i);
        if (g && std::strcmp(g->name(), name) == 0)
            return g;
    }
    return nullptr;
}

bool ORTU_Debug_Manager::get_group_settings(const char* name, ORTU_Debug_Settings& settings) {
    if (!name)
        return false;
    ORTU_Mutex_Holder hold(lock_);
    if (ORTU_Debug_Group* g = find_group(name)) {
        settings = g->settings_;
        return true;
    }
    if (Loaded_Entry* e = find_loaded(name)) {
        settings = e->settings;
        return true;
    }
    return false;
}

void ORTU_Debug_Manager::set_group_settings(const char* name, const ORTU_Debug_Settings& settings,
                                            bool create) {
    if (!name)
        return;
    ORTU_Mutex_Holder hold(lock_);
    if (ORTU_Debug_Group* g = find_group(name)) {
        g->settings_ = settings;
        return;
    }
    if (Loaded_Entry* e = find_loaded(name)) {
        e->settings = settings;
        return;
    }
    if (create)
        loaded_.push_back(Loaded_Entry{ORTU_String(name), settings});
}

void ORTU_Debug_Manager::register_group(ORTU_Debug_Group* group) {
    if (!group)
        return;
    ORTU_Mutex_Holder hold(lock_);
    for (size_t j = 0; j < loaded_.size(); ++j) {
        if (std::strcmp(loaded_[j].name.c_str(), group->name()) == 0) {
            group->settings_ = loaded_[j].settings;
            loaded_.erase(loaded_.begin() + static_cast<std::ptrdiff_t>(j));
            break;
        }
    }
    groups_.push(group);
}

void ORTU_Debug_Manager::unregister_group(ORTU_Debug_Group* group) {
    ORTU_Mutex_Holder hold(lock_);
    // A group built under an earlier manager is not in this one's list.
    if (groups_.find(group) < 0)
        return;
    groups_.remove(group);
    groups_.compact();
}

size_t ORTU_Debug_Manager::loaded_count() {
    ORTU_Mutex_Holder hold(lock_);
    return loaded_.size();
}

size_t ORTU_Debug_Manager::group_count() {
    ORTU_Mutex_Holder hold(lock_);
    return groups_.size();
}

ORTU_String ORTU_Debug_Manager::device_name() {
    ORTU_Mutex_Holder hold(lock_);
    return device_name_;
}

bool ORTU_Debug_Manager::device_enabled() {
    ORTU_Mutex_Holder hold(lock_);
    return device_ && device_->is_enabled();
}

// ---------------------------------------------------------------------------
// Lines

bool ORTU_Debug_Manager::device_ready() {
    if (!device_ || !device_->is_enabled())
        return false;
    if (!device_->is_valid()) {
        device_->close();
        device_.reset();
        // Appending: a device that failed must not wipe what it wrote so far.
        device_ = make_device(device_name_.c_str(), true);
        if (!device_->is_valid()) {
            device_->set_enabled(false);
            return false;
        }
    }
    return true;
}

void ORTU_Debug_Manager::write_prefix(ORTU_Debug_Group* group, int level) {
    ORTU_UINT32 flags = group->settings_.print_flags;
    Prefix_Builder prefix;
    // Runtime threads carry no names here; the part stays for the layout.
    const char* thread_name = "";
    if ((flags & ORTU_DEBUG_PRINT_TID) && (flags & ORTU_DEBUG_PRINT_TNAME))
        prefix.add("{%s, 0x%03x} ", thread_name, ORTU_OS::current_thread_id());
    else if (flags & ORTU_DEBUG_PRINT_TID)
        prefix.add("{0x%03x} ", ORTU_OS::current_thread_id());
    else if (flags & ORTU_DEBUG_PRINT_TNAME)
        prefix.add("{%s} ", thread_name);

    if (flags & ORTU_DEBUG_PRINT_MS_TIME) {
        ORTU_UINT32 now = ORTU_OS::tick_count();
        ORTU_UINT32 ms = global_time_ ? now : now - start_tick_;
        prefix.add("[%u.%03u] ", ms / 1000, ms % 1000);
    } else if (flags & ORTU_DEBUG_PRINT_TIME) {
        std::time_t t = std::time(nullptr);
        std::tm local{};
#if defined(_WIN32)
        localtime_s(&local, &t);
#else
        localtime_r(&t, &local);
#endif
        prefix.add("[%s %02d %02d:%02d:%02d.%03d] ", MONTHS[local.tm_mon % 12], local.tm_mday,
                   local.tm_hour, local.tm_min, local.tm_sec, 0);
    }
    if (flags & ORTU_DEBUG_PRINT_LEVEL)
        prefix.add("%d ", level);
    if (flags & ORTU_DEBUG_PRINT_GNAME)
        prefix.add("[%s] ", group->name());
    if (!prefix.empty())
        device_->printf("%s", prefix.text());
}

void ORTU_Debug_Manager::print(ORTU_Debug_Group* group, int level, const char* format,
                               va_list args) {
    if (!group || !group->passes(level))
        return;
    print_untested(group, level, format, args);
}

void ORTU_Debug_Manager::print_untested(ORTU_Debug_Group* group, int level, const char* format,
                                        va_list args) {
    if (!group || !format)
        return;
    ORTU_Mutex_Holder hold(lock_);
    if (!device_ready())
        return;
    Device_Session session(*device_);
    write_prefix(group, level);
    va_list ap;
    va_copy(ap, args);
    device_->print(format, ap);
    va_end(ap);
}

void ORTU_Debug_Manager::dump(ORTU_Debug_Group* group, int level, const void* data, size_t size,
                              const char* format, va_list args) {
    if (!group || !group->passes(level))
        return;
    ORTU_Mutex_Holder hold(lock_);
    if (!device_ready())
        return;
    Device_Session session(*device_);
    write_prefix(group, level);
    if (format) {
        va_list ap;
        va_copy(ap, args);
        device_->print(format, ap);
        va_end(ap);
    }
    if (!data)
        return;
    static const char hex[] = "0123456789ABCDEF";
    const ORTU_BYTE* bytes = static_cast<const ORTU_BYTE*>(data);
    for (size_t offset = 0; offset < size; offset += DUMP_BYTES_PER_LINE) {
        size_t count = size - offset < DUMP_BYTES_PER_LINE ? size - offset : DUMP_BYTES_PER_LINE;
        char line[128];
        int n = ortu_snprintf(line, sizeof line, "   %04X: ", static_cast<unsigned>(offset));
        size_t used = n > 0 ? static_cast<size_t>(n) : 0;
        size_t hex_start = used;
        for (size_t i = 0; i < count; ++i) {
            ORTU_BYTE b = bytes[offset + i];
            line[used++] = hex[b >> 4];
            line[used++] = hex[b & 15];
            line[used++] = i == 7 ? '-' : ' ';
        }
        while (used < hex_start + DUMP_HEX_AREA)
            line[used++] = ' ';
        for (size_t i = 0; i < count; ++i) {
            ORTU_BYTE b = bytes[offset + i];
            line[used++] = (b >= 32 && b < 127) ? static_cast<char>(b) : '.';
        }
        line[used++] = '\n';
        line[used] = 0;
        device_->printf("%s", line);
    }
}
