// One client per settings folder: a second one is refused and brings the first forward, and a
// lock left by a process that died does not keep the next start out.

#include "instancelock.h"

#include <QLockFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/wait.h>
#include <unistd.h>

using namespace arbelon;

class TestInstanceLock : public QObject {
    Q_OBJECT

private slots:
    void secondInstanceBringsFirstForward()
    {
        QTemporaryDir dir;
        InstanceLock first(dir.path());
        QVERIFY(first.acquire());
        QSignalSpy raised(&first, &InstanceLock::raiseRequested);
        InstanceLock second(dir.path());
        QVERIFY(!second.acquire());
        QVERIFY(raised.wait());

        // Another settings folder is another client.
        QTemporaryDir other;
        InstanceLock third(other.path());
        QVERIFY(third.acquire());
    }

    void lockOfDeadProcessIsTaken()
    {
        QTemporaryDir dir;
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            // Takes the lock and dies without letting it go, as a crash does.
            QLockFile lock(InstanceLock::lockPath(dir.path()));
            ::_exit(lock.tryLock(0) ? 0 : 1);
        }
        int status = -1;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        QVERIFY(QFile::exists(InstanceLock::lockPath(dir.path())));

        InstanceLock next(dir.path());
        QVERIFY(next.acquire());
    }
};

QTEST_GUILESS_MAIN(TestInstanceLock)
#include "tst_instancelock.moc"
