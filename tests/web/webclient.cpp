#include "webclient.h"

#include <QEventLoop>
#include <QTcpSocket>
#include <QRegularExpression>
#include <QSet>
#include <QTimer>

#include <cmath>
#include <memory>

namespace arbelon::test {

HttpReply WebClient::get(const QString &path, const QByteArray &method, const QByteArray &body)
{
    // A plain socket, not Qt's network access manager: its threads would hand Qt's own
    // objects between threads, which the race detector cannot follow.
    QTcpSocket socket;
    socket.connectToHost(m_address, m_port);
    QByteArray request = method + ' ' + path.toUtf8() + " HTTP/1.1\r\nHost: " + m_address.toString().toUtf8()
                         + "\r\nConnection: close\r\n";
    if (!body.isEmpty() || (method != "GET" && method != "HEAD"))
        request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    socket.write(request + "\r\n" + body);
    QByteArray raw;
    QEventLoop loop;
    QObject::connect(&socket, &QTcpSocket::readyRead, &loop, [&] { raw += socket.readAll(); });
    QObject::connect(&socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(15000, &loop, &QEventLoop::quit);
    if (socket.state() != QAbstractSocket::UnconnectedState)
        loop.exec();
    raw += socket.readAll();
    HttpReply out;
    const qsizetype end = raw.indexOf("\r\n\r\n");
    if (end < 0)
        return out;
    const QList<QByteArray> lines = raw.left(end).split('\n');
    const QList<QByteArray> status = lines.first().trimmed().split(' ');
    if (status.size() < 2 || !status[0].startsWith("HTTP/1."))
        return out;
    out.status = status[1].toInt();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            out.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
    }
    out.contentType = out.headers.value("content-type");
    out.body = raw.mid(end + 4);
    if (out.headers.contains("content-length") && method != "HEAD")
        out.body.truncate(out.headers.value("content-length").toLongLong());
    return out;
}

bool parseMetrics(const QByteArray &text, QList<MetricSample> *samples, QString *error)
{
    static const QRegularExpression help(QStringLiteral("^# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*)$"));
    static const QRegularExpression type(
        QStringLiteral("^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped)$"));
    static const QRegularExpression sample(QStringLiteral(
        "^([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{((?:[a-zA-Z_][a-zA-Z0-9_]*=\"(?:[^\"\\\\\\n]|\\\\.)*\",?)*)\\})? "
        "(-?[0-9.eE+-]+|\\+Inf|-Inf|NaN)$"));
    static const QRegularExpression label(QStringLiteral("([a-zA-Z_][a-zA-Z0-9_]*)=\"((?:[^\"\\\\]|\\\\.)*)\""));
    if (!text.endsWith('\n')) {
        *error = QStringLiteral("does not end with a line end");
        return false;
    }
    QMap<QString, QString> types;
    QSet<QString> helped;
    const QList<QByteArray> lines = text.left(text.size() - 1).split('\n');
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromUtf8(raw);
        if (const auto m = help.match(line); m.hasMatch()) {
            if (helped.contains(m.captured(1)) || types.contains(m.captured(1))) {
                *error = QStringLiteral("HELP after samples or twice: ") + line;
                return false;
            }
            helped.insert(m.captured(1));
            continue;
        }
        if (const auto m = type.match(line); m.hasMatch()) {
            if (types.contains(m.captured(1))) {
                *error = QStringLiteral("TYPE twice: ") + line;
                return false;
            }
            types.insert(m.captured(1), m.captured(2));
            continue;
        }
        const auto m = sample.match(line);
        if (!m.hasMatch()) {
            *error = QStringLiteral("not a sample: \"%1\"").arg(line);
            return false;
        }
        MetricSample s;
        s.name = m.captured(1);
        QString family = s.name;
        for (const QString &suffix : {QStringLiteral("_bucket"), QStringLiteral("_sum"), QStringLiteral("_count")}) {
            if (!types.contains(family) && family.endsWith(suffix) && types.value(family.chopped(suffix.size())) == QStringLiteral("histogram"))
                family.chop(suffix.size());
        }
        if (!types.contains(family)) {
            *error = QStringLiteral("sample before its TYPE: ") + line;
            return false;
        }
        auto it = label.globalMatch(m.captured(3));
        while (it.hasNext()) {
            const auto l = it.next();
            s.labels.insert(l.captured(1), l.captured(2));
        }
        bool ok = false;
        s.value = m.captured(4) == QStringLiteral("+Inf") ? INFINITY : m.captured(4).toDouble(&ok);
        if (!ok && m.captured(4) != QStringLiteral("+Inf")) {
            *error = QStringLiteral("bad value: ") + line;
            return false;
        }
        if (types.value(family) == QStringLiteral("counter") && s.value < 0) {
            *error = QStringLiteral("negative counter: ") + line;
            return false;
        }
        samples->append(s);
    }
    // Histograms: buckets rise, end at +Inf, and +Inf equals _count.
    for (auto t = types.cbegin(); t != types.cend(); ++t) {
        if (t.value() != QStringLiteral("histogram"))
            continue;
        double last = -1, inf = -1;
        for (const MetricSample &s : std::as_const(*samples)) {
            if (s.name != t.key() + QStringLiteral("_bucket"))
                continue;
            if (s.value < last) {
                *error = QStringLiteral("%1 buckets not cumulative").arg(t.key());
                return false;
            }
            last = s.value;
            if (s.labels.value(QStringLiteral("le")) == QStringLiteral("+Inf"))
                inf = s.value;
        }
        if (inf < 0 || inf != metric(*samples, t.key() + QStringLiteral("_count"))) {
            *error = QStringLiteral("%1: +Inf bucket missing or not equal to _count").arg(t.key());
            return false;
        }
    }
    return true;
}

double metric(const QList<MetricSample> &samples, const QString &name, const QMap<QString, QString> &labels)
{
    for (const MetricSample &s : samples) {
        if (s.name != name)
            continue;
        bool match = true;
        for (auto it = labels.cbegin(); it != labels.cend(); ++it)
            match = match && s.labels.value(it.key()) == it.value();
        if (match)
            return s.value;
    }
    return NAN;
}

} // namespace arbelon::test
