// A window's way to run a server job. The handle is the job's window as the
// controller sees it: the controller's messages for the job come here, and
// the handle tells its owner by signals what happened, so that no window
// keeps its own bookkeeping of job serials, orphaned copies or notices of
// freed jobs.
//
// One job at a time: starting another cancels the running one. A job ends in
// exactly one of Finished, Failed, Cancelled or ConnectionLost; results of a
// job that has ended never reach the owner.
#pragma once

#include "DataCache.h"

#include <QObject>
#include <QString>

class QTimer;

class TJobHandle : public QObject {
    Q_OBJECT
public:
    explicit TJobHandle(QObject* Owner);
    // Cancels a running job (without signals: the owner is going).
    ~TJobHandle() override;
    TJobHandle(const TJobHandle&) = delete;
    TJobHandle& operator=(const TJobHandle&) = delete;

    // Start a job; a running one is cancelled first. Connects when needed.
    // Connect failures raise (after Failed has been emitted); a job the
    // controller could not send ends at once in Failed.
    void Start(Operation Kind, const QString& Sql);
    void Start(Operation Kind, const TIDs& Ids);
    // Takes the ids over, as the job does.
    void Start(TSearchOptions& Options);

    // Ends the running job at the owner's word (a text search knows when
    // every record is searched): Finished follows once the job is freed.
    void Complete();
    // Cancels the running job at the server; emits Cancelled. Raises what
    // the library raised on the cancel, after the job is gone here.
    void Cancel();

    // The library's bound of one call, which is also the longest a job
    // waits for the server's next answer once it has been sent.
    static constexpr int LibraryCallLimit = VQLINK_CALL_TIMEOUT_MS;
    // A job that hears nothing from the server for Ms milliseconds after it
    // was sent, or after its last result, is cancelled and ends in Failed.
    // 0 (the default): no limit. Applies to the running job at once.
    void SetAnswerLimit(int Ms);
    int AnswerLimit() const { return FAnswerLimit; }

    // The operations of the result windows and the query builder's user
    // list take turns: one of them waits while another's job is with the
    // controller. Off by default (the player's and the dialogs' lookups).
    void SetTakesTurns(bool Value) { FTakesTurns = Value; }
    bool TakesTurns() const { return FTakesTurns; }
    // The controller holds a job of a handle that takes turns.
    static bool TurnTaken();

    bool Running() const { return FActive; }
    // The controller's job of the running start, or none.
    const TVQArcCache* Current() const { return FActive ? Job() : nullptr; }
    // Registered with the controller and not yet sent to the server.
    bool Waiting() const;
    // Counts the starts of this handle: tells one job from the next.
    quint32 Id() const { return FId; }
    Operation Kind() const { return FKind; }
    const TIDs& MediaIds() const { return FIds; }
    // Result records delivered for the running (or last) job.
    qint64 Received() const { return FReceived; }

signals:
    void Rows(const IPC_DA_DBClient::TSelectResult& Result);
    // A piece of a downloaded record (never the end marker, never an error).
    void Data(quint32 RecId, const char* Bytes, quint32 Length);
    void SearchProgress(const IPC_DA_DBClient::TSearchProcess& Progress);
    // The job waits behind another job for the server; Started follows.
    void WaitingForServer();
    void Started();
    void Finished();
    void Failed(const QString& Text);
    void Cancelled();
    // The connection went while the job ran; Received records had arrived.
    void ConnectionLost(qint64 Received);
    // After a reconnect the controller restarted a copy of the job, which
    // now runs in its place (only for jobs that had received nothing).
    void Replaced();

protected:
    bool event(QEvent* Event) override;

private:
    template <typename TData> void StartWith(Operation Kind, TData& Data);
    TVQArcCache* Job() const;
    void End(int Outcome, const QString& Text = {});
    void Deliver(const TDBMessage& Message);
    void JobFreed(const TVQArcCache* Freed);
    void CheckDropped(quint32 Id);
    void DropCopies();
    void WatchAnswer();
    void AnswerOverdue();

    bool FActive = false;
    bool FLost = false;
    bool FEnding = false;
    bool FCheckPending = false;
    quint32 FId = 0;
    Operation FKind = opSQLExecute;
    TIDs FIds;
    qint64 FReceived = 0;
    QString FError;
    int FAnswerLimit = 0;
    bool FTakesTurns = false;
    QTimer* FAnswerTimer = nullptr;
};
