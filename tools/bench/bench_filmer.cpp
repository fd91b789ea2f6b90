// Filmer benchmark (not a test): prints CPU seconds per megabyte for
//  - the console log scan, while the log grows to 50 MB in chunks with one scan tick after
//    each chunk; the cost must follow the new bytes only, so the figure for the first 5 MB
//    and for the last 5 MB (45..50 MB) should be alike;
//  - the upload of a 5 MB demo at the highest transfer rate, one block a tick, each
//    acknowledgement simulated (no connection: the records are built and dropped).
// Usage: bench_filmer [log megabytes] [demo megabytes]

#include "clientcore.h"
#include "filmerupload.h"
#include "gamerunning.h"
#include "records.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>

using namespace arbelon;

namespace {

constexpr qint64 kMB = 1024 * 1024;

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long maxRssKiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Console text as a game writes it: ordinary lines, now and then a recording.
QByteArray consoleChunk(qint64 bytes, int &serial)
{
    QByteArray out;
    out.reserve(bytes + 128);
    while (out.size() < bytes) {
        ++serial;
        if (serial % 1000 == 0)
            out += "recording to ./baseq2/demos/bench" + QByteArray::number(serial) + ".dm2.\r\n";
        else
            out += "Player" + QByteArray::number(serial % 16) + " was railed by Player"
                   + QByteArray::number(serial % 7) + " (frag " + QByteArray::number(serial) + ")\r\n";
    }
    return out;
}

bool append(QFile &file, const QByteArray &bytes)
{
    return file.write(bytes) == bytes.size() && file.flush();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 logMB = argc > 1 ? QByteArray(argv[1]).toLongLong() : 50;
    const qint64 demoMB = argc > 2 ? QByteArray(argv[2]).toLongLong() : 5;
    if (logMB < 10 || demoMB < 1) {
        std::fprintf(stderr, "usage: bench_filmer [log MB >= 10] [demo MB >= 1]\n");
        return 2;
    }

    QTemporaryDir dir;
    FakeGameRunningCheck game(true);
    ClientCore core;
    core.setGameRunningCheck(&game);
    core.settings().quake2Dir = dir.path() + QStringLiteral("/q2/");
    core.settings().gameTypeSystem = gtQuake2;
    core.settings().modTypeSystem = QStringLiteral("baseq2");
    core.settings().transferRate = ClientSettings::kMaxTransferRate;
    core.LogFileScan().setInterval(3600 * 1000);
    core.OutDemoStream().setInterval(3600 * 1000);
    FilmerUpload &filmer = core.filmer();
    filmer.prepare();

    // ---- console log scan ----
    QDir().mkpath(dir.path() + QStringLiteral("/q2/baseq2"));
    QFile log(filmer.logCandidate(0));
    if (!log.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(log.fileName()));
        return 1;
    }
    filmer.LogFileScanTimer(); // opens the log at its end

    const qint64 chunk = 256 * 1024;
    int serial = 0;
    qint64 written = 0;
    qint64 found = 0;
    double firstCpu = 0;
    qint64 firstBytes = 0;
    double lastCpu = 0;
    qint64 lastBytes = 0;
    double totalCpu = 0;
    const qint64 lastFrom = (logMB - 5) * kMB;
    while (written < logMB * kMB) {
        const QByteArray text = consoleChunk(chunk, serial);
        if (!append(log, text))
            return 1;
        const double t0 = cpuSeconds();
        filmer.LogFileScanTimer();
        const double dt = cpuSeconds() - t0;
        written += text.size();
        totalCpu += dt;
        if (written <= 5 * kMB) {
            firstCpu += dt;
            firstBytes += text.size();
        } else if (written > lastFrom) {
            lastCpu += dt;
            lastBytes += text.size();
        }
        found += core.demo().pending.size();
        core.demo().pending.clear();
    }
    std::printf("console log scan: %.1f MB in %lld ticks, %lld demos found, %lld lines\n",
                double(written) / kMB, (long long)(written / chunk), (long long)found,
                (long long)filmer.consoleLog().lineCount());
    std::printf("  CPU per MB, first 5 MB      : %.5f s/MB\n", firstCpu / (double(firstBytes) / kMB));
    const QByteArray lastLabel = QByteArray::number(logMB - 5) + ".." + QByteArray::number(logMB) + " MB";
    std::printf("  CPU per MB, %-16s: %.5f s/MB\n", lastLabel.constData(), lastCpu / (double(lastBytes) / kMB));
    std::printf("  CPU per MB, all             : %.5f s/MB\n", totalCpu / (double(written) / kMB));
    std::printf("  peak resident set so far    : %ld KiB\n", maxRssKiB());

    // ---- upload ----
    const QString demoPath = dir.path() + QStringLiteral("/q2/baseq2/demos/upload.dm2");
    {
        QDir().mkpath(QFileInfo(demoPath).absolutePath());
        QFile demo(demoPath);
        if (!demo.open(QIODevice::WriteOnly))
            return 1;
        int s = 0;
        while (demo.size() < demoMB * kMB) {
            // Demo-like data: repetitive frames with changing numbers.
            if (!append(demo, consoleChunk(64 * 1024, s)))
                return 1;
        }
    }
    const qint64 demoSize = QFileInfo(demoPath).size();
    core.demo().pending = {demoPath};
    core.setState(ssDemoRestart);
    filmer.nextDemo(); // as if the start of the demo was acknowledged
    int ticks = 0;
    const double u0 = cpuSeconds();
    while (filmer.bytesTaken() < demoSize && ticks < 10 * demoSize / ClientSettings::kMaxTransferRate) {
        filmer.OutDemoStreamTimer();
        filmer.blockAccepted(); // the server's answer
        ++ticks;
    }
    const double uploadCpu = cpuSeconds() - u0;
    std::printf("upload: %.1f MB in %d blocks of at most %d bytes\n", double(demoSize) / kMB, ticks,
                ClientSettings::kMaxTransferRate);
    std::printf("  CPU per MB                  : %.5f s/MB\n", uploadCpu / (double(demoSize) / kMB));
    std::printf("  CPU per block               : %.1f us\n", uploadCpu / ticks * 1e6);
    return filmer.bytesTaken() == demoSize ? 0 : 1;
}
