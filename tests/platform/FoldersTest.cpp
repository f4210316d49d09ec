#include "common/TempFolder.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace bfs {
namespace {

mode_t ModeOf(const std::string& Path) {
    struct stat st {};
    return ::lstat(Path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// The runtime folder holds the task locks and the instance socket. It is used only when it is a
// real folder of this user of mode 0700 (made so when missing); anything else is refused as found,
// never changed, never followed, with a clause naming the folder. The same holds for the cache
// folder that serves without XDG_RUNTIME_DIR.
TEST(RuntimeFolderTest, OnlyAPrivateFolderOfThisUserIsUsed) {
    struct TCase {
        const char* Name;
        // Makes the case at Folder; false when this process cannot (the case is skipped).
        std::function<bool(const std::string& Folder, const std::string& Scratch)> Make;
        const char* Problem;  // after "the folder <path> "; "" when the folder is used
        mode_t Mode;          // the folder's type and mode afterwards
    };
    const TCase cases[] = {
        {"missing", [](auto&, auto&) { return true; }, "", S_IFDIR | 0700},
        {"private", [](auto& F, auto&) { return ::mkdir(F.c_str(), 0700) == 0; }, "", S_IFDIR | 0700},
        {"a file", [](auto& F, auto&) { return WriteFileAtomic(F, "x", 0600) == 0; }, "is not a folder",
         S_IFREG | 0600},
        {"a link to a private folder",
         [](auto& F, auto& S) {
             return ::mkdir((S + "/t").c_str(), 0700) == 0 && ::symlink((S + "/t").c_str(), F.c_str()) == 0;
         },
         "is a symbolic link", S_IFLNK | 0777},
        {"a link to nothing",
         [](auto& F, auto& S) { return ::symlink((S + "/none").c_str(), F.c_str()) == 0; },
         "is a symbolic link", S_IFLNK | 0777},
        {"open to others",
         [](auto& F, auto&) { return ::mkdir(F.c_str(), 0700) == 0 && ::chmod(F.c_str(), 0755) == 0; },
         "has mode 0755, not 0700", S_IFDIR | 0755},
        {"group may write",
         [](auto& F, auto&) { return ::mkdir(F.c_str(), 0700) == 0 && ::chmod(F.c_str(), 0770) == 0; },
         "has mode 0770, not 0700", S_IFDIR | 0770},
        // Only root can give a folder away; elsewhere the case is skipped.
        {"another user's",
         [](auto& F, auto&) {
             return ::mkdir(F.c_str(), 0700) == 0 && ::chown(F.c_str(), 65534, 65534) == 0;
         },
         "belongs to another user (uid 65534)", S_IFDIR | 0700},
    };
    for (const bool runtimeDir : {true, false}) {
        for (const TCase& c : cases) {
            SCOPED_TRACE(std::string(c.Name) + (runtimeDir ? " under XDG_RUNTIME_DIR" : " in the cache"));
            test::TTempFolder scratch("bfs-runfolder");
            const std::string base = scratch.Path + "/base";
            ASSERT_EQ(::mkdir(base.c_str(), 0700), 0);
            test::TScopedEnv runtime("XDG_RUNTIME_DIR", runtimeDir ? base : "");
            test::TScopedEnv cache("XDG_CACHE_HOME", base);
            const std::string folder = base + (runtimeDir ? "/bramlow-file-sync" : "/bramlow-file-sync/run");
            if (!runtimeDir) {
                ASSERT_EQ(::mkdir((base + "/bramlow-file-sync").c_str(), 0755), 0);
            }
            if (!c.Make(folder, scratch.Path)) {
                std::printf("  skipped \"%s\": cannot be made by this user\n", c.Name);
                continue;
            }
            const TRuntimeFolder found = CheckRuntimeFolder();
            EXPECT_EQ(found.Path, folder + "/");
            const std::string problem = *c.Problem ? "the folder " + folder + " " + c.Problem : "";
            EXPECT_EQ(found.Problem, problem);
            EXPECT_EQ(GetRuntimeFolder(), problem.empty() ? folder + "/" : "");
            EXPECT_EQ(ModeOf(folder), c.Mode);
            EXPECT_EQ(ModeOf(scratch.Path + "/none"), 0u);  // a link's target is never made
        }
    }
}

TEST(RuntimeFolderTest, AFolderThatCannotBeMadeIsNamedWithTheReason) {
    test::TTempFolder scratch("bfs-runfolder");
    ASSERT_EQ(WriteFileAtomic(scratch.Path + "/file", "x"), 0);
    struct {
        std::string Runtime;
        std::string Problem;
    } cases[] = {
        {scratch.Path + "/gone",
         "the folder " + scratch.Path +
             "/gone/bramlow-file-sync could not be created (No such file or directory)"},
        {scratch.Path + "/file",
         "the folder " + scratch.Path + "/file/bramlow-file-sync cannot be examined (Not a directory)"},
    };
    for (const auto& c : cases) {
        test::TScopedEnv runtime("XDG_RUNTIME_DIR", c.Runtime);
        EXPECT_EQ(CheckRuntimeFolder().Problem, c.Problem);
        EXPECT_EQ(GetRuntimeFolder(), "");
    }
}

}  // namespace
}  // namespace bfs
