#include "relaylog.h"

#include <QDateTime>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace arbelon {

namespace {
// Lines go to stderr from a thread of their own: a slow reader of stderr (a full pipe, a
// stalled journal) must not stop the event loop. What it has not taken is bounded; past
// the bound lines are counted and dropped, and the count is logged when it catches up.
class StderrWriter {
public:
    StderrWriter() : m_thread([this] { run(); }) {}
    ~StderrWriter()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join(); // what is pending is written first
    }

    void push(QByteArray line)
    {
        {
            const std::lock_guard lock(m_mutex);
            if (m_pendingBytes + line.size() > kMaxPendingBytes) {
                ++m_dropped;
                return;
            }
            m_pendingBytes += line.size();
            m_pending.push_back(std::move(line));
        }
        m_wake.notify_one();
    }

private:
    static constexpr qint64 kMaxPendingBytes = 4 * 1024 * 1024;

    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stop || !m_pending.empty(); });
            if (m_pending.empty())
                return; // stopping, and everything written
            std::deque<QByteArray> batch;
            batch.swap(m_pending);
            const qint64 dropped = m_dropped;
            m_dropped = 0;
            m_pendingBytes = 0;
            lock.unlock();
            if (dropped > 0)
                std::fprintf(stderr, "%lld log lines dropped: stderr did not keep up\n", dropped);
            for (const QByteArray &line : batch)
                std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
            std::fflush(stderr);
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<QByteArray> m_pending;
    qint64 m_pendingBytes = 0;
    qint64 m_dropped = 0;
    bool m_stop = false;
    std::thread m_thread; // last: started once everything above exists
};

StderrWriter &stderrWriter()
{
    static StderrWriter writer;
    return writer;
}

RelayLog::Sink &sinkRef()
{
    static RelayLog::Sink sink;
    return sink;
}
} // namespace

void RelayLog::setSink(Sink sink)
{
    sinkRef() = std::move(sink);
}

void RelayLog::write(const QString &message)
{
    const QString line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)
                         + QLatin1Char(' ') + message;
    if (sinkRef()) {
        sinkRef()(line);
        return;
    }
    stderrWriter().push(line.toUtf8() + '\n');
}

QString RelayLog::quoted(QByteArrayView text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && c != '"' && c != '\\')
            out += QLatin1Char(c);
        else
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    out += QLatin1Char('"');
    return out;
}

} // namespace arbelon
