// The logging line in the game's autoexec configuration.

#include "autoexec.h"
#include "common/testfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <stdexcept>

using namespace arbelon;
using arbelon::test::readFile;
using arbelon::test::writeFile;

class TestAutoexec : public QObject {
    Q_OBJECT
private slots:
    void ensure_data();
    void ensure();
    void secondEntryWritesNothing();
    void missingFolderIsMade();
    void tooLargeIsLeftAlone();
    void unreadableIsReported();
};

void TestAutoexec::ensure_data()
{
    QTest::addColumn<int>("gameType");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");

    const QByteArray q3line = "seta logfile \"2\"\r\n";
    QTest::newRow("Quake 2, missing") << 0 << false << QByteArray() << QByteArray("logfile 2\r\n");
    QTest::newRow("Quake 3, missing") << 1 << false << QByteArray() << q3line;
    QTest::newRow("Quake 2, empty") << 0 << true << QByteArray() << QByteArray("logfile 2\r\n");
    QTest::newRow("seta logfile 2") << 1 << true << QByteArray("seta logfile 2\n") << QByteArray("seta logfile 2\n");
    QTest::newRow("SETA LOGFILE 2") << 1 << true << QByteArray("SETA LOGFILE 2") << QByteArray("SETA LOGFILE 2");
    QTest::newRow("Seta LogFile \"2\" among others")
        << 1 << true << QByteArray("name x\nSeta LogFile \"2\"\nbind a b\n")
        << QByteArray("name x\nSeta LogFile \"2\"\nbind a b\n");
    QTest::newRow("2 before the word") << 0 << true << QByteArray("// 2: logfile\n") << QByteArray("// 2: logfile\n");
    QTest::newRow("logfile 1 gets a line, Quake 2")
        << 0 << true << QByteArray("logfile 1\n") << QByteArray("logfile 1\r\nlogfile 2\r\n");
    QTest::newRow("logfile 1 gets a line, Quake 3")
        << 1 << true << QByteArray("seta logfile 1\n") << QByteArray("seta logfile 1\r\n") + q3line;
    QTest::newRow("word and digit on different lines")
        << 0 << true << QByteArray("logfile 0\nmaxclients 2\n")
        << QByteArray("logfile 0\r\nmaxclients 2\r\nlogfile 2\r\n");
    QTest::newRow("other lines keep their bytes")
        << 0 << true << QByteArray("bind x \"say hi\"  \n\tset a b\n")
        << QByteArray("bind x \"say hi\"  \r\n\tset a b\r\nlogfile 2\r\n");
    QTest::newRow("blank lines kept") << 0 << true << QByteArray("a\n\n\nb\n")
                                      << QByteArray("a\r\n\r\n\r\nb\r\nlogfile 2\r\n");
    QTest::newRow("no final line end") << 0 << true << QByteArray("exec a.cfg")
                                       << QByteArray("exec a.cfg\r\nlogfile 2\r\n");
    QTest::newRow("CR LF kept") << 0 << true << QByteArray("a\r\nb\r\n") << QByteArray("a\r\nb\r\nlogfile 2\r\n");
    QTest::newRow("lone CR ends a line") << 0 << true << QByteArray("a\rb") << QByteArray("a\r\nb\r\nlogfile 2\r\n");
    QTest::newRow("bytes above 127") << 0 << true << QByteArray("say \xe9\xff\n")
                                     << QByteArray("say \xe9\xff\r\nlogfile 2\r\n");
}

void TestAutoexec::ensure()
{
    QFETCH(int, gameType);
    QFETCH(bool, exists);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("autoexec.cfg"));
    if (exists)
        QVERIFY(writeFile(path, before));
    const bool wrote = autoexec::ensureLogging(path, gameType);
    QCOMPARE(readFile(path), after);
    QCOMPARE(wrote, !exists || before != after);
}

void TestAutoexec::secondEntryWritesNothing()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("autoexec.cfg"));
    QVERIFY(writeFile(path, "logfile 0\n"));
    QVERIFY(autoexec::ensureLogging(path, 0));
    const QByteArray first = readFile(path);
    QVERIFY(!autoexec::ensureLogging(path, 0));
    QCOMPARE(readFile(path), first);
    QCOMPARE(first, QByteArray("logfile 0\r\nlogfile 2\r\n"));
}

void TestAutoexec::missingFolderIsMade()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ctf/autoexec.cfg"));
    QVERIFY(autoexec::ensureLogging(path, 0));
    QCOMPARE(readFile(path), QByteArray("logfile 2\r\n"));
}

void TestAutoexec::tooLargeIsLeftAlone()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("autoexec.cfg"));
    const QByteArray big(int(autoexec::kMaxBytes + 1), 'a');
    QVERIFY(writeFile(path, big));
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, autoexec::ensureLogging(path, 0));
    QCOMPARE(QFileInfo(path).size(), big.size());
}

void TestAutoexec::unreadableIsReported()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("autoexec.cfg"));
    QVERIFY(QDir().mkpath(path)); // a folder where the file should be
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, autoexec::ensureLogging(path, 0));
    QVERIFY(QFileInfo(path).isDir());
}

QTEST_GUILESS_MAIN(TestAutoexec)
#include "tst_autoexec.moc"
