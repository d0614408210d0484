// What the session and download benchmarks share: programs run as an
// operator runs them, a demo archive made and served by the real vqarchived
// for the length of the benchmark program, and a loopback listener that
// takes connections and closes them.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace archive_bench {

// Runs a program to its end with its output in out_file (or nowhere);
// returns its exit status, -1 when it could not be started.
inline int run(const std::vector<std::string>& args, const std::string& out_file = "/dev/null") {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline bool on_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

// A folder of its own, removed with everything in it.
class Work_Folder {
public:
    Work_Folder() {
        char pattern[] = "/tmp/vq-bench.XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made ? made : "";
    }
    ~Work_Folder() {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// vqarchived serving a demo archive on a loopback port, from the first use
// until the program ends.
class Served_Archive {
public:
    // long_recording_mb: 0 for none.
    explicit Served_Archive(unsigned long_recording_mb) {
        const std::string archive = folder_.path() + "/archive";
        std::vector<std::string> create = {VQARCHIVED_PATH, "--create-demo", archive, "--records",
                                           "200"};
        if (long_recording_mb) {
            create.push_back("--long-recording");
            create.push_back(std::to_string(long_recording_mb));
        }
        const std::string summary = folder_.path() + "/summary.txt";
        if (run(create, summary) != 0) {
            error_ = "vqarchived --create-demo failed";
            return;
        }
        std::ifstream in(summary);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("long recording: record ", 0) == 0)
                long_recording_ = static_cast<unsigned>(std::stoul(line.substr(23)));
        const std::string listening = folder_.path() + "/listening.txt";
        std::vector<std::string> serve = {VQARCHIVED_PATH, "--listen", "127.0.0.1", "--port", "0",
                                          "--password",    "pemrak",   archive};
        std::vector<char*> argv;
        for (const std::string& a : serve)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, listening.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        // "vqarchived: listening on 127.0.0.1:PORT (...)"
        for (int i = 0; i < 200 && port_ == 0 && pid_ > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::ifstream text(listening);
            std::string line;
            if (std::getline(text, line)) {
                const size_t colon = line.find("127.0.0.1:");
                if (colon != std::string::npos)
                    port_ = std::stoi(line.substr(colon + 10));
            }
        }
        if (port_ == 0)
            error_ = "vqarchived did not start serving";
    }
    ~Served_Archive() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    const std::string& error() const { return error_; }
    int port() const { return port_; }
    unsigned long_recording() const { return long_recording_; }
    std::string folder() const { return folder_.path(); }

private:
    Work_Folder folder_;
    pid_t pid_ = -1;
    int port_ = 0;
    unsigned long_recording_ = 0;
    std::string error_;
};

// Takes every connection and closes it at once.
class Closing_Listener {
public:
    Closing_Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        ::listen(fd_, 128);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0)
                    continue;
                const int c = ::accept(fd_, nullptr, nullptr);
                if (c >= 0)
                    ::close(c);
            }
        });
    }
    ~Closing_Listener() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace archive_bench
