// Listings that read several folders at once: the shared worker queue on folders of its own, then
// the FTP and WebDAV back-ends against their real servers, each compared with a local listing of
// the folder the server serves.

#include "common/TestServers.h"
#include "model/UTConsts.h"
#include "storage/UTFtpFileOper.h"
#include "storage/UTStorageCommon.h"
#include "storage/UTWebDavFileOper.h"
#include "storage/UTWinFileOper.h"
#include "tests/storage/ContractTest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace bfs::test {
namespace {

// ---- The worker queue on a made-up tree --------------------------------------------------------

// A tree of folders by path: each folder's files and sub-folders, in the order a server gives them.
struct TFakeFolder {
    std::vector<std::string> Files, Folders;
};
using TFakeTree = std::map<std::string, TFakeFolder>;

// Three levels, uneven: wide at the top, one deep branch, empty folders.
TFakeTree MakeFakeTree() {
    TFakeTree tree;
    for (int i = 0; i < 12; ++i) {
        const std::string name = "d" + std::to_string(11 - i);  // not in listing order
        tree["/"].Folders.push_back(name);
        tree["/"].Files.push_back("f" + std::to_string(i));
        TFakeFolder& folder = tree["/" + name + "/"];
        for (int k = 0; k < i % 4; ++k) folder.Files.push_back("x" + std::to_string(k));
        if (i % 3 == 0) {
            folder.Folders.push_back("deep");
            tree["/" + name + "/deep/"].Files = {"y"};
        }
    }
    return tree;
}

// Reads a folder of Tree into its node, sleeping a little so that workers overlap.
TFolderRead ReadFake(const TFakeTree& Tree, const TPendingFolder& Item, std::vector<TPendingFolder>& Sub) {
    std::this_thread::sleep_for(std::chrono::microseconds(200 + (Item.Folder.size() * 37) % 500));
    const TFakeFolder& folder = Tree.at(Item.Folder);
    for (const std::string& name : folder.Folders) {
        TFileAttri a;
        a.Name = name;
        a.IsFolder = 1;
        a.Path = Item.Rel;
        TFileTree* child = Item.Node->AddChild(std::move(a));
        Sub.push_back({Item.Folder + name + "/", child, TSharedString(Item.Rel.str() + name + "/")});
    }
    for (const std::string& name : folder.Files) {
        TFileAttri a;
        a.Name = name;
        a.Path = Item.Rel;
        Item.Node->AddChild(std::move(a));
    }
    return TFolderRead::Read;
}

// Paths and names in the tree's own order (not sorted), with the NotListed marks.
void Lines(const TFileTree& Node, std::vector<std::string>& Out) {
    for (const auto& c : Node.Children) {
        Out.push_back(c->Data->Path.str() + c->Name + (c->NotListed ? " not listed" : ""));
        Lines(*c, Out);
    }
}

// Nothing lost, nothing made up: every line of Listed (its marks aside) is one of Full's, and every
// line of Full is in Listed unless a folder above it is marked NotListed there. Folder lines are
// "/path/name" or "/path/name/", their entries' lines begin with "/path/name/".
void ExpectWholeOrMarked(const std::vector<std::string>& Full, const std::vector<std::string>& Listed) {
    constexpr std::string_view MARK = " not listed";
    std::vector<std::string> marked, unmarked;
    for (const std::string& line : Listed) {
        if (line.ends_with(MARK)) {
            marked.push_back(line.substr(0, line.size() - MARK.size()));
            unmarked.push_back(marked.back());
        } else {
            unmarked.push_back(line);
        }
    }
    for (const std::string& line : unmarked)
        EXPECT_NE(std::find(Full.begin(), Full.end(), line), Full.end()) << line;
    for (const std::string& line : Full) {
        bool below = false;
        for (const std::string& m : marked)
            below = below || (line != m && line.starts_with(m.ends_with('/') ? m : m + "/"));
        EXPECT_TRUE(below || std::find(unmarked.begin(), unmarked.end(), line) != unmarked.end()) << line;
    }
}

struct TFakeRun {
    TFileTreeRef Root = MakeRef<TFileTree>();
    bool Complete = false;
    int Progress = 0;
    int MostAtOnce = 0;
    std::vector<std::string> Tree;
};

// Lists on Workers workers; Read decides each folder's fate (by its path and whether the
// reader is the caller's).
TFakeRun RunFake(
    size_t Workers, int32_t Steps,
    const std::function<TFolderRead(const TPendingFolder&, std::vector<TPendingFolder>&, bool)>& Read,
    const std::function<bool()>& Stopped = [] { return false; }) {
    TFakeRun run;
    std::atomic<int> atOnce{0}, most{0};
    const auto reader = [&](bool First) -> TFolderReader {
        return [&, First](const TPendingFolder& Item, std::vector<TPendingFolder>& Sub) {
            const int now = ++atOnce;
            for (int m = most; now > m && !most.compare_exchange_weak(m, now);) {
            }
            const TFolderRead result = Read(Item, Sub, First);
            --atOnce;
            return result;
        };
    };
    run.Complete = ListFoldersInParallel(
        {"/", run.Root.get(), TSharedString("/")}, Workers, Steps, reader(true),
        [&] { return reader(false); }, Stopped, [&] { ++run.Progress; });
    run.MostAtOnce = most;
    Lines(*run.Root, run.Tree);
    return run;
}

TEST(ParallelListingTest, SameTreeInSameOrderWhateverTheWorkers) {
    const TFakeTree tree = MakeFakeTree();
    const auto read = [&](const TPendingFolder& Item, std::vector<TPendingFolder>& Sub, bool) {
        return ReadFake(tree, Item, Sub);
    };
    const TFakeRun alone = RunFake(1, 20, read);
    ASSERT_TRUE(alone.Complete);
    EXPECT_EQ(alone.Tree.size(), 12u * 2 + 18 + 4 + 4);
    EXPECT_EQ(alone.MostAtOnce, 1);
    struct TRow {
        size_t Workers;
        int32_t Steps;
        int Progress;  // one per level, at most Steps
    } rows[] = {{1, 2, 2}, {2, 20, 3}, {4, 20, 3}, {8, 1, 1}, {0, 20, 3}};
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Workers);
        const TFakeRun run = RunFake(row.Workers, row.Steps, read);
        EXPECT_TRUE(run.Complete);
        EXPECT_EQ(run.Tree, alone.Tree);
        EXPECT_EQ(run.Progress, row.Progress);
        EXPECT_LE(run.MostAtOnce, static_cast<int>(std::max<size_t>(row.Workers, 1)));
    }
    EXPECT_GT(RunFake(4, 20, read).MostAtOnce, 1);  // they did overlap
}

// What a failure costs: a refused folder only itself; a lost connection everything not yet read;
// a worker that cannot get in nothing at all.
TEST(ParallelListingTest, FailuresMarkWhatWasNotRead) {
    const TFakeTree tree = MakeFakeTree();
    TFakeRun full = RunFake(1, 20, [&](const TPendingFolder& I, std::vector<TPendingFolder>& S, bool) {
        return ReadFake(tree, I, S);
    });
    const auto readExcept = [&](const std::string& Bad, TFolderRead Result, bool AllWorkers) {
        return [&tree, Bad, Result, AllWorkers](const TPendingFolder& I, std::vector<TPendingFolder>& S,
                                                bool First) {
            if (I.Folder == Bad && (AllWorkers || !First)) return Result;
            return ReadFake(tree, I, S);
        };
    };
    for (const size_t workers : {1, 4}) {
        SCOPED_TRACE(workers);
        // Refused: that folder is NotListed and empty, all else is there.
        TFakeRun run = RunFake(workers, 20, readExcept("/d8/", TFolderRead::Refused, true));
        EXPECT_FALSE(run.Complete);
        std::vector<std::string> expected;
        for (const std::string& line : full.Tree) {
            if (line == "/d8")
                expected.push_back("/d8 not listed");
            else if (!line.starts_with("/d8/"))
                expected.push_back(line);
        }
        EXPECT_EQ(run.Tree, expected);

        // Handed back by every further worker: the caller's reads it, nothing is lost.
        run = RunFake(workers, 20, readExcept("/d3/", TFolderRead::HandBack, false));
        EXPECT_TRUE(run.Complete);
        EXPECT_EQ(run.Tree, full.Tree);

        // Given up at the deep branch: no folder is both unmarked and unread.
        run = RunFake(workers, 20, readExcept("/d11/deep/", TFolderRead::GiveUp, true));
        EXPECT_FALSE(run.Complete);
        ExpectWholeOrMarked(full.Tree, run.Tree);
        EXPECT_NE(std::find(run.Tree.begin(), run.Tree.end(), "/d11/deep not listed"), run.Tree.end());
    }
}

// ---- The back-ends on their real servers -------------------------------------------------------

// Writes a tree of 32 folders in two levels below Root (some empty, two names with a blank), with
// files of several sizes.
void WriteTree(const std::string& Root) {
    namespace fs = std::filesystem;
    for (int i = 0; i < 8; ++i) {
        const std::string top = Root + "/t" + std::to_string(i);
        fs::create_directories(top + "/empty");
        for (int k = 0; k < 2; ++k) {
            const std::string sub = top + "/s" + std::to_string(k) + (k ? " x" : "");
            fs::create_directories(sub);
            for (int f = 0; f < 3 + i; ++f)
                WriteDated(sub + "/f" + std::to_string(f) + ".txt", std::string(f * 7 + i, 'a'), 1700000000);
        }
        WriteDated(top + "/top.bin", std::string(i * 100, 'b'), 1700000000);
    }
}

// Names, kinds, sizes and paths, in listing order; NotListed marked.
void Describe(const TFileTree& Node, std::vector<std::string>& Out) {
    for (const auto& c : Node.Children) {
        const TFileAttri& a = *c->Data;
        Out.push_back(a.Path.str() + a.Name + (a.IsFolder ? "/" : " " + std::to_string(a.Size)) +
                      (c->NotListed ? " not listed" : ""));
        Describe(*c, Out);
    }
}

std::vector<std::string> LocalListing(const std::string& Folder) {
    auto local = CreateWinFileOper(false);
    local->FFolderSource->DeviceType = DEVICE_LOCAL;
    local->FFolderSource->FolerAllName = Folder;
    std::vector<std::string> lines;
    EXPECT_EQ(local->ListFolder(), 0);
    Describe(*local->FFileTree, lines);
    return lines;
}

// A server started for a test: Served is the folder it serves as "/r", Make a side whose root
// is that folder, Own gives the folder's content to the account the server runs as.
struct TStarted {
    std::string Served;
    std::function<std::unique_ptr<TFileOper>()> Make;  // empty: skipped or failed, already reported
    std::function<void()> Own;
    std::shared_ptr<void> Keep;
};

struct TServerCase {
    const char* Name;
    void (*Start)(TStarted& Out);
    bool ModesStopReads;  // the server runs as the account, so a folder of mode 000 is unreadable
};

std::unique_ptr<TFileOper> Side(int Kind, const std::string& Address, const char* User, const char* Pass) {
    auto oper = Kind == DEVICE_FTP ? CreateFtpFileOper(false) : CreateWebDavFileOper(false);
    oper->FFolderSource->DeviceType = Kind;
    oper->FFolderSource->FolerAllName = Address;
    oper->FFolderSource->UserName = User;
    oper->FFolderSource->PWD = Pass;
    return oper;
}

void StartFtp(TServerKind Kind, TStarted& Out) {
    if (Kind == TServerKind::Pyftpdlib) {
        BFS_REQUIRE_PROGRAM(PYTHON);
    } else {
        BFS_REQUIRE_PROGRAM(VSFTPD);
        if (::geteuid() != 0) GTEST_SKIP() << "vsftpd needs root to serve an account";
    }
    auto server = std::make_shared<TFtpServer>();
    if (!server->Start(Kind)) {
        ADD_FAILURE() << "the FTP server did not start";
        return;
    }
    Out.Served = server->Files + "/r";
    Out.Make = [server] { return Side(DEVICE_FTP, server->Address("/r"), FTP_USER, FTP_PASS); };
    Out.Own = [server] { server->Own(server->Files + "/r"); };
    Out.Keep = server;
}

void StartDav(TDavKind Kind, TStarted& Out) {
    BFS_REQUIRE_PROGRAM(HTPASSWD);
    if (Kind == TDavKind::Rclone) {
        BFS_REQUIRE_PROGRAM(RCLONE);
    } else {
        BFS_REQUIRE_PROGRAM(APACHE2);
        if (::geteuid() != 0) GTEST_SKIP() << "apache2 needs root to serve as www-data";
    }
    auto server = std::make_shared<TWebDavServer>();
    if (!server->Start(Kind)) {
        ADD_FAILURE() << "the WebDAV server did not start";
        return;
    }
    Out.Served = server->Files + "/r";
    Out.Make = [server] { return Side(DEVICE_WEBDAV, server->Address("/r"), DAV_USER, DAV_PASS); };
    Out.Own = [server] { server->Own(server->Files + "/r"); };
    Out.Keep = server;
}

const TServerCase SERVERS[] = {
    {"pyftpdlib", [](TStarted& Out) { StartFtp(TServerKind::Pyftpdlib, Out); }, false},
    {"vsftpd", [](TStarted& Out) { StartFtp(TServerKind::Vsftpd, Out); }, true},
    {"rclone", [](TStarted& Out) { StartDav(TDavKind::Rclone, Out); }, false},
    {"apache", [](TStarted& Out) { StartDav(TDavKind::Apache, Out); }, true},
};

// Starts the case's server and writes the tree below its folder; false when the test is to end.
bool StartWithTree(const TServerCase& Case, TStarted& Out) {
    Case.Start(Out);
    if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure() || !Out.Make) return false;
    WriteTree(Out.Served);
    Out.Own();
    return true;
}

void PrintTo(const TServerCase& Case, std::ostream* Out) {
    *Out << Case.Name;
}

class ParallelServerTest : public ::testing::TestWithParam<TServerCase> {};

// The listing read on several connections is the tree a local listing of the served folder gives,
// entry for entry and in the same order; with a folder the server cannot read, that folder alone is
// NotListed and the rest is all there.
TEST_P(ParallelServerTest, ListsTheSameTreeAndMarksWhatItCannotRead) {
    TStarted server;
    if (!StartWithTree(GetParam(), server)) return;
    const std::string served = server.Served;
    const auto make = server.Make;
    const std::vector<std::string> expected = LocalListing(served);
    ASSERT_EQ(expected.size(), 8u * 5 + 2 * (3 + 4 + 5 + 6 + 7 + 8 + 9 + 10));
    for (int round = 0; round < 2; ++round) {
        auto oper = make();
        ASSERT_EQ(oper->Connect(), 0);
        EXPECT_EQ(oper->ListFolder(), 0);
        EXPECT_TRUE(oper->ListComplete());
        std::vector<std::string> listed;
        Describe(*oper->FFileTree, listed);
        EXPECT_EQ(listed, expected);
    }
    if (!GetParam().ModesStopReads) return;
    ASSERT_EQ(::chmod((served + "/t5/s1 x").c_str(), 0), 0);
    auto oper = make();
    ASSERT_EQ(oper->Connect(), 0);
    EXPECT_EQ(oper->ListFolder(), 1);
    std::vector<std::string> listed, want;
    Describe(*oper->FFileTree, listed);
    for (const std::string& line : expected) {
        if (line == "/t5/s1 x/")
            want.push_back(line + " not listed");
        else if (!line.starts_with("/t5/s1 x/"))
            want.push_back(line);
    }
    EXPECT_EQ(listed, want);
    ::chmod((served + "/t5/s1 x").c_str(), 0755);
}

// A stop while several folders are being read ends the listing promptly; whatever it did not read
// is NotListed, and every folder not so marked holds exactly what the server has.
TEST_P(ParallelServerTest, StopDuringTheListingEndsItPromptly) {
    TStarted server;
    if (!StartWithTree(GetParam(), server)) return;
    const std::string served = server.Served;
    const auto make = server.Make;
    const std::vector<std::string> expected = LocalListing(served);
    auto oper = make();
    ASSERT_EQ(oper->Connect(), 0);
    TRecorder recorder;
    int steps = 0;
    recorder.OnMessage = [&](uint32_t Msg) {  // the last level begins while the one above is read
        if (Msg == WM_UPDATEPROCESS && ++steps == 3) oper->Stop();
    };
    oper->NotifyWnd = &recorder;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(oper->ListFolder(), 1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_FALSE(oper->ListComplete());
    std::vector<std::string> listed;
    Describe(*oper->FFileTree, listed);
    ExpectWholeOrMarked(expected, listed);
    EXPECT_NE(std::find_if(listed.begin(), listed.end(),
                           [](const std::string& L) { return L.ends_with(" not listed"); }),
              listed.end());
}

INSTANTIATE_TEST_SUITE_P(Servers, ParallelServerTest, ::testing::ValuesIn(SERVERS),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
}  // namespace bfs::test
