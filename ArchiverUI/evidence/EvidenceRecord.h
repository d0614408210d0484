// One archived record as an evidence package describes it: what it is,
// when it happened, who took part in which role, and the files its folder
// holds. Both the result window (from its rows) and vqcli (from the
// archive's answer to the statement below) build it; everything a package
// says about a record is made here, so that both write the same.
#pragma once

#include "Conditions.h"
#include "RtfWriter.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <stdexcept>

// A failure that ends the whole export (the package cannot be written).
class EEvidenceError : public std::runtime_error {
public:
    explicit EEvidenceError(const QString& Message);
    QString Message() const { return QString::fromStdString(what()); }
};

// A failure of one record; the others are still exported.
class EEvidenceRecordError : public EEvidenceError {
public:
    using EEvidenceError::EEvidenceError;
};

// Media types, numbered as the archive's media_type texts (MediaTypeStrings).
enum TEvidenceMediaType : quint8 {
    emIM = 0,
    emReserved = 1,
    emCallRec = 2,
    emVM = 3,
    emFax = 4,
    emCAD = 5,
    emWebChat = 6,
    emUnknown = 7,
};

struct TEvidenceParticipant {
    QString Name;
    TParticipantRole Role = prAny;
    qint32 UserID = 0;
    qint32 GroupID = 0;
    TUserKind Kind() const;
};

struct TCadRow {
    QString Name;
    QString Value;
    QString Description;
};

struct TEvidenceRecord {
    quint32 MediaId = 0;
    int MediaType = emUnknown;
    QString GCID;
    // Seconds since 1970-01-01 UTC.
    qint64 TimeStamp = 0;
    // The last three characters of the stored file's name.
    QString FileExtension;
    // In the archive's order.
    QList<TEvidenceParticipant> Participants;
    // The time as the list shows it; made from TimeStamp when empty.
    QString ShownTime;

    QString MediaTypeText() const;
    // The first caller's name, or empty.
    QString Caller() const;
    // "Anna as caller, Ben as recipient".
    QString ParticipantsText() const;
    QString Shown() const;
};

// The media type of an archive's media_type text (exact, case-sensitive).
int EvidenceMediaTypeOf(const QString& Text);
// "Instant message", "Call recording", "Voice mail & Personal call
// recording", "Fax", ...
QString MediaTypeName(int MediaType);
// "caller", "recipient", "supervisor", "any".
QString RoleName(TParticipantRole Role);
// "user", "group", "agent" (a user working for a group), "external", "unknown".
QString KindName(TUserKind Kind);

// The columns the result list's statement selects, by position, one row a
// participant. Raises EEvidenceRecordError when there are no rows.
TEvidenceRecord RecordFromRows(const QList<QStringList>& Rows);
// The statement that selects those rows for one record (with "#F_" macros).
QString RecordSQL(quint32 MediaId);
// The record's call attached data, as the media player asks for them.
QString CadSQL(const QString& GCID, int ServerType);

// The record's folder: its time in UTC and its id, "2024-05-03_14-22-05Z_1234".
QString RecordFolderName(const TEvidenceRecord& Record);
// The name the record's data get in its folder: "recording.wav",
// "voicemail.mp3", "fax.pdf", "data.xyz"; empty for instant messages,
// whose folder holds the transcript instead.
QString RecordDataFileName(const TEvidenceRecord& Record);

// The message view's transcript of one message: the heading (time, caller,
// " said: ") in navy bold, then the text, then an empty line.
TRtfDocument TranscriptDocument(const TEvidenceRecord& Record, const QString& Text);
QString TranscriptText(const TEvidenceRecord& Record, const QString& Text);

// cad.csv: a header line and one line a name/value pair.
QByteArray CadCsv(const QList<TCadRow>& Rows);

// A file of the record's folder as record.json lists it.
struct TEvidenceFileEntry {
    QString Name;
    qint64 Bytes = 0;
    QByteArray Sha256;
};

// record.json.
QByteArray RecordJson(const TEvidenceRecord& Record, const QList<TCadRow>& Cad,
                      const QList<TEvidenceFileEntry>& Files);
