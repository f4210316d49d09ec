#include "ui/UTQtNotifyTarget.h"

#include "model/UTConsts.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace bfs {

void TQtNotifyTarget::PostMessage(uint32_t Msg, intptr_t WParam, intptr_t LParam) {
    if (Msg == WM_UPDATEPROCESS && m_Steps.fetch_add(1) != 0) return;
    if (Msg == WM_COPYPROCESS && m_Status.exchange(true)) return;
    if (QObject* r = m_Receiver.data())
        QCoreApplication::postEvent(r, new TMessageEvent(Msg, WParam, LParam));
}

void TQtNotifyTarget::SendMessage(uint32_t Msg, intptr_t WParam, intptr_t LParam) {
    Synchronize([this, Msg, WParam, LParam] {
        if (QObject* r = m_Receiver.data()) {
            TMessageEvent event(Msg, WParam, LParam);
            QCoreApplication::sendEvent(r, &event);
        }
    });
}

void TQtNotifyTarget::Synchronize(const std::function<void()>& Call) {
    QObject* r = m_Receiver.data();
    if (!r) return;
    if (r->thread() == QThread::currentThread()) {
        Call();
        return;
    }
    QMetaObject::invokeMethod(
        r, [&Call] { Call(); }, Qt::BlockingQueuedConnection);
}

}  // namespace bfs
