// The archive server's interface DBServer (module IPC_DA_DBServer): its wire
// numbers, the abstract interface, the client proxy the library calls it
// through, and the member table and stubs a server serves it with.
#pragma once

#include "IPC_DA_Types.h"
#include "QREX_Client.h"
#include "QREX_Server.h"

namespace IPC_DA_DBServer {

constexpr qrex_uint32_t MODULE_ID = 0x69;
constexpr qrex_uint32_t DBServer_ID = 1;
constexpr qrex_uint32_t DBServer_HASH = 0xEAA796FBu;

enum DBServer_Member : qrex_uint32_t {
    m_Initialize = 1,
    m_GetStatus = 2,
    m_SQLExecute = 3,
    m_Delete = 4,
    m_Download = 5,
    m_CancelOperation = 6,
    m_SearchText = 7,
    m_GetServerType = 8,
    DBServer_MEMBER_COUNT = 9, // member id 0 is unused
};

constexpr qrex_uint32_t dbserver_call_id(qrex_uint32_t member, bool oneway) {
    return qrex_make_call_id(MODULE_ID, DBServer_ID, oneway ? 1 : 0, member);
}

constexpr qrex_uint32_t CALL_Initialize = dbserver_call_id(m_Initialize, false);
constexpr qrex_uint32_t CALL_GetStatus = dbserver_call_id(m_GetStatus, false);
constexpr qrex_uint32_t CALL_SQLExecute = dbserver_call_id(m_SQLExecute, true);
constexpr qrex_uint32_t CALL_Delete = dbserver_call_id(m_Delete, true);
constexpr qrex_uint32_t CALL_Download = dbserver_call_id(m_Download, true);
constexpr qrex_uint32_t CALL_CancelOperation = dbserver_call_id(m_CancelOperation, true);
constexpr qrex_uint32_t CALL_SearchText = dbserver_call_id(m_SearchText, true);
constexpr qrex_uint32_t CALL_GetServerType = dbserver_call_id(m_GetServerType, false);
static_assert(CALL_Initialize == 0x69010001u && CALL_SQLExecute == 0x69010103u &&
              CALL_SearchText == 0x69010107u && CALL_GetServerType == 0x69010008u);

// Result records come in with null pointers; decoding allocates their
// strings, which the caller gives back with the record's _Free.
class DBServer : public QREX_Servant {
public:
    virtual void Initialize(TInitializeResult* result, const TInitialize* argument) = 0;
    virtual void GetStatus(TStatus* result) = 0;
    virtual void SQLExecute(const TSQLExecute* argument) = 0;
    virtual void Delete(const TDelete* argument) = 0;
    virtual void Download(const TDownload* argument) = 0;
    virtual void CancelOperation(const TCancelOperation* argument) = 0;
    virtual void SearchText(const TSearchText* argument) = 0;
    virtual qrex_int32_t GetServerType() = 0;
};

// One channel call per member; errors of the call pass to the caller as
// they are. The channel is not owned.
class DBServerProxy : public DBServer {
public:
    explicit DBServerProxy(QREX_Client_Connection* channel) : channel_(channel) {}
    ~DBServerProxy() override = default;

    void release() override {}
    void Initialize(TInitializeResult* result, const TInitialize* argument) override;
    void GetStatus(TStatus* result) override;
    void SQLExecute(const TSQLExecute* argument) override;
    void Delete(const TDelete* argument) override;
    void Download(const TDownload* argument) override;
    void CancelOperation(const TCancelOperation* argument) override;
    void SearchText(const TSearchText* argument) override;
    qrex_int32_t GetServerType() override;

private:
    QREX_Client_Connection* channel_;
};

// The serving side. The member table is fixed; the factory belongs to the
// server, so the interface and module records are built around it:
//
//     static const QREX_Interface_Def interfaces[] = {
//         {}, IPC_DA_DBServer::DBServer_interface(&my_factory)};
//     static const QREX_Module_Def module = IPC_DA_DBServer::module_definition(interfaces);
extern const QREX_Member_Def DBServer_members[DBServer_MEMBER_COUNT];

constexpr QREX_Interface_Def DBServer_interface(QREX_Servant_Factory factory) {
    return QREX_Interface_Def{DBServer_MEMBER_COUNT, factory, DBServer_members, DBServer_HASH,
                              "DBServer"};
}

constexpr QREX_Module_Def module_definition(const QREX_Interface_Def* interfaces) {
    return QREX_Module_Def{QREX_MODULE_DEF_MAGIC, MODULE_ID, 2, interfaces, "IPC_DA_DBServer"};
}

} // namespace IPC_DA_DBServer
