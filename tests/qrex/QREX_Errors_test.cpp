#include "QREX_Errors.h"
#include "qrex_test_support.h"

#include <cstring>
#include <functional>

using namespace qrex_test;

namespace {

// Runs a thrower and returns what it raised, caught as the base class.
template <typename F> std::string raised_kind(F f, const char** where = nullptr) {
    try {
        f();
    } catch (const QREX_Error& e) {
        if (where)
            *where = e.where();
        return e.what();
    }
    return "nothing";
}

} // namespace

TEST(QREX_Errors_Classes, KindTextsAndWhere) {
    EXPECT_STREQ(QREX_Out_Of_Memory("w").what(), "out_of_memory");
    EXPECT_STREQ(QREX_Communication_Error("w").what(), "communication_error");
    EXPECT_STREQ(QREX_Logical_Error("w").what(), "logical_error");
    EXPECT_STREQ(QREX_Internal_Error("w").what(), "internal_error");
    const QREX_Selector_Error s("QREX_TCP_Client_Connection::call", 4);
    EXPECT_STREQ(s.what(), "selector_error");
    EXPECT_STREQ(s.where(), "QREX_TCP_Client_Connection::call");
    EXPECT_EQ(s.status(), 4);
}

TEST(QREX_Errors_Classes, WhereIsTheCallersTextNotACopy) {
    static const char where[] = "static where";
    EXPECT_EQ(QREX_Logical_Error(where).where(), where);
}

TEST(QREX_Errors_Classes, CaughtAsRuntimeExceptionStillNamesItsKind) {
    try {
        throw QREX_XDR_Error("invalid_union", "qrex_header");
    } catch (const ORTU_Exception& e) {
        EXPECT_STREQ(e.what(), "invalid_union");
    }
}

TEST(QREX_Errors_Throwers, EachRaisesItsClassAndKind) {
    const char* where = nullptr;
    EXPECT_EQ(raised_kind([] { throw_out_of_memory("a", 10); }, &where), "out_of_memory");
    EXPECT_STREQ(where, "a");
    EXPECT_THROW(throw_out_of_memory("a", 1), QREX_Out_Of_Memory);
    EXPECT_THROW(throw_comm_error("b", 5), QREX_Communication_Error);
    EXPECT_THROW(throw_invalid_union("c", 1), QREX_XDR_Error);
    EXPECT_EQ(raised_kind([] { throw_invalid_size("d", 5, 4); }), "invalid_size");
    EXPECT_EQ(raised_kind([] { throw_stream_underflow("e", 5, 4); }), "no_more_data");
    EXPECT_EQ(raised_kind([] { throw_stream_overflow("f", 5, 4); }), "stream overflow");
    EXPECT_THROW(throw_stream_overflow("f", 5, 4), QREX_XDR_Error);
    EXPECT_THROW(throw_logical_error("g", "t"), QREX_Logical_Error);
    EXPECT_EQ(raised_kind([] { throw_internal_error("h", "t"); }, &where), "internal_error");
    EXPECT_STREQ(where, "h");
    try {
        throw_selector_error("QREX_TCP_Client_Connection::call", "QREX reply error: Invalid hash",
                             4);
    } catch (const QREX_Selector_Error& e) {
        EXPECT_STREQ(e.what(), "selector_error");
        EXPECT_EQ(e.status(), 4);
    }
}

TEST(QREX_Errors_Throwers, LogLinesAtLevelZero) {
    struct Case {
        std::function<void()> thrower;
        std::string line;
    };
    const Case cases[] = {
        {[] { throw_out_of_memory("w1", 123); }, "throw_out_of_memory(w1, 123)\n"},
        {[] { throw_invalid_union("w2", -7); }, "throw_invalid_union(w2, -7)\n"},
        {[] { throw_invalid_size("w3", 5, 4); }, "throw_invalid_size(w3, 5/4)\n"},
        {[] { throw_stream_underflow("w4", 8, 3); }, "throw_stream_underflow(w4): 8/3\n"},
        {[] { throw_stream_overflow("w5", 9, 2); }, "throw_stream_overflow(w5): 9/2\n"},
        {[] { throw_logical_error("w6", "bad type"); }, "throw_logical_error(w6: bad type)\n"},
        {[] { throw_internal_error("w7", "no servant"); },
         "throw_internal_error(w7: no servant)\n"},
        {[] { throw_selector_error("w8", "QREX reply error: Invalid member", 3); },
         "throw_selector_error(w8: QREX reply error: Invalid member, 3)\n"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(logs_at_level(0, c.line, [&] { EXPECT_THROW(c.thrower(), QREX_Error); }));
    }
}

TEST(QREX_Errors_Throwers, CommErrorLevelFollowsTheSignOfTheCode) {
    const std::string reset =
        std::string("throw_comm_error(w, 10054, ") + std::strerror(10054) + ")\n";
    EXPECT_TRUE(logs_at_level(
        2, reset, [] { EXPECT_THROW(throw_comm_error("w", -10054), QREX_Communication_Error); }));
    const std::string notconn =
        std::string("throw_comm_error(w, 10057, ") + std::strerror(10057) + ")\n";
    EXPECT_TRUE(logs_at_level(
        0, notconn, [] { EXPECT_THROW(throw_comm_error("w", 10057), QREX_Communication_Error); }));
    const std::string pipe = std::string("throw_comm_error(w, 32, ") + std::strerror(32) + ")\n";
    EXPECT_TRUE(
        logs_at_level(0, pipe, [] { EXPECT_THROW(throw_comm_error("w", 32), QREX_Error); }));
}

TEST(QREX_Errors_Throwers, BigSizesAreNotCut) {
    EXPECT_TRUE(logs_at_level(0, "throw_invalid_size(x, 4294967295/4294967294)\n", [] {
        EXPECT_THROW(throw_invalid_size("x", 0xFFFFFFFFu, 0xFFFFFFFEu), QREX_XDR_Error);
    }));
}
