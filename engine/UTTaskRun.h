#pragma once

#include "engine/UTAnalyzeThread.h"
#include "engine/UTFileSyncThread.h"
#include "engine/UTPlan.h"
#include "engine/UTSyncTask.h"
#include "model/UTFileOper.h"
#include "model/UTNotify.h"
#include "platform/UTFileLock.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace bfs {

// The steps of one analysis and sync of a task, in the order the task window takes them, for
// every caller that runs a task: the window, batch runs, the tests and the benchmark.
//
// One run per task at a time, in this process or another: StartScan takes the task's lock file and
// refuses the run when it is held; the lock is kept until the run's saved states are written (at
// the end of Sync, or of Analyze when there is nothing to sync), Release, or the run object goes.
//
// Two ways to drive it. Batch runs, the tests and the benchmark call the waiting steps (FinishScan,
// Analyze, Sync), each of which waits for its worker. A window must never wait for a worker (it
// would freeze for as long as the worker runs, and a worker may send to it and wait). It sets the
// three On...Ended calls (and OnSyncReports), starts each step
// (StartScan, StartAnalyze, StartSync), and when told the worker has ended (the calls run on the
// worker's own thread, right after its body; post from there) calls the matching Finish step on its
// own thread, where the worker is joined at once and freed. Nor does a window wait for a server:
// with OnScanEnded set, connecting and checking the two sides is the scan's first step, on the
// scan's worker (see StartScan).
class TTaskRun {
  public:
    explicit TTaskRun(TSyncTask& Task) : Task(Task) {}
    // Stops every worker of the run and waits for them: a connect under way is aborted.
    ~TTaskRun();
    TTaskRun(const TTaskRun&) = delete;
    TTaskRun& operator=(const TTaskRun&) = delete;

    TSyncTask& Task;
    INotifyTarget* NotifyWnd = nullptr;
    std::unique_ptr<TFileOper> LeftOper;  // the two listings of the scan
    std::unique_ptr<TFileOper> RightOper;
    TFileTreeRef ResultTree;  // the analysis result
    TPlan Plan;               // the rows of the changes view
    std::string ErrorText;    // why a step did not run (the log pane shows it)
    // ErrorText's short form for a status line where it differs (a side refused: the side and the
    // back-end's reason, without the address); else empty.
    std::string ErrorCause;
    std::vector<std::string> Notes;  // what the analysis held back and why (log pane lines)
    // The notes that fail the run (TAnalyzeThread::Failures, a saved state not written), in order:
    // the first is the run's reason.
    std::vector<std::string> Failures;
    // The entries the last analysis holds as conflicts (changed on both sides and left alone, or a
    // clash no rule settles; never an excluded entry), one log line each ("Conflict, not synced:
    // /docs/a.txt"), in listing order. Set by an analysis that ran to its end, else empty.
    std::vector<std::string> ConflictLines;
    // Progress steps the two listings will report (WM_UPDATEPROCESS): set by StartScan for a waiting
    // caller, else handed to OnScanListing (and set by FinishScan).
    int32_t ScanSteps = 0;
    bool FolderCheckFailed = false;  // StartScan refused the folder addresses themselves
    // The scan ended before its listings because a side could not be connected or checked; set by
    // FinishScan, with the line in ErrorText ("Cannot connect Left folder: ...").
    bool ConnectFailed = false;

    // Called on a worker thread when its body has ended: a side's listing (0 left, 1 right), the
    // analysis, the sync walk. Set before the step that starts the worker. A scan that ends before
    // its listings start (a side refused, or stopped while connecting) calls OnScanEnded for both
    // sides, left first, from its connect worker.
    std::function<void(int Side)> OnScanEnded;
    std::function<void()> OnAnalysisEnded;
    std::function<void()> OnSyncEnded;
    // Called on the sync thread when the walk has log lines or row outcomes for the window, once
    // until TakeSyncReports. With it set the walk never waits for the window: StartSync's LogPane
    // and RowChanged are not called, the window takes the reports in blocks on its own thread.
    std::function<void()> OnSyncReports;
    // Called on the scan's connect worker once both sides are connected and checked, right before
    // their listings start, with the progress steps they will report. Optional.
    std::function<void(int32_t Steps)> OnScanListing;

    // Checks the task and its folders, takes the task's lock, makes, connects and checks a back-end
    // per side, and starts both listings (each on its own thread, with the side's saved state loaded
    // after it). 0 started; otherwise ErrorText says why ("Left and right folders are the same",
    // "Cannot connect Left folder: ...", the task already running, a setting that did not load...).
    // With OnScanEnded set, StartScan never talks to a server: it returns once the connect worker is
    // started, which connects and checks the sides (in the same order, with the same lines) and then
    // starts the listings; a refusal arrives through OnScanEnded and FinishScan (ConnectFailed). Stop
    // aborts a connect under way. Without OnScanEnded, the caller waits for the connect here.
    // Either way the back-ends of an earlier scan go, and with them the result built on them.
    int32_t StartScan();
    // Waits for both listings and loads the saved states kept locally. 0, or 1 when a listing ended
    // early (cancelled or failed) or never started (ConnectFailed tells a refused side from a stop);
    // a refused scan's lock is freed here.
    int32_t FinishScan();
    // Analyses the two listings (on the analysis thread, waiting for it) and builds the plan of the
    // changes view. 0, or 1 with ErrorText (a bad mask). An analysis that was not cancelled and
    // leaves nothing to copy or delete brings the saved states up to date at once.
    int32_t Analyze();
    // Analyze in two halves: starts the analysis thread (1 with ErrorText when the folders were not
    // listed), and, once it has ended, takes its result. AnalysisCancelled tells whether it was
    // stopped before the end (its plan is then partial and must not be carried out).
    int32_t StartAnalyze();
    int32_t FinishAnalyze();
    bool AnalysisCancelled() const { return m_AnalysisCancelled; }
    // Carries out the plan (on the sync thread, waiting for it). Lines go to LogPane when set.
    int32_t Sync(const std::function<void(const std::string&)>& LogPane = {});
    // Sync in two halves: starts the sync thread (RowChanged repaints a row the walk changed), and,
    // once it has ended, frees it and the task's lock.
    int32_t StartSync(const std::function<void(const std::string&)>& LogPane = {},
                      const std::function<void(TPlanRow&)>& RowChanged = {});
    void FinishSync();
    // The walk's reports not yet taken (see OnSyncReports), with the rows' outcomes written into
    // them; none once FinishSync has run, which writes the outcomes left.
    TSyncReports TakeSyncReports();
    // Asks every worker of the run (listings, analysis, sync walk) to stop at its next test.
    void Stop();
    // Ends a run that goes no further (cancelled during the listings): frees the task's lock.
    void Release();
    // A worker of this run has been started and not yet finished (joined).
    bool WorkerAlive() const;

    // A saved state this run should have written could not be (STATE_LEFT_NOT_WRITTEN,
    // STATE_RIGHT_NOT_WRITTEN): the run failed, whatever its rows say.
    int StateNotWritten() const { return m_StateNotWritten; }

    // The line for a failed TSyncTask::CheckFolders result; empty for FOLDERS_OK.
    static std::string FolderCheckText(int32_t Code);
    // The line that says how many conflicts were left alone ("2 conflicts were not synced.").
    static std::string ConflictCountText(int64_t Count);
    // A point of the run where a test build fails on purpose: it throws when the environment
    // variable BFS_TEST_FAULT names Step, as an unexpected failure of that step would. Nothing in
    // any other build.
    static void FaultPoint(std::string_view Step);

  private:
    // Connects and checks both sides: the refusal line, or empty when both are usable or the run
    // was stopped. Runs on the connect worker (or the waiting caller's thread).
    std::string ConnectSides();
    // The connect worker's body: ConnectSides, then the listings, or both sides' ends.
    void ConnectThenList();
    bool ScanStopped() const { return LeftOper->Terminated() || RightOper->Terminated(); }
    // Takes the task's lock (true also when this run holds it already). False with ErrorText:
    // another run holds it, or the lock could not be made (where, and why).
    bool LockTask();

    TFileLock m_Lock;
    std::unique_ptr<TAnalyzeThread> m_Analysis;
    std::unique_ptr<TFileSyncThread> m_Sync;
    bool m_AnalysisCancelled = false;
    bool m_ScanComplete = false;
    bool m_UsedSavedStates = false;
    bool m_StateDamaged = false;
    std::string m_StateDamagedWhy;  // which state was not read, and why
    bool m_StateCurrent[2] = {false, false};
    int m_StateNotWritten = 0;
    bool m_Walked = false;             // a sync of the current result wrote to the sides
    uint64_t m_LocalHash[2] = {0, 0};  // fingerprints of locally kept states, as loaded
    // Written by the connect worker, read once it is joined: why it refused, whether it started the
    // listings, and their progress steps.
    std::string m_ConnectError;
    std::string m_ConnectCause;  // ErrorCause of m_ConnectError
    bool m_Listing = false;
    int32_t m_ListingSteps = 0;
    // The connect worker; started and joined on the caller's thread only. Declared after the
    // back-ends it works on.
    std::jthread m_Connect;

    uint64_t SavedHash(int Side) const;
    // Compares the contents of the two files of a result node through the scan's back-ends.
    int32_t CompareContents(const TFileTree& Node);
};

}  // namespace bfs
