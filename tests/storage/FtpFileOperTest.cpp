#include "common/TestServers.h"
#include "model/UTConsts.h"
#include "model/UTDosTime.h"
#include "model/UTMyException.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTLocalFile.h"
#include "storage/UTFtpFileOper.h"
#include "tests/storage/ContractTest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace bfs::test {
namespace {

// Skips (or under CI fails) the calling test when a server of this kind cannot run here; check
// ::testing::Test::IsSkipped() / HasFatalFailure() after it.
void RequireFtpServer(TServerKind Kind) {
    if (Kind == TServerKind::Pyftpdlib) {
        BFS_REQUIRE_PROGRAM(PYTHON);
    } else {
        BFS_REQUIRE_PROGRAM(VSFTPD);
        if (::geteuid() != 0) GTEST_SKIP() << "vsftpd needs root to serve an account";
    }
}

// A side on Server whose root is the server's folder Root.
std::unique_ptr<TFileOper> FtpSide(const TFtpServer& Server, const std::string& Root,
                                   const std::string& Password = FTP_PASS) {
    auto oper = CreateFtpFileOper(false);
    oper->FFolderSource->DeviceType = DEVICE_FTP;
    oper->FFolderSource->FolerAllName = Server.Address(Root);
    oper->FFolderSource->UserName = FTP_USER;
    oper->FFolderSource->PWD = Password;
    return oper;
}

// Quirks of servers met in the field, put into pyftpdlib by a module that Python imports at start:
// a rename never replaces a file, blanks at the end of a name are dropped, and a download of a file
// named "stall..." stops after its first 4 KiB with its connection left open.
constexpr const char* QUIRKS = R"PY(
import os
from pyftpdlib import filesystems, handlers

class TrimmingFS(filesystems.AbstractedFS):
    def ftp2fs(self, ftppath):
        return super().ftp2fs('/'.join(part.rstrip(' ') for part in ftppath.split('/')))

class StallingDTP(handlers.DTPHandler):
    sent = 0
    def use_sendfile(self):
        return False
    def send(self, data):
        if not os.path.basename(getattr(self.file_obj, 'name', '')).startswith('stall'):
            return super().send(data)
        if self.sent >= 4096:
            self.del_channel()
            return 0
        n = super().send(data[:4096 - self.sent])
        self.sent += n
        return n

def refuse_rename_over(self, path, rename=handlers.FTPHandler.ftp_RNTO):
    if self._rnfr and os.path.lexists(path):
        self._rnfr = None
        return self.respond('550 File exists.')
    return rename(self, path)

handlers.FTPHandler.abstracted_fs = TrimmingFS
handlers.FTPHandler.dtp_handler = StallingDTP
handlers.FTPHandler.ftp_RNTO = refuse_rename_over
)PY";

// A server of another kind, in pyftpdlib: no MLSD or MLST, a LIST in the DOS form (12-hour clock,
// UTC), and a folder holding a file "garbled" lists a line no client reads. Once a file "refuse"
// is in the folder BFS_FTP_FLAGS, every connection is dropped at its next command and every log-on
// refused. An upload of a file named "hang..." never gets its last reply: the server keeps waiting
// as if its data connection had not ended.
constexpr const char* DOS_SERVER = R"PY(
import os, time
from pyftpdlib import authorizers, filesystems, handlers

FLAGS = os.environ.get('BFS_FTP_FLAGS', '/nonexistent')

class DosFS(filesystems.AbstractedFS):
    def format_list(self, basedir, listing, ignore_err=True):
        for name in listing:
            path = os.path.join(basedir, name)
            st = self.lstat(path)
            when = time.strftime('%m-%d-%y  %I:%M%p', time.gmtime(st.st_mtime))
            if os.path.isdir(path):
                line = '%s       <DIR>          %s' % (when, name)
            else:
                line = '%s %20d %s' % (when, st.st_size, name)
            yield (line + '\r\n').encode('utf8')
        if 'garbled' in listing:
            yield b'-rw-r--r-- 1 u g 3 Dez 07 13:16 lost\r\n'

class HangingDTP(handlers.DTPHandler):
    def handle_close(self):
        if self.receive and os.path.basename(self.file_obj.name).startswith('hang'):
            self.del_channel()
            return
        super().handle_close()

def refusing(self, username, password, handler, check=authorizers.DummyAuthorizer.validate_authentication):
    if os.path.exists(os.path.join(FLAGS, 'refuse')):
        raise authorizers.AuthenticationFailed('Authentication failed.')
    return check(self, username, password, handler)

def dropping(self, line, cmd, arg, pre=handlers.FTPHandler.pre_process_command):
    if self.authenticated and os.path.exists(os.path.join(FLAGS, 'refuse')):
        return self.close()
    return pre(self, line, cmd, arg)

proto = dict(handlers.FTPHandler.proto_cmds)
for c in ('MLSD', 'MLST'):
    proto.pop(c)
handlers.FTPHandler.proto_cmds = proto
handlers.FTPHandler.abstracted_fs = DosFS
handlers.FTPHandler.dtp_handler = HangingDTP
handlers.FTPHandler.auth_failed_timeout = 0
handlers.FTPHandler.pre_process_command = dropping
authorizers.DummyAuthorizer.validate_authentication = refusing
)PY";

bool StartQuirky(TFtpServer& Server, const char* Quirks = QUIRKS) {
    const TTempFolder module;
    std::ofstream(module.Path + "/sitecustomize.py") << Quirks;
    TScopedEnv path("PYTHONPATH", module.Path);
    return Server.Start(TServerKind::Pyftpdlib);
}

// A contract side: a fresh server whose root folder "/side" is the side's root.
TContractSide MakeFtpSide(TServerKind Kind, bool Quirky = false) {
    RequireFtpServer(Kind);
    if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure()) return {};
    auto server = std::make_shared<TFtpServer>();
    if (!(Quirky ? StartQuirky(*server) : server->Start(Kind))) {
        ADD_FAILURE() << "the FTP server did not start";
        return {};
    }
    const std::string root = server->Files + "/side";
    ::mkdir(root.c_str(), 0755);
    server->Own(root);
    TContractSide side;
    side.Oper = FtpSide(*server, "/side");
    side.Dispose = [server]() mutable { server.reset(); };
    side.SetsDates = false;
    return side;
}

const bool g_FtpContract =
    (RegisterFileOperContract("FtpMlsd", [] { return MakeFtpSide(TServerKind::Pyftpdlib); }),
     RegisterFileOperContract("FtpList", [] { return MakeFtpSide(TServerKind::Vsftpd); }),
     RegisterFileOperContract("FtpQuirks", [] { return MakeFtpSide(TServerKind::Pyftpdlib, true); }), true);

#define BFS_START_SERVER(Server, Kind, ...)                                                         \
    do {                                                                                            \
        RequireFtpServer(Kind);                                                                     \
        if (IsSkipped() || HasFatalFailure()) return;                                               \
        ASSERT_TRUE((Server).Start(Kind __VA_OPT__(, ) __VA_ARGS__)) << "the server did not start"; \
    } while (0)

void WriteAt(const std::string& Path, const std::string& Content, time_t MTime) {
    std::filesystem::create_directories(std::filesystem::path(Path).parent_path());
    WriteDated(Path, Content, MTime);
}

// Names, kinds, sizes, dates and paths of a whole tree, one line per node, in listing order.
void Describe(const TFileTree& Node, std::vector<std::string>& Lines) {
    for (const auto& c : Node.Children) {
        const TFileAttri& a = *c->Data;
        Lines.push_back(a.Path.str() + a.Name + (a.IsFolder ? "/" : " " + std::to_string(a.Size)) + " " +
                        std::to_string(a.FileDate) + (c->NotListed ? " not listed" : ""));
        Describe(*c, Lines);
    }
}

TEST(FtpAddressTest, RoutinesOnAddresses) {
    const struct {
        const char* Address;
        const char* Normal;
        const char* Host;
        const char* Root;
    } cases[] = {
        {"host/data/", "ftp://host/data", "host", "/data"},
        {"ftp://host/", "ftp://host", "host", ""},
        {"  ftp://host:2121/a/b  ", "ftp://host:2121/a/b", "host:2121", "/a/b"},
        {"ftp://h/a/a", "ftp://h/a/a", "h", "/a/a"},
        {"FTP://h/a//", "ftp://h/a", "h", "/a"},
        {"ftp://Host:21/a", "ftp://host/a", "host", "/a"},
        {"ftp://h/d /", "ftp://h/d /", "h", "/d "},
        {"", "ftp://", "", ""},
        {"   ", "ftp://", "", ""},
        {"ftp:///", "ftp://", "", ""},
        {"ftp:///data", "ftp:///data", "", "/data"},
        {"/", "ftp://", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NormalizeUrl(c.Address), c.Normal) << c.Address;
        EXPECT_EQ(NormalizeUrl(NormalizeUrl(c.Address)), c.Normal) << c.Address;
        EXPECT_EQ(HostOf(NormalizeUrl(c.Address)), c.Host) << c.Address;
        EXPECT_EQ(HostPrefix(c.Address), std::string("ftp://") + c.Host) << c.Address;
        EXPECT_EQ(RootPath(c.Address), c.Root) << c.Address;
    }
}

// Every form's fields are UTC: the entry holds that instant (Time) and its local time (FileDate),
// here in a zone with summer time.
TEST(FtpListingTest, ListLines) {
    TScopedEnv tz("TZ", "America/New_York");
    ::tzset();
    ResetLocalTimeCache();
    // Now: 2026-12-07 12:00 UTC; dates without a year lie within the six months before it.
    const std::time_t now = 1796644800;
    using K = TFtpListEntry::TKind;
    const struct {
        const char* Line;
        bool Parsed;
        K Kind;
        const char* Name;
        int64_t Size;
        int Year, Month, Day, Hour, Minute;
    } cases[] = {
        {"-rw-r--r--   1 root     root            3 Dec 07 13:16 a.txt", true, K::File, "a.txt", 3, 2026, 12,
         7, 13, 16},
        {"drwxr-xr-x    2 1000     1000         4096 Jan 05  2020 old dir", true, K::Folder, "old dir", 0,
         2020, 1, 5, 0, 0},
        {"-rw-r--r--    1 1000     1000   5368709120 Jun 30 23:59 big", true, K::File, "big", 5368709120,
         2026, 6, 30, 23, 59},
        {"-rw-r--r--    1 1000     1000            1 Dec 24 08:00 last year", true, K::File, "last year", 1,
         2025, 12, 24, 8, 0},
        {"-rw-r--r-- 1 ftp 12 Mar 01 10:00 nogroup.txt", true, K::File, "nogroup.txt", 12, 2026, 3, 1, 10, 0},
        {"-rw-r--r-- 1 u g 1 Dec 07 13:16  two  spaces ", true, K::File, " two  spaces ", 1, 2026, 12, 7, 13,
         16},
        {"dr-xr-xr-x 2 u g 4096 Nov 30 09:05 read-only", true, K::Folder, "read-only", 0, 2026, 11, 30, 9, 5},
        {"lrwxrwxrwx 1 u g 4 Dec 07 13:16 link -> a", true, K::Skip, "link -> a", 4, 2026, 12, 7, 13, 16},
        {"drwxr-xr-x 2 u g 4096 Dec 07 13:16 ..", true, K::Skip, "..", 4096, 2026, 12, 7, 13, 16},
        {"total 12", false, K::Skip, "", 0, 0, 0, 0, 0, 0},
        {"", false, K::Skip, "", 0, 0, 0, 0, 0, 0},
        {"-rw-r--r-- 1 u g x Dec 07 13:16 nosize", false, K::Skip, "", 0, 0, 0, 0, 0, 0},
        {"-rw-r--r-- 1 u g 3 2026-12-07 13:16 iso name", true, K::File, "iso name", 3, 2026, 12, 7, 13, 16},
        {"drwxr-xr-x 2 u g 4096 2019-02-28 00:01 iso dir", true, K::Folder, "iso dir", 0, 2019, 2, 28, 0, 1},
        {"12-07-26  01:16PM       <DIR>          sub", true, K::Folder, "sub", 0, 2026, 12, 7, 13, 16},
        {"12-07-26  12:05AM                 1234 name.txt", true, K::File, "name.txt", 1234, 2026, 12, 7, 0,
         5},
        {"01-31-99  12:59PM                    0 a b", true, K::File, "a b", 0, 1999, 1, 31, 12, 59},
        {"12-07-2026  13:16     5368709120 big", true, K::File, "big", 5368709120, 2026, 12, 7, 13, 16},
        // Not read: a localised month, a day-first DOS date, a 24-hour time with AM, a 31st of
        // February, a DOS line without a name.
        {"-rw-r--r-- 1 u g 3 Dez 07 13:16 a", false, K::Skip, "", 0, 0, 0, 0, 0, 0},
        {"-rw-r--r-- 1 u g 3 7 déc. 13:16 a", false, K::Skip, "", 0, 0, 0, 0, 0, 0},
        {"31-12-26  01:16PM  1 a", false, K::Skip, "", 0, 0, 0, 0, 0, 0},
        {"12-07-26  13:16PM  1 a", false, K::Skip, "", 0, 0, 0, 0, 0, 0},
        {"-rw-r--r-- 1 u g 3 2026-02-31 13:16 a", false, K::Skip, "", 0, 0, 0, 0, 0, 0},
        {"12-07-26  01:16PM  <DIR>  ", false, K::Skip, "", 0, 0, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Line);
        TFtpListEntry e;
        ASSERT_EQ(ParseListLine(c.Line, now, e), c.Parsed);
        if (!c.Parsed) continue;
        EXPECT_EQ(e.Kind, c.Kind);
        EXPECT_EQ(e.Name, c.Name);
        if (c.Kind == K::File) {
            EXPECT_EQ(e.Size, c.Size);
        }
        std::tm t{0, c.Minute, c.Hour, c.Day, c.Month - 1, c.Year - 1900, 0, 0, 0, 0, nullptr};
        EXPECT_EQ(e.Time, ::timegm(&t));
        EXPECT_EQ(e.FileDate, UnixTimeToDosDate(::timegm(&t)));
    }
    ::unsetenv("TZ");
    ::tzset();
    ResetLocalTimeCache();
}

// A listing reply read in pieces of every size: lines cut anywhere, CR LF or LF, blank and "total"
// lines passed over; a line that is no entry, or a reply over the limit, leaves it incomplete.
TEST(FtpListingTest, ReaderTakesWholeListingsOnly) {
    const std::time_t now = 1796644800;
    const struct {
        bool Classic;
        std::string Reply;
        const char* Names;  // the entries read, "|" after each
        const char* Unreadable;
        bool TooLong;
    } cases[] = {
        {true, "total 8\r\n-rw-r--r-- 1 u g 3 Dec 07 13:16 a\r\n\r\n12-07-26  01:16PM  <DIR>  b\n", "a|b|",
         "", false},
        {true, "-rw-r--r-- 1 u g 3 Dec 07 13:16 a\r\n-rw-r--r-- 1 u g 3 Dez 07 13:16 b\r\nweird\r\n", "a|",
         "-rw-r--r-- 1 u g 3 Dez 07 13:16 b", false},
        {true, "lrwxrwxrwx 1 u g 4 Dec 07 13:16 l -> a\n-rw-r--r-- 1 u g 3 Dec 07 13:16 no end", "no end|",
         "", false},
        {false, "type=cdir;modify=20231114221320; .\r\ntype=file;size=1;modify=20231114221320; f\r\n", "f|",
         "", false},
        {false, "type=file;size=1; f\r\nsize=1; untyped\r\n", "f|", "size=1; untyped", false},
        {true, "-rw-r--r-- 1 u g 3 Dec 07 13:16 a/b\n", "", "-rw-r--r-- 1 u g 3 Dec 07 13:16 a/b", false},
        {true, std::string(300, '-') + "\n", "", "", true},
    };
    for (const auto& c : cases) {
        const std::string reply = c.Reply;
        for (const size_t piece : {size_t{1}, size_t{7}, reply.size()}) {
            SCOPED_TRACE(reply + " in pieces of " + std::to_string(piece));
            TFtpListingReader reader(c.Classic, now, 256);
            bool fed = true;
            for (size_t at = 0; at < reply.size() && fed; at += piece)
                fed = reader.Feed(std::string_view(reply).substr(at, piece));
            reader.Finish();
            std::string names;
            for (const TFtpListEntry& e : reader.Entries) names += e.Name + "|";
            EXPECT_EQ(reader.TooLong, c.TooLong);
            EXPECT_EQ(fed, !c.TooLong);
            if (c.TooLong) continue;
            EXPECT_EQ(names, c.Names);
            EXPECT_EQ(reader.FirstUnreadable, c.Unreadable);
            EXPECT_EQ(reader.Problem().empty(), *c.Unreadable == 0);
        }
    }
}

TEST(FtpListingTest, MachineLines) {
    TScopedEnv tz("TZ", "Europe/Berlin");
    ::tzset();
    ResetLocalTimeCache();
    using K = TFtpListEntry::TKind;
    const struct {
        const char* Line;
        bool Parsed;
        K Kind;
        const char* Name;
        int64_t Size;
        int64_t Utc;
        int32_t Nanos;
    } cases[] = {
        {"modify=20231114221320;perm=r;size=5368709120;type=file; big.bin", true, K::File, "big.bin",
         5368709120, 1700000000, 0},
        {"Type=dir;Modify=20231114221320.123; a dir ", true, K::Folder, "a dir ", 0, 1700000000, 123000000},
        {"type=file;modify=20231114221321.1234567891; odd", true, K::File, "odd", 0, 1700000001, 123456789},
        {"type=cdir;modify=20231114221320; .", true, K::Skip, ".", 0, 1700000000, 0},
        {"type=OS.unix=slink:/x;modify=20231114221320; l", true, K::Skip, "l", 0, 1700000000, 0},
        // A fact given twice counts as given last, whole: no fraction of the first is added in.
        {"type=file;modify=20231114221319.999999999;modify=20231114221320.5; twice", true, K::File, "twice",
         0, 1700000000, 500000000},
        {"type=file;modify=20231114221320.999999999;modify=x; bad last", true, K::File, "bad last", 0, -1, 0},
        {"no facts here", false, K::Skip, "", 0, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Line);
        TFtpListEntry e;
        ASSERT_EQ(ParseMlsdLine(c.Line, e), c.Parsed);
        if (!c.Parsed) continue;
        EXPECT_EQ(e.Kind, c.Kind);
        EXPECT_EQ(e.Name, c.Name);
        EXPECT_EQ(e.Size, c.Size);
        EXPECT_EQ(e.FileDate,
                  c.Utc < 0 ? 0 : UnixTimeToDosDate(c.Utc));  // UTC on the line, local in the entry
        EXPECT_EQ(e.Time, c.Utc);                             // and the instant as exact as the line
        EXPECT_EQ(e.Nanos, c.Nanos);
    }
    ::unsetenv("TZ");
    ::tzset();
    ResetLocalTimeCache();
}

// A line dated by day and year takes the minute of the server's MDTM answer: the date a line of the
// time-of-day form gives for the same instant. Other answers leave the day's date.
TEST(FtpListingTest, DayAndYearLinesTakeTheMdtmMinute) {
    const std::time_t now = 1796644800;  // 2026-12-07 12:00 UTC
    TFtpListEntry recent, aged;
    ASSERT_TRUE(ParseListLine("-rw-r--r-- 1 u g 3 Jun 10 12:30 a", now, recent));
    ASSERT_TRUE(ParseListLine("-rw-r--r-- 1 u g 3 Jun 10  2026 a", now, aged));
    EXPECT_FALSE(recent.YearOnly);
    const struct {
        const char* Reply;
        bool Taken;
    } cases[] = {{"213 20260610123059", true},
                 {"213 20260610123000.25", true},
                 {"550 Could not get file time.", false},
                 {"213 2026061012", false},
                 {"213 20261310123000", false}};
    for (const auto& c : cases) {
        TFtpListEntry e = aged;
        EXPECT_EQ(TakeMdtmTime(c.Reply, e), c.Taken) << c.Reply;
        EXPECT_EQ(e.FileDate, c.Taken ? recent.FileDate : aged.FileDate) << c.Reply;
        EXPECT_EQ(e.YearOnly, !c.Taken) << c.Reply;
    }
}

class FtpFileOperTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("XDG_CONFIG_HOME", m_Config.Path.c_str(), 1); }
    TTempFolder m_Config;
    TTempFolder Local;
    TRecorder Recorder;
};

// The same files served by pyftpdlib (MLSD) and vsftpd (LIST) list as the same tree: names, kinds,
// 64-bit sizes, dates (to the minute, each server's UTC read alike in a zone with summer time) and
// paths, the root cut off the front only once.
TEST_F(FtpFileOperTest, MachineAndClassicListingsAgree) {
    TScopedEnv tz("TZ", "Europe/Berlin");
    ::tzset();
    ResetLocalTimeCache();
    TFtpServer mlsd, list;
    BFS_START_SERVER(mlsd, TServerKind::Pyftpdlib);
    BFS_START_SERVER(list, TServerKind::Vsftpd);
    const time_t when = (std::time(nullptr) - 3600) / 60 * 60;
    std::vector<std::string> trees[2];
    int i = 0;
    for (TFtpServer* server : {&mlsd, &list}) {
        const std::string root = server->Files + "/a";
        WriteAt(root + "/a/inner.txt", "inner", when);
        WriteAt(root + "/x y/.hidden", "h", when);
        WriteAt(root + "/top.txt", "top", when);
        std::filesystem::create_directories(root + "/ro");
        ::chmod((root + "/ro").c_str(), 0555);
        const TFd big(::open((root + "/big.bin").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        ASSERT_EQ(::ftruncate(big.Get(), 5LL << 30), 0);
        const timespec times[2] = {{when, 0}, {when, 0}};
        ::futimens(big.Get(), times);
        for (const char* folder : {"/a", "/ro", "/x y"})  // LIST tells the minute only
            ::utimensat(AT_FDCWD, (root + folder).c_str(), times, 0);
        server->Own(root);
        auto oper = FtpSide(*server, "/a");
        ASSERT_EQ(oper->Connect(), 0);
        ASSERT_EQ(oper->ListFolder(), 0);
        Describe(*oper->FFileTree, trees[i++]);
        EXPECT_EQ(oper->GetFileSize(oper->GetFullPath(*oper->FFolderSource, Entry("/", "big.bin"))),
                  5LL << 30);
        EXPECT_EQ(Child(*Child(*oper->FFileTree, "a"), "inner.txt")->Data->Path, "/a/");
        EXPECT_EQ(Child(*oper->FFileTree, "ro")->Data->IsFolder, 1);
    }
    EXPECT_EQ(trees[0], trees[1]);
    EXPECT_EQ(trees[0].size(), 7u);
    ::unsetenv("TZ");
    ::tzset();
    ResetLocalTimeCache();
}

// A folder the server will not open is unknown, not empty; the root likewise.
TEST_F(FtpFileOperTest, UnreadableFolderIsNotListed) {
    TFtpServer server;
    BFS_START_SERVER(server, TServerKind::Vsftpd);
    WriteAt(server.Files + "/r/ok/f.txt", "f", 1700000000);
    WriteAt(server.Files + "/r/locked/secret.txt", "s", 1700000000);
    server.Own(server.Files + "/r");
    ::chmod((server.Files + "/r/locked").c_str(), 0);
    auto oper = FtpSide(server, "/r");
    ASSERT_EQ(oper->Connect(), 0);
    EXPECT_EQ(oper->ListFolder(), 1);
    const TFileTree* locked = Child(*oper->FFileTree, "locked");
    ASSERT_NE(locked, nullptr);
    EXPECT_TRUE(locked->NotListed);
    EXPECT_TRUE(locked->Children.empty());
    EXPECT_EQ(ChildNames(*Child(*oper->FFileTree, "ok")), (std::vector<std::string>{"f.txt"}));

    auto inside = FtpSide(server, "/r/locked");
    ASSERT_EQ(inside->Connect(), 0);
    EXPECT_NE(inside->CheckFolder(), 0);
    EXPECT_EQ(inside->FailureText, "folder not found");
    EXPECT_EQ(inside->ListFolder(), 1);
    EXPECT_TRUE(inside->FFileTree->NotListed);
    EXPECT_TRUE(inside->FFileTree->Children.empty());
}

// A server gone in the middle of a listing: what was read stays, every folder still pending is
// marked NotListed and holds nothing.
TEST_F(FtpFileOperTest, ServerStoppedMidListing) {
    TFtpServer server;
    BFS_START_SERVER(server, TServerKind::Pyftpdlib);
    for (const char* f : {"a/1/x", "b/2/y", "c/3/z"}) WriteAt(server.Files + "/" + f, "data", 1700000000);
    auto oper = FtpSide(server, "");
    ASSERT_EQ(oper->Connect(), 0);
    int steps = 0;
    Recorder.OnMessage = [&](uint32_t Msg) {
        if (Msg == WM_UPDATEPROCESS && ++steps == 2) server.Stop();  // the second level begins
    };
    oper->NotifyWnd = &Recorder;
    EXPECT_EQ(oper->ListFolder(), 1);
    EXPECT_EQ(ChildNames(*oper->FFileTree), (std::vector<std::string>{"a", "b", "c"}));
    for (const auto& folder : oper->FFileTree->Children) {
        EXPECT_TRUE(folder->NotListed) << folder->Name;
        EXPECT_TRUE(folder->Children.empty()) << folder->Name;
    }
}

// Names the server could read as a second command, or as another folder, are refused before
// anything is sent; a listed name holding "\" is listed, and only its own copy fails.
TEST_F(FtpFileOperTest, DangerousNamesSendNothing) {
    TFtpServer server;
    BFS_START_SERVER(server, TServerKind::Pyftpdlib);
    WriteAt(server.Files + "/keep.txt", "keep", 1700000000);
    WriteAt(server.Files + "/a\\b.txt", "ab", 1700000000);
    WriteAt(server.Files + "/c.txt", "c", 1700000000);
    auto oper = FtpSide(server, "");
    ASSERT_EQ(oper->Connect(), 0);
    TFolderSource& side = *oper->FFolderSource;
    const std::string local = Local.Path + "/src";
    WriteDated(local, "x", 1700000000);
    for (const char* name : {"x\r\nDELE /keep.txt", "x\rDELE /keep.txt", "x\nRMD /", "a\\b.txt"}) {
        SCOPED_TRACE(name);
        const TFileAttri e = Entry("/", name, 1);
        TEntryState state;
        EXPECT_NE(oper->DeleteFile(side, e, false), 0);
        EXPECT_NE(oper->PutFile(local, side, e, 0, false), 0);
        EXPECT_NE(oper->MakeDir(std::string("/") + name), 0);
        EXPECT_NE(oper->GetEntryState(side, e, state), 0);
        EXPECT_NE(
            oper->RenameFile(oper->GetFullPath(side, Entry("/", "keep.txt")), oper->GetFullPath(side, e)), 0);
    }
    EXPECT_TRUE(FileExists(server.Files + "/keep.txt"));

    ASSERT_EQ(oper->ListFolder(), 0);
    EXPECT_EQ(ChildNames(*oper->FFileTree), (std::vector<std::string>{"a\\b.txt", "c.txt", "keep.txt"}));
    EXPECT_NE(oper->GetFile(Local.Path + "/ab", side, Entry("/", "a\\b.txt", 2), 0, false), 0);
    EXPECT_FALSE(FileExists(Local.Path + "/ab"));
    EXPECT_EQ(oper->GetFile(Local.Path + "/c", side, Entry("/", "c.txt", 1), 0, false), 0);
}

// A download that is not whole never touches the target, and leaves nothing beside it.
TEST_F(FtpFileOperTest, FailedDownloadLeavesTheTarget) {
    TFtpServer server;
    BFS_START_SERVER(server, TServerKind::Pyftpdlib);
    WriteAt(server.Files + "/f.txt", "server", 1700000000);
    auto oper = FtpSide(server, "");
    ASSERT_EQ(oper->Connect(), 0);
    const std::string target = Local.Path + "/t.txt";
    WriteDated(target, "local", 1700000000);
    TFolderSource& side = *oper->FFolderSource;
    EXPECT_EQ(oper->GetFile(target, side, Entry("/", "f.txt", 5), 0, false), RESULT_SOURCE_CHANGED);
    server.Stop();
    EXPECT_NE(oper->GetFile(target, side, Entry("/", "f.txt", 6), 0, false), 0);
    EXPECT_NE(oper->BackupFile(side, Entry("/", "f.txt", 6)), 0);
    std::string read;
    ReadWholeFile(target, read);
    EXPECT_EQ(read, "local");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Local.Path), {}), 1);
}

// What Connect and CheckFolder tell about a side, and that no password shows in it.
TEST_F(FtpFileOperTest, ConnectTellsWhatWentWrong) {
    TFtpServer greeter, server;
    BFS_START_SERVER(greeter, TServerKind::Vsftpd, "Welcome");
    BFS_START_SERVER(server, TServerKind::Pyftpdlib);
    auto welcome = FtpSide(greeter, "");
    EXPECT_EQ(welcome->Connect(), 0);
    EXPECT_EQ(welcome->InfoText, "FTP: Welcome");
    EXPECT_EQ(welcome->CheckFolder(), 0);

    auto unconnected = FtpSide(server, "");
    EXPECT_EQ(unconnected->GetFileSize(server.Address("/x")), -1);
    TEntryState state;
    EXPECT_NE(unconnected->GetEntryState(*unconnected->FFolderSource, Entry("/", "x"), state), 0);

    auto wrongKind = FtpSide(server, "");
    wrongKind->FFolderSource->DeviceType = DEVICE_LOCAL;
    EXPECT_EQ(wrongKind->Connect(), -2);

    const struct {
        std::string Address, Password, Failure;
        bool Connects;
    } cases[] = {
        {server.Address("/missing"), FTP_PASS, "folder not found", true},
        {server.Address(""), "wrong-secret", "log-on refused", false},
        {"ftp://127.0.0.1:" + std::to_string(FreePort()), "wrong-secret", "server not reachable", false},
        {" ", FTP_PASS, "no server named in the address", false},
        {"ftp:///data", FTP_PASS, "no server named in the address", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Address);
        auto oper = CreateFtpFileOper(false);
        oper->FFolderSource->DeviceType = DEVICE_FTP;
        oper->FFolderSource->FolerAllName = c.Address;
        oper->FFolderSource->UserName = FTP_USER;
        oper->FFolderSource->PWD = c.Password;
        EXPECT_EQ(oper->Connect() == 0, c.Connects);
        if (c.Connects) {
            EXPECT_NE(oper->CheckFolder(), 0);
        }
        EXPECT_EQ(oper->FailureText, c.Failure);
        EXPECT_EQ(oper->InfoText.find(c.Password), std::string::npos);
    }
}

TEST_F(FtpFileOperTest, BrowsesSubfolders) {
    TFtpServer server;
    BFS_START_SERVER(server, TServerKind::Pyftpdlib);
    WriteAt(server.Files + "/d/b/f", "f", 1700000000);
    WriteAt(server.Files + "/d/A/f", "f", 1700000000);
    WriteAt(server.Files + "/d/file", "f", 1700000000);
    auto oper = FtpSide(server, "");
    ASSERT_EQ(oper->Connect(), 0);
    IFtpBrowser* browser = FtpBrowserOf(*oper);
    ASSERT_NE(browser, nullptr);
    const std::vector<TFileAttri> folders = browser->ListSubfolders(server.Address("/d"));
    ASSERT_EQ(folders.size(), 2u);
    EXPECT_EQ(folders[0].Name, "A");
    EXPECT_EQ(folders[1].Path, "/d/b/");
    EXPECT_TRUE(browser->ListSubfolders("/none").empty());
    TFolderSource other = *oper->FFolderSource;
    EXPECT_EQ(browser->SameServer(other), 0);
    other.PWD = "other";
    EXPECT_EQ(browser->SameServer(other), 1);
}

// A two-way sync's traffic in one folder on one back-end object: each download is followed by an
// upload to a temporary name that takes its name by a replace (the file just downloaded) or a
// rename (a new file). Downloads carry the server's time as its listing tells it: MLSD to the
// second; a classic listing to the minute, a file listed by day and year only as well.
TEST_F(FtpFileOperTest, DownloadsAndUploadsInterleave) {
    TScopedEnv tz("TZ", "America/New_York");
    ::tzset();
    ResetLocalTimeCache();
    // Odd seconds, which a date rounded to DOS precision would lose.
    const time_t recent = std::time(nullptr) / 2 * 2 - 3 * 86400 + 17, old = recent - 400 * 86400;
    for (const TServerKind kind : {TServerKind::Pyftpdlib, TServerKind::Vsftpd}) {
        TFtpServer server;
        BFS_START_SERVER(server, kind);
        for (int i = 0; i < 6; ++i)
            WriteAt(server.Files + "/d/in" + std::to_string(i), "in", i % 2 ? old : recent);
        server.Own(server.Files + "/d");
        auto oper = FtpSide(server, "");
        ASSERT_EQ(oper->Connect(), 0);
        ASSERT_EQ(oper->ListFolder(), 0);
        TFolderSource& side = *oper->FFolderSource;
        for (int i = 0; i < 6; ++i) {
            SCOPED_TRACE(std::to_string(i) + (kind == TServerKind::Vsftpd ? " LIST" : " MLSD"));
            const std::string name = "in" + std::to_string(i), local = Local.Path + "/" + name;
            const TFileAttri& listed = *Child(*Child(*oper->FFileTree, "d"), name)->Data;
            const time_t sent = i % 2 ? old : recent,
                         shown = kind == TServerKind::Vsftpd ? sent / 60 * 60 : sent;
            EXPECT_EQ(listed.FileDate, UnixTimeToDosDate(shown));
            ASSERT_EQ(oper->GetFile(local, side, listed, 0, false), 0);
            struct stat st {};
            ASSERT_EQ(::stat(local.c_str(), &st), 0);
            EXPECT_EQ(st.st_mtim.tv_sec, shown);

            WriteDated(local, "fresh", 1700000000);
            const TFileAttri target =
                Entry("/d/", i < 3 ? name : "out" + std::to_string(i), 5, UnixTimeToDosDate(1700000000));
            const TFileAttri temp = oper->TempEntryFor(target);
            const std::string from = oper->GetFullPath(side, temp), to = oper->GetFullPath(side, target);
            ASSERT_EQ(oper->PutFile(local, side, temp, 0, false), 0);
            EXPECT_EQ(oper->GetFileSize(from), 5);
            EXPECT_EQ(i < 3 ? oper->ReplaceFile(from, to) : oper->RenameFile(from, to), 0);
            TEntryState state;
            EXPECT_EQ(oper->GetEntryState(side, target, state), 0);
            EXPECT_TRUE(state.Exists && state.Size == 5);
        }
    }
    ::unsetenv("TZ");
    ::tzset();
    ResetLocalTimeCache();
}

// What the connection learnt of a folder spares the rows that follow a listing each, but a file
// another client changes is seen as it now is once a moment has passed: a check before an overwrite
// or a deletion never rests on an old look.
TEST_F(FtpFileOperTest, KnowledgeOfAFolderIsTrustedOnlyForAMoment) {
    RequireFtpServer(TServerKind::Pyftpdlib);
    TFtpServer server;
    BFS_START_SERVER(server, TServerKind::Pyftpdlib);
    WriteAt(server.Files + "/d/a", "one", 1700000000);
    WriteAt(server.Files + "/d/b", "two", 1700000000);
    auto oper = FtpSide(server, "");
    ASSERT_EQ(oper->Connect(), 0);
    TFolderSource& side = *oper->FFolderSource;
    const auto sizeOf = [&](const char* Name) {
        TEntryState state;
        EXPECT_EQ(oper->GetEntryState(side, Entry("/d/", Name), state), 0);
        return state.Exists ? state.Size : -1;
    };
    EXPECT_EQ(sizeOf("a"), 3);
    WriteAt(server.Files + "/d/a", "changed", 1700000100);  // another client's write
    ::unlink((server.Files + "/d/b").c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ(sizeOf("a"), 7);
    EXPECT_EQ(sizeOf("b"), -1);
}

// A file that a replace stepped aside and never deleted takes its name back at the next listing
// when nothing holds that name; otherwise it goes as a leftover. At the top of the marker folder,
// which holds no user's file, a saved state an earlier version stepped aside takes its name back
// too, but is never removed.
TEST_F(FtpFileOperTest, ListingGivesAsidesTheirNamesBack) {
    TFtpServer server;
    BFS_START_SERVER(server, TServerKind::Pyftpdlib);
    WriteAt(server.Files + "/d/" + AsideName("f"), "old f", 1700000000);
    WriteAt(server.Files + "/d/" + AsideName("g"), "old g", 1700000000);
    WriteAt(server.Files + "/d/g", "new g", 1700000000);
    const std::string marker = server.Files + "/" + MARKER_FOLDER + "/";
    for (const char* name : {".~bfs.r.T1", ".~bfs.r.T2", "T2"}) WriteAt(marker + name, name, 1700000000);
    auto oper = FtpSide(server, "");
    ASSERT_EQ(oper->Connect(), 0);
    ASSERT_EQ(oper->ListFolder(), 0);
    EXPECT_EQ(ChildNames(*Child(*oper->FFileTree, "d")), (std::vector<std::string>{"f", "g"}));
    std::string f, g;
    ReadWholeFile(server.Files + "/d/f", f);
    ReadWholeFile(server.Files + "/d/g", g);
    EXPECT_EQ(f + "|" + g, "old f|new g");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(server.Files + "/d"), {}), 2);
    std::string t1;
    ReadWholeFile(marker + "T1", t1);
    EXPECT_EQ(t1, ".~bfs.r.T1");
    EXPECT_TRUE(std::filesystem::exists(marker + ".~bfs.r.T2") &&
                !std::filesystem::exists(marker + ".~bfs.r.T1"));
}

// Against the quirks above: a replace whose upload cannot take the name leaves the old file as it
// was; an entry counts only under its exact name; a download whose data stops fails soon.
TEST_F(FtpFileOperTest, ServerQuirks) {
    TFtpServer server;
    RequireFtpServer(TServerKind::Pyftpdlib);
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(StartQuirky(server));
    WriteAt(server.Files + "/x/f", "old", 1700000000);
    WriteAt(server.Files + "/stall.bin", std::string(65536, 's'), 1700000000);
    auto oper = FtpSide(server, "");
    ASSERT_EQ(oper->Connect(), 0);
    TFolderSource& side = *oper->FFolderSource;
    const std::string f = oper->GetFullPath(side, Entry("/x/", "f"));
    EXPECT_NE(oper->ReplaceFile(oper->GetFullPath(side, Entry("/x/", NewReservedName())), f), 0);
    std::string read;
    ReadWholeFile(server.Files + "/x/f", read);
    EXPECT_EQ(read, "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(server.Files + "/x"), {}), 1);

    WriteDated(Local.Path + "/a", "a", 1700000000);
    ASSERT_EQ(
        oper->PutFile(Local.Path + "/a", side, Entry("/", "a ", 1, UnixTimeToDosDate(1700000000)), 0, false),
        0);
    ASSERT_TRUE(FileExists(server.Files + "/a"));  // stored as "a"
    for (const TFileAttri& e : {Entry("/", "a "), Entry("/x /", "f"), Entry("/x/", "f")}) {
        TEntryState state;
        EXPECT_EQ(oper->GetEntryState(side, e, state), 0);
        EXPECT_EQ(state.Exists, e.Name == "f" && e.Path == "/x/") << e.Path.str() << e.Name;
    }
    // A rename onto "a " would land on "a" here: refused while "a" is there.
    WriteAt(server.Files + "/t", "t", 1700000000);
    EXPECT_NE(
        oper->RenameFile(oper->GetFullPath(side, Entry("/", "t")), oper->GetFullPath(side, Entry("/", "a "))),
        0);
    ReadWholeFile(server.Files + "/a", read);
    EXPECT_EQ(read, "a");

    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(oper->GetFile(Local.Path + "/s", side, Entry("/", "stall.bin", 65536), 0, false), 0);
    // Generous: the point is that a stalled transfer ends at all, well before the 60 s time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40));
    EXPECT_FALSE(FileExists(Local.Path + "/s"));
    EXPECT_EQ(oper->GetFile(Local.Path + "/f", side, Entry("/x/", "f", 3), 0, false), 0);
}

// A server listing in the DOS form reads like any other: its times are UTC, a download takes the
// time the listing shows. A folder with a line that cannot be read is not listed, and says which
// line in the error log and as the folder's reason; the rest of the tree is.
TEST_F(FtpFileOperTest, DosListingsAndUnreadableLines) {
    TScopedEnv tz("TZ", "Europe/Berlin");
    ::tzset();
    ResetLocalTimeCache();
    TFtpServer server;
    RequireFtpServer(TServerKind::Pyftpdlib);
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(StartQuirky(server, DOS_SERVER));
    const time_t when = 1796649360;  // 2026-12-07 13:16 UTC
    WriteAt(server.Files + "/r/sub/in.txt", "inner", when);
    WriteAt(server.Files + "/r/top.txt", "top", when);
    WriteAt(server.Files + "/r/bad/garbled", "g", when);
    WriteAt(server.Files + "/r/bad/seen", "s", when);
    const timespec times[2] = {{when, 0}, {when, 0}};
    for (const char* folder : {"/r/sub", "/r/bad"})
        ::utimensat(AT_FDCWD, (server.Files + folder).c_str(), times, 0);
    const std::string log = TMyException::LogFileName();
    ::unlink(log.c_str());
    auto oper = FtpSide(server, "/r");
    ASSERT_EQ(oper->Connect(), 0);
    EXPECT_EQ(oper->ListFolder(), 1);
    std::vector<std::string> tree;
    Describe(*oper->FFileTree, tree);
    const std::string date = std::to_string(UnixTimeToDosDate(when));
    EXPECT_EQ(tree, (std::vector<std::string>{"/bad/ " + date + " not listed", "/sub/ " + date,
                                              "/sub/in.txt 5 " + date, "/top.txt 3 " + date}));
    std::string errors;
    ReadWholeFile(log, errors);
    EXPECT_NE(errors.find("/r/bad/"), std::string::npos) << errors;
    EXPECT_NE(errors.find("Dez 07 13:16 lost"), std::string::npos) << errors;
    // The same reason goes with the folder, for the analysis to name.
    EXPECT_NE(oper->NotListedReason(*Child(*oper->FFileTree, "bad")).find("Dez 07 13:16 lost"),
              std::string::npos);

    const TFileAttri& top = *Child(*oper->FFileTree, "top.txt")->Data;
    ASSERT_EQ(oper->GetFile(Local.Path + "/top.txt", *oper->FFolderSource, top, 0, false), 0);
    struct stat st {};
    ASSERT_EQ(::stat((Local.Path + "/top.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, when);
    ::unsetenv("TZ");
    ::tzset();
    ResetLocalTimeCache();
}

// A log-on refused when the connection is made again names itself as the failing row's reason; an
// upload whose last reply never comes fails as soon as a stalled data connection would.
TEST_F(FtpFileOperTest, RefusedLogOnAndSilentServer) {
    TFtpServer server;
    RequireFtpServer(TServerKind::Pyftpdlib);
    if (IsSkipped() || HasFatalFailure()) return;
    const TTempFolder flags;
    TScopedEnv env("BFS_FTP_FLAGS", flags.Path);
    ASSERT_TRUE(StartQuirky(server, DOS_SERVER));
    WriteAt(server.Files + "/f", "f", 1700000000);
    auto oper = FtpSide(server, "");
    ASSERT_EQ(oper->Connect(), 0);
    TFolderSource& side = *oper->FFolderSource;

    WriteDated(Local.Path + "/hang", "hang", 1700000000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(oper->PutFile(Local.Path + "/hang", side, Entry("/", "hang", 4, UnixTimeToDosDate(1700000000)),
                            0, false),
              0);
    // Generous: the point is that it ends well before the minute libcurl would wait.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40));
    EXPECT_TRUE(oper->FailureText.empty());

    std::ofstream(flags.Path + "/refuse") << "";
    int32_t result = 0;
    for (int i = 0; i < 2 && oper->FailureText.empty(); ++i) {
        TEntryState state;
        result = oper->GetEntryState(side, Entry("/", "f"), state);
    }
    EXPECT_NE(result, 0);
    EXPECT_EQ(oper->FailureText, "log-on refused");
}

}  // namespace
}  // namespace bfs::test
