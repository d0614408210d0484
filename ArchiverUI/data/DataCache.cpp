#include "DataCache.h"

#include "ModelErrors.h"
#include "SQLMacros.h"
#include "SettingsStore.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

TDBConnection* DBConnection = nullptr;

namespace {

constexpr const char* SDataCacheUnit = "ArchiverUI/DataCache";

TCursor CurrentCursor = crDefault;
bool CursorPushed = false;

TExceptionDisplay& ExceptionDisplay() {
    static TExceptionDisplay Display;
    return Display;
}

// Runs F and hands anything it raises to the application's exception
// display: used where an exception must not travel on (into the library's
// thread, out of a destructor).
template <typename TFunc> void Guarded(TFunc F) {
    try {
        F();
    } catch (...) {
        HandleApplicationException(std::current_exception());
    }
}

TDBInterface& Iface() {
    return TDBInterface::GetInstance();
}

} // namespace

namespace {

// A select result copied whole (rows, pairs and texts in three blocks), so
// that the library's thread can read the next one while the window lists
// this one.
class TSelectResultCopy {
public:
    explicit TSelectResultCopy(const IPC_DA_DBClient::TSelectResult& From) {
        using namespace IPC_DA_DBClient;
        FRecord = From;
        size_t Items = 0;
        size_t Text = TextSize(From.error.msg);
        const quint32 RowCount = From.rows.rows_val ? From.rows.rows_len : 0;
        for (quint32 R = 0; R < RowCount; ++R) {
            const TSelectRow& Row = From.rows.rows_val[R];
            const quint32 Cols = Row.cols.cols_val ? Row.cols.cols_len : 0;
            Items += Cols;
            for (quint32 C = 0; C < Cols; ++C)
                Text += TextSize(Row.cols.cols_val[C].name) + TextSize(Row.cols.cols_val[C].value);
        }
        FRows.resize(RowCount);
        FItems.resize(Items);
        FText.resize(Text);
        char* Next = FText.data();
        FRecord.error.msg = CopyText(From.error.msg, Next);
        FRecord.rows.rows_len = RowCount;
        FRecord.rows.rows_val = RowCount ? FRows.data() : nullptr;
        TValueItem* Item = FItems.data();
        for (quint32 R = 0; R < RowCount; ++R) {
            const TSelectRow& Row = From.rows.rows_val[R];
            const quint32 Cols = Row.cols.cols_val ? Row.cols.cols_len : 0;
            FRows[R].cols.cols_len = Cols;
            FRows[R].cols.cols_val = Cols ? Item : nullptr;
            for (quint32 C = 0; C < Cols; ++C, ++Item) {
                Item->name = CopyText(Row.cols.cols_val[C].name, Next);
                Item->value = CopyText(Row.cols.cols_val[C].value, Next);
            }
        }
    }

    const IPC_DA_DBClient::TSelectResult* Record() const { return &FRecord; }
    size_t Bytes() const {
        return sizeof(*this) + FRows.size() * sizeof(FRows[0]) + FItems.size() * sizeof(FItems[0]) +
               FText.size();
    }

private:
    static size_t TextSize(const char* S) { return S ? std::strlen(S) + 1 : 0; }
    static char* CopyText(const char* S, char*& Next) {
        if (!S)
            return nullptr;
        const size_t Size = std::strlen(S) + 1;
        std::memcpy(Next, S, Size);
        char* Copy = Next;
        Next += Size;
        return Copy;
    }

    IPC_DA_DBClient::TSelectResult FRecord{};
    std::vector<IPC_DA_DBClient::TSelectRow> FRows;
    std::vector<IPC_DA_DBClient::TValueItem> FItems;
    std::vector<char> FText;
};

} // namespace

// A record handed over from the library's thread, and whether the GUI
// thread is done with it. A select result travels as a copy, and the
// library's thread does not wait for it.
struct TDBHandOver {
    int Msg;
    quintptr WParam;
    quint32 Id;
    bool Done = false;
    std::unique_ptr<TSelectResultCopy> Copy;
};

namespace {

const QEvent::Type NotifyEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class TNotifyEvent : public QEvent {
public:
    explicit TNotifyEvent(std::shared_ptr<TDBHandOver> AItem)
        : QEvent(NotifyEventType), Item(std::move(AItem)) {}
    std::shared_ptr<TDBHandOver> Item;
};

} // namespace

// The controller's hidden window: it lives on the GUI thread and receives
// the records the library's thread hands over.
class TNotifyWindow : public QObject {
public:
    explicit TNotifyWindow(TDBConnection& Owner) : FOwner(Owner) {}

    bool event(QEvent* Event) override {
        if (Event->type() == NotifyEventType) {
            FOwner.DeliverHandOver(static_cast<TNotifyEvent*>(Event)->Item);
            return true;
        }
        return QObject::event(Event);
    }

private:
    TDBConnection& FOwner;
};

// ---------------------------------------------------------------------------
// Messages, cursor, exception display

TDBMessage::TDBMessage(int Msg, quintptr AWParam, quintptr ALParam, QByteArray AData)
    : QEvent(static_cast<QEvent::Type>(Msg)), WParam(AWParam), LParam(ALParam),
      Data(std::move(AData)) {}

QEvent::Type JobStartedEvent() {
    static const QEvent::Type Type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return Type;
}

bool IsDBMessage(const QEvent* Event) {
    const int T = static_cast<int>(Event->type());
    return T >= WM_DB_SELECTRESULT && T <= WM_DB_CONNECTIONLOST;
}

void PostDBMessage(const TWindowHandle& Window, int Msg, quintptr WParam, quintptr LParam,
                   QByteArray Data) {
    if (Window.isNull())
        return;
    QCoreApplication::postEvent(Window.data(),
                                new TDBMessage(Msg, WParam, LParam, std::move(Data)));
}

bool SendDBMessage(const TWindowHandle& Window, int Msg, quintptr WParam, quintptr LParam) {
    if (Window.isNull())
        return false;
    TDBMessage Message(Msg, WParam, LParam);
    QCoreApplication::sendEvent(Window.data(), &Message);
    return true;
}

void SetScreenCursor(TCursor Cursor) {
    CurrentCursor = Cursor;
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr)
        return;
    // One override of our own at most, so that the default cursor really
    // comes back however often the busy cursors were set.
    if (Cursor == crDefault) {
        if (CursorPushed) {
            QGuiApplication::restoreOverrideCursor();
            CursorPushed = false;
        }
        return;
    }
    const QCursor Shape(Cursor == crHourGlass ? Qt::WaitCursor : Qt::BusyCursor);
    if (CursorPushed) {
        QGuiApplication::changeOverrideCursor(Shape);
    } else {
        QGuiApplication::setOverrideCursor(Shape);
        CursorPushed = true;
    }
}

TCursor ScreenCursor() {
    return CurrentCursor;
}

void SetApplicationExceptionHandler(TExceptionDisplay Handler) {
    ExceptionDisplay() = std::move(Handler);
}

QString ExceptionMessage(std::exception_ptr Error) {
    try {
        std::rethrow_exception(Error);
    } catch (const EDllException& E) {
        return E.Message();
    } catch (const std::exception& E) {
        return QString::fromUtf8(E.what());
    } catch (...) {
        return QStringLiteral("Unknown exception");
    }
}

void HandleApplicationException(std::exception_ptr Error) {
    if (!Error)
        return;
    if (ExceptionDisplay()) {
        try {
            ExceptionDisplay()(Error);
            return;
        } catch (...) {
            // A display that fails itself must not take the caller down.
        }
    }
    qWarning("%s", qUtf8Printable(ExceptionMessage(Error)));
}

// ---------------------------------------------------------------------------
// TVQArcCache

TVQArcCache::TVQArcCache(const TWindowHandle& HWndForNotify, Operation AJob)
    : FHWndForNotify(HWndForNotify), FJob(AJob) {}

TVQArcCache::~TVQArcCache() {
    Guarded([this] { SendDBMessage(FHWndForNotify, WM_DB_CACHEFREED, 0, quintptr(this)); });
}

namespace {

[[noreturn]] void InvalidKind(Operation AJob) {
    throw EAssertionFailed(QStringLiteral("TVQArcCache.Create: Invalid operation kind (%1)")
                               .arg(static_cast<int>(AJob)),
                           QString::fromLatin1(SDataCacheUnit));
}

TDBConnection& Controller() {
    if (DBConnection == nullptr)
        throw EAssertionFailed(QStringLiteral("TVQArcCache.Create: no connection controller"),
                               QString::fromLatin1(SDataCacheUnit));
    return *DBConnection;
}

} // namespace

TVQArcCache* TVQArcCache::Create(const TWindowHandle& HWndForNotify, Operation AJob,
                                 const QString& Data) {
    if (AJob != opSQLExecute)
        InvalidKind(AJob);
    // The window is set only once the data is taken over: a job that fails
    // before has no window to tell.
    std::unique_ptr<TVQArcCache> Job(new TVQArcCache(TWindowHandle(), AJob));
    Job->FStringData = ExpandSQLMacros(Controller().GetServerType(), Data);
    Job->FHWndForNotify = HWndForNotify;
    return Register(std::move(Job));
}

TVQArcCache* TVQArcCache::Create(const TWindowHandle& HWndForNotify, Operation AJob,
                                 const TIDs& Data) {
    if (AJob != opDelete && AJob != opDownload)
        InvalidKind(AJob);
    std::unique_ptr<TVQArcCache> Job(new TVQArcCache(TWindowHandle(), AJob));
    Job->FMediaIds = Data;
    Job->FHWndForNotify = HWndForNotify;
    return Register(std::move(Job));
}

TVQArcCache* TVQArcCache::Create(const TWindowHandle& HWndForNotify, Operation AJob,
                                 TSearchOptions& Data) {
    if (AJob != opSearchText)
        InvalidKind(AJob);
    std::unique_ptr<TVQArcCache> Job(new TVQArcCache(TWindowHandle(), AJob));
    Job->FMediaIds = Data.MediaIds();
    Data.MediaIds().clear();
    Job->FSearchStrings = Data.Phrases();
    Job->FSearchMode = Data.Mode();
    Job->FHWndForNotify = HWndForNotify;
    return Register(std::move(Job));
}

TVQArcCache* TVQArcCache::Register(std::unique_ptr<TVQArcCache> Job) {
    return Controller().AddJob(std::move(Job));
}

std::unique_ptr<TVQArcCache> TVQArcCache::Clone() const {
    std::unique_ptr<TVQArcCache> Copy(new TVQArcCache(FHWndForNotify, FJob));
    Copy->FStringData = FStringData;
    Copy->FMediaIds = FMediaIds;
    Copy->FSearchStrings = FSearchStrings;
    Copy->FSearchMode = FSearchMode;
    Copy->FStatus = FStatus;
    Copy->FTransactionID = FTransactionID;
    return Copy;
}

// ---------------------------------------------------------------------------
// TDBConnection

namespace {

TDBConnection::TFormList& ApplicationForms() {
    static TDBConnection::TFormList List;
    return List;
}

// A stored value that is there but cannot be read counts as absent: its
// default applies and Problems learns why. Nothing is written back, so the
// operator's file stays as it is until the settings are saved.
template <typename TRead>
bool ReadOrNote(TRead Read, const QString& Default, QStringList* Problems) {
    try {
        return Read();
    } catch (const ERegistryException& E) {
        if (Problems != nullptr)
            Problems->append(QStringLiteral("%1: %2 is used instead").arg(E.Message(), Default));
        return false;
    }
}

} // namespace

TDBConnection::TDBConnection() {
    quint32 StoredPort = 0;
    FPort = ReadOrNote([&] { return ReadPort(StoredPort); }, QString::number(DefaultPort),
                       &FSettingsProblems)
                ? StoredPort
                : DefaultPort;
    QString StoredHost;
    FHost = ReadOrNote([&] { return ReadHost(StoredHost); },
                       QStringLiteral("\"%1\"").arg(QLatin1String(DefaultHost)), &FSettingsProblems)
                ? StoredHost
                : QString::fromLatin1(DefaultHost);
    // Read later, but told about now, at start, where the operator looks.
    QString StoredPassword;
    ReadOrNote([&] { return ReadPassword(StoredPassword); }, QStringLiteral("the default password"),
               &FSettingsProblems);
    qint32 StoredMax = 0;
    ReadOrNote([&] { return ReadMaxRecords(StoredMax); }, QString::number(DefaultMaxRecords),
               &FSettingsProblems);
    ResetStatus();
    FHandle = std::make_unique<TNotifyWindow>(*this);
    FStartTimer = new QTimer(FHandle.get());
    FStartTimer->setSingleShot(true);
    QObject::connect(FStartTimer, &QTimer::timeout, FHandle.get(), [this] { RetryWaitingJobs(); });
    // Once the GUI thread no longer handles messages, a library thread
    // waiting for it would wait for ever, and the library's stop waits for
    // that thread.
    if (QCoreApplication* App = QCoreApplication::instance()) {
        QObject::connect(App, &QCoreApplication::aboutToQuit, FHandle.get(),
                         [this] { Shutdown(); });
        QObject::connect(App, &QObject::destroyed, FHandle.get(), [this] { Shutdown(); });
    }
    if (DBConnection == nullptr)
        DBConnection = this;
}

TDBConnection::~TDBConnection() {
    Shutdown();
    Guarded([this] { AbandonReconnect(); });
    Guarded([this] { FreeAllJobs(); });
    if (FConnected) {
        FConnected = false;
        Guarded([] { Iface().Disconnect(); });
    }
    if (Iface().Listener() == this)
        Iface().SetListener(nullptr);
    FHandle.reset();
    if (DBConnection == this)
        DBConnection = nullptr;
}

void TDBConnection::NoteChange() {
    if (std::exchange(FChangePending, true))
        return;
    QTimer::singleShot(0, FEvents.get(), [this] {
        FChangePending = false;
        emit FEvents->Changed();
    });
}

void TDBConnection::ResetStatus() {
    FStatusString = QStringLiteral("Not connected");
    FState = stReady;
}

void TDBConnection::SetConnected(bool Value) {
    // An explicit connect or disconnect ends a reconnect round; its jobs
    // go with it, as with any disconnect.
    AbandonReconnect();
    NoteChange();
    if (Value == FConnected)
        return;
    if (!Value) {
        FConnected = false;
        try {
            Iface().Disconnect();
        } catch (...) {
            FreeAllJobs();
            throw;
        }
        FreeAllJobs();
        return;
    }
    try {
        if (FHost.trimmed().isEmpty())
            throw EConnectionException(QStringLiteral("Invalid host name"));
        // The library takes a 16-bit port; a larger one would silently
        // reach another port.
        if (FPort == 0 || FPort > 0xFFFF)
            throw EConnectionException(QStringLiteral("Invalid port"));
        const TCursor Saved = ScreenCursor();
        SetScreenCursor(crHourGlass);
        try {
            CheckConnectResult(Iface().Connect(FHost, static_cast<int>(FPort), Password()));
        } catch (...) {
            SetScreenCursor(Saved);
            throw;
        }
        SetScreenCursor(Saved);
        FConnected = true;
    } catch (...) {
        FreeAllJobs();
        throw;
    }
}

void TDBConnection::SetHost(const QString& Value) {
    if (Value == FHost)
        return;
    SetConnected(false);
    ResetStatus();
    FHost = Value;
    WriteHost(Value);
    BroadcastMsg(WM_DB_SERVERCHANGED, 0, 0);
}

void TDBConnection::SetPort(quint32 Value) {
    if (Value == FPort)
        return;
    SetConnected(false);
    ResetStatus();
    FPort = Value;
    WritePort(Value);
    BroadcastMsg(WM_DB_SERVERCHANGED, 0, 0);
}

QString TDBConnection::Password() const {
    QString Stored;
    if (ReadOrNote([&] { return ReadPassword(Stored); }, QString(), nullptr))
        return Stored;
    return QString::fromLatin1(DefaultPassword);
}

void TDBConnection::SetPassword(const QString& Value) {
    WritePassword(Value);
}

qint32 TDBConnection::MaxRecords() {
    if (FMaxRecords == 0) {
        qint32 Stored = 0;
        FMaxRecords = ReadOrNote([&] { return ReadMaxRecords(Stored); }, QString(), nullptr)
                          ? Stored
                          : DefaultMaxRecords;
    }
    return FMaxRecords;
}

void TDBConnection::SetMaxRecords(qint32 Value) {
    if (Value == FMaxRecords)
        return;
    FMaxRecords = Value;
    WriteMaxRecords(Value);
}

void TDBConnection::CheckConnectResult(int Code) {
    switch (static_cast<quint32>(Code)) {
    case 0:
    case 1:
        FStatusString = QStringLiteral("Connected");
        return;
    case 2:
        FStatusString = QStringLiteral("Failed to init Windows Socket API");
        break;
    case 3:
        FStatusString = QStringLiteral("Failed to resolve host");
        break;
    case 4:
        FStatusString = QStringLiteral("Failed to connect");
        break;
    case 5:
        FStatusString = QStringLiteral("Failed to create interface");
        break;
    case 6:
        FStatusString = QStringLiteral("Failed to create back connection");
        break;
    case 7:
        FStatusString = QStringLiteral("Failed to initialize");
        break;
    case 8:
        FStatusString = QStringLiteral("Invalid password");
        break;
    default: {
        QString Version = QCoreApplication::applicationVersion();
        if (Version.isEmpty())
            Version = QStringLiteral("N/A");
        FStatusString = QStringLiteral("The server version is incompatible with %1").arg(Version);
        break;
    }
    }
    FState = stFailed;
    SetScreenCursor(crDefault);
    NoteChange();
    throw EConnectionException(FStatusString);
}

State TDBConnection::PollStatus() {
    State S = Iface().GetStatus(FStatusString);
    if (S == stReady) {
        FStatusString = QStringLiteral("Idle");
        for (const auto& Job : FCaches) {
            if (Job->FStatus == jsResultWaiting) {
                FStatusString = QStringLiteral("Processing...");
                S = stBusy;
                break;
            }
        }
    }
    SetScreenCursor(S == stBusy ? crAppStart : crDefault);
    NoteChange();
    return S;
}

bool TDBConnection::Ready() {
    if (FReconnect)
        return false;
    std::exception_ptr PollError;
    try {
        FState = PollStatus();
        return FState == stReady;
    } catch (...) {
        PollError = std::current_exception();
    }
    // A poll that fails right after a reconnect is not answered by yet
    // another round: a server that accepts connections but cannot report
    // its state would otherwise be reconnected to for ever.
    if (FReconnecting)
        std::rethrow_exception(PollError);
    BeginReconnect(PollError);
    return false;
}

struct TDBConnection::TReconnectRound {
    quint32 Serial = 0;
    TJobList Copies;
    std::exception_ptr PollError;
    int Attempt = 0;
    QTimer Pause;
    std::thread Worker;
    std::atomic<bool> WorkerDone{false};
    std::chrono::steady_clock::time_point Started;

    ~TReconnectRound() {
        if (Worker.joinable())
            Worker.join();
    }
};

namespace {

QString ReconnectingText(int Attempt) {
    return QStringLiteral("Connection lost; reconnecting (attempt %1 of %2)...")
        .arg(Attempt)
        .arg(TDBConnection::ReconnectAttempts);
}

} // namespace

void TDBConnection::BeginReconnect(std::exception_ptr PollError) {
    auto Round = std::make_unique<TReconnectRound>();
    Round->Serial = ++FReconnectSerial;
    Round->PollError = PollError;
    // The copies go out again, as new jobs, once the connection is back.
    for (const auto& Job : FCaches) {
        std::unique_ptr<TVQArcCache> Copy = Job->Clone();
        Copy->FTransactionID = 0;
        Copy->FStatus = jsExecWaiting;
        Round->Copies.push_back(std::move(Copy));
    }
    Round->Pause.setSingleShot(true);
    QObject::connect(&Round->Pause, &QTimer::timeout, FHandle.get(),
                     [this] { StartReconnectAttempt(); });
    FReconnect = std::move(Round);
    NoteChange();
    // Not connected while the round runs: nothing asks the library for
    // anything until the round has ended. The jobs stay in the list, so
    // their windows keep what they have until the outcome is known.
    FConnected = false;
    FStatusString = ReconnectingText(1);
    FStartTimer->stop();
    SetScreenCursor(crDefault);
    FReconnect->Pause.start(FReconnectDelay);
}

void TDBConnection::StartReconnectAttempt() {
    TReconnectRound& Round = *FReconnect;
    ++Round.Attempt;
    FStatusString = ReconnectingText(Round.Attempt);
    Round.Started = std::chrono::steady_clock::now();
    Round.WorkerDone = false;
    Round.Worker = std::thread([this, Serial = Round.Serial, Done = &Round.WorkerDone, Host = FHost,
                                Port = static_cast<int>(FPort), Pass = Password()] {
        int Code = -1;
        std::exception_ptr Error;
        try {
            Iface().Disconnect();
            Code = Iface().Connect(Host, Port, Pass);
        } catch (...) {
            // Handed to the GUI thread, which decides what the attempt was.
            Error = std::current_exception();
        }
        QMetaObject::invokeMethod(
            FHandle.get(),
            [this, Serial, Code, Error] { ReconnectAttemptDone(Serial, Code, Error); },
            Qt::QueuedConnection);
        *Done = true;
    });
}

void TDBConnection::ReconnectAttemptDone(quint32 Serial, int Code, std::exception_ptr Error) {
    // An outcome of a round that was abandoned meanwhile.
    if (!FReconnect || FReconnect->Serial != Serial)
        return;
    TReconnectRound& Round = *FReconnect;
    if (Round.Worker.joinable())
        Round.Worker.join();
    bool Connected = false;
    if (!Error) {
        try {
            CheckConnectResult(Code);
            Connected = true;
        } catch (const EDllException&) {
            // A failed attempt: the next one, or the end of the round.
        }
    }
    if (Connected) {
        std::unique_ptr<TReconnectRound> Done = std::move(FReconnect);
        NoteChange();
        FConnected = true;
        struct TRestarting {
            bool& Flag;
            explicit TRestarting(bool& F) : Flag(F) { Flag = true; }
            ~TRestarting() { Flag = false; }
        } Restarting(FReconnecting);
        try {
            RestartJobs(Done->Copies);
            Done->Copies.clear();
            if (FConnected)
                FState = PollStatus();
        } catch (...) {
            // Runs from the event loop, which must not see it; what the
            // operator is told about is the poll that failed first, not
            // whatever the restart ran into.
            FailReconnect(Done->PollError);
            return;
        }
        ScheduleWaitingJobs();
        return;
    }
    // An attempt that took longer than the pause between attempts met a
    // server that takes connections and does not answer (the library
    // bounds that wait): more attempts would only wait as long again.
    const bool Slow = std::chrono::steady_clock::now() - Round.Started >
                      std::chrono::milliseconds(ReconnectDelayMs);
    if (Round.Attempt >= ReconnectAttempts || Slow) {
        const std::exception_ptr PollError = Round.PollError;
        FReconnect.reset();
        FailReconnect(PollError);
        return;
    }
    FStatusString = ReconnectingText(Round.Attempt + 1);
    Round.Pause.start(FReconnectDelay);
}

void TDBConnection::FailReconnect(std::exception_ptr PollError) {
    NoteChange();
    FReconnect.reset();
    FConnected = false;
    try {
        Iface().Disconnect();
    } catch (const EDllException&) {
        // The lost connection is what the status reports.
    }
    FreeAllJobs();
    FStatusString = ExceptionMessage(PollError);
    FState = stFailed;
    SetScreenCursor(crDefault);
    BroadcastMsg(WM_DB_CONNECTIONLOST, 0, 0);
}

void TDBConnection::AbandonReconnect() {
    if (!FReconnect)
        return;
    std::unique_ptr<TReconnectRound> Round = std::move(FReconnect);
    Round->Pause.stop();
    if (Round->Worker.joinable()) {
        // The library's thread may be waiting for this thread to take a
        // record while the attempt waits for it to end.
        while (!Round->WorkerDone) {
            QCoreApplication::sendPostedEvents(FHandle.get(), NotifyEventType);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        Round->Worker.join();
        try {
            Iface().Disconnect();
        } catch (const EDllException&) {
            // Whatever the attempt left open is closed; nothing to report.
        }
    }
    Round.reset();
    FreeAllJobs();
}

bool TDBConnection::ConnectionOK() {
    // Not while a lost connection is being opened again: the round's
    // outcome decides.
    if (FReconnect)
        return false;
    if (!FConnected)
        SetConnected(true);
    FState = PollStatus();
    return FState != stFailed;
}

int TDBConnection::GetServerType() {
    return Iface().GetServerType();
}

void TDBConnection::RestartJobs(const TJobList& AJobs) {
    FreeAllJobs();
    for (const auto& Job : AJobs) {
        // Its window closed while the connection was away.
        if (Job->FHWndForNotify.isNull())
            continue;
        std::unique_ptr<TVQArcCache> Copy = Job->Clone();
        Iface().CancelOperation(Copy->FJob, Copy->FTransactionID);
        SendDBMessage(Copy->FHWndForNotify, WM_DB_CONNECTIONLOST, 0, 0);
        AddForm(Copy->FHWndForNotify.data());
        FCaches.push_back(std::move(Copy));
    }
    if (!FCaches.empty())
        StartJob(FCaches.front().get());
}

void TDBConnection::FreeAllJobs() {
    NoteChange();
    // The list is emptied first: each destructor tells its window, whose
    // handler may come back here to free or add jobs.
    TJobList Jobs = std::move(FCaches);
    FCaches.clear();
    while (!Jobs.empty()) {
        std::unique_ptr<TVQArcCache> Job = std::move(Jobs.front());
        Jobs.erase(Jobs.begin());
        Job.reset();
    }
}

std::unique_ptr<TVQArcCache> TDBConnection::TakeJob(const TVQArcCache* Cache) {
    NoteChange();
    for (auto It = FCaches.begin(); It != FCaches.end(); ++It) {
        if (It->get() == Cache) {
            std::unique_ptr<TVQArcCache> Job = std::move(*It);
            FCaches.erase(It);
            return Job;
        }
    }
    return nullptr;
}

bool TDBConnection::FreeCache(TVQArcCache* Cache) {
    std::unique_ptr<TVQArcCache> Job = TakeJob(Cache);
    if (!Job)
        return false;
    // Destroyed once out of the list, so that the window's handler of the
    // destructor's message sees the list without it.
    Job.reset();
    ScheduleWaitingJobs();
    return true;
}

bool TDBConnection::CacheExists(const TVQArcCache* Cache) const {
    for (const auto& Job : FCaches)
        if (Job.get() == Cache)
            return true;
    return false;
}

void TDBConnection::CancelJob(const QObject* JobOwner) {
    std::exception_ptr FirstError;
    for (size_t I = 0; I < FCaches.size();) {
        TVQArcCache* Job = FCaches[I].get();
        if (Job->FHWndForNotify.data() != JobOwner) {
            ++I;
            continue;
        }
        const Operation Kind = Job->FJob;
        const quint32 Id = Job->FTransactionID;
        FreeCache(Job);
        // Without a connection there is nothing to cancel at the server,
        // and a window that closes then must not fail on "Not connected".
        if (!FConnected)
            continue;
        try {
            Iface().CancelOperation(Kind, Id);
        } catch (...) {
            // Every job of the window is still freed; the first failure is
            // raised at the end.
            if (!FirstError)
                FirstError = std::current_exception();
        }
    }
    if (FirstError)
        std::rethrow_exception(FirstError);
}

void TDBConnection::BroadcastMsg(int Msg, quintptr Wparam, quintptr Lparam) {
    for (QObject* Form : Forms())
        PostDBMessage(TWindowHandle(Form), Msg, Wparam, Lparam);
}

void TDBConnection::SetApplicationForms(TFormList List) {
    ApplicationForms() = std::move(List);
}

void TDBConnection::AddForm(QObject* Form) {
    if (Form == nullptr)
        return;
    FForms.removeIf([](const QPointer<QObject>& F) { return F.isNull(); });
    for (const QPointer<QObject>& F : FForms)
        if (F.data() == Form)
            return;
    FForms.append(QPointer<QObject>(Form));
}

void TDBConnection::RemoveForm(const QObject* Form) {
    FForms.removeIf([Form](const QPointer<QObject>& F) { return F.isNull() || F.data() == Form; });
}

QList<QObject*> TDBConnection::Forms() const {
    QList<QObject*> Result;
    if (const TFormList& List = ApplicationForms())
        for (QObject* F : List())
            if (F != nullptr && !Result.contains(F))
                Result.append(F);
    for (const QPointer<QObject>& F : FForms)
        if (!F.isNull() && !Result.contains(F.data()))
            Result.append(F.data());
    return Result;
}

TVQArcCache* TDBConnection::AddJob(std::unique_ptr<TVQArcCache> Job) {
    if (FReconnect) {
        // Waits for the round like the jobs before it, and goes out again
        // with them once the connection is back.
        std::unique_ptr<TVQArcCache> Copy = Job->Clone();
        TVQArcCache* Added = Job.get();
        AddForm(Added->FHWndForNotify.data());
        FReconnect->Copies.push_back(std::move(Copy));
        FCaches.push_back(std::move(Job));
        NoteChange();
        return Added;
    }
    // A failing connect destroys the job here, which tells its window.
    SetConnected(true);
    TVQArcCache* Added = Job.get();
    AddForm(Added->FHWndForNotify.data());
    FCaches.push_back(std::move(Job));
    NoteChange();
    StartJob(Added);
    ScheduleWaitingJobs();
    // A failed start frees every job, this one included; the caller must
    // not keep a pointer to it then.
    return CacheExists(Added) ? Added : nullptr;
}

quint32 TDBConnection::TickCount() const {
    using namespace std::chrono;
    return static_cast<quint32>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

quint32 TDBConnection::NewTransactionID() {
    // 0 marks a job not yet sent. An id given before is never given again
    // soon: the server may still send the end of a job cancelled a moment
    // ago under it, which would reach the next job of the same millisecond.
    quint32 Id = TickCount();
    if (FLastTransactionID != 0 && qint32(Id - FLastTransactionID) <= 0)
        Id = FLastTransactionID + 1;
    for (;;) {
        if (Id == 0)
            Id = 1;
        bool Taken = false;
        for (const auto& Job : FCaches)
            if (Job->FTransactionID == Id)
                Taken = true;
        if (!Taken)
            break;
        ++Id;
    }
    FLastTransactionID = Id;
    return Id;
}

bool TDBConnection::StartJob(TVQArcCache* Job) {
    try {
        if (!Ready())
            return false;
        // Ready may have restarted the jobs, which replaces every one.
        if (!CacheExists(Job) || Job->FStatus != jsExecWaiting)
            return false;
        SetScreenCursor(crAppStart);
        Job->FTransactionID = NewTransactionID();
        switch (Job->FJob) {
        case opSQLExecute:
            Iface().SQLExecute(Job->FTransactionID, Job->FStringData.toLocal8Bit());
            break;
        case opDelete:
            Iface().Delete(Job->FTransactionID, Job->FMediaIds);
            break;
        case opDownload:
            Iface().Download(Job->FTransactionID, Job->FMediaIds);
            break;
        case opSearchText:
            Iface().SearchText(Job->FTransactionID, Job->FMediaIds, Job->FSearchMode,
                               Job->FSearchStrings);
            break;
        }
        Job->FStatus = jsResultWaiting;
        NoteChange();
        // What the window does about it is no failure of the start.
        Guarded([Window = Job->FHWndForNotify] {
            QEvent Started(JobStartedEvent());
            if (!Window.isNull())
                QCoreApplication::sendEvent(Window.data(), &Started);
        });
        return true;
    } catch (...) {
        const QString Message = ExceptionMessage(std::current_exception());
        try {
            SetConnected(false);
        } catch (const EDllException&) {
            // The start failed already; that is what the status shows.
        }
        FStatusString = Message;
        FState = stFailed;
        SetScreenCursor(crDefault);
        return false;
    }
}

void TDBConnection::ScheduleWaitingJobs(bool Again) {
    bool Waiting = false;
    for (const auto& Job : FCaches)
        Waiting = Waiting || Job->FTransactionID == 0;
    if (!FConnected || !Waiting) {
        FStartTimer->stop();
        FStartDelay = FirstStartDelayMs;
        return;
    }
    // The server reports itself busy until it has wound up the job before,
    // which may still be so when that job's last result is in: a waiting
    // job is offered again soon, then less and less often, up to the
    // one-second tick.
    if (Again)
        FStartDelay = qMin(FStartDelay * 2, 1000);
    if (!FStartTimer->isActive())
        FStartTimer->start(FStartDelay);
}

void TDBConnection::RetryWaitingJobs() {
    TimerProc();
    ScheduleWaitingJobs(true);
}

bool TDBConnection::TimerProc() {
    // By position: a start may free, restart or add jobs.
    for (size_t I = 0; FConnected && I < FCaches.size(); ++I) {
        TVQArcCache* Job = FCaches[I].get();
        if (Job->FTransactionID != 0)
            continue;
        if (!StartJob(Job))
            return false;
    }
    return FConnected;
}

QString TDBConnection::StatusString() {
    if (FConnected) {
        try {
            Ready();
        } catch (...) {
            // Also what is not the library's: the status must say the
            // connection is gone rather than the program end here.
            FailReconnect(std::current_exception());
        }
    }
    SetScreenCursor(crDefault);
    return FStatusString;
}

void TDBConnection::CheckConnection(const QString& Host, quint32 port, const QString& password) {
    const bool WasConnected = FConnected;
    SetConnected(false);
    std::exception_ptr CheckError;
    try {
        if (Host.trimmed().isEmpty())
            throw EConnectionException(QStringLiteral("Invalid host name"));
        if (port == 0 || port > 0xFFFF)
            throw EConnectionException(QStringLiteral("Invalid port"));
        CheckConnectResult(Iface().Connect(Host, static_cast<int>(port), password));
    } catch (...) {
        CheckError = std::current_exception();
    }
    try {
        Iface().Disconnect();
        SetConnected(WasConnected);
    } catch (...) {
        // The operator asked about the tested settings: their failure is
        // the answer, not a failure to restore the old connection.
        if (!CheckError)
            throw;
    }
    if (CheckError)
        std::rethrow_exception(CheckError);
}

TVQArcCache* TDBConnection::FindJob(quint32 Id) {
    // 0 is the id of jobs not yet sent; no result can be theirs.
    if (Id == 0)
        return nullptr;
    for (const auto& Job : FCaches) {
        if (Job->FTransactionID != Id)
            continue;
        if (Job->FHWndForNotify.isNull()) {
            FreeCache(Job.get());
            return nullptr;
        }
        return Job.get();
    }
    return nullptr;
}

void TDBConnection::NotifyWndProc(int Msg, quintptr WParam, quintptr LParam) {
    switch (Msg) {
    case WM_DB_SELECTRESULT:
    case WM_DB_DELETECOMPLETE:
    case WM_DB_DOWNLOADPROCESS:
    case WM_DB_SEARCHPROCESS:
        break;
    default:
        return;
    }
    TVQArcCache* Job = FindJob(static_cast<quint32>(LParam));
    if (Job == nullptr)
        return;
    const TWindowHandle Window = Job->FHWndForNotify;
    Guarded([&] { SendDBMessage(Window, Msg, WParam, quintptr(Job)); });
}

void TDBConnection::HandOver(int Msg, const void* Record, quint32 Id) {
    const quintptr WParam = reinterpret_cast<quintptr>(Record);
    // Called on the GUI thread itself (nothing waits then): deliver at once.
    if (QThread::currentThread() == FHandle->thread()) {
        Guarded([&] { NotifyWndProc(Msg, WParam, Id); });
        return;
    }
    auto Item = std::make_shared<TDBHandOver>();
    Item->Msg = Msg;
    Item->WParam = WParam;
    Item->Id = Id;
    std::unique_lock<std::mutex> Lock(FHandOverLock);
    if (FClosing)
        return;
    QCoreApplication::postEvent(FHandle.get(), new TNotifyEvent(Item));
    // The record must stay valid until the window's handler is done with
    // it, so the library's thread waits here.
    FHandOverDone.wait(Lock, [&] { return Item->Done || FClosing; });
}

void TDBConnection::DeliverHandOver(const std::shared_ptr<TDBHandOver>& Item) {
    {
        std::lock_guard<std::mutex> Lock(FHandOverLock);
        // After a shutdown the library's thread has gone on and the record
        // may be freed already.
        if (FClosing || Item->Done)
            return;
    }
    Guarded([&] { NotifyWndProc(Item->Msg, Item->WParam, Item->Id); });
    {
        std::lock_guard<std::mutex> Lock(FHandOverLock);
        Item->Done = true;
        if (Item->Copy) {
            FQueuedBytes -= Item->Copy->Bytes();
            Item->Copy.reset();
        }
    }
    FHandOverDone.notify_all();
}

void TDBConnection::QueueSelectResult(const IPC_DA_DBClient::TSelectResult& Record) {
    auto Item = std::make_shared<TDBHandOver>();
    Item->Copy = std::make_unique<TSelectResultCopy>(Record);
    Item->Msg = WM_DB_SELECTRESULT;
    Item->WParam = reinterpret_cast<quintptr>(Item->Copy->Record());
    Item->Id = Record.id;
    const size_t Bytes = Item->Copy->Bytes();
    std::unique_lock<std::mutex> Lock(FHandOverLock);
    // Bounded: a window that lists slower than the server sends holds the
    // library's thread back, and with it the server. One result always
    // goes, however large.
    FHandOverDone.wait(
        Lock, [&] { return FClosing || FQueuedBytes == 0 || FQueuedBytes + Bytes <= FQueueLimit; });
    if (FClosing)
        return;
    FQueuedBytes += Bytes;
    // Posted events keep their order, so the window sees the results, and
    // whatever follows them, as the server sent them.
    QCoreApplication::postEvent(FHandle.get(), new TNotifyEvent(Item));
}

void TDBConnection::Shutdown() {
    {
        std::lock_guard<std::mutex> Lock(FHandOverLock);
        FClosing = true;
    }
    FHandOverDone.notify_all();
}

void TDBConnection::SelectResult(const IPC_DA_DBClient::TSelectResult* res) {
    if (res == nullptr)
        return;
    if (QThread::currentThread() == FHandle->thread())
        HandOver(WM_DB_SELECTRESULT, res, res->id);
    else
        QueueSelectResult(*res);
}

void TDBConnection::DeleteComplete(const IPC_DA_DBClient::TDeleteComplete* res) {
    if (res != nullptr)
        HandOver(WM_DB_DELETECOMPLETE, res, res->id);
}

void TDBConnection::DownloadProcess(const IPC_DA_DBClient::TDownloadProcess* res) {
    if (res != nullptr)
        HandOver(WM_DB_DOWNLOADPROCESS, res, res->id);
}

void TDBConnection::SearchProcess(const IPC_DA_DBClient::TSearchProcess* res) {
    if (res != nullptr)
        HandOver(WM_DB_SEARCHPROCESS, res, res->id);
}
