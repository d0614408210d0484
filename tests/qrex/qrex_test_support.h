// Shared fixtures of the QREX tests: the wire helpers of
// qrex_wire_support.h, a capture of the debug output, and the test program's
// runtime.
#pragma once

#include "ORTU_Debug.h"
#include "ORTU_OS.h"
#include "ORTU_Object_Manager.h"
#include "ORTU_String.h"
#include "QREX_Errors.h"
#include "QREX_Stream.h"
#include "QREX_TCP_Stream.h"
#include "qrex_wire_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace qrex_test {

// Collects everything the debug output receives while it lives.
class Log_Capture {
public:
    Log_Capture() {
        clear();
        previous_ = ORTU_OS::set_debug_output_sink(&Log_Capture::sink);
    }
    ~Log_Capture() { ORTU_OS::set_debug_output_sink(previous_); }
    Log_Capture(const Log_Capture&) = delete;
    Log_Capture& operator=(const Log_Capture&) = delete;

    static std::string text() {
        std::lock_guard<std::mutex> hold(mutex());
        return buffer();
    }
    static bool contains(const std::string& s) { return text().find(s) != std::string::npos; }
    static size_t count(const std::string& s) {
        const std::string t = text();
        size_t n = 0;
        for (size_t at = t.find(s); at != std::string::npos; at = t.find(s, at + s.size()))
            ++n;
        return n;
    }
    static void clear() {
        std::lock_guard<std::mutex> hold(mutex());
        buffer().clear();
    }

private:
    static void sink(const char* t) {
        std::lock_guard<std::mutex> hold(mutex());
        buffer() += t;
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::string& buffer() {
        static std::string b;
        return b;
    }
    ORTU_OS::Debug_Output_Sink previous_;
};

// Sets the highest level a debug group writes, for one scope.
template <typename Group> class Level_Scope {
public:
    explicit Level_Scope(int level) : group_(Group::instance()) {
        saved_ = group_->settings_;
        group_->settings_.enabled = true;
        group_->settings_.max_level = level;
    }
    ~Level_Scope() { group_->settings_ = saved_; }
    Level_Scope(const Level_Scope&) = delete;
    Level_Scope& operator=(const Level_Scope&) = delete;

private:
    Group* group_;
    ORTU_Debug_Settings saved_;
};

typedef Level_Scope<ORTU_DEBUG_GROUP_CLASS(qrex)> Qrex_Level;

// Runs action with the qrex group at level-1 and at level, and tells whether
// the line appeared exactly at the given level.
template <typename Action>
::testing::AssertionResult logs_at_level(int level, const std::string& line, Action action) {
    Log_Capture capture;
    if (level > 0) {
        Qrex_Level below(level - 1);
        action();
        if (Log_Capture::contains(line))
            return ::testing::AssertionFailure()
                   << "'" << line << "' written below level " << level << ":\n"
                   << Log_Capture::text();
    }
    Log_Capture::clear();
    {
        Qrex_Level at(level);
        action();
    }
    if (!Log_Capture::contains(line))
        return ::testing::AssertionFailure()
               << "'" << line << "' not written at level " << level << ":\n"
               << Log_Capture::text();
    return ::testing::AssertionSuccess();
}

// Counts assertion reports instead of prompting.
class Assertion_Counter {
public:
    Assertion_Counter() {
        count() = 0;
        previous_ = ORTU_OS::set_assertion_handler(&Assertion_Counter::handler);
    }
    ~Assertion_Counter() { ORTU_OS::set_assertion_handler(previous_); }
    Assertion_Counter(const Assertion_Counter&) = delete;
    Assertion_Counter& operator=(const Assertion_Counter&) = delete;
    static int& count() {
        static int n = 0;
        return n;
    }

private:
    static ORTU_Prompt_Result handler(const char*, const char*) {
        ++count();
        return pr_ignore;
    }
    ORTU_OS::Assertion_Handler previous_;
};

// The runtime runs for the whole test program.
class Runtime_Environment : public ::testing::Environment {
public:
    void SetUp() override { ortu_runtime_start(); }
    void TearDown() override { ortu_runtime_stop(); }
};

inline ::testing::Environment* const runtime_environment =
    ::testing::AddGlobalTestEnvironment(new Runtime_Environment);

} // namespace qrex_test

namespace qrex_test {

// Joins the payloads of the fragments in wire bytes; sizes gets each
// fragment's length and last flag.
struct Fragment_Info {
    qrex_uint32_t size;
    bool last;
};

inline Bytes unframe(const Bytes& wire, std::vector<Fragment_Info>* fragments = nullptr) {
    Bytes payload;
    size_t at = 0;
    while (at + 4 <= wire.size()) {
        const qrex_uint32_t h = (qrex_uint32_t{wire[at]} << 24) |
                                (qrex_uint32_t{wire[at + 1]} << 16) |
                                (qrex_uint32_t{wire[at + 2]} << 8) | wire[at + 3];
        const qrex_uint32_t size = h & ~RM_LAST_FRAGMENT;
        if (fragments)
            fragments->push_back({size, (h & RM_LAST_FRAGMENT) != 0});
        at += 4;
        payload.insert(payload.end(), wire.begin() + at, wire.begin() + at + size);
        at += size;
    }
    return payload;
}

// Records the largest request the framework allocator passes to the heap.
class Allocation_Tracker {
public:
    Allocation_Tracker() {
        largest() = 0;
        previous_ = ORTU_Malloc_Allocator::set_heap_function(&Allocation_Tracker::heap);
    }
    ~Allocation_Tracker() { ORTU_Malloc_Allocator::set_heap_function(previous_); }
    Allocation_Tracker(const Allocation_Tracker&) = delete;
    Allocation_Tracker& operator=(const Allocation_Tracker&) = delete;
    static size_t& largest() {
        static size_t n = 0;
        return n;
    }

private:
    static void* heap(size_t size) {
        if (size > largest())
            largest() = size;
        return std::malloc(size ? size : 1);
    }
    ORTU_Malloc_Allocator::Heap_Function previous_;
};

} // namespace qrex_test
