#include "engine/UTAnalyzeThread.h"

#include "engine/UTDecision.h"
#include "model/UTConsts.h"
#include "model/UTDosTime.h"
#include "model/UTFolderForm.h"
#include "model/UTListOrder.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "model/UTSysConfig.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <unordered_map>
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

// SetStatus(Code) and the marks Flags on Node and every node below it.
void MarkDeep(TFileTree& Node, int32_t Code, uint8_t Flags) {
    std::vector<TFileTree*> pending{&Node};
    while (!pending.empty()) {
        TFileTree* node = pending.back();
        pending.pop_back();
        node->SetStatus(Code);
        node->Flags |= Flags;
        for (const TFileTreeRef& child : node->Children) pending.push_back(child.get());
    }
}

// Whether two entries of one name would be written alike into a saved state (a folder's size is
// not stored), and both were read in full.
bool SameStoredFields(const TFileTree& A, const TFileTree& B) {
    const TFileAttri& a = *A.Data;
    const TFileAttri& b = *B.Data;
    return !A.NotListed && !B.NotListed && a.FileDate == b.FileDate && a.Attr == b.Attr &&
           (a.IsFolder != 0 || a.Size == b.Size);
}

// Which sides hold a paired entry now: a change code 8 says the side's entry is gone.
uint8_t AbsenceOfPair(const TFileTree& A, const TFileTree& B) {
    return static_cast<uint8_t>((A.Status == ACTION_DELETED ? NODE_LEFT_ABSENT : 0) |
                                (B.Status == ACTION_DELETED ? NODE_RIGHT_ABSENT : 0));
}

// Appends a node to a folder of the merge's output. Nodes that reach the result name their result
// folder as Parent, so the plan can walk upward from any row. The change trees are the analysis's
// own and go with it: a listing node only passing through them keeps its listing parent.
void TakeInto(TFileTree& R, const TFileTreeRef& Node, bool IntoResult) {
    if (IntoResult) Node->Parent = &R;
    R.AppendNode(Node);
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
bool TAnalyzeThread::Walk(TMerge Kind, TFileTree& A, TFileTree& B, TFileTree& R) {
    // Whether every entry found its partner with the same stored fields (see StateCurrent).
    bool same = !A.NotListed && !B.NotListed;
    std::vector<TWalkItem> pending{{&A, &B, &R}};
    while (!pending.empty()) {
        const TWalkItem item = pending.back();
        pending.pop_back();
        const TFileTreeList& as = item.A->Children;
        const TFileTreeList& bs = item.B->Children;
        std::size_t i = 0, j = 0;
        while (i < as.size()) {
            if (Terminated()) return false;  // the result stays as far as it was filled
            if (j >= bs.size()) {
                same = false;
                MoveOneSided(Kind, as[i++], true, *item.R);
                continue;
            }
            const TFileTreeRef& a = as[i];
            const TFileTreeRef& b = bs[j];
            const bool af = a->IsFolder(), bf = b->IsFolder();
            // Folders come before files, so a folder facing a file has no partner at this point.
            const int c = af != bf ? (af ? -1 : 1) : CompareNames(a->Name, b->Name);
            if (c < 0) {
                same = false;
                MoveOneSided(Kind, as[i++], true, *item.R);
            } else if (c > 0) {
                same = false;
                MoveOneSided(Kind, bs[j++], false, *item.R);
            } else {
                if (Kind == TMerge::Saved && same && !SameStoredFields(*a, *b)) same = false;
                MergePair(Kind, a, b, *item.R, pending);
                ++i;
                ++j;
            }
        }
        while (j < bs.size()) {
            if (Terminated()) return false;
            same = false;
            MoveOneSided(Kind, bs[j++], false, *item.R);
        }
    }
    return same;
}

void TAnalyzeThread::MoveOneSided(TMerge Kind, const TFileTreeRef& Node, bool FromA, TFileTree& R) {
    switch (Kind) {
        case TMerge::Trees:
            MarkDeep(*Node, MapAction(Task, FromA ? ACTION_LEFT_ONLY : ACTION_RIGHT_ONLY),
                     FromA ? NODE_RIGHT_ABSENT : NODE_LEFT_ABSENT);
            break;
        case TMerge::Saved:
            SetStatusDeep(*Node, FromA ? ACTION_NEW : ACTION_DELETED);
            break;
        case TMerge::Changes: {
            // An entry deleted on its side and unknown to the other exists nowhere: nothing to copy.
            // Every entry below a deleted folder is deleted too, so one subtree walk decides it all.
            const int32_t copy = MapAction(Task, FromA ? ACTION_LEFT_ONLY : ACTION_RIGHT_ONLY);
            const uint8_t otherAbsent = FromA ? NODE_RIGHT_ABSENT : NODE_LEFT_ABSENT;
            std::vector<TFileTree*> pending{Node.get()};
            while (!pending.empty()) {
                TFileTree* node = pending.back();
                pending.pop_back();
                if (node->Status == ACTION_DELETED) {
                    MarkDeep(*node, ACTION_SAME, NODE_LEFT_ABSENT | NODE_RIGHT_ABSENT);
                    continue;
                }
                node->SetStatus(copy);
                node->Flags |= otherAbsent;
                // A folder of the change tree holds listing nodes that still name their listing
                // folder: in the result they name this one.
                for (const TFileTreeRef& child : node->Children) {
                    child->Parent = node;
                    pending.push_back(child.get());
                }
            }
            break;
        }
    }
    TakeInto(R, Node, Kind != TMerge::Saved);
}

void TAnalyzeThread::MergePair(TMerge Kind, const TFileTreeRef& A, const TFileTreeRef& B, TFileTree& R,
                               std::vector<TWalkItem>& Pending) {
    TFileTree& a = *A;
    TFileTree& b = *B;
    const bool unknown = a.NotListed || b.NotListed;

    if (a.IsFolder()) {
        const bool anyChildren = !a.Children.empty() || !b.Children.empty();
        const uint8_t absent = Kind == TMerge::Changes ? AbsenceOfPair(a, b) : 0;
        if (Kind == TMerge::Changes && !anyChildren) {
            TakeRightFields(a, b);
            a.SetStatus(MapAction(Task, DecideTwoWay(a.Status, b.Status, 1)));
            a.Flags |= absent;
            a.NotListed = unknown;
            TakeInto(R, A, Kind != TMerge::Saved);
            return;
        }
        TFileTree* node = R.AddChild(a.Name, a.Data);
        TakeRightFields(*node, b);
        node->Flags |= absent;
        node->NotListed = unknown;
        if (Kind == TMerge::Changes && !(a.Status == ACTION_NONE && b.Status == ACTION_NONE))
            node->SetStatus(MapAction(Task, DecideTwoWay(a.Status, b.Status, 1)));
        if (anyChildren) Pending.push_back({&a, &b, node});
        return;
    }

    TakeRightFields(a, b);
    const bool sameSize = a.Data->Size == b.Data->Size;
    switch (Kind) {
        case TMerge::Trees: {
            // Equal dates with different sizes are two different files, not one: a conflict. With a
            // damaged saved state nothing is overwritten: any difference is a conflict. A date at an
            // end of the DOS range tells nothing, so equal ones there are a conflict until the
            // contents show the files are one.
            // Which is newer is told on one clock: dates equal only once the sides' clocks are
            // put alike, or a side whose clock cannot be put alike, tell nothing either.
            bool unsure = false;
            const int c = CompareFileDates(DateOf(a), DateOf(b));
            const int newer = c == 0 ? 0 : CompareNewer(DateOf(a), DateOf(b), unsure);
            if (c == 0)
                a.SetStatus(sameSize && !DosDateAtBound(DateOf(a)) ? ACTION_SAME : ACTION_CONFLICT);
            else if (NeverOverwrite || unsure || newer == 0)
                a.SetStatus(ACTION_CONFLICT);
            else
                a.SetStatus(MapAction(Task, newer > 0 ? ACTION_LEFT_NEWER : ACTION_RIGHT_NEWER));
            // A conflict of equal size (no date to go by, or a damaged saved state) is settled by the
            // contents; otherwise the newer file is copied, so that both sides then show one time.
            MarkForComparison(a, sameSize && a.Status == ACTION_CONFLICT);
            break;
        }
        case TMerge::Saved:
            // A new size is a change even under the same date: a side that dates to the minute (an
            // FTP listing) or to two seconds shows an edit made just after the sync that way. A file
            // dated at an end of the DOS range may have been changed without its date showing it.
            if (CompareFileDates(DateOf(a), DateOf(b)) != 0 || !sameSize) {
                a.SetStatus(ACTION_CHANGED);
            } else if (DosDateAtBound(DateOf(a))) {
                a.SetStatus(ACTION_CHANGED);
                a.Flags |= NODE_DATE_UNSURE;
            } else {
                a.SetStatus(ACTION_SAME);
            }
            break;
        case TMerge::Changes: {
            const uint8_t absent = AbsenceOfPair(a, b);
            const bool unsure = ((a.Flags | b.Flags) & NODE_DATE_UNSURE) != 0;
            a.Flags = static_cast<uint8_t>((a.Flags & ~NODE_DATE_UNSURE) | absent);
            const auto changed = [](int32_t Code) { return Code == ACTION_NEW || Code == ACTION_CHANGED; };
            const bool bothChanged = changed(a.Status) && changed(b.Status);
            if (Task.AutoRun == 1 && a.Status == ACTION_CHANGED && b.Status == ACTION_CHANGED) {
                // Changed on both sides in an automatic run: the newer file wins when the task says
                // so (a tie goes to the right), otherwise the entry is left alone. Two dates at one
                // end of the DOS range do not tell which is newer: such a pair is left alone too.
                // With a side's clock that cannot be put alike with ours, the pair is a conflict.
                bool unsureClock = false;
                const int newer = CompareNewer(DateOf(a), DateOf(b), unsureClock);
                if (Task.Conflicts == 1 && unsureClock)
                    a.SetStatus(ACTION_CONFLICT);
                else if (Task.Conflicts == 1 && !(newer == 0 && DosDateAtBound(DateOf(a))))
                    a.SetStatus(MapAction(Task, newer > 0 ? ACTION_LEFT_NEWER : ACTION_RIGHT_NEWER));
            } else {
                a.SetStatus(MapAction(Task, DecideTwoWay(a.Status, b.Status, 0)));
            }
            // Both present and of one size: the same file, whatever the dates, when the contents
            // are equal, which SettleEqualFiles looks at once the filters have run. That is asked
            // where the dates say nothing (equal, or an end of the range), where both sides changed,
            // and of every conflict: a run cut short after its copies leaves such pairs, newly dated
            // by the target and not in the saved state.
            const bool datesTellNothing = CompareFileDates(DateOf(a), DateOf(b)) == 0 || unsure;
            MarkForComparison(a, absent == 0 && sameSize &&
                                     (datesTellNothing || bothChanged || a.Status == ACTION_CONFLICT));
            break;
        }
    }
    TakeInto(R, A, Kind != TMerge::Saved);
}

int TAnalyzeThread::CompareNewer(int32_t LeftDate, int32_t RightDate, bool& Unsure) const {
    Unsure = ClockOffsets[0].Unsettled || ClockOffsets[1].Unsettled;
    // A date on this computer's clock: the side's offset taken out, through the instant (a DOS date is
    // local time). Dates at an end of the range, or naming no day, stay as they are.
    const auto onOurClock = [](int32_t Date, const TClockOffset& Clock) {
        const int64_t shift = Clock.Known && !Clock.Unsettled &&
                                      (Clock.Seconds >= CLOCK_TOLERANCE || Clock.Seconds <= -CLOCK_TOLERANCE)
                                  ? Clock.Seconds
                                  : 0;
        const int64_t instant = shift == 0 || DosDateAtBound(Date) ? -1 : DosDateInstant(Date);
        return instant == -1 ? Date : UnixTimeToDosDate(instant - shift);
    };
    return CompareFileDates(onOurClock(LeftDate, ClockOffsets[0]), onOurClock(RightDate, ClockOffsets[1]));
}

void TAnalyzeThread::MarkForComparison(TFileTree& Node, bool Candidate) {
    if (!Candidate || Node.Status == ACTION_SAME) return;
    Node.Flags |= NODE_COMPARE;
    ++m_CompareCount;
}

size_t TAnalyzeThread::HoldBackUnknown(bool NoDeletionOnRight, bool NoDeletionOnLeft) {
    size_t held = 0;
    std::vector<TFileTree*> pending{Result.get()};
    while (!pending.empty()) {
        TFileTree* node = pending.back();
        pending.pop_back();
        if (node->NotListed) {
            for (const TFileTreeRef& child : node->Children)
                MarkDeep(*child, ACTION_NOT_COPY, NODE_HELD_BACK);
            continue;
        }
        for (const TFileTreeRef& child : node->Children) {
            if ((NoDeletionOnRight && child->Status == ACTION_DELETED_LEFT) ||
                (NoDeletionOnLeft && child->Status == ACTION_DELETED_RIGHT)) {
                child->SetStatus(ACTION_NOT_COPY);
                child->Flags |= NODE_HELD_BACK;
                ++held;
            }
            pending.push_back(child.get());
        }
    }
    return held;
}

void TAnalyzeThread::Note(std::string Line, bool Fails) {
    if (Fails) Failures.push_back(Line);
    Notes.push_back(std::move(Line));
}

void TAnalyzeThread::MarkKindClashes() {
    // Which sides hold a result node now (the merges mark the side where it is absent): 1 left,
    // 2 right.
    const auto sides = [](const TFileTree& Node) {
        return (Node.Flags & NODE_LEFT_ABSENT ? 0 : 1) | (Node.Flags & NODE_RIGHT_ABSENT ? 0 : 2);
    };
    std::vector<TFileTree*> pending{Result.get()};
    std::unordered_map<std::string_view, TFileTree*> folders;
    std::vector<const TFileTree*> clashing;  // the folders of the level marked here
    while (!pending.empty()) {
        TFileTree* node = pending.back();
        pending.pop_back();
        // Folders come first in a level: their names are gathered, then each file is looked up.
        folders.clear();
        clashing.clear();
        for (const TFileTreeRef& child : node->Children) {
            if (child->IsFolder()) {
                if (sides(*child) != 0) folders.emplace(child->Name, child.get());
                continue;
            }
            if (folders.empty()) break;
            const auto folder = folders.find(child->Name);
            // An entry that no side holds any more (deleted on both) clashes with nothing.
            const int fileSides = sides(*child);
            if (folder == folders.end() || fileSides == 0) continue;
            const int folderSides = sides(*folder->second);
            MarkDeep(*folder->second, ACTION_CONFLICT, 0);
            clashing.push_back(folder->second);
            child->SetStatus(ACTION_CONFLICT);
            child->Flags &= static_cast<uint8_t>(~NODE_COMPARE);
            if ((fileSides & folderSides) != 0)
                Note("A file and a folder on one side are both named " + EntryPath(*child) +
                         ": neither is copied or deleted.",
                     false);
            else
                Note(std::string("The ") + (folderSides == 1 ? "left" : "right") +
                         " side holds a folder and the " + (fileSides == 1 ? "left" : "right") +
                         " side a file named " + EntryPath(*child) +
                         ": neither is copied or deleted until one of them is renamed or removed.",
                     false);
        }
        // Below a folder marked here everything is a conflict already.
        for (const TFileTreeRef& child : node->Children)
            if (child->IsFolder() &&
                std::find(clashing.begin(), clashing.end(), child.get()) == clashing.end())
                pending.push_back(child.get());
    }
}

void TAnalyzeThread::NoteClock(const TClockOffset& Clock, const char* Side, const std::string& Address) {
    if (Clock.Unsettled) {
        Note(std::string("The ") + Side + " folder " + Address +
                 " gave server times that disagree: where a newer file would win, it is left as a "
                 "conflict.",
             false);
    } else if (Clock.Known && (Clock.Seconds >= CLOCK_TOLERANCE || Clock.Seconds <= -CLOCK_TOLERANCE)) {
        const int64_t minutes = (Clock.Seconds < 0 ? -Clock.Seconds : Clock.Seconds) / 60;
        Note(std::string("The server clock of the ") + Side + " folder " + Address + " runs " +
                 std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min " +
                 (Clock.Seconds < 0 ? "behind" : "ahead of") +
                 " this computer's: newer files are told with that taken out.",
             false);
    }
}

void TAnalyzeThread::NoteNotListed(const TFileTree& Listing, int Side, const std::string& Address) {
    const char* side = Side == 0 ? "left" : "right";
    // The side's own reason, when it gave one: " (why)".
    const auto why = [&](const TFileTree& Folder) {
        const std::string reason = NotListedWhy ? NotListedWhy(Side, Folder) : std::string();
        return reason.empty() ? reason : " (" + reason + ")";
    };
    if (Listing.NotListed) {
        Note(std::string("The ") + side + " folder " + Address + " could not be listed completely" +
                 why(Listing) + ": nothing is copied or deleted.",
             true);
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
                Note(std::string("The ") + side + " folder " + EntryPath(child) +
                         " could not be listed completely" + why(child) +
                         ": nothing below it is copied or deleted.",
                     true);
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

void TAnalyzeThread::SettleEqualFiles() {
    if (m_CompareCount == 0 || !CompareContents) return;
    std::vector<TFileTree*> pending{Result.get()};
    while (!pending.empty() && !Terminated()) {
        TFileTree* node = pending.back();
        pending.pop_back();
        for (const TFileTreeRef& child : node->Children) pending.push_back(child.get());
        // Excluded and held-back entries are left as they are: nothing is done with them anyway.
        if ((node->Flags & NODE_COMPARE) == 0 || (node->Flags & (NODE_EXCLUDED | NODE_HELD_BACK)) != 0)
            continue;
        if (CompareContents(*node) == 0) {
            node->SetStatus(ACTION_SAME);
            node->Flags &= static_cast<uint8_t>(~NODE_COMPARE);
        }
    }
}

void TAnalyzeThread::Analyze() {
    // Patterns first: a mask that does not compile gives no plan at all, never a half-filtered one.
    if (!Filter().Ok()) {
        ErrorText = Filter().ErrorText();
        return;
    }

    TFileTree& result = *Result;
    result.NotListed = LeftTree->NotListed || RightTree->NotListed;
    NoteNotListed(*LeftTree, 0, Task.LFolder->FolerAllName);
    NoteNotListed(*RightTree, 1, Task.RFolder->FolerAllName);
    NoteClock(ClockOffsets[0], "left", Task.LFolder->FolerAllName);
    NoteClock(ClockOffsets[1], "right", Task.RFolder->FolerAllName);

    bool noDeletionOnRight = false, noDeletionOnLeft = false;
    // The notes on a side that lists nothing: they fail the run only where a deletion was held back
    // (a file edited on one side and removed on the other is a conflict whatever they say).
    std::vector<std::string> emptySides;
    const bool savedUsable = !LeftSaved->Children.empty() && !RightSaved->Children.empty();
    if (StateDamaged) {
        // What the last sync left is unknown: compare like a first sync, but overwrite nothing.
        NeverOverwrite = true;
        Note("A saved state could not be read" +
                 (StateDamagedWhy.empty() ? "" : " (" + StateDamagedWhy + ")") +
                 ": the folders are compared without it, differing files are conflicts and nothing is "
                 "overwritten or deleted.",
             true);
        CompareTrees(*LeftTree, *RightTree, result);
    } else if (savedUsable &&
               TFileTree::RootTextNames(LeftSaved->Name, Task.LFolder->DeviceType,
                                        Task.LFolder->FolerAllName) &&
               TFileTree::RootTextNames(RightSaved->Name, Task.RFolder->DeviceType,
                                        Task.RFolder->FolerAllName)) {
        // A side that lists nothing although its saved state holds entries is most likely not there
        // (an unmounted disk lists as an empty folder): its "deletions" are not carried over.
        if (LeftTree->Children.empty()) {
            noDeletionOnRight = true;
            emptySides.push_back(
                "The left folder " + Task.LFolder->FolerAllName +
                " is empty although it held entries at the last sync: no deletion is planned "
                "on the right.");
        }
        if (RightTree->Children.empty()) {
            noDeletionOnLeft = true;
            emptySides.push_back(
                "The right folder " + Task.RFolder->FolerAllName +
                " is empty although it held entries at the last sync: no deletion is planned "
                "on the left.");
        }
        // The two sides' comparisons with their saved states share nothing: the left one runs on a
        // thread of its own meanwhile.
        std::exception_ptr leftFailure;
        bool leftSame = false, rightSame = false;
        std::thread left([&] {
            try {
                leftSame = Walk(TMerge::Saved, *LeftTree, *LeftSaved, *LeftChanges);
            } catch (...) {
                leftFailure = std::current_exception();
            }
        });
        try {
            rightSame = Walk(TMerge::Saved, *RightTree, *RightSaved, *RightChanges);
        } catch (...) {
            left.join();
            throw;
        }
        left.join();
        if (leftFailure) std::rethrow_exception(leftFailure);
        // A state whose first line names the folder in another form is written again in the one form.
        StateCurrent[0] = leftSame && LeftSaved->Name == FolderAddressForm(Task.LFolder->DeviceType,
                                                                           Task.LFolder->FolerAllName);
        StateCurrent[1] = rightSame && RightSaved->Name == FolderAddressForm(Task.RFolder->DeviceType,
                                                                             Task.RFolder->FolerAllName);
        UsedSavedStates = true;
        CompareChanges(*LeftChanges, *RightChanges, result);
    } else {
        if (savedUsable)
            Note(
                "The saved states were written for other folders: the folders are compared "
                "without them, so no deletion is detected.",
                true);
        CompareTrees(*LeftTree, *RightTree, result);
    }
    if (Terminated()) Note("The analysis was cancelled: the plan is incomplete.", true);

    const bool heldBack = HoldBackUnknown(noDeletionOnRight, noDeletionOnLeft) > 0;
    for (std::string& line : emptySides) Note(std::move(line), heldBack);
    MarkKindClashes();
    ApplyFilters(result);
    SettleEqualFiles();
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
