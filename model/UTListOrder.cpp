#include "model/UTListOrder.h"

#include "model/UTFileTree.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace bfs {

namespace {

bool IsAscii(std::string_view s) noexcept {
    unsigned char any = 0;
    for (const char c : s) any |= static_cast<unsigned char>(c);
    return any < 0x80;
}

// Case folding restricted to ASCII: only A-Z change, exactly as the Unicode folding does for them.
constexpr unsigned char FoldAscii(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

int Sign(int v) noexcept {
    return (v > 0) - (v < 0);
}

// Plain byte comparison (unsigned), the tie-break and the order of folded keys.
int CompareBytes(std::string_view a, std::string_view b) noexcept {
    return Sign(a.compare(b));
}

// Both names pure ASCII: fold A-Z on the fly, no allocation. Gives the same result as comparing the
// folded keys and then the bytes.
int CompareAscii(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char ca = FoldAscii(static_cast<unsigned char>(a[i]));
        const unsigned char cb = FoldAscii(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return CompareBytes(a, b);
}

// Full Unicode case folding of a name that is not pure ASCII; a name that is not valid UTF-8 keeps
// its bytes, so it still has a fixed place in the order.
std::string FoldUnicode(std::string_view name) {
    utf8proc_uint8_t* folded = nullptr;
    const utf8proc_ssize_t len = utf8proc_map(
        reinterpret_cast<const utf8proc_uint8_t*>(name.data()), static_cast<utf8proc_ssize_t>(name.size()),
        &folded, static_cast<utf8proc_option_t>(UTF8PROC_CASEFOLD | UTF8PROC_STABLE));
    if (len < 0) {
        std::free(folded);
        return std::string(name);
    }
    std::string result(reinterpret_cast<const char*>(folded), static_cast<std::size_t>(len));
    std::free(folded);
    return result;
}

bool NodeIsFolder(const TFileTreeRef& node) noexcept {
    return node && node->IsFolder();
}

const std::string& NodeName(const TFileTreeRef& node) noexcept {
    static const std::string empty;
    return node ? node->Name : empty;
}

}  // namespace

std::string FoldName(std::string_view name) {
    if (!IsAscii(name)) return FoldUnicode(name);
    std::string result(name);
    for (char& c : result) c = static_cast<char>(FoldAscii(static_cast<unsigned char>(c)));
    return result;
}

int CompareNames(std::string_view a, std::string_view b) {
    if (IsAscii(a) && IsAscii(b)) return CompareAscii(a, b);
    const int byKey = CompareBytes(FoldName(a), FoldName(b));
    return byKey != 0 ? byKey : CompareBytes(a, b);
}

int CompareListOrder(const TFileTree& a, const TFileTree& b) {
    if (a.IsFolder() != b.IsFolder()) return a.IsFolder() ? -1 : 1;
    return CompareNames(a.Name, b.Name);
}

void SortLevel(TFileTree& Node) {
    TFileTreeList& children = Node.Children;
    const std::size_t n = children.size();

    // Listings usually arrive in order already (a saved state is written in it): one pass decides.
    bool ordered = true;
    for (std::size_t i = 1; i < n && ordered; ++i) {
        const TFileTreeRef& prev = children[i - 1];
        const TFileTreeRef& cur = children[i];
        const bool pf = NodeIsFolder(prev), cf = NodeIsFolder(cur);
        if (pf != cf)
            ordered = pf;
        else
            ordered = CompareNames(NodeName(prev), NodeName(cur)) <= 0;
    }
    if (ordered) return;

    // Each folded key is computed once, not per comparison. The index keeps entries that compare
    // equal (the same name twice) in their original order.
    struct TKey {
        bool Folder;
        std::string Folded;
        uint32_t Index;
    };
    std::vector<TKey> keys;
    keys.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        keys.push_back(
            {NodeIsFolder(children[i]), FoldName(NodeName(children[i])), static_cast<uint32_t>(i)});

    std::sort(keys.begin(), keys.end(), [&children](const TKey& a, const TKey& b) {
        if (a.Folder != b.Folder) return a.Folder;
        if (const int c = a.Folded.compare(b.Folded); c != 0) return c < 0;
        if (const int c = NodeName(children[a.Index]).compare(NodeName(children[b.Index])); c != 0)
            return c < 0;
        return a.Index < b.Index;
    });

    TFileTreeList sorted;
    sorted.reserve(n);
    for (const TKey& k : keys) sorted.push_back(std::move(children[k.Index]));
    children = std::move(sorted);
    Node.ChildCount = static_cast<int32_t>(children.size());
}

}  // namespace bfs
