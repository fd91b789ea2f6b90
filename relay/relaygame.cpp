#include "relaygame.h"

#include "records.h"
#include "relaypeer.h"

#include <algorithm>

namespace arbelon {

namespace {
constexpr int kNameBytes = rec::uiUserNameWidth - 1;
constexpr qsizetype kMaxSuffixHints = 4096;

QString nameKey(QByteArrayView name)
{
    return decodeText(name).trimmed().toCaseFolded();
}
} // namespace

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
    // The Filmer is the first member: its name is taken before any Viewer's.
    if (!m_filmerName.isEmpty())
        m_names.insert(nameKey(m_filmerName), 1);
}

QByteArray RelayGame::takeName(const QByteArray &wanted)
{
    const QString text = decodeText(wanted);
    // Sent as the rule says, whatever encoding the client chose for the same text.
    QByteArray name = encodeText(text, kNameBytes);
    const QString key = nameKey(name);
    if (!m_names.contains(key)) {
        m_names.insert(key, 1);
        return name;
    }
    if (m_nextSuffix.size() >= kMaxSuffixHints)
        m_nextSuffix.clear();
    int &next = m_nextSuffix[key];
    // Names are finitely many, so a free suffix is found within their number.
    for (int n = qMax(next, 2);; ++n) {
        const QByteArray suffix = " (" + QByteArray::number(n) + ')';
        const QByteArray candidate = encodeText(text, kNameBytes - suffix.size()) + suffix;
        const QString candidateKey = nameKey(candidate);
        if (!m_names.contains(candidateKey)) {
            next = n + 1;
            m_names.insert(candidateKey, 1);
            m_suffixed.insert(candidateKey, {key, n});
            return candidate;
        }
    }
}

void RelayGame::releaseName(const QByteArray &name)
{
    const QString key = nameKey(name);
    const auto it = m_names.find(key);
    if (it == m_names.end() || --it.value() > 0)
        return;
    m_names.erase(it);
    // Its suffix is free again: the next of that name may take it.
    if (const auto given = m_suffixed.find(key); given != m_suffixed.end()) {
        if (const auto next = m_nextSuffix.find(given->wanted); next != m_nextSuffix.end())
            next.value() = qMin(next.value(), given->suffix);
        m_suffixed.erase(given);
    }
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
