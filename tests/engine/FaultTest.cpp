// Data safety under faults, on real folders: a back-end wrapper fails the Nth write, rename, delete
// or backup, writes short, lets a file change meanwhile, or abandons the run at operation N (as a
// crash would: nothing after it reaches the disk). After each faulty run every file under its own
// name must hold a whole version that existed; fault-free runs must then converge (both sides
// equal, the latest edits kept, no row left, no stray file).

#include "EngineTestUtil.h"
#include "engine/UTFileSyncThread.h"
#include "engine/UTStateSaving.h"
#include "engine/UTTaskRun.h"
#include "model/UTDosTime.h"
#include "model/UTPublicFunc.h"
#include "platform/UTAtomicFile.h"
#include "storage/UTWinFileOper.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace bfs {
namespace {

namespace fs = std::filesystem;

enum class TFault { None, FailWrite, FailRename, FailDelete, FailBackup, ShortWrite, EditMeanwhile, Abandon };

// Guards every TFaultPlan and TTraffic: the transfers of a walk use a side's back-ends side by side.
std::recursive_mutex g_FaultLock;

// What the back-ends of the two sides are doing right now, to check how the walk spreads its rows
// over its transfers: how many operations ran at once, and no two that must not overlap.
struct TTraffic {
    int MostBusy = 0;                    // files written at once
    int Started = 0;                     // writes begun
    std::multiset<std::string> Writing;  // full paths of the files being written
    std::multiset<std::string> Making;   // full paths of folders being made
    std::vector<std::string> Faults;     // overlaps that must not happen
    std::chrono::milliseconds Hold{0};   // each write is held this long, so that rows overlap
    std::string Slow;                    // a write from a path ending so is held 300 ms
};

// What the wrapper does, shared by every back-end object the run makes for one side.
struct TFaultPlan {
    TFault Kind = TFault::None;
    int N = 0;  // the Nth operation of the kind (Abandon: of any write, rename or delete) faults
    int Count = 0;
    bool Dead = false;                // after Abandon: nothing more reaches the disk
    std::function<void()> Meanwhile;  // EditMeanwhile: a user's edit made during the run
    bool Fired = false;
    // How the side behaves beside the faults: it cannot rename over a file; it writes a copy
    // straight under its name, in one step, as an object store does; it stores a name ending in a
    // blank without that blank, as some servers do.
    bool NoReplace = false;
    bool Atomic = false;
    bool DropsTrailingBlank = false;

    // Whether an operation of class Op (FailWrite, FailRename, FailDelete, FailBackup) may go ahead.
    // Under g_FaultLock.
    bool Allowed(TFault Op) {
        if (Dead) return false;
        switch (Kind) {
            case TFault::EditMeanwhile:
                if (Op == TFault::FailWrite && ++Count == N) {
                    Fired = true;
                    Meanwhile();
                }
                return true;
            case TFault::Abandon:
                if (++Count != N) return true;
                Fired = Dead = true;
                return false;
            default:
                if (Kind != Op || ++Count != N) return true;
                Fired = true;
                return false;
        }
    }
};

// A local back-end with faults injected on the way to it.
class TFaultOper : public TFileOper {
  public:
    TFaultOper(TFaultPlan& Plan, TTraffic& Traffic)
        : TFileOper(false), Plan(Plan), Traffic(Traffic), Inner(CreateWinFileOper(false)) {}
    ~TFaultOper() override {
        Terminate();
        WaitFor();
    }
    TFaultPlan& Plan;
    TTraffic& Traffic;
    std::unique_ptr<TFileOper> Inner;

    // Holds Path in the set In (none: nothing) while it lives.
    struct TBusy {
        TBusy(TTraffic& T, std::multiset<std::string>* In, std::string Path)
            : T(T), In(In), Path(std::move(Path)) {
            std::lock_guard lock(g_FaultLock);
            if (In) In->insert(this->Path);
            T.Started += In == &T.Writing ? 1 : 0;
            T.MostBusy = std::max(T.MostBusy, static_cast<int>(T.Writing.size()));
        }
        ~TBusy() {
            std::lock_guard lock(g_FaultLock);
            if (In) In->erase(In->find(Path));
        }
        TTraffic& T;
        std::multiset<std::string>* In;
        std::string Path;
    };
    // Notes a fault when an entry of Set lies at Path or below it (Below), or is Path or above it.
    void MustNotOverlap(const std::multiset<std::string>& Set, const std::string& Path, bool Below,
                        const char* What) {
        std::lock_guard lock(g_FaultLock);
        for (const std::string& other : Set)
            if (Below ? other.starts_with(Path + "/") : (Path + "/").starts_with(other + "/"))
                Traffic.Faults.push_back(std::string(What) + ": " + Path + " beside " + other);
    }
    bool Dead() const {
        std::lock_guard lock(g_FaultLock);
        return Plan.Dead;
    }

    TFileOper& In() {
        Inner->FFolderSource = FFolderSource;
        return *Inner;
    }
    // Where the side stores what is written to Path.
    std::string Stored(std::string Path) const {
        if (Plan.DropsTrailingBlank)
            while (Path.ends_with(" ")) Path.pop_back();
        return Path;
    }
    TFileAttri Stored(TFileAttri A) const {
        A.Name = Stored(A.Name);
        return A;
    }
    bool Allowed(TFault Op) {
        std::lock_guard lock(g_FaultLock);
        return Plan.Allowed(Op);
    }

    int32_t Connect() override { return In().Connect(); }
    int32_t ListFolder() override {
        TFileOper& in = In();
        in.LoadSavedTreeFlag = LoadSavedTreeFlag;
        in.FTreeFileName = FTreeFileName;
        const int32_t rc = in.ListFolder();
        FFileTree = in.FFileTree;
        FSavedTree = in.FSavedTree;
        FSavedTreeHash = in.FSavedTreeHash;
        FSavedTreeDamaged = in.FSavedTreeDamaged;
        LoadSavedTreeFlag = false;
        return rc;
    }
    int32_t ReadFileToStream(TFolderSource& S, const TFileAttri& A, std::string& Stream, int32_t X) override {
        return In().ReadFileToStream(S, A, Stream, X);
    }
    int32_t WriteStreamToFile(const std::string& Stream, TFolderSource& S, const TFileAttri& A,
                              bool C) override {
        return Dead() ? 1 : In().WriteStreamToFile(Stream, S, A, C);
    }
    int32_t MakeDir(const std::string& Rel) override {
        if (Dead()) return 1;
        // Two transfers never make one folder, or a folder and one inside it, at the same time.
        std::string path = FFolderSource->FolerAllName + "/" + Rel;
        for (size_t at; (at = path.find("//")) != std::string::npos;) path.erase(at, 1);
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        const bool makes = !fs::is_directory(path);
        if (makes) {
            MustNotOverlap(Traffic.Making, path, false, "folders made at once");
            MustNotOverlap(Traffic.Making, path, true, "folders made at once");
        }
        TBusy busy(Traffic, makes ? &Traffic.Making : nullptr, path);
        return In().MakeDir(Rel);
    }
    int32_t GetScanSteps() override { return In().GetScanSteps(); }
    int32_t LoadSavedTree() override { return In().LoadSavedTree(); }
    int32_t DeleteFile(TFolderSource& S, const TFileAttri& A, bool Log) override {
        return Allowed(TFault::FailDelete) ? In().DeleteFile(S, A, Log) : 1;
    }
    int32_t RemoveDir(TFolderSource& S, const TFileAttri& A, bool Log) override {
        // A folder goes only once nothing is written inside it any more.
        MustNotOverlap(Traffic.Writing, In().GetFullPath(S, A), true, "folder removed while written to");
        return Allowed(TFault::FailDelete) ? In().RemoveDir(S, A, Log) : 1;
    }
    std::string GetBackupFolder() override { return In().GetBackupFolder(); }
    int64_t GetFileSize(const std::string& Full) override { return In().GetFileSize(Full); }
    int32_t BackupFile(TFolderSource& S, const TFileAttri& A) override {
        return Allowed(TFault::FailBackup) ? In().BackupFile(S, A) : 1;
    }
    std::string ExtractDir(const std::string& P) override { return In().ExtractDir(P); }
    std::string GetFullPath(TFolderSource& S, const TFileAttri& A) override { return In().GetFullPath(S, A); }
    std::string GetFolderPath(TFolderSource& S, const TFileAttri& A) override {
        return In().GetFolderPath(S, A);
    }
    int32_t PutFile(const std::string& Local, TFolderSource& S, const TFileAttri& A, int32_t Attr,
                    bool Log) override {
        TBusy busy(Traffic, &Traffic.Writing, In().GetFullPath(S, A));
        std::this_thread::sleep_for(!Traffic.Slow.empty() && Local.ends_with(Traffic.Slow)
                                        ? std::chrono::milliseconds(300)
                                        : Traffic.Hold);
        bool abandon = false, shortWrite = false, allowed = true;
        {
            std::lock_guard lock(g_FaultLock);
            abandon = Plan.Kind == TFault::Abandon && !Plan.Dead && Plan.Count + 1 == Plan.N;
            if (Plan.Kind == TFault::ShortWrite && ++Plan.Count == Plan.N) Plan.Fired = shortWrite = true;
            if (!shortWrite) allowed = Plan.Allowed(TFault::FailWrite);
        }
        if (shortWrite) {
            // The side takes the file and reports success, but keeps only half of it.
            const int32_t rc = In().PutFile(Local, S, Stored(A), Attr, Log);
            ::truncate(In().GetFullPath(S, Stored(A)).c_str(), A.Size / 2);
            return rc;
        }
        if (!allowed) {
            // A crash in the middle of a write leaves half a file under the name written to.
            if (abandon) {
                std::string data;
                ReadWholeFile(Local, data);
                WriteFileAtomic(In().GetFullPath(S, A), data.substr(0, data.size() / 2));
            }
            return 1;
        }
        return In().PutFile(Local, S, Stored(A), Attr, Log);
    }
    int32_t RenameFile(const std::string& From, const std::string& To) override {
        return Allowed(TFault::FailRename) ? In().RenameFile(From, Stored(To)) : 1;
    }
    int32_t GetFile(const std::string& Local, TFolderSource& S, const TFileAttri& A, int32_t X,
                    bool Log) override {
        return Allowed(TFault::FailWrite) ? In().GetFile(Local, S, A, X, Log) : 1;
    }
    int32_t CheckFolder() override { return In().CheckFolder(); }
    int32_t GetEntryState(TFolderSource& S, const TFileAttri& A, TEntryState& State) override {
        return In().GetEntryState(S, A, State);
    }
    TFileAttri TempEntryFor(const TFileAttri& Target) override { return In().TempEntryFor(Target); }
    bool ReplacesByRename() const override { return !Plan.NoReplace && Inner->ReplacesByRename(); }
    bool WritesAtomically() const override { return Plan.Atomic; }
    int32_t ReplaceFile(const std::string& From, const std::string& To) override {
        return Allowed(TFault::FailRename) ? In().ReplaceFile(From, Stored(To)) : 1;
    }
};

constexpr int64_t T1 = 1600000000;  // even seconds: DOS times keep them exactly

// Every entry below Root, the marker folder left out: "rel/" for folders, "rel=content" for files.
std::map<std::string, std::string> Files(const std::string& Root, bool WithMarker = false) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(Root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = it->path().string().substr(Root.size());
        if (!WithMarker && rel == std::string("/") + MARKER_FOLDER) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_directory()) continue;
        std::string content;
        ReadWholeFile(it->path().string(), content);
        out[rel] = content;
    }
    return out;
}

// Every test runs with the walk's default number of transfers and with one.
class FaultTest : public test::TLocalTaskTest, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        TLocalTaskTest::SetUp();
        TFileSyncThread::SetTransferCount(GetParam());
        Task.IsDeleteFile = 1;
        TSyncTask::SetFileOperFactory([this](const TFolderSource& f, bool) -> std::unique_ptr<TFileOper> {
            return std::make_unique<TFaultOper>(f.FolerAllName == Left ? LeftPlan : RightPlan, Traffic);
        });
    }
    void TearDown() override {
        TLocalTaskTest::TearDown();
        TFileSyncThread::SetTransferCount(0);
    }

    // A user's edit: the file gets Content (a new version of Rel) dated Time; "" deletes it.
    void Edit(const std::string& Root, const std::string& Rel, const std::string& Content, int64_t Time) {
        const std::string path = Root + Rel;
        if (Content.empty()) {
            fs::remove(path);
            return;
        }
        Versions[Rel].insert(Content);
        ASSERT_EQ(MakeFolders(path.substr(0, path.rfind('/'))), 0);
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << Content;
            ASSERT_TRUE(out.good()) << path;
        }
        const timespec times[2] = {{static_cast<time_t>(Time), 0}, {static_cast<time_t>(Time), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }

    // One whole run; the sync's log lines. An empty plan still saves the states.
    std::vector<std::string> Run(std::vector<std::string>* PlanRows = nullptr) {
        TTaskRun run(Task);
        std::vector<std::string> log;
        if (run.StartScan() != 0) return {"start: " + run.ErrorText};
        run.FinishScan();
        if (run.Analyze() != 0) return {"analysis: " + run.ErrorText};
        if (PlanRows && run.Plan.RootNode)
            for (const auto& r : run.Plan.RootNode->Children)
                PlanRows->push_back(r->Data.FolderPath + r->Data.Name);
        run.Sync([&](const std::string& l) { log.push_back(l); });
        return log;
    }

    // Promise 1: every file under its own name holds a whole version that existed.
    void ExpectWholeVersions() {
        for (const std::string& root : {Left, Right})
            for (const auto& [rel, content] : Files(root)) {
                if (IsReservedName(rel.substr(rel.rfind('/') + 1))) continue;  // not a user's file
                EXPECT_TRUE(Versions[rel].count(content)) << root << rel << " holds \"" << content << "\"";
            }
    }

    // Fault-free runs until the plan is empty; then both sides hold Expected and nothing else, and
    // no temporary file is left anywhere (the marker folder included).
    void ExpectConverges(const std::map<std::string, std::string>& Expected) {
        LeftPlan = RightPlan = TFaultPlan{};
        std::vector<std::string> rows = {"?"};
        for (int i = 0; i < 4 && !rows.empty(); ++i) {
            rows.clear();
            Run(&rows);
        }
        EXPECT_TRUE(rows.empty()) << "still planned: " << rows.front();
        EXPECT_EQ(Files(Left), Expected);
        EXPECT_EQ(Files(Right), Expected);
        for (const std::string& root : {Left, Right})
            for (const auto& [rel, content] : Files(root, true)) {
                const std::string name = rel.substr(rel.rfind('/') + 1);
                EXPECT_FALSE(IsReservedName(name) || name.find(".p.") != std::string::npos) << root << rel;
            }
    }

    TFaultPlan LeftPlan, RightPlan;
    TTraffic Traffic;
    std::map<std::string, std::set<std::string>> Versions;
};

INSTANTIATE_TEST_SUITE_P(Transfers, FaultTest, ::testing::Values(SYNC_TRANSFERS, 1),
                         [](const ::testing::TestParamInfo<int>& Info) {
                             return Info.param == 1 ? std::string("One") : "Default";
                         });

// Every fault at every step of a run that copies both ways, replaces, creates folders and deletes.
TEST_P(FaultTest, EveryFaultAtEveryStepKeepsWholeVersionsAndConverges) {
    struct TCase {
        TFault Kind;
        int MaxN;
        bool NoReplace = false;  // a side that cannot rename over a file steps the old one aside
    } cases[] = {{TFault::FailWrite, 3},     {TFault::FailRename, 3}, {TFault::FailRename, 5, true},
                 {TFault::FailDelete, 2},    {TFault::FailBackup, 3}, {TFault::ShortWrite, 3},
                 {TFault::EditMeanwhile, 3}, {TFault::Abandon, 7},    {TFault::Abandon, 9, true}};
    for (const TCase& c : cases) {
        int fired = 0;
        for (int n = 1; n <= c.MaxN; ++n) {
            for (bool faultOnRight : {true, false}) {
                SCOPED_TRACE(testing::Message() << "fault " << static_cast<int>(c.Kind) << " at " << n
                                                << (faultOnRight ? " on the right" : " on the left"));
                fs::remove_all(Left), fs::remove_all(Right), fs::remove_all(Home.Dir + "/data");
                MakeFolders(Left), MakeFolders(Right);
                Versions.clear();
                Task.SaveOldFile = c.Kind == TFault::FailBackup ? 1 : 0;
                Edit(Left, "/a.txt", "a1", T1);
                Edit(Left, "/sub/b.txt", "b1", T1);
                Edit(Right, "/c.txt", "c1", T1);
                Edit(Left, "/gone.txt", "g1", T1);
                Edit(Left, "/gone2.txt", "h1", T1);
                Edit(Left, "/stable.txt", "s1", T1);
                Run();
                ASSERT_EQ(Files(Left), Files(Right));

                Edit(Left, "/a.txt", "a2 longer", T1 + 100);  // replace on the right
                Edit(Right, "/sub/b.txt", "b2", T1 + 100);    // replace on the left
                Edit(Right, "/new/d.txt", "d1", T1 + 100);    // new, in a new folder
                Edit(Left, "/e.txt", "e1", T1 + 100);         // new
                Edit(Right, "/gone.txt", "", 0);              // deleted on the right
                Edit(Left, "/gone2.txt", "", 0);              // deleted on the left
                TFaultPlan& plan = faultOnRight ? RightPlan : LeftPlan;
                plan.Kind = c.Kind;
                plan.N = n;
                plan.NoReplace = c.NoReplace;
                plan.Meanwhile = [&] { Edit(Left, "/stable.txt", "s2 edited meanwhile", T1 + 300); };
                const auto log = Run();
                ExpectWholeVersions();
                // Every fault that struck is reported (a meanwhile edit is no fault of the run).
                if (plan.Fired && c.Kind != TFault::EditMeanwhile) {
                    EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                                            [](const std::string& l) { return l.starts_with("Error"); }));
                }
                std::map<std::string, std::string> expected = {{"/a.txt", "a2 longer"}, {"/c.txt", "c1"},
                                                               {"/e.txt", "e1"},        {"/new/d.txt", "d1"},
                                                               {"/stable.txt", "s1"},   {"/sub/b.txt", "b2"}};
                if (c.Kind == TFault::EditMeanwhile && plan.Fired)
                    expected["/stable.txt"] = "s2 edited meanwhile";
                fired += plan.Fired ? 1 : 0;
                ExpectConverges(expected);
                if (HasFailure()) return;
            }
        }
        // The sweep reaches past the run's last operation of the kind, on both sides.
        EXPECT_GE(fired, 2) << static_cast<int>(c.Kind);
        EXPECT_LT(fired, 2 * c.MaxN) << static_cast<int>(c.Kind);
    }
}

// A target edited between the analysis and its row is left alone and the row fails; a source that
// changed meanwhile is not copied. Both versions stay; the next runs show a conflict, not a copy.
// An entry no row touches, edited meanwhile, travels with the next run.
TEST_P(FaultTest, EntriesChangedAfterTheAnalysisAreLeftAlone) {
    Edit(Left, "/a.txt", "a1", T1);
    Edit(Left, "/b.txt", "b1", T1);
    Edit(Left, "/x.txt", "x1", T1);
    Run();
    Edit(Left, "/a.txt", "a2", T1 + 100);  // planned: copy to the right
    Edit(Left, "/b.txt", "b2", T1 + 100);  // planned: copy to the right
    Edit(Left, "/n.txt", "n1", T1 + 100);  // planned: new on the right
    auto run = Analyze();
    Edit(Right, "/a.txt", "a3 right edit", T1 + 200);  // the target changed
    Edit(Right, "/n.txt", "n2 right", T1 + 200);       // a target expected absent appeared
    Edit(Left, "/b.txt", "b3 left again", T1 + 200);   // the source changed
    Edit(Left, "/x.txt", "x2", T1 + 200);              // no row's entry
    std::vector<std::string> log;
    run->Sync([&](const std::string& l) { log.push_back(l); });
    const std::vector<std::string> errors(
        log.begin(),
        std::remove_if(log.begin(), log.end(), [](const std::string& l) { return !l.starts_with("Error"); }));
    EXPECT_EQ(errors, (std::vector<std::string>{"Error changed since the analysis: " + Right + "/a.txt",
                                                "Error changed while copying: " + Left + "/b.txt",
                                                "Error changed since the analysis: " + Right + "/n.txt"}));
    EXPECT_EQ(Files(Right)["/a.txt"], "a3 right edit");
    EXPECT_EQ(Files(Right)["/n.txt"], "n2 right");
    EXPECT_EQ(Files(Right)["/b.txt"], "b1");
    // Changed on both sides since the last sync: conflicts, run after run; b.txt travels.
    for (int i = 0; i < 2; ++i) {
        auto again = Analyze();
        again->Plan.ShowView(*again->ResultTree, VIEW_ALL, Task.SyncName);
        std::map<std::string, int32_t> codes;
        for (const auto& r : again->Plan.RootNode->Children) codes[r->Data.Name] = r->Data.Action;
        EXPECT_EQ(codes["a.txt"], ACTION_CONFLICT);
        EXPECT_EQ(codes["n.txt"], ACTION_CONFLICT);
        EXPECT_EQ(codes["b.txt"], i == 0 ? ACTION_LEFT_NEWER : ACTION_SAME);
        EXPECT_EQ(codes["x.txt"], i == 0 ? ACTION_LEFT_NEWER : ACTION_SAME);
        again->Sync();
    }
    EXPECT_EQ(Files(Right)["/b.txt"], "b3 left again");
    EXPECT_EQ(Files(Right)["/x.txt"], "x2");
}

// Real crashes: a child process runs the sync and is killed at different moments; the promise
// holds for what it left, and fault-free runs converge.
TEST_P(FaultTest, KilledRunsLeaveWholeVersionsAndConverge) {
    TSyncTask::SetFileOperFactory({});
    const std::string big(24 << 20, 'x');
    int killed = 0;
    for (int delayMs : {0, 2, 5, 10, 20, 40}) {
        SCOPED_TRACE(delayMs);
        fs::remove_all(Left), fs::remove_all(Right);
        MakeFolders(Left), MakeFolders(Right);
        Versions.clear();
        for (int i = 0; i < 40; ++i)
            Edit(Left, "/small/" + std::to_string(i), std::string(2000, 'a' + i % 26), T1);
        Edit(Left, "/big.bin", big + "1", T1);
        Run();
        Edit(Left, "/big.bin", big + "2 edited", T1 + 100);
        for (int i = 0; i < 40; i += 3)
            Edit(Right, "/small/" + std::to_string(i), "edited " + std::to_string(i), T1 + 100);
        Edit(Right, "/big2.bin", big + "new", T1 + 100);

        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Run();
            ::_exit(0);
        }
        ::usleep(static_cast<useconds_t>(delayMs) * 1000);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        killed += WIFSIGNALED(status) ? 1 : 0;
        ExpectWholeVersions();
        std::map<std::string, std::string> expected;
        for (int i = 0; i < 40; ++i)
            expected["/small/" + std::to_string(i)] =
                i % 3 == 0 ? "edited " + std::to_string(i) : std::string(2000, 'a' + i % 26);
        expected["/big.bin"] = big + "2 edited";
        expected["/big2.bin"] = big + "new";
        ExpectConverges(expected);
        if (HasFailure()) return;
    }
    EXPECT_GE(killed, 3);  // most runs died before their end
}

// The codes of one analysis in the "all" view, by entry path.
std::map<std::string, int32_t> Codes(TTaskRun& Run) {
    Run.Plan.ShowView(*Run.ResultTree, VIEW_ALL, Run.Task.SyncName);
    std::map<std::string, int32_t> codes;
    std::vector<const TPlanRow*> stack{Run.Plan.RootNode.get()};
    while (!stack.empty()) {
        const TPlanRow* r = stack.back();
        stack.pop_back();
        if (r != Run.Plan.RootNode.get()) codes[r->Data.FolderPath + r->Data.Name] = r->Data.Action;
        for (const auto& c : r->Children) stack.push_back(c.get());
    }
    return codes;
}

// States are written whenever they would change, even when nothing is copied, and only then.
TEST_P(FaultTest, StatesStayCurrentWithoutCopiesAndAreNotRewrittenWhenCurrent) {
    for (int isDelete : {1, 0}) {
        SCOPED_TRACE(isDelete);
        fs::remove_all(Left), fs::remove_all(Right), MakeFolders(Left), MakeFolders(Right);
        Task.IsDeleteFile = isDelete;
        for (const std::string& root : {Left, Right})
            Edit(root, "/a.txt", "a", T1), Edit(root, "/b.txt", "b", T1);
        Run();  // identical folders: nothing to copy, but the states are saved
        const std::string state = Right + "/" + MARKER_FOLDER + "/T1";
        struct stat before {};
        ASSERT_EQ(::stat(state.c_str(), &before), 0);
        Run();  // a no-op run with current states writes nothing
        struct stat after {};
        ASSERT_EQ(::stat(state.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

        Edit(Left, "/a.txt", "", 0);
        Run();  // carried over, or (IsDeleteFile 0) not: then copied back by the very next run
        EXPECT_EQ(fs::exists(Right + "/a.txt"), isDelete == 0);
        Run();
        EXPECT_EQ(fs::exists(Left + "/a.txt"), isDelete == 0);
        EXPECT_EQ(Files(Left), Files(Right));

        Edit(Left, "/b.txt", "b2", T1 + 50);
        Edit(Right, "/c.txt", "c", T1);
        auto run = Analyze();
        run->Sync();
        run->Sync();  // nothing left to do: what the first sync recorded stays
        std::string text;
        ReadWholeFile(state, text);
        EXPECT_NE(text.find(":" + std::to_string(UnixTimeToDosDate(T1 + 50)) + ":"), std::string::npos)
            << text;
    }
}

// A file whose size and contents agree on both sides is one file whatever its dates and change
// codes; a folder made on both sides is one folder.
TEST_P(FaultTest, EqualFilesAreEqualWhateverTheirChangeCodes) {
    struct TCase {
        const char* What;
        std::string Left, Right;  // the new versions
        int64_t LeftTime, RightTime;
        bool New;         // the file is new on both sides, else both had v1
        bool Unrecorded;  // the right got Left by a run that died before saving its state
        int32_t Code;
    } cases[] = {
        {"the same edit on both sides", "v2", "v2", T1 + 100, T1 + 100, false, false, ACTION_SAME},
        {"the same new file on both sides", "n", "n", T1 + 100, T1 + 100, true, false, ACTION_SAME},
        {"one date and size, other contents", "v2", "w2", T1 + 100, T1 + 100, false, false, ACTION_CONFLICT},
        {"other dates", "v2", "v2", T1 + 100, T1 + 200, false, false, ACTION_SAME},
        {"other dates and contents", "v2", "w2", T1 + 100, T1 + 200, false, false, ACTION_CONFLICT},
        {"new on both sides with other dates", "n", "n", T1 + 100, T1 + 200, true, false, ACTION_SAME},
        {"a copy the last run made but never recorded", "v2", "", T1 + 100, 0, false, true, ACTION_SAME},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        fs::remove_all(Left), fs::remove_all(Right), MakeFolders(Left), MakeFolders(Right);
        if (!c.New) Edit(Left, "/f.txt", "v1", T1);
        Edit(Left, "/other.txt", "o", T1);
        Run();
        Edit(Left, "/f.txt", c.Left, c.LeftTime);
        if (c.Unrecorded) {
            const std::string rightState = Right + "/" + MARKER_FOLDER + "/T1";
            std::string before;
            ASSERT_EQ(ReadWholeFile(rightState, before), 0);
            Run();
            ASSERT_EQ(WriteFileAtomic(rightState, before), 0);
        } else {
            Edit(Right, "/f.txt", c.Right, c.RightTime);
        }
        Edit(Right, "/made/x.txt", "x", T1), Edit(Left, "/made/x.txt", "x", T1);
        auto run = Analyze();
        auto codes = Codes(*run);
        EXPECT_EQ(codes["/f.txt"], c.Code);
        EXPECT_EQ(codes["/made"], ACTION_SAME);
        EXPECT_EQ(codes["/made/x.txt"], ACTION_SAME);
        run->Sync();
        if (c.Code == ACTION_SAME) {
            // Recorded as it now is: the next run finds nothing at all.
            auto next = Analyze();
            for (const auto& [path, code] : Codes(*next))
                EXPECT_TRUE(code == ACTION_SAME || code == ACTION_NONE) << path;
        }
    }
}

// A saved state that does not load, or names another folder, is kept aside; the run compares like a
// first sync but overwrites nothing: differing files are conflicts, one-sided entries are copied.
TEST_P(FaultTest, ADamagedStateOverwritesNothingAndIsKeptAside) {
    const std::string state = Left + "/" + MARKER_FOLDER + "/T1";
    struct {
        const char* What;
        std::function<void(std::string&)> Damage;
    } cases[] = {
        {"garbage", [](std::string& t) { t = "not a state"; }},
        {"cut short", [](std::string& t) { t.resize(t.size() / 2); }},
        {"empty", [](std::string& t) { t.clear(); }},
        {"a line in the wrong place", [](std::string& t) { t.replace(t.find(":/sub/:"), 7, ":/:"); }},
        // Whole and loadable, but written for another folder (copied from another pair, the sides'
        // states swapped, the folder moved): it says nothing about this one.
        {"another folder's first line", [](std::string& t) { t.insert(t.find("::"), "-elsewhere"); }},
        {"the other side's",
         [this](std::string& t) { ReadWholeFile(Right + "/" + MARKER_FOLDER + "/T1", t); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        fs::remove_all(Left), fs::remove_all(Right), MakeFolders(Left), MakeFolders(Right);
        Edit(Left, "/old.txt", "o1", T1);
        Edit(Left, "/sub/a.txt", "a1", T1);
        Edit(Left, "/gone.txt", "g", T1);
        Run();
        Edit(Right, "/old.txt", "o2 right edit, older date", T1 - 1000);
        Edit(Left, "/gone.txt", "", 0);
        Edit(Left, "/new.txt", "n", T1);
        std::string text;
        ASSERT_EQ(ReadWholeFile(state, text), 0);
        c.Damage(text);
        ASSERT_EQ(WriteFileAtomic(state, text), 0);

        auto run = Analyze();
        auto codes = Codes(*run);
        EXPECT_EQ(codes["/old.txt"], ACTION_CONFLICT);
        EXPECT_EQ(codes["/gone.txt"], ACTION_RIGHT_ONLY);  // a deletion may come back; nothing is lost
        EXPECT_EQ(codes["/new.txt"], ACTION_LEFT_ONLY);
        std::string kept;
        EXPECT_EQ(ReadWholeFile(state + ".damaged", kept), 0);
        EXPECT_EQ(kept, text);
        run->Sync();
        EXPECT_EQ(Files(Right)["/old.txt"], "o2 right edit, older date");
        EXPECT_EQ(Files(Left)["/old.txt"], "o1");
        // The next run works from the fresh states: the conflict stays a conflict.
        auto next = Analyze();
        EXPECT_EQ(Codes(*next)["/old.txt"], ACTION_CONFLICT);
        EXPECT_EQ(Codes(*next)["/gone.txt"], ACTION_SAME);
    }
}

// A state that is there but cannot be read (here a pipe where the file was, which an ordinary
// open would wait on for ever) is left where it is, and the run overwrites nothing.
TEST_P(FaultTest, AStateThatCannotBeReadIsLeftInPlaceAndOverwritesNothing) {
    const std::string state = Left + "/" + MARKER_FOLDER + "/T1";
    Edit(Left, "/old.txt", "o1", T1);
    Run();
    Edit(Right, "/old.txt", "o2 right edit, older date", T1 - 1000);
    ASSERT_EQ(::unlink(state.c_str()), 0);
    ASSERT_EQ(::mkfifo(state.c_str(), 0600), 0);

    auto run = Analyze();
    EXPECT_EQ(Codes(*run)["/old.txt"], ACTION_CONFLICT);
    struct stat st {};
    ASSERT_EQ(::lstat(state.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_NE(::access((state + ".damaged").c_str(), F_OK), 0);
    run->Sync();
    EXPECT_EQ(Files(Right)["/old.txt"], "o2 right edit, older date");
}

// One run per task; excluded rows never move whatever the view; a task whose direction did not load
// does not run; backups of long names work, and a failed backup leaves the target alone.
TEST_P(FaultTest, RunsThatMustNotHappenDoNot) {
    Edit(Left, "/a.txt", "a", T1);
    Edit(Left, "/skip.bak", "keep me out", T1);
    Task.ExcludeFilter = {"*.bak"};
    TTaskRun first(Task), second(Task);
    ASSERT_EQ(first.StartScan(), 0);
    EXPECT_EQ(second.StartScan(), 1);
    EXPECT_EQ(second.ErrorText, "The task \"Task\" is already running.");
    first.FinishScan();
    ASSERT_EQ(first.Analyze(), 0);
    first.Plan.ShowView(*first.ResultTree, VIEW_ALL, Task.SyncName);
    first.Sync();
    EXPECT_EQ(Files(Right), (std::map<std::string, std::string>{{"/a.txt", "a"}}));
    ASSERT_EQ(second.StartScan(), 0);  // free again once the first run is over
    second.FinishScan();
    second.Analyze();
    second.Sync();

    Task.SaveOldFile = 1;
    const std::string longName = "/" + std::string(250, 'n');
    Edit(Left, longName, "v1", T1);
    Run();
    Edit(Left, longName, "v2", T1 + 100);
    Run();
    std::string backup;
    EXPECT_EQ(ReadWholeFile(Right + "/" + MARKER_FOLDER + "/" + BACKUP_FOLDER + longName, backup), 0);
    EXPECT_EQ(backup, "v1");
    EXPECT_EQ(Files(Right)[longName], "v2");
}

// A copy the side does not show as written after the write (cut short on a side that writes in one
// step; stored under another name) fails its row with an Error line, the saved state does not
// record it, and later runs overwrite nothing with it.
TEST_P(FaultTest, WritesTheSideDoesNotShowAsWrittenFailTheirRows) {
    struct TCase {
        const char* What;
        std::string Name;
        bool Atomic, DropsBlank;
    } cases[] = {
        {"cut short on a side that writes in one step", "/a.txt", true, false},
        {"stored without its trailing blank", "/a.txt ", false, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        fs::remove_all(Left), fs::remove_all(Right), fs::remove_all(Home.Dir + "/data");
        MakeFolders(Left), MakeFolders(Right);
        Edit(Left, c.Name, "v1 of the file", T1);
        Run();
        Edit(Left, c.Name, "v2 of the file, longer", T1 + 100);
        RightPlan.Atomic = c.Atomic;
        RightPlan.DropsTrailingBlank = c.DropsBlank;
        RightPlan.Kind = c.Atomic ? TFault::ShortWrite : TFault::None;
        RightPlan.N = 1;
        for (int run = 0; run < 2; ++run) {
            const auto log = Run();
            EXPECT_NE(std::find(log.begin(), log.end(), "Error not found as written: " + Right + c.Name),
                      log.end())
                << (log.empty() ? "" : log.front());
            EXPECT_EQ(Files(Left)[c.Name], "v2 of the file, longer");  // never overwritten by what went wrong
            // The right side's state still records the first version (14 bytes), or nothing new.
            std::string state;
            ReadWholeFile(Right + "/" + MARKER_FOLDER + "/T1", state);
            TFileTree saved;
            ASSERT_TRUE(saved.LoadFromStream(state));
            for (const auto& entry : saved.Children) {
                if ("/" + entry->Name == c.Name) {
                    EXPECT_NE(entry->Data->Size, 22);
                }
            }
            if (c.Atomic) break;  // the half file is the right side's own change now: a conflict
        }
        LeftPlan = RightPlan = TFaultPlan{};
    }
}

// A saved state that cannot be written fails the run, whether a sync wrote it or an analysis that
// left nothing to do: an Error line names the side, and the run reports it.
TEST_P(FaultTest, AStateThatCannotBeWrittenFailsTheRun) {
    const std::string state = Right + "/" + MARKER_FOLDER + "/T1";
    for (bool sync : {true, false}) {
        SCOPED_TRACE(sync ? "after a sync" : "nothing to do");
        fs::remove_all(Left), fs::remove_all(Right), MakeFolders(Left), MakeFolders(Right);
        Edit(Left, "/a.txt", "a", T1);
        Run();
        if (sync) Edit(Left, "/b.txt", "b", T1);
        Edit(Left, "/a.txt", "a2", T1 + 10);  // not the state it holds: it has to be written
        fs::remove(state);
        ASSERT_TRUE(fs::create_directory(state));  // where the state goes, nothing can be written
        auto run = Analyze();
        std::vector<std::string> lines;
        if (sync) {
            run->Sync([&](const std::string& Line) { lines.push_back(Line); });
        } else {
            lines = run->Notes;
        }
        EXPECT_EQ(run->StateNotWritten(), STATE_RIGHT_NOT_WRITTEN);
        const std::string line = "Error saved state of the right side not written: " + Right;
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end())
            << ::testing::PrintToString(lines);
        fs::remove(state);
    }
}

}  // namespace
}  // namespace bfs

namespace bfs {
namespace {

// The entry a walk's log line names, relative to its side ("" for other lines).
std::string LineEntry(const std::string& Line, const std::string& Left, const std::string& Right) {
    // A copy's line names the source, then the target: the last path is the row's entry.
    const size_t left = Line.rfind(Left + "/"), right = Line.rfind(Right + "/");
    if (left != std::string::npos && (right == std::string::npos || left > right))
        return Line.substr(left + Left.size());
    if (right != std::string::npos) return Line.substr(right + Right.size());
    return Line.starts_with("Copy Folder ") ? Line.substr(12) : std::string();
}

// The rows that carry out an operation, in the walk's order (post-order); Files gets the files'.
void OperationRows(const TPlanRow& Row, std::vector<std::string>& Out, std::vector<std::string>& Files) {
    for (const auto& c : Row.Children) {
        OperationRows(*c, Out, Files);
        const TPlanAction action = PlanAction(c->Data.Action);
        if (action.Operation != OPER_NONE &&
            (c->Children.empty() || (c->Data.LtoRCount == 0 && c->Data.RtoLCount == 0)))
            Out.push_back(c->Data.FolderPath + c->Data.Name);
        if (!c->Data.IsFolder && action.Operation != OPER_NONE)
            Files.push_back(c->Data.FolderPath + c->Data.Name);
    }
}

// Rows that overlap: faults at every step while several rows are in flight are reported and
// converge, no folder is removed while written to or made twice at once, and one transfer means
// one write at a time.
TEST_P(FaultTest, FaultsAmongRowsInFlightAreReportedAndConverge) {
    const std::pair<TFault, int> cases[] = {
        {TFault::FailWrite, 14}, {TFault::FailRename, 14}, {TFault::FailDelete, 6}, {TFault::Abandon, 14}};
    Traffic.Hold = std::chrono::milliseconds(3);
    int mostBusy = 0;  // over the whole sweep: a fault at the first write may end a walk before any overlap
    for (const auto& [kind, maxN] : cases) {
        for (int n = 1; n <= maxN; ++n) {
            SCOPED_TRACE(testing::Message() << "fault " << static_cast<int>(kind) << " at " << n);
            fs::remove_all(Left), fs::remove_all(Right), fs::remove_all(Home.Dir + "/data");
            MakeFolders(Left), MakeFolders(Right);
            Versions.clear();
            std::map<std::string, std::string> expected;
            for (const char* folder : {"/p", "/q/r", "/s"})
                for (int i = 0; i < 4; ++i) {
                    const std::string rel = folder + std::string("/") + std::to_string(i);
                    Edit(Left, rel, "v1 " + rel, T1);
                    expected[rel] = i % 2 == 0 ? "v2 " + rel : "v1 " + rel;
                }
            for (int i = 0; i < 3; ++i) Edit(Left, "/old/" + std::to_string(i), "old", T1);
            Run();
            for (const auto& [rel, content] : expected)
                if (content.starts_with("v2")) Edit(Left, rel, content, T1 + 100);
            for (int i = 0; i < 4; ++i) {
                const std::string rel = "/new/" + std::to_string(i);
                Edit(Left, rel, "new " + rel, T1 + 100);
                expected[rel] = "new " + rel;
            }
            fs::remove_all(Left + "/old");
            Traffic.MostBusy = 0;
            RightPlan.Kind = kind;
            RightPlan.N = n;
            const auto log = Run();
            ExpectWholeVersions();
            if (RightPlan.Fired) {
                EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                                        [](const std::string& l) { return l.starts_with("Error"); }));
            }
            if (GetParam() == 1) {
                EXPECT_LE(Traffic.MostBusy, 1);
            }
            mostBusy = std::max(mostBusy, Traffic.MostBusy);
            ExpectConverges(expected);
            EXPECT_EQ(Traffic.Faults, std::vector<std::string>{});
            if (HasFailure()) return;
        }
    }
    EXPECT_EQ(mostBusy > 1, GetParam() > 1) << mostBusy;
}

// What the user sees comes out in row order, whatever order the rows finish in: the first row is
// slow, the others finish before it, yet each line and repaint waits until its row and every row
// before it are done.
TEST_P(FaultTest, ReportsComeInRowOrder) {
    for (int i = 0; i < 8; ++i) Edit(Left, "/f/" + std::to_string(i), "v" + std::to_string(i), T1);
    Edit(Right, "/g/x", "x", T1);
    Edit(Right, "/gone/y", "y", T1);
    Run();
    fs::remove_all(Right + "/gone");
    for (int i = 0; i < 8; ++i) Edit(Left, "/f/" + std::to_string(i), "w" + std::to_string(i), T1 + 100);
    Edit(Right, "/g/z", "z", T1 + 100);
    Traffic.Slow = "/f/0";
    Traffic.MostBusy = 0;
    auto run = Analyze();
    std::vector<std::string> rows, fileRows, lines, repainted;
    OperationRows(*run->Plan.RootNode, rows, fileRows);
    // A row is done when its target holds what the row writes, or no longer holds what it deletes.
    const auto done = [&](const std::string& Rel) {
        if (Rel.starts_with("/gone")) return !fs::exists(Left + Rel);
        std::string left, right;
        ReadWholeFile(Left + Rel, left), ReadWholeFile(Right + Rel, right);
        return left == right;
    };
    std::vector<std::string> notDoneYet;
    ASSERT_EQ(run->StartSync(
                  [&](const std::string& Line) {
                      const std::string entry = LineEntry(Line, Left, Right);
                      if (entry.empty()) return;
                      lines.push_back(entry);
                      for (size_t i = 0; i < lines.size() && i < rows.size(); ++i)
                          if (!done(rows[i])) notDoneYet.push_back(Line + " before " + rows[i]);
                  },
                  [&](TPlanRow& Row) {
                      if (PlanAction(Row.Data.Action).Operation == OPER_NONE &&
                          Row.Data.Action == ACTION_SAME && !Row.Data.IsFolder)
                          repainted.push_back(Row.Data.FolderPath + Row.Data.Name);
                  }),
              0);
    run->FinishSync();
    EXPECT_EQ(rows.size(), 11u);
    EXPECT_EQ(lines, rows);
    EXPECT_EQ(notDoneYet, std::vector<std::string>{});
    EXPECT_EQ(repainted, fileRows);
    if (GetParam() > 1) {
        EXPECT_GE(Traffic.MostBusy, 2);
    }
    EXPECT_EQ(Files(Left), Files(Right));
}

// A window takes the walk's reports in blocks, and the walk never waits for it: here nobody takes
// them until the walk has ended, yet it ends. They come in row order, announced once until taken,
// and a row's code changes only when its report is taken (the window paints the codes meanwhile).
TEST_P(FaultTest, AWindowTakesTheReportsInBlocksAndTheWalkNeverWaitsForIt) {
    for (int i = 0; i < 8; ++i) Edit(Left, "/f/" + std::to_string(i), "v" + std::to_string(i), T1);
    Edit(Right, "/g/x", "x", T1);
    auto run = Analyze();
    std::vector<std::string> rows, fileRows;
    OperationRows(*run->Plan.RootNode, rows, fileRows);
    std::atomic<int> announced{0};
    std::promise<void> ended;
    run->OnSyncReports = [&] { ++announced; };
    run->OnSyncEnded = [&] { ended.set_value(); };
    ASSERT_EQ(run->StartSync([](const std::string&) { ADD_FAILURE() << "a line went past the window"; }), 0);
    ASSERT_EQ(ended.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);

    std::vector<std::string> codesBefore;
    const std::function<void(const TPlanRow&)> same = [&](const TPlanRow& Row) {
        for (const auto& c : Row.Children) {
            same(*c);
            if (c->Data.Action == ACTION_SAME) codesBefore.push_back(c->Data.FolderPath + c->Data.Name);
        }
    };
    same(*run->Plan.RootNode);
    EXPECT_EQ(codesBefore, std::vector<std::string>{});
    const TSyncReports reports = run->TakeSyncReports();
    EXPECT_EQ(announced.load(), 1);
    std::vector<std::string> lines, taken;
    for (const std::string& line : reports.Lines)
        if (const std::string entry = LineEntry(line, Left, Right); !entry.empty()) lines.push_back(entry);
    for (const auto& [row, outcome] : reports.Rows) {
        EXPECT_EQ(row->Data.Action, outcome);
        if (outcome == ACTION_SAME && !row->Data.IsFolder)
            taken.push_back(row->Data.FolderPath + row->Data.Name);
    }
    EXPECT_EQ(lines, rows);
    EXPECT_EQ(taken, fileRows);
    EXPECT_TRUE(run->TakeSyncReports().Lines.empty());
    run->FinishSync();
    EXPECT_EQ(Files(Left), Files(Right));
}

// A cancel stops the handing out of rows; the rows in flight finish and are reported, the count
// says just those, and what was not carried out comes with the next run.
TEST_P(FaultTest, ACancelledWalkFinishesTheRowsInFlight) {
    std::map<std::string, std::string> expected;
    for (int i = 0; i < 24; ++i) {
        const std::string rel = "/c/" + std::to_string(100 + i);
        Edit(Left, rel, "content " + rel, T1);
        expected[rel] = "content " + rel;
    }
    Traffic.Hold = std::chrono::milliseconds(20);
    auto run = Analyze();
    std::vector<std::string> lines;
    // The walk's end is awaited without FinishSync, which would take the walk out of Stop's reach.
    std::promise<void> ended;
    run->OnSyncEnded = [&] { ended.set_value(); };
    ASSERT_EQ(run->StartSync([&](const std::string& Line) {
        lines.push_back(Line);
        if (lines.size() == 1) run->Stop();
    }),
              0);
    ended.get_future().wait();
    run->FinishSync();
    ASSERT_FALSE(lines.empty());
    const std::string count = lines.back();
    lines.pop_back();
    const size_t copied = Files(Right).size();
    EXPECT_EQ(lines.size(), copied);
    EXPECT_EQ(Traffic.Started, static_cast<int>(copied));  // every row begun was finished
    EXPECT_EQ(count, "Operator File :" + std::to_string(copied));
    EXPECT_GE(copied, 1u);
    // Rows that finish before the first one may free transfers for more rows until the first line
    // is out; one transfer hands out at most the row after it.
    EXPECT_LE(copied, GetParam() == 1 ? 2u : 23u);
    ExpectWholeVersions();
    Traffic.Hold = {};
    ExpectConverges(expected);
}

}  // namespace
}  // namespace bfs
