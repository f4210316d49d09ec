#pragma once

#include "model/UTFileOper.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

// The back-end of a WebDAV server (kind 5). The class itself lives in the .cpp.
// Addresses: "http://host[:port]/path" or "https://host[:port]/path" (ports 80 and 443 when none is
// given); the path is written as the user reads it, never percent-encoded. User name and password
// come from the side, never from the address.
std::unique_ptr<TFileOper> CreateWebDavFileOper(bool FreeOnTerminate);

// Browsing a server's folders for the folder window, on a back-end that CreateWebDavFileOper made.
class IWebDavBrowser {
  public:
    virtual ~IWebDavBrowser() = default;
    // What the last successful Connect read of the side's root: entry 0 the root itself, then its
    // entries in reply order, each with Name, IsFolder, Size, FileDate and Path its own address
    // (the root's address + "/" + name). Empty before a Connect and after one that failed.
    virtual const std::vector<TFileAttri>& RootEntries() const = 0;
};
// The browse side of a WebDAV back-end; null for any other back-end.
IWebDavBrowser* WebDavBrowserOf(TFileOper& Oper);

// Reads a PROPFIND reply (a 207 body, as it came) for the resource at the server path Queried
// (decoded, as "/dav/sub" or "" for the server's top). Entries gets the queried resource first when
// the reply names it (Name its last path segment), then every resource directly inside it in reply
// order, each with Name the percent-decoded last segment of its href, IsFolder, Size (0 when the
// reply gives none), FileDate (local DOS date-time; 0 when none) and Path its decoded server path.
// Names that are no safe name are left out. False (Entries then empty) when the text is no
// multi-status, names a resource that is neither the queried one nor directly inside it, or gives
// a size or a file's date that does not read.
bool ParseMultistatus(std::string_view Text, std::string_view Queried, std::vector<TFileAttri>& Entries);

// A "getlastmodified" text ("Sun, 06 Dec 2026 10:47:59 GMT", UTC) as a DOS date-time of local
// time; 0 when the text is no such date.
int32_t ParseHttpDate(std::string_view Text);

}  // namespace bfs
