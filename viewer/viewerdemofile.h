#pragma once
// The demo file a Viewer writes: created new inside the game directory, or an earlier copy of
// the same demo taken up again, then kept open for appending between blocks so that the game
// can read it while it grows.

#include "regularfile.h"

#include <QByteArrayView>
#include <QFile>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <stdexcept>

namespace arbelon {

// A demo file that cannot be named, placed or written; ends the session like any handler error.
class EDemoFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ViewerDemoFile {
public:
    // Most "_n" variants tried when a demo file of the same name already exists.
    static constexpr int kMaxNumbered = 999;
    // Earlier demos of a game looked at, newest first, when one of its demos begins.
    static constexpr int kMaxEarlier = 16;

    // Creates the folder of path, with its parents, when path lies inside gameDir.
    static void makeFolder(const QString &path, const QString &gameDir);

    // Creates a new, empty file at path and keeps it open for appending. A file that already
    // exists is never touched: the name gets "_2", "_3", ... before its extension instead.
    // Returns the path used.
    QString create(const QString &path, const QString &gameDir);

    // The demo files of a folder that a Viewer named for a game (its safe name) with that
    // extension, newest first, at most kMaxEarlier; live copies are none of them.
    static QStringList earlierDemos(const QString &folder, const QString &safeGameName,
                                    const QString &extension);

    // Takes up the demo file at path, a regular file inside gameDir, when it begins with the
    // bytes first: a demo that arrives again from its start goes on in the file that holds it.
    // False, with nothing opened or changed, otherwise.
    bool resume(const QString &path, const QString &gameDir, QByteArrayView first);
    // What the file held when it was taken up (0 for a new file).
    qint64 held() const { return m_held; }

    // Appends all bytes, straight to the file so that readers see them at once. A write that
    // fails (a full disk) takes back what it wrote, so the file holds only whole blocks, and
    // throws EDemoFileError saying why. In a file taken up, bytes within what it held are
    // compared, not written: false, with nothing changed, when they differ there.
    bool append(QByteArrayView bytes);
    // The file taken up holds another demo from here on: the bytes that matched go into a new
    // file created at path as create() does, which then takes the demo's further bytes. The
    // earlier file is left as it was. Returns the path used.
    QString branch(const QString &path, const QString &gameDir);
    // The demo's bytes in the open file (written, or found there when taken up).
    qint64 size() const { return m_size; }
    bool isOpen() const { return m_file.isOpen(); }
    // Hands the demo's bytes in the open file (size() of them) to part, from the start, a part
    // at a time, read through a handle of its own. Throws EDemoFileError when the file under its
    // name is no longer the one written, or holds fewer bytes.
    void readBack(const std::function<void(QByteArrayView)> &part) const;
    void close();

private:
    QFile m_file;
    qint64 m_size = 0;
    qint64 m_held = 0;
    std::optional<FileIdentity> m_identity; // of the file taken up
};

} // namespace arbelon
