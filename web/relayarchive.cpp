#include "relayarchive.h"

#include "factspages.h"
#include "factsreader.h"
#include "records.h"
#include "relaylog.h"
#include "zlibcomp.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <algorithm>
#include <chrono>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace arbelon {

namespace {
const QString kQ2Extension = QStringLiteral("dm2");
// The sidecar holding what the file name cannot: the game's full name and its Filmer.
const QString kMetaSuffix = RelayArchive::sidecarSuffix();
// A sidecar holds the game's names and what was on: two hundred events at most.
constexpr qint64 kMaxMetaBytes = 256 * 1024;

QString dateFolderPattern() { return QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}$"); }
// What a file takes on the disk: whole blocks, not its length. 0 when it is not there.
qint64 diskUsage(const QString &path)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return qint64(st.st_blocks) * 512;
}

} // namespace

RelayArchive::RelayArchive(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options))
{
}

RelayArchive::~RelayArchive()
{
    m_quitScan.store(true);
    if (m_scanThread.joinable())
        m_scanThread.join();
    if (!m_thread.joinable())
        return;
    {
        const std::lock_guard lock(m_queueMutex);
        m_quit = true;
    }
    m_queueCv.notify_all();
    m_thread.join();
    writeLog(); // the writer's last words
}

QString RelayArchive::fileStem(const QByteArray &gameName)
{
    QString stem;
    for (const char c : gameName) {
        if (stem.size() >= 48)
            break;
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        stem.append(keep ? QChar::fromLatin1(c) : u'_');
    }
    return stem.isEmpty() ? QStringLiteral("game") : stem;
}

bool RelayArchive::start(QString *error)
{
    if (!QDir().mkpath(m_options.dir)) {
        *error = QStringLiteral("cannot make the archive folder %1").arg(m_options.dir);
        return false;
    }
    m_root = QFileInfo(m_options.dir).canonicalFilePath();
    if (m_root.isEmpty()) {
        *error = QStringLiteral("cannot resolve the archive folder %1").arg(m_options.dir);
        return false;
    }
    {
        const std::lock_guard lock(m_indexMutex);
        if (!m_index.open(m_root + u'/' + indexFileName(), error))
            return false;
        if (m_index.rebuilt())
            log(QStringLiteral("archive: index %1 missing or damaged; made anew from the folder").arg(indexFileName()));
        m_total = m_index.diskBytes();
        m_count = m_index.count();
    }
    m_logNotifier = std::make_unique<QSocketNotifier>(m_logLines.descriptor(), QSocketNotifier::Read);
    connect(m_logNotifier.get(), &QSocketNotifier::activated, this, &RelayArchive::writeLog);
    m_scanning.store(true);
    m_scanThread = std::thread([this] { scan(); });
    m_thread = std::thread([this] { run(); });
    return true;
}

// ---- what the folder holds --------------------------------------------------------

void RelayArchive::scan()
{
    static const QRegularExpression dateDir(dateFolderPattern());
    const QRegularExpression demoFile(QStringLiteral("^[A-Za-z0-9_-]{1,64}\\.(%1|%2)$")
                                          .arg(kQ2Extension, QRegularExpression::escape(m_options.q3Extension)));
    QStringList known;
    {
        const std::lock_guard lock(m_indexMutex);
        known = m_index.paths();
    }
    std::set<QString> unseen(known.begin(), known.end());
    qint64 added = 0, changed = 0, removed = 0;
    QList<ArchivedDemo> batch;
    // Taken in batches: the writer and the pages wait for one batch at most.
    const auto store = [&] {
        const std::lock_guard lock(m_indexMutex);
        m_index.begin();
        for (const ArchivedDemo &d : std::as_const(batch)) {
            // Only what is still there: a demo deleted since it was listed stays out.
            const QString path = m_root + u'/' + d.relPath;
            if (m_growing.count(d.relPath) || !QFileInfo::exists(path))
                continue;
            const std::optional<ArchivedDemo> had = m_index.find(d.relPath);
            if (!had) {
                m_index.put(d, false);
                m_total += d.diskBytes;
                ++m_count;
                ++added;
            } else if (had->bytes != d.bytes || had->diskBytes != d.diskBytes) {
                m_index.setSize(d.relPath, d.bytes, d.diskBytes);
                m_total += d.diskBytes - had->diskBytes;
                ++changed;
            }
        }
        m_index.commit();
        batch.clear();
    };
    const QFileInfoList days = QDir(m_root).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QFileInfo &day : days) {
        if (!dateDir.match(day.fileName()).hasMatch())
            continue;
        const QFileInfoList files = QDir(day.filePath()).entryInfoList(QDir::Files | QDir::NoSymLinks);
        for (const QFileInfo &f : files) {
            if (m_quitScan.load())
                return;
            if (!demoFile.match(f.fileName()).hasMatch())
                continue;
            ArchivedDemo d;
            d.relPath = day.fileName() + u'/' + f.fileName();
            unseen.erase(d.relPath);
            d.bytes = f.size();
            d.diskBytes = diskUsage(f.filePath()) + diskUsage(f.filePath() + kMetaSuffix);
            d.startedUtc = f.lastModified().toUTC();
            d.game = f.completeBaseName();
            d.gameType = f.suffix() == kQ2Extension ? 0 : 1;
            QFile meta(f.filePath() + kMetaSuffix);
            if (meta.open(QIODevice::ReadOnly) && meta.size() <= kMaxMetaBytes) {
                const QJsonObject o = QJsonDocument::fromJson(meta.read(kMaxMetaBytes)).object();
                d.game = o.value(QStringLiteral("game")).toString(d.game);
                d.filmer = o.value(QStringLiteral("filmer")).toString();
                const QDateTime started = QDateTime::fromString(o.value(QStringLiteral("started")).toString(), Qt::ISODate);
                if (started.isValid())
                    d.startedUtc = started.toUTC();
                web::readFactsSummary(o.value(QStringLiteral("facts")).toObject(), d);
            }
            batch.append(d);
            if (batch.size() >= 256)
                store();
        }
    }
    store();
    // Rows whose files went away under the index.
    {
        const std::lock_guard lock(m_indexMutex);
        m_index.begin();
        for (const QString &rel : unseen) {
            if (m_growing.count(rel) || QFileInfo::exists(m_root + u'/' + rel))
                continue;
            if (const std::optional<ArchivedDemo> had = m_index.find(rel)) {
                m_index.remove(rel);
                m_total -= had->diskBytes;
                --m_count;
                ++removed;
            }
        }
        m_index.commit();
    }
    m_scanning.store(false);
    log(QStringLiteral("archive: folder checked: %1 demos, %2 added to the index, %3 changed, %4 gone")
            .arg(demoCount())
            .arg(added)
            .arg(changed)
            .arg(removed));
}

QList<ArchivedDemo> RelayArchive::withGrowth(QList<ArchivedDemo> demos) const
{
    for (ArchivedDemo &d : demos) {
        const auto it = m_growing.find(d.relPath);
        if (it != m_growing.end()) {
            d.open = true;
            d.bytes = it->second.first;
            d.diskBytes = it->second.second;
        }
    }
    return demos;
}

QList<ArchivedDemo> RelayArchive::demos() const
{
    QList<ArchivedDemo> all;
    QString cursor;
    do {
        ArchiveIndex::Page p = page(cursor, 1000);
        all += p.demos;
        cursor = p.next;
    } while (!cursor.isEmpty());
    return all;
}

ArchiveIndex::Page RelayArchive::page(const QString &before, int limit, const ArchiveQuery &query) const
{
    const std::lock_guard lock(m_indexMutex);
    ArchiveIndex::Page p = m_index.page(before, qBound(1, limit, 1000), query);
    p.demos = withGrowth(std::move(p.demos));
    return p;
}

std::optional<ArchivedDemo> RelayArchive::find(const QString &relPath) const
{
    const std::lock_guard lock(m_indexMutex);
    std::optional<ArchivedDemo> d = m_index.find(relPath);
    if (d)
        d = withGrowth({*d}).constFirst();
    return d;
}

QJsonObject RelayArchive::sidecar(const QString &relPath) const
{
    const QString path = filePath(relPath);
    QFile meta(path + kMetaSuffix);
    if (path.isEmpty() || !meta.open(QIODevice::ReadOnly) || meta.size() > kMaxMetaBytes)
        return {};
    return QJsonDocument::fromJson(meta.read(kMaxMetaBytes)).object();
}

QList<ArchivedDemo> RelayArchive::demosOfGame(quint32 gameId) const
{
    if (gameId == 0)
        return {};
    const std::lock_guard lock(m_indexMutex);
    return withGrowth(m_index.ofLiveGame(gameId));
}

qint64 RelayArchive::demoCount() const
{
    const std::lock_guard lock(m_indexMutex);
    return m_count;
}

qint64 RelayArchive::totalBytes() const
{
    const std::lock_guard lock(m_indexMutex);
    return m_total;
}

QString RelayArchive::filePath(const QString &relPath) const
{
    {
        const std::lock_guard lock(m_indexMutex);
        if (!m_index.find(relPath))
            return {};
    }
    // Listed names hold no "..", but the folder's content may have changed under us.
    const QFileInfo info(m_root + u'/' + relPath);
    if (info.isSymLink() || !info.isFile())
        return {};
    const QString canonical = info.canonicalFilePath();
    if (!canonical.startsWith(m_root + u'/'))
        return {};
    return canonical;
}

// ---- the event loop's side ---------------------------------------------------------

void RelayArchive::gameOpened(const RelayGameView &game)
{
    Job job;
    job.kind = JobKind::Open;
    job.gameId = game.id;
    job.meta = {decodeText(game.name), decodeText(game.filmer), game.gameType};
    enqueue(std::move(job));
}

void RelayArchive::gameClosed(quint32 gameId)
{
    m_cut.erase(gameId);
    Job job;
    job.kind = JobKind::Close;
    job.gameId = gameId;
    enqueue(std::move(job));
}

void RelayArchive::demoRecord(quint32 gameId, const QByteArray &record)
{
    if (m_stopped.load() || !m_thread.joinable())
        return;
    const bool restart = packetType(record) == DEMORESTART;
    if (restart)
        m_cut.erase(gameId);
    else if (m_cut.count(gameId))
        return;
    {
        const std::lock_guard lock(m_queueMutex);
        if (m_queuedBytes + record.size() > m_options.maxQueueBytes) {
            ++m_dropped;
            m_cut.insert(gameId);
            RelayLog::write(QStringLiteral("archive: writer %1 bytes behind; game %2's demo is cut here")
                                .arg(m_queuedBytes)
                                .arg(gameId));
            return;
        }
        m_queuedBytes += record.size();
        Job job;
        job.kind = JobKind::Record;
        job.gameId = gameId;
        job.record = record;
        m_queue.push_back(std::move(job));
    }
    m_queueCv.notify_one();
}

void RelayArchive::enqueue(Job job)
{
    if (!m_thread.joinable())
        return;
    {
        const std::lock_guard lock(m_queueMutex);
        m_queue.push_back(std::move(job));
    }
    m_queueCv.notify_one();
}

void RelayArchive::flush()
{
    if (!m_thread.joinable())
        return;
    Job job;
    job.done = std::make_shared<std::promise<void>>();
    std::future<void> f = job.done->get_future();
    enqueue(std::move(job));
    f.wait();
}

void RelayArchive::log(const QString &line)
{
    // Bounded: the lines anyone's input can cause are rate-limited before they come here.
    m_logLines.post([&line](std::vector<QString> &lines) {
        if (lines.size() < 1000)
            lines.push_back(line);
    });
}

void RelayArchive::writeLog()
{
    for (const QString &line : m_logLines.take())
        RelayLog::write(line);
}

// ---- the writer ------------------------------------------------------------------------

void RelayArchive::run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_queueMutex);
            m_queueCv.wait(lock, [this] { return m_quit || !m_queue.empty(); });
            if (m_queue.empty())
                break; // quit, and everything queued is written
            job = std::move(m_queue.front());
            m_queue.pop_front();
            if (job.kind == JobKind::Record)
                m_queuedBytes -= job.record.size();
        }
        handle(job);
    }
    for (auto &entry : m_writing)
        closeDemo(entry.second);
}

void RelayArchive::handle(Job &job)
{
    switch (job.kind) {
    case JobKind::Barrier:
        job.done->set_value();
        return;
    case JobKind::Open:
    case JobKind::Close: {
        const auto it = m_writing.find(job.gameId);
        if (it != m_writing.end()) {
            closeDemo(it->second);
            m_writing.erase(it);
        }
        if (job.kind == JobKind::Open)
            m_writing[job.gameId].meta = job.meta;
        return;
    }
    case JobKind::Record:
        break;
    }
    if (m_stopped.load())
        return;
    Writing &w = m_writing[job.gameId];
    if (packetType(job.record) == DEMORESTART) {
        closeDemo(w);
        w.facts = std::make_unique<demo::FactsReader>(w.meta.gameType == 0 ? demo::Game::Quake2 : demo::Game::Quake3);
        w.announced = true;
        w.demoStartUtc = QDateTime::currentDateTimeUtc();
        return;
    }
    writeBlock(w, job.gameId, job.record);
}

void RelayArchive::writeBlock(Writing &w, quint32 gameId, const QByteArray &record)
{
    if (!w.announced)
        return; // a Viewer has no demo to put it in either
    const DemoPacketReader r{record};
    QByteArray block;
    quint32 crc = 0;
    // What a Viewer refuses (bad data, wrong CRC, too large) it does not write: nor do we.
    if (inflateBlock(r.data(), &block, &crc, rec::kMaxBlockInflated) != InflateResult::Ok || crc != r.packetCrc())
        return;
    if (block.isEmpty())
        return;
    if (!diskHasRoom()) {
        // The demo is cut here; the next one starts when there is room again.
        closeDemo(w);
        return;
    }
    if (!w.file && !openDemo(w, gameId))
        return;
    if (w.file->write(block) != block.size() || !w.file->flush()) {
        fail(QStringLiteral("cannot write %1: %2").arg(w.relPath, w.file->errorString()));
        return;
    }
    if (w.facts)
        w.facts->append(block);
    const QString path = m_root + u'/' + w.relPath;
    const qint64 disk = diskUsage(path) + diskUsage(path + kMetaSuffix);
    {
        const std::lock_guard lock(m_indexMutex);
        auto &[bytes, diskBytes] = m_growing[w.relPath];
        bytes += block.size();
        m_total += disk - diskBytes;
        diskBytes = disk;
    }
    retain();
}

bool RelayArchive::diskHasRoom()
{
    if (m_options.reserveBytes <= 0)
        return true;
    struct statvfs vfs = {};
    if (::statvfs(QFile::encodeName(m_root).constData(), &vfs) != 0)
        return true; // nothing known: the write itself tells
    const qint64 free = qint64(vfs.f_bavail) * qint64(vfs.f_frsize);
    const bool low = free < m_options.reserveBytes;
    if (low != m_lowDisk.exchange(low)) {
        log(low ? QStringLiteral("archive: %1 bytes free on its disk, less than the reserve of %2; archiving paused")
                      .arg(free)
                      .arg(m_options.reserveBytes)
                : QStringLiteral("archive: %1 bytes free on its disk again; archiving goes on with the next demo").arg(free));
    }
    return !low;
}

void RelayArchive::skipDemo(Writing &w, const QString &why)
{
    ++m_skipped;
    closeDemo(w); // the rest of this demo goes nowhere; the next demo is tried again
    logLimited(QStringLiteral("archive: %1; this demo is left out, archiving goes on").arg(why));
}

void RelayArchive::logLimited(const QString &line)
{
    const qint64 now = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    if (now - m_lastLimitedLogMs < 1000) {
        ++m_unloggedLines;
        return;
    }
    log(m_unloggedLines ? line + QStringLiteral(" (%1 such lines left out)").arg(m_unloggedLines) : line);
    m_lastLimitedLogMs = now;
    m_unloggedLines = 0;
}

bool RelayArchive::openDemo(Writing &w, quint32 gameId)
{
    const QString day = w.demoStartUtc.toString(QStringLiteral("yyyy-MM-dd"));
    const QString ext = w.meta.gameType == 1 ? m_options.q3Extension : kQ2Extension;
    const QString stem = fileStem(w.meta.game.toLatin1()) + u'_' + w.demoStartUtc.toString(QStringLiteral("HHmmss"));
    if (!QDir(m_root).mkpath(day)) {
        fail(QStringLiteral("cannot make %1/%2").arg(m_root, day));
        return false;
    }
    auto file = std::make_unique<QFile>();
    QString rel;
    // The first free of "_2" to "_100", then random suffixes: a name taken by however many
    // demos of one name in one second never stops archiving.
    for (int n = 1; n <= 200 && !file->isOpen(); ++n) {
        const QString suffix = n == 1    ? QString()
                               : n <= 100 ? QStringLiteral("_%1").arg(n)
                                          : QStringLiteral("_%1").arg(QRandomGenerator::global()->bounded(0x1000000), 6, 16, QLatin1Char('0'));
        rel = day + u'/' + stem + suffix + u'.' + ext;
        file->setFileName(m_root + u'/' + rel);
        if (file->open(QIODevice::WriteOnly | QIODevice::NewOnly))
            break;
        if (!file->exists()) {
            skipDemo(w, QStringLiteral("cannot create %1: %2").arg(rel, file->errorString()));
            return false;
        }
    }
    if (!file->isOpen()) {
        skipDemo(w, QStringLiteral("no free name for %1").arg(stem));
        return false;
    }
    QFile meta(file->fileName() + kMetaSuffix);
    const QByteArray metaJson = QJsonDocument(QJsonObject{{QStringLiteral("game"), w.meta.game},
                                                          {QStringLiteral("filmer"), w.meta.filmer},
                                                          {QStringLiteral("started"), w.demoStartUtc.toString(Qt::ISODateWithMs)}})
                                    .toJson(QJsonDocument::Compact);
    if (!meta.open(QIODevice::WriteOnly | QIODevice::Truncate) || meta.write(metaJson) != metaJson.size()) {
        const QString why = meta.errorString();
        file->remove();
        meta.remove();
        skipDemo(w, QStringLiteral("cannot write %1%2: %3").arg(rel, kMetaSuffix, why));
        return false;
    }
    w.file = std::move(file);
    w.relPath = rel;
    ArchivedDemo d;
    d.relPath = rel;
    d.game = w.meta.game;
    d.filmer = w.meta.filmer;
    d.gameType = w.meta.gameType;
    d.startedUtc = w.demoStartUtc;
    d.liveGameId = gameId;
    d.open = true;
    meta.close();
    d.diskBytes = diskUsage(meta.fileName());
    {
        const std::lock_guard lock(m_indexMutex);
        // A row left by a demo of the same path that went away is replaced.
        if (const std::optional<ArchivedDemo> had = m_index.find(rel)) {
            m_total -= had->diskBytes;
            --m_count;
        }
        m_index.put(d, true);
        m_growing[rel] = {0, d.diskBytes};
        m_total += d.diskBytes;
        ++m_count;
    }
    log(QStringLiteral("archive: game %1 demo %2").arg(gameId).arg(rel));
    return true;
}

void RelayArchive::closeDemo(Writing &w)
{
    w.announced = false;
    if (!w.file) {
        w.facts.reset();
        return;
    }
    w.file->close();
    w.file.reset();
    keepFacts(w);
    const QString path = m_root + u'/' + w.relPath;
    const qint64 disk = diskUsage(path) + diskUsage(path + kMetaSuffix); // the sidecar grew
    const std::lock_guard lock(m_indexMutex);
    const auto it = m_growing.find(w.relPath);
    if (it != m_growing.end()) {
        m_total += disk - it->second.second;
        m_index.setSize(w.relPath, it->second.first, disk);
        m_growing.erase(it);
    }
    m_index.setClosed(w.relPath);
}

void RelayArchive::retain()
{
    if (m_options.maxBytes <= 0)
        return;
    for (;;) {
        QString victim;
        {
            const std::lock_guard lock(m_indexMutex);
            if (m_total <= m_options.maxBytes)
                return;
            const std::optional<ArchivedDemo> oldest = m_index.oldestClosed();
            if (!oldest)
                return; // only demos being written are left: they stay
            victim = oldest->relPath;
            m_index.remove(victim);
            m_total -= oldest->diskBytes;
            --m_count;
            // Under the lock: the folder's check never sees the file without the row gone.
            QFile::remove(m_root + u'/' + victim);
            QFile::remove(m_root + u'/' + victim + kMetaSuffix);
        }
        ++m_deleted;
        log(QStringLiteral("archive: deleted %1 (over %2 bytes)").arg(victim).arg(m_options.maxBytes));
    }
}

void RelayArchive::fail(const QString &why)
{
    if (m_stopped.exchange(true))
        return;
    log(QStringLiteral("archive: %1; archiving stopped, the relay goes on").arg(why));
    for (auto &entry : m_writing)
        closeDemo(entry.second);
}

} // namespace arbelon

namespace arbelon {

void RelayArchive::keepFacts(Writing &w)
{
    const std::unique_ptr<demo::FactsReader> reader = std::move(w.facts);
    if (!reader)
        return;
    LiveFacts live;
    live.facts = reader->facts();
    live.lost = reader->failure();
    const QJsonObject facts = factsJson(live);
    // The sidecar as it was made, with what was on beside it.
    const QString path = m_root + u'/' + w.relPath;
    QFile meta(path + kMetaSuffix);
    QJsonObject o;
    if (meta.open(QIODevice::ReadOnly) && meta.size() <= kMaxMetaBytes)
        o = QJsonDocument::fromJson(meta.read(kMaxMetaBytes)).object();
    meta.close();
    o.insert(QStringLiteral("facts"), facts);
    const QByteArray json = QJsonDocument(o).toJson(QJsonDocument::Compact);
    if (json.size() > kMaxMetaBytes || !meta.open(QIODevice::WriteOnly | QIODevice::Truncate) || meta.write(json) != json.size())
        logLimited(QStringLiteral("archive: cannot keep what was on in %1").arg(w.relPath));
    meta.close();
    ArchivedDemo d;
    d.relPath = w.relPath;
    web::readFactsSummary(facts, d);
    const std::lock_guard lock(m_indexMutex);
    m_index.setFacts(d);
}

} // namespace arbelon
