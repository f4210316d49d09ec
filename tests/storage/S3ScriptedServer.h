#pragma once

#include "common/LoopbackHttpServer.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace bfs::test {

// A scripted S3 service for what the test server cannot do (slow answers, 503, cut replies): each
// path ("/bucket/key", "/bucket?query") answers its script in turn, then 200 with WHOLE.
class TScriptedS3 {
  public:
    using TReply = TLoopbackHttpServer::TReply;
    static constexpr const char* WHOLE = "whole body";

    void Script(const std::string& Path, std::vector<TReply> Replies) {
        std::lock_guard lock(m_Mutex);
        m_Scripts[Path] = std::move(Replies);
    }
    int Requests(const std::string& Path) {
        std::lock_guard lock(m_Mutex);
        return m_Count[Path];
    }
    std::string Endpoint() const { return m_Server.Url().substr(7, m_Server.Url().size() - 8); }
    bool Started() const { return m_Server.Started(); }

  private:
    TReply Answer(const std::string& Path) {
        std::lock_guard lock(m_Mutex);
        const size_t at = static_cast<size_t>(m_Count[Path]++);
        const auto& script = m_Scripts[Path];
        return at < script.size() ? script[at] : TReply{200, WHOLE};
    }

    std::mutex m_Mutex;
    std::map<std::string, std::vector<TReply>> m_Scripts;
    std::map<std::string, int> m_Count;
    TLoopbackHttpServer m_Server{[this](const std::string& Path) { return Answer(Path); }};
};

}  // namespace bfs::test
