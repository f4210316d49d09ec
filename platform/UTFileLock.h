#pragma once

#include <string>

namespace bfs {

// An exclusive advisory lock on a file (flock), held while the object holds it. flock belongs to
// the open file, so a second TFileLock on the same path is refused even within one process, and
// the kernel frees the lock of a process that dies in any way. The lock file itself is never
// removed: another process may have it open and be about to lock it, and removing it then would
// let two holders lock two different files of one name.
class TFileLock {
  public:
    TFileLock() = default;
    ~TFileLock() { Unlock(); }
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

    // Opens Path (created with mode 0600 when missing; a symbolic link there is refused with ELOOP,
    // never followed) and takes the lock without waiting. True
    // when the lock is held, also when this object already holds it on Path. False when someone
    // else holds it (LastError() EWOULDBLOCK), when the file cannot be opened or locked (its errno),
    // or when this object holds a lock on another path (EBUSY; that lock is kept).
    bool TryLock(const std::string& Path);
    // Releases the lock, if held; the file stays.
    void Unlock() noexcept;
    bool Held() const noexcept { return m_Fd >= 0; }
    // The errno of the last refused TryLock; 0 after one that succeeded.
    int LastError() const noexcept { return m_LastError; }

  private:
    int m_Fd = -1;
    std::string m_Path;
    int m_LastError = 0;
};

}  // namespace bfs
