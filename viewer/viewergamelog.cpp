#include "viewergamelog.h"

#include "regularfile.h"

namespace arbelon {

void ViewerGameLog::watch(const QStringList &candidates)
{
    stop();
    m_candidates = candidates;
    openLog(true);
}

void ViewerGameLog::stop()
{
    m_file.reset();
    m_candidates.clear();
    m_position = 0;
    m_partial.clear();
    m_started = false;
}

bool ViewerGameLog::openLog(bool atEnd)
{
    for (const QString &path : std::as_const(m_candidates)) {
        auto file = std::make_unique<QFile>(path);
        if (openRegularForReading(*file, path, QIODevice::Unbuffered) != RegularOpen::Opened)
            continue;
        m_position = atEnd ? file->size() : 0;
        m_file = std::move(file);
        return true;
    }
    return false;
}

bool ViewerGameLog::takeStarted()
{
    const bool started = m_started;
    m_started = false;
    return started;
}

bool ViewerGameLog::edgeReached()
{
    if (!m_file && (m_candidates.isEmpty() || !openLog(false)))
        return false;
    const qint64 size = m_file->size();
    // A game started anew begins its log again.
    if (size < m_position) {
        m_position = 0;
        m_partial.clear();
    }
    if (size == m_position || !m_file->seek(m_position))
        return false;
    const QByteArray bytes = m_file->read(qMin(size - m_position, kReadPerLook));
    m_position += bytes.size();
    m_partial += bytes;
    bool reached = false;
    qsizetype end;
    while ((end = m_partial.indexOf('\n')) >= 0) {
        const QByteArray line = m_partial.left(end).trimmed();
        if (line == kEdgeMarker)
            reached = true;
        else if (line.startsWith("CL_InitCGame:"))
            m_started = true;
        m_partial.remove(0, end + 1);
    }
    // A line is never longer than the engines' console line; the rest of a longer one is no marker.
    if (m_partial.size() > 4096)
        m_partial.clear();
    return reached;
}

} // namespace arbelon
