#pragma once

// A TCP relay from 127.0.0.1:Port to a server, that cuts its connections the way a failing network
// does: once the client has sent a given number of bytes, the client's side of every connection
// goes and new ones are refused, while the server's side stays open and silent (the server learns
// of the cut only when the relay is destroyed). What a cut leaves on a server is then what a real
// one leaves. It can also fail the first connections that carry anything, as a busy server does:
// reset them, or take what they send and never answer.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace bfs::test {

class TCutProxy {
  public:
    explicit TCutProxy(int TargetPort) {
        m_Listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = Loopback(0);
        socklen_t len = sizeof addr;
        if (::bind(m_Listen, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(m_Listen, 16) == 0 &&
            ::getsockname(m_Listen, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            Port = ntohs(addr.sin_port);
        m_Thread = std::thread([this, TargetPort] { Run(TargetPort); });
    }
    TCutProxy(const TCutProxy&) = delete;
    TCutProxy& operator=(const TCutProxy&) = delete;
    ~TCutProxy() {
        m_Stop = true;
        m_Thread.join();
        for (const int fd : m_Open) ::close(fd);
        if (m_Listen >= 0) ::close(m_Listen);
    }
    // Cuts once the client has sent Bytes more (in the middle of an upload).
    void CutAfter(int64_t Bytes) { m_Left = Bytes; }
    // The next Count connections that send anything are reset at their first bytes (a connection
    // that only opens and closes, as a reachability probe does, is not counted).
    void ResetFirst(int Count) { m_Reset = Count; }
    // The next Count connections that send anything get no answer: what they send is dropped, and
    // they stay open until the client gives up or the relay ends.
    void HangFirst(int Count) { m_Hang = Count; }
    // How many connections were reset or hung so far.
    int Failed() const { return m_Failed; }

    int Port = 0;  // 0 when the relay could not listen

  private:
    static sockaddr_in Loopback(int P) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(P));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return addr;
    }

    // Runs on the relay's thread; m_Pairs (client, server) and m_Open are its own until it ends.
    void Run(int TargetPort) {
        char buffer[65536];
        while (!m_Stop) {
            std::vector<pollfd> fds{{m_Listen, POLLIN, 0}};
            for (const auto& [client, server] : m_Pairs) {
                fds.push_back({client, POLLIN, 0});
                fds.push_back({server, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
            bool cut = false;
            for (size_t k = 1; k < fds.size() && !cut; ++k) {
                if ((fds[k].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                auto& [client, server] = m_Pairs[(k - 1) / 2];
                if (client < 0) continue;
                const bool up = fds[k].fd == client;
                const ssize_t n = ::recv(fds[k].fd, buffer, sizeof buffer, 0);
                if (n > 0 && up && FailsFirstBytes(client, server)) continue;
                if (n > 0 && up && m_Hung.count(client) != 0) continue;  // dropped
                if (n <= 0 ||
                    ::send(up ? server : client, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
                    m_Seen.erase(client);
                    m_Hung.erase(client);
                    ::close(client);  // either side closed: so does the relay
                    ::close(server);
                    client = server = -1;
                    continue;
                }
                if (up && m_Left > 0 && (m_Left -= n) <= 0) cut = true;
            }
            std::erase_if(m_Pairs, [](const auto& P) { return P.first < 0; });
            if (cut) Cut();
            if (!cut && m_Listen >= 0 && (fds[0].revents & POLLIN) != 0) {
                const int client = ::accept4(m_Listen, nullptr, nullptr, SOCK_CLOEXEC);
                const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in addr = Loopback(TargetPort);
                if (::connect(server, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
                    m_Pairs.emplace_back(client, server);
                } else {
                    ::close(client);
                    ::close(server);
                }
            }
        }
    }
    // Whether the client's first bytes fail its connection (ResetFirst, HangFirst); a reset one is
    // closed on both sides, a hung one remembered.
    bool FailsFirstBytes(int& Client, int& Server) {
        if (m_Seen.count(Client) != 0) return false;
        m_Seen.insert(Client);
        if (m_Reset > 0) {
            --m_Reset;
            ++m_Failed;
            const linger abort{1, 0};  // closing then sends a reset, not an orderly end
            ::setsockopt(Client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            ::close(Client);
            ::close(Server);
            m_Seen.erase(Client);
            Client = Server = -1;
            return true;
        }
        if (m_Hang > 0) {
            --m_Hang;
            ++m_Failed;
            m_Hung.insert(Client);
            return true;
        }
        return false;
    }

    // The client's sides go, the server's stay open until the relay ends.
    void Cut() {
        ::close(std::exchange(m_Listen, -1));
        for (const auto& [client, server] : m_Pairs) {
            ::close(client);
            m_Open.push_back(server);
        }
        m_Pairs.clear();
    }

    int m_Listen = -1;
    std::atomic<bool> m_Stop{false};
    std::atomic<int64_t> m_Left{0};
    std::atomic<int> m_Reset{0}, m_Hang{0}, m_Failed{0};
    std::set<int> m_Seen, m_Hung;  // client sockets that sent something; those left unanswered
    std::vector<std::pair<int, int>> m_Pairs;
    std::vector<int> m_Open;
    std::thread m_Thread;
};

}  // namespace bfs::test
