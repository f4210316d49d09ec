#include "ui/UTApplication.h"

#include "model/UTMyException.h"

#include <exception>

namespace bfs {

bool TApplication::notify(QObject* Receiver, QEvent* Event) {
    try {
        return QApplication::notify(Receiver, Event);
    } catch (const std::exception& e) {
        TMyException::Instance().HandleException(e);
        if (OnException) OnException(Receiver, e.what());
    } catch (...) {
        TMyException::Instance().LogError("unknown", "Exception", "an exception of unknown type");
        if (OnException) OnException(Receiver, "an exception of unknown type");
    }
    return false;
}

}  // namespace bfs
