#pragma once

#include "model/UTFileOper.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

// The back-end of a folder on a network share (kind 2), addressed as "\\host\share\folder" or, on
// another port than 445, "\\host:port\share\folder". The class itself lives in the .cpp; it logs on
// with the side's UserName and PWD.
std::unique_ptr<TFileOper> CreateNetFileOper(bool FreeOnTerminate);

// What the folder selection window asks of a share back-end besides the file operations: after a
// Connect, the server's disk shares; then the sub-folders of any folder on them.
class INetShareBrowser {
  public:
    // The disk shares the last successful Connect found, each as "\\host\share" ("\\host:port\share"
    // on another port); empty before.
    virtual const std::vector<std::string>& GetShareList() const = 0;
    // The folders directly inside the share folder Path ("\\host\share\dir"), each as Path + "\" +
    // name. A folder that cannot be read gives one item: "Can not open folder:" + Path + ",Return
    // Code" + "：" + the code in decimal (5 refused, 3 not there, 1203 server not reachable).
    virtual std::vector<std::string> GetSubFolders(const std::string& Path) = 0;

  protected:
    ~INetShareBrowser() = default;
};

// The browsing side of a back-end made by CreateNetFileOper; null for any other back-end.
INetShareBrowser* AsNetShareBrowser(TFileOper& Oper);

// The size and the space free to the side's user of the share that holds the side's root, as the
// server gave them at the end of the back-end's last listing. False for any other back-end, before
// a listing, and when the server gave none.
bool GetShareSpace(const TFileOper& Oper, int64_t& TotalBytes, int64_t& FreeBytes);

// The words FailureText gives for a connection to a share that failed with the errno Err of the
// client library: "log-on refused", or "server not reachable: " + why ("timed out", "connection
// reset", "connection refused", "host not found", ...). Answered: the server took connections just
// before (a server that serves no more sessions at once takes the connection and drops it), so a
// reset reads "session refused by the server: connection reset".
std::string ShareFailureText(int Err, bool Answered = false);
// Whether Connect tries a connection that failed with Err again: it timed out or was reset, as a
// busy server's are; a refused or unknown one is not.
bool RetriesConnect(int Err);
// How long one request to a share may take before it counts as failed (20 s unless set).
void SetShareTimeout(int Milliseconds);

// "\\" + the server part of a share address ("\\host\share\dir" -> "\\host", "\\host:139\s" ->
// "\\host:139"); an address without a share part, or not beginning with "\\", is given back as is.
std::string GetServerName(std::string_view Path);
// A typed address in share form: trimmed, one trailing "\" dropped, "\\" put in front when missing
// ("host\share\" -> "\\host\share").
std::string NormalizeUNC(std::string_view Path);

// A share address taken apart. Folder holds the names below the share, in order.
struct TShareAddress {
    std::string Host;
    int Port = 445;
    std::string Share;
    std::vector<std::string> Folder;
};
// False for an address that names no server and share, or whose parts could not be used in a URL
// (an empty name, ".", "..", a port outside 1..65535, a host holding characters hosts never hold).
bool ParseShareAddress(std::string_view Address, TShareAddress& Out);
// "smb://host:port/share/folder/..." + each of Names, every name percent-encoded (so "%", "#", "?"
// and blanks reach the server as they are). Never holds a user name or password.
std::string ShareUrl(const TShareAddress& Address, const std::vector<std::string>& Names = {});

}  // namespace bfs
