#pragma once

#include "model/UTFileAttri.h"
#include "model/UTFileTree.h"
#include "model/UTFolderSource.h"
#include "model/UTNotify.h"
#include "model/UTThread.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace bfs {

// A result of PutFile and GetFile beside 0 and the small failure codes: the source no longer has the
// size and date it was listed with, or it changed while it was read. Nothing was written under the
// entry's name.
constexpr int32_t RESULT_SOURCE_CHANGED = 5;

// The program's own names (temporaries, stepped-aside files, reserved keys) have one exact form:
// RESERVED_PREFIX and a random part the program chose, and nothing else. Only names of that form
// (IsReservedName) are left out of listings and removed or renamed as leftovers; any other name,
// whatever its prefix, is the user's file and syncs like any other. The forms:
// - NewReservedName: RESERVED_PREFIX + 16 of [a-z0-9];
// - a local temporary file (TTempFile) made with a TempFilePrefix: RESERVED_PREFIX + one letter of
//   TEMP_FILE_KINDS + "." + the six letters or digits [A-Za-z0-9] it chose;
// - AsideName: RESERVED_PREFIX + "r." + 16 of [a-z0-9] + "." + the name stepped aside.
inline constexpr std::string_view RESERVED_PREFIX = ".~bfs.";
// The letters that tell the local temporary files of the back-ends apart.
inline constexpr std::string_view TEMP_FILE_KINDS = "gmnp";
// Whether Prefix makes TTempFile names of the reserved form: RESERVED_PREFIX, a letter of
// TEMP_FILE_KINDS, ".".
constexpr bool IsTempFilePrefix(std::string_view Prefix) noexcept {
    return Prefix.size() == RESERVED_PREFIX.size() + 2 && Prefix.starts_with(RESERVED_PREFIX) &&
           TEMP_FILE_KINDS.find(Prefix[RESERVED_PREFIX.size()]) != std::string_view::npos &&
           Prefix.back() == '.';
}
bool IsReservedName(std::string_view Name) noexcept;
// A fresh reserved name: RESERVED_PREFIX + 16 random letters and digits (22 bytes in all, so it fits
// beside any name).
std::string NewReservedName();

// On a side that cannot rename a file over another, a replace steps the old file aside under
// AsideName(its name) while the new one takes the name, then deletes it. Should the run end between
// the two renames, the next listing finds the aside under that name and gives it its name back when
// nothing holds that name (the side then lists the version it held before, not a deletion);
// otherwise it is a leftover like any other. Empty when the name would not fit a file name (255
// bytes): such a file is stepped aside under a NewReservedName.
std::string AsideName(std::string_view Name);
// The name that a reserved name of AsideName's form stands in for; empty for any other name.
std::string_view AsideOf(std::string_view Name) noexcept;
// Earlier versions stepped a file aside as RESERVED_PREFIX + "r." + its name, with no random part.
// A user's file may be named so too: such a name is listed like any other, and takes the name it
// stands in for only where the saved state shows that no user's file can be meant (FinishListing).
// That name; empty for a name of any other form (AsideName's included).
std::string_view LegacyAsideOf(std::string_view Name) noexcept;

// An entry as it stands now on a side (TFileOper::GetEntryState).
struct TEntryState {
    bool Exists = false;
    bool IsFolder = false;
    int64_t Size = 0;      // files only
    int32_t FileDate = 0;  // DOS date-time of the last change
};

// The shared status text behind WM_COPYPROCESS: workers replace it whole, the window reads the
// current text when the message arrives. Guarded, so a reader never sees a torn value.
void SetStatusText(std::string Text);
std::string GetStatusText();

// The abstract storage back-end: one side of a task on one kind of storage. Its thread body lists
// the side's whole root into FFileTree; every other operation runs on the caller's thread, and one
// back-end object is used by one thread at a time (Stop excepted).
//
// Contract kept by every back-end:
// - Results are 0 for success; failures are small non-zero codes. Operations never show anything.
// - Entries are named by TFileAttri::Path (the holding folder relative to the root: "/" at the top,
//   "/docs/" one level down) and TFileAttri::Name. Names that are empty, ".", "..", or hold "/" or
//   NUL are refused (non-zero result), never joined into a path.
// - ListFolder builds the whole listing under FFileTree: one node per entry made by AddChild, each
//   level in listing order (folders first, then files, UTListOrder.h), the marker folder left out
//   at the top level only. It tests Terminated() at least once per folder. A folder it could not
//   read, or that a stop or failure kept it from finishing, is marked NotListed, and the result
//   is then 1 (incomplete) instead of 0; nothing below such a folder may be taken as deleted.
//   Names of the reserved form (IsReservedName) are never listed, at any level; leftovers of that
//   form which no writer holds any more are removed (in every listed folder and at the top of the
//   marker folder).
//   When LoadSavedTreeFlag is set it then loads the saved state (LoadSavedTree) and clears the flag.
// - A saved state that does not load cleanly leaves FSavedTree empty (no saved state), logged.
// - WriteStreamToFile replaces the target in one step (temporary name, then rename over it).
// - Progress goes to NotifyWnd without waiting: WM_UPDATEPROCESS per listing step (GetScanSteps of
//   them) and WM_COPYPROCESS after each change of the status text (wParam 0, lParam 10).
//
// Every back-end's destructor must Stop() and WaitFor() the listing thread itself: by the time the
// base destructor runs, the back-end's overrides (ListFolder, LoadSavedTree) are gone.
// The entries a sync walk wrote to (copied, replaced, deleted, made) on one side, by root-relative
// path. A listing made again after the walk needs to look only at them: an entry the walk did not
// touch is recorded in the new saved state as the analysis saw it (so that a change made to it
// since is still a change at the next run), never as it is now.
class TWrittenEntries {
  public:
    // The entry Name in the folder FolderPath ("/" at the top, "/docs/" below).
    void Add(std::string_view FolderPath, std::string_view Name, bool IsFolder);
    // Whether the walk wrote the entry Name of the folder Path, or (a folder) anything below it.
    bool Touched(std::string_view Path, std::string_view Name, bool IsFolder) const;
    bool Empty() const { return m_Entries.empty(); }

  private:
    std::unordered_set<std::string> m_Entries;  // "/docs/a.txt"
    std::unordered_set<std::string> m_Folders;  // "/docs/": holding a written entry, or written itself
};

// The clock of a side that dates its files itself, against this computer's.
struct TClockOffset {
    bool Known = false;      // measured (the side's replies carry its time)
    bool Unsettled = false;  // measured, but the measurements differ by more than CLOCK_TOLERANCE
    int64_t Seconds = 0;     // Known: the side's clock minus this computer's
};
// Clocks this close count as one: the offset is then taken as none.
inline constexpr int64_t CLOCK_TOLERANCE = 120;

class TFileOper : public TThread {
  public:
    explicit TFileOper(bool FreeOnTerminate);
    ~TFileOper() override;

    TFolderSourceRef FFolderSource;      // the side; callers replace it by the task's own object
    INotifyTarget* NotifyWnd = nullptr;  // receives progress; none = no reports
    std::string InfoText;                // what the back-end reports about the side
    // Why the last Connect or CheckFolder failed, in one line ("server not reachable", "log-on
    // refused", "share not found"); empty when the back-end has nothing to add. Never a password.
    // A back-end may also set it when a later operation fails for a reason of the whole side (a
    // log-on refused in the middle of a run): the sync walk clears it before each row and adds it
    // to a failed row's Error line.
    std::string FailureText;
    TFileTreeRef FFileTree;          // root of the listing
    std::string FTreeFileName;       // the side's saved-state file in the marker folder (SyncID)
    bool LoadSavedTreeFlag = false;  // ListFolder loads the saved state after listing
    TFileTreeRef FSavedTree;         // the side's saved state, sharing FFileTree's nodes where it can
    uint64_t FSavedTreeHash = 0;     // TFileTree::TextHash of the loaded state's text; 0: none loaded
    bool FSavedTreeDamaged = false;  // a state file was there but did not load (kept aside as .damaged)
    std::string FSavedTreeError;     // with FSavedTreeDamaged: why it did not load, in one line
    // A listing of this side made earlier in the run (the one the analysis used), or null. A back-end
    // may let its new listing share that listing's nodes wherever the side still shows them as they
    // were (ShareListedFiles, SameAsListed), so listing a side again costs memory only for what
    // changed. The earlier listing must stay unchanged while this one is made.
    const TFileTree* FEarlierListing = nullptr;
    // With FEarlierListing, for a listing made again after a sync walk: what the walk wrote on this
    // side. A back-end may then read again only what the walk touched, taking every other entry as
    // the earlier listing shows it (see TWrittenEntries); null: everything is read.
    const TWrittenEntries* FWrittenEntries = nullptr;

    // 0: connected and the root usable. May be called again on an open connection.
    virtual int32_t Connect() = 0;
    // Lists the whole root into FFileTree. 0 complete, 1 incomplete (see above).
    virtual int32_t ListFolder() = 0;
    // Leaves the whole content of the entry's file in Stream. X is unused (callers pass 0).
    virtual int32_t ReadFileToStream(TFolderSource& Source, const TFileAttri& Attri, std::string& Stream,
                                     int32_t X) = 0;
    // Stores Stream as the entry's file, replacing an existing one in one step.
    virtual int32_t WriteStreamToFile(const std::string& Stream, TFolderSource& Source,
                                      const TFileAttri& Attri, bool ClearReadOnly) = 0;
    // Creates the root-relative folder with every missing parent; an existing folder is success.
    virtual int32_t MakeDir(const std::string& RelPath) = 0;
    // How many WM_UPDATEPROCESS the listing will send; called before the thread starts.
    virtual int32_t GetScanSteps() = 0;
    // Loads the side's saved state from the marker folder into FSavedTree.
    virtual int32_t LoadSavedTree() = 0;
    virtual int32_t DeleteFile(TFolderSource& Source, const TFileAttri& Attri, bool Log) = 0;
    // Removes the folder only when it is empty.
    virtual int32_t RemoveDir(TFolderSource& Source, const TFileAttri& Attri, bool Log) = 0;
    // The side's backup folder ("__saved__" in the marker folder), created when missing.
    virtual std::string GetBackupFolder() = 0;
    // Size of the item at FullPath (as GetFullPath gives it); -1 when it does not exist.
    virtual int64_t GetFileSize(const std::string& FullPath) = 0;
    // Copies the entry's current file into the backup folder + Path + Name.
    virtual int32_t BackupFile(TFolderSource& Source, const TFileAttri& Attri) = 0;
    virtual std::string ExtractDir(const std::string& Path) = 0;
    // Full path or address of the entry on this side, as shown in status and log lines.
    virtual std::string GetFullPath(TFolderSource& Source, const TFileAttri& Attri) = 0;
    virtual std::string GetFolderPath(TFolderSource& Source, const TFileAttri& Attri) = 0;
    // Copies the local file LocalPath into this side as the entry. A side that can set a file's time
    // gives it LocalPath's own modification time, as exactly as it holds times (a side that cannot
    // dates it itself; what it shows is what the saved state records). Attri carries the size and
    // date the source was listed with: a source that no longer has them, or that changes while it is
    // read, gives RESULT_SOURCE_CHANGED. Writes the entry directly (callers
    // that must not expose a partial file pass a TempEntryFor entry and rename it afterwards).
    virtual int32_t PutFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri,
                            int32_t SrcAttr, bool Log) = 0;
    // Renames within this side (full paths as GetFullPath gives them).
    virtual int32_t RenameFile(const std::string& OldName, const std::string& NewName) = 0;
    // Copies the entry of this side into the local file LocalPath, dated with the entry's own
    // modification time as exactly as the side tells it (not rounded to a DOS date). An entry that no
    // longer has the size (and, where the side can tell, the date) of Attri, or that changes while
    // it is read, gives RESULT_SOURCE_CHANGED.
    virtual int32_t GetFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri,
                            int32_t X, bool Log) = 0;
    // 0: the root exists and is reachable.
    virtual int32_t CheckFolder() = 0;

    // Looks the entry (Attri.Path + Attri.Name) up as it is now. 0: looked up, and State.Exists tells
    // whether it is there, under exactly that name, as a listing would show it (a side that maps the
    // name to another one does not confirm it); non-zero: the side could not tell (the caller must
    // then assume a change).
    virtual int32_t GetEntryState(TFolderSource& Source, const TFileAttri& Attri, TEntryState& State) = 0;

    // Whether a file that PutFile writes appears under its name in one step, whole or not at all
    // (object stores). Copies onto such a side go straight to the entry; onto any other side they go
    // to a TempEntryFor entry first and take the entry's name by a rename once complete.
    virtual bool WritesAtomically() const { return false; }
    // The entry a copy onto this side is written to before it takes Target's name: a reserved name
    // (NewReservedName), by default beside Target (a hidden sibling). A side may put it at the top of
    // its marker folder instead, where a rename to Target stays within one file system. (The local
    // side does not: on ext4 a first sync whose new files were all made in one folder and then moved
    // out ran several times slower than files made in their own folders.)
    virtual TFileAttri TempEntryFor(const TFileAttri& Target);

    // Whether this side can give a finished temporary copy its final name over an existing target
    // in one step (ReplaceFile). Sides that cannot must delete the old target first.
    virtual bool ReplacesByRename() const { return false; }
    // Renames OldName to NewName, replacing NewName in one step when it exists (full paths as
    // GetFullPath gives them). 0 done; non-zero failed, and both files are then as they were.
    virtual int32_t ReplaceFile(const std::string& OldName, const std::string& NewName) {
        (void)OldName;
        (void)NewName;
        return 1;
    }

    // The digest of the entry's contents that this side keeps itself and gives without the file
    // being read (an object store's entity tag of an object stored by one upload is the MD5 of its
    // bytes), as its kind and value: "md5:" and 32 lower-case hexadecimal digits. False when the
    // side keeps none for the entry, or the entry no longer has the size it was listed with. The
    // default: no digest.
    virtual bool ContentDigest(TFolderSource& Source, const TFileAttri& Attri, std::string& Digest) {
        (void)Source;
        (void)Attri;
        (void)Digest;
        return false;
    }
    // The digest of the kind ContentDigest gives, of the bytes Bytes reads (a local file, say), so
    // that they can be compared with an entry of this side without reading it. False when the side
    // gives no digests, or Bytes failed.
    virtual bool DigestOf(const TFileTree::TTextSource& Bytes, std::string& Digest) {
        (void)Bytes;
        (void)Digest;
        return false;
    }

    // Ends a run early: sets the stop request, then closes what the back-end holds open so that
    // pending calls fail. Safe from another thread while the listing runs.
    void Stop();

    // Whether the last listing read every folder (no NotListed node in FFileTree).
    bool ListComplete() const noexcept { return m_ListComplete; }
    // Why the last listing could not read Folder (a node of FFileTree marked NotListed), in one
    // line: the reason its back-end gave (NotListedBecause); empty when it gave none.
    std::string NotListedReason(const TFileTree& Folder) const;

    // Marks NotListed each folder of FFileTree whose listing left out an entry (NoteLeftOut) that
    // State, the side's saved state, records under that name: the entry is still there, only as
    // something no side syncs (a link), so nothing is taken as deleted beside it. Call once the
    // saved state is loaded.
    void HoldLeftOutAgainst(const TFileTree& State);

    // How far the clock of a side that dates its files itself (a server) ran ahead of this
    // computer's while it was connected and listed; unknown where the side does not tell.
    virtual TClockOffset ClockOffset() const { return {}; }

  protected:
    void Execute() override;
    // Closes connections for Stop; back-ends holding a connection override it.
    virtual void CloseConnection() {}
    // The local path of the entry on a side whose files are local files (its saved state is then
    // read piece by piece, never whole); empty on any other side.
    virtual std::string LocalPathOf(const TFileAttri& Attri) {
        (void)Attri;
        return {};
    }

    // Marks Folder of FFileTree NotListed and keeps Why (one line, never a password) as its reason for
    // the analysis's note; a folder keeps the first reason it was given. Safe from several listing
    // threads. The error log is the caller's.
    void NotListedBecause(TFileTree& Folder, std::string Why);

    // Sends WM_UPDATEPROCESS to NotifyWnd (when set), without waiting.
    void PostProgress();
    // Sets the shared status text and sends WM_COPYPROCESS to NotifyWnd (when set).
    void ReportStatus(std::string Text);

    // Listing conventions shared by the back-ends: sorts every level of FFileTree, drops the marker
    // folder at the top, records completeness, and loads the saved state when asked: after the
    // listing, so that the state shares the listing's nodes wherever it records what is listed
    // (TFileTree::LoadFromStream). Call at the end of ListFolder; returns ListFolder's result. An
    // exception on the way is logged and leaves the listing incomplete (root NotListed).
    int32_t FinishListing(bool Complete) noexcept;
    // The frame of every ListFolder: a fresh FFileTree, Scan filling it (true when it read every
    // folder; an exception is logged and leaves the listing incomplete), then FinishListing.
    int32_t ListTree(const std::function<bool()>& Scan) noexcept;
    // Reads FTreeFileName from the marker folder through ReadFileToStream and loads it into
    // FSavedTree (FSavedTreeHash its fingerprint). A missing file leaves it empty. A file that does
    // not load, or names another folder than the side's (ForeignState), is renamed FTreeFileName + ".damaged"
    // (replacing an older one), logged once, and sets FSavedTreeDamaged: the analysis then overwrites nothing
    // on the strength of a date.
    int32_t LoadSavedTreeThroughStream();
    // A file of AsideName's form met in a listed folder of FFileTree (Aside as listed, Path its
    // folder), left out of the listing. FinishListing gives it its name back when Folder lists no
    // entry of that name, and removes it as a leftover when it does. Safe from several listing
    // threads; back-ends that give names back themselves need not call it.
    void NoteAside(TFileTree& Folder, TFileAttri Aside);

    // An entry of Folder of FFileTree that the listing left out (a link, a special file), by Name:
    // see HoldLeftOutAgainst. Safe from several listing threads.
    void NoteLeftOut(TFileTree& Folder, std::string Name);

    bool m_ListComplete = true;

  private:
    // FinishListing's part for the files stepped aside: the noted ones (NoteAside), and, once the
    // saved state is loaded, those of an earlier version's form that it vouches for.
    void GiveNotedAsidesBack();
    void GiveLegacyAsidesBack();
    // Renames the listed file Node of Folder to Original on the side and in the listing; false when
    // the side refused (the side and Node are then as they were).
    bool TakeName(TFileTree& Folder, TFileTree& Node, const std::string& Original);

    std::mutex m_AsidesMutex;  // guards m_Asides
    std::vector<std::pair<TFileTreeRef, TFileAttri>> m_Asides;
    std::mutex m_LeftOutMutex;  // guards m_LeftOut
    std::vector<std::pair<TFileTreeRef, std::string>> m_LeftOut;
    mutable std::mutex m_NotListedMutex;  // guards m_NotListedWhy
    // The reasons of the folders the last listing could not read, by node of FFileTree.
    std::unordered_map<const TFileTree*, std::string> m_NotListedWhy;
};

// Loads the saved-state file at the local Path into Tree (TFileTree::LoadFromSource: read piece by
// piece, sharing Listing's nodes; Hash gets its fingerprint). 0 loaded; ENOENT when there is no
// such file; another errno when it could not be read; -1 when it did not load (the reason in Error).
int LoadSavedStateFile(TFileTree& Tree, const std::string& Path, std::string* Error, const TFileTree* Listing,
                       uint64_t* Hash);

// Whether a loaded saved state was written for a folder other than Side's (its first line names
// another one: copied from another pair, the sides' states swapped, the folder moved). Another
// writing of Side's own folder is no other folder (TFileTree::RootTextNames). Such a state says
// nothing about this folder and counts as damaged; Error then says why.
bool ForeignState(const TFileTree& State, const TFolderSource& Side, std::string& Error);

// Sorts every level of a tree into listing order (iteratively; depth is not bounded by the stack).
void SortTreeLevels(TFileTree& Root);
// True when some node of the tree is marked NotListed.
bool HasNotListed(const TFileTree& Root);

}  // namespace bfs
