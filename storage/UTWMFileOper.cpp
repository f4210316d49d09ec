#include "storage/UTWMFileOper.h"

#include "model/UTConsts.h"
#include "model/UTDosTime.h"
#include "model/UTIniFile.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "model/UTRegistry.h"
#include "platform/UTFolders.h"
#include "platform/UTLocalFile.h"
#include "storage/UTStorageCommon.h"
#include "storage/rapi.h"

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace bfs {

namespace {

// Device copies move through one buffer of this size (65,536 + 1 bytes), one status text per chunk.
constexpr uint32_t DEVICE_CHUNK = 65537;
// Local temporary files of copies from the device: reserved names, so that no listing shows them and
// the next listing of a local side removes what a failed copy left.
constexpr std::string_view LOCAL_TEMP_PREFIX = ".~bfs.m.";
static_assert(IsTempFilePrefix(LOCAL_TEMP_PREFIX));

// Where the desktop's device software keeps the devices it was paired with: registry keys, here
// sections of the program folder's registry file (model/UTRegistry.h).
constexpr const char* DEVICE_SERVICES_KEY = "Software\\Microsoft\\Windows CE Services";
constexpr const char* DEVICE_PARTNERS_KEY = "Software\\Microsoft\\Windows CE Services\\Partners";

constexpr const char* NO_LIBRARY = "device library not found";
constexpr const char* NO_DEVICE = "no device attached";
constexpr const char* NO_FOLDER = "folder not found on the device";

std::atomic<int> g_ConnectWaitMs{2000};

bool IsNotFound(uint32_t Error) {
    return Error == DEVICE_ERROR_FILE_NOT_FOUND || Error == DEVICE_ERROR_PATH_NOT_FOUND ||
           Error == DEVICE_ERROR_NO_MORE_FILES;
}

std::string DeviceErrorText(uint32_t Error) {
    return "device error " + std::to_string(Error);
}

// A find record's name in UTF-8; false when it is no UTF-16 text.
bool NameOf(const CE_FIND_DATA& Data, std::string& Name) {
    return Utf16ToUtf8(Data.FileName, DEVICE_MAX_PATH, Name);
}

int64_t SizeOf(const CE_FIND_DATA& Data) {
    return static_cast<int64_t>((static_cast<uint64_t>(Data.FileSizeHigh) << 32) | Data.FileSizeLow);
}

// A file time taken as the device's wall-clock time (no zone converted), as a DOS date-time;
// clamped to the DOS range.
int32_t DeviceTimeToDosDate(const TDeviceFileTime& Time) {
    const uint64_t ticks = (static_cast<uint64_t>(Time.High) << 32) | Time.Low;
    int64_t seconds = static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
    constexpr int64_t FIRST = 315532800;  // 1980-01-01 00:00:00
    constexpr int64_t LAST = 4354819198;  // 2107-12-31 23:59:58
    seconds = std::clamp(seconds, FIRST, LAST);
    const time_t t = static_cast<time_t>(seconds);
    tm f{};
    ::gmtime_r(&t, &f);
    return static_cast<int32_t>(
        (static_cast<uint32_t>(f.tm_year - 80) << 25) | (static_cast<uint32_t>(f.tm_mon + 1) << 21) |
        (static_cast<uint32_t>(f.tm_mday) << 16) | (static_cast<uint32_t>(f.tm_hour) << 11) |
        (static_cast<uint32_t>(f.tm_min) << 5) | static_cast<uint32_t>(f.tm_sec / 2));
}

// The instant a file time names, to its 100 ns: the device keeps wall-clock times, read here in the
// desktop's time zone as the listing's dates are. False when it names none.
bool DeviceTimeToInstant(const TDeviceFileTime& Time, timespec& Instant) {
    const uint64_t ticks = (static_cast<uint64_t>(Time.High) << 32) | Time.Low;
    const time_t wall = static_cast<time_t>(static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL);
    tm f{};
    if (!::gmtime_r(&wall, &f)) return false;
    const int64_t seconds =
        LocalTimeToUnixTime(f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec);
    if (seconds == -1) return false;
    Instant.tv_sec = static_cast<time_t>(seconds);
    Instant.tv_nsec = static_cast<long>(ticks % 10000000ULL) * 100;
    return true;
}

bool SameTime(const TDeviceFileTime& A, const TDeviceFileTime& B) {
    return A.High == B.High && A.Low == B.Low;
}

// A device path component that may be joined: a safe name without the device's separator or the
// library's wildcards (a name holding one would be taken for a search pattern).
bool IsDeviceName(std::string_view Name) {
    return IsSafeName(Name) && Name.find_first_of("\\*?") == std::string_view::npos;
}

// A root-relative "/" path whose components are device names.
bool IsDeviceRelPath(std::string_view Path) {
    return IsSafeRelPath(Path) && Path.find_first_of("\\*?") == std::string_view::npos;
}

// A search or a file of the library, closed when it goes out of scope.
class TDeviceFind {
  public:
    TDeviceFind(const std::string& Pattern, CE_FIND_DATA& Data) {
        std::u16string wide;
        if (Utf8ToUtf16(Pattern, wide)) {
            m_Handle = bfs::CeFindFirstFile(wide.c_str(), &Data);
            if (!Found()) m_Error = RapiLastError();
        }
    }
    TDeviceFind(const TDeviceFind&) = delete;
    TDeviceFind& operator=(const TDeviceFind&) = delete;
    ~TDeviceFind() {
        if (Found()) CeFindClose(m_Handle);
    }
    bool Found() const noexcept { return m_Handle != INVALID_DEVICE_HANDLE && m_Handle != 0; }
    // Why nothing was found (DEVICE_ERROR_NO_MORE_FILES: the search ran and found nothing).
    uint32_t Error() const noexcept { return m_Error; }
    // The next entry; false at the end (Error() DEVICE_ERROR_NO_MORE_FILES) or on a failure.
    bool Next(CE_FIND_DATA& Data) {
        if (bfs::CeFindNextFile(m_Handle, &Data) != 0) return true;
        m_Error = RapiLastError();
        return false;
    }

  private:
    TDeviceHandle m_Handle = INVALID_DEVICE_HANDLE;
    uint32_t m_Error = DEVICE_ERROR_PATH_NOT_FOUND;  // also for a path that is not UTF-8
};

class TDeviceFile {
  public:
    TDeviceFile(const std::string& Path, uint32_t Access, uint32_t Share, uint32_t Disposition) {
        std::u16string wide;
        if (Utf8ToUtf16(Path, wide))
            m_Handle =
                CeCreateFile(wide.c_str(), Access, Share, nullptr, Disposition, DEVICE_ATTRIBUTE_NORMAL, 0);
        if (!Open()) m_Error = RapiLastError();
    }
    TDeviceFile(const TDeviceFile&) = delete;
    TDeviceFile& operator=(const TDeviceFile&) = delete;
    ~TDeviceFile() { Close(); }
    bool Open() const noexcept { return m_Handle != INVALID_DEVICE_HANDLE && m_Handle != 0; }
    TDeviceHandle Get() const noexcept { return m_Handle; }
    uint32_t Error() const noexcept { return m_Error; }
    bool Close() {
        if (!Open()) return true;
        const bool closed = CeCloseHandle(m_Handle) != 0;
        m_Handle = INVALID_DEVICE_HANDLE;
        return closed;
    }

  private:
    TDeviceHandle m_Handle = INVALID_DEVICE_HANDLE;
    uint32_t m_Error = 0;
};

// One connection of the library's, opened for one job and closed after it.
class TDeviceSession {
  public:
    TDeviceSession() : m_Up(CeRapiInit() == 0) {}
    TDeviceSession(const TDeviceSession&) = delete;
    TDeviceSession& operator=(const TDeviceSession&) = delete;
    ~TDeviceSession() {
        if (m_Up) CeRapiUnInit();
    }
    bool Up() const noexcept { return m_Up; }

  private:
    bool m_Up;
};

// What a look-up of one device path found.
enum class TLookUp { Found, Missing, Unknown };

class TWMFileOper : public TFileOper, public IDeviceBrowser {
  public:
    explicit TWMFileOper(bool FreeOnTerminate) : TFileOper(FreeOnTerminate) {}
    // The listing thread calls our overrides until it ends: end it before this part goes.
    ~TWMFileOper() override {
        Stop();
        WaitFor();
    }

    int32_t Connect() override;
    int32_t ListFolder() override;
    int32_t ReadFileToStream(TFolderSource& Source, const TFileAttri& Attri, std::string& Stream,
                             int32_t X) override;
    int32_t WriteStreamToFile(const std::string& Stream, TFolderSource& Source, const TFileAttri& Attri,
                              bool ClearReadOnly) override;
    int32_t MakeDir(const std::string& RelPath) override;
    // Announced whatever the device holds; the listing reports each folder it reads.
    int32_t GetScanSteps() override { return 10; }
    int32_t LoadSavedTree() override { return LoadSavedTreeThroughStream(); }
    int32_t DeleteFile(TFolderSource& Source, const TFileAttri& Attri, bool Log) override;
    int32_t RemoveDir(TFolderSource& Source, const TFileAttri& Attri, bool Log) override;
    std::string GetBackupFolder() override;
    int64_t GetFileSize(const std::string& FullPath) override;
    int32_t BackupFile(TFolderSource& Source, const TFileAttri& Attri) override;
    std::string ExtractDir(const std::string& Path) override {
        const size_t cut = Path.find_last_of("\\:");
        return cut == std::string::npos ? std::string() : Path.substr(0, cut + 1);
    }
    std::string GetFullPath(TFolderSource& Source, const TFileAttri& Attri) override;
    std::string GetFolderPath(TFolderSource&, const TFileAttri&) override { return {}; }
    int32_t PutFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri,
                    int32_t SrcAttr, bool Log) override;
    int32_t RenameFile(const std::string& OldName, const std::string& NewName) override;
    int32_t GetFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri, int32_t X,
                    bool Log) override;
    int32_t CheckFolder() override;
    int32_t GetEntryState(TFolderSource& Source, const TFileAttri& Attri, TEntryState& State) override;

    std::string GetDeviceName(const std::string& Path) override;
    int32_t GetDeviceSubFolders(const std::string& Path, std::vector<std::string>& List) override;

    // The side's device path (DevicePathOf its address).
    std::string GetDeviceRoot() const { return DevicePathOf(FFolderSource->FolerAllName); }
    // Whether a file or folder is at the device path Path.
    bool DeviceFileExists(const std::string& Path) { return LookUp(Path) == TLookUp::Found; }
    // The store's sizes, or the device name when they cannot be read.
    std::string GetDeviceInfo();
    // Copies the device file Dev, found as Listed, to the local file Local through a temporary file
    // beside it, which takes Local's name only when every read succeeded, exactly the listed size
    // came and the device still shows the file as Listed (size and time to the 100 ns): 0 copied, 1
    // a read failed, RESULT_SOURCE_CHANGED the file changed meanwhile. Local is untouched unless 0;
    // then it has a plain copy's mode (0666 less the umask) and the device file's time.
    int32_t CopyFromDevice(const std::string& Local, const std::string& Dev, const CE_FIND_DATA& Listed);
    // Copies the local file Local to the device file Dev (replaced when Overwrite). Expected: the size
    // and date Local was listed with (a date naming no day is not compared). 0 copied; 1 a read,
    // write or open failed; RESULT_SOURCE_CHANGED Local is not, or did not stay, as listed. A device
    // file that did not exist before is removed again after a failure.
    int32_t CopyToDevice(const std::string& Local, const std::string& Dev, bool Overwrite,
                         int64_t ExpectedSize, int32_t ExpectedDate);

  private:
    // The root folder as a device folder ending in "\"; empty when the address names none.
    std::string RootFolder() const {
        std::string root = GetDeviceRoot();
        if (!root.empty() && root.back() != '\\') root += '\\';
        return root;
    }
    // The device folder of a root-relative "/" path, ending in "\".
    std::string DeviceFolder(std::string_view Rel) const {
        std::string folder = RootFolder();
        while (!Rel.empty() && Rel.front() == '/') Rel.remove_prefix(1);
        for (const char c : Rel) folder.push_back(c == '/' ? '\\' : c);
        if (folder.back() != '\\') folder += '\\';
        return folder;
    }
    bool EntryUsable(const TFileAttri& Attri) const {
        return !RootFolder().empty() && IsDeviceName(Attri.Name) && IsDeviceRelPath(Attri.Path.str());
    }
    std::string EntryPath(const TFileAttri& Attri) const {
        return DeviceFolder(Attri.Path.str()) + Attri.Name;
    }
    // Whether a full device path (as GetFullPath gives it) names an entry below the root.
    bool FullPathUsable(const std::string& Path) const {
        const std::string root = RootFolder();
        if (root.empty() || Path.size() <= root.size() || !Path.starts_with(root)) return false;
        std::string rel = "/" + Path.substr(root.size());
        std::replace(rel.begin(), rel.end(), '\\', '/');
        const size_t slash = rel.rfind('/');
        return IsDeviceName(rel.substr(slash + 1)) && IsDeviceRelPath(rel.substr(0, slash + 1));
    }
    // Looks the device path Path up (the top folder "\" by a search inside it).
    TLookUp LookUp(const std::string& Path, CE_FIND_DATA* Found = nullptr, uint32_t* Error = nullptr);
    // Puts the device file Temp in the place of the file Target (delete, then move: the library
    // never replaces). On a failure while Target still stands, Temp is removed; once Target is
    // gone, Temp keeps the new text.
    bool MoveOver(const std::string& Temp, const std::string& Target);
    // Reads one device folder into Node; false when it could not be read whole. Sub-folders that
    // are to be read go to Folders; reserved leftovers are removed.
    bool ReadFolder(const std::string& Dir, TFileTree& Node, const TSharedString& Rel, bool TopLevel,
                    std::vector<std::pair<TFileTree*, std::string>>& Folders);
    // Removes reserved leftovers from the top of the marker folder.
    void RemoveMarkerLeftovers();
    // Deletes what failed writers left (device paths of reserved-name files): this program's own
    // files, never the user's. A file a writer still holds open is refused by the device; that, and
    // any other failure, is logged and tried again by the next listing.
    void RemoveLeftovers(const std::vector<std::string>& Paths);

    std::string m_KnownFolders[2];                             // device folders MakeDir made or found last
    std::chrono::steady_clock::time_point m_ConnectedUntil{};  // see Connect
};

TLookUp TWMFileOper::LookUp(const std::string& Path, CE_FIND_DATA* Found, uint32_t* Error) {
    uint32_t error = DEVICE_ERROR_PATH_NOT_FOUND;
    TLookUp result = TLookUp::Unknown;
    const TDeviceSession session;
    if (!session.Up()) {
        error = RapiLastError();
    } else if (Path == "\\") {
        // The top folder is no entry of any folder: it is there when a search inside it runs.
        CE_FIND_DATA data{};
        const TDeviceFind find("\\*.*", data);
        error = find.Error();
        if (find.Found() || error == DEVICE_ERROR_NO_MORE_FILES) {
            result = TLookUp::Found;
            if (Found) {
                *Found = CE_FIND_DATA{};
                Found->FileAttributes = FILE_ATTRIBUTE_DIRECTORY;
            }
        } else if (IsNotFound(error)) {
            result = TLookUp::Missing;
        }
    } else {
        CE_FIND_DATA data{};
        const TDeviceFind find(Path, data);
        error = find.Error();
        if (find.Found()) {
            result = TLookUp::Found;
            if (Found) *Found = data;
        } else if (IsNotFound(error)) {
            result = TLookUp::Missing;
        }
    }
    if (Error) *Error = result == TLookUp::Found ? 0 : error;
    return result;
}

// Opens the library's connection and waits for the device to report. A good connection is taken
// as still good for one second, so that a sync connecting before every row does not wait each time.
int32_t TWMFileOper::Connect() {
    const auto now = std::chrono::steady_clock::now();
    if (now < m_ConnectedUntil) return 0;
    m_ConnectedUntil = {};
    FailureText.clear();
    if (!LoadRapi()) {
        FailureText = NO_LIBRARY;
        return -1;
    }
    RAPIINIT init{sizeof(RAPIINIT), -1, 0};
    if (bfs::CeRapiInitEx(&init) != 0 || init.InitEvent < 0) {
        FailureText = NO_DEVICE;
        return -1;
    }
    const auto deadline = now + std::chrono::milliseconds(g_ConnectWaitMs.load());
    pollfd p{init.InitEvent, POLLIN, 0};
    int ready = 0;
    // Polled again while time is left: a wait may end early (a signal, the timer's slack).
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        // In slices, so that a Stop ends the wait.
        ready = ::poll(&p, 1, static_cast<int>(std::clamp<int64_t>(left.count(), 0, 100)));
        if (ready > 0 || (ready < 0 && errno != EINTR) || (ready == 0 && left.count() <= 0) || Terminated())
            break;
    }
    if (ready != 1 || init.InitResult != 0) {
        FailureText = NO_DEVICE;
        return -1;
    }
    try {
        InfoText = GetDeviceInfo();
    } catch (const std::exception&) {
        InfoText.clear();
    }
    FailureText.clear();  // a missing folder is CheckFolder's to report
    m_ConnectedUntil = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    // The device this address names is the one connected last: "wm:" finds it next time.
    if (const std::string name = DeviceNameOf(FFolderSource->FolerAllName); !name.empty()) {
        const std::string folder = GetProgramFolder();
        if (const int err = folder.empty() ? 0 : RecordLastDevice(folder + REGISTRY_FILE_NAME, name);
            err != 0)
            TMyException::Instance().LogError(
                "Device " + name, "EOSError",
                "the last connected device was not recorded: " + std::string(std::strerror(err)));
    }
    return 0;
}

int32_t TWMFileOper::CheckFolder() {
    FailureText.clear();
    if (!LoadRapi()) {
        FailureText = NO_LIBRARY;
        return -1;
    }
    const std::string root = GetDeviceRoot();
    if (root.empty()) {
        FailureText = NO_FOLDER;
        return -1;
    }
    CE_FIND_DATA data{};
    const TDeviceSession session;
    if (!session.Up()) {
        FailureText = NO_DEVICE;
        return -1;
    }
    const TLookUp found = LookUp(root, &data);
    if (found == TLookUp::Found && (data.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return 0;
    FailureText = found == TLookUp::Unknown ? NO_DEVICE : NO_FOLDER;
    return -1;
}

std::string TWMFileOper::GetDeviceInfo() {
    CheckFolder();
    STORE_INFORMATION store{};
    if (bfs::CeGetStoreInformation(&store) == 0) return DeviceNameOf(FFolderSource->FolerAllName);
    return "Total Size:" + std::to_string(store.StoreSize / 1048576) + "MB," +
           "Free size:" + std::to_string(store.FreeSize / 1048576) + "MB";
}

// Lists folder after folder (a stack, not recursion: the depth is the device's). A folder whose
// search fails, for any reason but finding nothing, is NotListed, and so is every folder a stop
// leaves unread.
int32_t TWMFileOper::ListFolder() {
    return ListTree([this] {
        bool complete = false;
        const std::string root = RootFolder();
        const TDeviceSession session;
        if (root.empty() || !session.Up()) {
            TMyException::Instance().LogError("Cannot list folder " + FFolderSource->FolerAllName,
                                              "EInOutError", root.empty() ? NO_FOLDER : NO_DEVICE);
            FFileTree->NotListed = true;
        } else {
            complete = true;
            std::vector<std::pair<TFileTree*, std::string>> pending{{FFileTree.get(), "/"}};
            bool top = true;
            while (!pending.empty()) {
                auto [node, rel] = std::move(pending.back());
                pending.pop_back();
                PostProgress();
                if (Terminated()) {
                    node->NotListed = true;
                    for (auto& rest : pending) rest.first->NotListed = true;
                    complete = false;
                    break;
                }
                std::vector<std::pair<TFileTree*, std::string>> folders;
                if (!ReadFolder(DeviceFolder(rel), *node, TSharedString(rel), top, folders)) {
                    node->NotListed = true;
                    complete = false;
                }
                if (top) RemoveMarkerLeftovers();
                top = false;
                // Reversed, so that folders are read in the order they were found.
                pending.insert(pending.end(), std::make_move_iterator(folders.rbegin()),
                               std::make_move_iterator(folders.rend()));
            }
        }
        return complete;
    });
}

namespace {

// The listed entry of a device file or folder named Name, found as Data, in the folder Rel.
TFileAttri EntryOf(const std::string& Name, const CE_FIND_DATA& Data, const TSharedString& Rel) {
    const bool folder = (Data.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    TFileAttri attri;
    attri.Name = Name;
    attri.IsFolder = folder ? 1 : 0;
    attri.Size = folder ? 0 : SizeOf(Data);
    attri.FileDate = DeviceTimeToDosDate(Data.LastWriteTime);
    attri.Attr = static_cast<int32_t>(Data.FileAttributes);
    attri.Path = Rel;
    return attri;
}

}  // namespace

bool TWMFileOper::ReadFolder(const std::string& Dir, TFileTree& Node, const TSharedString& Rel, bool TopLevel,
                             std::vector<std::pair<TFileTree*, std::string>>& Folders) {
    CE_FIND_DATA data{};
    TDeviceFind find(Dir + "*.*", data);
    if (!find.Found()) {
        if (find.Error() == DEVICE_ERROR_NO_MORE_FILES) return true;  // a folder holding nothing
        TMyException::Instance().LogError("Cannot list folder " + Dir, "EInOutError",
                                          DeviceErrorText(find.Error()));
        return false;
    }
    std::vector<std::string> leftovers;
    std::vector<std::pair<std::string, CE_FIND_DATA>> asides;  // files a replace stepped aside
    bool whole = true;
    do {
        std::string name;
        if (!NameOf(data, name)) {
            TMyException::Instance().LogError("Skipped an entry of " + Dir, "EInOutError",
                                              "name is no UTF-16 text");
            continue;
        }
        if (name == "." || name == "..") continue;
        const bool folder = (data.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (IsReservedName(name)) {
            if (!folder && !AsideOf(name).empty())
                asides.emplace_back(name, data);
            else if (!folder)
                leftovers.push_back(Dir + name);
            continue;
        }
        if (!IsDeviceName(name)) {
            TMyException::Instance().LogError("Skipped " + Dir + name, "EInOutError",
                                              "not a name this side can hold");
            continue;
        }
        if (TopLevel && name == MARKER_FOLDER) continue;
        TFileTree* child = Node.AddChild(EntryOf(name, data, Rel));
        if (folder) Folders.emplace_back(child, Rel.str() + name + "/");
    } while (find.Next(data));
    if (find.Error() != DEVICE_ERROR_NO_MORE_FILES) {
        TMyException::Instance().LogError("Cannot list folder " + Dir, "EInOutError",
                                          DeviceErrorText(find.Error()));
        whole = false;
    }
    // A file stepped aside by a replace that never finished goes back under its name when nothing
    // took that name, and is listed there; otherwise it is a leftover.
    for (const auto& [aside, found] : asides) {
        const std::string original(AsideOf(aside));
        const bool taken = std::any_of(Node.Children.begin(), Node.Children.end(),
                                       [&](const TFileTreeRef& c) { return c->Name == original; });
        if (whole && !taken && IsDeviceName(original) && RapiMoveFile(Dir + aside, Dir + original))
            Node.AddChild(EntryOf(original, found, Rel));
        else
            leftovers.push_back(Dir + aside);
    }
    RemoveLeftovers(leftovers);
    return whole;
}

void TWMFileOper::RemoveLeftovers(const std::vector<std::string>& Paths) {
    for (const std::string& path : Paths) {
        if (RapiDeleteFile(path)) continue;
        const uint32_t error = RapiLastError();
        if (IsNotFound(error)) continue;  // gone meanwhile
        TMyException::Instance().LogError("Cannot remove leftover " + path, "EInOutError",
                                          DeviceErrorText(error) + "; tried again at the next listing");
    }
}

void TWMFileOper::RemoveMarkerLeftovers() {
    const std::string marker = DeviceFolder(std::string("/") + MARKER_FOLDER + "/");
    CE_FIND_DATA data{};
    TDeviceFind find(marker + "*.*", data);
    if (!find.Found()) return;
    std::vector<std::string> leftovers;
    do {
        std::string name;
        if (NameOf(data, name) && IsReservedName(name) &&
            (data.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            leftovers.push_back(marker + name);
    } while (find.Next(data));
    RemoveLeftovers(leftovers);
}

int32_t TWMFileOper::GetEntryState(TFolderSource&, const TFileAttri& Attri, TEntryState& State) {
    State = TEntryState{};
    if (!EntryUsable(Attri)) return 1;
    CE_FIND_DATA data{};
    std::string shown;
    switch (LookUp(EntryPath(Attri), &data)) {
        case TLookUp::Found:
            // A device finds names without regard to case: only the entry of exactly this name counts.
            if (!NameOf(data, shown)) return 1;
            if (shown != Attri.Name) return 0;
            State.Exists = true;
            State.IsFolder = (data.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (!State.IsFolder) {
                State.Size = SizeOf(data);
                State.FileDate = DeviceTimeToDosDate(data.LastWriteTime);
            }
            return 0;
        case TLookUp::Missing:
            // Absent only where the root is there: a device that went tells nothing.
            return LookUp(GetDeviceRoot()) == TLookUp::Found ? 0 : 1;
        case TLookUp::Unknown:
            return 1;
    }
    return 1;
}

// Reads the device file straight into the stream.
int32_t TWMFileOper::ReadFileToStream(TFolderSource&, const TFileAttri& Attri, std::string& Stream, int32_t) {
    Stream.clear();
    if (!EntryUsable(Attri)) return DEVICE_ERROR_PATH_NOT_FOUND;
    const TDeviceSession session;
    TDeviceFile file(EntryPath(Attri), DEVICE_GENERIC_READ, DEVICE_SHARE_READ, DEVICE_OPEN_EXISTING);
    if (!file.Open()) return static_cast<int32_t>(file.Error());
    std::string chunk(DEVICE_CHUNK, '\0');
    for (;;) {
        uint32_t read = 0;
        if (CeReadFile(file.Get(), chunk.data(), DEVICE_CHUNK, &read, nullptr) == 0) {
            const uint32_t error = RapiLastError();
            Stream.clear();
            return static_cast<int32_t>(error);
        }
        if (read == 0) break;
        Stream.append(chunk.data(), std::min<uint32_t>(read, DEVICE_CHUNK));
    }
    return 0;
}

// Writes the stream under a reserved name beside the target, then puts it in the target's place
// (the old target deleted, the new file moved in: the device has no replacing move).
int32_t TWMFileOper::WriteStreamToFile(const std::string& Stream, TFolderSource&, const TFileAttri& Attri,
                                       bool) {
    if (!EntryUsable(Attri)) return -1;
    if (MakeDir(Attri.Path.str()) != 0) return -1;
    const std::string target = EntryPath(Attri), temp = DeviceFolder(Attri.Path.str()) + NewReservedName();
    const TDeviceSession session;
    {
        TDeviceFile file(temp, DEVICE_GENERIC_WRITE, 0, DEVICE_CREATE_NEW);
        if (!file.Open()) return -1;
        bool written = true;
        for (size_t done = 0; written && done < Stream.size();) {
            const auto part = static_cast<uint32_t>(std::min<size_t>(DEVICE_CHUNK, Stream.size() - done));
            uint32_t wrote = 0;
            written =
                CeWriteFile(file.Get(), Stream.data() + done, part, &wrote, nullptr) != 0 && wrote == part;
            done += part;
        }
        if (!file.Close() || !written) {
            RapiDeleteFile(temp);
            return -1;
        }
    }
    return MoveOver(temp, target) ? 0 : -1;
}

bool TWMFileOper::MoveOver(const std::string& Temp, const std::string& Target) {
    CE_FIND_DATA data{};
    const TLookUp old = LookUp(Target, &data);
    if (old == TLookUp::Unknown ||
        (old == TLookUp::Found &&
         ((data.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !RapiDeleteFile(Target)))) {
        RapiDeleteFile(Temp);
        return false;
    }
    return RapiMoveFile(Temp, Target);
}

// Creates the folder level by level below the root; the root itself is never created.
int32_t TWMFileOper::MakeDir(const std::string& RelPath) {
    if (RootFolder().empty() || !IsDeviceRelPath(RelPath)) return -3;
    const std::string folder = DeviceFolder(RelPath);
    // A sync copies file after file into the same folder: the folder made or found last is taken as
    // still there (a copy into a folder removed meanwhile fails and its row says so).
    if (folder == m_KnownFolders[0] || folder == m_KnownFolders[1]) return 0;
    const auto isFolder = [this](const std::string& Path) {
        CE_FIND_DATA data{};
        return LookUp(Path, &data) == TLookUp::Found && (data.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    };
    const std::string full = folder.size() > 1 ? folder.substr(0, folder.size() - 1) : folder;
    if (!isFolder(full)) {
        const TDeviceSession session;
        std::string acc = RootFolder();
        std::string_view rest = RelPath;
        while (!rest.empty()) {
            const size_t slash = rest.find('/');
            const std::string_view level = rest.substr(0, slash);
            rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
            if (level.empty()) continue;
            acc.append(level);
            // A level that exists already is passed; whether the last one stands is looked at below.
            RapiCreateDir(acc + "\\");
            acc += '\\';
        }
        if (!isFolder(full)) return -3;
    }
    m_KnownFolders[1] = std::move(m_KnownFolders[0]);
    m_KnownFolders[0] = folder;
    return 0;
}

int32_t TWMFileOper::DeleteFile(TFolderSource&, const TFileAttri& Attri, bool Log) {
    if (!EntryUsable(Attri)) return -1;
    const std::string path = EntryPath(Attri);
    const int32_t result = RapiDeleteFile(path) ? 0 : -1;  // never removes a folder
    if (Log) ReportStatus("Delete:" + path);
    return result;
}

int32_t TWMFileOper::RemoveDir(TFolderSource&, const TFileAttri& Attri, bool) {
    if (!EntryUsable(Attri)) return -1;
    m_KnownFolders[0].clear();
    m_KnownFolders[1].clear();
    // The device takes a moment to let go of a folder whose files were just deleted.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return RapiRemoveDir(EntryPath(Attri)) == 0 ? 0 : -1;
}

std::string TWMFileOper::GetBackupFolder() {
    const std::string marker = std::string("/") + MARKER_FOLDER;
    const std::string backup = marker + "/" + BACKUP_FOLDER;
    MakeDir(marker);
    MakeDir(backup);
    return backup;
}

int64_t TWMFileOper::GetFileSize(const std::string& FullPath) {
    if (!FullPathUsable(FullPath)) return -1;
    const TDeviceSession session;
    return RapiGetFileSize(FullPath);
}

// Copies the current file to the backup folder + Path + Name, replacing an older backup: the copy
// is made under a reserved name at the top of the marker folder (where a listing finds what a
// failure left), the old backup deleted, the copy moved in.
int32_t TWMFileOper::BackupFile(TFolderSource&, const TFileAttri& Attri) {
    if (!EntryUsable(Attri)) return 1;
    const std::string current = EntryPath(Attri);
    CE_FIND_DATA data{};
    if (LookUp(current, &data) != TLookUp::Found || (data.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return 1;
    const std::string relFolder = GetBackupFolder() + Attri.Path.str();
    if (MakeDir(relFolder) != 0) return 1;
    const std::string backup = DeviceFolder(relFolder) + Attri.Name;
    const std::string temp = DeviceFolder(std::string("/") + MARKER_FOLDER + "/") + NewReservedName();
    const TDeviceSession session;
    if (!RapiCopyFile(current, temp)) return 1;
    return MoveOver(temp, backup) ? 0 : 1;
}

// Empty for an entry whose name or path could climb out of the root: nothing is done with it.
std::string TWMFileOper::GetFullPath(TFolderSource&, const TFileAttri& Attri) {
    return EntryUsable(Attri) ? EntryPath(Attri) : std::string();
}

int32_t TWMFileOper::PutFile(const std::string& LocalPath, TFolderSource&, const TFileAttri& Attri, int32_t,
                             bool Log) {
    if (!EntryUsable(Attri)) return -1;
    if (MakeDir(Attri.Path.str()) != 0) return 1;
    const std::string dev = EntryPath(Attri);
    if (Log) ReportStatus("Copy:" + LocalPath);
    return CopyToDevice(LocalPath, dev, true, Attri.Size, Attri.FileDate);
}

int32_t TWMFileOper::GetFile(const std::string& LocalPath, TFolderSource&, const TFileAttri& Attri, int32_t,
                             bool) {
    if (!EntryUsable(Attri)) return -1;
    const std::string dev = EntryPath(Attri);
    CE_FIND_DATA data{};
    if (LookUp(dev, &data) != TLookUp::Found || (data.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return -1;
    if (SizeOf(data) != Attri.Size ||
        (DosDateInstant(Attri.FileDate) != -1 && DeviceTimeToDosDate(data.LastWriteTime) != Attri.FileDate))
        return RESULT_SOURCE_CHANGED;
    try {
        return CopyFromDevice(LocalPath, dev, data);
    } catch (const std::exception& e) {
        LogError("Copy:" + dev, e);
        return -1;
    }
}

// Never over an existing name: the library's move refuses one.
int32_t TWMFileOper::RenameFile(const std::string& OldName, const std::string& NewName) {
    if (!FullPathUsable(OldName) || !FullPathUsable(NewName)) return -1;
    const TDeviceSession session;
    return RapiMoveFile(OldName, NewName) ? 0 : -1;
}

int32_t TWMFileOper::CopyFromDevice(const std::string& Local, const std::string& Dev,
                                    const CE_FIND_DATA& Listed) {
    const int64_t total = SizeOf(Listed);
    const TDeviceSession session;
    if (!session.Up()) return 1;
    TDeviceFile file(Dev, DEVICE_GENERIC_READ, DEVICE_SHARE_READ, DEVICE_OPEN_EXISTING);
    if (!file.Open()) return 1;
    TDownloadFile download(Local, LOCAL_TEMP_PREFIX, total);
    if (!download.Created()) return 1;
    std::string chunk(DEVICE_CHUNK, '\0');
    int64_t done = 0;
    for (bool first = true;; first = false) {
        uint32_t read = 0;
        if (CeReadFile(file.Get(), chunk.data(), DEVICE_CHUNK, &read, nullptr) == 0) {
            if (first) ReportStatus("Copy:" + Dev);
            return 1;
        }
        if (read == 0) break;
        read = std::min(read, DEVICE_CHUNK);
        // A file that grew while it was read is not taken: nothing past the listed size is written.
        if (!download.Write(std::string_view(chunk.data(), read)))
            return download.Overran() ? RESULT_SOURCE_CHANGED : 1;
        done += read;
        const std::string percent =
            total == 0 ? std::string("100")
                       : FormatPercent(static_cast<double>(done) / static_cast<double>(total) * 100);
        ReportStatus("Copy:" + Dev + " : " + percent + "%");
    }
    if (!file.Close()) return 1;
    // A file that grew, shrank or was written again while it was read is not taken: Local keeps
    // what it held.
    CE_FIND_DATA now{};
    if (done != total || LookUp(Dev, &now) != TLookUp::Found || SizeOf(now) != total ||
        !SameTime(now.LastWriteTime, Listed.LastWriteTime))
        return RESULT_SOURCE_CHANGED;
    timespec times[2] = {{0, UTIME_OMIT}, {}};
    const bool dated = DeviceTimeToInstant(Listed.LastWriteTime, times[1]);
    return download.Commit(dated ? times : nullptr) ? 0 : 1;
}

int32_t TWMFileOper::CopyToDevice(const std::string& Local, const std::string& Dev, bool Overwrite,
                                  int64_t ExpectedSize, int32_t ExpectedDate) {
    const TDeviceSession session;
    if (!session.Up()) return 1;
    struct stat before {};
    const TFd src(OpenForReading(Local, before));
    if (src.Get() < 0) return 1;
    if (DiffersFromListing(before, ExpectedSize, ExpectedDate)) return RESULT_SOURCE_CHANGED;
    // A new device file first: one that did not exist before goes again after a failure.
    std::optional<TDeviceFile> open;
    open.emplace(Dev, DEVICE_GENERIC_WRITE, 0, DEVICE_CREATE_NEW);
    const bool created = open->Open();
    if (!created && Overwrite && open->Error() == DEVICE_ERROR_FILE_EXISTS)
        open.emplace(Dev, DEVICE_GENERIC_WRITE, 0, DEVICE_CREATE_ALWAYS);
    TDeviceFile& file = *open;
    if (!file.Open()) return 1;
    std::string chunk(DEVICE_CHUNK, '\0');
    int64_t done = 0;
    int32_t result = 0;
    for (;;) {
        const ssize_t n = ReadFull(src.Get(), chunk.data(), DEVICE_CHUNK);
        if (n < 0) {
            result = 1;
            break;
        }
        if (n == 0) break;
        uint32_t wrote = 0;
        if (CeWriteFile(file.Get(), chunk.data(), static_cast<uint32_t>(n), &wrote, nullptr) == 0 ||
            wrote != static_cast<uint32_t>(n)) {
            result = 1;
            break;
        }
        done += n;
    }
    if (result == 0 && (done != ExpectedSize || ChangedSince(src.Get(), before, ExpectedSize, ExpectedDate)))
        result = RESULT_SOURCE_CHANGED;
    if (!file.Close() && result == 0) result = 1;
    if (result != 0 && created) RapiDeleteFile(Dev);
    return result;
}

std::string TWMFileOper::GetDeviceName(const std::string& Path) {
    if (!Path.empty()) return DeviceNameOf(Path);
    // Only a device that is attached now is found, whatever was recorded before.
    if (!TDeviceSession().Up()) return {};
    const std::string folder = GetProgramFolder();
    std::string name = folder.empty() ? std::string() : LastDeviceName(folder + REGISTRY_FILE_NAME);
    return name.empty() ? ConfiguredDeviceName() : name;
}

int32_t TWMFileOper::GetDeviceSubFolders(const std::string& Path, std::vector<std::string>& List) {
    const TDeviceSession session;
    if (!session.Up()) return static_cast<int32_t>(RapiLastError());
    std::string folder = Path;
    if (folder.empty() || folder.back() != '\\') folder += '\\';
    CE_FIND_DATA data{};
    TDeviceFind find(folder + "*.*", data);
    if (!find.Found())
        return find.Error() == DEVICE_ERROR_NO_MORE_FILES ? 0 : static_cast<int32_t>(find.Error());
    do {
        std::string name;
        if ((data.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && NameOf(data, name) && name != "." &&
            name != "..")
            List.push_back(name);
    } while (find.Next(data));
    return find.Error() == DEVICE_ERROR_NO_MORE_FILES ? 0 : static_cast<int32_t>(find.Error());
}

}  // namespace

std::unique_ptr<TFileOper> CreateWMFileOper(bool FreeOnTerminate) {
    return std::make_unique<TWMFileOper>(FreeOnTerminate);
}

IDeviceBrowser* DeviceBrowserOf(TFileOper& Oper) {
    return dynamic_cast<IDeviceBrowser*>(&Oper);
}

std::string DeviceNameOf(std::string_view Address) {
    if (!Address.starts_with("wm:")) return {};
    const size_t slash = Address.find('\\');
    return slash == std::string_view::npos ? std::string() : std::string(Address.substr(3, slash - 3));
}

std::string DevicePathOf(std::string_view Address) {
    if (!Address.starts_with("wm:")) return {};
    const size_t slash = Address.find('\\');
    if (slash == std::string_view::npos) return {};
    std::string path(Address.substr(slash));  // "wm:" + name cut off the front, once
    if (path.size() > 1 && path.back() == '\\') path.pop_back();
    return path;
}

namespace {

// The partner keys of the registry (the names below the partners key), in the order the file
// holds them.
std::vector<std::string> PartnerKeys(const TIniFile& Registry) {
    const std::string partners = std::string(DEVICE_PARTNERS_KEY) + "\\";
    std::vector<std::string> keys;
    const std::string text = Registry.GetText();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(std::string_view(text).substr(start, end - start));
        start = end + 1;
        if (line.size() < 2 || line.front() != '[' || line.back() != ']') continue;
        const std::string key = Trim(std::string_view(line).substr(1, line.size() - 2));
        if (key.size() > partners.size() && key.starts_with(partners) &&
            key.find('\\', partners.size()) == std::string::npos)
            keys.push_back(key.substr(partners.size()));
    }
    return keys;
}

// Guards the registry file's device keys against two connects recording at once.
std::mutex g_RecordLock;

}  // namespace

std::string LastDeviceName(const std::string& RegistryFile) {
    TIniFile registry;
    if (registry.Load(RegistryFile) != 0) return {};
    const std::string partners = std::string(DEVICE_PARTNERS_KEY) + "\\";
    std::string partner = Trim(registry.ReadString(DEVICE_SERVICES_KEY, "Last Device", ""));
    if (partner.empty()) {
        const std::vector<std::string> keys = PartnerKeys(registry);
        if (keys.empty()) return {};
        partner = keys.front();
    }
    if (!registry.SectionExists(partners + partner)) return {};
    return registry.ReadString(partners + partner, "DisplayName", "");
}

int RecordLastDevice(const std::string& RegistryFile, const std::string& Name) {
    if (Trim(Name).empty()) return EINVAL;
    std::lock_guard lock(g_RecordLock);
    TIniFile registry;
    const int loaded = registry.Load(RegistryFile);
    if (loaded != 0 && loaded != ENOENT) return loaded;  // never replace a file that did not read
    const std::string partners = std::string(DEVICE_PARTNERS_KEY) + "\\";
    const std::vector<std::string> keys = PartnerKeys(registry);
    std::string partner;
    for (const std::string& key : keys)
        if (registry.ReadString(partners + key, "DisplayName", "") == Name) {
            partner = key;
            break;
        }
    const bool known = !partner.empty();
    if (!known) {
        // A new partner: the next number no key holds yet.
        for (int n = static_cast<int>(keys.size()) + 1; partner.empty(); ++n)
            if (std::find(keys.begin(), keys.end(), std::to_string(n)) == keys.end())
                partner = std::to_string(n);
    }
    if (known && Trim(registry.ReadString(DEVICE_SERVICES_KEY, "Last Device", "")) == partner) return 0;
    if (const int err = registry.WriteString(partners + partner, "DisplayName", Name); err != 0) return err;
    if (const int err = registry.WriteString(DEVICE_SERVICES_KEY, "Last Device", partner); err != 0)
        return err;
    return registry.Save();
}

void SetDeviceConnectWait(int Milliseconds) {
    g_ConnectWaitMs = std::max(0, Milliseconds);
}

}  // namespace bfs
