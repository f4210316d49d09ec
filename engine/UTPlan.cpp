#include "engine/UTPlan.h"

#include "engine/UTFilter.h"
#include "engine/UTSyncTask.h"
#include "model/UTConsts.h"
#include "model/UTSysConfig.h"

#include <algorithm>
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

// Which sides' file commands a row offers.
enum TFileSides : uint8_t { SIDES_NONE, SIDES_LEFT, SIDES_RIGHT, SIDES_BOTH };

// The row menu by action code: direction commands and the sides of the file commands. A code not
// listed offers nothing.
struct TMenuRule {
    int32_t Action;
    bool LtoR, RtoL, NotCopy;
    TFileSides Sides;
};
constexpr TMenuRule MENU_RULES[] = {
    {ACTION_NONE, true, true, true, SIDES_NONE},
    {ACTION_CONFLICT, true, true, true, SIDES_BOTH},
    {ACTION_LEFT_ONLY, false, false, true, SIDES_LEFT},
    {ACTION_RIGHT_ONLY, false, false, true, SIDES_RIGHT},
    {ACTION_SAME, true, true, false, SIDES_BOTH},
    {ACTION_RIGHT_NEWER, true, false, true, SIDES_BOTH},
    {ACTION_LEFT_NEWER, false, true, true, SIDES_BOTH},
    {ACTION_NOT_COPY, true, true, false, SIDES_BOTH},
    {ACTION_DELETED_LEFT, false, false, true, SIDES_NONE},
    {ACTION_DELETED_RIGHT, false, false, true, SIDES_NONE},
};

// A file row's commands on a side open, delete and save its file there, and open its folder; on
// both sides the folders are not offered. A folder row offers only opening the folder.
void EnableFileActions(TRowMenu& m, bool IsFolder, TFileSides Sides) {
    const bool left = Sides == SIDES_LEFT || Sides == SIDES_BOTH;
    const bool right = Sides == SIDES_RIGHT || Sides == SIDES_BOTH;
    if (IsFolder) {
        m.OpenLeftFolder = left;
        m.OpenRightFolder = right;
        return;
    }
    m.OpenLeftFile = m.DeleteLeftFile = m.SaveLeftFileAs = left;
    m.OpenRightFile = m.DeleteRightFile = m.SaveRightFileAs = right;
    m.OpenLeftFolder = Sides == SIDES_LEFT;
    m.OpenRightFolder = Sides == SIDES_RIGHT;
}

// Text in the form the stored masks are written for: "/" shown as "\".
std::string BackslashForm(std::string Text) {
    std::replace(Text.begin(), Text.end(), '/', '\\');
    return Text;
}

std::string Quoted(const std::string& Text) {
    return "\"" + Text + "\"";
}

}  // namespace

std::string ExtractFileExt(std::string_view Name) {
    const std::size_t dot = Name.rfind('.');
    return dot == std::string_view::npos ? std::string() : std::string(Name.substr(dot));
}

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
            // An excluded entry is never written: its bytes need no room.
            const int32_t writes = (c.Flags & NODE_EXCLUDED) != 0 ? ACTION_NONE : c.Status;
            switch (writes) {
                case ACTION_RIGHT_ONLY:
                    LeftBytes += RowBytes(c.RightSize);
                    break;
                case ACTION_LEFT_ONLY:
                    RightBytes += RowBytes(c.LeftSize);
                    break;
                // An overwrite counts the incoming file: its copy is written whole beside the file
                // it replaces before that one goes.
                case ACTION_RIGHT_NEWER:
                    LeftBytes += RowBytes(c.RightSize);
                    break;
                case ACTION_LEFT_NEWER:
                    RightBytes += RowBytes(c.LeftSize);
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
        if (r != RootNode.get() && r->Data.ResultNode) {
            TFileTree& node = *r->Data.ResultNode;
            node.SetStatus(Code);
            // An excluded entry keeps counting as nothing, whatever code it is given.
            if ((node.Flags & NODE_EXCLUDED) != 0) node.SetFilterState(ACTION_EXCLUDED);
        }
        for (auto& c : r->Children) stack.push_back(c.get());
    }
}

TRowMenu TPlan::PreparePopupMenu(const TPlanRow& Row, int32_t SyncDirection) {
    TRowMenu m;
    const TResultNodeData& d = Row.Data;
    const bool folder = d.IsFolder != 0;
    for (const TMenuRule& rule : MENU_RULES) {
        if (rule.Action != d.Action) continue;
        m.LtoR = rule.LtoR;
        m.RtoL = rule.RtoL;
        m.NotCopy = rule.NotCopy;
        EnableFileActions(m, folder, rule.Sides);
        break;
    }
    if (SyncDirection == 1) m.RtoL = false;
    if (SyncDirection == 2) m.LtoR = false;

    // The root row stands for the task, not an entry: it gives no mask.
    if (!d.ResultNode) return m;
    m.ShowNameItems = true;
    if (folder) {
        const std::string s = Quoted(BackslashForm(d.FolderPath + d.Name));
        m.IncludeName = "Include " + s + " Folder Only";
        m.ExcludeName = "Exclude " + s + " Folder Only";
        return m;
    }
    m.ShowTypeItems = true;
    const std::string s = Quoted(BackslashForm(d.Name));
    std::string mask = "*";
    mask += BackslashForm(ExtractFileExt(d.Name));
    const std::string type = Quoted(mask);
    m.IncludeType = "Include " + type + " Files Only";
    m.IncludeName = "Include " + s + " Files Only";
    m.ExcludeType = "Exclude All " + type + " Files";
    m.ExcludeName = "Exclude All " + s + " Files";
    return m;
}

std::string TPlan::FilterMask(const TPlanRow& Row, bool ByType, std::string* ErrorText) {
    const TResultNodeData& d = Row.Data;
    if (!d.ResultNode) return {};
    std::string mask;
    if (d.IsFolder)
        mask = d.FolderPath + d.Name;
    else
        mask = ByType ? ExtractFileExt(d.Name) : d.Name;
    mask = BackslashForm(std::move(mask));
    if (mask.empty()) return {};

    // A name is not a pattern: one with an unmatched bracket would make the task's masks unusable,
    // and every later analysis of the task would refuse to run.
    TSyncTask probe;
    probe.ExcludeFilter.push_back(mask);
    const TFileFilter filter(probe, {}, {});
    if (!filter.Ok()) {
        if (ErrorText) *ErrorText = filter.ErrorText();
        return {};
    }
    return mask;
}

void TPlan::ReapplyFilters(TFileTree& ResultTree, const TFileFilter& Filter) {
    std::vector<TFileTree*> pending{&ResultTree};
    while (!pending.empty()) {
        TFileTree* node = pending.back();
        pending.pop_back();
        for (const TFileTreeRef& child : node->Children) {
            const int32_t state = Filter.FilterNode(*child);
            // Excluding cleared the entry's counters: an entry let through again counts its code
            // again (a folder's are summed from the rows below it when the view is shown).
            if (state == ACTION_INCLUDED && (child->Flags & NODE_EXCLUDED) != 0)
                child->SetStatus(child->Status);
            child->SetFilterState(state);
            if (!child->Children.empty()) pending.push_back(child.get());
        }
    }
}

bool TPlan::ReapplyFilters(TFileTree& ResultTree, const TSyncTask& Task, std::string* ErrorText) {
    const TFileFilter filter(Task, SysConfig().IncludeFilter, SysConfig().ExcludeFilter);
    if (!filter.Ok()) {
        if (ErrorText) *ErrorText = filter.ErrorText();
        return false;
    }
    ReapplyFilters(ResultTree, filter);
    return true;
}

}  // namespace bfs
