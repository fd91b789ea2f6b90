// What a relay the user does not control can send to a Viewer. Every case runs against a
// real ClientCore over loopback: the session goes on or ends cleanly, the receive buffer and
// the lists stay within their bounds, and no file appears outside the game directories.

#include "demolistmodel.h"
#include "gamelistmodel.h"
#include "zlibcomp.h"
#include "common/sessiondriving.h"
#include "common/testaddress.h"
#include "hostile/hostilerelay.h"
#include "hostile/hostileviewer.h"

#include <QFile>
#include <QStringListModel>
#include <QTest>
#include <QtEndian>

#include <memory>

using namespace arbelon;
using arbelon::test::HostileRelay;
using arbelon::test::HostileViewer;

namespace {

const QString kAddress = test::loopbackAddress(71);

enum Outcome { GoesOn,
               Ends,
               Blocked };

// A zero-filled record image with any type and size words.
QByteArray rawRecord(qint32 type, quint32 size, int length)
{
    QByteArray r(length, '\0');
    qToLittleEndian<qint32>(type, r.data());
    qToLittleEndian<quint32>(size, r.data() + 4);
    return r;
}

// Demo-like bytes: compressible, different for each salt.
QByteArray demoBytes(int size, int salt)
{
    QByteArray raw(size, '\0');
    quint32 x = 2463534242u + quint32(salt) * 7919u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        raw[i] = char(x % 5 == 0 ? x >> 8 : i / 32);
    }
    return raw;
}

QByteArray block(const QByteArray &raw)
{
    const CompressedBlock b = compressBlock(raw);
    return buildDemoPacket(b.crc, 0, b.data);
}

// A record whose text fields are filled to their last byte, with no NUL.
QByteArray filled(QByteArray record, int offset, int width, char c)
{
    record.replace(offset, width, QByteArray(width, c));
    return record;
}

QByteArray gameRow(quint32 id, quint32 users = 1, const QByteArray &mod = "baseq2")
{
    return buildGameInfoDetailed(id, "Other", gtQuake2, users, mod);
}

} // namespace

Q_DECLARE_METATYPE(Outcome)
Q_DECLARE_METATYPE(HostileViewer::Stage)

class TestHostileRelay : public QObject {
    Q_OBJECT

private:
    HostileRelay m_relay;
    std::unique_ptr<HostileViewer> m_viewer;
    bool m_boundsChecked = false; // the test function checked the bounds itself

    void checkOutcome(Outcome outcome, const QList<int> &answers, qsizetype buffered);

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void recordInLobby_data();
    void recordInLobby();
    void recordInEveryState_data();
    void recordInEveryState();
    void textFieldsWithoutNul();
    void cutStream_data();
    void cutStream();
    void watchedMod_data();
    void watchedMod();
    void gameIdAtItsEnds_data();
    void gameIdAtItsEnds();
    void flood_data();
    void flood();
};

void TestHostileRelay::initTestCase()
{
    QVERIFY(m_relay.listen(kAddress, kViewerPort));
}

void TestHostileRelay::init()
{
    m_viewer = std::make_unique<HostileViewer>(m_relay, kAddress);
}

void TestHostileRelay::cleanup()
{
    const QString broken = m_boundsChecked ? QString() : m_viewer->boundsBroken();
    m_boundsChecked = false;
    const QStringList stray = m_viewer->strayFiles();
    m_viewer.reset();
    QVERIFY2(broken.isEmpty(), qPrintable(broken));
    QVERIFY2(stray.isEmpty(), qPrintable(stray.join(QLatin1Char(' '))));
    QTRY_VERIFY(!m_relay.hasClient());
}

// After the attack: the answers the client gave it, then whether the session still works.
void TestHostileRelay::checkOutcome(Outcome outcome, const QList<int> &answers, qsizetype buffered)
{
    HostileViewer &v = *m_viewer;
    switch (outcome) {
    case GoesOn:
        QVERIFY(v.waitForAnswers(int(answers.size())));
        QVERIFY2(v.probeGoesOn(), "the session did not go on");
        QTRY_COMPARE(m_relay.answers().size(), answers.size() + 1);
        QCOMPARE(m_relay.answers(), answers + QList<int>{0});
        break;
    case Ends:
        QTRY_COMPARE(v.sessionsEnded(), 1);
        QTRY_VERIFY(!m_relay.hasClient());
        QCOMPARE(m_relay.answers(), answers);
        QVERIFY(v.core().connectEnabled());
        QVERIFY(!v.core().disconnectEnabled());
        break;
    case Blocked:
        QVERIFY2(v.probeBlocked(buffered), "a record behind one without a handler was handled");
        break;
    }
}

// ---- one record (or a short run) in the lobby, after a demo was announced ---------------------

void TestHostileRelay::recordInLobby_data()
{
    QTest::addColumn<QByteArray>("attack");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QList<int>>("answers");

    const QByteArray raw = demoBytes(5000, 1);
    const CompressedBlock good = compressBlock(raw);
    const QList<int> none;

    QTest::newRow("DEMOPACKET size 0") << rawRecord(DEMOPACKET, 0, 16) << Ends << none;
    QTest::newRow("DEMOPACKET size 15") << rawRecord(DEMOPACKET, 15, 16) << Ends << none;
    QTest::newRow("DEMOPACKET without data") << rawRecord(DEMOPACKET, 16, 16) << Ends << none;
    QTest::newRow("DEMOPACKET size 2^32-1") << rawRecord(DEMOPACKET, 0xffffffffu, 16) << Ends << none;
    QTest::newRow("DEMOPACKET just over 4 MiB")
        << rawRecord(DEMOPACKET, rec::kMaxDemoPacketSize + 1, 16) << Ends << none;
    {
        // The largest size taken: a good stream padded to 4 MiB is a bad block, not an error.
        QByteArray r = buildDemoPacket(good.crc, 0, good.data);
        r.append(QByteArray(qsizetype(rec::kMaxDemoPacketSize) - r.size(), 'x'));
        qToLittleEndian<quint32>(rec::kMaxDemoPacketSize, r.data() + 4);
        QTest::newRow("DEMOPACKET of 4 MiB with trailing bytes") << r << GoesOn << QList<int>{1};
    }
    QTest::newRow("zlib bomb")
        << block(QByteArray(rec::kMaxBlockInflated + 1, '\0')) << GoesOn << QList<int>{1};
    // Bytes after the end of the stream: read in with the stream they change nothing; past
    // what one read takes they leave the stream unfinished, a bad block.
    QTest::newRow("stream with a few trailing bytes")
        << buildDemoPacket(good.crc, 0, good.data + "garbage") << GoesOn << QList<int>{0};
    QTest::newRow("stream with 1 MiB trailing")
        << buildDemoPacket(good.crc, 0, good.data + QByteArray(1024 * 1024, 'g')) << GoesOn << QList<int>{1};
    QTest::newRow("stream cut short")
        << buildDemoPacket(good.crc, 0, good.data.left(good.data.size() / 2)) << GoesOn << QList<int>{1};
    QTest::newRow("wrong CRC") << buildDemoPacket(good.crc ^ 1, 0, good.data) << GoesOn << QList<int>{1};
    QTest::newRow("not zlib") << buildDemoPacket(0, 0, QByteArray(100, '\x55')) << Ends << none;
    QTest::newRow("good block") << block(raw) << GoesOn << QList<int>{0};

    QTest::newRow("game row without NUL")
        << filled(filled(gameRow(9), rec::gdGameName, rec::gdGameNameWidth, 'N'), rec::gdModName,
                  rec::gdModNameWidth, 'm')
        << GoesOn << QList<int>{0};
    QTest::newRow("chat line without NUL")
        << filled(filled(buildSendText("", ""), rec::stUserName, rec::stUserNameWidth, 'U'), rec::stText,
                  rec::stTextWidth, 'T')
        << GoesOn << QList<int>{0};
    QTest::newRow("user without NUL")
        << filled(buildUserEntered(""), rec::uiUserName, rec::uiUserNameWidth, 'U') << GoesOn << QList<int>{0};
    QTest::newRow("user left who never came") << buildUserLeft("nobody") << GoesOn << QList<int>{0};
    QTest::newRow("game id 0 and users 0") << gameRow(0, 0) << GoesOn << QList<int>{0};
    QTest::newRow("game id and users 2^32-1") << gameRow(0xffffffffu, 0xffffffffu) << GoesOn << QList<int>{0};
    QTest::newRow("game type 2^31-1")
        << buildGameInfoDetailed(5, "x", 0x7fffffff, 1, "baseq2") << GoesOn << QList<int>{0};
    QTest::newRow("removal of game 0") << buildGameRemoved(0) << GoesOn << QList<int>{0};
    QTest::newRow("removal of game 2^32-1") << buildGameRemoved(0xffffffffu) << GoesOn << QList<int>{0};
    QTest::newRow("removal of the watched game") << buildGameRemoved(1) << GoesOn << QList<int>{0};
    QTest::newRow("answer nobody asked for") << buildAckNak(0) << GoesOn << none;
    QTest::newRow("refusal nobody asked for") << buildAckNak(1) << GoesOn << none;
    QTest::newRow("two announcements in one second")
        << buildDemoRestart(0) + block(raw) + buildDemoRestart(0) + block(raw) << GoesOn
        << QList<int>{0, 0, 0, 0};

    const QList<qint32> unknown = {GAMEINFO, DATAPACKET, WATCHINGTHIS, WAITFORGAME, LEAVEGAME, USERINFO,
                                   14, -1, 0x7fffffff, qint32(0x80000000)};
    for (const qint32 type : unknown) {
        QTest::addRow("type %d", type) << rawRecord(type, 16, 16) << Blocked << none;
        QTest::addRow("type %d, size 2^32-1", type) << rawRecord(type, 0xffffffffu, 12) << Blocked << none;
    }
    QTest::newRow("HTTP request") << QByteArray("GET / HTTP/1.0\r\n\r\n") << Blocked << none;
}

void TestHostileRelay::recordInLobby()
{
    QFETCH(QByteArray, attack);
    QFETCH(Outcome, outcome);
    QFETCH(QList<int>, answers);
    HostileViewer &v = *m_viewer;
    QVERIFY(v.reach(HostileViewer::InLobby));
    m_relay.send(buildDemoRestart(0));
    QVERIFY(v.waitForAnswers(1));
    m_relay.clearRecords();

    m_relay.send(attack);
    checkOutcome(outcome, answers, attack.size());
}

// ---- every record type in every session state ---------------------------------------------

void TestHostileRelay::recordInEveryState_data()
{
    QTest::addColumn<HostileViewer::Stage>("stage");
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QList<int>>("answers");

    const QList<QPair<const char *, QByteArray>> handled = {
        {"game row", gameRow(7)},
        {"chat line", buildSendText("x", "hi")},
        {"game removed", buildGameRemoved(7)},
        {"user entered", buildUserEntered("x")},
        {"user left", buildUserLeft("x")},
    };
    for (int s = HostileViewer::AwaitHello; s <= HostileViewer::IdleAfterLobby; ++s) {
        const auto stage = HostileViewer::Stage(s);
        const QByteArray name = HostileViewer::stageName(stage).toLatin1();
        // A demo can be announced only once a game was chosen to watch.
        const bool watched = stage >= HostileViewer::InLobby;
        for (const auto &[what, record] : handled)
            QTest::addRow("%s: %s", name.constData(), what) << stage << record << GoesOn << QList<int>{0};
        QTest::addRow("%s: ACKNAK 0", name.constData()) << stage << buildAckNak(0) << GoesOn << QList<int>{};
        QTest::addRow("%s: ACKNAK 1", name.constData()) << stage << buildAckNak(1) << GoesOn << QList<int>{};
        QTest::addRow("%s: DEMORESTART", name.constData())
            << stage << buildDemoRestart(0) << (watched ? GoesOn : Ends) << (watched ? QList<int>{0} : QList<int>{});
        // A block with no demo announced has no file to go to.
        QTest::addRow("%s: DEMOPACKET", name.constData())
            << stage << block(demoBytes(100, s)) << Ends << QList<int>{};
        for (const qint32 type : std::initializer_list<qint32>{GAMEINFO, DATAPACKET, WATCHINGTHIS, WAITFORGAME, LEAVEGAME, USERINFO, 14})
            QTest::addRow("%s: type %d", name.constData(), type)
                << stage << rawRecord(type, quint32(qMax(rec::fixedSize(type), 16)), qMax(rec::fixedSize(type), 16))
                << Blocked << QList<int>{};
    }
}

void TestHostileRelay::recordInEveryState()
{
    QFETCH(HostileViewer::Stage, stage);
    QFETCH(QByteArray, record);
    QFETCH(Outcome, outcome);
    QFETCH(QList<int>, answers);
    QVERIFY(m_viewer->reach(stage));
    m_relay.send(record);
    checkOutcome(outcome, answers, record.size());
}

// ---- text fields filled to their end are read to their end, never past it ------------------------

void TestHostileRelay::textFieldsWithoutNul()
{
    HostileViewer &v = *m_viewer;
    QVERIFY(v.reach(HostileViewer::InLobby));
    // Each record is followed by bytes that must not be read into its last field.
    m_relay.send(filled(filled(gameRow(9), rec::gdGameName, rec::gdGameNameWidth, 'N'), rec::gdModName,
                        rec::gdModNameWidth, 'm')
                 + filled(filled(buildSendText("", ""), rec::stUserName, rec::stUserNameWidth, 'U'), rec::stText,
                          rec::stTextWidth, 'T')
                 + filled(buildUserEntered(""), rec::uiUserName, rec::uiUserNameWidth, 'E'));
    QVERIFY(v.waitForAnswers(3));
    QCOMPARE(m_relay.answers(), (QList<int>{0, 0, 0}));

    const GameListModel &games = *v.core().gameList();
    QCOMPARE(games.row(games.rowCount() - 1).name, QByteArray(rec::gdGameNameWidth, 'N'));
    QCOMPARE(games.row(games.rowCount() - 1).mod, QByteArray(rec::gdModNameWidth, 'm'));
    QCOMPARE(v.core().chatLines().last(), QStringLiteral("<%1> %2")
                                              .arg(QString(rec::stUserNameWidth, QLatin1Char('U')),
                                                   QString(rec::stTextWidth, QLatin1Char('T'))));
    QCOMPARE(v.core().users()->stringList().last(), QString(rec::uiUserNameWidth, QLatin1Char('E')));
}

// ---- the relay stops in the middle of a record ---------------------------------------------------

void TestHostileRelay::cutStream_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray packet = block(demoBytes(30000, 3));
    QTest::newRow("inside a header") << buildDemoRestart(0).left(7);
    QTest::newRow("after a DEMOPACKET header") << packet.left(16);
    QTest::newRow("inside a DEMOPACKET body") << packet.left(packet.size() - 1);
    QTest::newRow("inside a game row") << gameRow(3).left(40);
    QTest::newRow("inside a chat line") << buildSendText("x", "cut").left(287);
}

void TestHostileRelay::cutStream()
{
    QFETCH(QByteArray, bytes);
    HostileViewer &v = *m_viewer;
    QVERIFY(v.reach(HostileViewer::InLobby));
    m_relay.send(buildDemoRestart(0));
    QVERIFY(v.waitForAnswers(1));
    const int rows = v.core().gameList()->rowCount();
    m_relay.clearRecords();

    m_relay.send(bytes);
    QTRY_COMPARE(v.core().dispatcher().buffer().size(), bytes.size());
    QCOMPARE(v.core().gameList()->rowCount(), rows);
    m_relay.closeClient();
    QTRY_COMPARE(v.sessionsEnded(), 1);
    QVERIFY(m_relay.answers().isEmpty());
    QVERIFY(v.core().connectEnabled());
}

// ---- the watched game's mod goes into paths and onto the game's command line ---------------------

void TestHostileRelay::watchedMod_data()
{
    QTest::addColumn<qint32>("gameType");
    QTest::addColumn<QByteArray>("mod");
    QTest::addColumn<QString>("folder"); // the mod folder the demo must land in

    const QString base = QStringLiteral("baseq2");
    QTest::newRow("../../x") << qint32(gtQuake2) << QByteArray("../../x") << base;
    QTest::newRow("/abs") << qint32(gtQuake2) << QByteArray("/abs") << base;
    QTest::newRow("a b") << qint32(gtQuake2) << QByteArray("a b") << base;
    QTest::newRow("+quit") << qint32(gtQuake2) << QByteArray("+quit") << base;
    QTest::newRow("..") << qint32(gtQuake2) << QByteArray("..") << base;
    QTest::newRow("...") << qint32(gtQuake2) << QByteArray("...") << base;
    QTest::newRow("--help") << qint32(gtQuake2) << QByteArray("--help") << base;
    QTest::newRow("-x") << qint32(gtQuake2) << QByteArray("-x") << base;
    QTest::newRow("_x") << qint32(gtQuake2) << QByteArray("_x") << base;
    QTest::newRow("quake2.exe") << qint32(gtQuake2) << QByteArray("quake2.exe") << base;
    QTest::newRow("QUAKE3.EXE") << qint32(gtQuake2) << QByteArray("QUAKE3.EXE") << base;
    QTest::newRow("digit first, dots and dashes") << qint32(gtQuake2) << QByteArray("3wave-1.0") << QStringLiteral("3wave-1.0");
    QTest::newRow("empty") << qint32(gtQuake2) << QByteArray() << base;
    QTest::newRow("16 characters") << qint32(gtQuake2) << QByteArray("abcdefghijklmnop") << QStringLiteral("abcdefghijklmnop");
    QTest::newRow("17 characters, no NUL") << qint32(gtQuake2) << QByteArray("abcdefghijklmnopq") << base;
    QTest::newRow("plain") << qint32(gtQuake2) << QByteArray("ctf") << QStringLiteral("ctf");
    QTest::newRow("Quake 3 with ../../x") << qint32(gtQuake3) << QByteArray("../../x") << QStringLiteral("baseq3");
}

void TestHostileRelay::watchedMod()
{
    QFETCH(qint32, gameType);
    QFETCH(QByteArray, mod);
    QFETCH(QString, folder);
    HostileViewer &v = *m_viewer;
    QByteArray row = buildGameInfoDetailed(1, HostileViewer::kGameName, gameType, 1, mod);
    if (mod.size() >= rec::gdModNameWidth) // the field filled to its end, no NUL
        row.replace(rec::gdModName, rec::gdModNameWidth, mod.left(rec::gdModNameWidth));
    QVERIFY(v.reach(HostileViewer::Idle));
    m_relay.send(row);
    QTRY_COMPARE(v.core().gameList()->rowCount(), 1);
    arbelon::test::selectRow(v.core(), 0);
    arbelon::test::watchSelected(v.core());
    QTRY_COMPARE(m_relay.count(WAITFORGAME), 1);
    m_relay.ack();
    QTRY_COMPARE(v.core().state(), int(ssInLobby));
    m_relay.clearRecords();

    const QByteArray first = demoBytes(15000, 1);
    const QByteArray second = demoBytes(15000, 2);
    m_relay.send(buildDemoRestart(0) + block(first) + block(second));
    QVERIFY(v.waitForAnswers(3));
    QCOMPARE(m_relay.answers(), (QList<int>{0, 0, 0}));

    const QString ext = gameType == gtQuake3 ? QStringLiteral(".dm3") : QStringLiteral(".dm2");
    const QString name = HostileViewer::demoName() + ext;
    QFile demo(v.gameDir(gameType) + folder + QStringLiteral("/demos/") + name);
    QVERIFY2(demo.open(QIODevice::ReadOnly), qPrintable(demo.fileName()));
    QCOMPARE(demo.readAll(), first + second);

    QCOMPARE(v.core().demoList()->rowCount(), 1);
    v.core().playDemo(0, arbelon::PlayFrom::Auto);
    QCOMPARE(v.starter().launches.size(), 1);
    const QStringList expected = gameType == gtQuake3
                                     ? QStringList{QStringLiteral("+demo"), name}
                                     : QStringList{QStringLiteral("+set"), QStringLiteral("game"), folder, QStringLiteral("+map"), name};
    QCOMPARE(v.starter().launches.first().arguments, expected);
    QCOMPARE(v.starter().launches.first().workingDirectory, v.gameDir(gameType));
}

// ---- ids at the ends of their range travel bit for bit ---------------------------------------------

void TestHostileRelay::gameIdAtItsEnds_data()
{
    QTest::addColumn<quint32>("id");
    QTest::newRow("0") << 0u;
    QTest::newRow("2^31") << 0x80000000u;
    QTest::newRow("2^32-1") << 0xffffffffu;
}

void TestHostileRelay::gameIdAtItsEnds()
{
    QFETCH(quint32, id);
    HostileViewer &v = *m_viewer;
    QVERIFY(v.reach(HostileViewer::Idle));
    m_relay.send(gameRow(id, 0xffffffffu));
    QTRY_COMPARE(v.core().gameList()->rowCount(), 1);
    QCOMPARE(v.core().gameList()->row(0).users, 0xffffffffu);
    arbelon::test::selectRow(v.core(), 0);
    arbelon::test::watchSelected(v.core());
    QTRY_COMPARE(m_relay.count(WAITFORGAME), 1);
    const QByteArray request = m_relay.records.last();
    QCOMPARE(readU32(request, rec::wgGameId), id);
    m_relay.send(buildGameRemoved(id));
    QTRY_COMPARE(v.core().gameList()->rowCount(), 0);
}

// ---- floods: memory stays bounded however much is sent -------------------------------------------

void TestHostileRelay::flood_data()
{
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("kind");

    enum { Garbage,
           Games,
           Users,
           Chat,
           Restarts };
    // Each list flood sends half as many records again as a list may hold.
    const qint64 n = HostileViewer::kListBound * 3 / 2;
    QTest::newRow("16 MiB behind a record without a handler")
        << rawRecord(14, 16, 16) << qint64(16) * 1024 * 1024 << int(Garbage);
    QTest::newRow("a DEMOPACKET waiting for its last byte")
        << rawRecord(DEMOPACKET, rec::kMaxDemoPacketSize, 16) << qint64(rec::kMaxDemoPacketSize) - 17 << int(Garbage);
    QTest::newRow("games") << QByteArray() << n * rec::kGameInfoDetailedSize << int(Games);
    QTest::newRow("users") << QByteArray() << n * rec::kUserRecordSize << int(Users);
    QTest::newRow("chat lines") << QByteArray() << n * rec::kSendTextSize << int(Chat);
    QTest::newRow("demo announcements") << QByteArray() << n * rec::kDemoRestartSize << int(Restarts);
}

void TestHostileRelay::flood()
{
    QFETCH(QByteArray, prefix);
    QFETCH(qint64, total);
    QFETCH(int, kind);
    HostileViewer &v = *m_viewer;
    QVERIFY(v.reach(HostileViewer::InLobby));
    m_relay.send(prefix);

    // Pieces of a thousand records each, every record different.
    m_relay.flood(
        [kind](qint64 index) {
            QByteArray piece;
            for (int i = 0; i < 1000; ++i) {
                const quint32 n = quint32(index * 1000 + i + 100);
                const QByteArray tag = "n" + QByteArray::number(n);
                switch (kind) {
                case 1: piece += gameRow(n); break;
                case 2: piece += buildUserEntered(tag); break;
                case 3: piece += buildSendText("relay", tag); break;
                case 4: piece += buildDemoRestart(qint32(n)); break;
                default: piece += QByteArray(64, 'g'); break;
                }
            }
            return piece;
        },
        total);
    QTRY_VERIFY_WITH_TIMEOUT(!m_relay.flooding(), 600000);

    if (kind == 0) {
        // Nothing is ever answered: once the relay closes, everything sent has been read.
        m_relay.closeClient();
        QTRY_VERIFY_WITH_TIMEOUT(v.ended(), 120000);
    } else {
        const int records = int(total / (kind == 1 ? rec::kGameInfoDetailedSize : kind == 2 ? rec::kUserRecordSize
                                                                              : kind == 3   ? rec::kSendTextSize
                                                                                            : rec::kDemoRestartSize));
        QTRY_VERIFY_WITH_TIMEOUT(v.ended() || m_relay.answers().size() == records, 600000);
    }
    m_boundsChecked = true;
    const QString broken = v.boundsBroken();
    QVERIFY2(broken.isEmpty(), qPrintable(broken));
}

QTEST_GUILESS_MAIN(TestHostileRelay)
#include "tst_hostilerelay.moc"
