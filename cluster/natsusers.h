#pragma once
// The NATS servers' side of a closed cluster: a users file for nats-server with one user per
// node, a random password each and the permissions of clusternames::natsPermissions, and
// for each node the file its --cluster-user-file reads.

#include <QByteArray>
#include <QList>
#include <QString>

namespace arbelon {

// Writes DIR/nats-users.conf (for nats-server's `include`) and DIR/<node>.user, readable by
// their owner only. Existing files are not replaced: false with the reason.
bool writeNatsUsers(const QString &dir, const QList<QByteArray> &peers, QString *error);

} // namespace arbelon
