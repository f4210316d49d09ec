#include "EngineTestUtil.h"
#include "common/SilentServer.h"
#include "common/TestSides.h"
#include "platform/UTFileLock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

namespace bfs::test {
namespace {

using TaskRunTest = TLocalTaskTest;

// Waits until Done, at most 20 s: a generous bound, far below the minute a silent server holds a
// WebDAV connect, so only a scan that waits it out fails.
template <class TDone>
bool WaitUntil(TDone Done) {
    for (int i = 0; i < 4000 && !Done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return Done();
}

// Driven the window's way, StartScan returns while the server holds the connect; the connect's end
// (a stop, or the server dropping it) comes through the scan's end, both sides' ends from it.
TEST_F(TaskRunTest, TheConnectRunsOnTheScanWorkerAndEndsThroughTheScansEnd) {
    TSilentServer server;
    ASSERT_TRUE(server.Started());
    Task.LFolder->DeviceType = DEVICE_WEBDAV;
    Task.LFolder->FolerAllName = server.Address("http") + "/dav";
    for (const bool stop : {true, false}) {  // the server refuses from the second case on
        TTaskRun run(Task);
        std::atomic<int> ended{0};
        run.OnScanEnded = [&](int) { ++ended; };
        const int before = server.Accepted();
        ASSERT_EQ(run.StartScan(), 0);
        ASSERT_TRUE(WaitUntil([&] { return server.Accepted() > before; }));
        EXPECT_EQ(ended, 0);
        if (stop)
            run.Stop();
        else
            server.Refuse();
        ASSERT_TRUE(WaitUntil([&] { return ended == 2; }));
        EXPECT_EQ(run.FinishScan(), 1);
        EXPECT_EQ(run.ConnectFailed, !stop);
        EXPECT_EQ(run.ErrorText, stop ? ""
                                      : "Cannot connect Left folder: " + server.Address("http") +
                                            "/dav (server not reachable)");
        EXPECT_FALSE(run.WorkerAlive());
        // A refused scan frees the task at once (a stopped one on Release).
        TFileLock lock;
        EXPECT_EQ(lock.TryLock(Task.LockFileName()), !stop);
    }
}

// Once a new scan has replaced the back-ends whose listings the last result was built on, that
// result is never carried out, even when the new scan is refused.
TEST_F(TaskRunTest, ARefusedScanDropsTheResultBuiltOnTheOldListings) {
    ASSERT_EQ(WriteFileAtomic(Left + "/a.txt", "alpha"), 0);
    std::unique_ptr<TTaskRun> run = Analyze();
    Task.RFolder->FolerAllName = Right + "/gone";
    EXPECT_EQ(run->StartScan(), 1);
    EXPECT_EQ(run->Sync(), 1);
    EXPECT_EQ(run->ErrorText, "The analysis did not end: analyze again before a sync.");
    EXPECT_FALSE(std::filesystem::exists(Right + "/gone"));
}

// Files changed on both sides that an automatic run leaves alone keep code 7: conflicts, counted as
// such and never as changes, each named in one line, in listing order. An excluded one is none.
TEST_F(TaskRunTest, ConflictsAreCountedAndNamedOnceEach) {
    const int64_t t1 = 1600000000;
    for (const std::string exclude : {"", "b.txt"}) {
        TLocalSide left(Left + "/case" + exclude), right(Right + "/case" + exclude);
        left.Configure(*Task.LFolder);
        right.Configure(*Task.RFolder);
        Task.SyncID = "conflicts" + exclude;
        Task.AutoRun = 0;
        Task.ExcludeFilter.clear();
        for (const char* file : {"/docs/a.txt", "/b.txt", "/c.txt"}) ASSERT_TRUE(left.Write(file, "one", t1));
        ASSERT_EQ(Analyze()->Sync(), 0);
        for (const char* file : {"/docs/a.txt", "/b.txt", "/c.txt"})
            ASSERT_TRUE(left.Write(file, "left", t1 + 600));
        for (const char* file : {"/docs/a.txt", "/b.txt"}) ASSERT_TRUE(right.Write(file, "right", t1 + 1200));
        Task.AutoRun = 1;  // Conflicts 0: left alone
        if (!exclude.empty()) Task.ExcludeFilter = {exclude};
        const std::unique_ptr<TTaskRun> run = Analyze();
        std::vector<std::string> lines{"Conflict, not synced: /docs/a.txt", "Conflict, not synced: /b.txt"};
        if (!exclude.empty()) lines.pop_back();
        EXPECT_EQ(run->ConflictLines, lines);
        EXPECT_EQ(run->ResultTree->ConflictCount, static_cast<int32_t>(lines.size()));
        EXPECT_EQ(run->ResultTree->OverwriteCount, 1);  // c.txt alone
    }
    EXPECT_EQ(TTaskRun::ConflictCountText(1), "1 conflict was not synced.");
    EXPECT_EQ(TTaskRun::ConflictCountText(3), "3 conflicts were not synced.");
}

// A lock that cannot be made says so, where and why, at the scan and at a sync that takes the lock
// anew; nothing is copied. Only a lock held by another run says the task is running.
TEST_F(TaskRunTest, ALockThatCannotBeMadeSaysWhereAndWhy) {
    ASSERT_EQ(WriteFileAtomic(Left + "/a.txt", "alpha"), 0);
    const std::string folder = Home.Dir + "/run/bramlow-file-sync";
    const std::string lockFile = folder + "/T1.lock";
    const std::string cannot = "The lock of task \"Task\" could not be made: ";
    TFileLock other;
    struct {
        const char* Name;
        std::function<bool()> Make;
        std::string Text;
    } cases[] = {
        {"the folder is a file", [&] { return WriteFileAtomic(folder, "x", 0600) == 0; },
         cannot + "the folder " + folder + " is not a folder."},
        {"the folder is a link",
         [&] {
             return ::mkdir((Home.Dir + "/elsewhere").c_str(), 0700) == 0 &&
                    ::symlink("../elsewhere", folder.c_str()) == 0;
         },
         cannot + "the folder " + folder + " is a symbolic link."},
        {"the folder is open to others",
         [&] { return ::mkdir(folder.c_str(), 0777) == 0 && ::chmod(folder.c_str(), 0777) == 0; },
         cannot + "the folder " + folder + " has mode 0777, not 0700."},
        {"the lock file is a folder",
         [&] { return ::mkdir(folder.c_str(), 0700) == 0 && ::mkdir(lockFile.c_str(), 0700) == 0; },
         cannot + lockFile + ": Is a directory."},
        {"another run holds the lock", [&] { return other.TryLock(Task.LockFileName()); },
         "The task \"Task\" is already running."},
    };
    for (const auto& c : cases) {
        for (const bool atSync : {false, true}) {
            SCOPED_TRACE(std::string(c.Name) + (atSync ? ", at the sync" : ", at the scan"));
            std::filesystem::remove_all(folder);
            std::unique_ptr<TTaskRun> run;
            if (atSync) {
                run = Analyze();  // takes the lock in a sound folder, and then lets it go
                run->Release();
            } else {
                run = std::make_unique<TTaskRun>(Task);
            }
            std::filesystem::remove_all(folder);
            std::filesystem::remove_all(Home.Dir + "/elsewhere");
            ASSERT_TRUE(c.Make());
            EXPECT_EQ(atSync ? run->Sync() : run->StartScan(), 1);
            EXPECT_EQ(run->ErrorText, c.Text);
            EXPECT_FALSE(std::filesystem::exists(Right + "/a.txt"));
            EXPECT_FALSE(std::filesystem::exists(Home.Dir + "/elsewhere/T1.lock"));
            other.Unlock();
        }
    }
}

}  // namespace
}  // namespace bfs::test
