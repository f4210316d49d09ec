#include "storage/UTWebDavFileOper.h"

#include "model/UTConsts.h"
#include "model/UTDosTime.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "platform/UTLocalFile.h"
#include "storage/UTStorageCommon.h"
#include "storage/UTWebDavRequests.h"
#include "storage/UTXmlReply.h"
#include "storage/webdavxml.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

namespace {

// Local temporary files of downloads: reserved names, so that no listing shows them and the next
// listing of a local side removes what a failed download left.
constexpr std::string_view LOCAL_TEMP_PREFIX = ".~bfs.g.";
static_assert(IsTempFilePrefix(LOCAL_TEMP_PREFIX));
// Progress steps of a listing: one per level, at most this many.
constexpr int32_t SCAN_STEPS = 20;
// A listing reads this many folders at once, each on a connection of its own (the back-end's own
// and up to three more, opened only while folders wait for them): a folder's time is mostly the
// round trip of its PROPFIND and the server's work on it, which overlap.
constexpr size_t LIST_CONNECTIONS = 4;

// The path of an href (an absolute URL or an absolute path), percent-decoded, without "/" at the
// end; false when it is neither.
bool HrefPath(std::string_view Href, std::string& Path) {
    Href = TrimWhiteSpace(Href);
    if (const size_t scheme = Href.find("://"); scheme != std::string_view::npos && scheme < Href.find('/')) {
        Href.remove_prefix(scheme + 3);
        const size_t slash = Href.find('/');
        Href = slash == std::string_view::npos ? std::string_view("/") : Href.substr(slash);
    }
    if (Href.empty() || Href.front() != '/') return false;
    Href = Href.substr(0, std::min(Href.find('?'), Href.find('#')));
    Path = DecodePath(Href);
    while (!Path.empty() && Path.back() == '/') Path.pop_back();
    return true;
}

bool ParseSize(std::string_view Text, int64_t& Size) {
    Text = TrimWhiteSpace(Text);
    Size = 0;
    if (Text.empty()) return true;  // none given
    return ParseNumber(Text, Size) && Size >= 0;
}

// Removes from Entries, from First on, each entry whose name an earlier one has; the order stays.
// (Told once all are in: a set of the names as they come would hold every name a second time.)
void DropRepeatedNames(std::vector<TFileAttri>& Entries, size_t First) {
    std::vector<uint32_t> order(Entries.size() - First);
    std::iota(order.begin(), order.end(), static_cast<uint32_t>(First));
    std::stable_sort(order.begin(), order.end(),
                     [&Entries](uint32_t A, uint32_t B) { return Entries[A].Name < Entries[B].Name; });
    std::vector<bool> repeated(Entries.size(), false);
    for (size_t k = 1; k < order.size(); ++k)
        repeated[order[k]] = Entries[order[k]].Name == Entries[order[k - 1]].Name;
    size_t kept = 0;
    for (size_t i = 0; i < Entries.size(); ++i)
        if (!repeated[i]) {
            if (kept != i) Entries[kept] = std::move(Entries[i]);
            ++kept;
        }
    Entries.erase(Entries.begin() + static_cast<ptrdiff_t>(kept), Entries.end());
}

// The reply as ParseMultistatus describes it, from Document (the reply loaded); Dropped counts the
// resources inside the queried one that were left out for their names.
bool ParseReply(const pugi::xml_document& Document, std::string_view Queried,
                std::vector<TFileAttri>& Entries, size_t& Dropped) {
    Entries.clear();
    Dropped = 0;
    const TXMLMultistatusType multistatus = GetMultistatus(Document);
    if (!multistatus.Exists()) return false;
    std::string queried(Queried);
    while (!queried.empty() && queried.back() == '/') queried.pop_back();
    bool self = false;
    Entries.reserve(multistatus.Count());
    for (size_t r = 0, count = multistatus.Count(); r < count; ++r) {
        const TXMLResponseType response = multistatus.Response(r);
        std::string path;
        if (!HrefPath(response.Href(), path)) return false;
        const bool isSelf = path == queried;
        const size_t slash = path.rfind('/');
        if (!isSelf && (slash == std::string::npos || std::string_view(path).substr(0, slash) != queried))
            return false;  // neither the queried resource nor directly inside it
        // A resource the server could not describe (its own error status, no resource type) may well
        // be there: the listing cannot be taken as whole.
        const std::string status = response.Status();
        if (!status.empty() && (StatusCodeOf(status) < 200 || StatusCodeOf(status) >= 300)) return false;
        // The properties come from the propstats that were found (2xx), the first that has each.
        TXMLGetcontentlengthType length;
        TXMLGetlastmodifiedType modified;
        TXMLResourcetypeType type;
        for (size_t i = 0, n = response.PropstatCount(); i < n; ++i) {
            const TXMLPropstatType propstat = response.Propstat(i);
            const std::string code = propstat.Status();
            if (!code.empty() && (StatusCodeOf(code) < 200 || StatusCodeOf(code) >= 300)) continue;
            const TXMLPropType prop = propstat.Prop();
            if (!length.Exists()) length = prop.Getcontentlength();
            if (!modified.Exists()) modified = prop.Getlastmodified();
            if (!type.Exists()) type = prop.Resourcetype();
        }
        if (!type.Exists()) return false;
        TFileAttri attri;
        attri.Name = slash == std::string::npos ? std::string() : path.substr(slash + 1);
        attri.IsFolder = type.IsCollection() ? 1 : 0;
        int64_t size = 0;
        if (!ParseSize(length.Text(), size)) return false;
        attri.Size = attri.IsFolder ? 0 : size;
        const std::string date = Trim(modified.Text());
        attri.FileDate = date.empty() ? 0 : ParseHttpDate(date);
        if (!date.empty() && attri.FileDate == 0 && !attri.IsFolder) return false;
        attri.Attr = (attri.IsFolder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE) |
                     (!attri.Name.empty() && attri.Name[0] == '.' ? FILE_ATTRIBUTE_HIDDEN : 0);
        attri.Path = path;
        if (isSelf) {
            if (self) continue;
            self = true;
            Entries.insert(Entries.begin(), std::move(attri));
            continue;
        }
        if (!IsSafeName(attri.Name)) {
            ++Dropped;
            continue;
        }
        Entries.push_back(std::move(attri));
    }
    DropRepeatedNames(Entries, self ? 1 : 0);
    return true;
}

// A reply's text loaded as it stands: pugixml reads the encoding the reply declares (or its byte
// order mark). Text is parsed in place (no copy of it is made for UTF-8), within a bound on the
// document's memory; the entries come out while both live. Why (when given) receives the reason of a
// reply refused for anything but its form.
bool ParseReply(std::string&& Text, std::string_view Queried, std::vector<TFileAttri>& Entries,
                size_t& Dropped, std::string* Why = nullptr) {
    Entries.clear();
    Dropped = 0;
    std::string text = std::move(Text);  // freed with the document, once the entries are out
    pugi::xml_document doc;
    const pugi::xml_parse_result loaded = LoadXmlReply(doc, text, DAV_PARSE_OPTIONS);
    if (loaded.status == pugi::status_out_of_memory && Why)
        *Why = "the server's reply holds too many elements to read";
    return loaded && ParseReply(doc, Queried, Entries, Dropped);
}

// Result of a PUT: 0 for 2xx, else the status, 2 when no answer came.
int32_t PutResult(const TDavReply& Reply) {
    if (Reply.Success()) return 0;
    return Reply.Status >= 300 ? static_cast<int32_t>(Reply.Status) : 2;
}

// The one-line reason of a failed Connect or CheckFolder.
std::string ReasonOf(int32_t Result, const TDavReply& Reply) {
    if (Result == 2) return "server not reachable";
    if (Result == 1) return "folder not found";
    if (Result == 401) return "log-on refused";
    if (Reply.Status == 207)
        return Reply.ErrorText.empty() ? "the server's reply is no folder listing" : Reply.ErrorText;
    return "request refused (" + std::to_string(Reply.Status) + ")";
}

class TWebDavFileOper : public TFileOper, public IWebDavBrowser {
  public:
    explicit TWebDavFileOper(bool FreeOnTerminate) : TFileOper(FreeOnTerminate) {
        m_Client.OnAnswered = [this](const TDavReply& Reply) { NoteReply(Reply, true); };
    }
    // The listing thread calls our overrides until it ends: end it before this part goes.
    ~TWebDavFileOper() override {
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
    // The entry's folder on the server: "/dav/sub/".
    std::string GetFolderPath(TFolderSource&, const TFileAttri& Attri) override {
        return FolderPathOf(Attri.Path.str()) + "/";
    }
    int32_t PutFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri,
                    int32_t SrcAttr, bool Log) override;
    int32_t RenameFile(const std::string& OldName, const std::string& NewName) override;
    int32_t GetFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri, int32_t X,
                    bool Log) override;
    int32_t CheckFolder() override;
    int32_t GetEntryState(TFolderSource& Source, const TFileAttri& Attri, TEntryState& State) override;

    bool ReplacesByRename() const override { return true; }
    int32_t ReplaceFile(const std::string& OldName, const std::string& NewName) override;

    const std::vector<TFileAttri>& RootEntries() const override { return FEntries; }

    TClockOffset ClockOffset() const override {
        const std::lock_guard lock(m_ClockLock);
        if (m_ClockSamples == 0) return {};
        return {true, m_ClockMax - m_ClockMin > CLOCK_TOLERANCE, m_ClockMin + (m_ClockMax - m_ClockMin) / 2};
    }

  protected:
    void CloseConnection() override {
        m_Connected = false;
        m_Client.Abort();
        const std::lock_guard lock(m_ListClientsLock);
        for (TWebDavClient* client : m_ListClients) client->Abort();
    }

  private:
    // PROPFIND of a server path (decoded) with Depth: 0 when answered 207 with a reply that reads
    // (Entries filled, the queried resource first when named), 1 for 404, 2 when no answer came,
    // a status from 400 to 499 as it is, -1 otherwise (another status, an unreadable reply).
    int32_t Propfind(const std::string& Path, bool Folder, const char* Depth,
                     std::vector<TFileAttri>& Entries, TDavReply* Reply = nullptr,
                     size_t* Dropped = nullptr) {
        return Propfind(m_Client, Path, Folder, Depth, Entries, Reply, Dropped);
    }
    int32_t Propfind(TWebDavClient& Client, const std::string& Path, bool Folder, const char* Depth,
                     std::vector<TFileAttri>& Entries, TDavReply* Reply, size_t* Dropped);
    // Looks a server path up: 0 there (State filled), 1 not there (also when a folder on its way is
    // a file or missing), -1 when it cannot be told.
    int32_t Lookup(const std::string& Path, TEntryState& State);
    int32_t PropfindItem(const TFileAttri& Attri, TEntryState& State) {
        return Lookup(ItemPath(Attri), State);
    }
    // A folder and what is directly inside it, as Propfind gives them.
    int32_t PropfindUrl(const std::string& Path, std::vector<TFileAttri>& Entries, TDavReply* Reply = nullptr,
                        size_t* Dropped = nullptr) {
        return Propfind(Path, true, "1", Entries, Reply, Dropped);
    }
    // A server-side copy replacing an older target: 0 copied, 1 not found, 2 no answer, else the
    // status.
    int32_t SendCopy(const std::string& From, const std::string& To) {
        return DavResult(m_Client.Copy(UrlOf(From), UrlOf(To), true));
    }
    // Lists one folder of the tree into its node on Client; its sub-folders go to SubFolders.
    // Fresh: Client has not read a folder yet; a failure to get an answer at all, a refused log-on
    // or a server too busy is then handed back (the server may take fewer connections than the
    // listing opens). Runs on one of the listing's threads.
    TFolderRead ReadFolder(TWebDavClient& Client, bool Fresh, const TPendingFolder& Item,
                           std::vector<TPendingFolder>& SubFolders);
    // A reader of the listing on a connection of its own (ListFoldersInParallel); runs on its thread.
    TFolderReader MakeListReader();
    void RemoveMarkerLeftovers();
    // Deletes what failed writers left (server paths of reserved-name files): this program's own
    // files, never the user's. A server refuses to delete a file that an upload is still writing
    // (rclone answers 423; apache writes an upload to a name of its own and gives it the reserved
    // name only once it is whole), so a copy still running keeps its file; any refused deletion is
    // logged and tried again by the next listing. A file that another program's copy has finished
    // but not yet renamed cannot be told from a leftover: that copy's rename then fails, and its
    // row says so.
    void RemoveLeftovers(TWebDavClient& Client, const std::vector<std::string>& Paths);
    // Creates a collection that may exist: 0 made or there, else the failure.
    int32_t SendMkcol(const std::string& Path);

    // The decoded server path of a root-relative folder ("/" or "/docs/"), without "/" at the end.
    std::string FolderPathOf(std::string_view Rel) const {
        std::string path = FAddress.Path;
        while (!Rel.empty() && Rel.front() == '/') Rel.remove_prefix(1);
        while (!Rel.empty() && Rel.back() == '/') Rel.remove_suffix(1);
        if (!Rel.empty()) path += "/" + std::string(Rel);
        return path;
    }
    std::string ItemPath(const TFileAttri& Attri) const {
        return FolderPathOf(Attri.Path.str()) + "/" + Attri.Name;
    }
    // The encoded URL of a server path; a folder's ends in "/".
    std::string UrlOf(std::string_view Path, bool Folder = false) const {
        return FAddress.Origin() + EncodePath(Path) + (Folder ? "/" : "");
    }
    // The server path of a full path as GetFullPath gives it; empty when it is not below the root or
    // names no safe entry.
    std::string PathOfFullPath(const std::string& FullPath) const {
        const std::string root = FAddress.Origin() + FAddress.Path + "/";
        if (!m_Connected || !FullPath.starts_with(root)) return {};
        const std::string rel = FullPath.substr(root.size());
        const size_t slash = rel.rfind('/');
        const std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
        if (!IsSafeName(name) ||
            (slash != std::string::npos && !IsSafeRelPath("/" + rel.substr(0, slash + 1))))
            return {};
        return FAddress.Path + "/" + rel;
    }
    bool EntryUsable(const TFileAttri& Attri) const {
        return IsSafeName(Attri.Name) && IsSafeRelPath(Attri.Path.str());
    }

    TWebDavClient m_Client;
    TWebDavAddress FAddress;
    std::atomic<bool> m_Connected{false};
    // What the last successful Connect was made with: the same again connects at once.
    std::string m_ConnectedAddress, m_ConnectedUser, m_ConnectedPassword;
    std::string FBackupFolder;
    std::vector<TFileAttri> FEntries;
    // The connections of the listing's further workers, aborted by CloseConnection with the
    // back-end's own.
    std::mutex m_ListClientsLock;
    std::vector<TWebDavClient*> m_ListClients;  // guarded by m_ListClientsLock
    std::set<std::string> m_KnownFolders;       // server paths of folders made or found
    // The server's clock against ours, from the Date of every reply since the last Connect: the
    // least and the greatest difference seen (seconds).
    mutable std::mutex m_ClockLock;
    int64_t m_ClockMin = 0, m_ClockMax = 0;
    size_t m_ClockSamples = 0;  // guarded by m_ClockLock with the two above

    // Takes the clock of every reply; Main: a reply to the back-end's own connection, whose refused
    // log-on is the reason of the operation that failed.
    void NoteReply(const TDavReply& Reply, bool Main) {
        if (Main && Reply.Status == 401) FailureText = "log-on refused";
        if (Reply.Date == -1) return;
        const int64_t offset = Reply.Date - Reply.ReceivedAt;
        const std::lock_guard lock(m_ClockLock);
        m_ClockMin = m_ClockSamples == 0 ? offset : std::min(m_ClockMin, offset);
        m_ClockMax = m_ClockSamples == 0 ? offset : std::max(m_ClockMax, offset);
        ++m_ClockSamples;
    }
};

int32_t TWebDavFileOper::Propfind(TWebDavClient& Client, const std::string& Path, bool Folder,
                                  const char* Depth, std::vector<TFileAttri>& Entries, TDavReply* Reply,
                                  size_t* Dropped) {
    Entries.clear();
    TDavReply reply = Client.Propfind(UrlOf(Path, Folder), Depth);
    int32_t result = -1;
    size_t dropped = 0;
    if (reply.TooLong)
        result = -1;  // an answer, and one no listing is read from
    else if (reply.Status == 207 && reply.Error == 0)
        result = ParseReply(std::move(reply.Body), Path, Entries, dropped, &reply.ErrorText) ? 0 : -1;
    else if (reply.Status == 0 || (reply.Error != 0 && reply.Error != HTTP_STATUS_FAILED))
        result = 2;
    else if (reply.Status == 404)
        result = 1;
    else if (reply.Status >= 400 && reply.Status < 500)
        result = static_cast<int32_t>(reply.Status);
    if (result != 0) Entries.clear();
    if (Dropped) *Dropped = dropped;
    if (Reply) *Reply = std::move(reply);
    return result;
}

int32_t TWebDavFileOper::Connect() {
    if (FFolderSource->DeviceType != DEVICE_WEBDAV) return -2;
    const TFolderSource& side = *FFolderSource;
    if (m_Connected && side.FolerAllName == m_ConnectedAddress && side.UserName == m_ConnectedUser &&
        side.PWD == m_ConnectedPassword)
        return 0;
    m_Connected = false;
    FailureText.clear();
    FEntries.clear();
    FBackupFolder.clear();
    m_KnownFolders.clear();
    if (!ParseWebDavAddress(side.FolerAllName, FAddress)) {
        FailureText = "not a WebDAV address";
        return -1;
    }
    {
        const std::lock_guard lock(m_ClockLock);
        m_ClockSamples = 0;
    }
    m_Client.SetLogOn(side.UserName, side.PWD);
    m_Client.ResetAbort();
    if (Terminated()) m_Client.Abort();  // a Stop that came before this line still ends the connect
    TDavReply reply;
    std::vector<TFileAttri> entries;
    int32_t result = Propfind(FAddress.Path, true, "1", entries, &reply);
    if (result == 0 && (entries.empty() || entries[0].Path != FAddress.Path || entries[0].IsFolder != 1))
        result = 1;  // the address names a file, or the reply another place
    if (result != 0) {
        FailureText = ReasonOf(result, reply);
        return result;
    }
    InfoText = "WebDAV:" + (reply.Server.empty() ? FAddress.Origin() : reply.Server);
    // The folder window takes the root's entries with their own addresses.
    for (TFileAttri& e : entries) e.Path = FAddress.Origin() + e.Path.str();
    FEntries = std::move(entries);
    m_ConnectedAddress = side.FolerAllName;
    m_ConnectedUser = side.UserName;
    m_ConnectedPassword = side.PWD;
    m_Connected = true;
    return 0;
}

int32_t TWebDavFileOper::CheckFolder() {
    if (!m_Connected) {
        if (FailureText.empty()) FailureText = "server not reachable";
        return 2;
    }
    TDavReply reply;
    std::vector<TFileAttri> entries;
    int32_t result = Propfind(FAddress.Path, true, "0", entries, &reply);
    if (result == 0 && (entries.empty() || entries[0].IsFolder != 1)) result = 1;
    if (result != 0) FailureText = ReasonOf(result, reply);
    return result;
}

int32_t TWebDavFileOper::ListFolder() {
    return ListTree([this] {
        if (!m_Connected) {
            FFileTree->NotListed = true;  // unknown, not empty
            return false;
        }
        RemoveMarkerLeftovers();
        return ListFoldersInParallel(
            {FAddress.Path, FFileTree.get(), TSharedString("/")}, LIST_CONNECTIONS, SCAN_STEPS,
            [this](const TPendingFolder& Item, std::vector<TPendingFolder>& SubFolders) {
                return ReadFolder(m_Client, false, Item, SubFolders);
            },
            [this] { return MakeListReader(); }, [this] { return Terminated() || !m_Connected; },
            [this] { PostProgress(); });
    });
}

TFolderReader TWebDavFileOper::MakeListReader() {
    // The client is registered before its first request, so that a Stop from now on aborts it.
    struct TListClient {
        TWebDavFileOper& Owner;
        TWebDavClient Client;
        bool Fresh = true;
        explicit TListClient(TWebDavFileOper& Oper) : Owner(Oper) {
            Client.SetLogOn(Oper.m_ConnectedUser, Oper.m_ConnectedPassword);
            Client.OnAnswered = [&Oper](const TDavReply& Reply) { Oper.NoteReply(Reply, false); };
            const std::lock_guard lock(Owner.m_ListClientsLock);
            Owner.m_ListClients.push_back(&Client);
        }
        ~TListClient() {
            const std::lock_guard lock(Owner.m_ListClientsLock);
            std::erase(Owner.m_ListClients, &Client);
        }
    };
    auto list = std::make_shared<TListClient>(*this);
    if (Terminated() || !m_Connected) list->Client.Abort();
    return [this, list](const TPendingFolder& Item, std::vector<TPendingFolder>& SubFolders) {
        const TFolderRead result = ReadFolder(list->Client, list->Fresh, Item, SubFolders);
        if (result != TFolderRead::HandBack) list->Fresh = false;
        return result;
    };
}

TFolderRead TWebDavFileOper::ReadFolder(TWebDavClient& Client, bool Fresh, const TPendingFolder& Item,
                                        std::vector<TPendingFolder>& SubFolders) {
    std::vector<TFileAttri> entries;
    TDavReply reply;
    int32_t result = Propfind(Client, Item.Folder, true, "1", entries, &reply, nullptr);
    if (result == 0 && (entries.empty() || entries[0].Path != Item.Folder || entries[0].IsFolder != 1))
        result = -1;
    if (result != 0) {
        if (Fresh && !Client.Aborted() && !Terminated() &&
            (result == 2 || reply.Status == 401 || reply.Status == 429 || reply.Status == 503))
            return TFolderRead::HandBack;
        const std::string why = reply.ErrorText.empty() ? ReasonOf(result, reply) : reply.ErrorText;
        TMyException::Instance().LogError("Cannot list folder " + FAddress.Origin() + Item.Folder + "/",
                                          "EInOutError", why);
        if (!Terminated()) NotListedBecause(*Item.Node, why);
        // An answer concerns this folder; no answer (a lost connection, a stop) all the rest.
        return result != 2 && !Client.Aborted() ? TFolderRead::Refused : TFolderRead::GiveUp;
    }
    const bool top = Item.Node == FFileTree.get();
    std::vector<std::string> leftovers;
    for (size_t k = 1; k < entries.size(); ++k) {
        TFileAttri& e = entries[k];
        const bool folder = e.IsFolder == 1;
        if (IsReservedName(e.Name)) {
            if (!folder && !AsideOf(e.Name).empty()) {
                e.Path = Item.Rel;
                NoteAside(*Item.Node, std::move(e));  // a file a replace stepped aside
            } else if (!folder) {
                leftovers.push_back(e.Path.str());
            }
            continue;
        }
        if (top && e.Name == MARKER_FOLDER) continue;
        const std::string path = e.Path.str(), name = e.Name;
        e.Path = Item.Rel;
        TFileTree* child = Item.Node->AddChild(std::move(e));
        if (folder) SubFolders.push_back({path, child, TSharedString(Item.Rel.str() + name + "/")});
    }
    RemoveLeftovers(Client, leftovers);
    return TFolderRead::Read;
}

void TWebDavFileOper::RemoveMarkerLeftovers() {
    std::vector<TFileAttri> entries;
    if (PropfindUrl(FolderPathOf(MARKER_FOLDER), entries) != 0) return;
    std::vector<std::string> leftovers;
    for (size_t k = 1; k < entries.size(); ++k)
        if (entries[k].IsFolder == 0 && IsReservedName(entries[k].Name))
            leftovers.push_back(entries[k].Path.str());
    RemoveLeftovers(m_Client, leftovers);
}

void TWebDavFileOper::RemoveLeftovers(TWebDavClient& Client, const std::vector<std::string>& Paths) {
    for (const std::string& path : Paths) {
        const TDavReply reply = Client.Delete(UrlOf(path));
        const int32_t result = DavResult(reply);
        if (result == 0 || result == 1) continue;  // removed, or gone meanwhile
        TMyException::Instance().LogError(
            "Cannot remove leftover " + FAddress.Origin() + path, "EInOutError",
            (reply.ErrorText.empty() ? "request refused (" + std::to_string(reply.Status) + ")"
                                     : reply.ErrorText) +
                (reply.Status == 423 ? ", the file is still being written" : "") +
                "; tried again at the next listing");
    }
}

int32_t TWebDavFileOper::Lookup(const std::string& Path, TEntryState& State) {
    State = TEntryState{};
    std::vector<TFileAttri> entries;
    TDavReply reply;
    const int32_t result = Propfind(Path, false, "0", entries, &reply);
    if (result == 0) {
        if (entries.empty() || entries[0].Path != Path) return -1;
        State.Exists = true;
        State.IsFolder = entries[0].IsFolder == 1;
        State.Size = entries[0].Size;
        State.FileDate = entries[0].FileDate;
        return 0;
    }
    if (result == 1) return 1;
    // Servers refuse a path through a file in their own ways (400, 409): absent when a folder on
    // its way is a file or missing.
    if (reply.Status == 400 || reply.Status == 409) {
        const size_t slash = Path.rfind('/');
        if (slash == std::string::npos || slash <= FAddress.Path.size()) return -1;
        TEntryState parent;
        const int32_t up = Lookup(Path.substr(0, slash), parent);
        if (up == 1 || (up == 0 && !parent.IsFolder)) return 1;
    }
    return -1;
}

int32_t TWebDavFileOper::GetEntryState(TFolderSource&, const TFileAttri& Attri, TEntryState& State) {
    State = TEntryState{};
    if (!EntryUsable(Attri) || !m_Connected) return 1;
    const int32_t found = PropfindItem(Attri, State);
    if (found < 0) {
        State = TEntryState{};
        return 1;
    }
    return 0;
}

int32_t TWebDavFileOper::ReadFileToStream(TFolderSource&, const TFileAttri& Attri, std::string& Stream,
                                          int32_t) {
    Stream.clear();
    if (!EntryUsable(Attri) || !m_Connected) return 1;
    const TDavReply reply = m_Client.Get(UrlOf(ItemPath(Attri)), [&Stream](std::string_view Data) {
        Stream.append(Data);
        return true;
    });
    if (reply.Success()) return 0;
    Stream.clear();
    return PutResult(reply);
}

// Never in place: the text goes to a fresh reserved name beside the target, which then takes the
// target's name in one MOVE.
int32_t TWebDavFileOper::WriteStreamToFile(const std::string& Stream, TFolderSource&, const TFileAttri& Attri,
                                           bool) {
    if (!EntryUsable(Attri) || !m_Connected) return 1;
    if (const int32_t made = MakeDir(Attri.Path.str()); made != 0) return made;
    const std::string temp = UrlOf(FolderPathOf(Attri.Path.str()) + "/" + NewReservedName());
    const TDavReply put = m_Client.Put(
        temp, [&Stream] { return TextSource(Stream); }, static_cast<int64_t>(Stream.size()));
    int32_t result = PutResult(put);
    if (result == 0) {
        const TDavReply move = m_Client.Move(temp, UrlOf(ItemPath(Attri)), true);
        result = DavResult(move);
    }
    if (result != 0) m_Client.Delete(temp);
    return result;
}

int32_t TWebDavFileOper::SendMkcol(const std::string& Path) {
    const TDavReply reply = m_Client.Mkcol(UrlOf(Path, true));
    if (reply.Success()) return 0;
    // 405: something is there already; it will do when it is a collection.
    if (reply.Status == 405) {
        TEntryState state;
        if (Lookup(Path, state) == 0 && state.IsFolder) return 0;
    }
    return PutResult(reply);
}

int32_t TWebDavFileOper::MakeDir(const std::string& RelPath) {
    if (!IsSafeRelPath(RelPath)) return 1;
    if (!m_Connected) return 2;
    std::string path = FAddress.Path;
    for (size_t at = 0; at < RelPath.size();) {
        const size_t slash = std::min(RelPath.find('/', at), RelPath.size());
        if (slash > at) {
            path += "/" + RelPath.substr(at, slash - at);
            if (!m_KnownFolders.count(path)) {
                if (const int32_t made = SendMkcol(path); made != 0) return made;
                m_KnownFolders.insert(path);
            }
        }
        at = slash + 1;
    }
    return 0;
}

int32_t TWebDavFileOper::DeleteFile(TFolderSource& Source, const TFileAttri& Attri, bool Log) {
    if (!EntryUsable(Attri)) return -1;
    if (Log) ReportStatus("Delete:" + GetFullPath(Source, Attri));
    if (!m_Connected) return 2;
    // A collection's DELETE removes everything in it: only what is still a file goes.
    TEntryState state;
    const int32_t found = PropfindItem(Attri, state);
    if (found == 1) return 1;
    if (found != 0 || state.IsFolder) return -1;
    return DavResult(m_Client.Delete(UrlOf(ItemPath(Attri))));
}

// Only an empty collection goes: a collection's DELETE removes everything in it, files the plan
// never named included.
int32_t TWebDavFileOper::RemoveDir(TFolderSource& Source, const TFileAttri& Attri, bool Log) {
    if (!EntryUsable(Attri)) return -1;
    if (Log) ReportStatus("Delete:" + GetFullPath(Source, Attri));
    if (!m_Connected) return 2;
    const std::string path = ItemPath(Attri);
    std::vector<TFileAttri> entries;
    size_t dropped = 0;
    const int32_t listed = PropfindUrl(path, entries, nullptr, &dropped);
    if (listed != 0) return listed;
    if (entries.empty() || entries[0].Path != path || entries[0].IsFolder != 1) return -1;
    if (entries.size() > 1 || dropped > 0) return -3;
    m_KnownFolders.clear();
    return DavResult(m_Client.Delete(UrlOf(path, true)));
}

std::string TWebDavFileOper::GetBackupFolder() {
    if (!FBackupFolder.empty()) return FBackupFolder;
    const std::string backup = std::string("/") + MARKER_FOLDER + "/" + BACKUP_FOLDER;
    // Made once per object; a failure is tried again by the next call.
    if (MakeDir(backup) == 0) FBackupFolder = backup;
    return backup;
}

int64_t TWebDavFileOper::GetFileSize(const std::string& FullPath) {
    const std::string path = PathOfFullPath(FullPath);
    if (path.empty()) return -1;
    TEntryState state;
    return Lookup(path, state) == 0 ? state.Size : -1;
}

// The copy happens on the server and replaces an older backup; nothing is downloaded.
int32_t TWebDavFileOper::BackupFile(TFolderSource&, const TFileAttri& Attri) {
    if (!EntryUsable(Attri) || !m_Connected) return 1;
    TEntryState state;
    if (PropfindItem(Attri, state) != 0 || state.IsFolder) return 1;
    const std::string rel = GetBackupFolder() + Attri.Path.str();
    if (const int32_t made = MakeDir(rel); made != 0) return made;
    return SendCopy(ItemPath(Attri), FolderPathOf(rel) + "/" + Attri.Name);
}

std::string TWebDavFileOper::GetFullPath(TFolderSource& Source, const TFileAttri& Attri) {
    TWebDavAddress address;
    if (!ParseWebDavAddress(Source.FolerAllName, address)) address = FAddress;
    std::string path = address.Origin() + address.Path;
    path += Attri.Path.str().empty() || Attri.Path.str().front() != '/' ? "/" + Attri.Path.str()
                                                                        : Attri.Path.str();
    if (path.back() != '/') path += '/';
    return path + Attri.Name;
}

int32_t TWebDavFileOper::PutFile(const std::string& LocalPath, TFolderSource&, const TFileAttri& Attri,
                                 int32_t, bool Log) {
    if (!EntryUsable(Attri) || !m_Connected) return -1;
    if (Log) ReportStatus("Copy:" + LocalPath);
    struct stat before {};
    const TFd fd(OpenForReading(LocalPath, before));
    if (fd.Get() < 0) return -1;
    if (DiffersFromListing(before, Attri.Size, Attri.FileDate)) return RESULT_SOURCE_CHANGED;
    if (const int32_t made = MakeDir(Attri.Path.str()); made != 0) return made;

    const std::string url = UrlOf(ItemPath(Attri));
    int64_t sent = 0;
    const int file = fd.Get();
    const int64_t size = Attri.Size;
    const TDavReply reply = m_Client.Put(
        url,
        [&sent, file, size]() -> THttpSource {
            sent = 0;
            return [&sent, file, size](char* Buffer, size_t Size) -> int64_t {
                const auto want =
                    static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(Size), size - sent));
                if (want == 0) return 0;
                const ssize_t n = ::pread(file, Buffer, want, static_cast<off_t>(sent));
                if (n <= 0) return -1;  // shorter than listed: the upload fails
                sent += n;
                return n;
            };
        },
        size);
    const bool sourceChanged = ChangedSince(file, before, Attri.Size, Attri.FileDate) || sent != size;
    if (reply.Success() && !sourceChanged) return 0;
    // A temporary entry that holds part of a file, or not the listed one, goes; an entry under its
    // own name keeps what the server kept (a failed PUT leaves the old file).
    if (IsReservedName(Attri.Name)) m_Client.Delete(url);
    if (sourceChanged && (reply.Success() || sent != size)) return RESULT_SOURCE_CHANGED;
    return PutResult(reply);
}

// Written to a reserved name beside LocalPath, renamed over it only when the body came whole, with
// a 2xx status and of the listed size.
int32_t TWebDavFileOper::GetFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri,
                                 int32_t, bool Log) {
    if (!EntryUsable(Attri) || !m_Connected) return -1;
    if (Log) ReportStatus("Copy:" + GetFullPath(Source, Attri));
    TDownloadFile download(LocalPath, LOCAL_TEMP_PREFIX, Attri.Size);
    if (!download.Created()) return -1;
    const TDavReply reply =
        m_Client.Get(UrlOf(ItemPath(Attri)), [&](std::string_view Data) { return download.Write(Data); });
    if (download.Overran()) return RESULT_SOURCE_CHANGED;
    if (download.WriteFailed()) return -1;
    if (!reply.Success()) return reply.Status == 404 ? 1 : PutResult(reply);
    if (!download.Whole()) return RESULT_SOURCE_CHANGED;  // fewer bytes than listed
    // The reply's date is the file's as the listing gave it; another one is another version.
    if (DosDateInstant(Attri.FileDate) != -1 && !reply.Modified.empty() &&
        ParseHttpDate(reply.Modified) != Attri.FileDate)
        return RESULT_SOURCE_CHANGED;
    // Made as a plain copy makes a file, dated with the second the server gives the file (the
    // listed date, rounded to even seconds, only where the reply has none).
    int64_t dated = reply.Modified.empty() ? -1 : HttpDateToUnixTime(reply.Modified);
    if (dated == -1) dated = DosDateInstant(Attri.FileDate);
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(dated), 0}};
    return download.Commit(dated != -1 ? times : nullptr) ? 0 : -1;
}

// Never over an existing name: the server refuses a MOVE with "Overwrite: F" onto one (412).
int32_t TWebDavFileOper::RenameFile(const std::string& OldName, const std::string& NewName) {
    const std::string from = PathOfFullPath(OldName), to = PathOfFullPath(NewName);
    if (from.empty() || to.empty() || from == to) return 1;
    return DavResult(m_Client.Move(UrlOf(from), UrlOf(to), false));
}

int32_t TWebDavFileOper::ReplaceFile(const std::string& OldName, const std::string& NewName) {
    const std::string from = PathOfFullPath(OldName), to = PathOfFullPath(NewName);
    if (from.empty() || to.empty() || from == to) return 1;
    return DavResult(m_Client.Move(UrlOf(from), UrlOf(to), true));
}

}  // namespace

std::unique_ptr<TFileOper> CreateWebDavFileOper(bool FreeOnTerminate) {
    return std::make_unique<TWebDavFileOper>(FreeOnTerminate);
}

IWebDavBrowser* WebDavBrowserOf(TFileOper& Oper) {
    return dynamic_cast<IWebDavBrowser*>(&Oper);
}

bool ParseMultistatus(std::string_view Text, std::string_view Queried, std::vector<TFileAttri>& Entries) {
    size_t dropped = 0;
    if (ParseReply(std::string(Text), Queried, Entries, dropped)) return true;
    Entries.clear();
    return false;
}

int32_t ParseHttpDate(std::string_view Text) {
    return HttpDateToDosDate(TrimWhiteSpace(Text));
}

}  // namespace bfs
