#pragma once
// The game's console log, open for reading while the game writes it. Opened at its end (what
// it held before is never read) and then read from the last position to its current end.
// A log that the game started anew (shorter than the read position, or no longer holding the
// bytes just before it) is read again from its start.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>

namespace arbelon {

class ConsoleLog;

class ConsoleLogReader {
public:
    // Bytes kept from just before the read position, to notice a log that was rewritten.
    static constexpr qsizetype kFingerprintBytes = 64;
    // The log is read in pieces of this size, so one tick never holds a whole log in memory.
    static constexpr qint64 kReadChunk = 1 << 20;
    // At most this much is read in one call; a bigger log (one rewritten whole, or a flood)
    // is read in slices over the next ticks, so no tick holds up the window for long.
    static constexpr qint64 kReadPerCall = 4 * kReadChunk;

    ConsoleLogReader();
    ~ConsoleLogReader();

    bool isOpen() const { return m_file != nullptr; }
    // The path the log was opened with, and its canonical form (empty while closed).
    QString path() const { return m_path; }
    QString canonicalPath() const { return m_canonicalPath; }
    qint64 position() const { return m_position; }
    // How often the log was found rewritten and read again from its start.
    int restarts() const { return m_restarts; }

    // Opens the file for reading at its end. False (nothing open) when it is no regular file;
    // throws std::runtime_error when it cannot be opened.
    bool open(const QString &path);
    void close();

    // Reads from the read position towards the current end (at most kReadPerCall) into lines.
    // Throws std::runtime_error when the log cannot be read.
    void readInto(ConsoleLog &lines);

    // Whether path names the file held open here.
    bool holds(const QString &path) const;
    // Whether the path it was opened with now names another file (the game made a new log
    // under the same name) or none.
    bool replaced() const;
    // Reads the held file again from its start.
    void rewind();

private:
    bool rewritten(qint64 size);
    void takeFingerprint(const QByteArray &lastRead);

    std::unique_ptr<QFile> m_file;
    QString m_path;
    QString m_canonicalPath;
    qint64 m_position = 0;
    QByteArray m_fingerprint; // the bytes just before m_position
    int m_restarts = 0;
};

} // namespace arbelon
