// Whole runs against a WebDAV server whose clock is off, or whose log-on stops working mid-run. The
// server is a real one (rclone, apache); a relay in front of it moves the clock its replies tell.

#include "EngineTestUtil.h"
#include "common/SkewProxy.h"
#include "common/TempFolder.h"
#include "common/TestSides.h"
#include "engine/UTTaskRun.h"
#include "model/UTConsts.h"
#include "model/UTPublicFunc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace bfs::test {
namespace {

constexpr int64_t HOUR = 3600;

struct TRun {
    std::vector<std::string> Log, Conflicts;
};

// One whole run of Task, as the command line makes it.
TRun RunTask(TSyncTask& Task, const std::function<void()>& BeforeSync = {}) {
    TTaskRun run(Task);
    TRun out;
    EXPECT_EQ(run.StartScan(), 0) << run.ErrorText;
    if (!run.ErrorText.empty()) return out;
    EXPECT_EQ(run.FinishScan(), 0);
    EXPECT_EQ(run.Analyze(), 0) << run.ErrorText;
    out.Conflicts = run.ConflictLines;
    if (BeforeSync) BeforeSync();
    run.Sync([&](const std::string& Line) { out.Log.push_back(Line); });
    return out;
}

std::vector<std::string> ErrorLines(const std::vector<std::string>& Log) {
    std::vector<std::string> errors;
    for (const std::string& line : Log)
        if (line.starts_with("Error")) errors.push_back(line);
    return errors;
}

void MakeNewerWins(TSyncTask& Task) {
    Task.SyncName = "Task";
    Task.SyncID = "T1";
    Task.SyncDirection = 0;
    Task.AutoRun = 1;
    Task.Conflicts = 1;  // newer wins
}

// Both sides edited a file since the last run. A server whose clock is off dates its edit by that
// clock; taken against this computer's clock (the replies' dates), the edit made later wins. A
// server whose replies tell clocks hours apart gives no offset to go by: the pair is held as a
// conflict and both edits stay.
TEST(WebDavRunTest, NewerWinsOnOneClock) {
    BFS_REQUIRE_PROGRAM(HTPASSWD);
    BFS_REQUIRE_PROGRAM(RCLONE);
    const struct {
        const char* What;
        std::function<int64_t(int)> Skew;  // of the N-th connection
        // From now: the date the server gives its edit (made an hour or two ago, on its clock) and
        // the local edit's.
        int64_t ServerDate, LocalEdit;
        const char* Left;
        const char* Right;
        bool Conflict;
    } cases[] = {
        {"5 hours fast, the local edit later", [](int) { return 5 * HOUR; }, 3 * HOUR, -HOUR, "local",
         "local", false},
        {"3 hours slow, the server's edit later", [](int) { return -3 * HOUR; }, -4 * HOUR, -2 * HOUR,
         "server", "server", false},
        {"fast by turns", [](int N) { return N % 2 ? 5 * HOUR : 0; }, 3 * HOUR, -HOUR, "local", "server",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const TTempHome home;  // task locks and local states of its own
        TWebDavServer server;
        ASSERT_TRUE(server.Start(TDavKind::Rclone)) << "the server did not start";
        std::atomic<int> connections{0};
        TSkewProxy proxy(server.Port, [&] { return c.Skew(connections++); });
        ASSERT_NE(proxy.Port, 0);
        TTempFolder scratch;
        TLocalSide left(scratch.Path + "/left");
        TServedSide right(server.Files + "/side", nullptr, DEVICE_WEBDAV,
                          "http://127.0.0.1:" + std::to_string(proxy.Port) + "/side", DAV_USER, DAV_PASS);
        TSyncTask task;
        MakeNewerWins(task);
        left.Configure(*task.LFolder);
        right.Configure(*task.RFolder);
        const int64_t now = std::time(nullptr);
        ASSERT_TRUE(left.Write("/a.txt", "first", now - 5 * HOUR));
        EXPECT_TRUE(ErrorLines(RunTask(task).Log).empty());
        ASSERT_EQ(right.Read("/a.txt"), "first");
        ASSERT_TRUE(right.Write("/a.txt", "server", now + c.ServerDate));
        ASSERT_TRUE(left.Write("/a.txt", "local", now + c.LocalEdit));
        const TRun run = RunTask(task);
        EXPECT_TRUE(ErrorLines(run.Log).empty());
        EXPECT_EQ(run.Conflicts.empty(), !c.Conflict);
        EXPECT_EQ(left.Read("/a.txt"), c.Left);
        EXPECT_EQ(right.Read("/a.txt"), c.Right);
    }
}

// A log-on the server stops taking after the analysis fails the rows, and their Error lines say so.
TEST(WebDavRunTest, LogOnRefusedMidRunIsNamed) {
    BFS_REQUIRE_PROGRAM(HTPASSWD);
    BFS_REQUIRE_PROGRAM(APACHE2);
    if (::geteuid() != 0) GTEST_SKIP() << "apache2 needs root to serve as www-data";
    const TTempHome home;
    TWebDavServer server;
    ASSERT_TRUE(server.Start(TDavKind::Apache)) << "the server did not start";
    TTempFolder scratch;
    TLocalSide left(scratch.Path + "/left");
    auto own = [&server](const std::string& Path) { server.Own(Path); };
    TServedSide right(server.Files + "/side", own, DEVICE_WEBDAV, server.Address("/side"), DAV_USER,
                      DAV_PASS);
    TSyncTask task;
    MakeNewerWins(task);
    left.Configure(*task.LFolder);
    right.Configure(*task.RFolder);
    ASSERT_TRUE(left.Write("/up.txt", "up", std::time(nullptr) - HOUR));
    ASSERT_TRUE(right.Write("/down.txt", "down", std::time(nullptr) - HOUR));
    const TRun run = RunTask(task, [&] {
        // The server's users file now names no one: every request is refused (401).
        std::ofstream(server.Files + "/../users", std::ios::trunc).flush();
    });
    const std::vector<std::string> errors = ErrorLines(run.Log);
    // The upload's target cannot be looked up; the download's source cannot be read.
    for (const char* row : {"Error could not be looked up: http://", "Error Copy:http://"}) {
        EXPECT_TRUE(std::any_of(errors.begin(), errors.end(),
                                [row](const std::string& Line) {
                                    return Line.starts_with(row) && Line.ends_with(" (log-on refused)");
                                }))
            << row << " in " << ::testing::PrintToString(errors);
    }
    EXPECT_EQ(right.Read("/up.txt"), "");
    EXPECT_EQ(left.Read("/down.txt"), "");
}

}  // namespace
}  // namespace bfs::test
