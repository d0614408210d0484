// Result rows: the columns of a select result row become a row, and the
// texts of a row come from its own fields and its neighbours of the same
// record.
#include "ResultsTestSupport.h"

#include "VQDateTime.h"
#include "ViewItem.h"

#include <QDateTime>

#include <vector>

namespace {

// The columns of one select result row, in the order the query selects
// them.
struct TRowText {
    std::vector<QByteArray> Columns;
    TRowText(const char* Id, const char* Type, const char* CallId, const char* Time,
             const char* Name, const char* User, const char* Group, const char* Role,
             const char* Ext = "wav") {
        Columns = {Id, Type, CallId, Time, Name, User, Group, "", Role, Ext};
    }
};

int Add(TViewItemList& List, const TRowText& Row) {
    std::vector<const char*> Pointers;
    for (const QByteArray& C : Row.Columns)
        Pointers.push_back(C.constData());
    bool Invalid = false;
    qint64 Role = 0;
    return List.AddRow(Pointers.data(), int(Pointers.size()), Invalid, Role);
}

// A call from Anna (user 5) to the support group's agent Ben (user 6 in
// group 7), listened to by a supervisor, then a message from an outside
// number to Anna.
class ViewItemListTest : public ::testing::Test {
protected:
    void SetUp() override {
        Add(List, {"10", "callrec", "AB-1", "1700000000", "Anna", "5", "0", "1"});
        Add(List, {"10", "callrec", "AB-1", "1700000000", "Support agent Ben", "6", "7", "0"});
        Add(List, {"10", "callrec", "AB-1", "1700000000", "Carl", "8", "0", "-1"});
        Add(List, {"11", "im", "CD-2", "1700000100", "+49 30 1234", "0", "0", "1"});
        Add(List, {"11", "im", "CD-2", "1700000100", "Anna", "5", "0", "0"});
    }
    TViewItemList List;
};

} // namespace

TEST(ViewItemRows, ColumnsBecomeFieldsWithTheirConversions) {
    TViewItemList List;
    const int Row = Add(
        List, {"4294967295", "fax", "X-9", "-86400", "Zoë Παπαδόπουλος", "12", "3", "-1", "pdf"});
    const TViewItem& Item = List[Row];
    EXPECT_EQ(Item.MediaId(), 4294967295u);
    EXPECT_EQ(Item.MediaType(), mtFax);
    EXPECT_EQ(Item.TimeStamp(), -86400);
    EXPECT_EQ(Item.UserID(), 12);
    EXPECT_EQ(Item.GroupID(), 3);
    EXPECT_EQ(Item.Role(), prSupervisor);
    EXPECT_EQ(Item.Kind(), ukUserGroup);
    EXPECT_EQ(List.Name(Row), QStringLiteral("Zoë Παπαδόπουλος"));
    EXPECT_EQ(List.GCID(Row), QStringLiteral("X-9"));
    EXPECT_EQ(List.FileExtension(Row), QStringLiteral("pdf"));
    EXPECT_EQ(List.UU(Row), QStringLiteral("U12G3"));
    EXPECT_FALSE(Item.Marked());
    EXPECT_FALSE(Item.Selected());
}

TEST(ViewItemRows, RolesCountFromTheArchivesNumbers) {
    TViewItemList List;
    bool Invalid = false;
    qint64 Role = 0;
    auto RoleOf = [&](const char* Text) {
        const TRowText Row{"1", "im", "", "0", "A", "1", "0", Text};
        std::vector<const char*> P;
        for (const QByteArray& C : Row.Columns)
            P.push_back(C.constData());
        return List[List.AddRow(P.data(), int(P.size()), Invalid, Role)].Role();
    };
    EXPECT_EQ(RoleOf("1"), prCaller);
    EXPECT_FALSE(Invalid);
    EXPECT_EQ(RoleOf("0"), prRecipient);
    EXPECT_EQ(RoleOf("-1"), prSupervisor);
    EXPECT_EQ(RoleOf("2"), prAny);
    EXPECT_FALSE(Invalid);
    // Not a number: taken as 0, a recipient.
    EXPECT_EQ(RoleOf("caller"), prRecipient);
    EXPECT_FALSE(Invalid);
    // Outside the roles: reported, and the row still arrives.
    EXPECT_EQ(RoleOf("7"), prAny);
    EXPECT_TRUE(Invalid);
    EXPECT_EQ(Role, -5);
}

TEST(ViewItemRows, BadNumbersAndMissingColumnsLeaveZeroes) {
    TViewItemList List;
    const char* Short[] = {"abc", "callrec", nullptr};
    bool Invalid = false;
    qint64 Role = 0;
    const int Row = List.AddRow(Short, 3, Invalid, Role);
    EXPECT_EQ(List[Row].MediaId(), 0u);
    EXPECT_EQ(List[Row].MediaType(), mtCallRec);
    EXPECT_EQ(List[Row].TimeStamp(), 0);
    EXPECT_EQ(List[Row].Kind(), ukExternalAddress);
    EXPECT_EQ(List.GCID(Row), QString());
    EXPECT_EQ(List.UU(Row), QStringLiteral("E"));
}

TEST(ViewItemRows, MediaTypesAreMatchedExactly) {
    EXPECT_EQ(MediaTypeOf(QStringLiteral("im")), mtIM);
    EXPECT_EQ(MediaTypeOf(QStringLiteral("webchat")), mtWebChat);
    EXPECT_EQ(MediaTypeOf(QStringLiteral("IM")), mtUnknown);
    EXPECT_EQ(MediaTypeOf(QStringLiteral("")), mtUnknown);
    EXPECT_EQ(MediaImageOf(mtIM), 2);
    EXPECT_EQ(MediaImageOf(mtCallRec), 3);
    EXPECT_EQ(MediaImageOf(mtVM), 4);
    EXPECT_EQ(MediaImageOf(mtFax), 5);
    EXPECT_EQ(MediaImageOf(MediaTypeOf(QStringLiteral("IM"))), 5);
    EXPECT_EQ(MediaTypeOfKind(ckRVM), mtCallRec);
    EXPECT_EQ(MediaTypeOfKind(ckValue), -1);
}

TEST_F(ViewItemListTest, ParticipantsListTheRowFirstThenItsNeighbours) {
    EXPECT_EQ(List.Participants(0), QStringLiteral(" Anna as caller,  Support agent Ben as "
                                                   "recipient,  Carl as supervisor"));
    EXPECT_EQ(List.Participants(1), QStringLiteral(" Support agent Ben as recipient,  Anna as "
                                                   "caller,  Carl as supervisor"));
    EXPECT_EQ(List.Participants(2), QStringLiteral(" Carl as supervisor,  Support agent Ben as "
                                                   "recipient,  Anna as caller"));
    // The scan stops at the next record.
    EXPECT_EQ(List.Participants(3), QStringLiteral(" +49 30 1234 as caller,  Anna as recipient"));
}

TEST_F(ViewItemListTest, CallerIsFoundAmongTheNeighbours) {
    EXPECT_EQ(List.Caller(0), QStringLiteral("Anna"));
    EXPECT_EQ(List.Caller(2), QStringLiteral("Anna"));
    EXPECT_EQ(List.Caller(4), QStringLiteral("+49 30 1234"));
}

TEST_F(ViewItemListTest, SessionIdNamesTheTwoPartiesWhicheverRowIsAsked) {
    // The greater key first, the supervisor left out.
    EXPECT_EQ(List.SessionID(0), QStringLiteral("U6G7U5"));
    EXPECT_EQ(List.SessionID(1), List.SessionID(0));
    EXPECT_EQ(List.SessionID(2), List.SessionID(0));
    EXPECT_EQ(List.SessionID(3), QStringLiteral("U5E+49 30 1234"));
    EXPECT_EQ(List.SessionID(4), List.SessionID(3));
}

TEST(ViewItemRows, AConversationOfThreeHasOneSessionInAnyRowOrder) {
    TViewItemList List;
    Add(List, {"1", "im", "", "0", "Ben", "6", "0", "0"});
    Add(List, {"1", "im", "", "0", "Anna", "5", "0", "1"});
    Add(List, {"1", "im", "", "0", "Carl", "7", "0", "0"});
    Add(List, {"2", "im", "", "0", "Carl", "7", "0", "0"});
    Add(List, {"2", "im", "", "0", "Anna", "5", "0", "1"});
    Add(List, {"2", "im", "", "0", "Ben", "6", "0", "0"});
    for (int Row = 0; Row < List.Count(); ++Row)
        EXPECT_EQ(List.SessionID(Row), QStringLiteral("U7U6U5")) << Row;
}

TEST_F(ViewItemListTest, GroupAndUserFiltersTakeTheirAgents) {
    const TParticipantFilter Group = List.Filter(QStringLiteral("G7"));
    EXPECT_TRUE(Group.Parsed);
    EXPECT_TRUE(List.ParticipantMatches(1, Group));
    EXPECT_FALSE(List.ParticipantMatches(0, Group));
    EXPECT_TRUE(List.ParticipantMatches(0, List.Filter(QStringLiteral("U5"))));
    EXPECT_TRUE(List.ParticipantMatches(4, List.Filter(QStringLiteral("U5"))));
    // Ben's own view shows his work as the support group's agent.
    EXPECT_TRUE(List.ParticipantMatches(1, List.Filter(QStringLiteral("U6"))));
    EXPECT_FALSE(List.ParticipantMatches(1, List.Filter(QStringLiteral("U7"))));
    EXPECT_TRUE(List.ParticipantMatches(1, List.Filter(QStringLiteral("U6G7"))));
    EXPECT_TRUE(List.ParticipantMatches(3, List.Filter(QStringLiteral("E+49 30 1234"))));
    EXPECT_FALSE(List.ParticipantMatches(3, List.Filter(QStringLiteral("E+49 30"))));
    // A name no row carries matches nothing; keys are canonical numbers.
    EXPECT_FALSE(List.ParticipantMatches(3, List.Filter(QStringLiteral("Enobody"))));
    EXPECT_FALSE(List.ParticipantMatches(0, List.Filter(QStringLiteral("U05"))));
}

TEST(ViewItemRows, TheKeyRuleAgreesWithTheFilterOnEveryKindOfRow) {
    TViewItemList List;
    Add(List, {"1", "im", "", "0", "Anna", "5", "0", "1"});
    Add(List, {"2", "im", "", "0", "Sales", "0", "7", "1"});
    Add(List, {"3", "im", "", "0", "Sales agent Anna", "5", "7", "1"});
    Add(List, {"4", "im", "", "0", "Office G7", "0", "0", "1"});
    Add(List, {"5", "im", "", "0", "odd", "-3", "0", "1"});
    const QStringList Filters = {QStringLiteral("U5"),   QStringLiteral("G7"),
                                 QStringLiteral("U5G7"), QStringLiteral("EOffice G7"),
                                 QStringLiteral("Eodd"), QStringLiteral("G8"),
                                 QStringLiteral("X12"),  QStringLiteral("U")};
    for (const QString& F : Filters)
        for (int Row = 0; Row < List.Count(); ++Row)
            EXPECT_EQ(List.ParticipantMatches(Row, List.Filter(F)),
                      ParticipantMatches(List.UU(Row), F))
                << qPrintable(F) << " row " << Row;
    // An outside name that ends in a group's key is no agent of that group.
    EXPECT_FALSE(ParticipantMatches(QStringLiteral("EOffice G7"), QStringLiteral("G7")));
    EXPECT_TRUE(ParticipantMatches(QStringLiteral("U5G7"), QStringLiteral("G7")));
    EXPECT_FALSE(ParticipantMatches(QStringLiteral("U5G77"), QStringLiteral("G7")));
    EXPECT_TRUE(ParticipantMatches(QStringLiteral("U5G7"), QStringLiteral("U5")));
    EXPECT_FALSE(ParticipantMatches(QStringLiteral("U55G7"), QStringLiteral("U5")));
    EXPECT_FALSE(ParticipantMatches(QStringLiteral("U5G7"), QStringLiteral("U5G8")));
}

TEST(ViewItemRows, DateAndTimeAreLocalInTheUsersFormats) {
    TViewItemList List;
    const int Row = Add(List, {"1", "im", "", "1700000000", "A", "1", "0", "1"});
    const QDateTime Local = QDateTime::fromSecsSinceEpoch(1700000000, Qt::LocalTime);
    EXPECT_EQ(List.DateTimeStr(Row),
              FormatShortDateLongTime(EncodeDateTime(Local.date(), Local.time())));
    // A time no calendar can show still shows.
    const int Far = Add(List, {"2", "im", "", "9223372036854775807", "A", "1", "0", "1"});
    EXPECT_EQ(List.DateTimeStr(Far), QStringLiteral("9223372036854775807"));
}

TEST(ViewItemRows, RowsOfOneRecordKeepItsCallIdOnce) {
    TViewItemList List;
    Add(List, {"1", "callrec", "LONG-CALL-ID-0001", "0", "A", "1", "0", "1"});
    const qint64 AfterOne = List.TextBytes();
    for (int I = 0; I < 50; ++I)
        Add(List, {"1", "callrec", "LONG-CALL-ID-0001", "0", "A", "1", "0", "0"});
    EXPECT_EQ(List.TextBytes(), AfterOne);
    EXPECT_EQ(List.GCID(40), QStringLiteral("LONG-CALL-ID-0001"));
    EXPECT_LE(sizeof(TViewItem), 32u);
}
