// vqcli: a command-line host of libvqlink.so for operators and scripts.
//
//   vqcli [--host H] [--port P] [--password W] [--timeout S] COMMAND
//     status | server-type | sql "STATEMENT" | download ID... --out DIR
//     | search --any|--all PHRASE... --ids ID... | cancel OP ID
//     | export --ids ID... --out FILE.zip | delete ID...
//
// Rows go to standard output as tab-separated text under a header line;
// errors go to standard error with the library's code and text, and the
// exit status is non-zero. It knows the library only through vqlink.h.
// export writes an evidence package with the viewer's own code
// (ArchiverUI/evidence), which reaches the library through vqlink.h too;
// a build without that library (the Windows one, VQCLI_EXPORT 0) has every
// command but export.
#include "vqlink/vqlink.h"

#ifndef VQCLI_EXPORT
#define VQCLI_EXPORT 1
#endif
#if VQCLI_EXPORT
#include "EvidenceExport.h"
#include "LinkSource.h"

#include <QString>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
// export: the package was written, but without some of the records asked for.
constexpr int EXIT_PARTIAL = 3;

const char* const USAGE =
    "usage: vqcli [--host H] [--port P] [--password W] [--timeout SECONDS] [--verbose] COMMAND\n"
    "       vqcli --help | --version\n"
    "COMMAND is one of:\n"
    "  status\n"
    "  server-type\n"
    "  sql \"STATEMENT\"\n"
    "  download ID... --out DIR\n"
    "  search --any|--all PHRASE... --ids ID...\n"
    "  cancel OP ID        (OP: opSQLExecute, opDelete, opDownload, opSearchText or 0..3)\n"
    "  export --ids ID... --out FILE.zip\n"
    "                      evidence package; exit status 3 when some records are missing\n"
    "  delete ID...        remove the records from the archive\n";

// What the callbacks collect, on the library's thread, for the main thread.
struct Job {
    std::mutex lock;
    std::condition_variable changed;
    std::uint32_t id = 0;
    bool done = false;
    bool failed = false;
    std::string error;
    // sql
    bool header_printed = false;
    // download: the file of the record being received stays open until the
    // next record begins or the download ends.
    std::string out_dir;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> files;
    std::string write_error;
    int file = -1;
    std::uint32_t file_rec = 0;
    // search
    std::uint32_t expected = 0;
    std::vector<std::uint32_t> found;
};

Job job;
std::mutex report_lock;
std::vector<std::string> reports;

void on_exception(const char* message, int code) {
    std::lock_guard<std::mutex> hold(report_lock);
    reports.push_back("error " + std::to_string(code) + ": " + (message ? message : ""));
}

// A job error from the server ends the job as failed.
bool note_server_error(const TDAError& error) {
    if (error.error == deSuccess)
        return false;
    job.failed = true;
    job.done = true;
    job.error = std::string("server error ") + std::to_string(error.error) + " (" +
                __E2S_TDAErrorCode(error.error) + "): " + (error.msg ? error.msg : "");
    return true;
}

void on_select(const IPC_DA_DBClient::TSelectResult* r) {
    std::lock_guard<std::mutex> hold(job.lock);
    if (r->id != job.id || job.done)
        return;
    for (std::uint32_t i = 0; i < r->rows.rows_len; ++i) {
        const IPC_DA_DBClient::TSelectRow& row = r->rows.rows_val[i];
        if (!job.header_printed) {
            for (std::uint32_t c = 0; c < row.cols.cols_len; ++c)
                std::printf("%s%s", c ? "\t" : "", row.cols.cols_val[c].name);
            std::printf("\n");
            job.header_printed = true;
        }
        for (std::uint32_t c = 0; c < row.cols.cols_len; ++c)
            std::printf("%s%s", c ? "\t" : "", row.cols.cols_val[c].value);
        std::printf("\n");
    }
    if (!note_server_error(r->error) && !r->hasMore)
        job.done = true;
    job.changed.notify_all();
}

// Under the job's lock.
void close_file() {
    if (job.file >= 0 && ::close(job.file) != 0 && job.write_error.empty())
        job.write_error = "cannot write " + job.out_dir + "/" + std::to_string(job.file_rec) +
                          ": " + std::strerror(errno);
    job.file = -1;
}

// Files hold the records' bytes as they are, and stay the program's own.
#if defined(_WIN32)
constexpr int NEW_FILE_FLAGS = O_BINARY | O_NOINHERIT;
#else
constexpr int NEW_FILE_FLAGS = O_CLOEXEC;
#endif

// All of it, as the kernel takes it; false on a failure.
bool write_all(int fd, const std::uint8_t* data, size_t n) {
    while (n) {
        const ssize_t k = ::write(fd, data, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        data += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

void on_download(const IPC_DA_DBClient::TDownloadProcess* r) {
    std::lock_guard<std::mutex> hold(job.lock);
    if (r->id != job.id || job.done)
        return;
    if (note_server_error(r->error)) {
        close_file();
        job.changed.notify_all();
        return;
    }
    if (r->recId == 0xFFFFFFFFu) {
        close_file();
        job.done = true;
        job.changed.notify_all();
        return;
    }
    bool first = true;
    for (auto& f : job.files)
        if (f.first == r->recId)
            first = false;
    if (first)
        job.files.emplace_back(r->recId, 0);
    const std::string path = job.out_dir + "/" + std::to_string(r->recId);
    if (job.file < 0 || job.file_rec != r->recId) {
        close_file();
        // A record met again after another one goes on where it stopped.
        job.file = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | NEW_FILE_FLAGS | (first ? O_TRUNC : O_APPEND), 0666);
        job.file_rec = r->recId;
    }
    // Each piece goes to the file as it is, on this thread: pieces are
    // large, a buffer in between would only copy them once more, and a
    // thread of its own costs more than it saves.
    if (job.file < 0 || !write_all(job.file, r->data.data_val, r->data.data_len)) {
        // Nothing more can be kept: the rest of the download is not waited for.
        job.write_error = "cannot write " + path + ": " + std::strerror(errno);
        close_file();
        job.failed = true;
        job.done = true;
        job.changed.notify_all();
        return;
    }
    for (auto& f : job.files)
        if (f.first == r->recId)
            f.second += r->data.data_len;
}

void on_delete(const IPC_DA_DBClient::TDeleteComplete* r) {
    std::lock_guard<std::mutex> hold(job.lock);
    if (r->id != job.id || job.done)
        return;
    if (!note_server_error(r->error))
        job.done = true;
    job.changed.notify_all();
}

void on_search(const IPC_DA_DBClient::TSearchProcess* r) {
    std::lock_guard<std::mutex> hold(job.lock);
    if (r->id != job.id || job.done)
        return;
    job.found.insert(job.found.end(), r->recs.recs_val, r->recs.recs_val + r->recs.recs_len);
    if (!note_server_error(r->error) && r->searched >= job.expected)
        job.done = true;
    job.changed.notify_all();
}

bool flush_reports() {
    std::lock_guard<std::mutex> hold(report_lock);
    for (const std::string& r : reports)
        std::fprintf(stderr, "vqcli: %s\n", r.c_str());
    const bool any = !reports.empty();
    reports.clear();
    return any;
}

bool parse_number(const char* text, unsigned long max, unsigned long& value) {
    if (!text || !*text)
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 10);
    return errno == 0 && *end == '\0' && value <= max && text[0] != '-';
}

bool parse_ids(const std::vector<std::string>& texts, std::vector<std::uint32_t>& ids) {
    for (const std::string& t : texts) {
        unsigned long v = 0;
        if (!parse_number(t.c_str(), 0xFFFFFFFFul, v)) {
            std::fprintf(stderr, "vqcli: not a record id: '%s'\n", t.c_str());
            return false;
        }
        ids.push_back(static_cast<std::uint32_t>(v));
    }
    return true;
}

int usage(const char* why) {
    if (why)
        std::fprintf(stderr, "vqcli: %s\n", why);
    std::fputs(USAGE, stderr);
    return EXIT_USAGE;
}

const char* connect_text(int code) {
    switch (code) {
    case VQLINK_ALREADY_CONNECTED:
        return "already connected";
    case VQLINK_NO_WINSOCK:
        return "sockets unavailable";
    case VQLINK_UNRESOLVED_HOST:
        return "host not found";
    case VQLINK_NO_CHANNEL:
        return "cannot reach the server";
    case VQLINK_NO_PROXY:
        return "cannot create the server interface";
    case VQLINK_NO_LISTENER:
        return "cannot listen for the back connection";
    case VQLINK_REFUSED_VALID_PASSWORD:
        return "refused by the server";
    case VQLINK_REFUSED_INVALID_PASSWORD:
        return "invalid password";
    default:
        return "connection failed";
    }
}

bool pending_reports() {
    std::lock_guard<std::mutex> hold(report_lock);
    return !reports.empty();
}

// Waits for the job's end, asking the server for its state once a second:
// a connection that ended (the server went away) fails the wait at once
// instead of after the whole timeout. False when the job did not end.
bool wait_for_job(int timeout_seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(job.lock);
            if (job.changed.wait_for(hold, std::chrono::seconds(1), [] { return job.done; }))
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        IPC_DA_DBServer::TStatus status;
        std::memset(&status, 0, sizeof(status));
        GetStatus(&status);
        IPC_DA_DBServer::TStatus_Free(&status);
        if (pending_reports())
            return false;
    }
}

struct Options {
    std::string host = "127.0.0.1";
    unsigned long port = 7456;
    std::string password = "pemrak";
    unsigned long timeout = 60;
    std::vector<std::string> command;
};

#if VQCLI_EXPORT
// Set by SIGINT or SIGTERM during an export, which then stops and leaves
// no file behind.
volatile std::sig_atomic_t export_stop = 0;

void on_export_signal(int) {
    export_stop = 1;
}

// The viewer's default record limit bounds a package from the command line
// too.
constexpr int EXPORT_MAX_RECORDS = 10000;

int run_export(const Options& o, const std::vector<std::uint32_t>& ids, const std::string& out) {
    export_stop = 0;
    std::signal(SIGINT, &on_export_signal);
    std::signal(SIGTERM, &on_export_signal);
    struct Restore {
        ~Restore() {
            std::signal(SIGINT, SIG_DFL);
            std::signal(SIGTERM, SIG_DFL);
        }
    } restore;
    const auto stop = [] { return export_stop != 0; };

    TLinkEvidenceSource source(static_cast<int>(o.timeout), stop);
    TEvidenceExport::TOptions options;
    options.Target = QString::fromLocal8Bit(out.c_str());
    options.Info.Program = QStringLiteral("vqcli " VQ_VERSION);
    options.Info.Server = QString::fromStdString(o.host + ":" + std::to_string(o.port));
    options.Info.ServerType = source.ServerType();
    options.MaxRecords = EXPORT_MAX_RECORDS;
    options.CancelRequested = stop;
    TEvidenceResult result;
    bool finished = false;
    options.OnFinished = [&](const TEvidenceResult& r) {
        result = r;
        finished = true;
    };
    TEvidenceExport exporter(source, options);
    try {
        // This source answers inside Start: the export has ended when it returns.
        exporter.Start(QList<quint32>(ids.begin(), ids.end()));
    } catch (const EEvidenceError& e) {
        std::fprintf(stderr, "vqcli: %s\n", e.what());
        return EXIT_FAILED;
    }
    if (!finished || result.Status == TEvidenceResult::erCancelled) {
        std::fprintf(stderr, "vqcli: export cancelled; nothing was written\n");
        return EXIT_FAILED;
    }
    std::printf("id\tresult\tdetail\n");
    for (const quint32 id : TEvidenceExport::Unique(QList<quint32>(ids.begin(), ids.end()))) {
        const qsizetype at = result.Exported.indexOf(id);
        if (at >= 0) {
            std::printf("%u\texported\t%s\n", id,
                        result.ExportedFolders.value(at).toLocal8Bit().constData());
            continue;
        }
        QString reason = QStringLiteral("not exported");
        for (const TEvidenceFailure& f : result.Failures)
            if (f.MediaId == id)
                reason = f.Reason;
        reason.replace(QLatin1Char('\t'), QLatin1Char(' '))
            .replace(QLatin1Char('\n'), QLatin1Char(' '));
        std::printf("%u\tfailed\t%s\n", id, reason.toLocal8Bit().constData());
    }
    if (result.Status == TEvidenceResult::erFailed) {
        std::fflush(stdout);
        std::fprintf(stderr, "vqcli: %s; nothing was written\n",
                     result.Error.toLocal8Bit().constData());
        return EXIT_FAILED;
    }
    std::printf("\npackage\tbytes\tsha256\tmanifest_sha256\n%s\t%lld\t%s\t%s\n",
                result.File.toLocal8Bit().constData(), static_cast<long long>(result.PackageBytes),
                result.PackageSha256.constData(), result.ManifestSha256.constData());
    std::fflush(stdout);
    return result.Failures.isEmpty() ? EXIT_OK : EXIT_PARTIAL;
}
#endif

int run(const Options& o) {
    const std::string& command = o.command[0];
    std::vector<std::string> args(o.command.begin() + 1, o.command.end());

    // Check the command line completely before connecting.
    std::vector<std::uint32_t> ids;
    std::vector<std::string> phrases;
    IPC_DA_DBServer::SearchMode mode = IPC_DA_DBServer::smAllOf;
    IPC_DA_DBServer::TCancelOperation cancel{IPC_DA_DBServer::opSQLExecute, 0};
    if (command == "status" || command == "server-type") {
        if (!args.empty())
            return usage("too many arguments");
    } else if (command == "sql") {
        if (args.size() != 1)
            return usage("sql takes one statement");
    } else if (command == "download") {
        std::vector<std::string> id_texts;
        for (size_t i = 0; i < args.size(); ++i) {
            if (args[i] == "--out" && i + 1 < args.size())
                job.out_dir = args[++i];
            else
                id_texts.push_back(args[i]);
        }
        if (job.out_dir.empty() || id_texts.empty())
            return usage("download needs record ids and --out DIR");
        if (!parse_ids(id_texts, ids))
            return EXIT_USAGE;
        // Before anything is asked of the server: a download that cannot be
        // kept is not worth receiving.
        struct stat info {};
        const char* why = nullptr;
        if (::stat(job.out_dir.c_str(), &info) != 0)
            why = std::strerror(errno);
        else if (!S_ISDIR(info.st_mode))
            why = "not a folder";
#if defined(_WIN32)
        else if (::access(job.out_dir.c_str(), W_OK) != 0) // folders have no execute right
#else
        else if (::access(job.out_dir.c_str(), W_OK | X_OK) != 0)
#endif
            why = std::strerror(errno);
        if (why) {
            std::fprintf(stderr, "vqcli: cannot write into %s: %s\n", job.out_dir.c_str(), why);
            return EXIT_FAILED;
        }
    } else if (command == "search") {
        if (args.empty() || (args[0] != "--any" && args[0] != "--all"))
            return usage("search needs --any or --all");
        mode = args[0] == "--any" ? IPC_DA_DBServer::smAnyOf : IPC_DA_DBServer::smAllOf;
        size_t i = 1;
        for (; i < args.size() && args[i] != "--ids"; ++i)
            phrases.push_back(args[i]);
        std::vector<std::string> id_texts(args.begin() + std::min(i + 1, args.size()), args.end());
        if (phrases.empty() || i == args.size() || id_texts.empty())
            return usage("search needs phrases and --ids ID...");
        if (!parse_ids(id_texts, ids))
            return EXIT_USAGE;
    } else if (command == "delete") {
        if (args.empty())
            return usage("delete needs record ids");
        if (!parse_ids(args, ids))
            return EXIT_USAGE;
    } else if (command == "export") {
#if !VQCLI_EXPORT
        return usage("export is not part of this build");
#endif
        std::vector<std::string> id_texts;
        bool in_ids = false;
        for (size_t i = 0; i < args.size(); ++i) {
            if (args[i] == "--out" && i + 1 < args.size()) {
                job.out_dir = args[++i];
                in_ids = false;
            } else if (args[i] == "--ids") {
                in_ids = true;
            } else if (in_ids) {
                id_texts.push_back(args[i]);
            } else {
                return usage(("export: unexpected '" + args[i] + "'").c_str());
            }
        }
        if (job.out_dir.empty() || id_texts.empty())
            return usage("export needs --ids ID... and --out FILE.zip");
        if (!parse_ids(id_texts, ids))
            return EXIT_USAGE;
    } else if (command == "cancel") {
        if (args.size() != 2)
            return usage("cancel takes an operation and a job id");
        static const char* const names[] = {"opSQLExecute", "opDelete", "opDownload",
                                            "opSearchText"};
        int op = -1;
        for (int i = 0; i < 4; ++i)
            if (args[0] == names[i] || args[0] == std::to_string(i))
                op = i;
        unsigned long id = 0;
        if (op < 0 || !parse_number(args[1].c_str(), 0xFFFFFFFFul, id))
            return usage("cancel: unknown operation or bad job id");
        cancel.operation = static_cast<IPC_DA_DBServer::Operation>(op);
        cancel.id = static_cast<std::uint32_t>(id);
    } else {
        return usage(("unknown command '" + command + "'").c_str());
    }

    const int code =
        Connect(o.host.c_str(), static_cast<std::uint16_t>(o.port), o.password.c_str());
    if (code != VQLINK_CONNECTED) {
        std::fprintf(stderr, "vqcli: Connect failed, code %d (%s)\n", code, connect_text(code));
        return EXIT_FAILED;
    }
    // A job id as the viewer makes them: a millisecond count.
    job.id = static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now().time_since_epoch())
                                            .count());

#if VQCLI_EXPORT
    if (command == "export")
        return run_export(o, ids, job.out_dir);
#endif

    bool wait = false;
    if (command == "status") {
        IPC_DA_DBServer::TStatus status;
        std::memset(&status, 0, sizeof(status));
        GetStatus(&status);
        if (status.message) {
            std::printf("state\tmessage\n%s\t%s\n", IPC_DA_DBServer::__E2S_State(status.state),
                        status.message);
        }
        IPC_DA_DBServer::TStatus_Free(&status);
    } else if (command == "server-type") {
        const int type = GetServerType();
        if (type != 0)
            std::printf("server_type\n%d\n", type);
    } else if (command == "sql") {
        IPC_DA_DBServer::TSQLExecute request{job.id, const_cast<char*>(args[0].c_str())};
        SQLExecute(&request);
        wait = true;
    } else if (command == "download") {
        IPC_DA_DBServer::TDownload request{job.id,
                                           {static_cast<std::uint32_t>(ids.size()), ids.data()}};
        Download(&request);
        wait = true;
    } else if (command == "search") {
        std::vector<IPC_DA_DBServer::TSearchString> strings;
        for (std::string& p : phrases)
            strings.push_back(IPC_DA_DBServer::TSearchString{p.data()});
        IPC_DA_DBServer::TSearchText request;
        std::memset(&request, 0, sizeof(request));
        request.id = job.id;
        request.recs.recs_len = static_cast<std::uint32_t>(ids.size());
        request.recs.recs_val = ids.data();
        request.criteria.mode = mode;
        request.criteria.strings.strings_len = static_cast<std::uint32_t>(strings.size());
        request.criteria.strings.strings_val = strings.data();
        job.expected = static_cast<std::uint32_t>(ids.size());
        SearchText(&request);
        wait = true;
    } else if (command == "delete") {
        IPC_DA_DBServer::TDelete request{job.id,
                                         {static_cast<std::uint32_t>(ids.size()), ids.data()}};
        Delete(&request);
        wait = true;
    } else if (command == "cancel") {
        CancelOperation(&cancel);
    }

    if (flush_reports())
        return EXIT_FAILED;
    if (wait && !wait_for_job(static_cast<int>(o.timeout))) {
        if (!flush_reports())
            std::fprintf(stderr, "vqcli: no answer from the server within %lu s\n", o.timeout);
        return EXIT_FAILED;
    }
    if (command == "download") {
        bool stop = false;
        {
            std::lock_guard<std::mutex> hold(job.lock);
            close_file();
            stop = !job.write_error.empty();
        }
        // The server need not send what cannot be kept.
        if (stop) {
            IPC_DA_DBServer::TCancelOperation cancel_download{IPC_DA_DBServer::opDownload, job.id};
            CancelOperation(&cancel_download);
        }
    }
    std::lock_guard<std::mutex> hold(job.lock);
    if (command == "download") {
        std::printf("id\tbytes\tfile\n");
        for (auto& f : job.files)
            std::printf("%u\t%llu\t%s/%u\n", f.first, static_cast<unsigned long long>(f.second),
                        job.out_dir.c_str(), f.first);
    } else if (command == "search") {
        std::printf("id\n");
        for (std::uint32_t id : job.found)
            std::printf("%u\n", id);
    }
    std::fflush(stdout);
    if (!job.write_error.empty()) {
        std::fprintf(stderr, "vqcli: %s\n", job.write_error.c_str());
        return EXIT_FAILED;
    }
    if (job.failed) {
        std::fprintf(stderr, "vqcli: %s\n", job.error.c_str());
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    bool verbose = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            std::fputs(USAGE, stdout);
            return EXIT_OK;
        } else if (a == "--version") {
            std::fputs("vqcli " VQ_VERSION "\n", stdout);
            return EXIT_OK;
        } else if (a == "--host" && has_value) {
            o.host = argv[++i];
        } else if (a == "--port" && has_value) {
            if (!parse_number(argv[++i], 0xFFFF, o.port) || o.port == 0)
                return usage("bad port");
        } else if (a == "--password" && has_value) {
            o.password = argv[++i];
        } else if (a == "--verbose" || a == "-v") {
            verbose = true;
        } else if (a == "--timeout" && has_value) {
            if (!parse_number(argv[++i], 86400, o.timeout) || o.timeout == 0)
                return usage("bad timeout");
        } else if (a.rfind("--", 0) == 0) {
            return usage(("unknown option '" + a + "'").c_str());
        } else {
            break;
        }
    }
    for (; i < argc; ++i)
        o.command.push_back(argv[i]);
    if (o.command.empty())
        return usage("no command");

    // The library's runtime messages are for diagnosis, not for scripts;
    // an explicit choice in the environment wins.
    if (!verbose && !std::getenv("ORTU_DEBUG_OUTPUT"))
#if defined(_WIN32)
        _putenv_s("ORTU_DEBUG_OUTPUT", "none");
#else
        setenv("ORTU_DEBUG_OUTPUT", "none", 0);
#endif
    InitDLL();
    RegisterExceptionCallback(&on_exception);
    RegisterSelectResultCallback(&on_select);
    RegisterDownloadProcessCallback(&on_download);
    RegisterSearchProcessCallback(&on_search);
    RegisterDeleteCompleteCallback(&on_delete);
    const int status = run(o);
    // No callback may run into the job while it goes away.
    RegisterSelectResultCallback(nullptr);
    RegisterDownloadProcessCallback(nullptr);
    RegisterSearchProcessCallback(nullptr);
    RegisterDeleteCompleteCallback(nullptr);
    FinalizeDLL();
    return status;
}
