// What every archive backend must do, written once and compiled into each
// backend's test program. The including file defines STORE_SUITE (the test
// suite name) and makeTestBackend().
#pragma once

#include "Prng.h"
#include "Schema.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#ifndef STORE_SUITE
#error "define STORE_SUITE before including StoreContract.h"
#endif

namespace vqtest {

class TestBackend {
public:
    virtual ~TestBackend() = default;
    // Where archives are written and opened from.
    virtual std::string target() const = 0;
    virtual int serverType() const = 0;
    // Whether a data file is still stored anywhere.
    virtual bool dataFileExists(const std::string& filename) = 0;
    // Runs a statement with the archive owner's rights (set-up only).
    virtual void runAsOwner(const std::string& sql) = 0;
    // The names of the archive's indexes (and on SQLite of its tables).
    virtual std::set<std::string> schemaNames() = 0;
};

} // namespace vqtest

// Null means the backend is not available here (the test is then skipped
// or failed by the function itself).
std::unique_ptr<vqtest::TestBackend> makeTestBackend();

class StoreContract : public ::testing::Test {
protected:
    void SetUp() override {
        backend_ = makeTestBackend();
        if (!backend_) {
            // A backend that is required but missing has recorded a failure.
            if (HasFailure())
                FAIL() << "backend required but not available";
            GTEST_SKIP() << "backend not available";
        }
        known_ = vqtest::writeKnownArchive(backend_->target());
        store_ = vqarchive::ArchiveStore::open(backend_->target());
    }

    std::vector<uint32_t> fillerIds() const {
        std::vector<uint32_t> ids;
        for (uint32_t i = 0; i < vqtest::KnownArchive::kFillers; ++i)
            ids.push_back(vqtest::KnownArchive::kFirstFiller + i);
        return ids;
    }

    struct SearchRun {
        vqarchive::StoreResult result;
        std::vector<uint32_t> counts;
        std::vector<uint32_t> found;
    };
    SearchRun search(const std::vector<uint32_t>& ids, const std::vector<std::string>& phrases,
                     bool allOf) {
        SearchRun run;
        vqarchive::CancelToken cancel;
        run.result = store_->searchText(
            ids, phrases, allOf,
            [&](uint32_t searched, std::vector<uint32_t>&& found) {
                run.counts.push_back(searched);
                run.found.insert(run.found.end(), found.begin(), found.end());
                return true;
            },
            cancel);
        std::sort(run.found.begin(), run.found.end());
        return run;
    }

    std::unique_ptr<vqtest::TestBackend> backend_;
    std::unique_ptr<vqarchive::ArchiveStore> store_;
    vqtest::KnownArchive known_;
};

using STORE_SUITE = StoreContract;

using vqarchive::StoreCode;
using vqtest::collect;
using vqtest::Collected;
using vqtest::query;
using vqtest::scalar;

TEST_F(STORE_SUITE, AnArchiveWithTheEarlierIndexesIsBroughtUpToDateWhenOpened) {
    store_.reset();
    const bool maria = backend_->serverType() == 2;
    backend_->runAsOwner(maria ? "DROP INDEX participants_media_row ON participants"
                               : "DROP INDEX participants_media_row");
    backend_->runAsOwner("CREATE INDEX participants_media ON participants (Media_ID)");
    backend_->runAsOwner("CREATE INDEX cad_name_value ON cad (name, value)");
    backend_->runAsOwner(maria ? "DROP TABLE media_days"
                               : "DROP TABLE sqlite_stat1; DROP TABLE media_days");
    ASSERT_FALSE(backend_->schemaNames().count("participants_media_row"));

    store_ = vqarchive::ArchiveStore::open(backend_->target());
    ASSERT_TRUE(store_->status().reachable);
    const auto names = backend_->schemaNames();
    for (const char* wanted : {"participants_media_row", "participants_user_media",
                               "participants_group_media", "cad_name_value_call"})
        EXPECT_TRUE(names.count(wanted)) << wanted;
    for (const char* retired : {"participants_media", "cad_name_value"})
        EXPECT_FALSE(names.count(retired)) << retired;
    // InnoDB keeps statistics of every table itself.
    EXPECT_TRUE(maria || names.count("sqlite_stat1"));
    for (const char* days : {"media_days", "media_days_insert", "media_days_update"})
        EXPECT_TRUE(maria || names.count(days)) << days;
    EXPECT_TRUE(!maria || scalar(*store_, "SELECT SUM(records) FROM media_days") ==
                              scalar(*store_, "SELECT COUNT(*) FROM media"));
    EXPECT_EQ(scalar(*store_, "SELECT value FROM archive_info WHERE name = 'schema_version'"),
              std::to_string(vqarchive::kSchemaVersion));
}

TEST_F(STORE_SUITE, ReportsItsDialectAndIsReachable) {
    EXPECT_EQ(store_->serverType(), backend_->serverType());
    const auto s = store_->status();
    EXPECT_TRUE(s.reachable) << s.message;
}

TEST_F(STORE_SUITE, ColumnsComeInStatementOrderWithTheirNames) {
    Collected c;
    ASSERT_TRUE(
        collect(*store_, "SELECT Timestamp, Media_Type, Media_ID FROM media WHERE Media_ID = 7", c)
            .ok());
    const auto rows = c.rows();
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].size(), 3u);
    EXPECT_EQ(rows[0][0].name, "Timestamp");
    EXPECT_EQ(rows[0][0].value, "2000");
    EXPECT_EQ(rows[0][1].name, "Media_Type");
    EXPECT_EQ(rows[0][1].value, "callrec");
    EXPECT_EQ(rows[0][2].name, "Media_ID");
    EXPECT_EQ(rows[0][2].value, "7");
}

TEST_F(STORE_SUITE, SqlNullComesOutAsEmptyText) {
    const auto rows = query(*store_, "SELECT External_Address, User_ID, Role FROM participants "
                                     "WHERE Media_ID = 1 AND Role = 1");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "");
    EXPECT_EQ(rows[0][1], "1");
    EXPECT_EQ(query(*store_, "SELECT NULL AS a, 'x' AS b")[0], (std::vector<std::string>{"", "x"}));
}

TEST_F(STORE_SUITE, NonAsciiTextsSurviveTheRoundTrip) {
    EXPECT_EQ(scalar(*store_, "SELECT Display_Name FROM users WHERE User_ID = 2"),
              "Дмитрий Петров");
    EXPECT_EQ(scalar(*store_, "SELECT Display_Name FROM groups WHERE Group_ID = 11"),
              "Отдел продаж");
}

TEST_F(STORE_SUITE, RowsArriveInBatchesAndOnlyTheLastSaysNoMore) {
    Collected c;
    ASSERT_TRUE(collect(*store_,
                        "SELECT Media_ID FROM media WHERE Media_ID >= 100 ORDER BY "
                        "Media_ID LIMIT 70",
                        c, 32)
                    .ok());
    ASSERT_EQ(c.batches.size(), 3u);
    EXPECT_EQ(c.batches[0].size(), 32u);
    EXPECT_EQ(c.batches[1].size(), 32u);
    EXPECT_EQ(c.batches[2].size(), 6u);
    EXPECT_EQ(c.hasMore, (std::vector<bool>{true, true, false}));
    const auto rows = c.rows();
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(rows[i][0].value, std::to_string(100 + i));
}

TEST_F(STORE_SUITE, AnExactMultipleOfTheBatchSizeEndsWithoutAnEmptyBatch) {
    Collected c;
    ASSERT_TRUE(collect(*store_,
                        "SELECT Media_ID FROM media WHERE Media_ID >= 100 ORDER BY "
                        "Media_ID LIMIT 64",
                        c, 32)
                    .ok());
    ASSERT_EQ(c.batches.size(), 2u);
    EXPECT_EQ(c.hasMore, (std::vector<bool>{true, false}));
    EXPECT_EQ(c.rowCount(), 64u);
}

TEST_F(STORE_SUITE, NoRowsGiveOneEmptyFinalBatch) {
    Collected c;
    ASSERT_TRUE(collect(*store_, "SELECT Media_ID FROM media WHERE Media_ID = 999999", c).ok());
    ASSERT_EQ(c.batches.size(), 1u);
    EXPECT_TRUE(c.batches[0].empty());
    EXPECT_FALSE(c.hasMore[0]);
}

TEST_F(STORE_SUITE, ASmallerBatchSizeIsHonoured) {
    Collected c;
    ASSERT_TRUE(
        collect(*store_, "SELECT Media_ID FROM media WHERE Media_ID >= 100 LIMIT 25", c, 4).ok());
    EXPECT_EQ(c.batches.size(), 7u);
    for (const auto& b : c.batches)
        EXPECT_LE(b.size(), 4u);
    EXPECT_EQ(c.rowCount(), 25u);
}

TEST_F(STORE_SUITE, WritingStatementsFailAndChangeNothing) {
    for (const char* sql : {"UPDATE media SET Media_Type = 'x'", "DELETE FROM participants",
                            "INSERT INTO users VALUES (99, 'Mallory', NULL)", "DROP TABLE cad"}) {
        Collected c;
        const auto r = collect(*store_, sql, c);
        EXPECT_EQ(r.code, StoreCode::sqlError) << sql;
        EXPECT_FALSE(r.message.empty()) << sql;
        for (bool more : c.hasMore)
            EXPECT_TRUE(more) << "a failed statement must not report a final batch";
    }
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM media WHERE Media_Type = 'x'"), "0");
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM users"), "3");
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM cad"), "2");
    EXPECT_NE(scalar(*store_, "SELECT COUNT(*) FROM participants"), "0");
}

TEST_F(STORE_SUITE, StatementErrorsCarryTheDatabasesMessage) {
    Collected c;
    const auto r = collect(*store_, "SELECT no_such_column FROM media", c);
    EXPECT_EQ(r.code, StoreCode::sqlError);
    EXPECT_NE(r.message.find("no_such_column"), std::string::npos) << r.message;
    EXPECT_TRUE(c.batches.empty());
}

TEST_F(STORE_SUITE, RecordingsFaxesAndVoiceMailStreamIntact) {
    struct Case {
        uint32_t id;
        const std::vector<uint8_t>* bytes;
    };
    for (const Case& k : {Case{7, &known_.wavA}, Case{8, &known_.wavB}, Case{9, &known_.pdf},
                          Case{11, &known_.wavA}}) {
        std::vector<uint8_t> got;
        size_t pieces = 0, largest = 0;
        const auto r = vqtest::download(*store_, k.id, got, 1000, &pieces, &largest);
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_EQ(got.size(), k.bytes->size());
        EXPECT_EQ(vqarchive::contentHash(got), vqarchive::contentHash(*k.bytes)) << k.id;
        EXPECT_LE(largest, 1000u);
        EXPECT_EQ(pieces, (k.bytes->size() + 999) / 1000);
    }
    std::vector<uint8_t> wav;
    ASSERT_TRUE(vqtest::download(*store_, 7, wav, 65536).ok());
    EXPECT_EQ(vqtest::parseWav(wav).error, "");
}

TEST_F(STORE_SUITE, MessagesAndCallAttachedDataStreamAsText) {
    std::vector<uint8_t> got;
    ASSERT_TRUE(vqtest::download(*store_, 4, got, 5).ok());
    EXPECT_EQ(std::string(got.begin(), got.end()), "Добрый день! Заказ готов.");
    got.clear();
    ASSERT_TRUE(vqtest::download(*store_, 10, got).ok());
    const std::string cad(got.begin(), got.end());
    EXPECT_NE(cad.find("CustomerID: C0000001\n"), std::string::npos) << cad;
    EXPECT_NE(cad.find("Queue: Sales\n"), std::string::npos) << cad;
}

TEST_F(STORE_SUITE, MissingDataIsReportedAsSuch) {
    for (uint32_t id : {999999u, 12u, 13u, 14u}) {
        std::vector<uint8_t> got;
        const auto r = vqtest::download(*store_, id, got);
        EXPECT_EQ(r.code, StoreCode::readFailed) << id;
        EXPECT_NE(r.message.find(std::to_string(id)), std::string::npos) << r.message;
        EXPECT_TRUE(got.empty());
    }
}

TEST_F(STORE_SUITE, SearchIgnoresCaseAlsoBeyondAscii) {
    const std::vector<uint32_t> ids = {1, 2, 3, 4, 5, 6, 7, 14};
    EXPECT_EQ(search(ids, {"HELLO"}, true).found, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(search(ids, {"münchen"}, true).found, (std::vector<uint32_t>{3}));
    EXPECT_EQ(search(ids, {"herr müller"}, true).found, (std::vector<uint32_t>{3}));
    EXPECT_EQ(search(ids, {"ДОБРЫЙ ДЕНЬ"}, true).found, (std::vector<uint32_t>{4}));
    EXPECT_EQ(search(ids, {"ΚΑΛΗΜΈΡΑ"}, true).found, (std::vector<uint32_t>{5}));
    EXPECT_EQ(search(ids, {"WWW.EXAMPLE.COM"}, true).found, (std::vector<uint32_t>{1}));
}

TEST_F(STORE_SUITE, SearchCombinesPhrasesAllOfOrAnyOf) {
    const std::vector<uint32_t> ids = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(search(ids, {"hello", "world"}, true).found, (std::vector<uint32_t>{1}));
    EXPECT_EQ(search(ids, {"hello", "world"}, false).found, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(search(ids, {"again", "Заказ", "nowhere"}, false).found,
              (std::vector<uint32_t>{2, 4}));
    EXPECT_TRUE(search(ids, {"again", "nowhere"}, true).found.empty());
    // Only instant messages are searched: the web chat 6 says "hello world".
    EXPECT_TRUE(search({6}, {"hello"}, false).found.empty());
}

TEST_F(STORE_SUITE, SearchReportsProgressAtLeastEveryHundredRecords) {
    const auto ids = fillerIds();
    const auto run = search(ids, {"needle"}, true);
    ASSERT_TRUE(run.result.ok()) << run.result.message;
    ASSERT_FALSE(run.counts.empty());
    EXPECT_EQ(run.counts.back(), ids.size());
    uint32_t previous = 0;
    for (uint32_t count : run.counts) {
        EXPECT_GT(count, previous);
        EXPECT_LE(count - previous, 100u);
        previous = count;
    }
    std::vector<uint32_t> expected;
    for (uint32_t id : ids)
        if (vqtest::KnownArchive::fillerHasNeedle(id))
            expected.push_back(id);
    EXPECT_EQ(run.found, expected); // each hit once
}

TEST_F(STORE_SUITE, SearchOfNoRecordsEndsWithOneReportOfZero) {
    const auto run = search({}, {"hello"}, true);
    EXPECT_TRUE(run.result.ok());
    EXPECT_EQ(run.counts, (std::vector<uint32_t>{0}));
}

TEST_F(STORE_SUITE, SearchWithoutPhrasesFindsNothingButCountsEverything) {
    const auto run = search({1, 2, 3}, {"", ""}, false);
    EXPECT_TRUE(run.result.ok());
    EXPECT_TRUE(run.found.empty());
    EXPECT_EQ(run.counts.back(), 3u);
}

TEST_F(STORE_SUITE, DeleteRemovesRowsAndUnsharedData) {
    ASSERT_TRUE(backend_->dataFileExists(known_.fileC));
    const auto d = store_->deleteRecords({9, 999999});
    ASSERT_TRUE(d.result.ok()) << d.result.message;
    EXPECT_EQ(d.records, 1u);
    EXPECT_EQ(d.files, 1u);
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM media WHERE Media_ID = 9"), "0");
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM participants WHERE Media_ID = 9"), "0");
    EXPECT_FALSE(backend_->dataFileExists(known_.fileC));
    std::vector<uint8_t> got;
    EXPECT_EQ(vqtest::download(*store_, 9, got).code, StoreCode::readFailed);
}

TEST_F(STORE_SUITE, DeleteKeepsDataThatAnotherRecordStillUses) {
    auto d = store_->deleteRecords({7});
    ASSERT_TRUE(d.result.ok()) << d.result.message;
    EXPECT_EQ(d.files, 0u);
    EXPECT_TRUE(backend_->dataFileExists(known_.fileA));
    std::vector<uint8_t> got;
    ASSERT_TRUE(vqtest::download(*store_, 11, got).ok());
    EXPECT_EQ(got, known_.wavA);
    // The call's data stays while its cad record 10 remains.
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM cad"), "2");
    d = store_->deleteRecords({10, 11});
    ASSERT_TRUE(d.result.ok());
    EXPECT_EQ(d.records, 2u);
    EXPECT_EQ(d.files, 1u);
    EXPECT_FALSE(backend_->dataFileExists(known_.fileA));
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM cad"), "0");
}

TEST_F(STORE_SUITE, DeleteRemovesMessageTexts) {
    ASSERT_TRUE(store_->deleteRecords({1, 2}).result.ok());
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM messages WHERE Media_ID IN (1, 2)"), "0");
    EXPECT_TRUE(search({1, 2}, {"hello"}, false).found.empty());
}

TEST_F(STORE_SUITE, CancellationStopsALongQuery) {
    vqarchive::CancelToken cancel;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel.cancel();
    });
    // Billions of combinations: runs far longer than any test.
    const auto r = store_->execute(
        "SELECT COUNT(*) FROM participants AS a, participants AS b, "
        "participants AS c, participants AS d",
        32, [](std::vector<vqarchive::Row>&&, bool) { return true; }, cancel);
    canceller.join();
    EXPECT_EQ(r.code, StoreCode::cancelled) << r.message;
    // The store is still usable afterwards.
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM users"), "3");
}

TEST_F(STORE_SUITE, AReceiverThatStopsEndsTheStatement) {
    vqarchive::CancelToken cancel;
    int batches = 0;
    const auto r = store_->execute(
        "SELECT a.Media_ID FROM participants AS a, participants AS b, participants AS c", 10,
        [&](std::vector<vqarchive::Row>&&, bool) { return ++batches < 3; }, cancel);
    EXPECT_EQ(r.code, StoreCode::cancelled);
    EXPECT_EQ(batches, 3);
}

TEST_F(STORE_SUITE, ACancelledTokenStopsDownloadsAndSearches) {
    vqarchive::CancelToken cancel;
    cancel.cancel();
    size_t pieces = 0;
    auto r = store_->readData(
        7, 100, [&](const uint8_t*, size_t) { return ++pieces, true; }, cancel);
    EXPECT_EQ(r.code, StoreCode::cancelled);
    EXPECT_EQ(pieces, 0u);
    r = store_->searchText(
        fillerIds(), {"needle"}, true, [](uint32_t, std::vector<uint32_t>&&) { return true; },
        cancel);
    EXPECT_EQ(r.code, StoreCode::cancelled);
}

TEST_F(STORE_SUITE, CallsFromSeveralThreadsAtOnceAllSucceed) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) {
                Collected c;
                if (!collect(*store_, "SELECT Media_ID FROM media WHERE Media_ID >= 100", c).ok() ||
                    c.rowCount() != vqtest::KnownArchive::kFillers)
                    ++failures;
                std::vector<uint8_t> got;
                if (!vqtest::download(*store_, 7, got).ok() || got != known_.wavA)
                    ++failures;
                vqarchive::CancelToken cancel;
                if (!store_
                         ->searchText(
                             {1, 2}, {"hello"}, true,
                             [](uint32_t, std::vector<uint32_t>&&) { return true; }, cancel)
                         .ok())
                    ++failures;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}
