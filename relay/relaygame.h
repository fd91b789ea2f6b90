#pragma once
// One broadcast game: its values for the game list, its lobby, the current demo kept for
// Viewers who join late, and the demo records held back by the broadcast delay.

#include "relayconnection.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QtGlobal>

#include <deque>
#include <vector>

namespace arbelon {

class RelayPeer;

class RelayGame {
public:
    RelayGame(quint32 id, QByteArray name, qint32 gameType, QByteArray mod, RelayPeer *filmer,
              qint64 maxDemoMemory, int listedUsers);
    // A game of another relay node: its Filmer is there, its records arrive from outside.
    RelayGame(quint32 id, QByteArray name, qint32 gameType, QByteArray mod, QByteArray filmerName,
              qint64 maxDemoMemory, int listedUsers);

    bool isRemote() const { return m_remote; }
    // Open to Viewers: its Filmer is here, or it is another node's.
    bool isOpen() const { return m_filmer || m_remote; }

    quint32 id() const { return m_id; }
    const QByteArray &name() const { return m_name; }
    qint32 gameType() const { return m_gameType; }
    const QByteArray &mod() const { return m_mod; }
    const QByteArray &filmerName() const { return m_filmerName; }
    const QDateTime &startedUtc() const { return m_startedUtc; }
    qint64 demoBytesIn() const { return m_demoBytesIn; }
    void countDemoIn(qint64 bytes) { m_demoBytesIn += bytes; }
    // The Filmer, or nullptr once it has gone and the game only drains its delayed records.
    RelayPeer *filmer() const { return m_filmer; }
    void filmerGone() { m_filmer = nullptr; }
    // USERLEFT of the Filmer, for the Viewers still in the lobby when the game ends.
    const RelayBlock &filmerLeftRecord() const { return m_filmerLeft; }
    const RelayBlock &filmerEnteredRecord() const { return m_filmerEntered; }

    // ---- lobby ----------------------------------------------------------------------
    // Members are the Filmer and the Viewers (in no particular order).
    const std::vector<RelayPeer *> &viewers() const { return m_viewers; }
    // Adds a member; true when it is to be announced by name (the list has room).
    bool addViewer(RelayPeer *viewer);
    // Takes a member out; true when it had been announced (its USERLEFT is due).
    bool removeViewer(RelayPeer *viewer);
    // Viewers announced by name, in the order they were announced. A lobby of thousands
    // names only the first few hundred (each join would otherwise cost a record for every
    // member); the others count in Users, and are named once they chat.
    const std::vector<RelayPeer *> &listed() const { return m_listed; }
    void list(RelayPeer *viewer);
    // Every member: for another node's game the count that node gives, which includes
    // this node's Viewers; for this node's game its own members and those elsewhere.
    quint32 users() const
    {
        return m_remote ? m_remoteUsers : quint32(m_viewers.size()) + (m_filmer ? 1u : 0u) + m_remoteUsers;
    }
    // This node's members (the Filmer when here, and its Viewers).
    quint32 localUsers() const { return quint32(m_viewers.size()) + (m_filmer ? 1u : 0u); }
    void setRemoteUsers(quint32 users) { m_remoteUsers = users; }
    // Members on other nodes named in the lobby, in the order they were named.
    const std::vector<RelayBlock> &remoteNamed() const { return m_remoteNamed; }
    // Adds a name (the USERENTERED to send) or takes one out (the USERLEFT, or null when it
    // was not there).
    RelayBlock addRemoteNamed(const QByteArray &name);
    RelayBlock removeRemoteNamed(const QByteArray &name);
    // ---- names in the lobby ----------------------------------------------------------
    // The name a joining Viewer gets here: its own, or, when a member here has it already
    // (letters compared without regard to case, as clients match a USERLEFT), the name with
    // " (2)", " (3)" ... shortened so that it still fits its field. The name is taken until
    // releaseName.
    QByteArray takeName(const QByteArray &wanted);
    void releaseName(const QByteArray &name);

    // The game's row of the game list as it stands, built once per change of its count and
    // shared by every client it is sent to.
    const RelayBlock &row() const;

    // ---- current demo --------------------------------------------------------------
    // Records a demo record as broadcast. Returns false when the kept demo outgrew the
    // bound and was dropped: a demo without its beginning is of no use to a late joiner,
    // so it waits for the next DEMORESTART instead.
    bool keepBroadcast(const RelayBlock &record);
    // The current demo from its DEMORESTART, or empty when none is kept.
    const std::vector<RelayBlock> &keptDemo() const { return m_demo; }
    bool hasDemoStarted() const { return m_demoStarted; }
    void noteDemoStarted() { m_demoStarted = true; }

    // ---- broadcast delay -------------------------------------------------------------
    void hold(const RelayBlock &record, qint64 dueMs);
    bool hasHeld() const { return !m_held.empty(); }
    qint64 nextDueMs() const { return m_held.front().dueMs; }
    // Takes the oldest held record; only when hasHeld().
    RelayBlock takeHeld();
    qint64 heldBytes() const { return m_heldBytes; }
    bool isHoldFull() const { return m_heldBytes > m_maxDemoMemory; }

private:
    struct Held {
        qint64 dueMs;
        RelayBlock record;
    };

    const quint32 m_id;
    const QByteArray m_name;
    const qint32 m_gameType;
    const QByteArray m_mod;
    const qint64 m_maxDemoMemory;
    const int m_listedUsers;
    RelayPeer *m_filmer = nullptr;
    bool m_remote = true; // set once, by the constructor
    const QByteArray m_filmerName;
    const RelayBlock m_filmerEntered;
    const RelayBlock m_filmerLeft;
    quint32 m_remoteUsers = 0;
    mutable RelayBlock m_row;
    mutable quint32 m_rowUsers = 0;
    // Names of the members here (the Filmer's, also of another node's game), by comparison
    // key. Names from other nodes take none: a Viewer that moved here from a node that failed
    // would lose its name to its own entry there until that node is declared gone.
    QHash<QString, int> m_names;
    // Where the search for a free suffix of a wanted name starts (every lower one is taken),
    // so that a crowd of one name costs no quadratic search; dropped when it grows large.
    QHash<QString, int> m_nextSuffix;
    struct Suffixed {
        QString wanted;
        int suffix;
    };
    QHash<QString, Suffixed> m_suffixed; // names given a suffix here, by key

    std::vector<QByteArray> m_remoteNames;
    std::vector<RelayBlock> m_remoteNamed; // USERENTERED of each, by the same index
    const QDateTime m_startedUtc = QDateTime::currentDateTimeUtc();
    qint64 m_demoBytesIn = 0;
    std::vector<RelayPeer *> m_viewers;
    std::vector<RelayPeer *> m_listed;

    std::vector<RelayBlock> m_demo;
    qint64 m_demoBytes = 0;
    bool m_demoStarted = false; // the Filmer has announced a demo (accepted DEMORESTART)

    std::deque<Held> m_held;
    qint64 m_heldBytes = 0;
};

} // namespace arbelon
