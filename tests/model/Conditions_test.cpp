#include "Conditions.h"
#include "ModelErrors.h"
#include "TestSupport.h"
#include "VQQuery.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

QString S(const char* Text) {
    return QString::fromUtf8(Text);
}

// The participant predicate, as written out in the fragment rules.
QString P(const char* Predicate) {
    return S(" m.Media_ID IN (SELECT Media_ID FROM participants WHERE ( ") + S(Predicate) +
           S(")) ");
}

// A query with the participants header only (no media types), and helpers
// to add participants at the end of the run.
struct TParticipantQuery {
    TVQQuery Query;

    TAQCondition* Add(const char* Name, quint64 Id, TUserKind Kind = ukUser,
                      TOperatorKind Operator = okOR, TParticipantRole Role = prAny) {
        const int At = Query.InsertPartipiant(Query.Count() - 2, S(Name), Id, Kind);
        TAQCondition* Condition = Query.GetCondition(At);
        Condition->SetOperator(Operator);
        Condition->SetRole(Role);
        return Condition;
    }
    QString Fragments() const {
        QString Result;
        for (int I = 0; I < Query.Count(); ++I) {
            if (Query.GetCondition(I)->Kind() == ckValue) {
                Result += Query.GetCondition(I)->QueryString(2);
            }
        }
        return Result;
    }
};

TDateTime DateTime(int Y, int Mo, int D, int H = 0, int Mi = 0, int Se = 0) {
    return EncodeDate(Y, Mo, D) + EncodeTime(H, Mi, Se, 0);
}

} // namespace

TEST(ConditionsParticipants, PredicatePerUserKind) {
    TParticipantQuery Q;
    TAQCondition* User = Q.Add("Ann", 5, ukUser);
    TAQCondition* Group = Q.Add("Sales", 7, ukGroup);
    TAQCondition* Agent = Q.Add("Sales agent Ann", (quint64(5) << 32) | 7, ukUserGroup);
    TAQCondition* External = Q.Add("it's", 0, ukExternalAddress);
    EXPECT_EQ(User->IDCondition(), S("User_Id = 5"));
    EXPECT_EQ(Group->IDCondition(), S("Group_Id = 7"));
    EXPECT_EQ(Agent->IDCondition(), S("(User_Id = 5 AND  Group_Id = 7)"));
    EXPECT_EQ(External->IDCondition(), S("External_Address = 'it''s'"));
}

TEST(ConditionsParticipants, ExternalAddressCannotBreakOutOfTheLiteral) {
    TParticipantQuery Q;
    TAQCondition* External = Q.Add("x\" OR 1=1 OR 'a'='a", 0, ukExternalAddress);
    EXPECT_EQ(External->IDCondition(), S("External_Address = 'x\" OR 1=1 OR ''a''=''a'"));
    TAQCondition* Error = Q.Add("e", 0, ukError);
    EXPECT_EQ(Error->IDCondition(), S("External_Address = 'e'"));
}

TEST(ConditionsParticipants, KeysAndIds) {
    TParticipantQuery Q;
    TAQCondition* User = Q.Add("Ann", 5, ukUser);
    TAQCondition* Group = Q.Add("Sales", 7, ukGroup);
    TAQCondition* Agent = Q.Add("Agent", (quint64(5) << 32) | 7, ukUserGroup);
    TAQCondition* External = Q.Add("555-1234", 0, ukExternalAddress);
    EXPECT_EQ(User->UU(), S("U5"));
    EXPECT_EQ(Group->UU(), S("G7"));
    EXPECT_EQ(Agent->UU(), S("U5G7"));
    EXPECT_EQ(External->UU(), S("E555-1234"));
    EXPECT_EQ(Agent->UserID(), 5u);
    EXPECT_EQ(Agent->GroupID(), 7u);
    EXPECT_EQ(User->GroupID(), 0u);
    EXPECT_EQ(Group->UserID(), 0u);
}

TEST(ConditionsParticipants, LargeGroupIdOfAnAgentIsKeptWhole) {
    TParticipantQuery Q;
    TAQCondition* Agent = Q.Add("Agent", (quint64(9) << 32) | 0x01234567u, ukUserGroup);
    EXPECT_EQ(Agent->GroupID(), 0x01234567u);
    EXPECT_EQ(Agent->IDCondition(), S("(User_Id = 9 AND  Group_Id = 19088743)"));
    EXPECT_EQ(Agent->UU(), S("U9G19088743"));
}

TEST(ConditionsParticipants, RolesBecomeRoleColumnValues) {
    TParticipantQuery Q;
    TAQCondition* C = Q.Add("Ann", 5);
    C->SetRole(prCaller);
    EXPECT_EQ(C->QueryString(2), S(" (") + P("User_Id = 5 AND Role = 1") + S(") "));
    C->SetRole(prRecipient);
    EXPECT_EQ(C->QueryString(2), S(" (") + P("User_Id = 5 AND Role = 0") + S(") "));
    C->SetRole(prSupervisor);
    EXPECT_EQ(C->QueryString(2), S(" (") + P("User_Id = 5 AND Role = -1") + S(") "));
    C->SetRole(prAny);
    EXPECT_EQ(C->QueryString(2), S(" (") + P("User_Id = 5") + S(") "));
}

TEST(ConditionsBrackets, AndThenOrGroupsTheFirstTwo) {
    TParticipantQuery Q;
    TAQCondition* C1 = Q.Add("a", 1, ukUser, okAND);
    TAQCondition* C2 = Q.Add("b", 2, ukUser, okOR);
    TAQCondition* C3 = Q.Add("c", 3);
    EXPECT_TRUE(C1->LeftBracket());
    EXPECT_FALSE(C1->RightBracket());
    EXPECT_FALSE(C2->LeftBracket());
    EXPECT_TRUE(C2->RightBracket());
    EXPECT_FALSE(C3->LeftBracket());
    EXPECT_FALSE(C3->RightBracket());
    // ((c1 and c2) or c3)
    EXPECT_EQ(Q.Fragments(), S(" ( (") + P("User_Id = 1") + S("and ") + P("User_Id = 2") +
                                 S(") or ") + P("User_Id = 3") + S(") "));
}

TEST(ConditionsBrackets, SameOperatorNeedsNoBrackets) {
    TParticipantQuery Q;
    Q.Add("a", 1, ukUser, okAND);
    Q.Add("b", 2, ukUser, okAND);
    Q.Add("c", 3, ukUser, okOR);
    EXPECT_EQ(Q.Fragments(), S(" (") + P("User_Id = 1") + S("and ") + P("User_Id = 2") + S("and ") +
                                 P("User_Id = 3") + S(") "));
}

TEST(ConditionsBrackets, TwoGroupsOfTwo) {
    TParticipantQuery Q;
    TAQCondition* C1 = Q.Add("a", 1, ukUser, okAND);
    TAQCondition* C2 = Q.Add("b", 2, ukUser, okOR);
    TAQCondition* C3 = Q.Add("c", 3, ukUser, okAND);
    TAQCondition* C4 = Q.Add("d", 4);
    EXPECT_TRUE(C1->LeftBracket());
    EXPECT_TRUE(C2->RightBracket());
    EXPECT_TRUE(C3->LeftBracket());
    EXPECT_FALSE(C3->RightBracket());
    EXPECT_TRUE(C4->RightBracket());
    // ((c1 and c2) or (c3 and c4))
    EXPECT_EQ(Q.Fragments(), S(" ( (") + P("User_Id = 1") + S("and ") + P("User_Id = 2") +
                                 S(") or  (") + P("User_Id = 3") + S("and ") + P("User_Id = 4") +
                                 S(") ) "));
}

TEST(ConditionsBrackets, OrThenAnd) {
    TParticipantQuery Q;
    Q.Add("a", 1, ukUser, okOR);
    Q.Add("b", 2, ukUser, okAND);
    Q.Add("c", 3);
    // ((c1 or c2) and c3)
    EXPECT_EQ(Q.Fragments(), S(" ( (") + P("User_Id = 1") + S("or ") + P("User_Id = 2") +
                                 S(") and ") + P("User_Id = 3") + S(") "));
}

TEST(ConditionsBrackets, LastOperatorAloneOpensNothing) {
    // Only operators of c2 ... cn-1 open the first bracket.
    std::vector<char> Left;
    std::vector<char> Right;
    ComputeRunBrackets({okAND, okOR}, Left, Right);
    EXPECT_EQ(Left, (std::vector<char>{0, 0}));
    EXPECT_EQ(Right, (std::vector<char>{0, 0}));
    ComputeRunBrackets({okAND}, Left, Right);
    EXPECT_EQ(Left, (std::vector<char>{0}));
    ComputeRunBrackets({okAND, okAND, okOR, okAND, okOR}, Left, Right);
    // ((c1 and c2 and c3) or (c4 and c5)): c4 opens after c3's closing
    // bracket, and c5 closes it.
    EXPECT_EQ(Left, (std::vector<char>{1, 0, 0, 1, 0}));
    EXPECT_EQ(Right, (std::vector<char>{0, 0, 1, 0, 1}));
}

TEST(ConditionsBrackets, LongRunIsLinearAndBalanced) {
    std::vector<TOperatorKind> Operators;
    for (int I = 0; I < 100000; ++I) {
        Operators.push_back(I % 3 == 0 ? okAND : okOR);
    }
    std::vector<char> Left;
    std::vector<char> Right;
    ComputeRunBrackets(Operators, Left, Right);
    long Open = 0;
    for (size_t I = 0; I < Operators.size(); ++I) {
        Open += Left[I];
        Open -= Right[I];
        ASSERT_GE(Open, 0);
    }
    EXPECT_EQ(Open, 0);
}

TEST(ConditionsOperators, SwitchTogglesAndNormalizes) {
    TParticipantQuery Q;
    TAQCondition* C1 = Q.Add("a", 1);
    TAQCondition* C2 = Q.Add("b", 2);
    EXPECT_EQ(C1->Operator(), okOR);
    C1->SwitchOperator();
    EXPECT_EQ(C1->Operator(), okAND);
    C1->SwitchOperator();
    EXPECT_EQ(C1->Operator(), okOR);
    // A participant with a role keeps an "or" before it.
    C2->SetRole(prCaller);
    C1->SwitchOperator();
    EXPECT_EQ(C1->Operator(), okOR);
}

TEST(ConditionsOperators, TimeAndIdConditionsDoNotSwitch) {
    TVQQuery Query;
    TAQCondition* Span = Query.AddTimeSpan(0);
    TAQCondition* Frame = Query.AddTimeFrame(0);
    TAQCondition* Id = Query.AddGCID(0);
    TAQCondition* Cad = Query.AddCAD(0);
    Span->SwitchOperator();
    Frame->SwitchOperator();
    Id->SwitchOperator();
    Cad->SwitchOperator();
    EXPECT_EQ(Span->Operator(), okOR);
    EXPECT_EQ(Frame->Operator(), okOR);
    EXPECT_EQ(Id->Operator(), okOR);
    EXPECT_EQ(Cad->Operator(), okAND);
}

TEST(ConditionsOperators, KindSetterResetsOperatorForTimeKinds) {
    TVQQuery Query;
    TAQCondition* C = Query.AddGCID(0);
    C->SetOperator(okAND);
    C->SetKind(ckCAD);
    EXPECT_EQ(C->Operator(), okAND);
    C->SetKind(ckTimeSpan);
    EXPECT_EQ(C->Operator(), okOR);
    C->SetOperator(okAND);
    C->SetKind(ckTimeFrame);
    EXPECT_EQ(C->Operator(), okOR);
}

TEST(ConditionsTimeSpan, ConvertsWithTheOffsetOfEachDate) {
    TScopedTimeZone Zone("CET-1CEST,M3.5.0,M10.5.0/3");
    // Winter: UTC+1; summer: UTC+2, whatever the offset is today.
    EXPECT_EQ(TAQCondition::ConvertDateTime(DateTime(2020, 1, 15, 12)), 1579086000);
    EXPECT_EQ(TAQCondition::ConvertDateTime(DateTime(2020, 7, 15, 12)), 1594807200);
}

TEST(ConditionsTimeSpan, ConvertsInAWesternDaylightZone) {
    TScopedTimeZone Zone("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(TAQCondition::ConvertDateTime(DateTime(2020, 1, 15, 12)), 1579107600);
    EXPECT_EQ(TAQCondition::ConvertDateTime(DateTime(2020, 7, 15, 12)), 1594828800);
}

TEST(ConditionsTimeSpan, GapAndRepeatedHour) {
    TScopedTimeZone Zone("CET-1CEST,M3.5.0,M10.5.0/3");
    // 02:30 does not exist on 2020-03-29: taken with the winter offset.
    EXPECT_EQ(TAQCondition::ConvertDateTime(DateTime(2020, 3, 29, 2, 30)), 1585445400);
    // 02:30 happens twice on 2020-10-25: the first one (summer time).
    EXPECT_EQ(TAQCondition::ConvertDateTime(DateTime(2020, 10, 25, 2, 30)), 1603585800);
}

TEST(ConditionsTimeSpan, FixedOffsetAndFractionOfSeconds) {
    TScopedTimeZone Zone("<+01>-1");
    EXPECT_EQ(TAQCondition::ConvertDateTime(EncodeDate(2000, 1, 1)), 946681200);
    // Milliseconds are dropped.
    EXPECT_EQ(TAQCondition::ConvertDateTime(EncodeDate(2000, 1, 1) + EncodeTime(0, 0, 1, 999)),
              946681201);
}

TEST(ConditionsTimeSpan, FragmentsOfOneAndTwoSpans) {
    TScopedTimeZone Zone("UTC0");
    TVQQuery Query;
    TAQCondition* First = Query.AddTimeSpan(0);
    First->SetDTStart(DateTime(2020, 1, 1));
    First->SetDTEnd(DateTime(2020, 1, 2));
    EXPECT_EQ(First->QueryString(2), S(" ((m.Timestamp BETWEEN 1577836800 AND 1577923200))"));
    TAQCondition* Second = Query.AddTimeSpan(0);
    Second->SetDTStart(DateTime(2021, 6, 1, 12));
    Second->SetDTEnd(DateTime(2021, 6, 2, 12));
    EXPECT_EQ(First->QueryString(2), S(" ((m.Timestamp BETWEEN 1577836800 AND 1577923200)"));
    EXPECT_EQ(Second->QueryString(2), S(" OR (m.Timestamp BETWEEN 1622548800 AND 1622635200))"));
    Query.AddDeleteMediaType(ckIM, 0);
    EXPECT_EQ(First->QueryString(2), S(" AND ((m.Timestamp BETWEEN 1577836800 AND 1577923200)"));
}

TEST(ConditionsTimeFrame, WrapsInAZoneEastOfUTC) {
    TScopedTimeZone Zone("<+01>-1");
    TVQQuery Query;
    TAQCondition* Frame = Query.AddTimeFrame(0);
    // 00:00 to 23:59:59.099: X = -3600, Y = 86399 - 3600.
    EXPECT_EQ(Frame->QueryString(3), S(" (((m.Timestamp %% 86400 BETWEEN 82800 AND 86399 ) OR "
                                       "(m.Timestamp %% 86400 BETWEEN 0 AND 82799)))"));
    EXPECT_EQ(Frame->QueryString(2), S(" (((m.Timestamp % 86400 BETWEEN 82800 AND 86399 ) OR "
                                       "(m.Timestamp % 86400 BETWEEN 0 AND 82799)))"));
    EXPECT_EQ(Frame->QueryString(1), Frame->QueryString(2));
    // A frame that ends exactly at midnight UTC still wraps.
    Frame->SetDTEnd(EncodeTime(1, 0, 0, 0));
    EXPECT_EQ(Frame->QueryString(2), S(" (((m.Timestamp % 86400 BETWEEN 82800 AND 86399 ) OR "
                                       "(m.Timestamp % 86400 BETWEEN 0 AND 0)))"));
    // One that starts there does not.
    Frame->SetDTStart(EncodeTime(1, 0, 0, 0));
    Frame->SetDTEnd(EncodeTime(2, 0, 0, 0));
    EXPECT_EQ(Frame->QueryString(2), S(" (((m.Timestamp % 86400 BETWEEN 0 AND 3600)))"));
}

TEST(ConditionsTimeFrame, WestOfUTC) {
    TScopedTimeZone Zone("<-05>5");
    TVQQuery Query;
    TAQCondition* Frame = Query.AddTimeFrame(0);
    Frame->SetDTStart(EncodeTime(20, 0, 0, 0));
    Frame->SetDTEnd(EncodeTime(23, 0, 0, 0));
    // X = 90000, Y = 100800: both past midnight UTC, no wrap.
    EXPECT_EQ(Frame->QueryString(1), S(" (((m.Timestamp % 86400 BETWEEN 3600 AND 14400)))"));
    Frame->SetDTStart(EncodeTime(18, 0, 0, 0));
    Frame->SetDTEnd(EncodeTime(22, 0, 0, 0));
    // X = 82800, Y = 97200: the frame crosses midnight UTC.
    EXPECT_EQ(Frame->QueryString(1), S(" (((m.Timestamp % 86400 BETWEEN 82800 AND 86399 ) OR "
                                       "(m.Timestamp % 86400 BETWEEN 0 AND 10800)))"));
}

TEST(ConditionsTimeFrame, TwoFramesAfterAMediaType) {
    TScopedTimeZone Zone("UTC0");
    TVQQuery Query;
    Query.AddDeleteMediaType(ckVM, 0);
    TAQCondition* Morning = Query.AddTimeFrame(0);
    Morning->SetDTStart(EncodeTime(8, 0, 0, 0));
    Morning->SetDTEnd(EncodeTime(12, 0, 0, 400));
    TAQCondition* Evening = Query.AddTimeFrame(0);
    Evening->SetDTStart(EncodeTime(17, 0, 0, 600));
    Evening->SetDTEnd(EncodeTime(18, 0, 0, 0));
    EXPECT_EQ(Morning->QueryString(3), S(" AND (((m.Timestamp %% 86400 BETWEEN 28800 AND 43200))"));
    // 17:00:00.600 rounds to the next second.
    EXPECT_EQ(Evening->QueryString(3), S(" OR ((m.Timestamp %% 86400 BETWEEN 61201 AND 64800)))"));
}

TEST(ConditionsTimeFrame, DaylightZoneUsesTheOffsetInForceNow) {
    TScopedTimeZone Zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const std::time_t Current = std::time(nullptr);
    std::tm Local{};
    localtime_r(&Current, &Local);
    const long Offset = Local.tm_gmtoff; // 3600 in winter, 7200 in summer
    TVQQuery Query;
    TAQCondition* Frame = Query.AddTimeFrame(0);
    Frame->SetDTStart(EncodeTime(9, 0, 0, 0));
    Frame->SetDTEnd(EncodeTime(10, 0, 0, 0));
    EXPECT_EQ(Frame->QueryString(2), QStringLiteral(" (((m.Timestamp % 86400 BETWEEN %1 AND %2)))")
                                         .arg(32400 - Offset)
                                         .arg(36000 - Offset));
}

TEST(ConditionsGCID, QuotesAreDoubled) {
    TVQQuery Query;
    TAQCondition* Id = Query.AddGCID(0);
    EXPECT_EQ(Id->QueryString(2), S(" ((m.call_id = '00000-00-00000-000'))"));
    Id->SetGCID(S("12'34"));
    EXPECT_EQ(Id->QueryString(2), S(" ((m.call_id = '12''34'))"));
    EXPECT_EQ(Id->DisplayString(), S("12'34"));
}

TEST(ConditionsCAD, EverySearchType) {
    TVQQuery Query;
    Query.AddDeleteMediaType(ckIM, 0);
    TAQCondition* Cad = Query.AddCAD(0, {S("queue"), S("it's"), cstEqual});
    const QString Open = S(" AND (( m.call_id IN (SELECT call_id FROM cad WHERE name = 'queue' AND "
                           "value ");
    EXPECT_EQ(Cad->QueryString(2), Open + S(" = 'it''s')))"));
    Cad->SetCADSearchType(cstContains);
    EXPECT_EQ(Cad->QueryString(2), Open + S(" LIKE '%%it''s%%')))"));
    Cad->SetCADSearchType(cstStartsWith);
    EXPECT_EQ(Cad->QueryString(2), Open + S(" LIKE 'it''s%%')))"));
    Cad->SetCADSearchType(cstEndsWith);
    EXPECT_EQ(Cad->QueryString(2), Open + S(" LIKE '%%it''s')))"));
}

TEST(ConditionsCAD, TwoConditionsAfterTheHeading) {
    TVQQuery Query;
    TAQCondition* A = Query.AddCAD(0, {S("n'1"), S("a"), cstEqual});
    TAQCondition* B = Query.AddCAD(0, {S("n2"), S("b"), cstEqual});
    EXPECT_EQ(
        A->QueryString(1),
        S(" (( m.call_id IN (SELECT call_id FROM cad WHERE name = 'n''1' AND value  = 'a'))"));
    EXPECT_EQ(
        B->QueryString(1),
        S(" OR ( m.call_id IN (SELECT call_id FROM cad WHERE name = 'n2' AND value  = 'b')))"));
}

TEST(ConditionsCAD, UndefinedSearchTypeIsAnAssertion) {
    TVQQuery Query;
    TAQCondition* Cad = Query.AddCAD(0);
    Cad->SetCADSearchType(TCADSearchType(7));
    EXPECT_THROW(Cad->QueryString(2), EAssertionFailed);
    EXPECT_THROW(Query.AddCAD(0, {S("a"), S("b"), TCADSearchType(4)}), EAssertionFailed);
}

TEST(ConditionsMedia, OnlyTheFirstMediaTypeSpeaks) {
    TVQQuery Query;
    Query.AddDeleteMediaType(ckFaxes, 0);
    Query.AddDeleteMediaType(ckIM, 0);
    Query.AddDeleteMediaType(ckRVM, 0);
    ASSERT_EQ(Query.GetCondition(1)->Kind(), ckIM);
    EXPECT_EQ(Query.GetCondition(1)->QueryString(2),
              S(" m.media_type in ('im' ,'callrec' ,'fax')"));
    EXPECT_EQ(Query.GetCondition(2)->QueryString(2), QString());
    EXPECT_EQ(Query.GetCondition(3)->QueryString(2), QString());
    EXPECT_EQ(Query.GetCondition(1)->Caption(), S("instant messages"));
    EXPECT_EQ(Query.GetCondition(2)->Caption(), S("call recording"));
    EXPECT_EQ(Query.GetCondition(3)->Caption(), S("faxes"));
    Query.AddDeleteMediaType(ckVM, 0);
    EXPECT_EQ(Query.GetCondition(3)->Caption(), S("voice mail && personal call recording "));
}

TEST(ConditionsValidation, TimeSpanAndFrameOrder) {
    TVQQuery Query;
    TAQCondition* Span = Query.AddTimeSpan(0);
    EXPECT_FALSE(Span->HasError());
    Span->SetDTEnd(Span->DTStart());
    EXPECT_TRUE(Span->HasError());
    TAQCondition* Frame = Query.AddTimeFrame(0);
    EXPECT_FALSE(Frame->HasError());
    // Only the time of day counts.
    Frame->SetDTStart(EncodeDate(2001, 1, 1) + EncodeTime(10, 0, 0, 0));
    Frame->SetDTEnd(EncodeDate(1999, 1, 1) + EncodeTime(11, 0, 0, 0));
    EXPECT_FALSE(Frame->HasError());
    Frame->SetDTEnd(EncodeTime(10, 0, 0, 0));
    EXPECT_TRUE(Frame->HasError());
}

TEST(ConditionsValidation, SupervisorNeedsCallRecordings) {
    TParticipantQuery Q;
    TAQCondition* C = Q.Add("a", 1);
    C->SetRole(prSupervisor);
    EXPECT_FALSE(C->HasError()); // no media types at all
    Q.Query.AddDeleteMediaType(ckIM, 0);
    EXPECT_TRUE(C->HasError());
    Q.Query.AddDeleteMediaType(ckRVM, 0);
    EXPECT_FALSE(C->HasError());
    C->SetRole(prCaller);
    Q.Query.AddDeleteMediaType(ckRVM, 0);
    EXPECT_FALSE(C->HasError());
}

TEST(ConditionsValidation, HeaderWithoutParticipants) {
    TVQQuery Query;
    TAQCondition* Header =
        Query.AddCondition(S("Participants"), 0, 4, ckParticipants, S("(add)"), nullptr, 0);
    EXPECT_TRUE(Header->HasError());
    Query.InsertPartipiant(Header->Index(), S("a"), 1, ukUser);
    EXPECT_FALSE(Header->HasError());
}

TEST(ConditionsDisplay, TextsPerKind) {
    TScopedUSLocale Locale;
    TVQQuery Query;
    EXPECT_EQ(Query.GetCondition(0)->DisplayString(),
              S("(select media types that you want to see)"));
    EXPECT_EQ(Query.GetCondition(1)->DisplayString(), S("(add condition)"));
    TAQCondition* Span = Query.AddTimeSpan(0);
    Span->SetDTEnd(EncodeDate(2020, 7, 4) + EncodeTime(15, 4, 5, 0));
    EXPECT_EQ(Span->DisplayString(), S("from 1/1/00 12:00:00 AM to 7/4/20 3:04:05 PM"));
    TAQCondition* Frame = Query.AddTimeFrame(0);
    EXPECT_EQ(Frame->DisplayString(), S("from 12:00:00 AM to 11:59:59 PM"));
    TAQCondition* Cad = Query.AddCAD(0, {S("queue"), S("sales"), cstStartsWith});
    EXPECT_EQ(Cad->DisplayString(), S("queue Starts with \"sales\""));
    const int At = Query.InsertPartipiant(0, S("Ann"), 5, ukUser);
    TAQCondition* Participant = Query.GetCondition(At);
    EXPECT_EQ(Participant->DisplayString(), S("in any role"));
    Participant->SetRole(prRecipient);
    EXPECT_EQ(Participant->DisplayString(), S("as recipient"));
    EXPECT_EQ(Query.HeaderOf(Participant)->DisplayString(), S("(add)"));
    // A participant outside a header shows nothing.
    TAQCondition* Loose = Query.AddCondition(S("x"), 0, 32, ckValue, S("p"), nullptr, 0);
    EXPECT_EQ(Loose->DisplayString(), QString());
    EXPECT_EQ(Loose->EditorClass(), ecNone);
    EXPECT_EQ(Participant->EditorClass(), ecRoleEditor);
}

TEST(ConditionsEditors, EditorPerKind) {
    TVQQuery Query;
    EXPECT_EQ(Query.GetCondition(0)->EditorClass(), ecTypePopup);
    EXPECT_EQ(Query.GetCondition(1)->EditorClass(), ecTailPopup);
    EXPECT_EQ(Query.AddTimeSpan(0)->EditorClass(), ecDateTimeEditor);
    EXPECT_EQ(Query.AddTimeFrame(0)->EditorClass(), ecTimeEditor);
    EXPECT_EQ(Query.AddGCID(0)->EditorClass(), ecIntegerEditor);
    EXPECT_EQ(Query.AddCAD(0)->EditorClass(), ecCADEditor);
    Query.AddDeleteMediaType(ckIM, 0);
    EXPECT_EQ(Query.GetCondition(1)->EditorClass(), ecNone);
    const int At = Query.InsertPartipiant(0, S("a"), 1, ukUser);
    EXPECT_EQ(Query.HeaderOf(Query.GetCondition(At))->EditorClass(), ecUserEditor);
}

TEST(ConditionsHitTest, ValueBeforeCaptionBeforeOperator) {
    TVQQuery Query;
    TAQCondition* C = Query.GetCondition(0);
    C->SetCaptionRect(QRect(0, 0, 100, 18));
    C->SetValueRect(QRect(50, 0, 100, 18));
    C->SetOperatorRect(QRect(140, 0, 30, 18));
    EXPECT_EQ(C->HitTest(QPoint(10, 5)), chtCaption);
    EXPECT_EQ(C->HitTest(QPoint(60, 5)), chtValue);
    EXPECT_EQ(C->HitTest(QPoint(160, 5)), chtOperator);
    EXPECT_EQ(C->HitTest(QPoint(145, 5)), chtValue);
    EXPECT_EQ(C->HitTest(QPoint(300, 5)), chtNone);
}

TEST(ConditionsStorage, ReferencesAreCountedAndReleased) {
    TViewStorageRef Storage = TViewStorageRef::Adopt(TViewStorage::Create());
    {
        TVQQuery Query;
        TAQCondition* C = Query.GetCondition(0);
        EXPECT_EQ(C->GetStorage(0), nullptr);
        C->SetStorage(0, Storage.get());
        C->SetStorage(5, Storage.get());
        EXPECT_EQ(C->GetStorage(5), Storage.get());
        EXPECT_EQ(Storage->RefCount(), 3);
        C->SetStorage(5, nullptr);
        EXPECT_EQ(Storage->RefCount(), 2);
    }
    // Destroying the condition released its reference.
    EXPECT_EQ(Storage->RefCount(), 1);
}

TEST(ConditionsStorage, KindAboveFiveIsAnAssertion) {
    TVQQuery Query;
    TAQCondition* C = Query.GetCondition(0);
    EXPECT_THROW(C->GetStorage(6), EAssertionFailed);
    EXPECT_THROW(C->SetStorage(6, nullptr), EAssertionFailed);
    EXPECT_THROW(C->GetStorage(-1), EAssertionFailed);
}

TEST(ConditionsKinds, FirstAndLastOfKind) {
    TParticipantQuery Q;
    TAQCondition* A = Q.Add("a", 1);
    TAQCondition* B = Q.Add("b", 2);
    EXPECT_TRUE(A->FirstOfKind());
    EXPECT_FALSE(A->LastOfKind());
    EXPECT_FALSE(B->FirstOfKind());
    EXPECT_TRUE(B->LastOfKind());
    EXPECT_TRUE(Q.Query.GetCondition(0)->FirstOfKind());
    EXPECT_TRUE(Q.Query.GetCondition(Q.Query.Count() - 1)->LastOfKind());
}
