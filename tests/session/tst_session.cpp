// The session and the lobby, driven through the core over real loopback connections.

#include "clientcore.h"
#include "demolistmodel.h"
#include "gamelistmodel.h"
#include "gamerunning.h"
#include "linkwatch.h"
#include "relaydetails.h"
#include "serveraddress.h"
#include "twsocket.h"
#include "common/sessiondriving.h"
#include "common/fakerelay.h"
#include "common/gamefolders.h"
#include "common/testaddress.h"
#include "common/testdoubles.h"
#include "common/webanswer.h"

#include <QDir>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStringListModel>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <stdexcept>
#include <utility>

using namespace arbelon;
using arbelon::test::FakeRelay;
using arbelon::test::ScriptedPrompts;

namespace {
const QString kViewerAddr = test::loopbackAddress(41);
const QString kFilmerAddr = test::loopbackAddress(42);
const QString kCloseAddr = test::loopbackAddress(43);
const QString kBoxViewerAddr = test::loopbackAddress(44);
const QString kBoxFilmerAddr = test::loopbackAddress(45);
const QString kLinkAddr = test::loopbackAddress(46);

ConnectValues viewerValues(const QString &addr)
{
    ConnectValues v;
    v.serverAddress = addr;
    v.role = Role::Viewer;
    v.gameType = 0;
    v.mod = QStringLiteral("baseq2");
    return v;
}
// An error box that, like a modal one, keeps the event loop running while it is open: the
// first one runs whileOpen before it returns.
class ModalPrompts : public ScriptedPrompts {
public:
    explicit ModalPrompts(ClientCore &core) : m_core(core) {}
    std::function<void()> whileOpen;
    QList<qsizetype> bufferedAtOpen; // receive buffer bytes when each box opened

    void showError(const QString &text) override
    {
        ScriptedPrompts::showError(text);
        bufferedAtOpen.append(m_core.dispatcher().buffer().size());
        if (const std::function<void()> f = std::exchange(whileOpen, nullptr))
            f();
    }

private:
    ClientCore &m_core;
};
} // namespace

class TestSession : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_games; // a folder that holds both games

    // Connects a Viewer core to the relay and answers its USERINFO. Game folders still at
    // the stored default ("/", which holds no game) move to one that holds the games.
    void connectViewer(ClientCore &core, ScriptedPrompts &prompts, FakeRelay &relay,
                       const QString &addr, quint16 webPort = 0)
    {
        QVERIFY(arbelon::test::makeGameFolders(m_games.path()));
        for (QString *dir : {&core.settings().quake2Dir, &core.settings().quake3Dir}) {
            if (*dir == QDir::rootPath())
                *dir = m_games.path() + QLatin1Char('/');
        }
        core.setPrompts(&prompts);
        core.settings().userName = QStringLiteral("viewer1");
        prompts.answers.append(viewerValues(addr));
        core.connectWithDialog();
        QTRY_COMPARE(relay.records.size(), 1);
        QCOMPARE(core.state(), int(ssUserInfo));
        relay.send(buildAckNak(0, webPort));
        QTRY_COMPARE(core.state(), int(ssIdle));
    }

    void sendGame(FakeRelay &relay, quint32 id, const QByteArray &name, qint32 type,
                  const QByteArray &mod = "baseq2", quint32 users = 1)
    {
        relay.send(buildGameInfoDetailed(id, name, type, users, mod));
    }

    int acks(const FakeRelay &relay) const { return relay.count(ACKNAK); }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
    }

    void viewerHelloIsUserInfoOnViewerPort()
    {
        FakeRelay relay;
        QVERIFY(relay.listen(kViewerAddr, kViewerPort));
        ClientCore core;
        ScriptedPrompts prompts;
        core.setPrompts(&prompts);
        core.settings().userName = QStringLiteral("abcdefghijklmno");
        prompts.answers.append(viewerValues(kViewerAddr));
        core.connectWithDialog();
        QTRY_COMPARE(relay.records.size(), 1);

        QByteArray expected(32, '\0');
        expected[0] = 8;
        expected[4] = 32;
        expected.replace(12, 15, "abcdefghijklmno");
        QCOMPARE(relay.records.first(), expected);
        QCOMPARE(core.statusText(), QStringLiteral("Connected as Viewer"));
        QVERIFY(!core.connectEnabled());
        QVERIFY(core.disconnectEnabled());
        QCOMPARE(core.page(), int(ClientCore::GameListSheet));
        QCOMPARE(core.settings().serverIP, kViewerAddr);
    }

    void filmerHelloIsGameInfoOnFilmerPort()
    {
        FakeRelay relay;
        QVERIFY(relay.listen(kFilmerAddr, kFilmerPort));
        QTemporaryDir dir;
        ClientCore core;
        FakeGameRunningCheck running;
        core.setGameRunningCheck(&running);
        ScriptedPrompts prompts;
        core.setPrompts(&prompts);
        core.settings().userName = QStringLiteral("filmer");
        core.settings().quake2Dir = dir.path() + QLatin1Char('/');
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("baseq2")));
        ConnectValues v;
        v.serverAddress = kFilmerAddr;
        v.role = Role::Filmer;
        v.password = QStringLiteral("secret");
        v.gameName = QStringLiteral("Friday duel");
        v.gameType = 0;
        v.mod = QStringLiteral("ctf");
        prompts.answers.append(v);
        core.connectWithDialog();
        QTRY_COMPARE(relay.records.size(), 1);

        QByteArray expected(100, '\0');
        expected[0] = 0;
        expected[4] = 100;
        expected[12] = 0; // GameType Quake 2
        expected.replace(16, 3, "ctf");
        expected.replace(33, 6, "filmer");
        expected.replace(50, 6, "secret");
        expected.replace(67, 11, "Friday duel");
        QCOMPARE(relay.records.first(), expected);
        QCOMPARE(core.state(), int(ssGameInfo));
        QCOMPARE(core.statusText(), QStringLiteral("Connected as Filmer"));
        QCOMPARE(core.settings().lastEnteredName, QStringLiteral("Friday duel"));

        relay.ack();
        QTRY_COMPARE(core.state(), int(ssInLobby));
        QVERIFY(!core.optionTreeVisible());
        QCOMPARE(core.page(), int(ClientCore::LobbySheet));
        QVERIFY(!core.leaveRoomEnabled()); // a Filmer leaves by disconnecting
        QVERIFY(core.OutDemoStream().isActive());
        QVERIFY(core.LogFileScan().isActive());
        QCOMPARE(core.gameNameLabel(), QStringLiteral("Quake 2: Friday duel"));
        QCOMPARE(core.modTypeLabel(), QStringLiteral("ctf"));
    }

    void unresolvableNameShowsCannotConnectOnce()
    {
        ClientCore core;
        ScriptedPrompts prompts;
        core.setPrompts(&prompts);
        core.settings().userName = QStringLiteral("viewer1");
        ConnectValues bad = viewerValues(QStringLiteral("no-such-host.invalid"));
        bad.password = QStringLiteral("pw");
        prompts.answers.append(bad); // second dialog: the queue is empty, so it cancels
        core.connectWithDialog();
        // The name is looked up in the background: the answer comes later, once.
        QTRY_COMPARE(prompts.shown.size(), 2);
        QCOMPARE(prompts.messages, QStringList{QStringLiteral("Cannot Connect")});
        QCOMPARE(prompts.shown.at(1).serverAddress, bad.serverAddress);
        QCOMPARE(prompts.shown.at(1).password, bad.password);
        QVERIFY(core.connectEnabled());
        QVERIFY(!core.disconnectEnabled());
    }

    void refusedConnectionEndsAsAfterClose()
    {
        // Nothing listens on this address: the attempt fails after it started.
        ClientCore core;
        ScriptedPrompts prompts;
        core.setPrompts(&prompts);
        core.settings().userName = QStringLiteral("viewer1");
        QSignalSpy failed(&core, &ClientCore::connectionFailed);
        QSignalSpy ended(&core, &ClientCore::sessionEnded);
        QSignalSpy lost(&core, &ClientCore::sessionLost);
        prompts.answers.append(viewerValues(test::loopbackAddress(44)));
        core.connectWithDialog();
        QTRY_COMPARE(ended.size(), 1);
        QCOMPARE(failed.size(), 1);
        // Told in words, not as a socket error number.
        const QString why = QStringLiteral("Connection refused by ") + test::loopbackAddress(44);
        QCOMPARE(core.sessionEndReason(), why);
        QCOMPARE(lost.size(), 1);
        QCOMPARE(lost.first().first().toString(), why);
        QVERIFY(core.connectEnabled());
        QVERIFY(!core.disconnectEnabled());
        QVERIFY(core.statusText().isEmpty());
        QVERIFY(prompts.messages.isEmpty());
    }

    void connectWhileAttemptPendingDoesNothing()
    {
        ClientCore core;
        ScriptedPrompts prompts;
        core.setPrompts(&prompts);
        core.settings().userName = QStringLiteral("viewer1");
        QSignalSpy ended(&core, &ClientCore::sessionEnded);
        prompts.answers.append(viewerValues(test::loopbackAddress(45)));
        ConnectValues filmer = viewerValues(test::loopbackAddress(46));
        filmer.role = Role::Filmer;
        prompts.answers.append(filmer);
        core.connectWithDialog();
        QCOMPARE(core.DemoClient().State(), TWSocket::wsConnecting);
        core.connectWithDialog(); // the attempt has no outcome yet
        QCOMPARE(prompts.shown.size(), 1);
        QCOMPARE(core.role(), Role::Viewer);
        QTRY_COMPARE(ended.size(), 1);
    }

    void viewerRoadFromGameListToLobbyAndBack()
    {
        FakeRelay relay;
        QVERIFY(relay.listen(kViewerAddr, kViewerPort));
        ClientCore core;
        ScriptedPrompts prompts;
        core.setClock([] { return QDateTime(QDate(2026, 12, 6), QTime(21, 5, 9)); });
        QSignalSpy states(&core, &ClientCore::sessionStateChanged);
        connectViewer(core, prompts, relay, kViewerAddr);

        sendGame(relay, 7, "duel", 1, "baseq3", 2);
        QTRY_COMPARE(core.gameList()->rowCount(), 1);
        QTRY_COMPARE(acks(relay), 1);

        arbelon::test::watchSelected(core); // nothing selected: nothing sent
        QCOMPARE(core.state(), int(ssIdle));
        arbelon::test::selectRow(core, 0);
        QVERIFY(core.watchGameEnabled());
        arbelon::test::watchSelected(core);
        QCOMPARE(core.state(), int(ssWaitForGame));
        QTRY_COMPARE(relay.count(WAITFORGAME), 1);
        QCOMPARE(WaitForGameReader{relay.recordsOf(WAITFORGAME).first()}.gameId(), 7);
        QCOMPARE(core.demo().currentDemoName, QStringLiteral("duel061226_210509"));
        QCOMPARE(core.demo().watchedGameType, GameType::Quake3);
        QCOMPARE(core.settings().gameTypeSystem, 1);
        QCOMPARE(core.settings().modTypeSystem, QStringLiteral("baseq3"));

        arbelon::test::watchSelected(core); // a request is unacknowledged
        QCOMPARE(relay.count(WAITFORGAME), 1);

        relay.ack();
        QTRY_COMPARE(core.state(), int(ssInLobby));
        QCOMPARE(core.page(), int(ClientCore::LobbySheet));
        QVERIFY(!core.optionTreeVisible());
        QVERIFY(core.leaveRoomEnabled());
        QVERIFY(!core.watchGameEnabled());
        QCOMPARE(core.gameNameLabel(), QStringLiteral("Quake 3: duel"));
        QCOMPARE(core.modTypeLabel(), QStringLiteral("baseq3"));

        // Chat: sent only in the lobby, shown only when it comes back.
        QVERIFY(core.sendChat(QStringLiteral("hello")));
        QCOMPARE(core.state(), int(ssSendText));
        QVERIFY(!core.sendChat(QStringLiteral("second"))); // unacknowledged
        QTRY_COMPARE(relay.count(SENDTEXT), 1);
        const QByteArray said = relay.recordsOf(SENDTEXT).first();
        QCOMPARE(SendTextReader{said}.text(), QByteArray("hello"));
        QCOMPARE(SendTextReader{said}.userName(), QByteArray());
        QVERIFY(core.chatLines().isEmpty());
        relay.ack();
        QTRY_COMPARE(core.state(), int(ssInLobby));

        core.leaveLobby();
        QCOMPARE(core.state(), int(ssLeaveGame));
        QTRY_COMPARE(relay.count(LEAVEGAME), 1);
        QCOMPARE(relay.recordsOf(LEAVEGAME).first().size(), 12);
        relay.ack();
        QTRY_COMPARE(core.state(), int(ssIdle));
        QCOMPARE(core.page(), int(ClientCore::GameListSheet));
        QCOMPARE(core.selectedNode(), int(ClientCore::NodeGamesList));
        QVERIFY(core.optionTreeVisible());
        QVERIFY(!core.leaveRoomEnabled());
        QCOMPARE(core.gameList()->rowCount(), 1); // leaving keeps the game list
        // The watched game stays selected while listed: Watch acts on what the list shows.
        QCOMPARE(core.selectedGame(), std::optional<GameId>(7));
        QVERIFY(core.watchGameEnabled());
        relay.send(buildGameRemoved(7));
        QTRY_COMPARE(core.gameList()->rowCount(), 0);
        QCOMPARE(core.selectedGame(), std::nullopt);
        QVERIFY(!core.watchGameEnabled());

        core.disconnectFromServer();
        QTRY_COMPARE(core.sessionState(), SessionState::Disconnected);
        QList<SessionState> seen;
        for (const QList<QVariant> &args : states)
            seen.append(args.at(0).value<SessionState>());
        QCOMPARE(seen, (QList<SessionState>{SessionState::Connecting, SessionState::Connected, SessionState::InLobby,
                                            SessionState::Connected, SessionState::Disconnected}));
    }

    // The Filmer's leaving removes the game: its Viewers are told, and keep the lobby to read.
    void watchedGameEndsButLobbyStays()
    {
        FakeRelay relay;
        QVERIFY(relay.listen(kViewerAddr, kViewerPort));
        ClientCore core;
        ScriptedPrompts prompts;
        connectViewer(core, prompts, relay, kViewerAddr);
        sendGame(relay, 7, "duel", 0);
        sendGame(relay, 8, "other", 0);
        QTRY_COMPARE(core.gameList()->rowCount(), 2);
        arbelon::test::selectRow(core, 0);
        QVERIFY(arbelon::test::watchSelected(core));
        QTRY_COMPARE(relay.count(WAITFORGAME), 1);
        relay.ack();
        QTRY_COMPARE(core.state(), int(ssInLobby));
        relay.send(buildGameRemoved(8)); // another game's end says nothing here
        QTRY_COMPARE(core.gameList()->rowCount(), 1);
        QVERIFY(core.chatLines().isEmpty());
        relay.send(buildGameRemoved(7));
        QTRY_COMPARE(core.chatLines(), QStringList{QStringLiteral("The game has ended")});
        QCOMPARE(core.statusText(), QStringLiteral("The game has ended"));
        QCOMPARE(core.page(), int(ClientCore::LobbySheet));
        QCOMPARE(core.sessionState(), SessionState::InLobby);
        QVERIFY(core.leaveRoomEnabled());
        // Left, the session's own line is back.
        core.leaveLobby();
        QTRY_COMPARE(relay.count(LEAVEGAME), 1);
        relay.ack();
        QTRY_COMPARE(core.sessionState(), SessionState::Connected);
        QCOMPARE(core.statusText(), QStringLiteral("Connected as Viewer"));
    }

    // A relay that takes the connection and never says a word does not look connected.
    void silentServerEndsTheAttempt()
    {
        FakeRelay relay;
        QVERIFY(relay.listen(kViewerAddr, kViewerPort));
        ClientCore core;
        ScriptedPrompts prompts;
        core.setPrompts(&prompts);
        core.settings().userName = QStringLiteral("viewer1");
        core.settings().connectTimeoutSeconds = 1;
        QSignalSpy lost(&core, &ClientCore::sessionLost);
        prompts.answers.append(viewerValues(kViewerAddr));
        core.connectWithDialog();
        QTRY_COMPARE(relay.records.size(), 1);
        QCOMPARE(core.sessionState(), SessionState::Connecting);
        QVERIFY(core.connecting()); // Cancel still ends it
        QTRY_COMPARE(core.sessionState(), SessionState::Disconnected);
        QCOMPARE(lost.size(), 1);
        QCOMPARE(lost.at(0).at(0).toString(), QStringLiteral("The server did not answer"));
    }

    void serverAddressForms_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("name") << "relay.example" << true << "relay.example" << 0;
        QTest::newRow("name and port") << " relay.example:40000 " << true << "relay.example" << 40000;
        QTest::newRow("IPv4 and port") << "10.0.0.1:1" << true << "10.0.0.1" << 1;
        QTest::newRow("bare IPv6") << "::1" << true << "::1" << 0;
        QTest::newRow("bracketed IPv6") << "[fe80::1]" << true << "fe80::1" << 0;
        QTest::newRow("bracketed IPv6 and port") << "[::1]:65535" << true << "::1" << 65535;
        QTest::newRow("port 0") << "host:0" << false << "" << 0;
        QTest::newRow("port too big") << "host:65536" << false << "" << 0;
        QTest::newRow("port not a number") << "host:abc" << false << "" << 0;
        QTest::newRow("signed port") << "host:+80" << false << "" << 0;
        QTest::newRow("no host") << ":80" << false << "" << 0;
        QTest::newRow("bracket not closed") << "[::1:80" << false << "" << 0;
        QTest::newRow("text after bracket") << "[::1]x" << false << "" << 0;
        QTest::newRow("empty") << "  " << false << "" << 0;
    }

    void serverAddressForms()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        const std::optional<ServerAddress> a = ServerAddress::parse(text);
        QCOMPARE(a.has_value(), valid);
        if (!a)
            return;
        QTEST(a->host, "host");
        QTEST(int(a->port), "port");
    }

    // The port in the address box wins over the role's own, and the server is remembered.
    void hostPortConnectsThere()
    {
        FakeRelay relay;
        QVERIFY(relay.listen(kViewerAddr, 0));
        ClientCore core;
        ScriptedPrompts prompts;
        core.setPrompts(&prompts);
        core.settings().userName = QStringLiteral("viewer1");
        const QString typed = kViewerAddr + QLatin1Char(':') + QString::number(relay.port());
        prompts.answers.append(viewerValues(typed));
        core.connectWithDialog();
        QTRY_COMPARE(relay.records.size(), 1);
        QCOMPARE(core.settings().serverIP, typed);
        QCOMPARE(core.settings().recentServers, QStringList{typed});
    }

    // A refused request ends its wait: the session goes on instead of holding every later one.
    void refusalEndsItsWait_data()
    {
        QTest::addColumn<int>("refused"); // the state whose request the relay refuses
        QTest::addColumn<int>("after");
        QTest::newRow("watch") << int(ssWaitForGame) << int(ssIdle);
        QTest::newRow("chat line") << int(ssSendText) << int(ssInLobby);
        QTest::newRow("leave") << int(ssLeaveGame) << int(ssInLobby);
    }

    void refusalEndsItsWait()
    {
        QFETCH(int, refused);
        QFETCH(int, after);
        FakeRelay relay;
        QVERIFY(relay.listen(kViewerAddr, kViewerPort));
        ClientCore core;
        ScriptedPrompts prompts;
        connectViewer(core, prompts, relay, kViewerAddr);
        QSignalSpy notices(&core, &ClientCore::notice);
        sendGame(relay, 1, "a", 0);
        QTRY_COMPARE(core.gameList()->rowCount(), 1);
        arbelon::test::selectRow(core, 0);
        arbelon::test::watchSelected(core);
        QTRY_COMPARE(relay.count(WAITFORGAME), 1);
        if (refused != ssWaitForGame) {
            relay.ack();
            QTRY_COMPARE(core.state(), int(ssInLobby));
            if (refused == ssSendText)
                QVERIFY(core.sendChat(QStringLiteral("too fast")));
            else
                core.leaveLobby();
        }
        QCOMPARE(core.state(), refused);
        relay.ack(1);
        QTRY_COMPARE(core.state(), after);
        if (refused == ssSendText)
            QCOMPARE(core.chatLines().last(), QStringLiteral("(not sent: too fast)"));
        else
            QCOMPARE(notices.size(), 1);
        QCOMPARE(core.watchGameEnabled(), refused == ssWaitForGame);

        // The next request goes out.
        if (after == ssIdle)
            arbelon::test::watchSelected(core);
        else
            QVERIFY(core.sendChat(QStringLiteral("again")));
        QTRY_COMPARE(relay.count(WAITFORGAME) + relay.count(SENDTEXT) + relay.count(LEAVEGAME),
                     refused == ssWaitForGame ? 2 : 3);
    }

    void serverCloseInLobbyLeavesLobbyAndKeepsDemoList()
    {
        FakeRelay relay;
        QVERIFY(relay.listen(kCloseAddr, kViewerPort));
        ClientCore core;
        ScriptedPrompts prompts;
        connectViewer(core, prompts, relay, kCloseAddr);
        sendGame(relay, 3, "g", 0);
        QTRY_COMPARE(core.gameList()->rowCount(), 1);
        arbelon::test::selectRow(core, 0);
        arbelon::test::watchSelected(core);
        relay.ack();
        QTRY_COMPARE(core.state(), int(ssInLobby));
        core.demoList()->appendRow(QStringLiteral("G061226_210509"));
        core.demo().listedNames.append(QStringLiteral("G061226_210509"));

        QSignalSpy ended(&core, &ClientCore::sessionEnded);
        relay.closeClient();
        QTRY_COMPARE(ended.size(), 1);
        QCOMPARE(core.state(), int(ssIdle));
        QCOMPARE(core.gameList()->rowCount(), 0);
        QVERIFY(core.connectEnabled());
        QVERIFY(!core.disconnectEnabled());
        QVERIFY(!core.leaveRoomEnabled());
        QVERIFY(core.statusText().isEmpty());
        QCOMPARE(core.demoList()->rowCount(), 1);
        QCOMPARE(core.page(), int(ClientCore::GameListSheet));
        QVERIFY(core.optionTreeVisible());
    }

    void gameNameWithSemicolonWatchesTheRightGame()
    {
        FakeRelay relay;
        QVERIFY(relay.listen(kViewerAddr, kViewerPort));
        ClientCore core;
        ScriptedPrompts prompts;
        core.setClock([] { return QDateTime(QDate(2027, 2, 1), QTime(9, 5, 7)); });
        connectViewer(core, prompts, relay, kViewerAddr);
        sendGame(relay, 4000000000u, "a;b;Quake 3;x", 0, "ctf");
        QTRY_COMPARE(core.gameList()->rowCount(), 1);
        const GameRow &row = core.gameList()->row(0);
        QCOMPARE(row.id, 4000000000u);
        QCOMPARE(row.gameType, std::optional<GameType>(GameType::Quake2));
        QCOMPARE(row.mod, QByteArray("ctf"));
        arbelon::test::selectRow(core, 0);
        arbelon::test::watchSelected(core);
        QTRY_COMPARE(relay.count(WAITFORGAME), 1);
        QCOMPARE(quint32(WaitForGameReader{relay.recordsOf(WAITFORGAME).first()}.gameId()),
                 4000000000u);
        QCOMPARE(core.demo().currentDemoName, QStringLiteral("a;b;Quake 3;x010227_090507"));
        QCOMPARE(core.demo().watchedMod, QStringLiteral("ctf"));
        QCOMPARE(core.demo().watchedGameType, GameType::Quake2);
    }

    void gameListRows_data()
    {
        QTest::addColumn<int>("gameType");
        QTest::addColumn<QString>("gameText");
        QTest::newRow("quake2") << 0 << QStringLiteral("Quake 2");
        QTest::newRow("quake3") << 1 << QStringLiteral("Quake 3");
        QTest::newRow("other") << 2 << QString();
        QTest::newRow("negative") << -1 << QString();
    }

    void gameListRows()
    {
        QFETCH(int, gameType);
        QFETCH(QString, gameText);
        FakeRelay relay;
        QVERIFY(relay.listen(kViewerAddr, kViewerPort));
        ClientCore core;
        ScriptedPrompts prompts;
        connectViewer(core, prompts, relay, kViewerAddr);
        sendGame(relay, 10, "first", 0);
        sendGame(relay, 11, "second", gameType, "m", 4294967295u);
        QTRY_COMPARE(core.gameList()->rowCount(), 2);
        arbelon::test::selectRow(core, 1);
        QCOMPARE(core.gameList()->index(1, GameListModel::ColGame).data().toString(), gameText);
        QCOMPARE(core.gameList()->row(1).users, 4294967295u);

        // A known ID replaces its row in place and keeps the selection.
        sendGame(relay, 11, "renamed", gameType, "m", 3);
        QTRY_COMPARE(core.gameList()->row(1).name, QByteArray("renamed"));
        QCOMPARE(core.gameList()->rowCount(), 2);
        QCOMPARE(core.gameList()->selectedRow(), 1);

        // Watching a game of another type keeps the watched and session types.
        core.settings().gameTypeSystem = 0;
        arbelon::test::watchSelected(core);
        QCOMPARE(core.settings().gameTypeSystem, gameType == 1 ? 1 : 0);

        // Removing an unknown ID changes nothing but is answered.
        const int before = acks(relay);
        relay.send(buildGameRemoved(999));
        QTRY_COMPARE(acks(relay), before + 1);
        QCOMPARE(core.gameList()->rowCount(), 2);
    }

    // Each game's map and players come from the web page at the port the relay names; whatever
    // the page answers, the list takes only bounded values and keeps its own rows.
    void gameDetailsFromTheWebPage_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("map"); // game 10's
        QTest::addColumn<QString>("players");
        QTest::newRow("as the relay says") << QByteArray(R"([{"id":10,"map":"oa_dm1","players":4},{"id":77,"map":"x"}])")
                                           << "oa_dm1" << "4";
        QTest::newRow("not read yet") << QByteArray(R"([{"id":10,"map":"","players":0}])") << "" << "";
        QTest::newRow("not JSON") << QByteArray("<html>10 oa_dm1</html>") << "" << "";
        QTest::newRow("an object") << QByteArray(R"({"id":10,"map":"oa_dm1"})") << "" << "";
        QTest::newRow("ids that are none") << QByteArray(R"([{"id":-10,"map":"a"},{"id":10.5,"map":"b"},{"id":4294967306,"map":"c"}])")
                                           << "" << "";
        QTest::newRow("a long map, players past any game")
            << QByteArray(R"([{"id":10,"map":")" + QByteArray(65536, 'm') + R"(","players":1e12}])") << QString(64, u'm') << "1024";
        QTest::newRow("past the size a page may say")
            << QByteArray(R"([{"id":10,"map":"big","players":2,"x":")" + QByteArray(5 << 20, 'x') + R"("}])") << "" << "";
    }
    void gameDetailsFromTheWebPage()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, map);
        QFETCH(QString, players);
        FakeRelay relay;
        QVERIFY(relay.listen(kViewerAddr, kViewerPort));
        QTcpServer web;
        QVERIFY(web.listen(QHostAddress(kViewerAddr), 0));
        arbelon::test::answerEveryRequest(web, body);
        ClientCore core;
        QSignalSpy read(core.relayDetails(), &RelayDetails::detailsRead);
        ScriptedPrompts prompts;
        connectViewer(core, prompts, relay, kViewerAddr, web.serverPort());
        sendGame(relay, 10, "first", 1);
        QTRY_COMPARE(core.gameList()->rowCount(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(read.count() > 0, 10000);
        QCOMPARE(core.gameList()->index(0, GameListModel::ColMap).data().toString(), map);
        QCOMPARE(core.gameList()->index(0, GameListModel::ColPlayers).data().toString(), players);
        QCOMPARE(core.gameList()->row(0).name, QByteArray("first"));
    }

    void removingSelectedRowLeavesWatchSendingNothing()
    {
        FakeRelay relay;
        QVERIFY(relay.listen(kViewerAddr, kViewerPort));
        ClientCore core;
        ScriptedPrompts prompts;
        connectViewer(core, prompts, relay, kViewerAddr);
        sendGame(relay, 1, "one", 0);
        sendGame(relay, 2, "two", 0);
        QTRY_COMPARE(core.gameList()->rowCount(), 2);
        arbelon::test::selectRow(core, 1);
        relay.send(buildGameRemoved(2));
        QTRY_COMPARE(core.gameList()->rowCount(), 1);
        QCOMPARE(core.gameList()->selectedRow(), -1);
        QVERIFY(!core.watchGameEnabled());
        arbelon::test::watchSelected(core);
        QTest::qWait(50);
        QCOMPARE(relay.count(WAITFORGAME), 0);
        QCOMPARE(core.state(), int(ssIdle));
    }

    // A relay that sends more games or users than any real one holds fills no memory beyond
    // a bound; every record is still answered, and rows already there still change.
    void listsStayBounded_data()
    {
        QTest::addColumn<bool>("games");
        QTest::newRow("games") << true;
        QTest::newRow("users") << false;
    }
    void listsStayBounded()
    {
        QFETCH(bool, games);
        FakeRelay relay;
        QVERIFY(relay.listen(kViewerAddr, kViewerPort));
        ClientCore core;
        ScriptedPrompts prompts;
        connectViewer(core, prompts, relay, kViewerAddr);
        const int bound = games ? GameListModel::kMaxRows : ClientCore::kMaxUsers;
        const auto rows = [&] { return games ? core.gameList()->rowCount() : core.users()->rowCount(); };
        QByteArray flood;
        for (int i = 1; i <= bound + 5; ++i) {
            const QByteArray name = "n" + QByteArray::number(i);
            flood += games ? buildGameInfoDetailed(quint32(i), name, 0, 1, "baseq2") : buildUserEntered(name);
        }
        relay.send(flood);
        QTRY_COMPARE_WITH_TIMEOUT(acks(relay), bound + 5, 60000);
        QCOMPARE(rows(), bound);

        if (games) {
            sendGame(relay, 1, "renamed", 1);
            relay.send(buildGameRemoved(2));
            sendGame(relay, quint32(bound + 9), "late", 0);
        } else {
            relay.send(buildUserLeft("n2"));
            relay.send(buildUserEntered("late"));
        }
        QTRY_COMPARE(acks(relay), bound + (games ? 8 : 7));
        QCOMPARE(rows(), bound);
        if (games) {
            QCOMPARE(core.gameList()->row(0).name, QByteArray("renamed"));
            QCOMPARE(core.gameList()->row(bound - 1).name, QByteArray("late"));
        } else {
            QCOMPARE(core.users()->stringList().last(), QStringLiteral("late"));
            QVERIFY(!core.users()->stringList().contains(QStringLiteral("n2")));
        }
    }

    void usersAndChat()
    {
        FakeRelay relay;
        QVERIFY(relay.listen(kViewerAddr, kViewerPort));
        ClientCore core;
        ScriptedPrompts prompts;
        connectViewer(core, prompts, relay, kViewerAddr);
        // Outside a lobby the lists still change.
        relay.send(buildUserEntered("Bob"));
        relay.send(buildUserEntered("Alice"));
        relay.send(buildUserEntered("bob"));
        relay.send(buildUserLeft("BOB"));
        relay.send(buildUserLeft("nobody"));
        relay.send(buildSendText("Alice", "hi all"));
        relay.send(buildSendText("", "server notice"));
        QTRY_COMPARE(acks(relay), 7);
        QCOMPARE(core.users()->stringList(), (QStringList{QStringLiteral("Alice"), QStringLiteral("bob")}));
        QCOMPARE(core.chatLines(),
                 (QStringList{QStringLiteral("<Alice> hi all"), QStringLiteral("server notice")}));

        // Entering a lobby empties both.
        sendGame(relay, 1, "g", 0);
        QTRY_COMPARE(core.gameList()->rowCount(), 1);
        arbelon::test::selectRow(core, 0);
        arbelon::test::watchSelected(core);
        relay.ack();
        QTRY_COMPARE(core.state(), int(ssInLobby));
        QVERIFY(core.users()->stringList().isEmpty());
        QVERIFY(core.chatLines().isEmpty());

        // An empty line still goes out; an unknown ACKNAK result in the lobby changes nothing.
        QVERIFY(core.sendChat(QString()));
        QTRY_COMPARE(relay.count(SENDTEXT), 1);
        QCOMPARE(SendTextReader{relay.recordsOf(SENDTEXT).first()}.text(), QByteArray());
        relay.ack();
        QTRY_COMPARE(core.state(), int(ssInLobby));
        relay.ack();
        QTest::qWait(50);
        QCOMPARE(core.state(), int(ssInLobby));
    }

    void disconnectAsksAndObeys()
    {
        FakeRelay relay;
        QVERIFY(relay.listen(kViewerAddr, kViewerPort));
        ClientCore core;
        ScriptedPrompts prompts;
        connectViewer(core, prompts, relay, kViewerAddr);
        prompts.confirmAnswer = false;
        core.confirmAndDisconnect();
        QCOMPARE(prompts.questions, QStringList{QStringLiteral("Are you sure you wish to disconnect?")});
        QVERIFY(core.connected());

        prompts.confirmAnswer = true;
        QSignalSpy ended(&core, &ClientCore::sessionEnded);
        core.confirmAndDisconnect();
        QCOMPARE(ended.size(), 1); // before Close returns
        QVERIFY(!core.connected());
        QVERIFY(core.connectEnabled());

        prompts.questions.clear();
        core.confirmAndDisconnect();
        QVERIFY(prompts.questions.isEmpty());
    }

    void cancelStartsNothing()
    {
        ClientCore core;
        ScriptedPrompts prompts;
        core.setPrompts(&prompts);
        core.connectWithDialog();
        QCOMPARE(prompts.shown.size(), 1);
        QVERIFY(prompts.messages.isEmpty());
        QCOMPARE(core.DemoClient().State(), TWSocket::wsClosed);
    }

    // An error raised while a record is handled is shown once that record is done, not
    // inside the receive loop, where the box's event loop would hand the same record over
    // again.
    void errorBoxWaitsUntilTheRecordIsHandled_data()
    {
        QTest::addColumn<int>("role");
        QTest::newRow("Filmer: autoexec.cfg cannot be read at lobby entry") << int(roleFilmer);
        QTest::newRow("Viewer: settings cannot be saved when the lobby is left from Setup") << int(roleViewer);
    }
    void errorBoxWaitsUntilTheRecordIsHandled()
    {
        QFETCH(int, role);
        FakeRelay relay;
        QVERIFY(relay.listen(role == roleFilmer ? kBoxFilmerAddr : kBoxViewerAddr,
                             role == roleFilmer ? kFilmerPort : kViewerPort));
        QTemporaryDir dir;
        ClientCore core;
        ModalPrompts prompts(core);
        FakeGameRunningCheck running;
        core.setGameRunningCheck(&running);
        QSignalSpy entered(&core, &ClientCore::lobbyEntered);
        QSignalSpy left(&core, &ClientCore::lobbyLeft);
        int gamesAcked = 0;

        if (role == roleFilmer) {
            // A folder where the configuration should be: it cannot be read.
            core.settings().quake2Dir = dir.path() + QLatin1Char('/');
            QVERIFY(QDir().mkpath(dir.path() + QStringLiteral("/baseq2/autoexec.cfg")));
            core.setPrompts(&prompts);
            core.settings().userName = QStringLiteral("filmer");
            prompts.answers.append(ConnectValues{kBoxFilmerAddr, QString(), Role::Filmer, QStringLiteral("game"),
                                                 gtQuake2, QStringLiteral("baseq2")});
            core.connectWithDialog();
            QTRY_COMPARE(relay.count(GAMEINFO), 1);
        } else {
            connectViewer(core, prompts, relay, kBoxViewerAddr);
            core.selectNode(ClientCore::NodeSetup);
            sendGame(relay, 7, "duel", 0);
            gamesAcked = 1;
            QTRY_COMPARE(acks(relay), gamesAcked);
            arbelon::test::selectRow(core, 0);
            arbelon::test::watchSelected(core);
            QTRY_COMPARE(relay.count(WAITFORGAME), 1);
            relay.ack();
            QTRY_COMPARE(core.state(), int(ssInLobby));
            core.setSaveSettings([] { throw std::runtime_error("cannot save the settings"); });
            core.leaveLobby();
            QTRY_COMPARE(relay.count(LEAVEGAME), 1);
        }
        const int rows = core.gameList()->rowCount();
        const int answers = gamesAcked + 1;
        prompts.whileOpen = [&] {
            sendGame(relay, 9, "other", 0);
            if (!QTest::qWaitFor([&] { return acks(relay) == answers; }, 10000))
                qWarning("the game row sent while the box was open was not answered");
        };
        relay.ack();

        QTRY_COMPARE(prompts.errors.size(), 1);
        QTRY_COMPARE(acks(relay), answers);
        QCOMPARE(prompts.bufferedAtOpen, QList<qsizetype>{0});
        QCOMPARE(core.gameList()->rowCount(), rows + 1);
        if (role == roleFilmer) {
            QCOMPARE(core.state(), int(ssInLobby));
            QCOMPARE(entered.count(), 1);
        } else {
            QCOMPARE(core.state(), int(ssIdle));
            QCOMPARE(left.count(), 1);
        }
        QVERIFY(core.connected());
    }

    // ---- watch links -------------------------------------------------------------------

    // A link's road: the relay on the link's own port, the game perhaps listed only later or
    // never, the request perhaps refused.
    void linkConnectsWaitsAndWatches_data()
    {
        QTest::addColumn<QList<quint32>>("listed"); // games the relay lists after the hello
        QTest::addColumn<int>("answer");            // to the WAITFORGAME; -1: none is sent
        QTest::addColumn<QString>("failure");       // empty: the game is watched
        QTest::newRow("listed with others") << QList<quint32>{5, 7, 9} << 0 << QString();
        QTest::newRow("listed alone") << QList<quint32>{7} << 0 << QString();
        QTest::newRow("never listed") << QList<quint32>{5, 70} << -1 << QStringLiteral("Game 7 is not on the relay");
        QTest::newRow("refused by the relay") << QList<quint32>{7} << 1 << QStringLiteral("refused to let you watch game 7");
    }

    void linkConnectsWaitsAndWatches()
    {
        QFETCH(QList<quint32>, listed);
        QFETCH(int, answer);
        QFETCH(QString, failure);
        FakeRelay relay;
        QVERIFY(relay.listen(kLinkAddr, 0));
        ClientCore core;
        ScriptedPrompts prompts;
        core.setPrompts(&prompts);
        core.settings().userName = QStringLiteral("linker");
        const QTemporaryDir games;
        QVERIFY(QDir(games.path()).mkpath(QStringLiteral("baseq2")));
        core.settings().quake2Dir = games.path() + QLatin1Char('/');
        LinkWatch watch(core);
        watch.setGameWaitMs(300);
        QSignalSpy watching(&watch, &LinkWatch::watching);
        QSignalSpy failed(&watch, &LinkWatch::failed);

        watch.open(WatchLink{kLinkAddr, relay.port(), 7});
        QTRY_COMPARE(relay.count(USERINFO), 1);
        relay.ack();
        QTRY_COMPARE(core.state(), int(ssIdle));
        for (const quint32 id : listed)
            sendGame(relay, id, "game " + QByteArray::number(id), 0);
        if (answer >= 0) {
            QTRY_COMPARE(relay.count(WAITFORGAME), 1);
            QCOMPARE(WaitForGameReader{relay.recordsOf(WAITFORGAME).first()}.gameId(), 7);
            relay.ack(quint8(answer));
        }
        if (failure.isEmpty()) {
            QTRY_COMPARE(watching.size(), 1);
            QCOMPARE(watching.first().first().toUInt(), 7u);
            QCOMPARE(core.state(), int(ssInLobby));
            QCOMPARE(core.gameNameLabel(), QStringLiteral("Quake 2: game 7"));
        } else {
            QTRY_COMPARE(failed.size(), 1);
            QVERIFY2(failed.first().first().toString().contains(failure), qPrintable(failed.first().first().toString()));
            QCOMPARE(watching.size(), 0);
            QVERIFY(core.connected()); // the session stays; only the errand ended
        }
        QVERIFY(!watch.pending());
        QCOMPARE(relay.count(WAITFORGAME), answer >= 0 ? 1 : 0);
        QVERIFY(prompts.questions.isEmpty());
    }

    // A session in the way ends only when the user agrees; a Viewer outside a lobby on the
    // link's relay is not in the way.
    void linkInASession_data()
    {
        QTest::addColumn<bool>("inLobby");
        QTest::addColumn<bool>("agree");
        QTest::addColumn<int>("hellos"); // USERINFO records the relay saw in the end
        QTest::newRow("idle on the same relay") << false << false << 1;
        QTest::newRow("in a lobby, user agrees") << true << true << 2;
        QTest::newRow("in a lobby, user declines") << true << false << 1;
    }

    void linkInASession()
    {
        QFETCH(bool, inLobby);
        QFETCH(bool, agree);
        QFETCH(int, hellos);
        FakeRelay relay;
        QVERIFY(relay.listen(kLinkAddr, 0));
        ClientCore core;
        ScriptedPrompts prompts;
        prompts.confirmAnswer = agree;
        core.setPrompts(&prompts);
        core.settings().userName = QStringLiteral("linker");
        const QTemporaryDir games;
        QVERIFY(QDir(games.path()).mkpath(QStringLiteral("baseq2")));
        core.settings().quake2Dir = games.path() + QLatin1Char('/');
        LinkWatch watch(core);
        QSignalSpy watching(&watch, &LinkWatch::watching);
        QSignalSpy declined(&watch, &LinkWatch::declined);

        const auto answerHello = [&] {
            QTRY_COMPARE(core.state(), int(ssUserInfo));
            relay.ack();
            QTRY_COMPARE(core.state(), int(ssIdle));
            sendGame(relay, 5, "five", 0);
            sendGame(relay, 7, "seven", 0);
        };
        // Outside a lobby: a link whose game is not listed is still pending; the next replaces it.
        watch.open(WatchLink{kLinkAddr, relay.port(), inLobby ? 5u : 99u});
        answerHello();
        if (inLobby) {
            QTRY_COMPARE(relay.count(WAITFORGAME), 1);
            relay.ack();
            QTRY_COMPARE(watching.size(), 1);
        } else {
            QTRY_COMPARE(core.gameList()->rowCount(), 2);
            QVERIFY(watch.pending());
        }
        const int waitsBefore = relay.count(WAITFORGAME);

        watch.open(WatchLink{kLinkAddr, relay.port(), 7});
        QCOMPARE(prompts.questions.size(), inLobby ? 1 : 0);
        if (inLobby && !agree) {
            QCOMPARE(declined.size(), 1);
            QCOMPARE(core.state(), int(ssInLobby));
            QVERIFY(!watch.pending());
        } else {
            if (inLobby)
                answerHello();
            QTRY_COMPARE(relay.count(WAITFORGAME), waitsBefore + 1);
            QCOMPARE(WaitForGameReader{relay.recordsOf(WAITFORGAME).last()}.gameId(), 7);
            relay.ack();
            QTRY_COMPARE(core.state(), int(ssInLobby));
            QCOMPARE(core.gameNameLabel(), QStringLiteral("Quake 2: seven"));
        }
        QCOMPARE(relay.count(USERINFO), hellos);
    }

    void leavingSetupSavesAndOtherMovesDoNot()
    {
        ClientCore core;
        int saves = 0;
        core.setSaveSettings([&saves] { ++saves; });
        core.selectNode(ClientCore::NodeGamesList);
        core.selectNode(ClientCore::NodeArbelon);
        QCOMPARE(saves, 0);
        core.selectNode(ClientCore::NodeSetup);
        QCOMPARE(core.page(), int(ClientCore::SetupSheet));
        core.selectNode(ClientCore::NodeGamesList);
        QCOMPARE(saves, 1);
        core.shutdown();
        QCOMPARE(saves, 2);
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
