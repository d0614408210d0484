#include "RequestProcessor.h"

#include "ORTU_Exception.h"
#include "PasswordProof.h"
#include "QREX_Errors.h"
#include "QREX_Header.h"
#include "QREX_Memory.h"
#include "QREX_Server.h"

#include <algorithm>
#include <cinttypes>

namespace vqarchive {

using namespace IPC_DA_DBServer;

std::string addressText(uint32_t address);

namespace {

bool isRequest(qrex_int32_t msgType) {
    return msgType == REQUEST || msgType == REQUEST_WITH_HASH || msgType == REQUEST_WITH_TS;
}

bool isInitialize(qrex_uint32_t callId) {
    return qrex_call_mod_id(callId) == MODULE_ID && qrex_call_if_id(callId) == DBServer_ID &&
           qrex_call_m_id(callId) == m_Initialize;
}

long long millisecondsUntil(SteadyTime deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now())
        .count();
}

const char* codeName(StoreCode code) {
    switch (code) {
    case StoreCode::success:
        return "success";
    case StoreCode::sqlError:
        return "SQL error";
    case StoreCode::dbFailed:
        return "database failure";
    case StoreCode::readFailed:
        return "read failure";
    case StoreCode::cancelled:
        return "cancelled";
    }
    return "not ready";
}

// A dispatcher whose factory hands out the connection's one servant.
class ProcessorDispatcher : public QREX_Server_Dispatcher {
public:
    ProcessorDispatcher(const QREX_Module_Def* def, QREX_Servant* servant)
        : QREX_Server_Dispatcher(def), servant_(servant) {}
    QREX_Servant* servant() const { return servant_; }

private:
    QREX_Servant* servant_;
};

QREX_Servant* servantOf(QREX_Server_Dispatcher* dispatcher) {
    return static_cast<ProcessorDispatcher*>(dispatcher)->servant();
}

// Two views of DBServer: the whole interface for proven clients, and one in
// which every member but Initialize is missing, so that the framework itself
// answers two-way requests with INVALID_MEMBER and drops one-way ones
// without reading their arguments.
struct Tables {
    QREX_Member_Def unprovenMembers[DBServer_MEMBER_COUNT];
    QREX_Interface_Def unprovenInterfaces[2];
    QREX_Interface_Def provenInterfaces[2];
    QREX_Module_Def unprovenModule;
    QREX_Module_Def provenModule;

    Tables() {
        for (qrex_uint32_t i = 0; i < DBServer_MEMBER_COUNT; ++i) {
            unprovenMembers[i] = DBServer_members[i];
            if (i != m_Initialize)
                unprovenMembers[i].stub_ = nullptr;
        }
        unprovenInterfaces[0] = QREX_Interface_Def{0, nullptr, nullptr, 0, nullptr};
        unprovenInterfaces[1] = QREX_Interface_Def{DBServer_MEMBER_COUNT, servantOf,
                                                   unprovenMembers, DBServer_HASH, "DBServer"};
        provenInterfaces[0] = QREX_Interface_Def{0, nullptr, nullptr, 0, nullptr};
        provenInterfaces[1] = DBServer_interface(servantOf);
        unprovenModule = module_definition(unprovenInterfaces);
        provenModule = module_definition(provenInterfaces);
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

char* copyText(const std::string& s) {
    return qrex_strdup(s.c_str());
}

// The proof's answer as it arrived. An answer longer than any right one
// still arrived: it is a wrong answer, not a failed exchange, so only its
// length is read (the rest of the reply is dropped with the record).
struct ProofAnswer {
    char digest[sizeof(IPC_DA_DBClient::TVerifyRsp::digest)] = {};
    bool overlong = false;
};

void xdr_ProofAnswer(XDR_Stream* xdr, void* value) {
    auto* answer = static_cast<ProofAnswer*>(value);
    qrex_uint32_t length = 0;
    xdr->XDR_uint32(&length);
    if (length >= sizeof answer->digest) {
        answer->overlong = true;
        return;
    }
    xdr->XDR_opaque(answer->digest, length);
    answer->digest[length] = '\0';
}

std::vector<uint32_t> idsOf(uint32_t count, const uint32_t* ids) {
    if (!ids || count == 0)
        return {};
    return std::vector<uint32_t>(ids, ids + count);
}

} // namespace

std::string addressText(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF);
    return text;
}

// ---------------------------------------------------------------- servant

class RequestProcessor::Servant : public DBServer {
public:
    explicit Servant(RequestProcessor& processor) : p_(processor) {}

    // The processor owns the servant; the dispatchers only borrow it.
    void release() override {}

    void Initialize(TInitializeResult* result, const TInitialize* argument) override {
        p_.initialize(result, argument);
    }
    void GetStatus(TStatus* result) override { p_.status(result); }
    qrex_int32_t GetServerType() override { return p_.serverType(); }

    void SQLExecute(const TSQLExecute* argument) override {
        auto job = std::make_shared<Job>();
        job->operation = opSQLExecute;
        job->id = argument->id;
        job->statement = argument->statement ? argument->statement : "";
        p_.enqueue(std::move(job));
    }
    void Delete(const TDelete* argument) override {
        auto job = std::make_shared<Job>();
        job->operation = opDelete;
        job->id = argument->id;
        job->recs = idsOf(argument->recs.recs_len, argument->recs.recs_val);
        p_.enqueue(std::move(job));
    }
    void Download(const TDownload* argument) override {
        auto job = std::make_shared<Job>();
        job->operation = opDownload;
        job->id = argument->id;
        job->recs = idsOf(argument->recs.recs_len, argument->recs.recs_val);
        p_.enqueue(std::move(job));
    }
    void SearchText(const TSearchText* argument) override {
        auto job = std::make_shared<Job>();
        job->operation = opSearchText;
        job->id = argument->id;
        job->recs = idsOf(argument->recs.recs_len, argument->recs.recs_val);
        job->mode = argument->criteria.mode;
        const uint32_t count = argument->criteria.strings.strings_len;
        const TSearchString* strings = argument->criteria.strings.strings_val;
        for (uint32_t i = 0; strings && i < count; ++i)
            job->phrases.emplace_back(strings[i].value ? strings[i].value : "");
        p_.enqueue(std::move(job));
    }
    void CancelOperation(const TCancelOperation* argument) override { p_.cancel(argument); }

private:
    RequestProcessor& p_;
};

// ---------------------------------------------------------------- back channel

// The back connection as the jobs use it: calls from the request thread
// and the worker one at a time, a broken connection stays broken, and the
// fault "close after N calls" is applied here.
class RequestProcessor::GuardedChannel : public QREX_Client_Connection {
public:
    GuardedChannel(std::unique_ptr<QREX_Client_Connection> inner, uint32_t limit)
        : inner_(std::move(inner)), limit_(limit) {}

    void call(qrex_uint32_t call_id, qrex_uint32_t hash, void* result, XDR_function result_function,
              void* arguments, XDR_function argument_function, qrex_uint32_t flags) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (!inner_)
            throw_comm_error("RequestProcessor::back_channel", -static_cast<int>(WSAENOTCONN_CODE));
        try {
            inner_->call(call_id, hash, result, result_function, arguments, argument_function,
                         flags);
        } catch (...) {
            inner_.reset();
            throw;
        }
        if ((flags & QREX_FLAG_NO_REPLY) && limit_ && ++calls_ >= limit_) {
            inner_.reset();
            closedByFault_ = true;
        }
    }

    bool closedByFault() const {
        std::lock_guard<std::mutex> hold(lock_);
        return closedByFault_;
    }

private:
    mutable std::mutex lock_;
    std::unique_ptr<QREX_Client_Connection> inner_;
    uint32_t limit_;
    uint32_t calls_ = 0;
    bool closedByFault_ = false;
};

// ---------------------------------------------------------------- processor

StoreStatus StatusCache::get(ArchiveStore& store) {
    const auto fresh = [&] {
        std::lock_guard<std::mutex> hold(lock_);
        return known_ && std::chrono::steady_clock::now() - taken_ < kRefresh;
    };
    const auto last = [&] {
        std::lock_guard<std::mutex> hold(lock_);
        return last_;
    };
    if (fresh())
        return last();
    std::unique_lock<std::mutex> asking(asking_, std::try_to_lock);
    if (!asking.owns_lock()) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (known_)
                return last_;
        }
        asking.lock(); // the first answer of all: wait for it
        if (fresh())
            return last();
    }
    StoreStatus s;
    try {
        s = store.status();
    } catch (const std::exception& e) {
        s.reachable = false;
        s.message = e.what();
    }
    std::lock_guard<std::mutex> hold(lock_);
    known_ = true;
    taken_ = std::chrono::steady_clock::now();
    last_ = s;
    return s;
}

RequestProcessor::RequestProcessor(const ServerConfig& config, ArchiveStore& store,
                                   StatusCache& status, ServerLog& log, const InetEndpoint& peer,
                                   std::string tag, BackConnector connector, bool inlineJobs)
    : config_(config), store_(store), statusCache_(status), log_(log), peer_(peer),
      tag_(std::move(tag)), connector_(std::move(connector)), inlineJobs_(inlineJobs),
      servant_(std::make_unique<Servant>(*this)),
      unproven_(std::make_unique<ProcessorDispatcher>(&tables().unprovenModule, servant_.get())),
      proven_(std::make_unique<ProcessorDispatcher>(&tables().provenModule, servant_.get())) {}

RequestProcessor::~RequestProcessor() {
    shutdown();
}

bool RequestProcessor::proven() const {
    std::lock_guard<std::mutex> hold(lock_);
    return isProven_;
}

bool RequestProcessor::closing() const {
    std::lock_guard<std::mutex> hold(lock_);
    return closing_;
}

std::string RequestProcessor::closingReason() const {
    std::lock_guard<std::mutex> hold(lock_);
    return closingReason_;
}

bool RequestProcessor::busy() const {
    std::lock_guard<std::mutex> hold(lock_);
    return running_ || !pending_.empty();
}

bool RequestProcessor::lingerBeforeClose() const {
    std::lock_guard<std::mutex> hold(lock_);
    return linger_;
}

void RequestProcessor::closeWith(const std::string& reason, bool linger) {
    std::lock_guard<std::mutex> hold(lock_);
    if (closing_)
        return;
    closing_ = true;
    linger_ = linger;
    closingReason_ = reason;
}

void RequestProcessor::serveOne(QREX_TCP_Stream& stream, SteadyTime handshakeDeadline) {
    handshakeDeadline_ = handshakeDeadline;
    stream.prepare_input();
    stream.skip_record();
    qrex_header header{};
    xdr_qrex_header_ext(stream.input(), &header);
    ++requests_;
    if (!isRequest(header.msg_type)) {
        log_.line("%s: message of type %d where a request was expected", tag_.c_str(),
                  header.msg_type);
        throw_logical_error("RequestProcessor::serveOne", "Unknown QREX packet type");
    }
    const bool admitted = proven();
    QREX_Server_Dispatcher& dispatcher = admitted ? *proven_ : *unproven_;
    if (!admitted && !isInitialize(header.call_id)) {
        const bool oneWay = (qrex_call_flags(header.call_id) & 1) != 0;
        log_.line("%s: %s before the password proof: %s (call id 0x%08x)", tag_.c_str(),
                  proven_->member_name(header.call_id, "unknown request"),
                  oneWay ? "dropped" : "refused", header.call_id);
    }
    dispatcher.request_header() = header;
    dispatcher.dispatch_call(&stream);
}

void RequestProcessor::refuse(TInitializeResult* result, bool passwordValid, const char* error,
                              const std::string& reason) {
    result->passwordValid = passwordValid;
    result->error = qrex_strdup(error);
    log_.line("%s: Initialize refused: %s", tag_.c_str(), reason.c_str());
    closeWith("handshake refused", true);
}

void RequestProcessor::initialize(TInitializeResult* result, const TInitialize* argument) {
    // Only a proof that did not match says passwordValid false: every other
    // refusal names its cause with passwordValid true, so that the client
    // does not tell its operator the password was wrong.
    if (proven()) {
        // The proof stands; a second one is not run.
        result->passwordValid = true;
        result->error = qrex_strdup("Already initialized");
        log_.line("%s: second Initialize ignored", tag_.c_str());
        return;
    }
    if (!refusal_.empty()) {
        refuse(result, true, refusal_.c_str(), refusalReason_);
        return;
    }
    if (initializeTried_) {
        refuse(result, true, "Initialize was already tried on this connection",
               "second attempt on one connection");
        return;
    }
    initializeTried_ = true;
    const uint32_t clientIp = argument->clientIp;
    const uint16_t clientPort = argument->clientPort;
    const std::string target = addressText(clientIp) + ":" + std::to_string(clientPort);
    if (config_.backToPeerOnly && clientIp != peer_.addr.addr) {
        refuse(result, true,
               ("The server connects back only to the address the connection comes from, not to " +
                addressText(clientIp))
                   .c_str(),
               "back address " + target + " is not the address the request came from");
        return;
    }
    if (clientPort == 0) {
        refuse(result, true, "No port to connect back to", "back port 0");
        return;
    }
    const long long left = millisecondsUntil(handshakeDeadline_);
    if (left <= 0) {
        refuse(result, true, "The handshake took too long", "no time left to connect back");
        return;
    }
    std::unique_ptr<QREX_Client_Connection> channel;
    try {
        channel = connector_(InetEndpoint{InetAddress{4, clientIp}, clientPort},
                             static_cast<uint32_t>(left));
    } catch (const ORTU_Exception& e) {
        refuse(result, true, ("The server cannot connect back to " + target).c_str(),
               "connecting back to " + target + " failed: " + e.what());
        return;
    }
    back_ =
        std::make_unique<GuardedChannel>(std::move(channel), config_.faults.closeBackAfterCalls);
    client_ = std::make_unique<IPC_DA_DBClient::DBClientProxy>(back_.get());

    std::string challenge;
    try {
        challenge = makeChallenge();
    } catch (const ServerError& e) {
        refuse(result, true, "Server failure", e.what());
        return;
    }
    IPC_DA_DBClient::TVerifyReq request{};
    request.token = challenge.data();
    ProofAnswer answer;
    try {
        back_->call(IPC_DA_DBClient::CALL_VerifyPassword, IPC_DA_DBClient::DBClient_HASH, &answer,
                    xdr_ProofAnswer, &request, IPC_DA_DBClient::xdr_TVerifyReq, 0);
    } catch (const ORTU_Exception& e) {
        refuse(result, true, "The password check over the back connection failed",
               std::string("VerifyPassword on the back connection failed: ") + e.what());
        return;
    }
    const bool valid =
        !answer.overlong && answerMatches(expectedAnswer(config_.password, challenge),
                                          answer.digest, sizeof answer.digest);
    if (!config_.faults.initializeError.empty()) {
        refuse(result, valid, config_.faults.initializeError.c_str(),
               std::string("configured Initialize error (fault injection), proof ") +
                   (valid ? "valid" : "invalid"));
        return;
    }
    if (!valid) {
        refuse(result, false, "Invalid password", "wrong password");
        return;
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        isProven_ = true;
    }
    result->passwordValid = true;
    result->error = qrex_strdup("");
    log_.line("%s: password proved, results go to %s", tag_.c_str(), target.c_str());
}

void RequestProcessor::refuseEveryInitialize(std::string error, std::string reason) {
    refusal_ = std::move(error);
    refusalReason_ = std::move(reason);
}

void RequestProcessor::status(TStatus* result) {
    State state = stReady;
    std::string message;
    if (busy()) {
        state = stBusy;
        message = "Busy";
    } else {
        const StoreStatus s = statusCache_.get(store_);
        state = s.reachable ? stReady : stFailed;
        message = s.message;
    }
    result->state = state;
    result->message = copyText(message);
}

qrex_int32_t RequestProcessor::serverType() {
    return store_.serverType();
}

void RequestProcessor::enqueue(std::shared_ptr<Job> job) {
    if (!client_)
        return; // not reachable: only proven clients get here, and they have one
    if (inlineJobs_) {
        runOne(job);
        return;
    }
    bool full = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (stopping_)
            return;
        // At least one job may always wait behind the running one.
        if (pending_.size() >= std::max<uint32_t>(config_.maxQueuedJobs, 1)) {
            full = true;
        } else {
            pending_.push_back(job);
            if (!worker_.joinable())
                worker_ = std::thread([this] { workerLoop(); });
            changed_.notify_all();
        }
    }
    if (full) {
        log_.line("%s: job %s %u refused: %u jobs are waiting already", tag_.c_str(),
                  operationName(job->operation), job->id, config_.maxQueuedJobs);
        ResultSender sender(*client_, 0, job->cancel);
        refuseJob(*job, sender, kNotReady, "Too many jobs waiting");
    }
}

void RequestProcessor::cancel(const TCancelOperation* argument) {
    const int32_t operation = argument->operation;
    const uint32_t id = argument->id;
    bool found = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto matches = [&](const std::shared_ptr<Job>& j) {
            return j && j->operation == operation && j->id == id;
        };
        if (matches(running_)) {
            running_->cancel.cancel();
            found = true;
        }
        for (auto& j : pending_) {
            if (matches(j)) {
                j->cancel.cancel();
                found = true;
            }
        }
    }
    log_.line("%s: CancelOperation %s %u: %s", tag_.c_str(), operationName(operation), id,
              found ? "cancelling" : "no such job");
}

void RequestProcessor::workerLoop() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [&] { return stopping_ || !pending_.empty(); });
            if (stopping_)
                return;
            job = pending_.front();
            pending_.pop_front();
            running_ = job;
        }
        runOne(job);
        std::lock_guard<std::mutex> hold(lock_);
        running_.reset();
    }
}

void RequestProcessor::runOne(const std::shared_ptr<Job>& job) {
    const auto started = std::chrono::steady_clock::now();
    std::string what;
    if (job->operation == opSQLExecute)
        what = std::to_string(job->statement.size()) + " characters of SQL";
    else
        what = std::to_string(job->recs.size()) + " record(s)";
    if (job->operation == opSearchText)
        what += ", " + std::to_string(job->phrases.size()) + " phrase(s)";
    log_.line("%s: job %s %u started: %s", tag_.c_str(), operationName(job->operation), job->id,
              what.c_str());

    ResultSender sender(*client_, config_.faults.batchDelayMs, job->cancel);
    const JobOutcome o = runJob(*job, store_, sender, config_);
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - started)
                             .count();
    if (sender.failed()) {
        log_.line("%s: job %s %u ended after %lld ms: the back connection failed (%s)",
                  tag_.c_str(), operationName(job->operation), job->id, ms,
                  sender.failure().c_str());
        closeWith("back connection lost");
    } else {
        log_.line("%s: job %s %u finished in %lld ms: %s%s%s, %" PRIu64 " item(s), %u call(s)",
                  tag_.c_str(), operationName(job->operation), job->id, ms, codeName(o.code),
                  o.message.empty() ? "" : ": ", printable(o.message, 200).c_str(), o.items,
                  o.calls);
    }
    if (back_ && back_->closedByFault()) {
        log_.line("%s: back connection closed after %u call(s) (fault injection)", tag_.c_str(),
                  config_.faults.closeBackAfterCalls);
        closeWith("back connection closed by fault injection");
    }
}

void RequestProcessor::shutdown() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        if (running_)
            running_->cancel.cancel();
        for (auto& j : pending_)
            j->cancel.cancel();
        changed_.notify_all();
    }
    if (worker_.joinable())
        worker_.join();
}

} // namespace vqarchive
