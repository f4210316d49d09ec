#include "storage/UTWebDavRequests.h"

#include "model/UTFolderForm.h"
#include "model/UTPublicFunc.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

namespace bfs {

namespace {

// The most of a PROPFIND reply kept in memory; a longer one is no listing this program reads.
constexpr size_t MAX_REPLY_BODY = size_t{256} << 20;

// The value of a header line "Name: value" when its name is Name (any case); else false.
bool HeaderValue(std::string_view Line, std::string_view Name, std::string& Value) {
    if (Line.size() <= Name.size() || Line[Name.size()] != ':' || !StartsWithNoCase(Line, Name)) return false;
    Value = Trim(Line.substr(Name.size() + 1));
    return true;
}

std::vector<std::string> CommonHeaders() {
    return {"Accept:  */*", std::string("User-Agent: ") + TWebDavClient::USER_AGENT};
}

}  // namespace

THttpSource TextSource(std::string_view Text) {
    return [Text, offset = size_t{0}](char* Buffer, size_t Size) mutable -> int64_t {
        const size_t n = std::min(Size, Text.size() - offset);
        std::memcpy(Buffer, Text.data() + offset, n);
        offset += n;
        return static_cast<int64_t>(n);
    };
}

std::string TWebDavAddress::Origin() const {
    std::string origin = Https ? "https://" : "http://";
    origin += Host;
    if (Port != (Https ? 443 : 80)) origin += ":" + std::to_string(Port);
    return origin;
}

bool ParseWebDavAddress(std::string_view Address, TWebDavAddress& Out) {
    Out = TWebDavAddress{};
    const std::string text = Trim(Address);
    std::string_view rest(text);
    const size_t scheme = rest.find("://");
    if (scheme != std::string_view::npos && scheme < rest.find('/')) {
        const std::string_view name = rest.substr(0, scheme);
        if (name.size() == 5 && StartsWithNoCase(name, "https"))
            Out.Https = true;
        else if (!(name.size() == 4 && StartsWithNoCase(name, "http")))
            return false;
        rest.remove_prefix(scheme + 3);
    }
    const size_t slash = std::min(rest.find('/'), rest.size());
    std::string_view authority = rest.substr(0, slash);
    std::string_view path = rest.substr(slash);
    // A log-on written into the address is never taken: the side's user and password are.
    if (authority.find('@') != std::string_view::npos) return false;
    Out.Port = Out.Https ? 443 : 80;
    if (!SplitHostPort(authority, authority, Out.Port)) return false;
    if (authority.empty()) return false;
    Out.Host = std::string(authority);
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    Out.Path = std::string(path);
    return true;
}

std::string UrlHost(std::string_view Url) {
    TWebDavAddress a;
    if (!ParseWebDavAddress(Url, a)) return {};
    const std::string origin = a.Origin();
    return origin.substr(origin.find("://") + 3);
}

std::string ServerPath(std::string_view Url) {
    TWebDavAddress a;
    if (!ParseWebDavAddress(Url, a)) return {};
    return a.Path.empty() ? std::string() : a.Path.substr(1);
}

std::string FirstPathSegment(std::string_view Url) {
    const std::string path = ServerPath(Url);
    return path.substr(0, path.find('/'));
}

int32_t DavResult(const TDavReply& Reply) {
    if (Reply.Success()) return 0;
    if (Reply.Status == 404) return 1;
    // No answer, or one cut short: the request may or may not have taken effect.
    if (Reply.Status == 0 || (Reply.Error != 0 && Reply.Error != HTTP_STATUS_FAILED)) return 2;
    return static_cast<int32_t>(Reply.Status);
}

TWebDavClient::TWebDavClient() {
    m_Session.SetConnectTimeout(15000);
    m_Session.SetReadTimeout(60000);
    m_Session.SetLowSpeedLimit(1, 120);
    m_Session.SetUserAgent(USER_AGENT);
}

void TWebDavClient::SetLogOn(std::string User, std::string Password) {
    if (User != m_User || Password != m_Password) m_Digest = false;
    m_User = std::move(User);
    m_Password = std::move(Password);
}

TDavReply TWebDavClient::Run(THttpRequest Request, const THttpSink& Sink,
                             const std::function<THttpSource()>& MakeSource, bool KeepBody) {
    Request.Protocols = "http,https";
    Request.UserName = m_User;
    Request.Password = m_Password;
    for (int attempt = 0;; ++attempt) {
        TDavReply reply;
        long status = 0;
        bool digestOffered = false, basicOffered = false;
        Request.DigestAuth = m_Digest;
        if (MakeSource) Request.Source = MakeSource();
        Request.OnReply = [&](std::string_view Line) {
            std::string value;
            if (Line.starts_with("HTTP/")) {
                // A new response (after an interim one): what was read of an earlier one goes.
                const size_t space = Line.find(' ');
                status = 0;
                if (space != std::string_view::npos)
                    std::from_chars(Line.data() + space + 1, Line.data() + Line.size(), status);
                reply.Server.clear();
                reply.Modified.clear();
                reply.Body.clear();
                reply.Date = -1;
            } else if (HeaderValue(Line, "Server", value)) {
                reply.Server = value;
            } else if (HeaderValue(Line, "Last-Modified", value)) {
                reply.Modified = value;
            } else if (HeaderValue(Line, "Date", value)) {
                reply.Date = HttpDateToUnixTime(value);
                reply.ReceivedAt = static_cast<int64_t>(std::time(nullptr));
            } else if (HeaderValue(Line, "WWW-Authenticate", value)) {
                digestOffered = digestOffered || StartsWithNoCase(value, "Digest");
                basicOffered = basicOffered || StartsWithNoCase(value, "Basic");
            } else if (KeepBody && status >= 200 && status < 300 &&
                       HeaderValue(Line, "Content-Length", value)) {
                // The body is kept whole: room for all of it at once, not twice its size while it grows.
                uint64_t length = 0;
                const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
                if (ec == std::errc() && end == value.data() + value.size() && length <= MAX_REPLY_BODY)
                    reply.Body.reserve(static_cast<size_t>(length));
            }
        };
        // Only a 2xx body is handed on: an error page never becomes a file or a listing.
        const THttpSink sink = [&](std::string_view Data) {
            if (status < 200 || status >= 300) return true;
            if (KeepBody) {
                if (reply.Body.size() + Data.size() > MAX_REPLY_BODY) {
                    reply.TooLong = true;
                    return false;
                }
                reply.Body.append(Data);
            }
            return !Sink || Sink(Data);
        };
        const THttpResult result = m_Session.Perform(Request, sink);
        reply.Status = result.Status;
        reply.Error = result.Error;
        reply.ErrorText = result.ErrorText;
        if (reply.TooLong) {
            reply.ErrorText = "a reply of more than " + std::to_string(MAX_REPLY_BODY) + " bytes";
            std::string().swap(reply.Body);  // no part of it is read
        }
        if (attempt == 0 && result.Status == 401 && !m_Digest && digestOffered && !basicOffered &&
            !m_User.empty()) {
            m_Digest = true;
            continue;
        }
        if (OnAnswered) OnAnswered(reply);
        return reply;
    }
}

TDavReply TWebDavClient::Propfind(const std::string& Url, const char* Depth) {
    THttpRequest r(Url);
    r.Method = "PROPFIND";
    r.Headers = {"Accept:  */*", "Content-Type: text/xml", std::string("User-Agent: ") + USER_AGENT,
                 std::string("Depth: ") + Depth};
    r.UploadSize = static_cast<int64_t>(std::strlen(PROPFIND_BODY));
    return Run(
        std::move(r), {}, [] { return TextSource(PROPFIND_BODY); }, true);
}

TDavReply TWebDavClient::Delete(const std::string& Url) {
    THttpRequest r(Url);
    r.Method = "DELETE";
    r.Headers = CommonHeaders();
    return Run(std::move(r), {}, {}, false);
}

TDavReply TWebDavClient::Move(const std::string& Url, const std::string& Destination, bool Overwrite) {
    return SendTo("MOVE", Url, Destination, Overwrite);
}

TDavReply TWebDavClient::Copy(const std::string& Url, const std::string& Destination, bool Overwrite) {
    return SendTo("COPY", Url, Destination, Overwrite);
}

TDavReply TWebDavClient::SendTo(const char* Method, const std::string& Url, const std::string& Destination,
                                bool Overwrite) {
    THttpRequest r(Url);
    r.Method = Method;
    r.Headers = CommonHeaders();
    r.Headers.push_back("Destination: " + Destination);
    r.Headers.push_back(Overwrite ? "Overwrite: T" : "Overwrite: F");
    return Run(std::move(r), {}, {}, false);
}

TDavReply TWebDavClient::Mkcol(const std::string& Url) {
    THttpRequest r(Url);
    r.Method = "MKCOL";
    r.Headers = CommonHeaders();
    return Run(std::move(r), {}, {}, false);
}

TDavReply TWebDavClient::Get(const std::string& Url, const THttpSink& Sink) {
    THttpRequest r(Url);
    r.Headers = {"Content-Type:application/x-www-form-urlencoded ", "Connection: Keep-Alive ",
                 "Translate: F"};
    r.AcceptEncoding = "gzip, deflate";
    return Run(std::move(r), Sink, {}, false);
}

TDavReply TWebDavClient::Put(const std::string& Url, const std::function<THttpSource()>& MakeSource,
                             int64_t Size) {
    THttpRequest r(Url);
    r.Headers = {"Connection: Keep-Alive"};
    r.AcceptEncoding = "gzip, deflate";
    r.UploadSize = Size;
    return Run(std::move(r), {}, MakeSource, false);
}

}  // namespace bfs
