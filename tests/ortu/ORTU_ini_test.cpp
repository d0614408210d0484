#include "ORTU_String.h"
#include "ORTU_ini.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The items of a zero-separated list ended by a further zero.
std::vector<std::string> items(const char* list) {
    std::vector<std::string> out;
    for (const char* p = list; *p; p += std::strlen(p) + 1)
        out.emplace_back(p);
    return out;
}

std::vector<std::string> names_of(const std::string& text, size_t size = 10240) {
    std::vector<char> buffer(size + 1, '#');
    ORTU_Ini_Reader::section_names(text.data(), text.size(), buffer.data(), size);
    return items(buffer.data());
}

std::vector<std::string> section_of(const std::string& text, const char* name, size_t size = 512) {
    std::vector<char> buffer(size + 1, '#');
    ORTU_Ini_Reader::section(text.data(), text.size(), name, buffer.data(), size);
    return items(buffer.data());
}

using List = std::vector<std::string>;

class Temp_File {
public:
    explicit Temp_File(const std::string& content = "") {
        char name[] = "/tmp/ortu_ini_XXXXXX";
        int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        if (!content.empty()) {
            EXPECT_EQ(write(fd, content.data(), content.size()),
                      static_cast<ssize_t>(content.size()));
        }
        close(fd);
        name_ = name;
    }
    ~Temp_File() { unlink(name_.c_str()); }
    const char* name() const { return name_.c_str(); }
    std::string read() const {
        std::ifstream in(name_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::string name_;
};

} // namespace

TEST(Ini_Section_Names, FileOrderAndBrokenLines) {
    std::string text = "[one]\nk=v\n[two]rest of line\n[]\n[three\n four]\n [five]\n[six]";
    EXPECT_EQ(names_of(text), (List{"one", "two", "six"}));
}

TEST(Ini_Section_Names, LineEndings) {
    EXPECT_EQ(names_of("[a]\r\n[b]\r[c]\n\n\n[d]"), (List{"a", "b", "c", "d"}));
    // A zero byte cannot smuggle a name part into the list.
    EXPECT_EQ(names_of(std::string("[x\0y]\n[z]", 9)), (List{"z"}));
}

TEST(Ini_Section_Names, BufferKeepsRoomForTheFinalZero) {
    std::string text = "[abc]\n[de]\n[f]\n";
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    // "abc\0de\0" is 7 bytes; 8 holds it and the final zero.
    EXPECT_EQ(ORTU_Ini_Reader::section_names(text.data(), text.size(), buffer, 8), 7u);
    EXPECT_EQ(std::memcmp(buffer, "abc\0de\0\0", 8), 0);
    EXPECT_EQ(buffer[8], '#');
    // One byte less: "de" no longer fits whole.
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(ORTU_Ini_Reader::section_names(text.data(), text.size(), buffer, 7), 4u);
    EXPECT_EQ(std::memcmp(buffer, "abc\0\0", 5), 0);
    EXPECT_EQ(buffer[5], '#');
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(ORTU_Ini_Reader::section_names(text.data(), text.size(), buffer, 1), 0u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], '#');
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(ORTU_Ini_Reader::section_names(text.data(), text.size(), buffer, 0), 0u);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(ORTU_Ini_Reader::section_names(text.data(), text.size(), buffer, sizeof buffer), 9u);
}

TEST(Ini_Section_Names, EmptyTextGivesEmptyList) {
    char buffer[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(ORTU_Ini_Reader::section_names("", 0, buffer, sizeof buffer), 0u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(ORTU_Ini_Reader::section_names(nullptr, 0, buffer, sizeof buffer), 0u);
}

TEST(Ini_Section, NameMatchesWithoutCaseForLettersOnly) {
    std::string text = "[qrex]\nmax_level=3\n[@x]\na=1\n";
    EXPECT_EQ(section_of(text, "QREX"), (List{"max_level=3"}));
    EXPECT_EQ(section_of(text, "QrEx"), (List{"max_level=3"}));
    // '@' and '`' are 32 apart but no letters.
    EXPECT_EQ(section_of(text, "`x"), List{});
    EXPECT_EQ(section_of(text, "@X"), (List{"a=1"}));
    // The whole name must match, up to "]".
    EXPECT_EQ(section_of(text, "qre"), List{});
    EXPECT_EQ(section_of("[qrex ]\na=1\n", "qrex"), List{});
    EXPECT_EQ(section_of(text, ""), List{});
    EXPECT_EQ(section_of(text, nullptr), List{});
}

TEST(Ini_Section, EntryLineRules) {
    std::string text = "[s]\n"
                       "  key  =  value with trailing  \n"
                       "\tk2\t=\tv2\n"
                       "=nothing before\n"
                       "   = blank key\n"
                       "no equals sign\n"
                       "empty=\n"
                       "a=b=c\n"
                       "in ner = x\n"
                       "\n"
                       "last=1";
    EXPECT_EQ(section_of(text, "s"), (List{"key=value with trailing  ", "k2=v2", "empty=", "a=b=c",
                                           "in ner=x", "last=1"}));
}

TEST(Ini_Section, EndsAtNextBracketLineAndTakesTheFirst) {
    std::string text = "[a]\nx=1\n[broken\ny=2\n[a]\nz=3\n";
    EXPECT_EQ(section_of(text, "a"), (List{"x=1"}));
    EXPECT_EQ(section_of("[a]\r\nx=1\r\ny=2\r\n", "a"), (List{"x=1", "y=2"}));
    EXPECT_EQ(section_of("[a]\n[b]\nx=1\n", "a"), List{});
}

TEST(Ini_Section, ResultCountsBytesAndZeroMeansNone) {
    std::string text = "[a]\nx=1\nlong=22\n[empty]\njunk\n";
    char buffer[64];
    EXPECT_EQ(ORTU_Ini_Reader::section(text.data(), text.size(), "a", buffer, sizeof buffer),
              4u + 8u);
    EXPECT_EQ(ORTU_Ini_Reader::section(text.data(), text.size(), "empty", buffer, sizeof buffer),
              0u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(ORTU_Ini_Reader::section(text.data(), text.size(), "missing", buffer, sizeof buffer),
              0u);
}

TEST(Ini_Section, Only512BytesAreRead) {
    // 50 entries "kNN=" plus 20 value characters: 25 bytes each with the zero.
    std::string text = "[big]\n";
    for (int i = 0; i < 50; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "k%02d=%020d\n", i, i);
        text += line;
    }
    List got = section_of(text, "big", ORTU_Ini_Reader::SECTION_BUFFER_SIZE);
    // 20 entries are 500 bytes; a 21st would need 525 of the 511 usable.
    ASSERT_EQ(got.size(), 20u);
    EXPECT_EQ(got.back(), "k19=00000000000000000019");
    char buffer[512];
    EXPECT_EQ(ORTU_Ini_Reader::section(text.data(), text.size(), "big", buffer, sizeof buffer),
              500u);
    // An exact fit: 511 bytes of entries are allowed, the final zero is byte 512.
    std::string exact = "[e]\n" + std::string(509, 'k') + "=\n";
    EXPECT_EQ(ORTU_Ini_Reader::section(exact.data(), exact.size(), "e", buffer, sizeof buffer),
              511u);
    std::string over = "[e]\n" + std::string(510, 'k') + "=\n";
    EXPECT_EQ(ORTU_Ini_Reader::section(over.data(), over.size(), "e", buffer, sizeof buffer), 0u);
}

TEST(Ini_Lookup, KeysMatchWholeAndWithoutCase) {
    const char entries[] = "max_level=3\0Enabled=1\0a=b=c\0empty=\0";
    EXPECT_STREQ(ORTU_Ini_Reader::lookup(entries, "max_level"), "3");
    EXPECT_STREQ(ORTU_Ini_Reader::lookup(entries, "ENABLED"), "1");
    EXPECT_STREQ(ORTU_Ini_Reader::lookup(entries, "enabled"), "1");
    EXPECT_STREQ(ORTU_Ini_Reader::lookup(entries, "a"), "b=c");
    EXPECT_STREQ(ORTU_Ini_Reader::lookup(entries, "max"), "");
    EXPECT_STREQ(ORTU_Ini_Reader::lookup(entries, "max_level_x"), "");
    EXPECT_STREQ(ORTU_Ini_Reader::lookup(entries, "empty"), "");
    EXPECT_STREQ(ORTU_Ini_Reader::lookup(entries, "missing"), "");
    EXPECT_STREQ(ORTU_Ini_Reader::lookup(nullptr, "x"), "");
}

TEST(Ini_Files, ReadFromFile) {
    Temp_File file("[Debug_Manager]\nenabled = 1\n[qrex]\nmax_level=3\n");
    char buffer[128];
    EXPECT_EQ(ORTU_Ini_Reader::file_section_names(file.name(), buffer, sizeof buffer), 19u);
    EXPECT_EQ(items(buffer), (List{"Debug_Manager", "qrex"}));
    EXPECT_GT(ORTU_Ini_Reader::file_section(file.name(), "debug_manager", buffer, sizeof buffer),
              0u);
    EXPECT_EQ(items(buffer), (List{"enabled=1"}));
    EXPECT_EQ(ORTU_Ini_Reader::file_section("/nonexistent/x.ini", "a", buffer, sizeof buffer), 0u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(ORTU_Ini_Reader::file_section_names("/nonexistent/x.ini", buffer, sizeof buffer), 0u);
    ORTU_String text;
    EXPECT_FALSE(ORTU_Ini_Reader::read_file("/nonexistent/x.ini", text));
    EXPECT_TRUE(ORTU_Ini_Reader::read_file(file.name(), text));
    EXPECT_EQ(text.length(), 47u);
}

TEST(Ini_Files, BinaryGarbageIsHarmless) {
    std::string garbage;
    unsigned v = 12345;
    for (int i = 0; i < 20000; ++i) {
        v = v * 1103515245u + 12345u;
        char c = static_cast<char>(v >> 16);
        garbage += (i % 97 == 0) ? '[' : (i % 89 == 0) ? ']' : (i % 83 == 0) ? '=' : c;
    }
    char names[10240];
    size_t used =
        ORTU_Ini_Reader::section_names(garbage.data(), garbage.size(), names, sizeof names);
    ASSERT_LT(used, sizeof names);
    for (const std::string& name : items(names)) {
        char entries[512];
        size_t n = ORTU_Ini_Reader::section(garbage.data(), garbage.size(), name.c_str(), entries,
                                            sizeof entries);
        ASSERT_LT(n, sizeof entries);
        EXPECT_EQ(entries[n], 0);
    }
}

TEST(Ini_Document, LoadSetAndSave) {
    ORTU_Ini_Document doc;
    std::string text = "stray=1\n[Alpha]\n a = 1 \nb=2\n[beta]\nc=3\n";
    doc.load_text(text.data(), text.size());
    ASSERT_EQ(doc.section_count(), 2u);
    EXPECT_STREQ(doc.section(0).name.c_str(), "Alpha");
    ASSERT_EQ(doc.section(0).entries.size(), 2u);
    EXPECT_STREQ(doc.section(0).entries[0].c_str(), "a=1 ");
    EXPECT_STREQ(doc.value("ALPHA", "B"), "2");
    EXPECT_STREQ(doc.value("beta", "missing"), "");
    EXPECT_STREQ(doc.value("gamma", "c"), "");

    // Replaced in place, compared without case; new ones go to the end.
    doc.set_section("ALPHA", std::vector<ORTU_String>{"x=9"});
    doc.set_section("gamma", "g=1\0h=2\0");
    ASSERT_EQ(doc.section_count(), 3u);
    EXPECT_STREQ(doc.section(0).name.c_str(), "ALPHA");
    EXPECT_STREQ(doc.value("alpha", "x"), "9");
    EXPECT_STREQ(doc.value("alpha", "a"), "");
    EXPECT_STREQ(doc.value("gamma", "h"), "2");

    Temp_File file("old content that must go away, longer than the new one........");
    ASSERT_TRUE(doc.save(file.name()));
    EXPECT_EQ(file.read(), "[ALPHA]\nx=9\n[beta]\nc=3\n[gamma]\ng=1\nh=2\n");

    ORTU_Ini_Document again;
    ASSERT_TRUE(again.load_file(file.name()));
    ASSERT_EQ(again.section_count(), 3u);
    EXPECT_STREQ(again.value("GAMMA", "g"), "1");
    EXPECT_FALSE(again.load_file("/nonexistent/x.ini"));
    EXPECT_EQ(again.section_count(), 0u);
    EXPECT_FALSE(doc.save("/nonexistent/dir/x.ini"));
}
