#pragma once
// Copies that share no data with their source, for what crosses from one thread to another:
// Qt's implicit sharing counts references atomically, but the race detector cannot see that
// as synchronisation, and a copy owned by one thread alone needs none.

#include "relayobserver.h"

#include <QByteArray>
#include <QList>

namespace arbelon {

inline QByteArray deepCopy(const QByteArray &b)
{
    return QByteArray(b.constData(), b.size());
}

inline QList<QByteArray> deepCopy(const QList<QByteArray> &list)
{
    QList<QByteArray> out;
    out.reserve(list.size());
    for (const QByteArray &b : list)
        out.append(deepCopy(b));
    return out;
}

inline RelayGameView deepCopy(const RelayGameView &g)
{
    RelayGameView out = g;
    out.name = deepCopy(g.name);
    out.mod = deepCopy(g.mod);
    out.filmer = deepCopy(g.filmer);
    out.listed = deepCopy(g.listed);
    return out;
}

} // namespace arbelon
