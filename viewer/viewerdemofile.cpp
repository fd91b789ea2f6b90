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
                 .arg(maxGamePathLength()).toUtf8().constData(),
             QDir::toNativeSeparators(path));
}

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

void ViewerDemoFile::append(QByteArrayView bytes)
{
    if (!m_file.isOpen())
        throw EDemoFileError("no demo file open");
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
}

void ViewerDemoFile::close()
{
    if (m_file.isOpen())
        m_file.close();
    m_size = 0;
}

} // namespace arbelon
