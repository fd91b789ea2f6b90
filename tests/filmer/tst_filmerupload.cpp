// The Filmer's upload against a relay of the test's own on the Filmer's port, at this run's address.
// Ticks are called directly; the relay answers each record when the test says so.

#include "filmerupload.h"

#include "clientcore.h"
#include "demolistmodel.h"
#include "gamerunning.h"
#include "twsocket.h"
#include "zlibcomp.h"
#include "common/fakerelay.h"
#include "common/testaddress.h"
#include "common/testdoubles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <stdexcept>

using namespace arbelon;

namespace {

const QString kAddress = test::loopbackAddress(31);
constexpr int kHour = 3600 * 1000;

// Varied bytes that still compress, different for each seed.
QByteArray demoBytes(int size, int seed)
{
    QByteArray out(size, Qt::Uninitialized);
    quint32 x = 2463534242u + quint32(seed);
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = char(i % 7 == 0 ? (x & 0xff) : (i / 50 + seed) & 0x3f);
    }
    return out;
}

bool append(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Append) && f.write(bytes) == bytes.size();
}

qint32 sequenceOf(const QByteArray &record) { return readI32(record, rec::dpSequence); }

} // namespace

class TestFilmerUpload : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void lobbyEntryStartsTheUpload();
    void fourBlocksOfACompleteDemo();
    void rejectedBlockHoldsTheUpload();
    void newDemoWaitsForTheRestOfTheEndedOne();
    void newDemoWaitsWhileTheCurrentOneGrows();
    void demoEnds_data();
    void demoEnds();
    void toldHowFarBehind_data();
    void toldHowFarBehind();
    void demoFileNotThereYet_data();
    void demoFileNotThereYet();
    void transferRateZeroSendsNothing();
    void specialDemoIsIgnored();
    void sessionEndClosesTheFiles();
    void nextSessionCountsFromZero();
    void sessionEndedInsideTickKeepsTimersStopped_data();
    void sessionEndedInsideTickKeepsTimersStopped();

private:
    FilmerUpload &filmer() { return m_core->filmer(); }
    QString demoPath(const QString &name) const
    {
        return m_dir->path() + QStringLiteral("/q2/baseq2/demos/") + name;
    }
    QString logPath() const { return m_dir->path() + QStringLiteral("/q2/baseq2/qconsole.log"); }
    // The game announces a recording; the scan tick takes it.
    void announce(const QString &name);
    // Lines the game prints; the scan tick takes them.
    void print(const QByteArray &lines);
    void uploadTick() { filmer().OutDemoStreamTimer(); }
    // Ticks and waits for exactly one more record, which is returned.
    QByteArray tickForRecord();
    void accept();
    // A block: its sequence, its raw bytes after decompression (CRC checked).
    QByteArray blockData(const QByteArray &record);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeGameRunningCheck> m_game;
    std::unique_ptr<test::ScriptedPrompts> m_prompts;
    std::unique_ptr<test::FakeRelay> m_relay;
    std::unique_ptr<ClientCore> m_core;
    QDateTime m_now = QDateTime(QDate(2001, 2, 27), QTime(9, 5, 7));
};

void TestFilmerUpload::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_game = std::make_unique<FakeGameRunningCheck>(true);
    m_prompts = std::make_unique<test::ScriptedPrompts>();
    m_relay = std::make_unique<test::FakeRelay>();
    QVERIFY(m_relay->listen(kAddress, kFilmerPort));
    m_core = std::make_unique<ClientCore>();
    m_core->setGameRunningCheck(m_game.get());
    m_core->setPrompts(m_prompts.get());
    m_core->settings().quake2Dir = m_dir->path() + QStringLiteral("/q2/");
    m_core->settings().transferRate = 3000;
    m_core->LogFileScan().setInterval(kHour);
    m_core->OutDemoStream().setInterval(kHour);

    m_core->connectTo(ConnectValues{kAddress, QString(), Role::Filmer, QStringLiteral("game"), gtQuake2,
                                    QStringLiteral("baseq2")});
    QTRY_COMPARE(m_relay->records.size(), 1);
    QCOMPARE(packetType(m_relay->records.at(0)), qint32(GAMEINFO));
    m_relay->ack();
    QTRY_COMPARE(m_core->state(), int(ssInLobby));

    // The game runs and logs; the first scan opens the log at its end.
    QVERIFY(append(logPath(), "console start\n"));
    filmer().LogFileScanTimer();
    QVERIFY(filmer().consoleLogOpen());
}

void TestFilmerUpload::cleanup()
{
    m_core.reset();
    m_relay.reset();
    m_prompts.reset();
    m_game.reset();
    m_dir.reset();
}

void TestFilmerUpload::announce(const QString &name)
{
    QVERIFY(append(logPath(), "recording to ./baseq2/demos/" + name.toLatin1() + ".\r\n"));
    filmer().LogFileScanTimer();
}

void TestFilmerUpload::print(const QByteArray &lines)
{
    QVERIFY(append(logPath(), lines));
    filmer().LogFileScanTimer();
}

QByteArray TestFilmerUpload::tickForRecord()
{
    const qsizetype before = m_relay->records.size();
    uploadTick();
    // Records arrive in order: anything sent by an earlier tick would show up here first.
    // A missing or extra record gives a header of type -1, which no check accepts.
    if (!QTest::qWaitFor([&] { return m_relay->records.size() > before; })
        || m_relay->records.size() != before + 1)
        return QByteArray(rec::kDemoRestartSize, '\xff');
    return m_relay->records.last();
}

void TestFilmerUpload::accept()
{
    m_relay->ack(0);
    QTRY_COMPARE(m_core->state(), int(ssInLobby));
}

QByteArray TestFilmerUpload::blockData(const QByteArray &record)
{
    if (packetType(record) != DEMOPACKET || qsizetype(packetSize(record)) != record.size())
        return "not a whole DEMOPACKET";
    QByteArray raw;
    quint32 crc = 0;
    if (inflateBlock(QByteArrayView(record).sliced(rec::dpData), &raw, &crc, 0) != InflateResult::Ok)
        return "does not inflate";
    if (crc != readU32(record, rec::offCrc))
        return "CRC differs";
    return raw;
}

void TestFilmerUpload::lobbyEntryStartsTheUpload()
{
    QVERIFY(m_core->LogFileScan().isActive());
    QVERIFY(m_core->OutDemoStream().isActive());
    QCOMPARE(m_core->demo().uploadCounter, 0);
    QFile cfg(m_dir->path() + QStringLiteral("/q2/baseq2/autoexec.cfg"));
    QVERIFY(cfg.open(QIODevice::ReadOnly));
    QCOMPARE(cfg.readAll(), QByteArray("logfile 2\r\n"));
}

void TestFilmerUpload::fourBlocksOfACompleteDemo()
{
    const QByteArray demo = demoBytes(10000, 1);
    QVERIFY(append(demoPath(QStringLiteral("d1.dm2")), demo));
    announce(QStringLiteral("d1.dm2"));
    QCOMPARE(m_core->demo().pending, QStringList{demoPath(QStringLiteral("d1.dm2"))});

    const QByteArray restart = tickForRecord();
    QCOMPARE(packetType(restart), qint32(DEMORESTART));
    QCOMPARE(restart.size(), rec::kDemoRestartSize);
    QCOMPARE(readI32(restart, rec::drSequence), 0);
    QCOMPARE(m_core->state(), int(ssDemoRestart));
    uploadTick(); // waits for the answer: sends nothing
    accept();
    QCOMPARE(m_core->demo().currentDemoPath, demoPath(QStringLiteral("d1.dm2")));
    QVERIFY(m_core->demo().pending.isEmpty());
    QCOMPARE(m_core->demoList()->rowCount(), 1);
    QCOMPARE(m_core->demoList()->name(0), QStringLiteral("d1.dm2"));
    QCOMPARE(m_core->goodLabel(), QStringLiteral("1"));

    const int sizes[] = {3000, 3000, 3000, 1000};
    qsizetype offset = 0;
    for (int i = 0; i < 4; ++i) {
        const QByteArray block = tickForRecord();
        QCOMPARE(sequenceOf(block), i + 1);
        QCOMPARE(blockData(block), demo.mid(offset, sizes[i]));
        QCOMPARE(m_core->state(), int(ssDemoPacket));
        QCOMPARE(m_core->demoList()->dataText(0), QString::number(offset / 1000) + QStringLiteral("k "));
        // The file has not grown since the first block: still not taken for ended.
        QCOMPARE(m_core->demo().currentDemoPath, demoPath(QStringLiteral("d1.dm2")));
        QVERIFY(!filmer().currentDemoFinished());
        offset += sizes[i];
        uploadTick(); // not answered yet: nothing more goes out
        accept();
        QCOMPARE(m_core->demo().uploadCounter, i + 2);
        QCOMPARE(m_core->goodLabel(), QString::number(i + 2));
    }
    uploadTick(); // everything taken: nothing to send
    QCOMPARE(m_core->demoList()->dataText(0), QStringLiteral("10k "));
    QCOMPARE(m_core->state(), int(ssInLobby));

    // The next record after all this is the next demo's start: nothing else went out between.
    announce(QStringLiteral("d2.dm2"));
    const QByteArray next = tickForRecord();
    QCOMPARE(packetType(next), qint32(DEMORESTART));
    QCOMPARE(readI32(next, rec::drSequence), 5);
    QCOMPARE(m_relay->records.size(), 7);
}

void TestFilmerUpload::rejectedBlockHoldsTheUpload()
{
    const QByteArray demo = demoBytes(10000, 2);
    QVERIFY(append(demoPath(QStringLiteral("r.dm2")), demo));
    announce(QStringLiteral("r.dm2"));
    QCOMPARE(packetType(tickForRecord()), qint32(DEMORESTART));
    accept();

    QCOMPARE(blockData(tickForRecord()), demo.left(3000));
    m_relay->ack(1);
    QTRY_COMPARE(m_core->badLabel(), QStringLiteral("1"));
    QCOMPARE(m_core->state(), int(ssDemoPacket));
    uploadTick();
    m_relay->ack(2);
    QTRY_COMPARE(m_core->badLabel(), QStringLiteral("2"));
    uploadTick();
    QCOMPARE(m_core->demo().uploadCounter, 1);

    accept();
    QCOMPARE(m_core->demo().uploadCounter, 2);
    QCOMPARE(m_core->goodLabel(), QStringLiteral("2"));
    // The refused block is not sent again; the upload goes on after it.
    const QByteArray next = tickForRecord();
    QCOMPARE(sequenceOf(next), 2);
    QCOMPARE(blockData(next), demo.mid(3000, 3000));
}

void TestFilmerUpload::newDemoWaitsForTheRestOfTheEndedOne()
{
    const QByteArray first = demoBytes(10000, 3);
    const QByteArray second = demoBytes(5000, 4);
    QVERIFY(append(demoPath(QStringLiteral("a.dm2")), first));
    announce(QStringLiteral("a.dm2"));
    QCOMPARE(packetType(tickForRecord()), qint32(DEMORESTART));
    accept();
    QCOMPARE(blockData(tickForRecord()), first.left(3000));
    accept();
    QCOMPARE(blockData(tickForRecord()), first.mid(3000, 3000));
    accept();

    QVERIFY(append(demoPath(QStringLiteral("b.dm2")), second));
    announce(QStringLiteral("b.dm2"));
    QVERIFY(filmer().currentDemoFinished());
    QCOMPARE(m_core->demo().currentDemoPath, demoPath(QStringLiteral("a.dm2")));
    // The rest of the first demo goes before the second is announced.
    QByteArray block = tickForRecord();
    QCOMPARE(sequenceOf(block), 3);
    QCOMPARE(blockData(block), first.mid(6000, 3000));
    accept();
    block = tickForRecord();
    QCOMPARE(sequenceOf(block), 4);
    QCOMPARE(blockData(block), first.mid(9000));
    accept();
    const QByteArray restart = tickForRecord();
    QCOMPARE(packetType(restart), qint32(DEMORESTART));
    QCOMPARE(readI32(restart, rec::drSequence), 5);
    accept();
    QCOMPARE(m_core->demo().currentDemoPath, demoPath(QStringLiteral("b.dm2")));
    QCOMPARE(m_core->demoList()->rowCount(), 2);
    QCOMPARE(m_core->demoList()->name(1), QStringLiteral("b.dm2"));
    QVERIFY(!filmer().demoFileOpen());

    block = tickForRecord();
    QCOMPARE(sequenceOf(block), 6);
    QCOMPARE(blockData(block), second.left(3000));
    QCOMPARE(filmer().bytesTaken(), 3000);
}

void TestFilmerUpload::newDemoWaitsWhileTheCurrentOneGrows()
{
    const QString path = demoPath(QStringLiteral("g.dm2"));
    QVERIFY(append(path, demoBytes(1000, 5)));
    announce(QStringLiteral("g.dm2"));
    QCOMPARE(packetType(tickForRecord()), qint32(DEMORESTART));
    accept();
    QCOMPARE(blockData(tickForRecord()).size(), 1000);
    accept();

    const QByteArray more = demoBytes(500, 6);
    QVERIFY(append(path, more));
    QVERIFY(append(demoPath(QStringLiteral("h.dm2")), demoBytes(100, 7)));
    announce(QStringLiteral("h.dm2"));
    // Not all sent yet: the new demo waits and the block goes out.
    QCOMPARE(blockData(tickForRecord()), more);
    accept();
    QCOMPARE(m_core->demo().currentDemoPath, path);

    // Ended by the new recording and sent to its end: the new demo goes.
    const QByteArray restart = tickForRecord();
    QCOMPARE(packetType(restart), qint32(DEMORESTART));
    QCOMPARE(readI32(restart, rec::drSequence), 3);
}

// However a demo ends, all of it goes, in order, before the next one is announced.
void TestFilmerUpload::demoEnds_data()
{
    QTest::addColumn<QByteArray>("lines"); // what the game prints once the first block is out
    QTest::addColumn<bool>("gameStops");
    QTest::addColumn<int>("rate");
    const QByteArray next = "recording to ./baseq2/demos/next.dm2.\r\n";
    QTest::newRow("stop line") << QByteArray("Stopped demo.\r\n") << false << 3000;
    QTest::newRow("next recording") << next << false << 3000;
    QTest::newRow("stoprecord; record next") << "]stoprecord; record next\r\nStopped demo.\r\n" + next << false << 3000;
    QTest::newRow("game stops") << QByteArray() << true << 3000;
    QTest::newRow("slow rate") << next << false << 1000;
}

void TestFilmerUpload::demoEnds()
{
    QFETCH(QByteArray, lines);
    QFETCH(bool, gameStops);
    QFETCH(int, rate);
    m_core->settings().transferRate = rate;
    const QByteArray first = demoBytes(25000, 20);
    QVERIFY(append(demoPath(QStringLiteral("first.dm2")), first.left(rate)));
    announce(QStringLiteral("first.dm2"));
    QCOMPARE(packetType(tickForRecord()), qint32(DEMORESTART));
    accept();
    QByteArray got = blockData(tickForRecord());
    accept();

    // The game writes the rest at once and ends the demo; the next one is there already.
    QVERIFY(append(demoPath(QStringLiteral("first.dm2")), first.mid(rate)));
    QVERIFY(append(demoPath(QStringLiteral("next.dm2")), demoBytes(200, 21)));
    print(lines);
    m_game->setRunning(!gameStops);
    filmer().LogFileScanTimer();
    m_game->setRunning(true);
    QVERIFY(filmer().currentDemoFinished());
    if (!lines.contains("recording to"))
        announce(QStringLiteral("next.dm2"));

    QByteArray record;
    for (int i = 0; i < 100 && packetType(record = tickForRecord()) == DEMOPACKET; ++i) {
        got += blockData(record);
        accept();
    }
    QCOMPARE(packetType(record), qint32(DEMORESTART));
    QVERIFY(got == first);
}

// A game that writes faster than its upload sends: the user hears how far behind it is and
// what would keep up, a few times, not at every tick; and nothing is lost.
void TestFilmerUpload::toldHowFarBehind_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("already"); // bytes of the demo before the upload starts
    QTest::addColumn<int>("step");    // bytes the game writes each second
    QTest::addColumn<QString>("advice");
    QTest::newRow("a higher rate keeps up") << 1000 << 0 << 4096 << QStringLiteral("a transfer rate of 5,500 would keep up");
    QTest::newRow("too fast for any rate") << 10000 << 0 << 12000
                                           << QStringLiteral("even the highest transfer rate (10,000) is too slow: the demo will arrive late but whole");
    QTest::newRow("started late") << 3000 << 200000 << 500 << QStringLiteral("it is catching up at the transfer rate of 3,000");
}

void TestFilmerUpload::toldHowFarBehind()
{
    QFETCH(int, rate);
    QFETCH(int, already);
    QFETCH(int, step);
    QFETCH(QString, advice);
    m_core->settings().transferRate = rate;
    m_core->setClock([this] { return m_now; });
    QSignalSpy notices(m_core.get(), &ClientCore::noticeLine);
    const QString path = demoPath(QStringLiteral("fast.dm2"));
    const QByteArray written = demoBytes(already + 60 * step, 22);
    QVERIFY(append(path, written.left(already)));
    announce(QStringLiteral("fast.dm2"));
    QCOMPARE(packetType(tickForRecord()), qint32(DEMORESTART));
    accept();

    // A minute of play at a tick a second, then the demo ends and the rest is sent.
    QByteArray got;
    int second = 0;
    qsizetype duringPlay = 0;
    for (; second < 1000 && got.size() < written.size(); ++second) {
        m_now = m_now.addSecs(1);
        QVERIFY(append(path, second < 60 ? written.mid(already + second * step, step) : QByteArray()));
        if (second == 60) {
            print("Stopped demo.\r\n");
            duringPlay = notices.size();
        }
        got += blockData(tickForRecord());
        accept();
    }
    QVERIFY(got == written);
    uploadTick();
    QCOMPARE(filmer().bytesBehind(), 0);

    // Told when it fell behind, again at most every 30 s, and once when it caught up; what
    // would keep up is the game's pace while it played.
    const QRegularExpression told(QStringLiteral("^Upload is \\d+ s \\([0-9,]+ bytes\\) behind the game; (.*)$"));
    QVERIFY2(duringPlay >= 1 && notices.size() <= second / FilmerUpload::kBehindRepeatSeconds + 2,
             qPrintable(QString::number(notices.size())));
    for (qsizetype i = 0; i + 1 < notices.size(); ++i)
        QVERIFY2(told.match(notices.at(i).at(0).toString()).hasMatch(), qPrintable(notices.at(i).at(0).toString()));
    for (qsizetype i = 0; i < duringPlay; ++i)
        QCOMPARE(told.match(notices.at(i).at(0).toString()).captured(1), advice);
    QCOMPARE(notices.last().at(0).toString(), QStringLiteral("Upload caught up with the game"));
}

void TestFilmerUpload::demoFileNotThereYet_data()
{
    QTest::addColumn<int>("seconds"); // from the demo's restart to its first bytes
    QTest::addColumn<bool>("givenUp");
    QTest::newRow("appears after 29 s") << 29 << false;
    QTest::newRow("not there after 30 s") << 30 << true;
    QTest::newRow("not there after an hour") << 3600 << true;
}

void TestFilmerUpload::demoFileNotThereYet()
{
    QFETCH(int, seconds);
    QFETCH(bool, givenUp);
    m_core->setClock([this] { return m_now; });
    announce(QStringLiteral("late.dm2"));
    QCOMPARE(packetType(tickForRecord()), qint32(DEMORESTART));
    accept();
    uploadTick();
    uploadTick();
    QVERIFY(!filmer().demoFileOpen());
    QVERIFY(m_core->OutDemoStream().isActive());
    // Demos found meanwhile wait behind it.
    announce(QStringLiteral("later.dm2"));
    uploadTick();
    QCOMPARE(m_core->demo().pending, QStringList{demoPath(QStringLiteral("later.dm2"))});

    m_now = m_now.addSecs(seconds);
    uploadTick();
    const QByteArray demo = demoBytes(700, 8);
    QVERIFY(append(demoPath(QStringLiteral("late.dm2")), demo));
    const QByteArray next = tickForRecord();
    if (givenUp) {
        // A log line naming a demo that never comes does not hold the ones after it.
        QCOMPARE(packetType(next), qint32(DEMORESTART));
        accept();
        QCOMPARE(m_core->demo().currentDemoPath, demoPath(QStringLiteral("later.dm2")));
        QVERIFY(m_core->demo().pending.isEmpty());
        return;
    }
    QCOMPARE(sequenceOf(next), 1);
    QCOMPARE(blockData(next), demo);
}

void TestFilmerUpload::transferRateZeroSendsNothing()
{
    m_core->settings().transferRate = 0;
    QVERIFY(append(demoPath(QStringLiteral("z.dm2")), demoBytes(2000, 9)));
    announce(QStringLiteral("z.dm2"));
    QCOMPARE(packetType(tickForRecord()), qint32(DEMORESTART));
    accept();
    for (int i = 0; i < 3; ++i)
        uploadTick();
    QCOMPARE(m_core->demo().currentDemoPath, demoPath(QStringLiteral("z.dm2")));
    QCOMPARE(filmer().bytesTaken(), 0);
    m_core->settings().transferRate = 3000;
    const QByteArray block = tickForRecord();
    QCOMPARE(blockData(block).size(), 2000);
    QCOMPARE(sequenceOf(block), 1);
}

void TestFilmerUpload::specialDemoIsIgnored()
{
    // A folder with a demo's name is no demo: ignored when the line is read...
    QVERIFY(QDir().mkpath(demoPath(QStringLiteral("folder.dm2"))));
    announce(QStringLiteral("folder.dm2"));
    QVERIFY(m_core->demo().pending.isEmpty());
    // ...and when it appears only after the line, at the upload; the next demo goes on.
    announce(QStringLiteral("later.dm2"));
    QCOMPARE(packetType(tickForRecord()), qint32(DEMORESTART));
    accept();
    QVERIFY(QDir().mkpath(demoPath(QStringLiteral("later.dm2"))));
    uploadTick();
    QVERIFY(m_core->demo().currentDemoPath.isEmpty());
    QVERIFY(m_core->OutDemoStream().isActive());
    QVERIFY(append(demoPath(QStringLiteral("good.dm2")), demoBytes(500, 12)));
    announce(QStringLiteral("good.dm2"));
    QCOMPARE(packetType(tickForRecord()), qint32(DEMORESTART));
    accept();
    QCOMPARE(blockData(tickForRecord()), demoBytes(500, 12));
}

void TestFilmerUpload::sessionEndClosesTheFiles()
{
    QVERIFY(append(demoPath(QStringLiteral("s.dm2")), demoBytes(4000, 10)));
    announce(QStringLiteral("s.dm2"));
    QCOMPARE(packetType(tickForRecord()), qint32(DEMORESTART));
    accept();
    QVERIFY(!blockData(tickForRecord()).isEmpty());
    QVERIFY(filmer().demoFileOpen());
    m_relay->closeClient();
    QTRY_COMPARE(m_core->state(), int(ssIdle));
    QVERIFY(!filmer().demoFileOpen());
    QVERIFY(!filmer().consoleLogOpen());
    QVERIFY(!m_core->OutDemoStream().isActive());
    QVERIFY(!m_core->LogFileScan().isActive());
}

void TestFilmerUpload::nextSessionCountsFromZero()
{
    QVERIFY(append(demoPath(QStringLiteral("n1.dm2")), demoBytes(100, 11)));
    announce(QStringLiteral("n1.dm2"));
    QCOMPARE(packetType(tickForRecord()), qint32(DEMORESTART));
    accept();
    QCOMPARE(sequenceOf(tickForRecord()), 1);
    accept();
    QCOMPARE(m_core->demo().uploadCounter, 2);
    m_relay->closeClient();
    QTRY_COMPARE(m_core->state(), int(ssIdle));

    const qsizetype before = m_relay->records.size();
    m_core->connectTo(ConnectValues{kAddress, QString(), Role::Filmer, QStringLiteral("game"), gtQuake2,
                                    QStringLiteral("baseq2")});
    QTRY_COMPARE(m_relay->records.size(), before + 1);
    QCOMPARE(packetType(m_relay->records.last()), qint32(GAMEINFO));
    accept();
    QCOMPARE(m_core->demo().uploadCounter, 0);
    QVERIFY(m_core->demo().pending.isEmpty());
    QCOMPARE(m_core->demoList()->rowCount(), 0);

    filmer().LogFileScanTimer(); // opens the log again, at its end
    QVERIFY(append(demoPath(QStringLiteral("n2.dm2")), demoBytes(100, 12)));
    announce(QStringLiteral("n2.dm2"));
    const QByteArray restart = tickForRecord();
    QCOMPARE(packetType(restart), qint32(DEMORESTART));
    QCOMPARE(readI32(restart, rec::drSequence), 0);
    accept();
    QCOMPARE(sequenceOf(tickForRecord()), 1);
}

// The session ends while a tick runs: a send that finds the connection broken closes it
// before returning, and a scan tick's error box lets the socket's close event in.
void TestFilmerUpload::sessionEndedInsideTickKeepsTimersStopped_data()
{
    QTest::addColumn<int>("during");
    enum { RestartSend,
           BlockSend,
           Scan };
    QTest::newRow("DEMORESTART send") << int(RestartSend);
    QTest::newRow("DEMOPACKET send") << int(BlockSend);
    QTest::newRow("scan tick") << int(Scan);
}

void TestFilmerUpload::sessionEndedInsideTickKeepsTimersStopped()
{
    QFETCH(int, during);
    QVERIFY(append(demoPath(QStringLiteral("k.dm2")), demoBytes(4000, 13)));
    announce(QStringLiteral("k.dm2"));
    if (during == 1) {
        QCOMPARE(packetType(tickForRecord()), qint32(DEMORESTART));
        accept();
    }

    class ClosingCheck : public FakeGameRunningCheck {
    public:
        explicit ClosingCheck(ClientCore &core) : FakeGameRunningCheck(true), m_core(core) {}
        bool isRunning(int gameType) override
        {
            m_core.DemoClient().Close();
            return FakeGameRunningCheck::isRunning(gameType);
        }

    private:
        ClientCore &m_core;
    } closing(*m_core);
    m_core->dispatcher().setSendFunction([this](const QByteArray &) { m_core->DemoClient().Close(); });
    if (during == 2) {
        m_core->setGameRunningCheck(&closing);
        filmer().LogFileScanTimer();
    } else {
        uploadTick();
    }

    QVERIFY(!m_core->connected());
    QCOMPARE(m_core->state(), int(ssIdle));
    QVERIFY(!m_core->OutDemoStream().isActive());
    QVERIFY(!m_core->LogFileScan().isActive());
    m_core->setGameRunningCheck(m_game.get());
}

QTEST_GUILESS_MAIN(TestFilmerUpload)
#include "tst_filmerupload.moc"
