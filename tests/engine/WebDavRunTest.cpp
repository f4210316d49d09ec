// Whole runs against a WebDAV server whose clock is off, or whose log-on stops working mid-run. The
// server is a real one (rclone, apache); a relay in front of it moves the clock its replies tell.

#include "EngineTestUtil.h"
#include "common/TempFolder.h"
#include "common/TestSides.h"
#include "engine/UTTaskRun.h"
#include "model/UTConsts.h"
#include "model/UTPublicFunc.h"
#include "storage/UTStorageCommon.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace bfs::test {
namespace {

constexpr int64_t HOUR = 3600;

// A relay from 127.0.0.1:Port to a local server, that moves the "Date" of each connection's reply
// by Skew() seconds (asked once per connection) and closes the connection after it, so that every
// request comes on a connection of its own. Interim replies (100 Continue) pass as they are.
class TSkewProxy {
  public:
    TSkewProxy(int TargetPort, std::function<int64_t()> Skew)
        : m_Target(TargetPort), m_Skew(std::move(Skew)) {
        m_Listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = Loopback(0);
        socklen_t len = sizeof addr;
        if (::bind(m_Listen, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(m_Listen, 16) == 0 &&
            ::getsockname(m_Listen, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            Port = ntohs(addr.sin_port);
        m_Accept = std::thread([this] { Accept(); });
    }
    TSkewProxy(const TSkewProxy&) = delete;
    TSkewProxy& operator=(const TSkewProxy&) = delete;
    ~TSkewProxy() {
        m_Stop = true;
        m_Accept.join();
        for (std::thread& t : m_Relays) t.join();
        ::close(m_Listen);
    }

    int Port = 0;

  private:
    static sockaddr_in Loopback(int P) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(P));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return addr;
    }
    static bool SendAll(int Fd, std::string_view Data) {
        while (!Data.empty()) {
            const ssize_t n = ::send(Fd, Data.data(), Data.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            Data.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }
    // The reply head with its Date moved and "Connection: close" in place of any connection header.
    static std::string Rewrite(std::string_view Head, int64_t Skew) {
        std::string out;
        for (size_t at = 0; at < Head.size();) {
            const size_t end = Head.find("\r\n", at);
            const std::string_view line = Head.substr(at, end - at);
            at = end + 2;
            if (line.empty()) break;
            if (line.size() > 5 && (line.starts_with("Date:") || line.starts_with("date:"))) {
                const int64_t date = HttpDateToUnixTime(TrimWhiteSpace(line.substr(5)));
                const time_t moved = static_cast<time_t>(date + Skew);
                tm t{};
                char text[64];
                ::gmtime_r(&moved, &t);
                std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &t);
                out += std::string("Date: ") + text + "\r\n";
            } else if (!StartsWithNoCase(line, "connection:") && !StartsWithNoCase(line, "keep-alive:")) {
                out += std::string(line) + "\r\n";
            }
        }
        return out + "Connection: close\r\n\r\n";
    }

    void Accept() {
        while (!m_Stop) {
            pollfd p{m_Listen, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const int client = ::accept4(m_Listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) m_Relays.emplace_back([this, client] { Relay(client); });
        }
    }

    void Relay(int Client) {
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in addr = Loopback(m_Target);
        const int64_t skew = m_Skew();
        std::string head;  // the server's reply so far, until its final head has passed
        bool passed = false;
        if (::connect(server, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
            char buffer[65536];
            while (!m_Stop) {
                pollfd fds[2] = {{Client, POLLIN, 0}, {server, POLLIN, 0}};
                if (::poll(fds, 2, 100) <= 0) continue;
                if (fds[0].revents) {
                    const ssize_t n = ::recv(Client, buffer, sizeof buffer, 0);
                    if (n <= 0 || !SendAll(server, {buffer, static_cast<size_t>(n)})) break;
                }
                if (fds[1].revents) {
                    const ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
                    if (n <= 0) break;
                    if (passed) {
                        if (!SendAll(Client, {buffer, static_cast<size_t>(n)})) break;
                        continue;
                    }
                    head.append(buffer, static_cast<size_t>(n));
                    for (size_t end; !passed && (end = head.find("\r\n\r\n")) != std::string::npos;) {
                        const std::string_view one(head.data(), end + 4);
                        const bool interim = one.size() > 9 && one[9] == '1';  // "HTTP/1.1 1xx"
                        if (!SendAll(Client, interim ? std::string(one) : Rewrite(one, skew))) break;
                        head.erase(0, end + 4);
                        passed = !interim;
                    }
                    if (passed && !SendAll(Client, head)) break;
                }
            }
        }
        ::close(server);
        ::close(Client);
    }

    int m_Target;
    std::function<int64_t()> m_Skew;
    int m_Listen = -1;
    std::atomic<bool> m_Stop{false};
    std::thread m_Accept;
    std::vector<std::thread> m_Relays;  // the accepting thread's own
};

struct TRun {
    std::vector<std::string> Log, Conflicts;
};

// One whole run of Task, as the command line makes it.
TRun RunTask(TSyncTask& Task, const std::function<void()>& BeforeSync = {}) {
    TTaskRun run(Task);
    TRun out;
    EXPECT_EQ(run.StartScan(), 0) << run.ErrorText;
    if (!run.ErrorText.empty()) return out;
    EXPECT_EQ(run.FinishScan(), 0);
    EXPECT_EQ(run.Analyze(), 0) << run.ErrorText;
    out.Conflicts = run.ConflictLines;
    if (BeforeSync) BeforeSync();
    run.Sync([&](const std::string& Line) { out.Log.push_back(Line); });
    return out;
}

std::vector<std::string> ErrorLines(const std::vector<std::string>& Log) {
    std::vector<std::string> errors;
    for (const std::string& line : Log)
        if (line.starts_with("Error")) errors.push_back(line);
    return errors;
}

void MakeNewerWins(TSyncTask& Task) {
    Task.SyncName = "Task";
    Task.SyncID = "T1";
    Task.SyncDirection = 0;
    Task.AutoRun = 1;
    Task.Conflicts = 1;  // newer wins
}

// Both sides edited a file since the last run. A server whose clock is off dates its edit by that
// clock; taken against this computer's clock (the replies' dates), the edit made later wins. A
// server whose replies tell clocks hours apart gives no offset to go by: the pair is held as a
// conflict and both edits stay.
TEST(WebDavRunTest, NewerWinsOnOneClock) {
    BFS_REQUIRE_PROGRAM(HTPASSWD);
    BFS_REQUIRE_PROGRAM(RCLONE);
    const struct {
        const char* What;
        std::function<int64_t(int)> Skew;  // of the N-th connection
        // From now: the date the server gives its edit (made an hour or two ago, on its clock) and
        // the local edit's.
        int64_t ServerDate, LocalEdit;
        const char* Left;
        const char* Right;
        bool Conflict;
    } cases[] = {
        {"5 hours fast, the local edit later", [](int) { return 5 * HOUR; }, 3 * HOUR, -HOUR, "local",
         "local", false},
        {"3 hours slow, the server's edit later", [](int) { return -3 * HOUR; }, -4 * HOUR, -2 * HOUR,
         "server", "server", false},
        {"fast by turns", [](int N) { return N % 2 ? 5 * HOUR : 0; }, 3 * HOUR, -HOUR, "local", "server",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const TTempHome home;  // task locks and local states of its own
        TWebDavServer server;
        ASSERT_TRUE(server.Start(TDavKind::Rclone)) << "the server did not start";
        std::atomic<int> connections{0};
        TSkewProxy proxy(server.Port, [&] { return c.Skew(connections++); });
        ASSERT_NE(proxy.Port, 0);
        TTempFolder scratch;
        TLocalSide left(scratch.Path + "/left");
        TServedSide right(server.Files + "/side", nullptr, DEVICE_WEBDAV,
                          "http://127.0.0.1:" + std::to_string(proxy.Port) + "/side", DAV_USER, DAV_PASS);
        TSyncTask task;
        MakeNewerWins(task);
        left.Configure(*task.LFolder);
        right.Configure(*task.RFolder);
        const int64_t now = std::time(nullptr);
        ASSERT_TRUE(left.Write("/a.txt", "first", now - 5 * HOUR));
        EXPECT_TRUE(ErrorLines(RunTask(task).Log).empty());
        ASSERT_EQ(right.Read("/a.txt"), "first");
        ASSERT_TRUE(right.Write("/a.txt", "server", now + c.ServerDate));
        ASSERT_TRUE(left.Write("/a.txt", "local", now + c.LocalEdit));
        const TRun run = RunTask(task);
        EXPECT_TRUE(ErrorLines(run.Log).empty());
        EXPECT_EQ(run.Conflicts.empty(), !c.Conflict);
        EXPECT_EQ(left.Read("/a.txt"), c.Left);
        EXPECT_EQ(right.Read("/a.txt"), c.Right);
    }
}

// A log-on the server stops taking after the analysis fails the rows, and their Error lines say so.
TEST(WebDavRunTest, LogOnRefusedMidRunIsNamed) {
    BFS_REQUIRE_PROGRAM(HTPASSWD);
    BFS_REQUIRE_PROGRAM(APACHE2);
    if (::geteuid() != 0) GTEST_SKIP() << "apache2 needs root to serve as www-data";
    const TTempHome home;
    TWebDavServer server;
    ASSERT_TRUE(server.Start(TDavKind::Apache)) << "the server did not start";
    TTempFolder scratch;
    TLocalSide left(scratch.Path + "/left");
    auto own = [&server](const std::string& Path) { server.Own(Path); };
    TServedSide right(server.Files + "/side", own, DEVICE_WEBDAV, server.Address("/side"), DAV_USER,
                      DAV_PASS);
    TSyncTask task;
    MakeNewerWins(task);
    left.Configure(*task.LFolder);
    right.Configure(*task.RFolder);
    ASSERT_TRUE(left.Write("/up.txt", "up", std::time(nullptr) - HOUR));
    ASSERT_TRUE(right.Write("/down.txt", "down", std::time(nullptr) - HOUR));
    const TRun run = RunTask(task, [&] {
        // The server's users file now names no one: every request is refused (401).
        std::ofstream(server.Files + "/../users", std::ios::trunc).flush();
    });
    const std::vector<std::string> errors = ErrorLines(run.Log);
    // The upload's target cannot be looked up; the download's source cannot be read.
    for (const char* row : {"Error could not be looked up: http://", "Error Copy:http://"}) {
        EXPECT_TRUE(std::any_of(errors.begin(), errors.end(),
                                [row](const std::string& Line) {
                                    return Line.starts_with(row) && Line.ends_with(" (log-on refused)");
                                }))
            << row << " in " << ::testing::PrintToString(errors);
    }
    EXPECT_EQ(right.Read("/up.txt"), "");
    EXPECT_EQ(left.Read("/down.txt"), "");
}

}  // namespace
}  // namespace bfs::test
