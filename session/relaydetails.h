#pragma once
// What is on in the relay's games, read from the JSON of its web page: each listed game's map
// and players, polled while the game list is shown, and one game's scoreboard and events on
// request. A relay without the page (or behind a firewall) leaves them empty; nothing else
// depends on it. Answers are bounded in size and time, and read as untrusted.

#include "gamelistmodel.h"

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <functional>

class QNetworkReply;

namespace arbelon {

class RelayDetails : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 kDefaultWebPort = 38964;
    static constexpr int kPollMs = 5000;
    static constexpr int kTimeoutMs = 4000;
    // The page's answer for a few thousand games; past this it is not the page.
    static constexpr qint64 kMaxReplyBytes = 4 * 1024 * 1024;

    explicit RelayDetails(QObject *parent = nullptr);

    // Polls the relay at host on its web port (0: the default) until stop().
    void start(const QString &host, quint16 webPort);
    void stop();
    bool running() const { return m_poll.isActive(); }
    QUrl base() const { return m_base; }

    // One game's whole facts ("facts" of its page's JSON); an empty object with the reason
    // when the page cannot be read.
    void fetchGame(quint32 id, std::function<void(const QJsonObject &facts, const QString &why)> done);

    // The map and players of each game in the page's list of games.
    static QHash<quint32, GameDetails> parseGames(const QByteArray &json, QString *why);

signals:
    void detailsRead(const QHash<quint32, GameDetails> &details);
    // The page could not be read, once per run of failures.
    void unavailable(const QString &why);

private:
    void poll();
    QNetworkReply *get(const QString &path);
    void read(QNetworkReply *reply, const std::function<void(const QByteArray &, const QString &)> &done);

    QNetworkAccessManager m_net;
    QTimer m_poll;
    QUrl m_base;
    QPointer<QNetworkReply> m_pending;
    bool m_failing = false;
};

} // namespace arbelon
