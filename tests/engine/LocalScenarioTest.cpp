// Analyses of real folders through the local back-end (and of the in-memory stand-in for a remote
// side), with the saved states written and read the way the program keeps them.

#include "EngineTestUtil.h"
#include "MemFileOper.h"
#include "common/Snapshot.h"
#include "common/Unprivileged.h"
#include "engine/UTFileSyncThread.h"
#include "engine/UTStateSaving.h"
#include "engine/UTSyncTask.h"
#include "model/UTDosTime.h"
#include "platform/UTAtomicFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bfs {
namespace {

using test::Rows;
using test::TRows;

constexpr int64_t T1 = 1600000000;  // even seconds: DOS times keep them exactly
constexpr int64_t T2 = 1600001000;

// One side of a task: a real folder, or an in-memory store standing in for a remote one.
class TSide {
  public:
    virtual ~TSide() = default;
    virtual void Write(const std::string& Rel, const std::string& Content, int64_t Time) = 0;
    virtual void Remove(const std::string& Rel) = 0;
    virtual std::unique_ptr<TFileOper> MakeOper(TSyncTask& Task, const TFolderSourceRef& Folder) = 0;
    std::string Address;
};

class TLocalSide : public TSide {
  public:
    explicit TLocalSide(std::string Folder) {
        Address = std::move(Folder);
        EXPECT_EQ(MakeFolders(Address), 0);
    }
    void Write(const std::string& Rel, const std::string& Content, int64_t Time) override {
        const std::string path = Address + Rel;
        ASSERT_EQ(MakeFolders(path.substr(0, path.rfind('/'))), 0);
        ASSERT_EQ(WriteFileAtomic(path, Content), 0);
        const timespec times[2] = {{static_cast<time_t>(Time), 0}, {static_cast<time_t>(Time), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    void Remove(const std::string& Rel) override {
        std::error_code ec;
        std::filesystem::remove_all(Address + Rel, ec);
    }
    std::unique_ptr<TFileOper> MakeOper(TSyncTask&, const TFolderSourceRef& Folder) override {
        Folder->DeviceType = DEVICE_LOCAL;
        Folder->FolerAllName = Address;
        return TSyncTask::CreateFileOper(Folder, false);
    }
};

class TMemSide : public TSide {
  public:
    TMemSide() { Address = "mem://remote"; }
    void Write(const std::string& Rel, const std::string& Content, int64_t Time) override {
        Store->AddFile(Rel, Content, UnixTimeToDosDate(Time));
    }
    void Remove(const std::string& Rel) override { Store->Remove(Rel); }
    std::unique_ptr<TFileOper> MakeOper(TSyncTask&, const TFolderSourceRef& Folder) override {
        Folder->DeviceType = DEVICE_FTP;  // any remote kind: the factory is not asked here
        Folder->FolerAllName = Address;
        return std::make_unique<test::TMemFileOper>(Store);
    }
    test::TMemStoreRef Store = std::make_shared<test::TMemStore>();
};

class LocalScenarioTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        Left = std::make_unique<TLocalSide>(m_Home.Dir + "/left");
        if (GetParam())
            Right = std::make_unique<TMemSide>();
        else
            Right = std::make_unique<TLocalSide>(m_Home.Dir + "/right");
        Task.SyncName = "Docs";
        Task.SyncID = "Docs1700000000";
        Task.IsDeleteFile = 1;
    }

    // Both sides hold the same entries, and their states are saved, as after a finished sync.
    void SyncedStart() {
        for (TSide* side : {Left.get(), Right.get()}) {
            side->Write("/docs/a.txt", "a", T1);
            side->Write("/b.txt", "b", T1);
            side->Write("/c.txt", "c", T1);
        }
        SaveBoth();
    }
    void SaveBoth() {
        auto l = Left->MakeOper(Task, Task.LFolder);
        auto r = Right->MakeOper(Task, Task.RFolder);
        test::SaveState(Task, *l, 0);
        test::SaveState(Task, *r, 1);
    }
    test::TAnalysis Analyze() {
        auto l = Left->MakeOper(Task, Task.LFolder);
        auto r = Right->MakeOper(Task, Task.RFolder);
        return test::ScanAndAnalyze(Task, *l, *r);
    }

    test::TTempHome m_Home;
    TSyncTask Task;
    std::unique_ptr<TSide> Left, Right;
};

TEST_P(LocalScenarioTest, FirstRunComparesTheListings) {
    Left->Write("/docs/a.txt", "a", T1);
    Left->Write("/b.txt", "b", T1);
    Right->Write("/b.txt", "bb", T2);
    Right->Write("/c.txt", "c", T1);
    const auto a = Analyze();
    EXPECT_EQ(a.ErrorText, "");
    EXPECT_EQ(Rows(*a.Result),
              (TRows{{"/", "docs", 16}, {"/docs/", "a.txt", 16}, {"/", "b.txt", 19}, {"/", "c.txt", 17}}));
    EXPECT_TRUE(a.Notes.empty());
}

TEST_P(LocalScenarioTest, ChangesSinceTheSavedStates) {
    SyncedStart();
    Left->Remove("/b.txt");
    Left->Write("/new.txt", "n", T2);
    Right->Write("/c.txt", "cc", T2);
    Right->Remove("/docs");
    const auto a = Analyze();
    EXPECT_EQ(Rows(*a.Result), (TRows{{"/", "docs", 82},
                                      {"/docs/", "a.txt", 82},
                                      {"/", "b.txt", 81},
                                      {"/", "c.txt", 19},
                                      {"/", "new.txt", 16}}));
    EXPECT_TRUE(a.Notes.empty());

    Task.IsDeleteFile = 0;
    EXPECT_EQ(Rows(*Analyze().Result), (TRows{{"/", "docs", 21},
                                              {"/docs/", "a.txt", 21},
                                              {"/", "b.txt", 21},
                                              {"/", "c.txt", 19},
                                              {"/", "new.txt", 16}}));
}

TEST_P(LocalScenarioTest, AnEmptiedSideDeletesNothingOnTheOther) {
    SyncedStart();
    Left->Remove("/docs");
    Left->Remove("/b.txt");
    Left->Remove("/c.txt");
    const auto a = Analyze();
    EXPECT_EQ(Rows(*a.Result),
              (TRows{{"/", "docs", 21}, {"/docs/", "a.txt", 21}, {"/", "b.txt", 21}, {"/", "c.txt", 21}}));
    ASSERT_EQ(a.Notes.size(), 1u);
    EXPECT_NE(a.Notes[0].find("is empty"), std::string::npos) << a.Notes[0];
}

TEST_P(LocalScenarioTest, LocallyKeptStatesReplaceWhatTheMarkerFolderHolds) {
    SyncedStart();  // marker-folder states that say b.txt existed on both sides
    Task.EstimateDiskSpace = 1;
    Left->Remove("/b.txt");
    Right->Remove("/b.txt");
    SaveBoth();  // locally kept states without b.txt
    Right->Remove("/c.txt");
    const auto a = Analyze();
    // b.txt is unknown to the locally kept states; c.txt is a deletion on the right.
    EXPECT_EQ(Rows(*a.Result), (TRows{{"/", "docs", -1}, {"/docs/", "a.txt", 18}, {"/", "c.txt", 82}}));
}

TEST_P(LocalScenarioTest, AFolderThatCannotBeReadPlansNothingBelowIt) {
    SyncedStart();
    const std::string docs = Left->Address + "/docs";
    ASSERT_EQ(::chmod(m_Home.Dir.c_str(), 0755), 0);  // the unprivileged reader must reach the sides
    ASSERT_EQ(::chmod(docs.c_str(), 0), 0);
    test::TAnalysis a;
    test::RunUnprivileged([&] { a = Analyze(); });
    ::chmod(docs.c_str(), 0755);
    EXPECT_EQ(Rows(*a.Result),
              (TRows{{"/", "docs", -1}, {"/docs/", "a.txt", 21}, {"/", "b.txt", 18}, {"/", "c.txt", 18}}));
    ASSERT_EQ(a.Notes.size(), 1u);
    EXPECT_NE(a.Notes[0].find("/docs could not be listed"), std::string::npos) << a.Notes[0];
}

INSTANTIATE_TEST_SUITE_P(RightSide, LocalScenarioTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "InMemory" : "Local"; });

TEST(MemFileOperTest, ListsSortsAndHidesTheMarkerFolder) {
    auto store = std::make_shared<test::TMemStore>();
    store->AddFile("/b.txt", "b", 3);
    store->AddFile("/A/x", "x", 4);
    store->AddFile(std::string("/") + MARKER_FOLDER + "/T", "state", 1);
    store->AddFile("/locked/y", "y", 5);
    store->SetUnreadable("/locked");
    test::TMemFileOper oper(store);
    EXPECT_EQ(oper.ListFolder(), 1);
    EXPECT_EQ(Rows(*oper.FFileTree),
              (TRows{{"/", "A", -1}, {"/A/", "x", -1}, {"/", "locked", -1}, {"/", "b.txt", -1}}));
    EXPECT_TRUE(oper.FFileTree->Children[1]->NotListed);
}

// Sides that hold links, or whose folders are swapped for links between the analysis and the sync
// (the plan may wait for a person for hours): the rows beyond a link fail with an Error line, and
// nothing outside the sides' roots is read, written or deleted.
class LinkScenarioTest : public test::TLocalTaskTest, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        TLocalTaskTest::SetUp();
        TFileSyncThread::SetTransferCount(GetParam());
        Task.IsDeleteFile = 1;
    }
    void TearDown() override {
        TLocalTaskTest::TearDown();
        TFileSyncThread::SetTransferCount(0);
    }
    static void Put(const std::string& Path, const std::string& Content, int64_t Time = T1) {
        ASSERT_EQ(MakeFolders(Path.substr(0, Path.rfind('/'))), 0);
        ASSERT_EQ(WriteFileAtomic(Path, Content), 0);
        const timespec times[2] = {{static_cast<time_t>(Time), 0}, {static_cast<time_t>(Time), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, Path.c_str(), times, 0), 0);
    }
    // The folder becomes a link to Target; what it held is moved out of the way.
    void SwapForLink(const std::string& Folder, const std::string& Target) {
        ASSERT_EQ(::rename(Folder.c_str(), (Home.Dir + "/aside" + std::to_string(++m_Asides)).c_str()), 0);
        ASSERT_EQ(::symlink(Target.c_str(), Folder.c_str()), 0);
    }
    std::vector<std::string> Beyond() const {
        auto all = test::SnapshotOf(Outside);
        for (std::string& line : test::SnapshotOf(Private)) all.push_back("private" + line);
        return all;
    }
    std::string ErrorLog() const {
        std::string log;
        ReadWholeFile(Home.Dir + "/config/bramlow-file-sync/ErrorInfo.txt", log);
        return log;
    }
    static std::vector<std::string> ErrorLines(const std::vector<std::string>& Log) {
        std::vector<std::string> errors;
        for (const std::string& line : Log)
            if (line.starts_with("Error")) errors.push_back(line);
        return errors;
    }

    const std::string Outside = Home.Dir + "/outside";
    const std::string Private = Home.Dir + "/private";
    int m_Asides = 0;
};

INSTANTIATE_TEST_SUITE_P(Transfers, LinkScenarioTest, ::testing::Values(SYNC_TRANSFERS, 1),
                         [](const auto& Info) { return Info.param == 1 ? std::string("One") : "Default"; });

TEST_P(LinkScenarioTest, NothingBeyondALinkIsTouched) {
    const std::string marker = std::string("/") + MARKER_FOLDER;
    const struct {
        const char* Name;
        std::function<void()> Before;     // what the first, full run syncs (none: no first run)
        std::function<void()> Change;     // then, before the analysis
        std::function<void()> Meanwhile;  // between the analysis and the sync
        std::vector<std::string> Errors;  // the sync's Error lines
        int NotWritten;                   // the saved states not written
        std::function<void()> Check;
    } cases[] = {
        {"a link in a side where the other holds a folder",
         {},
         [&] {
             Put(Left + "/sub/x.txt", "x");
             Put(Outside + "/kept.txt", "k");
             ASSERT_EQ(::symlink("../outside", (Right + "/sub").c_str()), 0);
         },
         {},
         {"Error changed since the analysis: " + Right + "/sub/x.txt"},
         0,
         [&] {
             const std::string line = "Skipped " + Right + "/sub EInOutError:a symbolic link, not followed";
             const std::string log = ErrorLog();
             EXPECT_NE(log.find(line), std::string::npos) << log;
             EXPECT_EQ(log.find(line), log.rfind(line)) << "named once";
         }},
        {"planned deletes in a folder swapped for a link",
         [&] {
             Put(Left + "/keep.txt", "k");  // a side emptied whole would delete nothing
             Put(Left + "/sub/x.txt", "x");
             Put(Left + "/sub/y.txt", "y");
         },
         [&] { std::filesystem::remove_all(Left + "/sub"); },
         [&] {
             Put(Outside + "/x.txt", "x");  // the very names, sizes and dates the plan deletes
             Put(Outside + "/y.txt", "y");
             SwapForLink(Right + "/sub", "../outside");
         },
         {"Error changed since the analysis: " + Right + "/sub/x.txt",
          "Error changed since the analysis: " + Right + "/sub/y.txt",
          "Error Delete Folder " + Right + "/sub"},
         0,
         {}},
        {"new and replacing copies into a folder swapped for a link",
         [&] { Put(Left + "/sub/a.txt", "a1"); },
         [&] {
             Put(Left + "/sub/a.txt", "a2 newer", T2);
             Put(Left + "/sub/n.txt", "n");
         },
         [&] {
             Put(Outside + "/a.txt", "a1");
             SwapForLink(Right + "/sub", "../outside");
         },
         {"Error changed since the analysis: " + Right + "/sub/a.txt",
          "Error changed since the analysis: " + Right + "/sub/n.txt"},
         0,
         {}},
        // The folder is there, as a link: what it held is not deleted on the other side.
        {"a synced folder swapped for a link before the analysis",
         [&] {
             Put(Left + "/keep.txt", "k");
             Put(Left + "/sub/x.txt", "x");
         },
         [&] {
             Put(Outside + "/x.txt", "x");
             SwapForLink(Left + "/sub", "../outside");
         },
         {},
         {},
         0,
         [&] { EXPECT_TRUE(std::filesystem::exists(Right + "/sub/x.txt")); }},
        {"a source folder swapped for a link to a private one",
         {},
         [&] { Put(Left + "/sub/x.txt", "public"); },
         [&] {
             Put(Private + "/x.txt", "secret");  // of the listed size and date
             SwapForLink(Left + "/sub", "../private");
         },
         {"Error changed while copying: " + Left + "/sub/x.txt"},
         0,
         [&] { EXPECT_FALSE(std::filesystem::exists(Right + "/sub/x.txt")); }},
        // Read through the link, the moved state would make gone.txt a deletion on the right.
        {"a marker folder that is a link",
         [&] {
             Put(Left + "/a.txt", "a");
             Put(Left + "/gone.txt", "g");
         },
         [&] {
             ASSERT_EQ(::rename((Right + marker).c_str(), (Outside + "/marker").c_str()), 0);
             ASSERT_EQ(::symlink("../outside/marker", (Right + marker).c_str()), 0);
             ASSERT_EQ(::unlink((Right + "/gone.txt").c_str()), 0);
         },
         {},
         {"Error saved state of the right side not written: " + Right + " (its folder " + MARKER_FOLDER +
          " cannot be made or reached)"},
         STATE_RIGHT_NOT_WRITTEN,
         [&] { EXPECT_TRUE(std::filesystem::exists(Left + "/gone.txt")); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        for (const std::string& folder : {Left, Right, Outside, Private}) {
            std::filesystem::remove_all(folder);
            ASSERT_EQ(MakeFolders(folder), 0);
        }
        ::unlink((Home.Dir + "/config/bramlow-file-sync/ErrorInfo.txt").c_str());
        if (c.Before) {
            c.Before();
            Analyze()->Sync();
        }
        c.Change();
        const auto atAnalysis = Beyond();
        auto run = Analyze();
        EXPECT_EQ(Beyond(), atAnalysis);
        if (c.Meanwhile) c.Meanwhile();
        const auto atSync = Beyond();
        std::vector<std::string> log;
        run->Sync([&](const std::string& Line) { log.push_back(Line); });
        EXPECT_EQ(Beyond(), atSync);
        EXPECT_EQ(ErrorLines(log), c.Errors);
        EXPECT_EQ(run->StateNotWritten(), c.NotWritten);
        if (c.Check) c.Check();
    }
}

// A copy to a remote side reads its local source through the remote back-end: a source folder
// swapped for a link is not read there either.
TEST_P(LinkScenarioTest, ARemoteSideNeverReadsBeyondALocalLink) {
    auto store = std::make_shared<test::TMemStore>();
    TSyncTask::SetFileOperFactory([&](const TFolderSource& f, bool) -> std::unique_ptr<TFileOper> {
        if (f.FolerAllName != "mem:right") return nullptr;
        return std::make_unique<test::TMemFileOper>(store);
    });
    Task.RFolder->DeviceType = DEVICE_FTP;
    Task.RFolder->FolerAllName = "mem:right";
    Put(Left + "/sub/x.txt", "public");
    auto run = Analyze();
    Put(Private + "/x.txt", "secret");
    SwapForLink(Left + "/sub", "../private");
    std::vector<std::string> log;
    run->Sync([&](const std::string& Line) { log.push_back(Line); });
    ASSERT_EQ(ErrorLines(log).size(), 1u);
    EXPECT_TRUE(ErrorLines(log)[0].starts_with("Error Copy:" + Left + "/sub/x.txt")) << ErrorLines(log)[0];
    EXPECT_FALSE(store->Has("/sub/x.txt"));
}

}  // namespace
}  // namespace bfs
