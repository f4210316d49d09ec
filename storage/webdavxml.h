#pragma once

// A typed, read-only view of a WebDAV multi-status reply (the body of a PROPFIND answered 207) over a
// pugixml document. Elements are matched by their local name in the namespace "DAV:", whatever prefix
// the reply binds to it ("D:", "lp1:", a default namespace); elements of other namespaces are never
// taken for them. A child missing from the reply reads as an empty node, whose text is empty.

#include <pugixml.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace bfs {

// Whether Node is the element LocalName in the namespace "DAV:" (its prefix resolved through the
// xmlns declarations of Node and its ancestors).
bool IsDavElement(const pugi::xml_node& Node, std::string_view LocalName);
// The first child element of Node that IsDavElement(LocalName); an empty node when there is none.
pugi::xml_node DavChild(const pugi::xml_node& Node, std::string_view LocalName);

// A node of the view: a pugixml element (empty when missing) with its text.
class TXMLNodeType {
  public:
    TXMLNodeType() = default;
    explicit TXMLNodeType(pugi::xml_node Node) : m_Node(Node) {}
    bool Exists() const { return static_cast<bool>(m_Node); }
    // The element's own text (its first text child); empty for a missing element.
    std::string Text() const { return m_Node.text().get(); }
    pugi::xml_node Node() const { return m_Node; }

  protected:
    TXMLNodeType Child(std::string_view LocalName) const { return TXMLNodeType(DavChild(m_Node, LocalName)); }
    pugi::xml_node m_Node;
};

// The leaves with a data-type attribute: getcontentlength, creationdate, getlastmodified, ishidden,
// iscollection.
class TXMLTypedLeafType : public TXMLNodeType {
  public:
    using TXMLNodeType::TXMLNodeType;
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
    using TXMLNodeType::TXMLNodeType;
    // The collection child's text (a collection element is empty: its presence is what counts).
    std::string Collection() const { return Child("collection").Text(); }
    // Whether the resource type holds a DAV: collection element: the resource is a folder.
    bool IsCollection() const { return static_cast<bool>(DavChild(m_Node, "collection")); }
};

class TXMLPropType : public TXMLNodeType {
  public:
    using TXMLNodeType::TXMLNodeType;
    TXMLGetcontentlengthType Getcontentlength() const {
        return TXMLTypedLeafType(DavChild(m_Node, "getcontentlength"));
    }
    TXMLCreationdateType Creationdate() const { return TXMLTypedLeafType(DavChild(m_Node, "creationdate")); }
    std::string Displayname() const { return Child("displayname").Text(); }
    std::string Getetag() const { return Child("getetag").Text(); }
    TXMLGetlastmodifiedType Getlastmodified() const {
        return TXMLTypedLeafType(DavChild(m_Node, "getlastmodified"));
    }
    TXMLResourcetypeType Resourcetype() const {
        return TXMLResourcetypeType(DavChild(m_Node, "resourcetype"));
    }
    std::string Supportedlock() const { return Child("supportedlock").Text(); }
    TXMLIshiddenType Ishidden() const { return TXMLTypedLeafType(DavChild(m_Node, "ishidden")); }
    TXMLIscollectionType Iscollection() const { return TXMLTypedLeafType(DavChild(m_Node, "iscollection")); }
    std::string Getcontenttype() const { return Child("getcontenttype").Text(); }
};

class TXMLPropstatType : public TXMLNodeType {
  public:
    using TXMLNodeType::TXMLNodeType;
    TXMLPropType Prop() const { return TXMLPropType(DavChild(m_Node, "prop")); }
    // The status line of these properties ("HTTP/1.1 200 OK").
    std::string Status() const { return Child("status").Text(); }
};

class TXMLResponseType : public TXMLNodeType {
  public:
    using TXMLNodeType::TXMLNodeType;
    std::string Href() const { return Child("href").Text(); }
    // The first propstat; a response may hold several (one per status of its properties).
    TXMLPropstatType Propstat() const { return TXMLPropstatType(DavChild(m_Node, "propstat")); }
    size_t PropstatCount() const;
    TXMLPropstatType Propstat(size_t Index) const;
    // The status of the whole response, when it has one instead of propstats.
    std::string Status() const { return Child("status").Text(); }
};

class TXMLMultistatusType : public TXMLNodeType {
  public:
    using TXMLNodeType::TXMLNodeType;
    size_t Count() const;
    // The Index-th response, in reply order; an empty node past the end.
    TXMLResponseType Response(size_t Index) const;
};

// The document's root bound as a multi-status; an empty view (Exists() false) when the root is not
// the element multistatus in the namespace "DAV:".
TXMLMultistatusType GetMultistatus(const pugi::xml_document& Document);

// The status code of a status line ("HTTP/1.1 207 Multi-Status" gives 207); 0 when it holds none.
int StatusCodeOf(std::string_view Line);

}  // namespace bfs
