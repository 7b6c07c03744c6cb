#include "SingleInstance.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>

namespace {

// Paths cannot hold NUL, so it separates them.
constexpr char kSeparator = '\0';

} // namespace

SingleInstance::SingleInstance(QString name, QObject *parent) : QObject(parent), m_name(std::move(name)) {}

QString SingleInstance::defaultName()
{
    const QByteArray where = QCryptographicHash::hash(QCoreApplication::applicationFilePath().toUtf8(),
                                                      QCryptographicHash::Sha1).toHex().left(12);
    return QStringLiteral("quillmoss-%1-%2").arg(qEnvironmentVariable("USER", QStringLiteral("user")),
                                                  QString::fromLatin1(where));
}

bool SingleInstance::handOver(const QStringList &paths, int timeoutMs) const
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    QByteArray message;
    for (const QString &path : paths)
        message += path.toUtf8() + kSeparator;
    socket.write(message);
    if (!socket.waitForBytesWritten(timeoutMs) && socket.bytesToWrite() > 0)
        return false;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(timeoutMs);
    return true;
}

bool SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_name)) {
        // A socket left by a program that ended without closing it.
        QLocalServer::removeServer(m_name);
        if (!m_server->listen(m_name))
            return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            auto *received = new QByteArray;
            connect(socket, &QLocalSocket::readyRead, socket, [socket, received] { *received += socket->readAll(); });
            connect(socket, &QLocalSocket::disconnected, this, [this, socket, received] {
                *received += socket->readAll();
                QStringList paths;
                for (const QByteArray &part : received->split(kSeparator))
                    if (!part.isEmpty())
                        paths << QString::fromUtf8(part);
                delete received;
                socket->deleteLater();
                emit filesReceived(paths);
            });
        }
    });
    return true;
}
