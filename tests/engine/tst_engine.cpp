// A real engine end to end, as a user runs it: Debian's OpenArena under a virtual display, each
// side with a home of its own. The Filmer starts before the game; the game is started with its
// own wrapper and records from its console; the demo reaches a Viewer through the real relay,
// byte for byte, and the Viewer's engine plays it. A demo rebuilt from a snapshot of a recorded
// one plays in the engine from there on. A Viewer who joins a bot match late plays it live; two
// demos recorded one after the other on one console line, or filmed at a rate below the game's,
// reach the Viewer whole.

#include "common/childprocess.h"
#include "common/demoreading.h"
#include "common/jsonget.h"
#include "common/openarena.h"
#include "common/testaddress.h"
#include "common/testfiles.h"
#include "q3codec.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <QElapsedTimer>

#include <algorithm>
#include <deque>
#include <memory>

namespace {

constexpr int kStartMs = 30000;
// A demo passes the 20 kB at which it is listed (and played) after about a minute of play.
constexpr int kDemoMs = 180000;
// A rebuilt demo loads its map in about ten seconds; its first kill comes at most twenty seconds
// of game time later.
constexpr int kRebuiltMs = 60000;
// How far behind the game a live joiner's game may start (see lateJoinerPlaysTheMatchLive).
constexpr qint64 kLiveLagMs = 20000;

QString binPath(const QString &name) { return qEnvironmentVariable("ARBELON_BIN_DIR") + QLatin1Char('/') + name; }

using Child = arbelon::test::ChildProcess;
using arbelon::test::engineEnvironment;
using arbelon::test::gameFolder;
using arbelon::test::kOpenArena;
using arbelon::test::readFile;

using namespace arbelon::demo;

// What a rebuilt demo is checked against: the kills the original shows, by snapshot.
struct Kill {
    int snapshot = 0;  // index among the original's snapshots
    QByteArray victim; // as the game names the players, colour codes included
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
    arbelon::test::readMessages(codec, demo, [&](const arbelon::test::DemoMessage &m) {
        if (!m.info.snapshot)
            return;
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
    });
    return o;
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


// ---- live play and demos in a row -------------------------------------------------------

// A bot match that frags often and ends, recorded from the game's command line.
QStringList botMatch(const QString &demo)
{
    return {QStringLiteral("+set"), QStringLiteral("s_initsound"), QStringLiteral("0"),
            QStringLiteral("+set"), QStringLiteral("bot_minplayers"), QStringLiteral("4"),
            QStringLiteral("+set"), QStringLiteral("fraglimit"), QStringLiteral("30"),
            QStringLiteral("+map"), QStringLiteral("oa_dm1"), QStringLiteral("+wait"), QStringLiteral("100"),
            QStringLiteral("+record"), demo};
}

// An obituary with a killer, as the cgame prints it: "Victim^7 ate Attacker^7's rocket",
// "Victim^7 was railed by Attacker^7" (each name ends with a switch back to white). Chat
// ("Name^7: ...") and lines without a killer are left out.
bool isFragLine(const QByteArray &line)
{
    const qsizetype first = line.indexOf("^7 ");
    if (first <= 0 || line.contains("^7: "))
        return false;
    const qsizetype second = line.indexOf("^7", first + 3);
    return second > first && (line.endsWith("^7") || line.indexOf("^7's ", first + 3) == second);
}

struct LogLine {
    qsizetype offset = 0;
    QByteArray text;
};

QList<LogLine> fragLines(const QByteArray &log)
{
    QList<LogLine> out;
    qsizetype at = 0;
    while (at < log.size()) {
        qsizetype end = log.indexOf('\n', at);
        if (end < 0)
            end = log.size();
        const QByteArray line = log.mid(at, end - at).trimmed();
        if (isFragLine(line))
            out.append({at, line});
        at = end + 1;
    }
    return out;
}

// A game's console log read while it is written. A game started again truncates its log: what
// the earlier run wrote is kept.
struct LogFollower {
    QString path;
    QByteArray earlier; // the runs before the current one
    QByteArray current;

    QByteArray all() const { return earlier + current; }
    void poll()
    {
        const QByteArray now = readFile(path);
        if (!now.startsWith(current.left(qMin<qsizetype>(current.size(), 4096))) || now.size() < current.size())
            earlier += current + "\n";
        current = now;
    }
};

// The demos a Viewer received, not its live copies.
QStringList receivedDemos(const QString &home)
{
    const QDir dir(gameFolder(home) + QStringLiteral("/demos"));
    QStringList out;
    for (const QString &name : dir.entryList({QStringLiteral("*.dm_71")}, QDir::Files, QDir::Time | QDir::Reversed)) {
        if (!name.contains(QStringLiteral(".live.")))
            out.append(dir.filePath(name));
    }
    return out;
}

// Where a recording stands in the Filmer's log: "Stopped demo." follows its "recording to".
bool recordingStopped(const QByteArray &log, const QByteArray &demo)
{
    const qsizetype at = log.indexOf("recording to demos/" + demo + ".dm_71");
    return at >= 0 && log.indexOf("Stopped demo.", at) >= 0;
}

// The relay's JSON at path on its web port (38964), or an empty object.
QJsonObject relayJson(const QString &address, const QString &path)
{
    return arbelon::test::getJson(address, 38964, path);
}

// The game log's frags, as the relay words them: "KILLER VICTIM weapon", the killer empty for
// the world ("Kill: 1022 2 19: <world> killed Arachna by MOD_FALLING").
QStringList loggedKills(const QByteArray &log)
{
    static const QRegularExpression kill(QStringLiteral("Kill: (\\d+) (\\d+) (\\d+): (.*) killed (.*) by MOD_(\\w+)$"));
    QStringList out;
    for (const QByteArray &line : log.split('\n')) {
        const QRegularExpressionMatch m = kill.match(QString::fromLatin1(line.trimmed()));
        if (m.hasMatch())
            out << (m.captured(1) == QStringLiteral("1022") ? QString() : m.captured(4)) + u'|' + m.captured(5) + u'|'
                       + m.captured(6).toLower().replace(u'_', u' ');
    }
    return out;
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
    void lateJoinerPlaysTheMatchLive();
    void demosInARowArriveWhole_data();
    void demosInARowArriveWhole();
    void relayReadsTheMatchAsTheGameLogsIt();

private:
    // A relay on its own address, and a Filmer of game "arena" in its lobby.
    void startFilming(Child &relay, Child &filmer, int slot, const QString &filmerHome, const QStringList &filmerArgs);
    void startWatching(Child &viewer, int slot, const QString &viewerHome, bool play);

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
        for (const char *home : {"viewer", "rebuilt", "late-filmer", "late-viewer", "row-filmer", "row-viewer"})
            arbelon::test::stopProcessesWithHome(m_dir->filePath(QLatin1String(home)));
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

    const QString relayAddress = arbelon::test::loopbackAddress(101);

    Child relay;
    relay.start(binPath(QStringLiteral("arbelon-relay")), {QStringLiteral("--listen"), relayAddress},
                QProcessEnvironment::systemEnvironment());
    QVERIFY2(relay.waitFor("listening", kStartMs), relay.output.constData());

    Child filmer;
    filmer.start(binPath(QStringLiteral("arbelon-cli")),
                 {QStringLiteral("film"), QStringLiteral("--server"), relayAddress, QStringLiteral("--name"),
                  QStringLiteral("arena"), QStringLiteral("--engine"), QStringLiteral("openarena")},
                 engineEnvironment(filmerHome, m_display));
    QVERIFY2(filmer.waitFor("in the lobby", kStartMs), filmer.output.constData());

    // The game as its wrapper starts it; the recording comes from its console.
    Child game;
    game.start(kOpenArena, {QStringLiteral("+set"), QStringLiteral("s_initsound"), QStringLiteral("0"), QStringLiteral("+map"), QStringLiteral("oa_dm1"), QStringLiteral("+wait"), QStringLiteral("100"), QStringLiteral("+record"), QStringLiteral("a1")},
               engineEnvironment(filmerHome, m_display), m_dir->path());

    Child viewer;
    viewer.start(binPath(QStringLiteral("arbelon-cli")),
                 {QStringLiteral("watch"), QStringLiteral("--server"), relayAddress, QStringLiteral("--game"),
                  QStringLiteral("arena"), QStringLiteral("--quake3-engine"), QStringLiteral("openarena"),
                  QStringLiteral("--play")},
                 engineEnvironment(viewerHome, m_display));
    QVERIFY2(viewer.waitFor("playing demo", kDemoMs), (viewer.output + "\n--- filmer:\n" + filmer.output).constData());

    // The game stops (it does not take SIGTERM while it plays); the rest of its demo reaches
    // the Viewer.
    game.process.kill();
    QVERIFY(game.process.waitForFinished(kStartMs));
    const QString recorded = filmerHome + QStringLiteral("/.openarena/baseoa/demos/a1.dm_71");
    const QByteArray original = readFile(recorded);
    QVERIFY(original.size() > 20000);
    const QDir received(viewerHome + QStringLiteral("/.openarena/baseoa/demos"));
    QStringList files;
    QVERIFY(QTest::qWaitFor([&] {
        // The exact copy; a live copy beside it is what --play started the game on.
        files = received.entryList({QStringLiteral("*.dm_71")}, QDir::Files);
        files.removeIf([](const QString &f) { return f.contains(QStringLiteral(".live")); });
        return files.size() == 1 && readFile(received.filePath(files.first())).size() >= original.size();
    },
                            kDemoMs));
    QCOMPARE(readFile(received.filePath(files.first())), original);
    qInfo("demo: %lld bytes, %s", qlonglong(original.size()), qPrintable(files.first()));

    // The Filmer never deleted the log the game wrote.
    const QByteArray log = readFile(filmerHome + QStringLiteral("/.openarena/baseoa/qconsole.log"));
    QVERIFY(log.contains("recording to demos/a1.dm_71."));

    // The Viewer's engine played the received demo.
    const QString viewerLog = viewerHome + QStringLiteral("/.openarena/baseoa/qconsole.log");
    QVERIFY2(QTest::qWaitFor([&] { return readFile(viewerLog).contains("...loaded"); }, kDemoMs),
             readFile(viewerLog).right(2000).constData());
    const QByteArray played = readFile(viewerLog);
    const QString base = QFileInfo(files.first()).completeBaseName();
    QVERIFY(played.contains(QFile::encodeName(QStringLiteral("demos/") + files.first()))
            || played.contains(QFile::encodeName(QStringLiteral("demos/") + base + QStringLiteral(".live"))));
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
    arbelon::test::stopProcessesWithHome(home);
    QDir(home).removeRecursively();
    const QString base = home + QStringLiteral("/.openarena/baseoa");
    QVERIFY(QDir().mkpath(base + QStringLiteral("/demos")));
    QFile out(base + QStringLiteral("/demos/rebuilt.dm_71"));
    QVERIFY(out.open(QIODevice::WriteOnly));
    QVERIFY(out.write(arbelon::test::rebuiltAt(Game::Quake3, demo, index)) > 0);
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
    game.start(kOpenArena, {QStringLiteral("+set"), QStringLiteral("s_initsound"), QStringLiteral("0"), QStringLiteral("+demo"), QStringLiteral("rebuilt.dm_71")},
               env, home);
    const QString logPath = base + QStringLiteral("/qconsole.log");
    const bool loaded = QTest::qWaitFor([&] { return readFile(logPath).contains("...loaded"); }, kRebuiltMs);
    const bool killShown = loaded && QTest::qWaitFor([&] { return showsKill(readFile(logPath), *later); }, kRebuiltMs);
    // It does not take SIGTERM while it plays.
    game.process.kill();
    QVERIFY(game.process.waitForFinished(kStartMs));
    const QByteArray log = readFile(logPath);
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

void TestEngine::startFilming(Child &relay, Child &filmer, int slot, const QString &filmerHome,
                              const QStringList &filmerArgs)
{
    QVERIFY(QDir().mkpath(filmerHome));
    const QString relayAddress = arbelon::test::loopbackAddress(slot);
    relay.start(binPath(QStringLiteral("arbelon-relay")), {QStringLiteral("--listen"), relayAddress},
                QProcessEnvironment::systemEnvironment());
    QVERIFY2(relay.waitFor("listening", kStartMs), relay.output.constData());
    filmer.start(binPath(QStringLiteral("arbelon-cli")),
                 QStringList{QStringLiteral("film"), QStringLiteral("--server"), relayAddress, QStringLiteral("--name"),
                             QStringLiteral("arena"), QStringLiteral("--engine"), QStringLiteral("openarena")}
                     + filmerArgs,
                 engineEnvironment(filmerHome, m_display));
    QVERIFY2(filmer.waitFor("in the lobby", kStartMs), filmer.output.constData());
}

void TestEngine::startWatching(Child &viewer, int slot, const QString &viewerHome, bool play)
{
    QVERIFY(QDir().mkpath(viewerHome));
    QStringList args{QStringLiteral("watch"), QStringLiteral("--server"), arbelon::test::loopbackAddress(slot),
                     QStringLiteral("--game"), QStringLiteral("arena"), QStringLiteral("--quake3-engine"),
                     QStringLiteral("openarena")};
    if (play)
        args << QStringLiteral("--play");
    viewer.start(binPath(QStringLiteral("arbelon-cli")), args, engineEnvironment(viewerHome, m_display));
    QVERIFY2(viewer.waitFor("in the lobby", kStartMs), viewer.output.constData());
}

// The Viewer joins a minute into a bot match and plays it live: its game shows the match as it
// is now, not as it began, from a live copy of the demo, and without a warning.
void TestEngine::lateJoinerPlaysTheMatchLive()
{
    QElapsedTimer took;
    took.start();
    const QString filmerHome = m_dir->filePath(QStringLiteral("late-filmer"));
    const QString viewerHome = m_dir->filePath(QStringLiteral("late-viewer"));
    Child relay, filmer, game, viewer;
    startFilming(relay, filmer, 102, filmerHome, {});
    if (QTest::currentTestFailed())
        return;
    game.start(kOpenArena, botMatch(QStringLiteral("live")), engineEnvironment(filmerHome, m_display), m_dir->path());
    const QString filmerLog = gameFolder(filmerHome) + QStringLiteral("/qconsole.log");
    QVERIFY2(QTest::qWaitFor([&] { return readFile(filmerLog).contains("recording to demos/live.dm_71"); }, kStartMs * 2),
             readFile(filmerLog).right(1500).constData());

    // A minute into the match. The live copy starts at most 10 s behind the newest data, which
    // trails the game by up to one of its 4 kB write steps: what the game printed 20 s before
    // the join is the oldest a live joiner may be shown; a game playing from the start shows
    // what came before.
    std::deque<std::pair<qint64, qsizetype>> sizes; // the Filmer's log, sampled
    QElapsedTimer sampled;
    sampled.start();
    while (sampled.elapsed() < 60000) {
        sizes.emplace_back(sampled.elapsed(), readFile(filmerLog).size());
        QTest::qWait(500);
    }
    const qsizetype joinedAt = readFile(filmerLog).size();
    const auto recent = std::find_if(sizes.cbegin(), sizes.cend(), [&](const auto &s) {
        return s.first >= sampled.elapsed() - kLiveLagMs;
    });
    const qsizetype recentFrom = recent != sizes.cend() ? recent->second : joinedAt;
    startWatching(viewer, 102, viewerHome, true);
    const auto stopGames = [&] {
        arbelon::test::stopProcessesWithHome(viewerHome);
        game.process.kill();
        game.process.waitForFinished(kStartMs);
    };
    if (QTest::currentTestFailed())
        return stopGames();

    // The Viewer's frags, in the order its first run printed them, found in that order among the
    // Filmer's from the recent past on; it plays on until it shows one printed after the join.
    LogFollower viewerLog{gameFolder(viewerHome) + QStringLiteral("/qconsole.log"), {}, {}};
    QList<LogLine> viewerFrags;
    QList<qsizetype> foundAt; // in the Filmer's log; -1: the Filmer never printed it there
    // A game started again at the live edge begins a new run of its log: the first run, or
    // failing that the present one, must get there.
    const auto caughtUpIn = [&](const QByteArray &run) {
        viewerFrags = fragLines(run);
        const QList<LogLine> filmerFrags = fragLines(readFile(filmerLog));
        foundAt.clear();
        qsizetype next = 0;
        for (const LogLine &v : std::as_const(viewerFrags)) {
            while (next < filmerFrags.size()
                   && (filmerFrags[next].offset < recentFrom || filmerFrags[next].text != v.text))
                ++next;
            foundAt.append(next < filmerFrags.size() ? filmerFrags[next++].offset : -1);
            if (foundAt.last() < 0 || foundAt.last() >= joinedAt)
                break;
        }
        return !foundAt.isEmpty() && (foundAt.last() < 0 || foundAt.last() >= joinedAt);
    };
    const auto caughtUp = [&] {
        viewerLog.poll();
        if (!viewerLog.earlier.isEmpty() && caughtUpIn(viewerLog.earlier))
            return true;
        return caughtUpIn(viewerLog.current);
    };
    const bool followed = QTest::qWaitFor(caughtUp, kDemoMs);
    viewer.output += viewer.process.readAll();
    const QByteArray filmed = readFile(filmerLog);
    const qint64 tookToFrag = took.elapsed();
    stopGames();
    QStringList before;
    for (const LogLine &l : fragLines(filmed)) {
        if (l.offset < joinedAt)
            before.append(QString::fromLatin1(l.text) + (l.offset < recentFrom ? QString() : QStringLiteral(" (recent)")));
    }
    QStringList shown;
    for (qsizetype i = 0; i < foundAt.size(); ++i)
        shown.append(QStringLiteral("%1 [%2]").arg(QString::fromLatin1(viewerFrags[i].text)).arg(foundAt[i]));
    const QString story = QStringLiteral("the Viewer showed:\n%1\nthe Filmer before the join (at %2):\n%3\n--- viewer:\n%4")
                              .arg(shown.join(QLatin1Char('\n')))
                              .arg(joinedAt)
                              .arg(before.join(QLatin1Char('\n')), QString::fromLatin1(viewer.output));
    if (!followed) {
        // QtTest cuts long messages: the story goes line by line.
        for (const QString &line : story.split(QLatin1Char('\n')))
            qWarning("%s", qPrintable(line));
    }
    QVERIFY2(followed, "the Viewer never showed a frag printed after the join (its story above)");
    QVERIFY2(!foundAt.contains(-1), qPrintable(story));
    // Bots need not have fragged in the first minute, so the frags alone may not tell a live
    // start from the demo's: the copy the game played starts well into the match.
    const QDir demos(gameFolder(viewerHome) + QStringLiteral("/demos"));
    QStringList copies = demos.entryList({QStringLiteral("*.live*.dm_71")}, QDir::Files, QDir::Time | QDir::Reversed);
    QVERIFY2(!copies.isEmpty(), qPrintable(story));
    const auto firstSnapshotMs = [](const QByteArray &demo) {
        arbelon::demo::Q3Codec codec;
        qint64 ms = -1;
        arbelon::test::readMessages(codec, demo, [&](const arbelon::test::DemoMessage &m) {
            if (m.info.snapshot)
                ms = m.info.serverTimeMs;
            return !m.info.snapshot;
        });
        return ms;
    };
    QStringList exact = demos.entryList({QStringLiteral("*.dm_71")}, QDir::Files);
    exact.removeIf([](const QString &f) { return f.contains(QStringLiteral(".live")); });
    QVERIFY(!exact.isEmpty());
    const qint64 demoStart = firstSnapshotMs(readFile(demos.filePath(exact.first())));
    const qint64 liveStart = firstSnapshotMs(readFile(demos.filePath(copies.first())));
    QVERIFY2(demoStart >= 0 && liveStart - demoStart >= 30000,
             qPrintable(QStringLiteral("the live copy starts %1 ms into the demo").arg(liveStart - demoStart)));

    // It played the live copy, and the game warned about nothing.
    const QByteArray played = viewerLog.all();
    QVERIFY2(played.contains("demos/") && played.contains(".live.dm_71"), played.left(3000).constData());
    for (const QByteArray &line : played.split('\n')) {
        // OpenArena prints this at every start, before any demo is read.
        if (line.startsWith("Couldn't read q3history."))
            continue;
        // "ERROR" in capitals: the renderer names the extension GL_KHR_no_error.
        QVERIFY2(!line.contains("ERROR") && !line.contains("truncated") && !line.contains("Delta")
                     && !line.contains("delta"),
                 line.constData());
    }
    qInfo("first frag \"%s\" of %lld shown, %lld printed before the join; a frag after the join shown at %.0f s",
          viewerFrags.first().text.constData(), qlonglong(foundAt.size()), qlonglong(before.size()),
          tookToFrag / 1000.0);
}

void TestEngine::demosInARowArriveWhole_data()
{
    // The first demo's size when the game's console gets "stoprecord; record second", the
    // second's when the game stops, and the Filmer's transfer rate (bytes a block, a block a
    // second). The game writes about 1 kB a second, in steps of 4 kB.
    QTest::addColumn<qint64>("firstBytes");
    QTest::addColumn<qint64>("secondBytes");
    QTest::addColumn<QStringList>("filmerArgs");
    // The upload falls behind its game, and the Filmer says so.
    QTest::addColumn<bool>("behind");
    QTest::newRow("two demos on one line") << qint64(30000) << qint64(12000) << QStringList() << false;
    QTest::newRow("slower than the game")
        << qint64(50000) << qint64(12000) << QStringList{QStringLiteral("--rate"), QStringLiteral("500")} << true;
}

// The game stops one recording and starts the next on one console line, then stops running:
// both demos reach the Viewer to their last byte, however slow the upload.
void TestEngine::demosInARowArriveWhole()
{
    QFETCH(qint64, firstBytes);
    QFETCH(qint64, secondBytes);
    QFETCH(QStringList, filmerArgs);
    QFETCH(bool, behind);
    QElapsedTimer took;
    took.start();
    const QString filmerHome = m_dir->filePath(QStringLiteral("row-filmer"));
    const QString viewerHome = m_dir->filePath(QStringLiteral("row-viewer"));
    arbelon::test::stopProcessesWithHome(filmerHome);
    QDir(filmerHome).removeRecursively();
    QDir(viewerHome).removeRecursively();
    const int slot = filmerArgs.isEmpty() ? 103 : 104;
    Child relay, filmer, game, viewer;
    startFilming(relay, filmer, slot, filmerHome, filmerArgs);
    if (QTest::currentTestFailed())
        return;
    // Watching before the first recording starts, so that both demos come whole.
    startWatching(viewer, slot, viewerHome, false);
    if (QTest::currentTestFailed())
        return;

    game.start(kOpenArena, botMatch(QStringLiteral("first")), engineEnvironment(filmerHome, m_display), m_dir->path());
    const QString demos = gameFolder(filmerHome) + QStringLiteral("/demos/");
    const QString filmerLog = gameFolder(filmerHome) + QStringLiteral("/qconsole.log");
    const auto grown = [](const QString &path, qint64 bytes) { return QFileInfo(path).size() >= bytes; };
    const bool firstGrew = QTest::qWaitFor([&] { return grown(demos + QStringLiteral("first.dm_71"), firstBytes); },
                                           kDemoMs);
    // Not typed, but one line all the same: the engine reads console commands from its input.
    if (firstGrew)
        game.process.write("stoprecord; record second\n");
    const bool secondGrew = firstGrew && QTest::qWaitFor([&] {
                                return grown(demos + QStringLiteral("second.dm_71"), secondBytes);
                            },
                                                         kDemoMs);
    // It does not take SIGTERM while it plays; the Filmer takes "not running" for the end.
    game.process.kill();
    QVERIFY(game.process.waitForFinished(kStartMs));
    const QByteArray log = readFile(filmerLog);
    QVERIFY2(firstGrew && secondGrew, log.right(1500).constData());
    QVERIFY2(recordingStopped(log, "first"), log.right(1500).constData());
    QVERIFY(log.contains("recording to demos/second.dm_71"));
    const qint64 gameStoppedMs = took.elapsed();

    QList<QByteArray> recorded;
    for (const char *name : {"first", "second"})
        recorded.append(readFile(demos + QLatin1String(name) + QStringLiteral(".dm_71")));
    QVERIFY(recorded[0].size() >= firstBytes && recorded[1].size() >= secondBytes);
    // The Viewer's files are named after the game and the time: matched to the recordings in
    // the order they came.
    QStringList files;
    const auto arrived = [&] {
        filmer.output += filmer.process.readAll();
        files = receivedDemos(viewerHome);
        return files.size() == 2 && readFile(files[0]).size() >= recorded[0].size()
               && readFile(files[1]).size() >= recorded[1].size();
    };
    const bool whole = QTest::qWaitFor(arrived, kDemoMs);
    viewer.output += viewer.process.readAll();
    QStringList sizes;
    for (const QString &f : std::as_const(files))
        sizes.append(QStringLiteral("%1: %2").arg(QFileInfo(f).fileName()).arg(QFileInfo(f).size()));
    QVERIFY2(whole, qPrintable(QStringLiteral("recorded %1 and %2 bytes; received %3\n--- filmer:\n%4")
                                   .arg(recorded[0].size())
                                   .arg(recorded[1].size())
                                   .arg(sizes.join(QStringLiteral(", ")), QString::fromLatin1(filmer.output.right(3000)))));
    for (int i = 0; i < 2; ++i)
        QVERIFY2(readFile(files[i]) == recorded[i], qPrintable(sizes.join(QStringLiteral(", "))));
    for (const QByteArray &line : filmer.output.split('\n')) {
        if (line.contains("behind") || line.contains("caught up"))
            qInfo("filmer: %s", line.trimmed().constData());
    }
    if (behind)
        QVERIFY2(filmer.output.contains("behind the game"), filmer.output.right(3000).constData());
    qInfo("demos of %lld and %lld bytes; the game stopped at %.0f s, both arrived at %.0f s",
          qlonglong(recorded[0].size()), qlonglong(recorded[1].size()), gameStoppedMs / 1000.0,
          took.elapsed() / 1000.0);
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"

// A bot match filmed to its end, with the server's game log on: what the relay read from the
// demo (map, every frag with its killer, victim and weapon, the final scores) is what the game
// logged.
void TestEngine::relayReadsTheMatchAsTheGameLogsIt()
{
    const QString filmerHome = m_dir->filePath(QStringLiteral("facts"));
    const int slot = 105;
    Child relay, filmer, game;
    startFilming(relay, filmer, slot, filmerHome, {});
    game.start(kOpenArena,
               {QStringLiteral("+set"), QStringLiteral("s_initsound"), QStringLiteral("0"),
                QStringLiteral("+set"), QStringLiteral("bot_minplayers"), QStringLiteral("4"),
                QStringLiteral("+set"), QStringLiteral("fraglimit"), QStringLiteral("5"),
                QStringLiteral("+set"), QStringLiteral("timelimit"), QStringLiteral("4"),
                QStringLiteral("+set"), QStringLiteral("g_log"), QStringLiteral("games.log"),
                QStringLiteral("+set"), QStringLiteral("g_logsync"), QStringLiteral("1"),
                QStringLiteral("+map"), QStringLiteral("oa_dm1"), QStringLiteral("+wait"), QStringLiteral("100"),
                QStringLiteral("+record"), QStringLiteral("facts")},
               engineEnvironment(filmerHome, m_display), m_dir->path());
    const QString logPath = gameFolder(filmerHome) + QStringLiteral("/games.log");
    // The match ends at its frag or time limit; the log then names every score.
    QVERIFY2(QTest::qWaitFor([&] { return readFile(logPath).contains("score:"); }, 6 * 60000),
             readFile(logPath).right(2000).constData());
    QTest::qWait(2000);
    const QByteArray log = readFile(logPath);
    const QStringList kills = loggedKills(log);
    QVERIFY(!kills.isEmpty());

    const QString address = arbelon::test::loopbackAddress(slot);
    QJsonObject facts;
    QStringList frags;
    // Every frag and the intermission read, as the blocks reach the relay.
    const bool read = QTest::qWaitFor([&] {
        facts = relayJson(address, QStringLiteral("/api/games/1")).value(QStringLiteral("facts")).toObject();
        frags.clear();
        for (const QJsonValue &e : facts.value(QStringLiteral("events")).toArray()) {
            if (e[QStringLiteral("kind")].toString() == QStringLiteral("frag"))
                frags << e[QStringLiteral("actor")].toString() + u'|' + e[QStringLiteral("target")].toString() + u'|'
                             + e[QStringLiteral("weapon")].toString();
        }
        return facts.value(QStringLiteral("ended")).toBool() && frags.size() >= kills.size();
    },
                                        60000);
    game.process.kill();
    QVERIFY(game.process.waitForFinished(kStartMs));
    QVERIFY2(read, QJsonDocument(facts).toJson().constData());
    qInfo("%lld frags logged and read", qlonglong(kills.size()));
    QCOMPARE(frags, kills);
    QCOMPARE(facts.value(QStringLiteral("map")).toString(), QStringLiteral("oa_dm1"));
    // The match's end after its last frag, as the game had them.
    const QJsonArray events = facts.value(QStringLiteral("events")).toArray();
    QCOMPARE(events.last()[QStringLiteral("kind")].toString(), QStringLiteral("end"));
    // "score: 5  ping: 0  client: 2 Arachna"
    static const QRegularExpression scoreLine(QStringLiteral("score: (-?\\d+)  ping: \\d+  client: \\d+ (.*)$"));
    QStringList logged, shown;
    for (const QByteArray &line : log.split('\n')) {
        const QRegularExpressionMatch m = scoreLine.match(QString::fromLatin1(line.trimmed()));
        if (m.hasMatch())
            logged << m.captured(2) + u' ' + m.captured(1);
    }
    for (const QJsonValue &p : facts.value(QStringLiteral("scoreboard")).toArray()) {
        if (p[QStringLiteral("team")].toString() != QStringLiteral("spectator"))
            shown << p[QStringLiteral("name")].toString() + u' ' + QString::number(p[QStringLiteral("score")].toInteger());
    }
    logged.sort();
    shown.sort();
    QCOMPARE(shown, logged);
}
