// Text searches of the archive server at a size where they take a while: a
// client sees the progress while the records are searched, and a cancel
// stops the search where it stands instead of after all records.
#include "ServerTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace vqtest;

// A long search over the small known archive: its filler messages, over
// and over.
std::vector<uint32_t> manyIds(size_t count) {
    std::vector<uint32_t> ids;
    ids.reserve(count);
    for (size_t i = 0; i < count; ++i)
        ids.push_back(KnownArchive::kFirstFiller +
                      static_cast<uint32_t>(i % KnownArchive::kFillers));
    return ids;
}

class SearchJobs : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::make_unique<TempDir>();
        writeKnownArchive(dir_->str());
        server_ = std::make_unique<TestServer>(dir_->str());
        client_ = std::make_unique<RawClient>(server_->port());
        ASSERT_TRUE(client_->initialize().passwordValid);
    }
    void TearDown() override {
        client_.reset();
        server_.reset();
    }
    Results& results() { return client_->results(); }

    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<TestServer> server_;
    std::unique_ptr<RawClient> client_;
};

TEST_F(SearchJobs, ProgressArrivesWhileTheRecordsAreSearched) {
    const auto ids = manyIds(400000);
    const auto total = static_cast<uint32_t>(ids.size());
    client_->search(1, ids, {"NEEDLE"}, IPC_DA_DBServer::smAnyOf);
    ASSERT_TRUE(results().waitUntil([&] { return !results().searches(1).empty(); }, 20000));
    // The first report comes long before the last record is searched.
    EXPECT_LT(results().searches(1).front().searched, total / 4);
    ASSERT_TRUE(results().waitSearchDone(1, total, 120000));

    const auto reports = results().searches(1);
    EXPECT_GE(reports.size(), total / 100);
    uint32_t previous = 0;
    size_t hits = 0;
    for (const auto& r : reports) {
        EXPECT_EQ(r.code, deSuccess) << r.message;
        EXPECT_GT(r.searched, previous);
        EXPECT_LE(r.searched - previous, 100u);
        previous = r.searched;
        for (uint32_t id : r.found)
            EXPECT_TRUE(KnownArchive::fillerHasNeedle(id)) << id;
        hits += r.found.size();
    }
    EXPECT_EQ(reports.back().searched, total);
    // Every occurrence of a hit in the list is reported.
    size_t expected = 0;
    for (uint32_t id : ids)
        expected += KnownArchive::fillerHasNeedle(id) ? 1 : 0;
    EXPECT_EQ(hits, expected);
}

TEST_F(SearchJobs, ACancelStopsTheSearchWhereItStands) {
    const auto ids = manyIds(900000);
    const auto total = static_cast<uint32_t>(ids.size());
    client_->search(2, ids, {"needle"}, IPC_DA_DBServer::smAllOf);
    ASSERT_TRUE(results().waitUntil(
        [&] {
            const auto r = results().searches(2);
            return !r.empty() && r.back().searched >= 10000;
        },
        60000));
    const uint32_t atCancel = results().searches(2).back().searched;
    ASSERT_LT(atCancel, total);
    client_->cancel(IPC_DA_DBServer::opSearchText, 2);
    ASSERT_TRUE(results().waitSearchDone(2, total, 20000));

    const auto reports = results().searches(2);
    ASSERT_FALSE(reports.empty());
    // The job ends with one report of the cancellation, counting it done.
    EXPECT_EQ(reports.back().code, deCancelled);
    EXPECT_EQ(reports.back().searched, total);
    uint32_t lastSearched = 0;
    for (size_t i = 0; i + 1 < reports.size(); ++i) {
        EXPECT_EQ(reports[i].code, deSuccess);
        lastSearched = reports[i].searched;
    }
    // Little was searched after the cancel: the work stopped, it was not
    // merely left unreported.
    EXPECT_LT(lastSearched - atCancel, total / 10)
        << "searched " << lastSearched << " of " << total << ", cancelled at " << atCancel;
    EXPECT_TRUE(server_->waitForLog("CancelOperation SearchText 2: cancelling"));
    EXPECT_TRUE(server_->waitForLog("job SearchText 2 finished"));

    // The connection serves the next search at once.
    client_->search(3, manyIds(300), {"needle"}, IPC_DA_DBServer::smAllOf);
    ASSERT_TRUE(results().waitSearchDone(3, 300));
    EXPECT_EQ(results().searches(3).back().code, deSuccess);
}

TEST_F(SearchJobs, AllOfAndAnyOfOverMessagesOfSeveralScripts) {
    // Records 1 to 6 of the known archive: hello world, Заказ, München, ...
    const std::vector<uint32_t> ids = {1, 2, 3, 4, 5, 6};
    auto hits = [&](uint32_t job) {
        std::set<uint32_t> s;
        for (const auto& r : results().searches(job))
            s.insert(r.found.begin(), r.found.end());
        return s;
    };
    client_->search(10, ids, {"HELLO", "world"}, IPC_DA_DBServer::smAllOf);
    client_->search(11, ids, {"again", "заказ", "nowhere"}, IPC_DA_DBServer::smAnyOf);
    client_->search(12, ids, {"again", "nowhere"}, IPC_DA_DBServer::smAllOf);
    ASSERT_TRUE(results().waitSearchDone(10, 6));
    ASSERT_TRUE(results().waitSearchDone(11, 6));
    ASSERT_TRUE(results().waitSearchDone(12, 6));
    EXPECT_EQ(hits(10), (std::set<uint32_t>{1}));
    EXPECT_EQ(hits(11), (std::set<uint32_t>{2, 4}));
    EXPECT_TRUE(hits(12).empty());
}

} // namespace
