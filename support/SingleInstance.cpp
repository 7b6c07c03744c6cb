#include "SingleInstance.h"

#include "FileNames.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The message: the number of paths, then each path as its bytes, each field
// ended by NUL (paths cannot hold NUL). The answer: one byte once the files are taken.
constexpr char kSeparator = '\0';
constexpr char kTaken = '\x06';

// Whether the other end of a connected local socket runs as this user.
bool sameUser(const QLocalSocket &socket)
{
    ucred peer {};
    socklen_t length = sizeof peer;
    return ::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0
        && peer.uid == ::getuid();
}

// A folder that is this user's own and closed to everyone else.
bool privateFolder(const QByteArray &path)
{
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid()
        && (st.st_mode & 077) == 0;
}

QString socketFolder()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && privateFolder(runtime))
        return QFile::decodeName(runtime);
    const QByteArray own = QFile::encodeName(QDir::tempPath()) + "/quillmoss-" + QByteArray::number(::getuid());
    ::mkdir(own.constData(), 0700);
    return privateFolder(own) ? QFile::decodeName(own) : QString();
}

} // namespace

SingleInstance::SingleInstance(QString name, QObject *parent) : QObject(parent), m_name(std::move(name)) {}

QString SingleInstance::defaultName()
{
    const QString folder = socketFolder();
    if (folder.isEmpty())
        return {};
    const QByteArray where = QCryptographicHash::hash(QCoreApplication::applicationFilePath().toUtf8(),
                                                      QCryptographicHash::Sha1).toHex().left(12);
    return folder + QStringLiteral("/quillmoss-") + QString::fromLatin1(where);
}

bool SingleInstance::handOver(const QStringList &paths, int timeoutMs) const
{
    if (m_name.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(timeoutMs) || !sameUser(socket))
        return false;
    QByteArray message = QByteArray::number(paths.size()) + kSeparator;
    for (const QString &path : paths)
        message += FileNames::encode(path) + kSeparator;
    socket.write(message);
    if (!socket.waitForBytesWritten(timeoutMs) && socket.bytesToWrite() > 0)
        return false;
    // Only a confirmed hand-over lets this start end without a window.
    while (socket.bytesAvailable() < 1)
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    return socket.read(1) == QByteArray(1, kTaken);
}

bool SingleInstance::listen()
{
    if (m_name.isEmpty())
        return false;
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
            if (!sameUser(*socket)) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            auto *received = new QByteArray;
            connect(socket, &QLocalSocket::disconnected, socket, [socket, received] {
                delete received;
                socket->deleteLater();
            });
            connect(socket, &QLocalSocket::readyRead, this, [this, socket, received] {
                *received += socket->readAll();
                const QList<QByteArray> fields = received->split(kSeparator);
                bool counted = false;
                const qsizetype count = fields.value(0).toLongLong(&counted);
                // Complete once the count and that many paths have arrived.
                if (!counted || count < 0 || fields.size() < count + 2)
                    return;
                QStringList paths;
                for (qsizetype i = 1; i <= count; ++i)
                    paths << FileNames::decode(fields[i]);
                received->clear();
                socket->write(QByteArray(1, kTaken));
                socket->flush();
                emit filesReceived(paths);
            });
        }
    });
    return true;
}
