#pragma once

#include "model/UTFileAttri.h"
#include "model/UTRefPtr.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bfs {

class TFileTree;

// Marks on a result-tree node (TFileTree::Flags), kept beside its action code.
enum : uint8_t {
    NODE_LEFT_ABSENT = 1,   // the analysis saw no entry on the left (deleted there, or never there)
    NODE_RIGHT_ABSENT = 2,  // the analysis saw no entry on the right
    NODE_EXCLUDED = 4,      // the filters excluded the entry itself (its own state, not its folder's)
    NODE_HELD_BACK = 8,     // nothing planned because a side could not be listed: not done on either side
    NODE_COMPARE = 16,      // a pair of files of equal size whose contents decide: equal ones are in sync
    // Set by the comparison with a saved state on a file whose date sits at an end of the DOS range
    // (DosDateAtBound): its date cannot show a change, so the file counts as changed (7) until its
    // contents show it is not.
    NODE_DATE_UNSURE = 32,
};

using TFileTreeRef = TRefPtr<TFileTree>;

// The fingerprint of a saved-state text (TFileTree::TextHash), taken over pieces as they are read:
// the same bytes give the same value however they are cut. Never 0.
class TTextHasher {
  public:
    void Add(std::string_view Bytes) noexcept;
    uint64_t Value() const noexcept;

  private:
    void Mix(const char* Word) noexcept;
    uint64_t m_State = 0x84222325CBF29CE4ULL;
    uint64_t m_Length = 0;
    char m_Tail[8] = {};
    std::size_t m_TailSize = 0;
};
// The children of a node, in order: a growable array of node references that takes 16 bytes in its
// node (a pointer and two 32-bit counts) where a std::vector takes 24. Offers the part of the
// std::vector interface the tree code uses.
class TFileTreeList {
  public:
    using value_type = TFileTreeRef;
    using iterator = TFileTreeRef*;
    using const_iterator = const TFileTreeRef*;
    using reverse_iterator = std::reverse_iterator<iterator>;
    using const_reverse_iterator = std::reverse_iterator<const_iterator>;

    TFileTreeList() noexcept = default;
    TFileTreeList(const TFileTreeList& Other);
    TFileTreeList(TFileTreeList&& Other) noexcept
        : m_Data(std::exchange(Other.m_Data, nullptr)),
          m_Size(std::exchange(Other.m_Size, 0)),
          m_Capacity(std::exchange(Other.m_Capacity, 0)) {}
    TFileTreeList& operator=(const TFileTreeList& Other);
    TFileTreeList& operator=(TFileTreeList&& Other) noexcept;
    ~TFileTreeList();

    size_t size() const noexcept { return m_Size; }
    bool empty() const noexcept { return m_Size == 0; }
    TFileTreeRef& operator[](size_t i) noexcept { return m_Data[i]; }
    const TFileTreeRef& operator[](size_t i) const noexcept { return m_Data[i]; }
    TFileTreeRef& back() noexcept { return m_Data[m_Size - 1]; }
    const TFileTreeRef& back() const noexcept { return m_Data[m_Size - 1]; }
    iterator begin() noexcept { return m_Data; }
    iterator end() noexcept { return m_Data + m_Size; }
    const_iterator begin() const noexcept { return m_Data; }
    const_iterator end() const noexcept { return m_Data + m_Size; }
    reverse_iterator rbegin() noexcept { return reverse_iterator(end()); }
    reverse_iterator rend() noexcept { return reverse_iterator(begin()); }
    const_reverse_iterator rbegin() const noexcept { return const_reverse_iterator(end()); }
    const_reverse_iterator rend() const noexcept { return const_reverse_iterator(begin()); }

    void reserve(size_t Count);
    void push_back(const TFileTreeRef& Node) { push_back(TFileTreeRef(Node)); }
    void push_back(TFileTreeRef&& Node);
    void pop_back() noexcept { m_Data[--m_Size].reset(); }
    iterator erase(const_iterator Position);
    // Releases every reference and the array itself.
    void clear() noexcept;

  private:
    TFileTreeRef* m_Data = nullptr;
    uint32_t m_Size = 0;
    uint32_t m_Capacity = 0;
};

// The one tree type: a side's listing, a side's saved state and the analysis result.
// Nodes are shared between trees (the merges move listing nodes into the result), hence counted.
//
// One allocation per node: the entry (TFileAttri) is stored inside the node, and Data points at it
// (null on a root, which has no entry). The entry's Name is the node's Name, stored once; the other
// entry fields are reached through Data only.
//
// Invariants: ChildCount == Children.size() whenever a tree is handed on; counters are 0 or 1 on a
// leaf (the plan sums them into folders); a root has no Data, every node below a root has one;
// every level is in listing order (folders first, then files, see UTListOrder.h).
class TFileTree : private TFileAttri {
  public:
    using TFileAttri::Name;  // entry name; on a root the side's root address
    using TRefCounted::AddRef;
    using TRefCounted::RefCount;
    using TRefCounted::Release;

    int32_t LoadLine = 0;    // current line while loading; root only
    int32_t Status = -1;     // action code (ACTION_*), -1 none
    int32_t RightDate = -1;  // right side's entry, filled by the merges
    int32_t RightAttr = -1;
    int64_t RightSize = 0;
    int64_t LeftSize = 0;  // left side's entry, filled when the plan rows are built
    int32_t LeftDate = -1;
    int32_t LeftAttr = -1;
    int32_t ErrorCount = 0;
    int32_t ConflictCount = 0;
    int32_t IncludedCount = 0;
    int32_t ExcludedCount = 0;
    int32_t NewCount = 0;
    int32_t OverwriteCount = 0;
    int32_t DeleteCount = 0;
    int32_t LtoRCount = 0;
    int32_t RtoLCount = 0;
    int32_t SameCount = 0;
    int32_t ChildCount = 0;
    // Set on a folder (or a root) whose contents are not fully known: it could not be read, or a
    // cancelled or failed listing never finished it. Nothing below such a node may be taken as
    // deleted on that side.
    bool NotListed = false;
    uint8_t Flags = 0;       // NODE_* marks of a result node
    uint8_t DoneAction = 0;  // the code whose operation the sync walk carried out here (0: none)
    // Set by AddChild, by the loader, and by the merges when they move a node into the result; never
    // owning. A node shared by several trees names the last tree that took it (the result, once
    // the analysis has run).
    TFileTree* Parent = nullptr;
    TFileTreeList Children;
    TFileAttri* Data = nullptr;  // the node's own entry; none on a root

    // A node named Name with a copy of Entry's fields (Entry's own name is not used); a root when
    // Entry is null.
    TFileTree() = default;  // an empty root
    TFileTree(std::string Name, const TFileAttri* Entry);
    // A node of the entry, named by its Name.
    explicit TFileTree(TFileAttri&& Entry);
    TFileTree(const TFileTree&) = delete;
    TFileTree& operator=(const TFileTree&) = delete;
    // Releases the subtree without recursion, so a very deep tree cannot overflow the stack.
    ~TFileTree();

    static TFileTreeRef Create(std::string Name, const TFileAttri* Data) {
        return MakeRef<TFileTree>(std::move(Name), Data);
    }
    static TFileTreeRef Create(std::string Name, const TFileAttriRef& Data) {
        return Create(std::move(Name), Data.get());
    }

    // Appends a new child made from Name and Data, with this node as its parent; returns it.
    TFileTree* AddChild(std::string Name, const TFileAttri* Data);
    TFileTree* AddChild(std::string Name, const TFileAttriRef& Data) {
        return AddChild(std::move(Name), Data.get());
    }
    // The same for an entry given whole (named by its Name): what the listings use.
    TFileTree* AddChild(TFileAttri&& Entry);
    // Appends an existing node; its Parent is left as it was.
    void AppendNode(TFileTreeRef Node);
    // Appends (shares) every child of Other, in order; Other keeps its children.
    void AddChildren(const TFileTree& Other);
    // Removes the first child named exactly Name (byte comparison); nothing when there is none.
    void RemoveChild(std::string_view Name);

    void ClearFlags();        // all ten counters to 0
    void ClearActionFlags();  // all counters but IncludedCount and ExcludedCount to 0
    // Stores Code and, on a node without children, sets the counters that the code stands for.
    void SetStatus(int32_t Code);
    // ACTION_INCLUDED marks the node included and keeps its action counters; any other code
    // clears every counter and marks it excluded (NODE_EXCLUDED too). Status is not touched.
    void SetFilterState(int32_t Code);

    bool IsFolder() const noexcept { return Data && TFileAttri::IsFolder != 0; }

    // Appends the saved-state text of the tree below this node to Stream; RootText starts the
    // first line (callers pass the side's root address). Lines end with CR LF.
    void SaveToStream(std::string& Stream, std::string_view RootText) const;
    // The two kinds of line of the saved-state text, for writers that stream a state without a
    // tree: the root line, and one entry's line (Size -1 for a folder). SaveToStream uses them.
    static void AppendRootLine(std::string& Stream, std::string_view RootText, int32_t Count);
    static void AppendEntryLine(std::string& Stream, std::string_view Name, int32_t Count,
                                std::string_view Path, int32_t FileDate, int64_t Size, int32_t Attr);
    // Whether a saved state's root text (the Name of a loaded state) names the folder at Address, a
    // side of Kind: written in any form of that address (SameFolderAddress), or percent-escaped as
    // earlier versions wrote it ("ftp%3A//host%3A21/dir").
    static bool RootTextNames(std::string_view RootText, int32_t Kind, std::string_view Address);
    // The length of the line AppendEntryLine would append, computed without writing it.
    static size_t EntryLineLength(std::string_view Name, int32_t Count, std::string_view Path,
                                  int32_t FileDate, int64_t Size, int32_t Attr) noexcept;

    // A fingerprint of a saved-state text, to tell whether a state about to be written is the one
    // already stored (length and a 64-bit hash of the bytes). Never 0.
    static uint64_t TextHash(std::string_view Text) noexcept;

    // Loads saved-state text into this node, which must be a fresh root. Returns true when the
    // whole text loaded cleanly; otherwise the node is left empty (no saved state) and the reason
    // is in Error (the caller decides whether to log it). A line whose path is not the path of the
    // folder it stands in makes the text damaged.
    // Listing, when given, is the side's listing of this run (in listing order): an entry that the
    // text records just as the listing shows it is not read into a node of its own, the state
    // shares the listing's node (a whole folder when everything below it is recorded as listed).
    // A state that matches its listing thus costs next to nothing beside it. Shared nodes are the
    // listing's: their Parent is the listing's folder, and what the analysis marks on them (Status,
    // Flags, the counters) is the listing's; a state reader looks at Name and Data only.
    bool LoadFromStream(std::string_view Stream, std::string* Error = nullptr,
                        const TFileTree* Listing = nullptr);
    // Reads the next piece of a text into Buffer (at most Capacity bytes): how many, 0 at its end,
    // -1 when it could not be read.
    using TTextSource = std::function<int64_t(char* Buffer, std::size_t Capacity)>;
    // LoadFromStream over a text read piece by piece, so that a large state is never held whole.
    // Size is the text's length (an upper bound will do). Hash gets TextHash of the text when it
    // loaded, else 0.
    bool LoadFromSource(const TTextSource& Source, uint64_t Size, std::string* Error = nullptr,
                        const TFileTree* Listing = nullptr, uint64_t* Hash = nullptr);
};

// A side listed twice in one run (the state saving lists each side again) gets a second listing
// that shares the first one's nodes wherever the side still shows them as they were, so that it
// costs memory only for what changed. Levels are in listing order.
// Replaces each file of Read's level that Earlier's level holds with the same stored fields by
// Earlier's node.
void ShareListedFiles(TFileTree& Read, const TFileTree& Earlier);
// The folder of Earlier's level named as Folder, or null.
const TFileTree* FindListedFolder(const TFileTree& Earlier, const TFileTree& Folder);
// Whether Read, a folder listed in full, holds just Earlier's nodes and has Earlier's stored fields:
// Earlier can then stand in for it.
bool SameAsListed(const TFileTree& Read, const TFileTree& Earlier);

}  // namespace bfs
