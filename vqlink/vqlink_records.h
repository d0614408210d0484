// The archive protocol's records and enumerations as they cross the
// library's interface: packed, fields in wire order, so that a host built
// with another compiler sees the very same layout.
//
// An array field is two fields, an unsigned 32-bit count (<name>_len)
// followed by a pointer to that many consecutive elements (<name>_val, null
// when the count is 0 and nothing was allocated).
//
// Part of the public interface: needs nothing but the C++ standard headers.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(VQLINK_BUILDING)
#define VQLINK_API __attribute__((visibility("default")))
#else
#define VQLINK_API
#endif

// The release and name functions live in their type's namespace but are
// exported under the qualified name itself, so that a host can find them by
// that literal text. GCC hands the label to the assembler, which needs the
// quotes; clang takes it as the symbol's name as it stands.
#if defined(__clang__)
#define VQLINK_SYMBOL(text) __asm__(text)
#else
#define VQLINK_SYMBOL(text) __asm__("\"" text "\"")
#endif

#pragma pack(push, 1)

enum TDAErrorCode : std::int32_t {
    deUnknown = -1,
    deSuccess = 0,
    deNotReady = 1,
    deSQLError = 2,
    deDBFailed = 3,
    deReadFailed = 4,
    deCancelled = 5,
};

enum t_da_type : std::int32_t {
    DAT_IM = 0,
    DAT_RESERVED = 1,
    DAT_CALLREC = 2,
    DAT_VM = 3,
    DAT_FAX = 4,
    DAT_CAD = 5,
    DAT_WEBCHAT = 6,
    DAT_TOTAL = 7,
};

enum t_da_file_format : std::int32_t {
    DAFF_DEFAULT = 0,
    DAFF_FAX_PDF = 1,
};

struct TDAError {
    TDAErrorCode error;
    std::int32_t extra;
    char* msg;
};

struct TGCallID {
    std::int64_t id;
};

struct DB_ID {
    std::uint32_t boxID;
    std::int32_t dbID;
};

struct DB_ID_List {
    struct {
        std::uint32_t elem_len;
        DB_ID* elem_val;
    } elem;
};

struct TStamp {
    std::uint32_t vx;
    std::uint32_t vminor;
};

struct t_da_record_id {
    t_da_type type;
    char* name;
};

struct t_da_user_descr {
    DB_ID id;
    DB_ID group;
    char* name;
    char* groupname;
    char* phone;
    char* display;
};

struct t_da_callrec_descr {
    TGCallID gcid;
    std::int32_t duration;
    t_da_file_format format;
};

struct t_da_record_descr {
    t_da_type type;
    std::int32_t timestamp;
    t_da_user_descr src;
    struct {
        std::uint32_t dest_len;
        t_da_user_descr* dest_val;
    } dest;
    t_da_callrec_descr recording;
};

struct t_status_item {
    char* vq_url;
    char* message;
};

struct t_status {
    struct {
        std::uint32_t items_len;
        t_status_item* items_val;
    } items;
};

namespace IPC_DA_DBServer {

enum State : std::int32_t {
    stBusy = 0,
    stReady = 1,
    stFailed = 2,
};

enum Operation : std::int32_t {
    opSQLExecute = 0,
    opDelete = 1,
    opDownload = 2,
    opSearchText = 3,
};

enum SearchMode : std::int32_t {
    smAllOf = 0,
    smAnyOf = 1,
};

struct TInitialize {
    std::uint32_t clientIp; // host byte order
    std::uint16_t clientPort;
};

struct TInitializeResult {
    bool passwordValid;
    char* error; // empty on success
};

struct TStatus {
    State state;
    char* message;
};

struct TSQLExecute {
    std::uint32_t id;
    char* statement;
};

struct TDelete {
    std::uint32_t id;
    struct {
        std::uint32_t recs_len;
        std::uint32_t* recs_val;
    } recs;
};

struct TDownload {
    std::uint32_t id;
    struct {
        std::uint32_t recs_len;
        std::uint32_t* recs_val;
    } recs;
};

struct TSearchString {
    char* value;
};

struct TSearchCriteria {
    SearchMode mode;
    struct {
        std::uint32_t strings_len;
        TSearchString* strings_val;
    } strings;
};

struct TSearchText {
    std::uint32_t id;
    struct {
        std::uint32_t recs_len;
        std::uint32_t* recs_val;
    } recs;
    TSearchCriteria criteria;
};

struct TCancelOperation {
    Operation operation;
    std::uint32_t id;
};

} // namespace IPC_DA_DBServer

namespace IPC_DA_DBClient {

struct TVerifyReq {
    char* token; // at most 32 characters
};

struct TVerifyRsp {
    char digest[41];
};

struct TValueItem {
    char* name;
    char* value;
};

struct TSelectRow {
    struct {
        std::uint32_t cols_len;
        TValueItem* cols_val;
    } cols;
};

struct TSelectResult {
    std::uint32_t id;
    struct {
        std::uint32_t rows_len;
        TSelectRow* rows_val;
    } rows;
    bool hasMore;
    TDAError error;
};

struct TDeleteComplete {
    std::uint32_t id;
    TDAError error;
};

struct TDownloadProcess {
    std::uint32_t id;
    std::uint32_t recId; // 0xFFFFFFFF ends the job
    struct {
        std::uint32_t data_len;
        std::uint8_t* data_val;
    } data;
    TDAError error;
};

struct TSearchProcess {
    std::uint32_t id;
    std::uint32_t searched;
    struct {
        std::uint32_t recs_len;
        std::uint32_t* recs_val;
    } recs;
    TDAError error;
};

} // namespace IPC_DA_DBClient

#pragma pack(pop)

// Every record is the sum of its field widths, whatever the pointer width.
namespace vqlink_layout {
constexpr std::size_t P = sizeof(void*);
constexpr std::size_t ARRAY = 4 + P;
static_assert(sizeof(TDAError) == 8 + P);
static_assert(sizeof(TGCallID) == 8);
static_assert(sizeof(DB_ID) == 8);
static_assert(sizeof(DB_ID_List) == ARRAY);
static_assert(sizeof(TStamp) == 8);
static_assert(sizeof(t_da_record_id) == 4 + P);
static_assert(sizeof(t_da_user_descr) == 16 + 4 * P);
static_assert(sizeof(t_da_callrec_descr) == 16);
static_assert(sizeof(t_da_record_descr) == 8 + sizeof(t_da_user_descr) + ARRAY + 16);
static_assert(sizeof(t_status_item) == 2 * P);
static_assert(sizeof(t_status) == ARRAY);
static_assert(sizeof(IPC_DA_DBServer::TInitialize) == 6);
static_assert(sizeof(IPC_DA_DBServer::TInitializeResult) == 1 + P);
static_assert(sizeof(IPC_DA_DBServer::TStatus) == 4 + P);
static_assert(sizeof(IPC_DA_DBServer::TSQLExecute) == 4 + P);
static_assert(sizeof(IPC_DA_DBServer::TDelete) == 4 + ARRAY);
static_assert(sizeof(IPC_DA_DBServer::TDownload) == 4 + ARRAY);
static_assert(sizeof(IPC_DA_DBServer::TSearchString) == P);
static_assert(sizeof(IPC_DA_DBServer::TSearchCriteria) == 4 + ARRAY);
static_assert(sizeof(IPC_DA_DBServer::TSearchText) == 4 + ARRAY + 4 + ARRAY);
static_assert(sizeof(IPC_DA_DBServer::TCancelOperation) == 8);
static_assert(sizeof(IPC_DA_DBClient::TVerifyReq) == P);
static_assert(sizeof(IPC_DA_DBClient::TVerifyRsp) == 41);
static_assert(sizeof(IPC_DA_DBClient::TValueItem) == 2 * P);
static_assert(sizeof(IPC_DA_DBClient::TSelectRow) == ARRAY);
static_assert(sizeof(IPC_DA_DBClient::TSelectResult) == 4 + ARRAY + 1 + 8 + P);
static_assert(offsetof(IPC_DA_DBClient::TSelectResult, hasMore) == 4 + ARRAY);
static_assert(sizeof(IPC_DA_DBClient::TDeleteComplete) == 4 + 8 + P);
static_assert(sizeof(IPC_DA_DBClient::TDownloadProcess) == 8 + ARRAY + 8 + P);
static_assert(sizeof(IPC_DA_DBClient::TSearchProcess) == 8 + ARRAY + 8 + P);
} // namespace vqlink_layout

// Release functions. X_Free releases what the record owns (strings, arrays,
// recursively) and nulls those pointers, leaving counts and scalars; the
// record's own storage is not touched. X_Free_Clone then also releases the
// record itself, for records the library allocated whole.
#define VQLINK_RELEASE_FUNCTIONS(type, qualified)                                                  \
    VQLINK_API void type##_Free(type* record) VQLINK_SYMBOL(qualified "_Free");                    \
    VQLINK_API void type##_Free_Clone(type* record) VQLINK_SYMBOL(qualified "_Free_Clone")

VQLINK_RELEASE_FUNCTIONS(DB_ID, "DB_ID");
VQLINK_RELEASE_FUNCTIONS(DB_ID_List, "DB_ID_List");
VQLINK_RELEASE_FUNCTIONS(TStamp, "TStamp");
VQLINK_RELEASE_FUNCTIONS(TDAError, "TDAError");
VQLINK_RELEASE_FUNCTIONS(TGCallID, "TGCallID");
VQLINK_RELEASE_FUNCTIONS(t_da_record_id, "t_da_record_id");
VQLINK_RELEASE_FUNCTIONS(t_da_user_descr, "t_da_user_descr");
VQLINK_RELEASE_FUNCTIONS(t_da_callrec_descr, "t_da_callrec_descr");
VQLINK_RELEASE_FUNCTIONS(t_da_record_descr, "t_da_record_descr");

// Names of enumeration values; "<Unknown:NAME>" for any other value. The
// texts are constants and never freed.
VQLINK_API const char* __E2S_t_da_type(t_da_type value) VQLINK_SYMBOL("__E2S_t_da_type");
VQLINK_API const char* __E2S_t_da_file_format(t_da_file_format value)
    VQLINK_SYMBOL("__E2S_t_da_file_format");
VQLINK_API const char* __E2S_TDAErrorCode(TDAErrorCode value) VQLINK_SYMBOL("__E2S_TDAErrorCode");

namespace IPC_DA_DBServer {
VQLINK_RELEASE_FUNCTIONS(TInitialize, "IPC_DA_DBServer::TInitialize");
VQLINK_RELEASE_FUNCTIONS(TInitializeResult, "IPC_DA_DBServer::TInitializeResult");
VQLINK_RELEASE_FUNCTIONS(TStatus, "IPC_DA_DBServer::TStatus");
VQLINK_RELEASE_FUNCTIONS(TSQLExecute, "IPC_DA_DBServer::TSQLExecute");
VQLINK_RELEASE_FUNCTIONS(TDelete, "IPC_DA_DBServer::TDelete");
VQLINK_RELEASE_FUNCTIONS(TDownload, "IPC_DA_DBServer::TDownload");
VQLINK_RELEASE_FUNCTIONS(TSearchText, "IPC_DA_DBServer::TSearchText");
VQLINK_RELEASE_FUNCTIONS(TCancelOperation, "IPC_DA_DBServer::TCancelOperation");

VQLINK_API const char* __E2S_State(State value) VQLINK_SYMBOL("IPC_DA_DBServer::__E2S_State");
VQLINK_API const char* __E2S_Operation(Operation value)
    VQLINK_SYMBOL("IPC_DA_DBServer::__E2S_Operation");
VQLINK_API const char* __E2S_SearchMode(SearchMode value)
    VQLINK_SYMBOL("IPC_DA_DBServer::__E2S_SearchMode");
} // namespace IPC_DA_DBServer

namespace IPC_DA_DBClient {
VQLINK_RELEASE_FUNCTIONS(TSelectResult, "IPC_DA_DBClient::TSelectResult");
VQLINK_RELEASE_FUNCTIONS(TDeleteComplete, "IPC_DA_DBClient::TDeleteComplete");
VQLINK_RELEASE_FUNCTIONS(TDownloadProcess, "IPC_DA_DBClient::TDownloadProcess");
VQLINK_RELEASE_FUNCTIONS(TSearchProcess, "IPC_DA_DBClient::TSearchProcess");
VQLINK_RELEASE_FUNCTIONS(TVerifyReq, "IPC_DA_DBClient::TVerifyReq");
VQLINK_RELEASE_FUNCTIONS(TVerifyRsp, "IPC_DA_DBClient::TVerifyRsp");
} // namespace IPC_DA_DBClient

#undef VQLINK_RELEASE_FUNCTIONS
