// End to end with real processes on loopback: the stand-in game records a demo, a filming
// client uploads it through the relay, a watching client writes it. A raw observer in the
// test watches the same game and checks every block the relay passes on.

#include "receivebuffer.h"
#include "records.h"
#include "zlibcomp.h"
#include "common/testaddress.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace arbelon;

namespace {
const QString kRelayAddr = test::loopbackAddress(81);
constexpr int kRate = 10000;
constexpr int kDemoSize = 200000;

QString bin(const QString &name)
{
    return qEnvironmentVariable("ARBELON_BIN_DIR") + QLatin1Char('/') + name;
}

// Demo-like bytes: frames of small deltas with a few headers, deterministic.
QByteArray demoBytes(int size)
{
    QByteArray out;
    out.reserve(size);
    QRandomGenerator rng(42);
    quint8 level = 0;
    while (out.size() < size) {
        out.append("\x0b\x00frame", 7);
        for (int i = 0; i < 120 && out.size() < size; ++i) {
            level = quint8(level + int(rng.bounded(5)) - 2);
            out.append(char(level));
        }
    }
    out.truncate(size);
    return out;
}

// A bare Viewer that joins one game by name, answers everything and keeps what it gets.
class Observer : public QObject {
public:
    explicit Observer(const QByteArray &game) : m_game(game)
    {
        connect(&m_sock, &QTcpSocket::readyRead, this, [this] { onRead(); });
    }
    void start()
    {
        m_sock.connectToHost(kRelayAddr, kViewerPort);
        m_sock.write(buildUserInfo("observer"));
    }

    bool joined = false;
    int restarts = 0;
    int blocks = 0;
    int maxRawBlock = 0;
    int badBlocks = 0;
    QByteArray demo;

private:
    void onRead()
    {
        m_buf.append(m_sock.readAll());
        cutRecords(m_buf, [this](QByteArrayView r) {
            const qint32 type = packetType(r);
            if (type == GAMEINFODETAILED && !m_asked && GameInfoDetailedReader{r}.gameName() == m_game) {
                m_asked = true;
                m_sock.write(buildAckNak(0));
                m_sock.write(buildWaitForGame(qint32(GameInfoDetailedReader{r}.gameId())));
            } else if (type == ACKNAK) {
                if (m_asked && AckNakReader{r}.result() == 0)
                    joined = true;
            } else {
                if (type == DEMORESTART) {
                    ++restarts;
                } else if (type == DEMOPACKET) {
                    QByteArray raw;
                    quint32 crc = 0;
                    const DemoPacketReader d{r};
                    if (inflateBlock(d.data(), &raw, &crc, rec::kMaxBlockInflated) == InflateResult::Ok
                        && crc == d.packetCrc()) {
                        ++blocks;
                        maxRawBlock = qMax(maxRawBlock, int(raw.size()));
                        demo.append(raw);
                    } else {
                        ++badBlocks;
                    }
                }
                m_sock.write(buildAckNak(0));
            }
            return true;
        });
    }

    QByteArray m_game;
    QTcpSocket m_sock;
    ReceiveBuffer m_buf;
    bool m_asked = false;
};

void stop(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(5000);
    }
}
} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void filmedDemoArrivesWhole()
    {
        for (const char *exe : {"arbelon-relay", "arbelon-cli", "arbelon-standin-game"})
            QVERIFY2(QFile::exists(bin(QString::fromLatin1(exe))), exe);

        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString filmDir = tmp.filePath(QStringLiteral("filmer/"));
        const QString viewDir = tmp.filePath(QStringLiteral("viewer/"));
        QVERIFY(QDir().mkpath(filmDir + QStringLiteral("baseq2")));
        QVERIFY(QDir().mkpath(viewDir + QStringLiteral("baseq2")));
        QVERIFY(QFile::copy(bin(QStringLiteral("arbelon-standin-game")), filmDir + QStringLiteral("quake2.exe")));
        const QByteArray source = demoBytes(kDemoSize);
        {
            QFile f(tmp.filePath(QStringLiteral("source.dm2")));
            QVERIFY(f.open(QIODevice::WriteOnly));
            QCOMPARE(f.write(source), qint64(source.size()));
        }

        QProcess relay;
        relay.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        relay.start(bin(QStringLiteral("arbelon-relay")), {QStringLiteral("--listen"), kRelayAddr});
        QVERIFY(relay.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT([] {
            QTcpSocket probe;
            probe.connectToHost(kRelayAddr, kFilmerPort);
            return probe.waitForConnected(200);
        }(),
                                 10000);

        QProcess film;
        film.setProcessChannelMode(QProcess::SeparateChannels);
        film.start(bin(QStringLiteral("arbelon-cli")),
                   {QStringLiteral("film"), QStringLiteral("--server"), kRelayAddr, QStringLiteral("--name"),
                    QStringLiteral("E2E"), QStringLiteral("--game"), QStringLiteral("2"), QStringLiteral("--dir"),
                    filmDir, QStringLiteral("--rate"), QString::number(kRate)});
        QVERIFY(film.waitForStarted());
        QByteArray filmOut;
        QTRY_VERIFY_WITH_TIMEOUT((filmOut += film.readAllStandardOutput()).contains("in the lobby"), 15000);
        // The filming client switched the game's console log on.
        QVERIFY(QFile::exists(filmDir + QStringLiteral("baseq2/autoexec.cfg")));

        QProcess watch;
        watch.start(bin(QStringLiteral("arbelon-cli")),
                    {QStringLiteral("watch"), QStringLiteral("--server"), kRelayAddr, QStringLiteral("--game"),
                     QStringLiteral("E2E"), QStringLiteral("--quake2-dir"), viewDir, QStringLiteral("--quake3-dir"),
                     viewDir});
        QVERIFY(watch.waitForStarted());
        QByteArray watchOut;
        QTRY_VERIFY_WITH_TIMEOUT((watchOut += watch.readAllStandardOutput()).contains("in the lobby"), 15000);

        Observer observer("E2E");
        observer.start();
        QTRY_VERIFY_WITH_TIMEOUT(observer.joined, 10000);

        // The game starts, then records after the filming client has opened the console log.
        QProcess game;
        game.setWorkingDirectory(filmDir);
        game.start(filmDir + QStringLiteral("quake2.exe"),
                   {QStringLiteral("--no-window"), QStringLiteral("--source"), tmp.filePath(QStringLiteral("source.dm2")),
                    QStringLiteral("--rate"), QStringLiteral("40000"), QStringLiteral("--block"), QStringLiteral("4000"),
                    QStringLiteral("--name"), QStringLiteral("e2e"), QStringLiteral("--delay-start"),
                    QStringLiteral("3000"), QStringLiteral("--linger"), QStringLiteral("60000")});
        QVERIFY(game.waitForStarted());

        QTRY_COMPARE_WITH_TIMEOUT(observer.demo.size(), qsizetype(kDemoSize), 120000);
        QCOMPARE(observer.badBlocks, 0);
        QCOMPARE(observer.restarts, 1);
        QVERIFY(observer.maxRawBlock <= kRate);
        QVERIFY(observer.blocks >= kDemoSize / kRate);
        QVERIFY(observer.demo == source);

        // The watching client's file: the only demo in the viewer's baseq2/demos.
        const QString demos = viewDir + QStringLiteral("baseq2/demos/");
        QTRY_VERIFY_WITH_TIMEOUT(QDir(demos).entryList(QDir::Files).size() == 1, 10000);
        const QString file = demos + QDir(demos).entryList(QDir::Files).first();
        QVERIFY(file.endsWith(QLatin1String(".dm2")));
        QVERIFY(QFileInfo(file).fileName().startsWith(QLatin1String("E2E")));
        QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(file).size(), qint64(kDemoSize), 20000);
        QFile got(file);
        QVERIFY(got.open(QIODevice::ReadOnly));
        QVERIFY(got.readAll() == source);

        // The film client ends; the game goes away and the watching client ends cleanly.
        stop(game);
        stop(film);
        QVERIFY(watch.waitForFinished(20000));
        QCOMPARE(watch.exitCode(), 0);
        stop(relay);
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
