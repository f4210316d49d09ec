#pragma once

// An in-memory side whose listing, copies or downloads can be held at a gate: the windows' tests
// and the screens use it to catch a run in the middle (a scan, a sync or a row's "save as" that
// waits until let go or stopped).

#include "engine/MemFileOper.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace bfs::test {

class TGate {
  public:
    // Closed gates hold every caller of Wait until Open (or until Stop says so).
    void Close() {
        std::lock_guard lock(m_Mutex);
        m_Open = false;
    }
    void Open() {
        {
            std::lock_guard lock(m_Mutex);
            m_Open = true;
        }
        m_Changed.notify_all();
    }
    // Waits while the gate is closed and Stop() is false; polls Stop every few milliseconds.
    template <class TStop>
    void Wait(TStop Stop) {
        ++Waiting;
        std::unique_lock lock(m_Mutex);
        while (!m_Open && !Stop()) m_Changed.wait_for(lock, std::chrono::milliseconds(5));
        --Waiting;
    }
    std::atomic<int> Waiting{0};

  private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_Open = true;
};

class TGatedFileOper : public TMemFileOper {
  public:
    TGatedFileOper(TMemStoreRef Store, TGate* ListGate, TGate* PutGate, TGate* GetGate = nullptr)
        : TMemFileOper(std::move(Store)), m_ListGate(ListGate), m_PutGate(PutGate), m_GetGate(GetGate) {}

    int32_t ListFolder() override {
        if (m_ListGate) m_ListGate->Wait([this] { return Terminated(); });
        return TMemFileOper::ListFolder();
    }
    int32_t PutFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& A, int32_t Flags,
                    bool Log) override {
        if (m_PutGate) m_PutGate->Wait([] { return false; });
        return TMemFileOper::PutFile(LocalPath, Source, A, Flags, Log);
    }
    // A download held at the gate ends when let go or stopped, and then writes the file whole, as a
    // back-end that finishes the piece it was reading would.
    int32_t GetFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& A, int32_t X,
                    bool Log) override {
        if (m_GetGate) m_GetGate->Wait([this] { return Terminated(); });
        return TMemFileOper::GetFile(LocalPath, Source, A, X, Log);
    }

  private:
    TGate* m_ListGate;
    TGate* m_PutGate;
    TGate* m_GetGate;
};

}  // namespace bfs::test
