#include "common/TempFolder.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

namespace bfs {
namespace {

class AtomicFileTest : public ::testing::Test {
  protected:
    // Names in the folder, to see that no temporary file is left behind.
    std::set<std::string> Names(const std::string& Folder) {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(Folder)) names.insert(e.path().filename());
        return names;
    }
    test::TTempFolder m_Temp{"bfs-atomic"};
    const std::string m_Root = m_Temp.Path;
};

TEST_F(AtomicFileTest, ReplaceKeepsTheModeAndLeavesNoTemporary) {
    std::string file = m_Root + "/tasks.xml";
    ASSERT_EQ(WriteFileAtomic(file, "old"), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    ASSERT_EQ(WriteFileAtomic(file, "new content"), 0);
    std::string data;
    ASSERT_EQ(ReadWholeFile(file, data), 0);
    EXPECT_EQ(data, "new content");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(Names(m_Root), std::set<std::string>{"tasks.xml"});

    ASSERT_EQ(WriteFileAtomic(file, ""), 0);  // an empty file is a content too
    ASSERT_EQ(ReadWholeFile(file, data), 0);
    EXPECT_EQ(data, "");
}

// Files that hold passwords are the owner's alone, whatever they were before; at start the program
// folder and its task lists are tightened, other files are left as they are.
TEST_F(AtomicFileTest, PrivateFilesAndTheProgramFolderAreTheOwnersAlone) {
    const auto modeOf = [](const std::string& Path) {
        struct stat st {};
        return ::stat(Path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0u;
    };
    const std::string file = m_Root + "/list.fs";
    ASSERT_EQ(WriteFileAtomic(file, "a"), 0);
    ::chmod(file.c_str(), 0664);
    ASSERT_EQ(WriteFileAtomic(file, "b", 0600), 0);
    EXPECT_EQ(modeOf(file), 0600u);

    test::TScopedEnv config("XDG_CONFIG_HOME", m_Root + "/config");
    const std::string folder = GetProgramFolder();
    EXPECT_EQ(modeOf(folder), 0700u);
    ::chmod(folder.c_str(), 0755);
    for (const char* name : {"tasklist.fs", "Daily.fs", "Tessmarin.ini"}) {
        ASSERT_EQ(WriteFileAtomic(folder + name, "x"), 0);
        ::chmod((folder + name).c_str(), 0644);
    }
    EXPECT_EQ(SecureProgramFolder(), 0);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(folder + "tasklist.fs"), 0600u);
    EXPECT_EQ(modeOf(folder + "Daily.fs"), 0600u);
    EXPECT_EQ(modeOf(folder + "Tessmarin.ini"), 0644u);
}

TEST_F(AtomicFileTest, FailuresLeaveNoTemporary) {
    // The rename fails: a folder holding a file sits where the file should go.
    std::string blocked = m_Root + "/blocked";
    ASSERT_EQ(MakeFolders(blocked + "/inner"), 0);
    EXPECT_NE(WriteFileAtomic(blocked, "data"), 0);
    EXPECT_EQ(Names(m_Root), std::set<std::string>{"blocked"});
    EXPECT_TRUE(FolderExists(blocked + "/inner"));

    EXPECT_EQ(WriteFileAtomic(m_Root + "/missing/file", "data"), ENOENT);
    EXPECT_EQ(WriteFileAtomic("", "data"), EINVAL);
    EXPECT_EQ(Names(m_Root), std::set<std::string>{"blocked"});
}

TEST_F(AtomicFileTest, ReadAndFolderHelpers) {
    std::string data = "stale";
    EXPECT_EQ(ReadWholeFile(m_Root + "/none", data), ENOENT);
    EXPECT_EQ(data, "");
    std::string big(300000, 'x');  // more than one read buffer
    ASSERT_EQ(WriteFileAtomic(m_Root + "/big", big), 0);
    ASSERT_EQ(ReadWholeFile(m_Root + "/big", data), 0);
    EXPECT_EQ(data, big);

    EXPECT_EQ(MakeFolders(m_Root + "/a/b/c/"), 0);
    EXPECT_EQ(MakeFolders(m_Root + "/a/b/c"), 0);  // already there
    EXPECT_TRUE(FolderExists(m_Root + "/a/b/c"));
    EXPECT_FALSE(FileExists(m_Root + "/a/b/c"));
    EXPECT_EQ(MakeFolders(m_Root + "/big/sub"), ENOTDIR);  // a file in the way
    EXPECT_TRUE(FileExists(m_Root + "/big"));
    EXPECT_FALSE(FolderExists(m_Root + "/big"));
}

TEST_F(AtomicFileTest, AppendFromManyThreadsNeverLosesOrMixesLines) {
    constexpr int THREADS = 8;
    constexpr int LINES = 500;
    std::string file = m_Root + "/log.txt";
    std::vector<std::thread> workers;
    for (int t = 0; t < THREADS; ++t)
        workers.emplace_back([&, t] {
            // Long lines make a torn or interleaved write easy to see.
            std::string pad(200, static_cast<char>('a' + t));
            for (int i = 0; i < LINES; ++i)
                EXPECT_EQ(
                    AppendToFile(file, std::to_string(t) + ":" + std::to_string(i) + ":" + pad + "\r\n"), 0);
        });
    for (auto& w : workers) w.join();

    std::string data;
    ASSERT_EQ(ReadWholeFile(file, data), 0);
    std::set<std::string> seen;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        std::string line = data.substr(start, end - start);
        start = end + 2;
        size_t c1 = line.find(':');
        size_t c2 = line.find(':', c1 + 1);
        ASSERT_NE(c2, std::string::npos) << line;
        int t = std::stoi(line.substr(0, c1));
        ASSERT_EQ(line.substr(c2 + 1), std::string(200, static_cast<char>('a' + t))) << line;
        seen.insert(line.substr(0, c2));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(THREADS * LINES));
}

}  // namespace
}  // namespace bfs
