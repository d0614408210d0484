#include "EvidenceRecord.h"

#include "Conditions.h"
#include "Csv.h"
#include "LocalTime.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <climits>

namespace {

// The heading and the text of a transcript, as the message view shows them.
constexpr quint32 HeadingColour = 0x000080;
constexpr quint32 TextColour = 0x000000;
// Transcripts are read on other machines: a font every reader knows or
// replaces with its own sans-serif face.
const char* const TranscriptFont = "Arial";
constexpr double TranscriptPoints = 10;

qint64 Number(const QStringList& Row, int Column, bool& Ok) {
    Ok = false;
    if (Column >= Row.size())
        return 0;
    QString Text = Row.at(Column).trimmed();
    if (Text.startsWith(QLatin1Char('+')))
        Text.remove(0, 1);
    const qint64 Value = Text.toLongLong(&Ok);
    return Ok ? Value : 0;
}

QString Column(const QStringList& Row, int Index) {
    return Index < Row.size() ? Row.at(Index) : QString();
}

qint32 Id32(qint64 Value, bool Ok) {
    return Ok && Value >= INT_MIN && Value <= INT_MAX ? qint32(Value) : 0;
}

// The message view breaks lines at "\r\n", "\r" and "\n" alike.
QStringList Lines(const QString& Text) {
    QString Normal = Text;
    Normal.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    Normal.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return Normal.split(QLatin1Char('\n'));
}

} // namespace

EEvidenceError::EEvidenceError(const QString& Message)
    : std::runtime_error(Message.toStdString()) {}

TUserKind TEvidenceParticipant::Kind() const {
    if (UserID > 0 && GroupID == 0)
        return ukUser;
    if (UserID == 0 && GroupID > 0)
        return ukGroup;
    if (UserID > 0 && GroupID > 0)
        return ukUserGroup;
    if (UserID == 0 && GroupID == 0)
        return ukExternalAddress;
    return ukError;
}

QString TEvidenceRecord::MediaTypeText() const {
    return QLatin1String(MediaTypeStrings[size_t(MediaType >= 0 && MediaType < 8 ? MediaType : 7)]);
}

QString TEvidenceRecord::Caller() const {
    for (const TEvidenceParticipant& P : Participants)
        if (P.Role == prCaller)
            return P.Name;
    return QString();
}

QString TEvidenceRecord::ParticipantsText() const {
    QStringList Parts;
    for (const TEvidenceParticipant& P : Participants) {
        const QString Role =
            P.Role == prAny ? QString() : QLatin1String(ParticipantRoleTexts[P.Role]);
        Parts.append(Role.isEmpty() ? P.Name : P.Name + QLatin1Char(' ') + Role);
    }
    return Parts.join(QStringLiteral(", "));
}

QString TEvidenceRecord::Shown() const {
    return ShownTime.isEmpty() ? ShownDateTime(TimeStamp) : ShownTime;
}

int EvidenceMediaTypeOf(const QString& Text) {
    for (int I = 0; I < int(MediaTypeStrings.size()); ++I)
        if (Text == QLatin1String(MediaTypeStrings[size_t(I)]))
            return I;
    return emUnknown;
}

QString MediaTypeName(int MediaType) {
    switch (MediaType) {
    case emIM:
        return QStringLiteral("Instant message");
    case emCallRec:
        return QStringLiteral("Call recording");
    case emVM:
        return QStringLiteral("Voice mail & Personal call recording");
    case emFax:
        return QStringLiteral("Fax");
    case emCAD:
        return QStringLiteral("Call attached data");
    case emWebChat:
        return QStringLiteral("Web chat");
    case emReserved:
        return QStringLiteral("Reserved");
    default:
        return QStringLiteral("Unknown");
    }
}

QString RoleName(TParticipantRole Role) {
    switch (Role) {
    case prCaller:
        return QStringLiteral("caller");
    case prRecipient:
        return QStringLiteral("recipient");
    case prSupervisor:
        return QStringLiteral("supervisor");
    default:
        return QStringLiteral("any");
    }
}

QString KindName(TUserKind Kind) {
    switch (Kind) {
    case ukUser:
        return QStringLiteral("user");
    case ukGroup:
        return QStringLiteral("group");
    case ukUserGroup:
        return QStringLiteral("agent");
    case ukExternalAddress:
        return QStringLiteral("external");
    default:
        return QStringLiteral("unknown");
    }
}

TEvidenceRecord RecordFromRows(const QList<QStringList>& Rows) {
    if (Rows.isEmpty())
        throw EEvidenceRecordError(QStringLiteral("The record is not in the archive"));
    TEvidenceRecord Record;
    const QStringList& First = Rows.first();
    bool Ok = false;
    const qint64 Id = Number(First, colMediaID, Ok);
    Record.MediaId = Ok && Id >= 0 && Id <= 0xFFFFFFFFLL ? quint32(Id) : 0;
    Record.MediaType = EvidenceMediaTypeOf(Column(First, colMediaType));
    Record.GCID = Column(First, colCallID);
    Record.TimeStamp = Number(First, colTimestamp, Ok);
    Record.FileExtension = Column(First, colFileExtension);
    for (const QStringList& Row : Rows) {
        TEvidenceParticipant P;
        P.Name = Column(Row, colDisplayName);
        const qint64 User = Number(Row, colUserID, Ok);
        P.UserID = Id32(User, Ok);
        const qint64 Group = Number(Row, colGroupID, Ok);
        P.GroupID = Id32(Group, Ok);
        // The archive counts roles 1 caller, 0 recipient, -1 supervisor.
        qint64 Role = Number(Row, colRole, Ok);
        Role = 2 - (Ok ? Role : 0);
        P.Role = Role >= prAny && Role <= prSupervisor ? TParticipantRole(Role) : prAny;
        Record.Participants.append(P);
    }
    return Record;
}

QString RecordSQL(quint32 MediaId) {
    return QString::fromLatin1(QueryHeadingSQL) +
           QStringLiteral(" (m.Media_ID = %1) ").arg(MediaId) +
           QStringLiteral(" ORDER BY p.Media_ID");
}

QString CadSQL(const QString& GCID, int ServerType) {
    // The id comes from the archive's data: a quote in it must not end the
    // literal.
    return QStringLiteral("SELECT name, value, description FROM cad WHERE call_id = ") +
           QuotedSQL(GCID, ServerType);
}

QString RecordFolderName(const TEvidenceRecord& Record) {
    const QDateTime At = QDateTime::fromSecsSinceEpoch(Record.TimeStamp, Qt::UTC);
    const QString When = At.isValid() && At.date().year() >= 1 && At.date().year() <= 9999
                             ? At.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss")) + QLatin1Char('Z')
                             : QStringLiteral("unknown-time");
    return When + QLatin1Char('_') + QString::number(Record.MediaId);
}

QString RecordDataFileName(const TEvidenceRecord& Record) {
    // The extension comes from the archive's data and ends up in a file
    // name: only a plain one is kept.
    static const QRegularExpression Plain(QStringLiteral("^[A-Za-z0-9]{1,10}$"));
    const QString Extension =
        Plain.match(Record.FileExtension).hasMatch() ? Record.FileExtension : QStringLiteral("dat");
    switch (Record.MediaType) {
    case emIM:
        return QString();
    case emCallRec:
        return QStringLiteral("recording.") + Extension;
    case emVM:
        return QStringLiteral("voicemail.") + Extension;
    case emFax:
        return QStringLiteral("fax.") + Extension;
    default:
        return QStringLiteral("data.") + Extension;
    }
}

TRtfDocument TranscriptDocument(const TEvidenceRecord& Record, const QString& Text) {
    TRtfDocument Doc;
    Doc.FontFamily = QLatin1String(TranscriptFont);
    Doc.Points = TranscriptPoints;
    TRtfRun Heading;
    Heading.Text = Record.Shown() + QLatin1Char(' ') + Record.Caller() + QStringLiteral(" said: ");
    Heading.Bold = true;
    Heading.HasColour = true;
    Heading.Colour = HeadingColour;
    Doc.Paragraphs.append(TRtfParagraph{Heading});
    for (const QString& Line : Lines(Text)) {
        TRtfRun Run;
        Run.Text = Line;
        Run.HasColour = true;
        Run.Colour = TextColour;
        Doc.Paragraphs.append(TRtfParagraph{Run});
    }
    // The empty line that ends every message of the view.
    Doc.Paragraphs.append(TRtfParagraph{});
    Doc.Paragraphs.append(TRtfParagraph{});
    return Doc;
}

QString TranscriptText(const TEvidenceRecord& Record, const QString& Text) {
    return Record.Shown() + QLatin1Char(' ') + Record.Caller() + QStringLiteral(" said: \n") +
           Lines(Text).join(QLatin1Char('\n')) + QStringLiteral("\n\n");
}

QByteArray CadCsv(const QList<TCadRow>& Rows) {
    QByteArray Out(CsvByteOrderMark);
    Out +=
        CsvLine({QStringLiteral("name"), QStringLiteral("value"), QStringLiteral("description")});
    for (const TCadRow& Row : Rows)
        Out +=
            CsvLine({GuardedCell(Row.Name), GuardedCell(Row.Value), GuardedCell(Row.Description)});
    return Out;
}

QByteArray RecordJson(const TEvidenceRecord& Record, const QList<TCadRow>& Cad,
                      const QList<TEvidenceFileEntry>& Files) {
    QJsonObject Json;
    Json[QStringLiteral("media_id")] = qint64(Record.MediaId);
    Json[QStringLiteral("media_type")] = Record.MediaTypeText();
    Json[QStringLiteral("media_type_name")] = MediaTypeName(Record.MediaType);
    Json[QStringLiteral("global_call_id")] = Record.GCID;
    Json[QStringLiteral("file_extension")] = Record.FileExtension;
    Json[QStringLiteral("timestamp")] = Record.TimeStamp;
    Json[QStringLiteral("time_utc")] = IsoUtc(Record.TimeStamp);
    Json[QStringLiteral("time_local")] = IsoLocal(Record.TimeStamp);
    Json[QStringLiteral("time_shown")] = Record.Shown();
    Json[QStringLiteral("time_zone")] = LocalZoneName();
    Json[QStringLiteral("time_zone_abbreviation")] = LocalZoneAbbreviation(Record.TimeStamp);
    Json[QStringLiteral("utc_offset")] = UtcOffsetText(LocalOffsetAt(Record.TimeStamp));
    QJsonArray People;
    for (const TEvidenceParticipant& P : Record.Participants) {
        QJsonObject Person;
        Person[QStringLiteral("name")] = P.Name;
        Person[QStringLiteral("role")] = RoleName(P.Role);
        Person[QStringLiteral("kind")] = KindName(P.Kind());
        Person[QStringLiteral("user_id")] = P.UserID;
        Person[QStringLiteral("group_id")] = P.GroupID;
        People.append(Person);
    }
    Json[QStringLiteral("participants")] = People;
    // The values exactly as the archive holds them; cad.csv guards the ones
    // a spreadsheet would take for a formula.
    QJsonArray Pairs;
    for (const TCadRow& Row : Cad) {
        QJsonObject Pair;
        Pair[QStringLiteral("name")] = Row.Name;
        Pair[QStringLiteral("value")] = Row.Value;
        Pair[QStringLiteral("description")] = Row.Description;
        Pairs.append(Pair);
    }
    Json[QStringLiteral("call_attached_data")] = Pairs;
    QJsonArray Listed;
    for (const TEvidenceFileEntry& File : Files) {
        QJsonObject Entry;
        Entry[QStringLiteral("name")] = File.Name;
        Entry[QStringLiteral("bytes")] = File.Bytes;
        Entry[QStringLiteral("sha256")] = QString::fromLatin1(File.Sha256);
        Listed.append(Entry);
    }
    Json[QStringLiteral("files")] = Listed;
    return QJsonDocument(Json).toJson(QJsonDocument::Indented);
}
