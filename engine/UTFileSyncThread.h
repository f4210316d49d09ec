#pragma once

#include "engine/UTPlan.h"
#include "engine/UTSyncTask.h"
#include "model/UTFileOper.h"
#include "model/UTNotify.h"
#include "model/UTThread.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

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

// Carries out a plan: creates the marker folders, walks the plan's rows in post-order, copies or
// deletes each row's entry through the two back-ends, marks each row done (18) or failed (3), and,
// when anything was done, stores each side's new saved state.
//
// Runs on its own thread. Log lines and row repaints go to the window through NotifyWnd and wait
// for it (Synchronize); progress (WM_UPDATEPROCESS) is posted without waiting. Without a target the
// calls run directly on the sync thread.
class TFileSyncThread : public TThread {
  public:
    TFileSyncThread(TPlan& View, TSyncTask& Task);
    ~TFileSyncThread() override;

    std::unique_ptr<TFileOper> LeftOper;   // made by Execute for the left folder
    std::unique_ptr<TFileOper> RightOper;  // made by Execute for the right folder
    std::string StatusText;                // the current log line
    int32_t OperCount = 0;                 // rows that ran an operation
    TPlan& View;
    TSyncTask& Task;
    INotifyTarget* NotifyWnd = nullptr;
    // The run-log pane: adds one line. Called through NotifyWnd->Synchronize.
    std::function<void(const std::string&)> LogPane;
    // Repaints one row after the walk changed it. Called through NotifyWnd->Synchronize.
    std::function<void(TPlanRow&)> RowChanged;

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

    void MakeMarkerFolders();
    void SyncNodes(TPlanRow& Node);
    int32_t SyncFile(TResultNodeData& D);
    int32_t SyncFolder(TResultNodeData& D);
    void ShowStatus();
    // Stores each side's new saved state, listing both sides again first when the walk wrote anything.
    void SaveState();
    // Writes a saved state to the side's local state file (Side 0 left, 1 right); 0 or an errno.
    int32_t SaveStateLocal(const std::string& Stream, int Side);

  protected:
    void Execute() override;

  private:
    TEntryState m_Written;  // what the target side showed for the last entry written

    TFileOper* Oper(int Side) const { return Side == SIDE_LEFT ? LeftOper.get() : RightOper.get(); }
    TFolderSource& Folder(int Side) const { return Side == SIDE_LEFT ? *Task.LFolder : *Task.RFolder; }
    bool IsLocal(int Side) const;
    int32_t CopyFile(TResultNodeData& D, int32_t Code, int Source, int Target, TFileAttri& Attri,
                     int32_t SrcAttr);
    // Copies the source entry Attri into the target entry Into by the sides' kinds (a local side
    // reads or writes its files directly; between two remote sides through a staging file).
    int32_t CopyInto(int Source, int Target, const TFileAttri& Attri, const TFileAttri& Into,
                     int32_t SrcAttr);
    // 0 when the target entry is as the row expects it (absent, or of the row's size and date);
    // otherwise sets the status text and gives 1: the target is then left alone.
    int32_t CheckTarget(const TResultNodeData& D, int Target, const TFileAttri& Attri);
    // Gives the finished temporary copy TempPath the target's name on a side that cannot rename over
    // a file (see the definition). 0 done; else both files are as they were, where the side allows.
    int32_t ReplaceAside(TFileOper& Tgt, const std::string& TempPath, const TFileAttri& Attri,
                         const std::string& TargetPath);
    // 0 when the target side shows the entry just written under its name, as written (then kept in
    // m_Written); else sets the status text and gives 1.
    int32_t ConfirmWritten(int Target, const TFileAttri& Attri, bool IsFolder);
    void PostProgress();
    // The frame of every row's operation: refuses unsafe names, connects both sides, runs Operation,
    // prefixes a failure's status line, logs and ends the walk on an exception, and reports the line.
    int32_t RunRow(const TResultNodeData& D, const char* ErrorContext, const char* ErrorPrefix,
                   const std::function<int32_t(TFileOper&, TFileOper&)>& Operation);
};

}  // namespace bfs
