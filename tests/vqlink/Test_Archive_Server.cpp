#include "Test_Archive_Server.h"

#include "QREX_Client.h"
#include "QREX_Errors.h"
#include "QREX_Memory.h"
#include "QREX_Server.h"
#include "QREX_TCP_Stream.h"

#include "reference_sha1.h"
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>

namespace {

// A socket adapter whose waits end with the server's stop.
class Adapter : public QREX_Socket_Adapter {
public:
    Adapter(TCP_Socket* socket, const ORTU_Event* cancel) : socket_(socket), cancel_(cancel) {}
    size_t read(void* buffer, size_t n) override {
        try {
            return socket_->recv(buffer, n, TCP_Socket::TCP_DEFAULT_TIMEOUT, cancel_);
        } catch (const Socket_Error& e) {
            throw_comm_error("Test_Archive_Server::read", -static_cast<int>(e.code()));
        }
    }
    void read_exact(void* buffer, size_t n) override {
        try {
            socket_->recv_exact(buffer, n, TCP_Socket::TCP_DEFAULT_TIMEOUT, cancel_);
        } catch (const Socket_Error& e) {
            throw_comm_error("Test_Archive_Server::read_exact", -static_cast<int>(e.code()));
        }
    }
    void write(const void* buffer, size_t n) override {
        try {
            socket_->send(buffer, n, TCP_Socket::TCP_DEFAULT_TIMEOUT, cancel_);
        } catch (const Socket_Error& e) {
            throw_comm_error("Test_Archive_Server::write", -static_cast<int>(e.code()));
        }
    }

private:
    TCP_Socket* socket_;
    const ORTU_Event* cancel_;
};

thread_local Test_Archive_Server::Session* current_session = nullptr;

QREX_Servant* servant_factory(QREX_Server_Dispatcher*);

} // namespace

struct Test_Archive_Server::Session {
    Test_Archive_Server* server = nullptr;
    std::unique_ptr<TCP_Socket> client;
    std::unique_ptr<Adapter> client_adapter;
    std::unique_ptr<TCP_Socket> back;
    std::unique_ptr<Adapter> back_adapter;
    std::unique_ptr<QREX_TCP_Client_Connection> back_connection;
    std::unique_ptr<IPC_DA_DBClient::DBClientProxy> back_proxy;
    std::unique_ptr<Servant> servant;
    std::mutex lock; // held around each request and around closing
    std::thread thread;
};

class Test_Archive_Server::Servant : public IPC_DA_DBServer::DBServer {
public:
    explicit Servant(Session* session) : session_(session), server_(session->server) {}

    void release() override {} // the session owns it

    void Initialize(IPC_DA_DBServer::TInitializeResult* result,
                    const IPC_DA_DBServer::TInitialize* argument) override {
        const Settings& settings = server_->settings_;
        {
            std::lock_guard<std::mutex> hold(server_->lock_);
            ++server_->observed_.initializes;
            server_->observed_.last_initialize = *argument;
        }
        if (server_->on_initialize)
            server_->on_initialize(*argument);
        if (settings.skip_back_connection) {
            result->error = qrex_strdup(settings.refusal.c_str());
            result->passwordValid = false;
            return;
        }
        Session* s = session_;
        s->back = std::make_unique<TCP_Socket>(0, nullptr);
        s->back->open(InetEndpoint{InetAddress{4, argument->clientIp}, argument->clientPort}, 10000,
                      &server_->stop_);
        s->back_adapter = std::make_unique<Adapter>(s->back.get(), &server_->stop_);
        s->back_connection = std::make_unique<QREX_TCP_Client_Connection>(s->back_adapter.get());
        s->back_proxy = std::make_unique<IPC_DA_DBClient::DBClientProxy>(s->back_connection.get());

        IPC_DA_DBClient::TVerifyReq request;
        request.token = const_cast<char*>(settings.token.c_str());
        IPC_DA_DBClient::TVerifyRsp response;
        std::memset(&response, 0, sizeof(response));
        s->back_proxy->VerifyPassword(&response, &request);
        const bool valid = reference_digest(settings.password, settings.token) == response.digest;
        {
            std::lock_guard<std::mutex> hold(server_->lock_);
            server_->observed_.last_digest = response.digest;
            server_->observed_.last_proof_valid = valid;
        }
        result->passwordValid = valid;
        const char* error = valid ? settings.refusal.c_str() : "Invalid password";
        result->error = qrex_strdup(error); // packed field: no pointer to it
        if (*error && settings.close_back_on_refusal)
            close_back_before_reply();
    }

    void GetStatus(IPC_DA_DBServer::TStatus* result) override {
        {
            std::lock_guard<std::mutex> hold(server_->lock_);
            ++server_->observed_.status_requests;
        }
        if (server_->settings_.hang_get_status) {
            // Until the server stops; the reply then finds the socket gone.
            server_->stop_.wait();
            throw_comm_error("Test_Archive_Server::GetStatus", -10111);
        }
        result->state = server_->settings_.state;
        result->message = qrex_strdup(server_->settings_.status_message.c_str());
    }

    void SQLExecute(const IPC_DA_DBServer::TSQLExecute* argument) override {
        {
            std::lock_guard<std::mutex> hold(server_->lock_);
            server_->observed_.statements.push_back(argument->statement);
        }
        run(server_->on_sql, argument);
        if (server_->settings_.close_back_after_sql && session_->back)
            session_->back->close(); // this thread holds the session's lock already
    }
    void Delete(const IPC_DA_DBServer::TDelete* argument) override {
        run(server_->on_delete, argument);
    }
    void Download(const IPC_DA_DBServer::TDownload* argument) override {
        run(server_->on_download, argument);
    }
    void CancelOperation(const IPC_DA_DBServer::TCancelOperation* argument) override {
        {
            std::lock_guard<std::mutex> hold(server_->lock_);
            server_->observed_.cancels.push_back(*argument);
        }
        run(server_->on_cancel, argument);
    }
    void SearchText(const IPC_DA_DBServer::TSearchText* argument) override {
        run(server_->on_search, argument);
    }
    qrex_int32_t GetServerType() override { return server_->settings_.server_type; }

private:
    // A half close, so that the library's own close of its end can be seen:
    // its serving thread closes the accepted socket as it ends.
    void close_back_before_reply() {
        Session* s = session_;
        ::shutdown(s->back->handle(), SHUT_WR);
        const ORTU_Fd_Waitable readable(s->back->handle(), POLLIN);
        bool closed_by_library = false;
        while (!closed_by_library && ortu_wait_for_objects(readable, server_->stop_, false,
                                                           10000) == ORTU_WAIT_OBJECT_0) {
            char discard[64];
            const ssize_t n = ::recv(s->back->handle(), discard, sizeof discard, 0);
            closed_by_library = n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN);
        }
        s->back->close();
        if (closed_by_library) {
            std::lock_guard<std::mutex> hold(server_->lock_);
            ++server_->observed_.back_closed_before_reply;
        }
        if (server_->settings_.reply_delay_ms > 0)
            std::this_thread::sleep_for(
                std::chrono::milliseconds(server_->settings_.reply_delay_ms));
    }

    template <class T> void run(const Handler<T>& handler, const T* argument) {
        if (handler)
            handler(*argument, session_->back_proxy.get());
    }

    Session* session_;
    Test_Archive_Server* server_;
};

namespace {
QREX_Servant* servant_factory(QREX_Server_Dispatcher*) {
    return current_session ? current_session->servant.get() : nullptr;
}
} // namespace

Test_Archive_Server::Test_Archive_Server(Settings settings)
    : settings_(std::move(settings)), port_(0), stop_(true) {
    for (qrex_uint32_t i = 0; i < IPC_DA_DBServer::DBServer_MEMBER_COUNT; ++i)
        members_[i] = IPC_DA_DBServer::DBServer_members[i];
    if (settings_.without_get_status)
        members_[IPC_DA_DBServer::m_GetStatus].stub_ = nullptr;
    interfaces_[0] = QREX_Interface_Def{0, nullptr, nullptr, 0, nullptr};
    interfaces_[1] = QREX_Interface_Def{IPC_DA_DBServer::DBServer_MEMBER_COUNT, &servant_factory,
                                        members_, settings_.hash, "DBServer"};
    module_ = IPC_DA_DBServer::module_definition(interfaces_);

    const InetAddress loopback = InetAddress::loopback();
    listener_ = std::make_unique<TCP_Socket>(0, &loopback);
    listener_->listen();
    port_ = listener_->local_endpoint().port;
    acceptor_ = std::thread([this] { accept_loop(); });
}

Test_Archive_Server::~Test_Archive_Server() {
    stop_.set();
    acceptor_.join();
    std::vector<std::unique_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> hold(lock_);
        sessions.swap(sessions_);
    }
    for (auto& s : sessions)
        if (s->thread.joinable())
            s->thread.join();
}

void Test_Archive_Server::accept_loop() {
    for (;;) {
        std::unique_ptr<TCP_Socket> client;
        try {
            client = listener_->accept(TCP_Socket::TCP_DEFAULT_TIMEOUT, &stop_);
        } catch (const ORTU_Exception&) {
            return; // stopped
        }
        auto session = std::make_unique<Session>();
        session->server = this;
        session->client = std::move(client);
        session->client_adapter = std::make_unique<Adapter>(session->client.get(), &stop_);
        session->servant = std::make_unique<Servant>(session.get());
        Session* s = session.get();
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++observed_.sessions;
            sessions_.push_back(std::move(session));
        }
        changed_.notify_all();
        s->thread = std::thread([this, s] { serve(s); });
    }
}

void Test_Archive_Server::serve(Session* session) {
    current_session = session;
    try {
        QREX_Server_Dispatcher dispatcher(&module_);
        QREX_TCP_Stream stream(session->client_adapter.get());
        const ORTU_Fd_Waitable readable(session->client->handle(), POLLIN);
        for (;;) {
            // Requests read ahead with the last one are in the stream already.
            if (!stream.input_buffered() &&
                ortu_wait_for_objects(readable, stop_, false, ORTU_INFINITE) != ORTU_WAIT_OBJECT_0)
                break;
            if (stop_.is_signalled())
                break;
            std::lock_guard<std::mutex> hold(session->lock);
            dispatcher.dispatch(&stream);
        }
    } catch (const ORTU_Exception&) {
        // The library closed or broke the request connection.
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++observed_.ended_sessions;
    }
    changed_.notify_all();
}

Test_Archive_Server::Observed Test_Archive_Server::observed() {
    std::lock_guard<std::mutex> hold(lock_);
    return observed_;
}

void Test_Archive_Server::close_back_connection() {
    Session* s = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!sessions_.empty())
            s = sessions_.back().get();
    }
    if (!s)
        return;
    std::lock_guard<std::mutex> hold(s->lock);
    if (s->back)
        s->back->close();
}

void Test_Archive_Server::break_request_connection() {
    Session* s = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!sessions_.empty())
            s = sessions_.back().get();
    }
    // shutdown, not close: the session's thread is waiting on the handle.
    if (s && s->client->is_open())
        ::shutdown(s->client->handle(), SHUT_RDWR);
}

bool Test_Archive_Server::send_back_raw(const std::vector<unsigned char>& bytes, bool close) {
    Session* s = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!sessions_.empty())
            s = sessions_.back().get();
    }
    if (!s)
        return false;
    std::lock_guard<std::mutex> hold(s->lock);
    if (!s->back || !s->back->is_open())
        return false;
    bool sent = true;
    try {
        s->back->send(bytes.data(), bytes.size(), 10000, &stop_);
    } catch (const Socket_Error&) {
        sent = false;
    }
    if (close && s->back->is_open())
        s->back->close();
    return sent;
}

bool Test_Archive_Server::wait_until(const std::function<bool(const Observed&)>& condition,
                                     int timeout_ms) {
    // Polls as well as waits: not every change notifies.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> hold(lock_);
    while (!condition(observed_)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        changed_.wait_for(hold, std::chrono::milliseconds(10));
    }
    return true;
}

std::string Test_Archive_Server::reference_digest(const std::string& password,
                                                  const std::string& token) {
    return reference_sha1_hex(password + token);
}
