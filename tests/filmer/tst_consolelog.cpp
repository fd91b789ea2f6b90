// Console log lines, the "recording to" scan, demo path checks, and the incremental reader.

#include "consolelog.h"
#include "consolelogreader.h"
#include "gameinstall.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace arbelon;

namespace {

// Feeds each piece as one read and scans after it, as the scan tick does: the names announced
// and "S" for each stop line, in order.
QList<QByteArray> feedAndScan(ConsoleLog &log, const QList<QByteArray> &pieces)
{
    log.setStopLine("Stopped demo.");
    QList<QByteArray> names;
    for (const QByteArray &piece : pieces) {
        log.feed(piece);
        for (const DemoLogEvent &e : log.scanNewEvents())
            names += e.kind == DemoLogEvent::Stopped ? QByteArray("S") : e.name;
    }
    return names;
}

bool writeFile(const QString &path, const QByteArray &bytes, QIODevice::OpenMode mode)
{
    QFile f(path);
    return f.open(mode) && f.write(bytes) == bytes.size();
}

bool append(const QString &path, const QByteArray &bytes)
{
    return writeFile(path, bytes, QIODevice::WriteOnly | QIODevice::Append);
}

bool rewrite(const QString &path, const QByteArray &bytes)
{
    return writeFile(path, bytes, QIODevice::WriteOnly | QIODevice::Truncate);
}

} // namespace

class TestConsoleLog : public QObject {
    Q_OBJECT
private slots:
    void scan_data();
    void scan();
    void splitAtEveryPosition();
    void scannedLinesAreNotScannedAgain();
    void reopenedLogIsScannedFromItsStart();
    void demoPath_data();
    void demoPath();

    void readerStartsAtTheEnd();
    void readerCompletesLinesInLaterReads();
    void readerRereadsAShrunkLog();
    void readerRereadsARewrittenLog();
    void readerDropsThePartialLineOfTheOldContent();
    void readerHolds();
    void floodIsReadInBoundedSlices();
};

void TestConsoleLog::scan_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QList<QByteArray>>("names");
    using L = QList<QByteArray>;

    QTest::newRow("LF") << L{"recording to demos/a.dm3.\n"} << L{"demos/a.dm3"};
    QTest::newRow("CR LF") << L{"recording to demos/a.dm3.\r\n"} << L{"demos/a.dm3"};
    QTest::newRow("Quake 2 with ./") << L{"recording to ./ctf/demos/a.dm2.\n"} << L{"ctf/demos/a.dm2"};
    QTest::newRow("no trailing full stop") << L{"recording to demos/a.dm2\n"} << L{"demos/a.dm2"};
    QTest::newRow("only one full stop dropped") << L{"recording to demos/a.dm2..\n"} << L{"demos/a.dm2."};
    QTest::newRow("blanks before") << L{"  recording to demos/a.dm3.\n", "\trecording to b.dm3\n"} << L{};
    QTest::newRow("capitals") << L{"Recording to demos/a.dm3.\n", "RECORDING TO demos/b.dm3.\n"} << L{};
    QTest::newRow("words and a blank only") << L{"recording to \n", "recording to\n"} << L{};
    QTest::newRow("name of two characters") << L{"recording to ab\n"} << L{};
    QTest::newRow("name of three characters") << L{"recording to abc\n"} << L{"abc"};
    QTest::newRow("any character after the words") << L{"recording to:demos/a.dm3\n"} << L{"demos/a.dm3"};
    QTest::newRow("nothing trimmed") << L{"recording to  demos/a.dm3 \n"} << L{" demos/a.dm3 "};
    QTest::newRow("completed in a later read")
        << L{"recording to de", "mos/a.d", "m3.\n"} << L{"demos/a.dm3"};
    QTest::newRow("CR and LF in different reads") << L{"recording to demos/a.dm3.\r", "\n"} << L{"demos/a.dm3"};
    QTest::newRow("unfinished line waits") << L{"recording to demos/a.dm3.", "", ""} << L{};
    QTest::newRow("carriage return anywhere dropped") << L{"record\ring to demos/a.dm3\n"} << L{"demos/a.dm3"};
    QTest::newRow("among other lines, in order")
        << L{"]\\record x\nrecording to demos/x.dm_68.\nsome text\n",
             "Dropped\nrecording to demos/y.dm_68.\n"}
        << L{"demos/x.dm_68", "demos/y.dm_68"};
    QTest::newRow("stoprecord; record b") << L{"recording to a.dm2\n]stoprecord; record b\nStopped demo.\nrecording to b.dm2\n"}
                                          << L{"a.dm2", "S", "b.dm2"};
    QTest::newRow("stop with more after it") << L{"Stopped demo. x\r\n", "Stop", "ped demo.\n"} << L{"S", "S"};
    QTest::newRow("stop not at the start") << L{" Stopped demo.\n", "say Stopped demo.\n", "STOPPED DEMO.\n"} << L{};
    QTest::newRow("Quake3e's stop is another line") << L{"Stopped demo recording.\n"} << L{};
    QTest::newRow("too long to be a path")
        << L{"recording to " + QByteArray(ConsoleLog::kMaxLineBytes, 'a') + ".dm2\n", "recording to ok.dm2\n"}
        << L{"ok.dm2"};
}

void TestConsoleLog::scan()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QList<QByteArray>, names);
    ConsoleLog log;
    QCOMPARE(feedAndScan(log, pieces), names);
}

void TestConsoleLog::splitAtEveryPosition()
{
    const QByteArray text = "hello\r\nrecording to ./baseq2/demos/one.dm2.\r\nStopped demo.\r\n"
                            "x\nrecording to demos/two.dm2.\nrecording to ab\nrecording to c";
    const QList<QByteArray> expected{"baseq2/demos/one.dm2", "S", "demos/two.dm2"};
    for (qsizetype cut = 0; cut <= text.size(); ++cut) {
        ConsoleLog log;
        const QList<QByteArray> names = feedAndScan(log, {text.left(cut), text.mid(cut)});
        QVERIFY2(names == expected, qPrintable(QStringLiteral("cut at %1").arg(cut)));
        QCOMPARE(log.lineCount(), 6);
        QVERIFY(log.hasPartialLine());
    }
}

void TestConsoleLog::scannedLinesAreNotScannedAgain()
{
    ConsoleLog log;
    log.feed("recording to a.dm2\n");
    QCOMPARE(log.scanNewLines(), QList<QByteArray>{"a.dm2"});
    QCOMPARE(log.linesScanned(), 1);
    QCOMPARE(log.scanNewLines(), QList<QByteArray>{});
    log.feed("other\nrecording to b.dm2\n");
    QCOMPARE(log.scanNewLines(), QList<QByteArray>{"b.dm2"});
    QCOMPARE(log.lineCount(), 3);
    QCOMPARE(log.linesScanned(), 3);
}

void TestConsoleLog::reopenedLogIsScannedFromItsStart()
{
    ConsoleLog log;
    log.feed("a\nb\nc\n");
    QVERIFY(log.scanNewLines().isEmpty());
    QCOMPARE(log.linesScanned(), 3);
    // The log is opened again within the session: fewer lines than scanned.
    log.clear();
    log.feed("recording to x.dm2\n");
    QCOMPARE(log.scanNewLines(), QList<QByteArray>{"x.dm2"});
    QCOMPARE(log.linesScanned(), 1);
    log.resetScanned();
    QCOMPARE(log.linesScanned(), 0);
}

void TestConsoleLog::demoPath_data()
{
    QTest::addColumn<QString>("engine");
    QTest::addColumn<QString>("mod");
    QTest::addColumn<QByteArray>("name"); // "@" stands for the data folder
    QTest::addColumn<QString>("path");    // below the data folder; empty: refused

    const auto row = [](const char *tag, const char *engine, const char *mod, const QByteArray &name, const char *path) {
        QTest::newRow(tag) << QString::fromLatin1(engine) << QString::fromLatin1(mod) << name << QString::fromLatin1(path);
    };
    row("Quake 2 mod", "quake2", "ctf", "ctf/demos/a.dm2", "ctf/demos/a.dm2");
    row("Quake 2 base game while in a mod", "quake2", "ctf", "baseq2/demos/a.dm2", "baseq2/demos/a.dm2");
    row("Quake 2 another mod", "quake2", "ctf", "rogue/demos/a.dm2", "");
    row("Quake 2 capital extension", "quake2", "baseq2", "baseq2/demos/A.DM2", "baseq2/demos/A.DM2");
    row("Quake 3 dm3", "quake3", "baseq3", "demos/duel1.dm3", "baseq3/demos/duel1.dm3");
    row("Quake 3 dm_68", "quake3", "baseq3", "demos/d.dm_68", "baseq3/demos/d.dm_68");
    row("OpenArena", "openarena", "baseoa", "demos/a1.dm_71", "baseoa/demos/a1.dm_71");
    row("OpenArena, other protocol", "openarena", "baseoa", "demos/a1.dm_68", "");
    row("OpenArena, absolute", "openarena", "baseoa", "@baseoa/demos/a1.dm_71", "baseoa/demos/a1.dm_71");
    row("Yamagi absolute", "yamagi-quake2", "baseq2", "@baseq2/demos/x.dm2", "baseq2/demos/x.dm2");
    row("Yamagi absolute, mod", "yamagi-quake2", "rogue", "@rogue/demos/x.dm2", "rogue/demos/x.dm2");
    row("absolute outside", "yamagi-quake2", "baseq2", "/tmp/x.dm2", "");
    row("absolute climbing out", "openarena", "baseoa", "@baseoa/demos/../../../x.dm_71", "");
    row("outside, no extension", "quake2", "baseq2", "/../../../etc/passwd", "");
    row("outside, demo extension", "quake2", "baseq2", "/../../../tmp/x.dm2", "");
    row("Quake 3 out of the game folder", "quake3", "baseq3", "../../x.dm3", "");
    row("beside the demos folder", "quake3", "baseq3", "x.dm3", "");
    row("Quake 2 with a Quake 3 extension", "quake2", "baseq2", "baseq2/demos/a.dm3", "");
    row("configuration file", "quake2", "baseq2", "baseq2/autoexec.cfg", "");
    row("dm_ without digits", "quake3", "baseq3", "demos/a.dm_x", "");
    row("control character", "quake2", "baseq2", "baseq2/demos/a\x01.dm2", "");
    // Windows drops trailing dots and blanks from a name: the file opened would not be the one named.
    row("trailing blank", "ioquake3", "baseq3", "demos/a.dm_68 ", "");
    row("trailing dot", "ioquake3", "baseq3", "demos/a.dm_68.", "");
    row("device name", "ioquake3", "baseq3", "demos/CON", "");
    row("link out of the demos folder", "openarena", "baseoa", "demos/link.dm_71", "");
    row("folder with a demo's name", "openarena", "baseoa", "demos/folder.dm_71", "");
    row("demos folder itself a link", "ioquake3", "baseq3", "demos/d.dm_68", "baseq3/demos/d.dm_68");
}

void TestConsoleLog::demoPath()
{
    QFETCH(QString, engine);
    QFETCH(QString, mod);
    QFETCH(QByteArray, name);
    QFETCH(QString, path);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString data = dir.filePath(QStringLiteral("data/"));
    // What the rows need on disk: a link that leads out, a folder named as a demo, and a
    // demos folder that is a link to a folder elsewhere inside the data folder.
    QVERIFY(QDir().mkpath(data + QStringLiteral("baseoa/demos/folder.dm_71")));
    QVERIFY(QDir().mkpath(data + QStringLiteral("store")));
    QVERIFY(QDir().mkpath(data + QStringLiteral("baseq3")));
#ifdef Q_OS_WIN
    // QFile::link makes shortcuts there; junctions are checked in tst_win32platform.
    if (QByteArray(QTest::currentDataTag()).contains("link"))
        QSKIP("no symbolic links here");
#else
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("outside.dm_71")), data + QStringLiteral("baseoa/demos/link.dm_71")));
    QVERIFY(QFile::link(data + QStringLiteral("store"), data + QStringLiteral("baseq3/demos")));
#endif
    const GameInstall game = GameInstall::make(*engineprofiles::find(engineprofiles::builtIn(), engine), data,
                                               QString(), QString(), {});
    name.replace('@', QFile::encodeName(data));
    QString why;
    const QString found = demoPathFromLine(name, game.recordBase(mod), game, mod, &why);
    QCOMPARE(found, path.isEmpty() ? QString() : data + path);
    QCOMPARE(why.isEmpty(), !path.isEmpty());
    const GameInstall none = GameInstall::make(game.engine, QString(), QString(), QString(), {});
    QVERIFY(demoPathFromLine(name, none.recordBase(mod), none, mod, &why).isEmpty());
}

void TestConsoleLog::readerStartsAtTheEnd()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("qconsole.log"));
    QVERIFY(rewrite(path, "recording to old.dm2\nrecording to ha"));
    ConsoleLogReader reader;
    ConsoleLog log;
    reader.open(path);
    QCOMPARE(reader.position(), QFileInfo(path).size());
    reader.readInto(log);
    QVERIFY(log.scanNewLines().isEmpty());
    QVERIFY(append(path, "lf.dm2\nrecording to new.dm2\n"));
    reader.readInto(log);
    // The half line that was there before the log was opened is not read either.
    QCOMPARE(log.scanNewLines(), QList<QByteArray>{"new.dm2"});
    QCOMPARE(reader.restarts(), 0);
}

void TestConsoleLog::readerCompletesLinesInLaterReads()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("qconsole.log"));
    QVERIFY(rewrite(path, QByteArray()));
    ConsoleLogReader reader;
    ConsoleLog log;
    reader.open(path);
    QVERIFY(append(path, "recording to demos/dem"));
    reader.readInto(log);
    QVERIFY(log.scanNewLines().isEmpty());
    QVERIFY(append(path, "o1.dm2.\r\n"));
    reader.readInto(log);
    QCOMPARE(log.scanNewLines(), QList<QByteArray>{"demos/demo1.dm2"});
    reader.readInto(log); // nothing new
    QVERIFY(log.scanNewLines().isEmpty());
}

void TestConsoleLog::readerRereadsAShrunkLog()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("qconsole.log"));
    QVERIFY(rewrite(path, QByteArray(500, 'x') + '\n'));
    ConsoleLogReader reader;
    ConsoleLog log;
    reader.open(path);
    QVERIFY(append(path, "line\n"));
    reader.readInto(log);
    QCOMPARE(log.lineCount(), 1);
    // The game starts a new log, shorter than what was read.
    QVERIFY(rewrite(path, "start\nrecording to demos/b.dm2.\n"));
    reader.readInto(log);
    QCOMPARE(reader.restarts(), 1);
    QCOMPARE(log.scanNewLines(), QList<QByteArray>{"demos/b.dm2"});
    QCOMPARE(reader.position(), QFileInfo(path).size());
}

void TestConsoleLog::readerRereadsARewrittenLog()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("qconsole.log"));
    QVERIFY(rewrite(path, "first run\n"));
    ConsoleLogReader reader;
    ConsoleLog log;
    reader.open(path);
    // Started anew and already longer than the read position at the next look.
    QVERIFY(rewrite(path, "second run\nrecording to demos/c.dm2.\n" + QByteArray(200, '-') + '\n'));
    reader.readInto(log);
    QCOMPARE(reader.restarts(), 1);
    QCOMPARE(log.scanNewLines(), QList<QByteArray>{"demos/c.dm2"});
    // Growing normally afterwards is no restart.
    QVERIFY(append(path, "recording to demos/d.dm2.\n"));
    reader.readInto(log);
    QCOMPARE(reader.restarts(), 1);
    QCOMPARE(log.scanNewLines(), QList<QByteArray>{"demos/d.dm2"});
}

void TestConsoleLog::readerDropsThePartialLineOfTheOldContent()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("qconsole.log"));
    QVERIFY(rewrite(path, QByteArray(100, 'x') + '\n'));
    ConsoleLogReader reader;
    ConsoleLog log;
    reader.open(path);
    QVERIFY(append(path, "recording to demos/"));
    reader.readInto(log);
    QVERIFY(rewrite(path, "x.dm2\n"));
    reader.readInto(log);
    QCOMPARE(reader.restarts(), 1);
    QVERIFY(log.scanNewLines().isEmpty());
}

void TestConsoleLog::readerHolds()
{
#ifdef Q_OS_WIN
    QSKIP("QFile::link makes a shortcut on Windows, not a link");
#else
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("qconsole.log"));
    const QString other = dir.filePath(QStringLiteral("other.log"));
    QVERIFY(rewrite(path, "a\n"));
    QVERIFY(rewrite(other, "b\n"));
    ConsoleLogReader reader;
    QVERIFY(!reader.holds(path));
    reader.open(path);
    QVERIFY(reader.holds(path));
    QVERIFY(reader.holds(dir.path() + QStringLiteral("/./qconsole.log")));
    const QString link = dir.filePath(QStringLiteral("link.log"));
    QVERIFY(QFile::link(path, link));
    QVERIFY(reader.holds(link));
    QVERIFY(!reader.holds(other));
    reader.close();
    QVERIFY(!reader.holds(path));
    QVERIFY(!reader.isOpen());
#endif
}

// 200 MB of announcements must not be held at once: the reader takes one slice a call and
// the log keeps no more announcements than the Filmer would take.
void TestConsoleLog::floodIsReadInBoundedSlices()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("qconsole.log"));
    QVERIFY(rewrite(path, QByteArray()));
    ConsoleLogReader reader;
    ConsoleLog log;
    reader.open(path);
    QByteArray lines;
    for (int i = 0; lines.size() < ConsoleLogReader::kReadPerCall; ++i)
        lines += "recording to ./baseq2/demos/d" + QByteArray::number(i) + ".dm2.\n";
    const qint64 slices = 3;
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Append));
    for (qint64 i = 0; i < slices; ++i)
        QCOMPARE(f.write(lines), lines.size());
    f.close();
    const qint64 size = QFileInfo(path).size();
    for (qint64 call = 1; call <= slices + 1; ++call) {
        reader.readInto(log);
        QCOMPARE(reader.position(), qMin(size, call * ConsoleLogReader::kReadPerCall));
        QVERIFY(log.heldAnnouncements() <= ConsoleLog::kMaxAnnouncements);
        const QList<QByteArray> names = log.scanNewLines();
        if (call == 1) {
            QCOMPARE(names.size(), ConsoleLog::kMaxAnnouncements);
            QCOMPARE(names.first(), QByteArray("baseq2/demos/d0.dm2"));
        }
    }
    QCOMPARE(reader.position(), size);
}

QTEST_GUILESS_MAIN(TestConsoleLog)
#include "tst_consolelog.moc"
