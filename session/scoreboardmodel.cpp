#include "scoreboardmodel.h"

#include "records.h"

namespace arbelon {

QString factText(const QByteArray &bytes)
{
    return decodeText(demo::withoutColours(bytes));
}

QString ScoreBoardModel::teamText(int team)
{
    switch (team) {
    case demo::FactPlayer::Red: return QStringLiteral("Red");
    case demo::FactPlayer::Blue: return QStringLiteral("Blue");
    case demo::FactPlayer::Spectator: return QStringLiteral("Spectator");
    default: return {};
    }
}

void ScoreBoardModel::show(const demo::GameFacts *facts)
{
    QList<demo::FactPlayer> players = facts ? demo::rankedPlayers(*facts) : QList<demo::FactPlayer>();
    if (players == m_players)
        return;
    beginResetModel();
    m_players = std::move(players);
    endResetModel();
}

int ScoreBoardModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_players.size());
}

int ScoreBoardModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QVariant ScoreBoardModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_players.size())
        return {};
    const demo::FactPlayer &p = m_players.at(index.row());
    if (role == Qt::TextAlignmentRole && index.column() == ColScore)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case ColPlayer: return factText(p.name);
    case ColTeam: return teamText(p.team);
    case ColScore: return p.team == demo::FactPlayer::Spectator ? QString() : QString::number(p.score);
    default: return {};
    }
}

QVariant ScoreBoardModel::headerData(int section, Qt::Orientation o, int role) const
{
    if (o != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case ColPlayer: return QStringLiteral("Player");
    case ColTeam: return QStringLiteral("Team");
    case ColScore: return QStringLiteral("Score");
    default: return {};
    }
}

} // namespace arbelon
