#include "regularfile.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace arbelon {

RegularOpen openRegularForReading(QFile &file, const QString &path, QIODevice::OpenMode extra, QString *why,
                                  Sharing)
{
    const QByteArray name = QFile::encodeName(path);
    // Non-blocking: opening a FIFO for reading otherwise waits for a writer.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (why)
            *why = QString::fromLocal8Bit(std::strerror(error));
        return error == ENOENT ? RegularOpen::Missing : RegularOpen::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        // A folder is a mistake the user is told of, as when a plain open refuses it.
        if (why)
            *why = QString::fromLocal8Bit(std::strerror(EISDIR));
        ::close(fd);
        return RegularOpen::Failed;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return RegularOpen::NotRegular;
    }
    // Reads of a regular file never wait; the flag goes so Qt sees a plain descriptor.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    file.setFileName(path);
    if (!file.open(fd, QIODevice::ReadOnly | extra, QFileDevice::AutoCloseHandle)) {
        if (why)
            *why = file.errorString();
        ::close(fd);
        return RegularOpen::Failed;
    }
    return RegularOpen::Opened;
}

std::optional<FileIdentity> fileIdentity(const QFile &openFile)
{
    struct stat st {};
    if (openFile.handle() < 0 || ::fstat(openFile.handle(), &st) != 0)
        return std::nullopt;
    return FileIdentity{quint64(st.st_dev), quint64(st.st_ino)};
}

std::optional<FileIdentity> fileIdentity(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return FileIdentity{quint64(st.st_dev), quint64(st.st_ino)};
}

bool crossesReparsePoint(const QString &, const QString &)
{
    return false;
}

qsizetype maxGamePathLength()
{
    return PATH_MAX - 1;
}

} // namespace arbelon
