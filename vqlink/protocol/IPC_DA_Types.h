// The XDR functions of the archive protocol's records: one per record type,
// applying a stream's operations to the fields in wire order, so that the
// same function encodes, decodes and frees.
#pragma once

#include "QREX_XDR.h"
#include "vqlink/vqlink_records.h"

void xdr_TDAError(XDR_Stream* xdr, void* value);
void xdr_TGCallID(XDR_Stream* xdr, void* value);
void xdr_DB_ID(XDR_Stream* xdr, void* value);
void xdr_DB_ID_List(XDR_Stream* xdr, void* value);
void xdr_TStamp(XDR_Stream* xdr, void* value);
void xdr_t_da_record_id(XDR_Stream* xdr, void* value);
void xdr_t_da_user_descr(XDR_Stream* xdr, void* value);
void xdr_t_da_callrec_descr(XDR_Stream* xdr, void* value);
void xdr_t_da_record_descr(XDR_Stream* xdr, void* value);
void xdr_t_status_item(XDR_Stream* xdr, void* value);
void xdr_t_status(XDR_Stream* xdr, void* value);

namespace IPC_DA_DBServer {
void xdr_TInitialize(XDR_Stream* xdr, void* value);
void xdr_TInitializeResult(XDR_Stream* xdr, void* value);
void xdr_TStatus(XDR_Stream* xdr, void* value);
void xdr_TSQLExecute(XDR_Stream* xdr, void* value);
void xdr_TDelete(XDR_Stream* xdr, void* value);
void xdr_TDownload(XDR_Stream* xdr, void* value);
void xdr_TSearchString(XDR_Stream* xdr, void* value);
void xdr_TSearchCriteria(XDR_Stream* xdr, void* value);
void xdr_TSearchText(XDR_Stream* xdr, void* value);
void xdr_TCancelOperation(XDR_Stream* xdr, void* value);
} // namespace IPC_DA_DBServer

namespace IPC_DA_DBClient {
// The most rows one TSelectResult may carry.
constexpr std::uint32_t MAX_ROWS = 32;
// The most characters of a VerifyPassword token.
constexpr std::uint32_t MAX_TOKEN = 32;

void xdr_TVerifyReq(XDR_Stream* xdr, void* value);
void xdr_TVerifyRsp(XDR_Stream* xdr, void* value);
void xdr_TValueItem(XDR_Stream* xdr, void* value);
void xdr_TSelectRow(XDR_Stream* xdr, void* value);
void xdr_TSelectResult(XDR_Stream* xdr, void* value);
void xdr_TDeleteComplete(XDR_Stream* xdr, void* value);
void xdr_TDownloadProcess(XDR_Stream* xdr, void* value);
void xdr_TSearchProcess(XDR_Stream* xdr, void* value);
} // namespace IPC_DA_DBClient
