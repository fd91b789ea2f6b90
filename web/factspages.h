#pragma once
// What is on in a game, as the web page and its JSON show it: the map, the mode, the
// scoreboard and the last events. Player names keep their colour codes ("^1"): the JSON gives
// them as they are, the HTML as coloured spans around escaped text.

#include "archiveindex.h"
#include "factsjson.h"

#include <QJsonObject>
#include <QString>

namespace arbelon::web {

// A name from a demo as HTML: escaped text in a span per colour.
QString colouredName(const QByteArray &name);


// The archive's summary of a demo (map, mode, players, score, length) from factsJson's object.
void readFactsSummary(const QJsonObject &facts, ArchivedDemo &demo);

// The page's section: the facts line, the scoreboard and the events (newest first), from
// factsJson's object (a live game's, or an archived demo's as its sidecar keeps it).
QString factsSection(const QJsonObject &facts);
QString factsSection(const LiveFacts *facts);

} // namespace arbelon::web
