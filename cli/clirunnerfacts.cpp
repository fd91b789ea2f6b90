// What is on, for the headless client: the games' map and players (and with --details their
// scoreboards and numbered events) from the relay's web page, and --from: the watched demo
// played from a moment, found in the facts read from the demo itself.

#include "clirunner.h"

#include "eventfeedmodel.h"
#include "relaydetails.h"
#include "scoreboardmodel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace arbelon {

namespace {

// A name from the page's JSON, without its colour codes, as the lobby shows it.
QString withoutColours(const QString &s)
{
    return QString::fromUtf8(demo::withoutColours(s.toUtf8()));
}

demo::FactEvent::Kind kindNamed(const QString &name)
{
    for (auto k : {demo::FactEvent::Frag, demo::FactEvent::Capture, demo::FactEvent::Join, demo::FactEvent::Leave,
                   demo::FactEvent::MatchEnd}) {
        if (name == QLatin1String(demo::factEventKindName(k)))
            return k;
    }
    return demo::FactEvent::MatchEnd;
}

} // namespace

bool CliOptions::parseFrom(const QString &text, CliOptions *options, QString *why)
{
    static const QRegularExpression number(QStringLiteral("^[1-9][0-9]{0,8}$"));
    static const QRegularExpression clock(QStringLiteral("^([0-9]{1,4}):([0-5][0-9])$"));
    if (number.match(text).hasMatch()) {
        options->fromEvent = text.toUInt();
        return true;
    }
    if (const QRegularExpressionMatch m = clock.match(text); m.hasMatch()) {
        options->fromClockMs = (m.captured(1).toLongLong() * 60 + m.captured(2).toLongLong()) * 1000;
        return true;
    }
    *why = QStringLiteral("--from takes an event's number (1, 2, ...) or a game time MM:SS");
    return false;
}

void CliRunner::onDetailsRead(const QHash<quint32, GameDetails> &details)
{
    if (m_opt.command != CliOptions::Games)
        return;
    const QHash<quint32, GameDetails> before = std::exchange(m_details, details);
    const GameListModel *games = m_core.gameList();
    for (int r = 0; r < games->rowCount(); ++r) {
        const quint32 id = games->row(r).id;
        const GameDetails now = details.value(id), was = before.value(id);
        if (now.map != was.map || now.players != was.players)
            line(gameLine(r));
        // A game's whole facts are asked for only when it moved on: a relay of many games is
        // not asked for each of them every poll.
        if (m_opt.details && !now.map.isEmpty() && now != was) {
            m_core.relayDetails()->fetchGame(id, [this, id](const QJsonObject &facts, const QString &) {
                if (!m_done && !facts.isEmpty())
                    printFacts(id, facts);
            });
        }
    }
}

void CliRunner::printFacts(quint32 id, const QJsonObject &facts)
{
    const QString prefix = QStringLiteral("  game %1 ").arg(id);
    const QJsonArray board = facts.value(QStringLiteral("scoreboard")).toArray();
    const QByteArray boardKey = QJsonDocument(board).toJson(QJsonDocument::Compact)
                                + facts.value(QStringLiteral("mode")).toString().toUtf8()
                                + (facts.value(QStringLiteral("ended")).toBool() ? "e" : "");
    if (m_printedBoard.value(id) != boardKey) {
        m_printedBoard.insert(id, boardKey);
        QString head = prefix + QStringLiteral("%1, %2").arg(facts.value(QStringLiteral("mode")).toString(),
                                                               EventFeedModel::clockText(facts.value(QStringLiteral("clockMs")).toInteger()));
        if (const QString score = withoutColours(facts.value(QStringLiteral("score")).toString()); !score.isEmpty())
            head += QStringLiteral(", score %1").arg(score);
        if (facts.value(QStringLiteral("ended")).toBool())
            head += QStringLiteral(", ended");
        line(head);
        for (const QJsonValue &v : board) {
            const QJsonObject p = v.toObject();
            const QString team = p.value(QStringLiteral("team")).toString();
            line(prefix + QStringLiteral("player \"%1\" %2%3")
                              .arg(withoutColours(p.value(QStringLiteral("name")).toString()))
                              .arg(p.value(QStringLiteral("score")).toInteger())
                              .arg(team == QLatin1String("free") ? QString() : QLatin1Char(' ') + team));
        }
    }
    const quint32 printed = m_printedEvent.value(id);
    quint32 last = printed;
    for (const QJsonValue &v : facts.value(QStringLiteral("events")).toArray()) {
        const QJsonObject e = v.toObject();
        const quint32 n = quint32(qBound<qint64>(0, e.value(QStringLiteral("number")).toInteger(), 0xffffffffLL));
        if (n <= printed)
            continue;
        last = std::max(last, n);
        const QString text = EventFeedModel::eventText(kindNamed(e.value(QStringLiteral("kind")).toString()),
                                                       withoutColours(e.value(QStringLiteral("actor")).toString()),
                                                       withoutColours(e.value(QStringLiteral("target")).toString()),
                                                       withoutColours(e.value(QStringLiteral("weapon")).toString()));
        line(prefix + QStringLiteral("event %1 %2 %3").arg(n).arg(EventFeedModel::clockText(e.value(QStringLiteral("clockMs")).toInteger()), text));
    }
    m_printedEvent.insert(id, last);
}

void CliRunner::tryPlayFrom()
{
    if (m_played || m_opt.command != CliOptions::Watch || (m_opt.fromEvent == 0 && m_opt.fromClockMs < 0))
        return;
    const demo::GameFacts *f = m_core.gameFacts();
    if (!f)
        return;
    qint64 at = -1; // the demo's own time to play from, 10 s before what was asked
    QString what;
    if (m_opt.fromEvent != 0) {
        if (f->eventCount < m_opt.fromEvent)
            return; // not yet
        const auto e = std::find_if(f->events.begin(), f->events.end(),
                                    [this](const demo::FactEvent &e) { return e.number == m_opt.fromEvent; });
        if (e == f->events.end()) {
            m_played = true;
            fail(2, QStringLiteral("event %1 is no longer among the last %2 read").arg(m_opt.fromEvent).arg(demo::GameFacts::kMaxEvents));
            return;
        }
        at = e->serverTimeMs;
        what = QStringLiteral("10 s before event %1 (%2, %3)").arg(m_opt.fromEvent).arg(EventFeedModel::clockText(e->clockMs), EventFeedModel::eventText(*e));
    } else {
        if (f->clockMs < m_opt.fromClockMs || f->map.isEmpty())
            return; // the game has not got there yet
        // The moment asked for is the start: the play begins 10 s before the time given.
        at = f->serverTimeMs - (f->clockMs - m_opt.fromClockMs) + 10000;
        what = QStringLiteral("game time %1").arg(EventFeedModel::clockText(m_opt.fromClockMs));
    }
    m_played = true;
    QString why;
    if (!m_core.playFromMoment(at, &why)) {
        fail(2, QStringLiteral("cannot play from %1: %2").arg(what, why));
        return;
    }
    line(QStringLiteral("playing from %1").arg(what));
    if (!m_gameOutput.isEmpty())
        line(QStringLiteral("the game's console output goes to %1 (--verbose shows it here)")
                 .arg(QDir::toNativeSeparators(m_gameOutput)));
}

} // namespace arbelon
