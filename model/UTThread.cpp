#include "model/UTThread.h"

#include "model/UTMyException.h"

namespace bfs {

TThread::~TThread() {
    // A body still running must not outlive the object it works on.
    Terminate();
    WaitFor();
}

void TThread::Resume() {
    if (m_Thread.joinable()) return;
    m_Thread = std::jthread([this] {
        try {
            Execute();
        } catch (const std::exception& e) {
            TMyException::Instance().HandleException(e);
        } catch (...) {
            TMyException::Instance().LogError("unknown", "Exception", "unknown exception in a worker");
        }
        if (OnTerminate) {
            try {
                OnTerminate(*this);
            } catch (const std::exception& e) {
                TMyException::Instance().HandleException(e);
            } catch (...) {
            }
        }
    });
}

void TThread::WaitFor() {
    if (m_Thread.joinable() && m_Thread.get_id() != std::this_thread::get_id()) m_Thread.join();
}

}  // namespace bfs
