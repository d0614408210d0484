// The library's servant of DBClient: it answers the server's password
// challenge itself and hands every other call, as the decoded record, to the
// callback the host registered for it.
#pragma once

#include "IPC_DA_DBClient.h"

class DBClient_impl : public IPC_DA_DBClient::DBClient {
public:
    DBClient_impl() = default;
    ~DBClient_impl() override = default;

    // Shared by every connection and kept until the runtime stops, so a
    // dispatcher letting go of it changes nothing.
    void release() override {}

    // The digest of the stored password followed by the token.
    void VerifyPassword(IPC_DA_DBClient::TVerifyRsp* result,
                        const IPC_DA_DBClient::TVerifyReq* argument) override;
    void SelectResult(const IPC_DA_DBClient::TSelectResult* argument) override;
    void DeleteComplete(const IPC_DA_DBClient::TDeleteComplete* argument) override;
    void DownloadProcess(const IPC_DA_DBClient::TDownloadProcess* argument) override;
    void SearchProcess(const IPC_DA_DBClient::TSearchProcess* argument) override;

    // The interface definition's factory: ignores the dispatcher and returns
    // the singleton.
    static QREX_Servant* factory(QREX_Server_Dispatcher* dispatcher);
};

// The 40 lowercase hexadecimal characters of SHA-1(password, token) and a
// terminator.
void password_proof(const char* password, size_t password_length, const char* token,
                    char digest[41]);

// The module the serving thread of every connection registers.
extern const QREX_Module_Def IPC_DA_DBClient_definition;
