#include "storage/webdavxml.h"

#include <charconv>
#include <cstring>

namespace bfs {

namespace {

constexpr std::string_view DAV_NAMESPACE = "DAV:";

// The namespace bound to Prefix ("" for the default namespace) at Node; "" when none is bound.
std::string_view NamespaceOf(pugi::xml_node Node, std::string_view Prefix) {
    const std::string attribute = Prefix.empty() ? std::string("xmlns") : "xmlns:" + std::string(Prefix);
    for (; Node && Node.type() == pugi::node_element; Node = Node.parent())
        if (const pugi::xml_attribute a = Node.attribute(attribute.c_str())) return a.value();
    return {};
}

}  // namespace

bool IsDavElement(const pugi::xml_node& Node, std::string_view LocalName) {
    if (!Node || Node.type() != pugi::node_element) return false;
    const std::string_view name = Node.name();
    const size_t colon = name.find(':');
    const std::string_view prefix =
        colon == std::string_view::npos ? std::string_view() : name.substr(0, colon);
    const std::string_view local = colon == std::string_view::npos ? name : name.substr(colon + 1);
    return local == LocalName && NamespaceOf(Node, prefix) == DAV_NAMESPACE;
}

pugi::xml_node DavChild(const pugi::xml_node& Node, std::string_view LocalName) {
    for (pugi::xml_node c = Node.first_child(); c; c = c.next_sibling())
        if (IsDavElement(c, LocalName)) return c;
    return {};
}

std::string TXMLTypedLeafType::Dt() const {
    for (pugi::xml_attribute a = m_Node.first_attribute(); a; a = a.next_attribute()) {
        const std::string_view name = a.name();
        if (name == "dt" || (name.size() > 3 && name.ends_with(":dt"))) return a.value();
    }
    return {};
}

size_t TXMLResponseType::PropstatCount() const {
    size_t n = 0;
    for (pugi::xml_node c = m_Node.first_child(); c; c = c.next_sibling()) n += IsDavElement(c, "propstat");
    return n;
}

TXMLPropstatType TXMLResponseType::Propstat(size_t Index) const {
    for (pugi::xml_node c = m_Node.first_child(); c; c = c.next_sibling())
        if (IsDavElement(c, "propstat") && Index-- == 0) return TXMLPropstatType(c);
    return {};
}

size_t TXMLMultistatusType::Count() const {
    size_t n = 0;
    for (pugi::xml_node c = m_Node.first_child(); c; c = c.next_sibling()) n += IsDavElement(c, "response");
    return n;
}

TXMLResponseType TXMLMultistatusType::Response(size_t Index) const {
    for (pugi::xml_node c = m_Node.first_child(); c; c = c.next_sibling())
        if (IsDavElement(c, "response") && Index-- == 0) return TXMLResponseType(c);
    return {};
}

TXMLMultistatusType GetMultistatus(const pugi::xml_document& Document) {
    const pugi::xml_node root = Document.document_element();
    return IsDavElement(root, "multistatus") ? TXMLMultistatusType(root) : TXMLMultistatusType();
}

int StatusCodeOf(std::string_view Line) {
    // "HTTP/1.1 200 OK": the second word.
    const size_t space = Line.find(' ');
    if (space == std::string_view::npos) return 0;
    Line.remove_prefix(space + 1);
    int code = 0;
    const auto [end, ec] = std::from_chars(Line.data(), Line.data() + Line.size(), code);
    if (ec != std::errc() || end - Line.data() != 3) return 0;
    return code;
}

}  // namespace bfs
