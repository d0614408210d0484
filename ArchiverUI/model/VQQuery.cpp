#include "VQQuery.h"

#include "ConditionList.h"
#include "ModelErrors.h"
#include "QueryStream.h"

#include <QBuffer>
#include <QFile>
#include <algorithm>

namespace {

const char* const STooManyConditions = "Too many conditions in the query";
const char* const STooManyParticipants = "Too many participants in the query";

const char* MediaCaption(TConditionKind Kind) {
    switch (Kind) {
    case ckIM:
        return "instant messages";
    case ckRVM:
        return "call recording";
    case ckVM:
        return "voice mail && personal call recording ";
    case ckFaxes:
        return "faxes";
    default:
        return "";
    }
}

int Sign(qint64 Value) {
    return Value < 0 ? -1 : (Value > 0 ? 1 : 0);
}

// Clears a flag on every way out of a scope.
class TFlagGuard {
public:
    explicit TFlagGuard(bool& Flag) : FFlag(Flag) { FFlag = true; }
    TFlagGuard(const TFlagGuard&) = delete;
    TFlagGuard& operator=(const TFlagGuard&) = delete;
    ~TFlagGuard() { FFlag = false; }

private:
    bool& FFlag;
};

} // namespace

TVQQuery::TVQQuery(IConditionList* ListBox) : FListBox(ListBox) {
    Init();
}

TVQQuery::~TVQQuery() = default;

std::unique_ptr<TCollectionItem> TVQQuery::CreateItem() {
    return std::make_unique<TAQCondition>();
}

int TVQQuery::Compare(const TCollectionItem& Item1, const TCollectionItem& Item2) const {
    // The key is compared as the unsigned number it is: a difference of two
    // keys does not fit 32 bits once query numbers reach 128.
    const quint32 A = static_cast<const TAQCondition&>(Item1).CIDCommonID();
    const quint32 B = static_cast<const TAQCondition&>(Item2).CIDCommonID();
    return A < B ? -1 : (A > B ? 1 : 0);
}

int TVQQuery::CompareKey(const TCollectionItem& Item, qint64 Key) const {
    return Sign(qint64(static_cast<const TAQCondition&>(Item).CIDCommonID()) - Key);
}

void TVQQuery::Update(TCollectionItem* Item) {
    if (FLoading || FListBox == nullptr) {
        return;
    }
    if (Item != nullptr) {
        FListBox->Repaint();
        return;
    }
    int Selected = FListBox->ItemIndex();
    FListBox->SetItemCount(Count());
    if (Selected >= Count()) {
        Selected = Count() - 1;
    }
    FListBox->SetItemIndex(Selected);
}

void TVQQuery::RefreshListBox() {
    if (FListBox == nullptr) {
        return;
    }
    Update(nullptr);
    if (!FLoading) {
        FListBox->Repaint();
    }
}

void TVQQuery::SetListBox(IConditionList* Value) {
    if (Value != FListBox) {
        FListBox = Value;
        RefreshListBox();
    }
}

void TVQQuery::Init() {
    Clear();
    AddQueryStart();
}

void TVQQuery::AddQueryStart() {
    quint8 QueryID = 0;
    if (Count() > 0) {
        const quint8 Last = GetCondition(Count() - 1)->CIDQueryID();
        if (Last == 255) {
            return;
        }
        QueryID = quint8(Last + 1);
    }
    AddCondition(QStringLiteral("I want to see "), QueryID, 0, ckLabel,
                 QStringLiteral("(select media types that you want to see)"), nullptr, 0);
    AddCondition(QString(), QueryID, 0, ckTail, QStringLiteral("(add condition)"), nullptr, 0);
}

TAQCondition* TVQQuery::AddCondition(const QString& Caption, quint8 QueryID, quint32 Level,
                                     TConditionKind Kind, const QString& Prompt,
                                     TAQCondition* AOwner, quint8 ID) {
    const bool Owned = Kind == ckValue && AOwner != nullptr;
    quint8 OwnerID = 0;
    if (!Owned) {
        int Largest = 0;
        for (int I = 0; I < Count(); ++I) {
            const TAQCondition* Condition = GetCondition(I);
            if (Condition->CIDQueryID() == QueryID) {
                Largest = std::max<int>(Largest, Condition->CID().OwnerID);
            }
        }
        // Owner numbers are one byte; wrapping would merge the new
        // condition with the first one of the query.
        if (Largest >= 255) {
            throw EQueryError(QString::fromLatin1(STooManyConditions));
        }
        OwnerID = quint8(Largest + 1);
    }
    auto* Condition = static_cast<TAQCondition*>(Add());
    Condition->SetCaption(Caption);
    Condition->SetLevel(Level);
    Condition->SetKind(Kind);
    Condition->SetPrompt(Prompt);
    if (Owned) {
        Condition->CIDRef() = AOwner->CID();
        Condition->CIDRef().ID = ID;
    } else {
        Condition->CIDRef().QueryID = QueryID;
        Condition->CIDRef().OwnerKind = Kind;
        Condition->CIDRef().OwnerID = OwnerID;
    }
    Sort();
    if (FListBox != nullptr) {
        FListBox->SetItemIndex(Condition->Index());
    }
    return Condition;
}

TAQCondition* TVQQuery::GetCondition(int Index) const {
    return static_cast<TAQCondition*>(Items(Index));
}

bool TVQQuery::KindExists(TConditionKinds Kinds, quint8 QueryID) const {
    return FindKind(Kinds, QueryID, 0) >= 0;
}

int TVQQuery::FindKind(TConditionKinds Kinds, quint8 QueryID, int StartIndex) const {
    for (int I = std::max(StartIndex, 0); I < Count(); ++I) {
        const TAQCondition* Condition = GetCondition(I);
        if (Condition->CIDQueryID() == QueryID && InKinds(Kinds, Condition->Kind())) {
            return I;
        }
    }
    return -1;
}

quint8 TVQQuery::QueryIDAt(int MemberIndex) const {
    const TAQCondition* Condition = GetCondition(MemberIndex);
    if (Condition == nullptr) {
        Condition = GetCondition(0);
    }
    return Condition == nullptr ? 0 : Condition->CIDQueryID();
}

void TVQQuery::AddDeleteMediaType(TConditionKind Media, int MemberIndex) {
    if (!InKinds(MediaKinds, Media)) {
        return;
    }
    const quint8 QueryID = QueryIDAt(MemberIndex);
    const int Existing = FindKind(KindSet({Media}), QueryID, 0);
    if (Existing >= 0) {
        DeleteCondition(GetCondition(Existing));
        return;
    }
    AddCondition(QString::fromLatin1(MediaCaption(Media)), QueryID, 32, Media, QString(), nullptr,
                 0);
}

bool TVQQuery::MediaTypeExists(TConditionKind Media, int MemberIndex) const {
    return KindExists(KindSet({Media}), QueryIDAt(MemberIndex));
}

TAQCondition* TVQQuery::HeaderOf(const TAQCondition* Participant) const {
    if (Participant == nullptr || !Participant->OwnedByHeader()) {
        return nullptr;
    }
    // The header carries the participant's key with number 0.
    const quint32 Key = Participant->CIDCommonID() & 0xFFFFFF00u;
    int L = 0;
    int H = Count();
    while (L < H) {
        const int I = L + (H - L) / 2;
        if (GetCondition(I)->CIDCommonID() < Key) {
            L = I + 1;
        } else {
            H = I;
        }
    }
    for (; L < Count() && GetCondition(L)->CIDCommonID() == Key; ++L) {
        if (GetCondition(L)->Kind() == ckParticipants) {
            return GetCondition(L);
        }
    }
    return nullptr;
}

TAQCondition* TVQQuery::LastParticipant(TAQCondition* Header) const {
    TAQCondition* Result = Header;
    for (int I = Header->Index() + 1; I < Count(); ++I) {
        TAQCondition* Condition = GetCondition(I);
        if (HeaderOf(Condition) != Header) {
            break;
        }
        Result = Condition;
    }
    return Result;
}

int TVQQuery::InsertPartipiant(int InsertAfter, const QString& Name, quint64 UserID,
                               TUserKind AKind) {
    const quint8 QueryID = QueryIDAt(InsertAfter);
    const int HeaderIndex = FindKind(KindSet({ckParticipants}), QueryID, 0);
    TAQCondition* Header = HeaderIndex >= 0
                               ? GetCondition(HeaderIndex)
                               : AddCondition(QStringLiteral("Participants"), QueryID, 4,
                                              ckParticipants, QStringLiteral("(add)"), nullptr, 0);
    TAQCondition* Target = GetCondition(InsertAfter);
    TAQCondition* Point = nullptr;
    if (Target != nullptr && HeaderOf(Target) == Header) {
        Point = Target;
    } else if (Header->Index() < InsertAfter) {
        // Below the participants the new one goes to the end of their run,
        // whatever kind of condition follows them.
        Point = LastParticipant(Header);
    } else {
        Point = Header;
    }
    const int NewID = Point == Header ? 1 : Point->CID().ID + 1;
    std::vector<TAQCondition*> Following;
    for (int I = Point->Index() + 1; I < Count() && HeaderOf(GetCondition(I)) == Header; ++I) {
        Following.push_back(GetCondition(I));
    }
    if (NewID + int(Following.size()) > 255) {
        throw EQueryError(QString::fromLatin1(STooManyParticipants));
    }
    // The participants after the insertion point move up first, so that the
    // new one sorts between them and the point without a tie.
    for (size_t I = 0; I < Following.size(); ++I) {
        Following[I]->CIDRef().ID = quint8(NewID + 1 + int(I));
    }
    TAQCondition* Participant = AddCondition(Name, QueryID, 32, ckValue,
                                             QStringLiteral("in any role"), Header, quint8(NewID));
    Participant->SetTag(UserID);
    Participant->SetUserKind(AKind);
    NormalizeOperators(QueryID);
    return Participant->Index();
}

void TVQQuery::NormalizeOperators(quint8 QueryID) {
    for (int I = 1; I < Count(); ++I) {
        TAQCondition* Condition = GetCondition(I);
        TAQCondition* Previous = GetCondition(I - 1);
        if (Condition->CIDQueryID() == QueryID && Condition->Kind() == ckValue &&
            Previous->Kind() == ckValue && Condition->Role() != prAny) {
            Previous->SetOperator(okOR);
        }
    }
}

void TVQQuery::RenumberParticipants(const TAQCondition* Header) {
    if (Header == nullptr || Header->Collection() != this) {
        return;
    }
    int Number = 0;
    for (int I = Header->Index() + 1; I < Count(); ++I) {
        TAQCondition* Condition = GetCondition(I);
        if (HeaderOf(Condition) != Header) {
            break;
        }
        // A loaded file may hold more participants than numbers; the last
        // ones share 255, which keeps them in order behind the others.
        Number = std::min(Number + 1, 255);
        Condition->CIDRef().ID = quint8(Number);
    }
}

TAQCondition* TVQQuery::AddTimeSpan(int MemberIndex) {
    TAQCondition* Condition = AddCondition(QStringLiteral("Time Span"), QueryIDAt(MemberIndex), 4,
                                           ckTimeSpan, QString(), nullptr, 0);
    Condition->SetDTStart(EncodeDate(2000, 1, 1));
    Condition->SetDTEnd(Now());
    Update(Condition);
    return Condition;
}

TAQCondition* TVQQuery::AddTimeFrame(int MemberIndex) {
    TAQCondition* Condition =
        AddCondition(QStringLiteral("Daily Time Frame"), QueryIDAt(MemberIndex), 4, ckTimeFrame,
                     QString(), nullptr, 0);
    Condition->SetDTStart(EncodeTime(0, 0, 0, 0));
    Condition->SetDTEnd(EncodeTime(23, 59, 59, 99));
    Update(Condition);
    return Condition;
}

TAQCondition* TVQQuery::AddGCID(int MemberIndex) {
    TAQCondition* Condition =
        AddCondition(QStringLiteral("Global Caller ID"), QueryIDAt(MemberIndex), 4, ckGCID,
                     QString(), nullptr, 0);
    Condition->SetGCID(QString::fromLatin1(DefaultGCID));
    Update(Condition);
    return Condition;
}

TAQCondition* TVQQuery::AddCAD(int MemberIndex) {
    return AddCAD(MemberIndex, TCADSearchCriteria{});
}

TAQCondition* TVQQuery::AddCAD(int MemberIndex, const TCADSearchCriteria& Criteria) {
    if (Criteria.SearchType > cstEndsWith) {
        ConditionsAssert(QString::fromLatin1(SAssertionFailure));
    }
    TAQCondition* Condition = AddCondition(QStringLiteral("Call Attached Data"),
                                           QueryIDAt(MemberIndex), 4, ckCAD, QString(), nullptr, 0);
    Condition->SetCAD(Criteria);
    Update(Condition);
    return Condition;
}

void TVQQuery::DeleteCondition(TAQCondition* ACondition) {
    if (ACondition == nullptr || ACondition->Collection() != this) {
        return;
    }
    const int Position = ACondition->Index();
    const quint8 QueryID = ACondition->CIDQueryID();
    if (ACondition->Kind() == ckLabel) {
        if (Position == 0) {
            return;
        }
        BeginUpdate();
        for (int I = Count() - 1; I >= Position; --I) {
            if (GetCondition(I)->CIDQueryID() == QueryID) {
                Delete(I);
            }
        }
        EndUpdate();
        return;
    }
    if (ACondition->OwnedByHeader()) {
        RemoveCondition(ACondition);
        return;
    }
    // Owner numbers repeat in every query of the list, so only conditions
    // of the same query depend on this one.
    const quint8 OwnerID = ACondition->CID().OwnerID;
    BeginUpdate();
    for (int I = Count() - 1; I >= Position; --I) {
        const TAQCondition* Condition = GetCondition(I);
        if (Condition->CID().OwnerID == OwnerID && Condition->CIDQueryID() == QueryID) {
            Delete(I);
        }
    }
    EndUpdate();
}

void TVQQuery::RemoveCondition(TAQCondition* Condition) {
    if (Condition == nullptr || Condition->Collection() != this) {
        return;
    }
    Delete(Condition->Index());
}

bool TVQQuery::HasError() const {
    if (Count() <= 2) {
        return true;
    }
    const TQueryFacts Facts = TQueryFacts::Build(*this);
    for (int I = 0; I < Count(); ++I) {
        if (GetCondition(I)->HasError(Facts)) {
            return true;
        }
    }
    return false;
}

QString TVQQuery::ErrorReason() const {
    if (Count() <= 2) {
        return QStringLiteral("the query has no conditions");
    }
    const TQueryFacts Facts = TQueryFacts::Build(*this);
    QStringList Reasons;
    for (int I = 0; I < Count(); ++I) {
        const TAQCondition* Condition = GetCondition(I);
        const QString Reason = Condition->ErrorReason(Facts);
        if (!Reason.isEmpty()) {
            Reasons.append(QStringLiteral("line %1 (%2): %3")
                               .arg(QString::number(I + 1), Condition->Caption(), Reason));
        }
    }
    return Reasons.join(QLatin1Char('\n'));
}

bool TVQQuery::CanDelete(int Index) const {
    if (Index < 1 || Index > Count() - 2) {
        return false;
    }
    const TConditionKind Kind = GetCondition(Index)->Kind();
    return Kind != ckLabel && Kind != ckTail && Kind != ckSuperTail;
}

bool TVQQuery::CanEdit(int Index) const {
    const TAQCondition* Condition = GetCondition(Index);
    return Condition != nullptr && Condition->EditorClass() != ecNone;
}

QString TVQQuery::BuildQuery(int ServerType) const {
    const TQueryFacts Facts = TQueryFacts::Build(*this);
    QString Result;
    for (int I = 0; I < Count(); ++I) {
        Result += GetCondition(I)->QueryString(ServerType, Facts);
    }
    return Result;
}

TAQCondition* TVQQuery::GetItemAt(const QPoint& Point, TConditionHitTest& Hit) const {
    Hit = chtNone;
    if (FListBox == nullptr) {
        return nullptr;
    }
    TAQCondition* Condition = GetCondition(FListBox->ItemAtPos(Point));
    if (Condition != nullptr) {
        Hit = Condition->HitTest(Point);
    }
    return Condition;
}

void TVQQuery::Assign(TVQQuery& Source) {
    QBuffer Buffer;
    Buffer.open(QIODevice::ReadWrite);
    TViewStorageTable Storages;
    {
        TFlagGuard Assigning(Source.FAssigning);
        Source.WriteStream(Buffer, &Storages);
    }
    Buffer.seek(0);
    ReadStream(Buffer, &Storages);
}

void TVQQuery::SaveToStream(QIODevice& Stream) {
    WriteStream(Stream, nullptr);
}

void TVQQuery::LoadFromStream(QIODevice& Stream) {
    ReadStream(Stream, nullptr);
}

void TVQQuery::WriteStream(QIODevice& Stream, TViewStorageTable* Storages) {
    TQueryStorage Storage(*this);
    Storage.Write(Stream, FAssigning ? Storages : nullptr);
}

void TVQQuery::ReadStream(QIODevice& Stream, TViewStorageTable* Storages) {
    // Sorting and the list box follow on every way out: a failed read leaves
    // the conditions read so far, and they must still be in order.
    struct TAfterLoad {
        TVQQuery& Query;
        ~TAfterLoad() {
            Query.FLoading = false;
            Query.Sort();
            Query.RefreshListBox();
        }
    };
    FLoading = true;
    TAfterLoad After{*this};
    TQueryStorage Storage(*this);
    Storage.Read(Stream, Storages);
}

void TVQQuery::SaveToFile(const QString& FileName) {
    FFileName = FileName;
    QFile File(FileName);
    if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        throw EFCreateError(QString::fromLatin1(SFCreateError).arg(FileName, File.errorString()));
    }
    SaveToStream(File);
    if (!File.flush()) {
        throw EWriteError(QString::fromLatin1(SWriteError));
    }
    File.close();
}

void TVQQuery::LoadFromFile(const QString& FileName) {
    FFileName = FileName;
    QFile File(FileName);
    if (!File.open(QIODevice::ReadOnly)) {
        throw EFOpenError(QString::fromLatin1(SFOpenError).arg(FileName, File.errorString()));
    }
    LoadFromStream(File);
}
