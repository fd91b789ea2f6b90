#include "clusternames.h"

#include "clustermessage.h"

namespace arbelon::clusternames {

namespace {
const QByteArray kControl = QByteArrayLiteral("arbelon.v1.control.");
const QByteArray kDemo = QByteArrayLiteral("arbelon.v1.demo.");
const QByteArray kBucket = QByteArrayLiteral("arbelon_nodes");

QByteArray quoted(const QByteArray &subject) { return '"' + subject + '"'; }

QByteArray list(const QList<QByteArray> &subjects, const QByteArray &indent)
{
    QByteArray out;
    for (const QByteArray &s : subjects)
        out += indent + quoted(s) + ",\n";
    out.chop(2);
    return out + '\n';
}
} // namespace

QByteArray controlSubject(const QByteArray &node) { return kControl + node; }
QByteArray controlWildcard() { return kControl + '*'; }

std::optional<QByteArray> controlSender(const QByteArray &subject)
{
    if (!subject.startsWith(kControl))
        return std::nullopt;
    const QByteArray node = subject.mid(kControl.size());
    if (!clustermsg::validNodeName(node))
        return std::nullopt;
    return node;
}

QByteArray demoSubject(const QByteArray &node, quint32 gameId) { return kDemo + node + '.' + QByteArray::number(gameId); }
QByteArray demoWildcard(const QByteArray &node) { return kDemo + node + ".*"; }
QByteArray streamName(const QByteArray &node) { return "ARBELON_DEMO_" + node; }
QByteArray inboxPrefix(const QByteArray &node) { return "_arbelon_inbox." + node; }

QByteArray registryBucket() { return kBucket; }
QByteArray nameKey(const QByteArray &node) { return "name." + node; }
QByteArray slotKey(quint16 slot) { return "slot." + QByteArray::number(slot); }

quint16 slotOfPeer(const QList<QByteArray> &peers, const QByteArray &node)
{
    const qsizetype at = peers.indexOf(node);
    return at < 0 || at >= clustermsg::kMaxSlot ? 0 : quint16(at + 1);
}

QByteArray natsPermissions(const QList<QByteArray> &peers, const QByteArray &node)
{
    const QByteArray stream = streamName(node);
    const QByteArray kvStream = "KV_" + kBucket;
    const QByteArray kv = "$KV." + kBucket + '.';
    QList<QByteArray> publish{
        controlSubject(node),
        demoWildcard(node),
        // Its own demo stream: made at start, emptied of a game's records when it ends,
        // removed when the node leaves with nothing in it that others still read.
        "$JS.API.STREAM.CREATE." + stream,
        "$JS.API.STREAM.INFO." + stream,
        "$JS.API.STREAM.PURGE." + stream,
        "$JS.API.STREAM.DELETE." + stream,
        // The registry: made by whichever node comes first (a bucket that exists is not
        // changed by a second create), read by all, and written only at this node's keys.
        "$JS.API.STREAM.CREATE." + kvStream,
        "$JS.API.STREAM.INFO." + kvStream,
        "$JS.API.STREAM.MSG.GET." + kvStream,
        "$JS.API.DIRECT.GET." + kvStream + ".>",
        kv + nameKey(node),
        kv + slotKey(slotOfPeer(peers, node)),
    };
    // The other nodes' demos: readers made, flow-controlled and ended; nothing written.
    for (const QByteArray &peer : peers) {
        if (peer == node)
            continue;
        const QByteArray theirs = streamName(peer);
        publish += {"$JS.API.CONSUMER.CREATE." + theirs, "$JS.API.CONSUMER.CREATE." + theirs + ".>",
                    "$JS.API.CONSUMER.INFO." + theirs + ".*", "$JS.API.CONSUMER.DELETE." + theirs + ".*",
                    "$JS.FC." + theirs + ".>"};
    }
    const QList<QByteArray> subscribe{controlWildcard(), inboxPrefix(node) + ".>"};
    return "permissions: {\n  publish: { allow: [\n" + list(publish, "    ") + "  ] }\n  subscribe: { allow: [\n"
           + list(subscribe, "    ") + "  ] }\n}\n";
}

} // namespace arbelon::clusternames
