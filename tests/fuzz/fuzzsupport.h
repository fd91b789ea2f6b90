#pragma once
// Shared by the fuzz targets: one application object for the whole run, reading the input
// as a little stream, and a fatal report that libFuzzer records as a crash.

#include <QByteArrayView>
#include <QCoreApplication>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace arbelon::fuzz {

// The application object Qt's sockets and timers need; made once, lives until exit.
inline void ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "arbelon-fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}

// A broken rule found by a target: printed, then abort() so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const QString &what)
{
    std::fprintf(stderr, "arbelon fuzz: %s\n", what.toLocal8Bit().constData());
    std::abort();
}

// Reads the fuzz input front to back; reading past its end yields zeros and empty views.
class InputStream {
public:
    InputStream(const uint8_t *data, size_t size)
        : m_data(reinterpret_cast<const char *>(data)), m_size(qsizetype(size))
    {
    }
    bool atEnd() const { return m_pos >= m_size; }
    qsizetype remaining() const { return m_size - m_pos; }
    quint8 byte() { return atEnd() ? 0 : quint8(m_data[m_pos++]); }
    quint16 word()
    {
        const quint16 lo = byte();
        return quint16(lo | (quint16(byte()) << 8));
    }
    QByteArrayView take(qsizetype n)
    {
        n = qBound<qsizetype>(0, n, remaining());
        const QByteArrayView v(m_data + m_pos, n);
        m_pos += n;
        return v;
    }

private:
    const char *m_data;
    qsizetype m_size;
    qsizetype m_pos = 0;
};

} // namespace arbelon::fuzz
