#pragma once
// Receive loop, handler table and the single way out for records (SendPacket).

#include "receivebuffer.h"
#include "records.h"
#include "tracesink.h"

#include <array>
#include <functional>

namespace arbelon {

class PacketDispatcher {
public:
    // A handler looks at the front of the buffer and returns true when it consumed a record,
    // false when the record is not complete yet. Errors are thrown and end the session.
    using Handler = std::function<bool()>;
    using SendFn = std::function<void(const QByteArray &)>;
    using ConnectedFn = std::function<bool()>;

    // ---- wiring ----
    void setHandler(qint32 type, Handler h);
    void setSendFunction(SendFn fn) { m_send = std::move(fn); }
    void setConnectedFunction(ConnectedFn fn) { m_connected = std::move(fn); }
    TraceSink &trace() { return m_trace; }

    // ---- receive side ----
    // DemoClientDataAvailable's loop: append what arrived, then dispatch complete records.
    void dataAvailable(QByteArrayView bytes);
    ReceiveBuffer &buffer() { return m_buffer; }
    QByteArrayView front() const { return m_buffer.front(); }
    void consume(qsizetype n) { m_buffer.consume(n); }

    // ---- send side ----
    // Sends only while connected; sets the session state first. Otherwise drops the record.
    void SendPacket(const QByteArray &record, int newState);
    // Zero-filled ACKNAK with the given result; never changes the state.
    void sendAckNak(quint8 result);
    // Handler frame tail: consume n bytes and acknowledge with the result.
    void consumeAndAck(qsizetype n, quint8 result = 0);

    int state() const { return m_state; }
    void setState(int s) { m_state = s; }

private:
    ReceiveBuffer m_buffer;
    TraceSink m_trace;
    std::array<Handler, kPacketTypeCount> m_handlers{};
    SendFn m_send;
    ConnectedFn m_connected;
    int m_state = ssIdle;
};

} // namespace arbelon
