// The relay server in-process against hostile or broken clients, floods and its limits.

#include "relayfixture.h"

#include <QTest>

using namespace arbelon;
using namespace arbelon::test;

class TestRelaySafety : public QObject {
    Q_OBJECT

private slots:
    void init() { m_f.setUp(); }
    void cleanup() { m_f.tearDown(); }

    void badInputLeavesOthersServed_data();
    void badInputLeavesOthersServed();
    void stalledViewerIsDroppedAlone();
    void chatFloodIsRefused();
    void oneAnswerPerRecord_data();
    void oneAnswerPerRecord();
    void limitsRefuseExtraClientsAndGames();
    void silentConnectionTimesOut();

private:
    RelayFixture m_f;
};

// ---- hostile input ------------------------------------------------------------------

void TestRelaySafety::badInputLeavesOthersServed_data()
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

void TestRelaySafety::badInputLeavesOthersServed()
{
    QFETCH(bool, filmerPort);
    QFETCH(bool, helloFirst);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, clientCloses);
    m_f.startServer();
    RelayTestClient *f = m_f.filmer("duel", "ann");
    RelayTestClient *v = m_f.viewer("vic", 1);
    QVERIFY(f && v);
    QCOMPARE(f->request(buildDemoRestart(0)), 0);

    RelayTestClient *bad = m_f.newClient();
    QVERIFY(bad->connectTo(filmerPort ? m_f.server().filmerPort() : m_f.server().viewerPort()));
    if (helloFirst)
        QVERIFY(filmerPort ? bad->openGame("evil", "eve") : bad->signIn("eve"));
    const int answersBefore = int(bad->answers().size());
    bad->sendRaw(bytes);
    if (clientCloses) {
        bad->disconnectNow(); // sends what is written, then closes
        QTRY_VERIFY_WITH_TIMEOUT(m_f.logHas(QStringLiteral("incomplete record dropped")), 10000);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(bad->wasClosedByServer(), 10000);
        QCOMPARE(bad->answers().size(), answersBefore); // closed, not answered
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_f.server().gameCount(), 1, 10000);

    // Everyone else goes on: a block, a chat line and a new Viewer.
    const QByteArray block = randomBytes(3000, 4);
    QVERIFY(upload(f, block, 0, block.size()));
    QCOMPARE(v->request(buildSendText({}, "still here")), 0);
    QTRY_COMPARE_WITH_TIMEOUT(v->demos(), QByteArrayList({block}), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(f->chat().contains("<vic> still here"), 10000);
    RelayTestClient *another = m_f.viewer("newcomer", 1);
    QVERIFY(another);
    QTRY_COMPARE_WITH_TIMEOUT(another->demos(), QByteArrayList({block}), 10000);
}

void TestRelaySafety::stalledViewerIsDroppedAlone()
{
    RelayConfig config;
    config.maxQueueBytes = 64 * 1024;
    m_f.startServer(config);
    RelayTestClient *f = m_f.filmer("duel", "ann");
    RelayTestClient *good = m_f.viewer("good", 1);
    QVERIFY(f && good);
    RelayTestClient *stalled = m_f.newClient();
    stalled->setNeverRead();
    QVERIFY(stalled->connectTo(m_f.server().viewerPort()));
    stalled->sendRaw(buildUserInfo("stalled") + buildWaitForGame(1));
    QTRY_COMPARE_WITH_TIMEOUT(good->users().size(), 3, 10000);

    // Random data does not compress: each block is ~32 KiB on the wire. The kernel's
    // buffers take some megabytes before the server's own queue fills.
    const QByteArray data = randomBytes(32 * 1024, 5);
    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    int sent = 0;
    // (The stalled client reads nothing, so only the server's log shows that it was cut off.)
    const QString dropped = QStringLiteral("closed viewer #3");
    while (!m_f.logHas(dropped) && sent < 1000) {
        QVERIFY(upload(f, data, 0, data.size(), data.size()));
        ++sent;
    }
    QVERIFY(m_f.logHas(QStringLiteral("send queue over 65536 bytes")));
    QVERIFY(m_f.logHas(dropped));
    QVERIFY(upload(f, data, 0, data.size(), data.size()));
    QTRY_COMPARE_WITH_TIMEOUT(good->countOf(DEMOPACKET), sent + 1, 30000);
    QCOMPARE(good->badBlocks(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(good->users(), QByteArrayList({"ann", "good"}), 10000);
}

void TestRelaySafety::chatFloodIsRefused()
{
    m_f.startServer({}, true);
    RelayTestClient *f = m_f.filmer("duel", "ann");
    RelayTestClient *v = m_f.viewer("vic", 1);
    QVERIFY(f && v);
    QByteArray burst;
    for (int i = 0; i < 12; ++i)
        burst += buildSendText({}, QByteArray::number(i));
    v->sendRaw(burst);
    QVERIFY(v->waitForAnswers(12 + 2)); // two answers came for the hello and the watch
    QCOMPARE(v->answers().mid(2), QList<quint8>({0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1}));
    m_f.clock += 1000; // two lines' worth of refill
    QCOMPARE(v->request(buildSendText({}, "a")), 0);
    QCOMPARE(v->request(buildSendText({}, "b")), 0);
    QCOMPARE(v->request(buildSendText({}, "c")), 1);
    const QByteArrayList relayed = {"<vic> 0", "<vic> 1", "<vic> 2", "<vic> 3", "<vic> 4", "<vic> a", "<vic> b"};
    QTRY_COMPARE_WITH_TIMEOUT(f->chat(), relayed, 10000);
    QCOMPARE(v->chat(), relayed);
    QVERIFY(m_f.logHas(QStringLiteral("flood limit")));
}

void TestRelaySafety::oneAnswerPerRecord_data()
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

void TestRelaySafety::oneAnswerPerRecord()
{
    QFETCH(bool, filmerPort);
    QFETCH(QByteArrayList, records);
    QFETCH(QList<quint8>, answers);
    QFETCH(bool, bytewise);
    m_f.startServer();
    QVERIFY(m_f.filmer("duel", "ann"));
    RelayTestClient *c = m_f.newClient();
    QVERIFY(c->connectTo(filmerPort ? m_f.server().filmerPort() : m_f.server().viewerPort()));
    const QByteArray all = records.join();
    if (bytewise) {
        c->trickle(all);
    } else {
        c->sendRaw(all); // all at once, as a pipelining client would
    }
    QVERIFY(c->waitForAnswers(int(answers.size())));
    QVERIFY(m_f.barrier(c)); // nothing more was on its way
    QCOMPARE(c->answers().first(answers.size()), answers);
    QCOMPARE(c->answers().size(), answers.size() + 1);
}

// ---- limits -------------------------------------------------------------------------

void TestRelaySafety::limitsRefuseExtraClientsAndGames()
{
    RelayConfig config;
    config.maxClients = 3;
    config.maxGames = 1;
    m_f.startServer(config);
    QVERIFY(m_f.filmer("one", "ann"));
    RelayTestClient *second = m_f.newClient();
    QVERIFY(second->connectTo(m_f.server().filmerPort()));
    QVERIFY(!second->openGame("two", "bob"));
    QTRY_VERIFY_WITH_TIMEOUT(second->wasClosedByServer(), 10000);
    QVERIFY(m_f.logHas(QStringLiteral("game limit 1 reached")));

    QVERIFY(m_f.viewer("vic"));
    QVERIFY(m_f.viewer("wes"));
    RelayTestClient *extra = m_f.newClient();
    if (extra->connectTo(m_f.server().viewerPort()))
        QTRY_VERIFY_WITH_TIMEOUT(extra->wasClosedByServer(), 10000);
    QVERIFY(m_f.logHas(QStringLiteral("client limit 3 reached")));
    QCOMPARE(m_f.server().clientCount(), 3);
}

void TestRelaySafety::silentConnectionTimesOut()
{
    m_f.startServer({}, true);
    RelayTestClient *silent = m_f.newClient();
    QVERIFY(silent->connectTo(m_f.server().viewerPort()));
    RelayTestClient *v = m_f.viewer("vic");
    QVERIFY(v);
    m_f.clock += 31000;
    QTRY_VERIFY_WITH_TIMEOUT(silent->wasClosedByServer(), 10000);
    QVERIFY(m_f.logHas(QStringLiteral("no hello within 30 s")));
    QVERIFY(v->isConnected());
}

int main(int argc, char *argv[])
{
    TestRelaySafety test;
    QTEST_SET_MAIN_SOURCE_PATH
    return runOnRelayDispatcher(&test, argc, argv);
}

#include "tst_relaysafety.moc"
