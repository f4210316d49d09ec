#pragma once

#include "storage/UTHttpSession.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

// The limits of a client's requests. The defaults are those of every back-end that talks to a
// server; the tests make them short.
struct TS3Limits {
    int ConnectTimeoutMs = 15000;
    // Once connected, a request that hears nothing for this long (waiting for the answer as well as
    // within it) has timed out: a server may think a while over a large upload or copy.
    int ReadTimeoutMs = 60000;
    // A request that may be repeated is sent again after each of these waits, in turn, when it
    // failed in a way that may pass: a 500 or 503, a reset connection or a time-out.
    std::vector<int> RetryDelaysMs = {1000, 3000, 9000};
    // The most of a reply the client keeps in memory (a key list, an error document); a longer one
    // fails its request. Object bodies go to their caller and are not bounded by it.
    size_t MaxReplyBody = size_t{32} << 20;
};

// Reads an upload's bytes: fills at most Size bytes of Buffer with those from Offset on and
// returns how many, 0 at the end, -1 on a failure. Read again from 0 for each attempt.
using TS3Reader = std::function<int64_t(int64_t Offset, char* Buffer, size_t Size)>;

// Takes a download's body: Restart before each attempt (false: give up), then Write for each piece
// in order (false: give up).
struct TS3Target {
    std::function<bool()> Restart;
    std::function<bool(std::string_view Data)> Write;
};

// The client of an S3 service: buckets, objects and the XML listings, addressed path-style
// (Scheme + Endpoint + "/" + bucket + "/" + key) and signed with signature version 2 (HMAC-SHA1
// of the string to sign, Base64, in an "Authorization: AWS id:signature" header). Every request
// goes through one kept-alive THttpSession, as HTTP/1.1, with TLS certificates always verified,
// within the limits of TS3Limits. Success is decided by the status code alone: 200, and for DELETE
// 204 or 200. GET, HEAD, the listings, DELETE and a copy are sent again, a few times, after a 500,
// 503, a reset connection or a time-out; a PUT only where its caller allows it. The outcome of the
// last attempt is the request's: a repeat never makes a failure look like a success.
// Keys are UTF-8 bytes as the caller gives them; they reach the wire through EncodePath only.
// Neither key is ever written to ErrorText, a log or a command line.
// Thread safety: one thread makes requests at a time; AbortRequest may come from any thread.
class TS3Storage {
  public:
    static constexpr const char* DEFAULT_ENDPOINT = "s3.amazonaws.com";

    // A client takes the limits DefaultLimits holds at its construction.
    TS3Storage();
    TS3Storage(const TS3Storage&) = delete;
    TS3Storage& operator=(const TS3Storage&) = delete;

    // Secret access key: the HMAC key of every signature.
    std::string SecretKey;
    // The last failed request: "Http Result: " + status and reason phrase (or the network failure),
    // then the lines of the reply body's first 4 KiB. Emptied by a request that succeeds.
    std::vector<std::string> ErrorText;
    // The last failed request got no answer in time (its last attempt timed out).
    bool TimedOut = false;
    // Access key id: in every "Authorization" header and the prefix of every bucket name.
    std::string AccessKeyId;
    // "http://" or "https://".
    std::string Scheme = "http://";
    // Host (and ":port" when not the scheme's own) of the service, path-style for every bucket.
    std::string Endpoint = DEFAULT_ENDPOINT;
    // The request in progress; none between requests.
    std::unique_ptr<THttpRequest> HTTP;

    // What every client made from now on takes.
    static TS3Limits& DefaultLimits();
    void SetLimits(const TS3Limits& Limits);
    const TS3Limits& Limits() const { return m_Limits; }

    void Create(const std::string& AccessKeyId, const std::string& SecretKey);
    void SetUseSSL(bool UseSSL);
    bool GetUseSSL() const;

    // The trimmed Text in the URL-element encoding of EncodePath (bucket names typed by the user).
    static std::string EncodeKey(const std::string& Text);
    // Text with every byte outside the URL-safe set as "%XX" (upper-case hex): the controls and
    // blank, '"', '#', '%', '&', '+', '/', ':' to '@', '[' to '`', '{' to '~' and every byte from
    // 127 up. Nothing is trimmed: object keys and query values keep every byte, blanks at either
    // end too, so "a " and "a" stay two objects. The same text goes into the URL and the signature.
    static std::string EncodePath(const std::string& Text);
    // BucketPrefix() + the trimmed Name: the bucket's name on the service.
    std::string MakeBucketName(const std::string& Name) const;
    // The access key id in lower case and "-": what begins the name of each bucket the program
    // makes. (Key ids are upper case, and a bucket name may hold no capital.)
    std::string BucketPrefix() const;
    // Name with every occurrence of BucketPrefix() (and of the key id as written + "-") removed: the
    // name shown to the user.
    std::string DisplayBucketName(const std::string& Name) const;

    // PUT "/" + Bucket: creates the bucket.
    bool PutBucket(const std::string& Bucket);
    // DELETE "/" + Bucket + "/" + EncodePath(Key); an empty key deletes the bucket itself.
    bool DeleteObject(const std::string& Bucket, const std::string& Key);
    // PUT of the whole Stream as the object, content type "binary/octet-stream" (Binary) or
    // "text/html". An empty Stream still sends "Content-Length: 0" and its signed content type.
    // The request carries the signed "Content-MD5" of exactly the bytes sent, so that a service
    // refuses a body that did not arrive as sent instead of storing it.
    // Repeat: the PUT may be sent again after a failure that may pass (see TS3Limits); only for a
    // key that nothing but this upload writes.
    bool PutObject(const std::string& Bucket, const std::string& Key, const std::string& Stream, bool Binary,
                   bool Repeat = false);
    // PUT of the Size bytes that Read gives, read as they are sent, with MD5 (ContentMD5Of the same
    // bytes) as their "Content-MD5": a body that changed since it was digested is refused by the
    // service. Each attempt reads from the start again.
    // ETag (when given) receives the reply's "ETag" header as sent, empty when it has none.
    bool PutObjectFrom(const std::string& Bucket, const std::string& Key, const TS3Reader& Read, int64_t Size,
                       const std::string& MD5, bool Binary, bool Repeat, std::string* ETag = nullptr);
    // The "Content-MD5" value of the Size bytes Read gives: empty when they cannot all be read.
    static std::string ContentMD5Of(const TS3Reader& Read, int64_t Size);
    // A reader of Text, which must outlive it.
    static TS3Reader ReaderOf(const std::string& Text);
    // GET of the object; on success its body is appended to Stream, which is otherwise untouched,
    // and Headers (when given) receives the reply headers, names in lower case.
    bool GetObject(const std::string& Bucket, const std::string& Key, std::string& Stream,
                   std::map<std::string, std::string>* Headers = nullptr);
    // GET of the object with its body handed to Target as it arrives (only a successful reply's).
    bool GetObjectTo(const std::string& Bucket, const std::string& Key, const TS3Target& Target,
                     std::map<std::string, std::string>* Headers = nullptr);
    // Server-side copy: PUT of the target with a signed "x-amz-copy-source" naming the source.
    // ETag (when given) receives the <ETag> of the reply's copy result, its entities decoded
    // ("\"…\""), empty when it has none.
    bool CopyObject(const std::string& SourceBucket, const std::string& SourceKey, const std::string& Bucket,
                    const std::string& Key, std::string* ETag = nullptr);
    // HEAD of the object. On success Headers (when given) receives the reply headers, names in
    // lower case.
    bool HeadObject(const std::string& Bucket, const std::string& Key,
                    std::map<std::string, std::string>* Headers = nullptr);
    // GET "/": on success Stream holds the account's bucket list XML.
    bool ListAllBuckets(std::string& Stream);
    // GET "/" + Bucket: on success Stream holds the key list XML.
    bool ListBucket(const std::string& Bucket, std::string& Stream);
    // GET "/" + Bucket + "?" + Query; the query is not signed. Its values must be encoded already
    // (EncodePath). On success Stream holds the key list XML.
    bool ListBucketQuery(const std::string& Bucket, const std::string& Query, std::string& Stream);

    // Ends the request in progress, if any: its blocked call returns at once and fails.
    void AbortRequest();
    // Asked as each request starts: when it says so, the request fails at once (a stop that came
    // between two requests, which AbortRequest alone would miss). None: never.
    std::function<bool()> Stopped;
    // Prepares the request of the next call; a request still held from before is dropped.
    void NewRequest();
    // "Authorization: AWS " + AccessKeyId + ":" + Base64(HMAC-SHA1(SecretKey, Verb LF MD5 LF
    // ContentType LF Date LF AmzHeaders Resource)). AmzHeaders: the canonical "x-amz-" header
    // lines, each "name:value" + LF, sorted by name; empty for all but a copy.
    std::string SignRequest(const std::string& Verb, const std::string& MD5, const std::string& ContentType,
                            const std::string& Date, const std::string& Resource,
                            const std::string& AmzHeaders = {}) const;
    // The "Date" header text of the instant When in local time: "Mon, 7 Dec 2026 14:05:09 +0100",
    // English names whatever the user's locale.
    static std::string Rfc822Date(std::time_t When);

  private:
    // An upload's body.
    struct TBody {
        const TS3Reader& Read;
        int64_t Size;
    };
    struct TReply {
        long Status = 0;
        std::string Reason;  // the reason phrase of the final status line
        std::string Body;
        std::map<std::string, std::string> Headers;  // names in lower case
        std::string Failure;                         // the network failure, when no reply came
        int Error = 0;                               // THttpResult::Error of the attempt
        bool TooLong = false;                        // the reply passed MaxReplyBody
    };
    // How a request is sent: what may repeat it, where a successful body goes.
    struct TSending {
        bool Repeat = true;                 // sent again after a failure that may pass
        const TS3Target* Target = nullptr;  // a 200's body; none: kept in the reply
        bool ErrorIn200 = false;            // a 200 whose body is an <Error> document failed (a copy)
    };
    // One whole request: signed, sent (again, as Sending allows), its reply in Reply; ErrorText set
    // by the outcome. Body: the upload (may be empty), nullptr for a request without one. MD5: the
    // body's "Content-MD5", sent and signed; empty for none.
    bool Request(const std::string& Verb, const std::string& Resource, const std::string& Query,
                 const TBody* Body, const std::string& ContentType, const std::string& MD5,
                 const std::vector<std::string>& AmzHeaders, TReply& Reply, const TSending& Sending);
    // One attempt of a request.
    void Attempt(const std::string& Verb, const std::string& Resource, const std::string& Query,
                 const TBody* Body, const std::string& ContentType, const std::string& MD5,
                 const std::vector<std::string>& AmzHeaders, TReply& Reply, const TS3Target* Target);
    // Sends HTTP with Body, which counts as a body even when empty ("Content-Length: 0").
    void HTTPMethodWithBody(const TBody& Body, TReply& Reply, const TS3Target* Target);
    // Sends HTTP as it stands.
    void HTTPMethod(TReply& Reply, const TS3Target* Target);
    // Waits Ms before a repeat; false when a stop or an abort came meanwhile.
    bool WaitToRepeat(int Ms);

    TS3Limits m_Limits;
    THttpSession m_Session;
    std::atomic<bool> m_Busy{false};  // a request is on its way: AbortRequest has something to end
};

}  // namespace bfs
