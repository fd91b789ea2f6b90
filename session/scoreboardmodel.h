#pragma once
// The lobby's scoreboard: the watched game's players, best first, as its demo tells them.

#include "gamefacts.h"

#include <QAbstractTableModel>

namespace arbelon {

class ScoreBoardModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { ColPlayer = 0,
                  ColTeam,
                  ColScore,
                  kColumns };

    using QAbstractTableModel::QAbstractTableModel;

    // The players of these facts; none for null.
    void show(const demo::GameFacts *facts);
    const QList<demo::FactPlayer> &players() const { return m_players; }

    static QString teamText(int team);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

private:
    QList<demo::FactPlayer> m_players;
};

// A name or word from a demo as text: colour codes dropped, every byte shown.
QString factText(const QByteArray &bytes);

} // namespace arbelon
