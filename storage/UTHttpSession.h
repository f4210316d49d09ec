#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bfs {

// How one transfer ended.
struct THttpResult {
    // 0 on success; else the libcurl error code of the failure, or HTTP_STATUS_FAILED when an HTTP
    // server answered with a status of 400 or more.
    int Error = 0;
    // The HTTP status of the last response received (FTP: the code of the server's last reply, which
    // may be the refusal of a command allowed to fail); 0 when none arrived.
    long Status = 0;
    // Why it failed, in words (libcurl's error text, or "HTTP <status>"); empty on success.
    std::string ErrorText;
    bool Ok() const { return Error == 0; }
};

// THttpResult::Error for a response with status 400 or more (above every libcurl code).
inline constexpr int HTTP_STATUS_FAILED = 1000;
// THttpResult::Error values that callers tell apart (libcurl's codes, checked where it is included).
inline constexpr int SESSION_LOGIN_DENIED = 67;  // the server refused the log-on
inline constexpr int SESSION_ABORTED = 42;       // Abort ended the transfer
inline constexpr int SESSION_NOT_SENT = 21;      // a command was refused (or never sent)

// Gives the next piece of an upload: fills at most Size bytes of Buffer and returns how many, 0 at
// the end, -1 on a failure (which ends the transfer).
using THttpSource = std::function<int64_t(char* Buffer, size_t Size)>;

// One request: a GET of Url unless the fields below say otherwise.
struct THttpRequest {
    THttpRequest() = default;
    THttpRequest(std::string Address) : Url(std::move(Address)) {}  // a GET of Address

    std::string Url;
    // The schemes this request may use: the update check fetches web pages only; the FTP back-end
    // asks for "ftp".
    std::string Protocols = "http,https";
    // Log-on, handed to libcurl apart from Url so that the password never appears in an address.
    std::string UserName;
    std::string Password;
    // FTP: the listing command used for a folder address ("MLSD", "LIST"); empty: libcurl's own.
    // HTTP: the verb ("DELETE", "PROPFIND"); empty: GET, or PUT when Source is set.
    std::string Method;
    // HTTP: extra request header lines ("Name: value"); they replace libcurl's own of that name.
    std::vector<std::string> Headers;
    // HTTP: the encodings asked for ("gzip, deflate"); a reply in one of them is decoded before it
    // reaches the sink. Empty: none asked, the body comes as sent.
    std::string AcceptEncoding;
    // HTTP: log on with Digest instead of Basic (libcurl then answers the server's challenge).
    bool DigestAuth = false;
    // FTP: commands sent after log-on, before the transfer, and after a transfer that succeeded.
    // A refused one ends the request as a failure (Status its reply code).
    std::vector<std::string> Commands;
    std::vector<std::string> AfterCommands;
    // Connect, log on and run Commands only: no transfer.
    bool NoBody = false;
    // FTP: the longest wait for any one server reply, the one after a transfer included; 0: libcurl's
    // own (a minute after a transfer).
    long ReplyTimeoutSeconds = 0;
    // FTP: a download asks no size before it starts (one round trip less); its caller counts the
    // bytes itself.
    bool NoSizeAsked = false;
    // When set, the request uploads what Source gives (UploadSize bytes; -1 when unknown).
    THttpSource Source;
    int64_t UploadSize = -1;
    // Each reply line as it arrives (HTTP headers; FTP server replies, the greeting first), without
    // its line end.
    std::function<void(std::string_view Line)> OnReply;
};

// Receives the response body piece by piece, in order, on the thread that called Perform.
// Returning false ends the transfer as a failure. An exception thrown here ends the transfer and is
// rethrown by Perform once libcurl has returned.
using THttpSink = std::function<bool(std::string_view Data)>;

// The program's one libcurl client, for web pages (the update check), FTP and WebDAV servers and
// the S3 service: one easy handle, reused so that connections are kept between requests to the same
// server. Only the schemes a request names are used, and redirects are not followed (a 3xx answer is
// reported as it came). HTTP is spoken as HTTP/1.1; TLS certificates and host names are always
// verified. FTP goes passive (EPSV, then PASV) in binary mode, entering a folder in one step.
// Thread safety: a session may be shared; its transfers run one at a time (Perform holds m_Mutex).
// Sessions on different threads run in parallel. Abort is the one call meant for another thread.
class THttpSession {
  public:
    static constexpr int DEFAULT_READ_TIMEOUT_MS = 5000;
    static constexpr int DEFAULT_CONNECT_TIMEOUT_MS = 10000;

    THttpSession();
    THttpSession(const THttpSession&) = delete;
    THttpSession& operator=(const THttpSession&) = delete;
    ~THttpSession();

    // Once connected, a transfer that receives nothing for Ms milliseconds (while waiting for the
    // answer as well as within the body) ends with a time-out. Ms <= 0: no limit.
    void SetReadTimeout(int Ms);
    // Making the connection (name look-up included) may take Ms milliseconds. Ms <= 0: libcurl's own.
    void SetConnectTimeout(int Ms);
    void SetUserAgent(std::string UserAgent);
    // A transfer slower than BytesPerSecond for Seconds on end is given up. 0: no limit.
    void SetLowSpeedLimit(long BytesPerSecond, long Seconds);

    // Ends the running transfer (if any) and fails every later one until ResetAbort. Safe from any
    // thread: it only sets a flag that the transfer's own progress check reads; the handle is
    // never touched from here.
    void Abort() noexcept { m_Aborted = true; }
    void ResetAbort() noexcept { m_Aborted = false; }
    bool Aborted() const noexcept { return m_Aborted; }

    // Runs Request, handing the body to Sink. Without Sink the body is dropped. A status of 400 or
    // more is a failure (its body still goes to Sink). Never throws except what Sink threw.
    THttpResult Perform(const THttpRequest& Request, const THttpSink& Sink);
    // How many requests Perform has started: a caller tells from it whether anything went to the
    // server since a moment it noted.
    uint64_t Requests() const noexcept { return m_Requests; }
    // A GET of Url whose body is written to the descriptor Fd at its current position. A write
    // that fails ends the transfer (ErrorText names the write error).
    THttpResult Get(const std::string& Url, int Fd);

  private:
    struct TImpl;

    std::mutex m_Mutex;  // guards m_Impl and the settings: one transfer at a time
    std::atomic<uint64_t> m_Requests{0};
    std::unique_ptr<TImpl> m_Impl;
    int m_ReadTimeoutMs = DEFAULT_READ_TIMEOUT_MS;
    int m_ConnectTimeoutMs = DEFAULT_CONNECT_TIMEOUT_MS;
    std::string m_UserAgent;
    long m_LowSpeedBytes = 0;
    long m_LowSpeedSeconds = 0;
    std::atomic<bool> m_Aborted{false};
};

}  // namespace bfs
