#include "storage/UTNetFileOper.h"

#include "model/UTConsts.h"
#include "model/UTDosTime.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "platform/UTLocalFile.h"
#include "storage/UTStorageCommon.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <libsmbclient.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace bfs {

namespace {

// Temporary files on a share and downloads in a local folder: reserved names, so that no listing
// shows them and the next listing removes leftovers.
constexpr std::string_view TEMP_PREFIX = ".~bfs.n.";
static_assert(IsTempFilePrefix(TEMP_PREFIX));

// How long one request to the server may take before it counts as unreachable: the client
// library's own default. A busy server answers the first share listing of a connection only once
// its listing service has started, which under load took longer than the 10 s this once was.
std::atomic<int> g_TimeoutMs{20000};
// The waits before the further attempts of a connection that timed out or was reset.
constexpr int RETRY_WAITS_MS[] = {250, 1000, 3000};

// The codes Connect and the browsing report, as the folder window knows them.
constexpr int32_t CODE_ACCESS_DENIED = 5;
constexpr int32_t CODE_PATH_NOT_FOUND = 3;
constexpr int32_t CODE_NO_NETWORK = 1203;

int32_t CodeOf(int Err) {
    if (Err == EACCES || Err == EPERM) return CODE_ACCESS_DENIED;
    if (Err == ENOENT || Err == ENOTDIR) return CODE_PATH_NOT_FOUND;
    return CODE_NO_NETWORK;
}

void LogFailure(std::string_view Context, int Err) {
    TMyException::Instance().LogError(Context, "EInOutError", std::system_category().message(Err));
}

// A listed name that may be joined into a share path: a safe name that holds no "\", which the
// server would take for a separator.
bool IsShareName(std::string_view Name) {
    return IsSafeName(Name) && Name.find('\\') == std::string_view::npos;
}

// Whether the server keeps a name it is given as it is. The server takes a name that Windows could
// not hold (a character it forbids, a blank or a dot at the end, a device name such as "aux" or
// "prn.txt"), but shows it to every client under a short alias ("AH7A2L~4"): written under such a
// name, a file would seem gone and another appear. Such names are never written.
bool IsKeptName(std::string_view Name) {
    if (Name.empty() || Name.back() == ' ' || Name.back() == '.') return false;
    for (const unsigned char c : Name)
        if (c < 0x20 || std::string_view("\"*:<>?|").find(static_cast<char>(c)) != std::string_view::npos)
            return false;
    const std::string_view base = Name.substr(0, Name.find('.'));
    const auto upper = [](std::string_view Text) {
        std::string out(Text);
        for (char& c : out)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        return out;
    };
    const std::string device = upper(base);
    if (device == "AUX" || device == "CON" || device == "NUL" || device == "PRN") return false;
    return !(device.size() == 4 && (device.starts_with("COM") || device.starts_with("LPT")) &&
             device[3] >= '1' && device[3] <= '9');
}

// Whether every name of a root-relative "/"-separated path is one the server keeps.
bool IsKeptPath(std::string_view Rel) {
    for (size_t start = 0; start < Rel.size();) {
        const size_t end = std::min(Rel.find('/', start), Rel.size());
        if (end > start && !IsKeptName(Rel.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

// The names of a root-relative "/"-separated path ("/" gives none); false when one is unusable.
bool SplitRelPath(std::string_view Rel, std::vector<std::string>& Names) {
    Names.clear();
    if (!IsSafeRelPath(Rel)) return false;
    size_t start = 0;
    while (start < Rel.size()) {
        size_t end = Rel.find('/', start);
        if (end == std::string_view::npos) end = Rel.size();
        if (end > start) {
            const std::string_view name = Rel.substr(start, end - start);
            if (!IsShareName(name)) return false;
            Names.emplace_back(name);
        }
        start = end + 1;
    }
    return true;
}

// ASCII letters and digits, whatever the user's locale.
bool IsAlnum(unsigned char C) {
    return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9');
}

bool IsHostChar(unsigned char C) {
    return IsAlnum(C) || C == '.' || C == '-' || C == '_' || C >= 0x80;
}

// Unreserved URL characters pass as they are; every other byte becomes %XX.
void AppendEncoded(std::string& Url, std::string_view Name) {
    static const char HEX[] = "0123456789ABCDEF";
    for (const unsigned char c : Name) {
        if (IsAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            Url += static_cast<char>(c);
        } else {
            Url += '%';
            Url += HEX[c >> 4];
            Url += HEX[c & 15];
        }
    }
}

// Whether the server accepts a connection on Port within the request time-out: 0, or the errno of
// the failure (ENXIO: no such host). The client library waits longer than that for a server that
// does not answer at all.
int ProbeServer(const std::string& Host, int Port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(Host.c_str(), std::to_string(Port).c_str(), &hints, &found) != 0 || !found)
        return ENXIO;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_TimeoutMs.load());
    int err = EHOSTUNREACH;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        TFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (fd.Get() < 0) continue;
        if (::connect(fd.Get(), a->ai_addr, a->ai_addrlen) == 0) return 0;
        if (errno != EINPROGRESS) {
            err = errno;
            continue;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd p{fd.Get(), POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return ETIMEDOUT;
        int soErr = 0;
        socklen_t len = sizeof soErr;
        if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &soErr, &len) == 0 && soErr == 0) return 0;
        err = soErr != 0 ? soErr : EHOSTUNREACH;
    }
    return err;
}

// The share client library, loaded when a share is first used rather than at every start of the
// program: it brings about a hundred libraries of its own, which cost a start some 25 ms.
constexpr const char* SMB_LIBRARY = "libsmbclient.so.0";

struct TSmbLibrary {
    decltype(&smbc_free_context) free_context = nullptr;
    decltype(&smbc_getFunctionClose) getFunctionClose = nullptr;
    decltype(&smbc_getFunctionClosedir) getFunctionClosedir = nullptr;
    decltype(&smbc_getFunctionMkdir) getFunctionMkdir = nullptr;
    decltype(&smbc_getFunctionOpen) getFunctionOpen = nullptr;
    decltype(&smbc_getFunctionOpendir) getFunctionOpendir = nullptr;
    decltype(&smbc_getFunctionRead) getFunctionRead = nullptr;
    decltype(&smbc_getFunctionReaddir) getFunctionReaddir = nullptr;
    decltype(&smbc_getFunctionReaddirPlus2) getFunctionReaddirPlus2 = nullptr;
    decltype(&smbc_getFunctionRename) getFunctionRename = nullptr;
    decltype(&smbc_getFunctionRmdir) getFunctionRmdir = nullptr;
    decltype(&smbc_getFunctionStat) getFunctionStat = nullptr;
    decltype(&smbc_getFunctionFstat) getFunctionFstat = nullptr;
    decltype(&smbc_getFunctionStatVFS) getFunctionStatVFS = nullptr;
    decltype(&smbc_getFunctionUnlink) getFunctionUnlink = nullptr;
    decltype(&smbc_getFunctionUtimes) getFunctionUtimes = nullptr;
    decltype(&smbc_getFunctionWrite) getFunctionWrite = nullptr;
    decltype(&smbc_getOptionUserData) getOptionUserData = nullptr;
    decltype(&smbc_init_context) init_context = nullptr;
    decltype(&smbc_new_context) new_context = nullptr;
    decltype(&smbc_setDebug) setDebug = nullptr;
    decltype(&smbc_setFunctionAuthDataWithContext) setFunctionAuthDataWithContext = nullptr;
    decltype(&smbc_setOptionFallbackAfterKerberos) setOptionFallbackAfterKerberos = nullptr;
    decltype(&smbc_setOptionNoAutoAnonymousLogin) setOptionNoAutoAnonymousLogin = nullptr;
    decltype(&smbc_setOptionUseCCache) setOptionUseCCache = nullptr;
    decltype(&smbc_setOptionUseKerberos) setOptionUseKerberos = nullptr;
    decltype(&smbc_setOptionUserData) setOptionUserData = nullptr;
    decltype(&smbc_setTimeout) setTimeout = nullptr;

    // Loads the library and looks up every call once; false (for good) when either fails.
    bool Load() {
        std::call_once(m_Once, [this] {
            void* handle = ::dlopen(SMB_LIBRARY, RTLD_NOW | RTLD_LOCAL);
            if (!handle) return;
            const std::pair<const char*, void**> entries[] = {
                {"smbc_free_context", reinterpret_cast<void**>(&free_context)},
                {"smbc_getFunctionClose", reinterpret_cast<void**>(&getFunctionClose)},
                {"smbc_getFunctionClosedir", reinterpret_cast<void**>(&getFunctionClosedir)},
                {"smbc_getFunctionMkdir", reinterpret_cast<void**>(&getFunctionMkdir)},
                {"smbc_getFunctionOpen", reinterpret_cast<void**>(&getFunctionOpen)},
                {"smbc_getFunctionOpendir", reinterpret_cast<void**>(&getFunctionOpendir)},
                {"smbc_getFunctionRead", reinterpret_cast<void**>(&getFunctionRead)},
                {"smbc_getFunctionReaddir", reinterpret_cast<void**>(&getFunctionReaddir)},
                {"smbc_getFunctionReaddirPlus2", reinterpret_cast<void**>(&getFunctionReaddirPlus2)},
                {"smbc_getFunctionRename", reinterpret_cast<void**>(&getFunctionRename)},
                {"smbc_getFunctionRmdir", reinterpret_cast<void**>(&getFunctionRmdir)},
                {"smbc_getFunctionStat", reinterpret_cast<void**>(&getFunctionStat)},
                {"smbc_getFunctionFstat", reinterpret_cast<void**>(&getFunctionFstat)},
                {"smbc_getFunctionStatVFS", reinterpret_cast<void**>(&getFunctionStatVFS)},
                {"smbc_getFunctionUnlink", reinterpret_cast<void**>(&getFunctionUnlink)},
                {"smbc_getFunctionUtimes", reinterpret_cast<void**>(&getFunctionUtimes)},
                {"smbc_getFunctionWrite", reinterpret_cast<void**>(&getFunctionWrite)},
                {"smbc_getOptionUserData", reinterpret_cast<void**>(&getOptionUserData)},
                {"smbc_init_context", reinterpret_cast<void**>(&init_context)},
                {"smbc_new_context", reinterpret_cast<void**>(&new_context)},
                {"smbc_setDebug", reinterpret_cast<void**>(&setDebug)},
                {"smbc_setFunctionAuthDataWithContext",
                 reinterpret_cast<void**>(&setFunctionAuthDataWithContext)},
                {"smbc_setOptionFallbackAfterKerberos",
                 reinterpret_cast<void**>(&setOptionFallbackAfterKerberos)},
                {"smbc_setOptionNoAutoAnonymousLogin",
                 reinterpret_cast<void**>(&setOptionNoAutoAnonymousLogin)},
                {"smbc_setOptionUseCCache", reinterpret_cast<void**>(&setOptionUseCCache)},
                {"smbc_setOptionUseKerberos", reinterpret_cast<void**>(&setOptionUseKerberos)},
                {"smbc_setOptionUserData", reinterpret_cast<void**>(&setOptionUserData)},
                {"smbc_setTimeout", reinterpret_cast<void**>(&setTimeout)}};
            for (const auto& [name, slot] : entries) {
                *slot = ::dlsym(handle, name);
                if (!*slot) return;  // the handle stays: nothing is unloaded while the program runs
            }
            m_Loaded = true;
        });
        return m_Loaded;
    }

  private:
    std::once_flag m_Once;
    bool m_Loaded = false;
};
TSmbLibrary g_Smb;

// The client library keeps per-call scratch memory in one global stack unless it was built with a
// thread implementation, which this one exports none of: its calls are made one at a time across
// all back-ends, a listing taking the lock per folder so that two sides still take turns.
std::recursive_mutex g_SmbLock;

// The disk shares a server listed for a log-on ("host:port", user and password, one a line), and
// until when they are taken as still so; under g_SmbLock.
struct TServerSeen {
    std::vector<std::string> Shares;
    std::chrono::steady_clock::time_point Until;
};
std::map<std::string, TServerSeen> g_ServersSeen;
constexpr auto SERVER_SEEN_FOR = std::chrono::seconds(10);

// The session with a server for one log-on (host and port, user and password), shared by every
// back-end of that log-on while any of them lives: the scan's, the sync walk's and each of its
// transfers', the final listing's. Their calls are made one at a time anyway (g_SmbLock), and a
// server may serve only a few sessions at once (each a process of its own): one session per side
// and run is all the server sees, the listing of its shares (on a connection of its own, let go
// at once) coming only before it. Under g_SmbLock throughout.
struct TSmbSession {
    std::string User, Password;
    SMBCCTX* Ctx = nullptr;           // made on first use, and again after Renew
    bool Reached = false;             // a connection through it has reached the share
    std::vector<std::string> Shares;  // the server's disk shares, as listed before it was reached
    ~TSmbSession() { Renew(); }
    // Lets the connection go: the next call makes a new one.
    void Renew() {
        if (Ctx) g_Smb.free_context(Ctx, 1);
        Ctx = nullptr;
        Reached = false;
        Shares.clear();
    }
};
std::map<std::string, std::weak_ptr<TSmbSession>> g_Sessions;  // by log-on

class TNetFileOper : public TFileOper, public INetShareBrowser {
  public:
    explicit TNetFileOper(bool FreeOnTerminate) : TFileOper(FreeOnTerminate) {}
    ~TNetFileOper() override {
        Terminate();
        WaitFor();
        std::lock_guard lock(g_SmbLock);
        m_Session.reset();
    }

    int32_t Connect() override;
    int32_t ListFolder() override;
    int32_t ReadFileToStream(TFolderSource& Source, const TFileAttri& Attri, std::string& Stream,
                             int32_t X) override;
    int32_t WriteStreamToFile(const std::string& Stream, TFolderSource& Source, const TFileAttri& Attri,
                              bool ClearReadOnly) override;
    int32_t MakeDir(const std::string& RelPath) override;
    int32_t GetScanSteps() override;
    int32_t LoadSavedTree() override { return LoadSavedTreeThroughStream(); }
    int32_t DeleteFile(TFolderSource& Source, const TFileAttri& Attri, bool Log) override;
    int32_t RemoveDir(TFolderSource& Source, const TFileAttri& Attri, bool Log) override;
    std::string GetBackupFolder() override;
    int64_t GetFileSize(const std::string& FullPath) override;
    int32_t BackupFile(TFolderSource& Source, const TFileAttri& Attri) override;
    std::string ExtractDir(const std::string& Path) override;
    std::string GetFullPath(TFolderSource& Source, const TFileAttri& Attri) override;
    std::string GetFolderPath(TFolderSource&, const TFileAttri&) override { return {}; }
    int32_t PutFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri,
                    int32_t SrcAttr, bool Log) override;
    int32_t RenameFile(const std::string& OldName, const std::string& NewName) override;
    int32_t GetFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri, int32_t X,
                    bool Log) override;
    int32_t CheckFolder() override;
    int32_t GetEntryState(TFolderSource& Source, const TFileAttri& Attri, TEntryState& State) override;
    bool ReplacesByRename() const override { return true; }
    int32_t ReplaceFile(const std::string& OldName, const std::string& NewName) override;

    const std::vector<std::string>& GetShareList() const override { return FShareList; }
    bool ShareSpace(int64_t& Total, int64_t& Free) const {
        std::lock_guard lock(m_SpaceLock);
        Total = m_ShareTotal;
        Free = m_ShareFree;
        return m_HaveSpace;
    }
    std::vector<std::string> GetSubFolders(const std::string& Path) override;

    // The server's disk shares found by the last Connect ("\\host\share").
    std::vector<std::string> FShareList;
    // The share listing Connect opened; closed once it is read.
    SMBCFILE* FEnumHandle = nullptr;

  private:
    // A remote file, closed when it goes out of scope.
    class TRemoteFile {
      public:
        TRemoteFile(SMBCCTX* Ctx, SMBCFILE* File) : m_Ctx(Ctx), m_File(File) {}
        TRemoteFile(const TRemoteFile&) = delete;
        TRemoteFile& operator=(const TRemoteFile&) = delete;
        ~TRemoteFile() { Close(); }
        SMBCFILE* Get() const { return m_File; }
        // False when closing reported an error (a write that never reached the server).
        bool Close() {
            if (!m_File) return true;
            const bool ok = g_Smb.getFunctionClose(m_Ctx)(m_Ctx, m_File) == 0;
            m_File = nullptr;
            return ok;
        }

      private:
        SMBCCTX* m_Ctx;
        SMBCFILE* m_File;
    };
    // A remote folder listing, closed when it goes out of scope.
    class TRemoteDir {
      public:
        TRemoteDir(SMBCCTX* Ctx, SMBCFILE* Dir) : m_Ctx(Ctx), m_Dir(Dir) {}
        TRemoteDir(const TRemoteDir&) = delete;
        TRemoteDir& operator=(const TRemoteDir&) = delete;
        ~TRemoteDir() {
            if (m_Dir) g_Smb.getFunctionClosedir(m_Ctx)(m_Ctx, m_Dir);
        }
        SMBCFILE* Get() const { return m_Dir; }

      private:
        SMBCCTX* m_Ctx;
        SMBCFILE* m_Dir;
    };

    static void AuthData(SMBCCTX* Ctx, const char* Server, const char* Share, char* Workgroup,
                         int WorkgroupLen, char* User, int UserLen, char* Password, int PasswordLen);
    // The context of the session this back-end shares for its side's log-on (TSmbSession), made on
    // first use and kept; null when it could not be made. Call under g_SmbLock.
    SMBCCTX* Context();
    // A new context that logs on as Session tells; null when it could not be made. Under g_SmbLock.
    static SMBCCTX* NewContext(TSmbSession& Session);
    // The log-on of the side: "host:port", user and password, one a line ("" for no usable address).
    std::string Logon() const;
    int ConnectOnce(const TShareAddress& Address, const std::string& ShareRoot, const std::string& Logon);
    // The side's root taken apart; false for an unusable address.
    bool Root(const TFolderSource& Source, TShareAddress& Address) const;
    // The root's own text ("\\host\share\folder", no trailing separator).
    static std::string RootText(const TFolderSource& Source);
    // The URL of a root-relative folder plus an optional name; false when a part is unusable.
    bool UrlOf(const TFolderSource& Source, std::string_view RelPath, std::string_view Name,
               std::string& Url);
    bool EntryUrl(const TFolderSource& Source, const TFileAttri& Attri, std::string& Url) {
        if (IsSafeName(Attri.Name) && !IsShareName(Attri.Name))
            TMyException::Instance().LogError("Refused " + RootText(Source) + Attri.Path.str() + Attri.Name,
                                              "EInOutError",
                                              "a name holding \"\\\" cannot be used on a share");
        return IsShareName(Attri.Name) && UrlOf(Source, Attri.Path.str(), Attri.Name, Url);
    }
    // EntryUrl for an entry that is to be written: also refused, and logged, when the server would
    // show its name, or a folder's on its path, under an alias.
    bool NewEntryUrl(const TFolderSource& Source, const TFileAttri& Attri, std::string& Url) {
        if (!EntryUrl(Source, Attri, Url)) return false;
        if (IsKeptName(Attri.Name) && IsKeptPath(Attri.Path.str())) return true;
        TMyException::Instance().LogError("Refused " + RootText(Source) + Attri.Path.str() + Attri.Name,
                                          "EInOutError", "the share would show this name under another one");
        return false;
    }
    // The URL of a full path as GetFullPath gives it: the root is cut off its front once.
    bool UrlOfFullPath(const std::string& FullPath, std::string& Url);
    // 0, or the errno of the failing look-up.
    int Stat(const std::string& Url, struct stat& St);
    int MakeOneFolder(const std::string& Url);
    // Whether the folder at FolderUrl shows an entry named exactly Name: the server also finds a
    // name by another that differs in case only, or by its short alias. 0 (Found set) or the errno.
    int ListsName(const std::string& FolderUrl, std::string_view Name, bool& Found);
    // Removes the reserved-name files found in a listed folder (Shown: how the log names it). No
    // write of this process is under way meanwhile (every call on a share holds g_SmbLock). The
    // server refuses to remove a file that a session still holds open: a copy still running, or one
    // whose connection was cut and which the server has not yet given up on (it holds the file until
    // its keepalive finds the client gone). Such a file stays, logged, for the next listing.
    void RemoveLeftovers(const std::string& FolderUrl, const std::string& Shown,
                         const std::vector<std::string>& Names);
    // What the log shows for a root-relative folder ("/docs/"): the root text and "\" separators.
    static std::string ShownFolder(const TFolderSource& Source, const std::string& Rel);
    // Reads Folder's entries into Node; SubFolders gets its folders. 0, or the errno that stopped it.
    int ReadFolder(const std::string& FolderUrl, TFileTree& Node, const TSharedString& Path, bool TopLevel,
                   std::vector<TFileTree*>& SubFolders);
    // Writes the open local file In (InStat: its state when opened) to the open remote file Out in
    // chunks of COPY_CHUNK, reporting progress as "Copy:" + Shown. 0, RESULT_SOURCE_CHANGED when In
    // changed meanwhile, -1 when a read or write failed.
    int32_t Upload(int In, const struct stat& InStat, SMBCFILE* Out, const std::string& Shown, bool Log);
    // Copies the remote file at From to the remote URL To (created or replaced in place).
    int32_t CopyRemote(const std::string& From, const std::string& To);
    // Writes Data to a fresh reserved name beside the target URL and renames it over the target.
    int32_t WriteReplacing(const std::string& FolderUrl, const std::string& Target, const std::string& Data);
    void SetDate(const std::string& Url, int32_t FileDate);
    // Gives the remote file the local file's times (the server keeps microseconds); a failure is
    // logged: the file is whole, and what the share then shows is what a sync records.
    bool SetTimes(const std::string& Url, const struct stat& Local, const std::string& Shown);
    void Progress(const std::string& Shown, int64_t Done, int64_t Total);

    // Asks the server for the size and free space of the share holding the root (ShareSpace).
    void ReadShareSpace();

    std::shared_ptr<TSmbSession> m_Session;  // under g_SmbLock
    std::string m_SessionLogon;              // the log-on m_Session serves
    mutable std::mutex m_SpaceLock;          // the listing thread writes the three, the window reads them
    bool m_HaveSpace = false;
    int64_t m_ShareTotal = 0, m_ShareFree = 0;
    // The log-on the server refused (host, port, user, password): never offered again by this
    // back-end, since repeated attempts could lock the account.
    std::string m_RefusedLogon;
    std::string m_ConnectedLogon;                              // the log-on of the last good Connect
    std::chrono::steady_clock::time_point m_ConnectedUntil{};  // see Connect
    bool m_ListingFailed = false;  // the last ConnectOnce failed at the listing of the shares
    bool m_Answered = false;       // the server took connections during the last Connect
    // What this back-end knows of one entry without asking the server: the file its last upload
    // wrote (its size, and its date once dated), then, after it renamed that file, the entry it
    // renamed it to; or the file its last download read, as it stood when the read ended. A sync
    // looks each of them up right after, to confirm what it wrote or that its source held still.
    // Connecting, listing and any operation that writes forget it, and so does the passing of a
    // moment: it never stands in for a look at the entry made later.
    struct TKnownEntry {
        std::string Url;
        int64_t Size = 0;
        int32_t FileDate = 0;
        bool Dated = false;  // FileDate is what the server shows (the dating went through)
        std::chrono::steady_clock::time_point Taken = std::chrono::steady_clock::now();
    };
    TKnownEntry m_Known;
    void Forget() { m_Known.Url.clear(); }
    // Whether Url is the known entry, known a moment ago.
    bool Knows(const std::string& Url) const {
        return !Url.empty() && Url == m_Known.Url &&
               std::chrono::steady_clock::now() - m_Known.Taken < std::chrono::seconds(1);
    }
    // The folder MakeDir made or found last (its address): a sync asks for the folder of every file
    // it writes, mostly the same one many times over. A folder gone since makes the write fail.
    std::string m_KnownFolder;
};

void TNetFileOper::AuthData(SMBCCTX* Ctx, const char*, const char*, char*, int, char* User, int UserLen,
                            char* Password, int PasswordLen) {
    const auto* session = static_cast<const TSmbSession*>(g_Smb.getOptionUserData(Ctx));
    if (!session || UserLen <= 0 || PasswordLen <= 0) return;
    const auto copy = [](const std::string& From, char* To, int Len) {
        const size_t n = std::min(From.size(), static_cast<size_t>(Len - 1));
        std::memcpy(To, From.data(), n);
        To[n] = '\0';
    };
    copy(session->User, User, UserLen);
    copy(session->Password, Password, PasswordLen);
}

std::string TNetFileOper::Logon() const {
    TShareAddress address;
    // A bare server ("\\host") is taken apart as if it named a share.
    if (!Root(*FFolderSource, address) && !ParseShareAddress(RootText(*FFolderSource) + "\\_", address))
        return {};
    return address.Host + ":" + std::to_string(address.Port) + "\n" + FFolderSource->UserName + "\n" +
           FFolderSource->PWD;
}

SMBCCTX* TNetFileOper::Context() {
    std::lock_guard lock(g_SmbLock);
    const std::string logon = Logon();
    if (!m_Session || logon != m_SessionLogon) {
        m_Session.reset();
        std::erase_if(g_Sessions, [](const auto& Entry) { return Entry.second.expired(); });
        std::weak_ptr<TSmbSession>& shared = g_Sessions[logon];
        m_Session = shared.lock();
        if (!m_Session) {
            m_Session = std::make_shared<TSmbSession>();
            m_Session->User = FFolderSource->UserName;
            m_Session->Password = FFolderSource->PWD;
            shared = m_Session;
        }
        m_SessionLogon = logon;
    }
    if (m_Session->Ctx) return m_Session->Ctx;
    if (!g_Smb.Load()) {
        FailureText = std::string("the share client library (") + SMB_LIBRARY + ") could not be loaded";
        return nullptr;
    }
    m_Session->Ctx = NewContext(*m_Session);
    return m_Session->Ctx;
}

SMBCCTX* TNetFileOper::NewContext(TSmbSession& Session) {
    SMBCCTX* ctx = g_Smb.new_context();
    if (!ctx) return nullptr;
    g_Smb.setDebug(ctx, 0);
    g_Smb.setTimeout(ctx, g_TimeoutMs.load());
    g_Smb.setOptionUserData(ctx, &Session);
    g_Smb.setFunctionAuthDataWithContext(ctx, &TNetFileOper::AuthData);
    // Log on with the side's own user and password only: no Kerberos ticket of whoever runs the
    // program, no cached credentials, and no guest log-on when the password is refused.
    g_Smb.setOptionUseKerberos(ctx, 0);
    g_Smb.setOptionFallbackAfterKerberos(ctx, 0);
    g_Smb.setOptionUseCCache(ctx, 0);
    g_Smb.setOptionNoAutoAnonymousLogin(ctx, 1);
    if (!g_Smb.init_context(ctx)) {
        g_Smb.free_context(ctx, 0);
        return nullptr;
    }
    return ctx;
}

std::string TNetFileOper::RootText(const TFolderSource& Source) {
    std::string root = Source.FolerAllName;
    if (!root.empty() && (root.back() == '\\' || root.back() == '/')) root.pop_back();
    return root;
}

bool TNetFileOper::Root(const TFolderSource& Source, TShareAddress& Address) const {
    return ParseShareAddress(RootText(Source), Address);
}

bool TNetFileOper::UrlOf(const TFolderSource& Source, std::string_view RelPath, std::string_view Name,
                         std::string& Url) {
    TShareAddress address;
    std::vector<std::string> names;
    if (!Root(Source, address) || !SplitRelPath(RelPath, names)) return false;
    if (!Name.empty()) names.emplace_back(Name);
    Url = ShareUrl(address, names);
    return true;
}

bool TNetFileOper::UrlOfFullPath(const std::string& FullPath, std::string& Url) {
    const std::string root = RootText(*FFolderSource) + "\\";
    if (FullPath.size() <= root.size() || FullPath.compare(0, root.size(), root) != 0) return false;
    TShareAddress address;
    if (!Root(*FFolderSource, address)) return false;
    std::vector<std::string> names;
    const std::string_view rest = std::string_view(FullPath).substr(root.size());
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(rest.find('\\', start), rest.size());
        const std::string_view name = rest.substr(start, end - start);
        if (!IsShareName(name)) return false;
        names.emplace_back(name);
        if (end == rest.size()) break;
        start = end + 1;
    }
    Url = ShareUrl(address, names);
    return true;
}

int TNetFileOper::Stat(const std::string& Url, struct stat& St) {
    SMBCCTX* ctx = Context();
    if (!ctx) return EIO;
    St = {};
    errno = 0;
    if (g_Smb.getFunctionStat(ctx)(ctx, Url.c_str(), &St) == 0) return 0;
    return errno != 0 ? errno : EIO;
}

// Logs on and reads the server's disk shares, then opens the share itself, so that a refused
// password shows here and not at the first file. A connection that timed out or was reset is made
// again, a few times with growing waits: a busy server answers late, and a run should not fail for
// that. A good Connect is taken as still good for one second for the same log-on (a sync connects
// before every row); after that the share is looked at again on the connection already made. A
// refused log-on is remembered and never offered to the server again by this back-end.
int32_t TNetFileOper::Connect() {
    FailureText.clear();
    Forget();
    TShareAddress address;
    // A bare server ("\\host"), as the folder window connects to it to list its shares, is taken
    // apart as if it named a share, which it then does not.
    const bool usable = Root(*FFolderSource, address);
    const bool serverOnly = !usable && ParseShareAddress(RootText(*FFolderSource) + "\\_", address);
    if (serverOnly) address.Share.clear();
    if (!usable && !serverOnly) {
        FailureText = "share not found";
        return CODE_NO_NETWORK;
    }
    const std::string logon = address.Host + ":" + std::to_string(address.Port) + "\n" +
                              FFolderSource->UserName + "\n" + FFolderSource->PWD;
    if (logon == m_RefusedLogon) {
        FailureText = "log-on refused";
        return CODE_ACCESS_DENIED;
    }
    const auto now = std::chrono::steady_clock::now();
    if (logon == m_ConnectedLogon && now < m_ConnectedUntil) return 0;
    const std::string shareRoot = ShareUrl(TShareAddress{address.Host, address.Port, address.Share, {}});
    if (logon == m_ConnectedLogon && !serverOnly) {
        std::lock_guard smb(g_SmbLock);
        struct stat st {};
        const int err = Stat(shareRoot, st);
        if (err == 0 || err == ENOENT || err == ENOTDIR) {
            m_ConnectedUntil = now + std::chrono::seconds(1);
            return 0;
        }
    }
    m_ConnectedLogon.clear();
    m_ConnectedUntil = {};
    FShareList.clear();
    const auto fail = [&](int Err) {
        FailureText = ShareFailureText(Err, m_Answered);
        if (Err == EACCES || Err == EPERM) {
            m_RefusedLogon = logon;
            return CODE_ACCESS_DENIED;
        }
        return CODE_NO_NETWORK;
    };
    if (!Context()) {
        const std::string why = FailureText;  // the library could not be loaded
        const int32_t code = fail(EIO);
        if (!why.empty()) FailureText = why;
        return code;
    }
    int err = 0;
    m_Answered = false;
    for (size_t attempt = 0;; ++attempt) {
        err = ConnectOnce(address, serverOnly ? std::string() : shareRoot, logon);
        if (err == 0 || !RetriesConnect(err) || attempt == std::size(RETRY_WAITS_MS) || Terminated()) break;
        {
            // The next attempt makes a connection of its own: the library would go on with the
            // one that failed.
            std::lock_guard smb(g_SmbLock);
            if (m_Session) m_Session->Renew();
        }
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(RETRY_WAITS_MS[attempt]);
        while (!Terminated() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!Context()) break;
    }
    // The server's listing of its shares is a service of its own, which a busy server may fail to
    // start in time: a share that answers is still reached (its share list then stays empty).
    if (err != 0 && m_ListingFailed && !serverOnly && err != EACCES && err != EPERM) {
        std::lock_guard smb(g_SmbLock);
        struct stat st {};
        if (Stat(shareRoot, st) == 0) {
            TMyException::Instance().LogError(
                "Cannot list the shares of " + GetServerName(RootText(*FFolderSource)), "EInOutError",
                ShareFailureText(err));
            err = 0;
        }
    }
    if (err != 0) return fail(err);
    m_ConnectedLogon = logon;
    m_ConnectedUntil = now + std::chrono::seconds(1);
    return 0;
}

// One attempt of Connect: the server's disk shares into FShareList, then ShareRoot (unless empty)
// looked at. 0, or the errno of the failure; a missing share is CheckFolder's to report. A server
// whose shares were listed for the same log-on a moment ago is neither probed nor asked for them
// again: the back-ends of one run (its listings, each transfer of its sync) connect within seconds
// of one another, and each such listing costs the server a connection and a service of its own.
int TNetFileOper::ConnectOnce(const TShareAddress& Address, const std::string& ShareRoot,
                              const std::string& Logon) {
    FShareList.clear();
    m_ListingFailed = false;
    const auto now = std::chrono::steady_clock::now();
    bool seen = false, reached = false;
    {
        std::lock_guard smb(g_SmbLock);
        const auto it = g_ServersSeen.find(Logon);
        if (it != g_ServersSeen.end() && now < it->second.Until) {
            FShareList = it->second.Shares;
            seen = true;
        }
        // A session already made lists no shares again: the server keeps one connection for it.
        reached = m_Session && m_SessionLogon == Logon && m_Session->Reached;
        if (reached) FShareList = m_Session->Shares;
    }
    // Probed before the client library is locked: a server that does not answer holds up no other
    // side. Probed once per Connect, and not at all for a session already made: a server that
    // serves few sessions at once counts the probe's connection as one for a moment, and refuses
    // the session that follows it.
    if (!seen && !reached && !m_Answered)
        if (const int err = ProbeServer(Address.Host, Address.Port); err != 0) return err;
    m_Answered = true;
    std::lock_guard smb(g_SmbLock);
    if (!Context()) return EIO;
    if (!seen && !reached) {
        // On a connection of its own, let go before the share is reached: kept, it would hold one
        // more of the server's sessions for as long as the session lives.
        const std::unique_ptr<SMBCCTX, void (*)(SMBCCTX*)> lister(NewContext(*m_Session), [](SMBCCTX* Ctx) {
            if (Ctx) g_Smb.free_context(Ctx, 1);
        });
        SMBCCTX* ctx = lister.get();
        if (!ctx) return EIO;
        TShareAddress server = Address;
        server.Share.clear();
        server.Folder.clear();
        errno = 0;
        FEnumHandle = g_Smb.getFunctionOpendir(ctx)(ctx, ShareUrl(server).c_str());
        m_ListingFailed = !FEnumHandle;
        if (!FEnumHandle) return errno != 0 ? errno : EIO;
        const std::string prefix =
            "\\\\" + Address.Host + (Address.Port != 445 ? ":" + std::to_string(Address.Port) : "") + "\\";
        {
            TRemoteDir shares(ctx, FEnumHandle);
            FEnumHandle = nullptr;
            while (const smbc_dirent* entry = g_Smb.getFunctionReaddir(ctx)(ctx, shares.Get()))
                if (entry->smbc_type == SMBC_FILE_SHARE) FShareList.push_back(prefix + entry->name);
        }
        std::erase_if(g_ServersSeen, [now](const auto& Entry) { return Entry.second.Until <= now; });
        g_ServersSeen[Logon] = {FShareList, now + SERVER_SEEN_FOR};
    }
    int err = 0;
    if (!ShareRoot.empty()) {
        struct stat st {};
        err = Stat(ShareRoot, st);
        if (err == EACCES || err == EPERM) g_ServersSeen.erase(Logon);
        if (err == ENOENT || err == ENOTDIR) err = 0;
    }
    if (err == 0 && !ShareRoot.empty()) {
        m_Session->Reached = true;
        m_Session->Shares = FShareList;
    }
    return err;
}

int32_t TNetFileOper::CheckFolder() {
    std::lock_guard smb(g_SmbLock);
    Forget();
    TShareAddress address;
    if (!Root(*FFolderSource, address)) {
        FailureText = "share not found";
        return 1;
    }
    struct stat st {};
    int err = Stat(ShareUrl(address), st);
    if (err == 0 && S_ISDIR(st.st_mode)) return 0;
    if (err == 0 || err == ENOENT || err == ENOTDIR) {
        // The folder is missing; say so only when the share itself is.
        if (!address.Folder.empty()) {
            address.Folder.clear();
            err = Stat(ShareUrl(address), st);
        }
        FailureText = err == 0 ? "" : (err == EACCES || err == EPERM) ? "log-on refused" : "share not found";
    } else {
        FailureText = (err == EACCES || err == EPERM) ? "log-on refused" : "server not reachable";
    }
    return 1;
}

int32_t TNetFileOper::GetScanSteps() {
    std::lock_guard smb(g_SmbLock);
    std::string url;
    SMBCCTX* ctx = Context();
    if (!ctx || !UrlOf(*FFolderSource, "/", "", url)) return 0;
    TRemoteDir dir(ctx, g_Smb.getFunctionOpendir(ctx)(ctx, url.c_str()));
    if (!dir.Get()) return 0;
    int32_t steps = 1;
    while (const smbc_dirent* entry = g_Smb.getFunctionReaddir(ctx)(ctx, dir.Get())) {
        const std::string_view name = entry->name;
        if (entry->smbc_type == SMBC_DIR && IsShareName(name) && !IsReservedName(name) &&
            name != MARKER_FOLDER)
            ++steps;
    }
    return steps;
}

std::string TNetFileOper::ShownFolder(const TFolderSource& Source, const std::string& Rel) {
    std::string shown = Rel;
    std::replace(shown.begin(), shown.end(), '/', '\\');
    return RootText(Source) + shown;
}

void TNetFileOper::RemoveLeftovers(const std::string& FolderUrl, const std::string& Shown,
                                   const std::vector<std::string>& Names) {
    SMBCCTX* ctx = Context();
    for (const std::string& name : Names) {
        std::string url = FolderUrl;
        AppendEncoded(url, name);
        errno = 0;
        if (g_Smb.getFunctionUnlink(ctx)(ctx, url.c_str()) == 0) continue;
        const int err = errno != 0 ? errno : EIO;
        if (err == ENOENT) continue;  // gone meanwhile
        TMyException::Instance().LogError("Cannot remove leftover " + Shown + name, "EInOutError",
                                          std::system_category().message(err) +
                                              (err == EBUSY ? " (still held open on the server)" : "") +
                                              "; tried again at the next listing");
    }
}

int TNetFileOper::ListsName(const std::string& FolderUrl, std::string_view Name, bool& Found) {
    Found = false;
    SMBCCTX* ctx = Context();
    if (!ctx) return EIO;
    errno = 0;
    TRemoteDir dir(ctx, g_Smb.getFunctionOpendir(ctx)(ctx, FolderUrl.c_str()));
    if (!dir.Get()) return errno != 0 ? errno : EIO;
    for (;;) {
        errno = 0;
        const smbc_dirent* entry = g_Smb.getFunctionReaddir(ctx)(ctx, dir.Get());
        if (!entry) return errno != 0 && errno != ENOENT ? errno : 0;
        if (Name == entry->name) {
            Found = true;
            return 0;
        }
    }
}

int TNetFileOper::ReadFolder(const std::string& FolderUrl, TFileTree& Node, const TSharedString& Path,
                             bool TopLevel, std::vector<TFileTree*>& SubFolders) {
    std::lock_guard smb(g_SmbLock);
    SMBCCTX* ctx = Context();
    if (!ctx) return EIO;
    errno = 0;
    TRemoteDir dir(ctx, g_Smb.getFunctionOpendir(ctx)(ctx, FolderUrl.c_str()));
    if (!dir.Get()) return errno != 0 ? errno : EIO;
    std::vector<std::string> leftovers;
    for (;;) {
        struct stat st {};
        errno = 0;
        const libsmb_file_info* info = g_Smb.getFunctionReaddirPlus2(ctx)(ctx, dir.Get(), &st);
        if (!info) {
            if (errno != 0 && errno != ENOENT) return errno;
            break;
        }
        const std::string_view name = info->name ? info->name : "";
        if (name == "." || name == "..") continue;
        const bool folder = S_ISDIR(st.st_mode);
        const bool reserved = IsReservedName(name);
        if (reserved && (folder || !IsShareName(name))) continue;
        if (reserved && AsideOf(name).empty()) {
            leftovers.emplace_back(name);
            continue;
        }
        if (TopLevel && name == MARKER_FOLDER) continue;
        if (!IsSafeName(name)) continue;
        TFileAttri attri;
        attri.IsFolder = folder ? 1 : 0;
        attri.Name = std::string(name);
        attri.Size = folder ? 0 : static_cast<int64_t>(st.st_size);
        attri.FileDate = UnixTimeToDosDate(static_cast<int64_t>(st.st_mtime));
        int32_t attr = folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        if ((st.st_mode & S_IWUSR) == 0) attr |= FILE_ATTRIBUTE_READONLY;
        if (name.front() == '.') attr |= FILE_ATTRIBUTE_HIDDEN;
        attri.Attr = attr;
        attri.Path = Path;
        if (reserved) {
            NoteAside(Node, std::move(attri));  // a file a replace stepped aside: given back or removed
            continue;
        }
        TFileTree* child = Node.AddChild(std::move(attri));
        // A name holding "\" is listed, so that its rows show it, but it never reaches a path: the
        // operations refuse it, and a folder so named is not entered (unknown, not empty).
        if (folder && IsShareName(name))
            SubFolders.push_back(child);
        else if (folder)
            child->NotListed = true;
    }
    RemoveLeftovers(FolderUrl, ShownFolder(*FFolderSource, Path.str()), leftovers);
    return 0;
}

// Lists the root folder by folder (depth first). A folder that could not be entered, read to its
// end, or reached before a stop is marked NotListed, and so is every folder still waiting.
int32_t TNetFileOper::ListFolder() {
    Forget();
    return ListTree([this] {
        bool complete = true;
        struct TFrame {
            TFileTree* Node;
            std::string Path;  // "/" at the top, "/docs/" below
        };
        std::vector<TFrame> pending{{FFileTree.get(), "/"}};
        while (!pending.empty()) {
            if (Terminated()) {
                for (const TFrame& f : pending) f.Node->NotListed = true;
                complete = false;
                break;
            }
            TFrame frame = std::move(pending.back());
            pending.pop_back();
            std::string url;
            std::vector<TFileTree*> subFolders;
            int err = UrlOf(*FFolderSource, frame.Path, "", url) ? 0 : EINVAL;
            if (err == 0) {
                if (url.back() != '/') url += '/';
                err = ReadFolder(url, *frame.Node, TSharedString(frame.Path), frame.Path == "/", subFolders);
            }
            if (err != 0) {
                LogFailure("Cannot list folder " + ShownFolder(*FFolderSource, frame.Path), err);
                // What was read of it stays, but none of it counts as complete.
                frame.Node->NotListed = true;
                for (TFileTree* folder : subFolders) folder->NotListed = true;
                complete = false;
                continue;
            }
            if (frame.Path == "/") {
                // The top of the marker folder holds the temporary files of backups.
                std::string marker = url;
                AppendEncoded(marker, MARKER_FOLDER);
                std::lock_guard smb(g_SmbLock);
                SMBCCTX* ctx = Context();
                TRemoteDir dir(ctx, g_Smb.getFunctionOpendir(ctx)(ctx, (marker + "/").c_str()));
                std::vector<std::string> leftovers;
                if (dir.Get())
                    while (const smbc_dirent* entry = g_Smb.getFunctionReaddir(ctx)(ctx, dir.Get()))
                        if (entry->smbc_type == SMBC_FILE && IsReservedName(entry->name))
                            leftovers.emplace_back(entry->name);
                RemoveLeftovers(marker + "/",
                                ShownFolder(*FFolderSource, std::string("/") + MARKER_FOLDER + "/"),
                                leftovers);
            }
            if (frame.Path.size() > 1 && frame.Path.find('/', 1) == frame.Path.size() - 1) PostProgress();
            if (frame.Path == "/") PostProgress();
            for (auto it = subFolders.rbegin(); it != subFolders.rend(); ++it)
                pending.push_back({*it, frame.Path + (*it)->Name + "/"});
        }
        if (!Terminated()) ReadShareSpace();
        return complete;
    });
}

void TNetFileOper::ReadShareSpace() {
    TShareAddress address;
    bool have = false;
    int64_t total = 0, free = 0;
    if (Root(*FFolderSource, address)) {
        address.Folder.clear();
        std::string url = ShareUrl(address);
        std::lock_guard smb(g_SmbLock);
        SMBCCTX* ctx = Context();
        struct statvfs info {};
        if (ctx && g_Smb.getFunctionStatVFS(ctx)(ctx, url.data(), &info) == 0) {
            // The library gives the server's units as they come: f_bsize bytes per sector and
            // f_frsize sectors per allocation unit, in which the counts are.
            const auto unit = static_cast<int64_t>(info.f_bsize) *
                              static_cast<int64_t>(std::max<unsigned long>(1, info.f_frsize));
            total = static_cast<int64_t>(info.f_blocks) * unit;
            free = static_cast<int64_t>(info.f_bavail) * unit;
            have = true;
        }
    }
    std::lock_guard lock(m_SpaceLock);
    m_HaveSpace = have;
    m_ShareTotal = total;
    m_ShareFree = free;
}

int32_t TNetFileOper::ReadFileToStream(TFolderSource& Source, const TFileAttri& Attri, std::string& Stream,
                                       int32_t) {
    std::lock_guard smb(g_SmbLock);
    Stream.clear();
    std::string url;
    SMBCCTX* ctx = Context();
    if (!ctx || !EntryUrl(Source, Attri, url)) return 1;
    TRemoteFile file(ctx, g_Smb.getFunctionOpen(ctx)(ctx, url.c_str(), O_RDONLY, 0));
    if (!file.Get()) return 1;
    std::string buffer(static_cast<size_t>(COPY_CHUNK), '\0');
    for (;;) {
        const ssize_t n = g_Smb.getFunctionRead(ctx)(ctx, file.Get(), buffer.data(), buffer.size());
        if (n < 0) {
            Stream.clear();
            return 1;
        }
        if (n == 0) return 0;
        Stream.append(buffer.data(), static_cast<size_t>(n));
    }
}

int32_t TNetFileOper::WriteReplacing(const std::string& FolderUrl, const std::string& Target,
                                     const std::string& Data) {
    SMBCCTX* ctx = Context();
    std::string temp = FolderUrl;
    AppendEncoded(temp, NewReservedName());
    bool written = false;
    {
        TRemoteFile file(ctx,
                         g_Smb.getFunctionOpen(ctx)(ctx, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
        if (!file.Get()) return 1;
        size_t done = 0;
        while (done < Data.size()) {
            const size_t n = std::min(Data.size() - done, static_cast<size_t>(COPY_CHUNK));
            const ssize_t w = g_Smb.getFunctionWrite(ctx)(ctx, file.Get(), Data.data() + done, n);
            if (w <= 0) break;
            done += static_cast<size_t>(w);
        }
        written = done == Data.size() && file.Close();
    }
    if (written && g_Smb.getFunctionRename(ctx)(ctx, temp.c_str(), ctx, Target.c_str()) == 0) return 0;
    g_Smb.getFunctionUnlink(ctx)(ctx, temp.c_str());
    return 1;
}

// Writes the stream under a reserved name beside the target, then renames it over the target: the
// target holds the old text or the new one, never a part.
int32_t TNetFileOper::WriteStreamToFile(const std::string& Stream, TFolderSource& Source,
                                        const TFileAttri& Attri, bool) {
    std::lock_guard smb(g_SmbLock);
    Forget();
    std::string folder, target;
    if (!NewEntryUrl(Source, Attri, target) || !UrlOf(Source, Attri.Path.str(), "", folder)) return 1;
    if (MakeDir(Attri.Path.str()) != 0) return 1;
    struct stat st {};
    const int err = Stat(target, st);
    if (err == 0 && S_ISDIR(st.st_mode)) return 1;  // never replace a folder by a file
    if (err != 0 && err != ENOENT) return 1;
    if (folder.back() != '/') folder += '/';
    const int32_t result = WriteReplacing(folder, target, Stream);
    if (result == 0) SetDate(target, Attri.FileDate);
    return result;
}

int TNetFileOper::MakeOneFolder(const std::string& Url) {
    SMBCCTX* ctx = Context();
    errno = 0;
    if (g_Smb.getFunctionMkdir(ctx)(ctx, Url.c_str(), 0755) == 0) return 0;
    const int err = errno != 0 ? errno : EIO;
    struct stat st {};
    return Stat(Url, st) == 0 && S_ISDIR(st.st_mode) ? 0 : err;
}

// Creates a root-relative folder and its missing parents; never the root itself (a missing root is
// a folder that was removed or renamed, and filling a new one would sync into the wrong place).
int32_t TNetFileOper::MakeDir(const std::string& RelPath) {
    std::lock_guard smb(g_SmbLock);
    TShareAddress address;
    std::vector<std::string> names;
    if (!Root(*FFolderSource, address) || !SplitRelPath(RelPath, names) || !Context()) return 1;
    if (!IsKeptPath(RelPath)) {
        TMyException::Instance().LogError("Refused " + ShownFolder(*FFolderSource, RelPath), "EInOutError",
                                          "the share would show this name under another one");
        return 1;
    }
    std::string url = ShareUrl(address, names);
    if (url == m_KnownFolder) return 0;
    struct stat st {};
    if (Stat(url, st) == 0) {
        if (!S_ISDIR(st.st_mode)) return 1;
        m_KnownFolder = url;
        return 0;
    }
    if (Stat(ShareUrl(address), st) != 0 || !S_ISDIR(st.st_mode)) return 1;
    std::vector<std::string> made;
    for (const std::string& name : names) {
        made.push_back(name);
        if (MakeOneFolder(ShareUrl(address, made)) != 0) return 1;
    }
    m_KnownFolder = url;
    return 0;
}

int32_t TNetFileOper::DeleteFile(TFolderSource& Source, const TFileAttri& Attri, bool Log) {
    std::lock_guard smb(g_SmbLock);
    Forget();
    std::string url;
    SMBCCTX* ctx = Context();
    if (!ctx || !EntryUrl(Source, Attri, url)) return -1;
    const int32_t result = g_Smb.getFunctionUnlink(ctx)(ctx, url.c_str()) == 0 ? 0 : -1;
    if (Log) ReportStatus("Delete:" + GetFullPath(Source, Attri));
    return result;
}

int32_t TNetFileOper::RemoveDir(TFolderSource& Source, const TFileAttri& Attri, bool) {
    std::lock_guard smb(g_SmbLock);
    Forget();
    std::string url;
    SMBCCTX* ctx = Context();
    if (!ctx || !EntryUrl(Source, Attri, url)) return -1;
    m_KnownFolder.clear();
    return g_Smb.getFunctionRmdir(ctx)(ctx, url.c_str()) == 0 ? 0 : -1;
}

std::string TNetFileOper::GetBackupFolder() {
    std::lock_guard smb(g_SmbLock);
    const std::string marker = std::string("/") + MARKER_FOLDER;
    const std::string backup = marker + "/" + BACKUP_FOLDER;
    MakeDir(marker);
    MakeDir(backup);
    return backup;
}

int64_t TNetFileOper::GetFileSize(const std::string& FullPath) {
    std::lock_guard smb(g_SmbLock);
    std::string url;
    struct stat st {};
    if (!UrlOfFullPath(FullPath, url)) return -1;
    if (Knows(url)) return m_Known.Size;  // the file just written
    if (Stat(url, st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

int32_t TNetFileOper::CopyRemote(const std::string& From, const std::string& To) {
    SMBCCTX* ctx = Context();
    TRemoteFile in(ctx, g_Smb.getFunctionOpen(ctx)(ctx, From.c_str(), O_RDONLY, 0));
    if (!in.Get()) return 1;
    TRemoteFile out(ctx, g_Smb.getFunctionOpen(ctx)(ctx, To.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!out.Get()) return 1;
    std::string buffer(static_cast<size_t>(COPY_CHUNK), '\0');
    for (;;) {
        const ssize_t n = g_Smb.getFunctionRead(ctx)(ctx, in.Get(), buffer.data(), buffer.size());
        if (n < 0) return 1;
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = g_Smb.getFunctionWrite(ctx)(ctx, out.Get(), buffer.data() + done,
                                                          static_cast<size_t>(n - done));
            if (w <= 0) return 1;
            done += w;
        }
    }
    return out.Close() ? 0 : 1;
}

// Copies the current file to the backup folder + Path + Name through a reserved name at the top of
// the marker folder, renamed over an older backup once complete; the copy keeps the file's date.
int32_t TNetFileOper::BackupFile(TFolderSource& Source, const TFileAttri& Attri) {
    std::lock_guard smb(g_SmbLock);
    Forget();
    std::string current, marker, backup;
    struct stat st {};
    if (!EntryUrl(Source, Attri, current) || Stat(current, st) != 0 || S_ISDIR(st.st_mode)) return 1;
    const std::string relFolder = GetBackupFolder() + Attri.Path.str();
    if (MakeDir(relFolder) != 0) return 1;
    if (!UrlOf(Source, relFolder, Attri.Name, backup) || !UrlOf(Source, MARKER_FOLDER, "", marker)) return 1;
    std::string temp = marker + "/";
    AppendEncoded(temp, NewReservedName());
    SMBCCTX* ctx = Context();
    if (CopyRemote(current, temp) == 0) {
        struct timeval times[2] = {{st.st_atim.tv_sec, st.st_atim.tv_nsec / 1000},
                                   {st.st_mtim.tv_sec, st.st_mtim.tv_nsec / 1000}};
        g_Smb.getFunctionUtimes(ctx)(ctx, temp.c_str(), times);
        if (g_Smb.getFunctionRename(ctx)(ctx, temp.c_str(), ctx, backup.c_str()) == 0) return 0;
    }
    g_Smb.getFunctionUnlink(ctx)(ctx, temp.c_str());
    return 1;
}

std::string TNetFileOper::ExtractDir(const std::string& Path) {
    const size_t sep = Path.rfind('\\');
    return sep == std::string::npos ? std::string() : Path.substr(0, sep + 1);
}

// "\\host\share\folder\docs\a.txt": the root text, then the entry's path with "\" between names (a
// share name never holds one). Empty for an entry that could not be used.
std::string TNetFileOper::GetFullPath(TFolderSource& Source, const TFileAttri& Attri) {
    std::vector<std::string> names;
    TShareAddress address;
    if (!IsShareName(Attri.Name) || !SplitRelPath(Attri.Path.str(), names) || !Root(Source, address))
        return {};
    std::string path = RootText(Source);
    for (const std::string& name : names) path.append("\\").append(name);
    return path.append("\\").append(Attri.Name);
}

void TNetFileOper::Progress(const std::string& Shown, int64_t Done, int64_t Total) {
    std::string text = "Copy:" + Shown + " : " +
                       FormatPercent(static_cast<double>(Done) / static_cast<double>(Total) * 100) + "%";
    // The last chunk's text is left for whatever reports next; only earlier ones are announced.
    if (Done >= Total)
        SetStatusText(std::move(text));
    else
        ReportStatus(std::move(text));
}

bool TNetFileOper::SetTimes(const std::string& Url, const struct stat& Local, const std::string& Shown) {
    SMBCCTX* ctx = Context();
    struct timeval times[2] = {{Local.st_atim.tv_sec, Local.st_atim.tv_nsec / 1000},
                               {Local.st_mtim.tv_sec, Local.st_mtim.tv_nsec / 1000}};
    errno = 0;
    if (g_Smb.getFunctionUtimes(ctx)(ctx, Url.c_str(), times) == 0) return true;
    LogFailure("Cannot date " + Shown, errno != 0 ? errno : EIO);
    return false;
}

void TNetFileOper::SetDate(const std::string& Url, int32_t FileDate) {
    const int64_t unix = DosDateInstant(FileDate);
    if (unix == -1) return;
    SMBCCTX* ctx = Context();
    struct timeval times[2] = {{static_cast<time_t>(unix), 0}, {static_cast<time_t>(unix), 0}};
    g_Smb.getFunctionUtimes(ctx)(ctx, Url.c_str(), times);
}

int32_t TNetFileOper::Upload(int In, const struct stat& InStat, SMBCFILE* Out, const std::string& Shown,
                             bool Log) {
    SMBCCTX* ctx = Context();
    const int64_t total = static_cast<int64_t>(InStat.st_size);
    std::string buffer(static_cast<size_t>(COPY_CHUNK), '\0');
    int64_t done = 0;
    while (done < total) {
        const ssize_t n =
            ReadFull(In, buffer.data(), static_cast<size_t>(std::min(total - done, COPY_CHUNK)));
        if (n < 0) return -1;
        if (n == 0) return RESULT_SOURCE_CHANGED;  // it shrank meanwhile
        for (ssize_t w = 0; w < n;) {
            const ssize_t k =
                g_Smb.getFunctionWrite(ctx)(ctx, Out, buffer.data() + w, static_cast<size_t>(n - w));
            if (k <= 0) return -1;
            w += k;
        }
        done += n;
        if (Log) Progress(Shown, done, total);
    }
    char extra;
    struct stat now {};
    if (ReadFull(In, &extra, 1) != 0 || ::fstat(In, &now) != 0 || now.st_size != InStat.st_size ||
        now.st_mtim.tv_sec != InStat.st_mtim.tv_sec || now.st_mtim.tv_nsec != InStat.st_mtim.tv_nsec)
        return RESULT_SOURCE_CHANGED;
    return 0;
}

// Writes the local file straight to the entry (callers that must not expose a part pass a
// TempEntryFor entry), then gives it the local file's own times (whose date the entry was listed
// with), not that date rounded to even seconds. A failed copy leaves no file under a name that did
// not exist before.
int32_t TNetFileOper::PutFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri,
                              int32_t, bool Log) {
    std::lock_guard smb(g_SmbLock);
    Forget();
    std::string url;
    SMBCCTX* ctx = Context();
    if (!ctx || !NewEntryUrl(Source, Attri, url)) return -1;
    if (Log) ReportStatus("Copy:" + LocalPath);
    struct stat st {};
    TFd in(OpenForReading(LocalPath, st));
    if (in.Get() < 0) return -1;
    if (DiffersFromListing(st, Attri.Size, Attri.FileDate)) return RESULT_SOURCE_CHANGED;
    if (MakeDir(Attri.Path.str()) != 0) return -1;
    // A reserved name is a fresh temporary entry: made here, or the open fails. Any other entry is
    // looked at first, so that a failed write removes only what it made.
    const bool fresh = IsReservedName(Attri.Name);
    struct stat old {};
    const int err = fresh ? ENOENT : Stat(url, old);
    if (err == 0 && S_ISDIR(old.st_mode)) return -1;
    bool created = false;  // only what this call made is removed when the write fails
    int32_t result = -1;
    {
        TRemoteFile out(ctx, g_Smb.getFunctionOpen(ctx)(
                                 ctx, url.c_str(), O_WRONLY | O_CREAT | (fresh ? O_EXCL : O_TRUNC), 0644));
        if (out.Get()) {
            created = err != 0;
            result = Upload(in.Get(), st, out.Get(), LocalPath, Log);
            if (!out.Close() && result == 0) result = -1;
        }
    }
    if (result != 0) {
        if (created) g_Smb.getFunctionUnlink(ctx)(ctx, url.c_str());
        return result;
    }
    // Every byte was taken by the server (each write answers for what it took): the size is known.
    const bool dated = SetTimes(url, st, GetFullPath(Source, Attri));
    m_Known = {url, static_cast<int64_t>(st.st_size), UnixTimeToDosDate(static_cast<int64_t>(st.st_mtime)),
               dated, std::chrono::steady_clock::now()};
    return 0;
}

// Downloads the entry into a fresh reserved name beside LocalPath and renames it over LocalPath
// only when it came whole, Attri.Size bytes: a failed or short download leaves LocalPath as it was.
// The open file is looked at before and after the read: the bytes are one version only when its
// size and times did not change meanwhile (five requests for a small file).
int32_t TNetFileOper::GetFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri,
                              int32_t, bool Log) {
    std::lock_guard smb(g_SmbLock);
    Forget();
    std::string url;
    SMBCCTX* ctx = Context();
    if (!ctx || !EntryUrl(Source, Attri, url) || LocalPath.empty()) return -1;
    const std::string shown = GetFullPath(Source, Attri);
    if (Log) ReportStatus("Copy:" + shown);

    TDownloadFile download(LocalPath, TEMP_PREFIX, Attri.Size);
    if (!download.Created()) return -1;
    TRemoteFile in(ctx, g_Smb.getFunctionOpen(ctx)(ctx, url.c_str(), O_RDONLY, 0));
    if (!in.Get()) return -1;
    struct stat st {};
    if (g_Smb.getFunctionFstat(ctx)(ctx, in.Get(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    if (DiffersFromListing(st, Attri.Size, Attri.FileDate)) return RESULT_SOURCE_CHANGED;
    // Asked for exactly the listed size: the library then reads no further to find the end, which
    // the look after the read tells.
    std::string buffer(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(Attri.Size, 1), COPY_CHUNK)),
                       '\0');
    int64_t done = 0;
    while (done < Attri.Size) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(Attri.Size - done, COPY_CHUNK));
        const ssize_t n = g_Smb.getFunctionRead(ctx)(ctx, in.Get(), buffer.data(), want);
        if (n < 0) return -1;
        if (n == 0) return RESULT_SOURCE_CHANGED;  // it shrank meanwhile
        if (!download.Write(std::string_view(buffer.data(), static_cast<size_t>(n))))
            return download.Overran() ? RESULT_SOURCE_CHANGED : -1;
        done += n;
        if (Log) Progress(shown, done, Attri.Size);
    }
    // Rewritten meanwhile, even within the same second, is another version: the server's times
    // are finer than a second.
    struct stat after {};
    if (g_Smb.getFunctionFstat(ctx)(ctx, in.Get(), &after) != 0 || after.st_size != st.st_size ||
        after.st_mtim.tv_sec != st.st_mtim.tv_sec || after.st_mtim.tv_nsec != st.st_mtim.tv_nsec)
        return RESULT_SOURCE_CHANGED;
    in.Close();
    // Made as a plain copy makes a file, dated as exactly as the server dates the entry.
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (!download.Commit(times)) return -1;
    m_Known = {url, static_cast<int64_t>(after.st_size),
               UnixTimeToDosDate(static_cast<int64_t>(after.st_mtime)), true,
               std::chrono::steady_clock::now()};
    return 0;
}

// Moves OldName to NewName, never over an existing NewName: the server's rename replaces a target,
// so the target is looked up first.
int32_t TNetFileOper::RenameFile(const std::string& OldName, const std::string& NewName) {
    std::lock_guard smb(g_SmbLock);
    std::string from, to;
    SMBCCTX* ctx = Context();
    if (!ctx || !UrlOfFullPath(OldName, from) || !UrlOfFullPath(NewName, to) ||
        !IsKeptName(NewName.substr(NewName.rfind('\\') + 1)))
        return 1;
    const bool wrote = Knows(from);
    TKnownEntry known = std::move(m_Known);
    Forget();
    // The look-up also finds a name that differs in case only, or an alias: the server's rename
    // would replace what it found.
    struct stat st {};
    if (Stat(to, st) != ENOENT) return 1;
    if (g_Smb.getFunctionRename(ctx)(ctx, from.c_str(), ctx, to.c_str()) != 0) return 1;
    // Nothing held the name or any like it: the entry is now the file just written, under exactly
    // this name.
    if (wrote && known.Dated) {
        known.Url = to;
        m_Known = std::move(known);
    }
    return 0;
}

// Replaces only the entry of exactly that name: the server would also find, and replace, one whose
// name differs in case only. The client library's rename onto an existing file removes that file
// first and then renames, which a cut connection in between would end with neither under the
// name (and the new one under a temporary name that the next listing removes). So the old file
// steps aside first (AsideName, which a listing gives back its name when the run ends before it
// is deleted), the new one takes the name, and only then is the old one deleted; when the new one
// cannot take the name, the old one goes back.
int32_t TNetFileOper::ReplaceFile(const std::string& OldName, const std::string& NewName) {
    std::lock_guard smb(g_SmbLock);
    std::string from, to;
    SMBCCTX* ctx = Context();
    const std::string name = NewName.substr(NewName.rfind('\\') + 1);
    if (!ctx || !UrlOfFullPath(OldName, from) || !UrlOfFullPath(NewName, to) || !IsKeptName(name)) return 1;
    struct stat st {};
    const int err = Stat(to, st);
    if ((err == 0 && S_ISDIR(st.st_mode)) || (err != 0 && err != ENOENT)) return 1;
    const std::string folder = to.substr(0, to.rfind('/') + 1);
    bool exact = false;
    if (err == 0 && (ListsName(folder, name, exact) != 0 || !exact)) return 1;
    const bool wrote = Knows(from);
    TKnownEntry known = std::move(m_Known);
    Forget();
    const auto rename = [&](const std::string& From, const std::string& To) {
        return g_Smb.getFunctionRename(ctx)(ctx, From.c_str(), ctx, To.c_str()) == 0;
    };
    std::string aside;
    if (err == 0) {
        std::string asideName = AsideName(name);
        if (asideName.empty()) asideName = NewReservedName();
        aside = folder;
        AppendEncoded(aside, asideName);
        if (!rename(to, aside)) return 1;
    }
    if (!rename(from, to)) {
        if (!aside.empty() && !rename(aside, to))
            TMyException::Instance().LogError("Cannot give back " + NewName, "EInOutError",
                                              "the old file stays aside; the next listing gives it back");
        return 1;
    }
    // A leftover aside is removed by a later listing, the name being taken.
    if (!aside.empty()) g_Smb.getFunctionUnlink(ctx)(ctx, aside.c_str());
    // The entry of exactly this name (or none) was replaced: it is now the file just written.
    if (wrote && known.Dated) {
        known.Url = to;
        m_Known = std::move(known);
    }
    return 0;
}

// The server looks a name up without regard to case, and by short aliases too: what it finds is
// taken for the entry only when its folder lists exactly the asked name (a listing of the folder
// for each entry found).
int32_t TNetFileOper::GetEntryState(TFolderSource& Source, const TFileAttri& Attri, TEntryState& State) {
    std::lock_guard smb(g_SmbLock);
    State = TEntryState{};
    std::string url;
    if (!EntryUrl(Source, Attri, url)) return 1;
    if (Knows(url) && m_Known.Dated) {
        State.Exists = true;
        State.Size = m_Known.Size;
        State.FileDate = m_Known.FileDate;
        Forget();
        return 0;
    }
    struct stat st {};
    const int err = Stat(url, st);
    if (err != 0) {
        if (err != ENOENT && err != ENOTDIR) return 1;
        // Absent only where the root is there: a root that is gone tells nothing.
        TShareAddress address;
        struct stat rootStat {};
        return Root(Source, address) && Stat(ShareUrl(address), rootStat) == 0 && S_ISDIR(rootStat.st_mode)
                   ? 0
                   : 1;
    }
    // Found, but perhaps under another name: only the entry of exactly this name counts.
    std::string folder;
    bool exact = false;
    if (!UrlOf(Source, Attri.Path.str(), "", folder)) return 1;
    if (folder.back() != '/') folder += '/';
    if (ListsName(folder, Attri.Name, exact) != 0) return 1;
    if (!exact) return 0;
    State.Exists = true;
    if (S_ISDIR(st.st_mode)) {
        State.IsFolder = true;
    } else {
        State.Size = static_cast<int64_t>(st.st_size);
        State.FileDate = UnixTimeToDosDate(static_cast<int64_t>(st.st_mtime));
    }
    return 0;
}

std::vector<std::string> TNetFileOper::GetSubFolders(const std::string& Path) {
    std::lock_guard smb(g_SmbLock);
    std::vector<std::string> folders;
    try {
        std::string base = Path;
        if (!base.empty() && base.back() == '\\') base.pop_back();
        TShareAddress address;
        SMBCCTX* ctx = Context();
        int err = EINVAL;
        if (ctx && ParseShareAddress(base, address)) {
            errno = 0;
            TRemoteDir dir(ctx, g_Smb.getFunctionOpendir(ctx)(ctx, ShareUrl(address).c_str()));
            err = dir.Get() ? 0 : (errno != 0 ? errno : EIO);
            if (dir.Get())
                while (const smbc_dirent* entry = g_Smb.getFunctionReaddir(ctx)(ctx, dir.Get()))
                    if (entry->smbc_type == SMBC_DIR && IsShareName(entry->name))
                        folders.push_back(base + "\\" + entry->name);
        }
        if (err != 0)
            folders.assign(
                1, "Can not open folder:" + Path + ",Return Code\xEF\xBC\x9A" + std::to_string(CodeOf(err)));
    } catch (const std::exception& e) {
        LogError("", e);
    }
    return folders;
}

}  // namespace

std::unique_ptr<TFileOper> CreateNetFileOper(bool FreeOnTerminate) {
    return std::make_unique<TNetFileOper>(FreeOnTerminate);
}

INetShareBrowser* AsNetShareBrowser(TFileOper& Oper) {
    return dynamic_cast<INetShareBrowser*>(&Oper);
}

bool GetShareSpace(const TFileOper& Oper, int64_t& TotalBytes, int64_t& FreeBytes) {
    TotalBytes = FreeBytes = 0;
    const auto* share = dynamic_cast<const TNetFileOper*>(&Oper);
    return share && share->ShareSpace(TotalBytes, FreeBytes);
}

std::string ShareFailureText(int Err, bool Answered) {
    if (Err == EACCES || Err == EPERM) return "log-on refused";
    std::string why;
    switch (Err) {
        case ETIMEDOUT:
            why = "timed out";
            break;
        case ECONNRESET:
        case ENETRESET:
        case ECONNABORTED:
        case EPIPE:
            // A server that takes connections and drops this one has answered: it refused the session.
            if (Answered) return "session refused by the server: connection reset";
            why = "connection reset";
            break;
        case ECONNREFUSED:
            why = "connection refused";
            break;
        case ENXIO:
            why = "host not found";
            break;
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EHOSTDOWN:
            why = "no route to host";
            break;
        case ENOENT:
        case ENODEV:
            why = "not found";
            break;
        default:
            why = std::system_category().message(Err);
            break;
    }
    return "server not reachable: " + why;
}

bool RetriesConnect(int Err) {
    return Err == ETIMEDOUT || Err == ECONNRESET || Err == ENETRESET || Err == ECONNABORTED || Err == EPIPE ||
           Err == EAGAIN;
}

void SetShareTimeout(int Milliseconds) {
    g_TimeoutMs = std::max(1, Milliseconds);
}

std::string GetServerName(std::string_view Path) {
    if (Path.size() < 2 || Path.substr(0, 2) != "\\\\") return std::string(Path);
    const std::string_view rest = Path.substr(2);
    const size_t sep = rest.find('\\');
    if (sep == std::string_view::npos) return std::string(Path);
    return "\\\\" + std::string(rest.substr(0, sep));
}

std::string NormalizeUNC(std::string_view Path) {
    std::string path = Trim(Path);
    if (!path.empty() && path.back() == '\\') path.pop_back();
    if (path.compare(0, 2, "\\\\") != 0) path.insert(0, "\\\\");
    return path;
}

bool ParseShareAddress(std::string_view Address, TShareAddress& Out) {
    Out = TShareAddress{};
    if (Address.size() < 3 || Address.substr(0, 2) != "\\\\") return false;
    std::vector<std::string> parts;
    std::string_view rest = Address.substr(2);
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(rest.find_first_of("\\/", start), rest.size());
        parts.emplace_back(rest.substr(start, end - start));
        if (end == rest.size()) break;
        start = end + 1;
    }
    if (parts.size() < 2) return false;
    std::string host = parts[0];
    const size_t colon = host.find(':');
    if (colon != std::string::npos) {
        const std::string port = host.substr(colon + 1);
        host.resize(colon);
        if (port.empty() || port.size() > 5 ||
            !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        Out.Port = std::stoi(port);
        if (Out.Port < 1 || Out.Port > 65535) return false;
    }
    if (host.empty() || !std::all_of(host.begin(), host.end(),
                                     [](char c) { return IsHostChar(static_cast<unsigned char>(c)); }))
        return false;
    Out.Host = host;
    for (size_t i = 1; i < parts.size(); ++i)
        if (!IsShareName(parts[i])) return false;
    Out.Share = parts[1];
    Out.Folder.assign(parts.begin() + 2, parts.end());
    return true;
}

std::string ShareUrl(const TShareAddress& Address, const std::vector<std::string>& Names) {
    std::string url = "smb://" + Address.Host;
    if (Address.Port != 445) url += ":" + std::to_string(Address.Port);
    url += '/';
    if (Address.Share.empty()) return url;
    AppendEncoded(url, Address.Share);
    for (const auto* list : {&Address.Folder, &Names})
        for (const std::string& name : *list) {
            url += '/';
            AppendEncoded(url, name);
        }
    return url;
}

}  // namespace bfs
