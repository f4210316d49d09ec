#include "engine/UTStateSaving.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "model/UTConsts.h"
#include "model/UTFileOper.h"

namespace bfs {
namespace {

// A tree from lines "path|name|folder|date" (parents before children), sorted like a listing.
TFileTreeRef Tree(const std::vector<std::string>& Lines) {
    auto root = TFileTree::Create("/side", nullptr);
    std::map<std::string, TFileTree*> folders{{"/", root.get()}};
    for (const auto& line : Lines) {
        size_t a = line.find('|'), b = line.find('|', a + 1), c = line.find('|', b + 1);
        auto attri = MakeRef<TFileAttri>();
        const std::string path = line.substr(0, a), name = line.substr(a + 1, b - a - 1);
        attri->Path = path;
        attri->Name = name;
        attri->IsFolder = line.substr(b + 1, c - b - 1) == "1";
        attri->FileDate = std::stoi(line.substr(c + 1));
        TFileTree* node = folders.at(path)->AddChild(name, attri);
        if (attri->IsFolder) folders[path + name + "/"] = node;
    }
    SortTreeLevels(*root);
    return root;
}

// "path+name:date" of every entry, pre-order.
std::vector<std::string> Dump(const TFileTree& Root) {
    std::vector<std::string> out;
    std::vector<const TFileTree*> stack{&Root};
    while (!stack.empty()) {
        const TFileTree* n = stack.back();
        stack.pop_back();
        if (n->Data) out.push_back(n->Data->Path + n->Name + ":" + std::to_string(n->Data->FileDate));
        for (auto it = n->Children.rbegin(); it != n->Children.rend(); ++it) stack.push_back(it->get());
    }
    return out;
}

void SetCode(TFileTree& Result, const std::string& Path, const std::string& Name, bool Folder, int32_t Code,
             bool Excluded = false) {
    TFileTree* n = FindEntry(Result, Path, Name, Folder);
    ASSERT_NE(n, nullptr) << Path << Name;
    n->SetStatus(Code);
    n->SetFilterState(Excluded ? ACTION_EXCLUDED : ACTION_INCLUDED);
}

TEST(StateSavingTest, EntriesNotSyncedKeepTheirPreviousStateAndDoneOnesTakeTheNewListing) {
    auto previous = Tree({"/|a|0|1", "/|f|1|1", "/f/|b|0|1", "/|gone|0|1", "/|old|1|1", "/old/|z|0|1"});
    auto now = Tree({"/|a|0|2", "/|c|0|2", "/|f|1|2", "/f/|b|0|2", "/|g|0|2", "/|h|0|2", "/|x|1|2", "/|y|1|2"});
    // What the analysis planned and how the walk ended.
    auto result = Tree({"/|a|0|2", "/|c|0|2", "/|f|1|2", "/f/|b|0|2", "/|g|0|2", "/|h|0|2", "/|old|1|1",
                        "/old/|z|0|1", "/|x|1|2", "/|y|1|2"});
    SetCode(*result, "/", "a", false, ACTION_SAME);            // copied: done
    SetCode(*result, "/", "c", false, ACTION_LEFT_ONLY);       // not reached: had no previous entry
    SetCode(*result, "/f/", "b", false, ACTION_ERROR);         // failed: back to its previous entry
    SetCode(*result, "/", "g", false, ACTION_CONFLICT);        // conflict, no previous entry
    SetCode(*result, "/", "h", false, ACTION_LEFT_ONLY, true); // excluded by the filters: saved as listed
    SetCode(*result, "/old/", "z", false, ACTION_ERROR);       // a failed delete below a folder now gone
    SetCode(*result, "/", "x", true, ACTION_CONFLICT);         // a folder in conflict with no previous entry
    SetCode(*result, "/", "y", true, ACTION_LEFT_ONLY, true);  // an empty folder the filters excluded

    KeepUnsynced(*now, previous.get(), *result);
    EXPECT_EQ(Dump(*now),
              (std::vector<std::string>{"/f:2", "/f/b:1", "/old:1", "/old/z:1", "/y:2", "/a:2", "/h:2"}));
    EXPECT_EQ(now->ChildCount, int32_t(now->Children.size()));
}

TEST(StateSavingTest, WithoutPreviousStateUnsyncedEntriesAreLeftOut) {
    auto now = Tree({"/|a|0|2", "/|d|1|2", "/d/|e|0|2"});
    auto result = Tree({"/|a|0|2", "/|d|1|2", "/d/|e|0|2"});
    SetCode(*result, "/", "a", false, ACTION_CONFLICT);
    SetCode(*result, "/", "d", true, ACTION_LEFT_ONLY);  // a folder with contents stays
    SetCode(*result, "/d/", "e", false, ACTION_LEFT_ONLY);
    KeepUnsynced(*now, nullptr, *result);
    EXPECT_EQ(Dump(*now), (std::vector<std::string>{"/d:2"}));
}

TEST(StateSavingTest, UnreadableFolderKeepsItsPreviousContents) {
    auto previous = Tree({"/|locked|1|1", "/locked/|p|0|1", "/|open|1|1", "/open/|q|0|1"});
    auto now = Tree({"/|locked|1|3", "/|open|1|3"});
    FindEntry(*now, "/", "locked", true)->NotListed = true;
    KeepUnlisted(*now, previous.get());
    EXPECT_EQ(Dump(*now), (std::vector<std::string>{"/locked:3", "/locked/p:1", "/open:3"}));
}

TEST(StateSavingTest, FindEntryTellsFoldersFromFilesAndMatchesExactly) {
    auto tree = Tree({"/|A.txt|0|1", "/|a.txt|0|2", "/|x|1|3", "/|x|0|4", "/x/|y|0|5"});
    struct {
        const char *Path, *Name;
        bool Folder;
        int Date;  // -1: not found
    } cases[] = {{"/", "A.txt", false, 1}, {"/", "a.txt", false, 2}, {"/", "x", true, 3},
                 {"/", "x", false, 4},     {"/x/", "y", false, 5},   {"/", "X", true, -1},
                 {"/y/", "y", false, -1},  {"/", "y", false, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Path) + c.Name);
        TFileTree* n = FindEntry(*tree, c.Path, c.Name, c.Folder);
        EXPECT_EQ(n ? n->Data->FileDate : -1, c.Date);
    }
}

}  // namespace
}  // namespace bfs
