#include "storage/uS3Storage.h"

#include "storage/UTStorageCommon.h"

#include <locale.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

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

// The "Content-MD5" value of Body: the Base64 of its MD5 digest; empty when none can be made.
std::string ContentMD5(std::string_view Body) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
    if (::EVP_Digest(Body.data(), Body.size(), digest, &digestLen, EVP_md5(), nullptr) != 1) return {};
    return Base64Encode(std::string_view(reinterpret_cast<const char*>(digest), digestLen));
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

std::string TS3Storage::MakeBucketName(const std::string& Name) const {
    return AccessKeyId + "-" + Trim(Name);
}

std::string TS3Storage::DisplayBucketName(const std::string& Name) const {
    const std::string prefix = AccessKeyId + "-";
    std::string out = Name;
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

bool TS3Storage::Request(const std::string& Verb, const std::string& Resource, const std::string& Query,
                         const std::string* Body, const std::string& ContentType, const std::string& MD5,
                         const std::vector<std::string>& AmzHeaders, TReply& Reply) {
    NewRequest();
    const TRequestGuard guard{HTTP, m_Busy};
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
        HTTPMethodWithBody(*Body, Reply);
    else
        HTTPMethod(Reply);

    const bool ok =
        Reply.Failure.empty() && (Reply.Status == 200 || (Verb == "DELETE" && Reply.Status == 204));
    ErrorText.clear();
    if (!ok) {
        ErrorText.push_back("Http Result: " + (Reply.Failure.empty()
                                                   ? std::to_string(Reply.Status) + " " + Reply.Reason
                                                   : Reply.Failure));
        AppendLines(ErrorText, Reply.Body);
        // The secret is never sent, but a reply may quote whatever it likes: it is not kept.
        if (!SecretKey.empty())
            for (std::string& line : ErrorText)
                for (size_t at = 0; (at = line.find(SecretKey, at)) != std::string::npos; at += 3)
                    line.replace(at, SecretKey.size(), "***");
    }
    return ok;
}

void TS3Storage::HTTPMethod(TReply& Reply) {
    if (HTTP->Method == "HEAD") HTTP->NoBody = true;
    HTTP->OnReply = [&Reply](std::string_view Line) {
        if (Line.starts_with("HTTP/")) {
            // A new status line ("HTTP/1.1 100 Continue" comes before the final one).
            Reply.Headers.clear();
            const size_t code = Line.find(' ');
            const size_t reason = code == std::string_view::npos ? code : Line.find(' ', code + 1);
            Reply.Reason = reason == std::string_view::npos ? "" : std::string(Line.substr(reason + 1));
            return;
        }
        const size_t colon = Line.find(':');
        if (colon == std::string_view::npos) return;
        Reply.Headers[Lower(std::string(Line.substr(0, colon)))] = Trim(std::string(Line.substr(colon + 1)));
    };
    const THttpResult result = m_Session.Perform(*HTTP, [&Reply](std::string_view Data) {
        Reply.Body.append(Data);
        return true;
    });
    Reply.Status = result.Status;
    if (!result.Ok() && result.Error != HTTP_STATUS_FAILED) Reply.Failure = result.ErrorText;
}

void TS3Storage::HTTPMethodWithBody(const std::string& Body, TReply& Reply) {
    // An upload with its size known, even 0: libcurl then sends "Content-Length" and the given
    // "Content-Type" for an empty body as well.
    size_t sent = 0;
    HTTP->UploadSize = static_cast<int64_t>(Body.size());
    HTTP->Source = [&Body, &sent](char* Buffer, size_t Size) -> int64_t {
        const size_t n = std::min(Size, Body.size() - sent);
        std::memcpy(Buffer, Body.data() + sent, n);
        sent += n;
        return static_cast<int64_t>(n);
    };
    HTTPMethod(Reply);
}

bool TS3Storage::PutBucket(const std::string& Bucket) {
    TReply reply;
    return Request("PUT", "/" + Bucket, "", nullptr, "", "", {}, reply);
}

bool TS3Storage::DeleteObject(const std::string& Bucket, const std::string& Key) {
    TReply reply;
    const std::string resource = "/" + Bucket + (Key.empty() ? "" : "/" + EncodePath(Key));
    return Request("DELETE", resource, "", nullptr, "", "", {}, reply);
}

bool TS3Storage::PutObject(const std::string& Bucket, const std::string& Key, const std::string& Stream,
                           bool Binary) {
    TReply reply;
    // The digest is taken of the very string that is sent: no later change can come between them.
    const std::string md5 = ContentMD5(Stream);
    if (md5.empty()) {
        ErrorText = {"Http Result: no MD5 digest of the body"};
        return false;
    }
    return Request("PUT", "/" + Bucket + "/" + EncodePath(Key), "", &Stream,
                   Binary ? CONTENT_BINARY : CONTENT_TEXT, md5, {}, reply);
}

bool TS3Storage::GetObject(const std::string& Bucket, const std::string& Key, std::string& Stream,
                           std::map<std::string, std::string>* Headers) {
    TReply reply;
    if (!Request("GET", "/" + Bucket + "/" + EncodePath(Key), "", nullptr, "", "", {}, reply)) return false;
    Stream += reply.Body;
    if (Headers) *Headers = std::move(reply.Headers);
    return true;
}

bool TS3Storage::CopyObject(const std::string& SourceBucket, const std::string& SourceKey,
                            const std::string& Bucket, const std::string& Key) {
    TReply reply;
    // The source is a path: its "/" stay as they are (services decode the rest, some not "%2F").
    std::string path = EncodePath(SourceKey);
    for (size_t at; (at = path.find("%2F")) != std::string::npos;) path.replace(at, 3, "/");
    const std::string source = "x-amz-copy-source: /" + SourceBucket + "/" + path;
    // A copy of an empty body: the PUT carries no content of its own.
    const std::string empty;
    if (!Request("PUT", "/" + Bucket + "/" + EncodePath(Key), "", &empty, CONTENT_BINARY, "", {source},
                 reply))
        return false;
    // A copy that fails late is still answered 200, with an <Error> document as the body.
    if (reply.Body.find("<Error>") != std::string::npos) {
        ErrorText = {"Http Result: 200 " + reply.Reason};
        AppendLines(ErrorText, reply.Body);
        return false;
    }
    return true;
}

bool TS3Storage::HeadObject(const std::string& Bucket, const std::string& Key,
                            std::map<std::string, std::string>* Headers) {
    TReply reply;
    if (!Request("HEAD", "/" + Bucket + "/" + EncodePath(Key), "", nullptr, "", "", {}, reply)) return false;
    if (Headers) *Headers = std::move(reply.Headers);
    return true;
}

bool TS3Storage::ListAllBuckets(std::string& Stream) {
    TReply reply;
    if (!Request("GET", "/", "", nullptr, "", "", {}, reply)) return false;
    Stream = std::move(reply.Body);
    return true;
}

bool TS3Storage::ListBucket(const std::string& Bucket, std::string& Stream) {
    return ListBucketQuery(Bucket, "", Stream);
}

bool TS3Storage::ListBucketQuery(const std::string& Bucket, const std::string& Query, std::string& Stream) {
    TReply reply;
    if (!Request("GET", "/" + Bucket, Query, nullptr, "", "", {}, reply)) return false;
    Stream = std::move(reply.Body);
    return true;
}

}  // namespace bfs
