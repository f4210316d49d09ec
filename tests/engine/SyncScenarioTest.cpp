// Whole runs: scan, analysis, sync walk, saved states, and a second analysis that must plan nothing.
// Real folders through the local back-end, and in-memory stores standing in for remote sides.

#include "EngineTestUtil.h"
#include "MemFileOper.h"
#include "engine/UTFileSyncThread.h"
#include "engine/UTTaskRun.h"
#include "model/UTDosTime.h"
#include "model/UTPublicFunc.h"
#include "platform/UTAtomicFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace bfs {
namespace {

namespace fs = std::filesystem;
using test::TMemFileOper;
using test::TMemStore;
using test::TMemStoreRef;

constexpr int64_t T1 = 1600000000;  // even seconds: DOS times keep them exactly
constexpr int64_t T2 = 1600002000;
constexpr int64_t T3 = 1600004000;

void Write(const std::string& Root, const std::string& Rel, const std::string& Content, int64_t Time) {
    const std::string path = Root + Rel;
    ASSERT_EQ(MakeFolders(path.substr(0, path.rfind('/'))), 0);
    ASSERT_EQ(WriteFileAtomic(path, Content), 0);
    const timespec times[2] = {{static_cast<time_t>(Time), 0}, {static_cast<time_t>(Time), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Every file and folder below Root (marker folder left out): "rel/" for folders, "rel=content" for files.
std::vector<std::string> Snapshot(const std::string& Root) {
    std::vector<std::string> out;
    for (auto it = fs::recursive_directory_iterator(Root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = it->path().string().substr(Root.size());
        if (rel == std::string("/") + MARKER_FOLDER) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_directory()) {
            out.push_back(rel + "/");
        } else {
            std::string content;
            ReadWholeFile(it->path().string(), content);
            out.push_back(rel + "=" + content);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The entries of a saved state: "path+name" (folders with a trailing "/").
std::vector<std::string> SavedEntries(const std::string& Text) {
    auto tree = TFileTree::Create({}, nullptr);
    EXPECT_TRUE(tree->LoadFromStream(Text));
    std::vector<std::string> out;
    std::vector<const TFileTree*> stack{tree.get()};
    while (!stack.empty()) {
        const TFileTree* n = stack.back();
        stack.pop_back();
        if (n->Data) out.push_back(n->Data->Path + n->Name + (n->IsFolder() ? "/" : ""));
        for (const auto& c : n->Children) stack.push_back(c.get());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The rows of a plan, "path+name:code", pre-order.
std::vector<std::string> PlanRows(const TPlan& Plan) {
    std::vector<std::string> out;
    if (!Plan.RootNode) return out;
    std::vector<const TPlanRow*> stack;
    for (auto it = Plan.RootNode->Children.rbegin(); it != Plan.RootNode->Children.rend(); ++it)
        stack.push_back(it->get());
    while (!stack.empty()) {
        const TPlanRow* r = stack.back();
        stack.pop_back();
        out.push_back(r->Data.FolderPath + r->Data.Name + ":" + std::to_string(r->Data.Action));
        for (auto it = r->Children.rbegin(); it != r->Children.rend(); ++it) stack.push_back(it->get());
    }
    return out;
}

class SyncScenarioTest : public test::TLocalTaskTest {
  protected:
    // A whole run; returns the log lines of the sync.
    std::vector<std::string> Run() {
        auto run = Analyze();
        std::vector<std::string> log;
        run->Sync([&](const std::string& line) { log.push_back(line); });
        LastPlan = PlanRows(run->Plan);
        return log;
    }
    std::string SavedText(const std::string& Root) {
        std::string text;
        ReadWholeFile(Root + "/" + MARKER_FOLDER + "/T1", text);
        return text;
    }

    std::vector<std::string> LastPlan;
};

TEST_F(SyncScenarioTest, FirstRunCopiesBothWaysSavesBothStatesAndTheNextAnalysisPlansNothing) {
    for (int useTemp : {0, 1}) {
        SCOPED_TRACE(useTemp);
        fs::remove_all(Left), fs::remove_all(Right);
        MakeFolders(Left), MakeFolders(Right);
        Task.UseTempFile = useTemp;
        Write(Left, "/a.txt", "left a", T1);
        Write(Left, "/docs/b.txt", "left b", T1);
        Write(Left, "/empty/.keep", "", T1);
        Write(Right, "/c.txt", "right c", T2);

        const auto log = Run();
        const std::vector<std::string> both = {"/a.txt=left a",      "/c.txt=right c", "/docs/",
                                               "/docs/b.txt=left b", "/empty/",        "/empty/.keep="};
        EXPECT_EQ(Snapshot(Left), both);
        EXPECT_EQ(Snapshot(Right), both);
        EXPECT_NE(std::find(log.begin(), log.end(), "Copy:" + Left + "/a.txt -> " + Right + "/a.txt"),
                  log.end());
        EXPECT_EQ(log.back(), "Operator File :4");
        const std::vector<std::string> entries = {"/a.txt",      "/c.txt",  "/docs/",
                                                  "/docs/b.txt", "/empty/", "/empty/.keep"};
        EXPECT_EQ(SavedEntries(SavedText(Left)), entries);
        EXPECT_EQ(SavedEntries(SavedText(Right)), entries);
        // Copies carry the source's time, so the next analysis finds nothing to do.
        EXPECT_EQ(PlanRows(Analyze()->Plan), std::vector<std::string>{});
    }
}

TEST_F(SyncScenarioTest, ChangesAndDeletionsTravelBothWaysAfterTheFirstRun) {
    Task.IsDeleteFile = 1;
    Write(Left, "/keep.txt", "k", T1);
    Write(Left, "/old/x.txt", "x", T1);
    Write(Left, "/old/deeper/y.txt", "y", T1);
    Write(Right, "/r.txt", "r", T1);
    Run();

    Write(Left, "/keep.txt", "k2", T2);  // changed on the left
    fs::remove_all(Right + "/old");      // a folder with contents deleted on the right
    fs::remove(Left + "/r.txt");         // deleted on the left
    Write(Right, "/new.txt", "n", T2);   // new on the right
    const auto log = Run();
    EXPECT_EQ(LastPlan,
              (std::vector<std::string>{"/old:18", "/old/deeper:18", "/old/deeper/y.txt:18", "/old/x.txt:18",
                                        "/keep.txt:18", "/new.txt:18", "/r.txt:18"}));
    const std::vector<std::string> expected = {"/keep.txt=k2", "/new.txt=n"};
    EXPECT_EQ(Snapshot(Left), expected);
    EXPECT_EQ(Snapshot(Right), expected);
    // The folders went after their contents.
    auto pos = [&](const std::string& s) { return std::find(log.begin(), log.end(), s) - log.begin(); };
    EXPECT_LT(pos("Delete:" + Left + "/old/deeper/y.txt"), pos("Delete Folder " + Left + "/old/deeper"));
    EXPECT_LT(pos("Delete Folder " + Left + "/old/deeper"), pos("Delete Folder " + Left + "/old"));
    EXPECT_EQ(PlanRows(Analyze()->Plan), std::vector<std::string>{});
}

TEST_F(SyncScenarioTest, ReplacedAndDeletedFilesAreBackedUpUnlessStatesAreKeptLocally) {
    for (int estimate : {0, 1}) {
        SCOPED_TRACE(estimate);
        fs::remove_all(Left), fs::remove_all(Right);
        MakeFolders(Left), MakeFolders(Right);
        fs::remove_all(Home.Dir + "/data");
        Task.SaveOldFile = 1;
        Task.IsDeleteFile = 1;
        Task.EstimateDiskSpace = estimate;
        Write(Left, "/sub/a.txt", "v1", T1);
        Write(Left, "/gone.txt", "g", T1);
        Run();
        Write(Left, "/sub/a.txt", "v2", T2);
        fs::remove(Left + "/gone.txt");
        Run();
        EXPECT_EQ(Snapshot(Right), (std::vector<std::string>{"/sub/", "/sub/a.txt=v2"}));
        const std::string saved = Right + "/" + MARKER_FOLDER + "/" + BACKUP_FOLDER;
        std::string old, gone;
        EXPECT_EQ(ReadWholeFile(saved + "/sub/a.txt", old) == 0, estimate == 0);
        EXPECT_EQ(ReadWholeFile(saved + "/gone.txt", gone) == 0, estimate == 0);
        if (estimate == 0) {
            EXPECT_EQ(old + gone, "v1g");
        }
        // With the states kept locally neither side gets a marker folder.
        EXPECT_EQ(fs::exists(Right + "/" + MARKER_FOLDER), estimate == 0);
        EXPECT_EQ(FileExists(Task.LocalStateFileName(1)), estimate == 1);
        EXPECT_EQ(PlanRows(Analyze()->Plan), std::vector<std::string>{});
    }
}

TEST_F(SyncScenarioTest, TemporaryCopyNeverOverwritesAFileOfTheTemporaryName) {
    Task.UseTempFile = 1;
    Write(Left, "/a.txt", "new", T2);
    Write(Right, "/a.txt", "old", T1);
    Write(Right, "/a.txt.tmp", "mine", T1);
    Write(Left, "/a.txt.tmp", "mine", T1);
    Run();
    EXPECT_EQ(Snapshot(Right), (std::vector<std::string>{"/a.txt.tmp=mine", "/a.txt=new"}));
}

TEST_F(SyncScenarioTest, ConflictsRunNothingAndStayConflicts) {
    Write(Left, "/both.txt", "l", T1);
    Write(Right, "/both.txt", "l", T1);
    Write(Left, "/other.txt", "o", T1);  // a run saves states only when it did something
    Run();
    Write(Left, "/both.txt", "left edit", T2);
    Write(Right, "/both.txt", "right edit", T3);
    TPlan* plan = nullptr;
    auto run = Analyze();
    plan = &run->Plan;
    // Conflicts are not in the changes view; the conflicts view holds them.
    plan->ShowView(*run->ResultTree, VIEW_CONFLICTS, Task.SyncName);
    ASSERT_EQ(PlanRows(*plan), std::vector<std::string>{"/both.txt:2"});
    std::vector<std::string> log;
    run->Sync([&](const std::string& l) { log.push_back(l); });
    EXPECT_EQ(PlanRows(*plan), std::vector<std::string>{"/both.txt:2"});
    EXPECT_EQ(log, std::vector<std::string>{"Operator File :0"});
    std::string content;
    ReadWholeFile(Right + "/both.txt", content);
    EXPECT_EQ(content, "right edit");
}

// Two "remote" sides (in-memory stores) pass files through one private staging file at a time.
TEST_F(SyncScenarioTest, RemoteToRemoteCopiesPassThroughPrivateStagingFilesThatAreRemoved) {
    auto leftStore = std::make_shared<TMemStore>(), rightStore = std::make_shared<TMemStore>();
    TSyncTask::SetFileOperFactory([&](const TFolderSource& f, bool) -> std::unique_ptr<TFileOper> {
        return std::make_unique<TMemFileOper>(f.FolerAllName == "mem:left" ? leftStore : rightStore);
    });
    Task.LFolder->DeviceType = DEVICE_WEBDAV;
    Task.LFolder->FolerAllName = "mem:left";
    Task.RFolder->DeviceType = DEVICE_S3;
    Task.RFolder->FolerAllName = "mem:right";
    leftStore->AddFile("/d/a.txt", "alpha", 1000);
    rightStore->AddFile("/b.txt", "beta", 1000);
    Run();
    EXPECT_EQ(leftStore->Snapshot(), (std::vector<std::string>{"/b.txt=1000", "/d/", "/d/a.txt=1000"}));
    EXPECT_EQ(rightStore->Snapshot(), leftStore->Snapshot());
    EXPECT_EQ(rightStore->Get("/d/a.txt").Content, "alpha");
    const std::string staging = GetStagingFolder();
    struct stat st {};
    ASSERT_EQ(::stat(staging.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(fs::is_empty(staging));
    EXPECT_EQ(PlanRows(Analyze()->Plan), std::vector<std::string>{});
}

// A download gives a new file the mode a plain copy would (0666 less the umask) and keeps the mode of
// the file it replaces (a script stays executable, a private file private).
TEST_F(SyncScenarioTest, DownloadsKeepTheReplacedFilesModeAndGiveNewFilesThePlainOne) {
    auto store = std::make_shared<TMemStore>();
    TSyncTask::SetFileOperFactory([&](const TFolderSource& f, bool) -> std::unique_ptr<TFileOper> {
        return f.DeviceType == DEVICE_FTP ? std::make_unique<TMemFileOper>(store) : nullptr;
    });
    Task.LFolder->DeviceType = DEVICE_FTP;
    Task.LFolder->FolerAllName = "mem:left";
    const mode_t mask = ::umask(022);
    ::umask(mask);
    const struct {
        const char* Name;
        mode_t Existing;  // 0: none
        mode_t Expected;
    } cases[] = {{"/new.txt", 0, 0666 & ~mask}, {"/tool.sh", 0755, 0755}, {"/private.txt", 0600, 0600}};
    for (const auto& c : cases) {
        store->AddFile(c.Name, "remote, newer", UnixTimeToDosDate(T2));
        if (c.Existing != 0) {
            Write(Right, c.Name, "old", T1);
            ASSERT_EQ(::chmod((Right + c.Name).c_str(), c.Existing), 0);
        }
    }
    Run();
    for (const auto& c : cases) {
        struct stat st {};
        ASSERT_EQ(::stat((Right + c.Name).c_str(), &st), 0) << c.Name;
        EXPECT_EQ(st.st_mode & 07777, c.Expected) << c.Name;
        std::string content;
        ReadWholeFile(Right + c.Name, content);
        EXPECT_EQ(content, "remote, newer");
    }
}

// Fault injection: an operation on one path fails. Its row ends 3 with an "Error " line, nothing
// else is lost, the saved states keep the change, and the next run (without the fault) converges.
TEST_F(SyncScenarioTest, FailedOperationsAreSeenAgainByTheNextRunWhichConverges) {
    struct TCase {
        const char* Name;
        int UseTemp;
        bool CanReplace;
        std::string FailPath;  // on the right (remote) side
        bool Atomic = false;   // the side's writes appear whole or not at all: no temporary entry
    } cases[] = {
        {"copy", 0, true, "/a.txt"},
        {"rename of the temporary copy", 1, false, "/a.txt"},
        {"delete", 0, true, "/gone.txt"},
        {"copy onto a side that writes in one step", 0, true, "/a.txt", true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        fs::remove_all(Left), MakeFolders(Left);
        auto store = std::make_shared<TMemStore>();
        TSyncTask::SetFileOperFactory([&](const TFolderSource& f, bool) -> std::unique_ptr<TFileOper> {
            if (f.DeviceType != DEVICE_FTP) return nullptr;
            auto oper = std::make_unique<TMemFileOper>(store);
            oper->CanReplace = c.CanReplace;
            oper->Atomic = c.Atomic;
            return oper;
        });
        Task.RFolder->DeviceType = DEVICE_FTP;
        Task.RFolder->FolerAllName = "mem:right";
        Task.UseTempFile = c.UseTemp;
        Task.IsDeleteFile = 1;
        Write(Left, "/a.txt", "v1", T1);
        Write(Left, "/b.txt", "b", T1);
        Write(Left, "/gone.txt", "g", T1);
        Run();
        ASSERT_EQ(store->Get("/a.txt").Content, "v1");

        Write(Left, "/a.txt", "v2", T2);
        fs::remove(Left + "/gone.txt");
        Write(Left, "/c.txt", "c", T2);
        store->FailPaths = {c.FailPath};
        const auto log = Run();
        const bool failedLine =
            std::any_of(log.begin(), log.end(), [](const std::string& l) { return l.starts_with("Error "); });
        EXPECT_TRUE(failedLine);
        EXPECT_NE(std::find(LastPlan.begin(), LastPlan.end(), c.FailPath + ":3"), LastPlan.end());
        EXPECT_EQ(store->Get("/c.txt").Content, "c");  // the rest went on
        EXPECT_EQ(store->Get("/b.txt").Content, "b");

        store->FailPaths.clear();
        Run();
        EXPECT_EQ(store->Get("/a.txt").Content, "v2");
        EXPECT_FALSE(store->Has("/gone.txt"));
        // A temporary copy that could not be renamed is removed; no visible "Name.tmp" is ever made.
        EXPECT_EQ(store->Snapshot().size(), 3u);  // a.txt, b.txt, c.txt
        EXPECT_EQ(PlanRows(Analyze()->Plan), std::vector<std::string>{});
        fs::remove_all(Home.Dir + "/data");
    }
}

// A back-end that tells why its part of a row failed (FailureText) has the row's error line end
// with the reason; the next row starts without it.
TEST_F(SyncScenarioTest, FailedRowEndsWithTheBackEndsReason) {
    struct TRefusingOper : TMemFileOper {
        using TMemFileOper::TMemFileOper;
        int32_t PutFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& A, int32_t X,
                        bool Log) override {
            if (LocalPath.ends_with("/refused.txt")) {
                FailureText = "log-on refused";
                return 1;
            }
            return TMemFileOper::PutFile(LocalPath, Source, A, X, Log);
        }
    };
    auto store = std::make_shared<TMemStore>();
    TSyncTask::SetFileOperFactory([&](const TFolderSource& f, bool) -> std::unique_ptr<TFileOper> {
        return f.DeviceType == DEVICE_FTP ? std::make_unique<TRefusingOper>(store) : nullptr;
    });
    Task.RFolder->DeviceType = DEVICE_FTP;
    Task.RFolder->FolerAllName = "mem:right";
    Write(Left, "/a.txt", "a", T1);
    Write(Left, "/refused.txt", "r", T1);
    Write(Left, "/z.txt", "z", T1);
    store->FailPaths = {"/z.txt"};
    std::vector<std::string> errors;
    for (const std::string& line : Run())
        if (line.starts_with("Error ")) errors.push_back(line);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_TRUE(errors[0].starts_with("Error Copy:") && errors[0].ends_with("refused.txt (log-on refused)"))
        << errors[0];
    EXPECT_TRUE(errors[1].ends_with("z.txt")) << errors[1];  // failed too, for no reason told
    EXPECT_EQ(store->Get("/a.txt").Content, "a");
}

TEST_F(SyncScenarioTest, UnsafeNamesInAPlanAreNeverJoinedIntoAPath) {
    Write(Left, "/a.txt", "a", T1);
    auto run = Analyze();
    ASSERT_EQ(PlanRows(run->Plan), std::vector<std::string>{"/a.txt:16"});
    for (const char* bad : {"..", "x/y", ""}) {
        run->Plan.RootNode->Children[0]->Data.Name = bad;
        run->Plan.RootNode->Children[0]->Data.Action = ACTION_LEFT_ONLY;
        std::vector<std::string> log;
        run->Sync([&](const std::string& l) { log.push_back(l); });
        EXPECT_EQ(run->Plan.RootNode->Children[0]->Data.Action, ACTION_ERROR) << bad;
        ASSERT_FALSE(log.empty());
        EXPECT_TRUE(log.front().starts_with("Error Unsafe name")) << log.front();
    }
    EXPECT_EQ(Snapshot(Right), std::vector<std::string>{});
}

TEST(PlanActionTest, EveryCodeMapsToItsOperation) {
    struct {
        int32_t Code;
        int32_t Operation, Source;
    } cases[] = {
        {16, OPER_COPY, SIDE_LEFT},  {20, OPER_COPY, SIDE_LEFT},   {17, OPER_COPY, SIDE_RIGHT},
        {19, OPER_COPY, SIDE_RIGHT}, {81, OPER_DELETE, SIDE_LEFT}, {82, OPER_DELETE, SIDE_RIGHT},
        {18, OPER_NONE, SIDE_LEFT},  {21, OPER_NONE, SIDE_LEFT},   {2, OPER_NONE, SIDE_LEFT},
        {3, OPER_NONE, SIDE_LEFT},   {6, OPER_NONE, SIDE_LEFT},    {7, OPER_NONE, SIDE_LEFT},
        {-1, OPER_NONE, SIDE_LEFT},
    };
    for (const auto& c : cases) {
        const TPlanAction a = PlanAction(c.Code);
        EXPECT_EQ(a.Operation, c.Operation) << c.Code;
        if (a.Operation != OPER_NONE) {
            EXPECT_EQ(a.SourceSide, c.Source) << c.Code;
        }
    }
}

}  // namespace
}  // namespace bfs

namespace bfs::test {

// A side that cannot be reached stops the run with one line that says why, when its back-end knows.
TEST_F(SyncScenarioTest, ARefusedConnectionNamesItsReason) {
    auto store = std::make_shared<TMemStore>();
    TSyncTask::SetFileOperFactory([&](const TFolderSource& f, bool) -> std::unique_ptr<TFileOper> {
        auto oper = std::make_unique<TMemFileOper>(store);
        if (f.FolerAllName == "mem:right") {
            oper->ConnectResult = 5;
            oper->FailureText = "log-on refused";
        }
        return oper;
    });
    for (auto [folder, name] : {std::pair{Task.LFolder, "mem:left"}, std::pair{Task.RFolder, "mem:right"}}) {
        folder->DeviceType = DEVICE_WEBDAV;
        folder->FolerAllName = name;
    }
    TTaskRun run(Task);
    EXPECT_EQ(run.StartScan(), 1);
    EXPECT_EQ(run.ErrorText, "Cannot connect Right folder: mem:right (log-on refused)");
}

}  // namespace bfs::test
