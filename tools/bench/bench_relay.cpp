// bench_relay: load figures for arbelon-relay. Runs the real server as a child process (so
// its CPU time and memory are its own), one Filmer and N Viewers in this process, and prints
// delivery, latency (Filmer send -> Viewer receipt), server CPU seconds and peak RSS.
//
//   bench_relay [--viewers 100,1000,5000] [--fast-blocks 300] [--paced-seconds 15]
//               [--relay PATH]

#include "protocol/arbelon_types.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace arbelon;

namespace {

QElapsedTimer g_clock;
constexpr int kBlockBytes = 10000;

void pumpUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

struct ProcStats {
    qint64 rssKiB = 0;
    qint64 hwmKiB = 0;
    double cpuSeconds = 0;
};

ProcStats readProc(qint64 pid)
{
    ProcStats s;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() >= 2 && f[0] == "VmRSS:")
                s.rssKiB = f[1].toLongLong();
            if (f.size() >= 2 && f[0] == "VmHWM:")
                s.hwmKiB = f[1].toLongLong();
        }
    }
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        // Fields after the command name, which is in parentheses and may hold spaces.
        const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (f.size() > 12)
            s.cpuSeconds = double(f[11].toLongLong() + f[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
    }
    return s;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[size_t(std::min<double>(double(v.size() - 1), p / 100.0 * double(v.size() - 1) + 0.5))];
}

// One client connection that answers every record like the real client and counts what
// it receives. Only the 16 header bytes of a record are looked at; the rest is skipped, so
// the harness costs little next to the server it measures.
struct Peer {
    QTcpSocket socket;
    int answers = 0;
    int users = 0;
    int blocks = 0;
    std::function<void(qint32 sequence)> onBlock;
    std::function<void()> onAnswer;

    char head[16] = {};
    int headHave = 0;
    qint64 skip = 0;
    qint32 type = 0;
    qint32 sequence = 0;
    QByteArray acks;

    void complete()
    {
        if (type == ACKNAK) {
            ++answers;
            if (onAnswer)
                onAnswer();
            return;
        }
        if (type == USERENTERED)
            ++users;
        if (type == DEMOPACKET) {
            ++blocks;
            if (onBlock)
                onBlock(sequence);
        }
        static const QByteArray ack = buildAckNak(0);
        acks += ack;
    }

    void readAll()
    {
        static char chunk[256 * 1024];
        for (;;) {
            const qint64 n = socket.read(chunk, sizeof chunk);
            if (n <= 0)
                break;
            const char *p = chunk;
            qint64 left = n;
            while (left > 0) {
                if (skip > 0) {
                    const qint64 take = std::min(skip, left);
                    skip -= take;
                    p += take;
                    left -= take;
                    if (skip == 0)
                        complete();
                    continue;
                }
                // Every record the server sends is at least 16 bytes long.
                const int take = int(std::min<qint64>(16 - headHave, left));
                std::memcpy(head + headHave, p, size_t(take));
                headHave += take;
                p += take;
                left -= take;
                if (headHave < 16)
                    continue;
                headHave = 0;
                const QByteArrayView h(head, 16);
                type = packetType(h);
                sequence = readI32(h, rec::dpSequence);
                const qint64 size = type == DEMOPACKET ? qint64(packetSize(h)) : rec::fixedSize(type);
                skip = size - 16;
                if (skip <= 0) {
                    skip = 0;
                    complete();
                }
            }
        }
        if (!acks.isEmpty()) {
            socket.write(acks);
            acks.clear();
        }
    }
};

struct RunResult {
    int viewers = 0;
    double joinSeconds = 0;
    int fastExpected = 0, fastGot = 0;
    double fastSeconds = 0, fastP50 = 0, fastP99 = 0;
    int pacedExpected = 0, pacedGot = 0;
    double pacedP50 = 0, pacedP99 = 0;
    double cpuJoin = 0, cpuStream = 0;
    qint64 baseKiB = 0, joinedKiB = 0, peakKiB = 0;
    int dropped = 0;
};

class Bench {
public:
    Bench(QString relay, int fastBlocks, int pacedSeconds)
        : m_relay(std::move(relay)), m_fastBlocks(fastBlocks), m_pacedSeconds(pacedSeconds)
    {
    }
    bool run(int viewers, bool paced, RunResult *out);

private:
    bool startServer();
    void stopServer();
    bool connectFilmer();
    bool joinViewers(int n);
    void streamBlocks(int count, int intervalMs, std::vector<double> *latencies, double *seconds);

    QString m_relay;
    int m_fastBlocks;
    int m_pacedSeconds;
    QProcess m_server;
    QByteArray m_log;
    quint16 m_viewerPort = 0, m_filmerPort = 0;
    std::unique_ptr<Peer> m_filmer;
    std::vector<std::unique_ptr<Peer>> m_viewers;
    std::vector<qint64> m_sentNs;
    std::vector<double> *m_latencies = nullptr;
};

bool Bench::startServer()
{
    m_log.clear();
    QObject::disconnect(&m_server, nullptr, nullptr, nullptr);
    QObject::connect(&m_server, &QProcess::readyReadStandardError,
                     [this] { m_log += m_server.readAllStandardError(); });
    m_server.start(m_relay, {QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                             QStringLiteral("--viewer-port"), QStringLiteral("0"),
                             QStringLiteral("--filmer-port"), QStringLiteral("0"),
                             QStringLiteral("--max-clients"), QStringLiteral("20000")});
    static const QRegularExpression re(QStringLiteral("listening viewer=(\\d+) filmer=(\\d+)"));
    QRegularExpressionMatch m;
    pumpUntil([&] {
        m = re.match(QString::fromUtf8(m_log));
        return m.hasMatch() || m_server.state() == QProcess::NotRunning;
    }, 15000);
    if (!m.hasMatch())
        return false;
    m_viewerPort = quint16(m.captured(1).toUInt());
    m_filmerPort = quint16(m.captured(2).toUInt());
    return true;
}

void Bench::stopServer()
{
    m_viewers.clear();
    m_filmer.reset();
    m_server.terminate();
    m_server.waitForFinished(30000);
}

bool Bench::connectFilmer()
{
    m_filmer = std::make_unique<Peer>();
    Peer *f = m_filmer.get();
    QObject::connect(&f->socket, &QTcpSocket::readyRead, [f] { f->readAll(); });
    f->socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    f->socket.connectToHost(QHostAddress(QHostAddress::LocalHost), m_filmerPort);
    pumpUntil([f] { return f->socket.state() == QAbstractSocket::ConnectedState; }, 10000);
    f->socket.write(buildGameInfo(gtQuake2, "baseq2", "camera", {}, "bench"));
    pumpUntil([f] { return f->answers >= 1; }, 10000);
    return f->answers == 1;
}

bool Bench::joinViewers(int n)
{
    const QByteArray hello = buildUserInfo("v") + buildWaitForGame(1);
    constexpr int kBatch = 250;
    for (int first = 0; first < n; first += kBatch) {
        const int last = std::min(n, first + kBatch);
        for (int i = first; i < last; ++i) {
            auto peer = std::make_unique<Peer>();
            Peer *p = peer.get();
            // Spread over loopback source addresses so ephemeral ports never run short.
            p->socket.bind(QHostAddress(QHostAddress(QStringLiteral("127.0.0.2")).toIPv4Address() + quint32(i % 16)));
            QObject::connect(&p->socket, &QTcpSocket::readyRead, [p] { p->readAll(); });
            QObject::connect(&p->socket, &QTcpSocket::connected, [p, hello] { p->socket.write(hello); });
            p->onBlock = [this](qint32 seq) {
                if (m_latencies && seq > 0 && size_t(seq) < m_sentNs.size())
                    m_latencies->push_back(double(g_clock.nsecsElapsed() - m_sentNs[size_t(seq)]) / 1e6);
            };
            p->socket.connectToHost(QHostAddress(QHostAddress::LocalHost), m_viewerPort);
            m_viewers.push_back(std::move(peer));
        }
        pumpUntil([&] {
            for (int i = first; i < last; ++i)
                if (m_viewers[size_t(i)]->answers < 2)
                    return false;
            return true;
        }, 120000);
    }
    // Settled once every Viewer has heard of every lobby member (the Filmer and N Viewers).
    pumpUntil([&] {
        for (const auto &v : m_viewers)
            if (v->users < n + 1)
                return false;
        return true;
    }, 600000);
    return std::all_of(m_viewers.begin(), m_viewers.end(), [n](const auto &v) { return v->users == n + 1; });
}

void Bench::streamBlocks(int count, int intervalMs, std::vector<double> *latencies, double *seconds)
{
    Peer *f = m_filmer.get();
    m_sentNs.assign(size_t(count) + 1, 0);
    m_latencies = latencies;
    const QByteArray payload(kBlockBytes, 'x');
    int sent = 0;
    bool awaiting = false;
    auto sendNext = [&] {
        if (awaiting || sent >= count)
            return;
        ++sent;
        m_sentNs[size_t(sent)] = g_clock.nsecsElapsed();
        f->socket.write(buildDemoPacket(0, sent, payload));
        awaiting = true;
    };
    f->onAnswer = [&] {
        awaiting = false;
        if (intervalMs == 0)
            sendNext();
    };
    QTimer pace;
    if (intervalMs > 0) {
        QObject::connect(&pace, &QTimer::timeout, sendNext);
        pace.start(intervalMs);
    }
    const int startAnswers = f->answers;
    f->socket.write(buildDemoRestart(0));
    pumpUntil([&] { return f->answers > startAnswers; }, 10000);
    QElapsedTimer t;
    t.start();
    sendNext();
    const int timeoutMs = intervalMs > 0 ? count * intervalMs + 60000 : 600000;
    pumpUntil([&] {
        if (sent < count || awaiting)
            return false;
        for (const auto &v : m_viewers)
            if (v->blocks < count)
                return false;
        return true;
    }, timeoutMs);
    *seconds = double(t.nsecsElapsed()) / 1e9;
    f->onAnswer = nullptr;
    m_latencies = nullptr;
}

bool Bench::run(int viewers, bool paced, RunResult *out)
{
    out->viewers = viewers;
    if (!startServer() || !connectFilmer()) {
        std::fprintf(stderr, "bench_relay: server did not come up\n");
        return false;
    }
    const qint64 pid = m_server.processId();
    const ProcStats base = readProc(pid);
    out->baseKiB = base.rssKiB;

    QElapsedTimer t;
    t.start();
    const bool joined = joinViewers(viewers);
    out->joinSeconds = double(t.nsecsElapsed()) / 1e9;
    const ProcStats afterJoin = readProc(pid);
    out->joinedKiB = afterJoin.rssKiB;
    out->cpuJoin = afterJoin.cpuSeconds - base.cpuSeconds;
    if (!joined)
        std::fprintf(stderr, "bench_relay: not every Viewer joined\n");

    for (auto &v : m_viewers)
        v->blocks = 0;
    std::vector<double> lat;
    if (!paced) {
        out->fastExpected = m_fastBlocks * viewers;
        streamBlocks(m_fastBlocks, 0, &lat, &out->fastSeconds);
        for (const auto &v : m_viewers)
            out->fastGot += v->blocks;
        out->fastP50 = percentile(lat, 50);
        out->fastP99 = percentile(lat, 99);
    } else {
        double seconds = 0;
        out->pacedExpected = m_pacedSeconds * viewers;
        streamBlocks(m_pacedSeconds, 1000, &lat, &seconds);
        for (const auto &v : m_viewers)
            out->pacedGot += v->blocks;
        out->pacedP50 = percentile(lat, 50);
        out->pacedP99 = percentile(lat, 99);
    }
    const ProcStats end = readProc(pid);
    out->cpuStream = end.cpuSeconds - afterJoin.cpuSeconds;
    out->peakKiB = end.hwmKiB;
    out->dropped = int(m_log.count("send queue over"));
    stopServer();
    return true;
}

void raiseFileLimit()
{
    rlimit lim = {};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    getrlimit(RLIMIT_NOFILE, &lim);
    std::printf("open-file limit: %llu\n", static_cast<unsigned long long>(lim.rlim_cur));
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_NO_GLIB", "1"); // thousands of sockets: see relay/main.cpp
    QCoreApplication app(argc, argv);
    g_clock.start();
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("viewers"), QStringLiteral("Viewer counts to run."), QStringLiteral("LIST"),
         QStringLiteral("100,1000,5000")},
        {QStringLiteral("fast-blocks"), QStringLiteral("Blocks sent as fast as answers allow."),
         QStringLiteral("N"), QStringLiteral("200")},
        {QStringLiteral("paced-seconds"), QStringLiteral("Blocks (one a second) for the paced run."),
         QStringLiteral("N"), QStringLiteral("15")},
        {QStringLiteral("paced-viewers"), QStringLiteral("Viewers for the paced run (0: none)."),
         QStringLiteral("N"), QStringLiteral("5000")},
        {QStringLiteral("relay"), QStringLiteral("Path of arbelon-relay."), QStringLiteral("PATH"),
         QCoreApplication::applicationDirPath() + QStringLiteral("/arbelon-relay")},
    });
    parser.process(app);
    raiseFileLimit(); // the server inherits it

    Bench bench(parser.value(QStringLiteral("relay")), parser.value(QStringLiteral("fast-blocks")).toInt(),
                parser.value(QStringLiteral("paced-seconds")).toInt());
    std::vector<RunResult> results;
    for (const QString &n : parser.value(QStringLiteral("viewers")).split(QLatin1Char(','))) {
        RunResult r;
        std::printf("running N=%d (fast)...\n", n.toInt());
        std::fflush(stdout);
        if (bench.run(n.toInt(), false, &r))
            results.push_back(r);
    }
    const int pacedViewers = parser.value(QStringLiteral("paced-viewers")).toInt();
    RunResult pacedResult;
    bool pacedDone = false;
    if (pacedViewers > 0) {
        std::printf("running N=%d (one block a second)...\n", pacedViewers);
        std::fflush(stdout);
        pacedDone = bench.run(pacedViewers, true, &pacedResult);
    }

    std::printf("\nFast run: one Filmer, %d-byte blocks sent as fast as answers allow\n", kBlockBytes);
    std::printf("| Viewers | join s | blocks expected | blocks got | stream s | p50 ms | p99 ms | server CPU s join/stream | peak RSS MiB | RSS/Viewer after join KiB | peak RSS/Viewer KiB | dropped |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const RunResult &r : results)
        std::printf("| %d | %.1f | %d | %d | %.1f | %.1f | %.1f | %.1f / %.1f | %.1f | %.1f | %.1f | %d |\n",
                    r.viewers, r.joinSeconds, r.fastExpected, r.fastGot, r.fastSeconds, r.fastP50, r.fastP99,
                    r.cpuJoin, r.cpuStream, double(r.peakKiB) / 1024.0,
                    double(r.joinedKiB - r.baseKiB) / r.viewers, double(r.peakKiB - r.baseKiB) / r.viewers,
                    r.dropped);
    if (pacedDone) {
        const RunResult &r = pacedResult;
        std::printf("\nPaced run: one block a second\n");
        std::printf("| Viewers | blocks expected | blocks got | p50 ms | p99 ms | server CPU s stream | peak RSS MiB | peak RSS/Viewer KiB |\n");
        std::printf("|---|---|---|---|---|---|---|---|\n");
        std::printf("| %d | %d | %d | %.1f | %.1f | %.1f | %.1f | %.1f |\n", r.viewers, r.pacedExpected,
                    r.pacedGot, r.pacedP50, r.pacedP99, r.cpuStream, double(r.peakKiB) / 1024.0,
                    double(r.peakKiB - r.baseKiB) / r.viewers);
    }
    return 0;
}
