#include "relaymetrics.h"

#include "httpguard.h"
#include "relayarchive.h"
#include "relaystats.h"

namespace arbelon {

namespace {

class Writer {
public:
    // Each family once, with its help and type, before its samples.
    void family(const char *name, const char *type, const char *help)
    {
        m_out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }
    void sample(const QByteArray &name, qint64 value, const QByteArray &labels = {})
    {
        m_out += name;
        if (!labels.isEmpty())
            m_out += '{' + labels + '}';
        m_out += ' ' + QByteArray::number(value) + '\n';
    }
    void sample(const QByteArray &name, double value, const QByteArray &labels = {})
    {
        m_out += name;
        if (!labels.isEmpty())
            m_out += '{' + labels + '}';
        m_out += ' ' + QByteArray::number(value, 'g', 17) + '\n';
    }
    QByteArray take() { return std::move(m_out); }

private:
    QByteArray m_out;
};

} // namespace

QByteArray relayMetrics(const RelayStats &s, const QList<RelayGameView> &games, const RelayArchive *archive,
                        const HttpGuard *guard)
{
    Writer w;
    w.family("arbelon_connections", "gauge", "Open relay connections by role.");
    w.sample("arbelon_connections", s.viewers(), "role=\"viewer\"");
    w.sample("arbelon_connections", s.filmers(), "role=\"filmer\"");

    qint64 viewers = 0;
    for (const RelayGameView &g : games)
        viewers += qint64(g.users) - (g.filmer.isEmpty() ? 0 : 1);
    w.family("arbelon_games", "gauge", "Games being broadcast.");
    w.sample("arbelon_games", qint64(games.size()));
    w.family("arbelon_viewers", "gauge", "Viewers in the lobbies of all games.");
    w.sample("arbelon_viewers", viewers);

    w.family("arbelon_demo_bytes_in_total", "counter", "Demo record bytes taken from Filmers.");
    w.sample("arbelon_demo_bytes_in_total", s.bytesIn());
    w.family("arbelon_demo_blocks_in_total", "counter", "Demo records taken from Filmers.");
    w.sample("arbelon_demo_blocks_in_total", s.blocksIn());
    w.family("arbelon_demo_bytes_out_total", "counter", "Demo record bytes queued for Viewers.");
    w.sample("arbelon_demo_bytes_out_total", s.bytesOut());
    w.family("arbelon_demo_blocks_out_total", "counter", "Demo records queued for Viewers.");
    w.sample("arbelon_demo_blocks_out_total", s.blocksOut());

    w.family("arbelon_refusals_total", "counter", "Requests and connections refused, by reason.");
    for (size_t i = 0; i < RelayStats::kRefusalNames.size(); ++i)
        w.sample("arbelon_refusals_total", s.refusals(RelayStats::Refusal(i)),
                 QByteArray("reason=\"") + RelayStats::kRefusalNames[i] + '"');
    w.family("arbelon_slow_clients_dropped_total", "counter", "Clients disconnected for not reading.");
    w.sample("arbelon_slow_clients_dropped_total", s.slowDropped());

    w.family("arbelon_join_seconds", "histogram", "Time from a Viewer's connection to its entry into a lobby.");
    qint64 cumulative = 0;
    for (size_t i = 0; i < RelayStats::kJoinBucketsMs.size(); ++i) {
        cumulative += s.joinBucket(i);
        w.sample("arbelon_join_seconds_bucket", cumulative,
                 "le=\"" + QByteArray::number(double(RelayStats::kJoinBucketsMs[i]) / 1000.0, 'g', 6) + '"');
    }
    cumulative += s.joinBucket(RelayStats::kJoinBucketsMs.size());
    w.sample("arbelon_join_seconds_bucket", cumulative, "le=\"+Inf\"");
    w.sample("arbelon_join_seconds_sum", double(s.joinSumMs()) / 1000.0);
    w.sample("arbelon_join_seconds_count", cumulative);

    if (archive) {
        w.family("arbelon_archive_bytes", "gauge", "Bytes the archive's files take on the disk.");
        w.sample("arbelon_archive_bytes", archive->totalBytes());
        w.family("arbelon_archive_demos", "gauge", "Demo files in the archive.");
        w.sample("arbelon_archive_demos", archive->demoCount());
        w.family("arbelon_archive_deleted_total", "counter", "Demos deleted to keep the archive's bound.");
        w.sample("arbelon_archive_deleted_total", archive->deletedDemos());
        w.family("arbelon_archive_dropped_records_total", "counter", "Demo records the writer could not keep up with.");
        w.sample("arbelon_archive_dropped_records_total", archive->droppedRecords());
        w.family("arbelon_archive_stopped", "gauge", "1 once a write failed and archiving stopped.");
        w.sample("arbelon_archive_stopped", qint64(archive->isStopped() ? 1 : 0));
        w.family("arbelon_archive_low_disk", "gauge", "1 while the disk has less free space than the reserve.");
        w.sample("arbelon_archive_low_disk", qint64(archive->isLowOnDisk() ? 1 : 0));
        w.family("arbelon_archive_skipped_demos_total", "counter", "Demos left out alone (no free name, a file not made).");
        w.sample("arbelon_archive_skipped_demos_total", archive->skippedDemos());
    }
    if (guard) {
        w.family("arbelon_http_connections", "gauge", "Open connections to the web page.");
        w.sample("arbelon_http_connections", qint64(guard->connectionCount()));
        w.family("arbelon_http_refused_total", "counter", "Web connections refused over the connection limits.");
        w.sample("arbelon_http_refused_total", guard->refusedConnections());
        w.family("arbelon_http_timed_out_total", "counter", "Web connections closed as too slow or idle.");
        w.sample("arbelon_http_timed_out_total", guard->timedOut());
        w.family("arbelon_http_overloaded_total", "counter", "Requests refused while too many answers waited unread.");
        w.sample("arbelon_http_overloaded_total", guard->overloadedConnections());
    }
    return w.take();
}

} // namespace arbelon
