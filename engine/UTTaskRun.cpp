#include "engine/UTTaskRun.h"

#include "engine/UTAnalyzeThread.h"
#include "engine/UTContentCompare.h"
#include "engine/UTFileSyncThread.h"
#include "engine/UTStateSaving.h"
#include "model/UTMyException.h"

namespace bfs {

int32_t TTaskRun::StartScan() {
    ErrorText.clear();
    Notes.clear();
    m_ScanComplete = false;
    switch (Task.CheckFolders()) {
        case FOLDERS_SAME:
            ErrorText = "Left and right folders are the same";
            return 1;
        case FOLDERS_NESTED:
            ErrorText = "Cannot Analyze nested folders.";
            return 1;
        case FOLDERS_EMPTY:
            ErrorText = "Folders is empty.";
            return 1;
        default:
            break;
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

    if (!LeftOper || LeftOper->Connect() != 0)
        ErrorText = "Cannot connect Left folder: " + Task.LFolder->FolerAllName;
    else if (!RightOper || RightOper->Connect() != 0)
        ErrorText = "Cannot connect Right folder: " + Task.RFolder->FolerAllName;
    else if (LeftOper->CheckFolder() != 0)
        ErrorText = "Left Folder is not exists.";
    else if (RightOper->CheckFolder() != 0)
        ErrorText = "Right Folder is not exists.";
    if (!ErrorText.empty()) {
        Stop();
        m_Lock.Unlock();
        return 1;
    }
    Task.Busy = 1;
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
    ResultTree = TFileTree::Create(std::string(), nullptr);
    m_Walked = false;
    if (!LeftOper || !RightOper || !m_Lock.Held()) {
        Plan.ShowView(*ResultTree, VIEW_CHANGES, Task.SyncName);
        if (ErrorText.empty()) ErrorText = "The folders were not listed.";
        return 1;
    }
    TAnalyzeThread analysis(Task, LeftOper->FFileTree, RightOper->FFileTree, ResultTree, LeftOper->FSavedTree,
                            RightOper->FSavedTree);
    analysis.NotifyWnd = NotifyWnd;
    analysis.StateDamaged = m_StateDamaged;
    analysis.CompareContents = [this](const TFileTree& Node) { return CompareContents(Node); };
    analysis.Resume();
    analysis.WaitFor();
    ErrorText = analysis.ErrorText;
    Notes = analysis.Notes;
    m_UsedSavedStates = analysis.UsedSavedStates;
    m_StateCurrent[0] = analysis.StateCurrent[0];
    m_StateCurrent[1] = analysis.StateCurrent[1];
    const bool cancelled = analysis.Terminated();
    Plan.ShowView(*ResultTree, VIEW_CHANGES, Task.SyncName);
    Task.Busy = 0;
    if (!ErrorText.empty()) {
        m_Lock.Unlock();
        return 1;
    }
    // Nothing to copy or delete: no walk follows, so the states are brought up to date now (a state
    // that is already current is not written).
    if (!cancelled && m_ScanComplete &&
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
    return 0;
}

int32_t TTaskRun::Sync(const std::function<void(const std::string&)>& LogPane) {
    if (!m_Lock.Held() && (Task.LockFileName().empty() || !m_Lock.TryLock(Task.LockFileName()))) {
        ErrorText = "The task \"" + Task.SyncName + "\" is already running.";
        return 1;
    }
    Task.Busy = 1;
    TFileSyncThread sync(Plan, Task);
    sync.NotifyWnd = NotifyWnd;
    sync.LogPane = LogPane;
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
    sync.Resume();
    sync.WaitFor();
    m_Walked = m_Walked || sync.OperCount > 0;
    Task.Busy = 0;
    m_Lock.Unlock();
    return 0;
}

void TTaskRun::Stop() {
    if (LeftOper) LeftOper->Stop();
    if (RightOper) RightOper->Stop();
}

}  // namespace bfs
