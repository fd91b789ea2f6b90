#include "relaywebpages.h"

#include "factspages.h"
#include "records.h"

namespace arbelon::web {

namespace {

QString head(const QString &title, const QString &page, const QString &extra = {})
{
    return QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                          "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                          "<title>%1</title><link rel=\"stylesheet\" href=\"/style.css\">"
                          "<script src=\"/app.js\" defer></script></head>\n"
                          "<body data-page=\"%2\"%3><header><a class=\"home\" href=\"/\">Arbelon relay</a>"
                          "<nav><a href=\"/\">Live games</a> <a href=\"/archive\">Archive</a></nav></header><main>\n")
        .arg(htmlEscape(title), page, extra);
}

QString foot()
{
    return QStringLiteral("<p class=\"updated\" id=\"updated\" aria-live=\"polite\"></p></main></body></html>\n");
}

QString td(const QString &text, const QString &cls = {})
{
    return cls.isEmpty() ? QStringLiteral("<td>%1</td>").arg(text)
                         : QStringLiteral("<td class=\"%1\">%2</td>").arg(cls, text);
}

QString downloadHref(const ArchivedDemo &d) { return QStringLiteral("/archive/file/") + d.relPath; }
QString demoHref(const ArchivedDemo &d) { return QStringLiteral("/archive/demo/") + d.relPath; }

QString demoRows(const QList<ArchivedDemo> &demos, bool withGame)
{
    QString rows;
    for (const ArchivedDemo &d : demos) {
        rows += QStringLiteral("<tr>");
        if (withGame)
            rows += td(htmlEscape(d.game)) + td(htmlEscape(gameKind(d.gameType))) + td(htmlEscape(d.filmer));
        rows += td(QStringLiteral("<a href=\"%1\">%2</a>")
                       .arg(htmlEscape(demoHref(d)), htmlEscape(d.startedUtc.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'")))))
                + td(htmlEscape(d.map)) + td(htmlEscape(d.mode)) + td(htmlEscape(d.score))
                + td(d.lengthMs > 0 ? duration(d.lengthMs / 1000) : QString(), QStringLiteral("num"))
                + td(htmlEscape(byteSize(d.bytes)) + (d.open ? QStringLiteral(" (recording)") : QString()), QStringLiteral("num"))
                + td(QStringLiteral("<a href=\"%1\" download>%2</a>")
                         .arg(htmlEscape(downloadHref(d)), htmlEscape(d.relPath.section(u'/', -1))));
        rows += QStringLiteral("</tr>\n");
    }
    return rows;
}

} // namespace

QString htmlEscape(const QString &text)
{
    QString out;
    out.reserve(text.size() + text.size() / 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&': out += QStringLiteral("&amp;"); break;
        case '<': out += QStringLiteral("&lt;"); break;
        case '>': out += QStringLiteral("&gt;"); break;
        case '"': out += QStringLiteral("&quot;"); break;
        case '\'': out += QStringLiteral("&#39;"); break;
        default: out += c;
        }
    }
    return out;
}

QString peerText(const QByteArray &bytes)
{
    return escapeControls(decodeText(bytes));
}

QString gameKind(qint32 gameType)
{
    switch (gameType) {
    case 0: return QStringLiteral("Quake 2");
    case 1: return QStringLiteral("Quake 3 Arena");
    default: return QStringLiteral("type %1").arg(gameType);
    }
}

QString byteSize(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KiB").arg(double(bytes) / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 MiB").arg(double(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}

QString duration(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    const qint64 h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    return h > 0 ? QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QChar(u'0')).arg(s, 2, 10, QChar(u'0'))
                 : QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QChar(u'0'));
}

// ---- JSON ------------------------------------------------------------------------------

QJsonObject gameJson(const RelayGameView &g, const PageContext &ctx)
{
    const bool filming = !g.filmer.isEmpty();
    QJsonObject row{
        {QStringLiteral("id"), qint64(g.id)},
        {QStringLiteral("name"), peerText(g.name)},
        {QStringLiteral("gameType"), g.gameType},
        {QStringLiteral("game"), gameKind(g.gameType)},
        {QStringLiteral("mod"), peerText(g.mod)},
        {QStringLiteral("filmer"), peerText(g.filmer)},
        {QStringLiteral("viewers"), qint64(g.users) - (filming ? 1 : 0)},
        {QStringLiteral("startedUtc"), g.startedUtc.toString(Qt::ISODate)},
        {QStringLiteral("seconds"), g.startedUtc.secsTo(ctx.nowUtc)},
        {QStringLiteral("demoBytes"), g.demoBytes},
        {QStringLiteral("watchUrl"), ctx.watchBase.isEmpty() ? QString() : ctx.watchBase + QString::number(g.id)},
    };
    addFactsSummary(row, ctx.factsOf(g.id));
    return row;
}

QJsonArray gamesJson(const QList<RelayGameView> &games, const PageContext &ctx)
{
    QJsonArray out;
    for (const RelayGameView &g : games)
        out.append(gameJson(g, ctx));
    return out;
}

QJsonObject demoJson(const ArchivedDemo &d)
{
    return QJsonObject{
        {QStringLiteral("path"), d.relPath},
        {QStringLiteral("url"), downloadHref(d)},
        {QStringLiteral("game"), d.game},
        {QStringLiteral("gameType"), d.gameType},
        {QStringLiteral("filmer"), d.filmer},
        {QStringLiteral("startedUtc"), d.startedUtc.toString(Qt::ISODate)},
        {QStringLiteral("bytes"), d.bytes},
        {QStringLiteral("recording"), d.open},
        {QStringLiteral("page"), demoHref(d)},
        {QStringLiteral("map"), d.map},
        {QStringLiteral("mode"), d.mode},
        {QStringLiteral("players"), QJsonArray::fromStringList(d.players.isEmpty() ? QStringList() : d.players.split(u'\n'))},
        {QStringLiteral("score"), d.score},
        {QStringLiteral("lengthMs"), d.lengthMs},
    };
}

QJsonObject gameDetailJson(const RelayGameView &g, const QList<ChatLine> &chat, const QList<ArchivedDemo> &demos,
                           const PageContext &ctx)
{
    QJsonObject o = gameJson(g, ctx);
    QJsonArray users;
    if (!g.filmer.isEmpty())
        users.append(peerText(g.filmer));
    for (const QByteArray &name : g.listed)
        users.append(peerText(name));
    o.insert(QStringLiteral("users"), users);
    QJsonArray lines;
    for (const ChatLine &c : chat)
        lines.append(QJsonObject{{QStringLiteral("timeUtc"), c.timeUtc.toString(Qt::ISODate)},
                                 {QStringLiteral("user"), peerText(c.user)},
                                 {QStringLiteral("text"), peerText(c.text)}});
    o.insert(QStringLiteral("chat"), lines);
    QJsonArray files;
    for (const ArchivedDemo &d : demos)
        files.append(demoJson(d));
    o.insert(QStringLiteral("demos"), files);
    const LiveFacts *facts = ctx.factsOf(g.id);
    o.insert(QStringLiteral("facts"), facts ? QJsonValue(factsJson(*facts)) : QJsonValue());
    return o;
}

// ---- pages -------------------------------------------------------------------------------

QByteArray gamesPage(const QList<RelayGameView> &games, const PageContext &ctx)
{
    QString html = head(QStringLiteral("Live games"), QStringLiteral("games"));
    html += QStringLiteral("<h1>Live games</h1>\n<div class=\"scroll\"><table id=\"games\"><thead><tr>"
                           "<th>Game</th><th>Kind</th><th>Mod</th><th>Map</th><th>Mode</th><th class=\"num\">Players</th>"
                           "<th>Score</th><th>Filmer</th><th class=\"num\">Viewers</th>"
                           "<th class=\"num\">Running</th><th class=\"num\">Demo</th><th>Watch</th></tr></thead><tbody>\n");
    for (const RelayGameView &g : games) {
        const QJsonObject j = gameJson(g, ctx);
        const QString watch = j.value(QStringLiteral("watchUrl")).toString();
        html += QStringLiteral("<tr data-id=\"%1\">").arg(g.id)
                + td(QStringLiteral("<a href=\"/game/%1\">%2</a>").arg(g.id).arg(htmlEscape(peerText(g.name))))
                + td(htmlEscape(gameKind(g.gameType))) + td(htmlEscape(peerText(g.mod)))
                + td(htmlEscape(j.value(QStringLiteral("map")).toString()))
                + td(htmlEscape(j.value(QStringLiteral("mode")).toString()))
                + td(QString::number(j.value(QStringLiteral("players")).toInteger()), QStringLiteral("num"))
                + td(htmlEscape(j.value(QStringLiteral("score")).toString())) + td(htmlEscape(peerText(g.filmer)))
                + td(QString::number(j.value(QStringLiteral("viewers")).toInteger()), QStringLiteral("num"))
                + td(duration(g.startedUtc.secsTo(ctx.nowUtc)), QStringLiteral("num"))
                + td(htmlEscape(byteSize(g.demoBytes)), QStringLiteral("num"))
                + td(watch.isEmpty() ? QString() : QStringLiteral("<a href=\"%1\">Watch</a>").arg(htmlEscape(watch)))
                + QStringLiteral("</tr>\n");
    }
    html += QStringLiteral("</tbody></table></div>\n<p class=\"empty\" id=\"nogames\"%1>No game is on.</p>\n")
                .arg(games.isEmpty() ? QString() : QStringLiteral(" hidden"));
    if (ctx.archiveOn)
        html += QStringLiteral("<p>Past games are in the <a href=\"/archive\">archive</a>.</p>\n");
    html += foot();
    return html.toUtf8();
}

QByteArray gamePage(const RelayGameView &g, const QList<ChatLine> &chat, const QList<ArchivedDemo> &demos,
                    const PageContext &ctx)
{
    const QJsonObject j = gameDetailJson(g, chat, demos, ctx);
    const QString name = htmlEscape(peerText(g.name));
    QString html = head(peerText(g.name), QStringLiteral("game"), QStringLiteral(" data-game=\"%1\"").arg(g.id));
    html += QStringLiteral("<h1 id=\"gamename\">%1</h1>\n<p class=\"facts\"><span id=\"kind\">%2</span> · mod "
                           "<span id=\"mod\">%3</span> · filmed by <span id=\"filmer\">%4</span> · "
                           "<span id=\"viewers\">%5</span> viewers · running <span id=\"running\">%6</span> · "
                           "demo <span id=\"demobytes\">%7</span></p>\n")
                // One pass: a client's text may itself hold "%5".
                .arg(name, htmlEscape(gameKind(g.gameType)), htmlEscape(peerText(g.mod)), htmlEscape(peerText(g.filmer)),
                     QString::number(j.value(QStringLiteral("viewers")).toInteger()),
                     duration(g.startedUtc.secsTo(ctx.nowUtc)), htmlEscape(byteSize(g.demoBytes)));
    const QString watch = j.value(QStringLiteral("watchUrl")).toString();
    if (!watch.isEmpty())
        html += QStringLiteral("<p><a class=\"watch\" id=\"watch\" href=\"%1\">Watch in Arbelon</a></p>\n").arg(htmlEscape(watch));
    html += factsSection(ctx.factsOf(g.id));
    html += QStringLiteral("<div class=\"cols\"><section><h2>Users</h2><ul id=\"users\">\n");
    for (const QJsonValue &u : j.value(QStringLiteral("users")).toArray())
        html += QStringLiteral("<li>%1</li>\n").arg(htmlEscape(u.toString()));
    html += QStringLiteral("</ul></section>\n<section><h2>Chat</h2><ol id=\"chat\">\n");
    for (const ChatLine &c : chat)
        html += QStringLiteral("<li><span class=\"who\">%1</span> <span class=\"said\">%2</span></li>\n")
                    .arg(htmlEscape(peerText(c.user)), htmlEscape(peerText(c.text)));
    html += QStringLiteral("</ol></section></div>\n");
    if (ctx.archiveOn) {
        html += QStringLiteral("<h2>Demos</h2>\n<div class=\"scroll\"><table id=\"demos\"><thead><tr><th>Began</th>"
                               "<th>Map</th><th>Mode</th><th>Score</th><th class=\"num\">Length</th>"
                               "<th class=\"num\">Size</th><th>Download</th></tr></thead><tbody>\n");
        html += demoRows(demos, false);
        html += QStringLiteral("</tbody></table></div>\n");
    }
    html += foot();
    return html.toUtf8();
}

QByteArray archivePage(const QList<ArchivedDemo> &demos, const ArchivePaging &paging, const PageContext &ctx)
{
    QString html = head(QStringLiteral("Archive"), QStringLiteral("archive"));
    html += QStringLiteral("<h1>Archive</h1>\n");
    if (!ctx.archiveOn) {
        html += QStringLiteral("<p>This relay keeps no archive.</p>\n") + foot();
        return html.toUtf8();
    }
    const ArchiveQuery &q = paging.query;
    const auto field = [](const QString &name, const QString &label, const QString &value, const QString &type) {
        return QStringLiteral("<label>%1 <input name=\"%2\" type=\"%3\" value=\"%4\" maxlength=\"64\"></label> ")
            .arg(label, name, type, htmlEscape(value));
    };
    const auto day = [](qint64 ms) {
        return ms ? QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd")) : QString();
    };
    html += QStringLiteral("<form id=\"search\" method=\"get\" action=\"/archive\">")
            + field(QStringLiteral("map"), QStringLiteral("Map"), q.map, QStringLiteral("text"))
            + field(QStringLiteral("player"), QStringLiteral("Player"), q.player, QStringLiteral("text"))
            + field(QStringLiteral("mode"), QStringLiteral("Mode"), q.mode, QStringLiteral("text"))
            + field(QStringLiteral("from"), QStringLiteral("From"), day(q.fromMs), QStringLiteral("date"))
            + field(QStringLiteral("to"), QStringLiteral("To"), day(q.toMs ? q.toMs - 86400000 : 0), QStringLiteral("date"))
            + QStringLiteral("<button type=\"submit\">Search</button></form>\n");
    html += QStringLiteral("<div class=\"scroll\"><table id=\"archive\"><thead><tr><th>Game</th><th>Kind</th>"
                           "<th>Filmer</th><th>Began</th><th>Map</th><th>Mode</th><th>Score</th><th class=\"num\">Length</th>"
                           "<th class=\"num\">Size</th><th>Download</th></tr></thead><tbody>\n");
    html += demoRows(demos, true);
    html += QStringLiteral("</tbody></table></div>\n");
    if (demos.isEmpty())
        html += QStringLiteral("<p class=\"empty\">No demo yet.</p>\n");
    if (paging.scanning)
        html += QStringLiteral("<p class=\"empty\">The archive's folder is being checked; demos appear as they are found.</p>\n");
    if (!paging.older.isEmpty())
        html += QStringLiteral("<p><a id=\"older\" href=\"%1\">Older demos</a></p>\n").arg(htmlEscape(paging.older));
    if (paging.notFirst)
        html += QStringLiteral("<p><a id=\"newest\" href=\"/archive\">Newest demos</a></p>\n");
    html += foot();
    return html.toUtf8();
}

QByteArray archivedDemoPage(const ArchivedDemo &d, const QJsonObject &facts, const PageContext &ctx)
{
    Q_UNUSED(ctx);
    QString html = head(d.game, QStringLiteral("demo"));
    html += QStringLiteral("<h1>%1</h1>\n<p class=\"facts\">%2 · filmed by %3 · began %4 · <a href=\"%5\" download>%6</a></p>\n")
                .arg(htmlEscape(d.game), htmlEscape(gameKind(d.gameType)), htmlEscape(d.filmer),
                     htmlEscape(d.startedUtc.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"))),
                     htmlEscape(downloadHref(d)), htmlEscape(d.relPath.section(u'/', -1)));
    html += factsSection(facts) + foot();
    return html.toUtf8();
}

QByteArray errorPage(int status, const QString &message)
{
    return (head(QStringLiteral("%1").arg(status), QStringLiteral("error"))
            + QStringLiteral("<h1>%1</h1><p>%2</p>\n").arg(status).arg(htmlEscape(message)) + foot())
        .toUtf8();
}

} // namespace arbelon::web
