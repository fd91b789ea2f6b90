#pragma once
// The demo file a Viewer writes: created new inside the game directory, then kept open for
// appending between blocks so that the game can read it while it grows.

#include <QByteArrayView>
#include <QFile>
#include <QString>

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

    // Creates the folder of path, with its parents, when path lies inside gameDir.
    static void makeFolder(const QString &path, const QString &gameDir);

    // Creates a new, empty file at path and keeps it open for appending. A file that already
    // exists is never touched: the name gets "_2", "_3", ... before its extension instead.
    // Returns the path used.
    QString create(const QString &path, const QString &gameDir);

    // Appends all bytes, straight to the file so that readers see them at once. A write that
    // fails (a full disk) takes back what it wrote, so the file holds only whole blocks, and
    // throws EDemoFileError saying why.
    void append(QByteArrayView bytes);
    // The size of the open file.
    qint64 size() const { return m_size; }
    bool isOpen() const { return m_file.isOpen(); }
    void close();

private:
    QFile m_file;
    qint64 m_size = 0;
};

} // namespace arbelon
