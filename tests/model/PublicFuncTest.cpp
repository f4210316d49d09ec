#include "common/TempFolder.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTSystem.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>

namespace bfs {
namespace {

TEST(PublicFuncTest, JoinPath) {
    struct TCase {
        const char *A, *B;
        char Sep;
        const char* Joined;
    };
    const TCase cases[] = {
        {"dir/", "file", '/', "dir/file"},
        {"dir", "file", '/', "dir/file"},
        {"dir/", "/file", '/', "dir/file"},
        {"", "file", '/', "/file"},
        {"dir", "", '/', "dir/"},
        {"", "", '/', "/"},
        {"C:\\data\\", "sub/file.txt", '\\', "C:\\data\\sub\\file.txt"},
        {"a\\b", "c", '/', "a/b/c"},
        {"ftp://host/data", "/sub/", '/', "ftp://host/data/sub/"},
        {"dir//", "file", '/', "dir//file"},  // only one separator comes off A
    };
    for (const auto& c : cases) EXPECT_EQ(JoinPath(c.A, c.B, c.Sep), c.Joined) << c.A << " + " << c.B;
}

TEST(PublicFuncTest, ExtractParentAndName) {
    struct TCase {
        const char* Path;
        const char *Parent, *Name;
    };
    const TCase cases[] = {
        {"/dir/file", "/dir", "file"},
        {"/file", "", "file"},
        {"/dir/sub/", "/dir/sub", ""},
        {"file", "", "file"},
        {"", "", ""},
        {"/", "", ""},
        // Multi-byte names: the parent keeps every character, the cut never splits one.
        {"/daten/bücher/straße.txt", "/daten/bücher", "straße.txt"},
        {"/資料/文件.txt", "/資料", "文件.txt"},
        {"/名/\xF0\x9F\x93\x81", "/名", "\xF0\x9F\x93\x81"},
        // Blanks at either end are part of the names.
        {" /a b / c ", " /a b ", " c "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExtractParentBySep(c.Path, '/'), c.Parent) << c.Path;
        EXPECT_EQ(ExtractNameBySep(c.Path, '/'), c.Name) << c.Path;
    }
    EXPECT_EQ(ExtractParentBySep("\\a\\b", '\\'), "\\a");
    EXPECT_EQ(ExtractNameBySep("\\a\\b", '\\'), "b");
}

TEST(PublicFuncTest, StripTrailingSlash) {
    const std::pair<const char*, const char*> cases[] = {
        {"a/", "a"},     {"a\\", "a"}, {"a\\/", "a"},    {"a/\\", "a/"},
        {"a", "a"},      {"", ""},     {"/", "/"},       {"/home/u/", "/home/u"},
        {"a// ", "a/"},  {"a/ ", "a"}, {"dir ", "dir "}, {"\\\\host\\share\\", "\\\\host\\share"},
        {" /x/", " /x"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(StripTrailingSlash(in), out) << '"' << in << '"';
}

TEST(PublicFuncTest, NameChecks) {
    for (const char* bad : {"a\\b", "a/b", "c:", "*.txt", "what?", "a>b", "a<b", "a|b"})
        EXPECT_FALSE(IsValidFileName(bad)) << bad;
    for (const char* good : {"a\"b", "report 2010.txt", "", "ü"}) EXPECT_TRUE(IsValidFileName(good)) << good;

    using namespace std::string_view_literals;
    for (auto bad : {""sv, "."sv, ".."sv, "a/b"sv, "/"sv, "a\0b"sv}) EXPECT_FALSE(IsSafeName(bad));
    for (auto good : {"a"sv, "..."sv, ".hidden"sv, "a\\b"sv, "c:"sv, " "sv}) EXPECT_TRUE(IsSafeName(good));

    for (auto good : {"/"sv, "/docs/"sv, "docs/a"sv, "/a/b"sv, "a"sv, "/..."sv})
        EXPECT_TRUE(IsSafeRelPath(good)) << good;
    for (auto bad : {""sv, "//"sv, "/a//b/"sv, "/../x"sv, "a/./b"sv, "/a/.."sv, "/a\0/"sv})
        EXPECT_FALSE(IsSafeRelPath(bad)) << bad;
}

TEST(PublicFuncTest, SortStringsMovesObjectsWithTheirStrings) {
    int b = 1, upperC = 2, a = 3;
    TStringList<int*> list{{"b", &b}, {"C", &upperC}, {"a", &a}};
    SortStrings(list);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].Str, "a");
    EXPECT_EQ(list[0].Object, &a);
    EXPECT_EQ(list[1].Str, "b");
    EXPECT_EQ(list[1].Object, &b);
    EXPECT_EQ(list[2].Str, "C");
    EXPECT_EQ(list[2].Object, &upperC);

    // The listing order, not a locale: case-folded first, exact bytes as tie-break.
    TStringList<> names{{"b.txt"}, {"B.txt"}, {"a.txt"}, {"Ä.txt"}, {"ä.txt"}};
    SortStrings(names);
    for (size_t i = 1; i < names.size(); ++i) EXPECT_LT(CompareNames(names[i - 1].Str, names[i].Str), 0);
}

TEST(PublicFuncTest, SplitAndCountSeparated) {
    struct TCase {
        char Sep;
        const char* Text;
        std::vector<std::string> Parts;
    };
    const TCase cases[] = {
        {',', "a,b", {"a", "b"}},
        {',', "a,", {"a"}},
        {',', ",a", {"", "a"}},
        {',', "a,,b", {"a", "", "b"}},
        {',', "", {}},
        {',', ",", {""}},
        {',', "a\r\nb\nc\rd", {"a", "b", "c", "d"}},
        {',', "a,\nb", {"a", "b"}},  // the separator stands for CR, so ",LF" is one break
        {'\\', "", {}},
        {'\\', "x", {"x"}},
        {' ', "one  two", {"one", "", "two"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SplitSeparated(c.Sep, c.Text), c.Parts) << c.Text;
        EXPECT_EQ(CountSeparated(c.Sep, c.Text), static_cast<int>(c.Parts.size())) << c.Text;
    }
}

TEST(PublicFuncTest, TrimAndIndexOfTrimmed) {
    // Trim cuts every control character, TrimWhiteSpace (the ini rule) only white space.
    const struct {
        const char* Text;
        const char* Trimmed;
        const char* WhiteSpaceTrimmed;
    } cases[] = {
        {"\t a b \r\n", "a b", "a b"},
        {" \x01 ", "", "\x01"},
        {"\v\f\x1Fx\x7F\x1B", "x\x7F", "\x1Fx\x7F\x1B"},
        {" ü ", "ü", "ü"},  // bytes of multi-byte characters are never trimmed
        {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Trim(c.Text), c.Trimmed) << c.Text;
        EXPECT_EQ(TrimWhiteSpace(c.Text), c.WhiteSpaceTrimmed) << c.Text;
    }

    TStringList<> list{{" x "}, {"Y"}, {"y"}, {"x"}};
    EXPECT_EQ(IndexOfTrimmed("x", list), 0);
    EXPECT_EQ(IndexOfTrimmed("\ty", list), 2);
    EXPECT_EQ(IndexOfTrimmed("z", list), -1);
    EXPECT_EQ(IndexOfTrimmed("x", TStringList<>{}), -1);
}

TEST(PublicFuncTest, LogTimeStampIsLocalTimeInOneFixedForm) {
    {
        test::TScopedEnv zone("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
        ::tzset();
        EXPECT_EQ(LogTimeStamp(0), "1970-01-01 01:00:00");
        EXPECT_EQ(LogTimeStamp(1690000000), "2023-07-22 06:26:40");  // summer time
        EXPECT_EQ(LogTimeStamp(1700000000), "2023-11-14 23:13:20");
    }
    ::tzset();
}

TEST(PublicFuncTest, SmallConversions) {
    EXPECT_EQ(AnsiCharCount("abc"), 3);
    EXPECT_EQ(AnsiCharCount("密码"), 2);
    EXPECT_EQ(AnsiCharCount("\xF0\x9F\x93\x81"), 2);  // outside the basic plane: two UTF-16 units
    EXPECT_EQ(AnsiCharCount("a\xFF"), 0);
    EXPECT_TRUE(IntToBool(1));
    EXPECT_FALSE(IntToBool(2));  // only 1 is on
}

TEST(PublicFuncTest, WrapText) {
    struct TCase {
        const char* Text;
        int Width;
        const char* Wrapped;
    };
    const TCase cases[] = {
        {"short text", 20, "short text"},  // unchanged, no trailing blank
        {"exactly10!", 10, "exactly10!"},
        {"aaa bbb ccc", 5, "aaa bbb \rccc "},
        {"one two three four", 9, "one two three \rfour "},
        {"aa bb\ncc", 4, "aa bb \rcc "},
        {"longword x", 4, "longword \rx "},
        {"ab cdefgh", 4, "ab cdefgh \r"},  // the last word overran: ends with CR
        {"äöü äöü", 4, "äöü äöü \r"},      // characters, not bytes
    };
    for (const auto& c : cases) EXPECT_EQ(WrapText(c.Text, c.Width), c.Wrapped) << c.Text;
}

TEST(PublicFuncTest, ParseMDYDateTime) {
    auto fields = [](std::optional<int64_t> t) {
        std::tm tm{};
        std::time_t tt = static_cast<std::time_t>(*t);
        ::localtime_r(&tt, &tm);
        return std::vector<int>{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                                tm.tm_hour,        tm.tm_min,     tm.tm_sec};
    };
    auto t = ParseMDYDateTime("03-05-2010 14:07");
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(fields(t), (std::vector<int>{2010, 3, 5, 14, 7, 0}));
    t = ParseMDYDateTime("02/29/2012 00:00");  // the characters between the fields are not checked
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(fields(t), (std::vector<int>{2012, 2, 29, 0, 0, 0}));
    t = ParseMDYDateTime("12·31·2099·23·59");  // a multi-byte separator is one position
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(fields(t), (std::vector<int>{2099, 12, 31, 23, 59, 0}));

    for (const char* bad : {"", "03-05-2010 14:0", "  -  -       :  ", "13-01-2010 10:00", "00-01-2010 10:00",
                            "02-29-2011 10:00", "04-31-2010 10:00", "01-01-2010 24:00", "01-01-2010 10:60",
                            "1a-01-2010 10:00", "+1-01-2010 10:00", "01-01-0000 10:00"})
        EXPECT_FALSE(ParseMDYDateTime(bad).has_value()) << bad;
}

// The number of lines in the error log of the test's program folder.
size_t LogLineCount() {
    std::string text;
    if (ReadWholeFile(TMyException::LogFileName(), text) != 0) return 0;
    size_t n = 0;
    for (size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", p + 2)) ++n;
    return n;
}

// Points the XDG folders at a fresh temporary folder.
class PublicFuncFolderTest : public ::testing::Test {
  protected:
    test::TTempFolder m_Temp{"bfs-public"};
    const std::string m_Root = m_Temp.Path;
    test::TScopedEnv m_Config{"XDG_CONFIG_HOME", m_Root}, m_Data{"XDG_DATA_HOME", m_Root},
        m_Cache{"XDG_CACHE_HOME", m_Root};
};

TEST_F(PublicFuncFolderTest, ScrambleForms) {
    struct TCase {
        std::string Plain;
        size_t FormChars;
        const char* LengthField;
    };
    const TCase cases[] = {
        {"", 40, "00"},
        {"a", 40, "01"},
        {"secret", 40, "06"},
        {"&<>\"'", 40, "05"},
        {"pässwörd", 40, "08"},
        {"密码", 40, "02"},
        {std::string(14, 'x'), 40, "14"},
        {std::string(15, 'x'), 42, "15"},
        {std::string(99, 'y'), 12 + 2 * 99, "99"},
        {std::string(100, 'z'), 10 + 5 + 2 * 100, "#100#"},
        {std::string(1234, 'q'), 10 + 6 + 2 * 1234, "#1234#"},
        {std::string(120, 'a') + "ü", 10 + 5 + 2 * 121, "#121#"},
    };
    for (const auto& c : cases) {
        for (int round = 0; round < 20; ++round) {
            std::string form = ScramblePassword(c.Plain);
            EXPECT_EQ(static_cast<size_t>(AnsiCharCount(form)), c.FormChars) << c.Plain;
            if (c.Plain.find('<') == std::string::npos) {
                EXPECT_EQ(form.find('<'), std::string::npos) << form;
            }
            EXPECT_EQ(form.compare(10, std::strlen(c.LengthField), c.LengthField), 0) << form;
            EXPECT_EQ(UnscramblePassword(form), c.Plain);
        }
    }
    // Filler is printable ASCII without blanks, so a stored form survives trimming.
    std::string form = ScramblePassword("");
    for (char ch : form) EXPECT_TRUE(ch >= 33 && ch <= 126 && ch != '<') << int(ch);
    EXPECT_EQ(LogLineCount(), 0u);
}

TEST_F(PublicFuncFolderTest, MalformedScrambledFormsGiveNothingAndLog) {
    std::string filler = "!!!!!!!!!!";
    const std::string cases[] = {
        "",
        "short",
        filler + "0",  // length field cut off
        filler + "ab" + std::string(28, '='),
        filler + " 1x=" + std::string(26, '='),
        filler + "-1" + std::string(28, '='),
        filler + "05a=b=c=d=",  // five wanted, four there
        filler + "99" + std::string(28, '='),
        filler + "#100#" + std::string(100, 'x'),
        filler + "#" + std::string(30, '9'),   // digits never end
        filler + "##" + std::string(30, 'x'),  // no digits
        filler + "#12",                        // mark never closed
        filler + "#9999999999#xx",             // absurd length
    };
    size_t logged = 0;
    for (const auto& form : cases) {
        EXPECT_EQ(UnscramblePassword(form), "") << form;
        EXPECT_EQ(LogLineCount(), ++logged) << form;
    }
    std::string text;
    ASSERT_EQ(ReadWholeFile(TMyException::LogFileName(), text), 0);
    EXPECT_NE(text.find("msg:Bad password text EConvertError:"), std::string::npos);
    // A length that reaches exactly the last character is whole (the trailing filler may be missing).
    EXPECT_EQ(UnscramblePassword(filler + "03a=b=c"), "abc");
}

TEST_F(PublicFuncFolderTest, RunAtStartupWritesAndRemovesTheAutostartEntry) {
    std::string entry = m_Root + "/autostart/bramlow-file-sync.desktop";
    EXPECT_EQ(SetRunAtStartup("Bramlow File Sync", "Bramlow File Sync"), 0);
    std::string text;
    ASSERT_EQ(ReadWholeFile(entry, text), 0);
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
    EXPECT_NE(text.find("\nName=Bramlow File Sync\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=" + QuoteDesktopExecArg(GetExecutablePath()) + "\n"), std::string::npos);
    EXPECT_EQ(GetRunAtStartupFile(), entry);
    EXPECT_EQ(GetRunAtStartup("Bramlow File Sync"), 1);
    EXPECT_EQ(GetRunAtStartup("Other"), -1);  // an entry, but not the one asked about
    ASSERT_EQ(WriteFileAtomic(entry, text + "X-Extra=1\n"), 0);
    EXPECT_EQ(GetRunAtStartup("Bramlow File Sync"), -1);

    EXPECT_EQ(SetRunAtStartup("Bramlow File Sync", " \t"), 0);  // a blank flag switches it off
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_EQ(GetRunAtStartup("Bramlow File Sync"), 0);
    EXPECT_EQ(SetRunAtStartup("Bramlow File Sync", ""), 0);  // already off: no failure
    EXPECT_EQ(LogLineCount(), 0u);

    // A file where the autostart folder should be: the failure is logged with the fixed context.
    std::filesystem::remove_all(m_Root + "/autostart");
    ASSERT_EQ(WriteFileAtomic(m_Root + "/autostart", "x"), 0);
    EXPECT_EQ(SetRunAtStartup("Bramlow File Sync", "on"), 0);
    EXPECT_EQ(GetRunAtStartup("Bramlow File Sync"), 0);  // it did not take
    ASSERT_EQ(LogLineCount(), 1u);
    ASSERT_EQ(ReadWholeFile(TMyException::LogFileName(), text), 0);
    EXPECT_NE(
        text.find(" msg:Error Registry,If You run on vista,then please run as administrator. EInOutError:"),
        std::string::npos)
        << text;
}

TEST_F(PublicFuncFolderTest, ShutdownRunsTheReplaceableCommand) {
    std::string marker = m_Root + "/powered off";
    SetShutdownCommand({"touch", marker});
    EXPECT_EQ(ShutdownComputer(), 1);
    EXPECT_TRUE(FileExists(marker));
    SetShutdownCommand({"false"});
    EXPECT_EQ(ShutdownComputer(), 0);
    SetShutdownCommand({m_Root + "/no such program"});
    EXPECT_EQ(ShutdownComputer(), 0);
    SetShutdownCommand({"true"});
}

TEST_F(PublicFuncFolderTest, SystemNamesAndFolders) {
    EXPECT_FALSE(GetCurrentUserName().empty());
    EXPECT_FALSE(GetLocalComputerName().empty());
    EXPECT_EQ(GetStagingFolder(), m_Root + "/bramlow-file-sync/staging/");
    EXPECT_EQ(GetAppDataFolder(), m_Root + "/bramlow-file-sync/");
}

}  // namespace
}  // namespace bfs
