// What the core refuses up front, and how it tells refusals and the ends of sessions that the
// user did not ask for: in words, never silently.
#include "clientcore.h"

#include "filmerupload.h"
#include "gamelistmodel.h"
#include "twsocket.h"

#include <QAbstractSocket>

namespace arbelon {

namespace {
QString gameTypeName(GameType type)
{
    return type == GameType::Quake3 ? QStringLiteral("Quake 3") : QStringLiteral("Quake 2");
}

// "/" is the stored default: a folder that does not hold the game is not set up, and nothing
// may be written below it. Empty when the game's folder holds it.
QString folderRefusal(const GameInstall &game, GameType type, const QString &dir, const QString &mod)
{
    if (dir.isEmpty() || game.holdsGame(mod))
        return {};
    const QString name = gameTypeName(type);
    return QStringLiteral("%1 is not set up: the %1 folder \"%2\" does not hold %1 (no %3 folder in it). "
                          "Choose the folder that holds %1 on the Setup page (%1 Directory, Browse)")
        .arg(name, dir, game.engine.baseFolder);
}
} // namespace

QString ClientCore::userNameRefusal(const QString &name)
{
    if (name.trimmed().isEmpty())
        return QStringLiteral("The user name must not be empty or blank");
    return {};
}

QString ClientCore::connectRefusal(const ConnectValues &v) const
{
    // The relay refuses an empty name and closes: a Viewer would see nothing at all.
    if (!userNameRefusal(m_settings.userName).isEmpty())
        return QStringLiteral("Enter a user name on the Setup page first: the relay refuses an empty one");
    if (v.role == Role::Filmer && m_settings.transferRate <= 0)
        return QStringLiteral("The transfer rate is 0, so filming would send nothing: "
                              "set a rate above 0 on the Setup page first");
    // A Filmer writes the game's autoexec configuration before anything else.
    if (v.role == Role::Filmer) {
        const GameType type = gameTypeOf(v.gameType);
        const QString &dir = type == GameType::Quake3 ? m_settings.quake3Dir : m_settings.quake2Dir;
        return folderRefusal(gameInstall(type), type, dir, v.mod);
    }
    return {};
}

QString ClientCore::watchRefusal(GameId id) const
{
    const int sel = m_gameList->rowOf(id);
    if (sel < 0)
        return {};
    const GameRow &row = m_gameList->row(sel);
    const GameType type = row.gameType.value_or(m_demo.watchedGameType);
    const QString &dir = type == GameType::Quake3 ? m_settings.quake3Dir : m_settings.quake2Dir;
    if (!dir.isEmpty()) {
        const QString refusal = folderRefusal(gameInstall(type), type, dir, decodeText(row.mod));
        return refusal.isEmpty() ? refusal : QStringLiteral("\"%1\": ").arg(decodeText(row.name)) + refusal;
    }
    // Demos are written below the game's folder: without one the session would end at the
    // first block.
    const QString game = gameTypeName(type);
    return QStringLiteral("\"%1\" is a %2 game, and %2 is not set up: choose the folder that holds "
                          "%3 on the Setup page (%2 Directory, Browse) to watch it")
        .arg(decodeText(row.name), game,
             type == GameType::Quake3 ? QStringLiteral("quake3.exe") : QStringLiteral("quake2.exe"));
}

bool ClientCore::watchingOrFilming() const
{
    if (m_role == Role::Filmer)
        return true;
    switch (state()) {
    case ssInLobby:
    case ssSendText:
    case ssLeaveGame: return true;
    default: return false;
    }
}

bool ClientCore::quitNeedsConfirmation() const
{
    return connected() && watchingOrFilming();
}

bool ClientCore::connecting() const
{
    return sessionState() == SessionState::Connecting;
}

void ClientCore::cancelConnecting()
{
    if (sessionState() == SessionState::Connecting)
        disconnectFromServer();
}

void ClientCore::disconnectFromServer()
{
    if (m_socket->State() == TWSocket::wsClosed)
        return;
    m_userEnded = true;
    m_socket->Close();
}

void ClientCore::connectTimedOut()
{
    if (!connecting())
        return;
    noteEnd(QStringLiteral("No answer from %1").arg(m_host));
    emit connectionFailed(m_endReason);
    m_socket->Close();
}

void ClientCore::noAnswerTimedOut()
{
    if (m_answered || !connected())
        return;
    noteEnd(QStringLiteral("The server did not answer"));
    emit connectionFailed(m_endReason);
    m_socket->Close();
}

void ClientCore::noteEnd(const QString &reason)
{
    // The first cause is the one to tell: a refused hello is followed by the relay's close.
    if (m_endReason.isEmpty() && !m_userEnded)
        m_endReason = reason;
}

QString ClientCore::socketErrorText(int error) const
{
    // Codes are QAbstractSocket::SocketError plus one; 0 is a close without an error.
    switch (error) {
    case 0:
    case int(QAbstractSocket::RemoteHostClosedError) + 1: return QStringLiteral("The relay closed the connection");
    case int(QAbstractSocket::ConnectionRefusedError) + 1: return QStringLiteral("Connection refused by %1").arg(m_host);
    case int(QAbstractSocket::HostNotFoundError) + 1: return QStringLiteral("Cannot find %1").arg(m_host);
    case int(QAbstractSocket::SocketTimeoutError) + 1: return QStringLiteral("No answer from %1").arg(m_host);
    case int(QAbstractSocket::NetworkError) + 1:
        return QStringLiteral("The network to %1 failed").arg(m_host);
    default: return QStringLiteral("The connection to %1 was lost").arg(m_host);
    }
}

void ClientCore::handleRefusal(quint8 result)
{
    const int was = state();
    switch (was) {
    case ssSendText: {
        // A refused line ends its wait like an accepted one; the user sees what did not go.
        setState(ssInLobby);
        const QString line = QStringLiteral("(not sent: %1)").arg(m_pendingLine);
        m_chatLines.append(line);
        emit chatLineAdded(line);
        break;
    }
    case ssWaitForGame:
        setState(ssIdle);
        m_watchedGame.reset();
        notify();
        emit notice(QStringLiteral("The relay refused to let you watch \"%1\" (it may have ended): choose again")
                        .arg(m_demo.watchedGameName));
        break;
    case ssLeaveGame:
        setState(ssInLobby);
        emit notice(QStringLiteral("The relay refused to let you leave the lobby"));
        break;
    case ssDemoPacket:
        m_filmer->blockRejected();
        emit notice(QStringLiteral("The relay refused a demo block: filming has stopped"));
        break;
    case ssUserInfo:
    case ssGameInfo:
        // A full relay answers the hello so before it closes: the user is told that, not a lost link.
        if (result == akFull) {
            noteEnd(QStringLiteral("The server is full"));
            break;
        }
        if (was == ssUserInfo) {
            noteEnd(QStringLiteral("The relay refused the user name \"%1\"").arg(m_settings.userName));
            break;
        }
        noteEnd(QStringLiteral("The relay refused the game \"%1\" (a wrong film password, or no room "
                               "for another game)")
                    .arg(m_gameName));
        break;
    default: break;
    }
    emit recordRefused(was);
}

void ClientCore::setGameNameLabel(const QString &name)
{
    if (m_settings.gameTypeSystem == gtQuake2 || m_settings.gameTypeSystem == gtQuake3)
        m_gameTypeText = gameTypeName(gameTypeOf(m_settings.gameTypeSystem));
    // Both the game and its name: several games of one kind run side by side.
    if (name.isEmpty() || m_gameTypeText.isEmpty())
        m_gameNameLabel = m_gameTypeText + name;
    else
        m_gameNameLabel = m_gameTypeText + QStringLiteral(": ") + name;
}

} // namespace arbelon
