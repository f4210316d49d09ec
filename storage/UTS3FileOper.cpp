#include "storage/UTS3FileOper.h"

#include "model/UTConsts.h"
#include "model/UTDosTime.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "platform/UTLocalFile.h"
#include "storage/UTStorageCommon.h"
#include "storage/UTXmlReply.h"
#include "storage/uS3Storage.h"

#include <pugixml.hpp>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
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
// The largest object one PUT may store.
constexpr int64_t MAX_OBJECT_SIZE = int64_t{5} << 30;
constexpr const char* PAGE_SIZE = "1000";

// Failure codes of CheckFolder, each with its FailureText.
constexpr int32_t CHECK_UNREACHABLE = 1;
constexpr int32_t CHECK_LOGON_REFUSED = 2;
constexpr int32_t CHECK_NO_BUCKET = 3;
constexpr int32_t CHECK_REFUSED = 4;
constexpr int32_t CHECK_CLOCK_SKEW = 5;

// The HTTP status of the client's last failed request; 0 when no reply came (a network failure).
long LastStatus(const TS3Storage& Storage) {
    constexpr std::string_view HEAD = "Http Result: ";
    if (Storage.ErrorText.empty() || !Storage.ErrorText.front().starts_with(HEAD)) return 0;
    const std::string& line = Storage.ErrorText.front();
    long status = 0;
    const char* begin = line.data() + HEAD.size();
    const auto [end, ec] = std::from_chars(begin, line.data() + line.size(), status);
    return ec == std::errc() && end != begin && (end == line.data() + line.size() || *end == ' ') ? status
                                                                                                  : 0;
}

// Why the client's last request failed, in one line for a row's Error line or a listing's note: no
// answer in time, no connection, or the service's answer; empty when it did not fail.
std::string RequestFailure(const TS3Storage& Storage) {
    if (Storage.ErrorText.empty()) return {};
    if (Storage.TimedOut) return "server timed out";
    if (LastStatus(Storage) == 0) return "server not reachable";
    constexpr std::string_view HEAD = "Http Result: ";
    return "server answered " + Storage.ErrorText.front().substr(HEAD.size());
}

// Whether the last failed request's reply names the error Code ("<Code>NoSuchBucket</Code>").
bool LastErrorIs(const TS3Storage& Storage, std::string_view Code) {
    const std::string tag = "<Code>" + std::string(Code) + "</Code>";
    for (const std::string& line : Storage.ErrorText)
        if (line.find(tag) != std::string::npos) return true;
    return false;
}

// The first child element with the local name Name, whatever namespace prefix it carries.
pugi::xml_node ChildNamed(const pugi::xml_node& Node, std::string_view Name) {
    for (pugi::xml_node c : Node.children()) {
        std::string_view n = c.name();
        const size_t colon = n.find(':');
        if (colon != std::string_view::npos) n.remove_prefix(colon + 1);
        if (n == Name) return c;
    }
    return {};
}

// What a HEAD or GET reply tells of an object.
struct TObjectInfo {
    int64_t Size = -1;      // -1: not told
    int32_t FileDate = 0;   // DOS date-time of Last-Modified; 0: not told
    int64_t Modified = -1;  // Last-Modified as Unix seconds, to the second the header gives; -1: not told
    std::string ETag;       // as sent, quotes included; empty: not told
};

// Reads the size, date and entity tag out of a reply's headers (names in lower case).
TObjectInfo ObjectInfoOf(const std::map<std::string, std::string>& Headers) {
    TObjectInfo info;
    if (const auto length = Headers.find("content-length"); length != Headers.end())
        if (!ParseNumber(std::string_view(length->second), info.Size)) info.Size = -1;
    if (const auto modified = Headers.find("last-modified"); modified != Headers.end()) {
        info.FileDate = HttpDateToDosDate(modified->second);
        info.Modified = HttpDateToUnixTime(modified->second);
    }
    if (const auto etag = Headers.find("etag"); etag != Headers.end()) info.ETag = etag->second;
    return info;
}

// One key of a listing, relative to the side's root.
struct TListedKey {
    std::string Rel;
    int64_t Size = 0;
    int32_t FileDate = 0;
};

class TS3FileOper : public TFileOper, public IS3Browser {
  public:
    explicit TS3FileOper(bool FreeOnTerminate) : TFileOper(FreeOnTerminate) {
        FStorage.Stopped = [this] { return Terminated(); };
    }
    // The listing thread calls our overrides until it ends: end it before this part goes.
    ~TS3FileOper() override {
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
    int32_t GetScanSteps() override { return 1; }
    int32_t LoadSavedTree() override { return LoadSavedTreeThroughStream(); }
    int32_t DeleteFile(TFolderSource& Source, const TFileAttri& Attri, bool Log) override;
    int32_t RemoveDir(TFolderSource& Source, const TFileAttri& Attri, bool Log) override;
    std::string GetBackupFolder() override { return std::string("/") + MARKER_FOLDER + "/" + BACKUP_FOLDER; }
    int64_t GetFileSize(const std::string& FullPath) override;
    int32_t BackupFile(TFolderSource& Source, const TFileAttri& Attri) override;
    std::string ExtractDir(const std::string& Path) override {
        const size_t slash = Path.rfind('/');
        return slash == std::string::npos ? std::string() : Path.substr(0, slash + 1);
    }
    // The entry's key: what the service and the log both name it by.
    std::string GetFullPath(TFolderSource&, const TFileAttri& Attri) override { return KeyOf(Attri); }
    std::string GetFolderPath(TFolderSource&, const TFileAttri& Attri) override {
        return FolderKey(Attri.Path.str());
    }
    int32_t PutFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri,
                    int32_t SrcAttr, bool Log) override;
    int32_t RenameFile(const std::string& OldName, const std::string& NewName) override;
    int32_t GetFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& Attri, int32_t X,
                    bool Log) override;
    int32_t CheckFolder() override;
    int32_t GetEntryState(TFolderSource& Source, const TFileAttri& Attri, TEntryState& State) override;
    bool ContentDigest(TFolderSource& Source, const TFileAttri& Attri, std::string& Digest) override;
    bool DigestOf(const TFileTree::TTextSource& Bytes, std::string& Digest) override;

    // An object appears under its key whole or not at all (StoreObject).
    bool WritesAtomically() const override { return true; }
    bool ReplacesByRename() const override { return true; }
    int32_t ReplaceFile(const std::string& OldName, const std::string& NewName) override;

    bool ListBuckets(std::vector<std::string>& Names) override;
    bool ListObjects(const std::string& Bucket, const std::string& Path,
                     std::vector<TFileAttri>& List) override;
    bool CreateBucket(const std::string& Name) override;
    const std::vector<std::string>& GetErrorText() const override { return FStorage.ErrorText; }

  protected:
    void CloseConnection() override { FStorage.AbortRequest(); }

  private:
    // Takes the side's address, keys and scheme into the client.
    void TakeSide();
    // The service's name of the side's bucket.
    std::string ServiceBucket() { return ResolveBucket(FAddress.Bucket); }
    // The service's name of the bucket a side or the folder window names Name (see the .cpp).
    std::string ResolveBucket(const std::string& Name);
    // The key of a root-relative folder ("/" or "/docs/"): "" or "docs/" below the prefix.
    std::string FolderKey(std::string_view Rel) const {
        while (!Rel.empty() && Rel.front() == '/') Rel.remove_prefix(1);
        std::string key = FAddress.Prefix.empty() ? std::string() : FAddress.Prefix + "/";
        key.append(Rel);
        if (!key.empty() && key.back() != '/') key += '/';
        return key;
    }
    std::string KeyOf(const TFileAttri& Attri) const { return FolderKey(Attri.Path.str()) + Attri.Name; }
    // Checks an entry before anything is sent.
    bool EntryUsable(const TFileAttri& Attri) const {
        return !FAddress.Bucket.empty() && IsSafeName(Attri.Name) && IsSafeRelPath(Attri.Path.str());
    }
    // Whether a key as GetFullPath gives it lies below the side's root and names a safe entry.
    bool KeyUsable(const std::string& Key) const {
        if (FAddress.Bucket.empty()) return false;
        const std::string root = FolderKey("");
        if (!Key.starts_with(root)) return false;
        const std::string rel = Key.substr(root.size());
        const size_t slash = rel.rfind('/');
        const std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
        return IsSafeName(name) &&
               (slash == std::string::npos || IsSafeRelPath("/" + rel.substr(0, slash + 1)));
    }
    // HEAD of a key: 0 there (Info filled; a reply without the object's size counts as -1), 1 not
    // there, -1 could not tell.
    int32_t HeadKey(const std::string& Key, TObjectInfo* Info = nullptr);
    // Stores the Size bytes Read gives, whose "Content-MD5" is MD5, as the object Key, whole or
    // not at all, and confirms it there. 0 stored; -1 not, and Key then holds what it held before
    // (logged where the service showed something else).
    int32_t StoreObject(const std::string& Key, const TS3Reader& Read, int64_t Size, const std::string& MD5);
    // Whether the object Key shows Size bytes now; a mismatch or a failed look-up is logged.
    bool ShowsSize(const std::string& Key, int64_t Size);
    // One page of keys below Prefix, from after Marker: false when the request failed or the reply
    // is no key list. Next: where the next page starts; empty when this was the last.
    bool ListPage(const std::string& Prefix, const std::string& Marker, const char* MaxKeys,
                  std::vector<TListedKey>& Keys, std::string& Next);
    // Whether any key lies below the folder key Folder ("docs/"): 0 none, 1 some, -1 could not tell.
    // Besides counts the keys other than Folder itself (its marker).
    int32_t KeysBelow(const std::string& Folder, bool Besides);
    // Builds FFileTree from the listed keys; reserved leftovers go to Leftovers.
    void BuildTree(const std::vector<TListedKey>& Keys, std::vector<std::string>& Leftovers);

    TS3Storage FStorage;
    TS3Address FAddress;
    std::set<std::string> m_KnownFolders;  // folder keys MakeDir made or found on m_KnownSide
    std::string m_KnownSide;
    std::map<std::string, std::string> m_Buckets;  // bucket names found on m_BucketsOf: user's to service's
    std::string m_BucketsOf;
};

// A bucket is named on a side, and in the folder window, as the user knows it: the buckets this
// program makes are "<key id in lower case>-<name>" on the service and named by <name>; any other
// bucket the key can see is named by its own name. An address stored before the prefix was made
// lower case meant "<key id as written>-<name>". So a name stands for the first of these that
// exists: the lower-case prefix + name, the key id as written + "-" + name, the name itself. The
// prefixed buckets come first, so every address stored before still reaches the bucket it always
// meant while that exists. When none can be found (or the service refuses the key), the first one
// is used, and its requests tell why.
std::string TS3FileOper::ResolveBucket(const std::string& Name) {
    const std::string account = FStorage.Scheme + FStorage.Endpoint + "\n" + FStorage.AccessKeyId;
    if (account != m_BucketsOf) {
        m_Buckets.clear();
        m_BucketsOf = account;
    }
    if (const auto known = m_Buckets.find(Name); known != m_Buckets.end()) return known->second;
    const std::string encoded = TS3Storage::EncodeKey(Name);
    std::vector<std::string> candidates{FStorage.MakeBucketName(encoded)};
    if (const std::string asWritten = FStorage.AccessKeyId + "-" + encoded; asWritten != candidates[0])
        candidates.push_back(asWritten);
    if (!encoded.empty()) candidates.push_back(encoded);
    for (const std::string& bucket : candidates) {
        std::string xml;
        if (FStorage.ListBucketQuery(bucket, "max-keys=0", xml)) {
            m_Buckets[Name] = bucket;
            return bucket;
        }
        // Missing, or another account's (bucket names are shared by all): the next one. Anything
        // else (the key refused, no answer) would refuse them all alike.
        if (LastStatus(FStorage) != 404 && !LastErrorIs(FStorage, "AccessDenied")) break;
    }
    return candidates[0];
}

void TS3FileOper::TakeSide() {
    FAddress = ParseS3Address(FFolderSource->FolerAllName);
    FStorage.Create(FFolderSource->UserName, FFolderSource->PWD);
    FStorage.SetUseSSL(FFolderSource->FactTime == 1);
    FStorage.Endpoint = FAddress.Endpoint;
}

// Sends nothing: wrong keys or a missing bucket show in CheckFolder and the listing.
int32_t TS3FileOper::Connect() {
    FailureText.clear();
    if (FFolderSource->DeviceType != DEVICE_S3) return -2;
    // The sync walk connects before every row: the folders known on this side stay known.
    const std::string side = FFolderSource->FolerAllName;
    if (side != m_KnownSide) m_KnownFolders.clear();
    m_KnownSide = side;
    TakeSide();
    if (FAddress.Bucket.empty()) {
        FailureText = "bucket not found";
        return -1;
    }
    InfoText = "S3:" + FStorage.Scheme + FAddress.Endpoint + "/" + FAddress.Bucket;
    return 0;
}

int32_t TS3FileOper::CheckFolder() {
    FailureText.clear();
    if (FAddress.Bucket.empty()) {
        FailureText = "bucket not found";
        return CHECK_NO_BUCKET;
    }
    // The bucket is looked for afresh. When it is not found, the last look-up tells why: a server
    // that does not answer is waited for once, not again by a listing.
    m_Buckets.erase(FAddress.Bucket);
    ServiceBucket();
    std::vector<TListedKey> keys;
    std::string next;
    if (m_Buckets.count(FAddress.Bucket) && ListPage(FolderKey(""), "", "1", keys, next)) return 0;
    const long status = LastStatus(FStorage);
    if (status == 0) {
        FailureText = RequestFailure(FStorage);
        if (FailureText.empty()) FailureText = "server not reachable";
        return CHECK_UNREACHABLE;
    }
    if (status == 404 || LastErrorIs(FStorage, "NoSuchBucket")) {
        FailureText = "bucket not found";
        return CHECK_NO_BUCKET;
    }
    if (LastErrorIs(FStorage, "RequestTimeTooSkewed")) {
        FailureText = "clocks differ too much";
        return CHECK_CLOCK_SKEW;
    }
    if (LastErrorIs(FStorage, "AccessDenied")) {
        FailureText = "access denied";
        return CHECK_REFUSED;
    }
    // InvalidAccessKeyId, SignatureDoesNotMatch, and any other refusal of the caller.
    if (status == 401 || status == 403) {
        FailureText = "log-on refused";
        return CHECK_LOGON_REFUSED;
    }
    FailureText = "request refused (" + std::to_string(status) + ")";
    return CHECK_REFUSED;
}

bool TS3FileOper::ListPage(const std::string& Prefix, const std::string& Marker, const char* MaxKeys,
                           std::vector<TListedKey>& Keys, std::string& Next) {
    Next.clear();
    std::string query = "prefix=" + TS3Storage::EncodePath(Prefix);
    if (!Marker.empty()) query += "&marker=" + TS3Storage::EncodePath(Marker);
    query += "&max-keys=";
    query += MaxKeys;
    std::string xml;
    if (!FStorage.ListBucketQuery(ServiceBucket(), query, xml)) return false;
    pugi::xml_document doc;
    if (!LoadXmlReply(doc, xml, pugi::parse_default)) return false;
    const pugi::xml_node root = doc.document_element();
    std::string_view rootName = root.name();
    if (const size_t colon = rootName.find(':'); colon != std::string_view::npos)
        rootName.remove_prefix(colon + 1);
    if (rootName != "ListBucketResult") return false;
    std::string last;
    for (pugi::xml_node c : root.children()) {
        std::string_view n = c.name();
        if (const size_t colon = n.find(':'); colon != std::string_view::npos) n.remove_prefix(colon + 1);
        if (n != "Contents") continue;
        const std::string key = ChildNamed(c, "Key").text().get();
        last = key;
        // A key outside the asked prefix is no part of this folder: the reply is not trusted.
        if (!key.starts_with(Prefix)) return false;
        TListedKey k;
        k.Rel = key.substr(Prefix.size());
        if (!ParseNumber(std::string_view(ChildNamed(c, "Size").text().get()), k.Size)) k.Size = 0;
        k.FileDate = S3TimeToDosDate(ChildNamed(c, "LastModified").text().get());
        Keys.push_back(std::move(k));
    }
    if (std::string_view(ChildNamed(root, "IsTruncated").text().get()) == "true") {
        Next = ChildNamed(root, "NextMarker").text().get();
        if (Next.empty()) Next = last;
        // A truncated page that names no way on would list the same page forever.
        if (Next.empty() || Next <= Marker) return false;
    }
    return true;
}

int32_t TS3FileOper::KeysBelow(const std::string& Folder, bool Besides) {
    std::vector<TListedKey> keys;
    std::string next;
    if (!ListPage(Folder, "", "2", keys, next)) return -1;
    for (const TListedKey& k : keys)
        if (!Besides || !k.Rel.empty()) return 1;
    return 0;
}

int32_t TS3FileOper::ListFolder() {
    return ListTree([this] {
        bool complete = false;
        TakeSide();
        std::vector<TListedKey> keys;
        bool failed = FAddress.Bucket.empty();
        const std::string prefix = FolderKey("");
        std::string marker;
        for (bool first = true; !failed && (first || !marker.empty()); first = false) {
            if (Terminated()) {
                failed = true;
                break;
            }
            if (first) PostProgress();
            std::string next;
            if (!ListPage(prefix, marker, PAGE_SIZE, keys, next)) {
                if (!Terminated())
                    TMyException::Instance().LogError(
                        "Cannot list " + FStorage.Scheme + FAddress.Endpoint + "/" + FAddress.Bucket + "/" +
                            prefix,
                        "EInOutError",
                        FStorage.ErrorText.empty() ? std::string("no key list") : FStorage.ErrorText.front());
                failed = true;
                break;
            }
            marker = next;
        }
        if (failed) {
            // Unknown, not empty: nothing below the root may be taken as deleted.
            const std::string why = RequestFailure(FStorage);
            NotListedBecause(*FFileTree, Terminated() ? std::string() : why.empty() ? "no key list" : why);
        } else {
            std::vector<std::string> leftovers;
            BuildTree(keys, leftovers);
            // What a failed writer left; this program's own objects, never the user's.
            for (const std::string& key : leftovers) FStorage.DeleteObject(ServiceBucket(), key);
            complete = true;
        }
        return complete;
    });
}

void TS3FileOper::BuildTree(const std::vector<TListedKey>& Keys, std::vector<std::string>& Leftovers) {
    const std::string root = FolderKey("");
    // Folder paths ("a/b", no "/" at the ends) first, then the files. A key "a" beside keys below
    // "a/" is a file and a folder of one name, which S3 allows: both are listed (the folder among
    // the folders, the file among the files), so that the analysis sees the pair and neither is
    // taken for deleted.
    std::set<std::string> folders;
    struct TFile {
        std::string Folder;
        std::string Name;
        const TListedKey* Key;
    };
    std::vector<TFile> files;
    for (const TListedKey& k : Keys) {
        std::vector<std::string> levels;
        bool usable = !k.Rel.empty();
        for (size_t at = 0; usable && at < k.Rel.size();) {
            const size_t slash = std::min(k.Rel.find('/', at), k.Rel.size());
            levels.push_back(k.Rel.substr(at, slash - at));
            usable = IsSafeName(levels.back());
            at = slash + 1;
        }
        if (!usable) continue;  // "a//b", "/a", "..": no entry of a folder tree
        const bool marker = k.Rel.back() == '/';
        const size_t folderLevels = marker ? levels.size() : levels.size() - 1;
        bool reserved = false;
        for (size_t i = 0; i < folderLevels; ++i) reserved = reserved || IsReservedName(levels[i]);
        if (reserved) continue;
        std::string path;
        for (size_t i = 0; i < folderLevels; ++i) {
            path += (i ? "/" : "") + levels[i];
            folders.insert(path);
        }
        if (marker) continue;
        std::string folder;
        for (size_t i = 0; i + 1 < levels.size(); ++i) folder += (i ? "/" : "") + levels[i];
        if (IsReservedName(levels.back())) {
            // Leftovers go in every listed folder and at the top of the marker folder; deeper in
            // the marker folder (the backups) nothing is touched. A file a replace stepped aside
            // in a listed folder is given its name back (NoteAside).
            const bool listed =
                folder != MARKER_FOLDER && !folder.starts_with(std::string(MARKER_FOLDER) + "/");
            if (listed && !AsideOf(levels.back()).empty())
                files.push_back({folder, levels.back(), &k});
            else if (listed || folder == MARKER_FOLDER)
                Leftovers.push_back(root + k.Rel);
            continue;
        }
        files.push_back({folder, levels.back(), &k});
    }
    std::map<std::string, TFileTree*> nodes{{std::string(), FFileTree.get()}};
    for (const std::string& f : folders) {  // parents sort before their children
        const size_t slash = f.rfind('/');
        const std::string parent = slash == std::string::npos ? std::string() : f.substr(0, slash);
        const std::string name = slash == std::string::npos ? f : f.substr(slash + 1);
        TFileAttri attri;
        attri.IsFolder = 1;
        attri.Name = name;
        attri.Path = parent.empty() ? std::string("/") : "/" + parent + "/";
        attri.Attr = FILE_ATTRIBUTE_DIRECTORY | (name[0] == '.' ? FILE_ATTRIBUTE_HIDDEN : 0);
        nodes[f] = nodes.at(parent)->AddChild(std::move(attri));
    }
    for (const TFile& f : files) {
        TFileAttri attri;
        attri.IsFolder = 0;
        attri.Name = f.Name;
        attri.Path = f.Folder.empty() ? std::string("/") : "/" + f.Folder + "/";
        attri.Size = f.Key->Size;
        attri.FileDate = f.Key->FileDate;
        attri.Attr = FILE_ATTRIBUTE_ARCHIVE | (f.Name[0] == '.' ? FILE_ATTRIBUTE_HIDDEN : 0);
        if (IsReservedName(f.Name))
            NoteAside(*nodes.at(f.Folder), std::move(attri));
        else
            nodes.at(f.Folder)->AddChild(std::move(attri));
    }
}

int32_t TS3FileOper::HeadKey(const std::string& Key, TObjectInfo* Info) {
    std::map<std::string, std::string> headers;
    if (!FStorage.HeadObject(ServiceBucket(), Key, &headers)) return LastStatus(FStorage) == 404 ? 1 : -1;
    if (!Info) return 0;
    *Info = ObjectInfoOf(headers);
    return Info->Size < 0 ? -1 : 0;
}

// A file "a" and a folder "a/" are two things on S3 and may both be there. The kind asked for is
// looked up first, so that neither stands in for the other; the other kind only when the asked one
// is missing, and State then says which kind was found.
int32_t TS3FileOper::GetEntryState(TFolderSource&, const TFileAttri& Attri, TEntryState& State) {
    State = TEntryState{};
    if (!EntryUsable(Attri)) return 1;
    const std::string key = KeyOf(Attri);
    // Each: 0 found (State filled), 1 not there, -1 could not tell.
    const auto file = [&]() -> int32_t {
        TObjectInfo info;
        const int32_t head = HeadKey(key, &info);
        if (head == 0) State = TEntryState{true, false, info.Size, info.FileDate};
        return head;
    };
    const auto folder = [&]() -> int32_t {
        const int32_t below = KeysBelow(key + "/", false);
        if (below == 1) State = TEntryState{true, true, 0, 0};
        return below < 0 ? -1 : 1 - below;
    };
    const bool askedFolder = Attri.IsFolder != 0;
    int32_t found = askedFolder ? folder() : file();
    if (found == 1) found = askedFolder ? file() : folder();
    if (found < 0) {
        State = TEntryState{};
        return 1;
    }
    return 0;
}

// Every object this program stores is one upload, so its tag is its MD5; one stored otherwise may
// not be, and then there is no digest.
bool TS3FileOper::ContentDigest(TFolderSource&, const TFileAttri& Attri, std::string& Digest) {
    if (!EntryUsable(Attri)) return false;
    TObjectInfo info;
    if (HeadKey(KeyOf(Attri), &info) != 0 || info.Size != Attri.Size ||
        (DosDateInstant(Attri.FileDate) != -1 && info.FileDate != Attri.FileDate))
        return false;
    const std::string md5 = Md5OfEntityTag(info.ETag);
    if (md5.empty()) return false;
    Digest = "md5:" + md5;
    return true;
}

bool TS3FileOper::DigestOf(const TFileTree::TTextSource& Bytes, std::string& Digest) {
    const std::string md5 = Md5Hex(Bytes);
    if (md5.empty()) return false;
    Digest = "md5:" + md5;
    return true;
}

int32_t TS3FileOper::ReadFileToStream(TFolderSource&, const TFileAttri& Attri, std::string& Stream, int32_t) {
    Stream.clear();
    if (!EntryUsable(Attri)) return -1;
    if (FStorage.GetObject(ServiceBucket(), KeyOf(Attri), Stream)) return 0;
    Stream.clear();
    return -1;
}

int32_t TS3FileOper::WriteStreamToFile(const std::string& Stream, TFolderSource&, const TFileAttri& Attri,
                                       bool) {
    if (!EntryUsable(Attri)) return -1;
    const TS3Reader read = TS3Storage::ReaderOf(Stream);
    const auto size = static_cast<int64_t>(Stream.size());
    return StoreObject(KeyOf(Attri), read, size, TS3Storage::ContentMD5Of(read, size));
}

bool TS3FileOper::ShowsSize(const std::string& Key, int64_t Size) {
    TObjectInfo info;
    const int32_t head = HeadKey(Key, &info);
    if (head == 0 && info.Size == Size) return true;
    FailureText = head == 0 ? "the service shows " + std::to_string(info.Size) + " bytes of " +
                                  std::to_string(Size) + " written"
                            : std::string("the service does not show what was written");
    TMyException::Instance().LogError("Not stored: " + Key, "EInOutError", FailureText);
    return false;
}

// Some services store a PUT's body under its key as it arrives, so that a cut upload leaves part of
// the new body where the whole old object was, and the next run takes it for a change made there.
// So a body goes to a reserved key at the top of the marker folder first, is confirmed there, and
// takes its key by a copy on the service, which no cut connection leaves half done. (The reserved
// key is removed; when that fails, it is a leftover that the next listing removes.) An empty body
// has nothing to cut short and is stored directly. Only the reserved key, which nothing else
// writes, is sent again after a failure that may pass. Each step is confirmed by the tag its reply
// gives, which names the very bytes stored; a reply without that tag is confirmed by a look-up.
int32_t TS3FileOper::StoreObject(const std::string& Key, const TS3Reader& Read, int64_t Size,
                                 const std::string& MD5) {
    const std::string bucket = ServiceBucket();
    if (Size == 0) {
        if (FStorage.PutObject(bucket, Key, std::string(), true) && ShowsSize(Key, 0)) return 0;
        if (FailureText.empty()) FailureText = RequestFailure(FStorage);
        return -1;
    }
    const std::string temp = FolderKey(std::string("/") + MARKER_FOLDER + "/") + NewReservedName();
    int32_t result = -1;
    std::string tag;
    if (FStorage.PutObjectFrom(bucket, temp, Read, Size, MD5, true, true, &tag) &&
        (TagIsDigest(tag, MD5) || ShowsSize(temp, Size)) &&
        FStorage.CopyObject(bucket, temp, bucket, Key, &tag))
        result = TagIsDigest(tag, MD5) || ShowsSize(Key, Size) ? 0 : -1;
    // Why, for the row's Error line, before the clean-up makes a request of its own.
    if (result != 0 && FailureText.empty()) FailureText = RequestFailure(FStorage);
    FStorage.DeleteObject(bucket, temp);
    return result;
}

// Folders exist only as parts of keys; one that holds nothing yet gets a zero-byte marker key.
int32_t TS3FileOper::MakeDir(const std::string& RelPath) {
    if (FAddress.Bucket.empty() || !IsSafeRelPath(RelPath)) return 1;
    const std::string folder = FolderKey(RelPath);
    if (folder == FolderKey("") || m_KnownFolders.count(folder)) return 0;
    const int32_t below = KeysBelow(folder, false);
    if (below < 0) return 1;
    if (below == 0 && !FStorage.PutObject(ServiceBucket(), folder, std::string(), true)) return 1;
    m_KnownFolders.insert(folder);
    return 0;
}

int32_t TS3FileOper::DeleteFile(TFolderSource&, const TFileAttri& Attri, bool Log) {
    if (!EntryUsable(Attri)) return -1;
    const std::string key = KeyOf(Attri);
    if (Log) ReportStatus("Delete:" + key);
    // The service answers a deletion of a missing key as done: a missing file is told first.
    if (HeadKey(key) != 0) return -1;
    m_KnownFolders.clear();
    return FStorage.DeleteObject(ServiceBucket(), key) ? 0 : -1;
}

int32_t TS3FileOper::RemoveDir(TFolderSource&, const TFileAttri& Attri, bool) {
    if (!EntryUsable(Attri)) return -1;
    const std::string folder = KeyOf(Attri) + "/";
    m_KnownFolders.clear();
    const int32_t below = KeysBelow(folder, true);
    if (below != 0) return below < 0 ? -1 : -3;
    return FStorage.DeleteObject(ServiceBucket(), folder) ? 0 : -1;
}

int64_t TS3FileOper::GetFileSize(const std::string& FullPath) {
    if (!KeyUsable(FullPath)) return -1;
    TObjectInfo info;
    return HeadKey(FullPath, &info) == 0 ? info.Size : -1;
}

int32_t TS3FileOper::BackupFile(TFolderSource&, const TFileAttri& Attri) {
    if (!EntryUsable(Attri)) return 1;
    const std::string target = FolderKey(GetBackupFolder() + Attri.Path.str()) + Attri.Name;
    // A copy on the server replaces an older backup; a missing source fails the copy.
    return FStorage.CopyObject(ServiceBucket(), KeyOf(Attri), ServiceBucket(), target) ? 0 : 1;
}

int32_t TS3FileOper::PutFile(const std::string& LocalPath, TFolderSource&, const TFileAttri& Attri, int32_t,
                             bool Log) {
    if (!EntryUsable(Attri)) return -1;
    if (Log) ReportStatus("Copy:" + LocalPath);
    struct stat before {};
    const TFd fd(OpenForReading(LocalPath, before));
    if (fd.Get() < 0) return -1;
    if (DiffersFromListing(before, Attri.Size, Attri.FileDate)) return RESULT_SOURCE_CHANGED;
    if (Attri.Size > MAX_OBJECT_SIZE) {
        TMyException::Instance().LogError("Not stored: " + KeyOf(Attri), "EInOutError",
                                          "larger than 5 GiB, the most one S3 upload takes");
        return -1;
    }
    // The file is read twice, never held whole: once for its digest, then as it is sent. A file
    // that changes after the first reading is told by its date and size, or else by the service,
    // which refuses a body that does not match its "Content-MD5".
    const TS3Reader read = [&fd](int64_t Offset, char* Buffer, size_t Size) -> int64_t {
        const ssize_t n = ::pread(fd.Get(), Buffer, Size, Offset);
        return n < 0 ? -1 : n;
    };
    const std::string md5 = TS3Storage::ContentMD5Of(read, Attri.Size);
    if (md5.empty())
        return ChangedSince(fd.Get(), before, Attri.Size, Attri.FileDate) ? RESULT_SOURCE_CHANGED : -1;
    char extra = 0;
    if (::pread(fd.Get(), &extra, 1, Attri.Size) != 0 ||
        ChangedSince(fd.Get(), before, Attri.Size, Attri.FileDate))
        return RESULT_SOURCE_CHANGED;
    return StoreObject(KeyOf(Attri), read, Attri.Size, md5);
}

int32_t TS3FileOper::GetFile(const std::string& LocalPath, TFolderSource&, const TFileAttri& Attri, int32_t,
                             bool Log) {
    if (!EntryUsable(Attri)) return -1;
    const std::string key = KeyOf(Attri);
    if (Log) ReportStatus("Copy:" + key);
    TObjectInfo before;
    if (HeadKey(key, &before) != 0) return -1;
    if (before.Size != Attri.Size ||
        (DosDateInstant(Attri.FileDate) != -1 && before.FileDate != Attri.FileDate))
        return RESULT_SOURCE_CHANGED;
    // The body goes straight into a temporary file beside the target, which changes only once the
    // whole object is on disk, and never holds more than the listed size. A repeated request starts
    // the file again.
    TDownloadFile download(LocalPath, LOCAL_TEMP_PREFIX, Attri.Size);
    if (!download.Created()) return -1;
    const TS3Target target{[&download] { return download.Restart(); },
                           [&download](std::string_view Data) { return download.Write(Data); }};
    std::map<std::string, std::string> headers;
    if (!FStorage.GetObjectTo(ServiceBucket(), key, target, &headers)) {
        if (download.Overran()) return RESULT_SOURCE_CHANGED;
        FailureText = RequestFailure(FStorage);
        return -1;
    }
    // The object must still be the one looked at: replaced in between, it shows another tag or date.
    const TObjectInfo got = ObjectInfoOf(headers);
    if (!download.Whole() ||
        (got.Modified != -1 && before.Modified != -1 && got.Modified != before.Modified) ||
        (!got.ETag.empty() && !before.ETag.empty() && got.ETag != before.ETag))
        return RESULT_SOURCE_CHANGED;
    // Dated with the object's own time, to the second the service tells (not rounded to a DOS
    // date's even second).
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(got.Modified), 0}};
    return download.Commit(got.Modified != -1 ? times : nullptr) ? 0 : -1;
}

// Never over an existing name: the new key is looked up first.
int32_t TS3FileOper::RenameFile(const std::string& OldName, const std::string& NewName) {
    if (!KeyUsable(OldName) || !KeyUsable(NewName) || OldName == NewName) return 1;
    if (HeadKey(NewName) != 1) return 1;
    if (!FStorage.CopyObject(ServiceBucket(), OldName, ServiceBucket(), NewName)) return 1;
    if (FStorage.DeleteObject(ServiceBucket(), OldName)) return 0;
    // Both as they were: the copy goes again, but only while the old key is seen to hold its
    // object. A deletion whose answer was lost may have taken it: then the copy is all there is.
    if (HeadKey(OldName) == 0) FStorage.DeleteObject(ServiceBucket(), NewName);
    return 1;
}

int32_t TS3FileOper::ReplaceFile(const std::string& OldName, const std::string& NewName) {
    if (!KeyUsable(OldName) || !KeyUsable(NewName) || OldName == NewName) return 1;
    if (!FStorage.CopyObject(ServiceBucket(), OldName, ServiceBucket(), NewName)) return 1;
    // The target is whole now; an old key that stays is a reserved leftover the next listing removes.
    if (!FStorage.DeleteObject(ServiceBucket(), OldName))
        TMyException::Instance().LogError(
            "Not removed: " + OldName, "EInOutError",
            FStorage.ErrorText.empty() ? std::string() : FStorage.ErrorText.front());
    return 0;
}

bool TS3FileOper::ListBuckets(std::vector<std::string>& Names) {
    TakeSide();
    std::string xml;
    if (!FStorage.ListAllBuckets(xml)) return false;
    pugi::xml_document doc;
    if (!LoadXmlReply(doc, xml, pugi::parse_default)) return false;
    // Every bucket the key sees, named as ResolveBucket finds it again: the program's own without
    // their prefix (only the leading one: a name that holds the key id again further on keeps it
    // there), the others by their own names. A name is shown once: one of the others whose name an
    // own bucket shows leads to that one (and from a prefix in lower case and the key id as written
    // the same name may come twice).
    std::set<std::string> shown;
    const std::string prefixes[] = {FStorage.BucketPrefix(), FStorage.AccessKeyId + "-"};
    for (pugi::xml_node bucket : ChildNamed(doc.document_element(), "Buckets").children()) {
        std::string name = ChildNamed(bucket, "Name").text().get();
        for (const std::string& prefix : prefixes) {
            if (name.size() > prefix.size() && name.starts_with(prefix)) {
                name.erase(0, prefix.size());
                break;
            }
        }
        if (!name.empty() && shown.insert(name).second) Names.push_back(std::move(name));
    }
    return true;
}

bool TS3FileOper::ListObjects(const std::string& Bucket, const std::string& Path,
                              std::vector<TFileAttri>& List) {
    TakeSide();
    std::string folder(Path);
    if (!folder.empty() && folder.front() == '/') folder.erase(0, 1);
    if (Trim(Bucket).empty() || (!folder.empty() && !IsSafeRelPath("/" + folder))) return false;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    const std::string bucket = ResolveBucket(Bucket);
    const std::string holder = "/" + folder;
    std::string marker;
    std::set<std::string> seen;
    do {
        // The service reads the delimiter under its lower-case name only.
        std::string query = "prefix=" + TS3Storage::EncodePath(folder) + "&delimiter=%2F";
        if (!marker.empty()) query += "&marker=" + TS3Storage::EncodePath(marker);
        query += "&max-keys=";
        query += PAGE_SIZE;
        std::string xml;
        if (!FStorage.ListBucketQuery(bucket, query, xml)) return false;
        pugi::xml_document doc;
        if (!LoadXmlReply(doc, xml, pugi::parse_default)) return false;
        const pugi::xml_node root = doc.document_element();
        std::string last;
        for (pugi::xml_node c : root.children()) {
            std::string_view n = c.name();
            if (const size_t colon = n.find(':'); colon != std::string_view::npos) n.remove_prefix(colon + 1);
            if (n == "Contents") {
                last = std::max(last, std::string(ChildNamed(c, "Key").text().get()));
                continue;
            }
            if (n != "CommonPrefixes") continue;
            const std::string prefix = ChildNamed(c, "Prefix").text().get();
            last = std::max(last, prefix);
            if (!prefix.starts_with(folder) || !prefix.ends_with('/')) return false;
            const std::string name = prefix.substr(folder.size(), prefix.size() - folder.size() - 1);
            // A page that goes on after a folder may name it again (the service's marker is the
            // folder itself, and its keys sort after it).
            if (!IsSafeName(name) || IsReservedName(name) || name == MARKER_FOLDER ||
                !seen.insert(name).second)
                continue;
            TFileAttri attri;
            attri.IsFolder = 1;
            attri.Name = name;
            attri.Path = holder;
            attri.Attr = FILE_ATTRIBUTE_DIRECTORY | (name[0] == '.' ? FILE_ATTRIBUTE_HIDDEN : 0);
            List.push_back(std::move(attri));
        }
        std::string next;
        if (std::string_view(ChildNamed(root, "IsTruncated").text().get()) == "true") {
            next = ChildNamed(root, "NextMarker").text().get();
            if (next.empty()) next = last;
            // A truncated page that names no way on would list the same page forever.
            if (next.empty() || next <= marker) return false;
        }
        marker = std::move(next);
    } while (!marker.empty());
    return true;
}

bool TS3FileOper::CreateBucket(const std::string& Name) {
    TakeSide();
    if (Trim(Name).empty()) return false;
    m_Buckets.erase(Name);  // the new bucket comes before one the name found earlier
    return FStorage.PutBucket(FStorage.MakeBucketName(TS3Storage::EncodeKey(Name)));
}

}  // namespace

std::unique_ptr<TFileOper> CreateS3FileOper(bool FreeOnTerminate) {
    return std::make_unique<TS3FileOper>(FreeOnTerminate);
}

IS3Browser* S3BrowserOf(TFileOper& Oper) {
    return dynamic_cast<IS3Browser*>(&Oper);
}

TS3Address ParseS3Address(std::string_view Address) {
    TS3Address a;
    std::string text = Trim(Address);
    for (const std::string_view scheme : {"https://", "http://"}) {
        if (StartsWithNoCase(text, scheme)) {
            text.erase(0, scheme.size());
            break;
        }
    }
    const size_t hostEnd = std::min(text.find('/'), text.size());
    a.Endpoint = text.substr(0, hostEnd);
    if (a.Endpoint.empty()) a.Endpoint = TS3Storage::DEFAULT_ENDPOINT;
    std::string rest = hostEnd < text.size() ? text.substr(hostEnd + 1) : std::string();
    const size_t bucketEnd = std::min(rest.find('/'), rest.size());
    a.Bucket = rest.substr(0, bucketEnd);
    std::string prefix = bucketEnd < rest.size() ? rest.substr(bucketEnd + 1) : std::string();
    while (!prefix.empty() && prefix.front() == '/') prefix.erase(0, 1);
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    a.Prefix = std::move(prefix);
    return a;
}

int32_t S3TimeToDosDate(std::string_view Text) {
    // "YYYY-MM-DDTHH:MM:SS", then fractions and the zone mark, which is always "Z" (UTC).
    if (Text.size() < 19 || Text[4] != '-' || Text[7] != '-' || Text[10] != 'T' || Text[13] != ':' ||
        Text[16] != ':')
        return 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!ParseNumber(Text.substr(0, 4), year) || !ParseNumber(Text.substr(5, 2), month) ||
        !ParseNumber(Text.substr(8, 2), day) || !ParseNumber(Text.substr(11, 2), hour) ||
        !ParseNumber(Text.substr(14, 2), minute) || !ParseNumber(Text.substr(17, 2), second))
        return 0;
    return UtcTimeToDosDate(year, month, day, hour, minute, second);
}

std::string Md5OfEntityTag(std::string_view ETag) {
    if (ETag.size() >= 2 && ETag.front() == '"' && ETag.back() == '"') ETag = ETag.substr(1, ETag.size() - 2);
    if (ETag.size() != 32) return {};
    std::string md5(ETag);
    for (char& c : md5) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return md5;
}

bool TagIsDigest(std::string_view ETag, const std::string& ContentMD5) {
    const std::string hex = Md5OfEntityTag(ETag);
    if (hex.empty() || ContentMD5.empty()) return false;
    std::string bytes;
    for (size_t at = 0; at < hex.size(); at += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
    return Base64Encode(bytes) == ContentMD5;
}

}  // namespace bfs
