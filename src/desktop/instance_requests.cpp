#include "desktop/instance_requests.h"

#include <QLocalSocket>

namespace {

// The one request there is, and how long a request may be: anything else is not read on.
constexpr char kShowRequest[] = "show\n";
constexpr qint64 kLongestRequest = 64;
constexpr int kRequestTimeoutMs = 1000;

} // namespace

InstanceRequests::InstanceRequests(const QString& path, std::function<void()> show)
    : m_show(std::move(show)) {
    // The socket is the user's alone, like the folder of the lock it lies beside.
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(path);
    m_server.listen(path);
    connect(&m_server, &QLocalServer::newConnection, this, &InstanceRequests::TakeConnection);
}

void InstanceRequests::TakeConnection() {
    while (QLocalSocket* connection = m_server.nextPendingConnection()) {
        connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
        connect(connection, &QLocalSocket::readyRead, this, [this, connection] {
            if (connection->canReadLine()) {
                const QByteArray request = connection->readLine(kLongestRequest);
                connection->disconnectFromServer();
                if (request == kShowRequest)
                    m_show();
            } else if (connection->bytesAvailable() > kLongestRequest) {
                connection->abort();
            }
        });
    }
}

bool AskRunningInstanceToShow(const QString& path) {
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(kRequestTimeoutMs))
        return false;
    socket.write(kShowRequest);
    const bool written = socket.waitForBytesWritten(kRequestTimeoutMs);
    socket.disconnectFromServer();
    return written;
}
