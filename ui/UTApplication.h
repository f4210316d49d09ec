#pragma once

#include <QApplication>

#include <functional>
#include <string>

namespace bfs {

// The program's application object. An exception that escapes an event handler (a window's, a
// timer's, a slot called from one) ends in the error log as a line with the context "unknown", is
// handed to OnException, and the program goes on: the event counts as not handled.
class TApplication : public QApplication {
    Q_OBJECT

  public:
    TApplication(int& Argc, char** Argv) : QApplication(Argc, Argv) {}

    bool notify(QObject* Receiver, QEvent* Event) override;

    // Told of each such exception once it is logged: the object the event was for, and what the
    // exception says. Optional.
    std::function<void(QObject* Receiver, const std::string& What)> OnException;
};

}  // namespace bfs
