// A real engine end to end, as a user runs it: Debian's OpenArena under a virtual display, each
// side with a home of its own. The Filmer starts before the game; the game is started with its
// own wrapper and records from its console; the demo reaches a Viewer through the real relay,
// byte for byte, and the Viewer's engine plays it. A demo rebuilt from a snapshot of a recorded
// one plays in the engine from there on.

#include "common/childprocess.h"
#include "common/testaddress.h"
#include "q3codec.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <memory>

namespace {

const QString kOpenArena = QStringLiteral("/usr/games/openarena");
constexpr int kStartMs = 30000;
// A demo passes the 20 kB at which it is listed (and played) after about a minute of play.
constexpr int kDemoMs = 180000;
// A rebuilt demo loads its map in about ten seconds; its first kill comes at most twenty seconds
// of game time later.
constexpr int kRebuiltMs = 60000;

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


using namespace arbelon::demo;

// What a rebuilt demo is checked against: the kills the original shows, by snapshot.
struct Kill {
    int snapshot = 0;     // index among the original's snapshots
    QByteArray victim;    // as the game names the players, colour codes included
    QByteArray attacker;
};

// OpenArena's cgame numbers: a kill is a temporary entity of type ET_EVENTS (13) plus
// EV_OBITUARY (60); its victim and attacker are client numbers whose names are in the
// configstrings from CS_PLAYERS (544) on.
constexpr int kObituaryType = 13 + 60;
constexpr int kPlayersConfig = 544;
constexpr int kTypeField = 11, kVictimField = 18, kAttackerField = 30; // in q3state.cpp's order

QByteArray playerName(const Q3GameState &state, int client)
{
    // "n\Name\t\0\..."
    const QList<QByteArray> parts = state.configString(kPlayersConfig + client).split('\\');
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i] == "n")
            return parts[i + 1];
    }
    return {};
}

struct Original {
    int snapshots = 0;
    QList<Kill> kills;
};

Original readOriginal(const QByteArray &demo)
{
    Original o;
    Q3Codec codec;
    QSet<int> shown; // entity numbers holding a kill in the snapshot before
    qsizetype at = 0;
    for (;;) {
        const Frame f = codec.nextFrame(QByteArrayView(demo).sliced(at));
        if (f.kind != Frame::Message)
            break;
        if (codec.parse(f).snapshot) {
            QSet<int> now;
            for (const q3::Entity &e : codec.newestSnapshot().entities) {
                if (e.fields[kTypeField] != kObituaryType)
                    continue;
                now.insert(e.number);
                if (!shown.contains(e.number))
                    o.kills.append({o.snapshots, playerName(codec.gameState(), e.fields[kVictimField]),
                                    playerName(codec.gameState(), e.fields[kAttackerField])});
            }
            shown = now;
            ++o.snapshots;
        }
        at += f.size;
    }
    return o;
}

// The original rebuilt at its snapshot 'index', the rest in the form the copy takes, ended as
// the engine ends a demo.
QByteArray rebuiltAt(const QByteArray &demo, int index)
{
    Q3Codec codec;
    QByteArray copy;
    int snapshots = 0;
    qsizetype at = 0;
    for (;;) {
        const Frame f = codec.nextFrame(QByteArrayView(demo).sliced(at));
        if (f.kind != Frame::Message)
            break;
        const MessageInfo info = codec.parse(f);
        if (!copy.isEmpty())
            copy += codec.liveForm(f);
        else if (info.snapshot && snapshots++ == index)
            copy = codec.rebuild();
        at += f.size;
    }
    return copy + codec.endMarker();
}

// A line of the game's log naming that kill: "Victim^7 ate Attacker^7's rocket" (the cgame ends
// each name with a switch back to white, "^7").
bool showsKill(const QByteArray &log, const Kill &k)
{
    for (const QByteArray &line : log.split('\n')) {
        if (line.startsWith(k.victim + "^7 ") && line.contains(' ' + k.attacker + "^7's"))
            return true;
    }
    return false;
}

// The lines the game printed once its map was loaded: what the demo made it print.
QByteArray afterLoad(const QByteArray &log)
{
    const qsizetype at = log.indexOf("...loaded");
    return at < 0 ? QByteArray() : log.mid(at).left(1500);
}

} // namespace

class TestEngine : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void openArenaDemoReachesTheViewer();
    void rebuiltDemoPlays_data();
    void rebuiltDemoPlays();

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
    if (m_dir) {
        stopProcessesWithHome(m_dir->filePath(QStringLiteral("viewer")));
        stopProcessesWithHome(m_dir->filePath(QStringLiteral("rebuilt")));
    }
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

void TestEngine::rebuiltDemoPlays_data()
{
    QTest::addColumn<double>("at");
    QTest::newRow("start") << 0.0;
    QTest::newRow("middle") << 0.5;
    QTest::newRow("near the end") << 0.9;
}

void TestEngine::rebuiltDemoPlays()
{
    QFETCH(double, at);
    QFile file(QStringLiteral(":/demos/oa_bots.dm_71"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray demo = file.readAll();
    const Original original = readOriginal(demo);
    const int index = int(at * original.snapshots);
    // The first kill after the start the game must show, and one before it that it must not.
    const auto later = std::find_if(original.kills.cbegin(), original.kills.cend(),
                                    [&](const Kill &k) { return k.snapshot > index; });
    QVERIFY2(later != original.kills.cend(), "the recording has no kill after that snapshot");
    QVERIFY(!later->victim.isEmpty() && !later->attacker.isEmpty());
    const Kill *earlier = later != original.kills.cbegin() ? &*std::prev(later) : nullptr;

    const QString home = m_dir->filePath(QStringLiteral("rebuilt"));
    stopProcessesWithHome(home);
    QDir(home).removeRecursively();
    const QString base = home + QStringLiteral("/.openarena/baseoa");
    QVERIFY(QDir().mkpath(base + QStringLiteral("/demos")));
    QFile out(base + QStringLiteral("/demos/rebuilt.dm_71"));
    QVERIFY(out.open(QIODevice::WriteOnly));
    QVERIFY(out.write(rebuiltAt(demo, index)) > 0);
    out.close();
    QFile cfg(base + QStringLiteral("/autoexec.cfg"));
    QVERIFY(cfg.open(QIODevice::WriteOnly));
    cfg.write("seta logfile \"2\"\n");
    cfg.close();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("DISPLAY"), m_display);
    env.remove(QStringLiteral("XDG_CONFIG_HOME"));
    env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
    Child game;
    game.start(kOpenArena, {QStringLiteral("+set"), QStringLiteral("s_initsound"), QStringLiteral("0"),
                            QStringLiteral("+demo"), QStringLiteral("rebuilt.dm_71")},
               env, home);
    const QString logPath = base + QStringLiteral("/qconsole.log");
    const bool loaded = QTest::qWaitFor([&] { return readAll(logPath).contains("...loaded"); }, kRebuiltMs);
    const bool killShown = loaded && QTest::qWaitFor([&] { return showsKill(readAll(logPath), *later); }, kRebuiltMs);
    // It does not take SIGTERM while it plays.
    game.process.kill();
    QVERIFY(game.process.waitForFinished(kStartMs));
    const QByteArray log = readAll(logPath);
    QVERIFY2(loaded, log.right(800).constData());
    QVERIFY2(killShown, (later->victim + " by " + later->attacker + " not shown:\n" + afterLoad(log)).constData());
    if (earlier)
        QVERIFY2(!showsKill(log, *earlier), "a kill from before the rebuilt start was shown");
    for (const QByteArray &line : log.split('\n')) {
        // OpenArena prints this at every start, before any demo is read.
        if (line.startsWith("Couldn't read q3history."))
            continue;
        QVERIFY2(!line.contains("ERROR") && !line.contains("Couldn't") && !line.contains("truncated")
                     && !line.contains("delta") && !line.contains("Delta"),
                 line.constData());
    }
    qInfo("rebuilt at snapshot %d of %d: \"%s\" by \"%s\" shown", index, original.snapshots,
          later->victim.constData(), later->attacker.constData());
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
