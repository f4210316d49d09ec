#pragma once

// A typed, read-only view of a WebDAV multi-status reply (the body of a PROPFIND answered 207) over a
// pugixml document. Elements are matched by their local name in the namespace "DAV:", whatever prefix
// the reply binds to it ("D:", "lp1:", a default namespace); elements of other namespaces are never
// taken for them. A child missing from the reply reads as an empty node, whose text is empty.
//
// Each node of the view walks its element's children once, when it is made, and keeps the ones it
// names; the namespace declarations in force are carried down from the root (TDavScope), so that an
// element's namespace is resolved once, from its own attributes and its parent's scope. A reply is
// read in time and memory linear in its size, however many responses, propstats or properties it
// holds.

#include <pugixml.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bfs {

// How a reply is loaded into a document: pugixml's defaults, with an element's text kept in the
// element itself (one node less per text).
inline constexpr unsigned DAV_PARSE_OPTIONS = pugi::parse_default | pugi::parse_embed_pcdata;

class TDavScope;
using TDavScopeRef = std::shared_ptr<const TDavScope>;

// The namespace declarations in force at an element: its own, then those of the scope it was entered
// from. An element that declares nothing shares its parent's scope.
class TDavScope {
  public:
    // The scope of Element, entered from its parent's scope Parent (null for the document's root).
    static TDavScopeRef Enter(const pugi::xml_node& Element, const TDavScopeRef& Parent);
    // The namespace Prefix is bound to ("" the default namespace); empty when none is.
    std::string_view Namespace(std::string_view Prefix) const;

  private:
    TDavScopeRef m_Parent;
    std::vector<std::pair<std::string_view, std::string_view>> m_Declared;  // prefix, namespace; sorted
};

// An element of the view with the scope in force at it; empty when missing.
class TXMLNodeType {
  public:
    TXMLNodeType() = default;
    TXMLNodeType(pugi::xml_node Node, TDavScopeRef Scope) : m_Node(Node), m_Scope(std::move(Scope)) {}
    bool Exists() const { return static_cast<bool>(m_Node); }
    // The element's own text; empty for a missing element.
    std::string Text() const { return m_Node.text().get(); }
    pugi::xml_node Node() const { return m_Node; }
    const TDavScopeRef& Scope() const { return m_Scope; }
    // The local name of Element when it is in the namespace "DAV:" under Scope, the scope in force
    // at Element itself (null: none declared); else empty.
    static std::string_view DavLocalName(const pugi::xml_node& Element, const TDavScope* Scope);

  protected:
    // Calls Take(LocalName, Child) for every child element of this one in the namespace "DAV:", in
    // document order; Child carries its own scope.
    template <class F>
    void ForEachDavChild(F&& Take) const {
        for (pugi::xml_node c = m_Node.first_child(); c; c = c.next_sibling()) {
            if (c.type() != pugi::node_element) continue;
            TDavScopeRef scope = TDavScope::Enter(c, m_Scope);
            const std::string_view local = DavLocalName(c, scope.get());
            if (!local.empty()) Take(local, TXMLNodeType(c, std::move(scope)));
        }
    }
    // A child element of this one with its scope.
    TXMLNodeType Entered(const pugi::xml_node& Child) const {
        return TXMLNodeType(Child, TDavScope::Enter(Child, m_Scope));
    }
    // Keeps Child in Slot when Slot is still empty: the first of a name counts.
    static void TakeFirst(TXMLNodeType& Slot, TXMLNodeType&& Child) {
        if (!Slot.Exists()) Slot = std::move(Child);
    }
    pugi::xml_node m_Node;
    TDavScopeRef m_Scope;  // the declarations in force at m_Node
};

// The leaves with a data-type attribute: getcontentlength, creationdate, getlastmodified, ishidden,
// iscollection.
class TXMLTypedLeafType : public TXMLNodeType {
  public:
    TXMLTypedLeafType() = default;
    explicit TXMLTypedLeafType(const TXMLNodeType& Node) : TXMLNodeType(Node) {}
    // The attribute "dt" (in any namespace), empty when absent.
    std::string Dt() const;
};
using TXMLGetcontentlengthType = TXMLTypedLeafType;
using TXMLCreationdateType = TXMLTypedLeafType;
using TXMLGetlastmodifiedType = TXMLTypedLeafType;
using TXMLIshiddenType = TXMLTypedLeafType;
using TXMLIscollectionType = TXMLTypedLeafType;

class TXMLResourcetypeType : public TXMLNodeType {
  public:
    TXMLResourcetypeType() = default;
    explicit TXMLResourcetypeType(const TXMLNodeType& Node);
    // The collection child's text (a collection element is empty: its presence is what counts).
    std::string Collection() const { return m_Collection.Text(); }
    // Whether the resource type holds a DAV: collection element: the resource is a folder.
    bool IsCollection() const { return m_Collection.Exists(); }

  private:
    TXMLNodeType m_Collection;
};

class TXMLPropType : public TXMLNodeType {
  public:
    TXMLPropType() = default;
    explicit TXMLPropType(const TXMLNodeType& Node);
    TXMLGetcontentlengthType Getcontentlength() const { return TXMLTypedLeafType(m_Child[LENGTH]); }
    TXMLCreationdateType Creationdate() const { return TXMLTypedLeafType(m_Child[CREATED]); }
    std::string Displayname() const { return m_Child[NAME].Text(); }
    std::string Getetag() const { return m_Child[ETAG].Text(); }
    TXMLGetlastmodifiedType Getlastmodified() const { return TXMLTypedLeafType(m_Child[MODIFIED]); }
    TXMLResourcetypeType Resourcetype() const { return TXMLResourcetypeType(m_Child[TYPE]); }
    std::string Supportedlock() const { return m_Child[LOCK].Text(); }
    TXMLIshiddenType Ishidden() const { return TXMLTypedLeafType(m_Child[HIDDEN]); }
    TXMLIscollectionType Iscollection() const { return TXMLTypedLeafType(m_Child[COLLECTION]); }
    std::string Getcontenttype() const { return m_Child[CONTENT_TYPE].Text(); }

  private:
    enum : size_t {
        LENGTH,
        CREATED,
        NAME,
        ETAG,
        MODIFIED,
        TYPE,
        LOCK,
        HIDDEN,
        COLLECTION,
        CONTENT_TYPE,
        COUNT
    };
    TXMLNodeType m_Child[COUNT];
};

class TXMLPropstatType : public TXMLNodeType {
  public:
    TXMLPropstatType() = default;
    explicit TXMLPropstatType(const TXMLNodeType& Node);
    TXMLPropType Prop() const { return TXMLPropType(m_Prop); }
    // The status line of these properties ("HTTP/1.1 200 OK").
    std::string Status() const { return m_Status.Text(); }

  private:
    TXMLNodeType m_Prop, m_Status;
};

class TXMLResponseType : public TXMLNodeType {
  public:
    TXMLResponseType() = default;
    explicit TXMLResponseType(const TXMLNodeType& Node);
    std::string Href() const { return m_Href.Text(); }
    // The first propstat; a response may hold several (one per status of its properties).
    TXMLPropstatType Propstat() const { return Propstat(0); }
    size_t PropstatCount() const { return m_Propstats.size(); }
    // The Index-th propstat; an empty node past the end.
    TXMLPropstatType Propstat(size_t Index) const {
        return Index < m_Propstats.size() ? TXMLPropstatType(Entered(m_Propstats[Index]))
                                          : TXMLPropstatType();
    }
    // The status of the whole response, when it has one instead of propstats.
    std::string Status() const { return m_Status.Text(); }

  private:
    TXMLNodeType m_Href, m_Status;
    std::vector<pugi::xml_node> m_Propstats;  // their scopes are made again when they are read
};

class TXMLMultistatusType : public TXMLNodeType {
  public:
    TXMLMultistatusType() = default;
    explicit TXMLMultistatusType(const TXMLNodeType& Node);
    size_t Count() const { return m_Responses.size(); }
    // The Index-th response, in reply order; an empty node past the end.
    TXMLResponseType Response(size_t Index) const {
        return Index < m_Responses.size() ? TXMLResponseType(Entered(m_Responses[Index]))
                                          : TXMLResponseType();
    }

  private:
    std::vector<pugi::xml_node> m_Responses;  // their scopes are made again when they are read
};

// The document's root bound as a multi-status; an empty view (Exists() false) when the root is not
// the element multistatus in the namespace "DAV:".
TXMLMultistatusType GetMultistatus(const pugi::xml_document& Document);

// The status code of a status line ("HTTP/1.1 207 Multi-Status" gives 207); 0 when it holds none.
int StatusCodeOf(std::string_view Line);

}  // namespace bfs
