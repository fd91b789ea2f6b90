#pragma once
// Where each node speaks in NATS. Every subject, stream and registry key a node writes holds
// the node's name (or its slot), so that the servers' permissions can give each node its own
// and nothing else; a message's sender is read from its subject, never from its payload.
// natsPermissions() writes those permissions for a nats-server configuration.

#include <QByteArray>
#include <QList>

#include <optional>

namespace arbelon::clusternames {

QByteArray controlSubject(const QByteArray &node); // arbelon.v1.control.<node>
QByteArray controlWildcard();                      // what every node reads
// The node a control subject belongs to; nothing for any other subject or a bad name.
std::optional<QByteArray> controlSender(const QByteArray &subject);

QByteArray demoSubject(const QByteArray &node, quint32 gameId); // arbelon.v1.demo.<node>.<game>
QByteArray demoWildcard(const QByteArray &node);                 // all of one node's games
QByteArray streamName(const QByteArray &node);                   // one demo stream per node
QByteArray inboxPrefix(const QByteArray &node);                  // replies to one node

QByteArray registryBucket();
QByteArray nameKey(const QByteArray &node);
QByteArray slotKey(quint16 slot);

// A node listed in --cluster-peers holds the slot of its place: the first 1. 0 when absent.
quint16 slotOfPeer(const QList<QByteArray> &peers, const QByteArray &node);

// The `permissions` block of node `node` of `peers` (nats-server's configuration syntax):
// it may publish only on its own subjects, stream and registry keys, and read the others'.
QByteArray natsPermissions(const QList<QByteArray> &peers, const QByteArray &node);

} // namespace arbelon::clusternames
