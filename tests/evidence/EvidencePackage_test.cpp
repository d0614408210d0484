// The package on its own, with records the test makes: Debian's unzip
// unpacks it and `sha256sum -c` checks it; a cancelled or failed package
// leaves nothing behind (neither the ZIP, nor libzip's temporary file, nor
// the staging folder) and a file it was to replace stays as it was. The
// zone is Asia/Kathmandu (UTC+05:45), which no default could produce.
#include "EvidenceTestSupport.h"

#include "EvidencePackage.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

using namespace evidence_test;

EVIDENCE_TEST_ZONE("Asia/Kathmandu");

namespace {

constexpr qint64 July = 1719835200; // 2024-07-01 12:00:00 UTC

TEvidenceRecord Record(quint32 Id, int Type, const QString& Ext, const QString& CallId = {}) {
    TEvidenceRecord R;
    R.MediaId = Id;
    R.MediaType = Type;
    R.FileExtension = Ext;
    R.GCID = CallId;
    R.TimeStamp = July + Id;
    R.ShownTime = QStringLiteral("shown %1").arg(Id);
    R.Participants = {{QStringLiteral("Anna"), prCaller, 5, 0},
                      {QStringLiteral("+49 30 1234"), prRecipient, 0, 0}};
    return R;
}

QByteArray Bytes(int Size, int Seed) {
    QByteArray Data(Size, Qt::Uninitialized);
    for (int I = 0; I < Size; ++I)
        Data[I] = char((I * 31 + Seed * 7) & 0xFF);
    return Data;
}

const TEvidencePackageInfo Info{QStringLiteral("package test 1.0"),
                                QStringLiteral("archive.example.org:7456"),
                                3,
                                {{99, QStringLiteral("The record has no data")}}};

class EvidencePackageTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Dir.isValid()); }
    QString Target() const { return Dir.filePath(QStringLiteral("case.zip")); }

    // Three records of three kinds, one piece of data at a time.
    void Fill(TEvidencePackage& P) {
        P.BeginRecord(Record(2, emCallRec, QStringLiteral("wav"), QStringLiteral("CALL-2")));
        P.SetCad({{QStringLiteral("Queue"), QStringLiteral("VIP"), QStringLiteral("routed")}});
        const QByteArray Wav = Bytes(100000, 2);
        for (int At = 0; At < Wav.size(); At += 7000)
            P.WriteData(Wav.constData() + At, qMin<qint64>(7000, Wav.size() - At));
        P.EndRecord();
        P.BeginRecord(Record(4, emIM, QStringLiteral("txt")));
        const QByteArray Text = QString::fromUtf8("Grüße,\r\nsee you").toUtf8();
        // Cut inside a character: the transcript is made of the whole.
        P.WriteData(Text.constData(), 3);
        P.WriteData(Text.constData() + 3, Text.size() - 3);
        P.EndRecord();
        P.BeginRecord(Record(7, emFax, QStringLiteral("pdf")));
        P.WriteData("%PDF-1.4 fax", 12);
        P.EndRecord();
    }

    QTemporaryDir Dir;
};

} // namespace

TEST_F(EvidencePackageTest, APackageUnzipsAndVerifiesWithDebiansTools) {
    {
        TEvidencePackage P(Target());
        Fill(P);
        // Nothing but the staging folder exists before Finish.
        EXPECT_FALSE(QFile::exists(Target()));
        double Last = -1;
        ASSERT_TRUE(P.Finish(
            Info, [&](double F) { Last = F; }, [] { return false; }));
        EXPECT_DOUBLE_EQ(Last, 1.0);
        EXPECT_EQ(P.PackageSha256(), FileSha256(Target()));
        EXPECT_EQ(P.PackageBytes(), QFileInfo(Target()).size());
        EXPECT_EQ(P.Folders(), QStringList({"2024-07-01_12-00-02Z_2", "2024-07-01_12-00-04Z_4",
                                            "2024-07-01_12-00-07Z_7"}));
    }
    // The staging folder went with the package object.
    EXPECT_EQ(FilesBelow(Dir.path()), QStringList({"case.zip"}));

    const QString Out = Dir.filePath(QStringLiteral("out"));
    ASSERT_EQ(Unzip(Target(), Out), QString());
    EXPECT_EQ(
        FilesBelow(Out),
        QStringList({"2024-07-01_12-00-02Z_2/cad.csv", "2024-07-01_12-00-02Z_2/record.json",
                     "2024-07-01_12-00-02Z_2/recording.wav", "2024-07-01_12-00-04Z_4/cad.csv",
                     "2024-07-01_12-00-04Z_4/record.json", "2024-07-01_12-00-04Z_4/transcript.rtf",
                     "2024-07-01_12-00-04Z_4/transcript.txt", "2024-07-01_12-00-07Z_7/cad.csv",
                     "2024-07-01_12-00-07Z_7/fax.pdf", "2024-07-01_12-00-07Z_7/record.json",
                     "README.txt", "manifest.sha256"}));
    const TRun Check = CheckManifest(Out);
    ASSERT_EQ(Check.Status, 0) << qPrintable(Check.Out + Check.Err);
    // Every file but the manifest is checked, README.txt included.
    EXPECT_EQ(Check.Out.count(QStringLiteral(": OK\n")), 11) << qPrintable(Check.Out);
    EXPECT_TRUE(Check.Out.contains(QStringLiteral("README.txt: OK")));

    EXPECT_EQ(ReadFile(Out + "/2024-07-01_12-00-02Z_2/recording.wav"), Bytes(100000, 2));
    EXPECT_EQ(ReadFile(Out + "/2024-07-01_12-00-07Z_7/fax.pdf"), QByteArray("%PDF-1.4 fax"));
    EXPECT_EQ(QString::fromUtf8(ReadFile(Out + "/2024-07-01_12-00-04Z_4/transcript.txt")),
              QString::fromUtf8("shown 4 Anna said: \nGrüße,\nsee you\n\n"));
    EXPECT_TRUE(ReadFile(Out + "/2024-07-01_12-00-04Z_4/transcript.rtf").startsWith("{\\rtf1"));
    const QList<QStringList> Cad = ReadCsv(ReadFile(Out + "/2024-07-01_12-00-02Z_2/cad.csv"));
    ASSERT_EQ(Cad.size(), 2);
    EXPECT_EQ(Cad[1], QStringList({"Queue", "VIP", "routed"}));

    // record.json lists the folder's files with what the manifest says.
    const QJsonObject Json =
        QJsonDocument::fromJson(ReadFile(Out + "/2024-07-01_12-00-02Z_2/record.json")).object();
    EXPECT_EQ(Json["utc_offset"].toString(), QStringLiteral("+05:45"));
    EXPECT_EQ(Json["time_local"].toString(), QStringLiteral("2024-07-01T17:45:02+05:45"));
    const QJsonObject Wav = Json["files"].toArray()[0].toObject();
    EXPECT_EQ(Wav["name"].toString(), QStringLiteral("recording.wav"));
    EXPECT_EQ(Wav["bytes"].toInteger(), 100000);
    EXPECT_TRUE(QString::fromUtf8(ReadFile(Out + "/manifest.sha256"))
                    .contains(Wav["sha256"].toString() +
                              QStringLiteral("  2024-07-01_12-00-02Z_2/recording.wav\n")));

    const QString Readme = QString::fromUtf8(ReadFile(Out + "/README.txt"));
    for (const char* Said : {"archive.example.org:7456 (server type 3)", "package test 1.0",
                             "holds 3 record(s)", "2024-07-01_12-00-02Z_2/",
                             "Call recording, 2024-07-01 17:45:02 (Asia/Kathmandu, "
                             "UTC+05:45)",
                             "Anna as caller, +49 30 1234 as recipient", "Global call id CALL-2",
                             "99: The record has no data", "sha256sum -c manifest.sha256",
                             "Asia/Kathmandu (UTC+05:45)"})
        EXPECT_TRUE(Readme.contains(QString::fromUtf8(Said))) << Said << "\n" << qPrintable(Readme);
    EXPECT_TRUE(Readme.contains(QStringLiteral("\r\n")));

    // Recordings in WAV shrink; faxes in PDF are stored as they are.
    const TRun List = RunProgram(QStringLiteral("unzip"), {QStringLiteral("-v"), Target()});
    ASSERT_EQ(List.Status, 0);
    for (const QString& Line : List.Out.split(QLatin1Char('\n'))) {
        if (Line.endsWith(QStringLiteral("fax.pdf"))) {
            EXPECT_TRUE(Line.contains(QStringLiteral("Stored"))) << qPrintable(Line);
        }
        if (Line.endsWith(QStringLiteral("recording.wav"))) {
            EXPECT_TRUE(Line.contains(QStringLiteral("Defl"))) << qPrintable(Line);
        }
    }
}

TEST_F(EvidencePackageTest, MessagesOfOneConversationAreAlsoJoinedInTimeOrder) {
    // Given out of order; a lone message and one without an id join nothing.
    struct Message {
        quint32 Id;
        const char* CallId;
        const char* Text;
    };
    const auto Write = [&](std::initializer_list<Message> Messages) {
        TEvidencePackage P(Target());
        for (const Message& M : Messages) {
            P.BeginRecord(Record(M.Id, emIM, QStringLiteral("txt"), QLatin1String(M.CallId)));
            P.WriteData(M.Text, qint64(qstrlen(M.Text)));
            P.EndRecord();
        }
        return P.Finish(
            Info, [](double) {}, [] { return false; });
    };
    const QString Out = Dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(
        Write({{9, "TALK", "later"}, {3, "TALK", "first"}, {5, "ALONE", "x"}, {6, "", "y"}}));
    ASSERT_EQ(Unzip(Target(), Out), QString());
    EXPECT_EQ(QString::fromUtf8(ReadFile(Out + "/conversation.txt")),
              QStringLiteral("shown 3 Anna said: \nfirst\n\nshown 9 Anna said: \nlater\n\n"));
    EXPECT_TRUE(ReadFile(Out + "/conversation.rtf").startsWith("{\\rtf1"));
    EXPECT_EQ(CheckManifest(Out).Status, 0);
    EXPECT_TRUE(QString::fromUtf8(ReadFile(Out + "/README.txt")).contains("conversation.rtf"));

    // Two conversations are told apart by their ids, made safe for a name.
    QDir(Out).removeRecursively();
    ASSERT_TRUE(Write({{1, "A/1", "a"}, {2, "B", "b"}, {3, "A/1", "c"}, {4, "B", "d"}}));
    ASSERT_EQ(Unzip(Target(), Out), QString());
    const QStringList Files = FilesBelow(Out);
    for (const char* Name : {"conversation-A_1.txt", "conversation-A_1.rtf", "conversation-B.txt"})
        EXPECT_TRUE(Files.contains(QLatin1String(Name))) << Name;
    EXPECT_FALSE(Files.contains(QStringLiteral("conversation.txt")));
}

TEST_F(EvidencePackageTest, ADroppedRecordLeavesNoTrace) {
    TEvidencePackage P(Target());
    P.BeginRecord(Record(3, emCallRec, QStringLiteral("mp3")));
    P.WriteData("half a recording", 16);
    P.DropRecord();
    P.BeginRecord(Record(5, emVM, QStringLiteral("wav")));
    // No data at all is still a file, and an honest one.
    P.EndRecord();
    ASSERT_TRUE(P.Finish(Info, {}, {}));
    const QString Out = Dir.filePath(QStringLiteral("out"));
    ASSERT_EQ(Unzip(Target(), Out), QString());
    EXPECT_EQ(
        FilesBelow(Out),
        QStringList({"2024-07-01_12-00-05Z_5/cad.csv", "2024-07-01_12-00-05Z_5/record.json",
                     "2024-07-01_12-00-05Z_5/voicemail.wav", "README.txt", "manifest.sha256"}));
    EXPECT_EQ(CheckManifest(Out).Status, 0);
    EXPECT_TRUE(
        QString::fromUtf8(ReadFile(Out + "/manifest.sha256"))
            .contains(QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495"
                                     "991b7852b855  2024-07-01_12-00-05Z_5/voicemail.wav")));
}

TEST_F(EvidencePackageTest, CancellingTheZipLeavesNothingAndKeepsTheOldFile) {
    {
        QFile Old(Target());
        ASSERT_TRUE(Old.open(QIODevice::WriteOnly));
        Old.write("the operator's earlier package");
    }
    {
        TEvidencePackage P(Target());
        Fill(P);
        // libzip asks between its steps; the second question stops it.
        int Asked = 0;
        EXPECT_FALSE(P.Finish(Info, {}, [&] { return ++Asked > 1; }));
        EXPECT_GT(Asked, 1);
    }
    EXPECT_EQ(FilesBelow(Dir.path()), QStringList({"case.zip"}));
    EXPECT_EQ(ReadFile(Target()), QByteArray("the operator's earlier package"));
    // A finished package replaces it.
    {
        TEvidencePackage P(Target());
        Fill(P);
        ASSERT_TRUE(P.Finish(Info, {}, {}));
    }
    EXPECT_EQ(FilesBelow(Dir.path()), QStringList({"case.zip"}));
    EXPECT_EQ(ReadFile(Target()).left(2), QByteArray("PK"));
}

TEST_F(EvidencePackageTest, AnUnusableTargetIsRefusedBeforeAnythingIsWritten) {
    EXPECT_THROW(TEvidencePackage(Dir.filePath(QStringLiteral("missing/case.zip"))),
                 EEvidenceError);
    ASSERT_TRUE(QDir(Dir.path()).mkdir(QStringLiteral("folder.zip")));
    EXPECT_THROW(TEvidencePackage(Dir.filePath(QStringLiteral("folder.zip"))), EEvidenceError);
    EXPECT_EQ(FilesBelow(Dir.path()), QStringList());
    // Destroyed unfinished: the staging folder goes, nothing else appears.
    {
        TEvidencePackage P(Target());
        Fill(P);
        EXPECT_FALSE(FilesBelow(Dir.path()).isEmpty());
    }
    EXPECT_EQ(FilesBelow(Dir.path()), QStringList());
}

TEST_F(EvidencePackageTest, AMessageTooLargeForATranscriptFailsItsRecordOnly) {
    TEvidencePackage P(Target());
    P.BeginRecord(Record(4, emIM, QStringLiteral("txt")));
    const QByteArray Half(int(TEvidencePackage::MaxMessageBytes / 2 + 1), 'x');
    P.WriteData(Half.constData(), Half.size());
    EXPECT_THROW(P.WriteData(Half.constData(), Half.size()), EEvidenceRecordError);
    P.DropRecord();
    P.BeginRecord(Record(4, emIM, QStringLiteral("txt")));
    P.WriteData("short", 5);
    P.EndRecord();
    // The same record twice gets a folder of its own.
    P.BeginRecord(Record(4, emIM, QStringLiteral("txt")));
    P.EndRecord();
    EXPECT_EQ(P.Folders(), QStringList({"2024-07-01_12-00-04Z_4", "2024-07-01_12-00-04Z_4-2"}));
    ASSERT_TRUE(P.Finish(Info, {}, {}));
    const QString Out = Dir.filePath(QStringLiteral("out"));
    ASSERT_EQ(Unzip(Target(), Out), QString());
    EXPECT_EQ(CheckManifest(Out).Status, 0);
}
