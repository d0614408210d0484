#include "QREX_Client.h"
#include "qrex_test_module.h"

#include <thread>

using namespace qrex_test;

namespace {

// Request payloads that the client wrote, one per record.
std::vector<Bytes> records_of(const Bytes& wire) {
    std::vector<Bytes> out;
    Bytes current;
    size_t at = 0;
    while (at + 4 <= wire.size()) {
        const qrex_uint32_t h = (qrex_uint32_t{wire[at]} << 24) |
                                (qrex_uint32_t{wire[at + 1]} << 16) |
                                (qrex_uint32_t{wire[at + 2]} << 8) | wire[at + 3];
        const qrex_uint32_t size = h & ~RM_LAST_FRAGMENT;
        current.insert(current.end(), wire.begin() + at + 4, wire.begin() + at + 4 + size);
        at += 4 + size;
        if (h & RM_LAST_FRAGMENT) {
            out.push_back(current);
            current.clear();
        }
    }
    return out;
}

qrex_uint32_t word_at(const Bytes& b, size_t index) {
    return (qrex_uint32_t{b[4 * index]} << 24) | (qrex_uint32_t{b[4 * index + 1]} << 16) |
           (qrex_uint32_t{b[4 * index + 2]} << 8) | b[4 * index + 3];
}

void one_way(QREX_TCP_Client_Connection& c, qrex_uint32_t value) {
    c.call(NOTIFY_CALL, TEST_HASH, nullptr, qrex_xdr_empty, &value, qrex_xdr_uint32,
           QREX_FLAG_NO_REPLY);
}

qrex_int32_t add(QREX_Client_Connection& c, qrex_int32_t a, qrex_int32_t b) {
    Add_Args args{a, b};
    qrex_int32_t sum = 0;
    c.call(ADD_CALL, TEST_HASH, &sum, qrex_xdr_int32, &args, xdr_add_args, 0);
    return sum;
}

// Makes a two-way call answered with reply and returns its selector status.
qrex_int32_t status_of(const Bytes& answer, std::string* where = nullptr) {
    Memory_Adapter adapter(answer);
    QREX_TCP_Client_Connection c(&adapter);
    try {
        add(c, 1, 2);
    } catch (const QREX_Selector_Error& e) {
        if (where)
            *where = e.where();
        return e.status();
    }
    return -1000;
}

} // namespace

// ---------------------------------------------------------------- requests

TEST(Client_Requests, TwoWayRequestBytesAsTheyGoOut) {
    Memory_Adapter adapter(reply(3, SUCCESS, words({0x12345678})));
    QREX_TCP_Client_Connection c(&adapter);
    one_way(c, 0);
    one_way(c, 0);
    adapter.output.clear();
    qrex_uint32_t v = 0xCAFEBABE, r = 0;
    c.call(qrex_make_call_id(0x6A, 1, 0, 1), 0xF334D2FC, &r, qrex_xdr_uint32, &v, qrex_xdr_uint32,
           0);
    EXPECT_EQ(adapter.output, words({0x80000014u, 3, 2, 0x6A010001u, 0xF334D2FCu, 0xCAFEBABEu}));
    EXPECT_EQ(r, 0x12345678u);
}

TEST(Client_Requests, CallsAreNumberedFromOne) {
    Memory_Adapter adapter;
    QREX_TCP_Client_Connection c(&adapter);
    for (int i = 0; i < 10; ++i)
        one_way(c, static_cast<qrex_uint32_t>(i));
    const auto recs = records_of(adapter.output);
    ASSERT_EQ(recs.size(), 10u);
    EXPECT_EQ(word_at(recs[0], 0), 1u);
    EXPECT_EQ(word_at(recs[9], 0), 10u);
    EXPECT_EQ(word_at(recs[9], 1), static_cast<qrex_uint32_t>(REQUEST_WITH_HASH));
    EXPECT_EQ(word_at(recs[9], 2), NOTIFY_CALL);
    EXPECT_EQ(word_at(recs[9], 3), TEST_HASH);
    EXPECT_EQ(word_at(recs[9], 4), 9u);
    EXPECT_EQ(c.last_xid(), 10u);
}

TEST(Client_Requests, OneWayCallReadsNothing) {
    Memory_Adapter adapter(reply(1, SUCCESS, words({5})));
    QREX_TCP_Client_Connection c(&adapter);
    one_way(c, 1);
    EXPECT_EQ(adapter.consumed(), 0u);
    EXPECT_TRUE(adapter.requests.empty());
}

TEST(Client_Requests, ArgumentsOverTheirLimitDropThePartialRequest) {
    Memory_Adapter adapter(reply(2, SUCCESS, words({3})));
    QREX_TCP_Client_Connection c(&adapter);
    char long_text[] = "much longer than sixteen";
    Text_Record t{long_text};
    qrex_uint32_t ignored = 0;
    EXPECT_THROW(c.call(ECHO_CALL, TEST_HASH, &ignored, qrex_xdr_empty, &t, xdr_text16, 0),
                 QREX_XDR_Error);
    EXPECT_TRUE(adapter.output.empty());
    EXPECT_EQ(add(c, 1, 2), 3);
    EXPECT_EQ(records_of(adapter.output).size(), 1u);
}

namespace {
struct Big_Then_Bad {
    char* text;
    size_t block;
};
void xdr_big_then_bad(XDR_Stream* xdr, void* v) {
    std::vector<unsigned char> block(static_cast<Big_Then_Bad*>(v)->block, 0x55);
    xdr->XDR_opaque(block.data(), static_cast<qrex_uint32_t>(block.size()));
    xdr->XDR_string(&static_cast<Big_Then_Bad*>(v)->text, 2);
}
} // namespace

TEST(Client_Requests, FailureBeforeAnythingLeftDropsTheRecord) {
    // Two fragments' worth, still in the stream's buffer when it failed.
    Memory_Adapter adapter;
    QREX_TCP_Client_Connection c(&adapter);
    char bad[] = "abc";
    Big_Then_Bad arg{bad, 6000};
    EXPECT_THROW(c.call(NOTIFY_CALL, TEST_HASH, nullptr, qrex_xdr_empty, &arg, xdr_big_then_bad,
                        QREX_FLAG_NO_REPLY),
                 QREX_XDR_Error);
    EXPECT_TRUE(adapter.output.empty());
    one_way(c, 7);
    const auto recs = records_of(adapter.output);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(word_at(recs[0], 0), 2u);
    EXPECT_EQ(word_at(recs[0], 4), 7u);
}

TEST(Client_Requests, FailureAfterAFragmentLeftClosesTheRecord) {
    // More than the stream buffers: part of the request has left.
    Memory_Adapter adapter;
    QREX_TCP_Client_Connection c(&adapter);
    char bad[] = "abc";
    Big_Then_Bad arg{bad, 200000};
    EXPECT_THROW(c.call(NOTIFY_CALL, TEST_HASH, nullptr, qrex_xdr_empty, &arg, xdr_big_then_bad,
                        QREX_FLAG_NO_REPLY),
                 QREX_XDR_Error);
    one_way(c, 7);
    std::vector<Fragment_Info> f;
    unframe(adapter.output, &f);
    ASSERT_GE(f.size(), 3u);
    EXPECT_FALSE(f[0].last);
    EXPECT_EQ(f[f.size() - 2].size, 0u);
    EXPECT_TRUE(f[f.size() - 2].last);
    const auto recs = records_of(adapter.output);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(word_at(recs[1], 0), 2u);
    EXPECT_EQ(word_at(recs[1], 4), 7u);
}

// ---------------------------------------------------------------- replies

TEST(Client_Replies, StaleRepliesAreSkipped) {
    Memory_Adapter adapter(
        cat({reply(4, SUCCESS, words({111, 222})), reply(5, SUCCESS, words({9}))}),
        Memory_Adapter::random_split);
    QREX_TCP_Client_Connection c(&adapter);
    for (int i = 0; i < 4; ++i)
        one_way(c, 0);
    Log_Capture capture;
    {
        Qrex_Level level(1);
        EXPECT_EQ(add(c, 4, 5), 9);
    }
    EXPECT_TRUE(Log_Capture::contains(", invalid xid 0x4 received, expected 0x5\n"))
        << Log_Capture::text();
    char tag[32];
    std::snprintf(tag, sizeof tag, "TCPC.0x%x,", qrex_tag(&c));
    EXPECT_TRUE(Log_Capture::contains(tag));
}

TEST(Client_Replies, StaleLineIsLevelOne) {
    EXPECT_TRUE(logs_at_level(1, ", invalid xid 0x9 received, expected 0x1\n", [] {
        Memory_Adapter adapter(cat({reply(9, SUCCESS), reply(1, SUCCESS, words({3}))}));
        QREX_TCP_Client_Connection c(&adapter);
        EXPECT_EQ(add(c, 1, 2), 3);
    }));
}

TEST(Client_Replies, LeftoverOfTheLastReplyIsDroppedByTheNextCall) {
    Memory_Adapter adapter(
        cat({reply(1, SUCCESS, words({3, 0xEE, 0xEE})), reply(2, SUCCESS, words({7}))}));
    QREX_TCP_Client_Connection c(&adapter);
    EXPECT_EQ(add(c, 1, 2), 3);
    EXPECT_EQ(add(c, 3, 4), 7);
}

TEST(Client_Replies, EveryErrorStatusBecomesASelectorError) {
    const char* messages[] = {nullptr,
                              "QREX reply error: Invalid module",
                              "QREX reply error: Invalid interface",
                              "QREX reply error: Invalid member",
                              "QREX reply error: Invalid hash",
                              "QREX reply error: Garbage argument"};
    for (qrex_int32_t status = 1; status <= 5; ++status) {
        std::string where;
        char line[160];
        std::snprintf(line, sizeof line, ", %s (%d), call_id 0x%x, hash 0x%x\n", messages[status],
                      status, ADD_CALL, TEST_HASH);
        EXPECT_TRUE(logs_at_level(0, line,
                                  [&] { EXPECT_EQ(status_of(reply(1, status), &where), status); }));
        EXPECT_EQ(where, "QREX_TCP_Client_Connection::call");
    }
}

TEST(Client_Replies, UnknownStatusKeepsItsNumber) {
    Log_Capture capture;
    EXPECT_EQ(status_of(reply(1, 9)), 9);
    EXPECT_TRUE(
        Log_Capture::contains(", QREX reply error: Invalid status in response (9), call_id"));
    EXPECT_TRUE(Log_Capture::contains("throw_selector_error(QREX_TCP_Client_Connection::call: QREX "
                                      "reply error: Invalid status in "
                                      "response, 9)\n"));
    EXPECT_EQ(status_of(reply(1, -3)), -3);
}

TEST(Client_Replies, RequestTypeWithTheRightXidIsALogicalError) {
    Memory_Adapter adapter(request(1, REQUEST_WITH_HASH, ADD_CALL, TEST_HASH, {}));
    QREX_TCP_Client_Connection c(&adapter);
    Log_Capture capture;
    try {
        add(c, 1, 1);
        FAIL() << "no error";
    } catch (const QREX_Logical_Error& e) {
        EXPECT_STREQ(e.where(), "QREX_TCP_Client_Connection::call");
    }
    EXPECT_TRUE(Log_Capture::contains(
        "throw_logical_error(QREX_TCP_Client_Connection::call: invalid QREX packet type)\n"));
}

TEST(Client_Replies, GarbageReplyHeaderIsInvalidUnion) {
    Memory_Adapter adapter(record(words({1, 42, 0})));
    QREX_TCP_Client_Connection c(&adapter);
    try {
        add(c, 1, 1);
        FAIL() << "no error";
    } catch (const QREX_XDR_Error& e) {
        EXPECT_STREQ(e.what(), "invalid_union");
    }
}

TEST(Client_Replies, ResultDecodingErrorLeavesStorageToTheCaller) {
    Memory_Adapter adapter(reply(1, SUCCESS, cat({words({3}), text("abc"), Bytes{0}})));
    QREX_TCP_Client_Connection c(&adapter);
    qrex_uint32_t arg = 0;
    struct Two_Texts {
        char* a;
        char* b;
    } result{nullptr, nullptr};
    auto xdr_two = [](XDR_Stream* xdr, void* v) {
        Two_Texts* t = static_cast<Two_Texts*>(v);
        xdr->XDR_string(&t->a, 16);
        xdr->XDR_string(&t->b, 16);
    };
    EXPECT_THROW(c.call(ECHO_CALL, TEST_HASH, &result, xdr_two, &arg, qrex_xdr_uint32, 0),
                 QREX_XDR_Error);
    ASSERT_NE(result.a, nullptr);
    EXPECT_STREQ(result.a, "abc");
    XDR_Free(&result, xdr_two);
    EXPECT_EQ(result.a, nullptr);
}

TEST(Client_Replies, ConnectionEndingWhileWaitingIsACommunicationError) {
    Memory_Adapter adapter(Bytes{0x80, 0, 0, 0x10, 0, 0, 0, 1});
    QREX_TCP_Client_Connection c(&adapter);
    EXPECT_THROW(add(c, 1, 1), QREX_Communication_Error);
}

// ---------------------------------------------------------------- over loopback

namespace {

// A dispatcher serving the test module on one accepted connection.
class Loopback {
public:
    Loopback() {
        listener_.listen();
        client_socket_ = std::make_unique<TCP_Socket>();
        client_socket_->open(InetEndpoint{InetAddress::loopback(), listener_.local_endpoint().port},
                             5000);
        server_socket_ = listener_.accept(5000);
        client_adapter_ = std::make_unique<Socket_Adapter>(client_socket_.get());
        client_ = std::make_unique<QREX_TCP_Client_Connection>(client_adapter_.get());
        server_ = std::thread([this] { serve(); });
    }
    ~Loopback() {
        // Ending our side ends the server's reads.
        client_socket_->close();
        server_.join();
    }
    QREX_TCP_Client_Connection& client() { return *client_; }
    TCP_Socket& server_socket() { return *server_socket_; }
    int served() const { return served_.load(); }

private:
    void serve() {
        Socket_Adapter adapter(server_socket_.get());
        QREX_TCP_Stream stream(&adapter);
        QREX_Server_Dispatcher dispatcher(&test_module);
        try {
            for (;;) {
                dispatcher.dispatch(&stream);
                ++served_;
            }
        } catch (const ORTU_Exception&) {
            // the client went away
        }
    }

    TCP_Socket listener_{0, nullptr};
    std::unique_ptr<TCP_Socket> client_socket_;
    std::unique_ptr<TCP_Socket> server_socket_;
    std::unique_ptr<Socket_Adapter> client_adapter_;
    std::unique_ptr<QREX_TCP_Client_Connection> client_;
    std::thread server_;
    std::atomic<int> served_{0};
};

} // namespace

TEST(Client_Loopback, CallsAndErrorRepliesOverARealConnection) {
    Loopback lb;
    EXPECT_EQ(add(lb.client(), 20, 22), 42);
    char hello[] = "hello";
    Text_Record arg{hello}, result{nullptr};
    lb.client().call(ECHO_CALL, TEST_HASH, &result, xdr_text16, &arg, xdr_text16, 0);
    EXPECT_STREQ(result.text, "hello");
    XDR_Free(&result, xdr_text16);
    qrex_int32_t sum = 0;
    Add_Args args{1, 1};
    try {
        lb.client().call(qrex_make_call_id(TEST_MODULE, 1, 0, 6), TEST_HASH, &sum, qrex_xdr_int32,
                         &args, xdr_add_args, 0);
        FAIL() << "no error";
    } catch (const QREX_Selector_Error& e) {
        EXPECT_EQ(e.status(), INVALID_MEMBER);
    }
    try {
        lb.client().call(ADD_CALL, TEST_HASH + 1, &sum, qrex_xdr_int32, &args, xdr_add_args, 0);
        FAIL() << "no error";
    } catch (const QREX_Selector_Error& e) {
        EXPECT_EQ(e.status(), INVALID_HASH);
    }
    char too_long[] = "seventeen chars!!";
    Text_Record bad{too_long};
    // The server refuses what this client would refuse to send: build it by hand.
    try {
        lb.client().call(
            ECHO_CALL, TEST_HASH, &result, xdr_text16, &bad,
            [](XDR_Stream* xdr, void* v) {
                xdr->XDR_string(&static_cast<Text_Record*>(v)->text, QREX_NO_LIMIT);
            },
            0);
        FAIL() << "no error";
    } catch (const QREX_Selector_Error& e) {
        EXPECT_EQ(e.status(), GARBAGE_ARG);
    }
    EXPECT_EQ(add(lb.client(), 2, 3), 5);
}

TEST(Client_Loopback, OneWayCallsArriveInOrderBeforeTheNextReply) {
    Loopback lb;
    for (qrex_uint32_t i = 0; i < 500; ++i)
        one_way(lb.client(), i);
    EXPECT_EQ(add(lb.client(), 0, 0), 0);
    ASSERT_NE(Test_Servant::last(), nullptr);
    const std::vector<qrex_uint32_t>& seen = Test_Servant::last()->notified;
    ASSERT_EQ(seen.size(), 500u);
    for (qrex_uint32_t i = 0; i < 500; ++i)
        ASSERT_EQ(seen[i], i);
}

TEST(Client_Loopback, ConcurrentCallersEachGetTheirOwnReply) {
    Loopback lb;
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                if (add(lb.client(), t * 1000, i) != t * 1000 + i)
                    ++wrong;
            }
        });
    }
    for (auto& c : callers)
        c.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(lb.client().last_xid(), 800u);
}

TEST(Client_Loopback, PeerClosingMidFragmentFailsTheCall) {
    TCP_Socket listener(0, nullptr);
    listener.listen();
    TCP_Socket client_socket;
    client_socket.open(InetEndpoint{InetAddress::loopback(), listener.local_endpoint().port}, 5000);
    std::unique_ptr<TCP_Socket> server = listener.accept(5000);
    Socket_Adapter adapter(&client_socket);
    QREX_TCP_Client_Connection c(&adapter);
    std::thread peer([&] {
        unsigned char request_bytes[28];
        server->recv_exact(request_bytes, sizeof request_bytes, 5000);
        // A reply of 16 bytes announced, 6 sent, then gone.
        const Bytes partial = {0x80, 0, 0, 0x10, 0, 0, 0, 1, 0, 0};
        server->send(partial.data(), partial.size(), 5000);
        server->close();
    });
    EXPECT_THROW(add(c, 1, 2), QREX_Communication_Error);
    peer.join();
}

TEST(Client_Call, ReplyCutShortIsAFailureThoughItsResultDecoded) {
    // The result word is there, but the record claims four bytes more and
    // the server is gone: the call fails instead of returning 42.
    Bytes answer = reply(1, SUCCESS, words({42}));
    answer[3] += 4;
    Memory_Adapter adapter(answer);
    QREX_TCP_Client_Connection c(&adapter);
    EXPECT_THROW(add(c, 40, 2), QREX_Communication_Error);
}
