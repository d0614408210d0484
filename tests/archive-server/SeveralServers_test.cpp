// Two vqarchived processes serving one MariaDB archive at once, as behind a
// load balancer: sessions land on either, and what one server changes the
// other serves at once, since neither keeps archive state of its own.
#include "ServerTestSupport.h"
#include "TestSupport.h"

#include "vqlink/vqlink.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace vqtest;

// vqarchived as a program; the port comes from its "listening on" line.
class ServerProgram {
public:
    explicit ServerProgram(const std::string& archive) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> argv{VQARCHIVED_PATH, "--port",     "0",       "--listen",
                                      "127.0.0.1",     "--password", kPassword, archive};
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        // "vqarchived: listening on 127.0.0.1:PORT (...)", within a minute.
        std::string line;
        pollfd p{out[0], POLLIN, 0};
        char c = 0;
        while (pid_ > 0 && line.find('\n') == std::string::npos && ::poll(&p, 1, 60000) == 1 &&
               ::read(out[0], &c, 1) == 1)
            line += c;
        ::close(out[0]);
        const size_t colon = line.rfind(':', line.find(" ("));
        if (colon != std::string::npos)
            port_ = static_cast<uint16_t>(std::atoi(line.c_str() + colon + 1));
    }
    ~ServerProgram() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    ServerProgram(const ServerProgram&) = delete;
    ServerProgram& operator=(const ServerProgram&) = delete;

    uint16_t port() const { return port_; }

private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

ProgramRun vqcli(uint16_t port, const std::vector<std::string>& command) {
    std::vector<std::string> argv{VQCLI_PATH,           "--host",     "127.0.0.1", "--port",
                                  std::to_string(port), "--password", kPassword};
    argv.insert(argv.end(), command.begin(), command.end());
    return runProgram(argv);
}

TEST(SeveralServers, SessionsOnEitherServerSeeOneArchiveAndADeleteThroughOneShowsOnTheOther) {
    VQ_MYSQL_OR_SKIP();
    TempMysqlDatabase db;
    writeKnownArchive(db.url());
    ServerProgram first(db.url());
    ServerProgram second(db.url());
    ASSERT_NE(first.port(), 0);
    ASSERT_NE(second.port(), 0);
    const uint16_t ports[] = {first.port(), second.port()};

    // Sessions spread over both servers at once, as a balancer spreads them.
    constexpr int kSessions = 6;
    std::vector<ProgramRun> runs(kSessions);
    std::vector<std::thread> threads;
    for (int i = 0; i < kSessions; ++i)
        threads.emplace_back([&, i] {
            runs[i] = vqcli(ports[i % 2], {"sql", "SELECT COUNT(*) AS n FROM media"});
        });
    for (auto& t : threads)
        t.join();
    for (const auto& run : runs) {
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(run.out, "n\n264\n");
    }

    // A viewer on the first server deletes two records...
    VqlinkHost viewer;
    ASSERT_EQ(viewer.connect(first.port()), VQLINK_CONNECTED);
    std::vector<uint32_t> ids{1, 2};
    IPC_DA_DBServer::TDelete request{};
    request.id = 7;
    request.recs.recs_len = static_cast<uint32_t>(ids.size());
    request.recs.recs_val = ids.data();
    Delete(&request);
    ASSERT_TRUE(viewer.results().waitDeleteDone(7));
    ASSERT_EQ(viewer.results().deletes(7).at(0).code, deSuccess);

    // ...and a session on the second finds them gone, their data with them.
    const ProgramRun count =
        vqcli(second.port(), {"sql", "SELECT COUNT(*) AS n FROM media WHERE Media_ID <= 2"});
    EXPECT_EQ(count.status, 0) << count.out;
    EXPECT_EQ(count.out, "n\n0\n");
    TempDir out;
    const ProgramRun download = vqcli(second.port(), {"download", "1", "--out", out.str()});
    EXPECT_NE(download.status, 0) << download.out;
    const ProgramRun rest = vqcli(second.port(), {"sql", "SELECT COUNT(*) AS n FROM media"});
    EXPECT_EQ(rest.out, "n\n262\n");
}

} // namespace
