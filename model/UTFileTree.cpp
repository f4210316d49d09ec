#include "model/UTFileTree.h"

#include "model/UTConsts.h"
#include "model/UTFolderForm.h"
#include "model/UTListOrder.h"
#include "model/UTMyException.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace bfs {

namespace {

using TCounter = int32_t TFileTree::*;

// The counters an action code stands for on a leaf. Codes not listed set none. A change code 7 left
// on a result node is an entry changed on both sides that an automatic run leaves alone: a conflict
// like code 2, never a change to carry out.
struct TStatusCounters {
    int32_t Code;
    TCounter First;
    TCounter Second;
};

constexpr TStatusCounters STATUS_COUNTERS[] = {
    {ACTION_LEFT_ONLY, &TFileTree::LtoRCount, &TFileTree::NewCount},
    {ACTION_RIGHT_ONLY, &TFileTree::RtoLCount, &TFileTree::NewCount},
    {ACTION_LEFT_NEWER, &TFileTree::LtoRCount, &TFileTree::OverwriteCount},
    {ACTION_RIGHT_NEWER, &TFileTree::RtoLCount, &TFileTree::OverwriteCount},
    {ACTION_SAME, &TFileTree::SameCount, nullptr},
    {ACTION_NEW, &TFileTree::NewCount, nullptr},
    {ACTION_CHANGED, &TFileTree::ConflictCount, nullptr},
    {ACTION_CONFLICT, &TFileTree::ConflictCount, nullptr},
    {ACTION_ERROR, &TFileTree::ErrorCount, nullptr},
    {ACTION_DELETED, &TFileTree::DeleteCount, nullptr},
    {ACTION_DELETED_LEFT, &TFileTree::DeleteCount, nullptr},
    {ACTION_DELETED_RIGHT, &TFileTree::DeleteCount, nullptr},
};

// ---- Saved-state text -------------------------------------------------------------------------
// Fields are separated by ":" and lines end with CR LF, so a name, path or root text holding one of
// those (all legal in Linux names and in URLs) is written with them percent-escaped, and "%" itself
// too so that the escape reads back unambiguously.

bool NeedsEscape(char c) noexcept {
    return c == '%' || c == ':' || c == '\r' || c == '\n';
}

void AppendEscaped(std::string& out, std::string_view text) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!NeedsEscape(c)) continue;
        out.append(text, start, i - start);
        switch (c) {
            case '%':
                out.append("%25");
                break;
            case ':':
                out.append("%3A");
                break;
            case '\r':
                out.append("%0D");
                break;
            default:
                out.append("%0A");
                break;
        }
        start = i + 1;
    }
    out.append(text, start, std::string_view::npos);
}

int HexDigit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decodes the four escapes the writer produces; anything else after a "%" is a damaged text.
bool Unescape(std::string_view text, std::string& out) {
    out.clear();
    if (text.find('%') == std::string_view::npos) {
        out.assign(text);
        return true;
    }
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
        if (hi < 0 || lo < 0) return false;
        const char c = static_cast<char>(hi * 16 + lo);
        if (!NeedsEscape(c)) return false;
        out.push_back(c);
        i += 2;
    }
    return true;
}

template <class T>
void AppendNumber(std::string& out, T value) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

// The whole field must be a decimal number of T's range (a leading "-" allowed).
template <class T>
std::optional<T> ParseNumber(std::string_view text) noexcept {
    T value{};
    const char* end = text.data() + text.size();
    const auto res = std::from_chars(text.data(), end, value);
    if (text.empty() || res.ec != std::errc() || res.ptr != end) return std::nullopt;
    return value;
}

// Reads the text line by line; a line ends at CR, LF or CR LF. The text is either one piece in
// memory or pulled from a source piece by piece (then a line stays valid until the next call, and
// only the unread part of a piece is kept).
class TLineReader {
  public:
    explicit TLineReader(std::string_view text) : m_Text(text), m_Ended(true), m_Left(text.size()) {}
    TLineReader(const TFileTree::TTextSource& source, uint64_t size, TTextHasher* hasher)
        : m_Source(&source), m_Hasher(hasher), m_Left(size) {
        m_Buffer.resize(PIECE);
    }

    bool Next(std::string_view& line) {
        for (;;) {
            const std::size_t end = FindLineEnd();
            // A CR at the very end of what is read so far may be the first half of CR LF.
            if (end != std::string_view::npos &&
                (end + 1 < m_Text.size() || m_Text[end] == '\n' || m_Ended)) {
                line = m_Text.substr(m_Pos, end - m_Pos);
                m_Pos = end + 1;
                if (m_Text[end] == '\r' && m_Pos < m_Text.size() && m_Text[m_Pos] == '\n') ++m_Pos;
                Consumed(line.size() + 1);
                return true;
            }
            if (!m_Source || m_Ended) {
                if (m_Pos >= m_Text.size()) return false;
                line = m_Text.substr(m_Pos);
                m_Pos = m_Text.size();
                Consumed(line.size());
                return true;
            }
            Refill();
        }
    }

    // Reads what is left of the source unparsed, so that the fingerprint covers the whole text (lines
    // beyond the announced counts are ignored, but they are part of the file). False when a piece
    // could not be read.
    bool Drain() {
        while (m_Source && !m_Ended) {
            m_Pos = m_Text.size();
            if (!TryRefill()) return false;
        }
        return true;
    }

    // An upper bound of the lines still to come (one byte at least each).
    uint64_t Remaining() const noexcept { return m_Left; }

  private:
    static constexpr std::size_t PIECE = std::size_t{1} << 20;

    // The first CR or LF from m_Pos on (npos when none): one pass, where find_first_of would look
    // each byte up in the set.
    std::size_t FindLineEnd() const noexcept {
        for (std::size_t i = m_Pos; i < m_Text.size(); ++i)
            if (m_Text[i] == '\r' || m_Text[i] == '\n') return i;
        return std::string_view::npos;
    }

    void Consumed(std::size_t n) noexcept { m_Left = n > m_Left ? 0 : m_Left - n; }

    // Keeps the unread rest at the front of the buffer and reads the next piece behind it.
    void Refill() {
        if (!TryRefill()) throw EConvertError("the text could not be read");
    }

    bool TryRefill() {
        const std::size_t rest = m_Text.size() - m_Pos;
        if (rest > 0 && m_Pos > 0) std::memmove(m_Buffer.data(), m_Buffer.data() + m_Pos, rest);
        m_Pos = 0;
        if (m_Buffer.size() - rest < PIECE / 2) m_Buffer.resize(m_Buffer.size() * 2);  // a very long line
        const int64_t n = (*m_Source)(m_Buffer.data() + rest, m_Buffer.size() - rest);
        if (n < 0) return false;
        if (n == 0) m_Ended = true;
        if (m_Hasher) m_Hasher->Add(std::string_view(m_Buffer.data() + rest, static_cast<std::size_t>(n)));
        m_Text = std::string_view(m_Buffer.data(), rest + static_cast<std::size_t>(n));
        return true;
    }

    std::string_view m_Text;
    std::size_t m_Pos = 0;
    const TFileTree::TTextSource* m_Source = nullptr;
    TTextHasher* m_Hasher = nullptr;
    std::string m_Buffer;
    bool m_Ended = false;
    uint64_t m_Left;
};

[[noreturn]] void Fail(int32_t lineIndex, std::string_view what) {
    std::string reason = "line ";
    AppendNumber(reason, static_cast<int64_t>(lineIndex) + 1);
    reason.append(": ").append(what);
    throw EConvertError(reason);
}

// A child count announced in the text: never negative, and never more entries than the rest of the
// text could hold (each needs a line), so a damaged count fails at once instead of at the end.
int32_t CheckCount(std::optional<int32_t> count, const TLineReader& reader, int32_t lineIndex) {
    if (!count) Fail(lineIndex, "the child count is not a number");
    if (*count < 0) Fail(lineIndex, "negative child count");
    if (static_cast<uint64_t>(*count) > reader.Remaining())
        Fail(lineIndex, "child count larger than the text");
    return *count;
}

// Whether a saved entry records what the listing shows for it: the fields a saved state stores
// (a folder's size is not stored). A listed folder that was not read in full is never taken as
// recorded.
bool SameEntry(const TFileAttri& Saved, const TFileTree& Listed) {
    const TFileAttri* now = Listed.Data;
    if (!now || Listed.NotListed || (now->IsFolder != 0) != (Saved.IsFolder != 0)) return false;
    return now->FileDate == Saved.FileDate && now->Attr == Saved.Attr &&
           (Saved.IsFolder != 0 || now->Size == Saved.Size);
}

// Whether a folder read from a state holds exactly the listed folder's children (the same nodes,
// in the same order).
bool SameLevel(const TFileTree& Read, const TFileTree& Listed) {
    if (Read.Children.size() != Listed.Children.size()) return false;
    for (std::size_t i = 0; i < Read.Children.size(); ++i)
        if (Read.Children[i].get() != Listed.Children[i].get()) return false;
    return true;
}

// The child of Listed that a saved line names, looked for from Cursor on: both are in listing
// order, so children that order before the name are passed for good. Null when there is none.
const TFileTree* FindListed(const TFileTree& Listed, std::size_t& Cursor, std::string_view Name,
                            bool IsFolder) {
    const TFileTreeList& children = Listed.Children;
    while (Cursor < children.size()) {
        const TFileTree& child = *children[Cursor];
        const bool folder = child.IsFolder();
        if (folder == IsFolder && child.Name == Name) return children[Cursor++].get();
        // Folders come before files; within a kind the names decide.
        const int c = folder != IsFolder ? (folder ? -1 : 1) : CompareNames(child.Name, Name);
        if (c > 0) return nullptr;
        ++Cursor;
    }
    return nullptr;
}

}  // namespace

TFileTreeList::TFileTreeList(const TFileTreeList& Other) {
    reserve(Other.m_Size);
    for (const TFileTreeRef& node : Other) push_back(node);
}

TFileTreeList& TFileTreeList::operator=(const TFileTreeList& Other) {
    if (this != &Other) {
        TFileTreeList copy(Other);
        *this = std::move(copy);
    }
    return *this;
}

TFileTreeList& TFileTreeList::operator=(TFileTreeList&& Other) noexcept {
    if (this != &Other) {
        clear();
        m_Data = std::exchange(Other.m_Data, nullptr);
        m_Size = std::exchange(Other.m_Size, 0);
        m_Capacity = std::exchange(Other.m_Capacity, 0);
    }
    return *this;
}

TFileTreeList::~TFileTreeList() {
    clear();
}

void TFileTreeList::reserve(size_t Count) {
    if (Count <= m_Capacity) return;
    if (Count > UINT32_MAX) throw std::length_error("too many entries in one folder");
    auto* data = static_cast<TFileTreeRef*>(::operator new(Count * sizeof(TFileTreeRef)));
    for (uint32_t i = 0; i < m_Size; ++i) {
        new (data + i) TFileTreeRef(std::move(m_Data[i]));
        m_Data[i].~TFileTreeRef();
    }
    ::operator delete(m_Data);
    m_Data = data;
    m_Capacity = static_cast<uint32_t>(Count);
}

void TFileTreeList::push_back(TFileTreeRef&& Node) {
    if (m_Size == m_Capacity) reserve(m_Capacity < 4 ? 4 : size_t{m_Capacity} * 2);
    new (m_Data + m_Size) TFileTreeRef(std::move(Node));
    ++m_Size;
}

TFileTreeList::iterator TFileTreeList::erase(const_iterator Position) {
    const size_t at = static_cast<size_t>(Position - m_Data);
    for (size_t i = at; i + 1 < m_Size; ++i) m_Data[i] = std::move(m_Data[i + 1]);
    pop_back();
    return m_Data + at;
}

void TFileTreeList::clear() noexcept {
    // The array is detached first: releasing a node runs further destructors, and none of them
    // may see this list half-emptied.
    TFileTreeRef* data = std::exchange(m_Data, nullptr);
    const uint32_t size = std::exchange(m_Size, 0);
    m_Capacity = 0;
    for (uint32_t i = 0; i < size; ++i) data[i].~TFileTreeRef();
    ::operator delete(data);
}

TFileTree::~TFileTree() {
    // Children that nothing else holds are taken apart here, level by level, instead of by their own
    // destructors calling each other down the tree.
    if (Children.empty()) return;
    TFileTreeList pending = std::move(Children);
    while (!pending.empty()) {
        TFileTreeRef node = std::move(pending.back());
        pending.pop_back();
        if (node && node->RefCount() == 1 && !node->Children.empty()) {
            for (TFileTreeRef& child : node->Children) pending.push_back(std::move(child));
            node->Children.clear();
        }
    }
}

TFileTree::TFileTree(std::string Name, const TFileAttri* Entry) {
    if (Entry) {
        TFileAttri::IsFolder = Entry->IsFolder;
        Size = Entry->Size;
        FileDate = Entry->FileDate;
        Attr = Entry->Attr;
        Path = Entry->Path;
        Data = this;
    }
    this->Name = std::move(Name);
}

TFileTree::TFileTree(TFileAttri&& Entry) : TFileAttri(std::move(Entry)), Data(this) {}

TFileTree* TFileTree::AddChild(std::string Name, const TFileAttri* Data) {
    TFileTreeRef node = Create(std::move(Name), Data);
    node->Parent = this;
    Children.push_back(std::move(node));
    ChildCount = static_cast<int32_t>(Children.size());
    return Children.back().get();
}

TFileTree* TFileTree::AddChild(TFileAttri&& Entry) {
    TFileTreeRef node = MakeRef<TFileTree>(std::move(Entry));
    node->Parent = this;
    Children.push_back(std::move(node));
    ChildCount = static_cast<int32_t>(Children.size());
    return Children.back().get();
}

void TFileTree::AppendNode(TFileTreeRef Node) {
    Children.push_back(std::move(Node));
    ChildCount = static_cast<int32_t>(Children.size());
}

void TFileTree::AddChildren(const TFileTree& Other) {
    // Counted up front and indexed, so that adding a node's children to itself is safe too.
    const std::size_t n = Other.Children.size();
    Children.reserve(Children.size() + n);
    for (std::size_t i = 0; i < n; ++i) Children.push_back(Other.Children[i]);
    ChildCount = static_cast<int32_t>(Children.size());
}

void TFileTree::RemoveChild(std::string_view Name) {
    const auto it = std::find_if(Children.begin(), Children.end(),
                                 [Name](const TFileTreeRef& child) { return child && child->Name == Name; });
    if (it == Children.end()) return;
    Children.erase(it);
    ChildCount = static_cast<int32_t>(Children.size());
}

void TFileTree::ClearFlags() {
    IncludedCount = 0;
    ExcludedCount = 0;
    ClearActionFlags();
}

void TFileTree::ClearActionFlags() {
    ErrorCount = 0;
    ConflictCount = 0;
    NewCount = 0;
    OverwriteCount = 0;
    DeleteCount = 0;
    LtoRCount = 0;
    RtoLCount = 0;
    SameCount = 0;
}

void TFileTree::SetStatus(int32_t Code) {
    Status = Code;
    ClearActionFlags();
    // Folders keep their counters at 0: the plan sums them from the leaves.
    if (ChildCount >= 1) return;
    for (const TStatusCounters& row : STATUS_COUNTERS) {
        if (row.Code != Code) continue;
        this->*row.First = 1;
        if (row.Second) this->*row.Second = 1;
        return;
    }
}

void TFileTree::SetFilterState(int32_t Code) {
    if (Code == ACTION_INCLUDED) {
        IncludedCount = 1;
        ExcludedCount = 0;
        Flags &= static_cast<uint8_t>(~NODE_EXCLUDED);
        return;
    }
    ClearFlags();
    ExcludedCount = 1;
    Flags |= NODE_EXCLUDED;
}

uint64_t TFileTree::TextHash(std::string_view Text) noexcept {
    TTextHasher hasher;
    hasher.Add(Text);
    return hasher.Value();
}

void TTextHasher::Add(std::string_view Bytes) noexcept {
    m_Length += Bytes.size();
    std::size_t i = 0;
    while (m_TailSize > 0 && m_TailSize < 8 && i < Bytes.size()) m_Tail[m_TailSize++] = Bytes[i++];
    if (m_TailSize == 8) {
        Mix(m_Tail);
        m_TailSize = 0;
    }
    for (; i + 8 <= Bytes.size(); i += 8) Mix(Bytes.data() + i);
    while (i < Bytes.size()) m_Tail[m_TailSize++] = Bytes[i++];
}

void TTextHasher::Mix(const char* Word) noexcept {
    uint64_t w;
    std::memcpy(&w, Word, 8);
    m_State = (std::rotl(m_State ^ w, 29) + 0x9E3779B97F4A7C15ULL) * 0xBF58476D1CE4E5B9ULL;
}

uint64_t TTextHasher::Value() const noexcept {
    uint64_t h = m_State;
    for (std::size_t i = 0; i < m_TailSize; ++i)
        h = (h ^ static_cast<unsigned char>(m_Tail[i])) * 0x100000001B3ULL;
    h ^= m_Length * 0x94D049BB133111EBULL;
    h ^= h >> 31;
    return h == 0 ? 1 : h;
}

void TFileTree::AppendRootLine(std::string& Stream, std::string_view RootText, int32_t Count) {
    // The root address goes as it is ("ftp://host:21/dir::3"), as other readers of the form expect:
    // the count follows the last "::", so single colons (and an IPv6 "[::1]") stay readable. Only a
    // line break, which no address holds, would cut the line, and is escaped.
    for (const char c : RootText) {
        if (c == '\r')
            Stream.append("%0D");
        else if (c == '\n')
            Stream.append("%0A");
        else
            Stream.push_back(c);
    }
    Stream.append("::");
    AppendNumber(Stream, Count);
    Stream.append("\r\n");
}

void TFileTree::AppendEntryLine(std::string& Stream, std::string_view Name, int32_t Count,
                                std::string_view Path, int32_t FileDate, int64_t Size, int32_t Attr) {
    AppendEscaped(Stream, Name);
    Stream.push_back(':');
    AppendNumber(Stream, Count);
    Stream.push_back(':');
    AppendEscaped(Stream, Path);
    Stream.push_back(':');
    AppendNumber(Stream, FileDate);
    Stream.push_back(':');
    AppendNumber(Stream, Size);
    Stream.push_back(':');
    AppendNumber(Stream, Attr);
    Stream.append("\r\n");
}

namespace {

size_t EscapedLength(std::string_view Text) noexcept {
    size_t n = Text.size();
    for (const char c : Text)
        if (NeedsEscape(c)) n += 2;  // one byte becomes "%XX"
    return n;
}

size_t DecimalLength(int64_t Value) noexcept {
    uint64_t v = Value < 0 ? 0 - static_cast<uint64_t>(Value) : static_cast<uint64_t>(Value);
    size_t n = Value < 0 ? 2 : 1;
    while (v >= 10) {
        v /= 10;
        ++n;
    }
    return n;
}

}  // namespace

bool TFileTree::RootTextNames(std::string_view RootText, int32_t Kind, std::string_view Address) {
    if (SameFolderAddress(Kind, RootText, Address)) return true;
    std::string unescaped;
    return RootText.find('%') != std::string_view::npos && Unescape(RootText, unescaped) &&
           SameFolderAddress(Kind, unescaped, Address);
}

size_t TFileTree::EntryLineLength(std::string_view Name, int32_t Count, std::string_view Path,
                                  int32_t FileDate, int64_t Size, int32_t Attr) noexcept {
    // Six fields, five colons, CR LF.
    return EscapedLength(Name) + DecimalLength(Count) + EscapedLength(Path) + DecimalLength(FileDate) +
           DecimalLength(Size) + DecimalLength(Attr) + 7;
}

void TFileTree::SaveToStream(std::string& Stream, std::string_view RootText) const {
    AppendRootLine(Stream, RootText, static_cast<int32_t>(Children.size()));

    // Depth-first pre-order with an explicit stack: a node's line, its subtree, then its next sibling.
    struct TFrame {
        const TFileTree* Node;
        std::size_t Next;
    };
    std::vector<TFrame> stack;
    stack.push_back({this, 0});
    while (!stack.empty()) {
        TFrame& top = stack.back();
        if (top.Next >= top.Node->Children.size()) {
            stack.pop_back();
            continue;
        }
        const TFileTree* node = top.Node->Children[top.Next++].get();
        if (!node) continue;
        const int32_t count = static_cast<int32_t>(node->Children.size());
        if (const TFileAttri* data = node->Data) {
            AppendEntryLine(Stream, node->Name, count, data->Path.str(), data->FileDate,
                            data->IsFolder != 0 ? int64_t{-1} : data->Size, data->Attr);
        } else {
            AppendEscaped(Stream, node->Name);
            Stream.push_back(':');
            AppendNumber(Stream, count);
            Stream.append("\r\n");
        }
        if (count > 0) stack.push_back({node, 0});
    }
}

// Loads saved-state text into Root (see TFileTree::LoadFromStream).
static bool LoadLines(TFileTree& Root, TLineReader& reader, std::string* Error, const TFileTree* Listing) {
    const std::string oldName = Root.Name;
    Root.Children.clear();
    Root.ChildCount = 0;
    Root.LoadLine = 0;

    try {
        std::string_view line;
        if (!reader.Next(line)) Fail(0, "empty text");
        // The root text is kept as written: states of earlier versions wrote it escaped
        // ("ftp%3A//host..."), which reads just as well, since nothing is taken from it.
        const std::size_t sep = line.rfind("::");
        if (sep == std::string_view::npos) Fail(0, "no \"::\" in the root line");
        std::string rootName(line.substr(0, sep));
        const int32_t rootCount = CheckCount(ParseNumber<int32_t>(line.substr(sep + 2)), reader, 0);

        // One frame per folder whose children are being read. Each frame remembers the last path
        // text of its children: siblings share one path, so they share one copy of it.
        // Every child of a folder stands in that folder: its path must be the folder's path + name +
        // "/" ("/" at the top). A line that names another place would put a deletion or a copy
        // somewhere else, so such a text is damaged.
        // Match is the listing's folder of the same place (none when the listing has no such
        // folder), Cursor the next of its children that a line may stand for.
        struct TFrame {
            TFileTree* Node;
            int32_t Remaining;
            std::string RawPath;  // the path field as written, for the next sibling's cheap check
            TSharedString Path;
            std::string Expected;
            const TFileTree* Match;
            std::size_t Cursor;
        };
        std::vector<TFrame> stack;
        stack.push_back({&Root, rootCount, {}, {}, "/", Listing, 0});
        std::string_view fields[6];
        std::string decoded;
        std::string name;

        while (!stack.empty()) {
            TFrame& top = stack.back();
            if (top.Remaining == 0) {
                SortLevel(*top.Node);
                TFileTree* done = top.Node;
                const TFileTree* match = top.Match;
                stack.pop_back();
                // A folder read exactly as listed, down to the last entry, is the listing's node.
                if (!stack.empty() && match && SameLevel(*done, *match) && SameEntry(*done->Data, *match))
                    stack.back().Node->Children.back() = TFileTreeRef(const_cast<TFileTree*>(match));
                continue;
            }
            --top.Remaining;
            ++Root.LoadLine;
            if (!reader.Next(line)) Fail(Root.LoadLine, "fewer lines than the counts announce");

            // Name, count, path, date and size end at the first five colons; the attribute is the rest.
            std::size_t start = 0;
            for (int f = 0; f < 5; ++f) {
                const std::size_t colon = line.find(':', start);
                if (colon == std::string_view::npos) Fail(Root.LoadLine, "too few fields");
                fields[f] = line.substr(start, colon - start);
                start = colon + 1;
            }
            fields[5] = line.substr(start);

            const int32_t count = CheckCount(ParseNumber<int32_t>(fields[1]), reader, Root.LoadLine);
            const auto date = ParseNumber<int32_t>(fields[3]);
            const auto size = ParseNumber<int64_t>(fields[4]);
            const auto attr = ParseNumber<int32_t>(fields[5]);
            if (!date) Fail(Root.LoadLine, "the date is not a number");
            if (!size || *size < -1) Fail(Root.LoadLine, "the size is not a valid number");
            if (!attr) Fail(Root.LoadLine, "the attribute is not a number");
            if (*size != -1 && count > 0) Fail(Root.LoadLine, "a file with children");

            if (!Unescape(fields[0], name)) Fail(Root.LoadLine, "bad escape in the name");
            if (top.Path.empty() || fields[2] != top.RawPath) {
                if (!Unescape(fields[2], decoded)) Fail(Root.LoadLine, "bad escape in the path");
                if (decoded != top.Expected)
                    Fail(Root.LoadLine, "the path does not match the folder it stands in");
                top.Path = TSharedString(decoded);
                top.RawPath = fields[2];
            }
            const bool isFolder = *size == -1;

            // The listed entry of this name, when the listing has one at this place.
            const TFileTree* listed = nullptr;
            if (top.Match) listed = FindListed(*top.Match, top.Cursor, name, isFolder);
            TFileAttri entry;
            entry.FileDate = *date;
            entry.Size = *size;
            entry.Attr = *attr;
            entry.IsFolder = isFolder ? 1 : 0;
            if (listed && count == 0 && listed->Children.empty() && SameEntry(entry, *listed)) {
                // Recorded as listed: the state shares the listing's node.
                top.Node->AppendNode(TFileTreeRef(const_cast<TFileTree*>(listed)));
                continue;
            }

            entry.Name = std::move(name);
            name.clear();
            entry.Path = top.Path;
            TFileTreeRef node = MakeRef<TFileTree>(std::move(entry));
            node->Parent = top.Node;
            TFileTree* raw = node.get();
            top.Node->AppendNode(std::move(node));
            // The push may move the frames; top is not used after it.
            if (count > 0) {
                std::string expected = top.Path.str();
                expected.append(raw->Name).push_back('/');
                const TFileTree* match =
                    listed && listed->IsFolder() && !listed->NotListed ? listed : nullptr;
                stack.push_back({raw, count, {}, {}, std::move(expected), match, 0});
            }
        }
        Root.Name = std::move(rootName);
        return true;
    } catch (const std::exception& e) {
        if (Error) *Error = e.what();
    }
    // A saved state is used whole or not at all: the analysis walks counts that must match children.
    Root.Children.clear();
    Root.ChildCount = 0;
    Root.LoadLine = 0;
    Root.Name = oldName;
    return false;
}

bool TFileTree::LoadFromStream(std::string_view Stream, std::string* Error, const TFileTree* Listing) {
    TLineReader reader(Stream);
    return LoadLines(*this, reader, Error, Listing);
}

bool TFileTree::LoadFromSource(const TTextSource& Source, uint64_t Size, std::string* Error,
                               const TFileTree* Listing, uint64_t* Hash) {
    TTextHasher hasher;
    TLineReader reader(Source, Size, Hash ? &hasher : nullptr);
    const std::string oldName = Name;
    bool loaded = LoadLines(*this, reader, Error, Listing);
    if (loaded && Hash && !reader.Drain()) {
        // Used whole or not at all, as a text that fails midway.
        Children.clear();
        ChildCount = 0;
        LoadLine = 0;
        Name = oldName;
        if (Error) *Error = "the text could not be read";
        loaded = false;
    }
    if (Hash) *Hash = loaded ? hasher.Value() : 0;
    return loaded;
}

void ShareListedFiles(TFileTree& Read, const TFileTree& Earlier) {
    std::size_t cursor = 0;
    for (TFileTreeRef& child : Read.Children) {
        if (child->IsFolder() || !child->Data) continue;
        const TFileTree* listed = FindListed(Earlier, cursor, child->Name, false);
        if (listed && listed->Children.empty() && SameEntry(*child->Data, *listed))
            child = TFileTreeRef(const_cast<TFileTree*>(listed));
    }
}

const TFileTree* FindListedFolder(const TFileTree& Earlier, const TFileTree& Folder) {
    // Folders come first in a level: a binary search over them by name.
    const TFileTreeList& children = Earlier.Children;
    std::size_t lo = 0, hi = children.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        const TFileTree& c = *children[mid];
        const int order = !c.IsFolder() ? 1 : CompareNames(c.Name, Folder.Name);
        if (order == 0) return &c;
        if (order < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

bool SameAsListed(const TFileTree& Read, const TFileTree& Earlier) {
    return Read.Data && !Read.NotListed && SameLevel(Read, Earlier) && SameEntry(*Read.Data, Earlier);
}

}  // namespace bfs
