#include "filmerupload.h"

#include "autoexec.h"
#include "demolistmodel.h"
#include "dispatcher.h"
#include "gamelayout.h"
#include "gamerunning.h"
#include "records.h"
#include "regularfile.h"
#include "transferhost.h"
#include "zlibcomp.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QTimer>

#include <cmath>
#include <stdexcept>

namespace arbelon {

namespace {

// Starts the timer again when the tick ends, however it ends, unless the lobby or the
// session ended during the tick and stopped the timers then.
class RestartAtEnd {
public:
    RestartAtEnd(const TransferHost &host, QTimer &timer) : m_host(host), m_timer(timer), m_stops(host.timerStops()) {}
    ~RestartAtEnd()
    {
        if (m_host.timerStops() == m_stops)
            m_timer.start();
    }
    RestartAtEnd(const RestartAtEnd &) = delete;
    RestartAtEnd &operator=(const RestartAtEnd &) = delete;

private:
    const TransferHost &m_host;
    QTimer &m_timer;
    const quint64 m_stops;
};

// Numbers as the user reads them: "84,000".
QString grouped(qint64 n) { return QLocale(QLocale::English).toString(n); }

// Samples kept at most: a clock that steps in tiny ticks must not fill memory.
constexpr std::size_t kMaxSamples = 512;

} // namespace

FilmerUpload::FilmerUpload(TransferHost &host) : m_host(host) {}
FilmerUpload::~FilmerUpload() = default;

// ---- session hooks ------------------------------------------------------------------

void FilmerUpload::prepare()
{
    closeFiles();
    DemoTransferState &d = m_host.demo();
    d.currentDemoPath.clear();
    d.pending.clear();
    d.listedNames.clear();
    m_host.demoList()->clear();
    m_lines.resetScanned();
    m_logPath.clear();
    m_currentFinished = false;
    m_latestStopped = false;

    ClientSettings &s = m_host.settings();
    m_gameType = s.gameTypeSystem;
    m_gameDir.clear();
    m_demoBaseDir.clear();
    m_logCandidates.clear();
    m_runningSince.invalidate();
    m_warnedNoLog = false;
    m_lines.setStopLine(QByteArray());
    if (m_gameType != gtQuake2 && m_gameType != gtQuake3) {
        m_mod.clear();
        return;
    }
    m_install = m_host.gameInstall(gameTypeOf(m_gameType));
    m_lines.setStopLine(m_install.engine.stopLine);
    if (GameRunningCheck *check = m_host.gameRunningCheck())
        check->setEngine(m_gameType, m_install.engine);
    // The mod goes into paths: one that is not a plain folder name would lead outside, and an
    // engine without mod folders always uses its base game.
    m_mod = engineprofiles::gameFolder(m_install.engine, s.modTypeSystem);
    if (m_gameType == gtQuake3)
        s.modTypeSystem = m_mod;
    if (!m_install.installed())
        return;
    m_gameDir = m_install.dataDir;
    m_demoBaseDir = m_install.recordBase(m_mod);
    m_logCandidates = m_install.logCandidates(m_mod);
    // Nothing waits on the folder; a game directory that cannot be made just finds no log.
    if (!QDir(m_demoBaseDir).exists())
        QDir().mkpath(m_demoBaseDir);
    m_host.tellUser(QStringLiteral("Watching for the console log at %1").arg(logPlaces()));
}

QString FilmerUpload::autoexecPath() const
{
    if (m_gameDir.isEmpty() || m_mod.isEmpty())
        return {};
    return m_install.autoexecPath(m_mod);
}

void FilmerUpload::enableLog()
{
    const QString path = autoexecPath();
    if (path.isEmpty())
        return;
    try {
        autoexec::ensureLogging(path, m_install.engine.loggingLine);
    } catch (const autoexec::NotAFile &) {
        trace(QStringLiteral("%1 is no regular file; left alone").arg(path));
    }
}

void FilmerUpload::trace(const QString &line)
{
    m_host.dispatcher().trace().line(line);
}

void FilmerUpload::closeFiles()
{
    m_demoFile.reset();
    m_log.close();
    m_lines.clear();
}

// ---- console log scan ----------------------------------------------------------------

bool FilmerUpload::gameRunning() const
{
    GameRunningCheck *check = m_host.gameRunningCheck();
    return check && check->isRunning(m_gameType);
}

void FilmerUpload::LogFileScanTimer()
{
    m_host.LogFileScan().stop();
    const RestartAtEnd restart(m_host, m_host.LogFileScan());
    // Without a way to ask, the game is not known to be stopped: nothing is deleted.
    if (!m_host.gameRunningCheck())
        return;

    // A log is never deleted: the game may hold it open (it makes its log before its window,
    // and on Linux a deleted log goes on being written, nameless). A game that starts anew
    // truncates or replaces it, which the reader notices.
    if (!gameRunning()) {
        // A game that is gone writes nothing more: its demos have ended.
        m_runningSince.invalidate();
        latestRecordingStopped();
        return;
    }
    if (!m_runningSince.isValid())
        m_runningSince.start();
    if (m_logPath.isEmpty())
        chooseLogPath();
    if (m_logPath.isEmpty() || !QFile::exists(m_logPath)) {
        if (!m_warnedNoLog && !m_logCandidates.isEmpty() && m_runningSince.hasExpired(kNoLogWarningMs)) {
            m_warnedNoLog = true;
            m_host.tellUser(QStringLiteral("The game runs but writes no console log at %1; demos cannot be found")
                                .arg(logPlaces()));
        }
        return;
    }
    readConsoleLog();
}

QString FilmerUpload::logPlaces() const
{
    QStringList places = m_logCandidates;
    places.removeDuplicates();
    return places.join(QStringLiteral(" or "));
}

void FilmerUpload::chooseLogPath()
{
    // With both present the second wins.
    for (const QString &candidate : m_logCandidates) {
        if (!candidate.isEmpty() && QFile::exists(candidate))
            m_logPath = candidate;
    }
}

void FilmerUpload::readConsoleLog()
{
    // Replaced by a new file under the same name: the new one is all new.
    const bool replaced = m_log.isOpen() && m_log.replaced();
    if (replaced)
        m_log.close();
    if (!m_log.isOpen()) {
        m_lines.clear();
        if (!m_log.open(m_logPath)) {
            trace(QStringLiteral("the console log %1 is no regular file; not read").arg(m_logPath));
            return;
        }
        if (replaced)
            m_log.rewind();
    }
    m_log.readInto(m_lines);
    const QList<DemoLogEvent> events = m_lines.scanNewEvents();
    for (const DemoLogEvent &e : events) {
        // An engine records one demo at a time: a new recording means the last one stopped,
        // even when the new one is not taken.
        latestRecordingStopped();
        if (e.kind == DemoLogEvent::Recording)
            addDemo(e.name);
    }
}

void FilmerUpload::latestRecordingStopped()
{
    m_latestStopped = true;
    if (m_host.demo().pending.isEmpty())
        m_currentFinished = true;
}

void FilmerUpload::addDemo(const QByteArray &name)
{
    QString why;
    const QString path = demoPathFromLine(name, m_demoBaseDir, m_install, m_mod, &why);
    QStringList &pending = m_host.demo().pending;
    if (path.isEmpty()) {
        trace(QStringLiteral("Ignored demo %1: %2").arg(QString::fromLatin1(name.toPercentEncoding("/._-")), why));
        return;
    }
    if (pending.size() >= kMaxPending)
        return;
    pending.append(path);
    m_latestStopped = false;
}

// ---- upload ----------------------------------------------------------------------------

void FilmerUpload::OutDemoStreamTimer()
{
    // An error leaves the timer stopped: the upload waits for a new lobby entry.
    QTimer &timer = m_host.OutDemoStream();
    timer.stop();
    // A send that finds the connection broken ends the session inside this tick; the timer
    // it stopped must stay stopped, or the next session would upload.
    const quint64 stops = m_host.timerStops();
    const auto again = [this, &timer, stops] {
        if (m_host.timerStops() == stops)
            timer.start();
    };
    DemoTransferState &d = m_host.demo();

    // The next demo is announced only once the current one has ended and all of it is sent.
    if (!d.pending.isEmpty() && currentDemoDone())
        startOfDemoSend();

    if (!m_demoFile) {
        m_bytesTaken = 0;
        m_lastSeenSize = 0;
        if (!openDemoFile()) {
            giveUpIfMissing();
            if (m_host.state() == ssInLobby)
                measureProgress();
            again();
            return;
        }
    }
    if (m_host.state() != ssInLobby) {
        again();
        return;
    }

    const qint64 size = m_demoFile->size();
    const qint64 position = m_demoFile->pos();
    qint64 available = size - position;
    m_lastSeenSize = size;

    DemoListModel *list = m_host.demoList();
    if (list->rowCount() > 0)
        list->setLastData(QString::number(position / 1000) + QStringLiteral("k "));

    const qint64 rate = qBound(0, m_host.settings().transferRate, int(ClientSettings::kMaxTransferRate));
    available = qBound<qint64>(0, available, rate);
    if (available > 0) {
        const qint64 sent = sendBlock(available);
        m_bytesTaken += sent;
        m_sentTotal += sent;
        ++m_blocksTotal;
    }
    // Not after a send that ended the session: its files are closed.
    if (m_host.timerStops() == stops)
        measureProgress();
    again();
}

bool FilmerUpload::currentDemoDone() const
{
    if (m_host.demo().currentDemoPath.isEmpty())
        return true;
    return m_currentFinished && m_demoFile && m_demoFile->pos() >= m_demoFile->size();
}

void FilmerUpload::measureProgress()
{
    // Behind: the current demo's rest and every demo waiting; their sum with what was sent
    // is what the game wrote.
    qint64 behind = m_demoFile ? qMax<qint64>(0, m_demoFile->size() - m_demoFile->pos()) : 0;
    for (const QString &path : std::as_const(m_host.demo().pending))
        behind += QFileInfo(path).size();
    m_behindBytes = behind;

    const qint64 now = m_host.now().toMSecsSinceEpoch();
    if (!m_samples.empty() && now < m_samples.back().ms)
        m_samples.clear(); // the clock went back: what was measured says nothing now
    const Sample sample{now, m_sentTotal + behind, m_sentTotal, m_blocksTotal};
    if (!m_samples.empty() && m_samples.back().ms == now)
        m_samples.back() = sample;
    else
        m_samples.push_back(sample);
    while (m_samples.size() > kMaxSamples
           || (m_samples.size() > 2 && m_samples[1].ms <= now - kRateWindowSeconds * 1000LL))
        m_samples.pop_front();

    const Sample &first = m_samples.front();
    const qint64 spanMs = now - first.ms;
    if (spanMs < kRateMinSeconds * 1000LL)
        return;
    const qint64 sendRate = (m_sentTotal - first.sent) * 1000 / spanMs;
    const qint64 writeRate = qMax<qint64>(0, (sample.written - first.written) * 1000 / spanMs);
    const qint64 blocksPerMinute = (m_blocksTotal - first.blocks) * 60000 / spanMs;
    // Without sending there is no time to give; the bytes alone are behind.
    const qint64 seconds = sendRate > 0 ? behind / sendRate : -1;
    const bool farBehind = seconds < 0 ? behind > 0 : seconds > kBehindSeconds;

    if (!m_behind) {
        if (!farBehind)
            return;
        m_behind = true;
    } else if (behind == 0 || (seconds >= 0 && seconds < kCaughtUpSeconds)) {
        m_behind = false;
        m_host.tellUser(QStringLiteral("Upload caught up with the game"));
        return;
    } else if (now - m_behindToldMs < kBehindRepeatSeconds * 1000LL) {
        return;
    }
    m_behindToldMs = now;
    m_host.tellUser(behindText(sendRate, writeRate, blocksPerMinute));
}

QString FilmerUpload::behindText(qint64 sendRate, qint64 writeRate, qint64 blocksPerMinute) const
{
    const int rate = qBound(0, m_host.settings().transferRate, int(ClientSettings::kMaxTransferRate));
    const QString how = sendRate > 0 ? QStringLiteral("%1 s (%2 bytes)").arg(m_behindBytes / sendRate).arg(grouped(m_behindBytes))
                                     : QStringLiteral("%1 bytes").arg(grouped(m_behindBytes));
    const QString head = QStringLiteral("Upload is %1 behind the game; ").arg(how);
    if (sendRate > writeRate)
        return head + QStringLiteral("it is catching up at the transfer rate of %1").arg(grouped(rate));
    // Blocks go out at most one a tick, fewer when the answers are slow: the rate a block
    // needs comes from the blocks actually sent.
    double blocksPerSecond = blocksPerMinute / 60.0;
    if (blocksPerSecond <= 0) {
        const int interval = m_host.OutDemoStream().interval();
        blocksPerSecond = interval > 0 ? 1000.0 / interval : 1.0;
    }
    const double needed = writeRate / blocksPerSecond;
    if (needed > ClientSettings::kMaxTransferRate) {
        return head + QStringLiteral("even the highest transfer rate (%1) is too slow: the demo will arrive late but whole").arg(grouped(ClientSettings::kMaxTransferRate));
    }
    // A quarter more than keeping pace, so that what is behind is sent too; in steps of 500.
    const qint64 suggested = qMin<qint64>(ClientSettings::kMaxTransferRate,
                                          qint64(std::ceil(needed * 1.25 / 500.0)) * 500);
    return head + QStringLiteral("a transfer rate of %1 would keep up").arg(grouped(suggested));
}

void FilmerUpload::startOfDemoSend()
{
    if (m_host.state() != ssInLobby)
        return;
    m_host.SendPacket(buildDemoRestart(m_host.demo().uploadCounter), ssDemoRestart);
}

void FilmerUpload::giveUpIfMissing()
{
    DemoTransferState &d = m_host.demo();
    if (d.currentDemoPath.isEmpty() || !m_currentSince.isValid()
        || m_currentSince.secsTo(m_host.now()) < kAppearSeconds)
        return;
    trace(QStringLiteral("demo %1 did not appear within %2 s; the next one goes").arg(d.currentDemoPath).arg(kAppearSeconds));
    d.currentDemoPath.clear();
    m_currentSince = QDateTime();
}

bool FilmerUpload::openDemoFile()
{
    const QString path = m_host.demo().currentDemoPath;
    if (path.isEmpty() || !QFile::exists(path))
        return false;
    // Checked again now that it exists: a link put there since the line was read must not
    // lead the upload to a file outside the demos folders.
    QString outside;
    if (demoPathFromLine(QFile::encodeName(path), QString(), m_install, m_mod, &outside).isEmpty()) {
        trace(QStringLiteral("Ignored demo %1: %2").arg(path, outside));
        m_host.demo().currentDemoPath.clear();
        return false;
    }
    auto file = std::make_unique<QFile>(path);
    // Unbuffered: the game is still writing; every size and read must see the file as it is.
    QString why;
    switch (openRegularForReading(*file, path, QIODevice::Unbuffered, &why)) {
    case RegularOpen::Opened:
        break;
    case RegularOpen::Missing:
        return false;
    case RegularOpen::NotRegular:
        trace(QStringLiteral("demo %1 is no regular file; the next one goes").arg(path));
        m_host.demo().currentDemoPath.clear();
        return false;
    case RegularOpen::Failed:
        throw std::runtime_error(
            (QStringLiteral("Cannot open demo file ") + path + QStringLiteral(": ") + why).toStdString());
    }
    m_demoFile = std::move(file);
    return true;
}

qint64 FilmerUpload::sendBlock(qint64 available)
{
    const QByteArray raw = m_demoFile->read(available);
    if (raw.isEmpty() && m_demoFile->error() != QFileDevice::NoError) {
        throw std::runtime_error((QStringLiteral("Cannot read demo file ") + m_demoFile->fileName()
                                  + QStringLiteral(": ") + m_demoFile->errorString())
                                     .toStdString());
    }
    const CompressedBlock block = compressBlock(raw);
    m_host.SendPacket(buildDemoPacket(block.crc, m_host.demo().uploadCounter, block.data), ssDemoPacket);
    return raw.size();
}

// ---- acknowledgement effects -------------------------------------------------------------

void FilmerUpload::uploadStart()
{
    m_host.demo().uploadCounter = 0;
    m_samples.clear();
    m_sentTotal = 0;
    m_blocksTotal = 0;
    m_behindBytes = 0;
    m_behind = false;
    m_behindToldMs = 0;
    m_host.OutDemoStream().start();
    m_host.LogFileScan().start();
}

void FilmerUpload::nextDemo()
{
    DemoTransferState &d = m_host.demo();
    ++d.uploadCounter;
    if (!d.pending.isEmpty()) {
        d.currentDemoPath = d.pending.takeFirst();
        m_currentSince = m_host.now();
        // Any demo announced after it means it has ended already.
        m_currentFinished = !d.pending.isEmpty() || m_latestStopped;
        m_host.demoList()->appendRow(QFileInfo(d.currentDemoPath).fileName());
    }
    // The previous file was sent to its end before this restart went out.
    m_demoFile.reset();
    m_host.setGoodLabel(QString::number(d.uploadCounter));
    m_host.setState(ssInLobby);
}

void FilmerUpload::blockAccepted()
{
    DemoTransferState &d = m_host.demo();
    ++d.uploadCounter;
    m_host.setGoodLabel(QString::number(d.uploadCounter));
    m_host.setState(ssInLobby);
}

void FilmerUpload::blockRejected()
{
    // Not sent again; the state stays ssDemoPacket until an accepting answer comes.
    m_host.countRefusedBlock();
}

} // namespace arbelon
