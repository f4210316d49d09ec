#include "engine/UTPlan.h"
#include "model/UTConsts.h"

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
    // Bytes each side receives: a (10) goes right; c (5) overwrites on the left.
    EXPECT_EQ(plan.RightBytes, 10);
    EXPECT_EQ(plan.LeftBytes, 5);
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
