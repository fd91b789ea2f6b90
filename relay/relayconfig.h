#pragma once
// Settings of one relay server instance: where it listens and the limits that keep a
// server on the open internet within bounded memory whatever its clients send.

#include "records.h"

#include <QByteArray>
#include <QHostAddress>
#include <QStringList>
#include <QString>
#include <QtGlobal>

namespace arbelon {

// An honest Viewer's queue may hold two of the largest blocks (one being written, the next
// arriving) on top of the kept demo a late joiner is sent, with room for lobby records.
constexpr qint64 defaultMaxQueue(qint64 maxDemoMemory)
{
    return 2 * qint64(rec::kMaxDemoPacketSize) + maxDemoMemory + 64 * 1024;
}

// Default port of the web page.
constexpr quint16 kRelayHttpPort = 38964;

// How a cluster node proves who it is to the NATS servers, and checks who they are: any one
// of user and password, token, NKey or a .creds file; TLS when a CA is given (a client
// certificate and key as well for mutual TLS).
struct NatsAuth {
    QString user;
    QString password;
    QString token;
    QString nkeyPublic;   // U..., the NKey user the seed file signs for
    QString nkeySeedFile; // SU...
    QString credentialsFile;
    QString caFile;
    QString certFile;
    QString keyFile;
    // Whether the servers learn who this node is (TLS alone does not tell them).
    bool identifies() const
    {
        return !user.isEmpty() || !token.isEmpty() || !nkeySeedFile.isEmpty() || !credentialsFile.isEmpty()
               || !certFile.isEmpty();
    }
};

struct RelayConfig {
    QHostAddress listenAddress = QHostAddress(QHostAddress::Any);
    quint16 viewerPort = kViewerPort; // 0 picks a free port
    quint16 filmerPort = kFilmerPort;

    // A Filmer's GAMEINFO must carry this password when one is set.
    bool filmPasswordRequired = false;
    QByteArray filmPassword;

    // What is on in each game is read from its demos (off: no reading, no facts shown).
    bool factsEnabled = true;

    // Broadcast delay: demo records reach Viewers this long after the Filmer sent them.
    int delaySeconds = 0;

    // Threads serving connections. With one, the server's own thread serves them beside the
    // games; with more, that thread keeps the games and each worker thread has an event
    // loop of its own for its share of the connections.
    int workers = 1;

    int maxClients = 10000;
    int maxGames = 64;
    // Demo memory kept per game: the current demo for late joiners, and records held
    // back by the broadcast delay.
    qint64 maxDemoMemory = 32 * 1024 * 1024;
    // Bytes queued for one client and not yet handed to the kernel; beyond it the client
    // is disconnected. Blocks shared with other clients count by their full size.
    qint64 maxQueueBytes = defaultMaxQueue(maxDemoMemory);
    // Connections at once from one address, so that one host cannot take every slot.
    int maxPerAddress = 16;

    // A connection that has not sent its hello by then is closed.
    int helloTimeoutSeconds = 30;
    // A record begun and not finished by then closes its connection: a client dripping
    // one byte at a time must not hold its slot for ever.
    int recordTimeoutSeconds = 30;
    // A connection that was told to close but does not read its last answer is cut off.
    int closeTimeoutSeconds = 10;
    // How often the Users counts of the game list are sent while lobbies change: a crowd
    // joining costs every connected client one record per game per interval, not per join.
    int usersUpdateIntervalMs = 1000;
    // Viewers a lobby announces by name; later ones only count in Users until they chat.
    int listedUsers = 200;

    // Chat flood limit, a token bucket per client.
    int chatBurst = 5;
    int chatLinesPerSecond = 2;
    // Lobby entries likewise: a named Viewer that joins and leaves in a loop would otherwise
    // cost a record for every member of the lobby each time.
    int joinBurst = 5;
    int joinsPerSecond = 2;

    // The web page: live games, the archive, metrics. An empty address means the listen
    // address; httpEnabled false turns the page off.
    bool httpEnabled = true;
    QHostAddress httpAddress;
    quint16 httpPort = kRelayHttpPort;
    // Every demo carried, kept as a Viewer would write it; empty: no archive.
    QString archiveDir;
    // The archive's size bound; the oldest demos go first. 0: no bound.
    qint64 archiveMaxBytes = 0;
    qint64 archiveReserveBytes = qint64(256) * 1024 * 1024; // free disk kept; 0: none
    // Extension of archived Quake 3 demos (Quake 2's are .dm2).
    QString q3DemoExtension = QStringLiteral("dm_68");

    // A cluster of relay nodes: the NATS servers to reach (none: the relay runs alone), this
    // node's name among them, and NATS credentials and CA when the servers want them.
    QStringList clusterServers;
    QByteArray nodeName;
    NatsAuth clusterAuth;
    QList<QByteArray> clusterPeers; // --cluster-peers, in slot order; empty: any node
    QString writeNatsUsers;         // --write-nats-users: write the servers' users there and end
};

// Largest value accepted for --delay.
constexpr int kMaxRelayDelaySeconds = 3600;

} // namespace arbelon
