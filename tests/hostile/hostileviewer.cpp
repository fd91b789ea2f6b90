#include "hostile/hostileviewer.h"

#include "demolistmodel.h"
#include "gamelistmodel.h"
#include "common/sessiondriving.h"

#include <QDir>
#include <QDirIterator>
#include <QStringListModel>
#include <QTest>

namespace arbelon::test {

namespace {
// Deep enough that no mod of 17 characters ("../" five times) climbs out of the root, so
// every file the client could write by such a path shows in the root's snapshot.
const QString kGamesFolder = QStringLiteral("/a/b/c/d/e/f/g/games/");

bool waitFor(const std::function<bool()> &done, const char *what, int timeoutMs = 10000)
{
    if (QTest::qWaitFor(done, timeoutMs))
        return true;
    QTest::qFail(what, __FILE__, __LINE__);
    return false;
}
} // namespace

const QByteArray HostileViewer::kGameName = "Duel #3";

QString HostileViewer::demoName()
{
    return QStringLiteral("DUEL__3061226_214705");
}

QString HostileViewer::stageName(Stage s)
{
    switch (s) {
    case AwaitHello: return QStringLiteral("hello unanswered");
    case Idle: return QStringLiteral("game list");
    case WaitForGame: return QStringLiteral("watch unanswered");
    case InLobby: return QStringLiteral("lobby");
    case SendText: return QStringLiteral("chat unanswered");
    case LeaveGame: return QStringLiteral("leave unanswered");
    case IdleAfterLobby: return QStringLiteral("game list after lobby");
    }
    return {};
}

HostileViewer::HostileViewer(HostileRelay &relay, const QString &address)
    : m_relay(relay), m_address(address)
{
    m_q2 = m_root.path() + kGamesFolder + QStringLiteral("q2/");
    m_q3 = m_root.path() + kGamesFolder + QStringLiteral("q3/");
    QDir().mkpath(m_q2 + QStringLiteral("baseq2"));
    QDir().mkpath(m_q3 + QStringLiteral("baseq3"));
    m_before = snapshot();

    m_core = std::make_unique<ClientCore>();
    m_core->setPrompts(&m_prompts);
    m_core->setProgramStarter(&m_starter);
    m_core->setGameRunningCheck(&m_running);
    m_core->setClock([] { return QDateTime(QDate(2026, 12, 6), QTime(21, 47, 5)); });
    m_core->settings().userName = QStringLiteral("viewer");
    m_core->settings().quake2Dir = m_q2;
    m_core->settings().quake3Dir = m_q3;
    m_ended = std::make_unique<QSignalSpy>(m_core.get(), &ClientCore::sessionEnded);
}

HostileViewer::~HostileViewer()
{
    m_ended.reset();
    m_core.reset();
}

bool HostileViewer::reach(Stage stage, quint32 gameId, qint32 gameType, const QByteArray &mod)
{
    QSignalSpy arrived(&m_relay, &HostileRelay::clientArrived);
    ConnectValues v;
    v.serverAddress = m_address;
    v.role = Role::Viewer;
    m_prompts.answers.append(v);
    m_core->connectWithDialog();
    if (!waitFor([&] { return arrived.count() > 0 && m_relay.count(USERINFO) > 0; }, "no USERINFO"))
        return false;
    ClientCore &c = *m_core;
    if (stage > AwaitHello) {
        m_relay.ack();
        if (!waitFor([&] { return c.state() == ssIdle; }, "hello not taken"))
            return false;
    }
    if (stage > Idle) {
        m_relay.send(buildGameInfoDetailed(gameId, kGameName, gameType, 1, mod));
        if (!waitFor([&] { return c.gameList()->rowCount() > 0; }, "game row not listed"))
            return false;
        arbelon::test::selectRow(c, c.gameList()->rowCount() - 1);
        arbelon::test::watchSelected(c);
        if (!waitFor([&] { return m_relay.count(WAITFORGAME) > 0; }, "no WAITFORGAME"))
            return false;
    }
    if (stage > WaitForGame) {
        m_relay.ack();
        if (!waitFor([&] { return c.state() == ssInLobby; }, "lobby not entered"))
            return false;
    }
    if (stage == SendText) {
        c.sendChat(QStringLiteral("hello"));
        if (!waitFor([&] { return m_relay.count(SENDTEXT) > 0; }, "no SENDTEXT"))
            return false;
    }
    if (stage >= LeaveGame) {
        c.leaveLobby();
        if (!waitFor([&] { return m_relay.count(LEAVEGAME) > 0; }, "no LEAVEGAME"))
            return false;
    }
    if (stage == IdleAfterLobby) {
        m_relay.ack();
        if (!waitFor([&] { return c.state() == ssIdle; }, "lobby not left"))
            return false;
    }
    m_relay.clearRecords();
    return true;
}

bool HostileViewer::waitForAnswers(int n, int timeoutMs)
{
    return waitFor([&] { return ended() || m_relay.answers().size() >= n; }, "records not answered", timeoutMs);
}

bool HostileViewer::probeGoesOn()
{
    const QByteArray text = "probe " + QByteArray::number(++m_probes);
    const QString shown = QStringLiteral("<relay> ") + QString::fromLatin1(text);
    m_relay.send(buildSendText("relay", text));
    return waitFor([&] { return ended() || m_core->chatLines().contains(shown); }, "probe not shown")
           && !ended();
}

bool HostileViewer::probeBlocked(qsizetype bytesAlreadyBuffered)
{
    const QByteArray probe = buildSendText("relay", "never shown");
    m_relay.send(probe);
    PacketDispatcher &d = m_core->dispatcher();
    if (!waitFor([&] { return ended() || d.buffer().size() == bytesAlreadyBuffered + probe.size(); },
                 "probe not buffered"))
        return false;
    if (ended())
        return false;
    // Anything the client answered went out before this marker.
    constexpr quint8 kMarker = 77;
    d.sendAckNak(kMarker);
    if (!waitFor([&] { return m_relay.answers().contains(kMarker); }, "marker not received"))
        return false;
    return m_relay.answers() == QList<int>{kMarker};
}

QSet<QString> HostileViewer::snapshot() const
{
    QSet<QString> entries;
    QDirIterator it(m_root.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.insert(it.next());
    return entries;
}

QStringList HostileViewer::strayFiles() const
{
    QStringList stray;
    const QSet<QString> now = snapshot();
    for (const QString &path : now) {
        if (!m_before.contains(path) && !path.startsWith(m_q2) && !path.startsWith(m_q3))
            stray.append(path);
    }
    return stray;
}

QString HostileViewer::boundsBroken()
{
    ClientCore &c = *m_core;
    const qsizetype buffered = c.dispatcher().buffer().size();
    if (buffered > kBufferBound)
        return QStringLiteral("receive buffer holds %1 bytes").arg(buffered);
    const QList<QPair<QString, qsizetype>> lists = {
        {QStringLiteral("game rows"), c.gameList()->rowCount()},
        {QStringLiteral("users"), c.users()->rowCount()},
        {QStringLiteral("chat lines"), c.chatLines().size()},
        {QStringLiteral("demo rows"), c.demoList()->rowCount()},
        {QStringLiteral("pending demos"), c.demo().pending.size()},
        {QStringLiteral("listed demo names"), c.demo().listedNames.size()},
    };
    for (const auto &[what, size] : lists) {
        if (size > kListBound)
            return QStringLiteral("%1: %2").arg(what).arg(size);
    }
    return {};
}

} // namespace arbelon::test
