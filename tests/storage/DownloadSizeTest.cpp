// Downloads are held to the size the listing gave the file: a server that sends without end fails
// the download as changed while it was read, and so does one that sends fewer bytes. No more than
// the listed size ever reaches the disk, no temporary file stays, and the target keeps what it held.

#include "common/LoopbackHttpServer.h"
#include "common/TempFolder.h"
#include "common/TestServers.h"
#include "model/UTConsts.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "platform/UTLocalFile.h"
#include "storage/UTFtpFileOper.h"
#include "storage/UTS3FileOper.h"
#include "storage/UTWebDavFileOper.h"
#include "storage/uS3Storage.h"
#include "tests/storage/ContractTest.h"
#include "tests/storage/S3ScriptedServer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace bfs::test {
namespace {

using TKind = TLoopbackHttpServer::TKind;
const std::string PAYLOAD(64 << 10, 'x');  // what an endless server sends over and over

// In pyftpdlib, a file named "endless..." never ends when downloaded (64 MiB at most).
constexpr const char* ENDLESS_FTP = R"PY(
import os
from pyftpdlib import filesystems, handlers
class Endless:
    name, closed = 'endless', False
    def __init__(self): self.left = 1024
    def read(self, size=65536):
        self.left -= 1
        return b'x' * 65536 if self.left >= 0 else b''
    def close(self): self.closed = True
class EndlessFS(filesystems.AbstractedFS):
    def open(self, filename, mode):
        return Endless() if os.path.basename(filename).startswith('endless') else super().open(filename, mode)
handlers.FTPHandler.abstracted_fs = EndlessFS
)PY";

std::unique_ptr<TFileOper> Side(std::unique_ptr<TFileOper> Oper, int32_t Kind, const std::string& Address,
                                const std::string& User, const std::string& Password) {
    Oper->FFolderSource->DeviceType = Kind;
    Oper->FFolderSource->FolerAllName = Address;
    Oper->FFolderSource->UserName = User;
    Oper->FFolderSource->PWD = Password;
    return Oper;
}

// A WebDAV server whose root holds "endless.bin", sent without end, and "short.bin" ("ab").
std::shared_ptr<TLoopbackHttpServer> DavServer() {
    return std::make_shared<TLoopbackHttpServer>([](const std::string& Path) -> TLoopbackHttpServer::TReply {
        if (Path == "/dav/endless.bin") return {200, PAYLOAD, TKind::Endless};
        if (Path == "/dav/short.bin") return {200, "ab"};
        return {207,
                R"(<?xml version="1.0"?><D:multistatus xmlns:D="DAV:"><D:response><D:href>/dav/</D:href>)"
                R"(<D:propstat><D:prop><D:resourcetype><D:collection/></D:resourcetype></D:prop>)"
                R"(<D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response></D:multistatus>)"};
    });
}

std::vector<std::string> Names(const std::string& Folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(Folder)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// Each side serves "endless.bin" without end and "short.bin" as two bytes, both listed at 5 bytes.
// While they download, no file may grow past 1 MiB (a write beyond fails), so a download that is
// not held to its listed size fails otherwise than as changed.
TEST(DownloadSizeTest, DownloadsStopAtTheListedSize) {
    BFS_REQUIRE_PROGRAM(PYTHON);
    TTempFolder scratch;
    const TScopedEnv config("XDG_CONFIG_HOME", scratch.Path);
    TS3Storage::DefaultLimits().RetryDelaysMs = {10, 20, 40};
    TFtpServer ftp;
    {
        const TTempFolder module;
        std::ofstream(module.Path + "/sitecustomize.py") << ENDLESS_FTP;
        const TScopedEnv path("PYTHONPATH", module.Path);
        ASSERT_TRUE(ftp.Start(TServerKind::Pyftpdlib));
    }
    ASSERT_EQ(WriteFileAtomic(ftp.Files + "/endless.bin", "12345"), 0);
    ASSERT_EQ(WriteFileAtomic(ftp.Files + "/short.bin", "ab"), 0);
    TScriptedS3 s3;  // each key is looked up (HEAD: 5 bytes), then read
    s3.Script("/bfsaccess-side/endless.bin", {{200, "12345"}, {200, PAYLOAD, TKind::Endless}});
    s3.Script("/bfsaccess-side/short.bin", {{200, "12345"}, {200, "ab"}});
    const auto dav = DavServer();
    std::unique_ptr<TFileOper> sides[] = {
        Side(CreateFtpFileOper(false), DEVICE_FTP, ftp.Address("/"), FTP_USER, FTP_PASS),
        Side(CreateS3FileOper(false), DEVICE_S3, "http://" + s3.Endpoint() + "/side", "bfsaccess", "secret"),
        Side(CreateWebDavFileOper(false), DEVICE_WEBDAV, dav->Url() + "dav", "user", "pass")};
    for (auto& side : sides) {
        SCOPED_TRACE(side->FFolderSource->FolerAllName);
        ASSERT_EQ(side->Connect(), 0) << side->FailureText;
        // One after the other on one connection: a download cut short leaves it usable.
        for (const char* name : {"endless.bin", "short.bin"}) {
            SCOPED_TRACE(name);
            const std::string folder =
                scratch.Path + "/" + std::to_string(side->FFolderSource->DeviceType) + name;
            ASSERT_EQ(MakeFolders(folder), 0);
            ASSERT_EQ(WriteFileAtomic(folder + "/" + name, "old"), 0);
            rlimit old{};
            ::getrlimit(RLIMIT_FSIZE, &old);
            const rlimit limit{1 << 20, old.rlim_max};
            const auto handler = ::signal(SIGXFSZ, SIG_IGN);
            ::setrlimit(RLIMIT_FSIZE, &limit);
            const int32_t result =
                side->GetFile(folder + "/" + name, *side->FFolderSource, Entry("/", name, 5), 0, false);
            ::setrlimit(RLIMIT_FSIZE, &old);
            ::signal(SIGXFSZ, handler);
            EXPECT_EQ(result, RESULT_SOURCE_CHANGED);
            EXPECT_EQ(Names(folder), std::vector<std::string>{name});
            std::string kept;
            EXPECT_EQ(ReadWholeFile(folder + "/" + name, kept), 0);
            EXPECT_EQ(kept, "old");
        }
    }
}

// No side lists the staging folder: the first download into it removes what a killed run left
// there, the reserved names that no writer holds, and nothing else.
TEST(DownloadSizeTest, StagingLeftoversGoAtTheFirstDownload) {
    TTempFolder scratch;
    const TScopedEnv cache("XDG_CACHE_HOME", scratch.Path);
    const std::string staging = GetStagingFolderPath();
    for (const char* name : {".~bfs.g.Left01", ".~bfs.g.Held01", ".~bfs.g.notours", "bfs-Ab12Cd"})
        ASSERT_EQ(WriteFileAtomic(staging + name, "partial"), 0);
    const TFd held(::open((staging + ".~bfs.g.Held01").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(held.Get(), LOCK_EX), 0);  // a run still writing it
    const auto dav = DavServer();
    auto side = Side(CreateWebDavFileOper(false), DEVICE_WEBDAV, dav->Url() + "dav", "user", "pass");
    ASSERT_EQ(side->Connect(), 0);
    EXPECT_EQ(
        side->GetFile(staging + "bfs-target", *side->FFolderSource, Entry("/", "short.bin", 2), 0, false), 0);
    EXPECT_EQ(Names(staging),
              (std::vector<std::string>{".~bfs.g.Held01", ".~bfs.g.notours", "bfs-Ab12Cd", "bfs-target"}));
}

}  // namespace
}  // namespace bfs::test
