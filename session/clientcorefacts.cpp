// What is on: the game list's map and players from the relay's web page, and the watched
// game's scoreboard and event feed from the demo as it arrives.

#include "clientcore.h"

#include "eventfeedmodel.h"
#include "gamelistmodel.h"
#include "relaydetails.h"
#include "scoreboardmodel.h"
#include "viewerreception.h"

namespace arbelon {

void ClientCore::startDetails(quint16 webPort)
{
    // Only a Viewer lists games; the relay's own word on its page wins over the default.
    if (m_role == Role::Viewer)
        m_details->start(m_host, webPort);
}

const demo::GameFacts *ClientCore::gameFacts() const
{
    return m_viewer->facts();
}

void ClientCore::gameFactsChanged()
{
    const demo::GameFacts *f = gameFacts();
    m_scoreBoard->show(f);
    m_eventFeed->show(f);
    QStringList parts;
    if (f && !f->map.isEmpty()) {
        parts << factText(f->map);
        if (f->mode != demo::GameMode::Unknown)
            parts << QString::fromLatin1(demo::gameModeName(f->mode));
        parts << EventFeedModel::clockText(f->clockMs);
        const QString score = factText(demo::scoreLine(*f));
        if (!score.isEmpty())
            parts << score;
        if (f->ended)
            parts << QStringLiteral("ended");
    }
    m_factsLine = parts.join(QStringLiteral(" \u00b7 "));
    emit factsChanged();
}

bool ClientCore::playEvent(int row, QString *why)
{
    if (!m_eventFeed->playable(row)) {
        *why = QStringLiteral("Only a frag or a capture can be played from");
        return false;
    }
    return playFromMoment(m_eventFeed->events()[size_t(row)].serverTimeMs, why);
}

} // namespace arbelon
