#pragma once
// The client talks to fixed ports, so a test that plays the relay for it needs a loopback
// address of its own. Each test process takes its addresses inside 127.0.0.0/8 from its
// process id: two runs side by side, and other programs on the host (which live on 127.0.0.x
// and 127.0.1.1), never meet on a port.

#include <QCoreApplication>
#include <QString>

namespace arbelon::test {

// slot: 1..254, the test's own numbering of the addresses it uses.
inline QString loopbackAddress(int slot)
{
    const auto pid = quint32(QCoreApplication::applicationPid());
    const quint32 second = 1 + (pid >> 8) % 254; // never 0
    const quint32 third = pid & 0xffu;
    return QStringLiteral("127.%1.%2.%3").arg(second).arg(third).arg(slot);
}

} // namespace arbelon::test
