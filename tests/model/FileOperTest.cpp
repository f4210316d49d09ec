#include "model/UTConsts.h"
#include "model/UTFileOper.h"
#include "platform/UTAtomicFile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

namespace bfs {
namespace {

// Records what workers report.
class TRecorder : public INotifyTarget {
  public:
    void PostMessage(uint32_t Msg, intptr_t, intptr_t) override {
        std::lock_guard lock(m_Mutex);
        Messages.push_back(Msg);
    }
    void SendMessage(uint32_t Msg, intptr_t W, intptr_t L) override { PostMessage(Msg, W, L); }
    void Synchronize(const std::function<void()>& Call) override { Call(); }
    std::vector<uint32_t> Messages;

  private:
    std::mutex m_Mutex;
};

// A back-end over a scripted listing and a map of files, enough to exercise the base's conventions.
class TScriptedOper : public TFileOper {
  public:
    TScriptedOper() : TFileOper(false) {}
    struct TEntry {
        std::string Path, Name;
        bool Folder;
    };
    std::vector<TEntry> Entries;               // in any order; folders before their contents
    std::map<std::string, std::string> Files;  // "path+name" -> content
    std::string Unreadable;                    // a folder path+name whose contents cannot be read
    std::atomic<bool> BlockInListing{false};

    int32_t Connect() override { return 0; }
    int32_t ListFolder() override {
        std::map<std::string, TFileTree*> folders{{"/", FFileTree.get()}};
        bool complete = true;
        for (const auto& e : Entries) {
            if (Terminated()) break;
            auto it = folders.find(e.Path);
            if (it == folders.end()) continue;
            auto a = MakeRef<TFileAttri>();
            a->Name = e.Name;
            a->Path = e.Path;
            a->IsFolder = e.Folder;
            a->Attr = e.Folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
            TFileTree* node = it->second->AddChild(e.Name, a);
            if (e.Folder) {
                if (e.Path + e.Name == Unreadable) {
                    node->NotListed = true;
                    complete = false;
                    continue;
                }
                folders[e.Path + e.Name + "/"] = node;
                PostProgress();
            }
        }
        while (BlockInListing && !Terminated()) std::this_thread::yield();
        return FinishListing(complete);
    }
    int32_t ReadFileToStream(TFolderSource&, const TFileAttri& a, std::string& s, int32_t) override {
        auto it = Files.find(a.Path + a.Name);
        if (it == Files.end()) return 1;
        s = it->second;
        return 0;
    }
    int32_t WriteStreamToFile(const std::string&, TFolderSource&, const TFileAttri&, bool) override {
        return 1;
    }
    int32_t MakeDir(const std::string&) override { return 1; }
    int32_t GetScanSteps() override { return 0; }
    int32_t LoadSavedTree() override { return LoadSavedTreeThroughStream(); }
    int32_t DeleteFile(TFolderSource&, const TFileAttri&, bool) override { return 1; }
    int32_t RemoveDir(TFolderSource&, const TFileAttri&, bool) override { return 1; }
    std::string GetBackupFolder() override { return {}; }
    int64_t GetFileSize(const std::string&) override { return -1; }
    int32_t BackupFile(TFolderSource&, const TFileAttri&) override { return 1; }
    std::string ExtractDir(const std::string&) override { return {}; }
    std::string GetFullPath(TFolderSource&, const TFileAttri& a) override { return a.Path + a.Name; }
    std::string GetFolderPath(TFolderSource&, const TFileAttri&) override { return {}; }
    int32_t PutFile(const std::string&, TFolderSource&, const TFileAttri&, int32_t, bool) override {
        return 1;
    }
    int32_t RenameFile(const std::string& From, const std::string& To) override {
        auto it = Files.find(From);
        if (it == Files.end() || Files.count(To)) return 1;
        Files[To] = it->second;
        Files.erase(it);
        return 0;
    }
    int32_t GetFile(const std::string&, TFolderSource&, const TFileAttri&, int32_t, bool) override {
        return 1;
    }
    int32_t CheckFolder() override { return 0; }
    int32_t GetEntryState(TFolderSource&, const TFileAttri& a, TEntryState& State) override {
        State = {};
        State.Exists = Files.count(a.Path + a.Name) != 0;
        return 0;
    }
};

std::vector<std::string> Names(const TFileTree& node) {
    std::vector<std::string> r;
    for (const auto& c : node.Children) r.push_back(c->Name);
    return r;
}

class FileOperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/bfs-fileoper-XXXXXX";
        m_Dir = ::mkdtemp(tmpl);
        ::setenv("XDG_CONFIG_HOME", m_Dir.c_str(), 1);
    }
    std::string ErrorLog() {
        std::string s;
        ReadWholeFile(m_Dir + "/bramlow-file-sync/ErrorInfo.txt", s);
        return s;
    }
    std::string m_Dir;
};

TEST_F(FileOperTest, ListingDropsTopLevelMarkerOnlyAndSortsEveryLevel) {
    TScriptedOper oper;
    oper.Entries = {{"/", "b.txt", false}, {"/", "sub", true},    {"/", MARKER_FOLDER, true},
                    {"/", "A", true},      {"/", "a.txt", false}, {"/sub/", MARKER_FOLDER, true},
                    {"/sub/", "z", false}, {"/sub/", "Y", false}};
    EXPECT_EQ(oper.ListFolder(), 0);
    EXPECT_TRUE(oper.ListComplete());
    EXPECT_EQ(Names(*oper.FFileTree), (std::vector<std::string>{"A", "sub", "a.txt", "b.txt"}));
    EXPECT_EQ(Names(*oper.FFileTree->Children[1]), (std::vector<std::string>{MARKER_FOLDER, "Y", "z"}));
    EXPECT_EQ(oper.FFileTree->ChildCount, 4);
}

TEST_F(FileOperTest, UnreadableFolderMakesListingIncomplete) {
    TScriptedOper oper;
    oper.Entries = {{"/", "ok", true}, {"/", "locked", true}, {"/ok/", "f", false}};
    oper.Unreadable = "/locked";
    EXPECT_EQ(oper.ListFolder(), 1);
    EXPECT_FALSE(oper.ListComplete());
}

TEST_F(FileOperTest, StopDuringThreadedListingMarksRootNotListed) {
    TScriptedOper oper;
    TRecorder recorder;
    oper.NotifyWnd = &recorder;
    oper.Entries = {{"/", "a", true}, {"/", "b", true}};
    oper.BlockInListing = true;
    std::atomic<bool> ended{false};
    oper.OnTerminate = [&](TThread&) { ended = true; };
    oper.Resume();
    oper.Stop();
    oper.WaitFor();
    EXPECT_TRUE(ended);
    EXPECT_FALSE(oper.ListComplete());
    EXPECT_TRUE(oper.FFileTree->NotListed);
}

TEST_F(FileOperTest, SavedStateLoadsOnlyWhenAskedAndBadStateIsDiscardedAndLogged) {
    const std::string marker = std::string("/") + MARKER_FOLDER + "/";
    struct {
        const char* Name;
        bool Flag;
        std::string State;  // empty: no state file
        int Children;
        bool Logged;  // and kept aside as damaged
    } cases[] = {
        {"not asked", false, "/r::1\r\nx:0:/:1:2:32\r\n", 0, false},
        {"no file", true, "", 0, false},
        {"good", true, "/r::1\r\nx:0:/:1:2:32\r\n", 1, false},
        {"bad number", true, "/r::1\r\nx:0:/:one:2:32\r\n", 0, true},
        {"short", true, "/r::2\r\nx:0:/:1:2:32\r\n", 0, true},
        {"in the wrong place", true, "/r::1\r\nd:1:/:1:-1:16\r\nx:0:/e/:1:2:32\r\n", 0, true},
        {"blank", true, " ", 0, true},
        {"another folder's", true, "/elsewhere::1\r\nx:0:/:1:2:32\r\n", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ::unlink((m_Dir + "/bramlow-file-sync/ErrorInfo.txt").c_str());
        TScriptedOper oper;
        oper.FTreeFileName = "TASK1";
        oper.FFolderSource->FolerAllName = "/r";
        oper.LoadSavedTreeFlag = c.Flag;
        if (!c.State.empty()) oper.Files[marker + "TASK1"] = c.State;
        oper.ListFolder();
        EXPECT_FALSE(oper.LoadSavedTreeFlag);
        EXPECT_EQ(oper.FSavedTree->ChildCount, c.Children);
        EXPECT_EQ(int(oper.FSavedTree->Children.size()), c.Children);
        EXPECT_EQ(!ErrorLog().empty(), c.Logged);
        EXPECT_EQ(oper.FSavedTreeDamaged, c.Logged);
        EXPECT_EQ(oper.Files.count(marker + "TASK1.damaged") == 1, c.Logged);
        EXPECT_EQ(oper.FSavedTreeHash != 0, c.Children == 1);
    }
}

TEST_F(FileOperTest, ProgressStepsReachTheTarget) {
    TScriptedOper oper;
    TRecorder recorder;
    oper.NotifyWnd = &recorder;
    oper.Entries = {{"/", "a", true}, {"/", "b", true}, {"/", "f", false}};
    oper.ListFolder();
    EXPECT_EQ(recorder.Messages, (std::vector<uint32_t>{WM_UPDATEPROCESS, WM_UPDATEPROCESS}));
}

// Only the exact forms the program makes are its own; every other name, whatever its prefix, is a
// user's file. Names of an earlier version's aside form are told apart for the listing to check.
TEST(ReservedNameTest, OnlyTheExactFormsAreReserved) {
    const struct {
        std::string Name;
        bool Reserved;
        const char* Aside;   // AsideOf
        const char* Legacy;  // LegacyAsideOf
    } cases[] = {
        {NewReservedName(), true, "", ""},
        {".~bfs.0123456789abcdef", true, "", ""},
        {".~bfs.p.Ab3dE9", true, "", ""},
        {".~bfs.g.zzzzzz", true, "", ""},
        {".~bfs.m.000000", true, "", ""},
        {".~bfs.n.ABCDEF", true, "", ""},
        {".~bfs.r.0123456789abcdef.report.txt", true, "report.txt", ""},
        {".~bfs.r.0123456789abcdef..hidden", true, ".hidden", ""},
        {".~bfs.my-notes.txt", false, "", ""},
        {".~bfs.", false, "", ""},
        {".~bfs.abc", false, "", ""},
        {".~bfs.0123456789abcde", false, "", ""},    // one short
        {".~bfs.0123456789abcdefa", false, "", ""},  // one over
        {".~bfs.0123456789ABCDEF", false, "", ""},
        {".~bfs.0123456789abcdef.txt", false, "", ""},
        {"x.~bfs.0123456789abcdef", false, "", ""},
        {".~BFS.0123456789abcdef", false, "", ""},
        {".~bfs.x.Ab3dE9", false, "", ""},  // no temporary file kind
        {".~bfs.p.Ab3dE", false, "", ""},
        {".~bfs.p.Ab3dE90", false, "", ""},
        {".~bfs.p.Ab-dE9", false, "", ""},
        {".~bfs.pp.Ab3dE9", false, "", ""},
        {".~bfs.r.report.txt", false, "", "report.txt"},
        {".~bfs.r.Ab3dE9", false, "", "Ab3dE9"},
        {".~bfs.r.0123456789abcdef", false, "", "0123456789abcdef"},
        {".~bfs.r.0123456789abcdef.", false, "", "0123456789abcdef."},
        {".~bfs.r.0123456789abcdef..", false, "", "0123456789abcdef.."},
        {".~bfs.r.0123456789abcdeX.a", false, "", "0123456789abcdeX.a"},
        {".~bfs.r.", false, "", ""},
        {".~bfs.r..", false, "", ""},
        {".~bfs.r...", false, "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsReservedName(c.Name), c.Reserved) << c.Name;
        EXPECT_EQ(AsideOf(c.Name), c.Aside) << c.Name;
        EXPECT_EQ(LegacyAsideOf(c.Name), c.Legacy) << c.Name;
    }
    // Asides carry a random part of their own and fit a file name (255 bytes) or are not made.
    const std::string a = AsideName("a.txt"), b = AsideName("a.txt");
    EXPECT_NE(a, b);
    EXPECT_TRUE(IsReservedName(a) && AsideOf(a) == "a.txt" && LegacyAsideOf(a).empty()) << a;
    EXPECT_EQ(AsideName(std::string(230, 'n')).size(), 255u);
    EXPECT_EQ(AsideName(std::string(231, 'n')), "");
    static_assert(IsTempFilePrefix(".~bfs.p.") && !IsTempFilePrefix(".~bfs.r.") &&
                  !IsTempFilePrefix(".~bfs.p"));
}

// What a walk wrote, and every folder above it, is touched; a sibling, a same-named entry in
// another folder, a folder beside the written ones or an entry below a made folder is not.
TEST(WrittenEntriesTest, TouchedAreTheWrittenEntriesAndTheFoldersAboveThem) {
    TWrittenEntries written;
    EXPECT_TRUE(written.Empty());
    written.Add("/a/b/", "f.txt", false);
    written.Add("/", "top.txt", false);
    written.Add("/c/", "made", true);
    EXPECT_FALSE(written.Empty());
    const struct {
        const char* Path;
        const char* Name;
        bool IsFolder;
        bool Touched;
    } cases[] = {
        {"/a/b/", "f.txt", false, true},
        {"/", "top.txt", false, true},
        {"/", "a", true, true},
        {"/a/", "b", true, true},
        {"/c/", "made", true, true},
        {"/", "c", true, true},
        {"/a/b/", "g.txt", false, false},
        {"/a/", "f.txt", false, false},
        {"/a/", "b2", true, false},
        {"/c/made/", "x", false, false},
        {"/", "b", true, false},
        // A written file that is a folder now is looked at again too.
        {"/a/b/", "f.txt", true, true},
        {"/", "top.txt", true, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(written.Touched(c.Path, c.Name, c.IsFolder), c.Touched) << c.Path << c.Name;
}

}  // namespace
}  // namespace bfs
