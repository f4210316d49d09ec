#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bfs::test {

// A proxy on 127.0.0.1 in front of an S3 test server, for what a spoiled upload leaves there. It
// serves one connection at a time (a client's session keeps one open), passes every byte both ways,
// keeps each request's head (Heads), and while a mode is set spoils every PUT whose body is longer
// than Keep bytes: Cut sends Keep bytes of the body and then closes both connections (a killed
// upload); Shorten tells the server the body has Keep bytes, sends those and drops the rest (a body
// that did not arrive as sent). Times: how many PUTs are spoiled before the proxy passes them
// again; -1: all.
class TS3CutProxy {
  public:
    enum class TMode { Pass, Cut, Shorten };

    explicit TS3CutProxy(int UpstreamPort) : m_Upstream(Address(UpstreamPort)) {
        sockaddr_in addr = Address(0);
        socklen_t len = sizeof addr;
        m_Listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(m_Listen, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
            ::getsockname(m_Listen, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
            ::listen(m_Listen, 4) == 0)
            m_Port = ntohs(addr.sin_port);
        m_Thread = std::thread([this] {
            for (int client;
                 !m_Stop && (client = ::accept4(m_Listen, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (::connect(server, reinterpret_cast<const sockaddr*>(&m_Upstream), sizeof m_Upstream) == 0)
                    Pump(client, server);
                ::close(server);
                ::close(client);
            }
        });
    }
    TS3CutProxy(const TS3CutProxy&) = delete;
    TS3CutProxy& operator=(const TS3CutProxy&) = delete;
    ~TS3CutProxy() {
        m_Stop = true;
        ::shutdown(m_Listen, SHUT_RDWR);  // ends a waiting accept
        m_Thread.join();
        ::close(m_Listen);
    }

    std::string Endpoint() const { return "127.0.0.1:" + std::to_string(m_Port); }
    void Spoil(TMode Mode, size_t Keep = 0, int Times = -1) {
        std::lock_guard lock(m_Mutex);
        m_Mode = Mode;
        m_Keep = Keep;
        m_Times = Times;
    }
    std::vector<std::string> Heads() const {
        std::lock_guard lock(m_Mutex);
        return m_Heads;
    }
    int Spoiled() const { return m_Spoiled; }

  private:
    static sockaddr_in Address(int Port) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(Port));
        return addr;
    }
    static bool Send(int Fd, std::string_view Data) {
        for (ssize_t n = 0; !Data.empty(); Data.remove_prefix(static_cast<size_t>(n)))
            if ((n = ::send(Fd, Data.data(), Data.size(), MSG_NOSIGNAL)) <= 0) return false;
        return true;
    }

    // Passes one connection until either side closes, a spoiled upload is cut, or the proxy stops
    // (polled every 100 ms).
    void Pump(int Client, int Server) {
        std::string head;
        size_t bodyLeft = 0, keepLeft = 0;
        TMode mode = TMode::Pass;
        char buf[65536];
        while (!m_Stop) {
            pollfd fds[2] = {{Client, POLLIN, 0}, {Server, POLLIN, 0}};
            if (::poll(fds, 2, 100) < 0) return;
            ssize_t n = 0;
            if (fds[1].revents &&
                ((n = ::recv(Server, buf, sizeof buf, 0)) <= 0 || !Send(Client, {buf, size_t(n)})))
                return;
            if (!fds[0].revents) continue;
            if ((n = ::recv(Client, buf, sizeof buf, 0)) <= 0) return;
            for (std::string_view data(buf, static_cast<size_t>(n)); !data.empty();) {
                if (bodyLeft == 0) {  // a request head, sent on once whole
                    const size_t had = head.size();
                    head.append(data);
                    const size_t end = head.find("\r\n\r\n");
                    if (end == std::string::npos) break;
                    data.remove_prefix(end + 4 - had);
                    head.resize(end + 4);
                    std::string lower(head);
                    std::transform(lower.begin(), lower.end(), lower.begin(),
                                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
                    const size_t length = lower.find("\r\ncontent-length:");
                    const size_t lengthEnd = head.find("\r\n", length + 2);
                    if (length != std::string::npos)
                        bodyLeft = std::stoull(head.substr(length + 17, lengthEnd - length - 17));
                    std::lock_guard lock(m_Mutex);
                    m_Heads.push_back(head);
                    mode =
                        head.starts_with("PUT ") && bodyLeft > m_Keep && m_Times != 0 ? m_Mode : TMode::Pass;
                    if (mode != TMode::Pass && m_Times > 0) --m_Times;
                    keepLeft = m_Keep;
                    if (mode == TMode::Shorten)
                        head.replace(length + 2, lengthEnd - length - 2,
                                     "Content-Length: " + std::to_string(m_Keep));
                    m_Spoiled += mode != TMode::Pass;
                    if (!Send(Server, head)) return;
                    head.clear();
                    continue;
                }
                const size_t take = std::min(data.size(), bodyLeft);
                const size_t pass = mode == TMode::Pass ? take : std::min(take, keepLeft);
                if (!Send(Server, data.substr(0, pass))) return;
                keepLeft -= mode == TMode::Pass ? 0 : pass;
                if (mode == TMode::Cut && keepLeft == 0) return;
                bodyLeft -= take;
                data.remove_prefix(take);
            }
        }
    }

    const sockaddr_in m_Upstream;
    int m_Listen = -1;
    int m_Port = 0;
    std::atomic<bool> m_Stop{false};
    mutable std::mutex m_Mutex;  // guards m_Mode, m_Keep, m_Times and m_Heads
    TMode m_Mode = TMode::Pass;
    size_t m_Keep = 0;
    int m_Times = -1;
    std::vector<std::string> m_Heads;
    std::atomic<int> m_Spoiled{0};
    std::thread m_Thread;
};

}  // namespace bfs::test
