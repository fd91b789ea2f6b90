// The main window driven as a user would, over real loopback connections to a scripted relay on
// an address of this test's own: clicks on the toolbar and in the lists, typing in the chat
// line, and the real connect dialog filled in with the keyboard and the mouse. Message boxes
// are answered through the window's hooks.

#include "gamelistmodel.h"
#include "twsocket.h"
#include "windowrig.h"
#include "zlibcomp.h"
#include "common/testaddress.h"

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>

using namespace arbelon;
using namespace arbelon::test;

namespace {

const QString kAddr = test::loopbackAddress(91);
const QDateTime kWhen(QDate(2027, 2, 1), QTime(9, 5, 7));
constexpr quint32 kNoSuchGame = 0xFFFFFFFEu;
// What the window shows (see WindowRig::shown) at start and as a Viewer on the game list.
const QString kAtStart = QStringLiteral("CDLW=1000 page=IntroSheet tree=Arbelon status=");
const QString kOnGameList =
    QStringLiteral("CDLW=0100 page=GameListSheet tree=Games List status=Connected as Viewer");

QByteArray textField(const char *text, int width)
{
    QByteArray f(text);
    f.resize(width, '\0');
    return f;
}

QByteArray userInfoImage(const char *user)
{
    QByteArray r(32, '\0');
    r[0] = 8;
    r[4] = 32;
    r.replace(12, 17, textField(user, 17));
    return r;
}

QByteArray gameInfoImage(char gameType, const char *mod, const char *user, const char *password,
                         const char *game)
{
    QByteArray r(100, '\0');
    r[0] = 0;
    r[4] = 100;
    r[12] = gameType;
    r.replace(16, 17, textField(mod, 17));
    r.replace(33, 17, textField(user, 17));
    r.replace(50, 17, textField(password, 17));
    r.replace(67, 33, textField(game, 33));
    return r;
}

// One demo block of size raw bytes as the Filmer sends it.
QByteArray demoBlock(int size)
{
    QByteArray raw(size, '\0');
    for (int i = 0; i < size; ++i)
        raw[i] = char((i * 7 + i / 251) & 0xff);
    const CompressedBlock b = compressBlock(raw);
    return buildDemoPacket(b.crc, 0, b.data);
}

} // namespace

class TestWindowSession : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void helloThroughTheDialog_data();
    void helloThroughTheDialog();
    void cancelledDialogStartsNothing();
    void unresolvableNameReopensDialogAsTyped();
    void dialogOpensWithWatchedGame();
    void viewerRoadFromGameListToLobbyAndBack();
    void refusedWatchLetsUserChooseAgain();
    void serverCloseInLobby();
    void enterWhileLineUnacknowledged();
    void semicolonInGameName();
    void networkTextIsPlain_data();
    void networkTextIsPlain();
    void demoListPlays_data();
    void demoListPlays();
    void removedGameRows_data();
    void removedGameRows();
    void failedAttemptThenSessionStatus();
    void disconnectAsks_data();
    void disconnectAsks();
    void programSelectionsOpenTheTree();

private:
    // Builds and shows the window; the clock stands still at kWhen.
    void start(bool realDialog = false);
    void connectViewer(Relay &relay);
    void watchRow(Relay &relay, int row);
    void roundTrip(Relay &relay);

    std::unique_ptr<WindowRig> m_w;
};

void TestWindowSession::init()
{
    m_w = std::make_unique<WindowRig>();
}

void TestWindowSession::cleanup()
{
    m_w.reset();
}

void TestWindowSession::start(bool realDialog)
{
    m_w->realDialog = realDialog;
    m_w->make();
    m_w->core().setClock([] { return kWhen; });
}

void TestWindowSession::connectViewer(Relay &relay)
{
    m_w->answers << WindowRig::viewerValues(kAddr);
    m_w->clickTool("ConnectButton");
    QTRY_COMPARE(relay.records.size(), 1);
    relay.ack();
    QTRY_COMPARE(m_w->core().state(), int(ssIdle));
}

// Selects a row with the mouse, presses Watch Game and has the relay accept.
void TestWindowSession::watchRow(Relay &relay, int row)
{
    const int before = relay.count(WAITFORGAME);
    m_w->clickRow("GamesListBox", row);
    m_w->clickTool("WatchGame");
    QTRY_COMPARE(relay.count(WAITFORGAME), before + 1);
    relay.ack();
    QTRY_COMPARE(m_w->page(), QStringLiteral("LobbySheet"));
}

// Whatever the client sent before this is called has reached the relay once it returns: the
// answer to a record given now travels behind it on the same connection, and the client
// answers every record it is given, in order.
void TestWindowSession::roundTrip(Relay &relay)
{
    relay.give(buildGameRemoved(kNoSuchGame));
    QTRY_COMPARE(relay.count(ACKNAK), relay.owed);
}

// ---- connecting ------------------------------------------------------------------------------

void TestWindowSession::helloThroughTheDialog_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<bool>("quake3");
    QTest::addColumn<QString>("mod");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("afterAck");
    QTest::addColumn<QString>("labels");

    QTest::newRow("viewer") << 0 << false << QString() << userInfoImage("tester")
                            << kOnGameList
                            << QStringLiteral("/");
    QTest::newRow("filmer quake 2")
        << 1 << false << QStringLiteral("ctf") << gameInfoImage(0, "ctf", "tester", "pw", "Friday duel")
        << QStringLiteral("CDLW=0100 page=LobbySheet tree=hidden status=Connected as Filmer")
        << QStringLiteral("Quake 2: Friday duel/ctf");
    QTest::newRow("filmer quake 3")
        << 1 << true << QStringLiteral("ctf") << gameInfoImage(1, "baseq3", "tester", "pw", "Friday duel")
        << QStringLiteral("CDLW=0100 page=LobbySheet tree=hidden status=Connected as Filmer")
        << QStringLiteral("Quake 3: Friday duel/baseq3");
}

void TestWindowSession::helloThroughTheDialog()
{
    QFETCH(int, role);
    QFETCH(bool, quake3);
    QFETCH(QString, mod);
    QFETCH(QByteArray, expected);
    QFETCH(QString, afterAck);
    QFETCH(QString, labels);

    // Both ports listen, so a client at the wrong one would be seen.
    FakeRelay viewerRelay;
    FakeRelay filmerRelay;
    QVERIFY(viewerRelay.listen(kAddr, kViewerPort));
    QVERIFY(filmerRelay.listen(kAddr, kFilmerPort));
    start(true);
    DialogDriver driver;
    driver.scripts << [&](TConnectForm &d) {
        typeInto(inDialog<QLineEdit>(d, "IPLineEdit"), kAddr);
        if (role == roleFilmer) {
            QTest::mouseClick(inDialog<QPushButton>(d, "FilmGameButton"), Qt::LeftButton);
            typeInto(inDialog<QLineEdit>(d, "PasswordEdit"), QStringLiteral("pw"));
            typeInto(inDialog<QLineEdit>(d, "GameNameEdit"), QStringLiteral("Friday duel"));
            auto *games = inDialog<QComboBox>(d, "GameTypeCombo");
            games->setCurrentIndex(0);
            typeInto(inDialog<QComboBox>(d, "ModTypeEdit")->lineEdit(), mod);
            if (quake3) {
                games->setFocus();
                QTest::keyClick(games, Qt::Key_Down);
            }
        }
        QTest::mouseClick(inDialog<QPushButton>(d, "ConnectButton"), Qt::LeftButton);
    };
    m_w->clickTool("ConnectButton");
    QCOMPARE(driver.opened, 1);

    FakeRelay &relay = role == roleFilmer ? filmerRelay : viewerRelay;
    FakeRelay &other = role == roleFilmer ? viewerRelay : filmerRelay;
    QTRY_COMPARE(relay.records.size(), 1);
    QCOMPARE(relay.records.first(), expected);
    QVERIFY(!other.client());
    QCOMPARE(m_w->control<QLabel>("StatusPanel")->text(),
             role == roleFilmer ? QStringLiteral("Connected as Filmer") : QStringLiteral("Connected as Viewer"));
    QCOMPARE(m_w->shown().left(9), QStringLiteral("CDLW=0100"));

    relay.ack();
    QTRY_COMPARE(m_w->shown(), afterAck);
    QCOMPARE(m_w->control<QLabel>("GameNameLabel")->text() + QLatin1Char('/')
                 + m_w->control<QLabel>("ModTypeLabel")->text(),
             labels);
    QVERIFY(m_w->prompts.messages.isEmpty());
}

void TestWindowSession::cancelledDialogStartsNothing()
{
    start(true);
    DialogDriver driver; // no script: Cancel
    m_w->clickTool("ConnectButton");
    QCOMPARE(driver.opened, 1);
    QCOMPARE(m_w->core().DemoClient().State(), TWSocket::wsClosed);
    QVERIFY(m_w->prompts.messages.isEmpty());
    QCOMPARE(m_w->shown(), kAtStart);
}

void TestWindowSession::unresolvableNameReopensDialogAsTyped()
{
    start(true);
    DialogDriver driver;
    QStringList second;
    driver.scripts << [](TConnectForm &d) {
        typeInto(inDialog<QLineEdit>(d, "IPLineEdit"), QStringLiteral("no-such-host.invalid"));
        QTest::mouseClick(inDialog<QPushButton>(d, "FilmGameButton"), Qt::LeftButton);
        typeInto(inDialog<QLineEdit>(d, "PasswordEdit"), QStringLiteral("pw1"));
        typeInto(inDialog<QLineEdit>(d, "GameNameEdit"), QStringLiteral("Typed game"));
        typeInto(inDialog<QComboBox>(d, "ModTypeEdit")->lineEdit(), QStringLiteral("battle"));
        QTest::mouseClick(inDialog<QPushButton>(d, "ConnectButton"), Qt::LeftButton);
    };
    driver.scripts << [&second](TConnectForm &d) {
        second << inDialog<QLineEdit>(d, "IPLineEdit")->text()
               << (inDialog<QPushButton>(d, "FilmGameButton")->isChecked() ? QStringLiteral("film")
                                                                           : QStringLiteral("watch"))
               << inDialog<QLineEdit>(d, "PasswordEdit")->text() << inDialog<QLineEdit>(d, "GameNameEdit")->text()
               << inDialog<QComboBox>(d, "ModTypeEdit")->currentText();
        QTest::mouseClick(inDialog<QPushButton>(d, "cancelButton"), Qt::LeftButton);
    };
    m_w->clickTool("ConnectButton");

    // The name is looked up in the background; its failure brings the dialog back.
    QTRY_COMPARE(driver.opened, 2);
    QCOMPARE(m_w->prompts.messages, QStringList{QStringLiteral("Cannot Connect")});
    QCOMPARE(second, (QStringList{QStringLiteral("no-such-host.invalid"), QStringLiteral("film"), QStringLiteral("pw1"),
                                  QStringLiteral("Typed game"), QStringLiteral("battle")}));
    QCOMPARE(m_w->shown(), kAtStart);
}

void TestWindowSession::dialogOpensWithWatchedGame()
{
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    start(true);
    DialogDriver driver;
    QStringList reopened;
    driver.scripts << [](TConnectForm &d) {
        typeInto(inDialog<QLineEdit>(d, "IPLineEdit"), kAddr);
        QTest::mouseClick(inDialog<QPushButton>(d, "ConnectButton"), Qt::LeftButton);
    };
    driver.scripts << [&reopened](TConnectForm &d) {
        reopened << inDialog<QLineEdit>(d, "IPLineEdit")->text() << inDialog<QComboBox>(d, "GameTypeCombo")->currentText()
                 << inDialog<QComboBox>(d, "ModTypeEdit")->currentText();
        QTest::mouseClick(inDialog<QPushButton>(d, "cancelButton"), Qt::LeftButton);
    };
    m_w->clickTool("ConnectButton");
    QTRY_COMPARE(relay.records.size(), 1);
    relay.ack();
    relay.give(buildGameInfoDetailed(8, "arena", gtQuake3, 2, "cpma"));
    QTRY_COMPARE(m_w->gameRows(), 1);
    m_w->clickRow("GamesListBox", 0, true);
    QTRY_COMPARE(relay.count(WAITFORGAME), 1);
    relay.ack();
    QTRY_COMPARE(m_w->page(), QStringLiteral("LobbySheet"));

    m_w->clickTool("DisconnectButton");
    QCOMPARE(m_w->shown(), QStringLiteral("CDLW=1000 page=GameListSheet tree=Games List status="));
    m_w->clickTool("ConnectButton");
    QCOMPARE(driver.opened, 2);
    QCOMPARE(reopened, (QStringList{kAddr, QStringLiteral("Quake 3"), QStringLiteral("cpma")}));
}

// ---- the Viewer's road ---------------------------------------------------------------------

void TestWindowSession::viewerRoadFromGameListToLobbyAndBack()
{
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    start();
    m_w->answers << WindowRig::viewerValues(kAddr);
    m_w->clickTool("ConnectButton");
    QTRY_COMPARE(relay.records.size(), 1);
    QCOMPARE(m_w->shown(), kOnGameList);
    relay.ack(); // USERINFO
    QTRY_COMPARE(m_w->core().state(), int(ssIdle));
    QCOMPARE(m_w->shown(), kOnGameList);

    relay.give(buildGameInfoDetailed(5, "ffa", 0, 4, "baseq2") + buildGameInfoDetailed(7, "duel", 1, 2, "baseq3"));
    QTRY_COMPARE(m_w->gameRows(), 2);
    QCOMPARE((QStringList{m_w->cell(1, 0), m_w->cell(1, 1), m_w->cell(1, 2), m_w->cell(1, 3), m_w->cell(1, 4)}),
             (QStringList{QStringLiteral("7"), QStringLiteral("duel"), QStringLiteral("Quake 3"),
                          QStringLiteral("baseq3"), QStringLiteral("2")}));
    m_w->clickTool("WatchGame"); // disabled: nothing selected yet
    m_w->clickRow("GamesListBox", 1);
    QCOMPARE(m_w->shown(), QStringLiteral("CDLW=0101 page=GameListSheet tree=Games List status=Connected as Viewer"));

    m_w->clickTool("WatchGame");
    QTRY_COMPARE(relay.count(WAITFORGAME), 1);
    QCOMPARE(WaitForGameReader{relay.recordsOf(WAITFORGAME).first()}.gameId(), 7);
    relay.ack(); // WAITFORGAME
    const QString inLobby = QStringLiteral("CDLW=0110 page=LobbySheet tree=hidden status=Connected as Viewer");
    QTRY_COMPARE(m_w->shown(), inLobby);
    QCOMPARE(m_w->control<QLabel>("GameNameLabel")->text(), QStringLiteral("Quake 3: duel"));
    QCOMPARE(m_w->control<QLabel>("ModTypeLabel")->text(), QStringLiteral("baseq3"));

    relay.give(buildUserEntered("bob") + buildUserEntered("tester") + buildSendText("bob", "hi all"));
    QTRY_COMPARE(m_w->chat(), QStringLiteral("<bob> hi all"));
    QCOMPARE(m_w->users(), (QStringList{QStringLiteral("bob"), QStringLiteral("tester")}));

    m_w->say(QStringLiteral("hello"));
    QTRY_COMPARE(relay.count(SENDTEXT), 1);
    QCOMPARE(SendTextReader{relay.recordsOf(SENDTEXT).first()}.text(), QByteArray("hello"));
    QCOMPARE(m_w->control<QLineEdit>("LobbyEdit")->text(), QString());
    QCOMPARE(m_w->chat(), QStringLiteral("<bob> hi all")); // shown when the relay sends it back
    relay.ack();                                           // SENDTEXT
    QTRY_COMPARE(m_w->core().state(), int(ssInLobby));
    QCOMPARE(m_w->shown(), inLobby);

    m_w->clickTool("LeaveRoom");
    QTRY_COMPARE(relay.count(LEAVEGAME), 1);
    QCOMPARE(m_w->shown(), inLobby); // left only when accepted
    relay.ack();                     // LEAVEGAME
    // The watched game is still listed and stays selected: Watch acts on it.
    QTRY_COMPARE(m_w->shown(), kOnGameList.left(5) + QStringLiteral("0101") + kOnGameList.mid(9));
    QVERIFY(m_w->control<QTreeWidget>("OptionTree")->topLevelItem(0)->isExpanded());
    QCOMPARE(m_w->gameRows(), 2);

    // A double-click on the other game watches it; the new lobby starts with empty lists.
    m_w->clickRow("GamesListBox", 0, true);
    QTRY_COMPARE(relay.count(WAITFORGAME), 2);
    QCOMPARE(WaitForGameReader{relay.recordsOf(WAITFORGAME).last()}.gameId(), 5);
    relay.ack();
    QTRY_COMPARE(m_w->shown(), inLobby);
    QCOMPARE(m_w->control<QLabel>("GameNameLabel")->text(), QStringLiteral("Quake 2: ffa"));
    QCOMPARE(m_w->control<QLabel>("ModTypeLabel")->text(), QStringLiteral("baseq2"));
    QCOMPARE(m_w->chat(), QString());
    QCOMPARE(m_w->users(), QStringList());
    QVERIFY(m_w->prompts.messages.isEmpty() && m_w->prompts.errors.isEmpty());
}

void TestWindowSession::refusedWatchLetsUserChooseAgain()
{
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    start();
    connectViewer(relay);
    relay.give(buildGameInfoDetailed(1, "a", 0, 1, "baseq2") + buildGameInfoDetailed(2, "b", 0, 1, "baseq2"));
    QTRY_COMPARE(m_w->gameRows(), 2);
    m_w->clickRow("GamesListBox", 0);
    m_w->clickTool("WatchGame");
    QTRY_COMPARE(relay.count(WAITFORGAME), 1);

    QSignalSpy refused(&m_w->core(), &ClientCore::recordRefused);
    relay.ack(1);
    QVERIFY(refused.wait());
    QCOMPARE(m_w->shown(), kOnGameList.left(5) + QStringLiteral("0101") + kOnGameList.mid(9));
    QVERIFY2(m_w->form().statusBar()->currentMessage().contains(QLatin1String("refused to let you watch \"a\"")),
             qPrintable(m_w->form().statusBar()->currentMessage()));

    // The user chooses again, and the request goes out.
    m_w->clickRow("GamesListBox", 1);
    m_w->clickTool("WatchGame");
    QTRY_COMPARE(relay.count(WAITFORGAME), 2);
    QCOMPARE(WaitForGameReader{relay.recordsOf(WAITFORGAME).last()}.gameId(), 2);
}

void TestWindowSession::serverCloseInLobby()
{
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    start();
    connectViewer(relay);
    relay.give(buildGameInfoDetailed(3, "G", 0, 2, "baseq2"));
    QTRY_COMPARE(m_w->gameRows(), 1);
    watchRow(relay, 0);
    relay.give(buildUserEntered("bob") + buildDemoRestart(0) + demoBlock(25000));
    const QAbstractItemModel *demos = m_w->control<QTreeView>("DemoList")->model();
    QTRY_COMPARE(demos->rowCount(), 1);
    QCOMPARE(demos->index(0, 0).data().toString(), QStringLiteral("G010227_090507"));

    QSignalSpy ended(&m_w->core(), &ClientCore::sessionEnded);
    relay.closeClient();
    QVERIFY(ended.wait());
    QCOMPARE(m_w->shown(), QStringLiteral("CDLW=1000 page=GameListSheet tree=Games List status="));
    QCOMPARE(m_w->core().state(), int(ssIdle));
    QCOMPARE(m_w->gameRows(), 0);
    QCOMPARE(demos->rowCount(), 1);
    QCOMPARE(demos->index(0, 0).data().toString(), QStringLiteral("G010227_090507"));
    QVERIFY(m_w->prompts.messages.isEmpty() && m_w->prompts.errors.isEmpty());
}

void TestWindowSession::enterWhileLineUnacknowledged()
{
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    start();
    connectViewer(relay);
    relay.give(buildGameInfoDetailed(9, "chat", 0, 1, "baseq2"));
    QTRY_COMPARE(m_w->gameRows(), 1);
    watchRow(relay, 0);
    auto *edit = m_w->control<QLineEdit>("LobbyEdit");

    m_w->say(QStringLiteral("first"));
    QCOMPARE(edit->text(), QString());
    m_w->say(QStringLiteral("second")); // "first" awaits its answer
    roundTrip(relay);
    QCOMPARE(relay.count(SENDTEXT), 1);
    QCOMPARE(edit->text(), QStringLiteral("second"));

    relay.ack();
    QTRY_COMPARE(m_w->core().state(), int(ssInLobby));
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_Enter); // the keypad's Enter says the kept line
    QTRY_COMPARE(relay.count(SENDTEXT), 2);
    QCOMPARE(SendTextReader{relay.recordsOf(SENDTEXT).last()}.text(), QByteArray("second"));
    QCOMPARE(edit->text(), QString());

    relay.ack();
    QTRY_COMPARE(m_w->core().state(), int(ssInLobby));
    m_w->say(QString()); // an empty line is said too
    QTRY_COMPARE(relay.count(SENDTEXT), 3);
    QCOMPARE(SendTextReader{relay.recordsOf(SENDTEXT).last()}.text(), QByteArray());
}

void TestWindowSession::semicolonInGameName()
{
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    start();
    connectViewer(relay);
    relay.give(buildGameInfoDetailed(12, "x", 1, 1, "baseq3")
               + buildGameInfoDetailed(4000000000u, "a;b;Quake 3;x", 0, 3, "ctf"));
    QTRY_COMPARE(m_w->gameRows(), 2);
    QCOMPARE((QStringList{m_w->cell(1, 0), m_w->cell(1, 1), m_w->cell(1, 2), m_w->cell(1, 3), m_w->cell(1, 4)}),
             (QStringList{QStringLiteral("4000000000"), QStringLiteral("a;b;Quake 3;x"), QStringLiteral("Quake 2"),
                          QStringLiteral("ctf"), QStringLiteral("3")}));

    m_w->clickRow("GamesListBox", 1, true);
    QTRY_COMPARE(relay.count(WAITFORGAME), 1);
    QCOMPARE(quint32(WaitForGameReader{relay.recordsOf(WAITFORGAME).first()}.gameId()), 4000000000u);
    QCOMPARE(m_w->core().demo().currentDemoName, QStringLiteral("a;b;Quake 3;x010227_090507"));
    relay.ack();
    QTRY_COMPARE(m_w->control<QLabel>("GameNameLabel")->text(), QStringLiteral("Quake 2: a;b;Quake 3;x"));
    QCOMPARE(m_w->control<QLabel>("ModTypeLabel")->text(), QStringLiteral("ctf"));

    // The demo is named after the chosen game and lands in that game's mod folder.
    relay.give(buildDemoRestart(0) + demoBlock(21000));
    const QAbstractItemModel *demos = m_w->control<QTreeView>("DemoList")->model();
    QTRY_COMPARE(demos->rowCount(), 1);
    const QString name = demos->index(0, 0).data().toString();
    QVERIFY2(name.startsWith(QLatin1String("A_B_QUAKE_3_X")), qPrintable(name));
    QVERIFY(QFileInfo::exists(m_w->path(QStringLiteral("q2/ctf/demos/")) + name + QStringLiteral(".dm2")));
}

// What the relay sends is shown as the text it is: no markup in a label, and one chat record
// is one line of the memo, its control characters escaped.
void TestWindowSession::networkTextIsPlain_data()
{
    QTest::addColumn<QByteArray>("mod");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("line");

    QTest::newRow("heading as mod") << QByteArray("<h1>BIG</h1>") << QByteArray("bob") << QByteArray("hi")
                                    << QStringLiteral("<bob> hi");
    QTest::newRow("forged server line") << QByteArray("ctf") << QByteArray("bob")
                                        << QByteArray("hi\n<server> give me your password")
                                        << QStringLiteral("<bob> hi\\x0a<server> give me your password");
    QTest::newRow("escape and carriage return") << QByteArray("ctf") << QByteArray("b\x1b[2Jb")
                                                << QByteArray("a\r\x85z")
                                                // 0x85 is no UTF-8: it reads as Windows-1252's ellipsis
                                                << QStringLiteral("<b\\x1b[2Jb> a\\x0d\u2026z");
}

void TestWindowSession::networkTextIsPlain()
{
    QFETCH(QByteArray, mod);
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, text);
    QFETCH(QString, line);
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    start();
    connectViewer(relay);
    relay.give(buildGameInfoDetailed(3, "g", 0, 1, mod));
    QTRY_COMPARE(m_w->gameRows(), 1);
    watchRow(relay, 0);
    auto *modLabel = m_w->control<QLabel>("ModTypeLabel");
    QCOMPARE(modLabel->text(), QString::fromLatin1(mod));
    QCOMPARE(modLabel->textFormat(), Qt::PlainText);

    relay.give(buildSendText(user, text));
    QTRY_VERIFY(!m_w->chat().isEmpty());
    QCOMPARE(m_w->chat(), line); // the memo starts empty in the lobby: exactly one line
}

void TestWindowSession::demoListPlays_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("selected");
    QTest::newRow("double-click") << QStringLiteral("double-click") << true;
    QTest::newRow("pop-up item on the row") << QStringLiteral("menu") << true;
    QTest::newRow("pop-up item without a selection") << QStringLiteral("menu") << false;
    QTest::newRow("Return on the row") << QStringLiteral("Return") << true;
    QTest::newRow("keypad Enter on the row") << QStringLiteral("Enter") << true;
}

void TestWindowSession::demoListPlays()
{
    QFETCH(QString, how);
    QFETCH(bool, selected);
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    start();
    connectViewer(relay);
    relay.give(buildGameInfoDetailed(2, "Duel", 0, 2, "ctf"));
    QTRY_COMPARE(m_w->gameRows(), 1);
    watchRow(relay, 0);
    relay.give(buildDemoRestart(0) + demoBlock(30000));
    auto *list = m_w->control<QTreeView>("DemoList");
    QTRY_COMPARE(list->model()->rowCount(), 1);
    QCOMPARE(list->model()->index(0, 1).data().toString(), QStringLiteral("30k "));

    if (how == QLatin1String("double-click")) {
        m_w->clickRow("DemoList", 0, true);
    } else if (how == QLatin1String("Return") || how == QLatin1String("Enter")) {
        // From the keyboard alone: the list takes the focus, the cursor goes to the row.
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Home);
        QTest::keyClick(list, how == QLatin1String("Return") ? Qt::Key_Return : Qt::Key_Enter);
    } else {
        // Right-click on the row selects it, as in every list; below the rows nothing is.
        const QRect rowRect = list->visualRect(list->model()->index(0, 0));
        QPoint at = rowRect.center();
        if (selected)
            m_w->clickRow("DemoList", 0);
        else
            at = QPoint(rowRect.center().x(), list->viewport()->height() - 2);
        QContextMenuEvent request(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
        QApplication::sendEvent(list->viewport(), &request);
        auto *menu = m_w->form().findChild<QMenu *>(QStringLiteral("DemoListMenu"));
        QTRY_VERIFY(menu->isVisible());
        QAction *item = menu->findChild<QAction *>(QStringLiteral("WatchGame1"));
        QCOMPARE(item->text(), QStringLiteral("Watch Game"));
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(item).center());
        QTRY_VERIFY(!menu->isVisible());
    }

    if (!selected) {
        QVERIFY(m_w->starter.launches.isEmpty());
        return;
    }
    QCOMPARE(m_w->starter.launches.size(), 1);
    const RecordingStarter::Launch &l = m_w->starter.launches.first();
    QCOMPARE(l.program, m_w->path(QStringLiteral("q2/quake2.exe")));
    QCOMPARE(l.workingDirectory, m_w->path(QStringLiteral("q2/")));
    QCOMPARE(l.arguments, (QStringList{QStringLiteral("+set"), QStringLiteral("game"), QStringLiteral("ctf"),
                                       QStringLiteral("+map"), QStringLiteral("DUEL010227_090507.dm2")}));
}

void TestWindowSession::removedGameRows_data()
{
    QTest::addColumn<quint32>("removed");
    QTest::addColumn<int>("selectedAfter");
    QTest::addColumn<qint32>("watched"); // -1: nothing is sent
    QTest::newRow("the selected game") << 2u << -1 << -1;
    QTest::newRow("a game above it") << 1u << 0 << 2;
}

void TestWindowSession::removedGameRows()
{
    QFETCH(quint32, removed);
    QFETCH(int, selectedAfter);
    QFETCH(qint32, watched);
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    start();
    connectViewer(relay);
    relay.give(buildGameInfoDetailed(1, "one", 0, 1, "baseq2") + buildGameInfoDetailed(2, "two", 0, 1, "baseq2"));
    auto *games = m_w->control<QTreeView>("GamesListBox");
    QTRY_COMPARE(games->model()->rowCount(), 2);
    m_w->clickRow("GamesListBox", 1);

    relay.give(buildGameRemoved(removed));
    QTRY_COMPARE(games->model()->rowCount(), 1);
    const QModelIndexList rows = games->selectionModel()->selectedRows();
    QCOMPARE(rows.isEmpty() ? -1 : rows.first().row(), selectedAfter);
    // Watch Game keeps the state the user's last click gave it.
    QVERIFY(m_w->tool("WatchGame")->isEnabled());
    m_w->clickTool("WatchGame");
    roundTrip(relay);
    if (watched < 0) {
        QCOMPARE(relay.count(WAITFORGAME), 0);
    } else {
        QCOMPARE(relay.count(WAITFORGAME), 1);
        QCOMPARE(WaitForGameReader{relay.recordsOf(WAITFORGAME).first()}.gameId(), watched);
    }
}

void TestWindowSession::failedAttemptThenSessionStatus()
{
    start();
    QSignalSpy ended(&m_w->core(), &ClientCore::sessionEnded);
    m_w->answers << WindowRig::viewerValues(kAddr); // nothing listens yet: refused after it started
    m_w->clickTool("ConnectButton");
    QVERIFY(ended.wait());
    QVERIFY(!m_w->form().statusBar()->currentMessage().isEmpty());
    QCOMPARE(m_w->shown(), kAtStart);
    QVERIFY(m_w->prompts.messages.isEmpty());

    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    connectViewer(relay);
    QCOMPARE(m_w->form().statusBar()->currentMessage(), QString());
    QVERIFY(m_w->control<QLabel>("StatusPanel")->isVisible());
    QCOMPARE(m_w->control<QLabel>("StatusPanel")->text(), QStringLiteral("Connected as Viewer"));
}

void TestWindowSession::disconnectAsks_data()
{
    QTest::addColumn<bool>("yes");
    QTest::addColumn<QString>("after");
    QTest::newRow("no") << false << kOnGameList;
    QTest::newRow("yes") << true << kAtStart;
}

void TestWindowSession::disconnectAsks()
{
    QFETCH(bool, yes);
    QFETCH(QString, after);
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    start();
    connectViewer(relay);
    relay.give(buildGameInfoDetailed(1, "one", 0, 1, "baseq2"));
    QTRY_COMPARE(m_w->gameRows(), 1);

    m_w->prompts.confirmAnswer = yes;
    m_w->clickTool("DisconnectButton");
    QCOMPARE(m_w->prompts.questions, QStringList{QStringLiteral("Are you sure you wish to disconnect?")});
    QCOMPARE(m_w->shown(), after);
    QCOMPARE(m_w->gameRows(), yes ? 0 : 1);
    if (yes)
        QTRY_VERIFY(!relay.client() || relay.client()->state() != QAbstractSocket::ConnectedState);
    else
        roundTrip(relay);
}

void TestWindowSession::programSelectionsOpenTheTree()
{
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    start();
    auto *tree = m_w->control<QTreeWidget>("OptionTree");
    QTreeWidgetItem *root = tree->topLevelItem(0);
    tree->collapseItem(root); // as the user's click on the root's fold mark does
    QVERIFY(!root->isExpanded());

    connectViewer(relay);
    QVERIFY(root->isExpanded());
    QCOMPARE(tree->currentItem()->text(0), QStringLiteral("Games List"));

    tree->collapseItem(root);
    QSignalSpy ended(&m_w->core(), &ClientCore::sessionEnded);
    relay.closeClient();
    QVERIFY(ended.wait());
    QVERIFY(root->isExpanded());
    QCOMPARE(tree->currentItem()->text(0), QStringLiteral("Arbelon"));
}

QTEST_MAIN(TestWindowSession)
#include "tst_windowsession.moc"
