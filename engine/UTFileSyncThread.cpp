#include "engine/UTFileSyncThread.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "engine/UTStateSaving.h"
#include "model/UTConsts.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "platform/UTAtomicFile.h"

namespace bfs {

namespace {

struct TActionRow {
    int32_t Code;
    TPlanAction Action;
};

// Codes that run an operation; every other code runs nothing.
constexpr std::array<TActionRow, 6> ACTION_TABLE{{
    {ACTION_LEFT_ONLY, {OPER_COPY, SIDE_LEFT}},
    {ACTION_LEFT_NEWER, {OPER_COPY, SIDE_LEFT}},
    {ACTION_RIGHT_ONLY, {OPER_COPY, SIDE_RIGHT}},
    {ACTION_RIGHT_NEWER, {OPER_COPY, SIDE_RIGHT}},
    {ACTION_DELETED_LEFT, {OPER_DELETE, SIDE_LEFT}},
    {ACTION_DELETED_RIGHT, {OPER_DELETE, SIDE_RIGHT}},
}};

bool RunsOperation(int32_t Code) { return PlanAction(Code).Operation != OPER_NONE; }

// Rows the walk sets to done or failed: those with an operation, and folders whose code was not
// decided. Conflicts, errors and change codes (2, 3, 6, 7, 8) keep their codes: they were not
// carried out, and reporting them as done would hide them.
bool TakesResult(int32_t Code) { return RunsOperation(Code) || Code == ACTION_NONE; }

std::string MarkerRelPath() { return std::string("/") + MARKER_FOLDER + "/"; }

}  // namespace

TPlanAction PlanAction(int32_t Code) {
    for (const auto& row : ACTION_TABLE)
        if (row.Code == Code) return row.Action;
    return {};
}

TFileSyncThread::TFileSyncThread(TPlan& View, TSyncTask& Task) : TThread(true), View(View), Task(Task) {}

TFileSyncThread::~TFileSyncThread() {
    Terminate();
    WaitFor();
}

bool TFileSyncThread::IsLocal(int Side) const {
    const int32_t kind = Folder(Side).DeviceType;
    return kind == DEVICE_LOCAL || kind == DEVICE_NETWORK;
}

void TFileSyncThread::PostProgress() {
    if (NotifyWnd) NotifyWnd->PostMessage(WM_UPDATEPROCESS, 0, 10);
}

void TFileSyncThread::ShowStatus() {
    if (!LogPane) return;
    if (NotifyWnd)
        NotifyWnd->Synchronize([this] { LogPane(StatusText); });
    else
        LogPane(StatusText);
}

void TFileSyncThread::Execute() {
    try {
        MakeMarkerFolders();
        LeftOper = TSyncTask::CreateFileOper(Task.LFolder, true);
        RightOper = TSyncTask::CreateFileOper(Task.RFolder, true);
        if (!LeftOper || !RightOper) {
            StatusText = std::string("Cannot connect ") + (!LeftOper ? "Left" : "Right") +
                         " folder: " + (!LeftOper ? Task.LFolder : Task.RFolder)->FolerAllName;
            ShowStatus();
            return;
        }
        LeftOper->FFolderSource = Task.LFolder;
        RightOper->FFolderSource = Task.RFolder;
        LeftOper->NotifyWnd = NotifyWnd;
        RightOper->NotifyWnd = NotifyWnd;

        if (View.RootNode) SyncNodes(*View.RootNode);

        StatusText = "Operator File :" + std::to_string(OperCount);
        ShowStatus();
        if (OperCount > 0) SaveState();
    } catch (const std::exception& e) {
        LogError("Write Error", e);
    }
    if (LeftOper) LeftOper->Stop();
    if (RightOper) RightOper->Stop();
}

void TFileSyncThread::MakeMarkerFolders() {
    const int32_t local = Task.GetLocalStateSides();
    for (int side : {SIDE_LEFT, SIDE_RIGHT}) {
        const bool keepsLocal = side == SIDE_LEFT ? (local == LOCAL_STATE_LEFT || local == LOCAL_STATE_BOTH)
                                                  : (local == LOCAL_STATE_RIGHT || local == LOCAL_STATE_BOTH);
        auto oper = TSyncTask::CreateFileOper(side == SIDE_LEFT ? Task.LFolder : Task.RFolder, false);
        if (!oper) continue;
        oper->FFolderSource = side == SIDE_LEFT ? Task.LFolder : Task.RFolder;
        oper->Connect();
        if (!keepsLocal) oper->MakeDir(MARKER_FOLDER);
        oper->Stop();
    }
}

void TFileSyncThread::SyncNodes(TPlanRow& Node) {
    // Post-order: a folder row is handled after the rows below it (a folder is removed only after
    // its contents). Iterative, so deep plans cannot exhaust the stack.
    struct TFrame {
        TPlanRow* Row;
        size_t Next;
        bool Descended;
    };
    std::vector<TFrame> stack{{&Node, 0, false}};
    while (!stack.empty()) {
        TFrame& f = stack.back();
        if (f.Next >= f.Row->Children.size() || Terminated()) {
            stack.pop_back();
            continue;
        }
        TPlanRow& child = *f.Row->Children[f.Next];
        const bool hasChildren = !child.Children.empty();
        if (hasChildren && !f.Descended) {
            f.Descended = true;
            stack.push_back({&child, 0, false});  // f is not used after this
            continue;
        }
        ++f.Next;
        f.Descended = false;

        TResultNodeData& d = child.Data;
        int32_t result = 0;
        if (hasChildren) {
            if ((d.Action == ACTION_DELETED_LEFT || d.Action == ACTION_DELETED_RIGHT) && d.LtoRCount == 0 &&
                d.RtoLCount == 0)
                result = SyncFolder(d);
        } else if (RunsOperation(d.Action)) {
            result = d.IsFolder ? SyncFolder(d) : SyncFile(d);
            ++OperCount;
        }
        if (TakesResult(d.Action)) {
            const int32_t code = result != 0 ? ACTION_ERROR : ACTION_SAME;
            d.Action = code;
            if (d.ResultNode) d.ResultNode->SetStatus(code);
            if (RowChanged) {
                if (NotifyWnd)
                    NotifyWnd->Synchronize([this, &child] { RowChanged(child); });
                else
                    RowChanged(child);
            }
        }
    }
}

int32_t TFileSyncThread::CopyFile(TResultNodeData& D, int32_t Code, int Source, int Target, TFileAttri& Attri,
                                  int32_t SrcAttr) {
    TFileOper& src = *Oper(Source);
    TFileOper& tgt = *Oper(Target);
    TFolderSource& srcFolder = Folder(Source);
    TFolderSource& tgtFolder = Folder(Target);
    const std::string targetPath = tgt.GetFullPath(tgtFolder, Attri);
    const std::string sourcePath = src.GetFullPath(srcFolder, Attri);
    StatusText = "Copy:" + sourcePath + " -> " + targetPath;

    if (Task.SaveOldFile == 1 && (Code == ACTION_RIGHT_NEWER || Code == ACTION_LEFT_NEWER) &&
        Task.EstimateDiskSpace == 0)
        tgt.BackupFile(tgtFolder, Attri);  // a failed backup does not stop the copy

    // The copy goes to Name + ".tmp" when asked; a file of that name that is not ours is never
    // overwritten: the next free "Name.N.tmp" is taken instead.
    TFileAttri written = Attri;
    if (Task.UseTempFile == 1) {
        written.Name = D.Name + ".tmp";
        for (int n = 1; tgt.GetFileSize(tgt.GetFullPath(tgtFolder, written)) >= 0; ++n) {
            if (n > 100) return 1;
            written.Name = D.Name + "." + std::to_string(n) + ".tmp";
        }
    }

    int32_t result;
    const bool srcLocal = IsLocal(Source), tgtLocal = IsLocal(Target);
    if (srcLocal && tgtLocal) {
        result = tgt.PutFile(sourcePath, tgtFolder, written, SrcAttr, true);
    } else if (!srcLocal && tgtLocal) {
        tgt.MakeDir(Attri.Path);
        result = src.GetFile(tgt.GetFullPath(tgtFolder, written), srcFolder, Attri, 0, true);
    } else if (srcLocal && !tgtLocal) {
        tgt.MakeDir(Attri.Path);
        result = tgt.PutFile(sourcePath, tgtFolder, written, 0, true);
    } else {
        // Between two remote sides the file passes through one private staging file.
        const std::string folder = GetStagingFolder();
        if (folder.empty()) return 1;
        std::string staging = folder + "bfs-XXXXXX";
        const int fd = ::mkstemp(staging.data());
        if (fd < 0) return 1;
        ::close(fd);
        result = src.GetFile(staging, srcFolder, Attri, 0, true);
        if (result == 0) result = tgt.PutFile(staging, tgtFolder, written, SrcAttr, true);
        ::unlink(staging.c_str());
    }
    StatusText = "Copy:" + sourcePath + " -> " + targetPath;
    if (result != 0 || Task.UseTempFile != 1) return result;

    // Give the finished copy its final name once its size is right. A copy of the wrong size stays
    // under its temporary name and the row fails; the target is untouched.
    const std::string tempPath = tgt.GetFullPath(tgtFolder, written);
    if (tgt.GetFileSize(tempPath) != Attri.Size) return 1;
    if (tgt.ReplacesByRename()) return tgt.ReplaceFile(tempPath, targetPath);
    if (Code == ACTION_RIGHT_NEWER || Code == ACTION_LEFT_NEWER) tgt.DeleteFile(tgtFolder, Attri, false);
    return tgt.RenameFile(tempPath, targetPath);
}

int32_t TFileSyncThread::RunRow(const TResultNodeData& D, const char* ErrorContext, const char* ErrorPrefix,
                                const std::function<int32_t(TFileOper&, TFileOper&)>& Operation) {
    const TPlanAction action = PlanAction(D.Action);
    const int source = action.SourceSide;
    const int target = source == SIDE_LEFT ? SIDE_RIGHT : SIDE_LEFT;
    int32_t result = 1;
    StatusText.clear();
    try {
        if (!IsSafeName(D.Name) || !IsSafeRelPath(D.FolderPath)) {
            StatusText = "Error Unsafe name, not synced: " + D.FolderPath + D.Name;
        } else {
            TFileOper& src = *Oper(source);
            TFileOper& tgt = *Oper(target);
            src.Connect();  // every row connects again; harmless on an open connection
            tgt.Connect();
            result = Operation(src, tgt);
            if (result != 0) StatusText = "Error " + StatusText;
        }
    } catch (const std::exception& e) {
        LogError(ErrorContext, e);
        Terminate();  // a write exception ends the walk after this row
        StatusText = ErrorPrefix + StatusText;
        result = 1;
    }
    ShowStatus();
    PostProgress();
    return result;
}

int32_t TFileSyncThread::SyncFile(TResultNodeData& D) {
    const TPlanAction action = PlanAction(D.Action);
    const int source = action.SourceSide;
    const int target = source == SIDE_LEFT ? SIDE_RIGHT : SIDE_LEFT;
    TFileAttri attri;
    attri.Name = D.Name;
    attri.Path = D.FolderPath;
    attri.Size = source == SIDE_LEFT ? D.LeftSize : D.RightSize;
    attri.FileDate = source == SIDE_LEFT ? D.LeftDate : D.RightDate;
    const int32_t srcAttr = source == SIDE_LEFT ? D.LeftAttr : D.RightAttr;
    return RunRow(D, "Write Error", "Error: ", [&](TFileOper&, TFileOper& tgt) -> int32_t {
        if (action.Operation == OPER_COPY) return CopyFile(D, D.Action, source, target, attri, srcAttr);
        if (Task.SaveOldFile == 1 && Task.EstimateDiskSpace == 0) tgt.BackupFile(Folder(target), attri);
        StatusText = "Delete:" + tgt.GetFullPath(Folder(target), attri);
        return tgt.DeleteFile(Folder(target), attri, true);
    });
}

// A folder's own operation: made on the target, or removed there when empty. A failed one gets the
// "Error " prefix like a file's, so the log never shows a failure as done.
int32_t TFileSyncThread::SyncFolder(TResultNodeData& D) {
    const TPlanAction action = PlanAction(D.Action);
    const int target = action.SourceSide == SIDE_LEFT ? SIDE_RIGHT : SIDE_LEFT;
    TFileAttri attri;
    attri.Name = D.Name;
    attri.Path = D.FolderPath;
    attri.IsFolder = 1;
    return RunRow(D, "Write Folder Error", "Error:Write Folder ", [&](TFileOper&, TFileOper& tgt) -> int32_t {
        if (action.Operation == OPER_COPY) {
            const std::string rel = D.FolderPath + D.Name;
            StatusText = "Copy Folder " + rel;
            return tgt.MakeDir(rel);
        }
        StatusText = "Delete Folder " + tgt.GetFullPath(Folder(target), attri);
        return tgt.RemoveDir(Folder(target), attri, true);
    });
}

TFileTreeRef TFileSyncThread::MergeNewState(TFileOper& Oper, const TFileTreeRef& Previous) const {
    TFileTreeRef tree = Oper.FFileTree;
    KeepUnlisted(*tree, Previous.get());
    if (ResultTree) KeepUnsynced(*tree, Previous.get(), *ResultTree);
    return tree;
}

void TFileSyncThread::SaveState() {
    std::unique_ptr<TFileOper> opers[2] = {TSyncTask::CreateFileOper(Task.LFolder, false),
                                           TSyncTask::CreateFileOper(Task.RFolder, false)};
    if (!opers[0] || !opers[1]) return;
    opers[0]->FFolderSource = Task.LFolder;
    opers[1]->FFolderSource = Task.RFolder;
    const int32_t local = Task.GetLocalStateSides();
    try {
        opers[0]->Connect();
        opers[1]->Connect();
        // Both sides are listed at once, each on its own listing thread.
        opers[0]->Resume();
        opers[1]->Resume();
        opers[0]->WaitFor();
        opers[1]->WaitFor();
    } catch (const std::exception& e) {
        LogError("Save State Error", e);
        return;
    }
    for (int side : {SIDE_LEFT, SIDE_RIGHT}) {
        TFileOper& oper = *opers[side];
        try {
            // A side whose listing failed as a whole keeps its previous state.
            if (oper.FFileTree->NotListed) {
                TMyException::Instance().LogError("Save State Error", "EInOutError",
                                                  "not saved, listing incomplete: " + Folder(side).FolerAllName);
                continue;
            }
            TFileTreeRef tree = MergeNewState(oper, side == SIDE_LEFT ? LeftSavedTree : RightSavedTree);
            std::string stream;
            tree->SaveToStream(stream, Folder(side).FolerAllName);
            const bool keepsLocal = side == SIDE_LEFT
                                        ? (local == LOCAL_STATE_LEFT || local == LOCAL_STATE_BOTH)
                                        : (local == LOCAL_STATE_RIGHT || local == LOCAL_STATE_BOTH);
            int32_t rc;
            if (keepsLocal) {
                rc = SaveStateLocal(stream, side);
            } else {
                TFileAttri marker;
                marker.Name = SyncIDToFileName(Task.SyncID);
                marker.Path = MarkerRelPath();
                rc = oper.WriteStreamToFile(stream, Folder(side), marker, false);
            }
            if (rc != 0)
                TMyException::Instance().LogError("Save State Error", "EInOutError",
                                                  "saved state not written: " + Folder(side).FolerAllName);
        } catch (const std::exception& e) {
            LogError("Save State Error", e);
        }
    }
    opers[0]->Stop();
    opers[1]->Stop();
}

int32_t TFileSyncThread::SaveStateLocal(const std::string& Stream, int Side) {
    const std::string file = Task.LocalStateFileName(Side);
    if (file.empty()) return ENOENT;
    const auto slash = file.rfind('/');
    if (int err = MakeFolders(file.substr(0, slash)); err != 0) return err;
    return WriteFileAtomic(file, Stream);
}

}  // namespace bfs
