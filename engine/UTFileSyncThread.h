#pragma once

#include "engine/UTPlan.h"
#include "engine/UTSyncTask.h"
#include "model/UTFileOper.h"
#include "model/UTNotify.h"
#include "model/UTThread.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace bfs {

// Operations of a plan row.
constexpr int32_t OPER_NONE = 0;
constexpr int32_t OPER_COPY = 1;
constexpr int32_t OPER_DELETE = 2;
constexpr int32_t SIDE_LEFT = 0;
constexpr int32_t SIDE_RIGHT = 1;

// The operation of a plan row and its source side (the target is the other side):
// 16, 20 copy from the left; 17, 19 copy from the right; 81 delete on the right; 82 on the left;
// every other code runs nothing.
struct TPlanAction {
    int32_t Operation = OPER_NONE;
    int32_t SourceSide = SIDE_LEFT;
};
TPlanAction PlanAction(int32_t Code);

// How many rows a walk carries out at once: each on a transfer of its own (its own back-ends, so a
// remote side's own connection). Between two local folders the walk makes new files itself, one
// at a time, and only rows that replace a file go to the other transfers (see SyncNodes).
constexpr int SYNC_TRANSFERS = 4;

// What a walk has for a window that the window has not taken yet.
struct TSyncReports {
    std::vector<std::string> Lines;                   // for the log pane
    std::vector<std::pair<TPlanRow*, int32_t>> Rows;  // a row and its outcome (ACTION_SAME, ACTION_ERROR)
};

// Carries out a plan: creates the marker folders, walks the plan's rows in post-order, hands each
// row's copy or deletion to a small pool of transfers, marks each row done (18) or failed (3), and,
// when anything was done, stores each side's new saved state.
//
// Rows run side by side, but everything the user sees comes out in row order, as if they had run
// one by one: a row's log line, repaint and count are reported once it and every row before it are
// done. A folder is made on the target before the first file that goes into it is handed out; a
// folder is removed only once every row below it is done. Cancelling (or a row's exception) stops
// the handing out; the rows in flight are waited for and reported.
//
// Runs on its own thread; the pool's threads run only the rows' operations. The walk never waits for
// a window: with ReportsWaiting set, log lines and row outcomes are gathered for the window to take
// in blocks (TakeReports), and progress (WM_UPDATEPROCESS) is posted through NotifyWnd. Without it
// LogPane and RowChanged are called directly on the sync thread.
class TFileSyncThread : public TThread {
  public:
    TFileSyncThread(TPlan& View, TSyncTask& Task);
    ~TFileSyncThread() override;

    // The number of transfers of the walks that start afterwards; 0 gives back SYNC_TRANSFERS.
    // Tests run their suites with one transfer as well as with the default.
    static void SetTransferCount(int Count);
    static int TransferCount();

    std::unique_ptr<TFileOper> LeftOper;   // made by Execute for the left folder (the first transfer's)
    std::unique_ptr<TFileOper> RightOper;  // made by Execute for the right folder (the first transfer's)
    std::string StatusText;                // the current log line (sync thread only)
    int32_t OperCount = 0;                 // rows that ran an operation, as reported
    TPlan& View;
    TSyncTask& Task;
    INotifyTarget* NotifyWnd = nullptr;
    // The run-log pane: adds one line (without ReportsWaiting).
    std::function<void(const std::string&)> LogPane;
    // Repaints one row after the walk changed it (without ReportsWaiting).
    std::function<void(TPlanRow&)> RowChanged;
    // Called on the sync thread when reports wait to be taken, once until the next TakeReports.
    std::function<void()> ReportsWaiting;
    // The reports gathered since the last call, each kind in its order, with every reported row's
    // outcome written into the row itself. For the thread that shows the rows (the window's): the
    // walk changes no row's code while a window may paint it.
    TSyncReports TakeReports();

    // What the analysis worked from: the result tree whose nodes the rows show, each side's listing,
    // and each side's saved state when the analysis used it (else none) with the fingerprint of the
    // stored text (0: none). The new saved states are made from them (BuildSavedState), so that
    // whatever was not synced is seen again by the next analysis.
    TFileTreeRef ResultTree;
    TFileTreeRef LeftListing;
    TFileTreeRef RightListing;
    TFileTreeRef LeftSavedTree;
    TFileTreeRef RightSavedTree;
    uint64_t LeftSavedHash = 0;
    uint64_t RightSavedHash = 0;
    bool StateCurrent[2] = {false, false};  // see TAnalyzeThread::StateCurrent
    // An earlier walk over the same result wrote to the sides (its marks are in the result tree), so
    // the sides are listed again even when this walk does nothing.
    bool WrittenBefore = false;
    // The sides whose new saved state could not be built or written (STATE_LEFT_NOT_WRITTEN,
    // STATE_RIGHT_NOT_WRITTEN); each also has an "Error" line in the log pane.
    int StateNotWritten = 0;

    // One row being carried out: the back-ends of its transfer, and what it leaves for its report.
    struct TRowRun {
        TFileOper* Opers[2] = {nullptr, nullptr};
        std::string Status;   // the row's log line
        TEntryState Written;  // what the target side showed for the entry just written
    };

    void MakeMarkerFolders();
    void SyncNodes(TPlanRow& Node);
    // Run on a pool thread, on that transfer's back-ends.
    int32_t SyncFile(TRowRun& R, TResultNodeData& D);
    int32_t SyncFolder(TRowRun& R, TResultNodeData& D);
    void ShowStatus();
    // Stores each side's new saved state, listing both sides again first when the walk wrote anything.
    void SaveState();
    // Writes a saved state to the side's local state file (Side 0 left, 1 right); 0 or an errno.
    int32_t SaveStateLocal(const std::string& Stream, int Side);

  protected:
    void Execute() override;

  private:
    // A transfer: back-ends of its own for both sides, used by one pool thread (and by the sync
    // thread while the transfer is idle).
    struct TTransfer {
        std::unique_ptr<TFileOper> Own[2];  // none for the first transfer: it uses LeftOper, RightOper
        TFileOper* Opers[2] = {nullptr, nullptr};
        std::set<std::string> Made[2];  // folders MakeTargetFolder made or found through Opers, by side
    };
    struct TRowJob;
    struct TRowPool;
    std::vector<TTransfer> m_Transfers;  // made by SyncNodes
    TWrittenEntries m_Written[2];        // by side: the entries the walk's rows wrote to (sync thread)
    std::mutex m_ReportLock;             // guards m_Reports and m_ReportsPosted
    TSyncReports m_Reports;
    bool m_ReportsPosted = false;  // ReportsWaiting was called since the last TakeReports
    // Hands a line or a row's outcome to the window, or to LogPane and RowChanged.
    void Report(std::string Line, TPlanRow* Row, int32_t Outcome);

    TFolderSource& Folder(int Side) const { return Side == SIDE_LEFT ? *Task.LFolder : *Task.RFolder; }
    bool IsLocal(int Side) const;
    // Makes a back-end of the side for the walk, connected to the task's folder and the window.
    std::unique_ptr<TFileOper> MakeOper(int Side);
    // Before the row D of Code is handed to the idle transfer Via: makes on the target side, through
    // that transfer's back-end and once per transfer, the folder that a copy writes into and the
    // folder that a backup goes to. Folders are so made one at a time, never by two transfers at
    // once (a server may refuse a second request on a folder it is making), and the row's own
    // calls find them made. A folder not made here is made, or found failing, by the row itself.
    void MakeTargetFolder(TTransfer& Via, const TResultNodeData& D, int32_t Code);
    // Reports one finished row: its count, its mark on the result node, its log line and progress,
    // and its code (done or failed) with the repaint. Sync thread only, in row order.
    void ReportRow(TRowJob& Job);
    int32_t CopyFile(TRowRun& R, TResultNodeData& D, int32_t Code, int Source, int Target, TFileAttri& Attri,
                     int32_t SrcAttr);
    // Copies the source entry Attri into the target entry Into by the sides' kinds (a local side
    // reads or writes its files directly; between two remote sides through a staging file).
    int32_t CopyInto(TRowRun& R, int Source, int Target, const TFileAttri& Attri, const TFileAttri& Into,
                     int32_t SrcAttr);
    // 0 when the target entry is as the row expects it (absent, or of the row's size and date);
    // otherwise sets the row's status and gives 1: the target is then left alone.
    int32_t CheckTarget(TRowRun& R, const TResultNodeData& D, int Target, const TFileAttri& Attri);
    // Gives the finished temporary copy TempPath the target's name on a side that cannot rename over
    // a file (see the definition). 0 done; else both files are as they were, where the side allows.
    int32_t ReplaceAside(TRowRun& R, TFileOper& Tgt, const std::string& TempPath, const TFileAttri& Attri,
                         const std::string& TargetPath);
    // 0 when the target side shows the entry just written under its name, as written (then kept in
    // R.Written); else sets the row's status and gives 1.
    int32_t ConfirmWritten(TRowRun& R, int Target, const TFileAttri& Attri, bool IsFolder);
    void PostProgress();
    // The frame of every row's operation: refuses unsafe names, connects both sides, runs Operation,
    // prefixes a failure's status line, and logs and ends the walk on an exception.
    int32_t RunRow(TRowRun& R, const TResultNodeData& D, const char* ErrorContext, const char* ErrorPrefix,
                   const std::function<int32_t(TFileOper&, TFileOper&)>& Operation);
};

}  // namespace bfs
