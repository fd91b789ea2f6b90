#pragma once
// The relay's counters in the Prometheus text format (version 0.0.4).

#include "relayobserver.h"

#include <QByteArray>
#include <QList>

namespace arbelon {

class HttpGuard;
class RelayArchive;
class RelayStats;

// archive and guard may be null (no archive; no web listener yet).
QByteArray relayMetrics(const RelayStats &stats, const QList<RelayGameView> &games, const RelayArchive *archive,
                        const HttpGuard *guard);

} // namespace arbelon
