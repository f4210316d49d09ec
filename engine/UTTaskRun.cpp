#include "engine/UTTaskRun.h"

#include "engine/UTContentCompare.h"
#include "engine/UTStateSaving.h"
#include "model/UTMyException.h"

namespace bfs {

int32_t TTaskRun::StartScan() {
    ErrorText.clear();
    Notes.clear();
    m_ScanComplete = false;
    FolderCheckFailed = false;
    ScanSteps = 0;
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
    const std::string lockFile = Task.LockFileName();
    if (lockFile.empty() || !m_Lock.TryLock(lockFile)) {
        ErrorText = "The task \"" + Task.SyncName + "\" is already running.";
        return 1;
    }
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

    // A back-end's one-line reason, when it gives one, ends the line.
    auto reason = [](const TFileOper* Oper) {
        return Oper && !Oper->FailureText.empty() ? " (" + Oper->FailureText + ")" : std::string();
    };
    if (!LeftOper || LeftOper->Connect() != 0)
        ErrorText = "Cannot connect Left folder: " + Task.LFolder->FolerAllName + reason(LeftOper.get());
    else if (!RightOper || RightOper->Connect() != 0)
        ErrorText = "Cannot connect Right folder: " + Task.RFolder->FolerAllName + reason(RightOper.get());
    else if (LeftOper->CheckFolder() != 0)
        ErrorText = "Left Folder is not exists." + reason(LeftOper.get());
    else if (RightOper->CheckFolder() != 0)
        ErrorText = "Right Folder is not exists." + reason(RightOper.get());
    if (!ErrorText.empty()) {
        TMyException::Instance().LogError("Task " + Task.SyncName, "Connect", ErrorText);
        Stop();
        m_Lock.Unlock();
        return 1;
    }
    Task.Busy = 1;
    ScanSteps = LeftOper->GetScanSteps() + RightOper->GetScanSteps();
    if (OnScanEnded) {
        LeftOper->OnTerminate = [this](TThread&) { OnScanEnded(0); };
        RightOper->OnTerminate = [this](TThread&) { OnScanEnded(1); };
    }
    RightOper->Resume();
    LeftOper->Resume();
    return 0;
}

int32_t TTaskRun::FinishScan() {
    if (!LeftOper || !RightOper) return 1;
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
    m_StateDamaged = damaged[0] || damaged[1];
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
    m_Analysis->CompareContents = [this](const TFileTree& Node) { return CompareContents(Node); };
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
    m_UsedSavedStates = analysis->UsedSavedStates;
    m_StateCurrent[0] = analysis->StateCurrent[0];
    m_StateCurrent[1] = analysis->StateCurrent[1];
    m_AnalysisCancelled = analysis->Terminated();
    analysis.reset();
    Plan.ShowView(*ResultTree, VIEW_CHANGES, Task.SyncName);
    Task.Busy = 0;
    if (!ErrorText.empty()) {
        m_Lock.Unlock();
        return 1;
    }
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
        SaveStates(Task, sources, opers, m_StateCurrent, hashes);
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
    if (!m_Lock.Held() && (Task.LockFileName().empty() || !m_Lock.TryLock(Task.LockFileName()))) {
        ErrorText = "The task \"" + Task.SyncName + "\" is already running.";
        return 1;
    }
    Task.Busy = 1;
    m_Sync = std::make_unique<TFileSyncThread>(Plan, Task);
    TFileSyncThread& sync = *m_Sync;
    sync.NotifyWnd = NotifyWnd;
    sync.LogPane = LogPane;
    sync.RowChanged = RowChanged;
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
    m_Walked = m_Walked || sync->OperCount > 0;
    sync.reset();
    Task.Busy = 0;
    m_Lock.Unlock();
}

void TTaskRun::Stop() {
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

void TTaskRun::Release() {
    Task.Busy = 0;
    m_Lock.Unlock();
}

bool TTaskRun::WorkerAlive() const {
    return (LeftOper && LeftOper->Started()) || (RightOper && RightOper->Started()) || m_Analysis || m_Sync;
}

}  // namespace bfs
