#include "factsjson.h"

#include "records.h"

#include <QJsonArray>

#include <algorithm>

namespace arbelon {

namespace {

QString peerText(const QByteArray &bytes)
{
    return escapeControls(decodeText(bytes));
}

QString teamName(int team)
{
    switch (team) {
    case demo::FactPlayer::Red: return QStringLiteral("red");
    case demo::FactPlayer::Blue: return QStringLiteral("blue");
    case demo::FactPlayer::Spectator: return QStringLiteral("spectator");
    default: return QStringLiteral("free");
    }
}

} // namespace

QString plainName(const QByteArray &name)
{
    return peerText(demo::withoutColours(name));
}

QString scoreLine(const demo::GameFacts &f)
{
    return peerText(demo::scoreLine(f));
}

void addFactsSummary(QJsonObject &row, const LiveFacts *live)
{
    if (!live) {
        row.insert(QStringLiteral("map"), QString());
        row.insert(QStringLiteral("mode"), QString());
        row.insert(QStringLiteral("players"), 0);
        row.insert(QStringLiteral("score"), QString());
        row.insert(QStringLiteral("events"), 0);
        return;
    }
    const demo::GameFacts &f = live->facts;
    qsizetype playing = 0;
    for (const demo::FactPlayer &p : f.players)
        playing += p.team != demo::FactPlayer::Spectator;
    row.insert(QStringLiteral("map"), peerText(f.map));
    row.insert(QStringLiteral("mode"), QString::fromLatin1(demo::gameModeName(f.mode)));
    row.insert(QStringLiteral("players"), playing);
    row.insert(QStringLiteral("score"), arbelon::scoreLine(f));
    // How many events the demo has had: a reader of the list sees that a game moved on.
    row.insert(QStringLiteral("events"), qint64(f.eventCount));
}

QJsonObject factsJson(const LiveFacts &live)
{
    const demo::GameFacts &f = live.facts;
    QJsonObject o;
    addFactsSummary(o, &live);
    o.insert(QStringLiteral("clockMs"), f.clockMs);
    o.insert(QStringLiteral("lengthMs"), f.lengthMs);
    o.insert(QStringLiteral("timeLimitMinutes"), f.timeLimitMinutes);
    o.insert(QStringLiteral("fragLimit"), f.fragLimit);
    o.insert(QStringLiteral("captureLimit"), f.captureLimit);
    o.insert(QStringLiteral("ended"), f.ended);
    o.insert(QStringLiteral("scoresFrom"), f.scoresFromServer ? QStringLiteral("server") : QStringLiteral("counted"));
    if (f.teamScores) {
        o.insert(QStringLiteral("redScore"), f.redScore);
        o.insert(QStringLiteral("blueScore"), f.blueScore);
    }
    o.insert(QStringLiteral("lost"), live.lost);
    QJsonArray board;
    for (const demo::FactPlayer &p : demo::rankedPlayers(f))
        board.append(QJsonObject{{QStringLiteral("client"), p.client},
                                 {QStringLiteral("name"), peerText(p.name)},
                                 {QStringLiteral("team"), teamName(p.team)},
                                 {QStringLiteral("score"), p.score}});
    o.insert(QStringLiteral("scoreboard"), board);
    QJsonArray events;
    for (const demo::FactEvent &e : f.events)
        events.append(QJsonObject{{QStringLiteral("number"), qint64(e.number)},
                                  {QStringLiteral("clockMs"), e.clockMs},
                                  {QStringLiteral("kind"), QString::fromLatin1(demo::factEventKindName(e.kind))},
                                  {QStringLiteral("actor"), peerText(e.actor)},
                                  {QStringLiteral("target"), peerText(e.target)},
                                  {QStringLiteral("weapon"), peerText(e.weapon)}});
    o.insert(QStringLiteral("events"), events);
    return o;
}

LiveFacts factsFromJson(const QJsonObject &o)
{
    // From another node: every text and number held to what a demo of ours could give.
    using demo::GameFacts;
    const auto text = [](const QJsonValue &v, int bound) { return demo::cleanText(v.toString().toLatin1(), bound); };
    const auto number = [](const QJsonValue &v) {
        return qint32(std::clamp<double>(v.toDouble(), -GameFacts::kMaxScore, GameFacts::kMaxScore));
    };
    LiveFacts live;
    GameFacts &f = live.facts;
    f.map = text(o.value(QStringLiteral("map")), GameFacts::kMaxText);
    const QString mode = o.value(QStringLiteral("mode")).toString();
    for (demo::GameMode m : {demo::GameMode::FreeForAll, demo::GameMode::Tournament, demo::GameMode::Team,
                             demo::GameMode::CaptureTheFlag, demo::GameMode::Other}) {
        if (mode == QString::fromLatin1(demo::gameModeName(m)))
            f.mode = m;
    }
    f.clockMs = std::max<qint64>(0, qint64(o.value(QStringLiteral("clockMs")).toDouble()));
    f.lengthMs = std::max<qint64>(0, qint64(o.value(QStringLiteral("lengthMs")).toDouble()));
    f.timeLimitMinutes = std::max(0, number(o.value(QStringLiteral("timeLimitMinutes"))));
    f.fragLimit = std::max(0, number(o.value(QStringLiteral("fragLimit"))));
    f.captureLimit = std::max(0, number(o.value(QStringLiteral("captureLimit"))));
    f.ended = o.value(QStringLiteral("ended")).toBool();
    f.scoresFromServer = o.value(QStringLiteral("scoresFrom")).toString() == QStringLiteral("server");
    f.teamScores = o.contains(QStringLiteral("redScore"));
    f.redScore = number(o.value(QStringLiteral("redScore")));
    f.blueScore = number(o.value(QStringLiteral("blueScore")));
    live.lost = o.value(QStringLiteral("lost")).toString().left(200);
    for (const QJsonValue &p : o.value(QStringLiteral("scoreboard")).toArray()) {
        if (f.players.size() >= 64)
            break;
        const QString team = p[QStringLiteral("team")].toString();
        f.players.append({std::clamp(number(p[QStringLiteral("client")]), 0, 63), text(p[QStringLiteral("name")], GameFacts::kMaxName),
                          team == QStringLiteral("red")         ? demo::FactPlayer::Red
                          : team == QStringLiteral("blue")      ? demo::FactPlayer::Blue
                          : team == QStringLiteral("spectator") ? demo::FactPlayer::Spectator
                                                                : demo::FactPlayer::Free,
                          number(p[QStringLiteral("score")])});
    }
    const QJsonArray events = o.value(QStringLiteral("events")).toArray();
    for (qsizetype i = std::max<qsizetype>(0, events.size() - GameFacts::kMaxEvents); i < events.size(); ++i) {
        const QJsonValue e = events[i];
        demo::FactEvent ev;
        const QString kind = e[QStringLiteral("kind")].toString();
        for (demo::FactEvent::Kind k : {demo::FactEvent::Frag, demo::FactEvent::Capture, demo::FactEvent::Join,
                                        demo::FactEvent::Leave, demo::FactEvent::MatchEnd}) {
            if (kind == QString::fromLatin1(demo::factEventKindName(k)))
                ev.kind = k;
        }
        ev.number = quint32(std::clamp<double>(e[QStringLiteral("number")].toDouble(), 0, 4e9));
        ev.clockMs = std::max<qint64>(0, qint64(e[QStringLiteral("clockMs")].toDouble()));
        ev.actor = text(e[QStringLiteral("actor")], GameFacts::kMaxName);
        ev.target = text(e[QStringLiteral("target")], GameFacts::kMaxName);
        ev.weapon = text(e[QStringLiteral("weapon")], GameFacts::kMaxText);
        f.events.push_back(ev);
        f.eventCount = std::max(f.eventCount, ev.number);
    }
    return live;
}

} // namespace arbelon
