#include "IPC_DA_DBServer.h"

#include "IPC_DA_Stub.h"

namespace IPC_DA_DBServer {

using ipc_da::arg;
using ipc_da::Local_Record;

void DBServerProxy::Initialize(TInitializeResult* result, const TInitialize* argument) {
    channel_->call(CALL_Initialize, DBServer_HASH, result, xdr_TInitializeResult, arg(argument),
                   xdr_TInitialize, 0);
}

void DBServerProxy::GetStatus(TStatus* result) {
    channel_->call(CALL_GetStatus, DBServer_HASH, result, xdr_TStatus, nullptr, qrex_xdr_empty, 0);
}

void DBServerProxy::SQLExecute(const TSQLExecute* argument) {
    channel_->call(CALL_SQLExecute, DBServer_HASH, nullptr, qrex_xdr_empty, arg(argument),
                   xdr_TSQLExecute, QREX_FLAG_NO_REPLY);
}

void DBServerProxy::Delete(const TDelete* argument) {
    channel_->call(CALL_Delete, DBServer_HASH, nullptr, qrex_xdr_empty, arg(argument), xdr_TDelete,
                   QREX_FLAG_NO_REPLY);
}

void DBServerProxy::Download(const TDownload* argument) {
    channel_->call(CALL_Download, DBServer_HASH, nullptr, qrex_xdr_empty, arg(argument),
                   xdr_TDownload, QREX_FLAG_NO_REPLY);
}

void DBServerProxy::CancelOperation(const TCancelOperation* argument) {
    channel_->call(CALL_CancelOperation, DBServer_HASH, nullptr, qrex_xdr_empty, arg(argument),
                   xdr_TCancelOperation, QREX_FLAG_NO_REPLY);
}

void DBServerProxy::SearchText(const TSearchText* argument) {
    channel_->call(CALL_SearchText, DBServer_HASH, nullptr, qrex_xdr_empty, arg(argument),
                   xdr_TSearchText, QREX_FLAG_NO_REPLY);
}

qrex_int32_t DBServerProxy::GetServerType() {
    qrex_int32_t type = 0;
    channel_->call(CALL_GetServerType, DBServer_HASH, &type, qrex_xdr_int32, nullptr,
                   qrex_xdr_empty, 0);
    return type;
}

namespace {

DBServer* servant_of(QREX_Servant* servant) {
    return static_cast<DBServer*>(servant);
}

void stub_Initialize(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    Local_Record<TInitialize> argument(xdr_TInitialize);
    d->read_args(argument.get(), xdr_TInitialize);
    Local_Record<TInitializeResult> result(xdr_TInitializeResult);
    servant_of(s)->Initialize(result.get(), argument.get());
    d->send_reply(result.get(), xdr_TInitializeResult);
}

void stub_GetStatus(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    d->read_args(nullptr, qrex_xdr_empty);
    Local_Record<TStatus> result(xdr_TStatus);
    servant_of(s)->GetStatus(result.get());
    d->send_reply(result.get(), xdr_TStatus);
}

template <class T, void (DBServer::*member)(const T*)>
void oneway_stub(QREX_Server_Dispatcher* d, QREX_Servant* s, XDR_function function) {
    Local_Record<T> argument(function);
    d->read_args(argument.get(), function);
    (servant_of(s)->*member)(argument.get());
}

void stub_SQLExecute(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    oneway_stub<TSQLExecute, &DBServer::SQLExecute>(d, s, xdr_TSQLExecute);
}
void stub_Delete(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    oneway_stub<TDelete, &DBServer::Delete>(d, s, xdr_TDelete);
}
void stub_Download(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    oneway_stub<TDownload, &DBServer::Download>(d, s, xdr_TDownload);
}
void stub_CancelOperation(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    oneway_stub<TCancelOperation, &DBServer::CancelOperation>(d, s, xdr_TCancelOperation);
}
void stub_SearchText(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    oneway_stub<TSearchText, &DBServer::SearchText>(d, s, xdr_TSearchText);
}

void stub_GetServerType(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    d->read_args(nullptr, qrex_xdr_empty);
    qrex_int32_t type = servant_of(s)->GetServerType();
    d->send_reply(&type, qrex_xdr_int32);
}

} // namespace

const QREX_Member_Def DBServer_members[DBServer_MEMBER_COUNT] = {
    {nullptr, 0, nullptr},
    {stub_Initialize, 0, "Initialize"},
    {stub_GetStatus, 0, "GetStatus"},
    {stub_SQLExecute, QREX_MEMBER_ONEWAY, "SQLExecute"},
    {stub_Delete, QREX_MEMBER_ONEWAY, "Delete"},
    {stub_Download, QREX_MEMBER_ONEWAY, "Download"},
    {stub_CancelOperation, QREX_MEMBER_ONEWAY, "CancelOperation"},
    {stub_SearchText, QREX_MEMBER_ONEWAY, "SearchText"},
    {stub_GetServerType, 0, "GetServerType"},
};

} // namespace IPC_DA_DBServer
