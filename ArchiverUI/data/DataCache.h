// The connection controller and the jobs. TDBConnection owns the connection
// settings, connects through the binding, keeps the job list and starts one
// job at a time, polls the server state for the status bar, reconnects
// after a failure, and moves the library's result records from the
// library's thread to the window that owns the job.
//
// Windows learn about their jobs and the connection only through window
// messages: Qt events whose type numbers are the message numbers below,
// carrying WParam and LParam. A window handle is a guarded pointer, so a
// message for a window that is gone is simply not delivered.
#pragma once

#include "DBInterface.h"
#include "SearchOptions.h"

#include <QByteArray>
#include <QEvent>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// A window as the controller and the jobs refer to it.
using TWindowHandle = QPointer<QObject>;

inline constexpr int WM_USER = 0x400;

// WParam: const IPC_DA_DBClient::TSelectResult*; LParam: the job.
inline constexpr int WM_DB_SELECTRESULT = 0x55C;
// Posted by a job window to itself. LParam: 0 or the job.
inline constexpr int WM_DB_JOBDONE = 0x55E;
// WParam: const IPC_DA_DBClient::TDeleteComplete*; LParam: the job.
inline constexpr int WM_DB_DELETECOMPLETE = 0x55F;
// WParam: const IPC_DA_DBClient::TDownloadProcess*; LParam: the job.
inline constexpr int WM_DB_DOWNLOADPROCESS = 0x560;
// Posted by a result window to itself. The record's data travels in the
// message's Data (32-bit length, the bytes, a NUL); LParam: record id.
inline constexpr int WM_QR_DOWNLOADDATA = 0x561;
// Posted by a result window to itself. LParam: the job.
inline constexpr int WM_QR_DOWNLOADDONE = 0x562;
// Posted by a result window to itself. WParam: record id; LParam: error code.
inline constexpr int WM_QR_DOWNLOADERROR = 0x563;
// Sent by a job's destructor. LParam: the job being destroyed.
inline constexpr int WM_DB_CACHEFREED = 0x564;
inline constexpr int WM_SEARCH_START = 0x565;
// WParam: const IPC_DA_DBClient::TSearchProcess*; LParam: the job.
inline constexpr int WM_DB_SEARCHPROCESS = 0x566;
inline constexpr int WM_SEARCH_SHOWRESULT = 0x568;
// Posted to every form: host or port changed.
inline constexpr int WM_DB_SERVERCHANGED = 0x569;
// Posted to every form when the state poll fails for good; sent to the
// window of each restarted job.
inline constexpr int WM_DB_CONNECTIONLOST = 0x56A;

// Sent to a job's window when the controller has sent the job to the
// server (it may have waited behind another job until then).
QEvent::Type JobStartedEvent();

class QTimer;
class TVQArcCache;
struct TDBHandOver;

// A window message. The records behind WParam of the four forwarded
// messages belong to the library and are valid only while the message is
// being handled.
class TDBMessage : public QEvent {
public:
    TDBMessage(int Msg, quintptr WParam, quintptr LParam, QByteArray Data = {});

    int Msg() const { return static_cast<int>(type()); }
    quintptr WParam;
    quintptr LParam;
    // A block a posted message carries; it lives as long as the message.
    QByteArray Data;

    // LParam as the job of the forwarded and job messages.
    TVQArcCache* Cache() const { return reinterpret_cast<TVQArcCache*>(LParam); }
    template <typename TRecord> const TRecord* Record() const {
        return reinterpret_cast<const TRecord*>(WParam);
    }
};

// The window message numbers are Qt event types; true for any of ours.
bool IsDBMessage(const QEvent* Event);

// Queued for the window; dropped when the window is gone by then.
void PostDBMessage(const TWindowHandle& Window, int Msg, quintptr WParam = 0, quintptr LParam = 0,
                   QByteArray Data = {});
// Delivered at once to the window's handler; nothing when it is gone.
// Returns whether the window existed.
bool SendDBMessage(const TWindowHandle& Window, int Msg, quintptr WParam = 0, quintptr LParam = 0);

// The screen cursor as the controller and the windows set it. Works only
// under a QGuiApplication; elsewhere it is remembered and does nothing.
enum TCursor { crDefault = 0, crHourGlass = 1, crAppStart = 2 };
void SetScreenCursor(TCursor Cursor);
TCursor ScreenCursor();

// The application's standard exception display (the main window installs
// its error box here). Without one the message goes to the debug output.
using TExceptionDisplay = std::function<void(std::exception_ptr)>;
void SetApplicationExceptionHandler(TExceptionDisplay Handler);
void HandleApplicationException(std::exception_ptr Error);
// The message of any exception the viewer raises or meets.
QString ExceptionMessage(std::exception_ptr Error);

enum TJobStatus { jsExecWaiting = 0, jsResultWaiting = 1, jsNone = 2 };

// One request of a window to the archive. Created through Create, which
// hands it to the controller; the controller's job list owns it from then
// on. The results go to the window as messages with the job as LParam.
class TVQArcCache {
public:
    // opSQLExecute: Data is SQL with "#F_" macros, expanded here for the
    // server type the library reports now ("Not connected" when there is no
    // connection).
    static TVQArcCache* Create(const TWindowHandle& HWndForNotify, Operation AJob,
                               const QString& Data);
    // opDelete, opDownload: the record ids are copied.
    static TVQArcCache* Create(const TWindowHandle& HWndForNotify, Operation AJob,
                               const TIDs& Data);
    // opSearchText: takes the ids over (Data.MediaIds() is emptied), copies
    // the phrases and the mode.
    static TVQArcCache* Create(const TWindowHandle& HWndForNotify, Operation AJob,
                               TSearchOptions& Data);
    // The result is the job as the controller's list holds it, or null when
    // the job was already freed while it was being started (the window then
    // has had WM_DB_CACHEFREED for it). Construction failures raise and
    // leave no job registered; a kind that does not fit the data is the
    // assertion "TVQArcCache.Create: Invalid operation kind (%d)".

    // Sends WM_DB_CACHEFREED to the window (when it still exists).
    ~TVQArcCache();
    TVQArcCache(const TVQArcCache&) = delete;
    TVQArcCache& operator=(const TVQArcCache&) = delete;

    // An unregistered copy, for restarting jobs after a reconnect.
    std::unique_ptr<TVQArcCache> Clone() const;

    quint32 TransactionID() const { return FTransactionID; }
    const TWindowHandle& HWndForNotify() const { return FHWndForNotify; }
    const QString& StringData() const { return FStringData; }
    Operation Job() const { return FJob; }
    const TIDs& MediaIds() const { return FMediaIds; }
    TJobStatus Status() const { return FStatus; }
    const QStringList& SearchStrings() const { return FSearchStrings; }
    SearchMode Mode() const { return FSearchMode; }

private:
    friend class TDBConnection;
    TVQArcCache(const TWindowHandle& HWndForNotify, Operation AJob);
    static TVQArcCache* Register(std::unique_ptr<TVQArcCache> Job);

    TWindowHandle FHWndForNotify;
    quint32 FTransactionID = 0;
    QString FStringData;
    Operation FJob;
    TIDs FMediaIds;
    TJobStatus FStatus = jsExecWaiting;
    QStringList FSearchStrings;
    SearchMode FSearchMode = smAllOf;
};

using TJobList = std::vector<std::unique_ptr<TVQArcCache>>;

// The controller's news for the windows: its job list or the connection's
// state changed. Told once the event that changed them is done, once for
// any number of changes, so that the windows' commands follow the state
// without looking at it on every pass of the event loop.
class TConnectionEvents : public QObject {
    Q_OBJECT
signals:
    void Changed();
};

class TDBConnection : public TDBListener {
public:
    // Reads host and port from the settings and shows "Not connected".
    // Becomes the program-wide DBConnection while it exists.
    TDBConnection();
    ~TDBConnection() override;
    TDBConnection(const TDBConnection&) = delete;
    TDBConnection& operator=(const TDBConnection&) = delete;

    // Writing true connects (raises EConnectionException on failure, all
    // jobs dropped); writing false disconnects and drops all jobs.
    bool Connected() const { return FConnected; }
    void SetConnected(bool Value);
    const QString& Host() const { return FHost; }
    void SetHost(const QString& Value);
    quint32 Port() const { return FPort; }
    void SetPort(quint32 Value);
    // The stored password, or the built-in default when none is stored.
    QString Password() const;
    void SetPassword(const QString& Value);
    // While connected, polls the server first (and may find the connection
    // lost); never raises.
    QString StatusString();
    // The status text as it stands, without polling the server.
    const QString& LastStatus() const { return FStatusString; }
    State ServerState() const { return FState; }
    qint32 MaxRecords();
    void SetMaxRecords(qint32 Value);
    // False while connected with the server failed, and while a lost
    // connection is being opened again.
    bool Enabled() const { return !(FConnected && FState == stFailed) && !FReconnect; }
    // A lost connection is being opened again, off the GUI thread; the
    // status text tells the attempt.
    bool Reconnecting() const { return FReconnect != nullptr; }

    // Tests other settings by connecting with them; raises the connect
    // failure. The previous connection state is restored afterwards.
    void CheckConnection(const QString& Host, quint32 port, const QString& password);
    // The one-second tick: starts waiting jobs.
    bool TimerProc();
    // True when the server is ready and no job waits for results. A failed
    // poll starts reconnecting (false until that has ended).
    bool Ready();
    // Connects if needed (may raise); true unless the server is failed.
    bool ConnectionOK();
    int GetServerType();
    bool FreeCache(TVQArcCache* Cache);
    bool CacheExists(const TVQArcCache* Cache) const;
    // Frees and cancels every job of that window.
    void CancelJob(const QObject* JobOwner);
    // Replaces all jobs by copies of AJobs and starts the first.
    void RestartJobs(const TJobList& AJobs);
    // Posted to every form of the application.
    void BroadcastMsg(int Msg, quintptr Wparam, quintptr Lparam);

    // The forms BroadcastMsg reaches: every form the application has (as
    // the installed form list tells; the frame installs one covering the
    // main window, the dialogs and the child windows), and every window
    // registered here. A job's window is registered when the job is added.
    // Destroyed forms drop out by themselves; each form appears once.
    void AddForm(QObject* Form);
    void RemoveForm(const QObject* Form);
    QList<QObject*> Forms() const;
    using TFormList = std::function<QList<QObject*>()>;
    static void SetApplicationForms(TFormList List);

    // Settings values that could not be read when the controller was
    // created ("Invalid data type for 'Port'" and what is used instead).
    // Their defaults apply; the settings file is left as it is until the
    // operator saves settings. Empty when every value was fine.
    const QStringList& SettingsProblems() const { return FSettingsProblems; }

    TConnectionEvents* Events() const { return FEvents.get(); }

    // The job list, in order.
    int JobCount() const { return static_cast<int>(FCaches.size()); }
    TVQArcCache* Jobs(int Index) const { return FCaches.at(static_cast<size_t>(Index)).get(); }

    // Listener operations: run on the library's thread and hand the record
    // to the GUI thread, waiting until the job window's handler returned.
    void SelectResult(const IPC_DA_DBClient::TSelectResult* res) override;
    void DeleteComplete(const IPC_DA_DBClient::TDeleteComplete* res) override;
    void DownloadProcess(const IPC_DA_DBClient::TDownloadProcess* res) override;
    void SearchProcess(const IPC_DA_DBClient::TSearchProcess* res) override;

    // Releases a library thread waiting in a hand-over and refuses new
    // ones; the program does this before it stops the library, because the
    // GUI thread no longer handles messages then. Also done when the
    // application object goes away.
    void Shutdown();

    static constexpr const char* DefaultPassword = "pemrak";
    static constexpr quint32 DefaultPort = 7456;
    static constexpr const char* DefaultHost = "localhost";
    static constexpr qint32 DefaultMaxRecords = 10000;
    static constexpr int ReconnectAttempts = 4;
    static constexpr int ReconnectDelayMs = 3000;

protected:
    TVQArcCache* AddJob(std::unique_ptr<TVQArcCache> Job);
    bool StartJob(TVQArcCache* Job);
    TVQArcCache* FindJob(quint32 Id);
    void CheckConnectResult(int Code);
    void FreeAllJobs();
    State PollStatus();
    void ResetStatus();
    void NotifyWndProc(int Msg, quintptr WParam, quintptr LParam);

    // The millisecond tick count that becomes a transaction id.
    virtual quint32 TickCount() const;
    // The wait between reconnect attempts; the tests shorten it.
    int FReconnectDelay = ReconnectDelayMs;

private:
    friend class TVQArcCache;
    friend class TNotifyWindow;
    void HandOver(int Msg, const void* Record, quint32 Id);
    void QueueSelectResult(const IPC_DA_DBClient::TSelectResult& Record);
    void DeliverHandOver(const std::shared_ptr<TDBHandOver>& Item);
    quint32 NewTransactionID();
    std::unique_ptr<TVQArcCache> TakeJob(const TVQArcCache* Cache);

    TJobList FCaches;
    bool FConnected = false;
    QString FHost;
    quint32 FPort = DefaultPort;
    QString FStatusString;
    State FState = stReady;
    std::unique_ptr<QObject> FHandle;
    std::unique_ptr<TConnectionEvents> FEvents = std::make_unique<TConnectionEvents>();
    bool FChangePending = false;
    void NoteChange();
    qint32 FMaxRecords = 0;
    quint32 FLastTransactionID = 0;
    QList<QPointer<QObject>> FForms;
    QStringList FSettingsProblems;

    // Offers waiting jobs to the server again once a job is freed, without
    // waiting for the main window's tick.
    void ScheduleWaitingJobs(bool Again = false);
    void RetryWaitingJobs();
    static constexpr int FirstStartDelayMs = 20;
    QTimer* FStartTimer = nullptr;
    int FStartDelay = FirstStartDelayMs;

    // Reconnecting: the attempts run on a thread of their own, one after
    // the pause, so that the window never waits for them; their outcome is
    // taken in on the GUI thread.
    struct TReconnectRound;
    std::unique_ptr<TReconnectRound> FReconnect;
    quint32 FReconnectSerial = 0;
    void BeginReconnect(std::exception_ptr PollError);
    void StartReconnectAttempt();
    void ReconnectAttemptDone(quint32 Serial, int Code, std::exception_ptr Error);
    void FailReconnect(std::exception_ptr PollError);
    // Ends a round early (an explicit connect or disconnect, the end of the
    // program): waits for its attempt and drops its jobs.
    void AbandonReconnect();
    // Set while the jobs of a successful round are restarted, so that a
    // poll failing again right then ends the round instead of starting one.
    bool FReconnecting = false;

    std::mutex FHandOverLock;
    std::condition_variable FHandOverDone;
    bool FClosing = false;
    // Bytes of select results copied for the window and not yet handled.
    size_t FQueuedBytes = 0;

public:
    // How far the library's thread may run ahead of the window with select
    // results before it waits; the tests lower it.
    size_t FQueueLimit = 4u << 20;
};

// The program's one controller (null while none exists).
extern TDBConnection* DBConnection;
