#include "engine/UTStateSaving.h"

#include <algorithm>
#include <string>
#include <vector>

#include "model/UTConsts.h"
#include "model/UTListOrder.h"

namespace bfs {

namespace {

// Position of the first child not ordered before (IsFolder, Name) in the listing order.
TFileTreeList::iterator LowerBound(TFileTree& Parent, std::string_view Name, bool IsFolder) {
    return std::lower_bound(Parent.Children.begin(), Parent.Children.end(), 0,
                            [&](const TFileTreeRef& c, int) {
                                if (c->IsFolder() != IsFolder) return c->IsFolder();
                                return CompareNames(c->Name, Name) < 0;
                            });
}

TFileTree* FindChild(TFileTree& Parent, std::string_view Name, bool IsFolder) {
    auto it = LowerBound(Parent, Name, IsFolder);
    if (it == Parent.Children.end() || (*it)->IsFolder() != IsFolder || (*it)->Name != Name) return nullptr;
    return it->get();
}

TFileTree* InsertChild(TFileTree& Parent, TFileTreeRef Node) {
    auto it = LowerBound(Parent, Node->Name, Node->IsFolder());
    Node->Parent = &Parent;
    TFileTree* raw = Node.get();
    Parent.Children.insert(it, std::move(Node));
    Parent.ChildCount = static_cast<int32_t>(Parent.Children.size());
    return raw;
}

std::vector<std::string_view> Components(std::string_view Path) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i < Path.size()) {
        size_t j = Path.find('/', i);
        if (j == std::string_view::npos) j = Path.size();
        if (j > i) parts.push_back(Path.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

bool EndedDone(const TFileTree& n) {
    switch (n.Status) {
        case ACTION_NONE:
        case ACTION_SAME:
        case ACTION_NOT_COPY: return true;
        default: break;
    }
    // An entry the filters excluded was never meant to be synced; its listing is saved as it stands.
    // (Only a leaf's counters are its own: a folder's are sums over what lies below it.)
    return n.Children.empty() && n.ExcludedCount > 0 && n.IncludedCount == 0;
}

void Restore(TFileTree& NewState, const TFileTree* Previous, const TFileTree& Entry) {
    const std::string& path = Entry.Data->Path;
    const std::string& name = Entry.Name;
    const bool folder = Entry.IsFolder();
    TFileTree* prev = Previous ? FindEntry(const_cast<TFileTree&>(*Previous), path, name, folder) : nullptr;

    // Walk (and, when the previous entry must come back, rebuild) the folders above the entry.
    TFileTree* cur = &NewState;
    TFileTree* prevCur = Previous ? const_cast<TFileTree*>(Previous) : nullptr;
    for (std::string_view part : Components(path)) {
        TFileTree* next = FindChild(*cur, part, true);
        TFileTree* prevNext = prevCur ? FindChild(*prevCur, part, true) : nullptr;
        if (!next) {
            if (!prev || !prevNext) return;  // nothing there now, and nothing to bring back
            next = InsertChild(*cur, TFileTree::Create(prevNext->Name, prevNext->Data));
        }
        cur = next;
        prevCur = prevNext;
    }

    TFileTree* now = FindChild(*cur, name, folder);
    if (prev) {
        if (now)
            now->Data = prev->Data;
        else
            InsertChild(*cur, TFileTree::Create(prev->Name, prev->Data));
    } else if (now && now->Children.empty()) {
        auto it = LowerBound(*cur, name, folder);
        cur->Children.erase(it);
        cur->ChildCount = static_cast<int32_t>(cur->Children.size());
    }
}

}  // namespace

TFileTree* FindEntry(TFileTree& Root, std::string_view Path, std::string_view Name, bool IsFolder) {
    TFileTree* cur = &Root;
    for (std::string_view part : Components(Path)) {
        cur = FindChild(*cur, part, true);
        if (!cur) return nullptr;
    }
    return FindChild(*cur, Name, IsFolder);
}

void KeepUnlisted(TFileTree& NewState, const TFileTree* Previous) {
    if (!Previous) return;
    std::vector<TFileTree*> stack{&NewState};
    while (!stack.empty()) {
        TFileTree* n = stack.back();
        stack.pop_back();
        if (n->NotListed && n != &NewState && n->Data) {
            TFileTree* prev = FindEntry(const_cast<TFileTree&>(*Previous), n->Data->Path, n->Name, true);
            if (prev) {
                n->Children = prev->Children;
                n->ChildCount = static_cast<int32_t>(n->Children.size());
            }
            continue;
        }
        for (auto& c : n->Children) stack.push_back(c.get());
    }
}

void KeepUnsynced(TFileTree& NewState, const TFileTree* Previous, const TFileTree& Result) {
    std::vector<const TFileTree*> stack{&Result};
    std::vector<const TFileTree*> pending;
    while (!stack.empty()) {
        const TFileTree* n = stack.back();
        stack.pop_back();
        if (n->Data && !EndedDone(*n)) pending.push_back(n);
        for (const auto& c : n->Children) stack.push_back(c.get());
    }
    for (const TFileTree* n : pending) Restore(NewState, Previous, *n);
}

}  // namespace bfs
