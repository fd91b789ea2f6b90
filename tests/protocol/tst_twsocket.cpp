// TWSocket over real loopback connections, with a PacketDispatcher wired to it the way the
// client wires it: data event -> dataAvailable(Receive()), SendPacket -> Send.

#include "dispatchharness.h"
#include "twsocket.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostInfo>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#ifndef Q_OS_WIN
#include <sys/socket.h>
#endif

#include <memory>

using namespace arbelon;
using arbelon::test::ackImage;
using arbelon::test::byteSum;

namespace {

// Emitted on every event of either side, so waits wake up as soon as anything happened.
class Probe : public QObject {
    Q_OBJECT
signals:
    void changed();
};

// Waits without sleeping: each round runs the event loop until one more event of either side.
bool waitFor(Probe &probe, const std::function<bool()> &done, int timeoutMs = 20000)
{
    QSignalSpy spy(&probe, &Probe::changed);
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        spy.wait(int(qBound(qint64(1), deadline.remainingTime(), qint64(1000))));
    }
    return true;
}

// The test's side of the connection: a server on 127.0.0.1, port 0, keeping its latest peer.
struct Peer {
    Probe &probe;
    QTcpServer server;
    QPointer<QTcpSocket> conn;
    QByteArray received;
    int connections = 0;
    bool peerClosed = false;
    bool autoRead = true;

    explicit Peer(Probe &p) : probe(p)
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                conn = s;
                ++connections;
                received.clear();
                peerClosed = false;
                s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    if (autoRead && s == conn)
                        received += s->readAll();
                    emit probe.changed();
                });
                QObject::connect(s, &QTcpSocket::bytesWritten, s, [this] { emit probe.changed(); });
                QObject::connect(s, &QTcpSocket::disconnected, s, [this, s] {
                    if (s == conn) {
                        if (s->isReadable())
                            received += s->readAll();
                        peerClosed = true;
                    }
                    emit probe.changed();
                });
                emit probe.changed();
            }
        });
    }
    ~Peer()
    {
        // The server deletes its sockets after our other members are gone.
        for (QTcpSocket *s : server.findChildren<QTcpSocket *>())
            s->disconnect();
    }
    bool listen() { return server.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0); }
    QString port() const { return QString::number(server.serverPort()); }
    void send(const QByteArray &bytes)
    {
        conn->write(bytes);
        conn->flush();
    }
};

// The client's side: TWSocket, dispatcher and an event log.
struct Client {
    Probe &probe;
    TWSocket sock;
    test::DispatchHarness h{false};
    QStringList events;
    qint64 bytesIn = 0;
    int dataDepth = 0;
    int maxDataDepth = 0;
    std::function<void()> afterData; // extra work inside the data event
    int skipReads = 0;               // data events to leave unread, so bytes stay waiting in the socket

    explicit Client(Probe &p) : probe(p)
    {
        h.d.setSendFunction([this](const QByteArray &r) { sock.Send(r); });
        h.d.setConnectedFunction([this] { return sock.State() == TWSocket::wsConnected; });
        sock.OnSessionConnected = [this](int error) {
            events << QStringLiteral("connected %1").arg(error);
            h.d.buffer().clear();
            h.d.setState(ssIdle);
            emit probe.changed();
        };
        sock.OnDataAvailable = [this](int) {
            if (skipReads > 0) {
                --skipReads;
                emit probe.changed();
                return;
            }
            ++dataDepth;
            maxDataDepth = qMax(maxDataDepth, dataDepth);
            const QByteArray bytes = sock.Receive();
            bytesIn += bytes.size();
            emit probe.changed();
            try {
                h.d.dataAvailable(bytes);
                if (afterData)
                    afterData();
            } catch (...) {
                --dataDepth;
                throw;
            }
            --dataDepth;
        };
        sock.OnSessionClosed = [this](int error) {
            events << QStringLiteral("closed %1").arg(error);
            emit probe.changed();
        };
    }
    int count(const QString &prefix) const
    {
        int n = 0;
        for (const QString &e : events)
            n += e.startsWith(prefix) ? 1 : 0;
        return n;
    }
    void connectTo(const Peer &peer)
    {
        sock.setAddr(QStringLiteral("127.0.0.1"));
        sock.setProto(QStringLiteral("tcp"));
        sock.setPort(peer.port());
        sock.setBufSize(650000);
        sock.Connect();
    }
};

// One record of a test stream with what the client must make of it.
struct Item {
    QByteArray bytes;
    QString handled;
    int answer; // ACKNAK result the client sends back, -1 for none
};

QByteArray demo(int n, int seed, bool goodCrc)
{
    QByteArray data(n, '\0');
    for (int i = 0; i < n; ++i)
        data[i] = char((i * 13 + seed) & 0xff);
    return buildDemoPacket(byteSum(data) + (goodCrc ? 0u : 1u), seed, data);
}

QList<Item> mixedStream()
{
    QList<Item> items;
    for (int round = 0; round < 3; ++round) {
        const QByteArray name = "user" + QByteArray::number(round);
        items << Item{buildGameInfoDetailed(4294967295u - quint32(round), "g", 1, 2, "baseq3"),
                      QStringLiteral("GAME %1").arg(4294967295u - quint32(round)), 0}
              << Item{buildUserEntered(name), QStringLiteral("IN ") + QString::fromLatin1(name), 0}
              << Item{buildSendText(name, "hello"), QStringLiteral("TEXT hello"), 0}
              << Item{buildDemoRestart(round), QStringLiteral("RESTART"), 0}
              << Item{demo(700 + round, round, true), QStringLiteral("DEMO %1 ok").arg(700 + round), 0}
              << Item{demo(50, round, false), QStringLiteral("DEMO 50 bad"), 1}
              << Item{buildAckNak(1), QStringLiteral("ACK 1"), -1}
              << Item{demo(1, round, true), QStringLiteral("DEMO 1 ok"), 0}
              << Item{buildGameRemoved(quint32(round)), QStringLiteral("REMOVED %1").arg(round), 0}
              << Item{buildUserLeft(name), QStringLiteral("OUT ") + QString::fromLatin1(name), 0};
    }
    return items;
}

// Opens a connection from a fresh client to the peer and waits until both ends see it.
#define CONNECT_PAIR(peer, client)                                                \
    do {                                                                          \
        QVERIFY((peer).listen());                                                 \
        (client).connectTo(peer);                                                 \
        QVERIFY(waitFor(probe, [&] {                                              \
            return (client).sock.State() == TWSocket::wsConnected && (peer).conn; \
        }));                                                                      \
    } while (false)

} // namespace

class TestTWSocket : public QObject {
    Q_OBJECT
private slots:
    void recordsInPieces_data();
    void recordsInPieces();
    void unknownTypeStopsDispatch();
    void dispatchErrorEndsSession_data();
    void dispatchErrorEndsSession();
    void handlerThrows_data();
    void handlerThrows();
    void handlerErrorDropsQueuedOutput();
    void settersRaiseUnlessClosed_data();
    void settersRaiseUnlessClosed();
    void closeRaisesSessionClosedOnce_data();
    void closeRaisesSessionClosedOnce();
    void refusedAttempt_data();
    void refusedAttempt();
    void serverCloseDeliversDataFirst();
    void connectCannotStart_data();
    void connectCannotStart();
    void connectWhileInUseThrows();
    void largeSendsKeepOrder();
    void brokenConnectionClosesOnce();
    void reconnectFromSessionClosed();

private:
    Probe probe;
};

void TestTWSocket::recordsInPieces_data()
{
    QTest::addColumn<int>("mode"); // 0: one byte at a time, 1: random sizes, 2: all at once
    QTest::newRow("one byte") << 0;
    QTest::newRow("random sizes") << 1;
    QTest::newRow("all at once") << 2;
}

void TestTWSocket::recordsInPieces()
{
    QFETCH(int, mode);
    Peer peer(probe);
    Client client(probe);
    CONNECT_PAIR(peer, client);

    const QList<Item> items = mixedStream();
    QByteArray stream;
    QStringList expectedHandled;
    QByteArray expectedAcks;
    for (const Item &it : items) {
        stream += it.bytes;
        expectedHandled << it.handled;
        if (it.answer >= 0)
            expectedAcks += ackImage(quint8(it.answer));
    }

    if (mode == 2) {
        peer.send(stream);
    } else {
        QRandomGenerator rng(42);
        qsizetype pos = 0;
        while (pos < stream.size()) {
            const qsizetype n = mode == 0 ? 1 : qMin<qsizetype>(rng.bounded(1, 400), stream.size() - pos);
            peer.send(stream.mid(pos, n));
            pos += n;
            // Each piece reaches the client on its own before the next is sent.
            QVERIFY(waitFor(probe, [&] { return client.bytesIn == pos; }));
        }
    }
    QVERIFY(waitFor(probe, [&] { return peer.received.size() >= expectedAcks.size(); }));
    QCOMPARE(client.h.handled, expectedHandled);
    QVERIFY(client.h.d.buffer().isEmpty());
    QCOMPARE(client.maxDataDepth, 1);

    // Closing flushes nothing more: the answers are exactly one per handled record, in order.
    client.sock.Close();
    QVERIFY(waitFor(probe, [&] { return peer.peerClosed; }));
    QCOMPARE(peer.received.toHex(' '), expectedAcks.toHex(' '));
    QCOMPARE(client.events, (QStringList{QStringLiteral("connected 0"), QStringLiteral("closed 0")}));
}

void TestTWSocket::unknownTypeStopsDispatch()
{
    Peer peer(probe);
    Client client(probe);
    CONNECT_PAIR(peer, client);

    const QByteArray first = buildUserEntered("a") + buildWaitForGame(3) + buildUserEntered("b");
    peer.send(first);
    QVERIFY(waitFor(probe, [&] { return client.bytesIn == first.size(); }));
    const QByteArray later = buildSendText("c", "later") + buildGameRemoved(1);
    peer.send(later);
    QVERIFY(waitFor(probe, [&] { return client.bytesIn == first.size() + later.size(); }));

    QCOMPARE(client.h.handled, QStringList{QStringLiteral("IN a")});
    QCOMPARE(client.h.d.buffer().size(), 16 + 32 + later.size());
    QCOMPARE(client.sock.State(), TWSocket::wsConnected);
    client.sock.Close();
    QVERIFY(waitFor(probe, [&] { return peer.peerClosed; }));
    QCOMPARE(peer.received, ackImage(0));
}

void TestTWSocket::dispatchErrorEndsSession_data()
{
    QTest::addColumn<quint32>("packetSize");
    QTest::newRow("PacketSize 15") << 15u;
    QTest::newRow("PacketSize 4 MiB + 1") << 4194305u;
}

void TestTWSocket::dispatchErrorEndsSession()
{
    QFETCH(quint32, packetSize);
    Peer peer(probe);
    Client client(probe);
    CONNECT_PAIR(peer, client);

    QByteArray bad = buildDemoPacket(0, 0, "abcd");
    writeU32(bad, 4, packetSize);
    peer.send(buildUserEntered("a") + bad + buildUserEntered("b"));
    QVERIFY(waitFor(probe, [&] { return peer.peerClosed; }));
    QCOMPARE(client.events, (QStringList{QStringLiteral("connected 0"), QStringLiteral("closed 0")}));
    QCOMPARE(client.sock.State(), TWSocket::wsClosed);
    QCOMPARE(client.h.handled, QStringList{QStringLiteral("IN a")});
    QCOMPARE(peer.received, ackImage(0));
    // Settings are back to their defaults after the close.
    QCOMPARE(client.sock.Addr(), QString());
    QCOMPARE(client.sock.Port(), QString());
    QCOMPARE(client.sock.Proto(), QStringLiteral("tcp"));
}

void TestTWSocket::handlerThrows_data()
{
    QTest::addColumn<QString>("where");
    QTest::newRow("session connected") << QStringLiteral("connected");
    QTest::newRow("data available") << QStringLiteral("data");
    QTest::newRow("session closed") << QStringLiteral("closed");
}

void TestTWSocket::handlerThrows()
{
    QFETCH(QString, where);
    Peer peer(probe);
    QVERIFY(peer.listen());
    Client client(probe);
    if (where == QLatin1String("connected")) {
        auto inner = client.sock.OnSessionConnected;
        client.sock.OnSessionConnected = [inner](int e) {
            inner(e);
            throw std::runtime_error("connected handler failed");
        };
    } else if (where == QLatin1String("data")) {
        client.afterData = [] { throw std::runtime_error("data handler failed"); };
    } else {
        auto inner = client.sock.OnSessionClosed;
        client.sock.OnSessionClosed = [inner](int e) {
            inner(e);
            throw std::runtime_error("closed handler failed");
        };
    }
    client.connectTo(peer);
    QVERIFY(waitFor(probe, [&] { return bool(peer.conn); }));
    if (where == QLatin1String("data")) {
        QVERIFY(waitFor(probe, [&] { return client.sock.State() == TWSocket::wsConnected; }));
        peer.send(buildUserEntered("x"));
    } else if (where == QLatin1String("closed")) {
        QVERIFY(waitFor(probe, [&] { return client.sock.State() == TWSocket::wsConnected; }));
        client.sock.Close(); // the exception must not come out of here
    }
    QVERIFY(waitFor(probe, [&] { return peer.peerClosed; }));
    QCOMPARE(client.events, (QStringList{QStringLiteral("connected 0"), QStringLiteral("closed 0")}));
    QCOMPARE(client.sock.State(), TWSocket::wsClosed);
}

void TestTWSocket::handlerErrorDropsQueuedOutput()
{
    Peer peer(probe);
    Client client(probe);
    CONNECT_PAIR(peer, client);
    peer.autoRead = false;
    peer.conn->setReadBufferSize(64 * 1024);

    const QByteArray payload = demo(6 * 1024 * 1024, 7, true);
    client.afterData = [&] {
        QCOMPARE(client.sock.Send(payload), payload.size());
        throw std::runtime_error("handler failed after queueing");
    };
    peer.send(buildUserEntered("x"));
    QVERIFY(waitFor(probe, [&] { return client.count(QStringLiteral("closed")) == 1; }));
    QCOMPARE(client.events.last(), QStringLiteral("closed 0"));
    QCOMPARE(client.sock.BufferedOut(), 0);

    peer.autoRead = true;
    peer.conn->setReadBufferSize(0);
    peer.received += peer.conn->readAll();
    QVERIFY(waitFor(probe, [&] { return peer.peerClosed; }));
    // What got out before the close is an unbroken prefix; the queued rest was dropped.
    const QByteArray expectedStart = ackImage(0) + payload;
    QVERIFY(peer.received.size() < expectedStart.size());
    QVERIFY(expectedStart.startsWith(peer.received));
    QCOMPARE(client.count(QStringLiteral("closed")), 1);
}

void TestTWSocket::settersRaiseUnlessClosed_data()
{
    QTest::addColumn<int>("setting"); // 0 Addr, 1 Port, 2 Proto
    QTest::newRow("Addr") << 0;
    QTest::newRow("Port") << 1;
    QTest::newRow("Proto") << 2;
}

void TestTWSocket::settersRaiseUnlessClosed()
{
    QFETCH(int, setting);
    const auto set = [setting](TWSocket &s, const QString &v) {
        if (setting == 0)
            s.setAddr(v);
        else if (setting == 1)
            s.setPort(v);
        else
            s.setProto(v);
    };
    const auto get = [setting](const TWSocket &s) {
        return setting == 0 ? s.Addr() : setting == 1 ? s.Port()
                                                      : s.Proto();
    };

    Peer peer(probe);
    QVERIFY(peer.listen());
    Client client(probe);
    client.connectTo(peer);
    QCOMPARE(client.sock.State(), TWSocket::wsConnecting);
    const QString before = get(client.sock);
    QVERIFY_THROWS_EXCEPTION(ESocketException, set(client.sock, QStringLiteral("1")));
    QCOMPARE(get(client.sock), before);

    QVERIFY(waitFor(probe, [&] { return client.sock.State() == TWSocket::wsConnected; }));
    QVERIFY_THROWS_EXCEPTION(ESocketException, set(client.sock, QStringLiteral("2")));
    QCOMPARE(get(client.sock), before);
    client.sock.setBufSize(1000); // a plain setting, allowed at any time
    QCOMPARE(client.sock.BufSize(), 1000);

    client.sock.Close();
    QCOMPARE(get(client.sock), setting == 2 ? QStringLiteral("tcp") : QString());
    set(client.sock, QStringLiteral("3"));
    QCOMPARE(get(client.sock), QStringLiteral("3"));
}

void TestTWSocket::closeRaisesSessionClosedOnce_data()
{
    QTest::addColumn<int>("stage"); // 0 connected, 1 connecting, 2 looking up the name
    QTest::newRow("connected") << 0;
    QTest::newRow("connecting") << 1;
    QTest::newRow("looking up the name") << 2;
}

void TestTWSocket::closeRaisesSessionClosedOnce()
{
    QFETCH(int, stage);
    Peer peer(probe);
    QVERIFY(peer.listen());
    Client client(probe);
    TWSocket::TSocketState stateInside = TWSocket::wsConnected;
    auto inner = client.sock.OnSessionClosed;
    client.sock.OnSessionClosed = [&, inner](int e) {
        stateInside = client.sock.State();
        inner(e);
    };
    if (stage == 2) {
        // "localhost" is a name, so it is looked up; its answer cannot come before the loop runs.
        client.sock.setAddr(QStringLiteral("localhost"));
        client.sock.setPort(peer.port());
        client.sock.Connect();
        QCOMPARE(client.sock.State(), TWSocket::wsConnecting);
    } else {
        client.connectTo(peer);
    }
    if (stage == 0)
        QVERIFY(waitFor(probe, [&] { return client.sock.State() == TWSocket::wsConnected; }));
    client.sock.Send("queued"); // dropped or sent; never delivered after the close
    client.sock.Close();
    QCOMPARE(client.count(QStringLiteral("closed")), 1);
    QCOMPARE(client.events.last(), QStringLiteral("closed 0"));
    QCOMPARE(stateInside, TWSocket::wsClosed);
    client.sock.Close(); // closed already: nothing
    QCOMPARE(client.count(QStringLiteral("closed")), 1);

    if (stage == 2) {
        // A lookup of the same name started now answers after the cancelled one would have;
        // the cancelled one connects nowhere and raises nothing.
        bool answered = false;
        QHostInfo::lookupHost(QStringLiteral("localhost"), &peer.server, [&](const QHostInfo &) {
            answered = true;
            emit probe.changed();
        });
        QVERIFY(waitFor(probe, [&] { return answered; }));
        QCoreApplication::processEvents();
        QCOMPARE(peer.connections, 0);
        QCOMPARE(client.events, QStringList{QStringLiteral("closed 0")});
        return;
    }
    // Late signals of the old connection change nothing.
    QVERIFY(waitFor(probe, [&] { return peer.conn && peer.peerClosed; }));
    QCOMPARE(client.count(QStringLiteral("closed")), 1);
    QCOMPARE(client.count(QStringLiteral("connected")), stage == 0 ? 1 : 0);
    QCOMPARE(client.sock.Send("late"), -1);
}

void TestTWSocket::refusedAttempt_data()
{
    QTest::addColumn<bool>("handlerCloses");
    QTest::addColumn<QString>("addr"); // empty: 127.0.0.1, on a port nobody listens on
    QTest::addColumn<int>("error");
    const int refused = TWSocket::errorCode(QAbstractSocket::ConnectionRefusedError);
    const int notFound = TWSocket::errorCode(QAbstractSocket::HostNotFoundError);
    QTest::newRow("socket closes itself") << false << QString() << refused;
    QTest::newRow("handler closes") << true << QString() << refused;
    // Names that do not resolve fail after the attempt started, as a refusal does.
    QTest::newRow("unresolvable name") << false << QStringLiteral("no-such-host.invalid") << notFound;
    QTest::newRow("malformed name") << false << QStringLiteral("bad host name!") << notFound;
}

void TestTWSocket::refusedAttempt()
{
    QFETCH(bool, handlerCloses);
    QFETCH(QString, addr);
    QFETCH(int, error);
    QString freePort;
    {
        QTcpServer s; // a port that nobody listens on any more
        QVERIFY(s.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0));
        freePort = QString::number(s.serverPort());
    }
    Client client(probe);
    TWSocket::TSocketState stateInside = TWSocket::wsConnected;
    auto inner = client.sock.OnSessionConnected;
    client.sock.OnSessionConnected = [&, inner](int e) {
        stateInside = client.sock.State();
        inner(e);
        if (handlerCloses)
            client.sock.Close();
    };
    client.sock.setAddr(addr.isEmpty() ? QStringLiteral("127.0.0.1") : addr);
    client.sock.setPort(freePort);
    client.sock.Connect();
    QVERIFY(client.events.isEmpty()); // the outcome comes later
    QCOMPARE(client.sock.State(), TWSocket::wsConnecting);
    QVERIFY(waitFor(probe, [&] { return client.count(QStringLiteral("closed")) > 0; }));
    QVERIFY(error != 0);
    QCOMPARE(client.events, (QStringList{QStringLiteral("connected %1").arg(error),
                                         QStringLiteral("closed 0")}));
    QVERIFY(stateInside != TWSocket::wsConnected);
    QCOMPARE(client.sock.State(), TWSocket::wsClosed);
}

void TestTWSocket::serverCloseDeliversDataFirst()
{
#ifdef Q_OS_WIN
    QSKIP("a half-close by shutdown() is a POSIX socket call here");
#else
    Peer peer(probe);
    Client client(probe);
    CONNECT_PAIR(peer, client);

    QByteArray stream;
    for (int i = 0; i < 300; ++i)
        stream += buildUserEntered("u" + QByteArray::number(i));
    stream += demo(10000, 3, true);
    qsizetype handledAtClose = -1;
    auto inner = client.sock.OnSessionClosed;
    client.sock.OnSessionClosed = [&, inner](int e) {
        handledAtClose = client.h.handled.size();
        inner(e);
    };
    // The client leaves the data unread for a while, so the close is seen while it waits.
    client.skipReads = 20;
    peer.send(stream);
    QCOMPARE(peer.conn->bytesToWrite(), 0);
    // Half-close: the peer still takes the client's answers, so no reset cuts the stream.
    QCOMPARE(::shutdown(int(peer.conn->socketDescriptor()), SHUT_WR), 0);
    QVERIFY(waitFor(probe, [&] { return client.count(QStringLiteral("closed")) > 0; }));
    QCOMPARE(handledAtClose, 301);
    QCOMPARE(client.bytesIn, stream.size());
    const int remoteClosed = TWSocket::errorCode(QAbstractSocket::RemoteHostClosedError);
    QCOMPARE(client.events, (QStringList{QStringLiteral("connected 0"),
                                         QStringLiteral("closed %1").arg(remoteClosed)}));
    QCOMPARE(client.sock.State(), TWSocket::wsClosed);
#endif
}

void TestTWSocket::connectCannotStart_data()
{
    QTest::addColumn<QString>("addr");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("proto");
    const QString lo = QStringLiteral("127.0.0.1");
    const QString tcp = QStringLiteral("tcp");
    QTest::newRow("no address") << QString() << QStringLiteral("38962") << tcp;
    QTest::newRow("no port") << lo << QString() << tcp;
    QTest::newRow("port 0") << lo << QStringLiteral("0") << tcp;
    QTest::newRow("port 70000") << lo << QStringLiteral("70000") << tcp;
    QTest::newRow("port not a number") << lo << QStringLiteral("http") << tcp;
    QTest::newRow("udp") << lo << QStringLiteral("38962") << QStringLiteral("udp");
}

void TestTWSocket::connectCannotStart()
{
    QFETCH(QString, addr);
    QFETCH(QString, port);
    QFETCH(QString, proto);
    Client client(probe);
    client.sock.setAddr(addr);
    client.sock.setPort(port);
    client.sock.setProto(proto);
    QVERIFY_THROWS_EXCEPTION(ESocketException, client.sock.Connect());
    QCOMPARE(client.sock.State(), TWSocket::wsClosed);
    QVERIFY(client.events.isEmpty());
    // Still usable: the settings can be corrected.
    client.sock.setAddr(QStringLiteral("127.0.0.1"));
}

void TestTWSocket::connectWhileInUseThrows()
{
    Peer peer(probe);
    Client client(probe);
    CONNECT_PAIR(peer, client);
    QVERIFY_THROWS_EXCEPTION(ESocketException, client.sock.Connect());
    QCOMPARE(client.sock.State(), TWSocket::wsConnected);
    peer.send(buildUserLeft("still here"));
    QVERIFY(waitFor(probe, [&] { return client.h.handled.size() == 1; }));
    QCOMPARE(client.h.handled.first(), QStringLiteral("OUT still here"));
}

void TestTWSocket::largeSendsKeepOrder()
{
    Peer peer(probe);
    Client client(probe);
    CONNECT_PAIR(peer, client);
    // The peer takes at most 64 KiB per read and nothing until the sends are done.
    peer.autoRead = false;
    peer.conn->setReadBufferSize(64 * 1024);

    QByteArray expected;
    for (int i = 0; i < 20; ++i) {
        const QByteArray big = demo(300000, i, true);
        const QByteArray small = buildUserInfo("n" + QByteArray::number(i));
        QCOMPARE(client.sock.Send(big), big.size());
        QCOMPARE(client.sock.Send(small), small.size());
        expected += big + small;
    }
    // Nothing was read yet, so the sends cannot have waited for the network.
    QVERIFY(client.sock.BufferedOut() > 0);
    QCOMPARE(client.sock.State(), TWSocket::wsConnected);

    QTcpSocket *conn = peer.conn;
    QObject::connect(conn, &QTcpSocket::readyRead, conn, [&peer, conn] { peer.received += conn->read(64 * 1024); });
    peer.received += conn->read(64 * 1024);
    QVERIFY(waitFor(
        probe, [&] { return peer.received.size() >= expected.size(); }, 60000));
    QCOMPARE(peer.received.size(), expected.size());
    QVERIFY(peer.received == expected);
    QCOMPARE(client.sock.BufferedOut(), 0);
}

void TestTWSocket::brokenConnectionClosesOnce()
{
#ifdef Q_OS_WIN
    QSKIP("a reset by SO_LINGER is a POSIX socket call here");
#else
    Peer peer(probe);
    Client client(probe);
    CONNECT_PAIR(peer, client);
    // A reset rather than an orderly close.
    const linger reset{1, 0};
    QCOMPARE(::setsockopt(int(peer.conn->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    peer.conn->abort();
    for (int i = 0; i < 3 && client.sock.State() == TWSocket::wsConnected; ++i)
        client.sock.Send(QByteArray(1000, 's'));
    QVERIFY(waitFor(probe, [&] { return client.count(QStringLiteral("closed")) > 0; }));
    QCOMPARE(client.count(QStringLiteral("closed")), 1);
    QVERIFY(client.events.last() != QStringLiteral("closed 0"));
    QCOMPARE(client.sock.State(), TWSocket::wsClosed);
    QCOMPARE(client.sock.Send("after"), -1);
#endif
}

void TestTWSocket::reconnectFromSessionClosed()
{
    Peer peer(probe);
    Client client(probe);
    CONNECT_PAIR(peer, client);
    bool reconnected = false;
    auto inner = client.sock.OnSessionClosed;
    client.sock.OnSessionClosed = [&, inner](int e) {
        inner(e);
        if (!reconnected) {
            reconnected = true;
            client.connectTo(peer);
        }
    };
    client.sock.Close();
    QCOMPARE(client.sock.State(), TWSocket::wsConnecting);
    QVERIFY(waitFor(probe, [&] { return client.sock.State() == TWSocket::wsConnected && peer.connections == 2; }));
    peer.send(buildDemoRestart(1));
    QVERIFY(waitFor(probe, [&] { return peer.received.size() >= 16; }));
    QCOMPARE(peer.received, ackImage(0));
    QCOMPARE(client.events, (QStringList{QStringLiteral("connected 0"), QStringLiteral("closed 0"),
                                         QStringLiteral("connected 0")}));
    QCOMPARE(client.h.handled, QStringList{QStringLiteral("RESTART")});
}

QTEST_GUILESS_MAIN(TestTWSocket)
#include "tst_twsocket.moc"
