// Opening game files on Windows: CreateFileW with the sharing the game needs (read and write,
// and delete unless the file is kept from deletion), never through a reparse point, and only
// when the handle is a plain disk file. The handle is then given to QFile as a C runtime
// descriptor.
#include "regularfile.h"

#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace arbelon {

namespace {

QString systemMessage(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                       | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = n ? QString::fromWCharArray(text, int(n)).trimmed() : QStringLiteral("error %1").arg(error);
    LocalFree(text);
    return message;
}

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).toStdWString();
}

std::optional<FileIdentity> identityOf(HANDLE h)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info))
        return std::nullopt;
    return FileIdentity{quint64(info.dwVolumeSerialNumber),
                        (quint64(info.nFileIndexHigh) << 32) | quint64(info.nFileIndexLow)};
}

} // namespace

RegularOpen openRegularForReading(QFile &file, const QString &path, QIODevice::OpenMode extra, QString *why,
                                  Sharing sharing)
{
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    if (sharing == Sharing::Deletable)
        share |= FILE_SHARE_DELETE;
    // OPEN_REPARSE_POINT: a junction or link is opened as itself, and then refused below.
    HANDLE h = CreateFileW(nativePath(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (why)
            *why = systemMessage(error);
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? RegularOpen::Missing
                                                                              : RegularOpen::Failed;
    }
    // A device name ("CON", "NUL", "COM1", also with an extension) opens a device, not a file.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return RegularOpen::NotRegular;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) {
        if (why)
            *why = systemMessage(GetLastError());
        CloseHandle(h);
        return RegularOpen::Failed;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (why)
            *why = systemMessage(ERROR_DIRECTORY);
        CloseHandle(h);
        return RegularOpen::Failed;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        CloseHandle(h);
        return RegularOpen::NotRegular;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        if (why)
            *why = QStringLiteral("no descriptor for the file");
        CloseHandle(h);
        return RegularOpen::Failed;
    }
    file.setFileName(path);
    if (!file.open(fd, QIODevice::ReadOnly | extra, QFileDevice::AutoCloseHandle)) {
        if (why)
            *why = file.errorString();
        _close(fd);
        return RegularOpen::Failed;
    }
    return RegularOpen::Opened;
}

std::optional<FileIdentity> fileIdentity(const QFile &openFile)
{
    if (openFile.handle() < 0)
        return std::nullopt;
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(openFile.handle()));
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    return identityOf(h);
}

std::optional<FileIdentity> fileIdentity(const QString &path)
{
    // No access asked for: only the identity is read, and the game may hold the file as it likes.
    HANDLE h = CreateFileW(nativePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    const auto id = identityOf(h);
    CloseHandle(h);
    return id;
}

bool crossesReparsePoint(const QString &root, const QString &path)
{
    const QString base = QDir::cleanPath(QFileInfo(root).absoluteFilePath());
    QString at = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    while (at.size() > base.size() && at.startsWith(base, Qt::CaseInsensitive)) {
        const DWORD attributes = GetFileAttributesW(QDir::toNativeSeparators(at).toStdWString().c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return true;
        const qsizetype slash = at.lastIndexOf(QLatin1Char('/'));
        if (slash < 0)
            break;
        at.truncate(slash);
    }
    return false;
}

qsizetype maxGamePathLength()
{
    return MAX_PATH - 1;
}

} // namespace arbelon
