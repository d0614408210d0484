#include "IPC_DA_Types.h"
#include "QREX_Memory.h"
#include "vqlink_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace vqlink_test;
using namespace IPC_DA_DBServer;
using namespace IPC_DA_DBClient;

namespace {

template <class T> T zeroed() {
    T value;
    std::memset(static_cast<void*>(&value), 0, sizeof(value));
    return value;
}

} // namespace

TEST(Record_Encoding, EmptySelectResult) {
    TSelectResult r = zeroed<TSelectResult>();
    r.id = 7;
    r.error.msg = const_cast<char*>("");
    EXPECT_EQ(encode(&r, xdr_TSelectResult), words({7, 0, 0, 0, 0, 0}));
}

TEST(Record_Encoding, DownloadBytesTakeOneWordEach) {
    std::uint8_t bytes[] = {1, 2, 3};
    TDownloadProcess r = zeroed<TDownloadProcess>();
    r.id = 9;
    r.recId = 0x10;
    r.data.data_len = 3;
    r.data.data_val = bytes;
    EXPECT_EQ(encode(&r, xdr_TDownloadProcess), words({9, 0x10, 3, 1, 2, 3, 0, 0, 0}));
}

TEST(Record_Encoding, InitializePortIsOneWordAfterTheAddress) {
    TInitialize r{0x7F000001, 80};
    EXPECT_EQ(sizeof(r), 6u);
    const Bytes wire = encode(&r, xdr_TInitialize);
    EXPECT_EQ(wire.size(), 8u);
    EXPECT_EQ(wire, words({0x7F000001, 80}));
}

TEST(Record_Encoding, VerifyResponseIsCountedText) {
    TVerifyRsp r;
    std::memset(r.digest, 0, sizeof(r.digest));
    std::memcpy(r.digest, "0123456789abcdef0123456789abcdef01234567", 40);
    EXPECT_EQ(encode(&r, xdr_TVerifyRsp),
              cat({words({40}), padded("0123456789abcdef0123456789abcdef01234567")}));
}

TEST(Record_Encoding, SearchTextFieldOrder) {
    std::uint32_t recs[] = {4, 5};
    TSearchString strings[] = {{const_cast<char*>("ab")}, {nullptr}};
    TSearchText r = zeroed<TSearchText>();
    r.id = 3;
    r.recs.recs_len = 2;
    r.recs.recs_val = recs;
    r.criteria.mode = smAnyOf;
    r.criteria.strings.strings_len = 2;
    r.criteria.strings.strings_val = strings;
    EXPECT_EQ(encode(&r, xdr_TSearchText),
              cat({words({3, 2, 4, 5, 1, 2, 2}), padded("ab"), words({0})}));
}

TEST(Record_Encoding, TokenLongerThan32IsRefused) {
    std::string token(33, 't');
    TVerifyReq r{token.data()};
    EXPECT_THROW(encode(&r, xdr_TVerifyReq), QREX_XDR_Error);
    token.resize(32);
    TVerifyReq ok{token.data()};
    EXPECT_NO_THROW(encode(&ok, xdr_TVerifyReq));
}

TEST(Record_Decoding, UserRecordRoundTrip) {
    t_da_user_descr users[] = {
        {{1, 2},
         {3, 4},
         const_cast<char*>("ann"),
         const_cast<char*>("sales"),
         const_cast<char*>("100"),
         const_cast<char*>("Ann")},
        {{5, -6},
         {7, 8},
         nullptr,
         const_cast<char*>(""),
         const_cast<char*>("+49"),
         const_cast<char*>("Bob")},
    };
    t_da_record_descr r = zeroed<t_da_record_descr>();
    r.type = DAT_CALLREC;
    r.timestamp = 1700000000;
    r.src = users[0];
    r.dest.dest_len = 2;
    r.dest.dest_val = users;
    r.recording.gcid.id = -5;
    r.recording.duration = 61;
    r.recording.format = DAFF_FAX_PDF;

    t_da_record_descr back = zeroed<t_da_record_descr>();
    decode(encode(&r, xdr_t_da_record_descr), &back, xdr_t_da_record_descr);
    EXPECT_EQ(V(back.type), DAT_CALLREC);
    EXPECT_EQ(V(back.timestamp), 1700000000);
    EXPECT_STREQ(V(back.src.groupname), "sales");
    ASSERT_EQ(V(back.dest.dest_len), 2u);
    EXPECT_EQ(V(back.dest.dest_val[1].id.dbID), -6);
    EXPECT_STREQ(V(back.dest.dest_val[1].name), ""); // null went out as ""
    EXPECT_STREQ(V(back.dest.dest_val[1].display), "Bob");
    EXPECT_EQ(V(back.recording.gcid.id), -5);
    EXPECT_EQ(V(back.recording.format), DAFF_FAX_PDF);
    t_da_record_descr_Free(&back);
    EXPECT_EQ(V(back.dest.dest_val), nullptr);
    EXPECT_EQ(V(back.src.name), nullptr);
    EXPECT_EQ(V(back.dest.dest_len), 2u); // counts keep their values
}

TEST(Record_Decoding, MoreThan32RowsAreRefused) {
    Bytes wire = words({1, 33});
    TSelectResult r = zeroed<TSelectResult>();
    EXPECT_THROW(decode(wire, &r, xdr_TSelectResult), QREX_XDR_Error);
    IPC_DA_DBClient::TSelectResult_Free(&r);
}

TEST(Record_Decoding, HalfDecodedRecordIsReleasedSafely) {
    // Two rows announced, the first complete, the second cut short.
    Bytes wire = cat({words({1, 2, 1, 1}), padded("c"), words({1}), padded("v"), words({1, 5})});
    TSelectResult r = zeroed<TSelectResult>();
    EXPECT_THROW(decode(wire, &r, xdr_TSelectResult), QREX_Error);
    ASSERT_NE(V(r.rows.rows_val), nullptr);
    EXPECT_STREQ(V(r.rows.rows_val[0].cols.cols_val[0].value), "v");
    IPC_DA_DBClient::TSelectResult_Free(&r);
    EXPECT_EQ(V(r.rows.rows_val), nullptr);
}

TEST(Release_Functions, StatusFreeTwiceAndOnNull) {
    TStatus empty{stBusy, nullptr};
    IPC_DA_DBServer::TStatus_Free(&empty);
    EXPECT_EQ(V(empty.message), nullptr);

    TStatus r{stReady, nullptr};
    decode(cat({words({1, 5}), padded("hello")}), &r, xdr_TStatus);
    EXPECT_STREQ(V(r.message), "hello");
    IPC_DA_DBServer::TStatus_Free(&r);
    EXPECT_EQ(V(r.message), nullptr);
    EXPECT_EQ(V(r.state), stReady);
    IPC_DA_DBServer::TStatus_Free(&r);
    EXPECT_EQ(V(r.message), nullptr);
}

TEST(Release_Functions, FreeCloneReleasesTheRecordItself) {
    // The sanitizer build proves that record and contents both go back.
    auto* r = static_cast<TDownloadProcess*>(qrex_malloc(sizeof(TDownloadProcess)));
    std::memset(static_cast<void*>(r), 0, sizeof(*r));
    decode(words({1, 2, 2, 7, 8, 0, 0, 0}), r, xdr_TDownloadProcess);
    ASSERT_EQ(V(r->data.data_len), 2u);
    EXPECT_EQ(V(r->data.data_val[1]), 8);
    EXPECT_STREQ(V(r->error.msg), "");
    IPC_DA_DBClient::TDownloadProcess_Free_Clone(r);

    auto* s = static_cast<TSQLExecute*>(qrex_malloc(sizeof(TSQLExecute)));
    s->id = 1;
    s->statement = qrex_strdup("select 1");
    IPC_DA_DBServer::TSQLExecute_Free_Clone(s);
    IPC_DA_DBServer::TSQLExecute_Free_Clone(nullptr);
}

TEST(Release_Functions, TypesThatOwnNothingAreUntouched) {
    TInitialize init{1, 2};
    IPC_DA_DBServer::TInitialize_Free(&init);
    EXPECT_EQ(V(init.clientIp), 1u);
    EXPECT_EQ(V(init.clientPort), 2u);
    TVerifyRsp rsp;
    std::memcpy(rsp.digest, "abc", 4);
    IPC_DA_DBClient::TVerifyRsp_Free(&rsp);
    EXPECT_STREQ(rsp.digest, "abc");
}

TEST(Name_Functions, KnownAndUnknownValues) {
    EXPECT_STREQ(__E2S_TDAErrorCode(deUnknown), "deUnknown");
    EXPECT_STREQ(__E2S_TDAErrorCode(deCancelled), "deCancelled");
    EXPECT_STREQ(__E2S_TDAErrorCode(static_cast<TDAErrorCode>(6)), "<Unknown:TDAErrorCode>");
    EXPECT_STREQ(__E2S_t_da_type(DAT_TOTAL), "DAT_TOTAL");
    EXPECT_STREQ(__E2S_t_da_type(static_cast<t_da_type>(-1)), "<Unknown:t_da_type>");
    EXPECT_STREQ(__E2S_t_da_file_format(DAFF_FAX_PDF), "DAFF_FAX_PDF");
    EXPECT_STREQ(__E2S_t_da_file_format(static_cast<t_da_file_format>(2)),
                 "<Unknown:t_da_file_format>");
    EXPECT_STREQ(IPC_DA_DBServer::__E2S_State(stFailed), "stFailed");
    EXPECT_STREQ(IPC_DA_DBServer::__E2S_State(static_cast<State>(3)), "<Unknown:State>");
    EXPECT_STREQ(IPC_DA_DBServer::__E2S_Operation(opSearchText), "opSearchText");
    EXPECT_STREQ(IPC_DA_DBServer::__E2S_Operation(static_cast<Operation>(4)),
                 "<Unknown:Operation>");
    EXPECT_STREQ(IPC_DA_DBServer::__E2S_SearchMode(smAllOf), "smAllOf");
    EXPECT_STREQ(IPC_DA_DBServer::__E2S_SearchMode(static_cast<SearchMode>(2)),
                 "<Unknown:SearchMode>");
}
