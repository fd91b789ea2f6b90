#include "instancelock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace arbelon {

namespace {
constexpr int kAskMs = 2000;

// A socket path has a small length limit; the folder's hash keeps the name short.
QString serverNameFor(const QString &folder)
{
    const QByteArray key = QDir(folder).absolutePath().toUtf8();
    return QStringLiteral("arbelon-client-")
           + QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16));
}
} // namespace

InstanceLock::InstanceLock(const QString &settingsFolder, QObject *parent)
    : QObject(parent),
      m_serverName(serverNameFor(settingsFolder)),
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

bool InstanceLock::acquire()
{
    if (m_lock.tryLock(0)) {
        // Holding the lock, any socket of that name is left from a process that died.
        QLocalServer::removeServer(m_serverName);
        m_server = new QLocalServer(this);
        connect(m_server, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket *s = m_server->nextPendingConnection()) {
                s->disconnectFromServer();
                s->deleteLater();
                emit raiseRequested();
            }
        });
        m_server->listen(m_serverName); // without it the second instance only says so
        return true;
    }
    QLocalSocket ask;
    ask.connectToServer(m_serverName);
    if (ask.waitForConnected(kAskMs)) {
        ask.write("raise\n");
        ask.waitForBytesWritten(kAskMs);
        ask.disconnectFromServer();
    }
    return false;
}

} // namespace arbelon
