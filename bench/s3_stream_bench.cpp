// Memory of a large S3 transfer: one file of 1 GiB (or --mib N) stored on an S3 service (s3rver,
// started through the storage tests' own code) by the S3 back-end's PutFile, then fetched back by
// its GetFile. Each transfer runs in a process of its own, so that the peak resident memory the
// kernel reports for it (getrusage of the finished child, ru_maxrss) is that transfer's alone; a
// process that only makes the back-end and lists the bucket gives the floor beside them. It prints
// times and peaks, checks that the fetched file equals the stored one, and asserts nothing else.
//
// Usage: s3_stream_bench [--mib N]

#include "common/TestServers.h"
#include "model/UTConsts.h"
#include "model/UTDosTime.h"
#include "model/UTFileOper.h"
#include "model/UTFileTree.h"
#include "model/UTFolderSource.h"
#include "storage/UTS3FileOper.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

// The account of this run: throwaway keys, handed to s3rver and to the child processes through
// their environment only.
constexpr const char* ACCESS = "benchaccess";
constexpr const char* SECRET = "bench-s3-secret";
constexpr const char* BUCKET = "benchaccess-big";
constexpr int64_t FILE_TIME = 1700000000;

// ---- The child: one transfer ------------------------------------------------------------------------

// Lists the side and returns its entry "big.bin" (null when missing).
const bfs::TFileAttri* Listed(bfs::TFileOper& Oper) {
    if (Oper.ListFolder() != 0) return nullptr;
    for (const auto& child : Oper.FFileTree->Children)
        if (child->Data && child->Data->Name == "big.bin") return child->Data;
    return nullptr;
}

// argv: --child idle|upload|download ENDPOINT LOCALFILE; the keys come in S3_BENCH_ACCESS and
// S3_BENCH_SECRET. Exit status 0 when the transfer succeeded.
int Child(const std::string& What, const std::string& Endpoint, const std::string& Local) {
    auto oper = bfs::CreateS3FileOper(false);
    bfs::TFolderSource& side = *oper->FFolderSource;
    side.DeviceType = bfs::DEVICE_S3;
    side.FolerAllName = "http://" + Endpoint + "/big";
    side.UserName = std::getenv("S3_BENCH_ACCESS") ? std::getenv("S3_BENCH_ACCESS") : "";
    side.PWD = std::getenv("S3_BENCH_SECRET") ? std::getenv("S3_BENCH_SECRET") : "";
    side.FactTime = 0;
    if (oper->Connect() != 0 || oper->CheckFolder() != 0) return 2;
    if (What == "idle") return oper->ListFolder() == 0 ? 0 : 5;
    if (What == "upload") {
        struct stat st {};
        if (::stat(Local.c_str(), &st) != 0) return 3;
        bfs::TFileAttri entry;
        entry.Name = "big.bin";
        entry.Path = std::string("/");
        entry.Size = st.st_size;
        entry.FileDate = bfs::UnixTimeToDosDate(st.st_mtim.tv_sec);
        return oper->PutFile(Local, side, entry, 0, false) == 0 ? 0 : 4;
    }
    const bfs::TFileAttri* entry = Listed(*oper);
    if (!entry) return 5;
    const bfs::TFileAttri copy = *entry;
    return oper->GetFile(Local, side, copy, 0, false) == 0 ? 0 : 6;
}

// ---- The parent -------------------------------------------------------------------------------------

struct TRun {
    bool Ok = false;
    double Seconds = 0;
    long PeakKiB = 0;  // the child's ru_maxrss
};

// Runs this program as a child doing What, and waits for it.
TRun RunChild(const std::string& What, const std::string& Endpoint, const std::string& Local) {
    TRun run;
    std::vector<std::string> args = {"/proc/self/exe", "--child", What, Endpoint, Local};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) return run;
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) return run;
    run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!run.Ok)
        std::printf("  (%s: exit status %d)\n", What.c_str(), WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    run.PeakKiB = usage.ru_maxrss;
    return run;
}

// Writes Mib MiB of varied bytes to Path, dated FILE_TIME.
bool WriteBigFile(const std::string& Path, int Mib) {
    const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::vector<char> chunk(size_t{1} << 20);
    uint64_t x = 88172645463325252ull;
    bool ok = true;
    for (int m = 0; ok && m < Mib; ++m) {
        for (size_t i = 0; i < chunk.size(); i += 8) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            std::memcpy(chunk.data() + i, &x, 8);
        }
        ok = ::write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size());
    }
    const timespec times[2] = {{FILE_TIME, 0}, {FILE_TIME, 0}};
    ok = ok && ::futimens(fd, times) == 0;
    return ::close(fd) == 0 && ok;
}

bool SameFiles(const std::string& A, const std::string& B) {
    const int a = ::open(A.c_str(), O_RDONLY | O_CLOEXEC), b = ::open(B.c_str(), O_RDONLY | O_CLOEXEC);
    bool same = a >= 0 && b >= 0;
    std::vector<char> x(size_t{1} << 20), y(x.size());
    while (same) {
        const ssize_t n = ::read(a, x.data(), x.size()), m = ::read(b, y.data(), y.size());
        same = n == m && n >= 0 && std::memcmp(x.data(), y.data(), static_cast<size_t>(n)) == 0;
        if (n <= 0) break;
    }
    if (a >= 0) ::close(a);
    if (b >= 0) ::close(b);
    return same;
}

void Print(const char* Name, const TRun& Run, int Mib) {
    std::printf("%-10s %-6s %8.1f s %8.1f MiB/s   peak RSS %7.1f MiB\n", Name, Run.Ok ? "ok" : "FAILED",
                Run.Seconds, Run.Seconds > 0 ? Mib / Run.Seconds : 0.0, Run.PeakKiB / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--child") return Child(argv[2], argv[3], argv[4]);
    int mib = 1024;
    if (argc == 3 && std::string(argv[1]) == "--mib") mib = std::atoi(argv[2]);
    if (mib <= 0 || argc == 2 || argc > 3) {
        std::fprintf(stderr, "usage: s3_stream_bench [--mib N]\n");
        return 2;
    }
    // The server's launcher lives in the source tree, where the storage tests find it.
    ::setenv("BFS_TEST_SOURCE_DIR", BFS_SOURCE_DIR, 1);
    bfs::test::TServerFolder scratch("bfs-s3-bench");
    // The children's error log and settings stay in the scratch folder.
    ::setenv("XDG_CONFIG_HOME", scratch.Path.c_str(), 1);
    bfs::test::TS3Server server;
    if (!server.Start(ACCESS, SECRET, BUCKET)) {
        std::printf("s3: skipped (s3rver did not start; scripts/install-deps installs it)\n");
        return 0;
    }
    ::setenv("S3_BENCH_ACCESS", ACCESS, 1);
    ::setenv("S3_BENCH_SECRET", SECRET, 1);
    const std::string source = scratch.Path + "/source.bin", fetched = scratch.Path + "/fetched.bin";
    if (!WriteBigFile(source, mib)) {
        std::printf("cannot write %s\n", source.c_str());
        return 1;
    }
    std::printf("S3 transfer of one file of %d MiB through the back-end (s3rver on %s)\n", mib,
                server.Endpoint().c_str());
    const TRun idle = RunChild("idle", server.Endpoint(), source);
    Print("floor", idle, 0);
    const TRun up = RunChild("upload", server.Endpoint(), source);
    Print("upload", up, mib);
    const TRun down = RunChild("download", server.Endpoint(), fetched);
    Print("download", down, mib);
    if (up.Ok && down.Ok)
        std::printf("fetched file %s the stored one\n",
                    SameFiles(source, fetched) ? "equals" : "DIFFERS FROM");
    return 0;
}
