#include "storage/uS3Storage.h"

#include "storage/UTStorageCommon.h"

#include <curl/curl.h>
#include <locale.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>
#include <thread>

namespace bfs {

namespace {

const char* const CONTENT_BINARY = "binary/octet-stream";
const char* const CONTENT_TEXT = "text/html";

std::string Trim(const std::string& Text) {
    const auto blank = [](unsigned char c) { return c <= ' '; };
    size_t begin = 0, end = Text.size();
    while (begin < end && blank(static_cast<unsigned char>(Text[begin]))) ++begin;
    while (end > begin && blank(static_cast<unsigned char>(Text[end - 1]))) --end;
    return Text.substr(begin, end - begin);
}

bool NeedsEscape(unsigned char c) {
    return c <= 32 || c == '"' || c == '#' || c == '%' || c == '&' || c == '+' || c == '/' ||
           (c >= ':' && c <= '@') || (c >= '[' && c <= '`') || c >= '{';
}

std::string Lower(std::string Text) {
    for (char& c : Text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return Text;
}

// The lines of Text, without their line ends.
void AppendLines(std::vector<std::string>& Lines, const std::string& Text) {
    size_t start = 0;
    while (start < Text.size()) {
        size_t end = Text.find('\n', start);
        if (end == std::string::npos) end = Text.size();
        std::string line = Text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Lines.push_back(std::move(line));
        start = end + 1;
    }
}

// Releases the request in progress however the call ends.
struct TRequestGuard {
    std::unique_ptr<THttpRequest>& Request;
    std::atomic<bool>& Busy;
    ~TRequestGuard() {
        Busy = false;
        Request.reset();
    }
};

}  // namespace

TS3Limits& TS3Storage::DefaultLimits() {
    static TS3Limits limits;
    return limits;
}

TS3Storage::TS3Storage() {
    SetLimits(DefaultLimits());
}

void TS3Storage::SetLimits(const TS3Limits& Limits) {
    m_Limits = Limits;
    m_Session.SetConnectTimeout(Limits.ConnectTimeoutMs);
    m_Session.SetReadTimeout(Limits.ReadTimeoutMs);
}

void TS3Storage::Create(const std::string& Id, const std::string& Secret) {
    AccessKeyId = Id;
    SecretKey = Secret;
    ErrorText.clear();
    Scheme = "http://";
}

void TS3Storage::SetUseSSL(bool UseSSL) {
    Scheme = UseSSL ? "https://" : "http://";
}

bool TS3Storage::GetUseSSL() const {
    return Scheme == "https://";
}

std::string TS3Storage::EncodeKey(const std::string& Text) {
    return EncodePath(Trim(Text));
}

std::string TS3Storage::EncodePath(const std::string& Text) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : Text) {
        const auto c = static_cast<unsigned char>(ch);
        if (NeedsEscape(c)) {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

std::string TS3Storage::BucketPrefix() const {
    return Lower(AccessKeyId) + "-";
}

std::string TS3Storage::MakeBucketName(const std::string& Name) const {
    return BucketPrefix() + Trim(Name);
}

std::string TS3Storage::DisplayBucketName(const std::string& Name) const {
    std::string out = Name;
    for (const std::string& prefix : {BucketPrefix(), AccessKeyId + "-"})
        for (size_t at; (at = out.find(prefix)) != std::string::npos;) out.erase(at, prefix.size());
    return out;
}

std::string TS3Storage::Rfc822Date(std::time_t When) {
    std::tm local{};
    ::localtime_r(&When, &local);
    // The day and month names must be English whatever the user's locale: the server parses them.
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    char names[64] = {}, rest[64] = {};
    ::strftime_l(names, sizeof names, "%a", &local, cLocale);
    ::strftime_l(rest, sizeof rest, "%b %Y %H:%M:%S %z", &local, cLocale);
    return std::string(names) + ", " + std::to_string(local.tm_mday) + " " + rest;
}

std::string TS3Storage::SignRequest(const std::string& Verb, const std::string& MD5,
                                    const std::string& ContentType, const std::string& Date,
                                    const std::string& Resource, const std::string& AmzHeaders) const {
    const std::string toSign =
        Verb + "\n" + MD5 + "\n" + ContentType + "\n" + Date + "\n" + AmzHeaders + Resource;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
    ::HMAC(EVP_sha1(), SecretKey.data(), static_cast<int>(SecretKey.size()),
           reinterpret_cast<const unsigned char*>(toSign.data()), toSign.size(), digest, &digestLen);
    return "Authorization: AWS " + AccessKeyId + ":" +
           Base64Encode(std::string_view(reinterpret_cast<const char*>(digest), digestLen));
}

void TS3Storage::AbortRequest() {
    if (m_Busy) m_Session.Abort();
}

void TS3Storage::NewRequest() {
    HTTP = std::make_unique<THttpRequest>();
    HTTP->Protocols = "http,https";
    m_Session.ResetAbort();
    m_Busy = true;
    if (Stopped && Stopped()) m_Session.Abort();
}

namespace {

// Whether a failed attempt may pass when sent again: the service's 500 and 503 (it asks for a
// repeat), and a connection that was reset, cut or went silent.
bool MayPass(long Status, int Error, const std::string& Failure) {
    if (Failure.empty()) return Status == 500 || Status == 503;
    return Error == CURLE_OPERATION_TIMEDOUT || Error == CURLE_GOT_NOTHING || Error == CURLE_SEND_ERROR ||
           Error == CURLE_RECV_ERROR || Error == CURLE_PARTIAL_FILE;
}

// The text of the first <Name> element of Body; empty when there is none.
std::string ElementIn(const std::string& Body, const std::string& Name) {
    const std::string openTag = "<" + Name + ">", closeTag = "</" + Name + ">";
    const size_t open = Body.find(openTag);
    const size_t close = open == std::string::npos ? open : Body.find(closeTag, open);
    return close == std::string::npos ? std::string()
                                      : Body.substr(open + openTag.size(), close - open - openTag.size());
}

// The error code an <Error> document names ("InternalError"); empty when it names none.
std::string ErrorCodeIn(const std::string& Body) {
    return ElementIn(Body, "Code");
}

// Text with the XML entities a tag value may hold decoded ("&quot;" as '"'), in one pass: what a
// decoded entity gives is not read again ("&amp;quot;" gives "&quot;"). Any other "&" stays.
std::string XmlUnescape(std::string_view Text) {
    static constexpr std::pair<std::string_view, char> ENTITIES[] = {
        {"&quot;", '"'}, {"&apos;", '\''}, {"&lt;", '<'}, {"&gt;", '>'}, {"&#34;", '"'}, {"&amp;", '&'}};
    std::string out;
    out.reserve(Text.size());
    for (size_t at = 0; at < Text.size();) {
        const size_t amp = std::min(Text.find('&', at), Text.size());
        out.append(Text.substr(at, amp - at));
        if (amp == Text.size()) break;
        const std::string_view rest = Text.substr(amp);
        const auto* entity = std::find_if(std::begin(ENTITIES), std::end(ENTITIES),
                                          [rest](const auto& E) { return rest.starts_with(E.first); });
        out += entity == std::end(ENTITIES) ? '&' : entity->second;
        at = amp + (entity == std::end(ENTITIES) ? 1 : entity->first.size());
    }
    return out;
}

// What Text shows of itself in an error text: its first Limit bytes, every occurrence of Secret
// (taken from the left) as "***", an occurrence that begins within them hidden whole. One pass of
// the Knuth-Morris-Pratt search, so that no reply costs more than its length.
std::string Scrubbed(std::string_view Text, std::string_view Secret, size_t Limit) {
    Limit = std::min(Limit, Text.size());
    if (Secret.empty()) return std::string(Text.substr(0, Limit));
    // border[i]: the length of the longest proper prefix of Secret that ends at Secret[i].
    std::vector<size_t> border(Secret.size(), 0);
    for (size_t i = 1, k = 0; i < Secret.size(); ++i) {
        while (k > 0 && Secret[i] != Secret[k]) k = border[k - 1];
        if (Secret[i] == Secret[k]) ++k;
        border[i] = k;
    }
    std::string out;
    out.reserve(Limit);
    size_t shown = 0;  // Text before this is in out, or hidden
    const size_t end = std::min(Text.size(), Limit + Secret.size() - 1);
    for (size_t i = 0, k = 0; i < end; ++i) {
        while (k > 0 && Text[i] != Secret[k]) k = border[k - 1];
        if (Text[i] == Secret[k]) ++k;
        if (k < Secret.size()) continue;
        out.append(Text.substr(shown, i + 1 - k - shown));
        out += "***";
        shown = i + 1;
        k = 0;
    }
    if (shown < Limit) out.append(Text.substr(shown, Limit - shown));
    return out;
}

// How much of an error reply's body goes into ErrorText: its cause, and no more.
constexpr size_t ERROR_BODY_SHOWN = 4096;

}  // namespace

bool TS3Storage::WaitToRepeat(int Ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    for (;;) {
        if (m_Session.Aborted() || (Stopped && Stopped())) return false;
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return true;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
}

bool TS3Storage::Request(const std::string& Verb, const std::string& Resource, const std::string& Query,
                         const TBody* Body, const std::string& ContentType, const std::string& MD5,
                         const std::vector<std::string>& AmzHeaders, TReply& Reply, const TSending& Sending) {
    NewRequest();
    const TRequestGuard guard{HTTP, m_Busy};
    bool ok = false;
    size_t attempts = 0;
    for (;;) {
        ++attempts;
        Reply = TReply{};
        if (Sending.Target && Sending.Target->Restart && !Sending.Target->Restart()) {
            Reply.Failure = "the download's target could not be started again";
            break;
        }
        Attempt(Verb, Resource, Query, Body, ContentType, MD5, AmzHeaders, Reply, Sending.Target);
        ok = Reply.Failure.empty() && (Reply.Status == 200 || (Verb == "DELETE" && Reply.Status == 204));
        bool mayPass = !ok && MayPass(Reply.Status, Reply.Error, Reply.Failure);
        // A copy that fails late is still answered 200, with an <Error> document as the body.
        if (ok && Sending.ErrorIn200 && Reply.Body.find("<Error>") != std::string::npos) {
            ok = false;
            const std::string code = ErrorCodeIn(Reply.Body);
            mayPass = code == "InternalError" || code == "ServiceUnavailable" || code == "SlowDown";
        }
        // A deletion repeated after a lost answer may find its key gone: that 404 stays a failure,
        // for nobody can tell whether this request removed the key or something else did.
        if (ok || !mayPass || !Sending.Repeat || attempts > m_Limits.RetryDelaysMs.size() ||
            !WaitToRepeat(m_Limits.RetryDelaysMs[attempts - 1]))
            break;
        // Each attempt is a request of its own: another request object, signed with a fresh date.
        HTTP = std::make_unique<THttpRequest>();
        HTTP->Protocols = "http,https";
    }
    ErrorText.clear();
    TimedOut = !ok && Reply.Error == CURLE_OPERATION_TIMEDOUT;
    if (!ok) {
        std::string head =
            Reply.Failure.empty() ? std::to_string(Reply.Status) + " " + Reply.Reason : Reply.Failure;
        if (Reply.TooLong && Reply.Failure.empty())
            head += " (a reply of more than " + std::to_string(m_Limits.MaxReplyBody) + " bytes)";
        // The secret is never sent, but a reply may quote whatever it likes: it is not kept.
        ErrorText.push_back(Scrubbed("Http Result: " + head, SecretKey, std::string::npos));
        // The start of the body, cut before a UTF-8 character rather than within one.
        size_t shown = std::min(Reply.Body.size(), ERROR_BODY_SHOWN);
        for (int back = 0; back < 3 && shown < Reply.Body.size() &&
                           (static_cast<unsigned char>(Reply.Body[shown]) & 0xC0) == 0x80;
             ++back)
            --shown;
        AppendLines(ErrorText, Scrubbed(Reply.Body, SecretKey, shown));
        if (attempts > 1) ErrorText.push_back("Sent " + std::to_string(attempts) + " times");
    }
    return ok;
}

void TS3Storage::Attempt(const std::string& Verb, const std::string& Resource, const std::string& Query,
                         const TBody* Body, const std::string& ContentType, const std::string& MD5,
                         const std::vector<std::string>& AmzHeaders, TReply& Reply, const TS3Target* Target) {
    const std::string date = Rfc822Date(std::time(nullptr));
    std::string amz;
    for (const std::string& line : AmzHeaders) {
        const size_t colon = line.find(':');
        amz += Lower(line.substr(0, colon)) + ":" + Trim(line.substr(colon + 1)) + "\n";
    }
    HTTP->Url = Scheme + Endpoint + Resource + (Query.empty() ? "" : "?" + Query);
    HTTP->Method = Verb;
    if (Body) HTTP->Headers.push_back("Content-Type: " + ContentType);
    if (!MD5.empty()) HTTP->Headers.push_back("Content-MD5: " + MD5);
    HTTP->Headers.push_back("Date: " + date);
    HTTP->Headers.insert(HTTP->Headers.end(), AmzHeaders.begin(), AmzHeaders.end());
    HTTP->Headers.push_back(SignRequest(Verb, MD5, Body ? ContentType : "", date, Resource, amz));
    if (Body)
        HTTPMethodWithBody(*Body, Reply, Target);
    else
        HTTPMethod(Reply, Target);
}

void TS3Storage::HTTPMethod(TReply& Reply, const TS3Target* Target) {
    if (HTTP->Method == "HEAD") HTTP->NoBody = true;
    long status = 0;  // of the status line read last
    HTTP->OnReply = [&Reply, &status](std::string_view Line) {
        if (Line.starts_with("HTTP/")) {
            // A new status line ("HTTP/1.1 100 Continue" comes before the final one).
            Reply.Headers.clear();
            Reply.Body.clear();
            const size_t code = Line.find(' ');
            const size_t reason = code == std::string_view::npos ? code : Line.find(' ', code + 1);
            Reply.Reason = reason == std::string_view::npos ? "" : std::string(Line.substr(reason + 1));
            status = 0;
            if (code != std::string_view::npos)
                std::from_chars(Line.data() + code + 1, Line.data() + Line.size(), status);
            return;
        }
        const size_t colon = Line.find(':');
        if (colon == std::string_view::npos) return;
        Reply.Headers[Lower(std::string(Line.substr(0, colon)))] = Trim(std::string(Line.substr(colon + 1)));
    };
    bool targetFailed = false;
    const size_t cap = m_Limits.MaxReplyBody;
    const THttpResult result =
        m_Session.Perform(*HTTP, [&Reply, &status, &targetFailed, Target, cap](std::string_view Data) {
            if (Target && status == 200) {
                targetFailed = !Target->Write(Data);
                return !targetFailed;
            }
            // Whatever else comes is kept, within bounds: no reply may take unbounded memory.
            if (Reply.Body.size() + Data.size() > cap) {
                Reply.TooLong = true;
                return false;
            }
            Reply.Body.append(Data);
            return true;
        });
    Reply.Status = result.Status;
    Reply.Error = result.Error;
    if (Reply.TooLong)
        Reply.Failure = "a reply of more than " + std::to_string(cap) + " bytes";
    else if (targetFailed)
        Reply.Failure = "the download could not be written";
    else if (!result.Ok() && result.Error != HTTP_STATUS_FAILED)
        Reply.Failure = result.ErrorText;
}

void TS3Storage::HTTPMethodWithBody(const TBody& Body, TReply& Reply, const TS3Target* Target) {
    // An upload with its size known, even 0: libcurl then sends "Content-Length" and the given
    // "Content-Type" for an empty body as well. Every attempt reads from the start.
    int64_t sent = 0;
    HTTP->UploadSize = Body.Size;
    HTTP->Source = [&Body, &sent](char* Buffer, size_t Size) -> int64_t {
        const auto want =
            static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(Size), Body.Size - sent));
        if (want == 0) return 0;
        const int64_t n = Body.Read(sent, Buffer, want);
        // A source that ends before its size is no body to send.
        if (n <= 0) return -1;
        sent += n;
        return n;
    };
    HTTPMethod(Reply, Target);
}

bool TS3Storage::PutBucket(const std::string& Bucket) {
    TReply reply;
    return Request("PUT", "/" + Bucket, "", nullptr, "", "", {}, reply, {.Repeat = false});
}

bool TS3Storage::DeleteObject(const std::string& Bucket, const std::string& Key) {
    TReply reply;
    const std::string resource = "/" + Bucket + (Key.empty() ? "" : "/" + EncodePath(Key));
    return Request("DELETE", resource, "", nullptr, "", "", {}, reply, {});
}

std::string TS3Storage::ContentMD5Of(const TS3Reader& Read, int64_t Size) {
    EVP_MD_CTX* ctx = ::EVP_MD_CTX_new();
    if (!ctx) return {};
    std::string out;
    std::vector<char> buffer(size_t{1} << 20);
    bool read = ::EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1;
    for (int64_t at = 0; read && at < Size;) {
        const int64_t n =
            Read(at, buffer.data(), static_cast<size_t>(std::min<int64_t>(Size - at, buffer.size())));
        read = n > 0 && ::EVP_DigestUpdate(ctx, buffer.data(), static_cast<size_t>(n)) == 1;
        at += n;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
    if (read && ::EVP_DigestFinal_ex(ctx, digest, &digestLen) == 1)
        out = Base64Encode(std::string_view(reinterpret_cast<const char*>(digest), digestLen));
    ::EVP_MD_CTX_free(ctx);
    return out;
}

TS3Reader TS3Storage::ReaderOf(const std::string& Text) {
    return [&Text](int64_t Offset, char* Buffer, size_t Size) -> int64_t {
        const size_t n = std::min(Size, Text.size() - static_cast<size_t>(Offset));
        std::memcpy(Buffer, Text.data() + Offset, n);
        return static_cast<int64_t>(n);
    };
}

bool TS3Storage::PutObject(const std::string& Bucket, const std::string& Key, const std::string& Stream,
                           bool Binary, bool Repeat) {
    // The digest is taken of the very string that is sent: no later change can come between them.
    const TS3Reader read = ReaderOf(Stream);
    const auto size = static_cast<int64_t>(Stream.size());
    return PutObjectFrom(Bucket, Key, read, size, ContentMD5Of(read, size), Binary, Repeat);
}

bool TS3Storage::PutObjectFrom(const std::string& Bucket, const std::string& Key, const TS3Reader& Read,
                               int64_t Size, const std::string& MD5, bool Binary, bool Repeat,
                               std::string* ETag) {
    if (ETag) ETag->clear();
    if (MD5.empty()) {
        ErrorText = {"Http Result: no MD5 digest of the body"};
        return false;
    }
    TReply reply;
    const TBody body{Read, Size};
    if (!Request("PUT", "/" + Bucket + "/" + EncodePath(Key), "", &body,
                 Binary ? CONTENT_BINARY : CONTENT_TEXT, MD5, {}, reply, {.Repeat = Repeat}))
        return false;
    if (ETag) {
        const auto tag = reply.Headers.find("etag");
        if (tag != reply.Headers.end()) *ETag = tag->second;
    }
    return true;
}

bool TS3Storage::GetObject(const std::string& Bucket, const std::string& Key, std::string& Stream,
                           std::map<std::string, std::string>* Headers) {
    const size_t kept = Stream.size();
    const TS3Target target{[&Stream, kept] {
                               Stream.resize(kept);
                               return true;
                           },
                           [&Stream](std::string_view Data) {
                               Stream.append(Data);
                               return true;
                           }};
    if (GetObjectTo(Bucket, Key, target, Headers)) return true;
    Stream.resize(kept);
    return false;
}

bool TS3Storage::GetObjectTo(const std::string& Bucket, const std::string& Key, const TS3Target& Target,
                             std::map<std::string, std::string>* Headers) {
    TReply reply;
    if (!Request("GET", "/" + Bucket + "/" + EncodePath(Key), "", nullptr, "", "", {}, reply,
                 {.Target = &Target}))
        return false;
    if (Headers) *Headers = std::move(reply.Headers);
    return true;
}

bool TS3Storage::CopyObject(const std::string& SourceBucket, const std::string& SourceKey,
                            const std::string& Bucket, const std::string& Key, std::string* ETag) {
    if (ETag) ETag->clear();
    TReply reply;
    // The source is a path: its "/" stay as they are (services decode the rest, some not "%2F").
    std::string path = EncodePath(SourceKey);
    for (size_t at; (at = path.find("%2F")) != std::string::npos;) path.replace(at, 3, "/");
    const std::string source = "x-amz-copy-source: /" + SourceBucket + "/" + path;
    // A copy of an empty body: the PUT carries no content of its own. Repeated, it copies the same
    // source to the same key again.
    const TS3Reader none = [](int64_t, char*, size_t) -> int64_t { return 0; };
    const TBody empty{none, 0};
    if (!Request("PUT", "/" + Bucket + "/" + EncodePath(Key), "", &empty, CONTENT_BINARY, "", {source}, reply,
                 {.ErrorIn200 = true}))
        return false;
    if (ETag) *ETag = XmlUnescape(ElementIn(reply.Body, "ETag"));
    return true;
}

bool TS3Storage::HeadObject(const std::string& Bucket, const std::string& Key,
                            std::map<std::string, std::string>* Headers) {
    TReply reply;
    if (!Request("HEAD", "/" + Bucket + "/" + EncodePath(Key), "", nullptr, "", "", {}, reply, {}))
        return false;
    if (Headers) *Headers = std::move(reply.Headers);
    return true;
}

bool TS3Storage::ListAllBuckets(std::string& Stream) {
    TReply reply;
    if (!Request("GET", "/", "", nullptr, "", "", {}, reply, {})) return false;
    Stream = std::move(reply.Body);
    return true;
}

bool TS3Storage::ListBucket(const std::string& Bucket, std::string& Stream) {
    return ListBucketQuery(Bucket, "", Stream);
}

bool TS3Storage::ListBucketQuery(const std::string& Bucket, const std::string& Query, std::string& Stream) {
    TReply reply;
    if (!Request("GET", "/" + Bucket, Query, nullptr, "", "", {}, reply, {})) return false;
    Stream = std::move(reply.Body);
    return true;
}

}  // namespace bfs
