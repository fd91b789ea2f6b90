#include "linkwatch.h"

#include "clientcore.h"
#include "gamelistmodel.h"
#include "twsocket.h"

namespace arbelon {

LinkWatch::LinkWatch(ClientCore &core, QObject *parent) : QObject(parent), m_core(core)
{
    m_gameWait.setSingleShot(true);
    m_gameWait.setInterval(kGameWaitMs);
    connect(&m_gameWait, &QTimer::timeout, this, [this] {
        if (m_link && !m_sent)
            fail(QStringLiteral("Game %1 is not on the relay %2").arg(m_link->gameId).arg(where(*m_link)));
    });
    connect(&m_core, &ClientCore::sessionStarted, this, [this] {
        if (!m_link)
            return;
        m_gameWait.start();
        tryWatch();
    });
    connect(&m_core, &ClientCore::connectionFailed, this, [this](const QString &reason) {
        if (m_link)
            fail(QStringLiteral("Cannot watch game %1 on %2: %3").arg(m_link->gameId).arg(where(*m_link), reason));
    });
    connect(&m_core, &ClientCore::sessionEnded, this, [this] {
        if (!m_link)
            return;
        const QString why = m_core.sessionEndReason();
        fail(QStringLiteral("Cannot watch game %1 on %2: %3")
                 .arg(m_link->gameId)
                 .arg(where(*m_link), why.isEmpty() ? QStringLiteral("the session ended") : why));
    });
    connect(&m_core, &ClientCore::recordRefused, this, [this](int state) {
        if (m_link && m_sent && state == ssWaitForGame)
            fail(QStringLiteral("The relay %1 refused to let you watch game %2").arg(where(*m_link)).arg(m_link->gameId));
    });
    connect(&m_core, &ClientCore::lobbyEntered, this, [this] {
        if (!m_link)
            return;
        const bool ours = m_sent;
        const quint32 id = m_link->gameId;
        m_link.reset();
        m_gameWait.stop();
        // A lobby the user chose meanwhile ends the link's errand without a word.
        if (ours)
            emit watching(id);
    });
    GameListModel *games = m_core.gameList();
    connect(games, &QAbstractItemModel::rowsInserted, this, &LinkWatch::tryWatch);
    connect(games, &QAbstractItemModel::dataChanged, this, &LinkWatch::tryWatch);
}

QString LinkWatch::where(const WatchLink &link)
{
    const QString host = link.host.contains(u':') ? u'[' + link.host + u']' : link.host;
    return host + u':' + QString::number(link.port != 0 ? link.port : kViewerPort);
}

bool LinkWatch::sameRelay(const WatchLink &link) const
{
    TWSocket &socket = m_core.DemoClient();
    return m_core.connected() && m_core.role() == Role::Viewer && socket.Addr() == link.host
           && socket.Port() == QString::number(link.port != 0 ? link.port : kViewerPort);
}

void LinkWatch::open(const WatchLink &link)
{
    m_link.reset();
    m_sent = false;
    m_gameWait.stop();

    if (sameRelay(link) && m_core.state() == ssIdle) {
        m_link = link;
        m_gameWait.start();
        tryWatch();
        return;
    }
    if (m_core.DemoClient().State() != TWSocket::wsClosed) {
        const QString question = QStringLiteral("Leave the current session to watch game %1 on %2?")
                                     .arg(link.gameId)
                                     .arg(where(link));
        UserPrompts *prompts = m_core.prompts();
        if (prompts && !prompts->confirm(question)) {
            emit declined();
            return;
        }
        // The socket's close runs the session's end before it returns.
        m_core.disconnectFromServer();
    }

    ConnectValues values;
    values.serverAddress = link.host;
    values.serverPort = link.port;
    values.role = Role::Viewer;
    values.gameType = m_core.settings().gameTypeSystem;
    values.mod = m_core.settings().modTypeSystem;
    if (const QString refusal = m_core.connectRefusal(values); !refusal.isEmpty()) {
        emit failed(refusal);
        return;
    }
    m_link = link;
    try {
        m_core.connectTo(values);
    } catch (const std::exception &e) {
        m_link.reset();
        emit failed(QStringLiteral("Cannot connect to %1: %2").arg(where(link), QString::fromUtf8(e.what())));
    }
}

void LinkWatch::tryWatch()
{
    if (!m_link || m_sent || !m_core.connected() || m_core.state() != ssIdle)
        return;
    GameListModel *games = m_core.gameList();
    for (int r = 0; r < games->rowCount(); ++r) {
        if (games->row(r).id != m_link->gameId)
            continue;
        m_core.selectGame(m_link->gameId);
        if (const QString refusal = m_core.watchRefusal(m_link->gameId); !refusal.isEmpty()) {
            fail(refusal);
            return;
        }
        if (m_core.watchGame(m_link->gameId)) {
            m_sent = true;
            m_gameWait.stop();
        }
        return;
    }
}

void LinkWatch::fail(const QString &text)
{
    m_link.reset();
    m_sent = false;
    m_gameWait.stop();
    emit failed(text);
}

} // namespace arbelon
