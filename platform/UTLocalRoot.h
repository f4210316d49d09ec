#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

// A local side is reached only beneath its root. A TLocalRoot holds a side's root open (a link at
// the root's own path is followed, once, when it is opened: the user chose that folder) and makes
// it known to the whole process while any holder lives. From then on the functions for a side's
// files (OpenLocal, StatLocal, TLocalParent, and through them UTLocalFile.h's OpenForReading,
// TTempFile and TCopyTarget) resolve a path that lies under a known root beneath that root's
// descriptor, following no link in any part (the longest known root wins). So a path that one
// back-end hands to another (a download into a local side, an upload from one) stays beneath its
// side's root whichever of them opens it. Any other path, and any path in the program's own
// folders (OwnFolderPaths: settings, saved states kept locally, staging files) even where one lies
// under a side's root, is opened as it is given. UTAtomicFile.h's functions, for the program's own
// files, always take paths as given.
class TLocalRoot : public std::enable_shared_from_this<TLocalRoot> {
  public:
    // The root at Path (absolute; no trailing "/" but on "/" itself), shared with every holder of
    // the same path; null (errno set) when it cannot be opened.
    static std::shared_ptr<const TLocalRoot> Open(const std::string& Path);

    TLocalRoot(const TLocalRoot&) = delete;
    TLocalRoot& operator=(const TLocalRoot&) = delete;
    ~TLocalRoot();

    const std::string& Path() const noexcept { return m_Path; }
    // An O_PATH descriptor of the folder: good for the *at(2) calls and for OpenBeneath.
    int Fd() const noexcept { return m_Fd; }
    // Whether Path (under this root) lies in one of the program's own folders.
    bool InOwnFolder(std::string_view Path) const noexcept;

  private:
    TLocalRoot(std::string Path, int Fd);
    std::string m_Path;
    int m_Fd;
    std::vector<std::string> m_Own;  // the program's own folders below this root
};
using TLocalRootRef = std::shared_ptr<const TLocalRoot>;

// Opens Rel ("/"-separated, relative; "" or "." is the folder itself) beneath the folder RootFd,
// following no link in any part: openat2(2) where the kernel has it, else one part at a time. Flags
// as open(2) takes them; a link as the last part is refused too, unless Flags hold both O_PATH and
// O_NOFOLLOW, which open the link itself. -1 with errno: ELOOP a link on the way, ENOTDIR a file on
// the way, EXDEV a ".." that leaves the folder.
int OpenBeneath(int RootFd, std::string_view Rel, int Flags, mode_t Mode = 0);

// Makes the folder Rel and every missing parent beneath the folder RootFd, one part at a time,
// following no link (an existing part must be a folder itself). 0, or the errno of the failing
// part (ELOOP: a link, ENOTDIR: a file).
int MakeFoldersBeneath(int RootFd, std::string_view Rel, mode_t Mode = 0755);

// Opens Path: beneath its root when it lies under a known one (OpenBeneath), else as open(2) does.
int OpenLocal(const std::string& Path, int Flags, mode_t Mode = 0);

// lstat(2) of Path, reached as OpenLocal reaches it. 0, or -1 with errno.
int StatLocal(const std::string& Path, struct stat& St);

// The folder holding Path's last part, reached as OpenLocal reaches it, and that part's name: for
// the calls that act on a name in a folder (unlinkat, renameat, fstatat). Outside every known root
// the folder is AT_FDCWD and the name the whole path, which the calls then resolve as before.
class TLocalParent {
  public:
    explicit TLocalParent(const std::string& Path);
    TLocalParent(const TLocalParent&) = delete;
    TLocalParent& operator=(const TLocalParent&) = delete;
    ~TLocalParent();
    // Whether the folder was reached; when not, errno was set by the constructor and Error() has it.
    bool Ok() const noexcept { return m_Error == 0; }
    int Error() const noexcept { return m_Error; }
    int Dir() const noexcept { return m_Dir; }
    const char* Name() const noexcept { return m_Name.c_str(); }

  private:
    TLocalRootRef m_Root;  // keeps a borrowed root descriptor open
    int m_Dir = AT_FDCWD;
    bool m_Owned = false;
    std::string m_Name;
    int m_Error = 0;
};

// Makes OpenBeneath walk part by part even where the kernel has openat2 (tests of the walk that
// older kernels use); false gives the kernel's way back.
void ResolvePartByPart(bool On);

}  // namespace bfs
