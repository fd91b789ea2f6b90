#include "demolistmodel.h"

namespace arbelon {

void DemoListModel::appendRow(const QString &name)
{
    const int n = int(m_rows.size());
    beginInsertRows({}, n, n);
    m_rows.append({name, QString()});
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
    return parent.isValid() ? 0 : 2;
}

QVariant DemoListModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_rows.size())
        return {};
    const Row &r = m_rows.at(index.row());
    return index.column() == 0 ? r.name : r.data;
}

QVariant DemoListModel::headerData(int section, Qt::Orientation o, int role) const
{
    if (o != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    return section == 0 ? QStringLiteral("Demos") : QStringLiteral("Data");
}

} // namespace arbelon
