#pragma once
// What the games' thread and the cluster node's thread say to each other: calls as values,
// every text in them a deep copy, through a mailbox bounded in bytes.
//
// Only demo records and chat lines count against the bound: the rest (games opened and
// closed, lobby states, registry answers) are small and as many as the games. A demo record
// that does not fit is held back with every later one of its game until the game's next
// demo begins, so the other side gets whole demos or none, never one with a hole.

#include "clustermessage.h"
#include "relaymailbox.h"
#include "relayobserver.h"

#include <QByteArray>
#include <QList>

#include <atomic>
#include <set>
#include <vector>

namespace arbelon {

struct ClusterCall {
    enum Kind : quint8 {
        // games' thread -> node
        GameOpened,  // view, users, names (this node's own members)
        GameClosed,  // gameId
        LobbyState,  // gameId, users, names
        ChatLine,    // gameId, user, data: a line as the members here got it
        DemoRecord,  // gameId, data
        WatchGame,   // gameId
        SendChat,    // gameId, user, data: a Viewer's line for a remote game's owner
        Leave,
        // node -> games' thread
        SetGameIdBase,   // number
        AddRemoteGame,   // info
        UpdateRemoteGame, // info
        RemoveRemoteGame, // gameId
        SetRemoteUsers,  // gameId, users
        RemoteEnter,     // gameId, user
        RemoteLeave,     // gameId, user
        RemoteChat,      // gameId, user, data
        RemoteDemo,      // gameId, number (block sequence), data
    };
    Kind kind = Leave;
    quint32 gameId = 0;
    quint32 users = 0;
    quint64 number = 0;
    QByteArray user;
    QByteArray data;
    QList<QByteArray> names;
    RelayGameView view;
    ClusterGameInfo info;

    // What the mailbox's bound counts.
    qint64 boundedBytes() const;
};

class ClusterMailbox {
public:
    enum class Posted { Yes,
                        HeldBack,    // a record of a game being held back, or a chat line
                        StartsHolding // this record began holding its game back
    };
    static constexpr qint64 kDefaultMaxBytes = qint64(64) * 1024 * 1024;

    explicit ClusterMailbox(qint64 maxBytes = kDefaultMaxBytes) : m_maxBytes(maxBytes) {}

    bool isValid() const { return m_box.isValid(); }
    int descriptor() const { return m_box.descriptor(); }

    // From the one posting thread. Every text of the call must be its own deep copy.
    Posted post(ClusterCall call);
    // On the receiving thread: everything that waits, oldest first.
    std::vector<ClusterCall> take();

    qint64 waitingBytes() const { return m_bytes.load(); }
    quint64 heldBack() const { return m_heldBack.load(); }

private:
    RelayMailbox<ClusterCall> m_box;
    const qint64 m_maxBytes;
    std::atomic<qint64> m_bytes{0};
    std::atomic<quint64> m_heldBack{0};
    std::set<quint32> m_holding; // the poster's alone: games whose records wait for a new demo
};

} // namespace arbelon
