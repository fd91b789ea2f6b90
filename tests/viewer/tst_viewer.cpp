// A Viewer receiving demos from a scripted relay over loopback, and playing them.

#include "clientcore.h"
#include "demolistmodel.h"
#include "eventfeedmodel.h"
#include "gamelistmodel.h"
#include "gamerunning.h"
#include "programstarter.h"
#include "viewerdemofile.h"
#include "viewerreception.h"
#include "common/demoreading.h"
#include "common/q3demos.h"
#include "common/sessiondriving.h"
#include "common/fakerelay.h"
#include "q3codec.h"
#include "viewerlive.h"
#include "common/testaddress.h"
#include "common/testdoubles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <zlib.h>

#include <csignal>
#ifndef Q_OS_WIN
#include <sys/resource.h>
#endif

using namespace arbelon;
using arbelon::test::FakeRelay;
using arbelon::test::RecordingStarter;
using arbelon::test::ScriptedPrompts;

namespace {

const QString kAddr = test::loopbackAddress(21);
constexpr int kWaitMs = 15000;
const QDateTime kT1(QDate(2027, 2, 1), QTime(9, 5, 7));
const QString kName1 = QStringLiteral("ABC010227_090507");

// Deterministic bytes that differ from block to block.
QByteArray demoBytes(int size, quint32 seed)
{
    QByteArray b(size, Qt::Uninitialized);
    quint32 x = 2463534242u ^ (seed * 2654435761u);
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = char((x & 0x1f) + (i % 11));
    }
    return b;
}

QByteArray zlibStream(QByteArrayView raw)
{
    uLongf n = compressBound(uLong(raw.size()));
    QByteArray out(qsizetype(n), Qt::Uninitialized);
    const int rc = compress2(reinterpret_cast<Bytef *>(out.data()), &n,
                             reinterpret_cast<const Bytef *>(raw.data()), uLong(raw.size()),
                             Z_DEFAULT_COMPRESSION);
    Q_ASSERT(rc == Z_OK);
    out.resize(qsizetype(n));
    return out;
}

// A complete zlib stream that needs a preset dictionary to be read.
QByteArray zlibStreamWithDictionary(QByteArrayView raw)
{
    z_stream zs{};
    deflateInit(&zs, Z_DEFAULT_COMPRESSION);
    static const char dict[] = "a preset dictionary";
    deflateSetDictionary(&zs, reinterpret_cast<const Bytef *>(dict), sizeof dict - 1);
    QByteArray out(qsizetype(deflateBound(&zs, uLong(raw.size()))), Qt::Uninitialized);
    zs.next_in = const_cast<Bytef *>(reinterpret_cast<const Bytef *>(raw.data()));
    zs.avail_in = uInt(raw.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(qsizetype(zs.total_out));
    deflateEnd(&zs);
    return out;
}

// A demo of four blocks, each of other bytes.
QList<QByteArray> demoBlocks()
{
    QList<QByteArray> blocks;
    for (int i = 0; i < 4; ++i)
        blocks.append(demoBytes(9000 + i * 1000, quint32(i)));
    return blocks;
}

quint32 crcOf(QByteArrayView raw)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef *>(raw.data()), uInt(raw.size())));
}

QByteArray goodPacket(QByteArrayView raw)
{
    return buildDemoPacket(crcOf(raw), 0, zlibStream(raw));
}

// A DEMOPACKET header announcing size bytes, followed by nothing.
QByteArray demoPacketHeader(quint32 size)
{
    QByteArray r = newRecord(DEMOPACKET, rec::kDemoPacketHeaderSize);
    writeU32(r, rec::offSize, size);
    return r;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every file and folder below root, relative to it, sorted.
QStringList entriesUnder(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out.append(QDir(root).relativeFilePath(it.next()));
    out.sort();
    return out;
}

// A relay, a Viewer core and two empty game directories under one temporary folder.
struct Rig {
    QTemporaryDir root;
    QString q2;
    QString q3;
    FakeRelay relay;
    ScriptedPrompts prompts;
    RecordingStarter starter;
    FakeGameRunningCheck running;
    QDateTime now = kT1;
    ClientCore core; // destroyed first

    Rig()
    {
        q2 = root.path() + QStringLiteral("/q2/");
        q3 = root.path() + QStringLiteral("/q3/");
        QDir().mkpath(q2 + QStringLiteral("baseq2"));
        QDir().mkpath(q3 + QStringLiteral("baseq3"));
        core.setPrompts(&prompts);
        core.setProgramStarter(&starter);
        core.setGameRunningCheck(&running);
        // The Viewer asks through the core's prompts, as the window's do.
        core.viewer().setConfirm([this](const QString &q) { return prompts.confirm(q); });
        core.setClock([this] { return now; });
        core.settings().userName = QStringLiteral("viewer");
        core.settings().quake2Dir = q2;
        core.settings().quake3Dir = q3;
    }
    QString demoPath(const QString &name, int type = 0, const QString &mod = QStringLiteral("baseq2")) const
    {
        return type == 1 ? q3 + QStringLiteral("baseq3/demos/") + name + QStringLiteral(".dm3")
                         : q2 + mod + QStringLiteral("/demos/") + name + QStringLiteral(".dm2");
    }
    QStringList rowNames() const
    {
        QStringList out;
        for (int i = 0; i < core.demoList()->rowCount(); ++i)
            out.append(core.demoList()->name(i));
        return out;
    }
};

// Connects through the connect dialog, lists one game and watches it.
bool enterLobby(Rig &rig, const QByteArray &game = "abc", qint32 type = 0,
                const QByteArray &mod = "baseq2")
{
    if (!rig.relay.listen(kAddr, kViewerPort))
        return false;
    ConnectValues v;
    v.serverAddress = kAddr;
    v.role = Role::Viewer;
    rig.prompts.answers.append(v);
    rig.core.connectWithDialog();
    if (!QTest::qWaitFor([&] { return rig.relay.count(USERINFO) == 1; }, kWaitMs))
        return false;
    rig.relay.ack();
    if (!QTest::qWaitFor([&] { return rig.core.state() == ssIdle; }, kWaitMs))
        return false;
    rig.relay.send(buildGameInfoDetailed(7, game, type, 1, mod));
    if (!QTest::qWaitFor([&] { return rig.relay.count(ACKNAK) == 1; }, kWaitMs))
        return false;
    arbelon::test::selectRow(rig.core, 0);
    arbelon::test::watchSelected(rig.core);
    if (!QTest::qWaitFor([&] { return rig.relay.count(WAITFORGAME) == 1; }, kWaitMs))
        return false;
    rig.relay.ack();
    return QTest::qWaitFor([&] { return rig.core.state() == ssInLobby; }, kWaitMs);
}

// The game times of a demo's snapshots, in order.
QList<qint64> snapshotTimes(QByteArrayView demo)
{
    QList<qint64> times;
    const auto codec = demo::makeCodec(demo::Game::Quake3);
    test::readMessages(*codec, demo, [&](const test::DemoMessage &m) {
        if (m.info.snapshot)
            times.append(m.info.serverTimeMs);
    });
    return times;
}

// Sends one record; the Result of the ACKNAK that answers it, or -1 when none comes.
int exchange(Rig &rig, const QByteArray &record)
{
    const int before = rig.relay.count(ACKNAK);
    rig.relay.send(record);
    if (!QTest::qWaitFor([&] { return rig.relay.count(ACKNAK) > before; }, kWaitMs))
        return -1;
    return AckNakReader{rig.relay.recordsOf(ACKNAK).last()}.result();
}

// Sends one record; true when the client ends the session without answering it.
bool endsSession(Rig &rig, const QByteArray &record)
{
    const int before = rig.relay.count(ACKNAK);
    rig.relay.send(record);
    return QTest::qWaitFor([&] { return !rig.core.connected(); }, kWaitMs)
           && rig.relay.count(ACKNAK) == before;
}

} // namespace

class TestViewer : public QObject {
    Q_OBJECT

private slots:
    void demoArrivesByteIdentical_data()
    {
        QTest::addColumn<QByteArray>("game");
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("mod");
        QTest::addColumn<QString>("expected");   // below the temporary folder
        QTest::addColumn<bool>("dropSeparator"); // a hand-edited folder without its final "/"
        QTest::newRow("quake2 baseq2") << QByteArray("abc") << 0 << QByteArray("baseq2")
                                       << QStringLiteral("q2/baseq2/demos/ABC010227_090507.dm2") << false;
        QTest::newRow("quake2 ctf, name with blank and hash")
            << QByteArray("Duel #3") << 0 << QByteArray("ctf")
            << QStringLiteral("q2/ctf/demos/DUEL__3010227_090507.dm2") << false;
        QTest::newRow("quake3 never uses the mod") << QByteArray("abc") << 1 << QByteArray("osp")
                                                   << QStringLiteral("q3/baseq3/demos/ABC010227_090507.dm3") << false;
        QTest::newRow("quake2 folder without final separator")
            << QByteArray("abc") << 0 << QByteArray("baseq2")
            << QStringLiteral("q2/baseq2/demos/ABC010227_090507.dm2") << true;
        QTest::newRow("quake3 folder without final separator")
            << QByteArray("abc") << 1 << QByteArray("baseq3")
            << QStringLiteral("q3/baseq3/demos/ABC010227_090507.dm3") << true;
    }
    void demoArrivesByteIdentical()
    {
        QFETCH(QByteArray, game);
        QFETCH(int, type);
        QFETCH(QByteArray, mod);
        QFETCH(QString, expected);
        QFETCH(bool, dropSeparator);
        Rig rig;
        if (dropSeparator) {
            rig.core.settings().quake2Dir.chop(1);
            rig.core.settings().quake3Dir.chop(1);
        }
        QVERIFY(enterLobby(rig, game, type, mod));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        QByteArray all;
        for (int i = 0; i < 4; ++i) {
            const QByteArray raw = demoBytes(9000 + i * 1000, quint32(i));
            all += raw;
            QCOMPARE(exchange(rig, goodPacket(raw)), 0);
            QCOMPARE(rig.core.dataInLabel(), QString::number(all.size()));
        }
        QCOMPARE(readAll(rig.root.filePath(expected)), all);
        QVERIFY(rig.core.viewer().demoFileOpen());
        const QString name = QFileInfo(expected).completeBaseName();
        QCOMPARE(rig.rowNames(), QStringList{name});
        QCOMPARE(rig.core.demo().listedNames, QStringList{name});
        QCOMPARE(rig.core.demoList()->dataText(0), QStringLiteral("42k "));
    }

    void listThreshold_data()
    {
        QTest::addColumn<QList<int>>("blocks");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QString>("data");
        QTest::newRow("exactly 20000") << QList<int>{20000} << 0 << QString();
        QTest::newRow("20001") << QList<int>{20001} << 1 << QStringLiteral("20k ");
        QTest::newRow("20000 then one byte") << QList<int>{20000, 1} << 1 << QStringLiteral("20k ");
        QTest::newRow("small blocks stay below") << QList<int>{5000, 5000, 5000, 4999} << 0 << QString();
        QTest::newRow("123456 drops the remainder") << QList<int>{60000, 63456} << 1
                                                    << QStringLiteral("123k ");
    }
    void listThreshold()
    {
        QFETCH(QList<int>, blocks);
        QFETCH(int, rows);
        QFETCH(QString, data);
        Rig rig;
        QVERIFY(enterLobby(rig));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        qint64 total = 0;
        for (int i = 0; i < blocks.size(); ++i) {
            QCOMPARE(exchange(rig, goodPacket(demoBytes(blocks[i], quint32(i)))), 0);
            total += blocks[i];
        }
        QCOMPARE(QFileInfo(rig.demoPath(kName1)).size(), total);
        QCOMPARE(rig.core.demoList()->rowCount(), rows);
        QCOMPARE(rig.core.demo().listedNames.size(), rows);
        if (rows > 0)
            QCOMPARE(rig.core.demoList()->dataText(0), data);
    }

    void badCrcChangesNothing_data()
    {
        QTest::addColumn<int>("before");
        QTest::newRow("first block of a demo") << 0;
        QTest::newRow("after a listed block") << 25000;
    }
    void badCrcChangesNothing()
    {
        QFETCH(int, before);
        Rig rig;
        QVERIFY(enterLobby(rig));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        const QByteArray first = demoBytes(before, 1);
        if (before > 0)
            QCOMPARE(exchange(rig, goodPacket(first)), 0);
        const QString label = rig.core.dataInLabel();
        const QStringList rows = rig.rowNames();
        const QString data = rows.isEmpty() ? QString() : rig.core.demoList()->dataText(0);

        const QByteArray raw = demoBytes(30000, 2);
        QCOMPARE(exchange(rig, buildDemoPacket(crcOf(raw) ^ 1u, 0, zlibStream(raw))), 1);
        QCOMPARE(QFile::exists(rig.demoPath(kName1)), before > 0);
        QCOMPARE(readAll(rig.demoPath(kName1)), first);
        QCOMPARE(rig.core.dataInLabel(), label);
        QCOMPARE(rig.rowNames(), rows);
        if (!rows.isEmpty())
            QCOMPARE(rig.core.demoList()->dataText(0), data);

        const QByteArray next = demoBytes(21000, 3);
        QCOMPARE(exchange(rig, goodPacket(next)), 0);
        QCOMPARE(readAll(rig.demoPath(kName1)), first + next);
        QCOMPARE(rig.core.dataInLabel(), QString::number(first.size() + next.size()));
    }

    // Blocks that cannot be taken are refused with Result 1; the session goes on.
    void badBlockIsRefused_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QByteArray bomb(17 * 1024 * 1024, '\0');
        QTest::newRow("zlib bomb beyond 16 MiB") << buildDemoPacket(crcOf(bomb), 0, zlibStream(bomb));
        const QByteArray raw = demoBytes(30000, 4);
        QTest::newRow("needs a dictionary")
            << buildDemoPacket(crcOf(raw), 0, zlibStreamWithDictionary(raw));
        const QByteArray stream = zlibStream(raw);
        QTest::newRow("truncated stream") << buildDemoPacket(crcOf(raw), 0, stream.first(stream.size() / 2));
    }
    void badBlockIsRefused()
    {
        QFETCH(QByteArray, packet);
        Rig rig;
        QVERIFY(enterLobby(rig));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        QCOMPARE(exchange(rig, packet), 1);
        QVERIFY(!QFile::exists(rig.demoPath(kName1)));
        QCOMPARE(rig.core.dataInLabel(), QStringLiteral("0"));
        const QByteArray next = demoBytes(1000, 5);
        QCOMPARE(exchange(rig, goodPacket(next)), 0);
        QCOMPARE(readAll(rig.demoPath(kName1)), next);
    }

    // Records that end the session unanswered, with nothing written.
    void sessionEndingPacket_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::newRow("PacketSize 15") << demoPacketHeader(15);
        QTest::newRow("PacketSize 0") << demoPacketHeader(0);
        // Refused from the header alone: the body is never waited for.
        QTest::newRow("PacketSize 4 MiB + 1") << demoPacketHeader(rec::kMaxDemoPacketSize + 1);
        QTest::newRow("PacketSize 0xffffffff") << demoPacketHeader(0xffffffffu);
        QTest::newRow("no data at all") << demoPacketHeader(16);
        QTest::newRow("corrupt zlib data")
            << buildDemoPacket(0, 0, QByteArray("this is not a zlib stream at all"));
    }
    void sessionEndingPacket()
    {
        QFETCH(QByteArray, packet);
        Rig rig;
        QVERIFY(enterLobby(rig));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        QVERIFY(endsSession(rig, packet));
        QCOMPARE(entriesUnder(rig.root.path()), (QStringList{QStringLiteral("q2"), QStringLiteral("q2/baseq2"), QStringLiteral("q3"), QStringLiteral("q3/baseq3")}));
    }

    void blockBeforeAnyDemoEndsSession()
    {
        Rig rig;
        QVERIFY(enterLobby(rig));
        QVERIFY(endsSession(rig, goodPacket(demoBytes(25000, 1))));
        QCOMPARE(entriesUnder(rig.root.path()), (QStringList{QStringLiteral("q2"), QStringLiteral("q2/baseq2"), QStringLiteral("q3"), QStringLiteral("q3/baseq3")}));
        QCOMPARE(rig.core.dataInLabel(), QStringLiteral("0"));
    }

    // The next file opened takes the older path; rows use the newest name.
    void twoRestartsWithoutBlock()
    {
        Rig rig;
        QVERIFY(enterLobby(rig));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        rig.now = kT1.addSecs(2);
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        const QString nameB = QStringLiteral("ABC010227_090509");
        QCOMPARE(rig.core.demo().pending,
                 (QStringList{rig.demoPath(kName1), rig.demoPath(nameB)}));

        const QByteArray a = demoBytes(25000, 1);
        QCOMPARE(exchange(rig, goodPacket(a)), 0);
        QCOMPARE(readAll(rig.demoPath(kName1)), a);
        QVERIFY(!QFile::exists(rig.demoPath(nameB)));
        QCOMPARE(rig.rowNames(), QStringList{nameB});
        QCOMPARE(rig.core.demo().pending, QStringList{rig.demoPath(nameB)});

        rig.now = kT1.addSecs(4);
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        const QByteArray b = demoBytes(21000, 2);
        QCOMPARE(exchange(rig, goodPacket(b)), 0);
        QCOMPARE(readAll(rig.demoPath(nameB)), b);
        QCOMPARE(readAll(rig.demoPath(kName1)), a);
        QCOMPARE(rig.rowNames(), (QStringList{nameB, QStringLiteral("ABC010227_090511")}));
        QCOMPARE(rig.core.demo().listedNames, rig.rowNames());
    }

    // Announcements without blocks wait up to a bound; each is still answered, and the
    // first block still takes the oldest.
    void announcementsWithoutBlocksStayBounded()
    {
        Rig rig;
        QVERIFY(enterLobby(rig));
        const int n = ViewerReception::kMaxPending + 5;
        QByteArray restarts;
        for (int i = 0; i < n; ++i)
            restarts += buildDemoRestart(0);
        const int before = rig.relay.count(ACKNAK);
        rig.relay.send(restarts);
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.count(ACKNAK), before + n, kWaitMs);
        QCOMPARE(rig.core.demo().pending.size(), ViewerReception::kMaxPending);
        const QByteArray a = demoBytes(1000, 1);
        QCOMPARE(exchange(rig, goodPacket(a)), 0);
        QCOMPARE(readAll(rig.demoPath(kName1)), a);
        QCOMPARE(rig.core.demo().pending.size(), ViewerReception::kMaxPending - 1);
    }

    // A second demo with the same name never destroys the first; it gets NAME_2.
    void sameNameSameSecondKeepsBoth()
    {
        Rig rig;
        QVERIFY(enterLobby(rig));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        const QByteArray a = demoBytes(25000, 1);
        QCOMPARE(exchange(rig, goodPacket(a)), 0);
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        const QByteArray b = demoBytes(21000, 2);
        QCOMPARE(exchange(rig, goodPacket(b)), 0);

        const QString second = kName1 + QStringLiteral("_2");
        QCOMPARE(readAll(rig.demoPath(kName1)), a);
        QCOMPARE(readAll(rig.demoPath(second)), b);
        QCOMPARE(rig.rowNames(), (QStringList{kName1, second}));
        rig.core.playDemo(1, arbelon::PlayFrom::Auto);
        QCOMPARE(rig.starter.launches.size(), 1);
        QCOMPARE(rig.starter.launches[0].arguments.last(), second + QStringLiteral(".dm2"));
    }

    void doubleClickOlderRow_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("exe");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("starts");
        QTest::newRow("quake2") << 0 << QStringLiteral("quake2.exe")
                                << QStringList{QStringLiteral("+set"), QStringLiteral("game"),
                                               QStringLiteral("ctf"), QStringLiteral("+map"),
                                               kName1 + QStringLiteral(".dm2")}
                                << true;
        QTest::newRow("quake3") << 1 << QStringLiteral("quake3.exe")
                                << QStringList{QStringLiteral("+demo"), kName1 + QStringLiteral(".dm3")} << true;
        // A start that fails is told, not swallowed.
        QTest::newRow("quake3, start fails") << 1 << QStringLiteral("quake3.exe")
                                             << QStringList{QStringLiteral("+demo"), kName1 + QStringLiteral(".dm3")}
                                             << false;
    }
    void doubleClickOlderRow()
    {
        QFETCH(int, type);
        QFETCH(QString, exe);
        QFETCH(QStringList, arguments);
        QFETCH(bool, starts);
        Rig rig;
        rig.starter.result = starts;
        QSignalSpy notices(&rig.core, &ClientCore::noticeLine);
        QVERIFY(enterLobby(rig, "abc", type, "ctf"));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        QCOMPARE(exchange(rig, goodPacket(demoBytes(25000, 1))), 0);
        rig.now = kT1.addSecs(60);
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        QCOMPARE(exchange(rig, goodPacket(demoBytes(21000, 2))), 0);
        const QStringList rows = rig.rowNames();
        QCOMPARE(rows.size(), 2);

        rig.core.playDemo(-1, arbelon::PlayFrom::Auto); // nothing selected
        rig.core.playDemo(2, arbelon::PlayFrom::Auto);  // past the last row
        QVERIFY(rig.starter.launches.isEmpty());

        rig.core.playDemo(0, arbelon::PlayFrom::Auto);
        QCOMPARE(rig.starter.launches.size(), 1);
        const QString gameDir = type == 1 ? rig.q3 : rig.q2;
        QCOMPARE(rig.starter.launches[0].program, gameDir + exe);
        QCOMPARE(rig.starter.launches[0].arguments, arguments);
        QCOMPARE(rig.starter.launches[0].workingDirectory, gameDir);
        QCOMPARE(notices.size(), starts ? 0 : 1);
        if (!starts)
            QCOMPARE(notices.at(0).at(0).toString(), QStringLiteral("Cannot start ") + gameDir + exe);
        QVERIFY(QFile::exists(rig.demoPath(kName1, type, QStringLiteral("ctf"))));
        // The demo under way goes on into its own file; no row is added or renamed.
        QCOMPARE(exchange(rig, goodPacket(demoBytes(1000, 3))), 0);
        QCOMPARE(rig.rowNames(), rows);
        QCOMPARE(rig.core.demo().currentDemoName, rows.last());
    }

    // A start while the game runs is asked about first; No starts nothing.
    void secondStartAsksFirst_data()
    {
        QTest::addColumn<QString>("runs"); // "own": the game this client started; "other": one found
        QTest::addColumn<bool>("yes");
        QTest::addColumn<int>("launches"); // of two starts
        QTest::addColumn<int>("questions");
        QTest::newRow("nothing runs") << QString() << false << 2 << 0;
        QTest::newRow("its game runs, No") << QStringLiteral("own") << false << 1 << 1;
        QTest::newRow("its game runs, Yes") << QStringLiteral("own") << true << 2 << 1;
        QTest::newRow("the game runs already, No") << QStringLiteral("other") << false << 0 << 2;
        QTest::newRow("the game runs already, Yes") << QStringLiteral("other") << true << 2 << 2;
    }
    void secondStartAsksFirst()
    {
        QFETCH(QString, runs);
        QFETCH(bool, yes);
        QFETCH(int, launches);
        QFETCH(int, questions);
        Rig rig;
        rig.starter.keepsRunning = runs == QStringLiteral("own");
        rig.running.setRunning(runs == QStringLiteral("other"));
        rig.prompts.confirmAnswer = yes;
        QVERIFY(enterLobby(rig));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        QCOMPARE(exchange(rig, goodPacket(demoBytes(25000, 1))), 0);
        rig.core.viewer().DemoListDblClick(0);
        rig.core.viewer().playFromStart(0);
        QCOMPARE(rig.starter.launches.size(), launches);
        QCOMPARE(rig.prompts.questions.size(), questions);
        QCOMPARE(rig.prompts.questions.filter(rig.core.gameInstall(GameType::Quake2).engine.title
                                              + QStringLiteral(" is already running. Start it again with this demo?"))
                     .size(),
                 questions);
    }

    // Joining a game again brings its demo again from the start: an earlier file of it is
    // taken up and completed, checked byte by byte; a file of any other demo stays as it was.
    void earlierCopyIsTakenUp_data()
    {
        QTest::addColumn<int>("before");      // blocks a first visit received
        QTest::addColumn<QString>("planted"); // a file there before
        QTest::addColumn<QByteArray>("plantedBytes");
        const QByteArray whole = demoBlocks().join();
        QTest::newRow("after the whole demo") << 4 << QString() << QByteArray();
        QTest::newRow("after a part of it") << 2 << QString() << QByteArray();
        QTest::newRow("same game, other bytes") << 0 << QStringLiteral("ABC311226_235959.dm2") << demoBytes(40000, 9);
        QTest::newRow("same first block, then other bytes")
            << 0 << QStringLiteral("ABC311226_235959.dm2") << demoBlocks().first() + demoBytes(20000, 9);
        QTest::newRow("a live copy") << 0 << QStringLiteral("ABC311226_235959.live.dm2") << whole;
        QTest::newRow("another game's demo") << 0 << QStringLiteral("ABCD311226_235959.dm2") << whole;
    }
    void earlierCopyIsTakenUp()
    {
        QFETCH(int, before);
        QFETCH(QString, planted);
        QFETCH(QByteArray, plantedBytes);
        QTemporaryDir games;
        const QString demos = games.filePath(QStringLiteral("q2/baseq2/demos/"));
        QVERIFY(QDir().mkpath(demos));
        QFile f(demos + planted);
        QVERIFY(planted.isEmpty() || (f.open(QIODevice::WriteOnly) && f.write(plantedBytes) == plantedBytes.size()));
        f.close();
        const QList<QByteArray> blocks = demoBlocks();
        QStringList notices;
        // Each visit is a session of its own, as after the client started again.
        const auto visit = [&](int n, const QDateTime &when) {
            Rig rig;
            rig.core.settings().quake2Dir = games.filePath(QStringLiteral("q2/"));
            rig.now = when;
            QSignalSpy told(&rig.core, &ClientCore::noticeLine);
            bool ok = enterLobby(rig) && exchange(rig, buildDemoRestart(0)) == 0;
            for (int i = 0; ok && i < n; ++i)
                ok = exchange(rig, goodPacket(blocks[i])) == 0;
            for (const QList<QVariant> &line : std::as_const(told))
                notices.append(line.at(0).toString());
            return ok;
        };
        QVERIFY(before == 0 || visit(before, kT1));
        QVERIFY(visit(4, kT1.addSecs(3600)));
        const QString exact = before > 0 ? kName1 + QStringLiteral(".dm2") : QStringLiteral("ABC010227_100507.dm2");
        QCOMPARE(QDir(demos).entryList(QDir::Files, QDir::Name),
                 (planted.isEmpty() ? QStringList{exact} : QStringList{exact, planted}));
        QCOMPARE(readAll(demos + exact), blocks.join());
        QCOMPARE(readAll(demos + planted), plantedBytes);
        // The path as the system writes it (demos\NAME.dm2 on Windows).
        const QString resumed = QStringLiteral("Resuming %1 (%2 bytes already here)")
                                    .arg(QDir::toNativeSeparators(QStringLiteral("demos/") + kName1 + QStringLiteral(".dm2")))
                                    .arg(blocks.mid(0, before).join().size());
        QCOMPARE(notices.count(resumed), before > 0 ? 1 : 0);
    }

    void realStarterRunsGameInItsDirectory()
    {
#ifdef Q_OS_WIN
        QSKIP("the game here is a shell script; the Windows start is run end to end by tools/windows/test.sh");
#else
        Rig rig;
        DetachedProgramStarter real;
        rig.core.setProgramStarter(&real);
        // A stand-in game that records its working directory and arguments, one a line.
        QFile game(rig.q2 + QStringLiteral("quake2.exe"));
        QVERIFY(game.open(QIODevice::WriteOnly));
        game.write("#!/bin/sh\n"
                   "out=\"$(dirname \"$0\")/launch\"\n"
                   "{ pwd -P; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > \"$out.tmp\"\n"
                   "mv \"$out.tmp\" \"$out.txt\"\n");
        game.close();
        QVERIFY(game.setPermissions(game.permissions() | QFileDevice::ExeOwner));

        QVERIFY(enterLobby(rig));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        QCOMPARE(exchange(rig, goodPacket(demoBytes(25000, 1))), 0);
        rig.core.playDemo(0, arbelon::PlayFrom::Auto);
        const QString record = rig.q2 + QStringLiteral("launch.txt");
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), kWaitMs);
        const QStringList lines = QString::fromUtf8(readAll(record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines, (QStringList{QDir(rig.q2).canonicalPath(), QStringLiteral("+set"),
                                     QStringLiteral("game"), QStringLiteral("baseq2"),
                                     QStringLiteral("+map"), kName1 + QStringLiteral(".dm2")}));
#endif
    }

    // Another process reads the file while the Viewer keeps it open and appends to it.
    void fileReadableWhileGrowing()
    {
#ifdef Q_OS_WIN
        QSKIP("cat reads the file here; the Windows sharing is checked in tst_win32platform");
#else
        Rig rig;
        QVERIFY(enterLobby(rig));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        QByteArray all;
        for (int i = 0; i < 3; ++i) {
            const QByteArray raw = demoBytes(8000, quint32(i));
            all += raw;
            QCOMPARE(exchange(rig, goodPacket(raw)), 0);
            QVERIFY(rig.core.viewer().demoFileOpen());
            QProcess cat;
            cat.start(QStringLiteral("cat"), {rig.demoPath(kName1)});
            QVERIFY(cat.waitForFinished(kWaitMs));
            QCOMPARE(cat.exitCode(), 0);
            QCOMPARE(cat.readAllStandardOutput(), all);
        }
#endif
    }

    void hostileModStaysInside_data()
    {
        QTest::addColumn<QByteArray>("mod");
        QTest::newRow("climbs out") << QByteArray("../../x");
        QTest::newRow("extra argument") << QByteArray("baseq2 +quit");
        QTest::newRow("parent folder") << QByteArray("..");
        QTest::newRow("nested folder") << QByteArray("a/b");
        QTest::newRow("absolute") << QByteArray("/tmp");
    }
    void hostileModStaysInside()
    {
        QFETCH(QByteArray, mod);
        Rig rig;
        QVERIFY(enterLobby(rig, "abc", 0, mod));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        QCOMPARE(exchange(rig, goodPacket(demoBytes(25000, 1))), 0);
        const QString file = QStringLiteral("q2/baseq2/demos/") + kName1 + QStringLiteral(".dm2");
        QCOMPARE(entriesUnder(rig.root.path()),
                 (QStringList{QStringLiteral("q2"), QStringLiteral("q2/baseq2"),
                              QStringLiteral("q2/baseq2/demos"), file, QStringLiteral("q3"),
                              QStringLiteral("q3/baseq3")}));
        rig.core.playDemo(0, arbelon::PlayFrom::Auto);
        QCOMPARE(rig.starter.launches.size(), 1);
        QCOMPARE(rig.starter.launches[0].arguments,
                 (QStringList{QStringLiteral("+set"), QStringLiteral("game"), QStringLiteral("baseq2"),
                              QStringLiteral("+map"), kName1 + QStringLiteral(".dm2")}));
    }

    void demoClosedWhenLeavingOrEnding_data()
    {
        QTest::addColumn<bool>("leave");
        QTest::newRow("leaving the lobby") << true;
        QTest::newRow("end of the session") << false;
    }
    void demoClosedWhenLeavingOrEnding()
    {
        QFETCH(bool, leave);
        Rig rig;
        QVERIFY(enterLobby(rig));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        const QByteArray a = demoBytes(25000, 1);
        QCOMPARE(exchange(rig, goodPacket(a)), 0);
        QVERIFY(rig.core.viewer().demoFileOpen());
        if (leave) {
            rig.core.leaveLobby();
            QTRY_COMPARE_WITH_TIMEOUT(rig.relay.count(LEAVEGAME), 1, kWaitMs);
            rig.relay.ack();
            QTRY_COMPARE_WITH_TIMEOUT(rig.core.state(), int(ssIdle), kWaitMs);
        } else {
            rig.relay.closeClient();
            QTRY_VERIFY_WITH_TIMEOUT(!rig.core.connected(), kWaitMs);
        }
        QVERIFY(!rig.core.viewer().demoFileOpen());
        QVERIFY(rig.core.demo().currentDemoPath.isEmpty());
        QCOMPARE(readAll(rig.demoPath(kName1)), a);
        QCOMPARE(rig.rowNames(), QStringList{kName1});
    }

    // A real demo arriving a block at a time, at the pace the Filmer sends them: played
    // live, its live copy is a valid demo beside the exact one, the game started again at the
    // live edge and on the next demo, and the copies go with the lobby.
    void playsLiveAndListsState_data()
    {
        QTest::addColumn<bool>("whole");
        QTest::addColumn<QString>("then");
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("launches");
        // Double-clicked the moment its row comes, as arbelon-cli --play does.
        QTest::addColumn<bool>("atListing");
        // The end of an ended demo is the match's end: nothing starts again.
        QTest::newRow("ended, its end reached") << true << QStringLiteral("edge") << QStringLiteral("ended") << 1 << false;
        QTest::newRow("growing, its edge reached") << false << QStringLiteral("edge") << QStringLiteral("live") << 2 << false;
        QTest::newRow("cut by the next demo, followed") << false << QStringLiteral("next") << QStringLiteral("incomplete") << 2
                                                        << false;
        QTest::newRow("played as it is listed") << false << QStringLiteral("edge") << QStringLiteral("live") << 2 << true;
    }
    void playsLiveAndListsState()
    {
        QFETCH(bool, whole);
        QFETCH(QString, then);
        QFETCH(QString, state);
        QFETCH(int, launches);
        QFETCH(bool, atListing);
        QFile f(QStringLiteral(":/demos/oa_bots.dm_71"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray full = f.readAll();
        const QByteArray demo = whole ? full : full.left(32768);
        Rig rig;
        // The game it started runs on: the restarts that replace it are not asked about.
        rig.starter.keepsRunning = true;
        QVERIFY(enterLobby(rig, "abc", 1, "baseq3"));
        // The engines' 4 kB steps, about 4 s of this match each: the pace of a game played now.
        const auto send = [&rig](const QByteArray &bytes, const std::function<void()> &each) {
            for (qsizetype at = 0; at < bytes.size(); at += 4096) {
                if (exchange(rig, goodPacket(bytes.mid(at, 4096))) != 0)
                    return false;
                each();
                rig.now = rig.now.addMSecs(4000);
            }
            return true;
        };
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        bool asked = false;
        if (atListing) {
            connect(rig.core.demoList(), &QAbstractItemModel::rowsInserted, &rig.core, [&] {
                if (!asked)
                    rig.core.playDemo(0, arbelon::PlayFrom::Auto);
                asked = true;
            });
        }
        QVERIFY(send(demo, [&] {
            if (!asked && rig.core.demoList()->rowCount() == 1) {
                QCOMPARE(rig.core.demoList()->stateText(rig.core.demoList()->state(0)), QStringLiteral("live"));
                rig.core.playDemo(0, arbelon::PlayFrom::Auto);
                asked = true;
            }
        }));
        QCOMPARE(readAll(rig.demoPath(kName1, 1)), demo);
        QCOMPARE(rig.starter.launches.size(), 1);
        const QString live = rig.q3 + QStringLiteral("baseq3/demos/") + kName1 + QStringLiteral(".live.dm3");
        QCOMPARE(rig.starter.launches[0].arguments,
                 (QStringList{QStringLiteral("+demo"), kName1 + QStringLiteral(".live.dm3"), QStringLiteral("+set"),
                              QStringLiteral("nextdemo"), QStringLiteral("echo arbelon-live-edge")}));
        const QByteArray copy = readAll(live);
        QVERIFY(!copy.isEmpty() && copy != demo);
        arbelon::demo::Q3Codec codec;
        int snapshots = 0;
        for (qsizetype at = 0;;) {
            const arbelon::demo::Frame frame = codec.nextFrame(QByteArrayView(copy).sliced(at));
            if (frame.kind != arbelon::demo::Frame::Message) {
                QCOMPARE(frame.kind == arbelon::demo::Frame::End, whole);
                break;
            }
            snapshots += codec.parse(frame).snapshot ? 1 : 0;
            at += frame.size;
        }
        QVERIFY(snapshots > 0);

        if (then == QStringLiteral("edge")) {
            // The game printed the marker its "nextdemo" command prints at the copy's end.
            QFile log(rig.q3 + QStringLiteral("baseq3/qconsole.log"));
            QVERIFY(log.open(QIODevice::Append));
            log.write("arbelon-live-edge\n");
            log.close();
            QTest::qWait(1500);
        } else {
            QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
            QVERIFY(send(full.left(16384), [] {}));
        }
        QCOMPARE(rig.core.demoList()->stateText(rig.core.demoList()->state(0)), state);
        QCOMPARE(rig.starter.launches.size(), launches);
        QCOMPARE(rig.starter.stops, launches - 1);
        QVERIFY(rig.prompts.questions.isEmpty());
        if (launches > 1)
            QVERIFY(rig.starter.launches.last().arguments.at(1).contains(QStringLiteral(".live")));
        // The live copies are not listed: the demo list names what arrived.
        QVERIFY(!rig.rowNames().join(QLatin1Char(' ')).contains(QStringLiteral(".live")));

        rig.core.leaveLobby();
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.count(LEAVEGAME), 1, kWaitMs);
        rig.relay.ack();
        QTRY_COMPARE_WITH_TIMEOUT(rig.core.state(), int(ssIdle), kWaitMs);
        QVERIFY(!QFile::exists(live));
        QVERIFY(QFile::exists(rig.demoPath(kName1, 1)));
    }

    // A moment of the demo's own time asked for (an event's, 10 s before it): its copy beside
    // the exact one starts at the first snapshot at or after it, now or once it has arrived,
    // grows with the later blocks, and the game plays it as it plays a live copy.
    void playsFromAMoment_data()
    {
        QTest::addColumn<int>("arrived"); // the demo's bytes that came before the request
        QTest::addColumn<double>("at");   // the event's snapshot, as a share of the demo's
        QTest::addColumn<qint64>("laterMs");
        QTest::addColumn<QString>("refusal"); // empty: it plays
        // The event feed's row played (its double click), instead of a time; -1: none.
        QTest::addColumn<int>("feedRow");
        QTest::newRow("within what arrived") << 32768 << 0.3 << qint64(0) << QString() << -1;
        QTest::newRow("before the first snapshot: from it") << 32768 << 0.0 << qint64(-5000) << QString() << -1;
        QTest::newRow("not arrived yet: once it has") << 16384 << 0.6 << qint64(0) << QString() << -1;
        QTest::newRow("after the end of the demo") << (1 << 20) << 1.0 << qint64(20000) << QStringLiteral("after the end") << -1;
        QTest::newRow("no demo yet") << 0 << 0.5 << qint64(0) << QStringLiteral("No demo") << -1;
        QTest::newRow("the feed's third event, a frag") << 32768 << 0.0 << qint64(0) << QString() << 2;
        QTest::newRow("the feed's first event, a join") << 32768 << 0.0 << qint64(0) << QStringLiteral("Only a frag") << 0;
    }
    void playsFromAMoment()
    {
        QFETCH(int, arrived);
        QFETCH(double, at);
        QFETCH(qint64, laterMs);
        QFETCH(QString, refusal);
        QFETCH(int, feedRow);
        const QByteArray demo = test::recordedQ3Demo();
        arrived = std::min<int>(arrived, int(demo.size()));
        const QList<qint64> times = snapshotTimes(demo);
        qint64 event = times.at(int(at * double(times.size() - 1))) + laterMs;
        Rig rig;
        QVERIFY(enterLobby(rig, "abc", 1, "baseq3"));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        const QString copyPath = rig.q3 + QStringLiteral("baseq3/demos/") + kName1 + QStringLiteral(".live.dm3");
        qint64 copyAtStart = -1;
        const auto send = [&](qsizetype from, qsizetype to) {
            for (qsizetype at = from; at < to; at += 4096) {
                QCOMPARE(exchange(rig, goodPacket(demo.mid(at, std::min<qsizetype>(4096, to - at)))), 0);
                if (copyAtStart < 0 && !rig.starter.launches.isEmpty())
                    copyAtStart = QFileInfo(copyPath).size();
                rig.now = rig.now.addMSecs(4000);
            }
        };
        send(0, arrived);
        QString why;
        if (feedRow >= 0) {
            // What the lobby shows is read from the same bytes: four events by now.
            QCOMPARE(rig.core.eventFeed()->rowCount(), 4);
            QCOMPARE(rig.core.eventFeed()->index(2, EventFeedModel::ColEvent).data().toString(),
                     QStringLiteral("Ayumi fragged UnnamedPlayer (rocket splash)"));
            event = rig.core.eventFeed()->index(feedRow, 0).data(EventFeedModel::ServerTimeRole).toLongLong();
            QCOMPARE(rig.core.playEvent(feedRow, &why), refusal.isEmpty());
        } else {
            QCOMPARE(rig.core.playFromMoment(event, &why), refusal.isEmpty());
        }
        const qint64 fromMs = event - ViewerReception::kMomentLeadMs;
        QVERIFY2(why.contains(refusal), qPrintable(why));
        send(arrived, demo.size());
        QCOMPARE(readAll(rig.demoPath(kName1, 1)), demo);
        if (!refusal.isEmpty()) {
            QVERIFY(rig.starter.launches.isEmpty());
            QVERIFY(!QFile::exists(copyPath));
            return;
        }
        QCOMPARE(rig.starter.launches.size(), 1);
        QCOMPARE(rig.starter.launches[0].arguments,
                 (QStringList{QStringLiteral("+demo"), kName1 + QStringLiteral(".live.dm3"), QStringLiteral("+set"),
                              QStringLiteral("nextdemo"), QStringLiteral("echo arbelon-live-edge")}));
        const QByteArray copy = readAll(copyPath);
        QVERIFY2(copyAtStart > 0 && copy.size() > copyAtStart, qPrintable(QString::number(copyAtStart)));
        const QList<qint64> played = snapshotTimes(copy);
        QCOMPARE(played.first(), *std::find_if(times.begin(), times.end(), [&](qint64 t) { return t >= fromMs; }));
        QCOMPARE(played.last(), times.last());
        QCOMPARE(demo::makeCodec(demo::Game::Quake3)->nextFrame(QByteArrayView(copy).last(8)).kind, demo::Frame::End);

        rig.core.leaveLobby();
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.count(LEAVEGAME), 1, kWaitMs);
        rig.relay.ack();
        QTRY_COMPARE_WITH_TIMEOUT(rig.core.state(), int(ssIdle), kWaitMs);
        QVERIFY(!QFile::exists(copyPath));
    }

    // A Filmer neither plays demos nor lets demo data take its own recordings' paths.
    void filmerIgnoresViewerWork()
    {
        QTemporaryDir dir;
        ClientCore core;
        RecordingStarter starter;
        core.setProgramStarter(&starter);
        QSignalSpy ended(&core, &ClientCore::sessionEnded);
        ConnectValues v;
        v.serverAddress = kAddr; // nothing listens on the Filmer port there
        v.role = Role::Filmer;
        core.connectTo(v);
        QTRY_VERIFY_WITH_TIMEOUT(ended.count() > 0, kWaitMs);
        QCOMPARE(core.role(), Role::Filmer);

        core.demo().listedNames = {kName1};
        core.demo().gameProgramPath = dir.filePath(QStringLiteral("quake2.exe"));
        core.playDemo(0, arbelon::PlayFrom::Auto);
        QVERIFY(starter.launches.isEmpty());

        const QString recording = dir.filePath(QStringLiteral("rec.dm2"));
        QFile f(recording);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("recorded by the game");
        f.close();
        core.demo().pending = {recording};
        QVERIFY_THROWS_EXCEPTION(EDemoFileError,
                                 core.dispatcher().dataAvailable(goodPacket(demoBytes(100, 1))));
        QCOMPARE(readAll(recording), QByteArray("recorded by the game"));
        core.dispatcher().buffer().clear();
        QVERIFY_THROWS_EXCEPTION(EDemoFileError, core.dispatcher().dataAvailable(buildDemoRestart(0)));
        QCOMPARE(core.demo().pending, QStringList{recording});
    }
    // A relay that starts demos without end gets a bounded number of files; the user's own
    // files stay as they were, and the user is told once.
    void demoFilesAreCapped_data()
    {
        QTest::addColumn<int>("stepSeconds"); // between two starts of demo
        QTest::addColumn<int>("cap");
        QTest::newRow("all in one minute") << 0 << ViewerReception::kMaxDemosPerMinute;
        QTest::newRow("one every 7 s, a whole session") << 7 << ViewerReception::kMaxDemosPerSession;
    }
    void demoFilesAreCapped()
    {
        QFETCH(int, stepSeconds);
        QFETCH(int, cap);
        Rig rig;
        QVERIFY(enterLobby(rig));
        const QString mine = rig.demoPath(QStringLiteral("mine"));
        QVERIFY(QDir().mkpath(QFileInfo(mine).absolutePath()));
        QFile f(mine);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("my demo") == 7);
        f.close();
        // Each demo of its own bytes: the same bytes again would be the same demo, taken up.
        const auto block = [](int i) { return goodPacket(demoBytes(100, quint32(i))); };
        for (int i = 0; i < cap + 2; ++i) {
            rig.now = rig.now.addSecs(stepSeconds);
            const int expected = i < cap ? 0 : 1;
            QCOMPARE(exchange(rig, buildDemoRestart(0)), expected);
            QCOMPARE(exchange(rig, block(i)), expected);
        }
        QVERIFY(rig.core.connected());
        const QStringList files = QDir(QFileInfo(mine).absolutePath()).entryList(QDir::Files);
        QCOMPARE(files.size(), cap + 1);
        QCOMPARE(readAll(mine), QByteArray("my demo"));
        QTRY_COMPARE(rig.prompts.errors.size(), 1);
        QVERIFY2(rig.prompts.errors.first().contains(QLatin1String("refused")), qPrintable(rig.prompts.errors.first()));
        if (stepSeconds == 0) {
            // A minute later demos are taken again.
            rig.now = rig.now.addSecs(60);
            QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
            QCOMPARE(exchange(rig, block(cap + 2)), 0);
        }
    }

    // A disk that fills mid-block: the file keeps only whole blocks and the user is told why
    // (the file size limit of the process stands in for the full disk).
    void fullDiskLeavesWholeBlocks_data()
    {
        QTest::addColumn<int>("limit");
        QTest::newRow("full inside the 31st block") << 303104;
        QTest::newRow("full at the end of the 30th block") << 300000;
    }
    void fullDiskLeavesWholeBlocks()
    {
#ifdef Q_OS_WIN
        QSKIP("the file size limit is a POSIX resource limit");
#else
        QFETCH(int, limit);
        Rig rig;
        QVERIFY(enterLobby(rig));
        QCOMPARE(exchange(rig, buildDemoRestart(0)), 0);
        struct rlimit before {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &before), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        const auto restore = qScopeGuard([&] {
            ::setrlimit(RLIMIT_FSIZE, &before);
            std::signal(SIGXFSZ, oldHandler);
        });
        struct rlimit small = before;
        small.rlim_cur = rlim_t(limit);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const QByteArray raw = demoBytes(10000, 3);
        const QByteArray block = goodPacket(raw);
        for (int i = 0; i < 30; ++i)
            QCOMPARE(exchange(rig, block), 0);
        rig.relay.send(block);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.core.connected(), kWaitMs);
        QCOMPARE(QFileInfo(rig.demoPath(kName1)).size(), 300000);
        QTRY_COMPARE(rig.prompts.errors.size(), 1);
        QVERIFY2(rig.prompts.errors.first().contains(QLatin1String("the disk is full")), qPrintable(rig.prompts.errors.first()));
        QVERIFY2(rig.prompts.errors.first().contains(QDir::toNativeSeparators(rig.demoPath(kName1))),
                 qPrintable(rig.prompts.errors.first()));
#endif
    }
};

QTEST_GUILESS_MAIN(TestViewer)
#include "tst_viewer.moc"
