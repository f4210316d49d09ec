#include "common/TempFolder.h"
#include "model/UTIniFile.h"
#include "model/UTRegistry.h"
#include "platform/UTAtomicFile.h"

#include <gtest/gtest.h>

#include <string>

namespace bfs {
namespace {

struct TRegistryCase {
    const char* What;
    std::string Stored;    // the file before the read (empty: no file)
    TMyRegistryInfo Read;  // what the read gives
    std::string After;     // the key's values afterwards, as "name=value;" in the table's order
};

std::string ValuesOf(const std::string& FileName) {
    const TIniFile ini(FileName);
    std::string out;
    for (const char* name : {"CheckUpdate", "HelpURL", "HomePage", "len_up", "len_down", "ScanValue1",
                             "ScanValue2", "ScanValue3", "ScanValue4", "ScanValue5", "UserScanValue"})
        out += std::string(name) + "=" + ini.ReadString(REGISTRY_KEY, name, "?") + ";";
    return out;
}

TMyRegistryInfo Defaults() {
    TMyRegistryInfo info;
    info.HelpURL = "https://www.bramlow-file-sync.example/help/";
    info.HomePage = "https://www.bramlow-file-sync.example/";
    return info;
}

bool SameInfo(const TMyRegistryInfo& A, const TMyRegistryInfo& B) {
    return A.CheckUpdate == B.CheckUpdate && A.HelpURL == B.HelpURL && A.HomePage == B.HomePage &&
           A.len_up == B.len_up && A.len_down == B.len_down && A.ScanValue1 == B.ScanValue1 &&
           A.ScanValue2 == B.ScanValue2 && A.ScanValue3 == B.ScanValue3 && A.ScanValue4 == B.ScanValue4 &&
           A.ScanValue5 == B.ScanValue5 && A.UserScanValue == B.UserScanValue;
}

const std::string DEFAULT_VALUES =
    "CheckUpdate=0;HelpURL=https://www.bramlow-file-sync.example/help/;HomePage=https://"
    "www.bramlow-file-sync.example/;"
    "len_up=1;len_down=6;ScanValue1=0;ScanValue2=0;ScanValue3=0;ScanValue4=0;ScanValue5=1;UserScanValue=0;";

TEST(Registry, ValuesAreReadOrTakeTheirDefaultsWhichAreWrittenBack) {
    TMyRegistryInfo user = Defaults();
    user.CheckUpdate = true;
    user.HelpURL = "http://intranet/help";
    user.len_up = 3;
    user.ScanValue5 = false;
    TMyRegistryInfo odd = Defaults();
    odd.len_down = -1;
    odd.ScanValue2 = true;
    const TRegistryCase cases[] = {
        {"first start", "", Defaults(), DEFAULT_VALUES},
        {"values the user set are kept",
         "[Software\\Bramlow File "
         "Sync]\r\nCheckUpdate=1\r\nHelpURL=http://intranet/help\r\nlen_up=3\r\nScanValue5=0\r\n",
         user,
         "CheckUpdate=1;HelpURL=http://intranet/help;HomePage=https://www.bramlow-file-sync.example/"
         ";len_up=3;"
         "len_down=6;ScanValue1=0;ScanValue2=0;ScanValue3=0;ScanValue4=0;ScanValue5=0;UserScanValue=0;"},
        {"text where a number belongs is a missing value",
         "[Software\\Bramlow File Sync]\r\nlen_up=many\r\nCheckUpdate=\r\n", Defaults(), DEFAULT_VALUES},
        {"a DWORD read as signed, any non-zero flag is true",
         "[Software\\Bramlow File Sync]\r\nlen_down=0xFFFFFFFF\r\nScanValue2=7\r\n", odd,
         "CheckUpdate=0;HelpURL=https://www.bramlow-file-sync.example/help/;HomePage=https://"
         "www.bramlow-file-sync.example/;"
         "len_up=1;len_down=0xFFFFFFFF;ScanValue1=0;ScanValue2=7;ScanValue3=0;ScanValue4=0;ScanValue5=1;"
         "UserScanValue=0;"},
    };
    for (const TRegistryCase& c : cases) {
        SCOPED_TRACE(c.What);
        test::TTempFolder folder("bfs-registry");
        const std::string file = folder.Path + "/registry.ini";
        if (!c.Stored.empty()) {
            ASSERT_EQ(WriteFileAtomic(file, c.Stored), 0);
        }
        TMyRegistryInfo info;
        EXPECT_EQ(ReadRegistryInfo(file, info), 0);
        EXPECT_TRUE(SameInfo(info, c.Read));
        EXPECT_EQ(ValuesOf(file), c.After);
        // A second start reads what the first one left and writes nothing.
        std::string before;
        ASSERT_EQ(ReadWholeFile(file, before), 0);
        TMyRegistryInfo again;
        EXPECT_EQ(ReadRegistryInfo(file, again), 0);
        EXPECT_TRUE(SameInfo(again, c.Read));
        std::string after;
        ASSERT_EQ(ReadWholeFile(file, after), 0);
        EXPECT_EQ(after, before);
    }
}

TEST(Registry, OtherKeysOfTheFileStayAsTheyWere) {
    test::TTempFolder folder("bfs-registry");
    const std::string file = folder.Path + "/registry.ini";
    ASSERT_EQ(WriteFileAtomic(file, "; kept\r\n[Software\\Other]\r\nx=1\r\n"), 0);
    TMyRegistryInfo info;
    EXPECT_EQ(ReadRegistryInfo(file, info), 0);
    std::string text;
    ASSERT_EQ(ReadWholeFile(file, text), 0);
    EXPECT_EQ(text.rfind("; kept\r\n[Software\\Other]\r\nx=1\r\n", 0), 0u) << text;
}

}  // namespace
}  // namespace bfs
