#include "common/TempFolder.h"
#include "model/UTIniFile.h"
#include "platform/UTAtomicFile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace bfs {
namespace {

TIniFile FromText(std::string_view Text) {
    TIniFile ini;
    ini.SetText(Text);
    return ini;
}

struct TReadCase {
    const char* Name;
    std::string Text;
    const char* Section;
    const char* Key;
    std::string Expected;  // "<default>" when the default is expected
};

TEST(IniFileTest, ReadStringFollowsProfileRules) {
    const TReadCase cases[] = {
        {"names ignore case", "[FileSync]\nCurLang=x\n", "filesync", "CURLANG", "x"},
        {"first duplicate wins", "[s]\nk=1\nk=2\n", "s", "k", "1"},
        {"repeated section is one", "[s]\na=1\n[t]\nb=9\n[S]\nb=2\n", "s", "b", "2"},
        {"first section's key wins", "[s]\nk=1\n[S]\nk=2\n", "s", "k", "1"},
        {"names and value trimmed", "[ s ]\n  k  =  v w \t\n", "s", "k", "v w"},
        {"white space trimmed, other controls kept", "[s]\nk=\v\x01v\x1F\f\n", "s", "k", "\x01v\x1F"},
        {"double quotes stripped", "[s]\nk=\"  v  \"\n", "s", "k", "  v  "},
        {"single quotes stripped", "[s]\nk='v'\n", "s", "k", "v"},
        {"one pair only", "[s]\nk=\"\"v\"\"\n", "s", "k", "\"v\""},
        {"unmatched quotes kept", "[s]\nk=\"v'\n", "s", "k", "\"v'"},
        {"lone quote kept", "[s]\nk=\"\n", "s", "k", "\""},
        {"semicolon comment", "[s]\n;k=1\n", "s", "k", "<default>"},
        {"hash comment", "[s]\n  #k=1\n", "s", "k", "<default>"},
        {"keys before any section ignored", "k=1\n[s]\n", "s", "k", "<default>"},
        {"inline semicolon is value", "[s]\nk=a ; b\n", "s", "k", "a ; b"},
        {"value may hold =", "[s]\nk=a=b\n", "s", "k", "a=b"},
        {"empty value is not default", "[s]\nk=\n", "s", "k", ""},
        {"key of another section", "[s]\n[t]\nk=1\n", "s", "k", "<default>"},
        {"CR LF endings", "[s]\r\nk=v\r\nj=w", "s", "k", "v"},
        {"byte-order mark skipped", "\xEF\xBB\xBF[s]\nk=v\n", "s", "k", "v"},
        {"UTF-8 untouched",
         "[s]\nk=\xC3\x9C"
         "ber \xE2\x82\xAC\n",
         "s", "k",
         "\xC3\x9C"
         "ber \xE2\x82\xAC"},
        {"header without ] is no section", "[s]\n[t\nk=1\n", "s", "k", "1"},
        {"line without = ignored", "[s]\nnonsense\nk=1\n", "s", "k", "1"},
    };
    for (const auto& c : cases) {
        TIniFile ini = FromText(c.Text);
        EXPECT_EQ(ini.ReadString(c.Section, c.Key, "<default>"), c.Expected) << c.Name;
    }
}

TEST(IniFileTest, ReadIntegerTakesDecimalAndHex) {
    const struct {
        const char* Value;
        int32_t Expected;
    } cases[] = {
        {"12", 12},
        {"-7", -7},
        {"+3", 3},
        {"0x1F", 31},
        {"0XfF", 255},
        {"0xFFFFFFFF", -1},
        {" 42 ", 42},
        {"\"5\"", 5},
        {"-2147483648", INT32_MIN},
        {"2147483647", INT32_MAX},
        {"12abc", 99},
        {"", 99},
        {"abc", 99},
        {"2147483648", 99},
        {"0x", 99},
        {"1.5", 99},
        {"0x100000000", 99},
        {"+-1", 99},
        {"- 1", 99},
    };
    for (const auto& c : cases) {
        TIniFile ini = FromText(std::string("[s]\nk=") + c.Value + "\n");
        EXPECT_EQ(ini.ReadInteger("s", "k", 99), c.Expected) << c.Value;
    }
    EXPECT_EQ(FromText("[s]\n").ReadInteger("s", "k", 99), 99);
}

struct TWrite {
    const char* Section;
    const char* Key;
    const char* Value;
};

TEST(IniFileTest, WriteChangesOnlyWhatItMust) {
    const struct {
        const char* Name;
        std::string Before;
        std::vector<TWrite> Writes;
        std::string After;
    } cases[] = {
        {"update keeps position and spacing",
         "[s]\r\na=1\r\nb = 2\r\nc=3\r\n",
         {{"S", "B", "20"}},
         "[s]\r\na=1\r\nb = 20\r\nc=3\r\n"},
        {"only the first duplicate changes",
         "[s]\r\nk=1\r\nk=2\r\n",
         {{"s", "k", "x"}},
         "[s]\r\nk=x\r\nk=2\r\n"},
        {"new key after the section's last entry",
         "[s]\r\na=1\r\n\r\n; about t\r\n[t]\r\nx=1\r\n",
         {{"s", "b", "2"}},
         "[s]\r\na=1\r\nb=2\r\n\r\n; about t\r\n[t]\r\nx=1\r\n"},
        {"new key in an empty section", "[s]\r\n[t]\r\n", {{"s", "k", "v"}}, "[s]\r\nk=v\r\n[t]\r\n"},
        {"new key in the first of repeated sections",
         "[s]\r\na=1\r\n[S]\r\nb=1\r\n",
         {{"s", "c", "1"}},
         "[s]\r\na=1\r\nc=1\r\n[S]\r\nb=1\r\n"},
        {"new section at the end",
         "; top\r\n[s]\r\na=1",
         {{"n", "k", "v"}, {"n", "j", "w"}},
         "; top\r\n[s]\r\na=1\r\n[n]\r\nk=v\r\nj=w\r\n"},
        {"empty file", "", {{"s", "k", "v"}}, "[s]\r\nk=v\r\n"},
        {"LF file: other lines kept byte for byte, written CR LF",
         "# c\n[s]\nunknown = keep  \n\t; note \nk=1\n",
         {{"s", "k", "2"}},
         "# c\r\n[s]\r\nunknown = keep  \r\n\t; note \r\nk=2\r\n"},
        {"byte-order mark kept", "\xEF\xBB\xBF[s]\nk=1\n", {{"s", "k", "2"}}, "\xEF\xBB\xBF[s]\r\nk=2\r\n"},
        {"values that reading would alter are quoted",
         "[s]\r\n",
         {{"s", "a", " x "}, {"s", "b", "\"q\""}, {"s", "c", "'"}, {"s", "d", ""}},
         "[s]\r\na=\" x \"\r\nb=\"\"q\"\"\r\nc='\r\nd=\r\n"},
    };
    for (const auto& c : cases) {
        TIniFile ini = FromText(c.Before);
        for (const TWrite& w : c.Writes) EXPECT_EQ(ini.WriteString(w.Section, w.Key, w.Value), 0) << c.Name;
        EXPECT_EQ(ini.GetText(), c.After) << c.Name;
    }
}

TEST(IniFileTest, WrittenValuesReadBack) {
    const char* values[] = {"",   "plain", " lead", "trail\t",  "\"quoted\"",  "'single'",
                            "\"", "a;b",   "a=b",   "\"mixed'", "\xE2\x82\xAC"};
    for (const char* v : values) {
        TIniFile ini;
        ASSERT_EQ(ini.WriteString("s", "k", v), 0) << v;
        EXPECT_EQ(FromText(ini.GetText()).ReadString("s", "k", "<default>"), v) << v;
    }
    TIniFile ini;
    EXPECT_EQ(ini.WriteInteger("s", "n", -12), 0);
    EXPECT_EQ(ini.ReadInteger("s", "n", 0), -12);
}

TEST(IniFileTest, WriteRefusesWhatOneLineCannotHold) {
    const TWrite cases[] = {
        {"s", "", "v"},   {"s", "a=b", "v"},  {"s", "a\nb", "v"}, {"s", " a", "v"},  {"s", "a ", "v"},
        {"s", ";a", "v"}, {"s", "#a", "v"},   {"s", "[a", "v"},   {"a]b", "k", "v"}, {"a\nb", "k", "v"},
        {" s", "k", "v"}, {"s", "k", "a\nb"}, {"s", "k", "a\rb"},
    };
    const std::string before = "[s]\r\nk=1\r\n";
    for (const TWrite& w : cases) {
        TIniFile ini = FromText(before);
        EXPECT_EQ(ini.WriteString(w.Section, w.Key, w.Value), EINVAL) << w.Section << "/" << w.Key;
        EXPECT_EQ(ini.GetText(), before);
    }
}

TEST(IniFileTest, SectionAndValueExist) {
    TIniFile ini = FromText("[Alpha]\nk=\n;c=1\n[Beta]\n");
    EXPECT_TRUE(ini.SectionExists("alpha"));
    EXPECT_TRUE(ini.SectionExists("BETA"));
    EXPECT_FALSE(ini.SectionExists("gamma"));
    EXPECT_TRUE(ini.ValueExists("ALPHA", "K"));
    EXPECT_FALSE(ini.ValueExists("alpha", "c"));
    EXPECT_FALSE(ini.ValueExists("beta", "k"));
}

class IniFileDiskTest : public ::testing::Test {
  protected:
    test::TTempFolder m_Temp{"bfs-ini"};
    const std::string m_Folder = m_Temp.Path;
};

TEST_F(IniFileDiskTest, MissingFileIsEmptyAndReported) {
    TIniFile ini;
    EXPECT_EQ(ini.Load(m_Folder + "/none.ini"), ENOENT);
    EXPECT_EQ(ini.GetText(), "");
    EXPECT_EQ(ini.ReadString("s", "k", "d"), "d");
    // Saving creates it.
    ASSERT_EQ(ini.WriteString("s", "k", "v"), 0);
    ASSERT_EQ(ini.Save(), 0);
    std::string data;
    ASSERT_EQ(ReadWholeFile(m_Folder + "/none.ini", data), 0);
    EXPECT_EQ(data, "[s]\r\nk=v\r\n");
}

TEST_F(IniFileDiskTest, SaveReplacesTheFileAndKeepsTheRest) {
    const std::string path = m_Folder + "/a.ini";
    ASSERT_EQ(WriteFileAtomic(path, "; keep\n[s]\nk=1\nother=\"x\"\n"), 0);
    TIniFile ini(path);
    EXPECT_EQ(ini.FileName(), path);
    ASSERT_EQ(ini.WriteString("s", "k", "2"), 0);
    ASSERT_EQ(ini.Save(), 0);
    std::string data;
    ASSERT_EQ(ReadWholeFile(path, data), 0);
    EXPECT_EQ(data, "; keep\r\n[s]\r\nk=2\r\nother=\"x\"\r\n");
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_Folder), {}), 1);
}

}  // namespace
}  // namespace bfs
