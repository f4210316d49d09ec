#pragma once

// An in-memory back-end: a side whose files live in a map. The engine tests use it to build sides
// without touching the disk, and sync-walk tests as a stand-in for a remote side. Several back-end
// objects may serve one store (the sync thread makes fresh back-ends), so the store is shared.

#include "model/UTConsts.h"
#include "model/UTFileOper.h"
#include "model/UTPublicFunc.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTLocalFile.h"

#include <sys/stat.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace bfs::test {

struct TMemEntry {
    bool Folder = false;
    std::string Content;
    int32_t Date = 0;
    int32_t ExtraAttr = 0;    // bits added to the folder/file/hidden bits (read-only, system ...)
    bool Unreadable = false;  // a folder whose contents cannot be listed
};

// The files of one side, keyed by root-relative path without a trailing "/" ("/docs", "/docs/a.txt").
// Parents always exist: adding an entry adds its missing parent folders.
class TMemStore {
  public:
    bool RootExists = true;
    std::set<std::string> FailPaths;  // operations on these root-relative paths fail

    void AddFolder(const std::string& Path, int32_t Date = 0) {
        std::lock_guard lock(Mutex);
        AddParents(Path);
        auto& e = Entries[Path];
        e.Folder = true;
        e.Date = Date;
    }
    void AddFile(const std::string& Path, std::string Content, int32_t Date, int32_t ExtraAttr = 0) {
        std::lock_guard lock(Mutex);
        AddParents(Path);
        Entries[Path] = TMemEntry{false, std::move(Content), Date, ExtraAttr, false};
    }
    // Removes the entry and, for a folder, everything below it.
    void Remove(const std::string& Path) {
        std::lock_guard lock(Mutex);
        Entries.erase(Path);
        const std::string prefix = Path + "/";
        for (auto it = Entries.lower_bound(prefix); it != Entries.end() && it->first.starts_with(prefix);)
            it = Entries.erase(it);
    }
    void SetUnreadable(const std::string& Path, bool Unreadable = true) {
        std::lock_guard lock(Mutex);
        Entries[Path].Unreadable = Unreadable;
    }
    bool Has(const std::string& Path) const {
        std::lock_guard lock(Mutex);
        return Entries.count(Path) != 0;
    }
    TMemEntry Get(const std::string& Path) const {
        std::lock_guard lock(Mutex);
        auto it = Entries.find(Path);
        return it == Entries.end() ? TMemEntry{} : it->second;
    }
    // Every entry outside the marker folder: "path" for folders ending in "/", "path=date" for files.
    std::vector<std::string> Snapshot() const {
        std::lock_guard lock(Mutex);
        std::vector<std::string> r;
        const std::string marker = std::string("/") + MARKER_FOLDER;
        for (const auto& [path, e] : Entries) {
            if (path == marker || path.starts_with(marker + "/")) continue;
            r.push_back(e.Folder ? path + "/" : path + "=" + std::to_string(e.Date));
        }
        return r;
    }

    mutable std::mutex Mutex;  // guards Entries
    std::map<std::string, TMemEntry> Entries;

    // Caller holds Mutex.
    void AddParents(const std::string& Path) {
        for (std::size_t p = Path.find('/', 1); p != std::string::npos; p = Path.find('/', p + 1)) {
            auto& e = Entries[Path.substr(0, p)];
            e.Folder = true;
        }
    }
};

using TMemStoreRef = std::shared_ptr<TMemStore>;

class TMemFileOper : public TFileOper {
  public:
    explicit TMemFileOper(TMemStoreRef Store, bool FreeOnTerminate = false)
        : TFileOper(FreeOnTerminate), Store(std::move(Store)) {}
    ~TMemFileOper() override {
        Terminate();
        WaitFor();
    }

    TMemStoreRef Store;
    int32_t ConnectResult = 0;
    bool CanReplace = true;  // whether the side replaces a file by renaming over it (ReplaceFile)
    bool Atomic = false;     // whether PutFile writes in one step (WritesAtomically), as object stores do

    int32_t Connect() override { return ConnectResult; }

    int32_t ListFolder() override {
        std::map<std::string, TFileTree*> folders{{"", FFileTree.get()}};
        bool complete = true;
        {
            std::lock_guard lock(Store->Mutex);
            std::vector<std::string> leftovers;  // no writer holds a file here between two calls
            for (const auto& [path, e] : Store->Entries) {
                if (Terminated()) break;
                const std::size_t cut = path.rfind('/');
                auto parent = folders.find(path.substr(0, cut));
                if (parent == folders.end()) continue;  // below an unreadable or reserved folder
                const std::string name = path.substr(cut + 1);
                if (IsReservedName(name)) {
                    if (!e.Folder) leftovers.push_back(path);
                    continue;
                }
                auto a = MakeRef<TFileAttri>();
                a->Name = name;
                a->Path = path.substr(0, cut + 1);
                a->IsFolder = e.Folder ? 1 : 0;
                a->Size = e.Folder ? 0 : static_cast<int64_t>(e.Content.size());
                a->FileDate = e.Date;
                a->Attr = (e.Folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE) |
                          (name.starts_with(".") ? FILE_ATTRIBUTE_HIDDEN : 0) | e.ExtraAttr;
                TFileTree* node = parent->second->AddChild(name, a);
                if (!e.Folder) continue;
                if (e.Unreadable) {
                    NotListedBecause(*node, "unreadable");
                    complete = false;
                } else {
                    folders[path] = node;
                }
            }
            for (const std::string& path : leftovers) Store->Entries.erase(path);
        }
        return FinishListing(complete);
    }

    int32_t ReadFileToStream(TFolderSource&, const TFileAttri& A, std::string& Stream, int32_t) override {
        const std::string path = RelPath(A);
        std::lock_guard lock(Store->Mutex);
        auto it = Store->Entries.find(path);
        if (path.empty() || Store->FailPaths.count(path) || it == Store->Entries.end() || it->second.Folder)
            return 1;
        Stream = it->second.Content;
        return 0;
    }
    int32_t WriteStreamToFile(const std::string& Stream, TFolderSource&, const TFileAttri& A, bool) override {
        return StoreFile(RelPath(A), Stream, A.FileDate);
    }
    int32_t MakeDir(const std::string& Rel) override {
        std::string path = Rel;
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        if (path.empty() || path == "/") return 0;
        if (path.front() != '/') path.insert(path.begin(), '/');
        if (!IsSafeRelPath(path)) return 1;
        std::lock_guard lock(Store->Mutex);
        if (Store->FailPaths.count(path)) return 1;
        auto it = Store->Entries.find(path);
        if (it != Store->Entries.end()) return it->second.Folder ? 0 : 1;
        Store->AddParents(path);
        Store->Entries[path].Folder = true;
        return 0;
    }
    int32_t GetScanSteps() override { return 1; }
    int32_t LoadSavedTree() override { return LoadSavedTreeThroughStream(); }
    int32_t DeleteFile(TFolderSource&, const TFileAttri& A, bool Log) override {
        const std::string path = RelPath(A);
        if (Log) ReportStatus("Delete:" + FullPath(path));
        std::lock_guard lock(Store->Mutex);
        auto it = Store->Entries.find(path);
        if (path.empty() || Store->FailPaths.count(path) || it == Store->Entries.end() || it->second.Folder)
            return 1;
        Store->Entries.erase(it);
        return 0;
    }
    int32_t RemoveDir(TFolderSource&, const TFileAttri& A, bool) override {
        const std::string path = RelPath(A);
        std::lock_guard lock(Store->Mutex);
        auto it = Store->Entries.find(path);
        if (path.empty() || Store->FailPaths.count(path) || it == Store->Entries.end() || !it->second.Folder)
            return 1;
        auto next = std::next(it);
        if (next != Store->Entries.end() && next->first.starts_with(path + "/")) return 1;  // not empty
        Store->Entries.erase(it);
        return 0;
    }
    std::string GetBackupFolder() override {
        MakeDir(BackupRel());
        return FullPath(BackupRel() + "/");
    }
    int64_t GetFileSize(const std::string& Full) override {
        const std::string path = FromFull(Full);
        std::lock_guard lock(Store->Mutex);
        auto it = Store->Entries.find(path);
        return it == Store->Entries.end() ? -1 : static_cast<int64_t>(it->second.Content.size());
    }
    int32_t BackupFile(TFolderSource&, const TFileAttri& A) override {
        const std::string path = RelPath(A);
        const TMemEntry e = Store->Get(path);
        if (path.empty() || e.Folder || !Store->Has(path)) return 1;
        return StoreFile(BackupRel() + path, e.Content, e.Date);
    }
    std::string ExtractDir(const std::string& Path) override { return ExtractParentBySep(Path, '/'); }
    std::string GetFullPath(TFolderSource&, const TFileAttri& A) override {
        return FullPath(A.Path + A.Name);
    }
    std::string GetFolderPath(TFolderSource&, const TFileAttri& A) override { return FullPath(A.Path); }
    int32_t PutFile(const std::string& LocalPath, TFolderSource&, const TFileAttri& A, int32_t,
                    bool Log) override {
        // The local file is read as the remote back-ends read it (beneath its side's root).
        struct stat st {};
        const TFd fd(OpenForReading(LocalPath, st));
        std::string content(static_cast<size_t>(fd.Get() < 0 ? 0 : st.st_size), '\0');
        if (fd.Get() < 0 || ReadFull(fd.Get(), content.data(), content.size()) != std::ssize(content))
            return 1;
        if (Log) ReportStatus("Copy:" + FullPath(A.Path + A.Name));
        if (static_cast<int64_t>(content.size()) != A.Size) return RESULT_SOURCE_CHANGED;
        return StoreFile(RelPath(A), content, A.FileDate);
    }
    // Renames a file; an existing target makes it fail (ReplaceFile replaces).
    int32_t RenameFile(const std::string& OldName, const std::string& NewName) override {
        return Move(OldName, NewName, false);
    }
    bool ReplacesByRename() const override { return CanReplace; }
    bool WritesAtomically() const override { return Atomic; }
    int32_t ReplaceFile(const std::string& OldName, const std::string& NewName) override {
        return CanReplace ? Move(OldName, NewName, true) : 1;
    }
    int32_t GetFile(const std::string& LocalPath, TFolderSource&, const TFileAttri& A, int32_t,
                    bool Log) override {
        const std::string path = RelPath(A);
        if (path.empty() || Store->FailPaths.count(path) || !Store->Has(path)) return 1;
        if (Log) ReportStatus("Copy:" + FullPath(path));
        const TMemEntry e = Store->Get(path);
        if (e.Folder) return 1;
        if (static_cast<int64_t>(e.Content.size()) != A.Size || e.Date != A.FileDate)
            return RESULT_SOURCE_CHANGED;
        // Written as the remote back-ends write a download: a temporary file beside it, then renamed.
        const size_t slash = LocalPath.rfind('/');
        TTempFile temp(slash == std::string::npos ? std::string("./") : LocalPath.substr(0, slash + 1),
                       ".~bfs.g.");
        return temp.Created() && WriteAll(temp.Fd(), e.Content) == 0 && temp.CommitAs(LocalPath) ? 0 : 1;
    }
    int32_t CheckFolder() override { return Store->RootExists ? 0 : 1; }
    int32_t GetEntryState(TFolderSource&, const TFileAttri& A, TEntryState& State) override {
        State = TEntryState{};
        const std::string path = RelPath(A);
        std::lock_guard lock(Store->Mutex);
        if (path.empty() || !Store->RootExists || Store->FailPaths.count(path)) return 1;
        auto it = Store->Entries.find(path);
        if (it == Store->Entries.end()) return 0;
        State.Exists = true;
        State.IsFolder = it->second.Folder;
        State.Size = it->second.Folder ? 0 : static_cast<int64_t>(it->second.Content.size());
        State.FileDate = it->second.Date;
        return 0;
    }

  private:
    // The store key of an entry; empty when its name or path could climb out of the root.
    static std::string RelPath(const TFileAttri& A) {
        const std::string& path = A.Path.str();
        if (!IsSafeName(A.Name) || path.empty() || path.front() != '/' || path.back() != '/') return {};
        if (path != "/" && !IsSafeRelPath(path)) return {};
        return path + A.Name;
    }
    static std::string BackupRel() { return std::string("/") + MARKER_FOLDER + "/" + BACKUP_FOLDER; }
    std::string FullPath(const std::string& Rel) const { return FFolderSource->FolerAllName + Rel; }
    std::string FromFull(const std::string& Full) const {
        const std::string& root = FFolderSource->FolerAllName;
        if (!Full.starts_with(root)) return {};
        std::string rel = Full.substr(root.size());
        return IsSafeRelPath(rel) && rel.front() == '/' && rel.back() != '/' ? rel : std::string();
    }
    int32_t Move(const std::string& OldName, const std::string& NewName, bool Replace) {
        const std::string from = FromFull(OldName), to = FromFull(NewName);
        std::lock_guard lock(Store->Mutex);
        auto it = Store->Entries.find(from);
        if (from.empty() || to.empty() || Store->FailPaths.count(from) || Store->FailPaths.count(to) ||
            it == Store->Entries.end() || it->second.Folder)
            return 1;
        auto target = Store->Entries.find(to);
        if (target != Store->Entries.end() && (!Replace || target->second.Folder)) return 1;
        TMemEntry e = it->second;
        Store->Entries.erase(it);
        Store->AddParents(to);
        Store->Entries[to] = std::move(e);
        return 0;
    }
    int32_t StoreFile(const std::string& Path, const std::string& Content, int32_t Date) {
        if (Path.empty()) return 1;
        std::lock_guard lock(Store->Mutex);
        if (Store->FailPaths.count(Path)) return 1;
        auto it = Store->Entries.find(Path);
        if (it != Store->Entries.end() && it->second.Folder) return 1;
        Store->AddParents(Path);
        TMemEntry& e = Store->Entries[Path];
        e.Content = Content;
        e.Date = Date;
        return 0;
    }
};

}  // namespace bfs::test
