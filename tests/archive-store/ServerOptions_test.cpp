// The command line of vqarchived.
#include "ServerOptions.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace vqarchive;

namespace {
ParsedOptions parse(std::vector<std::string> args) {
    return parseServerOptions(args);
}

// Every serving option that takes a value, with a good value for it.
const std::vector<std::pair<std::string, std::string>> kServingOptions = {
    {"--port", "0"},
    {"--listen", "127.0.0.1"},
    {"--password", "w"},
    {"--password-file", "/etc/vq/pw"},
    {"--batch-size", "8"},
    {"--piece-size", "4096"},
    {"--handshake-timeout", "3s"},
    {"--idle-timeout", "1min"},
    {"--request-timeout", "2s"},
    {"--write-timeout", "750"},
    {"--max-connections", "5"},
    {"--max-request-bytes", "65536"},
    {"--max-queued-jobs", "0"},
    {"--fault-initialize-error", "Server is in maintenance"},
    {"--fault-close-back-after", "3"},
    {"--fault-batch-delay", "20ms"},
};
} // namespace

TEST(ServerOptions, ServingDefaultsAreTheViewersDefaults) {
    const auto p = parse({"/srv/archive"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.mode, RunMode::serve);
    EXPECT_EQ(p.options.archive, "/srv/archive");
    // The viewer connects to 7456 with the password "pemrak" unless told
    // otherwise; a server started without options must accept it.
    EXPECT_EQ(p.options.server.port, 7456);
    EXPECT_EQ(p.options.server.password, "pemrak");
    EXPECT_EQ(p.options.server.listenAddress, "");
    EXPECT_TRUE(p.options.passwordFile.empty());
    EXPECT_TRUE(p.options.server.backToPeerOnly);
    EXPECT_TRUE(p.options.server.faults.initializeError.empty());
    EXPECT_EQ(p.options.server.faults.closeBackAfterCalls, 0u);
    EXPECT_EQ(p.options.server.faults.batchDelayMs, 0u);
    EXPECT_EQ(p.options.server.batchSize, 32u);
}

TEST(ServerOptions, EveryServingOptionReachesTheServerConfig) {
    std::vector<std::string> args;
    for (const auto& [name, value] : kServingOptions)
        if (name != "--password") // exclusive with --password-file
            args.insert(args.end(), {name, value});
    args.insert(args.end(), {"--any-back-address", "mysql://a@b/c"});
    const auto p = parse(args);
    ASSERT_TRUE(p.ok) << p.error;
    const ServerConfig& c = p.options.server;
    EXPECT_EQ(c.port, 0);
    EXPECT_EQ(c.listenAddress, "127.0.0.1");
    EXPECT_EQ(p.options.passwordFile, "/etc/vq/pw");
    EXPECT_EQ(c.batchSize, 8u);
    EXPECT_EQ(c.pieceSize, 4096u);
    EXPECT_EQ(c.handshakeTimeoutMs, 3000u);
    EXPECT_EQ(c.idleTimeoutMs, 60000u);
    EXPECT_EQ(c.requestTimeoutMs, 2000u);
    EXPECT_EQ(c.writeTimeoutMs, 750u);
    EXPECT_EQ(c.maxConnections, 5u);
    EXPECT_EQ(c.maxRequestBytes, 65536u);
    EXPECT_EQ(c.maxQueuedJobs, 0u);
    EXPECT_FALSE(c.backToPeerOnly);
    EXPECT_EQ(c.faults.initializeError, "Server is in maintenance");
    EXPECT_EQ(c.faults.closeBackAfterCalls, 3u);
    EXPECT_EQ(c.faults.batchDelayMs, 20u);
    EXPECT_EQ(p.options.archive, "mysql://a@b/c");
}

TEST(ServerOptions, BothValueFormsAndTheLastValueWins) {
    auto p = parse({"--port=1", "--password=", "--batch-size=3", "--batch-size", "4", "x"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.server.port, 1);
    EXPECT_EQ(p.options.server.password, "");
    EXPECT_EQ(p.options.server.batchSize, 4u);
    p = parse({"-p", "65535", "--fault-initialize-error=a=b", "x"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.server.port, 65535);
    EXPECT_EQ(p.options.server.faults.initializeError, "a=b");
}

TEST(ServerOptions, TimesTakeAUnit) {
    const std::vector<std::pair<std::string, uint32_t>> cases = {
        {"1", 1},        {"250ms", 250},    {"10s", 10000},   {"5min", 300000},
        {"1h", 3600000}, {"24h", 86400000}, {"0010s", 10000}, {"86400000", 86400000}};
    for (const auto& [text, ms] : cases) {
        const auto p = parse({"--idle-timeout", text, "x"});
        ASSERT_TRUE(p.ok) << text << ": " << p.error;
        EXPECT_EQ(p.options.server.idleTimeoutMs, ms) << text;
    }
}

TEST(ServerOptions, CreateDemoForm) {
    auto p = parse({"--create-demo", "/tmp/d", "--seed", "18446744073709551615", "--records",
                    "200000", "--replace", "--end-time", "1765238400"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.mode, RunMode::createDemo);
    EXPECT_EQ(p.options.demoTarget, "/tmp/d");
    EXPECT_EQ(p.options.seed, 18446744073709551615ull);
    EXPECT_EQ(p.options.records, 200000u);
    EXPECT_TRUE(p.options.replace);
    EXPECT_EQ(p.options.endTime, 1765238400);
    p = parse({"--create-demo", "/tmp/d", "--span", "3650"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.days, 3650u);
    for (const char* bad : {"0", "36501", "x"})
        EXPECT_FALSE(parse({"--create-demo", "/tmp/d", "--span", bad}).ok) << bad;
    p = parse({"--create-demo=/tmp/d"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.records, 5000u);
    EXPECT_EQ(p.options.seed, 1u);
    EXPECT_EQ(p.options.longRecordingMb, 0u);
    p = parse({"--create-demo", "/tmp/d", "--long-recording", "50"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.longRecordingMb, 50u);
    for (const char* bad : {"0", "4097", "x", "-1"}) {
        p = parse({"--create-demo", "/tmp/d", "--long-recording", bad});
        EXPECT_FALSE(p.ok) << bad;
        EXPECT_NE(p.error.find("long recording"), std::string::npos) << p.error;
    }
    // Only for a demo archive.
    EXPECT_FALSE(parse({"--long-recording", "5", "/srv/archive"}).ok);
}

TEST(ServerOptions, HelpWinsAndDocumentsEveryOption) {
    EXPECT_EQ(parse({"--help"}).options.mode, RunMode::help);
    EXPECT_EQ(parse({"-h", "x"}).options.mode, RunMode::help);
    EXPECT_EQ(parse({"--version", "--help"}).options.mode, RunMode::help);
    // --version needs no archive, and serves none.
    EXPECT_EQ(parse({"--version"}).options.mode, RunMode::version);
    EXPECT_EQ(parse({"--port", "7000", "--version"}).options.mode, RunMode::version);
    const std::string usage = usageText();
    for (const auto& [name, value] : kServingOptions)
        EXPECT_NE(usage.find(name + " "), std::string::npos) << name;
    for (const char* name : {"--any-back-address", "--create-demo", "--seed", "--records", "--span",
                             "--end-time", "--long-recording", "--replace", "--help", "--version"})
        EXPECT_NE(usage.find(name), std::string::npos) << name;
    // The defaults shown are the server's.
    EXPECT_NE(usage.find("(default 7456)"), std::string::npos);
    EXPECT_NE(usage.find("(default 10s)"), std::string::npos);
    EXPECT_NE(usage.find("listening on ADDR:PORT"), std::string::npos);
}

TEST(ServerOptions, BadCommandLinesSayWhatIsWrong) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const std::vector<Case> cases = {
        {{}, "no archive"},
        {{"--bogus", "a"}, "unknown option '--bogus'"},
        {{"--bogus=1", "a"}, "unknown option '--bogus=1'"},
        {{"--port"}, "needs a value"},
        {{"a", "--idle-timeout"}, "option --idle-timeout needs a value"},
        {{"--port", "65536", "a"}, "bad port"},
        {{"--port", "12x", "a"}, "bad port"},
        {{"--port", "-5", "a"}, "bad port"},
        {{"--port", "", "a"}, "bad port"},
        {{"--listen", "localhost", "a"}, "bad listen address"},
        {{"--listen", "1.2.3.256", "a"}, "bad listen address"},
        {{"--password", "a", "--password-file", "f", "x"}, "give the password once"},
        {{"--password-file", "f", "--password", "a", "x"}, "give the password once"},
        {{"--password-file=", "x"}, "needs a file name"},
        {{"--batch-size", "0", "a"},
         "bad value '0' for --batch-size: expected a number from 1 "
         "to 32"},
        {{"--batch-size", "33", "a"}, "for --batch-size"},
        {{"--piece-size", "0", "a"}, "for --piece-size"},
        {{"--piece-size", "1048577", "a"}, "to 1048576"},
        {{"--handshake-timeout", "0", "a"}, "bad value '0' for --handshake-timeout"},
        {{"--handshake-timeout", "10 s", "a"}, "for --handshake-timeout"},
        {{"--idle-timeout", "25h", "a"}, "from 1ms to 24h"},
        {{"--idle-timeout", "99999999999999999999", "a"}, "for --idle-timeout"},
        {{"--request-timeout", "s", "a"}, "for --request-timeout"},
        {{"--write-timeout", "1.5s", "a"}, "for --write-timeout"},
        {{"--write-timeout", "-1", "a"}, "for --write-timeout"},
        {{"--max-connections", "0", "a"}, "for --max-connections"},
        {{"--max-connections", "4097", "a"}, "for --max-connections"},
        {{"--max-request-bytes", "1023", "a"}, "for --max-request-bytes"},
        {{"--max-request-bytes", "268435457", "a"}, "for --max-request-bytes"},
        {{"--max-queued-jobs", "1025", "a"}, "for --max-queued-jobs"},
        {{"--fault-initialize-error", "", "a"}, "needs a text"},
        {{"--fault-close-back-after", "0", "a"}, "for --fault-close-back-after"},
        {{"--fault-close-back-after", "4294967296", "a"}, "for --fault-close-back-after"},
        {{"--fault-batch-delay", "0", "a"}, "for --fault-batch-delay"},
        {{"--fault-batch-delay", "2min", "a"}, "to 1min"},
        {{"--any-back-address=yes", "a"}, "takes no value"},
        {{"a", "b"}, "more than one archive"},
        {{""}, "archive name is empty"},
        {{"--seed", "5", "a"}, "only with --create-demo"},
        {{"--create-demo", "d", "--port", "1"}, "option --port applies only when serving"},
        {{"--create-demo", "d", "--fault-batch-delay", "5"}, "applies only when serving"},
        {{"--any-back-address", "--create-demo", "d"}, "applies only when serving"},
        {{"--create-demo", "d", "extra"}, "unexpected argument"},
        {{"--create-demo", "d", "--records", "0"}, "bad record count"},
        {{"--create-demo", "d", "--records", "99999999999"}, "bad record count"},
        {{"--create-demo", "d", "--seed", "99999999999999999999"}, "bad seed"},
        {{"--create-demo", "d", "--create-demo", "e"}, "given twice"},
        {{"--create-demo", ""}, "needs a folder"},
        {{"--create-demo", "d", "--end-time", "yesterday"}, "bad end time"},
        {{"--replace=yes", "--create-demo", "d"}, "takes no value"},
        {{"--version=2"}, "option --version takes no value"},
    };
    for (const auto& c : cases) {
        const auto p = parse(c.args);
        EXPECT_FALSE(p.ok) << c.says;
        EXPECT_NE(p.error.find(c.says), std::string::npos) << "got: " << p.error;
    }
}

TEST(ServerOptions, ADoubleDashEndsTheOptions) {
    const auto p = parse({"--", "--weird-folder-name"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.archive, "--weird-folder-name");
}

namespace {
std::string writeFile(const vqtest::TempDir& dir, const std::string& name,
                      const std::string& content) {
    const std::string path = (dir.path() / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
}
} // namespace

TEST(PasswordFile, TheFirstLineIsThePassword) {
    vqtest::TempDir d;
    std::string password, error;
    ASSERT_TRUE(readPasswordFile(writeFile(d, "a", "s3cret word\nsecond line\n"), password, error))
        << error;
    EXPECT_EQ(password, "s3cret word");
    ASSERT_TRUE(readPasswordFile(writeFile(d, "b", "dos\r\n"), password, error)) << error;
    EXPECT_EQ(password, "dos");
    ASSERT_TRUE(readPasswordFile(writeFile(d, "c", "no line end"), password, error)) << error;
    EXPECT_EQ(password, "no line end");
    // An empty first line is an empty password, on purpose.
    ASSERT_TRUE(readPasswordFile(writeFile(d, "e", "\n"), password, error)) << error;
    EXPECT_EQ(password, "");
}

TEST(PasswordFile, UnusableFilesAreRefusedWithTheReason) {
    vqtest::TempDir d;
    std::string password = "unchanged", error;
    EXPECT_FALSE(readPasswordFile((d.path() / "missing").string(), password, error));
    EXPECT_NE(error.find("cannot read the password file"), std::string::npos) << error;
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
    EXPECT_FALSE(readPasswordFile(writeFile(d, "empty", ""), password, error));
    EXPECT_NE(error.find("is empty"), std::string::npos) << error;
    EXPECT_FALSE(readPasswordFile(writeFile(d, "big", std::string(kMaxPasswordFileBytes + 1, 'x')),
                                  password, error));
    EXPECT_NE(error.find("larger than 4096 bytes"), std::string::npos) << error;
    EXPECT_FALSE(readPasswordFile(d.str(), password, error));
    EXPECT_NE(error.find("is a folder"), std::string::npos) << error;
    EXPECT_EQ(password, "unchanged");
    // Exactly at the limit is still fine.
    ASSERT_TRUE(readPasswordFile(writeFile(d, "max", std::string(kMaxPasswordFileBytes, 'y')),
                                 password, error))
        << error;
    EXPECT_EQ(password.size(), kMaxPasswordFileBytes);
}
