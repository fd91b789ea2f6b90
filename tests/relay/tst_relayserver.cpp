// The relay server in-process: games, lobbies, chat and demos through real sockets on 127.0.0.1.

#include "relayfixture.h"

#include <QTest>

#include <algorithm>

using namespace arbelon;
using namespace arbelon::test;

class TestRelayServer : public QObject {
    Q_OBJECT

private slots:
    void init() { m_f.setUp(); }
    void cleanup() { m_f.tearDown(); }

    void demoReachesEarlyAndLateViewers();
    void lateJoinerWaitsWhenDemoOutgrewTheBound();
    void listsUsersAndChatReachTheRightClients();
    void crowdBeyondTheListIsCountedNotNamed();
    void chatHasOneOrderForEveryone();
    void leavingStopsDemoAndTellsTheLobby();
    void gameEndsWhenItsFilmerGoes();
    void filmerGoingMidBurstLeavesTheWholeDemo();
    void sameNameTakesASuffix_data();
    void sameNameTakesASuffix();
    void filmerHello_data();
    void filmerHello();
    void delayHoldsDemoRecords();
    void delayedTailOutlivesTheFilmer();
    void delayHoldsTheFilmerBackWhenFull();

private:
    RelayFixture m_f;
};

// ---- demos ------------------------------------------------------------------------

void TestRelayServer::demoReachesEarlyAndLateViewers()
{
    m_f.startServer();
    RelayTestClient *f = m_f.filmer("duel", "camera");
    QVERIFY(f);
    RelayTestClient *early = m_f.viewer("early", 1);
    QVERIFY(early);
    const QByteArray data = randomBytes(200000, 7);

    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    QVERIFY(upload(f, data, 0, 100000));
    RelayTestClient *late = m_f.viewer("late", 1);
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
    m_f.startServer(config);
    RelayTestClient *f = m_f.filmer("long", "camera");
    QVERIFY(f);
    RelayTestClient *early = m_f.viewer("early", 1);
    QVERIFY(early);
    const QByteArray first = randomBytes(50000, 1), second = randomBytes(20000, 2);

    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    QVERIFY(upload(f, first, 0, first.size()));
    RelayTestClient *late = m_f.viewer("late", 1);
    QVERIFY(late);
    QVERIFY(m_f.barrier(late));
    QCOMPARE(late->demoRecords(), 0); // the first demo lost its beginning: nothing of it
    QCOMPARE(f->request(buildDemoRestart(6)), 0);
    QVERIFY(upload(f, second, 0, second.size()));

    QTRY_COMPARE_WITH_TIMEOUT(early->countOf(DEMOPACKET), 7, 15000);
    QCOMPARE(early->demos(), QByteArrayList({first, second})); // live Viewers lose nothing
    QTRY_COMPARE_WITH_TIMEOUT(late->countOf(DEMOPACKET), 2, 15000);
    QCOMPARE(late->demos(), QByteArrayList({second}));
    QCOMPARE(late->badBlocks(), 0);
    QVERIFY(m_f.logHas(QStringLiteral("current demo passed 30000 bytes")));
}

// ---- lobby ------------------------------------------------------------------------

void TestRelayServer::listsUsersAndChatReachTheRightClients()
{
    m_f.startServer();
    RelayTestClient *f1 = m_f.filmer("alpha", "ann");
    QVERIFY(f1);
    RelayTestClient *idle = m_f.viewer("ida");
    QVERIFY(idle);
    RelayTestClient *f2 = m_f.filmer("beta", "bob");
    QVERIFY(f2);
    RelayTestClient *v1 = m_f.viewer("vic", 1);
    RelayTestClient *v2 = m_f.viewer("wes", 2);
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

void TestRelayServer::chatHasOneOrderForEveryone()
{
    // With worker threads the members sit on different workers, and their lines arrive
    // at the server interleaved: everyone must still see the same lines in the same order.
    m_f.startServer();
    RelayTestClient *f = m_f.filmer("duel", "ann");
    QVERIFY(f);
    std::vector<RelayTestClient *> members{f};
    for (const QByteArray name : {"v1", "v2", "v3", "v4", "v5", "v6"}) {
        members.push_back(m_f.viewer(name, 1));
        QVERIFY(members.back());
    }
    // Each sends its whole burst at once, without waiting for answers.
    for (int line = 0; line < 4; ++line) {
        for (size_t i = 0; i < members.size(); ++i)
            members[i]->sendRaw(buildSendText({}, QByteArray::number(int(i)) + '.' + QByteArray::number(line)));
    }
    const qsizetype total = qsizetype(members.size()) * 4;
    for (RelayTestClient *c : members)
        QTRY_COMPARE_WITH_TIMEOUT(c->chat().size(), total, 10000);
    for (RelayTestClient *c : members) {
        QCOMPARE(c->chat(), f->chat());
        QByteArrayList users = c->users();
        std::sort(users.begin(), users.end());
        QCOMPARE(users, QByteArrayList({"ann", "v1", "v2", "v3", "v4", "v5", "v6"}));
    }
}

void TestRelayServer::crowdBeyondTheListIsCountedNotNamed()
{
    RelayConfig config;
    config.listedUsers = 2;
    m_f.startServer(config);
    RelayTestClient *f = m_f.filmer("duel", "ann");
    RelayTestClient *a = m_f.viewer("a", 1);
    RelayTestClient *b = m_f.viewer("b", 1);
    RelayTestClient *c = m_f.viewer("c", 1);
    RelayTestClient *d = m_f.viewer("d", 1);
    QVERIFY(f && a && b && c && d);
    // Unnamed Viewers count in Users and see the named ones and themselves.
    QTRY_COMPARE_WITH_TIMEOUT(a->games().at(1).users, 5u, 10000);
    QVERIFY(m_f.barrier(a) && m_f.barrier(f));
    QCOMPARE(a->users(), QByteArrayList({"ann", "a", "b"}));
    QCOMPARE(f->users(), QByteArrayList({"ann", "a", "b"}));
    QCOMPARE(c->users(), QByteArrayList({"ann", "a", "b", "c"}));

    // An unnamed Viewer that leaves is not announced; one that chats is named first.
    QCOMPARE(d->request(buildLeaveGame()), 0);
    QCOMPARE(c->request(buildSendText({}, "hello")), 0);
    QTRY_VERIFY_WITH_TIMEOUT(a->chat().contains("<c> hello"), 10000);
    const QList<QByteArray> &r = a->records();
    const auto named = std::find(r.begin(), r.end(), buildUserEntered("c"));
    const auto line = std::find(r.begin(), r.end(), buildSendText("c", "hello"));
    QVERIFY(named < line);
    QCOMPARE(a->users(), QByteArrayList({"ann", "a", "b", "c"}));
    QCOMPARE(c->users(), QByteArrayList({"ann", "a", "b", "c"}));
    QCOMPARE(c->request(buildSendText({}, "again")), 0);
    QTRY_VERIFY_WITH_TIMEOUT(f->chat().contains("<c> again"), 10000);
    QCOMPARE(f->users(), QByteArrayList({"ann", "a", "b", "c"}));
    QCOMPARE(a->countOf(USERLEFT), 0);

    c->disconnectNow();
    QTRY_COMPARE_WITH_TIMEOUT(a->users(), QByteArrayList({"ann", "a", "b"}), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(a->games().at(1).users, 3u, 10000);
    QCOMPARE(a->countOf(USERLEFT), 1);
}

void TestRelayServer::leavingStopsDemoAndTellsTheLobby()
{
    m_f.startServer();
    RelayTestClient *f = m_f.filmer("duel", "ann");
    RelayTestClient *stay = m_f.viewer("stay", 1);
    RelayTestClient *go = m_f.viewer("go", 1);
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
    QVERIFY(go->countOf(DEMOPACKET) <= 1);            // at most the block sent before leaving
    QCOMPARE(go->request(buildLeaveGame()), 0);       // leaving twice is harmless
}

void TestRelayServer::gameEndsWhenItsFilmerGoes()
{
    m_f.startServer();
    RelayTestClient *f1 = m_f.filmer("alpha", "ann");
    RelayTestClient *f2 = m_f.filmer("beta", "bob");
    RelayTestClient *watcher = m_f.viewer("vic", 1);
    RelayTestClient *idle = m_f.viewer("ida");
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
    QCOMPARE(m_f.server().gameCount(), 1);
}

void TestRelayServer::filmerGoingMidBurstLeavesTheWholeDemo()
{
    // The Filmer sends a burst and is gone before the server has passed it on: with worker
    // threads its blocks are still on their way to the Viewers' threads when its game ends.
    m_f.startServer();
    RelayTestClient *f = m_f.filmer("duel", "ann");
    QVERIFY(f);
    std::vector<RelayTestClient *> viewers;
    for (const QByteArray name : {"v1", "v2", "v3", "v4", "v5"}) {
        viewers.push_back(m_f.viewer(name, 1));
        QVERIFY(viewers.back());
    }
    const QByteArray data = randomBytes(200000, 21);
    QByteArray all = buildDemoRestart(0);
    for (int i = 0; i < 20; ++i)
        all += RelayTestClient::demoPacket(QByteArrayView(data).sliced(i * 10000, 10000), i + 1);
    f->sendRaw(all);
    f->disconnectNow();
    for (RelayTestClient *v : viewers) {
        QTRY_VERIFY_WITH_TIMEOUT(v->games().empty(), 10000);
        QCOMPARE(v->demos(), QByteArrayList({data}));
    }
    QCOMPARE(m_f.server().gameCount(), 0);
}

// ---- hello ------------------------------------------------------------------------

void TestRelayServer::sameNameTakesASuffix_data()
{
    QTest::addColumn<QByteArray>("first");  // the Viewer already in the lobby
    QTest::addColumn<QByteArray>("second"); // the one that joins after it
    QTest::addColumn<QByteArray>("known");  // the second's name in the lobby
    QTest::newRow("same name") << QByteArray("vic") << QByteArray("vic") << QByteArray("vic (2)");
    QTest::newRow("other letter case") << QByteArray("Vic") << QByteArray("vIC") << QByteArray("vIC (2)");
    QTest::newRow("the Filmer's name") << QByteArray("wes") << QByteArray("ann") << QByteArray("ann (2)");
    QTest::newRow("suffix taken too") << QByteArray("vic (2)") << QByteArray("vic (2)") << QByteArray("vic (2) (2)");
    QTest::newRow("full field shortened") << QByteArray("abcdefghijklmnop") << QByteArray("abcdefghijklmnop")
                                          << QByteArray("abcdefghijkl (2)");
    // Eight two-byte letters fill the field; the cut falls between letters.
    QTest::newRow("UTF-8 shortened whole") << QByteArray("\xd0\x96\xd0\x96\xd0\x96\xd0\x96\xd0\x96\xd0\x96\xd0\x96\xd0\x96")
                                           << QByteArray("\xd0\x96\xd0\x96\xd0\x96\xd0\x96\xd0\x96\xd0\x96\xd0\x96\xd0\x96")
                                           << QByteArray("\xd0\x96\xd0\x96\xd0\x96\xd0\x96\xd0\x96\xd0\x96 (2)");
    QTest::newRow("same text, other encoding") << QByteArray("Ren\xe9") << QByteArray("Ren\xc3\xa9")
                                               << QByteArray("Ren\xe9 (2)");
    QTest::newRow("different names") << QByteArray("vic") << QByteArray("wes") << QByteArray("wes");
}

void TestRelayServer::sameNameTakesASuffix()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QByteArray, known);
    m_f.startServer();
    RelayTestClient *f = m_f.filmer("duel", "ann");
    RelayTestClient *a = m_f.viewer(first, 1);
    RelayTestClient *b = m_f.viewer(second, 1);
    QVERIFY(f && a && b);
    QVERIFY(m_f.barrier(b) && m_f.barrier(a));
    QCOMPARE(b->users().size(), 3);
    QCOMPARE(b->users().constLast(), known);
    QCOMPARE(a->users().constLast(), known);
    // Told in a line of its own only when the lobby gave it another name.
    const QByteArray told = "In this lobby you are known as \"" + encodeText(decodeText(known), 255) + '"';
    QCOMPARE(b->chat().contains(told), decodeText(known) != decodeText(second));
    QCOMPARE(b->request(buildSendText({}, "hi")), 0);
    QTRY_VERIFY_WITH_TIMEOUT(a->chat().contains("<" + known + "> hi"), 10000);
    // Its name is free again once it has gone.
    b->disconnectNow();
    QTRY_COMPARE_WITH_TIMEOUT(a->users().size(), 2, 10000);
    RelayTestClient *c = m_f.viewer(second, 1);
    QVERIFY(c && m_f.barrier(c));
    QCOMPARE(c->users().constLast(), known);
}

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
    QTest::newRow("same text, other encoding") << QByteArray("p\xc3\xa4ss") << QByteArray("duel") << QByteArray("p\xe4ss")
                                               << true << "opened game 1";
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
    m_f.startServer(config).setWebPort(8080);
    RelayTestClient *watcher = m_f.viewer("vic");
    QVERIFY(watcher);
    // A Viewer's welcome names the web page's port; a Filmer's answer is the plain one.
    QCOMPARE(AckNakReader{watcher->records().first()}.webPort(), quint16(8080));
    RelayTestClient *f = m_f.newClient();
    QVERIFY(f->connectTo(m_f.server().filmerPort()));
    QCOMPARE(f->openGame(gameName, "ann", password), accepted);
    QCOMPARE(AckNakReader{f->records().first()}.webPort(), quint16(0));
    QVERIFY(m_f.logHas(logged));
    if (accepted) {
        QTRY_COMPARE_WITH_TIMEOUT(watcher->games().size(), size_t(1), 10000);
        QCOMPARE(f->users(), QByteArrayList({"ann"}));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(f->wasClosedByServer(), 10000);
        QCOMPARE(f->answers().size(), 1);
        QCOMPARE(m_f.server().gameCount(), 0);
        QVERIFY(m_f.barrier(watcher));
        QVERIFY(watcher->games().empty());
    }
}

// ---- delay --------------------------------------------------------------------------

void TestRelayServer::delayHoldsDemoRecords()
{
    RelayConfig config;
    config.delaySeconds = 30;
    m_f.startServer(config, true);
    RelayTestClient *f = m_f.filmer("duel", "ann");
    RelayTestClient *v = m_f.viewer("vic", 1);
    QVERIFY(f && v);
    const QByteArray data = randomBytes(30000, 6);
    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    QVERIFY(upload(f, data, 0, 20000));
    m_f.clock += 10000;
    QVERIFY(upload(f, data, 20000, 30000));

    // The chat line is not delayed: it overtakes the held demo.
    QVERIFY(m_f.barrier(v));
    QTRY_VERIFY_WITH_TIMEOUT(v->chat().contains("<vic> barrier"), 10000);
    QCOMPARE(v->demoRecords(), 0);
    m_f.clock += 20000; // the first three records are due
    QTRY_COMPARE_WITH_TIMEOUT(v->demoRecords(), 3, 10000);
    QVERIFY(m_f.barrier(v));
    QCOMPARE(v->demoRecords(), 3);
    m_f.clock += 10000;
    QTRY_COMPARE_WITH_TIMEOUT(v->demos(), QByteArrayList({data}), 10000);
    QCOMPARE(v->badBlocks(), 0);
}

void TestRelayServer::delayedTailOutlivesTheFilmer()
{
    RelayConfig config;
    config.delaySeconds = 5;
    m_f.startServer(config, true);
    RelayTestClient *f = m_f.filmer("duel", "ann");
    RelayTestClient *v = m_f.viewer("vic", 1);
    QVERIFY(f && v);
    const QByteArray data = randomBytes(20000, 8);
    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    QVERIFY(upload(f, data, 0, data.size()));
    f->disconnectNow();
    QTRY_COMPARE_WITH_TIMEOUT(v->games().at(1).users, 1u, 10000);
    RelayTestClient *newcomer = m_f.viewer("new");
    QVERIFY(newcomer);
    QCOMPARE(newcomer->request(buildWaitForGame(1)), 1); // nobody films it any more
    QCOMPARE(v->demoRecords(), 0);

    m_f.clock += 5000;
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
    m_f.startServer(config, true);
    RelayTestClient *f = m_f.filmer("duel", "ann");
    RelayTestClient *v = m_f.viewer("vic", 1);
    QVERIFY(f && v);
    const QByteArray data = randomBytes(40000, 10); // four blocks of ~10 KB on the wire
    QByteArray all = buildDemoRestart(0);
    for (int i = 0; i < 4; ++i)
        all += RelayTestClient::demoPacket(QByteArrayView(data).sliced(i * 10000, 10000), i + 1);
    f->sendRaw(all); // a Filmer that does not wait for answers
    QTRY_VERIFY_WITH_TIMEOUT(m_f.logHas(QStringLiteral("delayed bytes held; the filmer waits")), 10000);
    // GAMEINFO, DEMORESTART and two blocks are answered (the answers may still be on their
    // way when the log line is written); the third block waits.
    QTRY_COMPARE_WITH_TIMEOUT(f->answers().size(), 1 + 3, 10000);
    QVERIFY(m_f.barrier(v));
    QCOMPARE(f->answers().size(), 1 + 3);
    QCOMPARE(v->demoRecords(), 0);

    m_f.clock += 5000;
    QTRY_COMPARE_WITH_TIMEOUT(f->answers().size(), 1 + 5, 10000);
    QCOMPARE(f->answers(), QList<quint8>({0, 0, 0, 0, 0, 0}));
    m_f.clock += 5000;
    QTRY_COMPARE_WITH_TIMEOUT(v->demos(), QByteArrayList({data}), 10000);
}

int main(int argc, char *argv[])
{
    TestRelayServer test;
    QTEST_SET_MAIN_SOURCE_PATH
    return runOnRelayDispatcher(&test, argc, argv);
}

#include "tst_relayserver.moc"
