#pragma once
// The cluster's part of arbelon-relay's command line: NATS servers, the node's name, its
// credentials and the peers it accepts.

#include "relayconfig.h"

class QCommandLineParser;

namespace arbelon {

void addClusterOptions(QCommandLineParser &parser);
bool readClusterOptions(const QCommandLineParser &parser, RelayConfig *config, QString *error);

// A server URL as it may be shown: without the user, password or token it may carry.
QString redactedUrl(const QString &url);

} // namespace arbelon
