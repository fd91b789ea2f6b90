#pragma once
// The messages relay nodes exchange over NATS: a small binary format of their own, versioned
// and read strictly (every length checked, nothing left over), since any process that can
// publish on the cluster's subjects can send anything. Layout in docs/RELAY.md, "Cluster".

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace arbelon {

// One game as its owning node announces it.
struct ClusterGameInfo {
    quint32 id = 0;
    qint32 gameType = 0;
    quint32 users = 0; // every member on every node
    QByteArray name;
    QByteArray mod;
    QByteArray filmer;
    quint64 demoStartSeq = 0; // stream sequence of the current demo's first record, 0: none yet

    bool operator==(const ClusterGameInfo &) const = default;
};

struct ClusterMessage {
    enum Type : quint8 {
        Heartbeat = 1,    // node, slot, epoch, games: the node's whole state, once a second
        GameAnnounce = 2, // node, games[0]: a game opened or changed
        GameRemove = 3,   // node, gameId[, seq]: seq is the game's last block (0 or absent: none)
        LobbyState = 4,   // node, gameId, users, names: this node's members of a game
        ChatRequest = 5,  // node, gameId, user, text: a line for the owning node to order
        ChatLine = 6,     // node, gameId, seq, user, text: a line in the owner's order
        DemoBlock = 7,    // node, gameId, seq, record: a DEMORESTART or DEMOPACKET, whole
        GameFacts = 8,    // node, gameId, record: what is on in the node's game, as JSON
    };

    Type type = Heartbeat;
    QByteArray node;
    quint16 slot = 0;
    quint64 epoch = 0;
    QList<ClusterGameInfo> games;
    quint32 gameId = 0;
    quint32 users = 0;
    QList<QByteArray> names;
    QByteArray user;
    QByteArray text;
    quint64 seq = 0;
    QByteArray record;

    bool operator==(const ClusterMessage &) const = default;
};

namespace clustermsg {
constexpr quint8 kVersion = 1;
constexpr int kMaxNodeName = 32;
constexpr int kMaxGameName = 32; // the widths of the relay's records, less their NUL
constexpr int kMaxModName = 16;
constexpr int kMaxUserName = 16;
constexpr int kMaxChatText = 258;
constexpr int kMaxGames = 1024; // per heartbeat
constexpr int kMaxNames = 1024; // per lobby state
constexpr int kMaxFacts = 256 * 1024; // a game's facts as JSON
// A demo block's record plus the message's own fields.
constexpr qsizetype kMaxMessage = qsizetype(4) * 1024 * 1024 + 1024;
// Node slots, the high bits of game ids: 12 bits, 0 never given.
constexpr int kSlotBits = 12;
constexpr int kLocalIdBits = 32 - kSlotBits;
constexpr quint16 kMaxSlot = (1u << kSlotBits) - 1;

// A node name is 1 to 32 of A-Z a-z 0-9 _ -, so that it can sit in a subject or a key.
bool validNodeName(QByteArrayView name);
QByteArray encode(const ClusterMessage &message);
// The message, or nothing with the reason in *error.
std::optional<ClusterMessage> parse(QByteArrayView bytes, QString *error);
QString typeName(quint8 type);
} // namespace clustermsg

} // namespace arbelon
