#include "storage/UTWinFileOper.h"

#include "model/UTConsts.h"
#include "model/UTDosTime.h"
#include "model/UTListOrder.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTLocalFile.h"
#include "platform/UTLocalRoot.h"
#include "storage/UTStorageCommon.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

namespace bfs {

namespace {

// While a folder's sub-folders are listed, the folder stays open so that each of them is opened
// relative to it (no full path per folder, and no symbolic link on the way is followed). Up to this
// depth every level stays open; deeper, only every KEEP_OPEN_EVERY-th level does, and the levels
// between are opened by their path relative to the nearest open one. That bounds the descriptors
// a listing of a very deep tree holds.
constexpr size_t KEEP_OPEN_DEPTH = 64;
constexpr size_t KEEP_OPEN_EVERY = 64;

// A listing reads the folders below the root on up to this many threads: the time goes into the
// kernel's look-ups (one stat per entry), which run side by side.
constexpr unsigned SCAN_THREADS = 4;

// Temporary files of this side: reserved names (IsReservedName), so that no listing shows them and
// the next listing removes those that no writer holds.
constexpr std::string_view TEMP_PREFIX = ".~bfs.p.";
static_assert(IsTempFilePrefix(TEMP_PREFIX));

std::string ErrorText(int Err) {
    return std::system_category().message(Err);
}

void LogFailure(std::string_view Context, int Err) {
    TMyException::Instance().LogError(Context, "EInOutError", ErrorText(Err));
}

bool IsDotOrDotDot(const char* Name) noexcept {
    return Name[0] == '.' && (Name[1] == '\0' || (Name[1] == '.' && Name[2] == '\0'));
}

// The temporary names of earlier versions: the final name + ".p." + six letters or digits.
bool IsLegacyTempName(std::string_view Name) noexcept {
    if (Name.size() <= 9 || Name.substr(Name.size() - 9, 3) != ".p.") return false;
    return std::all_of(Name.end() - 6, Name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

// Whether a folder entry may be a regular file (what a writer leaves behind); devices and pipes
// are never opened.
bool MayBeFile(const dirent* Entry) noexcept {
    return Entry->d_type == DT_REG || Entry->d_type == DT_UNKNOWN;
}

// The listed entry of a file or folder Name of status St, in the folder Path.
TFileAttri EntryOf(const char* Name, const struct stat& St, const TSharedString& Path) {
    const bool folder = S_ISDIR(St.st_mode);
    TFileAttri attri;
    attri.IsFolder = folder ? 1 : 0;
    attri.Name = Name;
    attri.Size = folder ? 0 : static_cast<int64_t>(St.st_size);
    attri.FileDate = UnixTimeToDosDate(static_cast<int64_t>(St.st_mtime));
    int32_t attr = folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if ((St.st_mode & S_IWUSR) == 0) attr |= FILE_ATTRIBUTE_READONLY;
    if (Name[0] == '.') attr |= FILE_ATTRIBUTE_HIDDEN;
    attri.Attr = attr;
    attri.Path = Path;
    return attri;
}

// The top of the marker folder holds the temporary files of backups and of copies into other
// folders, and those of earlier versions; it is never listed, so its leftovers are removed here.
void RemoveMarkerLeftovers(int RootFd) {
    const int fd = ::openat(RootFd, MARKER_FOLDER, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    TDirPtr dir(::fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return;
    }
    std::vector<std::string> leftovers, names;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (!MayBeFile(entry)) continue;
        names.emplace_back(entry->d_name);
        if (IsReservedName(entry->d_name)) leftovers.emplace_back(entry->d_name);
    }
    // An earlier version's temporary file stands beside the file it was to replace; a saved state
    // whose own name merely looks like one is never taken for it.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        if (IsLegacyTempName(name) &&
            std::binary_search(names.begin(), names.end(), name.substr(0, name.size() - 9)))
            leftovers.push_back(name);
    for (const std::string& name : leftovers) RemoveLeftover(fd, name);
}

// The root text of a side: its stored address with one trailing "/" stripped ("/" stays "/").
std::string RootOf(const TFolderSource& Source) {
    std::string root = Source.FolerAllName;
    if (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

// Only an absolute path can be a root: a relative one would depend on the working folder.
bool RootUsable(const std::string& Root) {
    return !Root.empty() && Root.front() == '/' && Root.find('\0') == std::string::npos;
}

// Root + a root-relative folder, with exactly one "/" between and one at the end. Built by hand
// rather than with JoinPath: "\" is an ordinary character of a Linux name and must stay as it is.
std::string FolderUnder(const std::string& Root, std::string_view Rel) {
    std::string r = Root;
    if (r.empty() || r.back() != '/') r += '/';
    if (!Rel.empty() && Rel.front() == '/') Rel.remove_prefix(1);
    r.append(Rel);
    if (r.back() != '/') r += '/';
    return r;
}

// A root-relative path without its leading "/" ("docs/a.txt"; "" for the root itself).
std::string_view Relative(std::string_view Path) {
    while (!Path.empty() && Path.front() == '/') Path.remove_prefix(1);
    return Path;
}

// Logs an entry a listing leaves out: a link (never followed), a pipe, a device.
void LogSkipped(const std::string& Root, const TSharedString& Path, const char* Name, bool Link) {
    TMyException::Instance().LogError("Skipped " + FolderUnder(Root, Path.str()) + Name, "EInOutError",
                                      Link ? "a symbolic link, not followed" : "not a file or a folder");
}

bool EntryUsable(const TFolderSource& Source, const TFileAttri& Attri) {
    return IsSafeName(Attri.Name) && IsSafeRelPath(Attri.Path.str()) && RootUsable(RootOf(Source));
}

// The folder holding the entry (ends with "/") and the entry's own path.
std::string EntryFolder(const TFolderSource& Source, const TFileAttri& Attri) {
    return FolderUnder(RootOf(Source), Attri.Path.str());
}
std::string EntryPath(const TFolderSource& Source, const TFileAttri& Attri) {
    return EntryFolder(Source, Attri) + Attri.Name;
}

// One folder on the listing's stack: the path from the root to the folder being listed.
struct TScanFrame {
    TDirPtr Dir;                      // open while sub-folders are pending (see KEEP_OPEN_DEPTH)
    TFileTree* Node;                  // the folder's node
    TSharedString Path;               // Path of the entries inside it: "/" at the top, "/docs/" below
    std::vector<TFileTree*> Pending;  // its sub-folders not listed yet
    const TFileTree* Earlier;         // the folder in FEarlierListing, when it has one
};

// The folders directly under the root, handed to the listing's threads one at a time (each lists
// the whole subtree of the folder it takes).
struct TScanShare {
    std::vector<TFileTree*> Tops;
    std::atomic<size_t> Next{0};
    std::mutex ProgressLock;  // progress messages go out one at a time; guards the root's level
};

// A folder listed in full that the earlier listing shows just the same is replaced in its parent by
// the earlier node (see TFileOper::FEarlierListing). The root's level is shared by the listing
// threads (AtTop): it is changed under the share's lock.
void TakeEarlier(TScanShare& Share, bool AtTop, TFileTree& Parent, TFileTree& Folder,
                 const TFileTree* Earlier) {
    if (!Earlier || !SameAsListed(Folder, *Earlier)) return;
    std::unique_lock<std::mutex> lock(Share.ProgressLock, std::defer_lock);
    if (AtTop) lock.lock();
    for (TFileTreeRef& child : Parent.Children)
        if (child.get() == &Folder) {
            child = TFileTreeRef(const_cast<TFileTree*>(Earlier));
            return;
        }
}

class TWinFileOper : public TFileOper {
  public:
    explicit TWinFileOper(bool FreeOnTerminate) : TFileOper(FreeOnTerminate) {}
    // The listing thread calls our overrides until it ends: end it before this part goes.
    ~TWinFileOper() override {
        Terminate();
        WaitFor();
    }

    // A sync connects both sides before every row; on a local side that is a look at the root, and
    // a good look is taken as still good for one second, so many small files do not cost two looks
    // each. (Every operation still refuses a root that is gone where it would create anything.)
    // The folder kept open from the last row is let go: each row reaches its folder afresh.
    int32_t Connect() override {
        m_Folder.Reset();
        const auto now = std::chrono::steady_clock::now();
        if (now < m_ConnectedUntil) return 0;
        const int32_t result = CheckFolder();
        m_ConnectedUntil =
            result == 0 ? now + std::chrono::seconds(1) : std::chrono::steady_clock::time_point{};
        return result;
    }
    int32_t ListFolder() override;
    int32_t ReadFileToStream(TFolderSource& Source, const TFileAttri& Attri, std::string& Stream,
                             int32_t X) override;
    int32_t WriteStreamToFile(const std::string& Stream, TFolderSource& Source, const TFileAttri& Attri,
                              bool ClearReadOnly) override;
    int32_t MakeDir(const std::string& RelPath) override;
    int32_t GetScanSteps() override;
    int32_t LoadSavedTree() override { return LoadSavedTreeThroughStream(); }
    std::string LocalPathOf(const TFileAttri& Attri) override { return GetFullPath(*FFolderSource, Attri); }
    int32_t DeleteFile(TFolderSource& Source, const TFileAttri& Attri, bool Log) override;
    int32_t RemoveDir(TFolderSource& Source, const TFileAttri& Attri, bool Log) override;
    std::string GetBackupFolder() override;
    int64_t GetFileSize(const std::string& FullPath) override;
    int32_t BackupFile(TFolderSource& Source, const TFileAttri& Attri) override;
    std::string ExtractDir(const std::string& Path) override;
    std::string GetFullPath(TFolderSource& Source, const TFileAttri& Attri) override;
    std::string GetFolderPath(TFolderSource&, const TFileAttri&) override { return {}; }
    int32_t PutFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri,
                    int32_t SrcAttr, bool Log) override;
    int32_t RenameFile(const std::string& OldName, const std::string& NewName) override;
    int32_t GetFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri, int32_t X,
                    bool Log) override;
    int32_t CheckFolder() override;
    int32_t GetEntryState(TFolderSource& Source, const TFileAttri& Attri, TEntryState& State) override;
    bool ReplacesByRename() const override { return true; }

  private:
    // Every operation reaches its entry beneath the side's root (UTLocalRoot.h): the root is opened
    // once, and each folder below it is reached through no link.
    TLocalRootRef m_Root;
    // The folder reached last (m_FolderRel, "docs/" below the root) stays open until the next row:
    // a copy's look-ups, rename and check all act in one folder.
    std::string m_FolderRel;
    TFd m_Folder;
    // The two folders MakeDir made or found last ("docs/" below the root): a copy's folder and the
    // backup folder take turns when replaced files are backed up.
    std::string m_KnownFolders[2];
    std::chrono::steady_clock::time_point m_ConnectedUntil{};  // see Connect

    // The side's root, opened when first needed and again once Source names another one; null
    // (errno set) when it cannot be opened.
    const TLocalRoot* Root(const TFolderSource& Source);
    // The folder Rel ("/" the root, "/docs/" below it) of Source, reached beneath its root; -1 with
    // errno (ELOOP: a link on the way) when it cannot be. Kept open as the folder reached last, or,
    // with Apart, held there instead (for a second folder in use at the same time).
    int FolderFd(const TFolderSource& Source, std::string_view Rel, TFd* Apart = nullptr);
    // The folder holding the entry at FullPath (a path GetFullPath gave) and, in Name, the entry's
    // name (a pointer into FullPath); -1 when FullPath does not lie below the side's root or its
    // folder cannot be reached.
    int ParentOf(const std::string& FullPath, const char*& Name, TFd* Apart = nullptr);
    void ForgetFolders() {
        m_Folder.Reset();
        m_KnownFolders[0].clear();
        m_KnownFolders[1].clear();
    }

  public:
    int32_t ReplaceFile(const std::string& OldName, const std::string& NewName) override;

    // Copies Src to Dst (full local paths) in chunks of COPY_CHUNK, reporting a percentage after
    // each; Dst is held under the writer's lock (UTLocalFile.h) meanwhile, and gets Src's own times.
    // FileDate is the source entry's listed date (an undated one, no day, as 0, is not compared).
    // 0: copied. RESULT_SOURCE_CHANGED: Src no longer
    // had ExpectedSize and FileDate when opened (Dst untouched), or its size, time or length changed
    // while it was copied. -1: Src missing or unreadable, Dst not writable or held by another writer,
    // or a read or write failed. A failed copy leaves no file under a Dst name that did not exist
    // before.
    int32_t CopyFileData(const std::string& Src, const std::string& Dst, int32_t X, int64_t ExpectedSize,
                         int32_t FileDate);

  private:
    bool ScanTree();
    bool ScanBelow(int RootFd, const std::string& Root, TScanShare& Share, std::vector<TScanFrame>& Stack);
    // Reads one folder's entries into Node, its sub-folders also into SubFolders. Earlier is the same
    // folder in FEarlierListing (or null): with FWrittenEntries, an entry the walk did not touch is
    // taken from it as it is (a folder with everything below it) instead of being looked at.
    bool ReadFolder(DIR* Dir, TFileTree& Node, const TSharedString& Path, bool TopLevel,
                    std::vector<TFileTree*>& SubFolders, const std::string& Root, const TFileTree* Earlier);
};

// Lists the root into a fresh FFileTree: the root folder first, then the folders below it on up to
// SCAN_THREADS threads (ScanBelow). Runs on the back-end's thread or on the caller's. Never throws.
int32_t TWinFileOper::ListFolder() {
    return ListTree([this] { return ScanTree(); });
}

bool TWinFileOper::ScanTree() {
    const std::string root = RootOf(*FFolderSource);
    if (!RootUsable(root)) {
        TMyException::Instance().LogError("Cannot list folder " + root, "EInOutError",
                                          "not an absolute path");
        FFileTree->NotListed = true;
        return false;
    }
    // The listing reads the folder every other operation reaches its entries beneath (a link at the
    // root itself was followed when it was opened: the user chose that folder).
    const TLocalRoot* open = Root(*FFolderSource);
    const int openFd = open ? open->Fd() : -1;
    int rootFd = open ? ::openat(openFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (rootFd < 0) {
        const int err = errno;
        LogFailure("Cannot list folder " + root, err);
        NotListedBecause(*FFileTree, ErrorText(err));
        return false;
    }
    TDirPtr rootDir(::fdopendir(rootFd));
    if (!rootDir) {
        const int err = errno;
        LogFailure("Cannot list folder " + root, err);
        ::close(rootFd);
        NotListedBecause(*FFileTree, ErrorText(err));
        return false;
    }
    if (Terminated()) {
        FFileTree->NotListed = true;
        return false;
    }

    RemoveMarkerLeftovers(rootFd);

    bool rootRead = true;
    TScanShare share;
    if (!ReadFolder(rootDir.get(), *FFileTree, TSharedString("/"), true, share.Tops, root, FEarlierListing)) {
        FFileTree->NotListed = true;
        rootRead = false;
    }
    SortLevel(*FFileTree);
    if (FEarlierListing) ShareListedFiles(*FFileTree, *FEarlierListing);
    rootDir.reset();

    std::atomic<bool> complete{rootRead};
    std::mutex failureLock;
    std::exception_ptr failure;
    const auto work = [&] {
        std::vector<TScanFrame> stack;
        try {
            if (!ScanBelow(openFd, root, share, stack)) complete = false;
        } catch (...) {
            complete = false;
            const std::lock_guard lock(failureLock);
            if (!failure) failure = std::current_exception();
        }
        // Whatever a stop or a failure left unread is unknown, not empty.
        for (auto& frame : stack)
            for (TFileTree* node : frame.Pending) node->NotListed = true;
    };
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t threadCount = std::min<size_t>({SCAN_THREADS, cores, share.Tops.size()});
    std::vector<std::thread> threads;
    for (size_t i = 1; i < threadCount; ++i) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
    for (size_t i = share.Next.load(); i < share.Tops.size(); ++i) {
        share.Tops[i]->NotListed = true;
        complete = false;
    }
    if (failure) std::rethrow_exception(failure);
    return complete;
}

// One listing thread: takes folders directly under the root from Share and lists each with all
// below it, folder by folder from an explicit stack (no recursion, so the depth of the tree is not
// bounded by the thread's stack). Stack's first frame is the root, opened by this thread. False
// when a folder could not be read or a stop ended the listing; folders still pending in Stack are
// then unread.
bool TWinFileOper::ScanBelow(int RootFd, const std::string& Root, TScanShare& Share,
                             std::vector<TScanFrame>& Stack) {
    const int rootFd = ::openat(RootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    TDirPtr rootDir(rootFd >= 0 ? ::fdopendir(rootFd) : nullptr);
    if (!rootDir) {
        const int err = errno;
        if (rootFd >= 0) ::close(rootFd);
        LogFailure("Cannot list folder " + Root, err);
        return false;
    }
    Stack.push_back({std::move(rootDir), FFileTree.get(), TSharedString("/"), {}, FEarlierListing});

    bool complete = true;
    std::vector<TFileTree*> subFolders;
    std::string rel;
    while (!Stack.empty()) {
        TScanFrame& parent = Stack.back();
        if (parent.Pending.empty()) {
            if (Stack.size() > 1) {
                const TScanFrame done = std::move(parent);
                Stack.pop_back();
                TakeEarlier(Share, Stack.size() == 1, *Stack.back().Node, *done.Node, done.Earlier);
                continue;
            }
            // One step per folder directly under the root, sent before it is listed. Taken and
            // announced under one lock, so that no folder is announced once a stop was seen.
            const std::lock_guard lock(Share.ProgressLock);
            if (Terminated()) return false;  // the folders nobody took are marked by ScanTree
            const size_t next = Share.Next.fetch_add(1);
            if (next >= Share.Tops.size()) {
                Stack.pop_back();
                continue;
            }
            parent.Pending.push_back(Share.Tops[next]);
            PostProgress();
        }
        TFileTree* node = parent.Pending.back();
        parent.Pending.pop_back();
        if (Terminated()) {
            node->NotListed = true;
            return false;
        }
        TSharedString path(parent.Path + node->Name + "/");

        size_t anchor = Stack.size() - 1;
        while (!Stack[anchor].Dir) --anchor;  // the root frame is always open
        rel.clear();
        for (size_t i = anchor + 1; i < Stack.size(); ++i) rel.append(Stack[i].Node->Name).push_back('/');
        rel.append(node->Name);
        int fd = ::openat(::dirfd(Stack[anchor].Dir.get()), rel.c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        TDirPtr dir(fd >= 0 ? ::fdopendir(fd) : nullptr);
        if (!dir) {
            const int err = errno;
            LogFailure("Cannot list folder " + FolderUnder(Root, path.str()), err);
            if (fd >= 0) ::close(fd);
            NotListedBecause(*node, ErrorText(err));
            complete = false;
            continue;
        }
        subFolders.clear();
        const TFileTree* earlier = parent.Earlier ? FindListedFolder(*parent.Earlier, *node) : nullptr;
        if (!ReadFolder(dir.get(), *node, path, false, subFolders, Root, earlier)) {
            node->NotListed = true;
            complete = false;
        }
        SortLevel(*node);  // here, on the listing's threads, rather than all at the end on one
        if (earlier) ShareListedFiles(*node, *earlier);
        if (subFolders.empty()) {
            TakeEarlier(Share, Stack.size() == 1, *parent.Node, *node,
                        earlier);  // node may be gone after this
            continue;
        }
        const size_t depth = Stack.size();
        if (depth >= KEEP_OPEN_DEPTH && depth % KEEP_OPEN_EVERY != 0) dir.reset();
        Stack.push_back({std::move(dir), node, std::move(path), std::move(subFolders), earlier});
    }
    return complete;
}

bool TWinFileOper::ReadFolder(DIR* Dir, TFileTree& Node, const TSharedString& Path, bool TopLevel,
                              std::vector<TFileTree*>& SubFolders, const std::string& Root,
                              const TFileTree* Earlier) {
    const int fd = ::dirfd(Dir);
    int failure = 0;
    std::vector<std::string> leftovers;  // removed once the folder is read, never while it is
    // Earlier's entries by name, made when the first untouched entry is met.
    std::unordered_map<std::string_view, const TFileTree*> earlier;
    const bool takesEarlier = Earlier && FWrittenEntries;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(Dir);
        if (!entry) {
            if (errno != 0) failure = errno;
            break;
        }
        const char* name = entry->d_name;
        if (IsDotOrDotDot(name)) continue;
        // Links are never followed nor synced; the listing of the analysis names each one in the
        // error log (one made again after the walk would name it twice).
        if (entry->d_type == DT_LNK) {
            if (!FEarlierListing) LogSkipped(Root, Path, name, true);
            NoteLeftOut(Node, name);
            continue;
        }
        if (IsReservedName(name)) {
            if (MayBeFile(entry)) leftovers.emplace_back(name);
            continue;
        }
        // The marker folder holds this program's own files; it is never part of the listing.
        if (TopLevel && std::strcmp(name, MARKER_FOLDER) == 0) continue;

        if (takesEarlier && (entry->d_type == DT_REG || entry->d_type == DT_DIR) &&
            !FWrittenEntries->Touched(Path.str(), name, entry->d_type == DT_DIR)) {
            if (earlier.empty())
                for (const TFileTreeRef& c : Earlier->Children) earlier.emplace(c->Name, c.get());
            const auto it = earlier.find(name);
            if (it != earlier.end() && it->second->IsFolder() == (entry->d_type == DT_DIR)) {
                Node.AppendNode(TFileTreeRef(const_cast<TFileTree*>(it->second)));
                continue;
            }
        }

        struct stat st {};
        if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) failure = errno;  // ENOENT: removed since it was read
            continue;
        }
        const bool folder = S_ISDIR(st.st_mode);
        if (!folder && !S_ISREG(st.st_mode)) {
            if (!S_ISLNK(st.st_mode) || !FEarlierListing) LogSkipped(Root, Path, name, S_ISLNK(st.st_mode));
            NoteLeftOut(Node, name);
            continue;
        }

        TFileTree* child = Node.AddChild(EntryOf(name, st, Path));
        if (folder) SubFolders.push_back(child);
    }
    for (const std::string& leftover : leftovers) {
        // A file stepped aside by a replace that never finished goes back under its name when
        // nothing took that name, and is listed there.
        const std::string_view original = AsideOf(leftover);
        struct stat st {};
        if (!original.empty() && IsSafeName(original) &&
            ::renameat2(fd, leftover.c_str(), fd, std::string(original).c_str(), RENAME_NOREPLACE) == 0 &&
            ::fstatat(fd, std::string(original).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode)) {
            Node.AddChild(EntryOf(std::string(original).c_str(), st, Path));
            continue;
        }
        RemoveLeftover(fd, leftover);
    }
    if (failure != 0) {
        LogFailure("Cannot list folder " + FolderUnder(Root, Path.str()), failure);
        NotListedBecause(Node, ErrorText(failure));
    }
    return failure == 0;
}

int32_t TWinFileOper::GetScanSteps() {
    const TLocalRoot* root = Root(*FFolderSource);
    int fd = root ? ::openat(root->Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (fd < 0) return 0;
    TDirPtr dir(::fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return 0;
    }
    // Counts what the listing will report: real folders (no links), the marker folder left out.
    int32_t steps = 1;
    while (const dirent* entry = ::readdir(dir.get())) {
        const char* name = entry->d_name;
        if (IsDotOrDotDot(name) || IsReservedName(name) || std::strcmp(name, MARKER_FOLDER) == 0) continue;
        bool folder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st {};
            folder = ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        if (folder) ++steps;
    }
    return steps;
}

// Why a side's root cannot be used, in the words the task window's log line ends with.
std::string RootFailureText(const std::string& Root, int Err) {
    if (!RootUsable(Root)) return Root.empty() ? "no folder given" : "not a full path";
    switch (Err) {
        case ENOENT:
            return "no such folder";
        case ENOTDIR:
            return "not a folder";
        case EACCES:
        case EPERM:
            return "access denied";
        case ENOMEDIUM:
        case ENODEV:
        case ENXIO:
        case EIO:
        case ESTALE:
        case ENOTCONN:
        case EHOSTDOWN:
        case ETIMEDOUT:
            return "not reachable";
        default:
            return std::strerror(Err);
    }
}

int32_t TWinFileOper::CheckFolder() {
    FailureText.clear();
    errno = 0;
    const TLocalRoot* root = Root(*FFolderSource);
    if (root && FolderExists(root->Path())) return 0;
    int err = errno;
    // The root held open from before may have gone since: ask the path itself why.
    struct stat st {};
    const std::string path = RootOf(*FFolderSource);
    if (RootUsable(path)) err = ::stat(path.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? err : ENOTDIR;
    FailureText = RootFailureText(path, err == 0 ? ENOENT : err);
    return 1;
}

const TLocalRoot* TWinFileOper::Root(const TFolderSource& Source) {
    std::string root = RootOf(Source);
    if (m_Root && m_Root->Path() == root) return m_Root.get();
    ForgetFolders();
    m_Root.reset();
    if (!RootUsable(root)) {
        errno = EINVAL;
        return nullptr;
    }
    m_Root = TLocalRoot::Open(root);
    return m_Root.get();
}

int TWinFileOper::FolderFd(const TFolderSource& Source, std::string_view Rel, TFd* Apart) {
    const TLocalRoot* root = Root(Source);
    if (!root) return -1;
    Rel = Relative(Rel);
    if (Rel.empty()) return root->Fd();
    if (m_Folder.Get() >= 0 && Rel == m_FolderRel) return m_Folder.Get();
    TFd fd(OpenBeneath(root->Fd(), Rel, O_PATH | O_DIRECTORY));
    if (fd.Get() < 0) return -1;
    TFd& into = Apart ? *Apart : m_Folder;
    into = std::move(fd);
    if (!Apart) m_FolderRel.assign(Rel);
    return into.Get();
}

int TWinFileOper::ParentOf(const std::string& FullPath, const char*& Name, TFd* Apart) {
    const TLocalRoot* root = Root(*FFolderSource);
    if (!root) return -1;
    const std::string& r = root->Path();
    const size_t skip = r == "/" ? 1 : r.size() + 1;  // the root and the "/" after it
    if (FullPath.size() <= skip || !FullPath.starts_with(r) || FullPath[skip - 1] != '/') {
        errno = EINVAL;
        return -1;
    }
    const std::string_view rel = std::string_view(FullPath).substr(skip);
    const size_t slash = rel.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? rel : rel.substr(slash + 1);
    if (!IsSafeName(name)) {
        errno = EINVAL;
        return -1;
    }
    Name = name.data();  // the end of FullPath: ends with its NUL
    return FolderFd(*FFolderSource,
                    slash == std::string_view::npos ? std::string_view() : rel.substr(0, slash + 1), Apart);
}

int32_t TWinFileOper::ReadFileToStream(TFolderSource& Source, const TFileAttri& Attri, std::string& Stream,
                                       int32_t) {
    Stream.clear();
    if (!EntryUsable(Source, Attri)) return 1;
    struct stat st {};
    const int dir = FolderFd(Source, Attri.Path.str());
    TFd fd(dir < 0 ? -1 : ::openat(dir, Attri.Name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return 1;
    // Read to its end, however long it is by then.
    Stream.resize(static_cast<size_t>(st.st_size) + 1);
    size_t got = 0;
    for (;;) {
        const ssize_t n = ReadFull(fd.Get(), Stream.data() + got, Stream.size() - got);
        if (n < 0) {
            Stream.clear();
            return 1;
        }
        got += static_cast<size_t>(n);
        if (got < Stream.size()) break;
        Stream.resize(Stream.size() * 2);
    }
    Stream.resize(got);
    return 0;
}

// Writes the stream under a unique temporary name beside the target (TTempFile), flushed and dated,
// then renames it over the target: a crash leaves the old file or the new one. The new file keeps
// the mode of the one it replaces (made writable for the owner with ClearReadOnly).
int32_t TWinFileOper::WriteStreamToFile(const std::string& Stream, TFolderSource& Source,
                                        const TFileAttri& Attri, bool ClearReadOnly) {
    if (!EntryUsable(Source, Attri)) return 1;
    if (MakeDir(Attri.Path.str()) != 0) return 1;
    const std::string target = EntryPath(Source, Attri);
    const int dir = FolderFd(Source, Attri.Path.str());
    if (dir < 0) return 1;
    mode_t mode = 0644;
    struct stat st {};
    if (::fstatat(dir, Attri.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(st.st_mode)) return 1;  // never replace a folder or a link by a file
        mode = st.st_mode & 07777;
        if (ClearReadOnly) mode |= S_IWUSR;
    } else if (errno != ENOENT) {
        return 1;
    }

    TTempFile temp(EntryFolder(Source, Attri), TEMP_PREFIX);
    if (!temp.Created()) return 1;
    const int64_t unix = DosDateInstant(Attri.FileDate);
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(unix), 0}};
    if (WriteAll(temp.Fd(), Stream) != 0) return 1;
    if (::fchmod(temp.Fd(), mode) != 0) return 1;
    if (unix != -1 && ::futimens(temp.Fd(), times) != 0) return 1;
    if (!temp.CommitAs(target)) return 1;
    TFd folder(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() >= 0) ::fsync(folder.Get());
    return 0;
}

// Creates a root-relative folder and its missing parents below the root. The root itself is never
// created: a missing root is an unmounted or removed drive, and filling its mount point would put
// the files on the wrong disk.
// Every part is made or found beneath the root through no link: a part that is a link (or a file)
// fails, whatever it leads to.
int32_t TWinFileOper::MakeDir(const std::string& RelPath) {
    if (!IsSafeRelPath(RelPath)) return 1;
    const TLocalRoot* root = Root(*FFolderSource);
    if (!root) return 1;
    std::string folder(Relative(RelPath));
    if (folder.empty()) return 0;  // the root itself, open
    if (folder.back() != '/') folder += '/';
    // A sync copies file after file into the same folder: the folder made or found last is taken as
    // still there (a copy into a folder removed meanwhile fails and its row says so).
    if (folder == m_KnownFolders[0] || folder == m_KnownFolders[1]) return 0;
    if (FolderFd(*FFolderSource, folder) < 0) {
        if (errno != ENOENT) return 1;
        if (!FolderExists(root->Path())) return 1;  // never create a missing root (an unmounted disk)
        if (MakeFoldersBeneath(root->Fd(), folder) != 0) return 1;
    }
    m_KnownFolders[1] = std::move(m_KnownFolders[0]);
    m_KnownFolders[0] = std::move(folder);
    return 0;
}

int32_t TWinFileOper::DeleteFile(TFolderSource& Source, const TFileAttri& Attri, bool Log) {
    if (!EntryUsable(Source, Attri)) return -1;
    const int dir = FolderFd(Source, Attri.Path.str());
    // Without AT_REMOVEDIR unlinkat never removes a folder.
    const int32_t result = dir >= 0 && ::unlinkat(dir, Attri.Name.c_str(), 0) == 0 ? 0 : -1;
    if (Log) ReportStatus("Delete:" + EntryPath(Source, Attri));
    return result;
}

int32_t TWinFileOper::RemoveDir(TFolderSource& Source, const TFileAttri& Attri, bool) {
    if (!EntryUsable(Source, Attri)) return -1;
    const int dir = FolderFd(Source, Attri.Path.str());
    const int32_t result = dir >= 0 && ::unlinkat(dir, Attri.Name.c_str(), AT_REMOVEDIR) == 0 ? 0 : -1;
    ForgetFolders();  // the folder kept open may have been this one
    return result;
}

std::string TWinFileOper::GetBackupFolder() {
    const std::string marker = std::string("/") + MARKER_FOLDER;
    const std::string backup = marker + "/" + BACKUP_FOLDER;
    MakeDir(marker);
    MakeDir(backup);
    return backup;
}

int64_t TWinFileOper::GetFileSize(const std::string& FullPath) {
    const char* name = nullptr;
    const int dir = ParentOf(FullPath, name);
    struct stat st {};
    if (dir < 0 || ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

// Copies the current file to the backup folder + Path + Name, replacing an older backup in one step;
// the copy keeps the file's mode and times and is on disk before the caller replaces or deletes the
// original. The temporary copy is made at the top of the marker folder, which holds the backup
// folder: the rename stays within one file system, and no temporary name ever lies deep inside the
// backups, where no listing would find it.
int32_t TWinFileOper::BackupFile(TFolderSource& Source, const TFileAttri& Attri) {
    if (!EntryUsable(Source, Attri)) return 1;
    const std::string current = GetFullPath(Source, Attri);
    const std::string relFolder = GetBackupFolder() + Attri.Path.str();
    struct stat st {};
    TFd src(OpenForReading(current, st));
    if (src.Get() < 0) return 1;
    if (MakeDir(relFolder) != 0) return 1;

    const std::string backup = FolderUnder(RootOf(Source), relFolder) + Attri.Name;
    TTempFile temp(FolderUnder(RootOf(Source), MARKER_FOLDER), TEMP_PREFIX);
    if (!temp.Created()) return 1;
    if (CopyBytes(src.Get(), temp.Fd(), st.st_size) != st.st_size) return 1;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (::fchmod(temp.Fd(), st.st_mode & 07777) != 0 || ::futimens(temp.Fd(), times) != 0) return 1;
    return temp.CommitAs(backup) ? 0 : 1;
}

std::string TWinFileOper::ExtractDir(const std::string& Path) {
    const size_t slash = Path.rfind('/');
    return slash == std::string::npos ? std::string() : Path.substr(0, slash + 1);
}

// Empty for an entry whose name or path could climb out of the root: nothing is done with it. The
// root is opened first: whoever opens the path then reaches it beneath the root (UTLocalRoot.h).
std::string TWinFileOper::GetFullPath(TFolderSource& Source, const TFileAttri& Attri) {
    if (!EntryUsable(Source, Attri)) return {};
    Root(Source);
    return EntryPath(Source, Attri);
}

int32_t TWinFileOper::PutFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri,
                              int32_t SrcAttr, bool Log) {
    if (!EntryUsable(Source, Attri)) return -1;
    const std::string target = GetFullPath(Source, Attri);
    if (Log) ReportStatus("Copy:" + LocalPath);
    if (MakeDir(Attri.Path.str()) != 0) return -1;
    return CopyFileData(LocalPath, target, SrcAttr, Attri.Size, Attri.FileDate);
}

int32_t TWinFileOper::GetFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri,
                              int32_t X, bool Log) {
    if (!EntryUsable(Source, Attri)) return -1;
    const std::string src = GetFullPath(Source, Attri);
    if (Log) ReportStatus("Copy:" + src);
    return CopyFileData(src, LocalPath, X, Attri.Size, Attri.FileDate);
}

// Moves OldName to NewName, never over an existing NewName.
int32_t TWinFileOper::RenameFile(const std::string& OldName, const std::string& NewName) {
    for (const std::string* path : {&OldName, &NewName})
        if (path->empty() || path->front() != '/' || !IsSafeRelPath(*path)) return 1;
    const char *oldName = nullptr, *newName = nullptr;
    TFd apart;
    const int oldDir = ParentOf(OldName, oldName);
    const int newDir = oldDir < 0 ? -1 : ParentOf(NewName, newName, &apart);
    if (newDir < 0) return 1;
    if (::renameat2(oldDir, oldName, newDir, newName, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return 1;
    // A file system without no-replace renames (NFS, some FUSE ones): a hard link refuses an
    // existing name just as well.
    if (::linkat(oldDir, oldName, newDir, newName, 0) == 0) {
        if (::unlinkat(oldDir, oldName, 0) == 0) return 0;
        ::unlinkat(newDir, newName, 0);
        return 1;
    }
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return 1;
    // No hard links either (FAT-like ones): test, then rename.
    struct stat st {};
    if (::fstatat(newDir, newName, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return 1;
    return ::renameat(oldDir, oldName, newDir, newName) == 0 ? 0 : 1;
}

int32_t TWinFileOper::ReplaceFile(const std::string& OldName, const std::string& NewName) {
    for (const std::string* path : {&OldName, &NewName})
        if (path->empty() || path->front() != '/' || !IsSafeRelPath(*path)) return 1;
    const char *oldName = nullptr, *newName = nullptr;
    TFd apart;
    const int oldDir = ParentOf(OldName, oldName);
    const int newDir = oldDir < 0 ? -1 : ParentOf(NewName, newName, &apart);
    if (newDir < 0) return 1;
    // Never replace a folder or a link: only a regular file (or nothing) is replaced.
    struct stat st {};
    if (::fstatat(newDir, newName, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) return 1;
    // rename(2) swaps the name over in one step: the old file stays until the new one is in place.
    return ::renameat(oldDir, oldName, newDir, newName) == 0 ? 0 : 1;
}

int32_t TWinFileOper::CopyFileData(const std::string& Src, const std::string& Dst, int32_t,
                                   int64_t ExpectedSize, int32_t FileDate) {
    struct stat srcStat {};
    TFd src(OpenForReading(Src, srcStat));
    // A link on the way (a folder swapped for one since the listing): not the file that was listed.
    if (src.Get() < 0) return errno == ELOOP ? RESULT_SOURCE_CHANGED : -1;
    // Changed since it was listed: leave Dst alone.
    if (DiffersFromListing(srcStat, ExpectedSize, FileDate)) return RESULT_SOURCE_CHANGED;

    TCopyTarget dst;  // removes a Dst it created unless the copy is finished
    if (!dst.Open(Dst, srcStat.st_mode & 0777, &srcStat)) return -1;
    const auto progress = [this, &Src](int64_t Done, int64_t Total) {
        std::string text = "Copy:" + Src + " : " +
                           FormatPercent(static_cast<double>(Done) / static_cast<double>(Total) * 100) + "%";
        // The last chunk's text is left for whatever reports next; only earlier ones are announced.
        if (Done >= Total)
            SetStatusText(std::move(text));
        else
            ReportStatus(std::move(text));
    };
    // No stop request is passed: the sync walk stops between rows, so a copy once begun runs to its end.
    switch (CopyFileContents(src.Get(), srcStat, dst.Fd(), progress)) {
        case TCopyResult::Done:
            break;
        case TCopyResult::SourceChanged:
            return RESULT_SOURCE_CHANGED;
        case TCopyResult::Failed:
        case TCopyResult::Stopped:
            return -1;
    }
    // The copy keeps the source's own time to the nanosecond: its DOS date is the listed one (checked
    // above), and other tools that compare times see the two files alike.
    const timespec times[2] = {srcStat.st_atim, srcStat.st_mtim};
    return dst.Finish(times) ? 0 : -1;
}

int32_t TWinFileOper::GetEntryState(TFolderSource& Source, const TFileAttri& Attri, TEntryState& State) {
    State = TEntryState{};
    if (!EntryUsable(Source, Attri)) return 1;
    struct stat st {};
    const int dir = FolderFd(Source, Attri.Path.str());
    if (dir < 0 || ::fstatat(dir, Attri.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // A file on the way: nothing there. A link on the way (ELOOP) tells nothing of the entry.
        // Absent only where the root is there: a root that is gone (an unmounted disk) tells nothing.
        if (errno == ENOTDIR) return 0;
        return errno == ENOENT && FolderExists(RootOf(Source)) ? 0 : 1;
    }
    State.Exists = true;
    if (S_ISDIR(st.st_mode)) {
        State.IsFolder = true;
    } else if (S_ISREG(st.st_mode)) {
        State.Size = static_cast<int64_t>(st.st_size);
        State.FileDate = UnixTimeToDosDate(static_cast<int64_t>(st.st_mtime));
    } else {
        State.Size = -1;  // a link or a special file: there, and never written over
    }
    return 0;
}

}  // namespace

std::unique_ptr<TFileOper> CreateWinFileOper(bool FreeOnTerminate) {
    return std::make_unique<TWinFileOper>(FreeOnTerminate);
}

}  // namespace bfs
