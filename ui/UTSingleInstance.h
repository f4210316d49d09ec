#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace bfs {

// One interactive instance of the program per user. The first start listens on a local socket in the
// user's private runtime folder, named after Name; a later start connects, asks the running one to
// come back into view (WM_RESTORE_WIN), waits a few seconds at most for its answer, and ends.
class TSingleInstance : public QObject {
    Q_OBJECT

  public:
    explicit TSingleInstance(const QString& Name, QObject* Parent = nullptr);
    ~TSingleInstance() override;

    // True when this process is now the running instance. False when another one runs: it has then
    // been asked to come back (and had up to TimeoutMs to answer). Also true, without a socket,
    // when the runtime folder fails its checks (Problem): this instance then runs alone.
    bool Claim(int TimeoutMs = 3000);
    // The socket's path; empty when the runtime folder may not be used.
    const QString& ServerName() const { return m_Name; }
    // Why the runtime folder may not be used (a clause naming it), or empty.
    const QString& Problem() const { return m_Problem; }

  signals:
    // Another start asked this instance to come back into view.
    void RestoreRequested();

  private:
    void Answer();

    QString m_Name;
    QString m_Problem;
    QLocalServer* m_Server = nullptr;
};

}  // namespace bfs
