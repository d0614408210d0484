#include "Conditions.h"

#include "ModelErrors.h"
#include "VQQuery.h"

#include <algorithm>

const std::array<const char*, ConditionKindCount> ConditionKindNames = {
    "ckLabel",        "ckReserved", "ckIM",        "ckRVM",  "ckVM",  "ckFaxes", "ckValue",
    "ckParticipants", "ckTimeSpan", "ckTimeFrame", "ckGCID", "ckCAD", "ckTail",  "ckSuperTail"};
const std::array<const char*, 2> OperatorKindNames = {"okOR", "okAND"};
const std::array<const char*, 4> ParticipantRoleNames = {"prAny", "prCaller", "prRecipient",
                                                         "prSupervisor"};
const std::array<const char*, 5> UserKindNames = {"ukUser", "ukGroup", "ukExternalAddress",
                                                  "ukError", "ukUserGroup"};

const std::array<const char*, 2> OperatorTexts = {"or", "and"};
const std::array<const char*, 4> ParticipantRoleTexts = {"in any role", "as caller", "as recipient",
                                                         "as supervisor"};
const std::array<const char*, 4> CADSearchTypeTexts = {"Equals", "Contains", "Starts with",
                                                       "Ends with"};
const std::array<const char*, 8> MediaTypeStrings = {"im",  "reserved", "callrec", "vm",
                                                     "fax", "cad",      "webchat", "unknown"};

const char* const QueryHeadingSQL =
    "SELECT m.Media_ID, m.Media_Type, m.CALL_ID, m.Timestamp, Case When u.User_ID Is Not Null "
    "AND     g.Group_ID Is Not Null Then #F_CONCAT(g.Display_Name, ' agent ', u.Display_Name)  "
    "When u.User_ID Is Not Null Then u.Display_Name When g.Group_ID Is Not Null Then "
    "g.Display_Name Else p.External_Address End As Display_Name, Coalesce(u.User_ID, 0) As "
    "User_ID, Coalesce(g.Group_ID, 0) As Group_ID, p.External_Address, p.Role, "
    "#F_RIGHT(m.filename,3) FROM media AS m INNER JOIN participants AS p ON m.Media_ID = "
    "p.Media_ID Left Join users AS u ON u.User_ID = p.User_ID Left Join groups AS g ON "
    "g.Group_ID = p.Group_ID WHERE (Coalesce(p.User_ID, p.Group_ID, "
    "#F_LENGTH(p.External_Address), 0) != 0) And ";

QString QuotedStr(const QString& Text) {
    QString Result = Text;
    Result.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + Result + QLatin1Char('\'');
}

QString QuotedSQL(const QString& Text, int ServerType) {
    if (ServerType != 2) {
        return QuotedStr(Text);
    }
    QString Escaped = Text;
    Escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    return QuotedStr(Escaped);
}

namespace {

const char* MediaTypeOfKind(TConditionKind Kind) {
    switch (Kind) {
    case ckIM:
        return MediaTypeStrings[0];
    case ckRVM:
        return MediaTypeStrings[2];
    case ckVM:
        return MediaTypeStrings[3];
    case ckFaxes:
        return MediaTypeStrings[4];
    default:
        return "";
    }
}

bool IsKind(const TAQCondition* Condition, TConditionKind Kind) {
    return Condition != nullptr && Condition->Kind() == Kind;
}

// Opener of the time span, caller id and CAD groups: the first of a group
// opens it, the next ones join it with "or".
QString GroupOpener(const TAQCondition* Previous, TConditionKind Kind, const char* AfterLabel,
                    const char* AfterSame, const char* Otherwise) {
    if (IsKind(Previous, ckLabel)) {
        return QString::fromLatin1(AfterLabel);
    }
    if (IsKind(Previous, Kind)) {
        return QString::fromLatin1(AfterSame);
    }
    return QString::fromLatin1(Otherwise);
}

// Seconds of the time of day, rounded to the nearest whole second.
qint64 SecondsOfDay(TDateTime Value) {
    return (TimeOfDayMSecs(Value) + 500) / 1000;
}

} // namespace

void ComputeRunBrackets(const std::vector<TOperatorKind>& Operators, std::vector<char>& Left,
                        std::vector<char>& Right) {
    const size_t N = Operators.size();
    Left.assign(N, 0);
    Right.assign(N, 0);
    if (N < 2) {
        return;
    }
    // The first participant opens a bracket when the run changes its
    // operator before its last member.
    for (size_t J = 1; J + 1 < N; ++J) {
        if (Operators[J] != Operators[0]) {
            Left[0] = 1;
            break;
        }
    }
    for (size_t K = 1; K + 1 < N; ++K) {
        Right[K] = Operators[K - 1] != Operators[K] && !Right[K - 1];
        Left[K] = Right[K - 1];
    }
    // The last one closes the bracket that is still open.
    for (size_t I = N - 1; I-- > 0;) {
        if (Right[I]) {
            break;
        }
        if (Left[I]) {
            Right[N - 1] = 1;
            break;
        }
    }
}

TQueryFacts TQueryFacts::Build(const TVQQuery& Query) {
    TQueryFacts Facts;
    const int Count = Query.Count();
    Facts.LeftBrackets.assign(size_t(Count), 0);
    Facts.RightBrackets.assign(size_t(Count), 0);
    std::vector<TOperatorKind> Operators;
    std::vector<char> Left;
    std::vector<char> Right;
    for (int I = 0; I < Count; ++I) {
        const TAQCondition* Condition = Query.GetCondition(I);
        if (Condition->Kind() < ConditionKindCount) {
            Facts.KindsOfQuery[Condition->CIDQueryID()] |= KindSet({Condition->Kind()});
        }
    }
    int I = 0;
    while (I < Count) {
        if (Query.GetCondition(I)->Kind() != ckValue) {
            ++I;
            continue;
        }
        const int First = I;
        Operators.clear();
        while (I < Count && Query.GetCondition(I)->Kind() == ckValue) {
            Operators.push_back(Query.GetCondition(I)->Operator());
            ++I;
        }
        ComputeRunBrackets(Operators, Left, Right);
        std::copy(Left.begin(), Left.end(), Facts.LeftBrackets.begin() + First);
        std::copy(Right.begin(), Right.end(), Facts.RightBrackets.begin() + First);
    }
    return Facts;
}

TAQCondition::TAQCondition() : FGCID(QString::fromLatin1(DefaultGCID)) {}

TAQCondition::~TAQCondition() = default;

TVQQuery* TAQCondition::Query() const {
    return static_cast<TVQQuery*>(Collection());
}

TAQCondition* TAQCondition::Neighbour(int Offset) const {
    const TVQQuery* Owner = Query();
    return Owner == nullptr ? nullptr : Owner->GetCondition(Index() + Offset);
}

bool TAQCondition::FirstOfKind() const {
    const TAQCondition* Previous = Neighbour(-1);
    return Previous == nullptr || Previous->Kind() != FKind;
}

bool TAQCondition::LastOfKind() const {
    const TAQCondition* Next = Neighbour(1);
    return Next == nullptr || Next->Kind() != FKind;
}

void TAQCondition::RunBounds(int& First, int& Last) const {
    First = Last = Index();
    const TVQQuery* Owner = Query();
    if (Owner == nullptr) {
        return;
    }
    while (IsKind(Owner->GetCondition(First - 1), ckValue)) {
        --First;
    }
    while (IsKind(Owner->GetCondition(Last + 1), ckValue)) {
        ++Last;
    }
}

void TAQCondition::Brackets(bool& Left, bool& Right) const {
    Left = Right = false;
    if (FKind != ckValue || Query() == nullptr) {
        return;
    }
    int First = 0;
    int Last = 0;
    RunBounds(First, Last);
    std::vector<TOperatorKind> Operators;
    for (int I = First; I <= Last; ++I) {
        Operators.push_back(Query()->GetCondition(I)->Operator());
    }
    std::vector<char> LeftFlags;
    std::vector<char> RightFlags;
    ComputeRunBrackets(Operators, LeftFlags, RightFlags);
    Left = LeftFlags[size_t(Index() - First)] != 0;
    Right = RightFlags[size_t(Index() - First)] != 0;
}

bool TAQCondition::LeftBracket() const {
    bool Left = false;
    bool Right = false;
    Brackets(Left, Right);
    return Left;
}

bool TAQCondition::RightBracket() const {
    bool Left = false;
    bool Right = false;
    Brackets(Left, Right);
    return Right;
}

quint32 TAQCondition::UserID() const {
    switch (FUserKind) {
    case ukUser:
        return quint32(FTag);
    case ukUserGroup:
        return quint32(FTag >> 32);
    default:
        return 0;
    }
}

quint32 TAQCondition::GroupID() const {
    // An agent's tag is user id * 2^32 + group id, so the group is the whole
    // low word for both kinds.
    switch (FUserKind) {
    case ukGroup:
    case ukUserGroup:
        return quint32(FTag);
    default:
        return 0;
    }
}

bool TAQCondition::OwnedByHeader() const {
    return FKind == ckValue && FCID.OwnerKind == ckParticipants;
}

QString TAQCondition::IDCondition(int ServerType) const {
    switch (FUserKind) {
    case ukUser:
        return QStringLiteral("User_Id = %1").arg(UserID());
    case ukGroup:
        return QStringLiteral("Group_Id = %1").arg(GroupID());
    case ukUserGroup:
        return QStringLiteral("(User_Id = %1 AND ").arg(UserID()) +
               QStringLiteral(" Group_Id = %1)").arg(GroupID());
    default:
        // The name is operator input: it goes into the statement as a
        // quoted literal, never as statement text.
        return QStringLiteral("External_Address = ") + QuotedSQL(FCaption, ServerType);
    }
}

QString TAQCondition::UU() const {
    switch (FUserKind) {
    case ukUser:
        return QStringLiteral("U%1").arg(UserID());
    case ukGroup:
        return QStringLiteral("G%1").arg(GroupID());
    case ukUserGroup:
        return QStringLiteral("U%1G%2").arg(UserID()).arg(GroupID());
    default:
        return QStringLiteral("E") + FCaption;
    }
}

qint64 TAQCondition::ConvertDateTime(TDateTime Value) {
    return LocalDateTimeToUnix(Value);
}

bool TAQCondition::KindExistsInQuery(TConditionKinds Kinds, const TQueryFacts* Facts) const {
    if (Facts != nullptr) {
        return Facts->KindExists(FCID.QueryID, Kinds);
    }
    const TVQQuery* Owner = Query();
    return Owner != nullptr && Owner->KindExists(Kinds, FCID.QueryID);
}

QString TAQCondition::MediaFragment() const {
    QString Result = QStringLiteral(" m.media_type in (") +
                     QuotedStr(QString::fromLatin1(MediaTypeOfKind(FKind)));
    for (int Offset = 1;; ++Offset) {
        const TAQCondition* Next = Neighbour(Offset);
        if (Next == nullptr || !InKinds(MediaKinds, Next->Kind())) {
            break;
        }
        Result +=
            QStringLiteral(" ,") + QuotedStr(QString::fromLatin1(MediaTypeOfKind(Next->Kind())));
    }
    return Result + QLatin1Char(')');
}

QString TAQCondition::ParticipantFragment(int ServerType, bool Left, bool Right) const {
    QString S = QStringLiteral(" m.Media_ID IN (SELECT Media_ID FROM participants WHERE ( ") +
                IDCondition(ServerType);
    if (FRole != prAny) {
        S += QStringLiteral(" AND Role = %1").arg(2 - int(FRole));
    }
    S += QStringLiteral(")) ");
    if (Left) {
        S = QStringLiteral(" (") + S;
    }
    if (Right) {
        S += QStringLiteral(") ");
    }
    if (IsKind(Neighbour(1), ckValue)) {
        S += QString::fromLatin1(OperatorTexts[FOperator == okAND ? 1 : 0]) + QLatin1Char(' ');
    }
    if (FirstOfKind()) {
        S = QStringLiteral(" (") + S;
    }
    if (LastOfKind()) {
        S += QStringLiteral(") ");
    }
    return S;
}

QString TAQCondition::TimeFrameFragment(int ServerType) const {
    const QString Mod =
        (ServerType == 1 || ServerType == 2) ? QStringLiteral("%") : QStringLiteral("%%");
    QString S = GroupOpener(Neighbour(-1), ckTimeFrame, " (((m.Timestamp ", " OR ((m.Timestamp ",
                            " AND (((m.Timestamp ");
    S += Mod + QStringLiteral(" 86400 BETWEEN ");
    // The archive keeps UTC; the frame is a local time of day, moved by the
    // offset in force now.
    const qint64 Offset = CurrentUtcOffsetSeconds();
    const qint64 X = SecondsOfDay(FDTStart) - Offset;
    const qint64 Y = SecondsOfDay(FDTEnd) - Offset;
    const qint64 Start = (X + SecsPerDay) % SecsPerDay;
    const qint64 End = (Y + SecsPerDay) % SecsPerDay;
    const bool Wraps = (X < 0 && Y >= 0) || (X < SecsPerDay && Y >= SecsPerDay);
    S += QString::number(Start) + QStringLiteral(" AND ");
    if (Wraps) {
        S += QStringLiteral("86399 ) OR (m.Timestamp ") + Mod +
             QStringLiteral(" 86400 BETWEEN 0 AND ");
    }
    S += QString::number(End) + QStringLiteral("))");
    if (!IsKind(Neighbour(1), ckTimeFrame)) {
        S += QLatin1Char(')');
    }
    return S;
}

QString TAQCondition::CADSubquery(int ServerType) const {
    // The value is taken through its UTF-8 form, as the archive stores it.
    const QString Value = QString::fromUtf8(FCAD.Value.toUtf8());
    QString Match;
    switch (FCAD.SearchType) {
    case cstEqual:
        Match = QStringLiteral(" = ") + QuotedSQL(Value, ServerType);
        break;
    case cstContains:
        Match = QStringLiteral(" LIKE ") +
                QuotedSQL(QStringLiteral("%%") + Value + QStringLiteral("%%"), ServerType);
        break;
    case cstStartsWith:
        Match = QStringLiteral(" LIKE ") + QuotedSQL(Value + QStringLiteral("%%"), ServerType);
        break;
    case cstEndsWith:
        Match = QStringLiteral(" LIKE ") + QuotedSQL(QStringLiteral("%%") + Value, ServerType);
        break;
    default:
        ConditionsAssert(QString::fromLatin1(SAssertionFailure));
    }
    return QStringLiteral("SELECT call_id FROM cad WHERE name = %1 AND value %2")
        .arg(QuotedSQL(FCAD.Name, ServerType), Match);
}

QString TAQCondition::QueryString(int ServerType) const {
    bool Left = false;
    bool Right = false;
    Brackets(Left, Right);
    TQueryFacts Facts;
    if (const TVQQuery* Owner = Query()) {
        for (int I = 0; I < Owner->Count(); ++I) {
            const TAQCondition* Condition = Owner->GetCondition(I);
            if (Condition->CIDQueryID() == FCID.QueryID && Condition->Kind() < ConditionKindCount) {
                Facts.KindsOfQuery[FCID.QueryID] |= KindSet({Condition->Kind()});
            }
        }
    }
    if (Index() >= 0) {
        Facts.LeftBrackets.assign(size_t(Index()) + 1, 0);
        Facts.RightBrackets.assign(size_t(Index()) + 1, 0);
        Facts.LeftBrackets[size_t(Index())] = Left;
        Facts.RightBrackets[size_t(Index())] = Right;
    }
    return QueryString(ServerType, Facts);
}

QString TAQCondition::QueryString(int ServerType, const TQueryFacts& Facts) const {
    const TAQCondition* Previous = Neighbour(-1);
    const TAQCondition* Next = Neighbour(1);
    switch (FKind) {
    case ckLabel:
        return QString::fromLatin1(QueryHeadingSQL);
    case ckIM:
    case ckRVM:
    case ckVM:
    case ckFaxes:
        return IsKind(Previous, ckLabel) ? MediaFragment() : QString();
    case ckParticipants:
        return KindExistsInQuery(MediaKinds, &Facts) ? QStringLiteral(" AND (") : QString();
    case ckValue: {
        const size_t Position = size_t(Index());
        const bool Left = Position < Facts.LeftBrackets.size() && Facts.LeftBrackets[Position];
        const bool Right = Position < Facts.RightBrackets.size() && Facts.RightBrackets[Position];
        return ParticipantFragment(ServerType, Left, Right);
    }
    case ckTimeSpan: {
        QString S = GroupOpener(Previous, ckTimeSpan, " ((m.Timestamp BETWEEN ",
                                " OR (m.Timestamp BETWEEN ", " AND ((m.Timestamp BETWEEN ");
        S += QString::number(ConvertDateTime(FDTStart)) + QStringLiteral(" AND ") +
             QString::number(ConvertDateTime(FDTEnd)) + QLatin1Char(')');
        if (!IsKind(Next, ckTimeSpan)) {
            S += QLatin1Char(')');
        }
        return S;
    }
    case ckTimeFrame:
        return TimeFrameFragment(ServerType);
    case ckGCID: {
        QString S = GroupOpener(Previous, ckGCID,
                                " ((m.call_id = ", " OR (m.call_id = ", " AND ((m.call_id = ");
        S += QuotedSQL(FGCID, ServerType) + QLatin1Char(')');
        if (!IsKind(Next, ckGCID)) {
            S += QLatin1Char(')');
        }
        return S;
    }
    case ckCAD: {
        QString S = GroupOpener(Previous, ckCAD, " ((", " OR (", " AND ((");
        S += QStringLiteral(" m.call_id IN (") + CADSubquery(ServerType) + QStringLiteral("))");
        if (!IsKind(Next, ckCAD)) {
            S += QLatin1Char(')');
        }
        return S;
    }
    case ckTail: {
        QString S;
        if (KindExistsInQuery(MediaKinds, &Facts) &&
            KindExistsInQuery(KindSet({ckParticipants}), &Facts)) {
            S = QStringLiteral(") ");
        }
        return S + QString::fromLatin1(QueryTailSQL);
    }
    case ckReserved:
    case ckSuperTail:
        break;
    }
    return QString();
}

QString TAQCondition::DisplayString() const {
    switch (FKind) {
    case ckValue:
        if (OwnedByHeader()) {
            return QString::fromLatin1(ParticipantRoleTexts[FRole <= prSupervisor ? FRole : 0]);
        }
        return QString();
    case ckTimeSpan:
        return QStringLiteral("from ") + FormatShortDateLongTime(FDTStart) +
               QStringLiteral(" to ") + FormatShortDateLongTime(FDTEnd);
    case ckTimeFrame:
        return QStringLiteral("from ") + FormatLongTime(FDTStart) + QStringLiteral(" to ") +
               FormatLongTime(FDTEnd);
    case ckGCID:
        return FGCID;
    case ckCAD:
        return QStringLiteral("%1 %2 \"%3\"")
            .arg(FCAD.Name,
                 QString::fromLatin1(
                     CADSearchTypeTexts[FCAD.SearchType <= cstEndsWith ? FCAD.SearchType
                                                                       : cstEqual]),
                 FCAD.Value);
    default:
        return FPrompt;
    }
}

QString TAQCondition::ErrorReasonOf(const TQueryFacts* Facts) const {
    switch (FKind) {
    case ckValue:
        if (OwnedByHeader() && FRole == prSupervisor) {
            if (!KindExistsInQuery(KindSet({ckParticipants}), Facts)) {
                return QStringLiteral("the supervisor role needs a participants header");
            }
            if (KindExistsInQuery(MediaKinds, Facts) &&
                !KindExistsInQuery(KindSet({ckRVM}), Facts)) {
                return QStringLiteral("the supervisor role needs call recordings among the media "
                                      "types");
            }
        }
        return QString();
    case ckParticipants:
        if (!KindExistsInQuery(KindSet({ckValue}), Facts)) {
            return QStringLiteral("no participants");
        }
        return QString();
    case ckTimeSpan:
        if (!IsValidDateTime(FDTStart) || !IsValidDateTime(FDTEnd)) {
            return QStringLiteral("the time span is not a valid date");
        }
        if (!(FDTStart < FDTEnd)) {
            return QStringLiteral("the start is not before the end");
        }
        return QString();
    case ckTimeFrame:
        if (!IsValidDateTime(FDTStart) || !IsValidDateTime(FDTEnd)) {
            return QStringLiteral("the time frame is not a valid time");
        }
        if (!(TimeOfDayMSecs(FDTStart) < TimeOfDayMSecs(FDTEnd))) {
            return QStringLiteral("the start time is not before the end time");
        }
        return QString();
    default:
        return QString();
    }
}

QString TAQCondition::ErrorReason() const {
    return ErrorReasonOf(nullptr);
}

QString TAQCondition::ErrorReason(const TQueryFacts& Facts) const {
    return ErrorReasonOf(&Facts);
}

bool TAQCondition::HasError() const {
    return !ErrorReasonOf(nullptr).isEmpty();
}

bool TAQCondition::HasError(const TQueryFacts& Facts) const {
    return !ErrorReasonOf(&Facts).isEmpty();
}

void TAQCondition::SwitchOperator() {
    if (FKind == ckTimeSpan || FKind == ckTimeFrame || FKind == ckGCID) {
        return;
    }
    FOperator = FOperator == okAND ? okOR : okAND;
    if (TVQQuery* Owner = Query()) {
        Owner->NormalizeOperators(FCID.QueryID);
    }
    NotifyQuery();
}

void TAQCondition::MoveTo(int NewIndex) {
    TVQQuery* Owner = Query();
    if (Owner == nullptr || FKind != ckValue || NewIndex < 0) {
        return;
    }
    const TAQCondition* Header = Owner->HeaderOf(this);
    if (Header == nullptr) {
        return;
    }
    int Position = Header->Index() + 1;
    while (Position < NewIndex && IsKind(Owner->GetCondition(Position + 1), ckValue)) {
        ++Position;
    }
    Owner->Move(Index(), Position);
    Owner->RenumberParticipants(Header);
}

TViewStorage* TAQCondition::GetStorage(int Kind) const {
    if (Kind < 0 || Kind >= int(FViewStorage.size())) {
        ConditionsAssert(QString::fromLatin1(SAssertionFailure));
    }
    return FViewStorage[size_t(Kind)].get();
}

void TAQCondition::SetStorage(int Kind, TViewStorage* Value) {
    if (Kind < 0 || Kind >= int(FViewStorage.size())) {
        ConditionsAssert(QString::fromLatin1(SAssertionFailure));
    }
    FViewStorage[size_t(Kind)] = TViewStorageRef::Share(Value);
}

TConditionHitTest TAQCondition::HitTest(const QPoint& Point) const {
    if (FValueRect.contains(Point)) {
        return chtValue;
    }
    if (FCaptionRect.contains(Point)) {
        return chtCaption;
    }
    if (FOperatorRect.contains(Point)) {
        return chtOperator;
    }
    return chtNone;
}

TConditionEditorClass TAQCondition::EditorClass() const {
    switch (FKind) {
    case ckLabel:
        return ecTypePopup;
    case ckValue:
        return OwnedByHeader() ? ecRoleEditor : ecNone;
    case ckParticipants:
        return ecUserEditor;
    case ckTimeSpan:
        return ecDateTimeEditor;
    case ckTimeFrame:
        return ecTimeEditor;
    case ckGCID:
        return ecIntegerEditor;
    case ckCAD:
        return ecCADEditor;
    case ckTail:
        return ecTailPopup;
    case ckSuperTail:
        return ecSuperTailPopup;
    default:
        return ecNone;
    }
}

void TAQCondition::NotifyQuery() {
    Changed(false);
}

void TAQCondition::SetCaption(const QString& Value) {
    if (Value != FCaption) {
        FCaption = Value;
        NotifyQuery();
    }
}

void TAQCondition::SetPrompt(const QString& Value) {
    if (Value != FPrompt) {
        FPrompt = Value;
        NotifyQuery();
    }
}

void TAQCondition::SetKind(TConditionKind Value) {
    FKind = Value;
    if (Value == ckTimeSpan || Value == ckTimeFrame) {
        FOperator = okOR;
    }
}

void TAQCondition::SetLevel(quint32 Value) {
    FLevel = Value;
    NotifyQuery();
}

void TAQCondition::SetDTStart(TDateTime Value) {
    if (Value != FDTStart) {
        FDTStart = Value;
        NotifyQuery();
    }
}

void TAQCondition::SetDTEnd(TDateTime Value) {
    if (Value != FDTEnd) {
        FDTEnd = Value;
        NotifyQuery();
    }
}

void TAQCondition::SetRole(TParticipantRole Value) {
    if (Value != FRole) {
        FRole = Value;
        NotifyQuery();
    }
}
