#include "relaygame.h"

#include "records.h"
#include "relayconnection.h"

#include <algorithm>

namespace arbelon {

RelayGame::RelayGame(quint32 id, QByteArray name, qint32 gameType, QByteArray mod,
                     RelayConnection *filmer, qint64 maxDemoMemory)
    : m_id(id),
      m_name(std::move(name)),
      m_gameType(gameType),
      m_mod(std::move(mod)),
      m_maxDemoMemory(maxDemoMemory),
      m_filmer(filmer),
      m_filmerLeft(buildUserLeft(filmer->name()))
{
}

void RelayGame::addViewer(RelayConnection *viewer)
{
    m_viewers.push_back(viewer);
}

void RelayGame::removeViewer(RelayConnection *viewer)
{
    const auto it = std::find(m_viewers.begin(), m_viewers.end(), viewer);
    if (it != m_viewers.end())
        m_viewers.erase(it);
}

QByteArray RelayGame::detailedRecord() const
{
    return buildGameInfoDetailed(m_id, m_name, m_gameType, users(), m_mod);
}

bool RelayGame::keepBroadcast(const QByteArray &record)
{
    if (packetType(record) == DEMORESTART) {
        m_demo.clear();
        m_demo.append(record);
        m_demoBytes = record.size();
        return true;
    }
    if (m_demo.isEmpty())
        return true; // already dropped: nothing to add to
    m_demo.append(record);
    m_demoBytes += record.size();
    if (m_demoBytes <= m_maxDemoMemory)
        return true;
    m_demo.clear();
    m_demoBytes = 0;
    return false;
}

void RelayGame::hold(const QByteArray &record, qint64 dueMs)
{
    m_held.push_back({dueMs, record});
    m_heldBytes += record.size();
}

QByteArray RelayGame::takeHeld()
{
    QByteArray record = std::move(m_held.front().record);
    m_held.pop_front();
    m_heldBytes -= record.size();
    return record;
}

} // namespace arbelon
