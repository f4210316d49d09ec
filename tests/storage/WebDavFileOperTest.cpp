#include "common/LoopbackHttpServer.h"
#include "common/TempFolder.h"
#include "common/TestServers.h"
#include "model/UTConsts.h"
#include "model/UTDosTime.h"
#include "model/UTFolderForm.h"
#include "model/UTListOrder.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTLocalFile.h"
#include "storage/UTHttpSession.h"
#include "storage/UTWebDavFileOper.h"
#include "storage/UTWebDavRequests.h"
#include "storage/webdavxml.h"
#include "tests/storage/ContractTest.h"
#include "tests/storage/NetCutProxy.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace bfs::test {
namespace {

// "<a/>" repeated to fill Size bytes: the elements that cost a document the most per byte.
std::string TinyElements(size_t Size) {
    std::string text;
    text.reserve(Size);
    while (text.size() < Size) text += "<a/>";
    return text;
}

// Skips (or under CI fails) the calling test when a server of this kind cannot run here; check
// ::testing::Test::IsSkipped() / HasFatalFailure() after it.
void RequireDavServer(TDavKind Kind) {
    BFS_REQUIRE_PROGRAM(HTPASSWD);
    if (Kind == TDavKind::Rclone) {
        BFS_REQUIRE_PROGRAM(RCLONE);
    } else {
        BFS_REQUIRE_PROGRAM(APACHE2);
        if (::geteuid() != 0) GTEST_SKIP() << "apache2 needs root to serve as www-data";
    }
}

std::unique_ptr<TFileOper> DavSide(const std::string& Address, const std::string& Password = DAV_PASS) {
    auto oper = CreateWebDavFileOper(false);
    oper->FFolderSource->DeviceType = DEVICE_WEBDAV;
    oper->FFolderSource->FolerAllName = Address;
    oper->FFolderSource->UserName = DAV_USER;
    oper->FFolderSource->PWD = Password;
    return oper;
}

// A contract side: a fresh server whose folder "/side" is the side's root. Neither server lets a
// client set a file's time.
TContractSide MakeDavSide(TDavKind Kind) {
    RequireDavServer(Kind);
    if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure()) return {};
    auto server = std::make_shared<TWebDavServer>();
    if (!server->Start(Kind)) {
        ADD_FAILURE() << "the WebDAV server did not start";
        return {};
    }
    const std::string root = server->Files + "/side";
    ::mkdir(root.c_str(), 0755);
    server->Own(root);
    TContractSide side;
    side.Oper = DavSide(server->Address("/side"));
    side.Dispose = [server]() mutable { server.reset(); };
    side.SetsDates = false;
    return side;
}

const bool g_DavContract =
    (RegisterFileOperContract("WebDavRclone", [] { return MakeDavSide(TDavKind::Rclone); }),
     RegisterFileOperContract("WebDavApache", [] { return MakeDavSide(TDavKind::Apache); }), true);

#define BFS_START_DAV(Server, Kind, ...)                                                            \
    do {                                                                                            \
        RequireDavServer(Kind);                                                                     \
        if (IsSkipped() || HasFatalFailure()) return;                                               \
        ASSERT_TRUE((Server).Start(Kind __VA_OPT__(, ) __VA_ARGS__)) << "the server did not start"; \
    } while (0)

TEST(WebDavAddressTest, RoutinesOnAddresses) {
    const struct {
        const char* Address;
        bool Parsed;
        const char* Origin;
        const char* Path;
        const char* Host;
        const char* Server;
        const char* First;
    } cases[] = {
        {"http://host/dav/files", true, "http://host", "/dav/files", "host", "dav/files", "dav"},
        {"http://host", true, "http://host", "", "host", "", ""},
        {" HTTPS://Host:8443/a/ ", true, "https://Host:8443", "/a", "Host:8443", "a", "a"},
        {"https://host:443/x", true, "https://host", "/x", "host", "x", "x"},
        {"host:8080/my files/", true, "http://host:8080", "/my files", "host:8080", "my files", "my files"},
        {"http://[::1]:81/d", true, "http://[::1]:81", "/d", "[::1]:81", "d", "d"},
        {"http://host/d /", true, "http://host", "/d ", "host", "d ", "d "},
        {"ftp://host/x", false, "", "", "", "", ""},
        {"http://user:pw@host/x", false, "", "", "", "", ""},
        {"http://host:0/x", false, "", "", "", "", ""},
        {"http://:80/x", false, "", "", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Address);
        TWebDavAddress a, f;
        ASSERT_EQ(ParseWebDavAddress(c.Address, a), c.Parsed);
        EXPECT_EQ(UrlHost(c.Address), c.Host);
        EXPECT_EQ(ServerPath(c.Address), c.Server);
        EXPECT_EQ(FirstPathSegment(c.Address), c.First);
        if (!c.Parsed) continue;
        EXPECT_EQ(a.Origin(), c.Origin);
        EXPECT_EQ(a.Path, c.Path);
        // The address's one form (a saved state's root) names the same server and folder.
        EXPECT_TRUE(ParseWebDavAddress(FolderAddressForm(DEVICE_WEBDAV, c.Address), f));
        EXPECT_EQ(FoldName(f.Origin()) + f.Path, FoldName(a.Origin()) + a.Path);
    }
}

TEST(WebDavAddressTest, EncodingRoundTrips) {
    const struct {
        const char* Path;
        const char* Encoded;
    } cases[] = {
        {"/a b/c+d", "/a%20b/c%2Bd"},
        {"/x#1%2?.txt", "/x%231%252%3F.txt"},
        {"/\xC3\xA9t\xC3\xA9~_-.", "/%C3%A9t%C3%A9~_-."},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodePath(c.Path), c.Encoded);
        EXPECT_EQ(DecodePath(c.Encoded), c.Path);
    }
    EXPECT_EQ(DecodePath("/a%2fb%c3%a9+%zz%4"), "/a/b\xC3\xA9+%zz%4");  // lower case; broken ones kept
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("user:p\xC3\xA4ss"), "dXNlcjpww6Rzcw==");
}

// The two servers' forms of the same listing, and replies that must never list.
TEST(WebDavReplyTest, ParsesBothServersAndRefusesHostileReplies) {
    TScopedEnv tz("TZ", "UTC");
    ::tzset();
    ResetLocalTimeCache();
    const std::string rclone =
        R"(<?xml version="1.0" encoding="UTF-8"?><D:multistatus xmlns:D="DAV:"><D:response><D:href>/dav/a%20b+%23%25%3F%C3%A9.txt</D:href><D:propstat><D:prop><D:displayname>ignored</D:displayname><D:getlastmodified>Mon, 07 Dec 2026 14:38:07 GMT</D:getlastmodified><D:resourcetype></D:resourcetype><D:getcontentlength>5368709120</D:getcontentlength></D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response><D:response><D:href>/dav/</D:href><D:propstat><D:prop><D:resourcetype><D:collection xmlns:D="DAV:"/></D:resourcetype></D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response></D:multistatus>)";
    const std::string apache = R"(<?xml version="1.0" encoding="utf-8"?>
<D:multistatus xmlns:D="DAV:" xmlns:ns0="DAV:">
<D:response xmlns:lp1="DAV:"><D:href>/dav/</D:href><D:propstat><D:prop>
<lp1:resourcetype><D:collection/></lp1:resourcetype></D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>
<D:response xmlns:lp1="DAV:"><D:href>http://h:81/dav/sub/</D:href><D:propstat><D:prop>
<lp1:resourcetype><D:collection/></lp1:resourcetype><lp1:getlastmodified>junk</lp1:getlastmodified></D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat>
<D:propstat><D:prop><lp1:getcontentlength/></D:prop><D:status>HTTP/1.1 404 Not Found</D:status></D:propstat></D:response>
<D:response xmlns:lp1="DAV:"><D:href>/dav/a%20b+%23%25%3f%c3%a9.txt</D:href><D:propstat><D:prop>
<lp1:resourcetype/><lp1:getcontentlength>6</lp1:getcontentlength></D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>
<D:response xmlns:lp1="DAV:"><D:href>/dav/..</D:href><D:propstat><D:prop><lp1:resourcetype/></D:prop></D:propstat></D:response>
</D:multistatus>)";
    const std::string name = "a b+#%?\xC3\xA9.txt";
    std::vector<TFileAttri> e;
    ASSERT_TRUE(ParseMultistatus(rclone, "/dav", e));
    ASSERT_EQ(e.size(), 2u);
    EXPECT_TRUE(e[0].Path == "/dav" && e[0].IsFolder == 1);  // known by its href, not by coming first
    EXPECT_TRUE(e[1].Name == name && e[1].Path == "/dav/" + name && e[1].IsFolder == 0);
    EXPECT_EQ(e[1].Size, 5368709120);
    EXPECT_EQ(e[1].FileDate, UnixTimeToDosDate(1796654287));

    ASSERT_TRUE(ParseMultistatus(apache, "/dav/", e));
    ASSERT_EQ(e.size(), 3u);  // ".." left out
    EXPECT_TRUE(e[1].Name == "sub" && e[1].IsFolder == 1 && e[1].Size == 0 && e[1].FileDate == 0);
    EXPECT_TRUE(e[2].Name == name && e[2].Size == 6 && e[2].FileDate == 0);

    const std::string head = R"(<?xml version="1.0"?>)";
    // One response; a file unless Props give the resource type.
    const auto one = [&](const std::string& Href, const std::string& Props) {
        const std::string type = Props.find("resourcetype") == std::string::npos ? "<resourcetype/>" : "";
        return head + R"(<multistatus xmlns="DAV:"><response><href>)" + Href + "</href><propstat><prop>" +
               type + Props + "</prop></propstat></response></multistatus>";
    };
    EXPECT_TRUE(ParseMultistatus(one("/dav/x", "<getcontentlength>3</getcontentlength>"), "/dav", e));
    EXPECT_TRUE(e.size() == 1 && e[0].Size == 3 && e[0].IsFolder == 0);  // a default namespace
    // A missing self entry is no failure; a resource type of another namespace is no folder.
    EXPECT_TRUE(ParseMultistatus(
        one("/dav/x", R"(<resourcetype><o:collection xmlns:o="other"/></resourcetype>)"), "/dav", e));
    EXPECT_EQ(e.at(0).IsFolder, 0);
    // Latin-1 as declared.
    EXPECT_TRUE(ParseMultistatus(R"(<?xml version="1.0" encoding="ISO-8859-1"?>)" +
                                     one("/dav/x", "<displayname>\xE9</displayname>").substr(head.size()),
                                 "/dav", e));
    // A name given again is read once, where it came first; the queried folder comes first wherever
    // it stands.
    std::string repeated = head + R"(<multistatus xmlns="DAV:">)";
    for (const auto& [href, size] : std::vector<std::pair<std::string, int>>{
             {"/dav/b", 1}, {"/dav/a", 2}, {"/dav/", 0}, {"/dav/b", 3}, {"/dav/a", 4}, {"/dav/c", 5}})
        repeated += "<response><href>" + href + "</href><propstat><prop><resourcetype/><getcontentlength>" +
                    std::to_string(size) + "</getcontentlength></prop></propstat></response>";
    ASSERT_TRUE(ParseMultistatus(repeated + "</multistatus>", "/dav", e));
    ASSERT_EQ(e.size(), 4u);
    EXPECT_TRUE(e[0].Path == "/dav" && e[1].Name == "b" && e[1].Size == 1 && e[2].Name == "a" &&
                e[2].Size == 2 && e[3].Name == "c");
    const std::string hostile[] = {
        "",
        "not xml at all",
        "<?xml version=\"1.0\"?><D:multistatus xmlns:D=\"other:\"/>",
        one("/elsewhere/x", ""),
        one("/dav/sub/deeper", ""),
        one("dav/x", ""),
        one("/dav/x", "<getcontentlength>12abc</getcontentlength>"),
        one("/dav/x", "<getcontentlength>-1</getcontentlength>"),
        one("/dav/x", "<getlastmodified>Someday</getlastmodified>"),
        one("/dav/x", std::string(100000, '<')),
        head + "<multistatus xmlns=\"DAV:\">" + std::string(20000, 'x') + "<response>",
        // Tiny elements would cost sixteen times the reply's size: more than a reply may take.
        head + "<multistatus xmlns=\"DAV:\">" + TinyElements(2 << 20) + "</multistatus>",
        // Resources the server could not describe may be there: no listing without them.
        head + R"(<multistatus xmlns="DAV:"><response><href>/dav/x</href><prop/></response></multistatus>)",
        head + R"(<multistatus xmlns="DAV:"><response><href>/dav/x</href><status>HTTP/1.1 403 No</status>)" +
            "</response></multistatus>",
    };
    for (const std::string& text : hostile) {
        e.resize(1);
        EXPECT_FALSE(ParseMultistatus(text, "/dav", e)) << text.substr(0, 120);
        EXPECT_TRUE(e.empty());
    }
    ::unsetenv("TZ");
    ::tzset();
    ResetLocalTimeCache();
}

TEST(WebDavReplyTest, DatesAreUtcShownInLocalTimeWithSummerTime) {
    TScopedEnv tz("TZ", "Europe/Berlin");
    ::tzset();
    ResetLocalTimeCache();
    EXPECT_EQ(ParseHttpDate("Mon, 01 Jan 2024 00:00:00 GMT"), UnixTimeToDosDate(1704067200));
    EXPECT_EQ(ParseHttpDate("Mon, 01 Jul 2024 12:00:00 GMT"), UnixTimeToDosDate(1719835200));
    EXPECT_EQ((ParseHttpDate("Mon, 01 Jul 2024 12:00:00 GMT") >> 11) & 31, 14);  // UTC+2 in summer
    EXPECT_EQ((ParseHttpDate("Mon, 01 Jan 2024 12:00:00 GMT") >> 11) & 31, 13);  // UTC+1 in winter
    EXPECT_EQ(ParseHttpDate("01 Jan 2024"), 0);
    EXPECT_EQ(HttpDateToUnixTime(" Tue, 14 Nov 2023 22:13:21 GMT"), 1700000001);  // the second itself
    for (const char* other :
         {"Tue, 14 Nov 2023 22:13:21 CET", "Tue, 32 Nov 2023 22:13:21 GMT", "14 Nov 2023"})
        EXPECT_EQ(HttpDateToUnixTime(other), -1) << other;
    ::unsetenv("TZ");
    ::tzset();
    ResetLocalTimeCache();
}

// Replies of many responses, propstats or properties read in one walk each: a quadratic reader
// would spend many minutes on these (the run's time-out is the guard; no time is asserted).
TEST(WebDavReplyTest, HugeRepliesReadInOnePass) {
    const std::string head = R"(<?xml version="1.0"?><D:multistatus xmlns:D="DAV:">)";
    const std::string self =
        R"(<D:response><D:href>/dav/</D:href><D:propstat><D:prop><D:resourcetype><D:collection/>)"
        R"(</D:resourcetype></D:prop></D:propstat></D:response>)";
    const auto repeat = [](const std::string& Piece, size_t Times) {
        std::string text;
        text.reserve(Piece.size() * Times);
        for (size_t k = 0; k < Times; ++k) text += Piece;
        return text;
    };
    const std::string refused =
        "<D:propstat><D:prop/><D:status>HTTP/1.1 404 Not Found</D:status></D:propstat>";
    const std::string found =
        "<D:propstat><D:prop><D:resourcetype/><D:getcontentlength>7</D:getcontentlength>"
        "</D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat>";
    // Each response binds its own prefix, as some servers write them.
    std::string files;
    for (int k = 0; k < 100000; ++k)
        files += R"(<D:response xmlns:p="DAV:"><D:href>/dav/f)" + std::to_string(k) +
                 "</D:href><D:propstat><p:prop><p:resourcetype/><p:getcontentlength>" + std::to_string(k) +
                 "</p:getcontentlength></p:prop></D:propstat></D:response>";
    const struct {
        const char* What;
        std::string Text;
        size_t Entries;
        int64_t LastSize;
    } cases[] = {
        {"100,000 propstats of one response, the found one last",
         head + self + "<D:response><D:href>/dav/x</D:href>" + repeat(refused, 100000) + found +
             "</D:response></D:multistatus>",
         2, 7},
        {"100,000 properties of one prop",
         head + self + "<D:response><D:href>/dav/x</D:href><D:propstat><D:prop>" +
             repeat("<D:displayname>n</D:displayname>", 100000) +
             "<D:resourcetype/><D:getcontentlength>9</D:getcontentlength></D:prop></D:propstat></D:response>"
             "</D:multistatus>",
         2, 9},
        {"100,000 responses", head + self + files + "</D:multistatus>", 100001, 99999},
    };
    for (const auto& c : cases) {
        std::vector<TFileAttri> e;
        ASSERT_TRUE(ParseMultistatus(c.Text, "/dav", e)) << c.What;
        ASSERT_EQ(e.size(), c.Entries) << c.What;
        EXPECT_TRUE(e[0].IsFolder == 1 && e.back().IsFolder == 0 && e.back().Size == c.LastSize) << c.What;
    }
}

// Where the servers answer differently, our results are the same on both.
TEST(WebDavServerTest, ServersDifferOurResultsDoNot) {
    for (const TDavKind kind : {TDavKind::Rclone, TDavKind::Apache}) {
        SCOPED_TRACE(kind == TDavKind::Rclone ? "rclone" : "apache");
        TWebDavServer server;
        BFS_START_DAV(server, kind);
        TWebDavClient client;
        client.SetLogOn(DAV_USER, DAV_PASS);
        const std::string base = server.Address();
        const bool apache = kind == TDavKind::Apache;
        const auto text = [](const char* T) {
            return [T]() -> THttpSource {
                return [T, done = false](char* B, size_t) mutable -> int64_t {
                    if (done) return 0;
                    done = true;
                    std::memcpy(B, T, 3);
                    return 3;
                };
            };
        };
        EXPECT_EQ(client.Mkcol(base + "/d/").Status, 201);
        EXPECT_EQ(client.Mkcol(base + "/d/").Status, apache ? 405 : 201);
        EXPECT_EQ(client.Move(base + "/none", base + "/n2", false).Status, apache ? 404 : 403);
        EXPECT_EQ(client.Put(base + "/no/x", text("abc"), 3).Status, apache ? 409 : 404);
        EXPECT_EQ(client.Put(base + "/d/x", text("abc"), 3).Status, 201);

        auto oper = DavSide(server.Address());
        ASSERT_EQ(oper->Connect(), 0);
        EXPECT_EQ(oper->MakeDir("/d"), 0);  // an existing folder, whatever the server answered
        EXPECT_EQ(oper->RenameFile(oper->GetFullPath(*oper->FFolderSource, Entry("/", "none")),
                                   oper->GetFullPath(*oper->FFolderSource, Entry("/", "n2"))),
                  apache ? 1 : 403);  // 404 is "not found"; any other refusal its status
        EXPECT_NE(oper->WriteStreamToFile("abc", *oper->FFolderSource, Entry("/d/x/", "y"), false), 0);
        EXPECT_EQ(oper->RemoveDir(*oper->FFolderSource, Entry("/", "d"), false), -3);  // not empty: no DELETE
        EXPECT_TRUE(std::filesystem::exists(server.Files + "/d/x"));
        EXPECT_EQ(client.Delete(base + "/d/").Status, 204);  // what RemoveDir refused: all of it goes
        EXPECT_FALSE(std::filesystem::exists(server.Files + "/d"));
    }
}

// Names with blanks, "+", "#", "%", "?" and non-ASCII go through PUT, PROPFIND, MOVE and DELETE.
TEST(WebDavServerTest, AwkwardNamesRoundTrip) {
    for (const TDavKind kind : {TDavKind::Rclone, TDavKind::Apache}) {
        SCOPED_TRACE(kind == TDavKind::Rclone ? "rclone" : "apache");
        TWebDavServer server;
        BFS_START_DAV(server, kind);
        TTempFolder scratch;
        auto oper = DavSide(server.Address());
        ASSERT_EQ(oper->Connect(), 0);
        const std::string folder = "f #1%", a = "a b+#%?\xC3\xA9.txt", b = "b %20+?#\xE2\x82\xAC.txt";
        const std::string local = scratch.Path + "/src";
        WriteDated(local, "four", 1700000000);
        ASSERT_EQ(oper->PutFile(local, *oper->FFolderSource,
                                Entry("/" + folder + "/", a, 4, UnixTimeToDosDate(1700000000)), 0, false),
                  0);
        EXPECT_TRUE(std::filesystem::exists(server.Files + "/" + folder + "/" + a));
        ASSERT_EQ(oper->ListFolder(), 0);
        const TFileTree* f = Child(*oper->FFileTree, folder);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(ChildNames(*f), std::vector<std::string>{a});
        TFolderSource& side = *oper->FFolderSource;
        EXPECT_EQ(oper->RenameFile(oper->GetFullPath(side, Entry("/" + folder + "/", a)),
                                   oper->GetFullPath(side, Entry("/" + folder + "/", b))),
                  0);
        EXPECT_TRUE(std::filesystem::exists(server.Files + "/" + folder + "/" + b));
        EXPECT_EQ(oper->DeleteFile(side, Entry("/" + folder + "/", b), false), 0);
        EXPECT_EQ(oper->RemoveDir(side, Entry("/", folder), false), 0);
        EXPECT_FALSE(std::filesystem::exists(server.Files + "/" + folder));
    }
}

TEST(WebDavServerTest, ConnectFailuresSayWhy) {
    TWebDavServer server;
    BFS_START_DAV(server, TDavKind::Rclone);
    const struct {
        std::string Address, Password;
        int32_t Result;
        const char* Reason;
    } cases[] = {
        {server.Address("/missing"), DAV_PASS, 1, "folder not found"},
        {server.Address(), "wrong", 401, "log-on refused"},
        {TLoopbackHttpServer::UnusedUrl() + "dav", DAV_PASS, 2, "server not reachable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Address);
        auto oper = DavSide(c.Address, c.Password);
        EXPECT_EQ(oper->Connect(), c.Result);
        EXPECT_EQ(oper->FailureText, c.Reason);
        EXPECT_EQ(oper->ListFolder(), 1);
        EXPECT_TRUE(oper->FFileTree->NotListed);
    }
}

// A GET that is refused writes nothing; a compressed, chunked one arrives whole.
TEST(WebDavServerTest, DownloadsOnlyWholeFiles) {
    TWebDavServer server;
    BFS_START_DAV(server, TDavKind::Apache, DAV_USER, DAV_PASS, TDavOptions{true, false});
    TTempFolder scratch;
    std::string big;
    // Text that compresses to more than the server holds back before it starts sending.
    for (unsigned i = 0, x = 1; i < 50000; ++i)
        big += "line " + std::to_string(x = x * 1103515245u + 12345u) + "\n";
    ASSERT_EQ(WriteFileAtomic(server.Files + "/big.txt", big), 0);
    server.Own(server.Files);
    auto oper = DavSide(server.Address());
    ASSERT_EQ(oper->Connect(), 0);
    TFolderSource& side = *oper->FFolderSource;

    const std::string target = scratch.Path + "/kept.txt";
    ASSERT_EQ(WriteFileAtomic(target, "mine"), 0);
    EXPECT_EQ(oper->GetFile(target, side, Entry("/", "missing.txt", 4), 0, false), 1);
    std::string read;
    ReadWholeFile(target, read);
    EXPECT_EQ(read, "mine");
    EXPECT_EQ(std::filesystem::directory_iterator(scratch.Path)->path().filename(), "kept.txt");

    // The server does compress and chunk it.
    THttpSession session;
    THttpRequest r(server.Address("/big.txt"));
    r.UserName = DAV_USER;
    r.Password = DAV_PASS;
    r.AcceptEncoding = "gzip";
    std::string headers;
    r.OnReply = [&headers](std::string_view Line) { headers += std::string(Line) + "\n"; };
    ASSERT_TRUE(session.Perform(r, {}).Ok());
    EXPECT_NE(headers.find("Content-Encoding: gzip"), std::string::npos) << headers;
    EXPECT_NE(headers.find("Transfer-Encoding: chunked"), std::string::npos) << headers;

    EXPECT_EQ(oper->GetFile(target, side, Entry("/", "big.txt", static_cast<int64_t>(big.size())), 0, false),
              0);
    ReadWholeFile(target, read);
    EXPECT_EQ(read, big);
    EXPECT_EQ(oper->GetFile(target, side, Entry("/", "big.txt", 10), 0, false), RESULT_SOURCE_CHANGED);
}

TEST(WebDavServerTest, DigestLogOn) {
    TWebDavServer server;
    BFS_START_DAV(server, TDavKind::Apache, DAV_USER, DAV_PASS, TDavOptions{false, true});
    TTempFolder scratch;
    auto oper = DavSide(server.Address());
    ASSERT_EQ(oper->Connect(), 0);
    const std::string local = scratch.Path + "/src";
    WriteDated(local, "digest body", 1700000000);
    EXPECT_EQ(oper->PutFile(local, *oper->FFolderSource,
                            Entry("/", "d.txt", 11, UnixTimeToDosDate(1700000000)), 0, false),
              0);
    EXPECT_EQ(oper->GetFileSize(oper->GetFullPath(*oper->FFolderSource, Entry("/", "d.txt"))), 11);
    EXPECT_EQ(DavSide(server.Address(), "wrong")->Connect(), 401);
}

// A reply that is no listing leaves the side unlisted, never crashes; Connect asks once.
TEST(WebDavServerTest, UnreadableRepliesAreListingErrors) {
    std::string reply = "<html>not a listing</html>";
    TLoopbackHttpServer server(
        [&reply](const std::string&) { return TLoopbackHttpServer::TReply(207, reply); });
    ASSERT_TRUE(server.Started());
    auto oper = DavSide(server.Url() + "dav");
    EXPECT_EQ(oper->Connect(), -1);
    EXPECT_EQ(oper->FailureText, "the server's reply is no folder listing");
    reply =
        R"(<?xml version="1.0"?><D:multistatus xmlns:D="DAV:">)" + TinyElements(2 << 20) + "</D:multistatus>";
    EXPECT_EQ(oper->Connect(), -1);
    EXPECT_EQ(oper->FailureText, "the server's reply holds too many elements to read");
    reply =
        R"(<?xml version="1.0"?><D:multistatus xmlns:D="DAV:"><D:response><D:href>/dav/</D:href><D:propstat><D:prop><D:resourcetype><D:collection/></D:resourcetype></D:prop></D:propstat></D:response><D:response><D:href>/dav/sub/</D:href><D:propstat><D:prop><D:resourcetype><D:collection/></D:resourcetype></D:prop></D:propstat></D:response></D:multistatus>)";
    EXPECT_EQ(oper->Connect(), 0);
    const int asked = server.Requests();
    EXPECT_EQ(oper->Connect(), 0);
    EXPECT_EQ(server.Requests(), asked);
    const std::vector<TFileAttri>& root = WebDavBrowserOf(*oper)->RootEntries();
    ASSERT_EQ(root.size(), 2u);
    EXPECT_TRUE(root[1].Name == "sub" && root[1].IsFolder == 1 && root[1].Path == server.Url() + "dav/sub");
    // "/dav/sub/" answers with the root's listing: neither it nor anything in it is its own.
    EXPECT_EQ(oper->ListFolder(), 1);
    ASSERT_EQ(ChildNames(*oper->FFileTree), std::vector<std::string>{"sub"});
    EXPECT_TRUE(oper->FFileTree->Children[0]->NotListed);
}

// What failed writers left goes with the next listing (listed folders, the top of the marker
// folder); an upload still running keeps its file: the server refuses to delete it (rclone answers
// 423), which is logged, and drops the part itself once the upload fails.
TEST(WebDavServerTest, LeftoversGoButNotARunningUpload) {
    TWebDavServer server;
    BFS_START_DAV(server, TDavKind::Rclone);
    TTempFolder scratch;
    const TScopedEnv config("XDG_CONFIG_HOME", scratch.Path);
    const std::string files = server.Files, marker = std::string("/") + MARKER_FOLDER;
    const std::vector<std::string> left = {"/" + NewReservedName(), "/sub/" + NewReservedName(),
                                           marker + "/" + NewReservedName()};
    for (const std::string& l : left) {
        std::filesystem::create_directories(std::filesystem::path(files + l).parent_path());
        ASSERT_EQ(WriteFileAtomic(files + l, "left"), 0);
    }
    auto proxy = std::make_unique<TCutProxy>(server.Port);
    auto uploader = DavSide("http://127.0.0.1:" + std::to_string(proxy->Port));
    ASSERT_EQ(uploader->Connect(), 0);
    WriteDated(scratch.Path + "/big", std::string(32 << 20, 'x'), 1700000000);
    const TFileAttri temp =
        uploader->TempEntryFor(Entry("/", "big", 32 << 20, UnixTimeToDosDate(1700000000)));
    proxy->CutAfter(16 << 20);  // the server goes on waiting for the rest
    EXPECT_NE(uploader->PutFile(scratch.Path + "/big", *uploader->FFolderSource, temp, 0, false), 0);
    const std::string running = files + "/" + temp.Name;

    auto oper = DavSide(server.Address());
    ASSERT_TRUE(oper->Connect() == 0 && oper->ListFolder() == 0);
    EXPECT_EQ(ChildNames(*oper->FFileTree), (std::vector<std::string>{"sub"}));
    for (const std::string& l : left) EXPECT_FALSE(std::filesystem::exists(files + l)) << l;
    EXPECT_TRUE(std::filesystem::exists(running));
    std::string log;
    ReadWholeFile(scratch.Path + "/bramlow-file-sync/ErrorInfo.txt", log);
    EXPECT_NE(log.find("Cannot remove leftover " + server.Address("/" + temp.Name)), std::string::npos)
        << log;
    proxy.reset();
    // The bound only keeps a failure from hanging the test.
    for (int i = 0; i < 200 && std::filesystem::exists(running); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(oper->ListFolder(), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(running));
}

// A download is made as a plain copy makes a file (0666 less the umask), dated with the very second
// the server gives the file, not that second rounded down to an even one.
TEST(WebDavServerTest, DownloadsKeepTheServersSecondAndAPlainMode) {
    for (const TDavKind kind : {TDavKind::Rclone, TDavKind::Apache}) {
        SCOPED_TRACE(kind == TDavKind::Rclone ? "rclone" : "apache");
        TWebDavServer server;
        BFS_START_DAV(server, kind);
        TTempFolder scratch;
        WriteDated(server.Files + "/odd.txt", "odd", 1700000001);
        server.Own(server.Files);
        auto oper = DavSide(server.Address());
        ASSERT_TRUE(oper->Connect() == 0 && oper->ListFolder() == 0);
        const std::string local = scratch.Path + "/odd.txt";
        const mode_t old = ::umask(027);
        EXPECT_EQ(
            oper->GetFile(local, *oper->FFolderSource, *Child(*oper->FFileTree, "odd.txt")->Data, 0, false),
            0);
        ::umask(old);
        struct stat st {};
        ASSERT_EQ(::stat(local.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_TRUE(st.st_mtim.tv_sec == 1700000001 && st.st_mtim.tv_nsec == 0) << st.st_mtim.tv_sec;
    }
}

}  // namespace
}  // namespace bfs::test
