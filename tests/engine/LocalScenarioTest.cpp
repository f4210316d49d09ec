// Analyses of real folders through the local back-end (and of the in-memory stand-in for a remote
// side), with the saved states written and read the way the program keeps them.

#include "EngineTestUtil.h"
#include "MemFileOper.h"
#include "common/Unprivileged.h"
#include "engine/UTSyncTask.h"
#include "model/UTDosTime.h"
#include "platform/UTAtomicFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

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

}  // namespace
}  // namespace bfs
