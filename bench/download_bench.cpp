// What an operator waits for when a recording is fetched: `vqcli download`
// of a 50 MB call recording from the real vqarchived on loopback (each byte
// travels as a 32-bit word, about 200 MB on the wire), beside raw loopback
// TCP moving the same number of bytes between two threads. The downloaded
// file is written to /dev/shm when there is one.
#include "archive_bench_support.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <vector>

namespace {

using namespace archive_bench;

constexpr unsigned RECORDING_MB = 50;
constexpr size_t RECORDING_BYTES = size_t{RECORDING_MB} * 1024 * 1024;
// The download on the wire: four bytes for each byte, a fragment header for
// every 4092 of them.
constexpr size_t WIRE_BYTES = 4 * RECORDING_BYTES + 4 * ((4 * RECORDING_BYTES + 4091) / 4092);

Served_Archive& archive() {
    static Served_Archive served(RECORDING_MB);
    return served;
}

void BM_Download_Vqcli(benchmark::State& state) {
    Served_Archive& served = archive();
    if (!served.error().empty() || served.long_recording() == 0) {
        state.SkipWithError(served.error().empty() ? "no long recording" : served.error().c_str());
        return;
    }
    // The file goes to memory where there is a file system for it (tmpfs),
    // so that the figure is the transfer's and not the disk's.
    std::error_code ec;
    const bool in_memory = std::filesystem::is_directory("/dev/shm", ec);
    const std::string out =
        (in_memory ? std::string("/dev/shm/vq-bench-download.") + std::to_string(getpid())
                   : served.folder() + "/downloaded");
    std::filesystem::create_directories(out, ec);
    struct Remove {
        std::string path;
        ~Remove() {
            std::error_code e;
            std::filesystem::remove_all(path, e);
        }
    } remove{out};
    const std::vector<std::string> args = {VQCLI_PATH,
                                           "--port",
                                           std::to_string(served.port()),
                                           "download",
                                           std::to_string(served.long_recording()),
                                           "--out",
                                           out};
    const std::string file = out + "/" + std::to_string(served.long_recording());
    for (auto _ : state) {
        // Each download writes a new file, as an operator's does.
        state.PauseTiming();
        std::filesystem::remove(file, ec);
        state.ResumeTiming();
        if (run(args) != 0 || std::filesystem::file_size(file, ec) != RECORDING_BYTES) {
            state.SkipWithError("vqcli download failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(RECORDING_BYTES * state.iterations()));
}

// A loopback connection, the sender writing and the receiver reading large
// pieces, until the receiver has every byte.
void BM_Download_RawTcp(benchmark::State& state) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
    ::listen(listener, 4);
    std::vector<char> piece(128 * 1024, 0x5A);
    for (auto _ : state) {
        std::thread sender([&] {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
            for (size_t sent = 0; sent < WIRE_BYTES;) {
                const ssize_t k =
                    ::send(fd, piece.data(), std::min(piece.size(), WIRE_BYTES - sent), 0);
                if (k <= 0)
                    break;
                sent += static_cast<size_t>(k);
            }
            ::close(fd);
        });
        const int fd = ::accept(listener, nullptr, nullptr);
        std::vector<char> buffer(128 * 1024);
        size_t received = 0;
        for (ssize_t k; (k = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;)
            received += static_cast<size_t>(k);
        ::close(fd);
        sender.join();
        if (received != WIRE_BYTES) {
            state.SkipWithError("the raw transfer lost bytes");
            break;
        }
    }
    ::close(listener);
    state.SetBytesProcessed(static_cast<int64_t>(RECORDING_BYTES * state.iterations()));
}

} // namespace

BENCHMARK(BM_Download_Vqcli)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Download_RawTcp)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

BENCHMARK_MAIN();
