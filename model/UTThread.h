#pragma once

#include <functional>
#include <stop_token>
#include <thread>

namespace bfs {

// A worker object whose body runs on its own std::jthread once Resume is called. Terminate is the
// stop request (the "terminated flag"); the body tests Terminated() where it may stop. The owner
// keeps the object; destroying it requests a stop and waits for the body to end.
class TThread {
  public:
    explicit TThread(bool FreeOnTerminate = false) : FreeOnTerminate(FreeOnTerminate) {}
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts the body (once). Created objects stay "suspended" until then.
    void Resume();
    // Requests the body to stop at its next test; safe from any thread.
    void Terminate() noexcept { m_Stop.request_stop(); }
    bool Terminated() const noexcept { return m_Stop.stop_requested(); }
    std::stop_token StopToken() const noexcept { return m_Stop.get_token(); }
    // Waits for the body to end (nothing when it never started).
    void WaitFor();
    bool Started() const noexcept { return m_Thread.joinable(); }

    // Runs on the worker thread right after the body ends (also after an exception in it). A
    // window that wants it on its own thread posts from here.
    std::function<void(TThread&)> OnTerminate;
    // Kept for the callers that name it; ownership stays with the owner whatever it says.
    bool FreeOnTerminate = false;

  protected:
    // The body. Exceptions that escape it are logged, never propagated.
    virtual void Execute() = 0;

  private:
    std::stop_source m_Stop;
    std::jthread m_Thread;
};

}  // namespace bfs
