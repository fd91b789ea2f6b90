// bench_live: a real OpenArena bot match filmed and watched live through the real relay, both
// engines under one virtual display, and what a spectator sees measured:
//  - the delay from the Filmer engine's write to the Viewer's exact copy (each 4,096-byte step
//    of the demo, sampled every 50 ms on both files);
//  - the delay from a kill in the Filmer's game to the same kill in the live game (the two
//    engines' console logs, each new line stamped when it was seen);
//  - the margin the client chose, and how often the live game reached the end of what had
//    arrived (the client's own lines).
//
//   bench_live [--seconds 300] [--join-after 30] [--bin DIR]
// The Viewer joins --join-after seconds into the match, as a late joiner does.

#include "common/childprocess.h"
#include "common/openarena.h"
#include "common/testaddress.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <map>

using arbelon::test::ChildProcess;
using arbelon::test::engineEnvironment;
using arbelon::test::kOpenArena;

namespace {

// A growing file looked at now and then: when each of its sizes (or lines) was first seen.
struct Watched {
    explicit Watched(const QString &p = QString()) : path(p) {}
    QString path;
    qint64 size = 0;
    QByteArray partial;
    std::map<qint64, qint64> stepSeenAt;  // 4,096-byte step -> ms
    QHash<QByteArray, qint64> lineSeenAt; // kill line -> ms (the first time)
    QList<QByteArray> lines;

    void look(qint64 now)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return;
        const qint64 s = f.size();
        if (s <= size)
            return;
        for (qint64 step = (size / 4096 + 1) * 4096; step <= s; step += 4096)
            stepSeenAt.emplace(step, now);
        f.seek(size);
        partial += f.read(s - size);
        size = s;
        qsizetype end;
        while ((end = partial.indexOf('\n')) >= 0) {
            const QByteArray line = partial.left(end).trimmed();
            partial.remove(0, end + 1);
            lines.append(line);
            if (!lineSeenAt.contains(line))
                lineSeenAt.insert(line, now);
        }
    }
};

bool isKill(const QByteArray &line)
{
    // OpenArena's obituaries: "X^7 ate Y^7's rocket", "X^7 was railed by Y^7", ...
    return line.contains("^7") && (line.contains("'s ") || line.contains(" by ")) && !line.contains(':');
}

double percentile(QList<qint64> v, double p)
{
    if (v.isEmpty())
        return 0;
    std::sort(v.begin(), v.end());
    return double(v.at(qsizetype(p * double(v.size() - 1))));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("seconds"), QStringLiteral("How long the Viewer watches."), QStringLiteral("n"), QStringLiteral("300")});
    parser.addOption({QStringLiteral("join-after"), QStringLiteral("Seconds of match before the Viewer joins."), QStringLiteral("n"), QStringLiteral("30")});
    parser.addOption({QStringLiteral("bin"), QStringLiteral("Folder of arbelon-relay and arbelon-cli."), QStringLiteral("dir"),
                      QCoreApplication::applicationDirPath()});
    parser.process(app);
    const int seconds = parser.value(QStringLiteral("seconds")).toInt();
    const int joinAfter = parser.value(QStringLiteral("join-after")).toInt();
    const QString bin = parser.value(QStringLiteral("bin"));
    if (!QFileInfo(kOpenArena).isExecutable()) {
        std::fprintf(stderr, "bench_live needs Debian's openarena\n");
        return 2;
    }

    QTemporaryDir dir;
    ChildProcess xserver;
    const QString display = arbelon::test::startXvfb(xserver, QStringLiteral("640x480x24"), 30000);
    if (display.isEmpty()) {
        std::fprintf(stderr, "Xvfb did not start\n");
        return 2;
    }
    const QString filmerHome = dir.filePath(QStringLiteral("filmer"));
    const QString viewerHome = dir.filePath(QStringLiteral("viewer"));
    QDir().mkpath(filmerHome);
    QDir().mkpath(viewerHome);
    const QString address = arbelon::test::loopbackAddress(140);

    ChildProcess relay, filmer, game, viewer;
    relay.start(bin + QStringLiteral("/arbelon-relay"), {QStringLiteral("--listen"), address}, QProcessEnvironment::systemEnvironment());
    if (!relay.waitFor("listening", 30000))
        return 2;
    filmer.start(bin + QStringLiteral("/arbelon-cli"),
                 {QStringLiteral("film"), QStringLiteral("--server"), address, QStringLiteral("--name"), QStringLiteral("bench"),
                  QStringLiteral("--engine"), QStringLiteral("openarena")},
                 engineEnvironment(filmerHome, display));
    if (!filmer.waitFor("in the lobby", 30000))
        return 2;
    game.start(kOpenArena,
               {QStringLiteral("+set"), QStringLiteral("s_initsound"), QStringLiteral("0"), QStringLiteral("+set"),
                QStringLiteral("bot_minplayers"), QStringLiteral("5"), QStringLiteral("+set"), QStringLiteral("fraglimit"),
                QStringLiteral("0"), QStringLiteral("+set"), QStringLiteral("timelimit"), QStringLiteral("0"),
                QStringLiteral("+map"), QStringLiteral("oa_dm1"), QStringLiteral("+wait"), QStringLiteral("100"),
                QStringLiteral("+record"), QStringLiteral("bench")},
               engineEnvironment(filmerHome, display), dir.path());

    Watched filmerDemo(filmerHome + QStringLiteral("/.openarena/baseoa/demos/bench.dm_71"));
    Watched filmerLog(filmerHome + QStringLiteral("/.openarena/baseoa/qconsole.log"));
    Watched viewerLog(viewerHome + QStringLiteral("/.openarena/baseoa/qconsole.log"));
    Watched viewerDemo;
    QElapsedTimer clock;
    clock.start();
    const auto lookAll = [&] {
        const qint64 now = clock.elapsed();
        filmerDemo.look(now);
        filmerLog.look(now);
        viewerLog.look(now);
        if (viewerDemo.path.isEmpty()) {
            const QStringList got = QDir(viewerHome + QStringLiteral("/.openarena/baseoa/demos"))
                                        .entryList({QStringLiteral("*.dm_71")}, QDir::Files, QDir::Time | QDir::Reversed);
            for (const QString &name : got) {
                if (!name.contains(QStringLiteral(".live")))
                    viewerDemo.path = viewerHome + QStringLiteral("/.openarena/baseoa/demos/") + name;
            }
        }
        if (!viewerDemo.path.isEmpty())
            viewerDemo.look(now);
    };
    while (clock.elapsed() < joinAfter * 1000LL) {
        lookAll();
        QTest::qWait(50);
    }
    const qint64 joinedAt = clock.elapsed();
    viewer.start(bin + QStringLiteral("/arbelon-cli"),
                 {QStringLiteral("watch"), QStringLiteral("--server"), address, QStringLiteral("--game"), QStringLiteral("bench"),
                  QStringLiteral("--quake3-engine"), QStringLiteral("openarena"), QStringLiteral("--play")},
                 engineEnvironment(viewerHome, display));
    while (clock.elapsed() < joinedAt + seconds * 1000LL) {
        lookAll();
        QTest::qWait(50);
    }

    // The write-to-file delay: each step the Viewer's copy reached, against the Filmer's.
    QList<qint64> blockDelays;
    for (const auto &[step, at] : viewerDemo.stepSeenAt) {
        const auto f = filmerDemo.stepSeenAt.find(step);
        if (f != filmerDemo.stepSeenAt.end() && f->second >= joinedAt)
            blockDelays.append(at - f->second);
    }
    // The game-to-game delay: kills the live game printed, against the Filmer's game.
    QList<qint64> killDelays;
    for (const QByteArray &line : std::as_const(viewerLog.lines)) {
        if (!isKill(line) || !filmerLog.lineSeenAt.contains(line))
            continue;
        const qint64 f = filmerLog.lineSeenAt.value(line);
        if (f >= joinedAt)
            killDelays.append(viewerLog.lineSeenAt.value(line) - f);
    }
    int edges = 0;
    for (const QByteArray &line : std::as_const(viewerLog.lines))
        edges += line == "arbelon-live-edge" ? 1 : 0;
    viewer.output += viewer.process.readAll();
    QByteArray margin = "?";
    for (const QByteArray &line : viewer.output.split('\n')) {
        const qsizetype at = line.indexOf("Playing live, ");
        if (at >= 0)
            margin = line.mid(at + 14).split(' ').value(0);
    }

    std::printf("bench_live: OpenArena bot match, Viewer joined after %d s, watched %d s\n", joinAfter, seconds);
    std::printf("  Filmer write -> Viewer file: %lld steps, p50 %.0f ms, p90 %.0f ms, max %.0f ms\n",
                qlonglong(blockDelays.size()), percentile(blockDelays, 0.5), percentile(blockDelays, 0.9),
                percentile(blockDelays, 1.0));
    std::printf("  Filmer game -> live game (kills): %lld kills, p50 %.1f s, p90 %.1f s, max %.1f s\n",
                qlonglong(killDelays.size()), percentile(killDelays, 0.5) / 1000.0, percentile(killDelays, 0.9) / 1000.0,
                percentile(killDelays, 1.0) / 1000.0);
    std::printf("  margin chosen: %s s; live edge reached: %d times\n", margin.constData(), edges);
    if (margin == "?")
        std::printf("the Viewer did not play live; what it said:\n%s\n", viewer.output.right(3000).constData());

    game.process.kill();
    viewer.process.terminate();
    filmer.process.terminate();
    viewer.process.waitForFinished(10000);
    filmer.process.waitForFinished(10000);
    relay.process.terminate();
    relay.process.waitForFinished(10000);
    arbelon::test::stopProcessesWithHome(viewerHome);
    arbelon::test::stopProcessesWithHome(filmerHome);
    return 0;
}
