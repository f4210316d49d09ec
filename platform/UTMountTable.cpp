#include "platform/UTMountTable.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

namespace bfs {

namespace {

bool IsOctal(char C) {
    return C >= '0' && C <= '7';
}

// The next blank-separated field of Line from Pos on; empty at the end of the line.
std::string_view NextField(std::string_view Line, size_t& Pos) {
    while (Pos < Line.size() && Line[Pos] == ' ') ++Pos;
    const size_t start = Pos;
    while (Pos < Line.size() && Line[Pos] != ' ') ++Pos;
    return Line.substr(start, Pos - start);
}

}  // namespace

std::string UnescapeMountField(std::string_view Field) {
    std::string out;
    out.reserve(Field.size());
    for (size_t i = 0; i < Field.size(); ++i) {
        // Three octal digits make at most 0777; the kernel escapes single bytes, so only the low
        // eight bits are meant.
        if (Field[i] == '\\' && Field.size() - i > 3 && IsOctal(Field[i + 1]) && IsOctal(Field[i + 2]) &&
            IsOctal(Field[i + 3])) {
            const int value = (Field[i + 1] - '0') * 64 + (Field[i + 2] - '0') * 8 + (Field[i + 3] - '0');
            out += static_cast<char>(value & 0xFF);
            i += 3;
        } else {
            out += Field[i];
        }
    }
    return out;
}

std::vector<TMountEntry> ParseMountInfo(std::string_view Text) {
    std::vector<TMountEntry> entries;
    size_t lineStart = 0;
    while (lineStart < Text.size()) {
        size_t lineEnd = Text.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) lineEnd = Text.size();
        const std::string_view line = Text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;

        size_t pos = 0;
        const std::string_view id = NextField(line, pos);
        NextField(line, pos);  // parent identifier
        const std::string_view device = NextField(line, pos);
        const std::string_view root = NextField(line, pos);
        const std::string_view point = NextField(line, pos);
        TMountEntry entry;
        const auto [end, ec] = std::from_chars(id.data(), id.data() + id.size(), entry.MountID);
        if (ec != std::errc() || end != id.data() + id.size() || device.empty() || root.empty() ||
            point.empty())
            continue;
        entry.Device = std::string(device);
        entry.MountPoint = UnescapeMountField(point);
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<std::string> TMountTable::Added() {
    std::ifstream file(m_FileName, std::ios::binary);
    if (!file) return {};
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) return {};

    // A table always holds the root file system: one without entries was not read whole.
    std::vector<TMountEntry> entries = ParseMountInfo(text.str());
    if (entries.empty()) return {};

    std::set<TKey> now;
    std::vector<std::string> added;
    for (TMountEntry& e : entries) {
        TKey key{e.MountID, e.Device, e.MountPoint};
        if (m_Read && !m_Known.count(key) &&
            std::find(added.begin(), added.end(), e.MountPoint) == added.end())
            added.push_back(e.MountPoint);
        now.insert(std::move(key));
    }
    m_Known = std::move(now);
    m_Read = true;
    return added;
}

}  // namespace bfs
