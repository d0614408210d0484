// The library's exported functions. Every request runs in one frame: find
// the current connection, call the server, and turn whatever it raises into
// one report through the host's exception callback.
#define VQLINK_BUILDING 1
#include "vqlink/vqlink.h"

#include "ConnectionManager.h"
#include "ORTU_Object_Manager.h"
#include "QREX_Errors.h"
#include "QREX_Memory.h"
#include "vqlink_callbacks.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

// Hosts read the bound from the public header.
static_assert(ConnectionManager::DEFAULT_CALL_TIMEOUT == VQLINK_CALL_TIMEOUT_MS,
              "the published call bound is the one the library applies");

namespace {

const char* const MAIN_UNIT = "vqlink/vqlink";

std::atomic<int> start_count{0};

// Exports under way on any thread. The runtime stops only once none is
// left, so that no call finishes on a stopped runtime. Kept in the standard
// library's objects: they must outlive the runtime's.
struct In_Flight {
    std::mutex lock;
    std::condition_variable idle;
    int count = 0;
};

In_Flight& in_flight() {
    static In_Flight calls;
    return calls;
}

class Call_Under_Way {
public:
    Call_Under_Way() {
        std::lock_guard<std::mutex> hold(in_flight().lock);
        ++in_flight().count;
    }
    ~Call_Under_Way() {
        std::lock_guard<std::mutex> hold(in_flight().lock);
        if (--in_flight().count == 0)
            in_flight().idle.notify_all();
    }
    Call_Under_Way(const Call_Under_Way&) = delete;
    Call_Under_Way& operator=(const Call_Under_Way&) = delete;
};

void wait_for_calls() {
    std::unique_lock<std::mutex> hold(in_flight().lock);
    in_flight().idle.wait(hold, [] { return in_flight().count == 0; });
}

// The frame of every request export. The proxy reference keeps the
// connection's channel alive until the call has returned, whatever the
// serving thread does meanwhile. No lock is held and the call no longer
// counts as under way while the callback runs, and the report is the last
// thing done, so a host may leave it by raising.
template <class Call> void request_frame(int line, Call&& call) {
    std::string message;
    int code = -1;
    {
        Call_Under_Way under_way;
        std::shared_ptr<IPC_DA_DBServer::DBServer> proxy;
        if (ORTU_Singleton<ConnectionManager>::exists())
            proxy = ConnectionManager::instance()->current_proxy();
        if (!proxy) {
            message = "Not connected";
            code = VQLINK_NOT_CONNECTED;
        } else {
            try {
                call(*proxy);
            } catch (const QREX_Error& e) {
                message = e.what();
                code = VQLINK_RPC_ERROR;
            } catch (const ORTU_Exception& e) {
                message = e.what();
                code = VQLINK_RUNTIME_ERROR;
            } catch (...) {
                message = "Unknown exception";
                code = VQLINK_UNKNOWN_ERROR;
            }
        }
    }
    if (code >= 0)
        report_exception(MAIN_UNIT, line, message.c_str(), code);
}

} // namespace

void report_exception(const char* file, int line, const char* message, int code) {
    (void)file;
    (void)line;
    if (ExceptionCallback callback = VQLink_Callbacks::exception.load())
        callback(message, code);
}

void InitDLL() {
    if (start_count.fetch_add(1) + 1 == 1)
        ortu_runtime_start();
}

void FinalizeDLL() {
    // Ends every call in flight at once; they all leave with a
    // communication error.
    Disconnect();
    int count = start_count.load();
    do {
        // More stops than starts: nothing left to stop.
        if (count <= 0)
            return;
    } while (!start_count.compare_exchange_weak(count, count - 1));
    if (count - 1 != 0)
        return;
    // Every connection thread and every export under way uses the servant
    // and the log groups, which the runtime's stop destroys in an order of
    // its own: they end first.
    wait_for_calls();
    if (ORTU_Singleton<ConnectionManager>::exists())
        ConnectionManager::instance()->wait_for_connections();
    ortu_runtime_stop();
}

void RegisterExceptionCallback(ExceptionCallback callback) {
    VQLink_Callbacks::exception.store(callback);
}
void RegisterSelectResultCallback(SelectResultCallback callback) {
    VQLink_Callbacks::select_result.store(callback);
}
void RegisterDeleteCompleteCallback(DeleteCompleteCallback callback) {
    VQLink_Callbacks::delete_complete.store(callback);
}
void RegisterDownloadProcessCallback(DownloadProcessCallback callback) {
    VQLink_Callbacks::download_process.store(callback);
}
void RegisterSearchProcessCallback(SearchProcessCallback callback) {
    VQLink_Callbacks::search_process.store(callback);
}

int Connect(const char* host, std::uint16_t port, const char* password) {
    Call_Under_Way under_way;
    try {
        return ConnectionManager::instance()->connect(host, port, password);
    } catch (...) {
        // Nothing raised may cross the interface; Connect speaks in codes.
        return VQLINK_CONNECT_FAILED;
    }
}

void Disconnect() {
    if (ORTU_Singleton<ConnectionManager>::exists())
        ConnectionManager::instance()->disconnect();
}

void GetStatus(IPC_DA_DBServer::TStatus* status) {
    request_frame(__LINE__,
                  [status](IPC_DA_DBServer::DBServer& server) { server.GetStatus(status); });
}

int GetServerType() {
    int type = 0;
    request_frame(__LINE__,
                  [&type](IPC_DA_DBServer::DBServer& server) { type = server.GetServerType(); });
    return type;
}

void SQLExecute(const IPC_DA_DBServer::TSQLExecute* request) {
    request_frame(__LINE__,
                  [request](IPC_DA_DBServer::DBServer& server) { server.SQLExecute(request); });
}

void Delete(const IPC_DA_DBServer::TDelete* request) {
    request_frame(__LINE__,
                  [request](IPC_DA_DBServer::DBServer& server) { server.Delete(request); });
}

void Download(const IPC_DA_DBServer::TDownload* request) {
    request_frame(__LINE__,
                  [request](IPC_DA_DBServer::DBServer& server) { server.Download(request); });
}

void SearchText(const IPC_DA_DBServer::TSearchText* request) {
    request_frame(__LINE__,
                  [request](IPC_DA_DBServer::DBServer& server) { server.SearchText(request); });
}

void CancelOperation(const IPC_DA_DBServer::TCancelOperation* request) {
    request_frame(__LINE__, [request](IPC_DA_DBServer::DBServer& server) {
        server.CancelOperation(request);
    });
}

char* StrDup(const char* text) {
    try {
        return qrex_strdup(text);
    } catch (...) {
        return nullptr; // out of memory: nothing may cross the interface
    }
}
