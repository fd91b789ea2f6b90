#include "instancelock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace arbelon {

namespace {
constexpr int kAskMs = 2000;
const QByteArray kWatch = QByteArrayLiteral("watch ");
} // namespace

// A socket path has a small length limit; the folder's hash keeps the name short.
QString InstanceLock::serverName(const QString &settingsFolder)
{
    const QByteArray key = QDir(settingsFolder).absolutePath().toUtf8();
    return QStringLiteral("arbelon-client-")
           + QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16));
}

InstanceLock::InstanceLock(const QString &settingsFolder, QObject *parent)
    : QObject(parent),
      m_serverName(serverName(settingsFolder)),
      m_lock(lockPath(settingsFolder))
{
    // Only a lock whose process has gone is stale, never one that is merely old.
    m_lock.setStaleLockTime(0);
}

InstanceLock::~InstanceLock() = default;

QString InstanceLock::lockPath(const QString &settingsFolder)
{
    return QDir(settingsFolder).filePath(QStringLiteral("arbelon-client.lock"));
}

bool InstanceLock::acquire(const QString &link)
{
    if (m_lock.tryLock(0)) {
        // Holding the lock, any socket of that name is left from a process that died.
        QLocalServer::removeServer(m_serverName);
        m_server = new QLocalServer(this);
        connect(m_server, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket *s = m_server->nextPendingConnection())
                serve(s);
        });
        m_server->listen(m_serverName); // without it the second instance only says so
        return true;
    }
    QLocalSocket ask;
    ask.connectToServer(m_serverName);
    if (ask.waitForConnected(kAskMs)) {
        const QByteArray request = link.isEmpty() ? QByteArrayLiteral("raise") : kWatch + link.toUtf8();
        ask.write(request.left(kMaxRequest - 1) + '\n');
        m_delivered = ask.waitForBytesWritten(kAskMs);
        ask.disconnectFromServer();
        if (ask.state() != QLocalSocket::UnconnectedState)
            ask.waitForDisconnected(kAskMs);
    }
    return false;
}

void InstanceLock::serve(QLocalSocket *socket)
{
    // One line, "raise" or "watch LINK"; a peer that says nothing more is not waited for long,
    // and one that says too much is dropped.
    socket->setParent(this);
    auto buffer = std::make_shared<QByteArray>();
    auto done = std::make_shared<bool>(false);
    const QPointer<QLocalSocket> guard(socket);
    auto finish = [this, socket, buffer, done](bool answer) {
        if (*done)
            return;
        *done = true;
        const qsizetype end = buffer->indexOf('\n');
        const QByteArray line = end >= 0 ? buffer->left(end) : *buffer;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
        if (!answer)
            return;
        emit raiseRequested();
        if (line.startsWith(kWatch))
            emit linkRequested(QString::fromUtf8(line.mid(kWatch.size())));
    };
    auto take = [socket, buffer, finish](bool closed) {
        buffer->append(socket->read(kMaxRequest + 1 - buffer->size()));
        if (buffer->size() > kMaxRequest)
            finish(false);
        else if (closed || buffer->contains('\n'))
            finish(true);
    };
    connect(socket, &QLocalSocket::readyRead, this, [take] { take(false); });
    connect(socket, &QLocalSocket::disconnected, this, [take] { take(true); });
    QTimer::singleShot(kAskMs, this, [guard, finish] {
        if (guard)
            finish(false);
    });
}

} // namespace arbelon
