// One evidence export of a result window: the window's records as the
// source, the export writing the package, the progress dialog, and the ZIP
// written on a thread of its own so that the viewer stays responsive. The
// window owns it while it runs; at the end the operator reads what was
// written, with the records that could not be, and the package's SHA-256
// to note for whoever receives it.
#pragma once

#include "EvidenceExport.h"

#include <QHash>
#include <QObject>

#include <memory>

class QThread;
class QTimer;
class TdlgEvidenceProgress;
class TfrmQueryResult;
class TWindowEvidenceSource;

class TEvidenceRun : public QObject {
    Q_OBJECT
public:
    TEvidenceRun(TfrmQueryResult& Window, QHash<quint32, TEvidenceRecord> Records,
                 const QString& FileName);
    ~TEvidenceRun() override;

    // Raises EEvidenceError when the export cannot begin.
    void Start(const QList<quint32>& Ids);
    void Cancel();
    // The window's deferred operation soExport.
    void Resume();
    bool JobRunning() const;
    bool Finished() const { return FFinished; }
    const TEvidenceResult& Result() const { return FResult; }
    TdlgEvidenceProgress* Dialog() const { return FDialog.get(); }

    // What the operator reads at the end (empty for a cancelled export).
    static QString Summary(const TEvidenceResult& Result);

private:
    void Finish(const TEvidenceResult& Result);

    TfrmQueryResult& FWindow;
    QString FFileName;
    std::unique_ptr<TWindowEvidenceSource> FSource;
    std::unique_ptr<TdlgEvidenceProgress> FDialog;
    std::unique_ptr<QThread> FPacker;
    QTimer* FPackTimer = nullptr;
    std::unique_ptr<TEvidenceExport> FExport;
    TEvidenceResult FResult;
    bool FFinished = false;
};
