#include "viewerdemofile.h"

#include "gamelayout.h"
#include "regularfile.h"
#include "viewernaming.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>

namespace arbelon {

namespace {

[[noreturn]] void fail(const char *what, const QString &path)
{
    throw EDemoFileError(std::string(what) + ": " + path.toStdString());
}

void requireInside(const QString &path, const QString &gameDir)
{
    if (!gamelayout::isInside(gameDir, path))
        fail("demo file outside the game directory", path);
    // A junction under the game folder would take the file elsewhere without a word.
    if (crossesReparsePoint(gameDir, path))
        fail("the demo folder is a link to another place", QDir::toNativeSeparators(path));
    if (QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).size() > maxGamePathLength())
        fail(QStringLiteral("the demo path is longer than the game can open (%1 characters)")
                 .arg(maxGamePathLength())
                 .toUtf8()
                 .constData(),
             QDir::toNativeSeparators(path));
}

// The same checks as requireInside, for a file that is only a candidate: false, not an error.
bool isInside(const QString &path, const QString &gameDir)
{
    return gamelayout::isInside(gameDir, path) && !crossesReparsePoint(gameDir, path);
}

// Bytes compared or copied at a time, so that a large demo never sits in memory whole.
constexpr qint64 kChunk = 1 << 20;

// The C runtime on Windows knows no disk quota error.
bool diskFull(int error)
{
#ifdef EDQUOT
    if (error == EDQUOT)
        return true;
#endif
    return error == ENOSPC || error == EFBIG;
}

} // namespace

void ViewerDemoFile::makeFolder(const QString &path, const QString &gameDir)
{
    requireInside(path, gameDir);
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        fail("cannot make the demo folder", folder);
}

QString ViewerDemoFile::create(const QString &path, const QString &gameDir)
{
    close();
    makeFolder(path, gameDir);
    // Unbuffered: every block reaches the file in one write, visible to readers at once.
    // NewOnly creates the file exclusively, so an earlier demo is never truncated.
    constexpr QIODevice::OpenMode mode =
        QIODevice::NewOnly | QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered;
    for (int n = 1; n <= kMaxNumbered; ++n) {
        const QString candidate = n == 1 ? path : viewernaming::numberedPath(path, n);
        requireInside(candidate, gameDir);
        m_file.setFileName(candidate);
        if (m_file.open(mode)) {
            m_size = 0;
            return candidate;
        }
        const QFileInfo info(candidate);
        // Anything else than a name already taken is a real failure.
        if (!info.exists() && !info.isSymLink())
            fail("cannot create the demo file", candidate);
    }
    fail("no free name for the demo file", path);
}

QStringList ViewerDemoFile::earlierDemos(const QString &folder, const QString &safeGameName,
                                         const QString &extension)
{
    QStringList found;
    const QDir dir(folder);
    const QStringList names = dir.entryList({safeGameName + QLatin1Char('*') + extension},
                                            QDir::Files | QDir::NoSymLinks | QDir::Hidden, QDir::Time);
    for (const QString &name : names) {
        if (!viewernaming::isDemoOfGame(name, safeGameName, extension))
            continue;
        found.append(dir.filePath(name));
        if (found.size() == kMaxEarlier)
            break;
    }
    return found;
}

bool ViewerDemoFile::resume(const QString &path, const QString &gameDir, QByteArrayView first)
{
    close();
    const QFileInfo info(path);
    if (first.isEmpty() || !isInside(path, gameDir) || info.isSymLink() || !info.isFile()
        || info.size() < first.size())
        return false;
    // Read through a check that opens only a regular file and never waits.
    QFile probe;
    if (openRegularForReading(probe, path, QIODevice::Unbuffered) != RegularOpen::Opened)
        return false;
    const std::optional<FileIdentity> identity = fileIdentity(probe);
    if (!identity || probe.read(first.size()) != first)
        return false;
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return false;
    // The name may have been given to another file since the probe.
    if (fileIdentity(m_file) != identity) {
        m_file.close();
        return false;
    }
    m_identity = identity;
    m_held = m_file.size();
    m_size = 0;
    return true;
}

bool ViewerDemoFile::append(QByteArrayView bytes)
{
    if (!m_file.isOpen())
        throw EDemoFileError("no demo file open");
    if (m_size < m_held) {
        const qint64 overlap = qMin<qint64>(bytes.size(), m_held - m_size);
        for (qint64 at = 0; at < overlap; at += kChunk) {
            const qint64 n = qMin(kChunk, overlap - at);
            // A file cut short meanwhile differs as much as one that holds other bytes.
            if (!m_file.seek(m_size + at) || m_file.read(n) != bytes.sliced(at, n))
                return false;
        }
        m_size += overlap;
        bytes = bytes.sliced(overlap);
        if (bytes.isEmpty())
            return true;
    }
    // A file taken up is not opened for appending: the bytes go past what it held.
    if (m_held > 0 && !m_file.seek(m_size))
        throw EDemoFileError(QStringLiteral("Cannot write the demo file %1: %2")
                                 .arg(QDir::toNativeSeparators(m_file.fileName()), m_file.errorString())
                                 .toStdString());
    const qint64 written = m_file.write(bytes.data(), bytes.size());
    const int error = errno;
    if (written != bytes.size()) {
        // A block written in part would leave a demo the game cannot play to its end.
        m_file.resize(m_size);
        QString why;
        if (diskFull(error))
            why = QStringLiteral("the disk is full");
        else if (error == EROFS || error == EACCES || error == EPERM)
            why = QStringLiteral("the folder is read only");
        else
            why = m_file.errorString();
        throw EDemoFileError(QStringLiteral("Cannot write the demo file %1: %2")
                                 .arg(QDir::toNativeSeparators(m_file.fileName()), why)
                                 .toStdString());
    }
    m_size += written;
    return true;
}

QString ViewerDemoFile::branch(const QString &path, const QString &gameDir)
{
    const qint64 matched = m_size;
    const QString earlier = m_file.fileName();
    const std::optional<FileIdentity> identity = m_identity;
    close();
    QFile source;
    if (openRegularForReading(source, earlier, QIODevice::Unbuffered) != RegularOpen::Opened
        || fileIdentity(source) != identity)
        fail("the demo file changed while it was taken up", QDir::toNativeSeparators(earlier));
    const QString used = create(path, gameDir);
    try {
        for (qint64 at = 0; at < matched; at += kChunk) {
            const qint64 n = qMin(kChunk, matched - at);
            const QByteArray part = source.read(n);
            if (part.size() != n)
                fail("the demo file changed while it was taken up", QDir::toNativeSeparators(earlier));
            append(part);
        }
    } catch (const EDemoFileError &) {
        // A part of a demo in the new file would read as the whole demo.
        m_file.remove();
        close();
        throw;
    }
    return used;
}

void ViewerDemoFile::readBack(const std::function<void(QByteArrayView)> &part) const
{
    const QString path = m_file.fileName();
    QFile source;
    const std::optional<FileIdentity> identity = fileIdentity(m_file);
    if (!m_file.isOpen() || !identity || openRegularForReading(source, path, QIODevice::Unbuffered) != RegularOpen::Opened
        || fileIdentity(source) != identity)
        fail("the demo file cannot be read back", QDir::toNativeSeparators(path));
    for (qint64 at = 0; at < m_size; at += kChunk) {
        const qint64 n = qMin(kChunk, m_size - at);
        const QByteArray bytes = source.read(n);
        if (bytes.size() != n)
            fail("the demo file was cut short", QDir::toNativeSeparators(path));
        part(bytes);
    }
}

void ViewerDemoFile::close()
{
    if (m_file.isOpen())
        m_file.close();
    m_size = 0;
    m_held = 0;
    m_identity.reset();
}

} // namespace arbelon
