// The cluster's message format read strictly, the demo feed that puts a stream's records
// back in order, and the bounded mailbox between the games and the node: pure logic, no NATS.

#include "clustermailbox.h"
#include "clustermessage.h"
#include "demofeed.h"
#include "records.h"

#include <QtEndian>
#include <QtTest>

using namespace arbelon;

Q_DECLARE_METATYPE(arbelon::ClusterMessage)

namespace {

ClusterGameInfo game(quint32 id)
{
    ClusterGameInfo g;
    g.id = id;
    g.gameType = gtQuake3;
    g.users = 7;
    g.name = "final";
    g.mod = "baseq3";
    g.filmer = "ann";
    g.demoStartSeq = 42;
    return g;
}

ClusterMessage message(ClusterMessage::Type type)
{
    ClusterMessage m;
    m.type = type;
    m.node = "node-a";
    switch (type) {
    case ClusterMessage::Heartbeat:
        m.slot = 3;
        m.epoch = 0x1122334455667788ull;
        m.games = {game(3u << 20 | 1), game(3u << 20 | 2)};
        break;
    case ClusterMessage::GameAnnounce: m.games = {game(5)}; break;
    case ClusterMessage::GameRemove:
        m.gameId = 5;
        m.seq = 30;
        break;
    case ClusterMessage::LobbyState:
        m.gameId = 5;
        m.users = 3;
        m.names = {"vic", "zoe"};
        break;
    case ClusterMessage::ChatRequest:
    case ClusterMessage::ChatLine:
        m.gameId = 5;
        m.seq = type == ClusterMessage::ChatLine ? 9 : 0;
        m.user = "vic";
        m.text = "gg";
        break;
    case ClusterMessage::DemoBlock:
        m.gameId = 5;
        m.seq = 12;
        m.record = buildDemoPacket(0xabcd, 4, QByteArray(100, 'x'));
        break;
    case ClusterMessage::GameFacts:
        m.gameId = 5;
        m.record = R"({"map":"oa_dm1"})";
        break;
    }
    return m;
}

QByteArray demoBlock() { return clustermsg::encode(message(ClusterMessage::DemoBlock)); }

void put32(QByteArray &b, qsizetype at, quint32 v) { qToLittleEndian(v, b.data() + at); }

// Offsets in an encoded demo block from node "node-a": header 4, name 1 + 6, id 4, seq 8.
constexpr int kBlockIdAt = 11, kBlockSeqAt = 15, kBlockLenAt = 23, kBlockRecordAt = 27;

} // namespace

class TestClusterMessage : public QObject {
    Q_OBJECT
private slots:
    void roundTrip_data()
    {
        QTest::addColumn<ClusterMessage>("message");
        for (auto t : {ClusterMessage::Heartbeat, ClusterMessage::GameAnnounce, ClusterMessage::GameRemove,
                       ClusterMessage::LobbyState, ClusterMessage::ChatRequest, ClusterMessage::ChatLine,
                       ClusterMessage::DemoBlock, ClusterMessage::GameFacts})
            QTest::newRow(qPrintable(clustermsg::typeName(t))) << message(t);
        ClusterMessage restart = message(ClusterMessage::DemoBlock);
        restart.record = buildDemoRestart(0);
        QTest::newRow("demo restart") << restart;
        ClusterMessage longest = message(ClusterMessage::ChatLine);
        longest.text = QByteArray(clustermsg::kMaxChatText, 'z');
        longest.user = QByteArray(clustermsg::kMaxUserName, 'u');
        QTest::newRow("longest chat") << longest;
    }
    void roundTrip()
    {
        QFETCH(ClusterMessage, message);
        QString error;
        const auto parsed = clustermsg::parse(clustermsg::encode(message), &error);
        QVERIFY2(parsed, qPrintable(error));
        QCOMPARE(*parsed, message);
        if (message.type == ClusterMessage::GameRemove) {
            // A node of the first release names no last block.
            const auto old = clustermsg::parse(clustermsg::encode(message).chopped(8), &error);
            QVERIFY2(old, qPrintable(error));
            QCOMPARE(old->seq, quint64(0));
            QCOMPARE(old->gameId, message.gameId);
        }
    }

    // Every way a message can lie: each is refused with a reason, never read past its end.
    void malformed_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reason");
        const QByteArray block = demoBlock();
        QTest::newRow("empty") << QByteArray() << u"magic"_qs;
        QTest::newRow("not ours") << QByteArray("PING\r\n") << u"not a cluster message"_qs;
        QByteArray v = block;
        v[2] = 2;
        QTest::newRow("future version") << v << u"version 2"_qs;
        v = block;
        v[3] = 99;
        QTest::newRow("unknown type") << v << u"unknown type 99"_qs;
        v = block;
        v[4] = 0;
        QTest::newRow("empty node name") << v << u"node name: length 0"_qs;
        v = block;
        v[5] = '.';
        QTest::newRow("node name with a dot") << v << u"node name holds"_qs;
        QTest::newRow("truncated") << block.left(block.size() - 1) << u"record: 116 bytes announced, 115 left"_qs;
        QTest::newRow("trailing byte") << block + 'x' << u"1 bytes after the last field"_qs;
        v = block;
        put32(v, kBlockIdAt, 0);
        QTest::newRow("game id 0") << v << u"game id 0"_qs;
        v = block;
        put32(v, kBlockSeqAt, 0);
        QTest::newRow("sequence 0") << v << u"block sequence 0"_qs;
        v = block;
        put32(v, kBlockLenAt, 0xffffffffu);
        QTest::newRow("huge record length") << v << u"record: 4294967295 bytes announced"_qs;
        v = block;
        put32(v, kBlockRecordAt + rec::offSize, 50);
        QTest::newRow("record lies about its size") << v << u"says 50 bytes, carries 116"_qs;
        v = block;
        put32(v, kBlockRecordAt + rec::offType, SENDTEXT);
        QTest::newRow("not a demo record") << v << u"record type 6"_qs;
        ClusterMessage m = message(ClusterMessage::DemoBlock);
        m.record = buildDemoPacket(0, 1, {}); // header only
        QTest::newRow("empty demo packet") << clustermsg::encode(m) << u"DEMOPACKET size 16 outside"_qs;
        m.record = buildDemoRestart(0) + 'x';
        put32(m.record, rec::offSize, quint32(m.record.size()));
        QTest::newRow("long restart") << clustermsg::encode(m) << u"DEMORESTART of 17"_qs;
        m = message(ClusterMessage::ChatLine);
        m.text = QByteArray(clustermsg::kMaxChatText + 1, 'z');
        QTest::newRow("long chat") << clustermsg::encode(m) << u"text length 259"_qs;
        m.text = QByteArray("a\0b", 3);
        QTest::newRow("chat with NUL") << clustermsg::encode(m) << u"text holds a NUL"_qs;
        m = message(ClusterMessage::LobbyState);
        m.users = 1;
        QTest::newRow("more names than users") << clustermsg::encode(m) << u"2 names for 1 users"_qs;
        m = message(ClusterMessage::LobbyState);
        m.names = {QByteArray(clustermsg::kMaxUserName + 1, 'n')};
        QTest::newRow("long user name") << clustermsg::encode(m) << u"user name: length 17"_qs;
        m = message(ClusterMessage::Heartbeat);
        m.slot = 0;
        QTest::newRow("slot 0") << clustermsg::encode(m) << u"slot 0"_qs;
        m = message(ClusterMessage::Heartbeat);
        QByteArray hb = clustermsg::encode(m);
        hb[4 + 1 + 6 + 2 + 8] = char(0xff); // game count 0xff02 > 1024
        hb[4 + 1 + 6 + 2 + 8 + 1] = char(0xff);
        QTest::newRow("too many games") << hb << u"65535 games"_qs;
        m = message(ClusterMessage::GameAnnounce);
        m.games[0].gameType = 7;
        QTest::newRow("unknown game type") << clustermsg::encode(m) << u"game type 7"_qs;
        m = message(ClusterMessage::GameAnnounce);
        m.games[0].name.clear();
        QTest::newRow("game without a name") << clustermsg::encode(m) << u"game name: length 0"_qs;
        QTest::newRow("oversized") << QByteArray(clustermsg::kMaxMessage + 1, 'A') << u"more than"_qs;
        m = message(ClusterMessage::GameFacts);
        m.record = QByteArray(clustermsg::kMaxFacts + 1, ' ');
        QTest::newRow("facts too long") << clustermsg::encode(m) << u"facts of 262145 bytes"_qs;
    }
    void malformed()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        QString error;
        QVERIFY(!clustermsg::parse(bytes, &error));
        QVERIFY2(error.contains(reason), qPrintable(error));
    }

    void nodeNames_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("valid");
        QTest::newRow("plain") << QByteArray("relay-1_eu") << true;
        QTest::newRow("32") << QByteArray(32, 'n') << true;
        QTest::newRow("33") << QByteArray(33, 'n') << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("subject wildcard") << QByteArray("a.*") << false;
        QTest::newRow("space") << QByteArray("a b") << false;
    }
    void nodeNames()
    {
        QFETCH(QByteArray, name);
        QFETCH(bool, valid);
        QCOMPARE(clustermsg::validNodeName(name), valid);
    }

    // The order a stream may deliver in after a failover: each row lists the block sequences
    // as they come (R: a demo start) and the order the relay must get them in.
    void demoFeed_data()
    {
        QTest::addColumn<QString>("arrivals");
        QTest::addColumn<QString>("delivered");
        QTest::newRow("in order") << "1R 2 3 4"
                                  << "1 2 3 4";
        QTest::newRow("repeat") << "1R 2 2 3 1R 3"
                                << "1 2 3";
        QTest::newRow("republished after later ones") << "1R 2 4 5 3 6"
                                                      << "1 2 3 4 5 6";
        QTest::newRow("held repeat") << "1R 3 3 2"
                                     << "1 2 3";
        QTest::newRow("join mid-demo waits for a start") << "4 5 6R 7"
                                                         << "6 7";
        QTest::newRow("new demo") << "1R 2 3R 4"
                                  << "1 2 3 4";
    }
    void demoFeed()
    {
        QFETCH(QString, arrivals);
        QFETCH(QString, delivered);
        DemoFeed feed;
        QStringList got;
        for (const QString &a : arrivals.split(u' ')) {
            const bool start = a.endsWith(u'R');
            const quint64 seq = QStringView(a).left(a.size() - (start ? 1 : 0)).toULongLong();
            const QByteArray record = start ? buildDemoRestart(0) : buildDemoPacket(0, int(seq), QByteArray::number(seq));
            for (const auto &[s, r] : feed.push(seq, record)) {
                if (packetType(r) == DEMOPACKET)
                    QCOMPARE(DemoPacketReader{r}.data().toByteArray(), QByteArray::number(s));
                got.append(QString::number(s));
            }
        }
        QCOMPARE(got.join(u' '), delivered);
        QCOMPARE(feed.heldRecords(), 0);
    }

    // A gap that never fills is given up at the next demo start, within the bound.
    // Steps on game 1 unless said: rN a new demo's first record of N bytes, pN a later record,
    // qN a later record of game 2, xN a chat line, c the game closed, t the node takes all.
    // Each post's outcome: Y posted, H held back, S starts holding its game back.
    void mailboxHoldsBackWholeDemos_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("outcomes");
        QTest::newRow("fits") << "r400 p400" << "YY";
        QTest::newRow("held until its next demo") << "r400 p400 p400 t p100 r100 p100" << "YYSHYY";
        QTest::newRow("a next demo that does not fit") << "r900 p200 r200 t r200" << "YSHY";
        QTest::newRow("closed: the next game starts clean") << "r900 p200 c t p50" << "YSYY";
        QTest::newRow("chat is dropped, nothing held") << "r900 x200 x50 p50" << "YHYY";
        QTest::newRow("another game goes on") << "r900 p200 q50" << "YSY";
    }
    void mailboxHoldsBackWholeDemos()
    {
        QFETCH(QString, steps);
        QFETCH(QString, outcomes);
        ClusterMailbox box(1000);
        QVERIFY(box.isValid());
        QString got;
        for (const QString &step : steps.split(u' ')) {
            const int n = step.mid(1).toInt();
            ClusterCall c;
            c.gameId = step[0] == u'q' ? 2 : 1;
            c.kind = ClusterCall::DemoRecord;
            if (step[0] == u't') {
                box.take();
                QCOMPARE(box.waitingBytes(), 0);
                continue;
            }
            if (step[0] == u'c') {
                c.kind = ClusterCall::GameClosed;
            } else if (step[0] == u'x') {
                c.kind = ClusterCall::ChatLine;
                c.data = QByteArray(n, 'x');
            } else {
                c.data = step[0] == u'r' ? buildDemoRestart(0) : buildDemoPacket(0, 0, "");
                c.data.append(QByteArray(n - c.data.size(), 'd'));
            }
            const ClusterMailbox::Posted p = box.post(std::move(c));
            got += p == ClusterMailbox::Posted::Yes ? u'Y' : p == ClusterMailbox::Posted::HeldBack ? u'H' : u'S';
        }
        QCOMPARE(got, outcomes);
        QCOMPARE(quint64(got.count(u'H') + got.count(u'S')), box.heldBack());
    }

    void demoFeedGivesUpAGap()
    {
        DemoFeed feed(DemoFeed::Limits{4, qint64(1) << 20});
        QStringList got;
        const auto push = [&](quint64 seq, bool start) {
            for (const auto &[s, r] : feed.push(seq, start ? buildDemoRestart(0) : buildDemoPacket(0, 0, "x")))
                got.append(QString::number(s));
        };
        push(1, true);
        push(3, false); // 2 is lost for good
        push(4, false);
        push(5, true);
        push(6, false);
        QCOMPARE(got.join(u' '), u"1"_qs);
        push(7, false); // a fifth held record: past the bound
        QCOMPARE(got.join(u' '), u"1 5 6 7"_qs);
        QCOMPARE(feed.skipped(), 2u);
        QCOMPARE(feed.heldRecords(), 0);
    }
};

QTEST_GUILESS_MAIN(TestClusterMessage)
#include "tst_clustermessage.moc"
