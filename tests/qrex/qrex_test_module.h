// A small module served in the tests: module 0x6A, interface 1 with echo,
// notify, add and an always failing reply; interface 2 whose factory makes
// no servant. And a socket adapter over TCP_Socket for loopback pairs.
#pragma once

#include "QREX_Client.h"
#include "QREX_Errors.h"
#include "QREX_Server.h"
#include "TCP_Socket.h"
#include "qrex_test_support.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace qrex_test {

constexpr qrex_uint32_t TEST_MODULE = 0x6A;
constexpr qrex_uint32_t TEST_HASH = 0xF334D2FCu;

constexpr qrex_uint32_t ECHO_CALL = qrex_make_call_id(TEST_MODULE, 1, 0, 1);
constexpr qrex_uint32_t NOTIFY_CALL = qrex_make_call_id(TEST_MODULE, 1, 1, 2);
constexpr qrex_uint32_t ADD_CALL = qrex_make_call_id(TEST_MODULE, 1, 0, 3);
constexpr qrex_uint32_t NO_STUB_CALL = qrex_make_call_id(TEST_MODULE, 1, 0, 4);
constexpr qrex_uint32_t BAD_REPLY_CALL = qrex_make_call_id(TEST_MODULE, 1, 0, 5);
constexpr qrex_uint32_t EMPTY_SERVANT_CALL = qrex_make_call_id(TEST_MODULE, 2, 0, 1);

struct Text_Record {
    char* text;
};
inline void xdr_text16(XDR_Stream* xdr, void* v) {
    xdr->XDR_string(&static_cast<Text_Record*>(v)->text, 16);
}

struct Add_Args {
    qrex_int32_t a;
    qrex_int32_t b;
};
inline void xdr_add_args(XDR_Stream* xdr, void* v) {
    Add_Args* args = static_cast<Add_Args*>(v);
    xdr->XDR_int32(&args->a);
    xdr->XDR_int32(&args->b);
}

class Test_Servant : public QREX_Servant {
public:
    Test_Servant() { ++created(); }
    void release() override {
        ++released();
        std::unique_ptr<Test_Servant> self(this);
    }

    std::string echo(const char* text) {
        ++calls;
        return text;
    }
    void notify(qrex_uint32_t value) {
        ++calls;
        notified.push_back(value);
    }

    static std::atomic<int>& created() {
        static std::atomic<int> n{0};
        return n;
    }
    static std::atomic<int>& released() {
        static std::atomic<int> n{0};
        return n;
    }
    static Test_Servant*& last() {
        static Test_Servant* s = nullptr;
        return s;
    }

    std::atomic<int> calls{0};
    std::vector<qrex_uint32_t> notified;
};

// Releases a stub's argument record on every way out.
template <typename T> struct Argument_Holder {
    T value{};
    XDR_function function;
    explicit Argument_Holder(XDR_function f) : function(f) {}
    ~Argument_Holder() { XDR_Free(&value, function); }
};

inline void echo_stub(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    Argument_Holder<Text_Record> args(xdr_text16);
    d->read_args(&args.value, xdr_text16);
    std::string answer = static_cast<Test_Servant*>(s)->echo(args.value.text);
    Text_Record result{answer.data()};
    d->send_reply(&result, xdr_text16);
}

inline void notify_stub(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    qrex_uint32_t value = 0;
    d->read_args(&value, qrex_xdr_uint32);
    static_cast<Test_Servant*>(s)->notify(value);
}

inline void add_stub(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    Add_Args args{};
    d->read_args(&args, xdr_add_args);
    ++static_cast<Test_Servant*>(s)->calls;
    qrex_int32_t sum = args.a + args.b;
    d->send_reply(&sum, qrex_xdr_int32);
}

// The result breaks its own limit: the error comes after the reply began.
inline void bad_reply_stub(QREX_Server_Dispatcher* d, QREX_Servant*) {
    d->read_args(nullptr, qrex_xdr_empty);
    char long_text[] = "this text is longer than sixteen";
    Text_Record result{long_text};
    d->send_reply(&result, xdr_text16);
}

inline QREX_Servant* make_test_servant(QREX_Server_Dispatcher*) {
    Test_Servant* s = new Test_Servant;
    Test_Servant::last() = s;
    return s;
}
inline QREX_Servant* make_no_servant(QREX_Server_Dispatcher*) {
    return nullptr;
}

inline const QREX_Member_Def test_members[] = {
    {nullptr, 0, nullptr}, {echo_stub, 0, "Echo"}, {notify_stub, QREX_MEMBER_ONEWAY, "Notify"},
    {add_stub, 0, "Add"},  {nullptr, 0, "NoStub"}, {bad_reply_stub, 0, nullptr},
};

inline const QREX_Member_Def empty_members[] = {
    {nullptr, 0, nullptr},
    {echo_stub, 0, "Echo"},
};

inline const QREX_Interface_Def test_interfaces[] = {
    {0, nullptr, nullptr, 0, nullptr},
    {6, make_test_servant, test_members, TEST_HASH, "Tester"},
    {2, make_no_servant, empty_members, TEST_HASH, "Empty"},
};

inline const QREX_Module_Def test_module = {QREX_MODULE_DEF_MAGIC, TEST_MODULE, 3, test_interfaces,
                                            "IPC_Test"};

// Socket adapter over a TCP_Socket, as the connection code builds one.
class Socket_Adapter : public QREX_Socket_Adapter {
public:
    explicit Socket_Adapter(TCP_Socket* socket, const ORTU_Event* cancel = nullptr)
        : socket_(socket), cancel_(cancel) {}
    size_t read(void* buffer, size_t n) override {
        try {
            return socket_->recv(buffer, n, TCP_Socket::TCP_DEFAULT_TIMEOUT, cancel_);
        } catch (const Socket_Error& e) {
            throw_comm_error("Socket_Adapter::read", static_cast<int>(e.code()));
        }
    }
    void read_exact(void* buffer, size_t n) override {
        try {
            socket_->recv_exact(buffer, n, TCP_Socket::TCP_DEFAULT_TIMEOUT, cancel_);
        } catch (const Socket_Error& e) {
            throw_comm_error("Socket_Adapter::read_exact", static_cast<int>(e.code()));
        }
    }
    void write(const void* buffer, size_t n) override {
        try {
            socket_->send(buffer, n, TCP_Socket::TCP_DEFAULT_TIMEOUT, cancel_);
        } catch (const Socket_Error& e) {
            throw_comm_error("Socket_Adapter::write", static_cast<int>(e.code()));
        }
    }

private:
    TCP_Socket* socket_;
    const ORTU_Event* cancel_;
};

// Builds one request record.
inline Bytes request(qrex_uint32_t xid, qrex_int32_t type, qrex_uint32_t call_id,
                     qrex_uint32_t hash, const Bytes& arguments) {
    Bytes header = words({xid, static_cast<qrex_uint32_t>(type), call_id});
    if (type == REQUEST_WITH_HASH || type == REQUEST_WITH_TS)
        header = cat({header, words({hash})});
    return record(cat({header, arguments}));
}

inline Bytes reply(qrex_uint32_t xid, qrex_int32_t status, const Bytes& result = {}) {
    return record(cat({words({xid, REPLY, static_cast<qrex_uint32_t>(status)}), result}));
}

} // namespace qrex_test
