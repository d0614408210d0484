#include "QREX_Memory.h"
#include "QREX_TCP_Stream.h"
#include "QREX_XDR.h"
#include "qrex_test_support.h"

#include <cstring>

using namespace qrex_test;

namespace {

// Packed fields must be read by value, never bound to a reference.
template <typename T> T v(T value) {
    return value;
}

Bytes encode(XDR_function f, void* value) {
    Memory_Adapter adapter;
    QREX_TCP_Stream stream(&adapter);
    f(stream.output(), value);
    stream.end_record();
    return unframe(adapter.output);
}

void decode(const Bytes& payload, XDR_function f, void* value,
            Memory_Adapter::Split split = Memory_Adapter::whole) {
    Memory_Adapter adapter(record(payload), split);
    QREX_TCP_Stream stream(&adapter);
    f(stream.input(), value);
}

std::string xdr_kind_of(const Bytes& payload, XDR_function f, void* value) {
    try {
        decode(payload, f, value);
    } catch (const QREX_XDR_Error& e) {
        return e.what();
    }
    return "no error";
}

// A string with a limit of 4, as a protocol type would declare it.
struct Short_Text {
    char* text;
};
void xdr_short_text(XDR_Stream* xdr, void* v) {
    xdr->XDR_string(&static_cast<Short_Text*>(v)->text, 4);
}

struct Any_Text {
    char* text;
};
void xdr_any_text(XDR_Stream* xdr, void* v) {
    xdr->XDR_string(&static_cast<Any_Text*>(v)->text, QREX_NO_LIMIT);
}

struct Fixed4 {
    char buffer[4];
};
void xdr_fixed4(XDR_Stream* xdr, void* v) {
    xdr->XDR_fixedstring(static_cast<Fixed4*>(v)->buffer, 4);
}

struct Blob {
    qrex_uint32_t length;
    void* data;
};
void xdr_blob(XDR_Stream* xdr, void* v) {
    Blob* b = static_cast<Blob*>(v);
    xdr->XDR_bytes(&b->data, &b->length, 16);
}
void xdr_any_blob(XDR_Stream* xdr, void* v) {
    Blob* b = static_cast<Blob*>(v);
    xdr->XDR_bytes(&b->data, &b->length, QREX_NO_LIMIT);
}

// Packed like the protocol's records, so that fields sit misaligned.
#pragma pack(push, 1)
struct Pair {
    char* name;
    char* value;
};
struct Row {
    qrex_uint8_t tag;
    qrex_uint32_t count;
    Pair* pairs;
};
struct Batch {
    bool more;
    qrex_int32_t id;
    qrex_uint32_t count;
    Row* rows;
    qrex_int64_t stamp;
};
#pragma pack(pop)

void xdr_pair(XDR_Stream* xdr, void* v) {
    Pair* p = static_cast<Pair*>(v);
    xdr->XDR_string(&p->name, QREX_NO_LIMIT);
    xdr->XDR_string(&p->value, 40);
}
void xdr_row(XDR_Stream* xdr, void* v) {
    Row* r = static_cast<Row*>(v);
    xdr->XDR_uchar(&r->tag);
    xdr->XDR_array(reinterpret_cast<void**>(&r->pairs), &r->count, 10, sizeof(Pair), xdr_pair);
}
void xdr_batch(XDR_Stream* xdr, void* v) {
    Batch* b = static_cast<Batch*>(v);
    xdr->XDR_bool(&b->more);
    xdr->XDR_int32(&b->id);
    xdr->XDR_array(reinterpret_cast<void**>(&b->rows), &b->count, 32, sizeof(Row), xdr_row);
    xdr->XDR_int64(&b->stamp);
}

struct Byte_Array {
    qrex_uint32_t count;
    qrex_uint8_t* elements;
};
void xdr_byte_array(XDR_Stream* xdr, void* v) {
    Byte_Array* a = static_cast<Byte_Array*>(v);
    xdr->XDR_array(reinterpret_cast<void**>(&a->elements), &a->count, QREX_NO_LIMIT, 1,
                   qrex_xdr_uchar);
}

struct Word_Array {
    qrex_uint32_t count;
    qrex_uint32_t* elements;
};
void xdr_word_array(XDR_Stream* xdr, void* v) {
    Word_Array* a = static_cast<Word_Array*>(v);
    xdr->XDR_array(reinterpret_cast<void**>(&a->elements), &a->count, QREX_NO_LIMIT, 4,
                   qrex_xdr_uint32);
}

} // namespace

// ---------------------------------------------------------------- scalars

TEST(XDR_Scalars, SmallSignedValuesAreSignExtended) {
    qrex_int8_t c = -2;
    EXPECT_EQ(encode(qrex_xdr_char, &c), words({0xFFFFFFFEu}));
    qrex_int16_t s = -300;
    EXPECT_EQ(encode(qrex_xdr_short, &s), words({static_cast<qrex_uint32_t>(-300)}));
    qrex_uint8_t uc = 0xF0;
    EXPECT_EQ(encode(qrex_xdr_uchar, &uc), words({0xF0}));
    qrex_uint16_t us = 0xFFFE;
    EXPECT_EQ(encode(qrex_xdr_ushort, &us), words({0xFFFE}));
}

TEST(XDR_Scalars, DecodingKeepsTheLowBits) {
    qrex_int8_t c = 0;
    decode(words({0x123456FEu}), qrex_xdr_char, &c);
    EXPECT_EQ(c, -2);
    qrex_uint16_t us = 0;
    decode(words({0xABCD1234u}), qrex_xdr_ushort, &us);
    EXPECT_EQ(us, 0x1234);
    qrex_int16_t s = 0;
    decode(words({0x0000FFFFu}), qrex_xdr_short, &s);
    EXPECT_EQ(s, -1);
}

TEST(XDR_Scalars, SixtyFourBitValuesGoHighWordFirst) {
    qrex_int64_t v = (qrex_int64_t{1} << 32) + 2;
    EXPECT_EQ(encode(qrex_xdr_int64, &v), words({1, 2}));
    qrex_uint64_t u = 0;
    decode(words({0x80000000u, 0xFFFFFFFFu}), qrex_xdr_uint64, &u);
    EXPECT_EQ(u, 0x80000000FFFFFFFFull);
    qrex_int64_t n = 0;
    decode(words({0xFFFFFFFFu, 0xFFFFFFFEu}), qrex_xdr_int64, &n);
    EXPECT_EQ(n, -2);
}

TEST(XDR_Scalars, BooleansDecodeAnyNonZeroWordAsTrue) {
    bool b = false;
    decode(words({7}), qrex_xdr_bool, &b);
    EXPECT_TRUE(b);
    decode(words({0}), qrex_xdr_bool, &b);
    EXPECT_FALSE(b);
    bool t = true;
    EXPECT_EQ(encode(qrex_xdr_bool, &t), words({1}));
}

TEST(XDR_Scalars, MisalignedFieldsOfPackedRecordsRoundTrip) {
    Batch b{};
    b.more = true;
    b.id = -77;
    b.stamp = -5;
    const Bytes wire = encode(xdr_batch, &b);
    EXPECT_EQ(wire, cat({words({1, static_cast<qrex_uint32_t>(-77), 0}),
                         words({0xFFFFFFFFu, 0xFFFFFFFBu})}));
    Batch back{};
    decode(wire, xdr_batch, &back);
    EXPECT_TRUE(v(back.more));
    EXPECT_EQ(v(back.id), -77);
    EXPECT_EQ(v(back.stamp), -5);
    EXPECT_EQ(v(back.rows), nullptr);
}

// ---------------------------------------------------------------- strings

TEST(XDR_Strings, AbcIsItsLengthThenPaddedCharacters) {
    Any_Text t{const_cast<char*>("abc")};
    EXPECT_EQ(encode(xdr_any_text, &t), cat({words({3}), Bytes{0x61, 0x62, 0x63, 0x00}}));
}

TEST(XDR_Strings, NullEncodesAsEmptyAndDecodesAllocated) {
    Any_Text t{nullptr};
    EXPECT_EQ(encode(xdr_any_text, &t), words({0}));
    Any_Text back{nullptr};
    decode(words({0}), xdr_any_text, &back);
    ASSERT_NE(back.text, nullptr);
    EXPECT_STREQ(back.text, "");
    XDR_Free(&back, xdr_any_text);
    EXPECT_EQ(back.text, nullptr);
}

TEST(XDR_Strings, LengthAboveTheLimitIsRefusedBothWays) {
    Short_Text t{const_cast<char*>("abcde")};
    try {
        encode(xdr_short_text, &t);
        FAIL() << "no error";
    } catch (const QREX_XDR_Error& e) {
        EXPECT_STREQ(e.what(), "invalid_size");
        EXPECT_STREQ(e.where(), "XDR_StreamOutput::XDR_string");
    }
    Short_Text back{nullptr};
    try {
        decode(cat({words({5}), text("abcde"), Bytes(3, 0)}), xdr_short_text, &back);
        FAIL() << "no error";
    } catch (const QREX_XDR_Error& e) {
        EXPECT_STREQ(e.what(), "invalid_size");
        EXPECT_STREQ(e.where(), "XDR_StreamInput::XDR_string");
    }
    EXPECT_EQ(back.text, nullptr);
    Short_Text ok{nullptr};
    decode(cat({words({4}), text("abcd")}), xdr_short_text, &ok);
    EXPECT_STREQ(ok.text, "abcd");
    XDR_Free(&ok, xdr_short_text);
}

TEST(XDR_Strings, LimitFailureLogsLengthAndLimit) {
    Short_Text t{const_cast<char*>("abcde")};
    EXPECT_TRUE(logs_at_level(0, "throw_invalid_size(XDR_StreamOutput::XDR_string, 5/4)\n",
                              [&] { EXPECT_THROW(encode(xdr_short_text, &t), QREX_XDR_Error); }));
}

TEST(XDR_Strings, DecodingIntoCallerStorageUsesIt) {
    char storage[8] = "zzzzzzz";
    Any_Text t{storage};
    decode(cat({words({2}), text("hi"), Bytes(2, 0)}), xdr_any_text, &t);
    EXPECT_EQ(t.text, storage);
    EXPECT_STREQ(storage, "hi");
}

TEST(XDR_Strings, MaximumLengthThatCannotHoldATerminatorIsRefused) {
    Any_Text t{nullptr};
    EXPECT_EQ(xdr_kind_of(words({0xFFFFFFFFu}), xdr_any_text, &t), "invalid_size");
    EXPECT_EQ(t.text, nullptr);
}

TEST(XDR_Strings, HugeClaimWithLittleDataCostsLittle) {
    Allocation_Tracker tracker;
    // 4 GB announced in a fragment that claims 2 GB, 10 bytes sent, then the
    // connection ends.
    Memory_Adapter adapter(cat({words({0xFFFFFFFFu, 0xFFFFFFF0u}), text("0123456789")}));
    QREX_TCP_Stream stream(&adapter);
    // The stream's own record limit would refuse this on its header.
    stream.set_max_record(0);
    Any_Text t{nullptr};
    EXPECT_THROW(xdr_any_text(stream.input(), &t), QREX_Communication_Error);
    EXPECT_LE(Allocation_Tracker::largest(), XDR_StreamInput::GROWTH_CHUNK + 64);
    // What was allocated stays attached, terminated, and XDR_Free takes it back.
    ASSERT_NE(t.text, nullptr);
    XDR_Free(&t, xdr_any_text);
    EXPECT_EQ(t.text, nullptr);
}

TEST(XDR_Strings, RecordEndingInsideAStringIsNoMoreData) {
    Any_Text t{nullptr};
    EXPECT_EQ(xdr_kind_of(cat({words({0xFFFFFFF0u}), text("0123456789")}), xdr_any_text, &t),
              "no_more_data");
    XDR_Free(&t, xdr_any_text);
}

TEST(XDR_Strings, LongStringGrowsAcrossManyFragmentsAndSplits) {
    std::string big(200000, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    Any_Text t{big.data()};
    const Bytes wire = encode(xdr_any_text, &t);
    Allocation_Tracker tracker;
    for (auto split : {Memory_Adapter::whole, Memory_Adapter::random_split}) {
        Any_Text back{nullptr};
        decode(wire, xdr_any_text, &back, split);
        ASSERT_NE(back.text, nullptr);
        EXPECT_EQ(std::string(back.text), big);
        XDR_Free(&back, xdr_any_text);
    }
    // Growth doubles from one chunk: never much more than the final size.
    EXPECT_LE(Allocation_Tracker::largest(), 2 * big.size() + 64);
}

// ---------------------------------------------------------------- fixed strings

TEST(XDR_FixedStrings, UnterminatedBufferSendsAllButItsLastCharacter) {
    Fixed4 f;
    std::memcpy(f.buffer, "abcd", 4);
    EXPECT_EQ(encode(xdr_fixed4, &f), cat({words({3}), text("abc"), Bytes{0}}));
    Fixed4 g{"ab"};
    EXPECT_EQ(encode(xdr_fixed4, &g), cat({words({2}), text("ab"), Bytes{0, 0}}));
}

TEST(XDR_FixedStrings, LengthMustLeaveRoomForTheTerminator) {
    Fixed4 f{};
    EXPECT_EQ(xdr_kind_of(cat({words({4}), text("abcd")}), xdr_fixed4, &f), "invalid_size");
    decode(cat({words({3}), text("xyz"), Bytes{0}}), xdr_fixed4, &f);
    EXPECT_STREQ(f.buffer, "xyz");
}

// ---------------------------------------------------------------- byte blocks

TEST(XDR_Bytes, EmptyBlockIsOneWordWithoutPadding) {
    Blob b{0, nullptr};
    EXPECT_EQ(encode(xdr_blob, &b), words({0}));
    Blob back{99, nullptr};
    decode(words({0}), xdr_blob, &back);
    EXPECT_EQ(back.length, 0u);
}

TEST(XDR_Bytes, BlockRoundTripsWithPadding) {
    unsigned char data[5] = {1, 2, 3, 4, 5};
    Blob b{5, data};
    const Bytes wire = encode(xdr_blob, &b);
    EXPECT_EQ(wire, cat({words({5}), Bytes{1, 2, 3, 4, 5, 0, 0, 0}}));
    Blob back{0, nullptr};
    decode(wire, xdr_blob, &back, Memory_Adapter::one_byte);
    ASSERT_EQ(back.length, 5u);
    EXPECT_EQ(std::memcmp(back.data, data, 5), 0);
    XDR_Free(&back, xdr_blob);
    EXPECT_EQ(back.data, nullptr);
}

TEST(XDR_Bytes, LengthAboveTheLimitIsRefusedBothWays) {
    unsigned char data[17] = {};
    Blob b{17, data};
    EXPECT_THROW(encode(xdr_blob, &b), QREX_XDR_Error);
    Blob back{0, nullptr};
    EXPECT_EQ(xdr_kind_of(cat({words({17}), Bytes(20, 0)}), xdr_blob, &back), "invalid_size");
    EXPECT_EQ(back.data, nullptr);
    EXPECT_EQ(back.length, 0u);
}

TEST(XDR_Bytes, TruncatedBlockKeepsOnlyWhatArrived) {
    Allocation_Tracker tracker;
    Blob back{0, nullptr};
    EXPECT_THROW(decode(cat({words({0x7FFFFFFFu}), Bytes(100, 7)}), xdr_any_blob, &back),
                 QREX_XDR_Error);
    EXPECT_LE(Allocation_Tracker::largest(), XDR_StreamInput::GROWTH_CHUNK + 64);
    EXPECT_LE(back.length, 100u);
    XDR_Free(&back, xdr_any_blob);
    EXPECT_EQ(back.data, nullptr);
}

// ---------------------------------------------------------------- arrays

TEST(XDR_Arrays, NestedRecordsRoundTripUnderEverySplit) {
    Pair pairs_a[2] = {{const_cast<char*>("n1"), const_cast<char*>("v1")},
                       {const_cast<char*>("name"), nullptr}};
    Pair pair_b[1] = {{const_cast<char*>(""), const_cast<char*>("0123456789")}};
    Row rows[3] = {{1, 2, pairs_a}, {2, 0, nullptr}, {3, 1, pair_b}};
    Batch b{false, 42, 3, rows, 1234567890123ll};
    const Bytes wire = encode(xdr_batch, &b);
    for (auto split :
         {Memory_Adapter::whole, Memory_Adapter::one_byte, Memory_Adapter::random_split}) {
        Batch back{};
        decode(wire, xdr_batch, &back, split);
        ASSERT_EQ(v(back.count), 3u);
        EXPECT_EQ(v(back.id), 42);
        EXPECT_EQ(v(back.stamp), 1234567890123ll);
        EXPECT_EQ(v(back.rows[0].tag), 1);
        ASSERT_EQ(v(back.rows[0].count), 2u);
        EXPECT_STREQ(back.rows[0].pairs[0].name, "n1");
        EXPECT_STREQ(back.rows[0].pairs[1].value, "");
        EXPECT_EQ(v(back.rows[1].count), 0u);
        EXPECT_EQ(v(back.rows[1].pairs), nullptr);
        EXPECT_STREQ(back.rows[2].pairs[0].value, "0123456789");
        XDR_Free(&back, xdr_batch);
        EXPECT_EQ(v(back.rows), nullptr);
        EXPECT_EQ(v(back.count), 3u);
        // A second release finds nothing left to free.
        XDR_Free(&back, xdr_batch);
        EXPECT_EQ(v(back.rows), nullptr);
    }
}

TEST(XDR_Arrays, ZeroCountLeavesStorageUntouched) {
    const Bytes wire = cat({words({1, 5, 0}), words({0, 9})});
    Batch warm_up{};
    decode(wire, xdr_batch, &warm_up); // the runtime's own first-use allocations
    Allocation_Tracker tracker;
    Batch back{};
    decode(wire, xdr_batch, &back);
    EXPECT_EQ(v(back.count), 0u);
    EXPECT_EQ(v(back.rows), nullptr);
    EXPECT_EQ(Allocation_Tracker::largest(), 0u);
}

TEST(XDR_Arrays, CountAboveTheDeclaredMaximumIsRefused) {
    Batch back{};
    EXPECT_EQ(xdr_kind_of(words({1, 5, 33}), xdr_batch, &back), "invalid_size");
    EXPECT_EQ(v(back.rows), nullptr);
    EXPECT_EQ(v(back.count), 0u);
    // and on the sending side, before a byte leaves
    Row rows[33] = {};
    Batch b{false, 1, 33, rows, 0};
    Memory_Adapter adapter;
    QREX_TCP_Stream stream(&adapter);
    EXPECT_THROW(xdr_batch(stream.output(), &b), QREX_XDR_Error);
    EXPECT_TRUE(adapter.output.empty());
}

TEST(XDR_Arrays, StorageSizeBeyondThirtyTwoBitsIsRefused) {
    Word_Array a{0, nullptr};
    EXPECT_EQ(xdr_kind_of(words({0x40000001u}), xdr_word_array, &a), "invalid_size");
    EXPECT_EQ(a.elements, nullptr);
}

TEST(XDR_Arrays, FailureHalfWayLeavesEverythingReleasable) {
    // Two rows announced; the second one's pair count breaks its limit of 10.
    const Bytes wire = cat({words({0, 7, 2}), words({1, 1, 2}), text("ab"), Bytes(2, 0), words({1}),
                            text("c"), Bytes(3, 0), words({2, 11})});
    Batch back{};
    EXPECT_EQ(xdr_kind_of(wire, xdr_batch, &back), "invalid_size");
    ASSERT_NE(v(back.rows), nullptr);
    EXPECT_STREQ(back.rows[0].pairs[0].name, "ab");
    EXPECT_EQ(v(back.rows[1].pairs), nullptr);
    XDR_Free(&back, xdr_batch);
    EXPECT_EQ(v(back.rows), nullptr);
}

TEST(XDR_Arrays, HugeCountWithFewElementsCostsLittle) {
    Allocation_Tracker tracker;
    Word_Array a{0, nullptr};
    EXPECT_THROW(decode(cat({words({0x3FFFFFFFu}), words({1, 2, 3})}), xdr_word_array, &a),
                 QREX_XDR_Error);
    EXPECT_LE(Allocation_Tracker::largest(), XDR_StreamInput::GROWTH_CHUNK + 64);
    ASSERT_NE(a.elements, nullptr);
    EXPECT_EQ(a.elements[0], 1u);
    EXPECT_EQ(a.elements[2], 3u);
    XDR_Free(&a, xdr_word_array);
}

TEST(XDR_Arrays, BytePerWordArrayKeepsItsWireFormInBulk) {
    std::vector<qrex_uint8_t> data(300000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<qrex_uint8_t>(i * 7);
    Byte_Array a{static_cast<qrex_uint32_t>(data.size()), data.data()};
    const Bytes wire = encode(xdr_byte_array, &a);
    ASSERT_EQ(wire.size(), 4 + 4 * data.size());
    // One word per element, the value in its low byte, exactly as XDR_uchar does it.
    EXPECT_EQ(Bytes(wire.begin() + 4, wire.begin() + 12), words({0, 7}));
    qrex_uint8_t single = data[1234];
    EXPECT_EQ(Bytes(wire.begin() + 4 + 4 * 1234, wire.begin() + 8 + 4 * 1234),
              encode(qrex_xdr_uchar, &single));
    // Garbage in the high bytes is ignored on decoding, as XDR_uchar ignores it.
    Bytes dirty = wire;
    dirty[4 + 4 * 5] = 0xAA;
    Byte_Array back{0, nullptr};
    decode(dirty, xdr_byte_array, &back, Memory_Adapter::random_split);
    ASSERT_EQ(v(back.count), data.size());
    EXPECT_EQ(std::memcmp(back.elements, data.data(), data.size()), 0);
    XDR_Free(&back, xdr_byte_array);
    EXPECT_EQ(back.elements, nullptr);
}

// ---------------------------------------------------------------- XDR_Free

namespace {
void raises_qrex(XDR_Stream*, void*) {
    throw_logical_error("test", "boom");
}
void raises_other(XDR_Stream*, void*) {
    throw 5;
}
} // namespace

TEST(XDR_FreeEntry, ErrorsAreLoggedNotRaised) {
    EXPECT_TRUE(logs_at_level(0, "QREX exception during XDR_Free: 'logical_error'\n",
                              [] { XDR_Free(nullptr, raises_qrex); }));
    EXPECT_TRUE(logs_at_level(0, "Unknown exception during XDR_Free\n",
                              [] { XDR_Free(nullptr, raises_other); }));
}

// ---------------------------------------------------------------- memory per record

namespace {

struct Text_List {
    qrex_uint32_t count;
    Any_Text* items;
};
void xdr_text_list(XDR_Stream* xdr, void* v) {
    Text_List* l = static_cast<Text_List*>(v);
    xdr->XDR_array(reinterpret_cast<void**>(&l->items), &l->count, 0xFFFFFFFFu, sizeof(Any_Text),
                   xdr_any_text);
}

// n texts of the given length, as one record.
Bytes text_list_record(size_t n, const std::string& text) {
    Bytes item = words({static_cast<qrex_uint32_t>(text.size())});
    item.insert(item.end(), text.begin(), text.end());
    item.resize(item.size() + (4 - text.size() % 4) % 4, 0);
    Bytes payload = words({static_cast<qrex_uint32_t>(n)});
    for (size_t i = 0; i < n; ++i)
        payload.insert(payload.end(), item.begin(), item.end());
    return record(payload);
}

// Adds up every block the runtime's heap hands out.
class Heap_Total {
public:
    Heap_Total() {
        total() = 0;
        previous_ = ORTU_Malloc_Allocator::set_heap_function(&Heap_Total::heap);
    }
    ~Heap_Total() { ORTU_Malloc_Allocator::set_heap_function(previous_); }
    Heap_Total(const Heap_Total&) = delete;
    Heap_Total& operator=(const Heap_Total&) = delete;
    static size_t& total() {
        static size_t n = 0;
        return n;
    }

private:
    static void* heap(size_t size) {
        total() += size;
        return std::malloc(size ? size : 1);
    }
    ORTU_Malloc_Allocator::Heap_Function previous_;
};

} // namespace

TEST(XDR_Memory, RecordThatWouldCostMoreThanItsLimitIsRefused) {
    // 100,000 empty texts: 400 kB on the wire, each a block of its own.
    const Bytes wire = text_list_record(100000, "");
    Memory_Adapter adapter(wire);
    QREX_TCP_Stream stream(&adapter);
    stream.limit_memory(4, 128 * 1024);
    Heap_Total heap;
    Text_List list{0, nullptr};
    stream.skip_record();
    EXPECT_THROW(xdr_text_list(stream.input(), &list), QREX_Communication_Error);
    EXPECT_TRUE(stream.memory_limit_hit());
    EXPECT_TRUE(adapter.abandoned);
    // Refused before it took more than allowed, whatever the heap rounds.
    EXPECT_LE(Heap_Total::total(), 4 * adapter.consumed() + 128 * 1024);
    XDR_Free(&list, xdr_text_list);
}

TEST(XDR_Memory, OrdinaryRecordsStayWithinTheirLimit) {
    // Texts of twelve characters cost well under four times their bytes.
    {
        Memory_Adapter adapter(text_list_record(20000, "abcdefghijkl"));
        QREX_TCP_Stream stream(&adapter);
        stream.limit_memory(4, 128 * 1024);
        Text_List list{0, nullptr};
        stream.skip_record();
        xdr_text_list(stream.input(), &list);
        EXPECT_EQ(list.count, 20000u);
        EXPECT_FALSE(stream.memory_limit_hit());
        XDR_Free(&list, xdr_text_list);
    }
    // The default limit lets the costliest batch of results through: short
    // names, empty values.
    {
        Memory_Adapter adapter(text_list_record(32 * 10 * 2, ""));
        QREX_TCP_Stream stream(&adapter);
        Text_List list{0, nullptr};
        stream.skip_record();
        xdr_text_list(stream.input(), &list);
        EXPECT_EQ(list.count, 640u);
        XDR_Free(&list, xdr_text_list);
    }
}
