#pragma once

#include "engine/UTPlan.h"
#include "engine/UTSyncTask.h"
#include "model/UTFileOper.h"
#include "model/UTNotify.h"
#include "platform/UTFileLock.h"

#include <memory>
#include <string>

namespace bfs {

// The steps of one analysis and sync of a task, in the order the task window takes them, for
// every caller that runs a task: the window, batch runs, the tests and the benchmark.
//
// One run per task at a time, in this process or another: StartScan takes the task's lock file and
// refuses the run when it is held; the lock is kept until the run's saved states are written (at
// the end of Sync, or of Analyze when there is nothing to sync) or the run object goes.
class TTaskRun {
  public:
    explicit TTaskRun(TSyncTask& Task) : Task(Task) {}

    TSyncTask& Task;
    INotifyTarget* NotifyWnd = nullptr;
    std::unique_ptr<TFileOper> LeftOper;  // the two listings of the scan
    std::unique_ptr<TFileOper> RightOper;
    TFileTreeRef ResultTree;         // the analysis result
    TPlan Plan;                      // the rows of the changes view
    std::string ErrorText;           // why a step did not run (the log pane shows it)
    std::vector<std::string> Notes;  // what the analysis held back and why (log pane lines)

    // Checks the task and its folders, takes the task's lock, makes, connects and checks a back-end
    // per side, and starts both listings (each on its own thread, with the side's saved state loaded
    // after it). 0 started; otherwise ErrorText says why ("Left and right folders are the same",
    // "Cannot connect Left folder: ...", the task already running, a setting that did not load...).
    int32_t StartScan();
    // Waits for both listings and loads the saved states kept locally. 0, or 1 when a listing ended
    // early (cancelled or failed).
    int32_t FinishScan();
    // Analyses the two listings (on the analysis thread, waiting for it) and builds the plan of the
    // changes view. 0, or 1 with ErrorText (a bad mask). An analysis that was not cancelled and
    // leaves nothing to copy or delete brings the saved states up to date at once.
    int32_t Analyze();
    // Carries out the plan (on the sync thread, waiting for it). Lines go to LogPane when set.
    int32_t Sync(const std::function<void(const std::string&)>& LogPane = {});
    // Cancels a running scan.
    void Stop();

  private:
    TFileLock m_Lock;
    bool m_ScanComplete = false;
    bool m_UsedSavedStates = false;
    bool m_StateDamaged = false;
    bool m_StateCurrent[2] = {false, false};
    bool m_Walked = false;             // a sync of the current result wrote to the sides
    uint64_t m_LocalHash[2] = {0, 0};  // fingerprints of locally kept states, as loaded

    uint64_t SavedHash(int Side) const;
    // Compares the contents of the two files of a result node through the scan's back-ends.
    int32_t CompareContents(const TFileTree& Node);
};

}  // namespace bfs
