#include "clusterthread.h"

#include "clusternode.h"
#include "deepcopy.h"
#include "relaylog.h"
#include "relayserver.h"

#include <map>

namespace arbelon {

namespace {
constexpr int kLobbyCoalesceMs = 20;
constexpr int kCountersMs = 1000;

ClusterGameInfo deepCopy(const ClusterGameInfo &g)
{
    ClusterGameInfo out = g;
    out.name = arbelon::deepCopy(g.name);
    out.mod = arbelon::deepCopy(g.mod);
    out.filmer = arbelon::deepCopy(g.filmer);
    return out;
}

ClusterCall call(ClusterCall::Kind kind, quint32 gameId)
{
    ClusterCall c;
    c.kind = kind;
    c.gameId = gameId;
    return c;
}

ClusterCall textCall(ClusterCall::Kind kind, quint32 gameId, const QByteArray &user, const QByteArray &text)
{
    ClusterCall c = call(kind, gameId);
    c.user = arbelon::deepCopy(user);
    c.data = arbelon::deepCopy(text);
    return c;
}

// One line when a game starts being held back; chat lines only now and then.
void noteHeldBack(ClusterMailbox::Posted posted, const ClusterCall &c, const ClusterMailbox &box, const char *whose)
{
    if (posted == ClusterMailbox::Posted::StartsHolding) {
        RelayLog::write(QStringLiteral("cluster: game %1: the mailbox to the %2 is full (%3 bytes waiting); its "
                                       "demo records go on from its next demo")
                            .arg(c.gameId)
                            .arg(QLatin1String(whose))
                            .arg(box.waitingBytes()));
    } else if (posted == ClusterMailbox::Posted::HeldBack && c.kind != ClusterCall::DemoRecord
               && c.kind != ClusterCall::RemoteDemo && box.heldBack() % 1000 == 1) {
        RelayLog::write(QStringLiteral("cluster: the mailbox to the %1 is full; chat lines dropped (%2 records and "
                                       "lines so far)")
                            .arg(QLatin1String(whose))
                            .arg(box.heldBack()));
    }
}

void postNoting(ClusterMailbox &box, ClusterCall c, const char *whose)
{
    const ClusterCall::Kind kind = c.kind;
    const quint32 gameId = c.gameId;
    const ClusterMailbox::Posted posted = box.post(std::move(c));
    if (posted != ClusterMailbox::Posted::Yes)
        noteHeldBack(posted, call(kind, gameId), box, whose);
}
} // namespace

// The relay as the node sees it on its own thread: calls become mailbox items, and this
// relay's lobbies are read from the copy the games' thread keeps sending.
class ClusterThread::NodeSide final : public ClusterRelay {
public:
    explicit NodeSide(ClusterMailbox &out) : m_out(out) {}

    std::map<quint32, LocalLobby> lobbies;

    void setGameIdBase(quint32 base) override
    {
        ClusterCall c = call(ClusterCall::SetGameIdBase, 0);
        c.number = base;
        post(std::move(c));
    }
    LocalLobby localLobby(quint32 gameId) const override
    {
        const auto it = lobbies.find(gameId);
        return it != lobbies.end() ? it->second : LocalLobby{};
    }
    void addRemoteGame(const ClusterGameInfo &game) override { postGame(ClusterCall::AddRemoteGame, game); }
    void updateRemoteGame(const ClusterGameInfo &game) override { postGame(ClusterCall::UpdateRemoteGame, game); }
    void removeRemoteGame(quint32 gameId) override
    {
        lobbies.erase(gameId);
        post(call(ClusterCall::RemoveRemoteGame, gameId));
    }
    void setRemoteUsers(quint32 gameId, quint32 users) override
    {
        ClusterCall c = call(ClusterCall::SetRemoteUsers, gameId);
        c.users = users;
        post(std::move(c));
    }
    void remoteLobbyEnter(quint32 gameId, const QByteArray &userName) override
    {
        postText(ClusterCall::RemoteEnter, gameId, userName, {});
    }
    void remoteLobbyLeave(quint32 gameId, const QByteArray &userName) override
    {
        postText(ClusterCall::RemoteLeave, gameId, userName, {});
    }
    void remoteChatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text) override
    {
        postText(ClusterCall::RemoteChat, gameId, userName, text);
    }
    void remoteDemoRecord(quint32 gameId, quint64 seq, const QByteArray &record) override
    {
        ClusterCall c = call(ClusterCall::RemoteDemo, gameId);
        c.number = seq;
        c.data = arbelon::deepCopy(record);
        post(std::move(c));
    }

private:
    void postGame(ClusterCall::Kind kind, const ClusterGameInfo &game)
    {
        ClusterCall c = call(kind, game.id);
        c.info = deepCopy(game);
        post(std::move(c));
    }
    void postText(ClusterCall::Kind kind, quint32 gameId, const QByteArray &user, const QByteArray &text)
    {
        post(textCall(kind, gameId, user, text));
    }
    void post(ClusterCall c) { postNoting(m_out, std::move(c), "relay's games"); }

    ClusterMailbox &m_out;
};

ClusterThread::ClusterThread(ClusterConfig config, RelayServer &server, QObject *parent)
    : QThread(parent),
      m_config(std::move(config)),
      m_server(server),
      m_bridge(server),
      m_fromNodeNotifier(m_toRelay.descriptor(), QSocketNotifier::Read)
{
    setObjectName(QStringLiteral("cluster"));
    connect(&m_fromNodeNotifier, &QSocketNotifier::activated, this, &ClusterThread::fromNode);
    m_lobbyTimer.setSingleShot(true);
    m_lobbyTimer.setInterval(kLobbyCoalesceMs);
    connect(&m_lobbyTimer, &QTimer::timeout, this, &ClusterThread::flushLobbies);
}

ClusterThread::~ClusterThread()
{
    quit();
    wait();
}

bool ClusterThread::startNode(QString *error)
{
    if (!m_toNode.isValid() || !m_toRelay.isValid()) {
        *error = QStringLiteral("cannot make the cluster node's mailboxes");
        return false;
    }
    std::future<QString> started = m_started.get_future();
    start();
    const QString why = started.get();
    if (why.isEmpty())
        return true;
    wait();
    *error = why;
    return false;
}

void ClusterThread::leave()
{
    if (!isRunning())
        return;
    toNode(call(ClusterCall::Leave, 0));
    wait();
}

void ClusterThread::run()
{
    NodeSide side(m_toRelay);
    ClusterNode node(m_config, &side);
    node.setFacts(m_facts); // thread-safe: its snapshots are taken under its own lock
    m_unauthenticated.store(node.isUnauthenticated());
    QString error;
    if (!node.start(&error)) {
        m_started.set_value(error.isEmpty() ? QStringLiteral("the cluster node did not start") : error);
        return;
    }
    QTimer counters;
    QObject::connect(&counters, &QTimer::timeout, &counters, [&] { m_rejected.store(node.rejectedMessages()); });
    counters.start(kCountersMs);
    QSocketNotifier inbox(m_toNode.descriptor(), QSocketNotifier::Read);
    QObject::connect(&inbox, &QSocketNotifier::activated, &inbox, [&] {
        for (ClusterCall &c : m_toNode.take()) {
            switch (c.kind) {
            case ClusterCall::GameOpened:
                side.lobbies[c.gameId] = LocalLobby{c.users, std::move(c.names)};
                node.gameOpened(c.view);
                break;
            case ClusterCall::GameClosed:
                node.gameClosed(c.gameId);
                side.lobbies.erase(c.gameId);
                break;
            case ClusterCall::LobbyState:
                // A game the node has dropped meanwhile is not kept.
                if (side.lobbies.count(c.gameId) || node.isRemoteGame(c.gameId)) {
                    side.lobbies[c.gameId] = LocalLobby{c.users, std::move(c.names)};
                    node.lobbyChanged(c.gameId);
                }
                break;
            case ClusterCall::ChatLine:
                node.chatLine(c.gameId, c.user, c.data);
                break;
            case ClusterCall::DemoRecord:
                node.demoRecord(c.gameId, c.data);
                break;
            case ClusterCall::WatchGame:
                node.watchRemoteGame(c.gameId);
                break;
            case ClusterCall::SendChat:
                node.sendChat(c.gameId, c.user, c.data);
                break;
            case ClusterCall::Leave:
                node.leave();
                quit();
                return;
            default:
                break; // the other direction's
            }
        }
        m_rejected.store(node.rejectedMessages());
    });
    m_started.set_value(QString());
    exec();
}

// ---- the games' thread ------------------------------------------------------------

void ClusterThread::toNode(ClusterCall c)
{
    postNoting(m_toNode, std::move(c), "cluster node");
}

void ClusterThread::gameOpened(const RelayGameView &game)
{
    if (m_server.isRemoteGame(game.id))
        return; // another node's, listed here by this node
    ClusterCall c = lobbyCall(ClusterCall::GameOpened, game.id);
    c.view = deepCopy(game);
    toNode(std::move(c));
}

void ClusterThread::gameClosed(quint32 gameId)
{
    m_lobbyDirty.erase(gameId);
    toNode(call(ClusterCall::GameClosed, gameId));
}

void ClusterThread::lobbyChanged(quint32 gameId)
{
    m_lobbyDirty.insert(gameId);
    if (!m_lobbyTimer.isActive())
        m_lobbyTimer.start();
}

ClusterCall ClusterThread::lobbyCall(ClusterCall::Kind kind, quint32 gameId) const
{
    ClusterCall c = call(kind, gameId);
    const LocalLobby lobby = m_bridge.localLobby(gameId);
    c.users = lobby.users;
    c.names = deepCopy(lobby.listed);
    return c;
}

void ClusterThread::postLobby(quint32 gameId)
{
    toNode(lobbyCall(ClusterCall::LobbyState, gameId));
}

void ClusterThread::flushLobbies()
{
    for (quint32 id : std::exchange(m_lobbyDirty, {}))
        postLobby(id);
}

void ClusterThread::chatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text)
{
    if (m_server.isRemoteGame(gameId))
        return; // its owner has published it
    // The speaker's name reaches the other nodes before the line.
    if (m_lobbyDirty.erase(gameId))
        postLobby(gameId);
    toNode(textCall(ClusterCall::ChatLine, gameId, userName, text));
}

void ClusterThread::demoRecord(quint32 gameId, const QByteArray &record)
{
    if (m_server.isRemoteGame(gameId))
        return;
    ClusterCall c = call(ClusterCall::DemoRecord, gameId);
    c.data = deepCopy(record);
    toNode(std::move(c));
}

void ClusterThread::watchGame(quint32 gameId)
{
    toNode(call(ClusterCall::WatchGame, gameId));
}

void ClusterThread::sendChat(quint32 gameId, const QByteArray &userName, const QByteArray &text)
{
    if (m_lobbyDirty.erase(gameId))
        postLobby(gameId);
    toNode(textCall(ClusterCall::SendChat, gameId, userName, text));
}

void ClusterThread::fromNode()
{
    for (const ClusterCall &c : m_toRelay.take()) {
        switch (c.kind) {
        case ClusterCall::SetGameIdBase:
            m_bridge.setGameIdBase(quint32(c.number));
            break;
        case ClusterCall::AddRemoteGame:
            m_bridge.addRemoteGame(c.info);
            break;
        case ClusterCall::UpdateRemoteGame:
            m_bridge.updateRemoteGame(c.info);
            break;
        case ClusterCall::RemoveRemoteGame:
            m_bridge.removeRemoteGame(c.gameId);
            break;
        case ClusterCall::SetRemoteUsers:
            m_bridge.setRemoteUsers(c.gameId, c.users);
            break;
        case ClusterCall::RemoteEnter:
            m_bridge.remoteLobbyEnter(c.gameId, c.user);
            break;
        case ClusterCall::RemoteLeave:
            m_bridge.remoteLobbyLeave(c.gameId, c.user);
            break;
        case ClusterCall::RemoteChat:
            m_bridge.remoteChatLine(c.gameId, c.user, c.data);
            break;
        case ClusterCall::RemoteDemo:
            m_bridge.remoteDemoRecord(c.gameId, c.number, c.data);
            break;
        default:
            break; // the other direction's
        }
    }
}

} // namespace arbelon
