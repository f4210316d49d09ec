#include "common/TempFolder.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTLocalFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace bfs {
namespace {

class LocalFileTest : public ::testing::Test {
  protected:
    std::string Path(const std::string& Name) const { return m_Root + "/" + Name; }
    std::string Content(const std::string& Name) const {
        std::string data;
        ReadWholeFile(Path(Name), data);
        return data;
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_Root))
            names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    // Whether a listing could take the writer's lock on the file now.
    bool Lockable(const std::string& Name) const {
        TFd fd(::open(Path(Name).c_str(), O_RDONLY | O_CLOEXEC));
        return fd.Get() >= 0 && ::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0;
    }
    test::TTempFolder m_Temp{"bfs-localfile"};
    const std::string m_Root = m_Temp.Path;
};

// The source shrinks or is rewritten (or a stop is requested) either before the copy starts or once its first
// chunk has gone over; the copy must notice and say which. (Growing and touched sources: tests/storage.)
TEST_F(LocalFileTest, CopyNoticesChangedSourcesAndStops) {
    const int64_t size = 2 * COPY_CHUNK + 5;
    const struct {
        const char* Name;
        bool AtFirstChunk;  // act when the first chunk is reported, else before the copy
        std::function<void(const std::string& Src, std::stop_source& Stop)> Act;
        TCopyResult Result;
        std::vector<int64_t> Reported;
    } cases[] = {
        {"unchanged", false, {}, TCopyResult::Done, {COPY_CHUNK, 2 * COPY_CHUNK, size}},
        {"shrunk before",
         false,
         [](auto& Src, auto&) { ::truncate(Src.c_str(), COPY_CHUNK); },
         TCopyResult::SourceChanged,
         {COPY_CHUNK}},
        {"shrunk meanwhile",
         true,
         [](auto& Src, auto&) { ::truncate(Src.c_str(), 10); },
         TCopyResult::SourceChanged,
         {COPY_CHUNK}},
        // Rewritten in place, same size, the date put back: only the change time tells.
        {"rewritten meanwhile, dated back",
         true,
         [](auto& Src, auto&) {
             TFd fd(::open(Src.c_str(), O_WRONLY | O_CLOEXEC));
             ASSERT_EQ(::pwrite(fd.Get(), "x", 1, 0), 1);
             const timespec back[2] = {{1600000000, 0}, {1600000000, 0}};
             ::futimens(fd.Get(), back);
         },
         TCopyResult::SourceChanged,
         {COPY_CHUNK, 2 * COPY_CHUNK, size}},
        {"stopped before", false, [](auto&, auto& Stop) { Stop.request_stop(); }, TCopyResult::Stopped, {}},
        {"stopped meanwhile",
         true,
         [](auto&, auto& Stop) { Stop.request_stop(); },
         TCopyResult::Stopped,
         {COPY_CHUNK}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string src = Path("src.bin");
        ASSERT_EQ(WriteFileAtomic(src, std::string(static_cast<size_t>(size), 's')), 0);
        const timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
        ::utimensat(AT_FDCWD, src.c_str(), times, 0);
        struct stat st {};
        TFd in(OpenForReading(src, st));
        ASSERT_GE(in.Get(), 0);
        std::stop_source stop;
        if (c.Act && !c.AtFirstChunk) c.Act(src, stop);
        std::vector<int64_t> reported;
        TCopyTarget out;
        ASSERT_TRUE(out.Open(Path("dst.bin"), 0644, &st));
        const auto progress = [&](int64_t Done, int64_t Total) {
            EXPECT_EQ(Total, size);
            reported.push_back(Done);
            if (c.Act && c.AtFirstChunk && reported.size() == 1) c.Act(src, stop);
        };
        EXPECT_EQ(CopyFileContents(in.Get(), st, out.Fd(), progress, stop.get_token()), c.Result);
        EXPECT_EQ(reported, c.Reported);
        if (c.Result == TCopyResult::Done) {
            EXPECT_TRUE(out.Finish(times));
            EXPECT_EQ(Content("dst.bin"), std::string(static_cast<size_t>(size), 's'));
            ::unlink(Path("dst.bin").c_str());
        }
        out.Abandon();
        EXPECT_EQ(Names(), std::vector<std::string>{"src.bin"});  // an unfinished new target is gone
    }
}

// Without a kernel copy between the two (a pipe is no file), the bytes go through the buffer.
TEST_F(LocalFileTest, CopyBytesFallsBackToTheBuffer) {
    const std::string data(COPY_CHUNK + 17, 'b');
    ASSERT_EQ(WriteFileAtomic(Path("src.bin"), data), 0);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    TFd readEnd(pipeFds[0]);
    std::string received;
    std::thread reader([&] {
        char buf[4096];
        for (ssize_t n; (n = ReadFull(readEnd.Get(), buf, sizeof buf)) > 0;)
            received.append(buf, static_cast<size_t>(n));
    });
    // On a thread of its own: the fallback is remembered per thread.
    std::thread([&] {
        TFd in(::open(Path("src.bin").c_str(), O_RDONLY | O_CLOEXEC));
        TFd writeEnd(pipeFds[1]);
        EXPECT_EQ(CopyBytes(in.Get(), writeEnd.Get(), COPY_CHUNK * 2), static_cast<int64_t>(data.size()));
    }).join();
    reader.join();
    EXPECT_EQ(received, data);
}

TEST_F(LocalFileTest, TempFileIsLockedAndGoesUnlessCommitted) {
    ASSERT_EQ(WriteFileAtomic(Path("target"), "old"), 0);
    {
        TTempFile temp(m_Root + "/", ".tmp.");
        ASSERT_TRUE(temp.Created());
        const std::string name = temp.Path().substr(m_Root.size() + 1);
        EXPECT_EQ(name.rfind(".tmp.", 0), 0u);
        EXPECT_EQ(name.size(), 11u);
        EXPECT_FALSE(Lockable(name));  // a listing leaves it alone while it is written
        EXPECT_EQ(WriteAll(temp.Fd(), "abandoned"), 0);
    }
    EXPECT_EQ(Names(), std::vector<std::string>{"target"});
    {
        TTempFile temp(m_Root + "/", ".tmp.");
        EXPECT_EQ(WriteAll(temp.Fd(), "new"), 0);
        EXPECT_EQ(Content("target"), "old");  // whole until the rename
        EXPECT_TRUE(temp.CommitAs(Path("target")));
    }
    EXPECT_EQ(Names(), std::vector<std::string>{"target"});
    EXPECT_EQ(Content("target"), "new");
    TTempFile nowhere(m_Root + "/missing/", ".tmp.");
    EXPECT_FALSE(nowhere.Created());
    EXPECT_FALSE(nowhere.CommitAs(Path("target")));
}

TEST_F(LocalFileTest, CopyTargetRefusesWhatItMustNotWrite) {
    ASSERT_EQ(WriteFileAtomic(Path("src"), "source"), 0);
    ASSERT_EQ(WriteFileAtomic(Path("other"), "other"), 0);
    ASSERT_EQ(::link(Path("src").c_str(), Path("second-name").c_str()), 0);
    ASSERT_EQ(::symlink("other", Path("link").c_str()), 0);
    ASSERT_EQ(::mkdir(Path("folder").c_str(), 0755), 0);
    struct stat src {};
    ASSERT_EQ(::stat(Path("src").c_str(), &src), 0);
    const struct {
        const char* Name;
        bool Opens;
    } cases[] = {{"new", true}, {"other", true}, {"second-name", false}, {"link", false}, {"folder", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TCopyTarget target;
        EXPECT_EQ(target.Open(Path(c.Name), 0640, &src), c.Opens);
    }
    // Abandoned: the new file went, the existing one was emptied; nothing else was touched.
    EXPECT_FALSE(std::filesystem::exists(Path("new")));
    EXPECT_EQ(Content("other"), "");
    EXPECT_EQ(Content("src"), "source");

    // A read-only file is made writable and replaced; a file another writer holds is refused.
    ::chmod(Path("other").c_str(), 0444);
    TCopyTarget first;
    ASSERT_TRUE(first.Open(Path("other"), 0644, nullptr));
    EXPECT_FALSE(first.Created());
    TCopyTarget second;
    EXPECT_FALSE(second.Open(Path("other"), 0644, nullptr));
    EXPECT_EQ(WriteAll(first.Fd(), "copied"), 0);
    const timespec times[2] = {{1500000000, 0}, {1500000000, 0}};
    EXPECT_TRUE(first.Finish(times));
    struct stat st {};
    ASSERT_EQ(::stat(Path("other").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1500000000);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    EXPECT_EQ(Content("other"), "copied");
    EXPECT_TRUE(Lockable("other"));
}

}  // namespace
}  // namespace bfs
