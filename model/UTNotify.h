#pragma once

#include <cstdint>
#include <functional>

namespace bfs {

// Where workers report to: the window that started them. Stands in for a window handle.
// PostMessage never waits. SendMessage and Synchronize wait until the window's thread has handled
// the message or run the call; a worker never touches a widget itself.
class INotifyTarget {
  public:
    virtual ~INotifyTarget() = default;
    virtual void PostMessage(uint32_t Msg, intptr_t WParam, intptr_t LParam) = 0;
    virtual void SendMessage(uint32_t Msg, intptr_t WParam, intptr_t LParam) = 0;
    virtual void Synchronize(const std::function<void()>& Call) = 0;
};

}  // namespace bfs
