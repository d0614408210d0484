// The command line of vqarchived.
#include "ServerOptions.h"

#include <gtest/gtest.h>

using namespace vqarchive;

namespace {
ParsedOptions parse(std::vector<std::string> args) {
    return parseServerOptions(args);
}
} // namespace

TEST(ServerOptions, ServingDefaults) {
    const auto p = parse({"/srv/archive"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.mode, RunMode::serve);
    EXPECT_EQ(p.options.archive, "/srv/archive");
    EXPECT_EQ(p.options.port, 7456);
    EXPECT_EQ(p.options.listen, "");
    EXPECT_EQ(p.options.password, "pemrak");
}

TEST(ServerOptions, ServingWithEveryOptionInBothForms) {
    auto p = parse({"--port", "9000", "--listen", "127.0.0.1", "--password", "w", "mysql://a@b/c"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.port, 9000);
    EXPECT_EQ(p.options.listen, "127.0.0.1");
    EXPECT_EQ(p.options.password, "w");
    EXPECT_EQ(p.options.archive, "mysql://a@b/c");
    p = parse({"--port=1", "--password=", "x"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.port, 1);
    EXPECT_EQ(p.options.password, "");
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
    p = parse({"--create-demo=/tmp/d"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.records, 5000u);
    EXPECT_EQ(p.options.seed, 1u);
}

TEST(ServerOptions, HelpWinsOverEverythingElse) {
    EXPECT_EQ(parse({"--help"}).options.mode, RunMode::help);
    EXPECT_EQ(parse({"-h", "x"}).options.mode, RunMode::help);
    EXPECT_NE(usageText().find("--create-demo"), std::string::npos);
}

TEST(ServerOptions, BadCommandLinesSayWhatIsWrong) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const std::vector<Case> cases = {
        {{}, "no archive"},
        {{"--bogus", "a"}, "unknown option '--bogus'"},
        {{"--port"}, "needs a value"},
        {{"--port", "0", "a"}, "bad port"},
        {{"--port", "65536", "a"}, "bad port"},
        {{"--port", "12x", "a"}, "bad port"},
        {{"--port", "-5", "a"}, "bad port"},
        {{"--listen", "localhost", "a"}, "bad listen address"},
        {{"--listen", "1.2.3.256", "a"}, "bad listen address"},
        {{"a", "b"}, "more than one archive"},
        {{"--seed", "5", "a"}, "only with --create-demo"},
        {{"--create-demo", "d", "--port", "1"}, "only when serving"},
        {{"--create-demo", "d", "extra"}, "unexpected argument"},
        {{"--create-demo", "d", "--records", "0"}, "bad record count"},
        {{"--create-demo", "d", "--records", "99999999999"}, "bad record count"},
        {{"--create-demo", "d", "--seed", "99999999999999999999"}, "bad seed"},
        {{"--create-demo", "d", "--create-demo", "e"}, "given twice"},
        {{"--create-demo", ""}, "needs a folder"},
        {{"--create-demo", "d", "--end-time", "yesterday"}, "bad end time"},
        {{"--replace=yes", "--create-demo", "d"}, "takes no value"},
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
