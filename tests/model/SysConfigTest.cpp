#include "common/TempFolder.h"
#include "common/Unprivileged.h"
#include "model/UTSysConfig.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace bfs {
namespace {

using TList = std::vector<std::string>;

// Each test gets its own program folder under a fresh XDG_CONFIG_HOME.
class SysConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_Folder = GetProgramFolder();
        ASSERT_EQ(m_Folder, m_Root + "/bramlow-file-sync/");
    }
    void WriteProgramFile(const std::string& Name, const std::string& Text) {
        ASSERT_EQ(WriteFileAtomic(m_Folder + Name, Text), 0);
    }
    std::string ReadProgramFile(const std::string& Name) {
        std::string data;
        EXPECT_EQ(ReadWholeFile(m_Folder + Name, data), 0) << Name;
        return data;
    }
    std::string Settings() { return ReadProgramFile("Tessmarin.ini"); }
    std::string ErrorLog() {
        std::string data;
        ReadWholeFile(m_Folder + "ErrorInfo.txt", data);
        return data;
    }

    test::TTempFolder m_Temp{"bfs-sysconfig"};
    const std::string m_Root = m_Temp.Path;
    test::TScopedEnv m_Config{"XDG_CONFIG_HOME", m_Root};
    std::string m_Folder;
};

TEST_F(SysConfigTest, CreateAndLoadOfMissingFile) {
    TSysConfig config;
    EXPECT_EQ(config.Load("Tessmarin.ini"), 1);
    EXPECT_EQ(config.curlang, "USA.lng");
    EXPECT_EQ(config.languages, "");
    EXPECT_EQ(config.IsFirst, 0);
    EXPECT_EQ(config.SaveLog, 0);
    EXPECT_TRUE(config.ExcludeFilter.empty());
    EXPECT_FALSE(config.LangFile);
}

TEST_F(SysConfigTest, LoadReadsEveryKeyWithItsDefault) {
    const struct {
        const char* Name;
        std::string Text;
        std::string curlang;
        int32_t IsFirst, SaveLog, AutoClose;
        TList Exclude, Include;
    } cases[] = {
        {"no filesync section", "[other]\nSaveLog=1\n", "en-english.lng", 1, 0, 0, {}, {}},
        {"values",
         "[FILESYNC]\ncurlang=de.lng\nSaveLog=1\nAutoClose=0x1\nIsFirst=0\n",
         "de.lng",
         0,
         1,
         1,
         {},
         {}},
        {"not a number gives the default",
         "[filesync]\nSaveLog=yes\nIsFirst=x\n",
         "en-english.lng",
         1,
         0,
         0,
         {},
         {}},
        {"lists",
         "[filesync]\nExcludeFilter=*.tmp,*.bak,\nIncludeFilter=a,,b,\n",
         "en-english.lng",
         1,
         0,
         0,
         {"*.tmp", "*.bak"},
         {"a", "", "b"}},
        {"list without trailing comma, leading empty",
         "[filesync]\nExcludeFilter=a\nIncludeFilter=,a\n",
         "en-english.lng",
         1,
         0,
         0,
         {"a"},
         {"", "a"}},
        {"curlang leading out", "[filesync]\ncurlang=../evil.lng\n", "en-english.lng", 1, 0, 0, {}, {}},
        {"curlang with a folder", "[filesync]\ncurlang=a/b.lng\n", "en-english.lng", 1, 0, 0, {}, {}},
        {"curlang empty", "[filesync]\ncurlang=\n", "en-english.lng", 1, 0, 0, {}, {}},
    };
    for (const auto& c : cases) {
        WriteProgramFile("Tessmarin.ini", c.Text);
        TSysConfig config;
        EXPECT_EQ(config.Load("Tessmarin.ini"), 0) << c.Name;
        EXPECT_EQ(config.curlang, c.curlang) << c.Name;
        EXPECT_EQ(config.IsFirst, c.IsFirst) << c.Name;
        EXPECT_EQ(config.SaveLog, c.SaveLog) << c.Name;
        EXPECT_EQ(config.AutoClose, c.AutoClose) << c.Name;
        EXPECT_EQ(config.ExcludeFilter, c.Exclude) << c.Name;
        EXPECT_EQ(config.IncludeFilter, c.Include) << c.Name;
    }
}

TEST_F(SysConfigTest, RefusedLanguageNameIsLoggedOnce) {
    WriteProgramFile("Tessmarin.ini", "[filesync]\ncurlang=../evil.lng\n");
    TSysConfig config;
    ASSERT_EQ(config.Load("Tessmarin.ini"), 0);
    std::string log = ErrorLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find("../evil.lng"), std::string::npos) << log;
}

TEST_F(SysConfigTest, SaveWritesItsKeysAndKeepsEveryOtherLine) {
    WriteProgramFile("Tessmarin.ini",
                     "; settings\r\n[filesync]\r\ncurlang=en-english.lng\r\n"
                     "languages=en-english.lng,de.lng\r\nTemplateList=one\r\nIsFirst=1\r\n"
                     "Unknown = keep me \r\nExcludeFilter=*.old,\r\n"
                     "SaveLog=0\r\n\r\n[other]\r\nx=1\r\n");
    TSysConfig config;
    ASSERT_EQ(config.Load("Tessmarin.ini"), 0);
    config.IsFirst = 0;
    config.TemplateList = "changed";
    config.languages = "changed";
    config.SaveLog = 1;
    config.ExcludeFilter = {"*.tmp", "*.bak"};
    config.CompareFile = "cmp";
    EXPECT_EQ(config.Save(), 0);
    EXPECT_EQ(Settings(),
              "; settings\r\n[filesync]\r\ncurlang=en-english.lng\r\nlanguages=en-english.lng,de.lng\r\n"
              "TemplateList=one\r\nIsFirst=1\r\nUnknown = keep me \r\nExcludeFilter=*.tmp,*.bak,\r\n"
              "SaveLog=1\r\nWindowsStart=0\r\nCheckVersionVeryDay=0\r\nCreateFolder=0\r\nHideTaskToTray=0\r\n"
              "ShowTrayIcon=0\r\nAutoClose=0\r\nCompareFile=cmp\r\nIncludeFilter=\r\n\r\n[other]\r\nx=1\r\n");
}

TEST_F(SysConfigTest, FilterListsSurviveSaveAndLoad) {
    const struct {
        TList Entries;
        std::string Written;
        TList Loaded;
    } cases[] = {
        {{"*.tmp", "*.bak"}, "*.tmp,*.bak,", {"*.tmp", "*.bak"}},
        {{}, "", {}},
        {{"a", "", "b"}, "a,,b,", {"a", "", "b"}},
        {{" lead", "trail "}, "\" lead,trail ,\"", {" lead", "trail "}},
        {{"x\r\ny", "z\n"}, "x,y,z,,", {"x", "y", "z", ""}},
    };
    for (const auto& c : cases) {
        WriteProgramFile("Tessmarin.ini", "[filesync]\n");
        TSysConfig config;
        config.ExcludeFilter = c.Entries;
        ASSERT_EQ(config.Save(), 0);
        const std::string line = "\r\nExcludeFilter=" + c.Written + "\r\n";
        EXPECT_NE(Settings().find(line), std::string::npos) << Settings();
        TSysConfig again;
        ASSERT_EQ(again.Load("Tessmarin.ini"), 0);
        EXPECT_EQ(again.ExcludeFilter, c.Loaded) << c.Written;
    }
}

TEST_F(SysConfigTest, StoredVersionCheckFollowsTheFileNotTheRun) {
    WriteProgramFile("Tessmarin.ini", "[filesync]\nCheckVersionVeryDay=1\n");
    TSysConfig config;
    ASSERT_EQ(config.Load("Tessmarin.ini"), 0);
    EXPECT_EQ(config.StoredCheckVersionVeryDay, 1);
    config.CheckVersionVeryDay = 0;  // a run for a named task
    EXPECT_EQ(config.StoredCheckVersionVeryDay, 1);
    ASSERT_EQ(config.Save(), 0);
    EXPECT_EQ(config.StoredCheckVersionVeryDay, 0);  // what was written
}

TEST_F(SysConfigTest, SaveCreatesAMissingFile) {
    TSysConfig config;
    config.curlang = "en-english.lng";
    config.ShowTrayIcon = 1;
    config.IncludeFilter = {"*.doc"};
    ASSERT_EQ(config.Save(), 0);
    TSysConfig again;
    ASSERT_EQ(again.Load("Tessmarin.ini"), 0);
    EXPECT_EQ(again.ShowTrayIcon, 1);
    EXPECT_EQ(again.IncludeFilter, TList{"*.doc"});
    EXPECT_EQ(again.IsFirst, 1);  // never written, so it keeps its default
}

TEST_F(SysConfigTest, SaveReportsAFailureToWrite) {
    // A folder where the settings file belongs can be neither read nor replaced.
    ASSERT_EQ(::mkdir((m_Folder + "Tessmarin.ini").c_str(), 0755), 0);
    TSysConfig config;
    EXPECT_EQ(config.Save(), 2);
    EXPECT_EQ(config.AddTemplate("one"), 2);
    EXPECT_NE(ErrorLog().find("Can not Find Config File,Exist!"), std::string::npos);
}

TEST_F(SysConfigTest, SaveIntoReadOnlyFolderFailsAndKeepsTheFile) {
    const std::string before = "[filesync]\r\nSaveLog=0\r\n";
    WriteProgramFile("Tessmarin.ini", before);
    ASSERT_EQ(::chmod(m_Root.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(m_Folder.c_str(), 0555), 0);
    TSysConfig config;
    config.SaveLog = 1;
    int saved = 0, added = 0;
    // As root (CI) the folder's rights bind only an unprivileged identity.
    test::RunUnprivileged([&] {
        saved = config.Save();
        added = config.AddTemplate("one");
    });
    EXPECT_NE(saved, 0);
    EXPECT_NE(added, 0);
    EXPECT_EQ(Settings(), before);
}

TEST_F(SysConfigTest, AddTemplateWritesOnlyTheList) {
    const struct {
        const char* Before;
        const char* Name;
        int Result;
        const char* After;
    } cases[] = {
        {"[filesync]\r\nTemplateList=\r\nSaveLog=1\r\n", "one", 0,
         "[filesync]\r\nTemplateList=one\r\nSaveLog=1\r\n"},
        {"[filesync]\r\nTemplateList=one\r\nSaveLog=1\r\n", "two", 0,
         "[filesync]\r\nTemplateList=one,two\r\nSaveLog=1\r\n"},
        {"[filesync]\r\nSaveLog=1\r\n", "one", 0, "[filesync]\r\nSaveLog=1\r\nTemplateList=one\r\n"},
        {"[filesync]\r\nTemplateList=one\r\n", "a,b", 3, "[filesync]\r\nTemplateList=one\r\n"},
        {"[filesync]\r\nTemplateList=one\r\n", "", 3, "[filesync]\r\nTemplateList=one\r\n"},
        {"[filesync]\r\nTemplateList=one\r\n", "a\nb", 3, "[filesync]\r\nTemplateList=one\r\n"},
    };
    for (const auto& c : cases) {
        WriteProgramFile("Tessmarin.ini", c.Before);
        TSysConfig config;
        ASSERT_EQ(config.Load("Tessmarin.ini"), 0);
        config.SaveLog = 0;  // not written by AddTemplate
        EXPECT_EQ(config.AddTemplate(c.Name), c.Result) << c.Name;
        EXPECT_EQ(Settings(), c.After) << c.Name;
    }
}

TEST_F(SysConfigTest, AddTemplateCreatesAMissingFile) {
    TSysConfig config;
    EXPECT_EQ(config.AddTemplate("one"), 0);
    EXPECT_EQ(config.TemplateList, "one");
    EXPECT_EQ(Settings(), "[filesync]\r\nTemplateList=one\r\n");
}

TEST_F(SysConfigTest, OpenLanguageOnlyInsideTheProgramFolder) {
    WriteProgramFile("en-english.lng", "[title]\nok=Fine\n");
    ASSERT_EQ(WriteFileAtomic(m_Root + "/evil.lng", "[title]\nok=Evil\n"), 0);
    ASSERT_EQ(::mkdir((m_Folder + "a").c_str(), 0755), 0);
    WriteProgramFile("a/b.lng", "[title]\nok=Sub\n");
    const struct {
        const char* Name;
        int Result;
    } cases[] = {
        {"../evil.lng", 1}, {"a/b.lng", 1}, {"", 1}, {"missing.lng", 1}, {"a", 1}, {"en-english.lng", 0},
    };
    TSysConfig config;
    for (const auto& c : cases) EXPECT_EQ(config.OpenLanguage(c.Name), c.Result) << c.Name;
    EXPECT_EQ(config.GetText("ok"), "Fine");
    // A failed open keeps the language file that is open.
    EXPECT_EQ(config.OpenLanguage("../evil.lng"), 1);
    EXPECT_EQ(config.GetText("ok"), "Fine");
}

TEST_F(SysConfigTest, GetText) {
    TSysConfig config;
    EXPECT_EQ(config.GetText("ok"), "");  // no language file open
    WriteProgramFile("x.lng", "[TITLE]\nOk=Fine\nempty=\n[other]\nmissing=no\n");
    ASSERT_EQ(config.OpenLanguage("x.lng"), 0);
    const struct {
        const char* Key;
        const char* Text;
    } cases[] = {{"ok", "Fine"}, {"OK", "Fine"}, {"empty", ""}, {"missing", ""}};
    for (const auto& c : cases) EXPECT_EQ(config.GetText(c.Key), c.Text) << c.Key;
}

// The defaults shipped inside the program load as the default settings and carry the texts in use.
TEST_F(SysConfigTest, ShippedDefaults) {
    const auto resources = std::filesystem::path(__FILE__).parent_path() / "../../app/resources";
    for (const char* name : {"Tessmarin.ini", "en-english.lng"}) {
        std::string data;
        ASSERT_EQ(ReadWholeFile((resources / name).string(), data), 0) << name;
        WriteProgramFile(name, data);
    }
    TSysConfig config;
    ASSERT_EQ(config.Load("Tessmarin.ini"), 0);
    EXPECT_EQ(config.curlang, "en-english.lng");
    EXPECT_EQ(config.languages, "en-english.lng");
    EXPECT_EQ(config.IsFirst, 1);
    EXPECT_EQ(config.ShowTrayIcon + config.HideTaskToTray + config.WindowsStart + config.CheckVersionVeryDay +
                  config.CreateFolder + config.SaveLog + config.AutoClose,
              0);
    EXPECT_TRUE(config.ExcludeFilter.empty() && config.IncludeFilter.empty());
    EXPECT_EQ(config.TemplateList, "");
    ASSERT_EQ(config.OpenLanguage(config.curlang), 0);
    for (const char* key : {"error_free_tasklist_xml", "createsyncjoberror", "SocketError"})
        EXPECT_NE(config.GetText(key), "") << key;
}

}  // namespace
}  // namespace bfs
