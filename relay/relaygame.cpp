#include "relaygame.h"

#include "records.h"
#include "relaypeer.h"

#include <algorithm>

namespace arbelon {

RelayGame::RelayGame(quint32 id, QByteArray name, qint32 gameType, QByteArray mod,
                     RelayPeer *filmer, qint64 maxDemoMemory, int listedUsers)
    : RelayGame(id, std::move(name), gameType, std::move(mod), filmer->name(), maxDemoMemory, listedUsers)
{
    m_filmer = filmer;
    m_remote = false;
}

RelayGame::RelayGame(quint32 id, QByteArray name, qint32 gameType, QByteArray mod, QByteArray filmerName,
                     qint64 maxDemoMemory, int listedUsers)
    : m_id(id),
      m_name(std::move(name)),
      m_gameType(gameType),
      m_mod(std::move(mod)),
      m_maxDemoMemory(maxDemoMemory),
      m_listedUsers(listedUsers),
      m_filmerName(filmerName),
      m_filmerEntered(makeBlock(buildUserEntered(filmerName))),
      m_filmerLeft(makeBlock(buildUserLeft(filmerName)))
{
}

RelayBlock RelayGame::addRemoteNamed(const QByteArray &name)
{
    // A name on two nodes (a Viewer that moved, or two of one name) is listed twice, as two
    // of one name on one relay are: each node's leaving then takes out its own entry.
    m_remoteNames.push_back(name);
    m_remoteNamed.push_back(makeBlock(buildUserEntered(name)));
    return m_remoteNamed.back();
}

RelayBlock RelayGame::removeRemoteNamed(const QByteArray &name)
{
    const auto it = std::find(m_remoteNames.begin(), m_remoteNames.end(), name);
    if (it == m_remoteNames.end())
        return {};
    const auto i = it - m_remoteNames.begin();
    m_remoteNames.erase(it);
    m_remoteNamed.erase(m_remoteNamed.begin() + i);
    return makeBlock(buildUserLeft(name));
}

bool RelayGame::addViewer(RelayPeer *viewer)
{
    viewer->lobbyIndex = qsizetype(m_viewers.size());
    m_viewers.push_back(viewer);
    if (qsizetype(m_listed.size()) >= m_listedUsers)
        return false;
    list(viewer);
    return true;
}

void RelayGame::list(RelayPeer *viewer)
{
    viewer->listed = true;
    m_listed.push_back(viewer);
}

bool RelayGame::removeViewer(RelayPeer *viewer)
{
    // Swap-remove: a crowd leaving must not cost a move of the whole list per Viewer.
    const qsizetype i = viewer->lobbyIndex;
    if (i >= 0 && i < qsizetype(m_viewers.size()) && m_viewers[size_t(i)] == viewer) {
        m_viewers[size_t(i)] = m_viewers.back();
        m_viewers[size_t(i)]->lobbyIndex = i;
        m_viewers.pop_back();
    }
    viewer->lobbyIndex = -1;
    if (!viewer->listed)
        return false;
    viewer->listed = false;
    std::erase(m_listed, viewer);
    return true;
}

const RelayBlock &RelayGame::row() const
{
    if (!m_row || m_rowUsers != users()) {
        m_rowUsers = users();
        m_row = makeBlock(buildGameInfoDetailed(m_id, m_name, m_gameType, m_rowUsers, m_mod));
    }
    return m_row;
}

bool RelayGame::keepBroadcast(const RelayBlock &record)
{
    if (packetType(*record) == DEMORESTART) {
        m_demo.clear();
        m_demo.push_back(record);
        m_demoBytes = record->size();
        return true;
    }
    if (m_demo.empty())
        return true; // already dropped: nothing to add to
    m_demo.push_back(record);
    m_demoBytes += record->size();
    if (m_demoBytes <= m_maxDemoMemory)
        return true;
    m_demo.clear();
    m_demoBytes = 0;
    return false;
}

void RelayGame::hold(const RelayBlock &record, qint64 dueMs)
{
    m_held.push_back({dueMs, record});
    m_heldBytes += record->size();
}

RelayBlock RelayGame::takeHeld()
{
    RelayBlock record = std::move(m_held.front().record);
    m_held.pop_front();
    m_heldBytes -= record->size();
    return record;
}

} // namespace arbelon
