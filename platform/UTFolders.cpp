#include "platform/UTFolders.h"

#include "platform/UTAtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace bfs {

namespace {

// $VAR when it is an absolute path (the base-directory rules ignore relative ones), else
// HOME + Fallback.
std::string XdgBase(const char* var, const char* fallback) {
    if (const char* v = std::getenv(var); v && v[0] == '/') return v;
    std::string home = GetHomeFolder();
    if (home.empty()) return {};
    return home + fallback;
}

std::string Ensure(std::string folder, unsigned mode) {
    if (folder.empty()) return {};
    if (MakeFolders(folder, mode) != 0) return {};
    if (folder.back() != '/') folder += '/';
    return folder;
}

// A folder only its owner may enter. It may predate us with looser rights, so the mode is set again.
std::string EnsurePrivate(const std::string& folder) {
    std::string result = Ensure(folder, 0700);
    if (!result.empty()) ::chmod(result.c_str(), 0700);
    return result;
}

// A private folder below the program's cache folder.
std::string PrivateCacheFolder(const char* name) {
    std::string base = XdgBase("XDG_CACHE_HOME", "/.cache");
    if (base.empty()) return {};
    std::string parent = Ensure(base + "/bramlow-file-sync", 0755);
    return parent.empty() ? std::string() : EnsurePrivate(parent + name);
}

std::string ErrnoText(int Err) {
    return std::generic_category().message(Err);
}

// "" when Folder (made with mode 0700 when missing) may hold private files, else what is wrong with
// it, as a clause naming it.
std::string CheckPrivateFolder(const std::string& Folder) {
    const std::string named = "the folder " + Folder + " ";
    struct stat st {};
    bool made = false;
    int err = ::lstat(Folder.c_str(), &st) == 0 ? 0 : errno;
    if (err == ENOENT) {
        err = ::mkdir(Folder.c_str(), 0700) == 0 ? 0 : errno;
        made = err == 0;
        if (err != 0 && err != EEXIST) return named + "could not be created (" + ErrnoText(err) + ")";
        err = ::lstat(Folder.c_str(), &st) == 0 ? 0 : errno;
    }
    if (err != 0) return named + "cannot be examined (" + ErrnoText(err) + ")";
    if (S_ISLNK(st.st_mode)) return named + "is a symbolic link";
    if (!S_ISDIR(st.st_mode)) return named + "is not a folder";
    if (st.st_uid != ::geteuid())
        return named + "belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    if ((st.st_mode & 07777) == 0700) return {};
    // One made just now may have lost rights to the process's umask; it is ours to set.
    if (made && ::chmod(Folder.c_str(), 0700) == 0) return {};
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return named + "has mode " + mode + ", not 0700";
}

}  // namespace

std::string GetHomeFolder() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    // getpwuid_r rather than getpwuid: worker threads look the folders up too.
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return {};
}

std::string GetConfigHome() {
    return XdgBase("XDG_CONFIG_HOME", "/.config");
}

std::string GetProgramFolder() {
    std::string base = GetConfigHome();
    return base.empty() ? std::string() : Ensure(base + "/bramlow-file-sync", 0700);
}

int SecureProgramFolder() {
    const std::string folder = GetProgramFolder();
    if (folder.empty()) return ENOENT;
    int err = ::chmod(folder.c_str(), 0700) == 0 ? 0 : errno;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return errno;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() < 3 || name.compare(name.size() - 3, 3, ".fs") != 0) continue;
        struct stat st {};
        const std::string path = folder + name;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) == 0) continue;
        if (::chmod(path.c_str(), st.st_mode & 0700) != 0 && err == 0) err = errno;
    }
    ::closedir(dir);
    return err;
}

std::vector<std::string> OwnFolderPaths() {
    std::vector<std::string> folders;
    for (const auto& [var, fallback] : {std::pair{"XDG_CONFIG_HOME", "/.config"},
                                        {"XDG_DATA_HOME", "/.local/share"},
                                        {"XDG_CACHE_HOME", "/.cache"}})
        if (std::string base = XdgBase(var, fallback); !base.empty())
            folders.push_back(base + "/bramlow-file-sync");
    return folders;
}

std::string GetDataFolder() {
    std::string base = XdgBase("XDG_DATA_HOME", "/.local/share");
    return base.empty() ? std::string() : Ensure(base + "/bramlow-file-sync", 0755);
}

std::string GetStagingFolderPath() {
    return PrivateCacheFolder("staging");
}

std::string MakeStagingFile() {
    const std::string folder = GetStagingFolderPath();
    if (folder.empty()) return {};
    std::string path = folder + "bfs-XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) return {};
    ::close(fd);
    return path;
}

// Lock files and the instance socket are private: another user who could create, hold or answer
// them could keep a task from running or a start from opening its window. So the folder is used
// only as it is checked to be, never fixed up and never followed through a link.
TRuntimeFolder CheckRuntimeFolder() {
    TRuntimeFolder result;
    if (const char* v = std::getenv("XDG_RUNTIME_DIR"); v && v[0] == '/') {
        result.Path = std::string(v) + "/bramlow-file-sync";
    } else {
        const std::string base = XdgBase("XDG_CACHE_HOME", "/.cache");
        if (base.empty()) {
            result.Problem =
                "there is no runtime folder: XDG_RUNTIME_DIR is not set and the home folder is unknown";
            return result;
        }
        const std::string parent = base + "/bramlow-file-sync";
        if (const int err = MakeFolders(parent, 0755); err != 0) {
            result.Problem = "the folder " + parent + " could not be created (" + ErrnoText(err) + ")";
            return result;
        }
        result.Path = parent + "/run";
    }
    result.Problem = CheckPrivateFolder(result.Path);
    result.Path += '/';
    return result;
}

std::string GetRuntimeFolder() {
    TRuntimeFolder folder = CheckRuntimeFolder();
    return folder.Problem.empty() ? std::move(folder.Path) : std::string();
}

}  // namespace bfs
