#include "engine/UTPlan.h"

#include "model/UTConsts.h"

#include <vector>

namespace bfs {

namespace {

void AddCounters(TFileTree& to, const TFileTree& from) {
    to.ErrorCount += from.ErrorCount;
    to.ConflictCount += from.ConflictCount;
    to.IncludedCount += from.IncludedCount;
    to.ExcludedCount += from.ExcludedCount;
    to.NewCount += from.NewCount;
    to.OverwriteCount += from.OverwriteCount;
    to.DeleteCount += from.DeleteCount;
    to.LtoRCount += from.LtoRCount;
    to.RtoLCount += from.RtoLCount;
    to.SameCount += from.SameCount;
}

void SetLeftFromEntry(TFileTree& n) {
    n.LeftDate = n.Data->FileDate;
    n.LeftAttr = n.Data->Attr;
    n.LeftSize = n.Data->Size;
}
void SetRightFromEntry(TFileTree& n) {
    n.RightDate = n.Data->FileDate;
    n.RightAttr = n.Data->Attr;
    n.RightSize = n.Data->Size;
}
void ClearLeft(TFileTree& n) {
    n.LeftDate = n.LeftAttr = 0, n.LeftSize = 0;
}
void ClearRight(TFileTree& n) {
    n.RightDate = n.RightAttr = 0, n.RightSize = 0;
}

// A folder entry read back from a saved state carries size -1; row sums count only real bytes.
int64_t RowBytes(int64_t size) {
    return size > 0 ? size : 0;
}

}  // namespace

void TPlan::InitResultTree(const std::string& SyncName) {
    RootNode.reset();
    if (SyncName.empty()) return;
    RootNode = std::make_unique<TPlanRow>();
    RootNode->Data.Name = SyncName;
    RootNode->Data.ImageIndex = IMAGE_TASK;
    RootNode->Data.Action = ACTION_NONE;
}

bool TPlan::Admits(const TFileTree& n, int32_t Kind) {
    switch (static_cast<TViewKind>(Kind)) {
        case VIEW_ALL:
            return true;
        case VIEW_CHANGES:
            return n.NewCount + n.OverwriteCount + n.DeleteCount + n.LtoRCount + n.RtoLCount >= 1;
        case VIEW_CONFLICTS:
            return n.ConflictCount >= 1;
        case VIEW_ERRORS:
            return n.ErrorCount >= 1;
        case VIEW_INCLUDED:
            return n.IncludedCount >= 1;
        case VIEW_EXCLUDED:
            return n.ExcludedCount >= 1;
        case VIEW_NEW:
            return n.NewCount >= 1;
        case VIEW_OVERWRITE:
            return n.OverwriteCount >= 1;
        case VIEW_DELETE:
            return n.DeleteCount >= 1;
        case VIEW_LTOR:
            return n.LtoRCount >= 1;
        case VIEW_RTOL:
            return n.RtoLCount >= 1;
    }
    return false;  // an unknown kind admits nothing
}

void TPlan::RecountResults(TFileTree& ResultTree) {
    LeftBytes = 0;
    RightBytes = 0;
    auto enter = [](TFileTree& n) {
        if (!n.Data) {
            n.ClearFlags();
        } else if (n.Data->IsFolder) {
            n.ClearFlags();
            n.LeftSize = 0;
            n.RightSize = 0;
        }
    };
    // Folds a finished child into its parent: fills the child's side fields by its code, counts
    // the bytes it writes, and adds its counters.
    // Folds a finished child into its parent: fills the child's side fields (what the analysis saw
    // on each side: its entry, or zeros where it saw none), counts the bytes its code writes, and
    // adds its counters. The fields do not depend on the code, so changing a row's code keeps them.
    auto fold = [this](TFileTree& parent, TFileTree& c) {
        if (c.Data) {
            const bool leftAbsent = (c.Flags & NODE_LEFT_ABSENT) != 0;
            const bool rightAbsent = (c.Flags & NODE_RIGHT_ABSENT) != 0;
            switch (c.Status) {
                case ACTION_RIGHT_ONLY:
                case ACTION_DELETED_LEFT:
                    // Data is the right entry unless the merge paired the node and filled the right fields.
                    if (c.RightAttr == -1) SetRightFromEntry(c);
                    ClearLeft(c);
                    break;
                case ACTION_LEFT_ONLY:
                case ACTION_DELETED_RIGHT:
                    SetLeftFromEntry(c);
                    ClearRight(c);
                    break;
                default:
                    if (leftAbsent && !rightAbsent) {
                        if (c.RightAttr == -1) SetRightFromEntry(c);
                    } else if (!leftAbsent) {
                        SetLeftFromEntry(c);
                    }
                    break;
            }
            if (leftAbsent) ClearLeft(c);
            if (rightAbsent) ClearRight(c);
            switch (c.Status) {
                case ACTION_RIGHT_ONLY:
                    LeftBytes += RowBytes(c.RightSize);
                    break;
                case ACTION_LEFT_ONLY:
                    RightBytes += RowBytes(c.LeftSize);
                    break;
                // An overwrite counts the size of the file it replaces on the receiving side.
                case ACTION_RIGHT_NEWER:
                    LeftBytes += RowBytes(c.LeftSize);
                    break;
                case ACTION_LEFT_NEWER:
                    RightBytes += RowBytes(c.RightSize);
                    break;
                default:
                    break;
            }
        }
        AddCounters(parent, c);
    };

    struct TFrame {
        TFileTree* Node;
        size_t Next;
        bool Descended;
    };
    std::vector<TFrame> stack;
    enter(ResultTree);
    stack.push_back({&ResultTree, 0, false});
    while (!stack.empty()) {
        TFrame& f = stack.back();
        if (f.Next >= f.Node->Children.size()) {
            stack.pop_back();
            continue;
        }
        TFileTree& c = *f.Node->Children[f.Next];
        if (!c.Children.empty() && !f.Descended) {
            f.Descended = true;
            enter(c);
            stack.push_back({&c, 0, false});  // f is not used after this
            continue;
        }
        fold(*f.Node, c);
        ++f.Next;
        f.Descended = false;
    }
}

void TPlan::BuildResultNodes(TPlanRow& Row, TFileTree& Node, int32_t Kind) {
    struct TFrame {
        TPlanRow* Row;
        TFileTree* Node;
        size_t Next;
    };
    std::vector<TFrame> stack{{&Row, &Node, 0}};
    while (!stack.empty()) {
        TFrame& f = stack.back();
        if (f.Next >= f.Node->Children.size()) {
            TPlanRow* done = f.Row;
            stack.pop_back();
            // A row with rows below it adds its sizes, which now include theirs, to its parent.
            if (!stack.empty()) {
                stack.back().Row->Data.RightSize += done->Data.RightSize;
                stack.back().Row->Data.LeftSize += done->Data.LeftSize;
            }
            continue;
        }
        TFileTree& c = *f.Node->Children[f.Next++];
        if (!Admits(c, Kind) || !c.Data) continue;
        TPlanRow* r = f.Row->AddChild();
        TResultNodeData& d = r->Data;
        d.FolderPath = c.Data->Path;
        d.Name = c.Data->Name;
        d.IsFolder = c.Data->IsFolder;
        d.ResultNode = TFileTreeRef(&c);
        d.ImageIndex = d.IsFolder ? IMAGE_FOLDER : (FileImage ? FileImage(d.Name) : IMAGE_FILE);
        d.Action = c.Status;
        d.LtoRCount = c.LtoRCount;
        d.RtoLCount = c.RtoLCount;
        d.LeftDate = c.LeftDate;
        d.LeftAttr = c.LeftAttr;
        d.LeftSize = d.IsFolder ? RowBytes(c.LeftSize) : c.LeftSize;
        d.RightDate = c.RightDate;
        d.RightAttr = c.RightAttr;
        d.RightSize = d.IsFolder ? RowBytes(c.RightSize) : c.RightSize;
        f.Row->Data.RightSize += d.RightSize;
        f.Row->Data.LeftSize += d.LeftSize;
        if (!c.Children.empty()) stack.push_back({r, &c, 0});  // f is not used after this
    }
}

void TPlan::SumRootNode() {
    if (!RootNode) return;
    TResultNodeData& d = RootNode->Data;
    d.RightSize = d.LeftSize = 0;
    d.LtoRCount = d.RtoLCount = 0;
    for (const auto& c : RootNode->Children) {
        d.RightSize += c->Data.RightSize;
        d.LeftSize += c->Data.LeftSize;
        d.LtoRCount += c->Data.LtoRCount;
        d.RtoLCount += c->Data.RtoLCount;
    }
    d.Action = ACTION_NONE;
}

void TPlan::ShowView(TFileTree& ResultTree, int32_t Kind, const std::string& SyncName) {
    RecountResults(ResultTree);
    InitResultTree(SyncName);
    if (!RootNode) return;
    BuildResultNodes(*RootNode, ResultTree, Kind);
    RecountResults(ResultTree);
    RootNode->Data.LtoRCount = ResultTree.LtoRCount;
    RootNode->Data.RtoLCount = ResultTree.RtoLCount;
    SumRootNode();
}

void TPlan::SetNodeAction(TPlanRow& Row, int32_t Code) {
    std::vector<TPlanRow*> stack{&Row};
    while (!stack.empty()) {
        TPlanRow* r = stack.back();
        stack.pop_back();
        r->Data.Action = Code;
        if (r != RootNode.get() && r->Data.ResultNode) r->Data.ResultNode->SetStatus(Code);
        for (auto& c : r->Children) stack.push_back(c.get());
    }
}

}  // namespace bfs
