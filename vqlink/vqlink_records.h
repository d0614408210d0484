/* The archive protocol's records and enumerations as they cross the
   interface of libvqlink (vqlink.h), usable from C and from C++.

   Layout: every record is packed, its fields in wire order with no gap
   between them, whatever their width, so that a host built with any
   compiler sees the very same bytes. Integers have fixed widths
   (<stdint.h>); an enumeration is stored as a signed 32-bit integer; a bool
   takes one byte; a string is a pointer to a terminated text. An array
   field is two fields, an unsigned 32-bit count (<name>_len) followed by a
   pointer to that many consecutive elements (<name>_val, null when the count
   is 0 and nothing was allocated).

   Names: C++ sees the protocol's own names, the server's messages in
   namespace IPC_DA_DBServer and the client's in IPC_DA_DBClient
   (IPC_DA_DBServer::TStatus). C has no namespaces and sees the same types
   with the namespace joined to the name by an underscore
   (IPC_DA_DBServer_TStatus), the same for the release functions
   (IPC_DA_DBServer_TStatus_Free). Enumeration values keep their bare names
   in both (stReady, opDownload). In C++ the namespaced names are aliases of
   the joined ones, so both spellings denote one type.

   Ownership: a record the host fills and passes in stays the host's; the
   library reads it during the call only. A record the library hands to a
   callback is the library's and is released when the callback returns. A
   record the library filled for the host (GetStatus) owns storage from the
   library's allocator, which the host gives back with the type's _Free
   function, never with free().

   Needs nothing but the standard C headers. */
#ifndef VQLINK_RECORDS_H
#define VQLINK_RECORDS_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

/* The calling convention of every exported function and of every callback
   a host registers: __cdecl on Windows (the caller cleans the stack, names
   are not decorated), the platform's only convention elsewhere. A host
   declaring its callbacks spells them with it:
       static void VQLINK_CALL on_rows(const IPC_DA_DBClient_TSelectResult* r); */
#if defined(_WIN32)
#define VQLINK_CALL __cdecl
#else
#define VQLINK_CALL
#endif

/* Marks an exported function. Only the library's own sources define
   VQLINK_BUILDING; for a host it marks nothing. The Windows DLL takes its
   export table from its module definition instead: dllexport would make
   GCC write export directives for the qualified names that its assembler
   cannot read. */
#if defined(VQLINK_BUILDING) && defined(_WIN32)
#define VQLINK_API
#elif defined(VQLINK_BUILDING)
#define VQLINK_API __attribute__((visibility("default")))
#else
#define VQLINK_API
#endif

/* The release and name functions are exported under their qualified C++
   name ("IPC_DA_DBServer::TStatus_Free"), a text no C or C++ identifier can
   spell, so every declaration names its symbol. GCC hands the label to the
   assembler, which needs the quotes; clang takes it as the symbol's name as
   it stands. Compilers without symbol labels get no declarations of these
   functions; a host built with one looks them up by their qualified name. */
#if defined(__clang__)
#define VQLINK_SYMBOL(text) __asm__(text)
#elif defined(__GNUC__)
#define VQLINK_SYMBOL(text) __asm__("\"" text "\"")
#endif

/* Enumerations: a C++ enum with a 32-bit underlying type; in C an int32_t
   type of that name beside plain constants. */
#ifdef __cplusplus
#define VQLINK_ENUM(c_name, name) enum name : int32_t
#else
#define VQLINK_ENUM(c_name, name)                                                                  \
    typedef int32_t c_name;                                                                        \
    enum c_name##_value
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Enumerations --------------------------------------------------------------------------- */

/* The outcome of a server job (TDAError.error). */
VQLINK_ENUM(TDAErrorCode, TDAErrorCode){
    deUnknown = -1,   /* the server could not say */
    deSuccess = 0,    /* done */
    deNotReady = 1,   /* the server was not ready for the job */
    deSQLError = 2,   /* the statement was refused; TDAError.msg says why */
    deDBFailed = 3,   /* the database failed */
    deReadFailed = 4, /* a record's content could not be read */
    deCancelled = 5,  /* stopped by CancelOperation */
};

/* The kind of an archived record. */
VQLINK_ENUM(t_da_type, t_da_type){
    DAT_IM = 0,       /* instant message transcript, media_type "im" */
    DAT_RESERVED = 1, /* "reserved" */
    DAT_CALLREC = 2,  /* call recording, "callrec" */
    DAT_VM = 3,       /* voice mail, "vm" */
    DAT_FAX = 4,      /* fax, "fax" */
    DAT_CAD = 5,      /* call attached data, "cad" */
    DAT_WEBCHAT = 6,  /* web chat, "webchat" */
    DAT_TOTAL = 7,    /* the number of kinds */
};

VQLINK_ENUM(t_da_file_format, t_da_file_format){
    DAFF_DEFAULT = 0,
    DAFF_FAX_PDF = 1,
};

#ifdef __cplusplus
namespace IPC_DA_DBServer {
#endif

/* The server's state (TStatus.state); it accepts a job when stReady. */
VQLINK_ENUM(IPC_DA_DBServer_State, State){
    stBusy = 0,
    stReady = 1,
    stFailed = 2,
};

/* The kind of a job, named when cancelling it (TCancelOperation). */
VQLINK_ENUM(IPC_DA_DBServer_Operation, Operation){
    opSQLExecute = 0,
    opDelete = 1,
    opDownload = 2,
    opSearchText = 3,
};

/* How the phrases of a text search combine (TSearchCriteria.mode). */
VQLINK_ENUM(IPC_DA_DBServer_SearchMode, SearchMode){
    smAllOf = 0, /* a record must contain every phrase */
    smAnyOf = 1, /* a record must contain one of them */
};

#ifdef __cplusplus
} /* namespace IPC_DA_DBServer */
typedef IPC_DA_DBServer::State IPC_DA_DBServer_State;
typedef IPC_DA_DBServer::Operation IPC_DA_DBServer_Operation;
typedef IPC_DA_DBServer::SearchMode IPC_DA_DBServer_SearchMode;
#endif

#undef VQLINK_ENUM

#pragma pack(push, 1)

/* ---- Shared records ------------------------------------------------------------------------- */

/* The outcome of a server job, carried by every result. */
typedef struct TDAError {
    TDAErrorCode error;
    int32_t extra; /* the server's own detail code */
    char* msg;     /* the server's text; empty when there is none */
} TDAError;

/* A global call identifier; its text form is GCIdToStr's (vqlink.h). */
typedef struct TGCallID {
    int64_t id;
} TGCallID;

/* A database object identifier. */
typedef struct DB_ID {
    uint32_t boxID;
    int32_t dbID;
} DB_ID;

typedef struct DB_ID_List {
    struct {
        uint32_t elem_len;
        DB_ID* elem_val;
    } elem;
} DB_ID_List;

typedef struct TStamp {
    uint32_t vx;
    uint32_t vminor;
} TStamp;

/* A record named by kind and name. */
typedef struct t_da_record_id {
    t_da_type type;
    char* name;
} t_da_record_id;

/* A participant of a record. */
typedef struct t_da_user_descr {
    DB_ID id;
    DB_ID group;
    char* name;
    char* groupname;
    char* phone;
    char* display;
} t_da_user_descr;

/* A call recording. */
typedef struct t_da_callrec_descr {
    TGCallID gcid;
    int32_t duration; /* seconds */
    t_da_file_format format;
} t_da_callrec_descr;

/* One archived record. */
typedef struct t_da_record_descr {
    t_da_type type;
    int32_t timestamp; /* seconds since 1970-01-01 UTC */
    t_da_user_descr src;
    struct {
        uint32_t dest_len;
        t_da_user_descr* dest_val;
    } dest;
    t_da_callrec_descr recording;
} t_da_record_descr;

typedef struct t_status_item {
    char* vq_url;
    char* message;
} t_status_item;

typedef struct t_status {
    struct {
        uint32_t items_len;
        t_status_item* items_val;
    } items;
} t_status;

/* ---- Requests: what the host sends (namespace IPC_DA_DBServer) ------------------------------ */

/* The first call of a connection; the library sends it itself in Connect. */
typedef struct IPC_DA_DBServer_TInitialize {
    uint32_t clientIp; /* host byte order */
    uint16_t clientPort;
} IPC_DA_DBServer_TInitialize;

/* The server's answer to TInitialize; Connect turns it into its code. */
typedef struct IPC_DA_DBServer_TInitializeResult {
    bool passwordValid;
    char* error; /* empty on success, else the reason for refusing */
} IPC_DA_DBServer_TInitializeResult;

/* GetStatus's result, filled by the library into the host's record. */
typedef struct IPC_DA_DBServer_TStatus {
    IPC_DA_DBServer_State state;
    char* message; /* library-allocated; give back with IPC_DA_DBServer_TStatus_Free */
} IPC_DA_DBServer_TStatus;

/* SQLExecute: one statement; rows come back as TSelectResult with this id. */
typedef struct IPC_DA_DBServer_TSQLExecute {
    uint32_t id; /* the job id, chosen by the host and echoed by every result */
    char* statement;
} IPC_DA_DBServer_TSQLExecute;

/* Delete: the records to delete; one TDeleteComplete with this id follows. */
typedef struct IPC_DA_DBServer_TDelete {
    uint32_t id; /* job id */
    struct {
        uint32_t recs_len;
        uint32_t* recs_val; /* record ids (the archive's Media_ID) */
    } recs;
} IPC_DA_DBServer_TDelete;

/* Download: the records to download; TDownloadProcess pieces follow. */
typedef struct IPC_DA_DBServer_TDownload {
    uint32_t id; /* job id */
    struct {
        uint32_t recs_len;
        uint32_t* recs_val; /* record ids */
    } recs;
} IPC_DA_DBServer_TDownload;

typedef struct IPC_DA_DBServer_TSearchString {
    char* value; /* one phrase */
} IPC_DA_DBServer_TSearchString;

typedef struct IPC_DA_DBServer_TSearchCriteria {
    IPC_DA_DBServer_SearchMode mode;
    struct {
        uint32_t strings_len;
        IPC_DA_DBServer_TSearchString* strings_val;
    } strings;
} IPC_DA_DBServer_TSearchCriteria;

/* SearchText: the records to search and the phrases to look for;
   TSearchProcess reports follow. */
typedef struct IPC_DA_DBServer_TSearchText {
    uint32_t id; /* job id */
    struct {
        uint32_t recs_len;
        uint32_t* recs_val; /* record ids */
    } recs;
    IPC_DA_DBServer_TSearchCriteria criteria;
} IPC_DA_DBServer_TSearchText;

/* CancelOperation: the job to stop, by its kind and id. */
typedef struct IPC_DA_DBServer_TCancelOperation {
    IPC_DA_DBServer_Operation operation;
    uint32_t id;
} IPC_DA_DBServer_TCancelOperation;

/* ---- Results: what the callbacks receive (namespace IPC_DA_DBClient) ------------------------ */

/* The server's password challenge; the library answers it itself. */
typedef struct IPC_DA_DBClient_TVerifyReq {
    char* token; /* at most 32 characters */
} IPC_DA_DBClient_TVerifyReq;

typedef struct IPC_DA_DBClient_TVerifyRsp {
    char digest[41]; /* 40 lowercase hexadecimal characters and a terminator */
} IPC_DA_DBClient_TVerifyRsp;

/* One column of a result row. */
typedef struct IPC_DA_DBClient_TValueItem {
    char* name;
    char* value;
} IPC_DA_DBClient_TValueItem;

/* One result row: its columns in the statement's order. */
typedef struct IPC_DA_DBClient_TSelectRow {
    struct {
        uint32_t cols_len;
        IPC_DA_DBClient_TValueItem* cols_val;
    } cols;
} IPC_DA_DBClient_TSelectRow;

/* One batch of rows of an SQLExecute job. The job has ended when hasMore is
   false or when error.error is not deSuccess. */
typedef struct IPC_DA_DBClient_TSelectResult {
    uint32_t id; /* the job id of the TSQLExecute */
    struct {
        uint32_t rows_len; /* at most 32 */
        IPC_DA_DBClient_TSelectRow* rows_val;
    } rows;
    bool hasMore; /* further batches follow for this job */
    TDAError error;
} IPC_DA_DBClient_TSelectResult;

/* The end of a Delete job. */
typedef struct IPC_DA_DBClient_TDeleteComplete {
    uint32_t id;
    TDAError error;
} IPC_DA_DBClient_TDeleteComplete;

/* One piece of a Download job: bytes of record recId, in order. The job has
   ended with the piece whose recId is VQLINK_DOWNLOAD_END. */
typedef struct IPC_DA_DBClient_TDownloadProcess {
    uint32_t id;
    uint32_t recId;
    struct {
        uint32_t data_len;
        uint8_t* data_val;
    } data;
    TDAError error;
} IPC_DA_DBClient_TDownloadProcess;

#define VQLINK_DOWNLOAD_END 0xFFFFFFFFu

/* Progress of a SearchText job: the records searched so far and the hits
   found since the last report. The job has ended when searched equals the
   number of records sent. */
typedef struct IPC_DA_DBClient_TSearchProcess {
    uint32_t id;
    uint32_t searched;
    struct {
        uint32_t recs_len;
        uint32_t* recs_val; /* ids of records that matched */
    } recs;
    TDAError error;
} IPC_DA_DBClient_TSearchProcess;

#pragma pack(pop)

#ifdef __cplusplus
} /* extern "C" */

namespace IPC_DA_DBServer {
typedef ::IPC_DA_DBServer_TInitialize TInitialize;
typedef ::IPC_DA_DBServer_TInitializeResult TInitializeResult;
typedef ::IPC_DA_DBServer_TStatus TStatus;
typedef ::IPC_DA_DBServer_TSQLExecute TSQLExecute;
typedef ::IPC_DA_DBServer_TDelete TDelete;
typedef ::IPC_DA_DBServer_TDownload TDownload;
typedef ::IPC_DA_DBServer_TSearchString TSearchString;
typedef ::IPC_DA_DBServer_TSearchCriteria TSearchCriteria;
typedef ::IPC_DA_DBServer_TSearchText TSearchText;
typedef ::IPC_DA_DBServer_TCancelOperation TCancelOperation;
} // namespace IPC_DA_DBServer

namespace IPC_DA_DBClient {
typedef ::IPC_DA_DBClient_TVerifyReq TVerifyReq;
typedef ::IPC_DA_DBClient_TVerifyRsp TVerifyRsp;
typedef ::IPC_DA_DBClient_TValueItem TValueItem;
typedef ::IPC_DA_DBClient_TSelectRow TSelectRow;
typedef ::IPC_DA_DBClient_TSelectResult TSelectResult;
typedef ::IPC_DA_DBClient_TDeleteComplete TDeleteComplete;
typedef ::IPC_DA_DBClient_TDownloadProcess TDownloadProcess;
typedef ::IPC_DA_DBClient_TSearchProcess TSearchProcess;
} // namespace IPC_DA_DBClient

#define VQLINK_STATIC_ASSERT(condition) static_assert(condition, #condition)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VQLINK_STATIC_ASSERT(condition) _Static_assert(condition, #condition)
#endif

#if defined(VQLINK_STATIC_ASSERT)

/* Every record is the sum of its field widths, whatever the pointer width. */
#define VQLINK_P sizeof(void*)
#define VQLINK_ARRAY (4 + VQLINK_P)
VQLINK_STATIC_ASSERT(sizeof(bool) == 1);
VQLINK_STATIC_ASSERT(sizeof(TDAErrorCode) == 4);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBServer_State) == 4);
VQLINK_STATIC_ASSERT(sizeof(TDAError) == 8 + VQLINK_P);
VQLINK_STATIC_ASSERT(sizeof(TGCallID) == 8);
VQLINK_STATIC_ASSERT(sizeof(DB_ID) == 8);
VQLINK_STATIC_ASSERT(sizeof(DB_ID_List) == VQLINK_ARRAY);
VQLINK_STATIC_ASSERT(sizeof(TStamp) == 8);
VQLINK_STATIC_ASSERT(sizeof(t_da_record_id) == 4 + VQLINK_P);
VQLINK_STATIC_ASSERT(sizeof(t_da_user_descr) == 16 + 4 * VQLINK_P);
VQLINK_STATIC_ASSERT(sizeof(t_da_callrec_descr) == 16);
VQLINK_STATIC_ASSERT(sizeof(t_da_record_descr) == 8 + sizeof(t_da_user_descr) + VQLINK_ARRAY + 16);
VQLINK_STATIC_ASSERT(sizeof(t_status_item) == 2 * VQLINK_P);
VQLINK_STATIC_ASSERT(sizeof(t_status) == VQLINK_ARRAY);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBServer_TInitialize) == 6);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBServer_TInitializeResult) == 1 + VQLINK_P);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBServer_TStatus) == 4 + VQLINK_P);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBServer_TSQLExecute) == 4 + VQLINK_P);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBServer_TDelete) == 4 + VQLINK_ARRAY);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBServer_TDownload) == 4 + VQLINK_ARRAY);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBServer_TSearchString) == VQLINK_P);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBServer_TSearchCriteria) == 4 + VQLINK_ARRAY);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBServer_TSearchText) == 4 + VQLINK_ARRAY + 4 + VQLINK_ARRAY);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBServer_TCancelOperation) == 8);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBClient_TVerifyReq) == VQLINK_P);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBClient_TVerifyRsp) == 41);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBClient_TValueItem) == 2 * VQLINK_P);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBClient_TSelectRow) == VQLINK_ARRAY);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBClient_TSelectResult) == 4 + VQLINK_ARRAY + 1 + 8 + VQLINK_P);
VQLINK_STATIC_ASSERT(offsetof(IPC_DA_DBClient_TSelectResult, hasMore) == 4 + VQLINK_ARRAY);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBClient_TDeleteComplete) == 4 + 8 + VQLINK_P);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBClient_TDownloadProcess) == 8 + VQLINK_ARRAY + 8 + VQLINK_P);
VQLINK_STATIC_ASSERT(sizeof(IPC_DA_DBClient_TSearchProcess) == 8 + VQLINK_ARRAY + 8 + VQLINK_P);
#undef VQLINK_P
#undef VQLINK_ARRAY
#undef VQLINK_STATIC_ASSERT
#endif /* VQLINK_STATIC_ASSERT */

/* ---- Release and name functions ------------------------------------------------------------- */

/* For each record type that crosses the interface:
   - X_Free(record) releases what the record owns (its strings and arrays,
     recursively) to the library's allocator and sets those pointers to
     null; counts and other fields keep their values, and the record's own
     storage is not touched, so it may live on the host's stack. Calling it
     again does nothing; a null record is ignored. Only for storage the
     library allocated: a record the host filled with its own strings is
     not the library's to release (StrDup gives a host library-allocated
     copies when it wants that).
   - X_Free_Clone(record) does the same and then releases the record itself;
     it is for records the library allocated whole.
   Element types without their own functions (TValueItem, TSelectRow,
   TSearchString, TSearchCriteria, t_status_item, t_status) are released
   through the record that holds them.

   The enumeration name functions (__E2S_<enum>) return the value's name
   ("stReady"), or "<Unknown:<enum>>" for any other value; the texts are
   constants of the library and are never released. */
#if defined(VQLINK_SYMBOL)

#ifdef __cplusplus
#define VQLINK_RELEASE_FUNCTIONS(type, c_name, qualified)                                          \
    VQLINK_API void VQLINK_CALL type##_Free(type* record) VQLINK_SYMBOL(qualified "_Free");        \
    VQLINK_API void VQLINK_CALL type##_Free_Clone(type* record)                                    \
        VQLINK_SYMBOL(qualified "_Free_Clone")
#define VQLINK_ENUM_NAME(type, c_type, c_name, qualified)                                          \
    VQLINK_API const char* VQLINK_CALL __E2S_##type(type value) VQLINK_SYMBOL(qualified)
extern "C" {
#else
#define VQLINK_RELEASE_FUNCTIONS(type, c_name, qualified)                                          \
    VQLINK_API void VQLINK_CALL c_name##_Free(c_name* record) VQLINK_SYMBOL(qualified "_Free");    \
    VQLINK_API void VQLINK_CALL c_name##_Free_Clone(c_name* record)                                \
        VQLINK_SYMBOL(qualified "_Free_Clone")
#define VQLINK_ENUM_NAME(type, c_type, c_name, qualified)                                          \
    VQLINK_API const char* VQLINK_CALL c_name(c_type value) VQLINK_SYMBOL(qualified)
#endif

VQLINK_RELEASE_FUNCTIONS(DB_ID, DB_ID, "DB_ID");
VQLINK_RELEASE_FUNCTIONS(DB_ID_List, DB_ID_List, "DB_ID_List");
VQLINK_RELEASE_FUNCTIONS(TStamp, TStamp, "TStamp");
VQLINK_RELEASE_FUNCTIONS(TDAError, TDAError, "TDAError");
VQLINK_RELEASE_FUNCTIONS(TGCallID, TGCallID, "TGCallID");
VQLINK_RELEASE_FUNCTIONS(t_da_record_id, t_da_record_id, "t_da_record_id");
VQLINK_RELEASE_FUNCTIONS(t_da_user_descr, t_da_user_descr, "t_da_user_descr");
VQLINK_RELEASE_FUNCTIONS(t_da_callrec_descr, t_da_callrec_descr, "t_da_callrec_descr");
VQLINK_RELEASE_FUNCTIONS(t_da_record_descr, t_da_record_descr, "t_da_record_descr");

VQLINK_ENUM_NAME(t_da_type, t_da_type, __E2S_t_da_type, "__E2S_t_da_type");
VQLINK_ENUM_NAME(t_da_file_format, t_da_file_format, __E2S_t_da_file_format,
                 "__E2S_t_da_file_format");
VQLINK_ENUM_NAME(TDAErrorCode, TDAErrorCode, __E2S_TDAErrorCode, "__E2S_TDAErrorCode");

#ifdef __cplusplus
namespace IPC_DA_DBServer {
#endif
VQLINK_RELEASE_FUNCTIONS(TInitialize, IPC_DA_DBServer_TInitialize, "IPC_DA_DBServer::TInitialize");
VQLINK_RELEASE_FUNCTIONS(TInitializeResult, IPC_DA_DBServer_TInitializeResult,
                         "IPC_DA_DBServer::TInitializeResult");
VQLINK_RELEASE_FUNCTIONS(TStatus, IPC_DA_DBServer_TStatus, "IPC_DA_DBServer::TStatus");
VQLINK_RELEASE_FUNCTIONS(TSQLExecute, IPC_DA_DBServer_TSQLExecute, "IPC_DA_DBServer::TSQLExecute");
VQLINK_RELEASE_FUNCTIONS(TDelete, IPC_DA_DBServer_TDelete, "IPC_DA_DBServer::TDelete");
VQLINK_RELEASE_FUNCTIONS(TDownload, IPC_DA_DBServer_TDownload, "IPC_DA_DBServer::TDownload");
VQLINK_RELEASE_FUNCTIONS(TSearchText, IPC_DA_DBServer_TSearchText, "IPC_DA_DBServer::TSearchText");
VQLINK_RELEASE_FUNCTIONS(TCancelOperation, IPC_DA_DBServer_TCancelOperation,
                         "IPC_DA_DBServer::TCancelOperation");

VQLINK_ENUM_NAME(State, IPC_DA_DBServer_State, IPC_DA_DBServer___E2S_State,
                 "IPC_DA_DBServer::__E2S_State");
VQLINK_ENUM_NAME(Operation, IPC_DA_DBServer_Operation, IPC_DA_DBServer___E2S_Operation,
                 "IPC_DA_DBServer::__E2S_Operation");
VQLINK_ENUM_NAME(SearchMode, IPC_DA_DBServer_SearchMode, IPC_DA_DBServer___E2S_SearchMode,
                 "IPC_DA_DBServer::__E2S_SearchMode");
#ifdef __cplusplus
} /* namespace IPC_DA_DBServer */
namespace IPC_DA_DBClient {
#endif
VQLINK_RELEASE_FUNCTIONS(TSelectResult, IPC_DA_DBClient_TSelectResult,
                         "IPC_DA_DBClient::TSelectResult");
VQLINK_RELEASE_FUNCTIONS(TDeleteComplete, IPC_DA_DBClient_TDeleteComplete,
                         "IPC_DA_DBClient::TDeleteComplete");
VQLINK_RELEASE_FUNCTIONS(TDownloadProcess, IPC_DA_DBClient_TDownloadProcess,
                         "IPC_DA_DBClient::TDownloadProcess");
VQLINK_RELEASE_FUNCTIONS(TSearchProcess, IPC_DA_DBClient_TSearchProcess,
                         "IPC_DA_DBClient::TSearchProcess");
VQLINK_RELEASE_FUNCTIONS(TVerifyReq, IPC_DA_DBClient_TVerifyReq, "IPC_DA_DBClient::TVerifyReq");
VQLINK_RELEASE_FUNCTIONS(TVerifyRsp, IPC_DA_DBClient_TVerifyRsp, "IPC_DA_DBClient::TVerifyRsp");
#ifdef __cplusplus
} /* namespace IPC_DA_DBClient */
} /* extern "C" */
#endif

#undef VQLINK_RELEASE_FUNCTIONS
#undef VQLINK_ENUM_NAME

#endif /* VQLINK_SYMBOL */

#endif /* VQLINK_RECORDS_H */
