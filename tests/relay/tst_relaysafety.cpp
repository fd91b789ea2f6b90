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
    void floodIsRefused_data();
    void floodIsRefused();
    void oneAnswerPerRecord_data();
    void oneAnswerPerRecord();
    void fullSizeBlocksReachHonestViewers_data();
    void fullSizeBlocksReachHonestViewers();
    void limitsRefuseExtraClientsAndGames_data();
    void limitsRefuseExtraClientsAndGames();
    void stalledInputTimesOut_data();
    void stalledInputTimesOut();

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

void TestRelaySafety::floodIsRefused_data()
{
    QTest::addColumn<QByteArray>("unit");       // sent 12 times at once
    QTest::addColumn<QList<quint8>>("answers"); // to the 12 units
    QTest::addColumn<qint32>("relayedType");    // what the Filmer is sent of the accepted units
    QTest::addColumn<int>("relayed");
    QList<quint8> chat(12, 1), joins;
    for (int i = 0; i < 5; ++i)
        chat[i] = 0;
    // The watch that put the Viewer in the lobby took the first of five entries.
    for (int i = 0; i < 12; ++i)
        joins << quint8(0) << quint8(i < 4 ? 0 : 1); // leaving is always answered with 0
    QTest::newRow("chat lines") << buildSendText({}, "x") << chat << qint32(SENDTEXT) << 5;
    QTest::newRow("joins and leaves") << buildLeaveGame() + buildWaitForGame(1) << joins << qint32(USERENTERED)
                                      << 2 + 4;
}

void TestRelaySafety::floodIsRefused()
{
    QFETCH(QByteArray, unit);
    QFETCH(QList<quint8>, answers);
    QFETCH(qint32, relayedType);
    QFETCH(int, relayed);
    m_f.startServer({}, true);
    RelayTestClient *f = m_f.filmer("duel", "ann");
    RelayTestClient *v = m_f.viewer("vic", 1);
    QVERIFY(f && v);
    v->sendRaw(unit.repeated(12));
    QVERIFY(v->waitForAnswers(int(answers.size()) + 2)); // two answers came for the hello and the watch
    QCOMPARE(v->answers().mid(2), answers);
    QTRY_COMPARE_WITH_TIMEOUT(f->countOf(relayedType), relayed, 10000);
    QVERIFY(m_f.logHas(QStringLiteral("flood limit")));
    m_f.clock += 1000; // two units' worth of refill
    v->sendRaw(unit.repeated(3));
    QVERIFY(v->waitForAnswers(int(answers.size() + 3 * (answers.size() / 12)) + 2));
    const QList<quint8> later = v->answers().mid(2 + answers.size());
    QCOMPARE(later.first(), quint8(0));
    QCOMPARE(later.count(quint8(0)), int(later.size()) - 1); // the third unit is refused
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

void TestRelaySafety::fullSizeBlocksReachHonestViewers_data()
{
    QTest::addColumn<int>("blocks");
    QTest::addColumn<bool>("lateJoiner");
    QTest::newRow("one largest block, live") << 1 << false;
    QTest::newRow("largest blocks, live") << 3 << false;
    QTest::newRow("largest blocks, to a late joiner") << 3 << true;
}

void TestRelaySafety::fullSizeBlocksReachHonestViewers()
{
    QFETCH(int, blocks);
    QFETCH(bool, lateJoiner);
    m_f.startServer(); // the default queue
    RelayTestClient *f = m_f.filmer("duel", "ann");
    RelayTestClient *v = lateJoiner ? nullptr : m_f.viewer("vic", 1);
    QVERIFY(f && (lateJoiner || v));
    // Random bytes do not compress: a raw size is found whose record is the largest allowed.
    QByteArray raw = randomBytes(int(rec::kMaxDemoPacketSize) - 2048, 9);
    QByteArray record = RelayTestClient::demoPacket(raw, 1);
    for (int i = 0; i < 8 && record.size() != qsizetype(rec::kMaxDemoPacketSize); ++i) {
        raw = randomBytes(int(raw.size() + qsizetype(rec::kMaxDemoPacketSize) - record.size()), 9);
        record = RelayTestClient::demoPacket(raw, 1);
    }
    QCOMPARE(record.size(), qsizetype(rec::kMaxDemoPacketSize));
    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    for (int i = 0; i < blocks; ++i)
        QCOMPARE(f->request(record), 0);
    if (lateJoiner)
        QVERIFY((v = m_f.viewer("vic", 1)));
    QTRY_COMPARE_WITH_TIMEOUT(v->countOf(DEMOPACKET), blocks, 60000);
    QCOMPARE(v->badBlocks(), 0);
    QVERIFY(v->isConnected());
    QVERIFY(!m_f.logHas(QStringLiteral("send queue over")));
}

// ---- limits -------------------------------------------------------------------------

void TestRelaySafety::limitsRefuseExtraClientsAndGames_data()
{
    QTest::addColumn<int>("maxClients");
    QTest::addColumn<int>("maxPerAddress");
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<QByteArray>("hello"); // what the extra Viewer sends first
    QTest::addColumn<QList<quint8>>("answers");
    const QByteArray hello = buildUserInfo("xan");
    QTest::newRow("client limit") << 3 << 16 << QStringLiteral("client limit 3 reached") << hello
                                  << QList<quint8>{akFull};
    QTest::newRow("per-address limit") << 100 << 3 << QStringLiteral("3 connections from this address") << hello
                                       << QList<quint8>{akFull};
    QTest::newRow("client limit, not a hello") << 3 << 16 << QStringLiteral("client limit 3 reached")
                                               << buildGameInfo(gtQuake2, "baseq2", "xan", {}, "x")
                                               << QList<quint8>{};
}

void TestRelaySafety::limitsRefuseExtraClientsAndGames()
{
    QFETCH(int, maxClients);
    QFETCH(int, maxPerAddress);
    QFETCH(QString, refusal);
    QFETCH(QByteArray, hello);
    QFETCH(QList<quint8>, answers);
    RelayConfig config;
    config.maxClients = maxClients;
    config.maxPerAddress = maxPerAddress;
    config.maxGames = 1;
    m_f.startServer(config);
    QVERIFY(m_f.filmer("one", "ann"));
    RelayTestClient *second = m_f.newClient();
    QVERIFY(second->connectTo(m_f.server().filmerPort()));
    QVERIFY(!second->openGame("two", "bob"));
    QCOMPARE(second->answers(), QList<quint8>{akFull});
    QTRY_VERIFY_WITH_TIMEOUT(second->wasClosedByServer(), 10000);
    QVERIFY(m_f.logHas(QStringLiteral("game limit 1 reached")));

    RelayTestClient *vic = m_f.viewer("vic");
    QVERIFY(vic);
    QVERIFY(m_f.viewer("wes"));
    // A client past the limit hears that the relay is full, in answer to its hello.
    RelayTestClient *extra = m_f.newClient();
    QVERIFY(extra->connectTo(m_f.server().viewerPort()));
    extra->sendRaw(hello);
    QTRY_VERIFY_WITH_TIMEOUT(extra->wasClosedByServer(), 10000);
    QCOMPARE(extra->answers(), answers);
    QVERIFY(m_f.logHas(refusal));
    QCOMPARE(m_f.server().clientCount(), 3);
    // A slot given back can be taken again.
    vic->disconnectNow();
    QTRY_COMPARE_WITH_TIMEOUT(m_f.server().clientCount(), 2, 10000);
    QVERIFY(m_f.viewer("yan"));
}

void TestRelaySafety::stalledInputTimesOut_data()
{
    QTest::addColumn<bool>("signIn");
    QTest::addColumn<QByteArrayList>("pieces"); // one a step, the clock moving 5 s a step
    QTest::addColumn<QString>("reason");        // empty: the connection stays
    const QByteArray line = buildSendText({}, "slow");
    const QByteArray leave = buildLeaveGame();
    QTest::newRow("no hello") << false << QByteArrayList() << QStringLiteral("no hello within 30 s");
    QTest::newRow("signed in, idle") << true << QByteArrayList() << QString();
    QTest::newRow("half a record after the hello")
        << true << QByteArrayList{line.left(100)} << QStringLiteral("record not finished within 30 s");
    QTest::newRow("a byte every 5 s")
        << true << QByteArrayList{line.left(1), line.mid(1, 1), line.mid(2, 1), line.mid(3, 1), line.mid(4, 1)}
        << QStringLiteral("record not finished within 30 s");
    QTest::newRow("a record finished in 10 s")
        << true << QByteArrayList{leave.left(4), leave.mid(4, 4), leave.mid(8)} << QString();
}

void TestRelaySafety::stalledInputTimesOut()
{
    QFETCH(bool, signIn);
    QFETCH(QByteArrayList, pieces);
    QFETCH(QString, reason);
    m_f.startServer({}, true);
    RelayTestClient *c = m_f.newClient();
    QVERIFY(c->connectTo(m_f.server().viewerPort()));
    if (signIn)
        QVERIFY(c->signIn("slow"));
    RelayTestClient *v = m_f.viewer("vic");
    QVERIFY(v);
    for (const QByteArray &piece : std::as_const(pieces)) {
        c->sendRaw(piece);
        QVERIFY(m_f.barrier(v)); // the server has turned its loop since
        m_f.clock += 5000;
    }
    // A silent probe closed by the same sweep shows that the sweep has seen the new time.
    RelayTestClient *probe = m_f.newClient();
    QVERIFY(probe->connectTo(m_f.server().viewerPort()));
    QVERIFY(m_f.barrier(v));
    m_f.clock += 31000;
    QTRY_VERIFY_WITH_TIMEOUT(probe->wasClosedByServer(), 10000);
    if (reason.isEmpty()) {
        QVERIFY(m_f.barrier(v));
        QVERIFY(c->isConnected());
        QVERIFY(!c->wasClosedByServer());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(c->wasClosedByServer(), 10000);
        QVERIFY(m_f.logHas(reason));
    }
    QVERIFY(v->isConnected());
}

int main(int argc, char *argv[])
{
    TestRelaySafety test;
    QTEST_SET_MAIN_SOURCE_PATH
    return runOnRelayDispatcher(&test, argc, argv);
}

#include "tst_relaysafety.moc"
