#pragma once
// One client per settings folder: two would overwrite each other's settings. The first takes a
// lock file in the folder (released by the system when the process dies, even on a crash) and
// listens for a second one, which asks it to come forward instead of starting.

#include <QLockFile>
#include <QObject>
#include <QString>

class QLocalServer;

namespace arbelon {

class InstanceLock : public QObject {
    Q_OBJECT
public:
    explicit InstanceLock(const QString &settingsFolder, QObject *parent = nullptr);
    ~InstanceLock() override;

    // True when no other client holds the folder (this one then does); otherwise asks the
    // one that holds it to come forward and returns false.
    bool acquire();

    // The lock file in the settings folder.
    static QString lockPath(const QString &settingsFolder);
    static QString runningText() { return QStringLiteral("Arbelon Client is already running: its window has been brought forward."); }

signals:
    // A second instance was started: the window should come to the front.
    void raiseRequested();

private:
    QString m_serverName;
    QLockFile m_lock;
    QLocalServer *m_server = nullptr;
};

} // namespace arbelon
