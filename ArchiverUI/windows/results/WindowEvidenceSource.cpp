#include "WindowEvidenceSource.h"

#include "QueryResult.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

constexpr quint32 DownloadEnd = 0xFFFFFFFFu;

QString Text(const char* Value) {
    return Value != nullptr ? QString::fromUtf8(Value) : QString();
}

// The next deferred operation of any result window, once the controller is
// done with the job being freed.
void RunPendingLater(QObject* Context) {
    QTimer::singleShot(0, Context, [] { RunPendingOperation(); });
}

} // namespace

TWindowEvidenceSource::TWindowEvidenceSource(TfrmQueryResult& Window,
                                             QHash<quint32, TEvidenceRecord> Records)
    : FWindow(&Window), FRecords(std::move(Records)) {
    setObjectName(QStringLiteral("EvidenceSource"));
}

TWindowEvidenceSource::~TWindowEvidenceSource() {
    FSink = nullptr;
    const bool HadJob = FJob != nullptr;
    DropJobs();
    if (HadJob)
        RunPendingLater(QCoreApplication::instance());
}

void TWindowEvidenceSource::Fetch(quint32 MediaId, TEvidenceSink& Sink) {
    FSink = &Sink;
    FCad.clear();
    FError.clear();
    FRefused = false;
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
    DropJobs();
}

void TWindowEvidenceSource::DropJobs() {
    if (FJob == nullptr)
        return;
    FJob = nullptr;
    ++FSerial;
    try {
        if (DBConnection != nullptr)
            DBConnection->CancelJob(this);
    } catch (...) {
        // Without a connection there is nothing left to stop at the server.
    }
}

void TWindowEvidenceSource::Wait() {
    // Every step takes its turn behind the operations other windows
    // deferred while the server was busy.
    FWaiting = true;
    if (FWindow)
        FWindow->AddOperation(soExport);
    QTimer::singleShot(0, this, [] {
        if (!IsServerBusy())
            RunPendingOperation();
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
    ++FSerial;
    FRefused = false;
    try {
        // A statement job asks the library for the server type when it is
        // made: connect first.
        if (!DBConnection->Connected())
            DBConnection->SetConnected(true);
        if (FStep == stCad)
            FJob = TVQArcCache::Create(TWindowHandle(this), opSQLExecute,
                                       CadSQL(FRecord.GCID, DBConnection->GetServerType()));
        else
            FJob = TVQArcCache::Create(TWindowHandle(this), opDownload, TIDs{FRecord.MediaId});
    } catch (...) {
        FJob = nullptr;
        // The server cannot be reached: the other records cannot be either.
        EndRecord(ExceptionMessage(std::current_exception()), true);
        return;
    }
    if (FJob == nullptr)
        EndRecord(DBConnection->StatusString(), true);
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

bool TWindowEvidenceSource::event(QEvent* Event) {
    switch (int(Event->type())) {
    case WM_DB_SELECTRESULT:
        WMSelectResult(*static_cast<TDBMessage*>(Event));
        return true;
    case WM_DB_DOWNLOADPROCESS:
        WMDownloadProcess(*static_cast<TDBMessage*>(Event));
        return true;
    case WM_DB_JOBDONE: {
        const auto& Message = *static_cast<TDBMessage*>(Event);
        if (quint32(Message.WParam) == FSerial && Message.Cache() == FJob && FJob != nullptr)
            StepDone();
        return true;
    }
    case WM_DB_CACHEFREED:
        WMCacheFreed(*static_cast<TDBMessage*>(Event));
        return true;
    case WM_DB_CONNECTIONLOST:
        WMConnectionLost();
        return true;
    case WM_DB_SERVERCHANGED:
        return true;
    default:
        return QObject::event(Event);
    }
}

bool TWindowEvidenceSource::Orphan(TVQArcCache* Job) {
    if (Job == FJob && Job != nullptr)
        return false;
    // A copy the controller restarted after a reconnect for a job this
    // source had given up: nobody else would free it, and it would hold up
    // every later job.
    if (Job != nullptr && DBConnection != nullptr && DBConnection->CacheExists(Job)) {
        try {
            if (FJob == nullptr)
                DBConnection->CancelJob(this);
            else
                DBConnection->FreeCache(Job);
        } catch (...) {
            // It goes with the connection then.
        }
    }
    return true;
}

void TWindowEvidenceSource::WMSelectResult(const TDBMessage& Message) {
    if (Orphan(Message.Cache()))
        return;
    const auto* Result = Message.Record<IPC_DA_DBClient::TSelectResult>();
    if (Result == nullptr || FStep != stCad || FSink == nullptr)
        return;
    for (std::uint32_t I = 0; I < Result->rows.rows_len && Result->rows.rows_val != nullptr; ++I) {
        const IPC_DA_DBClient::TSelectRow& Row = Result->rows.rows_val[I];
        auto Column = [&](std::uint32_t C) {
            return C < Row.cols.cols_len && Row.cols.cols_val != nullptr
                       ? Text(Row.cols.cols_val[C].value)
                       : QString();
        };
        FCad.append({Column(0), Column(1), Column(2)});
    }
    if (Result->error.error != deSuccess) {
        FError = Text(Result->error.msg);
        if (FError.isEmpty())
            FError = QStringLiteral("The statement failed (error %1)").arg(Result->error.error);
        PostDBMessage(TWindowHandle(this), WM_DB_JOBDONE, FSerial, quintptr(FJob));
    } else if (!Result->hasMore) {
        PostDBMessage(TWindowHandle(this), WM_DB_JOBDONE, FSerial, quintptr(FJob));
    }
}

void TWindowEvidenceSource::WMDownloadProcess(const TDBMessage& Message) {
    if (Orphan(Message.Cache()))
        return;
    const auto* Record = Message.Record<IPC_DA_DBClient::TDownloadProcess>();
    if (Record == nullptr || FStep != stData || FSink == nullptr || FRefused)
        return;
    const TDAErrorCode Code = Record->error.error;
    if (Record->recId == DownloadEnd) {
        if (FError.isEmpty() && Code != deSuccess && Code != deCancelled) {
            FError = Text(Record->error.msg);
            if (FError.isEmpty())
                FError = QStringLiteral("The download failed (error %1)").arg(Code);
        }
        PostDBMessage(TWindowHandle(this), WM_DB_JOBDONE, FSerial, quintptr(FJob));
        return;
    }
    if (Code != deSuccess) {
        if (Code != deCancelled && FError.isEmpty()) {
            FError = Text(Record->error.msg);
            if (FError.isEmpty())
                FError = QStringLiteral("The record could not be downloaded (error %1)").arg(Code);
        }
        return;
    }
    if (Record->recId != FRecord.MediaId || !FError.isEmpty() || Record->data.data_len == 0 ||
        Record->data.data_val == nullptr)
        return;
    // The record is the library's only while this is handled: the bytes go
    // straight into the package.
    if (!FSink->AddData(reinterpret_cast<const char*>(Record->data.data_val),
                        qint64(Record->data.data_len))) {
        if (FSink == nullptr)
            return;
        // The record cannot take more: stop its download, not the export.
        FRefused = true;
        PostDBMessage(TWindowHandle(this), WM_DB_JOBDONE, FSerial, quintptr(FJob));
    }
}

void TWindowEvidenceSource::StepDone() {
    TVQArcCache* Job = FJob;
    const bool Stop = FRefused;
    FJob = nullptr;
    try {
        if (DBConnection != nullptr) {
            if (Stop)
                DBConnection->CancelJob(this);
            else
                DBConnection->FreeCache(Job);
        }
    } catch (...) {
        // The job is gone with the connection.
    }
    if (FSink == nullptr)
        return;
    if (FStep == stCad) {
        if (!FError.isEmpty()) {
            EndRecord(QStringLiteral("The call attached data could not be read: ") + FError);
            return;
        }
        FSink->AddCad(FCad);
        if (FSink == nullptr)
            return;
        FStep = stData;
        Wait();
        return;
    }
    EndRecord(FError);
}

void TWindowEvidenceSource::WMCacheFreed(const TDBMessage& Message) {
    if (Message.Cache() == FJob && FJob != nullptr) {
        // The controller dropped the job (the connection went or could not
        // be opened). Told from inside the controller: the record ends
        // once it is done.
        FJob = nullptr;
        const quint32 Serial = ++FSerial;
        QTimer::singleShot(0, this, [this, Serial] {
            if (Serial == FSerial && FJob == nullptr && !FWaiting && FSink != nullptr)
                EndRecord(QStringLiteral("The connection to the server was lost"));
        });
    }
    RunPendingLater(this);
}

void TWindowEvidenceSource::WMConnectionLost() {
    if (FJob == nullptr)
        return;
    const quint32 Serial = FSerial;
    QTimer::singleShot(0, this, [this, Serial] {
        if (Serial != FSerial || FJob == nullptr)
            return;
        DropJobs();
        if (FSink != nullptr)
            EndRecord(QStringLiteral("The connection to the server was lost"));
    });
}
