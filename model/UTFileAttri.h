#pragma once

#include "model/UTRefPtr.h"
#include "model/UTSharedString.h"

#include <cstdint>
#include <string>

namespace bfs {

// Attribute bits of TFileAttri::Attr. On Linux: read-only when the owner may not write, hidden for
// names beginning with ".", system never; folders carry 16 and files 32.
constexpr int32_t FILE_ATTRIBUTE_READONLY = 1;
constexpr int32_t FILE_ATTRIBUTE_HIDDEN = 2;
constexpr int32_t FILE_ATTRIBUTE_SYSTEM = 4;
constexpr int32_t FILE_ATTRIBUTE_DIRECTORY = 16;
constexpr int32_t FILE_ATTRIBUTE_ARCHIVE = 32;
constexpr int32_t FILE_ATTRIBUTE_NORMAL = 128;

// One listed file or folder of a side.
struct TFileAttri : TRefCounted {
    int32_t IsFolder = 0;  // 1 folder, 0 file
    std::string Name;      // name within its folder
    int64_t Size = 0;      // bytes; a folder read back from a saved state has -1
    int32_t FileDate = 0;  // last change as a 32-bit DOS date-time (see UTDosTime.h)
    int32_t Attr = 0;      // attribute bits above
    TSharedString Path;    // holding folder relative to the root: "/" at the top, "/docs/" below
};

using TFileAttriRef = TRefPtr<TFileAttri>;

// DOS date-times are compared as unsigned 32-bit numbers: the top bit is a year bit (2044 on),
// so a negative stored value is a later date, not an earlier one.
inline int CompareFileDates(int32_t a, int32_t b) noexcept {
    const auto ua = static_cast<uint32_t>(a), ub = static_cast<uint32_t>(b);
    return ua < ub ? -1 : (ua > ub ? 1 : 0);
}

}  // namespace bfs
