// The viewer's own statements, written out by hand with their "#F_" macros
// expanded for server type 3 (SQLite) and 2 (MariaDB), must run on the
// matching backend and select what the conditions mean.
#include "ArchiveWriter.h"
#include "ListingShape.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace {

using Rows = std::vector<std::vector<std::string>>;

std::string heading(int serverType) {
    const std::string concat = serverType == 3
                                   ? "g.Display_Name || ' agent ' || u.Display_Name"
                                   : "CONCAT(g.Display_Name, ' agent ', u.Display_Name)";
    return "SELECT m.Media_ID, m.Media_Type, m.CALL_ID, m.Timestamp, Case When u.User_ID Is Not "
           "Null AND     g.Group_ID Is Not Null Then " +
           concat +
           "  When u.User_ID Is Not Null Then u.Display_Name When g.Group_ID Is Not Null Then "
           "g.Display_Name Else p.External_Address End As Display_Name, Coalesce(u.User_ID, 0) "
           "As User_ID, Coalesce(g.Group_ID, 0) As Group_ID, p.External_Address, p.Role, "
           "SUBSTR(m.filename, -3) FROM media AS m INNER JOIN participants AS p ON m.Media_ID = "
           "p.Media_ID Left Join users AS u ON u.User_ID = p.User_ID Left Join groups AS g ON "
           "g.Group_ID = p.Group_ID WHERE (Coalesce(p.User_ID, p.Group_ID, "
           "LENGTH(p.External_Address), 0) != 0) And ";
}

std::string userListQuery(int serverType) {
    const std::string concat = serverType == 3
                                   ? "g.Display_Name || ' agent ' || u.Display_Name"
                                   : "CONCAT(g.Display_Name, ' agent ', u.Display_Name)";
    return "SELECT u.Display_Name, u.User_Id, 0 AS Group_Id FROM users AS u  UNION ALL SELECT "
           "g.Display_Name, 0,  g.Group_ID FROM groups AS g UNION ALL SELECT DISTINCT " +
           concat +
           " Display_Name, p.User_ID, p.Group_ID FROM (select DISTINCT user_id, group_id from "
           "participants WHERE Group_ID is not null AND User_ID is not null) p JOIN users u ON "
           "(u.User_ID = p.User_ID) JOIN groups g ON (g.Group_ID = p.Group_ID) ORDER BY "
           "Display_Name ";
}

const char* kTail = " ORDER BY p.Media_ID limit 20002";

std::set<std::string> mediaIds(const Rows& rows) {
    std::set<std::string> ids;
    for (const auto& r : rows)
        ids.insert(r.at(0));
    return ids;
}

class ViewerSql : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        if (type() == 2) {
            VQ_MYSQL_OR_SKIP();
            mysql_ = std::make_unique<vqtest::TempMysqlDatabase>();
            target_ = mysql_->url();
        } else {
            target_ = (dir_.path() / "archive").string();
        }
        vqtest::writeKnownArchive(target_);
        store_ = vqarchive::ArchiveStore::open(target_);
        ASSERT_EQ(store_->serverType(), type());
    }

    int type() const { return GetParam(); }
    // The percent sign as the viewer writes it for this server type.
    std::string mod() const { return type() == 3 ? "%%" : "%"; }
    Rows run(const std::string& sql) { return vqtest::query(*store_, sql); }

    vqtest::TempDir dir_;
    std::unique_ptr<vqtest::TempMysqlDatabase> mysql_;
    std::string target_;
    std::unique_ptr<vqarchive::ArchiveStore> store_;
};

TEST_P(ViewerSql, MediaTypesGiveOneRowPerParticipantWithTheTenColumns) {
    const Rows rows = run(heading(type()) + " m.media_type in ('callrec' ,'fax')" + kTail);
    EXPECT_EQ(mediaIds(rows), (std::set<std::string>{"7", "9", "11", "13"}));
    EXPECT_EQ(rows.size(), 3u + 2u + 2u + 1u);
    std::vector<std::vector<std::string>> record7;
    for (const auto& r : rows) {
        ASSERT_EQ(r.size(), 10u);
        if (r[0] == "7")
            record7.push_back(r);
    }
    ASSERT_EQ(record7.size(), 3u);
    std::sort(record7.begin(), record7.end(),
              [](const auto& a, const auto& b) { return a[8] > b[8]; }); // by role, caller first
    EXPECT_EQ(record7[0][4], "+1 (555) 200-0001");
    EXPECT_EQ(record7[0][5], "0");
    EXPECT_EQ(record7[0][6], "0");
    EXPECT_EQ(record7[0][8], "1");
    EXPECT_EQ(record7[1][4], "Support agent Anna Müller");
    EXPECT_EQ(record7[1][5], "1");
    EXPECT_EQ(record7[1][6], "10");
    EXPECT_EQ(record7[1][8], "0");
    EXPECT_EQ(record7[2][4], "Дмитрий Петров");
    EXPECT_EQ(record7[2][8], "-1");
    for (const auto& r : record7) {
        EXPECT_EQ(r[1], "callrec");
        EXPECT_EQ(r[2], "BBBBB-02-00002-002");
        EXPECT_EQ(r[3], "2000");
        EXPECT_EQ(r[9], "wav");
    }
    for (const auto& r : rows) {
        if (r[0] == "9") {
            EXPECT_EQ(r[9], "pdf");
        }
    }
}

TEST_P(ViewerSql, AGroupParticipantShowsTheGroupsName) {
    const Rows rows = run(heading(type()) + " m.media_type in ('fax')" + kTail);
    bool sawGroup = false;
    for (const auto& r : rows) {
        if (r[6] == "10" && r[5] == "0") {
            EXPECT_EQ(r[4], "Support");
            sawGroup = true;
        }
    }
    EXPECT_TRUE(sawGroup);
}

TEST_P(ViewerSql, AParticipantInARoleSelectsItsRecords) {
    const std::string sql = heading(type()) +
                            " m.media_type in ('callrec') AND ( ( m.Media_ID IN (SELECT Media_ID "
                            "FROM participants WHERE ( User_Id = 1 AND Role = 0)) ) ) " +
                            kTail;
    const Rows rows = run(sql);
    EXPECT_EQ(mediaIds(rows), (std::set<std::string>{"7"}));
    EXPECT_EQ(rows.size(), 3u); // every participant of the record
}

TEST_P(ViewerSql, AgentOrExternalCallerWithoutMediaTypes) {
    const std::string sql =
        heading(type()) +
        "  ( m.Media_ID IN (SELECT Media_ID FROM participants WHERE ( (User_Id = 1 AND  Group_Id "
        "= 10))) or  m.Media_ID IN (SELECT Media_ID FROM participants WHERE ( External_Address = "
        "\"+44 20 1111 2222\" AND Role = 1)) ) " +
        kTail;
    EXPECT_EQ(mediaIds(run(sql)), (std::set<std::string>{"3", "6", "7", "8", "10"}));
}

TEST_P(ViewerSql, TimeSpanAndDailyFrameUseTheDialectsModulo) {
    const std::string sql = heading(type()) + " ((m.Timestamp BETWEEN 1000 AND 2200)) AND (((m." +
                            "Timestamp " + mod() + " 86400 BETWEEN 1005 AND 2100)))" + kTail;
    EXPECT_EQ(mediaIds(run(sql)), (std::set<std::string>{"2", "3", "4", "5", "6", "7", "8", "10"}));
}

TEST_P(ViewerSql, AWrappingDailyFrame) {
    // 23:00 to 00:30 UTC expressed as the viewer renders a wrapping frame.
    const std::string sql = heading(type()) + " (((m.Timestamp " + mod() +
                            " 86400 BETWEEN 82800 AND 86399 ) OR (m.Timestamp " + mod() +
                            " 86400 BETWEEN 0 AND 1050)))" + kTail;
    EXPECT_EQ(mediaIds(run(sql)), (std::set<std::string>{"1", "2"}));
}

TEST_P(ViewerSql, TwoGlobalCallIds) {
    const std::string sql = heading(type()) +
                            " ((m.call_id = 'BBBBB-02-00002-002') OR (m.call_id = "
                            "'CCCCC-03-00003-003'))" +
                            kTail;
    EXPECT_EQ(mediaIds(run(sql)), (std::set<std::string>{"7", "10", "11"}));
}

TEST_P(ViewerSql, CallAttachedDataEqualsAndContains) {
    const std::string equals = heading(type()) +
                               " (( m.call_id IN (SELECT call_id FROM cad WHERE name = 'Queue' "
                               "AND value  = 'Sales')))" +
                               kTail;
    EXPECT_EQ(mediaIds(run(equals)), (std::set<std::string>{"7", "10"}));
    // The viewer doubles the wildcard for every dialect.
    const std::string contains = heading(type()) +
                                 " m.media_type in ('cad') AND (( m.call_id IN (SELECT call_id "
                                 "FROM cad WHERE name = 'CustomerID' AND value  LIKE "
                                 "'%%0001%%')))" +
                                 kTail;
    EXPECT_EQ(mediaIds(run(contains)), (std::set<std::string>{"10"}));
}

TEST_P(ViewerSql, SearchResultQueryListsTheFoundRecords) {
    const std::string sql = heading(type()) + " (m.Media_ID IN ( 1, 4, 5 ) ) " + kTail;
    EXPECT_EQ(mediaIds(run(sql)), (std::set<std::string>{"1", "4", "5"}));
}

TEST_P(ViewerSql, UserListQueryGivesUsersGroupsAndAgentsByName) {
    const Rows rows = run(userListQuery(type()));
    ASSERT_EQ(rows.size(), 3u + 2u + 2u);
    std::set<std::vector<std::string>> got(rows.begin(), rows.end());
    EXPECT_TRUE(got.count({"Anna Müller", "1", "0"}));
    EXPECT_TRUE(got.count({"Support", "0", "10"}));
    EXPECT_TRUE(got.count({"Support agent Anna Müller", "1", "10"}));
    EXPECT_TRUE(got.count({"Отдел продаж agent Дмитрий Петров", "2", "11"}));
    // Sorted by name: "Anna Müller" before "Bob Smith" before "Support".
    const auto pos = [&](const std::string& name) {
        return std::find_if(rows.begin(), rows.end(), [&](const auto& r) { return r[0] == name; }) -
               rows.begin();
    };
    EXPECT_LT(pos("Anna Müller"), pos("Bob Smith"));
    EXPECT_LT(pos("Bob Smith"), pos("Support"));
}

TEST_P(ViewerSql, CadDialogAndPlayerQueries) {
    EXPECT_EQ(run("SELECT DISTINCT name FROM cad ORDER BY name"),
              (Rows{{"CustomerID"}, {"Queue"}}));
    Rows cad = run("SELECT name, value, description FROM cad WHERE call_id = "
                   "'BBBBB-02-00002-002'");
    std::sort(cad.begin(), cad.end());
    EXPECT_EQ(cad, (Rows{{"CustomerID", "C0000001", "Customer number"}, {"Queue", "Sales", ""}}));
}

TEST_P(ViewerSql, AllInstantMessagesQuery) {
    const Rows rows = run("SELECT Media_ID FROM media WHERE media_type='im'");
    EXPECT_EQ(rows.size(), 6u + vqtest::KnownArchive::kFillers);
}

TEST_P(ViewerSql, TheHeadingRunsOverADemoArchive) {
    // Replaces the hand-made archive by a generated one.
    vqarchive::DemoOptions o = vqtest::smallDemo(200, 3);
    o.replace = true;
    const std::string target = type() == 3 ? (dir_.path() / "demo").string() : target_;
    vqarchive::createDemoArchive(target, o);
    auto demo = vqarchive::ArchiveStore::open(target);
    const Rows rows =
        vqtest::query(*demo, heading(type()) + " m.media_type in ('im' ,'fax')" + kTail);
    const std::string expected = vqtest::scalar(
        *demo, "SELECT COUNT(*) FROM participants AS p JOIN media AS m ON m.Media_ID = "
               "p.Media_ID WHERE m.Media_Type IN ('im', 'fax')");
    EXPECT_EQ(std::to_string(rows.size()), expected);
    EXPECT_FALSE(rows.empty());
    for (size_t i = 1; i < rows.size(); ++i)
        EXPECT_LE(std::stoul(rows[i - 1][0]), std::stoul(rows[i][0])) << "ordered by Media_ID";
    for (const auto& r : rows)
        EXPECT_FALSE(r[4].empty()) << "every participant has a display name";
    if (type() != 3)
        return;
    // Read in record order and stopped at the limit: no sort of every match,
    // no pass over all of media before the first row.
    std::string plan;
    for (const auto& r : vqtest::query(*demo, "EXPLAIN QUERY PLAN " + heading(3) +
                                                  " m.media_type in ('im' ,'fax')" + kTail))
        plan += r.back() + "\n";
    EXPECT_NE(plan.find("SCAN p USING COVERING INDEX participants_media_row"), std::string::npos)
        << plan;
    EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("BLOOM"), std::string::npos) << plan;
}

TEST_P(ViewerSql, ACadValueOfManyCallsIsTestedPerRecordInRecordOrder) {
    // Three calls in four are VIP, each call has its own customer, and every
    // tenth record has no call.
    const std::string target = type() == 3 ? (dir_.path() / "cads").string() : target_;
    {
        auto w = vqarchive::createArchiveWriter(target, true);
        w->addUser(1, "Anna", "");
        for (uint32_t id = 1; id <= 1200; ++id) {
            vqarchive::MediaRecord m;
            m.id = id;
            m.type = "im";
            m.callId = id % 10 ? "CALL-" + std::to_string(id) : "";
            m.timestamp = id;
            w->addMedia(m);
            w->addParticipant({id, 1, 0, "", 1});
            if (!m.callId.empty()) {
                w->addCad(m.callId, "Queue", id % 4 ? "VIP" : "Sales", "");
                // Appended, not "C" + string: g++ 12 at -O3 warns falsely on that.
                w->addCad(m.callId, "CustomerID", std::string("C").append(std::to_string(id)), "");
            }
        }
        w->commit();
    }
    auto store = vqarchive::ArchiveStore::open(target);
    const auto listing = [&](const std::string& value, const char* form) {
        char condition[200];
        std::snprintf(condition, sizeof condition, form,
                      ("m.call_id IN (SELECT call_id FROM cad WHERE name = '" + value).c_str());
        return heading(type()) + condition + kTail;
    };
    const char *in = " (( %s')))", *notIn = " (NOT ( %s')))";
    std::vector<std::string> vip, sales;
    for (uint32_t id = 1; id <= 1200; ++id)
        if (id % 10)
            (id % 4 ? vip : sales).push_back(std::to_string(id));
    // In record order, and a record without a call is neither in nor out.
    for (const auto& [sql, expected] :
         {std::pair{listing("Queue' AND value  = 'VIP", in), vip},
          std::pair{listing("Queue' AND value  LIKE 'V%%", in), vip},
          std::pair{listing("Queue' AND value  = 'VIP", notIn), sales},
          std::pair{listing("CustomerID' AND value  = 'C7", in), std::vector<std::string>{"7"}}}) {
        std::vector<std::string> got;
        for (const auto& r : vqtest::query(*store, sql))
            got.push_back(r.at(0));
        EXPECT_EQ(got, expected) << sql;
    }
    const auto plan = [&](const std::string& sql) {
        std::string text;
        for (const auto& r : vqtest::query(
                 *store, std::string(type() == 3 ? "EXPLAIN QUERY PLAN " : "EXPLAIN ") + sql))
            for (const auto& field : r)
                text += field + " ";
        return text;
    };
    const std::string perRecord = type() == 3 ? "CORRELATED" : "DEPENDENT SUBQUERY";
    const std::string common = plan(listing("Queue' AND value  = 'VIP", in));
    EXPECT_NE(common.find(perRecord), std::string::npos) << common;
    EXPECT_EQ(common.find(type() == 3 ? "TEMP B-TREE" : "filesort"), std::string::npos) << common;
    const std::string rare = plan(listing("CustomerID' AND value  = 'C7", in));
    EXPECT_EQ(rare.find(perRecord), std::string::npos) << rare;
}

TEST_P(ViewerSql, ATimeSpanIsWalkedInRecordOrderWithTheSameRows) {
    vqarchive::DemoOptions o = vqtest::smallDemo(600, 5);
    o.replace = true;
    const std::string target = type() == 3 ? (dir_.path() / "span").string() : target_;
    vqarchive::createDemoArchive(target, o);
    auto demo = vqarchive::ArchiveStore::open(target);
    const std::string span = "m.Timestamp BETWEEN " +
                             std::to_string(vqtest::kDemoEnd - 30 * 86400) + " AND " +
                             std::to_string(vqtest::kDemoEnd - 20 * 86400);
    const std::string inSpan = " FROM participants AS p JOIN media AS m ON m.Media_ID = "
                               "p.Media_ID WHERE " +
                               span;
    const std::string user = vqtest::scalar(*demo, "SELECT MAX(p.User_ID)" + inSpan);
    const std::string group =
        vqtest::scalar(*demo, "SELECT MIN(p.Group_ID)" + inSpan + " AND m.Media_Type = 'callrec'");
    const std::string types = " m.media_type in ('im' ,'callrec' ,'vm' ,'fax') AND ";
    const std::string list = "m.Media_ID IN (SELECT Media_ID FROM participants WHERE ( ";
    const auto check = [&](const std::string& ofRecords) {
        for (const std::string& c : {types, " ( " + list + "User_Id = " + user + ")) )  AND ",
                                     " m.media_type in ('callrec') AND ( ( " + list +
                                         "Group_Id = " + group + ")) ) ) AND "}) {
            const std::string walked = heading(type()) + c + "((" + span + "))" + kTail;
            // The same condition in a form no backend reshapes.
            const std::string plain = heading(type()) + c + "((" + span + ") OR 0 = 1)" + kTail;
            const Rows rows = vqtest::query(*demo, walked);
            EXPECT_GT(rows.size(), 3u) << ofRecords << c;
            EXPECT_EQ(rows, vqtest::query(*demo, plain)) << ofRecords << c;
            // A participant of records enough to be tested per record (only
            // in far larger archives than this) lists the same.
            const auto found = vqarchive::findTimeSpan(walked, vqarchive::Dialect::sqlite);
            const std::string tested = vqarchive::reshapedSpanListing(
                walked, type() == 3 ? vqarchive::Dialect::sqlite : vqarchive::Dialect::mariadb,
                *found, std::nullopt, {true});
            EXPECT_TRUE(c == types || vqtest::query(*demo, tested) == rows) << tested;
            std::string plan;
            for (const auto& r :
                 vqtest::query(*demo, (type() == 3 ? "EXPLAIN QUERY PLAN " : "EXPLAIN ") + walked))
                plan += r.back() + "\n";
            // (Records far from their neighbours' numbers leave it unbounded.)
            const bool asMade = ofRecords == std::string("as made");
            EXPECT_TRUE(c != types || !asMade ||
                        plan.find(type() == 3 ? "TEMP B-TREE" : "filesort") == std::string::npos)
                << plan;
        }
    };
    check("as made");
    // Records added by another writer, in the span and beyond it, and
    // deleted ones are found as before.
    demo.reset();
    const std::string t = std::to_string(vqtest::kDemoEnd - 25 * 86400);
    const std::string parties = ", " + user + ", " + group + ", NULL, 1)";
    const std::string sql =
        "INSERT INTO media VALUES (9000, 'callrec', NULL, 1, NULL, 1, 0), (9001, "
        "'callrec', NULL, " +
        t + ", NULL, 1, 0); UPDATE media SET Timestamp = " + t +
        " WHERE Media_ID = 9000; INSERT INTO participants VALUES (9000" + parties + ", (9001" +
        parties;
    if (type() == 3) {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open((dir_.path() / "span" / "archive.sqlite").c_str(), &raw), SQLITE_OK);
        std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
        ASSERT_EQ(sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db.get());
    } else {
        mysql_->run("BEGIN NOT ATOMIC " + sql + "; END");
    }
    demo = vqarchive::ArchiveStore::open(target);
    const std::string first =
        vqtest::scalar(*demo, "SELECT MIN(Media_ID) FROM media AS m WHERE " + span);
    ASSERT_EQ(demo->deleteRecords({static_cast<uint32_t>(std::stoul(first))}).records, 1u);
    check("changed");
    EXPECT_EQ(vqtest::query(*demo, heading(type()) + "m.Media_ID >= 9000" + kTail).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Dialects, ViewerSql, ::testing::Values(3, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == 3 ? std::string("SQLite")
                                                    : std::string("MariaDB");
                         });

} // namespace
