#include "QREX_Header.h"
#include "QREX_TCP_Stream.h"
#include "qrex_test_support.h"

using namespace qrex_test;

namespace {

Bytes wire_of(XDR_function codec, qrex_header h, qrex_uint32_t argument) {
    Memory_Adapter adapter;
    QREX_TCP_Stream stream(&adapter);
    codec(stream.output(), &h);
    stream.put_int32(argument);
    stream.end_record();
    return adapter.output;
}

qrex_header read_header(XDR_function codec, const Bytes& payload) {
    Memory_Adapter adapter(record(payload));
    QREX_TCP_Stream stream(&adapter);
    qrex_header h{};
    codec(stream.input(), &h);
    return h;
}

} // namespace

TEST(QREX_Header_Codec, TwoWayRequestIsTwentyBytesInOneFragment) {
    qrex_header h{};
    h.xid = 3;
    h.msg_type = REQUEST_WITH_HASH;
    h.call_id = qrex_make_call_id(0x6A, 1, 0, 1);
    h.hash = 0xF334D2FC;
    EXPECT_EQ(wire_of(xdr_qrex_header, h, 0xCAFEBABE),
              words({0x80000014u, 3, 2, 0x6A010001u, 0xF334D2FCu, 0xCAFEBABEu}));
}

TEST(QREX_Header_Codec, SuccessReplyIsSixteenBytes) {
    qrex_header h{};
    h.xid = 3;
    h.msg_type = REPLY;
    h.reply_status = SUCCESS;
    h.hash = 0x11111111; // not part of a reply
    EXPECT_EQ(wire_of(xdr_qrex_header, h, 0x12345678u), words({0x80000010u, 3, 1, 0, 0x12345678u}));
}

TEST(QREX_Header_Codec, PlainRequestCarriesNoHash) {
    qrex_header h{};
    h.xid = 9;
    h.msg_type = REQUEST;
    h.call_id = 0x01020304;
    h.hash = 0xDEADBEEF;
    EXPECT_EQ(unframe(wire_of(xdr_qrex_header, h, 0)), words({9, 0, 0x01020304, 0}));
}

TEST(QREX_Header_Codec, TimestampTravelsOnlyInTheExtendedForm) {
    qrex_header h{};
    h.xid = 1;
    h.msg_type = REQUEST_WITH_TS;
    h.call_id = 0x6A010001;
    h.hash = 5;
    h.ts = 777;
    EXPECT_EQ(unframe(wire_of(xdr_qrex_header, h, 0)), words({1, 3, 0x6A010001, 5, 0}));
    EXPECT_EQ(unframe(wire_of(xdr_qrex_header_ext, h, 0)), words({1, 3, 0x6A010001, 5, 777, 0}));
    const qrex_header back = read_header(xdr_qrex_header_ext, words({1, 3, 0x6A010001, 5, 777}));
    EXPECT_EQ(back.ts, 777u);
    EXPECT_EQ(back.hash, 5u);
    // The extended form of other types is the basic form.
    h.msg_type = REQUEST_WITH_HASH;
    EXPECT_EQ(unframe(wire_of(xdr_qrex_header_ext, h, 0)), words({1, 2, 0x6A010001, 5, 0}));
}

TEST(QREX_Header_Codec, DecodesEachKind) {
    const qrex_header req = read_header(xdr_qrex_header, words({0x10, 2, 0x6A010101, 0xF334D2FC}));
    EXPECT_EQ(req.xid, 0x10u);
    EXPECT_EQ(req.msg_type, REQUEST_WITH_HASH);
    EXPECT_EQ(qrex_call_mod_id(req.call_id), 0x6Au);
    EXPECT_EQ(qrex_call_if_id(req.call_id), 1u);
    EXPECT_EQ(qrex_call_flags(req.call_id), 1u);
    EXPECT_EQ(qrex_call_m_id(req.call_id), 1u);
    EXPECT_EQ(req.hash, 0xF334D2FCu);
    const qrex_header rep = read_header(xdr_qrex_header, words({0x10, 1, 5}));
    EXPECT_EQ(rep.reply_status, GARBAGE_ARG);
}

TEST(QREX_Header_Codec, UnknownMessageTypeIsInvalidUnion) {
    try {
        read_header(xdr_qrex_header, words({1, 9, 0, 0}));
        FAIL() << "no error";
    } catch (const QREX_XDR_Error& e) {
        EXPECT_STREQ(e.what(), "invalid_union");
        EXPECT_STREQ(e.where(), "qrex_header");
    }
    EXPECT_TRUE(logs_at_level(0, "throw_invalid_union(qrex_header, -1)\n", [] {
        EXPECT_THROW(read_header(xdr_qrex_header_ext, words({1, 0xFFFFFFFFu})), QREX_XDR_Error);
    }));
}

TEST(QREX_Header_Names, KnownAndUnknownValues) {
    EXPECT_STREQ(qrex_msg_type_name(0), "REQUEST");
    EXPECT_STREQ(qrex_msg_type_name(1), "REPLY");
    EXPECT_STREQ(qrex_msg_type_name(2), "REQUEST_WITH_HASH");
    EXPECT_STREQ(qrex_msg_type_name(3), "REQUEST_WITH_TS");
    EXPECT_STREQ(qrex_msg_type_name(4), "<Unknown:msg_type>");
    EXPECT_STREQ(qrex_msg_type_name(-1), "<Unknown:msg_type>");
    const char* statuses[] = {"SUCCESS",        "INVALID_MODULE", "INVALID_INTERFACE",
                              "INVALID_MEMBER", "INVALID_HASH",   "GARBAGE_ARG"};
    for (int i = 0; i < 6; ++i)
        EXPECT_STREQ(qrex_reply_status_name(i), statuses[i]);
    EXPECT_STREQ(qrex_reply_status_name(6), "<Unknown:reply_status>");
    EXPECT_STREQ(qrex_reply_status_name(-5), "<Unknown:reply_status>");
}

TEST(QREX_Header_Layout, FiveWordsWithASharedThirdWord) {
    EXPECT_EQ(sizeof(qrex_header), 20u);
    qrex_header h{};
    h.call_id = 0xFFFFFFFFu;
    EXPECT_EQ(h.reply_status, -1);
    EXPECT_EQ(qrex_make_call_id(0x69, 1, 1, 3), 0x69010103u);
}
