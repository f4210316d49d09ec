#include "storage/UTHttpSession.h"

#include "platform/UTLocalFile.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>

namespace bfs {

static_assert(SESSION_LOGIN_DENIED == CURLE_LOGIN_DENIED && SESSION_ABORTED == CURLE_ABORTED_BY_CALLBACK &&
              SESSION_NOT_SENT == CURLE_QUOTE_ERROR);

namespace {

using TClock = std::chrono::steady_clock;

// curl_global_init is not safe to run twice at once, nor alongside a transfer: once per process,
// before the first handle. Never undone: other sessions may live until exit.
void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// What the callbacks of one transfer share with Perform.
struct TTransfer {
    const THttpSink* Sink = nullptr;
    const THttpRequest* Request = nullptr;
    const std::atomic<bool>* Aborted = nullptr;
    std::exception_ptr Thrown;
    bool Connected = false;       // the request is under way: the read time-out counts from here
    TClock::time_point LastData;  // when something last arrived (or the request went out)
};

size_t OnBody(char* Data, size_t Size, size_t Count, void* User) {
    auto* t = static_cast<TTransfer*>(User);
    const size_t len = Size * Count;
    t->LastData = TClock::now();
    if (!t->Sink || !*t->Sink) return len;
    // No exception may pass through libcurl: it is kept and rethrown once curl_multi has returned.
    try {
        if ((*t->Sink)(std::string_view(Data, len))) return len;
    } catch (...) {
        t->Thrown = std::current_exception();
    }
    return CURL_WRITEFUNC_ERROR;
}

size_t OnHeader(char* Data, size_t Size, size_t Count, void* User) {
    auto* t = static_cast<TTransfer*>(User);
    const size_t len = Size * Count;
    t->LastData = TClock::now();
    if (!t->Request->OnReply) return len;
    std::string_view line(Data, len);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    try {
        t->Request->OnReply(line);
        return len;
    } catch (...) {
        t->Thrown = std::current_exception();
    }
    return 0;  // ends the transfer
}

size_t OnUpload(char* Buffer, size_t Size, size_t Count, void* User) {
    auto* t = static_cast<TTransfer*>(User);
    t->LastData = TClock::now();  // sending counts as activity for the read time-out
    try {
        const int64_t n = t->Request->Source(Buffer, Size * Count);
        if (n >= 0) return static_cast<size_t>(n);
    } catch (...) {
        t->Thrown = std::current_exception();
    }
    return CURL_READFUNC_ABORT;
}

// libcurl asks at least once a second, and whenever data moves: the place where Abort takes effect.
int OnProgress(void* User, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<TTransfer*>(User)->Aborted->load() ? 1 : 0;
}

// A curl_slist of Lines, freed with the holder.
struct TSList {
    curl_slist* List = nullptr;
    explicit TSList(const std::vector<std::string>& Lines) {
        for (const std::string& line : Lines) {
            curl_slist* next = curl_slist_append(List, line.c_str());
            if (!next) break;
            List = next;
        }
    }
    TSList(const TSList&) = delete;
    TSList& operator=(const TSList&) = delete;
    ~TSList() { curl_slist_free_all(List); }
};

// Called once the connection stands, just before the request is sent.
int OnConnected(void* User, char*, char*, int, int) {
    auto* t = static_cast<TTransfer*>(User);
    t->Connected = true;
    t->LastData = TClock::now();
    return CURL_PREREQFUNC_OK;
}

// Whether the finished transfer spoke HTTP(S). Only there does the last status tell the outcome: an
// FTP request that libcurl ended well may end on the refusal of a command allowed to fail ("*MKD"
// of a folder that exists).
bool SpeaksHttp(CURL* Easy) {
    const char* scheme = nullptr;
    curl_easy_getinfo(Easy, CURLINFO_SCHEME, &scheme);
    return !scheme || ::strncasecmp(scheme, "http", 4) == 0;
}

}  // namespace

struct THttpSession::TImpl {
    CURL* Easy = curl_easy_init();
    CURLM* Multi = curl_multi_init();
    char ErrorText[CURL_ERROR_SIZE] = {};

    TImpl() = default;
    TImpl(const TImpl&) = delete;
    TImpl& operator=(const TImpl&) = delete;
    ~TImpl() {
        if (Easy) curl_easy_cleanup(Easy);
        if (Multi) curl_multi_cleanup(Multi);
    }
};

THttpSession::THttpSession() {
    GlobalInit();
    m_Impl = std::make_unique<TImpl>();
}

THttpSession::~THttpSession() = default;

void THttpSession::SetReadTimeout(int Ms) {
    std::lock_guard lock(m_Mutex);
    m_ReadTimeoutMs = Ms;
}

void THttpSession::SetConnectTimeout(int Ms) {
    std::lock_guard lock(m_Mutex);
    m_ConnectTimeoutMs = Ms;
}

void THttpSession::SetUserAgent(std::string UserAgent) {
    std::lock_guard lock(m_Mutex);
    m_UserAgent = std::move(UserAgent);
}

void THttpSession::SetLowSpeedLimit(long BytesPerSecond, long Seconds) {
    std::lock_guard lock(m_Mutex);
    m_LowSpeedBytes = BytesPerSecond;
    m_LowSpeedSeconds = Seconds;
}

THttpResult THttpSession::Perform(const THttpRequest& Request, const THttpSink& Sink) {
    std::lock_guard lock(m_Mutex);
    ++m_Requests;
    THttpResult result;
    CURL* easy = m_Impl->Easy;
    CURLM* multi = m_Impl->Multi;
    if (!easy || !multi) {
        result.Error = CURLE_FAILED_INIT;
        result.ErrorText = curl_easy_strerror(CURLE_FAILED_INIT);
        return result;
    }

    // Every option is set again for each request; the reset keeps open connections and caches.
    curl_easy_reset(easy);
    TTransfer transfer;
    transfer.Sink = &Sink;
    transfer.Request = &Request;
    transfer.Aborted = &m_Aborted;
    const TSList commands(Request.Commands), afterCommands(Request.AfterCommands), headers(Request.Headers);
    m_Impl->ErrorText[0] = '\0';
    curl_easy_setopt(easy, CURLOPT_URL, Request.Url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, Request.Protocols.c_str());
    if (!Request.UserName.empty() || !Request.Password.empty()) {
        curl_easy_setopt(easy, CURLOPT_USERNAME, Request.UserName.c_str());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, Request.Password.c_str());
    }
    if (Request.DigestAuth) curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_DIGEST));
    if (!Request.AcceptEncoding.empty())
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, Request.AcceptEncoding.c_str());
    if (!Request.Method.empty()) curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, Request.Method.c_str());
    if (headers.List) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.List);
    // HTTP/1.1 always: replies are read by their status line, never over HTTP/2.
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    // libcurl's defaults, set again so that no request can go out unverified.
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (commands.List) curl_easy_setopt(easy, CURLOPT_QUOTE, commands.List);
    if (afterCommands.List) curl_easy_setopt(easy, CURLOPT_POSTQUOTE, afterCommands.List);
    if (Request.NoBody) curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    if (Request.NoSizeAsked) curl_easy_setopt(easy, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    if (Request.ReplyTimeoutSeconds > 0)
        curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, Request.ReplyTimeoutSeconds);
    if (Request.Source) {
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, OnUpload);
        curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
        if (Request.UploadSize >= 0)
            curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(Request.UploadSize));
    } else if (!Request.NoBody) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    }
    // One CWD to the whole folder, not one per level; passive mode, EPSV first (libcurl's default).
    curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
    if (m_LowSpeedBytes > 0 && m_LowSpeedSeconds > 0) {
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, m_LowSpeedBytes);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, m_LowSpeedSeconds);
    }
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);  // no SIGALRM: sessions run on any thread
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, m_Impl->ErrorText);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, OnConnected);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer);
    if (m_ConnectTimeoutMs > 0) curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long{m_ConnectTimeoutMs});
    if (!m_UserAgent.empty()) curl_easy_setopt(easy, CURLOPT_USERAGENT, m_UserAgent.c_str());

    // libcurl's own stall guard counts whole seconds; the read time-out is kept here, to the
    // millisecond, by driving the transfer through the multi interface.
    CURLcode code = CURLE_OK;
    bool timedOut = false;
    const auto readTimeout = std::chrono::milliseconds(m_ReadTimeoutMs);
    if (m_Aborted) {
        code = CURLE_ABORTED_BY_CALLBACK;
    } else if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        code = CURLE_FAILED_INIT;
    } else {
        bool done = false;
        const bool ftp = Request.Protocols == "ftp";
        for (;;) {
            int running = 0;
            if (curl_multi_perform(multi, &running) != CURLM_OK) {
                code = CURLE_OUT_OF_MEMORY;  // the only way the multi side fails for one handle
                break;
            }
            if (running == 0) {
                done = true;
                break;
            }
            if (m_Aborted) {
                code = CURLE_ABORTED_BY_CALLBACK;
                break;
            }
            int waitMs = 1000;
            if (m_ReadTimeoutMs > 0 && transfer.Connected) {
                const auto idle = TClock::now() - transfer.LastData;
                if (idle >= readTimeout) {
                    timedOut = true;
                    break;
                }
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(readTimeout - idle).count();
                waitMs = static_cast<int>(std::clamp<long long>(left, 1, 1000));
            }
            // Short waits: an Abort from another thread is seen within a tenth of a second. FTP
            // looks again far sooner: libcurl does not wake this wait for every step of an FTP
            // transfer (the end of a download from vsftpd stalled a whole wait, one time in three).
            curl_multi_poll(multi, nullptr, 0, std::min(waitMs, ftp ? 5 : 100), nullptr);
        }
        if (done) {
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &queued))
                if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) code = msg->data.result;
        }
        // Removing an unfinished transfer closes its connection.
        curl_multi_remove_handle(multi, easy);
    }
    if (transfer.Thrown) std::rethrow_exception(transfer.Thrown);

    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &result.Status);
    if (timedOut) {
        result.Error = CURLE_OPERATION_TIMEDOUT;
        result.ErrorText = "Nothing received for " + std::to_string(m_ReadTimeoutMs) + " ms";
    } else if (code != CURLE_OK) {
        result.Error = code;
        result.ErrorText = m_Impl->ErrorText[0] ? m_Impl->ErrorText : curl_easy_strerror(code);
    } else if (result.Status >= 400 && SpeaksHttp(easy)) {
        result.Error = HTTP_STATUS_FAILED;
        result.ErrorText = "HTTP " + std::to_string(result.Status);
    }
    return result;
}

THttpResult THttpSession::Get(const std::string& Url, int Fd) {
    int writeError = 0;
    THttpResult result = Perform({Url}, [&](std::string_view Data) {
        writeError = WriteAll(Fd, Data);
        return writeError == 0;
    });
    if (writeError != 0)
        result.ErrorText = std::string("Cannot write the body: ") + std::strerror(writeError);
    return result;
}

}  // namespace bfs
