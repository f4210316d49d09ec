#include "engine/UTTaskRun.h"

#include "engine/UTContentCompare.h"
#include "engine/UTStateSaving.h"
#include "model/UTMyException.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace bfs {

namespace {

// The log lines of the result's conflicts: its leaves whose conflict counter is set (filtering an
// entry out clears its counters). Folders carry the sums of their leaves, so only the branches that
// hold a conflict are walked, and a result without one not at all.
std::vector<std::string> ConflictLinesOf(const TFileTree& Result) {
    std::vector<std::string> lines;
    std::vector<const TFileTree*> pending{&Result};
    while (!pending.empty() && Result.ConflictCount > 0) {
        const TFileTree& node = *pending.back();
        pending.pop_back();
        if (node.Children.empty()) {
            if (node.Data && node.ConflictCount > 0)
                lines.push_back("Conflict, not synced: " + node.Data->Path + node.Name);
            continue;
        }
        // Children in reverse, so the lines come out in listing order.
        for (auto it = node.Children.rbegin(); it != node.Children.rend(); ++it)
            if ((*it)->ConflictCount > 0) pending.push_back(it->get());
    }
    return lines;
}

}  // namespace

TTaskRun::~TTaskRun() {
    Stop();
    if (m_Connect.joinable()) m_Connect.join();
}

bool TTaskRun::LockTask() {
    std::string problem;
    const std::string lockFile = Task.LockFileName(&problem);
    if (!lockFile.empty() && m_Lock.TryLock(lockFile)) return true;
    const std::string cannot = "The lock of task \"" + Task.SyncName + "\" could not be made: ";
    if (lockFile.empty())
        ErrorText = cannot + problem + ".";
    else if (m_Lock.LastError() == EWOULDBLOCK)
        ErrorText = "The task \"" + Task.SyncName + "\" is already running.";
    else
        ErrorText = cannot + lockFile + ": " + std::generic_category().message(m_Lock.LastError()) + ".";
    return false;
}

int32_t TTaskRun::StartScan() {
    ErrorText.clear();
    ErrorCause.clear();
    Notes.clear();
    Failures.clear();
    ConflictLines.clear();
    m_StateNotWritten = 0;
    m_ScanComplete = false;
    FolderCheckFailed = false;
    ConnectFailed = false;
    ScanSteps = 0;
    // The back-ends below are replaced: never while a worker of this run still uses them.
    if (WorkerAlive()) {
        ErrorText = "The task \"" + Task.SyncName + "\" is already running.";
        return 1;
    }
    ErrorText = FolderCheckText(Task.CheckFolders());
    if (!ErrorText.empty()) {
        FolderCheckFailed = true;
        return 1;
    }
    // A setting that decides what goes where and did not load never runs as its default.
    if (const std::string field = Task.DamagedSetting(); !field.empty()) {
        ErrorText = "The setting " + field + " of task \"" + Task.SyncName +
                    "\" could not be read: the task does not run until it is saved again.";
        TMyException::Instance().LogError("Task " + Task.SyncName, "EConvertError", ErrorText);
        return 1;
    }
    if (!LockTask()) return 1;
    // A result was built on the listings of the back-ends that go now: a sync of it would record
    // states from the new, unlisted ones. Only a new analysis gives a result to carry out.
    ResultTree.reset();
    m_AnalysisCancelled = false;
    LeftOper = TSyncTask::CreateFileOper(Task.LFolder, false);
    RightOper = TSyncTask::CreateFileOper(Task.RFolder, false);
    auto prepare = [this](TFileOper* oper, const TFolderSourceRef& folder) {
        if (!oper) return;
        oper->NotifyWnd = NotifyWnd;
        oper->FFolderSource = folder;
        oper->LoadSavedTreeFlag = true;
        oper->FTreeFileName = SyncIDToFileName(Task.SyncID);
    };
    prepare(LeftOper.get(), Task.LFolder);
    prepare(RightOper.get(), Task.RFolder);
    // A kind without a back-end is known without asking anyone.
    if (!LeftOper || !RightOper) {
        ErrorText = !LeftOper ? "Cannot connect Left folder: " + Task.LFolder->FolerAllName
                              : "Cannot connect Right folder: " + Task.RFolder->FolerAllName;
        ErrorCause = std::string("Cannot connect the ") + (!LeftOper ? "left" : "right") +
                     " folder: no storage of this kind.";
        TMyException::Instance().LogError("Task " + Task.SyncName, "Connect", ErrorText);
        Stop();
        m_Lock.Unlock();
        return 1;
    }
    m_ConnectError.clear();
    m_ConnectCause.clear();
    m_Listing = false;
    m_ListingSteps = 0;
    if (OnScanEnded) {
        LeftOper->OnTerminate = [this](TThread&) { OnScanEnded(0); };
        RightOper->OnTerminate = [this](TThread&) { OnScanEnded(1); };
    }
    Task.Busy = 1;
    if (OnScanEnded) {
        m_Connect = std::jthread([this] { ConnectThenList(); });
        return 0;
    }
    // A waiting caller waits for the connect too, and sees a refusal here.
    ConnectThenList();
    if (!m_ConnectError.empty()) {
        ErrorText = m_ConnectError;
        ErrorCause = m_ConnectCause;
        Task.Busy = 0;
        m_Lock.Unlock();
        return 1;
    }
    ScanSteps = m_ListingSteps;
    return 0;
}

std::string TTaskRun::ConnectSides() {
    // A back-end that throws has failed that step; nothing escapes the worker.
    auto step = [](TFileOper& Oper, int32_t (TFileOper::*Call)()) -> int32_t {
        try {
            return (Oper.*Call)();
        } catch (const std::exception& e) {
            TMyException::Instance().HandleException(e);
        } catch (...) {
            TMyException::Instance().LogError("unknown", "Exception", "unknown exception while connecting");
        }
        return -1;
    };
    // A back-end's one-line reason, when it gives one, ends the line.
    auto reason = [](const TFileOper& Oper) {
        return Oper.FailureText.empty() ? std::string() : " (" + Oper.FailureText + ")";
    };
    TFileOper& left = *LeftOper;
    TFileOper& right = *RightOper;
    std::string line;
    // A step cut short by Stop is no refusal: the run was cancelled.
    if (ScanStopped()) return {};
    // The status line's short form: the side and the reason, without the address.
    auto cause = [](const char* What, const TFileOper& Oper) {
        return std::string(What) + (Oper.FailureText.empty() ? "." : ": " + Oper.FailureText + ".");
    };
    if (step(left, &TFileOper::Connect) != 0) {
        line = "Cannot connect Left folder: " + Task.LFolder->FolerAllName + reason(left);
        m_ConnectCause = cause("Cannot connect the left folder", left);
    } else if (!ScanStopped() && step(right, &TFileOper::Connect) != 0) {
        line = "Cannot connect Right folder: " + Task.RFolder->FolerAllName + reason(right);
        m_ConnectCause = cause("Cannot connect the right folder", right);
    } else if (!ScanStopped() && step(left, &TFileOper::CheckFolder) != 0) {
        line = "Left Folder is not exists." + reason(left);
        m_ConnectCause = cause("The left folder cannot be used", left);
    } else if (!ScanStopped() && step(right, &TFileOper::CheckFolder) != 0) {
        line = "Right Folder is not exists." + reason(right);
        m_ConnectCause = cause("The right folder cannot be used", right);
    }
    return ScanStopped() ? std::string() : line;
}

// runs on the connect worker (or the waiting caller's thread)
void TTaskRun::ConnectThenList() {
    std::string refusal = ConnectSides();
    if (refusal.empty() && !ScanStopped()) {
        try {
            m_ListingSteps = LeftOper->GetScanSteps() + RightOper->GetScanSteps();
        } catch (const std::exception& e) {
            TMyException::Instance().HandleException(e);
            m_ListingSteps = 0;
        }
        if (OnScanListing) OnScanListing(m_ListingSteps);
        m_Listing = true;
        RightOper->Resume();
        LeftOper->Resume();
        return;
    }
    if (!refusal.empty()) {
        TMyException::Instance().LogError("Task " + Task.SyncName, "Connect", refusal);
        m_ConnectError = std::move(refusal);
    }
    LeftOper->Stop();
    RightOper->Stop();
    // No listing will end: the scan's ends are told here, once per side.
    if (OnScanEnded) {
        OnScanEnded(0);
        OnScanEnded(1);
    }
}

int32_t TTaskRun::FinishScan() {
    if (m_Connect.joinable()) m_Connect.join();
    if (!LeftOper || !RightOper) return 1;
    if (!m_ConnectError.empty()) {
        ErrorText = m_ConnectError;
        ErrorCause = m_ConnectCause;
        ConnectFailed = true;
        Task.Busy = 0;
        m_Lock.Unlock();
        return 1;
    }
    ScanSteps = m_ListingSteps;
    // Stopped while connecting: nothing was listed, and the run goes no further.
    if (!m_Listing) return 1;
    LeftOper->WaitFor();
    RightOper->WaitFor();
    const int32_t local = Task.GetLocalStateSides();
    bool damaged[2] = {LeftOper->FSavedTreeDamaged, RightOper->FSavedTreeDamaged};
    m_LocalHash[0] = m_LocalHash[1] = 0;
    if (local == LOCAL_STATE_LEFT || local == LOCAL_STATE_BOTH)
        Task.LoadSavedTree(*LeftOper->FSavedTree, 0, &m_LocalHash[0], &damaged[0], LeftOper->FFileTree.get());
    if (local == LOCAL_STATE_RIGHT || local == LOCAL_STATE_BOTH)
        Task.LoadSavedTree(*RightOper->FSavedTree, 1, &m_LocalHash[1], &damaged[1],
                           RightOper->FFileTree.get());
    // An entry the state records that is now a link holds back what would read as its deletion.
    LeftOper->HoldLeftOutAgainst(*LeftOper->FSavedTree);
    RightOper->HoldLeftOutAgainst(*RightOper->FSavedTree);
    m_StateDamaged = damaged[0] || damaged[1];
    m_StateDamagedWhy.clear();
    for (const TFileOper* oper : {LeftOper.get(), RightOper.get()})
        if (oper->FSavedTreeDamaged && !oper->FSavedTreeError.empty())
            m_StateDamagedWhy += (m_StateDamagedWhy.empty() ? "" : "; ") +
                                 std::string(oper == LeftOper.get() ? "left" : "right") +
                                 " side: " + oper->FSavedTreeError;
    Task.LFolder->InfoText = LeftOper->InfoText;
    Task.RFolder->InfoText = RightOper->InfoText;
    m_ScanComplete = !LeftOper->Terminated() && !RightOper->Terminated();
    return m_ScanComplete ? 0 : 1;
}

uint64_t TTaskRun::SavedHash(int Side) const {
    const int32_t local = Task.GetLocalStateSides();
    const bool keepsLocal = Side == 0 ? (local == LOCAL_STATE_LEFT || local == LOCAL_STATE_BOTH)
                                      : (local == LOCAL_STATE_RIGHT || local == LOCAL_STATE_BOTH);
    if (keepsLocal) return m_LocalHash[Side];
    const TFileOper* oper = Side == 0 ? LeftOper.get() : RightOper.get();
    return oper ? oper->FSavedTreeHash : 0;
}

int32_t TTaskRun::CompareContents(const TFileTree& Node) {
    if (!Node.Data || !LeftOper || !RightOper) return -1;
    TFileAttri left = *Node.Data;
    TFileAttri right = left;
    right.Size = Node.RightSize;
    right.FileDate = Node.RightDate;
    right.Attr = Node.RightAttr;
    return CompareEntryContents(*LeftOper, *Task.LFolder, left, *RightOper, *Task.RFolder, right);
}

int32_t TTaskRun::Analyze() {
    if (StartAnalyze() != 0) return 1;
    m_Analysis->WaitFor();
    return FinishAnalyze();
}

int32_t TTaskRun::StartAnalyze() {
    ConflictLines.clear();
    ResultTree = TFileTree::Create(std::string(), nullptr);
    m_Walked = false;
    m_AnalysisCancelled = false;
    if (!LeftOper || !RightOper || !m_Lock.Held()) {
        Plan.ShowView(*ResultTree, VIEW_CHANGES, Task.SyncName);
        if (ErrorText.empty()) ErrorText = "The folders were not listed.";
        return 1;
    }
    m_Analysis = std::make_unique<TAnalyzeThread>(Task, LeftOper->FFileTree, RightOper->FFileTree, ResultTree,
                                                  LeftOper->FSavedTree, RightOper->FSavedTree);
    m_Analysis->NotifyWnd = NotifyWnd;
    m_Analysis->StateDamaged = m_StateDamaged;
    m_Analysis->StateDamagedWhy = m_StateDamagedWhy;
    m_Analysis->ClockOffsets[0] = LeftOper->ClockOffset();
    m_Analysis->ClockOffsets[1] = RightOper->ClockOffset();
    m_Analysis->CompareContents = [this](const TFileTree& Node) { return CompareContents(Node); };
    m_Analysis->NotListedWhy = [this](int Side, const TFileTree& Folder) {
        return (Side == 0 ? LeftOper : RightOper)->NotListedReason(Folder);
    };
    if (OnAnalysisEnded) m_Analysis->OnTerminate = [this](TThread&) { OnAnalysisEnded(); };
    Task.Busy = 1;
    m_Analysis->Resume();
    return 0;
}

int32_t TTaskRun::FinishAnalyze() {
    if (!m_Analysis) return 1;
    std::unique_ptr<TAnalyzeThread> analysis = std::move(m_Analysis);
    analysis->WaitFor();
    ErrorText = analysis->ErrorText;
    Notes = analysis->Notes;
    Failures = analysis->Failures;
    m_UsedSavedStates = analysis->UsedSavedStates;
    m_StateCurrent[0] = analysis->StateCurrent[0];
    m_StateCurrent[1] = analysis->StateCurrent[1];
    m_AnalysisCancelled = analysis->Terminated();
    analysis.reset();
    FaultPoint("analysis");
    Plan.ShowView(*ResultTree, VIEW_CHANGES, Task.SyncName);
    Task.Busy = 0;
    if (!ErrorText.empty()) {
        m_Lock.Unlock();
        return 1;
    }
    // A cut-short analysis leaves entries half decided: only a whole one names its conflicts.
    if (!m_AnalysisCancelled) ConflictLines = ConflictLinesOf(*ResultTree);
    // Nothing to copy or delete: no walk follows, so the states are brought up to date now (a state
    // that is already current is not written).
    if (!m_AnalysisCancelled && m_ScanComplete &&
        ResultTree->LtoRCount + ResultTree->RtoLCount + ResultTree->DeleteCount == 0) {
        TFileOper* const opers[2] = {LeftOper.get(), RightOper.get()};
        TStateSources sources[2];
        for (int side : {0, 1}) {
            sources[side].Result = ResultTree.get();
            sources[side].Seen = opers[side]->FFileTree.get();
            sources[side].Previous = m_UsedSavedStates ? opers[side]->FSavedTree.get() : nullptr;
        }
        uint64_t hashes[2] = {SavedHash(0), SavedHash(1)};
        std::string reasons[2];
        const int notWritten = SaveStates(Task, sources, opers, m_StateCurrent, hashes, &reasons);
        m_StateNotWritten |= notWritten;
        for (int side : {0, 1})
            if (notWritten & (side == 0 ? STATE_LEFT_NOT_WRITTEN : STATE_RIGHT_NOT_WRITTEN)) {
                Notes.push_back(StateNotWrittenLine(Task, side, reasons[side]));
                Failures.push_back(Notes.back());
            }
        for (int side : {0, 1}) m_LocalHash[side] = opers[side]->FSavedTreeHash = hashes[side];
        m_Lock.Unlock();
    }
    // A cancelled analysis is never carried out: its run ends here.
    if (m_AnalysisCancelled) m_Lock.Unlock();
    return 0;
}

int32_t TTaskRun::Sync(const std::function<void(const std::string&)>& LogPane) {
    if (StartSync(LogPane) != 0) return 1;
    m_Sync->WaitFor();
    FinishSync();
    return 0;
}

int32_t TTaskRun::StartSync(const std::function<void(const std::string&)>& LogPane,
                            const std::function<void(TPlanRow&)>& RowChanged) {
    if (m_AnalysisCancelled || !ResultTree) {
        ErrorText = "The analysis did not end: analyze again before a sync.";
        return 1;
    }
    if (!m_Lock.Held() && !LockTask()) return 1;
    Task.Busy = 1;
    m_Sync = std::make_unique<TFileSyncThread>(Plan, Task);
    TFileSyncThread& sync = *m_Sync;
    sync.NotifyWnd = NotifyWnd;
    sync.LogPane = LogPane;
    sync.RowChanged = RowChanged;
    sync.ReportsWaiting = OnSyncReports;
    sync.ResultTree = ResultTree;
    if (LeftOper && RightOper) {
        sync.LeftListing = LeftOper->FFileTree;
        sync.RightListing = RightOper->FFileTree;
        if (m_UsedSavedStates) {
            sync.LeftSavedTree = LeftOper->FSavedTree;
            sync.RightSavedTree = RightOper->FSavedTree;
        }
        sync.StateCurrent[0] = m_StateCurrent[0];
        sync.StateCurrent[1] = m_StateCurrent[1];
        sync.LeftSavedHash = SavedHash(0);
        sync.RightSavedHash = SavedHash(1);
    }
    sync.WrittenBefore = m_Walked;
    if (OnSyncEnded) sync.OnTerminate = [this](TThread&) { OnSyncEnded(); };
    sync.Resume();
    return 0;
}

void TTaskRun::FinishSync() {
    if (!m_Sync) return;
    std::unique_ptr<TFileSyncThread> sync = std::move(m_Sync);
    sync->WaitFor();
    sync->TakeReports();
    m_Walked = m_Walked || sync->OperCount > 0;
    m_StateNotWritten |= sync->StateNotWritten;
    sync.reset();
    FaultPoint("sync");
    Task.Busy = 0;
    m_Lock.Unlock();
}

TSyncReports TTaskRun::TakeSyncReports() {
    return m_Sync ? m_Sync->TakeReports() : TSyncReports{};
}

void TTaskRun::Stop() {
    // A connect under way fails at once: Stop closes what the back-end holds open.
    if (LeftOper) LeftOper->Stop();
    if (RightOper) RightOper->Stop();
    if (m_Analysis) m_Analysis->Terminate();
    if (m_Sync) m_Sync->Terminate();
}

std::string TTaskRun::FolderCheckText(int32_t Code) {
    switch (Code) {
        case FOLDERS_SAME:
            return "Left and right folders are the same";
        case FOLDERS_NESTED:
            return "Cannot Analyze nested folders.";
        case FOLDERS_EMPTY:
            return "Folders is empty.";
        default:
            return std::string();
    }
}

void TTaskRun::FaultPoint([[maybe_unused]] std::string_view Step) {
#ifdef BFS_TEST_FAULTS
    if (const char* step = std::getenv("BFS_TEST_FAULT"); step && Step == step)
        throw std::runtime_error("a fault made on purpose in the step \"" + std::string(Step) + "\"");
#endif
}

std::string TTaskRun::ConflictCountText(int64_t Count) {
    return std::to_string(Count) + (Count == 1 ? " conflict was" : " conflicts were") + " not synced.";
}

void TTaskRun::Release() {
    Task.Busy = 0;
    m_Lock.Unlock();
}

bool TTaskRun::WorkerAlive() const {
    // While the connect worker lives it may be starting the listings: their threads are not looked at.
    if (m_Connect.joinable()) return true;
    return (LeftOper && LeftOper->Started()) || (RightOper && RightOper->Started()) || m_Analysis || m_Sync;
}

}  // namespace bfs
