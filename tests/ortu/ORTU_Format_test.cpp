#include "ORTU_Format.h"
#include "ORTU_OS.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif
#include <cmath>
#include <cstring>
#include <random>
#include <string>

namespace {

std::string fmt(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int n = ortu_vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    EXPECT_EQ(n, static_cast<int>(std::strlen(buffer)));
    return buffer;
}

std::string captured;
void capture(const char* text) {
    captured += text;
}

class Debug_Capture {
public:
    Debug_Capture() {
        captured.clear();
        previous_ = ORTU_OS::set_debug_output_sink(capture);
    }
    ~Debug_Capture() { ORTU_OS::set_debug_output_sink(previous_); }

private:
    ORTU_OS::Debug_Output_Sink previous_;
};

std::string ipv6(const char* conversion, std::initializer_list<unsigned> groups) {
    ORTU_BYTE bytes[16] = {};
    int i = 0;
    for (unsigned g : groups) {
        bytes[2 * i] = static_cast<ORTU_BYTE>(g >> 8);
        bytes[2 * i + 1] = static_cast<ORTU_BYTE>(g);
        ++i;
    }
    return fmt(conversion, bytes);
}

} // namespace

TEST(Format_Integers, WidthPrecisionAndFlags) {
    EXPECT_EQ(fmt("%-4d|", 7), "7   |");
    EXPECT_EQ(fmt("%04x", 255), "00ff");
    EXPECT_EQ(fmt("%4d", -7), "  -7");
    EXPECT_EQ(fmt("%+d %+d", 5, -5), "+5 -5");
    EXPECT_EQ(fmt("% d|% d", 5, -5), " 5|-5");
    EXPECT_EQ(fmt("%+05d", -3), "-0003");
    EXPECT_EQ(fmt("%05d", 42), "00042");
    EXPECT_EQ(fmt("%.3d", 7), "007");
    EXPECT_EQ(fmt("%6.3d|", -7), "  -007|");
    // An explicit precision decides the zeros, as in C.
    EXPECT_EQ(fmt("%08.3d", 7), "     007");
    EXPECT_EQ(fmt("%-06d|", 12), "12    |");
    EXPECT_EQ(fmt("%i", -2147483647 - 1), "-2147483648");
    EXPECT_EQ(fmt("%u", 4294967295u), "4294967295");
}

TEST(Format_Integers, StarWidthAndPrecision) {
    EXPECT_EQ(fmt("%*d|", 5, 1), "    1|");
    EXPECT_EQ(fmt("%*d|", -5, 1), "1    |");
    EXPECT_EQ(fmt("%.*d", 4, 9), "0009");
    EXPECT_EQ(fmt("%.*d", -4, 9), "9");
    EXPECT_EQ(fmt("%*.*s|", 6, 2, "hello"), "    he|");
    EXPECT_EQ(fmt("%.d", 5), "5");
}

TEST(Format_Integers, AlternateForms) {
    EXPECT_EQ(fmt("%#o", 8), "010");
    EXPECT_EQ(fmt("%#o", 0), "0");
    EXPECT_EQ(fmt("%#.3o", 8), "010");
    EXPECT_EQ(fmt("%#x", 255), "0xff");
    EXPECT_EQ(fmt("%#X", 255), "0XFF");
    EXPECT_EQ(fmt("%#x", 0), "0");
    EXPECT_EQ(fmt("%#06x", 15), "0x000f");
    EXPECT_EQ(fmt("%X", 0xABCDEFu), "ABCDEF");
    EXPECT_EQ(fmt("%o", 511), "777");
}

TEST(Format_Integers, Sizes) {
    EXPECT_EQ(fmt("%lld", -9223372036854775807LL - 1), "-9223372036854775808");
    EXPECT_EQ(fmt("%llu", 18446744073709551615ULL), "18446744073709551615");
    EXPECT_EQ(fmt("%qx", 0x123456789abcdefULL), "123456789abcdef");
    EXPECT_EQ(fmt("%qd", 5LL), "5");
    EXPECT_EQ(fmt("%hd", 70000), "4464");
    EXPECT_EQ(fmt("%hu", 65537), "1");
    EXPECT_EQ(fmt("%hx", 0x12345), "2345");
    // "l" is the 32-bit long of the original platform.
    EXPECT_EQ(fmt("%ld", static_cast<long>(0x100000005LL)), "5");
    EXPECT_EQ(fmt("%lu", static_cast<unsigned long>(0xFFFFFFFFul)), "4294967295");
    EXPECT_EQ(fmt("%zu", static_cast<size_t>(42)), "42");
    EXPECT_EQ(fmt("%zd", static_cast<size_t>(7)), "7");
    // Arguments after a 64-bit one stay in step.
    EXPECT_EQ(fmt("%lld %d", 1LL << 40, 3), "1099511627776 3");
}

TEST(Format_Text, StringsAndCharacters) {
    EXPECT_EQ(fmt("%5.2s|", "abc"), "   ab|");
    EXPECT_EQ(fmt("%-5s|", "ab"), "ab   |");
    EXPECT_EQ(fmt("%s", static_cast<const char*>(nullptr)), "(null)");
    EXPECT_EQ(fmt("%.3s", static_cast<const char*>(nullptr)), "(nu");
    EXPECT_EQ(fmt("%c%c", 'o', 'k'), "ok");
    EXPECT_EQ(fmt("%3c|%-3c|", 'a', 'b'), "  a|b  |");
    EXPECT_EQ(fmt("100%%"), "100%");
    // A precision lets a text without terminator be printed.
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(fmt("%.3s", unterminated), "xyz");
}

TEST(Format_Text, UnknownConversionsAndEnds) {
    EXPECT_EQ(fmt("a%yb"), "a%yb");
    EXPECT_EQ(fmt("%5y"), "%y");
    EXPECT_EQ(fmt("abc%"), "abc");
    EXPECT_EQ(fmt("abc%p"), "abc");
    EXPECT_EQ(fmt("abc%-08."), "abc");
}

TEST(Format_Text, CountStores) {
    int n = -1;
    short s = -1;
    long long ll = -1;
    EXPECT_EQ(fmt("abc%n de%hn f%lln", &n, &s, &ll), "abc de f");
    EXPECT_EQ(n, 3);
    EXPECT_EQ(s, 6);
    EXPECT_EQ(ll, 8);
    EXPECT_EQ(fmt("x%ny", static_cast<int*>(nullptr)), "xy");
}

TEST(Format_Floats, FollowPrintfConventions) {
    struct Case {
        const char* format;
        double value;
    };
    const Case cases[] = {
        {"%e", 3.5},         {"%E", -0.000125}, {"%f", 3.14159265},     {"%.2f", 2.675},
        {"%g", 0.0001},      {"%g", 1e-5},      {"%G", 1e20},           {"%#g", 2.0},
        {"%#.0f", 3.0},      {"%10.3f", -1.5},  {"%-10.2e", 12345.678}, {"%+08.2f", 3.14159},
        {"% .1f", 2.25},     {"%08.2f", -1.5},  {"%.10g", 1.0 / 3},     {"%f", 1e300},
        {"%g", 123456789.0}, {"%.3e", 0.0},
    };
    for (const Case& c : cases) {
        char expected[1024];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        std::snprintf(expected, sizeof expected, c.format, c.value);
#pragma GCC diagnostic pop
        EXPECT_EQ(fmt(c.format, c.value), expected) << c.format;
    }
}

TEST(Format_Floats, PrecisionZeroForGMeansOne) {
    EXPECT_EQ(fmt("%.0g", 2.5), "2");
    EXPECT_EQ(fmt("%.0g", 26.0), "3e+01");
    EXPECT_EQ(fmt("%.0G", 0.00025), "0.0003");
    EXPECT_EQ(fmt("%.0G", 2.5e10), "2E+10");
}

TEST(Format_Floats, HugePrecisionStaysBounded) {
    std::string s = fmt("%.400f", 1e300);
    EXPECT_LT(s.size(), 512u);
    EXPECT_EQ(s.substr(0, 4), "1000");
}

TEST(Format_Addresses, Ipv4BothByteOrders) {
    EXPECT_EQ(fmt("%pa", 0xC0A80001u), "192.168.0.1");
    const ORTU_BYTE bytes[4] = {0xC0, 0xA8, 0x00, 0x01};
    ORTU_UINT32 network;
    std::memcpy(&network, bytes, 4);
    EXPECT_EQ(fmt("%pA", network), "192.168.0.1");
    EXPECT_EQ(fmt("%pa", 0u), "0.0.0.0");
    EXPECT_EQ(fmt("%pa", 0xFFFFFFFFu), "255.255.255.255");
    EXPECT_EQ(fmt("%.5pa", 0xC0A80001u), "192.1");
    EXPECT_EQ(fmt("%12pa|%-12pa|", 0x0A000001u, 0x0A000001u), "    10.0.0.1|10.0.0.1    |");
    EXPECT_EQ(fmt("%pa %d", 0x01020304u, 9), "1.2.3.4 9");
}

TEST(Format_Addresses, Ipv6Compression) {
    EXPECT_EQ(ipv6("%pB", {0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}), "2001:db8::1");
    EXPECT_EQ(ipv6("%pB", {0, 0, 0, 0, 0, 0, 0, 0}), "::");
    EXPECT_EQ(ipv6("%pB", {0, 0, 0, 0, 0, 0, 0, 1}), "::1");
    EXPECT_EQ(ipv6("%pB", {1, 0, 0, 0, 0, 0, 0, 0}), "1::");
    EXPECT_EQ(ipv6("%pB", {0, 0, 1, 2, 3, 4, 5, 6}), "::1:2:3:4:5:6");
    // A lone zero group stays.
    EXPECT_EQ(ipv6("%pB", {1, 0, 2, 3, 4, 5, 6, 7}), "1:0:2:3:4:5:6:7");
    // The longest run wins; on a tie the first.
    EXPECT_EQ(ipv6("%pB", {1, 0, 0, 2, 0, 0, 0, 3}), "1:0:0:2::3");
    EXPECT_EQ(ipv6("%pB", {1, 0, 0, 2, 0, 0, 3, 4}), "1::2:0:0:3:4");
    EXPECT_EQ(ipv6("%pB", {0xFE80, 0, 0, 0, 0x0202, 0xB3FF, 0xFE1E, 0x8329}),
              "fe80::202:b3ff:fe1e:8329");
    EXPECT_EQ(ipv6("%pB", {0xABCD, 0xEF01, 0x2345, 0x6789, 0xABCD, 0xEF01, 0x2345, 0x6789}),
              "abcd:ef01:2345:6789:abcd:ef01:2345:6789");
}

TEST(Format_Addresses, Ipv6MappedAndCompatible) {
    EXPECT_EQ(ipv6("%pB", {0, 0, 0, 0, 0, 0xffff, 0x0a00, 0x0001}), "::ffff:10.0.0.1");
    EXPECT_EQ(ipv6("%pb", {0, 0, 0, 0, 0, 0xffff, 0x0a00, 0x0001}), "10.0.0.1");
    EXPECT_EQ(ipv6("%pB", {0, 0, 0, 0, 0, 0, 0x0102, 0x0304}), "::1.2.3.4");
    EXPECT_EQ(ipv6("%pb", {0, 0, 0, 0, 0, 0, 0x0102, 0x0304}), "::1.2.3.4");
    EXPECT_EQ(ipv6("%pB", {0, 0, 0, 0, 0, 0, 0, 2}), "::0.0.0.2");
    // 1 and 0 are the loopback and unspecified addresses, not IPv4 ones.
    EXPECT_EQ(ipv6("%pb", {0, 0, 0, 0, 0, 0, 0, 1}), "::1");
    // Only the 0xffff pattern in the sixth group makes a mapped address.
    EXPECT_EQ(ipv6("%pb", {0, 0, 0, 0, 1, 0xffff, 0x0a00, 1}), "::1:ffff:a00:1");
    EXPECT_EQ(ipv6("%.6pB", {0, 0, 0, 0, 0, 0xffff, 0x0a00, 0x0001}), "::ffff");
}

TEST(Format_Addresses, Ipv6AgreesWithTheSystemOnOrdinaryAddresses) {
    std::mt19937 random(1234);
    int compared = 0;
    for (int round = 0; round < 3000; ++round) {
        ORTU_BYTE bytes[16];
        for (int g = 0; g < 8; ++g) {
            unsigned v = (random() % 3 == 0) ? 0 : random() & 0xFFFF;
            if (random() % 4 == 0)
                v &= 0xFF;
            bytes[2 * g] = static_cast<ORTU_BYTE>(v >> 8);
            bytes[2 * g + 1] = static_cast<ORTU_BYTE>(v);
        }
        bool upper80_zero = true;
        for (int i = 0; i < 10; ++i)
            upper80_zero = upper80_zero && bytes[i] == 0;
        if (upper80_zero)
            continue; // the IPv4 forms are checked above
        char expected[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, bytes, expected, sizeof expected), nullptr);
        EXPECT_EQ(fmt("%pB", bytes), expected);
        EXPECT_EQ(fmt("%pb", bytes), expected);
        ++compared;
    }
    EXPECT_GT(compared, 2500);
}

TEST(Format_Addresses, NullIpv6PointerIsNoCrash) {
    EXPECT_EQ(fmt("%pB", static_cast<const void*>(nullptr)), "(null)");
}

TEST(Format_Pointers, PointerAndBogus) {
    EXPECT_EQ(fmt("%pp", reinterpret_cast<void*>(0x1234abcdULL)), "1234abcd");
    EXPECT_EQ(fmt("%pp", reinterpret_cast<void*>(0xfedcba9876543210ULL)), "fedcba9876543210");
    // An unregistered letter eats its argument, so the next one is right.
    EXPECT_EQ(fmt("%pk %d", 17u, 5), "bogus %p 5");
    EXPECT_EQ(fmt("[%p!]"), "[bogus %p]");
    EXPECT_EQ(fmt("%p5 %d", 8), "bogus %p 8");
}

namespace {

char* ext_hex(ORTU_UINT32 arg, char* work_end, int* length) {
    char* p = work_end;
    *--p = '>';
    do {
        *--p = "0123456789abcdef"[arg & 15];
        arg >>= 4;
    } while (arg);
    *--p = '<';
    *length = static_cast<int>(work_end - p);
    return p;
}

char* ext_liar(ORTU_UINT32, char* work_end, int* length) {
    *length = 100000;
    return work_end - 3;
}

char* ext_other(ORTU_UINT32, char* work_end, int* length) {
    *length = 1;
    *--work_end = '!';
    return work_end;
}

} // namespace

TEST(Format_Extensions, RegisteredLetterIsCalled) {
    Debug_Capture capture;
    EXPECT_EQ(ortu_register_format_extension('H', ext_hex), 'H' - 'A');
    EXPECT_EQ(fmt("%pH %d", 0xbeefu, 3), "<beef> 3");
    EXPECT_EQ(fmt("%.3pH", 0xbeefu), "<be");
    EXPECT_EQ(fmt("%8pH|", 0x1u), "     <1>|");
    EXPECT_EQ(captured, "");
}

TEST(Format_Extensions, RegistrationErrors) {
    Debug_Capture capture;
    EXPECT_EQ(ortu_register_format_extension('1', ext_hex), 0);
    EXPECT_EQ(captured, "Attempt to register bogus 49 vformatter extension\n");
    captured.clear();
    EXPECT_EQ(ortu_register_format_extension('j', ext_hex), 26 + ('j' - 'a'));
    EXPECT_EQ(ortu_register_format_extension('j', ext_other), 0);
    EXPECT_EQ(captured, "Extension 'j' already registered\n");
    // The first registration stays in force.
    EXPECT_EQ(fmt("%pj", 2u), "<2>");
    captured.clear();
    // The engine's own letters cannot be taken over.
    EXPECT_EQ(ortu_register_format_extension('a', ext_other), 0);
    EXPECT_EQ(captured, "Extension 'a' already registered\n");
    EXPECT_EQ(fmt("%pa", 0x7F000001u), "127.0.0.1");
    captured.clear();
    EXPECT_EQ(ortu_register_format_extension('\xE9', ext_other), 0);
    EXPECT_EQ(captured, "Attempt to register bogus 233 vformatter extension\n");
}

TEST(Format_Extensions, UnregisterGivesTheLetterBack) {
    EXPECT_EQ(ortu_register_format_extension('m', ext_other), 26 + ('m' - 'a'));
    EXPECT_EQ(fmt("%pm", 0u), "!");
    EXPECT_EQ(ortu_register_format_extension('m', nullptr), 26 + ('m' - 'a'));
    EXPECT_EQ(fmt("%pm", 0u), "bogus %p");
    EXPECT_EQ(ortu_register_format_extension('m', ext_hex), 26 + ('m' - 'a'));
}

TEST(Format_Extensions, LengthOutsideTheWorkBufferIsRefused) {
    ASSERT_NE(ortu_register_format_extension('L', ext_liar), 0);
    EXPECT_EQ(fmt("%pL", 0u), "bogus %p");
}

TEST(Format_Bounded, CutReturnsSize) {
    char b[8];
    std::memset(b, 'Z', sizeof b);
    EXPECT_EQ(ortu_snprintf(b, 4, "abcdef"), 4);
    EXPECT_STREQ(b, "abc");
    EXPECT_EQ(b[4], 'Z');
    EXPECT_EQ(ortu_snprintf(b, 7, "abcdef"), 6);
    EXPECT_STREQ(b, "abcdef");
    EXPECT_EQ(ortu_snprintf(b, 6, "abcdef"), 6);
    EXPECT_STREQ(b, "abcde");
    EXPECT_EQ(ortu_snprintf(b, 1, "abc"), 1);
    EXPECT_STREQ(b, "");
    EXPECT_EQ(ortu_snprintf(b, 1, ""), 0);
    std::memset(b, 'Z', sizeof b);
    EXPECT_EQ(ortu_snprintf(b, 0, "abc"), 0);
    EXPECT_EQ(b[0], 'Z');
    EXPECT_EQ(ortu_snprintf(b, sizeof b, "%2000d", 1), 8);
    EXPECT_STREQ(b, "       ");
}

namespace {

struct Chunked {
    char chunk[4];
    std::string out;
    int flushes = 0;
    int stop_after = -1;
};

int chunk_flush(ORTU_Format_Buffer* b) {
    Chunked* c = static_cast<Chunked*>(b->user1);
    if (c->stop_after >= 0 && c->flushes >= c->stop_after)
        return 1;
    ++c->flushes;
    c->out.append(c->chunk, static_cast<size_t>(b->cur - c->chunk));
    b->cur = c->chunk;
    return 0;
}

int call_engine(ORTU_Format_Flush flush, ORTU_Format_Buffer* b, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int r = ortu_vformat(flush, b, format, args);
    va_end(args);
    return r;
}

} // namespace

TEST(Format_Engine, FlushIsCalledWhenFullAndCanStop) {
    Chunked c;
    ORTU_Format_Buffer b{c.chunk, c.chunk + sizeof c.chunk, &c, nullptr};
    EXPECT_EQ(call_engine(chunk_flush, &b, "%s-%05d", "hello", 42), 11);
    c.out.append(c.chunk, static_cast<size_t>(b.cur - c.chunk));
    EXPECT_EQ(c.out, "hello-00042");
    EXPECT_EQ(c.flushes, 2);

    Chunked s;
    s.stop_after = 1;
    ORTU_Format_Buffer b2{s.chunk, s.chunk + sizeof s.chunk, &s, nullptr};
    EXPECT_EQ(call_engine(chunk_flush, &b2, "0123456789"), -1);
    EXPECT_EQ(s.out, "0123");

    char small[3];
    ORTU_Format_Buffer b3{small, small + sizeof small, nullptr, nullptr};
    EXPECT_EQ(call_engine(nullptr, &b3, "abc"), 3);
    ORTU_Format_Buffer b4{small, small + sizeof small, nullptr, nullptr};
    EXPECT_EQ(call_engine(nullptr, &b4, "abcd"), -1);
    EXPECT_EQ(std::string(small, 3), "abc");
}

TEST(Format_Engine, NullFormatIsAnError) {
    char small[8];
    ORTU_Format_Buffer b{small, small + sizeof small, nullptr, nullptr};
    EXPECT_EQ(call_engine(nullptr, &b, nullptr), -1);
}

TEST(Format_File, WritesThroughTheChunkBuffer) {
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::string big(1500, 'x');
    int n = ortu_fprintf(f, "%s|%d|%pa", big.c_str(), 12345, 0x7F000001u);
    std::string expected = big + "|12345|127.0.0.1";
    EXPECT_EQ(n, static_cast<int>(expected.size()));
    std::rewind(f);
    char back[2048] = {};
    size_t got = std::fread(back, 1, sizeof back, f);
    std::fclose(f);
    EXPECT_EQ(std::string(back, got), expected);
    EXPECT_EQ(ortu_fprintf(nullptr, "x"), -1);
}
