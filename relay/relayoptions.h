#pragma once
// Command line of arbelon-relay: the flags and their translation into a RelayConfig.

#include "relayconfig.h"

#include <QHostAddress>
#include <QString>

class QCommandLineParser;

namespace arbelon {

// Declares every flag (with --help and --version) on the parser.
void addRelayOptions(QCommandLineParser &parser);
// Reads the parsed flags; false with a message naming the flag when a value is bad.
bool readRelayOptions(const QCommandLineParser &parser, RelayConfig *config, QString *error);
// "65536", "64K", "4M", "1G" (binary multiples); -1 when not a size.
qint64 parseByteSize(const QString &text);
// "127.0.0.1:8080", "[::1]:8080" (port 0 to 65535); false when not that.
bool parseHostPort(const QString &text, QHostAddress *address, quint16 *port);

} // namespace arbelon
