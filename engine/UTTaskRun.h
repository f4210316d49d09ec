#pragma once

#include <memory>
#include <string>

#include "engine/UTPlan.h"
#include "engine/UTSyncTask.h"
#include "model/UTFileOper.h"
#include "model/UTNotify.h"

namespace bfs {

// The steps of one analysis and sync of a task, in the order the task window takes them, for
// every caller that runs a task: the window, batch runs, the tests and the benchmark.
class TTaskRun {
public:
    explicit TTaskRun(TSyncTask& Task) : Task(Task) {}

    TSyncTask& Task;
    INotifyTarget* NotifyWnd = nullptr;
    std::unique_ptr<TFileOper> LeftOper;  // the two listings of the scan
    std::unique_ptr<TFileOper> RightOper;
    TFileTreeRef ResultTree;              // the analysis result
    TPlan Plan;                           // the rows of the changes view
    std::string ErrorText;                // why a step did not run (the log pane shows it)

    // Checks the folders, makes, connects and checks a back-end per side, and starts both listings
    // (each on its own thread, with the side's saved state loaded after it). 0 started; otherwise
    // ErrorText says why ("Left and right folders are the same", "Cannot connect Left folder: ..."...).
    int32_t StartScan();
    // Waits for both listings and loads the saved states kept locally. 0, or 1 when a listing ended
    // early (cancelled or failed).
    int32_t FinishScan();
    // Analyses the two listings (on the analysis thread, waiting for it) and builds the plan of the
    // changes view. 0, or 1 with ErrorText (a bad mask).
    int32_t Analyze();
    // Carries out the plan (on the sync thread, waiting for it). Lines go to LogPane when set.
    int32_t Sync(const std::function<void(const std::string&)>& LogPane = {});
    // Cancels a running scan.
    void Stop();
};

}  // namespace bfs
