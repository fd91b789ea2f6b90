// The Filmer's preparation, log enabling and console log scan, driven tick by tick.

#include "filmerupload.h"

#include "clientcore.h"
#include "demolistmodel.h"
#include "gamerunning.h"
#include "common/testdoubles.h"
#include "common/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <stdexcept>

#include <cstdio>
#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace arbelon;
using arbelon::test::readFile;

namespace {

constexpr int kHour = 3600 * 1000;

bool append(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Append) && f.write(bytes) == bytes.size();
}

// A core with the games in a temporary folder; the timers never fire on their own.
struct Rig {
    QTemporaryDir dir;
    FakeGameRunningCheck game{true};
    test::ScriptedPrompts prompts;
    ClientCore core;

    Rig(int gameType, const QString &mod)
    {
        core.setGameRunningCheck(&game);
        core.setPrompts(&prompts);
        core.settings().quake2Dir = dir.path() + QStringLiteral("/q2/");
        core.settings().quake3Dir = dir.path() + QStringLiteral("/q3/");
        core.settings().gameTypeSystem = gameType;
        core.settings().modTypeSystem = mod;
        core.LogFileScan().setInterval(kHour);
        core.OutDemoStream().setInterval(kHour);
        filmer().prepare();
    }
    FilmerUpload &filmer() { return core.filmer(); }
    QString path(const QString &relative) const { return dir.path() + QLatin1Char('/') + relative; }
    void tick() { filmer().LogFileScanTimer(); }
};

} // namespace

class TestFilmerScan : public QObject {
    Q_OBJECT
private slots:
    void prepare_data();
    void prepare();
    void prepareClearsTheSession();
    void noGameDirectory();
    void enableLog_data();
    void enableLog();
    void candidateChoice_data();
    void candidateChoice();
    void scanFindsDemos_data();
    void scanFindsDemos();
    void lineCompletedAtALaterTick();
    void logsAreNeverDeleted_data();
    void logsAreNeverDeleted();
    void replacedLogIsReadFromItsStart();
    void toldWhereTheLogIs();
    void scanTimerRestartsAfterAnError();
    void closeFilesDropsTheLog();
    void pendingListIsBounded();
    void specialFilesAreIgnored_data();
    void specialFilesAreIgnored();
};

void TestFilmerScan::prepare_data()
{
    QTest::addColumn<int>("gameType");
    QTest::addColumn<QString>("mod");
    QTest::addColumn<QString>("modAfter");
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("autoexec");

    const auto row = [](const char *name, int type, const char *mod, const char *modAfter, const char *base,
                        const char *first, const char *second, const char *autoexec) {
        QTest::newRow(name) << type << QString::fromLatin1(mod) << QString::fromLatin1(modAfter)
                            << QString::fromLatin1(base) << QString::fromLatin1(first)
                            << QString::fromLatin1(second) << QString::fromLatin1(autoexec);
    };
    row("Quake 2, baseq2", 0, "baseq2", "baseq2", "q2/", "q2/baseq2/qconsole.log", "q2/baseq2/qconsole.log",
        "q2/baseq2/autoexec.cfg");
    row("Quake 2, ctf", 0, "ctf", "ctf", "q2/", "q2/ctf/qconsole.log", "q2/baseq2/qconsole.log",
        "q2/ctf/autoexec.cfg");
    row("Quake 2, mod leading out", 0, "../out", "../out", "q2/", "q2/baseq2/qconsole.log",
        "q2/baseq2/qconsole.log", "q2/baseq2/autoexec.cfg");
    row("Quake 3 forces baseq3", 1, "ctf", "baseq3", "q3/baseq3/", "q3/baseq3/qconsole.log",
        "q3/baseq3/qconsole.log", "q3/baseq3/autoexec.cfg");
}

void TestFilmerScan::prepare()
{
    QFETCH(int, gameType);
    QFETCH(QString, mod);
    QFETCH(QString, modAfter);
    QFETCH(QString, base);
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, autoexec);
    Rig rig(gameType, mod);
    QCOMPARE(rig.core.settings().modTypeSystem, modAfter);
    QCOMPARE(rig.filmer().demoBaseDirectory(), rig.path(base));
    QCOMPARE(rig.filmer().logCandidate(0), rig.path(first));
    QCOMPARE(rig.filmer().logCandidate(1), rig.path(second));
    QCOMPARE(rig.filmer().autoexecPath(), rig.path(autoexec));
    // The demo base folder is made with its parents.
    QVERIFY(QFileInfo(rig.path(base)).isDir());
    QVERIFY(rig.filmer().consoleLogPath().isEmpty());
}

void TestFilmerScan::prepareClearsTheSession()
{
    Rig rig(0, QStringLiteral("baseq2"));
    rig.core.demo().pending = {QStringLiteral("/x/a.dm2")};
    rig.core.demo().currentDemoPath = QStringLiteral("/x/b.dm2");
    rig.core.demo().listedNames = {QStringLiteral("b")};
    rig.core.demoList()->appendRow(QStringLiteral("b.dm2"));
    rig.filmer().prepare();
    QVERIFY(rig.core.demo().pending.isEmpty());
    QVERIFY(rig.core.demo().currentDemoPath.isEmpty());
    QVERIFY(rig.core.demo().listedNames.isEmpty());
    QCOMPARE(rig.core.demoList()->rowCount(), 0);
}

void TestFilmerScan::noGameDirectory()
{
    Rig rig(0, QStringLiteral("baseq2"));
    rig.core.settings().quake2Dir.clear();
    rig.filmer().prepare();
    QVERIFY(rig.filmer().logCandidate(0).isEmpty());
    QVERIFY(rig.filmer().autoexecPath().isEmpty());
    rig.filmer().enableLog(); // writes nowhere, in particular not below the working folder
    QVERIFY(!QFile::exists(QStringLiteral("baseq2/autoexec.cfg")));
    rig.tick();
    QVERIFY(rig.filmer().consoleLogPath().isEmpty());
    QVERIFY(rig.core.LogFileScan().isActive());
}

void TestFilmerScan::enableLog_data()
{
    QTest::addColumn<int>("gameType");
    QTest::addColumn<QString>("mod");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("Quake 2, ctf") << 0 << QStringLiteral("ctf") << QStringLiteral("q2/ctf/autoexec.cfg") << QByteArray("logfile 2\r\n");
    QTest::newRow("Quake 3") << 1 << QStringLiteral("ctf") << QStringLiteral("q3/baseq3/autoexec.cfg") << QByteArray("seta logfile \"2\"\r\n");
}

void TestFilmerScan::enableLog()
{
    QFETCH(int, gameType);
    QFETCH(QString, mod);
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    Rig rig(gameType, mod);
    rig.filmer().enableLog();
    QCOMPARE(readFile(rig.path(file)), content);
    rig.filmer().enableLog();
    QCOMPARE(readFile(rig.path(file)), content);
}

void TestFilmerScan::candidateChoice_data()
{
    QTest::addColumn<bool>("firstExists");
    QTest::addColumn<bool>("secondExists");
    QTest::addColumn<int>("chosen");
    QTest::newRow("none") << false << false << -1;
    QTest::newRow("first only") << true << false << 0;
    QTest::newRow("second only") << false << true << 1;
    QTest::newRow("both: the second wins") << true << true << 1;
}

void TestFilmerScan::candidateChoice()
{
    QFETCH(bool, firstExists);
    QFETCH(bool, secondExists);
    QFETCH(int, chosen);
    Rig rig(0, QStringLiteral("ctf"));
    if (firstExists)
        QVERIFY(append(rig.filmer().logCandidate(0), "x\n"));
    if (secondExists)
        QVERIFY(append(rig.filmer().logCandidate(1), "y\n"));
    rig.tick();
    QCOMPARE(rig.filmer().consoleLogPath(), chosen < 0 ? QString() : rig.filmer().logCandidate(chosen));
    QCOMPARE(rig.filmer().consoleLogOpen(), chosen >= 0);
}

void TestFilmerScan::scanFindsDemos_data()
{
    QTest::addColumn<int>("gameType");
    QTest::addColumn<QString>("mod");
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QStringList>("pending");

    QTest::newRow("Quake 2, ctf")
        << 0 << QStringLiteral("ctf")
        << QByteArray("]record a\r\nrecording to ./ctf/demos/a.dm2.\r\n")
        << QStringList{QStringLiteral("q2/ctf/demos/a.dm2")};
    QTest::newRow("Quake 2, two in order, LF")
        << 0 << QStringLiteral("baseq2")
        << QByteArray("recording to ./baseq2/demos/one.dm2.\nx\nrecording to ./baseq2/demos/two.dm2.\n")
        << QStringList{QStringLiteral("q2/baseq2/demos/one.dm2"), QStringLiteral("q2/baseq2/demos/two.dm2")};
    QTest::newRow("Quake 3, dm3") << 1 << QStringLiteral("baseq3") << QByteArray("recording to demos/duel1.dm3.\n")
                                  << QStringList{QStringLiteral("q3/baseq3/demos/duel1.dm3")};
    QTest::newRow("Quake 3, dm_68") << 1 << QStringLiteral("baseq3") << QByteArray("recording to demos/duel1.dm_68.\n")
                                    << QStringList{QStringLiteral("q3/baseq3/demos/duel1.dm_68")};
    QTest::newRow("hostile path") << 0 << QStringLiteral("baseq2") << QByteArray("recording to ../../../../etc/passwd.\n")
                                  << QStringList{};
    QTest::newRow("hostile path with a demo extension")
        << 1 << QStringLiteral("baseq3") << QByteArray("recording to ../../../../tmp/x.dm3.\n") << QStringList{};
    QTest::newRow("wrong extension") << 0 << QStringLiteral("baseq2")
                                     << QByteArray("recording to ./baseq2/demos/a.dm3.\nrecording to ./baseq2/x.cfg.\n")
                                     << QStringList{};
    QTest::newRow("blanks before, capitals")
        << 0 << QStringLiteral("baseq2")
        << QByteArray(" recording to ./baseq2/demos/a.dm2.\nRECORDING TO ./baseq2/demos/b.dm2.\n") << QStringList{};
}

void TestFilmerScan::scanFindsDemos()
{
    QFETCH(int, gameType);
    QFETCH(QString, mod);
    QFETCH(QByteArray, lines);
    QFETCH(QStringList, pending);
    Rig rig(gameType, mod);
    const QString log = rig.filmer().logCandidate(0);
    // What the log held before it was opened is never read.
    QVERIFY(append(log, lines));
    rig.tick();
    QVERIFY(rig.filmer().consoleLogOpen());
    QVERIFY(rig.core.demo().pending.isEmpty());

    QVERIFY(append(log, lines));
    rig.tick();
    QStringList expected;
    for (const QString &p : std::as_const(pending))
        expected.append(rig.path(p));
    QCOMPARE(rig.core.demo().pending, expected);
    rig.tick(); // nothing new: nothing added twice
    QCOMPARE(rig.core.demo().pending, expected);
}

void TestFilmerScan::lineCompletedAtALaterTick()
{
    Rig rig(0, QStringLiteral("baseq2"));
    const QString log = rig.filmer().logCandidate(0);
    QVERIFY(append(log, QByteArray()));
    rig.tick();
    QVERIFY(append(log, "recording to ./baseq2/demos/lo"));
    rig.tick();
    QVERIFY(rig.core.demo().pending.isEmpty());
    QVERIFY(append(log, "ng.dm2.\r\n"));
    rig.tick();
    QCOMPARE(rig.core.demo().pending, QStringList{rig.path(QStringLiteral("q2/baseq2/demos/long.dm2"))});
}

// A log is never deleted, running or not, open or not: the game may be writing it.
void TestFilmerScan::logsAreNeverDeleted_data()
{
    QTest::addColumn<int>("gameType");
    QTest::addColumn<bool>("openedFirst");
    QTest::newRow("Quake 2, log open") << 0 << true;
    QTest::newRow("Quake 2, none open") << 0 << false;
    QTest::newRow("Quake 3, log open") << 1 << true;
}

void TestFilmerScan::logsAreNeverDeleted()
{
    QFETCH(int, gameType);
    QFETCH(bool, openedFirst);
    Rig rig(gameType, QStringLiteral("ctf"));
    const QString first = rig.filmer().logCandidate(0);
    const QString second = rig.filmer().logCandidate(1);
    QVERIFY(append(first, "a\n"));
    if (second != first)
        QVERIFY(append(second, "b\n"));
    rig.game.setRunning(openedFirst);
    rig.tick();
    QCOMPARE(rig.filmer().consoleLogOpen(), openedFirst);

    rig.game.setRunning(false);
    const QByteArray line = gameType == 1 ? "recording to demos/while_stopped.dm3.\n"
                                          : "recording to ./ctf/demos/while_stopped.dm2.\n";
    QVERIFY(append(second, line));
    rig.tick();
    rig.tick();
    QVERIFY(QFile::exists(first));
    QVERIFY(QFile::exists(second));
    QVERIFY(rig.core.demo().pending.isEmpty()); // not read while the game is not running
    rig.filmer().closeFiles();
    rig.tick();
    QVERIFY(QFile::exists(second));

    // Running again: the log goes on from where it was, or is opened at its end.
    rig.game.setRunning(true);
    rig.tick();
    QCOMPARE(rig.filmer().consoleLogPath(), second);
    QVERIFY(rig.core.demo().pending.isEmpty());
    QVERIFY(append(second, line));
    rig.tick();
    QCOMPARE(rig.core.demo().pending.size(), 1);
}

// A new log under the old name (the game started again) is read from its start.
void TestFilmerScan::replacedLogIsReadFromItsStart()
{
#ifdef Q_OS_WIN
    QSKIP("Windows cannot replace a log the client holds: it is held without delete sharing");
#else
    Rig rig(1, QStringLiteral("baseq3"));
    const QString log = rig.filmer().logCandidate(0);
    QVERIFY(append(log, "old game\n"));
    rig.tick();
    QVERIFY(rig.filmer().consoleLogOpen());
    const QString fresh = log + QStringLiteral(".new");
    QVERIFY(append(fresh, "recording to demos/after.dm3.\n"));
    QVERIFY(::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(log).constData()) == 0);
    rig.tick();
    QCOMPARE(rig.core.demo().pending, QStringList{rig.path(QStringLiteral("q3/baseq3/demos/after.dm3"))});
#endif
}

// The user is told where the log is looked for.
void TestFilmerScan::toldWhereTheLogIs()
{
    Rig rig(0, QStringLiteral("ctf"));
    QSignalSpy notices(&rig.core, &ClientCore::noticeLine);
    rig.filmer().prepare();
    QCOMPARE(notices.size(), 1);
    QCOMPARE(notices.at(0).at(0).toString(),
             QStringLiteral("Watching for the console log at %1 or %2").arg(rig.filmer().logCandidate(0), rig.filmer().logCandidate(1)));
}

void TestFilmerScan::scanTimerRestartsAfterAnError()
{
    Rig rig(0, QStringLiteral("baseq2"));
    // A folder where the console log should be: it exists but cannot be opened as a file.
    QVERIFY(QDir().mkpath(rig.filmer().logCandidate(0)));
    QVERIFY(!rig.core.LogFileScan().isActive());
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, rig.tick());
    QVERIFY(rig.core.LogFileScan().isActive());

    // Through the timer the error reaches the error box and the next tick still comes.
    rig.core.LogFileScan().setInterval(0);
    rig.core.LogFileScan().start();
    QTRY_VERIFY(rig.prompts.errors.size() >= 2);
    rig.core.LogFileScan().stop();
}

void TestFilmerScan::closeFilesDropsTheLog()
{
    Rig rig(0, QStringLiteral("baseq2"));
    const QString log = rig.filmer().logCandidate(0);
    QVERIFY(append(log, QByteArray()));
    rig.tick();
    QVERIFY(append(log, "a\nb\nc\n"));
    rig.tick();
    QCOMPARE(rig.filmer().consoleLog().lineCount(), 3);
    rig.filmer().closeFiles();
    QVERIFY(!rig.filmer().consoleLogOpen());
    QCOMPARE(rig.filmer().consoleLog().lineCount(), 0);
}

void TestFilmerScan::pendingListIsBounded()
{
    Rig rig(0, QStringLiteral("baseq2"));
    const QString log = rig.filmer().logCandidate(0);
    QVERIFY(append(log, QByteArray()));
    rig.tick();
    QByteArray flood;
    for (int i = 0; i < FilmerUpload::kMaxPending + 10; ++i)
        flood += "recording to ./baseq2/demos/d" + QByteArray::number(i) + ".dm2.\n";
    QVERIFY(append(log, flood));
    rig.tick();
    QCOMPARE(rig.core.demo().pending.size(), FilmerUpload::kMaxPending);
    QCOMPARE(rig.core.demo().pending.first(), rig.path(QStringLiteral("q2/baseq2/demos/d0.dm2")));
}

// A FIFO where the game's files belong: opening it for reading would wait for a writer for
// good. The test holds a writer (so the code before the check did not hang here, it read);
// the client must not hold it open, must not replace it, and goes on with a trace line.
void TestFilmerScan::specialFilesAreIgnored_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("console log") << QStringLiteral("q2/baseq2/qconsole.log");
    QTest::newRow("announced demo") << QStringLiteral("q2/baseq2/demos/d1.dm2");
    QTest::newRow("autoexec.cfg") << QStringLiteral("q2/baseq2/autoexec.cfg");
}

void TestFilmerScan::specialFilesAreIgnored()
{
#ifdef Q_OS_WIN
    QSKIP("FIFOs are POSIX; device names are checked in tst_win32platform");
#else
    QFETCH(QString, file);
    Rig rig(0, QStringLiteral("baseq2"));
    const QString fifo = rig.path(file);
    QVERIFY(QDir().mkpath(QFileInfo(fifo).absolutePath()));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const int writer = ::open(QFile::encodeName(fifo).constData(), O_RDWR | O_NONBLOCK);
    QVERIFY(writer >= 0);
    const auto closeWriter = qScopeGuard([writer] { ::close(writer); });
    QCOMPARE(::write(writer, "x\n", 2), 2);
    QStringList traced;
    rig.core.setTraceEnabled(true);
    connect(&rig.core, &ClientCore::traceLine, this, [&traced](const QString &l) { traced << l; });

    if (file.endsWith(QLatin1String(".log"))) {
        rig.tick();
        QVERIFY(!rig.filmer().consoleLogOpen());
    } else if (file.endsWith(QLatin1String(".dm2"))) {
        rig.core.demo().currentDemoPath = fifo;
        rig.core.demo().pending = {rig.path(QStringLiteral("q2/baseq2/demos/d2.dm2"))};
        rig.filmer().OutDemoStreamTimer();
        QVERIFY(!rig.filmer().demoFileOpen());
        QVERIFY(rig.core.demo().currentDemoPath.isEmpty()); // the next one goes
    } else {
        rig.filmer().enableLog();
    }
    QVERIFY2(!QFileInfo(fifo).isFile(), "the FIFO was replaced");
    QVERIFY2(!traced.filter(fifo).isEmpty(), qPrintable(traced.join(QLatin1Char('\n'))));
#endif
}

QTEST_GUILESS_MAIN(TestFilmerScan)
#include "tst_filmerscan.moc"
