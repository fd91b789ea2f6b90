#pragma once
// What is on in a game as JSON: what the web page and its API show, what the archive keeps in
// a demo's sidecar, and what cluster nodes send each other. Names keep their colour codes.

#include "relayfacts.h"

#include <QJsonObject>
#include <QString>

namespace arbelon {

// A name from a demo without its colour codes.
QString plainName(const QByteArray &name);
// The score in a line: "3 : 1" for teams, else the leader and the score.
QString scoreLine(const demo::GameFacts &facts);
// The game row's summary: map, mode, players, score (added to the row's object).
void addFactsSummary(QJsonObject &row, const LiveFacts *facts);
// Everything known: the summary, clock, limits, scoreboard and events.
QJsonObject factsJson(const LiveFacts &facts);
// The same read back, every field bounded as a demo's own (another node's, or a sidecar).
LiveFacts factsFromJson(const QJsonObject &json);

} // namespace arbelon
