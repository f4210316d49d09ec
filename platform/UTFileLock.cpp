#include "platform/UTFileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace bfs {

bool TFileLock::TryLock(const std::string& Path) {
    if (Held()) {
        m_LastError = Path == m_Path ? 0 : EBUSY;
        return m_LastError == 0;
    }
    // Read access is all flock needs, and it also opens a lock file whose write bit was taken away.
    // A link in the lock file's place is not followed (ELOOP).
    const int fd = ::open(Path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
    if (fd < 0) {
        m_LastError = errno;
        return false;
    }
    int rc;
    do rc = ::flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        m_LastError = errno;  // EWOULDBLOCK when another holder has it
        ::close(fd);
        return false;
    }
    m_Fd = fd;
    m_Path = Path;
    m_LastError = 0;
    return true;
}

void TFileLock::Unlock() noexcept {
    if (m_Fd < 0) return;
    // Closing frees the lock. No LOCK_UN first: a child forked before it executes another program
    // shares the open file, and its own clean-up must not free the parent's lock.
    ::close(m_Fd);
    m_Fd = -1;
    m_Path.clear();
}

}  // namespace bfs
