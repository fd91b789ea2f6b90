#pragma once
// The games the relay broadcasts. Rows keep their five values as separate fields, so a
// ";" in a name shifts nothing; IDs use the full unsigned 32-bit range. What is on in each
// (map, players) comes from the relay's web page, apart from the rows, and outlives their
// replacement.

#include <QAbstractTableModel>
#include <QByteArray>
#include <QHash>
#include <QString>
#include <QList>

#include "sessiontypes.h"

#include <optional>

namespace arbelon {

// What is on in a game, as the relay's web page tells it.
struct GameDetails {
    QString map;
    int players = -1; // -1: not told
    // Not columns: they tell that the game moved on.
    QString score;
    qint64 events = 0;
    bool operator==(const GameDetails &) const = default;
};

struct GameRow {
    quint32 id = 0;
    QByteArray name;
    std::optional<GameType> gameType; // none when the relay sent another value
    QByteArray mod;
    quint32 users = 0;
};

class GameListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { ColId = 0,
                  ColName,
                  ColGame,
                  ColMod,
                  ColUsers,
                  ColMap,
                  ColPlayers,
                  kBaseColumns };

    using QAbstractTableModel::QAbstractTableModel;

    // A relay never has this many games; more would only be a relay filling our memory.
    static constexpr int kMaxRows = 10000;

    // ---- the list ----
    // Replaces the last row with that ID in place, or appends a row while there are fewer
    // than kMaxRows. False when the row was neither replaced nor added.
    bool addOrReplace(const GameRow &row);
    // Removes every row with that ID; returns how many went.
    int removeId(quint32 id);
    void clear();
    const QList<GameRow> &rows() const { return m_rows; }
    const GameRow &row(int i) const { return m_rows.at(i); }

    // ---- selection: kept by game, so that it follows rows as they come and go ----
    int selectedRow() const;
    std::optional<GameId> selectedId() const { return m_selectedId; }
    void setSelectedRow(int row);
    void setSelectedId(std::optional<GameId> id);
    int rowOf(GameId id) const;

    // ---- what is on, by game ID; games not named have none ----
    void setDetails(const QHash<quint32, GameDetails> &details);
    GameDetails details(quint32 id) const { return m_details.value(id); }

    // ---- columns beyond the seven, made by stored column widths ----
    void ensureColumnCount(int n);

    static QString gameText(std::optional<GameType> type);
    static std::optional<GameType> gameTypeFromWire(qint32 wire);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

signals:
    void selectionChanged(int row);

private:
    QList<GameRow> m_rows;
    QHash<quint32, GameDetails> m_details;
    std::optional<GameId> m_selectedId;
    int m_columns = kBaseColumns;
};

} // namespace arbelon
