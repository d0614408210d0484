#include "ConditionList.h"
#include "ModelErrors.h"
#include "SQLMacros.h"
#include "SearchOptions.h"
#include "TestSupport.h"
#include "VQQuery.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

QString S(const char* Text) {
    return QString::fromUtf8(Text);
}

// The heading statement, typed in from its definition.
const char* const Heading =
    "SELECT m.Media_ID, m.Media_Type, m.CALL_ID, m.Timestamp, Case When u.User_ID Is Not Null "
    "AND     g.Group_ID Is Not Null Then #F_CONCAT(g.Display_Name, ' agent ', u.Display_Name)  "
    "When u.User_ID Is Not Null Then u.Display_Name When g.Group_ID Is Not Null Then "
    "g.Display_Name Else p.External_Address End As Display_Name, Coalesce(u.User_ID, 0) As "
    "User_ID, Coalesce(g.Group_ID, 0) As Group_ID, p.External_Address, p.Role, "
    "#F_RIGHT(m.filename,3) FROM media AS m INNER JOIN participants AS p ON m.Media_ID = "
    "p.Media_ID Left Join users AS u ON u.User_ID = p.User_ID Left Join groups AS g ON "
    "g.Group_ID = p.Group_ID WHERE (Coalesce(p.User_ID, p.Group_ID, "
    "#F_LENGTH(p.External_Address), 0) != 0) And ";

// The same heading with its macros expanded for server type 2.
const char* const HeadingType2 =
    "SELECT m.Media_ID, m.Media_Type, m.CALL_ID, m.Timestamp, Case When u.User_ID Is Not Null "
    "AND     g.Group_ID Is Not Null Then CONCAT(g.Display_Name, ' agent ', u.Display_Name)  "
    "When u.User_ID Is Not Null Then u.Display_Name When g.Group_ID Is Not Null Then "
    "g.Display_Name Else p.External_Address End As Display_Name, Coalesce(u.User_ID, 0) As "
    "User_ID, Coalesce(g.Group_ID, 0) As Group_ID, p.External_Address, p.Role, "
    "SUBSTR(m.filename, -3) FROM media AS m INNER JOIN participants AS p ON m.Media_ID = "
    "p.Media_ID Left Join users AS u ON u.User_ID = p.User_ID Left Join groups AS g ON "
    "g.Group_ID = p.Group_ID WHERE (Coalesce(p.User_ID, p.Group_ID, "
    "LENGTH(p.External_Address), 0) != 0) And ";

// ... and for server type 1.
const char* const HeadingType1 =
    "SELECT m.Media_ID, m.Media_Type, m.CALL_ID, m.Timestamp, Case When u.User_ID Is Not Null "
    "AND     g.Group_ID Is Not Null Then g.Display_Name + ' agent ' + u.Display_Name  "
    "When u.User_ID Is Not Null Then u.Display_Name When g.Group_ID Is Not Null Then "
    "g.Display_Name Else p.External_Address End As Display_Name, Coalesce(u.User_ID, 0) As "
    "User_ID, Coalesce(g.Group_ID, 0) As Group_ID, p.External_Address, p.Role, "
    "RIGHT(m.filename, 3) FROM media AS m INNER JOIN participants AS p ON m.Media_ID = "
    "p.Media_ID Left Join users AS u ON u.User_ID = p.User_ID Left Join groups AS g ON "
    "g.Group_ID = p.Group_ID WHERE (Coalesce(p.User_ID, p.Group_ID, "
    "LEN(p.External_Address), 0) != 0) And ";

const char* const Tail = " ORDER BY p.Media_ID limit 20002";

QString P(const char* Predicate) {
    return S(" m.Media_ID IN (SELECT Media_ID FROM participants WHERE ( ") + S(Predicate) +
           S(")) ");
}

std::vector<TConditionKind> Kinds(const TVQQuery& Query) {
    std::vector<TConditionKind> Result;
    for (int I = 0; I < Query.Count(); ++I) {
        Result.push_back(Query.GetCondition(I)->Kind());
    }
    return Result;
}

std::vector<int> ParticipantIDs(const TVQQuery& Query) {
    std::vector<int> Result;
    for (int I = 0; I < Query.Count(); ++I) {
        if (Query.GetCondition(I)->Kind() == ckValue) {
            Result.push_back(Query.GetCondition(I)->CID().ID);
        }
    }
    return Result;
}

std::vector<QString> ParticipantNames(const TVQQuery& Query) {
    std::vector<QString> Result;
    for (int I = 0; I < Query.Count(); ++I) {
        if (Query.GetCondition(I)->Kind() == ckValue) {
            Result.push_back(Query.GetCondition(I)->Caption());
        }
    }
    return Result;
}

int HeaderIndex(const TVQQuery& Query) {
    return Query.FindKind(KindSet({ckParticipants}), 0, 0);
}

} // namespace

TEST(VQQueryStructure, NewQueryHasHeadingAndTail) {
    TVQQuery Query;
    ASSERT_EQ(Query.Count(), 2);
    const TAQCondition* Heading0 = Query.GetCondition(0);
    const TAQCondition* Tail0 = Query.GetCondition(1);
    EXPECT_EQ(Heading0->Kind(), ckLabel);
    EXPECT_EQ(Heading0->Caption(), S("I want to see "));
    EXPECT_EQ(Heading0->Prompt(), S("(select media types that you want to see)"));
    EXPECT_EQ(Heading0->CID().OwnerID, 1);
    EXPECT_EQ(Heading0->CIDCommonID(), 0x00000100u);
    EXPECT_EQ(Tail0->Kind(), ckTail);
    EXPECT_TRUE(Tail0->Caption().isEmpty());
    EXPECT_EQ(Tail0->Prompt(), S("(add condition)"));
    EXPECT_EQ(Tail0->CID().OwnerID, 2);
    EXPECT_EQ(Tail0->CIDCommonID(), 0x000C0200u);
    EXPECT_TRUE(Query.HasError());
    EXPECT_FALSE(Query.ErrorReason().isEmpty());
}

TEST(VQQueryStructure, ConditionsSortByKindThenCreation) {
    TVQQuery Query;
    Query.AddGCID(0);
    Query.AddTimeSpan(0);
    Query.AddTimeFrame(0);
    Query.AddCAD(0);
    Query.AddTimeSpan(0);
    Query.InsertPartipiant(0, S("a"), 1, ukUser);
    Query.AddDeleteMediaType(ckFaxes, 0);
    Query.AddDeleteMediaType(ckIM, 0);
    EXPECT_EQ(Kinds(Query), (std::vector<TConditionKind>{ckLabel, ckIM, ckFaxes, ckParticipants,
                                                         ckValue, ckTimeSpan, ckTimeSpan,
                                                         ckTimeFrame, ckGCID, ckCAD, ckTail}));
    // Each new owner takes the next number of the query.
    EXPECT_EQ(Query.GetCondition(5)->CID().OwnerID, 4);
    EXPECT_EQ(Query.GetCondition(6)->CID().OwnerID, 7);
    const TAQCondition* Participant = Query.GetCondition(4);
    const TAQCondition* Header = Query.GetCondition(3);
    EXPECT_EQ(Participant->CID().OwnerID, Header->CID().OwnerID);
    EXPECT_EQ(Participant->CID().OwnerKind, ckParticipants);
    EXPECT_EQ(Participant->CID().ID, 1);
    EXPECT_EQ(Header->Level(), 4u);
    EXPECT_EQ(Participant->Level(), 32u);
    EXPECT_EQ(Query.GetCondition(1)->Level(), 32u);
}

TEST(VQQueryStructure, DefaultsOfAddedConditions) {
    TVQQuery Query;
    const TDateTime Before = Now();
    TAQCondition* Span = Query.AddTimeSpan(0);
    EXPECT_EQ(Span->Caption(), S("Time Span"));
    EXPECT_EQ(Span->DTStart(), 36526.0);
    EXPECT_GE(Span->DTEnd(), Before);
    EXPECT_LE(Span->DTEnd(), Now());
    TAQCondition* Frame = Query.AddTimeFrame(0);
    EXPECT_EQ(Frame->Caption(), S("Daily Time Frame"));
    EXPECT_EQ(Frame->DTStart(), 0.0);
    EXPECT_EQ(TimeOfDayMSecs(Frame->DTEnd()), 86399099);
    TAQCondition* Id = Query.AddGCID(0);
    EXPECT_EQ(Id->Caption(), S("Global Caller ID"));
    EXPECT_EQ(Id->GCID(), S("00000-00-00000-000"));
    TAQCondition* Cad = Query.AddCAD(0);
    EXPECT_EQ(Cad->Caption(), S("Call Attached Data"));
    EXPECT_EQ(Cad->CAD(), TCADSearchCriteria{});
}

TEST(VQQueryMedia, AddingTwiceRemovesAgain) {
    TVQQuery Query;
    Query.AddDeleteMediaType(ckIM, 0);
    EXPECT_TRUE(Query.MediaTypeExists(ckIM, 0));
    EXPECT_EQ(Query.Count(), 3);
    Query.AddDeleteMediaType(ckIM, 0);
    EXPECT_FALSE(Query.MediaTypeExists(ckIM, 0));
    EXPECT_EQ(Query.Count(), 2);
    // Not a media type: nothing happens.
    Query.AddDeleteMediaType(ckGCID, 0);
    EXPECT_EQ(Query.Count(), 2);
}

TEST(VQQueryParticipants, ThreeSelectedUsersInSelectionOrder) {
    TVQQuery Query;
    int At = 0;
    At = Query.InsertPartipiant(At, S("a"), 1, ukUser);
    At = Query.InsertPartipiant(At, S("b"), 2, ukUser);
    At = Query.InsertPartipiant(At, S("c"), 3, ukUser);
    EXPECT_EQ(ParticipantNames(Query), (std::vector<QString>{S("a"), S("b"), S("c")}));
    EXPECT_EQ(ParticipantIDs(Query), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(At, 4);
    const TAQCondition* Header = Query.GetCondition(HeaderIndex(Query));
    EXPECT_EQ(Header->Caption(), S("Participants"));
    EXPECT_EQ(Header->Prompt(), S("(add)"));
    EXPECT_EQ(Query.GetCondition(2)->Prompt(), S("in any role"));
    EXPECT_EQ(Query.GetCondition(3)->Tag(), 2u);
}

TEST(VQQueryParticipants, InsertInTheMiddleRenumbers) {
    TVQQuery Query;
    int At = Query.InsertPartipiant(0, S("a"), 1, ukUser);
    Query.InsertPartipiant(At, S("c"), 3, ukUser);
    Query.InsertPartipiant(At, S("b"), 2, ukUser);
    EXPECT_EQ(ParticipantNames(Query), (std::vector<QString>{S("a"), S("b"), S("c")}));
    EXPECT_EQ(ParticipantIDs(Query), (std::vector<int>{1, 2, 3}));
    // Before the first one: inserting on the header.
    Query.InsertPartipiant(HeaderIndex(Query), S("first"), 9, ukUser);
    EXPECT_EQ(ParticipantNames(Query), (std::vector<QString>{S("first"), S("a"), S("b"), S("c")}));
    EXPECT_EQ(ParticipantIDs(Query), (std::vector<int>{1, 2, 3, 4}));
}

TEST(VQQueryParticipants, BelowTheParticipantsGoesToTheEnd) {
    TVQQuery Query;
    Query.InsertPartipiant(0, S("a"), 1, ukUser);
    TAQCondition* Span = Query.AddTimeSpan(0);
    Query.InsertPartipiant(Span->Index(), S("b"), 2, ukUser);
    EXPECT_EQ(ParticipantNames(Query), (std::vector<QString>{S("a"), S("b")}));
    // Also when a caller id and not a time condition follows them.
    TVQQuery Other;
    Other.InsertPartipiant(0, S("a"), 1, ukUser);
    TAQCondition* Id = Other.AddGCID(0);
    Other.InsertPartipiant(Id->Index(), S("b"), 2, ukUser);
    EXPECT_EQ(ParticipantNames(Other), (std::vector<QString>{S("a"), S("b")}));
    EXPECT_EQ(ParticipantIDs(Other), (std::vector<int>{1, 2}));
}

TEST(VQQueryParticipants, OperatorsBeforeParticipantsWithARoleBecomeOr) {
    TVQQuery Query;
    int At = Query.InsertPartipiant(0, S("a"), 1, ukUser);
    At = Query.InsertPartipiant(At, S("b"), 2, ukUser);
    Query.GetCondition(At - 1)->SetOperator(okAND);
    Query.GetCondition(At)->SetRole(prCaller);
    Query.InsertPartipiant(At, S("c"), 3, ukUser);
    EXPECT_EQ(Query.GetCondition(At - 1)->Operator(), okOR);
}

TEST(VQQueryParticipants, MoveToAndRenumber) {
    TVQQuery Query;
    int At = 0;
    for (const char* Name : {"a", "b", "c", "d"}) {
        At = Query.InsertPartipiant(At, S(Name), 1, ukUser);
    }
    const int First = HeaderIndex(Query) + 1;
    Query.GetCondition(First)->MoveTo(First + 2);
    EXPECT_EQ(ParticipantNames(Query), (std::vector<QString>{S("b"), S("c"), S("a"), S("d")}));
    EXPECT_EQ(ParticipantIDs(Query), (std::vector<int>{1, 2, 3, 4}));
    // Far beyond the run: to its last place.
    Query.GetCondition(First)->MoveTo(100);
    EXPECT_EQ(ParticipantNames(Query), (std::vector<QString>{S("c"), S("a"), S("d"), S("b")}));
    Query.GetCondition(First + 3)->MoveTo(0);
    EXPECT_EQ(ParticipantNames(Query), (std::vector<QString>{S("b"), S("c"), S("a"), S("d")}));
    Query.GetCondition(First)->MoveTo(-1);
    EXPECT_EQ(ParticipantNames(Query), (std::vector<QString>{S("b"), S("c"), S("a"), S("d")}));
    // The order holds after a later insertion.
    Query.InsertPartipiant(First + 3, S("e"), 5, ukUser);
    EXPECT_EQ(ParticipantNames(Query),
              (std::vector<QString>{S("b"), S("c"), S("a"), S("d"), S("e")}));
    EXPECT_EQ(ParticipantIDs(Query), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST(VQQueryParticipants, NumbersRunOut) {
    TVQQuery Query;
    int At = 0;
    for (int I = 0; I < 255; ++I) {
        At = Query.InsertPartipiant(At, S("p"), quint64(I), ukUser);
    }
    EXPECT_THROW(Query.InsertPartipiant(At, S("one too many"), 1, ukUser), EQueryError);
    EXPECT_EQ(ParticipantIDs(Query).size(), 255u);
    EXPECT_EQ(ParticipantIDs(Query).back(), 255);
}

TEST(VQQueryDelete, HeaderTakesItsParticipants) {
    TVQQuery Query;
    int At = Query.InsertPartipiant(0, S("a"), 1, ukUser);
    Query.InsertPartipiant(At, S("b"), 2, ukUser);
    Query.AddTimeSpan(0);
    Query.DeleteCondition(Query.GetCondition(HeaderIndex(Query)));
    EXPECT_EQ(Kinds(Query), (std::vector<TConditionKind>{ckLabel, ckTimeSpan, ckTail}));
}

TEST(VQQueryDelete, ParticipantAlone) {
    TVQQuery Query;
    int At = Query.InsertPartipiant(0, S("a"), 1, ukUser);
    At = Query.InsertPartipiant(At, S("b"), 2, ukUser);
    Query.DeleteCondition(Query.GetCondition(At - 1));
    EXPECT_EQ(ParticipantNames(Query), (std::vector<QString>{S("b")}));
    EXPECT_EQ(Kinds(Query),
              (std::vector<TConditionKind>{ckLabel, ckParticipants, ckValue, ckTail}));
}

TEST(VQQueryDelete, FirstHeadingStays) {
    TVQQuery Query;
    Query.AddGCID(0);
    Query.DeleteCondition(Query.GetCondition(0));
    EXPECT_EQ(Query.Count(), 3);
    Query.DeleteCondition(nullptr);
    EXPECT_EQ(Query.Count(), 3);
}

TEST(VQQueryDelete, SecondQueryGoesAsAWholeAndOnlyItself) {
    TVQQuery Query;
    TAQCondition* Id = Query.AddGCID(0); // owner 3 of query 0
    Query.AddQueryStart();
    ASSERT_EQ(Query.Count(), 5);
    EXPECT_EQ(Query.GetCondition(3)->CIDQueryID(), 1);
    EXPECT_EQ(Query.GetCondition(3)->Kind(), ckLabel);
    // Query 1 gets owners 1, 2 and 3 too; deleting query 0's caller id
    // (owner 3) must not take query 1's condition with owner 3.
    TAQCondition* Other = Query.AddGCID(3);
    EXPECT_EQ(Other->CIDQueryID(), 1);
    EXPECT_EQ(Other->CID().OwnerID, Id->CID().OwnerID);
    Query.DeleteCondition(Id);
    EXPECT_EQ(Kinds(Query),
              (std::vector<TConditionKind>{ckLabel, ckTail, ckLabel, ckGCID, ckTail}));
    Query.DeleteCondition(Query.GetCondition(2));
    EXPECT_EQ(Kinds(Query), (std::vector<TConditionKind>{ckLabel, ckTail}));
}

TEST(VQQueryDelete, CanDeleteAndCanEdit) {
    TVQQuery Query;
    Query.AddDeleteMediaType(ckIM, 0);
    Query.AddGCID(0);
    EXPECT_FALSE(Query.CanDelete(0));
    EXPECT_TRUE(Query.CanDelete(1));
    EXPECT_TRUE(Query.CanDelete(2));
    EXPECT_FALSE(Query.CanDelete(3));
    EXPECT_FALSE(Query.CanDelete(-1));
    EXPECT_TRUE(Query.CanEdit(0));
    EXPECT_FALSE(Query.CanEdit(1)); // media types have no editor
    EXPECT_TRUE(Query.CanEdit(2));
    EXPECT_TRUE(Query.CanEdit(3));
    EXPECT_FALSE(Query.CanEdit(4));
}

TEST(VQQueryLimits, OwnerNumbersRunOut) {
    TVQQuery Query;
    // Heading and tail hold owners 1 and 2.
    for (int I = 0; I < 253; ++I) {
        Query.AddGCID(0);
    }
    EXPECT_THROW(Query.AddGCID(0), EQueryError);
    EXPECT_EQ(Query.Count(), 255);
    EXPECT_EQ(Query.GetCondition(Query.Count() - 1)->Kind(), ckTail);
}

TEST(VQQueryValidity, HasErrorFollowsTheConditions) {
    TVQQuery Query;
    EXPECT_TRUE(Query.HasError());
    Query.AddDeleteMediaType(ckIM, 0);
    EXPECT_FALSE(Query.HasError());
    Query.AddCondition(S("Participants"), 0, 4, ckParticipants, S("(add)"), nullptr, 0);
    EXPECT_TRUE(Query.HasError());
    const int At = Query.InsertPartipiant(0, S("a"), 1, ukUser);
    EXPECT_FALSE(Query.HasError());
    Query.GetCondition(At)->SetRole(prSupervisor);
    EXPECT_TRUE(Query.HasError());
    EXPECT_TRUE(Query.ErrorReason().contains(S("supervisor")));
    Query.AddDeleteMediaType(ckRVM, 0);
    EXPECT_FALSE(Query.HasError());
    EXPECT_TRUE(Query.ErrorReason().isEmpty());
}

TEST(VQQuerySQL, MediaTypesOnly) {
    TVQQuery Query;
    Query.AddDeleteMediaType(ckIM, 0);
    Query.AddDeleteMediaType(ckFaxes, 0);
    EXPECT_EQ(Query.BuildQuery(2), S(Heading) + S(" m.media_type in ('im' ,'fax')") + S(Tail));
    EXPECT_TRUE(Query.BuildQuery(2).contains(S("And  m.media_type in ('im' ,'fax') ORDER BY")));
}

TEST(VQQuerySQL, MediaTypeWithARecipient) {
    TVQQuery Query;
    Query.AddDeleteMediaType(ckRVM, 0);
    const int At = Query.InsertPartipiant(0, S("Ann"), 5, ukUser);
    Query.GetCondition(At)->SetRole(prRecipient);
    EXPECT_EQ(Query.BuildQuery(2), S(Heading) + S(" m.media_type in ('callrec')") + S(" AND (") +
                                       S(" (") + P("User_Id = 5 AND Role = 0") + S(") ") + S(") ") +
                                       S(Tail));
}

TEST(VQQuerySQL, EveryParticipantKindWithMixedOperators) {
    TVQQuery Query;
    Query.AddDeleteMediaType(ckIM, 0);
    Query.AddDeleteMediaType(ckVM, 0);
    int At = Query.InsertPartipiant(0, S("Ann"), 5, ukUser);
    Query.GetCondition(At)->SetOperator(okAND);
    At = Query.InsertPartipiant(At, S("Sales"), 7, ukGroup);
    At = Query.InsertPartipiant(At, S("Sales agent Bob"), (quint64(6) << 32) | 7, ukUserGroup);
    At = Query.InsertPartipiant(At, S("0815"), 0, ukExternalAddress);
    Query.GetCondition(At)->SetRole(prCaller);
    // ((Ann and Sales) or (agent or 0815 as caller)): the agent opens a
    // bracket because Sales closed one, and the last closes it.
    EXPECT_EQ(Query.BuildQuery(3), S(Heading) + S(" m.media_type in ('im' ,'vm')") + S(" AND (") +
                                       S(" ( (") + P("User_Id = 5") + S("and ") +
                                       P("Group_Id = 7") + S(") or ") + S(" (") +
                                       P("(User_Id = 6 AND  Group_Id = 7)") + S("or ") +
                                       P("External_Address = '0815' AND Role = 1") + S(") ") +
                                       S(") ") + S(") ") + S(Tail));
}

TEST(VQQuerySQL, ParticipantsWithoutMediaTypes) {
    TVQQuery Query;
    int At = Query.InsertPartipiant(0, S("a"), 1, ukUser);
    Query.GetCondition(At)->SetOperator(okAND);
    At = Query.InsertPartipiant(At, S("b"), 2, ukUser);
    At = Query.InsertPartipiant(At, S("c"), 3, ukUser);
    Query.GetCondition(At - 1)->SetOperator(okOR);
    EXPECT_EQ(Query.BuildQuery(2), S(Heading) + S(" ( (") + P("User_Id = 1") + S("and ") +
                                       P("User_Id = 2") + S(") or ") + P("User_Id = 3") + S(") ") +
                                       S(Tail));
}

TEST(VQQuerySQL, EverythingTogether) {
    TScopedTimeZone Zone("<+01>-1");
    TVQQuery Query;
    Query.AddDeleteMediaType(ckIM, 0);
    Query.InsertPartipiant(0, S("Ann"), 5, ukUser);
    TAQCondition* Span = Query.AddTimeSpan(0);
    Span->SetDTEnd(EncodeDate(2000, 1, 2));
    Query.AddTimeFrame(0);
    TAQCondition* Id = Query.AddGCID(0);
    Id->SetGCID(S("12345-67-89012-345"));
    Query.AddCAD(0, {S("queue"), S("sales"), cstContains});
    ASSERT_FALSE(Query.HasError());
    const QString Body =
        S(" m.media_type in ('im')") + S(" AND (") + S(" (") + P("User_Id = 5") + S(") ") +
        S(" AND ((m.Timestamp BETWEEN 946681200 AND 946767600))") +
        S(" AND (((m.Timestamp %% 86400 BETWEEN 82800 AND 86399 ) OR (m.Timestamp %% 86400 "
          "BETWEEN 0 AND 82799)))") +
        S(" AND ((m.call_id = '12345-67-89012-345'))") +
        S(" AND (( m.call_id IN (SELECT call_id FROM cad WHERE name = 'queue' AND value  LIKE "
          "'%%sales%%')))") +
        S(") ") + S(Tail);
    EXPECT_EQ(Query.BuildQuery(3), S(Heading) + Body);
    // Type 2 uses a single "%" for the modulo, and its own functions.
    QString Type2Body = Body;
    Type2Body.replace(S("Timestamp %% 86400"), S("Timestamp % 86400"));
    EXPECT_EQ(ExpandSQLMacros(2, Query.BuildQuery(2)), S(HeadingType2) + Type2Body);
    EXPECT_EQ(ExpandSQLMacros(1, Query.BuildQuery(1)), S(HeadingType1) + Type2Body);
}

TEST(VQQuerySQL, TimeSpansAfterTheHeading) {
    TScopedTimeZone Zone("UTC0");
    TVQQuery Query;
    TAQCondition* A = Query.AddTimeSpan(0);
    A->SetDTEnd(EncodeDate(2000, 1, 2));
    TAQCondition* B = Query.AddTimeSpan(0);
    B->SetDTStart(EncodeDate(2001, 1, 1));
    B->SetDTEnd(EncodeDate(2001, 1, 2));
    EXPECT_EQ(Query.BuildQuery(2), S(Heading) +
                                       S(" ((m.Timestamp BETWEEN 946684800 AND 946771200) OR "
                                         "(m.Timestamp BETWEEN 978307200 AND 978393600))") +
                                       S(Tail));
}

TEST(VQQuerySQL, BuildQueryMatchesTheConditionsOwnFragments) {
    TVQQuery Query;
    Query.AddDeleteMediaType(ckRVM, 0);
    int At = Query.InsertPartipiant(0, S("a"), 1, ukUser);
    Query.GetCondition(At)->SetOperator(okAND);
    At = Query.InsertPartipiant(At, S("b"), 2, ukGroup);
    Query.InsertPartipiant(At, S("c"), 3, ukUser);
    Query.AddGCID(0);
    QString Joined;
    for (int I = 0; I < Query.Count(); ++I) {
        Joined += Query.GetCondition(I)->QueryString(2);
    }
    EXPECT_EQ(Query.BuildQuery(2), Joined);
}

TEST(VQQuerySQL, ValuesStayLiteralsThroughTheExpansion) {
    TVQQuery Query;
    Query.AddDeleteMediaType(ckIM, 0);
    // A value that looks like a macro would swallow its closing quote if it
    // were expanded (IGNOREINDEX renders nothing for type 1).
    Query.AddGCID(0)->SetGCID(S("#F_IGNOREINDEX("));
    Query.InsertPartipiant(0, S("#F_LENGTH(x)"), 0, ukExternalAddress);
    for (int Type : {1, 2, 3, 4}) {
        const QString Sql = ExpandSQLMacros(Type, Query.BuildQuery(Type));
        EXPECT_TRUE(Sql.contains(S(" AND ((m.call_id = '#F_IGNOREINDEX('))"))) << Type;
        EXPECT_TRUE(Sql.contains(S("External_Address = '#F_LENGTH(x)'"))) << Type;
        EXPECT_EQ(Sql.count(QLatin1Char('\'')) % 2, 0) << Type;
    }
}

TEST(VQQuerySQL, BackslashesForTheEngineThatEscapesWithThem) {
    TVQQuery Query;
    Query.AddCAD(0, {S("path\\"), S("C:\\"), cstEqual});
    Query.InsertPartipiant(0, S("a\\' OR 1=1"), 0, ukExternalAddress);
    const QString Type2 = Query.BuildQuery(2);
    EXPECT_TRUE(Type2.contains(S("name = 'path\\\\' AND value  = 'C:\\\\'")))
        << Type2.toStdString();
    EXPECT_TRUE(Type2.contains(S("External_Address = 'a\\\\'' OR 1=1'")));
    // The other engines take a backslash as an ordinary character.
    const QString Type3 = Query.BuildQuery(3);
    EXPECT_TRUE(Type3.contains(S("name = 'path\\' AND value  = 'C:\\'")));
    EXPECT_TRUE(Type3.contains(S("External_Address = 'a\\'' OR 1=1'")));
    EXPECT_EQ(Query.GetCondition(Query.FindKind(KindSet({ckValue}), 0, 0))->IDCondition(),
              S("External_Address = 'a\\'' OR 1=1'"));
}

TEST(VQQueryListBox, CountSelectionAndRepaints) {
    TConditionListModel List;
    TVQQuery Query(&List);
    EXPECT_EQ(List.ItemCount(), 2);
    Query.AddDeleteMediaType(ckIM, 0);
    EXPECT_EQ(List.ItemCount(), 3);
    // The new condition is selected.
    EXPECT_EQ(List.ItemIndex(), 1);
    TAQCondition* Id = Query.AddGCID(0);
    EXPECT_EQ(List.ItemIndex(), Id->Index());
    const int Repaints = List.RepaintCount();
    Id->SetCaption(S("other"));
    EXPECT_EQ(List.RepaintCount(), Repaints + 1);
    Id->SetCaption(S("other"));
    EXPECT_EQ(List.RepaintCount(), Repaints + 1);
    Id->SetLevel(Id->Level());
    EXPECT_EQ(List.RepaintCount(), Repaints + 2);
    Id->SetOperator(okAND);
    Id->SetKind(ckGCID);
    EXPECT_EQ(List.RepaintCount(), Repaints + 2);
    // Deleting the last-but-one line keeps the selection inside the list.
    List.SetItemIndex(Query.Count() - 1);
    Query.DeleteCondition(Id);
    EXPECT_EQ(List.ItemCount(), 3);
    EXPECT_EQ(List.ItemIndex(), 2);
}

TEST(VQQueryListBox, AttachingRefreshesAndGetItemAt) {
    TVQQuery Query;
    Query.AddGCID(0);
    TConditionListModel List;
    Query.SetListBox(&List);
    EXPECT_EQ(List.ItemCount(), 3);
    EXPECT_GE(List.RepaintCount(), 1);
    TAQCondition* Id = Query.GetCondition(1);
    Id->SetValueRect(QRect(100, 18, 50, 18));
    TConditionHitTest Hit = chtNone;
    EXPECT_EQ(Query.GetItemAt(QPoint(120, 20), Hit), Id);
    EXPECT_EQ(Hit, chtValue);
    EXPECT_EQ(Query.GetItemAt(QPoint(10, 2), Hit), Query.GetCondition(0));
    EXPECT_EQ(Hit, chtNone);
    EXPECT_EQ(Query.GetItemAt(QPoint(10, 200), Hit), nullptr);
    Query.SetListBox(nullptr);
    EXPECT_EQ(Query.GetItemAt(QPoint(120, 20), Hit), nullptr);
}

TEST(VQQueryAssign, CopiesConditionsAndSharesViewStorages) {
    TVQQuery Source;
    Source.SetTitle(S("Query 1"));
    TSearchOptions Options;
    Source.SetSearchOptions(&Options);
    Source.AddDeleteMediaType(ckIM, 0);
    const int At = Source.InsertPartipiant(0, S("Ann"), 5, ukUser);
    Source.GetCondition(At)->SetRole(prCaller);
    Source.AddCAD(0, {S("n"), S("v"), cstEndsWith});
    TViewStorageRef Storage = TViewStorageRef::Adopt(TViewStorage::Create());
    Source.GetCondition(0)->SetStorage(2, Storage.get());
    Source.GetCondition(At)->SetStorage(0, Storage.get());
    ASSERT_EQ(Storage->RefCount(), 3);

    TVQQuery Copy;
    Copy.Assign(Source);
    EXPECT_FALSE(Source.Assigning());
    EXPECT_EQ(Copy.BuildQuery(2), Source.BuildQuery(2));
    EXPECT_EQ(Kinds(Copy), Kinds(Source));
    EXPECT_EQ(Copy.GetCondition(0)->GetStorage(2), Storage.get());
    EXPECT_EQ(Copy.GetCondition(At)->GetStorage(0), Storage.get());
    EXPECT_EQ(Copy.GetCondition(At)->GetStorage(1), nullptr);
    EXPECT_EQ(Storage->RefCount(), 5);
    EXPECT_TRUE(Copy.Title().isEmpty());
    EXPECT_EQ(Copy.SearchOptions(), nullptr);
    EXPECT_TRUE(Copy.FileName().isEmpty());

    // Copies are independent.
    Copy.GetCondition(At)->SetCaption(S("Bob"));
    EXPECT_EQ(Source.GetCondition(At)->Caption(), S("Ann"));
    Copy.Init();
    EXPECT_EQ(Storage->RefCount(), 3);
}
