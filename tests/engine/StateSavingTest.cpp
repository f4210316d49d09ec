#include "engine/UTStateSaving.h"
#include "model/UTConsts.h"
#include "model/UTFileOper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bfs {
namespace {

TFileTree* AddEntry(TFileTree& Parent, const std::string& Path, const std::string& Name, bool Folder,
                    int32_t Date) {
    auto a = MakeRef<TFileAttri>();
    a->Path = Path;
    a->Name = Name;
    a->IsFolder = Folder ? 1 : 0;
    a->FileDate = Date;
    a->Size = Folder ? 0 : Date;  // sizes follow dates, so a size check is a date check here
    a->Attr = Folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    return Parent.AddChild(Name, a);
}

// "path+name:date" of every entry of a saved-state text, pre-order.
std::vector<std::string> Entries(const std::string& Text) {
    auto tree = TFileTree::Create({}, nullptr);
    EXPECT_TRUE(tree->LoadFromStream(Text)) << Text;
    std::vector<std::string> out;
    std::vector<const TFileTree*> stack{tree.get()};
    while (!stack.empty()) {
        const TFileTree* n = stack.back();
        stack.pop_back();
        if (n->Data) out.push_back(n->Data->Path + n->Name + ":" + std::to_string(n->Data->FileDate));
        for (auto it = n->Children.rbegin(); it != n->Children.rend(); ++it) stack.push_back(it->get());
    }
    return out;
}

// The right side's new entry for one file, by how its row ended. Dates stand for versions; 0 is
// "no entry" in that source.
TEST(StateSavingTest, EachEntryComesFromWhatTheRunSawAndDid) {
    constexpr int32_t NO_NODE = -99;
    struct TCase {
        const char* What;
        int32_t Code;
        uint8_t Flags;
        int32_t Done;  // DoneAction
        int32_t Seen, Previous, Relisted, Written;
        int32_t Expected;
    } cases[] = {
        {"unchanged", ACTION_SAME, 0, 0, 5, 3, 0, 0, 5},
        {"not copied", ACTION_NOT_COPY, 0, 0, 5, 3, 0, 0, 5},
        {"gone on both sides", ACTION_SAME, 0, 0, 0, 3, 0, 0, 0},
        {"held back", ACTION_NOT_COPY, NODE_HELD_BACK, 0, 5, 3, 0, 0, 3},
        {"excluded", ACTION_SAME, NODE_EXCLUDED, 0, 5, 3, 0, 0, 3},
        {"conflict", ACTION_CONFLICT, 0, 0, 5, 3, 0, 0, 3},
        {"failed", ACTION_ERROR, 0, 0, 5, 3, 0, 0, 3},
        {"not reached", ACTION_LEFT_NEWER, 0, 0, 5, 3, 9, 0, 3},
        {"copied here, as written", ACTION_SAME, 0, ACTION_LEFT_NEWER, 5, 3, 9, 9, 9},
        {"copied here, edited after", ACTION_SAME, 0, ACTION_LEFT_NEWER, 5, 3, 11, 9, 3},
        {"copied here, gone after", ACTION_SAME, 0, ACTION_LEFT_ONLY, 0, 0, 0, 9, 0},
        {"copied from here", ACTION_SAME, 0, ACTION_RIGHT_NEWER, 5, 3, 7, 0, 5},
        {"deleted here", ACTION_SAME, 0, ACTION_DELETED_LEFT, 5, 3, 0, 0, 0},
        {"never seen, kept", NO_NODE, 0, 0, 0, 3, 0, 0, 3},
        {"appeared after the analysis", NO_NODE, 0, 0, 0, 0, 7, 0, 0},
    };
    auto result = TFileTree::Create({}, nullptr), seen = TFileTree::Create({}, nullptr);
    auto previous = TFileTree::Create({}, nullptr), relisted = TFileTree::Create({}, nullptr);
    std::vector<std::string> expected;
    int i = 0;
    for (const TCase& c : cases) {
        const std::string name = "f" + std::to_string(10 + i++);  // names sort like the table
        if (c.Code != NO_NODE) {
            TFileTree* n = AddEntry(*result, "/", name, false, c.Seen ? c.Seen : 1);
            n->SetStatus(c.Code);
            n->Flags = c.Flags;
            n->DoneAction = static_cast<uint8_t>(c.Done);
            n->RightDate = c.Written;
            n->RightSize = c.Written;
        }
        if (c.Seen) AddEntry(*seen, "/", name, false, c.Seen);
        if (c.Previous) AddEntry(*previous, "/", name, false, c.Previous);
        if (c.Relisted) AddEntry(*relisted, "/", name, false, c.Relisted);
        if (c.Expected) expected.push_back("/" + name + ":" + std::to_string(c.Expected));
    }
    const std::string text =
        BuildSavedState(1, {result.get(), seen.get(), previous.get(), relisted.get()}, "/right");
    EXPECT_EQ(Entries(text), expected);
    EXPECT_TRUE(text.starts_with("/right::" + std::to_string(expected.size()) + "\r\n"));
}

// A folder whose own entry is not recorded is kept while something below it is; with nothing
// known beyond the previous state, the previous state comes back byte for byte.
TEST(StateSavingTest, FoldersFollowTheirContentsAndAnUntouchedStateStaysByteForByte) {
    auto result = TFileTree::Create({}, nullptr), seen = TFileTree::Create({}, nullptr);
    auto relisted = TFileTree::Create({}, nullptr), previous = TFileTree::Create({}, nullptr);
    // A folder new on the left, copied to the right: the folder row itself ran no operation.
    TFileTree* d = AddEntry(*result, "/", "d", true, 4);
    d->SetStatus(ACTION_LEFT_ONLY);
    TFileTree* f = AddEntry(*d, "/d/", "x", false, 6);
    f->DoneAction = ACTION_LEFT_ONLY;
    f->RightDate = f->RightSize = 6;
    TFileTree* e = AddEntry(*result, "/", "e", true, 4);  // a folder whose only file failed
    AddEntry(*e, "/e/", "y", false, 6)->SetStatus(ACTION_ERROR);
    AddEntry(*AddEntry(*relisted, "/", "d", true, 8), "/d/", "x", false, 6);
    EXPECT_EQ(Entries(BuildSavedState(1, {result.get(), seen.get(), nullptr, relisted.get()}, "/r")),
              (std::vector<std::string>{"/d:8", "/d/x:6"}));

    TFileTree* g = AddEntry(*previous, "/", "g:%", true, 2);
    AddEntry(*g, "/g:%/", "h\r", false, 3);
    AddEntry(*previous, "/", "z", false, 1);
    std::string stored;
    previous->SaveToStream(stored, "/r:%");
    EXPECT_EQ(BuildSavedState(0, {nullptr, nullptr, previous.get(), nullptr}, "/r:%"), stored);
    EXPECT_EQ(Entries(stored), (std::vector<std::string>{"/g:%:2", "/g:%/h\r:3", "/z:1"}));
    EXPECT_EQ(TFileTree::TextHash(stored), TFileTree::TextHash(std::string(stored)));
    EXPECT_NE(TFileTree::TextHash(stored), TFileTree::TextHash(stored + " "));
}

}  // namespace
}  // namespace bfs
