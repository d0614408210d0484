#include "UserList.h"

#include <gtest/gtest.h>

namespace {

QString S(const char* Text) {
    return QString::fromUtf8(Text);
}

TEST(UserData, KindAndIdFollowWhichIdsAreSet) {
    EXPECT_EQ(TUserData(S("u"), 0, 5).Kind(), ukUser);
    EXPECT_EQ(TUserData(S("u"), 0, 5).ID(), 5u);
    EXPECT_EQ(TUserData(S("g"), 7, 0).Kind(), ukGroup);
    EXPECT_EQ(TUserData(S("g"), 7, 0).ID(), 7u);
    EXPECT_EQ(TUserData(S("a"), 7, 5).Kind(), ukUserGroup);
    EXPECT_EQ(TUserData(S("a"), 7, 5).ID(), 5ull * 4294967296ull + 7ull);
    EXPECT_EQ(TUserData(S("e"), 0, 0).Kind(), ukExternalAddress);
    EXPECT_EQ(TUserData(S("e"), 0, 0).ID(), 0u);
    EXPECT_EQ(TUserData(S("x"), -1, 3).Kind(), ukError);
    EXPECT_EQ(TUserData(S("x"), -1, 3).ID(), 0u);
}

TEST(UserData, LargeAgentIdsKeepBothHalves) {
    const TUserData Agent(S("a"), 0x7FFFFFFF, 0x7FFFFFFE);
    EXPECT_EQ(Agent.ID(), (0x7FFFFFFEull << 32) | 0x7FFFFFFFull);
}

TEST(UserList, FilterIsCaseInsensitiveSubstringInListOrder) {
    TUserList List;
    List.AddUser(S("Alice Smith"), 0, 1);
    List.AddUser(S("Sales"), 2, 0);
    List.AddUser(S("Sales agent Bob"), 2, 3);
    List.AddUser(S("Zoë Ångström"), 0, 4);
    ASSERT_EQ(List.VisibleCount(), 4);

    List.ApplyFilter(S("SAL"));
    ASSERT_EQ(List.VisibleCount(), 2);
    EXPECT_EQ(List.GetVisibleItem(0)->Name(), S("Sales"));
    EXPECT_EQ(List.GetVisibleItem(1)->Name(), S("Sales agent Bob"));
    EXPECT_EQ(List.GetVisibleItem(2), nullptr);
    EXPECT_EQ(List.GetVisibleItem(-1), nullptr);

    List.ApplyFilter(S("ångs"));
    ASSERT_EQ(List.VisibleCount(), 1);
    EXPECT_EQ(List.GetVisibleItem(0)->UserID(), 4);

    List.ApplyFilter(QString());
    EXPECT_EQ(List.VisibleCount(), 4);
}

TEST(UserList, AddedEntriesRespectTheFilterInForce) {
    TUserList List;
    List.ApplyFilter(S("bob"));
    List.AddUser(S("Alice"), 0, 1);
    List.AddUser(S("Bobby"), 0, 2);
    EXPECT_EQ(List.Count(), 2);
    ASSERT_EQ(List.VisibleCount(), 1);
    EXPECT_EQ(List.GetVisibleItem(0)->Name(), S("Bobby"));

    List.Clear();
    EXPECT_EQ(List.Count(), 0);
    EXPECT_EQ(List.VisibleCount(), 0);
    // The filter stays for the next load.
    List.AddUser(S("Bob"), 0, 3);
    EXPECT_EQ(List.VisibleCount(), 1);
    List.AddUser(S("Carol"), 0, 4);
    EXPECT_EQ(List.VisibleCount(), 1);
}

} // namespace
