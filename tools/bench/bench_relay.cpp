// bench_relay: load figures for arbelon-relay. Runs the real server as a child process (so
// its CPU time and memory are its own), one Filmer and N Viewers in this process, and prints
// delivery, latency (Filmer send -> Viewer receipt), server CPU seconds and peak RSS, and the
// CPU seconds this load process took meanwhile (both share the machine).
//
// The clients are plain non-blocking sockets on one epoll loop: each costs a few system calls
// per block, so the harness stays cheap next to the server it measures.
//
//   bench_relay [--viewers 100,1000,5000] [--fast-blocks 200] [--paced-seconds 15]
//               [--paced-viewers 5000] [--games 1] [--workers 1,2] [--relay PATH] [--simple]
//   --simple [--record-cost-us N]: the Viewers read as a plain client does (one poll() loop,
//       small reads, Nagle on, joining 2 ms apart, no wait for the lobby to settle, N us of CPU
//       per record); --viewers 0 --paced-viewers 2000 --paced-seconds 10 is the plain-client
//       case. Options an older relay lacks are left out, so builds compare side by side.
//   --demo FILE [--facts on|off]: the blocks are a real demo's bytes (looped without its end
//       marker), zlib-compressed as a Filmer sends them, so the relay reads what is on in the
//       game; --facts is passed to the relay (off: it reads nothing), for side-by-side runs.
//   bench_relay --cluster [--paced-viewers 3000] [--paced-seconds 15]
//       three relay nodes over three clustered nats-servers (127.0.78.x), the Viewers spread
//       over them, and a single relay beside them with as many Viewers as one node has, each
//       with its Filmer sending one block a second at the same moment: latency on the
//       Filmer's node, on the other nodes and on the single relay, and CPU per block of each.

#include "receivebuffer.h"
#include "records.h"

#include <zlib.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace arbelon;

namespace {

constexpr int kBlockBytes = 10000;
QElapsedTimer g_clock;
qint64 g_recordCostNs = 0;
QByteArray g_demo;     // --demo: the bytes the blocks carry, looped
QString g_facts;       // --facts: passed on to the relay when set

// Block number (from 1) as the Filmer sends it: kBlockBytes of the demo, compressed, or
// uncompressed filler without --demo.
QByteArray demoBlock(int number)
{
    if (g_demo.isEmpty())
        return buildDemoPacket(0, number, QByteArray(kBlockBytes, 'x'));
    QByteArray raw;
    qsizetype at = qsizetype((qint64(number - 1) * kBlockBytes) % g_demo.size());
    while (raw.size() < kBlockBytes) {
        const QByteArray part = g_demo.mid(at, kBlockBytes - raw.size());
        raw += part;
        at = (at + part.size()) % g_demo.size();
    }
    uLongf size = compressBound(uLong(raw.size()));
    QByteArray packed(qsizetype(size), '\0');
    compress2(reinterpret_cast<Bytef *>(packed.data()), &size, reinterpret_cast<const Bytef *>(raw.constData()),
              uLong(raw.size()), Z_DEFAULT_COMPRESSION);
    packed.resize(qsizetype(size));
    const auto crc = quint32(crc32(0, reinterpret_cast<const Bytef *>(raw.constData()), uInt(raw.size())));
    return buildDemoPacket(crc, number, packed);
}
bool g_noDelay = true; // a plain client leaves Nagle on

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

// One client: answers every record like the real client and counts what arrives. Only the
// 16 header bytes of a record are looked at; block bodies are skipped as they stream in.
struct Peer {
    int fd = -1;
    bool connected = false;
    bool dead = false;
    int answers = 0;
    int users = 0;
    int expectUsers = 0; // the Filmer and the named Viewers; one more (itself) when not named
    int blocks = 0;
    char head[16] = {};
    int headHave = 0;
    qint64 skip = 0;
    qint32 type = 0;
    qint32 sequence = 0;
    QByteArray out; // bytes not yet taken by the kernel
    bool answerRecords = true;
    std::function<void(qint32)> onBlock;
    std::function<void()> onAnswer;

    void complete()
    {
        // A client in a slower language spends this on every record it takes.
        if (g_recordCostNs > 0) {
            const qint64 until = g_clock.nsecsElapsed() + g_recordCostNs;
            while (g_clock.nsecsElapsed() < until) {
            }
        }
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
        if (answerRecords)
            out += ack;
    }

    void consume(const char *p, qint64 left)
    {
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
            const qint64 size = recordSize(h);
            skip = std::max<qint64>(0, size - 16);
            if (skip == 0)
                complete();
        }
    }

    void flush()
    {
        while (!out.isEmpty()) {
            const ssize_t n = ::send(fd, out.constData(), size_t(out.size()), MSG_NOSIGNAL);
            if (n <= 0) {
                if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                    dead = true;
                return;
            }
            out.remove(0, n);
        }
    }

    void send(const QByteArray &bytes)
    {
        out += bytes;
        flush();
    }
};

class Loop {
public:
    // simple: the loop of a plain client, poll() over every socket and one small read per
    // socket per turn, instead of epoll and reading each socket dry.
    explicit Loop(bool simple = false) : m_epoll(::epoll_create1(EPOLL_CLOEXEC)), m_simple(simple) {}
    ~Loop() { ::close(m_epoll); }

    bool add(Peer *peer)
    {
        if (m_simple) {
            m_peers.push_back(peer);
            return true;
        }
        epoll_event ev = {};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
        ev.data.ptr = peer;
        return ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, peer->fd, &ev) == 0;
    }

    // Handles socket events until done() or the time-out; tick() runs at least every 10 ms.
    void runUntil(const std::function<bool()> &done, int timeoutMs, const std::function<void()> &tick = {})
    {
        QElapsedTimer t;
        t.start();
        if (m_simple) {
            while (!done() && t.elapsed() < timeoutMs) {
                pollOnce();
                if (tick)
                    tick();
            }
            return;
        }
        static char chunk[256 * 1024];
        epoll_event events[1024];
        while (!done() && t.elapsed() < timeoutMs) {
            const int n = ::epoll_wait(m_epoll, events, 1024, 10);
            for (int i = 0; i < n; ++i) {
                auto *peer = static_cast<Peer *>(events[i].data.ptr);
                if (events[i].events & EPOLLOUT) {
                    peer->connected = true;
                    peer->flush();
                }
                if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
                    for (;;) {
                        const ssize_t got = ::recv(peer->fd, chunk, sizeof chunk, 0);
                        if (got > 0) {
                            peer->consume(chunk, got);
                            continue;
                        }
                        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                            peer->dead = true;
                            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, peer->fd, nullptr);
                        }
                        break;
                    }
                    peer->flush();
                }
            }
            if (tick)
                tick();
        }
    }

private:
    void pollOnce()
    {
        m_fds.clear();
        for (Peer *peer : m_peers) {
            const short want = short(POLLIN | (peer->out.isEmpty() && peer->connected ? 0 : POLLOUT));
            m_fds.push_back({peer->dead ? -1 : peer->fd, want, 0});
        }
        if (::poll(m_fds.data(), nfds_t(m_fds.size()), 10) <= 0)
            return;
        char chunk[4096];
        for (size_t i = 0; i < m_fds.size(); ++i) {
            Peer *peer = m_peers[i];
            const short got = m_fds[i].revents;
            if (got & POLLOUT) {
                peer->connected = true;
                peer->flush();
            }
            if (got & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(peer->fd, chunk, sizeof chunk, 0);
                if (n > 0)
                    peer->consume(chunk, n);
                else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                    peer->dead = true;
                peer->flush();
            }
        }
    }

    int m_epoll;
    bool m_simple;
    std::vector<Peer *> m_peers;
    std::vector<pollfd> m_fds;
};

std::unique_ptr<Peer> connectPeer(quint16 port, quint32 sourceAddress, quint32 serverAddress = INADDR_LOOPBACK)
{
    auto peer = std::make_unique<Peer>();
    peer->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (g_noDelay)
        ::setsockopt(peer->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(sourceAddress);
    ::bind(peer->fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(serverAddress);
    if (::connect(peer->fd, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0 && errno != EINPROGRESS)
        peer->dead = true;
    return peer;
}

// CPU seconds of this process, the load, as against the server's.
double selfCpuSeconds()
{
    rusage u = {};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Viewers a lobby names, passed to the server: past it Viewers only count.
constexpr int kListedUsers = 200;

bool makeArchive(const QString &dir, int demos);
double timePage(quint16 port, const char *path);

struct RunResult {
    int workers = 1;
    int viewers = 0;
    int games = 1;
    double loadCpuJoin = 0, loadCpuStream = 0;
    bool paced = false;
    bool simple = false;
    double joinSeconds = 0;
    qint64 expected = 0, got = 0;
    double streamSeconds = 0, p50 = 0, p99 = 0, max = 0;
    double cpuJoin = 0, cpuStream = 0;
    std::vector<double> pageMs; // /archive while the blocks went out
    int pagesFailed = 0;
    qint64 baseKiB = 0, joinedKiB = 0, peakKiB = 0;
    int dropped = 0;
};

class Bench {
public:
    Bench(QString relay, int fastBlocks, int pacedSeconds, bool answer, int games)
        : m_relay(std::move(relay)), m_fastBlocks(fastBlocks), m_pacedSeconds(pacedSeconds), m_answer(answer),
          m_games(std::max(1, games))
    {
    }
    bool run(int viewers, bool paced, RunResult *out);
    void setWorkers(int workers) { m_workers = workers; }
    void setSimple(bool simple) { m_simple = simple; }
    // An archive of this many demos, its page asked for this often during the paced blocks.
    void setArchive(int demos, int pollsPerSecond)
    {
        m_archiveDemos = demos;
        m_archivePolls = pollsPerSecond;
    }

private:
    bool startServer();
    std::unique_ptr<Peer> makeViewer(int i, int n);
    bool joinViewers(int n);
    bool joinViewersSimply(int n);
    void stream(int count, int intervalMs, std::vector<double> *latencies, double *seconds);

    QString m_relay;
    int m_fastBlocks;
    int m_pacedSeconds;
    bool m_answer;
    int m_games;
    int m_workers = 1;
    bool m_simple = false;
    int m_archiveDemos = 0;
    int m_archivePolls = 0;
    int m_maxClients = 20000;
    quint16 m_webPort = 0;
    QTemporaryDir m_dir;
    QProcess m_server;
    quint16 m_viewerPort = 0, m_filmerPort = 0;
    std::unique_ptr<Loop> m_loop;
    std::vector<std::unique_ptr<Peer>> m_filmers;
    std::vector<std::unique_ptr<Peer>> m_viewers;
    std::vector<qint64> m_sentNs;
    std::vector<double> *m_latencies = nullptr;
    std::vector<double> m_worstPerBlock; // by sequence: the last Viewer's latency
};

// The options an older build of the relay does not know are left out, so that builds can be
// compared side by side (with --workers 1 for those without worker threads).
QStringList knownOptions(const QString &relay, const QStringList &args)
{
    QProcess help;
    help.start(relay, {QStringLiteral("--help-all")});
    help.waitForFinished(10000);
    const QByteArray text = help.readAllStandardOutput();
    QStringList kept;
    for (qsizetype i = 0; i < args.size(); i += 2) {
        if (text.contains(" " + args[i].toLatin1() + " "))
            kept << args[i] << args.value(i + 1);
    }
    return kept;
}

bool Bench::startServer()
{
    const QString log = m_dir.filePath(QStringLiteral("relay.log"));
    QFile::remove(log);
    m_server.setStandardErrorFile(log);
    QStringList args{QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                     QStringLiteral("--viewer-port"), QStringLiteral("0"),
                     QStringLiteral("--filmer-port"), QStringLiteral("0"),
                     QStringLiteral("--max-clients"), QString::number(m_maxClients),
                     // thousands of Viewers on 16 source addresses
                     QStringLiteral("--max-per-address"), QString::number(m_maxClients),
                     QStringLiteral("--max-games"), QString::number(m_games),
                     QStringLiteral("--listed-users"), QString::number(kListedUsers),
                     QStringLiteral("--workers"), QString::number(m_workers),
                     QStringLiteral("--http"), QStringLiteral("127.0.0.1:0")};
    if (!g_facts.isEmpty())
        args << QStringLiteral("--facts") << g_facts;
    if (m_archiveDemos > 0) {
        const QString dir = m_dir.filePath(QStringLiteral("archive"));
        if (!QDir(dir).exists() && !makeArchive(dir, m_archiveDemos))
            return false;
        args << QStringLiteral("--archive") << dir;
    }
    m_server.start(m_relay, knownOptions(m_relay, args));
    if (!m_server.waitForStarted(10000))
        return false;
    static const QRegularExpression re(QStringLiteral("listening viewer=(\\d+) filmer=(\\d+)"));
    static const QRegularExpression web(QStringLiteral("web http=(\\d+)"));
    for (int i = 0; i < 1200; ++i) {
        QFile f(log);
        if (f.open(QIODevice::ReadOnly)) {
            const QString text = QString::fromUtf8(f.readAll());
            const QRegularExpressionMatch m = re.match(text);
            // With an archive: once its folder is checked, so that the pages show it all.
            if (m.hasMatch() && (m_archiveDemos == 0 || text.contains(QStringLiteral("folder checked")))) {
                m_viewerPort = quint16(m.captured(1).toUInt());
                m_filmerPort = quint16(m.captured(2).toUInt());
                m_webPort = quint16(web.match(text).captured(1).toUInt());
                return true;
            }
        }
        QThread::msleep(50);
    }
    return false;
}

// Demo files as the relay's archive names them, a thousand a day.
bool makeArchive(const QString &dir, int demos)
{
    for (int i = 0; i < demos; ++i) {
        const QString day = QDate(2020, 1, 1).addDays(i / 1000).toString(Qt::ISODate);
        if (i % 1000 == 0 && !QDir().mkpath(dir + u'/' + day))
            return false;
        QFile f(QStringLiteral("%1/%2/bench_%3.dm2").arg(dir, day).arg(i, 6, 10, QLatin1Char('0')));
        if (!f.open(QIODevice::WriteOnly) || f.write("demo") != 4)
            return false;
    }
    return true;
}

// Asks for a page as a browser would, on a connection of its own; the milliseconds to its
// last byte, or -1.
double timePage(quint16 port, const char *path)
{
    QElapsedTimer t;
    t.start();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) == 0;
    const QByteArray request = QByteArray("GET ") + path + " HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
    ok = ok && ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size();
    char chunk[65536];
    qint64 got = 0;
    for (ssize_t n = 0; ok && (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
        got += n;
    ::close(fd);
    return ok && got > 0 ? double(t.nsecsElapsed()) / 1e6 : -1;
}

std::unique_ptr<Peer> Bench::makeViewer(int i, int n)
{
    const quint32 firstSource = 0x7f000002; // 127.0.0.2: 16 source addresses, ports never run short
    auto peer = connectPeer(m_viewerPort, firstSource + quint32(i % 16));
    // Viewer i watches game i % games.
    const int inGame = n / m_games + (i % m_games < n % m_games ? 1 : 0);
    // Which Viewers are named depends on the order their entries reach the server
    // (with worker threads, not the order of connecting): only the total is known.
    peer->expectUsers = 1 + std::min(inGame, kListedUsers);
    peer->out = buildUserInfo("v") + buildWaitForGame(i % m_games + 1); // leaves once connected
    peer->answerRecords = m_answer;
    peer->onBlock = [this](qint32 seq) {
        if (m_latencies && seq > 0 && size_t(seq) < m_sentNs.size()) {
            const double ms = double(g_clock.nsecsElapsed() - m_sentNs[size_t(seq)]) / 1e6;
            m_latencies->push_back(ms);
            m_worstPerBlock[size_t(seq)] = std::max(m_worstPerBlock[size_t(seq)], ms);
        }
    };
    m_loop->add(peer.get());
    return peer;
}

// A plain client's crowd: one Viewer every 2 ms, nobody waiting for the lobby to settle.
bool Bench::joinViewersSimply(int n)
{
    qint64 nextNs = g_clock.nsecsElapsed();
    m_loop->runUntil([&] {
        return int(m_viewers.size()) == n
               && std::all_of(m_viewers.begin(), m_viewers.end(), [](const auto &v) { return v->answers >= 2 || v->dead; });
    },
                     120000 + n * 2,
                     [&] {
                         while (int(m_viewers.size()) < n && g_clock.nsecsElapsed() >= nextNs) {
                             m_viewers.push_back(makeViewer(int(m_viewers.size()), n));
                             nextNs += 2000000;
                         }
                     });
    return std::none_of(m_viewers.begin(), m_viewers.end(), [](const auto &v) { return v->dead; });
}

bool Bench::joinViewers(int n)
{
    if (m_simple)
        return joinViewersSimply(n);
    constexpr int kBatch = 500;
    for (int first = 0; first < n; first += kBatch) {
        const int last = std::min(n, first + kBatch);
        for (int i = first; i < last; ++i)
            m_viewers.push_back(makeViewer(i, n));
        m_loop->runUntil([&] {
            for (int i = first; i < last; ++i)
                if (m_viewers[size_t(i)]->answers < 2 && !m_viewers[size_t(i)]->dead)
                    return false;
            return true;
        },
                         120000);
    }
    // Settled once every Viewer has heard of every named lobby member.
    m_loop->runUntil([&] {
        return std::all_of(m_viewers.begin(), m_viewers.end(),
                           [](const auto &v) { return v->users >= v->expectUsers || v->dead; });
    },
                     600000);
    qint64 unnamed = 0;
    for (const auto &v : m_viewers) {
        if (v->users != v->expectUsers && v->users != v->expectUsers + 1)
            return false;
        unnamed += v->users - v->expectUsers;
    }
    return unnamed == std::max(0, n - kListedUsers * m_games) || m_games > 1;
}

void Bench::stream(int count, int intervalMs, std::vector<double> *latencies, double *seconds)
{
    m_sentNs.assign(size_t(count) + 1, 0);
    m_worstPerBlock.assign(size_t(count) + 1, 0);
    m_latencies = latencies;
    std::vector<QByteArray> blocks(size_t(count) + 1); // made before the clock runs
    for (int i = 1; i <= count; ++i)
        blocks[size_t(i)] = demoBlock(i);
    int sent = 0;
    int awaiting = 0; // Filmers whose last block is not answered yet
    qint64 nextDueNs = 0;
    // Every Filmer sends its block of one tick together; latency runs from the tick.
    auto sendNext = [&] {
        if (awaiting > 0 || sent >= count)
            return;
        ++sent;
        m_sentNs[size_t(sent)] = g_clock.nsecsElapsed();
        nextDueNs = m_sentNs[size_t(sent)] + qint64(intervalMs) * 1000000;
        const QByteArray &block = blocks[size_t(sent)];
        awaiting = int(m_filmers.size());
        for (const auto &f : m_filmers)
            f->send(block);
    };
    int before = 0;
    for (const auto &f : m_filmers) {
        before += f->answers;
        f->onAnswer = [&] {
            if (--awaiting == 0 && intervalMs == 0)
                sendNext();
        };
        f->send(buildDemoRestart(0));
    }
    auto answered = [&] {
        int sum = 0;
        for (const auto &f : m_filmers)
            sum += f->answers;
        return sum;
    };
    awaiting = int(m_filmers.size());
    m_loop->runUntil([&] { return answered() >= before + int(m_filmers.size()); }, 30000);
    awaiting = 0;
    QElapsedTimer t;
    t.start();
    if (intervalMs > 0)
        nextDueNs = g_clock.nsecsElapsed() + qint64(intervalMs) * 1000000; // a Filmer's next tick
    else
        sendNext();
    m_loop->runUntil(
        [&] {
            if (sent < count || awaiting > 0)
                return false;
            return std::all_of(m_viewers.begin(), m_viewers.end(),
                               [count](const auto &v) { return v->blocks >= count || v->dead; });
        },
        intervalMs > 0 ? count * intervalMs + 60000 : 600000,
        [&] {
            if (intervalMs > 0 && g_clock.nsecsElapsed() >= nextDueNs)
                sendNext();
        });
    *seconds = double(t.nsecsElapsed()) / 1e9;
    for (const auto &f : m_filmers)
        f->onAnswer = nullptr;
    m_latencies = nullptr;
}

bool Bench::run(int viewers, bool paced, RunResult *out)
{
    out->viewers = viewers;
    out->paced = paced;
    m_maxClients = std::max(20000, viewers + 1000);
    out->simple = m_simple;
    m_loop = std::make_unique<Loop>(m_simple);
    if (!startServer()) {
        std::fprintf(stderr, "bench_relay: the server did not start\n");
        return false;
    }
    const qint64 pid = m_server.processId();
    out->games = m_games;
    for (int g = 0; g < m_games; ++g) {
        auto f = connectPeer(m_filmerPort, 0x7f000001);
        f->out = buildGameInfo(gtQuake2, "baseq2", "camera", {}, "bench " + QByteArray::number(g + 1));
        m_loop->add(f.get());
        m_filmers.push_back(std::move(f));
    }
    m_loop->runUntil([this] {
        return std::all_of(m_filmers.begin(), m_filmers.end(), [](const auto &f) { return f->answers >= 1; });
    },
                     60000);
    const ProcStats base = readProc(pid);
    out->baseKiB = base.rssKiB;
    const double load0 = selfCpuSeconds();

    QElapsedTimer t;
    t.start();
    if (!joinViewers(viewers))
        std::fprintf(stderr, "bench_relay: not every Viewer joined\n");
    out->joinSeconds = double(t.nsecsElapsed()) / 1e9;
    const ProcStats joined = readProc(pid);
    out->joinedKiB = joined.rssKiB;
    out->cpuJoin = joined.cpuSeconds - base.cpuSeconds;
    const double load1 = selfCpuSeconds();
    out->loadCpuJoin = load1 - load0;
    std::printf("  %d Viewers in the lobby after %.1f s; streaming\n", viewers, out->joinSeconds);
    std::fflush(stdout);

    const int blocks = paced ? m_pacedSeconds : m_fastBlocks;
    std::vector<double> lat;
    lat.reserve(size_t(blocks) * size_t(viewers));
    std::atomic<bool> polling{paced && m_archiveDemos > 0 && m_archivePolls > 0 && m_webPort != 0};
    std::thread poller([&] {
        qint64 next = g_clock.nsecsElapsed();
        while (polling.load()) {
            if (g_clock.nsecsElapsed() < next) {
                QThread::usleep(500);
                continue;
            }
            next += 1000000000LL / m_archivePolls;
            const double ms = timePage(m_webPort, "/archive");
            if (ms < 0)
                ++out->pagesFailed;
            else
                out->pageMs.push_back(ms);
        }
    });
    stream(blocks, paced ? 1000 : 0, &lat, &out->streamSeconds);
    polling.store(false);
    poller.join();
    out->expected = qint64(blocks) * viewers;
    for (const auto &v : m_viewers)
        out->got += v->blocks;
    out->p50 = percentile(lat, 50);
    out->p99 = percentile(lat, 99);
    out->max = lat.empty() ? 0 : *std::max_element(lat.begin(), lat.end());
    if (paced) {
        std::printf("  latency of the last Viewer per block, ms:");
        for (size_t i = 1; i < m_worstPerBlock.size(); ++i)
            std::printf(" %.0f", m_worstPerBlock[i]);
        std::printf("\n");
    }
    const ProcStats end = readProc(pid);
    out->cpuStream = end.cpuSeconds - joined.cpuSeconds;
    out->loadCpuStream = selfCpuSeconds() - load1;
    out->peakKiB = end.hwmKiB;

    m_server.terminate();
    m_server.waitForFinished(30000);
    QFile log(m_dir.filePath(QStringLiteral("relay.log")));
    if (log.open(QIODevice::ReadOnly))
        out->dropped = int(log.readAll().count("send queue over"));
    for (const auto &v : m_viewers)
        ::close(v->fd);
    m_viewers.clear();
    for (const auto &f : m_filmers)
        ::close(f->fd);
    m_filmers.clear();
    m_loop.reset();
    return true;
}

// Both ends of every Viewer's connection live on this machine, each process needs a
// descriptor per Viewer: as root the hard limit itself is raised (up to fs.nr_open).
void raiseFileLimit(rlim_t wanted)
{
    rlimit lim = {};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_max < wanted) {
        rlimit more{wanted, wanted};
        if (setrlimit(RLIMIT_NOFILE, &more) == 0)
            lim = more;
    }
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    getrlimit(RLIMIT_NOFILE, &lim);
    std::printf("open-file limit: %llu\n", static_cast<unsigned long long>(lim.rlim_cur));
}

void printTable(const std::vector<RunResult> &results)
{
    std::printf("\n| workers | games | Viewers | pace | join s | blocks expected | blocks got | stream s | p50 ms | p99 ms | max ms "
                "| server CPU s join / stream | load CPU s join / stream | peak RSS MiB "
                "| RSS per Viewer KiB (after join / peak) | dropped |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const RunResult &r : results)
        std::printf("| %d | %d | %d | %s | %.1f | %lld | %lld | %.1f | %.1f | %.1f | %.1f | %.1f / %.1f | %.1f / %.1f | %.1f "
                    "| %.1f / %.1f | %d |\n",
                    r.workers, r.games, r.viewers, r.paced ? (r.simple ? "1 block/s, plain client" : "1 block/s") : "max", r.joinSeconds, static_cast<long long>(r.expected),
                    static_cast<long long>(r.got), r.streamSeconds, r.p50, r.p99, r.max, r.cpuJoin, r.cpuStream,
                    r.loadCpuJoin, r.loadCpuStream,
                    double(r.peakKiB) / 1024.0, double(r.joinedKiB - r.baseKiB) / r.viewers,
                    double(r.peakKiB - r.baseKiB) / r.viewers, r.dropped);
}


// ---- --cluster ----------------------------------------------------------------------

class ClusterBench {
public:
    ClusterBench(QString relay, int viewers, int blocks) : m_relay(std::move(relay)), m_viewers(viewers), m_blocks(blocks) {}
    ~ClusterBench();
    bool run();

private:
    struct Node {
        QString name;
        quint32 address = 0;
        std::unique_ptr<QProcess> process;
        QString log;
        quint16 viewerPort = 0, filmerPort = 0;
        double cpu0 = 0, cpu1 = 0;
        std::vector<double> latencies;
        qint64 got = 0;
        int viewers = 0;
    };
    static QString text(quint32 address) { return QHostAddress(address).toString(); }
    bool startNats();
    bool startRelay(Node &node, const QStringList &cluster);
    QByteArray readLog(const Node &node) const;
    bool waitLog(const Node &node, const QRegularExpression &re, QRegularExpressionMatch *match, int ms) const;

    QString m_relay;
    int m_viewers;
    int m_blocks;
    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QProcess>> m_nats;
    std::vector<Node> m_nodes; // A, B, C, then the single relay
};

constexpr quint32 kClusterNet = 0x7f004e00; // 127.0.78.0

ClusterBench::~ClusterBench()
{
    for (Node &n : m_nodes) {
        if (n.process && n.process->state() != QProcess::NotRunning) {
            n.process->terminate();
            n.process->waitForFinished(10000);
        }
    }
    for (auto &p : m_nats) {
        p->terminate();
        p->waitForFinished(10000);
    }
}

bool ClusterBench::startNats()
{
    for (int i = 0; i < 3; ++i) {
        QStringList routes;
        for (int j = 0; j < 3; ++j) {
            if (j != i)
                routes.append(QStringLiteral("nats-route://%1:6222").arg(text(kClusterNet + 11 + quint32(j))));
        }
        const QString conf = m_dir.filePath(QStringLiteral("nats%1.conf").arg(i));
        QFile f(conf);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(QStringLiteral("server_name: n%1\nlisten: \"%2:4222\"\nmax_payload: 8MB\n"
                               "jetstream { store_dir: \"%3/n%1\" }\n"
                               "cluster { name: bench, listen: \"%2:6222\", routes: [%4] }\n")
                    .arg(i)
                    .arg(text(kClusterNet + 11 + quint32(i)), m_dir.path(), routes.join(QLatin1Char(',')))
                    .toUtf8());
        f.close();
        auto p = std::make_unique<QProcess>();
        p->setStandardOutputFile(m_dir.filePath(QStringLiteral("nats%1.log").arg(i)));
        p->setStandardErrorFile(m_dir.filePath(QStringLiteral("nats%1.log").arg(i)));
        p->start(QStringLiteral("nats-server"), {QStringLiteral("-c"), conf});
        if (!p->waitForStarted(10000))
            return false;
        m_nats.push_back(std::move(p));
    }
    return true;
}

QByteArray ClusterBench::readLog(const Node &node) const
{
    QFile f(node.log);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool ClusterBench::waitLog(const Node &node, const QRegularExpression &re, QRegularExpressionMatch *match, int ms) const
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        *match = re.match(QString::fromUtf8(readLog(node)));
        if (match->hasMatch())
            return true;
        QThread::msleep(50);
    }
    return false;
}

bool ClusterBench::startRelay(Node &node, const QStringList &cluster)
{
    node.log = m_dir.filePath(node.name + QStringLiteral(".log"));
    node.process = std::make_unique<QProcess>();
    node.process->setStandardErrorFile(node.log);
    QStringList args{QStringLiteral("--listen"), text(node.address), QStringLiteral("--viewer-port"), QStringLiteral("0"),
                     QStringLiteral("--filmer-port"), QStringLiteral("0"), QStringLiteral("--http"), QStringLiteral("off"),
                     QStringLiteral("--max-clients"), QStringLiteral("20000"), QStringLiteral("--max-per-address"),
                     QStringLiteral("20000"), QStringLiteral("--listed-users"), QString::number(kListedUsers),
                     QStringLiteral("--workers"), QStringLiteral("1")};
    if (!cluster.isEmpty())
        args << QStringLiteral("--cluster") << cluster.join(QLatin1Char(',')) << QStringLiteral("--node-name") << node.name;
    node.process->start(m_relay, args);
    QRegularExpressionMatch m;
    if (!node.process->waitForStarted(10000)
        || !waitLog(node, QRegularExpression(QStringLiteral("listening viewer=(\\d+) filmer=(\\d+)")), &m, 20000))
        return false;
    node.viewerPort = quint16(m.captured(1).toUInt());
    node.filmerPort = quint16(m.captured(2).toUInt());
    return cluster.isEmpty() || waitLog(node, QRegularExpression(QStringLiteral("joined with slot")), &m, 60000);
}

bool ClusterBench::run()
{
    if (!startNats()) {
        std::fprintf(stderr, "bench_relay: nats-server did not start\n");
        return false;
    }
    QThread::msleep(3000); // JetStream's cluster elects its leaders
    QStringList cluster;
    for (int i = 0; i < 3; ++i)
        cluster.append(QStringLiteral("nats://%1:4222").arg(text(kClusterNet + 11 + quint32(i))));
    for (const char *name : {"A", "B", "C", "single"}) {
        Node n;
        n.name = QString::fromLatin1(name);
        n.address = kClusterNet + 1 + quint32(m_nodes.size());
        m_nodes.push_back(std::move(n));
    }
    for (size_t i = 0; i < m_nodes.size(); ++i) {
        if (!startRelay(m_nodes[i], i < 3 ? cluster : QStringList())) {
            std::fprintf(stderr, "bench_relay: relay %s did not start or join: %s\n", qPrintable(m_nodes[i].name),
                         readLog(m_nodes[i]).right(1000).constData());
            return false;
        }
    }
    QRegularExpressionMatch m;
    for (size_t i = 0; i < 3; ++i) {
        for (size_t j = 0; j < 3; ++j) {
            if (i != j && !waitLog(m_nodes[i], QRegularExpression(QStringLiteral("node \"%1\" seen").arg(m_nodes[j].name)), &m, 30000))
                return false;
        }
    }
    Loop loop;
    // A Filmer on A and one on the single relay.
    std::vector<std::unique_ptr<Peer>> filmers;
    for (size_t i : {size_t(0), size_t(3)}) {
        auto f = connectPeer(m_nodes[i].filmerPort, kClusterNet + 100, m_nodes[i].address);
        f->out = buildGameInfo(gtQuake2, "baseq2", "camera", {}, "bench");
        loop.add(f.get());
        filmers.push_back(std::move(f));
    }
    loop.runUntil([&] { return filmers[0]->answers >= 1 && filmers[1]->answers >= 1; }, 30000);
    std::vector<quint32> gameIds(4, 1);
    if (!waitLog(m_nodes[0], QRegularExpression(QStringLiteral("opened game (\\d+)")), &m, 10000))
        return false;
    gameIds[0] = gameIds[1] = gameIds[2] = m.captured(1).toUInt();
    for (size_t i : {size_t(1), size_t(2)}) {
        if (!waitLog(m_nodes[i], QRegularExpression(QStringLiteral("game %1 .* of another node listed").arg(gameIds[0])), &m, 10000))
            return false;
    }
    // The Viewers: a third of them on each node, as many again on the single relay.
    std::vector<std::unique_ptr<Peer>> viewers;
    std::vector<qint64> sentNs(size_t(m_blocks) + 1, 0);
    const int perNode = std::max(1, m_viewers / 3);
    for (size_t n = 0; n < m_nodes.size(); ++n) {
        Node &node = m_nodes[n];
        node.viewers = perNode;
        for (int i = 0; i < perNode; ++i) {
            auto v = connectPeer(node.viewerPort, kClusterNet + 101 + quint32(i % 16), node.address);
            v->out = buildUserInfo("v") + buildWaitForGame(qint32(gameIds[n]));
            v->onBlock = [&node, &sentNs](qint32 seq) {
                if (seq > 0 && size_t(seq) < sentNs.size())
                    node.latencies.push_back(double(g_clock.nsecsElapsed() - sentNs[size_t(seq)]) / 1e6);
            };
            loop.add(v.get());
            viewers.push_back(std::move(v));
        }
        loop.runUntil([&] {
            return std::all_of(viewers.end() - perNode, viewers.end(), [](const auto &v) { return v->answers >= 2 || v->dead; });
        },
                      120000);
    }
    std::printf("  %zu Viewers joined; settling\n", viewers.size());
    std::fflush(stdout);
    loop.runUntil([] { return false; }, 3000); // lobby counts and names go round
    // The demo start, then one block a second from both Filmers at the same moment.
    for (auto &f : filmers)
        f->send(buildDemoRestart(0));
    loop.runUntil([&] { return filmers[0]->answers >= 2 && filmers[1]->answers >= 2; }, 30000);
    loop.runUntil([] { return false; }, 1000);
    std::vector<ProcStats> nats0;
    for (auto &p : m_nats)
        nats0.push_back(readProc(p->processId()));
    for (Node &n : m_nodes)
        n.cpu0 = readProc(n.process->processId()).cpuSeconds;
    const QByteArray payload(kBlockBytes, 'x');
    int sent = 0;
    qint64 nextNs = g_clock.nsecsElapsed();
    loop.runUntil(
        [&] {
            return sent >= m_blocks
                   && std::all_of(viewers.begin(), viewers.end(), [this](const auto &v) { return v->blocks >= m_blocks || v->dead; });
        },
        m_blocks * 1000 + 30000,
        [&] {
            if (sent >= m_blocks || g_clock.nsecsElapsed() < nextNs)
                return;
            ++sent;
            sentNs[size_t(sent)] = g_clock.nsecsElapsed();
            nextNs = sentNs[size_t(sent)] + 1000000000LL;
            const QByteArray block = buildDemoPacket(0, sent, payload);
            for (auto &f : filmers)
                f->send(block);
        });
    for (Node &n : m_nodes)
        n.cpu1 = readProc(n.process->processId()).cpuSeconds;
    double natsCpu = 0;
    for (size_t i = 0; i < m_nats.size(); ++i)
        natsCpu += readProc(m_nats[i]->processId()).cpuSeconds - nats0[i].cpuSeconds;
    size_t offset = 0;
    for (Node &n : m_nodes) {
        for (int i = 0; i < n.viewers; ++i)
            n.got += viewers[offset + size_t(i)]->blocks;
        offset += size_t(n.viewers);
    }

    std::printf("\n%d blocks of %d bytes, one a second; latency from the Filmer's send to a Viewer's receipt.\n",
                m_blocks, kBlockBytes);
    std::printf("\n| node | role | Viewers | blocks expected | blocks got | p50 ms | p99 ms | CPU ms per block |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    const char *roles[] = {"Filmer's node", "other node", "other node", "single relay"};
    for (size_t i = 0; i < m_nodes.size(); ++i) {
        const Node &n = m_nodes[i];
        std::printf("| %s | %s | %d | %lld | %lld | %.1f | %.1f | %.2f |\n", qPrintable(n.name), roles[i], n.viewers,
                    static_cast<long long>(n.viewers) * m_blocks, static_cast<long long>(n.got), percentile(n.latencies, 50),
                    percentile(n.latencies, 99), (n.cpu1 - n.cpu0) * 1000.0 / m_blocks);
    }
    std::vector<double> remote = m_nodes[1].latencies;
    remote.insert(remote.end(), m_nodes[2].latencies.begin(), m_nodes[2].latencies.end());
    std::printf("\nadded latency of a remote node (B and C against A): p50 %+.1f ms, p99 %+.1f ms\n",
                percentile(remote, 50) - percentile(m_nodes[0].latencies, 50),
                percentile(remote, 99) - percentile(m_nodes[0].latencies, 99));
    std::printf("three nats-servers together: %.2f CPU ms per block\n", natsCpu * 1000.0 / m_blocks);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    g_clock.start();
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("viewers"), QStringLiteral("Viewer counts for runs at full speed."), QStringLiteral("LIST"),
         QStringLiteral("100,1000,5000")},
        {QStringLiteral("fast-blocks"), QStringLiteral("Blocks sent as fast as answers allow."),
         QStringLiteral("N"), QStringLiteral("200")},
        {QStringLiteral("paced-seconds"), QStringLiteral("Blocks, one a second, in the paced run."),
         QStringLiteral("N"), QStringLiteral("15")},
        {QStringLiteral("paced-viewers"), QStringLiteral("Viewers in the paced run (0: none)."),
         QStringLiteral("N"), QStringLiteral("5000")},
        {QStringLiteral("silent-viewers"), QStringLiteral("Viewers send no ACKNAK (to see the server's "
                                                          "cost of answers apart).")},
        {QStringLiteral("games"), QStringLiteral("Games, each with its Filmer; the Viewers are spread "
                                                 "evenly over them."),
         QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("simple"), QStringLiteral("Viewers load as a plain client does: one poll() loop over all "
                                                  "sockets, 4 KiB reads, Nagle on, joining 2 ms apart, no wait "
                                                  "for the lobby to settle.")},
        {QStringLiteral("record-cost-us"), QStringLiteral("With --simple: CPU microseconds each Viewer spends on "
                                                          "every record it takes."),
         QStringLiteral("US"), QStringLiteral("0")},
        {QStringLiteral("demo"), QStringLiteral("The blocks carry this demo's bytes, looped, compressed."), QStringLiteral("FILE")},
        {QStringLiteral("facts"), QStringLiteral("The relay's --facts (on or off)."), QStringLiteral("on|off")},
        {QStringLiteral("archive-demos"), QStringLiteral("An archive folder of N demos for the relay (0: none)."),
         QStringLiteral("N"), QStringLiteral("0")},
        {QStringLiteral("archive-polls"), QStringLiteral("Its /archive page asked for this often a second while the "
                                                         "paced blocks go out."),
         QStringLiteral("N"), QStringLiteral("10")},
        {QStringLiteral("workers"), QStringLiteral("The relay's --workers, each run once per value."),
         QStringLiteral("LIST"), QStringLiteral("1")},
        {QStringLiteral("cluster"), QStringLiteral("Three relay nodes over three nats-servers against a single "
                                                   "relay, --paced-viewers spread over them, --paced-seconds blocks.")},
        {QStringLiteral("relay"), QStringLiteral("Path of arbelon-relay."), QStringLiteral("PATH"),
         QCoreApplication::applicationDirPath() + QStringLiteral("/arbelon-relay")},
    });
    parser.process(app);
    int most = parser.value(QStringLiteral("paced-viewers")).toInt();
    for (const QString &n : parser.value(QStringLiteral("viewers")).split(QLatin1Char(',')))
        most = std::max(most, n.toInt());
    raiseFileLimit(rlim_t(most) + 2000); // the server inherits it
    if (parser.isSet(QStringLiteral("cluster"))) {
        ClusterBench bench(parser.value(QStringLiteral("relay")), parser.value(QStringLiteral("paced-viewers")).toInt(),
                           parser.value(QStringLiteral("paced-seconds")).toInt());
        return bench.run() ? 0 : 1;
    }

    Bench bench(parser.value(QStringLiteral("relay")), parser.value(QStringLiteral("fast-blocks")).toInt(),
                parser.value(QStringLiteral("paced-seconds")).toInt(),
                !parser.isSet(QStringLiteral("silent-viewers")), parser.value(QStringLiteral("games")).toInt());
    bench.setSimple(parser.isSet(QStringLiteral("simple")));
    g_facts = parser.value(QStringLiteral("facts"));
    if (parser.isSet(QStringLiteral("demo"))) {
        QFile demo(parser.value(QStringLiteral("demo")));
        if (!demo.open(QIODevice::ReadOnly) || demo.size() < 16) {
            std::fprintf(stderr, "cannot read the demo %s\n", qPrintable(demo.fileName()));
            return 1;
        }
        g_demo = demo.readAll();
        // Looped without its end marker, as one long match of repeated levels.
        if (g_demo.endsWith(QByteArray(8, '\xff')))
            g_demo.chop(8); // Quake 3's: -1 as sequence and length
        else if (g_demo.endsWith(QByteArray(4, '\xff')))
            g_demo.chop(4); // Quake 2's: -1 as length
    }
    bench.setArchive(parser.value(QStringLiteral("archive-demos")).toInt(), parser.value(QStringLiteral("archive-polls")).toInt());
    if (parser.isSet(QStringLiteral("simple"))) {
        g_noDelay = false;
        g_recordCostNs = parser.value(QStringLiteral("record-cost-us")).toLongLong() * 1000;
    }
    std::vector<RunResult> results;
    QList<QPair<int, bool>> runs;
    for (const QString &n : parser.value(QStringLiteral("viewers")).split(QLatin1Char(','))) {
        if (n.toInt() > 0)
            runs.append({n.toInt(), false});
    }
    if (parser.value(QStringLiteral("paced-viewers")).toInt() > 0)
        runs.append({parser.value(QStringLiteral("paced-viewers")).toInt(), true});
    for (const auto &[viewers, paced] : runs) {
        for (const QString &w : parser.value(QStringLiteral("workers")).split(QLatin1Char(','))) {
            const int workers = std::clamp(w.toInt(), 1, 64);
            std::printf("running N=%d, %s, %d worker(s)\n", viewers,
                        paced ? "one block a second" : "blocks as fast as answers allow", workers);
            std::fflush(stdout);
            bench.setWorkers(workers);
            RunResult r;
            r.workers = workers;
            if (bench.run(viewers, paced, &r))
                results.push_back(r);
        }
    }
    std::printf("\nOne Filmer per game, %d-byte blocks; latency is from the Filmer's send to a Viewer's receipt.\n", kBlockBytes);
    printTable(results);
    for (const RunResult &r : results) {
        if (!r.pageMs.empty() || r.pagesFailed)
            std::printf("\n/archive of %d demos, %zu pages while %d Viewers streamed (%d workers): p50 %.1f ms, "
                        "p99 %.1f ms, max %.1f ms, %d failed\n",
                        parser.value(QStringLiteral("archive-demos")).toInt(), r.pageMs.size(), r.viewers, r.workers,
                        percentile(r.pageMs, 50), percentile(r.pageMs, 99),
                        r.pageMs.empty() ? 0.0 : *std::max_element(r.pageMs.begin(), r.pageMs.end()), r.pagesFailed);
    }
    return 0;
}
