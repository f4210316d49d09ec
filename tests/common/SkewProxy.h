#pragma once

// A relay that moves the clock a WebDAV server's replies tell: for the tests of runs against a
// server whose clock is off.

#include "model/UTPublicFunc.h"
#include "storage/UTStorageCommon.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace bfs::test {

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

}  // namespace bfs::test
