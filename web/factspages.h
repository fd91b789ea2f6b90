#pragma once
// What is on in a game, as the web page and its JSON show it: the map, the mode, the
// scoreboard and the last events. Player names keep their colour codes ("^1"): the JSON gives
// them as they are, the HTML as coloured spans around escaped text.

#include "relayfacts.h"

#include <QJsonObject>
#include <QString>

namespace arbelon::web {

// A name from a demo without its colour codes.
QString plainName(const QByteArray &name);
// A name from a demo as HTML: escaped text in a span per colour.
QString colouredName(const QByteArray &name);

// The game row's summary: map, mode, players, score (added to the row's object).
void addFactsSummary(QJsonObject &row, const LiveFacts *facts);
// Everything known: the summary, clock, limits, scoreboard and events.
QJsonObject factsJson(const LiveFacts &facts);
// The score in a line: "3 : 1" for teams, else the leader and the score.
QString scoreLine(const demo::GameFacts &facts);

// The game page's section: the facts line, the scoreboard and the events (newest first).
QString factsSection(const LiveFacts *facts);

} // namespace arbelon::web
