#include "ui/UTSingleInstance.h"

#include "model/UTConsts.h"
#include "platform/UTFolders.h"

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>

namespace bfs {

namespace {

// The request and the answer on the socket: the message number, as text, one line each.
const QByteArray REQUEST = QByteArray::number(WM_RESTORE_WIN) + '\n';
const QByteArray ANSWER = QByteArrayLiteral("ok\n");

}  // namespace

TSingleInstance::TSingleInstance(const QString& Name, QObject* Parent) : QObject(Parent) {
    // A full path in the user's private runtime folder: no other user can take or answer it. A
    // folder that fails its checks gives no path at all: a bare name would be a socket in the shared
    // temporary folder.
    const TRuntimeFolder folder = CheckRuntimeFolder();
    if (!folder.Problem.empty()) {
        m_Problem = QString::fromStdString(folder.Problem);
        return;
    }
    QString safe = Name;
    safe.replace(QLatin1Char('/'), QLatin1Char('_'));
    m_Name = QString::fromStdString(folder.Path) + safe + QStringLiteral(".instance");
}

TSingleInstance::~TSingleInstance() = default;

bool TSingleInstance::Claim(int TimeoutMs) {
    if (m_Name.isEmpty()) return true;  // no private folder: running alone, neither asking nor answering
    {
        QLocalSocket socket;
        socket.connectToServer(m_Name);
        if (socket.waitForConnected(TimeoutMs)) {
            socket.write(REQUEST);
            socket.waitForBytesWritten(TimeoutMs);
            // The running instance answers once it has come back; a hung one is not waited for long.
            socket.waitForReadyRead(TimeoutMs);
            socket.disconnectFromServer();
            return false;
        }
    }
    // Nobody answers on the socket: a file left by a process that died is removed.
    QLocalServer::removeServer(m_Name);
    m_Server = new QLocalServer(this);
    m_Server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_Server->listen(m_Name)) return true;  // running alone all the same; later starts cannot find it
    connect(m_Server, &QLocalServer::newConnection, this, &TSingleInstance::Answer);
    return true;
}

void TSingleInstance::Answer() {
    while (QLocalSocket* socket = m_Server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) return;
            if (socket->readLine() == REQUEST) {
                emit RestoreRequested();
                socket->write(ANSWER);
            }
            socket->disconnectFromServer();
        });
    }
}

}  // namespace bfs
