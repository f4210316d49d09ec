#pragma once

#include "engine/UTFilter.h"
#include "engine/UTSyncTask.h"
#include "model/UTFileOper.h"
#include "model/UTFileTree.h"
#include "model/UTNotify.h"
#include "model/UTThread.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bfs {

// Turns the two listings of a task, and the two saved states when both belong to the task's
// folders, into the result tree: one action code (ACTION_*) per entry, then one filter state per
// entry. Created by the task window after both scans have ended; the window reads Result, ErrorText
// and Notes after the thread has ended (OnTerminate).
//
// The merges walk both trees level by level in listing order (folders first, then files, see
// UTListOrder.h), one linear pass per level, and pair entries only when their names are equal
// exactly. Entries are moved into the result (the node objects themselves, with their subtrees), and
// a node that reaches the result names its result folder as Parent; the input trees are not used
// again. A saved state loaded beside its listing shares the listing's nodes for the entries it
// records as listed (TFileTree::LoadFromStream): such a pair is one node, and compares as unchanged.
// No walk recurses: saved states may be arbitrarily deep.
//
// Nothing is planned from what a side could not list: below a folder that either side could not
// list completely (TFileTree::NotListed) every entry is ACTION_NOT_COPY, and a side that lists no
// entry at all while its saved state holds some gives no deletion on the other side. Notes says why.
class TAnalyzeThread : public TThread {
  public:
    // Keeps the task and the five trees (none is owned); makes the two change trees. Runs on the
    // user-interface thread: it also copies the program-wide filter lists here, so the options
    // window may change them while the analysis runs. Created suspended: call Resume.
    TAnalyzeThread(TSyncTask& Task, TFileTreeRef LeftTree, TFileTreeRef RightTree, TFileTreeRef Result,
                   TFileTreeRef LeftSaved, TFileTreeRef RightSaved);
    ~TAnalyzeThread() override;

    std::string ExcludePattern;  // regular expression of the exclude masks (empty: none)
    std::string IncludePattern;  // regular expression of the include masks (empty: none)
    TSyncTask& Task;
    TFileTreeRef LeftTree;
    TFileTreeRef RightTree;
    TFileTreeRef Result;  // the plan; left empty when the analysis failed
    TFileTreeRef RightSaved;
    TFileTreeRef LeftSaved;
    TFileTreeRef LeftChanges;  // the left side's changes since its saved state
    TFileTreeRef RightChanges;
    INotifyTarget* NotifyWnd = nullptr;  // kept for the window; the analysis sends nothing
    // The program-wide masks, copied by the constructor.
    std::vector<std::string> GlobalIncludeFilter;
    std::vector<std::string> GlobalExcludeFilter;

    // Set by the caller: a saved state of either side exists but could not be read. The folders
    // are then compared without states, and files that differ become conflicts (nothing is
    // overwritten on the strength of a date).
    bool StateDamaged = false;
    std::string StateDamagedWhy;  // with StateDamaged: which state, and why it was not read (optional)
    // Set by the analysis: the saved states were used (the plan rests on the changes since them).
    bool UsedSavedStates = false;
    // Set by the analysis, per side (0 left, 1 right): the side's saved state records exactly what
    // the side lists now, so a run that does nothing there leaves it as it is.
    bool StateCurrent[2] = {false, false};
    // Set by the analysis in a damaged-state comparison.
    bool NeverOverwrite = false;
    // Set by the caller (0 left, 1 right): how far each side's clock, where the side dates its files
    // itself, runs ahead of this computer's (TFileOper::ClockOffset). Which of two files is newer is
    // decided with each side's offset taken out (an offset under CLOCK_TOLERANCE counts as none); a
    // side whose measurements disagree (Unsettled) tells nothing about which is newer, and such a
    // pair is a conflict. The dates themselves, and so the saved states, stay the sides' own.
    TClockOffset ClockOffsets[2];
    // Compares the contents of the two files of a result node (the left entry in Data, the right
    // one in the Right fields): 0 equal, 1 different, anything else could not tell. Optional; runs
    // on the analysis thread. Asked only for pairs of equal size marked NODE_COMPARE: equal
    // contents make them the same file (18); otherwise the planned action stands.
    std::function<int32_t(const TFileTree& Node)> CompareContents;
    // Why a side (0 left, 1 right) could not list a folder of its listing (TFileOper::NotListedReason);
    // optional: without it a note names the folder alone.
    std::function<std::string(int Side, const TFileTree& Folder)> NotListedWhy;

    // Why the analysis made no plan (a mask that is not a valid pattern, an unexpected failure);
    // empty on success.
    std::string ErrorText;
    // Lines for the log pane: what the analysis held back and why, and what it took into account.
    std::vector<std::string> Notes;
    // The notes that fail the run, in order: the plan leaves out what the run was to do (a folder not
    // listed, deletions held back, saved states not used, a cancel). Notes that only inform (a
    // server's clock) or name conflicts (counted as such) are not among them.
    std::vector<std::string> Failures;

    // Merges two listed folders: one-sided entries are copies (16, 17 through MapAction), pairs of
    // files compare dates (20, 19, or 18 when equal with equal sizes, else 2). Conflicts of equal
    // size (equal dates at an end of the DOS range, or any difference under a damaged saved state)
    // are left to the contents.
    void CompareTrees(TFileTree& Left, TFileTree& Right, TFileTree& Result);
    // Merges a side's listing with its saved state into a change tree: 6 new, 8 deleted, 7 changed
    // date or size, 18 unchanged; folders present in both get -1. A file whose date sits at an end of
    // the DOS range is 7 with NODE_DATE_UNSURE: its date cannot show a change.
    void DiffWithSaved(TFileTree& Current, TFileTree& Saved, TFileTree& Changes);
    // Merges the two change trees by DecideTwoWay and MapAction. A one-sided entry is copied (16, 17
    // through MapAction) unless it was deleted on its side (8): that one, unknown to the other side,
    // gets 18 with its subtree. A pair present on both sides with one size is left to the contents
    // when its dates say nothing (equal, or NODE_DATE_UNSURE on either side) or both sides changed
    // it (6 or 7 on each).
    void CompareChanges(TFileTree& LeftChanges, TFileTree& RightChanges, TFileTree& Result);

    // The two-way decision table (UTDecision.h).
    static int32_t DecideTwoWay(int32_t LeftCode, int32_t RightCode, int32_t IsFolder);
    // The direction table (UTDecision.h) for the task's direction, policy and IsDeleteFile.
    static int32_t MapAction(const TSyncTask& Task, int32_t Code);
    // SetStatus(Code) on Node and every node below it.
    static void SetStatusDeep(TFileTree& Node, int32_t Code);

    // The task's filter (built on first use; see TFileFilter).
    int32_t FilterNode(const TFileTree& Node);
    static void SetFilterState(TFileTree& Node, int32_t State) { Node.SetFilterState(State); }
    void ApplyFilters(TFileTree& Node);

  protected:
    // runs on the analysis thread
    void Execute() override;

  private:
    enum class TMerge { Trees, Saved, Changes };
    struct TWalkItem {
        TFileTree* A;
        TFileTree* B;
        TFileTree* R;
    };

    // The level walk of the three merges. True when every entry of A found a partner in B with the
    // same stored fields, and both were read in full (what StateCurrent rests on).
    bool Walk(TMerge Kind, TFileTree& A, TFileTree& B, TFileTree& R);
    void MoveOneSided(TMerge Kind, const TFileTreeRef& Node, bool FromA, TFileTree& R);
    void MergePair(TMerge Kind, const TFileTreeRef& A, const TFileTreeRef& B, TFileTree& R,
                   std::vector<TWalkItem>& Pending);
    void Analyze();
    const TFileFilter& Filter();
    // Applies the rules about unknown contents to the merged result (see the class comment). Returns
    // how many deletions the two flags held back.
    size_t HoldBackUnknown(bool NoDeletionOnRight, bool NoDeletionOnLeft);
    // Adds a note; Fails: it is one of the Failures too.
    void Note(std::string Line, bool Fails);
    // A file and a folder of one name, whether one side holds both at once (an object store can) or
    // each side holds one of them, cannot be synced: a copy would have to replace one kind by the
    // other, or put both side by side. Both, with all below the folder, become conflicts, and a
    // note names them; nothing changes until the user renames or removes one.
    void MarkKindClashes();
    // Marks a file pair NODE_COMPARE when Candidate holds and its code is not already 18.
    void MarkForComparison(TFileTree& Node, bool Candidate);
    // Which of two dates is newer once each side's clock offset is taken out (CompareFileDates's
    // sign); Unsure when a side's clock offset is unsettled.
    int CompareNewer(int32_t LeftDate, int32_t RightDate, bool& Unsure) const;
    // Pairs marked NODE_COMPARE whose contents are equal become 18 (included entries only).
    void SettleEqualFiles();
    // A note on a side's clock when it changes how newer files are told (ClockOffsets).
    void NoteClock(const TClockOffset& Clock, const char* Side, const std::string& Address);
    void NoteNotListed(const TFileTree& Listing, int Side, const std::string& Address);

    std::unique_ptr<TFileFilter> m_Filter;
    size_t m_CompareCount = 0;  // nodes marked NODE_COMPARE by the merges
};

}  // namespace bfs
