#include "ORTU_Object_Manager.h"

#include "ORTU_Debug_Manager.h"
#include "ORTU_Exception.h"
#include "ORTU_String.h"
#include "ORTU_Thread_Win32.h"

#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <new>

namespace {

std::atomic<ORTU_UINT32> start_count{0};

// The manager lives in static storage: it must not need the heap manager
// it is about to start.
alignas(ORTU_Object_Manager) unsigned char manager_storage[64];

} // namespace

std::atomic<ORTU_UINT32> ORTU_Object_Manager::active_{0};
std::atomic<ORTU_Object_Manager*> ORTU_Object_Manager::instance_{nullptr};

void ortu_runtime_start() {
    if (start_count.fetch_add(1) + 1 == 1)
        ORTU_Object_Manager::start();
}

void ortu_runtime_stop() {
    ORTU_UINT32 count = start_count.load();
    // A stop without a start would wrap the count and leave the runtime
    // "started" forever.
    ORTU_ASSERT(count > 0);
    while (count > 0 && !start_count.compare_exchange_weak(count, count - 1)) {
    }
    if (count == 1)
        ORTU_Object_Manager::stop();
}

ORTU_UINT32 ortu_runtime_start_count() {
    return start_count.load();
}

ORTU_Object_Manager::ORTU_Object_Manager() : exit_queue_(16, true) {}

ORTU_Object_Manager::~ORTU_Object_Manager() {}

void ORTU_Object_Manager::start() {
    static_assert(sizeof(ORTU_Object_Manager) <= sizeof(manager_storage), "manager storage");
    ORTU_ASSERT(!active());
    ORTU_ASSERT(!instance_);
    if (active() || instance_)
        return;
    ortu_debug_print("ORTU_Object_Manager is starting...\n");
    ORTU_Object_Manager* manager = new (manager_storage) ORTU_Object_Manager;

    ORTU_String_Manager::start();
    // Room for the usual number of exit functions without growing; taken
    // from the runtime's allocator, so only now that it runs.
    manager->exit_queue_.reserve(16);
    ORTU_Thread_Manager::start();
    ORTU_Debug_Manager::create();
    active_.exchange(1);
    instance_ = manager;
    ortu_debug_print("ORTU_Object_Manager has been started!\n");
}

void ORTU_Object_Manager::stop() {
    ORTU_Object_Manager* manager = instance_.load();
    ORTU_ASSERT(manager);
    if (!manager)
        return;
    ORTU_Debug_Manager::shutdown_device();
    active_.exchange(0);

    ORTU_UINT32 items;
    {
        ORTU_Mutex_Holder hold(manager->lock_);
        items = manager->exit_queue_.size();
    }
    ortu_debug_print("ORTU_Object_Manager is stopping, (exit queue: %d items) ...\n", items);
    for (ORTU_UINT32 i = items; i-- > 0;) {
        Exit_Function fn;
        {
            ORTU_Mutex_Holder hold(manager->lock_);
            Exit_Entry* entry = manager->exit_queue_.at(i);
            fn = entry ? entry->fn : nullptr;
        }
        if (!fn)
            continue;
        try {
            fn();
        } catch (const ORTU_Exception& e) {
            ortu_debug_print("ORTU_Exception during at_exit_func: '%s'\n", e.what());
        } catch (...) {
            ortu_debug_print("Unknown exception during at_exit_func\n");
        }
    }

    instance_ = nullptr;
    // The queue's storage came from the runtime's allocator: give it back
    // while the string manager still runs.
    manager->~ORTU_Object_Manager();
    ORTU_Debug_Manager::destroy();
    ORTU_Thread_Manager::stop();
    ORTU_String_Manager::stop();
    ortu_debug_print("ORTU_Object_Manager has been shut down\n");
}

void ORTU_Object_Manager::at_exit(Exit_Function fn) {
    ORTU_ASSERT(active());
    ORTU_Object_Manager* manager = instance_.load();
    ORTU_ASSERT(instance_);
    if (!manager || !fn)
        return;
    auto entry = std::make_unique<Exit_Entry>(Exit_Entry{fn});
    ORTU_Mutex_Holder hold(manager->lock_);
    manager->exit_queue_.push(entry.get());
    entry.release(); // the queue owns it now
}

ORTU_UINT32 ORTU_Object_Manager::exit_queue_size() {
    ORTU_Object_Manager* manager = instance_.load();
    if (!manager)
        return 0;
    ORTU_Mutex_Holder hold(manager->lock_);
    return manager->exit_queue_.size();
}

const char* ortu_type_name(const std::type_info& type, char* buffer, size_t size) {
    if (!buffer || size == 0)
        return "";
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    const char* name = status == 0 && demangled ? demangled : type.name();
    std::strncpy(buffer, name, size - 1);
    buffer[size - 1] = '\0';
    std::free(demangled); // allocated by the demangler with malloc
    return buffer;
}

void ortu_singleton_leaks(const std::type_info& type) {
    char name[256];
    ortu_debug_print("ORTU_Singleton<%s>::create_instance(), Object manager is down, this instance "
                     "will leak :(\n",
                     ortu_type_name(type, name, sizeof name));
}
