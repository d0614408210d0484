#include "ServerTestSupport.h"

#include "ORTU_Exception.h"
#include "ORTU_Object_Manager.h"
#include "QREX_Client.h"
#include "QREX_Errors.h"
#include "QREX_Server.h"
#include "QREX_TCP_Stream.h"
#include "vqlink/vqlink.h"

#include <dlfcn.h>
#include <openssl/sha.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace vqtest {

using namespace IPC_DA_DBClient;
using namespace std::chrono;

namespace {

// The tests' own sockets and threads need the runtime for the whole run,
// not only while a server is up.
class RuntimeEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ortu_runtime_start(); }
    void TearDown() override { ortu_runtime_stop(); }
};
// gtest owns registered environments.
::testing::Environment* const runtimeEnvironment =
    ::testing::AddGlobalTestEnvironment(new RuntimeEnvironment);

std::string textOf(const char* s) {
    return s ? s : "";
}

// A socket adapter whose waits end when the client stops.
class TestAdapter : public QREX_Socket_Adapter {
public:
    TestAdapter(TCP_Socket* socket, const ORTU_Event* cancel) : socket_(socket), cancel_(cancel) {}
    size_t read(void* buffer, size_t n) override {
        try {
            return socket_->recv(buffer, n, TCP_Socket::TCP_DEFAULT_TIMEOUT, cancel_);
        } catch (const Socket_Error& e) {
            throw_comm_error("TestAdapter::read", -static_cast<int>(e.code()));
        }
    }
    void read_exact(void* buffer, size_t n) override {
        try {
            socket_->recv_exact(buffer, n, TCP_Socket::TCP_DEFAULT_TIMEOUT, cancel_);
        } catch (const Socket_Error& e) {
            throw_comm_error("TestAdapter::read_exact", -static_cast<int>(e.code()));
        }
    }
    void write(const void* buffer, size_t n) override {
        try {
            socket_->send(buffer, n, TCP_Socket::TCP_DEFAULT_TIMEOUT, cancel_);
        } catch (const Socket_Error& e) {
            throw_comm_error("TestAdapter::write", -static_cast<int>(e.code()));
        }
    }

private:
    TCP_Socket* socket_;
    const ORTU_Event* cancel_;
};

class BackDispatcher : public QREX_Server_Dispatcher {
public:
    BackDispatcher(const QREX_Module_Def* def, QREX_Servant* servant,
                   const RawClientOptions::ProofReply& proofReply)
        : QREX_Server_Dispatcher(def), servant_(servant), proofReply_(proofReply) {}
    // The proof's is the only reply on the back connection.
    void send_reply(void* result, XDR_function function) override {
        if (!proofReply_)
            return QREX_Server_Dispatcher::send_reply(result, function);
        auto bytes = proofReply_(static_cast<TVerifyRsp*>(result)->digest);
        QREX_Server_Dispatcher::send_reply(&bytes, [](XDR_Stream* x, void* v) {
            auto* b = static_cast<std::vector<uint8_t>*>(v);
            x->XDR_opaque(b->data(), static_cast<qrex_uint32_t>(b->size()));
        });
    }
    QREX_Servant* servant_;
    const RawClientOptions::ProofReply& proofReply_;
};

QREX_Servant* backServant(QREX_Server_Dispatcher* d) {
    return static_cast<BackDispatcher*>(d)->servant_;
}

const QREX_Module_Def* backModule() {
    static const QREX_Interface_Def interfaces[2] = {{0, nullptr, nullptr, 0, nullptr},
                                                     DBClient_interface(backServant)};
    static const QREX_Module_Def module = module_definition(interfaces);
    return &module;
}

} // namespace

std::string referenceAnswer(const std::string& password, const std::string& challenge) {
    const std::string input = password + challenge;
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : digest) {
        text += hex[b >> 4];
        text += hex[b & 15];
    }
    return text;
}

// ---------------------------------------------------------------- results

void Results::add(const TSelectResult* r) {
    SelectBatch b;
    b.id = r->id;
    for (uint32_t i = 0; i < r->rows.rows_len; ++i) {
        const TSelectRow& row = r->rows.rows_val[i];
        std::vector<std::pair<std::string, std::string>> cols;
        for (uint32_t j = 0; j < row.cols.cols_len; ++j)
            cols.emplace_back(textOf(row.cols.cols_val[j].name),
                              textOf(row.cols.cols_val[j].value));
        b.rows.push_back(std::move(cols));
    }
    b.hasMore = r->hasMore;
    b.code = r->error.error;
    b.message = textOf(r->error.msg);
    std::lock_guard<std::recursive_mutex> hold(lock_);
    selects_.push_back(std::move(b));
    changed_.notify_all();
}

void Results::add(const TDownloadProcess* r) {
    DownloadPiece p;
    p.id = r->id;
    p.recId = r->recId;
    if (r->data.data_len)
        p.data.assign(r->data.data_val, r->data.data_val + r->data.data_len);
    p.code = r->error.error;
    p.message = textOf(r->error.msg);
    std::lock_guard<std::recursive_mutex> hold(lock_);
    downloads_.push_back(std::move(p));
    changed_.notify_all();
}

void Results::add(const TSearchProcess* r) {
    SearchReport s;
    s.id = r->id;
    s.searched = r->searched;
    if (r->recs.recs_len)
        s.found.assign(r->recs.recs_val, r->recs.recs_val + r->recs.recs_len);
    s.code = r->error.error;
    s.message = textOf(r->error.msg);
    std::lock_guard<std::recursive_mutex> hold(lock_);
    searches_.push_back(std::move(s));
    changed_.notify_all();
}

void Results::add(const TDeleteComplete* r) {
    DeleteReport d;
    d.id = r->id;
    d.code = r->error.error;
    d.message = textOf(r->error.msg);
    std::lock_guard<std::recursive_mutex> hold(lock_);
    deletes_.push_back(std::move(d));
    changed_.notify_all();
}

void Results::clear() {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    selects_.clear();
    downloads_.clear();
    searches_.clear();
    deletes_.clear();
}

bool Results::waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    std::unique_lock<std::recursive_mutex> hold(lock_);
    return changed_.wait_for(hold, milliseconds(timeoutMs), condition);
}

bool Results::waitSelectDone(uint32_t id, int timeoutMs) {
    return waitUntil(
        [&] {
            for (const auto& b : selects_)
                if (b.id == id && (!b.hasMore || b.code != 0))
                    return true;
            return false;
        },
        timeoutMs);
}

bool Results::waitDownloadDone(uint32_t id, int timeoutMs) {
    return waitUntil(
        [&] {
            for (const auto& p : downloads_)
                if (p.id == id && p.recId == 0xFFFFFFFFu)
                    return true;
            return false;
        },
        timeoutMs);
}

bool Results::waitSearchDone(uint32_t id, uint32_t total, int timeoutMs) {
    return waitUntil(
        [&] {
            for (const auto& s : searches_)
                if (s.id == id && (s.searched == total || s.code != 0))
                    return true;
            return false;
        },
        timeoutMs);
}

bool Results::waitDeleteDone(uint32_t id, int timeoutMs) {
    return waitUntil(
        [&] {
            for (const auto& d : deletes_)
                if (d.id == id)
                    return true;
            return false;
        },
        timeoutMs);
}

template <class T>
std::vector<T> pick(std::recursive_mutex& lock, const std::vector<T>& all, uint32_t id) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    std::vector<T> out;
    for (const auto& x : all)
        if (x.id == id)
            out.push_back(x);
    return out;
}

std::vector<SelectBatch> Results::selects(uint32_t id) {
    return pick(lock_, selects_, id);
}
std::vector<DownloadPiece> Results::downloads(uint32_t id) {
    return pick(lock_, downloads_, id);
}
std::vector<SearchReport> Results::searches(uint32_t id) {
    return pick(lock_, searches_, id);
}
std::vector<DeleteReport> Results::deletes(uint32_t id) {
    return pick(lock_, deletes_, id);
}

std::vector<uint8_t> Results::bytesOf(uint32_t id, uint32_t recId) {
    std::vector<uint8_t> bytes;
    for (const auto& p : downloads(id))
        if (p.recId == recId)
            bytes.insert(bytes.end(), p.data.begin(), p.data.end());
    return bytes;
}

bool eventually(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    while (!condition()) {
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

std::vector<std::vector<std::string>> valuesOf(const std::vector<SelectBatch>& batches) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& b : batches)
        for (const auto& r : b.rows) {
            std::vector<std::string> values;
            for (const auto& c : r)
                values.push_back(c.second);
            rows.push_back(std::move(values));
        }
    return rows;
}

// ---------------------------------------------------------------- server

TestServer::TestServer(const std::string& archive,
                       const std::function<void(vqarchive::ServerConfig&)>& adjust) {
    config_.port = 0;
    config_.listenAddress = "127.0.0.1";
    config_.password = kPassword;
    config_.log = [this](const std::string& line) {
        if (std::getenv("VQ_TEST_SERVER_LOG"))
            std::fprintf(stderr, "[server] %s\n", line.c_str());
        std::lock_guard<std::mutex> hold(lock_);
        lines_.push_back(line);
        changed_.notify_all();
    };
    if (adjust)
        adjust(config_);
    std::shared_ptr<vqarchive::ArchiveStore> store = vqarchive::ArchiveStore::open(archive);
    server_ = std::make_unique<vqarchive::ArchiveServer>(config_, store);
    server_->start();
}

TestServer::~TestServer() {
    server_.reset();
}

std::vector<std::string> TestServer::log() const {
    std::lock_guard<std::mutex> hold(lock_);
    return lines_;
}

bool TestServer::logContains(const std::string& text) const {
    for (const auto& l : log())
        if (l.find(text) != std::string::npos)
            return true;
    return false;
}

bool TestServer::waitForLog(const std::string& text, int timeoutMs) const {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, milliseconds(timeoutMs), [&] {
        for (const auto& l : lines_)
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    });
}

// ---------------------------------------------------------------- raw client

class RawClient::Servant : public DBClient {
public:
    explicit Servant(RawClient& client) : c_(client) {}
    void release() override {}
    void VerifyPassword(TVerifyRsp* result, const TVerifyReq* argument) override {
        const std::string challenge = textOf(argument->token);
        {
            std::lock_guard<std::mutex> hold(c_.lock_);
            c_.challenge_ = challenge;
        }
        if (c_.options_.hangOnProof)
            c_.stop_.wait();
        std::string answer = referenceAnswer(c_.options_.password, challenge);
        if (c_.options_.wrongAnswer)
            answer[0] = answer[0] == '0' ? '1' : '0';
        std::memcpy(result->digest, answer.c_str(), answer.size() + 1);
    }
    void SelectResult(const TSelectResult* r) override { c_.results_.add(r); }
    void DeleteComplete(const TDeleteComplete* r) override { c_.results_.add(r); }
    void DownloadProcess(const TDownloadProcess* r) override {
        c_.results_.add(r);
        if (c_.options_.stallBack)
            ortu_wait_for_objects(c_.stallReleased_, c_.stop_, false, ORTU_INFINITE);
    }
    void SearchProcess(const TSearchProcess* r) override { c_.results_.add(r); }

private:
    RawClient& c_;
};

RawClient::RawClient(uint16_t port) : servant_(std::make_unique<Servant>(*this)) {
    socket_ = std::make_unique<TCP_Socket>(0, nullptr);
    socket_->open(InetEndpoint{InetAddress::loopback(), port}, 5000, &stop_);
    adapter_ = std::make_unique<TestAdapter>(socket_.get(), &stop_);
    connection_ = std::make_unique<QREX_TCP_Client_Connection>(adapter_.get());
    proxy_ = std::make_unique<IPC_DA_DBServer::DBServerProxy>(connection_.get());
}

RawClient::~RawClient() {
    stop_.set();
    if (back_.joinable())
        back_.join();
}

RawClient::InitializeReply RawClient::initialize(const Options& options) {
    options_ = options;
    const InetAddress loopback = InetAddress::loopback();
    listener_ = std::make_unique<TCP_Socket>(0, &loopback);
    listener_->listen();
    back_ = std::thread([this] { serveBack(); });
    IPC_DA_DBServer::TInitialize argument{};
    argument.clientIp = options.clientIp ? options.clientIp : loopback.addr;
    argument.clientPort =
        options.clientPort ? options.clientPort : listener_->local_endpoint().port;
    IPC_DA_DBServer::TInitializeResult result{};
    proxy_->Initialize(&result, &argument);
    InitializeReply reply;
    reply.passwordValid = result.passwordValid;
    reply.error = textOf(result.error);
    XDR_Free(&result, IPC_DA_DBServer::xdr_TInitializeResult);
    return reply;
}

void RawClient::serveBack() {
    try {
        std::unique_ptr<TCP_Socket> accepted =
            listener_->accept(TCP_Socket::TCP_DEFAULT_TIMEOUT, &stop_);
        TestAdapter adapter(accepted.get(), &stop_);
        QREX_TCP_Stream stream(&adapter);
        BackDispatcher dispatcher(backModule(), servant_.get(), options_.proofReply);
        for (;;) {
            // Calls read ahead with the last one are in the stream already.
            if (stream.input_buffered() && !stop_.is_signalled()) {
                dispatcher.dispatch(&stream);
                continue;
            }
            const ORTU_Fd_Waitable readable(accepted->handle(), POLLIN);
            const ORTU_UINT32 r = ortu_wait_cancelable(readable, &stop_, 50);
            if (r == ORTU_WAIT_OBJECT_0 + 1)
                break;
            if (r == ORTU_WAIT_OBJECT_0)
                dispatcher.dispatch(&stream);
        }
    } catch (const ORTU_Exception&) {
        // The server closed the back connection, or we stopped.
    }
    backClosed_ = true;
}

void RawClient::sql(uint32_t id, const std::string& statement) {
    IPC_DA_DBServer::TSQLExecute a{};
    a.id = id;
    a.statement = const_cast<char*>(statement.c_str());
    proxy_->SQLExecute(&a);
}

void RawClient::download(uint32_t id, const std::vector<uint32_t>& recs) {
    IPC_DA_DBServer::TDownload a{};
    a.id = id;
    a.recs.recs_len = static_cast<uint32_t>(recs.size());
    a.recs.recs_val = const_cast<uint32_t*>(recs.data());
    proxy_->Download(&a);
}

void RawClient::search(uint32_t id, const std::vector<uint32_t>& recs,
                       const std::vector<std::string>& phrases, IPC_DA_DBServer::SearchMode mode) {
    std::vector<IPC_DA_DBServer::TSearchString> strings(phrases.size());
    for (size_t i = 0; i < phrases.size(); ++i)
        strings[i].value = const_cast<char*>(phrases[i].c_str());
    IPC_DA_DBServer::TSearchText a{};
    a.id = id;
    a.recs.recs_len = static_cast<uint32_t>(recs.size());
    a.recs.recs_val = const_cast<uint32_t*>(recs.data());
    a.criteria.mode = mode;
    a.criteria.strings.strings_len = static_cast<uint32_t>(strings.size());
    a.criteria.strings.strings_val = strings.data();
    proxy_->SearchText(&a);
}

void RawClient::cancel(IPC_DA_DBServer::Operation operation, uint32_t id) {
    IPC_DA_DBServer::TCancelOperation a{};
    a.operation = operation;
    a.id = id;
    proxy_->CancelOperation(&a);
}

void RawClient::sendRaw(const std::vector<uint8_t>& bytes) {
    socket_->send(bytes.data(), bytes.size(), 5000, &stop_);
}

std::vector<uint8_t> RawClient::receiveRecord() {
    uint8_t h[4];
    socket_->recv_exact(h, sizeof h, 5000, &stop_);
    std::vector<uint8_t> payload(((h[0] & 0x7Fu) << 24) | (h[1] << 16) | (h[2] << 8) | h[3]);
    socket_->recv_exact(payload.data(), payload.size(), 5000, &stop_);
    return payload;
}

void RawClient::shutdownSending() {
    if (socket_->is_open())
        ::shutdown(socket_->handle(), SHUT_WR);
}

bool RawClient::waitClosedByServer(int timeoutMs) {
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    char buffer[4096];
    while (steady_clock::now() < deadline) {
        // A send that met the server's reset has closed our socket already.
        if (!socket_->is_open())
            return true;
        pollfd p{socket_->handle(), POLLIN, 0};
        const int left =
            static_cast<int>(duration_cast<milliseconds>(deadline - steady_clock::now()).count());
        if (::poll(&p, 1, left > 0 ? left : 0) <= 0)
            continue;
        const ssize_t n = ::recv(socket_->handle(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return true;
    }
    return false;
}

std::string RawClient::challenge() const {
    std::lock_guard<std::mutex> hold(lock_);
    return challenge_;
}

void RawClient::releaseStall() {
    stallReleased_.set();
}

// ---------------------------------------------------------------- library host

namespace {

Results hostResults;
std::mutex hostLock;
std::vector<std::pair<std::string, int>> hostExceptions;

void onException(const char* message, int code) {
    std::lock_guard<std::mutex> hold(hostLock);
    hostExceptions.emplace_back(textOf(message), code);
}
void onSelect(const TSelectResult* r) {
    hostResults.add(r);
}
void onDelete(const TDeleteComplete* r) {
    hostResults.add(r);
}
void onDownload(const TDownloadProcess* r) {
    hostResults.add(r);
}
void onSearch(const TSearchProcess* r) {
    hostResults.add(r);
}

} // namespace

VqlinkHost::VqlinkHost() {
    hostResults.clear();
    {
        std::lock_guard<std::mutex> hold(hostLock);
        hostExceptions.clear();
    }
    InitDLL();
    RegisterSelectResultCallback(onSelect);
    RegisterDeleteCompleteCallback(onDelete);
    RegisterDownloadProcessCallback(onDownload);
    RegisterSearchProcessCallback(onSearch);
    RegisterExceptionCallback(onException);
}

VqlinkHost::~VqlinkHost() {
    Disconnect();
    FinalizeDLL();
}

int VqlinkHost::connect(uint16_t port, const std::string& password) {
    return Connect("127.0.0.1", port, password.c_str());
}

Results& VqlinkHost::results() {
    return hostResults;
}

std::pair<int32_t, std::string> VqlinkHost::status() {
    IPC_DA_DBServer::TStatus s{};
    GetStatus(&s);
    std::pair<int32_t, std::string> out(s.state, textOf(s.message));
    // The text comes from the library's allocator and goes back to it.
    void* library = dlopen(VQLINK_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    typedef void (*Status_Free)(IPC_DA_DBServer::TStatus*);
    auto release =
        library ? reinterpret_cast<Status_Free>(dlsym(library, "IPC_DA_DBServer::TStatus_Free"))
                : nullptr;
    if (release)
        release(&s);
    if (library)
        dlclose(library);
    return out;
}

std::vector<std::pair<std::string, int>> VqlinkHost::exceptions() {
    std::lock_guard<std::mutex> hold(hostLock);
    return hostExceptions;
}

// ---------------------------------------------------------------- programs

ProgramRun runProgram(const std::vector<std::string>& argv) {
    ProgramRun run;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        return run;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        run.out.append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

} // namespace vqtest
