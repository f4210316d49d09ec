#include "engine/UTFileSyncThread.h"

#include "engine/UTContentCompare.h"
#include "engine/UTStateSaving.h"
#include "model/UTConsts.h"
#include "model/UTDosTime.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "platform/UTLocalFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

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

bool RunsOperation(int32_t Code) {
    return PlanAction(Code).Operation != OPER_NONE;
}

// Rows the walk sets to done or failed: those with an operation, and folders whose code was not
// decided. Conflicts, errors and change codes (2, 3, 6, 7, 8) keep their codes: they were not
// carried out, and reporting them as done would hide them.
bool TakesResult(int32_t Code) {
    return RunsOperation(Code) || Code == ACTION_NONE;
}

// Records on the result node that the walk carried out Code there, and for a copy the size and
// date that the target side itself showed for the file right after it was written (Written). The
// state saving records the entry when the side, listed again, still shows just that.
void MarkDone(TFileTree& Node, int32_t Code, const TEntryState& Written) {
    Node.DoneAction = static_cast<uint8_t>(Code);
    const TPlanAction action = PlanAction(Code);
    if (action.Operation != OPER_COPY) return;
    if (action.SourceSide == SIDE_LEFT) {
        Node.RightSize = Written.Size;
        Node.RightDate = Written.FileDate;
    } else {
        Node.LeftSize = Written.Size;
        Node.LeftDate = Written.FileDate;
    }
}

// Finishes a download into the local file Path, which stands in for Target: it gets the mode of the
// file it replaces, or a new file's mode (0666 less the umask) as a plain copy would give it, and,
// when the side that sent it did not date it like its listing, the listed date. 0 or 1.
int32_t FinishDownload(const std::string& Path, const std::string& Target, int32_t FileDate) {
    struct stat st {};
    const mode_t mode = ::lstat(Target.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? (st.st_mode & 07777)
                                                                                 : (0666 & ~ProcessUmask());
    if (::chmod(Path.c_str(), mode) != 0 || ::stat(Path.c_str(), &st) != 0) return 1;
    if (UnixTimeToDosDate(static_cast<int64_t>(st.st_mtime)) == FileDate) return 0;
    const int64_t unix = DosDateInstant(FileDate);
    if (unix == -1) return 0;
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(unix), 0}};
    return ::utimensat(AT_FDCWD, Path.c_str(), times, 0) == 0 ? 0 : 1;
}

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
    return IsLocalKind(Folder(Side).DeviceType);
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

        // A walk that was cancelled (or ended by a failure) still records what it carried out.
        const bool cancelled = Terminated();
        StatusText = "Operator File :" + std::to_string(OperCount);
        ShowStatus();
        if (OperCount > 0 || !cancelled) SaveState();
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
        // An entry the filters excluded never moves, whichever view the plan shows.
        if (d.ResultNode && (d.ResultNode->Flags & NODE_EXCLUDED) != 0) continue;
        const int32_t code = d.Action;
        int32_t result = 0;
        bool ran = false;
        if (hasChildren) {
            if ((code == ACTION_DELETED_LEFT || code == ACTION_DELETED_RIGHT) && d.LtoRCount == 0 &&
                d.RtoLCount == 0) {
                result = SyncFolder(d);
                ran = true;
            }
        } else if (RunsOperation(code)) {
            result = d.IsFolder ? SyncFolder(d) : SyncFile(d);
            ran = true;
            ++OperCount;
        }
        if (ran && result == 0 && d.ResultNode) MarkDone(*d.ResultNode, code, m_Written);
        if (TakesResult(code)) {
            const int32_t outcome = result != 0 ? ACTION_ERROR : ACTION_SAME;
            if (d.ResultNode) d.ResultNode->SetStatus(outcome);
            // A window paints the rows while the walk runs: the row's code changes on its thread.
            bool written = false;
            if (RowChanged && NotifyWnd)
                NotifyWnd->Synchronize([this, &child, &written, outcome] {
                    child.Data.Action = outcome;
                    written = true;
                    RowChanged(child);
                });
            if (!written) {
                d.Action = outcome;
                if (RowChanged && !NotifyWnd) RowChanged(child);
            }
        }
    }
}

int32_t TFileSyncThread::CheckTarget(const TResultNodeData& D, int Target, const TFileAttri& Attri) {
    // The row's fields of the target side are what the analysis saw there: attribute 0 means no entry.
    const int32_t attr = Target == SIDE_LEFT ? D.LeftAttr : D.RightAttr;
    const int64_t size = Target == SIDE_LEFT ? D.LeftSize : D.RightSize;
    const int32_t date = Target == SIDE_LEFT ? D.LeftDate : D.RightDate;
    TEntryState now;
    const bool lookedUp = Oper(Target)->GetEntryState(Folder(Target), Attri, now) == 0;
    const bool same =
        lookedUp &&
        (attr == 0 ? !now.Exists : now.Exists && !now.IsFolder && now.Size == size && now.FileDate == date);
    if (same) return 0;
    StatusText = "changed since the analysis: " + Oper(Target)->GetFullPath(Folder(Target), Attri);
    return 1;
}

int32_t TFileSyncThread::CopyInto(int Source, int Target, const TFileAttri& Attri, const TFileAttri& Into,
                                  int32_t SrcAttr) {
    TFileOper& src = *Oper(Source);
    TFileOper& tgt = *Oper(Target);
    TFolderSource& srcFolder = Folder(Source);
    TFolderSource& tgtFolder = Folder(Target);
    const bool srcLocal = IsLocal(Source), tgtLocal = IsLocal(Target);
    if (srcLocal)
        return tgt.PutFile(src.GetFullPath(srcFolder, Attri), tgtFolder, Into, tgtLocal ? SrcAttr : 0, true);
    if (tgtLocal) {
        const std::string local = tgt.GetFullPath(tgtFolder, Into);
        const int32_t result = src.GetFile(local, srcFolder, Attri, 0, true);
        return result == 0 ? FinishDownload(local, tgt.GetFullPath(tgtFolder, Attri), Attri.FileDate)
                           : result;
    }
    // Between two remote sides the file passes through one private staging file, dated like the
    // source so that an upload that can set a date carries the source's.
    const std::string staging = MakeStagingFile();
    if (staging.empty()) return 1;
    int32_t result = src.GetFile(staging, srcFolder, Attri, 0, true);
    if (result == 0) result = FinishDownload(staging, staging, Attri.FileDate);
    if (result == 0) result = tgt.PutFile(staging, tgtFolder, Into, SrcAttr, true);
    ::unlink(staging.c_str());
    return result;
}

// A copy never exposes a partial file under the entry's name: it is written to a temporary entry of
// the reserved form, checked (complete, of the listed size, the source unchanged after the read,
// the target still as the analysis saw it), dated, and only then renamed onto the entry.
int32_t TFileSyncThread::CopyFile(TResultNodeData& D, int32_t Code, int Source, int Target, TFileAttri& Attri,
                                  int32_t SrcAttr) {
    TFileOper& src = *Oper(Source);
    TFileOper& tgt = *Oper(Target);
    TFolderSource& srcFolder = Folder(Source);
    TFolderSource& tgtFolder = Folder(Target);
    const std::string targetPath = tgt.GetFullPath(tgtFolder, Attri);
    const std::string sourcePath = src.GetFullPath(srcFolder, Attri);
    const auto sourceChanged = [&] {
        StatusText = "changed while copying: " + sourcePath;
        return RESULT_SOURCE_CHANGED;
    };
    StatusText = "Copy:" + sourcePath + " -> " + targetPath;
    const bool replaces = (Target == SIDE_LEFT ? D.LeftAttr : D.RightAttr) != 0;
    // The backup copies the target as the analysis saw it, or nothing.
    if (Task.SaveOldFile == 1 && (Code == ACTION_RIGHT_NEWER || Code == ACTION_LEFT_NEWER) && replaces &&
        Task.EstimateDiskSpace == 0) {
        if (CheckTarget(D, Target, Attri) != 0) return 1;
        if (tgt.BackupFile(tgtFolder, Attri) != 0) {
            StatusText = "Backup failed, not replaced: " + targetPath;
            return 1;
        }
    }
    if (tgt.MakeDir(Attri.Path) != 0) return 1;

    // A source that is not a local file is looked at again once it has been read (a local one was
    // checked while it was read, on the open file).
    const auto sourceUnchanged = [&] {
        if (IsLocal(Source) && IsLocal(Target)) return true;
        TEntryState now;
        return src.GetEntryState(srcFolder, Attri, now) == 0 && now.Exists && !now.IsFolder &&
               now.Size == Attri.Size && now.FileDate == Attri.FileDate;
    };

    if (tgt.WritesAtomically()) {
        // Written straight under its name: the same checks as a temporary copy, after the fact.
        if (CheckTarget(D, Target, Attri) != 0) return 1;
        int32_t result = CopyInto(Source, Target, Attri, Attri, SrcAttr);
        StatusText = "Copy:" + sourcePath + " -> " + targetPath;
        if (result == 0 && !sourceUnchanged()) result = RESULT_SOURCE_CHANGED;
        if (result == 0) result = ConfirmWritten(Target, Attri, false);
        return result == RESULT_SOURCE_CHANGED ? sourceChanged() : result;
    }

    const TFileAttri temp = tgt.TempEntryFor(Attri);
    const std::string tempPath = tgt.GetFullPath(tgtFolder, temp);
    int32_t result = CopyInto(Source, Target, Attri, temp, SrcAttr);
    StatusText = "Copy:" + sourcePath + " -> " + targetPath;
    if (result == 0 && tgt.GetFileSize(tempPath) != Attri.Size) result = 1;
    if (result == 0 && !sourceUnchanged()) result = RESULT_SOURCE_CHANGED;
    if (result == 0 && !replaces) {
        // The rename never goes over an entry: one that appeared meanwhile makes it fail (and the
        // check says so).
        result = tgt.RenameFile(tempPath, targetPath);
        if (result != 0) CheckTarget(D, Target, Attri);
    } else if (result == 0) {
        result = CheckTarget(D, Target, Attri);
        if (result == 0)
            result = tgt.ReplacesByRename() ? tgt.ReplaceFile(tempPath, targetPath)
                                            : ReplaceAside(tgt, tempPath, Attri, targetPath);
    }
    if (result != 0) {
        tgt.DeleteFile(tgtFolder, temp, false);
        return result == RESULT_SOURCE_CHANGED ? sourceChanged() : result;
    }
    return ConfirmWritten(Target, Attri, false);
}

// For a side that cannot rename over a file: the old file steps aside (AsideName), the new one takes
// its name, and only then is the old one deleted. When the new one cannot take the name, the old
// one goes back; a run that ends in between leaves the aside for the next listing to give back. At
// no point is the only copy of either deleted.
int32_t TFileSyncThread::ReplaceAside(TFileOper& Tgt, const std::string& TempPath, const TFileAttri& Attri,
                                      const std::string& TargetPath) {
    TFolderSource& folder = *Tgt.FFolderSource;
    TFileAttri aside = Attri;  // beside the file, under the name a later listing gives back
    aside.Name = AsideName(Attri.Name);
    if (aside.Name.empty()) aside.Name = NewReservedName();
    const std::string asidePath = Tgt.GetFullPath(folder, aside);
    if (Tgt.RenameFile(TargetPath, asidePath) != 0) return 1;
    if (Tgt.RenameFile(TempPath, TargetPath) != 0) {
        if (Tgt.RenameFile(asidePath, TargetPath) != 0)
            StatusText = "not replaced, and the old file could not take its name again: " + TargetPath;
        return 1;
    }
    Tgt.DeleteFile(folder, aside, false);  // a leftover that stays is removed by a later listing
    return 0;
}

// Looks the entry just written up on the target side: it must be there under its own name, of its
// kind (and a file of the size written). What the side shows then is what the state records. A side
// that stores the name otherwise (a trailing blank dropped, a name it cannot hold) fails the row.
int32_t TFileSyncThread::ConfirmWritten(int Target, const TFileAttri& Attri, bool IsFolder) {
    TEntryState now;
    if (Oper(Target)->GetEntryState(Folder(Target), Attri, now) == 0 && now.Exists &&
        now.IsFolder == IsFolder && (IsFolder || now.Size == Attri.Size)) {
        m_Written = now;
        return 0;
    }
    StatusText = "not found as written: " + Oper(Target)->GetFullPath(Folder(Target), Attri);
    return 1;
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
        const std::string targetPath = tgt.GetFullPath(Folder(target), attri);
        StatusText = "Delete:" + targetPath;
        if (CheckTarget(D, target, attri) != 0) return 1;
        if (Task.SaveOldFile == 1 && Task.EstimateDiskSpace == 0 &&
            tgt.BackupFile(Folder(target), attri) != 0) {
            StatusText = "Backup failed, not deleted: " + targetPath;
            return 1;
        }
        StatusText = "Delete:" + targetPath;
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
            if (tgt.MakeDir(rel) != 0) return 1;
            return ConfirmWritten(target, attri, true);
        }
        StatusText = "Delete Folder " + tgt.GetFullPath(Folder(target), attri);
        return tgt.RemoveDir(Folder(target), attri, true);
    });
}

void TFileSyncThread::SaveState() {
    // Without the analysis it carried out, a walk knows too little to say what a side now holds.
    if (!ResultTree) return;
    const auto reportNotWritten = [this](int Sides) {
        StateNotWritten |= Sides;
        for (int side : {SIDE_LEFT, SIDE_RIGHT}) {
            if ((Sides & (side == SIDE_LEFT ? STATE_LEFT_NOT_WRITTEN : STATE_RIGHT_NOT_WRITTEN)) == 0)
                continue;
            StatusText = StateNotWrittenLine(Task, side);
            ShowStatus();
        }
    };
    std::unique_ptr<TFileOper> opers[2] = {TSyncTask::CreateFileOper(Task.LFolder, false),
                                           TSyncTask::CreateFileOper(Task.RFolder, false)};
    if (!opers[0] || !opers[1]) {
        reportNotWritten(STATE_LEFT_NOT_WRITTEN | STATE_RIGHT_NOT_WRITTEN);
        return;
    }
    opers[0]->FFolderSource = Task.LFolder;
    opers[1]->FFolderSource = Task.RFolder;
    // Only what the walk wrote needs a new look: both sides are listed again at once, each on its
    // own listing thread. A new listing shares the analysis's listing's nodes wherever the side still
    // shows them as they were, so it costs memory only for what changed.
    const bool relist = OperCount > 0 || WrittenBefore;
    const TFileTreeRef listings[2] = {LeftListing, RightListing};
    try {
        opers[0]->Connect();
        opers[1]->Connect();
        if (relist) {
            for (int side : {SIDE_LEFT, SIDE_RIGHT}) {
                opers[side]->FEarlierListing = listings[side].get();
                opers[side]->Resume();
            }
            opers[0]->WaitFor();
            opers[1]->WaitFor();
        }
    } catch (const std::exception& e) {
        LogError("Save State Error", e);
        reportNotWritten(STATE_LEFT_NOT_WRITTEN | STATE_RIGHT_NOT_WRITTEN);
        return;
    }
    const TFileTreeRef saved[2] = {LeftSavedTree, RightSavedTree};
    TStateSources sources[2];
    for (int side : {SIDE_LEFT, SIDE_RIGHT}) {
        sources[side].Result = ResultTree.get();
        sources[side].Seen = listings[side].get();
        sources[side].Previous = saved[side].get();
        sources[side].Relisted = relist ? opers[side]->FFileTree.get() : nullptr;
    }
    // A state that already records what its side lists needs no new text when nothing was done.
    const bool skip[2] = {!relist && StateCurrent[0], !relist && StateCurrent[1]};
    TFileOper* const writers[2] = {opers[0].get(), opers[1].get()};
    uint64_t hashes[2] = {LeftSavedHash, RightSavedHash};
    reportNotWritten(SaveStates(Task, sources, writers, skip, hashes));
    opers[0]->Stop();
    opers[1]->Stop();
}

int32_t TFileSyncThread::SaveStateLocal(const std::string& Stream, int Side) {
    return SaveStateLocalFile(Task, Stream, Side);
}

}  // namespace bfs
