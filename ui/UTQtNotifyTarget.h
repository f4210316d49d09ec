#pragma once

#include "model/UTNotify.h"

#include <QEvent>
#include <QObject>
#include <QPointer>

#include <atomic>

namespace bfs {

// A worker's message as a Qt event: the event type is the message number (all lie above
// QEvent::User), the two parameters ride along.
class TMessageEvent : public QEvent {
  public:
    TMessageEvent(uint32_t Msg, intptr_t WParam, intptr_t LParam)
        : QEvent(static_cast<QEvent::Type>(Msg)), WParam(WParam), LParam(LParam) {}
    uint32_t Msg() const { return static_cast<uint32_t>(type()); }
    intptr_t WParam;
    intptr_t LParam;
};

// The notification target of a window: workers post to it without waiting, or send and wait until
// the window's thread has handled the event. The receiver handles TMessageEvent in its event().
// A blocking call from the receiver's own thread runs at once, so it cannot deadlock itself; the
// window must never wait for a worker that may be blocked in SendMessage or Synchronize.
//
// Progress comes as many small posts. A progress step (WM_UPDATEPROCESS) or a new status text
// (WM_COPYPROCESS) posted while an event of its kind still waits rides on that event: the receiver
// takes the steps gathered so far (TakeSteps) and whether the text changed (TakeStatus) when it
// handles the event, or later. So a worker posts once per batch, however fast it goes.
class TQtNotifyTarget : public INotifyTarget {
  public:
    explicit TQtNotifyTarget(QObject* Receiver) : m_Receiver(Receiver) {}
    void PostMessage(uint32_t Msg, intptr_t WParam, intptr_t LParam) override;
    void SendMessage(uint32_t Msg, intptr_t WParam, intptr_t LParam) override;
    void Synchronize(const std::function<void()>& Call) override;
    // The progress steps posted since the last call.
    int TakeSteps() { return m_Steps.exchange(0); }
    // Whether a new status text was posted since the last call.
    bool TakeStatus() { return m_Status.exchange(false); }

  private:
    QPointer<QObject> m_Receiver;
    std::atomic<int> m_Steps{0};
    std::atomic<bool> m_Status{false};
};

}  // namespace bfs
