#include "ViewItem.h"

#include "Conditions.h"
#include "ModelErrors.h"
#include "VQDateTime.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <new>

namespace {

// Images of the media types in the shared MediaImages list.
constexpr int MediaImages[8] = {2, 5, 3, 4, 5, 5, 5, 5};

// A decimal number of the archive, blanks around it allowed; Ok is false
// for anything else.
qint64 ParseDecimal(const char* Text, bool& Ok) {
    Ok = false;
    if (Text == nullptr)
        return 0;
    const char* End = Text + std::strlen(Text);
    while (Text < End && std::isspace(static_cast<unsigned char>(*Text)))
        ++Text;
    while (End > Text && std::isspace(static_cast<unsigned char>(End[-1])))
        --End;
    if (Text < End && *Text == '+')
        ++Text;
    qint64 Value = 0;
    const auto [Stop, Error] = std::from_chars(Text, End, Value);
    Ok = Error == std::errc() && Stop == End && Text < End;
    return Ok ? Value : 0;
}

// The canonical decimal text of Digits, or false: keys name ids without
// leading zeros or signs, so "U007" is not the key of user 7.
bool ParseKeyNumber(QStringView Digits, qint64& Value) {
    if (Digits.isEmpty() || Digits.size() > 19)
        return false;
    for (QChar C : Digits)
        if (C < QLatin1Char('0') || C > QLatin1Char('9'))
            return false;
    bool Ok = false;
    Value = Digits.toLongLong(&Ok);
    return Ok && QString::number(Value) == Digits;
}

} // namespace

TMediaType MediaTypeOf(const char* Text) {
    for (int I = 0; I < int(MediaTypeStrings.size()); ++I)
        if (std::strcmp(Text, MediaTypeStrings[size_t(I)]) == 0)
            return TMediaType(I);
    return mtUnknown;
}

TMediaType MediaTypeOf(const QString& Text) {
    for (int I = 0; I < int(MediaTypeStrings.size()); ++I)
        if (Text == QLatin1String(MediaTypeStrings[size_t(I)]))
            return TMediaType(I);
    return mtUnknown;
}

int MediaImageOf(int MediaType) {
    return MediaType >= 0 && MediaType < 8 ? MediaImages[MediaType] : MediaImages[mtUnknown];
}

int MediaTypeOfKind(int Kind) {
    switch (Kind) {
    case ckIM:
        return mtIM;
    case ckRVM:
        return mtCallRec;
    case ckVM:
        return mtVM;
    case ckFaxes:
        return mtFax;
    default:
        return -1;
    }
}

TUserKind TViewItem::Kind() const {
    if (FUserID > 0 && FGroupID == 0)
        return ukUser;
    if (FUserID == 0 && FGroupID > 0)
        return ukGroup;
    if (FUserID > 0 && FGroupID > 0)
        return ukUserGroup;
    if (FUserID == 0 && FGroupID == 0)
        return ukExternalAddress;
    return ukError;
}

bool ParticipantMatches(const QString& Key, const QString& Filter) {
    if (Key == Filter)
        return true;
    if (!Key.startsWith(QLatin1Char('U')))
        return false;
    // An agent's key names both: a group's view lists the group's agents
    // (U5G7 in the view of G7), and a user's view the user's work as an
    // agent (U5G7 in the view of U5), as the query selected them. An
    // outside name that happens to contain "G7" is no agent.
    const qsizetype G = Key.indexOf(QLatin1Char('G'));
    if (G < 0)
        return false;
    if (Filter.contains(QLatin1Char('G')) && !Filter.contains(QLatin1Char('U')))
        return QStringView(Key).mid(G) == Filter;
    if (Filter.startsWith(QLatin1Char('U')) && !Filter.contains(QLatin1Char('G')))
        return QStringView(Key).left(G) == Filter;
    return false;
}

// ---------------------------------------------------------------------------
// TViewItemList

TViewItemList::TViewItemList() {
    Clear();
}

void TViewItemList::Clear() {
    FItems = {};
    FNames.clear();
    FNameIndex.clear();
    FGCIDs = {};
    FExtensions.assign(1, QString());
    FExtensionBytes.assign(1, QByteArray());
    FNameBytes.clear();
    // Number 0 is the empty text, so that a default row shows nothing.
    Intern(QString());
    FGCIDs.resize(2, 0);
}

quint32 TViewItemList::Intern(const QString& Text) {
    const auto Found = FNameIndex.constFind(Text);
    if (Found != FNameIndex.constEnd())
        return Found.value();
    if (FNames.size() >= 0xFFFFFFFFu)
        throw std::bad_alloc();
    const quint32 Number = quint32(FNames.size());
    FNames.push_back(Text);
    FNameIndex.insert(Text, Number);
    return Number;
}

quint32 TViewItemList::AddGCID(const char* Text, int Length, int Previous) {
    if (Length <= 0)
        return 0;
    // The rows of one record carry the same call id: kept once.
    if (Previous >= 0) {
        const quint32 Offset = FItems[size_t(Previous)].FGCID;
        quint16 Stored = 0;
        std::memcpy(&Stored, FGCIDs.data() + Offset, sizeof Stored);
        if (Offset != 0 && Stored == Length &&
            std::memcmp(FGCIDs.data() + Offset + sizeof Stored, Text, size_t(Length)) == 0)
            return Offset;
    }
    // Longer ids than any archive writes are cut, never the row.
    const quint16 Stored = quint16(qMin(Length, 0xFFFF));
    const size_t Offset = FGCIDs.size();
    if (Offset + sizeof Stored + Stored >= 0xFFFFFFFFu)
        throw std::bad_alloc();
    FGCIDs.resize(Offset + sizeof Stored + Stored);
    std::memcpy(FGCIDs.data() + Offset, &Stored, sizeof Stored);
    std::memcpy(FGCIDs.data() + Offset + sizeof Stored, Text, Stored);
    return quint32(Offset);
}

quint32 TViewItemList::MediaIdOf(const char* const* Columns, int ColumnCountGiven) {
    bool Ok = false;
    const char* Text = ColumnCountGiven > colMediaID ? Columns[colMediaID] : nullptr;
    const qint64 Id = ParseDecimal(Text, Ok);
    return Ok && Id >= 0 && Id <= 0xFFFFFFFFll ? quint32(Id) : 0;
}

int TViewItemList::AddRow(const char* const* Columns, int ColumnCountGiven, bool& RoleInvalid,
                          qint64& BadRole) {
    RoleInvalid = false;
    BadRole = 0;
    auto Column = [&](int I) -> const char* {
        const char* Text = I < ColumnCountGiven ? Columns[I] : nullptr;
        return Text != nullptr ? Text : "";
    };
    TViewItem Item;
    bool Ok = false;
    Item.FMediaId = MediaIdOf(Columns, ColumnCountGiven);
    Item.FMediaType = MediaTypeOf(Column(colMediaType));
    Item.FTimeStamp = ParseDecimal(Column(colTimestamp), Ok);
    const qint64 User = ParseDecimal(Column(colUserID), Ok);
    Item.FUserID = Ok && User >= INT_MIN && User <= INT_MAX ? qint32(User) : 0;
    const qint64 Group = ParseDecimal(Column(colGroupID), Ok);
    Item.FGroupID = Ok && Group >= INT_MIN && Group <= INT_MAX ? qint32(Group) : 0;
    // The archive counts roles 1 caller, 0 recipient, -1 supervisor.
    qint64 Role = ParseDecimal(Column(colRole), Ok);
    Role = 2 - (Ok ? Role : 0);
    if (Role < prAny || Role > prSupervisor) {
        RoleInvalid = true;
        BadRole = Role;
        Role = prAny;
    }
    Item.FRole = quint8(Role);
    Item.FName = InternName(Column(colDisplayName));
    Item.FExt = InternExtension(Column(colFileExtension));
    const int Previous =
        !FItems.empty() && FItems.back().FMediaId == Item.FMediaId ? Count() - 1 : -1;
    const char* CallId = Column(colCallID);
    Item.FGCID = AddGCID(CallId, int(qMin<size_t>(std::strlen(CallId), 0xFFFF)), Previous);
    FItems.push_back(Item);
    return Count() - 1;
}

QString TViewItemList::Name(int Index) const {
    return FNames[FItems[size_t(Index)].FName];
}

QString TViewItemList::GCID(int Index) const {
    const quint32 Offset = FItems[size_t(Index)].FGCID;
    if (Offset == 0)
        return QString();
    quint16 Length = 0;
    std::memcpy(&Length, FGCIDs.data() + Offset, sizeof Length);
    return QString::fromLocal8Bit(FGCIDs.data() + Offset + sizeof Length, Length);
}

QString TViewItemList::FileExtension(int Index) const {
    return FExtensions[FItems[size_t(Index)].FExt];
}

quint16 TViewItemList::InternExtension(const char* Text) {
    // An archive stores a handful of file kinds.
    for (size_t I = 0; I < FExtensionBytes.size(); ++I)
        if (FExtensionBytes[I] == Text)
            return quint16(I);
    if (FExtensions.size() > 0xFFFF)
        return 0;
    FExtensionBytes.emplace_back(Text);
    FExtensions.push_back(QString::fromLocal8Bit(Text));
    return quint16(FExtensions.size() - 1);
}

quint32 TViewItemList::InternName(const char* Text) {
    // Most rows name someone met before: found by the bytes as they came.
    const QByteArray Bytes = QByteArray::fromRawData(Text, qsizetype(std::strlen(Text)));
    const auto Found = FNameBytes.constFind(Bytes);
    if (Found != FNameBytes.constEnd())
        return Found.value();
    const quint32 Number = Intern(QString::fromUtf8(Bytes));
    FNameBytes.insert(QByteArray(Bytes.constData(), Bytes.size()), Number);
    return Number;
}

QString TViewItemList::UU(int Index) const {
    const TViewItem& Item = FItems[size_t(Index)];
    switch (Item.Kind()) {
    case ukUser:
        return QLatin1Char('U') + QString::number(Item.FUserID);
    case ukGroup:
        return QLatin1Char('G') + QString::number(Item.FGroupID);
    case ukUserGroup:
        return QLatin1Char('U') + QString::number(Item.FUserID) + QLatin1Char('G') +
               QString::number(Item.FGroupID);
    default:
        return QLatin1Char('E') + Name(Index);
    }
}

void TViewItemList::RecordRange(int Index, int& First, int& Last) const {
    const quint32 Id = FItems[size_t(Index)].FMediaId;
    First = Index;
    while (First > 0 && FItems[size_t(First - 1)].FMediaId == Id)
        --First;
    Last = Index;
    while (Last + 1 < Count() && FItems[size_t(Last + 1)].FMediaId == Id)
        ++Last;
}

QString TViewItemList::DateTimeStr(int Index) const {
    const qint64 Seconds = FItems[size_t(Index)].FTimeStamp;
    QDateTime Local = QDateTime::fromSecsSinceEpoch(Seconds, Qt::LocalTime);
    if (!Local.isValid())
        Local = QDateTime::fromSecsSinceEpoch(Seconds, Qt::UTC);
    if (Local.isValid() && Local.date().year() >= 1 && Local.date().year() <= 9999) {
        try {
            return FormatShortDateLongTime(EncodeDateTime(Local.date(), Local.time()));
        } catch (const EConvertError&) {
            // A time the calendar cannot name shows as its number below.
        }
    }
    return QString::number(Seconds);
}

QString TViewItemList::Caller(int Index) const {
    if (FItems[size_t(Index)].Role() == prCaller)
        return Name(Index);
    int First = 0;
    int Last = 0;
    RecordRange(Index, First, Last);
    for (int I = Index - 1; I >= First; --I)
        if (FItems[size_t(I)].Role() == prCaller)
            return Name(I);
    for (int I = Index + 1; I <= Last; ++I)
        if (FItems[size_t(I)].Role() == prCaller)
            return Name(I);
    return QString();
}

QString TViewItemList::Participants(int Index) const {
    return ParticipantsText(Index, FNames);
}

QString TViewItemList::ParticipantsText(int Index, const std::vector<QString>& Names) const {
    int First = 0;
    int Last = 0;
    RecordRange(Index, First, Last);
    static const QString Roles[4] = {QString(), QStringLiteral("as caller"),
                                     QStringLiteral("as recipient"),
                                     QStringLiteral("as supervisor")};
    static const QString Comma = QStringLiteral(", ");
    // The row itself, then its neighbours backwards, then forwards.
    auto Order = [&](int N) { return N == 0 ? Index : N <= Index - First ? Index - N : First + N; };
    qsizetype Length = 0;
    for (int I = First; I <= Last; ++I)
        Length += Names[FItems[size_t(I)].FName].size() + Roles[FItems[size_t(I)].FRole].size() + 4;
    QString Text;
    Text.reserve(Length);
    for (int N = 0; N <= Last - First; ++N) {
        const TViewItem& Item = FItems[size_t(Order(N))];
        if (N > 0)
            Text += Comma;
        Text += QLatin1Char(' ');
        Text += Names[Item.FName];
        Text += QLatin1Char(' ');
        Text += Roles[Item.FRole];
    }
    return Text;
}

void TViewItemList::FoldedTexts(const std::vector<quint32>& Rows, bool ParticipantsColumn,
                                std::vector<QString>& Texts) const {
    Texts.clear();
    Texts.reserve(Rows.size());
    if (ParticipantsColumn) {
        // Each name folded once; the role texts have no capitals.
        std::vector<QString> Folded;
        Folded.reserve(FNames.size());
        for (const QString& Name : FNames)
            Folded.push_back(Name.toCaseFolded());
        for (quint32 Row : Rows)
            Texts.push_back(ParticipantsText(int(Row), Folded));
        return;
    }
    for (quint32 Row : Rows) {
        const quint32 Offset = FItems[size_t(Row)].FGCID;
        quint16 Length = 0;
        if (Offset != 0)
            std::memcpy(&Length, FGCIDs.data() + Offset, sizeof Length);
        const char* Bytes = FGCIDs.data() + Offset + sizeof Length;
        bool Ascii = true;
        for (quint16 I = 0; I < Length && Ascii; ++I)
            Ascii = static_cast<unsigned char>(Bytes[I]) < 0x80;
        if (!Ascii) {
            Texts.push_back(GCID(int(Row)).toCaseFolded());
            continue;
        }
        QString Text(Length, Qt::Uninitialized);
        QChar* Out = Text.data();
        for (quint16 I = 0; I < Length; ++I)
            Out[I] = QLatin1Char(char(std::tolower(static_cast<unsigned char>(Bytes[I]))));
        Texts.push_back(std::move(Text));
    }
}

QString TViewItemList::SessionID(int Index) const {
    int First = 0;
    int Last = 0;
    RecordRange(Index, First, Last);
    // The keys of the callers and recipients, the greatest first: for two
    // parties the greater key followed by the smaller, and for more the
    // same text whichever row of the record is asked and in whatever order
    // the rows came.
    QStringList Keys;
    for (int I = First; I <= Last; ++I) {
        const TParticipantRole Role = FItems[size_t(I)].Role();
        if (Role == prCaller || Role == prRecipient)
            Keys.append(UU(I));
    }
    std::sort(Keys.begin(), Keys.end(),
              [](const QString& A, const QString& B) { return A.compare(B) > 0; });
    return Keys.join(QString());
}

TParticipantFilter TViewItemList::Filter(const QString& Key) const {
    TParticipantFilter F;
    F.Key = Key;
    if (Key.isEmpty())
        return F;
    const QChar Head = Key.at(0);
    const QStringView Rest = QStringView(Key).mid(1);
    if (Head == QLatin1Char('E')) {
        F.Kind = ukExternalAddress;
        const auto Found = FNameIndex.constFind(Rest.toString());
        F.Name = Found != FNameIndex.constEnd() ? qint64(Found.value()) : -1;
        F.Parsed = true;
    } else if (Head == QLatin1Char('G')) {
        F.Kind = ukGroup;
        F.Parsed = ParseKeyNumber(Rest, F.Group) && F.Group > 0;
    } else if (Head == QLatin1Char('U')) {
        const qsizetype G = Rest.indexOf(QLatin1Char('G'));
        if (G < 0) {
            F.Kind = ukUser;
            F.Parsed = ParseKeyNumber(Rest, F.User) && F.User > 0;
        } else {
            F.Kind = ukUserGroup;
            F.Parsed = ParseKeyNumber(Rest.left(G), F.User) &&
                       ParseKeyNumber(Rest.mid(G + 1), F.Group) && F.User > 0 && F.Group > 0;
        }
    }
    return F;
}

bool TViewItemList::ParticipantMatches(int Index, const TParticipantFilter& F) const {
    if (!F.Parsed)
        return ::ParticipantMatches(UU(Index), F.Key);
    const TViewItem& Item = FItems[size_t(Index)];
    const TUserKind Kind = Item.Kind();
    switch (F.Kind) {
    case ukUser:
        return (Kind == ukUser || Kind == ukUserGroup) && Item.FUserID == F.User;
    case ukGroup:
        return (Kind == ukGroup || Kind == ukUserGroup) && Item.FGroupID == F.Group;
    case ukUserGroup:
        return Kind == ukUserGroup && Item.FUserID == F.User && Item.FGroupID == F.Group;
    case ukExternalAddress:
        return (Kind == ukExternalAddress || Kind == ukError) && qint64(Item.FName) == F.Name;
    default:
        return false;
    }
}

qint64 TViewItemList::TextBytes() const {
    qint64 Bytes = qint64(FGCIDs.capacity());
    for (const QString& Name : FNames)
        Bytes += qint64(Name.capacity()) * 2;
    for (const QString& Ext : FExtensions)
        Bytes += qint64(Ext.capacity()) * 2;
    for (auto It = FNameBytes.constBegin(); It != FNameBytes.constEnd(); ++It)
        Bytes += It.key().capacity();
    return Bytes;
}

qint64 TViewItemList::RowBytes() const {
    return qint64(FItems.capacity() * sizeof(TViewItem));
}
