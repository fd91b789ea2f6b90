// The relay server in-process, with real sockets on 127.0.0.1 and small test clients.

#ifdef __linux__
#include "relay/epolldispatcher.h"
#endif
#include "relay/relaylog.h"
#include "relay/relayserver.h"
#include "relaytestclient.h"

#include <QRandomGenerator>
#include <QTest>

#include <memory>
#include <vector>

using namespace arbelon;
using arbelon::test::RelayTestClient;

class TestRelayServer : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void demoReachesEarlyAndLateViewers();
    void listsUsersAndChatReachTheRightClients();
    void leavingStopsDemoAndTellsTheLobby();
    void gameEndsWhenItsFilmerGoes();
    void filmerHello_data();
    void filmerHello();
    void badInputLeavesOthersServed_data();
    void badInputLeavesOthersServed();
    void stalledViewerIsDroppedAlone();
    void chatFloodIsRefused();
    void oneAnswerPerRecord_data();
    void oneAnswerPerRecord();
    void delayHoldsDemoRecords();
    void delayedTailOutlivesTheFilmer();
    void delayHoldsTheFilmerBackWhenFull();
    void lateJoinerWaitsWhenDemoOutgrewTheBound();
    void limitsRefuseExtraClientsAndGames();
    void silentConnectionTimesOut();

private:
    RelayServer &startServer(RelayConfig config = {}, bool manualClock = false);
    RelayTestClient *newClient();
    RelayTestClient *viewer(const QByteArray &name, quint32 gameId = 0);
    RelayTestClient *filmer(const QByteArray &gameName, const QByteArray &user);
    bool logHas(const QString &text) const;
    // A chat line sent and answered: whatever the server queued for this client before is
    // then in its records.
    static bool barrier(RelayTestClient *c);

    std::unique_ptr<RelayServer> m_server;
    std::vector<std::unique_ptr<RelayTestClient>> m_clients;
    QStringList m_log;
    qint64 m_clock = 1000000;
};

namespace {
QByteArray randomBytes(int n, quint32 seed)
{
    QByteArray bytes(n, '\0');
    QRandomGenerator gen(seed);
    for (char &c : bytes)
        c = char(gen.bounded(256));
    return bytes;
}

// Uploads data[from, to) in blocks of blockSize, each after the answer to the one before.
bool upload(RelayTestClient *filmer, const QByteArray &data, qsizetype from, qsizetype to,
            qsizetype blockSize = 10000)
{
    for (qsizetype pos = from; pos < to; pos += blockSize) {
        const QByteArrayView block = QByteArrayView(data).sliced(pos, qMin(blockSize, to - pos));
        if (filmer->request(RelayTestClient::demoPacket(block, int(pos / blockSize) + 1)) != 0)
            return false;
    }
    return true;
}
} // namespace

void TestRelayServer::init()
{
    m_log.clear();
    RelayLog::setSink([this](const QString &line) {
        m_log.append(line);
        if (qEnvironmentVariableIsSet("RELAY_TEST_LOG")) // the server's log, when debugging a test
            qInfo("%s", qPrintable(line));
    });
}

void TestRelayServer::cleanup()
{
    m_clients.clear();
    m_server.reset();
    RelayLog::setSink({});
}

RelayServer &TestRelayServer::startServer(RelayConfig config, bool manualClock)
{
    config.listenAddress = QHostAddress(QHostAddress::LocalHost);
    config.viewerPort = 0;
    config.filmerPort = 0;
    m_server = std::make_unique<RelayServer>(config);
    if (manualClock)
        m_server->setClock([this] { return m_clock; });
    QString error;
    if (!m_server->start(&error))
        qFatal("relay did not start: %s", qPrintable(error));
    return *m_server;
}

RelayTestClient *TestRelayServer::newClient()
{
    m_clients.push_back(std::make_unique<RelayTestClient>());
    return m_clients.back().get();
}

RelayTestClient *TestRelayServer::viewer(const QByteArray &name, quint32 gameId)
{
    RelayTestClient *c = newClient();
    if (!c->connectTo(m_server->viewerPort()) || !c->signIn(name))
        return nullptr;
    if (gameId != 0 && c->request(buildWaitForGame(qint32(gameId))) != 0)
        return nullptr;
    return c;
}

RelayTestClient *TestRelayServer::filmer(const QByteArray &gameName, const QByteArray &user)
{
    RelayTestClient *c = newClient();
    if (!c->connectTo(m_server->filmerPort()) || !c->openGame(gameName, user))
        return nullptr;
    return c;
}

bool TestRelayServer::logHas(const QString &text) const
{
    for (const QString &line : m_log) {
        if (line.contains(text))
            return true;
    }
    return false;
}

bool TestRelayServer::barrier(RelayTestClient *c)
{
    return c->request(buildSendText({}, "barrier")) >= 0;
}

// ---- demos ------------------------------------------------------------------------

void TestRelayServer::demoReachesEarlyAndLateViewers()
{
    startServer();
    RelayTestClient *f = filmer("duel", "camera");
    QVERIFY(f);
    RelayTestClient *early = viewer("early", 1);
    QVERIFY(early);
    const QByteArray data = randomBytes(200000, 7);

    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    QVERIFY(upload(f, data, 0, 100000));
    RelayTestClient *late = viewer("late", 1);
    QVERIFY(late);
    QVERIFY(upload(f, data, 100000, 200000));

    for (RelayTestClient *v : {early, late}) {
        QTRY_COMPARE_WITH_TIMEOUT(v->countOf(DEMOPACKET), 20, 15000);
        QCOMPARE(v->badBlocks(), 0);
        QCOMPARE(v->demos().size(), 1);
        QVERIFY(v->demos().constFirst() == data);
    }
    // The late joiner's demo begins right after the answer to its watch request.
    const QList<QByteArray> &r = late->records();
    qsizetype restartAt = -1, lastUserAt = -1;
    for (qsizetype i = 0; i < r.size(); ++i) {
        if (packetType(r[i]) == DEMORESTART && restartAt < 0)
            restartAt = i;
        if (packetType(r[i]) == USERENTERED)
            lastUserAt = i;
    }
    QVERIFY(lastUserAt >= 0 && restartAt > lastUserAt);
}

void TestRelayServer::lateJoinerWaitsWhenDemoOutgrewTheBound()
{
    RelayConfig config;
    config.maxDemoMemory = 30000;
    startServer(config);
    RelayTestClient *f = filmer("long", "camera");
    QVERIFY(f);
    RelayTestClient *early = viewer("early", 1);
    QVERIFY(early);
    const QByteArray first = randomBytes(50000, 1), second = randomBytes(20000, 2);

    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    QVERIFY(upload(f, first, 0, first.size()));
    RelayTestClient *late = viewer("late", 1);
    QVERIFY(late);
    QVERIFY(barrier(late));
    QCOMPARE(late->demoRecords(), 0); // the first demo lost its beginning: nothing of it
    QCOMPARE(f->request(buildDemoRestart(6)), 0);
    QVERIFY(upload(f, second, 0, second.size()));

    QTRY_COMPARE_WITH_TIMEOUT(early->countOf(DEMOPACKET), 7, 15000);
    QCOMPARE(early->demos(), QByteArrayList({first, second})); // live Viewers lose nothing
    QTRY_COMPARE_WITH_TIMEOUT(late->countOf(DEMOPACKET), 2, 15000);
    QCOMPARE(late->demos(), QByteArrayList({second}));
    QCOMPARE(late->badBlocks(), 0);
    QVERIFY(logHas(QStringLiteral("current demo passed 30000 bytes")));
}

// ---- lobby ------------------------------------------------------------------------

void TestRelayServer::listsUsersAndChatReachTheRightClients()
{
    startServer();
    RelayTestClient *f1 = filmer("alpha", "ann");
    QVERIFY(f1);
    RelayTestClient *idle = viewer("ida");
    QVERIFY(idle);
    RelayTestClient *f2 = filmer("beta", "bob");
    QVERIFY(f2);
    RelayTestClient *v1 = viewer("vic", 1);
    RelayTestClient *v2 = viewer("wes", 2);
    QVERIFY(v1 && v2);

    for (RelayTestClient *c : {f1, f2, idle, v1, v2}) {
        QTRY_COMPARE_WITH_TIMEOUT(c->games().size(), size_t(2), 10000);
        QCOMPARE(c->games().at(1).name, QByteArray("alpha"));
        QCOMPARE(c->games().at(2).name, QByteArray("beta"));
        QCOMPARE(c->games().at(1).mod, QByteArray("baseq2"));
        QTRY_COMPARE_WITH_TIMEOUT(c->games().at(1).users, 2u, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(c->games().at(2).users, 2u, 10000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(f1->users(), QByteArrayList({"ann", "vic"}), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(v1->users(), QByteArrayList({"ann", "vic"}), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(v2->users(), QByteArrayList({"bob", "wes"}), 10000);
    QVERIFY(idle->users().isEmpty());

    QCOMPARE(v1->request(buildSendText({}, "hi from vic")), 0);
    QCOMPARE(f2->request(buildSendText({}, "bob here")), 0);
    QCOMPARE(idle->request(buildSendText({}, "anyone?")), 1); // in no lobby
    for (RelayTestClient *c : {f1, v1})
        QTRY_COMPARE_WITH_TIMEOUT(c->chat(), QByteArrayList({"<vic> hi from vic"}), 10000);
    for (RelayTestClient *c : {f2, v2})
        QTRY_COMPARE_WITH_TIMEOUT(c->chat(), QByteArrayList({"<bob> bob here"}), 10000);
    QVERIFY(idle->chat().isEmpty());
}

void TestRelayServer::leavingStopsDemoAndTellsTheLobby()
{
    startServer();
    RelayTestClient *f = filmer("duel", "ann");
    RelayTestClient *stay = viewer("stay", 1);
    RelayTestClient *go = viewer("go", 1);
    QVERIFY(f && stay && go);
    const QByteArray data = randomBytes(30000, 3);
    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    QVERIFY(upload(f, data, 0, 10000));
    QCOMPARE(go->request(buildLeaveGame()), 0);
    QVERIFY(upload(f, data, 10000, 30000));

    for (RelayTestClient *c : {f, stay})
        QTRY_COMPARE_WITH_TIMEOUT(c->users(), QByteArrayList({"ann", "stay"}), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(stay->demos(), QByteArrayList({data}), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(go->games().at(1).users, 2u, 10000);
    QCOMPARE(go->request(buildSendText({}, "x")), 1); // out of the lobby now
    QVERIFY(go->countOf(DEMOPACKET) <= 1);             // at most the block sent before leaving
    QCOMPARE(go->request(buildLeaveGame()), 0);        // leaving twice is harmless
}

void TestRelayServer::gameEndsWhenItsFilmerGoes()
{
    startServer();
    RelayTestClient *f1 = filmer("alpha", "ann");
    RelayTestClient *f2 = filmer("beta", "bob");
    RelayTestClient *watcher = viewer("vic", 1);
    RelayTestClient *idle = viewer("ida");
    QVERIFY(f1 && f2 && watcher && idle);
    QTRY_COMPARE_WITH_TIMEOUT(watcher->users(), QByteArrayList({"ann", "vic"}), 10000);

    f1->disconnectNow();
    for (RelayTestClient *c : {f2, watcher, idle}) {
        QTRY_COMPARE_WITH_TIMEOUT(c->games().size(), size_t(1), 10000);
        QCOMPARE(c->games().count(2), size_t(1));
    }
    QTRY_COMPARE_WITH_TIMEOUT(watcher->users(), QByteArrayList({"vic"}), 10000); // the Filmer left
    QVERIFY(watcher->isConnected());
    QCOMPARE(watcher->request(buildLeaveGame()), 0); // the client leaves the ended lobby
    QCOMPARE(watcher->request(buildWaitForGame(1)), 1);
    QCOMPARE(watcher->request(buildWaitForGame(2)), 0);
    QCOMPARE(m_server->gameCount(), 1);
}

// ---- hello ------------------------------------------------------------------------

void TestRelayServer::filmerHello_data()
{
    QTest::addColumn<QByteArray>("serverPassword");
    QTest::addColumn<QByteArray>("gameName");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("logged");
    QTest::newRow("no password needed") << QByteArray() << QByteArray("duel") << QByteArray("any") << true << "opened game 1";
    QTest::newRow("right password") << QByteArray("s3cret") << QByteArray("duel") << QByteArray("s3cret") << true << "opened game 1";
    QTest::newRow("wrong password") << QByteArray("s3cret") << QByteArray("duel") << QByteArray("s3creT") << false << "wrong film password";
    QTest::newRow("missing password") << QByteArray("s3cret") << QByteArray("duel") << QByteArray() << false << "wrong film password";
    QTest::newRow("longer password") << QByteArray("s3cret") << QByteArray("duel") << QByteArray("s3cret!") << false << "wrong film password";
    QTest::newRow("empty game name") << QByteArray() << QByteArray() << QByteArray() << false << "empty game name";
}

void TestRelayServer::filmerHello()
{
    QFETCH(QByteArray, serverPassword);
    QFETCH(QByteArray, gameName);
    QFETCH(QByteArray, password);
    QFETCH(bool, accepted);
    QFETCH(QString, logged);
    RelayConfig config;
    config.filmPasswordRequired = !serverPassword.isEmpty();
    config.filmPassword = serverPassword;
    startServer(config);
    RelayTestClient *watcher = viewer("vic");
    QVERIFY(watcher);
    RelayTestClient *f = newClient();
    QVERIFY(f->connectTo(m_server->filmerPort()));
    QCOMPARE(f->openGame(gameName, "ann", password), accepted);
    QVERIFY(logHas(logged));
    if (accepted) {
        QTRY_COMPARE_WITH_TIMEOUT(watcher->games().size(), size_t(1), 10000);
        QCOMPARE(f->users(), QByteArrayList({"ann"}));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(f->wasClosedByServer(), 10000);
        QCOMPARE(f->answers().size(), 1);
        QCOMPARE(m_server->gameCount(), 0);
        QVERIFY(barrier(watcher));
        QVERIFY(watcher->games().empty());
    }
}

// ---- hostile input ------------------------------------------------------------------

void TestRelayServer::badInputLeavesOthersServed_data()
{
    QTest::addColumn<bool>("filmerPort");
    QTest::addColumn<bool>("helloFirst");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("clientCloses");

    QByteArray hugeDemo = buildDemoRestart(0);
    writeU32(hugeDemo, rec::offSize, 0x7fffffff);
    QByteArray emptyDemo = buildDemoRestart(0);
    writeI32(emptyDemo, rec::offType, DEMOPACKET);
    QByteArray unknown = buildAckNak(0);
    writeI32(unknown, rec::offType, 42);
    QByteArray badSize = buildUserInfo("x");
    writeU32(badSize, rec::offSize, 1000);
    const QByteArray partial = RelayTestClient::demoPacket(randomBytes(5000, 9), 1).left(2000);

    QTest::newRow("garbage") << false << false << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r\n") << false;
    QTest::newRow("unknown type") << false << true << unknown << false;
    QTest::newRow("oversized PacketSize") << true << true << hugeDemo + QByteArray(100, 'x') << false;
    QTest::newRow("DEMOPACKET without data") << true << true << emptyDemo << false;
    QTest::newRow("fixed record with wrong size") << false << false << badSize << false;
    QTest::newRow("watch before hello") << false << false << buildWaitForGame(1) << false;
    QTest::newRow("second hello") << false << true << buildUserInfo("again") << false;
    QTest::newRow("filmer record on viewer port") << false << true << buildDemoRestart(0) << false;
    QTest::newRow("viewer record on filmer port") << true << true << buildWaitForGame(1) << false;
    QTest::newRow("mid-record disconnect") << true << true << partial << true;
}

void TestRelayServer::badInputLeavesOthersServed()
{
    QFETCH(bool, filmerPort);
    QFETCH(bool, helloFirst);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, clientCloses);
    startServer();
    RelayTestClient *f = filmer("duel", "ann");
    RelayTestClient *v = viewer("vic", 1);
    QVERIFY(f && v);
    QCOMPARE(f->request(buildDemoRestart(0)), 0);

    RelayTestClient *bad = newClient();
    QVERIFY(bad->connectTo(filmerPort ? m_server->filmerPort() : m_server->viewerPort()));
    if (helloFirst)
        QVERIFY(filmerPort ? bad->openGame("evil", "eve") : bad->signIn("eve"));
    const int answersBefore = int(bad->answers().size());
    bad->sendRaw(bytes);
    if (clientCloses) {
        bad->disconnectNow(); // sends what is written, then closes
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("incomplete record dropped")), 10000);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(bad->wasClosedByServer(), 10000);
        QCOMPARE(bad->answers().size(), answersBefore); // closed, not answered
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_server->gameCount(), 1, 10000);

    // Everyone else goes on: a block, a chat line and a new Viewer.
    const QByteArray block = randomBytes(3000, 4);
    QVERIFY(upload(f, block, 0, block.size()));
    QCOMPARE(v->request(buildSendText({}, "still here")), 0);
    QTRY_COMPARE_WITH_TIMEOUT(v->demos(), QByteArrayList({block}), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(f->chat().contains("<vic> still here"), 10000);
    RelayTestClient *another = viewer("newcomer", 1);
    QVERIFY(another);
    QTRY_COMPARE_WITH_TIMEOUT(another->demos(), QByteArrayList({block}), 10000);
}

void TestRelayServer::stalledViewerIsDroppedAlone()
{
    RelayConfig config;
    config.maxQueueBytes = 64 * 1024;
    startServer(config);
    RelayTestClient *f = filmer("duel", "ann");
    RelayTestClient *good = viewer("good", 1);
    QVERIFY(f && good);
    RelayTestClient *stalled = newClient();
    stalled->setNeverRead();
    QVERIFY(stalled->connectTo(m_server->viewerPort()));
    stalled->sendRaw(buildUserInfo("stalled") + buildWaitForGame(1));
    QTRY_COMPARE_WITH_TIMEOUT(good->users().size(), 3, 10000);

    // Random data does not compress: each block is ~32 KiB on the wire. The kernel's
    // buffers take some megabytes before the server's own queue fills.
    const QByteArray data = randomBytes(32 * 1024, 5);
    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    int sent = 0;
    // (The stalled client reads nothing, so only the server's log shows that it was cut off.)
    const QString dropped = QStringLiteral("closed viewer #3");
    while (!logHas(dropped) && sent < 1000) {
        QVERIFY(upload(f, data, 0, data.size(), data.size()));
        ++sent;
    }
    QVERIFY(logHas(QStringLiteral("send queue over 65536 bytes")));
    QVERIFY(logHas(dropped));
    QVERIFY(upload(f, data, 0, data.size(), data.size()));
    QTRY_COMPARE_WITH_TIMEOUT(good->countOf(DEMOPACKET), sent + 1, 30000);
    QCOMPARE(good->badBlocks(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(good->users(), QByteArrayList({"ann", "good"}), 10000);
}

void TestRelayServer::chatFloodIsRefused()
{
    startServer({}, true);
    RelayTestClient *f = filmer("duel", "ann");
    RelayTestClient *v = viewer("vic", 1);
    QVERIFY(f && v);
    QByteArray burst;
    for (int i = 0; i < 12; ++i)
        burst += buildSendText({}, QByteArray::number(i));
    v->sendRaw(burst);
    QVERIFY(v->waitForAnswers(12 + 2)); // two answers came for the hello and the watch
    QCOMPARE(v->answers().mid(2), QList<quint8>({0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1}));
    m_clock += 1000; // two lines' worth of refill
    QCOMPARE(v->request(buildSendText({}, "a")), 0);
    QCOMPARE(v->request(buildSendText({}, "b")), 0);
    QCOMPARE(v->request(buildSendText({}, "c")), 1);
    const QByteArrayList relayed = {"<vic> 0", "<vic> 1", "<vic> 2", "<vic> 3", "<vic> 4", "<vic> a", "<vic> b"};
    QTRY_COMPARE_WITH_TIMEOUT(f->chat(), relayed, 10000);
    QCOMPARE(v->chat(), relayed);
    QVERIFY(logHas(QStringLiteral("flood limit")));
}

void TestRelayServer::oneAnswerPerRecord_data()
{
    QTest::addColumn<bool>("filmerPort");
    QTest::addColumn<QByteArrayList>("records");
    QTest::addColumn<QList<quint8>>("answers");
    QTest::addColumn<bool>("bytewise");
    const QByteArray hello = buildUserInfo("vic");
    const QByteArray say = buildSendText({}, "hi");
    const QByteArrayList lobby{hello, buildWaitForGame(1), say, buildLeaveGame(), say};
    const QByteArrayList filming{buildGameInfo(0, "baseq2", "cam", {}, "second"), RelayTestClient::demoPacket("early", 0),
                                 buildDemoRestart(0), RelayTestClient::demoPacket("data", 1), say, buildAckNak(0)};
    QTest::newRow("hello") << false << QByteArrayList{hello} << QList<quint8>{0} << false;
    QTest::newRow("unknown game, then a real one")
        << false << QByteArrayList{hello, buildWaitForGame(99), buildWaitForGame(1)} << QList<quint8>{0, 1, 0} << false;
    QTest::newRow("lobby round trip") << false << lobby << QList<quint8>{0, 0, 0, 0, 1} << false;
    QTest::newRow("acknowledgements are not answered")
        << false << QByteArrayList{hello, buildAckNak(0), buildAckNak(1), buildWaitForGame(1)} << QList<quint8>{0, 0}
        << false;
    QTest::newRow("filmer") << true << filming << QList<quint8>{0, 1, 0, 0, 0} << false;
    // Every split point of the stream: headers and bodies arriving in pieces.
    QTest::newRow("lobby round trip, a byte at a time") << false << lobby << QList<quint8>{0, 0, 0, 0, 1} << true;
    QTest::newRow("filmer, a byte at a time") << true << filming << QList<quint8>{0, 1, 0, 0, 0} << true;
}

void TestRelayServer::oneAnswerPerRecord()
{
    QFETCH(bool, filmerPort);
    QFETCH(QByteArrayList, records);
    QFETCH(QList<quint8>, answers);
    QFETCH(bool, bytewise);
    startServer();
    QVERIFY(filmer("duel", "ann"));
    RelayTestClient *c = newClient();
    QVERIFY(c->connectTo(filmerPort ? m_server->filmerPort() : m_server->viewerPort()));
    const QByteArray all = records.join();
    if (bytewise) {
        c->trickle(all);
    } else {
        c->sendRaw(all); // all at once, as a pipelining client would
    }
    QVERIFY(c->waitForAnswers(int(answers.size())));
    QVERIFY(barrier(c)); // nothing more was on its way
    QCOMPARE(c->answers().first(answers.size()), answers);
    QCOMPARE(c->answers().size(), answers.size() + 1);
}

// ---- delay --------------------------------------------------------------------------

void TestRelayServer::delayHoldsDemoRecords()
{
    RelayConfig config;
    config.delaySeconds = 30;
    startServer(config, true);
    RelayTestClient *f = filmer("duel", "ann");
    RelayTestClient *v = viewer("vic", 1);
    QVERIFY(f && v);
    const QByteArray data = randomBytes(30000, 6);
    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    QVERIFY(upload(f, data, 0, 20000));
    m_clock += 10000;
    QVERIFY(upload(f, data, 20000, 30000));

    // The chat line is not delayed: it overtakes the held demo.
    QVERIFY(barrier(v));
    QTRY_VERIFY_WITH_TIMEOUT(v->chat().contains("<vic> barrier"), 10000);
    QCOMPARE(v->demoRecords(), 0);
    m_clock += 20000; // the first three records are due
    QTRY_COMPARE_WITH_TIMEOUT(v->demoRecords(), 3, 10000);
    QVERIFY(barrier(v));
    QCOMPARE(v->demoRecords(), 3);
    m_clock += 10000;
    QTRY_COMPARE_WITH_TIMEOUT(v->demos(), QByteArrayList({data}), 10000);
    QCOMPARE(v->badBlocks(), 0);
}

void TestRelayServer::delayedTailOutlivesTheFilmer()
{
    RelayConfig config;
    config.delaySeconds = 5;
    startServer(config, true);
    RelayTestClient *f = filmer("duel", "ann");
    RelayTestClient *v = viewer("vic", 1);
    QVERIFY(f && v);
    const QByteArray data = randomBytes(20000, 8);
    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    QVERIFY(upload(f, data, 0, data.size()));
    f->disconnectNow();
    QTRY_COMPARE_WITH_TIMEOUT(v->games().at(1).users, 1u, 10000);
    RelayTestClient *newcomer = viewer("new");
    QVERIFY(newcomer);
    QCOMPARE(newcomer->request(buildWaitForGame(1)), 1); // nobody films it any more
    QCOMPARE(v->demoRecords(), 0);

    m_clock += 5000;
    QTRY_COMPARE_WITH_TIMEOUT(v->games().size(), size_t(0), 10000);
    QCOMPARE(v->demos(), QByteArrayList({data}));
    const QList<QByteArray> &r = v->records();
    qsizetype lastBlock = -1, removed = -1;
    for (qsizetype i = 0; i < r.size(); ++i) {
        if (packetType(r[i]) == DEMOPACKET)
            lastBlock = i;
        if (packetType(r[i]) == GAMEREMOVED)
            removed = i;
    }
    QVERIFY(lastBlock >= 0 && removed > lastBlock);
    QCOMPARE(v->users(), QByteArrayList({"vic"}));
}

void TestRelayServer::delayHoldsTheFilmerBackWhenFull()
{
    RelayConfig config;
    config.delaySeconds = 5;
    config.maxDemoMemory = 25000;
    startServer(config, true);
    RelayTestClient *f = filmer("duel", "ann");
    RelayTestClient *v = viewer("vic", 1);
    QVERIFY(f && v);
    const QByteArray data = randomBytes(40000, 10); // four blocks of ~10 KB on the wire
    QByteArray all = buildDemoRestart(0);
    for (int i = 0; i < 4; ++i)
        all += RelayTestClient::demoPacket(QByteArrayView(data).sliced(i * 10000, 10000), i + 1);
    f->sendRaw(all); // a Filmer that does not wait for answers
    QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("delayed bytes held; the filmer waits")), 10000);
    QCOMPARE(f->answers().size(), 1 + 3); // GAMEINFO, DEMORESTART and two blocks; the third waits
    QVERIFY(barrier(v));
    QCOMPARE(v->demoRecords(), 0);

    m_clock += 5000;
    QTRY_COMPARE_WITH_TIMEOUT(f->answers().size(), 1 + 5, 10000);
    QCOMPARE(f->answers(), QList<quint8>({0, 0, 0, 0, 0, 0}));
    m_clock += 5000;
    QTRY_COMPARE_WITH_TIMEOUT(v->demos(), QByteArrayList({data}), 10000);
}

// ---- limits -------------------------------------------------------------------------

void TestRelayServer::limitsRefuseExtraClientsAndGames()
{
    RelayConfig config;
    config.maxClients = 3;
    config.maxGames = 1;
    startServer(config);
    QVERIFY(filmer("one", "ann"));
    RelayTestClient *second = newClient();
    QVERIFY(second->connectTo(m_server->filmerPort()));
    QVERIFY(!second->openGame("two", "bob"));
    QTRY_VERIFY_WITH_TIMEOUT(second->wasClosedByServer(), 10000);
    QVERIFY(logHas(QStringLiteral("game limit 1 reached")));

    QVERIFY(viewer("vic"));
    QVERIFY(viewer("wes"));
    RelayTestClient *extra = newClient();
    if (extra->connectTo(m_server->viewerPort()))
        QTRY_VERIFY_WITH_TIMEOUT(extra->wasClosedByServer(), 10000);
    QVERIFY(logHas(QStringLiteral("client limit 3 reached")));
    QCOMPARE(m_server->clientCount(), 3);
}

void TestRelayServer::silentConnectionTimesOut()
{
    startServer({}, true);
    RelayTestClient *silent = newClient();
    QVERIFY(silent->connectTo(m_server->viewerPort()));
    RelayTestClient *v = viewer("vic");
    QVERIFY(v);
    m_clock += 31000;
    QTRY_VERIFY_WITH_TIMEOUT(silent->wasClosedByServer(), 10000);
    QVERIFY(logHas(QStringLiteral("no hello within 30 s")));
    QVERIFY(v->isConnected());
}

// The daemon's event dispatcher runs these tests, clients and server alike.
int main(int argc, char *argv[])
{
#ifdef __linux__
    auto dispatcher = std::make_unique<EpollEventDispatcher>();
    QCoreApplication::setEventDispatcher(dispatcher.release()); // the application owns it
#endif
    QCoreApplication app(argc, argv);
    TestRelayServer test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_relay_server.moc"
