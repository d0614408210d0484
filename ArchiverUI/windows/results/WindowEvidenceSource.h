// The records of a result window for an evidence package. What the window
// lists about a record (time, participants, call id, file kind) was taken
// when the export began, so that a refresh meanwhile changes nothing; the
// call attached data and the bytes come through jobs of the connection
// controller like every other download of the viewer, one job at a time
// program-wide: a step whose turn has not come waits as the window's
// deferred operation soExport and runs when the server is free.
#pragma once

#include "DataCache.h"
#include "EvidenceExport.h"

#include <QHash>
#include <QObject>
#include <QPointer>

class TfrmQueryResult;

class TWindowEvidenceSource : public QObject, public TEvidenceSource {
    Q_OBJECT
public:
    TWindowEvidenceSource(TfrmQueryResult& Window, QHash<quint32, TEvidenceRecord> Records);
    ~TWindowEvidenceSource() override;

    void Fetch(quint32 MediaId, TEvidenceSink& Sink) override;
    void Cancel() override;

    // A job of this source is with the controller.
    bool JobRunning() const { return FJob != nullptr; }
    // Waiting for its turn at the server.
    bool Waiting() const { return FWaiting; }
    // The window's deferred operation: starts the waiting step when the
    // server is free (or waits again).
    void Resume();

protected:
    bool event(QEvent* Event) override;

private:
    enum TStep { stNone, stCad, stData };

    void Wait();
    void StartJob();
    void EndRecord(const QString& Error, bool Fatal = false);
    void StepDone();
    void DropJobs();
    void WMSelectResult(const TDBMessage& Message);
    void WMDownloadProcess(const TDBMessage& Message);
    void WMCacheFreed(const TDBMessage& Message);
    void WMConnectionLost();
    bool Orphan(TVQArcCache* Job);

    QPointer<TfrmQueryResult> FWindow;
    QHash<quint32, TEvidenceRecord> FRecords;
    TEvidenceSink* FSink = nullptr;
    TEvidenceRecord FRecord;
    TStep FStep = stNone;
    bool FWaiting = false;
    TVQArcCache* FJob = nullptr;
    // Counts this source's jobs: a notice posted for an earlier one is
    // never taken for the running one.
    quint32 FSerial = 0;
    QList<TCadRow> FCad;
    QString FError;
    // The sink took no more of the record: the job is stopped, not ended.
    bool FRefused = false;
};
