#include "IPC_DA_DBServer.h"
#include "QREX_Memory.h"
#include "vqlink_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace vqlink_test;
using namespace IPC_DA_DBServer;

namespace {

// Records each call and answers two-way ones from a canned payload.
class Recording_Channel : public QREX_Client_Connection {
public:
    void call(qrex_uint32_t call_id, qrex_uint32_t hash, void* result, XDR_function result_function,
              void* arguments, XDR_function argument_function, qrex_uint32_t flags) override {
        this->call_id = call_id;
        this->hash = hash;
        this->flags = flags;
        this->arguments = encode(arguments, argument_function);
        if (!(flags & QREX_FLAG_NO_REPLY))
            decode(reply, result, result_function);
        else
            EXPECT_EQ(result, nullptr);
    }

    qrex_uint32_t call_id = 0, hash = 0, flags = 0xFF;
    Bytes arguments;
    Bytes reply;
};

} // namespace

TEST(DBServerProxy, OneWayMembersCarryTheFlagInBothPlaces) {
    Recording_Channel channel;
    DBServerProxy proxy(&channel);

    TSQLExecute sql{5, const_cast<char*>("abc")};
    proxy.SQLExecute(&sql);
    EXPECT_EQ(channel.call_id, 0x69010103u);
    EXPECT_EQ(channel.hash, 0xEAA796FBu);
    EXPECT_EQ(channel.flags, QREX_FLAG_NO_REPLY);
    EXPECT_EQ(channel.arguments, cat({words({5, 3}), padded("abc")}));

    std::uint32_t recs[] = {11, 12};
    TDelete del{1, {2, recs}};
    proxy.Delete(&del);
    EXPECT_EQ(channel.call_id, 0x69010104u);
    EXPECT_EQ(channel.arguments, words({1, 2, 11, 12}));

    TDownload down{2, {1, recs}};
    proxy.Download(&down);
    EXPECT_EQ(channel.call_id, 0x69010105u);
    EXPECT_EQ(channel.arguments, words({2, 1, 11}));

    TCancelOperation cancel{opDownload, 2};
    proxy.CancelOperation(&cancel);
    EXPECT_EQ(channel.call_id, 0x69010106u);
    EXPECT_EQ(channel.arguments, words({2, 2}));

    TSearchText search;
    std::memset(&search, 0, sizeof(search));
    search.id = 4;
    proxy.SearchText(&search);
    EXPECT_EQ(channel.call_id, 0x69010107u);
    EXPECT_EQ(channel.flags, QREX_FLAG_NO_REPLY);
    EXPECT_EQ(channel.arguments, words({4, 0, 0, 0}));
}

TEST(DBServerProxy, TwoWayMembersDecodeTheirResults) {
    Recording_Channel channel;
    DBServerProxy proxy(&channel);

    channel.reply = words({0xFFFFFFFE});
    EXPECT_EQ(proxy.GetServerType(), -2);
    EXPECT_EQ(channel.call_id, 0x69010008u);
    EXPECT_EQ(channel.flags, 0u);
    EXPECT_TRUE(channel.arguments.empty());

    channel.reply = cat({words({1, 2}), padded("ok")});
    TStatus status{stBusy, nullptr};
    proxy.GetStatus(&status);
    EXPECT_EQ(channel.call_id, 0x69010002u);
    EXPECT_EQ(V(status.state), stReady);
    EXPECT_STREQ(V(status.message), "ok");
    IPC_DA_DBServer::TStatus_Free(&status);

    channel.reply = cat({words({1, 4}), padded("busy")});
    TInitialize init{0x0A000001, 4000};
    TInitializeResult result{false, nullptr};
    proxy.Initialize(&result, &init);
    EXPECT_EQ(channel.call_id, 0x69010001u);
    EXPECT_EQ(channel.arguments, words({0x0A000001, 4000}));
    EXPECT_TRUE(V(result.passwordValid));
    EXPECT_STREQ(V(result.error), "busy");
    IPC_DA_DBServer::TInitializeResult_Free(&result);
}

namespace {

class Fake_Server : public DBServer {
public:
    void release() override { ++released; }
    void Initialize(TInitializeResult* result, const TInitialize* argument) override {
        port = argument->clientPort;
        result->passwordValid = true;
        result->error = qrex_strdup("");
    }
    void GetStatus(TStatus* result) override {
        result->state = stFailed;
        result->message = qrex_strdup("down");
    }
    void SQLExecute(const TSQLExecute* argument) override { statement = argument->statement; }
    void Delete(const TDelete*) override {}
    void Download(const TDownload*) override {}
    void CancelOperation(const TCancelOperation* argument) override { cancelled = argument->id; }
    void SearchText(const TSearchText*) override {}
    qrex_int32_t GetServerType() override { return 3; }

    int released = 0;
    unsigned port = 0;
    std::string statement;
    unsigned cancelled = 0;
};

Fake_Server* the_fake = nullptr;
QREX_Servant* fake_factory(QREX_Server_Dispatcher*) {
    return the_fake;
}

const QREX_Interface_Def interfaces[2] = {{0, nullptr, nullptr, 0, nullptr},
                                          DBServer_interface(&fake_factory)};
const QREX_Module_Def module = module_definition(interfaces);

Bytes request(qrex_uint32_t xid, qrex_uint32_t call_id, const Bytes& args) {
    return record(cat({words({xid, 2, call_id, DBServer_HASH}), args}));
}

} // namespace

TEST(DBServer_Stubs, ServeEveryKindOfMember) {
    Fake_Server server;
    the_fake = &server;
    Memory_Adapter adapter(cat({
        request(1, 0x69010001, words({0x7F000001, 1234})),
        request(2, 0x69010002, {}),
        request(3, 0x69010103, cat({words({8, 2}), padded("hi")})),
        request(4, 0x69010106, words({0, 8})),
        request(5, 0x69010008, {}),
    }));
    {
        QREX_TCP_Stream stream(&adapter);
        QREX_Server_Dispatcher dispatcher(&module);
        for (int i = 0; i < 5; ++i)
            dispatcher.dispatch(&stream);
    }
    EXPECT_EQ(server.port, 1234u);
    EXPECT_EQ(server.statement, "hi");
    EXPECT_EQ(server.cancelled, 8u);
    EXPECT_EQ(server.released, 1);
    // Replies for the three two-way members only, in order.
    EXPECT_EQ(adapter.output, cat({record(cat({words({1, 1, 0, 1, 0})})),
                                   record(cat({words({2, 1, 0, 2, 4}), padded("down")})),
                                   record(words({5, 1, 0, 3}))}));
    the_fake = nullptr;
}
