#include "common/TempFolder.h"
#include "platform/UTSystem.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace bfs {
namespace {

TEST(SystemTest, NamesOfUserComputerAndProgram) {
    EXPECT_FALSE(GetProcessUserName().empty());
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(GetHostName(), host);
    std::string exe = GetExecutablePath();
    EXPECT_EQ(exe, std::filesystem::canonical("/proc/self/exe").string());
}

TEST(SystemTest, RunCommandPassesArgumentsWithoutAShell) {
    EXPECT_EQ(RunCommand({"true"}), 0);
    EXPECT_EQ(RunCommand({"false"}), 1);
    EXPECT_EQ(RunCommand({"sh", "-c", "exit 7"}), 7);
    // Each argument arrives exactly as given, blanks and shell characters included.
    EXPECT_EQ(RunCommand({"sh", "-c", R"(test "$1" = 'a b;$(x)')", "sh", "a b;$(x)"}), 0);
    EXPECT_EQ(RunCommand({"/nonexistent/program"}), -1);
    EXPECT_EQ(RunCommand({}), -1);
    EXPECT_EQ(RunCommand({"sh", "-c", "kill -9 $$"}), -1);
}

TEST(SystemTest, AutostartFolderHonoursXdgConfigHome) {
    {
        test::TScopedEnv config("XDG_CONFIG_HOME", "/tmp/cfg");
        EXPECT_EQ(GetAutostartFolder(), "/tmp/cfg/autostart/");
    }
    test::TScopedEnv config("XDG_CONFIG_HOME", "relative/cfg");  // relative values are ignored
    test::TScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(GetAutostartFolder(), "/home/someone/.config/autostart/");
    // Without $HOME the password database names the home folder.
    test::TScopedEnv noHome("HOME", "");
    const passwd* pw = ::getpwuid(::getuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(GetAutostartFolder(), std::string(pw->pw_dir) + "/.config/autostart/");
}

TEST(SystemTest, DesktopExecQuoting) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/bin/bramlow-file-sync", "/usr/bin/bramlow-file-sync"},
        {"/opt/My Apps/sync", "\"/opt/My Apps/sync\""},
        {"/opt/50%/sync", "/opt/50%%/sync"},
        {"/opt/a\"b/sync", R"("/opt/a\\"b/sync")"},  // \" then the string escape of "\"
        {"/opt/a$b`c/sync", R"("/opt/a\\$b\\`c/sync")"},
        {"/opt/back\\slash", R"("/opt/back\\\\slash")"},  // four backslashes for one
        {"/opt/tab\there", R"("/opt/tab\there")"},
        {"/opt/line\nbreak", R"("/opt/line\nbreak")"},
        {"/opt/x'y", "\"/opt/x'y\""},
    };
    for (const auto& [arg, quoted] : cases) EXPECT_EQ(QuoteDesktopExecArg(arg), quoted) << arg;
    EXPECT_EQ(EscapeDesktopString("a\\b\nc"), "a\\\\b\\nc");
}

}  // namespace
}  // namespace bfs
