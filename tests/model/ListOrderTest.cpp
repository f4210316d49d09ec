#include "model/UTFileTree.h"
#include "model/UTListOrder.h"

#include <gtest/gtest.h>
#include <utf8proc.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace bfs {
namespace {

struct TItem {
    std::string Name;
    bool Folder;
};

TFileTreeRef MakeLevel(const std::vector<TItem>& items) {
    TFileTreeRef root = TFileTree::Create({}, nullptr);
    TFileTree& node = *root;
    for (const TItem& item : items) {
        auto data = MakeRef<TFileAttri>();
        data->Name = item.Name;
        data->IsFolder = item.Folder ? 1 : 0;
        node.AddChild(item.Name, data);
    }
    return root;
}

std::vector<std::string> Names(const TFileTree& node) {
    std::vector<std::string> out;
    for (const auto& c : node.Children) out.push_back(c->Name);
    return out;
}

std::vector<std::string> Sorted(const std::vector<TItem>& items) {
    TFileTreeRef root = MakeLevel(items);
    TFileTree& node = *root;
    SortLevel(node);
    EXPECT_EQ(node.ChildCount, static_cast<int32_t>(node.Children.size()));
    return Names(node);
}

// The reference folding, straight from the library, for names that are valid UTF-8.
std::string ReferenceFold(const std::string& s) {
    utf8proc_uint8_t* out = nullptr;
    const auto len = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(s.data()),
                                  static_cast<utf8proc_ssize_t>(s.size()), &out,
                                  static_cast<utf8proc_option_t>(UTF8PROC_CASEFOLD | UTF8PROC_STABLE));
    std::string r = len < 0 ? s : std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(len));
    std::free(out);
    return r;
}

int Sign(int v) {
    return (v > 0) - (v < 0);
}

TEST(ListOrder, SortsALevel) {
    const struct {
        const char* Label;
        std::vector<TItem> Input;
        std::vector<std::string> Expected;
    } rows[] = {
        {"folders first, case-insensitive",
         {{"b.txt", false}, {"A", true}, {"a.txt", false}, {"c", true}},
         {"A", "c", "a.txt", "b.txt"}},
        {"names differing only in case are neighbours, both kept",
         {{"b", false}, {"a.txt", false}, {"B.txt", false}, {"A.txt", false}},
         {"A.txt", "a.txt", "b", "B.txt"}},
        {"non-ASCII folds too; folded names compare by code point",
         {{"zeta", false}, {"\xC3\xA9mile", false}, {"\xC3\x89mile", false}, {"Emile", false}},
         {"Emile", "zeta", "\xC3\x89mile", "\xC3\xA9mile"}},
        {"sharp s folds to ss",
         {{"st", false}, {"sr", false}, {"s\xC3\x9F", false}},
         {"sr", "s\xC3\x9F", "st"}},
        {"kelvin sign folds to k, ASCII and non-ASCII mixed",
         {{"l", false}, {"\xE2\x84\xAA", false}, {"k", false}, {"K", false}, {"j", false}},
         {"j", "K", "k", "\xE2\x84\xAA", "l"}},
        {"prefix before longer name", {{"ab", false}, {"A", false}, {"a", false}}, {"A", "a", "ab"}},
        {"the same name twice keeps its order", {{"x", false}, {"y", false}, {"x", false}}, {"x", "x", "y"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Label);
        EXPECT_EQ(Sorted(row.Input), row.Expected);
    }
}

TEST(ListOrder, CompareNamesIsZeroOnlyForIdenticalBytes) {
    const struct {
        const char* A;
        const char* B;
        int Expected;
    } rows[] = {
        {"a", "a", 0},        {"A", "a", -1}, {"a.txt", "B.txt", -1}, {"\xC3\x89", "\xC3\xA9", -1},
        {"\xC3\xA9", "f", 1},  // folded keys compare by code point, not by locale
        {"_", "a", -1},        // "_" sorts after "Z" by bytes, before "a" once folded
        {"Z", "_", 1},         // folded "z" is above "_"
        {"", "a", -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.A) + " / " + row.B);
        EXPECT_EQ(Sign(CompareNames(row.A, row.B)), row.Expected);
        EXPECT_EQ(Sign(CompareNames(row.B, row.A)), -row.Expected);
    }
}

// Pure ASCII names take a path that folds A-Z on the fly; it must order exactly as the key the
// library gives would.
TEST(ListOrder, AsciiFastPathAgreesWithLibraryFolding) {
    std::vector<std::string> names;
    for (int c = 1; c < 128; ++c) names.push_back(std::string(1, static_cast<char>(c)));
    for (const char* s : {"", "Ab", "aB", "ab", "AB", "a", "a[", "A_", "a_", "Z", "z", "z~", "@x", "`x"})
        names.push_back(s);
    for (const std::string& a : names) {
        EXPECT_EQ(FoldName(a), ReferenceFold(a)) << a;
        for (const std::string& b : names) {
            int expected = ReferenceFold(a).compare(ReferenceFold(b));
            if (expected == 0) expected = a.compare(b);
            ASSERT_EQ(Sign(CompareNames(a, b)), Sign(expected)) << a << " / " << b;
        }
    }
}

TEST(ListOrder, InvalidUtf8HasAFixedPlace) {
    const std::vector<std::string> names = {
        "\xFF", "A\xFF", "a\xFF", "a", "B", "\xC3", "\xC3\x28", "\xED\xA0\x80", "\xC3\x89", "\xC3\xA9", "Z",
    };
    // Invalid names keep their bytes as their key, so "A\xFF" is not folded to "a\xFF".
    EXPECT_EQ(FoldName("A\xFF"), "A\xFF");
    EXPECT_EQ(FoldName("\xC3\x89"), "\xC3\xA9");

    std::vector<TItem> items;
    for (const auto& n : names) items.push_back({n, false});
    const std::vector<std::string> first = Sorted(items);
    for (std::size_t i = 1; i < first.size(); ++i) EXPECT_LT(CompareNames(first[i - 1], first[i]), 0);

    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        std::shuffle(items.begin(), items.end(), rng);
        ASSERT_EQ(Sorted(items), first);
    }
}

TEST(ListOrder, LargeLevelSortsAndStaysSorted) {
    constexpr int COUNT = 100'000;
    std::vector<TItem> items;
    std::mt19937 rng(1);
    for (int i = 0; i < COUNT; ++i) {
        std::string name = (i % 3 == 0 ? "File_" : (i % 3 == 1 ? "file-" : "\xC3\x89t\xC3\xA9_")) +
                           std::to_string(rng() % 1'000'000);
        items.push_back({std::move(name), i % 10 == 0});
    }
    TFileTreeRef levelRef = MakeLevel(items);
    TFileTree& level = *levelRef;
    SortLevel(level);
    ASSERT_EQ(level.ChildCount, COUNT);
    for (std::size_t i = 1; i < level.Children.size(); ++i)
        ASSERT_LE(CompareListOrder(*level.Children[i - 1], *level.Children[i]), 0) << i;

    const std::vector<std::string> once = Names(level);
    SortLevel(level);
    EXPECT_EQ(Names(level), once);
}

}  // namespace
}  // namespace bfs
