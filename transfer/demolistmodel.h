#pragma once
// The lobby's demo list: one row per demo, columns "Demos" and "Data". Names are kept
// whole, whatever characters they hold.

#include <QAbstractTableModel>
#include <QList>

namespace arbelon {

class DemoListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    void appendRow(const QString &name);
    void setLastData(const QString &data);
    void clear();
    QString name(int row) const { return m_rows.at(row).name; }
    QString dataText(int row) const { return m_rows.at(row).data; }
    QString lastName() const { return m_rows.isEmpty() ? QString() : m_rows.last().name; }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

private:
    struct Row {
        QString name;
        QString data;
    };
    QList<Row> m_rows;
};

} // namespace arbelon
