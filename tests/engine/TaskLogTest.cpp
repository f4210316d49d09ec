#include "EngineTestUtil.h"
#include "engine/UTSyncTask.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "model/UTSysConfig.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>

namespace bfs {
namespace {

class TaskLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_SaveLog = SysConfig().SaveLog;
        m_Task.SyncName = "Photos";
        m_Task.SyncID = "photos/1";
        m_Task.LFolder->FolerAllName = "/home/me/pics";
        m_Task.RFolder->FolerAllName = "ftp://nas/pics";
    }
    void TearDown() override { SysConfig().SaveLog = m_SaveLog; }

    std::string LogPath() const { return GetProgramFolder() + "photos%2F1.log"; }
    std::string LogText() const {
        std::string text;
        ReadWholeFile(LogPath(), text);
        return text;
    }

    test::TTempHome m_Home;
    TSyncTask m_Task;
    int32_t m_SaveLog = 0;
};

TEST_F(TaskLogTest, HeaderByDirection) {
    const std::string first =
        "----- [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ,Job:\"Photos\" ,SYNC," +
        GetLocalComputerName() + "," + GetCurrentUserName() + " -----\r\n";
    struct {
        int32_t Direction;
        const char* Second;
    } cases[] = {{0, "/home/me/pics <-> ftp://nas/pics"},
                 {1, "/home/me/pics -> ftp://nas/pics"},
                 {2, "/home/me/pics <- ftp://nas/pics"},
                 {3, "/home/me/picsftp://nas/pics"}};
    for (const auto& c : cases) {
        m_Task.SyncDirection = c.Direction;
        const std::string header = m_Task.LogHeader("SYNC");
        const size_t cut = header.find("\r\n") + 2;
        EXPECT_TRUE(std::regex_match(header.substr(0, cut), std::regex(first))) << header;
        EXPECT_EQ(header.substr(cut), c.Second);
    }
}

TEST_F(TaskLogTest, AnalysisRecordsAppendOnlyWhenSaveLogIsOn) {
    SysConfig().SaveLog = 0;
    const std::string record = m_Task.LogAnalysis("12 s", "3 to copy", "9 GB free");
    const std::string header = m_Task.LogHeader("ANALYSIS");
    const size_t tail = header.find("\r\n");
    ASSERT_GT(record.size(), tail);
    EXPECT_EQ(record.substr(tail),
              header.substr(tail) + "\r\n3 to copy\r\n9 GB free\r\n----- Analysis 12 s -----");
    EXPECT_EQ(record.find("ANALYSIS"), header.find("ANALYSIS"));
    m_Task.LogIfEnabled("run record");
    EXPECT_FALSE(FileExists(LogPath()));

    SysConfig().SaveLog = 1;
    const std::string one = m_Task.LogAnalysis("1 s", "a", "b");
    m_Task.SyncName = "Renamed";  // the log follows the identifier, not the name
    const std::string two = m_Task.LogAnalysis("2 s", "c", "d");
    m_Task.LogIfEnabled("run record");
    EXPECT_EQ(LogText(), one + "\r\n" + two + "\r\nrun record\r\n");
}

TEST_F(TaskLogTest, WriteFailures) {
    SysConfig().SaveLog = 1;
    ASSERT_EQ(::mkdir(LogPath().c_str(), 0755), 0);  // the log's name is taken by a folder
    EXPECT_THROW(m_Task.WriteLog("x"), EInOutError);
    EXPECT_THROW(m_Task.LogIfEnabled("x"), EInOutError);
    std::string record;
    EXPECT_NO_THROW(record = m_Task.LogAnalysis("1 s", "a", "b"));
    EXPECT_TRUE(record.ends_with("----- Analysis 1 s -----"));
    std::string errors;
    ReadWholeFile(TMyException::LogFileName(), errors);
    EXPECT_NE(errors.find("EInOutError"), std::string::npos);
}

}  // namespace
}  // namespace bfs
