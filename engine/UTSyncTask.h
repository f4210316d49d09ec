#pragma once

#include "model/UTFileOper.h"
#include "model/UTFileTree.h"
#include "model/UTFolderSource.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

class TXMLTastType;

// Results of TSyncTask::CheckFolders, in the order in which they are tested.
constexpr int32_t FOLDERS_OK = 0;
constexpr int32_t FOLDERS_SAME = 1;    // both addresses name the same folder (two blank ones too)
constexpr int32_t FOLDERS_NESTED = 2;  // one folder lies inside the other
constexpr int32_t FOLDERS_EMPTY = 3;   // one address is blank

// Results of TSyncTask::GetLocalStateSides: the sides that keep no marker folder and whose saved
// state is kept in the application-data folder instead.
constexpr int32_t LOCAL_STATE_NONE = 0;
constexpr int32_t LOCAL_STATE_LEFT = 1;
constexpr int32_t LOCAL_STATE_RIGHT = 2;
constexpr int32_t LOCAL_STATE_BOTH = 3;

// The stored and in-memory value of a date limit that is not set. Only this value: a DOS date-time
// from 2044 on is negative as an int32 and is a limit like any other.
constexpr int32_t FILE_TIME_UNSET = -1;

// The file name under which a task identifier is stored (locally kept saved states, the task log).
// The result is always a single name inside its folder: "%" becomes "%25", "/" "%2F" and NUL "%00",
// and a leading "." becomes "%2E", so neither "." nor ".." nor a hidden name can result. The empty
// identifier maps to "%", which no other identifier gives (every other "%" of a result is followed by
// two hex digits), so distinct identifiers never share a file. The task's SyncID itself is unchanged.
std::string SyncIDToFileName(std::string_view SyncID);

// One sync task: the settings of one task of the task list plus the run state that the windows keep
// while the program runs. Each task window owns exactly one. Tasks are not copyable (the folder
// sources are shared with the back-ends serving them); Assign and Clone make field-wise copies.
class TSyncTask {
  public:
    TSyncTask();
    TSyncTask(const TSyncTask&) = delete;
    TSyncTask& operator=(const TSyncTask&) = delete;

    std::string SyncName;           // task name; tab caption; name of its scheduled job
    std::string SyncID;             // identifier: names the log, the saved states, the key in the task list
    TFolderSourceRef LFolder;       // left side; owned by the task, shared with the back-ends serving it
    TFolderSourceRef RFolder;       // right side
    int32_t SyncDirection = 0;      // 0 two-way, 1 left to right, 2 right to left
    int32_t ForcedOrVerified = 0;   // one-way policy: 0 forced copy, 1 verified; -1 for two-way tasks
    int32_t IsDeleteFile = 0;       // two-way: deletions found against the saved states are carried over
    int32_t SaveOldFile = 0;        // replaced or deleted target files are first copied to the backup folder
    int32_t UseTempFile = 0;        // copies go to a temporary name, are checked, then renamed
    int32_t CheckNoChange = 0;      // stored and loaded only
    int32_t EstimateDiskSpace = 0;  // 1: no marker folder on either side; both saved states kept locally
    std::vector<std::string> IncludeFilter;  // include masks, one per entry
    std::vector<std::string> ExcludeFilter;  // exclude masks
    int32_t ExcludeEmtpyFolder = 0;
    int32_t ExcludeHiddenFile = 0;
    int32_t ExcludeSystemFile = 0;
    // Date limits (DOS date-times, compared unsigned; FILE_TIME_UNSET = unset) and size limits
    // (bytes; below 0 = unset).
    int32_t IncludeFileTimeMin = FILE_TIME_UNSET;
    int32_t IncludeFileTimeMax = FILE_TIME_UNSET;
    int32_t ExcludeFileTimeMin = FILE_TIME_UNSET;
    int32_t ExcludeFileTimeMax = FILE_TIME_UNSET;
    int64_t IncludeFileSizeMin = -1;
    int64_t IncludeFileSizeMax = -1;
    int64_t ExcludeFileSizeMin = -1;
    int64_t ExcludeFileSizeMax = -1;
    int32_t StartAnalyze = 0;
    int32_t StartSync = 0;
    int32_t ConnectAnalyze = 0;
    int32_t ConnectSync = 0;
    int32_t LogoffAnalyze = 0;
    int32_t LogoffSync = 0;
    int32_t PeriodAnalyze = 0;
    int32_t PeriodSync = 0;
    int32_t Hours = 0;
    int32_t minutes = 0;
    int32_t TSsync = 0;
    int32_t TSanalyze = 0;
    std::string TaskScheduler;     // description of the task's scheduled job
    int32_t Conflicts = 0;         // automatic runs, changed on both sides: 0 do not copy, 1 newer wins
    int32_t EnsureFolderTags = 0;  // the source side of a one-way task gets no marker folder

    // Run state, never stored; read and written on the user-interface thread only.
    uint8_t Busy = 0;  // a scan, analysis or sync of this task runs
    // When the periodic trigger last fired. A monotonic clock, so that changing the wall clock neither
    // fires a period early nor holds it back; the epoch value means "never".
    std::chrono::steady_clock::time_point LastPeriodRun{};
    uint8_t AutoRun = 0;  // the current run was started automatically

    // Copies every stored setting of Source (names, both sides' eight stored fields into this task's
    // own folder sources, options, masks by content, automation, limits); not the run state and not
    // the sides' InfoText.
    void Assign(const TSyncTask& Source);
    // A new task named "New_" + Source's name with identifier "New_" + Source's identifier, carrying
    // Source's options, masks and automation but neither its folders nor its limits nor run state.
    static std::unique_ptr<TSyncTask> Clone(const TSyncTask& Source);

    // Checks the two folder addresses before an analysis (FOLDERS_*). Addresses are compared by whole
    // path components after normalising (blanks at either end, repeated separators, "." components
    // and a trailing separator do not count; ".." and links are not resolved), case-sensitively.
    int32_t CheckFolders() const;

    // The back-end for a side by its kind, or none for a kind without one. FreeOnTerminate goes to the
    // back-end's constructor. The folder source is not attached: the caller sets FFolderSource.
    static std::unique_ptr<TFileOper> CreateFileOper(const TFolderSourceRef& Folder, bool FreeOnTerminate);
    // Lets tests stand other back-ends in for some sides (an in-memory "remote" side, one that fails
    // on demand): the factory is asked first, and a side it gives none for gets the usual back-end.
    // Set it before runs start and clear it (empty function) after.
    using TFileOperFactory = std::function<std::unique_ptr<TFileOper>(const TFolderSource&, bool)>;
    static void SetFileOperFactory(TFileOperFactory Factory);

    // Which sides keep their saved state locally (LOCAL_STATE_*).
    int32_t GetLocalStateSides() const;

    // The file of a side's locally kept saved state (Side 0 left, 1 right): the application-data
    // folder + SyncIDToFileName(SyncID) + "L" or "R". Empty when that folder is not available.
    std::string LocalStateFileName(int Side) const;

    // The lock file that keeps two runs of this task apart (platform/UTFileLock.h): the runtime
    // folder + SyncIDToFileName(SyncID) + ".lock". Empty when that folder may not be used; Problem,
    // when given, then says why (CheckRuntimeFolder's clause naming the folder).
    std::string LockFileName(std::string* Problem = nullptr) const;

    // Loads the locally kept saved state of one side (Side 0 left, 1 right) into Tree, which is
    // emptied first (a stale state that a back-end read from a marker folder is not kept). A missing
    // or empty file leaves Tree empty; a file that does not load cleanly also leaves it empty (no
    // saved state) and writes one line to the error log. Returns 0 when a state was loaded.
    // Hash gets TFileTree::TextHash of the loaded text (0 when none loaded). A file that exists but
    // does not load (empty ones too), or names another folder than the side's (ForeignState), is
    // renamed with ".damaged" added, replacing an older one, and sets Damaged. Listing, the side's
    // listing of this run, lets the state share its nodes (TFileTree::LoadFromStream).
    int32_t LoadSavedTree(TFileTree& Tree, int Side, uint64_t* Hash = nullptr, bool* Damaged = nullptr,
                          const TFileTree* Listing = nullptr) const;

    // The "\\server\share" part of a network address "\\server\share\folder..."; the whole address
    // when it ends with the share; empty for anything that does not start with two backslashes and
    // a server name.
    static std::string GetShareRoot(std::string_view Path);

    // Task persistence: the task's Tast element in "tasklist.fs" of the program folder. Every write
    // loads the whole file, changes the document and writes it back atomically (a crash leaves the
    // old file or the new one); a file that exists but does not load is never written. The int
    // results are 0 on success and 1 on failure; failures go to the error log, nothing is shown.

    // Fills the task from one Tast element. A numeric element that is empty, absent or not a
    // decimal number leaves its field at 0 and is remembered as not loaded; one error-log line per
    // element names every such field. The rest of the task still loads.
    void LoadFromXML(const TXMLTastType& Tast);
    // The key of the first of the settings that decide what a run does ("SyncDirection",
    // "ForcedOrVerified", "IsDeleteFile", "EstimateDiskSpace", "Auto/EnsureFolderTags") that did not
    // load, empty when all of them loaded. Such a task must not run: its 0 could copy in another
    // direction or carry deletions over. It stays damaged until it is saved.
    std::string DamagedSetting() const;
    // IsNew 1: appends a new element (an empty SyncID becomes SyncName + a tick count, unique in the
    // file, and is kept by the task). IsNew 0: writes into the first element with the task's SyncID;
    // when there is none (another window deleted it) the task is appended as new, keeping its
    // SyncID, and no other element changes. A field that did not load and is unchanged since keeps
    // its text in the file rather than being replaced by the default it got, except the settings
    // DamagedSetting looks at: those are always written, and so count as loaded afterwards.
    int32_t SaveToTaskList(int32_t IsNew);
    // Writes the task as a new element (with a new identifier) into a copy of "TaskTemp.fs" (an
    // empty task list when there is none) saved as the program folder + FileName. FileName must be
    // a plain file name and neither "tasklist.fs" nor "TaskTemp.fs".
    int32_t SaveAsTemplate(const std::string& FileName);
    // Removes the first element with the task's SyncID. No such element (or no file): nothing is
    // written and the result is 0.
    int32_t DeleteFromTaskList();
    // Writes one side's FolerAllName and DeviceType (Side 0 left, 1 right) into the task's element; a
    // task missing from the file is appended whole, as SaveToTaskList(0) does.
    int32_t SaveFolderPath(int Side);
    int32_t SaveLeftFolderPath() { return SaveFolderPath(0); }
    int32_t SaveRightFolderPath() { return SaveFolderPath(1); }
    // The stored form of a side's password: "" for a blank one, else the scrambled text (untrimmed).
    static std::string EncodeFolderPassword(std::string_view P);
    // The password of a stored form: "" for "", else the unscrambled text ("" for a malformed form).
    static std::string DecodeFolderPassword(std::string_view S);

    // Task log: program folder + SyncIDToFileName(SyncID) + ".log", one record after another, each
    // followed by CR LF. Used on the user-interface thread.

    // '----- <local date time> ,Job:"<SyncName>" ,<Kind>,<computer>,<user> -----' CR LF
    // '<left address><arrow><right address>' (arrow " <-> ", " -> ", " <- " by SyncDirection).
    std::string LogHeader(std::string_view Kind) const;
    // The analysis record (header, Counts, Disk, "----- Analysis <Times> -----", CR LF between),
    // appended to the log when SaveLog is 1. A failure to write is logged in the error log and
    // otherwise dropped; the record is returned either way.
    std::string LogAnalysis(std::string_view Times, std::string_view Counts, std::string_view Disk) const;
    // WriteLog(Text) when SaveLog is 1; its EInOutError passes to the caller.
    void LogIfEnabled(std::string_view Text) const;
    // Appends Text + CR LF with one write (the file is made when missing); EInOutError on failure.
    void WriteLog(std::string_view Text) const;

  private:
    // Fields of the last LoadFromXML that did not load (path below Tast, as "Auto/Hours" or
    // "LFolder/PWD") with the value they took then, in the form compared on saving.
    std::map<std::string, std::string> m_FailedFields;
};

}  // namespace bfs
