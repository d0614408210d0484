#define VQLINK_BUILDING 1
#include "IPC_DA_Types.h"

#include "QREX_Memory.h"

#include <cstdint>

// The sizes the protocol's own documents quote are those of a 32-bit build;
// the -m32 check compiles this unit to hold them to it.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(IPC_DA_DBServer::TInitialize) == 6);
static_assert(sizeof(IPC_DA_DBServer::TInitializeResult) == 5);
static_assert(sizeof(t_da_user_descr) == 32);
static_assert(sizeof(t_da_callrec_descr) == 16);
static_assert(sizeof(t_da_record_descr) == 64);
static_assert(sizeof(IPC_DA_DBServer::TCancelOperation) == 8);
static_assert(sizeof(IPC_DA_DBClient::TDeleteComplete) == 16);
static_assert(offsetof(IPC_DA_DBClient::TSelectResult, hasMore) == 12);
static_assert(offsetof(IPC_DA_DBClient::TSelectResult, error) == 13);
static_assert(sizeof(IPC_DA_DBClient::TValueItem) == 8);
static_assert(sizeof(IPC_DA_DBClient::TSelectRow) == 8);
static_assert(sizeof(IPC_DA_DBServer::TSearchString) == 4);
static_assert(sizeof(DB_ID) == 8);
static_assert(sizeof(t_status_item) == 8);
#endif

// Fields of packed records may sit at any address; the streams read and
// write through these pointers byte-wise, so only the type is adjusted.
#define VQ_I32(field) reinterpret_cast<qrex_int32_t*>(static_cast<void*>(&(field)))
#define VQ_U32(field) reinterpret_cast<qrex_uint32_t*>(static_cast<void*>(&(field)))
#define VQ_U16(field) reinterpret_cast<qrex_uint16_t*>(static_cast<void*>(&(field)))
#define VQ_I64(field) reinterpret_cast<qrex_int64_t*>(static_cast<void*>(&(field)))
#define VQ_BOOL(field) reinterpret_cast<bool*>(static_cast<void*>(&(field)))
#define VQ_STR(field) reinterpret_cast<char**>(static_cast<void*>(&(field)))
#define VQ_PTR(field) reinterpret_cast<void**>(static_cast<void*>(&(field)))

#define VQ_ARRAY(xdr, arr, name, max, type, fn)                                                    \
    (xdr)->XDR_array(VQ_PTR((arr).name##_val), VQ_U32((arr).name##_len), (max),                    \
                     static_cast<qrex_uint32_t>(sizeof(type)), (fn))

template <class T> static T* rec(void* value) {
    return static_cast<T*>(value);
}

void xdr_TDAError(XDR_Stream* xdr, void* value) {
    TDAError* r = rec<TDAError>(value);
    xdr->XDR_int32(VQ_I32(r->error));
    xdr->XDR_int32(VQ_I32(r->extra));
    xdr->XDR_string(VQ_STR(r->msg), QREX_NO_LIMIT);
}

void xdr_TGCallID(XDR_Stream* xdr, void* value) {
    xdr->XDR_int64(VQ_I64(rec<TGCallID>(value)->id));
}

void xdr_DB_ID(XDR_Stream* xdr, void* value) {
    DB_ID* r = rec<DB_ID>(value);
    xdr->XDR_uint32(VQ_U32(r->boxID));
    xdr->XDR_int32(VQ_I32(r->dbID));
}

void xdr_DB_ID_List(XDR_Stream* xdr, void* value) {
    DB_ID_List* r = rec<DB_ID_List>(value);
    VQ_ARRAY(xdr, r->elem, elem, QREX_NO_LIMIT, DB_ID, xdr_DB_ID);
}

void xdr_TStamp(XDR_Stream* xdr, void* value) {
    TStamp* r = rec<TStamp>(value);
    xdr->XDR_uint32(VQ_U32(r->vx));
    xdr->XDR_uint32(VQ_U32(r->vminor));
}

void xdr_t_da_record_id(XDR_Stream* xdr, void* value) {
    t_da_record_id* r = rec<t_da_record_id>(value);
    xdr->XDR_int32(VQ_I32(r->type));
    xdr->XDR_string(VQ_STR(r->name), QREX_NO_LIMIT);
}

void xdr_t_da_user_descr(XDR_Stream* xdr, void* value) {
    t_da_user_descr* r = rec<t_da_user_descr>(value);
    xdr_DB_ID(xdr, &r->id);
    xdr_DB_ID(xdr, &r->group);
    xdr->XDR_string(VQ_STR(r->name), QREX_NO_LIMIT);
    xdr->XDR_string(VQ_STR(r->groupname), QREX_NO_LIMIT);
    xdr->XDR_string(VQ_STR(r->phone), QREX_NO_LIMIT);
    xdr->XDR_string(VQ_STR(r->display), QREX_NO_LIMIT);
}

void xdr_t_da_callrec_descr(XDR_Stream* xdr, void* value) {
    t_da_callrec_descr* r = rec<t_da_callrec_descr>(value);
    xdr_TGCallID(xdr, &r->gcid);
    xdr->XDR_int32(VQ_I32(r->duration));
    xdr->XDR_int32(VQ_I32(r->format));
}

void xdr_t_da_record_descr(XDR_Stream* xdr, void* value) {
    t_da_record_descr* r = rec<t_da_record_descr>(value);
    xdr->XDR_int32(VQ_I32(r->type));
    xdr->XDR_int32(VQ_I32(r->timestamp));
    xdr_t_da_user_descr(xdr, &r->src);
    VQ_ARRAY(xdr, r->dest, dest, QREX_NO_LIMIT, t_da_user_descr, xdr_t_da_user_descr);
    xdr_t_da_callrec_descr(xdr, &r->recording);
}

void xdr_t_status_item(XDR_Stream* xdr, void* value) {
    t_status_item* r = rec<t_status_item>(value);
    xdr->XDR_string(VQ_STR(r->vq_url), QREX_NO_LIMIT);
    xdr->XDR_string(VQ_STR(r->message), QREX_NO_LIMIT);
}

void xdr_t_status(XDR_Stream* xdr, void* value) {
    t_status* r = rec<t_status>(value);
    VQ_ARRAY(xdr, r->items, items, QREX_NO_LIMIT, t_status_item, xdr_t_status_item);
}

namespace IPC_DA_DBServer {

void xdr_TInitialize(XDR_Stream* xdr, void* value) {
    TInitialize* r = rec<TInitialize>(value);
    xdr->XDR_uint32(VQ_U32(r->clientIp));
    xdr->XDR_ushort(VQ_U16(r->clientPort));
}

void xdr_TInitializeResult(XDR_Stream* xdr, void* value) {
    TInitializeResult* r = rec<TInitializeResult>(value);
    xdr->XDR_bool(VQ_BOOL(r->passwordValid));
    xdr->XDR_string(VQ_STR(r->error), QREX_NO_LIMIT);
}

void xdr_TStatus(XDR_Stream* xdr, void* value) {
    TStatus* r = rec<TStatus>(value);
    xdr->XDR_int32(VQ_I32(r->state));
    xdr->XDR_string(VQ_STR(r->message), QREX_NO_LIMIT);
}

void xdr_TSQLExecute(XDR_Stream* xdr, void* value) {
    TSQLExecute* r = rec<TSQLExecute>(value);
    xdr->XDR_uint32(VQ_U32(r->id));
    xdr->XDR_string(VQ_STR(r->statement), QREX_NO_LIMIT);
}

void xdr_TDelete(XDR_Stream* xdr, void* value) {
    TDelete* r = rec<TDelete>(value);
    xdr->XDR_uint32(VQ_U32(r->id));
    VQ_ARRAY(xdr, r->recs, recs, QREX_NO_LIMIT, std::uint32_t, qrex_xdr_uint32);
}

void xdr_TDownload(XDR_Stream* xdr, void* value) {
    TDownload* r = rec<TDownload>(value);
    xdr->XDR_uint32(VQ_U32(r->id));
    VQ_ARRAY(xdr, r->recs, recs, QREX_NO_LIMIT, std::uint32_t, qrex_xdr_uint32);
}

void xdr_TSearchString(XDR_Stream* xdr, void* value) {
    xdr->XDR_string(VQ_STR(rec<TSearchString>(value)->value), QREX_NO_LIMIT);
}

void xdr_TSearchCriteria(XDR_Stream* xdr, void* value) {
    TSearchCriteria* r = rec<TSearchCriteria>(value);
    xdr->XDR_int32(VQ_I32(r->mode));
    VQ_ARRAY(xdr, r->strings, strings, QREX_NO_LIMIT, TSearchString, xdr_TSearchString);
}

void xdr_TSearchText(XDR_Stream* xdr, void* value) {
    TSearchText* r = rec<TSearchText>(value);
    xdr->XDR_uint32(VQ_U32(r->id));
    VQ_ARRAY(xdr, r->recs, recs, QREX_NO_LIMIT, std::uint32_t, qrex_xdr_uint32);
    xdr_TSearchCriteria(xdr, &r->criteria);
}

void xdr_TCancelOperation(XDR_Stream* xdr, void* value) {
    TCancelOperation* r = rec<TCancelOperation>(value);
    xdr->XDR_int32(VQ_I32(r->operation));
    xdr->XDR_uint32(VQ_U32(r->id));
}

} // namespace IPC_DA_DBServer

namespace IPC_DA_DBClient {

void xdr_TVerifyReq(XDR_Stream* xdr, void* value) {
    xdr->XDR_string(VQ_STR(rec<TVerifyReq>(value)->token), MAX_TOKEN);
}

void xdr_TVerifyRsp(XDR_Stream* xdr, void* value) {
    TVerifyRsp* r = rec<TVerifyRsp>(value);
    xdr->XDR_fixedstring(r->digest, sizeof(r->digest));
}

void xdr_TValueItem(XDR_Stream* xdr, void* value) {
    TValueItem* r = rec<TValueItem>(value);
    xdr->XDR_string(VQ_STR(r->name), QREX_NO_LIMIT);
    xdr->XDR_string(VQ_STR(r->value), QREX_NO_LIMIT);
}

void xdr_TSelectRow(XDR_Stream* xdr, void* value) {
    TSelectRow* r = rec<TSelectRow>(value);
    VQ_ARRAY(xdr, r->cols, cols, QREX_NO_LIMIT, TValueItem, xdr_TValueItem);
}

void xdr_TSelectResult(XDR_Stream* xdr, void* value) {
    TSelectResult* r = rec<TSelectResult>(value);
    xdr->XDR_uint32(VQ_U32(r->id));
    VQ_ARRAY(xdr, r->rows, rows, MAX_ROWS, TSelectRow, xdr_TSelectRow);
    xdr->XDR_bool(VQ_BOOL(r->hasMore));
    xdr_TDAError(xdr, &r->error);
}

void xdr_TDeleteComplete(XDR_Stream* xdr, void* value) {
    TDeleteComplete* r = rec<TDeleteComplete>(value);
    xdr->XDR_uint32(VQ_U32(r->id));
    xdr_TDAError(xdr, &r->error);
}

void xdr_TDownloadProcess(XDR_Stream* xdr, void* value) {
    TDownloadProcess* r = rec<TDownloadProcess>(value);
    xdr->XDR_uint32(VQ_U32(r->id));
    xdr->XDR_uint32(VQ_U32(r->recId));
    VQ_ARRAY(xdr, r->data, data, QREX_NO_LIMIT, std::uint8_t, qrex_xdr_uchar);
    xdr_TDAError(xdr, &r->error);
}

void xdr_TSearchProcess(XDR_Stream* xdr, void* value) {
    TSearchProcess* r = rec<TSearchProcess>(value);
    xdr->XDR_uint32(VQ_U32(r->id));
    xdr->XDR_uint32(VQ_U32(r->searched));
    VQ_ARRAY(xdr, r->recs, recs, QREX_NO_LIMIT, std::uint32_t, qrex_xdr_uint32);
    xdr_TDAError(xdr, &r->error);
}

} // namespace IPC_DA_DBClient
