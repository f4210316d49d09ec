#include "common/TempFolder.h"
#include "model/TaskList.h"
#include "platform/UTAtomicFile.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace bfs {
namespace {

class TaskListTest : public ::testing::Test {
  protected:
    std::string Read(const std::string& Path) {
        std::string Data;
        EXPECT_EQ(ReadWholeFile(Path, Data), 0);
        return Data;
    }
    // The identifiers by index; a walk over the items gives the same.
    std::vector<std::string> Ids(const TXMLTaskListType& List) {
        std::vector<std::string> Result, Walked;
        for (int I = 0; I < List.Count(); ++I) Result.push_back(List.Get_Tast(I).Get_SyncID());
        for (const TXMLTastType& T : List.Items()) Walked.push_back(T.Get_SyncID());
        EXPECT_EQ(Walked, Result);
        return Result;
    }

    test::TTempFolder Temp{"bfs-tasklist"};
    const std::string Dir = Temp.Path;
    const std::string File = Dir + "/tasklist.fs";
};

const char* const SAMPLE =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<!-- kept -->\r\n"
    "<TaskList Version=\"3\">\r\n"
    "  <Tast><SyncName>B</SyncName><SyncID>b1</SyncID><Extra a=\"1\">x</Extra>\r\n"
    "    <LFolder><FolerAllName>/home/a</FolerAllName><DeviceType>1</DeviceType></LFolder>\r\n"
    "    <Filter><IncludeFilter><Item name=\"N0\" value=\"*.txt\" note=\"n\"/></IncludeFilter></Filter>\r\n"
    "  </Tast>\r\n"
    "  <Task><SyncID>misspelled</SyncID></Task>\r\n"
    "</TaskList>\r\n";

TEST_F(TaskListTest, RoundTripKeepsOrderAndUnknownContentAndIsStable) {
    TTaskListDocument Doc;
    ASSERT_EQ(Doc.LoadText(SAMPLE), TTaskListDocument::LOAD_OK);
    std::string First = Doc.ToText();
    ASSERT_EQ(Doc.Save(File), 0);
    ASSERT_EQ(Doc.LoadFile(File), TTaskListDocument::LOAD_OK);
    EXPECT_EQ(Doc.ToText(), First);

    // Declaration names utf-8 and keeps its other attributes; everything else stays where it was.
    const std::vector<std::string> InOrder = {"encoding=\"utf-8\" standalone=\"yes\"",
                                              "<!-- kept -->",
                                              "<TaskList Version=\"3\">",
                                              "<SyncName>B</SyncName>",
                                              "<SyncID>b1</SyncID>",
                                              "<Extra a=\"1\">x</Extra>",
                                              "<FolerAllName>/home/a</FolerAllName>",
                                              "<DeviceType>1</DeviceType>",
                                              "note=\"n\"",
                                              "<Task>",
                                              "misspelled"};
    size_t Pos = 0;
    for (const std::string& Expected : InOrder) {
        size_t Found = First.find(Expected, Pos);
        ASSERT_NE(Found, std::string::npos) << Expected << " missing or out of order in\n" << First;
        Pos = Found + Expected.size();
    }
    EXPECT_EQ(First.find('\r'), std::string::npos);
    // No temporary file is left beside the saved one.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir), {}), 1);
}

TEST_F(TaskListTest, MisspelledElementsAreNotReadAndKept) {
    struct Case {
        const char* Parent;
        const char* Leaf;  // misspelled, inside Parent inside <Tast>
        std::function<std::string(const TXMLTastType&)> Get;
    };
    const std::vector<Case> Cases = {
        {"LFolder", "<FolderAllName>x</FolderAllName>",
         [](auto& T) { return T.Get_LFolder().Get_FolerAllName(); }},
        {"RFolder", "<Validate>1</Validate>", [](auto& T) { return T.Get_RFolder().Get_validate(); }},
        {"Filter", "<ExcludeEmptyFolder>1</ExcludeEmptyFolder>",
         [](auto& T) { return T.Get_Filter().Get_ExcludeEmtpyFolder(); }},
        {"Auto", "<Minutes>5</Minutes>", [](auto& T) { return T.Get_Auto().Get_minutes(); }},
        {"Extra", "<syncid>x</syncid>", [](auto& T) { return T.Get_SyncID(); }},
    };
    for (const Case& C : Cases) {
        TTaskListDocument Doc;
        std::string P = C.Parent;
        ASSERT_EQ(
            Doc.LoadText("<TaskList><Tast><" + P + ">" + C.Leaf + "</" + P + "></Tast><Task/></TaskList>"),
            0);
        TXMLTaskListType List = Doc.GetTaskList();
        ASSERT_EQ(List.Count(), 1) << C.Leaf;
        EXPECT_EQ(C.Get(List.Get_Tast(0)), "") << C.Leaf;
        std::string Text = Doc.ToText();
        EXPECT_NE(Text.find(C.Leaf), std::string::npos) << Text;
        EXPECT_NE(Text.find("<Task />"), std::string::npos) << Text;
    }

    TTaskListDocument Doc;
    TXMLTastType T = Doc.GetTaskList().Add();
    T.Get_LFolder().Set_FolerAllName("a");
    T.Get_LFolder().Set_validate("1");
    T.Get_Filter().Set_ExcludeEmtpyFolder("1");
    T.Get_Auto().Set_minutes("5");
    for (const char* Name : {"<Tast>", "<FolerAllName>", "<validate>", "<ExcludeEmtpyFolder>", "<minutes>"})
        EXPECT_NE(Doc.ToText().find(Name), std::string::npos) << Name;
}

TEST_F(TaskListTest, CollectionOperationsKeepOrder) {
    using Op = std::function<void(TXMLTaskListType&)>;
    auto Added = [](const char* Id) { return [Id](TXMLTaskListType& L) { L.Add().Set_SyncID(Id); }; };
    auto Inserted = [](int At, const char* Id) {
        return [At, Id](TXMLTaskListType& L) { L.Insert(At).Set_SyncID(Id); };
    };
    struct Case {
        const char* Name;
        std::vector<Op> Ops;
        std::vector<std::string> Expected;
    };
    const std::vector<Case> Cases = {
        {"insert at 0 goes first", {Inserted(0, "x")}, {"x", "a", "b"}},
        {"add goes last", {Added("x")}, {"a", "b", "x"}},
        {"insert at count appends", {Inserted(2, "x")}, {"a", "b", "x"}},
        {"insert in the middle", {Inserted(1, "x")}, {"a", "x", "b"}},
        {"delete keeps the others' order", {Added("c"), [](auto& L) { L.Delete(1); }}, {"a", "c"}},
        {"remove an item", {[](auto& L) { EXPECT_EQ(L.Remove(L.Get_Tast(0)), 0); }}, {"b"}},
        {"remove a foreign item", {[](auto& L) { EXPECT_EQ(L.Remove(TXMLTastType()), -1); }}, {"a", "b"}},
        {"clear", {[](auto& L) { L.Clear(); }, Added("y")}, {"y"}},
    };
    for (const Case& C : Cases) {
        TTaskListDocument Doc;
        ASSERT_EQ(Doc.LoadText("<TaskList><Tast><SyncID>a</SyncID></Tast><Other/>"
                               "<Tast><SyncID>b</SyncID></Tast></TaskList>"),
                  0);
        TXMLTaskListType List = Doc.GetTaskList();
        for (const Op& O : C.Ops) O(List);
        EXPECT_EQ(Ids(List), C.Expected) << C.Name;
        EXPECT_NE(Doc.ToText().find("<Other />"), std::string::npos) << C.Name;
    }

    TTaskListDocument Doc;
    TXMLTaskListType List = Doc.GetTaskList();
    EXPECT_THROW(List.Get_Tast(0), std::out_of_range);
    EXPECT_THROW(List.Insert(1), std::out_of_range);
    EXPECT_THROW(List.Delete(-1), std::out_of_range);

    TXMLIncludeFilterType Items = List.Add().Get_Filter().Get_IncludeFilter();
    Items.Add().Set_name("N1");
    Items.Insert(0).Set_name("N0");
    EXPECT_EQ(Items.Get_Item(0).Get_name(), "N0");
    EXPECT_EQ(Items.Get_Item(1).Get_name(), "N1");
    EXPECT_EQ(Items.Node(1).attribute("name").value(), std::string("N1"));
}

// A walk visits the collection's own items once each, in document order, whatever stands between.
TEST_F(TaskListTest, AWalkVisitsEachItemOnceInOrder) {
    const struct {
        const char* Text;
        std::vector<std::string> Ids;
    } Cases[] = {
        {"<TaskList/>", {}},
        {"<TaskList>\n</TaskList>", {}},
        {"<TaskList><Task><SyncID>x</SyncID></Task></TaskList>", {}},
        {"<TaskList><!-- c --><Tast><SyncID>a</SyncID></Tast><Task/><tast/><?pi x?>"
         "<Tast><SyncID>b</SyncID><Tast><SyncID>inner</SyncID></Tast></Tast><Other/><Tast/></TaskList>",
         {"a", "b", ""}},
    };
    for (const auto& C : Cases) {
        TTaskListDocument Doc;
        ASSERT_EQ(Doc.LoadText(C.Text), 0) << C.Text;
        EXPECT_EQ(Ids(Doc.GetTaskList()), C.Ids) << C.Text;
    }
    // A null handle walks nothing.
    EXPECT_EQ(TXMLTaskListType().Items().begin(), TXMLTaskListType().Items().end());
    EXPECT_EQ(TXMLTastType().Get_Filter().Get_IncludeFilter().Items().begin(),
              TXMLItemIterator<TXMLItemType>());

    // Items added one after another come back in that order.
    TTaskListDocument Doc;
    TXMLIncludeFilterType Items = Doc.GetTaskList().Add().Get_Filter().Get_IncludeFilter();
    std::vector<std::string> Names;
    for (int I = 0; I < 2000; ++I) {
        Names.push_back("N" + std::to_string(I));
        Items.Add().Set_name(Names.back());
    }
    std::vector<std::string> Walked;
    for (auto It = Items.Items().begin(); It != Items.Items().end(); It++) Walked.push_back((*It).Get_name());
    EXPECT_EQ(Walked, Names);
}

// Only a blank text left alone in an element goes when the element gets its first child element;
// other children stay where they are, and a new item goes after all of them.
TEST_F(TaskListTest, AddingToAnElementKeepsItsOtherChildren) {
    const struct {
        const char* Text;
        const char* Written;
    } Cases[] = {
        {"<TaskList>\n\t</TaskList>",
         "<TaskList>\n\t<Tast>\n\t\t<SyncID>x</SyncID>\n\t</Tast>\n</TaskList>\n"},
        {"<TaskList><Tast><SyncID>a</SyncID></Tast><!-- c --></TaskList>",
         "<TaskList>\n\t<Tast>\n\t\t<SyncID>a</SyncID>\n\t</Tast>\n\t<!-- c "
         "-->\n\t<Tast>\n\t\t<SyncID>x</SyncID>\n"
         "\t</Tast>\n</TaskList>\n"},
        {"<TaskList><Other/></TaskList>",
         "<TaskList>\n\t<Other />\n\t<Tast>\n\t\t<SyncID>x</SyncID>\n\t</Tast>\n</TaskList>\n"},
    };
    for (const auto& C : Cases) {
        TTaskListDocument Doc;
        ASSERT_EQ(Doc.LoadText(C.Text), 0) << C.Text;
        Doc.GetTaskList().Add().Set_SyncID("x");
        const std::string Text = Doc.ToText();
        EXPECT_EQ(Text.substr(Text.find("<TaskList")), C.Written) << C.Text;
    }
}

TEST_F(TaskListTest, FindTastMatchesExactlyAndFirst) {
    TTaskListDocument Doc;
    TXMLTaskListType List = Doc.GetTaskList();
    for (const char* Id : {"Backup1", "backup1", "Backup1"}) List.Add().Set_SyncID(Id);
    EXPECT_EQ(List.FindTast("Backup1"), 0);
    EXPECT_EQ(List.FindTast("backup1"), 1);
    EXPECT_EQ(List.FindTast("Backup"), -1);
    EXPECT_EQ(List.FindTast(""), -1);
}

TEST_F(TaskListTest, AbsentPartsReadEmpty) {
    TTaskListDocument Doc;
    ASSERT_EQ(Doc.LoadText("<TaskList><Tast><SyncID>a</SyncID></Tast><Tast><Filter><ExcludeFilter>"
                           "<Item name=\"N0\"/></ExcludeFilter></Filter></Tast></TaskList>"),
              0);
    TXMLTastType NoFilter = Doc.GetTaskList().Get_Tast(0);
    TXMLFilterType F = NoFilter.Get_Filter();
    EXPECT_EQ(F.Get_ExcludeEmtpyFolder() + F.Get_ExcludeHiddenFile() + F.Get_ExcludeSystemFile(), "");
    EXPECT_EQ(F.Get_IncludeFilter().Count(), 0);
    EXPECT_EQ(F.Get_ExcludeFilter().Count(), 0);
    EXPECT_EQ(NoFilter.Get_Auto().Get_Hours(), "");
    EXPECT_EQ(NoFilter.Get_DisplayTip(), "");

    TXMLItemType Item = Doc.GetTaskList().Get_Tast(1).Get_Filter().Get_ExcludeFilter().Get_Item(0);
    EXPECT_EQ(Item.Get_name(), "N0");
    EXPECT_EQ(Item.Get_value(), "");

    // A null handle reads empty and ignores writes.
    TXMLTastType Null;
    Null.Set_SyncID("x");
    EXPECT_EQ(Null.Get_SyncID(), "");
    EXPECT_EQ(Null.Get_Filter().Get_IncludeFilter().Count(), 0);
}

TEST_F(TaskListTest, NewChildrenStandInOrderFirstWrittenAndRewritesStayInPlace) {
    TTaskListDocument Doc;
    TXMLTastType T = Doc.GetTaskList().Add();
    T.Set_SyncName("n");
    T.Set_SyncID("i");
    T.Get_RFolder().Set_PWD("p");
    T.Get_LFolder().Set_DeviceType("1");
    T.Set_SyncName("n2");  // already there: replaced in place, not moved
    T.Set_DisplayTip("");
    EXPECT_EQ(
        Doc.ToText(),
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<TaskList>\n\t<Tast>\n\t\t<SyncName>n2</SyncName>\n"
        "\t\t<SyncID>i</SyncID>\n\t\t<RFolder>\n\t\t\t<PWD>p</PWD>\n\t\t</RFolder>\n\t\t<LFolder>\n"
        "\t\t\t<DeviceType>1</DeviceType>\n\t\t</LFolder>\n\t\t<DisplayTip />\n\t</Tast>\n</TaskList>\n");
}

TEST_F(TaskListTest, SpecialTextsRoundTripThroughTheFile) {
    const std::vector<std::string> Values = {
        "a&b<c>d", "\"quoted\" 'single'", "Grüße 日本 ✓", "]]>", "&amp; not an entity", " padded ",
        "   ",     "line1\r\nline2\tx",
    };
    TTaskListDocument Doc;
    TXMLTaskListType List = Doc.GetTaskList();
    for (const std::string& V : Values) {
        TXMLTastType T = List.Add();
        T.Get_LFolder().Set_PWD(V);
        TXMLItemType Item = T.Get_Filter().Get_IncludeFilter().Add();
        Item.Set_name("N0");
        Item.Set_value(V);
    }
    ASSERT_EQ(Doc.Save(File), 0);
    TTaskListDocument Again;
    ASSERT_EQ(Again.LoadFile(File), TTaskListDocument::LOAD_OK) << Again.ErrorText();
    for (size_t I = 0; I < Values.size(); ++I) {
        TXMLTastType T = Again.GetTaskList().Get_Tast(static_cast<int>(I));
        EXPECT_EQ(T.Get_LFolder().Get_PWD(), Values[I]);
        EXPECT_EQ(T.Get_Filter().Get_IncludeFilter().Get_Item(0).Get_value(), Values[I]);
    }
    EXPECT_EQ(Again.ToText(), Doc.ToText());
}

TEST_F(TaskListTest, LatinOneFileIsReadAndWrittenAsUtf8) {
    ASSERT_EQ(WriteFileAtomic(File,
                              "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
                              "<TaskList><Tast><SyncName>caf\xe9</SyncName></Tast></TaskList>"),
              0);
    TTaskListDocument Doc;
    ASSERT_EQ(Doc.LoadFile(File), 0);
    EXPECT_EQ(Doc.GetTaskList().Get_Tast(0).Get_SyncName(), "café");
    EXPECT_EQ(Doc.ToText().rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u);
}

TEST_F(TaskListTest, UnloadableFileIsNeverOverwritten) {
    struct Case {
        const char* Content;
        int Expected;
    };
    const std::vector<Case> Cases = {
        {"<TaskList><Tast><SyncID>a</SyncID></Tast>", TTaskListDocument::LOAD_PARSE_ERROR},
        {"<TaskList><Tast></Tast></TaskList><TaskList/>", TTaskListDocument::LOAD_PARSE_ERROR},
        {"<Settings><Tast/></Settings>", TTaskListDocument::LOAD_PARSE_ERROR},
        {"<TaskList/>trailing text", TTaskListDocument::LOAD_PARSE_ERROR},
        {"not xml at all", TTaskListDocument::LOAD_PARSE_ERROR},
        {"<?xml version=\"1.0\"?>", TTaskListDocument::LOAD_PARSE_ERROR},
    };
    for (const Case& C : Cases) {
        ASSERT_EQ(WriteFileAtomic(File, C.Content), 0);
        TTaskListDocument Doc;
        EXPECT_EQ(Doc.LoadFile(File), C.Expected) << C.Content;
        EXPECT_TRUE(Doc.LoadFailed());
        EXPECT_NE(Doc.ErrorText().find(File), std::string::npos) << Doc.ErrorText();
        EXPECT_EQ(Doc.GetTaskList().Count(), 0);
        Doc.GetTaskList().Add().Set_SyncID("new");
        EXPECT_EQ(Doc.Save(File), TTaskListDocument::SAVE_LOAD_FAILED);
        EXPECT_EQ(Read(File), C.Content);
        // A later good load lifts the refusal.
        ASSERT_EQ(Doc.LoadText("<TaskList/>"), 0);
        EXPECT_FALSE(Doc.LoadFailed());
    }

    TTaskListDocument Doc;
    EXPECT_EQ(Doc.LoadFile(Dir), TTaskListDocument::LOAD_READ_ERROR);
    EXPECT_EQ(Doc.Save(File), TTaskListDocument::SAVE_LOAD_FAILED);
    EXPECT_NE(Doc.LoadText("<TaskList"), 0);
    EXPECT_NE(Doc.ErrorText().find("line 1"), std::string::npos) << Doc.ErrorText();
}

TEST_F(TaskListTest, MissingOrBlankFileIsANewList) {
    TTaskListDocument Doc;
    EXPECT_EQ(Doc.LoadFile(File), TTaskListDocument::LOAD_MISSING);
    EXPECT_FALSE(Doc.LoadFailed());
    Doc.GetTaskList().Add().Set_SyncID("a");
    ASSERT_EQ(Doc.Save(File), 0);

    ASSERT_EQ(WriteFileAtomic(File, " \r\n"), 0);
    EXPECT_EQ(Doc.LoadFile(File), TTaskListDocument::LOAD_OK);
    EXPECT_EQ(Doc.GetTaskList().Count(), 0);
    EXPECT_EQ(Doc.Save(File), 0);
    EXPECT_EQ(Read(File), "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<TaskList />\n");
}

}  // namespace
}  // namespace bfs
