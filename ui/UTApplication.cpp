#include "ui/UTApplication.h"

#include "model/UTMyException.h"

#include <exception>

namespace bfs {

bool TApplication::notify(QObject* Receiver, QEvent* Event) {
    try {
        return QApplication::notify(Receiver, Event);
    } catch (const std::exception& e) {
        TMyException::Instance().HandleException(e);
    } catch (...) {
        TMyException::Instance().LogError("unknown", "Exception", "an exception of unknown type");
    }
    return false;
}

}  // namespace bfs
