// The window never fails without a word: sessions that end by themselves say why, refusals are
// told where they happen, a connection attempt can be watched and cancelled, and everything
// the toolbar does can be done from the keyboard. Driven as a user would, over loopback.

#include "quitsignals.h"
#include "twsocket.h"
#include "windowrig.h"
#include "common/testaddress.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtEndian>

#include <csignal>

using namespace arbelon;
using namespace arbelon::test;

namespace {

const QString kAddr = test::loopbackAddress(93);
const QString kSilent = test::loopbackAddress(94); // accepts nothing: its queue is full

ConnectValues filmerValues()
{
    ConnectValues v = WindowRig::viewerValues(kAddr);
    v.role = Role::Filmer;
    v.gameName = QStringLiteral("duel");
    return v;
}

// A record header whose size no record can have.
QByteArray badDemoHeader()
{
    QByteArray r(rec::kHeaderSize, '\0');
    qToLittleEndian<qint32>(DEMOPACKET, r.data());
    qToLittleEndian<quint32>(8, r.data() + 4);
    return r;
}

} // namespace

class TestWindowTelling : public QObject {
    Q_OBJECT

private slots:
    void init() { m_w = std::make_unique<WindowRig>(); }
    void cleanup() { m_w.reset(); }

    void sessionEndsAreTold_data();
    void sessionEndsAreTold();
    void endedGameIsTold();
    void refusedChatLineIsShown();
    void refusedUpFront_data();
    void refusedUpFront();
    void connectingShowsAndEnds_data();
    void connectingShowsAndEnds();
    void keyboardReachesEveryAction();
    void tabReachesEveryControl();
    void watchGameFollowsClicksAndSession();
    void questionGoesWithTheLink_data();
    void questionGoesWithTheLink();
    void quitAsksWhileWatching_data();
    void quitAsksWhileWatching();
    void nothingCutAtMinimumSize();

private:
    void connectViewer(Relay &relay);
    void enterLobby(Relay &relay);
    // Presses Tab from the focused control until the focus comes back to it: the names met.
    QStringList tabCycle() const;
    QString statusMessage() const { return m_w->form().statusBar()->currentMessage(); }

    std::unique_ptr<WindowRig> m_w;
};

void TestWindowTelling::connectViewer(Relay &relay)
{
    m_w->answers << WindowRig::viewerValues(kAddr);
    m_w->clickTool("ConnectButton");
    QTRY_COMPARE(relay.records.size(), 1);
    relay.ack();
    QTRY_COMPARE(m_w->core().state(), int(ssIdle));
}

void TestWindowTelling::enterLobby(Relay &relay)
{
    relay.give(buildGameInfoDetailed(4, "ffa", gtQuake2, 1, "baseq2"));
    QTRY_COMPARE(m_w->gameRows(), 1);
    m_w->clickRow("GamesListBox", 0);
    m_w->clickTool("WatchGame");
    QTRY_COMPARE(relay.count(WAITFORGAME), 1);
    relay.ack();
    QTRY_COMPARE(m_w->page(), QStringLiteral("LobbySheet"));
}

// ---- ends the user did not ask for ------------------------------------------------------------

void TestWindowTelling::sessionEndsAreTold_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("told"); // the status bar's message begins with it
    QTest::addColumn<bool>("box");     // a message too: the user was watching or filming

    QTest::newRow("relay closes, game list") << "close"
                                             << "The relay closed the connection" << false;
    QTest::newRow("relay closes, lobby") << "close in lobby"
                                         << "The relay closed the connection" << true;
    QTest::newRow("bad data, lobby") << "bad data"
                                     << "Bad data from the relay: " << true;
    QTest::newRow("nothing listens") << "refused" << QStringLiteral("Connection refused by ") + kAddr << false;
    QTest::newRow("film refused") << "film refused"
                                  << "The relay refused the game \"duel\"" << true;
    QTest::newRow("full relay") << "full" << "The server is full" << false;
}

void TestWindowTelling::sessionEndsAreTold()
{
    QFETCH(QString, how);
    QFETCH(QString, told);
    QFETCH(bool, box);
    Relay relay;
    if (how != QLatin1String("refused"))
        QVERIFY(relay.listen(kAddr, how == QLatin1String("film refused") ? kFilmerPort : kViewerPort));
    m_w->make();
    QSignalSpy ended(&m_w->core(), &ClientCore::sessionEnded);

    if (how == QLatin1String("refused")) {
        m_w->answers << WindowRig::viewerValues(kAddr);
        m_w->clickTool("ConnectButton");
    } else if (how == QLatin1String("full")) {
        m_w->answers << WindowRig::viewerValues(kAddr);
        m_w->clickTool("ConnectButton");
        QTRY_COMPARE(relay.records.size(), 1);
        relay.ack(2); // no room: the relay answers the hello so, then closes
        relay.closeClient();
    } else if (how == QLatin1String("film refused")) {
        m_w->answers << filmerValues();
        m_w->clickTool("ConnectButton");
        QTRY_COMPARE(relay.records.size(), 1);
        relay.ack(1);
        relay.closeClient();
    } else {
        connectViewer(relay);
        if (how != QLatin1String("close"))
            enterLobby(relay);
        if (how == QLatin1String("bad data"))
            relay.send(badDemoHeader());
        else
            relay.closeClient();
    }
    QTRY_COMPARE(ended.size(), 1);
    QVERIFY2(statusMessage().startsWith(told), qPrintable(statusMessage()));
    QVERIFY(!statusMessage().contains(QLatin1String("error")));
    if (box)
        QTRY_COMPARE(m_w->prompts.messages, QStringList{statusMessage()});
    QCoreApplication::processEvents(); // a box, if any, is shown from the event loop
    QCOMPARE(m_w->prompts.messages.size(), box ? 1 : 0);
}

// The Filmer left: the lobby says so and stays to be read until the user leaves it.
void TestWindowTelling::endedGameIsTold()
{
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    m_w->make();
    connectViewer(relay);
    enterLobby(relay);
    relay.give(buildGameRemoved(4));
    QTRY_VERIFY(m_w->chat().contains(QLatin1String("The game has ended")));
    QCOMPARE(statusMessage(), QStringLiteral("The game has ended"));
    QCOMPARE(m_w->page(), QStringLiteral("LobbySheet"));
    QVERIFY(m_w->tool("LeaveRoom")->isEnabled());
}

void TestWindowTelling::refusedChatLineIsShown()
{
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    m_w->make();
    connectViewer(relay);
    enterLobby(relay);
    m_w->say(QStringLiteral("hello"));
    QTRY_COMPARE(relay.count(SENDTEXT), 1);
    relay.ack(1);
    QTRY_COMPARE(m_w->chat(), QStringLiteral("(not sent: hello)"));
    // The wait has ended: the next line and Leave Lobby go out.
    m_w->say(QString());
    QTRY_COMPARE(relay.count(SENDTEXT), 2);
    relay.ack();
    QTRY_COMPARE(m_w->core().state(), int(ssInLobby));
    m_w->clickTool("LeaveRoom");
    QTRY_COMPARE(relay.count(LEAVEGAME), 1);
}

// ---- refused where the fault is made ---------------------------------------------------------

void TestWindowTelling::refusedUpFront_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("told");
    QTest::newRow("blank user name") << "name"
                                     << "The user name must not be empty or blank";
    QTest::newRow("quake 3 not set up") << "quake 3"
                                        << "and Quake 3 is not set up";
    QTest::newRow("filming at rate 0") << "rate"
                                       << "The transfer rate is 0";
    // "/" is the stored default: it holds no game, and nothing may be written below it.
    QTest::newRow("watching, quake 2 in the root folder") << "root watch"
                                                          << "does not hold Quake 2";
    QTest::newRow("filming, quake 2 in the root folder") << "root film"
                                                         << "does not hold Quake 2";
}

void TestWindowTelling::refusedUpFront()
{
    QFETCH(QString, what);
    QFETCH(QString, told);
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    m_w->make();
    ClientCore &core = m_w->core();

    if (what == QLatin1String("name")) {
        core.selectNode(ClientCore::NodeSetup);
        auto *edit = m_w->control<QLineEdit>("UserNameEdit");
        typeInto(edit, QStringLiteral("   "));
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(core.settings().userName, QStringLiteral("tester"));
        QCOMPARE(edit->text(), QStringLiteral("tester"));
    } else if (what == QLatin1String("quake 3") || what == QLatin1String("root watch")) {
        const bool q3 = what == QLatin1String("quake 3");
        if (q3)
            core.settings().quake3Dir.clear(); // "I Dont have Quake 3 installed"
        else
            core.settings().quake2Dir = QStringLiteral("/");
        connectViewer(relay);
        relay.give(buildGameInfoDetailed(6, "arena", q3 ? gtQuake3 : gtQuake2, 1, q3 ? "baseq3" : "baseq2"));
        QTRY_COMPARE(m_w->gameRows(), 1);
        m_w->clickRow("GamesListBox", 0, true);
        QCOMPARE(core.state(), int(ssIdle));
        QVERIFY(relay.client()->state() == QAbstractSocket::ConnectedState);
    } else {
        if (what == QLatin1String("rate"))
            core.settings().transferRate = 0;
        else
            core.settings().quake2Dir = QStringLiteral("/");
        m_w->answers << filmerValues();
        m_w->clickTool("ConnectButton");
        QCOMPARE(core.DemoClient().State(), TWSocket::wsClosed);
    }
    QCOMPARE(m_w->prompts.messages.size(), 1);
    QVERIFY2(m_w->prompts.messages.first().contains(told), qPrintable(m_w->prompts.messages.first()));
    QCOMPARE(relay.count(WAITFORGAME), 0);
    // Each fix lies on the Setup page, and that is where the window now is.
    QCOMPARE(m_w->page(), QStringLiteral("SetupSheet"));
    QVERIFY(!QFileInfo::exists(QStringLiteral("/baseq2/demos")));
}

// ---- an attempt that gets no answer ----------------------------------------------------------

void TestWindowTelling::connectingShowsAndEnds_data()
{
    QTest::addColumn<bool>("cancel");
    QTest::newRow("cancel") << true;
    QTest::newRow("time out") << false;
}

void TestWindowTelling::connectingShowsAndEnds()
{
    QFETCH(bool, cancel);
    // A listener whose one-place queue is taken: further attempts get no answer at all.
    QTcpServer silent;
    silent.setListenBacklogSize(0);
    QVERIFY(silent.listen(QHostAddress(kSilent), kViewerPort));
    silent.pauseAccepting();
    QTcpSocket filler;
    filler.connectToHost(kSilent, kViewerPort);
    QVERIFY(filler.waitForConnected(5000));

    m_w->make();
    m_w->core().settings().connectTimeoutSeconds = 1;
    m_w->answers << WindowRig::viewerValues(kSilent);
    m_w->clickTool("ConnectButton");
    auto *cancelButton = m_w->control<QPushButton>("CancelConnectButton");
    QCOMPARE(m_w->control<QLabel>("StatusPanel")->text(), QStringLiteral("Connecting to %1\u2026").arg(kSilent));
    QVERIFY(cancelButton->isVisible());

    if (cancel)
        QTest::mouseClick(cancelButton, Qt::LeftButton);
    QTRY_COMPARE(m_w->core().DemoClient().State(), TWSocket::wsClosed);
    QCOMPARE(statusMessage(), cancel ? QString() : QStringLiteral("No answer from ") + kSilent);
    QCOMPARE(m_w->control<QLabel>("StatusPanel")->text(), QString());
    QVERIFY(!cancelButton->isVisible());
    QVERIFY(m_w->tool("ConnectButton")->isEnabled());
}

// ---- the keyboard ----------------------------------------------------------------------------

void TestWindowTelling::keyboardReachesEveryAction()
{
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    TMainForm &form = m_w->make();
    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));
    const auto keys = [&form](Qt::Key key) { QTest::keyClick(&form, key, Qt::ControlModifier); };

    keys(Qt::Key_P);
    QCOMPARE(m_w->page(), QStringLiteral("SetupSheet"));
    m_w->answers << WindowRig::viewerValues(kAddr);
    keys(Qt::Key_K);
    QTRY_COMPARE(relay.records.size(), 1);
    relay.ack();
    relay.give(buildGameInfoDetailed(1, "one", gtQuake2, 1, "baseq2") + buildGameInfoDetailed(2, "two", gtQuake2, 1, "baseq2"));
    QTRY_COMPARE(m_w->gameRows(), 2);
    QTRY_COMPARE(m_w->core().state(), int(ssIdle));

    // Enter on a row watches it.
    auto *games = m_w->control<QTreeView>("GamesListBox");
    games->setFocus();
    QTest::keyClick(games, Qt::Key_Home);
    QTest::keyClick(games, Qt::Key_Return);
    QTRY_COMPARE(relay.count(WAITFORGAME), 1);
    QCOMPARE(WaitForGameReader{relay.recordsOf(WAITFORGAME).last()}.gameId(), 1);
    relay.ack();
    QTRY_COMPARE(m_w->page(), QStringLiteral("LobbySheet"));
    keys(Qt::Key_L);
    QTRY_COMPARE(relay.count(LEAVEGAME), 1);
    relay.ack();
    QTRY_COMPARE(m_w->page(), QStringLiteral("GameListSheet"));

    games->setFocus();
    QTest::keyClick(games, Qt::Key_Down);
    keys(Qt::Key_W);
    QTRY_COMPARE(relay.count(WAITFORGAME), 2);
    QCOMPARE(WaitForGameReader{relay.recordsOf(WAITFORGAME).last()}.gameId(), 2);
    keys(Qt::Key_D);
    QCOMPARE(m_w->prompts.questions.size(), 1);
    QCOMPARE(m_w->core().DemoClient().State(), TWSocket::wsClosed);
}

QStringList TestWindowTelling::tabCycle() const
{
    QStringList names;
    QWidget *first = QApplication::focusWidget();
    for (int i = 0; first && i < 40 && (i == 0 || QApplication::focusWidget() != first); ++i) {
        names << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    return names;
}

// In the lobby Tab reaches the buttons, the demos, the chat, what is on, the users and the line
// being typed.
void TestWindowTelling::tabReachesEveryControl()
{
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    TMainForm &form = m_w->make();
    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));
    connectViewer(relay);
    enterLobby(relay);
    m_w->tool("DisconnectButton")->setFocus();
    QCOMPARE(tabCycle(), (QStringList{QStringLiteral("DisconnectButton"), QStringLiteral("LeaveRoom"),
                                      QStringLiteral("DemoList"), QStringLiteral("LobbyMemo"),
                                      QStringLiteral("ScoreBoard"), QStringLiteral("EventFeed"),
                                      QStringLiteral("ViewerListBox"), QStringLiteral("LobbyEdit")}));
}

// ---- Watch Game and the questions follow the session -----------------------------------------

void TestWindowTelling::watchGameFollowsClicksAndSession()
{
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    m_w->make();
    connectViewer(relay);
    enterLobby(relay);
    m_w->clickTool("LeaveRoom");
    QTRY_COMPARE(relay.count(LEAVEGAME), 1);
    relay.ack();
    QTRY_COMPARE(m_w->page(), QStringLiteral("GameListSheet"));
    // The watched game stays selected while it is listed, and Watch with it.
    QVERIFY(m_w->tool("WatchGame")->isEnabled());
    m_w->clickRow("GamesListBox", 0); // the row that is still selected
    QVERIFY(m_w->tool("WatchGame")->isEnabled());

    m_w->clickTool("DisconnectButton");
    QCOMPARE(m_w->shown().left(9), QStringLiteral("CDLW=1000"));
}

void TestWindowTelling::questionGoesWithTheLink_data()
{
    QTest::addColumn<bool>("quit");
    QTest::newRow("disconnect") << false;
    QTest::newRow("quit") << true;
}

void TestWindowTelling::questionGoesWithTheLink()
{
    QFETCH(bool, quit);
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    m_w->make();
    connectViewer(relay);
    enterLobby(relay);
    m_w->prompts.realQuestions = true;

    // The link dies while the question is open; if the box stayed, No ends the wait.
    bool stayed = false;
    int pollsAfterClose = -1;
    QTimer poll;
    poll.setInterval(10);
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (pollsAfterClose < 0) {
            pollsAfterClose = 0;
            relay.closeClient();
        } else if (++pollsAfterClose > 500) {
            stayed = true;
            box->button(QMessageBox::No)->click();
        }
    });
    poll.start();
    if (quit)
        m_w->form().close();
    else
        m_w->clickTool("DisconnectButton");
    poll.stop();
    QVERIFY(!stayed);
    QCOMPARE(m_w->prompts.questions.size(), 1);
    QCOMPARE(m_w->core().DemoClient().State(), TWSocket::wsClosed);
    // A quit whose question lost its subject goes on: there is nothing left to ask about.
    QCOMPARE(m_w->form().isVisible(), !quit);
}

void TestWindowTelling::quitAsksWhileWatching_data()
{
    QTest::addColumn<bool>("inLobby");
    QTest::addColumn<bool>("yes");
    QTest::addColumn<int>("signal"); // 0: the user closes the window
    QTest::newRow("game list: no question") << false << true << 0;
    QTest::newRow("watching, no") << true << false << 0;
    QTest::newRow("watching, yes") << true << true << 0;
    // The system's end (a logout) asks nothing: it would not wait for the answer.
    QTest::newRow("watching, SIGTERM") << true << false << int(SIGTERM);
}

void TestWindowTelling::quitAsksWhileWatching()
{
    QFETCH(bool, inLobby);
    QFETCH(bool, yes);
    QFETCH(int, signal);
    Relay relay;
    QVERIFY(relay.listen(kAddr, kViewerPort));
    QuitSignals quit;
    m_w->quitting = [&quit] { return quit.requested(); };
    m_w->make();
    connect(&quit, &QuitSignals::quitRequested, &m_w->form(), &QWidget::close);
    connectViewer(relay);
    if (inLobby)
        enterLobby(relay);
    m_w->prompts.confirmAnswer = yes;
    if (signal != 0) {
        QCOMPARE(::raise(signal), 0);
        QTRY_VERIFY(!m_w->form().isVisible());
        QVERIFY(m_w->prompts.questions.isEmpty());
        QVERIFY(!m_w->core().connected());
        return;
    }
    m_w->form().close();
    QCOMPARE(m_w->prompts.questions.size(), inLobby ? 1 : 0);
    QCOMPARE(m_w->form().isVisible(), !yes);
    QCOMPARE(m_w->core().connected(), !yes);
}

// ---- the smallest window -----------------------------------------------------------------------

void TestWindowTelling::nothingCutAtMinimumSize()
{
    TMainForm &form = m_w->make();
    form.resize(1, 1);
    QTRY_COMPARE(form.size(), form.minimumSize());
    for (int node : {int(ClientCore::NodeSetup), int(ClientCore::NodeGamesList)}) {
        m_w->core().selectNode(node);
        QCoreApplication::processEvents();
        for (const char *name : {"Quake2BrowseButton", "Quake3BrowseButton", "UserNameEdit", "TransferRateSpin",
                                 "Quake2DirectoryEdit", "OptionTree"}) {
            auto *w = m_w->control<QWidget>(name);
            if (!w->isVisible())
                continue;
            // The setup page scrolls up and down at this size: each control is whole once
            // scrolled to, and never cut at the sides.
            if (auto *sheet = m_w->control<QScrollArea>("SetupSheet"); sheet->widget()->isAncestorOf(w)) {
                QCOMPARE(sheet->horizontalScrollBar()->maximum(), 0);
                const QRect r(w->mapTo(sheet->widget(), QPoint()), w->size());
                sheet->ensureVisible(r.center().x(), r.center().y(), r.width() / 2 + 1, r.height() / 2 + 1);
            }
            QVERIFY2(w->visibleRegion().boundingRect() == w->rect(), name);
            QVERIFY2(w->width() >= w->minimumSizeHint().width(), name);
        }
    }
    auto *tree = m_w->control<QTreeWidget>("OptionTree");
    const QFontMetrics metrics(tree->font());
    for (QTreeWidgetItem *item : {tree->topLevelItem(0), tree->topLevelItem(0)->child(0), tree->topLevelItem(0)->child(1)}) {
        const QRect r = tree->visualItemRect(item);
        QVERIFY2(r.left() + metrics.horizontalAdvance(item->text(0)) <= tree->viewport()->width(),
                 qPrintable(item->text(0)));
    }
}

QTEST_MAIN(TestWindowTelling)
#include "tst_windowtelling.moc"
