#pragma once
// Opening a file of a game's folder that someone else may have put there: only a regular file
// is opened. A FIFO or a device would block the open (and the whole client with it) or feed
// bytes without end; the check is made on the opened file, and the open itself never waits.

#include <QFile>
#include <QString>

namespace arbelon {

enum class RegularOpen { Opened, Missing, NotRegular, Failed };

// Opens path for reading (ReadOnly plus the extra flags) into file when it is a regular file.
// On Failed, why holds the system's reason; a folder is Failed, any other special file
// (FIFO, device, socket) NotRegular.
RegularOpen openRegularForReading(QFile &file, const QString &path, QIODevice::OpenMode extra = {},
                                  QString *why = nullptr);

} // namespace arbelon
