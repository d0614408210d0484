#include "IPC_DA_DBClient.h"
#include "QREX_Memory.h"
#include "vqlink_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace vqlink_test;
using namespace IPC_DA_DBClient;

namespace {

// Keeps copies of what it is given: the records die with the call.
class Fake_Client : public DBClient {
public:
    void release() override { ++released; }
    void VerifyPassword(TVerifyRsp* result, const TVerifyReq* argument) override {
        tokens.push_back(argument->token);
        std::strcpy(result->digest, "answer");
    }
    void SelectResult(const TSelectResult* argument) override {
        events.push_back("select " + std::to_string(argument->id) + " rows " +
                         std::to_string(argument->rows.rows_len) +
                         (argument->hasMore ? " more" : " last"));
        if (argument->rows.rows_len)
            first_value = argument->rows.rows_val[0].cols.cols_val[0].value;
    }
    void DeleteComplete(const TDeleteComplete* argument) override {
        events.push_back("delete " + std::to_string(argument->id));
    }
    void DownloadProcess(const TDownloadProcess* argument) override {
        events.push_back("download " + std::to_string(argument->data.data_len));
    }
    void SearchProcess(const TSearchProcess* argument) override {
        events.push_back("search " + std::to_string(argument->searched));
    }

    int released = 0;
    std::vector<std::string> tokens;
    std::vector<std::string> events;
    std::string first_value;
};

Fake_Client* the_fake = nullptr;
QREX_Servant* fake_factory(QREX_Server_Dispatcher*) {
    return the_fake;
}

const QREX_Interface_Def interfaces[2] = {{0, nullptr, nullptr, 0, nullptr},
                                          DBClient_interface(&fake_factory)};
const QREX_Module_Def module = module_definition(interfaces);

Bytes request(qrex_uint32_t xid, qrex_uint32_t call_id, const Bytes& args,
              qrex_uint32_t hash = DBClient_HASH) {
    return record(cat({words({xid, 2, call_id, hash}), args}));
}

struct Served {
    Bytes replies;
    std::string error;
};

Served serve(Fake_Client& client, const Bytes& input, int requests) {
    the_fake = &client;
    Memory_Adapter adapter(input);
    Served served;
    {
        QREX_TCP_Stream stream(&adapter);
        QREX_Server_Dispatcher dispatcher(&module);
        try {
            for (int i = 0; i < requests; ++i)
                dispatcher.dispatch(&stream);
        } catch (const QREX_Error& e) {
            served.error = e.what();
        }
    }
    served.replies = adapter.output;
    the_fake = nullptr;
    return served;
}

} // namespace

TEST(DBClient_Definitions, TablesAsTheProtocolFixesThem) {
    EXPECT_EQ(module.magic_, QREX_MODULE_DEF_MAGIC);
    EXPECT_EQ(module.id_, 0x6Au);
    EXPECT_EQ(module.interface_count_, 2u);
    EXPECT_STREQ(module.name_, "IPC_DA_DBClient");
    EXPECT_EQ(interfaces[1].member_count_, 6u);
    EXPECT_EQ(interfaces[1].hash_, 0xF334D2FCu);
    EXPECT_STREQ(interfaces[1].name_, "DBClient");
    EXPECT_EQ(DBClient_members[0].stub_, nullptr);
    const char* names[] = {"VerifyPassword", "SelectResult", "DeleteComplete", "DownloadProcess",
                           "SearchProcess"};
    for (int i = 1; i <= 5; ++i) {
        EXPECT_NE(DBClient_members[i].stub_, nullptr);
        EXPECT_STREQ(DBClient_members[i].name_, names[i - 1]);
        EXPECT_EQ(DBClient_members[i].flags_, i == 1 ? 0u : QREX_MEMBER_ONEWAY);
    }
    EXPECT_EQ(CALL_VerifyPassword, 0x6A010001u);
    EXPECT_EQ(CALL_SelectResult, 0x6A010102u);
    EXPECT_EQ(CALL_DeleteComplete, 0x6A010103u);
    EXPECT_EQ(CALL_DownloadProcess, 0x6A010104u);
    EXPECT_EQ(CALL_SearchProcess, 0x6A010105u);
}

TEST(DBClient_Stubs, VerifyPasswordRepliesWithTheDigest) {
    Fake_Client client;
    Served s = serve(client, request(3, CALL_VerifyPassword, cat({words({3}), padded("tok")})), 1);
    ASSERT_EQ(client.tokens.size(), 1u);
    EXPECT_EQ(client.tokens[0], "tok");
    EXPECT_EQ(s.replies, record(cat({words({3, 1, 0, 6}), padded("answer")})));
}

TEST(DBClient_Stubs, OneWayCallsInOrderWithoutReplies) {
    Fake_Client client;
    Bytes row = cat({words({1, 1}), padded("c"), words({2}), padded("v1")});
    Served s =
        serve(client,
              cat({request(1, CALL_SelectResult, cat({words({9, 1}), row, words({1, 0, 0, 0})})),
                   request(2, CALL_SelectResult, words({9, 0, 0, 0, 0, 0})),
                   request(3, CALL_DeleteComplete, words({4, 0, 0, 0})),
                   request(4, CALL_DownloadProcess, words({5, 6, 2, 1, 2, 0, 0, 0})),
                   request(5, CALL_SearchProcess, words({7, 3, 1, 42, 0, 0, 0}))}),
              5);
    EXPECT_TRUE(s.replies.empty());
    EXPECT_EQ(client.events,
              (std::vector<std::string>{"select 9 rows 1 more", "select 9 rows 0 last", "delete 4",
                                        "download 2", "search 3"}));
    EXPECT_EQ(client.first_value, "v1");
    EXPECT_EQ(client.released, 1);
}

TEST(DBClient_Stubs, RoutingErrors) {
    Fake_Client client;
    Served s = serve(client,
                     cat({request(1, 0x6A010006, {}), request(2, 0x6A020001, {}),
                          request(3, 0x6A010106, {}), request(4, 0x6A020101, {}),
                          request(5, CALL_VerifyPassword, words({0}), DBClient_HASH ^ 0x100)}),
                     5);
    EXPECT_EQ(s.replies,
              cat({record(words({1, 1, INVALID_MEMBER})), record(words({2, 1, INVALID_INTERFACE})),
                   record(words({5, 1, INVALID_HASH}))}));
    EXPECT_TRUE(client.tokens.empty());
}

TEST(DBClient_Stubs, UndecodableArgumentsGetGarbageArgAndTheNextRequestIsServed) {
    Fake_Client client;
    Served s = serve(client,
                     cat({request(1, CALL_VerifyPassword, cat({words({33}), padded("x")})),
                          request(2, CALL_VerifyPassword, cat({words({1}), padded("y")}))}),
                     2);
    EXPECT_EQ(s.replies, cat({record(words({1, 1, GARBAGE_ARG})),
                              record(cat({words({2, 1, 0, 6}), padded("answer")}))}));
    ASSERT_EQ(client.tokens.size(), 1u);
    EXPECT_EQ(client.tokens[0], "y");
}

namespace {

class Recording_Channel : public QREX_Client_Connection {
public:
    void call(qrex_uint32_t call_id, qrex_uint32_t, void* result, XDR_function result_function,
              void* arguments, XDR_function argument_function, qrex_uint32_t flags) override {
        ids.push_back(call_id);
        all_flags.push_back(flags);
        last = encode(arguments, argument_function);
        if (!(flags & QREX_FLAG_NO_REPLY))
            decode(cat({words({40}), padded("0123456789012345678901234567890123456789")}), result,
                   result_function);
    }
    std::vector<qrex_uint32_t> ids, all_flags;
    Bytes last;
};

} // namespace

TEST(DBClientProxy, CallsForTheServerSide) {
    Recording_Channel channel;
    DBClientProxy proxy(&channel);
    TVerifyReq req{const_cast<char*>("t")};
    TVerifyRsp rsp;
    proxy.VerifyPassword(&rsp, &req);
    EXPECT_STREQ(rsp.digest, "0123456789012345678901234567890123456789");
    TSelectResult sel;
    std::memset(&sel, 0, sizeof(sel));
    proxy.SelectResult(&sel);
    TDeleteComplete del;
    std::memset(&del, 0, sizeof(del));
    proxy.DeleteComplete(&del);
    TDownloadProcess down;
    std::memset(&down, 0, sizeof(down));
    proxy.DownloadProcess(&down);
    TSearchProcess search;
    std::memset(&search, 0, sizeof(search));
    proxy.SearchProcess(&search);
    EXPECT_EQ(channel.ids, (std::vector<qrex_uint32_t>{0x6A010001, 0x6A010102, 0x6A010103,
                                                       0x6A010104, 0x6A010105}));
    EXPECT_EQ(channel.all_flags, (std::vector<qrex_uint32_t>{0, 1, 1, 1, 1}));
}
