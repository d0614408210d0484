// A host of libvqlink.so for the tests: callbacks that copy what they are
// given (the records die when the callback returns) and wait helpers.
#pragma once

#include "vqlink/vqlink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vqlink_host {

struct Report {
    std::string message;
    int code;
};

struct Row {
    std::vector<std::pair<std::string, std::string>> cols;
};

struct Event {
    std::string kind; // "select", "delete", "download", "search"
    std::uint32_t id = 0;
    std::vector<Row> rows;
    bool has_more = false;
    int error = 0;
    std::string error_text;
    std::uint32_t rec_id = 0;
    std::vector<std::uint8_t> data;
    std::uint32_t searched = 0;
    std::vector<std::uint32_t> recs;
    std::thread::id thread;
};

class Recorder {
public:
    static Recorder& get() {
        static Recorder recorder;
        return recorder;
    }

    void clear() {
        std::lock_guard<std::mutex> hold(lock_);
        reports_.clear();
        events_.clear();
    }
    std::vector<Report> reports() {
        std::lock_guard<std::mutex> hold(lock_);
        return reports_;
    }
    std::vector<Event> events() {
        std::lock_guard<std::mutex> hold(lock_);
        return events_;
    }
    bool wait_events(size_t n, int timeout_ms = 10000) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                 [&] { return events_.size() >= n; });
    }

    // Runs inside a result callback before it returns, on the serving thread.
    std::function<void(const Event&)> inside_callback;

    static void on_exception(const char* message, int code) {
        Recorder& r = get();
        std::lock_guard<std::mutex> hold(r.lock_);
        r.reports_.push_back(Report{message ? message : "(null)", code});
    }

    static void add(Event e) {
        Recorder& r = get();
        e.thread = std::this_thread::get_id();
        if (r.inside_callback)
            r.inside_callback(e);
        {
            std::lock_guard<std::mutex> hold(r.lock_);
            r.events_.push_back(std::move(e));
        }
        r.changed_.notify_all();
    }

    static void on_select(const IPC_DA_DBClient::TSelectResult* r) {
        Event e;
        e.kind = "select";
        e.id = r->id;
        for (std::uint32_t i = 0; i < r->rows.rows_len; ++i) {
            Row row;
            const IPC_DA_DBClient::TSelectRow& src = r->rows.rows_val[i];
            for (std::uint32_t c = 0; c < src.cols.cols_len; ++c) {
                // Copied out first: packed fields cannot bind to references.
                const char* name = src.cols.cols_val[c].name;
                const char* value = src.cols.cols_val[c].value;
                row.cols.emplace_back(name, value);
            }
            e.rows.push_back(row);
        }
        e.has_more = r->hasMore;
        e.error = r->error.error;
        e.error_text = r->error.msg ? r->error.msg : "";
        add(std::move(e));
    }
    static void on_delete(const IPC_DA_DBClient::TDeleteComplete* r) {
        Event e;
        e.kind = "delete";
        e.id = r->id;
        e.error = r->error.error;
        add(std::move(e));
    }
    static void on_download(const IPC_DA_DBClient::TDownloadProcess* r) {
        Event e;
        e.kind = "download";
        e.id = r->id;
        e.rec_id = r->recId;
        e.data.assign(r->data.data_val, r->data.data_val + r->data.data_len);
        e.error = r->error.error;
        add(std::move(e));
    }
    static void on_search(const IPC_DA_DBClient::TSearchProcess* r) {
        Event e;
        e.kind = "search";
        e.id = r->id;
        e.searched = r->searched;
        e.recs.assign(r->recs.recs_val, r->recs.recs_val + r->recs.recs_len);
        add(std::move(e));
    }

    static void register_all() {
        RegisterExceptionCallback(&on_exception);
        RegisterSelectResultCallback(&on_select);
        RegisterDeleteCompleteCallback(&on_delete);
        RegisterDownloadProcessCallback(&on_download);
        RegisterSearchProcessCallback(&on_search);
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Report> reports_;
    std::vector<Event> events_;
};

// Repeats a probe until it holds, at most timeout_ms: for states the
// library reaches on its own thread.
inline bool eventually(const std::function<bool()>& probe, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!probe()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The library started and the recorder's callbacks registered for one test.
class Library_Test : public ::testing::Test {
protected:
    void SetUp() override {
        InitDLL();
        Recorder::get().clear();
        Recorder::get().inside_callback = nullptr;
        Recorder::register_all();
    }
    void TearDown() override {
        FinalizeDLL();
        Recorder::get().inside_callback = nullptr;
    }
};

} // namespace vqlink_host
