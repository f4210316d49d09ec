#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace bfs::test {

// A tiny HTTP server on 127.0.0.1 and a free port, answering on its own thread so that a client
// blocking the test's thread still gets its answers. One connection at a time, closed after each answer.
class TLoopbackHttpServer {
  public:
    enum class TKind {
        Answer,    // the whole answer; with PauseMs, the body in four parts with a pause before each
        Silent,    // reads the request and never answers, until the client gives up
        Truncate,  // announces the whole body, sends its first half and closes
        Late,      // the whole answer, after PauseMs of silence
        Endless,   // announces no length and sends the body over and over until the client closes
                   // (ENDLESS_CAP bytes at most)
    };
    static constexpr int64_t ENDLESS_CAP = int64_t{64} << 20;
    struct TReply {
        TReply(int Status = 200, std::string Body = {}, TKind Kind = TKind::Answer, int PauseMs = 0)
            : Status(Status), Body(std::move(Body)), Kind(Kind), PauseMs(PauseMs) {}
        int Status;
        std::string Body;
        TKind Kind;
        int PauseMs;
    };
    // Chooses the reply for a request's path ("/Update.ini").
    using THandler = std::function<TReply(const std::string& Path)>;

    explicit TLoopbackHttpServer(THandler Handler) : m_Handler(std::move(Handler)) {
        m_Listen = BoundSocket(m_Port);
        if (m_Listen >= 0 && ::listen(m_Listen, 8) == 0 && ::pipe2(m_Wake, O_CLOEXEC) == 0)
            m_Thread = std::thread([this] { Run(); });
    }
    TLoopbackHttpServer(const TLoopbackHttpServer&) = delete;
    TLoopbackHttpServer& operator=(const TLoopbackHttpServer&) = delete;
    ~TLoopbackHttpServer() {
        if (m_Thread.joinable()) {
            (void)!::write(m_Wake[1], "x", 1);
            m_Thread.join();
        }
        for (const int fd : {m_Listen, m_Wake[0], m_Wake[1]})
            if (fd >= 0) ::close(fd);
    }

    bool Started() const { return m_Thread.joinable(); }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_Port) + "/"; }
    int Requests() const { return m_Requests; }

    // An address on which nothing listens: a port just taken and let go again.
    static std::string UnusedUrl() {
        uint16_t port = 0;
        ::close(BoundSocket(port));
        return "http://127.0.0.1:" + std::to_string(port) + "/";
    }

  private:
    static int BoundSocket(uint16_t& Port) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
        Port = ntohs(addr.sin_port);
        return s;
    }

    // Waits until Fd is readable; false when the server is being stopped.
    bool WaitFor(int Fd) const {
        pollfd fds[2] = {{Fd, POLLIN, 0}, {m_Wake[0], POLLIN, 0}};
        return ::poll(fds, 2, -1) > 0 && (fds[1].revents & POLLIN) == 0;
    }

    void Run() {
        while (WaitFor(m_Listen)) {
            const int conn = ::accept4(m_Listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            Serve(conn);
            ::close(conn);
        }
    }

    void Serve(int Conn) {
        std::string head;
        char buf[4096];
        ssize_t n = 0;
        while (head.find("\r\n\r\n") == std::string::npos) {
            if (!WaitFor(Conn) || (n = ::recv(Conn, buf, sizeof buf, 0)) <= 0) return;
            head.append(buf, static_cast<size_t>(n));
        }
        ++m_Requests;
        const size_t start = head.find(' ') + 1;
        const TReply reply = m_Handler(head.substr(start, head.find(' ', start) - start));
        if (reply.Kind == TKind::Silent) {
            while (WaitFor(Conn) && ::recv(Conn, buf, sizeof buf, 0) > 0) {
            }
            return;
        }
        // Late: silent for PauseMs; what the client still sends is read, and one that gives up is let go.
        const auto answerAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(reply.PauseMs);
        for (long long left = reply.PauseMs; reply.Kind == TKind::Late && left > 0;) {
            pollfd fds[2] = {{Conn, POLLIN, 0}, {m_Wake[0], POLLIN, 0}};
            if (::poll(fds, 2, static_cast<int>(left)) < 0 || (fds[1].revents & POLLIN)) return;
            if ((fds[0].revents & (POLLIN | POLLHUP)) && ::recv(Conn, buf, sizeof buf, 0) <= 0) return;
            left = std::chrono::ceil<std::chrono::milliseconds>(answerAt - std::chrono::steady_clock::now())
                       .count();
        }
        if (reply.Kind == TKind::Endless) {
            if (!Send(Conn, "HTTP/1.1 " + std::to_string(reply.Status) + " X\r\nConnection: close\r\n\r\n"))
                return;
            pollfd wake{m_Wake[0], POLLIN, 0};
            for (int64_t sent = 0; !reply.Body.empty() && sent < ENDLESS_CAP && ::poll(&wake, 1, 0) == 0 &&
                                   Send(Conn, reply.Body);)
                sent += static_cast<int64_t>(reply.Body.size());
            return;
        }
        Send(Conn, "HTTP/1.1 " + std::to_string(reply.Status) + " X\r\nContent-Length: " +
                       std::to_string(reply.Body.size()) + "\r\nConnection: close\r\n\r\n");
        std::string_view body(reply.Body);
        if (reply.Kind == TKind::Truncate) body = body.substr(0, body.size() / 2);
        const int pause = reply.Kind == TKind::Late ? 0 : reply.PauseMs;
        const size_t part = pause > 0 ? (body.size() + 3) / 4 : body.size();
        for (size_t at = 0; at < body.size(); at += part) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pause));
            Send(Conn, body.substr(at, part));
        }
    }

    // False when the client is gone.
    static bool Send(int Fd, std::string_view Data) {
        for (ssize_t n = 0; !Data.empty(); Data.remove_prefix(static_cast<size_t>(n)))
            if ((n = ::send(Fd, Data.data(), Data.size(), MSG_NOSIGNAL)) <= 0) return false;
        return true;
    }

    THandler m_Handler;
    int m_Listen = -1;
    int m_Wake[2] = {-1, -1};
    uint16_t m_Port = 0;
    std::atomic<int> m_Requests{0};
    std::thread m_Thread;
};

}  // namespace bfs::test
