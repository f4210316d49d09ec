#include "model/UTConsts.h"
#include "model/UTFileTree.h"
#include "model/UTFolderSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace bfs {
namespace {

constexpr int32_t DATE = 1080124357;

TFileAttriRef Entry(std::string name, std::string path, int64_t size, int32_t date = DATE,
                    bool folder = false) {
    auto a = MakeRef<TFileAttri>();
    a->IsFolder = folder ? 1 : 0;
    a->Name = std::move(name);
    a->Path = std::move(path);
    a->Size = size;
    a->FileDate = date;
    a->Attr = folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    return a;
}

TFileTree* AddFile(TFileTree& parent, std::string name, std::string path, int64_t size, int32_t date = DATE) {
    auto data = Entry(name, std::move(path), size, date);
    return parent.AddChild(std::move(name), std::move(data));
}

TFileTree* AddFolder(TFileTree& parent, std::string name, std::string path) {
    auto data = Entry(name, std::move(path), 0, DATE, true);
    return parent.AddChild(std::move(name), std::move(data));
}

std::string Save(const TFileTree& root, std::string_view rootText) {
    std::string text;
    root.SaveToStream(text, rootText);
    return text;
}

// Child ChildCount must equal Children.size() everywhere, and every node's Parent must point up.
void ExpectConsistent(const TFileTree& node) {
    std::vector<const TFileTree*> stack{&node};
    while (!stack.empty()) {
        const TFileTree* n = stack.back();
        stack.pop_back();
        ASSERT_EQ(n->ChildCount, static_cast<int32_t>(n->Children.size())) << n->Name;
        for (const auto& c : n->Children) {
            EXPECT_EQ(c->Parent, n);
            stack.push_back(c.get());
        }
    }
}

// LoadFromSource over Text cut into pieces of Piece bytes (0: LoadFromStream, the whole text).
bool Load(TFileTree& root, std::string_view text, std::size_t piece, std::string* error = nullptr,
          const TFileTree* listing = nullptr, uint64_t* hash = nullptr) {
    if (piece == 0) return root.LoadFromStream(text, error, listing);
    std::size_t pos = 0;
    const TFileTree::TTextSource source = [&](char* buffer, std::size_t capacity) -> int64_t {
        const std::size_t n = std::min({piece, capacity, text.size() - pos});
        std::copy_n(text.data() + pos, n, buffer);
        pos += n;
        return static_cast<int64_t>(n);
    };
    return root.LoadFromSource(source, text.size(), error, listing, hash);
}

constexpr std::size_t PIECES[] = {0, 1, 2, 3, 7, 4096};

const char* const EXAMPLE =
    "/data::2\r\n"
    "docs:1:/:1080124357:-1:16\r\n"
    "a.txt:0:/docs/:1080124357:2048:32\r\n"
    "b.txt:0:/:1080124357:0:32\r\n";

TEST(FileTreeSaveLoad, ExampleSavesExactlyAndLoadsBack) {
    TFileTree root;
    TFileTree* docs = AddFolder(root, "docs", "/");
    AddFile(*docs, "a.txt", "/docs/", 2048);
    AddFile(root, "b.txt", "/", 0);
    EXPECT_EQ(Save(root, "/data"), EXAMPLE);

    TFileTree loaded;
    std::string error;
    ASSERT_TRUE(loaded.LoadFromStream(EXAMPLE, &error)) << error;
    EXPECT_EQ(loaded.Name, "/data");
    EXPECT_EQ(loaded.Data, nullptr);
    ASSERT_EQ(loaded.ChildCount, 2);
    ExpectConsistent(loaded);

    const TFileTree& d = *loaded.Children[0];
    EXPECT_EQ(d.Name, "docs");
    EXPECT_EQ(d.Data->IsFolder, 1);
    EXPECT_EQ(d.Data->Size, -1);
    EXPECT_EQ(d.Data->Attr, 16);
    EXPECT_EQ(d.Data->Path, "/");
    ASSERT_EQ(d.ChildCount, 1);
    const TFileAttri& a = *d.Children[0]->Data;
    EXPECT_EQ(a.Name, "a.txt");
    EXPECT_EQ(a.Path, "/docs/");
    EXPECT_EQ(a.Size, 2048);
    EXPECT_EQ(a.FileDate, DATE);
    EXPECT_EQ(a.Attr, 32);
    EXPECT_EQ(a.IsFolder, 0);
    const TFileAttri& b = *loaded.Children[1]->Data;
    EXPECT_EQ(b.Name, "b.txt");
    EXPECT_EQ(b.Size, 0);
    EXPECT_EQ(b.IsFolder, 0);

    EXPECT_EQ(Save(loaded, "/data"), EXAMPLE);
}

TEST(FileTreeSaveLoad, EmptyRootIsOneLine) {
    TFileTree root;
    EXPECT_EQ(Save(root, "/data"), "/data::0\r\n");
    TFileTree loaded;
    ASSERT_TRUE(loaded.LoadFromStream("/data::0\r\n"));
    EXPECT_EQ(loaded.Name, "/data");
    EXPECT_EQ(loaded.ChildCount, 0);
    EXPECT_TRUE(loaded.Children.empty());
}

// Values that must come back unchanged through the text, one row per awkward value.
TEST(FileTreeSaveLoad, RoundTripsAwkwardValues) {
    struct TRow {
        const char* Label;
        std::string RootText;
        std::string Name;
        std::string Path;
        int64_t Size;
        int32_t Date;
    };
    const TRow rows[] = {
        {"64-bit size", "/data", "big.iso", "/", 5'000'000'000, DATE},
        {"largest size", "/data", "max", "/", INT64_MAX, DATE},
        {"date with top bit", "/data", "future", "/", 1, static_cast<int32_t>(0x9C610000u)},
        {"smallest date", "/data", "min", "/", 1, INT32_MIN},
        {"root with scheme", "ftp://h/x", "a", "/", 1, DATE},
        {"root with colons and percent", "s3://b:1/%41", "a", "/", 1, DATE},
        {"IPv6 root", "ftp://[::1]:21/x", "a", "/", 1, DATE},
        {"name with colon", "/data", "a:b::c", "/", 1, DATE},
        {"name with percent", "/data", "100%25.txt%", "/", 1, DATE},
        {"name with CR and LF", "/data", "line\r\nbreak\r", "/", 1, DATE},
        {"backslash kept", "/data", "a\\b", "/", 1, DATE},
        {"non-ASCII name", "/data", "\xC3\x89mile", "/", 1, DATE},
        {"bytes that are not UTF-8", "/data", "\xFF\xFE", "/", 1, DATE},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Label);
        TFileTree root;
        AddFile(root, row.Name, row.Path, row.Size, row.Date);
        const std::string text = Save(root, row.RootText);
        // Exactly two lines: nothing in the values may break a line or add a field.
        EXPECT_EQ(text.find('\n'), text.find("\r\n") + 1);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
        EXPECT_EQ(std::count(text.begin(), text.end(), ':') -
                      std::count(row.RootText.begin(), row.RootText.end(), ':'),
                  2 + 5);

        TFileTree loaded;
        std::string error;
        ASSERT_TRUE(loaded.LoadFromStream(text, &error)) << error << "\n" << text;
        EXPECT_EQ(loaded.Name, row.RootText);
        ASSERT_EQ(loaded.ChildCount, 1);
        const TFileAttri& a = *loaded.Children[0]->Data;
        EXPECT_EQ(loaded.Children[0]->Name, row.Name);
        EXPECT_EQ(a.Name, row.Name);
        EXPECT_EQ(a.Path.str(), row.Path);
        EXPECT_EQ(a.Size, row.Size);
        EXPECT_EQ(a.FileDate, row.Date);
        EXPECT_EQ(a.IsFolder, 0);
    }
}

// Entry names escape the four characters that would break a line or a field; the root address goes
// as it is, as other readers of the form expect it, and the escaped root of earlier versions still
// names its address.
TEST(FileTreeSaveLoad, EscapesOnlyTheFourCharactersOfNamesAndKeepsTheRootAsItIs) {
    TFileTree root;
    AddFile(root, "a:b%c\rd\ne\\f", "/", 1);
    EXPECT_EQ(Save(root, "ftp://h:21/x"), "ftp://h:21/x::1\r\na%3Ab%25c%0Dd%0Ae\\f:0:/:1080124357:1:32\r\n");
    struct {
        const char* RootText;
        int32_t Kind;
        const char* Address;
        bool Names;
    } rows[] = {
        {"ftp://h:21/x", DEVICE_FTP, "ftp://h:21/x", true},
        {"ftp%3A//h%3A21/x", DEVICE_FTP, "ftp://h:21/x", true},
        {"http://h/a%20b", DEVICE_WEBDAV, "http://h/a%20b", true},
        {"http://h/a%2520b", DEVICE_WEBDAV, "http://h/a%20b", true},
        {"ftp%3A//h%3A21/x", DEVICE_FTP, "ftp://h:21/y", false},
        {"/data", DEVICE_LOCAL, "/data2", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(TFileTree::RootTextNames(r.RootText, r.Kind, r.Address), r.Names) << r.RootText;
}

TEST(FileTreeSaveLoad, AcceptsOtherLineEndsAndIgnoresExtraLines) {
    const char* const texts[] = {
        "/d::1\nx:0:/:1:2:32\n",
        "/d::1\rx:0:/:1:2:32\r",
        "/d::1\r\nx:0:/:1:2:32",
        "/d::1\r\nx:0:/:1:2:32\r\nleft over\r\n\r\n",
    };
    for (const char* text : texts)
        for (std::size_t piece : PIECES) {
            SCOPED_TRACE(testing::Message() << text << " in pieces of " << piece);
            TFileTree loaded;
            std::string error;
            ASSERT_TRUE(Load(loaded, text, piece, &error)) << error;
            ASSERT_EQ(loaded.ChildCount, 1);
            EXPECT_EQ(loaded.Children[0]->Data->Size, 2);
            EXPECT_EQ(loaded.Children[0]->Name, "x");
        }
}

TEST(FileTreeSaveLoad, DamagedTextIsDiscardedWhole) {
    const char* const texts[] = {
        "",
        "\r\n",
        "/d:1\r\n",
        "/d::\r\n",
        "/d::x\r\n",
        "/d::-1\r\n",
        "/d::1 \r\n",
        "/d::+1\r\n",
        "/d::2147483648\r\n",
        "/d::2000000000\r\na:0:/:1:1:32\r\n",
        "/d::2\r\na:0:/:1:1:32\r\n",      // fewer lines than announced
        "/d::2\r\na:0:/:1:1:32\r\n\r\n",  // an empty line is not an entry
        "/d::1\r\nf:1:/:1:-1:16\r\n",     // folder's child missing
        "/d::1\r\na:0:/:1:1\r\n",         // five fields
        "/d::1\r\na:0:/:1:1:32:7\r\n",    // seven fields
        "/d::1\r\na:x:/:1:1:32\r\n",
        "/d::1\r\na:-1:/:1:1:32\r\n",
        "/d::1\r\na:0:/:2147483648:1:32\r\n",
        "/d::1\r\na:0:/:1:9223372036854775808:32\r\n",
        "/d::1\r\na:0:/:1:-2:32\r\n",
        "/d::1\r\na:0:/:1::32\r\n",
        "/d::1\r\na:0:/:1:1:\r\n",
        "/d::1\r\na:0:/:1:1:3 2\r\n",
        "/d::1\r\na:1:/:1:5:32\r\nb:0:/a/:1:1:32\r\n",  // a file with children
        "/d::1\r\na%3:0:/:1:1:32\r\n",                  // escape cut short
        "/d::1\r\na%41:0:/:1:1:32\r\n",                 // not one of the four escapes
        "/d::1\r\na:0:/%zz/:1:1:32\r\n",
        "/d::2\r\nf:2000000000:/:1:-1:16\r\na:0:/f/:1:1:32\r\n",
    };
    for (const char* text : texts)
        for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
            SCOPED_TRACE(testing::Message() << text << " in pieces of " << piece);
            TFileTree loaded("kept", nullptr);
            std::string error;
            uint64_t hash = 7;
            EXPECT_FALSE(Load(loaded, text, piece, &error, nullptr, piece ? &hash : nullptr));
            EXPECT_FALSE(error.empty());
            EXPECT_EQ(loaded.ChildCount, 0);
            EXPECT_TRUE(loaded.Children.empty());
            EXPECT_EQ(loaded.Name, "kept");
            if (piece) {
                EXPECT_EQ(hash, 0u);
            }
        }
}

TEST(FileTreeSaveLoad, ALinesLengthIsKnownBeforeItIsWritten) {
    const struct {
        std::string Name, Path;
        int32_t Count, Date;
        int64_t Size;
        int32_t Attr;
    } lines[] = {
        {"a.txt", "/", 0, 0, 0, 0},
        {"with:colon%and\r\nbreaks", "/x:y/", 12, -5, -1, 16},
        {"big", "/deep/er/", 2147483647, -2147483647 - 1, INT64_MAX, -1},
        {"small", "/", 0, 9, INT64_MIN, 10},
        {"", "", 1000000000, 999999999, 1000000000000LL, 128},
    };
    for (const auto& l : lines) {
        std::string text;
        TFileTree::AppendEntryLine(text, l.Name, l.Count, l.Path, l.Date, l.Size, l.Attr);
        EXPECT_EQ(TFileTree::EntryLineLength(l.Name, l.Count, l.Path, l.Date, l.Size, l.Attr), text.size())
            << text;
    }
}

TEST(FileTreeSaveLoad, APieceThatCannotBeReadFailsTheLoad) {
    TFileTree loaded;
    int calls = 0;
    const TFileTree::TTextSource source = [&](char* buffer, std::size_t) -> int64_t {
        if (calls++ > 0) return -1;
        std::copy_n("/d::1\r\n", 7, buffer);
        return 7;
    };
    std::string error;
    EXPECT_FALSE(loaded.LoadFromSource(source, 100, &error));
    EXPECT_TRUE(loaded.Children.empty());
}

TEST(FileTreeSaveLoad, TheFingerprintDoesNotDependOnHowTheTextIsCut) {
    std::string text = EXAMPLE;
    for (int i = 0; i < 50; ++i)
        text += "f" + std::to_string(i) + ":0:/:1:" + std::to_string(i * 37) + ":32\r\n";
    text.replace(text.find("::2"), 3, "::52");
    text += "lines beyond the counts are ignored\r\nbut they are part of the file\r\n";
    for (std::size_t piece : {1, 2, 3, 7, 8, 9, 64, 100000}) {
        SCOPED_TRACE(piece);
        TFileTree loaded;
        uint64_t hash = 0;
        std::string error;
        ASSERT_TRUE(Load(loaded, text, piece, &error, nullptr, &hash)) << error;
        EXPECT_EQ(hash, TFileTree::TextHash(text));
    }
    // One byte more or one byte changed is another text.
    EXPECT_NE(TFileTree::TextHash(text), TFileTree::TextHash(text + " "));
    std::string changed = text;
    changed[changed.size() / 2] ^= 1;
    EXPECT_NE(TFileTree::TextHash(text), TFileTree::TextHash(changed));
}

// A state loaded beside its listing shares the listing's node for every entry it records as listed
// (a whole folder when everything below is), and still reads back to the same text.
TEST(FileTreeSaveLoad, AStateSharesTheListingsNodesWhereItRecordsThem) {
    const auto listing = [] {
        auto root = TFileTree::Create("/data", nullptr);
        TFileTree* docs = AddFolder(*root, "docs", "/");
        AddFile(*docs, "a.txt", "/docs/", 10);
        AddFile(*docs, "b.txt", "/docs/", 20);
        TFileTree* pics = AddFolder(*root, "pics", "/");
        AddFile(*pics, "p.png", "/pics/", 30);
        AddFile(*root, "top.txt", "/", 40);
        return root;
    };
    struct TCase {
        const char* Name;
        std::string Text;
        bool NotListedPics;
        std::vector<std::string> Shared;  // top-level names whose node is the listing's
        std::vector<std::string> SharedInDocs;
    };
    const std::string docs = "docs:2:/:1080124357:-1:16\r\n";
    const std::string a = "a.txt:0:/docs/:1080124357:10:32\r\n", b = "b.txt:0:/docs/:1080124357:20:32\r\n";
    const std::string pics = "pics:1:/:1080124357:-1:16\r\np.png:0:/pics/:1080124357:30:32\r\n";
    const std::string top = "top.txt:0:/:1080124357:40:32\r\n";
    const TCase cases[] = {
        {"all as listed", "/data::3\r\n" + docs + a + b + pics + top, false, {"docs", "pics", "top.txt"}, {}},
        {"a file changed",
         "/data::3\r\n" + docs + a + "b.txt:0:/docs/:1080124357:21:32\r\n" + pics + top,
         false,
         {"pics", "top.txt"},
         {"a.txt"}},
        {"a file gone since",
         "/data::3\r\ndocs:3:/:1080124357:-1:16\r\n" + a + b + "c.txt:0:/docs/:1:1:32\r\n" + pics + top,
         false,
         {"pics", "top.txt"},
         {"a.txt", "b.txt"}},
        {"a file new since",
         "/data::3\r\ndocs:1:/:1080124357:-1:16\r\n" + a + pics + top,
         false,
         {"pics", "top.txt"},
         {"a.txt"}},
        {"a folder's attribute",
         "/data::3\r\ndocs:2:/:1080124357:-1:17\r\n" + a + b + pics + top,
         false,
         {"pics", "top.txt"},
         {"a.txt", "b.txt"}},
        {"a folder not listed in full",
         "/data::3\r\n" + docs + a + b + pics + top,
         true,
         {"docs", "top.txt"},
         {}},
        {"another kind of entry",
         "/data::3\r\n" + docs + a + b + pics + "top.txt:0:/:1080124357:-1:16\r\n",
         false,
         {"docs", "pics"},
         {}},
    };
    for (const TCase& c : cases)
        for (std::size_t piece : {std::size_t{0}, std::size_t{5}}) {
            SCOPED_TRACE(testing::Message() << c.Name << " in pieces of " << piece);
            const TFileTreeRef listed = listing();
            listed->Children[1]->NotListed = c.NotListedPics;
            TFileTree state;
            std::string error;
            ASSERT_TRUE(Load(state, c.Text, piece, &error, listed.get())) << error;
            EXPECT_EQ(Save(state, "/data"), c.Text);  // what was read, byte for byte
            std::vector<std::string> shared, sharedInDocs;
            for (const auto& child : state.Children)
                for (const auto& l : listed->Children)
                    if (child.get() == l.get()) shared.push_back(child->Name);
            EXPECT_EQ(shared, c.Shared);
            if (state.Children[0]->Name == "docs" && state.Children[0].get() != listed->Children[0].get())
                for (const auto& child : state.Children[0]->Children)
                    for (const auto& l : listed->Children[0]->Children)
                        if (child.get() == l.get()) sharedInDocs.push_back(child->Name);
            EXPECT_EQ(sharedInDocs, c.SharedInDocs);
        }
}

TEST(FileTreeSaveLoad, LoadedLevelsAreInListingOrderWithParents) {
    const char* text =
        "/d::4\r\n"
        "b.txt:0:/:1:1:32\r\n"
        "A:1:/:1:-1:16\r\n"
        "z:0:/A/:1:1:32\r\n"
        "a.txt:0:/:1:1:32\r\n"
        "c:0:/:1:-1:16\r\n";
    TFileTree loaded;
    ASSERT_TRUE(loaded.LoadFromStream(text));
    ExpectConsistent(loaded);
    std::vector<std::string> names;
    for (const auto& c : loaded.Children) names.push_back(c->Name);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "c", "a.txt", "b.txt"}));
    EXPECT_EQ(loaded.Children[0]->Children[0]->Name, "z");
}

TEST(FileTreeSaveLoad, SiblingsShareOnePathText) {
    const char* text =
        "/d::4\r\n"
        "f:1:/:1:-1:16\r\n"
        "in:0:/f/:1:1:32\r\n"
        "g:0:/:1:-1:16\r\n"
        "x:0:/:1:1:32\r\n"
        "y:0:/:1:1:32\r\n";
    TFileTree loaded;
    ASSERT_TRUE(loaded.LoadFromStream(text));
    const auto& c = loaded.Children;
    ASSERT_EQ(c.size(), 4u);
    for (std::size_t i = 1; i < c.size(); ++i) EXPECT_TRUE(c[0]->Data->Path.SameBlock(c[i]->Data->Path));
    EXPECT_EQ(c[0]->Children[0]->Data->Path, "/f/");
}

TEST(FileTreeSaveLoad, VeryDeepTreeLoadsSavesAndIsReleased) {
    // Every line names its own place, so a text of depth D is about D * D bytes long.
    constexpr int DEPTH = 3'000;
    std::string text = "/d::1\r\n", path = "/";
    for (int i = 0; i < DEPTH; ++i) {
        text += "d:" + std::string(i + 1 < DEPTH ? "1" : "0") + ":" + path + ":1:-1:16\r\n";
        path += "d/";
    }
    {
        TFileTree loaded;
        std::string error;
        ASSERT_TRUE(loaded.LoadFromStream(text, &error)) << error;
        int depth = 0;
        for (const TFileTree* n = &loaded; !n->Children.empty(); n = n->Children[0].get()) ++depth;
        EXPECT_EQ(depth, DEPTH);
        EXPECT_EQ(Save(loaded, "/d"), text);
    }
    // Cut short at the bottom: the whole deep tree is built, then thrown away.
    text.resize(text.rfind("d:0:"));
    TFileTree loaded;
    EXPECT_FALSE(loaded.LoadFromStream(text));
    EXPECT_TRUE(loaded.Children.empty());
}

// The children array holds counted references: growing, copying, moving and erasing keep every
// node alive exactly as long as something refers to it.
TEST(FileTreeChildren, TheChildArrayCountsItsReferences) {
    std::vector<TFileTreeRef> nodes;
    for (int i = 0; i < 100; ++i) nodes.push_back(TFileTree::Create("n" + std::to_string(i), nullptr));
    TFileTreeList list;
    for (const auto& n : nodes) list.push_back(n);  // grows several times
    ASSERT_EQ(list.size(), 100u);
    EXPECT_EQ(nodes[0]->RefCount(), 2);
    {
        const TFileTreeList copy = list;
        EXPECT_EQ(nodes[99]->RefCount(), 3);
        EXPECT_EQ(copy[99].get(), nodes[99].get());
    }
    EXPECT_EQ(nodes[99]->RefCount(), 2);
    list.erase(list.begin() + 1);
    ASSERT_EQ(list.size(), 99u);
    EXPECT_EQ(list[1]->Name, "n2");
    EXPECT_EQ(nodes[1]->RefCount(), 1);
    EXPECT_EQ((*list.rbegin())->Name, "n99");
    TFileTreeList moved = std::move(list);
    EXPECT_TRUE(list.empty());  // NOLINT(bugprone-use-after-move): a moved list is empty
    EXPECT_EQ(moved.size(), 99u);
    moved.pop_back();
    EXPECT_EQ(nodes[99]->RefCount(), 1);
    moved.clear();
    EXPECT_EQ(nodes[0]->RefCount(), 1);
}

TEST(FileTreeChildren, AddAppendRemove) {
    TFileTree root;
    TFileTree* a = AddFile(root, "dup", "/", 1);
    AddFile(root, "other", "/", 2);
    TFileTree* second = AddFile(root, "dup", "/", 3);
    EXPECT_EQ(a->Parent, &root);

    root.RemoveChild("DUP");  // names compare exactly
    EXPECT_EQ(root.ChildCount, 3);
    root.RemoveChild("dup");
    ASSERT_EQ(root.ChildCount, 2);
    ASSERT_EQ(root.Children.size(), 2u);
    EXPECT_EQ(root.Children[0]->Name, "other");
    EXPECT_EQ(root.Children[1].get(), second);

    TFileTree other;
    other.AddChildren(root);
    EXPECT_EQ(other.ChildCount, 2);
    EXPECT_EQ(other.Children[1].get(), second);
    EXPECT_EQ(second->Parent, &root);  // shared, not re-parented
    EXPECT_EQ(root.ChildCount, 2);

    auto lone = TFileTree::Create("lone", Entry("lone", "/", 0));
    other.AppendNode(lone);
    EXPECT_EQ(other.ChildCount, 3);
    EXPECT_EQ(lone->Parent, nullptr);

    other.AddChildren(other);
    EXPECT_EQ(other.ChildCount, 6);
    EXPECT_EQ(other.Children[5].get(), lone.get());

    // A removed node is not released: it lives on where it is shared.
    root.RemoveChild("dup");
    EXPECT_EQ(root.ChildCount, 1);
    EXPECT_EQ(other.Children[1]->Name, "dup");
}

using TCounter = int32_t TFileTree::*;
struct TNamedCounter {
    const char* Name;
    TCounter Field;
};
constexpr TNamedCounter COUNTERS[] = {
    {"Error", &TFileTree::ErrorCount},       {"Conflict", &TFileTree::ConflictCount},
    {"Included", &TFileTree::IncludedCount}, {"Excluded", &TFileTree::ExcludedCount},
    {"New", &TFileTree::NewCount},           {"Overwrite", &TFileTree::OverwriteCount},
    {"Delete", &TFileTree::DeleteCount},     {"LtoR", &TFileTree::LtoRCount},
    {"RtoL", &TFileTree::RtoLCount},         {"Same", &TFileTree::SameCount},
};

// The counters that are 1, as a sorted text such as "LtoR,New".
std::string SetCounters(const TFileTree& n) {
    std::vector<std::string> set;
    for (const auto& c : COUNTERS) {
        EXPECT_TRUE(n.*c.Field == 0 || n.*c.Field == 1) << c.Name;
        if (n.*c.Field) set.push_back(c.Name);
    }
    std::sort(set.begin(), set.end());
    std::string out;
    for (const auto& s : set) out += (out.empty() ? "" : ",") + s;
    return out;
}

void SetAll(TFileTree& n) {
    for (const auto& c : COUNTERS) n.*c.Field = 1;
}

TEST(FileTreeCounters, SetStatusOnALeaf) {
    // Every counter starts at 1: the action counters are replaced, the filter counters survive.
    const struct {
        int32_t Code;
        const char* Expected;
    } rows[] = {
        {ACTION_LEFT_ONLY, "Excluded,Included,LtoR,New"},
        {ACTION_RIGHT_ONLY, "Excluded,Included,New,RtoL"},
        {ACTION_LEFT_NEWER, "Excluded,Included,LtoR,Overwrite"},
        {ACTION_RIGHT_NEWER, "Excluded,Included,Overwrite,RtoL"},
        {ACTION_SAME, "Excluded,Included,Same"},
        {ACTION_NEW, "Excluded,Included,New"},
        {ACTION_CHANGED, "Conflict,Excluded,Included"},
        {ACTION_CONFLICT, "Conflict,Excluded,Included"},
        {ACTION_ERROR, "Error,Excluded,Included"},
        {ACTION_DELETED, "Delete,Excluded,Included"},
        {ACTION_DELETED_LEFT, "Delete,Excluded,Included"},
        {ACTION_DELETED_RIGHT, "Delete,Excluded,Included"},
        {ACTION_NOT_COPY, "Excluded,Included"},
        {ACTION_NONE, "Excluded,Included"},
        {ACTION_INCLUDED, "Excluded,Included"},
        {ACTION_EXCLUDED, "Excluded,Included"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Code);
        TFileTree leaf;
        SetAll(leaf);
        leaf.SetStatus(row.Code);
        EXPECT_EQ(leaf.Status, row.Code);
        EXPECT_EQ(SetCounters(leaf), row.Expected);
    }
}

TEST(FileTreeCounters, SetStatusOnAFolderWithChildrenSetsNoActionCounter) {
    TFileTree folder;
    AddFile(folder, "x", "/", 1);
    SetAll(folder);
    folder.SetStatus(ACTION_LEFT_ONLY);
    EXPECT_EQ(folder.Status, ACTION_LEFT_ONLY);
    EXPECT_EQ(SetCounters(folder), "Excluded,Included");
}

TEST(FileTreeCounters, FilterStateAndClearing) {
    TFileTree n;
    n.SetStatus(ACTION_LEFT_ONLY);
    n.SetFilterState(ACTION_INCLUDED);
    EXPECT_EQ(SetCounters(n), "Included,LtoR,New");
    n.SetFilterState(ACTION_EXCLUDED);
    EXPECT_EQ(SetCounters(n), "Excluded");
    EXPECT_EQ(n.Status, ACTION_LEFT_ONLY);
    n.SetFilterState(ACTION_INCLUDED);
    EXPECT_EQ(SetCounters(n), "Included");

    SetAll(n);
    n.ClearActionFlags();
    EXPECT_EQ(SetCounters(n), "Excluded,Included");
    n.ClearFlags();
    EXPECT_EQ(SetCounters(n), "");
}

}  // namespace
}  // namespace bfs
