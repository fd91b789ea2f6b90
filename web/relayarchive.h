#pragma once
// The demo archive: every demo the relay carries, written as a Viewer would write it (the
// inflated blocks of each demo, one file per demo) by a thread of its own, so a slow disk
// never holds up the event loop. The oldest demos go first past the size bound; a failed
// write stops archiving with one log line and the relay goes on. What the folder holds is
// kept in an index file (ArchiveIndex), checked against the folder by a thread of its own at
// start while the archive already serves from it.

#include "archiveindex.h"
#include "relaymailbox.h"
#include "relayobserver.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

class QFile;
class QSocketNotifier;

namespace arbelon {

namespace demo {
class FactsReader;
}

class RelayArchive : public QObject, public RelayObserver {
    Q_OBJECT
public:
    struct Options {
        QString dir;
        qint64 maxBytes = 0; // 0: no bound, on the bytes the files take on the disk
        QString q3Extension = QStringLiteral("dm_68");
        // Records waiting for the writer; past it records are dropped (and their demo cut).
        qint64 maxQueueBytes = 64 * 1024 * 1024;
        // Archiving pauses while the disk has less free space than this (0: never).
        qint64 reserveBytes = qint64(256) * 1024 * 1024;
    };

    explicit RelayArchive(Options options, QObject *parent = nullptr);
    // Writes what is queued, then ends the thread.
    ~RelayArchive() override;

    // Makes the folder, lists what it holds and starts the writer; false with a reason.
    bool start(QString *error);

    static constexpr int kPageSize = 100;
    // The index's file, inside the archive folder.
    static QString indexFileName() { return QStringLiteral("index.sqlite"); }

    // The sidecar beside each demo: its game, Filmer, start, and what was on.
    static QString sidecarSuffix() { return QStringLiteral(".json"); }
    // Every demo, newest first (tests; pages take page()).
    QList<ArchivedDemo> demos() const;
    // At most limit demos older than the cursor, newest first; the next cursor with them.
    ArchiveIndex::Page page(const QString &before, int limit = kPageSize, const ArchiveQuery &query = {}) const;
    std::optional<ArchivedDemo> find(const QString &relPath) const;
    // A listed demo's sidecar as JSON (its "facts" the scoreboard and events), or empty.
    QJsonObject sidecar(const QString &relPath) const;
    QList<ArchivedDemo> demosOfGame(quint32 gameId) const;
    qint64 demoCount() const;
    // The check of the folder against the index has not ended yet.
    bool isScanning() const { return m_scanning.load(); }
    // The file of a listed demo, or empty: nothing outside the list (and so nothing outside
    // the folder, and no link leading out of it) is ever named.
    QString filePath(const QString &relPath) const;
    // What the listed demos and their sidecars take on the disk.
    qint64 totalBytes() const;
    qint64 droppedRecords() const { return m_dropped.load(); }
    qint64 deletedDemos() const { return m_deleted.load(); }
    bool isStopped() const { return m_stopped.load(); }
    // The disk is below the reserve: new demos are not written until it is not.
    bool isLowOnDisk() const { return m_lowDisk.load(); }
    // Demos left out alone (no free name, a file that could not be made).
    qint64 skippedDemos() const { return m_skipped.load(); }
    // Waits until everything queued so far is on disk (tests, shutdown).
    void flush();

    // A game's name made safe as a file name: letters, digits and '-' kept, the rest '_',
    // at most 48 characters, never empty.
    static QString fileStem(const QByteArray &gameName);

    void gameOpened(const RelayGameView &game) override;
    void gameClosed(quint32 gameId) override;
    void demoRecord(quint32 gameId, const QByteArray &record) override;

private:
    enum class JobKind { Record,
                         Open,
                         Close,
                         Barrier };
    struct GameMeta {
        QString game;
        QString filmer;
        qint32 gameType = 0;
    };
    struct Job {
        JobKind kind = JobKind::Barrier;
        quint32 gameId = 0;
        QByteArray record;
        GameMeta meta;
        std::shared_ptr<std::promise<void>> done;
    };
    struct Writing {
        GameMeta meta;
        bool announced = false; // a DEMORESTART came: blocks have a demo to go to
        QDateTime demoStartUtc;
        std::unique_ptr<QFile> file;
        QString relPath;
        std::unique_ptr<demo::FactsReader> facts; // what is on, read as the blocks are written
    };

    void enqueue(Job job);
    void run();
    void handle(Job &job);
    void writeBlock(Writing &w, quint32 gameId, const QByteArray &record);
    bool openDemo(Writing &w, quint32 gameId);
    void closeDemo(Writing &w);
    // What was on in it: into its sidecar (with the scoreboard and events) and the index.
    void keepFacts(Writing &w);
    void retain();
    void fail(const QString &why);
    // One demo that cannot be written: it alone is left out.
    void skipDemo(Writing &w, const QString &why);
    bool diskHasRoom();
    void countDisk(const QString &relPath, qint64 bytes);
    // Log lines of the writer that anyone's input can cause: a second apart at least.
    void logLimited(const QString &line);
    void log(const QString &line);
    void writeLog(); // the event loop's thread
    void scan();
    QList<ArchivedDemo> withGrowth(QList<ArchivedDemo> demos) const; // under m_indexMutex

    const Options m_options;
    QString m_root; // canonical folder

    // Owned by the event loop's thread.
    std::set<quint32> m_cut;  // games whose current demo lost a record: skipped to the next
    qint64 m_queuedBytes = 0; // mirrors what the writer has not taken, under m_queueMutex

    std::mutex m_queueMutex;
    std::condition_variable m_queueCv;
    std::deque<Job> m_queue;
    bool m_quit = false;

    // Owned by the writer.
    std::map<quint32, Writing> m_writing;

    // The index, and the sizes of the demos being written (kept off the file until they close).
    mutable std::mutex m_indexMutex;
    ArchiveIndex m_index;
    std::map<QString, std::pair<qint64, qint64>> m_growing; // path: bytes, disk bytes
    qint64 m_total = 0;
    qint64 m_count = 0;

    std::atomic<qint64> m_dropped{0};
    std::atomic<qint64> m_deleted{0};
    std::atomic<bool> m_stopped{false};
    std::atomic<bool> m_lowDisk{false};
    std::atomic<qint64> m_skipped{0};
    qint64 m_lastLimitedLogMs = -1000000; // the writer's
    qint64 m_unloggedLines = 0;
    // Log lines of the writer and the folder's check, for the event loop's thread, which
    // owns the log's sink.
    RelayMailbox<QString> m_logLines;
    std::unique_ptr<QSocketNotifier> m_logNotifier;
    std::atomic<bool> m_scanning{false};
    std::atomic<bool> m_quitScan{false};
    std::thread m_scanThread;
    std::thread m_thread;
};

} // namespace arbelon
