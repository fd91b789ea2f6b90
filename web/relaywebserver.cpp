#include "relaywebserver.h"

#include "relayarchive.h"
#include "relaymetrics.h"
#include "relaywebfeed.h"
#include "records.h"

#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpSocket>

namespace arbelon {

namespace {
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

RelayWebServer::RelayWebServer(const RelayWebFeed &feed, RelayArchive *archive, HttpGuard::Limits limits, QObject *parent)
    : QObject(parent), m_feed(feed), m_archive(archive), m_limits(limits)
{
}

RelayWebServer::~RelayWebServer() = default;

bool RelayWebServer::listenOn(const QHostAddress &address, quint16 port, QString *error)
{
    auto *guard = new HttpGuard(m_limits, this);
    if (!guard->open(address, port)) {
        *error = QStringLiteral("web port %1: %2").arg(port).arg(guard->errorString());
        delete guard;
        return false;
    }
    connect(guard, &QTcpServer::newConnection, this, &RelayWebServer::accept);
    m_guard = guard;
    m_address = address;
    return true;
}

quint16 RelayWebServer::port() const
{
    return m_guard ? m_guard->serverPort() : 0;
}

void RelayWebServer::accept()
{
    const HttpConnection::Limits limits{m_limits.maxRequestBytes, m_limits.maxRequestBytes, m_limits.maxQueuedBytes};
    while (QTcpSocket *socket = m_guard->nextPendingConnection()) {
        auto *connection = new HttpConnection(socket, limits); // the socket owns it
        connect(connection, &HttpConnection::request, this,
                [this, connection](const HttpRequest &request) { handle(*connection, request); });
        connect(connection, &HttpConnection::badRequest, this, [this, connection](int status, const QByteArray &why) {
            HttpRequest none;
            none.method = "GET";
            answer(*connection, none, status, kHtml, web::errorPage(status, QString::fromLatin1(why)));
        });
    }
}

// ---- requests ------------------------------------------------------------------------------

web::PageContext RelayWebServer::context(const HttpRequest &request) const
{
    web::PageContext ctx;
    ctx.nowUtc = QDateTime::currentDateTimeUtc();
    ctx.archiveOn = m_archive != nullptr;
    if (const RelayFacts *facts = m_feed.facts())
        ctx.facts = facts->all();
    // The relay's own address when it listens on one; else the name the browser used to
    // reach it, if that is a plain host name or address (it only goes back to that browser).
    QString host;
    const QHostAddress listen = m_feed.listenAddress();
    if (listen != QHostAddress::Any && listen != QHostAddress::AnyIPv4 && listen != QHostAddress::AnyIPv6) {
        host = listen.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + listen.toString() + u']' : listen.toString();
    } else {
        static const QRegularExpression plainHost(QStringLiteral("^([A-Za-z0-9.-]{1,253}|\\[[0-9A-Fa-f:.]{2,45}\\])(:[0-9]{1,5})?$"));
        const QString h = QString::fromLatin1(request.value("host"));
        if (plainHost.match(h).hasMatch())
            host = h.startsWith(u'[') ? h.left(h.indexOf(u']') + 1) : h.section(u':', 0, 0);
        // The client takes an IPv6 address only in its one written form.
        if (host.startsWith(u'[')) {
            const QHostAddress address(host.mid(1, host.size() - 2));
            host = address.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + address.toString() + u']' : QString();
        }
    }
    if (!host.isEmpty()) {
        const quint16 vp = m_feed.viewerPort();
        ctx.watchBase = QStringLiteral("arbelon://") + host
                        + (vp == kViewerPort ? QString() : QStringLiteral(":%1").arg(vp)) + QStringLiteral("/watch/");
    }
    return ctx;
}

void RelayWebServer::answer(HttpConnection &connection, const HttpRequest &request, int status, const QByteArray &type,
                            const QByteArray &body, const HttpConnection::Headers &extra)
{
    HttpConnection::Headers headers{{"Content-Type", type},
                                    {"Content-Length", QByteArray::number(body.size())},
                                    {"Cache-Control", "no-store"},
                                    {"Content-Security-Policy", kPolicy},
                                    {"X-Content-Type-Options", "nosniff"},
                                    {"Referrer-Policy", "no-referrer"},
                                    {"X-Frame-Options", "DENY"}};
    if (status == 405)
        headers.append(qMakePair(QByteArray("Allow"), QByteArray("GET, HEAD")));
    headers += extra;
    connection.respond(status, headers, request.method == "HEAD" ? QByteArray() : body);
}

void RelayWebServer::handle(HttpConnection &connection, const HttpRequest &request)
{
    if (m_guard && m_guard->overloaded()) {
        // All connections together hold too many unread answers: this one waits for none.
        answer(connection, request, 503, kHtml, web::errorPage(503, QStringLiteral("Too busy; try again shortly.")));
        connection.socket()->disconnectFromHost();
        return;
    }
    if (!route(connection, request))
        answer(connection, request, 404, kHtml, web::errorPage(404, QStringLiteral("Nothing here.")));
}

bool RelayWebServer::route(HttpConnection &connection, const HttpRequest &request)
{
    if (request.method != "GET" && request.method != "HEAD") {
        answer(connection, request, 405, kHtml, web::errorPage(405, QStringLiteral("This page only shows; it takes nothing.")));
        return true;
    }
    // The path as sent: "%2e%2e" stays as it is and so never names a listed demo.
    const QString path = QString::fromLatin1(request.path);
    const web::PageContext ctx = context(request);
    const std::shared_ptr<const WebSnapshot> relay = m_feed.snapshot();
    if (path == QStringLiteral("/")) {
        answer(connection, request, 200, kHtml, web::gamesPage(relay->games, ctx));
    } else if (path == QStringLiteral("/api/games")) {
        answer(connection, request, 200, kJson, QJsonDocument(web::gamesJson(relay->games, ctx)).toJson(QJsonDocument::Compact));
    } else if (path.startsWith(QStringLiteral("/game/")) || path.startsWith(QStringLiteral("/api/games/"))) {
        const bool api = path.startsWith(QStringLiteral("/api/"));
        quint32 id = 0;
        const RelayGameView *game = parseId(QStringView(path).mid(path.lastIndexOf(u'/') + 1), &id) ? relay->game(id)
                                                                                                    : nullptr;
        const bool exactPath = path == (api ? QStringLiteral("/api/games/") : QStringLiteral("/game/")) + QString::number(id);
        if (!game || !exactPath) {
            if (api)
                answer(connection, request, 404, kJson, QByteArrayLiteral("{\"error\":\"no such game\"}"));
            else
                answer(connection, request, 404, kHtml, web::errorPage(404, QStringLiteral("No such game is on.")));
            return true;
        }
        const QList<ArchivedDemo> demos = m_archive ? m_archive->demosOfGame(id) : QList<ArchivedDemo>{};
        static const QList<web::ChatLine> none;
        const auto chat = relay->chat.find(id);
        const QList<web::ChatLine> &lines = chat == relay->chat.end() ? none : chat->second;
        if (api)
            answer(connection, request, 200, kJson,
                   QJsonDocument(web::gameDetailJson(*game, lines, demos, ctx)).toJson(QJsonDocument::Compact));
        else
            answer(connection, request, 200, kHtml, web::gamePage(*game, lines, demos, ctx));
    } else if (path == QStringLiteral("/archive") || path == QStringLiteral("/api/archive")) {
        archive(connection, request, path == QStringLiteral("/api/archive"), ctx);
    } else if (path.startsWith(QStringLiteral("/archive/demo/")) || path.startsWith(QStringLiteral("/api/archive/demo/"))) {
        const bool api = path.startsWith(QStringLiteral("/api/"));
        const QString relPath = path.mid(path.indexOf(QStringLiteral("/demo/")) + 6);
        const std::optional<ArchivedDemo> demo = m_archive ? m_archive->find(relPath) : std::nullopt;
        if (!demo) {
            if (api)
                answer(connection, request, 404, kJson, QByteArrayLiteral("{\"error\":\"no such demo\"}"));
            else
                answer(connection, request, 404, kHtml, web::errorPage(404, QStringLiteral("No such demo in the archive.")));
            return true;
        }
        const QJsonObject facts = m_archive->sidecar(relPath).value(QStringLiteral("facts")).toObject();
        if (api) {
            QJsonObject o = web::demoJson(*demo);
            o.insert(QStringLiteral("facts"), facts);
            answer(connection, request, 200, kJson, QJsonDocument(o).toJson(QJsonDocument::Compact));
        } else {
            answer(connection, request, 200, kHtml, web::archivedDemoPage(*demo, facts, ctx));
        }
    } else if (path.startsWith(QStringLiteral("/archive/file/"))) {
        download(connection, request, path.mid(QStringLiteral("/archive/file/").size()));
    } else if (path == QStringLiteral("/metrics")) {
        answer(connection, request, 200, QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8"),
               relayMetrics(m_feed.stats(), relay->games, m_archive, m_guard) + relay->extraMetrics);
    } else if (path == QStringLiteral("/healthz")) {
        answer(connection, request, 200, QByteArrayLiteral("text/plain; charset=utf-8"), QByteArrayLiteral("ok\n"));
    } else if (path == QStringLiteral("/style.css")) {
        answer(connection, request, 200, QByteArrayLiteral("text/css; charset=utf-8"), web::styleSheet());
    } else if (path == QStringLiteral("/app.js")) {
        answer(connection, request, 200, QByteArrayLiteral("text/javascript; charset=utf-8"), web::script());
    } else {
        return false;
    }
    return true;
}

namespace {

// A day given as YYYY-MM-DD, as milliseconds since the epoch at its start (UTC); 0 otherwise.
qint64 dayStart(const QString &text)
{
    const QDate day = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
    return day.isValid() ? QDateTime(day, QTime(0, 0), Qt::UTC).toMSecsSinceEpoch() : 0;
}

} // namespace

void RelayWebServer::archive(HttpConnection &connection, const HttpRequest &request, bool api, const web::PageContext &ctx)
{
    // A page of the newest demos, or of those older than the cursor "before"; searched by
    // map, player, mode and days when asked. Each value is bounded and only ever bound into
    // the index's statements, never written into them.
    QString before;
    ArchiveQuery query;
    QByteArray searched; // the search again, for the next page's address
    for (const QByteArray &pair : request.query.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        const QByteArray key = pair.left(eq);
        const QString value = QString::fromUtf8(QByteArray::fromPercentEncoding(QByteArray(pair.mid(eq + 1)).replace('+', ' ')).left(512))
                                  .trimmed();
        if (eq < 0 || value.isEmpty())
            continue;
        if (key == "before")
            before = value;
        else if (key == "map")
            query.map = value.left(64);
        else if (key == "player")
            query.player = value.left(64);
        else if (key == "mode")
            query.mode = value.left(32);
        else if (key == "from")
            query.fromMs = dayStart(value);
        else if (key == "to")
            query.toMs = dayStart(value) ? dayStart(value) + 86400000 : 0; // the whole day
        else
            continue;
        if (key != "before")
            searched += '&' + key + '=' + value.toUtf8().toPercentEncoding();
    }
    const ArchiveIndex::Page page = m_archive ? m_archive->page(before, RelayArchive::kPageSize, query) : ArchiveIndex::Page{};
    const QString older = page.next.isEmpty() ? QString()
                                              : QString::fromLatin1((api ? QByteArray("/api/archive") : QByteArray("/archive")) + "?before="
                                                                  + page.next.toUtf8().toPercentEncoding() + searched);
    if (!api) {
        const web::ArchivePaging paging{query, older, !before.isEmpty(), m_archive && m_archive->isScanning()};
        answer(connection, request, 200, kHtml, web::archivePage(page.demos, paging, ctx));
        return;
    }
    QJsonArray list;
    for (const ArchivedDemo &d : page.demos)
        list.append(web::demoJson(d));
    // The list stays a plain array; the next page is named the standard way.
    HttpConnection::Headers extra;
    if (!older.isEmpty())
        extra.append({"Link", "<" + older.toLatin1() + ">; rel=\"next\""});
    answer(connection, request, 200, kJson, QJsonDocument(list).toJson(QJsonDocument::Compact), extra);
}

void RelayWebServer::download(HttpConnection &connection, const HttpRequest &request, const QString &relPath)
{
    const QString file = m_archive ? m_archive->filePath(relPath) : QString();
    auto device = std::make_unique<QFile>(file);
    if (file.isEmpty() || !device->open(QIODevice::ReadOnly)) {
        answer(connection, request, 404, kHtml, web::errorPage(404, QStringLiteral("No such demo in the archive.")));
        return;
    }
    const QByteArray name = relPath.section(u'/', -1).toLatin1(); // listed names are plain ASCII
    const HttpConnection::Headers headers{{"Content-Type", "application/octet-stream"},
                                          {"Content-Disposition", "attachment; filename=\"" + name + '"'},
                                          {"X-Content-Type-Options", "nosniff"},
                                          {"Content-Security-Policy", kPolicy},
                                          {"Content-Length", QByteArray::number(device->size())}};
    // HEAD: the length a GET would send, and no body. GET: the file as the client takes it.
    const qint64 size = device->size();
    if (request.method == "HEAD")
        connection.respond(200, headers, QByteArray());
    else
        connection.respondFile(200, headers, std::move(device), size);
}

} // namespace arbelon
