// Two-way runs as the command line makes them, with the right folder on every kind of storage behind
// its real server: one table of scenarios, one list of sides. Each scenario changes files on either
// side behind the program's back (as a user or another program would), runs the task, checks both
// trees, and ends with a run that must change nothing on either side. Every scenario runs with the
// walk's default number of transfers and with one.

#include "EngineTestUtil.h"
#include "common/TempFolder.h"
#include "common/TestSides.h"
#include "engine/UTFileSyncThread.h"
#include "engine/UTTaskRun.h"
#include "model/UTConsts.h"
#include "storage/rapi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace bfs::test {
namespace {

constexpr int64_t T1 = 1600000000;  // dates a test gives files (the past, even seconds)
constexpr int64_t T2 = 1600002000;
constexpr int64_t T3 = 1600004000;
constexpr int64_t Y1975 = 157766400;  // dates beyond either end of the DOS range
constexpr int64_t Y1977 = 220924800;
constexpr int64_t Y2150 = 5680281600;
constexpr int64_t Y2160 = 5995814400;

class TChecked {
  public:
    void Write(const std::string& Rel, const std::string& Content, int64_t Time) {
        EXPECT_TRUE(Side->Write(Rel, Content, Time)) << Rel;
    }
    void Remove(const std::string& Rel) { Side->Remove(Rel); }
    TTree List() { return Side->List(); }
    std::string Read(const std::string& Rel) { return Side->Read(Rel); }

    std::unique_ptr<TSide> Side;
};

class TwoWayScenarioTest;

// One scenario: what it sets up, changes and expects, through the fixture.
struct TScenario {
    const char* Name;
    std::function<void(TwoWayScenarioTest&)> Run;
};

class TwoWayScenarioTest : public ::testing::TestWithParam<std::tuple<size_t, size_t, int>> {
  public:
    void SetUp() override {
        TFileSyncThread::SetTransferCount(std::get<2>(GetParam()));
        const TSideKind& kind = SideKinds()[std::get<0>(GetParam())];
        if (std::string(kind.Name).starts_with("Device") && !LoadRapi()) GTEST_SKIP() << "no device library";
        R.Side = kind.Make(m_Scratch.Path);
        ASSERT_NE(R.Side, nullptr) << kind.Name << ": the side's server did not start";
        L.Side = std::make_unique<TLocalSide>(m_Scratch.Path + "/left");
        Task.SyncName = "Task";
        Task.SyncID = "T1";
        Task.SyncDirection = 0;
        Task.AutoRun = 1;  // as the command line runs it: conflicts by the task's Conflicts setting
        L.Side->Configure(*Task.LFolder);
        R.Side->Configure(*Task.RFolder);
        RightIsLocal = std::string(kind.Name) == "Local";
        RightDatesItself = std::string(kind.Name).starts_with("S3");
    }
    void TearDown() override { TFileSyncThread::SetTransferCount(0); }

    // One whole run, as `bramlow-file-sync "<task>"` makes it. Returns the sync's log lines.
    std::vector<std::string> Sync(bool MayFail = false) {
        TTaskRun run(Task);
        std::vector<std::string> log;
        EXPECT_EQ(run.StartScan(), 0) << run.ErrorText;
        if (!run.ErrorText.empty()) return log;
        EXPECT_EQ(run.FinishScan(), 0);
        EXPECT_EQ(run.Analyze(), 0) << run.ErrorText;
        Planned.clear();
        PlanCodes(run.Plan, Planned);
        run.Sync([&](const std::string& Line) { log.push_back(Line); });
        if (!MayFail) {
            for (const std::string& line : log) EXPECT_FALSE(line.starts_with("Error")) << line;
        }
        if (RightIsLocal && !TimesDiffer) ExpectTimesAlike();
        return log;
    }
    // Both sides hold just these entries.
    void ExpectBoth(const std::vector<std::string>& Expected) {
        EXPECT_EQ(Contents(L.List()), Expected) << "left";
        EXPECT_EQ(Contents(R.List()), Expected) << "right";
    }
    // A run after which nothing was copied, deleted or dated anew on either side.
    void ExpectQuiet() {
        const TTree left = L.List(), right = R.List();
        const auto log = Sync();
        EXPECT_EQ(log.empty() ? std::string() : log.back(), "Operator File :0");
        EXPECT_EQ(L.List(), left);
        EXPECT_EQ(R.List(), right);
    }

    TChecked L, R;
    TSyncTask Task;
    std::vector<std::string> Planned;  // "path+name:code" of the last run's plan rows
    bool RightIsLocal = false;
    bool RightDatesItself = false;  // the right side dates what is written to it (an object store)
    bool Unsettled = false;         // the scenario ends with a fault each run meets again: no quiet run
    // The sides hold files of equal contents that no run copied, dated as the test made them.
    bool TimesDiffer = false;

  private:
    static void PlanCodes(const TPlan& Plan, std::vector<std::string>& Out) {
        if (!Plan.RootNode) return;
        std::vector<const TPlanRow*> stack{Plan.RootNode.get()};
        while (!stack.empty()) {
            const TPlanRow* r = stack.back();
            stack.pop_back();
            if (r != Plan.RootNode.get())
                Out.push_back(r->Data.FolderPath + r->Data.Name + ":" + std::to_string(r->Data.Action));
            for (const auto& c : r->Children) stack.push_back(c.get());
        }
    }
    // Two local folders list alike after a sync: the same files with the same times, to the
    // nanosecond, as other tools that compare times see them.
    void ExpectTimesAlike() {
        const TTree left = L.List(), right = R.List();
        for (const auto& [rel, item] : left) {
            auto it = right.find(rel);
            if (it != right.end() && !item.Folder && it->second.Content == item.Content) {
                EXPECT_EQ(it->second.TimeNs, item.TimeNs) << rel;
            }
        }
    }

    TTempFolder m_Scratch{"bfs-scenario"};
    TTempHome m_Home;
};

const std::vector<TScenario>& Scenarios() {
    static const std::vector<TScenario> scenarios = {
        {"FirstSyncBothWays",
         [](TwoWayScenarioTest& t) {
             t.L.Write("/a.txt", "left a", T1);
             t.L.Write("/docs/b.txt", "left b", T2);
             t.R.Write("/c.txt", "right c", T1);
             t.R.Write("/r/d.txt", "right d", T2);
             t.Sync();
             t.ExpectBoth({"/a.txt=left a", "/c.txt=right c", "/docs/", "/docs/b.txt=left b", "/r/",
                           "/r/d.txt=right d"});
         }},
        {"EditOnEachSide",
         [](TwoWayScenarioTest& t) {
             t.L.Write("/a.txt", "a1", T1);
             t.L.Write("/sub/b.txt", "b1", T1);
             t.Sync();
             t.L.Write("/a.txt", "a2 left", T2);
             t.R.Write("/sub/b.txt", "b2 right", T2);
             t.Sync();
             t.ExpectBoth({"/a.txt=a2 left", "/sub/", "/sub/b.txt=b2 right"});
         }},
        {"EditWithAnOlderDate",
         [](TwoWayScenarioTest& t) {
             t.L.Write("/a.txt", "a1", T3);
             t.R.Write("/b.txt", "b1", T3);
             t.Sync();
             t.L.Write("/a.txt", "a2 older", T1);  // restored from an old copy, say
             t.R.Write("/b.txt", "b2 older", T1);
             t.Sync();
             t.ExpectBoth({"/a.txt=a2 older", "/b.txt=b2 older"});
         }},
        {"DeletionsOnEachSideStayDeleted",
         [](TwoWayScenarioTest& t) {
             t.Task.IsDeleteFile = 1;
             t.L.Write("/a.txt", "a", T1);
             t.L.Write("/b.txt", "b", T1);
             t.R.Write("/c.txt", "c", T1);
             t.Sync();
             t.L.Remove("/a.txt");
             t.R.Remove("/c.txt");
             t.Sync();
             t.ExpectBoth({"/b.txt=b"});
         }},
        {"ConflictStaysAConflictAndALaterEditOverwritesNothing",
         [](TwoWayScenarioTest& t) {
             t.Task.Conflicts = 0;
             t.L.Write("/x.txt", "x", T1);
             t.Sync();
             t.L.Write("/x.txt", "left edit", T2);
             t.R.Write("/x.txt", "right edit!", T3);
             t.Sync();
             EXPECT_EQ(t.L.Read("/x.txt"), "left edit");
             EXPECT_EQ(t.R.Read("/x.txt"), "right edit!");
             t.L.Write("/x.txt", "left edit again", T3);
             t.Sync();
             EXPECT_EQ(t.L.Read("/x.txt"), "left edit again");
             EXPECT_EQ(t.R.Read("/x.txt"), "right edit!");
         }},
        {"NewOnBothSidesKeepsBothVersions",
         [](TwoWayScenarioTest& t) {
             t.L.Write("/other.txt", "o", T1);
             t.Sync();
             t.L.Write("/n.txt", "new on the left", T1);
             t.R.Write("/n.txt", "new on the right", T2);
             t.Sync();
             EXPECT_EQ(t.L.Read("/n.txt"), "new on the left");
             EXPECT_EQ(t.R.Read("/n.txt"), "new on the right");
         }},
        {"FolderDeletedAfterItsContents",
         [](TwoWayScenarioTest& t) {
             t.Task.IsDeleteFile = 1;
             t.L.Write("/old/x.txt", "x", T1);
             t.L.Write("/old/deeper/y.txt", "y", T1);
             for (int i = 0; i < 5; ++i) t.L.Write("/old/deeper/z" + std::to_string(i), "z", T1);
             t.L.Write("/keep.txt", "k", T1);
             t.Sync();
             t.L.Remove("/old");
             const auto log = t.Sync();
             t.ExpectBoth({"/keep.txt=k"});
         }},
        {"ManyRowsInNewFoldersEachWay",
         [](TwoWayScenarioTest& t) {
             // More rows than transfers, in folders that the run makes, then all deleted again: each
             // folder is made before its files and removed after them, on every kind of side.
             t.Task.IsDeleteFile = 1;
             std::vector<std::string> both = {"/keep.txt=k"};
             for (const char* folder : {"/n1", "/n1/n2", "/m1"})
                 for (int i = 0; i < 4; ++i) {
                     const std::string rel = folder + std::string("/f") + std::to_string(i);
                     (std::string(folder) == "/m1" ? t.R : t.L).Write(rel, "c " + rel, T1);
                     both.push_back(rel + "=c " + rel);
                 }
             t.L.Write("/keep.txt", "k", T1);
             for (const char* folder : {"/m1/", "/n1/", "/n1/n2/"}) both.push_back(folder);
             t.Sync();
             std::sort(both.begin(), both.end());
             t.ExpectBoth(both);
             t.L.Remove("/n1");
             t.R.Remove("/m1");
             t.Sync();
             t.ExpectBoth({"/keep.txt=k"});
         }},
        {"MoveBetweenFolders",
         [](TwoWayScenarioTest& t) {
             t.Task.IsDeleteFile = 1;
             t.R.Write("/one/m.txt", "moved", T1);
             t.R.Write("/one/stay.txt", "s", T1);  // an object store keeps no empty folder
             t.Sync();
             t.R.Remove("/one/m.txt");
             t.R.Write("/two/m.txt", "moved", T1);
             t.Sync();
             t.ExpectBoth({"/one/", "/one/stay.txt=s", "/two/", "/two/m.txt=moved"});
         }},
        {"TemporaryCopyWithABackup",
         [](TwoWayScenarioTest& t) {
             t.Task.UseTempFile = 1;
             t.Task.SaveOldFile = 1;
             t.L.Write("/d/a.txt", "version 1", T1);
             t.Sync();
             t.L.Write("/d/a.txt", "version 2!", T2);
             t.Sync();
             t.ExpectBoth({"/d/", "/d/a.txt=version 2!"});
             EXPECT_EQ(t.R.Read(std::string("/") + MARKER_FOLDER + "/" + BACKUP_FOLDER + "/d/a.txt"),
                       "version 1");
         }},
        {"DownloadsAndUploadsInOneFolder",
         [](TwoWayScenarioTest& t) {
             std::vector<std::string> both;
             for (int i = 0; i < 6; ++i) {
                 t.L.Write("/f/up" + std::to_string(i), "up " + std::to_string(i), T1);
                 t.R.Write("/f/down" + std::to_string(i), "down " + std::to_string(i), T1);
                 both.push_back("/f/down" + std::to_string(i) + "=down " + std::to_string(i));
                 both.push_back("/f/up" + std::to_string(i) + "=up " + std::to_string(i));
             }
             t.Sync();
             std::sort(both.begin(), both.end());
             both.insert(both.begin(), "/f/");
             t.ExpectBoth(both);
         }},
        {"FileAndFolderOfOneName",
         [](TwoWayScenarioTest& t) {
             // Only an object store holds both at once; elsewhere there is nothing to try.
             if (!t.R.Side->Write("/clash", "a file", T1) || !t.R.Side->Write("/clash/in.txt", "below", T1)) {
                 t.R.Remove("/clash");
                 return;
             }
             t.L.Write("/other.txt", "o", T1);
             t.Sync();
             EXPECT_EQ(Contents(t.L.List()),
                       (std::vector<std::string>{"/other.txt=o"}));  // neither came over
             EXPECT_EQ(t.R.Read("/clash"), "a file");
             EXPECT_EQ(t.R.Read("/clash/in.txt"), "below");
         }},
        {"InterruptedRunThenFreshEdits",
         [](TwoWayScenarioTest& t) {
             for (const char* f : {"/f0.txt", "/f1.txt", "/f2.txt"})
                 t.L.Write(f, std::string("one ") + f, T1);
             t.Sync();
             // A run cut short after its copies, before it saved the states: both sides hold the new
             // contents, each dated on its own, and the states know only the old ones (or nothing).
             for (const char* f : {"/f0.txt", "/f1.txt", "/f2.txt"}) {
                 t.L.Write(f, std::string("two, longer ") + f, T2);
                 t.R.Write(f, std::string("two, longer ") + f, T3);
             }
             t.L.Write("/new.txt", "made on the way", T2);
             t.R.Write("/new.txt", "made on the way", T3);
             t.TimesDiffer = true;
             const auto log = t.Sync();
             EXPECT_EQ(log.empty() ? std::string() : log.back(), "Operator File :0");
             EXPECT_EQ(t.Planned, std::vector<std::string>{});  // nothing to copy or delete
             // Later edits on either side travel again.
             t.L.Write("/f0.txt", "three, left", T3);
             t.R.Write("/f1.txt", "three, right", T3 + 100);
             t.Sync();
             t.ExpectBoth({"/f0.txt=three, left", "/f1.txt=three, right", "/f2.txt=two, longer /f2.txt",
                           "/new.txt=made on the way"});
         }},
        {"FolderAgainstFileOfOneName",
         [](TwoWayScenarioTest& t) {
             t.L.Write("/x/a.txt", "below", T1);
             t.L.Write("/k.txt", "k", T1);
             t.R.Write("/x", "a file", T1);
             t.Sync();
             EXPECT_EQ(t.Planned, std::vector<std::string>{"/k.txt:16"});
             EXPECT_EQ(Contents(t.L.List()), (std::vector<std::string>{"/k.txt=k", "/x/", "/x/a.txt=below"}));
             EXPECT_EQ(Contents(t.R.List()), (std::vector<std::string>{"/k.txt=k", "/x=a file"}));
             // With saved states: a folder made on the right where the left made a file.
             t.L.Write("/y", "a left file", T2);
             t.R.Write("/y/b.txt", "right below", T2);
             t.Sync();
             EXPECT_EQ(t.Planned, std::vector<std::string>{});
             EXPECT_EQ(Contents(t.L.List()),
                       (std::vector<std::string>{"/k.txt=k", "/x/", "/x/a.txt=below", "/y=a left file"}));
             EXPECT_EQ(Contents(t.R.List()),
                       (std::vector<std::string>{"/k.txt=k", "/x=a file", "/y/", "/y/b.txt=right below"}));
         }},
        {"DatesBeyondTheRangeStillShowEdits",
         [](TwoWayScenarioTest& t) {
             t.L.Write("/old.txt", "version 1", Y1975);
             t.L.Write("/far.txt", "far 1", Y2150);
             t.Sync();
             t.ExpectBoth({"/far.txt=far 1", "/old.txt=version 1"});
             // Edits that keep the size and move to another date beyond the range. Where the right
             // side dates its copies itself only the left's date tells nothing, and the edits travel;
             // where both sides hold such dates either may have changed: a conflict keeps both.
             // (Servers in between may keep such dates or not.)
             t.L.Write("/old.txt", "version 2", Y1977);
             t.L.Write("/far.txt", "far 2", Y2160);
             t.Sync();
             for (const auto& [rel, edit, old] : {std::tuple{"/old.txt", "version 2", "version 1"},
                                                  std::tuple{"/far.txt", "far 2", "far 1"}}) {
                 EXPECT_EQ(t.L.Read(rel), edit);
                 if (t.RightDatesItself) {
                     EXPECT_EQ(t.R.Read(rel), edit) << rel;
                 } else if (t.RightIsLocal || t.R.Read(rel) != edit) {
                     EXPECT_EQ(t.R.Read(rel), old) << rel;
                 }
             }
             // A later edit on the right overwrites nothing it has not seen. (Of another size: an
             // object store dates to the second, and this comes within the second of the copy.)
             t.R.Write("/old.txt", "version 3, right", T2);
             t.Sync();
             EXPECT_EQ(t.L.Read("/old.txt"), "version 2");
             EXPECT_EQ(t.R.Read("/old.txt"), "version 3, right");
         }},
        {"AnotherWritingOfTheFoldersKeepsTheStates",
         [](TwoWayScenarioTest& t) {
             t.Task.IsDeleteFile = 1;
             t.L.Write("/a.txt", "a", T1);
             t.L.Write("/b.txt", "b", T1);
             t.Sync();
             t.L.Remove("/a.txt");
             // Another writing of each folder, as a user may type it: the scheme in capitals, a
             // separator at the end.
             for (TFolderSource* side : {t.Task.LFolder.get(), t.Task.RFolder.get()}) {
                 std::string& a = side->FolerAllName;
                 if (a.starts_with("ftp") || a.starts_with("http"))
                     std::transform(a.begin(), a.begin() + a.find(':'), a.begin(), ::toupper);
                 a += side->DeviceType == DEVICE_NETWORK || side->DeviceType == DEVICE_MOBILE ? "\\" : "/";
             }
             t.Sync();
             t.ExpectBoth({"/b.txt=b"});  // the deletion travelled: the states were known again
             const std::string damaged = std::string("/") + MARKER_FOLDER + "/" + t.Task.SyncID + ".damaged";
             EXPECT_EQ(t.L.Read(damaged) + t.R.Read(damaged), "");
         }},
        {"NameEndingInABlank",
         [](TwoWayScenarioTest& t) {
             // Some servers store such a name without its blank: the run must then say so, and lose
             // nothing. Where the name is kept, it syncs like any other.
             t.L.Write("/blank ", "b", T1);
             const auto log = t.Sync(true);
             EXPECT_EQ(t.L.Read("/blank "), "b");
             t.Unsettled = std::any_of(log.begin(), log.end(), [](const std::string& l) {
                 return l.starts_with("Error") && l.ends_with("blank ");
             });
             if (!t.Unsettled) t.ExpectBoth({"/blank =b"});
         }},
    };
    return scenarios;
}

TEST_P(TwoWayScenarioTest, Run) {
    const TScenario& scenario = Scenarios()[std::get<1>(GetParam())];
    scenario.Run(*this);
    if (HasFailure() || Unsettled) return;
    ExpectQuiet();
}

INSTANTIATE_TEST_SUITE_P(Sides, TwoWayScenarioTest,
                         ::testing::Combine(::testing::Range(size_t{0}, SideKinds().size()),
                                            ::testing::Range(size_t{0}, Scenarios().size()),
                                            ::testing::Values(SYNC_TRANSFERS, 1)),
                         [](const ::testing::TestParamInfo<std::tuple<size_t, size_t, int>>& Info) {
                             return std::string(SideKinds()[std::get<0>(Info.param)].Name) + "_" +
                                    Scenarios()[std::get<1>(Info.param)].Name +
                                    (std::get<2>(Info.param) == 1 ? "_OneTransfer" : "");
                         });

// A server that serves few sessions at once (each a process of its own) still takes a whole run:
// the run keeps to one session for its share side, whatever its number of transfers.
TEST(ShareSessionTest, FewSessionsStillSyncEverything) {
    for (const int sessions : {3, 6}) {
        SCOPED_TRACE(std::to_string(sessions) + " sessions");
        TTempFolder scratch{"bfs-sessions"};
        TTempHome home;
        const std::string password = "bfs-smb-test-4711";
        TSmbServer server(password);
        server.MaxProcesses = sessions;
        ASSERT_TRUE(server.Start()) << "smbd did not start";
        TLocalSide left(scratch.Path + "/left");
        TServedSide right(server.SharePath + "/side", nullptr, DEVICE_NETWORK, server.Address("\\side"),
                          server.User, password);
        for (int i = 0; i < 20; ++i) ASSERT_TRUE(left.Write("/f" + std::to_string(i) + ".txt", "x", T1));
        TSyncTask task;
        task.SyncName = task.SyncID = "Few";
        task.AutoRun = 1;
        left.Configure(*task.LFolder);
        right.Configure(*task.RFolder);
        TTaskRun run(task);
        ASSERT_EQ(run.StartScan(), 0) << run.ErrorText;
        ASSERT_EQ(run.FinishScan(), 0);
        ASSERT_EQ(run.Analyze(), 0) << run.ErrorText;
        std::vector<std::string> log;
        run.Sync([&](const std::string& Line) { log.push_back(Line); });
        for (const std::string& line : log) EXPECT_FALSE(line.starts_with("Error")) << line;
        EXPECT_EQ(run.StateNotWritten(), 0);
        EXPECT_EQ(right.List().size(), 20u);
        const std::string state = std::string("/") + MARKER_FOLDER + "/" + SyncIDToFileName("Few");
        EXPECT_NE(right.Read(state), "");
        EXPECT_NE(left.Read(state), "");
    }
}

}  // namespace
}  // namespace bfs::test
