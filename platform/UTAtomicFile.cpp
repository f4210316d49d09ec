#include "platform/UTAtomicFile.h"

#include "platform/UTLocalFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace bfs {

namespace {

std::string FolderOf(const std::string& path) {
    auto pos = path.rfind('/');
    if (pos == std::string::npos) return ".";
    if (pos == 0) return "/";
    return path.substr(0, pos);
}

}  // namespace

int WriteFileAtomic(const std::string& Path, std::string_view Data) {
    mode_t mode = 0644;
    struct stat st {};
    if (::stat(Path.c_str(), &st) == 0) mode = st.st_mode & 07777;
    return WriteFileAtomic(Path, Data, mode);
}

int WriteFileAtomic(const std::string& Path, std::string_view Data, unsigned Mode) {
    if (Path.empty()) return EINVAL;
    const mode_t mode = Mode & 07777;

    std::string temp = Path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return errno;
    int err = WriteAll(fd, Data);
    if (err == 0 && ::fchmod(fd, mode) != 0) err = errno;
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(temp.c_str(), Path.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        return err;
    }
    int dfd = ::open(FolderOf(Path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return 0;
}

int ReadWholeFile(const std::string& Path, std::string& Data) {
    Data.clear();
    int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) Data.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            Data.clear();
            return err;
        }
        if (n == 0) break;
        Data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return 0;
}

int AppendToFile(const std::string& Path, std::string_view Line) {
    int fd = ::open(Path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    // One write call: O_APPEND makes the seek-and-write atomic for regular files.
    int err = 0;
    ssize_t n;
    do {
        n = ::write(fd, Line.data(), Line.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        err = errno;
    else if (static_cast<size_t>(n) != Line.size())
        err = EIO;
    if (::close(fd) != 0 && err == 0) err = errno;
    return err;
}

int MakeFolders(const std::string& Path, unsigned Mode) {
    if (Path.empty()) return EINVAL;
    if (FolderExists(Path)) return 0;  // the usual case: one look, no walk from "/"
    std::string part;
    part.reserve(Path.size());
    size_t i = 0;
    while (i <= Path.size()) {
        size_t next = Path.find('/', i);
        if (next == std::string::npos) next = Path.size();
        part.assign(Path, 0, next);
        i = next + 1;
        if (part.empty() || part == "/") continue;
        if (::mkdir(part.c_str(), Mode) != 0) {
            if (errno == EEXIST) {
                if (!FolderExists(part)) return ENOTDIR;
                continue;
            }
            return errno;
        }
    }
    return 0;
}

bool FileExists(const std::string& Path) {
    struct stat st {};
    return ::stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FolderExists(const std::string& Path) {
    struct stat st {};
    return ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace bfs
