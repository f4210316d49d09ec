#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace bfs {

// How one transfer ended.
struct THttpResult {
    // 0 on success; else the libcurl error code of the failure, or HTTP_STATUS_FAILED when the
    // server answered with a status of 400 or more.
    int Error = 0;
    // The HTTP status of the last response received; 0 when none arrived.
    long Status = 0;
    // Why it failed, in words (libcurl's error text, or "HTTP <status>"); empty on success.
    std::string ErrorText;
    bool Ok() const { return Error == 0; }
};

// THttpResult::Error for a response with status 400 or more (above every libcurl code).
inline constexpr int HTTP_STATUS_FAILED = 1000;

// One request. A GET of Url for now; methods, headers and an upload body belong here when the
// network back-ends need them.
struct THttpRequest {
    std::string Url;
};

// Receives the response body piece by piece, in order, on the thread that called Perform.
// Returning false ends the transfer as a failure. An exception thrown here ends the transfer and is
// rethrown by Perform once libcurl has returned.
using THttpSink = std::function<bool(std::string_view Data)>;

// The program's one HTTP client over libcurl: one easy handle, reused so that connections are kept
// between requests to the same server. Only http and https addresses are fetched, and redirects are
// not followed (a 3xx answer is reported as it came).
// Thread safety: a session may be shared; its transfers run one at a time (Perform holds m_Mutex).
// Sessions on different threads run in parallel.
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

    // Runs Request, handing the body to Sink. Without Sink the body is dropped. A status of 400 or
    // more is a failure (its body still goes to Sink). Never throws except what Sink threw.
    THttpResult Perform(const THttpRequest& Request, const THttpSink& Sink);
    // A GET of Url whose body is written to the descriptor Fd at its current position. A write
    // that fails ends the transfer (ErrorText names the write error).
    THttpResult Get(const std::string& Url, int Fd);

  private:
    struct TImpl;

    std::mutex m_Mutex;  // guards m_Impl and the settings: one transfer at a time
    std::unique_ptr<TImpl> m_Impl;
    int m_ReadTimeoutMs = DEFAULT_READ_TIMEOUT_MS;
    int m_ConnectTimeoutMs = DEFAULT_CONNECT_TIMEOUT_MS;
    std::string m_UserAgent;
};

}  // namespace bfs
