#include "relaywebfeed.h"

#include "deepcopy.h"
#include "relayserver.h"

namespace arbelon {

const RelayGameView *WebSnapshot::game(quint32 id) const
{
    const auto it = std::lower_bound(games.begin(), games.end(), id,
                                     [](const RelayGameView &g, quint32 wanted) { return g.id < wanted; });
    return it != games.end() && it->id == id ? &*it : nullptr;
}

RelayWebFeed::RelayWebFeed(RelayServer &server, int intervalMs, QObject *parent)
    : QObject(parent),
      m_server(server),
      m_stats(server.stats()),
      m_listen(server.config().listenAddress),
      m_viewerPort(server.viewerPort()),
      m_intervalMs(std::max(0, intervalMs))
{
    m_due.setSingleShot(true);
    connect(&m_due, &QTimer::timeout, this, &RelayWebFeed::publish);
    connect(&m_heartbeat, &QTimer::timeout, this, &RelayWebFeed::publish);
    m_heartbeat.start(1000);
    publish();
    m_server.addObserver(this);
}

RelayWebFeed::~RelayWebFeed()
{
    m_server.removeObserver(this);
}

std::shared_ptr<const WebSnapshot> RelayWebFeed::snapshot() const
{
    const std::lock_guard lock(m_mutex);
    return m_snapshot;
}

void RelayWebFeed::setExtraMetrics(std::function<QByteArray()> metrics)
{
    m_extraMetrics = std::move(metrics);
    publish();
}

void RelayWebFeed::gameOpened(const RelayGameView &)
{
    changed();
}

void RelayWebFeed::gameClosed(quint32 gameId)
{
    m_chat.erase(gameId);
    changed();
}

void RelayWebFeed::lobbyChanged(quint32)
{
    changed();
}

void RelayWebFeed::chatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text)
{
    std::deque<web::ChatLine> &lines = m_chat[gameId];
    lines.push_back({QDateTime::currentDateTimeUtc(), deepCopy(userName), deepCopy(text)});
    while (lines.size() > size_t(kChatLines))
        lines.pop_front();
    changed();
}

void RelayWebFeed::demoRecord(quint32, const QByteArray &)
{
    // The byte counts: the heartbeat shows them soon enough, except to a test.
    if (m_intervalMs == 0)
        publish();
}

void RelayWebFeed::changed()
{
    if (m_intervalMs == 0) {
        publish();
        return;
    }
    if (m_due.isActive())
        return;
    const qint64 since = m_sincePublished.isValid() ? m_sincePublished.elapsed() : m_intervalMs;
    m_due.start(int(std::max<qint64>(0, m_intervalMs - since)));
}

void RelayWebFeed::publish()
{
    m_due.stop();
    m_sincePublished.start();
    auto next = std::make_shared<WebSnapshot>();
    const QList<RelayGameView> games = m_server.games();
    next->games.reserve(games.size());
    for (const RelayGameView &g : games)
        next->games.append(deepCopy(g));
    std::sort(next->games.begin(), next->games.end(),
              [](const RelayGameView &a, const RelayGameView &b) { return a.id < b.id; });
    for (const auto &[id, lines] : m_chat) {
        QList<web::ChatLine> &out = next->chat[id];
        for (const web::ChatLine &l : lines)
            out.append({l.timeUtc, deepCopy(l.user), deepCopy(l.text)});
    }
    if (m_extraMetrics)
        next->extraMetrics = deepCopy(m_extraMetrics());
    std::shared_ptr<const WebSnapshot> old;
    const std::lock_guard lock(m_mutex);
    old = std::exchange(m_snapshot, std::move(next));
}

} // namespace arbelon
