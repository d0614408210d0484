// An evidence package being written: one ZIP file holding a folder for each
// record (its data as stored or its transcript, cad.csv, record.json) and,
// at the top, README.txt and manifest.sha256, which `sha256sum -c` reads.
// Instant messages of one conversation (the same global call id) are also
// joined, in time order, into one transcript at the top.
//
// The records' files are first written to a private staging folder beside
// the target (the same file system, so nothing large goes through the
// temporary folder) with their SHA-256 computed as they are written. Only
// Finish makes the ZIP, through libzip, into a temporary file beside the
// target that is renamed into place when it is complete: a cancelled or
// failed export leaves neither a half-written ZIP nor the staging folder,
// and a file the operator chose to replace stays as it was until then.
#pragma once

#include "EvidenceRecord.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

struct TEvidenceFailure {
    quint32 MediaId = 0;
    QString Reason;
};

// What README.txt says about the export.
struct TEvidencePackageInfo {
    // "vqviewer 1.0.0".
    QString Program;
    // "archive.example.org:7456".
    QString Server;
    // Server type as the library reports it (0: unknown).
    int ServerType = 0;
    QList<TEvidenceFailure> Failures;
};

class TEvidencePackage {
public:
    // Raises EEvidenceError when the target's folder cannot take the
    // staging folder (missing, not writable) or the target is a folder.
    explicit TEvidencePackage(const QString& Target);
    ~TEvidencePackage();
    TEvidencePackage(const TEvidencePackage&) = delete;
    TEvidencePackage& operator=(const TEvidencePackage&) = delete;

    // A record's description, then its call attached data and its bytes,
    // then EndRecord (or DropRecord when it failed). Write failures raise
    // EEvidenceError; a message too large for a transcript raises
    // EEvidenceRecordError.
    void BeginRecord(const TEvidenceRecord& Record);
    void SetCad(const QList<TCadRow>& Rows);
    void WriteData(const char* Data, qint64 Length);
    void EndRecord();
    void DropRecord();
    bool InRecord() const { return FCurrent != nullptr; }

    const QList<TEvidenceRecord>& Records() const { return FRecords; }
    // The folder of each record, in the same order.
    const QStringList& Folders() const { return FFolders; }
    QString Target() const { return FTarget; }

    // Writes README.txt and manifest.sha256 and makes the ZIP. Progress
    // (0 to 1) and Cancelled are called from the thread that runs Finish.
    // False when cancelled: then no file is left. Raises EEvidenceError.
    bool Finish(const TEvidencePackageInfo& Info, const std::function<void(double)>& Progress,
                const std::function<bool()>& Cancelled);

    // After Finish: the SHA-256 (hex) of the ZIP and of its manifest, and
    // the ZIP's size.
    QByteArray PackageSha256() const { return FPackageSha256; }
    QByteArray ManifestSha256() const { return FManifestSha256; }
    qint64 PackageBytes() const { return FPackageBytes; }

    // Larger messages are not made into transcripts.
    static constexpr qint64 MaxMessageBytes = 64LL * 1024 * 1024;
    // Messages beyond this many bytes in all are left out of the
    // conversation transcripts (each keeps its own).
    static constexpr qint64 MaxConversationBytes = 64LL * 1024 * 1024;

private:
    struct TFile {
        QString Path;
        qint64 Bytes = 0;
        QByteArray Sha256;
        bool Compress = true;
    };
    struct TRecordWork;

    QString Staged(const QString& Path) const;
    TFile WriteFile(const QString& Path, const QByteArray& Data);
    QByteArray Readme(const TEvidencePackageInfo& Info, const QDateTime& Written) const;
    void WriteConversations();
    void MakeZip(const QDateTime& Written, const std::function<void(double)>& Progress,
                 const std::function<bool()>& Cancelled, bool& WasCancelled);

    QString FTarget;
    std::unique_ptr<QTemporaryDir> FStaging;
    QList<TFile> FFiles;
    QList<TEvidenceRecord> FRecords;
    QStringList FFolders;
    std::unique_ptr<TRecordWork> FCurrent;
    // The instant messages exported, for the conversations they belong to.
    struct TMessage {
        TEvidenceRecord Record;
        QString Text;
    };
    QList<TMessage> FMessages;
    qint64 FMessageBytes = 0;
    QStringList FConversations;
    QByteArray FPackageSha256;
    QByteArray FManifestSha256;
    qint64 FPackageBytes = 0;
};

// The SHA-256 of a file in hex, or empty when it cannot be read.
QByteArray FileSha256(const QString& FileName);
