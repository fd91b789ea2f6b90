#pragma once
// The relay's web page: the live games, one game's lobby and chat, the archive with its
// downloads, the same as JSON, Prometheus metrics and a health check. Read-only: it
// answers GET (and HEAD) and nothing a browser sends changes the relay. It may live on a
// thread of its own: it sees the games only through the feed's snapshots, the archive through
// its locked index and the counters through their atomics.

#include "httpconnection.h"
#include "httpguard.h"
#include "relaywebpages.h"

#include <QHostAddress>
#include <QPointer>


namespace arbelon {

class RelayArchive;
class RelayWebFeed;

class RelayWebServer : public QObject {
    Q_OBJECT
public:
    // archive may be null. The feed and the archive must outlive this object.
    RelayWebServer(const RelayWebFeed &feed, RelayArchive *archive, HttpGuard::Limits limits = {},
                   QObject *parent = nullptr);
    ~RelayWebServer() override;

    // false with the reason when the port cannot be opened. On the object's thread.
    bool listenOn(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const;
    const HttpGuard *guard() const { return m_guard; }

private:
    void accept();
    void handle(HttpConnection &connection, const HttpRequest &request);
    web::PageContext context(const HttpRequest &request) const;
    void answer(HttpConnection &connection, const HttpRequest &request, int status, const QByteArray &type,
                const QByteArray &body, const HttpConnection::Headers &extra = {});
    void archive(HttpConnection &connection, const HttpRequest &request, bool api, const web::PageContext &ctx);
    void download(HttpConnection &connection, const HttpRequest &request, const QString &relPath);
    bool route(HttpConnection &connection, const HttpRequest &request);

    const RelayWebFeed &m_feed;
    RelayArchive *m_archive;
    const HttpGuard::Limits m_limits;
    QPointer<HttpGuard> m_guard;
    QHostAddress m_address;
};

} // namespace arbelon
