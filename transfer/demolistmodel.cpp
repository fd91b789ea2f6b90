#include "demolistmodel.h"

namespace arbelon {

void DemoListModel::appendRow(const QString &name)
{
    const int n = int(m_rows.size());
    beginInsertRows({}, n, n);
    m_rows.append({name, QString(), DemoState::Live});
    endInsertRows();
}

void DemoListModel::setLastData(const QString &data)
{
    if (m_rows.isEmpty())
        return;
    m_rows.last().data = data;
    const int r = int(m_rows.size()) - 1;
    emit dataChanged(index(r, 1), index(r, 1));
}

void DemoListModel::setState(int row, DemoState state)
{
    if (row < 0 || row >= m_rows.size() || m_rows[row].state == state)
        return;
    m_rows[row].state = state;
    emit dataChanged(index(row, 2), index(row, 2));
}

QString DemoListModel::stateText(DemoState s)
{
    switch (s) {
    case DemoState::Live:
        return QStringLiteral("live");
    case DemoState::Ended:
        return QStringLiteral("ended");
    case DemoState::Incomplete:
        break;
    }
    return QStringLiteral("incomplete");
}

void DemoListModel::clear()
{
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

int DemoListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int DemoListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 3;
}

QVariant DemoListModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_rows.size())
        return {};
    const Row &r = m_rows.at(index.row());
    switch (index.column()) {
    case 0:
        return r.name;
    case 1:
        return r.data;
    default:
        return stateText(r.state);
    }
}

QVariant DemoListModel::headerData(int section, Qt::Orientation o, int role) const
{
    if (o != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case 0:
        return QStringLiteral("Demos");
    case 1:
        return QStringLiteral("Data");
    default:
        return QStringLiteral("State");
    }
}

} // namespace arbelon
