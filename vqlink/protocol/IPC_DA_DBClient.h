// The library's interface DBClient (module IPC_DA_DBClient), which the
// archive server calls over the back connection: wire numbers, the abstract
// interface, the member table and stubs the library serves it with, and the
// proxy a server calls it through.
#pragma once

#include "IPC_DA_Types.h"
#include "QREX_Client.h"
#include "QREX_Server.h"

namespace IPC_DA_DBClient {

constexpr qrex_uint32_t MODULE_ID = 0x6A;
constexpr qrex_uint32_t DBClient_ID = 1;
constexpr qrex_uint32_t DBClient_HASH = 0xF334D2FCu;

enum DBClient_Member : qrex_uint32_t {
    m_VerifyPassword = 1,
    m_SelectResult = 2,
    m_DeleteComplete = 3,
    m_DownloadProcess = 4,
    m_SearchProcess = 5,
    DBClient_MEMBER_COUNT = 6, // member id 0 is unused
};

constexpr qrex_uint32_t dbclient_call_id(qrex_uint32_t member, bool oneway) {
    return qrex_make_call_id(MODULE_ID, DBClient_ID, oneway ? 1 : 0, member);
}

constexpr qrex_uint32_t CALL_VerifyPassword = dbclient_call_id(m_VerifyPassword, false);
constexpr qrex_uint32_t CALL_SelectResult = dbclient_call_id(m_SelectResult, true);
constexpr qrex_uint32_t CALL_DeleteComplete = dbclient_call_id(m_DeleteComplete, true);
constexpr qrex_uint32_t CALL_DownloadProcess = dbclient_call_id(m_DownloadProcess, true);
constexpr qrex_uint32_t CALL_SearchProcess = dbclient_call_id(m_SearchProcess, true);
static_assert(CALL_VerifyPassword == 0x6A010001u && CALL_SearchProcess == 0x6A010105u);

// Argument records live only for the duration of the call.
class DBClient : public QREX_Servant {
public:
    virtual void VerifyPassword(TVerifyRsp* result, const TVerifyReq* argument) = 0;
    virtual void SelectResult(const TSelectResult* argument) = 0;
    virtual void DeleteComplete(const TDeleteComplete* argument) = 0;
    virtual void DownloadProcess(const TDownloadProcess* argument) = 0;
    virtual void SearchProcess(const TSearchProcess* argument) = 0;
};

extern const QREX_Member_Def DBClient_members[DBClient_MEMBER_COUNT];

constexpr QREX_Interface_Def DBClient_interface(QREX_Servant_Factory factory) {
    return QREX_Interface_Def{DBClient_MEMBER_COUNT, factory, DBClient_members, DBClient_HASH,
                              "DBClient"};
}

constexpr QREX_Module_Def module_definition(const QREX_Interface_Def* interfaces) {
    return QREX_Module_Def{QREX_MODULE_DEF_MAGIC, MODULE_ID, 2, interfaces, "IPC_DA_DBClient"};
}

// The server's side: one channel call per member. The channel is not owned.
class DBClientProxy : public DBClient {
public:
    explicit DBClientProxy(QREX_Client_Connection* channel) : channel_(channel) {}
    ~DBClientProxy() override = default;

    void release() override {}
    void VerifyPassword(TVerifyRsp* result, const TVerifyReq* argument) override;
    void SelectResult(const TSelectResult* argument) override;
    void DeleteComplete(const TDeleteComplete* argument) override;
    void DownloadProcess(const TDownloadProcess* argument) override;
    void SearchProcess(const TSearchProcess* argument) override;

private:
    QREX_Client_Connection* channel_;
};

} // namespace IPC_DA_DBClient
