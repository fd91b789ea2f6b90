#pragma once
// One client per settings folder: two would overwrite each other's settings. The first takes a
// lock file in the folder (released by the system when the process dies, even on a crash) and
// listens for a second one, which asks it to come forward instead of starting, and hands it
// the watch link it was started with, if any.

#include <QLockFile>
#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace arbelon {

class InstanceLock : public QObject {
    Q_OBJECT
public:
    explicit InstanceLock(const QString &settingsFolder, QObject *parent = nullptr);
    ~InstanceLock() override;

    // True when no other client holds the folder (this one then does); otherwise asks the
    // one that holds it to come forward (and to open the link, when one is given) and returns
    // false.
    bool acquire(const QString &link = {});
    // After a refused acquire: whether the running client took the request.
    bool delivered() const { return m_delivered; }

    // The lock file in the settings folder.
    static QString lockPath(const QString &settingsFolder);
    static QString runningText() { return QStringLiteral("Arbelon Client is already running: its window has been brought forward."); }
    // The local socket's name for a settings folder.
    static QString serverName(const QString &settingsFolder);
    // The longest request a running client reads; a longer one is dropped unread.
    static constexpr int kMaxRequest = 512;

signals:
    // A second instance was started: the window should come to the front.
    void raiseRequested();
    // The second instance was started with this link (not yet checked).
    void linkRequested(const QString &link);

private:
    void serve(QLocalSocket *socket);

    QString m_serverName;
    bool m_delivered = false;
    QLockFile m_lock;
    QLocalServer *m_server = nullptr;
};

} // namespace arbelon
