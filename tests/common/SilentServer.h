#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bfs::test {

// A server on 127.0.0.1 and a free port that takes every connection and never sends a byte: a host
// that accepts and then hangs. After Refuse it closes what it holds and each later connection at once.
class TSilentServer {
  public:
    TSilentServer() {
        m_Listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(m_Listen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(m_Listen, 16) == 0 &&
            ::getsockname(m_Listen, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            m_Port = ntohs(a.sin_port);
            m_Thread = std::thread([this] { Run(); });
        }
    }
    ~TSilentServer() {
        ::shutdown(m_Listen, SHUT_RDWR);  // ends the waiting accept
        if (m_Thread.joinable()) m_Thread.join();
        Refuse();
        ::close(m_Listen);
    }

    bool Started() const { return m_Thread.joinable(); }
    std::string Address(const std::string& Scheme) const {
        return Scheme + "://127.0.0.1:" + std::to_string(m_Port);
    }
    // Connections taken so far: the client of each is waiting for an answer.
    int Accepted() {
        std::lock_guard lock(m_Mutex);
        return m_Accepted;
    }
    void Refuse() {
        std::lock_guard lock(m_Mutex);
        m_Refusing = true;
        for (const int fd : m_Held) ::close(fd);
        m_Held.clear();
    }

  private:
    void Run() {
        for (;;) {
            const int fd = ::accept4(m_Listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0 && errno == EINTR) continue;
            if (fd < 0) return;
            std::lock_guard lock(m_Mutex);
            ++m_Accepted;
            if (m_Refusing)
                ::close(fd);
            else
                m_Held.push_back(fd);
        }
    }

    int m_Listen = -1;
    int m_Port = 0;
    std::thread m_Thread;
    std::mutex m_Mutex;  // guards the three below
    int m_Accepted = 0;
    bool m_Refusing = false;
    std::vector<int> m_Held;
};

}  // namespace bfs::test
