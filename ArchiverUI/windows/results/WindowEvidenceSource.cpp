#include "WindowEvidenceSource.h"

#include "JobHandle.h"
#include "QueryResult.h"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QTimer>

namespace {

QString Text(const char* Value) {
    return Value != nullptr ? QString::fromUtf8(Value) : QString();
}

// The next deferred operation of the result windows, once the controller
// is done with the job that ended.
void RunPendingLater(TfrmQueryResult* Window) {
    if (Window != nullptr)
        QTimer::singleShot(0, Window, [Window] { Window->PassTurn(); });
}

} // namespace

TWindowEvidenceSource::TWindowEvidenceSource(TfrmQueryResult& Window,
                                             QHash<quint32, TEvidenceRecord> Records)
    : FWindow(&Window), FRecords(std::move(Records)), FJob(new TJobHandle(this)) {
    FJob->SetTakesTurns(true);
    setObjectName(QStringLiteral("EvidenceSource"));
    // A server that stops answering fails the record instead of holding
    // the export.
    FJob->SetAnswerLimit(TJobHandle::LibraryCallLimit);
    connect(FJob, &TJobHandle::Rows, this, &TWindowEvidenceSource::AddCadRows);
    connect(FJob, &TJobHandle::Data, this, &TWindowEvidenceSource::AddData);
    connect(FJob, &TJobHandle::Finished, this, &TWindowEvidenceSource::StepDone);
    connect(FJob, &TJobHandle::Failed, this, &TWindowEvidenceSource::StepFailed);
    connect(FJob, &TJobHandle::ConnectionLost, this, [this] {
        EndRecord(QStringLiteral("The connection to the server was lost"));
        RunPendingLater(FWindow);
    });
}

TWindowEvidenceSource::~TWindowEvidenceSource() {
    FSink = nullptr;
    // The handle, a child, cancels the job; the next operation may then go.
    if (FJob->Running())
        RunPendingLater(FWindow);
}

bool TWindowEvidenceSource::JobRunning() const {
    return FJob->Running();
}

void TWindowEvidenceSource::Fetch(quint32 MediaId, TEvidenceSink& Sink) {
    FSink = &Sink;
    FCad.clear();
    FStep = stNone;
    const auto Found = FRecords.constFind(MediaId);
    if (Found == FRecords.constEnd()) {
        EndRecord(QStringLiteral("The record is not listed in the window"));
        return;
    }
    FRecord = *Found;
    FSink->Describe(FRecord);
    if (FSink == nullptr)
        return;
    // Records without a call id have no call attached data to ask for.
    FStep = FRecord.GCID.isEmpty() ? stData : stCad;
    Wait();
}

void TWindowEvidenceSource::Cancel() {
    FSink = nullptr;
    FWaiting = false;
    FStep = stNone;
    StopJob();
}

void TWindowEvidenceSource::StopJob() {
    if (!FJob->Running())
        return;
    try {
        FJob->Cancel();
    } catch (const EDllException&) {
        // Without a connection there is nothing left to stop at the server,
        // and the job is gone here.
    }
    RunPendingLater(FWindow);
}

void TWindowEvidenceSource::Wait() {
    // Every step takes its turn behind the operations other windows
    // deferred while the server was busy.
    FWaiting = true;
    if (FWindow)
        FWindow->AddOperation(soExport);
    QTimer::singleShot(0, this, [this] {
        if (!IsServerBusy() && FWindow)
            FWindow->PassTurn();
    });
}

void TWindowEvidenceSource::Resume() {
    if (!FWaiting || FSink == nullptr)
        return;
    if (IsServerBusy()) {
        if (FWindow)
            FWindow->AddOperation(soExport);
        return;
    }
    FWaiting = false;
    StartJob();
}

void TWindowEvidenceSource::StartJob() {
    if (DBConnection == nullptr) {
        EndRecord(QStringLiteral("Not connected"), true);
        return;
    }
    FStarting = true;
    FStartError.clear();
    const auto Started = qScopeGuard([this] { FStarting = false; });
    try {
        // The call attached data statement asks the library for the server
        // type: connect first.
        if (!DBConnection->Connected())
            DBConnection->SetConnected(true);
        if (FStep == stCad)
            FJob->Start(opSQLExecute, CadSQL(FRecord.GCID, DBConnection->GetServerType()));
        else
            FJob->Start(opDownload, TIDs{FRecord.MediaId});
    } catch (...) {
        // The server cannot be reached: the other records cannot be either.
        EndRecord(ExceptionMessage(std::current_exception()), true);
        return;
    }
    // The controller could not send the job and dropped it.
    if (!FJob->Running())
        EndRecord(FStartError, true);
}

void TWindowEvidenceSource::EndRecord(const QString& Error, bool Fatal) {
    FStep = stNone;
    FWaiting = false;
    TEvidenceSink* Sink = FSink;
    FSink = nullptr;
    // The export may fetch the next record from inside this call.
    if (Sink != nullptr)
        Sink->Finish(Error, Fatal);
}

void TWindowEvidenceSource::AddCadRows(const IPC_DA_DBClient::TSelectResult& Result) {
    if (FStep != stCad || FSink == nullptr)
        return;
    for (std::uint32_t I = 0; I < Result.rows.rows_len && Result.rows.rows_val != nullptr; ++I) {
        const IPC_DA_DBClient::TSelectRow& Row = Result.rows.rows_val[I];
        auto Column = [&](std::uint32_t C) {
            return C < Row.cols.cols_len && Row.cols.cols_val != nullptr
                       ? Text(Row.cols.cols_val[C].value)
                       : QString();
        };
        FCad.append({Column(0), Column(1), Column(2)});
    }
}

void TWindowEvidenceSource::AddData(quint32 RecId, const char* Bytes, quint32 Length) {
    if (FStep != stData || FSink == nullptr || RecId != FRecord.MediaId)
        return;
    // The record is the library's only while this is handled: the bytes go
    // straight into the package.
    if (FSink->AddData(Bytes, qint64(Length)) || FSink == nullptr)
        return;
    // The record cannot take more: stop its download, not the export.
    StopJob();
    EndRecord(QString());
}

void TWindowEvidenceSource::StepDone() {
    RunPendingLater(FWindow);
    if (FSink == nullptr)
        return;
    if (FStep == stCad) {
        FSink->AddCad(FCad);
        if (FSink == nullptr)
            return;
        FStep = stData;
        Wait();
        return;
    }
    EndRecord(QString());
}

void TWindowEvidenceSource::StepFailed(const QString& Error) {
    if (FStarting) {
        FStartError = Error;
        return;
    }
    RunPendingLater(FWindow);
    EndRecord(FStep == stCad ? QStringLiteral("The call attached data could not be read: ") + Error
                             : Error);
}
