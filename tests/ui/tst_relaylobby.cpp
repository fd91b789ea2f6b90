// Two client windows in one lobby of the real arbelon-relay: a raw Filmer socket announces a
// game, both Viewers watch it, see each other enter, chat and leave, and see the game end.
// The relay runs as a process on a loopback address of this test's own, default ports.

#include "gamelistmodel.h"
#include "receivebuffer.h"
#include "records.h"
#include "windowrig.h"
#include "common/testaddress.h"

#include <QLabel>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

using namespace arbelon;
using arbelon::test::WindowRig;

namespace {

const QString kAddr = test::loopbackAddress(92);
constexpr int kWaitMs = 15000;

// A Filmer as the relay sees one: the hello, chat lines, and every record split out of what
// arrives. It sends no demo.
class RawFilmer : public QObject {
public:
    QList<QByteArray> records;

    RawFilmer()
    {
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
            m_in.append(m_socket.readAll());
            cutRecords(m_in, [this](QByteArrayView r) {
                records.append(r.toByteArray());
                return true;
            });
        });
    }

    // Connects and announces the game; true once the relay has accepted it.
    bool open(const QByteArray &gameName)
    {
        m_socket.connectToHost(kAddr, kFilmerPort);
        if (!m_socket.waitForConnected(kWaitMs))
            return false;
        m_socket.write(buildGameInfo(gtQuake2, "baseq2", "filmer", {}, gameName));
        const bool answered = QTest::qWaitFor([this] { return answers() > 0; }, kWaitMs);
        return answered && AckNakReader{firstOf(ACKNAK)}.result() == 0;
    }
    void say(const QByteArray &text) { m_socket.write(buildSendText({}, text)); }
    void close() { m_socket.disconnectFromHost(); }

    int answers() const
    {
        return int(std::count_if(records.begin(), records.end(),
                                 [](const QByteArray &r) { return packetType(r) == ACKNAK; }));
    }
    QByteArray firstOf(qint32 type) const
    {
        for (const QByteArray &r : records) {
            if (packetType(r) == type)
                return r;
        }
        return {};
    }

private:
    QTcpSocket m_socket;
    ReceiveBuffer m_in;
};

} // namespace

class TestRelayLobby : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void twoViewersMeetChatAndLeave();

private:
    bool connectViewer(WindowRig &v);
    bool watch(WindowRig &v, const QString &game);

    QProcess m_relay;
    QByteArray m_log;
};

void TestRelayLobby::initTestCase()
{
    QString dir = qEnvironmentVariable("ARBELON_BIN_DIR");
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath();
    connect(&m_relay, &QProcess::readyReadStandardError, this, [this] { m_log += m_relay.readAllStandardError(); });
    m_relay.start(dir + QStringLiteral("/arbelon-relay"), {QStringLiteral("--listen"), kAddr});
    const bool up = QTest::qWaitFor([this] {
        return m_log.contains("listening viewer=") || m_relay.state() == QProcess::NotRunning;
    },
                                    kWaitMs);
    QVERIFY2(up && m_log.contains("listening viewer=38962 filmer=38963"), m_log.constData());
}

void TestRelayLobby::cleanupTestCase()
{
    m_relay.terminate();
    if (!m_relay.waitForFinished(kWaitMs))
        m_relay.kill();
}

bool TestRelayLobby::connectViewer(WindowRig &v)
{
    v.answers << WindowRig::viewerValues(kAddr);
    v.clickTool("ConnectButton");
    return QTest::qWaitFor([&v] { return v.core().connected() && v.core().state() == ssIdle; }, kWaitMs);
}

// Picks the game's row with the mouse and presses Watch Game; true once in its lobby.
bool TestRelayLobby::watch(WindowRig &v, const QString &game)
{
    if (!QTest::qWaitFor([&] { return v.gameRow(game) >= 0; }, kWaitMs))
        return false;
    v.clickRow("GamesListBox", v.gameRow(game));
    v.clickTool("WatchGame");
    return QTest::qWaitFor([&v] { return v.page() == QLatin1String("LobbySheet"); }, kWaitMs);
}

void TestRelayLobby::twoViewersMeetChatAndLeave()
{
    const QString game = QStringLiteral("Lobby test");
    RawFilmer filmer;
    QVERIFY(filmer.open(game.toLatin1()));

    WindowRig alice(QStringLiteral("alice"));
    WindowRig bob(QStringLiteral("bob"));
    alice.make();
    bob.make();
    QVERIFY(connectViewer(alice));
    QVERIFY(connectViewer(bob));

    // Alice enters first: the Filmer is already there, then she is.
    QVERIFY(watch(alice, game));
    QTRY_COMPARE_WITH_TIMEOUT(alice.users(), (QStringList{QStringLiteral("filmer"), QStringLiteral("alice")}), kWaitMs);
    QCOMPARE(alice.control<QLabel>("GameNameLabel")->text(), QStringLiteral("Quake 2: Lobby test"));
    QCOMPARE(alice.control<QLabel>("ModTypeLabel")->text(), QStringLiteral("baseq2"));

    // Bob enters: he sees everyone, and Alice sees him come in.
    QVERIFY(watch(bob, game));
    const QStringList all{QStringLiteral("filmer"), QStringLiteral("alice"), QStringLiteral("bob")};
    QTRY_COMPARE_WITH_TIMEOUT(bob.users(), all, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(alice.users(), all, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(bob.cell(bob.gameRow(game), GameListModel::ColUsers), QStringLiteral("3"), kWaitMs);

    // Lines reach everyone in the lobby, each with its sender's name, in the order said.
    alice.say(QStringLiteral("hello bob"));
    QTRY_COMPARE_WITH_TIMEOUT(bob.chat(), QStringLiteral("<alice> hello bob"), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(alice.chat(), QStringLiteral("<alice> hello bob"), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(alice.core().state(), int(ssInLobby), kWaitMs);
    bob.say(QStringLiteral("hi alice"));
    QTRY_COMPARE_WITH_TIMEOUT(alice.chat(), QStringLiteral("<alice> hello bob\n<bob> hi alice"), kWaitMs);
    filmer.say("good luck");
    const QString lines = QStringLiteral("<alice> hello bob\n<bob> hi alice\n<filmer> good luck");
    QTRY_COMPARE_WITH_TIMEOUT(alice.chat(), lines, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(bob.chat(), lines, kWaitMs);

    // Bob leaves: back on the game list with his chat kept; Alice sees him go.
    QTRY_COMPARE_WITH_TIMEOUT(bob.core().state(), int(ssInLobby), kWaitMs);
    bob.clickTool("LeaveRoom");
    QTRY_COMPARE_WITH_TIMEOUT(bob.page(), QStringLiteral("GameListSheet"), kWaitMs);
    QVERIFY(!bob.control<QToolButton>("LeaveRoom")->isEnabled());
    QCOMPARE(bob.chat(), lines);
    QTRY_COMPARE_WITH_TIMEOUT(alice.users(), (QStringList{QStringLiteral("filmer"), QStringLiteral("alice")}), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(bob.cell(bob.gameRow(game), GameListModel::ColUsers), QStringLiteral("2"), kWaitMs);

    // The Filmer heard the Viewers' lines too.
    QCOMPARE(SendTextReader{filmer.firstOf(SENDTEXT)}.userName(), QByteArray("alice"));
    QCOMPARE(SendTextReader{filmer.firstOf(SENDTEXT)}.text(), QByteArray("hello bob"));

    // The Filmer goes: the game leaves both lists, and Alice can still leave its lobby.
    filmer.close();
    QTRY_COMPARE_WITH_TIMEOUT(alice.users(), QStringList{QStringLiteral("alice")}, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(alice.gameRow(game), -1, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(bob.gameRow(game), -1, kWaitMs);
    alice.clickTool("LeaveRoom");
    QTRY_COMPARE_WITH_TIMEOUT(alice.page(), QStringLiteral("GameListSheet"), kWaitMs);
    QVERIFY(alice.core().connected() && bob.core().connected());

    QVERIFY(alice.prompts.errors.isEmpty() && bob.prompts.errors.isEmpty());
    QVERIFY(alice.prompts.messages.isEmpty() && bob.prompts.messages.isEmpty());
}

QTEST_MAIN(TestRelayLobby)
#include "tst_relaylobby.moc"
