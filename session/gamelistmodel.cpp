#include "gamelistmodel.h"

namespace arbelon {

QString GameListModel::gameText(qint32 gameType)
{
    if (gameType == 0)
        return QStringLiteral("Quake 2");
    if (gameType == 1)
        return QStringLiteral("Quake 3");
    return {};
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
        beginRemoveRows({}, i, i);
        m_rows.removeAt(i);
        endRemoveRows();
        ++removed;
        if (m_selected == i) {
            m_selected = -1;
            emit selectionChanged(m_selected);
        } else if (m_selected > i) {
            --m_selected;
            emit selectionChanged(m_selected);
        }
    }
    return removed;
}

void GameListModel::clear()
{
    beginResetModel();
    m_rows.clear();
    endResetModel();
    if (m_selected != -1) {
        m_selected = -1;
        emit selectionChanged(m_selected);
    }
}

void GameListModel::setSelectedRow(int row)
{
    if (row < 0 || row >= m_rows.size())
        row = -1;
    if (row == m_selected)
        return;
    m_selected = row;
    emit selectionChanged(m_selected);
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
    case ColName: return QString::fromLatin1(r.name);
    case ColGame: return r.game;
    case ColMod: return QString::fromLatin1(r.mod);
    case ColUsers: return QString::number(r.users);
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
    default: return QStringLiteral("S. %1").arg(section + 1);
    }
}

} // namespace arbelon
