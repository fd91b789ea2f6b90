#pragma once
// The archive's index: one row per demo in an SQLite file inside the archive folder, so that
// a page of the newest demos, a lookup by path and the oldest demo to delete cost an index
// seek whatever the archive holds, and a start needs no walk of the folder first. Not
// thread-safe: its owner locks around it.

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

struct sqlite3;
struct sqlite3_stmt;

namespace arbelon {

struct ArchivedDemo {
    QString relPath; // "<yyyy-MM-dd>/<game>_<HHmmss>.<ext>", below the archive folder
    QString game;    // the game's name as the Filmer sent it
    QString filmer;
    qint32 gameType = 0;
    QDateTime startedUtc;
    qint64 bytes = 0;
    qint64 diskBytes = 0;   // what it and its sidecar take on the disk, in whole blocks
    quint32 liveGameId = 0; // the game this run of the relay carried it for, or 0
    bool open = false;      // still being written
    // What was on, once the demo has been read (empty for a demo nobody could read).
    QString map;
    QString mode;
    QString players; // the names without colour codes, one per line
    QString score;
    qint64 lengthMs = 0;
};

// What a search of the archive asks for; empty fields ask nothing.
struct ArchiveQuery {
    QString map;    // the whole name, any case
    QString player; // a part of a name, any case; no wildcards
    QString mode;
    qint64 fromMs = 0; // started at or after (0: any)
    qint64 toMs = 0;   // started before (0: any)
    bool isEmpty() const { return map.isEmpty() && player.isEmpty() && mode.isEmpty() && !fromMs && !toMs; }
};

class ArchiveIndex {
public:
    struct Page {
        QList<ArchivedDemo> demos; // newest first
        QString next;              // the cursor of the following page; empty at the end
    };

    ArchiveIndex() = default;
    ~ArchiveIndex();
    ArchiveIndex(const ArchiveIndex &) = delete;
    ArchiveIndex &operator=(const ArchiveIndex &) = delete;

    // Opens the file, or makes it. A file that is not a sound index of ours is moved aside
    // (".damaged") and made anew: rebuilt() then tells the owner to fill it from the folder.
    // Demos left open by an earlier run are closed, and no demo belongs to a live game.
    bool open(const QString &path, QString *error);
    bool rebuilt() const { return m_rebuilt; }

    bool put(const ArchivedDemo &demo, bool replace); // by its path
    void setSize(const QString &relPath, qint64 bytes, qint64 diskBytes);
    void setClosed(const QString &relPath);
    void setFacts(const ArchivedDemo &facts); // map to lengthMs, by its path
    void remove(const QString &relPath);
    void begin();
    void commit();

    std::optional<ArchivedDemo> find(const QString &relPath) const;
    std::optional<ArchivedDemo> oldestClosed() const;
    // At most limit demos older than the cursor (empty: the newest). A cursor that does not
    // parse starts at the newest.
    Page page(const QString &before, int limit, const ArchiveQuery &query = {}) const;
    QList<ArchivedDemo> ofLiveGame(quint32 gameId) const;
    QStringList paths() const;
    qint64 count() const;
    qint64 diskBytes() const;

private:
    bool exec(const char *sql);
    // One statement whose only parameter (?1) is a demo's path.
    void onPath(const char *sql, const QString &relPath);
    sqlite3_stmt *prepare(const char *sql) const;
    bool makeSchema(QString *error);

    sqlite3 *m_db = nullptr;
    bool m_rebuilt = false;
};

} // namespace arbelon
