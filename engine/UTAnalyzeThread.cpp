#include "engine/UTAnalyzeThread.h"

#include "engine/UTDecision.h"
#include "model/UTConsts.h"
#include "model/UTListOrder.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "model/UTSysConfig.h"

#include <exception>
#include <thread>
#include <utility>

namespace bfs {

namespace {

TFileTreeRef OrEmptyRoot(TFileTreeRef Tree) {
    return Tree ? std::move(Tree) : TFileTree::Create({}, nullptr);
}

void TakeRightFields(TFileTree& A, const TFileTree& B) {
    if (!B.Data) return;
    A.RightDate = B.Data->FileDate;
    A.RightAttr = B.Data->Attr;
    A.RightSize = B.Data->Size;
}

int32_t DateOf(const TFileTree& Node) {
    return Node.Data ? Node.Data->FileDate : 0;
}

std::string EntryPath(const TFileTree& Node) {
    return Node.Data ? Node.Data->Path + Node.Name : Node.Name;
}

void ClearChildren(TFileTree& Node) {
    Node.Children.clear();
    Node.ChildCount = 0;
}

}  // namespace

TAnalyzeThread::TAnalyzeThread(TSyncTask& Task, TFileTreeRef LeftTree, TFileTreeRef RightTree,
                               TFileTreeRef Result, TFileTreeRef LeftSaved, TFileTreeRef RightSaved)
    : TThread(false),
      Task(Task),
      LeftTree(OrEmptyRoot(std::move(LeftTree))),
      RightTree(OrEmptyRoot(std::move(RightTree))),
      Result(OrEmptyRoot(std::move(Result))),
      RightSaved(OrEmptyRoot(std::move(RightSaved))),
      LeftSaved(OrEmptyRoot(std::move(LeftSaved))),
      LeftChanges(TFileTree::Create({}, nullptr)),
      RightChanges(TFileTree::Create({}, nullptr)),
      GlobalIncludeFilter(SysConfig().IncludeFilter),
      GlobalExcludeFilter(SysConfig().ExcludeFilter) {}

TAnalyzeThread::~TAnalyzeThread() {
    // The body works on our members: end it before they go.
    Terminate();
    WaitFor();
}

int32_t TAnalyzeThread::DecideTwoWay(int32_t LeftCode, int32_t RightCode, int32_t IsFolder) {
    return DecideTwoWayCode(LeftCode, RightCode, IsFolder);
}

int32_t TAnalyzeThread::MapAction(const TSyncTask& Task, int32_t Code) {
    return MapActionCode(Task.SyncDirection, Task.ForcedOrVerified, Task.IsDeleteFile, Code);
}

void TAnalyzeThread::SetStatusDeep(TFileTree& Node, int32_t Code) {
    std::vector<TFileTree*> pending{&Node};
    while (!pending.empty()) {
        TFileTree* node = pending.back();
        pending.pop_back();
        node->SetStatus(Code);
        for (const TFileTreeRef& child : node->Children) pending.push_back(child.get());
    }
}

void TAnalyzeThread::CompareTrees(TFileTree& Left, TFileTree& Right, TFileTree& Result) {
    Walk(TMerge::Trees, Left, Right, Result);
}

void TAnalyzeThread::DiffWithSaved(TFileTree& Current, TFileTree& Saved, TFileTree& Changes) {
    Walk(TMerge::Saved, Current, Saved, Changes);
}

void TAnalyzeThread::CompareChanges(TFileTree& LeftChanges, TFileTree& RightChanges, TFileTree& Result) {
    Walk(TMerge::Changes, LeftChanges, RightChanges, Result);
}

// The level walk shared by the three merges. Each work item merges the children of A and B into R;
// a pair of folders whose contents need merging adds an item instead of recursing.
void TAnalyzeThread::Walk(TMerge Kind, TFileTree& A, TFileTree& B, TFileTree& R) {
    std::vector<TWalkItem> pending{{&A, &B, &R}};
    while (!pending.empty()) {
        const TWalkItem item = pending.back();
        pending.pop_back();
        const TFileTreeList& as = item.A->Children;
        const TFileTreeList& bs = item.B->Children;
        std::size_t i = 0, j = 0;
        while (i < as.size()) {
            if (Terminated()) return;  // the result stays as far as it was filled
            if (j >= bs.size()) {
                MoveOneSided(Kind, as[i++], true, *item.R);
                continue;
            }
            const TFileTreeRef& a = as[i];
            const TFileTreeRef& b = bs[j];
            const bool af = a->IsFolder(), bf = b->IsFolder();
            // Folders come before files, so a folder facing a file has no partner at this point.
            const int c = af != bf ? (af ? -1 : 1) : CompareNames(a->Name, b->Name);
            if (c < 0) {
                MoveOneSided(Kind, as[i++], true, *item.R);
            } else if (c > 0) {
                MoveOneSided(Kind, bs[j++], false, *item.R);
            } else {
                MergePair(Kind, a, b, *item.R, pending);
                ++i;
                ++j;
            }
        }
        while (j < bs.size()) {
            if (Terminated()) return;
            MoveOneSided(Kind, bs[j++], false, *item.R);
        }
    }
}

void TAnalyzeThread::MoveOneSided(TMerge Kind, const TFileTreeRef& Node, bool FromA, TFileTree& R) {
    switch (Kind) {
        case TMerge::Trees:
            SetStatusDeep(*Node, MapAction(Task, FromA ? ACTION_LEFT_ONLY : ACTION_RIGHT_ONLY));
            break;
        case TMerge::Saved:
            SetStatusDeep(*Node, FromA ? ACTION_NEW : ACTION_DELETED);
            break;
        case TMerge::Changes: {
            // An entry deleted on its side and unknown to the other exists nowhere: nothing to copy.
            // Every entry below a deleted folder is deleted too, so one subtree walk decides it all.
            const int32_t copy = MapAction(Task, FromA ? ACTION_LEFT_ONLY : ACTION_RIGHT_ONLY);
            std::vector<TFileTree*> pending{Node.get()};
            while (!pending.empty()) {
                TFileTree* node = pending.back();
                pending.pop_back();
                if (node->Status == ACTION_DELETED) {
                    SetStatusDeep(*node, ACTION_SAME);
                    continue;
                }
                node->SetStatus(copy);
                for (const TFileTreeRef& child : node->Children) pending.push_back(child.get());
            }
            break;
        }
    }
    R.AppendNode(Node);
}

void TAnalyzeThread::MergePair(TMerge Kind, const TFileTreeRef& A, const TFileTreeRef& B, TFileTree& R,
                               std::vector<TWalkItem>& Pending) {
    TFileTree& a = *A;
    TFileTree& b = *B;
    const bool unknown = a.NotListed || b.NotListed;

    if (a.IsFolder()) {
        const bool anyChildren = !a.Children.empty() || !b.Children.empty();
        if (Kind == TMerge::Changes && !anyChildren) {
            TakeRightFields(a, b);
            a.SetStatus(MapAction(Task, DecideTwoWay(a.Status, b.Status, 1)));
            a.NotListed = unknown;
            R.AppendNode(A);
            return;
        }
        TFileTree* node = R.AddChild(a.Name, a.Data);
        node->NotListed = unknown;
        if (Kind == TMerge::Changes && !(a.Status == ACTION_NONE && b.Status == ACTION_NONE))
            node->SetStatus(MapAction(Task, DecideTwoWay(a.Status, b.Status, 1)));
        if (anyChildren) Pending.push_back({&a, &b, node});
        return;
    }

    TakeRightFields(a, b);
    switch (Kind) {
        case TMerge::Trees: {
            const int c = CompareFileDates(DateOf(a), DateOf(b));
            a.SetStatus(c > 0 ? MapAction(Task, ACTION_LEFT_NEWER)
                              : (c < 0 ? MapAction(Task, ACTION_RIGHT_NEWER) : ACTION_SAME));
            break;
        }
        case TMerge::Saved:
            a.SetStatus(CompareFileDates(DateOf(a), DateOf(b)) != 0 ? ACTION_CHANGED : ACTION_SAME);
            break;
        case TMerge::Changes:
            if (Task.AutoRun == 1 && a.Status == ACTION_CHANGED && b.Status == ACTION_CHANGED) {
                // Changed on both sides in an automatic run: the newer file wins when the task says
                // so (a tie goes to the right), otherwise the entry is left alone.
                if (Task.Conflicts == 1)
                    a.SetStatus(MapAction(Task, CompareFileDates(DateOf(a), DateOf(b)) > 0
                                                    ? ACTION_LEFT_NEWER
                                                    : ACTION_RIGHT_NEWER));
            } else {
                a.SetStatus(MapAction(Task, DecideTwoWay(a.Status, b.Status, 0)));
            }
            break;
    }
    R.AppendNode(A);
}

void TAnalyzeThread::HoldBackUnknown(bool NoDeletionOnRight, bool NoDeletionOnLeft) {
    std::vector<TFileTree*> pending{Result.get()};
    while (!pending.empty()) {
        TFileTree* node = pending.back();
        pending.pop_back();
        if (node->NotListed) {
            for (const TFileTreeRef& child : node->Children) SetStatusDeep(*child, ACTION_NOT_COPY);
            continue;
        }
        for (const TFileTreeRef& child : node->Children) {
            if ((NoDeletionOnRight && child->Status == ACTION_DELETED_LEFT) ||
                (NoDeletionOnLeft && child->Status == ACTION_DELETED_RIGHT))
                child->SetStatus(ACTION_NOT_COPY);
            pending.push_back(child.get());
        }
    }
}

void TAnalyzeThread::NoteNotListed(const TFileTree& Listing, const char* Side, const std::string& Address) {
    if (Listing.NotListed) {
        Notes.push_back(std::string("The ") + Side + " folder " + Address +
                        " could not be listed completely: nothing is copied or deleted.");
        return;
    }
    std::vector<const TFileTree*> pending{&Listing};
    while (!pending.empty()) {
        const TFileTree* node = pending.back();
        pending.pop_back();
        // Children in reverse, so the notes come out in listing order.
        for (auto it = node->Children.rbegin(); it != node->Children.rend(); ++it) {
            const TFileTree& child = **it;
            if (child.NotListed)
                Notes.push_back(std::string("The ") + Side + " folder " + EntryPath(child) +
                                " could not be listed completely: nothing below it is copied or deleted.");
            else
                pending.push_back(&child);
        }
    }
}

const TFileFilter& TAnalyzeThread::Filter() {
    if (!m_Filter) {
        m_Filter = std::make_unique<TFileFilter>(Task, GlobalIncludeFilter, GlobalExcludeFilter);
        IncludePattern = m_Filter->IncludePattern();
        ExcludePattern = m_Filter->ExcludePattern();
    }
    return *m_Filter;
}

int32_t TAnalyzeThread::FilterNode(const TFileTree& Node) {
    return Filter().FilterNode(Node);
}

void TAnalyzeThread::ApplyFilters(TFileTree& Node) {
    Filter().ApplyFilters(Node);
}

void TAnalyzeThread::Analyze() {
    // Patterns first: a mask that does not compile gives no plan at all, never a half-filtered one.
    if (!Filter().Ok()) {
        ErrorText = Filter().ErrorText();
        return;
    }

    TFileTree& result = *Result;
    result.NotListed = LeftTree->NotListed || RightTree->NotListed;
    NoteNotListed(*LeftTree, "left", Task.LFolder->FolerAllName);
    NoteNotListed(*RightTree, "right", Task.RFolder->FolerAllName);

    bool noDeletionOnRight = false, noDeletionOnLeft = false;
    const bool savedUsable = !LeftSaved->Children.empty() && !RightSaved->Children.empty();
    if (savedUsable && Trim(LeftSaved->Name) == Trim(Task.LFolder->FolerAllName) &&
        Trim(RightSaved->Name) == Trim(Task.RFolder->FolerAllName)) {
        // A side that lists nothing although its saved state holds entries is most likely not there
        // (an unmounted disk lists as an empty folder): its "deletions" are not carried over.
        if (LeftTree->Children.empty()) {
            noDeletionOnRight = true;
            Notes.push_back("The left folder " + Task.LFolder->FolerAllName +
                            " is empty although it held entries at the last sync: no deletion is planned on "
                            "the right.");
        }
        if (RightTree->Children.empty()) {
            noDeletionOnLeft = true;
            Notes.push_back("The right folder " + Task.RFolder->FolerAllName +
                            " is empty although it held entries at the last sync: no deletion is planned on "
                            "the left.");
        }
        // The two sides' comparisons with their saved states share nothing: the left one runs on a
        // thread of its own meanwhile.
        std::exception_ptr leftFailure;
        std::thread left([&] {
            try {
                DiffWithSaved(*LeftTree, *LeftSaved, *LeftChanges);
            } catch (...) {
                leftFailure = std::current_exception();
            }
        });
        try {
            DiffWithSaved(*RightTree, *RightSaved, *RightChanges);
        } catch (...) {
            left.join();
            throw;
        }
        left.join();
        if (leftFailure) std::rethrow_exception(leftFailure);
        CompareChanges(*LeftChanges, *RightChanges, result);
    } else {
        if (savedUsable)
            Notes.push_back(
                "The saved states were written for other folders: the folders are compared "
                "without them, so no deletion is detected.");
        CompareTrees(*LeftTree, *RightTree, result);
    }
    if (Terminated()) Notes.push_back("The analysis was cancelled: the plan is incomplete.");

    HoldBackUnknown(noDeletionOnRight, noDeletionOnLeft);
    ApplyFilters(result);
}

void TAnalyzeThread::Execute() {
    try {
        Analyze();
        return;
    } catch (const std::exception& e) {
        LogError("Analysis", e);
        ErrorText = std::string("The analysis failed: ") + e.what();
    }
    // A failed analysis leaves no plan behind: half a plan could be carried out.
    ClearChildren(*Result);
}

}  // namespace bfs
