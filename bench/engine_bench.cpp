// Whole-run benchmark of the engine and the local back-end: builds realistic local trees, runs a
// two-way task through TTaskRun (first run with a full copy, a no-op re-run, a run after 1% changes
// on each side) and prints each phase's time, rate and peak memory beside two baselines measured on
// the same trees (a bare single-threaded walk that stats every entry, and `cp -r`). Beside them, the
// peers found on PATH (rsync, unison) run a no-op and a 1% change on trees of the same size. It
// prints figures and targets; it asserts nothing.
//
// Usage: engine_bench [--n N] [--large] [--dir PARENT]
//   default sizes 10,000 and 100,000 files; --large adds 1,000,000 (mostly 0-1 KiB files);
//   --n N runs that one size; --dir puts the scratch folder under PARENT (default $TMPDIR or /tmp;
//   on a tmpfs the trees would sit in memory and the figures would not be those of a disk).

#include "BenchReport.h"
#include "engine/UTFileSyncThread.h"
#include "engine/UTPlan.h"
#include "engine/UTSyncTask.h"
#include "engine/UTTaskRun.h"
#include "model/UTConsts.h"
#include "model/UTFileOper.h"
#include "model/UTFileTree.h"
#include "model/UTFolderSource.h"
#include "model/UTMyException.h"
#include "platform/UTAtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern char** environ;

namespace {

// The goals the figures are printed beside (never asserted): run times as ratios to the bare walk
// of both trees, the first copy's speed as a fraction of cp -r's, peak growth per side-entry.
constexpr double GOAL_NOOP = 0.8;
constexpr double GOAL_CHANGED = 2.0;
constexpr double GOAL_COPY = 0.95;
constexpr long long GOAL_BYTES_NOOP = 200;
constexpr long long GOAL_BYTES_CHANGED = 300;

using namespace bfs::bench;

std::string Rate(double Count, double Secs) {
    if (Secs <= 0) return "-";
    return Grouped(std::llround(Count / Secs));
}

std::string Mb(double Bytes) {
    return Fixed(Bytes / 1e6, 1);
}

double CpuSeconds(const rusage& Usage) {
    return static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
           static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

// User + system time of this process so far, all threads.
double ProcessCpu() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return CpuSeconds(usage);
}

// ---- Scratch folder and clean-up ------------------------------------------------------------------

// The scratch folder of the whole run; removed at the end, on an error, and on SIGINT/SIGTERM/SIGHUP.
std::string g_Scratch;
// A child (engine run, cp or a peer) that the signal handler must end before removing the scratch
// folder.
volatile sig_atomic_t g_Child = 0;
// The process group of a peer, which leads its own group: the handler ends the whole group, since a
// peer may have children of its own (rsync runs as three processes).
volatile sig_atomic_t g_ChildGroup = 0;
// "rm -rf -- <scratch>", prepared before any signal can arrive: the handler may only exec it.
char* g_RmArgv[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};

void OnSignal(int) {
    // Only async-signal-safe calls: end the child, then become `rm -rf` of the scratch folder.
    const pid_t group = g_ChildGroup;
    if (group > 0) ::kill(-group, SIGKILL);
    const pid_t child = g_Child;
    if (child > 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    if (g_RmArgv[0]) ::execv("/bin/rm", g_RmArgv);
    ::_exit(130);
}

int RemoveEntry(const char* Path, const struct stat*, int Flag, FTW*) {
    if (Flag == FTW_DP)
        ::rmdir(Path);
    else
        ::unlink(Path);
    return 0;
}

void RemoveTree(const std::string& Path) {
    if (!Path.empty()) ::nftw(Path.c_str(), RemoveEntry, 64, FTW_DEPTH | FTW_PHYS);
}

// Flushes the scratch file system, so that the write-back of earlier steps does not run during a
// timed step.
void FlushDisk() {
    const int fd = ::open(g_Scratch.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::syncfs(fd);
    ::close(fd);
}

// How long creating an empty file takes now, in microseconds (1,000 files in a fresh folder of the
// scratch folder; they stay until the end, since deleting them would slow the next creations).
// ext4 skips inodes freed in the last few minutes when it allocates new ones, so for up to five
// minutes after a large deletion (another program's, or an earlier run's clean-up) every file
// creation may cost many times its usual time, whatever program creates it.
double CreateProbe() {
    static int probes = 0;
    const std::string folder = g_Scratch + "/probe-" + std::to_string(++probes);
    if (::mkdir(folder.c_str(), 0755) != 0) return -1;
    constexpr int COUNT = 1000;
    const auto start = TClock::now();
    for (int i = 0; i < COUNT; ++i) {
        const int fd = ::open((folder + "/f" + std::to_string(i)).c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) ::close(fd);
    }
    return Seconds(start, TClock::now()) * 1e6 / COUNT;
}

// Waits (up to five minutes) until creating files runs at its usual speed, so that the copy
// timings measure the copying and not the state the file system was left in.
void WaitForQuickCreates() {
    constexpr double SLOW_US = 40;
    double us = CreateProbe();
    if (us < SLOW_US) {
        std::printf("File creation probe: %s us per file (usual speed).\n", Fixed(us, 1).c_str());
        return;
    }
    std::printf(
        "File creation probe: %s us per file: slow (most likely many files were deleted in the last\n"
        "  minutes; ext4 then skips the freed inodes for up to 5 minutes). Waiting for it to recover",
        Fixed(us, 1).c_str());
    std::fflush(stdout);
    const auto start = TClock::now();
    while (us >= SLOW_US && Seconds(start, TClock::now()) < 300) {
        ::sleep(20);
        us = CreateProbe();
        std::printf(" .. %s", Fixed(us, 1).c_str());
        std::fflush(stdout);
    }
    std::printf("\n  %s after %s s; copy timings below may still be affected.\n",
                us < SLOW_US ? "recovered" : "STILL SLOW", Fixed(Seconds(start, TClock::now()), 0).c_str());
}

// ---- Realistic trees ------------------------------------------------------------------------------

constexpr const char* FOLDER_NAMES[] = {"Documents",    "Projects",
                                        "Photos",       "Music",
                                        "Archive",      "Clients",
                                        "Reports",      "Source",
                                        "Shared",       "Invoices",
                                        "Fotos Urlaub", "Résumés",
                                        "Übersicht",    "src",
                                        "include",      "tests",
                                        "assets",       "raw",
                                        "edited",       "drafts",
                                        "final",        "old",
                                        "2019",         "2020",
                                        "2021",         "2022",
                                        "2023",         "Q1",
                                        "Q2",           "Q3",
                                        "Q4",           "Berlin trip",
                                        "plans",        "meeting minutes",
                                        "contracts"};
// Each pattern takes one number that is unique within its folder, so names never repeat there.
constexpr const char* SMALL_PATTERNS[] = {
    "notes %d.txt",          "meeting-notes-%d.md", "main_%d.cpp",  "util_%d.h",          "config-%d.json",
    "Brief %d.docx",         "budget %d.xlsx",      "todo_%d.txt",  "résumé-%d.odt",      "data_%05d.csv",
    "invoice-2023-%04d.pdf", ".hidden-%d.conf",     "README %d.md", "photo-thumb-%d.png",
};
constexpr const char* LARGE_PATTERNS[] = {
    "IMG_%04d.JPG",  "DSC_%05d.jpg",         "scan %d.pdf",  "track %02d.mp3",
    "backup-%d.zip", "Präsentation %d.pptx", "VID_%04d.mp4",
};

struct TTreeInfo {
    std::vector<std::string> Files;  // relative paths "a/b/name"
    std::vector<int64_t> Sizes;
    long long Folders = 0;  // below the root
    int64_t Bytes = 0;
    int MaxDepth = 0;
    long long LargeFiles = 0;
};

class TTreeBuilder {
  public:
    TTreeBuilder(std::string Root, long long Files, bool Light, uint64_t Seed)
        : m_Root(std::move(Root)), m_Remaining(Files), m_Light(Light), m_Rng(Seed) {
        m_Pool.resize(POOL_SIZE + POOL_SLACK);
        for (auto& c : m_Pool) c = static_cast<char>(m_Rng());
        m_Now = std::time(nullptr);
    }

    TTreeInfo Build() {
        std::set<std::string> used;
        while (m_Remaining > 0) Fill(NewFolder("", used), 1);
        return std::move(m_Info);
    }

  private:
    static constexpr size_t POOL_SIZE = 1 << 20;  // the largest file
    static constexpr size_t POOL_SLACK = 1 << 16;

    int Uniform(int Lo, int Hi) { return std::uniform_int_distribution<int>(Lo, Hi)(m_Rng); }
    bool Chance(double P) { return std::uniform_real_distribution<double>(0, 1)(m_Rng) < P; }

    // Most files are small; a few are large. The light profile (used for a million files) keeps the
    // data modest: 98% of 0-1 KiB, 2% of 1-16 KiB.
    int64_t PickSize(bool& Large) {
        const double p = std::uniform_real_distribution<double>(0, 1)(m_Rng);
        Large = false;
        if (m_Light) return p < 0.98 ? Uniform(0, 1024) : Uniform(1025, 16384);
        if (p < 0.80) return Uniform(0, 4096);
        if (p < 0.98) return Uniform(4097, 16384);
        Large = true;  // log-uniform between 100 KiB and 1 MiB
        const double lo = std::log(100.0 * 1024), hi = std::log(1024.0 * 1024);
        return static_cast<int64_t>(std::exp(std::uniform_real_distribution<double>(lo, hi)(m_Rng)));
    }

    std::string NewFolder(const std::string& Parent, std::set<std::string>& Used) {
        std::string name = FOLDER_NAMES[Uniform(0, std::size(FOLDER_NAMES) - 1)];
        for (int n = 2; Used.count(name); ++n)
            name =
                std::string(FOLDER_NAMES[Uniform(0, std::size(FOLDER_NAMES) - 1)]) + " " + std::to_string(n);
        Used.insert(name);
        const std::string rel = Parent.empty() ? name : Parent + "/" + name;
        if (::mkdir((m_Root + "/" + rel).c_str(), 0755) != 0)
            throw std::runtime_error("mkdir " + rel + ": " + std::strerror(errno));
        ++m_Info.Folders;
        return rel;
    }

    // Leaves hold 50-200 files at depth 2-4; folders above them hold a few loose files and 2-5
    // sub-folders.
    void Fill(const std::string& Rel, int Depth) {
        m_Info.MaxDepth = std::max(m_Info.MaxDepth, Depth);
        if (m_Remaining <= 0) return;
        if (Depth >= 2 && (Depth == 4 || Chance(0.45))) {
            AddFiles(Rel, Uniform(50, 200));
            return;
        }
        AddFiles(Rel, Uniform(0, 12));
        std::set<std::string> used;
        const int subs = Uniform(2, 5);
        for (int i = 0; i < subs && m_Remaining > 0; ++i) Fill(NewFolder(Rel, used), Depth + 1);
    }

    void AddFiles(const std::string& Rel, long long Count) {
        Count = std::min(Count, m_Remaining);
        const int base = Uniform(1, 5000);
        for (long long i = 0; i < Count; ++i) {
            bool large = false;
            const int64_t size = PickSize(large);
            const char* pattern = large ? LARGE_PATTERNS[Uniform(0, std::size(LARGE_PATTERNS) - 1)]
                                        : SMALL_PATTERNS[Uniform(0, std::size(SMALL_PATTERNS) - 1)];
            char name[128];
            std::snprintf(name, sizeof name, pattern, base + static_cast<int>(i));
            const std::string rel = Rel + "/" + name;
            WriteFile(rel, size);
            m_Info.Files.push_back(rel);
            m_Info.Sizes.push_back(size);
            m_Info.Bytes += size;
            if (large) ++m_Info.LargeFiles;
        }
        m_Remaining -= Count;
    }

    void WriteFile(const std::string& Rel, int64_t Size) {
        const std::string path = m_Root + "/" + Rel;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) throw std::runtime_error("create " + path + ": " + std::strerror(errno));
        const size_t offset = static_cast<size_t>(m_Rng() % POOL_SLACK);
        bool ok = Size == 0 || ::write(fd, m_Pool.data() + offset, static_cast<size_t>(Size)) == Size;
        // A time in the past three years, on an even second (file dates have a 2-second resolution).
        const time_t mtime =
            (m_Now - 86400 - static_cast<time_t>(m_Rng() % (3 * 365 * 86400ULL))) & ~time_t(1);
        const timespec times[2] = {{mtime, 0}, {mtime, 0}};
        ok = ::futimens(fd, times) == 0 && ok;
        ok = ::close(fd) == 0 && ok;
        if (!ok) throw std::runtime_error("write " + path + ": " + std::strerror(errno));
    }

    std::string m_Root;
    long long m_Remaining;
    bool m_Light;
    std::mt19937_64 m_Rng;
    std::vector<char> m_Pool;
    time_t m_Now;
    TTreeInfo m_Info;
};

// ---- Baselines ------------------------------------------------------------------------------------

struct TWalkCount {
    long long Files = 0;
    long long Folders = 0;
    long long Other = 0;
    int64_t Bytes = 0;
};

// The least a sync tool must do to see a tree: open each folder relative to its parent, read it,
// and stat every entry without following links. Single thread, depth first.
void WalkFolder(int ParentFd, const char* Name, TWalkCount& Count, bool ReadData) {
    const int fd = ::openat(ParentFd, Name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    std::vector<std::string> subFolders;
    static thread_local std::vector<char> buffer(1 << 20);
    while (const dirent* e = ::readdir(dir)) {
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
        struct stat st {};
        if (::fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            ++Count.Folders;
            subFolders.emplace_back(n);
        } else if (S_ISREG(st.st_mode)) {
            ++Count.Files;
            Count.Bytes += st.st_size;
            if (ReadData) {
                const int f = ::openat(fd, n, O_RDONLY | O_CLOEXEC);
                if (f >= 0) {
                    while (::read(f, buffer.data(), buffer.size()) > 0) {
                    }
                    ::close(f);
                }
            }
        } else {
            ++Count.Other;
        }
    }
    for (const auto& sub : subFolders) WalkFolder(fd, sub.c_str(), Count, ReadData);
    ::closedir(dir);
}

TWalkCount Walk(const std::string& Root, bool ReadData = false) {
    TWalkCount count;
    WalkFolder(AT_FDCWD, Root.c_str(), count, ReadData);
    return count;
}

// Runs a program and waits for it; its exit status, or -1 when it could not be started. Cpu gets the
// program's user + system time.
int Spawn(const std::vector<std::string>& Args, double& Cpu) {
    std::vector<char*> argv;
    for (const auto& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    g_Child = pid;
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    g_Child = 0;
    Cpu = CpuSeconds(usage);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- Peers ----------------------------------------------------------------------------------------

// One run of another program, timed from its start to its exit.
struct TPeerRun {
    bool Ran = false;
    std::string Note;         // why it did not run ("not installed", ...)
    int Status = -1;          // exit code; 128 + signal number when killed
    double Sec = 0, Cpu = 0;  // cpu: user + system of the program and of the children it waited for
    long long PeakBytes = 0;  // ru_maxrss of wait4: the whole resident size of its largest process
};

// The full name of Program in a folder of PATH; empty when it is in none.
std::string FindOnPath(const std::string& Program) {
    const char* path = std::getenv("PATH");
    if (!path || !*path) return {};
    std::string_view rest = path;
    while (true) {
        const size_t colon = rest.find(':');
        const std::string folder(rest.substr(0, colon));
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + Program;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string_view::npos) return {};
        rest.remove_prefix(colon + 1);
    }
}

// Runs a program (Args[0] a full name) with Env added to the environment, its input from /dev/null
// and its output into Log, and waits for it. It leads its own process group, so that the signal
// handler can end its children with it, and the terminal's Ctrl-C reaches it only through the
// handler. The signals stay blocked until g_Child names it, so the handler never misses it.
TPeerRun RunPeer(const std::vector<std::string>& Args, const std::vector<std::string>& Env,
                 const std::string& Log) {
    TPeerRun r;
    std::vector<char*> argv;
    for (const auto& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry = *e;
        const bool replaced = std::any_of(Env.begin(), Env.end(), [&](const std::string& v) {
            return entry.substr(0, entry.find('=') + 1) == v.substr(0, v.find('=') + 1);
        });
        if (!replaced) envp.push_back(*e);
    }
    for (const auto& v : Env) envp.push_back(const_cast<char*>(v.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
    sigset_t handled, none, before;
    ::sigemptyset(&handled);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaddset(&handled, sig);
    ::sigemptyset(&none);
    posix_spawnattr_t attr;
    ::posix_spawnattr_init(&attr);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    ::posix_spawnattr_setpgroup(&attr, 0);
    ::posix_spawnattr_setsigmask(&attr, &none);
    ::posix_spawnattr_setsigdefault(&attr, &handled);

    ::sigprocmask(SIG_BLOCK, &handled, &before);
    pid_t pid = 0;
    const auto start = TClock::now();
    const int err = ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    if (err == 0) {
        g_ChildGroup = pid;
        g_Child = pid;
    }
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    ::posix_spawnattr_destroy(&attr);
    ::posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        r.Note = std::string("could not start: ") + std::strerror(err);
        return r;
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    r.Sec = Seconds(start, TClock::now());
    g_Child = 0;
    g_ChildGroup = 0;
    r.Ran = true;
    r.Cpu = CpuSeconds(usage);
    r.PeakBytes = static_cast<long long>(usage.ru_maxrss) * 1024;
    r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    return r;
}

// Gives each entry below To the times of the entry of the same path below From. Closes both.
long long CopyTimesIn(int FromFd, int ToFd) {
    DIR* dir = ::fdopendir(FromFd);
    if (!dir) {
        ::close(FromFd);
        ::close(ToFd);
        return 1;
    }
    long long failed = 0;
    std::vector<std::string> subFolders;
    while (const dirent* e = ::readdir(dir)) {
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
        struct stat st {};
        if (::fstatat(FromFd, n, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ++failed;
            continue;
        }
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (::utimensat(ToFd, n, times, AT_SYMLINK_NOFOLLOW) != 0) ++failed;
        if (S_ISDIR(st.st_mode)) subFolders.emplace_back(n);
    }
    for (const auto& sub : subFolders) {
        const int from = ::openat(FromFd, sub.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int to = ::openat(ToFd, sub.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (from < 0 || to < 0) {
            if (from >= 0) ::close(from);
            if (to >= 0) ::close(to);
            ++failed;
            continue;
        }
        failed += CopyTimesIn(from, to);
    }
    ::closedir(dir);
    ::close(ToFd);
    return failed;
}

// Gives To and every entry below it the times of From and its entries. cp -r stamps its copies with
// the time of copying, and rsync and unison take two files for equal only when their times agree.
// Returns the entries whose times could not be carried over (missing below To, among others).
long long CopyTimes(const std::string& From, const std::string& To) {
    const int from = ::open(From.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int to = ::open(To.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (from < 0 || to < 0) {
        if (from >= 0) ::close(from);
        if (to >= 0) ::close(to);
        return 1;
    }
    long long failed = CopyTimesIn(from, to);
    struct stat st {};
    if (::stat(From.c_str(), &st) != 0) return failed + 1;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (::utimensat(AT_FDCWD, To.c_str(), times, 0) != 0) ++failed;
    return failed;
}

// ---- One engine run in a child process ------------------------------------------------------------

enum TRunKind { RUN_FIRST = 0, RUN_NOOP = 1, RUN_CHANGED = 2 };

// What a child reports back through a pipe (plain data only).
struct TRunResult {
    int Ok = 0;
    char Error[512] = {};
    int PeakResettable = 0;
    long long BaselineRss = 0;  // RSS when the run started
    double ScanSec = 0, AnalyzeSec = 0, CopySec = 0, SaveSec = 0, StateLoadSec = 0;
    double ScanCpu = 0, AnalyzeCpu = 0, CopyCpu = 0, SaveCpu = 0;         // user + system, all threads
    long long ScanPeak = 0, AnalyzePeak = 0, CopyPeak = 0, SavePeak = 0;  // above BaselineRss
    long long LeftListed = 0, RightListed = 0;                            // entries of each side's listing
    long long LeftSaved = 0, RightSaved = 0;  // entries of each side's loaded saved state
    long long StateFileBytes = 0;             // both saved-state files after the run
    long long PlanRows = 0;                   // rows below the root row
    long long PlanLeftBytes = 0, PlanRightBytes = 0;
    long long CopiedFiles = 0, MadeFolders = 0, ErrorLines = 0, OperCount = -1;
    int ScanIncomplete = 0;
};

long long CountNodes(const bfs::TFileTree& Root) {
    long long n = 0;
    std::vector<const bfs::TFileTree*> stack{&Root};
    while (!stack.empty()) {
        const bfs::TFileTree* node = stack.back();
        stack.pop_back();
        for (const auto& c : node->Children) {
            ++n;
            stack.push_back(c.get());
        }
    }
    return n;
}

long long CountRows(const bfs::TPlanRow& Root) {
    long long n = 0;
    std::vector<const bfs::TPlanRow*> stack{&Root};
    while (!stack.empty()) {
        const bfs::TPlanRow* row = stack.back();
        stack.pop_back();
        for (const auto& c : row->Children) {
            ++n;
            stack.push_back(c.get());
        }
    }
    return n;
}

std::string StateFile(const std::string& Root, const std::string& SyncID) {
    return Root + "/" + bfs::MARKER_FOLDER + "/" + bfs::SyncIDToFileName(SyncID);
}

long long FileBytes(const std::string& Path) {
    struct stat st {};
    return ::stat(Path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

void SetError(TRunResult& R, const std::string& Text) {
    std::snprintf(R.Error, sizeof R.Error, "%s", Text.c_str());
}

// Runs in the child: one whole run of the task through TTaskRun, each phase timed and its peak
// memory taken.
void EngineRun(TRunKind Kind, const std::string& Left, const std::string& Right, const std::string& SyncID,
               TRunResult& R) {
    bfs::TSyncTask task;
    task.SyncName = SyncID;
    task.SyncID = SyncID;
    task.LFolder->DeviceType = bfs::DEVICE_LOCAL;
    task.LFolder->FolerAllName = Left;
    task.RFolder->DeviceType = bfs::DEVICE_LOCAL;
    task.RFolder->FolerAllName = Right;
    task.SyncDirection = 0;
    task.ForcedOrVerified = -1;
    task.UseTempFile = 0;
    bfs::TTaskRun run(task);

    TPeakMeter meter;
    R.PeakResettable = meter.Resettable() ? 1 : 0;
    R.BaselineRss = StatusBytes("VmRSS:");
    auto above = [&](long long Peak) { return std::max(0LL, Peak - R.BaselineRss); };

    // Scan: both listings (each on its own thread) and, after each, the side's saved state.
    meter.Reset();
    double cpu = ProcessCpu();
    auto t0 = TClock::now();
    if (run.StartScan() != 0) return SetError(R, "StartScan: " + run.ErrorText);
    R.ScanIncomplete = run.FinishScan();
    auto t1 = TClock::now();
    R.ScanSec = Seconds(t0, t1);
    R.ScanCpu = ProcessCpu() - cpu;
    R.ScanPeak = above(meter.Peak());
    R.LeftListed = CountNodes(*run.LeftOper->FFileTree);
    R.RightListed = CountNodes(*run.RightOper->FFileTree);
    R.LeftSaved = CountNodes(*run.LeftOper->FSavedTree);
    R.RightSaved = CountNodes(*run.RightOper->FSavedTree);

    // Analysis and the plan of the changes view.
    meter.Reset();
    cpu = ProcessCpu();
    t0 = TClock::now();
    if (run.Analyze() != 0) return SetError(R, "Analyze: " + run.ErrorText);
    t1 = TClock::now();
    R.AnalyzeSec = Seconds(t0, t1);
    R.AnalyzeCpu = ProcessCpu() - cpu;
    R.AnalyzePeak = above(meter.Peak());
    if (run.Plan.RootNode) R.PlanRows = CountRows(*run.Plan.RootNode);
    R.PlanLeftBytes = run.Plan.LeftBytes;
    R.PlanRightBytes = run.Plan.RightBytes;

    // Sync: the walk of the plan (the copies), then, when anything was done, the new saved states
    // (both sides listed again, merged, written). The walk's last log line ("Operator File :n")
    // comes between the two, which splits the phase.
    TClock::time_point walkEnd{};
    double walkEndCpu = 0;
    auto logPane = [&](const std::string& Line) {
        if (Line.rfind("Copy:", 0) == 0)
            ++R.CopiedFiles;
        else if (Line.rfind("Copy Folder", 0) == 0)
            ++R.MadeFolders;
        else if (Line.rfind("Error", 0) == 0)
            ++R.ErrorLines;
        else if (Line.rfind("Operator File :", 0) == 0) {
            walkEnd = TClock::now();
            walkEndCpu = ProcessCpu();
            R.OperCount = std::atoll(Line.c_str() + std::strlen("Operator File :"));
            R.CopyPeak = above(meter.Peak());
            meter.Reset();
        }
    };
    meter.Reset();
    cpu = ProcessCpu();
    t0 = TClock::now();
    run.Sync(logPane);
    t1 = TClock::now();
    const double endCpu = ProcessCpu();
    if (walkEnd == TClock::time_point{}) {
        walkEnd = t1;
        walkEndCpu = endCpu;
    }
    R.CopySec = Seconds(t0, walkEnd);
    R.SaveSec = Seconds(walkEnd, t1);
    R.CopyCpu = walkEndCpu - cpu;
    R.SaveCpu = endCpu - walkEndCpu;
    if (R.OperCount > 0)
        R.SavePeak = above(meter.Peak());
    else
        R.CopyPeak = std::max(R.CopyPeak, above(meter.Peak()));

    // Untimed by the phases above: how long loading both saved states takes on its own (the same
    // call the listing threads make after listing: read the file piece by piece and merge it with
    // the side's listing), and their size.
    R.StateFileBytes = FileBytes(StateFile(Left, SyncID)) + FileBytes(StateFile(Right, SyncID));
    if (Kind != RUN_FIRST && run.LeftOper && run.RightOper) {
        t0 = TClock::now();
        const std::pair<const std::string*, const bfs::TFileTree*> sides[] = {
            {&Left, run.LeftOper->FFileTree.get()}, {&Right, run.RightOper->FFileTree.get()}};
        for (const auto& [side, listing] : sides) {
            auto tree = bfs::TFileTree::Create(std::string(), nullptr);
            bfs::LoadSavedStateFile(*tree, StateFile(*side, SyncID), nullptr, listing, nullptr);
        }
        R.StateLoadSec = Seconds(t0, TClock::now());
    }
    R.Ok = 1;
}

// Forks a child for one engine run: the child starts from this process's small heap, so memory
// that earlier runs freed (kept by the allocator) cannot hide the run's own growth.
TRunResult RunInChild(TRunKind Kind, const std::string& Left, const std::string& Right,
                      const std::string& SyncID = "BENCH") {
    TRunResult result;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        SetError(result, "pipe failed");
        return result;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        SetError(result, "fork failed");
        return result;
    }
    if (pid == 0) {
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGHUP, SIG_DFL);
        ::close(fds[0]);
        TRunResult r;
        try {
            EngineRun(Kind, Left, Right, SyncID, r);
        } catch (const std::exception& e) {
            SetError(r, std::string("exception: ") + e.what());
        }
        const char* p = reinterpret_cast<const char*>(&r);
        size_t left = sizeof r;
        while (left > 0) {
            const ssize_t n = ::write(fds[1], p, left);
            if (n <= 0) break;
            p += n;
            left -= static_cast<size_t>(n);
        }
        ::_exit(0);  // no clean-up of the parent's state in the child
    }
    g_Child = pid;
    ::close(fds[1]);
    char* p = reinterpret_cast<char*>(&result);
    size_t got = 0;
    while (got < sizeof result) {
        const ssize_t n = ::read(fds[0], p + got, sizeof result - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    g_Child = 0;
    if (got != sizeof result) {
        result = TRunResult{};
        if (WIFSIGNALED(status))
            SetError(result, "engine run died from signal " + std::to_string(WTERMSIG(status)));
        else
            SetError(result, "engine run ended without a result");
    }
    return result;
}

// ---- The error log --------------------------------------------------------------------------------

std::vector<std::string> ReadLines(const std::string& Path) {
    std::string text;
    bfs::ReadWholeFile(Path, text);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// ---- Report ---------------------------------------------------------------------------------------

struct TSizeRun {
    long long N = 0;
    long long Folders = 0;
    long long Entries = 0;  // both sides: 2 x (N + Folders)
    int64_t Bytes = 0;
    double CpSec[2] = {0, 0};  // cp -r before the engine's first run and before its repeat
    double CpCpu[2] = {0, 0};
    double CpProbe[2] = {0, 0};     // file creation probe (us per file) just before each cp -r
    double FirstProbe[2] = {0, 0};  // the same before run 1 and its repeat
    TRunResult FirstRepeat;         // run 1 again into an empty folder, for the copy comparison
    double CpBest() const { return std::min(CpSec[0], CpSec[1]); }
    double EngineCopyBest() const {
        return FirstRepeat.Ok ? std::min(Runs[0].CopySec, FirstRepeat.CopySec) : Runs[0].CopySec;
    }
    double WalkSec = 0;
    double WalkCpu = 0;
    TRunResult Runs[3];
    // Per peer (rsync, unison) its runs on the peers' pair of trees. First is unison's untimed
    // archive-building run; rsync has none.
    struct TPeerRuns {
        std::string Version;
        TPeerRun First, Noop, Changed;
    } Peers[2];
};

void PrintRow(const char* Phase, double Secs, double Cpu, const std::string& PerSec, long long Peak,
              long long Entries) {
    std::printf("  %-50s %8s %8s %11s %9s %8s\n", Phase, Fixed(Secs, 3).c_str(), Fixed(Cpu, 3).c_str(),
                PerSec.c_str(), Peak >= 0 ? Mb(static_cast<double>(Peak)).c_str() : "-",
                Peak >= 0 ? Grouped(Peak / std::max(1LL, Entries)).c_str() : "-");
}

void PrintHeader() {
    std::printf("  %-50s %8s %8s %11s %9s %8s\n", "phase", "time s", "cpu s", "files/s", "peak MB",
                "B/entry");
}

long long RunPeak(const TRunResult& R) {
    return std::max(std::max(R.ScanPeak, R.AnalyzePeak), std::max(R.CopyPeak, R.SavePeak));
}

double RunTotal(const TRunResult& R) {
    return R.ScanSec + R.AnalyzeSec + R.CopySec + R.SaveSec;
}

void PrintRun(const char* Title, const TSizeRun& S, const TRunResult& R, TRunKind Kind, int64_t CopyBytes) {
    std::printf("\n%s\n", Title);
    if (!R.Ok) {
        std::printf("  FAILED: %s\n", R.Error);
        return;
    }
    std::printf("  listed: left %s entries, right %s; saved states loaded: left %s, right %s%s\n",
                Grouped(R.LeftListed).c_str(), Grouped(R.RightListed).c_str(), Grouped(R.LeftSaved).c_str(),
                Grouped(R.RightSaved).c_str(), R.ScanIncomplete ? "  (a listing reported INCOMPLETE)" : "");
    std::printf(
        "  plan: %s rows; writes %s MB on the left, %s MB on the right; sync did %s operations "
        "(%s file copies, %s folders made, %s error lines)\n",
        Grouped(R.PlanRows).c_str(), Mb(static_cast<double>(R.PlanLeftBytes)).c_str(),
        Mb(static_cast<double>(R.PlanRightBytes)).c_str(), Grouped(std::max(0LL, R.OperCount)).c_str(),
        Grouped(R.CopiedFiles).c_str(), Grouped(R.MadeFolders).c_str(), Grouped(R.ErrorLines).c_str());
    PrintHeader();
    const double n = static_cast<double>(S.N);
    const char* scan = Kind == RUN_FIRST ? "scan: list both sides (no saved states yet)"
                                         : "scan: list both sides + load saved states";
    PrintRow(scan, R.ScanSec, R.ScanCpu, Rate(n, R.ScanSec), R.ScanPeak, S.Entries);
    if (Kind != RUN_FIRST)
        std::printf("  %-50s %8s   (timed apart, one thread; both states, %s MB of text)\n",
                    "  of which: load of both saved states", Fixed(R.StateLoadSec, 3).c_str(),
                    Mb(static_cast<double>(R.StateFileBytes)).c_str());
    PrintRow("analyse + build plan", R.AnalyzeSec, R.AnalyzeCpu, Rate(n, R.AnalyzeSec), R.AnalyzePeak,
             S.Entries);
    if (R.OperCount > 0) {
        const std::string copyRate = Rate(static_cast<double>(R.CopiedFiles), R.CopySec);
        PrintRow("sync: walk plan + copy files", R.CopySec, R.CopyCpu, copyRate, R.CopyPeak, S.Entries);
        std::printf("  %-50s %s files in %s s = %s files/s, %s MB = %s MB/s\n",
                    "  copy phase:", Grouped(R.CopiedFiles).c_str(), Fixed(R.CopySec, 3).c_str(),
                    copyRate.c_str(), Mb(static_cast<double>(CopyBytes)).c_str(),
                    Fixed(static_cast<double>(CopyBytes) / 1e6 / std::max(1e-9, R.CopySec), 1).c_str());
        PrintRow("sync: save states (list both again, merge, write)", R.SaveSec, R.SaveCpu,
                 Rate(n, R.SaveSec), R.SavePeak, S.Entries);
    } else {
        PrintRow("sync: walk plan (nothing to do)", R.CopySec + R.SaveSec, R.CopyCpu + R.SaveCpu, "-",
                 R.CopyPeak, S.Entries);
    }
    PrintRow("TOTAL (whole run; peak = highest phase)", RunTotal(R),
             R.ScanCpu + R.AnalyzeCpu + R.CopyCpu + R.SaveCpu, Rate(n, RunTotal(R)), RunPeak(R), S.Entries);
    std::printf("  RSS at the start of the run: %s MB (subtracted)\n",
                Mb(static_cast<double>(R.BaselineRss)).c_str());
}

const char* Verdict(bool Met) {
    return Met ? "met" : "MISSED";
}

// ---- Driver ---------------------------------------------------------------------------------------

// What ChangeFiles writes at the start of a file; index 0 for the engine's run 3 and rsync, 1 for
// unison. Two rounds of changes on the same files must write different bytes, the first byte
// included (a file of 0 bytes gets only that one).
constexpr std::string_view CHANGE_STAMPS[2] = {"changed by the benchmark", "edited by the benchmark."};

// A modification time for a round of changes: one hour past the current time, rounded to an even
// second (well beyond the 2-second resolution of file dates), and at least 2 seconds past the
// previous round's, so that a check by time and size sees every round.
time_t ChangeTime(time_t Previous) {
    return std::max((std::time(nullptr) + 3600) & ~time_t(1), Previous + 2);
}

// Bytes of a changed file that ChangeFiles overwrites.
size_t StampLength(std::string_view Stamp, int64_t Size) {
    return std::min<size_t>(Stamp.size(), static_cast<size_t>(std::max<int64_t>(Size, 1)));
}

// Changes the picked files of a side: Stamp at the start of each file and MTime as its modification
// time. Returns the bytes of the changed files.
int64_t ChangeFiles(const std::string& Root, const TTreeInfo& Info, const std::vector<size_t>& Picks,
                    std::string_view Stamp, time_t MTime) {
    int64_t bytes = 0;
    const timespec times[2] = {{MTime, 0}, {MTime, 0}};
    for (size_t i : Picks) {
        const std::string path = Root + "/" + Info.Files[i];
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("open " + path + ": " + std::strerror(errno));
        const size_t len = StampLength(Stamp, Info.Sizes[i]);
        bool ok = ::pwrite(fd, Stamp.data(), len, 0) == static_cast<ssize_t>(len);
        ok = ::futimens(fd, times) == 0 && ok;
        struct stat st {};
        ok = ::fstat(fd, &st) == 0 && ok;
        ok = ::close(fd) == 0 && ok;
        if (!ok) throw std::runtime_error("change " + path + ": " + std::strerror(errno));
        bytes += st.st_size;
    }
    return bytes;
}

// How many of the picked files of a side begin with what ChangeFiles writes for Stamp: the check
// that a program carried a round of changes over.
long long CountStamped(const std::string& Root, const TTreeInfo& Info, const std::vector<size_t>& Picks,
                       std::string_view Stamp) {
    long long count = 0;
    char head[64];
    for (size_t i : Picks) {
        const int fd = ::open((Root + "/" + Info.Files[i]).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        const size_t len = std::min(sizeof head, StampLength(Stamp, Info.Sizes[i]));
        if (::pread(fd, head, len, 0) == static_cast<ssize_t>(len) &&
            Stamp.substr(0, len) == std::string_view(head, len))
            ++count;
        ::close(fd);
    }
    return count;
}

struct TPeer {
    const char* Program;
    const char* Shown;  // its command line as printed
    bool TwoWay;        // keeps a state of its own between runs, built by a first run
};
constexpr TPeer PEERS[2] = {
    {"rsync", "rsync -a --delete LEFT/ RIGHT/  (one-way, no saved state; for scale)", false},
    {"unison", "unison LEFT RIGHT -batch -auto -times -silent  (two-way)", true},
};

std::vector<std::string> PeerArgs(int Peer, const std::string& Program, const std::string& Left,
                                  const std::string& Right) {
    if (PEERS[Peer].TwoWay) return {Program, Left, Right, "-batch", "-auto", "-times", "-silent"};
    return {Program, "-a", "--delete", Left + "/", Right + "/"};
}

void PrintPeerRow(const char* Label, const TPeerRun& R, const TSizeRun& S, const std::string& Log) {
    if (!R.Ran) {
        std::printf("    %-46s %s\n", Label, R.Note.empty() ? "not run" : R.Note.c_str());
        return;
    }
    std::printf("    %-46s %8s %8s %8s %9s %8s %5d\n", Label, Fixed(R.Sec, 3).c_str(),
                Fixed(R.Cpu, 3).c_str(), S.WalkSec > 0 ? Fixed(R.Sec / S.WalkSec, 2).c_str() : "-",
                Mb(static_cast<double>(R.PeakBytes)).c_str(),
                Grouped(R.PeakBytes / std::max(1LL, S.Entries)).c_str(), R.Status);
    if (R.Status != 0) {
        const auto lines = ReadLines(Log);
        if (!lines.empty()) std::printf("      its output begins: %.200s\n", lines[0].c_str());
    }
}

// The peers run on their own pair of trees: the two cp -r copies of the left tree made for the copy
// baseline. They hold what each of the engine's trees holds less its marker folder, the engine
// never touched them, and no further copy is needed. Each program meets the pair equal, runs once
// on it unchanged, then once after the change set of the engine's run 3 (the same files on the same
// sides, so the same bytes) has been made afresh; every program leaves the pair equal again.
void RunPeers(TSizeRun& S, const TTreeInfo& Info, const std::string& Base,
              const std::vector<size_t>& LeftPicks, const std::vector<size_t>& RightPicks) {
    const std::string left = Base + "/cp-target-1", right = Base + "/cp-target-2";
    const std::string log = Base + "/peer-output.txt";
    std::string programs[2];
    for (int p = 0; p < 2; ++p) {
        programs[p] = FindOnPath(PEERS[p].Program);
        if (programs[p].empty())
            S.Peers[p].First.Note = S.Peers[p].Noop.Note = S.Peers[p].Changed.Note = "not installed";
    }
    const long long k = static_cast<long long>(LeftPicks.size());
    std::printf(
        "\nPeers, on their own pair of trees: the two cp -r copies of the first left tree (%s files in %s\n"
        "  folders each, as each engine tree less its marker folder), the second given the times of the "
        "first\n"
        "  so that the pair starts equal. Their change: run 3's (%s files on the left, %s others on the "
        "right),\n"
        "  made afresh for each program. x walk = time / the bare walk of both trees (%s s). Peak = "
        "ru_maxrss\n"
        "  of wait4: the whole resident size of the program's largest process (the engine's figures are its\n"
        "  growth); B/entry = peak / E as for the engine.\n",
        Grouped(S.N).c_str(), Grouped(S.Folders).c_str(), Grouped(k).c_str(), Grouped(k).c_str(),
        Fixed(S.WalkSec, 3).c_str());
    if (programs[0].empty() && programs[1].empty()) {
        std::printf("  rsync: not installed; unison: not installed\n");
        return;
    }
    const auto start = TClock::now();
    // The second copy was made after run 1, and so holds the marker folder of the left tree too.
    RemoveTree(right + "/" + bfs::MARKER_FOLDER);
    const TWalkCount l = Walk(left), r = Walk(right);
    const long long unset = CopyTimes(left, right);
    if (l.Files != S.N || r.Files != S.N || l.Folders != S.Folders || r.Folders != S.Folders || unset != 0) {
        for (auto& peer : S.Peers)
            if (peer.Noop.Note.empty())
                peer.First.Note = peer.Noop.Note = peer.Changed.Note = "skipped: copies incomplete";
        std::printf(
            "  skipped: the cp -r copies hold %s / %s files and %s / %s folders; %s times not carried over\n",
            Grouped(l.Files).c_str(), Grouped(r.Files).c_str(), Grouped(l.Folders).c_str(),
            Grouped(r.Folders).c_str(), Grouped(unset).c_str());
        return;
    }

    const std::string unisonHome = Base + "/unison";
    if (::mkdir(unisonHome.c_str(), 0700) != 0) throw std::runtime_error("mkdir " + unisonHome);
    const std::vector<std::string> env = {"UNISON=" + unisonHome};  // its archives, never in the home
    time_t lastChange = 0;
    for (int p = 0; p < 2; ++p) {
        auto& runs = S.Peers[p];
        std::printf("  %s\n", PEERS[p].Shown);
        if (programs[p].empty()) {
            std::printf("    not installed\n");
            continue;
        }
        const TPeerRun version = RunPeer({programs[p], PEERS[p].TwoWay ? "-version" : "--version"}, {}, log);
        const auto lines = ReadLines(log);
        if (version.Ran && !lines.empty()) runs.Version = lines[0];
        std::printf("    %s: %s%s\n", programs[p].c_str(), runs.Version.c_str(),
                    PEERS[p].TwoWay ? ("; archives in " + unisonHome).c_str() : "");
        std::printf("    %-46s %8s %8s %8s %9s %8s %5s\n", "run", "time s", "cpu s", "x walk", "peak MB",
                    "B/entry", "exit");
        const auto args = PeerArgs(p, programs[p], left, right);
        if (PEERS[p].TwoWay) {
            FlushDisk();
            runs.First = RunPeer(args, env, log);
            PrintPeerRow("first run, builds its archives (not in summary)", runs.First, S, log);
        }
        FlushDisk();
        Walk(left);
        Walk(right);
        runs.Noop = RunPeer(args, env, log);
        PrintPeerRow("no-op (equal trees)", runs.Noop, S, log);

        lastChange = ChangeTime(lastChange);
        const int64_t changed = ChangeFiles(left, Info, LeftPicks, CHANGE_STAMPS[p], lastChange) +
                                ChangeFiles(right, Info, RightPicks, CHANGE_STAMPS[p], lastChange);
        FlushDisk();
        Walk(left, true);
        Walk(right, true);
        runs.Changed = RunPeer(args, env, log);
        char label[80];
        std::snprintf(label, sizeof label, "after 1%% changes (%s MB changed)",
                      Mb(static_cast<double>(changed)).c_str());
        PrintPeerRow(label, runs.Changed, S, log);

        const long long leftArrived = CountStamped(right, Info, LeftPicks, CHANGE_STAMPS[p]);
        const long long rightArrived = CountStamped(left, Info, RightPicks, CHANGE_STAMPS[p]);
        const long long rightKept = CountStamped(right, Info, RightPicks, CHANGE_STAMPS[p]);
        if (PEERS[p].TwoWay)
            std::printf(
                "    check: %s of %s left changes on the right, %s of %s right changes on the left%s\n",
                Grouped(leftArrived).c_str(), Grouped(k).c_str(), Grouped(rightArrived).c_str(),
                Grouped(k).c_str(), leftArrived == k && rightArrived == k ? "" : "  INCOMPLETE");
        else
            std::printf(
                "    check: %s of %s left changes on the right; the right's own changes replaced by the "
                "left's files, as one-way: %s of %s%s\n",
                Grouped(leftArrived).c_str(), Grouped(k).c_str(), Grouped(k - rightKept).c_str(),
                Grouped(k).c_str(), leftArrived == k && rightKept == 0 ? "" : "  INCOMPLETE");
    }
    std::printf("  the peers took %s s in all, warm-ups and unison's first run included\n",
                Fixed(Seconds(start, TClock::now()), 1).c_str());
}

// One table per size, at the end of the output, for reading the engine beside its peers.
void PrintSummary(const TSizeRun& S) {
    std::printf("\nSummary for N = %s (E = %s side-entries; bare walk of both trees %s s)\n",
                Grouped(S.N).c_str(), Grouped(S.Entries).c_str(), Fixed(S.WalkSec, 3).c_str());
    std::printf("  %-14s %8s %12s %9s %17s\n", "run", "time s", "x bare walk", "peak MB", "B per side-entry");
    auto row = [&](const char* Name, bool Ok, const std::string& Why, double Sec, long long Peak) {
        if (!Ok) {
            std::printf("  %-14s %s\n", Name, Why.empty() ? "not run" : Why.c_str());
            return;
        }
        std::printf("  %-14s %8s %12s %9s %17s\n", Name, Fixed(Sec, 3).c_str(),
                    S.WalkSec > 0 ? Fixed(Sec / S.WalkSec, 2).c_str() : "-",
                    Mb(static_cast<double>(Peak)).c_str(), Grouped(Peak / std::max(1LL, S.Entries)).c_str());
    };
    for (TRunKind kind : {RUN_NOOP, RUN_CHANGED}) {
        const TRunResult& r = S.Runs[kind];
        row(kind == RUN_NOOP ? "engine no-op" : "engine 1%", r.Ok != 0, r.Error, RunTotal(r), RunPeak(r));
    }
    for (int p = 0; p < 2; ++p) {
        const auto& runs = S.Peers[p];
        const std::string noop = std::string(PEERS[p].Program) + " no-op";
        const std::string changed = std::string(PEERS[p].Program) + " 1%";
        row(noop.c_str(), runs.Noop.Ran, runs.Noop.Note, runs.Noop.Sec, runs.Noop.PeakBytes);
        row(changed.c_str(), runs.Changed.Ran, runs.Changed.Note, runs.Changed.Sec, runs.Changed.PeakBytes);
    }
    std::printf(
        "  engine peak: resident growth above the run's start; peers' peak: ru_maxrss, the whole resident\n"
        "  size of the largest process. The peers ran on their own pair of trees of the same size, with\n"
        "  the same 1%% change set.\n");
}

bool RunSize(long long N, bool Light, TSizeRun& S) {
    S.N = N;
    const std::string base = g_Scratch + "/n" + std::to_string(N);
    const std::string left = base + "/left", right = base + "/right";
    for (const auto& folder : {base, left, right})
        if (::mkdir(folder.c_str(), 0755) != 0) throw std::runtime_error("mkdir " + folder);

    std::printf("\n==================== N = %s files ====================\n", Grouped(N).c_str());
    auto t0 = TClock::now();
    TTreeInfo info = TTreeBuilder(left, N, Light, 20240601 + static_cast<uint64_t>(N)).Build();
    S.Folders = info.Folders;
    S.Bytes = info.Bytes;
    S.Entries = 2 * (N + info.Folders);
    std::printf(
        "Trees: left holds %s files in %s folders (leaves 50-200 files, 2-%d levels deep), %s MB "
        "(%s bytes); %s files of 100 KiB-1 MiB, the rest %s. Right starts empty. Built in %s s.\n",
        Grouped(N).c_str(), Grouped(info.Folders).c_str(), info.MaxDepth, Mb(info.Bytes).c_str(),
        Grouped(info.Bytes).c_str(), Grouped(info.LargeFiles).c_str(),
        Light ? "0-1 KiB (98%) and 1-16 KiB (2%)" : "0-4 KiB (80%) and 4-16 KiB (18%)",
        Fixed(Seconds(t0, TClock::now()), 1).c_str());
    std::printf(
        "Entries: E = 2 x (N + folders) = %s (both sides after the first sync); every B/entry "
        "figure below is that phase's peak divided by E.\n",
        Grouped(S.Entries).c_str());

    // Baseline (b): cp -r of the data of the first copy, on a warm cache, into a fresh folder. The
    // copies alternate, cp -r / engine / cp -r / engine, and each side is judged by its faster copy:
    // how long creating a file takes varies with the state of the file system (see CreateProbe), and
    // this keeps one unlucky copy from deciding the comparison. Nothing is deleted before the end of
    // the whole benchmark, for the same reason.
    FlushDisk();
    WaitForQuickCreates();
    Walk(left, true);  // untimed: warms the tree and its data
    auto timeCp = [&](int Index) {
        S.CpProbe[Index] = CreateProbe();
        const auto start = TClock::now();
        const int status =
            Spawn({"cp", "-r", left, base + "/cp-target-" + std::to_string(Index + 1)}, S.CpCpu[Index]);
        S.CpSec[Index] = Seconds(start, TClock::now());
        if (status != 0) std::printf("  (cp -r exited with %d)\n", status);
        FlushDisk();
        Walk(left, true);
    };
    timeCp(0);

    const std::string logFile = bfs::TMyException::LogFileName();
    auto reportLog = [&](size_t Before) {
        const auto lines = ReadLines(logFile);
        if (lines.size() > Before)
            std::printf("  engine error log: %s new lines; first: %.200s\n",
                        Grouped(lines.size() - Before).c_str(), lines[Before].c_str());
        return lines.size();
    };
    size_t logLines = ReadLines(logFile).size();

    S.FirstProbe[0] = CreateProbe();
    S.Runs[RUN_FIRST] = RunInChild(RUN_FIRST, left, right);
    PrintRun("Run 1: first run (no saved states; copies everything left to right, UseTempFile 0)", S,
             S.Runs[RUN_FIRST], RUN_FIRST, info.Bytes);
    logLines = reportLog(logLines);
    if (!S.Runs[RUN_FIRST].Ok) return false;
    FlushDisk();
    Walk(left, true);
    timeCp(1);

    // The first run once more, into a second empty folder under another task, for the copy
    // comparison only (runs 2 and 3 continue from run 1).
    const std::string right2 = base + "/right-2";
    if (::mkdir(right2.c_str(), 0755) != 0) throw std::runtime_error("mkdir " + right2);
    S.FirstProbe[1] = CreateProbe();
    S.FirstRepeat = RunInChild(RUN_FIRST, left, right2, "BENCH-REPEAT");
    if (S.FirstRepeat.Ok)
        std::printf(
            "\nRun 1 again, into a second empty folder (task BENCH-REPEAT; for the copy comparison only):\n"
            "  copy phase: %s files in %s s (cpu %s s) = %s files/s, %s MB/s\n",
            Grouped(S.FirstRepeat.CopiedFiles).c_str(), Fixed(S.FirstRepeat.CopySec, 3).c_str(),
            Fixed(S.FirstRepeat.CopyCpu, 3).c_str(),
            Rate(static_cast<double>(S.FirstRepeat.CopiedFiles), S.FirstRepeat.CopySec).c_str(),
            Fixed(static_cast<double>(S.Bytes) / 1e6 / std::max(1e-9, S.FirstRepeat.CopySec), 1).c_str());
    else
        std::printf("\nRun 1 again: FAILED: %s\n", S.FirstRepeat.Error);
    logLines = reportLog(logLines);
    FlushDisk();

    // Baseline (a): a bare walk of both (now full) trees, warm; median of three.
    const TWalkCount warmL = Walk(left), warmR = Walk(right);
    std::printf(
        "  check: left holds %s files / %s folders, right %s files / %s folders (marker folder "
        "included), %s MB on the right\n",
        Grouped(warmL.Files).c_str(), Grouped(warmL.Folders).c_str(), Grouped(warmR.Files).c_str(),
        Grouped(warmR.Folders).c_str(), Mb(static_cast<double>(warmR.Bytes)).c_str());
    std::array<std::pair<double, double>, 3> walks{};  // (wall, cpu)
    for (auto& w : walks) {
        const double cpu = ProcessCpu();
        t0 = TClock::now();
        Walk(left);
        Walk(right);
        w = {Seconds(t0, TClock::now()), ProcessCpu() - cpu};
    }
    std::sort(walks.begin(), walks.end());
    S.WalkSec = walks[1].first;
    S.WalkCpu = walks[1].second;

    S.Runs[RUN_NOOP] = RunInChild(RUN_NOOP, left, right);
    PrintRun("Run 2: no-op re-run (nothing changed since run 1)", S, S.Runs[RUN_NOOP], RUN_NOOP, 0);
    logLines = reportLog(logLines);
    if (!S.Runs[RUN_NOOP].Ok) return false;

    // 1% of the files changed on each side, distinct files on the two sides.
    std::mt19937_64 rng(7 + static_cast<uint64_t>(N));
    std::vector<size_t> order(info.Files.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    const size_t k = std::max<size_t>(1, info.Files.size() / 100);
    const std::vector<size_t> leftPicks(order.begin(), order.begin() + static_cast<long>(k));
    const std::vector<size_t> rightPicks(order.begin() + static_cast<long>(k),
                                         order.begin() + static_cast<long>(2 * k));
    const time_t changeTime = ChangeTime(0);
    const int64_t changed = ChangeFiles(left, info, leftPicks, CHANGE_STAMPS[0], changeTime) +
                            ChangeFiles(right, info, rightPicks, CHANGE_STAMPS[0], changeTime);
    FlushDisk();
    Walk(left, true);
    Walk(right, true);

    S.Runs[RUN_CHANGED] = RunInChild(RUN_CHANGED, left, right);
    char title[200];
    std::snprintf(
        title, sizeof title,
        "Run 3: after changes (%s files changed on the left, %s other files on the right; %s MB to copy)",
        Grouped(static_cast<long long>(k)).c_str(), Grouped(static_cast<long long>(k)).c_str(),
        Mb(static_cast<double>(changed)).c_str());
    PrintRun(title, S, S.Runs[RUN_CHANGED], RUN_CHANGED, changed);
    reportLog(logLines);
    FlushDisk();

    const double walkEntries = static_cast<double>(warmL.Files + warmL.Folders + warmR.Files + warmR.Folders);
    const double mbytes = static_cast<double>(S.Bytes) / 1e6;
    std::printf("\nBaselines (same trees, warm cache)\n");
    std::printf(
        "  bare walk of both trees, one after the other (openat/fdopendir/readdir + fstatat, one thread),\n"
        "    median of 3 (%s / %s / %s s): %s s, cpu %s s = %s entries/s\n",
        Fixed(walks[0].first, 3).c_str(), Fixed(walks[1].first, 3).c_str(), Fixed(walks[2].first, 3).c_str(),
        Fixed(S.WalkSec, 3).c_str(), Fixed(S.WalkCpu, 3).c_str(), Rate(walkEntries, S.WalkSec).c_str());
    for (int i = 0; i < 2; ++i)
        std::printf(
            "  cp -r left into a fresh folder (%s): %s s, cpu %s s = %s files/s, %s MB/s; "
            "creation probe %s us/file\n",
            i == 0 ? "before run 1       " : "between run 1 and its repeat", Fixed(S.CpSec[i], 3).c_str(),
            Fixed(S.CpCpu[i], 3).c_str(), Rate(static_cast<double>(N), S.CpSec[i]).c_str(),
            Fixed(mbytes / std::max(1e-9, S.CpSec[i]), 1).c_str(), Fixed(S.CpProbe[i], 1).c_str());
    std::printf("  engine copy phase: run 1 %s s (probe %s us/file), its repeat %s s (probe %s us/file)\n",
                Fixed(S.Runs[RUN_FIRST].CopySec, 3).c_str(), Fixed(S.FirstProbe[0], 1).c_str(),
                S.FirstRepeat.Ok ? Fixed(S.FirstRepeat.CopySec, 3).c_str() : "-",
                Fixed(S.FirstProbe[1], 1).c_str());

    RunPeers(S, info, base, leftPicks, rightPicks);

    const TRunResult& r1 = S.Runs[RUN_FIRST];
    const TRunResult& r2 = S.Runs[RUN_NOOP];
    const TRunResult& r3 = S.Runs[RUN_CHANGED];
    const double noopRatio = RunTotal(r2) / std::max(1e-9, S.WalkSec);
    const double copyFraction =
        S.CpBest() / std::max(1e-9, S.EngineCopyBest());  // same bytes: the MB/s ratio
    std::printf("\nTargets for N = %s (printed beside the figures, never asserted)\n", Grouped(N).c_str());
    std::printf(
        "  no-op re-run total %s s = %s x the bare walk (%s s)                      target <= %s x: %s\n",
        Fixed(RunTotal(r2), 3).c_str(), Fixed(noopRatio, 2).c_str(), Fixed(S.WalkSec, 3).c_str(),
        Fixed(GOAL_NOOP, 2).c_str(), Verdict(noopRatio <= GOAL_NOOP));
    std::printf(
        "  first copy %s MB/s = %s of cp -r (%s MB/s; faster of two copies each)   target >= %s: %s\n",
        Fixed(mbytes / std::max(1e-9, S.EngineCopyBest()), 1).c_str(), Fixed(copyFraction, 2).c_str(),
        Fixed(mbytes / std::max(1e-9, S.CpBest()), 1).c_str(), Fixed(GOAL_COPY, 2).c_str(),
        Verdict(copyFraction >= GOAL_COPY));
    if (r3.Ok) {
        const double changedRatio = RunTotal(r3) / std::max(1e-9, S.WalkSec);
        std::printf(
            "  1%% run total %s s = %s x the bare walk (%s s)                           target <= %s x: "
            "%s\n",
            Fixed(RunTotal(r3), 3).c_str(), Fixed(changedRatio, 2).c_str(), Fixed(S.WalkSec, 3).c_str(),
            Fixed(GOAL_CHANGED, 2).c_str(), Verdict(changedRatio <= GOAL_CHANGED));
    }
    // Bytes per side-entry at the run's peak; the first run has no target of its own.
    const struct {
        const TRunResult* Run;
        const char* Name;
        long long Target;
    } peaks[] = {{&r1, "run 1 (first)", 0},
                 {&r2, "run 2 (no-op)", GOAL_BYTES_NOOP},
                 {&r3, "run 3 (1% changed)", GOAL_BYTES_CHANGED}};
    for (const auto& p : peaks) {
        if (!p.Run->Ok) continue;
        const long long perEntry = RunPeak(*p.Run) / std::max(1LL, S.Entries);
        if (p.Target == 0) {
            std::printf("  peak memory, %-19s %6s bytes/entry\n", p.Name, Grouped(perEntry).c_str());
            continue;
        }
        std::printf(
            "  peak memory, %-19s %6s bytes/entry                                   target <= %lld:   %s\n",
            p.Name, Grouped(perEntry).c_str(), p.Target, Verdict(perEntry <= p.Target));
    }
    return r3.Ok != 0;
}

void PrintUsage() {
    std::printf(
        "usage: engine_bench [--n N] [--large] [--dir PARENT] [--transfers T]\n"
        "  default: N = 10,000 and 100,000; --large adds 1,000,000; --n N runs only N;\n"
        "  --transfers T: rows carried out at once (default: as the program does)\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<long long> sizes = {10000, 100000};
    bool large = false;
    long long only = 0;
    std::string parent;
    if (const char* t = std::getenv("TMPDIR"); t && *t) parent = t;
    if (parent.empty()) parent = "/tmp";
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--large") {
            large = true;
        } else if (a == "--n" && i + 1 < argc) {
            only = std::atoll(argv[++i]);
            if (only <= 0) {
                std::fprintf(stderr, "--n needs a positive number of files\n");
                return 2;
            }
        } else if (a == "--dir" && i + 1 < argc) {
            parent = argv[++i];
        } else if (a == "--transfers" && i + 1 < argc) {
            bfs::TFileSyncThread::SetTransferCount(std::atoi(argv[++i]));
        } else {
            PrintUsage();
            return a == "--help" || a == "-h" ? 0 : 2;
        }
    }
    if (only > 0)
        sizes = {only};
    else if (large)
        sizes.push_back(1000000);

    std::string templ = parent + "/bfs-engine-bench-XXXXXX";
    if (!::mkdtemp(templ.data())) {
        std::fprintf(stderr, "cannot make a scratch folder under %s: %s\n", parent.c_str(),
                     std::strerror(errno));
        return 1;
    }
    g_Scratch = templ;
    static char rmName[] = "rm", rmFlags[] = "-rf", rmEnd[] = "--";
    g_RmArgv[0] = rmName;
    g_RmArgv[1] = rmFlags;
    g_RmArgv[2] = rmEnd;
    g_RmArgv[3] = g_Scratch.data();
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    ::sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);

    // Settings, error log and any locally kept state go to the scratch folder, never to the home.
    const std::string xdg = g_Scratch + "/xdg";
    for (const char* var : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        const std::string folder = xdg + "/" + var;
        bfs::MakeFolders(folder);
        ::setenv(var, folder.c_str(), 1);
    }

    std::printf("Engine benchmark: a two-way task (local folders on both sides) run through TTaskRun.\n");
    std::printf("Scratch folder: %s\n", g_Scratch.c_str());
    std::printf(
        "Method:\n"
        "  - Warm cache throughout: the page cache cannot be dropped without root, so each tree (and, "
        "before\n"
        "    the copies, its data) is read once untimed before timing; the disk is flushed (syncfs) before\n"
        "    each timed step so earlier write-back does not overlap it. Copies are timed to the data being "
        "in\n"
        "    the page cache (neither the engine nor cp -r flushes), on the same footing.\n"
        "  - Each engine run executes in a fresh child process forked from this one, so memory freed by an\n"
        "    earlier run and kept by the allocator cannot hide a run's growth. A phase's peak = VmHWM after\n"
        "    resetting it (\"5\" to /proc/self/clear_refs) at the start of the phase, minus VmRSS at the "
        "start\n"
        "    of the run: the process's real resident growth, all threads, allocator overhead and buffers\n"
        "    included. Where the reset is refused, ru_maxrss (the run's peak so far) stands in.\n"
        "  - entry = one file or folder on one side. B/entry = peak / E, E = 2 x (N files + folders): the\n"
        "    entries of both sides' listings once both sides hold the tree. files/s = N / phase time for\n"
        "    the scan and analysis (the task's N files), files copied / phase time for copy phases.\n"
        "  - Peers (rsync, unison; each when found on PATH) run on a pair of trees of their own, of the "
        "same\n"
        "    size, in their own process group, output to a file; peak = ru_maxrss of wait4 (whole resident\n"
        "    size of the program's largest process), per side-entry over the same E.\n"
        "  - MB = 10^6 bytes.\n");

    int rc = 0;
    std::vector<TSizeRun> runs;
    try {
        for (long long n : sizes) {
            if (!RunSize(n, n >= 1000000, runs.emplace_back())) {
                rc = 1;
                break;
            }
        }
        {
            TPeakMeter probe;
            if (!probe.Resettable())
                std::printf(
                    "\nNote: /proc/self/clear_refs refused the reset; peaks are ru_maxrss upper bounds.\n");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        rc = 1;
    }
    for (const TSizeRun& s : runs) PrintSummary(s);
    std::printf(
        "\nRemoving the scratch folder (creating files on this file system may be slow for a few minutes "
        "after).\n");
    std::fflush(stdout);
    RemoveTree(g_Scratch);
    return rc;
}
