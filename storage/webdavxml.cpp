#include "storage/webdavxml.h"

#include <algorithm>
#include <charconv>

namespace bfs {

namespace {

constexpr std::string_view DAV_NAMESPACE = "DAV:";

// The prefix an attribute declares ("" for "xmlns", "D" for "xmlns:D"); false when it declares none.
bool DeclaredPrefix(std::string_view Attribute, std::string_view& Prefix) {
    if (!Attribute.starts_with("xmlns")) return false;
    if (Attribute.size() == 5) {
        Prefix = {};
        return true;
    }
    if (Attribute[5] != ':' || Attribute.size() == 6) return false;
    Prefix = Attribute.substr(6);
    return true;
}

}  // namespace

TDavScopeRef TDavScope::Enter(const pugi::xml_node& Element, const TDavScopeRef& Parent) {
    std::shared_ptr<TDavScope> scope;
    for (pugi::xml_attribute a = Element.first_attribute(); a; a = a.next_attribute()) {
        std::string_view prefix;
        if (!DeclaredPrefix(a.name(), prefix)) continue;
        if (!scope) {
            scope = std::make_shared<TDavScope>();
            scope->m_Parent = Parent;
        }
        scope->m_Declared.emplace_back(prefix, a.value());
    }
    if (!scope) return Parent;
    // The first declaration of a prefix counts, as a lookup by name finds it.
    std::stable_sort(scope->m_Declared.begin(), scope->m_Declared.end(),
                     [](const auto& A, const auto& B) { return A.first < B.first; });
    return scope;
}

std::string_view TDavScope::Namespace(std::string_view Prefix) const {
    for (const TDavScope* s = this; s; s = s->m_Parent.get()) {
        const auto at = std::lower_bound(s->m_Declared.begin(), s->m_Declared.end(), Prefix,
                                         [](const auto& D, std::string_view P) { return D.first < P; });
        if (at != s->m_Declared.end() && at->first == Prefix) return at->second;
    }
    return {};
}

std::string_view TXMLNodeType::DavLocalName(const pugi::xml_node& Element, const TDavScope* Scope) {
    if (!Scope) return {};
    const std::string_view name = Element.name();
    const size_t colon = name.find(':');
    const std::string_view prefix =
        colon == std::string_view::npos ? std::string_view() : name.substr(0, colon);
    const std::string_view local = colon == std::string_view::npos ? name : name.substr(colon + 1);
    return Scope->Namespace(prefix) == DAV_NAMESPACE ? local : std::string_view();
}

std::string TXMLTypedLeafType::Dt() const {
    for (pugi::xml_attribute a = m_Node.first_attribute(); a; a = a.next_attribute()) {
        const std::string_view name = a.name();
        if (name == "dt" || (name.size() > 3 && name.ends_with(":dt"))) return a.value();
    }
    return {};
}

TXMLResourcetypeType::TXMLResourcetypeType(const TXMLNodeType& Node) : TXMLNodeType(Node) {
    ForEachDavChild([this](std::string_view Local, TXMLNodeType&& Child) {
        if (Local == "collection") TakeFirst(m_Collection, std::move(Child));
    });
}

TXMLPropType::TXMLPropType(const TXMLNodeType& Node) : TXMLNodeType(Node) {
    static constexpr std::string_view NAMES[COUNT] = {
        "getcontentlength", "creationdate",  "displayname", "getetag",      "getlastmodified",
        "resourcetype",     "supportedlock", "ishidden",    "iscollection", "getcontenttype"};
    ForEachDavChild([this](std::string_view Local, TXMLNodeType&& Child) {
        for (size_t k = 0; k < COUNT; ++k)
            if (Local == NAMES[k]) return TakeFirst(m_Child[k], std::move(Child));
    });
}

TXMLPropstatType::TXMLPropstatType(const TXMLNodeType& Node) : TXMLNodeType(Node) {
    ForEachDavChild([this](std::string_view Local, TXMLNodeType&& Child) {
        if (Local == "prop")
            TakeFirst(m_Prop, std::move(Child));
        else if (Local == "status")
            TakeFirst(m_Status, std::move(Child));
    });
}

TXMLResponseType::TXMLResponseType(const TXMLNodeType& Node) : TXMLNodeType(Node) {
    ForEachDavChild([this](std::string_view Local, TXMLNodeType&& Child) {
        if (Local == "propstat")
            m_Propstats.push_back(Child.Node());
        else if (Local == "href")
            TakeFirst(m_Href, std::move(Child));
        else if (Local == "status")
            TakeFirst(m_Status, std::move(Child));
    });
}

TXMLMultistatusType::TXMLMultistatusType(const TXMLNodeType& Node) : TXMLNodeType(Node) {
    ForEachDavChild([this](std::string_view Local, TXMLNodeType&& Child) {
        if (Local == "response") m_Responses.push_back(Child.Node());
    });
}

TXMLMultistatusType GetMultistatus(const pugi::xml_document& Document) {
    const pugi::xml_node root = Document.document_element();
    if (!root) return {};
    TDavScopeRef scope = TDavScope::Enter(root, nullptr);
    if (TXMLNodeType::DavLocalName(root, scope.get()) != "multistatus") return {};
    return TXMLMultistatusType(TXMLNodeType(root, std::move(scope)));
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
