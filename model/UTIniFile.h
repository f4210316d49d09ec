#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

// An ini file read and written with the rules of the Windows private-profile functions, so files
// written by hand or by older versions read the same:
// - section and key names compare ASCII case-insensitively; names and values are trimmed of white
//   space (TrimWhiteSpace: other control characters stay);
// - the first occurrence of a key wins; a section that appears twice is read as one, in file order;
// - one pair of matching surrounding quotes ("..." or '...') is stripped from a value;
// - lines whose first non-blank character is ";" or "#" are comments; lines before the first
//   section are ignored when reading.
// The file is held as its lines: writing a key changes only that key's line, and comments, unknown
// keys and sections and every other line stay byte for byte. Lines are read up to LF (a CR ending a
// line is dropped) and written ending CR LF. Text is UTF-8 and passes through untouched; a
// leading UTF-8 byte-order mark is kept.
// Nothing reaches the disk before Save, which replaces the whole file atomically.
class TIniFile {
  public:
    TIniFile() = default;
    // Same as Load(FileName), the result ignored (a missing file is an empty ini).
    explicit TIniFile(const std::string& FileName);

    // Reads the file and remembers its name for Save. Returns 0, or the errno of the failure
    // (ENOENT for a missing file); on failure the ini is empty.
    int Load(const std::string& FileName);
    // Replaces the contents by Text (the file name is kept).
    void SetText(std::string_view Text);
    // The contents as Save writes them.
    std::string GetText() const;
    const std::string& FileName() const { return m_FileName; }

    // The value, or Default when the key is absent (an empty value is returned as empty).
    std::string ReadString(std::string_view Section, std::string_view Key, std::string_view Default) const;
    // The value read as a decimal or "0x" hexadecimal 32-bit number; Default when the key is absent
    // or its value is not such a number.
    int32_t ReadInteger(std::string_view Section, std::string_view Key, int32_t Default) const;

    // Sets the value: an existing key is changed where it stands (its first occurrence), a new key
    // goes after the last entry of its section, a new section at the end. A value that the reading
    // rules would alter (surrounding blanks, surrounding matching quotes) is written in quotes so it
    // reads back unchanged. Returns 0, or EINVAL when the name or value cannot be held by one line
    // (line breaks, a key that is empty or holds "=", a section name holding "]").
    int WriteString(std::string_view Section, std::string_view Key, std::string_view Value);
    int WriteInteger(std::string_view Section, std::string_view Key, int32_t Value);

    bool SectionExists(std::string_view Section) const;
    bool ValueExists(std::string_view Section, std::string_view Key) const;

    // Writes the contents to the file given to Load (WriteFileAtomic). Returns 0 or an errno.
    int Save() const;

  private:
    enum class TLineKind { Other, Section, Key };
    struct TLine {
        std::string Text;  // the line without its line break
        TLineKind Kind = TLineKind::Other;
        std::string Name;     // section or key name, trimmed
        size_t ValuePos = 0;  // Key: where the value starts (after "=" and the blanks behind it)
    };

    static TLine ParseLine(std::string Text);
    // Index of the line holding the key's first occurrence, or npos.
    size_t FindKey(std::string_view Section, std::string_view Key) const;
    // Where a new key of the section goes, or npos when the section does not exist.
    size_t InsertPosition(std::string_view Section) const;

    std::string m_FileName;
    bool m_Bom = false;
    std::vector<TLine> m_Lines;
};

}  // namespace bfs
