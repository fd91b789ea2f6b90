// A real engine end to end, as a user runs it: Debian's OpenArena under a virtual display, each
// side with a home of its own. The Filmer starts before the game; the game is started with its
// own wrapper and records from its console; the demo reaches a Viewer through the real relay,
// byte for byte, and the Viewer's engine plays it.

#include "common/childprocess.h"
#include "common/testaddress.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

const QString kOpenArena = QStringLiteral("/usr/games/openarena");
constexpr int kStartMs = 30000;
// A demo passes the 20 kB at which it is listed (and played) after about a minute of play.
constexpr int kDemoMs = 180000;

QString binPath(const QString &name) { return qEnvironmentVariable("ARBELON_BIN_DIR") + QLatin1Char('/') + name; }

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

using Child = arbelon::test::ChildProcess;

// The engine the Viewer started is detached from it: found by the home it was given.
void stopProcessesWithHome(const QString &home)
{
    const QByteArray marker = "HOME=" + QFile::encodeName(home) + '\0';
    QDirIterator it(QStringLiteral("/proc"));
    while (it.hasNext()) {
        it.next();
        bool ok = false;
        const int pid = it.fileName().toInt(&ok);
        if (ok && readAll(it.filePath() + QStringLiteral("/environ")).contains(marker))
            ::kill(pid, SIGKILL);
    }
}

} // namespace

class TestEngine : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void openArenaDemoReachesTheViewer();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    Child m_xserver;
    QString m_display;
};

void TestEngine::initTestCase()
{
    if (!QFileInfo(kOpenArena).isExecutable())
        QSKIP("OpenArena is not installed (Debian package openarena)");
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
        QSKIP("Xvfb is not installed");
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_display = arbelon::test::startXvfb(m_xserver, QStringLiteral("800x600x24"), kStartMs);
    QVERIFY2(!m_display.isEmpty(), m_xserver.output.constData());
}

void TestEngine::cleanupTestCase()
{
    if (m_dir)
        stopProcessesWithHome(m_dir->filePath(QStringLiteral("viewer")));
}

void TestEngine::openArenaDemoReachesTheViewer()
{
    const QString filmerHome = m_dir->filePath(QStringLiteral("filmer"));
    const QString viewerHome = m_dir->filePath(QStringLiteral("viewer"));
    QVERIFY(QDir().mkpath(filmerHome));
    // The Viewer's own engine logs, so that the test can see what it played.
    QVERIFY(QDir().mkpath(viewerHome + QStringLiteral("/.openarena/baseoa")));
    QFile cfg(viewerHome + QStringLiteral("/.openarena/baseoa/autoexec.cfg"));
    QVERIFY(cfg.open(QIODevice::WriteOnly));
    cfg.write("seta logfile \"2\"\n");
    cfg.close();

    const auto env = [this](const QString &home) {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("HOME"), home);
        e.insert(QStringLiteral("DISPLAY"), m_display);
        e.remove(QStringLiteral("XDG_CONFIG_HOME"));
        // No sound card here: the engines play silent.
        e.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
        return e;
    };
    const QString relayAddress = arbelon::test::loopbackAddress(101);

    Child relay;
    relay.start(binPath(QStringLiteral("arbelon-relay")), {QStringLiteral("--listen"), relayAddress},
                QProcessEnvironment::systemEnvironment());
    QVERIFY2(relay.waitFor("listening", kStartMs), relay.output.constData());

    Child filmer;
    filmer.start(binPath(QStringLiteral("arbelon-cli")),
                 {QStringLiteral("film"), QStringLiteral("--server"), relayAddress, QStringLiteral("--name"),
                  QStringLiteral("arena"), QStringLiteral("--engine"), QStringLiteral("openarena")},
                 env(filmerHome));
    QVERIFY2(filmer.waitFor("in the lobby", kStartMs), filmer.output.constData());

    // The game as its wrapper starts it; the recording comes from its console.
    Child game;
    game.start(kOpenArena, {QStringLiteral("+set"), QStringLiteral("s_initsound"), QStringLiteral("0"),
                            QStringLiteral("+map"), QStringLiteral("oa_dm1"), QStringLiteral("+wait"),
                            QStringLiteral("100"), QStringLiteral("+record"), QStringLiteral("a1")},
               env(filmerHome), m_dir->path());

    Child viewer;
    viewer.start(binPath(QStringLiteral("arbelon-cli")),
                 {QStringLiteral("watch"), QStringLiteral("--server"), relayAddress, QStringLiteral("--game"),
                  QStringLiteral("arena"), QStringLiteral("--quake3-engine"), QStringLiteral("openarena"),
                  QStringLiteral("--play")},
                 env(viewerHome));
    QVERIFY2(viewer.waitFor("playing demo", kDemoMs), (viewer.output + "\n--- filmer:\n" + filmer.output).constData());

    // The game stops (it does not take SIGTERM while it plays); the rest of its demo reaches
    // the Viewer.
    game.process.kill();
    QVERIFY(game.process.waitForFinished(kStartMs));
    const QString recorded = filmerHome + QStringLiteral("/.openarena/baseoa/demos/a1.dm_71");
    const QByteArray original = readAll(recorded);
    QVERIFY(original.size() > 20000);
    const QDir received(viewerHome + QStringLiteral("/.openarena/baseoa/demos"));
    QStringList files;
    QVERIFY(QTest::qWaitFor([&] {
        files = received.entryList({QStringLiteral("*.dm_71")}, QDir::Files);
        return files.size() == 1 && readAll(received.filePath(files.first())).size() >= original.size();
    }, kDemoMs));
    QCOMPARE(readAll(received.filePath(files.first())), original);
    qInfo("demo: %lld bytes, %s", qlonglong(original.size()), qPrintable(files.first()));

    // The Filmer never deleted the log the game wrote.
    const QByteArray log = readAll(filmerHome + QStringLiteral("/.openarena/baseoa/qconsole.log"));
    QVERIFY(log.contains("recording to demos/a1.dm_71."));

    // The Viewer's engine played the received demo.
    const QString viewerLog = viewerHome + QStringLiteral("/.openarena/baseoa/qconsole.log");
    QVERIFY2(QTest::qWaitFor([&] { return readAll(viewerLog).contains("...loaded"); }, kDemoMs),
             readAll(viewerLog).right(2000).constData());
    const QByteArray played = readAll(viewerLog);
    QVERIFY(played.contains(QFile::encodeName(QStringLiteral("demos/") + files.first())));
    for (const QByteArray &line : played.split('\n')) {
        if (line.contains("demos/") || line.contains("loaded") || line.toLower().contains("couldn't open"))
            qInfo("viewer's engine: %s", line.trimmed().constData());
    }
    for (const QByteArray &line : played.toLower().split('\n'))
        QVERIFY2(!(line.contains("couldn't open") && line.contains("demo")), line.constData());
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
