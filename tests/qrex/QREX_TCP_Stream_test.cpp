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
        // Nothing leaves before the record ends, unless the buffer is full.
        EXPECT_TRUE(adapter.output.empty()) << "sent eagerly";
        stream.end_record();
        // The whole record in one write.
        EXPECT_EQ(adapter.writes.size(), 1u);
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

TEST(TCP_Stream_Send, AbortBeforeTheBufferFilledDropsAWholeLongRecord) {
    // Several fragments, all still here: the peer sees none of them.
    Memory_Adapter adapter;
    QREX_TCP_Stream stream(&adapter);
    for (int i = 0; i < 3000; ++i)
        stream.put_int32(1);
    stream.abort_record();
    EXPECT_TRUE(adapter.output.empty());
    stream.put_int32(9);
    stream.end_record();
    EXPECT_EQ(adapter.output, words({0x80000004u, 9}));
}

TEST(TCP_Stream_Send, AbortAfterAFragmentClosesTheRecordEmpty) {
    // More than the output buffer holds: its complete fragments have left.
    Memory_Adapter adapter;
    QREX_TCP_Stream stream(&adapter);
    const size_t words_written = QREX_TCP_Stream::OUTPUT_BUFFER_SIZE / 4 + 100;
    for (size_t i = 0; i < words_written; ++i)
        stream.put_int32(1);
    ASSERT_FALSE(adapter.output.empty());
    const size_t sent = fragments_of(adapter.output).size();
    stream.abort_record();
    stream.put_int32(9);
    stream.end_record();
    const auto f = fragments_of(adapter.output);
    ASSERT_EQ(f.size(), sent + 2);
    for (size_t i = 0; i < sent; ++i) {
        EXPECT_EQ(f[i].size, 4092u);
        EXPECT_FALSE(f[i].last);
    }
    EXPECT_EQ(f[sent].size, 0u);
    EXPECT_TRUE(f[sent].last);
    EXPECT_EQ(f[sent + 1].size, 4u);
    EXPECT_TRUE(f[sent + 1].last);
}

namespace {

// The fragments a stream with one 4096-byte buffer writes, one write each:
// the wire form the buffered stream must keep byte for byte.
class Unbuffered_Reference {
public:
    void put_int32(qrex_uint32_t v) {
        if (payload_.size() + 4 > 4092)
            send(false);
        const Bytes w = words({v});
        payload_.insert(payload_.end(), w.begin(), w.end());
    }
    void put_bytes(const Bytes& b) {
        for (unsigned char c : b) {
            if (payload_.size() == 4092)
                send(false);
            payload_.push_back(c);
        }
    }
    void end_record() { send(true); }
    Bytes wire;

private:
    void send(bool last) {
        if (payload_.empty())
            return;
        const Bytes f = fragment(payload_, last);
        wire.insert(wire.end(), f.begin(), f.end());
        payload_.clear();
    }
    Bytes payload_;
};

} // namespace

TEST(TCP_Stream_Send, WireFormIsThatOfTheUnbufferedStream) {
    // Random records of words, byte blocks and word arrays of bytes, up to
    // several times the output buffer: the same bytes, cut into the same
    // fragments, only in fewer and larger writes.
    std::mt19937 rng(11);
    Memory_Adapter adapter;
    QREX_TCP_Stream stream(&adapter);
    Unbuffered_Reference reference;
    size_t fragments = 0;
    for (int record = 0; record < 60; ++record) {
        const int items = std::uniform_int_distribution<int>(1, 40)(rng);
        for (int i = 0; i < items; ++i) {
            switch (std::uniform_int_distribution<int>(0, 3)(rng)) {
            case 0: {
                const qrex_uint32_t v = rng();
                stream.put_int32(v);
                reference.put_int32(v);
                break;
            }
            case 1: {
                Bytes b(std::uniform_int_distribution<size_t>(0, record % 7 ? 300 : 70000)(rng));
                for (auto& c : b)
                    c = static_cast<unsigned char>(rng());
                stream.put_bytes(b.data(), b.size());
                reference.put_bytes(b);
                break;
            }
            case 3: {
                // A string, length and padding as XDR has them.
                std::string text(std::uniform_int_distribution<size_t>(0, 60)(rng), 'x');
                for (auto& c : text)
                    c = static_cast<char>('a' + rng() % 26);
                char* p = text.data();
                stream.output()->XDR_string(&p, 0xFFFFFFFFu);
                reference.put_int32(static_cast<qrex_uint32_t>(text.size()));
                Bytes b(text.begin(), text.end());
                b.resize((b.size() + 3) & ~size_t{3}, 0);
                reference.put_bytes(b);
                break;
            }
            default: {
                // A byte array one byte per word, as a download piece goes.
                std::vector<qrex_uint8_t> data(
                    std::uniform_int_distribution<size_t>(1, record % 5 ? 50 : 40000)(rng));
                for (auto& c : data)
                    c = static_cast<qrex_uint8_t>(rng());
                qrex_uint32_t count = static_cast<qrex_uint32_t>(data.size());
                void* elements = data.data();
                stream.output()->XDR_array(&elements, &count, 0xFFFFFFFFu, 1, qrex_xdr_uchar);
                reference.put_int32(count);
                for (qrex_uint8_t c : data)
                    reference.put_int32(c);
                break;
            }
            }
        }
        stream.end_record();
        reference.end_record();
    }
    ASSERT_EQ(adapter.output.size(), reference.wire.size());
    EXPECT_TRUE(adapter.output == reference.wire);
    fragments = fragments_of(reference.wire).size();
    EXPECT_LT(adapter.writes.size(), fragments / 4) << "fragments were not gathered";
    for (size_t w : adapter.writes)
        EXPECT_LE(w, size_t{QREX_TCP_Stream::OUTPUT_BUFFER_SIZE});
}

// ---------------------------------------------------------------- receiving

TEST(TCP_Stream_Receive, FragmentsOfOneZeroAndThreeBytesMakeOneWord) {
    Memory_Adapter adapter(
        cat({fragment({0x12}, false), fragment({}, false), fragment({0x34, 0x56, 0x78}, true)}));
    QREX_TCP_Stream stream(&adapter);
    EXPECT_EQ(stream.get_int32(), 0x12345678u);
}

TEST(TCP_Stream_Receive, InputIsReadInLargePiecesAcrossFragments) {
    // Two records of many fragments each: as few reads as the buffer
    // allows, never more than it holds at once.
    Bytes payload(300000);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<unsigned char>(i * 3);
    Bytes wire;
    for (int r = 0; r < 2; ++r)
        for (size_t at = 0; at < payload.size(); at += 4092) {
            const size_t n = std::min<size_t>(4092, payload.size() - at);
            const Bytes f = fragment(Bytes(payload.begin() + at, payload.begin() + at + n),
                                     at + n == payload.size());
            wire.insert(wire.end(), f.begin(), f.end());
        }
    Memory_Adapter adapter(wire);
    QREX_TCP_Stream stream(&adapter);
    for (int r = 0; r < 2; ++r) {
        stream.skip_record();
        Bytes back(payload.size());
        stream.get_bytes(back.data(), back.size());
        EXPECT_EQ(back, payload);
    }
    for (size_t r : adapter.requests)
        EXPECT_LE(r, size_t{QREX_TCP_Stream::INPUT_BUFFER_SIZE});
    EXPECT_LE(adapter.requests.size(), wire.size() / (QREX_TCP_Stream::INPUT_BUFFER_SIZE / 2));
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

TEST(TCP_Stream_Receive, SkipRecordAfterAWholeRecordKeepsTheNextOne) {
    // The next record came with the first read; skipping the first leaves
    // it whole, and the stream says it holds input.
    Memory_Adapter adapter(cat({record(words({1})), record(words({2}))}));
    QREX_TCP_Stream stream(&adapter);
    EXPECT_FALSE(stream.input_buffered());
    EXPECT_EQ(stream.get_int32(), 1u);
    stream.skip_record();
    EXPECT_TRUE(stream.input_buffered());
    const size_t reads = adapter.requests.size();
    EXPECT_EQ(stream.get_int32(), 2u);
    EXPECT_EQ(adapter.requests.size(), reads);
    EXPECT_FALSE(stream.input_buffered());
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
    // 2 GB announced: refused on the header, before more of it than one
    // buffer's read is taken from the socket.
    Memory_Adapter adapter(
        cat({words({0xFFFFFFFFu}), Bytes(QREX_TCP_Stream::INPUT_BUFFER_SIZE * 4, 1)}));
    QREX_TCP_Stream stream(&adapter);
    EXPECT_EQ(stream.max_record(), size_t{16} << 20);
    EXPECT_THROW(stream.get_int32(), QREX_Communication_Error);
    EXPECT_TRUE(stream.record_too_large());
    const size_t taken = adapter.consumed();
    EXPECT_LE(taken, size_t{QREX_TCP_Stream::INPUT_BUFFER_SIZE});
    // The connection is given up: the adapter was told, and nothing more
    // is read or written on it.
    EXPECT_TRUE(adapter.abandoned);
    EXPECT_TRUE(stream.broken());
    EXPECT_THROW(stream.skip_record(), QREX_Communication_Error);
    EXPECT_THROW(stream.put_int32(1), QREX_Communication_Error);
    EXPECT_EQ(adapter.consumed(), taken);
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
    EXPECT_GE(adapter.consumed(), 20u);
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
