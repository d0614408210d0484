// The demo archive generator: reproducible for a seed, the requested size,
// every kind of record, valid audio (WAV and MP3) and fax files, bounded
// disk use.
#include "DemoArchive.h"

#include "Prng.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>

namespace fs = std::filesystem;
using vqtest::query;
using vqtest::scalar;

namespace {

// Every table's rows, in a fixed order, as one text.
std::string dump(vqarchive::ArchiveStore& store) {
    std::string out;
    for (const char* sql :
         {"SELECT * FROM users ORDER BY User_ID", "SELECT * FROM groups ORDER BY Group_ID",
          "SELECT * FROM media ORDER BY Media_ID",
          "SELECT * FROM participants ORDER BY Media_ID, Role, User_ID, Group_ID, "
          "External_Address",
          "SELECT * FROM messages ORDER BY Media_ID", "SELECT * FROM cad ORDER BY call_id, name"}) {
        for (const auto& row : query(store, sql)) {
            for (const auto& v : row)
                out += v + "|";
            out += "\n";
        }
    }
    return out;
}

std::map<std::string, std::string> filesIn(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            out[e.path().filename().string()] =
                vqarchive::hex64(vqarchive::contentHash(vqtest::readFile(e.path())));
    return out;
}

class DemoArchive : public ::testing::Test {
protected:
    void SetUp() override {
        summary_ = vqarchive::createDemoArchive(dir_.str(), vqtest::smallDemo(300, 7));
        store_ = vqarchive::ArchiveStore::open(dir_.str());
    }
    vqtest::TempDir dir_;
    vqarchive::DemoSummary summary_;
    std::unique_ptr<vqarchive::ArchiveStore> store_;
};

TEST_F(DemoArchive, HasTheRequestedNumberOfRecords) {
    EXPECT_EQ(summary_.records, 300u);
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM media"), "300");
    EXPECT_EQ(scalar(*store_, "SELECT MIN(Media_ID) || '-' || MAX(Media_ID) FROM media"), "1-300");
    uint32_t sum = 0;
    for (const auto& [type, n] : summary_.byType)
        sum += n;
    EXPECT_EQ(sum, 300u);
}

TEST(DemoArchiveLong, ALongRecordingOfTheAskedSizeComesLast) {
    vqtest::TempDir dir;
    vqarchive::DemoOptions o = vqtest::smallDemo(40, 3);
    o.longRecordingBytes = 3 * 1024 * 1024;
    const auto summary = vqarchive::createDemoArchive(dir.str(), o);
    EXPECT_EQ(summary.records, 41u);
    EXPECT_EQ(summary.longRecordingId, 41u);
    auto store = vqarchive::ArchiveStore::open(dir.str());
    EXPECT_EQ(
        scalar(*store, "SELECT Media_Type || ' ' || Data_Size FROM media WHERE Media_ID = 41"),
        "callrec 3145728");
    EXPECT_EQ(scalar(*store, "SELECT COUNT(*) FROM participants WHERE Media_ID = 41"), "2");
    std::vector<uint8_t> data;
    ASSERT_TRUE(vqtest::download(*store, 41, data).ok());
    ASSERT_EQ(data.size(), 3u * 1024 * 1024);
    EXPECT_EQ(std::string(data.begin(), data.begin() + 4), "RIFF");
    EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 12), "WAVE");
}

TEST_F(DemoArchive, HoldsEveryKindOfRecordTheViewerLists) {
    std::set<std::string> types;
    for (const auto& r : query(*store_, "SELECT DISTINCT Media_Type FROM media"))
        types.insert(r[0]);
    EXPECT_EQ(types, (std::set<std::string>{"im", "callrec", "vm", "fax", "cad", "webchat"}));
    // Instant messages are the largest share.
    EXPECT_GT(summary_.byType["im"], summary_.byType["callrec"]);
}

TEST_F(DemoArchive, HasUsersGroupsAgentsAndExternalNumbers) {
    EXPECT_GE(summary_.users, 20u);
    EXPECT_GE(summary_.groups, 5u);
    EXPECT_GT(summary_.agents, 0u);
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM users"), std::to_string(summary_.users));
    EXPECT_NE(scalar(*store_, "SELECT COUNT(*) FROM participants WHERE User_ID IS NOT NULL AND "
                              "Group_ID IS NOT NULL"),
              "0");
    EXPECT_NE(scalar(*store_, "SELECT COUNT(*) FROM participants WHERE External_Address LIKE "
                              "'+%'"),
              "0");
    // Every participant names somebody, so the heading's filter keeps it.
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM participants WHERE User_ID IS NULL AND "
                              "Group_ID IS NULL AND External_Address IS NULL"),
              "0");
    // Every record has a caller.
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM media WHERE Media_ID NOT IN (SELECT Media_ID "
                              "FROM participants WHERE Role = 1)"),
              "0");
}

TEST_F(DemoArchive, ConversationsHaveTwoOrMorePartiesWebAddressesAndNonAsciiText) {
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM media WHERE Media_Type = 'im' AND "
                              "(SELECT COUNT(*) FROM participants p WHERE p.Media_ID = "
                              "media.Media_ID) < 2"),
              "0");
    EXPECT_NE(scalar(*store_, "SELECT COUNT(*) FROM messages WHERE body LIKE '%http%' OR body "
                              "LIKE '%www.%'"),
              "0");
    bool nonAscii = false;
    for (const auto& r : query(*store_, "SELECT body FROM messages"))
        for (unsigned char c : r[0])
            nonAscii = nonAscii || c >= 0x80;
    EXPECT_TRUE(nonAscii);
}

TEST_F(DemoArchive, TimesLieInTheNinetyDaysBeforeTheEnd) {
    const auto rows = query(*store_, "SELECT MIN(Timestamp), MAX(Timestamp) FROM media");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_GE(std::stoll(rows[0][0]), vqtest::kDemoEnd - 90 * 86400);
    EXPECT_LT(std::stoll(rows[0][1]), vqtest::kDemoEnd);
    // Ids follow time.
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM media a JOIN media b ON b.Media_ID = "
                              "a.Media_ID + 1 WHERE b.Timestamp < a.Timestamp"),
              "0");
}

TEST_F(DemoArchive, CallsCarryGlobalCallIdsAndAttachedData) {
    const std::regex gcid("[0-9A-Z]{5}-[0-9A-F]{2}-[0-9A-F]{5}-[0-9A-F]{3}");
    for (const auto& r : query(*store_, "SELECT CALL_ID FROM media"))
        EXPECT_TRUE(std::regex_match(r[0], gcid)) << r[0];
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM media m WHERE Media_Type = 'cad' AND NOT "
                              "EXISTS (SELECT 1 FROM cad c WHERE c.call_id = m.CALL_ID)"),
              "0");
    EXPECT_NE(scalar(*store_, "SELECT COUNT(DISTINCT c.call_id) FROM cad c JOIN media m ON "
                              "m.CALL_ID = c.call_id WHERE m.Media_Type = 'callrec'"),
              "0");
}

TEST_F(DemoArchive, RecordingsAreValidWavOrMp3FilesNamedByTheirContent) {
    const auto rows = query(*store_, "SELECT DISTINCT filename, Duration, Data_Size, Media_Type "
                                     "FROM media WHERE Media_Type IN ('callrec', 'vm')");
    ASSERT_FALSE(rows.empty());
    std::map<std::string, std::set<std::string>> extensionsByType;
    for (const auto& r : rows) {
        SCOPED_TRACE(r[0]);
        const auto bytes = vqtest::readFile(dir_.path() / "data" / r[0].substr(0, 2) / r[0]);
        // The viewer picks the player by the last three letters of the name.
        const std::string ext = r[0].substr(r[0].size() - 3);
        extensionsByType[r[3]].insert(ext);
        double seconds = 0;
        if (ext == "wav") {
            const auto wav = vqtest::parseWav(bytes);
            ASSERT_EQ(wav.error, "");
            EXPECT_EQ(wav.format, 1);
            EXPECT_EQ(wav.channels, 1);
            EXPECT_EQ(wav.bitsPerSample, 16);
            EXPECT_EQ(wav.sampleRate, 8000u);
            seconds = wav.seconds();
        } else {
            ASSERT_EQ(ext, "mp3");
            const auto mp3 = vqtest::parseMp3(bytes);
            ASSERT_EQ(mp3.error, "");
            EXPECT_EQ(mp3.sampleRate, 8000u);
            EXPECT_TRUE(mp3.mono);
            seconds = mp3.seconds();
        }
        EXPECT_GE(seconds, 1.0);
        EXPECT_LE(seconds, 12.5);
        EXPECT_NEAR(seconds, std::stod(r[1]), 1.0);
        EXPECT_EQ(std::to_string(bytes.size()), r[2]);
        EXPECT_EQ(vqarchive::hex64(vqarchive::contentHash(bytes)) + "." + ext, r[0]);
    }
    const std::set<std::string> both = {"mp3", "wav"};
    EXPECT_EQ(extensionsByType["callrec"], both);
    EXPECT_EQ(extensionsByType["vm"], both);
}

TEST_F(DemoArchive, AboutAThirdOfTheRecordingsAreMp3) {
    const auto count = [&](const char* like) {
        return std::stoul(scalar(*store_, std::string("SELECT COUNT(*) FROM media WHERE "
                                                      "Media_Type IN ('callrec', 'vm') AND "
                                                      "filename LIKE '") +
                                              like + "'"));
    };
    const unsigned long mp3 = count("%.mp3"), wav = count("%.wav");
    EXPECT_EQ(mp3 + wav,
              std::stoul(scalar(*store_, "SELECT COUNT(*) FROM media WHERE Media_Type IN "
                                         "('callrec', 'vm')")));
    EXPECT_GT(mp3, (mp3 + wav) / 6);
    EXPECT_LT(mp3, (mp3 + wav) * 2 / 3);
}

TEST_F(DemoArchive, FaxesAreValidMultiPagePdfFiles) {
    const auto rows =
        query(*store_, "SELECT DISTINCT filename FROM media WHERE Media_Type = 'fax'");
    ASSERT_FALSE(rows.empty());
    size_t multiPage = 0;
    for (const auto& r : rows) {
        const auto bytes = vqtest::readFile(dir_.path() / "data" / r[0].substr(0, 2) / r[0]);
        const auto pdf = vqtest::parsePdf(bytes);
        ASSERT_EQ(pdf.error, "") << r[0];
        EXPECT_NE(pdf.allContent.find("(FAX) Tj"), std::string::npos);
        EXPECT_NE(pdf.allContent.find(" l S"), std::string::npos) << "drawn lines";
        multiPage += pdf.pages >= 2 ? 1 : 0;
        EXPECT_EQ(r[0].substr(r[0].size() - 4), ".pdf");
    }
    EXPECT_EQ(multiPage, rows.size()) << "a cover sheet and at least one page";
}

TEST_F(DemoArchive, RecordsShareABoundedPoolOfFiles) {
    const auto files = filesIn(dir_.path() / "data");
    EXPECT_EQ(files.size(), summary_.files);
    const std::string distinct =
        scalar(*store_, "SELECT COUNT(DISTINCT filename) FROM media WHERE filename IS NOT NULL");
    EXPECT_EQ(distinct, std::to_string(files.size()));
    const std::string withFiles =
        scalar(*store_, "SELECT COUNT(*) FROM media WHERE filename IS NOT NULL");
    EXPECT_LT(std::stoul(distinct), std::stoul(withFiles));
}

TEST_F(DemoArchive, AnExistingArchiveIsReplacedOnlyWhenAsked) {
    EXPECT_THROW(vqarchive::createDemoArchive(dir_.str(), vqtest::smallDemo(50, 8)),
                 vqarchive::StoreError);
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM media"), "300");
    auto o = vqtest::smallDemo(50, 8);
    o.replace = true;
    vqarchive::createDemoArchive(dir_.str(), o);
    EXPECT_EQ(scalar(*store_, "SELECT COUNT(*) FROM media"), "50");
    // No leftovers of the first archive's files.
    const auto files = filesIn(dir_.path() / "data");
    EXPECT_EQ(std::to_string(files.size()),
              scalar(*store_, "SELECT COUNT(DISTINCT filename) FROM media WHERE filename IS NOT "
                              "NULL"));
}

TEST(DemoArchiveDeterminism, TheSameSeedGivesTheSameArchive) {
    vqtest::TempDir a, b, c;
    vqarchive::createDemoArchive(a.str(), vqtest::smallDemo(150, 11));
    vqarchive::createDemoArchive(b.str(), vqtest::smallDemo(150, 11));
    vqarchive::createDemoArchive(c.str(), vqtest::smallDemo(150, 12));
    auto sa = vqarchive::ArchiveStore::open(a.str());
    auto sb = vqarchive::ArchiveStore::open(b.str());
    auto sc = vqarchive::ArchiveStore::open(c.str());
    EXPECT_EQ(dump(*sa), dump(*sb));
    EXPECT_EQ(filesIn(a.path() / "data"), filesIn(b.path() / "data"));
    EXPECT_NE(dump(*sa), dump(*sc));
}

TEST(DemoArchiveErrors, BadRequestsAreRefused) {
    vqtest::TempDir d;
    auto o = vqtest::smallDemo(0);
    EXPECT_THROW(vqarchive::createDemoArchive(d.str(), o), vqarchive::StoreError);
    // A target below a regular file cannot be created.
    const auto file = d.path() / "plain";
    {
        std::FILE* f = std::fopen(file.c_str(), "w");
        std::fclose(f);
    }
    EXPECT_THROW(vqarchive::createDemoArchive((file / "sub").string(), vqtest::smallDemo(10)),
                 vqarchive::StoreError);
}

TEST(DemoArchiveErrors, AForeignDataFolderIsLeftAlone) {
    vqtest::TempDir d;
    fs::create_directories(d.path() / "data");
    {
        std::FILE* f = std::fopen((d.path() / "data" / "keep.txt").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    auto o = vqtest::smallDemo(10);
    o.replace = true;
    EXPECT_THROW(vqarchive::createDemoArchive(d.str(), o), vqarchive::StoreError);
    EXPECT_TRUE(fs::exists(d.path() / "data" / "keep.txt"));
    EXPECT_FALSE(fs::exists(d.path() / "archive.sqlite"));
}

TEST(DemoArchiveScale, TwentyThousandRecordsKeepTheFilePoolBounded) {
    vqtest::TempDir d;
    auto o = vqtest::smallDemo(20000, 5);
    o.maxAudioSeconds = 3;
    const auto s = vqarchive::createDemoArchive(d.str(), o);
    EXPECT_EQ(s.records, 20000u);
    EXPECT_LE(s.files, 40u + 24u + 40u);
    auto store = vqarchive::ArchiveStore::open(d.str());
    EXPECT_EQ(scalar(*store, "SELECT COUNT(*) FROM media"), "20000");
    uint64_t bytes = 0;
    for (const auto& e : fs::recursive_directory_iterator(d.path() / "data"))
        if (e.is_regular_file())
            bytes += e.file_size();
    EXPECT_EQ(bytes, s.fileBytes);
    EXPECT_LT(bytes, 64ull * 1024 * 1024);
}

TEST(DemoArchiveMariaDB, BuildsTheSameArchiveInADatabase) {
    VQ_MYSQL_OR_SKIP();
    vqtest::TempMysqlDatabase db;
    vqtest::TempDir dir;
    vqarchive::createDemoArchive(db.url(), vqtest::smallDemo(120, 9));
    vqarchive::createDemoArchive(dir.str(), vqtest::smallDemo(120, 9));
    auto maria = vqarchive::ArchiveStore::open(db.url());
    auto lite = vqarchive::ArchiveStore::open(dir.str());
    EXPECT_EQ(dump(*maria), dump(*lite));
    // The data went into the database, byte for byte.
    const auto rows = query(*lite, "SELECT Media_ID, filename FROM media WHERE filename IS NOT "
                                   "NULL ORDER BY Media_ID LIMIT 3");
    for (const auto& r : rows) {
        std::vector<uint8_t> got;
        ASSERT_TRUE(vqtest::download(*maria, static_cast<uint32_t>(std::stoul(r[0])), got).ok());
        EXPECT_EQ(got, vqtest::readFile(dir.path() / "data" / r[1].substr(0, 2) / r[1]));
    }
    EXPECT_THROW(vqarchive::createDemoArchive(db.url(), vqtest::smallDemo(10, 9)),
                 vqarchive::StoreError);
}

TEST(GlobalCallIdText, MatchesTheLongForm) {
    EXPECT_EQ(vqarchive::formatGlobalCallId(0), "XXXXX-00-00000-000");
    const int64_t id = (int64_t{1} << 38) | (int64_t{0x2A} << 30) | 0x12345;
    EXPECT_EQ(vqarchive::formatGlobalCallId(id), "XXXX1-2A-00012-345");
    EXPECT_EQ(vqarchive::formatGlobalCallId(int64_t{36} << 38), "XXX10-00-00000-000");
}

} // namespace
