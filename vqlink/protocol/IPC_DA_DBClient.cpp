#include "IPC_DA_DBClient.h"

#include "IPC_DA_Stub.h"

namespace IPC_DA_DBClient {

using ipc_da::arg;
using ipc_da::Local_Record;

namespace {

DBClient* servant_of(QREX_Servant* servant) {
    return static_cast<DBClient*>(servant);
}

void stub_VerifyPassword(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    Local_Record<TVerifyReq> argument(xdr_TVerifyReq);
    d->read_args(argument.get(), xdr_TVerifyReq);
    Local_Record<TVerifyRsp> result(xdr_TVerifyRsp);
    servant_of(s)->VerifyPassword(result.get(), argument.get());
    d->send_reply(result.get(), xdr_TVerifyRsp);
}

// The record the servant sees is the one just decoded; it is released as
// soon as the servant returns.
template <class T, void (DBClient::*member)(const T*)>
void oneway_stub(QREX_Server_Dispatcher* d, QREX_Servant* s, XDR_function function) {
    Local_Record<T> argument(function);
    d->read_args(argument.get(), function);
    (servant_of(s)->*member)(argument.get());
}

void stub_SelectResult(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    oneway_stub<TSelectResult, &DBClient::SelectResult>(d, s, xdr_TSelectResult);
}
void stub_DeleteComplete(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    oneway_stub<TDeleteComplete, &DBClient::DeleteComplete>(d, s, xdr_TDeleteComplete);
}
void stub_DownloadProcess(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    oneway_stub<TDownloadProcess, &DBClient::DownloadProcess>(d, s, xdr_TDownloadProcess);
}
void stub_SearchProcess(QREX_Server_Dispatcher* d, QREX_Servant* s) {
    oneway_stub<TSearchProcess, &DBClient::SearchProcess>(d, s, xdr_TSearchProcess);
}

} // namespace

const QREX_Member_Def DBClient_members[DBClient_MEMBER_COUNT] = {
    {nullptr, 0, nullptr},
    {stub_VerifyPassword, 0, "VerifyPassword"},
    {stub_SelectResult, QREX_MEMBER_ONEWAY, "SelectResult"},
    {stub_DeleteComplete, QREX_MEMBER_ONEWAY, "DeleteComplete"},
    {stub_DownloadProcess, QREX_MEMBER_ONEWAY, "DownloadProcess"},
    {stub_SearchProcess, QREX_MEMBER_ONEWAY, "SearchProcess"},
};

void DBClientProxy::VerifyPassword(TVerifyRsp* result, const TVerifyReq* argument) {
    channel_->call(CALL_VerifyPassword, DBClient_HASH, result, xdr_TVerifyRsp, arg(argument),
                   xdr_TVerifyReq, 0);
}

void DBClientProxy::SelectResult(const TSelectResult* argument) {
    channel_->call(CALL_SelectResult, DBClient_HASH, nullptr, qrex_xdr_empty, arg(argument),
                   xdr_TSelectResult, QREX_FLAG_NO_REPLY);
}

void DBClientProxy::DeleteComplete(const TDeleteComplete* argument) {
    channel_->call(CALL_DeleteComplete, DBClient_HASH, nullptr, qrex_xdr_empty, arg(argument),
                   xdr_TDeleteComplete, QREX_FLAG_NO_REPLY);
}

void DBClientProxy::DownloadProcess(const TDownloadProcess* argument) {
    channel_->call(CALL_DownloadProcess, DBClient_HASH, nullptr, qrex_xdr_empty, arg(argument),
                   xdr_TDownloadProcess, QREX_FLAG_NO_REPLY);
}

void DBClientProxy::SearchProcess(const TSearchProcess* argument) {
    channel_->call(CALL_SearchProcess, DBClient_HASH, nullptr, qrex_xdr_empty, arg(argument),
                   xdr_TSearchProcess, QREX_FLAG_NO_REPLY);
}

} // namespace IPC_DA_DBClient
