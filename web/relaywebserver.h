#pragma once
// The relay's web page: the live games, one game's lobby and chat, the archive with its
// downloads, the same as JSON, Prometheus metrics and a health check. Read-only: it
// answers GET (and HEAD) and nothing a browser sends changes the relay. Lives on the thread
// that owns the RelayServer, as the observer calls come from there.

#include "httpconnection.h"
#include "httpguard.h"
#include "relayobserver.h"
#include "relaywebpages.h"

#include <QHostAddress>
#include <QPointer>

#include <deque>
#include <functional>
#include <map>

namespace arbelon {

class RelayArchive;
class RelayServer;

class RelayWebServer : public QObject, public RelayObserver {
    Q_OBJECT
public:
    static constexpr int kChatLines = 100;

    // archive may be null. The server and the archive must outlive this object.
    RelayWebServer(RelayServer &server, RelayArchive *archive, HttpGuard::Limits limits = {},
                   QObject *parent = nullptr);
    ~RelayWebServer() override;

    // false with the reason when the port cannot be opened.
    bool listenOn(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const;
    const HttpGuard *guard() const { return m_guard; }
    // Families of the layers above (the cluster's), appended to /metrics in its text format.
    void setExtraMetrics(std::function<QByteArray()> metrics) { m_extraMetrics = std::move(metrics); }

    void gameClosed(quint32 gameId) override;
    void chatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text) override;

private:
    void accept();
    void handle(HttpConnection &connection, const HttpRequest &request);
    web::PageContext context(const HttpRequest &request) const;
    QList<web::ChatLine> chatOf(quint32 gameId) const;
    void answer(HttpConnection &connection, const HttpRequest &request, int status, const QByteArray &type,
                const QByteArray &body);
    void download(HttpConnection &connection, const HttpRequest &request, const QString &relPath);
    bool route(HttpConnection &connection, const HttpRequest &request);

    RelayServer &m_server;
    RelayArchive *m_archive;
    const HttpGuard::Limits m_limits;
    QPointer<HttpGuard> m_guard;
    QHostAddress m_address;
    std::map<quint32, std::deque<web::ChatLine>> m_chat;
    std::function<QByteArray()> m_extraMetrics;
};

} // namespace arbelon
