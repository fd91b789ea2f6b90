#pragma once
// The lobby's demo list: one row per demo, columns "Demos", "Data" and "State" (live while it
// arrives, ended when its end marker came, incomplete when the next demo or the game's
// removal came first). Names are kept whole, whatever characters they hold.

#include <QAbstractTableModel>
#include <QList>

namespace arbelon {

class DemoListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    enum class DemoState { Live,
                           Ended,
                           Incomplete };

    void appendRow(const QString &name);
    void setLastData(const QString &data);
    void setState(int row, DemoState state);
    void clear();
    QString name(int row) const { return m_rows.at(row).name; }
    QString dataText(int row) const { return m_rows.at(row).data; }
    DemoState state(int row) const { return m_rows.at(row).state; }
    static QString stateText(DemoState s);
    QString lastName() const { return m_rows.isEmpty() ? QString() : m_rows.last().name; }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

private:
    struct Row {
        QString name;
        QString data;
        DemoState state = DemoState::Live;
    };
    QList<Row> m_rows;
};

} // namespace arbelon
