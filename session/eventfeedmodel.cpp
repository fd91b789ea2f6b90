#include "eventfeedmodel.h"

#include "scoreboardmodel.h"

namespace arbelon {

QString EventFeedModel::clockText(qint64 ms)
{
    const qint64 s = std::max<qint64>(0, ms) / 1000;
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QChar(u'0'));
}

QString EventFeedModel::eventText(const demo::FactEvent &e)
{
    return eventText(e.kind, factText(e.actor), factText(e.target), factText(e.weapon));
}

QString EventFeedModel::eventText(demo::FactEvent::Kind kind, const QString &actor, const QString &target,
                                  const QString &weapon)
{
    const QString how = weapon.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(weapon);
    switch (kind) {
    case demo::FactEvent::Frag:
        if (actor.isEmpty() || actor == target)
            return QStringLiteral("%1 died%2").arg(target, how);
        return QStringLiteral("%1 fragged %2%3").arg(actor, target, how);
    case demo::FactEvent::Capture: return QStringLiteral("%1 captured the flag").arg(actor);
    case demo::FactEvent::Join: return QStringLiteral("%1 joined").arg(actor);
    case demo::FactEvent::Leave: return QStringLiteral("%1 left").arg(actor);
    case demo::FactEvent::MatchEnd: return QStringLiteral("The match ended");
    }
    return {};
}

void EventFeedModel::show(const demo::GameFacts *facts)
{
    static const std::deque<demo::FactEvent> none;
    const std::deque<demo::FactEvent> &next = facts ? facts->events : none;
    // Another demo, or the same one read again: the feed starts over.
    const bool continues = !m_events.empty() && !next.empty() && next.front().number >= m_events.front().number
                           && next.front().number <= m_events.back().number + 1;
    if (!continues) {
        if (m_events.empty() && next.empty())
            return;
        beginResetModel();
        m_events = next;
        endResetModel();
        return;
    }
    int gone = 0;
    while (gone < int(m_events.size()) && m_events[gone].number < next.front().number)
        ++gone;
    if (gone > 0) {
        beginRemoveRows({}, 0, gone - 1);
        m_events.erase(m_events.begin(), m_events.begin() + gone);
        endRemoveRows();
    }
    const quint32 last = m_events.empty() ? 0 : m_events.back().number;
    auto first = next.begin();
    while (first != next.end() && first->number <= last)
        ++first;
    const int added = int(next.end() - first);
    if (added > 0) {
        const int at = int(m_events.size());
        beginInsertRows({}, at, at + added - 1);
        m_events.insert(m_events.end(), first, next.end());
        endInsertRows();
    }
}

bool EventFeedModel::playable(int row) const
{
    if (row < 0 || row >= int(m_events.size()))
        return false;
    const demo::FactEvent::Kind k = m_events[row].kind;
    return k == demo::FactEvent::Frag || k == demo::FactEvent::Capture;
}

int EventFeedModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_events.size());
}

int EventFeedModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QVariant EventFeedModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_events.size()))
        return {};
    const demo::FactEvent &e = m_events[index.row()];
    if (role == ServerTimeRole)
        return e.serverTimeMs;
    if (role == Qt::ToolTipRole) {
        // The whole line, which a narrow feed cuts.
        const QString text = QStringLiteral("%1 %2").arg(clockText(e.clockMs), eventText(e));
        return playable(index.row()) ? text + QStringLiteral("\nDouble click to play from 10 s before") : text;
    }
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case ColNumber: return QString::number(e.number);
    case ColClock: return clockText(e.clockMs);
    case ColEvent: return eventText(e);
    default: return {};
    }
}

QVariant EventFeedModel::headerData(int section, Qt::Orientation o, int role) const
{
    if (o != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case ColNumber: return QStringLiteral("#");
    case ColClock: return QStringLiteral("Time");
    case ColEvent: return QStringLiteral("Event");
    default: return {};
    }
}

} // namespace arbelon
