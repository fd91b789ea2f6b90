#include "archiveindex.h"

#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <memory>

namespace arbelon {

namespace {

constexpr int kSchemaVersion = 2;
constexpr const char *kColumns = "rel_path, game, filmer, game_type, started_ms, bytes, disk_bytes, live_game, open, "
                                 "map, mode, players, score, length_ms";
// What version 2 added to a version 1 file: kept as it is, the new columns empty.
constexpr const char *kFactColumns[] = {"map TEXT NOT NULL DEFAULT ''", "mode TEXT NOT NULL DEFAULT ''",
                                        "players TEXT NOT NULL DEFAULT ''", "score TEXT NOT NULL DEFAULT ''",
                                        "length_ms INTEGER NOT NULL DEFAULT 0"};

// A text matched as itself inside LIKE: its wildcards and the escape taken literally.
QString likeLiteral(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c == u'%' || c == u'_' || c == u'\\')
            out += u'\\';
        out += c;
    }
    return out;
}

struct Finalize {
    void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

void bindText(sqlite3_stmt *s, int i, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(s, i, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

QString columnText(sqlite3_stmt *s, int i)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(s, i)), sqlite3_column_bytes(s, i));
}

ArchivedDemo readRow(sqlite3_stmt *s)
{
    ArchivedDemo d;
    d.relPath = columnText(s, 0);
    d.game = columnText(s, 1);
    d.filmer = columnText(s, 2);
    d.gameType = sqlite3_column_int(s, 3);
    d.startedUtc = QDateTime::fromMSecsSinceEpoch(sqlite3_column_int64(s, 4), Qt::UTC);
    d.bytes = sqlite3_column_int64(s, 5);
    d.diskBytes = sqlite3_column_int64(s, 6);
    d.liveGameId = quint32(sqlite3_column_int64(s, 7));
    d.open = sqlite3_column_int(s, 8) != 0;
    d.map = columnText(s, 9);
    d.mode = columnText(s, 10);
    d.players = columnText(s, 11);
    d.score = columnText(s, 12);
    d.lengthMs = sqlite3_column_int64(s, 13);
    return d;
}

QString cursorOf(const ArchivedDemo &d)
{
    return QString::number(d.startedUtc.toMSecsSinceEpoch()) + u'.' + d.relPath;
}

} // namespace

ArchiveIndex::~ArchiveIndex()
{
    sqlite3_close(m_db);
}

bool ArchiveIndex::exec(const char *sql)
{
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

sqlite3_stmt *ArchiveIndex::prepare(const char *sql) const
{
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(m_db, sql, -1, &s, nullptr) != SQLITE_OK) {
        sqlite3_finalize(s);
        return nullptr;
    }
    return s;
}

bool ArchiveIndex::open(const QString &path, QString *error)
{
    const QByteArray file = QFile::encodeName(path);
    for (int attempt = 0; attempt < 2; ++attempt) {
        sqlite3_close(m_db);
        m_db = nullptr;
        const QFileInfo info(path);
        const bool existed = info.exists() || info.isSymLink();
        // Only a plain file is ours to write: a link could lead the writes out of the folder.
        const bool plain = !existed || (info.isFile() && !info.isSymLink());
        if (plain && sqlite3_open_v2(file.constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr)
            == SQLITE_OK) {
            sqlite3_busy_timeout(m_db, 2000);
            if (makeSchema(error)) {
                m_rebuilt = m_rebuilt || !existed;
                return true;
            }
        }
        // Not ours, damaged, or of another version: set aside, never deleted, and made anew.
        sqlite3_close(m_db);
        m_db = nullptr;
        const QString aside = path + QStringLiteral(".damaged");
        QFile::remove(aside);
        QFile::remove(path + QStringLiteral("-wal"));
        QFile::remove(path + QStringLiteral("-shm"));
        if (QFile::exists(path) && !QFile::rename(path, aside)) {
            *error = QStringLiteral("the archive index %1 is damaged and cannot be moved aside").arg(path);
            return false;
        }
        m_rebuilt = true;
    }
    if (error->isEmpty())
        *error = QStringLiteral("cannot make the archive index %1").arg(path);
    return false;
}

bool ArchiveIndex::makeSchema(QString *error)
{
    Statement check(prepare("PRAGMA quick_check"));
    if (!check || sqlite3_step(check.get()) != SQLITE_ROW || columnText(check.get(), 0) != QStringLiteral("ok"))
        return false;
    check.reset();
    Statement version(prepare("PRAGMA user_version"));
    if (!version || sqlite3_step(version.get()) != SQLITE_ROW)
        return false;
    const int found = sqlite3_column_int(version.get(), 0);
    version.reset();
    if (found != 0 && found != 1 && found != kSchemaVersion) // 1: the columns of what was on are added
        return false;
    // WAL: pages are read while the writer writes. NORMAL: a power cut may lose the last
    // changes, which the next start's check of the folder puts back.
    if (!exec("PRAGMA journal_mode=WAL") || !exec("PRAGMA synchronous=NORMAL"))
        return false;
    bool made = exec("CREATE TABLE IF NOT EXISTS demos(rel_path TEXT PRIMARY KEY, game TEXT NOT NULL, "
                     "filmer TEXT NOT NULL, game_type INTEGER NOT NULL, started_ms INTEGER NOT NULL, "
                     "bytes INTEGER NOT NULL, disk_bytes INTEGER NOT NULL, live_game INTEGER NOT NULL DEFAULT 0, "
                     "open INTEGER NOT NULL DEFAULT 0) WITHOUT ROWID");
    for (const char *column : kFactColumns) {
        if (found < 2)
            made = made && exec((QByteArray("ALTER TABLE demos ADD COLUMN ") + column).constData());
    }
    made = made
                      && exec("CREATE INDEX IF NOT EXISTS demos_newest ON demos(started_ms DESC, rel_path DESC)")
                      && exec("CREATE INDEX IF NOT EXISTS demos_live ON demos(live_game) WHERE live_game != 0")
                      && exec("CREATE INDEX IF NOT EXISTS demos_map ON demos(map COLLATE NOCASE, started_ms DESC)")
                      && exec("PRAGMA user_version=2") && exec("UPDATE demos SET live_game = 0, open = 0");
    if (!made)
        *error = QString::fromUtf8(sqlite3_errmsg(m_db));
    return made;
}

void ArchiveIndex::begin()
{
    exec("BEGIN");
}

void ArchiveIndex::commit()
{
    exec("COMMIT");
}

bool ArchiveIndex::put(const ArchivedDemo &d, bool replace)
{
    const QByteArray sql = QByteArray(replace ? "INSERT OR REPLACE" : "INSERT OR IGNORE") + " INTO demos(" + kColumns
                           + ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)";
    Statement s(prepare(sql.constData()));
    if (!s)
        return false;
    bindText(s.get(), 1, d.relPath);
    bindText(s.get(), 2, d.game);
    bindText(s.get(), 3, d.filmer);
    sqlite3_bind_int(s.get(), 4, d.gameType);
    sqlite3_bind_int64(s.get(), 5, d.startedUtc.toMSecsSinceEpoch());
    sqlite3_bind_int64(s.get(), 6, d.bytes);
    sqlite3_bind_int64(s.get(), 7, d.diskBytes);
    sqlite3_bind_int64(s.get(), 8, d.liveGameId);
    sqlite3_bind_int(s.get(), 9, d.open ? 1 : 0);
    bindText(s.get(), 10, d.map);
    bindText(s.get(), 11, d.mode);
    bindText(s.get(), 12, d.players);
    bindText(s.get(), 13, d.score);
    sqlite3_bind_int64(s.get(), 14, d.lengthMs);
    return sqlite3_step(s.get()) == SQLITE_DONE && sqlite3_changes(m_db) > 0;
}

void ArchiveIndex::setFacts(const ArchivedDemo &d)
{
    Statement s(prepare("UPDATE demos SET map = ?2, mode = ?3, players = ?4, score = ?5, length_ms = ?6 WHERE rel_path = ?1"));
    if (!s)
        return;
    bindText(s.get(), 1, d.relPath);
    bindText(s.get(), 2, d.map);
    bindText(s.get(), 3, d.mode);
    bindText(s.get(), 4, d.players);
    bindText(s.get(), 5, d.score);
    sqlite3_bind_int64(s.get(), 6, d.lengthMs);
    sqlite3_step(s.get());
}

void ArchiveIndex::setSize(const QString &relPath, qint64 bytes, qint64 diskBytes)
{
    Statement s(prepare("UPDATE demos SET bytes = ?2, disk_bytes = ?3 WHERE rel_path = ?1"));
    if (!s)
        return;
    bindText(s.get(), 1, relPath);
    sqlite3_bind_int64(s.get(), 2, bytes);
    sqlite3_bind_int64(s.get(), 3, diskBytes);
    sqlite3_step(s.get());
}

void ArchiveIndex::onPath(const char *sql, const QString &relPath)
{
    Statement s(prepare(sql));
    if (!s)
        return;
    bindText(s.get(), 1, relPath);
    sqlite3_step(s.get());
}

void ArchiveIndex::setClosed(const QString &relPath)
{
    onPath("UPDATE demos SET open = 0 WHERE rel_path = ?1", relPath);
}

void ArchiveIndex::remove(const QString &relPath)
{
    onPath("DELETE FROM demos WHERE rel_path = ?1", relPath);
}

std::optional<ArchivedDemo> ArchiveIndex::find(const QString &relPath) const
{
    const QByteArray sql = QByteArray("SELECT ") + kColumns + " FROM demos WHERE rel_path = ?1";
    Statement s(prepare(sql.constData()));
    if (!s)
        return std::nullopt;
    bindText(s.get(), 1, relPath);
    if (sqlite3_step(s.get()) != SQLITE_ROW)
        return std::nullopt;
    return readRow(s.get());
}

std::optional<ArchivedDemo> ArchiveIndex::oldestClosed() const
{
    const QByteArray sql = QByteArray("SELECT ") + kColumns
                           + " FROM demos WHERE open = 0 ORDER BY started_ms ASC, rel_path ASC LIMIT 1";
    Statement s(prepare(sql.constData()));
    if (!s || sqlite3_step(s.get()) != SQLITE_ROW)
        return std::nullopt;
    return readRow(s.get());
}

ArchiveIndex::Page ArchiveIndex::page(const QString &before, int limit, const ArchiveQuery &q) const
{
    Page out;
    const qsizetype dot = before.indexOf(u'.');
    bool numeric = false;
    const qint64 ms = dot > 0 ? before.left(dot).toLongLong(&numeric) : 0;
    const bool after = numeric && dot + 1 < before.size();
    // Every value the user gave is a bound parameter; the text here is only ours.
    QByteArrayList where;
    if (after)
        where << "(started_ms, rel_path) < (?1, ?2)";
    if (!q.map.isEmpty())
        where << "map = ?4 COLLATE NOCASE";
    if (!q.player.isEmpty())
        where << "players LIKE '%' || ?5 || '%' ESCAPE '\\'";
    if (!q.mode.isEmpty())
        where << "mode = ?6 COLLATE NOCASE";
    if (q.fromMs)
        where << "started_ms >= ?7";
    if (q.toMs)
        where << "started_ms < ?8";
    const QByteArray sql = QByteArray("SELECT ") + kColumns + " FROM demos"
                           + (where.isEmpty() ? QByteArray() : " WHERE " + where.join(" AND "))
                           + " ORDER BY started_ms DESC, rel_path DESC LIMIT ?3";
    Statement s(prepare(sql.constData()));
    if (!s)
        return out;
    if (after) {
        sqlite3_bind_int64(s.get(), 1, ms);
        bindText(s.get(), 2, before.mid(dot + 1));
    }
    bindText(s.get(), 4, q.map);
    bindText(s.get(), 5, likeLiteral(q.player));
    bindText(s.get(), 6, q.mode);
    sqlite3_bind_int64(s.get(), 7, q.fromMs);
    sqlite3_bind_int64(s.get(), 8, q.toMs);
    // One more than asked: whether a next page exists.
    sqlite3_bind_int(s.get(), 3, qMax(1, limit) + 1);
    while (sqlite3_step(s.get()) == SQLITE_ROW)
        out.demos.append(readRow(s.get()));
    if (out.demos.size() > qMax(1, limit)) {
        out.demos.removeLast();
        out.next = cursorOf(out.demos.constLast());
    }
    return out;
}

QList<ArchivedDemo> ArchiveIndex::ofLiveGame(quint32 gameId) const
{
    QList<ArchivedDemo> out;
    const QByteArray sql = QByteArray("SELECT ") + kColumns
                           + " FROM demos WHERE live_game = ?1 AND live_game != 0 ORDER BY started_ms DESC, rel_path DESC";
    Statement s(prepare(sql.constData()));
    if (!s)
        return out;
    sqlite3_bind_int64(s.get(), 1, gameId);
    while (sqlite3_step(s.get()) == SQLITE_ROW)
        out.append(readRow(s.get()));
    return out;
}

QStringList ArchiveIndex::paths() const
{
    QStringList out;
    Statement s(prepare("SELECT rel_path FROM demos"));
    while (s && sqlite3_step(s.get()) == SQLITE_ROW)
        out.append(columnText(s.get(), 0));
    return out;
}

qint64 ArchiveIndex::count() const
{
    Statement s(prepare("SELECT COUNT(*) FROM demos"));
    return s && sqlite3_step(s.get()) == SQLITE_ROW ? sqlite3_column_int64(s.get(), 0) : 0;
}

qint64 ArchiveIndex::diskBytes() const
{
    Statement s(prepare("SELECT TOTAL(disk_bytes) FROM demos"));
    return s && sqlite3_step(s.get()) == SQLITE_ROW ? qint64(sqlite3_column_double(s.get(), 0)) : 0;
}

} // namespace arbelon
