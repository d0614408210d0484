// The reference archive server: serves an archive to the viewer until
// SIGINT or SIGTERM, or creates a demo archive.
#include "ArchiveServer.h"
#include "ArchiveStore.h"
#include "DemoArchive.h"
#include "ServerLog.h"
#include "ServerOptions.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <thread>
#include <unistd.h>

using namespace vqarchive;

namespace {

// The archive as the operator named it, without a database password.
std::string shownArchive(const std::string& archive) {
    return isMysqlUrl(archive) ? MysqlAddress::parse(archive).redacted() : archive;
}

int createDemo(const ServerOptions& o) {
    DemoOptions d;
    d.seed = o.seed;
    d.records = o.records;
    d.endTime = o.endTime;
    d.days = o.days;
    d.replace = o.replace;
    d.longRecordingBytes = uint64_t{o.longRecordingMb} * 1024 * 1024;
    const auto started = std::chrono::steady_clock::now();
    const std::string shown = shownArchive(o.demoTarget);
    std::cerr << "vqarchived: creating a demo archive of " << d.records << " records in " << shown
              << " (seed " << d.seed << ")\n";
    const DemoSummary s = createDemoArchive(o.demoTarget, d);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "records: " << s.records << "\n";
    for (const auto& [type, count] : s.byType)
        std::cout << "  " << type << ": " << count << "\n";
    std::cout << "users: " << s.users << ", groups: " << s.groups << ", agents: " << s.agents
              << ", external addresses: " << s.externals << "\n"
              << "call attached data items: " << s.cadRows << "\n"
              << "data files: " << s.files << " (" << (s.fileBytes / (1024 * 1024)) << " MiB)\n";
    if (s.longRecordingId)
        std::cout << "long recording: record " << s.longRecordingId << " (" << o.longRecordingMb
                  << " MiB)\n";
    char took[32];
    std::snprintf(took, sizeof took, "%.1f", seconds);
    std::cerr << "vqarchived: done in " << took << " s\n";
    return kExitOk;
}

int serve(const ServerOptions& o) {
    // A client that goes away mid-write must cost its connection, not the
    // process; so must a closed standard output.
    std::signal(SIGPIPE, SIG_IGN);

    ServerConfig config = o.server;
    if (!o.passwordFile.empty()) {
        std::string error;
        if (!readPasswordFile(o.passwordFile, config.password, error)) {
            std::cerr << "vqarchived: " << error << "\n";
            return kExitFailure;
        }
    }

    std::shared_ptr<ArchiveStore> store = ArchiveStore::open(o.archive);
    const StoreStatus status = store->status();
    if (!status.reachable) {
        std::cerr << "vqarchived: the archive database is not reachable (" << store->describe()
                  << "): " << status.message << "\n";
        return kExitFailure;
    }
    if (const std::string notice = store->notice(); !notice.empty())
        std::cerr << "vqarchived: " << notice << "\n";

    // Before the server starts its threads, so that they all inherit the
    // mask and the signals reach only the sigwait below. (Opening the store
    // starts no thread, and until here Ctrl-C simply ends the program.)
    ArchiveServer::blockTerminationSignals();
    ArchiveServer server(std::move(config), store);
    try {
        server.start();
    } catch (const ServerError& e) {
        std::cerr << "vqarchived: " << e.what() << "\n";
        return kExitFailure;
    }
    // Scripts and tests read the port from this line, so it goes out at
    // once, whatever standard output is connected to.
    std::cout << "vqarchived: listening on "
              << (o.server.listenAddress.empty() ? "0.0.0.0" : o.server.listenAddress) << ":"
              << server.port() << " (server type " << store->serverType() << ", archive "
              << shownArchive(o.archive) << ")" << std::endl;

    ServerLog log(nullptr); // the server's own format, on standard error
    const int signal = ArchiveServer::waitForTerminationSignal();
    log.line("%s received, stopping", signal == SIGINT ? "SIGINT" : "SIGTERM");
    // Stopping waits for jobs to notice their cancellation; an operator who
    // will not wait sends the signal again.
    std::thread([log]() mutable {
        ArchiveServer::waitForTerminationSignal();
        log.line("second signal received, exiting at once");
        std::_Exit(kExitFailure);
    }).detach();
    server.stop();
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const ParsedOptions parsed = parseServerOptions(args);
    if (!parsed.ok) {
        std::cerr << "vqarchived: " << parsed.error << "\nTry 'vqarchived --help'.\n";
        return kExitUsage;
    }
    try {
        switch (parsed.options.mode) {
        case RunMode::help:
            std::cout << usageText();
            return kExitOk;
        case RunMode::version:
            std::cout << "vqarchived " VQ_VERSION "\n";
            return kExitOk;
        case RunMode::createDemo:
            return createDemo(parsed.options);
        case RunMode::serve:
            return serve(parsed.options);
        }
    } catch (const StoreError& e) {
        std::cerr << "vqarchived: " << e.what() << "\n";
        return kExitFailure;
    } catch (const std::exception& e) {
        std::cerr << "vqarchived: unexpected failure: " << e.what() << "\n";
        return kExitFailure;
    }
    return kExitFailure;
}
