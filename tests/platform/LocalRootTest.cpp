#include "common/Snapshot.h"
#include "common/TempFolder.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTLocalFile.h"
#include "platform/UTLocalRoot.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

namespace bfs {
namespace {

// A side's root with links out of it, and an "outside" they lead to. Every test runs with the
// kernel's resolution and with the part-by-part walk of kernels without openat2.
class LocalRootTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ResolvePartByPart(GetParam());
        ASSERT_EQ(MakeFolders(R + "/dir"), 0);
        ASSERT_EQ(MakeFolders(Outside + "/d"), 0);
        ASSERT_EQ(WriteFileAtomic(R + "/dir/f.txt", "inside"), 0);
        ASSERT_EQ(WriteFileAtomic(Outside + "/x.txt", "secret"), 0);
        for (const auto& [target, link] : {std::pair{"../outside", "/sub"},
                                           {"../../outside", "/dir/up"},
                                           {"dir/f.txt", "/flink"},
                                           {"../outside/x.txt", "/olink"}})
            ASSERT_EQ(::symlink(target, (R + link).c_str()), 0);
        Root = TLocalRoot::Open(R);
        ASSERT_TRUE(Root);
    }
    void TearDown() override { ResolvePartByPart(false); }

    test::TTempFolder m_Temp{"bfs-localroot"};
    const std::string R = m_Temp.Path + "/root";
    const std::string Outside = m_Temp.Path + "/outside";
    TLocalRootRef Root;
};

INSTANTIATE_TEST_SUITE_P(Resolution, LocalRootTest, ::testing::Values(false, true),
                         [](const auto& Info) { return Info.param ? "PartByPart" : "Kernel"; });

// 0 when an operation went through, else the errno it left.
int Outcome(bool Done) {
    return Done ? 0 : errno;
}

TEST_P(LocalRootTest, NoLocalFileFunctionFollowsALinkBeneathAnOpenRoot) {
    const auto before = test::SnapshotOf(Outside);
    struct stat st {};
    const struct {
        const char* What;
        std::function<int()> Do;
        int Result;  // 0: done; else the errno
    } cases[] = {
        {"read beneath", [&] { return Outcome(TFd(OpenForReading(R + "/dir/f.txt", st)).Get() >= 0); }, 0},
        {"read through a folder link",
         [&] { return Outcome(TFd(OpenForReading(R + "/sub/x.txt", st)).Get() >= 0); }, ELOOP},
        {"read through a deeper link",
         [&] { return Outcome(TFd(OpenForReading(R + "/dir/up/x.txt", st)).Get() >= 0); }, ELOOP},
        {"read a link to a file", [&] { return Outcome(TFd(OpenForReading(R + "/olink", st)).Get() >= 0); },
         ELOOP},
        {"climb out",
         [&] { return Outcome(TFd(OpenLocal(R + "/dir/../../outside/x.txt", O_RDONLY)).Get() >= 0); }, EXDEV},
        {"create through a link",
         [&] { return Outcome(TCopyTarget().Open(R + "/sub/new.txt", 0644, nullptr)); }, ELOOP},
        {"write over through a link",
         [&] { return Outcome(TCopyTarget().Open(R + "/sub/x.txt", 0644, nullptr)); }, ELOOP},
        {"temporary file in a linked folder",
         [&] { return Outcome(TTempFile(R + "/sub/", ".t.").Created()); }, ELOOP},
        {"temporary file renamed through a link",
         [&] { return Outcome(TTempFile(R + "/dir/", ".t.").CommitAs(R + "/sub/x.txt")); }, ELOOP},
        {"status through a link", [&] { return Outcome(StatLocal(R + "/sub/x.txt", st) == 0); }, ELOOP},
        {"status of a link itself",
         [&] { return Outcome(StatLocal(R + "/flink", st) == 0 && S_ISLNK(st.st_mode)); }, 0},
        {"folder of a name through a link", [&] { return Outcome(TLocalParent(R + "/sub/x.txt").Ok()); },
         ELOOP},
        {"folders made through a link", [&] { return MakeFoldersBeneath(Root->Fd(), "sub/made"); }, ELOOP},
        {"folders made beneath", [&] { return MakeFoldersBeneath(Root->Fd(), "dir/a/b"); }, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        errno = 0;
        EXPECT_EQ(c.Do(), c.Result);
    }
    EXPECT_EQ(test::SnapshotOf(Outside), before);
    EXPECT_TRUE(FolderExists(R + "/dir/a/b"));
}

// Roots are shared by path while held; paths under none, and every path once no holder is left,
// are opened as given (links followed); a link at a root's own path is followed when it is opened.
TEST_P(LocalRootTest, OnlyPathsUnderAHeldRootAreKeptBeneathIt) {
    ASSERT_EQ(::symlink("root", (m_Temp.Path + "/chosen").c_str()), 0);
    ASSERT_EQ(::symlink("outside", (m_Temp.Path + "/via").c_str()), 0);
    struct stat st {};
    EXPECT_EQ(TLocalRoot::Open(R), Root);
    EXPECT_GE(TFd(OpenForReading(m_Temp.Path + "/via/x.txt", st)).Get(), 0);  // under no root
    {
        const TLocalRootRef chosen = TLocalRoot::Open(m_Temp.Path + "/chosen");
        ASSERT_TRUE(chosen);
        EXPECT_GE(TFd(OpenForReading(m_Temp.Path + "/chosen/dir/f.txt", st)).Get(), 0);
        EXPECT_LT(TFd(OpenForReading(m_Temp.Path + "/chosen/sub/x.txt", st)).Get(), 0);
    }
    EXPECT_LT(TFd(OpenForReading(R + "/sub/x.txt", st)).Get(), 0);
    Root.reset();
    EXPECT_GE(TFd(OpenForReading(R + "/sub/x.txt", st)).Get(), 0);
    EXPECT_EQ(TLocalRoot::Open(R + "/missing"), nullptr);
}

// The program's own folders (here the cache, with its staging files) are used as given even below a
// side's root, through a link too; the side's other paths there are not.
TEST_P(LocalRootTest, TheProgramsOwnFoldersAreUsedAsGiven) {
    Root.reset();
    ASSERT_EQ(MakeFolders(Outside + "/cache/bramlow-file-sync/staging"), 0);
    ASSERT_EQ(MakeFolders(Outside + "/cache/other"), 0);
    ASSERT_EQ(::symlink("../outside/cache", (R + "/.cache").c_str()), 0);
    const test::TScopedEnv cache("XDG_CACHE_HOME", R + "/.cache");
    Root = TLocalRoot::Open(R);
    ASSERT_TRUE(Root);
    TTempFile staged(R + "/.cache/bramlow-file-sync/staging/", "bfs-");
    EXPECT_TRUE(staged.Created());
    EXPECT_FALSE(TTempFile(R + "/.cache/other/", "bfs-").Created());
}

}  // namespace
}  // namespace bfs
