#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

// The task list ("tasklist.fs", exported task lists, templates) is an XML file:
//
//   TaskList
//     Tast*        SyncID SyncName SyncDirection ForcedOrVerified IsDeleteFile SaveOldFile UseTempFile
//                  CheckNoChange EstimateDiskSpace DisplayTip LFolder RFolder Filter Auto
//       LFolder, RFolder   DeviceType FolerAllName validate UserName PWD ActiveMode FactTime PrivateKey
//       Filter             ExcludeEmtpyFolder ExcludeHiddenFile ExcludeSystemFile IncludeFilter ExcludeFilter
//         IncludeFilter, ExcludeFilter   Item* (attributes name and value, no text)
//       Auto               StartAnalyze StartSync ConnectAnalyze ConnectSync LogoffAnalyze LogoffSync
//                          PeriodAnalyze PeriodSync Hours minutes TaskScheduler TSsync TSanalyze Conflicts
//                          SyncScale EnsureFolderTags
//
// Element names are matched exactly (case-sensitive, misspellings included); elements spelled any other
// way are not read as these but stay in the file. Every leaf is text: the binding converts nothing.
//
// The binding classes are light, copyable handles over one element of a TTaskListDocument; they stay
// valid while the document lives and the element is not removed. A handle is not an owner: const
// only means the handle itself does not change. A default-constructed handle is null: it reads "",
// counts 0 and ignores writes.
//
// Leaves: an absent leaf reads as "". Writing a leaf replaces its text in place, or creates the leaf at
// the end of its parent's children, so the children of a new element stand in the order in which they
// are first written. Child elements (LFolder, Filter, IncludeFilter ...) are created on Get_ when
// absent, at the end of their parent's children.

namespace pugi {
struct xml_node_struct;
class xml_node;
class xml_document;
}  // namespace pugi

namespace bfs {

// A handle over one element.
class TXMLElement {
  public:
    TXMLElement() = default;
    explicit TXMLElement(pugi::xml_node_struct* Node) : m_Node(Node) {}

    bool IsNull() const { return m_Node == nullptr; }
    // The element itself, for callers that need the DOM (include <pugixml.hpp> to use it).
    pugi::xml_node XmlNode() const;

    friend bool operator==(const TXMLElement& A, const TXMLElement& B) { return A.m_Node == B.m_Node; }

  protected:
    friend class TXMLCollection;

    // Text of the first child element named Name; "" when there is none.
    std::string GetLeaf(const char* Name) const;
    // Sets the text of the first child element named Name, appending the element when absent.
    void SetLeaf(const char* Name, std::string_view Value) const;
    // The first child element named Name, appended when absent.
    pugi::xml_node_struct* ChildElement(const char* Name) const;

    pugi::xml_node_struct* m_Node = nullptr;
};

// A walk over the items of a collection in document order: each step goes to the next sibling of
// that name, so a whole walk takes time linear in the collection's size (an index is counted from
// the first item on every call). Removing the item an iterator stands on ends that iterator's use;
// items added or removed elsewhere do not disturb it.
template <class TItem>
class TXMLItemIterator {
  public:
    using value_type = TItem;
    using difference_type = std::ptrdiff_t;

    TXMLItemIterator() = default;
    TXMLItemIterator(pugi::xml_node_struct* Item, const char* ItemName)
        : m_Item(Item), m_ItemName(ItemName) {}

    TItem operator*() const { return TItem(m_Item); }
    TXMLItemIterator& operator++();
    TXMLItemIterator operator++(int) {
        TXMLItemIterator before = *this;
        ++*this;
        return before;
    }
    friend bool operator==(const TXMLItemIterator& A, const TXMLItemIterator& B) {
        return A.m_Item == B.m_Item;
    }

  private:
    pugi::xml_node_struct* m_Item = nullptr;
    const char* m_ItemName = nullptr;
};

template <class TItem>
class TXMLItemRange {
  public:
    explicit TXMLItemRange(TXMLItemIterator<TItem> First) : m_First(First) {}
    TXMLItemIterator<TItem> begin() const { return m_First; }
    TXMLItemIterator<TItem> end() const { return {}; }

  private:
    TXMLItemIterator<TItem> m_First;
};

// The operations shared by both kinds of collection. Items are the child elements named by the
// collection's item name; other children are neither counted nor touched. Indexes are 0-based;
// an index out of range throws std::out_of_range.
class TXMLCollection : public TXMLElement {
  public:
    int Count() const;
    pugi::xml_node Node(int Index) const;  // the item element at Index
    void Clear();                          // removes every item
    void Delete(int Index);                // removes the item at Index; the others keep their order

    // The first item of Parent's children named ItemName, and the next item after Item; null at the end.
    static pugi::xml_node_struct* FirstItem(pugi::xml_node_struct* Parent, const char* ItemName);
    static pugi::xml_node_struct* NextItem(pugi::xml_node_struct* Item, const char* ItemName);

  protected:
    TXMLCollection(pugi::xml_node_struct* Node, const char* ItemName)
        : TXMLElement(Node), m_ItemName(ItemName) {}

    pugi::xml_node_struct* ItemAt(int Index) const;
    int RemoveItem(const TXMLElement& Item);
    pugi::xml_node_struct* AddItem();
    pugi::xml_node_struct* InsertItem(int Index);

    const char* m_ItemName;
};

// A collection of items of binding type TItem.
template <class TItem>
class TXMLCollectionOf : public TXMLCollection {
  public:
    // Removes Item when it belongs to this collection; returns the index it had, or -1.
    int Remove(const TItem& Item) { return RemoveItem(Item); }
    // Appends a new empty item after every other child and returns it.
    TItem Add() { return TItem(AddItem()); }
    // Inserts a new empty item before the item at Index (0 <= Index <= Count; Count appends).
    TItem Insert(int Index) { return TItem(InsertItem(Index)); }
    // Every item, in document order, for a walk over the whole collection.
    TXMLItemRange<TItem> Items() const {
        return TXMLItemRange<TItem>(TXMLItemIterator<TItem>(FirstItem(m_Node, m_ItemName), m_ItemName));
    }

  protected:
    using TXMLCollection::TXMLCollection;
    TItem ItemBinding(int Index) const { return TItem(ItemAt(Index)); }
};

template <class TItem>
TXMLItemIterator<TItem>& TXMLItemIterator<TItem>::operator++() {
    m_Item = TXMLCollection::NextItem(m_Item, m_ItemName);
    return *this;
}

class TXMLItemType : public TXMLElement {
  public:
    using TXMLElement::TXMLElement;

    // The attributes' texts ("" when absent); setting creates the attribute when absent.
    std::string Get_name() const;
    void Set_name(std::string_view Value) const;
    std::string Get_value() const;
    void Set_value(std::string_view Value) const;
};

// IncludeFilter and ExcludeFilter: collections of Item.
class TXMLItemListType : public TXMLCollectionOf<TXMLItemType> {
  public:
    TXMLItemListType() : TXMLCollectionOf(nullptr, "Item") {}
    explicit TXMLItemListType(pugi::xml_node_struct* Node) : TXMLCollectionOf(Node, "Item") {}

    TXMLItemType Get_Item(int Index) const { return ItemBinding(Index); }
};

class TXMLIncludeFilterType : public TXMLItemListType {
  public:
    using TXMLItemListType::TXMLItemListType;
};

class TXMLExcludeFilterType : public TXMLItemListType {
  public:
    using TXMLItemListType::TXMLItemListType;
};

// LFolder and RFolder: one side of a task.
class TXMLFolderType : public TXMLElement {
  public:
    using TXMLElement::TXMLElement;

    std::string Get_DeviceType() const { return GetLeaf("DeviceType"); }
    std::string Get_FolerAllName() const { return GetLeaf("FolerAllName"); }
    std::string Get_validate() const { return GetLeaf("validate"); }
    std::string Get_UserName() const { return GetLeaf("UserName"); }
    std::string Get_PWD() const { return GetLeaf("PWD"); }
    std::string Get_ActiveMode() const { return GetLeaf("ActiveMode"); }
    std::string Get_FactTime() const { return GetLeaf("FactTime"); }
    std::string Get_PrivateKey() const { return GetLeaf("PrivateKey"); }

    void Set_DeviceType(std::string_view Value) const { SetLeaf("DeviceType", Value); }
    void Set_FolerAllName(std::string_view Value) const { SetLeaf("FolerAllName", Value); }
    void Set_validate(std::string_view Value) const { SetLeaf("validate", Value); }
    void Set_UserName(std::string_view Value) const { SetLeaf("UserName", Value); }
    void Set_PWD(std::string_view Value) const { SetLeaf("PWD", Value); }
    void Set_ActiveMode(std::string_view Value) const { SetLeaf("ActiveMode", Value); }
    void Set_FactTime(std::string_view Value) const { SetLeaf("FactTime", Value); }
    void Set_PrivateKey(std::string_view Value) const { SetLeaf("PrivateKey", Value); }
};

class TXMLLFolderType : public TXMLFolderType {
  public:
    using TXMLFolderType::TXMLFolderType;
};

class TXMLRFolderType : public TXMLFolderType {
  public:
    using TXMLFolderType::TXMLFolderType;
};

class TXMLFilterType : public TXMLElement {
  public:
    using TXMLElement::TXMLElement;

    std::string Get_ExcludeEmtpyFolder() const { return GetLeaf("ExcludeEmtpyFolder"); }
    std::string Get_ExcludeHiddenFile() const { return GetLeaf("ExcludeHiddenFile"); }
    std::string Get_ExcludeSystemFile() const { return GetLeaf("ExcludeSystemFile"); }
    TXMLIncludeFilterType Get_IncludeFilter() const {
        return TXMLIncludeFilterType(ChildElement("IncludeFilter"));
    }
    TXMLExcludeFilterType Get_ExcludeFilter() const {
        return TXMLExcludeFilterType(ChildElement("ExcludeFilter"));
    }

    void Set_ExcludeEmtpyFolder(std::string_view Value) const { SetLeaf("ExcludeEmtpyFolder", Value); }
    void Set_ExcludeHiddenFile(std::string_view Value) const { SetLeaf("ExcludeHiddenFile", Value); }
    void Set_ExcludeSystemFile(std::string_view Value) const { SetLeaf("ExcludeSystemFile", Value); }
};

class TXMLAutoType : public TXMLElement {
  public:
    using TXMLElement::TXMLElement;

    std::string Get_StartAnalyze() const { return GetLeaf("StartAnalyze"); }
    std::string Get_StartSync() const { return GetLeaf("StartSync"); }
    std::string Get_ConnectAnalyze() const { return GetLeaf("ConnectAnalyze"); }
    std::string Get_ConnectSync() const { return GetLeaf("ConnectSync"); }
    std::string Get_LogoffAnalyze() const { return GetLeaf("LogoffAnalyze"); }
    std::string Get_LogoffSync() const { return GetLeaf("LogoffSync"); }
    std::string Get_PeriodAnalyze() const { return GetLeaf("PeriodAnalyze"); }
    std::string Get_PeriodSync() const { return GetLeaf("PeriodSync"); }
    std::string Get_Hours() const { return GetLeaf("Hours"); }
    std::string Get_minutes() const { return GetLeaf("minutes"); }
    std::string Get_TaskScheduler() const { return GetLeaf("TaskScheduler"); }
    std::string Get_TSsync() const { return GetLeaf("TSsync"); }
    std::string Get_TSanalyze() const { return GetLeaf("TSanalyze"); }
    std::string Get_Conflicts() const { return GetLeaf("Conflicts"); }
    std::string Get_SyncScale() const { return GetLeaf("SyncScale"); }
    std::string Get_EnsureFolderTags() const { return GetLeaf("EnsureFolderTags"); }

    void Set_StartAnalyze(std::string_view Value) const { SetLeaf("StartAnalyze", Value); }
    void Set_StartSync(std::string_view Value) const { SetLeaf("StartSync", Value); }
    void Set_ConnectAnalyze(std::string_view Value) const { SetLeaf("ConnectAnalyze", Value); }
    void Set_ConnectSync(std::string_view Value) const { SetLeaf("ConnectSync", Value); }
    void Set_LogoffAnalyze(std::string_view Value) const { SetLeaf("LogoffAnalyze", Value); }
    void Set_LogoffSync(std::string_view Value) const { SetLeaf("LogoffSync", Value); }
    void Set_PeriodAnalyze(std::string_view Value) const { SetLeaf("PeriodAnalyze", Value); }
    void Set_PeriodSync(std::string_view Value) const { SetLeaf("PeriodSync", Value); }
    void Set_Hours(std::string_view Value) const { SetLeaf("Hours", Value); }
    void Set_minutes(std::string_view Value) const { SetLeaf("minutes", Value); }
    void Set_TaskScheduler(std::string_view Value) const { SetLeaf("TaskScheduler", Value); }
    void Set_TSsync(std::string_view Value) const { SetLeaf("TSsync", Value); }
    void Set_TSanalyze(std::string_view Value) const { SetLeaf("TSanalyze", Value); }
    void Set_Conflicts(std::string_view Value) const { SetLeaf("Conflicts", Value); }
    void Set_SyncScale(std::string_view Value) const { SetLeaf("SyncScale", Value); }
    void Set_EnsureFolderTags(std::string_view Value) const { SetLeaf("EnsureFolderTags", Value); }
};

// One task.
class TXMLTastType : public TXMLElement {
  public:
    using TXMLElement::TXMLElement;

    std::string Get_SyncID() const { return GetLeaf("SyncID"); }
    std::string Get_SyncName() const { return GetLeaf("SyncName"); }
    std::string Get_SyncDirection() const { return GetLeaf("SyncDirection"); }
    std::string Get_ForcedOrVerified() const { return GetLeaf("ForcedOrVerified"); }
    std::string Get_IsDeleteFile() const { return GetLeaf("IsDeleteFile"); }
    std::string Get_SaveOldFile() const { return GetLeaf("SaveOldFile"); }
    std::string Get_UseTempFile() const { return GetLeaf("UseTempFile"); }
    std::string Get_CheckNoChange() const { return GetLeaf("CheckNoChange"); }
    std::string Get_EstimateDiskSpace() const { return GetLeaf("EstimateDiskSpace"); }
    std::string Get_DisplayTip() const { return GetLeaf("DisplayTip"); }
    TXMLLFolderType Get_LFolder() const { return TXMLLFolderType(ChildElement("LFolder")); }
    TXMLRFolderType Get_RFolder() const { return TXMLRFolderType(ChildElement("RFolder")); }
    TXMLFilterType Get_Filter() const { return TXMLFilterType(ChildElement("Filter")); }
    TXMLAutoType Get_Auto() const { return TXMLAutoType(ChildElement("Auto")); }

    void Set_SyncID(std::string_view Value) const { SetLeaf("SyncID", Value); }
    void Set_SyncName(std::string_view Value) const { SetLeaf("SyncName", Value); }
    void Set_SyncDirection(std::string_view Value) const { SetLeaf("SyncDirection", Value); }
    void Set_ForcedOrVerified(std::string_view Value) const { SetLeaf("ForcedOrVerified", Value); }
    void Set_IsDeleteFile(std::string_view Value) const { SetLeaf("IsDeleteFile", Value); }
    void Set_SaveOldFile(std::string_view Value) const { SetLeaf("SaveOldFile", Value); }
    void Set_UseTempFile(std::string_view Value) const { SetLeaf("UseTempFile", Value); }
    void Set_CheckNoChange(std::string_view Value) const { SetLeaf("CheckNoChange", Value); }
    void Set_EstimateDiskSpace(std::string_view Value) const { SetLeaf("EstimateDiskSpace", Value); }
    void Set_DisplayTip(std::string_view Value) const { SetLeaf("DisplayTip", Value); }
};

// The root element: a collection of Tast.
class TXMLTaskListType : public TXMLCollectionOf<TXMLTastType> {
  public:
    TXMLTaskListType() : TXMLCollectionOf(nullptr, "Tast") {}
    explicit TXMLTaskListType(pugi::xml_node_struct* Node) : TXMLCollectionOf(Node, "Tast") {}

    TXMLTastType Get_Tast(int Index) const { return ItemBinding(Index); }
    // Index of the first Tast whose SyncID equals SyncID exactly (case-sensitive), or -1.
    int FindTast(std::string_view SyncID) const;
};

// A task-list document in memory, read from and written to a file.
//
// A file that exists but cannot be read or parsed (or whose root element is not TaskList) is never
// overwritten: the document remembers that its load failed, holds an empty task list, and Save
// refuses until New or a successful load.
class TTaskListDocument {
  public:
    static constexpr int LOAD_OK = 0;
    static constexpr int LOAD_MISSING = 1;       // no such file: the document is a new, empty task list
    static constexpr int LOAD_PARSE_ERROR = 2;   // not a task-list XML document; see ErrorText
    static constexpr int LOAD_READ_ERROR = 3;    // the file could not be read; see ErrorText
    static constexpr int SAVE_LOAD_FAILED = -1;  // Save refused: the document's load failed

    TTaskListDocument();  // a new, empty task list
    ~TTaskListDocument();
    TTaskListDocument(TTaskListDocument&&) noexcept;
    TTaskListDocument& operator=(TTaskListDocument&&) noexcept;
    TTaskListDocument(const TTaskListDocument&) = delete;
    TTaskListDocument& operator=(const TTaskListDocument&) = delete;

    // Makes the document an XML declaration and an empty TaskList root; clears a failed load.
    void New();
    // Reads Path as XML (UTF-8 unless its declaration or byte-order mark says otherwise). An empty or
    // blank file holds no tasks and loads as a new document (LOAD_OK). Returns one of LOAD_*.
    int LoadFile(const std::string& Path);
    // Parses Text as a task-list document. Returns LOAD_OK or LOAD_PARSE_ERROR.
    int LoadText(std::string_view Text);
    // Writes the document to Path (mode 0600: it holds passwords) through a temporary file in the same
    // folder, renamed over the old file. Returns 0, SAVE_LOAD_FAILED, or the errno of the failed write.
    int Save(const std::string& Path) const;
    // The document as written by Save: UTF-8 with a declaration naming encoding "utf-8", one element
    // per line indented by tabs, unknown elements, attributes and comments kept in place.
    std::string ToText() const;

    bool LoadFailed() const { return m_LoadFailed; }
    const std::string& ErrorText() const { return m_ErrorText; }

    TXMLTaskListType GetTaskList() const;

  private:
    int Parse(std::string_view Text, const std::string& Source);
    void Fail(std::string Error);

    std::unique_ptr<pugi::xml_document> m_Doc;
    bool m_LoadFailed = false;
    std::string m_ErrorText;
};

}  // namespace bfs
