// The reference archive server. This build creates demo archives and checks
// an archive before serving; the protocol side joins later.
#include "ArchiveStore.h"
#include "DemoArchive.h"
#include "ServerOptions.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>

using namespace vqarchive;

namespace {

int createDemo(const ServerOptions& o) {
    DemoOptions d;
    d.seed = o.seed;
    d.records = o.records;
    d.endTime = o.endTime;
    d.replace = o.replace;
    const auto started = std::chrono::steady_clock::now();
    const std::string shown =
        isMysqlUrl(o.demoTarget) ? MysqlAddress::parse(o.demoTarget).redacted() : o.demoTarget;
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
    char took[32];
    std::snprintf(took, sizeof took, "%.1f", seconds);
    std::cerr << "vqarchived: done in " << took << " s\n";
    return kExitOk;
}

int serve(const ServerOptions& o) {
    std::unique_ptr<ArchiveStore> store = ArchiveStore::open(o.archive);
    const StoreStatus status = store->status();
    if (!status.reachable) {
        std::cerr << "vqarchived: the archive database is not reachable (" << store->describe()
                  << "): " << status.message << "\n";
        return kExitFailure;
    }
    std::cerr << "vqarchived: " << store->describe() << ", server type " << store->serverType()
              << ", " << status.message << "\n"
              << "vqarchived: would listen on " << (o.listen.empty() ? "0.0.0.0" : o.listen) << ":"
              << o.port << "\n"
              << "vqarchived: serving is not built yet\n";
    return kExitNotBuilt;
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
