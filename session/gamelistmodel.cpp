#include "gamelistmodel.h"

namespace arbelon {

QString GameListModel::gameText(std::optional<GameType> type)
{
    if (!type)
        return {};
    return *type == GameType::Quake3 ? QStringLiteral("Quake 3") : QStringLiteral("Quake 2");
}

std::optional<GameType> GameListModel::gameTypeFromWire(qint32 wire)
{
    if (wire == gtQuake2)
        return GameType::Quake2;
    if (wire == gtQuake3)
        return GameType::Quake3;
    return std::nullopt;
}

bool GameListModel::addOrReplace(const GameRow &row)
{
    for (int i = int(m_rows.size()) - 1; i >= 0; --i) {
        if (m_rows[i].id == row.id) {
            m_rows[i] = row;
            emit dataChanged(index(i, 0), index(i, m_columns - 1));
            return true;
        }
    }
    const int n = int(m_rows.size());
    if (n >= kMaxRows)
        return false;
    beginInsertRows({}, n, n);
    m_rows.append(row);
    endInsertRows();
    return true;
}

int GameListModel::removeId(quint32 id)
{
    int removed = 0;
    for (int i = int(m_rows.size()) - 1; i >= 0; --i) {
        if (m_rows[i].id != id)
            continue;
        const int selected = selectedRow();
        beginRemoveRows({}, i, i);
        m_rows.removeAt(i);
        endRemoveRows();
        ++removed;
        if (selected == i) {
            m_selectedId.reset();
            emit selectionChanged(-1);
        } else if (selected > i) {
            emit selectionChanged(selected - 1);
        }
    }
    return removed;
}

void GameListModel::clear()
{
    beginResetModel();
    m_rows.clear();
    m_details.clear();
    endResetModel();
    if (m_selectedId) {
        m_selectedId.reset();
        emit selectionChanged(-1);
    }
}

int GameListModel::rowOf(GameId id) const
{
    for (int i = int(m_rows.size()) - 1; i >= 0; --i) {
        if (m_rows[i].id == id)
            return i;
    }
    return -1;
}

int GameListModel::selectedRow() const
{
    return m_selectedId ? rowOf(*m_selectedId) : -1;
}

void GameListModel::setSelectedRow(int row)
{
    setSelectedId(row >= 0 && row < m_rows.size() ? std::optional<GameId>(m_rows[row].id) : std::nullopt);
}

void GameListModel::setSelectedId(std::optional<GameId> id)
{
    if (id && rowOf(*id) < 0)
        id.reset();
    if (id == m_selectedId)
        return;
    m_selectedId = id;
    emit selectionChanged(selectedRow());
}

void GameListModel::setDetails(const QHash<quint32, GameDetails> &details)
{
    if (details == m_details)
        return;
    m_details = details;
    if (!m_rows.isEmpty())
        emit dataChanged(index(0, ColMap), index(int(m_rows.size()) - 1, ColPlayers));
}

void GameListModel::ensureColumnCount(int n)
{
    if (n <= m_columns)
        return;
    beginInsertColumns({}, m_columns, n - 1);
    m_columns = n;
    endInsertColumns();
}

int GameListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int GameListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_columns;
}

QVariant GameListModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_rows.size())
        return {};
    const GameRow &r = m_rows.at(index.row());
    switch (index.column()) {
    case ColId: return QString::number(r.id);
    case ColName: return decodeText(r.name);
    case ColGame: return gameText(r.gameType);
    case ColMod: return decodeText(r.mod);
    case ColUsers: return QString::number(r.users);
    case ColMap: return m_details.value(r.id).map;
    case ColPlayers: {
        const int players = m_details.value(r.id).players;
        return players < 0 ? QString() : QString::number(players);
    }
    default: return {};
    }
}

QVariant GameListModel::headerData(int section, Qt::Orientation o, int role) const
{
    if (o != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case ColId: return QStringLiteral("ID");
    case ColName: return QStringLiteral("Name");
    case ColGame: return QStringLiteral("Game");
    case ColMod: return QStringLiteral("Mod");
    case ColUsers: return QStringLiteral("Users");
    case ColMap: return QStringLiteral("Map");
    case ColPlayers: return QStringLiteral("Players");
    default: return QStringLiteral("S. %1").arg(section + 1);
    }
}

} // namespace arbelon
