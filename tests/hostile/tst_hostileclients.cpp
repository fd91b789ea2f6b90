// What clients on the open internet can send to the relay. An honest Filmer streams a demo
// to an honest Viewer for the whole run while every case attacks the same server; each case
// checks what the server did to the attacker, and that the honest Viewer kept receiving. At
// the end the honest Viewer must hold every block in order and the server must have
// forgotten every connection and game.

#include "relaylog.h"
#include "relayserver.h"
#include "hostile/relaypeers.h"

#include "zlibcomp.h"

#include <QTest>
#include <QtEndian>

#include <memory>
#include <vector>

using namespace arbelon;
using arbelon::test::HonestFilmer;
using arbelon::test::HonestViewer;
using arbelon::test::RawRelayPeer;

namespace {

const QByteArray kHonestGame = "Honest game";
constexpr quint32 kHonestGameId = 1; // the first game the server opens
constexpr int kChatBurst = 5;

enum Stage { ViewerNew,
             ViewerSignedIn,
             ViewerInLobby,
             FilmerNew,
             FilmerOpened,
             FilmerDemoStarted };
// Closed: the server ends the connection. Answered: exactly one ACKNAK and the connection
// serves on. Silent: no answer. AnswerOrClose: a record out of place, either is sound.
enum Outcome { Closed,
               Answered,
               Silent,
               AnswerOrClose };

QByteArray rawRecord(qint32 type, quint32 size, int length)
{
    QByteArray r(length, '\0');
    qToLittleEndian<qint32>(type, r.data());
    qToLittleEndian<quint32>(size, r.data() + 4);
    return r;
}

QByteArray goodBlock(qint64 index)
{
    const CompressedBlock b = compressBlock(arbelon::test::demoBlockBytes(index));
    return buildDemoPacket(b.crc, qint32(index), b.data);
}

// A well-formed record of every type.
QByteArray recordOfType(qint32 type)
{
    switch (type) {
    case GAMEINFO: return buildGameInfo(gtQuake2, "baseq2", "other", "", "Another game");
    case GAMEINFODETAILED: return buildGameInfoDetailed(7, "x", 0, 1, "baseq2");
    case ACKNAK: return buildAckNak(0);
    case WAITFORGAME: return buildWaitForGame(qint32(kHonestGameId));
    case SENDTEXT: return buildSendText({}, "hello");
    case LEAVEGAME: return buildLeaveGame();
    case USERINFO: return buildUserInfo("second");
    case DEMOPACKET: return goodBlock(0);
    case GAMEREMOVED: return buildGameRemoved(kHonestGameId);
    case DEMORESTART: return buildDemoRestart(0);
    case USERENTERED: return buildUserEntered("x");
    case USERLEFT: return buildUserLeft("x");
    default: return rawRecord(type, 16, 16);
    }
}

bool viewerPort(Stage s) { return s <= ViewerInLobby; }

Outcome expected(Stage stage, qint32 type)
{
    const bool viewer = viewerPort(stage);
    const QList<qint32> accepted = viewer ? QList<qint32>{ACKNAK, WAITFORGAME, SENDTEXT, LEAVEGAME, USERINFO}
                                          : QList<qint32>{GAMEINFO, ACKNAK, SENDTEXT, DEMOPACKET, DEMORESTART};
    if (!accepted.contains(type))
        return Closed; // a type the port never takes
    const qint32 hello = viewer ? USERINFO : GAMEINFO;
    if (stage == ViewerNew || stage == FilmerNew)
        return type == hello ? Answered : AnswerOrClose;
    if (type == ACKNAK)
        return Silent;
    if (type == hello || (stage == ViewerInLobby && type == WAITFORGAME))
        return AnswerOrClose;
    return Answered;
}

} // namespace

Q_DECLARE_METATYPE(Stage)
Q_DECLARE_METATYPE(Outcome)

class TestHostileClients : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<RelayServer> m_server;
    qint64 m_now = 1000000;
    std::unique_ptr<HonestFilmer> m_filmer;
    std::unique_ptr<HonestViewer> m_viewer;
    std::vector<std::unique_ptr<RawRelayPeer>> m_attackers;
    int m_baseClients = 0;
    qint64 m_blocksAtStart = 0;

    RawRelayPeer &attacker(Stage stage);
    RawRelayPeer &newPeer(bool viewerPort);
    // A record that the connection must answer in its state, to show it still serves.
    static QByteArray ping(Stage stageAfter);

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void recordInEveryState_data();
    void recordInEveryState();
    void garbage_data();
    void garbage();
    void bodyBeforeHelloIsNotBuffered();
    void halfWrittenRecord_data();
    void halfWrittenRecord();
    void viewerThatNeverReads();
    void filmerThatNeverAcknowledges();
    void thousandConnectionsOpenedAndDropped();
    void chatFlood();
};

void TestHostileClients::initTestCase()
{
    RelayLog::setSink([](const QString &) {});
    RelayConfig config;
    config.listenAddress = QHostAddress(QHostAddress::LocalHost);
    config.viewerPort = 0;
    config.filmerPort = 0;
    config.maxQueueBytes = 256 * 1024;
    config.chatBurst = kChatBurst;
    config.chatLinesPerSecond = 2;
    config.helloTimeoutSeconds = 30;
    // Every peer here comes from 127.0.0.1, the storms included.
    config.maxPerAddress = 1000;
    m_server = std::make_unique<RelayServer>(config);
    m_server->setClock([this] { return m_now; });
    QString error;
    QVERIFY2(m_server->start(&error), qPrintable(error));

    // The honest pair runs beside every case.
    m_filmer = std::make_unique<HonestFilmer>(kHonestGame, 20);
    m_filmer->connectTo(QHostAddress(QHostAddress::LocalHost), m_server->filmerPort());
    QTRY_VERIFY(m_filmer->opened());
    m_viewer = std::make_unique<HonestViewer>("watcher", kHonestGame);
    m_viewer->connectTo(QHostAddress(QHostAddress::LocalHost), m_server->viewerPort());
    QTRY_VERIFY(m_viewer->inLobby());
    m_filmer->startDemo();
    QTRY_VERIFY(m_viewer->blocksReceived() > 0);
    m_baseClients = m_server->clientCount();
    QCOMPARE(m_baseClients, 2);
}

void TestHostileClients::init()
{
    m_blocksAtStart = m_viewer->blocksReceived();
}

void TestHostileClients::cleanup()
{
    for (auto &a : m_attackers)
        a->abort();
    m_attackers.clear();
    // The server forgets every attacker, and the honest Viewer is still receiving.
    QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), m_baseClients, 30000);
    QTRY_COMPARE(m_server->gameCount(), 1);
    QTRY_VERIFY(m_viewer->blocksReceived() >= m_blocksAtStart + 3);
    QCOMPARE(m_viewer->faults(), 0);
}

void TestHostileClients::cleanupTestCase()
{
    m_filmer->stop();
    QTRY_VERIFY(!m_filmer->waiting());
    const qint64 sent = m_filmer->blocksAccepted();
    QTRY_COMPARE(m_viewer->blocksReceived(), sent);
    QCOMPARE(m_viewer->faults(), 0);
    QCOMPARE(m_viewer->demoRestarts(), 1);
    m_viewer->close();
    m_filmer->close();
    QTRY_COMPARE(m_server->clientCount(), 0);
    QTRY_COMPARE(m_server->gameCount(), 0);
    m_server.reset();
    RelayLog::setSink({});
}

RawRelayPeer &TestHostileClients::newPeer(bool viewer)
{
    m_attackers.push_back(std::make_unique<RawRelayPeer>());
    RawRelayPeer &p = *m_attackers.back();
    p.setKeepRecords(true);
    p.connectTo(QHostAddress(QHostAddress::LocalHost), viewer ? m_server->viewerPort() : m_server->filmerPort());
    return p;
}

// A connection brought to the stage; the relay's answers so far are in p.answers().
RawRelayPeer &TestHostileClients::attacker(Stage stage)
{
    RawRelayPeer &p = newPeer(viewerPort(stage));
    if (!QTest::qWaitFor([&] { return p.isConnected(); }, 10000))
        QTest::qFail("attacker not connected", __FILE__, __LINE__);
    int answers = 0;
    auto step = [&](const QByteArray &record) {
        p.send(record);
        ++answers;
        if (!QTest::qWaitFor([&] { return p.answers().size() >= answers || p.isClosed(); }, 10000)
            || p.answers().size() < answers || p.answers().last() != 0)
            QTest::qFail("attacker not brought to its stage", __FILE__, __LINE__);
    };
    if (stage == ViewerSignedIn || stage == ViewerInLobby)
        step(buildUserInfo("attacker"));
    if (stage == ViewerInLobby)
        step(buildWaitForGame(qint32(kHonestGameId)));
    if (stage == FilmerOpened || stage == FilmerDemoStarted)
        step(buildGameInfo(gtQuake2, "baseq2", "attacker", "", "Attack game"));
    if (stage == FilmerDemoStarted)
        step(buildDemoRestart(0));
    return p;
}

QByteArray TestHostileClients::ping(Stage stageAfter)
{
    switch (stageAfter) {
    case ViewerNew: return buildUserInfo("late hello");
    case FilmerNew: return buildGameInfo(gtQuake2, "baseq2", "late", "", "Late game");
    case ViewerSignedIn:
    case ViewerInLobby: return buildLeaveGame();
    default: return buildDemoRestart(1);
    }
}

// ---- every record type in every state of a connection ----------------------------------------

void TestHostileClients::recordInEveryState_data()
{
    QTest::addColumn<Stage>("stage");
    QTest::addColumn<qint32>("type");
    QTest::addColumn<Outcome>("outcome");
    const char *names[] = {"viewer new", "viewer signed in", "viewer in lobby", "filmer new", "filmer opened",
                           "filmer demo started"};
    for (int s = ViewerNew; s <= FilmerDemoStarted; ++s) {
        for (qint32 type = 0; type <= 14; ++type)
            QTest::addRow("%s: %s", names[s], qPrintable(PacketName(type) + QString::number(type)))
                << Stage(s) << type << expected(Stage(s), type);
    }
}

void TestHostileClients::recordInEveryState()
{
    QFETCH(Stage, stage);
    QFETCH(qint32, type);
    QFETCH(Outcome, outcome);
    RawRelayPeer &p = attacker(stage);
    QVERIFY(!QTest::currentTestFailed());
    const qsizetype before = p.answers().size();

    p.send(recordOfType(type));
    if (outcome == Closed) {
        QTRY_VERIFY(p.closedByServer());
        return;
    }
    // The stage the record leads to, when it is taken.
    Stage after = stage;
    if (type == USERINFO && stage == ViewerNew)
        after = ViewerSignedIn;
    if (type == GAMEINFO && stage == FilmerNew)
        after = FilmerOpened;
    p.send(ping(after));
    QTRY_VERIFY(p.closedByServer() || p.answers().size() >= before + (outcome == Silent ? 1 : 2));
    if (outcome == AnswerOrClose && p.closedByServer())
        return;
    QVERIFY2(!p.closedByServer(), "the server closed a connection that sent a valid record");
    QCOMPARE(p.answers().size(), before + (outcome == Silent ? 1 : 2));
}

// ---- garbage and impossible sizes ---------------------------------------------------------------

void TestHostileClients::garbage_data()
{
    QTest::addColumn<Stage>("stage");
    QTest::addColumn<QByteArray>("bytes");

    QByteArray noise(64 * 1024, '\0');
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919) ^ (i >> 3));
    QByteArray wrongSize = buildUserInfo("x");
    qToLittleEndian<quint32>(33, wrongSize.data() + 4);
    for (const Stage s : {ViewerNew, ViewerSignedIn, FilmerNew, FilmerOpened}) {
        const char *port = viewerPort(s) ? "viewer" : "filmer";
        const char *when = (s == ViewerNew || s == FilmerNew) ? "before hello" : "after hello";
        QTest::addRow("%s %s: HTTP request", port, when) << s << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        QTest::addRow("%s %s: 64 KiB of noise", port, when) << s << noise;
        QTest::addRow("%s %s: type -1", port, when) << s << rawRecord(-1, 16, 16);
        QTest::addRow("%s %s: type 2^31-1, size 2^32-1", port, when) << s << rawRecord(0x7fffffff, 0xffffffffu, 12);
        QTest::addRow("%s %s: DEMOPACKET size 2^32-1", port, when) << s << rawRecord(DEMOPACKET, 0xffffffffu, 16);
        QTest::addRow("%s %s: DEMOPACKET just over 4 MiB", port, when)
            << s << rawRecord(DEMOPACKET, rec::kMaxDemoPacketSize + 1, 16);
        QTest::addRow("%s %s: DEMOPACKET without data", port, when) << s << rawRecord(DEMOPACKET, 16, 16);
        QTest::addRow("%s %s: DEMOPACKET size 0", port, when) << s << rawRecord(DEMOPACKET, 0, 16);
        QTest::addRow("%s %s: USERINFO of size 33", port, when) << s << wrongSize;
        QTest::addRow("%s %s: SENDTEXT of size 0", port, when) << s << rawRecord(SENDTEXT, 0, 288);
    }
}

void TestHostileClients::garbage()
{
    QFETCH(Stage, stage);
    QFETCH(QByteArray, bytes);
    RawRelayPeer &p = attacker(stage);
    QVERIFY(!QTest::currentTestFailed());
    p.send(bytes);
    QTRY_VERIFY(p.closedByServer());
}

// Before its hello a connection may send only the hello: a bigger record announced then is
// refused at its header, or ten thousand silent connections could each hold 4 MiB.
void TestHostileClients::bodyBeforeHelloIsNotBuffered()
{
    RawRelayPeer &p = attacker(FilmerNew);
    QVERIFY(!QTest::currentTestFailed());
    p.send(rawRecord(DEMOPACKET, rec::kMaxDemoPacketSize, 16));
    QTRY_VERIFY(p.closedByServer());
}

// ---- records that stop half-way ---------------------------------------------------------------

void TestHostileClients::halfWrittenRecord_data()
{
    QTest::addColumn<Stage>("stage");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("thenClose"); // else the attacker stays silent

    const QByteArray block = goodBlock(0);
    QTest::newRow("half a USERINFO, then silence") << ViewerNew << buildUserInfo("x").left(20) << false;
    QTest::newRow("half a GAMEINFO, then silence") << FilmerNew << recordOfType(GAMEINFO).left(50) << false;
    QTest::newRow("a header alone, then silence") << ViewerNew << buildUserInfo("x").left(12) << false;
    QTest::newRow("half a SENDTEXT, then close") << ViewerInLobby << buildSendText({}, "cut").left(100) << true;
    QTest::newRow("half a DEMOPACKET, then close") << FilmerDemoStarted << block.left(block.size() / 2) << true;
    QTest::newRow("a DEMOPACKET header, then close") << FilmerDemoStarted << block.left(16) << true;
}

void TestHostileClients::halfWrittenRecord()
{
    QFETCH(Stage, stage);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, thenClose);
    RawRelayPeer &p = attacker(stage);
    QVERIFY(!QTest::currentTestFailed());
    p.send(bytes);
    if (thenClose) {
        p.close();
        QTRY_COMPARE(m_server->clientCount(), m_baseClients);
        return;
    }
    // Silence: only the hello time-out ends it (the server's clock is the test's).
    m_now += 31 * 1000;
    QTRY_VERIFY_WITH_TIMEOUT(p.closedByServer(), 30000);
}

// ---- a Viewer that never reads ------------------------------------------------------------------

void TestHostileClients::viewerThatNeverReads()
{
    // A game of its own with a fast Filmer, so that the stalled Viewer's queue fills soon.
    RawRelayPeer &filmer = attacker(FilmerDemoStarted);
    RawRelayPeer &stalled = attacker(ViewerSignedIn);
    QVERIFY(!QTest::currentTestFailed());
    quint32 id = 0;
    for (const QByteArray &r : stalled.records()) {
        if (packetType(r) == GAMEINFODETAILED && GameInfoDetailedReader{r}.gameName() == "Attack game")
            id = GameInfoDetailedReader{r}.gameId();
    }
    QVERIFY(id != 0);
    stalled.send(buildWaitForGame(qint32(id)));
    QTRY_COMPARE(stalled.answers().size(), 2);
    QCOMPARE(stalled.answers().last(), 0);
    stalled.stopReading();

    // Blocks of noise (they do not compress), far more than a queue and the kernel hold.
    QByteArray noise(64 * 1024, '\0');
    quint32 x = 88172645u;
    for (int round = 0; round < 400; ++round) {
        for (char &c : noise) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = char(x);
        }
        const CompressedBlock b = compressBlock(noise);
        filmer.send(buildDemoPacket(b.crc, round, b.data));
    }
    // The server drops the stalled Viewer; its Filmer, the honest pair and the rest go on.
    QTRY_VERIFY_WITH_TIMEOUT(m_server->clientCount() == m_baseClients + 1, 120000);
    QVERIFY(filmer.isConnected());
}

// ---- a Filmer that never acknowledges nor reads ----------------------------------------------

void TestHostileClients::filmerThatNeverAcknowledges()
{
    RawRelayPeer &p = attacker(FilmerDemoStarted);
    QVERIFY(!QTest::currentTestFailed());
    p.setAnswering(false);
    p.stopReading();
    HonestViewer watcher("second watcher", "Attack game");
    watcher.connectTo(QHostAddress(QHostAddress::LocalHost), m_server->viewerPort());
    QTRY_VERIFY(watcher.inLobby());
    // All blocks at once, none waiting for an answer: the Viewer still gets each in order.
    constexpr int kBlocks = 60;
    for (int i = 0; i < kBlocks; ++i)
        p.send(goodBlock(i));
    QTRY_COMPARE_WITH_TIMEOUT(watcher.blocksReceived(), qint64(kBlocks), 60000);
    QCOMPARE(watcher.faults(), 0);
    p.abort();
    // The game ends with its Filmer; its Viewer stays connected.
    QTRY_COMPARE(m_server->gameCount(), 1);
    watcher.close();
}

// ---- connection storms ------------------------------------------------------------------------

void TestHostileClients::thousandConnectionsOpenedAndDropped()
{
    // In batches, so that the test stays within the usual descriptor limit.
    constexpr int kBatches = 10;
    constexpr int kPerBatch = 100;
    for (int b = 0; b < kBatches; ++b) {
        for (int i = 0; i < kPerBatch; ++i) {
            RawRelayPeer &p = newPeer(i % 2 == 0);
            if (i % 3 == 0) // some say half a hello first
                connect(&p, &RawRelayPeer::connected, &p, [&p] { p.send(buildUserInfo("storm").left(9)); });
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), m_baseClients + kPerBatch, 30000);
        for (auto &p : m_attackers)
            p->abort();
        m_attackers.clear();
        QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), m_baseClients, 30000);
    }
}

// ---- chat floods ----------------------------------------------------------------------------------

void TestHostileClients::chatFlood()
{
    RawRelayPeer &p = attacker(ViewerInLobby);
    QVERIFY(!QTest::currentTestFailed());
    const qsizetype before = p.answers().size();
    const int seen = m_viewer->chatFrom("attacker");
    constexpr int kLines = 1000;
    QByteArray lines;
    for (int i = 0; i < kLines; ++i)
        lines += buildSendText({}, "spam " + QByteArray::number(i));
    p.send(lines); // the server's clock stands still: only the burst may pass
    QTRY_VERIFY_WITH_TIMEOUT(p.closedByServer() || p.answers().size() == before + kLines, 60000);
    const int accepted = int(p.answers().mid(before).count(0));
    QVERIFY2(accepted <= kChatBurst, qPrintable(QString::number(accepted)));
    // What was accepted reaches the lobby; nothing else does.
    QTRY_COMPARE(m_viewer->chatFrom("attacker"), seen + accepted);
    // A second later the flooder may speak again.
    m_now += 1000;
    p.send(buildSendText({}, "after a pause"));
    QTRY_COMPARE(p.answers().size(), before + kLines + 1);
    QCOMPARE(p.answers().last(), 0);
}

QTEST_GUILESS_MAIN(TestHostileClients)
#include "tst_hostileclients.moc"
