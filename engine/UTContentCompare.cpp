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
    TFileOper* const opers[2] = {&Left, &Right};
    TFolderSource* const folders[2] = {&LeftFolder, &RightFolder};
    const TFileAttri* const entries[2] = {&LeftEntry, &RightEntry};
    // A digest a side keeps spares reading its file: both sides' digests are compared, or the other
    // side's file is read (from a staging copy where it is remote) and digested the same way.
    std::string digests[2];
    bool known[2] = {false, false};
    for (int side : {0, 1})
        if (!IsLocalKind(folders[side]->DeviceType))
            known[side] = opers[side]->ContentDigest(*folders[side], *entries[side], digests[side]);
    const auto kind = [](const std::string& Digest) { return Digest.substr(0, Digest.find(':')); };
    if (known[0] && known[1] && kind(digests[0]) == kind(digests[1])) return digests[0] == digests[1] ? 0 : 1;
    if (known[0] || known[1]) {
        const int kept = known[0] ? 0 : 1, read = 1 - kept;
        const TLocalView view(*opers[read], *folders[read], *entries[read]);
        if (view.Path.empty()) return -1;
        const TFd fd(OpenAsListed(view.Path, *entries[read], IsLocalKind(folders[read]->DeviceType)));
        if (fd.Get() < 0) return -1;
        std::string digest;
        const auto bytes = [&fd](char* Buffer, std::size_t Capacity) -> int64_t {
            return ReadFull(fd.Get(), Buffer, Capacity);
        };
        if (opers[kept]->DigestOf(bytes, digest)) return digest == digests[kept] ? 0 : 1;
    }
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
