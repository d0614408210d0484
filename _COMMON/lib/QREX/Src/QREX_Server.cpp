#include "QREX_Server.h"

#include "ORTU_OS.h"
#include "QREX_Client.h"
#include "QREX_Errors.h"

#include <cstring>

namespace {

const char* text_or_empty(const char* s) {
    return s ? s : "";
}

bool is_request(qrex_int32_t msg_type) {
    return msg_type == REQUEST || msg_type == REQUEST_WITH_HASH || msg_type == REQUEST_WITH_TS;
}

} // namespace

QREX_Server_Dispatcher::QREX_Server_Dispatcher(const QREX_Module_Def* def)
    : module_count_(0), stream_(nullptr), header_{}, reply_started_(false) {
    ORTU_DEBUG(qrex, 2, "SrvDisp.0x%x created\n", qrex_tag(this));
    if (def)
        register_module(def);
}

QREX_Server_Dispatcher::~QREX_Server_Dispatcher() {
    for (qrex_uint32_t m = 0; m < module_count_; ++m) {
        Module_Entry& entry = modules_[m];
        if (!entry.def_)
            continue;
        const qrex_uint32_t count = entry.def_->interface_count_;
        for (qrex_uint32_t i = 0; i < count; ++i) {
            if (QREX_Servant* s = entry.servants_[i])
                s->release();
        }
        qrex_free(entry.servants_);
    }
    modules_.reset();
    ORTU_DEBUG(qrex, 2, "SrvDisp.0x%x destroyed\n", qrex_tag(this));
}

void QREX_Server_Dispatcher::register_module(const QREX_Module_Def* def) {
    ORTU_ASSERT(def && def->magic_ == QREX_MODULE_DEF_MAGIC);
    if (!def || def->magic_ != QREX_MODULE_DEF_MAGIC)
        return;
    ORTU_ASSERT(def->id_ <= 255);
    if (def->id_ > 255)
        return;
    ORTU_DEBUG(qrex, 2, "SrvDisp.0x%x, register_module(0x%x) id = %d, count = %u\n", qrex_tag(this),
               qrex_tag(def), (int)def->id_, def->interface_count_);

    if (def->id_ >= module_count_) {
        const qrex_uint32_t grown = def->id_ + 1;
        std::unique_ptr<Module_Entry[], Qrex_Deleter> table(
            static_cast<Module_Entry*>(qrex_malloc(grown * sizeof(Module_Entry))));
        if (module_count_)
            std::memcpy(table.get(), modules_.get(), module_count_ * sizeof(Module_Entry));
        std::memset(table.get() + module_count_, 0, (grown - module_count_) * sizeof(Module_Entry));
        modules_ = std::move(table);
        module_count_ = grown;
    }

    Module_Entry& entry = modules_[def->id_];
    if (entry.def_) {
        ORTU_DEBUG(qrex, 0, "SrvDisp.0x%x, module %d has been already registered\n", qrex_tag(this),
                   (int)def->id_);
        ORTU_ASSERT(!modules_[def->id_].def_);
        return;
    }
    ORTU_ASSERT(def->interface_count_ > 0);
    const size_t slots = def->interface_count_ ? def->interface_count_ : 1;
    entry.servants_ = static_cast<QREX_Servant**>(qrex_malloc(slots * sizeof(QREX_Servant*)));
    std::memset(entry.servants_, 0, slots * sizeof(QREX_Servant*));
    entry.def_ = def;
}

QREX_Servant* QREX_Server_Dispatcher::servant(qrex_uint32_t mod_id, qrex_uint32_t if_id) const {
    if (mod_id >= module_count_ || !modules_[mod_id].def_ ||
        if_id >= modules_[mod_id].def_->interface_count_)
        return nullptr;
    return modules_[mod_id].servants_[if_id];
}

const char* QREX_Server_Dispatcher::member_name(qrex_uint32_t call_id, const char* fallback) const {
    const qrex_uint32_t mod_id = qrex_call_mod_id(call_id);
    if (mod_id >= module_count_ || !modules_[mod_id].def_)
        return fallback;
    const QREX_Module_Def* def = modules_[mod_id].def_;
    const qrex_uint32_t if_id = qrex_call_if_id(call_id);
    if (if_id >= def->interface_count_ || def->interfaces_[if_id].member_count_ == 0)
        return fallback;
    const QREX_Interface_Def& iff = def->interfaces_[if_id];
    const qrex_uint32_t m_id = qrex_call_m_id(call_id);
    if (m_id >= iff.member_count_ || !iff.members_ || !iff.members_[m_id].name_)
        return fallback;
    return iff.members_[m_id].name_;
}

// ---------------------------------------------------------------- dispatching

void QREX_Server_Dispatcher::dispatch(QREX_TCP_Stream* stream, qrex_uint32_t* delay) {
    stream->prepare_input();
    stream->skip_record();
    xdr_qrex_header_ext(stream->input(), &header_);
    if (!is_request(header_.msg_type)) {
        ORTU_DEBUG(qrex, 0, "SrvDisp.0x%x, invalid packet type %d (%s), request expected.\n",
                   qrex_tag(this), header_.msg_type, qrex_msg_type_name(header_.msg_type));
        throw_logical_error("QREX_Server_Dispatcher::read_xdr_header", "Unknown QREX packet type");
    }
    dispatch_call(stream, delay);
}

void QREX_Server_Dispatcher::dispatch_call(QREX_TCP_Stream* stream, qrex_uint32_t* delay) {
    ORTU_ASSERT(!stream_);
    stream_ = stream;
    ORTU_DEBUG(qrex, 3, "SrvDisp.0x%x, dispatch(0x%x) enter\n", qrex_tag(this), qrex_tag(stream));
    // Leaves the request also when the handling raises.
    struct Leave {
        QREX_Server_Dispatcher* self;
        ~Leave() {
            ORTU_DEBUG(qrex, 3, "SrvDisp.0x%x, dispatch(0x%x) exit\n", qrex_tag(self),
                       qrex_tag(self->stream_));
            self->stream_ = nullptr;
        }
    } leave{this};
    handle(delay);
}

void QREX_Server_Dispatcher::handle(qrex_uint32_t* delay) {
    const qrex_uint32_t call_id = header_.call_id;
    const qrex_uint32_t mod_id = qrex_call_mod_id(call_id);
    const qrex_uint32_t if_id = qrex_call_if_id(call_id);
    const qrex_uint32_t flags = qrex_call_flags(call_id);
    const qrex_uint32_t m_id = qrex_call_m_id(call_id);
    const bool one_way = (flags & 1) != 0;

    ORTU_DEBUG(qrex, 3,
               "SrvDisp.0x%x, xid = 0x%x, mod_id = %d, if_id = %d, m_id = %d, flags = 0x%x\n",
               qrex_tag(this), header_.xid, (int)mod_id, (int)if_id, (int)m_id, flags);

    if (header_.msg_type == REQUEST_WITH_TS && delay) {
        const qrex_uint32_t now = ORTU_OS::tick_count();
        if (now >= header_.ts)
            *delay = now - header_.ts;
    }

    if (mod_id >= module_count_ || !modules_[mod_id].def_) {
        ORTU_DEBUG(qrex, 0, "SrvDisp.0x%x invalid module %d, call_id = 0x%x\n", qrex_tag(this),
                   (int)mod_id, call_id);
        if (!one_way)
            send_error(INVALID_MODULE);
        return;
    }
    Module_Entry& entry = modules_[mod_id];
    const QREX_Module_Def* def = entry.def_;
    const char* module_name = text_or_empty(def->name_);

    if (if_id >= def->interface_count_ || def->interfaces_[if_id].member_count_ == 0) {
        ORTU_DEBUG(qrex, 0, "SrvDisp.0x%x invalid interface %d, call_id = 0x%x (%s)\n",
                   qrex_tag(this), (int)if_id, call_id, module_name);
        if (!one_way)
            send_error(INVALID_INTERFACE);
        return;
    }
    const QREX_Interface_Def& iff = def->interfaces_[if_id];
    const char* interface_name = text_or_empty(iff.name_);
    const char* name = member_name(call_id, "<UNKNOWN_MEMBER>");

    ORTU_DEBUG(qrex, 2, "SrvDisp.0x%x, %s::%s::%s()\n", qrex_tag(this), module_name, interface_name,
               name);

    if (header_.msg_type == REQUEST_WITH_HASH && header_.hash != iff.hash_) {
        ORTU_DEBUG(qrex, 0,
                   "SrvDisp.0x%x invalid hash 0x%x, expected 0x%x, call_id = 0x%x (%s::%s)\n",
                   qrex_tag(this), header_.hash, iff.hash_, call_id, module_name, interface_name);
        if (!one_way)
            send_error(INVALID_HASH);
        return;
    }

    if (m_id >= iff.member_count_ || !iff.members_ || !iff.members_[m_id].stub_) {
        ORTU_DEBUG(qrex, 0, "SrvDisp.0x%x invalid member %d, call_id = 0x%x (%s::%s)\n",
                   qrex_tag(this), (int)m_id, call_id, module_name, interface_name);
        if (!one_way)
            send_error(INVALID_MEMBER);
        return;
    }
    const QREX_Member_Def& member = iff.members_[m_id];

    ORTU_ASSERT(iff.factory_);
    QREX_Servant*& servant = entry.servants_[if_id];
    if (!servant) {
        servant = iff.factory_ ? iff.factory_(this) : nullptr;
        if (!servant) {
            ORTU_DEBUG(qrex, 0,
                       "SrvDisp.0x%x empty servant for interface %d, call_id = 0x%x (%s)\n",
                       qrex_tag(this), (int)if_id, call_id, module_name);
            throw_internal_error("QREX_Server_Dispatcher::dispatch_call",
                                 "Empty servant for interface");
        }
        ORTU_DEBUG(qrex, 2,
                   "SrvDisp.0x%x servant 0x%x created for mod_id = %d, if_id = %d (%s::%s)\n",
                   qrex_tag(this), qrex_tag(servant), (int)mod_id, (int)if_id, module_name,
                   interface_name);
    }

    reply_started_ = false;
    try {
        member.stub_(this, servant);
    } catch (const QREX_XDR_Error& e) {
        ORTU_DEBUG(qrex, 0, "SrvDisp.0x%x xdr error '%s' in stub, call_id = 0x%x (%s::%s::%s)\n",
                   qrex_tag(this), e.what(), call_id, module_name, interface_name, name);
        if (reply_started_)
            throw;
        if (!one_way)
            send_error(GARBAGE_ARG);
    }
}

// ---------------------------------------------------------------- stubs' side

void QREX_Server_Dispatcher::read_args(void* arguments, XDR_function function) {
    ORTU_ASSERT(stream_);
    if (!stream_)
        throw_logical_error("QREX_Server_Dispatcher::read_args", "no request");
    stream_->prepare_input();
    function(stream_->input(), arguments);
    // The servant acts on the arguments: only once the whole record is in.
    stream_->finish_record();
}

void QREX_Server_Dispatcher::send_reply(void* result, XDR_function function) {
    send(SUCCESS, result, function);
}

void QREX_Server_Dispatcher::send_error(qrex_int32_t status) {
    send(status, nullptr, qrex_xdr_empty);
}

void QREX_Server_Dispatcher::send(qrex_int32_t status, void* result, XDR_function function) {
    ORTU_ASSERT(stream_);
    if (!stream_)
        throw_logical_error("QREX_Server_Dispatcher::send_reply", "no request");
    reply_started_ = true;
    qrex_header reply{};
    reply.xid = header_.xid;
    reply.msg_type = REPLY;
    reply.reply_status = status;
    stream_->prepare_output();
    try {
        xdr_qrex_header(stream_->output(), &reply);
        function(stream_->output(), result);
    } catch (const QREX_Communication_Error&) {
        throw;
    } catch (...) {
        // A result over its limits: the next reply must start on a boundary.
        abort_partial_record(*stream_);
        throw;
    }
    stream_->end_record();
}
