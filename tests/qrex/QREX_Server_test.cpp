#include "QREX_Server.h"
#include "qrex_test_module.h"

using namespace qrex_test;

namespace {

// A dispatcher serving the test module over an in-memory stream.
struct Served {
    Memory_Adapter adapter;
    QREX_TCP_Stream stream{&adapter};
    QREX_Server_Dispatcher dispatcher{&test_module};

    explicit Served(const Bytes& input, Memory_Adapter::Split split = Memory_Adapter::whole)
        : adapter(input, split) {}
    void dispatch(qrex_uint32_t* delay = nullptr) { dispatcher.dispatch(&stream, delay); }
};

Bytes echo_args(const char* s) {
    const size_t n = std::strlen(s);
    Bytes b = cat({words({static_cast<qrex_uint32_t>(n)}), text(s)});
    b.resize(b.size() + ((4 - n % 4) % 4), 0);
    return b;
}

} // namespace

// ---------------------------------------------------------------- registration

TEST(Dispatcher_Register, TableGrowsToTheHighestIdPlusOne) {
    QREX_Server_Dispatcher d;
    EXPECT_EQ(d.module_count(), 0u);
    d.register_module(&test_module);
    EXPECT_EQ(d.module_count(), 107u);
    static const QREX_Module_Def low = {QREX_MODULE_DEF_MAGIC, 3, 3, test_interfaces, "Low"};
    d.register_module(&low);
    EXPECT_EQ(d.module_count(), 107u);
    EXPECT_STREQ(d.member_name(qrex_make_call_id(3, 1, 0, 1), "?"), "Echo");
    EXPECT_STREQ(d.member_name(ECHO_CALL, "?"), "Echo");
}

TEST(Dispatcher_Register, DuplicateIdIsReportedAndTheFirstStays) {
    QREX_Server_Dispatcher d(&test_module);
    static const QREX_Member_Def other_members[] = {{nullptr, 0, nullptr}, {echo_stub, 0, "Other"}};
    static const QREX_Interface_Def other_interfaces[] = {
        {0, nullptr, nullptr, 0, nullptr}, {2, make_test_servant, other_members, 1, "X"}};
    static const QREX_Module_Def again = {QREX_MODULE_DEF_MAGIC, TEST_MODULE, 2, other_interfaces,
                                          "Again"};
    Assertion_Counter assertions;
    EXPECT_TRUE(logs_at_level(0, ", module 106 has been already registered\n",
                              [&] { d.register_module(&again); }));
    EXPECT_GE(Assertion_Counter::count(), 1);
    EXPECT_STREQ(d.member_name(ECHO_CALL, "?"), "Echo");
}

TEST(Dispatcher_Register, DefinitionWithoutMagicIsRefused) {
    static const QREX_Module_Def bad = {0x12345678, 5, 3, test_interfaces, "Bad"};
    QREX_Server_Dispatcher d;
    Assertion_Counter assertions;
    d.register_module(&bad);
    EXPECT_EQ(Assertion_Counter::count(), 1);
    EXPECT_EQ(d.module_count(), 0u);
}

TEST(Dispatcher_Register, LifeLinesAtLevelTwo) {
    EXPECT_TRUE(logs_at_level(2, " created\n", [] { QREX_Server_Dispatcher d; }));
    EXPECT_TRUE(logs_at_level(2, " destroyed\n", [] { QREX_Server_Dispatcher d; }));
    EXPECT_TRUE(logs_at_level(2, ") id = 106, count = 3\n",
                              [] { QREX_Server_Dispatcher d(&test_module); }));
}

TEST(Dispatcher_Names, LookupFallsBackForEveryUnknownPart) {
    QREX_Server_Dispatcher d(&test_module);
    EXPECT_STREQ(d.member_name(ADD_CALL, "<UNKNOWN_MEMBER>"), "Add");
    EXPECT_STREQ(d.member_name(NOTIFY_CALL, "<UNKNOWN_MEMBER>"), "Notify");
    EXPECT_STREQ(d.member_name(qrex_make_call_id(7, 1, 0, 1), "fb"), "fb");
    EXPECT_STREQ(d.member_name(qrex_make_call_id(TEST_MODULE, 0, 0, 1), "fb"), "fb");
    EXPECT_STREQ(d.member_name(qrex_make_call_id(TEST_MODULE, 9, 0, 1), "fb"), "fb");
    EXPECT_STREQ(d.member_name(qrex_make_call_id(TEST_MODULE, 1, 0, 6), "fb"), "fb");
    EXPECT_STREQ(d.member_name(BAD_REPLY_CALL, "fb"), "fb"); // no name
}

// ---------------------------------------------------------------- good calls

TEST(Dispatcher_Calls, TwoWayCallIsAnsweredWithItsXid) {
    Served s(request(3, REQUEST_WITH_HASH, ADD_CALL, TEST_HASH, words({40, 2})));
    s.dispatch();
    EXPECT_EQ(s.adapter.output, words({0x80000010u, 3, 1, 0, 42}));
}

TEST(Dispatcher_Calls, OneWayCallIsNotAnswered) {
    Served s(request(1, REQUEST_WITH_HASH, NOTIFY_CALL, TEST_HASH, words({77})));
    s.dispatch();
    EXPECT_TRUE(s.adapter.output.empty());
    ASSERT_NE(Test_Servant::last(), nullptr);
    EXPECT_EQ(Test_Servant::last()->notified, std::vector<qrex_uint32_t>{77});
}

TEST(Dispatcher_Calls, ServantIsCreatedOnceAndReleasedOnce) {
    const int created = Test_Servant::created();
    const int released = Test_Servant::released();
    {
        Served s(cat({request(1, REQUEST_WITH_HASH, ECHO_CALL, TEST_HASH, echo_args("hi")),
                      request(2, REQUEST_WITH_HASH, ADD_CALL, TEST_HASH, words({1, 2}))}));
        EXPECT_EQ(s.dispatcher.servant(TEST_MODULE, 1), nullptr);
        s.dispatch();
        QREX_Servant* first = s.dispatcher.servant(TEST_MODULE, 1);
        EXPECT_NE(first, nullptr);
        s.dispatch();
        EXPECT_EQ(s.dispatcher.servant(TEST_MODULE, 1), first);
        EXPECT_EQ(static_cast<Test_Servant*>(first)->calls.load(), 2);
        EXPECT_EQ(Test_Servant::created() - created, 1);
        EXPECT_EQ(Test_Servant::released() - released, 0);
    }
    EXPECT_EQ(Test_Servant::released() - released, 1);
}

TEST(Dispatcher_Calls, PlainRequestSkipsTheHashCheck) {
    Served s(cat({request(1, REQUEST_WITH_HASH, ADD_CALL, 0xBAD, words({1, 1})),
                  request(2, REQUEST, ADD_CALL, 0, words({1, 1}))}));
    s.dispatch();
    s.dispatch();
    EXPECT_EQ(s.adapter.output, cat({reply(1, INVALID_HASH), reply(2, SUCCESS, words({2}))}));
}

TEST(Dispatcher_Calls, RequestWithTimestampReportsTheDelay) {
    static ORTU_UINT32 now = 1500;
    auto previous = ORTU_OS::set_tick_source([]() -> ORTU_UINT32 { return now; });
    Bytes req = record(cat({words({1, REQUEST_WITH_TS, ADD_CALL, 0xBAD, 1000}), words({2, 3})}));
    Served s(
        cat({req, record(cat({words({2, REQUEST_WITH_TS, ADD_CALL, 0, 1600}), words({2, 3})}))}));
    qrex_uint32_t delay = 12345;
    s.dispatch(&delay);
    EXPECT_EQ(delay, 500u);
    s.dispatch(&delay); // sent "after" now: left as it was
    EXPECT_EQ(delay, 500u);
    ORTU_OS::set_tick_source(previous);
    // Timestamped requests are not hash-checked either.
    EXPECT_EQ(s.adapter.output,
              cat({reply(1, SUCCESS, words({5})), reply(2, SUCCESS, words({5}))}));
}

TEST(Dispatcher_Calls, RequestsArriveInAnySplits) {
    Bytes input;
    for (qrex_uint32_t i = 1; i <= 50; ++i) {
        const Bytes r = request(i, REQUEST_WITH_HASH, ADD_CALL, TEST_HASH, words({i, i}));
        input.insert(input.end(), r.begin(), r.end());
    }
    Served s(input, Memory_Adapter::one_byte);
    Bytes expected;
    for (qrex_uint32_t i = 1; i <= 50; ++i) {
        s.dispatch();
        const Bytes r = reply(i, SUCCESS, words({2 * i}));
        expected.insert(expected.end(), r.begin(), r.end());
    }
    EXPECT_EQ(s.adapter.output, expected);
}

TEST(Dispatcher_Calls, UnreadArgumentsAreDroppedBeforeTheNextRequest) {
    Served s(cat({request(1, REQUEST_WITH_HASH, ADD_CALL, TEST_HASH, words({1, 2, 99, 98, 97})),
                  request(2, REQUEST_WITH_HASH, ADD_CALL, TEST_HASH, words({5, 5}))}));
    s.dispatch();
    s.dispatch();
    EXPECT_EQ(s.adapter.output,
              cat({reply(1, SUCCESS, words({3})), reply(2, SUCCESS, words({10}))}));
}

TEST(Dispatcher_Calls, TraceLines) {
    Bytes req = request(0x21, REQUEST_WITH_HASH, ADD_CALL, TEST_HASH, words({1, 2}));
    EXPECT_TRUE(logs_at_level(2, ", IPC_Test::Tester::Add()\n", [&] {
        Served s(req);
        s.dispatch();
    }));
    EXPECT_TRUE(logs_at_level(2, " created for mod_id = 106, if_id = 1 (IPC_Test::Tester)\n", [&] {
        Served s(req);
        s.dispatch();
    }));
    EXPECT_TRUE(
        logs_at_level(3, ", xid = 0x21, mod_id = 106, if_id = 1, m_id = 3, flags = 0x0\n", [&] {
            Served s(req);
            s.dispatch();
        }));
    EXPECT_TRUE(logs_at_level(3, ") enter\n", [&] {
        Served s(req);
        s.dispatch();
    }));
    EXPECT_TRUE(logs_at_level(3, ") exit\n", [&] {
        Served s(req);
        s.dispatch();
    }));
}

// ---------------------------------------------------------------- checks in order

TEST(Dispatcher_Checks, UnknownModule) {
    const qrex_uint32_t call = qrex_make_call_id(7, 1, 0, 1);
    EXPECT_TRUE(logs_at_level(0, " invalid module 7, call_id = 0x7010001\n", [&] {
        Served s(request(9, REQUEST_WITH_HASH, call, TEST_HASH, {}));
        s.dispatch();
        EXPECT_EQ(s.adapter.output, reply(9, INVALID_MODULE));
    }));
    Served one_way(request(9, REQUEST_WITH_HASH, call | QREX_CALL_ONEWAY, TEST_HASH, {}));
    one_way.dispatch();
    EXPECT_TRUE(one_way.adapter.output.empty());
}

TEST(Dispatcher_Checks, ModuleIdAboveTheTable) {
    Served s(request(9, REQUEST, qrex_make_call_id(200, 1, 0, 1), 0, {}));
    s.dispatch();
    EXPECT_EQ(s.adapter.output, reply(9, INVALID_MODULE));
}

TEST(Dispatcher_Checks, UnusedAndUnknownInterfaces) {
    EXPECT_TRUE(logs_at_level(0, " invalid interface 0, call_id = 0x6a000001 (IPC_Test)\n", [] {
        Served s(
            request(1, REQUEST_WITH_HASH, qrex_make_call_id(TEST_MODULE, 0, 0, 1), TEST_HASH, {}));
        s.dispatch();
        EXPECT_EQ(s.adapter.output, reply(1, INVALID_INTERFACE));
    }));
    Served s(request(2, REQUEST_WITH_HASH, qrex_make_call_id(TEST_MODULE, 3, 0, 1), TEST_HASH, {}));
    s.dispatch();
    EXPECT_EQ(s.adapter.output, reply(2, INVALID_INTERFACE));
    Served quiet(
        request(2, REQUEST_WITH_HASH, qrex_make_call_id(TEST_MODULE, 3, 1, 1), TEST_HASH, {}));
    quiet.dispatch();
    EXPECT_TRUE(quiet.adapter.output.empty());
}

TEST(Dispatcher_Checks, HashIsCheckedBeforeTheMember) {
    const int created = Test_Servant::created();
    EXPECT_TRUE(logs_at_level(
        0,
        " invalid hash 0xf334d2fd, expected 0xf334d2fc, call_id = 0x6a010009 (IPC_Test::Tester)\n",
        [] {
            Served s(request(4, REQUEST_WITH_HASH, qrex_make_call_id(TEST_MODULE, 1, 0, 9),
                             TEST_HASH ^ 1, {}));
            s.dispatch();
            EXPECT_EQ(s.adapter.output, reply(4, INVALID_HASH));
        }));
    // Any differing bit, and no servant is made for it.
    for (int bit = 0; bit < 32; bit += 7) {
        Served s(request(5, REQUEST_WITH_HASH, ECHO_CALL, TEST_HASH ^ (1u << bit), echo_args("x")));
        s.dispatch();
        EXPECT_EQ(s.adapter.output, reply(5, INVALID_HASH));
    }
    EXPECT_EQ(Test_Servant::created(), created);
}

TEST(Dispatcher_Checks, MemberWithoutStubOrBeyondTheTable) {
    EXPECT_TRUE(
        logs_at_level(0, " invalid member 0, call_id = 0x6a010000 (IPC_Test::Tester)\n", [] {
            Served s(request(1, REQUEST_WITH_HASH, qrex_make_call_id(TEST_MODULE, 1, 0, 0),
                             TEST_HASH, {}));
            s.dispatch();
            EXPECT_EQ(s.adapter.output, reply(1, INVALID_MEMBER));
        }));
    for (qrex_uint32_t call : {NO_STUB_CALL, qrex_make_call_id(TEST_MODULE, 1, 0, 6),
                               qrex_make_call_id(TEST_MODULE, 1, 0, 255)}) {
        Served s(request(2, REQUEST_WITH_HASH, call, TEST_HASH, {}));
        s.dispatch();
        EXPECT_EQ(s.adapter.output, reply(2, INVALID_MEMBER));
    }
    Served quiet(request(3, REQUEST_WITH_HASH, NO_STUB_CALL | QREX_CALL_ONEWAY, TEST_HASH, {}));
    quiet.dispatch();
    EXPECT_TRUE(quiet.adapter.output.empty());
}

TEST(Dispatcher_Checks, FactoryWithoutServantIsAnInternalError) {
    Served s(request(1, REQUEST_WITH_HASH, EMPTY_SERVANT_CALL, TEST_HASH, echo_args("a")));
    Log_Capture capture;
    try {
        s.dispatch();
        FAIL() << "no error";
    } catch (const QREX_Internal_Error& e) {
        EXPECT_STREQ(e.where(), "QREX_Server_Dispatcher::dispatch_call");
    }
    EXPECT_TRUE(
        Log_Capture::contains(" empty servant for interface 2, call_id = 0x6a020001 (IPC_Test)\n"));
    EXPECT_TRUE(Log_Capture::contains("throw_internal_error(QREX_Server_Dispatcher::dispatch_call: "
                                      "Empty servant for interface)\n"));
    EXPECT_TRUE(s.adapter.output.empty());
}

TEST(Dispatcher_Checks, ReplyWhereARequestBelongsIsALogicalError) {
    Served s(cat({reply(1, SUCCESS, words({1})),
                  request(2, REQUEST_WITH_HASH, ADD_CALL, TEST_HASH, words({1, 1}))}));
    Log_Capture capture;
    try {
        s.dispatch();
        FAIL() << "no error";
    } catch (const QREX_Logical_Error& e) {
        EXPECT_STREQ(e.where(), "QREX_Server_Dispatcher::read_xdr_header");
    }
    EXPECT_TRUE(Log_Capture::contains(", invalid packet type 1 (REPLY), request expected.\n"));
    EXPECT_TRUE(s.adapter.output.empty());
    // The stream is still usable for the next request.
    s.dispatch();
    EXPECT_EQ(s.adapter.output, reply(2, SUCCESS, words({2})));
}

TEST(Dispatcher_Checks, GarbageHeaderIsInvalidUnion) {
    Served s(record(words({1, 77, 0})));
    EXPECT_THROW(s.dispatch(), QREX_XDR_Error);
    EXPECT_TRUE(s.adapter.output.empty());
}

// ---------------------------------------------------------------- bad arguments

TEST(Dispatcher_Arguments, UndecodableArgumentsGetGarbageArg) {
    Served s(
        cat({request(1, REQUEST_WITH_HASH, ECHO_CALL, TEST_HASH, echo_args("seventeen chars!!")),
             request(2, REQUEST_WITH_HASH, ECHO_CALL, TEST_HASH, echo_args("ok"))}));
    EXPECT_TRUE(logs_at_level(0,
                              " xdr error 'invalid_size' in stub, call_id = 0x6a010001 "
                              "(IPC_Test::Tester::Echo)\n",
                              [&] { s.dispatch(); }));
    s.dispatch();
    EXPECT_EQ(s.adapter.output, cat({reply(1, GARBAGE_ARG), reply(2, SUCCESS, echo_args("ok"))}));
}

TEST(Dispatcher_Arguments, TruncatedArgumentsGetGarbageArgAndTheNextRequestIsIntact) {
    // Add needs two words; only one is in the record.
    Served s(cat({request(1, REQUEST_WITH_HASH, ADD_CALL, TEST_HASH, words({1})),
                  request(2, REQUEST_WITH_HASH, ADD_CALL, TEST_HASH, words({3, 4}))}));
    s.dispatch();
    s.dispatch();
    EXPECT_EQ(s.adapter.output, cat({reply(1, GARBAGE_ARG), reply(2, SUCCESS, words({7}))}));
}

TEST(Dispatcher_Arguments, OneWayGarbageIsSilent) {
    Served s(request(1, REQUEST_WITH_HASH, NOTIFY_CALL, TEST_HASH, {}));
    s.dispatch();
    EXPECT_TRUE(s.adapter.output.empty());
}

TEST(Dispatcher_Arguments, ErrorAfterTheReplyBeganLeavesDispatch) {
    Served s(cat({request(1, REQUEST_WITH_HASH, BAD_REPLY_CALL, TEST_HASH, {}),
                  request(2, REQUEST_WITH_HASH, ADD_CALL, TEST_HASH, words({1, 1}))}));
    EXPECT_THROW(s.dispatch(), QREX_XDR_Error);
    // The half-built reply was dropped: the next one is well framed.
    s.dispatch();
    EXPECT_EQ(s.adapter.output, reply(2, SUCCESS, words({2})));
}

TEST(Dispatcher_Arguments, RecordCutShortIsNotActedOn) {
    // The arguments decode completely, but the record promised four more
    // bytes and the peer went away: neither the one-way nor the two-way
    // member runs, and nothing is answered.
    for (qrex_uint32_t call : {NOTIFY_CALL, ADD_CALL}) {
        const Bytes whole = request(1, REQUEST_WITH_HASH, call, TEST_HASH, words({7, 8}));
        Bytes cut = whole;
        cut[3] += 4; // the header claims more than follows
        Served s(cut);
        EXPECT_THROW(s.dispatch(), QREX_Communication_Error);
        EXPECT_TRUE(s.adapter.output.empty());
        // This dispatcher's own servant, made for the call and never called.
        ASSERT_NE(Test_Servant::last(), nullptr);
        EXPECT_EQ(Test_Servant::last()->calls.load(), 0);
    }
}

TEST(Dispatcher_Arguments, CommunicationErrorsPassThrough) {
    // A 20-byte record announced, the peer gone after its first word.
    Served s(Bytes{0x80, 0x00, 0x00, 0x14, 0, 0, 0, 1});
    EXPECT_THROW(s.dispatch(), QREX_Communication_Error);
}

TEST(Dispatcher_Calls, SecondFormHandlesAHeaderReadByTheCaller) {
    // Only the arguments are on the stream; the header was read elsewhere.
    Served s(record(words({20, 22})));
    qrex_header& h = s.dispatcher.request_header();
    h.xid = 0x55;
    h.msg_type = REQUEST_WITH_HASH;
    h.call_id = ADD_CALL;
    h.hash = TEST_HASH;
    s.dispatcher.dispatch_call(&s.stream);
    EXPECT_EQ(s.adapter.output, reply(0x55, SUCCESS, words({42})));
}
