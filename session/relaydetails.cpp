#include "relaydetails.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace arbelon {

RelayDetails::RelayDetails(QObject *parent) : QObject(parent)
{
    // The relay is reached directly, as its game connection is.
    m_net.setProxy(QNetworkProxy::NoProxy);
    m_net.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    m_poll.setInterval(kPollMs);
    connect(&m_poll, &QTimer::timeout, this, &RelayDetails::poll);
}

void RelayDetails::start(const QString &host, quint16 webPort)
{
    stop();
    m_base = QUrl();
    m_base.setScheme(QStringLiteral("http"));
    m_base.setHost(host); // an IPv6 address gets its brackets here
    m_base.setPort(webPort != 0 ? webPort : kDefaultWebPort);
    if (!m_base.isValid() || host.isEmpty())
        return;
    m_failing = false;
    m_poll.start();
    poll();
}

void RelayDetails::stop()
{
    m_poll.stop();
    if (m_pending)
        m_pending->abort();
    m_pending.clear();
}

QNetworkReply *RelayDetails::get(const QString &path)
{
    QUrl url = m_base;
    url.setPath(path);
    QNetworkRequest request(url);
    request.setTransferTimeout(kTimeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    QNetworkReply *reply = m_net.get(request);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > kMaxReplyBytes || total > kMaxReplyBytes)
            reply->abort();
    });
    return reply;
}

void RelayDetails::read(QNetworkReply *reply, const std::function<void(const QByteArray &, const QString &)> &done)
{
    connect(reply, &QNetworkReply::finished, this, [reply, done] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() == QNetworkReply::OperationCanceledError)
            done({}, QStringLiteral("the relay's web page took too long or said too much"));
        else if (reply->error() != QNetworkReply::NoError)
            done({}, reply->errorString());
        else if (status != 200)
            done({}, QStringLiteral("the relay's web page answered %1").arg(status));
        else
            done(reply->read(kMaxReplyBytes), {});
    });
}

void RelayDetails::poll()
{
    if (m_pending || !m_base.isValid())
        return; // the last question is still open
    m_pending = get(QStringLiteral("/api/games"));
    read(m_pending, [this](const QByteArray &body, const QString &failed) {
        m_pending.clear();
        QString why = failed;
        QHash<quint32, GameDetails> details;
        if (why.isEmpty())
            details = parseGames(body, &why);
        if (!why.isEmpty()) {
            if (!m_failing)
                emit unavailable(why);
            m_failing = true;
            emit detailsRead({});
            return;
        }
        m_failing = false;
        emit detailsRead(details);
    });
}

void RelayDetails::fetchGame(quint32 id, std::function<void(const QJsonObject &, const QString &)> done)
{
    if (!m_base.isValid()) {
        done({}, QStringLiteral("no relay"));
        return;
    }
    read(get(QStringLiteral("/api/games/%1").arg(id)), [done](const QByteArray &body, const QString &failed) {
        if (!failed.isEmpty()) {
            done({}, failed);
            return;
        }
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
        const QJsonValue facts = doc.object().value(QStringLiteral("facts"));
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            done({}, QStringLiteral("the relay's web page did not answer in JSON"));
        else if (!facts.isObject())
            done({}, QStringLiteral("the relay has not read what is on in this game"));
        else
            done(facts.toObject(), {});
    });
}

QHash<quint32, GameDetails> RelayDetails::parseGames(const QByteArray &json, QString *why)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray()) {
        *why = QStringLiteral("the relay's web page did not answer with a list of games");
        return {};
    }
    // A name or map beyond this is not a map's name; it is cut, as the list would cut it.
    constexpr qsizetype kMaxMap = 64;
    constexpr int kMaxPlayers = 1024;
    QHash<quint32, GameDetails> out;
    for (const QJsonValue &v : doc.array()) {
        const QJsonObject o = v.toObject();
        const double id = o.value(QStringLiteral("id")).toDouble(-1);
        if (id < 0 || id > 0xffffffffu || id != double(quint32(id)))
            continue;
        GameDetails d;
        d.map = o.value(QStringLiteral("map")).toString().left(kMaxMap);
        d.score = o.value(QStringLiteral("score")).toString().left(kMaxMap);
        d.events = qint64(qBound(0.0, o.value(QStringLiteral("events")).toDouble(), 4294967295.0));
        if (o.value(QStringLiteral("players")).isDouble() && !d.map.isEmpty())
            d.players = int(qBound(0.0, o.value(QStringLiteral("players")).toDouble(), double(kMaxPlayers)));
        out.insert(quint32(id), d);
    }
    return out;
}

} // namespace arbelon
