#include "relaylog.h"

#include <QDateTime>

#include <cstdio>

namespace arbelon {

namespace {
RelayLog::Sink &sinkRef()
{
    static RelayLog::Sink sink;
    return sink;
}
} // namespace

void RelayLog::setSink(Sink sink)
{
    sinkRef() = std::move(sink);
}

void RelayLog::write(const QString &message)
{
    const QString line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)
        + QLatin1Char(' ') + message;
    if (sinkRef()) {
        sinkRef()(line);
        return;
    }
    const QByteArray bytes = line.toUtf8();
    std::fprintf(stderr, "%s\n", bytes.constData());
    std::fflush(stderr);
}

QString RelayLog::quoted(QByteArrayView text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && c != '"' && c != '\\')
            out += QLatin1Char(c);
        else
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    out += QLatin1Char('"');
    return out;
}

} // namespace arbelon
