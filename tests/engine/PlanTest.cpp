#include "engine/UTPlan.h"
#include "engine/UTSyncTask.h"
#include "model/UTConsts.h"
#include "model/UTSysConfig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bfs {
namespace {

// Adds an entry below Parent with the given action code (counters set as the analysis sets them).
TFileTree* Add(TFileTree& Parent, const std::string& Path, const std::string& Name, bool Folder, int32_t Code,
               int64_t Size = 0, int64_t RightSize = 0) {
    auto a = MakeRef<TFileAttri>();
    a->Name = Name;
    a->Path = Path;
    a->IsFolder = Folder;
    a->Size = Size;
    a->FileDate = 1000;
    TFileTree* n = Parent.AddChild(Name, a);
    n->RightSize = RightSize;
    n->SetStatus(Code);
    n->SetFilterState(ACTION_INCLUDED);
    return n;
}

std::vector<std::string> Rows(const TPlanRow& Row, const std::string& Indent = "") {
    std::vector<std::string> out;
    for (const auto& c : Row.Children) {
        out.push_back(Indent + c->Data.Name + ":" + std::to_string(c->Data.Action));
        auto below = Rows(*c, Indent + "  ");
        out.insert(out.end(), below.begin(), below.end());
    }
    return out;
}

class PlanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_Result = TFileTree::Create("", nullptr);
        TFileTree* d = Add(*m_Result, "/", "d", true, ACTION_NONE);
        Add(*d, "/d/", "a", false, ACTION_LEFT_ONLY, 10);
        Add(*d, "/d/", "b", false, ACTION_SAME, 3);
        Add(*d, "/d/", "c", false, ACTION_RIGHT_NEWER, 5, 7);
        TFileTree* e = Add(*m_Result, "/", "e", true, ACTION_DELETED_LEFT);
        Add(*e, "/e/", "x", false, ACTION_DELETED_LEFT, 4);
        Add(*m_Result, "/", "k", false, ACTION_CONFLICT, 2);
    }
    TFileTreeRef m_Result;
};

TEST_F(PlanTest, ChangesViewHoldsOnlyChangesWithSummedSizesAndCounts) {
    TPlan plan;
    plan.ShowView(*m_Result, VIEW_CHANGES, "Task");
    ASSERT_TRUE(plan.RootNode);
    EXPECT_EQ(plan.RootNode->Data.Name, "Task");
    EXPECT_EQ(plan.RootNode->Data.Action, ACTION_NONE);
    EXPECT_EQ(Rows(*plan.RootNode), (std::vector<std::string>{"d:-1", "  a:16", "  c:19", "e:81", "  x:81"}));
    // Bytes each side receives: a (10) goes right; c overwrites its 5 left bytes with 7 from the right,
    // and the 7 incoming bytes are what the left side must have room for.
    EXPECT_EQ(plan.RightBytes, 10);
    EXPECT_EQ(plan.LeftBytes, 7);
    const TResultNodeData& d = plan.RootNode->Children[0]->Data;
    EXPECT_EQ(d.LeftSize, 10 + 5);  // a's and c's left sizes
    EXPECT_EQ(d.RightSize, 7);      // c's right size
    EXPECT_EQ(d.LtoRCount, 1);
    EXPECT_EQ(d.RtoLCount, 1);
    EXPECT_EQ(plan.RootNode->Data.LtoRCount, 1);
    EXPECT_EQ(plan.RootNode->Data.RtoLCount, 1);
    EXPECT_EQ(m_Result->ConflictCount, 1);
}

TEST_F(PlanTest, ViewKindsAdmitByCounters) {
    struct {
        int32_t Kind;
        std::vector<std::string> Rows;
    } cases[] = {
        {VIEW_ALL, {"d:-1", "  a:16", "  b:18", "  c:19", "e:81", "  x:81", "k:2"}},
        {VIEW_CONFLICTS, {"k:2"}},
        {VIEW_DELETE, {"e:81", "  x:81"}},
        {VIEW_RTOL, {"d:-1", "  c:19"}},
        {VIEW_ERRORS, {}},
        {99, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Kind);
        TPlan plan;
        plan.ShowView(*m_Result, c.Kind, "Task");
        EXPECT_EQ(Rows(*plan.RootNode), c.Rows);
    }
}

TEST_F(PlanTest, SetNodeActionReachesEveryRowBelowAndTheirResultNodes) {
    TPlan plan;
    plan.ShowView(*m_Result, VIEW_ALL, "Task");
    TPlanRow& d = *plan.RootNode->Children[0];
    plan.SetNodeAction(d, ACTION_NOT_COPY);
    for (const auto& c : d.Children) {
        EXPECT_EQ(c->Data.Action, ACTION_NOT_COPY);
        EXPECT_EQ(c->Data.ResultNode->Status, ACTION_NOT_COPY);
        EXPECT_EQ(c->Data.ResultNode->LtoRCount + c->Data.ResultNode->RtoLCount, 0);
    }
    plan.SetNodeAction(*plan.RootNode, ACTION_SAME);
    EXPECT_EQ(plan.RootNode->Data.Action, ACTION_SAME);
    EXPECT_FALSE(plan.RootNode->Data.ResultNode);
}

// The enabled commands of a menu, e.g. "LR RL NC|oL dL sL fL": direction items, then the file items
// (o open, d delete, s save as, f open folder; L left, R right).
std::string Enabled(const TRowMenu& m) {
    std::string s;
    auto add = [&](bool on, const char* code) {
        if (!on) return;
        if (!s.empty() && s.back() != '|') s += ' ';
        s += code;
    };
    add(m.LtoR, "LR");
    add(m.RtoL, "RL");
    add(m.NotCopy, "NC");
    s += '|';
    add(m.OpenLeftFile, "oL");
    add(m.OpenRightFile, "oR");
    add(m.DeleteLeftFile, "dL");
    add(m.DeleteRightFile, "dR");
    add(m.SaveLeftFileAs, "sL");
    add(m.SaveRightFileAs, "sR");
    add(m.OpenLeftFolder, "fL");
    add(m.OpenRightFolder, "fR");
    return s;
}

TEST(PlanMenuTest, CommandsFollowTheRowsCodeKindAndTheTasksDirection) {
    const std::string bothFiles = "oL oR dL dR sL sR";
    const struct {
        int32_t Action;
        bool Folder;
        int32_t Direction;
        std::string Enabled;
    } cases[] = {
        {ACTION_NONE, true, 0, "LR RL NC|"},
        {ACTION_CONFLICT, false, 0, "LR RL NC|" + bothFiles},
        {ACTION_CONFLICT, true, 0, "LR RL NC|fL fR"},
        {ACTION_LEFT_ONLY, false, 0, "NC|oL dL sL fL"},
        {ACTION_LEFT_ONLY, true, 0, "NC|fL"},
        {ACTION_RIGHT_ONLY, false, 0, "NC|oR dR sR fR"},
        {ACTION_RIGHT_ONLY, true, 0, "NC|fR"},
        {ACTION_SAME, false, 0, "LR RL|" + bothFiles},
        {ACTION_RIGHT_NEWER, false, 0, "LR NC|" + bothFiles},
        {ACTION_LEFT_NEWER, false, 0, "RL NC|" + bothFiles},
        {ACTION_NOT_COPY, true, 0, "LR RL|fL fR"},
        {ACTION_DELETED_LEFT, false, 0, "NC|"},
        {ACTION_DELETED_RIGHT, true, 0, "NC|"},
        {ACTION_ERROR, false, 0, "|"},
        {ACTION_EXCLUDED, false, 0, "|"},
        // A one-way task never offers the opposite direction.
        {ACTION_CONFLICT, false, 1, "LR NC|" + bothFiles},
        {ACTION_CONFLICT, false, 2, "RL NC|" + bothFiles},
        {ACTION_RIGHT_NEWER, false, 2, "NC|" + bothFiles},
        {ACTION_LEFT_NEWER, false, 1, "NC|" + bothFiles},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Action) + (c.Folder ? " folder" : " file") + " direction " +
                     std::to_string(c.Direction));
        TPlanRow row;
        row.Data.Action = c.Action;
        row.Data.IsFolder = c.Folder;
        EXPECT_EQ(Enabled(TPlan::PreparePopupMenu(row, c.Direction)), c.Enabled);
    }
}

TEST(PlanMenuTest, PatternCaptionsAndMasksOfARow) {
    const struct {
        const char* Path;
        const char* Name;
        bool Folder;
        bool HasEntry;
        std::vector<std::string> Captions;  // include type, include name, exclude type, exclude name
        std::string TypeMask, NameMask;
    } cases[] = {
        {"/docs/",
         "report.txt",
         false,
         true,
         {R"(Include "*.txt" Files Only)", R"(Include "report.txt" Files Only)",
          R"(Exclude All "*.txt" Files)", R"(Exclude All "report.txt" Files)"},
         ".txt",
         "report.txt"},
        {"/", "a.tar.gz", false, true, {}, ".gz", "a.tar.gz"},
        {"/", "Makefile", false, true, {R"(Include "*" Files Only)"}, "", "Makefile"},
        {"/", ".profile", false, true, {}, ".profile", ".profile"},
        // A folder names its whole path, by type as by name.
        {"/docs/",
         "sub",
         true,
         true,
         {"", R"(Include "\docs\sub" Folder Only)", "", R"(Exclude "\docs\sub" Folder Only)"},
         R"(\docs\sub)",
         R"(\docs\sub)"},
        // The root row is the task, not an entry.
        {"", "Task", false, false, {"", "", "", ""}, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        auto node = TFileTree::Create(c.Name, nullptr);
        TPlanRow row;
        row.Data.FolderPath = std::string(c.Path);
        row.Data.Name = c.Name;
        row.Data.IsFolder = c.Folder;
        row.Data.Action = ACTION_LEFT_ONLY;
        if (c.HasEntry) row.Data.ResultNode = node;
        const TRowMenu m = TPlan::PreparePopupMenu(row, 0);
        EXPECT_EQ(m.ShowNameItems, c.HasEntry);
        EXPECT_EQ(m.ShowTypeItems, c.HasEntry && !c.Folder);
        const std::string captions[] = {m.IncludeType, m.IncludeName, m.ExcludeType, m.ExcludeName};
        for (std::size_t i = 0; i < c.Captions.size(); ++i) EXPECT_EQ(captions[i], c.Captions[i]) << i;
        EXPECT_EQ(TPlan::FilterMask(row, true), c.TypeMask);
        EXPECT_EQ(TPlan::FilterMask(row, false), c.NameMask);
    }
}

TEST(PlanMenuTest, ANameThatIsNoPatternGivesNoMask) {
    auto node = TFileTree::Create("a[1.txt", nullptr);
    TPlanRow row;
    row.Data.FolderPath = std::string("/");
    row.Data.Name = "a[1.txt";
    row.Data.ResultNode = node;
    std::string error;
    EXPECT_EQ(TPlan::FilterMask(row, false, &error), "");
    EXPECT_NE(error.find("a[1.txt"), std::string::npos) << error;
    EXPECT_EQ(TPlan::FilterMask(row, true), ".txt");
}

TEST_F(PlanTest, ReapplyFiltersExcludesAndLetsEntriesCountAgain) {
    TSyncTask task;
    auto changes = [&] {
        TPlan plan;
        plan.ShowView(*m_Result, VIEW_CHANGES, "Task");
        return std::make_pair(Rows(*plan.RootNode), plan.RightBytes);
    };
    auto changed = [&] { return m_Result->NewCount + m_Result->OverwriteCount + m_Result->DeleteCount; };
    const auto before = changes();
    ASSERT_EQ(changed(), 3);

    // The task's masks and the program-wide ones both count.
    task.ExcludeFilter = {R"(\d\a)"};
    SysConfig().ExcludeFilter = {R"(\e\x)"};
    ASSERT_TRUE(TPlan::ReapplyFilters(*m_Result, task));
    SysConfig().ExcludeFilter.clear();
    EXPECT_EQ(changes(), std::make_pair(std::vector<std::string>{"d:-1", "  c:19"}, int64_t{0}));
    EXPECT_EQ(changed(), 1);
    EXPECT_EQ(m_Result->ExcludedCount, 2);
    TFileTree& a = *m_Result->Children[0]->Children[0];
    EXPECT_EQ(a.Status, ACTION_LEFT_ONLY);  // codes stay; the sync walk skips the entry
    EXPECT_NE(a.Flags & NODE_EXCLUDED, 0);
    EXPECT_EQ(m_Result->Flags & NODE_EXCLUDED, 0);  // the root is no entry

    // A code given to an excluded entry does not make it a change.
    TPlan all;
    all.ShowView(*m_Result, VIEW_ALL, "Task");
    all.SetNodeAction(*all.RootNode->Children[0]->Children[0], ACTION_LEFT_NEWER);
    all.RecountResults(*m_Result);
    EXPECT_EQ(changed(), 1);

    // Without the masks the entries are changes again, with their bytes.
    task.ExcludeFilter.clear();
    all.SetNodeAction(*all.RootNode->Children[0]->Children[0], ACTION_LEFT_ONLY);
    ASSERT_TRUE(TPlan::ReapplyFilters(*m_Result, task));
    EXPECT_EQ(changes(), before);
    EXPECT_EQ(changed(), 3);
    EXPECT_EQ(m_Result->ExcludedCount, 0);
    EXPECT_EQ(a.Flags & NODE_EXCLUDED, 0);
}

TEST_F(PlanTest, ReapplyFiltersWithAMaskThatIsNoPatternChangesNothing) {
    TSyncTask task;
    task.IncludeFilter = {"a("};
    std::string error;
    EXPECT_FALSE(TPlan::ReapplyFilters(*m_Result, task, &error));
    EXPECT_NE(error.find("a("), std::string::npos) << error;
    TPlan plan;
    plan.ShowView(*m_Result, VIEW_ALL, "Task");
    EXPECT_EQ(m_Result->ExcludedCount, 0);
    auto empty = TFileTree::Create("", nullptr);
    EXPECT_TRUE(TPlan::ReapplyFilters(*empty, TSyncTask()));
    EXPECT_EQ(empty->ExcludedCount + empty->IncludedCount, 0);
}

TEST(PlanDeepTest, DeepResultTreeBuildsWithoutRecursion) {
    auto root = TFileTree::Create("", nullptr);
    TFileTree* cur = root.get();
    std::string path = "/";
    for (int i = 0; i < 50000; ++i) {
        cur = Add(*cur, path, "f", true, ACTION_LEFT_ONLY);
        path += "f/";
    }
    Add(*cur, path, "leaf", false, ACTION_LEFT_ONLY, 1);
    TPlan plan;
    plan.ShowView(*root, VIEW_CHANGES, "Deep");
    EXPECT_EQ(plan.RightBytes, 1);
    EXPECT_EQ(plan.RootNode->Data.LtoRCount, 1);  // only leaves count
}

}  // namespace
}  // namespace bfs
