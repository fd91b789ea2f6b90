#pragma once
// A PacketDispatcher with handlers that follow the handler frame and log what they handled,
// shared by the in-memory and the loopback tests.

#include "dispatcher.h"
#include "records.h"

#include <QList>
#include <QStringList>

namespace arbelon::test {

// Stand-in for the block CRC: the DEMOPACKET handler answers 0 when PacketCrc equals this
// sum of the data bytes and 1 otherwise, so the answers of a stream are not all alike.
inline quint32 byteSum(QByteArrayView data)
{
    quint32 s = 0;
    for (char c : data)
        s = s * 31u + quint8(c);
    return s;
}

// The 16-byte ACKNAK written out by hand.
inline QByteArray ackImage(quint8 result)
{
    QByteArray a(16, '\0');
    a[0] = 4;
    a[4] = 16;
    a[12] = char(result);
    return a;
}

struct DispatchHarness {
    PacketDispatcher d;
    QList<QByteArray> sent;
    QStringList handled;
    QStringList trace;
    bool connected = true;

    // With no send function given, answers are collected in `sent`.
    explicit DispatchHarness(bool collectSends = true)
    {
        if (collectSends) {
            d.setSendFunction([this](const QByteArray &r) { sent.append(r); });
            d.setConnectedFunction([this] { return connected; });
        }
        d.trace().setLineHandler([this](const QString &l) { trace.append(l); });
        fixed(GAMEINFODETAILED, 80, [](QByteArrayView r) {
            return QStringLiteral("GAME %1").arg(GameInfoDetailedReader{r}.gameId());
        });
        fixed(SENDTEXT, 288, [](QByteArrayView r) {
            return QStringLiteral("TEXT ") + QString::fromLatin1(SendTextReader{r}.text());
        });
        fixed(GAMEREMOVED, 16, [](QByteArrayView r) {
            return QStringLiteral("REMOVED %1").arg(GameRemovedReader{r}.gameId());
        });
        fixed(DEMORESTART, 16, [](QByteArrayView) { return QStringLiteral("RESTART"); });
        fixed(USERENTERED, 32, [](QByteArrayView r) {
            return QStringLiteral("IN ") + QString::fromLatin1(UserRecordReader{r}.userName());
        });
        fixed(USERLEFT, 32, [](QByteArrayView r) {
            return QStringLiteral("OUT ") + QString::fromLatin1(UserRecordReader{r}.userName());
        });
        d.setHandler(ACKNAK, [this] {
            if (d.buffer().size() < 16)
                return false;
            handled.append(QStringLiteral("ACK %1").arg(AckNakReader{d.front()}.result()));
            d.consume(16); // never answered
            return true;
        });
        d.setHandler(DEMOPACKET, [this] {
            const quint32 size = packetSize(d.front());
            checkDemoPacketSize(size);
            if (quint32(d.buffer().size()) < size)
                return false;
            const DemoPacketReader r{d.front().first(size)};
            const bool good = r.packetCrc() == byteSum(r.data());
            handled.append(QStringLiteral("DEMO %1 %2").arg(r.data().size()).arg(good ? QLatin1String("ok") : QLatin1String("bad")));
            d.consumeAndAck(size, good ? 0 : 1);
            return true;
        });
    }

    template <typename Describe>
    void fixed(qint32 type, int size, Describe describe)
    {
        d.setHandler(type, [this, size, describe] {
            if (d.buffer().size() < size)
                return false;
            handled.append(describe(d.front().first(size)));
            d.consumeAndAck(size);
            return true;
        });
    }
};

} // namespace arbelon::test
