#include "EngineTestUtil.h"
#include "engine/UTSyncTask.h"
#include "platform/UTAtomicFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

namespace bfs {
namespace {

using test::BuildTree;
using test::Rows;
using test::TRows;

struct TFoldersCase {
    int32_t LeftKind;
    const char* Left;
    int32_t RightKind;
    const char* Right;
    int32_t Expected;
};

// clang-format off
constexpr TFoldersCase FOLDERS_CASES[] = {
    {1, "/data", 1, "/data", FOLDERS_SAME},
    {1, "", 1, "", FOLDERS_SAME},
    {1, "  ", 1, "", FOLDERS_SAME},
    {1, " /data ", 1, "/data", FOLDERS_SAME},
    {1, "/data/", 1, "/data", FOLDERS_SAME},
    {1, "//data//x", 1, "/data/./x/", FOLDERS_SAME},
    {1, "/data", 1, "/data/sub", FOLDERS_NESTED},
    {1, "/data/sub", 1, "/data", FOLDERS_NESTED},
    {1, "/data", 1, "/data/./sub/", FOLDERS_NESTED},
    {1, "/", 1, "/data", FOLDERS_NESTED},
    {1, "/data", 1, "/data2", FOLDERS_OK},
    {1, "/data2", 1, "/data", FOLDERS_OK},
    {1, "/Data", 1, "/data", FOLDERS_OK},
    {1, "/data/../x", 1, "/x", FOLDERS_OK},
    {1, "/a\\b", 1, "/a", FOLDERS_OK},  // "\" is part of a Linux name
    {1, "/data", 1, "", FOLDERS_EMPTY},
    {1, " ", 1, "/data", FOLDERS_EMPTY},
    {2, "\\\\srv\\share", 2, "\\\\srv\\share\\sub", FOLDERS_NESTED},
    {2, "\\\\srv\\share", 2, "\\\\srv\\share2", FOLDERS_OK},
    {2, "\\\\srv\\share", 1, "/srv/share", FOLDERS_OK},
    {3, "ftp://h/a", 3, "ftp://h/a/b", FOLDERS_NESTED},
    {3, "FTP://H:21/a/", 3, "ftp://h/a", FOLDERS_SAME},
    {3, "ftp://H/a", 3, "ftp://h/a/b", FOLDERS_NESTED},
    {2, "\\\\SRV\\Share", 2, "\\\\srv\\share\\sub", FOLDERS_NESTED},
    {1, "/data", 3, "ftp://h/data", FOLDERS_OK},
    {0, "/data", 1, "/data/x", FOLDERS_NESTED},
};
// clang-format on

TEST(SyncTaskTest, CheckFolders) {
    for (const auto& c : FOLDERS_CASES) {
        TSyncTask task;
        task.LFolder->DeviceType = c.LeftKind;
        task.LFolder->FolerAllName = c.Left;
        task.RFolder->DeviceType = c.RightKind;
        task.RFolder->FolerAllName = c.Right;
        EXPECT_EQ(task.CheckFolders(), c.Expected) << "'" << c.Left << "' / '" << c.Right << "'";
    }
}

TEST(SyncTaskTest, GetLocalStateSides) {
    struct {
        int32_t Estimate, Tags, Direction, Expected;
    } cases[] = {
        {0, 0, 0, LOCAL_STATE_NONE},  {0, 0, 1, LOCAL_STATE_NONE}, {1, 0, 0, LOCAL_STATE_BOTH},
        {1, 1, 1, LOCAL_STATE_BOTH},  {0, 1, 1, LOCAL_STATE_LEFT}, {0, 1, 2, LOCAL_STATE_RIGHT},
        {0, 1, 0, LOCAL_STATE_RIGHT}, {2, 2, 1, LOCAL_STATE_NONE},
    };
    for (const auto& c : cases) {
        TSyncTask task;
        task.EstimateDiskSpace = c.Estimate;
        task.EnsureFolderTags = c.Tags;
        task.SyncDirection = c.Direction;
        EXPECT_EQ(task.GetLocalStateSides(), c.Expected) << c.Estimate << c.Tags << c.Direction;
    }
}

TEST(SyncTaskTest, GetShareRoot) {
    struct {
        const char* Path;
        const char* Expected;
    } cases[] = {
        {"\\\\srv\\share\\folder\\sub", "\\\\srv\\share"},
        {"\\\\srv\\share", "\\\\srv\\share"},
        {"\\\\srv\\share\\", "\\\\srv\\share"},
        {"\\\\srv", ""},
        {"\\\\\\share", ""},
        {"C:\\Data", ""},
        {"/home/u/data", ""},
        {"/ab\\c\\d", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(TSyncTask::GetShareRoot(c.Path), c.Expected) << c.Path;
}

void FillTask(TSyncTask& t) {
    t.SyncName = "A";
    t.SyncID = "A123";
    t.LFolder->DeviceType = 1;
    t.LFolder->FolerAllName = "/l";
    t.LFolder->UserName = "u";
    t.LFolder->PWD = "p";
    t.LFolder->FactTime = 1;
    t.LFolder->PrivateKey = "k";
    t.LFolder->InfoText = "info";
    t.RFolder->DeviceType = 3;
    t.RFolder->FolerAllName = "ftp://h/r";
    t.SyncDirection = 1;
    t.ForcedOrVerified = 1;
    t.IsDeleteFile = 1;
    t.EstimateDiskSpace = 1;
    t.IncludeFilter = {"*.txt"};
    t.ExcludeFilter = {"*.tmp", "*.bak"};
    t.ExcludeHiddenFile = 1;
    t.PeriodSync = 1;
    t.Hours = 2;
    t.TaskScheduler = "daily";
    t.Conflicts = 1;
    t.EnsureFolderTags = 1;
    t.IncludeFileTimeMin = 5;
    t.ExcludeFileSizeMax = 1000;
    t.Busy = 1;
    t.AutoRun = 1;
}

TEST(SyncTaskTest, CloneCopiesOptionsButNotFoldersLimitsOrRunState) {
    TSyncTask source;
    FillTask(source);
    auto clone = TSyncTask::Clone(source);
    EXPECT_EQ(clone->SyncName, "New_A");
    EXPECT_EQ(clone->SyncID, "New_A123");
    EXPECT_EQ(clone->LFolder->FolerAllName, "");
    EXPECT_EQ(clone->RFolder->DeviceType, 0);
    EXPECT_NE(clone->LFolder, source.LFolder);
    EXPECT_EQ(clone->IncludeFileTimeMin, -1);
    EXPECT_EQ(clone->ExcludeFileSizeMax, -1);
    EXPECT_EQ(clone->Busy, 0);
    EXPECT_EQ(clone->AutoRun, 0);
    EXPECT_EQ(clone->SyncDirection, 1);
    EXPECT_EQ(clone->EstimateDiskSpace, 1);
    EXPECT_EQ(clone->ExcludeHiddenFile, 1);
    EXPECT_EQ(clone->Hours, 2);
    EXPECT_EQ(clone->TaskScheduler, "daily");
    EXPECT_EQ(clone->EnsureFolderTags, 1);
    EXPECT_EQ(clone->ExcludeFilter, source.ExcludeFilter);
    clone->ExcludeFilter.push_back("*.old");
    EXPECT_EQ(source.ExcludeFilter.size(), 2u);
}

TEST(SyncTaskTest, AssignCopiesIntoOwnFolderSources) {
    TSyncTask source;
    FillTask(source);
    TSyncTask copy;
    const TFolderSourceRef ownLeft = copy.LFolder;
    copy.LFolder->InfoText = "mine";
    copy.Assign(source);
    EXPECT_EQ(copy.LFolder, ownLeft);  // the same object, shared with back-ends, now filled
    EXPECT_EQ(copy.LFolder->FolerAllName, "/l");
    EXPECT_EQ(copy.LFolder->PWD, "p");
    EXPECT_EQ(copy.LFolder->PrivateKey, "k");
    EXPECT_EQ(copy.LFolder->FactTime, 1);
    EXPECT_EQ(copy.LFolder->InfoText, "mine");
    EXPECT_EQ(copy.RFolder->FolerAllName, "ftp://h/r");
    EXPECT_EQ(copy.SyncID, "A123");
    EXPECT_EQ(copy.IncludeFileTimeMin, 5);
    EXPECT_EQ(copy.ExcludeFileSizeMax, 1000);
    EXPECT_EQ(copy.Conflicts, 1);
    EXPECT_EQ(copy.Busy, 0);
    EXPECT_EQ(copy.AutoRun, 0);
    source.LFolder->FolerAllName = "/changed";
    source.IncludeFilter.clear();
    EXPECT_EQ(copy.LFolder->FolerAllName, "/l");
    EXPECT_EQ(copy.IncludeFilter, std::vector<std::string>{"*.txt"});
    copy.Assign(copy);
    EXPECT_EQ(copy.IncludeFilter, std::vector<std::string>{"*.txt"});
}

TEST(SyncTaskTest, SyncIDToFileNameStaysInItsFolder) {
    struct {
        const char* Id;
        std::string Expected;
    } cases[] = {
        {"Task1718", "Task1718"}, {"a/b", "a%2Fb"}, {"../x", "%2E.%2Fx"}, {".", "%2E"}, {"..", "%2E."},
        {".hidden", "%2Ehidden"}, {"50%", "50%25"}, {"a\\b:c", "a\\b:c"}, {"", "%"},
    };
    for (const auto& c : cases) EXPECT_EQ(SyncIDToFileName(c.Id), c.Expected) << c.Id;
    EXPECT_EQ(SyncIDToFileName(std::string("a\0b", 3)), "a%00b");

    // Distinct identifiers never share a file, and none names anything but a plain file of the folder.
    const std::vector<std::string> ids = {"",    "%",  "%25", "/",  "%2F",  ".",
                                          "%2E", "..", "a",   "a/", "a%2F", std::string(1, '\0'),
                                          "%00", "./", "/.."};
    std::set<std::string> names;
    for (const auto& id : ids) {
        const std::string name = SyncIDToFileName(id);
        EXPECT_TRUE(names.insert(name).second) << "collision for " << id;
        EXPECT_EQ(name.find('/'), std::string::npos);
        EXPECT_EQ(name.find('\0'), std::string::npos);
        EXPECT_FALSE(name.empty() || name.front() == '.') << name;
    }
}

TEST(SyncTaskTest, CreateFileOperByKind) {
    auto folder = std::make_shared<TFolderSource>();
    folder->DeviceType = DEVICE_LOCAL;
    auto oper = TSyncTask::CreateFileOper(folder, false);
    ASSERT_NE(oper, nullptr);
    EXPECT_NE(oper->FFolderSource, folder);  // not attached by the factory
    for (int32_t kind : {0, 4, 99, -1}) {
        folder->DeviceType = kind;
        EXPECT_EQ(TSyncTask::CreateFileOper(folder, false), nullptr) << kind;
    }
    EXPECT_EQ(TSyncTask::CreateFileOper(nullptr, false), nullptr);
}

class SyncTaskStateTest : public ::testing::Test {
  protected:
    test::TTempHome m_Home;
    std::string ErrorLog() {
        std::string s;
        ReadWholeFile(m_Home.Dir + "/config/bramlow-file-sync/ErrorInfo.txt", s);
        return s;
    }
};

TEST_F(SyncTaskStateTest, LoadSavedTreeReplacesWhatTheTreeHeld) {
    TSyncTask task;
    task.SyncID = "../T1";
    task.RFolder->FolerAllName = "/r";
    const std::string file = task.LocalStateFileName(1);
    EXPECT_EQ(file, m_Home.Dir + "/data/bramlow-file-sync/%2E.%2FT1R");

    std::string text;
    BuildTree("/r", {{"docs/a.txt", 7}})->SaveToStream(text, "/r");
    ASSERT_EQ(WriteFileAtomic(file, text), 0);

    auto tree = BuildTree("/stale", {{"old.txt"}});
    EXPECT_EQ(task.LoadSavedTree(*tree, 1), 0);
    EXPECT_EQ(tree->Name, "/r");
    EXPECT_EQ(Rows(*tree), (TRows{{"/", "docs", -1}, {"/docs/", "a.txt", -1}}));

    // No state for the left side: the stale tree is emptied, not kept.
    tree = BuildTree("/stale", {{"old.txt"}});
    EXPECT_EQ(task.LoadSavedTree(*tree, 0), 1);
    EXPECT_EQ(tree->ChildCount, 0);
    EXPECT_TRUE(tree->Children.empty());
    EXPECT_EQ(ErrorLog(), "");
}

TEST_F(SyncTaskStateTest, LockFileNameLiesInThePrivateRuntimeFolder) {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";
    TSyncTask task;
    task.SyncID = "../T1";
    ::setenv("XDG_RUNTIME_DIR", (m_Home.Dir + "/run").c_str(), 1);
    EXPECT_EQ(task.LockFileName(), m_Home.Dir + "/run/bramlow-file-sync/%2E.%2FT1.lock");
    EXPECT_EQ(std::filesystem::status(m_Home.Dir + "/run/bramlow-file-sync").permissions(),
              std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", "relative", 1);  // ignored: the cache folder serves
    EXPECT_EQ(task.LockFileName(), m_Home.Dir + "/cache/bramlow-file-sync/run/%2E.%2FT1.lock");
    ASSERT_EQ(WriteFileAtomic(m_Home.Dir + "/file", "x"), 0);
    ::setenv("XDG_RUNTIME_DIR", (m_Home.Dir + "/file").c_str(), 1);  // a file in the way
    EXPECT_EQ(task.LockFileName(), "");
    old ? ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR");
}

// Cut short, or whole but written for another folder: no state, kept aside, one log line.
TEST_F(SyncTaskStateTest, DamagedStateGivesNoStateAndOneLogLine) {
    for (const char* text : {"/l::2\r\na.txt:0:/:5:1:32\r\n", "/other::1\r\na.txt:0:/:5:1:32\r\n"}) {
        SCOPED_TRACE(text);
        ::unlink((m_Home.Dir + "/config/bramlow-file-sync/ErrorInfo.txt").c_str());
        TSyncTask task;
        task.SyncID = "T2";
        task.LFolder->FolerAllName = "/l";
        ASSERT_EQ(WriteFileAtomic(task.LocalStateFileName(0), text), 0);
        auto tree = BuildTree("/stale", {{"old.txt"}});
        bool damaged = false;
        EXPECT_EQ(task.LoadSavedTree(*tree, 0, nullptr, &damaged), 1);
        EXPECT_TRUE(damaged);
        EXPECT_TRUE(tree->Children.empty());
        EXPECT_EQ(tree->ChildCount, 0);
        std::string kept;
        EXPECT_EQ(ReadWholeFile(task.LocalStateFileName(0) + ".damaged", kept), 0);
        EXPECT_EQ(kept, text);
        const std::string log = ErrorLog();
        EXPECT_NE(log.find("T2L"), std::string::npos) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    }
}

}  // namespace
}  // namespace bfs
