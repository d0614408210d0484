// The release and name functions that the library exports for every record
// and enumeration a host handles.
#define VQLINK_BUILDING 1
#include "IPC_DA_Types.h"

#include "QREX_Memory.h"

namespace {

template <class T> void release(T* record, XDR_function function) {
    if (record)
        XDR_Free(record, function);
}

template <class T> void release_clone(T* record, XDR_function function) {
    if (!record)
        return;
    XDR_Free(record, function);
    qrex_free(record);
}

} // namespace

// Types that own nothing still run their function: it touches no field.
#define VQ_DEFINE_RELEASE(ns, type, fn)                                                            \
    void ns type##_Free(ns type* record) {                                                         \
        release(record, fn);                                                                       \
    }                                                                                              \
    void ns type##_Free_Clone(ns type* record) {                                                   \
        release_clone(record, fn);                                                                 \
    }

VQ_DEFINE_RELEASE(, DB_ID, xdr_DB_ID)
VQ_DEFINE_RELEASE(, DB_ID_List, xdr_DB_ID_List)
VQ_DEFINE_RELEASE(, TStamp, xdr_TStamp)
VQ_DEFINE_RELEASE(, TDAError, xdr_TDAError)
VQ_DEFINE_RELEASE(, TGCallID, xdr_TGCallID)
VQ_DEFINE_RELEASE(, t_da_record_id, xdr_t_da_record_id)
VQ_DEFINE_RELEASE(, t_da_user_descr, xdr_t_da_user_descr)
VQ_DEFINE_RELEASE(, t_da_callrec_descr, xdr_t_da_callrec_descr)
VQ_DEFINE_RELEASE(, t_da_record_descr, xdr_t_da_record_descr)

VQ_DEFINE_RELEASE(IPC_DA_DBServer::, TInitialize, IPC_DA_DBServer::xdr_TInitialize)
VQ_DEFINE_RELEASE(IPC_DA_DBServer::, TInitializeResult, IPC_DA_DBServer::xdr_TInitializeResult)
VQ_DEFINE_RELEASE(IPC_DA_DBServer::, TStatus, IPC_DA_DBServer::xdr_TStatus)
VQ_DEFINE_RELEASE(IPC_DA_DBServer::, TSQLExecute, IPC_DA_DBServer::xdr_TSQLExecute)
VQ_DEFINE_RELEASE(IPC_DA_DBServer::, TDelete, IPC_DA_DBServer::xdr_TDelete)
VQ_DEFINE_RELEASE(IPC_DA_DBServer::, TDownload, IPC_DA_DBServer::xdr_TDownload)
VQ_DEFINE_RELEASE(IPC_DA_DBServer::, TSearchText, IPC_DA_DBServer::xdr_TSearchText)
VQ_DEFINE_RELEASE(IPC_DA_DBServer::, TCancelOperation, IPC_DA_DBServer::xdr_TCancelOperation)

VQ_DEFINE_RELEASE(IPC_DA_DBClient::, TSelectResult, IPC_DA_DBClient::xdr_TSelectResult)
VQ_DEFINE_RELEASE(IPC_DA_DBClient::, TDeleteComplete, IPC_DA_DBClient::xdr_TDeleteComplete)
VQ_DEFINE_RELEASE(IPC_DA_DBClient::, TDownloadProcess, IPC_DA_DBClient::xdr_TDownloadProcess)
VQ_DEFINE_RELEASE(IPC_DA_DBClient::, TSearchProcess, IPC_DA_DBClient::xdr_TSearchProcess)
VQ_DEFINE_RELEASE(IPC_DA_DBClient::, TVerifyReq, IPC_DA_DBClient::xdr_TVerifyReq)
VQ_DEFINE_RELEASE(IPC_DA_DBClient::, TVerifyRsp, IPC_DA_DBClient::xdr_TVerifyRsp)

const char* __E2S_t_da_type(t_da_type value) {
    switch (value) {
    case DAT_IM:
        return "DAT_IM";
    case DAT_RESERVED:
        return "DAT_RESERVED";
    case DAT_CALLREC:
        return "DAT_CALLREC";
    case DAT_VM:
        return "DAT_VM";
    case DAT_FAX:
        return "DAT_FAX";
    case DAT_CAD:
        return "DAT_CAD";
    case DAT_WEBCHAT:
        return "DAT_WEBCHAT";
    case DAT_TOTAL:
        return "DAT_TOTAL";
    }
    return "<Unknown:t_da_type>";
}

const char* __E2S_t_da_file_format(t_da_file_format value) {
    switch (value) {
    case DAFF_DEFAULT:
        return "DAFF_DEFAULT";
    case DAFF_FAX_PDF:
        return "DAFF_FAX_PDF";
    }
    return "<Unknown:t_da_file_format>";
}

const char* __E2S_TDAErrorCode(TDAErrorCode value) {
    switch (value) {
    case deUnknown:
        return "deUnknown";
    case deSuccess:
        return "deSuccess";
    case deNotReady:
        return "deNotReady";
    case deSQLError:
        return "deSQLError";
    case deDBFailed:
        return "deDBFailed";
    case deReadFailed:
        return "deReadFailed";
    case deCancelled:
        return "deCancelled";
    }
    return "<Unknown:TDAErrorCode>";
}

namespace IPC_DA_DBServer {

const char* __E2S_State(State value) {
    switch (value) {
    case stBusy:
        return "stBusy";
    case stReady:
        return "stReady";
    case stFailed:
        return "stFailed";
    }
    return "<Unknown:State>";
}

const char* __E2S_Operation(Operation value) {
    switch (value) {
    case opSQLExecute:
        return "opSQLExecute";
    case opDelete:
        return "opDelete";
    case opDownload:
        return "opDownload";
    case opSearchText:
        return "opSearchText";
    }
    return "<Unknown:Operation>";
}

const char* __E2S_SearchMode(SearchMode value) {
    switch (value) {
    case smAllOf:
        return "smAllOf";
    case smAnyOf:
        return "smAnyOf";
    }
    return "<Unknown:SearchMode>";
}

} // namespace IPC_DA_DBServer
