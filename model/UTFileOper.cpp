#include "model/UTFileOper.h"

#include "model/UTConsts.h"
#include "model/UTListOrder.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "platform/UTLocalFile.h"

#include <sys/stat.h>

#include <algorithm>
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
        GiveNotedAsidesBack();
        m_ListComplete = Complete && !Terminated() && !HasNotListed(*FFileTree);
        if (LoadSavedTreeFlag) {
            LoadSavedTree();
            LoadSavedTreeFlag = false;
            GiveLegacyAsidesBack();
        }
    } catch (const std::exception& e) {
        // Whatever failed here, the listing vouches for nothing: no deletion is planned from it.
        TMyException::Instance().HandleException(e);
        NotListedBecause(*FFileTree, e.what());
        m_ListComplete = false;
    }
    return m_ListComplete ? 0 : 1;
}

int32_t TFileOper::ListTree(const std::function<bool()>& Scan) noexcept {
    bool complete = false;
    {
        std::lock_guard lock(m_AsidesMutex);
        m_Asides.clear();  // any left by an earlier listing belong to its tree
    }
    {
        std::lock_guard lock(m_NotListedMutex);
        m_NotListedWhy.clear();
    }
    {
        std::lock_guard lock(m_LeftOutMutex);
        m_LeftOut.clear();
    }
    try {
        FFileTree = TFileTree::Create(std::string(), nullptr);
        complete = Scan();
    } catch (const std::exception& e) {
        TMyException::Instance().LogError("", e);
        if (!FFileTree) {
            m_ListComplete = false;
            return 1;
        }
        NotListedBecause(*FFileTree, e.what());
        complete = false;
    }
    return FinishListing(complete);
}

void TFileOper::NotListedBecause(TFileTree& Folder, std::string Why) {
    Folder.NotListed = true;
    if (Why.empty()) return;
    std::lock_guard lock(m_NotListedMutex);
    m_NotListedWhy.try_emplace(&Folder, std::move(Why));
}

std::string TFileOper::NotListedReason(const TFileTree& Folder) const {
    std::lock_guard lock(m_NotListedMutex);
    const auto it = m_NotListedWhy.find(&Folder);
    return it == m_NotListedWhy.end() ? std::string() : it->second;
}

void TFileOper::NoteLeftOut(TFileTree& Folder, std::string Name) {
    std::lock_guard lock(m_LeftOutMutex);
    m_LeftOut.emplace_back(TFileTreeRef(&Folder), std::move(Name));
}

void TFileOper::NoteAside(TFileTree& Folder, TFileAttri Aside) {
    std::lock_guard lock(m_AsidesMutex);
    m_Asides.emplace_back(TFileTreeRef(&Folder), std::move(Aside));
}

bool TFileOper::TakeName(TFileTree& Folder, TFileTree& Node, const std::string& Original) {
    TFileAttri target = *Node.Data;
    target.Name = Original;
    // RenameFile never goes over an entry: a name taken since the listing makes it fail.
    if (RenameFile(GetFullPath(*FFolderSource, *Node.Data), GetFullPath(*FFolderSource, target)) != 0)
        return false;
    Node.Name = Original;
    Node.Data->Attr =
        (Node.Data->Attr & ~FILE_ATTRIBUTE_HIDDEN) | (Original[0] == '.' ? FILE_ATTRIBUTE_HIDDEN : 0);
    // A side that renames by copying dates the file anew: the listing shows what the side shows.
    TEntryState now;
    if (GetEntryState(*FFolderSource, target, now) == 0 && now.Exists && !now.IsFolder) {
        Node.Data->Size = now.Size;
        Node.Data->FileDate = now.FileDate;
    } else {
        Folder.NotListed = true;  // not known as it is now: nothing here is taken as deleted
        m_ListComplete = false;
    }
    SortLevel(Folder);
    return true;
}

void TFileOper::GiveNotedAsidesBack() {
    std::vector<std::pair<TFileTreeRef, TFileAttri>> asides;
    {
        std::lock_guard lock(m_AsidesMutex);
        asides.swap(m_Asides);
    }
    for (auto& [folder, aside] : asides) {
        if (Terminated()) break;
        // A folder not read in full may hold the name unseen: the aside waits for a later listing.
        if (folder->NotListed) continue;
        const std::string original(AsideOf(aside.Name));
        if (original.empty()) continue;
        const bool taken = std::any_of(folder->Children.begin(), folder->Children.end(),
                                       [&](const TFileTreeRef& c) { return c->Name == original; });
        if (taken) {
            DeleteFile(*FFolderSource, aside, false);  // the replace went through: the old version goes
            continue;
        }
        const std::string name = aside.Name;
        TFileTree* node = folder->AddChild(std::move(aside));
        if (!TakeName(*folder, *node, original)) folder->RemoveChild(name);
    }
}

namespace {
const TFileTree* ChildNamed(const TFileTree& Folder, std::string_view Name) {
    for (const TFileTreeRef& c : Folder.Children)
        if (c->Name == Name) return c.get();
    return nullptr;
}

// The folder of State at the root-relative Path ("/" at the top, "/docs/" below), or null.
const TFileTree* StateFolder(const TFileTree& State, std::string_view Path) {
    const TFileTree* folder = &State;
    for (size_t at = 1; folder && at < Path.size();) {
        const size_t slash = Path.find('/', at);
        if (slash == std::string_view::npos) return nullptr;
        folder = ChildNamed(*folder, Path.substr(at, slash - at));
        if (folder && !folder->IsFolder()) return nullptr;
        at = slash + 1;
    }
    return folder;
}
}  // namespace

void TFileOper::HoldLeftOutAgainst(const TFileTree& State) {
    std::vector<std::pair<TFileTreeRef, std::string>> leftOut;
    {
        std::lock_guard lock(m_LeftOutMutex);
        leftOut.swap(m_LeftOut);
    }
    for (const auto& [folder, name] : leftOut) {
        const TFileTree* state =
            folder->Parent
                ? (folder->Data ? StateFolder(State, folder->Data->Path.str() + folder->Name + "/") : nullptr)
                : &State;
        if (!state || !ChildNamed(*state, name)) continue;
        NotListedBecause(*folder, "\"" + name +
                                      "\" is no longer what was synced (a symbolic link or a special "
                                      "file), and nothing beside it is taken as deleted");
        m_ListComplete = false;
    }
}

// A file of an earlier version's aside form is taken for one only where no user's file can be
// meant: the name it stands in for is free in its folder, the saved state records that name as a
// file of exactly the aside's size and date, and records nothing under the aside's own name (a
// user's file of that name, once synced, is recorded). Anything else is the user's file.
void TFileOper::GiveLegacyAsidesBack() {
    if (!FSavedTree || FSavedTree->Children.empty()) return;
    std::vector<std::pair<TFileTree*, TFileTree*>> found;  // folder, aside: renamed after the walk
    std::vector<TFileTree*> stack{FFileTree.get()};
    while (!stack.empty()) {
        TFileTree* folder = stack.back();
        stack.pop_back();
        for (const TFileTreeRef& c : folder->Children) {
            if (c->IsFolder())
                stack.push_back(c.get());
            else if (!folder->NotListed && !LegacyAsideOf(c->Name).empty())
                found.emplace_back(folder, c.get());
        }
    }
    for (const auto& [folder, node] : found) {
        if (Terminated()) return;
        const std::string original(LegacyAsideOf(node->Name));
        const TFileTree* state = StateFolder(*FSavedTree, node->Data->Path.str());
        const TFileTree* recorded = state ? ChildNamed(*state, original) : nullptr;
        if (!recorded || recorded->IsFolder() || recorded->Data->Size != node->Data->Size ||
            recorded->Data->FileDate != node->Data->FileDate || ChildNamed(*state, node->Name) ||
            ChildNamed(*folder, original))
            continue;
        TakeName(*folder, *node, original);
    }
}

bool ForeignState(const TFileTree& State, const TFolderSource& Side, std::string& Error) {
    if (TFileTree::RootTextNames(State.Name, Side.DeviceType, Side.FolerAllName)) return false;
    Error = "written for another folder: " + State.Name;
    return true;
}

int32_t TFileOper::LoadSavedTreeThroughStream() {
    TFileAttri attri;
    attri.Name = FTreeFileName;
    attri.Path = std::string("/") + MARKER_FOLDER + "/";
    FSavedTreeHash = 0;
    FSavedTreeDamaged = false;
    FSavedTreeError.clear();
    std::string error = "empty";
    bool unreadable = false;  // could not be read, which says nothing of the file itself
    auto tree = TFileTree::Create(std::string(), nullptr);
    const std::string local = LocalPathOf(attri);
    if (!local.empty()) {
        uint64_t hash = 0;
        const int rc = LoadSavedStateFile(*tree, local, &error, FFileTree.get(), &hash);
        if (rc == ENOENT) return 1;  // no saved state yet
        if (rc == 0 && !ForeignState(*tree, *FFolderSource, error)) {
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
            !ForeignState(*tree, *FFolderSource, error)) {
            FSavedTree = tree;
            FSavedTreeHash = TFileTree::TextHash(stream);
            return 0;
        }
    }
    // Either way what the last sync left is unknown: the analysis then overwrites nothing.
    FSavedTreeDamaged = true;
    FSavedTreeError = error;
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

namespace {
constexpr size_t RANDOM_LENGTH = 16;    // the random part of NewReservedName and AsideName
constexpr size_t TEMP_FILE_RANDOM = 6;  // the random part mkostemp gives a TTempFile
constexpr std::string_view ASIDE_MARK = "r.";
constexpr size_t NAME_MAX_BYTES = 255;

bool IsLowerAlnum(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}
bool IsAlnum(char c) noexcept {
    return IsLowerAlnum(c) || (c >= 'A' && c <= 'Z');
}
// Whether Text begins with Count characters that all pass Test.
bool StartsWithRun(std::string_view Text, size_t Count, bool (*Test)(char) noexcept) noexcept {
    return Text.size() >= Count && std::all_of(Text.begin(), Text.begin() + Count, Test);
}
}  // namespace

bool IsReservedName(std::string_view Name) noexcept {
    if (!Name.starts_with(RESERVED_PREFIX)) return false;
    const std::string_view rest = Name.substr(RESERVED_PREFIX.size());
    if (rest.size() == RANDOM_LENGTH && StartsWithRun(rest, RANDOM_LENGTH, IsLowerAlnum)) return true;
    if (rest.size() == 2 + TEMP_FILE_RANDOM && IsTempFilePrefix(Name.substr(0, RESERVED_PREFIX.size() + 2)) &&
        StartsWithRun(rest.substr(2), TEMP_FILE_RANDOM, IsAlnum))
        return true;
    return !AsideOf(Name).empty();
}

std::string NewReservedName() {
    static constexpr char ALPHABET[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 engine{std::random_device{}()};
    std::string name(RESERVED_PREFIX);
    std::uniform_int_distribution<int> pick(0, sizeof ALPHABET - 2);
    for (size_t i = 0; i < RANDOM_LENGTH; ++i) name.push_back(ALPHABET[pick(engine)]);
    return name;
}

std::string AsideName(std::string_view Name) {
    const std::string random = NewReservedName();
    if (random.size() + ASIDE_MARK.size() + 1 + Name.size() > NAME_MAX_BYTES) return {};
    std::string aside(RESERVED_PREFIX);
    aside.append(ASIDE_MARK).append(random, RESERVED_PREFIX.size()).append(".").append(Name);
    return aside;
}

std::string_view AsideOf(std::string_view Name) noexcept {
    if (!Name.starts_with(RESERVED_PREFIX)) return {};
    Name.remove_prefix(RESERVED_PREFIX.size());
    if (!Name.starts_with(ASIDE_MARK)) return {};
    Name.remove_prefix(ASIDE_MARK.size());
    if (!StartsWithRun(Name, RANDOM_LENGTH, IsLowerAlnum) || Name.size() <= RANDOM_LENGTH + 1 ||
        Name[RANDOM_LENGTH] != '.')
        return {};
    Name.remove_prefix(RANDOM_LENGTH + 1);
    return IsSafeName(Name) ? Name : std::string_view();
}

std::string_view LegacyAsideOf(std::string_view Name) noexcept {
    if (!Name.starts_with(RESERVED_PREFIX) || !AsideOf(Name).empty()) return {};
    Name.remove_prefix(RESERVED_PREFIX.size());
    if (!Name.starts_with(ASIDE_MARK)) return {};
    Name.remove_prefix(ASIDE_MARK.size());
    return IsSafeName(Name) ? Name : std::string_view();
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
