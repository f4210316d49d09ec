// Whole-run benchmark of the remote back-ends against real servers on 127.0.0.1, started through
// the same code as the storage tests' servers (tests/common/TestServers.h): a network share served
// by smbd, an FTP server (pyftpdlib), the WebDAV servers rclone and apache2, and an S3 service
// (s3rver). For each, through TTaskRun with the left side a local folder and the right side the
// remote folder:
//   - a no-op two-way run over 10,000 files in 100 folders (both listings, the saved states, the
//     comparison; saved states exist from a first run over the same, equal trees);
//   - the first copy of 1,000 files in 10 folders each way (a one-way task into an empty folder).
// Beside each, on the same trees in the same run, a reference client: smbclient (`recurse ON; ls`,
// `mput`, `mget`) for the share, rclone (`lsf -R`, `copy`) for FTP, WebDAV and S3. It prints times,
// the ratio ours / reference and peak resident memory; it asserts nothing. It ends with every first
// copy's ratio against its reference client beside the goal (FIRST_COPY_GOAL).
// The device kind runs on a device emulated in a local folder by the stand-in device library (built
// with the program, or named by BFS_RAPI_LIBRARY); no client for such devices exists here, so its
// reference is a bare walk of the device's folder (`find`) and `cp -r` of the same files, and the
// ratios show what the binding and the back-end add.
//
// FTP runs on both servers the tests use: pyftpdlib (MLSD) and, when run as root, vsftpd (LIST).
//
// Usage: remote_bench [--files N] [--copy M] [--only KIND]   (defaults 10,000 and 1,000; multiples
// of 100; KIND one of share, ftp, ftp-vsftpd, webdav-rclone, webdav-apache, s3, device)

#include "BenchReport.h"
#include "common/TestServers.h"
#include "engine/UTSyncTask.h"
#include "engine/UTTaskRun.h"
#include "model/UTConsts.h"
#include "model/UTFileOper.h"
#include "model/UTFileTree.h"
#include "model/UTFolderSource.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

using namespace bfs::bench;
namespace fs = std::filesystem;

// The share's password for this run (a throwaway one; it goes to smbd through smbpasswd's
// standard input and to smbclient through its authentication file).
constexpr const char* SMB_PASS = "bench-share-pass";
constexpr int FILES_PER_FOLDER = 100;
// The S3 account of this run (throwaway keys; they reach s3rver and rclone through their
// environment only) and the user's bucket all S3 runs use.
constexpr const char* S3_ACCESS = "benchaccess";
constexpr const char* S3_SECRET = "bench-s3-secret";
constexpr const char* S3_BUCKET = "bench";

// ---- Trees ----------------------------------------------------------------------------------------

// Writes the same tree under every root: Folders folders "dNNN" of FILES_PER_FOLDER small files
// (100 to 4,000 bytes), dated at even seconds so both sides of a pair compare equal.
void MakeTree(const std::vector<std::string>& Roots, int Folders, unsigned Seed) {
    std::string data;
    unsigned x = Seed * 2654435761u + 1;
    for (int d = 0; d < Folders; ++d) {
        char folder[16];
        std::snprintf(folder, sizeof folder, "d%03d", d);
        for (const std::string& root : Roots) fs::create_directories(root + "/" + folder);
        for (int f = 0; f < FILES_PER_FOLDER; ++f) {
            x = x * 1103515245u + 12345u;
            data.assign(100 + (x >> 8) % 3900, static_cast<char>('a' + (x >> 4) % 26));
            char name[32];
            std::snprintf(name, sizeof name, "/%s/file %03d.txt", folder, f);
            const time_t when = 1700000000 - 2 * (d * FILES_PER_FOLDER + f);
            for (const std::string& root : Roots) {
                const std::string path = root + name;
                std::ofstream(path, std::ios::binary) << data;
                const timespec times[2] = {{when, 0}, {when, 0}};
                ::utimensat(AT_FDCWD, path.c_str(), times, 0);
            }
        }
    }
}

// Files below Root, the marker folder left out.
long long CountFiles(const std::string& Root) {
    long long n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(Root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory() && it->path().filename() == bfs::MARKER_FOLDER) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file()) ++n;
    }
    return n;
}

// ---- Our engine -----------------------------------------------------------------------------------

struct TRemote {
    int32_t DeviceType = bfs::DEVICE_LOCAL;
    std::string Address;  // of the side's root folder
    std::string User, Password;
};

struct TEngineResult {
    bool Ok = false;
    std::string Error;
    double ScanSec = 0, AnalyzeSec = 0, SyncSec = 0;
    long long Peak = 0;  // the process's peak resident size during the run
    long long Copied = 0, ErrorLines = 0;
    std::string FirstErrorLine;
    long long LeftListed = 0, RightListed = 0;  // entries of each side's listing
    double Total() const { return ScanSec + AnalyzeSec + SyncSec; }
};

long long CountEntries(const bfs::TFileTree& Node) {
    long long n = 0;
    for (const auto& c : Node.Children) n += 1 + CountEntries(*c);
    return n;
}

// One whole run of a task (left: the local folder Local; right: the remote folder) through the
// waiting steps of TTaskRun.
TEngineResult RunEngine(const std::string& SyncID, const std::string& Local, const TRemote& Remote,
                        int32_t Direction) {
    bfs::TSyncTask task;
    task.SyncName = SyncID;
    task.SyncID = SyncID;
    task.LFolder->DeviceType = bfs::DEVICE_LOCAL;
    task.LFolder->FolerAllName = Local;
    task.RFolder->DeviceType = Remote.DeviceType;
    task.RFolder->FolerAllName = Remote.Address;
    task.RFolder->UserName = Remote.User;
    task.RFolder->PWD = Remote.Password;
    task.SyncDirection = Direction;
    task.ForcedOrVerified = Direction == 0 ? -1 : 0;
    bfs::TTaskRun run(task);

    TEngineResult r;
    TPeakMeter meter;
    auto t0 = TClock::now();
    if (run.StartScan() != 0) {
        r.Error = "StartScan: " + run.ErrorText;
        return r;
    }
    if (run.FinishScan() != 0) {
        r.Error = "a listing ended early";
        return r;
    }
    auto t1 = TClock::now();
    r.ScanSec = Seconds(t0, t1);
    r.LeftListed = CountEntries(*run.LeftOper->FFileTree);
    r.RightListed = CountEntries(*run.RightOper->FFileTree);
    if (run.Analyze() != 0) {
        r.Error = "Analyze: " + run.ErrorText;
        return r;
    }
    auto t2 = TClock::now();
    r.AnalyzeSec = Seconds(t1, t2);
    run.Sync([&](const std::string& Line) {
        if (Line.rfind("Copy:", 0) == 0)
            ++r.Copied;
        else if (Line.rfind("Error", 0) == 0 && ++r.ErrorLines == 1)
            r.FirstErrorLine = Line;
    });
    r.SyncSec = Seconds(t2, TClock::now());
    r.Peak = meter.Peak();
    r.Ok = r.ErrorLines == 0;
    if (!r.Ok) r.Error = std::to_string(r.ErrorLines) + " error lines, the first: " + r.FirstErrorLine;
    return r;
}

// ---- Reference clients ----------------------------------------------------------------------------

struct TClientResult {
    bool Ok = false;
    double Sec = 0;
    long long Peak = 0;  // ru_maxrss of the client
};

// Runs a client with Env added to this process's environment (an entry without "=" removes that
// variable), standard input from InFile (or /dev/null) and its output to OutFile (or /dev/null);
// times it to its end.
TClientResult RunClient(const std::vector<std::string>& Argv, const std::vector<std::string>& Env = {},
                        const std::string& InFile = "/dev/null", const std::string& OutFile = "/dev/null") {
    std::vector<std::string> env;
    for (const std::string& mine : Env)
        if (mine.find('=') != std::string::npos) env.push_back(mine);
    const auto nameOf = [](std::string_view Entry) { return Entry.substr(0, Entry.find('=')); };
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        const bool replaced = std::any_of(
            Env.begin(), Env.end(), [&](const std::string& mine) { return nameOf(entry) == nameOf(mine); });
        if (!replaced) env.emplace_back(entry);
    }
    std::vector<char*> args, envp;
    for (const auto& a : Argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, InFile.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    TClientResult r;
    pid_t pid = -1;
    const auto t0 = TClock::now();
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return r;
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    r.Sec = Seconds(t0, TClock::now());
    r.Peak = static_cast<long long>(usage.ru_maxrss) * 1024;
    r.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

long long CountLines(const std::string& Path) {
    std::ifstream in(Path);
    long long n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
}

// ---- The table ------------------------------------------------------------------------------------

struct TRow {
    std::string Operation, Reference;
    TEngineResult Ours;
    TClientResult Ref;
    std::string Check;  // what was verified after the step, or what went wrong
    std::string Kind;   // the server's kind ("share", "ftp", ...) and, for a first copy, "up" or "down"
    std::string Copy;
    std::string Client;  // the reference client's own name
};

// What a first copy may cost against its reference client: ours / reference at most.
constexpr double FIRST_COPY_GOAL = 2.5;

std::vector<TRow> g_Rows;

std::string Mb(long long Bytes) {
    return Fixed(static_cast<double>(Bytes) / 1e6, 1);
}

void AddRow(TRow Row) {
    const TRow& r = g_Rows.emplace_back(std::move(Row));
    const std::string failed = r.Ours.Ok ? "" : " FAILED: " + r.Ours.Error;
    std::printf("  %s: ours %s s (scan %s, analysis %s, sync %s)%s\n", r.Operation.c_str(),
                Fixed(r.Ours.Total(), 2).c_str(), Fixed(r.Ours.ScanSec, 2).c_str(),
                Fixed(r.Ours.AnalyzeSec, 2).c_str(), Fixed(r.Ours.SyncSec, 2).c_str(), failed.c_str());
    std::printf("    %s: %s s%s\n    check: %s\n", r.Reference.c_str(), Fixed(r.Ref.Sec, 2).c_str(),
                r.Ref.Ok ? "" : " (FAILED: exit status not 0 or files missing)", r.Check.c_str());
    std::fflush(stdout);
}

void PrintTable() {
    std::printf("\n%-44s %9s %9s %7s  %9s %9s  %s\n", "operation (left local, right remote)", "ours s",
                "ref s", "ratio", "ours MB", "ref MB", "reference");
    for (const TRow& r : g_Rows) {
        const double ratio = r.Ours.Total() / std::max(1e-9, r.Ref.Sec);
        std::printf("%-44s %9s %9s %6sx  %9s %9s  %s%s\n", r.Operation.c_str(),
                    r.Ours.Ok ? Fixed(r.Ours.Total(), 2).c_str() : "FAILED", Fixed(r.Ref.Sec, 2).c_str(),
                    Fixed(ratio, 2).c_str(), Mb(r.Ours.Peak).c_str(), Mb(r.Ref.Peak).c_str(),
                    r.Reference.c_str(), ratio > 2 ? "  << over twice as slow" : "");
    }
    std::printf(
        "ratio = ours / reference. ours MB = this process's peak resident size during the run (VmHWM reset "
        "at\n"
        "its start); ref MB = the client's ru_maxrss. MB = 10^6 bytes.\n");
    std::printf("\nFirst copies against their reference clients:\n");
    for (const TRow& r : g_Rows) {
        if (r.Copy.empty()) continue;
        const double ratio = r.Ours.Total() / std::max(1e-9, r.Ref.Sec);
        const bool measured = r.Ours.Ok && r.Ref.Ok;
        std::printf("  %s %s %sx %s (goal %sx)%s\n", r.Kind.c_str(), r.Copy.c_str(),
                    measured ? Fixed(ratio, 1).c_str() : "?", r.Client.c_str(),
                    Fixed(FIRST_COPY_GOAL, 1).c_str(),
                    !measured                 ? "  << not measured: a run failed"
                    : ratio > FIRST_COPY_GOAL ? "  << over the goal"
                                              : "");
    }
}

// ---- One kind of server ---------------------------------------------------------------------------

// The folders of one kind's runs: Served is the server's folder (written directly, since the
// server serves a local folder), Local the local side's. A server that keeps its files in a form
// of its own (S3) has no Served folder: Seed stores a local tree below the remote root instead,
// and Count counts the files below a remote folder.
struct TLayout {
    std::string Kind;  // "share", "ftp", "ftp-vsftpd", "webdav-rclone", "webdav-apache", "s3" or "device"
    std::string Served, Local;
    TRemote Remote;  // Address: the served folder's root, to which "/name" or "\name" is added
    char Sep = '/';
    std::function<bool(const std::string& LocalSrc, const std::string& Remote)> Seed;
    std::function<long long(const std::string& Remote)> Count;
    // Gives the served folder's trees, once written, to the account the server writes as.
    std::function<void(const std::string& Served)> Own;
};

// Writes a tree of Folders folders below each remote folder of Remotes and each local one of Locals.
void MakeTrees(const TLayout& L, const std::vector<std::string>& Locals,
               const std::vector<std::string>& Remotes, int Folders, unsigned Seed) {
    std::vector<std::string> roots(Locals);
    if (!L.Seed)
        for (const std::string& r : Remotes) roots.push_back(L.Served + "/" + r);
    else if (Locals.empty())
        roots.push_back(L.Local + "/seed-" + std::to_string(Seed));
    MakeTree(roots, Folders, Seed);
    if (L.Seed)
        for (const std::string& r : Remotes)
            if (!L.Seed(roots.front(), r))
                throw std::runtime_error("cannot store the tree " + r + " on the server");
}

long long CountRemote(const TLayout& L, const std::string& Remote) {
    return L.Count ? L.Count(Remote) : CountFiles(L.Served + "/" + Remote);
}

TRemote At(const TLayout& L, const std::string& Name) {
    TRemote r = L.Remote;
    r.Address += L.Sep + Name;
    return r;
}

// A reference client on one server: listing, upload and download, each given a folder below the
// served root ("noop", "up-ref", "down-src") and a local folder or output file; with the names the
// table shows.
struct TReference {
    std::function<TClientResult(const std::string& Remote, const std::string& OutFile)> List;
    std::function<TClientResult(const std::string& LocalSrc, const std::string& Remote)> Upload;
    std::function<TClientResult(const std::string& Remote, const std::string& LocalDst)> Download;
    std::string ListName, UploadName, DownloadName;
    std::string Client;  // the client's own name ("smbclient", "rclone", ...)
};

// A copy that left another number of files than it should have is a failure, whatever it reported.
void CheckCopies(TRow& Row, long long Ours, long long Ref, int Copy, const char* Where) {
    Row.Check =
        std::string(Where) + " holds " + Grouped(Ours) + " (ours) / " + Grouped(Ref) + " (reference) files";
    if (Ours != Copy) {
        Row.Ours.Error = "copied " + Grouped(Ours) + " of " + Grouped(Copy) + " files" +
                         (Row.Ours.Ok ? " with no error reported" : "; " + Row.Ours.Error);
        Row.Ours.Ok = false;
    }
    if (Ref != Copy) Row.Ref.Ok = false;
}

void RunKind(const TLayout& L, const TReference& Ref, int Files, int Copy, const std::string& Scratch) {
    const int folders = Files / FILES_PER_FOLDER, copyFolders = Copy / FILES_PER_FOLDER;
    std::printf("\n%s (%s): building the trees...\n", L.Kind.c_str(), L.Remote.Address.c_str());
    std::fflush(stdout);
    const std::string noopL = L.Local + "/noop";
    MakeTrees(L, {noopL}, {"noop"}, folders, 1);
    const std::string upSrc = L.Local + "/up-src";
    MakeTree({upSrc}, copyFolders, 2);
    MakeTrees(L, {}, {"down-src"}, copyFolders, 3);
    std::vector<std::string> empty = {L.Local + "/down-ours", L.Local + "/down-ref"};
    if (!L.Seed) empty.insert(empty.end(), {L.Served + "/up-ours", L.Served + "/up-ref"});
    for (const std::string& f : empty) fs::create_directories(f);
    if (L.Own) L.Own(L.Served);

    // No-op: the first run over the equal trees finds nothing to do and writes the saved states;
    // the next two are the no-op runs, the faster one counts. The reference lists twice likewise.
    const std::string id = "BENCH-" + L.Kind;
    TEngineResult first = RunEngine(id + "-noop", noopL, At(L, "noop"), 0);
    std::printf("  first run over the equal trees (untimed): %s s, %s copied%s\n",
                Fixed(first.Total(), 2).c_str(), Grouped(first.Copied).c_str(),
                first.Ok ? "" : (", FAILED: " + first.Error).c_str());
    TRow noop{
        "no-op two-way, " + Grouped(Files) + " files", Ref.ListName, {}, {}, {}, L.Kind, {}, Ref.Client};
    for (int i = 0; i < 2; ++i) {
        TEngineResult r = RunEngine(id + "-noop", noopL, At(L, "noop"), 0);
        if (i == 0 || !r.Ok || r.Total() < noop.Ours.Total()) noop.Ours = r;
        if (r.Copied != 0) noop.Check = "a no-op run copied " + Grouped(r.Copied) + " files! ";
    }
    noop.Check += "ours listed " + Grouped(noop.Ours.LeftListed) + " local / " +
                  Grouped(noop.Ours.RightListed) + " remote entries, ";
    const std::string listing = Scratch + "/listing-" + L.Kind + ".txt";
    for (int i = 0; i < 2; ++i) {
        TClientResult r = Ref.List("noop", listing);
        if (i == 0 || r.Sec < noop.Ref.Sec) noop.Ref = r;
    }
    noop.Check += "reference listed " + Grouped(CountLines(listing)) + " lines";
    AddRow(noop);

    // First copies: the reference first, so that its source holds no saved state of ours.
    TRow up{
        "first copy up, " + Grouped(Copy) + " files", Ref.UploadName, {}, {}, {}, L.Kind, "up", Ref.Client};
    up.Ref = Ref.Upload(upSrc, "up-ref");
    up.Ours = RunEngine(id + "-up", upSrc, At(L, "up-ours"), 1);
    CheckCopies(up, CountRemote(L, "up-ours"), CountRemote(L, "up-ref"), Copy, "server");
    AddRow(up);

    TRow down{"first copy down, " + Grouped(Copy) + " files",
              Ref.DownloadName,
              {},
              {},
              {},
              L.Kind,
              "down",
              Ref.Client};
    down.Ref = Ref.Download("down-src", L.Local + "/down-ref");
    down.Ours = RunEngine(id + "-down", L.Local + "/down-ours", At(L, "down-src"), 2);
    CheckCopies(down, CountFiles(L.Local + "/down-ours"), CountFiles(L.Local + "/down-ref"), Copy,
                "local side");
    AddRow(down);
}

// smbclient: "//127.0.0.1/share -p PORT -A AUTHFILE -c COMMANDS"
TReference SmbReference(const bfs::test::TSmbServer& Server) {
    auto run = [&Server](const std::string& Commands, const std::string& Out = "/dev/null") {
        return RunClient({"smbclient", "//127.0.0.1/share", "-p", std::to_string(Server.Port), "-A",
                          Server.AuthFile, "-c", Commands},
                         {}, "/dev/null", Out);
    };
    TReference ref;
    ref.ListName = "smbclient recurse ON; ls";
    ref.Client = "smbclient";
    ref.UploadName = "smbclient mput";
    ref.DownloadName = "smbclient mget";
    // smbclient reads its commands split at ";": the folder names here hold none, nor quotes.
    ref.List = [run](const std::string& Remote, const std::string& Out) {
        return run("cd " + Remote + "; recurse ON; ls", Out);
    };
    ref.Upload = [run](const std::string& Src, const std::string& Remote) {
        return run("prompt OFF; recurse ON; cd " + Remote + "; lcd " + Src + "; mput *");
    };
    ref.Download = [run](const std::string& Remote, const std::string& Dst) {
        return run("prompt OFF; recurse ON; cd " + Remote + "; lcd " + Dst + "; mget *");
    };
    return ref;
}

// A password as rclone takes it in its environment: obscured by `rclone obscure -` from its
// standard input (a file of mode 600 named after Tag), never on a command line.
std::string RcloneObscured(const std::string& Scratch, std::string_view Password, const std::string& Tag) {
    const std::string pass = Scratch + "/" + Tag + "-pass", obscured = Scratch + "/" + Tag + "-pass-obscured";
    {
        const int fd = ::open(pass.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0) {
            if (::write(fd, Password.data(), Password.size()) != static_cast<ssize_t>(Password.size()))
                std::fprintf(stderr, "cannot write %s\n", pass.c_str());
            ::close(fd);
        }
    }
    RunClient({"rclone", "obscure", "-"}, {}, pass, obscured);
    std::string secret;
    std::getline(std::ifstream(obscured), secret);
    return secret;
}

// rclone with an on-the-fly FTP remote; the password goes in through the environment only.
TReference FtpReference(const bfs::test::TFtpServer& Server, const std::string& Scratch) {
    const std::string secret = RcloneObscured(Scratch, bfs::test::FTP_PASS, "ftp");
    const std::vector<std::string> env = {
        "RCLONE_FTP_HOST=127.0.0.1", "RCLONE_FTP_PORT=" + std::to_string(Server.Port),
        std::string("RCLONE_FTP_USER=") + bfs::test::FTP_USER, "RCLONE_FTP_PASS=" + secret};
    TReference ref;
    ref.ListName = "rclone lsf -R (ftp)";
    ref.Client = "rclone";
    ref.UploadName = "rclone copy (local to ftp)";
    ref.DownloadName = "rclone copy (ftp to local)";
    ref.List = [env](const std::string& Remote, const std::string& Out) {
        return RunClient({"rclone", "--config", "/dev/null", "lsf", "-R", ":ftp:" + Remote}, env, "/dev/null",
                         Out);
    };
    ref.Upload = [env](const std::string& Src, const std::string& Remote) {
        return RunClient({"rclone", "--config", "/dev/null", "copy", Src, ":ftp:" + Remote}, env);
    };
    ref.Download = [env](const std::string& Remote, const std::string& Dst) {
        return RunClient({"rclone", "--config", "/dev/null", "copy", ":ftp:" + Remote, Dst}, env);
    };
    return ref;
}

// rclone with an on-the-fly WebDAV remote on the served folder; the password goes in through the
// environment only.
TReference DavReference(const bfs::test::TWebDavServer& Server, const std::string& Scratch) {
    const std::vector<std::string> env = {
        "RCLONE_WEBDAV_URL=" + Server.Address(), std::string("RCLONE_WEBDAV_USER=") + bfs::test::DAV_USER,
        "RCLONE_WEBDAV_PASS=" + RcloneObscured(Scratch, bfs::test::DAV_PASS, "webdav")};
    TReference ref;
    ref.ListName = "rclone lsf -R (webdav)";
    ref.Client = "rclone";
    ref.UploadName = "rclone copy (local to webdav)";
    ref.DownloadName = "rclone copy (webdav to local)";
    ref.List = [env](const std::string& Remote, const std::string& Out) {
        return RunClient({"rclone", "--config", "/dev/null", "lsf", "-R", ":webdav:" + Remote}, env,
                         "/dev/null", Out);
    };
    ref.Upload = [env](const std::string& Src, const std::string& Remote) {
        return RunClient({"rclone", "--config", "/dev/null", "copy", Src, ":webdav:" + Remote}, env);
    };
    ref.Download = [env](const std::string& Remote, const std::string& Dst) {
        return RunClient({"rclone", "--config", "/dev/null", "copy", ":webdav:" + Remote, Dst}, env);
    };
    return ref;
}

// rclone with an on-the-fly S3 remote on the user's bucket S3_BUCKET; the keys go in through the
// environment only. rclone stops on a CA bundle named by AWS_CA_BUNDLE, so that is unset.
std::vector<std::string> S3Env(const bfs::test::TS3Server& Server) {
    return {"RCLONE_S3_PROVIDER=Other",
            "RCLONE_S3_ENDPOINT=http://" + Server.Endpoint(),
            std::string("RCLONE_S3_ACCESS_KEY_ID=") + S3_ACCESS,
            std::string("RCLONE_S3_SECRET_ACCESS_KEY=") + S3_SECRET,
            "RCLONE_S3_V2_AUTH=true",
            "RCLONE_S3_FORCE_PATH_STYLE=true",
            "RCLONE_S3_LIST_VERSION=1",
            "AWS_CA_BUNDLE"};
}

// The remote of a folder below the bucket: the service's bucket name, as our side names it.
std::string S3Remote(const std::string& Folder) {
    return std::string(":s3:") + S3_ACCESS + "-" + S3_BUCKET + "/" + Folder;
}

TReference S3Reference(const bfs::test::TS3Server& Server) {
    const std::vector<std::string> env = S3Env(Server);
    TReference ref;
    ref.ListName = "rclone lsf -R (s3)";
    ref.Client = "rclone";
    ref.UploadName = "rclone copy (local to s3)";
    ref.DownloadName = "rclone copy (s3 to local)";
    ref.List = [env](const std::string& Remote, const std::string& Out) {
        return RunClient({"rclone", "--config", "/dev/null", "lsf", "-R", S3Remote(Remote)}, env, "/dev/null",
                         Out);
    };
    ref.Upload = [env](const std::string& Src, const std::string& Remote) {
        return RunClient({"rclone", "--config", "/dev/null", "copy", Src, S3Remote(Remote)}, env);
    };
    ref.Download = [env](const std::string& Remote, const std::string& Dst) {
        return RunClient({"rclone", "--config", "/dev/null", "copy", S3Remote(Remote), Dst}, env);
    };
    return ref;
}

// The device's folder itself: a bare walk of it and plain copies, through the local file system.
TReference DeviceReference(const std::string& Folder) {
    TReference ref;
    ref.ListName = "find (the device's folder)";
    ref.Client = "cp -r";
    ref.UploadName = "cp -r (into the device's folder)";
    ref.DownloadName = "cp -r (out of the device's folder)";
    ref.List = [Folder](const std::string& Remote, const std::string& Out) {
        return RunClient({"find", Folder + "/" + Remote}, {}, "/dev/null", Out);
    };
    ref.Upload = [Folder](const std::string& Src, const std::string& Remote) {
        return RunClient({"cp", "-r", Src + "/.", Folder + "/" + Remote});
    };
    ref.Download = [Folder](const std::string& Remote, const std::string& Dst) {
        return RunClient({"cp", "-r", Folder + "/" + Remote + "/.", Dst});
    };
    return ref;
}

// The stand-in device library: the one BFS_RAPI_LIBRARY names, else the one the build put beside
// the program (<build>/app, this program being in <build>/bench).
std::string DeviceLibrary() {
    if (const char* named = std::getenv("BFS_RAPI_LIBRARY"); named && *named) return named;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : (self.parent_path().parent_path() / "app" / "libbfs-rapi.so").string();
}

bool OnPath(const char* Program) {
    return bfs::test::RunQuiet({"/bin/sh", "-c", std::string("command -v ") + Program}) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    int files = 10000, copy = 1000;
    std::string only;  // empty: every kind
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if ((a == "--files" || a == "--copy") && i + 1 < argc) {
            const int n = std::atoi(argv[++i]);
            if (n < FILES_PER_FOLDER || n % FILES_PER_FOLDER != 0) {
                std::fprintf(stderr, "%s needs a positive multiple of %d\n", argv[i - 1], FILES_PER_FOLDER);
                return 2;
            }
            (a == "--files" ? files : copy) = n;
        } else {
            std::printf("usage: remote_bench [--files N] [--copy M] [--only KIND]   (multiples of %d)\n",
                        FILES_PER_FOLDER);
            return a == "--help" || a == "-h" ? 0 : 2;
        }
    }

    // The local sides, settings, error log and locally kept saved states live in a scratch folder,
    // never in the home; the servers' folders are their own and go with them.
    bfs::test::TServerFolder scratch("bfs-remote-bench");
    if (scratch.Path.empty()) return 1;
    for (const char* var : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        const std::string folder = scratch.Path + "/xdg/" + var;
        fs::create_directories(folder);
        ::setenv(var, folder.c_str(), 1);
    }
    std::printf(
        "Remote benchmark: our engine through TTaskRun, left side a local folder, right side the remote\n"
        "folder; reference clients on the same trees. Servers on 127.0.0.1 started as the storage tests\n"
        "start them. Scratch folder: %s\n",
        scratch.Path.c_str());

    const auto wanted = [&only](const std::string& Kind) { return only.empty() || only == Kind; };
    int rc = 0;
    try {
        if (wanted("share")) {
            bfs::test::TSmbServer smb(SMB_PASS);
            if (!OnPath("smbclient"))
                std::printf("\nshare: skipped (smbclient not installed)\n");
            else if (!smb.Start())
                std::printf("\nshare: skipped (smbd did not start; scripts/install-deps installs it)\n");
            else {
                TLayout l;
                l.Kind = "share";
                l.Served = smb.SharePath;
                l.Local = scratch.Path + "/share-local";
                l.Remote = {bfs::DEVICE_NETWORK, smb.Address(), smb.User, SMB_PASS};
                l.Sep = '\\';
                RunKind(l, SmbReference(smb), files, copy, scratch.Path);
            }
        }
        for (const bfs::test::TServerKind kind :
             {bfs::test::TServerKind::Pyftpdlib, bfs::test::TServerKind::Vsftpd}) {
            const bool vsftpd = kind == bfs::test::TServerKind::Vsftpd;
            const std::string name = vsftpd ? "ftp-vsftpd" : "ftp";
            if (!wanted(name)) continue;
            bfs::test::TFtpServer ftp;
            if (!OnPath("rclone"))
                std::printf("\n%s: skipped (rclone not installed)\n", name.c_str());
            else if (vsftpd && ::geteuid() != 0)
                std::printf("\n%s: skipped (vsftpd needs root to serve an account)\n", name.c_str());
            else if (!ftp.Start(kind))
                std::printf("\n%s: skipped (the server did not start; scripts/install-deps installs it)\n",
                            name.c_str());
            else {
                TLayout l;
                l.Kind = name;
                l.Served = ftp.Files;
                l.Local = scratch.Path + "/" + name + "-local";
                l.Remote = {bfs::DEVICE_FTP, ftp.Address(), bfs::test::FTP_USER, bfs::test::FTP_PASS};
                l.Own = [&ftp](const std::string& Served) { ftp.Own(Served); };
                RunKind(l, FtpReference(ftp, scratch.Path), files, copy, scratch.Path);
            }
        }
        for (const bfs::test::TDavKind kind : {bfs::test::TDavKind::Rclone, bfs::test::TDavKind::Apache}) {
            const bool apache = kind == bfs::test::TDavKind::Apache;
            const std::string name = apache ? "webdav-apache" : "webdav-rclone";
            if (!wanted(name)) continue;
            bfs::test::TWebDavServer dav;
            if (!OnPath("rclone"))
                std::printf("\n%s: skipped (rclone not installed)\n", name.c_str());
            else if (!dav.Start(kind))
                std::printf("\n%s: skipped (the server did not start; scripts/install-deps installs it)\n",
                            name.c_str());
            else {
                TLayout l;
                l.Kind = name;
                l.Served = dav.Files;
                l.Local = scratch.Path + "/" + name + "-local";
                l.Remote = {bfs::DEVICE_WEBDAV, dav.Address(), bfs::test::DAV_USER, bfs::test::DAV_PASS};
                l.Own = [&dav](const std::string& Served) { dav.Own(Served); };
                RunKind(l, DavReference(dav, scratch.Path), files, copy, scratch.Path);
            }
        }
        if (wanted("s3")) {
            // The launcher and s3rver live in the source tree, where the storage tests find them.
            ::setenv("BFS_TEST_SOURCE_DIR", BFS_SOURCE_DIR, 0);
            bfs::test::TS3Server s3;
            const std::string bucket = std::string(S3_ACCESS) + "-" + S3_BUCKET;
            if (!OnPath("rclone"))
                std::printf("\ns3: skipped (rclone not installed)\n");
            else if (!s3.Start(S3_ACCESS, S3_SECRET, bucket))
                std::printf("\ns3: skipped (s3rver did not start; scripts/install-deps installs it)\n");
            else {
                const std::vector<std::string> env = S3Env(s3);
                TLayout l;
                l.Kind = "s3";
                l.Local = scratch.Path + "/s3-local";
                l.Remote = {bfs::DEVICE_S3, "http://" + s3.Endpoint() + "/" + S3_BUCKET, S3_ACCESS,
                            S3_SECRET};
                l.Seed = [env](const std::string& Src, const std::string& Remote) {
                    return RunClient({"rclone", "--config", "/dev/null", "--transfers", "16", "copy", Src,
                                      S3Remote(Remote)},
                                     env)
                        .Ok;
                };
                const std::string list = scratch.Path + "/s3-count.txt";
                l.Count = [env, list](const std::string& Remote) {
                    RunClient(
                        {"rclone", "--config", "/dev/null", "lsf", "-R", "--files-only", S3Remote(Remote)},
                        env, "/dev/null", list);
                    // Our own saved states are no part of the copied tree.
                    std::ifstream in(list);
                    long long n = 0;
                    for (std::string line; std::getline(in, line);)
                        if (!line.starts_with(bfs::MARKER_FOLDER)) ++n;
                    return n;
                };
                RunKind(l, S3Reference(s3), files, copy, scratch.Path);
            }
        }
        if (wanted("device")) {
            // The stand-in library serves the device "Bench" from a folder of the scratch folder.
            const std::string library = DeviceLibrary(), folder = scratch.Path + "/device";
            fs::create_directories(folder);
            if (library.empty() || !fs::exists(library))
                std::printf("\ndevice: skipped (no stand-in device library at %s; build the program)\n",
                            library.c_str());
            else {
                ::setenv("BFS_RAPI_LIBRARY", library.c_str(), 1);
                ::setenv("BFS_DEVICE_NAME", "Bench", 1);
                ::setenv("BFS_DEVICE_FOLDER", folder.c_str(), 1);
                TLayout l;
                l.Kind = "device";
                l.Served = folder;
                l.Local = scratch.Path + "/device-local";
                l.Remote = {bfs::DEVICE_MOBILE, "wm:Bench", "", ""};
                l.Sep = '\\';
                RunKind(l, DeviceReference(folder), files, copy, scratch.Path);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        rc = 1;
    }
    PrintTable();
    for (const TRow& r : g_Rows)
        if (!r.Ours.Ok || !r.Ref.Ok) rc = 1;
    return rc;
}
