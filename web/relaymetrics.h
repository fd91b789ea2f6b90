#pragma once
// The relay's counters in the Prometheus text format (version 0.0.4).

#include <QByteArray>

namespace arbelon {

class HttpGuard;
class RelayArchive;
class RelayServer;

// archive and guard may be null (no archive; no web listener yet).
QByteArray relayMetrics(const RelayServer &server, const RelayArchive *archive, const HttpGuard *guard);

} // namespace arbelon
