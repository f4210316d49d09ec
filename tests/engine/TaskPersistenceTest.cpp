#include "EngineTestUtil.h"
#include "engine/UTSyncTask.h"
#include "model/TaskList.h"
#include "model/UTMyException.h"
#include "model/UTSysConfig.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <functional>
#include <initializer_list>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace bfs {
namespace {

class TaskPersistenceTest : public ::testing::Test {
  protected:
    void TearDown() override { SysConfig().LangFile.reset(); }

    static std::string Prog(const std::string& Name) { return GetProgramFolder() + Name; }
    static std::string Read(const std::string& Path) {
        std::string data;
        ReadWholeFile(Path, data);
        return data;
    }
    static int ErrorLines() {
        const std::string log = Read(TMyException::LogFileName());
        int n = 0;
        for (size_t p = log.find("\r\n"); p != std::string::npos; p = log.find("\r\n", p + 2)) ++n;
        return n;
    }
    static TTaskListDocument Doc(const std::string& Name = "tasklist.fs") {
        TTaskListDocument doc;
        EXPECT_EQ(doc.LoadFile(Prog(Name)), TTaskListDocument::LOAD_OK);
        return doc;
    }
    static std::vector<std::string> Children(pugi::xml_node Node) {
        std::vector<std::string> names;
        for (pugi::xml_node c : Node.children())
            names.push_back(c.attribute("name") ? c.attribute("name").value() : c.name());
        return names;
    }
    static std::string ElementText(const TXMLTastType& Tast) {
        std::ostringstream os;
        Tast.XmlNode().print(os);
        return os.str();
    }

    test::TTempHome m_Home;
};

// The numeric options, flags and automation settings of a task.
// clang-format off
constexpr int32_t TSyncTask::*INT_FIELDS[] = {
    &TSyncTask::SyncDirection, &TSyncTask::ForcedOrVerified, &TSyncTask::IsDeleteFile,
    &TSyncTask::SaveOldFile, &TSyncTask::UseTempFile, &TSyncTask::CheckNoChange,
    &TSyncTask::EstimateDiskSpace,
    &TSyncTask::ExcludeEmtpyFolder, &TSyncTask::ExcludeHiddenFile, &TSyncTask::ExcludeSystemFile,
    &TSyncTask::StartAnalyze, &TSyncTask::StartSync, &TSyncTask::ConnectAnalyze, &TSyncTask::ConnectSync,
    &TSyncTask::LogoffAnalyze, &TSyncTask::LogoffSync, &TSyncTask::PeriodAnalyze, &TSyncTask::PeriodSync,
    &TSyncTask::Hours, &TSyncTask::minutes, &TSyncTask::TSsync, &TSyncTask::TSanalyze, &TSyncTask::Conflicts,
    &TSyncTask::EnsureFolderTags};
// clang-format on

// A task with every stored field set to a value of its own.
void Fill(TSyncTask& T, const std::string& ID) {
    T.SyncName = "Name " + ID;
    T.SyncID = ID;
    int32_t v = 1;
    for (TFolderSource* f : {T.LFolder.get(), T.RFolder.get()}) {
        f->DeviceType = v++, f->validate = v++, f->ActiveMode = v++, f->FactTime = v++;
        f->FolerAllName = "/data/" + std::to_string(v), f->UserName = "user" + std::to_string(v);
        f->PrivateKey = "key" + std::to_string(v);
    }
    for (int32_t TSyncTask::*field : INT_FIELDS) T.*field = v++;
    T.TaskScheduler = "every day <08:00> & later";
    T.IncludeFilter = {"*.txt", "a&b<c>"};
    T.ExcludeFilter = {"*.tmp"};
    T.IncludeFileTimeMin = 123456;
    T.IncludeFileSizeMax = 5000000000;
    T.ExcludeFileSizeMin = 0;
}

std::string Stored(const TSyncTask& T) {
    std::ostringstream os;
    os << T.SyncName << '|' << T.SyncID;
    for (const TFolderSource* f : {T.LFolder.get(), T.RFolder.get()})
        os << '|' << f->DeviceType << f->FolerAllName << f->validate << f->UserName << '[' << f->PWD << ']'
           << f->ActiveMode << f->FactTime << f->PrivateKey;
    for (int32_t TSyncTask::*field : INT_FIELDS) os << ',' << T.*field;
    for (int64_t i : std::initializer_list<int64_t>{
             T.IncludeFileTimeMin, T.IncludeFileTimeMax, T.ExcludeFileTimeMin, T.ExcludeFileTimeMax,
             T.IncludeFileSizeMin, T.IncludeFileSizeMax, T.ExcludeFileSizeMin, T.ExcludeFileSizeMax})
        os << ',' << i;
    for (const auto& m : T.IncludeFilter) os << "|I" << m;
    for (const auto& m : T.ExcludeFilter) os << "|E" << m;
    return os.str() + "|" + T.TaskScheduler;
}

TEST_F(TaskPersistenceTest, EveryFieldAndPasswordRoundTrips) {
    struct {
        const char* Password;
        const char* Loaded;
    } cases[] = {
        // clang-format off
        {"secret", "secret"}, {"", ""}, {"   ", ""}, {"&<>\"'", "&<>\"'"},
        {"pässwörd ✓ 密码", "pässwörd ✓ 密码"}, {" padded ", " padded "},
        // clang-format on
    };
    std::vector<std::string> expected;
    for (size_t i = 0; i < std::size(cases); ++i) {
        TSyncTask task;
        Fill(task, "t" + std::to_string(i));
        task.LFolder->PWD = cases[i].Password;
        task.RFolder->PWD = cases[i].Password;
        ASSERT_EQ(task.SaveToTaskList(1), 0);
        task.LFolder->PWD = task.RFolder->PWD = cases[i].Loaded;
        expected.push_back(Stored(task));
    }
    const std::string text = Read(Prog("tasklist.fs"));
    EXPECT_NE(text.find("name=\"FileSizeMax\" value=\"5000000000\""), std::string::npos);
    EXPECT_NE(text.find("name=\"FileTimeMax\" value=\"-1\""), std::string::npos);
    TTaskListDocument doc = Doc();
    for (size_t i = 0; i < std::size(cases); ++i) {
        const TXMLTastType tast = doc.GetTaskList().Get_Tast(static_cast<int>(i));
        const std::string pwd = tast.Get_LFolder().Get_PWD();
        EXPECT_EQ(pwd.empty(), std::string(cases[i].Loaded).empty()) << i;
        if (!pwd.empty()) {
            EXPECT_NE(pwd, cases[i].Password);
        }
        TSyncTask loaded;
        loaded.LoadFromXML(tast);
        EXPECT_EQ(Stored(loaded), expected[i]);
    }
    EXPECT_EQ(ErrorLines(), 0);
}

TEST_F(TaskPersistenceTest, NewElementOrderAndMaskRewrite) {
    TSyncTask task;
    task.SyncName = "Backup";
    task.IncludeFilter = {"*.a", "*.b"};
    ASSERT_EQ(task.SaveToTaskList(1), 0);
    EXPECT_TRUE(std::regex_match(task.SyncID, std::regex("Backup[0-9]+"))) << task.SyncID;

    TTaskListDocument doc = Doc();
    const TXMLTastType tast = doc.GetTaskList().Get_Tast(0);
    EXPECT_EQ(tast.Get_SyncID(), task.SyncID);
    const pugi::xml_node e = tast.XmlNode();
    using V = std::vector<std::string>;
    EXPECT_EQ(Children(e), (V{"SyncName", "SyncID", "SyncDirection", "ForcedOrVerified", "IsDeleteFile",
                              "SaveOldFile", "UseTempFile", "CheckNoChange", "EstimateDiskSpace", "LFolder",
                              "RFolder", "Filter", "Auto"}));
    EXPECT_EQ(Children(e.child("RFolder")), (V{"DeviceType", "FolerAllName", "validate", "UserName", "PWD",
                                               "ActiveMode", "FactTime", "PrivateKey"}));
    EXPECT_EQ(Children(e.child("Filter")), (V{"ExcludeEmtpyFolder", "ExcludeHiddenFile", "ExcludeSystemFile",
                                              "IncludeFilter", "ExcludeFilter"}));
    EXPECT_EQ(Children(e.child("Auto")),
              (V{"StartAnalyze", "StartSync", "ConnectAnalyze", "ConnectSync", "LogoffAnalyze", "LogoffSync",
                 "PeriodAnalyze", "PeriodSync", "Hours", "minutes", "TaskScheduler", "TSsync", "TSanalyze",
                 "Conflicts", "EnsureFolderTags"}));
    const V limits{"FileTimeMin", "FileTimeMax", "FileSizeMin", "FileSizeMax"};
    V two{"N0", "N1"}, one{"N0"};
    two.insert(two.end(), limits.begin(), limits.end());
    one.insert(one.end(), limits.begin(), limits.end());
    EXPECT_EQ(Children(e.child("Filter").child("IncludeFilter")), two);
    EXPECT_EQ(Children(e.child("Filter").child("ExcludeFilter")), limits);

    task.IncludeFilter = {"*.c"};
    ASSERT_EQ(task.SaveToTaskList(0), 0);
    doc = Doc();
    ASSERT_EQ(doc.GetTaskList().Count(), 1);
    const TXMLIncludeFilterType include = doc.GetTaskList().Get_Tast(0).Get_Filter().Get_IncludeFilter();
    EXPECT_EQ(Children(include.XmlNode()), one);
    EXPECT_EQ(include.Get_Item(0).Get_value(), "*.c");

    // A second new task of the same name gets an identifier of its own; a given one is kept.
    TSyncTask second, imported;
    second.SyncName = "Backup";
    imported.SyncName = "Backup";
    imported.SyncID = "Backup1_";
    ASSERT_EQ(second.SaveToTaskList(1), 0);
    ASSERT_EQ(imported.SaveToTaskList(1), 0);
    EXPECT_NE(second.SyncID, task.SyncID);
    EXPECT_EQ(imported.SyncID, "Backup1_");
    EXPECT_EQ(Doc().GetTaskList().FindTast(second.SyncID), 1);
}

// Masks load in the file's order, whatever stands between the items; limits come by name.
TEST_F(TaskPersistenceTest, FilterItemsLoadInTheFilesOrder) {
    const struct {
        const char* Items;
        std::vector<std::string> Masks;
        int32_t TimeMin;
        int64_t SizeMax;
    } cases[] = {
        {"", {}, FILE_TIME_UNSET, -1},
        {"<Item name=\"FileTimeMin\" value=\"7\"/><Item name=\"N5\" value=\"*.b\"/><!-- c -->"
         "<Other name=\"N9\" value=\"not an item\"/><Item name=\"X\" value=\"*.x\"/>"
         "<Item name=\"N1\" value=\"*.a\"/><Item name=\"FileSizeMax\" value=\"9\"/><Item name=\"N\"/>",
         {"*.b", "*.a", ""},
         7,
         9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Items);
        TTaskListDocument doc;
        ASSERT_EQ(doc.LoadText(std::string("<TaskList><Tast><SyncID>t</SyncID><Filter><IncludeFilter>") +
                               c.Items + "</IncludeFilter></Filter></Tast></TaskList>"),
                  TTaskListDocument::LOAD_OK);
        TSyncTask task;
        task.LoadFromXML(doc.GetTaskList().Get_Tast(0));
        EXPECT_EQ(task.IncludeFilter, c.Masks);
        EXPECT_EQ(task.IncludeFileTimeMin, c.TimeMin);
        EXPECT_EQ(task.IncludeFileSizeMax, c.SizeMax);
    }

    // Many masks come back whole and in order, and a save with fewer leaves none of the others.
    TSyncTask task;
    Fill(task, "many");
    for (size_t count : {size_t{5000}, size_t{3}}) {
        task.IncludeFilter.clear();
        for (size_t i = 0; i < count; ++i)
            task.IncludeFilter.push_back("*." + std::to_string((i * 7919) % 10007));
        ASSERT_EQ(task.SaveToTaskList(count == 3 ? 0 : 1), 0);
        TSyncTask loaded;
        loaded.LoadFromXML(Doc().GetTaskList().Get_Tast(0));
        EXPECT_EQ(Stored(loaded), Stored(task)) << count;
    }
}

TEST_F(TaskPersistenceTest, SaveFolderPathWritesOnlyThatAddress) {
    TSyncTask task;
    Fill(task, "t");
    ASSERT_EQ(task.SaveToTaskList(1), 0);
    task.LFolder->FolerAllName = "ftp://example.org/new";
    task.LFolder->DeviceType = DEVICE_FTP;
    task.RFolder->FolerAllName = "/right/new";
    task.Hours = 99;
    ASSERT_EQ(task.SaveLeftFolderPath(), 0);
    TTaskListDocument doc = Doc();
    const TXMLTastType tast = doc.GetTaskList().Get_Tast(0);
    EXPECT_EQ(tast.Get_LFolder().Get_FolerAllName(), "ftp://example.org/new");
    EXPECT_EQ(tast.Get_LFolder().Get_DeviceType(), std::to_string(DEVICE_FTP));
    EXPECT_NE(tast.Get_RFolder().Get_FolerAllName(), "/right/new");
    EXPECT_NE(tast.Get_Auto().Get_Hours(), "99");
    EXPECT_NE(task.SaveFolderPath(2), 0);
}

// Another window deleted the task: it is saved as new, keeping its identifier, and no other changes.
TEST_F(TaskPersistenceTest, SaveOfATaskGoneFromTheFileAppendsIt) {
    TSyncTask a, b, gone;
    Fill(a, "a");
    Fill(b, "b");
    Fill(gone, "gone");
    ASSERT_EQ(a.SaveToTaskList(1), 0);
    ASSERT_EQ(b.SaveToTaskList(1), 0);
    TTaskListDocument before = Doc();
    const std::function<int32_t()> saves[] = {[&] { return gone.SaveToTaskList(0); },
                                              [&] { return gone.SaveRightFolderPath(); }};
    for (const auto& save : saves) {
        ASSERT_EQ(save(), 0);
        TTaskListDocument after = Doc();
        ASSERT_EQ(after.GetTaskList().Count(), 3);
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(ElementText(after.GetTaskList().Get_Tast(i)),
                      ElementText(before.GetTaskList().Get_Tast(i)));
        TSyncTask loaded;
        loaded.LoadFromXML(after.GetTaskList().Get_Tast(2));
        EXPECT_EQ(Stored(loaded), Stored(gone));
        ASSERT_EQ(gone.DeleteFromTaskList(), 0);
    }
}

TEST_F(TaskPersistenceTest, DeleteFromTaskList) {
    EXPECT_EQ(TSyncTask().DeleteFromTaskList(), 0);  // no file: nothing to do, nothing made
    EXPECT_FALSE(FileExists(Prog("tasklist.fs")));
    for (const char* id : {"a", "b", "c"}) {
        TSyncTask t;
        Fill(t, id);
        ASSERT_EQ(t.SaveToTaskList(1), 0);
    }
    const std::string before = Read(Prog("tasklist.fs"));
    TSyncTask unknown;
    unknown.SyncID = "B";
    EXPECT_EQ(unknown.DeleteFromTaskList(), 0);
    EXPECT_EQ(Read(Prog("tasklist.fs")), before);
    TSyncTask b;
    b.SyncID = "b";
    EXPECT_EQ(b.DeleteFromTaskList(), 0);
    TTaskListDocument doc = Doc();
    ASSERT_EQ(doc.GetTaskList().Count(), 2);
    EXPECT_EQ(doc.GetTaskList().Get_Tast(0).Get_SyncID(), "a");
    EXPECT_EQ(doc.GetTaskList().Get_Tast(1).Get_SyncID(), "c");
}

TEST_F(TaskPersistenceTest, BadNumbersTakeZeroAndLogOneLinePerElement) {
    struct {
        const char* Text;
        bool Number;
        int32_t Value;
    } cases[] = {
        // clang-format off
        {"12", true, 12},  {" 7 ", true, 7}, {"+7", true, 7},    {"-3", true, -3},
        {"", false, 0},    {"7x", false, 0}, {"0x10", false, 0}, {"1.5", false, 0},
        {"99999999999", false, 0},           {"2147483647", true, 2147483647},
        // clang-format on
    };
    TSyncTask saved;
    Fill(saved, "x");
    ASSERT_EQ(saved.SaveToTaskList(1), 0);
    int lines = 0;
    for (const auto& c : cases) {
        TTaskListDocument doc = Doc();
        const TXMLTastType tast = doc.GetTaskList().Get_Tast(0);
        tast.Set_SyncDirection(c.Text);
        tast.Get_Auto().Set_Hours(c.Text);
        TSyncTask task;
        task.Hours = 42;
        task.LoadFromXML(tast);
        EXPECT_EQ(task.Hours, c.Value) << c.Text;
        EXPECT_EQ(task.SyncDirection, c.Value) << c.Text;
        task.Hours = saved.Hours;
        task.SyncDirection = saved.SyncDirection;
        EXPECT_EQ(Stored(task), Stored(saved)) << c.Text;  // the rest of the task loaded
        // Two bad fields of one element make one line.
        EXPECT_EQ(ErrorLines(), lines += c.Number ? 0 : 1) << c.Text;
    }
}

TEST_F(TaskPersistenceTest, FieldsThatDidNotLoadKeepTheirTextOnSave) {
    TSyncTask good;
    Fill(good, "good");
    ASSERT_EQ(good.SaveToTaskList(1), 0);
    TSyncTask bad;
    Fill(bad, "bad");
    bad.LFolder->PWD = "pw";
    ASSERT_EQ(bad.SaveToTaskList(1), 0);
    {
        TTaskListDocument doc = Doc();
        const TXMLTastType tast = doc.GetTaskList().Get_Tast(1);
        tast.Get_Auto().Set_Hours("");
        tast.Set_UseTempFile("two");
        tast.Get_LFolder().Set_PWD("broken");
        ASSERT_EQ(doc.Save(Prog("tasklist.fs")), 0);
    }
    TTaskListDocument doc = Doc();
    TSyncTask loaded, loadedGood;
    loaded.LoadFromXML(doc.GetTaskList().Get_Tast(1));
    loadedGood.LoadFromXML(doc.GetTaskList().Get_Tast(0));
    EXPECT_EQ(ErrorLines(), 2);  // the element's numbers, and the password
    const std::string log = Read(TMyException::LogFileName());
    EXPECT_NE(log.find("Auto/Hours \"\""), std::string::npos) << log;
    EXPECT_NE(log.find("UseTempFile \"two\""), std::string::npos) << log;
    EXPECT_EQ(Stored(loadedGood), Stored(good));
    bad.Hours = bad.UseTempFile = 0;
    bad.LFolder->PWD = "";
    EXPECT_EQ(Stored(loaded), Stored(bad));

    loaded.SyncName = "renamed";
    loaded.minutes = 45;
    ASSERT_EQ(loaded.SaveToTaskList(0), 0);
    TTaskListDocument after = Doc();
    TXMLTastType tast = after.GetTaskList().Get_Tast(1);
    EXPECT_EQ(tast.Get_SyncName(), "renamed");
    EXPECT_EQ(tast.Get_Auto().Get_minutes(), "45");
    EXPECT_EQ(tast.Get_Auto().Get_Hours(), "");
    EXPECT_EQ(tast.Get_UseTempFile(), "two");
    EXPECT_EQ(tast.Get_LFolder().Get_PWD(), "broken");

    // Values the user sets are written, and from then on saved as usual.
    loaded.Hours = 3;
    loaded.LFolder->PWD = "new";
    ASSERT_EQ(loaded.SaveToTaskList(0), 0);
    after = Doc();
    tast = after.GetTaskList().Get_Tast(1);
    EXPECT_EQ(tast.Get_Auto().Get_Hours(), "3");
    EXPECT_EQ(TSyncTask::DecodeFolderPassword(tast.Get_LFolder().Get_PWD()), "new");
    EXPECT_EQ(tast.Get_UseTempFile(), "two");
}

TEST_F(TaskPersistenceTest, UnreadableRunSettingDamagesTheTaskUntilSaved) {
    using X = TXMLTastType;
    const struct {
        const char* Damaged;
        void (*Break)(const X&);
    } cases[] = {
        {"SyncDirection", [](const X& t) { t.Set_SyncDirection("two"); }},
        {"ForcedOrVerified", [](const X& t) { t.Set_ForcedOrVerified(""); }},
        {"IsDeleteFile", [](const X& t) { t.Set_IsDeleteFile("yes"); }},
        {"EstimateDiskSpace", [](const X& t) { t.Set_EstimateDiskSpace("1.5"); }},
        {"Auto/EnsureFolderTags", [](const X& t) { t.Get_Auto().Set_EnsureFolderTags("x"); }},
        {"IsDeleteFile", [](const X& t) { t.Get_Auto().Set_EnsureFolderTags("x"), t.Set_IsDeleteFile("x"); }},
        {"", [](const X& t) { t.Get_Auto().Set_Hours("x"), t.Set_UseTempFile("x"); }},  // not run settings
    };
    for (const auto& c : cases) {
        TSyncTask task;
        Fill(task, "t");
        ASSERT_EQ(task.SaveToTaskList(1), 0);
        TTaskListDocument doc = Doc();
        c.Break(doc.GetTaskList().Get_Tast(0));
        ASSERT_EQ(doc.Save(Prog("tasklist.fs")), 0);
        task.LoadFromXML(Doc().GetTaskList().Get_Tast(0));
        EXPECT_EQ(task.DamagedSetting(), c.Damaged);
        ASSERT_EQ(task.SaveToTaskList(0), 0);  // writes the values the task now holds
        TSyncTask reloaded;
        reloaded.LoadFromXML(Doc().GetTaskList().Get_Tast(0));
        EXPECT_EQ(reloaded.DamagedSetting() + task.DamagedSetting(), "") << c.Damaged;
        ASSERT_EQ(task.DeleteFromTaskList(), 0);
    }
}

TEST_F(TaskPersistenceTest, DateLimitsFrom2044OnRoundTrip) {
    TSyncTask task;
    Fill(task, "t");
    task.IncludeFileTimeMin = static_cast<int32_t>(0x8C210000u);  // 2050-01-01, negative as int32
    task.ExcludeFileTimeMax = -2;
    ASSERT_EQ(task.SaveToTaskList(1), 0);
    TSyncTask loaded;
    loaded.LoadFromXML(Doc().GetTaskList().Get_Tast(0));
    EXPECT_EQ(Stored(loaded), Stored(task));
    EXPECT_EQ(loaded.IncludeFileTimeMax, FILE_TIME_UNSET);
}

TEST_F(TaskPersistenceTest, UnreadableTaskListIsNeverOverwritten) {
    ASSERT_EQ(WriteFileAtomic(Prog("en-english.lng"), "[title]\nerror_free_tasklist_xml=Task list trouble\n"),
              0);
    ASSERT_EQ(SysConfig().OpenLanguage("en-english.lng"), 0);
    TSyncTask task;
    Fill(task, "t");
    const std::function<int32_t()> ops[] = {
        [&] { return task.SaveToTaskList(0); }, [&] { return task.SaveToTaskList(1); },
        [&] { return task.DeleteFromTaskList(); }, [&] { return task.SaveLeftFolderPath(); },
        [&] { return task.SaveRightFolderPath(); }};
    int lines = 0;
    for (const char* broken :
         {"<TaskList><Tast><SyncID>t</SyncID>", "<Other><Tast/></Other>", "not a task list"}) {
        ASSERT_EQ(WriteFileAtomic(Prog("tasklist.fs"), broken), 0);
        for (const auto& op : ops) {
            EXPECT_NE(op(), 0) << broken;
            EXPECT_EQ(Read(Prog("tasklist.fs")), broken);
            EXPECT_EQ(ErrorLines(), ++lines);
        }
    }
    EXPECT_NE(Read(TMyException::LogFileName()).find("msg:Task list trouble "), std::string::npos);
    EXPECT_EQ(task.SyncID, "t");
}

TEST_F(TaskPersistenceTest, SaveAsTemplate) {
    TSyncTask task;
    Fill(task, "t");
    ASSERT_EQ(task.SaveAsTemplate("Nightly.fs"), 0);  // no skeleton: starts from an empty list
    EXPECT_EQ(task.SyncID, "t");
    EXPECT_FALSE(FileExists(Prog("tasklist.fs")));
    TTaskListDocument doc = Doc("Nightly.fs");
    ASSERT_EQ(doc.GetTaskList().Count(), 1);
    TSyncTask loaded;
    loaded.LoadFromXML(doc.GetTaskList().Get_Tast(0));
    EXPECT_TRUE(std::regex_match(loaded.SyncID, std::regex("Name t[0-9]+"))) << loaded.SyncID;
    loaded.SyncID = "t";
    EXPECT_EQ(Stored(loaded), Stored(task));

    const std::string skeleton = "<?xml version=\"1.0\"?>\n<TaskList><!-- skeleton --></TaskList>\n";
    ASSERT_EQ(WriteFileAtomic(Prog("TaskTemp.fs"), skeleton), 0);
    ASSERT_EQ(task.SaveAsTemplate("Other.fs"), 0);
    EXPECT_NE(Read(Prog("Other.fs")).find("<!-- skeleton -->"), std::string::npos);

    // Neither the task list nor the skeleton may be replaced, nor a file outside the folder written.
    for (const char* name : {"tasklist.fs", "TaskTemp.fs", "../escape.fs", "sub/x.fs", "", ".."})
        EXPECT_EQ(task.SaveAsTemplate(name), 1) << name;
    EXPECT_FALSE(FileExists(Prog("tasklist.fs")));
    EXPECT_EQ(Read(Prog("TaskTemp.fs")), skeleton);
    EXPECT_FALSE(FileExists(m_Home.Dir + "/config/escape.fs"));
}

}  // namespace
}  // namespace bfs
