#include "platform/UTLocalRoot.h"

#include "platform/UTFolders.h"

#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

namespace bfs {

namespace {

// The roots open in this process. Holders share a root by path; a root leaves the list when its
// last holder lets it go.
struct TRootList {
    std::mutex Lock;
    std::vector<TLocalRoot*> Roots;
};

TRootList& Roots() {
    static TRootList list;
    return list;
}

std::atomic<bool> g_PartByPart{false};

// Whether the kernel resolves paths beneath a folder itself. Asked once: a kernel without openat2,
// or a sandbox that forbids it (some answer EPERM rather than ENOSYS), gets the part-by-part walk.
bool KernelResolves() {
    static const bool has = [] {
        open_how how{};
        how.flags = O_PATH | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
        const long fd = ::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how);
        if (fd >= 0) ::close(static_cast<int>(fd));
        return fd >= 0 || (errno != ENOSYS && errno != EPERM);
    }();
    return has && !g_PartByPart.load(std::memory_order_relaxed);
}

// A descriptor of the walks, closed when replaced or when the walk ends.
struct TFdHolder {
    int Fd = -1;
    ~TFdHolder() { Reset(-1); }
    void Reset(int New) {
        if (Fd >= 0) ::close(Fd);
        Fd = New;
    }
};

// The next part of Rel (parts "" and "." skipped), taken off its front; false at the end.
bool NextPart(std::string_view& Rel, std::string_view& Part) {
    while (!Rel.empty()) {
        const size_t slash = Rel.find('/');
        Part = Rel.substr(0, slash);
        Rel.remove_prefix(slash == std::string_view::npos ? Rel.size() : slash + 1);
        if (!Part.empty() && Part != ".") return true;
    }
    return false;
}

// After a part-by-part open refused Name in Dir: ELOOP when Name is a link (O_DIRECTORY refuses a
// link with ENOTDIR), errno as it was otherwise.
int Refusal(int Dir, const std::string& Name) {
    const int err = errno;
    struct stat st {};
    return ::fstatat(Dir, Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) ? ELOOP : err;
}

int Fail(int Err) {
    errno = Err;
    return -1;
}

int WalkBeneath(int RootFd, std::string_view Rel, int Flags, mode_t Mode) {
    std::string_view rest = Rel, part;
    std::string name = ".";
    TFdHolder held;
    int dir = RootFd;
    bool more = NextPart(rest, part);
    while (more) {
        if (part == "..") return Fail(EXDEV);
        name.assign(part);
        more = NextPart(rest, part);
        if (!more) break;
        const int next = ::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) return Fail(Refusal(dir, name));
        held.Reset(next);
        dir = next;
    }
    const int fd = ::openat(dir, name.c_str(), Flags | O_NOFOLLOW | O_CLOEXEC, Mode);
    if (fd < 0) return Fail(errno == ENOTDIR || errno == ELOOP ? Refusal(dir, name) : errno);
    // O_PATH without O_NOFOLLOW asks for what a link leads to, which is never followed here.
    struct stat st {};
    if ((Flags & O_PATH) != 0 && (Flags & O_NOFOLLOW) == 0 && ::fstat(fd, &st) == 0 && S_ISLNK(st.st_mode)) {
        ::close(fd);
        return Fail(ELOOP);
    }
    return fd;
}

// Whether Path is Folder or lies below it.
bool Below(std::string_view Path, std::string_view Folder) noexcept {
    return Folder == "/" ||
           (Path.starts_with(Folder) && (Path.size() == Folder.size() || Path[Folder.size()] == '/'));
}

// The known root that Path lies under (the longest), with Rel set to the part below it; null when
// Path lies under none.
TLocalRootRef RootOfPath(std::string_view Path, std::string_view& Rel) {
    if (Path.empty() || Path.front() != '/') return nullptr;
    TRootList& list = Roots();
    std::lock_guard lock(list.Lock);
    // Chosen by pointer: a reference let go under the lock could end a root, whose destructor takes
    // the lock. A root whose last holder let it go (expired) stays listed until its destructor ends.
    const TLocalRoot* best = nullptr;
    for (const TLocalRoot* root : list.Roots)
        if ((!best || root->Path().size() > best->Path().size()) && Below(Path, root->Path()) &&
            !root->InOwnFolder(Path) && !root->weak_from_this().expired())
            best = root;
    TLocalRootRef held = best ? best->weak_from_this().lock() : nullptr;
    if (held) Rel = Path.substr(std::min(Path.size(), held->Path() == "/" ? 1 : held->Path().size() + 1));
    return held;
}

// The root held by another holder of the same path, or null.
TLocalRootRef Shared(const TRootList& List, const std::string& Path) {
    for (TLocalRoot* root : List.Roots)
        if (root->Path() == Path)
            if (TLocalRootRef held = root->weak_from_this().lock()) return held;
    return nullptr;
}

}  // namespace

TLocalRootRef TLocalRoot::Open(const std::string& Path) {
    TRootList& list = Roots();
    {
        std::lock_guard lock(list.Lock);
        if (TLocalRootRef held = Shared(list, Path)) return held;
    }
    // Opened and made outside the lock: a root that goes again (its destructor) takes the lock itself.
    const int fd = ::open(Path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::shared_ptr<TLocalRoot> root(new TLocalRoot(Path, fd));
    std::lock_guard lock(list.Lock);
    if (TLocalRootRef held = Shared(list, Path))
        return held;  // opened meanwhile elsewhere; root goes after the lock
    list.Roots.push_back(root.get());
    return root;
}

TLocalRoot::TLocalRoot(std::string Path, int Fd) : m_Path(std::move(Path)), m_Fd(Fd) {
    for (std::string& own : OwnFolderPaths())
        if (Below(own, m_Path)) m_Own.push_back(std::move(own));
}

bool TLocalRoot::InOwnFolder(std::string_view Path) const noexcept {
    for (const std::string& own : m_Own)
        if (Below(Path, own)) return true;
    return false;
}

TLocalRoot::~TLocalRoot() {
    TRootList& list = Roots();
    {
        std::lock_guard lock(list.Lock);
        std::erase(list.Roots, this);
    }
    ::close(m_Fd);
}

int OpenBeneath(int RootFd, std::string_view Rel, int Flags, mode_t Mode) {
    if (!KernelResolves()) return WalkBeneath(RootFd, Rel, Flags, Mode);
    while (!Rel.empty() && Rel.front() == '/') Rel.remove_prefix(1);
    const std::string rel = Rel.empty() ? std::string(".") : std::string(Rel);
    open_how how{};
    how.flags = static_cast<uint64_t>(Flags | O_CLOEXEC);
    how.mode = (Flags & O_CREAT) != 0 ? Mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    for (int attempt = 0;; ++attempt) {
        const long fd = ::syscall(SYS_openat2, RootFd, rel.c_str(), &how, sizeof how);
        // EAGAIN: a rename elsewhere raced the look-up; worth a few more tries.
        if (fd >= 0 || (errno != EAGAIN && errno != EINTR) || attempt == 8) return static_cast<int>(fd);
    }
}

int MakeFoldersBeneath(int RootFd, std::string_view Rel, mode_t Mode) {
    std::string_view part;
    std::string name;
    TFdHolder held;
    int dir = RootFd;
    while (NextPart(Rel, part)) {
        if (part == "..") return EXDEV;
        name.assign(part);
        int fd = ::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            if (::mkdirat(dir, name.c_str(), Mode) != 0 && errno != EEXIST) return errno;
            fd = ::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (fd < 0) return Refusal(dir, name);
        held.Reset(fd);
        dir = fd;
    }
    return 0;
}

int OpenLocal(const std::string& Path, int Flags, mode_t Mode) {
    std::string_view rel;
    if (const TLocalRootRef root = RootOfPath(Path, rel)) return OpenBeneath(root->Fd(), rel, Flags, Mode);
    return ::open(Path.c_str(), Flags | O_CLOEXEC, Mode);
}

int StatLocal(const std::string& Path, struct stat& St) {
    std::string_view rel;
    const TLocalRootRef root = RootOfPath(Path, rel);
    if (!root) return ::lstat(Path.c_str(), &St);
    const int fd = OpenBeneath(root->Fd(), rel, O_PATH | O_NOFOLLOW);
    if (fd < 0) return -1;
    const int result = ::fstat(fd, &St);
    ::close(fd);
    return result;
}

TLocalParent::TLocalParent(const std::string& Path) {
    std::string_view rel;
    m_Root = RootOfPath(Path, rel);
    if (!m_Root) {
        m_Name = Path;
        return;
    }
    while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
    const size_t slash = rel.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? rel : rel.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        m_Error = errno = EINVAL;  // the root itself, or no name to act on
        return;
    }
    m_Name.assign(name);
    if (slash == std::string_view::npos) {
        m_Dir = m_Root->Fd();
        return;
    }
    m_Dir = OpenBeneath(m_Root->Fd(), rel.substr(0, slash), O_PATH | O_DIRECTORY);
    if (m_Dir < 0) {
        m_Error = errno;
        return;
    }
    m_Owned = true;
}

TLocalParent::~TLocalParent() {
    if (m_Owned) ::close(m_Dir);
}

void ResolvePartByPart(bool On) {
    g_PartByPart = On;
}

}  // namespace bfs
