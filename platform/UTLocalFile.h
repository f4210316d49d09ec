#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

namespace bfs {

// Writing and copying local files for the storage back-ends: the local side copies with it, and a
// side reached over a network downloads into and uploads from local files with it, so that no
// back-end has copy code of its own. A path that lies under the open root of a local side is
// reached beneath that root, through no link (UTLocalRoot.h).
//
// The writer's lock: every file written here is held under an exclusive flock(2) from the moment
// it is opened or created until it is committed, closed or removed. A listing that finds one of
// this program's temporary files removes it only after taking that lock itself without waiting:
// a file being written is never taken away, and one whose writer died (the kernel frees its lock)
// goes with the next listing.

// The process's file-mode creation mask, read without changing it (umask(2) would, for a moment, for
// every thread); 022 when it cannot be read.
mode_t ProcessUmask();

// Copies move in chunks of this size (2 MiB); progress is reported once per chunk.
inline constexpr int64_t COPY_CHUNK = 2097152;

// A descriptor closed when it goes out of scope.
class TFd {
  public:
    explicit TFd(int Fd = -1) noexcept : m_Fd(Fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    TFd(TFd&& Other) noexcept : m_Fd(Other.m_Fd) { Other.m_Fd = -1; }
    TFd& operator=(TFd&& Other) noexcept {
        if (this != &Other) {
            Reset();
            m_Fd = Other.m_Fd;
            Other.m_Fd = -1;
        }
        return *this;
    }
    ~TFd() { Reset(); }
    int Get() const noexcept { return m_Fd; }
    // Closes now; false when close reported an error (a write that never reached the disk).
    bool Reset() noexcept;

  private:
    int m_Fd;
};

// An open folder listing, closed when it goes out of scope.
struct TDirCloser {
    void operator()(DIR* Dir) const noexcept { ::closedir(Dir); }
};
using TDirPtr = std::unique_ptr<DIR, TDirCloser>;

// Writes all of Data, however many write(2) calls it takes (interrupted calls are repeated).
// 0, or the errno of the failing call (EIO when the file takes no more bytes).
int WriteAll(int Fd, std::string_view Data) noexcept;

// Reads until Buffer holds Size bytes or the file ends (interrupted calls are repeated). The bytes
// read, fewer only at the end of the file; -1 on a read error.
ssize_t ReadFull(int Fd, char* Buffer, size_t Size) noexcept;

// Opens Path for reading when it is a regular file (a link at Path is not followed) and leaves its
// state at opening in St; -1 otherwise, with errno set (EINVAL: not a file; ELOOP: a link on the
// way beneath a side's root). Never waits on a pipe found at Path.
int OpenForReading(const std::string& Path, struct stat& St) noexcept;

// Copies up to Size bytes from the current position of In to the current position of Out: inside
// the kernel where the file systems allow it (no copy through user space), else through one buffer
// per thread. The bytes copied, fewer only at the end of In; -1 on a read or write error.
int64_t CopyBytes(int In, int Out, int64_t Size) noexcept;

// Whether A and B give a file the same modification and change times, to the nanosecond. The change
// time moves with every write, even one whose writer puts the modification time back, and no user
// can set it: a file with both times as they were has not been written to.
bool SameTimes(const struct stat& A, const struct stat& B) noexcept;

enum class TCopyResult {
    Done,           // every byte copied, and the source unchanged meanwhile
    Failed,         // a read or write failed
    SourceChanged,  // the source shrank, grew or was written to while it was copied
    Stopped,        // a stop request ended the copy early
};

// Called on the copying thread after each chunk, with the bytes copied so far and the source's size.
using TCopyProgress = std::function<void(int64_t Done, int64_t Total)>;

// Copies the regular file In (InStat: its state when it was opened, In still at its start) to Out
// in chunks of COPY_CHUNK, reporting each chunk to Progress (may be empty). Stop is tested before
// every chunk. Afterwards the source must still have InStat's size and change time, and nothing
// beyond that size, or the copy counts as SourceChanged (SameTimes). On any result but Done, Out holds
// whatever was written so far: the caller's TCopyTarget or TTempFile removes it.
TCopyResult CopyFileContents(int In, const struct stat& InStat, int Out, const TCopyProgress& Progress,
                             std::stop_token Stop = {});

// A temporary file in a folder, for a file that must appear under its final name whole or not at
// all. Its name is Folder + Prefix + six random letters and digits: short whatever the final name,
// unique, and of whatever form the caller's listings skip and clean up (Prefix). It is made with
// mode 0600 and held under the writer's lock from its creation on. The folder is reached once and
// held: the file is created, renamed and removed in the folder it was made in.
// Who removes it: the destructor, unless CommitAs gave it its final name; a writer that died leaves
// it to the next listing of the folder.
class TTempFile {
  public:
    // Folder is a full path ending in "/". Created() tells whether a file could be made.
    TTempFile(const std::string& Folder, std::string_view Prefix);
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;
    ~TTempFile();
    bool Created() const noexcept { return m_Fd >= 0; }
    int Fd() const noexcept { return m_Fd; }
    // The file's full path (empty when none was created).
    const std::string& Path() const noexcept { return m_Path; }
    // Flushes to disk, renames over Target in one step (the old Target stays whole until then) and
    // closes. False when any step failed; an uncommitted file is removed by the destructor.
    bool CommitAs(const std::string& Target);

  private:
    std::string m_Path;
    std::string m_Name;  // the file's name in its folder
    TFd m_Dir;           // the folder
    int m_Fd = -1;
};

// A file written in place under its own name: a copy to a name the caller already chose as a
// temporary one, a download into a local file.
// What a failure leaves: a file that Open created is removed (under the writer's lock), so no file
// stays under a name that did not exist before; a file that existed has been emptied and holds what
// was written so far. Callers that must never expose part of a file write to a temporary name.
class TCopyTarget {
  public:
    TCopyTarget() = default;
    TCopyTarget(const TCopyTarget&) = delete;
    TCopyTarget& operator=(const TCopyTarget&) = delete;
    // An unfinished target is abandoned (see Abandon).
    ~TCopyTarget() { Abandon(); }

    // Opens Path for writing under the writer's lock: created with Mode (less the umask) when
    // missing, else emptied. Refused (false): a link, a folder or another non-regular file at Path;
    // the file Source itself under a second name (same device and inode; Source may be null), which
    // emptying would destroy; a file another writer holds. An existing file without the owner's
    // write permission gets it first, and keeps it even when it is then refused.
    bool Open(const std::string& Path, mode_t Mode, const struct stat* Source);
    int Fd() const noexcept { return m_Fd; }
    // Whether Open created the file.
    bool Created() const noexcept { return m_Created; }
    // Gives the file Times (as futimens(2) takes them) and closes it. False when a step failed; a
    // file Open created is then removed.
    bool Finish(const timespec Times[2]) noexcept;
    // Ends an unfinished write: closes the file, and removes it first when Open created it.
    void Abandon() noexcept;

  private:
    std::string m_Path;
    int m_Fd = -1;
    bool m_Created = false;
};

}  // namespace bfs
