// Writes the seed corpus of archived_request_fuzz: the bytes a client's
// request connection carries, made by the library's own proxy and client
// connection, for sessions as the viewer and vqcli hold them.
//
//     archived_request_corpus DIR
#include "IPC_DA_DBServer.h"
#include "ORTU_Object_Manager.h"
#include "QREX_Client.h"
#include "QREX_Errors.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

using namespace IPC_DA_DBServer;

namespace {

// Keeps what is written; there is never a reply to read.
class Capture : public QREX_Socket_Adapter {
public:
    size_t read(void*, size_t) override { throw_comm_error("Capture::read", -10057); }
    void read_exact(void*, size_t) override { throw_comm_error("Capture::read_exact", -10057); }
    void write(const void* buffer, size_t n) override {
        const auto* p = static_cast<const unsigned char*>(buffer);
        bytes.insert(bytes.end(), p, p + n);
    }
    std::vector<unsigned char> bytes;
};

// One session: a proxy over a client connection that writes into Capture.
class Session {
public:
    Session() : connection_(&capture_), proxy_(&connection_) {}

    void initialize() {
        TInitialize a{0x7F000001u, 40001};
        TInitializeResult r{};
        two_way([&] { proxy_.Initialize(&r, &a); });
    }
    void status() {
        TStatus r{};
        two_way([&] { proxy_.GetStatus(&r); });
    }
    void server_type() {
        two_way([&] { proxy_.GetServerType(); });
    }
    void sql(std::uint32_t id, const std::string& statement) {
        TSQLExecute a{id, const_cast<char*>(statement.c_str())};
        proxy_.SQLExecute(&a);
    }
    void download(std::uint32_t id, std::vector<std::uint32_t> ids) {
        TDownload a{id, {static_cast<std::uint32_t>(ids.size()), ids.data()}};
        proxy_.Download(&a);
    }
    void remove(std::uint32_t id, std::vector<std::uint32_t> ids) {
        TDelete a{id, {static_cast<std::uint32_t>(ids.size()), ids.data()}};
        proxy_.Delete(&a);
    }
    void search(std::uint32_t id, std::vector<std::uint32_t> ids, SearchMode mode,
                const std::vector<std::string>& phrases) {
        std::vector<TSearchString> strings;
        for (const std::string& p : phrases)
            strings.push_back(TSearchString{const_cast<char*>(p.c_str())});
        TSearchText a{};
        a.id = id;
        a.recs.recs_len = static_cast<std::uint32_t>(ids.size());
        a.recs.recs_val = ids.data();
        a.criteria.mode = mode;
        a.criteria.strings.strings_len = static_cast<std::uint32_t>(strings.size());
        a.criteria.strings.strings_val = strings.data();
        proxy_.SearchText(&a);
    }
    void cancel(Operation operation, std::uint32_t id) {
        TCancelOperation a{operation, id};
        proxy_.CancelOperation(&a);
    }

    bool save(const std::string& path) const {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(capture_.bytes.data()),
                  static_cast<std::streamsize>(capture_.bytes.size()));
        return static_cast<bool>(out);
    }

private:
    // The request is written; waiting for the reply ends at once.
    template <class F> void two_way(F&& call) {
        try {
            call();
        } catch (const QREX_Error&) {
        }
    }

    Capture capture_;
    QREX_TCP_Client_Connection connection_;
    DBServerProxy proxy_;
};

// The viewer's queries: the list heading with a condition, the user list,
// a search result list.
const char* const kHeading =
    "SELECT m.Media_ID, m.Media_Type, m.CALL_ID, m.Timestamp, Case When u.User_ID Is Not Null "
    "AND     g.Group_ID Is Not Null Then g.Display_Name || ' agent ' || u.Display_Name  When "
    "u.User_ID Is Not Null Then u.Display_Name When g.Group_ID Is Not Null Then g.Display_Name "
    "Else p.External_Address End As Display_Name, Coalesce(u.User_ID, 0) As User_ID, "
    "Coalesce(g.Group_ID, 0) As Group_ID, p.External_Address, p.Role, SUBSTR(m.filename, -3) "
    "FROM media AS m INNER JOIN participants AS p ON m.Media_ID = p.Media_ID Left Join users AS "
    "u ON u.User_ID = p.User_ID Left Join groups AS g ON g.Group_ID = p.Group_ID WHERE "
    "(Coalesce(p.User_ID, p.Group_ID, LENGTH(p.External_Address), 0) != 0) And ";
const char* const kUsers =
    "SELECT u.Display_Name, u.User_Id, 0 AS Group_Id FROM users AS u  UNION ALL SELECT "
    "g.Display_Name, 0,  g.Group_ID FROM groups AS g UNION ALL SELECT DISTINCT g.Display_Name || "
    "' agent ' || u.Display_Name Display_Name, p.User_ID, p.Group_ID FROM (select DISTINCT "
    "user_id, group_id from participants WHERE Group_ID is not null AND User_ID is not null) p "
    "JOIN users u ON (u.User_ID = p.User_ID) JOIN groups g ON (g.Group_ID = p.Group_ID) ORDER BY "
    "Display_Name ";

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: archived_request_corpus DIR\n");
        return 2;
    }
    ortu_runtime_start();
    const std::string dir = argv[1];
    const std::string heading = kHeading;
    std::vector<std::pair<std::string, std::function<void(Session&)>>> sessions = {
        {"initialize", [](Session& s) { s.initialize(); }},
        {"status", [](Session& s) { s.initialize(), s.status(), s.status(); }},
        {"server_type", [](Session& s) { s.initialize(), s.server_type(); }},
        {"sql_heading",
         [&](Session& s) {
             s.initialize(), s.server_type();
             s.sql(1000, heading + "(m.Media_Type IN ('im', 'callrec')) And (m.Timestamp >= "
                                   "1700000000) ORDER BY m.Timestamp limit 10001");
         }},
        {"sql_users", [](Session& s) { s.initialize(), s.server_type(), s.sql(2000, kUsers); }},
        {"sql_long",
         [&](Session& s) {
             std::string ids;
             for (int i = 1; i <= 900; ++i)
                 ids += (i > 1 ? ", " : "") + std::to_string(i);
             s.initialize();
             s.sql(3000,
                   heading + " (m.Media_ID IN ( " + ids + " ) )  ORDER BY p.Media_ID limit 20002");
         }},
        {"download",
         [](Session& s) {
             s.initialize(), s.download(4000, {12, 13, 7});
         }},
        {"search_any",
         [](Session& s) {
             s.initialize(), s.search(5000, {1, 2, 3, 4, 5}, smAnyOf, {"invoice", "Rückruf"});
         }},
        {"search_all",
         [](Session& s) {
             s.initialize(), s.search(5001, {9}, smAllOf, {"a", ""});
         }},
        {"delete", [](Session& s) { s.initialize(), s.remove(6000, {2}); }},
        {"cancel", [](Session& s) { s.initialize(), s.cancel(opDownload, 4000); }},
        {"session",
         [&](Session& s) {
             s.initialize(), s.server_type(), s.status();
             s.sql(7000, heading + "(m.Media_Type = 'vm') ORDER BY m.Timestamp limit 10001");
             s.status(), s.download(7001, {3}), s.status();
             s.search(7002, {1, 2}, smAnyOf, {"hello"});
             s.cancel(opSearchText, 7002), s.status();
         }},
        {"before_proof", [](Session& s) { s.status(), s.sql(8000, "SELECT 1"), s.initialize(); }},
    };
    int failed = 0;
    for (auto& [name, run] : sessions) {
        Session s;
        run(s);
        if (!s.save(dir + "/" + name)) {
            std::fprintf(stderr, "archived_request_corpus: cannot write %s/%s\n", dir.c_str(),
                         name.c_str());
            ++failed;
        }
    }
    ortu_runtime_stop();
    return failed ? 1 : 0;
}
