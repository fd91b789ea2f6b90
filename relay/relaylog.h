#pragma once
// Time-stamped log lines of the relay server. They go to stderr unless a sink is set
// (tests capture them).

#include <QByteArrayView>
#include <QString>

#include <functional>

namespace arbelon {

class RelayLog {
public:
    using Sink = std::function<void(const QString &line)>;

    // Replaces the destination of every later line; an empty sink restores stderr.
    static void setSink(Sink sink);
    // Writes "<UTC time> <message>" as one line.
    static void write(const QString &message);

    // A client-supplied text made safe for one log line: printable ASCII kept,
    // everything else escaped as \xNN, so no client can forge or break lines.
    static QString quoted(QByteArrayView text);
};

} // namespace arbelon
