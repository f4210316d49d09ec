#include "engine/UTContentCompare.h"

#include "model/UTDosTime.h"
#include "model/UTFolderSource.h"
#include "platform/UTFolders.h"
#include "platform/UTLocalFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

namespace bfs {

namespace {

constexpr size_t COMPARE_CHUNK = 1 << 20;

// A local copy of a side's file for the comparison: the file itself on a local side, else a staging
// copy that goes when this does.
class TLocalView {
  public:
    TLocalView(TFileOper& Oper, TFolderSource& Folder, const TFileAttri& Entry) {
        if (IsLocalKind(Folder.DeviceType)) {
            Path = Oper.GetFullPath(Folder, Entry);
            return;
        }
        m_Staging = MakeStagingFile();
        if (m_Staging.empty()) return;
        if (Oper.GetFile(m_Staging, Folder, Entry, 0, false) == 0) Path = m_Staging;
    }
    TLocalView(const TLocalView&) = delete;
    TLocalView& operator=(const TLocalView&) = delete;
    ~TLocalView() {
        if (!m_Staging.empty()) ::unlink(m_Staging.c_str());
    }
    std::string Path;  // empty: not available

  private:
    std::string m_Staging;
};

// Opens a local file that still has the listed size (and, on a local side, date).
int OpenAsListed(const std::string& Path, const TFileAttri& Entry, bool CheckDate) {
    struct stat st {};
    const int fd = OpenForReading(Path, st);
    if (fd < 0) return -1;
    if (st.st_size != Entry.Size || (CheckDate && UnixTimeToDosDate(st.st_mtime) != Entry.FileDate)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int32_t CompareEntryContents(TFileOper& Left, TFolderSource& LeftFolder, const TFileAttri& LeftEntry,
                             TFileOper& Right, TFolderSource& RightFolder, const TFileAttri& RightEntry) {
    if (LeftEntry.Size != RightEntry.Size) return 1;
    const TLocalView left(Left, LeftFolder, LeftEntry);
    const TLocalView right(Right, RightFolder, RightEntry);
    if (left.Path.empty() || right.Path.empty()) return -1;
    const TFd a(OpenAsListed(left.Path, LeftEntry, IsLocalKind(LeftFolder.DeviceType)));
    const TFd b(OpenAsListed(right.Path, RightEntry, IsLocalKind(RightFolder.DeviceType)));
    if (a.Get() < 0 || b.Get() < 0) return -1;
    const auto bufA = std::make_unique<char[]>(COMPARE_CHUNK);
    const auto bufB = std::make_unique<char[]>(COMPARE_CHUNK);
    for (;;) {
        const ssize_t na = ReadFull(a.Get(), bufA.get(), COMPARE_CHUNK);
        const ssize_t nb = ReadFull(b.Get(), bufB.get(), COMPARE_CHUNK);
        if (na < 0 || nb < 0) return -1;
        if (na != nb || std::memcmp(bufA.get(), bufB.get(), static_cast<size_t>(na)) != 0) return 1;
        if (na == 0) return 0;
    }
}

}  // namespace bfs
