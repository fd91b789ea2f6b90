#include "clustermailbox.h"

#include "records.h"

namespace arbelon {

qint64 ClusterCall::boundedBytes() const
{
    switch (kind) {
    case DemoRecord:
    case RemoteDemo:
    case ChatLine:
    case SendChat:
    case RemoteChat:
        return user.size() + data.size();
    default:
        return 0;
    }
}

ClusterMailbox::Posted ClusterMailbox::post(ClusterCall call)
{
    const qint64 bytes = call.boundedBytes();
    const bool record = call.kind == ClusterCall::DemoRecord || call.kind == ClusterCall::RemoteDemo;
    if (call.kind == ClusterCall::GameClosed || call.kind == ClusterCall::RemoveRemoteGame)
        m_holding.erase(call.gameId);
    if (record && m_holding.count(call.gameId)) {
        // A new demo is a place the other side can begin again at.
        if (packetType(call.data) != DEMORESTART || m_bytes.load() + bytes > m_maxBytes) {
            ++m_heldBack;
            return Posted::HeldBack;
        }
        m_holding.erase(call.gameId);
    }
    if (bytes && m_bytes.load() + bytes > m_maxBytes) {
        ++m_heldBack;
        if (!record)
            return Posted::HeldBack;
        m_holding.insert(call.gameId);
        return Posted::StartsHolding;
    }
    m_bytes += bytes;
    m_box.post([&call](std::vector<ClusterCall> &items) { items.push_back(std::move(call)); });
    return Posted::Yes;
}

std::vector<ClusterCall> ClusterMailbox::take()
{
    std::vector<ClusterCall> items = m_box.take();
    qint64 bytes = 0;
    for (const ClusterCall &c : items)
        bytes += c.boundedBytes();
    m_bytes -= bytes;
    return items;
}

} // namespace arbelon
