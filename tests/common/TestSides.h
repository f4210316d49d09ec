#pragma once

// The sides of a sync task as the whole-run tests reach them from outside the program (as a user or
// another program would): a local folder, or a folder behind each kind of server the storage tests
// start (tests/common/TestServers.h), each made fresh with its own server. No test framework here:
// the engine's scenario suite and the program's command-line test both use them.

#include "common/TestServers.h"
#include "model/UTConsts.h"
#include "model/UTFolderSource.h"
#include "platform/UTAtomicFile.h"
#include "storage/uS3Storage.h"

#include <fcntl.h>
#include <pugixml.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bfs::test {

namespace fs = std::filesystem;

struct TItem {
    bool Folder = false;
    std::string Content;
    int64_t TimeNs = 0;  // files only
    friend bool operator==(const TItem&, const TItem&) = default;
};
// Every entry of a side outside its marker folder, by root-relative path ("/docs", "/docs/a.txt").
using TTree = std::map<std::string, TItem>;

inline bool InMarker(const std::string& Rel) {
    const std::string marker = std::string("/") + MARKER_FOLDER;
    return Rel == marker || Rel.starts_with(marker + "/");
}

// One side of a task as a test reaches it from outside the program.
class TSide {
  public:
    virtual ~TSide() = default;
    // The folder source the task gets for this side.
    virtual void Configure(TFolderSource& Folder) = 0;
    // Writes a file (parents made); Time is the modification time where the side lets one be set.
    // False when it could not.
    virtual bool Write(const std::string& Rel, const std::string& Content, int64_t Time) = 0;
    virtual void Remove(const std::string& Rel) = 0;
    virtual TTree List() = 0;
    // The content of any file of the side (the marker folder's too); empty when there is none.
    virtual std::string Read(const std::string& Rel) = 0;
};

// A side whose files are files of a local folder: a local side, or what a server serves.
class TDiskSide : public TSide {
  public:
    explicit TDiskSide(std::string Root, std::function<void(const std::string&)> Own = {})
        : Root(std::move(Root)), m_Own(std::move(Own)) {
        fs::create_directories(this->Root);
        if (m_Own) m_Own(this->Root);
    }
    bool Write(const std::string& Rel, const std::string& Content, int64_t Time) override {
        const std::string path = Root + Rel;
        std::error_code ec;
        fs::create_directories(fs::path(path).parent_path(), ec);
        // An odd second and a part of one: a copy must keep both, not the two-second listed date.
        const timespec times[2] = {{static_cast<time_t>(Time + 1), 123456789},
                                   {static_cast<time_t>(Time + 1), 123456789}};
        if (WriteFileAtomic(path, Content) != 0 || ::chmod(path.c_str(), 0644) != 0 ||
            ::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
            return false;
        if (m_Own) m_Own(Root);
        return true;
    }
    void Remove(const std::string& Rel) override { fs::remove_all(Root + Rel); }
    TTree List() override {
        TTree tree;
        for (auto it = fs::recursive_directory_iterator(Root); it != fs::recursive_directory_iterator();
             ++it) {
            const std::string rel = it->path().string().substr(Root.size());
            if (InMarker(rel)) {
                it.disable_recursion_pending();
                continue;
            }
            TItem item;
            item.Folder = it->is_directory();
            if (!item.Folder) {
                ReadWholeFile(it->path().string(), item.Content);
                struct stat st {};
                ::lstat(it->path().c_str(), &st);
                item.TimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
            }
            tree[rel] = item;
        }
        return tree;
    }
    std::string Read(const std::string& Rel) override {
        std::string content;
        ReadWholeFile(Root + Rel, content);
        return content;
    }

    std::string Root;

  private:
    std::function<void(const std::string&)> m_Own;
};

class TLocalSide : public TDiskSide {
  public:
    using TDiskSide::TDiskSide;
    void Configure(TFolderSource& Folder) override {
        Folder.DeviceType = DEVICE_LOCAL;
        Folder.FolerAllName = Root;
    }
};

// A served folder reached through a server: the address and log-on the task gets.
class TServedSide : public TDiskSide {
  public:
    TServedSide(std::string Root, std::function<void(const std::string&)> Own, int32_t Kind,
                std::string Address, std::string User, std::string Password)
        : TDiskSide(std::move(Root), std::move(Own)),
          m_Kind(Kind),
          m_Address(std::move(Address)),
          m_User(std::move(User)),
          m_Password(std::move(Password)) {}
    void Configure(TFolderSource& Folder) override {
        Folder.DeviceType = m_Kind;
        Folder.FolerAllName = m_Address;
        Folder.UserName = m_User;
        Folder.PWD = m_Password;
    }
    std::shared_ptr<void> Server;  // keeps the server running

  private:
    int32_t m_Kind;
    std::string m_Address, m_User, m_Password;
};

inline const std::string S3_ACCESS = "bfsaccess";
inline const std::string S3_SECRET = "bfs-s3-secret/0815+";

// A bucket (and key prefix) of the S3 test server, reached through the S3 REST client. Objects are
// dated by the server when they are stored.
class TS3Side : public TSide {
  public:
    TS3Side(std::string Bucket, std::string Prefix)
        : m_Bucket(std::move(Bucket)), m_Prefix(std::move(Prefix)) {}
    bool Start() {
        if (!m_Server.Start(S3_ACCESS, S3_SECRET, "bfsaccess-side,bfsaccess-top")) return false;
        m_Client.Create(S3_ACCESS, S3_SECRET);
        m_Client.Endpoint = m_Server.Endpoint();
        return true;
    }
    void Configure(TFolderSource& Folder) override {
        Folder.DeviceType = DEVICE_S3;
        Folder.FolerAllName = "http://" + m_Server.Endpoint() + "/" + m_Bucket +
                              (m_Prefix.empty() ? std::string() : "/" + m_Prefix);
        Folder.UserName = S3_ACCESS;
        Folder.PWD = S3_SECRET;
    }
    bool Write(const std::string& Rel, const std::string& Content, int64_t) override {
        return m_Client.PutObject(ServiceBucket(), Key(Rel), Content, true);
    }
    void Remove(const std::string& Rel) override {
        for (const auto& [key, size] : Keys())
            if (key == Key(Rel) || key.starts_with(Key(Rel) + "/"))
                m_Client.DeleteObject(ServiceBucket(), key);
    }
    TTree List() override {
        TTree tree;
        for (const auto& [key, modified] : Keys()) {
            std::string rel = "/" + key.substr(m_Prefix.empty() ? 0 : m_Prefix.size() + 1);
            if (InMarker(rel)) continue;
            const bool marker = rel.ends_with("/");
            if (marker) rel.pop_back();
            for (size_t p = rel.find('/', 1); p != std::string::npos; p = rel.find('/', p + 1))
                tree[rel.substr(0, p)].Folder = true;
            TItem& item = tree[rel];
            item.Folder = marker;
            if (!marker) {
                item.Content = Read(rel);
                item.TimeNs = std::hash<std::string>{}(modified);  // changes whenever the object does
            }
        }
        return tree;
    }
    std::string Read(const std::string& Rel) override {
        std::string content;
        m_Client.GetObject(ServiceBucket(), Key(Rel), content);
        return content;
    }

  private:
    std::string ServiceBucket() const { return S3_ACCESS + "-" + m_Bucket; }
    std::string Key(const std::string& Rel) const {
        return m_Prefix.empty() ? Rel.substr(1) : m_Prefix + Rel;
    }
    // Every key under the prefix with its LastModified text.
    std::vector<std::pair<std::string, std::string>> Keys() {
        std::vector<std::pair<std::string, std::string>> keys;
        std::string marker;
        for (;;) {
            std::string xml;
            std::string query = "prefix=" + TS3Storage::EncodePath(m_Prefix.empty() ? "" : m_Prefix + "/");
            if (!marker.empty()) query += "&marker=" + TS3Storage::EncodePath(marker);
            if (!m_Client.ListBucketQuery(ServiceBucket(), query, xml)) break;
            pugi::xml_document doc;
            doc.load_string(xml.c_str());
            const pugi::xml_node result = doc.child("ListBucketResult");
            for (pugi::xml_node c = result.child("Contents"); c; c = c.next_sibling("Contents")) {
                keys.emplace_back(c.child_value("Key"), c.child_value("LastModified"));
                marker = keys.back().first;
            }
            if (std::string(result.child_value("IsTruncated")) != "true") break;
        }
        return keys;
    }

    std::string m_Bucket, m_Prefix;
    TS3Server m_Server;
    TS3Storage m_Client;
};

// The device emulated by a folder (the stand-in device library, chosen through the environment).
class TDeviceSide : public TDiskSide {
  public:
    // The device folder is named to the device library through the environment while the side lives.
    TDeviceSide(const std::string& DeviceFolder, std::string Folder)
        : TDiskSide(DeviceFolder + (Folder.empty() ? "" : "/" + Folder)), m_Folder(std::move(Folder)) {
        ::setenv("BFS_DEVICE_FOLDER", DeviceFolder.c_str(), 1);
    }
    ~TDeviceSide() override { ::unsetenv("BFS_DEVICE_FOLDER"); }
    void Configure(TFolderSource& Folder) override {
        const char* name = std::getenv("BFS_DEVICE_NAME");
        Folder.DeviceType = DEVICE_MOBILE;
        Folder.FolerAllName = std::string("wm:") + (name ? name : "Pocket_PC") + "\\" + m_Folder;
    }

  private:
    std::string m_Folder;
};

// The sides, by name; each made fresh (with its server) for one test.
struct TSideKind {
    const char* Name;
    std::function<std::unique_ptr<TSide>(const std::string& Scratch)> Make;
};

inline std::unique_ptr<TSide> MakeFtp(TServerKind Kind) {
    auto server = std::make_shared<TFtpServer>();
    if (!server->Start(Kind)) return nullptr;
    auto own = [s = server.get()](const std::string& Path) { s->Own(Path); };
    auto side = std::make_unique<TServedSide>(server->Files + "/side", own, DEVICE_FTP,
                                              server->Address("/side"), FTP_USER, FTP_PASS);
    side->Server = server;
    return side;
}

inline std::unique_ptr<TSide> MakeDav(TDavKind Kind) {
    auto server = std::make_shared<TWebDavServer>();
    if (!server->Start(Kind)) return nullptr;
    auto own = [s = server.get()](const std::string& Path) { s->Own(Path); };
    auto side = std::make_unique<TServedSide>(server->Files + "/side", own, DEVICE_WEBDAV,
                                              server->Address("/side"), DAV_USER, DAV_PASS);
    side->Server = server;
    return side;
}

inline const std::vector<TSideKind>& SideKinds() {
    static const std::vector<TSideKind> kinds = {
        {"Local",
         [](const std::string& Scratch) { return std::make_unique<TLocalSide>(Scratch + "/right"); }},
        {"Share",
         [](const std::string&) -> std::unique_ptr<TSide> {
             const std::string password = "bfs-smb-test-4711";
             auto server = std::make_shared<TSmbServer>(password);
             if (!server->Start()) return nullptr;
             auto side = std::make_unique<TServedSide>(server->SharePath + "/side", nullptr, DEVICE_NETWORK,
                                                       server->Address("\\side"), server->User, password);
             side->Server = server;
             return side;
         }},
        {"FtpMlsd", [](const std::string&) { return MakeFtp(TServerKind::Pyftpdlib); }},
        {"FtpList", [](const std::string&) { return MakeFtp(TServerKind::Vsftpd); }},
        {"WebDavRclone", [](const std::string&) { return MakeDav(TDavKind::Rclone); }},
        {"WebDavApache", [](const std::string&) { return MakeDav(TDavKind::Apache); }},
        {"S3Bucket",
         [](const std::string&) -> std::unique_ptr<TSide> {
             auto side = std::make_unique<TS3Side>("top", "");
             return side->Start() ? std::move(side) : nullptr;
         }},
        {"S3Prefix",
         [](const std::string&) -> std::unique_ptr<TSide> {
             auto side = std::make_unique<TS3Side>("side", "some/prefix");
             return side->Start() ? std::move(side) : nullptr;
         }},
        {"DeviceTop",
         [](const std::string& Scratch) { return std::make_unique<TDeviceSide>(Scratch + "/device", ""); }},
        {"DeviceFolder",
         [](const std::string& Scratch) {
             return std::make_unique<TDeviceSide>(Scratch + "/device", "My Documents");
         }},
    };
    return kinds;
}

// What the scenarios see of both sides: "path=content" for files, "path/" for folders.
inline std::vector<std::string> Contents(const TTree& Tree) {
    std::vector<std::string> out;
    for (const auto& [rel, item] : Tree) out.push_back(item.Folder ? rel + "/" : rel + "=" + item.Content);
    return out;
}

// A side whose every write the test checks.
}  // namespace bfs::test
