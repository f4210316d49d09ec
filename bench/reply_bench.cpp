// Time and peak memory of replies a hostile or broken server may send, and of a real-shaped large
// one, each read by the program's own clients from a loopback server in this process: S3 copy
// replies whose entity tag is one long run of XML entities, S3 error replies of newlines and of
// secret-like pieces, and WebDAV folder listings of tiny elements and of a real server's form.
// Each reply is read in a process of its own, whose peak resident memory is measured from its start
// (BenchReport.h's TPeakMeter). A case still running after --limit seconds is stopped and shown as
// such; its peak, and every peak where the kernel refuses the reset, is ru_maxrss of the child, which
// counts this process's peak before the child started too. It prints figures and asserts nothing.
//
// Usage: reply_bench [--limit SECONDS] [--only NAME]   (NAME: a case's name as printed, or a part of it)

#include "BenchReport.h"
#include "common/LoopbackHttpServer.h"
#include "model/UTConsts.h"
#include "model/UTFileOper.h"
#include "model/UTFileTree.h"
#include "model/UTFolderSource.h"
#include "storage/UTS3FileOper.h"
#include "storage/UTWebDavFileOper.h"
#include "storage/uS3Storage.h"

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using bfs::test::TLoopbackHttpServer;

constexpr size_t MIB = size_t{1} << 20;
constexpr const char* ACCESS = "BENCHACCESSKEY000000";
// Shaped as a real secret key: 40 characters.
constexpr const char* SECRET = "bEnCh/Secret+Key0123456789abcdefghijklmn";
// The most of a reply each client keeps (uS3Storage's MaxReplyBody, the WebDAV client's cap), less
// a little: the largest replies the clients accept.
constexpr size_t S3_LARGEST = (size_t{32} << 20) - 64;
constexpr size_t DAV_LARGEST = (size_t{256} << 20) - 64;

enum class TCall { Copy, Get, Listing, KeyList };

struct TCase {
    const char* Name;
    TCall Call;
    int Status;
    std::string (*Body)();
};

// Piece repeated to fill Size bytes between Head and Tail (Tail included in Size).
std::string Filled(const std::string& Head, const std::string& Piece, const std::string& Tail, size_t Size) {
    std::string text = Head;
    text.reserve(Size);
    while (text.size() + Piece.size() + Tail.size() <= Size) text += Piece;
    return text + Tail;
}

std::string CopyReply(size_t Size) {
    return Filled("<?xml version=\"1.0\" encoding=\"UTF-8\"?><CopyObjectResult><ETag>", "&quot;",
                  "</ETag></CopyObjectResult>", Size);
}

// The secret itself and pieces that begin like it, on one line.
std::string Secrets(size_t Size) {
    const std::string secret = SECRET;
    return Filled("<Error><Message>", secret + " " + secret.substr(0, secret.size() - 1) + " ",
                  "</Message></Error>", Size);
}

std::string TinyElements(size_t Size) {
    return Filled("<?xml version=\"1.0\"?><D:multistatus xmlns:D=\"DAV:\">", "<a/>", "</D:multistatus>",
                  Size);
}

std::string TinyKeyList(size_t Size) {
    return Filled("<?xml version=\"1.0\"?><ListBucketResult>", "<a/>", "</ListBucketResult>", Size);
}

// A listing as rclone writes it (the most elements per byte among the servers tried): the folder,
// then its files.
std::string RealListing(size_t Size) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><D:multistatus xmlns:D=\"DAV:\"><D:response><D:href>/dav/"
        "</D:href><D:propstat><D:prop><D:resourcetype><D:collection xmlns:D=\"DAV:\"/></D:resourcetype>"
        "</D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>";
    text.reserve(Size);
    const std::string tail = "</D:multistatus>";
    for (int k = 0;; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "file-%07d.dat", k);
        const std::string response =
            std::string("<D:response><D:href>/dav/") + name +
            "</D:href><D:propstat><D:prop><D:getlastmodified>Mon, 07 Dec 2026 14:38:07 "
            "GMT</D:getlastmodified>"
            "<D:resourcetype></D:resourcetype><D:getcontentlength>" +
            std::to_string(1000 + k) +
            "</D:getcontentlength></D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>";
        if (text.size() + response.size() + tail.size() > Size) break;
        text += response;
    }
    return text + tail;
}

const TCase CASES[] = {
    {"s3 copy, entity tag of 4 MB", TCall::Copy, 200, [] { return CopyReply(4 * MIB); }},
    {"s3 copy, entity tag of 32 MB", TCall::Copy, 200, [] { return CopyReply(S3_LARGEST); }},
    {"s3 error, 32 MB of newlines", TCall::Get, 403, [] { return std::string(S3_LARGEST, '\n'); }},
    {"s3 error, 4 MB of secret-like pieces", TCall::Get, 403, [] { return Secrets(4 * MIB); }},
    {"s3 error, 32 MB of secret-like pieces", TCall::Get, 403, [] { return Secrets(S3_LARGEST); }},
    {"s3 key list, 32 MB of tiny elements", TCall::KeyList, 200, [] { return TinyKeyList(S3_LARGEST); }},
    {"dav listing, 64 MB of tiny elements", TCall::Listing, 207, [] { return TinyElements(64 * MIB); }},
    {"dav listing, 256 MB of tiny elements", TCall::Listing, 207, [] { return TinyElements(DAV_LARGEST); }},
    {"dav listing, 256 MB of files (real form)", TCall::Listing, 207,
     [] { return RealListing(DAV_LARGEST); }},
    {"dav listing, 257 MB of files (over the cap)", TCall::Listing, 207,
     [] { return RealListing(DAV_LARGEST + MIB); }},
};

// ---- The child: one reply ---------------------------------------------------------------------------

// Reads the reply of case Index from the server at Url; writes what came of it to Out.
int Child(size_t Index, const std::string& Url, const std::string& Out) {
    const bfs::bench::TPeakMeter meter;
    const TCase& c = CASES[Index];
    std::ostringstream result;
    if (c.Call == TCall::KeyList) {
        auto oper = bfs::CreateS3FileOper(false);
        oper->FFolderSource->DeviceType = bfs::DEVICE_S3;
        oper->FFolderSource->FolerAllName = Url + "bucket";
        oper->FFolderSource->UserName = ACCESS;
        oper->FFolderSource->PWD = SECRET;
        const int32_t rc = oper->Connect();
        oper->ListFolder();
        result << "connect " << rc << ", " << (oper->FFileTree->NotListed ? "not listed" : "listed") << ", "
               << oper->FFileTree->Children.size() << " entries";
    } else if (c.Call == TCall::Listing) {
        auto oper = bfs::CreateWebDavFileOper(false);
        oper->FFolderSource->DeviceType = bfs::DEVICE_WEBDAV;
        oper->FFolderSource->FolerAllName = Url + "dav";
        const int32_t rc = oper->Connect();
        const size_t entries = bfs::WebDavBrowserOf(*oper)->RootEntries().size();
        result << "connect " << rc << (rc == 0 ? "" : " (" + oper->FailureText + ")") << ", "
               << bfs::bench::Grouped(static_cast<long long>(entries)) << " entries";
    } else {
        bfs::TS3Storage s3;
        s3.Create(ACCESS, SECRET);
        s3.Endpoint = Url.substr(7, Url.size() - 8);
        bool ok = false;
        std::string etag, body;
        if (c.Call == TCall::Copy)
            ok = s3.CopyObject("b", "src", "b", "k", &etag);
        else
            ok = s3.GetObject("b", "k", body);
        size_t bytes = 0;
        for (const std::string& line : s3.ErrorText) bytes += line.size() + 1;
        result << (ok ? "ok" : "failed") << ", tag of "
               << bfs::bench::Grouped(static_cast<long long>(etag.size())) << " bytes, error text of "
               << s3.ErrorText.size() << " lines, " << bfs::bench::Grouped(static_cast<long long>(bytes))
               << " bytes";
        for (const std::string& line : s3.ErrorText)
            if (line.find(SECRET) != std::string::npos) {
                result << ", SECRET SHOWN";
                break;
            }
    }
    std::ofstream(Out) << (meter.Resettable() ? meter.Peak() / 1024 : -1) << " " << result.str();
    return 0;
}

// ---- The parent -------------------------------------------------------------------------------------

struct TRun {
    bool Finished = false;
    double Seconds = 0;
    long PeakKiB = 0;
    std::string Result;
};

TRun RunChild(size_t Index, const std::string& Url, const std::string& Out, double Limit) {
    TRun run;
    std::vector<std::string> args = {"/proc/self/exe", "--child", std::to_string(Index), Url, Out};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::remove(Out.c_str());
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) return run;
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) break;
        if (done < 0) return run;
        if (bfs::bench::Seconds(start, std::chrono::steady_clock::now()) > Limit) {
            ::kill(pid, SIGKILL);
            ::wait4(pid, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.Seconds = bfs::bench::Seconds(start, std::chrono::steady_clock::now());
    run.Finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.PeakKiB = usage.ru_maxrss;
    std::ifstream in(Out);
    long peak = -1;
    if (in >> peak && peak >= 0) run.PeakKiB = peak;
    std::getline(in >> std::ws, run.Result);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--child")
        return Child(static_cast<size_t>(std::atoi(argv[2])), argv[3], argv[4]);
    double limit = 300;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--limit") limit = std::atof(argv[i + 1]);
        if (std::string(argv[i]) == "--only") only = argv[i + 1];
    }
    if (argc % 2 == 0 || limit <= 0) {
        std::fprintf(stderr, "usage: reply_bench [--limit SECONDS] [--only NAME]\n");
        return 2;
    }
    char folder[] = "/tmp/bfs-reply-bench-XXXXXX";
    if (!::mkdtemp(folder)) return 1;
    // The children's settings and error log stay in the scratch folder.
    ::setenv("XDG_CONFIG_HOME", folder, 1);
    const std::string out = std::string(folder) + "/result";
    std::string body;
    int status = 200;
    TLoopbackHttpServer server([&](const std::string&) { return TLoopbackHttpServer::TReply(status, body); });
    if (!server.Started()) return 1;
    std::printf("%-42s %-8s %10s %12s   %s\n", "reply", "", "time", "peak RSS", "what came of it");
    for (size_t i = 0; i < std::size(CASES); ++i) {
        if (!only.empty() && std::string(CASES[i].Name).find(only) == std::string::npos) continue;
        body = CASES[i].Body();
        status = CASES[i].Status;
        const TRun run = RunChild(i, server.Url(), out, limit);
        std::printf("%-42s %-8s %8.2f s %8.1f MiB   %s\n", CASES[i].Name, run.Finished ? "" : "STOPPED",
                    run.Seconds, run.PeakKiB / 1024.0, run.Result.c_str());
        std::fflush(stdout);
    }
    std::remove(out.c_str());
    ::rmdir(folder);
    return 0;
}
