#include "consolelogreader.h"

#include "consolelog.h"
#include "regularfile.h"

#include <QFileInfo>

#include <stdexcept>

namespace arbelon {

namespace {
[[noreturn]] void fail(const QString &what, const QFile &file)
{
    throw std::runtime_error(
        (what + QStringLiteral(" console log ") + file.fileName() + QStringLiteral(": ") + file.errorString())
            .toStdString());
}
}

ConsoleLogReader::ConsoleLogReader() = default;
ConsoleLogReader::~ConsoleLogReader() = default;

bool ConsoleLogReader::open(const QString &path)
{
    close();
    auto file = std::make_unique<QFile>(path);
    // Unbuffered: the game appends while we read, and every read must see the file as it is.
    QString why;
    switch (openRegularForReading(*file, path, QIODevice::Unbuffered, &why, Sharing::KeepFromDeletion)) {
    case RegularOpen::Opened:
        break;
    case RegularOpen::NotRegular:
        return false;
    case RegularOpen::Missing:
    case RegularOpen::Failed:
        throw std::runtime_error(
            (QStringLiteral("Cannot open console log ") + path + QStringLiteral(": ") + why).toStdString());
    }
    const qint64 size = file->size();
    QByteArray before;
    if (size > 0) {
        const qint64 from = qMax<qint64>(0, size - kFingerprintBytes);
        if (!file->seek(from))
            fail(QStringLiteral("Cannot read"), *file);
        before = file->read(size - from);
    }
    m_file = std::move(file);
    m_path = path;
    m_canonicalPath = QFileInfo(path).canonicalFilePath();
    m_position = size;
    m_fingerprint.clear();
    // A short read leaves no usable fingerprint; the size check still works.
    if (before.size() == qMin<qint64>(size, kFingerprintBytes))
        m_fingerprint = before;
    return true;
}

void ConsoleLogReader::close()
{
    m_file.reset();
    m_path.clear();
    m_canonicalPath.clear();
    m_position = 0;
    m_fingerprint.clear();
}

bool ConsoleLogReader::holds(const QString &path) const
{
    if (!m_file || path.isEmpty())
        return false;
    if (path == m_path)
        return true;
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return !canonical.isEmpty() && canonical == m_canonicalPath;
}

bool ConsoleLogReader::replaced() const
{
    if (!m_file)
        return false;
    const auto held = fileIdentity(*m_file);
    const auto named = fileIdentity(m_path);
    return !held || !named || *held != *named;
}

void ConsoleLogReader::rewind()
{
    m_position = 0;
    m_fingerprint.clear();
}

bool ConsoleLogReader::rewritten(qint64 size)
{
    if (size < m_position)
        return true;
    if (m_fingerprint.isEmpty())
        return false;
    if (!m_file->seek(m_position - m_fingerprint.size()))
        return true;
    return m_file->read(m_fingerprint.size()) != m_fingerprint;
}

void ConsoleLogReader::takeFingerprint(const QByteArray &lastRead)
{
    if (lastRead.size() >= kFingerprintBytes) {
        m_fingerprint = lastRead.right(kFingerprintBytes);
        return;
    }
    m_fingerprint.append(lastRead);
    if (m_fingerprint.size() > kFingerprintBytes)
        m_fingerprint = m_fingerprint.right(kFingerprintBytes);
}

void ConsoleLogReader::readInto(ConsoleLog &lines)
{
    if (!m_file)
        return;
    const qint64 size = m_file->size();
    if (rewritten(size)) {
        ++m_restarts;
        m_position = 0;
        m_fingerprint.clear();
        lines.dropPartialLine();
    }
    if (size <= m_position)
        return;
    if (!m_file->seek(m_position))
        fail(QStringLiteral("Cannot read"), *m_file);
    // Up to the end as it was at the start of this read, one slice at most; the rest, and
    // what the game adds meanwhile, comes with the next ticks.
    const qint64 end = qMin(size, m_position + kReadPerCall);
    while (m_position < end) {
        const QByteArray chunk = m_file->read(qMin(kReadChunk, end - m_position));
        if (chunk.isEmpty()) {
            if (m_file->error() != QFileDevice::NoError)
                fail(QStringLiteral("Cannot read"), *m_file);
            break; // cut short meanwhile: the next tick notices
        }
        m_position += chunk.size();
        takeFingerprint(chunk);
        lines.feed(chunk);
    }
}

} // namespace arbelon
