#include "QREX_Header.h"
#include "QREX_TCP_Stream.h"
#include "qrex_test_support.h"

#include <random>

using namespace qrex_test;

namespace {

std::vector<Fragment_Info> fragments_of(const Bytes& wire) {
    std::vector<Fragment_Info> f;
    unframe(wire, &f);
    return f;
}

} // namespace

// ---------------------------------------------------------------- sending

TEST(TCP_Stream_Send, SixteenByteMessageIsOneLastFragment) {
    Memory_Adapter adapter;
    QREX_TCP_Stream stream(&adapter);
    for (qrex_uint32_t w : {1u, 2u, 3u, 4u})
        stream.put_int32(w);
    stream.end_record();
    EXPECT_EQ(adapter.output, words({0x80000010u, 1, 2, 3, 4}));
    // header and payload in one write
    EXPECT_EQ(adapter.writes, std::vector<size_t>{20});
}

TEST(TCP_Stream_Send, FragmentsLeaveOnlyWhenTheNextWordDoesNotFit) {
    for (qrex_uint32_t n : {1023u, 1024u}) {
        Memory_Adapter adapter;
        QREX_TCP_Stream stream(&adapter);
        for (qrex_uint32_t i = 0; i < n; ++i)
            stream.put_int32(i);
        EXPECT_EQ(adapter.output.size(), n == 1023 ? 0u : 4096u) << "sent eagerly";
        stream.end_record();
        const auto f = fragments_of(adapter.output);
        if (n == 1023) {
            ASSERT_EQ(f.size(), 1u);
            EXPECT_EQ(f[0].size, 4092u);
            EXPECT_TRUE(f[0].last);
        } else {
            ASSERT_EQ(f.size(), 2u);
            EXPECT_EQ(f[0].size, 4092u);
            EXPECT_FALSE(f[0].last);
            EXPECT_EQ(f[1].size, 4u);
            EXPECT_TRUE(f[1].last);
        }
        const Bytes payload = unframe(adapter.output);
        EXPECT_EQ(Bytes(payload.end() - 4, payload.end()), words({n - 1}));
    }
}

TEST(TCP_Stream_Send, ByteBlockIsSplitAtAnyByte) {
    Memory_Adapter adapter;
    QREX_TCP_Stream stream(&adapter);
    for (qrex_uint32_t w : {1u, 2u, 3u, 4u})
        stream.put_int32(w);
    Bytes block(5000);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<unsigned char>(i);
    stream.put_bytes(block.data(), block.size());
    stream.end_record();
    const auto f = fragments_of(adapter.output);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].size, 4092u);
    EXPECT_FALSE(f[0].last);
    EXPECT_EQ(f[1].size, 924u);
    EXPECT_TRUE(f[1].last);
    EXPECT_EQ(unframe(adapter.output), cat({words({1, 2, 3, 4}), block}));
}

TEST(TCP_Stream_Send, WordAfterOddBytesStartsANewFragment) {
    Memory_Adapter adapter;
    QREX_TCP_Stream stream(&adapter);
    Bytes block(4090, 1);
    stream.put_bytes(block.data(), block.size());
    stream.put_int32(0xAABBCCDD);
    stream.end_record();
    const auto f = fragments_of(adapter.output);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].size, 4090u);
    EXPECT_EQ(f[1].size, 4u);
}

TEST(TCP_Stream_Send, FragmentLineAtLevelThree) {
    EXPECT_TRUE(logs_at_level(3, "send fragment 4, L\n", [] {
        Memory_Adapter adapter;
        QREX_TCP_Stream stream(&adapter);
        stream.put_int32(1);
        stream.end_record();
    }));
    EXPECT_TRUE(logs_at_level(3, "send fragment 4092, \n", [] {
        Memory_Adapter adapter;
        QREX_TCP_Stream stream(&adapter);
        for (int i = 0; i < 1024; ++i)
            stream.put_int32(1);
    }));
}

TEST(TCP_Stream_Send, AbortBeforeAnyFragmentDropsTheRecord) {
    Memory_Adapter adapter;
    QREX_TCP_Stream stream(&adapter);
    stream.put_int32(1);
    stream.put_int32(2);
    stream.abort_record();
    EXPECT_TRUE(adapter.output.empty());
    stream.put_int32(3);
    stream.end_record();
    EXPECT_EQ(adapter.output, words({0x80000004u, 3}));
}

TEST(TCP_Stream_Send, AbortAfterAFragmentClosesTheRecordEmpty) {
    Memory_Adapter adapter;
    QREX_TCP_Stream stream(&adapter);
    for (int i = 0; i < 1100; ++i)
        stream.put_int32(1);
    stream.abort_record();
    stream.put_int32(9);
    stream.end_record();
    const auto f = fragments_of(adapter.output);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].size, 4092u);
    EXPECT_FALSE(f[0].last);
    EXPECT_EQ(f[1].size, 0u);
    EXPECT_TRUE(f[1].last);
    EXPECT_EQ(f[2].size, 4u);
    EXPECT_TRUE(f[2].last);
}

// ---------------------------------------------------------------- receiving

TEST(TCP_Stream_Receive, FragmentsOfOneZeroAndThreeBytesMakeOneWord) {
    Memory_Adapter adapter(
        cat({fragment({0x12}, false), fragment({}, false), fragment({0x34, 0x56, 0x78}, true)}));
    QREX_TCP_Stream stream(&adapter);
    EXPECT_EQ(stream.get_int32(), 0x12345678u);
}

TEST(TCP_Stream_Receive, LongFragmentIsReadInPiecesOfAtMost4096) {
    Bytes payload(10000);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<unsigned char>(i * 3);
    Memory_Adapter adapter(record(payload));
    QREX_TCP_Stream stream(&adapter);
    Bytes back(payload.size());
    stream.get_bytes(back.data(), back.size());
    EXPECT_EQ(back, payload);
    for (size_t r : adapter.requests)
        EXPECT_LE(r, 4096u);
    EXPECT_GE(adapter.requests.size(), 4u); // header + three pieces
}

TEST(TCP_Stream_Receive, SkipRecordDropsTheRestAndItsLaterFragments) {
    const Bytes first = cat({fragment(words({1, 2, 3}), false), fragment(words({4, 5}), false),
                             fragment(words({6}), true)});
    Memory_Adapter adapter(cat({first, record(words({7, 8}))}), Memory_Adapter::random_split, 3);
    QREX_TCP_Stream stream(&adapter);
    stream.skip_record(); // at the start: only empties the buffer
    EXPECT_EQ(adapter.consumed(), 0u);
    EXPECT_EQ(stream.get_int32(), 1u);
    stream.skip_record();
    EXPECT_EQ(stream.get_int32(), 7u);
    EXPECT_EQ(stream.get_int32(), 8u);
}

TEST(TCP_Stream_Receive, SkipRecordAfterAWholeRecordReadsNothingMore) {
    Memory_Adapter adapter(cat({record(words({1})), record(words({2}))}));
    QREX_TCP_Stream stream(&adapter);
    EXPECT_EQ(stream.get_int32(), 1u);
    stream.skip_record();
    EXPECT_EQ(adapter.consumed(), 8u);
    EXPECT_EQ(stream.get_int32(), 2u);
}

TEST(TCP_Stream_Receive, ReadingPastTheRecordEndIsNoMoreData) {
    Memory_Adapter adapter(cat({record(words({1})), record(words({2, 3}))}));
    QREX_TCP_Stream stream(&adapter);
    EXPECT_EQ(stream.get_int32(), 1u);
    try {
        stream.get_int32();
        FAIL() << "read into the next record";
    } catch (const QREX_XDR_Error& e) {
        EXPECT_STREQ(e.what(), "no_more_data");
    }
    // The next record is intact.
    stream.skip_record();
    EXPECT_EQ(stream.get_int32(), 2u);
    EXPECT_EQ(stream.get_int32(), 3u);
}

TEST(TCP_Stream_Receive, RecordEndingInAnEmptyLastFragmentStillEnds) {
    Memory_Adapter adapter(
        cat({fragment(words({1}), false), fragment({}, true), record(words({2}))}));
    QREX_TCP_Stream stream(&adapter);
    EXPECT_EQ(stream.get_int32(), 1u);
    EXPECT_THROW(stream.get_int32(), QREX_XDR_Error);
    stream.skip_record();
    EXPECT_EQ(stream.get_int32(), 2u);
}

TEST(TCP_Stream_Receive, ClaimedHugeFragmentThenSilenceIsACommunicationError) {
    Memory_Adapter adapter(cat({words({0xFFFFFFFFu}), Bytes(10, 1)}));
    QREX_TCP_Stream stream(&adapter);
    stream.set_max_record(0);
    Bytes sink(10);
    stream.get_bytes(sink.data(), sink.size());
    EXPECT_THROW(stream.get_int32(), QREX_Communication_Error);
}

TEST(TCP_Stream_Limit, RecordOverTheLimitIsRefusedOnItsAnnouncement) {
    // 2 GB announced: refused on the header, before a byte of it is read.
    Memory_Adapter adapter(cat({words({0xFFFFFFFFu}), Bytes(100, 1)}));
    QREX_TCP_Stream stream(&adapter);
    EXPECT_EQ(stream.max_record(), size_t{16} << 20);
    EXPECT_THROW(stream.get_int32(), QREX_Communication_Error);
    EXPECT_TRUE(stream.record_too_large());
    EXPECT_EQ(adapter.consumed(), 4u);
    // The connection is given up: the adapter was told, and nothing more
    // is read or written on it.
    EXPECT_TRUE(adapter.abandoned);
    EXPECT_TRUE(stream.broken());
    EXPECT_THROW(stream.skip_record(), QREX_Communication_Error);
    EXPECT_THROW(stream.put_int32(1), QREX_Communication_Error);
    EXPECT_EQ(adapter.consumed(), 4u);
    EXPECT_TRUE(adapter.output.empty());
}

TEST(TCP_Stream_Limit, LimitCountsThePayloadOfAllFragmentsOfOneRecord) {
    // Exactly at the limit over three fragments: accepted; the headers do
    // not count, and the count starts again with the next record.
    const Bytes at_limit =
        cat({fragment(words({1}), false), fragment(words({2}), false), fragment(words({3}), true)});
    Memory_Adapter adapter(
        cat({at_limit, at_limit, fragment(words({4, 5, 6}), false), fragment(words({7}), true)}));
    QREX_TCP_Stream stream(&adapter);
    stream.set_max_record(12);
    for (int round = 0; round < 2; ++round) {
        stream.skip_record();
        EXPECT_EQ(stream.get_int32(), 1u);
        EXPECT_EQ(stream.get_int32(), 2u);
        EXPECT_EQ(stream.get_int32(), 3u);
        stream.finish_record();
    }
    // 16 bytes in the third record: the second fragment's header is refused.
    stream.skip_record();
    EXPECT_EQ(stream.get_int32(), 4u);
    EXPECT_EQ(stream.get_int32(), 5u);
    EXPECT_EQ(stream.get_int32(), 6u);
    EXPECT_THROW(stream.get_int32(), QREX_Communication_Error);
    EXPECT_TRUE(stream.record_too_large());
}

TEST(TCP_Stream_Receive, FinishRecordReadsUpToTheLastFragment) {
    // The reader took one word; the rest of the record, over two more
    // fragments, is read and dropped, and the next record is intact.
    Memory_Adapter adapter(
        cat({fragment(words({1, 2}), false), fragment(words({3}), true), record(words({9}))}));
    QREX_TCP_Stream stream(&adapter);
    stream.skip_record();
    EXPECT_EQ(stream.get_int32(), 1u);
    stream.finish_record();
    EXPECT_EQ(adapter.consumed(), 20u);
    stream.skip_record();
    EXPECT_EQ(stream.get_int32(), 9u);
}

TEST(TCP_Stream_Receive, FinishRecordFailsForARecordThatEndsEarly) {
    // The fragment promises 12 bytes; 8 arrive and the peer is gone. What
    // was read decodes, but the record is not whole.
    Memory_Adapter adapter(cat({words({RM_LAST_FRAGMENT | 12}), words({1, 2})}));
    QREX_TCP_Stream stream(&adapter);
    stream.skip_record();
    EXPECT_EQ(stream.get_int32(), 1u);
    EXPECT_EQ(stream.get_int32(), 2u);
    EXPECT_THROW(stream.finish_record(), QREX_Communication_Error);
}

TEST(TCP_Stream_Receive, PeerClosingInsideAFragmentHeader) {
    Memory_Adapter adapter(Bytes{0x80, 0x00});
    QREX_TCP_Stream stream(&adapter);
    EXPECT_THROW(stream.get_int32(), QREX_Communication_Error);
}

TEST(TCP_Stream_Receive, FragmentLineAtLevelThree) {
    EXPECT_TRUE(logs_at_level(3, "recv fragment 4, L\n", [] {
        Memory_Adapter adapter(record(words({1})));
        QREX_TCP_Stream stream(&adapter);
        stream.get_int32();
    }));
}

TEST(TCP_Stream_Receive, ManyRecordsSurviveRandomFragmentingAndSplits) {
    std::mt19937 rng(7);
    std::vector<Bytes> messages;
    Bytes wire;
    for (int m = 0; m < 200; ++m) {
        Bytes payload(std::uniform_int_distribution<size_t>(1, 9000)(rng));
        for (auto& b : payload)
            b = static_cast<unsigned char>(rng());
        messages.push_back(payload);
        // cut into random fragments, empty ones included
        size_t at = 0;
        while (at < payload.size()) {
            const size_t k =
                std::min(payload.size() - at, std::uniform_int_distribution<size_t>(0, 3000)(rng));
            const bool last = at + k == payload.size();
            const Bytes f = fragment(Bytes(payload.begin() + at, payload.begin() + at + k), last);
            wire.insert(wire.end(), f.begin(), f.end());
            at += k;
        }
    }
    Memory_Adapter adapter(wire, Memory_Adapter::random_split, 11);
    QREX_TCP_Stream stream(&adapter);
    for (size_t m = 0; m < messages.size(); ++m) {
        stream.skip_record();
        // read only part of every third message; skip_record drops the rest
        const size_t want = m % 3 == 0 ? messages[m].size() / 2 : messages[m].size();
        Bytes back(want);
        stream.get_bytes(back.data(), want);
        ASSERT_EQ(back, Bytes(messages[m].begin(), messages[m].begin() + want)) << m;
    }
}

TEST(TCP_Stream_RoundTrip, WrittenRecordsReadBack) {
    Memory_Adapter out;
    {
        QREX_TCP_Stream writer(&out);
        for (int r = 0; r < 5; ++r) {
            for (int i = 0; i < 1500 * r + 1; ++i)
                writer.put_int32(static_cast<qrex_uint32_t>(r * 100000 + i));
            writer.end_record();
        }
    }
    Memory_Adapter in(out.output, Memory_Adapter::one_byte);
    QREX_TCP_Stream reader(&in);
    for (int r = 0; r < 5; ++r) {
        reader.skip_record();
        for (int i = 0; i < 1500 * r + 1; ++i)
            ASSERT_EQ(reader.get_int32(), static_cast<qrex_uint32_t>(r * 100000 + i));
        EXPECT_THROW(reader.get_int32(), QREX_XDR_Error);
    }
}

namespace {
// Fails its first write, then works.
class Failing_Once_Adapter : public Memory_Adapter {
public:
    void write(const void* buffer, size_t n) override {
        if (!failed_) {
            failed_ = true;
            throw_comm_error("Failing_Once_Adapter::write", 10054);
        }
        Memory_Adapter::write(buffer, n);
    }

private:
    bool failed_ = false;
};
} // namespace

TEST(TCP_Stream_Send, FailedWriteLeavesNothingBehind) {
    Failing_Once_Adapter adapter;
    QREX_TCP_Stream stream(&adapter);
    stream.put_int32(1);
    EXPECT_THROW(stream.end_record(), QREX_Communication_Error);
    stream.put_int32(2);
    stream.end_record();
    EXPECT_EQ(adapter.output, words({0x80000004u, 2}));
}
