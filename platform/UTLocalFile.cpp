#include "platform/UTLocalFile.h"

#include "platform/UTLocalRoot.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>

namespace bfs {

namespace {

// Takes the writer's lock on a file this program is writing. True when the lock is held and the
// file still has its name (a listing may have removed it between its creation and the lock); a file
// system without locks counts as locked, since no listing can lock, and so remove, anything there
// either.
bool LockForWriting(int Fd, struct stat& St) noexcept {
    if (::flock(Fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) return false;
    return ::fstat(Fd, &St) == 0 && St.st_nlink > 0;
}

bool SameFile(const struct stat& A, const struct stat* B) noexcept {
    return B && A.st_dev == B->st_dev && A.st_ino == B->st_ino;
}

// Readies the file already at Path for being written over: only a regular file (no link, no folder)
// that is not Source, given the owner's write permission when it lacks it. 1 ready, 0 refused,
// -1 gone meanwhile.
int ReadyExisting(const std::string& Path, const struct stat* Source) {
    const TFd probe(OpenLocal(Path, O_PATH | O_NOFOLLOW));
    struct stat st {};
    if (probe.Get() < 0) return errno == ENOENT ? -1 : 0;
    if (::fstat(probe.Get(), &st) != 0 || !S_ISREG(st.st_mode) || SameFile(st, Source)) return 0;
    if ((st.st_mode & S_IWUSR) != 0) return 1;
    // Through the descriptor, so that the file looked at is the file changed.
    const std::string self = "/proc/self/fd/" + std::to_string(probe.Get());
    return ::chmod(self.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0 ? 1 : 0;
}

// Opens Path for writing, created when missing (Created tells which), under the writer's lock and
// not yet truncated. -1 when it cannot be opened, is refused (ReadyExisting) or another writer
// holds it. A new name, the usual case, costs one open.
int OpenForWriting(const std::string& Path, mode_t Mode, const struct stat* Source, bool& Created,
                   struct stat& St) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        Created = true;
        int fd = OpenLocal(Path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, Mode);
        if (fd < 0 && errno == EEXIST) {
            Created = false;
            const int ready = ReadyExisting(Path, Source);
            if (ready == 0) return -1;
            if (ready < 0) continue;  // removed since
            fd = OpenLocal(Path, O_WRONLY | O_NOFOLLOW);
            if (fd < 0 && errno == ENOENT) continue;
        }
        if (fd < 0) return -1;
        if (LockForWriting(fd, St)) return fd;
        ::close(fd);
    }
    return -1;
}

// Removes the file Path names, reached as it was created. A file that cannot be removed now (not
// even memory to reach it) is left to the next listing of its folder.
void RemoveLocal(const std::string& Path) noexcept {
    try {
        const TLocalParent parent(Path);
        if (parent.Ok()) ::unlinkat(parent.Dir(), parent.Name(), 0);
    } catch (...) {
    }
}

// Six random letters and digits for a temporary name.
std::string RandomPart() {
    static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 engine{std::random_device{}()};
    std::uniform_int_distribution<int> pick(0, sizeof ALPHABET - 2);
    std::string part(6, ' ');
    for (char& c : part) c = ALPHABET[pick(engine)];
    return part;
}

}  // namespace

bool TFd::Reset() noexcept {
    bool ok = true;
    if (m_Fd >= 0) ok = ::close(m_Fd) == 0;
    m_Fd = -1;
    return ok;
}

int WriteAll(int Fd, std::string_view Data) noexcept {
    while (!Data.empty()) {
        const ssize_t n = ::write(Fd, Data.data(), Data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        Data.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

ssize_t ReadFull(int Fd, char* Buffer, size_t Size) noexcept {
    size_t got = 0;
    while (got < Size) {
        const ssize_t n = ::read(Fd, Buffer + got, Size - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

int OpenForReading(const std::string& Path, struct stat& St) noexcept {
    // Opened without waiting: a pipe put where a file was expected would block an ordinary open
    // until a writer came. A regular file then reads as usual.
    const int fd = OpenLocal(Path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return -1;
    if (::fstat(fd, &St) != 0 || !S_ISREG(St.st_mode)) {
        ::close(fd);
        errno = EINVAL;  // not a file
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int64_t CopyBytes(int In, int Out, int64_t Size) noexcept {
    int64_t done = 0;
    static thread_local bool t_KernelCopy = true;
    while (t_KernelCopy && done < Size) {
        const ssize_t n = ::copy_file_range(In, nullptr, Out, nullptr, static_cast<size_t>(Size - done), 0);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n == 0) return done;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
        if (done > 0) return done;      // the next call goes on from here through the buffer
        t_KernelCopy = errno == EXDEV;  // EXDEV depends on the pair of files; the others on the system
        break;
    }
    static thread_local std::unique_ptr<char[]> t_Buffer;
    if (!t_Buffer) t_Buffer.reset(new (std::nothrow) char[COPY_CHUNK]);
    if (!t_Buffer) return -1;
    while (done < Size) {
        const auto want = static_cast<size_t>(std::min<int64_t>(Size - done, COPY_CHUNK));
        const ssize_t n = ReadFull(In, t_Buffer.get(), want);
        if (n < 0) return -1;
        if (n == 0) break;
        if (WriteAll(Out, std::string_view(t_Buffer.get(), static_cast<size_t>(n))) != 0) return -1;
        done += n;
    }
    return done;
}

bool SameTimes(const struct stat& A, const struct stat& B) noexcept {
    return A.st_mtim.tv_sec == B.st_mtim.tv_sec && A.st_mtim.tv_nsec == B.st_mtim.tv_nsec &&
           A.st_ctim.tv_sec == B.st_ctim.tv_sec && A.st_ctim.tv_nsec == B.st_ctim.tv_nsec;
}

TCopyResult CopyFileContents(int In, const struct stat& InStat, int Out, const TCopyProgress& Progress,
                             std::stop_token Stop) {
    const int64_t total = static_cast<int64_t>(InStat.st_size);
    int64_t done = 0;
    while (done < total) {
        if (Stop.stop_requested()) return TCopyResult::Stopped;
        const int64_t n = CopyBytes(In, Out, std::min<int64_t>(total - done, COPY_CHUNK));
        if (n < 0) return TCopyResult::Failed;
        if (n == 0) break;  // shorter than it was: checked below
        done += n;
        if (Progress) Progress(done, total);
    }
    // A file that shrank, grew or was written to while it was copied is not the file that was opened.
    char probe;
    const ssize_t beyond = ::read(In, &probe, 1);
    struct stat after {};
    if (beyond < 0 || ::fstat(In, &after) != 0) return TCopyResult::Failed;
    if (done != total || beyond != 0 || after.st_size != InStat.st_size || !SameTimes(after, InStat))
        return TCopyResult::SourceChanged;
    return TCopyResult::Done;
}

TTempFile::TTempFile(const std::string& Folder, std::string_view Prefix) {
    m_Dir = TFd(OpenLocal(Folder, O_PATH | O_DIRECTORY));
    if (m_Dir.Get() < 0) return;
    // As mkostemp(3) makes names, but in the folder held: a link put in the folder's place meanwhile
    // is never followed.
    for (int attempt = 0, locks = 0; attempt < 100 && locks < 3 && m_Fd < 0; ++attempt) {
        std::string name(Prefix);
        name += RandomPart();
        const int fd =
            ::openat(m_Dir.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return;
        }
        struct stat st {};
        if (LockForWriting(fd, st)) {
            m_Fd = fd;
            m_Name = std::move(name);
            m_Path = Folder + m_Name;
        } else {
            ++locks;
            ::close(fd);  // a listing took it for a leftover: it removes it, a fresh name follows
        }
    }
}

TTempFile::~TTempFile() {
    if (m_Fd < 0) return;
    ::unlinkat(m_Dir.Get(), m_Name.c_str(), 0);  // still under the lock
    ::close(m_Fd);
}

bool TTempFile::CommitAs(const std::string& Target) {
    if (m_Fd < 0 || ::fsync(m_Fd) != 0) return false;
    // A target in the temporary file's own folder (the usual case) is named in the folder held.
    const std::string_view folder(m_Path.data(), m_Path.size() - m_Name.size());
    const size_t slash = Target.rfind('/');
    int renamed;
    if (slash != std::string::npos && std::string_view(Target).substr(0, slash + 1) == folder) {
        renamed = ::renameat(m_Dir.Get(), m_Name.c_str(), m_Dir.Get(), Target.c_str() + slash + 1);
    } else {
        const TLocalParent parent(Target);
        renamed = parent.Ok() ? ::renameat(m_Dir.Get(), m_Name.c_str(), parent.Dir(), parent.Name()) : -1;
    }
    if (renamed != 0) return false;
    const bool closed = ::close(m_Fd) == 0;
    m_Fd = -1;
    return closed;
}

bool TCopyTarget::Open(const std::string& Path, mode_t Mode, const struct stat* Source) {
    Abandon();
    m_Path = Path;
    struct stat st {};
    m_Fd = OpenForWriting(Path, Mode, Source, m_Created, st);
    if (m_Fd < 0) {
        m_Created = false;
        return false;
    }
    // Checked again on what was opened: the name may have been given to the source meanwhile.
    // Only a file that was there is emptied: truncating a new one would make ext4 flush it on close
    // (its guard for files rewritten in place), one write-out per file of a large copy.
    if (SameFile(st, Source) || (!m_Created && ::ftruncate(m_Fd, 0) != 0)) {
        Abandon();
        return false;
    }
    return true;
}

bool TCopyTarget::Finish(const timespec Times[2]) noexcept {
    if (m_Fd < 0) return false;
    if (::futimens(m_Fd, Times) != 0) {
        Abandon();
        return false;
    }
    const bool closed = ::close(m_Fd) == 0;
    m_Fd = -1;
    if (!closed && m_Created) RemoveLocal(m_Path);
    return closed;
}

void TCopyTarget::Abandon() noexcept {
    if (m_Fd < 0) return;
    if (m_Created) RemoveLocal(m_Path);  // still under the lock
    ::close(m_Fd);
    m_Fd = -1;
}

mode_t ProcessUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("Umask:"))
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
    return 022;
}

}  // namespace bfs
