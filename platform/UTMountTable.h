#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace bfs {

// One line of a mountinfo table (proc(5)): "36 35 98:0 /root /mnt/point options ... - type source".
struct TMountEntry {
    uint64_t MountID = 0;
    std::string Device;      // "major:minor"
    std::string MountPoint;  // unescaped: the real path, blanks and all
};

// The octal escapes of a mountinfo field ("\040" blank, "\011" tab, "\012" line feed, "\134"
// backslash, any other three octal digits too) turned back into their bytes. A backslash not
// followed by three octal digits stays as it is.
std::string UnescapeMountField(std::string_view Field);

// The entries of a mountinfo table, in its order. Lines without an identifier, a device and a mount
// point are skipped.
std::vector<TMountEntry> ParseMountInfo(std::string_view Text);

// The mount table watched for new file systems: each reading tells the mounts that were not in the
// previous one. A mount is known by its identifier, device and mount point together, so a device
// mounted where another was just unmounted counts as new even when the kernel reuses the identifier.
class TMountTable {
  public:
    explicit TMountTable(std::string FileName = "/proc/self/mountinfo") : m_FileName(std::move(FileName)) {}

    // Reads the table and gives the mount points of the mounts added since the last reading, in
    // table order, each point once. The first reading only learns the table and gives none. A
    // reading that fails, or finds no entry at all, gives none and keeps the previous table, so a
    // mount is never reported twice.
    std::vector<std::string> Added();

  private:
    using TKey = std::tuple<uint64_t, std::string, std::string>;
    std::string m_FileName;
    bool m_Read = false;
    std::set<TKey> m_Known;
};

}  // namespace bfs
