// What an operator waits for when a script asks the archive one thing: the
// whole of `vqcli status` (program start, connect with the back connection
// and the password proof, one status call, finalize) against the real
// vqarchived on loopback, beside the smallest thing a program can do over
// the network: socat started and connecting to a loopback port.
#include "archive_bench_support.h"

#include <benchmark/benchmark.h>

namespace {

using namespace archive_bench;

Served_Archive& archive() {
    static Served_Archive served(0);
    return served;
}

void BM_Session_VqcliStatus(benchmark::State& state) {
    Served_Archive& served = archive();
    if (!served.error().empty()) {
        state.SkipWithError(served.error().c_str());
        return;
    }
    const std::vector<std::string> args = {VQCLI_PATH, "--port", std::to_string(served.port()),
                                           "status"};
    for (auto _ : state) {
        if (run(args) != 0) {
            state.SkipWithError("vqcli status failed");
            return;
        }
    }
}

void BM_Session_SocatConnect(benchmark::State& state) {
    if (!on_path("socat")) {
        state.SkipWithError("socat is not installed");
        return;
    }
    Closing_Listener listener;
    const std::vector<std::string> args = {"socat", "-u", "/dev/null",
                                           "TCP:127.0.0.1:" + std::to_string(listener.port())};
    for (auto _ : state) {
        if (run(args) != 0) {
            state.SkipWithError("socat failed");
            return;
        }
    }
}

} // namespace

BENCHMARK(BM_Session_VqcliStatus)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Session_SocatConnect)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

BENCHMARK_MAIN();
