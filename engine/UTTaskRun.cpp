#include "engine/UTTaskRun.h"

#include "engine/UTAnalyzeThread.h"
#include "engine/UTFileSyncThread.h"

namespace bfs {

int32_t TTaskRun::StartScan() {
    ErrorText.clear();
    switch (Task.CheckFolders()) {
        case FOLDERS_SAME: ErrorText = "Left and right folders are the same"; return 1;
        case FOLDERS_NESTED: ErrorText = "Cannot Analyze nested folders."; return 1;
        case FOLDERS_EMPTY: ErrorText = "Folders is empty."; return 1;
        default: break;
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
    if (local == LOCAL_STATE_LEFT || local == LOCAL_STATE_BOTH) Task.LoadSavedTree(*LeftOper->FSavedTree, 0);
    if (local == LOCAL_STATE_RIGHT || local == LOCAL_STATE_BOTH) Task.LoadSavedTree(*RightOper->FSavedTree, 1);
    Task.LFolder->InfoText = LeftOper->InfoText;
    Task.RFolder->InfoText = RightOper->InfoText;
    return LeftOper->Terminated() || RightOper->Terminated() ? 1 : 0;
}

int32_t TTaskRun::Analyze() {
    ResultTree = TFileTree::Create(std::string(), nullptr);
    TAnalyzeThread analysis(Task, LeftOper->FFileTree, RightOper->FFileTree, ResultTree, LeftOper->FSavedTree,
                            RightOper->FSavedTree);
    analysis.NotifyWnd = NotifyWnd;
    analysis.Resume();
    analysis.WaitFor();
    ErrorText = analysis.ErrorText;
    Plan.ShowView(*ResultTree, VIEW_CHANGES, Task.SyncName);
    Task.Busy = 0;
    return ErrorText.empty() ? 0 : 1;
}

int32_t TTaskRun::Sync(const std::function<void(const std::string&)>& LogPane) {
    Task.Busy = 1;
    TFileSyncThread sync(Plan, Task);
    sync.NotifyWnd = NotifyWnd;
    sync.LogPane = LogPane;
    sync.ResultTree = ResultTree;
    sync.LeftSavedTree = LeftOper ? LeftOper->FSavedTree : nullptr;
    sync.RightSavedTree = RightOper ? RightOper->FSavedTree : nullptr;
    sync.Resume();
    sync.WaitFor();
    Task.Busy = 0;
    return 0;
}

void TTaskRun::Stop() {
    if (LeftOper) LeftOper->Stop();
    if (RightOper) RightOper->Stop();
}

}  // namespace bfs
