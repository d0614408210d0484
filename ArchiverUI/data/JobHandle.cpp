#include "JobHandle.h"

#include <QTimer>

#include <utility>

namespace {

constexpr quint32 DownloadEnd = 0xFFFFFFFFu;

QString ErrorText(const TDAError& Error, const QString& Otherwise) {
    const QString Text = QString::fromLocal8Bit(Error.msg != nullptr ? Error.msg : "");
    return Text.isEmpty() ? Otherwise : Text;
}

enum TOutcome { oFinished, oFailed, oCancelled, oLost };

} // namespace

TJobHandle::TJobHandle(QObject* Owner) : QObject(Owner), FAnswerTimer(new QTimer(this)) {
    FAnswerTimer->setSingleShot(true);
    connect(FAnswerTimer, &QTimer::timeout, this, &TJobHandle::AnswerOverdue);
}

TJobHandle::~TJobHandle() {
    FActive = false;
    if (DBConnection == nullptr)
        return;
    try {
        DBConnection->CancelJob(this);
    } catch (...) {
        // A destructor tells, and goes on: the job is freed here either way.
        HandleApplicationException(std::current_exception());
    }
}

TVQArcCache* TJobHandle::Job() const {
    if (DBConnection == nullptr)
        return nullptr;
    for (int I = 0; I < DBConnection->JobCount(); ++I)
        if (DBConnection->Jobs(I)->HWndForNotify().data() == this)
            return DBConnection->Jobs(I);
    return nullptr;
}

bool TJobHandle::Waiting() const {
    const TVQArcCache* J = FActive ? Job() : nullptr;
    return J != nullptr && J->TransactionID() == 0;
}

void TJobHandle::Start(Operation Kind, const QString& Sql) {
    StartWith(Kind, Sql);
}

void TJobHandle::Start(Operation Kind, const TIDs& Ids) {
    StartWith(Kind, Ids);
}

void TJobHandle::Start(TSearchOptions& Options) {
    StartWith(opSearchText, Options);
}

template <typename TData> void TJobHandle::StartWith(Operation Kind, TData& Data) {
    FAnswerTimer->stop();
    if (FActive) {
        // The job being replaced ends without a word: its owner asked for
        // the new one.
        FActive = false;
        if (DBConnection != nullptr)
            DBConnection->CancelJob(this);
    }
    ++FId;
    FKind = Kind;
    FReceived = 0;
    FError.clear();
    FLost = false;
    FEnding = false;
    FCheckPending = false;
    FIds.clear();
    TVQArcCache* Created = nullptr;
    try {
        if (DBConnection == nullptr)
            throw EConnectionException(QStringLiteral("Not connected"));
        // A statement job asks the library for the server type when it is
        // made, which needs the connection first.
        if (!DBConnection->Connected())
            DBConnection->SetConnected(true);
        FActive = true;
        Created = TVQArcCache::Create(TWindowHandle(this), Kind, Data);
    } catch (...) {
        // Told to the owner, and raised on to the one who asked.
        FActive = false;
        emit Failed(ExceptionMessage(std::current_exception()));
        throw;
    }
    if (Created == nullptr) {
        // The controller could not send it and dropped every job.
        FActive = false;
        emit Failed(DBConnection->LastStatus());
        return;
    }
    FIds = Created->MediaIds();
    if (Created->TransactionID() == 0)
        emit WaitingForServer();
    else
        emit Started();
    WatchAnswer();
}

void TJobHandle::SetAnswerLimit(int Ms) {
    FAnswerLimit = qMax(0, Ms);
    WatchAnswer();
}

void TJobHandle::WatchAnswer() {
    // A job that waits its turn has asked the server nothing yet.
    if (FAnswerLimit > 0 && FActive && !FEnding && !Waiting())
        FAnswerTimer->start(FAnswerLimit);
    else
        FAnswerTimer->stop();
}

void TJobHandle::AnswerOverdue() {
    if (!FActive || FEnding || Waiting())
        return;
    FActive = false;
    if (DBConnection != nullptr) {
        try {
            DBConnection->CancelJob(this);
        } catch (const EDllException&) {
            // The job is freed here all the same; that the server did not
            // answer is what the owner hears, and all it can act on.
        }
    }
    End(oFailed, QStringLiteral("No answer from the server within %1 s")
                     .arg(QString::number(FAnswerLimit / 1000.0)));
}

void TJobHandle::Complete() {
    if (!FActive || FEnding)
        return;
    FEnding = true;
    PostDBMessage(TWindowHandle(this), WM_DB_JOBDONE, FId, 0);
}

void TJobHandle::Cancel() {
    if (!FActive)
        return;
    FActive = false;
    FAnswerTimer->stop();
    std::exception_ptr Error;
    if (DBConnection != nullptr) {
        try {
            DBConnection->CancelJob(this);
        } catch (...) {
            // The job is gone here all the same; the owner hears of the
            // cancel first, then of the failure.
            Error = std::current_exception();
        }
    }
    emit Cancelled();
    if (Error)
        std::rethrow_exception(Error);
}

void TJobHandle::End(int Outcome, const QString& Text) {
    FActive = false;
    FEnding = false;
    FAnswerTimer->stop();
    switch (Outcome) {
    case oFinished:
        emit Finished();
        break;
    case oFailed:
        emit Failed(Text);
        break;
    case oCancelled:
        emit Cancelled();
        break;
    default:
        emit ConnectionLost(FReceived);
        break;
    }
}

bool TJobHandle::TurnTaken() {
    if (DBConnection == nullptr)
        return false;
    for (int I = 0; I < DBConnection->JobCount(); ++I)
        if (const auto* Handle =
                qobject_cast<const TJobHandle*>(DBConnection->Jobs(I)->HWndForNotify().data()))
            if (Handle->FTakesTurns)
                return true;
    return false;
}

bool TJobHandle::event(QEvent* Event) {
    if (Event->type() == JobStartedEvent()) {
        if (FActive) {
            emit Started();
            WatchAnswer();
        }
        return true;
    }
    if (!IsDBMessage(Event))
        return QObject::event(Event);
    const auto& Message = *static_cast<TDBMessage*>(Event);
    switch (Message.Msg()) {
    case WM_DB_SELECTRESULT:
    case WM_DB_DOWNLOADPROCESS:
    case WM_DB_SEARCHPROCESS:
    case WM_DB_DELETECOMPLETE:
        Deliver(Message);
        break;
    case WM_DB_JOBDONE:
        if (FActive && FEnding && quint32(Message.WParam) == FId) {
            // Out of the list before the owner hears: whatever it starts
            // next must not wait behind this job.
            FActive = false;
            if (TVQArcCache* J = Job())
                DBConnection->FreeCache(J);
            End(FError.isEmpty() ? oFinished : oFailed, FError);
        }
        break;
    case WM_DB_CACHEFREED:
        JobFreed(Message.Cache());
        break;
    case WM_DB_CONNECTIONLOST:
        // Sent for a copy the controller restarts; whether it is wanted is
        // decided once the controller is done restarting.
        FLost = true;
        if (!FActive)
            DropCopies();
        break;
    default:
        break;
    }
    return true;
}

void TJobHandle::Deliver(const TDBMessage& Message) {
    if (!FActive || FEnding || FLost) {
        // A copy restarted for a job that has ended, or results after the
        // end: nobody wants them, and the copy would hold up every job.
        if (!FActive)
            DropCopies();
        return;
    }
    ++FReceived;
    WatchAnswer();
    switch (Message.Msg()) {
    case WM_DB_SELECTRESULT: {
        const auto* R = Message.Record<IPC_DA_DBClient::TSelectResult>();
        if (R->error.error != deSuccess) {
            FError = ErrorText(R->error, QStringLiteral("The query failed"));
        } else {
            emit Rows(*R);
            if (R->hasMore)
                return;
        }
        break;
    }
    case WM_DB_DOWNLOADPROCESS: {
        const auto* R = Message.Record<IPC_DA_DBClient::TDownloadProcess>();
        if (R->error.error == deCancelled)
            return;
        if (R->error.error != deSuccess) {
            FError = ErrorText(
                R->error, QStringLiteral("The record %1 could not be downloaded").arg(R->recId));
        } else if (R->recId != DownloadEnd) {
            if (R->data.data_len > 0 && R->data.data_val != nullptr)
                emit Data(R->recId, reinterpret_cast<const char*>(R->data.data_val),
                          R->data.data_len);
            return;
        }
        break;
    }
    case WM_DB_SEARCHPROCESS: {
        const auto* R = Message.Record<IPC_DA_DBClient::TSearchProcess>();
        if (R->error.error == deSuccess) {
            emit SearchProgress(*R);
            return;
        }
        FError = ErrorText(R->error, QStringLiteral("The search failed"));
        break;
    }
    default: {
        const auto* R = Message.Record<IPC_DA_DBClient::TDeleteComplete>();
        if (R->error.error != deSuccess)
            FError = ErrorText(R->error, QStringLiteral("The records could not be deleted"));
        break;
    }
    }
    // The owner may have cancelled from its handler.
    if (FActive && !FEnding) {
        FEnding = true;
        PostDBMessage(TWindowHandle(this), WM_DB_JOBDONE, FId, 0);
    }
}

void TJobHandle::JobFreed(const TVQArcCache* Freed) {
    // Jobs this handle frees itself are freed after FActive is cleared.
    if (!FActive || Freed == nullptr || Freed->HWndForNotify().data() != this)
        return;
    // Dropped by the controller: the connection went, or could not be
    // opened. A restarted copy may take its place before the event loop
    // comes back here.
    // The controller's own unregistered copies tell their end the same way:
    // one look suffices.
    if (std::exchange(FCheckPending, true))
        return;
    const quint32 Id = FId;
    QTimer::singleShot(0, this, [this, Id] { CheckDropped(Id); });
}

void TJobHandle::CheckDropped(quint32 Id) {
    FCheckPending = false;
    if (!FActive || Id != FId)
        return;
    TVQArcCache* Copy = Job();
    if (Copy != nullptr && FReceived == 0 && !FEnding) {
        // Nothing had arrived: the copy gives the whole result.
        FLost = false;
        emit Replaced();
        WatchAnswer();
        return;
    }
    FActive = false;
    if (Copy != nullptr)
        DropCopies();
    if (FEnding)
        // The end had arrived before the connection went.
        End(FError.isEmpty() ? oFinished : oFailed, FError);
    else if (FReceived > 0)
        End(oLost);
    else
        End(oFailed,
            DBConnection != nullptr ? DBConnection->LastStatus() : QStringLiteral("Not connected"));
}

void TJobHandle::DropCopies() {
    // Not from inside the controller's restart, which is still adding the
    // copies.
    QTimer::singleShot(0, this, [this] {
        if (FActive || DBConnection == nullptr || Job() == nullptr)
            return;
        try {
            DBConnection->CancelJob(this);
        } catch (const EDllException&) {
            // The copy is freed here; the server forgets it with the
            // connection it came on.
        }
    });
}
