// One client per settings folder: a second one is refused and brings the first forward (with the
// link it was started with), a local peer cannot make the first one wait or read without end, and a
// lock left by a process that died does not keep the next start out.

#include "instancelock.h"

#include <QLocalSocket>
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
    // A second start, and what a local peer may send instead: only a whole request of the
    // running client's own size is taken.
    void secondInstanceBringsFirstForward_data()
    {
        QTest::addColumn<QString>("link");   // a second instance started with it
        QTest::addColumn<QByteArray>("raw"); // or a peer that sends these bytes (null: none)
        QTest::addColumn<bool>("raises");
        QTest::addColumn<QString>("linkSeen");
        const QString link = QStringLiteral("arbelon://relay.example:4000/watch/2");
        QTest::newRow("plain start") << QString() << QByteArray() << true << QString();
        QTest::newRow("start with a link") << link << QByteArray() << true << link;
        QTest::newRow("peer that says nothing and goes") << QString() << QByteArray("") << true << QString();
        QTest::newRow("unknown request") << QString() << QByteArray("open sesame\n") << true << QString();
        QTest::newRow("request past the limit")
            << QString() << QByteArray("watch ") + QByteArray(InstanceLock::kMaxRequest, 'x') << false << QString();
        QTest::newRow("silent peer that stays") << QString() << QByteArray("watch arbelon://a/watch/1") << false
                                                << QString();
    }

    void secondInstanceBringsFirstForward()
    {
        QFETCH(QString, link);
        QFETCH(QByteArray, raw);
        QFETCH(bool, raises);
        QFETCH(QString, linkSeen);
        QTemporaryDir dir;
        InstanceLock first(dir.path());
        QVERIFY(first.acquire());
        QSignalSpy raised(&first, &InstanceLock::raiseRequested);
        QSignalSpy linked(&first, &InstanceLock::linkRequested);
        if (raw.isNull()) {
            InstanceLock second(dir.path());
            QVERIFY(!second.acquire(link));
            QVERIFY(second.delivered());
        } else {
            QLocalSocket peer;
            peer.connectToServer(InstanceLock::serverName(dir.path()));
            QVERIFY(peer.waitForConnected(5000));
            if (raw.isEmpty()) {
                peer.disconnectFromServer();
            } else {
                peer.write(raw);
                QVERIFY(peer.waitForBytesWritten(5000));
            }
            // The running client ends every conversation by itself, whatever was said.
            QTRY_COMPARE_WITH_TIMEOUT(peer.state(), QLocalSocket::UnconnectedState, 10000);
        }
        if (raises)
            QTRY_COMPARE(raised.size(), 1);
        QCoreApplication::processEvents();
        QCOMPARE(raised.size(), raises ? 1 : 0);
        QCOMPARE(linked.size(), linkSeen.isEmpty() ? 0 : 1);
        if (!linkSeen.isEmpty())
            QCOMPARE(linked.first().first().toString(), linkSeen);

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
