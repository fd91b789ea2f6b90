#pragma once
// The lobby's event feed: the watched game's last events (frags, captures, joins, leaves, the
// match's end), oldest first, numbered as the demo counts them. A frag or a capture can be
// played from a little before it.

#include "gamefacts.h"

#include <QAbstractTableModel>

#include <deque>

namespace arbelon {

class EventFeedModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { ColNumber = 0,
                  ColClock,
                  ColEvent,
                  kColumns };
    // The demo's own time of the event, for a play from just before it.
    static constexpr int ServerTimeRole = Qt::UserRole + 1;

    using QAbstractTableModel::QAbstractTableModel;

    // The events of these facts; rows of events already shown stay where they are.
    void show(const demo::GameFacts *facts);
    const std::deque<demo::FactEvent> &events() const { return m_events; }
    // A moment worth playing from: a frag or a capture.
    bool playable(int row) const;

    // "Ann fragged Bob (rocket)", "Ann captured the flag": one line of words.
    static QString eventText(const demo::FactEvent &e);
    static QString eventText(demo::FactEvent::Kind kind, const QString &actor, const QString &target,
                             const QString &weapon);
    // A game clock as "M:SS".
    static QString clockText(qint64 ms);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

private:
    std::deque<demo::FactEvent> m_events;
};

} // namespace arbelon
