#include "webclient.h"

#include <QEventLoop>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSet>
#include <QTimer>

#include <cmath>
#include <memory>

namespace arbelon::test {

QString WebClient::url(const QString &path) const
{
    return QStringLiteral("http://%1:%2%3").arg(m_address.toString()).arg(m_port).arg(path);
}

HttpReply WebClient::get(const QString &path, const QByteArray &method, const QByteArray &body)
{
    QNetworkRequest request(QUrl(url(path), QUrl::StrictMode));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // A HEAD sent as a custom verb would wait for the body its Content-Length announces.
    std::unique_ptr<QNetworkReply> reply(method == "HEAD" ? m_nam.head(request)
                                                          : m_nam.sendCustomRequest(request, method, body));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(15000, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    HttpReply out;
    if (!reply->isFinished())
        return out;
    out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    out.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
    out.body = reply->readAll();
    for (const auto &pair : reply->rawHeaderPairs())
        out.headers.insert(pair.first.toLower(), pair.second);
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
