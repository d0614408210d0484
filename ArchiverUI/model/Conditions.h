// The conditions of an archive query and the SQL fragment each contributes.
// A query (TVQQuery) holds them sorted by their key; the SQL of a query is
// the fragments of its conditions in list order.
#pragma once

#include "SortedCollection.h"
#include "VQDateTime.h"
#include "ViewStorage.h"

#include <QPoint>
#include <QRect>
#include <QString>
#include <QtGlobal>
#include <array>
#include <initializer_list>
#include <vector>

class TVQQuery;

enum TConditionKind : quint8 {
    ckLabel = 0,
    ckReserved = 1,
    ckIM = 2,
    ckRVM = 3,
    ckVM = 4,
    ckFaxes = 5,
    ckValue = 6,
    ckParticipants = 7,
    ckTimeSpan = 8,
    ckTimeFrame = 9,
    ckGCID = 10,
    ckCAD = 11,
    ckTail = 12,
    ckSuperTail = 13,
};
inline constexpr int ConditionKindCount = 14;

enum TOperatorKind : quint8 { okOR = 0, okAND = 1 };

enum TParticipantRole : quint8 { prAny = 0, prCaller = 1, prRecipient = 2, prSupervisor = 3 };

enum TUserKind : quint8 {
    ukUser = 0,
    ukGroup = 1,
    ukExternalAddress = 2,
    ukError = 3,
    ukUserGroup = 4,
};

enum TCADSearchType : quint8 {
    cstEqual = 0,
    cstContains = 1,
    cstStartsWith = 2,
    cstEndsWith = 3,
};

enum TConditionHitTest : quint8 { chtNone = 0, chtCaption = 1, chtValue = 2, chtOperator = 3 };

// The editor of a condition kind; the query builder maps each value to its
// editor object.
enum TConditionEditorClass : quint8 {
    ecNone = 0,
    ecTypePopup,
    ecRoleEditor,
    ecUserEditor,
    ecDateTimeEditor,
    ecTimeEditor,
    ecIntegerEditor,
    ecCADEditor,
    ecTailPopup,
    ecSuperTailPopup,
};

// A set of condition kinds.
using TConditionKinds = quint16;
constexpr TConditionKinds KindSet(std::initializer_list<TConditionKind> Kinds) {
    TConditionKinds Result = 0;
    for (TConditionKind Kind : Kinds) {
        Result = TConditionKinds(Result | (1u << Kind));
    }
    return Result;
}
constexpr bool InKinds(TConditionKinds Kinds, TConditionKind Kind) {
    return Kind < ConditionKindCount && (Kinds & (1u << Kind)) != 0;
}
inline constexpr TConditionKinds MediaKinds = KindSet({ckIM, ckRVM, ckVM, ckFaxes});

// Identifiers of the enumerations, as query files name them.
extern const std::array<const char*, ConditionKindCount> ConditionKindNames;
extern const std::array<const char*, 2> OperatorKindNames;
extern const std::array<const char*, 4> ParticipantRoleNames;
extern const std::array<const char*, 5> UserKindNames;

// Texts shown to the operator and used in the SQL.
extern const std::array<const char*, 2> OperatorTexts;
extern const std::array<const char*, 4> ParticipantRoleTexts;
extern const std::array<const char*, 4> CADSearchTypeTexts;
// The archive's media_type texts, numbered as the record types.
extern const std::array<const char*, 8> MediaTypeStrings;

// The heading of every query statement, up to the first condition.
extern const char* const QueryHeadingSQL;
// Columns of the rows QueryHeadingSQL selects, by position: the result list
// and the evidence export read them the same way.
enum TResultColumn {
    colMediaID = 0,
    colMediaType = 1,
    colCallID = 2,
    colTimestamp = 3,
    colDisplayName = 4,
    colUserID = 5,
    colGroupID = 6,
    colExternalAddress = 7,
    colRole = 8,
    colFileExtension = 9,
    ResultColumnCount = 10,
};
inline constexpr const char* QueryTailSQL = " ORDER BY p.Media_ID limit 20002";
inline constexpr const char* DefaultGCID = "00000-00-00000-000";

// Text between single quotes with embedded quotes doubled.
QString QuotedStr(const QString& Text);
// A string literal for the statement of a server type. Server type 2 reads
// a backslash in a literal as an escape, so there backslashes are doubled
// too: otherwise a value ending in one would run the literal on into the
// statement.
QString QuotedSQL(const QString& Text, int ServerType);

// Sort key of a condition: the bytes ID, OwnerID, OwnerKind, QueryID from the
// lowest up, so that conditions sort by query, kind, owner and number.
struct TCID {
    quint8 ID = 0;
    quint8 OwnerID = 0;
    quint8 OwnerKind = 0;
    quint8 QueryID = 0;

    quint32 CommonID() const {
        return quint32(ID) | (quint32(OwnerID) << 8) | (quint32(OwnerKind) << 16) |
               (quint32(QueryID) << 24);
    }
    void SetCommonID(quint32 Value) {
        ID = quint8(Value);
        OwnerID = quint8(Value >> 8);
        OwnerKind = quint8(Value >> 16);
        QueryID = quint8(Value >> 24);
    }
    bool operator==(const TCID&) const = default;
};

struct TCADSearchCriteria {
    QString Name;
    QString Value;
    TCADSearchType SearchType = cstEqual;
    bool operator==(const TCADSearchCriteria&) const = default;
};

// What the fragments of one condition need to know about the whole query,
// computed once for a whole statement so that building it stays linear.
struct TQueryFacts {
    std::array<TConditionKinds, 256> KindsOfQuery{};
    std::vector<char> LeftBrackets;
    std::vector<char> RightBrackets;

    static TQueryFacts Build(const TVQQuery& Query);
    bool KindExists(quint8 QueryID, TConditionKinds Kinds) const {
        return (KindsOfQuery[QueryID] & Kinds) != 0;
    }
};

class TAQCondition : public TCollectionItem {
public:
    TAQCondition();
    ~TAQCondition() override;

    TVQQuery* Query() const;

    // This condition's SQL fragment.
    QString QueryString(int ServerType) const;
    QString QueryString(int ServerType, const TQueryFacts& Facts) const;
    // The value text shown after the caption.
    QString DisplayString() const;
    // The condition is incomplete or inconsistent.
    bool HasError() const;
    bool HasError(const TQueryFacts& Facts) const;
    // Why HasError holds, in words; empty when it does not.
    QString ErrorReason() const;
    QString ErrorReason(const TQueryFacts& Facts) const;

    bool FirstOfKind() const;
    bool LastOfKind() const;
    bool LeftBracket() const;
    bool RightBracket() const;
    // The participant's SQL predicate (its literal quoted for ServerType).
    QString IDCondition(int ServerType = 0) const;
    // The participant's key: U<user>, G<group>, U<user>G<group> or E<name>.
    QString UU() const;
    quint32 UserID() const;
    quint32 GroupID() const;
    // A participant that belongs to a participants header.
    bool OwnedByHeader() const;

    static qint64 ConvertDateTime(TDateTime Value);

    void SwitchOperator();
    void MoveTo(int NewIndex);

    // Entry Kind (0 ... 5) of the view memory; none when nothing is stored.
    TViewStorage* GetStorage(int Kind) const;
    // Stores a reference of its own to Value (none clears the entry).
    void SetStorage(int Kind, TViewStorage* Value);

    TConditionHitTest HitTest(const QPoint& Point) const;
    TConditionEditorClass EditorClass() const;

    const QString& Caption() const { return FCaption; }
    void SetCaption(const QString& Value);
    const QString& Prompt() const { return FPrompt; }
    void SetPrompt(const QString& Value);
    TConditionKind Kind() const { return FKind; }
    void SetKind(TConditionKind Value);
    TOperatorKind Operator() const { return FOperator; }
    void SetOperator(TOperatorKind Value) { FOperator = Value; }
    quint32 Level() const { return FLevel; }
    void SetLevel(quint32 Value);
    TDateTime DTStart() const { return FDTStart; }
    void SetDTStart(TDateTime Value);
    TDateTime DTEnd() const { return FDTEnd; }
    void SetDTEnd(TDateTime Value);
    const QString& GCID() const { return FGCID; }
    void SetGCID(const QString& Value) { FGCID = Value; }
    TParticipantRole Role() const { return FRole; }
    void SetRole(TParticipantRole Value);
    quint64 Tag() const { return FTag; }
    void SetTag(quint64 Value) { FTag = Value; }
    TUserKind UserKind() const { return FUserKind; }
    void SetUserKind(TUserKind Value) { FUserKind = Value; }
    const TCADSearchCriteria& CAD() const { return FCAD; }
    void SetCAD(const TCADSearchCriteria& Value) { FCAD = Value; }
    const QString& CADName() const { return FCAD.Name; }
    void SetCADName(const QString& Value) { FCAD.Name = Value; }
    const QString& CADValue() const { return FCAD.Value; }
    void SetCADValue(const QString& Value) { FCAD.Value = Value; }
    TCADSearchType CADSearchType() const { return FCAD.SearchType; }
    void SetCADSearchType(TCADSearchType Value) { FCAD.SearchType = Value; }

    const TCID& CID() const { return FCID; }
    TCID& CIDRef() { return FCID; }
    quint32 CIDCommonID() const { return FCID.CommonID(); }
    void SetCIDCommonID(quint32 Value) { FCID.SetCommonID(Value); }
    quint8 CIDQueryID() const { return FCID.QueryID; }
    void SetCIDQueryID(quint8 Value) { FCID.QueryID = Value; }

    const QRect& CaptionRect() const { return FCaptionRect; }
    void SetCaptionRect(const QRect& Value) { FCaptionRect = Value; }
    const QRect& ValueRect() const { return FValueRect; }
    void SetValueRect(const QRect& Value) { FValueRect = Value; }
    const QRect& OperatorRect() const { return FOperatorRect; }
    void SetOperatorRect(const QRect& Value) { FOperatorRect = Value; }

private:
    TAQCondition* Neighbour(int Offset) const;
    // First and last position of the run of participants around this one.
    void RunBounds(int& First, int& Last) const;
    void Brackets(bool& Left, bool& Right) const;
    QString MediaFragment() const;
    QString ParticipantFragment(int ServerType, bool Left, bool Right) const;
    QString TimeFrameFragment(int ServerType) const;
    QString CADSubquery(int ServerType) const;
    QString ErrorReasonOf(const TQueryFacts* Facts) const;
    bool KindExistsInQuery(TConditionKinds Kinds, const TQueryFacts* Facts) const;
    void NotifyQuery();

    QString FCaption;
    QString FPrompt;
    TConditionKind FKind = ckLabel;
    TOperatorKind FOperator = okOR;
    quint32 FLevel = 0;
    QRect FCaptionRect;
    QRect FValueRect;
    QRect FOperatorRect;
    TCID FCID;
    TDateTime FDTStart = 0;
    TDateTime FDTEnd = 0;
    QString FGCID;
    TParticipantRole FRole = prAny;
    quint64 FTag = 0;
    TUserKind FUserKind = ukUser;
    std::array<TViewStorageRef, 6> FViewStorage;
    TCADSearchCriteria FCAD;
};

// The bracket rules of one run of participants, given the operators that
// join each participant to the next. Left and Right receive one flag each
// per participant.
void ComputeRunBrackets(const std::vector<TOperatorKind>& Operators, std::vector<char>& Left,
                        std::vector<char>& Right);
