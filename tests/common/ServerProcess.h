#pragma once

// Real servers for the storage tests: each test process starts its own on 127.0.0.1, on a free port,
// in its own folder, and stops it by its process id. A server program that is not installed skips
// the test, except under CI=true, where it fails it. Nothing here needs GoogleTest, so the
// benchmarks start the same servers; BFS_REQUIRE_PROGRAM expands only in a test.

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace bfs::test {

// A port on 127.0.0.1 that nothing listens on right now (another process may still take it: start
// again on a new one when the server exits at once).
inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
}

// A fresh folder under /tmp named Prefix + six random characters for a server's files, removed
// with everything in it. Path is empty when it could not be made.
class TServerFolder {
  public:
    explicit TServerFolder(const std::string& Prefix) {
        std::string name = "/tmp/" + Prefix + "-XXXXXX";
        if (::mkdtemp(name.data()))
            Path = name;
        else
            std::fprintf(stderr, "cannot create %s\n", name.c_str());
    }
    TServerFolder(const TServerFolder&) = delete;
    TServerFolder& operator=(const TServerFolder&) = delete;
    ~TServerFolder() {
        // rm copes with trees deeper than a path can name and with folders left unreadable.
        if (!Path.empty())
            (void)std::system(("chmod -R u+rwx '" + Path + "' 2>/dev/null; rm -rf '" + Path + "'").c_str());
    }
    std::string Path;
};

// Whether Program is installed; otherwise the test is skipped, or failed under CI=true.
#define BFS_REQUIRE_PROGRAM(Program)                                                           \
    do {                                                                                       \
        if (::access(Program, X_OK) != 0) {                                                    \
            const char* ci = std::getenv("CI");                                                \
            if (ci && std::string(ci) == "true") FAIL() << Program << " is not installed";     \
            GTEST_SKIP() << Program << " is not installed (scripts/install-deps installs it)"; \
        }                                                                                      \
    } while (0)

// One server process: started in Dir with Argv (Argv[0] a full path), stopped by its pid.
class TServerProcess {
  public:
    TServerProcess() = default;
    TServerProcess(const TServerProcess&) = delete;
    TServerProcess& operator=(const TServerProcess&) = delete;
    ~TServerProcess() { Stop(); }

    // Starts the server and polls Ready every 50 ms for up to 10 s. False when it ended or never
    // became ready (it is then stopped).
    bool Start(const std::vector<std::string>& Argv, const std::string& Dir,
               const std::function<bool()>& Ready, bool Quiet = true) {
        std::vector<char*> args;
        for (const auto& a : Argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!Dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, Dir.c_str());
        if (Quiet) {
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        }
        const int rc = ::posix_spawn(&m_Pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            m_Pid = -1;
            return false;
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (::waitpid(m_Pid, &status, WNOHANG) == m_Pid) {
                m_Pid = -1;
                return false;
            }
            if (Ready()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        Stop();
        return false;
    }

    // Ends the server (SIGTERM, then SIGKILL after 5 s) and waits for it.
    void Stop() {
        if (m_Pid <= 0) return;
        ::kill(m_Pid, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(m_Pid, nullptr, WNOHANG) == m_Pid) {
                m_Pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(m_Pid, SIGKILL);
        ::waitpid(m_Pid, nullptr, 0);
        m_Pid = -1;
    }

    pid_t Pid() const { return m_Pid; }

  private:
    pid_t m_Pid = -1;
};

// Runs a short command (no shell) and gives its exit status, -1 when it could not run.
inline int RunQuiet(const std::vector<std::string>& Argv) {
    std::vector<char*> args;
    for (const auto& a : Argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace bfs::test
