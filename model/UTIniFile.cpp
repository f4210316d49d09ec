#include "model/UTIniFile.h"

#include "model/UTPublicFunc.h"
#include "platform/UTAtomicFile.h"

#include <cerrno>
#include <charconv>

namespace bfs {

namespace {

constexpr std::string_view BOM = "\xEF\xBB\xBF";

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

bool HasQuotePair(std::string_view s) {
    return s.size() >= 2 && IsQuote(s.front()) && s.front() == s.back();
}

// Blank lines and comments: a new key is never placed after them, as a comment standing at the end of
// a section usually introduces the next one.
bool IsBlankOrComment(std::string_view Text) {
    std::string_view t = TrimWhiteSpace(Text);
    return t.empty() || t.front() == ';' || t.front() == '#';
}

bool HoldsLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

bool HasOuterBlanks(std::string_view s) {
    return TrimWhiteSpace(s).size() != s.size();
}

// The text to put after "=" so that trimming and quote stripping give Value back.
std::string EncodeValue(std::string_view Value) {
    if (HasOuterBlanks(Value) || HasQuotePair(Value)) return "\"" + std::string(Value) + "\"";
    return std::string(Value);
}

bool ParseInt32(std::string_view s, int32_t& Out) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        uint64_t v = 0;
        auto [end, ec] = std::from_chars(s.data() + 2, s.data() + s.size(), v, 16);
        if (ec != std::errc() || end != s.data() + s.size() || v > 0xFFFFFFFFu) return false;
        // Eight hex digits are a 32-bit pattern: 0xFFFFFFFF reads as -1.
        Out = static_cast<int32_t>(static_cast<uint32_t>(v));
        return true;
    }
    if (!s.empty() && s[0] == '+') {
        s.remove_prefix(1);
        if (!s.empty() && s[0] == '-') return false;
    }
    int64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 10);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return false;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    Out = static_cast<int32_t>(v);
    return true;
}

}  // namespace

TIniFile::TIniFile(const std::string& FileName) {
    Load(FileName);
}

int TIniFile::Load(const std::string& FileName) {
    m_FileName = FileName;
    std::string data;
    int err = ReadWholeFile(FileName, data);
    SetText(err == 0 ? data : std::string());
    return err;
}

TIniFile::TLine TIniFile::ParseLine(std::string Text) {
    TLine line;
    line.Text = std::move(Text);
    std::string_view t = TrimWhiteSpace(line.Text);
    if (t.empty() || t.front() == ';' || t.front() == '#') return line;
    if (t.front() == '[') {
        size_t close = t.find(']');
        if (close != std::string_view::npos) {
            line.Kind = TLineKind::Section;
            line.Name = TrimWhiteSpace(t.substr(1, close - 1));
        }
        return line;
    }
    size_t eq = line.Text.find('=');
    if (eq == std::string::npos) return line;
    std::string_view key = TrimWhiteSpace(std::string_view(line.Text).substr(0, eq));
    if (key.empty()) return line;
    line.Kind = TLineKind::Key;
    line.Name = key;
    size_t pos = line.Text.find_first_not_of(" \t", eq + 1);
    line.ValuePos = pos == std::string::npos ? line.Text.size() : pos;
    return line;
}

void TIniFile::SetText(std::string_view Text) {
    m_Lines.clear();
    m_Bom = Text.starts_with(BOM);
    if (m_Bom) Text.remove_prefix(BOM.size());
    while (!Text.empty()) {
        size_t lf = Text.find('\n');
        std::string_view line = Text.substr(0, lf);
        if (line.ends_with('\r')) line.remove_suffix(1);
        m_Lines.push_back(ParseLine(std::string(line)));
        Text.remove_prefix(lf == std::string_view::npos ? Text.size() : lf + 1);
    }
}

std::string TIniFile::GetText() const {
    std::string text = m_Bom ? std::string(BOM) : std::string();
    for (const TLine& line : m_Lines) {
        text += line.Text;
        text += "\r\n";
    }
    return text;
}

size_t TIniFile::FindKey(std::string_view Section, std::string_view Key) const {
    bool inside = false;
    for (size_t i = 0; i < m_Lines.size(); ++i) {
        const TLine& line = m_Lines[i];
        if (line.Kind == TLineKind::Section)
            inside = SameName(line.Name, Section);
        else if (inside && line.Kind == TLineKind::Key && SameName(line.Name, Key))
            return i;
    }
    return std::string::npos;
}

size_t TIniFile::InsertPosition(std::string_view Section) const {
    size_t i = 0;
    auto isHeader = [&](const TLine& line) {
        return line.Kind == TLineKind::Section && SameName(line.Name, Section);
    };
    while (i < m_Lines.size() && !isHeader(m_Lines[i])) ++i;
    if (i == m_Lines.size()) return std::string::npos;
    size_t pos = i + 1;
    for (size_t j = i + 1; j < m_Lines.size() && m_Lines[j].Kind != TLineKind::Section; ++j)
        if (!IsBlankOrComment(m_Lines[j].Text)) pos = j + 1;
    return pos;
}

std::string TIniFile::ReadString(std::string_view Section, std::string_view Key,
                                 std::string_view Default) const {
    size_t i = FindKey(Section, Key);
    if (i == std::string::npos) return std::string(Default);
    std::string_view value = TrimWhiteSpace(std::string_view(m_Lines[i].Text).substr(m_Lines[i].ValuePos));
    if (HasQuotePair(value)) value = value.substr(1, value.size() - 2);
    return std::string(value);
}

int32_t TIniFile::ReadInteger(std::string_view Section, std::string_view Key, int32_t Default) const {
    if (!ValueExists(Section, Key)) return Default;
    int32_t value = 0;
    return ParseInt32(ReadString(Section, Key, ""), value) ? value : Default;
}

int TIniFile::WriteString(std::string_view Section, std::string_view Key, std::string_view Value) {
    // Names must read back as the same name, and nothing may spill onto a line of its own.
    if (HoldsLineBreak(Section) || Section.find(']') != std::string_view::npos || HasOuterBlanks(Section))
        return EINVAL;
    if (Key.empty() || HoldsLineBreak(Key) || Key.find('=') != std::string_view::npos ||
        HasOuterBlanks(Key) || Key.front() == ';' || Key.front() == '#' || Key.front() == '[')
        return EINVAL;
    if (HoldsLineBreak(Value)) return EINVAL;

    std::string encoded = EncodeValue(Value);
    if (size_t i = FindKey(Section, Key); i != std::string::npos) {
        TLine& line = m_Lines[i];
        line.Text.replace(line.ValuePos, std::string::npos, encoded);
        return 0;
    }
    std::string text = std::string(Key) + "=" + encoded;
    size_t pos = InsertPosition(Section);
    if (pos == std::string::npos) {
        m_Lines.push_back(ParseLine("[" + std::string(Section) + "]"));
        m_Lines.push_back(ParseLine(std::move(text)));
    } else {
        m_Lines.insert(m_Lines.begin() + static_cast<std::ptrdiff_t>(pos), ParseLine(std::move(text)));
    }
    return 0;
}

int TIniFile::WriteInteger(std::string_view Section, std::string_view Key, int32_t Value) {
    return WriteString(Section, Key, std::to_string(Value));
}

bool TIniFile::SectionExists(std::string_view Section) const {
    for (const TLine& line : m_Lines)
        if (line.Kind == TLineKind::Section && SameName(line.Name, Section)) return true;
    return false;
}

bool TIniFile::ValueExists(std::string_view Section, std::string_view Key) const {
    return FindKey(Section, Key) != std::string::npos;
}

int TIniFile::Save() const {
    if (m_FileName.empty()) return EINVAL;
    return WriteFileAtomic(m_FileName, GetText());
}

}  // namespace bfs
