// The exported interface as a host sees it: the symbols by their exact
// names, the request frame's reports, counted start and stop, and a whole
// conversation with a server through callbacks.
#include "Test_Archive_Server.h"
#include "vqlink_host.h"
#include "vqlink_test_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <future>
#include <stdexcept>

using namespace vqlink_host;
using vqlink_test::V;
using namespace IPC_DA_DBServer;
using namespace IPC_DA_DBClient;
typedef Test_Archive_Server::Observed Observed;

namespace {

class Export_Test : public Library_Test {};

std::vector<std::string> expected_exports() {
    std::ifstream in(VQLINK_EXPORTS_FILE);
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            names.push_back(line);
    return names;
}

struct Library_Handle {
    Library_Handle() : handle(dlopen(VQLINK_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {}
    ~Library_Handle() {
        if (handle)
            dlclose(handle);
    }
    void* handle;
};

std::vector<TValueItem> make_columns(std::vector<std::string>& storage) {
    std::vector<TValueItem> cols;
    for (size_t i = 0; i + 1 < storage.size(); i += 2)
        cols.push_back(TValueItem{storage[i].data(), storage[i + 1].data()});
    return cols;
}

void send_rows(DBClient* client, std::uint32_t id, std::uint32_t first, std::uint32_t count,
               bool more) {
    std::vector<std::vector<std::string>> texts;
    for (std::uint32_t i = 0; i < count; ++i)
        texts.push_back({"media_id", std::to_string(first + i), "media_type", "callrec"});
    std::vector<std::vector<TValueItem>> cols;
    std::vector<TSelectRow> rows;
    for (auto& t : texts)
        cols.push_back(make_columns(t));
    for (auto& c : cols)
        rows.push_back(TSelectRow{{static_cast<std::uint32_t>(c.size()), c.data()}});
    TSelectResult result;
    std::memset(&result, 0, sizeof(result));
    result.id = id;
    result.rows.rows_len = count;
    result.rows.rows_val = rows.empty() ? nullptr : rows.data();
    result.hasMore = more;
    result.error.msg = const_cast<char*>("");
    client->SelectResult(&result);
}

} // namespace

TEST(Exported_Symbols, EveryNameResolvesInTheLoadedLibrary) {
    Library_Handle library;
    ASSERT_NE(library.handle, nullptr) << dlerror();
    const std::vector<std::string> names = expected_exports();
    ASSERT_EQ(names.size(), 71u);
    for (const std::string& name : names)
        EXPECT_NE(dlsym(library.handle, name.c_str()), nullptr) << name;
    // Internal names stay inside.
    EXPECT_EQ(dlsym(library.handle, "_ZN17ConnectionManager8instanceEv"), nullptr);
    EXPECT_EQ(dlsym(library.handle, "ortu_runtime_start"), nullptr);
}

TEST(Exported_Symbols, QualifiedNamesAreTheFunctions) {
    Library_Handle library;
    ASSERT_NE(library.handle, nullptr);
    typedef const char* (*State_Name)(State);
    auto state_name =
        reinterpret_cast<State_Name>(dlsym(library.handle, "IPC_DA_DBServer::__E2S_State"));
    ASSERT_NE(state_name, nullptr);
    EXPECT_STREQ(state_name(stReady), "stReady");
    EXPECT_STREQ(state_name(static_cast<State>(9)), "<Unknown:State>");

    typedef char* (*Dup)(const char*);
    typedef void (*Status_Free)(TStatus*);
    auto dup = reinterpret_cast<Dup>(dlsym(library.handle, "StrDup"));
    auto status_free =
        reinterpret_cast<Status_Free>(dlsym(library.handle, "IPC_DA_DBServer::TStatus_Free"));
    ASSERT_NE(dup, nullptr);
    ASSERT_NE(status_free, nullptr);
    TStatus status{stBusy, dup("library text")};
    status_free(&status);
    EXPECT_EQ(V(status.message), nullptr);

    typedef void (*To_Text)(const TGCallID*, char*);
    auto to_text = reinterpret_cast<To_Text>(dlsym(library.handle, "GCIdToStr"));
    ASSERT_NE(to_text, nullptr);
    TGCallID id{0};
    char text[19];
    to_text(&id, text);
    EXPECT_STREQ(text, "XXXXX-00-00000-000");
}

TEST_F(Export_Test, RequestsWithoutConnectionReportNotConnected) {
    IPC_DA_DBServer::TSQLExecute sql{1, const_cast<char*>("select 1")};
    SQLExecute(&sql);
    ASSERT_EQ(Recorder::get().reports().size(), 1u);
    EXPECT_EQ(Recorder::get().reports()[0].message, "Not connected");
    EXPECT_EQ(Recorder::get().reports()[0].code, VQLINK_NOT_CONNECTED);

    EXPECT_EQ(GetServerType(), 0);
    std::uint32_t recs[] = {1};
    IPC_DA_DBServer::TDelete del{1, {1, recs}};
    Delete(&del);
    IPC_DA_DBServer::TDownload down{1, {1, recs}};
    Download(&down);
    IPC_DA_DBServer::TSearchText search;
    std::memset(&search, 0, sizeof(search));
    SearchText(&search);
    IPC_DA_DBServer::TCancelOperation cancel{opSQLExecute, 1};
    CancelOperation(&cancel);
    const auto reports = Recorder::get().reports();
    ASSERT_EQ(reports.size(), 6u);
    for (const Report& r : reports)
        EXPECT_EQ(r.code, 0);
}

TEST_F(Export_Test, WithoutExceptionCallbackFailuresAreSilent) {
    RegisterExceptionCallback(nullptr);
    std::uint32_t recs[] = {1};
    IPC_DA_DBServer::TDelete del{1, {1, recs}};
    Delete(&del);
    EXPECT_EQ(GetServerType(), 0);
    EXPECT_TRUE(Recorder::get().reports().empty());
}

TEST_F(Export_Test, ExceptionCallbackMayLeaveByRaising) {
    RegisterExceptionCallback([](const char* message, int) { throw std::runtime_error(message); });
    EXPECT_THROW(GetServerType(), std::runtime_error);
    // Nothing was left half-changed: the next request reports again.
    Recorder::register_all();
    EXPECT_EQ(GetServerType(), 0);
    EXPECT_EQ(Recorder::get().reports().size(), 1u);
}

TEST_F(Export_Test, StrDup) {
    EXPECT_EQ(StrDup(nullptr), nullptr);
    char* empty = StrDup("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    // Library storage: a release function gives it back.
    TSQLExecute record{0, empty};
    IPC_DA_DBServer::TSQLExecute_Free(&record);
    EXPECT_EQ(V(record.statement), nullptr);
}

TEST_F(Export_Test, CountedStartsNeedAsManyStops) {
    Test_Archive_Server server;
    InitDLL(); // a second start
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    FinalizeDLL(); // disconnects, the runtime stays up
    EXPECT_EQ(GetServerType(), 0);
    ASSERT_EQ(Recorder::get().reports().size(), 1u);
    EXPECT_EQ(Recorder::get().reports()[0].message, "Not connected");
    EXPECT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    EXPECT_EQ(GetServerType(), 2);
    // The fixture's FinalizeDLL is the last one.
}

TEST_F(Export_Test, StatusMessageBelongsToTheHostUntilReleased) {
    Test_Archive_Server::Settings settings;
    settings.state = stBusy;
    settings.status_message = "indexing";
    Test_Archive_Server server(settings);
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    TStatus status;
    std::memset(&status, 0, sizeof(status));
    GetStatus(&status);
    EXPECT_EQ(V(status.state), stBusy);
    ASSERT_NE(V(status.message), nullptr);
    EXPECT_STREQ(V(status.message), "indexing");
    IPC_DA_DBServer::TStatus_Free(&status);
    EXPECT_EQ(V(status.message), nullptr);
    EXPECT_TRUE(Recorder::get().reports().empty());
}

TEST_F(Export_Test, StatementRowsArriveOnTheServingThreadInOrder) {
    Test_Archive_Server server;
    server.on_sql = [](const TSQLExecute& sql, DBClient* client) {
        send_rows(client, sql.id, 1, 32, true);
        send_rows(client, sql.id, 33, 1, false);
    };
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    TSQLExecute sql{4711, const_cast<char*>("SELECT media_id FROM media")};
    SQLExecute(&sql);
    ASSERT_TRUE(Recorder::get().wait_events(2));
    const auto events = Recorder::get().events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(server.observed().statements.at(0), "SELECT media_id FROM media");
    EXPECT_EQ(events[0].id, 4711u);
    ASSERT_EQ(events[0].rows.size(), 32u);
    EXPECT_TRUE(events[0].has_more);
    EXPECT_EQ(events[0].rows[0].cols.at(0), (std::pair<std::string, std::string>{"media_id", "1"}));
    EXPECT_EQ(events[0].rows[31].cols.at(0).second, "32");
    ASSERT_EQ(events[1].rows.size(), 1u);
    EXPECT_EQ(events[1].rows[0].cols.at(1).second, "callrec");
    EXPECT_FALSE(events[1].has_more);
    EXPECT_NE(events[0].thread, std::this_thread::get_id());
    EXPECT_EQ(events[0].thread, events[1].thread);
}

TEST_F(Export_Test, EveryKindOfResultInTheServersOrder) {
    Test_Archive_Server server;
    server.on_download = [](const TDownload& d, DBClient* client) {
        for (std::uint32_t i = 0; i < d.recs.recs_len; ++i) {
            std::vector<std::uint8_t> bytes(5000 + i, static_cast<std::uint8_t>(i + 1));
            TDownloadProcess piece;
            std::memset(&piece, 0, sizeof(piece));
            piece.id = d.id;
            piece.recId = d.recs.recs_val[i];
            piece.data.data_len = static_cast<std::uint32_t>(bytes.size());
            piece.data.data_val = bytes.data();
            client->DownloadProcess(&piece);
        }
        TDownloadProcess end;
        std::memset(&end, 0, sizeof(end));
        end.id = d.id;
        end.recId = 0xFFFFFFFFu;
        client->DownloadProcess(&end);
    };
    server.on_search = [](const TSearchText& s, DBClient* client) {
        std::uint32_t found[] = {s.recs.recs_val[1]};
        TSearchProcess progress;
        std::memset(&progress, 0, sizeof(progress));
        progress.id = s.id;
        progress.searched = s.recs.recs_len;
        progress.recs.recs_len = 1;
        progress.recs.recs_val = found;
        client->SearchProcess(&progress);
    };
    server.on_delete = [](const TDelete& d, DBClient* client) {
        TDeleteComplete done;
        std::memset(&done, 0, sizeof(done));
        done.id = d.id;
        done.error.error = deDBFailed;
        client->DeleteComplete(&done);
    };
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);

    std::uint32_t recs[] = {70, 71};
    TDownload down{1, {2, recs}};
    Download(&down);
    char phrase[] = "hello";
    TSearchString strings[] = {{phrase}};
    TSearchText search;
    std::memset(&search, 0, sizeof(search));
    search.id = 2;
    search.recs.recs_len = 2;
    search.recs.recs_val = recs;
    search.criteria.mode = smAnyOf;
    search.criteria.strings.strings_len = 1;
    search.criteria.strings.strings_val = strings;
    SearchText(&search);
    TDelete del{3, {1, recs}};
    Delete(&del);
    TCancelOperation cancel{opSearchText, 2};
    CancelOperation(&cancel);

    ASSERT_TRUE(Recorder::get().wait_events(5));
    const auto events = Recorder::get().events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].kind, "download");
    EXPECT_EQ(events[0].rec_id, 70u);
    EXPECT_EQ(events[0].data, std::vector<std::uint8_t>(5000, 1));
    EXPECT_EQ(events[1].data.size(), 5001u);
    EXPECT_EQ(events[2].rec_id, 0xFFFFFFFFu);
    EXPECT_EQ(events[3].kind, "search");
    EXPECT_EQ(events[3].searched, 2u);
    EXPECT_EQ(events[3].recs, std::vector<std::uint32_t>{71});
    EXPECT_EQ(events[4].kind, "delete");
    EXPECT_EQ(events[4].error, deDBFailed);
    for (const Event& e : events)
        EXPECT_EQ(e.thread, events[0].thread);
    ASSERT_TRUE(server.wait_until([](const Observed& o) { return o.cancels.size() == 1; }));
    EXPECT_EQ(server.observed().cancels[0].operation, opSearchText);
    EXPECT_EQ(server.observed().cancels[0].id, 2u);
}

TEST_F(Export_Test, UnregisteredCallbackDropsItsResultsAndServingGoesOn) {
    Test_Archive_Server server;
    server.on_sql = [](const TSQLExecute& sql, DBClient* client) {
        send_rows(client, sql.id, 1, 3, false);
        TDeleteComplete done;
        std::memset(&done, 0, sizeof(done));
        done.id = sql.id;
        client->DeleteComplete(&done);
    };
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
    RegisterSelectResultCallback(nullptr);
    TSQLExecute sql{8, const_cast<char*>("select")};
    SQLExecute(&sql);
    ASSERT_TRUE(Recorder::get().wait_events(1));
    const auto events = Recorder::get().events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, "delete");
    EXPECT_EQ(events[0].id, 8u);
    // Replaced at any time: the next rows arrive again.
    RegisterSelectResultCallback(&Recorder::on_select);
    SQLExecute(&sql);
    ASSERT_TRUE(Recorder::get().wait_events(3));
    EXPECT_EQ(Recorder::get().events()[1].kind, "select");
}

TEST(Finalize, ReturnsOnlyAfterTheServingThreadEnded) {
    InitDLL();
    Recorder::get().clear();
    Recorder::register_all();
    Test_Archive_Server server;
    server.on_sql = [](const TSQLExecute& sql, DBClient* client) {
        send_rows(client, sql.id, 1, 1, false);
    };
    ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);

    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> callback_done{false};
    std::atomic<bool> done_before_finalize_returned{false};
    Recorder::get().inside_callback = [&](const Event&) {
        entered.set_value();
        released.wait();
        // Still inside the library's serving thread; the servant and the
        // log groups must still be alive when it returns.
        callback_done = true;
    };
    TSQLExecute sql{1, const_cast<char*>("select")};
    SQLExecute(&sql);
    entered.get_future().wait();

    std::thread finalizer([&] {
        FinalizeDLL();
        done_before_finalize_returned = callback_done.load();
    });
    // Give FinalizeDLL the chance to run ahead; it must wait anyway.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(callback_done.load());
    release.set_value();
    finalizer.join();
    EXPECT_TRUE(done_before_finalize_returned.load());
    Recorder::get().inside_callback = nullptr;
    ASSERT_EQ(Recorder::get().events().size(), 1u);
    // Both connections closed before FinalizeDLL returned.
    EXPECT_TRUE(server.wait_until([](const Observed& o) { return o.ended_sessions == 1; }));
}

TEST(Finalize, DisconnectThenFinalizeAndStartAgain) {
    for (int i = 0; i < 3; ++i) {
        InitDLL();
        Recorder::register_all();
        Test_Archive_Server server;
        ASSERT_EQ(Connect("127.0.0.1", server.port(), "secret"), 0);
        EXPECT_EQ(GetServerType(), 2);
        Disconnect();
        FinalizeDLL();
        EXPECT_TRUE(server.wait_until([](const Observed& o) { return o.ended_sessions == 1; }));
    }
    FinalizeDLL(); // one stop too many does nothing
}
