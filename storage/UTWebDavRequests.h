#pragma once

// The WebDAV wire: folder addresses and their parts, path encoding, and one routine per HTTP
// exchange with a server, all over the program's one libcurl session (UTHttpSession.h).

#include "storage/UTHttpSession.h"
#include "storage/UTStorageCommon.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace bfs {

// A side's folder address: "http://" or "https://" + host[:port] + path. The path is text as the
// user reads it (a "%" is a "%"), never percent-encoded here.
struct TWebDavAddress {
    bool Https = false;
    std::string Host;  // as written, without the port ("[::1]" keeps its brackets)
    int Port = 80;     // 80 for http, 443 for https when the address names none
    std::string Path;  // "" for the server's top, else "/dav/files" (no "/" at the end)
    // "http://host[:port]": the port only where the address gave one other than the default.
    std::string Origin() const;
};
// Parses an address (trimmed; no scheme: http). False when it names no host, another scheme, or a
// port that is no number from 1 to 65535.
bool ParseWebDavAddress(std::string_view Address, TWebDavAddress& Out);

// "host" or "host:port" of an address; empty when it has none.
std::string UrlHost(std::string_view Url);
// The address's server path without its leading "/": "dav/files" of 'http://host/dav/files'.
std::string ServerPath(std::string_view Url);
// The first segment of ServerPath: "dav" of 'http://host/dav/files'.
std::string FirstPathSegment(std::string_view Url);
// EncodePath, DecodePath, Base64Encode and the HTTP dates: storage/UTStorageCommon.h.

// A reader over Text from its start (Text must outlive it): the body of an upload held in memory.
THttpSource TextSource(std::string_view Text);

// What one exchange came to.
struct TDavReply {
    long Status = 0;         // the HTTP status; 0 when no answer came (not sent, unreachable, aborted)
    int Error = 0;           // THttpResult::Error
    std::string ErrorText;   // why it failed, in words; never a password
    std::string Body;        // the reply's body where the routine keeps it (PROPFIND)
    std::string Server;      // the reply's "Server" header
    std::string Modified;    // the reply's "Last-Modified" header
    int64_t Date = -1;       // the reply's "Date" header (Unix seconds); -1 when it gave none that reads
    int64_t ReceivedAt = 0;  // this computer's clock (Unix seconds) when that header arrived
    bool TooLong = false;    // the body passed the most the client keeps of it (ErrorText says so)
    bool Success() const { return Error == 0 && Status >= 200 && Status < 300; }
};

// Result of DELETE, MOVE and COPY: 0 for 2xx, 1 for 404, 2 when no answer came, else the status.
int32_t DavResult(const TDavReply& Reply);

// One server's exchanges, on one kept-alive libcurl session. URLs are full and percent-encoded
// (origin + EncodePath(path)). The log-on goes to libcurl apart from the URL: Basic first, Digest
// from the first 401 that asks for it on. Plain HTTP or HTTPS with verified certificates.
class TWebDavClient {
  public:
    static constexpr const char* USER_AGENT = "Bramlow File Sync";
    // The three properties a listing reads, and no others: asked for everything, a server may
    // work out costly ones (a file's content type, its checksum) for every file.
    static constexpr const char* PROPFIND_BODY =
        R"(<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:prop><D:resourcetype/>)"
        R"(<D:getcontentlength/><D:getlastmodified/></D:prop></D:propfind>)";

    TWebDavClient();
    void SetLogOn(std::string User, std::string Password);
    // Ends the running exchange and fails every later one until ResetAbort; any thread.
    void Abort() noexcept { m_Session.Abort(); }
    void ResetAbort() noexcept { m_Session.ResetAbort(); }
    bool Aborted() const noexcept { return m_Session.Aborted(); }
    // Called with every exchange's final reply, on the thread that ran it.
    std::function<void(const TDavReply&)> OnAnswered;

    // PROPFIND with Depth "0" or "1" for PROPFIND_BODY's properties; the reply's body is kept.
    TDavReply Propfind(const std::string& Url, const char* Depth);
    TDavReply Delete(const std::string& Url);
    // MOVE and COPY to Destination (a full URL), replacing an existing target only with Overwrite.
    TDavReply Move(const std::string& Url, const std::string& Destination, bool Overwrite);
    TDavReply Copy(const std::string& Url, const std::string& Destination, bool Overwrite);
    TDavReply Mkcol(const std::string& Url);
    // GET: a 2xx body goes to Sink piece by piece (decoded when it came compressed); the body of
    // any other status is dropped.
    TDavReply Get(const std::string& Url, const THttpSink& Sink);
    // PUT of Size bytes; MakeSource gives a fresh reader from the start (called again when the
    // request is sent a second time with another log-on).
    TDavReply Put(const std::string& Url, const std::function<THttpSource()>& MakeSource, int64_t Size);

  private:
    // MOVE or COPY (Method) of Url to Destination.
    TDavReply SendTo(const char* Method, const std::string& Url, const std::string& Destination,
                     bool Overwrite);
    // Runs the request, once more with Digest when a Basic log-on was refused by a Digest server.
    TDavReply Run(THttpRequest Request, const THttpSink& Sink, const std::function<THttpSource()>& MakeSource,
                  bool KeepBody);

    THttpSession m_Session;
    std::string m_User, m_Password;
    bool m_Digest = false;
};

}  // namespace bfs
