// The serving side of the RPC framework: static definitions of the modules
// served, and the dispatcher that reads one request at a time, checks its
// target, creates the interface's servant on first use, runs the member's
// stub and answers with a reply or an error reply.
#pragma once

#include "QREX_Header.h"
#include "QREX_Memory.h"
#include "QREX_TCP_Stream.h"
#include "QREX_XDR.h"

#include <memory>

// "QMD" and a zero byte.
constexpr qrex_uint32_t QREX_MODULE_DEF_MAGIC = 0x00444D51u;

class QREX_Server_Dispatcher;

// What a factory makes. The dispatcher owns it and disposes of it through
// release(), its first virtual operation.
class QREX_Servant {
public:
    virtual void release() = 0;
    virtual ~QREX_Servant() = default;
};

typedef QREX_Servant* (*QREX_Servant_Factory)(QREX_Server_Dispatcher* dispatcher);
// A stub calls read_args once, the servant's method, and for a two-way
// member send_reply once.
typedef void (*QREX_Stub)(QREX_Server_Dispatcher* dispatcher, QREX_Servant* servant);

// flags_ of a member.
constexpr qrex_uint32_t QREX_MEMBER_ONEWAY = 0x1;

struct QREX_Member_Def {
    QREX_Stub stub_; // null: unused member id
    qrex_uint32_t flags_;
    const char* name_;
};

struct QREX_Interface_Def {
    qrex_uint32_t member_count_; // 0: unused interface id
    QREX_Servant_Factory factory_;
    const QREX_Member_Def* members_; // indexed by member id
    qrex_uint32_t hash_;
    const char* name_;
};

struct QREX_Module_Def {
    qrex_uint32_t magic_; // QREX_MODULE_DEF_MAGIC
    qrex_uint32_t id_;    // 0..255
    qrex_uint32_t interface_count_;
    const QREX_Interface_Def* interfaces_; // indexed by interface id
    const char* name_;
};

class QREX_Server_Dispatcher {
public:
    explicit QREX_Server_Dispatcher(const QREX_Module_Def* def = nullptr);
    // For stubs: decodes the current request's arguments.
    virtual void read_args(void* arguments, XDR_function function);
    // For stubs of two-way members: a SUCCESS reply carrying the result.
    virtual void send_reply(void* result, XDR_function function);
    // Releases every servant it created.
    virtual ~QREX_Server_Dispatcher();

    QREX_Server_Dispatcher(const QREX_Server_Dispatcher&) = delete;
    QREX_Server_Dispatcher& operator=(const QREX_Server_Dispatcher&) = delete;

    // A second module with an id already taken is a programming error; the
    // first one stays, with its servants.
    void register_module(const QREX_Module_Def* def);

    // Reads one request from stream and handles it completely. For
    // REQUEST_WITH_TS the sender's delay in milliseconds goes to *delay.
    void dispatch(QREX_TCP_Stream* stream, qrex_uint32_t* delay = nullptr);
    // The handling alone, for a request whose header the caller has already
    // put into request_header().
    void dispatch_call(QREX_TCP_Stream* stream, qrex_uint32_t* delay = nullptr);
    qrex_header& request_header() { return header_; }

    // The member's name, or fallback when module, interface or member is
    // unknown or has no name.
    const char* member_name(qrex_uint32_t call_id, const char* fallback) const;

    qrex_uint32_t module_count() const { return module_count_; }
    // The servant serving an interface, null until its first call.
    QREX_Servant* servant(qrex_uint32_t mod_id, qrex_uint32_t if_id) const;

private:
    struct Module_Entry {
        const QREX_Module_Def* def_;
        QREX_Servant** servants_; // one per interface id, from qrex_malloc
    };
    struct Qrex_Deleter {
        void operator()(void* p) const { qrex_free(p); }
    };

    void handle(qrex_uint32_t* delay);
    void send_error(qrex_int32_t status);
    void send(qrex_int32_t status, void* result, XDR_function function);

    qrex_uint32_t module_count_;
    std::unique_ptr<Module_Entry[], Qrex_Deleter> modules_;
    QREX_TCP_Stream* stream_;
    qrex_header header_;
    bool reply_started_;
};
