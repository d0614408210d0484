// The rows of a result window: one row per participant of a record, as the
// archive's select results deliver them, and the texts the list shows for
// them. A window may hold a hundred thousand records, so a row is a small
// plain record in one contiguous list; the texts it shows are computed when
// they are needed, from the row and its neighbours of the same record.
#pragma once

#include "Conditions.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QtGlobal>

#include <vector>

// Media type of a record: the position of its media_type text in
// MediaTypeStrings; any other text is mtUnknown.
enum TMediaType : quint8 {
    mtIM = 0,
    mtReserved = 1,
    mtCallRec = 2,
    mtVM = 3,
    mtFax = 4,
    mtCAD = 5,
    mtWebChat = 6,
    mtUnknown = 7,
};

// The media type of an archive's media_type text (exact, case-sensitive).
TMediaType MediaTypeOf(const QString& Text);
TMediaType MediaTypeOf(const char* Text);
// The image of a media type in the shared MediaImages list.
int MediaImageOf(int MediaType);
// The media type a view node of a media kind (ckIM ... ckFaxes) shows, or
// -1 for other kinds.
int MediaTypeOfKind(int Kind);

// One result row. The texts live in the owning list (TViewItemList), which
// keeps each distinct name once; the row holds their numbers.
struct TViewItem {
    qint64 FTimeStamp = 0;
    quint32 FMediaId = 0;
    qint32 FUserID = 0;
    qint32 FGroupID = 0;
    quint32 FName = 0;
    quint32 FGCID = 0;
    quint16 FExt = 0;
    quint8 FMediaType = mtUnknown;
    quint8 FRole : 2 = prAny;
    bool FMarked : 1 = false;
    bool FSelected : 1 = false;

    qint64 TimeStamp() const { return FTimeStamp; }
    quint32 MediaId() const { return FMediaId; }
    qint32 UserID() const { return FUserID; }
    qint32 GroupID() const { return FGroupID; }
    int MediaType() const { return FMediaType; }
    TParticipantRole Role() const { return TParticipantRole(FRole); }
    bool Marked() const { return FMarked; }
    bool Selected() const { return FSelected; }
    TUserKind Kind() const;
};

// A participant key (U<user>, G<group>, U<user>G<group>, E<name>) taken
// apart, so that a view filter compares numbers instead of building a key
// text for every row.
struct TParticipantFilter {
    QString Key;
    TUserKind Kind = ukError;
    qint64 User = 0;
    qint64 Group = 0;
    // E keys: the name's number in the list, -1 when no row has that name.
    qint64 Name = -1;
    // Keys of no known form are compared as texts.
    bool Parsed = false;
};

// Every row of a window in arrival order (FAllItems), with the texts of the
// rows. Rows of one record arrive one after another; the texts of a row
// that involve the other participants are found through its neighbours.
class TViewItemList {
public:
    TViewItemList();

    int Count() const { return int(FItems.size()); }
    TViewItem& operator[](int Index) { return FItems[size_t(Index)]; }
    const TViewItem& operator[](int Index) const { return FItems[size_t(Index)]; }

    // Appends a row from the columns of one select result row; raises
    // std::bad_alloc when memory runs out. Returns the new row's position.
    // A role outside the known ones gives prAny and sets RoleInvalid, with
    // the role's number in Role.
    int AddRow(const char* const* Columns, int ColumnCount, bool& RoleInvalid, qint64& Role);
    // The record id a row with these columns gets.
    static quint32 MediaIdOf(const char* const* Columns, int ColumnCount);
    void Clear();

    QString Name(int Index) const;
    QString GCID(int Index) const;
    QString FileExtension(int Index) const;
    // The participant key of the row.
    QString UU(int Index) const;

    // Local date and time of the record, in the user's formats.
    QString DateTimeStr(int Index) const;
    QString Caller(int Index) const;
    QString Participants(int Index) const;
    QString SessionID(int Index) const;
    // The Participants or GCID texts of these rows, case-folded, made in
    // bulk for sorting.
    void FoldedTexts(const std::vector<quint32>& Rows, bool ParticipantsColumn,
                     std::vector<QString>& Texts) const;

    TParticipantFilter Filter(const QString& Key) const;
    bool ParticipantMatches(int Index, const TParticipantFilter& Filter) const;

    // Bytes held for the texts and the rows (without the rows' own
    // characters), for the memory figures of the benchmark.
    qint64 TextBytes() const;
    qint64 RowBytes() const;

private:
    quint32 Intern(const QString& Text);
    QString ParticipantsText(int Index, const std::vector<QString>& Names) const;
    quint16 InternExtension(const char* Text);
    quint32 InternName(const char* Text);
    quint32 AddGCID(const char* Text, int Length, int Previous);
    // The range of rows of the record at Index: [First, Last].
    void RecordRange(int Index, int& First, int& Last) const;

    std::vector<TViewItem> FItems;
    // Distinct names and file extensions, each once.
    std::vector<QString> FNames;
    QHash<QString, quint32> FNameIndex;
    std::vector<QString> FExtensions;
    std::vector<QByteArray> FExtensionBytes;
    // The names by the bytes they arrive in.
    QHash<QByteArray, quint32> FNameBytes;
    // Global call ids, one after another as UTF-8, each behind its length.
    std::vector<char> FGCIDs;
};

// The participant key's matching rule: equal keys, or a group's or a
// user's filter and the key of an agent of that group or that user.
bool ParticipantMatches(const QString& Key, const QString& Filter);
