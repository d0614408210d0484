// The export of records into an evidence package: asks a source for each
// record in turn (its description, its call attached data, its bytes),
// writes what it gets into the package, notes the records that fail and
// goes on with the others, and finally writes the ZIP.
//
// The source decides where the records come from and how: the result
// window through its jobs and the program's one-job-at-a-time rule, vqcli
// through the library's functions. A source may answer at once, inside
// Fetch, or later from the event loop; the export works either way.
#pragma once

#include "EvidencePackage.h"
#include "EvidenceRecord.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

// Where a source delivers one record, in this order: Describe, AddCad (at
// most once), AddData (any number of pieces), Finish.
class TEvidenceSink {
public:
    virtual ~TEvidenceSink() = default;
    virtual void Describe(const TEvidenceRecord& Record) = 0;
    virtual void AddCad(const QList<TCadRow>& Rows) = 0;
    // False: the record cannot take more (stop sending it; Finish follows).
    virtual bool AddData(const char* Data, qint64 Length) = 0;
    // An empty Error: the record is complete. Fatal: the source cannot
    // deliver any more records (the server cannot be reached); the rest
    // fail with the same reason.
    virtual void Finish(const QString& Error, bool Fatal = false) = 0;
};

class TEvidenceSource {
public:
    virtual ~TEvidenceSource() = default;
    // Fetches one record into Sink, now or later.
    virtual void Fetch(quint32 MediaId, TEvidenceSink& Sink) = 0;
    // Stops the fetch that runs; no call into the sink follows. May be
    // called from inside a call into the sink.
    virtual void Cancel() = 0;
};

struct TEvidenceProgress {
    int Done = 0;
    int Total = 0;
    int Failed = 0;
    // Bytes of the records received so far.
    qint64 Bytes = 0;
    // The record being fetched, and what it is, once described.
    quint32 Current = 0;
    QString CurrentText;
    // The ZIP is being written; PackFraction runs from 0 to 1.
    bool Packing = false;
    double PackFraction = 0;
};

struct TEvidenceResult {
    enum TStatus { erWritten, erCancelled, erFailed };
    TStatus Status = erFailed;
    QString File;
    // Why nothing was written (erFailed).
    QString Error;
    // The records in the package, and each one's folder there.
    QList<quint32> Exported;
    QStringList ExportedFolders;
    QList<TEvidenceFailure> Failures;
    QByteArray PackageSha256;
    QByteArray ManifestSha256;
    qint64 PackageBytes = 0;
};

class TEvidenceExport : private TEvidenceSink {
public:
    struct TOptions {
        QString Target;
        TEvidencePackageInfo Info;
        // More ids than this (after dropping repeated ones) are refused; 0:
        // no limit.
        int MaxRecords = 0;
        std::function<void(const TEvidenceProgress&)> OnProgress;
        // Once, at the end. It must not destroy the export.
        std::function<void(const TEvidenceResult&)> OnFinished;
        // Runs Work, which writes the ZIP, and afterwards Then on this
        // export's thread. Unset: both at once, here. A program with an
        // event loop runs Work on another thread so that it stays
        // responsive; Work then touches nothing but the package.
        std::function<void(std::function<void()> Work, std::function<void()> Then)> RunPacking;
        // Polled between records and while the ZIP is written (from the
        // packing thread too): true stops the export as Cancel does.
        std::function<bool()> CancelRequested;
    };

    TEvidenceExport(TEvidenceSource& Source, TOptions Options);
    ~TEvidenceExport() override;
    TEvidenceExport(const TEvidenceExport&) = delete;
    TEvidenceExport& operator=(const TEvidenceExport&) = delete;

    // Raises EEvidenceError when the package cannot be begun (the folder,
    // the record limit) or there is nothing to export; then no callback
    // runs. Otherwise the export runs, perhaps to its end before Start
    // returns.
    void Start(const QList<quint32>& Ids);
    // Stops the export: no file is left. While the ZIP is being written the
    // stop takes effect when libzip next asks.
    void Cancel();
    bool Running() const { return FState == stFetching || FState == stPacking; }
    TEvidenceProgress Progress() const;

    // The ids once each, in their first order.
    static QList<quint32> Unique(const QList<quint32>& Ids);

private:
    enum TState { stIdle, stFetching, stPacking, stDone };

    void Describe(const TEvidenceRecord& Record) override;
    void AddCad(const QList<TCadRow>& Rows) override;
    bool AddData(const char* Data, qint64 Length) override;
    void Finish(const QString& Error, bool Fatal) override;

    void Next();
    void Fail(const QString& Error);
    void StartPacking();
    void Complete(TEvidenceResult Result);
    void Report();
    bool StopWanted() const;

    TEvidenceSource& FSource;
    TOptions FOptions;
    std::unique_ptr<TEvidencePackage> FPackage;
    TState FState = stIdle;
    QList<quint32> FIds;
    int FIndex = 0;
    bool FWaiting = false;
    bool FDescribed = false;
    QString FRecordError;
    bool FInNext = false;
    bool FAgain = false;
    qint64 FBytes = 0;
    QString FCurrentText;
    QList<quint32> FExported;
    QList<TEvidenceFailure> FFailures;
    std::atomic<bool> FCancelPacking{false};
    std::atomic<double> FPackFraction{0};
};
