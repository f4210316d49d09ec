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
#include "platform/UTLocalRoot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace bfs {

namespace {

std::atomic<int> g_TransferCount{0};  // SetTransferCount's; 0: SYNC_TRANSFERS

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
// when the side that sent it did not date it like its listing, the listed date. Both are reached
// beneath their side's root (UTLocalRoot.h), and Path is changed through one descriptor. 0 or 1.
int32_t FinishDownload(const std::string& Path, const std::string& Target, int32_t FileDate) {
    struct stat st {};
    const mode_t mode =
        StatLocal(Target, st) == 0 && S_ISREG(st.st_mode) ? (st.st_mode & 07777) : (0666 & ~ProcessUmask());
    const TFd fd(OpenLocal(Path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || ::fchmod(fd.Get(), mode) != 0)
        return 1;
    if (UnixTimeToDosDate(static_cast<int64_t>(st.st_mtime)) == FileDate) return 0;
    const int64_t unix = DosDateInstant(FileDate);
    if (unix == -1) return 0;
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(unix), 0}};
    return ::futimens(fd.Get(), times) == 0 ? 0 : 1;
}

}  // namespace

TPlanAction PlanAction(int32_t Code) {
    for (const auto& row : ACTION_TABLE)
        if (row.Code == Code) return row.Action;
    return {};
}

// A row from the moment the walk reaches it until it is reported.
struct TFileSyncThread::TRowJob {
    TPlanRow* Row = nullptr;
    int32_t Code = ACTION_NONE;  // the row's code when the walk reached it
    bool Runs = false;           // carries out an operation on a transfer
    bool Counts = false;         // a row without children that runs: counts in OperCount
    bool Folder = false;         // the operation is a folder's (SyncFolder)
    TRowRun Run;                 // written by the transfer, read once Done
    int32_t Result = 0;          // written by the transfer, read once Done
    bool Done = false;           // guarded by TRowPool::Lock
};

// The transfers' threads and the rows between the walk and the report.
struct TFileSyncThread::TRowPool {
    std::mutex Lock;                      // guards Given, Closing and every job's Done
    std::condition_variable_any Changed;  // a row was handed out or finished, or the pool closes
    std::vector<TRowJob*> Given;          // by transfer: the row handed to it and not yet done, or null
    bool Closing = false;                 // no more rows: each thread ends once its row is done
    // Walked rows not yet reported, in row order. Sync thread only (their Done under Lock).
    std::deque<std::unique_ptr<TRowJob>> Reports;
    std::vector<std::thread> Threads;

    ~TRowPool() {
        {
            std::lock_guard lock(Lock);
            Closing = true;
        }
        Changed.notify_all();
        for (std::thread& t : Threads) t.join();
    }
};

TFileSyncThread::TFileSyncThread(TPlan& View, TSyncTask& Task) : TThread(true), View(View), Task(Task) {}

TFileSyncThread::~TFileSyncThread() {
    Terminate();
    WaitFor();
}

void TFileSyncThread::SetTransferCount(int Count) {
    g_TransferCount = std::max(0, Count);
}

int TFileSyncThread::TransferCount() {
    const int count = g_TransferCount;
    return count > 0 ? count : SYNC_TRANSFERS;
}

bool TFileSyncThread::IsLocal(int Side) const {
    return IsLocalKind(Folder(Side).DeviceType);
}

std::unique_ptr<TFileOper> TFileSyncThread::MakeOper(int Side) {
    TFolderSourceRef& folder = Side == SIDE_LEFT ? Task.LFolder : Task.RFolder;
    auto oper = TSyncTask::CreateFileOper(folder, true);
    if (!oper) return oper;
    oper->FFolderSource = folder;
    oper->NotifyWnd = NotifyWnd;
    return oper;
}

void TFileSyncThread::PostProgress() {
    if (NotifyWnd) NotifyWnd->PostMessage(WM_UPDATEPROCESS, 0, 10);
}

void TFileSyncThread::ShowStatus() {
    Report(StatusText, nullptr, 0);
}

void TFileSyncThread::Report(std::string Line, TPlanRow* Row, int32_t Outcome) {
    if (!ReportsWaiting) {
        if (Row) {
            Row->Data.Action = Outcome;
            if (RowChanged) RowChanged(*Row);
        } else if (LogPane) {
            LogPane(Line);
        }
        return;
    }
    {
        std::lock_guard lock(m_ReportLock);
        if (Row)
            m_Reports.Rows.emplace_back(Row, Outcome);
        else
            m_Reports.Lines.push_back(std::move(Line));
        if (m_ReportsPosted) return;
        m_ReportsPosted = true;
    }
    ReportsWaiting();
}

TSyncReports TFileSyncThread::TakeReports() {
    TSyncReports taken;
    {
        std::lock_guard lock(m_ReportLock);
        taken = std::exchange(m_Reports, {});
        m_ReportsPosted = false;
    }
    for (auto& [row, outcome] : taken.Rows) row->Data.Action = outcome;
    return taken;
}

void TFileSyncThread::Execute() {
    try {
        MakeMarkerFolders();
        LeftOper = MakeOper(SIDE_LEFT);
        RightOper = MakeOper(SIDE_RIGHT);
        if (!LeftOper || !RightOper) {
            StatusText = std::string("Cannot connect ") + (!LeftOper ? "Left" : "Right") +
                         " folder: " + (!LeftOper ? Task.LFolder : Task.RFolder)->FolerAllName;
            ShowStatus();
            return;
        }

        if (View.RootNode) SyncNodes(*View.RootNode);

        // A walk that was cancelled (or ended by a failure) still records what it carried out.
        const bool cancelled = Terminated();
        StatusText = "Operator File :" + std::to_string(OperCount);
        ShowStatus();
        if (OperCount > 0 || !cancelled) SaveState();
    } catch (const std::exception& e) {
        LogError("Write Error", e);
    }
    for (TTransfer& t : m_Transfers)
        for (auto& oper : t.Own)
            if (oper) oper->Stop();
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

void TFileSyncThread::MakeTargetFolder(TTransfer& Via, const TResultNodeData& D, int32_t Code) {
    const TPlanAction action = PlanAction(Code);
    const int target = action.SourceSide == SIDE_LEFT ? SIDE_RIGHT : SIDE_LEFT;
    if (!IsSafeRelPath(D.FolderPath)) return;
    const bool replaces = (target == SIDE_LEFT ? D.LeftAttr : D.RightAttr) != 0;
    const bool backsUp = Task.SaveOldFile == 1 && Task.EstimateDiskSpace == 0 && !D.IsFolder &&
                         (action.Operation == OPER_DELETE ||
                          (replaces && (Code == ACTION_RIGHT_NEWER || Code == ACTION_LEFT_NEWER)));
    if (action.Operation != OPER_COPY && !backsUp) return;
    try {
        TFileOper& oper = *Via.Opers[target];
        oper.Connect();
        // The folder written into, and the one its backup goes to; each made at most once per transfer.
        std::string folders[2] = {action.Operation == OPER_COPY ? D.FolderPath.str() : std::string(), {}};
        if (backsUp) folders[1] = oper.GetBackupFolder() + D.FolderPath.str();
        for (const std::string& folder : folders)
            if (!folder.empty() && Via.Made[target].count(folder) == 0 && oper.MakeDir(folder) == 0)
                Via.Made[target].insert(folder);
    } catch (const std::exception& e) {
        LogError("Write Folder Error", e);
    }
}

void TFileSyncThread::ReportRow(TRowJob& Job) {
    TPlanRow& row = *Job.Row;
    TResultNodeData& d = row.Data;
    const int32_t code = Job.Code;
    if (Job.Counts) ++OperCount;
    if (Job.Runs) {
        // Failed or not, the row may have written: the listing made after the walk looks at it.
        const TPlanAction action = PlanAction(code);
        m_Written[action.SourceSide == SIDE_LEFT ? SIDE_RIGHT : SIDE_LEFT].Add(d.FolderPath.str(), d.Name,
                                                                               Job.Folder);
        StatusText = std::move(Job.Run.Status);
        ShowStatus();
        PostProgress();
        if (Job.Result == 0 && d.ResultNode) MarkDone(*d.ResultNode, code, Job.Run.Written);
    }
    if (!TakesResult(code)) return;
    const int32_t outcome = Job.Result != 0 ? ACTION_ERROR : ACTION_SAME;
    if (d.ResultNode) d.ResultNode->SetStatus(outcome);
    Report({}, &row, outcome);
}

void TFileSyncThread::SyncNodes(TPlanRow& Node) {
    if (m_Transfers.empty()) {
        // The first transfer works through the walk's own back-ends; each other one has its own.
        const int transfers = TransferCount();
        for (int i = 0; i < transfers; ++i) {
            TTransfer t;
            if (i > 0) {
                t.Own[SIDE_LEFT] = MakeOper(SIDE_LEFT);
                t.Own[SIDE_RIGHT] = MakeOper(SIDE_RIGHT);
            }
            t.Opers[SIDE_LEFT] = i > 0 ? t.Own[SIDE_LEFT].get() : LeftOper.get();
            t.Opers[SIDE_RIGHT] = i > 0 ? t.Own[SIDE_RIGHT].get() : RightOper.get();
            if (!t.Opers[SIDE_LEFT] || !t.Opers[SIDE_RIGHT]) break;
            m_Transfers.push_back(std::move(t));
        }
        if (m_Transfers.empty()) return;
    }
    TRowPool pool;
    pool.Given.assign(m_Transfers.size(), nullptr);
    // Between two local folders the time goes to the file system. It makes new files one at a time
    // faster than side by side, but replacing a file waits for the old one's blocks to be written
    // out, and those waits overlap: the walk makes new files (and deletes, and handles folders)
    // itself on the first transfer, and hands only the rows that replace a file to the others.
    const bool splitLocal = m_Transfers.size() > 1 && IsLocal(SIDE_LEFT) && IsLocal(SIDE_RIGHT);
    const size_t firstPooled = splitLocal ? 1 : 0;
    // Carries out one row on a transfer's back-ends.
    const auto runRow = [this](TTransfer& Via, TRowJob& Job) {
        Job.Run.Opers[SIDE_LEFT] = Via.Opers[SIDE_LEFT];
        Job.Run.Opers[SIDE_RIGHT] = Via.Opers[SIDE_RIGHT];
        try {
            Job.Result = Job.Folder ? SyncFolder(Job.Run, Job.Row->Data) : SyncFile(Job.Run, Job.Row->Data);
        } catch (...) {
            Terminate();  // as an exception in the row's operation: the walk ends after it
            Job.Run.Status = "Error: " + Job.Run.Status;
            Job.Result = 1;
        }
    };
    // With one transfer the walk carries out each row itself: handing it to a thread and waiting
    // for it would only add two thread switches to every row.
    const bool inlineRows = m_Transfers.size() == 1;
    const auto runsInline = [&](const TRowJob& Job) {
        if (inlineRows) return true;
        if (!splitLocal) return false;
        const TPlanAction action = PlanAction(Job.Code);
        const TResultNodeData& d = Job.Row->Data;
        const int target = action.SourceSide == SIDE_LEFT ? SIDE_RIGHT : SIDE_LEFT;
        return Job.Folder || action.Operation != OPER_COPY ||
               (target == SIDE_LEFT ? d.LeftAttr : d.RightAttr) == 0;
    };
    // Runs on a pool thread: carries out the rows handed to transfer Index, one at a time.
    const auto transfer = [this, &pool, &runRow](size_t Index) {
        TTransfer& via = m_Transfers[Index];
        std::unique_lock lock(pool.Lock);
        for (;;) {
            pool.Changed.wait(lock, [&] { return pool.Given[Index] != nullptr || pool.Closing; });
            if (pool.Given[Index] == nullptr) return;
            TRowJob& job = *pool.Given[Index];
            lock.unlock();
            runRow(via, job);
            lock.lock();
            job.Done = true;
            pool.Given[Index] = nullptr;
            pool.Changed.notify_all();
        }
    };
    if (!inlineRows)
        for (size_t i = firstPooled; i < m_Transfers.size(); ++i) pool.Threads.emplace_back(transfer, i);

    // Reports the rows at the head of the queue that are done, in row order.
    const auto report = [&] {
        for (;;) {
            {
                std::lock_guard lock(pool.Lock);
                if (pool.Reports.empty() || !pool.Reports.front()->Done) return;
            }
            const std::unique_ptr<TRowJob> job = std::move(pool.Reports.front());
            pool.Reports.pop_front();
            ReportRow(*job);
        }
    };
    // Waits until Ready() holds (it is tested under the pool's lock), reporting finished rows
    // meanwhile. False when the walk is cancelled first (only when Cancellable).
    const auto waitUntil = [&](const auto& Ready, bool Cancellable) {
        for (;;) {
            report();
            std::unique_lock lock(pool.Lock);
            const auto wake = [&] {
                return Ready() || (!pool.Reports.empty() && pool.Reports.front()->Done);
            };
            if (Ready()) return true;
            if (!Cancellable)
                pool.Changed.wait(lock, wake);
            else if (!pool.Changed.wait(lock, StopToken(), wake))
                return false;
        }
    };

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

        const TResultNodeData& d = child.Data;
        // An entry the filters excluded never moves, whichever view the plan shows.
        if (d.ResultNode && (d.ResultNode->Flags & NODE_EXCLUDED) != 0) continue;
        auto job = std::make_unique<TRowJob>();
        job->Row = &child;
        job->Code = d.Action;
        job->Folder = hasChildren || d.IsFolder;
        const TPlanAction action = PlanAction(job->Code);
        if (hasChildren)
            job->Runs = action.Operation == OPER_DELETE && d.LtoRCount == 0 && d.RtoLCount == 0;
        else
            job->Runs = job->Counts = action.Operation != OPER_NONE;
        if (!job->Runs && !TakesResult(job->Code)) continue;

        if (job->Runs) {
            // A folder is removed only once nothing below it is in flight.
            const std::string below = d.FolderPath + d.Name + "/";
            const bool removesFolder = job->Folder && action.Operation == OPER_DELETE;
            // A row the walk carries out itself runs on the first transfer, which no pool thread uses.
            const bool itself = runsInline(*job);
            size_t idle = 0;
            const bool free = waitUntil(
                [&] {
                    if (removesFolder &&
                        std::any_of(pool.Given.begin(), pool.Given.end(), [&](const TRowJob* b) {
                            return b && b->Row->Data.FolderPath.str().starts_with(below);
                        }))
                        return false;
                    if (itself) return true;
                    idle = std::find(pool.Given.begin() + static_cast<std::ptrdiff_t>(firstPooled),
                                     pool.Given.end(), nullptr) -
                           pool.Given.begin();
                    return idle != pool.Given.size();
                },
                true);
            if (!free || Terminated()) break;  // cancelled: nothing more is handed out
            // The transfer is idle: its back-ends are this thread's until the row is handed over.
            MakeTargetFolder(m_Transfers[idle], d, job->Code);
            if (itself) {
                runRow(m_Transfers[idle], *job);
                job->Done = true;  // not shared
                pool.Reports.push_back(std::move(job));
                report();
                continue;
            }
            {
                std::lock_guard lock(pool.Lock);
                pool.Given[idle] = job.get();
            }
            pool.Changed.notify_all();
        } else {
            job->Done = true;  // not shared yet
        }
        pool.Reports.push_back(std::move(job));
        report();
    }
    // The rows in flight are waited for, even after a cancel, and every walked row is reported.
    waitUntil(
        [&] { return std::count(pool.Given.begin(), pool.Given.end(), nullptr) == std::ssize(pool.Given); },
        false);
    report();
}

int32_t TFileSyncThread::CheckTarget(TRowRun& R, const TResultNodeData& D, int Target,
                                     const TFileAttri& Attri) {
    // The row's fields of the target side are what the analysis saw there: attribute 0 means no entry.
    const int32_t attr = Target == SIDE_LEFT ? D.LeftAttr : D.RightAttr;
    const int64_t size = Target == SIDE_LEFT ? D.LeftSize : D.RightSize;
    const int32_t date = Target == SIDE_LEFT ? D.LeftDate : D.RightDate;
    TFileOper& tgt = *R.Opers[Target];
    TEntryState now;
    const bool lookedUp = tgt.GetEntryState(Folder(Target), Attri, now) == 0;
    const bool same =
        lookedUp &&
        (attr == 0 ? !now.Exists : now.Exists && !now.IsFolder && now.Size == size && now.FileDate == date);
    if (same) return 0;
    // A side that says why it could not tell (a log-on refused) has not shown a change.
    R.Status =
        (lookedUp || tgt.FailureText.empty() ? "changed since the analysis: " : "could not be looked up: ") +
        tgt.GetFullPath(Folder(Target), Attri);
    return 1;
}

int32_t TFileSyncThread::CopyInto(TRowRun& R, int Source, int Target, const TFileAttri& Attri,
                                  const TFileAttri& Into, int32_t SrcAttr) {
    TFileOper& src = *R.Opers[Source];
    TFileOper& tgt = *R.Opers[Target];
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
int32_t TFileSyncThread::CopyFile(TRowRun& R, TResultNodeData& D, int32_t Code, int Source, int Target,
                                  TFileAttri& Attri, int32_t SrcAttr) {
    TFileOper& src = *R.Opers[Source];
    TFileOper& tgt = *R.Opers[Target];
    TFolderSource& srcFolder = Folder(Source);
    TFolderSource& tgtFolder = Folder(Target);
    const std::string targetPath = tgt.GetFullPath(tgtFolder, Attri);
    const std::string sourcePath = src.GetFullPath(srcFolder, Attri);
    const auto sourceChanged = [&] {
        R.Status = "changed while copying: " + sourcePath;
        return RESULT_SOURCE_CHANGED;
    };
    R.Status = "Copy:" + sourcePath + " -> " + targetPath;
    const bool replaces = (Target == SIDE_LEFT ? D.LeftAttr : D.RightAttr) != 0;
    // The backup copies the target as the analysis saw it, or nothing.
    if (Task.SaveOldFile == 1 && (Code == ACTION_RIGHT_NEWER || Code == ACTION_LEFT_NEWER) && replaces &&
        Task.EstimateDiskSpace == 0) {
        if (CheckTarget(R, D, Target, Attri) != 0) return 1;
        if (tgt.BackupFile(tgtFolder, Attri) != 0) {
            R.Status = "Backup failed, not replaced: " + targetPath;
            return 1;
        }
    }
    // A folder that cannot be made or reached (a link where the analysis saw a folder) fails the
    // row, saying so when the target no longer looks as the analysis saw it.
    if (tgt.MakeDir(Attri.Path) != 0) {
        CheckTarget(R, D, Target, Attri);
        return 1;
    }

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
        if (CheckTarget(R, D, Target, Attri) != 0) return 1;
        int32_t result = CopyInto(R, Source, Target, Attri, Attri, SrcAttr);
        R.Status = "Copy:" + sourcePath + " -> " + targetPath;
        if (result == 0 && !sourceUnchanged()) result = RESULT_SOURCE_CHANGED;
        if (result == 0) result = ConfirmWritten(R, Target, Attri, false);
        return result == RESULT_SOURCE_CHANGED ? sourceChanged() : result;
    }

    const TFileAttri temp = tgt.TempEntryFor(Attri);
    const std::string tempPath = tgt.GetFullPath(tgtFolder, temp);
    int32_t result = CopyInto(R, Source, Target, Attri, temp, SrcAttr);
    R.Status = "Copy:" + sourcePath + " -> " + targetPath;
    if (result == 0 && tgt.GetFileSize(tempPath) != Attri.Size) result = 1;
    if (result == 0 && !sourceUnchanged()) result = RESULT_SOURCE_CHANGED;
    if (result == 0 && !replaces) {
        // The rename never goes over an entry: one that appeared meanwhile makes it fail (and the
        // check says so).
        result = tgt.RenameFile(tempPath, targetPath);
        if (result != 0) CheckTarget(R, D, Target, Attri);
    } else if (result == 0) {
        result = CheckTarget(R, D, Target, Attri);
        if (result == 0)
            result = tgt.ReplacesByRename() ? tgt.ReplaceFile(tempPath, targetPath)
                                            : ReplaceAside(R, tgt, tempPath, Attri, targetPath);
    }
    if (result != 0) {
        tgt.DeleteFile(tgtFolder, temp, false);
        return result == RESULT_SOURCE_CHANGED ? sourceChanged() : result;
    }
    return ConfirmWritten(R, Target, Attri, false);
}

// For a side that cannot rename over a file: the old file steps aside (AsideName), the new one takes
// its name, and only then is the old one deleted. When the new one cannot take the name, the old
// one goes back; a run that ends in between leaves the aside for the next listing to give back. At
// no point is the only copy of either deleted.
int32_t TFileSyncThread::ReplaceAside(TRowRun& R, TFileOper& Tgt, const std::string& TempPath,
                                      const TFileAttri& Attri, const std::string& TargetPath) {
    TFolderSource& folder = *Tgt.FFolderSource;
    TFileAttri aside = Attri;  // beside the file, under the name a later listing gives back
    aside.Name = AsideName(Attri.Name);
    if (aside.Name.empty()) aside.Name = NewReservedName();
    const std::string asidePath = Tgt.GetFullPath(folder, aside);
    if (Tgt.RenameFile(TargetPath, asidePath) != 0) return 1;
    if (Tgt.RenameFile(TempPath, TargetPath) != 0) {
        if (Tgt.RenameFile(asidePath, TargetPath) != 0)
            R.Status = "not replaced, and the old file could not take its name again: " + TargetPath;
        return 1;
    }
    Tgt.DeleteFile(folder, aside, false);  // a leftover that stays is removed by a later listing
    return 0;
}

// Looks the entry just written up on the target side: it must be there under its own name, of its
// kind (and a file of the size written). What the side shows then is what the state records. A side
// that stores the name otherwise (a trailing blank dropped, a name it cannot hold) fails the row.
int32_t TFileSyncThread::ConfirmWritten(TRowRun& R, int Target, const TFileAttri& Attri, bool IsFolder) {
    TEntryState now;
    if (R.Opers[Target]->GetEntryState(Folder(Target), Attri, now) == 0 && now.Exists &&
        now.IsFolder == IsFolder && (IsFolder || now.Size == Attri.Size)) {
        R.Written = now;
        return 0;
    }
    R.Status = "not found as written: " + R.Opers[Target]->GetFullPath(Folder(Target), Attri);
    return 1;
}

namespace {

// The reasons the two back-ends of a failed row give (FailureText), as " (reason)" or
// " (reason; reason)"; empty when they give none.
std::string FailureReasons(const TFileOper& First, const TFileOper& Second) {
    std::string reasons = First.FailureText;
    if (!Second.FailureText.empty() && Second.FailureText != reasons)
        reasons += (reasons.empty() ? "" : "; ") + Second.FailureText;
    return reasons.empty() ? reasons : " (" + reasons + ")";
}

}  // namespace

int32_t TFileSyncThread::RunRow(TRowRun& R, const TResultNodeData& D, const char* ErrorContext,
                                const char* ErrorPrefix,
                                const std::function<int32_t(TFileOper&, TFileOper&)>& Operation) {
    const TPlanAction action = PlanAction(D.Action);
    const int source = action.SourceSide;
    const int target = source == SIDE_LEFT ? SIDE_RIGHT : SIDE_LEFT;
    int32_t result = 1;
    R.Status.clear();
    try {
        if (!IsSafeName(D.Name) || !IsSafeRelPath(D.FolderPath)) {
            R.Status = "Error Unsafe name, not synced: " + D.FolderPath + D.Name;
        } else {
            TFileOper& src = *R.Opers[source];
            TFileOper& tgt = *R.Opers[target];
            src.FailureText.clear();  // a reason the back-ends give for this row's failure
            tgt.FailureText.clear();
            src.Connect();  // every row connects again; harmless on an open connection
            tgt.Connect();
            result = Operation(src, tgt);
            if (result != 0) R.Status = "Error " + R.Status + FailureReasons(tgt, src);
        }
    } catch (const std::exception& e) {
        LogError(ErrorContext, e);
        Terminate();  // a write exception ends the walk after this row
        R.Status = ErrorPrefix + R.Status;
        result = 1;
    }
    return result;
}

int32_t TFileSyncThread::SyncFile(TRowRun& R, TResultNodeData& D) {
    const TPlanAction action = PlanAction(D.Action);
    const int source = action.SourceSide;
    const int target = source == SIDE_LEFT ? SIDE_RIGHT : SIDE_LEFT;
    TFileAttri attri;
    attri.Name = D.Name;
    attri.Path = D.FolderPath;
    attri.Size = source == SIDE_LEFT ? D.LeftSize : D.RightSize;
    attri.FileDate = source == SIDE_LEFT ? D.LeftDate : D.RightDate;
    const int32_t srcAttr = source == SIDE_LEFT ? D.LeftAttr : D.RightAttr;
    return RunRow(R, D, "Write Error", "Error: ", [&](TFileOper&, TFileOper& tgt) -> int32_t {
        if (action.Operation == OPER_COPY) return CopyFile(R, D, D.Action, source, target, attri, srcAttr);
        const std::string targetPath = tgt.GetFullPath(Folder(target), attri);
        R.Status = "Delete:" + targetPath;
        if (CheckTarget(R, D, target, attri) != 0) return 1;
        if (Task.SaveOldFile == 1 && Task.EstimateDiskSpace == 0 &&
            tgt.BackupFile(Folder(target), attri) != 0) {
            R.Status = "Backup failed, not deleted: " + targetPath;
            return 1;
        }
        R.Status = "Delete:" + targetPath;
        return tgt.DeleteFile(Folder(target), attri, true);
    });
}

// A folder's own operation: made on the target, or removed there when empty. A failed one gets the
// "Error " prefix like a file's, so the log never shows a failure as done.
int32_t TFileSyncThread::SyncFolder(TRowRun& R, TResultNodeData& D) {
    const TPlanAction action = PlanAction(D.Action);
    const int target = action.SourceSide == SIDE_LEFT ? SIDE_RIGHT : SIDE_LEFT;
    TFileAttri attri;
    attri.Name = D.Name;
    attri.Path = D.FolderPath;
    attri.IsFolder = 1;
    return RunRow(R, D, "Write Folder Error", "Error:Write Folder ",
                  [&](TFileOper&, TFileOper& tgt) -> int32_t {
                      if (action.Operation == OPER_COPY) {
                          const std::string rel = D.FolderPath + D.Name;
                          R.Status = "Copy Folder " + rel;
                          if (tgt.MakeDir(rel) != 0) return 1;
                          return ConfirmWritten(R, target, attri, true);
                      }
                      R.Status = "Delete Folder " + tgt.GetFullPath(Folder(target), attri);
                      return tgt.RemoveDir(Folder(target), attri, true);
                  });
}

void TFileSyncThread::SaveState() {
    // Without the analysis it carried out, a walk knows too little to say what a side now holds.
    if (!ResultTree) return;
    std::string reasons[2];
    const auto reportNotWritten = [this, &reasons](int Sides) {
        StateNotWritten |= Sides;
        for (int side : {SIDE_LEFT, SIDE_RIGHT}) {
            if ((Sides & (side == SIDE_LEFT ? STATE_LEFT_NOT_WRITTEN : STATE_RIGHT_NOT_WRITTEN)) == 0)
                continue;
            StatusText = StateNotWrittenLine(Task, side, reasons[side]);
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
    // own listing thread, a back-end that can reading only the folders the walk wrote to and looking
    // only at the entries it wrote. A new listing shares the analysis's listing's nodes wherever it
    // takes or finds them as they were, so it costs memory only for what changed.
    const bool relist = OperCount > 0 || WrittenBefore;
    const TFileTreeRef listings[2] = {LeftListing, RightListing};
    try {
        opers[0]->Connect();
        opers[1]->Connect();
        if (relist) {
            for (int side : {SIDE_LEFT, SIDE_RIGHT}) {
                opers[side]->FEarlierListing = listings[side].get();
                // What an earlier walk over this result wrote is not known here: all is read again.
                if (!WrittenBefore) opers[side]->FWrittenEntries = &m_Written[side];
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
    reportNotWritten(SaveStates(Task, sources, writers, skip, hashes, &reasons));
    opers[0]->Stop();
    opers[1]->Stop();
}

int32_t TFileSyncThread::SaveStateLocal(const std::string& Stream, int Side) {
    return SaveStateLocalFile(Task, Stream, Side);
}

}  // namespace bfs
