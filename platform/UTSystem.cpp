#include "platform/UTSystem.h"

#include "platform/UTFolders.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace bfs {

std::string GetProcessUserName() {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    // getpwuid_r rather than getpwuid: the log writers call this from worker threads.
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_name)
        return found->pw_name;
    if (const char* u = std::getenv("USER"); u && *u) return u;
    return {};
}

std::string GetHostName() {
    char buf[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

std::string GetExecutablePath() {
    std::string path(PATH_MAX, '\0');
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < path.size()) {
            path.resize(static_cast<size_t>(n));
            return path;
        }
        path.resize(path.size() * 2);  // possibly cut: try a larger buffer
    }
}

namespace {

// Starts Argv (Argv[0] looked up in PATH) with the given file actions. The child's pid, or -1.
pid_t SpawnCommand(const std::vector<std::string>& Argv, const posix_spawn_file_actions_t* Actions) {
    if (Argv.empty() || Argv[0].empty()) return -1;
    std::vector<char*> args;
    args.reserve(Argv.size() + 1);
    for (const std::string& a : Argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // posix_spawnp is fork and exec done safely in a process that has other threads; it also
    // reports a program that cannot be executed (not found, no right) as its own failure.
    pid_t pid = 0;
    if (::posix_spawnp(&pid, args[0], Actions, nullptr, args.data(), environ) != 0) return -1;
    return pid;
}

// Waits for the child to end: its exit status, or -1 when it was ended by a signal.
int WaitForCommand(pid_t Pid) {
    int status = 0;
    while (::waitpid(Pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (!WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace

int RunCommand(const std::vector<std::string>& Argv) {
    pid_t pid = SpawnCommand(Argv, nullptr);
    return pid < 0 ? -1 : WaitForCommand(pid);
}

int RunCommandOutput(const std::vector<std::string>& Argv, std::string& Output) {
    Output.clear();
    int fds[2];
    // Close-on-exec, so that no other child started meanwhile keeps the pipe open; the dup2 below
    // gives the child a standard output without that flag.
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = SpawnCommand(Argv, &actions);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return -1;
    }
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0) {
            Output.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    return WaitForCommand(pid);
}

std::string GetAutostartFolder() {
    std::string base = GetConfigHome();
    if (base.empty()) return {};
    if (base.back() != '/') base += '/';
    return base + "autostart/";
}

std::string EscapeDesktopString(std::string_view Text) {
    std::string value;
    value.reserve(Text.size());
    for (char c : Text) {
        switch (c) {
            case '\\':
                value += "\\\\";
                break;
            case '\n':
                value += "\\n";
                break;
            case '\r':
                value += "\\r";
                break;
            case '\t':
                value += "\\t";
                break;
            default:
                value += c;
        }
    }
    return value;
}

std::string QuoteDesktopExecArg(std::string_view Arg) {
    // Characters that make quoting necessary inside an Exec line.
    constexpr std::string_view RESERVED = " \t\n\r\"'\\><~|&;$*?#`";
    bool quote = Arg.empty() || Arg.find_first_of(RESERVED) != std::string_view::npos;

    // First the Exec rules: quoting (with ", `, $ and \ escaped inside the quotes), "%" doubled.
    std::string exec;
    if (quote) exec += '"';
    for (char c : Arg) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) exec += '\\';
        if (c == '%') exec += '%';
        exec += c;
    }
    if (quote) exec += '"';

    // Then the escapes of a string value, which a reader undoes before it applies the Exec rules.
    return EscapeDesktopString(exec);
}

int GetDiskSpace(const std::string& Path, int64_t& TotalBytes, int64_t& FreeBytes) {
    TotalBytes = FreeBytes = 0;
    struct statvfs info {};
    if (::statvfs(Path.c_str(), &info) != 0) return errno != 0 ? errno : EIO;
    TotalBytes = static_cast<int64_t>(info.f_blocks) * static_cast<int64_t>(info.f_frsize);
    FreeBytes = static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
    return 0;
}

}  // namespace bfs
