#include "LinkSource.h"

#include "SQLMacros.h"

#include "vqlink/vqlink.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

constexpr quint32 DownloadEnd = 0xFFFFFFFFu;
// A record's rows and its call attached data are a few lines; an answer
// longer than this is no answer to these statements.
constexpr qsizetype MaxRows = 100000;

struct TPiece {
    quint32 RecId = 0;
    QByteArray Data;
    TDAErrorCode Code = deSuccess;
    QString Message;
};

// What the callbacks hand to the waiting source. The library calls plain
// functions without a context, so this lives once in the program; the
// source that holds the callback slots owns it while it lives.
struct TLinkState {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Active = false;
    // The request whose answers are wanted; 0: none.
    quint32 Job = 0;
    QList<QStringList> Rows;
    bool Done = false;
    QString Error;
    std::deque<TPiece> Pieces;
    qint64 Queued = 0;
    bool Stop = false;
    QStringList Reports;
};

TLinkState& State() {
    static TLinkState S;
    return S;
}

QString Text(const char* Value) {
    return Value != nullptr ? QString::fromUtf8(Value) : QString();
}

void OnSelect(const IPC_DA_DBClient::TSelectResult* R) {
    TLinkState& S = State();
    std::lock_guard<std::mutex> Hold(S.Lock);
    if (R == nullptr || !S.Active || R->id != S.Job || S.Done)
        return;
    for (std::uint32_t I = 0; I < R->rows.rows_len && R->rows.rows_val != nullptr; ++I) {
        if (S.Rows.size() >= MaxRows) {
            S.Error = QStringLiteral("The server sent more rows than the statement can have");
            S.Done = true;
            S.Changed.notify_all();
            return;
        }
        const IPC_DA_DBClient::TSelectRow& Row = R->rows.rows_val[I];
        QStringList Columns;
        for (std::uint32_t C = 0; C < Row.cols.cols_len && Row.cols.cols_val != nullptr; ++C)
            Columns.append(Text(Row.cols.cols_val[C].value));
        S.Rows.append(Columns);
    }
    if (R->error.error != deSuccess) {
        S.Error = Text(R->error.msg);
        if (S.Error.isEmpty())
            S.Error = QStringLiteral("The statement failed (error %1)").arg(R->error.error);
        S.Done = true;
    } else if (!R->hasMore) {
        S.Done = true;
    }
    S.Changed.notify_all();
}

void OnDownload(const IPC_DA_DBClient::TDownloadProcess* R) {
    TLinkState& S = State();
    std::unique_lock<std::mutex> Hold(S.Lock);
    if (R == nullptr || !S.Active || R->id != S.Job)
        return;
    // The record is the library's only until this returns: the piece is
    // copied, and the library's thread waits while the source catches up.
    S.Changed.wait(Hold, [&] {
        return S.Queued <= TLinkEvidenceSource::MaxQueuedBytes || S.Stop || !S.Active ||
               R->id != S.Job;
    });
    if (S.Stop || !S.Active || R->id != S.Job)
        return;
    TPiece Piece;
    Piece.RecId = R->recId;
    Piece.Code = R->error.error;
    Piece.Message = Text(R->error.msg);
    if (R->data.data_len > 0 && R->data.data_val != nullptr)
        Piece.Data = QByteArray(reinterpret_cast<const char*>(R->data.data_val),
                                qsizetype(R->data.data_len));
    S.Queued += Piece.Data.size();
    S.Pieces.push_back(std::move(Piece));
    S.Changed.notify_all();
}

void OnException(const char* Message, int Code) {
    TLinkState& S = State();
    std::lock_guard<std::mutex> Hold(S.Lock);
    QString Report = Text(Message);
    if (Report.isEmpty())
        Report = QStringLiteral("The archive client library failed (error %1)").arg(Code);
    S.Reports.append(Report);
    S.Changed.notify_all();
}

enum TWaitEnd { weReady, weCancelled, weTimeout, weLibraryError };

} // namespace

struct TLinkEvidenceSource::TWait {
    // Waits until Ready holds (asked under the lock), polling the server's
    // state once a second so that a connection that ended fails the wait at
    // once rather than after the whole timeout.
    template <typename TReady>
    static TWaitEnd Run(TLinkEvidenceSource& Source, TReady Ready, QString& Report) {
        TLinkState& S = State();
        const Clock::time_point Deadline = Clock::now() + std::chrono::seconds(Source.FTimeout);
        Clock::time_point NextPoll = Clock::now() + std::chrono::seconds(1);
        for (;;) {
            {
                std::unique_lock<std::mutex> Hold(S.Lock);
                const bool Woken = S.Changed.wait_for(Hold, std::chrono::milliseconds(200), [&] {
                    return Ready() || !S.Reports.isEmpty();
                });
                if (!S.Reports.isEmpty()) {
                    Report = S.Reports.join(QStringLiteral("; "));
                    S.Reports.clear();
                    return weLibraryError;
                }
                if (Woken)
                    return weReady;
            }
            if (Source.FCancelled || (Source.FCancelRequested && Source.FCancelRequested()))
                return weCancelled;
            const Clock::time_point Now = Clock::now();
            if (Now >= Deadline)
                return weTimeout;
            if (Now >= NextPoll) {
                NextPoll = Now + std::chrono::seconds(1);
                IPC_DA_DBServer::TStatus Status{};
                GetStatus(&Status);
                IPC_DA_DBServer::TStatus_Free(&Status);
            }
        }
    }
};

TLinkEvidenceSource::TLinkEvidenceSource(int TimeoutSeconds, std::function<bool()> CancelRequested)
    : FTimeout(TimeoutSeconds > 0 ? TimeoutSeconds : 60),
      FCancelRequested(std::move(CancelRequested)) {
    TLinkState& S = State();
    {
        std::lock_guard<std::mutex> Hold(S.Lock);
        if (S.Active)
            throw EEvidenceError(QStringLiteral("Another export holds the library's callbacks"));
        S.Active = true;
        S.Job = 0;
        S.Reports.clear();
    }
    RegisterExceptionCallback(&OnException);
    RegisterSelectResultCallback(&OnSelect);
    RegisterDownloadProcessCallback(&OnDownload);
}

TLinkEvidenceSource::~TLinkEvidenceSource() {
    RegisterSelectResultCallback(nullptr);
    RegisterDownloadProcessCallback(nullptr);
    RegisterExceptionCallback(nullptr);
    TLinkState& S = State();
    std::lock_guard<std::mutex> Hold(S.Lock);
    S.Active = false;
    S.Stop = true;
    S.Job = 0;
    S.Pieces.clear();
    S.Queued = 0;
    S.Rows.clear();
    S.Changed.notify_all();
}

quint32 TLinkEvidenceSource::NewJobId() {
    // A job id as the viewer makes them, a millisecond count; never the
    // one before, whose late answers must not be taken for this one's.
    quint32 Id = quint32(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count());
    if (Id == 0 || Id == FLastJob)
        Id = FLastJob + 1 == 0 ? 1 : FLastJob + 1;
    FLastJob = Id;
    return Id;
}

int TLinkEvidenceSource::ServerType() {
    if (FServerType < 0) {
        const int Type = GetServerType();
        if (Type == 0)
            return 0;
        FServerType = Type;
    }
    return FServerType;
}

QString TLinkEvidenceSource::LibraryError() const {
    TLinkState& S = State();
    std::lock_guard<std::mutex> Hold(S.Lock);
    return S.Reports.join(QStringLiteral("; "));
}

void TLinkEvidenceSource::Cancel() {
    FCancelled = true;
    TLinkState& S = State();
    std::lock_guard<std::mutex> Hold(S.Lock);
    S.Stop = true;
    S.Changed.notify_all();
}

bool TLinkEvidenceSource::RunSelect(const QString& Statement, QList<QStringList>& Rows,
                                    QString& Error, bool& Fatal) {
    TLinkState& S = State();
    quint32 Job = 0;
    {
        std::lock_guard<std::mutex> Hold(S.Lock);
        Job = NewJobId();
        S.Job = Job;
        S.Rows.clear();
        S.Done = false;
        S.Error.clear();
        S.Pieces.clear();
        S.Queued = 0;
        S.Stop = false;
    }
    QByteArray Sql = Statement.toUtf8();
    IPC_DA_DBServer::TSQLExecute Request{Job, Sql.data()};
    SQLExecute(&Request);
    QString Report;
    const TWaitEnd End = TWait::Run(
        *this, [&] { return S.Done; }, Report);
    std::lock_guard<std::mutex> Hold(S.Lock);
    S.Job = 0;
    Fatal = End != weReady;
    switch (End) {
    case weReady:
        Rows = S.Rows;
        S.Rows.clear();
        Error = S.Error;
        return Error.isEmpty();
    case weLibraryError:
        Error = Report;
        return false;
    case weTimeout:
        Error = QStringLiteral("No answer from the server within %1 s").arg(FTimeout);
        break;
    case weCancelled:
        Error = QStringLiteral("Cancelled");
        break;
    }
    IPC_DA_DBServer::TCancelOperation Stop{IPC_DA_DBServer::opSQLExecute, Job};
    CancelOperation(&Stop);
    return false;
}

void TLinkEvidenceSource::Fetch(quint32 MediaId, TEvidenceSink& Sink) {
    FCancelled = false;
    const int Type = ServerType();
    if (Type == 0) {
        const QString Why = LibraryError();
        Sink.Finish(Why.isEmpty() ? QStringLiteral("The server's type could not be read") : Why,
                    true);
        return;
    }
    QList<QStringList> Rows;
    QString Error;
    bool Fatal = false;
    if (!RunSelect(ExpandSQLMacros(Type, RecordSQL(MediaId)), Rows, Error, Fatal)) {
        if (!FCancelled)
            Sink.Finish(Error, Fatal);
        return;
    }
    TEvidenceRecord Record;
    try {
        Record = RecordFromRows(Rows);
    } catch (const EEvidenceRecordError& E) {
        Sink.Finish(E.Message());
        return;
    }
    if (Record.MediaId != MediaId) {
        Sink.Finish(
            QStringLiteral("The server answered with another record (%1)").arg(Record.MediaId));
        return;
    }
    Sink.Describe(Record);
    if (FCancelled)
        return;
    QList<TCadRow> Cad;
    if (!Record.GCID.isEmpty()) {
        if (!RunSelect(CadSQL(Record.GCID, Type), Rows, Error, Fatal)) {
            if (!FCancelled)
                Sink.Finish(QStringLiteral("The call attached data could not be read: ") + Error,
                            Fatal);
            return;
        }
        for (const QStringList& Row : Rows)
            Cad.append({Row.value(0), Row.value(1), Row.value(2)});
    }
    Sink.AddCad(Cad);
    if (FCancelled)
        return;
    RunDownload(MediaId, Sink);
}

void TLinkEvidenceSource::RunDownload(quint32 MediaId, TEvidenceSink& Sink) {
    TLinkState& S = State();
    quint32 Job = 0;
    {
        std::lock_guard<std::mutex> Hold(S.Lock);
        Job = NewJobId();
        S.Job = Job;
        S.Pieces.clear();
        S.Queued = 0;
        S.Stop = false;
    }
    auto StopJob = [&] {
        {
            std::lock_guard<std::mutex> Hold(S.Lock);
            S.Stop = true;
            S.Job = 0;
            S.Pieces.clear();
            S.Queued = 0;
            S.Changed.notify_all();
        }
        IPC_DA_DBServer::TCancelOperation Stop{IPC_DA_DBServer::opDownload, Job};
        CancelOperation(&Stop);
    };
    quint32 Ids[1] = {MediaId};
    IPC_DA_DBServer::TDownload Request{Job, {1, Ids}};
    Download(&Request);
    QString Error;
    for (;;) {
        QString Report;
        const TWaitEnd End = TWait::Run(
            *this, [&] { return !S.Pieces.empty(); }, Report);
        if (End != weReady) {
            StopJob();
            if (FCancelled)
                return;
            if (End == weLibraryError)
                Sink.Finish(Report, true);
            else if (End == weTimeout)
                Sink.Finish(QStringLiteral("No answer from the server within %1 s").arg(FTimeout),
                            true);
            else
                Sink.Finish(QStringLiteral("Cancelled"));
            return;
        }
        std::deque<TPiece> Batch;
        {
            std::lock_guard<std::mutex> Hold(S.Lock);
            Batch.swap(S.Pieces);
            S.Queued = 0;
            S.Changed.notify_all();
        }
        for (const TPiece& Piece : Batch) {
            if (Piece.RecId == DownloadEnd) {
                {
                    std::lock_guard<std::mutex> Hold(S.Lock);
                    S.Job = 0;
                }
                if (Error.isEmpty() && Piece.Code != deSuccess && Piece.Code != deCancelled)
                    Error = Piece.Message.isEmpty()
                                ? QStringLiteral("The download failed (error %1)").arg(Piece.Code)
                                : Piece.Message;
                Sink.Finish(Error);
                return;
            }
            if (Piece.Code != deSuccess) {
                if (Piece.Code != deCancelled && Error.isEmpty())
                    Error = Piece.Message.isEmpty()
                                ? QStringLiteral("The record could not be downloaded (error %1)")
                                      .arg(Piece.Code)
                                : Piece.Message;
                continue;
            }
            if (Piece.RecId != MediaId || !Error.isEmpty() || Piece.Data.isEmpty())
                continue;
            if (!Sink.AddData(Piece.Data.constData(), Piece.Data.size())) {
                StopJob();
                if (!FCancelled)
                    Sink.Finish(QString());
                return;
            }
            if (FCancelled) {
                StopJob();
                return;
            }
        }
    }
}
