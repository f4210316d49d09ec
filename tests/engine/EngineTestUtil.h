#pragma once

// Scenario helpers of the engine tests: trees from short descriptions, result trees as
// (path, name, code) tables, and a whole analysis over two back-ends.

#include "engine/UTAnalyzeThread.h"
#include "engine/UTSyncTask.h"
#include "engine/UTTaskRun.h"
#include "model/UTConsts.h"
#include "model/UTFileAttri.h"
#include "model/UTFileOper.h"
#include "model/UTFileTree.h"
#include "platform/UTAtomicFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace bfs::test {

// One entry of a tree description: "docs/" is a folder, "docs/a.txt" a file (parents are made);
// "/" stands for the root (to mark it NotListed).
struct TSpec {
    std::string Path;
    int32_t Date = 100;
    int64_t Size = 0;
    int32_t Attr = 0;  // added to the folder or file bit
    bool NotListed = false;
};

// A tree in listing order, as a back-end would list it (Path "/" at the top, "/docs/" below).
inline TFileTreeRef BuildTree(const std::string& Root, const std::vector<TSpec>& Specs) {
    TFileTreeRef root = TFileTree::Create(Root, nullptr);
    std::map<std::string, TFileTree*> folders{{"", root.get()}};
    auto add = [&](const std::string& rel, bool folder, const TSpec* spec) -> TFileTree* {
        const std::size_t cut = rel.rfind('/');
        const std::string parent = cut == std::string::npos ? "" : rel.substr(0, cut);
        const std::string name = cut == std::string::npos ? rel : rel.substr(cut + 1);
        auto data = MakeRef<TFileAttri>();
        data->Name = name;
        data->Path = parent.empty() ? std::string("/") : "/" + parent + "/";
        data->IsFolder = folder ? 1 : 0;
        data->FileDate = spec ? spec->Date : 100;
        data->Size = spec ? spec->Size : 0;
        data->Attr = (folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE) | (spec ? spec->Attr : 0);
        TFileTree* node = folders.at(parent)->AddChild(name, data);
        if (spec) node->NotListed = spec->NotListed;
        if (folder) folders[rel] = node;
        return node;
    };
    for (const TSpec& s : Specs) {
        if (s.Path == "/") {  // the root itself: only its NotListed mark
            root->NotListed = s.NotListed;
            continue;
        }
        const bool folder = s.Path.ends_with("/");
        const std::string rel = folder ? s.Path.substr(0, s.Path.size() - 1) : s.Path;
        for (std::size_t p = rel.find('/'); p != std::string::npos; p = rel.find('/', p + 1))
            if (!folders.count(rel.substr(0, p))) add(rel.substr(0, p), true, nullptr);
        if (folder && folders.count(rel)) {
            folders[rel]->NotListed = s.NotListed;
            continue;
        }
        add(rel, folder, &s);
    }
    SortTreeLevels(*root);
    return root;
}

// One row of a result tree.
struct TRow {
    std::string Path;
    std::string Name;
    int32_t Code;
    friend bool operator==(const TRow&, const TRow&) = default;
    friend std::ostream& operator<<(std::ostream& os, const TRow& r) {
        return os << "{" << r.Path << r.Name << " " << r.Code << "}";
    }
};
using TRows = std::vector<TRow>;

// The tree below Root in pre-order, one row per node: its Data's path, its name, its Status.
inline TRows Rows(const TFileTree& Root) {
    TRows rows;
    std::vector<const TFileTree*> pending;
    for (auto it = Root.Children.rbegin(); it != Root.Children.rend(); ++it) pending.push_back(it->get());
    while (!pending.empty()) {
        const TFileTree* n = pending.back();
        pending.pop_back();
        rows.push_back({n->Data ? n->Data->Path.str() : std::string(), n->Name, n->Status});
        for (auto it = n->Children.rbegin(); it != n->Children.rend(); ++it) pending.push_back(it->get());
    }
    return rows;
}

// The filter state of each node below Root in pre-order: "path+name" for included entries only.
inline std::vector<std::string> Included(const TFileTree& Root) {
    std::vector<std::string> r;
    std::vector<const TFileTree*> pending;
    for (auto it = Root.Children.rbegin(); it != Root.Children.rend(); ++it) pending.push_back(it->get());
    while (!pending.empty()) {
        const TFileTree* n = pending.back();
        pending.pop_back();
        if (n->IncludedCount == 1) r.push_back(n->Data->Path + n->Name);
        for (auto it = n->Children.rbegin(); it != n->Children.rend(); ++it) pending.push_back(it->get());
    }
    return r;
}

struct TAnalysis {
    TFileTreeRef Result;
    std::string ErrorText;
    std::vector<std::string> Notes, Failures;
    std::string IncludePattern, ExcludePattern;
};

// Runs the analysis thread to its end on the given trees.
// Compare stands for the content comparison of the scan's back-ends (none: never asked).
inline TAnalysis RunAnalysis(TSyncTask& Task, TFileTreeRef Left, TFileTreeRef Right, TFileTreeRef LeftSaved,
                             TFileTreeRef RightSaved, std::vector<std::string> GlobalInclude = {},
                             std::vector<std::string> GlobalExclude = {},
                             std::function<int32_t(const TFileTree&)> Compare = {},
                             const std::array<TClockOffset, 2>& Clocks = {}) {
    TAnalysis a;
    a.Result = TFileTree::Create({}, nullptr);
    TAnalyzeThread thread(Task, Left, Right, a.Result, LeftSaved, RightSaved);
    thread.ClockOffsets[0] = Clocks[0];
    thread.ClockOffsets[1] = Clocks[1];
    thread.GlobalIncludeFilter = std::move(GlobalInclude);
    thread.GlobalExcludeFilter = std::move(GlobalExclude);
    thread.CompareContents = std::move(Compare);
    thread.NotListedWhy = [](int, const TFileTree&) { return std::string("unreadable"); };
    thread.Resume();
    thread.WaitFor();
    a.ErrorText = thread.ErrorText;
    a.Notes = thread.Notes;
    a.Failures = thread.Failures;
    a.IncludePattern = thread.IncludePattern;
    a.ExcludePattern = thread.ExcludePattern;
    // Every node of the result names its result folder as Parent: the plan walks upward from a row.
    std::vector<const TFileTree*> pending{a.Result.get()};
    while (!pending.empty()) {
        const TFileTree* node = pending.back();
        pending.pop_back();
        for (const TFileTreeRef& child : node->Children) {
            EXPECT_EQ(child->Parent, node) << child->Name;
            pending.push_back(child.get());
        }
    }
    return a;
}

// The window's part of a scan and analysis: each back-end serves the task's side, lists it and
// loads its saved state (from the marker folder, or the locally kept one), then the analysis runs.
inline TAnalysis ScanAndAnalyze(TSyncTask& Task, TFileOper& Left, TFileOper& Right) {
    TFileOper* sides[2] = {&Left, &Right};
    const int local = Task.GetLocalStateSides();
    for (int side = 0; side < 2; ++side) {
        TFileOper& oper = *sides[side];
        oper.FFolderSource = side == 0 ? Task.LFolder : Task.RFolder;
        oper.FTreeFileName = SyncIDToFileName(Task.SyncID);
        oper.LoadSavedTreeFlag = true;
        EXPECT_EQ(oper.Connect(), 0);
        EXPECT_EQ(oper.CheckFolder(), 0);
        oper.ListFolder();
        if (local == LOCAL_STATE_BOTH || local == side + 1) Task.LoadSavedTree(*oper.FSavedTree, side);
    }
    return RunAnalysis(Task, Left.FFileTree, Right.FFileTree, Left.FSavedTree, Right.FSavedTree);
}

// Stores the side's current listing as its saved state, as the state saving after a sync does: in the
// marker folder, or in the application-data folder for a side that keeps its state locally.
inline void SaveState(TSyncTask& Task, TFileOper& Oper, int Side) {
    Oper.FFolderSource = Side == 0 ? Task.LFolder : Task.RFolder;
    Oper.LoadSavedTreeFlag = false;
    Oper.FFileTree = TFileTree::Create({}, nullptr);
    Oper.ListFolder();
    std::string text;
    Oper.FFileTree->SaveToStream(text, Oper.FFolderSource->FolerAllName);
    const int local = Task.GetLocalStateSides();
    if (local == LOCAL_STATE_BOTH || local == Side + 1) {
        ASSERT_EQ(WriteFileAtomic(Task.LocalStateFileName(Side), text), 0);
        return;
    }
    TFileAttri entry;
    entry.Name = SyncIDToFileName(Task.SyncID);
    entry.Path = std::string("/") + MARKER_FOLDER + "/";
    ASSERT_EQ(Oper.MakeDir(entry.Path), 0);
    ASSERT_EQ(Oper.WriteStreamToFile(text, *Oper.FFolderSource, entry, false), 0);
}

// A fresh folder for files, with the program's folders pointed into it.
class TTempHome {
  public:
    TTempHome() {
        char tmpl[] = "/tmp/bfs-engine-XXXXXX";
        Dir = ::mkdtemp(tmpl);
        ::setenv("XDG_CONFIG_HOME", (Dir + "/config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (Dir + "/data").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (Dir + "/cache").c_str(), 1);
        // Task locks: tests run side by side. The folder is there, private, as a session has it.
        ::setenv("XDG_RUNTIME_DIR", (Dir + "/run").c_str(), 1);
        ::mkdir((Dir + "/run").c_str(), 0700);
    }
    ~TTempHome() {
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
    }
    std::string Dir;
};

// A two-way task between two fresh local folders, Left and Right; the back-end factory is reset
// after each test.
class TLocalTaskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Left = Home.Dir + "/left";
        Right = Home.Dir + "/right";
        ASSERT_EQ(MakeFolders(Left), 0);
        ASSERT_EQ(MakeFolders(Right), 0);
        Task.SyncName = "Task";
        Task.SyncID = "T1";
        for (auto [folder, path] : {std::pair{Task.LFolder, Left}, std::pair{Task.RFolder, Right}}) {
            folder->DeviceType = DEVICE_LOCAL;
            folder->FolerAllName = path;
        }
    }
    void TearDown() override { TSyncTask::SetFileOperFactory({}); }

    // Scan and analysis; the plan of the changes view.
    std::unique_ptr<TTaskRun> Analyze() {
        auto run = std::make_unique<TTaskRun>(Task);
        EXPECT_EQ(run->StartScan(), 0) << run->ErrorText;
        EXPECT_EQ(run->FinishScan(), 0);
        EXPECT_EQ(run->Analyze(), 0) << run->ErrorText;
        return run;
    }

    TTempHome Home;
    std::string Left, Right;
    TSyncTask Task;
};

}  // namespace bfs::test
