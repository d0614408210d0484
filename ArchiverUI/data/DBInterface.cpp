#include "DBInterface.h"

#include <optional>
#include <thread>
#include <vector>

namespace {

// The report the exception callback recorded during the export that is
// running on this thread. The library calls the callback on the thread that
// made the failing call, just before that call returns.
struct TLibraryError {
    int Kind;
    QString Message;
};
thread_local std::optional<TLibraryError> PendingError;

// Texts for the library: the system's 8-bit code page, as the library and
// the archive server take them.
QByteArray ToAnsi(const QString& Text) {
    return Text.toLocal8Bit();
}

QString FromAnsi(const char* Text) {
    return Text == nullptr ? QString() : QString::fromLocal8Bit(Text);
}

// The id block of a request: count and pointer to the ids, no block for no
// ids. The vector owns the block, so it is released on every way out.
template <typename TArray>
void FillIds(TArray& Array, std::vector<std::uint32_t>& Block, const TIDs& Ids) {
    Block.assign(Ids.cbegin(), Ids.cend());
    Array.recs_len = static_cast<std::uint32_t>(Block.size());
    Array.recs_val = Block.empty() ? nullptr : Block.data();
}

int RealConnect(const char* host, std::uint16_t port, const char* password) {
    return ::Connect(host, port, password);
}
void RealDisconnect() {
    ::Disconnect();
}
void RealGetStatus(IPC_DA_DBServer::TStatus* status) {
    ::GetStatus(status);
}
void RealTStatusFree(IPC_DA_DBServer::TStatus* status) {
    IPC_DA_DBServer::TStatus_Free(status);
}
int RealGetServerType() {
    return ::GetServerType();
}
void RealSQLExecute(const IPC_DA_DBServer::TSQLExecute* request) {
    ::SQLExecute(request);
}
void RealDelete(const IPC_DA_DBServer::TDelete* request) {
    ::Delete(request);
}
void RealDownload(const IPC_DA_DBServer::TDownload* request) {
    ::Download(request);
}
void RealSearchText(const IPC_DA_DBServer::TSearchText* request) {
    ::SearchText(request);
}
void RealCancelOperation(const IPC_DA_DBServer::TCancelOperation* request) {
    ::CancelOperation(request);
}

} // namespace

EDllException::EDllException(const QString& Message)
    : std::runtime_error(Message.toStdString()), FMessage(Message) {}

TDBInterface::TEntryPoints TDBInterface::LibraryEntryPoints() {
    TEntryPoints E;
    E.Connect_ = RealConnect;
    E.Disconnect_ = RealDisconnect;
    E.GetStatus_ = RealGetStatus;
    E.TStatus_Free_ = RealTStatusFree;
    E.GetServerType_ = RealGetServerType;
    E.SQLExecute_ = RealSQLExecute;
    E.Delete_ = RealDelete;
    E.Download_ = RealDownload;
    E.SearchText_ = RealSearchText;
    E.CancelOperation_ = RealCancelOperation;
    return E;
}

TDBInterface::TDBInterface() : FEntries(LibraryEntryPoints()) {
    ::InitDLL();
    ::RegisterSelectResultCallback(&TDBInterface::OnSelectResult);
    ::RegisterDeleteCompleteCallback(&TDBInterface::OnDeleteComplete);
    ::RegisterDownloadProcessCallback(&TDBInterface::OnDownloadProcess);
    ::RegisterSearchProcessCallback(&TDBInterface::OnSearchProcess);
    ::RegisterExceptionCallback(&TDBInterface::OnException);
}

TDBInterface::~TDBInterface() {
    FListener.store(nullptr);
    ::FinalizeDLL();
    ClearLibraryError();
}

TDBInterface& TDBInterface::GetInstance() {
    static TDBInterface Instance;
    return Instance;
}

void TDBInterface::SetListener(TDBListener* AListener) {
    FListener.store(AListener);
}

void TDBInterface::SetEntryPoints(const TEntryPoints& Entries) {
    FEntries = Entries;
}

int TDBInterface::Connect(const QString& host, int port, const QString& password) {
    if (port < 0 || port > 0xFFFF)
        throw EConnectionException(QStringLiteral("Invalid port"));
    const QByteArray Host = ToAnsi(host);
    const QByteArray Password = ToAnsi(password);
    ClearLibraryError();
    const int Code =
        FEntries.Connect_(Host.constData(), static_cast<std::uint16_t>(port), Password.constData());
    // Connect reports by its code only; a stray report is not its result.
    ClearLibraryError();
    return Code;
}

void TDBInterface::Disconnect() {
    ClearLibraryError();
    FEntries.Disconnect_();
    // Whatever the library reported during the call is raised here, once
    // its frames are gone.
    RaiseLibraryError();
}

void TDBInterface::SQLExecute(quint32 id, const QByteArray& statement) {
    QByteArray Text = statement; // the record's field is not const
    IPC_DA_DBServer::TSQLExecute Request{};
    Request.id = id;
    Request.statement = Text.data();
    ClearLibraryError();
    FEntries.SQLExecute_(&Request);
    RaiseLibraryError();
}

void TDBInterface::Delete(quint32 id, const TIDs& ids) {
    std::vector<std::uint32_t> Block;
    IPC_DA_DBServer::TDelete Request{};
    Request.id = id;
    FillIds(Request.recs, Block, ids);
    ClearLibraryError();
    FEntries.Delete_(&Request);
    RaiseLibraryError();
}

void TDBInterface::Download(quint32 id, const TIDs& ids) {
    std::vector<std::uint32_t> Block;
    IPC_DA_DBServer::TDownload Request{};
    Request.id = id;
    FillIds(Request.recs, Block, ids);
    ClearLibraryError();
    FEntries.Download_(&Request);
    RaiseLibraryError();
}

void TDBInterface::SearchText(quint32 id, const TIDs& ids, SearchMode mode,
                              const QStringList& strings) {
    std::vector<std::uint32_t> Block;
    // Each phrase is its own NUL-terminated UTF-8 buffer; the pointer array
    // points into them. Both vectors free everything on any way out.
    std::vector<QByteArray> Phrases;
    Phrases.reserve(static_cast<size_t>(strings.size()));
    for (const QString& S : strings)
        Phrases.push_back(S.toUtf8());
    std::vector<IPC_DA_DBServer::TSearchString> Pointers(Phrases.size());
    for (size_t I = 0; I < Phrases.size(); ++I)
        Pointers[I].value = Phrases[I].data();

    IPC_DA_DBServer::TSearchText Request{};
    Request.id = id;
    FillIds(Request.recs, Block, ids);
    Request.criteria.mode = static_cast<IPC_DA_DBServer::SearchMode>(mode);
    Request.criteria.strings.strings_len = static_cast<std::uint32_t>(Pointers.size());
    Request.criteria.strings.strings_val = Pointers.empty() ? nullptr : Pointers.data();
    ClearLibraryError();
    FEntries.SearchText_(&Request);
    RaiseLibraryError();
}

void TDBInterface::CancelOperation(Operation operation, quint32 id) {
    IPC_DA_DBServer::TCancelOperation Request{};
    Request.operation = operation;
    Request.id = id;
    ClearLibraryError();
    FEntries.CancelOperation_(&Request);
    RaiseLibraryError();
}

State TDBInterface::GetStatus(QString& message) {
    message.clear();
    IPC_DA_DBServer::TStatus Status{};
    ClearLibraryError();
    {
        // The library allocates the message; it goes back to the library
        // however this block is left.
        struct TRelease {
            const TEntryPoints& E;
            IPC_DA_DBServer::TStatus& S;
            ~TRelease() { E.TStatus_Free_(&S); }
        } Release{FEntries, Status};
        FEntries.GetStatus_(&Status);
        message = FromAnsi(Status.message);
    }
    RaiseLibraryError();
    switch (static_cast<int>(Status.state)) {
    case stBusy:
        return stBusy;
    case stReady:
        return stReady;
    default:
        // A state this viewer does not know cannot be taken for ready.
        return stFailed;
    }
}

int TDBInterface::GetServerType() {
    ClearLibraryError();
    const int Type = FEntries.GetServerType_();
    RaiseLibraryError();
    return Type;
}

void TDBInterface::OnSelectResult(const IPC_DA_DBClient::TSelectResult* res) {
    if (TDBListener* L = GetInstance().Listener())
        L->SelectResult(res);
    // Lets the GUI thread run before the library decodes the next packet.
    std::this_thread::yield();
}

void TDBInterface::OnDeleteComplete(const IPC_DA_DBClient::TDeleteComplete* res) {
    if (TDBListener* L = GetInstance().Listener())
        L->DeleteComplete(res);
}

void TDBInterface::OnDownloadProcess(const IPC_DA_DBClient::TDownloadProcess* res) {
    if (TDBListener* L = GetInstance().Listener())
        L->DownloadProcess(res);
    std::this_thread::yield();
}

void TDBInterface::OnSearchProcess(const IPC_DA_DBClient::TSearchProcess* res) {
    if (TDBListener* L = GetInstance().Listener())
        L->SearchProcess(res);
}

void TDBInterface::OnException(const char* message, int kind) {
    if (kind < 0 || kind > 3)
        return;
    // The library reports once per call; should it report twice, the first
    // report is the cause.
    if (!PendingError)
        PendingError = TLibraryError{kind, FromAnsi(message)};
}

void TDBInterface::RaiseLibraryError() {
    if (!PendingError)
        return;
    const TLibraryError Error = *PendingError;
    PendingError.reset();
    switch (Error.Kind) {
    case 0:
        throw EConnectionException(Error.Message);
    case 1:
        throw EQREXException(Error.Message);
    case 2:
        throw EGenericExceptoin(Error.Message);
    default:
        throw EDllException(Error.Message);
    }
}

void TDBInterface::ClearLibraryError() {
    PendingError.reset();
}
