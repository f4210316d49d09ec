// Every kind of side holds a download to the size its listing gave the file: a server that sends
// without end, or a file that is larger now, fails the download as changed while it was read, and so
// does one that sends fewer bytes. No more than the listed size ever reaches the disk, no temporary
// file stays, and the target keeps what it held.

#include "common/LoopbackHttpServer.h"
#include "common/TempFolder.h"
#include "common/TestServers.h"
#include "model/UTConsts.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "platform/UTLocalFile.h"
#include "storage/UTFtpFileOper.h"
#include "storage/UTNetFileOper.h"
#include "storage/UTS3FileOper.h"
#include "storage/UTWMFileOper.h"
#include "storage/UTWebDavFileOper.h"
#include "storage/UTWinFileOper.h"
#include "storage/uS3Storage.h"
#include "tests/storage/ContractTest.h"
#include "tests/storage/RapiTestDevice.h"
#include "tests/storage/S3ScriptedServer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bfs::test {
namespace {

constexpr int64_t LISTED = 5;
const std::string PAYLOAD(64 << 10, 'x');  // what an endless server sends over and over

// In pyftpdlib: a download of a file named "endless..." never ends (64 MiB at most), whatever the file holds.
constexpr const char* ENDLESS_FTP = R"PY(
import os
from pyftpdlib import filesystems, handlers

class EndlessFile:
    name = 'endless'
    closed = False
    def __init__(self):
        self.left = 64 << 20
    def read(self, size=65536):
        size = min(size if size and size > 0 else 65536, self.left)
        self.left -= size
        return b'x' * size
    def close(self):
        self.closed = True

class EndlessFS(filesystems.AbstractedFS):
    def open(self, filename, mode):
        if 'r' in mode and os.path.basename(filename).startswith('endless'):
            return EndlessFile()
        return super().open(filename, mode)

handlers.FTPHandler.abstracted_fs = EndlessFS
)PY";

// A side whose root holds "endless.bin" (more than listed: sent without end, or larger on disk) and
// "short.bin" (two bytes), both listed at LISTED bytes; connected.
struct TServedFile {
    std::unique_ptr<TFileOper> Oper;
    std::shared_ptr<void> Server;  // keeps the server running
};

std::unique_ptr<TFileOper> Side(std::unique_ptr<TFileOper> Oper, int32_t Kind, const std::string& Address,
                                const std::string& User = {}, const std::string& Password = {}) {
    Oper->FFolderSource->DeviceType = Kind;
    Oper->FFolderSource->FolerAllName = Address;
    Oper->FFolderSource->UserName = User;
    Oper->FFolderSource->PWD = Password;
    return Oper;
}

// The files as a folder that a server serves holds them.
void WriteFiles(const std::string& Folder) {
    ASSERT_EQ(WriteFileAtomic(Folder + "/endless.bin", std::string(2 << 20, 'x')), 0);
    ASSERT_EQ(WriteFileAtomic(Folder + "/short.bin", "ab"), 0);
}

void FtpSide(TServedFile& Out) {
    BFS_REQUIRE_PROGRAM(PYTHON);
    auto server = std::make_shared<TFtpServer>();
    {
        const TTempFolder module;
        std::ofstream(module.Path + "/sitecustomize.py") << ENDLESS_FTP;
        const TScopedEnv path("PYTHONPATH", module.Path);
        ASSERT_TRUE(server->Start(TServerKind::Pyftpdlib)) << "the FTP server did not start";
    }
    WriteFiles(server->Files);
    Out.Oper = Side(CreateFtpFileOper(false), DEVICE_FTP, server->Address("/"), FTP_USER, FTP_PASS);
    Out.Server = server;
}

void S3Side(TServedFile& Out) {
    TS3Storage::DefaultLimits().RetryDelaysMs = {10, 20, 40};
    auto service = std::make_shared<TScriptedS3>();
    ASSERT_TRUE(service->Started());
    // Each is looked up (HEAD: its listed size) before it is read.
    service->Script("/bfsaccess-side/endless.bin",
                    {{200, std::string(LISTED, 'h')}, {200, PAYLOAD, TLoopbackHttpServer::TKind::Endless}});
    service->Script("/bfsaccess-side/short.bin", {{200, std::string(LISTED, 'h')}, {200, "ab"}});
    Out.Oper = Side(CreateS3FileOper(false), DEVICE_S3, "http://" + service->Endpoint() + "/side",
                    "bfsaccess", "bfs-s3-secret");
    Out.Server = service;
}

void WebDavSide(TServedFile& Out) {
    using TKind = TLoopbackHttpServer::TKind;
    auto server =
        std::make_shared<TLoopbackHttpServer>([](const std::string& Path) -> TLoopbackHttpServer::TReply {
            if (Path == "/dav/endless.bin") return {200, PAYLOAD, TKind::Endless};
            if (Path == "/dav/short.bin") return {200, "ab"};
            return {207,
                    R"(<?xml version="1.0"?><D:multistatus xmlns:D="DAV:"><D:response><D:href>/dav/</D:href>)"
                    R"(<D:propstat><D:prop><D:resourcetype><D:collection/></D:resourcetype></D:prop>)"
                    R"(<D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response></D:multistatus>)"};
        });
    ASSERT_TRUE(server->Started());
    Out.Oper = Side(CreateWebDavFileOper(false), DEVICE_WEBDAV, server->Url() + "dav", "user", "pass");
    Out.Server = server;
}

void ShareSide(TServedFile& Out) {
    BFS_REQUIRE_PROGRAM(SMBD);
    BFS_REQUIRE_PROGRAM(SMBPASSWD);
    auto server = std::make_shared<TSmbServer>("bfs-smb-test-4711");
    ASSERT_TRUE(server->Start()) << "smbd did not start";
    WriteFiles(server->SharePath);
    Out.Oper =
        Side(CreateNetFileOper(false), DEVICE_NETWORK, server->Address(), server->User, server->Password);
    Out.Server = server;
}

void DeviceSide(TServedFile& Out) {
    RequireStandin();
    if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure()) return;
    auto device = std::make_shared<TTestDevice>();
    WriteFiles(device->Local(""));
    Out.Oper = Side(CreateWMFileOper(false), DEVICE_MOBILE, "wm:Pocket_PC\\");
    Out.Server = device;
}

void LocalSide(TServedFile& Out) {
    auto folder = std::make_shared<TTempFolder>();
    WriteFiles(folder->Path);
    Out.Oper = Side(CreateWinFileOper(false), DEVICE_LOCAL, folder->Path);
    Out.Server = folder;
}

std::vector<std::string> Names(const std::string& Folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(Folder)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// While it lives, no file of this process grows past Bytes: a write beyond fails (EFBIG).
class TFileSizeLimit {
  public:
    explicit TFileSizeLimit(rlim_t Bytes) {
        ::getrlimit(RLIMIT_FSIZE, &m_Old);
        m_Handler = ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{Bytes, m_Old.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~TFileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_Old);
        ::signal(SIGXFSZ, m_Handler);
    }

  private:
    rlimit m_Old{};
    sighandler_t m_Handler;
};

TEST(DownloadSizeTest, DownloadsStopAtTheListedSize) {
    TTempFolder scratch;
    const TScopedEnv config("XDG_CONFIG_HOME", scratch.Path);
    const struct {
        const char* Kind;
        std::function<void(TServedFile&)> Make;
    } kinds[] = {{"FTP", FtpSide},     {"S3", S3Side},         {"WebDAV", WebDavSide},
                 {"share", ShareSide}, {"device", DeviceSide}, {"local", LocalSide}};
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.Kind);
        TServedFile side;
        k.Make(side);
        if (::testing::Test::IsSkipped()) return;
        ASSERT_TRUE(side.Oper);
        ASSERT_EQ(side.Oper->Connect(), 0) << side.Oper->FailureText;
        // One after the other on one connection: a download cut short leaves it usable.
        for (const char* name : {"endless.bin", "short.bin"}) {
            SCOPED_TRACE(name);
            const std::string folder = scratch.Path + "/" + k.Kind + "-" + name;
            ASSERT_EQ(MakeFolders(folder), 0);
            const std::string target = folder + "/" + name;
            ASSERT_EQ(WriteFileAtomic(target, "old"), 0);
            int32_t result = 0;
            {
                const TFileSizeLimit limit(1 << 20);
                result =
                    side.Oper->GetFile(target, *side.Oper->FFolderSource, Entry("/", name, LISTED), 0, false);
            }
            EXPECT_EQ(result, RESULT_SOURCE_CHANGED);
            EXPECT_EQ(Names(folder), std::vector<std::string>{name});
            std::string kept;
            EXPECT_EQ(ReadWholeFile(target, kept), 0);
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
    ASSERT_FALSE(staging.empty());
    for (const char* name : {".~bfs.g.Left01", ".~bfs.g.Held01", ".~bfs.g.notours", "bfs-Ab12Cd"})
        ASSERT_EQ(WriteFileAtomic(staging + name, "partial"), 0);
    const TFd held(::open((staging + ".~bfs.g.Held01").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(held.Get(), LOCK_EX), 0);  // a run still writing it
    TServedFile side;
    WebDavSide(side);
    ASSERT_EQ(side.Oper->Connect(), 0);
    EXPECT_EQ(side.Oper->GetFile(staging + "bfs-target", *side.Oper->FFolderSource,
                                 Entry("/", "short.bin", 2), 0, false),
              0);
    EXPECT_EQ(Names(staging),
              (std::vector<std::string>{".~bfs.g.Held01", ".~bfs.g.notours", "bfs-Ab12Cd", "bfs-target"}));
}

}  // namespace
}  // namespace bfs::test
