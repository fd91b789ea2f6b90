#pragma once
// Opening a file of a game's folder that someone else may have put there: only a regular file
// is opened. A FIFO or a device (on Windows also "CON", "NUL", "COM1") would block the open,
// and the whole client with it, or feed bytes without end; the check is made on the opened
// file, and the open itself never waits. On Windows a reparse point (a junction or a symbolic
// link) is not followed either. One implementation per platform: regularfile.cpp (POSIX),
// win32regularfile.cpp.

#include <QFile>
#include <QString>

#include <optional>

namespace arbelon {

enum class RegularOpen { Opened,
                         Missing,
                         NotRegular,
                         Failed };

// What the game may do with a file while the client holds it open. It may always read and
// write it; Deletable also lets it (or anyone) delete or rename it. A console log is held as
// KeepFromDeletion, so that deleting the log the client reads fails (Windows keeps that
// promise; elsewhere a file can always be deleted).
enum class Sharing { Deletable,
                     KeepFromDeletion };

// Opens path for reading (ReadOnly plus the extra flags) into file when it is a regular file.
// On Failed, why holds the system's reason; a folder is Failed, any other special file
// (FIFO, device, socket, reparse point) NotRegular.
RegularOpen openRegularForReading(QFile &file, const QString &path, QIODevice::OpenMode extra = {},
                                  QString *why = nullptr, Sharing sharing = Sharing::Deletable);

// Which file a name or an open file is: device and inode on Linux, volume serial number and
// file index on Windows. Two equal identities are one file.
struct FileIdentity {
    quint64 volume = 0;
    quint64 index = 0;
    friend bool operator==(const FileIdentity &, const FileIdentity &) = default;
};
std::optional<FileIdentity> fileIdentity(const QFile &openFile);
std::optional<FileIdentity> fileIdentity(const QString &path);

// Whether an existing folder or file on the way from root (excluded) down to path is a link
// that the system follows without the client seeing it. On Windows: a reparse point (junction
// or symbolic link). Elsewhere always false: symbolic links are resolved and checked by the
// callers themselves.
bool crossesReparsePoint(const QString &root, const QString &path);

// The longest file path the games can open: MAX_PATH less its terminating zero on Windows
// (the engines use the plain API), PATH_MAX less one elsewhere.
qsizetype maxGamePathLength();

} // namespace arbelon
