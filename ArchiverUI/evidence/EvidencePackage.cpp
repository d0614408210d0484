#include "EvidencePackage.h"

#include "LocalTime.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <zip.h>

#include <algorithm>
#include <atomic>

namespace {

QString FileError(const QString& What, const QFileDevice& File) {
    return QStringLiteral("%1 \"%2\": %3").arg(What, File.fileName(), File.errorString());
}

// Files that shrink when deflated; recordings in MP3 and faxes in PDF are
// stored as they are, which costs no time and hardly any room.
bool Compressible(const QString& Path) {
    static const QStringList Packed = {QStringLiteral(".mp3"), QStringLiteral(".pdf"),
                                       QStringLiteral(".tif"), QStringLiteral(".tiff"),
                                       QStringLiteral(".zip"), QStringLiteral(".jpg"),
                                       QStringLiteral(".png"), QStringLiteral(".gsm")};
    for (const QString& Suffix : Packed)
        if (Path.endsWith(Suffix, Qt::CaseInsensitive))
            return false;
    return true;
}

QString Indented(const QString& Text) {
    return QStringLiteral("    ") + Text;
}

struct TZipCallbacks {
    const std::function<void(double)>* Progress = nullptr;
    const std::function<bool()>* Cancelled = nullptr;
    std::atomic<bool> Stopped{false};
};

void OnZipProgress(zip_t*, double Fraction, void* State) {
    auto* Callbacks = static_cast<TZipCallbacks*>(State);
    if (Callbacks->Progress != nullptr && *Callbacks->Progress)
        (*Callbacks->Progress)(Fraction);
}

int OnZipCancel(zip_t*, void* State) {
    auto* Callbacks = static_cast<TZipCallbacks*>(State);
    if (Callbacks->Cancelled != nullptr && *Callbacks->Cancelled && (*Callbacks->Cancelled)())
        Callbacks->Stopped = true;
    return Callbacks->Stopped ? 1 : 0;
}

// A zip_t that is discarded unless it was closed.
class TZip {
public:
    explicit TZip(zip_t* Archive) : FArchive(Archive) {}
    ~TZip() {
        if (FArchive != nullptr)
            zip_discard(FArchive);
    }
    TZip(const TZip&) = delete;
    TZip& operator=(const TZip&) = delete;
    zip_t* Get() const { return FArchive; }
    QString Error() const {
        return QString::fromLocal8Bit(zip_error_strerror(zip_get_error(FArchive)));
    }
    // True when written; the archive is gone either way.
    bool Close(QString& Error) {
        if (zip_close(FArchive) == 0) {
            FArchive = nullptr;
            return true;
        }
        Error = this->Error();
        return false;
    }

private:
    zip_t* FArchive;
};

} // namespace

QByteArray FileSha256(const QString& FileName) {
    QFile File(FileName);
    if (!File.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash Hash(QCryptographicHash::Sha256);
    if (!Hash.addData(&File))
        return QByteArray();
    return Hash.result().toHex();
}

// The record being written: its description, its call attached data, its
// data file (or the message for the transcript) and the files made so far.
struct TEvidencePackage::TRecordWork {
    TEvidenceRecord Record;
    QString Folder;
    QList<TCadRow> Cad;
    QString DataName;
    std::unique_ptr<QFile> Data;
    QCryptographicHash Hash{QCryptographicHash::Sha256};
    qint64 Bytes = 0;
    QByteArray Message;
    qsizetype FirstFile = 0;
};

TEvidencePackage::TEvidencePackage(const QString& Target)
    : FTarget(QFileInfo(Target).absoluteFilePath()) {
    const QFileInfo Info(FTarget);
    if (Info.isDir())
        throw EEvidenceError(QStringLiteral("\"%1\" is a folder").arg(FTarget));
    const QString Folder = Info.absolutePath();
    if (!QFileInfo(Folder).isDir())
        throw EEvidenceError(QStringLiteral("The folder \"%1\" does not exist").arg(Folder));
    // Hidden, private, beside the target; removed with this object.
    FStaging = std::make_unique<QTemporaryDir>(Folder + QStringLiteral("/.") + Info.fileName() +
                                               QStringLiteral(".parts-XXXXXX"));
    if (!FStaging->isValid())
        throw EEvidenceError(QStringLiteral("Cannot write in the folder \"%1\": %2")
                                 .arg(Folder, FStaging->errorString()));
}

TEvidencePackage::~TEvidencePackage() {
    FCurrent.reset();
}

QString TEvidencePackage::Staged(const QString& Path) const {
    return FStaging->path() + QLatin1Char('/') + Path;
}

TEvidencePackage::TFile TEvidencePackage::WriteFile(const QString& Path, const QByteArray& Data) {
    QFile File(Staged(Path));
    if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate) || File.write(Data) != Data.size() ||
        !File.flush())
        throw EEvidenceError(FileError(QStringLiteral("Cannot write"), File));
    TFile Entry;
    Entry.Path = Path;
    Entry.Bytes = Data.size();
    Entry.Sha256 = QCryptographicHash::hash(Data, QCryptographicHash::Sha256).toHex();
    Entry.Compress = Compressible(Path);
    return Entry;
}

void TEvidencePackage::BeginRecord(const TEvidenceRecord& Record) {
    DropRecord();
    auto Work = std::make_unique<TRecordWork>();
    Work->Record = Record;
    // Two records of one second and id cannot happen in one archive; a
    // second folder of a name still gets a name of its own.
    QString Folder = RecordFolderName(Record);
    for (int N = 2; FFolders.contains(Folder); ++N)
        Folder = RecordFolderName(Record) + QLatin1Char('-') + QString::number(N);
    Work->Folder = Folder;
    Work->FirstFile = FFiles.size();
    if (!QDir().mkpath(Staged(Folder)))
        throw EEvidenceError(QStringLiteral("Cannot create the folder \"%1\"").arg(Staged(Folder)));
    Work->DataName = RecordDataFileName(Record);
    if (!Work->DataName.isEmpty()) {
        Work->Data = std::make_unique<QFile>(Staged(Folder + QLatin1Char('/') + Work->DataName));
        if (!Work->Data->open(QIODevice::WriteOnly | QIODevice::Truncate))
            throw EEvidenceError(FileError(QStringLiteral("Cannot write"), *Work->Data));
    }
    FCurrent = std::move(Work);
}

void TEvidencePackage::SetCad(const QList<TCadRow>& Rows) {
    if (FCurrent)
        FCurrent->Cad = Rows;
}

void TEvidencePackage::WriteData(const char* Data, qint64 Length) {
    if (!FCurrent || Length <= 0)
        return;
    TRecordWork& Work = *FCurrent;
    if (!Work.Data) {
        if (Work.Message.size() + Length > MaxMessageBytes)
            throw EEvidenceRecordError(
                QStringLiteral("The message is larger than %1 MB").arg(MaxMessageBytes >> 20));
        Work.Message.append(Data, qsizetype(Length));
        Work.Bytes += Length;
        return;
    }
    if (Work.Data->write(Data, Length) != Length)
        throw EEvidenceError(FileError(QStringLiteral("Cannot write"), *Work.Data));
    Work.Hash.addData(QByteArrayView(Data, qsizetype(Length)));
    Work.Bytes += Length;
}

void TEvidencePackage::EndRecord() {
    if (!FCurrent)
        return;
    TRecordWork& Work = *FCurrent;
    const QString Prefix = Work.Folder + QLatin1Char('/');
    QList<TEvidenceFileEntry> Listed;
    auto Add = [&](const TFile& File) {
        FFiles.append(File);
        Listed.append({File.Path.mid(Prefix.size()), File.Bytes, File.Sha256});
    };
    if (Work.Data) {
        if (!Work.Data->flush())
            throw EEvidenceError(FileError(QStringLiteral("Cannot write"), *Work.Data));
        Work.Data->close();
        TFile Entry;
        Entry.Path = Prefix + Work.DataName;
        Entry.Bytes = Work.Bytes;
        Entry.Sha256 = Work.Hash.result().toHex();
        Entry.Compress = Compressible(Entry.Path);
        Add(Entry);
    } else {
        const QString Text = QString::fromUtf8(Work.Message);
        if (!Work.Record.GCID.isEmpty() && FMessageBytes + Work.Bytes <= MaxConversationBytes) {
            FMessages.append({Work.Record, Text});
            FMessageBytes += Work.Bytes;
        }
        Add(WriteFile(Prefix + QStringLiteral("transcript.rtf"),
                      TRtfWriter::Write(TranscriptDocument(Work.Record, Text))));
        Add(WriteFile(Prefix + QStringLiteral("transcript.txt"),
                      TranscriptText(Work.Record, Text).toUtf8()));
    }
    Add(WriteFile(Prefix + QStringLiteral("cad.csv"), CadCsv(Work.Cad)));
    // record.json lists the files before it; it is in the manifest itself.
    FFiles.append(WriteFile(Prefix + QStringLiteral("record.json"),
                            RecordJson(Work.Record, Work.Cad, Listed)));
    FRecords.append(Work.Record);
    FFolders.append(Work.Folder);
    FCurrent.reset();
}

void TEvidencePackage::DropRecord() {
    if (!FCurrent)
        return;
    FFiles.resize(FCurrent->FirstFile);
    FCurrent->Data.reset();
    QDir(Staged(FCurrent->Folder)).removeRecursively();
    FCurrent.reset();
}

QByteArray TEvidencePackage::Readme(const TEvidencePackageInfo& Info,
                                    const QDateTime& Written) const {
    const qint64 When = Written.toSecsSinceEpoch();
    QStringList Lines;
    Lines << QStringLiteral("Evidence package of archived communications") << QString();
    Lines << QStringLiteral("Exported:  %1 (UTC)").arg(PlainUtc(When))
          << QStringLiteral("           %1 %2 (UTC%3), the exporting computer's time")
                 .arg(PlainLocal(When), LocalZoneName(), UtcOffsetText(LocalOffsetAt(When)));
    Lines << QStringLiteral("Server:    %1%2")
                 .arg(Info.Server.isEmpty() ? QStringLiteral("(unknown)") : Info.Server,
                      Info.ServerType > 0 ? QStringLiteral(" (server type %1)").arg(Info.ServerType)
                                          : QString());
    Lines << QStringLiteral("Program:   %1").arg(Info.Program) << QString();

    Lines << QStringLiteral("This package holds %1 record(s), one folder each, named after the "
                            "record's date and time in UTC and its media id:")
                 .arg(FRecords.size())
          << QString();
    for (qsizetype I = 0; I < FRecords.size(); ++I) {
        const TEvidenceRecord& R = FRecords.at(I);
        Lines << Indented(FFolders.at(I) + QLatin1Char('/'))
              << Indented(QStringLiteral("    %1, %2 (%3, UTC%4)")
                              .arg(MediaTypeName(R.MediaType), PlainLocal(R.TimeStamp),
                                   LocalZoneName(), UtcOffsetText(LocalOffsetAt(R.TimeStamp))));
        if (!R.Participants.isEmpty())
            Lines << Indented(QStringLiteral("    ") + R.ParticipantsText());
        if (!R.GCID.isEmpty())
            Lines << Indented(QStringLiteral("    Global call id ") + R.GCID);
    }
    Lines << QString();
    if (!Info.Failures.isEmpty()) {
        Lines << QStringLiteral("These records were asked for but could not be exported:")
              << QString();
        for (const TEvidenceFailure& F : Info.Failures)
            Lines << Indented(QStringLiteral("%1: %2").arg(F.MediaId).arg(F.Reason));
        Lines << QString();
    }

    if (!FConversations.isEmpty()) {
        Lines << QStringLiteral("The instant messages of one conversation (one global call id) are "
                                "also joined, in time")
              << QStringLiteral("order with their senders, into one transcript:") << QString();
        for (const QString& Name : FConversations)
            Lines << Indented(Name + QStringLiteral(".rtf, ") + Name + QStringLiteral(".txt"));
        Lines << QString();
    }
    Lines << QStringLiteral("Each folder holds:") << QString()
          << Indented(QStringLiteral(
                 "recording.*, voicemail.*, fax.*  the recording, voice mail or fax exactly as "
                 "the archive stores it"))
          << Indented(QStringLiteral(
                 "transcript.rtf, transcript.txt   an instant message as the viewer shows it: "
                 "time, sender, text"))
          << Indented(QStringLiteral(
                 "data.*                           the stored data of any other kind of record"))
          << Indented(QStringLiteral(
                 "cad.csv                          the call attached data of the record's call: "
                 "name, value, description"))
          << Indented(QStringLiteral(
                 "record.json                      media id and type, global call id, the time "
                 "in UTC and in local"))
          << Indented(QStringLiteral(
                 "                                 time with the zone, the participants with "
                 "their roles and kinds,"))
          << Indented(QStringLiteral(
                 "                                 the call attached data exactly as stored, "
                 "and each file's size and SHA-256"))
          << QString()
          << QStringLiteral("The CSV files are UTF-8 (with a byte order mark) as RFC 4180 "
                            "describes them. A value that")
          << QStringLiteral("begins with = + - or @ is written there with a leading apostrophe, "
                            "so that a spreadsheet")
          << QStringLiteral("shows it instead of running it as a formula; record.json holds the "
                            "values unchanged.")
          << QString();

    Lines << QStringLiteral("How to verify") << QString()
          << QStringLiteral("manifest.sha256 lists the SHA-256 of every file of the package but "
                            "itself. Unpack the")
          << QStringLiteral("package into an empty folder and run, in that folder:") << QString()
          << Indented(QStringLiteral("sha256sum -c manifest.sha256")) << QString()
          << QStringLiteral("Every line must end in \"OK\". On Windows, PowerShell's")
          << Indented(QStringLiteral("Get-FileHash -Algorithm SHA256 FILE"))
          << QStringLiteral("gives the value to compare with the file's line. To show that the "
                            "manifest itself is")
          << QStringLiteral("unchanged, compare its SHA-256 (or the whole package's) with the one "
                            "the exporting program")
          << QStringLiteral("reported and the sender noted when handing the package over.");
    return (Lines.join(QLatin1String("\r\n")) + QLatin1String("\r\n")).toUtf8();
}

void TEvidencePackage::WriteConversations() {
    // A conversation is two or more of the exported messages with one
    // global call id; one conversation is conversation.*, several are told
    // apart by their id.
    QStringList Ids;
    for (const TMessage& M : FMessages)
        if (!Ids.contains(M.Record.GCID))
            Ids.append(M.Record.GCID);
    QList<QList<const TMessage*>> Talks;
    for (const QString& Id : Ids) {
        QList<const TMessage*> Talk;
        for (const TMessage& M : FMessages)
            if (M.Record.GCID == Id)
                Talk.append(&M);
        if (Talk.size() >= 2)
            Talks.append(Talk);
    }
    for (QList<const TMessage*>& Talk : Talks) {
        std::stable_sort(Talk.begin(), Talk.end(), [](const TMessage* A, const TMessage* B) {
            return A->Record.TimeStamp < B->Record.TimeStamp;
        });
        QString Name = QStringLiteral("conversation");
        if (Talks.size() > 1) {
            // The id comes from the archive and ends up in a file name.
            QString Id = Talk.first()->Record.GCID.left(64);
            for (QChar& C : Id)
                if (!(C.isLetterOrNumber() && C.unicode() < 128) && C != QLatin1Char('-'))
                    C = QLatin1Char('_');
            Name += QLatin1Char('-') + Id;
            while (FConversations.contains(Name))
                Name += QLatin1Char('_');
        }
        TRtfDocument Doc;
        QString Text;
        for (const TMessage* M : Talk) {
            const TRtfDocument One = TranscriptDocument(M->Record, M->Text);
            Doc.FontFamily = One.FontFamily;
            Doc.Points = One.Points;
            Doc.Paragraphs += One.Paragraphs;
            Text += TranscriptText(M->Record, M->Text);
        }
        FFiles.append(WriteFile(Name + QStringLiteral(".rtf"), TRtfWriter::Write(Doc)));
        FFiles.append(WriteFile(Name + QStringLiteral(".txt"), Text.toUtf8()));
        FConversations.append(Name);
    }
    FMessages.clear();
}

bool TEvidencePackage::Finish(const TEvidencePackageInfo& Info,
                              const std::function<void(double)>& Progress,
                              const std::function<bool()>& Cancelled) {
    DropRecord();
    WriteConversations();
    const QDateTime Written = QDateTime::currentDateTimeUtc();
    const TFile ReadmeFile = WriteFile(QStringLiteral("README.txt"), Readme(Info, Written));
    FFiles.prepend(ReadmeFile);
    // The format sha256sum writes and reads: the digest, two blanks, the
    // path. Every path is plain ASCII without blanks or backslashes.
    QByteArray Manifest;
    for (const TFile& File : FFiles)
        Manifest += File.Sha256 + "  " + File.Path.toUtf8() + '\n';
    const TFile ManifestFile = WriteFile(QStringLiteral("manifest.sha256"), Manifest);
    FManifestSha256 = ManifestFile.Sha256;
    FFiles.insert(1, ManifestFile);

    bool WasCancelled = false;
    MakeZip(Written, Progress, Cancelled, WasCancelled);
    if (WasCancelled)
        return false;
    FPackageSha256 = FileSha256(FTarget);
    FPackageBytes = QFileInfo(FTarget).size();
    return true;
}

void TEvidencePackage::MakeZip(const QDateTime& Written,
                               const std::function<void(double)>& Progress,
                               const std::function<bool()>& Cancelled, bool& WasCancelled) {
    WasCancelled = false;
    // Outlives the archive, whose discarding may still consult it.
    TZipCallbacks Callbacks;
    Callbacks.Progress = &Progress;
    Callbacks.Cancelled = &Cancelled;
    int Code = 0;
    // Truncate: a file the operator chose to replace is not read; libzip
    // writes a temporary file beside it and renames it over the target when
    // zip_close has written everything.
    TZip Zip(zip_open(QFile::encodeName(FTarget).constData(), ZIP_CREATE | ZIP_TRUNCATE, &Code));
    if (Zip.Get() == nullptr) {
        zip_error_t Error;
        zip_error_init_with_code(&Error, Code);
        const QString Text = QString::fromLocal8Bit(zip_error_strerror(&Error));
        zip_error_fini(&Error);
        throw EEvidenceError(QStringLiteral("Cannot create \"%1\": %2").arg(FTarget, Text));
    }
    const time_t MTime = time_t(Written.toSecsSinceEpoch());
    QSet<QString> Folders;
    for (const TFile& File : FFiles) {
        const qsizetype Slash = File.Path.lastIndexOf(QLatin1Char('/'));
        if (Slash > 0) {
            const QString Folder = File.Path.left(Slash);
            if (!Folders.contains(Folder)) {
                Folders.insert(Folder);
                const zip_int64_t Dir =
                    zip_dir_add(Zip.Get(), Folder.toUtf8().constData(), ZIP_FL_ENC_UTF_8);
                if (Dir < 0)
                    throw EEvidenceError(QStringLiteral("Cannot add \"%1\" to the package: %2")
                                             .arg(Folder, Zip.Error()));
                zip_file_set_mtime(Zip.Get(), zip_uint64_t(Dir), MTime, 0);
            }
        }
        zip_source_t* Source =
            zip_source_file(Zip.Get(), QFile::encodeName(Staged(File.Path)).constData(), 0, -1);
        if (Source == nullptr)
            throw EEvidenceError(
                QStringLiteral("Cannot add \"%1\" to the package: %2").arg(File.Path, Zip.Error()));
        const zip_int64_t Index =
            zip_file_add(Zip.Get(), File.Path.toUtf8().constData(), Source, ZIP_FL_ENC_UTF_8);
        if (Index < 0) {
            zip_source_free(Source);
            throw EEvidenceError(
                QStringLiteral("Cannot add \"%1\" to the package: %2").arg(File.Path, Zip.Error()));
        }
        zip_set_file_compression(Zip.Get(), zip_uint64_t(Index),
                                 File.Compress ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
        zip_file_set_mtime(Zip.Get(), zip_uint64_t(Index), MTime, 0);
    }
    zip_register_progress_callback_with_state(Zip.Get(), 0.01, &OnZipProgress, nullptr, &Callbacks);
    zip_register_cancel_callback_with_state(Zip.Get(), &OnZipCancel, nullptr, &Callbacks);
    QString Error;
    if (Zip.Close(Error))
        return;
    if (Callbacks.Stopped) {
        WasCancelled = true;
        return;
    }
    throw EEvidenceError(QStringLiteral("Cannot write \"%1\": %2").arg(FTarget, Error));
}
