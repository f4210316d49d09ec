#include "storage/UTFtpFileOper.h"

#include "model/UTConsts.h"
#include "model/UTDosTime.h"
#include "model/UTFolderForm.h"
#include "model/UTListOrder.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "platform/UTLocalFile.h"
#include "storage/UTHttpSession.h"
#include "storage/UTStorageCommon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

namespace {

constexpr std::string_view FTP_SCHEME = "ftp://";
// Local temporary files of downloads: reserved names, so that no listing shows them and the next
// listing of a local side removes what a failed download left.
constexpr std::string_view LOCAL_TEMP_PREFIX = ".~bfs.g.";
static_assert(IsTempFilePrefix(LOCAL_TEMP_PREFIX));
// THttpResult::Error of a listing that came but cannot be read whole (a line that is no entry, a
// reply over the size limit): the folder's listing is incomplete.
constexpr int LISTING_INCOMPLETE = HTTP_STATUS_FAILED + 1;
// Progress steps of a listing: one per level, at most this many.
constexpr int32_t SCAN_STEPS = 20;
// A listing reads this many folders at once, each on a connection of its own (the back-end's own
// and up to three more, logged on only while folders wait for them): most of a folder's time is
// the round trips of its commands and its data connection.
constexpr size_t LIST_CONNECTIONS = 4;
// The longest wait for a server's reply around a transfer: as long as a data connection may stand
// still (SetLowSpeedLimit below and libcurl's averaging).
constexpr long TRANSFER_REPLY_TIMEOUT_S = 15;
// The most entries the back-end keeps of folders it looked at between rows.
constexpr size_t KNOWN_ENTRIES_MOST = 200000;
// How long what the connection learnt of a server folder is trusted (see TKnownFolder).
constexpr std::chrono::seconds KNOWN_FOR{2};

// Bytes that would end or cut an FTP command line. A name or path holding one is refused before
// anything is sent.
bool HoldsLineBreak(std::string_view Text) {
    return Text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// A name this back-end sends to a server: a safe name without "\" (which servers on some systems
// take for a separator, so it could reach another folder) and without line breaks.
bool FtpNameUsable(std::string_view Name) {
    return IsSafeName(Name) && Name.find('\\') == std::string_view::npos && !HoldsLineBreak(Name);
}
bool FtpRelPathUsable(std::string_view Path) {
    return IsSafeRelPath(Path) && Path.find('\\') == std::string_view::npos && !HoldsLineBreak(Path);
}

// The instant of a valid UTC date and time.
int64_t UtcInstant(int Year, int Month, int Day, int Hour, int Minute, int Second) {
    std::tm t{Second, Minute, Hour, Day, Month - 1, Year - 1900, 0, 0, 0, 0, nullptr};
    return static_cast<int64_t>(::timegm(&t));
}

bool AllDigits(std::string_view Text) {
    return !Text.empty() &&
           std::all_of(Text.begin(), Text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int MonthNumber(std::string_view Text) {
    static constexpr std::string_view MONTHS[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                  "jul", "aug", "sep", "oct", "nov", "dec"};
    if (Text.size() != 3) return 0;
    std::string lower(Text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (int i = 0; i < 12; ++i)
        if (lower == MONTHS[i]) return i + 1;
    return 0;
}

// Whether a server may take Name for another: servers on some systems drop blanks at either end of
// a name, and dots at its end, so that "a " names "a".
bool ServersMayAlter(std::string_view Name) {
    return !Name.empty() && (Name.front() == ' ' || Name.back() == ' ' || Name.back() == '.');
}

// The server's greeting without its reply code: "220 Welcome" gives " Welcome".
std::string GreetingText(std::string_view Line) {
    return Line.size() > 3 ? std::string(Line.substr(3)) : std::string();
}

class TFtpFileOper : public TFileOper, public IFtpBrowser {
  public:
    explicit TFtpFileOper(bool FreeOnTerminate) : TFileOper(FreeOnTerminate) {
        m_Session.SetConnectTimeout(15000);
        // A server may think for a minute before it answers a command (a large file deleted or
        // renamed); a data connection that stops moving is given up far sooner, some 15 s after its
        // last byte (libcurl averages the speed over five seconds): a cut one never delivers again,
        // and a slow one still moves a byte a second. The replies around a transfer are waited for
        // no longer than that (TRANSFER_REPLY_TIMEOUT_S): a server that never saw its data
        // connection end answers never.
        m_Session.SetReadTimeout(60000);
        m_Session.SetLowSpeedLimit(1, 10);
    }
    // The listing thread calls our overrides until it ends: end it before this part goes.
    ~TFtpFileOper() override {
        Stop();
        WaitFor();
    }

    int32_t Connect() override;
    int32_t ListFolder() override;
    int32_t ReadFileToStream(TFolderSource& Source, const TFileAttri& Attri, std::string& Stream,
                             int32_t X) override;
    int32_t WriteStreamToFile(const std::string& Stream, TFolderSource& Source, const TFileAttri& Attri,
                              bool ClearReadOnly) override;
    int32_t MakeDir(const std::string& RelPath) override;
    int32_t GetScanSteps() override { return SCAN_STEPS; }
    int32_t LoadSavedTree() override { return LoadSavedTreeThroughStream(); }
    int32_t DeleteFile(TFolderSource& Source, const TFileAttri& Attri, bool Log) override;
    int32_t RemoveDir(TFolderSource& Source, const TFileAttri& Attri, bool Log) override;
    std::string GetBackupFolder() override;
    int64_t GetFileSize(const std::string& FullPath) override;
    int32_t BackupFile(TFolderSource& Source, const TFileAttri& Attri) override;
    std::string ExtractDir(const std::string& Path) override {
        const size_t slash = Path.rfind('/');
        return slash == std::string::npos ? std::string() : Path.substr(0, slash + 1);
    }
    std::string GetFullPath(TFolderSource& Source, const TFileAttri& Attri) override;
    std::string GetFolderPath(TFolderSource&, const TFileAttri&) override { return {}; }
    int32_t PutFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri,
                    int32_t SrcAttr, bool Log) override;
    int32_t RenameFile(const std::string& OldName, const std::string& NewName) override;
    bool ReplacesByRename() const override { return true; }
    int32_t ReplaceFile(const std::string& OldName, const std::string& NewName) override;
    int32_t GetFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri, int32_t X,
                    bool Log) override;
    int32_t CheckFolder() override;
    int32_t GetEntryState(TFolderSource& Source, const TFileAttri& Attri, TEntryState& State) override;

    std::vector<TFileAttri> ListSubfolders(const std::string& Path) override;
    bool LastListRead() const override { return m_LastListRead; }
    int32_t SameServer(const TFolderSource& Other) override;
    void ParseUrl() override;

  protected:
    void CloseConnection() override {
        m_Connected = false;
        m_Session.Abort();
        const std::lock_guard lock(m_ListSessionsLock);
        for (THttpSession* session : m_ListSessions) session->Abort();
    }

  private:
    // Runs a request on Session. A log-on the server refuses on the back-end's own connection (made
    // again after a drop) becomes the reason a failing row gives (FailureText).
    THttpResult Perform(THttpSession& Session, const THttpRequest& Request, const THttpSink& Sink) {
        THttpResult result = Session.Perform(Request, Sink);
        if (result.Error == SESSION_LOGIN_DENIED && &Session == &m_Session) FailureText = "log-on refused";
        return result;
    }
    // Enters a server folder (ending in "/"): 0 done, -2 refused, -1 not connected.
    int32_t ChangeDir(const std::string& Folder);
    // Lists a server folder (ending in "/") into Entries, whole or not at all: MLSD, or LIST once
    // the server has refused MLSD as unknown (500, 502). Entries of a classic listing dated by day
    // and year only keep that date (TakeExactTimes gives them their time).
    THttpResult ListServerFolder(const std::string& Folder, std::vector<TFtpListEntry>& Entries) {
        return ListServerFolder(m_Session, Folder, Entries);
    }
    THttpResult ListServerFolder(THttpSession& Session, const std::string& Folder,
                                 std::vector<TFtpListEntry>& Entries);
    // Asks the server (MDTM, all in one request) for the exact times of the files among Entries
    // that a classic listing of Folder dated by day and year only. A time the server will not tell
    // leaves that entry's date; a failed request is returned, and the listing is then not whole.
    THttpResult TakeExactTimes(THttpSession& Session, const std::string& Folder,
                               const std::vector<TFtpListEntry*>& Entries);
    // Lists one folder of the tree into its node on Session; its sub-folders go to SubFolders.
    // Fresh: Session has not read a folder yet; a failure to get in at all is then handed back (the
    // server may allow fewer connections than the listing opens).
    // Runs on one of the listing's threads.
    TFolderRead ReadFolder(THttpSession& Session, bool Fresh, const TPendingFolder& Item,
                           std::vector<TPendingFolder>& SubFolders);
    // A reader of the listing on a connection of its own (ListFoldersInParallel); runs on its thread.
    TFolderReader MakeListReader();
    // Downloads Folder + Name into Into, which ends the transfer at its first byte past the listed
    // size. With After, the server is asked right after the transfer for the file's size and time
    // (MLST, or SIZE and MDTM), on the same connection: true in Told when After holds them.
    bool DownloadFile(const std::string& Folder, const std::string& Name, TDownloadFile& Into,
                      TFtpListEntry* After = nullptr, bool* Told = nullptr);
    // The commands that ask for the size and time of the file Path, each allowed to fail, and the
    // entry their replies (Replies, all of the request's in order) tell; false when they tell none.
    std::vector<std::string> FactCommands(const std::string& Path) const;
    bool FactsFromReplies(const std::vector<std::string>& Replies, const std::string& Name,
                          TFtpListEntry& Entry);
    // Asks the server for the one entry Folder + Name (MLST, or SIZE and MDTM: a file's only);
    // false when it tells nothing (absent, a folder without MLST, or no such commands).
    bool AskEntry(const std::string& Folder, const std::string& Name, TFtpListEntry& Entry);
    // Uploads what Source gives (Size bytes) as Folder + Name.
    bool UploadFile(const std::string& Folder, const std::string& Name, const THttpSource& Source,
                    int64_t Size);
    // Uploads under a fresh reserved name in Folder, then gives it Name (RenameOver). Nothing is left
    // behind on a failure.
    bool UploadReplacing(const std::string& Folder, const std::string& Name, const THttpSource& Source,
                         int64_t Size);
    // Renames the server path From to To, replacing a file there (ReplaceFile's contract): true
    // done; false failed, both files then as they were.
    bool RenameOver(const std::string& From, const std::string& To);
    // Looks Name up in the server folder, by its exact name: 0 found (Found filled; with Dated, a
    // file listed by day and year only is given its exact time), 1 not there, -1 when the folder
    // could not be listed or nothing is connected. What this connection already knows of the
    // folder answers first (m_Known); then the entry alone is asked for, and only then is the
    // folder listed (and kept).
    int32_t LookUp(const std::string& Folder, const std::string& Name, TFtpListEntry& Found, bool Dated);
    // Forgets what is known of the server folder (ending in "/"), or of the folder of a server path.
    void Forget(const std::string& Folder) { m_Known.erase(Folder); }
    void ForgetFolderOf(std::string_view Path) {
        while (!Path.empty() && Path.back() == '/') Path.remove_suffix(1);
        Forget(std::string(Path.substr(0, Path.rfind('/') + 1)));
    }
    // Forgets what a command sent on the back-end's own connection may change.
    void ForgetWrittenBy(std::string_view Command);
    // Whether the server folder (ending in "/") is known to be absent: a parent lists without it,
    // or with a file of its name. False when it is there or cannot be told.
    bool FolderAbsent(const std::string& Folder);
    int32_t RemoveRemoteDir(const std::string& Path);
    // A file that a replace stepped aside and never deleted (AsideName, or an earlier version's form
    // where the caller knows no user's file is meant) takes its name back when nothing among Entries
    // of Folder holds it: true when it did (Aside then carries the name).
    bool GiveNameBack(THttpSession& Session, const std::string& Folder,
                      const std::vector<TFtpListEntry>& Entries, TFtpListEntry& Aside);
    // Runs FTP commands (absolute paths, refused when holding a line break) on the connection.
    THttpResult Command(std::vector<std::string> Commands, std::vector<std::string>* Replies = nullptr) {
        return Command(m_Session, std::move(Commands), Replies);
    }
    THttpResult Command(THttpSession& Session, std::vector<std::string> Commands,
                        std::vector<std::string>* Replies = nullptr);
    // Downloads the entry into a temporary file beside LocalPath, renamed over it only when whole
    // and of the listed size. ExpectedSize < 0: whatever size the listing now gives.
    int32_t Fetch(const std::string& LocalPath, const TFileAttri& Attri, int64_t ExpectedSize,
                  bool CheckDate);
    void RemoveMarkerLeftovers();

    THttpRequest Request(std::string Url) const {
        THttpRequest r;
        r.Url = std::move(Url);
        r.Protocols = "ftp";
        r.UserName = FUser;
        r.Password = FPassword;
        return r;
    }
    // The address of a server folder (ending in "/"), absolute on the server ("%2F").
    std::string FolderUrl(const std::string& Folder) const {
        return FHostPrefix + "/%2F" + (Folder == "/" ? std::string("/") : EncodePath(Folder.substr(1)));
    }
    std::string FileUrl(const std::string& Folder, const std::string& Name) const {
        return FolderUrl(Folder) + EncodePath(Name);
    }
    // The server folder of a root-relative folder path ("/" or "/docs/", trailing "/" optional).
    std::string ServerFolder(std::string_view Rel) const {
        std::string folder = FRootPath + "/";
        while (!Rel.empty() && Rel.front() == '/') Rel.remove_prefix(1);
        folder.append(Rel);
        if (folder.back() != '/') folder += '/';
        return folder;
    }
    // The server path of a full path as GetFullPath gives it; empty when it is not on this server
    // or cannot be sent.
    std::string ServerPathOf(const std::string& FullPath) const {
        if (FHostPrefix.empty() || !FullPath.starts_with(FHostPrefix + "/")) return {};
        std::string path = FullPath.substr(FHostPrefix.size());
        if (!FtpRelPathUsable(path)) return {};
        return path;
    }
    // Checks an entry before anything is sent; a name only this back-end refuses is logged, so the
    // row's failure has a reason.
    bool EntryUsable(const TFileAttri& Attri) const {
        if (FtpNameUsable(Attri.Name) && FtpRelPathUsable(Attri.Path.str())) return true;
        if (IsSafeName(Attri.Name) && IsSafeRelPath(Attri.Path.str()))
            TMyException::Instance().LogError("Not sent to the FTP server: " + Attri.Path.str() + Attri.Name,
                                              "EInOutError", "the name holds \\ or a line break");
        return false;
    }

    THttpSession m_Session;
    std::atomic<bool> m_Connected{false};
    // Whether the last ListSubfolders read its folder.
    bool m_LastListRead = false;
    std::atomic<bool> m_UseList{false};  // the server knows no MLSD
    std::string m_KnownFolder;           // the server folder MakeDir made or found last
    std::atomic<bool> m_NoMlst{false};   // the server knows no MLST
    // What the back-end's own connection knows of server folders between rows: a folder's whole
    // listing, and entries it asked for one by one (MLST, SIZE and MDTM, as a download ends). While
    // a run goes on only this connection writes there, and each of its writes forgets the folder it
    // touches; a new connection or a new listing of the side forgets everything. Others may write
    // there too, so what is known is trusted only for a moment (KNOWN_FOR): it spares the rows of one
    // folder that follow each other a listing each, and never stands in for a look made later.
    using TClock = std::chrono::steady_clock;
    struct TKnownEntry {
        TFtpListEntry Entry;
        TClock::time_point Taken;
    };
    struct TKnownFolder {
        bool Listed = false;
        TClock::time_point Taken;                 // when listed
        std::vector<TFtpListEntry> Entries;       // the listing, when Listed
        std::map<std::string, TKnownEntry> Told;  // by name, newer than the listing
    };
    std::map<std::string, TKnownFolder> m_Known;  // by server folder ("/a/")
    size_t m_KnownEntries = 0;                    // entries held, to bound the memory it takes
    std::string FHost;                            // host[:port]
    std::string FUser;
    std::string FPassword;
    std::string FRootPath;    // server path of the root: "" or "/data"
    std::string FHostPrefix;  // "ftp://" + FHost
    // The connections of the listing's further workers, aborted by CloseConnection with the
    // back-end's own.
    std::mutex m_ListSessionsLock;
    std::vector<THttpSession*> m_ListSessions;  // guarded by m_ListSessionsLock
};

// The side's address is read in its normal form but never written back: the task's windows read
// that same object while a scan or a sync connects on its own thread.
void TFtpFileOper::ParseUrl() {
    const std::string address = NormalizeUrl(FFolderSource->FolerAllName);
    FHostPrefix = HostPrefix(address);
    FRootPath = RootPath(address);
    FHost = HostOf(address);
}

int32_t TFtpFileOper::Connect() {
    if (m_Connected) return 0;
    FailureText.clear();
    if (FFolderSource->DeviceType != DEVICE_FTP) return -2;
    ParseUrl();
    FUser = FFolderSource->UserName;
    FPassword = FFolderSource->PWD;
    if (FHost.empty()) {
        FailureText = "no server named in the address";
        return -1;
    }
    if (HoldsLineBreak(FRootPath) || HoldsLineBreak(FUser) || HoldsLineBreak(FPassword)) {
        FailureText = "server not reachable";
        return -1;
    }
    m_Session.ResetAbort();
    if (Terminated()) m_Session.Abort();  // a Stop that came before this line still ends the connect
    m_KnownFolder.clear();
    m_Known.clear();
    m_KnownEntries = 0;
    // The greeting is the first reply on the connection itself.
    std::string greeting;
    THttpRequest r = Request(FHostPrefix + "/");
    r.NoBody = true;
    r.OnReply = [&greeting](std::string_view Line) {
        if (greeting.empty() && Line.starts_with("220")) greeting = GreetingText(Line);
    };
    const THttpResult result = m_Session.Perform(r, {});
    if (!result.Ok()) {
        FailureText = result.Error == SESSION_LOGIN_DENIED ? "log-on refused" : "server not reachable";
        return result.Error;
    }
    if (!greeting.empty())
        InfoText = "FTP:" + greeting;
    else if (InfoText.empty())
        InfoText = "ftp://" + FHost;
    m_Connected = true;
    return 0;
}

int32_t TFtpFileOper::CheckFolder() {
    if (!m_Connected) {
        if (FailureText.empty()) FailureText = "server not reachable";
        return 1;
    }
    if (ChangeDir(FRootPath + "/") == 0) return 0;
    FailureText = "folder not found";
    return 1;
}

int32_t TFtpFileOper::ChangeDir(const std::string& Folder) {
    if (!m_Connected) return -1;
    if (HoldsLineBreak(Folder)) return -2;
    THttpRequest r = Request(FolderUrl(Folder));
    r.NoBody = true;
    return Perform(m_Session, r, {}).Ok() ? 0 : -2;
}

THttpResult TFtpFileOper::Command(THttpSession& Session, std::vector<std::string> Commands,
                                  std::vector<std::string>* Replies) {
    THttpResult refused;
    refused.Error = SESSION_NOT_SENT;
    refused.ErrorText = "not sent: a line break in a command";
    for (const std::string& c : Commands)
        if (HoldsLineBreak(c)) return refused;
    if (&Session == &m_Session)
        for (const std::string& c : Commands) ForgetWrittenBy(c);
    THttpRequest r = Request(FHostPrefix + "/");
    r.NoBody = true;
    r.Commands = std::move(Commands);
    if (Replies) r.OnReply = [Replies](std::string_view Line) { Replies->emplace_back(Line); };
    return Perform(Session, r, {});
}

THttpResult TFtpFileOper::ListServerFolder(THttpSession& Session, const std::string& Folder,
                                           std::vector<TFtpListEntry>& Entries) {
    for (;;) {
        Entries.clear();
        THttpRequest r = Request(FolderUrl(Folder));
        // "-a": servers that hide names beginning with "." show them then.
        const bool useList = m_UseList;
        r.Method = useList ? "LIST -a" : "MLSD";
        TFtpListingReader reader(useList, std::time(nullptr));
        THttpResult result =
            Perform(Session, r, [&reader](std::string_view Data) { return reader.Feed(Data); });
        if (!result.Ok() && !reader.TooLong) {
            if (!useList && (result.Status == 500 || result.Status == 502)) {
                m_UseList = true;
                continue;
            }
            return result;
        }
        reader.Finish();
        if (reader.TooLong || reader.Unreadable) {
            result.Error = LISTING_INCOMPLETE;
            result.ErrorText = reader.Problem();
            return result;
        }
        Entries = std::move(reader.Entries);
        return result;
    }
}

int32_t TFtpFileOper::ListFolder() {
    return ListTree([this] {
        if (!m_Connected) {
            FFileTree->NotListed = true;  // unknown, not empty
            return false;
        }
        m_Known.clear();  // a new listing: nothing from before it is trusted
        m_KnownEntries = 0;
        RemoveMarkerLeftovers();
        return ListFoldersInParallel(
            {FRootPath + "/", FFileTree.get(), TSharedString("/")}, LIST_CONNECTIONS, SCAN_STEPS,
            [this](const TPendingFolder& Item, std::vector<TPendingFolder>& SubFolders) {
                return ReadFolder(m_Session, false, Item, SubFolders);
            },
            [this] { return MakeListReader(); }, [this] { return Terminated() || !m_Connected; },
            [this] { PostProgress(); });
    });
}

TFolderReader TFtpFileOper::MakeListReader() {
    // The session is registered before its first request, so that a Stop from now on aborts it.
    struct TListSession {
        TFtpFileOper& Owner;
        THttpSession Session;
        bool Fresh = true;
        explicit TListSession(TFtpFileOper& Oper) : Owner(Oper) {
            Session.SetConnectTimeout(15000);
            Session.SetReadTimeout(60000);
            Session.SetLowSpeedLimit(1, 10);
            const std::lock_guard lock(Owner.m_ListSessionsLock);
            Owner.m_ListSessions.push_back(&Session);
        }
        ~TListSession() {
            const std::lock_guard lock(Owner.m_ListSessionsLock);
            std::erase(Owner.m_ListSessions, &Session);
        }
    };
    auto list = std::make_shared<TListSession>(*this);
    if (Terminated() || !m_Connected) list->Session.Abort();
    return [this, list](const TPendingFolder& Item, std::vector<TPendingFolder>& SubFolders) {
        const TFolderRead result = ReadFolder(list->Session, list->Fresh, Item, SubFolders);
        if (result != TFolderRead::HandBack) list->Fresh = false;
        return result;
    };
}

TFolderRead TFtpFileOper::ReadFolder(THttpSession& Session, bool Fresh, const TPendingFolder& Item,
                                     std::vector<TPendingFolder>& SubFolders) {
    std::vector<TFtpListEntry> entries;
    THttpResult result = ListServerFolder(Session, Item.Folder, entries);
    if (result.Ok()) {
        std::vector<TFtpListEntry*> yearOnly;
        for (TFtpListEntry& e : entries)
            if (e.YearOnly && e.Kind == TFtpListEntry::TKind::File) yearOnly.push_back(&e);
        result = TakeExactTimes(Session, Item.Folder, yearOnly);
    }
    if (result.Error == LISTING_INCOMPLETE) {
        TMyException::Instance().LogError("Cannot list folder " + FHostPrefix + Item.Folder, "EInOutError",
                                          result.ErrorText);
        NotListedBecause(*Item.Node, result.ErrorText);
        return TFolderRead::Refused;
    }
    if (!result.Ok()) {
        // A connection that never got in (no answer, "421 too many connections", a refused log-on)
        // leaves the folder to the others; a refusal of the folder itself is the folder's.
        if (Fresh && result.Error != SESSION_ABORTED && !Terminated() &&
            (result.Error == SESSION_LOGIN_DENIED || result.Status < 500))
            return TFolderRead::HandBack;
        TMyException::Instance().LogError("Cannot list folder " + FHostPrefix + Item.Folder, "EInOutError",
                                          result.ErrorText);
        if (!Terminated()) NotListedBecause(*Item.Node, result.ErrorText);
        // A refusal concerns this folder; anything else (a lost connection, a stop) all the rest.
        return result.Status >= 400 && result.Error != SESSION_ABORTED ? TFolderRead::Refused
                                                                       : TFolderRead::GiveUp;
    }
    const bool top = Item.Node == FFileTree.get();
    std::vector<std::string> leftovers;
    for (TFtpListEntry& e : entries) {
        const bool folder = e.Kind == TFtpListEntry::TKind::Folder;
        if (IsReservedName(e.Name) && (folder || !GiveNameBack(Session, Item.Folder, entries, e))) {
            if (!folder) leftovers.push_back(Item.Folder + e.Name);
            continue;
        }
        if (top && e.Name == MARKER_FOLDER) continue;
        TFileAttri attri;
        attri.IsFolder = folder ? 1 : 0;
        attri.Name = e.Name;
        attri.Size = folder ? 0 : e.Size;
        attri.FileDate = e.FileDate;
        attri.Attr = (folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE) |
                     (e.Name[0] == '.' ? FILE_ATTRIBUTE_HIDDEN : 0);
        attri.Path = Item.Rel;
        TFileTree* child = Item.Node->AddChild(std::move(attri));
        if (folder)
            SubFolders.push_back(
                {Item.Folder + e.Name + "/", child, TSharedString(Item.Rel.str() + e.Name + "/")});
    }
    // What a failed writer left; this program's own files, never the user's.
    for (const std::string& leftover : leftovers) Command(Session, {"DELE " + leftover});
    return TFolderRead::Read;
}

void TFtpFileOper::RemoveMarkerLeftovers() {
    std::vector<TFtpListEntry> entries;
    const std::string marker = FRootPath + "/" + MARKER_FOLDER + "/";
    if (!ListServerFolder(marker, entries).Ok()) return;
    for (TFtpListEntry& e : entries) {
        if (e.Kind != TFtpListEntry::TKind::File) continue;
        if (IsReservedName(e.Name)) {
            if (!GiveNameBack(m_Session, marker, entries, e)) Command({"DELE " + marker + e.Name});
        } else if (!LegacyAsideOf(e.Name).empty()) {
            // A saved state an earlier version stepped aside: this folder holds no user's file, but
            // such a file is never removed, only given its name back when that is free.
            GiveNameBack(m_Session, marker, entries, e);
        }
    }
}

bool TFtpFileOper::GiveNameBack(THttpSession& Session, const std::string& Folder,
                                const std::vector<TFtpListEntry>& Entries, TFtpListEntry& Aside) {
    const std::string original(IsReservedName(Aside.Name) ? AsideOf(Aside.Name) : LegacyAsideOf(Aside.Name));
    if (original.empty() || !FtpNameUsable(original) || IsReservedName(original) ||
        std::any_of(Entries.begin(), Entries.end(),
                    [&](const TFtpListEntry& e) { return e.Name == original; }) ||
        !Command(Session, {"RNFR " + Folder + Aside.Name, "RNTO " + Folder + original}).Ok())
        return false;
    Aside.Name = original;
    return true;
}

THttpResult TFtpFileOper::TakeExactTimes(THttpSession& Session, const std::string& Folder,
                                         const std::vector<TFtpListEntry*>& Entries) {
    std::vector<TFtpListEntry*> asked;
    std::vector<std::string> commands;
    for (TFtpListEntry* e : Entries)
        if (!HoldsLineBreak(Folder + e->Name)) {
            asked.push_back(e);
            // "*": a refusal (a file gone meanwhile, a server without MDTM) ends nothing. The path
            // begins with "/", so no server reads it as a time to set.
            commands.push_back("*MDTM " + Folder + e->Name);
        }
    if (commands.empty()) return {};
    std::vector<std::string> replies;
    const THttpResult result = Command(Session, std::move(commands), &replies);
    if (!result.Ok()) return result;
    // Each command gets one final reply ("ddd text"), in order: a time (213) or a refusal (4xx, 5xx).
    // Around them come only the log-on of a new connection and the return to its first folder,
    // whose replies are neither, as any refusal there would have failed the request.
    std::vector<std::string_view> answers;
    for (const std::string& line : replies)
        if (line.size() >= 4 && line[3] == ' ' && AllDigits(std::string_view(line).substr(0, 3)) &&
            (line.starts_with("213") || line[0] == '4' || line[0] == '5'))
            answers.push_back(line);
    if (answers.size() != asked.size()) return result;  // not to be matched up: the dates stay
    for (size_t i = 0; i < asked.size(); ++i) TakeMdtmTime(answers[i], *asked[i]);
    return result;
}

int32_t TFtpFileOper::LookUp(const std::string& Folder, const std::string& Name, TFtpListEntry& Found,
                             bool Dated) {
    Found = TFtpListEntry{};
    if (!m_Connected) return -1;
    const auto fresh = [now = TClock::now()](TClock::time_point Taken) { return now - Taken < KNOWN_FOR; };
    if (const auto known = m_Known.find(Folder); known != m_Known.end()) {
        if (const auto told = known->second.Told.find(Name);
            told != known->second.Told.end() && fresh(told->second.Taken)) {
            Found = told->second.Entry;
            return 0;
        }
        if (known->second.Listed && !fresh(known->second.Taken)) {
            m_KnownEntries -= std::min(m_KnownEntries, known->second.Entries.size());
            known->second.Listed = false;
            known->second.Entries.clear();
        }
    }
    if (!m_Known[Folder].Listed) {
        TFtpListEntry one;
        if (AskEntry(Folder, Name, one)) {
            Found = one;
            m_Known[Folder].Told[Name] = {std::move(one), TClock::now()};
            ++m_KnownEntries;
            return 0;
        }
        std::vector<TFtpListEntry> entries;
        if (!ListServerFolder(Folder, entries).Ok()) {
            Forget(Folder);
            return -1;
        }
        // Bounded: past some hundred thousand entries the oldest knowledge goes, all of it.
        if (m_KnownEntries + entries.size() > KNOWN_ENTRIES_MOST) {
            m_Known.clear();
            m_KnownEntries = 0;
        }
        m_KnownEntries += entries.size();
        TKnownFolder& known = m_Known[Folder];
        known.Listed = true;
        known.Taken = TClock::now();
        known.Entries = std::move(entries);
    }
    for (TFtpListEntry& e : m_Known[Folder].Entries)
        if (e.Name == Name) {
            // Asked once; the answer stays with the kept listing.
            if (Dated && e.YearOnly && e.Kind == TFtpListEntry::TKind::File &&
                !TakeExactTimes(m_Session, Folder, {&e}).Ok())
                return -1;
            Found = e;
            return 0;
        }
    return 1;
}

std::vector<std::string> TFtpFileOper::FactCommands(const std::string& Path) const {
    if (HoldsLineBreak(Path)) return {};
    if (!m_UseList && !m_NoMlst) return {"*MLST " + Path};
    return {"*SIZE " + Path, "*MDTM " + Path};
}

bool TFtpFileOper::FactsFromReplies(const std::vector<std::string>& Replies, const std::string& Name,
                                    TFtpListEntry& Entry) {
    Entry = TFtpListEntry{};
    // The final lines of the replies ("ddd text"): the fact commands' come last.
    std::vector<std::string_view> finals;
    for (const std::string& line : Replies)
        if (line.size() >= 4 && line[3] == ' ' && AllDigits(std::string_view(line).substr(0, 3)))
            finals.push_back(line);
    if (!m_UseList && !m_NoMlst) {
        if (finals.empty()) return false;
        if (finals.back().starts_with("500") || finals.back().starts_with("502")) {
            m_NoMlst = true;
            return false;
        }
        if (!finals.back().starts_with("250")) return false;
        // The entry's line of the reply: a blank, then facts and the path.
        for (auto it = Replies.rbegin(); it != Replies.rend(); ++it) {
            if (it->empty() || it->front() != ' ') continue;
            // The path in the reply is the one the server found: it ends in exactly the name asked.
            if (!ParseMlsdLine(std::string_view(*it).substr(1), Entry) ||
                Entry.Kind == TFtpListEntry::TKind::Skip ||
                !(Entry.Name == Name || Entry.Name.ends_with("/" + Name)))
                return false;
            Entry.Name = Name;
            return true;
        }
        return false;
    }
    if (finals.size() < 2 || !finals[finals.size() - 2].starts_with("213 ") ||
        !ParseNumber(finals[finals.size() - 2].substr(4), Entry.Size) || !TakeMdtmTime(finals.back(), Entry))
        return false;
    Entry.Kind = TFtpListEntry::TKind::File;
    Entry.Name = Name;
    return true;
}

bool TFtpFileOper::AskEntry(const std::string& Folder, const std::string& Name, TFtpListEntry& Entry) {
    // A name the server may take for another is looked for in the listing, under exactly its name.
    if (ServersMayAlter(Name)) return false;
    std::vector<std::string> commands = FactCommands(Folder + Name);
    if (commands.empty()) return false;
    const bool mlst = commands.front().starts_with("*MLST");
    if (!mlst) commands.insert(commands.begin(), "TYPE I");  // sizes as the bytes a download gives
    std::vector<std::string> replies;
    if (!Command(std::move(commands), &replies).Ok()) return false;
    return FactsFromReplies(replies, Name, Entry);
}

void TFtpFileOper::ForgetWrittenBy(std::string_view Command) {
    if (Command.starts_with('*')) Command.remove_prefix(1);
    const size_t space = Command.find(' ');
    if (space == std::string_view::npos) return;
    const std::string_view verb = Command.substr(0, space), path = Command.substr(space + 1);
    if (verb == "DELE" || verb == "RNFR" || verb == "RNTO" || verb == "STOR") {
        ForgetFolderOf(path);
    } else if (verb == "MKD" || verb == "RMD") {
        ForgetFolderOf(path);
        Forget(std::string(path) + (path.ends_with('/') ? "" : "/"));
    }
}

bool TFtpFileOper::FolderAbsent(const std::string& Folder) {
    if (Folder.size() <= FRootPath.size() + 1) return false;  // the root: a failure tells nothing
    const std::string inner = Folder.substr(0, Folder.size() - 1);
    const size_t slash = inner.rfind('/');
    const std::string parent = inner.substr(0, slash + 1), name = inner.substr(slash + 1);
    TFtpListEntry entry;
    const int32_t found = LookUp(parent, name, entry, false);
    if (found == 1 || (found == 0 && entry.Kind != TFtpListEntry::TKind::Folder)) return true;
    return found == -1 && FolderAbsent(parent);
}

// The entry counts as there only when the server lists it under exactly its name, in folders of
// exactly their names: a folder of the path that a server could take for another is looked up in
// its parent first (an entry in "x " is not one in "x").
int32_t TFtpFileOper::GetEntryState(TFolderSource&, const TFileAttri& Attri, TEntryState& State) {
    State = TEntryState{};
    if (!EntryUsable(Attri) || !m_Connected) return 1;
    const std::string& rel = Attri.Path.str();
    for (size_t start = 1, end = 0; (end = rel.find('/', start)) != std::string::npos; start = end + 1) {
        const std::string name = rel.substr(start, end - start);
        if (!ServersMayAlter(name)) continue;
        const std::string parent = ServerFolder(rel.substr(0, start));
        TFtpListEntry folder;
        const int32_t found = LookUp(parent, name, folder, false);
        if (found == 1 || (found == 0 && folder.Kind != TFtpListEntry::TKind::Folder)) return 0;
        if (found == -1) return FolderAbsent(parent) ? 0 : 1;
    }
    const std::string folder = ServerFolder(rel);
    TFtpListEntry entry;
    const int32_t found = LookUp(folder, Attri.Name, entry, true);
    if (found == 0) {
        State.Exists = true;
        State.IsFolder = entry.Kind == TFtpListEntry::TKind::Folder;
        State.Size = State.IsFolder ? 0 : entry.Size;
        State.FileDate = entry.FileDate;
    }
    if (found >= 0) return 0;
    return FolderAbsent(folder) ? 0 : 1;
}

bool TFtpFileOper::DownloadFile(const std::string& Folder, const std::string& Name, TDownloadFile& Into,
                                TFtpListEntry* After, bool* Told) {
    if (Told) *Told = false;
    THttpRequest r = Request(FileUrl(Folder, Name));
    r.ReplyTimeoutSeconds = TRANSFER_REPLY_TIMEOUT_S;
    r.NoSizeAsked = After != nullptr;  // the size is asked after the transfer
    std::vector<std::string> replies;
    if (After) {
        r.AfterCommands = FactCommands(Folder + Name);
        r.OnReply = [&replies](std::string_view Line) { replies.emplace_back(Line); };
    }
    const THttpResult result =
        Perform(m_Session, r, [&Into](std::string_view Data) { return Into.Write(Data); });
    if (!result.Ok()) return false;
    if (After && !r.AfterCommands.empty()) *Told = FactsFromReplies(replies, Name, *After);
    return true;
}

bool TFtpFileOper::UploadFile(const std::string& Folder, const std::string& Name, const THttpSource& Source,
                              int64_t Size) {
    Forget(Folder);
    THttpRequest r = Request(FileUrl(Folder, Name));
    r.Source = Source;
    r.UploadSize = Size;
    // A server that never saw the data connection end (cut on the way) never answers: given up
    // as soon as a data connection that stops moving is.
    r.ReplyTimeoutSeconds = TRANSFER_REPLY_TIMEOUT_S;
    return Perform(m_Session, r, {}).Ok();
}

bool TFtpFileOper::UploadReplacing(const std::string& Folder, const std::string& Name,
                                   const THttpSource& Source, int64_t Size) {
    const std::string temp = NewReservedName();
    if (UploadFile(Folder, temp, Source, Size) && RenameOver(Folder + temp, Folder + Name)) return true;
    Command({"DELE " + Folder + temp});
    return false;
}

// Most servers rename over a file. One that will not sees the old file step aside to a reserved
// name in its folder while From takes its name, and only then is the old one deleted; when From
// cannot take the name, the old file goes back. At no moment is the only copy of either deleted.
bool TFtpFileOper::RenameOver(const std::string& From, const std::string& To) {
    if (Command({"RNFR " + From, "RNTO " + To}).Ok()) return true;
    const size_t slash = To.rfind('/');
    const std::string folder = To.substr(0, slash + 1);
    // Only a file steps aside: a folder moved to a reserved name would vanish from every listing.
    TFtpListEntry target;
    if (LookUp(folder, To.substr(slash + 1), target, false) != 0 || target.Kind != TFtpListEntry::TKind::File)
        return false;
    // Under AsideName, so that a run ending right here leaves the file for the next listing to give
    // back its name.
    std::string asideName = AsideName(To.substr(slash + 1));
    if (asideName.empty()) asideName = NewReservedName();
    const std::string aside = folder + asideName;
    if (!Command({"RNFR " + To, "RNTO " + aside}).Ok()) return false;
    if (Command({"RNFR " + From, "RNTO " + To}).Ok()) {
        Command({"DELE " + aside});  // should that fail, the next listing removes the leftover
        return true;
    }
    // A second try runs on a new connection when the first one was lost.
    const std::vector<std::string> back = {"RNFR " + aside, "RNTO " + To};
    if (!Command(back).Ok() && !Command(back).Ok())
        TMyException::Instance().LogError("Cannot put the old file back: " + FHostPrefix + To, "EInOutError",
                                          "it is kept as " + aside + " until a listing gives it its name");
    return false;
}

int32_t TFtpFileOper::ReadFileToStream(TFolderSource&, const TFileAttri& Attri, std::string& Stream,
                                       int32_t) {
    Stream.clear();
    if (!EntryUsable(Attri) || !m_Connected) return 1;
    THttpRequest r = Request(FileUrl(ServerFolder(Attri.Path.str()), Attri.Name));
    r.ReplyTimeoutSeconds = TRANSFER_REPLY_TIMEOUT_S;
    const THttpResult result = Perform(m_Session, r, [&](std::string_view D) {
        Stream.append(D);
        return true;
    });
    if (result.Ok()) return 0;
    Stream.clear();
    return 1;
}

int32_t TFtpFileOper::WriteStreamToFile(const std::string& Stream, TFolderSource&, const TFileAttri& Attri,
                                        bool) {
    if (!EntryUsable(Attri) || !m_Connected) return 1;
    if (MakeDir(Attri.Path.str()) != 0) return 1;
    size_t offset = 0;
    const THttpSource source = [&](char* Buffer, size_t Size) -> int64_t {
        const size_t n = std::min(Size, Stream.size() - offset);
        std::memcpy(Buffer, Stream.data() + offset, n);
        offset += n;
        return static_cast<int64_t>(n);
    };
    return UploadReplacing(ServerFolder(Attri.Path.str()), Attri.Name, source,
                           static_cast<int64_t>(Stream.size()))
               ? 0
               : 1;
}

// Creates the folder and its missing parents below the root (never the root itself), in one
// request: each MKD may fail (a parent that exists), and the final entering tells the result.
int32_t TFtpFileOper::MakeDir(const std::string& RelPath) {
    if (!FtpRelPathUsable(RelPath)) return 1;
    if (!m_Connected) return -1;
    const std::string folder = ServerFolder(RelPath);
    if (folder == m_KnownFolder) return 0;
    m_Known.clear();  // folders are made: what their parents list changes
    m_KnownEntries = 0;
    THttpRequest r = Request(FolderUrl(folder));
    r.NoBody = true;
    for (size_t slash = FRootPath.size() + 1; (slash = folder.find('/', slash)) != std::string::npos; ++slash)
        r.Commands.push_back("*MKD " + folder.substr(0, slash));
    if (!Perform(m_Session, r, {}).Ok()) return 1;
    m_KnownFolder = folder;
    return 0;
}

int32_t TFtpFileOper::DeleteFile(TFolderSource& Source, const TFileAttri& Attri, bool Log) {
    if (!EntryUsable(Attri)) return -1;
    if (Log) ReportStatus("Delete:" + GetFullPath(Source, Attri));
    if (!m_Connected) return -1;
    return Command({"DELE " + ServerFolder(Attri.Path.str()) + Attri.Name}).Ok() ? 0 : -1;
}

int32_t TFtpFileOper::RemoveRemoteDir(const std::string& Path) {
    if (!m_Connected) return -1;
    m_KnownFolder.clear();
    return Command({"RMD " + Path}).Ok() ? 0 : -3;
}

int32_t TFtpFileOper::RemoveDir(TFolderSource&, const TFileAttri& Attri, bool) {
    if (!EntryUsable(Attri)) return -1;
    return RemoveRemoteDir(ServerFolder(Attri.Path.str()) + Attri.Name);
}

std::string TFtpFileOper::GetBackupFolder() {
    const std::string marker = std::string("/") + MARKER_FOLDER;
    const std::string backup = marker + "/" + BACKUP_FOLDER;
    MakeDir(backup);
    return backup;
}

int64_t TFtpFileOper::GetFileSize(const std::string& FullPath) {
    if (!m_Connected) return -1;
    const std::string path = ServerPathOf(FullPath);
    if (path.empty()) return -1;
    std::vector<std::string> replies;
    if (!Command({"TYPE I", "SIZE " + path}, &replies).Ok()) return -1;
    int64_t size = -1;
    for (const std::string& line : replies)
        if (line.starts_with("213 ") && ParseNumber(std::string_view(line).substr(4), size)) return size;
    return -1;
}

int32_t TFtpFileOper::Fetch(const std::string& LocalPath, const TFileAttri& Attri, int64_t ExpectedSize,
                            bool CheckDate) {
    const std::string folder = ServerFolder(Attri.Path.str());
    // The file is read first and looked at right after, on the same connection: what it is then is
    // what was read, unless it changed while it was read (which its size or time then tell).
    TFtpListEntry now;
    bool told = false;
    // A name the server may take for another must be listed under exactly that name first, and so
    // must a file whose size no listing gave: the download is held to the size listed.
    const bool exact = !ServersMayAlter(Attri.Name);
    if (!exact || ExpectedSize < 0) {
        Forget(folder);
        if (LookUp(folder, Attri.Name, now, CheckDate) != 0 || now.Kind != TFtpListEntry::TKind::File)
            return -1;
        if (ExpectedSize < 0) ExpectedSize = now.Size;
    }
    TDownloadFile download(LocalPath, LOCAL_TEMP_PREFIX, ExpectedSize);
    if (!download.Created()) return -1;
    if (!DownloadFile(folder, Attri.Name, download, exact ? &now : nullptr, &told))
        return download.Overran() ? RESULT_SOURCE_CHANGED : -1;
    if (!exact) {
        // As listed just before.
    } else if (told) {
        m_Known[folder].Told[Attri.Name] = {now, TClock::now()};
        ++m_KnownEntries;
    } else {
        Forget(folder);  // a server that tells nothing of one file: a listing made now
        if (LookUp(folder, Attri.Name, now, CheckDate) != 0) return -1;
    }
    if (now.Kind != TFtpListEntry::TKind::File) return -1;
    const int64_t dated = DosDateInstant(Attri.FileDate);
    if (now.Size != ExpectedSize || !download.Whole() ||
        (CheckDate && dated != -1 && now.FileDate != Attri.FileDate))
        return RESULT_SOURCE_CHANGED;
    // The server's own time, as exactly as its listing tells it (a classic one: to the minute).
    const int64_t when = now.Time >= 0 ? now.Time : DosDateInstant(now.FileDate);
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(when), now.Nanos}};
    return download.Commit(CheckDate && when != -1 ? times : nullptr) ? 0 : -1;
}

int32_t TFtpFileOper::GetFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri,
                              int32_t, bool Log) {
    if (!EntryUsable(Attri) || !m_Connected) return -1;
    if (Log) ReportStatus("Copy:" + GetFullPath(Source, Attri));
    return Fetch(LocalPath, Attri, Attri.Size, true);
}

int32_t TFtpFileOper::PutFile(const std::string& LocalPath, TFolderSource&, const TFileAttri& Attri, int32_t,
                              bool Log) {
    if (!EntryUsable(Attri) || !m_Connected) return -1;
    if (Log) ReportStatus("Copy:" + LocalPath);
    struct stat before {};
    const TFd fd(OpenForReading(LocalPath, before));
    if (fd.Get() < 0) return -1;
    if (DiffersFromListing(before, Attri.Size, Attri.FileDate)) return RESULT_SOURCE_CHANGED;
    if (MakeDir(Attri.Path.str()) != 0) return -1;

    const std::string folder = ServerFolder(Attri.Path.str());
    int64_t sent = 0;
    const THttpSource source = [&](char* Buffer, size_t Size) -> int64_t {
        const auto want =
            static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(Size), Attri.Size - sent));
        const ssize_t n = want == 0 ? 0 : ReadFull(fd.Get(), Buffer, want);
        if (n < 0) return -1;
        sent += n;
        return n;
    };
    const bool uploaded = UploadFile(folder, Attri.Name, source, Attri.Size);
    const bool sourceChanged =
        ChangedSince(fd.Get(), before, Attri.Size, Attri.FileDate) || sent != Attri.Size;
    if (uploaded && !sourceChanged) return 0;
    // Half a file, or one that is not the listed source: nothing stays under the entry's name.
    Command({"DELE " + folder + Attri.Name});
    return uploaded ? RESULT_SOURCE_CHANGED : -1;
}

int32_t TFtpFileOper::BackupFile(TFolderSource&, const TFileAttri& Attri) {
    if (!EntryUsable(Attri) || !m_Connected) return 1;
    const std::string staging = GetStagingFolder();
    if (staging.empty()) return 1;
    // The current file comes down first; when that fails nothing is uploaded.
    const std::string local = staging + NewReservedName();
    if (Fetch(local, Attri, -1, false) != 0) {
        ::unlink(local.c_str());
        return 1;
    }
    struct stat st {};
    const TFd fd(OpenForReading(local, st));
    ::unlink(local.c_str());
    if (fd.Get() < 0) return 1;
    const std::string rel = GetBackupFolder() + Attri.Path.str();
    if (MakeDir(rel) != 0) return 1;
    const THttpSource source = [&fd](char* Buffer, size_t Size) -> int64_t {
        return ReadFull(fd.Get(), Buffer, Size);
    };
    return UploadReplacing(ServerFolder(rel), Attri.Name, source, static_cast<int64_t>(st.st_size)) ? 0 : 1;
}

std::string TFtpFileOper::GetFullPath(TFolderSource& Source, const TFileAttri& Attri) {
    std::string path = HostPrefix(Source.FolerAllName) + RootPath(Source.FolerAllName);
    path += Attri.Path.str().empty() || Attri.Path.str().front() != '/' ? "/" + Attri.Path.str()
                                                                        : Attri.Path.str();
    if (path.back() != '/') path += '/';
    return path + Attri.Name;
}

// Renames within the server, never over an existing name: the new name is looked up first.
int32_t TFtpFileOper::RenameFile(const std::string& OldName, const std::string& NewName) {
    if (!m_Connected) return 1;
    const std::string from = ServerPathOf(OldName), to = ServerPathOf(NewName);
    if (from.empty() || to.empty()) return 1;
    const size_t slash = to.rfind('/');
    const std::string folder = to.substr(0, slash + 1), name = to.substr(slash + 1);
    TFtpListEntry there;
    if (LookUp(folder, name, there, false) != 1) return 1;
    // A server that drops blanks at either end of a name would rename onto the file named without
    // them, which a rename must never replace: such a name is refused while that file exists.
    const std::string bare = Trim(name);
    if (bare != name && !bare.empty() && LookUp(folder, bare, there, false) != 1) return 1;
    return Command({"RNFR " + from, "RNTO " + to}).Ok() ? 0 : 1;
}

int32_t TFtpFileOper::ReplaceFile(const std::string& OldName, const std::string& NewName) {
    if (!m_Connected) return 1;
    const std::string from = ServerPathOf(OldName), to = ServerPathOf(NewName);
    if (from.empty() || to.empty() || from == to) return 1;
    return RenameOver(from, to) ? 0 : 1;
}

std::vector<TFileAttri> TFtpFileOper::ListSubfolders(const std::string& Path) {
    std::vector<TFileAttri> folders;
    std::string folder = Path;
    if (folder.starts_with(FTP_SCHEME)) folder = RootPath(folder);
    folder = Trim(folder);
    if (folder.empty() || folder.front() != '/') folder.insert(folder.begin(), '/');
    if (folder.back() != '/') folder += '/';
    m_LastListRead = false;
    if (!m_Connected || HoldsLineBreak(folder)) return folders;
    std::vector<TFtpListEntry> entries;
    if (!ListServerFolder(folder, entries).Ok()) return folders;
    m_LastListRead = true;
    for (const TFtpListEntry& e : entries)
        if (e.Kind == TFtpListEntry::TKind::Folder) {
            TFileAttri attri;
            attri.IsFolder = 1;
            attri.Name = e.Name;
            attri.Path = folder + e.Name + "/";
            folders.push_back(std::move(attri));
        }
    std::sort(folders.begin(), folders.end(),
              [](const TFileAttri& A, const TFileAttri& B) { return CompareNames(A.Name, B.Name) < 0; });
    return folders;
}

int32_t TFtpFileOper::SameServer(const TFolderSource& Other) {
    const TFolderSource& mine = *FFolderSource;
    const bool differs = Other.UserName != mine.UserName || Other.PWD != mine.PWD ||
                         HostOf(NormalizeUrl(Other.FolerAllName)) != HostOf(NormalizeUrl(mine.FolerAllName));
    if (!differs) return 0;
    m_Connected = false;
    return 1;
}

}  // namespace

std::unique_ptr<TFileOper> CreateFtpFileOper(bool FreeOnTerminate) {
    return std::make_unique<TFtpFileOper>(FreeOnTerminate);
}

IFtpBrowser* FtpBrowserOf(TFileOper& Oper) {
    return dynamic_cast<IFtpBrowser*>(&Oper);
}

std::string NormalizeUrl(std::string_view Address) {
    return FolderAddressForm(DEVICE_FTP, Address);
}

std::string HostOf(std::string_view Address) {
    if (Address.size() <= FTP_SCHEME.size()) return {};
    const std::string_view rest = Address.substr(FTP_SCHEME.size());
    return std::string(rest.substr(0, rest.find('/')));
}

std::string HostPrefix(std::string_view Address) {
    return std::string(FTP_SCHEME) + HostOf(NormalizeUrl(Address));
}

std::string RootPath(std::string_view Address) {
    const std::string url = NormalizeUrl(Address);
    std::string path = url.substr(std::min(url.size(), HostPrefix(url).size()));
    // The "/" that keeps a last name's trailing blank in the address is no part of the path.
    if (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

bool ParseMlsdLine(std::string_view Line, TFtpListEntry& Entry) {
    Entry = TFtpListEntry{};
    const size_t space = Line.find(' ');
    if (space == std::string_view::npos || space + 1 >= Line.size()) return false;
    Entry.Name = std::string(Line.substr(space + 1));
    std::string_view facts = Line.substr(0, space);
    bool typed = false;
    while (!facts.empty()) {
        const size_t semi = facts.find(';');
        const std::string_view fact = facts.substr(0, semi);
        facts.remove_prefix(semi == std::string_view::npos ? facts.size() : semi + 1);
        const size_t eq = fact.find('=');
        if (eq == std::string_view::npos) continue;
        std::string key(fact.substr(0, eq));
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string value(fact.substr(eq + 1));
        if (key == "type") {
            typed = true;
            for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            Entry.Kind = value == "file"  ? TFtpListEntry::TKind::File
                         : value == "dir" ? TFtpListEntry::TKind::Folder
                                          : TFtpListEntry::TKind::Skip;  // cdir, pdir, links, devices
        } else if (key == "size") {
            if (!ParseNumber(std::string_view(value), Entry.Size)) Entry.Size = 0;
        } else if (key == "modify") {
            // The last modify fact counts, whole: nothing of an earlier one stays.
            Entry.FileDate = 0;
            Entry.Time = -1;
            Entry.Nanos = 0;
            if (value.size() < 14 || !AllDigits(std::string_view(value).substr(0, 14))) continue;
            const auto field = [&value](size_t At, size_t Len) { return std::stoi(value.substr(At, Len)); };
            Entry.FileDate = UtcTimeToDosDate(field(0, 4), field(4, 2), field(6, 2), field(8, 2),
                                              field(10, 2), field(12, 2));
            if (Entry.FileDate == 0) continue;  // no valid time
            Entry.Time =
                UtcInstant(field(0, 4), field(4, 2), field(6, 2), field(8, 2), field(10, 2), field(12, 2));
            // A fraction of a second (".5") gives the nanoseconds; digits past the ninth are cut.
            const std::string_view fraction = std::string_view(value).substr(14);
            if (fraction.size() > 1 && fraction[0] == '.' && AllDigits(fraction.substr(1)))
                for (size_t i = 1; i <= 9; ++i)
                    Entry.Nanos = Entry.Nanos * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
        }
    }
    if (Entry.Name == "." || Entry.Name == "..") Entry.Kind = TFtpListEntry::TKind::Skip;
    return typed;
}

namespace {

// A field of a classic line with the place where it ends: the name is the rest of the line.
struct TLineField {
    std::string_view Text;
    size_t End;
};

std::vector<TLineField> SplitFields(std::string_view Line, size_t Most) {
    std::vector<TLineField> fields;
    for (size_t at = 0; at < Line.size() && fields.size() < Most;) {
        while (at < Line.size() && Line[at] == ' ') ++at;
        if (at >= Line.size()) break;
        const size_t end = std::min(Line.find(' ', at), Line.size());
        fields.push_back({Line.substr(at, end - at), end});
        at = end;
    }
    return fields;
}

bool NumberField(std::string_view Text, size_t Len, int& Value) {
    return Text.size() == Len && AllDigits(Text) && ParseNumber(Text, Value);
}

// "13:16", or on a 12-hour clock "01:16PM" (12:xxAM is just after midnight).
bool ParseClock(std::string_view Text, int& Hour, int& Minute) {
    int half = 0;  // 1 AM, 2 PM
    if (Text.size() == 7) {
        const char a = static_cast<char>(std::toupper(static_cast<unsigned char>(Text[5])));
        const char m = static_cast<char>(std::toupper(static_cast<unsigned char>(Text[6])));
        if ((a != 'A' && a != 'P') || m != 'M') return false;
        half = a == 'A' ? 1 : 2;
        Text.remove_suffix(2);
    }
    if (Text.size() != 5 || Text[2] != ':' || !NumberField(Text.substr(0, 2), 2, Hour) ||
        !NumberField(Text.substr(3, 2), 2, Minute) || Minute > 59)
        return false;
    if (half != 0) {
        if (Hour < 1 || Hour > 12) return false;
        Hour = Hour % 12 + (half == 2 ? 12 : 0);
    }
    return Hour <= 23;
}

bool ValidDay(int Year, int Month, int Day) {
    static constexpr int DAYS[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Month < 1 || Month > 12 || Day < 1 || Day > DAYS[Month - 1]) return false;
    return Month != 2 || Day < 29 || (Year % 4 == 0 && (Year % 100 != 0 || Year % 400 == 0));
}

// "2026-12-07".
bool ParseIsoDate(std::string_view Text, int& Year, int& Month, int& Day) {
    return Text.size() == 10 && Text[4] == '-' && Text[7] == '-' && NumberField(Text.substr(0, 4), 4, Year) &&
           NumberField(Text.substr(5, 2), 2, Month) && NumberField(Text.substr(8, 2), 2, Day) &&
           ValidDay(Year, Month, Day);
}

// "12-07-26" or "12-07-2026", month first; a two-digit year from 70 on is of the 1900s.
bool ParseDosDate(std::string_view Text, int& Year, int& Month, int& Day) {
    if ((Text.size() != 8 && Text.size() != 10) || Text[2] != '-' || Text[5] != '-' ||
        !NumberField(Text.substr(0, 2), 2, Month) || !NumberField(Text.substr(3, 2), 2, Day) ||
        !NumberField(Text.substr(6), Text.size() - 6, Year))
        return false;
    if (Text.size() == 8) Year += Year >= 70 ? 1900 : 2000;
    return ValidDay(Year, Month, Day);
}

// Fills the entry's times from the fields of a classic line, read as UTC.
void DateClassic(TFtpListEntry& Entry, int Year, int Month, int Day, int Hour, int Minute) {
    Entry.Time = UtcInstant(Year, Month, Day, Hour, Minute, 0);
    Entry.Nanos = 0;
    Entry.FileDate = UnixTimeToDosDate(Entry.Time);
}

TFtpListEntry::TKind KindOf(char Type, std::string_view Name) {
    if (Name == "." || Name == "..") return TFtpListEntry::TKind::Skip;
    return Type == 'd'   ? TFtpListEntry::TKind::Folder
           : Type == '-' ? TFtpListEntry::TKind::File
                         : TFtpListEntry::TKind::Skip;  // links, devices
}

// The DOS form: date, time, "<DIR>" or the size, then the name after the blanks.
bool ParseDosLine(std::string_view Line, TFtpListEntry& Entry) {
    const std::vector<TLineField> fields = SplitFields(Line, 3);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    if (fields.size() < 3 || !ParseDosDate(fields[0].Text, year, month, day) ||
        !ParseClock(fields[1].Text, hour, minute))
        return false;
    const bool folder = fields[2].Text == "<DIR>";
    if (!folder && !(AllDigits(fields[2].Text) && ParseNumber(fields[2].Text, Entry.Size))) return false;
    size_t nameAt = fields[2].End;
    while (nameAt < Line.size() && Line[nameAt] == ' ') ++nameAt;
    if (nameAt >= Line.size()) return false;
    Entry.Name = std::string(Line.substr(nameAt));
    Entry.Kind = KindOf(folder ? 'd' : '-', Entry.Name);
    if (folder) Entry.Size = 0;
    DateClassic(Entry, year, month, day, hour, minute);
    return true;
}

}  // namespace

bool ParseListLine(std::string_view Line, std::time_t Now, TFtpListEntry& Entry) {
    Entry = TFtpListEntry{};
    if (Line.empty()) return false;
    if (Line[0] >= '0' && Line[0] <= '9') {
        if (ParseDosLine(Line, Entry)) return true;
        Entry = TFtpListEntry{};
        return false;
    }
    const std::vector<TLineField> fields = SplitFields(Line, 9);
    // The date follows the size: a month, the day and a time or a year; or an ISO date and a time.
    // Owner and group may be names or numbers, and some servers give no group.
    for (size_t m = 3; m + 1 < fields.size(); ++m) {
        if (!AllDigits(fields[m - 1].Text)) continue;
        int year = 0, month = 0, day = 0, hour = 0, minute = 0;
        size_t last = m + 1;  // the date's last field
        bool yearOnly = false;
        if (ParseIsoDate(fields[m].Text, year, month, day)) {
            if (!ParseClock(fields[m + 1].Text, hour, minute) || fields[m + 1].Text.size() != 5) continue;
        } else {
            month = MonthNumber(fields[m].Text);
            last = m + 2;
            if (month == 0 || last >= fields.size() ||
                !NumberField(fields[m + 1].Text, fields[m + 1].Text.size(), day) || day < 1 || day > 31)
                continue;
            const std::string_view when = fields[last].Text;
            yearOnly = !(when.size() == 5 && when[2] == ':');
            if (!yearOnly) {
                if (!ParseClock(when, hour, minute)) continue;
                // No year: the latest one that does not put the date more than a day after Now.
                std::tm now{};
                ::gmtime_r(&Now, &now);
                year = now.tm_year + 1900;
                const int nowMonth = now.tm_mon + 1;
                if (month > nowMonth || (month == nowMonth && day > now.tm_mday + 1)) --year;
            } else if (!NumberField(when, 4, year)) {
                continue;
            }
            if (!ValidDay(year, month, day)) continue;
        }
        const size_t nameAt = fields[last].End + 1;
        if (nameAt >= Line.size()) return false;
        Entry.Name = std::string(Line.substr(nameAt));
        Entry.Kind = KindOf(Line[0], Entry.Name);
        ParseNumber(fields[m - 1].Text, Entry.Size);
        DateClassic(Entry, year, month, day, hour, minute);
        Entry.YearOnly = yearOnly;
        return true;
    }
    return false;
}

bool TakeMdtmTime(std::string_view Reply, TFtpListEntry& Entry) {
    const std::string_view digits = Reply.substr(std::min<size_t>(4, Reply.size()), 14);
    if (!Reply.starts_with("213 ") || digits.size() != 14 || !AllDigits(digits) ||
        (Reply.size() > 18 && Reply[18] != '.'))
        return false;
    const auto field = [digits](size_t At, size_t Len) {
        return std::stoi(std::string(digits.substr(At, Len)));
    };
    const int year = field(0, 4), month = field(4, 2), day = field(6, 2), hour = field(8, 2),
              minute = field(10, 2);
    if (!ValidDay(year, month, day) || hour > 23 || minute > 59) return false;
    DateClassic(Entry, year, month, day, hour, minute);
    Entry.YearOnly = false;
    return true;
}

void TFtpListingReader::Line(std::string_view Text) {
    if (!Text.empty() && Text.back() == '\r') Text.remove_suffix(1);
    if (Text.find_first_not_of(" \t") == std::string_view::npos) return;
    if (m_Classic && Text.starts_with("total ")) return;
    TFtpListEntry entry;
    const bool parsed = m_Classic ? ParseListLine(Text, m_Now, entry) : ParseMlsdLine(Text, entry);
    if (parsed && entry.Kind == TFtpListEntry::TKind::Skip) return;
    if (parsed && IsSafeName(entry.Name)) {
        Entries.push_back(std::move(entry));
        return;
    }
    if (!Unreadable) FirstUnreadable = std::string(Text.substr(0, 200));
    Unreadable = true;
}

bool TFtpListingReader::Feed(std::string_view Data) {
    if (TooLong) return false;
    m_Total += Data.size();
    if (m_Total > m_Limit) {
        TooLong = true;
        m_Partial.clear();
        return false;
    }
    while (!Data.empty()) {
        const size_t end = Data.find('\n');
        if (end == std::string_view::npos) {
            m_Partial.append(Data);
            break;
        }
        if (m_Partial.empty()) {
            Line(Data.substr(0, end));
        } else {
            m_Partial.append(Data.substr(0, end));
            Line(m_Partial);
            m_Partial.clear();
        }
        Data.remove_prefix(end + 1);
    }
    return true;
}

void TFtpListingReader::Finish() {
    if (!TooLong && !m_Partial.empty()) Line(m_Partial);
    m_Partial.clear();
}

std::string TFtpListingReader::Problem() const {
    if (TooLong)
        return "the listing is longer than " + (m_Limit >= (size_t{1} << 20)
                                                    ? std::to_string(m_Limit >> 20) + " MiB"
                                                    : std::to_string(m_Limit) + " bytes");
    if (Unreadable) return "a line of the listing cannot be read: \"" + FirstUnreadable + "\"";
    return {};
}

}  // namespace bfs
