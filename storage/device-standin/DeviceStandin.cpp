// The stand-in device library: serves the entry points of RapiEntryPoints.h over a local folder, so
// that a device side can be synced where no such device attaches. The device's top folder "\" is
// the folder; "\My Documents\x" is <folder>/My Documents/x.
//
// The device is attached while its name is set and its folder exists. Both are read at every
// CeRapiInit and CeRapiInitEx: from the environment (BFS_DEVICE_NAME, BFS_DEVICE_FOLDER) when set,
// else from section [Device] (Name, Folder) of the program's settings file. The folder may be any
// folder, the desktop's mount of a phone included.
//
// The library stands apart from the program: it links nothing of it. One lock guards the whole
// state, since every thread of a program shares the one connection; the last error is per thread.

#include "storage/RapiEntryPoints.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace {

using bfs::Utf16ToUtf8;
using bfs::Utf8ToUtf16;

constexpr const char* SETTINGS_FILE = "/bramlow-file-sync/Tessmarin.ini";

thread_local uint32_t t_LastError = 0;

// The library's error value of an errno.
uint32_t ErrorOf(int Err) {
    switch (Err) {
        case ENOENT:
            return DEVICE_ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case ENAMETOOLONG:
            return DEVICE_ERROR_PATH_NOT_FOUND;
        case EEXIST:
            return DEVICE_ERROR_FILE_EXISTS;
        case ENOTEMPTY:
            return DEVICE_ERROR_DIR_NOT_EMPTY;
        default:
            return DEVICE_ERROR_ACCESS_DENIED;
    }
}

// Each failing call sets the error and returns its failure value through these.
int32_t Fail(uint32_t Error) {
    t_LastError = Error;
    return 0;
}
int32_t FailErrno(int Err) {
    return Fail(ErrorOf(Err));
}
TDeviceHandle FailHandle(uint32_t Error) {
    t_LastError = Error;
    return INVALID_DEVICE_HANDLE;
}
int32_t Succeed() {
    t_LastError = 0;
    return 1;
}

// The trimmed value of Key in [Section] of an ini file, by the settings file's reading rules:
// names compare case-insensitively, the first occurrence wins, one pair of quotes is stripped.
std::string ReadSetting(const std::string& File, std::string_view Section, std::string_view Key) {
    const auto trim = [](std::string_view s) {
        while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
        while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
        return s;
    };
    const auto same = [](std::string_view a, std::string_view b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) ==
                          std::tolower(static_cast<unsigned char>(y));
               });
    };
    std::ifstream in(File, std::ios::binary);
    bool inSection = false;
    for (std::string line; std::getline(in, line);) {
        const std::string_view l = trim(line);
        if (l.empty() || l.front() == ';' || l.front() == '#') continue;
        if (l.front() == '[') {
            const size_t end = l.find(']');
            inSection = end != std::string_view::npos && same(trim(l.substr(1, end - 1)), Section);
            continue;
        }
        const size_t eq = l.find('=');
        if (!inSection || eq == std::string_view::npos || !same(trim(l.substr(0, eq)), Key)) continue;
        std::string_view value = trim(l.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return std::string(value);
    }
    return {};
}

// The device as configured now: its folder when it is attached, else empty.
std::string AttachedFolder() {
    std::string name, folder;
    const char* envName = std::getenv("BFS_DEVICE_NAME");
    const char* envFolder = std::getenv("BFS_DEVICE_FOLDER");
    if (envName || envFolder) {
        name = envName ? envName : "";
        folder = envFolder ? envFolder : "";
    } else {
        std::string base;
        if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/')
            base = xdg;
        else if (const char* home = std::getenv("HOME"); home && *home)
            base = std::string(home) + "/.config";
        if (base.empty()) return {};
        name = ReadSetting(base + SETTINGS_FILE, "Device", "Name");
        folder = ReadSetting(base + SETTINGS_FILE, "Device", "Folder");
    }
    struct stat st {};
    if (name.empty() || folder.empty() || folder.front() != '/' || ::stat(folder.c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode))
        return {};
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

// A search: its entries, collected when it began.
struct TSearch {
    std::vector<CE_FIND_DATA> Entries;
    size_t Next = 0;
};

struct TOpenFile {
    int Fd = -1;
};

// The library's whole state, under g_Lock.
std::mutex g_Lock;
int g_Connections = 0;  // CeRapiInit / CeRapiInitEx calls not yet matched by CeRapiUnInit
std::string g_Folder;   // the device's folder, as the last connection call found it
int g_InitEvent = -1;   // CeRapiInitEx's descriptor, made once
std::vector<std::variant<std::monostate, TSearch, TOpenFile>> g_Handles(1);  // index = handle; 0 unused

TDeviceHandle NewHandle(std::variant<std::monostate, TSearch, TOpenFile> Object) {
    for (size_t i = 1; i < g_Handles.size(); ++i)
        if (std::holds_alternative<std::monostate>(g_Handles[i])) {
            g_Handles[i] = std::move(Object);
            return static_cast<TDeviceHandle>(i);
        }
    g_Handles.push_back(std::move(Object));
    return static_cast<TDeviceHandle>(g_Handles.size() - 1);
}

template <typename T>
T* HandleOf(TDeviceHandle Handle) {
    if (Handle <= 0 || static_cast<size_t>(Handle) >= g_Handles.size()) return nullptr;
    return std::get_if<T>(&g_Handles[static_cast<size_t>(Handle)]);
}

// The local path of a device path ("\" or "/" separated, from the top folder, one separator allowed
// at the end); nullopt for a path that is no device path: not UTF-16, not from the top, holding an
// empty part, "." or "..". Name receives the last part (empty for the top folder).
std::optional<std::string> LocalPath(const char16_t* DevicePath, std::string& Name) {
    if (g_Folder.empty() || !DevicePath) return std::nullopt;
    std::string text;
    if (!Utf16ToUtf8(DevicePath, 32768, text) || text.empty() ||
        (text.front() != '\\' && text.front() != '/'))
        return std::nullopt;
    std::string path = g_Folder;
    Name.clear();
    for (size_t start = 1; start < text.size();) {
        size_t end = text.find_first_of("\\/", start);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return std::nullopt;
        path += "/" + part;
        Name = part;
        start = end + 1;
    }
    return path;
}

// Local wall-clock time of an instant as a file time (no zone: the device keeps wall-clock times).
TDeviceFileTime WallClock(const timespec& Time) {
    tm local{};
    const time_t seconds = Time.tv_sec;
    ::localtime_r(&seconds, &local);
    const int64_t wall = static_cast<int64_t>(::timegm(&local));
    const uint64_t ticks =
        static_cast<uint64_t>(wall + 11644473600LL) * 10000000ULL + static_cast<uint64_t>(Time.tv_nsec / 100);
    return {static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
}

// The find record of a local entry; false for what the device does not show (links, devices,
// names that UTF-16 or the record cannot hold).
bool Describe(const std::string& Name, const struct stat& St, CE_FIND_DATA& Data) {
    if (!S_ISREG(St.st_mode) && !S_ISDIR(St.st_mode)) return false;
    if (Name.find_first_of("\\*?") != std::string::npos) return false;  // no device name holds these
    std::u16string wide;
    if (!Utf8ToUtf16(Name, wide) || wide.size() >= DEVICE_MAX_PATH) return false;
    Data = CE_FIND_DATA{};
    Data.FileAttributes = S_ISDIR(St.st_mode) ? 16u : 32u;
    if ((St.st_mode & S_IWUSR) == 0) Data.FileAttributes |= 1u;
    if (Name[0] == '.') Data.FileAttributes |= 2u;
    Data.CreationTime = WallClock(St.st_ctim);
    Data.LastAccessTime = WallClock(St.st_atim);
    Data.LastWriteTime = WallClock(St.st_mtim);
    const uint64_t size = S_ISREG(St.st_mode) ? static_cast<uint64_t>(St.st_size) : 0;
    Data.FileSizeHigh = static_cast<uint32_t>(size >> 32);
    Data.FileSizeLow = static_cast<uint32_t>(size);
    Data.ObjectId = static_cast<uint32_t>(St.st_ino);
    std::copy(wide.begin(), wide.end(), Data.FileName);
    return true;
}

bool IsPattern(const std::string& Name) {
    return Name.find_first_of("*?") != std::string::npos;
}

bool Matches(const std::string& Pattern, const std::string& Name) {
    return Pattern == "*" || Pattern == "*.*" || ::fnmatch(Pattern.c_str(), Name.c_str(), FNM_PERIOD) == 0;
}

// Writes all of Size bytes; false on a failure (errno set).
bool WriteAll(int Fd, const char* Data, size_t Size) {
    while (Size > 0) {
        const ssize_t n = ::write(Fd, Data, Size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        Data += n;
        Size -= static_cast<size_t>(n);
    }
    return true;
}

// Moves without replacing: the new name must not exist.
int MoveNoReplace(const std::string& From, const std::string& To) {
    if (::renameat2(AT_FDCWD, From.c_str(), AT_FDCWD, To.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
    // A file system without no-replace renames (the desktop's phone mounts): look, then rename.
    struct stat st {};
    if (::lstat(To.c_str(), &st) == 0) return EEXIST;
    if (errno != ENOENT) return errno;
    return ::rename(From.c_str(), To.c_str()) == 0 ? 0 : errno;
}

}  // namespace

extern "C" {

int32_t CeRapiInit(void) {
    std::lock_guard lock(g_Lock);
    g_Folder = AttachedFolder();
    if (g_Folder.empty()) {
        t_LastError = DEVICE_ERROR_PATH_NOT_FOUND;
        return 1;
    }
    ++g_Connections;
    return 0;
}

int32_t CeRapiUnInit(void) {
    std::lock_guard lock(g_Lock);
    if (g_Connections == 0) return 1;
    --g_Connections;
    return 0;
}

// The request is taken whether or not a device is attached; only an attached one signals.
int32_t CeRapiInitEx(RAPIINIT* Init) {
    if (!Init || Init->Size != sizeof(RAPIINIT)) return 1;
    std::lock_guard lock(g_Lock);
    if (g_InitEvent < 0) g_InitEvent = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (g_InitEvent < 0) return 1;
    uint64_t drained = 0;
    while (::read(g_InitEvent, &drained, sizeof drained) > 0) {
    }
    Init->InitEvent = g_InitEvent;
    Init->InitResult = 1;
    g_Folder = AttachedFolder();
    if (!g_Folder.empty()) {
        ++g_Connections;
        Init->InitResult = 0;
        const uint64_t one = 1;
        if (::write(g_InitEvent, &one, sizeof one) != sizeof one) Init->InitResult = 1;
    }
    return 0;
}

TDeviceHandle CeFindFirstFile(const char16_t* FileName, CE_FIND_DATA* FindData) {
    std::lock_guard lock(g_Lock);
    std::string last;
    const std::optional<std::string> path = LocalPath(FileName, last);
    if (!path || !FindData) return FailHandle(DEVICE_ERROR_PATH_NOT_FOUND);
    TSearch search;
    if (IsPattern(last)) {
        const std::string folder = path->substr(0, path->size() - last.size() - 1);
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) return FailHandle(errno == ENOENT ? DEVICE_ERROR_PATH_NOT_FOUND : ErrorOf(errno));
        int failure = 0;
        for (;;) {
            errno = 0;
            const dirent* e = ::readdir(dir);
            if (!e) {
                failure = errno;
                break;
            }
            const std::string name = e->d_name;
            if (name == "." || name == ".." || !Matches(last, name)) continue;
            struct stat st {};
            CE_FIND_DATA found{};
            if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT) failure = errno;
                continue;
            }
            if (Describe(name, st, found)) search.Entries.push_back(found);
        }
        ::closedir(dir);
        if (failure != 0) return FailHandle(ErrorOf(failure));
        if (search.Entries.empty()) return FailHandle(DEVICE_ERROR_NO_MORE_FILES);
    } else {
        struct stat st {};
        CE_FIND_DATA found{};
        if (last.empty()) return FailHandle(DEVICE_ERROR_FILE_NOT_FOUND);  // the top folder is no entry
        if (::lstat(path->c_str(), &st) != 0) return FailHandle(ErrorOf(errno));
        if (!Describe(last, st, found)) return FailHandle(DEVICE_ERROR_FILE_NOT_FOUND);
        search.Entries.push_back(found);
    }
    *FindData = search.Entries.front();
    search.Next = 1;
    t_LastError = 0;
    return NewHandle(std::move(search));
}

int32_t CeFindNextFile(TDeviceHandle Find, CE_FIND_DATA* FindData) {
    std::lock_guard lock(g_Lock);
    TSearch* search = HandleOf<TSearch>(Find);
    if (!search || !FindData) return Fail(DEVICE_ERROR_ACCESS_DENIED);
    if (search->Next >= search->Entries.size()) return Fail(DEVICE_ERROR_NO_MORE_FILES);
    *FindData = search->Entries[search->Next++];
    return Succeed();
}

int32_t CeFindClose(TDeviceHandle Find) {
    std::lock_guard lock(g_Lock);
    if (!HandleOf<TSearch>(Find)) return Fail(DEVICE_ERROR_ACCESS_DENIED);
    g_Handles[static_cast<size_t>(Find)] = std::monostate{};
    return Succeed();
}

TDeviceHandle CeCreateFile(const char16_t* FileName, uint32_t DesiredAccess, uint32_t, void*,
                           uint32_t CreationDisposition, uint32_t, TDeviceHandle) {
    std::lock_guard lock(g_Lock);
    std::string last;
    const std::optional<std::string> path = LocalPath(FileName, last);
    if (!path || last.empty() || IsPattern(last)) return FailHandle(DEVICE_ERROR_PATH_NOT_FOUND);
    const bool read = DesiredAccess & DEVICE_GENERIC_READ, write = DesiredAccess & DEVICE_GENERIC_WRITE;
    int flags = (read && write) ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    switch (CreationDisposition) {
        case DEVICE_CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        case DEVICE_CREATE_ALWAYS:
            flags |= O_CREAT | O_TRUNC;
            break;
        case DEVICE_OPEN_EXISTING:
            break;
        case 4:  // open always
            flags |= O_CREAT;
            break;
        case 5:  // truncate existing
            flags |= O_TRUNC;
            break;
        default:
            return FailHandle(DEVICE_ERROR_ACCESS_DENIED);
    }
    const int fd = ::open(path->c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) return FailHandle(ErrorOf(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return FailHandle(DEVICE_ERROR_ACCESS_DENIED);
    }
    t_LastError = 0;
    return NewHandle(TOpenFile{fd});
}

int32_t CeReadFile(TDeviceHandle File, void* Buffer, uint32_t BytesToRead, uint32_t* BytesRead, void*) {
    std::lock_guard lock(g_Lock);
    const TOpenFile* file = HandleOf<TOpenFile>(File);
    if (BytesRead) *BytesRead = 0;
    if (!file || !BytesRead || (!Buffer && BytesToRead > 0)) return Fail(DEVICE_ERROR_ACCESS_DENIED);
    uint32_t done = 0;
    while (done < BytesToRead) {
        const ssize_t n = ::read(file->Fd, static_cast<char*>(Buffer) + done, BytesToRead - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FailErrno(errno);
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    *BytesRead = done;
    return Succeed();
}

int32_t CeWriteFile(TDeviceHandle File, const void* Buffer, uint32_t BytesToWrite, uint32_t* BytesWritten,
                    void*) {
    std::lock_guard lock(g_Lock);
    const TOpenFile* file = HandleOf<TOpenFile>(File);
    if (BytesWritten) *BytesWritten = 0;
    if (!file || !BytesWritten || (!Buffer && BytesToWrite > 0)) return Fail(DEVICE_ERROR_ACCESS_DENIED);
    if (!WriteAll(file->Fd, static_cast<const char*>(Buffer), BytesToWrite)) return FailErrno(errno);
    *BytesWritten = BytesToWrite;
    return Succeed();
}

int32_t CeCloseHandle(TDeviceHandle Object) {
    std::lock_guard lock(g_Lock);
    const TOpenFile* file = HandleOf<TOpenFile>(Object);
    if (!file) return Fail(DEVICE_ERROR_ACCESS_DENIED);
    const int rc = ::close(file->Fd);
    g_Handles[static_cast<size_t>(Object)] = std::monostate{};
    return rc == 0 ? Succeed() : FailErrno(errno);
}

uint32_t CeGetLastError(void) {
    return t_LastError;
}

int32_t CeCreateDirectory(const char16_t* PathName, void*) {
    std::lock_guard lock(g_Lock);
    std::string last;
    const std::optional<std::string> path = LocalPath(PathName, last);
    if (!path || last.empty()) return Fail(DEVICE_ERROR_PATH_NOT_FOUND);
    if (::mkdir(path->c_str(), 0777) == 0) return Succeed();
    return Fail(errno == EEXIST ? DEVICE_ERROR_ALREADY_EXISTS : ErrorOf(errno));
}

int32_t CeRemoveDirectory(const char16_t* PathName) {
    std::lock_guard lock(g_Lock);
    std::string last;
    const std::optional<std::string> path = LocalPath(PathName, last);
    if (!path || last.empty()) return Fail(DEVICE_ERROR_PATH_NOT_FOUND);
    return ::rmdir(path->c_str()) == 0 ? Succeed() : FailErrno(errno == EEXIST ? ENOTEMPTY : errno);
}

int32_t CeMoveFile(const char16_t* ExistingFileName, const char16_t* NewFileName) {
    std::lock_guard lock(g_Lock);
    std::string fromName, toName;
    const std::optional<std::string> from = LocalPath(ExistingFileName, fromName),
                                     to = LocalPath(NewFileName, toName);
    if (!from || !to || fromName.empty() || toName.empty()) return Fail(DEVICE_ERROR_PATH_NOT_FOUND);
    const int err = MoveNoReplace(*from, *to);
    if (err == 0) return Succeed();
    return Fail(err == EEXIST ? DEVICE_ERROR_ALREADY_EXISTS : ErrorOf(err));
}

#ifndef BFS_STANDIN_PARTIAL
// Copies the content and the last-write time; a copy that fails on the way leaves no new file.
int32_t CeCopyFile(const char16_t* ExistingFileName, const char16_t* NewFileName, int32_t FailIfExists) {
    std::lock_guard lock(g_Lock);
    std::string fromName, toName;
    const std::optional<std::string> from = LocalPath(ExistingFileName, fromName),
                                     to = LocalPath(NewFileName, toName);
    if (!from || !to || fromName.empty() || toName.empty()) return Fail(DEVICE_ERROR_PATH_NOT_FOUND);
    const int src = ::open(from->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (src < 0) return FailErrno(errno);
    struct stat st {};
    if (::fstat(src, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(src);
        return Fail(DEVICE_ERROR_ACCESS_DENIED);
    }
    const int dst = ::open(
        to->c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (FailIfExists ? O_EXCL : O_TRUNC), 0666);
    if (dst < 0) {
        const int err = errno;
        ::close(src);
        return FailErrno(err);
    }
    char buffer[1 << 16];
    int err = 0;
    for (;;) {
        const ssize_t n = ::read(src, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        if (!WriteAll(dst, buffer, static_cast<size_t>(n))) {
            err = errno;
            break;
        }
    }
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (err == 0 && ::futimens(dst, times) != 0) err = errno;
    if (::close(dst) != 0 && err == 0) err = errno;
    ::close(src);
    if (err == 0) return Succeed();
    ::unlink(to->c_str());
    return FailErrno(err);
}
#endif

int32_t CeDeleteFile(const char16_t* FileName) {
    std::lock_guard lock(g_Lock);
    std::string last;
    const std::optional<std::string> path = LocalPath(FileName, last);
    if (!path || last.empty()) return Fail(DEVICE_ERROR_PATH_NOT_FOUND);
    return ::unlink(path->c_str()) == 0 ? Succeed() : FailErrno(errno);
}

#ifndef BFS_STANDIN_PARTIAL
uint32_t CeGetFileSize(TDeviceHandle File, uint32_t* FileSizeHigh) {
    std::lock_guard lock(g_Lock);
    const TOpenFile* file = HandleOf<TOpenFile>(File);
    struct stat st {};
    if (!file || ::fstat(file->Fd, &st) != 0) {
        t_LastError = DEVICE_ERROR_ACCESS_DENIED;
        return 0xFFFFFFFFu;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    if (FileSizeHigh) *FileSizeHigh = static_cast<uint32_t>(size >> 32);
    t_LastError = 0;
    return static_cast<uint32_t>(size);
}
#endif

// Sizes from the folder's file system, each at most what 32 bits hold.
int32_t CeGetStoreInformation(STORE_INFORMATION* StoreInfo) {
    std::lock_guard lock(g_Lock);
    struct statvfs vfs {};
    if (!StoreInfo || g_Folder.empty()) return Fail(DEVICE_ERROR_PATH_NOT_FOUND);
    if (::statvfs(g_Folder.c_str(), &vfs) != 0) return FailErrno(errno);
    const auto clamp = [](unsigned long long Bytes) {
        return static_cast<uint32_t>(std::min<unsigned long long>(Bytes, 0xFFFFFFFFull));
    };
    StoreInfo->StoreSize = clamp(static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize);
    StoreInfo->FreeSize = clamp(static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize);
    return Succeed();
}

}  // extern "C"
