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
#include <QTimer>

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

    ClientSettings &s = m_host.settings();
    m_gameType = s.gameTypeSystem;
    m_gameDir.clear();
    m_demoBaseDir.clear();
    m_logCandidates.clear();
    m_runningSince.invalidate();
    m_warnedNoLog = false;
    if (m_gameType != gtQuake2 && m_gameType != gtQuake3) {
        m_mod.clear();
        return;
    }
    m_install = m_host.gameInstall(m_gameType);
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
        m_runningSince.invalidate();
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
    const QList<QByteArray> names = m_lines.scanNewLines();
    for (const QByteArray &name : names)
        addDemo(name);
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

    if (!d.pending.isEmpty() && d.currentDemoPath.isEmpty())
        startOfDemoSend();

    if (!m_demoFile) {
        m_bytesTaken = 0;
        m_lastSeenSize = 0;
        if (!openDemoFile()) {
            giveUpIfMissing();
            again();
            return;
        }
    }
    if (m_host.state() != ssInLobby) {
        again();
        return;
    }

    const qint64 size = m_demoFile->size();
    // Not grown since the last look, after some bytes were taken: the game stopped recording.
    if (size == m_lastSeenSize && m_bytesTaken != 0)
        d.currentDemoPath.clear();
    const qint64 position = m_demoFile->pos();
    qint64 available = size - position;
    m_lastSeenSize = size;

    DemoListModel *list = m_host.demoList();
    if (list->rowCount() > 0)
        list->setLastData(QString::number(position / 1000) + QStringLiteral("k "));

    const qint64 rate = qBound(0, m_host.settings().transferRate, int(ClientSettings::kMaxTransferRate));
    available = qBound<qint64>(0, available, rate);
    m_bytesTaken += available;
    if (available > 0)
        sendBlock(available);
    again();
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

void FilmerUpload::sendBlock(qint64 available)
{
    const QByteArray raw = m_demoFile->read(available);
    if (raw.isEmpty() && m_demoFile->error() != QFileDevice::NoError) {
        throw std::runtime_error((QStringLiteral("Cannot read demo file ") + m_demoFile->fileName()
                                  + QStringLiteral(": ") + m_demoFile->errorString())
                                     .toStdString());
    }
    const CompressedBlock block = compressBlock(raw);
    m_host.SendPacket(buildDemoPacket(block.crc, m_host.demo().uploadCounter, block.data), ssDemoPacket);
}

// ---- acknowledgement effects -------------------------------------------------------------

void FilmerUpload::uploadStart()
{
    m_host.demo().uploadCounter = 0;
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
        m_host.demoList()->appendRow(QFileInfo(d.currentDemoPath).fileName());
    }
    // What the previous file still held is not sent.
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
    m_host.setBadLabel(QString::number(m_host.badLabel().toInt() + 1));
}

} // namespace arbelon
