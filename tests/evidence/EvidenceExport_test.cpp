// Evidence packages of real records from a running vqarchived: a recording,
// a fax and a conversation exported with vqcli, unpacked with Debian's
// unzip and checked with `sha256sum -c`; each data file compared byte for
// byte with the archive's own file, record.json and cad.csv read back and
// compared with the archive's rows. A record the server cannot deliver is
// listed while the others are exported; an export stopped half-way leaves
// nothing behind. The zone is America/St_Johns (UTC-02:30 in summer), so
// that a local time cannot pass for UTC by accident.
#include "EvidenceTestSupport.h"

#include "EvidenceExport.h"
#include "LinkSource.h"
#include "LiveServer.h"

#include "vqlink/vqlink.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <map>
#include <memory>

using namespace evidence_test;

EVIDENCE_TEST_ZONE("America/St_Johns");

namespace {

const QString Password = QStringLiteral("evidencepw");

// Rows of a statement on an archive's SQLite file, as texts.
QList<QStringList> Query(const QString& Archive, const QString& Sql) {
    QList<QStringList> Rows;
    sqlite3* Db = nullptr;
    const QByteArray File = QFile::encodeName(Archive + QStringLiteral("/archive.sqlite"));
    if (sqlite3_open_v2(File.constData(), &Db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << File.constData();
        sqlite3_close(Db);
        return Rows;
    }
    sqlite3_stmt* Stmt = nullptr;
    if (sqlite3_prepare_v2(Db, Sql.toUtf8().constData(), -1, &Stmt, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "bad statement: " << sqlite3_errmsg(Db);
    } else {
        while (sqlite3_step(Stmt) == SQLITE_ROW) {
            QStringList Row;
            for (int C = 0; C < sqlite3_column_count(Stmt); ++C) {
                const auto* Text = reinterpret_cast<const char*>(sqlite3_column_text(Stmt, C));
                Row.append(Text != nullptr ? QString::fromUtf8(Text) : QString());
            }
            Rows.append(Row);
        }
    }
    sqlite3_finalize(Stmt);
    sqlite3_close(Db);
    return Rows;
}

struct TArchived {
    quint32 Id = 0;
    QString Type;
    QString CallId;
    qint64 Time = 0;
    QString FileName;
};

// The first record of the type whose call has call attached data, if any
// has; the first of the type otherwise.
TArchived FirstOf(const QString& Archive, const QString& Type, const QString& Extra = {}) {
    const QList<QStringList> Rows = Query(
        Archive, QStringLiteral("SELECT Media_ID, Media_Type, COALESCE(CALL_ID, ''), Timestamp, "
                                "COALESCE(filename, '') FROM media WHERE Media_Type = '%1' %2 "
                                "ORDER BY (SELECT COUNT(*) FROM cad WHERE cad.call_id = "
                                "media.CALL_ID) = 0, Media_ID LIMIT 1")
                     .arg(Type, Extra));
    TArchived R;
    if (Rows.isEmpty()) {
        ADD_FAILURE() << "the demo archive has no " << Type.toStdString();
        return R;
    }
    R.Id = Rows[0][0].toUInt();
    R.Type = Rows[0][1];
    R.CallId = Rows[0][2];
    R.Time = Rows[0][3].toLongLong();
    R.FileName = Rows[0][4];
    return R;
}

QString DataFile(const QString& Archive, const QString& FileName) {
    return Archive + QStringLiteral("/data/") + FileName.left(2) + QLatin1Char('/') + FileName;
}

// The archive's bytes of a stored file: its data file, or its row in
// media_files.
QByteArray StoredBytes(const QString& Archive, const QString& FileName) {
    const QByteArray OnDisk = ReadFile(DataFile(Archive, FileName));
    if (!OnDisk.isEmpty())
        return OnDisk;
    const QList<QStringList> Rows = Query(
        Archive,
        QStringLiteral("SELECT hex(content) FROM media_files WHERE filename = '%1'").arg(FileName));
    return Rows.isEmpty() ? QByteArray() : QByteArray::fromHex(Rows[0][0].toLatin1());
}

bool CopyArchive(const QString& From, const QString& To) {
    const QDir Data(From + QStringLiteral("/data"));
    if (!QDir().mkpath(To + QStringLiteral("/data")) ||
        !QFile::copy(From + QStringLiteral("/archive.sqlite"),
                     To + QStringLiteral("/archive.sqlite")))
        return false;
    for (const QString& Sub : Data.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QDir().mkpath(To + QStringLiteral("/data/") + Sub);
        for (const QString& F : QDir(Data.filePath(Sub)).entryList(QDir::Files))
            if (!QFile::copy(Data.filePath(Sub) + QLatin1Char('/') + F,
                             To + QStringLiteral("/data/") + Sub + QLatin1Char('/') + F))
                return false;
    }
    return true;
}

// The folder of the package that holds the record (its name ends in _ID).
QString FolderOf(const QString& Root, quint32 Id) {
    const QStringList Folders = QDir(Root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& F : Folders)
        if (F.endsWith(QStringLiteral("_%1").arg(Id)))
            return Root + QLatin1Char('/') + F;
    return {};
}

QJsonObject ReadJson(const QString& File) {
    QJsonParseError Error;
    const QJsonDocument Doc = QJsonDocument::fromJson(ReadFile(File), &Error);
    EXPECT_EQ(Error.error, QJsonParseError::NoError) << Error.errorString().toStdString();
    return Doc.object();
}

TRun Vqcli(quint16 Port, const QStringList& Command) {
    return RunProgram(QStringLiteral(VQCLI_PATH),
                      QStringList{QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                                  QStringLiteral("--port"), QString::number(Port),
                                  QStringLiteral("--password"), Password} +
                          Command);
}

class EvidenceExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        QString Error;
        Archive = TLiveServer::SharedDemoArchive(Error);
        ASSERT_FALSE(Archive.isEmpty()) << Error.toStdString();
    }

    // Serves Served (the demo archive unless given).
    void Serve(const QString& Served = {}) {
        const auto Started =
            Served.isEmpty() ? Server.Start(Password) : Server.StartArchive(Password, Served);
        if (Started == TLiveServer::TStart::NotBuilt)
            GTEST_SKIP() << Server.Error().toStdString();
        ASSERT_EQ(Started, TLiveServer::TStart::Serving) << Server.Error().toStdString();
    }

    QTemporaryDir Dir;
    QString Archive;
    TLiveServer Server;
};

TEST_F(EvidenceExportTest, VqcliExportsAMixThatUnpacksVerifiesAndMatchesTheArchive) {
    ASSERT_NO_FATAL_FAILURE(Serve());
    const TArchived Rec = FirstOf(Archive, QStringLiteral("callrec"));
    const TArchived Fax = FirstOf(Archive, QStringLiteral("fax"));
    const TArchived Chat = FirstOf(Archive, QStringLiteral("im"));
    ASSERT_TRUE(Rec.Id && Fax.Id && Chat.Id);
    const QString Zip = Dir.filePath(QStringLiteral("case 1.zip"));

    const TRun Run = Vqcli(Server.Port(), {QStringLiteral("export"), QStringLiteral("--ids"),
                                           QString::number(Rec.Id), QString::number(Fax.Id),
                                           QString::number(Chat.Id), QStringLiteral("--out"), Zip});
    ASSERT_EQ(Run.Status, 0) << Run.Err.toStdString() << Run.Out.toStdString();
    // A line a record, then the package with its digest.
    for (quint32 Id : {Rec.Id, Fax.Id, Chat.Id})
        EXPECT_TRUE(Run.Out.contains(QStringLiteral("%1\texported\t").arg(Id)))
            << Run.Out.toStdString();
    EXPECT_TRUE(Run.Out.contains(QString::fromLatin1(FileSha256(Zip)))) << Run.Out.toStdString();
    // Only the package is left beside it: no staging folder, no temporary file.
    EXPECT_EQ(FilesBelow(Dir.path()), QStringList{QStringLiteral("case 1.zip")});

    const TRun Test = RunProgram(QStringLiteral("unzip"), {QStringLiteral("-t"), Zip});
    EXPECT_EQ(Test.Status, 0) << Test.Out.toStdString() << Test.Err.toStdString();
    const QString Root = Dir.filePath(QStringLiteral("unpacked"));
    ASSERT_EQ(Unzip(Zip, Root), QString());
    const TRun Check = CheckManifest(Root);
    EXPECT_EQ(Check.Status, 0) << Check.Out.toStdString() << Check.Err.toStdString();
    // Every file but the manifest itself is in it.
    QStringList Listed;
    for (const QByteArray& Line : ReadFile(Root + QStringLiteral("/manifest.sha256")).split('\n'))
        if (!Line.isEmpty())
            Listed.append(QString::fromUtf8(Line.mid(66)));
    Listed.sort();
    QStringList Files = FilesBelow(Root);
    Files.removeAll(QStringLiteral("manifest.sha256"));
    EXPECT_EQ(Listed, Files);

    const QString Readme = QString::fromUtf8(ReadFile(Root + QStringLiteral("/README.txt")));
    EXPECT_TRUE(Readme.contains(QStringLiteral("127.0.0.1:%1").arg(Server.Port())));
    EXPECT_TRUE(Readme.contains(QStringLiteral("sha256sum -c manifest.sha256")));
    EXPECT_TRUE(Readme.contains(QStringLiteral("America/St_Johns")));

    // The recording and the fax as stored, byte for byte.
    for (const TArchived& Stored : {Rec, Fax}) {
        const QString Folder = FolderOf(Root, Stored.Id);
        ASSERT_FALSE(Folder.isEmpty()) << Stored.Id;
        const QString Name = (Stored.Type == QStringLiteral("fax") ? QStringLiteral("fax.")
                                                                   : QStringLiteral("recording.")) +
                             Stored.FileName.right(3);
        const QByteArray Exported = ReadFile(Folder + QLatin1Char('/') + Name);
        const QByteArray Original = StoredBytes(Archive, Stored.FileName);
        ASSERT_FALSE(Original.isEmpty()) << Stored.FileName.toStdString();
        EXPECT_TRUE(Exported == Original) << Name.toStdString() << ": " << Exported.size()
                                          << " bytes exported, " << Original.size() << " stored";
    }

    // The conversation as text and RTF, holding the archived message.
    const QString ChatFolder = FolderOf(Root, Chat.Id);
    ASSERT_FALSE(ChatFolder.isEmpty());
    const QList<QStringList> Body = Query(
        Archive, QStringLiteral("SELECT body FROM messages WHERE Media_ID = %1").arg(Chat.Id));
    ASSERT_EQ(Body.size(), 1);
    const QString Transcript =
        QString::fromUtf8(ReadFile(ChatFolder + QStringLiteral("/transcript.txt")));
    const QString FirstLine = Body[0][0].section(QLatin1Char('\n'), 0, 0).trimmed();
    EXPECT_TRUE(Transcript.contains(FirstLine)) << Transcript.toStdString();
    EXPECT_TRUE(ReadFile(ChatFolder + QStringLiteral("/transcript.rtf")).startsWith("{\\rtf1"));

    // record.json of each, against the archive's rows.
    for (const TArchived& Stored : {Rec, Fax, Chat}) {
        const QString Folder = FolderOf(Root, Stored.Id);
        const QJsonObject Json = ReadJson(Folder + QStringLiteral("/record.json"));
        EXPECT_EQ(Json.value(QStringLiteral("media_id")).toInteger(), Stored.Id);
        EXPECT_EQ(Json.value(QStringLiteral("media_type")).toString(), Stored.Type);
        EXPECT_EQ(Json.value(QStringLiteral("global_call_id")).toString(), Stored.CallId);
        const QDateTime Utc =
            QDateTime::fromString(Json.value(QStringLiteral("time_utc")).toString(), Qt::ISODate);
        EXPECT_EQ(Utc.toSecsSinceEpoch(), Stored.Time);
        EXPECT_EQ(Json.value(QStringLiteral("time_zone")).toString(),
                  QStringLiteral("America/St_Johns"));
        const QDateTime LocalTime =
            QDateTime::fromString(Json.value(QStringLiteral("time_local")).toString(), Qt::ISODate);
        EXPECT_EQ(LocalTime.toSecsSinceEpoch(), Stored.Time);
        EXPECT_EQ(Json.value(QStringLiteral("utc_offset")).toString(),
                  LocalTime.offsetFromUtc() == -9000 ? QStringLiteral("-02:30")
                                                     : QStringLiteral("-03:30"));
        EXPECT_LT(LocalTime.offsetFromUtc(), 0);

        const QList<QStringList> People = Query(
            Archive,
            QStringLiteral("SELECT Role FROM participants WHERE Media_ID = %1").arg(Stored.Id));
        const QJsonArray Participants = Json.value(QStringLiteral("participants")).toArray();
        EXPECT_EQ(Participants.size(), People.size());
        for (const QJsonValue& P : Participants) {
            EXPECT_FALSE(P.toObject().value(QStringLiteral("role")).toString().isEmpty());
            EXPECT_FALSE(P.toObject().value(QStringLiteral("kind")).toString().isEmpty());
        }

        // cad.csv: a header and the call's pairs as the archive holds them.
        QString Error;
        const QList<QStringList> Csv =
            ReadCsv(ReadFile(Folder + QStringLiteral("/cad.csv")), &Error);
        ASSERT_TRUE(Error.isEmpty()) << Error.toStdString();
        ASSERT_FALSE(Csv.isEmpty());
        EXPECT_EQ(Csv[0], (QStringList{QStringLiteral("name"), QStringLiteral("value"),
                                       QStringLiteral("description")}));
        const QList<QStringList> Cad =
            Query(Archive,
                  QStringLiteral("SELECT name FROM cad WHERE call_id = '%1'").arg(Stored.CallId));
        EXPECT_EQ(Csv.size() - 1, Cad.size()) << Stored.Id;
        for (const QStringList& Pair : Cad) {
            bool Found = false;
            for (qsizetype I = 1; I < Csv.size(); ++I)
                Found = Found || Csv[I].value(0).endsWith(Pair[0]);
            EXPECT_TRUE(Found) << Pair[0].toStdString();
        }
    }
}

TEST_F(EvidenceExportTest, ARecordTheServerCannotDeliverIsListedAndTheOthersExported) {
    // A copy of the archive whose recording has lost its data file.
    const QString Copy = Dir.filePath(QStringLiteral("archive"));
    ASSERT_TRUE(CopyArchive(Archive, Copy));
    const TArchived Lost = FirstOf(Copy, QStringLiteral("callrec"));
    const TArchived Fax = FirstOf(Copy, QStringLiteral("fax"));
    ASSERT_TRUE(QFile::remove(DataFile(Copy, Lost.FileName)));
    ASSERT_NO_FATAL_FAILURE(Serve(Copy));
    constexpr quint32 Missing = 4000000000u;
    const QString Zip = Dir.filePath(QStringLiteral("out/partial.zip"));
    ASSERT_TRUE(QDir().mkpath(Dir.filePath(QStringLiteral("out"))));

    const TRun Run = Vqcli(Server.Port(), {QStringLiteral("export"), QStringLiteral("--ids"),
                                           QString::number(Lost.Id), QString::number(Missing),
                                           QString::number(Fax.Id), QStringLiteral("--out"), Zip});
    // Written, but not whole: the status says so.
    EXPECT_EQ(Run.Status, 3) << Run.Err.toStdString() << Run.Out.toStdString();
    EXPECT_TRUE(Run.Out.contains(QStringLiteral("%1\tfailed\t").arg(Lost.Id)))
        << Run.Out.toStdString();
    EXPECT_TRUE(Run.Out.contains(QStringLiteral("%1\tfailed\t").arg(Missing)));
    EXPECT_TRUE(Run.Out.contains(QStringLiteral("%1\texported\t").arg(Fax.Id)));

    const QString Root = Dir.filePath(QStringLiteral("unpacked"));
    ASSERT_EQ(Unzip(Zip, Root), QString());
    EXPECT_EQ(CheckManifest(Root).Status, 0);
    EXPECT_FALSE(FolderOf(Root, Fax.Id).isEmpty());
    EXPECT_TRUE(FolderOf(Root, Lost.Id).isEmpty());
    // The README names the records that are not there.
    const QString Readme = QString::fromUtf8(ReadFile(Root + QStringLiteral("/README.txt")));
    EXPECT_TRUE(Readme.contains(QStringLiteral("%1: ").arg(Lost.Id))) << Readme.toStdString();
    EXPECT_TRUE(Readme.contains(QStringLiteral("%1: ").arg(Missing))) << Readme.toStdString();
}

TEST_F(EvidenceExportTest, VqcliRefusesWhatItCannotDoWithoutLeavingAFile) {
    ASSERT_NO_FATAL_FAILURE(Serve());
    const QString Zip = Dir.filePath(QStringLiteral("none.zip"));
    // No record at all can be exported: no package.
    const TRun Nothing =
        Vqcli(Server.Port(), {QStringLiteral("export"), QStringLiteral("--ids"),
                              QStringLiteral("4000000001"), QStringLiteral("--out"), Zip});
    EXPECT_EQ(Nothing.Status, 1) << Nothing.Out.toStdString();
    EXPECT_TRUE(Nothing.Err.contains(QStringLiteral("nothing was written")))
        << Nothing.Err.toStdString();
    // A folder that does not exist.
    const TRun NoFolder = Vqcli(Server.Port(), {QStringLiteral("export"), QStringLiteral("--ids"),
                                                QStringLiteral("1"), QStringLiteral("--out"),
                                                Dir.filePath(QStringLiteral("no/such.zip"))});
    EXPECT_EQ(NoFolder.Status, 1);
    EXPECT_FALSE(NoFolder.Err.isEmpty());
    // A usage error.
    EXPECT_EQ(Vqcli(Server.Port(), {QStringLiteral("export"), QStringLiteral("--ids")}).Status, 2);
    EXPECT_TRUE(FilesBelow(Dir.path()).isEmpty()) << FilesBelow(Dir.path()).join(' ').toStdString();
}

// The library in this process, connected to the server.
class TLibrary {
public:
    TLibrary() { InitDLL(); }
    ~TLibrary() {
        Disconnect();
        FinalizeDLL();
    }
    int Connect(quint16 Port) {
        return ::Connect("127.0.0.1", Port, Password.toUtf8().constData());
    }
};

TEST_F(EvidenceExportTest, AnExportStoppedHalfWayLeavesNoFile) {
    ASSERT_NO_FATAL_FAILURE(Serve());
    const QList<QStringList> Rows =
        Query(Archive, QStringLiteral("SELECT Media_ID FROM media WHERE Media_Type IN ('callrec', "
                                      "'fax', 'im') ORDER BY Media_ID LIMIT 6"));
    ASSERT_EQ(Rows.size(), 6);
    QList<quint32> Ids;
    for (const QStringList& R : Rows)
        Ids.append(R[0].toUInt());

    TLibrary Library;
    ASSERT_EQ(Library.Connect(Server.Port()), VQLINK_CONNECTED);
    TLinkEvidenceSource Source(30);
    const QString Zip = Dir.filePath(QStringLiteral("stopped.zip"));
    std::unique_ptr<TEvidenceExport> Export;
    TEvidenceResult Result;
    int Finished = 0;
    int MostDone = 0;
    TEvidenceExport::TOptions Options;
    Options.Target = Zip;
    Options.Info.Program = QStringLiteral("evidence test");
    Options.OnProgress = [&](const TEvidenceProgress& P) {
        MostDone = qMax(MostDone, P.Done);
        // Half-way: three records are in the staging folder.
        if (P.Done == 3 && !P.Packing)
            Export->Cancel();
    };
    Options.OnFinished = [&](const TEvidenceResult& R) {
        Result = R;
        ++Finished;
    };
    Export = std::make_unique<TEvidenceExport>(Source, Options);
    Export->Start(Ids);
    EXPECT_EQ(Finished, 1);
    EXPECT_EQ(Result.Status, TEvidenceResult::erCancelled);
    EXPECT_EQ(MostDone, 3);
    EXPECT_TRUE(Result.Exported.isEmpty());
    EXPECT_TRUE(FilesBelow(Dir.path()).isEmpty()) << FilesBelow(Dir.path()).join(' ').toStdString();

    // The same source and connection export the same records afterwards.
    Finished = 0;
    Options.OnProgress = {};
    TEvidenceExport Again(Source, Options);
    Again.Start(Ids);
    ASSERT_EQ(Finished, 1);
    EXPECT_EQ(Result.Status, TEvidenceResult::erWritten) << Result.Error.toStdString();
    EXPECT_EQ(Result.Exported, Ids);
    const QString Root = Dir.filePath(QStringLiteral("unpacked"));
    ASSERT_EQ(Unzip(Zip, Root), QString());
    EXPECT_EQ(CheckManifest(Root).Status, 0);
}

} // namespace
