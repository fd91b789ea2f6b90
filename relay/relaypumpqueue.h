#pragma once
// Connections with records to write, pumped once control is back in the event loop: one
// pass for all of them, so a burst leaves in one system call each. The thread serving the
// connections owns it; a connection that ends is forgotten, also in the middle of a pass.

#include "relayconnection.h"

#include <QObject>

#include <algorithm>
#include <vector>

namespace arbelon {

class RelayPumpQueue {
public:
    // The pass is posted to `context`, whose thread serves the connections.
    explicit RelayPumpQueue(QObject *context) : m_context(context) {}

    void schedule(RelayConnection &conn)
    {
        if (m_toPump.empty())
            QMetaObject::invokeMethod(
                m_context, [this] { pumpAll(); }, Qt::QueuedConnection);
        m_toPump.push_back(&conn);
    }

    void forget(RelayConnection &conn)
    {
        std::erase(m_toPump, &conn);
        std::replace(m_batch.begin(), m_batch.end(), &conn, static_cast<RelayConnection *>(nullptr));
    }

private:
    void pumpAll()
    {
        m_batch.clear();
        m_batch.swap(m_toPump);
        // A connection may close while an earlier one of this batch is pumped: forget()
        // turns it into null here.
        for (size_t i = 0; i < m_batch.size(); ++i) {
            if (RelayConnection *conn = m_batch[i])
                conn->pump();
        }
        m_batch.clear();
    }

    QObject *m_context;
    std::vector<RelayConnection *> m_toPump;
    std::vector<RelayConnection *> m_batch; // being pumped now
};

} // namespace arbelon
