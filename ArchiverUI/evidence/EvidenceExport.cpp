#include "EvidenceExport.h"

#include "LocalTime.h"

#include <QSet>

TEvidenceExport::TEvidenceExport(TEvidenceSource& Source, TOptions Options)
    : FSource(Source), FOptions(std::move(Options)) {}

TEvidenceExport::~TEvidenceExport() {
    if (FState == stFetching)
        FSource.Cancel();
    // A packing thread still running is its owner's to stop and wait for
    // (RunPacking); the package goes with this object.
    FCancelPacking = true;
}

QList<quint32> TEvidenceExport::Unique(const QList<quint32>& Ids) {
    QList<quint32> Result;
    QSet<quint32> Seen;
    for (quint32 Id : Ids)
        if (!Seen.contains(Id)) {
            Seen.insert(Id);
            Result.append(Id);
        }
    return Result;
}

void TEvidenceExport::Start(const QList<quint32>& Ids) {
    if (FState != stIdle)
        throw EEvidenceError(QStringLiteral("The export runs already"));
    FIds = Unique(Ids);
    if (FIds.isEmpty())
        throw EEvidenceError(QStringLiteral("There are no records to export"));
    if (FOptions.MaxRecords > 0 && FIds.size() > FOptions.MaxRecords)
        throw EEvidenceError(
            QStringLiteral("An evidence package holds at most %1 records; %2 were chosen")
                .arg(FOptions.MaxRecords)
                .arg(FIds.size()));
    FPackage = std::make_unique<TEvidencePackage>(FOptions.Target);
    FState = stFetching;
    FIndex = 0;
    Next();
}

bool TEvidenceExport::StopWanted() const {
    return FOptions.CancelRequested && FOptions.CancelRequested();
}

void TEvidenceExport::Next() {
    // A source that answers inside Fetch comes back here through Finish;
    // the loop takes the next record instead of going deeper.
    if (FInNext) {
        FAgain = true;
        return;
    }
    FInNext = true;
    do {
        FAgain = false;
        if (FState != stFetching)
            break;
        if (StopWanted()) {
            Cancel();
            break;
        }
        if (FIndex >= FIds.size()) {
            StartPacking();
            break;
        }
        FWaiting = true;
        FDescribed = false;
        FRecordError.clear();
        FCurrentText.clear();
        Report();
        FSource.Fetch(FIds.at(FIndex), *this);
    } while (FAgain);
    FInNext = false;
}

void TEvidenceExport::Describe(const TEvidenceRecord& Record) {
    if (!FWaiting || FState != stFetching)
        return;
    FDescribed = true;
    FCurrentText = MediaTypeName(Record.MediaType) + QStringLiteral(", ") + Record.Shown();
    try {
        FPackage->BeginRecord(Record);
    } catch (const EEvidenceError& E) {
        Fail(E.Message());
        return;
    }
    Report();
}

void TEvidenceExport::AddCad(const QList<TCadRow>& Rows) {
    if (FWaiting && FState == stFetching && FDescribed)
        FPackage->SetCad(Rows);
}

bool TEvidenceExport::AddData(const char* Data, qint64 Length) {
    if (!FWaiting || FState != stFetching || !FDescribed || !FRecordError.isEmpty())
        return false;
    try {
        FPackage->WriteData(Data, Length);
    } catch (const EEvidenceRecordError& E) {
        FRecordError = E.Message();
        return false;
    } catch (const EEvidenceError& E) {
        Fail(E.Message());
        return false;
    }
    FBytes += Length;
    Report();
    return true;
}

void TEvidenceExport::Finish(const QString& Error, bool Fatal) {
    if (!FWaiting || FState != stFetching)
        return;
    FWaiting = false;
    const quint32 Id = FIds.at(FIndex);
    QString Reason = !FRecordError.isEmpty() ? FRecordError : Error;
    if (Reason.isEmpty() && !FDescribed)
        Reason = QStringLiteral("The record is not in the archive");
    if (Reason.isEmpty()) {
        try {
            FPackage->EndRecord();
        } catch (const EEvidenceError& E) {
            Fail(E.Message());
            return;
        }
        FExported.append(Id);
    } else {
        FPackage->DropRecord();
        FFailures.append({Id, Reason});
        if (Fatal) {
            // The rest cannot be fetched either; they are listed with it.
            while (FIndex + 1 < FIds.size())
                FFailures.append({FIds.at(++FIndex), Reason});
        }
    }
    ++FIndex;
    Report();
    Next();
}

void TEvidenceExport::Fail(const QString& Error) {
    if (FState != stFetching)
        return;
    FSource.Cancel();
    FWaiting = false;
    TEvidenceResult Result;
    Result.Status = TEvidenceResult::erFailed;
    Result.Error = Error;
    Complete(std::move(Result));
}

void TEvidenceExport::Cancel() {
    if (FState == stPacking) {
        FCancelPacking = true;
        return;
    }
    if (FState != stFetching)
        return;
    FSource.Cancel();
    FWaiting = false;
    TEvidenceResult Result;
    Result.Status = TEvidenceResult::erCancelled;
    Complete(std::move(Result));
}

void TEvidenceExport::StartPacking() {
    if (FExported.isEmpty()) {
        TEvidenceResult Result;
        Result.Status = TEvidenceResult::erFailed;
        Result.Error = FIds.size() == 1 ? QStringLiteral("The record could not be exported")
                                        : QStringLiteral("None of the records could be exported");
        Complete(std::move(Result));
        return;
    }
    FState = stPacking;
    FPackFraction = 0;
    Report();
    TEvidencePackageInfo Info = FOptions.Info;
    Info.Failures = FFailures;
    // What the packing step leaves for the step after it.
    auto Outcome = std::make_shared<TEvidenceResult>();
    TEvidencePackage* Package = FPackage.get();
    auto Work = [this, Package, Info, Outcome] {
        try {
            const bool Written = Package->Finish(
                Info, [this](double Fraction) { FPackFraction = Fraction; },
                [this] { return FCancelPacking.load() || StopWanted(); });
            Outcome->Status = Written ? TEvidenceResult::erWritten : TEvidenceResult::erCancelled;
        } catch (const EEvidenceError& E) {
            Outcome->Status = TEvidenceResult::erFailed;
            Outcome->Error = E.Message();
        } catch (const std::exception& E) {
            Outcome->Status = TEvidenceResult::erFailed;
            Outcome->Error = QString::fromLocal8Bit(E.what());
        }
    };
    auto Then = [this, Outcome] {
        TEvidenceResult Result = *Outcome;
        if (Result.Status == TEvidenceResult::erWritten) {
            Result.PackageSha256 = FPackage->PackageSha256();
            Result.ManifestSha256 = FPackage->ManifestSha256();
            Result.PackageBytes = FPackage->PackageBytes();
            Result.ExportedFolders = FPackage->Folders();
        }
        Complete(std::move(Result));
    };
    if (FOptions.RunPacking) {
        FOptions.RunPacking(Work, Then);
    } else {
        Work();
        Then();
    }
}

void TEvidenceExport::Complete(TEvidenceResult Result) {
    FState = stDone;
    // The staging folder goes; a written package stays.
    FPackage.reset();
    Result.File = FOptions.Target;
    Result.Exported = FExported;
    Result.Failures = FFailures;
    if (Result.Status != TEvidenceResult::erWritten)
        Result.Exported.clear();
    if (FOptions.OnFinished)
        FOptions.OnFinished(Result);
}

void TEvidenceExport::Report() {
    if (FOptions.OnProgress)
        FOptions.OnProgress(Progress());
}

TEvidenceProgress TEvidenceExport::Progress() const {
    TEvidenceProgress P;
    P.Total = int(FIds.size());
    P.Done = FState == stFetching ? FIndex : int(FIds.size());
    P.Failed = int(FFailures.size());
    P.Bytes = FBytes;
    P.Current = FState == stFetching && FIndex < FIds.size() ? FIds.at(FIndex) : 0;
    P.CurrentText = FCurrentText;
    P.Packing = FState == stPacking;
    P.PackFraction = FPackFraction.load();
    return P;
}
