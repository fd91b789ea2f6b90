// The stand-in game, run as a real process: console log, recording line, demo bytes,
// option checks and the launch record.

#include "common/testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using arbelon::test::readFile;
using arbelon::test::writeFile;

namespace {

QString standinPath()
{
    return QDir(qEnvironmentVariable("ARBELON_BIN_DIR"))
        .filePath(QStringLiteral("arbelon-standin-game"));
}

QByteArray randomBytes(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (char &c : data)
        c = char(QRandomGenerator::global()->bounded(256));
    return data;
}

// Every file below dir with its size, to see that a refused run wrote nothing.
QStringList listing(const QString &dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        out << it.filePath() + QLatin1Char(' ') + QString::number(it.fileInfo().size());
    }
    out.sort();
    return out;
}

struct RunResult {
    int exitCode = -1;
    bool finished = false;
    QByteArray out;
    QByteArray err;
};

RunResult run(const QString &program, const QStringList &args, const QString &workDir = {})
{
    QProcess p;
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.start(program, args);
    RunResult r;
    r.finished = p.waitForStarted(10000) && p.waitForFinished(60000)
                 && p.exitStatus() == QProcess::NormalExit;
    if (!r.finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QStringList quick(const QString &gameDir)
{
    return {QStringLiteral("--dir"), gameDir, QStringLiteral("--no-window"),
            QStringLiteral("--linger"), QStringLiteral("0"), QStringLiteral("--rate"),
            QStringLiteral("1000000")};
}

} // namespace

class TestStandin : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void autoexecLogging_data();
    void autoexecLogging();
    void lineEnds_data();
    void lineEnds();
    void recordingLine_data();
    void recordingLine();
    void demoBytes_data();
    void demoBytes();
    void refusedOptions_data();
    void refusedOptions();
    void launchedAsGame_data();
    void launchedAsGame();
};

void TestStandin::initTestCase()
{
    QVERIFY2(QFileInfo(standinPath()).isExecutable(),
             qPrintable(QStringLiteral("stand-in not found at ") + standinPath()));
}

void TestStandin::autoexecLogging_data()
{
    QTest::addColumn<int>("game");
    QTest::addColumn<QString>("mod");
    QTest::addColumn<QString>("autoexecFolder"); // empty: no autoexec.cfg at all
    QTest::addColumn<QByteArray>("autoexec");
    QTest::addColumn<QByteArray>("oldLog"); // console log there before the start
    QTest::addColumn<bool>("logging");
    QTest::addColumn<bool>("oldKept");

    const QString q2 = QStringLiteral("baseq2");
    const QString q3 = QStringLiteral("baseq3");
    QTest::newRow("q2 logfile 2") << 2 << q2 << q2 << QByteArray("logfile 2\r\n") << QByteArray()
                                  << true << false;
    QTest::newRow("q2 seta quoted") << 2 << q2 << q2 << QByteArray("seta logfile \"2\"\n")
                                    << QByteArray() << true << false;
    QTest::newRow("q2 upper case") << 2 << q2 << q2 << QByteArray("LOGFILE 1\n") << QByteArray()
                                   << true << false;
    QTest::newRow("q2 among commands") << 2 << q2 << q2
                                       << QByteArray("bind x +attack; logfile 4\nname p\n")
                                       << QByteArray() << true << false;
    QTest::newRow("q2 logfile 0") << 2 << q2 << q2 << QByteArray("logfile 0\n") << QByteArray()
                                  << false << false;
    QTest::newRow("q2 logfile 5") << 2 << q2 << q2 << QByteArray("logfile 5\n") << QByteArray()
                                  << false << false;
    QTest::newRow("q2 commented out") << 2 << q2 << q2 << QByteArray("// logfile 2\n")
                                      << QByteArray() << false << false;
    QTest::newRow("q2 switched off later") << 2 << q2 << q2
                                           << QByteArray("logfile 2\r\nset logfile 0\r\n")
                                           << QByteArray() << false << false;
    QTest::newRow("q2 other setting") << 2 << q2 << q2 << QByteArray("set logfilename 2\n")
                                      << QByteArray() << false << false;
    QTest::newRow("q2 no autoexec") << 2 << q2 << QString() << QByteArray() << QByteArray()
                                    << false << false;
    QTest::newRow("q2 mod uses base autoexec") << 2 << QStringLiteral("ctf") << q2
                                               << QByteArray("logfile 2\n") << QByteArray()
                                               << true << false;
    QTest::newRow("q2 logfile 2 starts anew") << 2 << q2 << q2 << QByteArray("logfile 2\n")
                                              << QByteArray("old session line\r\n") << true
                                              << false;
    QTest::newRow("q2 logfile 3 appends") << 2 << q2 << q2 << QByteArray("logfile 3\n")
                                          << QByteArray("old session line\r\n") << true << true;
    QTest::newRow("q3 seta quoted") << 3 << q3 << q3 << QByteArray("seta logfile \"2\"\r\n")
                                    << QByteArray() << true << false;
    QTest::newRow("q3 autoexec in wrong folder") << 3 << q3 << q2 << QByteArray("logfile 2\n")
                                                 << QByteArray() << false << false;
}

void TestStandin::autoexecLogging()
{
    QFETCH(int, game);
    QFETCH(QString, mod);
    QFETCH(QString, autoexecFolder);
    QFETCH(QByteArray, autoexec);
    QFETCH(QByteArray, oldLog);
    QFETCH(bool, logging);
    QFETCH(bool, oldKept);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!autoexecFolder.isEmpty())
        QVERIFY(writeFile(dir.filePath(autoexecFolder + QStringLiteral("/autoexec.cfg")), autoexec));
    const QString log = dir.filePath(mod + QStringLiteral("/qconsole.log"));
    if (!oldLog.isEmpty())
        QVERIFY(writeFile(log, oldLog));

    QStringList args = quick(dir.path());
    args << QStringLiteral("--game") << QString::number(game);
    if (game == 2)
        args << QStringLiteral("--mod") << mod;
    const RunResult r = run(standinPath(), args);
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());

    const QByteArray content = readFile(log);
    QCOMPARE(content.contains("execing autoexec.cfg"), logging);
    QCOMPARE(content.startsWith("old session line"), oldKept);
    QCOMPARE(QFileInfo::exists(log), logging || !oldLog.isEmpty());
}

void TestStandin::lineEnds_data()
{
    QTest::addColumn<int>("game");
    QTest::addColumn<bool>("lf");
    QTest::newRow("q2 crlf") << 2 << false;
    QTest::newRow("q2 lf") << 2 << true;
    QTest::newRow("q3 crlf") << 3 << false;
    QTest::newRow("q3 lf") << 3 << true;
}

void TestStandin::lineEnds()
{
    QFETCH(int, game);
    QFETCH(bool, lf);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString data = game == 2 ? QStringLiteral("baseq2") : QStringLiteral("baseq3");
    QVERIFY(writeFile(dir.filePath(data + QStringLiteral("/autoexec.cfg")), "logfile 2\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("source")), randomBytes(3000)));

    QStringList args = quick(dir.path());
    args << QStringLiteral("--game") << QString::number(game) << QStringLiteral("--source")
         << dir.filePath(QStringLiteral("source"));
    if (lf)
        args << QStringLiteral("--lf");
    const RunResult r = run(standinPath(), args);
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());

    const QByteArray log = readFile(dir.filePath(data + QStringLiteral("/qconsole.log")));
    QVERIFY(log.endsWith('\n'));
    QList<QByteArray> lines = log.split('\n');
    lines.removeLast(); // after the final line end
    QVERIFY(lines.size() >= 4);
    QStringList plain;
    for (QByteArray line : lines) {
        if (lf) {
            QVERIFY2(!line.contains('\r'), line.constData());
        } else {
            QVERIFY2(line.endsWith('\r') && line.count('\r') == 1, line.constData());
            line.chop(1);
        }
        plain << QString::fromLatin1(line);
    }

    const int exec = int(plain.indexOf(QStringLiteral("execing autoexec.cfg")));
    int recording = -1;
    for (int i = 0; i < plain.size(); ++i) {
        if (plain.at(i).startsWith(QLatin1String("recording to ")))
            recording = i;
    }
    const int stopped = int(plain.indexOf(QStringLiteral("Stopped demo.")));
    QVERIFY(exec >= 0);
    QVERIFY(recording > exec);
    QVERIFY(stopped > recording);
}

void TestStandin::recordingLine_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("dataFolder");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("demo");

    QTest::newRow("q2 base")
        << QStringList{QStringLiteral("--game"), QStringLiteral("2")} << QStringLiteral("baseq2")
        << QByteArray("recording to ./baseq2/demos/demo1.dm2.")
        << QStringLiteral("baseq2/demos/demo1.dm2");
    QTest::newRow("q2 mod and name")
        << QStringList{QStringLiteral("--mod"), QStringLiteral("ctf"), QStringLiteral("--name"),
                       QStringLiteral("duel")}
        << QStringLiteral("ctf") << QByteArray("recording to ./ctf/demos/duel.dm2.")
        << QStringLiteral("ctf/demos/duel.dm2");
    QTest::newRow("q2 ext ignored")
        << QStringList{QStringLiteral("--ext"), QStringLiteral("dm_68")}
        << QStringLiteral("baseq2") << QByteArray("recording to ./baseq2/demos/demo1.dm2.")
        << QStringLiteral("baseq2/demos/demo1.dm2");
    QTest::newRow("q3 default")
        << QStringList{QStringLiteral("--game"), QStringLiteral("3")} << QStringLiteral("baseq3")
        << QByteArray("recording to demos/demo1.dm3.") << QStringLiteral("baseq3/demos/demo1.dm3");
    QTest::newRow("q3 dm_68 and name")
        << QStringList{QStringLiteral("--game"), QStringLiteral("3"), QStringLiteral("--ext"),
                       QStringLiteral("dm_68"), QStringLiteral("--name"),
                       QStringLiteral("match-2.final")}
        << QStringLiteral("baseq3") << QByteArray("recording to demos/match-2.final.dm_68.")
        << QStringLiteral("baseq3/demos/match-2.final.dm_68");
    QTest::newRow("q3 mod ignored")
        << QStringList{QStringLiteral("--game"), QStringLiteral("3"), QStringLiteral("--mod"),
                       QStringLiteral("osp")}
        << QStringLiteral("baseq3") << QByteArray("recording to demos/demo1.dm3.")
        << QStringLiteral("baseq3/demos/demo1.dm3");
}

void TestStandin::recordingLine()
{
    QFETCH(QStringList, options);
    QFETCH(QString, dataFolder);
    QFETCH(QByteArray, line);
    QFETCH(QString, demo);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(dataFolder + QStringLiteral("/autoexec.cfg")),
                      "seta logfile \"2\"\r\n"));
    const QByteArray source = randomBytes(2500);
    QVERIFY(writeFile(dir.filePath(QStringLiteral("source")), source));

    const QStringList args = quick(dir.path()) + options
                             + QStringList{QStringLiteral("--source"),
                                           dir.filePath(QStringLiteral("source")),
                                           QStringLiteral("--block"), QStringLiteral("999")};
    const RunResult r = run(standinPath(), args);
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());

    const QByteArray log = readFile(dir.filePath(dataFolder + QStringLiteral("/qconsole.log")));
    QCOMPARE(log.count("\r\n" + line + "\r\n"), qsizetype(1));
    QCOMPARE(log.count("recording to"), qsizetype(1));
    QCOMPARE(readFile(dir.filePath(demo)), source);
}

void TestStandin::demoBytes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("block");
    QTest::addColumn<int>("oldDemoSize"); // a demo of the same name there before

    QTest::newRow("empty source") << 0 << 1000 << 0;
    QTest::newRow("one-byte blocks") << 37 << 1 << 0;
    QTest::newRow("block larger than source") << 1000 << 4096 << 0;
    QTest::newRow("uneven last block") << 10007 << 1000 << 0;
    QTest::newRow("exact blocks") << 8192 << 1024 << 0;
    QTest::newRow("replaces a longer demo") << 5000 << 700 << 20000;
}

void TestStandin::demoBytes()
{
    QFETCH(int, size);
    QFETCH(int, block);
    QFETCH(int, oldDemoSize);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray source = randomBytes(size);
    QVERIFY(writeFile(dir.filePath(QStringLiteral("source")), source));
    const QString demo = dir.filePath(QStringLiteral("baseq2/demos/demo1.dm2"));
    if (oldDemoSize > 0)
        QVERIFY(writeFile(demo, randomBytes(oldDemoSize)));

    const QStringList args = quick(dir.path())
                             + QStringList{QStringLiteral("--source"),
                                           dir.filePath(QStringLiteral("source")),
                                           QStringLiteral("--block"), QString::number(block)};
    const RunResult r = run(standinPath(), args);
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    QVERIFY(QFileInfo::exists(demo));
    QCOMPARE(readFile(demo), source);
    // No autoexec: the game runs without a console log.
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("baseq2/qconsole.log"))));
}

void TestStandin::refusedOptions_data()
{
    QTest::addColumn<QStringList>("options");

    QTest::newRow("name with folder") << QStringList{QStringLiteral("--name"),
                                                     QStringLiteral("../escaped")};
    QTest::newRow("name with slash") << QStringList{QStringLiteral("--name"), QStringLiteral("a/b")};
    QTest::newRow("hidden name") << QStringList{QStringLiteral("--name"), QStringLiteral(".x")};
    QTest::newRow("mod going up") << QStringList{QStringLiteral("--mod"), QStringLiteral("..")};
    QTest::newRow("mod absolute") << QStringList{QStringLiteral("--mod"), QStringLiteral("/tmp")};
    QTest::newRow("mod too long") << QStringList{QStringLiteral("--mod"),
                                                 QStringLiteral("abcdefghijklmnopq")};
    QTest::newRow("other extension") << QStringList{QStringLiteral("--game"), QStringLiteral("3"),
                                                    QStringLiteral("--ext"), QStringLiteral("exe")};
    QTest::newRow("extension with folder")
        << QStringList{QStringLiteral("--game"), QStringLiteral("3"), QStringLiteral("--ext"),
                       QStringLiteral("dm_68/../../x")};
    QTest::newRow("game 4") << QStringList{QStringLiteral("--game"), QStringLiteral("4")};
    QTest::newRow("zero rate") << QStringList{QStringLiteral("--rate"), QStringLiteral("0")};
    QTest::newRow("zero block") << QStringList{QStringLiteral("--block"), QStringLiteral("0")};
    QTest::newRow("huge block") << QStringList{QStringLiteral("--block"),
                                               QStringLiteral("999999999999")};
    QTest::newRow("linger below -1") << QStringList{QStringLiteral("--linger"), QStringLiteral("-2")};
    QTest::newRow("missing source") << QStringList{QStringLiteral("--source"),
                                                   QStringLiteral("/nonexistent/source")};
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--fast")};
    QTest::newRow("stray argument") << QStringList{QStringLiteral("+map")};
}

void TestStandin::refusedOptions()
{
    QFETCH(QStringList, options);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString gameDir = root.filePath(QStringLiteral("game"));
    QVERIFY(writeFile(gameDir + QStringLiteral("/baseq2/autoexec.cfg"), "logfile 2\n"));
    QVERIFY(writeFile(gameDir + QStringLiteral("/baseq3/autoexec.cfg"), "logfile 2\n"));
    QVERIFY(writeFile(root.filePath(QStringLiteral("source")), randomBytes(100)));
    const QStringList before = listing(root.path());

    // --source comes first so that a row's own --source wins.
    const QStringList args = QStringList{QStringLiteral("--source"),
                                         root.filePath(QStringLiteral("source"))}
                             + quick(gameDir) + options;
    const RunResult r = run(standinPath(), args);
    QVERIFY(r.finished);
    QVERIFY(r.exitCode != 0);
    QVERIFY(!r.err.isEmpty());
    QCOMPARE(listing(root.path()), before);
}

void TestStandin::launchedAsGame_data()
{
    QTest::addColumn<QString>("exeName");
    QTest::addColumn<bool>("symlink");
    QTest::addColumn<QStringList>("gameArgs");
    QTest::addColumn<QString>("logFolder"); // where the game, as started, writes its log

    QTest::newRow("quake2 copy with mod")
        << QStringLiteral("quake2.exe") << false
        << QStringList{QStringLiteral("+set"), QStringLiteral("game"), QStringLiteral("ctf"),
                       QStringLiteral("+map"), QStringLiteral("duel.dm2")}
        << QStringLiteral("ctf");
    QTest::newRow("quake2 symlink")
        << QStringLiteral("quake2.exe") << true
        << QStringList{QStringLiteral("+set"), QStringLiteral("game"), QStringLiteral("baseq2"),
                       QStringLiteral("+map"), QStringLiteral("my demo.dm2")}
        << QStringLiteral("baseq2");
    QTest::newRow("quake2 bad mod falls back")
        << QStringLiteral("quake2.exe") << false
        << QStringList{QStringLiteral("+set"), QStringLiteral("game"), QStringLiteral("../up")}
        << QStringLiteral("baseq2");
    QTest::newRow("quake3 copy")
        << QStringLiteral("quake3.exe") << false
        << QStringList{QStringLiteral("+demo"), QStringLiteral("duel.dm3")}
        << QStringLiteral("baseq3");
    QTest::newRow("quake3 symlink no arguments")
        << QStringLiteral("quake3.exe") << true << QStringList() << QStringLiteral("baseq3");
}

void TestStandin::launchedAsGame()
{
    QFETCH(QString, exeName);
    QFETCH(bool, symlink);
    QFETCH(QStringList, gameArgs);
    QFETCH(QString, logFolder);

    QTemporaryDir gameDir;
    QTemporaryDir workDir;
    QTemporaryDir elsewhere;
    QVERIFY(gameDir.isValid() && workDir.isValid() && elsewhere.isValid());
    const QString exe = gameDir.filePath(exeName);
    QVERIFY(symlink ? QFile::link(standinPath(), exe) : QFile::copy(standinPath(), exe));
    QVERIFY(writeFile(gameDir.filePath(QStringLiteral("baseq2/autoexec.cfg")), "logfile 2\n"));
    QVERIFY(writeFile(gameDir.filePath(QStringLiteral("baseq3/autoexec.cfg")), "logfile 2\n"));
    const QString extra = elsewhere.filePath(QStringLiteral("launches.log"));

    const QStringList args = gameArgs
                             + QStringList{QStringLiteral("--linger"), QStringLiteral("0"),
                                           QStringLiteral("--no-window"),
                                           QStringLiteral("--record-launch"), extra};
    const RunResult r = run(exe, args, workDir.path());
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());

    const QByteArray record = readFile(gameDir.filePath(QStringLiteral("standin-launch.log")));
    QCOMPARE(record.count('\n'), qsizetype(1));
    QCOMPARE(readFile(extra), record);
    QJsonParseError error{};
    const QJsonObject launch = QJsonDocument::fromJson(record, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QStringList recorded;
    for (const QJsonValue &v : launch.value(QStringLiteral("argv")).toArray())
        recorded << v.toString();
    QCOMPARE(recorded, QStringList{exe} + args);
    QCOMPARE(QDir(launch.value(QStringLiteral("cwd")).toString()).canonicalPath(),
             QDir(workDir.path()).canonicalPath());

    // It ran as the game named by the executable, in the executable's folder.
    const QByteArray log = readFile(gameDir.filePath(logFolder + QStringLiteral("/qconsole.log")));
    QVERIFY(log.contains(exeName == QLatin1String("quake2.exe") ? "Quake 2\r\n"
                                                                : "Quake 3: Arena\r\n"));
    QVERIFY(listing(workDir.path()).isEmpty());
}

QTEST_GUILESS_MAIN(TestStandin)
#include "tst_standin.moc"
