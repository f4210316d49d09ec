#include "model/UTFileOper.h"

#include "model/UTConsts.h"
#include "model/UTListOrder.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "platform/UTLocalFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

namespace bfs {

namespace {
std::mutex g_StatusMutex;  // guards g_StatusText
std::string g_StatusText;
}  // namespace

void SetStatusText(std::string Text) {
    std::lock_guard lock(g_StatusMutex);
    g_StatusText = std::move(Text);
}

std::string GetStatusText() {
    std::lock_guard lock(g_StatusMutex);
    return g_StatusText;
}

TFileOper::TFileOper(bool FreeOnTerminate)
    : TThread(FreeOnTerminate),
      FFolderSource(std::make_shared<TFolderSource>()),
      FFileTree(TFileTree::Create(std::string(), nullptr)),
      FSavedTree(TFileTree::Create(std::string(), nullptr)) {}

TFileOper::~TFileOper() {
    // The listing thread works on our members: end it before they go.
    Terminate();
    WaitFor();
}

void TFileOper::Execute() {
    ListFolder();
}

void TFileOper::Stop() {
    Terminate();
    CloseConnection();
}

void TFileOper::PostProgress() {
    if (NotifyWnd) NotifyWnd->PostMessage(WM_UPDATEPROCESS, 0, 10);
}

void TFileOper::ReportStatus(std::string Text) {
    SetStatusText(std::move(Text));
    if (NotifyWnd) NotifyWnd->PostMessage(WM_COPYPROCESS, 0, 10);
}

int32_t TFileOper::FinishListing(bool Complete) noexcept {
    try {
        SortTreeLevels(*FFileTree);
        FFileTree->RemoveChild(MARKER_FOLDER);
        if (Terminated()) FFileTree->NotListed = true;
        m_ListComplete = Complete && !Terminated() && !HasNotListed(*FFileTree);
        if (LoadSavedTreeFlag) {
            LoadSavedTree();
            LoadSavedTreeFlag = false;
        }
    } catch (const std::exception& e) {
        // Whatever failed here, the listing vouches for nothing: no deletion is planned from it.
        TMyException::Instance().HandleException(e);
        FFileTree->NotListed = true;
        m_ListComplete = false;
    }
    return m_ListComplete ? 0 : 1;
}

int32_t TFileOper::ListTree(const std::function<bool()>& Scan) noexcept {
    bool complete = false;
    try {
        FFileTree = TFileTree::Create(std::string(), nullptr);
        complete = Scan();
    } catch (const std::exception& e) {
        TMyException::Instance().LogError("", e);
        if (!FFileTree) {
            m_ListComplete = false;
            return 1;
        }
        FFileTree->NotListed = true;
        complete = false;
    }
    return FinishListing(complete);
}

bool ForeignState(const TFileTree& State, std::string_view Address, std::string& Error) {
    if (TFileTree::RootTextNames(Trim(State.Name), Trim(Address))) return false;
    Error = "written for another folder: " + State.Name;
    return true;
}

int32_t TFileOper::LoadSavedTreeThroughStream() {
    TFileAttri attri;
    attri.Name = FTreeFileName;
    attri.Path = std::string("/") + MARKER_FOLDER + "/";
    FSavedTreeHash = 0;
    FSavedTreeDamaged = false;
    std::string error = "empty";
    bool unreadable = false;  // could not be read, which says nothing of the file itself
    auto tree = TFileTree::Create(std::string(), nullptr);
    const std::string local = LocalPathOf(attri);
    if (!local.empty()) {
        uint64_t hash = 0;
        const int rc = LoadSavedStateFile(*tree, local, &error, FFileTree.get(), &hash);
        if (rc == ENOENT) return 1;  // no saved state yet
        if (rc == 0 && !ForeignState(*tree, FFolderSource->FolerAllName, error)) {
            FSavedTree = tree;
            FSavedTreeHash = hash;
            return 0;
        }
        if (rc > 0) {
            error = std::strerror(rc);
            unreadable = true;
        }
    } else {
        std::string stream;
        TEntryState state;
        try {
            if (GetEntryState(*FFolderSource, attri, state) == 0 && !state.Exists)
                return 1;  // no saved state yet
            if (ReadFileToStream(*FFolderSource, attri, stream, 0) != 0) {
                stream.clear();
                unreadable = true;
                error = "could not be read";
            }
        } catch (const std::exception& e) {
            stream.clear();
            unreadable = true;
            error = e.what();
        }
        if (!stream.empty() && tree->LoadFromStream(stream, &error, FFileTree.get()) &&
            !ForeignState(*tree, FFolderSource->FolerAllName, error)) {
            FSavedTree = tree;
            FSavedTreeHash = TFileTree::TextHash(stream);
            return 0;
        }
    }
    // Either way what the last sync left is unknown: the analysis then overwrites nothing.
    FSavedTreeDamaged = true;
    if (unreadable) {
        // Left where it is: a state that could not be read this time may read the next time.
        TMyException::Instance().LogError("Saved state of " + FFolderSource->FolerAllName + " not read",
                                          "EInOutError", error);
        return 1;
    }
    // Kept aside, not lost: the next run writes a fresh state, and the old one stays for a look.
    TFileAttri damaged = attri;
    damaged.Name = FTreeFileName + ".damaged";
    DeleteFile(*FFolderSource, damaged, false);
    const bool keptAside =
        RenameFile(GetFullPath(*FFolderSource, attri), GetFullPath(*FFolderSource, damaged)) == 0;
    TMyException::Instance().LogError(
        "Saved state of " + FFolderSource->FolerAllName + " discarded", "EConvertError",
        error + (keptAside ? "; kept as " + damaged.Name : "; could not be kept aside"));
    return 1;
}

bool IsReservedName(std::string_view Name) noexcept {
    return Name.starts_with(RESERVED_PREFIX);
}

std::string NewReservedName() {
    static constexpr char ALPHABET[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 engine{std::random_device{}()};
    std::string name(RESERVED_PREFIX);
    std::uniform_int_distribution<int> pick(0, sizeof ALPHABET - 2);
    for (int i = 0; i < 16; ++i) name.push_back(ALPHABET[pick(engine)]);
    return name;
}

namespace {
constexpr std::string_view ASIDE_MARK = "r.";  // random reserved names hold no "."
constexpr size_t NAME_MAX_BYTES = 255;
}  // namespace

std::string AsideName(std::string_view Name) {
    if (RESERVED_PREFIX.size() + ASIDE_MARK.size() + Name.size() > NAME_MAX_BYTES) return {};
    std::string aside(RESERVED_PREFIX);
    aside.append(ASIDE_MARK).append(Name);
    return aside;
}

std::string_view AsideOf(std::string_view Name) noexcept {
    if (!Name.starts_with(RESERVED_PREFIX)) return {};
    Name.remove_prefix(RESERVED_PREFIX.size());
    if (!Name.starts_with(ASIDE_MARK)) return {};
    Name.remove_prefix(ASIDE_MARK.size());
    return Name;
}

TFileAttri TFileOper::TempEntryFor(const TFileAttri& Target) {
    TFileAttri temp;
    temp.Name = NewReservedName();
    temp.Path = Target.Path;
    temp.Size = Target.Size;
    temp.FileDate = Target.FileDate;
    return temp;
}

int LoadSavedStateFile(TFileTree& Tree, const std::string& Path, std::string* Error, const TFileTree* Listing,
                       uint64_t* Hash) {
    struct stat st {};
    errno = 0;
    const TFd fd(OpenForReading(Path, st));
    if (fd.Get() < 0) return errno != 0 ? errno : EIO;
    if (st.st_size == 0) {
        if (Error) *Error = "empty";
        return -1;
    }
    const TFileTree::TTextSource source = [&fd](char* Buffer, std::size_t Capacity) -> int64_t {
        return ReadFull(fd.Get(), Buffer, Capacity);
    };
    return Tree.LoadFromSource(source, static_cast<uint64_t>(st.st_size), Error, Listing, Hash) ? 0 : -1;
}

void TWrittenEntries::Add(std::string_view FolderPath, std::string_view Name, bool IsFolder) {
    std::string path(FolderPath);
    path.append(Name);
    if (IsFolder) m_Folders.insert(path + "/");
    m_Entries.insert(path);
    // Every folder up to the root holds it; one already in has its parents in too.
    for (std::string_view folder = FolderPath; !folder.empty();) {
        if (!m_Folders.emplace(folder).second || folder.size() == 1) break;
        const size_t slash = folder.rfind('/', folder.size() - 2);
        folder = slash == std::string_view::npos ? std::string_view() : folder.substr(0, slash + 1);
    }
}

bool TWrittenEntries::Touched(std::string_view Path, std::string_view Name, bool IsFolder) const {
    std::string path(Path);
    path.append(Name);
    if (m_Entries.count(path) != 0) return true;
    return IsFolder && m_Folders.count(path + "/") != 0;
}

void SortTreeLevels(TFileTree& Root) {
    std::vector<TFileTree*> stack{&Root};
    while (!stack.empty()) {
        TFileTree* node = stack.back();
        stack.pop_back();
        SortLevel(*node);
        for (const auto& child : node->Children)
            if (!child->Children.empty()) stack.push_back(child.get());
    }
}

bool HasNotListed(const TFileTree& Root) {
    std::vector<const TFileTree*> stack{&Root};
    while (!stack.empty()) {
        const TFileTree* node = stack.back();
        stack.pop_back();
        if (node->NotListed) return true;
        for (const auto& child : node->Children) stack.push_back(child.get());
    }
    return false;
}

}  // namespace bfs
