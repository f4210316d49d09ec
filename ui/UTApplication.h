#pragma once

#include <QApplication>

namespace bfs {

// The program's application object. An exception that escapes an event handler (a window's, a
// timer's, a slot called from one) ends in the error log as a line with the context "unknown", and
// the program goes on: the event counts as not handled.
class TApplication : public QApplication {
    Q_OBJECT

  public:
    TApplication(int& Argc, char** Argv) : QApplication(Argc, Argv) {}

    bool notify(QObject* Receiver, QEvent* Event) override;
};

}  // namespace bfs
