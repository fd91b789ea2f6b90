#include "relaywebserver.h"

#include "relayarchive.h"
#include "relaymetrics.h"
#include "relayserver.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpSocket>

namespace arbelon {

namespace {
using Status = QHttpServerResponder::StatusCode;

// Nothing of the page runs from elsewhere, and no other site may frame or script it.
const QByteArray kPolicy = QByteArrayLiteral("default-src 'none'; script-src 'self'; style-src 'self'; "
                                             "img-src 'self'; connect-src 'self'; base-uri 'none'; "
                                             "form-action 'none'; frame-ancestors 'none'");
const QByteArray kHtml = QByteArrayLiteral("text/html; charset=utf-8");
const QByteArray kJson = QByteArrayLiteral("application/json");

// A game id as the path spells it: 1 to 10 digits, no sign, no leading zero, within 32 bits.
bool parseId(QStringView text, quint32 *id)
{
    if (text.isEmpty() || text.size() > 10 || text.front() == u'0')
        return false;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    const qulonglong v = text.toULongLong();
    if (v > 0xffffffffULL)
        return false;
    *id = quint32(v);
    return true;
}
} // namespace

RelayWebServer::RelayWebServer(RelayServer &server, RelayArchive *archive, HttpGuard::Limits limits, QObject *parent)
    : QAbstractHttpServer(parent), m_server(server), m_archive(archive), m_limits(limits)
{
    m_server.addObserver(this);
}

RelayWebServer::~RelayWebServer()
{
    m_server.removeObserver(this);
}

bool RelayWebServer::listenOn(const QHostAddress &address, quint16 port, QString *error)
{
    auto *guard = new HttpGuard(m_limits, this);
    if (!guard->listen(address, port)) {
        *error = QStringLiteral("web port %1: %2").arg(port).arg(guard->errorString());
        delete guard;
        return false;
    }
    bind(guard);
    m_guard = guard;
    m_address = address;
    return true;
}

quint16 RelayWebServer::port() const
{
    return m_guard ? m_guard->serverPort() : 0;
}

// ---- what the relay tells -----------------------------------------------------------------

void RelayWebServer::gameClosed(quint32 gameId)
{
    m_chat.erase(gameId);
}

void RelayWebServer::chatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text)
{
    std::deque<web::ChatLine> &lines = m_chat[gameId];
    lines.push_back({QDateTime::currentDateTimeUtc(), userName, text});
    while (lines.size() > size_t(kChatLines))
        lines.pop_front();
}

QList<web::ChatLine> RelayWebServer::chatOf(quint32 gameId) const
{
    const auto it = m_chat.find(gameId);
    return it == m_chat.end() ? QList<web::ChatLine>{} : QList<web::ChatLine>(it->second.begin(), it->second.end());
}

// ---- requests ------------------------------------------------------------------------------

web::PageContext RelayWebServer::context(const QHttpServerRequest &request) const
{
    web::PageContext ctx;
    ctx.nowUtc = QDateTime::currentDateTimeUtc();
    ctx.archiveOn = m_archive != nullptr;
    // The relay's own address when it listens on one; else the name the browser used to
    // reach it, if that is a plain host name or address (it only goes back to that browser).
    QString host;
    const QHostAddress listen = m_server.config().listenAddress;
    if (listen != QHostAddress::Any && listen != QHostAddress::AnyIPv4 && listen != QHostAddress::AnyIPv6) {
        host = listen.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + listen.toString() + u']' : listen.toString();
    } else {
        static const QRegularExpression plainHost(QStringLiteral("^([A-Za-z0-9.-]{1,253}|\\[[0-9A-Fa-f:.]{2,45}\\])(:[0-9]{1,5})?$"));
        const QString h = QString::fromLatin1(request.value(QByteArrayLiteral("Host")));
        if (plainHost.match(h).hasMatch())
            host = h.startsWith(u'[') ? h.left(h.indexOf(u']') + 1) : h.section(u':', 0, 0);
        // The client takes an IPv6 address only in its one written form.
        if (host.startsWith(u'[')) {
            const QHostAddress address(host.mid(1, host.size() - 2));
            host = address.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + address.toString() + u']' : QString();
        }
    }
    if (!host.isEmpty()) {
        const quint16 vp = m_server.viewerPort();
        ctx.watchBase = QStringLiteral("arbelon://") + host
                        + (vp == kViewerPort ? QString() : QStringLiteral(":%1").arg(vp)) + QStringLiteral("/watch/");
    }
    return ctx;
}

void RelayWebServer::answer(const QHttpServerRequest &request, QTcpSocket *socket, int status, const QByteArray &type,
                            const QByteArray &body)
{
    QHttpServerResponder r = makeResponder(request, socket);
    r.writeStatusLine(Status(status));
    r.writeHeader(QByteArrayLiteral("Content-Type"), type);
    r.writeHeader(QByteArrayLiteral("Content-Length"), QByteArray::number(body.size()));
    r.writeHeader(QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store"));
    r.writeHeader(QByteArrayLiteral("Content-Security-Policy"), kPolicy);
    r.writeHeader(QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff"));
    r.writeHeader(QByteArrayLiteral("Referrer-Policy"), QByteArrayLiteral("no-referrer"));
    r.writeHeader(QByteArrayLiteral("X-Frame-Options"), QByteArrayLiteral("DENY"));
    if (status == 405)
        r.writeHeader(QByteArrayLiteral("Allow"), QByteArrayLiteral("GET, HEAD"));
    if (m_closeAfter)
        r.writeHeader(QByteArrayLiteral("Connection"), QByteArrayLiteral("close"));
    r.writeBody(request.method() == QHttpServerRequest::Method::Head ? QByteArray() : body);
    if (m_closeAfter)
        socket->disconnectFromHost(); // once the answer is written
}

bool RelayWebServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    m_closeAfter = false;
    bool everyone = false;
    if (m_guard && m_guard->overloaded(socket, &everyone)) {
        // It asks and does not read: nothing more is queued for it.
        if (!everyone) {
            socket->abort();
            return true;
        }
        m_closeAfter = true;
        answer(request, socket, 503, kHtml, web::errorPage(503, QStringLiteral("Too busy; try again shortly.")));
        return true;
    }
    if (route(request, socket))
        return true;
    answer(request, socket, 404, kHtml, web::errorPage(404, QStringLiteral("Nothing here.")));
    return true;
}

bool RelayWebServer::route(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const auto method = request.method();
    if (method != QHttpServerRequest::Method::Get && method != QHttpServerRequest::Method::Head) {
        answer(request, socket, 405, kHtml, web::errorPage(405, QStringLiteral("This page only shows; it takes nothing.")));
        return true;
    }
    // The encoded path: "%2e%2e" stays as it is and so never names a listed demo.
    const QString path = request.url().path(QUrl::FullyEncoded);
    const web::PageContext ctx = context(request);
    if (path == QStringLiteral("/")) {
        answer(request, socket, 200, kHtml, web::gamesPage(m_server.games(), ctx));
    } else if (path == QStringLiteral("/api/games")) {
        answer(request, socket, 200, kJson, QJsonDocument(web::gamesJson(m_server.games(), ctx)).toJson(QJsonDocument::Compact));
    } else if (path.startsWith(QStringLiteral("/game/")) || path.startsWith(QStringLiteral("/api/games/"))) {
        const bool api = path.startsWith(QStringLiteral("/api/"));
        quint32 id = 0;
        const RelayGameView game = parseId(QStringView(path).mid(path.lastIndexOf(u'/') + 1), &id) ? m_server.game(id)
                                                                                                   : RelayGameView{};
        const bool exactPath = path == (api ? QStringLiteral("/api/games/") : QStringLiteral("/game/")) + QString::number(id);
        if (game.id == 0 || !exactPath) {
            if (api)
                answer(request, socket, 404, kJson, QByteArrayLiteral("{\"error\":\"no such game\"}"));
            else
                answer(request, socket, 404, kHtml, web::errorPage(404, QStringLiteral("No such game is on.")));
            return true;
        }
        const QList<ArchivedDemo> demos = m_archive ? m_archive->demosOfGame(id) : QList<ArchivedDemo>{};
        if (api)
            answer(request, socket, 200, kJson,
                   QJsonDocument(web::gameDetailJson(game, chatOf(id), demos, ctx)).toJson(QJsonDocument::Compact));
        else
            answer(request, socket, 200, kHtml, web::gamePage(game, chatOf(id), demos, ctx));
    } else if (path == QStringLiteral("/archive")) {
        answer(request, socket, 200, kHtml, web::archivePage(m_archive ? m_archive->demos() : QList<ArchivedDemo>{}, ctx));
    } else if (path == QStringLiteral("/api/archive")) {
        QJsonArray list;
        if (m_archive) {
            for (const ArchivedDemo &d : m_archive->demos())
                list.append(web::demoJson(d));
        }
        answer(request, socket, 200, kJson, QJsonDocument(list).toJson(QJsonDocument::Compact));
    } else if (path.startsWith(QStringLiteral("/archive/file/"))) {
        download(request, socket, path.mid(QStringLiteral("/archive/file/").size()));
    } else if (path == QStringLiteral("/metrics")) {
        answer(request, socket, 200, QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8"),
               relayMetrics(m_server, m_archive, m_guard) + (m_extraMetrics ? m_extraMetrics() : QByteArray()));
    } else if (path == QStringLiteral("/healthz")) {
        answer(request, socket, 200, QByteArrayLiteral("text/plain; charset=utf-8"), QByteArrayLiteral("ok\n"));
    } else if (path == QStringLiteral("/style.css")) {
        answer(request, socket, 200, QByteArrayLiteral("text/css; charset=utf-8"), web::styleSheet());
    } else if (path == QStringLiteral("/app.js")) {
        answer(request, socket, 200, QByteArrayLiteral("text/javascript; charset=utf-8"), web::script());
    } else {
        return false;
    }
    return true;
}

void RelayWebServer::download(const QHttpServerRequest &request, QTcpSocket *socket, const QString &relPath)
{
    const QString file = m_archive ? m_archive->filePath(relPath) : QString();
    auto device = std::make_unique<QFile>(file);
    if (file.isEmpty() || !device->open(QIODevice::ReadOnly)) {
        answer(request, socket, 404, kHtml, web::errorPage(404, QStringLiteral("No such demo in the archive.")));
        return;
    }
    if (device->size() == 0) {
        answer(request, socket, 200, QByteArrayLiteral("application/octet-stream"), QByteArray());
        return;
    }
    const QByteArray name = relPath.section(u'/', -1).toLatin1(); // listed names are plain ASCII
    const QHttpServerResponder::HeaderList headers{
        {QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/octet-stream")},
        {QByteArrayLiteral("Content-Disposition"), "attachment; filename=\"" + name + '"'},
        {QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff")},
        {QByteArrayLiteral("Content-Security-Policy"), kPolicy}};
    QHttpServerResponder r = makeResponder(request, socket);
    if (request.method() == QHttpServerRequest::Method::Head) {
        // The length a GET would send, and no body.
        r.writeStatusLine(Status::Ok);
        for (const auto &[key, value] : headers)
            r.writeHeader(key, value);
        r.writeHeader(QByteArrayLiteral("Content-Length"), QByteArray::number(device->size()));
        r.writeBody(QByteArray());
        return;
    }
    // The file is sent a piece at a time as the client takes it (the responder owns it).
    r.write(device.release(), headers, Status::Ok);
}

void RelayWebServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    answer(request, socket, 404, kHtml, web::errorPage(404, QStringLiteral("Nothing here.")));
}

} // namespace arbelon
