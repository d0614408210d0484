#define VQLINK_BUILDING 1
#include "DBClient_impl.h"

#include "ConnectionManager.h"
#include "ORTU_Object_Manager.h"
#include "SHA1.h"
#include "vqlink_callbacks.h"

#include <cstring>

void password_proof(const char* password, size_t password_length, const char* token,
                    char digest[41]) {
    SHA1_Context context;
    context.update(password, password_length);
    if (token)
        context.update(token, std::strlen(token));
    std::uint8_t bytes[SHA1_Context::DIGEST_SIZE];
    context.final(bytes);
    sha1_hex(bytes, digest);
}

void DBClient_impl::VerifyPassword(IPC_DA_DBClient::TVerifyRsp* result,
                                   const IPC_DA_DBClient::TVerifyReq* argument) {
    ConnectionManager::instance()->password_proof(argument->token, result->digest);
}

void DBClient_impl::SelectResult(const IPC_DA_DBClient::TSelectResult* argument) {
    if (SelectResultCallback callback = VQLink_Callbacks::select_result.load())
        callback(argument);
}

void DBClient_impl::DeleteComplete(const IPC_DA_DBClient::TDeleteComplete* argument) {
    if (DeleteCompleteCallback callback = VQLink_Callbacks::delete_complete.load())
        callback(argument);
}

void DBClient_impl::DownloadProcess(const IPC_DA_DBClient::TDownloadProcess* argument) {
    if (DownloadProcessCallback callback = VQLink_Callbacks::download_process.load())
        callback(argument);
}

void DBClient_impl::SearchProcess(const IPC_DA_DBClient::TSearchProcess* argument) {
    if (SearchProcessCallback callback = VQLink_Callbacks::search_process.load())
        callback(argument);
}

QREX_Servant* DBClient_impl::factory(QREX_Server_Dispatcher*) {
    return ORTU_Singleton<DBClient_impl>::instance();
}

namespace {
const QREX_Interface_Def dbclient_interfaces[2] = {
    {0, nullptr, nullptr, 0, nullptr},
    IPC_DA_DBClient::DBClient_interface(&DBClient_impl::factory),
};
} // namespace

const QREX_Module_Def IPC_DA_DBClient_definition =
    IPC_DA_DBClient::module_definition(dbclient_interfaces);
