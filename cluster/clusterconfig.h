#pragma once
// Settings of one relay node in a cluster.

#include "relayconfig.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace arbelon {

struct ClusterConfig {
    QStringList servers; // nats://HOST:PORT, any server of the NATS cluster
    QByteArray nodeName; // 1 to 32 of A-Z a-z 0-9 _ -; unique among running nodes
    int heartbeatMs = 1000;
    // A node not heard for this long is gone with its games; with one beat a second and a
    // check every beat, its games vanish within 4 s.
    int nodeTimeoutMs = 3000;
    // The node registry keeps a name this long after its last refresh, so a node that died
    // can come back under its name after that.
    int registryTtlMs = 5000;
    int reconnectWaitMs = 250;
    // Demo streams: one per node, kept on every NATS server so that losing one loses nothing.
    int streamReplicas = 3;
    qint64 streamMaxBytes = qint64(64) * 1024 * 1024;       // one game's demo kept back meanwhile
    qint64 nodeStreamMaxBytes = qint64(256) * 1024 * 1024;  // a node's stream, all its games
    qint64 streamMaxAgeSeconds = 6 * 3600;
    // How long a publication waits for the stream's answer before it is sent again.
    int publishAckWaitMs = 2000;
    // Bytes of messages from NATS waiting for the node's thread; past it they are dropped
    // and counted.
    qint64 maxInboxBytes = qint64(128) * 1024 * 1024;
    // The requests the node makes itself (streams, registry) wait at most this long.
    int requestWaitMs = 2000;
    // What one other node may hold here, as this relay's own limits hold its clients:
    // games listed, and names of members per game and node (the rest only count).
    int maxGamesPerNode = 64;
    int listedUsers = 200;
    // A remote user's chat lines in this node's games: the rate this relay allows its own.
    int chatBurst = 5;
    int chatLinesPerSecond = 2;
    NatsAuth auth;
    // The node names this node accepts at all, in slot order: a listed node holds the slot
    // of its place (the first 1), so that the servers' permissions can hold each slot key to
    // its node. Empty: any node, slots taken as they come.
    QList<QByteArray> peers;
};

} // namespace arbelon
