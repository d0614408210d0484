// An archive server for the tests, built on the RPC framework's dispatcher
// and client connection: it serves DBServer, runs the handshake (connects
// back, challenges the password, checks the answer with an independent
// SHA-1) and answers requests, or misbehaves, as a test asks.
#pragma once

#include "IPC_DA_DBClient.h"
#include "IPC_DA_DBServer.h"
#include "ORTU_Sync.h"
#include "TCP_Socket.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Test_Archive_Server {
public:
    struct Settings {
        std::string password = "secret";
        std::string token = "0123456789abcdefghijklmnopqrstuv"; // 32 characters
        // Reply to a good proof with this error text and passwordValid true.
        std::string refusal;
        // The interface hash this server serves (another one: INVALID_HASH).
        qrex_uint32_t hash = IPC_DA_DBServer::DBServer_HASH;
        // Serve DBServer without GetStatus (its requests get INVALID_MEMBER).
        bool without_get_status = false;
        // Reply to Initialize without connecting back: passwordValid false
        // and the refusal text.
        bool skip_back_connection = false;
        // Close the back connection right after handling an SQLExecute.
        bool close_back_after_sql = false;
        // As the reference server does: on a refused Initialize, close the
        // back connection first and reply only once the library has closed
        // its end too, then after reply_delay_ms more. The library's serving
        // thread thus ends while its Connect still waits for the reply.
        bool close_back_on_refusal = false;
        int reply_delay_ms = 0;
        // GetStatus is read but never answered (a server that hangs).
        bool hang_get_status = false;
        IPC_DA_DBServer::State state = IPC_DA_DBServer::stReady;
        std::string status_message = "ready";
        qrex_int32_t server_type = 2;
    };

    // What a request handler gets: the request and the back connection's
    // proxy (null when there is none). Runs on the session's thread.
    template <class T> using Handler = std::function<void(const T&, IPC_DA_DBClient::DBClient*)>;

    explicit Test_Archive_Server(Settings settings);
    Test_Archive_Server() : Test_Archive_Server(Settings()) {}
    ~Test_Archive_Server();
    Test_Archive_Server(const Test_Archive_Server&) = delete;
    Test_Archive_Server& operator=(const Test_Archive_Server&) = delete;

    ORTU_UINT16 port() const { return port_; }

    // Set before the library connects.
    Handler<IPC_DA_DBServer::TSQLExecute> on_sql;
    Handler<IPC_DA_DBServer::TDownload> on_download;
    Handler<IPC_DA_DBServer::TSearchText> on_search;
    Handler<IPC_DA_DBServer::TDelete> on_delete;
    Handler<IPC_DA_DBServer::TCancelOperation> on_cancel;
    // Runs on Initialize before the server connects back.
    std::function<void(const IPC_DA_DBServer::TInitialize&)> on_initialize;

    struct Observed {
        int initializes = 0;
        IPC_DA_DBServer::TInitialize last_initialize{};
        std::string last_digest;
        bool last_proof_valid = false;
        int status_requests = 0;
        std::vector<std::string> statements;
        std::vector<IPC_DA_DBServer::TCancelOperation> cancels;
        // Refusals whose back connection the library had closed on its
        // side before the reply went out.
        int back_closed_before_reply = 0;
        int sessions = 0;       // request connections accepted
        int ended_sessions = 0; // request connections that ended
    };
    Observed observed();

    // Ends the newest session's back connection (the library sees its
    // back connection close) or breaks its request connection (the
    // library's next request fails on its socket).
    void close_back_connection();
    void break_request_connection();
    // Writes bytes as they are on the newest session's back connection
    // (framing and all); false when it could not. With close, the back
    // connection is closed afterwards.
    bool send_back_raw(const std::vector<unsigned char>& bytes, bool close);

    // Waits, at most timeout_ms, for a condition on what was observed.
    bool wait_until(const std::function<bool(const Observed&)>& condition, int timeout_ms = 10000);

    // The expected answer to a challenge, by the reference SHA-1.
    static std::string reference_digest(const std::string& password, const std::string& token);

    struct Session;
    class Servant;

private:
    void accept_loop();
    void serve(Session* session);

    Settings settings_;
    QREX_Member_Def members_[IPC_DA_DBServer::DBServer_MEMBER_COUNT];
    QREX_Interface_Def interfaces_[2];
    QREX_Module_Def module_;

    std::unique_ptr<TCP_Socket> listener_;
    ORTU_UINT16 port_;
    ORTU_Event stop_;
    std::thread acceptor_;

    std::mutex lock_;
    std::condition_variable changed_;
    Observed observed_;
    std::vector<std::unique_ptr<Session>> sessions_;
};
