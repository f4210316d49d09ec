#include "engine/UTSyncTask.h"

#include "model/UTFolderForm.h"
#include "model/UTListOrder.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "storage/UTFtpFileOper.h"
#include "storage/UTNetFileOper.h"
#include "storage/UTS3FileOper.h"
#include "storage/UTWMFileOper.h"
#include "storage/UTWebDavFileOper.h"
#include "storage/UTWinFileOper.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

namespace bfs {

namespace {

void AppendEscape(std::string& out, unsigned char c) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    out.push_back('%');
    out.push_back(HEX[c >> 4]);
    out.push_back(HEX[c & 0x0F]);
}

// An address as a list of path components, for comparing folders by whole components.
struct TNormalAddress {
    bool Rooted = false;  // starts with a separator
    std::vector<std::string_view> Parts;

    bool Blank() const noexcept { return !Rooted && Parts.empty(); }
};

// Network shares and device folders separate with "\", every other kind with "/" (a "\" in a local
// Linux name is an ordinary character).
char AddressSeparator(int32_t DeviceType) noexcept {
    return DeviceType == DEVICE_NETWORK || DeviceType == DEVICE_MOBILE ? '\\' : '/';
}

// Splits Text (already trimmed) at Sep, dropping empty and "." components; ".." is kept as a name,
// since resolving it without the file system could be wrong where links are involved.
TNormalAddress NormaliseAddress(std::string_view Text, char Sep) {
    TNormalAddress result;
    result.Rooted = !Text.empty() && Text.front() == Sep;
    std::size_t start = 0;
    while (start <= Text.size()) {
        std::size_t end = Text.find(Sep, start);
        if (end == std::string_view::npos) end = Text.size();
        const std::string_view part = Text.substr(start, end - start);
        if (!part.empty() && part != ".") result.Parts.push_back(part);
        start = end + 1;
    }
    return result;
}

// True when the shorter address is a proper prefix of the longer one, component by component.
bool IsNested(const TNormalAddress& a, const TNormalAddress& b) {
    if (a.Blank() || b.Blank() || a.Rooted != b.Rooted || a.Parts.size() == b.Parts.size()) return false;
    const auto& shorter = a.Parts.size() < b.Parts.size() ? a.Parts : b.Parts;
    const auto& longer = a.Parts.size() < b.Parts.size() ? b.Parts : a.Parts;
    for (std::size_t i = 0; i < shorter.size(); ++i)
        if (shorter[i] != longer[i]) return false;
    return true;
}

void CopyStoredFields(TFolderSource& To, const TFolderSource& From) {
    To.DeviceType = From.DeviceType;
    To.FolerAllName = From.FolerAllName;
    To.validate = From.validate;
    To.UserName = From.UserName;
    To.PWD = From.PWD;
    To.ActiveMode = From.ActiveMode;
    To.FactTime = From.FactTime;
    To.PrivateKey = From.PrivateKey;
}

// The options from SyncDirection to EstimateDiskSpace, the masks and the three exclude flags, and
// the automation settings: what both Assign and Clone copy.
void CopyOptions(TSyncTask& To, const TSyncTask& From) {
    To.SyncDirection = From.SyncDirection;
    To.ForcedOrVerified = From.ForcedOrVerified;
    To.IsDeleteFile = From.IsDeleteFile;
    To.SaveOldFile = From.SaveOldFile;
    To.UseTempFile = From.UseTempFile;
    To.CheckNoChange = From.CheckNoChange;
    To.EstimateDiskSpace = From.EstimateDiskSpace;
    To.IncludeFilter = From.IncludeFilter;
    To.ExcludeFilter = From.ExcludeFilter;
    To.ExcludeEmtpyFolder = From.ExcludeEmtpyFolder;
    To.ExcludeHiddenFile = From.ExcludeHiddenFile;
    To.ExcludeSystemFile = From.ExcludeSystemFile;
    To.StartAnalyze = From.StartAnalyze;
    To.StartSync = From.StartSync;
    To.ConnectAnalyze = From.ConnectAnalyze;
    To.ConnectSync = From.ConnectSync;
    To.LogoffAnalyze = From.LogoffAnalyze;
    To.LogoffSync = From.LogoffSync;
    To.PeriodAnalyze = From.PeriodAnalyze;
    To.PeriodSync = From.PeriodSync;
    To.Hours = From.Hours;
    To.minutes = From.minutes;
    To.TSsync = From.TSsync;
    To.TSanalyze = From.TSanalyze;
    To.TaskScheduler = From.TaskScheduler;
    To.Conflicts = From.Conflicts;
    To.EnsureFolderTags = From.EnsureFolderTags;
}

void ClearTree(TFileTree& Tree) {
    Tree.Children.clear();
    Tree.ChildCount = 0;
    Tree.LoadLine = 0;
    Tree.NotListed = false;
    Tree.Name.clear();
}

}  // namespace

std::string SyncIDToFileName(std::string_view SyncID) {
    if (SyncID.empty()) return "%";
    std::string result;
    result.reserve(SyncID.size() + 8);
    for (std::size_t i = 0; i < SyncID.size(); ++i) {
        const char c = SyncID[i];
        if (c == '%' || c == '/' || c == '\0' || (i == 0 && c == '.'))
            AppendEscape(result, static_cast<unsigned char>(c));
        else
            result.push_back(c);
    }
    return result;
}

TSyncTask::TSyncTask()
    : LFolder(std::make_shared<TFolderSource>()), RFolder(std::make_shared<TFolderSource>()) {}

void TSyncTask::Assign(const TSyncTask& Source) {
    if (&Source == this) return;
    SyncName = Source.SyncName;
    SyncID = Source.SyncID;
    CopyStoredFields(*LFolder, *Source.LFolder);
    CopyStoredFields(*RFolder, *Source.RFolder);
    CopyOptions(*this, Source);
    IncludeFileTimeMin = Source.IncludeFileTimeMin;
    IncludeFileTimeMax = Source.IncludeFileTimeMax;
    ExcludeFileTimeMin = Source.ExcludeFileTimeMin;
    ExcludeFileTimeMax = Source.ExcludeFileTimeMax;
    IncludeFileSizeMin = Source.IncludeFileSizeMin;
    IncludeFileSizeMax = Source.IncludeFileSizeMax;
    ExcludeFileSizeMin = Source.ExcludeFileSizeMin;
    ExcludeFileSizeMax = Source.ExcludeFileSizeMax;
    // A copy saved later keeps, like the original, the stored text of fields that did not load.
    m_FailedFields = Source.m_FailedFields;
}

std::unique_ptr<TSyncTask> TSyncTask::Clone(const TSyncTask& Source) {
    auto task = std::make_unique<TSyncTask>();
    task->SyncName = "New_" + Source.SyncName;
    task->SyncID = "New_" + Source.SyncID;
    CopyOptions(*task, Source);
    return task;
}

namespace {
// A side's address as CheckFolders compares it: trimmed, in the one form its kind connects to, so
// that two writings of one folder are one folder here too; on a share or a device, whose names are
// found without regard to case, case-folded. Empty when nothing is written.
std::string ComparableAddress(const TFolderSource& Side) {
    const std::string text = Trim(Side.FolerAllName);
    if (text.empty()) return text;
    const std::string form = FolderAddressForm(Side.DeviceType, text);
    return Side.DeviceType == DEVICE_NETWORK || Side.DeviceType == DEVICE_MOBILE ? FoldName(form) : form;
}
}  // namespace

int32_t TSyncTask::CheckFolders() const {
    const std::string left = ComparableAddress(*LFolder);
    const std::string right = ComparableAddress(*RFolder);
    const char leftSep = AddressSeparator(LFolder->DeviceType);
    const char rightSep = AddressSeparator(RFolder->DeviceType);
    const TNormalAddress l = NormaliseAddress(left, leftSep);
    const TNormalAddress r = NormaliseAddress(right, rightSep);
    if (l.Blank() && r.Blank()) return FOLDERS_SAME;
    // Addresses of differently separated kinds name different storage, however alike they look.
    if (leftSep == rightSep) {
        if (l.Rooted == r.Rooted && l.Parts == r.Parts) return FOLDERS_SAME;
        if (IsNested(l, r)) return FOLDERS_NESTED;
    }
    if (l.Blank() || r.Blank()) return FOLDERS_EMPTY;
    return FOLDERS_OK;
}

namespace {
TSyncTask::TFileOperFactory g_FactoryOverride;  // set by tests only, before any run starts
}  // namespace

void TSyncTask::SetFileOperFactory(TFileOperFactory Factory) {
    g_FactoryOverride = std::move(Factory);
}

std::unique_ptr<TFileOper> TSyncTask::CreateFileOper(const TFolderSourceRef& Folder, bool FreeOnTerminate) {
    if (!Folder) return nullptr;
    if (g_FactoryOverride)
        if (auto oper = g_FactoryOverride(*Folder, FreeOnTerminate)) return oper;
    // The kinds whose back-ends are not built yet get none, as kind 4 and unknown kinds do; the
    // caller reports that it cannot connect the side.
    switch (Folder->DeviceType) {
        case DEVICE_LOCAL:
            return CreateWinFileOper(FreeOnTerminate);
        case DEVICE_FTP:
            return CreateFtpFileOper(FreeOnTerminate);
        case DEVICE_NETWORK:
            return CreateNetFileOper(FreeOnTerminate);
        case DEVICE_S3:
            return CreateS3FileOper(FreeOnTerminate);
        case DEVICE_MOBILE:
            return CreateWMFileOper(FreeOnTerminate);
        case DEVICE_WEBDAV:
            return CreateWebDavFileOper(FreeOnTerminate);
        default:
            return nullptr;
    }
}

int32_t TSyncTask::GetLocalStateSides() const {
    if (EstimateDiskSpace == 1) return LOCAL_STATE_BOTH;
    if (EnsureFolderTags == 1) return SyncDirection == 1 ? LOCAL_STATE_LEFT : LOCAL_STATE_RIGHT;
    return LOCAL_STATE_NONE;
}

std::string TSyncTask::LocalStateFileName(int Side) const {
    const std::string folder = GetAppDataFolder();
    if (folder.empty()) return {};
    return folder + SyncIDToFileName(SyncID) + (Side == 0 ? "L" : "R");
}

std::string TSyncTask::LockFileName(std::string* Problem) const {
    const TRuntimeFolder folder = CheckRuntimeFolder();
    if (Problem) *Problem = folder.Problem;
    if (!folder.Problem.empty()) return {};
    return folder.Path + SyncIDToFileName(SyncID) + ".lock";
}

int32_t TSyncTask::LoadSavedTree(TFileTree& Tree, int Side, uint64_t* Hash, bool* Damaged,
                                 const TFileTree* Listing) const {
    ClearTree(Tree);
    if (Hash) *Hash = 0;
    if (Damaged) *Damaged = false;
    const std::string fileName = LocalStateFileName(Side);
    if (fileName.empty()) return 1;
    std::string error = "empty";
    uint64_t hash = 0;
    const int rc = LoadSavedStateFile(Tree, fileName, &error, Listing, &hash);
    if (rc == ENOENT) return 1;
    if (rc == 0 && !ForeignState(Tree, *(Side == 0 ? LFolder : RFolder), error)) {
        if (Hash) *Hash = hash;
        return 0;
    }
    // What the last sync left is unknown either way: the run overwrites nothing on the strength of a
    // date.
    ClearTree(Tree);
    if (Damaged) *Damaged = true;
    if (rc > 0) {
        // Could not be read: left in place, it may read the next time.
        TMyException::Instance().LogError("Saved state " + fileName + " not read", "EInOutError",
                                          std::strerror(rc));
        return 1;
    }
    // Does not load: kept aside for a look.
    const bool keptAside = std::rename(fileName.c_str(), (fileName + ".damaged").c_str()) == 0;
    TMyException::Instance().LogError(
        "Saved state " + fileName + " discarded", "EConvertError",
        error + (keptAside ? "; kept as .damaged" : "; could not be kept aside"));
    return 1;
}

std::string TSyncTask::GetShareRoot(std::string_view Path) {
    // "\\server\share\folder": the first "\" after the server name ends the server, the next one the
    // share.
    if (Path.size() < 3 || Path[0] != '\\' || Path[1] != '\\' || Path[2] == '\\') return {};
    const std::size_t p = Path.find('\\', 2);
    if (p == std::string_view::npos) return {};
    const std::size_t q = Path.find('\\', p + 1);
    if (q == std::string_view::npos) return std::string(Path);
    return std::string(Path.substr(0, q));
}

}  // namespace bfs
