#pragma once
// The game's autoexec configuration as the client needs it: it must switch the console log on,
// so that the Filmer's game reports the demos it records and the game a Viewer plays live says
// when it reached the end of what has arrived.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <stdexcept>

namespace arbelon::autoexec {

// A file larger than this is no configuration the game would run; it is left alone.
constexpr qint64 kMaxBytes = 4 * 1024 * 1024;

// "logfile 2" for Quake 2; seta logfile "2" for Quake 3.
QByteArray loggingLine(int gameType);

// Lines as the configuration holds them: ended by line feed, carriage return and line feed,
// or a lone carriage return; a last line without an end counts; nothing after a final end.
QList<QByteArray> splitLines(QByteArrayView content);

// Some line, upper-cased, holds "LOGFILE" and also a "2" anywhere.
bool hasLoggingLine(const QList<QByteArray> &lines);

// Makes sure the configuration at path switches the console log on: when no logging line is
// there (or the file is missing), appends one and writes every line back, each ended by
// carriage return and line feed. An existing logging line is never changed. Returns true when
// the file was written. Throws std::runtime_error when the file cannot be read or written;
// the file is then left as it was.
// A path that is there but no regular file (a FIFO would block the client) throws NotAFile
// and is left alone.
bool ensureLogging(const QString &path, int gameType);
// The same with the engine's own logging line.
bool ensureLogging(const QString &path, const QByteArray &loggingLine);

class NotAFile : public std::runtime_error {
public:
    explicit NotAFile(const QString &path) : std::runtime_error(path.toStdString()) {}
};

} // namespace arbelon::autoexec
