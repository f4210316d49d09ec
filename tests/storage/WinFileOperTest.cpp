#include "common/Snapshot.h"
#include "common/Unprivileged.h"
#include "model/UTConsts.h"
#include "model/UTDosTime.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTLocalRoot.h"
#include "storage/UTWinFileOper.h"
#include "tests/storage/ContractTest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace bfs::test {
namespace {

TContractSide MakeLocalSide() {
    auto folder = std::make_shared<TTempFolder>();
    TContractSide side;
    side.Oper = CreateWinFileOper(false);
    side.Dispose = [folder]() mutable { folder.reset(); };
    side.Oper->FFolderSource->DeviceType = DEVICE_LOCAL;
    side.Oper->FFolderSource->FolerAllName = folder->Path;
    side.HoldLock = [](const std::string& Path) -> std::shared_ptr<void> {
        const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(fd >= 0 ? ::flock(fd, LOCK_EX) : -1, 0) << Path;
        return std::shared_ptr<int>(new int(fd), [](int* Fd) { ::close(*Fd), delete Fd; });
    };
    return side;
}

const bool g_LocalContract = (RegisterFileOperContract("Local", MakeLocalSide), true);

constexpr int64_t MIB = 1048576;

class WinFileOperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::chmod(m_Temp.Path.c_str(), 0755);
        Root = m_Temp.Path + "/root";
        ::mkdir(Root.c_str(), 0755);
        // An error log that the unprivileged listing below may write too.
        const std::string config = m_Temp.Path + "/config";
        ::mkdir(config.c_str(), 0777);
        ::mkdir((config + "/bramlow-file-sync").c_str(), 0777);
        ::chmod((config + "/bramlow-file-sync").c_str(), 0777);
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        Oper = CreateWinFileOper(false);
        Oper->FFolderSource->FolerAllName = Root;
        Oper->NotifyWnd = &Recorder;
    }

    void Write(const std::string& Rel, const std::string& Content, time_t MTime = 1700000000) {
        const std::string path = Root + "/" + Rel;
        MakeFolders(path.substr(0, path.rfind('/')));
        ASSERT_EQ(WriteFileAtomic(path, Content), 0);
        const timespec times[2] = {{MTime, 0}, {MTime, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
    void Folder(const std::string& Rel) { ASSERT_EQ(MakeFolders(Root + "/" + Rel), 0); }
    std::string ErrorLog() {
        std::string log;
        ReadWholeFile(m_Temp.Path + "/config/bramlow-file-sync/ErrorInfo.txt", log);
        return log;
    }
    TFolderSource& Side() { return *Oper->FFolderSource; }
    std::string FullPath(const std::string& Path, const std::string& Name) {
        return Oper->GetFullPath(Side(), Entry(Path, Name));
    }

    TTempFolder m_Temp;
    std::string Root;
    TRecorder Recorder;
    std::unique_ptr<TFileOper> Oper;
};

TEST_F(WinFileOperTest, ListsEntriesWithPathsAndAttributes) {
    Write("a.txt", "hello");
    Write("Sub/b.txt", "b");
    Write(".hidden", "");
    Write("ro.txt", "r");
    ::chmod((Root + "/ro.txt").c_str(), 0444);
    // The root text may carry a trailing "/"; the entries come out the same.
    for (const std::string& root : {Root, Root + "/"}) {
        SCOPED_TRACE(root);
        Side().FolerAllName = root;
        ASSERT_EQ(Oper->ListFolder(), 0);
        const TFileTree& tree = *Oper->FFileTree;
        ASSERT_EQ(ChildNames(tree), (std::vector<std::string>{"Sub", ".hidden", "a.txt", "ro.txt"}));
        const struct {
            const TFileTree* Node;
            const char* Path;
            int64_t Size;
            int32_t Attr;
        } rows[] = {
            {Child(tree, "Sub"), "/", 0, FILE_ATTRIBUTE_DIRECTORY},
            {Child(tree, ".hidden"), "/", 0, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN},
            {Child(tree, "a.txt"), "/", 5, FILE_ATTRIBUTE_ARCHIVE},
            {Child(tree, "ro.txt"), "/", 1, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},
            {Child(*Child(tree, "Sub"), "b.txt"), "/Sub/", 1, FILE_ATTRIBUTE_ARCHIVE},
        };
        for (const auto& r : rows) {
            ASSERT_NE(r.Node, nullptr);
            SCOPED_TRACE(r.Node->Name);
            EXPECT_EQ(r.Node->Data->Name, r.Node->Name);
            EXPECT_EQ(r.Node->Data->Path, r.Path);
            EXPECT_EQ(r.Node->Data->Size, r.Size);
            EXPECT_EQ(r.Node->Data->Attr, r.Attr);
        }
        EXPECT_EQ(Child(tree, "a.txt")->Data->FileDate, UnixTimeToDosDate(1700000000));
        EXPECT_EQ(FullPath("/Sub/", "b.txt"), Root + "/Sub/b.txt");
    }
}

TEST_F(WinFileOperTest, ScanStepsMatchTheProgressOfTheListing) {
    const struct {
        const char* Name;
        std::vector<std::string> Folders;
        bool RootMissing;
        int32_t Steps;
        int32_t Result;
    } cases[] = {
        {"missing root", {}, true, 0, 1},
        {"empty root", {}, false, 1, 0},
        {"three folders", {"a", "b/deeper", "c", MARKER_FOLDER}, false, 4, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Side().FolerAllName = Root + "/" + c.Name;
        if (!c.RootMissing) ::mkdir(Side().FolerAllName.c_str(), 0755);
        for (const auto& f : c.Folders) MakeFolders(Side().FolerAllName + "/" + f);
        ::symlink("/tmp", (Side().FolerAllName + "/link").c_str());  // not a folder of the side
        Recorder.Messages.clear();
        EXPECT_EQ(Oper->CheckFolder(), c.RootMissing ? 1 : 0);
        EXPECT_EQ(Oper->GetScanSteps(), c.Steps);
        EXPECT_EQ(Oper->ListFolder(), c.Result);
        EXPECT_EQ(Recorder.Count(WM_UPDATEPROCESS), c.Steps == 0 ? 0 : c.Steps - 1);
        EXPECT_EQ(Oper->FFileTree->NotListed, c.RootMissing);
    }
}

TEST_F(WinFileOperTest, SkipsLinksAndSpecialFiles) {
    Write("real.txt", "r");
    Write("../outside/secret.txt", "s");
    ::symlink("real.txt", (Root + "/link.txt").c_str());
    ::symlink("../outside", (Root + "/linked").c_str());
    ::symlink("nowhere", (Root + "/dangling").c_str());
    ASSERT_EQ(::mkfifo((Root + "/pipe").c_str(), 0644), 0);
    EXPECT_EQ(Oper->ListFolder(), 0);
    EXPECT_EQ(ChildNames(*Oper->FFileTree), (std::vector<std::string>{"real.txt"}));
    for (const char* name : {"link.txt", "linked", "dangling", "pipe"}) {  // there, never written over
        TEntryState state;
        EXPECT_EQ(Oper->GetEntryState(Side(), Entry("/", name), state), 0);
        EXPECT_TRUE(state.Exists && !state.IsFolder && state.Size == -1) << name;
    }
    // One error-log line for each entry left out; a listing made again in the run adds none for links.
    const auto lines = [&](const std::string& Name) {
        const std::string log = ErrorLog();
        size_t n = 0;
        for (size_t at = log.find(Root + "/" + Name + " "); at != std::string::npos;
             at = log.find(Root + "/" + Name + " ", at + 1))
            ++n;
        return n;
    };
    const TFileTreeRef first = Oper->FFileTree;
    Oper->FEarlierListing = first.get();
    EXPECT_EQ(Oper->ListFolder(), 0);
    for (const char* name : {"link.txt", "linked", "dangling"}) EXPECT_EQ(lines(name), 1u) << name;
    EXPECT_NE(ErrorLog().find(Root + "/linked EInOutError:a symbolic link, not followed"), std::string::npos);
    EXPECT_EQ(lines("pipe"), 2u);
}

// Every operation on an entry beyond a link (a folder swapped for one since the listing, a marker
// folder that is one) fails and touches nothing outside the root, either way paths are resolved.
TEST_F(WinFileOperTest, NoOperationReachesThroughALink) {
    const std::string outside = m_Temp.Path + "/outside";
    const std::string local = m_Temp.Path + "/local.txt";  // beside the side, as a staging file is
    const std::string got = m_Temp.Path + "/got.txt";
    const std::string marker = std::string("/") + MARKER_FOLDER + "/";
    ASSERT_EQ(WriteFileAtomic(local, "local"), 0);
    Write("../outside/x.txt", "secret");
    Write("../outside/T1", "not a saved state");
    Write("../outside/" + std::string(".~bfs.p.Ab12Cd"), "a leftover's name, a user's file");
    Folder("../outside/empty");
    Write("a.txt", "a");
    ASSERT_EQ(::symlink("../outside", (Root + "/sub").c_str()), 0);
    ASSERT_EQ(::symlink("../outside", (Root + "/" + MARKER_FOLDER).c_str()), 0);
    const auto before = SnapshotOf(outside);
    std::string stream;
    TEntryState state;
    const struct {
        const char* What;
        std::function<int64_t()> Do;  // non-zero: refused
    } cases[] = {
        {"delete", [&] { return Oper->DeleteFile(Side(), Entry("/sub/", "x.txt"), false); }},
        {"remove a folder", [&] { return Oper->RemoveDir(Side(), Entry("/sub/", "empty"), false); }},
        {"make a folder", [&] { return Oper->MakeDir("/sub/new"); }},
        {"write a stream",
         [&] { return Oper->WriteStreamToFile("s", Side(), Entry("/sub/", "x.txt"), false); }},
        {"read a stream", [&] { return Oper->ReadFileToStream(Side(), Entry("/sub/", "x.txt"), stream, 0); }},
        {"copy over", [&] { return Oper->PutFile(local, Side(), Entry("/sub/", "x.txt", 5), 0, false); }},
        {"copy in", [&] { return Oper->PutFile(local, Side(), Entry("/sub/", "n.txt", 5), 0, false); }},
        {"copy out", [&] { return Oper->GetFile(got, Side(), Entry("/sub/", "x.txt", 6), 0, false); }},
        {"look up", [&] { return Oper->GetEntryState(Side(), Entry("/sub/", "x.txt"), state); }},
        {"size", [&] { return Oper->GetFileSize(Root + "/sub/x.txt") == -1 ? 1 : 0; }},
        {"rename out", [&] { return Oper->RenameFile(Root + "/sub/x.txt", Root + "/moved.txt"); }},
        {"rename in", [&] { return Oper->RenameFile(Root + "/a.txt", Root + "/sub/a.txt"); }},
        {"replace", [&] { return Oper->ReplaceFile(Root + "/a.txt", Root + "/sub/x.txt"); }},
        {"back up", [&] { return Oper->BackupFile(Side(), Entry("/", "a.txt")); }},
        {"save the state",
         [&] { return Oper->WriteStreamToFile("state", Side(), Entry(marker, "T1"), false); }},
        {"load the state",
         [&] {
             Oper->FTreeFileName = "T1";  // one that does not load would be renamed aside
             return Oper->LoadSavedTree();
         }},
    };
    for (const bool partByPart : {false, true}) {
        ResolvePartByPart(partByPart);
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.What << (partByPart ? ", part by part" : ""));
            Oper->Connect();  // as each row does
            EXPECT_NE(c.Do(), 0);
        }
        EXPECT_EQ(Oper->ListFolder(), 0);  // nor does a listing reach beyond one
        ResolvePartByPart(false);
    }
    EXPECT_EQ(SnapshotOf(outside), before);
    EXPECT_FALSE(std::filesystem::exists(got));
    EXPECT_EQ(ChildNames(*Oper->FFileTree), (std::vector<std::string>{"a.txt"}));
}

// A folder reached by one row is reached afresh by the next: one swapped for a link in between is
// not written through.
TEST_F(WinFileOperTest, AFolderSwappedForALinkIsNotReachedAgain) {
    Write("sub/x.txt", "x");
    Write("sub/y.txt", "y");
    TEntryState state;
    ASSERT_EQ(Oper->GetEntryState(Side(), Entry("/sub/", "x.txt"), state), 0);
    ASSERT_TRUE(state.Exists);
    ASSERT_EQ(Oper->DeleteFile(Side(), Entry("/sub/", "x.txt"), false), 0);
    const std::string moved = m_Temp.Path + "/moved";
    ASSERT_EQ(::rename((Root + "/sub").c_str(), moved.c_str()), 0);
    ASSERT_EQ(::symlink(moved.c_str(), (Root + "/sub").c_str()), 0);
    Oper->Connect();
    EXPECT_NE(Oper->GetEntryState(Side(), Entry("/sub/", "y.txt"), state), 0);
    EXPECT_NE(Oper->DeleteFile(Side(), Entry("/sub/", "y.txt"), false), 0);
    EXPECT_TRUE(FileExists(moved + "/y.txt"));
}

using test::RunUnprivileged;

TEST_F(WinFileOperTest, UnreadableFoldersAreMarkedNotListed) {
    Write("ok/f.txt", "f");
    Write("locked/g.txt", "g");
    Write("unsearchable/h.txt", "h");
    ::chmod((Root + "/locked").c_str(), 0);
    ::chmod((Root + "/unsearchable").c_str(), 0444);  // names readable, entries not
    bool probeOpened = true;
    int32_t result = -1;
    RunUnprivileged([&] {
        int fd = ::open((Root + "/locked").c_str(), O_RDONLY | O_DIRECTORY);
        probeOpened = fd >= 0;
        if (fd >= 0) ::close(fd);
        result = Oper->ListFolder();
    });
    ASSERT_FALSE(probeOpened) << "the test cannot take away read rights here";
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(Oper->ListComplete());
    const TFileTree& tree = *Oper->FFileTree;
    EXPECT_FALSE(tree.NotListed);
    EXPECT_FALSE(Child(tree, "ok")->NotListed);
    EXPECT_EQ(ChildNames(*Child(tree, "ok")), (std::vector<std::string>{"f.txt"}));
    EXPECT_TRUE(Child(tree, "locked")->NotListed);
    EXPECT_TRUE(Child(tree, "unsearchable")->NotListed);
    const std::string log = ErrorLog();
    EXPECT_NE(log.find(Root + "/locked/"), std::string::npos);
    EXPECT_NE(log.find(Root + "/unsearchable/"), std::string::npos);
}

// A side listed again in the same run shares the earlier listing's nodes wherever it still shows
// them as they were: whole folders, single files in a changed folder; what changed gets new nodes.
TEST_F(WinFileOperTest, AListingMadeAgainSharesWhatDidNotChange) {
    for (const char* f : {"same/a", "same/deeper/b", "changed/c", "changed/d", "top.txt", "gone.txt"})
        Write(f, "x");
    ASSERT_EQ(Oper->ListFolder(), 0);
    const TFileTreeRef earlier = Oper->FFileTree;
    std::string earlierText;
    earlier->SaveToStream(earlierText, "r");

    Write("changed/d", "longer");
    Write("changed/new", "x");
    ASSERT_EQ(::unlink((Root + "/gone.txt").c_str()), 0);
    Oper->FEarlierListing = earlier.get();
    ASSERT_EQ(Oper->ListFolder(), 0);
    const TFileTree& again = *Oper->FFileTree;
    EXPECT_EQ(earlier->ChildCount, 4);  // the earlier listing is left as it was
    std::string text;
    earlier->SaveToStream(text, "r");
    EXPECT_EQ(text, earlierText);

    EXPECT_EQ(ChildNames(again), (std::vector<std::string>{"changed", "same", "top.txt"}));
    EXPECT_EQ(Child(again, "same"), Child(*earlier, "same"));  // the whole folder
    EXPECT_EQ(Child(again, "top.txt"), Child(*earlier, "top.txt"));
    const TFileTree* changed = Child(again, "changed");
    ASSERT_NE(changed, Child(*earlier, "changed"));
    EXPECT_EQ(ChildNames(*changed), (std::vector<std::string>{"c", "d", "new"}));
    EXPECT_EQ(Child(*changed, "c"), Child(*Child(*earlier, "changed"), "c"));
    EXPECT_NE(Child(*changed, "d"), Child(*Child(*earlier, "changed"), "d"));
    EXPECT_EQ(Child(*changed, "d")->Data->Size, 6);

    // Shared or not, it reads as a listing made afresh.
    Oper->FEarlierListing = nullptr;
    std::string shared, fresh;
    again.SaveToStream(shared, "r");
    const TFileTreeRef keep = Oper->FFileTree;
    ASSERT_EQ(Oper->ListFolder(), 0);
    Oper->FFileTree->SaveToStream(fresh, "r");
    EXPECT_EQ(shared, fresh);
}

// Made again after a walk, a listing looks only at what the walk wrote: an entry it did not touch
// reads as the earlier listing showed it, even when it changed since (the next run sees that
// change); a written one, or one new in a written folder, as it is now.
TEST_F(WinFileOperTest, AListingMadeAgainAfterAWalkLooksOnlyAtWhatItWrote) {
    for (const char* f :
         {"untouched/a", "untouched/deep/b", "written/c", "written/d", "written/sub/e", "top.txt"})
        Write(f, "x");
    ASSERT_EQ(Oper->ListFolder(), 0);
    const TFileTreeRef earlier = Oper->FFileTree;

    // Changed since the analysis, not by the walk:
    Write("untouched/a", "changed by someone");
    Write("untouched/new", "x");
    Write("written/c", "changed by someone");
    Write("top.txt", "changed by someone");
    // Written by the walk:
    Write("written/d", "written");
    Write("written/made/f", "written");
    ASSERT_EQ(::unlink((Root + "/written/sub/e").c_str()), 0);
    TWrittenEntries written;
    written.Add("/written/", "d", false);
    written.Add("/written/", "made", true);
    written.Add("/written/made/", "f", false);
    written.Add("/written/sub/", "e", false);
    Oper->FEarlierListing = earlier.get();
    Oper->FWrittenEntries = &written;
    ASSERT_EQ(Oper->ListFolder(), 0);
    const TFileTree& again = *Oper->FFileTree;
    Oper->FWrittenEntries = nullptr;

    EXPECT_EQ(Child(again, "untouched"), Child(*earlier, "untouched"));  // not read at all
    EXPECT_EQ(Child(again, "top.txt"), Child(*earlier, "top.txt"));
    const TFileTree* folder = Child(again, "written");
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(ChildNames(*folder), (std::vector<std::string>{"made", "sub", "c", "d"}));
    EXPECT_EQ(Child(*folder, "c"), Child(*Child(*earlier, "written"), "c"));
    EXPECT_EQ(Child(*folder, "d")->Data->Size, 7);
    EXPECT_EQ(ChildNames(*Child(*folder, "made")), (std::vector<std::string>{"f"}));
    EXPECT_EQ(ChildNames(*Child(*folder, "sub")), (std::vector<std::string>{}));
}

TEST_F(WinFileOperTest, StopDuringListingLeavesTheRestNotListed) {
    for (const char* f : {"a/1", "b/2", "c/3", "z.txt"}) Write(f, "x");
    Recorder.OnMessage = [&](uint32_t Msg) {
        if (Msg == WM_UPDATEPROCESS) Oper->Stop();
    };
    EXPECT_EQ(Oper->ListFolder(), 1);
    EXPECT_EQ(Recorder.Count(WM_UPDATEPROCESS), 1);
    const TFileTree& tree = *Oper->FFileTree;
    EXPECT_TRUE(tree.NotListed);
    EXPECT_EQ(ChildNames(tree), (std::vector<std::string>{"a", "b", "c", "z.txt"}));
    for (const char* f : {"a", "b", "c"}) {
        EXPECT_TRUE(Child(tree, f)->NotListed) << f;
        EXPECT_TRUE(Child(tree, f)->Children.empty()) << f;
    }
}

TEST_F(WinFileOperTest, ListsTreesDeeperThanAPathCanName) {
    constexpr int DEPTH = 3000;
    int fd = ::open(Root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < DEPTH; ++i) {
        ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
        int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ::close(::openat(fd, "bottom.txt", O_WRONLY | O_CREAT, 0644));
    ::close(fd);
    EXPECT_EQ(Oper->ListFolder(), 0);
    const TFileTree* node = Oper->FFileTree.get();
    int depth = 0;
    while (!node->Children.empty() && node->Children[0]->Name == "d") node = node->Children[0].get(), ++depth;
    EXPECT_EQ(depth, DEPTH);
    ASSERT_EQ(ChildNames(*node), (std::vector<std::string>{"bottom.txt"}));
    EXPECT_EQ(node->Children[0]->Data->Path.size(), size_t{2 * DEPTH + 1});
}

TEST_F(WinFileOperTest, CopyReportsPercentagesPerChunk) {
    const struct {
        int64_t Size;
        std::vector<std::string> Announced;  // texts that went out with WM_COPYPROCESS
        const char* Last;                    // the text left at the end
    } cases[] = {
        {5 * MIB, {"40%", "80%"}, "100%"},
        {3 * MIB, {"66.67%"}, "100%"},
        {0, {}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Size);
        Write("big.bin", std::string(static_cast<size_t>(c.Size), 'x'), 1600000000);
        const std::string src = FullPath("/", "big.bin"), dst = m_Temp.Path + "/copy.bin";
        Recorder.Messages.clear();
        SetStatusText("before");
        EXPECT_EQ(Oper->GetFile(dst, Side(), Entry("/", "big.bin", c.Size), 0, false), 0);
        std::vector<std::string> announced;
        for (const auto& m : Recorder.Messages) {
            ASSERT_EQ(m.Msg, WM_COPYPROCESS);
            announced.push_back(m.Text.substr(("Copy:" + src + " : ").size()));
        }
        EXPECT_EQ(announced, c.Announced);
        EXPECT_EQ(GetStatusText(), c.Last ? "Copy:" + src + " : " + c.Last : "before");
        struct stat st {};
        ASSERT_EQ(::stat(dst.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, c.Size);
        EXPECT_EQ(st.st_mtime, 1600000000);
    }
}

TEST_F(WinFileOperTest, ChangedSourceLeavesTheTargetUntouched) {
    Write("a.txt", "four");
    const std::string dst = m_Temp.Path + "/target.txt";
    ASSERT_EQ(WriteFileAtomic(dst, "old"), 0);
    const timespec times[2] = {{1500000000, 0}, {1500000000, 0}};
    ::utimensat(AT_FDCWD, dst.c_str(), times, 0);
    EXPECT_EQ(Oper->GetFile(dst, Side(), Entry("/", "a.txt", 3), 0, true), RESULT_SOURCE_CHANGED);
    std::string content;
    ReadWholeFile(dst, content);
    EXPECT_EQ(content, "old");
    struct stat st {};
    ::stat(dst.c_str(), &st);
    EXPECT_EQ(st.st_mtime, 1500000000);
    EXPECT_EQ(Oper->GetFile(dst, Side(), Entry("/", "missing.txt", 3), 0, false), -1);
    // A target that is the source under a second name is refused, not truncated.
    ASSERT_EQ(::link((Root + "/a.txt").c_str(), (m_Temp.Path + "/same.txt").c_str()), 0);
    EXPECT_EQ(Oper->GetFile(m_Temp.Path + "/same.txt", Side(), Entry("/", "a.txt", 4), 0, false), -1);
    ReadWholeFile(Root + "/a.txt", content);
    EXPECT_EQ(content, "four");
}

// A copy keeps the source's own time to the nanosecond (not its listed, two-second DOS date).
TEST_F(WinFileOperTest, PutFileCreatesFoldersAndDatesTheCopy) {
    const std::string local = m_Temp.Path + "/local.txt";
    WriteDated(local, "data", 1650000003);
    const timespec exact[2] = {{1650000003, 123456789}, {1650000003, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, local.c_str(), exact, 0), 0);
    const int32_t date = UnixTimeToDosDate(1650000003);
    EXPECT_EQ(Oper->PutFile(local, Side(), Entry("/New/Deeper/", "a.txt", 4, date), 0, true), 0);
    struct stat st {};
    ASSERT_EQ(::stat((Root + "/New/Deeper/a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1650000003);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    ASSERT_FALSE(Recorder.Messages.empty());
    EXPECT_EQ(Recorder.Messages[0].Text, "Copy:" + local);
    // A read-only target is replaced too.
    ::chmod((Root + "/New/Deeper/a.txt").c_str(), 0444);
    WriteDated(local, "new!", 1650000003);
    EXPECT_EQ(Oper->PutFile(local, Side(), Entry("/New/Deeper/", "a.txt", 4, date), 0, false), 0);
    std::string content;
    ReadWholeFile(Root + "/New/Deeper/a.txt", content);
    EXPECT_EQ(content, "new!");
}

TEST_F(WinFileOperTest, SourceAppendedWhileCopiedIsNotCopied) {
    const std::string src = m_Temp.Path + "/growing.bin";
    WriteDated(src, std::string(32 * MIB, 'g'), 1600000000);
    std::atomic<bool> appended{false}, stop{false};
    std::thread writer([&] {
        for (; !stop; appended = true) AppendToFile(src, "more");
    });
    while (!appended) std::this_thread::yield();
    const TFileAttri listed = Entry("/", "copy.bin", 32 * MIB, UnixTimeToDosDate(1600000000));
    EXPECT_EQ(Oper->PutFile(src, Side(), listed, 0, false), RESULT_SOURCE_CHANGED);
    stop = true;
    writer.join();
    EXPECT_FALSE(std::filesystem::exists(Root + "/copy.bin"));
}

// The source is rewritten with its size and DOS date kept after the first chunk went over (the
// progress report runs on the copying thread): the copy is refused and the file it began is gone.
TEST_F(WinFileOperTest, SourceTouchedDuringTheCopyIsNotKept) {
    const std::string src = m_Temp.Path + "/src.bin";
    WriteDated(src, std::string(5 * MIB, 's'), 1600000000);
    Recorder.OnMessage = [&](uint32_t) {
        const timespec times[2] = {{0, UTIME_OMIT}, {1600000000, 1}};
        ::utimensat(AT_FDCWD, src.c_str(), times, 0);
    };
    const TFileAttri listed = Entry("/", "dst.bin", 5 * MIB, UnixTimeToDosDate(1600000000));
    EXPECT_EQ(Oper->PutFile(src, Side(), listed, 0, false), RESULT_SOURCE_CHANGED);
    EXPECT_FALSE(std::filesystem::exists(Root + "/dst.bin"));
}

// A temporary entry lies beside its target (a copy's new inode belongs in its own folder), never makes
// a marker folder; the listing removes the marker folder's leftovers, old-style ones too.
TEST_F(WinFileOperTest, TempEntriesAndMarkerLeftovers) {
    const std::string marker = std::string("/") + MARKER_FOLDER + "/";
    Folder("Sub");
    EXPECT_EQ(Oper->TempEntryFor(Entry("/Sub/", "a.txt")).Path, "/Sub/");
    EXPECT_FALSE(FolderExists(Root + marker));  // never made for a temporary entry
    Write(marker + "TASK1", "a saved state");
    Write(marker + "TASK1.p.Ab12Cd", "left by an earlier version");
    Write(marker + "TASK1.p.Ab12Cde", "not of that form");
    Write(marker + "TASK2.p.Ab12Cd", "a saved state whose name only looks like one");
    Write("Sub/user.p.Ab12Cd", "a user's file");
    EXPECT_EQ(Oper->TempEntryFor(Entry("/Sub/", "a.txt")).Path, "/Sub/");
    ASSERT_EQ(Oper->ListFolder(), 0);
    EXPECT_FALSE(FileExists(Root + marker + "TASK1.p.Ab12Cd"));
    EXPECT_TRUE(FileExists(Root + marker + "TASK1.p.Ab12Cde"));
    EXPECT_TRUE(FileExists(Root + marker + "TASK2.p.Ab12Cd"));
    EXPECT_TRUE(FileExists(Root + marker + "TASK1"));
    EXPECT_EQ(ChildNames(*Child(*Oper->FFileTree, "Sub")), (std::vector<std::string>{"user.p.Ab12Cd"}));
}

// A file a replace stepped aside and never deleted (the run ended between the two renames) gets its
// name back when nothing took it, and is listed there; beside a file of its name it is a leftover.
TEST_F(WinFileOperTest, FilesSteppedAsideGetTheirNameBack) {
    Write("Sub/" + AsideName("lost.txt"), "the version before");
    Write("Sub/" + AsideName("kept.txt"), "the old version");
    Write("Sub/kept.txt", "the new version");
    ASSERT_EQ(Oper->ListFolder(), 0);
    EXPECT_EQ(ChildNames(*Child(*Oper->FFileTree, "Sub")),
              (std::vector<std::string>{"kept.txt", "lost.txt"}));
    EXPECT_EQ(Child(*Child(*Oper->FFileTree, "Sub"), "lost.txt")->Data->Size, 18);
    std::string content;
    ReadWholeFile(Root + "/Sub/lost.txt", content);
    EXPECT_EQ(content, "the version before");
    EXPECT_FALSE(FileExists(Root + "/Sub/" + AsideName("kept.txt")));
    EXPECT_EQ(AsideOf(AsideName("a.txt")), "a.txt");
    EXPECT_EQ(AsideOf(NewReservedName()), "");
    EXPECT_EQ(AsideName(std::string(250, 'n')), "");  // too long for a name: stepped aside otherwise
}

TEST_F(WinFileOperTest, MissingRootIsNeverCreated) {
    const std::string local = m_Temp.Path + "/local.txt";
    ASSERT_EQ(WriteFileAtomic(local, "data"), 0);
    Side().FolerAllName = Root + "/unmounted";
    EXPECT_NE(Oper->MakeDir("/x"), 0);
    EXPECT_NE(Oper->PutFile(local, Side(), Entry("/", "a.txt", 4), 0, false), 0);
    EXPECT_NE(Oper->WriteStreamToFile("s", Side(), Entry("/", "a.txt"), false), 0);
    EXPECT_FALSE(FolderExists(Root + "/unmounted"));
    Side().FolerAllName = "relative/path";
    EXPECT_NE(Oper->Connect(), 0);
    EXPECT_NE(Oper->MakeDir("/x"), 0);
}

TEST_F(WinFileOperTest, DeleteReportsWhateverTheOutcome) {
    Folder("folder");
    for (const std::string name : {"missing.txt", "folder"}) {
        Recorder.Messages.clear();
        EXPECT_EQ(Oper->DeleteFile(Side(), Entry("/", name), true), -1) << name;
        ASSERT_EQ(Recorder.Messages.size(), 1u);
        EXPECT_EQ(Recorder.Messages[0].Text, "Delete:" + Root + "/" + name);
    }
    EXPECT_TRUE(FolderExists(Root + "/folder"));
}

TEST_F(WinFileOperTest, WriteStreamReplacesInOneStepAndCleansUp) {
    const std::string marker = std::string("/") + MARKER_FOLDER + "/";
    Write(std::string(MARKER_FOLDER) + "/ro", "old");
    ::chmod((Root + marker + "ro").c_str(), 0444);
    Folder(std::string(MARKER_FOLDER) + "/folder");
    const int32_t date = UnixTimeToDosDate(1650000000);
    const std::string longName(250, 'n');  // temporary names stay short whatever the final name
    const struct {
        std::string Name;
        int32_t Result;
        const char* Content;
    } cases[] = {{"ro", 0, "new state"},
                 {"fresh", 0, "new state"},
                 {"folder", 1, nullptr},
                 {longName, 0, "new state"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = Root + marker + c.Name;
        EXPECT_EQ(Oper->WriteStreamToFile("new state", Side(), Entry(marker, c.Name, 0, date), true) != 0,
                  c.Result != 0);
        if (!c.Content) continue;
        std::string content;
        ReadWholeFile(path, content);
        EXPECT_EQ(content, c.Content);
        struct stat st {};
        ::stat(path.c_str(), &st);
        EXPECT_EQ(st.st_mtime, DosDateToUnixTime(date));
        EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    }
    EXPECT_TRUE(FolderExists(Root + marker + "folder"));
    EXPECT_EQ(Oper->BackupFile(Side(), Entry(marker, longName)), 0);  // its temporary file is made here
    std::vector<std::string> left;  // no temporary file stays behind, failed or not
    for (const auto& e : std::filesystem::directory_iterator(Root + marker))
        left.push_back(e.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{BACKUP_FOLDER, "folder", "fresh", longName, "ro"}));
}

TEST_F(WinFileOperTest, BackupOfAMissingFileCreatesOnlyTheMarkerFolders) {
    EXPECT_EQ(Oper->BackupFile(Side(), Entry("/Sub/", "a.txt")), 1);
    const std::string saved = Root + "/" + MARKER_FOLDER + "/" + BACKUP_FOLDER;
    EXPECT_TRUE(FolderExists(saved));
    EXPECT_EQ(::rmdir(saved.c_str()), 0);  // empty
    Write("Sub/a.txt", "v1", 1400000000);
    ASSERT_EQ(Oper->BackupFile(Side(), Entry("/Sub/", "a.txt")), 0);
    Write("Sub/a.txt", "version 2", 1500000000);
    ASSERT_EQ(Oper->BackupFile(Side(), Entry("/Sub/", "a.txt")), 0);
    std::string content;
    ReadWholeFile(saved + "/Sub/a.txt", content);
    EXPECT_EQ(content, "version 2");
    struct stat st {};
    ::stat((saved + "/Sub/a.txt").c_str(), &st);
    EXPECT_EQ(st.st_mtime, 1500000000);
}

TEST_F(WinFileOperTest, FileSizesAreSixtyFourBit) {
    const std::string big = Root + "/sparse.bin";
    int fd = ::open(big.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 5000000000), 0);
    ::close(fd);
    ::symlink("sparse.bin", (Root + "/link").c_str());
    EXPECT_EQ(Oper->GetFileSize(big), 5000000000);
    EXPECT_EQ(Oper->GetFileSize(Root + "/link"), -1);
    EXPECT_EQ(Oper->GetFileSize(Root + "/missing"), -1);
    ASSERT_EQ(Oper->ListFolder(), 0);
    EXPECT_EQ(Child(*Oper->FFileTree, "sparse.bin")->Data->Size, 5000000000);
}

}  // namespace
}  // namespace bfs::test
