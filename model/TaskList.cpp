#include "model/TaskList.h"

#include "platform/UTAtomicFile.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace bfs {

namespace {

// Everything the file holds is kept (comments, processing instructions, the doctype). Two choices
// keep leaf texts exact: a leaf whose text is only blanks keeps it (whitespace between elements is
// still dropped, as the writer indents anew), and line ends inside a text are not normalised, so a
// value holding "\r" comes back as it was written.
//
// Parsing as a fragment keeps text outside the root element as nodes, so that such a file is
// refused (below) rather than silently shortened.
constexpr unsigned PARSE_OPTIONS =
    (pugi::parse_full | pugi::parse_ws_pcdata_single | pugi::parse_fragment) & ~pugi::parse_eol;
constexpr const char* INDENT = "\t";
constexpr const char* ROOT_NAME = "TaskList";

bool IsXmlBlank(std::string_view Text) {
    return std::all_of(Text.begin(), Text.end(),
                       [](char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; });
}

// Appends a child element. A blank text left alone in the parent ("<Tast>\n</Tast>") goes first, so
// the parent does not end up with mixed text and elements, which the writer could not indent. A
// parent whose last child is an element holds no such text (the reader keeps blank text only as an
// element's sole child): appending to it takes constant time, and filling a long collection stays
// linear.
pugi::xml_node AppendElement(pugi::xml_node Parent, const char* Name) {
    if (!Parent) return {};
    if (Parent.last_child().type() == pugi::node_element) return Parent.append_child(Name);
    for (pugi::xml_node Child = Parent.first_child(); Child;) {
        pugi::xml_node Next = Child.next_sibling();
        if (Child.type() == pugi::node_pcdata && IsXmlBlank(Child.value())) Parent.remove_child(Child);
        Child = Next;
    }
    return Parent.append_child(Name);
}

// An empty value leaves the element without text ("<PWD />"), so that the file reads back the same.
void SetText(pugi::xml_node Leaf, std::string_view Value) {
    if (!Value.empty()) {
        Leaf.text().set(Value.data(), Value.size());
        return;
    }
    for (pugi::xml_node Child = Leaf.first_child(); Child;) {
        pugi::xml_node Next = Child.next_sibling();
        if (Child.type() == pugi::node_pcdata || Child.type() == pugi::node_cdata) Leaf.remove_child(Child);
        Child = Next;
    }
}

void SetAttribute(pugi::xml_node Node, const char* Name, std::string_view Value) {
    pugi::xml_attribute Attr = Node.attribute(Name);
    if (!Attr) Attr = Node.append_attribute(Name);
    Attr.set_value(Value.data(), Value.size());
}

class TStringWriter : public pugi::xml_writer {
  public:
    void write(const void* Data, size_t Size) override { Text.append(static_cast<const char*>(Data), Size); }
    std::string Text;
};

// "line L, column C" of a byte offset, for parse errors a user can find in the file.
std::string Position(std::string_view Text, size_t Offset) {
    Offset = std::min(Offset, Text.size());
    std::string_view Before = Text.substr(0, Offset);
    size_t Line = 1 + static_cast<size_t>(std::count(Before.begin(), Before.end(), '\n'));
    size_t LineStart = Before.rfind('\n');
    size_t Column = LineStart == std::string_view::npos ? Offset + 1 : Offset - LineStart;
    return "line " + std::to_string(Line) + ", column " + std::to_string(Column);
}

}  // namespace

// --- TXMLElement ---

pugi::xml_node TXMLElement::XmlNode() const {
    return pugi::xml_node(m_Node);
}

std::string TXMLElement::GetLeaf(const char* Name) const {
    return pugi::xml_node(m_Node).child(Name).text().get();
}

void TXMLElement::SetLeaf(const char* Name, std::string_view Value) const {
    pugi::xml_node Node(m_Node);
    if (!Node) return;
    pugi::xml_node Leaf = Node.child(Name);
    if (!Leaf) Leaf = AppendElement(Node, Name);
    SetText(Leaf, Value);
}

pugi::xml_node_struct* TXMLElement::ChildElement(const char* Name) const {
    pugi::xml_node Node(m_Node);
    if (!Node) return nullptr;
    pugi::xml_node Child = Node.child(Name);
    if (!Child) Child = AppendElement(Node, Name);
    return Child.internal_object();
}

// --- TXMLCollection ---

int TXMLCollection::Count() const {
    int Result = 0;
    for ([[maybe_unused]] pugi::xml_node Item : pugi::xml_node(m_Node).children(m_ItemName)) ++Result;
    return Result;
}

pugi::xml_node TXMLCollection::Node(int Index) const {
    return pugi::xml_node(ItemAt(Index));
}

void TXMLCollection::Clear() {
    pugi::xml_node Parent(m_Node);
    std::vector<pugi::xml_node> Items;
    for (pugi::xml_node Item : Parent.children(m_ItemName)) Items.push_back(Item);
    for (pugi::xml_node Item : Items) Parent.remove_child(Item);
}

void TXMLCollection::Delete(int Index) {
    pugi::xml_node(m_Node).remove_child(pugi::xml_node(ItemAt(Index)));
}

pugi::xml_node_struct* TXMLCollection::FirstItem(pugi::xml_node_struct* Parent, const char* ItemName) {
    return pugi::xml_node(Parent).child(ItemName).internal_object();
}

pugi::xml_node_struct* TXMLCollection::NextItem(pugi::xml_node_struct* Item, const char* ItemName) {
    return pugi::xml_node(Item).next_sibling(ItemName).internal_object();
}

pugi::xml_node_struct* TXMLCollection::ItemAt(int Index) const {
    int I = 0;
    if (Index >= 0) {
        for (pugi::xml_node Item : pugi::xml_node(m_Node).children(m_ItemName)) {
            if (I++ == Index) return Item.internal_object();
        }
    }
    throw std::out_of_range(std::string(m_ItemName) + " index " + std::to_string(Index) +
                            " out of range (count " + std::to_string(Count()) + ")");
}

int TXMLCollection::RemoveItem(const TXMLElement& Item) {
    if (!Item.m_Node) return -1;
    pugi::xml_node Parent(m_Node);
    int Index = 0;
    for (pugi::xml_node Child : Parent.children(m_ItemName)) {
        if (Child.internal_object() == Item.m_Node) {
            Parent.remove_child(Child);
            return Index;
        }
        ++Index;
    }
    return -1;
}

pugi::xml_node_struct* TXMLCollection::AddItem() {
    return AppendElement(pugi::xml_node(m_Node), m_ItemName).internal_object();
}

pugi::xml_node_struct* TXMLCollection::InsertItem(int Index) {
    if (Index == Count()) return AddItem();
    pugi::xml_node Before(ItemAt(Index));
    return pugi::xml_node(m_Node).insert_child_before(m_ItemName, Before).internal_object();
}

// --- TXMLItemType ---

std::string TXMLItemType::Get_name() const {
    return pugi::xml_node(m_Node).attribute("name").value();
}

void TXMLItemType::Set_name(std::string_view Value) const {
    SetAttribute(pugi::xml_node(m_Node), "name", Value);
}

std::string TXMLItemType::Get_value() const {
    return pugi::xml_node(m_Node).attribute("value").value();
}

void TXMLItemType::Set_value(std::string_view Value) const {
    SetAttribute(pugi::xml_node(m_Node), "value", Value);
}

// --- TXMLTaskListType ---

int TXMLTaskListType::FindTast(std::string_view SyncID) const {
    int Index = 0;
    for (pugi::xml_node Tast : pugi::xml_node(m_Node).children(m_ItemName)) {
        if (SyncID == Tast.child("SyncID").text().get()) return Index;
        ++Index;
    }
    return -1;
}

// --- TTaskListDocument ---

TTaskListDocument::TTaskListDocument() : m_Doc(std::make_unique<pugi::xml_document>()) {
    New();
}

TTaskListDocument::~TTaskListDocument() = default;
TTaskListDocument::TTaskListDocument(TTaskListDocument&&) noexcept = default;
TTaskListDocument& TTaskListDocument::operator=(TTaskListDocument&&) noexcept = default;

void TTaskListDocument::New() {
    if (!m_Doc) m_Doc = std::make_unique<pugi::xml_document>();
    m_Doc->reset();
    pugi::xml_node Decl = m_Doc->append_child(pugi::node_declaration);
    Decl.append_attribute("version").set_value("1.0");
    Decl.append_attribute("encoding").set_value("utf-8");
    m_Doc->append_child(ROOT_NAME);
    m_LoadFailed = false;
    m_ErrorText.clear();
}

void TTaskListDocument::Fail(std::string Error) {
    New();
    m_LoadFailed = true;
    m_ErrorText = std::move(Error);
}

int TTaskListDocument::LoadFile(const std::string& Path) {
    std::string Data;
    int Err = ReadWholeFile(Path, Data);
    if (Err == ENOENT) {
        New();
        return LOAD_MISSING;
    }
    if (Err != 0) {
        Fail(Path + ": " + std::generic_category().message(Err));
        return LOAD_READ_ERROR;
    }
    return Parse(Data, Path);
}

int TTaskListDocument::LoadText(std::string_view Text) {
    return Parse(Text, "task list");
}

int TTaskListDocument::Parse(std::string_view Text, const std::string& Source) {
    if (IsXmlBlank(Text)) {
        New();
        return LOAD_OK;
    }
    if (!m_Doc) m_Doc = std::make_unique<pugi::xml_document>();
    pugi::xml_parse_result Result =
        m_Doc->load_buffer(Text.data(), Text.size(), PARSE_OPTIONS, pugi::encoding_auto);
    if (!Result) {
        Fail(Source + ": " + Result.description() + " at " +
             Position(Text, static_cast<size_t>(std::max<ptrdiff_t>(Result.offset, 0))));
        return LOAD_PARSE_ERROR;
    }
    // A well-formed document has one root element and no text beside it.
    int Elements = 0;
    for (pugi::xml_node Child : m_Doc->children()) {
        if (Child.type() == pugi::node_element) ++Elements;
        bool Stray = Child.type() == pugi::node_cdata ||
                     (Child.type() == pugi::node_pcdata && !IsXmlBlank(Child.value()));
        if (Stray || Elements > 1) {
            Fail(Source + ": text outside the root element, or a second root element");
            return LOAD_PARSE_ERROR;
        }
    }
    std::string Root = m_Doc->document_element().name();
    if (Root != ROOT_NAME) {
        Fail(Source + ": the root element is <" + Root + ">, not <" + ROOT_NAME + ">");
        return LOAD_PARSE_ERROR;
    }
    // The text is now held as UTF-8 whatever the file's encoding was, and is written as UTF-8.
    pugi::xml_node Decl = m_Doc->first_child();
    if (Decl.type() != pugi::node_declaration) {
        Decl = m_Doc->prepend_child(pugi::node_declaration);
        Decl.append_attribute("version").set_value("1.0");
    }
    SetAttribute(Decl, "encoding", "utf-8");
    m_LoadFailed = false;
    m_ErrorText.clear();
    return LOAD_OK;
}

std::string TTaskListDocument::ToText() const {
    if (!m_Doc) return {};  // moved from
    TStringWriter Writer;
    m_Doc->save(Writer, INDENT, pugi::format_default, pugi::encoding_utf8);
    return std::move(Writer.Text);
}

int TTaskListDocument::Save(const std::string& Path) const {
    if (m_LoadFailed || !m_Doc) return SAVE_LOAD_FAILED;
    // Task lists hold the sides' scrambled passwords: only their owner may read them.
    return WriteFileAtomic(Path, ToText(), 0600);
}

TXMLTaskListType TTaskListDocument::GetTaskList() const {
    if (!m_Doc) return {};  // moved from
    pugi::xml_node Root = m_Doc->child(ROOT_NAME);
    if (!Root) Root = m_Doc->append_child(ROOT_NAME);
    return TXMLTaskListType(Root.internal_object());
}

}  // namespace bfs
