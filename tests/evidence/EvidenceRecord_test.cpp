// A record as a package describes it, in a zone with daylight time and a
// half-hour offset (America/St_Johns: UTC-03:30 in winter, UTC-02:30 in
// summer): the rows it is read from, its folder and file names, the times
// and the zone in record.json, the call attached data as CSV, the
// transcript of a message, and the statements that ask for it.
#include "EvidenceTestSupport.h"

#include "Csv.h"
#include "EvidenceRecord.h"
#include "LocalTime.h"
#include "VQDateTime.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdlib>

using evidence_test::ReadCsv;

EVIDENCE_TEST_ZONE("America/St_Johns");

namespace {

// 2024-01-15 12:00:00 UTC (winter) and 2024-07-01 12:00:00 UTC (summer).
constexpr qint64 Winter = 1705320000;
constexpr qint64 Summer = 1719835200;

QStringList Row(const char* Id, const char* Type, const char* CallId, qint64 Time, const char* Name,
                const char* User, const char* Group, const char* Role, const char* Ext) {
    return {QString::fromUtf8(Id),    QString::fromUtf8(Type), QString::fromUtf8(CallId),
            QString::number(Time),    QString::fromUtf8(Name), QString::fromUtf8(User),
            QString::fromUtf8(Group), QStringLiteral("ext"),   QString::fromUtf8(Role),
            QString::fromUtf8(Ext)};
}

TEvidenceRecord Call() {
    return RecordFromRows({
        Row("42", "callrec", "AB12C-3D-4E5F6-789", Summer, "Zoë Müller", "1019", "0", "0", "wav"),
        Row("42", "callrec", "AB12C-3D-4E5F6-789", Summer, "+49 30 1234", "0", "0", "1", "wav"),
        Row("42", "callrec", "AB12C-3D-4E5F6-789", Summer, "Support agent Ben", "7", "3", "-1",
            "wav"),
        Row("42", "callrec", "AB12C-3D-4E5F6-789", Summer, "Support", "0", "3", "0", "wav"),
    });
}

} // namespace

TEST(EvidenceRecord, RowsGiveTheRecordAndEachParticipantsRoleAndKind) {
    const TEvidenceRecord R = Call();
    EXPECT_EQ(R.MediaId, 42u);
    EXPECT_EQ(R.MediaType, emCallRec);
    EXPECT_EQ(R.MediaTypeText(), QStringLiteral("callrec"));
    EXPECT_EQ(R.GCID, QStringLiteral("AB12C-3D-4E5F6-789"));
    EXPECT_EQ(R.TimeStamp, Summer);
    EXPECT_EQ(R.FileExtension, QStringLiteral("wav"));
    ASSERT_EQ(R.Participants.size(), 4);
    // The archive counts 1 caller, 0 recipient, -1 supervisor.
    EXPECT_EQ(R.Participants[0].Role, prRecipient);
    EXPECT_EQ(R.Participants[1].Role, prCaller);
    EXPECT_EQ(R.Participants[2].Role, prSupervisor);
    EXPECT_EQ(R.Participants[0].Kind(), ukUser);
    EXPECT_EQ(R.Participants[1].Kind(), ukExternalAddress);
    EXPECT_EQ(R.Participants[2].Kind(), ukUserGroup);
    EXPECT_EQ(R.Participants[3].Kind(), ukGroup);
    EXPECT_EQ(R.Caller(), QStringLiteral("+49 30 1234"));
    EXPECT_EQ(R.ParticipantsText(),
              QString::fromUtf8("Zoë Müller as recipient, +49 30 1234 as caller, Support agent "
                                "Ben as supervisor, Support as recipient"));
    EXPECT_EQ(KindName(ukUserGroup), QStringLiteral("agent"));
    EXPECT_EQ(RoleName(prSupervisor), QStringLiteral("supervisor"));
}

TEST(EvidenceRecord, OddRowsAreReadAsTheListReadsThem) {
    // An unreadable role counts as 0 (recipient); one outside the known
    // ones is "any". A media type text of another case is unknown.
    const TEvidenceRecord R = RecordFromRows({
        Row("7", "IM", "", Winter, "A", "x", "", "caller", "txt"),
        Row("7", "IM", "", Winter, "B", "-4", "0", "5", "txt"),
    });
    EXPECT_EQ(R.MediaType, emUnknown);
    EXPECT_EQ(R.Participants[0].Role, prRecipient);
    EXPECT_EQ(R.Participants[0].UserID, 0);
    EXPECT_EQ(R.Participants[1].Role, prAny);
    EXPECT_EQ(R.Participants[1].UserID, -4);
    EXPECT_EQ(int(R.Participants[1].Kind()), int(ukError));
    EXPECT_EQ(R.Caller(), QString());
    // Short rows lose nothing but their missing columns.
    const TEvidenceRecord Short = RecordFromRows({{QStringLiteral("9"), QStringLiteral("fax")}});
    EXPECT_EQ(Short.MediaId, 9u);
    EXPECT_EQ(Short.MediaType, emFax);
    EXPECT_THROW(RecordFromRows({}), EEvidenceRecordError);
}

TEST(EvidenceRecord, FolderAndFileNamesAreSafeAndSortByTime) {
    TEvidenceRecord R = Call();
    EXPECT_EQ(RecordFolderName(R), QStringLiteral("2024-07-01_12-00-00Z_42"));
    EXPECT_EQ(RecordDataFileName(R), QStringLiteral("recording.wav"));
    R.MediaType = emVM;
    R.FileExtension = QStringLiteral("mp3");
    EXPECT_EQ(RecordDataFileName(R), QStringLiteral("voicemail.mp3"));
    R.MediaType = emFax;
    R.FileExtension = QStringLiteral("pdf");
    EXPECT_EQ(RecordDataFileName(R), QStringLiteral("fax.pdf"));
    R.MediaType = emWebChat;
    R.FileExtension = QStringLiteral("txt");
    EXPECT_EQ(RecordDataFileName(R), QStringLiteral("data.txt"));
    R.MediaType = emIM;
    EXPECT_EQ(RecordDataFileName(R), QString());
    // The extension comes from the archive: nothing of a path gets through.
    R.MediaType = emFax;
    for (const char* Bad : {"/..", "a b", "", "..", "x/y", "waytoolongext"}) {
        R.FileExtension = QString::fromLatin1(Bad);
        EXPECT_EQ(RecordDataFileName(R), QStringLiteral("fax.dat")) << Bad;
    }
    R.TimeStamp = 400000000000000LL;
    EXPECT_EQ(RecordFolderName(R), QStringLiteral("unknown-time_42"));
}

TEST(EvidenceRecord, TheZoneAndItsOffsetAtEachDate) {
    EXPECT_EQ(LocalZoneName(), QStringLiteral("America/St_Johns"));
    EXPECT_EQ(LocalOffsetAt(Winter), -12600);
    EXPECT_EQ(LocalOffsetAt(Summer), -9000);
    EXPECT_EQ(UtcOffsetText(-12600), QStringLiteral("-03:30"));
    EXPECT_EQ(UtcOffsetText(20700), QStringLiteral("+05:45"));
    EXPECT_EQ(UtcOffsetText(0), QStringLiteral("+00:00"));
    EXPECT_EQ(ZoneCaption(Winter), QStringLiteral("Times in America/St_Johns (UTC-03:30)"));
    EXPECT_EQ(ZoneCaption(Summer), QStringLiteral("Times in America/St_Johns (UTC-02:30)"));
    EXPECT_EQ(IsoUtc(Summer), QStringLiteral("2024-07-01T12:00:00Z"));
    EXPECT_EQ(IsoLocal(Summer), QStringLiteral("2024-07-01T09:30:00-02:30"));
    EXPECT_EQ(IsoLocal(Winter), QStringLiteral("2024-01-15T08:30:00-03:30"));
    EXPECT_EQ(PlainLocal(Winter), QStringLiteral("2024-01-15 08:30:00"));
    EXPECT_EQ(PlainUtc(Winter), QStringLiteral("2024-01-15 12:00:00"));
    EXPECT_EQ(LocalZoneAbbreviation(Summer), QStringLiteral("NDT"));
    // The list's own text: local time in the user's formats.
    EXPECT_EQ(ShownDateTime(Summer),
              FormatShortDateLongTime(EncodeDateTime(QDate(2024, 7, 1), QTime(9, 30))));
    // Times the calendar cannot name are their number, never a crash.
    EXPECT_EQ(IsoUtc(400000000000000LL), QStringLiteral("400000000000000"));
    EXPECT_EQ(ShownDateTime(-400000000000000LL), QStringLiteral("-400000000000000"));
}

TEST(EvidenceRecord, RecordJsonHoldsTheFactsAndTheTimeInBothZones) {
    TEvidenceRecord R = Call();
    R.ShownTime = QStringLiteral("as the list shows it");
    const QList<TCadRow> Cad = {{QStringLiteral("CustomerID"), QStringLiteral("=HYPERLINK(1)"),
                                 QStringLiteral("from the IVR")}};
    const QList<TEvidenceFileEntry> Files = {
        {QStringLiteral("recording.wav"), 1234, QByteArray(64, 'a')}};
    QJsonParseError Error{};
    const QJsonDocument Doc = QJsonDocument::fromJson(RecordJson(R, Cad, Files), &Error);
    ASSERT_EQ(Error.error, QJsonParseError::NoError) << qPrintable(Error.errorString());
    const QJsonObject J = Doc.object();
    EXPECT_EQ(J["media_id"].toInteger(), 42);
    EXPECT_EQ(J["media_type"].toString(), QStringLiteral("callrec"));
    EXPECT_EQ(J["media_type_name"].toString(), QStringLiteral("Call recording"));
    EXPECT_EQ(J["global_call_id"].toString(), QStringLiteral("AB12C-3D-4E5F6-789"));
    EXPECT_EQ(J["timestamp"].toInteger(), Summer);
    EXPECT_EQ(J["time_utc"].toString(), QStringLiteral("2024-07-01T12:00:00Z"));
    EXPECT_EQ(J["time_local"].toString(), QStringLiteral("2024-07-01T09:30:00-02:30"));
    EXPECT_EQ(J["time_zone"].toString(), QStringLiteral("America/St_Johns"));
    EXPECT_EQ(J["utc_offset"].toString(), QStringLiteral("-02:30"));
    EXPECT_EQ(J["time_shown"].toString(), QStringLiteral("as the list shows it"));
    // The local time and the offset name the same instant as the UTC time.
    EXPECT_EQ(QDateTime::fromString(J["time_local"].toString(), Qt::ISODate).toSecsSinceEpoch(),
              Summer);
    const QJsonArray People = J["participants"].toArray();
    ASSERT_EQ(People.size(), 4);
    EXPECT_EQ(People[0].toObject()["name"].toString(), QString::fromUtf8("Zoë Müller"));
    EXPECT_EQ(People[0].toObject()["role"].toString(), QStringLiteral("recipient"));
    EXPECT_EQ(People[0].toObject()["kind"].toString(), QStringLiteral("user"));
    EXPECT_EQ(People[0].toObject()["user_id"].toInt(), 1019);
    EXPECT_EQ(People[2].toObject()["kind"].toString(), QStringLiteral("agent"));
    EXPECT_EQ(People[2].toObject()["group_id"].toInt(), 3);
    EXPECT_EQ(People[1].toObject()["kind"].toString(), QStringLiteral("external"));
    // The call attached data exactly as stored, formula or not.
    EXPECT_EQ(J["call_attached_data"].toArray()[0].toObject()["value"].toString(),
              QStringLiteral("=HYPERLINK(1)"));
    EXPECT_EQ(J["files"].toArray()[0].toObject()["bytes"].toInteger(), 1234);
    EXPECT_EQ(J["files"].toArray()[0].toObject()["sha256"].toString(), QString(64, QChar('a')));
}

TEST(EvidenceRecord, CadCsvHasAHeaderAndGuardsFormulas) {
    const QList<TCadRow> Cad = {
        {QStringLiteral("Queue"), QStringLiteral("VIP, gold"), QStringLiteral("routed \"here\"")},
        {QStringLiteral("Note"), QStringLiteral("=cmd|' /C calc'!A0"), QStringLiteral("-")},
        {QString::fromUtf8("Sprache"), QString::fromUtf8("Deutsch\r\nÖsterreich"), QString()}};
    const QByteArray Csv = CadCsv(Cad);
    EXPECT_TRUE(Csv.startsWith(CsvByteOrderMark));
    QString Error;
    const QList<QStringList> Rows = ReadCsv(Csv, &Error);
    ASSERT_TRUE(Error.isEmpty()) << qPrintable(Error);
    ASSERT_EQ(Rows.size(), 4);
    EXPECT_EQ(Rows[0], QStringList({"name", "value", "description"}));
    EXPECT_EQ(Rows[1], QStringList({"Queue", "VIP, gold", "routed \"here\""}));
    EXPECT_EQ(Rows[2], QStringList({"Note", "'=cmd|' /C calc'!A0", "'-"}));
    EXPECT_EQ(Rows[3][1], QString::fromUtf8("Deutsch\r\nÖsterreich"));
    // No call attached data: the header alone.
    EXPECT_EQ(ReadCsv(CadCsv({})).size(), 1);
}

TEST(EvidenceRecord, TheTranscriptIsTheMessageViewsText) {
    TEvidenceRecord R = RecordFromRows({
        Row("5", "im", "G", Winter, "Xenia", "11", "0", "1", "txt"),
        Row("5", "im", "G", Winter, "Quentin", "12", "0", "0", "txt"),
    });
    R.ShownTime = QStringLiteral("15/01/2024 08:30:00");
    const QString Body = QString::fromUtf8("Hi,\r\nsee {this}\rand — ünïcode\nend");
    EXPECT_EQ(TranscriptText(R, Body),
              QString::fromUtf8("15/01/2024 08:30:00 Xenia said: \nHi,\nsee {this}\nand — "
                                "ünïcode\nend\n\n"));
    const TRtfDocument Doc = TranscriptDocument(R, Body);
    ASSERT_EQ(Doc.Paragraphs.size(), 1 + 4 + 2);
    const TRtfRun& Heading = Doc.Paragraphs[0][0];
    EXPECT_EQ(Heading.Text, QStringLiteral("15/01/2024 08:30:00 Xenia said: "));
    EXPECT_TRUE(Heading.Bold);
    EXPECT_EQ(Heading.Colour, 0x000080u);
    EXPECT_EQ(Doc.Paragraphs[2][0].Text, QStringLiteral("see {this}"));
    EXPECT_FALSE(Doc.Paragraphs[2][0].Bold);
    EXPECT_EQ(Doc.Paragraphs[2][0].Colour, 0x000000u);
    EXPECT_TRUE(Doc.Paragraphs[5].isEmpty());
    EXPECT_TRUE(Doc.Paragraphs[6].isEmpty());
    const QByteArray Rtf = TRtfWriter::Write(Doc);
    EXPECT_TRUE(Rtf.contains("{\\b\\cf1 15/01/2024 08:30:00 Xenia said: }\\par"))
        << Rtf.constData();
    EXPECT_TRUE(Rtf.contains("{\\cf2 see \\{this\\}}")) << Rtf.constData();
}

TEST(EvidenceRecord, StatementsAskForOneRecordAndQuoteTheCallId) {
    const QString Sql = RecordSQL(42);
    EXPECT_TRUE(Sql.startsWith(QString::fromLatin1(QueryHeadingSQL))) << qPrintable(Sql);
    EXPECT_TRUE(Sql.contains(QStringLiteral("(m.Media_ID = 42)"))) << qPrintable(Sql);
    EXPECT_EQ(CadSQL(QStringLiteral("a'b"), 3),
              QStringLiteral("SELECT name, value, description FROM cad WHERE call_id = 'a''b'"));
    // Server type 2 reads backslashes in literals.
    EXPECT_EQ(CadSQL(QStringLiteral("a\\"), 2),
              QStringLiteral("SELECT name, value, description FROM cad WHERE call_id = 'a\\\\'"));
}
