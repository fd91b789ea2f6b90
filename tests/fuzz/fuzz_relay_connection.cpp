// The relay's handling of what its clients send, through real loopback connections to an
// in-process RelayServer: up to three clients (slot 0 on the Filmer port, slots 1 and 2 on
// the Viewer port) send the fuzz input's bytes. Whatever they send, the server must not
// crash, must keep its log lines single and short, and must forget (and delete) every
// connection and game once all clients have gone.
//
// Input: steps of [operation][length, 2 bytes][bytes]. The operation's low two bits pick the
// slot (3 = the clock); the next two say what happens: send the bytes, close the slot, stop
// reading on the slot, or (clock) let the length in milliseconds pass on the server's clock.

#include "epolldispatcher.h"
#include "fuzzsupport.h"
#include "relaylog.h"
#include "relayserver.h"

#include <QElapsedTimer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <memory>

using namespace arbelon;
using arbelon::fuzz::fail;
using arbelon::fuzz::InputStream;

namespace {

constexpr int kSlots = 3;
constexpr qsizetype kMaxLogLine = 600;

qint64 g_clock = 0;

RelayServer &server()
{
    static std::unique_ptr<RelayServer> s;
    if (!s) {
        // The daemon's own event loop, as arbelon-relay installs it.
        auto dispatcher = std::make_unique<EpollEventDispatcher>();
        if (!dispatcher->isValid())
            fail(QStringLiteral("no epoll event dispatcher"));
        QCoreApplication::setEventDispatcher(dispatcher.release());
        arbelon::fuzz::ensureApplication();
        RelayLog::setSink([](const QString &line) {
            if (line.contains(QLatin1Char('\n')) || line.contains(QLatin1Char('\r')) || line.size() > kMaxLogLine)
                fail(QStringLiteral("log line broken or too long: ") + line.left(200));
        });
        RelayConfig config;
        config.listenAddress = QHostAddress(QHostAddress::LocalHost);
        config.viewerPort = 0;
        config.filmerPort = 0;
        // Small limits, so that fuzz inputs (at most 8 KiB, see tools/fuzz.sh) reach them.
        config.maxQueueBytes = 16 * 1024;
        config.maxDemoMemory = 4 * 1024;
        config.chatBurst = 3;
        config.chatLinesPerSecond = 1;
        config.joinBurst = 3;
        config.joinsPerSecond = 1;
        config.listedUsers = 1; // of the two Viewer slots one is named, the other only counted
        s = std::make_unique<RelayServer>(config);
        s->setClock([] { return g_clock; });
        QString error;
        if (!s->start(&error))
            fail(QStringLiteral("relay does not start: ") + error);
    }
    return *s;
}

struct Client {
    int fd = -1;
    bool reading = true;
};

// Whether the server has taken every byte its open connections were sent.
bool settled(RelayServer &relay)
{
    const QList<QTcpSocket *> sockets = relay.findChildren<QTcpSocket *>();
    for (QTcpSocket *s : sockets) {
        const auto *conn = qobject_cast<RelayConnection *>(s->parent());
        if (!conn || !conn->isOpen() || conn->isPaused())
            continue;
        int waiting = 0;
        if (s->bytesAvailable() > 0
            || (s->socketDescriptor() >= 0 && ::ioctl(int(s->socketDescriptor()), FIONREAD, &waiting) == 0 && waiting > 0))
            return false;
    }
    return true;
}

void drain(std::array<Client, kSlots> &clients)
{
    char scratch[16384];
    for (Client &c : clients) {
        if (c.fd < 0 || !c.reading)
            continue;
        while (::recv(c.fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
        }
    }
}

// One turn of the event loop, in the order the relay's own loop would run it (deferred
// deletions included, after what was posted before them).
void pump(std::array<Client, kSlots> &clients)
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    drain(clients);
}

// Connections and games left over; a closed connection must also be deleted, not only
// forgotten.
bool holdsAnything(RelayServer &relay)
{
    return relay.clientCount() > 0 || relay.gameCount() > 0 || !relay.findChildren<RelayConnection *>().isEmpty();
}

// Runs the event loop until the server has taken what it was sent (bounded).
void settle(RelayServer &relay, std::array<Client, kSlots> &clients)
{
    QElapsedTimer t;
    t.start();
    int quiet = 0;
    while (quiet < 2 && t.elapsed() < 2000) {
        pump(clients);
        quiet = settled(relay) ? quiet + 1 : 0;
    }
}

// Non-blocking: libFuzzer's once-a-second alarm interrupts a blocking connect (EINTR), and a
// full backlog would wait on accepts that only this thread's event loop makes.
int openClient(RelayServer &relay, int slot)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        fail(QStringLiteral("no socket"));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(slot == 0 ? relay.filmerPort() : relay.viewerPort());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 && errno != EINPROGRESS
        && errno != EINTR)
        fail(QStringLiteral("cannot connect to the relay: %1").arg(errno));
    QElapsedTimer t;
    t.start();
    pollfd p{fd, POLLOUT, 0};
    while (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLOUT | POLLERR | POLLHUP))) {
        if (t.elapsed() > 5000)
            fail(QStringLiteral("the relay does not accept a connection"));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
        fail(QStringLiteral("cannot connect to the relay: %1").arg(error));
    return fd;
}

void sendAll(RelayServer &relay, std::array<Client, kSlots> &clients, int fd, QByteArrayView bytes)
{
    QElapsedTimer t;
    t.start();
    qsizetype done = 0;
    while (done < bytes.size() && t.elapsed() < 2000) {
        const ssize_t n = ::send(fd, bytes.data() + done, size_t(bytes.size() - done), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return; // the server closed the connection
        else
            pump(clients);
    }
    Q_UNUSED(relay);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    RelayServer &relay = server();
    std::array<Client, kSlots> clients;
    InputStream in(data, size);

    while (!in.atEnd()) {
        const quint8 op = in.byte();
        const quint16 length = in.word();
        const int slot = op & 3;
        const int what = (op >> 2) & 3;
        if (slot == 3) {
            g_clock += length;
            pump(clients);
            continue;
        }
        Client &c = clients[size_t(slot)];
        if (what == 1) {
            if (c.fd >= 0)
                ::close(c.fd);
            c = Client{};
        } else if (what == 2) {
            c.reading = false;
        } else {
            const QByteArrayView bytes = in.take(length);
            if (c.fd < 0)
                c.fd = openClient(relay, slot);
            sendAll(relay, clients, c.fd, bytes);
        }
        settle(relay, clients);
    }

    for (Client &c : clients) {
        if (c.fd >= 0)
            ::close(c.fd);
        c = Client{};
    }
    QElapsedTimer t;
    t.start();
    while (holdsAnything(relay) && t.elapsed() < 20000)
        pump(clients);
    if (holdsAnything(relay))
        fail(QStringLiteral("relay keeps %1 connections (%2 objects) and %3 games after every client left")
                 .arg(relay.clientCount())
                 .arg(relay.findChildren<RelayConnection *>().size())
                 .arg(relay.gameCount()));
    return 0;
}
