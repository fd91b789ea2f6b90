// bench_soak: runs the real arbelon-relay as a child process for a long time while Filmers
// and Viewers come and go and a steady share of hostile clients attacks it, and prints once a
// minute the relay's resident memory, its open descriptors and the demo blocks delivered.
// Memory and descriptors must level off; honest Viewers must see no fault.
//
//   bench_soak [--minutes 10] [--filmers 4] [--viewers 16] [--hostile 8] [--relay PATH]

#include "hostile/relaypeers.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

using namespace arbelon;
using arbelon::test::HonestFilmer;
using arbelon::test::HonestViewer;
using arbelon::test::RawRelayPeer;

namespace {

const QHostAddress kLocal(QHostAddress::LocalHost);

struct Options {
    double minutes = 10;
    int filmers = 4;
    int viewers = 16;
    int hostile = 8; // hostile clients alive at any time, besides the storms
    QString relay;
};

qint64 residentKb(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

qint64 openDescriptors(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size();
}

// One client of the soak: what it is, and when it leaves.
struct Member {
    enum Kind { Filmer,
                Viewer,
                Garbage,
                Stalled,
                HalfHello,
                ChatFlood } kind;
    std::unique_ptr<RawRelayPeer> peer;
    qint64 leavesAtMs;
    QTimer chatTimer;
};

class Soak : public QObject {
public:
    Soak(const Options &o, quint16 viewerPort, quint16 filmerPort)
        : m_o(o), m_viewerPort(viewerPort), m_filmerPort(filmerPort)
    {
        m_clock.start();
        connect(&m_tick, &QTimer::timeout, this, [this] { tick(); });
        m_tick.start(100);
        // Connection storms: clients that connect and drop at once, every second.
        connect(&m_storm, &QTimer::timeout, this, [this] { storm(); });
        m_storm.start(1000);
    }

    qint64 blocksDelivered() const
    {
        qint64 n = m_retiredBlocks;
        for (const auto &m : m_members) {
            if (m->kind == Member::Viewer)
                n += static_cast<HonestViewer *>(m->peer.get())->blocksReceived();
        }
        return n;
    }
    int faults() const
    {
        int n = m_retiredFaults;
        for (const auto &m : m_members) {
            if (m->kind == Member::Viewer)
                n += static_cast<HonestViewer *>(m->peer.get())->faults();
        }
        return n;
    }
    qint64 joined() const { return m_joined; }
    qint64 attacks() const { return m_attacks; }

private:
    qint64 lifetime(int minS, int maxS) { return m_clock.elapsed() + m_rng.bounded(minS * 1000, maxS * 1000); }

    int countOf(Member::Kind kind, bool hostile = false) const
    {
        int n = 0;
        for (const auto &m : m_members) {
            if (hostile ? m->kind >= Member::Garbage : m->kind == kind)
                ++n;
        }
        return n;
    }

    void tick()
    {
        const qint64 now = m_clock.elapsed();
        for (auto it = m_members.begin(); it != m_members.end();) {
            Member &m = **it;
            if (now < m.leavesAtMs && !m.peer->isClosed()) {
                ++it;
                continue;
            }
            if (m.kind == Member::Viewer) {
                const auto *v = static_cast<HonestViewer *>(m.peer.get());
                m_retiredBlocks += v->blocksReceived();
                m_retiredFaults += v->faults();
            }
            // Half the honest clients say goodbye properly; everyone else just drops.
            if (m.kind <= Member::Viewer && m_rng.bounded(2) == 0)
                m.peer->close();
            else
                m.peer->abort();
            m.peer.release()->deleteLater();
            it = m_members.erase(it);
        }
        while (countOf(Member::Filmer) < m_o.filmers)
            addFilmer();
        while (countOf(Member::Viewer) < m_o.viewers && !m_gameNames.empty())
            addViewer();
        while (countOf(Member::Garbage, true) < m_o.hostile)
            addHostile();
    }

    void addFilmer()
    {
        const QByteArray name = "Soak game " + QByteArray::number(++m_games);
        auto m = std::make_unique<Member>();
        m->kind = Member::Filmer;
        auto *f = new HonestFilmer(name, 50);
        m->peer.reset(f);
        connect(f, &RawRelayPeer::connected, f, [f] { f->startDemo(); });
        f->connectTo(kLocal, m_filmerPort);
        m->leavesAtMs = lifetime(30, 120);
        m_gameNames.push_back(name);
        if (m_gameNames.size() > size_t(m_o.filmers) * 2)
            m_gameNames.erase(m_gameNames.begin());
        m_members.push_back(std::move(m));
    }

    void addViewer()
    {
        // Mostly the newest games, whose Filmers are still there.
        const QByteArray name = m_gameNames.at(m_gameNames.size() - 1 - m_rng.bounded(qMin<int>(int(m_gameNames.size()), m_o.filmers)));
        auto m = std::make_unique<Member>();
        m->kind = Member::Viewer;
        m->peer = std::make_unique<HonestViewer>("viewer" + QByteArray::number(++m_joined), name);
        m->peer->connectTo(kLocal, m_viewerPort);
        m->leavesAtMs = lifetime(10, 60);
        m_members.push_back(std::move(m));
    }

    void addHostile()
    {
        ++m_attacks;
        auto m = std::make_unique<Member>();
        m->kind = Member::Kind(Member::Garbage + m_rng.bounded(4));
        m->peer = std::make_unique<RawRelayPeer>();
        RawRelayPeer *p = m->peer.get();
        const bool filmerPort = m->kind == Member::Garbage && m_rng.bounded(2) == 0;
        switch (m->kind) {
        case Member::Garbage:
            connect(p, &RawRelayPeer::connected, p, [p] {
                QByteArray junk(1024, '\0');
                for (char &c : junk)
                    c = char(QRandomGenerator::global()->bounded(256));
                p->send(junk);
            });
            m->leavesAtMs = lifetime(5, 10);
            break;
        case Member::Stalled: {
            // Watches a game and never reads: the relay must drop it when its queue is full.
            const QByteArray game = m_gameNames.empty() ? QByteArray("none") : m_gameNames.back();
            connect(p, &RawRelayPeer::connected, p, [p] { p->send(buildUserInfo("stalled")); });
            connect(p, &RawRelayPeer::recordReceived, p, [p, game](const QByteArray &r) {
                if (packetType(r) == GAMEINFODETAILED && GameInfoDetailedReader{r}.gameName() == game) {
                    p->send(buildWaitForGame(qint32(GameInfoDetailedReader{r}.gameId())));
                    p->stopReading();
                }
            });
            m->leavesAtMs = lifetime(60, 180);
            break;
        }
        case Member::HalfHello:
            connect(p, &RawRelayPeer::connected, p, [p] { p->send(buildUserInfo("silent").left(9)); });
            m->leavesAtMs = lifetime(40, 90); // past the relay's hello time-out
            break;
        default: {
            // Joins a lobby and talks as fast as it can.
            const QByteArray game = m_gameNames.empty() ? QByteArray("none") : m_gameNames.back();
            connect(p, &RawRelayPeer::connected, p, [p] { p->send(buildUserInfo("flooder")); });
            connect(p, &RawRelayPeer::recordReceived, p, [p, game](const QByteArray &r) {
                if (packetType(r) == GAMEINFODETAILED && GameInfoDetailedReader{r}.gameName() == game)
                    p->send(buildWaitForGame(qint32(GameInfoDetailedReader{r}.gameId())));
            });
            connect(&m->chatTimer, &QTimer::timeout, p, [p] {
                if (p->isConnected())
                    p->send(buildSendText({}, "flood flood flood"));
            });
            m->chatTimer.start(20);
            m->leavesAtMs = lifetime(10, 40);
            break;
        }
        }
        p->connectTo(kLocal, filmerPort ? m_filmerPort : m_viewerPort);
        m_members.push_back(std::move(m));
    }

    void storm()
    {
        for (int i = 0; i < 20; ++i) {
            auto *p = new RawRelayPeer(this);
            connect(p, &RawRelayPeer::connected, p, [p] {
                p->abort();
                p->deleteLater();
            });
            connect(p, &RawRelayPeer::closed, p, &QObject::deleteLater);
            p->connectTo(kLocal, i % 2 ? m_viewerPort : m_filmerPort);
            ++m_attacks;
        }
    }

    Options m_o;
    quint16 m_viewerPort;
    quint16 m_filmerPort;
    QElapsedTimer m_clock;
    QTimer m_tick;
    QTimer m_storm;
    QRandomGenerator m_rng{20261207};
    std::vector<std::unique_ptr<Member>> m_members;
    std::vector<QByteArray> m_gameNames;
    int m_games = 0;
    qint64 m_joined = 0;
    qint64 m_attacks = 0;
    qint64 m_retiredBlocks = 0;
    int m_retiredFaults = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Soak run of arbelon-relay under churn and attack."));
    parser.addHelpOption();
    const QCommandLineOption minutesOpt(QStringLiteral("minutes"), QStringLiteral("Length of the run."), QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption filmersOpt(QStringLiteral("filmers"), QStringLiteral("Filmers at any time."), QStringLiteral("n"), QStringLiteral("4"));
    const QCommandLineOption viewersOpt(QStringLiteral("viewers"), QStringLiteral("Viewers at any time."), QStringLiteral("n"), QStringLiteral("16"));
    const QCommandLineOption hostileOpt(QStringLiteral("hostile"), QStringLiteral("Hostile clients at any time, besides 20 connect-and-drop storms a second."), QStringLiteral("n"), QStringLiteral("8"));
    const QCommandLineOption relayOpt(QStringLiteral("relay"), QStringLiteral("The relay program."), QStringLiteral("path"));
    parser.addOptions({minutesOpt, filmersOpt, viewersOpt, hostileOpt, relayOpt});
    parser.process(app);

    Options o;
    o.minutes = parser.value(minutesOpt).toDouble();
    o.filmers = qMax(1, parser.value(filmersOpt).toInt());
    o.viewers = qMax(1, parser.value(viewersOpt).toInt());
    o.hostile = qMax(0, parser.value(hostileOpt).toInt());
    o.relay = parser.isSet(relayOpt) ? parser.value(relayOpt)
                                     : QCoreApplication::applicationDirPath() + QStringLiteral("/arbelon-relay");

    QProcess relay;
    QByteArray relayErr; // kept until the ports are known, then only counted
    bool portsKnown = false;
    qint64 logLines = 0;
    QObject::connect(&relay, &QProcess::readyReadStandardError, &relay, [&] {
        const QByteArray bytes = relay.readAllStandardError();
        logLines += bytes.count('\n');
        if (!portsKnown)
            relayErr += bytes;
    });
    relay.start(o.relay, {QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--viewer-port"),
                          QStringLiteral("0"), QStringLiteral("--filmer-port"), QStringLiteral("0"),
                          // every client, the storms included, comes from 127.0.0.1
                          QStringLiteral("--max-per-address"), QStringLiteral("10000")});
    static const QRegularExpression listening(QStringLiteral("listening viewer=(\\d+) filmer=(\\d+)"));
    QRegularExpressionMatch match;
    QElapsedTimer wait;
    wait.start();
    while (!(match = listening.match(QString::fromUtf8(relayErr))).hasMatch()) {
        if (relay.state() == QProcess::NotRunning || wait.elapsed() > 15000) {
            std::fprintf(stderr, "bench_soak: %s did not start\n", qPrintable(o.relay));
            return 1;
        }
        relay.waitForReadyRead(100);
    }
    portsKnown = true;
    relayErr.clear();
    const qint64 pid = relay.processId();
    Soak soak(o, quint16(match.captured(1).toUInt()), quint16(match.captured(2).toUInt()));

    std::printf("bench_soak: %.1f minutes, %d Filmers, %d Viewers, %d hostile clients + 20 storm connections/s\n",
                o.minutes, o.filmers, o.viewers, o.hostile);
    std::printf("%6s %10s %6s %14s %14s %8s %10s %10s\n", "minute", "rss_kb", "fds", "blocks/minute", "blocks_total",
                "faults", "viewers", "attacks");
    std::fflush(stdout);

    qint64 lastBlocks = 0;
    int minute = 0;
    QTimer report;
    QObject::connect(&report, &QTimer::timeout, &app, [&] {
        ++minute;
        const qint64 blocks = soak.blocksDelivered();
        std::printf("%6d %10lld %6lld %14lld %14lld %8d %10lld %10lld\n", minute, residentKb(pid), openDescriptors(pid),
                    blocks - lastBlocks, blocks, soak.faults(), soak.joined(), soak.attacks());
        std::fflush(stdout);
        lastBlocks = blocks;
        if (minute >= int(o.minutes + 0.5) || relay.state() == QProcess::NotRunning)
            app.quit();
    });
    report.start(o.minutes < 1 ? int(o.minutes * 60000) : 60000);
    app.exec();

    const bool alive = relay.state() == QProcess::Running;
    relay.terminate();
    relay.waitForFinished(10000);
    std::printf("relay %s; %lld log lines; faults seen by honest Viewers: %d\n",
                alive ? "ran to the end" : "DIED", logLines, soak.faults());
    return alive && soak.faults() == 0 ? 0 : 1;
}
