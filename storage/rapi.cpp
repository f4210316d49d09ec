#include "storage/rapi.h"

#include "model/UTIniFile.h"
#include "model/UTPublicFunc.h"
#include "model/UTSysConfig.h"
#include "platform/UTFolders.h"

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

namespace bfs {

namespace {

// Every entry point the library publishes, in the order they are looked up. Only the ones with a
// wrapper are ever called; the others are looked up so that a library can be told complete.
constexpr std::array<const char*, 63> ENTRY_NAMES = {"CeRapiInit",
                                                     "CeRapiUnInit",
                                                     "CeFindAllFiles",
                                                     "RapiFreeBuffer",
                                                     "CeRapiInitEx",
                                                     "CeCreateDatabase",
                                                     "CeDeleteDatabase",
                                                     "CeDeleteRecord",
                                                     "CeFindFirstDatabase",
                                                     "CeFindNextDatabase",
                                                     "CeOidGetInfo",
                                                     "CeOpenDatabase",
                                                     "CeReadRecordProps",
                                                     "CeSeekDatabase",
                                                     "CeSetDatabaseInfo",
                                                     "CeWriteRecordProps",
                                                     "CeFindFirstFile",
                                                     "CeFindNextFile",
                                                     "CeFindClose",
                                                     "CeGetFileAttributes",
                                                     "CeSetFileAttributes",
                                                     "CeCreateFile",
                                                     "CeReadFile",
                                                     "CeWriteFile",
                                                     "CeCloseHandle",
                                                     "CeFindAllDatabases",
                                                     "CeGetLastError",
                                                     "GetRapiError",
                                                     "CeSetFilePointer",
                                                     "CeSetEndOfFile",
                                                     "CeCreateDirectory",
                                                     "CeRemoveDirectory",
                                                     "CeCreateProcess",
                                                     "CeMoveFile",
                                                     "CeCopyFile",
                                                     "CeDeleteFile",
                                                     "CeGetFileSize",
                                                     "CeRegOpenKeyEx",
                                                     "CeRegEnumKeyEx",
                                                     "CeRegCreateKeyEx",
                                                     "CeRegCloseKey",
                                                     "CeRegDeleteKey",
                                                     "CeRegEnumValue",
                                                     "CeRegDeleteValue",
                                                     "CeRegQueryInfoKey",
                                                     "CeRegQueryValueEx",
                                                     "CeRegSetValueEx",
                                                     "CeGetStoreInformation",
                                                     "CeGetSystemMetrics",
                                                     "CeGetDesktopDeviceCaps",
                                                     "CeGetSystemInfo",
                                                     "CeSHCreateShortcut",
                                                     "CeSHGetShortcutTarget",
                                                     "CeCheckPassword",
                                                     "CeGetFileTime",
                                                     "CeSetFileTime",
                                                     "CeGetVersionEx",
                                                     "CeGetWindow",
                                                     "CeGetWindowLong",
                                                     "CeGetWindowText",
                                                     "CeGetClassName",
                                                     "CeGlobalMemoryStatus",
                                                     "CeGetSystemPowerStatusEx"};

// The index of Name in ENTRY_NAMES, at compile time.
consteval size_t EntryIndex(std::string_view Name) {
    for (size_t i = 0; i < ENTRY_NAMES.size(); ++i)
        if (Name == ENTRY_NAMES[i]) return i;
    throw "not an entry point";
}

// The loaded library: its handle and the looked-up entry points, all set once under m_Lock and
// read without it after m_Loaded is seen true.
class TRapiLibrary {
  public:
    bool Load() {
        if (m_Loaded.load(std::memory_order_acquire)) return true;
        std::lock_guard lock(m_Lock);  // threads that call first wait for one load
        if (m_Loaded.load(std::memory_order_relaxed)) return true;
        void* handle = nullptr;
        for (const std::string& file : Candidates()) {
            m_Tried = file;
            handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle) break;
        }
        if (!handle) return false;
        // Kept for the whole run: the library's connection and threads outlive any caller.
        for (size_t i = 0; i < ENTRY_NAMES.size(); ++i) m_Entries[i] = ::dlsym(handle, ENTRY_NAMES[i]);
        m_Loaded.store(true, std::memory_order_release);
        return true;
    }

    std::string Tried() {
        std::lock_guard lock(m_Lock);
        return m_Tried;
    }

    // The entry point at Index of ENTRY_NAMES, typed as the header declares it; null when missing (or
    // no library).
    template <typename TEntry>
    TEntry Entry(size_t Index) {
        if (!Load()) return nullptr;
        return reinterpret_cast<TEntry>(m_Entries[Index]);
    }

  private:
    // The files to try, in order. A file named by the environment or the settings is the only one.
    static std::vector<std::string> Candidates() {
        if (const char* named = std::getenv(DEVICE_LIBRARY_ENV); named && *named) return {named};
        const std::string folder = GetProgramFolder();
        if (!folder.empty()) {
            const TIniFile settings(folder + std::string(SETTINGS_FILE_NAME));
            const std::string named = Trim(settings.ReadString(DEVICE_SECTION, "Library", ""));
            if (!named.empty()) return {named};
        }
        std::vector<std::string> files;
        char exe[4096];
        const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0) {
            std::string path(exe, static_cast<size_t>(n));
            path.erase(path.rfind('/') + 1);
            files.push_back(path + DEVICE_LIBRARY_NAME);
        }
        files.emplace_back(DEVICE_LIBRARY_NAME);  // no "/": the system's search order
        return files;
    }

    std::mutex m_Lock;  // guards the first load and m_Tried
    std::atomic<bool> m_Loaded{false};
    std::string m_Tried;
    std::array<void*, ENTRY_NAMES.size()> m_Entries{};
};

TRapiLibrary& Library() {
    static TRapiLibrary library;
    return library;
}

// Calls the entry point Name with Args, or gives Fallback when it is missing.
#define BFS_RAPI_CALL(Name, Fallback, ...)                            \
    do {                                                              \
        constexpr size_t index = EntryIndex(#Name);                   \
        const auto entry = Library().Entry<decltype(&::Name)>(index); \
        return entry ? entry(__VA_ARGS__) : Fallback;                 \
    } while (false)

constexpr int32_t STATUS_FALLBACK = 0xFFFF;

// A path as the library takes it; false when the text is not UTF-8.
bool Wide(std::string_view Path, std::u16string& Out) {
    return Utf8ToUtf16(Path, Out);
}

}  // namespace

std::string ConfiguredDeviceName() {
    if (const char* named = std::getenv(DEVICE_NAME_ENV)) return Trim(named);
    const std::string folder = GetProgramFolder();
    if (folder.empty()) return {};
    return Trim(TIniFile(folder + std::string(SETTINGS_FILE_NAME)).ReadString(DEVICE_SECTION, "Name", ""));
}

bool LoadRapi() {
    return Library().Load();
}

std::string RapiLibraryTried() {
    return Library().Tried();
}

int32_t CeRapiInit() {
    BFS_RAPI_CALL(CeRapiInit, STATUS_FALLBACK);
}
int32_t CeRapiUnInit() {
    BFS_RAPI_CALL(CeRapiUnInit, STATUS_FALLBACK);
}
int32_t CeRapiInitEx(RAPIINIT* Init) {
    BFS_RAPI_CALL(CeRapiInitEx, STATUS_FALLBACK, Init);
}
TDeviceHandle CeFindFirstFile(const char16_t* FileName, CE_FIND_DATA* FindData) {
    BFS_RAPI_CALL(CeFindFirstFile, INVALID_DEVICE_HANDLE, FileName, FindData);
}
int32_t CeFindNextFile(TDeviceHandle Find, CE_FIND_DATA* FindData) {
    BFS_RAPI_CALL(CeFindNextFile, 0, Find, FindData);
}
int32_t CeFindClose(TDeviceHandle Find) {
    BFS_RAPI_CALL(CeFindClose, 0, Find);
}
TDeviceHandle CeCreateFile(const char16_t* FileName, uint32_t DesiredAccess, uint32_t ShareMode,
                           void* SecurityAttributes, uint32_t CreationDisposition,
                           uint32_t FlagsAndAttributes, TDeviceHandle TemplateFile) {
    BFS_RAPI_CALL(CeCreateFile, INVALID_DEVICE_HANDLE, FileName, DesiredAccess, ShareMode, SecurityAttributes,
                  CreationDisposition, FlagsAndAttributes, TemplateFile);
}
int32_t CeReadFile(TDeviceHandle File, void* Buffer, uint32_t BytesToRead, uint32_t* BytesRead,
                   void* Overlapped) {
    BFS_RAPI_CALL(CeReadFile, 0, File, Buffer, BytesToRead, BytesRead, Overlapped);
}
int32_t CeWriteFile(TDeviceHandle File, const void* Buffer, uint32_t BytesToWrite, uint32_t* BytesWritten,
                    void* Overlapped) {
    BFS_RAPI_CALL(CeWriteFile, 0, File, Buffer, BytesToWrite, BytesWritten, Overlapped);
}
int32_t CeCloseHandle(TDeviceHandle Object) {
    BFS_RAPI_CALL(CeCloseHandle, 0, Object);
}
uint32_t CeGetLastError() {
    BFS_RAPI_CALL(CeGetLastError, 0xFFFFu);
}
int32_t CeCreateDirectory(const char16_t* PathName, void* SecurityAttributes) {
    BFS_RAPI_CALL(CeCreateDirectory, 0, PathName, SecurityAttributes);
}
int32_t CeRemoveDirectory(const char16_t* PathName) {
    BFS_RAPI_CALL(CeRemoveDirectory, 0, PathName);
}
int32_t CeMoveFile(const char16_t* ExistingFileName, const char16_t* NewFileName) {
    BFS_RAPI_CALL(CeMoveFile, 0, ExistingFileName, NewFileName);
}
int32_t CeCopyFile(const char16_t* ExistingFileName, const char16_t* NewFileName, int32_t FailIfExists) {
    BFS_RAPI_CALL(CeCopyFile, 0, ExistingFileName, NewFileName, FailIfExists);
}
int32_t CeDeleteFile(const char16_t* FileName) {
    BFS_RAPI_CALL(CeDeleteFile, 0, FileName);
}
uint32_t CeGetFileSize(TDeviceHandle File, uint32_t* FileSizeHigh) {
    BFS_RAPI_CALL(CeGetFileSize, 0xFFFFFFFFu, File, FileSizeHigh);
}
int32_t CeGetStoreInformation(STORE_INFORMATION* StoreInfo) {
    BFS_RAPI_CALL(CeGetStoreInformation, 0, StoreInfo);
}

uint32_t RapiLastError() {
    const uint32_t error = CeGetLastError();
    return error != 0 ? error : DEVICE_ERROR_ACCESS_DENIED;
}

bool RapiCreateDir(std::string_view Path) {
    std::u16string path;
    if (!Wide(Path, path)) return false;
    // The library takes a security-attributes block (its length first) and reads nothing else of it.
    struct {
        uint32_t Length = 4;
        uint32_t Descriptor = 0;
        uint32_t Inherit = 0;
    } security;
    return CeCreateDirectory(path.c_str(), &security) != 0;
}

bool RapiDeleteFile(std::string_view Path) {
    std::u16string path;
    return Wide(Path, path) && CeDeleteFile(path.c_str()) != 0;
}

uint32_t RapiRemoveDir(std::string_view Path) {
    std::u16string path;
    if (!Wide(Path, path)) return DEVICE_ERROR_PATH_NOT_FOUND;
    return CeRemoveDirectory(path.c_str()) != 0 ? 0 : RapiLastError();
}

int64_t RapiGetFileSize(std::string_view Path) {
    std::u16string path;
    if (!Wide(Path, path)) return -1;
    const TDeviceHandle file = CeCreateFile(path.c_str(), DEVICE_GENERIC_READ, 0, nullptr,
                                            DEVICE_OPEN_EXISTING, DEVICE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_DEVICE_HANDLE || file == 0) return -1;
    // A high part that stays all ones (no file is that large) tells a library that lacks the call.
    uint32_t high = 0xFFFFFFFFu;
    const uint32_t low = CeGetFileSize(file, &high);
    // All ones in the low part is a failure when the library says so (else a size that ends so).
    const bool failed = low == 0xFFFFFFFFu && (high == 0xFFFFFFFFu || CeGetLastError() != 0);
    CeCloseHandle(file);
    return failed ? -1 : static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
}

bool RapiCopyFile(std::string_view Src, std::string_view Dst) {
    std::u16string src, dst;
    return Wide(Src, src) && Wide(Dst, dst) && CeCopyFile(src.c_str(), dst.c_str(), 1) != 0;
}

bool RapiMoveFile(std::string_view Src, std::string_view Dst) {
    std::u16string src, dst;
    return Wide(Src, src) && Wide(Dst, dst) && CeMoveFile(src.c_str(), dst.c_str()) != 0;
}

}  // namespace bfs
