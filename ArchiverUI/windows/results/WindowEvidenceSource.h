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

class TJobHandle;
class TfrmQueryResult;

class TWindowEvidenceSource : public QObject, public TEvidenceSource {
    Q_OBJECT
public:
    TWindowEvidenceSource(TfrmQueryResult& Window, QHash<quint32, TEvidenceRecord> Records);
    ~TWindowEvidenceSource() override;

    void Fetch(quint32 MediaId, TEvidenceSink& Sink) override;
    void Cancel() override;

    // A job of this source is with the controller.
    bool JobRunning() const;
    // Waiting for its turn at the server.
    bool Waiting() const { return FWaiting; }
    // The window's deferred operation: starts the waiting step when the
    // server is free (or waits again).
    void Resume();

private:
    enum TStep { stNone, stCad, stData };

    void Wait();
    void StartJob();
    void EndRecord(const QString& Error, bool Fatal = false);
    void AddCadRows(const IPC_DA_DBClient::TSelectResult& Result);
    void AddData(quint32 RecId, const char* Bytes, quint32 Length);
    void StepDone();
    void StepFailed(const QString& Error);
    void StopJob();

    QPointer<TfrmQueryResult> FWindow;
    QHash<quint32, TEvidenceRecord> FRecords;
    TEvidenceSink* FSink = nullptr;
    TEvidenceRecord FRecord;
    TStep FStep = stNone;
    bool FWaiting = false;
    TJobHandle* FJob = nullptr;
    // A start under way: its failure ends the export, not just the record.
    bool FStarting = false;
    QString FStartError;
    QList<TCadRow> FCad;
};
