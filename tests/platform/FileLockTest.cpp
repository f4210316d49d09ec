#include "common/TempFolder.h"
#include "platform/UTFileLock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>

namespace bfs {
namespace {

class FileLockTest : public ::testing::Test {
  protected:
    test::TTempFolder m_Temp{"bfs-lock"};
    const std::string m_Dir = m_Temp.Path;
    std::string m_Path = m_Dir + "/task.lock";
};

TEST_F(FileLockTest, OneHolderPerPathEvenWithinOneProcess) {
    TFileLock a;
    {
        TFileLock b;
        ASSERT_TRUE(b.TryLock(m_Path));
        EXPECT_TRUE(b.TryLock(m_Path));  // already held by this object
        EXPECT_FALSE(b.TryLock(m_Path + "2"));
        EXPECT_FALSE(a.TryLock(m_Path));
        EXPECT_EQ(a.LastError(), EWOULDBLOCK);
        b.Unlock();
        ASSERT_TRUE(a.TryLock(m_Path));
        EXPECT_FALSE(b.TryLock(m_Path));
        a.Unlock();
        ASSERT_TRUE(b.TryLock(m_Path));
    }
    EXPECT_TRUE(a.TryLock(m_Path));  // freed by b's destruction
    EXPECT_TRUE(std::filesystem::is_regular_file(m_Path));
}

// What stands in the lock file's place is never followed nor replaced: the lock is refused with
// the reason, and the place is left as it was.
TEST_F(FileLockTest, OnlyAFileIsLocked) {
    const std::string target = m_Dir + "/target";
    struct {
        const char* Name;
        std::function<int()> Make;
        int Error;
    } cases[] = {
        {"a link to nothing", [&] { return ::symlink(target.c_str(), m_Path.c_str()); }, ELOOP},
        {"a link to a file",
         [&] {
             return ::close(::open(target.c_str(), O_CREAT | O_WRONLY, 0600)) |
                    ::symlink(target.c_str(), m_Path.c_str());
         },
         ELOOP},
        {"a folder", [&] { return ::mkdir(m_Path.c_str(), 0700); }, EISDIR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::filesystem::remove_all(m_Path);
        std::filesystem::remove(target);
        ASSERT_EQ(c.Make(), 0);
        const bool targetBefore = std::filesystem::exists(target);
        TFileLock lock;
        EXPECT_FALSE(lock.TryLock(m_Path));
        EXPECT_EQ(lock.LastError(), c.Error);
        EXPECT_FALSE(lock.Held());
        EXPECT_EQ(std::filesystem::exists(target), targetBefore);  // a link's target is never made
    }
}

TEST_F(FileLockTest, AKilledHolderFreesTheLock) {
    int ready[2], hold[2];
    ASSERT_EQ(::pipe(ready) | ::pipe(hold), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TFileLock lock;
        char ok = lock.TryLock(m_Path) ? '1' : '0';
        ::close(hold[1]);
        // Holds the lock until killed; should the test process die first, the read ends.
        if (::write(ready[1], &ok, 1) == 1) ok = ::read(hold[0], &ok, 1);
        ::_exit(0);
    }
    ::close(ready[1]);  // so that the read ends should the child fail before writing
    char ok = 0;
    EXPECT_EQ(::read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, '1');
    TFileLock lock;
    EXPECT_FALSE(lock.TryLock(m_Path));
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    EXPECT_TRUE(lock.TryLock(m_Path));
    for (int fd : {ready[0], hold[0], hold[1]}) ::close(fd);
}

}  // namespace
}  // namespace bfs
