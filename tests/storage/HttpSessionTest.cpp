#include "common/LoopbackHttpServer.h"
#include "storage/UTHttpSession.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

using namespace bfs;
using TServer = bfs::test::TLoopbackHttpServer;

TEST(HttpSessionTest, OutcomesOfAGet) {
    const std::string body = "[Version]\r\nVer=2010.1.3\r\n";
    TServer server([&](const std::string& Path) -> TServer::TReply {
        if (Path == "/ok") return {200, body};
        if (Path == "/slow") return {200, body, TServer::TKind::Answer, 250};  // never 400 ms silent
        if (Path == "/missing") return {404, "not here"};
        if (Path == "/moved") return {301};
        if (Path == "/cut") return {200, body, TServer::TKind::Truncate};
        return {0, {}, TServer::TKind::Silent};
    });
    ASSERT_TRUE(server.Started());
    const struct {
        std::string Url;
        int Error;
        long Status;
        std::string Body;
    } cases[] = {
        {server.Url() + "ok", 0, 200, body},
        {server.Url() + "slow", 0, 200, body},
        {server.Url() + "missing", HTTP_STATUS_FAILED, 404, "not here"},
        {server.Url() + "moved", 0, 301, ""},  // reported as it came, not followed
        {server.Url() + "cut", CURLE_PARTIAL_FILE, 200, body.substr(0, body.size() / 2)},
        {server.Url() + "silent", CURLE_OPERATION_TIMEDOUT, 0, ""},
        {TServer::UnusedUrl(), CURLE_COULDNT_CONNECT, 0, ""},
        {"file:///etc/passwd", CURLE_UNSUPPORTED_PROTOCOL, 0, ""},
    };
    THttpSession session;
    session.SetReadTimeout(400);
    for (const auto& c : cases) {
        std::string received;
        const auto start = std::chrono::steady_clock::now();
        const THttpResult r = session.Perform({c.Url}, [&](std::string_view Data) {
            received.append(Data);
            return true;
        });
        EXPECT_EQ(r.Error, c.Error) << c.Url << ": " << r.ErrorText;
        EXPECT_EQ(r.Status, c.Status) << c.Url;
        EXPECT_EQ(received, c.Body) << c.Url;
        EXPECT_EQ(r.ErrorText.empty(), c.Error == 0) << c.Url;
        // Far below the 5 s default: the setting is what ended a silent server.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << c.Url;
    }

    // An exception from the sink comes out of Perform, not through libcurl; the session stays usable.
    EXPECT_THROW(session.Perform({server.Url() + "ok"},
                                 [](std::string_view) -> bool { throw std::runtime_error("full"); }),
                 std::runtime_error);
    EXPECT_EQ(session.Perform({server.Url() + "ok"}, [](std::string_view) { return false; }).Error,
              CURLE_WRITE_ERROR);
    EXPECT_TRUE(session.Perform({server.Url() + "ok"}, {}).Ok());
}

// Abort from another thread ends a waiting transfer at once, and every later one until ResetAbort.
TEST(HttpSessionTest, AbortEndsTheTransfer) {
    TServer server([](const std::string& Path) -> TServer::TReply {
        if (Path == "/ok") return {200, "ok"};
        return {0, {}, TServer::TKind::Silent};
    });
    ASSERT_TRUE(server.Started());
    THttpSession session;
    const auto start = std::chrono::steady_clock::now();
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        session.Abort();
    });
    EXPECT_EQ(session.Perform({server.Url() + "silent"}, {}).Error, SESSION_ABORTED);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(session.Perform({server.Url() + "ok"}, {}).Error, SESSION_ABORTED);
    session.ResetAbort();
    EXPECT_TRUE(session.Perform({server.Url() + "ok"}, {}).Ok());
}
