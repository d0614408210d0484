// vqcli against the test archive server, run as operators and scripts run it.
#include "Test_Archive_Server.h"
#include "vqlink_test_support.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

using namespace IPC_DA_DBServer;
using namespace IPC_DA_DBClient;

namespace {

struct Cli_Run {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

Cli_Run vqcli(const std::string& args) {
    // Per process: ctest runs the cases of this program side by side.
    const std::string err_path =
        ::testing::TempDir() + "vqcli_test." + std::to_string(getpid()) + ".err";
    const std::string command = std::string(VQCLI_PATH) + " " + args + " 2>" + err_path;
    Cli_Run run{-1, "", ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = slurp(err_path);
    std::remove(err_path.c_str());
    return run;
}

std::string at(const Test_Archive_Server& server, const char* password = "secret") {
    return "--host 127.0.0.1 --port " + std::to_string(server.port()) + " --password " + password;
}

void row_batch(DBClient* client, std::uint32_t id, std::vector<std::vector<std::string>> rows,
               bool more, TDAErrorCode error = deSuccess, const char* text = "") {
    std::vector<std::vector<TValueItem>> cols(rows.size());
    std::vector<TSelectRow> wire;
    for (size_t r = 0; r < rows.size(); ++r) {
        for (size_t c = 0; c + 1 < rows[r].size(); c += 2)
            cols[r].push_back(TValueItem{rows[r][c].data(), rows[r][c + 1].data()});
        wire.push_back(TSelectRow{{static_cast<std::uint32_t>(cols[r].size()), cols[r].data()}});
    }
    TSelectResult result;
    std::memset(&result, 0, sizeof(result));
    result.id = id;
    result.rows.rows_len = static_cast<std::uint32_t>(wire.size());
    result.rows.rows_val = wire.empty() ? nullptr : wire.data();
    result.hasMore = more;
    result.error.error = error;
    result.error.msg = const_cast<char*>(text);
    client->SelectResult(&result);
}

} // namespace

TEST(vqcli_Status, PrintsStateAndMessage) {
    Test_Archive_Server server;
    Cli_Run r = vqcli(at(server) + " status");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "state\tmessage\nstReady\tready\n");
    r = vqcli(at(server) + " server-type");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "server_type\n2\n");
}

TEST(vqcli_Sql, RowsUnderAHeaderLine) {
    Test_Archive_Server server;
    server.on_sql = [](const TSQLExecute& sql, DBClient* client) {
        row_batch(client, sql.id, {{"id", "1", "type", "im"}, {"id", "2", "type", "fax"}}, true);
        row_batch(client, sql.id, {{"id", "3", "type", "vm"}}, false);
    };
    Cli_Run r = vqcli(at(server) + " sql \"SELECT id, type FROM media\"");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "id\ttype\n1\tim\n2\tfax\n3\tvm\n");
    ASSERT_EQ(server.observed().statements.size(), 1u);
    EXPECT_EQ(server.observed().statements[0], "SELECT id, type FROM media");
}

TEST(vqcli_Sql, ServerErrorFails) {
    Test_Archive_Server server;
    server.on_sql = [](const TSQLExecute& sql, DBClient* client) {
        row_batch(client, sql.id, {}, false, deSQLError, "syntax error");
    };
    Cli_Run r = vqcli(at(server) + " sql \"SELEKT\"");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("server error 2 (deSQLError): syntax error"), std::string::npos) << r.err;
}

TEST(vqcli_Sql, ServerGoneFailsWithoutWaitingForTheTimeout) {
    Test_Archive_Server::Settings settings;
    settings.close_back_after_sql = true;
    Test_Archive_Server server(settings);
    // The timeout is far longer than the test's own limit: only noticing
    // the lost connection ends this run in time.
    Cli_Run r = vqcli(at(server) + " --timeout 3600 sql \"SELECT 1\"");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error 0: Not connected"), std::string::npos) << r.err;
}

TEST(vqcli_Download, PiecesGoIntoFiles) {
    Test_Archive_Server server;
    server.on_download = [](const TDownload& d, DBClient* client) {
        for (std::uint32_t i = 0; i < d.recs.recs_len; ++i) {
            for (int piece = 0; piece < 2; ++piece) {
                std::vector<std::uint8_t> bytes(3, static_cast<std::uint8_t>('a' + piece));
                TDownloadProcess p;
                std::memset(&p, 0, sizeof(p));
                p.id = d.id;
                p.recId = d.recs.recs_val[i];
                p.data.data_len = 3;
                p.data.data_val = bytes.data();
                client->DownloadProcess(&p);
            }
        }
        TDownloadProcess end;
        std::memset(&end, 0, sizeof(end));
        end.id = d.id;
        end.recId = 0xFFFFFFFFu;
        client->DownloadProcess(&end);
    };
    const std::string dir = ::testing::TempDir() + "vqcli_download." + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    Cli_Run r = vqcli(at(server) + " download 17 18 --out " + dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "id\tbytes\tfile\n17\t6\t" + dir + "/17\n18\t6\t" + dir + "/18\n");
    EXPECT_EQ(slurp(dir + "/17"), "aaabbb");
    EXPECT_EQ(slurp(dir + "/18"), "aaabbb");
    std::remove((dir + "/17").c_str());
    std::remove((dir + "/18").c_str());
    rmdir(dir.c_str());
}

TEST(vqcli_Download, AFolderThatCannotBeWrittenFailsBeforeAnythingIsReceived) {
    Test_Archive_Server server;
    int downloads = 0;
    server.on_download = [&downloads](const TDownload&, DBClient*) { ++downloads; };
    const std::string missing = ::testing::TempDir() + "vqcli_missing." + std::to_string(getpid());
    Cli_Run r = vqcli(at(server) + " download 17 --out " + missing);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write into " + missing + ": No such file or directory"),
              std::string::npos)
        << r.err;
    // A file where the folder should be.
    const std::string file = missing + ".file";
    std::ofstream(file) << "x";
    r = vqcli(at(server) + " download 17 --out " + file);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a folder"), std::string::npos) << r.err;
    std::remove(file.c_str());
    // The server was never even asked.
    EXPECT_EQ(server.observed().sessions, 0);
    EXPECT_EQ(downloads, 0);
}

TEST(vqcli_Download, EachRecordsFileIsOpenedOnce) {
    Test_Archive_Server server;
    server.on_download = [](const TDownload& d, DBClient* client) {
        for (std::uint32_t i = 0; i < d.recs.recs_len; ++i) {
            for (int piece = 0; piece < 5; ++piece) {
                std::vector<std::uint8_t> bytes(1000, static_cast<std::uint8_t>('a' + piece));
                TDownloadProcess p;
                std::memset(&p, 0, sizeof(p));
                p.id = d.id;
                p.recId = d.recs.recs_val[i];
                p.data.data_len = static_cast<std::uint32_t>(bytes.size());
                p.data.data_val = bytes.data();
                client->DownloadProcess(&p);
            }
        }
        TDownloadProcess end;
        std::memset(&end, 0, sizeof(end));
        end.id = d.id;
        end.recId = 0xFFFFFFFFu;
        client->DownloadProcess(&end);
    };
    const std::string dir = ::testing::TempDir() + "vqcli_opens." + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    // Every open of a file in the folder, as the kernel reports it; closes
    // are watched too, since the kernel merges repeats of one event.
    const int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dir.c_str(), IN_OPEN | IN_CLOSE_WRITE), 0);
    Cli_Run r = vqcli(at(server) + " download 17 18 --out " + dir);
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, int> opens;
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = read(watch, buffer, sizeof buffer)) > 0) {
        for (char* p = buffer; p < buffer + n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(p);
            if (e->len && (e->mask & IN_OPEN))
                ++opens[e->name];
            p += sizeof(inotify_event) + e->len;
        }
    }
    close(watch);
    EXPECT_EQ(opens["17"], 1);
    EXPECT_EQ(opens["18"], 1);
    EXPECT_EQ(slurp(dir + "/17"), std::string(1000, 'a') + std::string(1000, 'b') +
                                      std::string(1000, 'c') + std::string(1000, 'd') +
                                      std::string(1000, 'e'));
    std::remove((dir + "/17").c_str());
    std::remove((dir + "/18").c_str());
    rmdir(dir.c_str());
}

TEST(vqcli_Search, FoundIdsUnderAHeader) {
    Test_Archive_Server server;
    std::string seen_mode;
    server.on_search = [&seen_mode](const TSearchText& s, DBClient* client) {
        seen_mode = s.criteria.mode == smAnyOf ? "any" : "all";
        seen_mode += " " + std::string(s.criteria.strings.strings_val[1].value);
        for (std::uint32_t i = 0; i < s.recs.recs_len; ++i) {
            std::uint32_t hit = s.recs.recs_val[i] * 10;
            TSearchProcess p;
            std::memset(&p, 0, sizeof(p));
            p.id = s.id;
            p.searched = i + 1;
            p.recs.recs_len = i % 2 ? 0 : 1;
            p.recs.recs_val = &hit;
            client->SearchProcess(&p);
        }
    };
    Cli_Run r = vqcli(at(server) + " search --any hello \"good bye\" --ids 1 2 3");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "id\n10\n30\n");
    EXPECT_EQ(seen_mode, "any good bye");
}

TEST(vqcli_Cancel, ReachesTheServer) {
    Test_Archive_Server server;
    Cli_Run r = vqcli(at(server) + " cancel opDownload 99");
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(server.wait_until(
        [](const Test_Archive_Server::Observed& o) { return o.cancels.size() == 1; }));
    EXPECT_EQ(server.observed().cancels[0].operation, opDownload);
    EXPECT_EQ(server.observed().cancels[0].id, 99u);
}

TEST(vqcli_Errors, ConnectFailuresAndUsage) {
    Test_Archive_Server server;
    Cli_Run r = vqcli(at(server, "wrong") + " status");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Connect failed, code 8"), std::string::npos) << r.err;

    Test_Archive_Server::Settings settings;
    settings.without_get_status = true;
    Test_Archive_Server partial(settings);
    r = vqcli(at(partial) + " status");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error 1: selector_error"), std::string::npos) << r.err;

    EXPECT_EQ(vqcli("").status, 2);
    EXPECT_EQ(vqcli("frobnicate").status, 2);
    EXPECT_EQ(vqcli("--port 0 status").status, 2);
    EXPECT_EQ(vqcli("download 1 2").status, 2);
    EXPECT_EQ(vqcli("download x --out /tmp").status, 2);
    EXPECT_EQ(vqcli("search hello --ids 1").status, 2);
    EXPECT_EQ(vqcli("cancel opNothing 1").status, 2);
}
