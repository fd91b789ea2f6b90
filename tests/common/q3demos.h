#pragma once
// The recorded OpenArena demo the suites share (data/demos.qrc), and the same demo with server
// commands of the test's own after its last message, as a server that says them would.

#include "q3codec.h"
#include "q3message.h"

#include <QFile>
#include <QList>
#include <QtEndian>

namespace arbelon::test {

inline QByteArray recordedQ3Demo()
{
    QFile f(QStringLiteral(":/demos/oa_bots.dm_71"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline QByteArray framedQ3(qint32 sequence, const QByteArray &message)
{
    QByteArray out(8, '\0');
    qToLittleEndian<qint32>(sequence, out.data());
    qToLittleEndian<qint32>(qint32(message.size()), out.data() + 4);
    return out + message;
}

// The recorded demo without its end marker, then one message per command, numbered past the
// demo's own commands.
inline QByteArray withServerCommands(const QList<QByteArray> &commands)
{
    QByteArray demo = recordedQ3Demo();
    demo.chop(8);
    qint32 sequence = 1000;
    for (const QByteArray &text : commands) {
        demo::Q3MessageWriter w(demo::Q3Codec::kMaxMessage);
        w.writeLong(0);
        w.writeByte(5); // a server command
        w.writeLong(sequence++);
        w.writeString(text);
        w.writeByte(8); // the message's end
        demo += framedQ3(100000 + sequence, w.finish());
    }
    return demo;
}

} // namespace arbelon::test
