#pragma once

// Loading a server's XML reply (a WebDAV listing, an S3 key or bucket list) into a pugixml document
// within a bound on the memory the document takes.

#include <pugixml.hpp>

#include <cstddef>
#include <string>

namespace bfs {

// The most memory one reply's document may take, whatever the reply's size.
inline constexpr size_t MAX_REPLY_DOCUMENT = size_t{512} << 20;

// What the document of a reply of Size bytes may take: four times its size (and a first MiB),
// at most MAX_REPLY_DOCUMENT. A real reply's document takes about twice its size: a node of 64 bytes
// for each element, which with its name and text takes some 30 bytes or more of the reply. A reply
// of tiny elements ("<a/>" on end) would take sixteen times its size and more.
size_t ReplyDocumentBudget(size_t Size);

// Loads Text into Document in place (Text must outlive Document), with Options and the encoding
// the reply declares, within ReplyDocumentBudget(Text.size()) bytes for the document's nodes and
// any conversion of its text. A reply that needs more does not load: the result's status is then
// pugi::status_out_of_memory.
pugi::xml_parse_result LoadXmlReply(pugi::xml_document& Document, std::string& Text, unsigned Options);

}  // namespace bfs
