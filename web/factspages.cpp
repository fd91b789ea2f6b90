#include "factspages.h"

#include "relaywebpages.h"

#include <QJsonArray>

#include <algorithm>

namespace arbelon::web {

namespace {

QString clockText(qint64 ms)
{
    return duration(ms / 1000);
}

} // namespace

QString colouredName(const QByteArray &name)
{
    QString html = QStringLiteral("<span class=\"name\">");
    QByteArray run;
    int colour = 7;
    const auto flush = [&] {
        if (run.isEmpty())
            return;
        html += colour == 7 ? htmlEscape(peerText(run))
                            : QStringLiteral("<span class=\"c%1\">%2</span>").arg(QString::number(colour), htmlEscape(peerText(run)));
        run.clear();
    };
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (demo::colourCode(name, i)) {
            flush();
            colour = (quint8(name[i + 1]) - '0') & 7;
            ++i;
        } else {
            run.append(name[i]);
        }
    }
    flush();
    return html + QStringLiteral("</span>");
}

void readFactsSummary(const QJsonObject &f, ArchivedDemo &d)
{
    // Through the bounded reading: a sidecar may have been written by anyone with the folder.
    const demo::GameFacts facts = factsFromJson(f).facts;
    d.map = peerText(facts.map);
    d.mode = QString::fromLatin1(demo::gameModeName(facts.mode));
    d.score = arbelon::scoreLine(facts);
    d.lengthMs = facts.lengthMs;
    QStringList names;
    for (const demo::FactPlayer &p : facts.players)
        names << plainName(p.name);
    d.players = names.join(u'\n');
}

QString factsSection(const LiveFacts *live)
{
    if (!live)
        return factsSection(QJsonObject());
    return factsSection(factsJson(*live));
}

QString factsSection(const QJsonObject &f)
{
    const auto text = [&](const char *key) { return f.value(QLatin1String(key)).toString(); };
    const auto name = [](const QJsonValue &v) { return colouredName(v.toString().toLatin1()); };
    QString html = QStringLiteral("<section id=\"whatson\"><h2>What is on</h2>\n");
    if (text("map").isEmpty()) {
        html += QStringLiteral("<p class=\"empty\" id=\"nofacts\">%1</p>\n")
                    .arg(!text("lost").isEmpty() ? htmlEscape(QStringLiteral("What is on is not known: ") + text("lost"))
                                                 : QStringLiteral("Nothing read from the demo yet."));
    }
    html += QStringLiteral("<p class=\"facts\">map <span id=\"map\">%1</span> · <span id=\"mode\">%2</span> · "
                           "clock <span id=\"clock\">%3</span> · score <span id=\"score\">%4</span></p>\n")
                .arg(htmlEscape(text("map")), htmlEscape(text("mode")),
                     clockText(qint64(f.value(QStringLiteral("clockMs")).toDouble())), htmlEscape(text("score")));
    html += QStringLiteral("<div class=\"cols\"><section><h3>Scoreboard</h3><table id=\"scoreboard\"><thead><tr>"
                           "<th>Player</th><th>Team</th><th class=\"num\">Score</th></tr></thead><tbody>\n");
    for (const QJsonValue &p : f.value(QStringLiteral("scoreboard")).toArray())
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td class=\"num\">%3</td></tr>\n")
                    .arg(name(p[QStringLiteral("name")]), htmlEscape(p[QStringLiteral("team")].toString()),
                         QString::number(p[QStringLiteral("score")].toInteger()));
    html += QStringLiteral("</tbody></table></section>\n<section><h3>Events</h3><ol id=\"events\" reversed>\n");
    const QJsonArray events = f.value(QStringLiteral("events")).toArray();
    for (auto it = events.end(); it != events.begin();) {
        const QJsonValue e = *--it;
        const QString kind = e[QStringLiteral("kind")].toString();
        const QString actor = name(e[QStringLiteral("actor")]), target = name(e[QStringLiteral("target")]);
        const QString weapon = htmlEscape(e[QStringLiteral("weapon")].toString());
        QString line;
        if (kind == QStringLiteral("frag"))
            line = e[QStringLiteral("actor")].toString().isEmpty() ? QStringLiteral("%1 died (%2)").arg(target, weapon)
                   : e[QStringLiteral("actor")] == e[QStringLiteral("target")]
                       ? QStringLiteral("%1 killed themself (%2)").arg(target, weapon)
                       : QStringLiteral("%1 fragged %2 (%3)").arg(actor, target, weapon);
        else if (kind == QStringLiteral("capture"))
            line = QStringLiteral("%1 captured the flag").arg(actor);
        else if (kind == QStringLiteral("join"))
            line = QStringLiteral("%1 joined").arg(actor);
        else if (kind == QStringLiteral("leave"))
            line = QStringLiteral("%1 left").arg(actor);
        else
            line = QStringLiteral("The match ended");
        html += QStringLiteral("<li value=\"%1\"><span class=\"at\">%2</span> %3</li>\n")
                    .arg(QString::number(e[QStringLiteral("number")].toInteger()),
                         clockText(qint64(e[QStringLiteral("clockMs")].toDouble())), line);
    }
    html += QStringLiteral("</ol></section></div></section>\n");
    return html;
}

} // namespace arbelon::web
