#pragma once
// What the Viewer's and the Filmer's demo work needs of the session that owns it. The session
// implements it; the Viewer and the Filmer see only this, so neither depends on the session.

#include "clientsettings.h"
#include "demotransferstate.h"
#include "gameinstall.h"
#include "records.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

class QTimer;

namespace arbelon {

class DemoListModel;
class GameRunningCheck;
class PacketDispatcher;
class ProgramStarter;

class TransferHost {
public:
    virtual ~TransferHost() = default;

    // ---- session values ----
    virtual ClientSettings &settings() = 0;
    virtual const ClientSettings &settings() const = 0;
    virtual DemoTransferState &demo() = 0;
    virtual const DemoTransferState &demo() const = 0;
    virtual Role role() const = 0;
    virtual int state() const = 0;
    virtual void setState(int s) = 0;
    virtual QDateTime now() const = 0;

    // ---- the connection ----
    virtual PacketDispatcher &dispatcher() = 0;
    virtual void SendPacket(const QByteArray &record, int newState) = 0;

    // The game of a type as the settings set it up: engine, program, folders.
    virtual GameInstall gameInstall(GameType gameType) const = 0;
    // Tells the user something the demo work found (where it watches, what it ignored).
    virtual void tellUser(const QString &text) = 0;

    // ---- platform services (may be null) ----
    virtual GameRunningCheck *gameRunningCheck() const = 0;
    virtual ProgramStarter *programStarter() const = 0;

    // ---- what the lobby shows ----
    virtual DemoListModel *demoList() const = 0;
    virtual void setDataInLabel(const QString &t) = 0;
    virtual void setGoodLabel(const QString &t) = 0;
    // What is on in the watched game changed (its scoreboard, events or clock).
    virtual void gameFactsChanged() {}
    // A block the relay refused; the lobby shows the count.
    virtual void countRefusedBlock() = 0;

    // Shows the user an error box once the event being handled is done (the session may end
    // meanwhile): a fault of the user's machine must not read as the relay's.
    virtual void reportError(const QString &text) = 0;

    // ---- the Filmer's timers ----
    virtual QTimer &LogFileScan() = 0;
    virtual QTimer &OutDemoStream() = 0;
    // Counts the stops of both timers by the lobby's or the session's end.
    virtual quint64 timerStops() const = 0;
};

} // namespace arbelon
