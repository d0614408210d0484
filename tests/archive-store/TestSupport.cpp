#include "TestSupport.h"

#include <mysql.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <regex>

namespace vqtest {

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    std::random_device rd;
    path_ = fs::temp_directory_path() /
            ("vqstore-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
             std::to_string(rd() % 100000));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

vqarchive::DemoOptions smallDemo(uint32_t records, uint64_t seed) {
    vqarchive::DemoOptions o;
    o.records = records;
    o.seed = seed;
    o.endTime = kDemoEnd;
    o.maxAudioSeconds = 12;
    return o;
}

bool mysqlConfigured() {
    const char* url = std::getenv("VQ_MYSQL_URL");
    return url && *url;
}

bool mysqlRequired() {
    const char* req = std::getenv("VQ_REQUIRE_MYSQL");
    return req && std::strcmp(req, "1") == 0;
}

namespace {

struct ConnCloser {
    void operator()(MYSQL* c) const { mysql_close(c); }
};

std::unique_ptr<MYSQL, ConnCloser> adminConnection(const vqarchive::MysqlAddress& a) {
    std::unique_ptr<MYSQL, ConnCloser> c(mysql_init(nullptr));
    if (!mysql_real_connect(c.get(), a.host.c_str(), a.user.c_str(), a.password.c_str(), nullptr,
                            a.port, nullptr, 0))
        throw std::runtime_error(std::string("cannot reach MariaDB: ") + mysql_error(c.get()));
    return c;
}

} // namespace

TempMysqlDatabase::TempMysqlDatabase() {
    const std::string base = std::getenv("VQ_MYSQL_URL");
    vqarchive::MysqlAddress a = vqarchive::MysqlAddress::parse(base);
    static std::atomic<int> counter{0};
    std::random_device rd;
    name_ = "vq_t" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" +
            std::to_string(rd() % 100000);
    auto c = adminConnection(a);
    const std::string sql = "CREATE DATABASE " + name_ + " CHARACTER SET utf8mb4";
    if (mysql_query(c.get(), sql.c_str()) != 0)
        throw std::runtime_error(std::string("cannot create a test database: ") +
                                 mysql_error(c.get()));
    // The same accounts, the reader among them, on the new database.
    const size_t slash = base.rfind('/', base.find('?'));
    const size_t query = base.find('?');
    url_ = base.substr(0, slash + 1) + name_ +
           (query == std::string::npos ? std::string() : base.substr(query));
}

TempMysqlDatabase::~TempMysqlDatabase() {
    try {
        auto c = adminConnection(vqarchive::MysqlAddress::parse(url_));
        const std::string sql = "DROP DATABASE IF EXISTS " + name_;
        mysql_query(c.get(), sql.c_str());
    } catch (...) {
        // Nothing to do: the server's temporary data directory goes anyway.
    }
}

void TempMysqlDatabase::run(const std::string& sql) const {
    const auto a = vqarchive::MysqlAddress::parse(url_);
    auto c = adminConnection(a);
    if (mysql_select_db(c.get(), a.database.c_str()) != 0 || mysql_query(c.get(), sql.c_str()) != 0)
        throw std::runtime_error(std::string("MariaDB: ") + mysql_error(c.get()));
}

size_t Collected::rowCount() const {
    size_t n = 0;
    for (const auto& b : batches)
        n += b.size();
    return n;
}

std::vector<vqarchive::Row> Collected::rows() const {
    std::vector<vqarchive::Row> out;
    for (const auto& b : batches)
        out.insert(out.end(), b.begin(), b.end());
    return out;
}

vqarchive::StoreResult collect(vqarchive::ArchiveStore& store, const std::string& sql,
                               Collected& out, size_t batchSize) {
    vqarchive::CancelToken cancel;
    return store.execute(
        sql, batchSize,
        [&](std::vector<vqarchive::Row>&& rows, bool more) {
            out.batches.push_back(std::move(rows));
            out.hasMore.push_back(more);
            return true;
        },
        cancel);
}

std::vector<std::vector<std::string>> query(vqarchive::ArchiveStore& store,
                                            const std::string& sql) {
    Collected c;
    const auto r = collect(store, sql, c);
    EXPECT_TRUE(r.ok()) << r.message << "\n in: " << sql;
    std::vector<std::vector<std::string>> out;
    for (const auto& row : c.rows()) {
        std::vector<std::string> values;
        for (const auto& col : row)
            values.push_back(col.value);
        out.push_back(std::move(values));
    }
    return out;
}

std::string scalar(vqarchive::ArchiveStore& store, const std::string& sql) {
    const auto rows = query(store, sql);
    if (rows.empty() || rows[0].empty()) {
        ADD_FAILURE() << "no value from: " << sql;
        return {};
    }
    return rows[0][0];
}

vqarchive::StoreResult download(vqarchive::ArchiveStore& store, uint32_t id,
                                std::vector<uint8_t>& bytes, size_t pieceSize, size_t* pieces,
                                size_t* largestPiece) {
    vqarchive::CancelToken cancel;
    size_t count = 0, largest = 0;
    const auto r = store.readData(
        id, pieceSize,
        [&](const uint8_t* data, size_t n) {
            bytes.insert(bytes.end(), data, data + n);
            ++count;
            largest = std::max(largest, n);
            return true;
        },
        cancel);
    if (pieces)
        *pieces = count;
    if (largestPiece)
        *largestPiece = largest;
    return r;
}

std::vector<uint8_t> readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double WavInfo::seconds() const {
    if (sampleRate == 0 || channels == 0 || bitsPerSample == 0)
        return 0;
    return static_cast<double>(dataBytes) / (sampleRate * channels * (bitsPerSample / 8));
}

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

uint16_t le16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

} // namespace

WavInfo parseWav(const std::vector<uint8_t>& b) {
    WavInfo w;
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 ||
        std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
        w.error = "no RIFF/WAVE header";
        return w;
    }
    if (le32(b, 4) + 8 != b.size()) {
        w.error = "RIFF size " + std::to_string(le32(b, 4)) + " does not match the file size " +
                  std::to_string(b.size());
        return w;
    }
    bool haveFmt = false, haveData = false;
    for (size_t at = 12; at + 8 <= b.size();) {
        const std::string tag(reinterpret_cast<const char*>(b.data() + at), 4);
        const uint32_t size = le32(b, at + 4);
        if (at + 8 + size > b.size()) {
            w.error = "chunk " + tag + " runs past the end";
            return w;
        }
        if (tag == "fmt " && size >= 16) {
            w.format = le16(b, at + 8);
            w.channels = le16(b, at + 10);
            w.sampleRate = le32(b, at + 12);
            const uint32_t byteRate = le32(b, at + 16);
            const uint16_t align = le16(b, at + 20);
            w.bitsPerSample = le16(b, at + 22);
            if (align != w.channels * w.bitsPerSample / 8 || byteRate != w.sampleRate * align) {
                w.error = "inconsistent fmt chunk";
                return w;
            }
            haveFmt = true;
        } else if (tag == "data") {
            w.dataBytes = size;
            haveData = true;
        }
        at += 8 + size + (size & 1);
    }
    if (!haveFmt || !haveData)
        w.error = "fmt or data chunk missing";
    return w;
}

double Mp3Info::seconds() const {
    if (sampleRate == 0)
        return 0;
    return static_cast<double>(frames) * samplesPerFrame / sampleRate;
}

Mp3Info parseMp3(const std::vector<uint8_t>& b) {
    Mp3Info m;
    // Bit rates of layer III by index; index 0 (free format) and 15 are not
    // valid for a file of fixed frames.
    static const uint32_t kbpsV1[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                        112, 128, 160, 192, 224, 256, 320, 0};
    static const uint32_t kbpsV2[16] = {0,  8,  16, 24,  32,  40,  48,  56,
                                        64, 80, 96, 112, 128, 144, 160, 0};
    static const uint32_t ratesV1[3] = {44100, 48000, 32000};
    size_t at = 0;
    while (at < b.size()) {
        const std::string where =
            "frame " + std::to_string(m.frames) + " at byte " + std::to_string(at) + ": ";
        if (b.size() - at < 4) {
            m.error = where + "truncated header";
            return m;
        }
        if (b[at] != 0xFF || (b[at + 1] & 0xE0) != 0xE0) {
            m.error = where + "no frame sync";
            return m;
        }
        const int versionBits = (b[at + 1] >> 3) & 3;
        const int layerBits = (b[at + 1] >> 1) & 3;
        const int bitrateIndex = b[at + 2] >> 4;
        const int rateIndex = (b[at + 2] >> 2) & 3;
        const int padding = (b[at + 2] >> 1) & 1;
        const bool mono = (b[at + 3] >> 6) == 3;
        if (versionBits == 1 || rateIndex == 3) {
            m.error = where + "reserved version or sample rate";
            return m;
        }
        if (layerBits != 1) {
            m.error = where + "not layer III";
            return m;
        }
        const bool v1 = versionBits == 3;
        const double version = v1 ? 1 : versionBits == 2 ? 2 : 2.5;
        const uint32_t rate = ratesV1[rateIndex] / (v1 ? 1 : versionBits == 2 ? 2 : 4);
        const uint32_t kbps = (v1 ? kbpsV1 : kbpsV2)[bitrateIndex];
        if (kbps == 0) {
            m.error = where + "free or bad bit rate";
            return m;
        }
        if (m.frames == 0) {
            m.layer = 3;
            m.mpegVersion = version;
            m.sampleRate = rate;
            m.kbps = kbps;
            m.mono = mono;
            m.samplesPerFrame = v1 ? 1152 : 576;
        } else if (version != m.mpegVersion || rate != m.sampleRate || mono != m.mono) {
            m.error = where + "version, rate or mode changes";
            return m;
        }
        const size_t length = (v1 ? 144000 : 72000) * kbps / rate + padding;
        if (length > b.size() - at) {
            m.error = where + "runs past the end";
            return m;
        }
        at += length;
        ++m.frames;
    }
    if (m.frames == 0)
        m.error = "no frames";
    return m;
}

PdfInfo parsePdf(const std::vector<uint8_t>& bytes) {
    PdfInfo p;
    const std::string s(bytes.begin(), bytes.end());
    if (s.rfind("%PDF-1.", 0) != 0) {
        p.error = "no %PDF header";
        return p;
    }
    const size_t eof = s.rfind("%%EOF");
    const size_t sx = s.rfind("startxref");
    if (eof == std::string::npos || sx == std::string::npos || sx > eof) {
        p.error = "no startxref / %%EOF trailer";
        return p;
    }
    const size_t xref = std::stoul(s.substr(sx + 9));
    if (xref >= s.size() || s.compare(xref, 4, "xref") != 0) {
        p.error = "startxref does not point at the xref table";
        return p;
    }
    std::smatch m;
    const std::string tableHead = s.substr(xref, 64);
    if (!std::regex_search(tableHead, m, std::regex("^xref\\n0 (\\d+)\\n"))) {
        p.error = "malformed xref header";
        return p;
    }
    const size_t count = std::stoul(m[1]);
    size_t at = xref + static_cast<size_t>(m.length(0));
    for (size_t i = 0; i < count; ++i, at += 20) {
        if (at + 20 > s.size()) {
            p.error = "xref table truncated";
            return p;
        }
        const std::string entry = s.substr(at, 20);
        if (i == 0)
            continue;
        const size_t off = std::stoul(entry.substr(0, 10));
        const std::string want = std::to_string(i) + " 0 obj";
        if (entry[17] != 'n' || s.compare(off, want.size(), want) != 0) {
            p.error = "xref entry " + std::to_string(i) + " does not point at its object";
            return p;
        }
        ++p.objects;
    }
    // Stream lengths must match the bytes between "stream\n" and
    // "\nendstream".
    const std::regex streamRe("/Length (\\d+) >>\\nstream\\n");
    for (auto it = std::sregex_iterator(s.begin(), s.end(), streamRe); it != std::sregex_iterator();
         ++it) {
        const size_t len = std::stoul((*it)[1]);
        const size_t start = static_cast<size_t>(it->position(0) + it->length(0));
        if (s.compare(start + len, 10, "\nendstream") != 0) {
            p.error = "a stream's /Length is wrong";
            return p;
        }
        p.allContent += s.substr(start, len);
    }
    if (std::regex_search(s, m, std::regex("/Type /Pages /Kids \\[[^\\]]*\\] /Count (\\d+)")))
        p.pages = std::stoul(m[1]);
    const std::regex pageRe("/Type /Page /Parent");
    p.pageObjects = static_cast<size_t>(
        std::distance(std::sregex_iterator(s.begin(), s.end(), pageRe), std::sregex_iterator()));
    if (p.pages == 0 || p.pages != p.pageObjects)
        p.error = "page tree count " + std::to_string(p.pages) + " but " +
                  std::to_string(p.pageObjects) + " page objects";
    return p;
}

} // namespace vqtest

#include "ArchiveWriter.h"
#include "PdfWriter.h"
#include "Prng.h"
#include "WavWriter.h"

namespace vqtest {

KnownArchive writeKnownArchive(const std::string& target) {
    using namespace vqarchive;
    KnownArchive k;
    Prng rng(42);
    k.wavA = wavFile(synthesizeAudio(rng, AudioKind::callRecording, 1.5));
    k.wavB = wavFile(synthesizeAudio(rng, AudioKind::voiceMail, 1.0));
    PdfDocument pdf("test fax");
    pdf.newPage();
    pdf.text(50, 700, 12, PdfFont::bold, "Page one (with parentheses) \\ backslash");
    pdf.line(50, 690, 500, 690);
    pdf.newPage();
    pdf.text(50, 700, 12, PdfFont::regular, "Page two: Grüße");
    k.pdf = pdf.bytes();
    k.fileA = hex64(contentHash(k.wavA)) + ".wav";
    k.fileB = hex64(contentHash(k.wavB)) + ".wav";
    k.fileC = hex64(contentHash(k.pdf)) + ".pdf";

    auto w = createArchiveWriter(target, true);
    w->addUser(1, "Anna Müller", "2001");
    w->addUser(2, "Дмитрий Петров", "2002");
    w->addUser(3, "Bob Smith", "");
    w->addGroup(10, "Support");
    w->addGroup(11, "Отдел продаж");
    const auto media = [&](uint32_t id, const char* type, const char* call, int64_t t,
                           const std::string& file, int64_t size) {
        MediaRecord m;
        m.id = id;
        m.type = type;
        m.callId = call;
        m.timestamp = t;
        m.filename = file;
        m.dataSize = size;
        m.duration = file.empty() ? 0 : 2;
        w->addMedia(m);
    };
    const auto part = [&](uint32_t id, uint32_t user, uint32_t group, const char* ext, int role) {
        w->addParticipant({id, user, group, ext, role});
    };
    media(1, "im", "AAAAA-01-00001-001", 1000, "", 0);
    w->addMessage(1, "Hello World, see https://www.example.com/x");
    part(1, 1, 0, "", 1);
    part(1, 3, 0, "", 0);
    media(2, "im", "AAAAA-01-00001-001", 1010, "", 0);
    w->addMessage(2, "hello again");
    part(2, 3, 0, "", 1);
    part(2, 1, 0, "", 0);
    media(3, "im", "AAAAA-01-00001-002", 1100, "", 0);
    w->addMessage(3, "Grüße aus München, Herr MÜLLER");
    part(3, 1, 10, "", 1);
    part(3, 0, 0, "+49 30 1234", 0);
    media(4, "im", "AAAAA-01-00001-003", 1200, "", 0);
    w->addMessage(4, "Добрый день! Заказ готов.");
    part(4, 2, 11, "", 1);
    part(4, 1, 0, "", 0);
    media(5, "im", "AAAAA-01-00001-004", 1300, "", 0);
    w->addMessage(5, "Καλημέρα κόσμε");
    part(5, 2, 0, "", 1);
    part(5, 3, 0, "", 0);
    media(6, "webchat", "AAAAA-01-00001-005", 1400, "", 0);
    w->addMessage(6, "hello world from the web");
    part(6, 0, 0, "visitor-1@web", 1);
    part(6, 1, 10, "", 0);
    media(7, "callrec", "BBBBB-02-00002-002", 2000, k.fileA, static_cast<int64_t>(k.wavA.size()));
    part(7, 0, 0, "+1 (555) 200-0001", 1);
    part(7, 1, 10, "", 0);
    part(7, 2, 0, "", -1);
    w->addCad("BBBBB-02-00002-002", "CustomerID", "C0000001", "Customer number");
    w->addCad("BBBBB-02-00002-002", "Queue", "Sales", "");
    media(8, "vm", "BBBBB-02-00002-003", 2100, k.fileB, static_cast<int64_t>(k.wavB.size()));
    part(8, 0, 0, "+44 20 1111 2222", 1);
    part(8, 3, 0, "", 0);
    media(9, "fax", "BBBBB-02-00002-004", 2200, k.fileC, static_cast<int64_t>(k.pdf.size()));
    part(9, 0, 0, "+33 1 11 22 33 44", 1);
    part(9, 0, 10, "", 0);
    media(10, "cad", "BBBBB-02-00002-002", 2001, "", 0);
    part(10, 0, 0, "+1 (555) 200-0001", 1);
    part(10, 1, 10, "", 0);
    media(11, "callrec", "CCCCC-03-00003-003", 2300, k.fileA, static_cast<int64_t>(k.wavA.size()));
    part(11, 3, 0, "", 1);
    part(11, 0, 0, "+49 30 9999", 0);
    media(12, "reserved", "", 2400, "", 0);
    part(12, 3, 0, "", 1);
    media(13, "callrec", "DDDDD-04-00004-004", 2500, "0000000000000000.wav", 1000);
    part(13, 3, 0, "", 1);
    media(14, "im", "AAAAA-01-00001-006", 2600, "", 0);
    part(14, 3, 0, "", 1);
    for (uint32_t i = 0; i < KnownArchive::kFillers; ++i) {
        const uint32_t id = KnownArchive::kFirstFiller + i;
        media(id, "im", "EEEEE-05-00005-005", 3000 + i, "", 0);
        w->addMessage(id, KnownArchive::fillerHasNeedle(id)
                              ? "filler message " + std::to_string(id) + " with a NEEDLE in it"
                              : "filler message " + std::to_string(id));
        part(id, 1, 0, "", 1);
        part(id, 2, 0, "", 0);
    }
    for (const auto* f : {&k.fileA, &k.fileB, &k.fileC}) {
        const auto& bytes = f == &k.fileA ? k.wavA : f == &k.fileB ? k.wavB : k.pdf;
        w->addFile(*f, bytes);
    }
    w->setInfo("schema_version", "1");
    w->commit();
    return k;
}

} // namespace vqtest
