#include "standin/standingame.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace arbelon {

namespace {

// An autoexec configuration larger than this is not a real one; only its start is read.
constexpr qint64 kMaxAutoexecBytes = 1024 * 1024;
// A large block at a slow rate still writes at least once a day.
constexpr qint64 kMaxBlockIntervalMs = 24LL * 3600 * 1000;

// Splits one console command into words; a quoted word may hold blanks.
QList<QByteArray> words(const QByteArray &command)
{
    QList<QByteArray> out;
    qsizetype i = 0;
    while (i < command.size()) {
        while (i < command.size() && (command.at(i) == ' ' || command.at(i) == '\t'))
            ++i;
        if (i >= command.size())
            break;
        if (command.at(i) == '"') {
            const qsizetype end = command.indexOf('"', i + 1);
            const qsizetype stop = end < 0 ? command.size() : end;
            out.append(command.mid(i + 1, stop - i - 1));
            i = stop + 1;
        } else {
            qsizetype end = i;
            while (end < command.size() && command.at(end) != ' ' && command.at(end) != '\t')
                ++end;
            out.append(command.mid(i, end - i));
            i = end;
        }
    }
    return out;
}

bool sameWord(const QByteArray &a, const char *b)
{
    return qstricmp(a.constData(), b) == 0;
}

} // namespace

int logfileSetting(const QByteArray &autoexec)
{
    int value = 0;
    for (QByteArray line : autoexec.split('\n')) {
        const qsizetype comment = line.indexOf("//");
        if (comment >= 0)
            line.truncate(comment);
        line.replace('\r', ' ');
        for (const QByteArray &command : line.split(';')) {
            const QList<QByteArray> w = words(command);
            QByteArray setting;
            if (w.size() >= 2 && sameWord(w.at(0), "logfile"))
                setting = w.at(1);
            else if (w.size() >= 3 && sameWord(w.at(1), "logfile")
                     && (sameWord(w.at(0), "set") || sameWord(w.at(0), "seta")
                         || sameWord(w.at(0), "sets") || sameWord(w.at(0), "setu")))
                setting = w.at(2);
            else
                continue;
            bool ok = false;
            const int v = setting.toInt(&ok);
            value = ok && v >= 1 && v <= 4 ? v : 0;
        }
    }
    return value;
}

StandinGame::StandinGame(const StandinOptions &options, QObject *parent)
    : QObject(parent), m_options(options)
{
    const QDir gameDir(m_options.gameDir);
    m_dataDir = gameDir.filePath(m_options.mod);
    if (m_options.game == 2) {
        m_demoRelative = QStringLiteral("./%1/demos/%2.dm2").arg(m_options.mod, m_options.name);
    } else {
        m_demoRelative = QStringLiteral("demos/%1.%2").arg(m_options.name, m_options.ext);
    }
    m_demoPath = QDir(m_dataDir).filePath(QStringLiteral("demos/") + m_options.name
                                          + (m_options.game == 2 ? QStringLiteral(".dm2")
                                                                 : QStringLiteral(".") + m_options.ext));
    m_logPath = QDir(m_dataDir).filePath(QStringLiteral("qconsole.log"));
    m_blockTimer.setSingleShot(true);
    connect(&m_blockTimer, &QTimer::timeout, this, &StandinGame::writeBlock);
}

QString StandinGame::windowTitle() const
{
    return m_options.game == 2 ? QStringLiteral("Quake 2") : QStringLiteral("Quake 3: Arena");
}

bool StandinGame::start(QString *error)
{
    // A mod's autoexec is found first; the base folder's serves when the mod has none.
    QFile autoexec(QDir(m_dataDir).filePath(QStringLiteral("autoexec.cfg")));
    if (!autoexec.exists() && m_options.game == 2 && m_options.mod != QLatin1String("baseq2"))
        autoexec.setFileName(QDir(m_options.gameDir).filePath(QStringLiteral("baseq2/autoexec.cfg")));
    int logfile = 0;
    if (autoexec.open(QIODevice::ReadOnly))
        logfile = logfileSetting(autoexec.read(kMaxAutoexecBytes));

    if (logfile > 0) {
        // logfile 1 and 2 start a new log; 3 and 4 add to the one that is there.
        QDir().mkpath(m_dataDir);
        m_log.setFileName(m_logPath);
        const QIODevice::OpenMode mode = logfile <= 2 ? QIODevice::WriteOnly | QIODevice::Truncate
                                                      : QIODevice::WriteOnly | QIODevice::Append;
        if (!m_log.open(mode)) {
            *error = QStringLiteral("cannot open the console log ") + m_logPath;
            return false;
        }
    }

    if (m_options.game == 2) {
        console(QStringLiteral("Arbelon stand-in game: Quake 2"));
        console(QStringLiteral("execing default.cfg"));
        console(QStringLiteral("execing config.cfg"));
        console(QStringLiteral("execing autoexec.cfg"));
        console(QStringLiteral("Console initialized."));
        console(QStringLiteral("------- Server Initialization -------"));
        console(QStringLiteral("-------------------------------------"));
    } else {
        console(QStringLiteral("Arbelon stand-in game: Quake 3: Arena"));
        console(QStringLiteral("----- FS_Startup -----"));
        console(QStringLiteral("execing default.cfg"));
        console(QStringLiteral("execing q3config.cfg"));
        console(QStringLiteral("execing autoexec.cfg"));
        console(QStringLiteral("------- Input Initialization -------"));
    }

    if (m_options.source.isEmpty()) {
        emit statusChanged(QStringLiteral("Running"));
        linger();
        return true;
    }
    m_source.setFileName(m_options.source);
    if (!m_source.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the source ") + m_options.source;
        return false;
    }
    m_sourceSize = m_source.size();
    emit statusChanged(QStringLiteral("Waiting to record"));
    QTimer::singleShot(m_options.delayStartMs, this, &StandinGame::beginRecording);
    return true;
}

void StandinGame::console(const QString &line)
{
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
    if (!m_log.isOpen())
        return;
    // Flushed at once, as the engines do with logging on, so a reader sees every line.
    m_log.write(line.toLatin1() + (m_options.lf ? QByteArray("\n") : QByteArray("\r\n")));
    m_log.flush();
}

void StandinGame::beginRecording()
{
    console(QStringLiteral("]record ") + m_options.name);
    // The engines print the name followed by a full stop.
    console(QStringLiteral("recording to ") + m_demoRelative + QLatin1Char('.'));
    QDir().mkpath(QFileInfo(m_demoPath).absolutePath());
    m_demo.setFileName(m_demoPath);
    if (!m_demo.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fail(QStringLiteral("cannot create the demo file ") + m_demoPath);
        return;
    }
    writeBlock();
}

void StandinGame::writeBlock()
{
    const QByteArray block = m_source.read(m_options.block);
    if (block.isEmpty()) {
        endRecording();
        return;
    }
    if (m_demo.write(block) != block.size() || !m_demo.flush()) {
        fail(QStringLiteral("cannot write the demo file ") + m_demoPath);
        return;
    }
    m_written += block.size();
    emit statusChanged(QStringLiteral("Recording %1: %2 of %3 bytes")
                           .arg(m_demoRelative)
                           .arg(m_written)
                           .arg(m_sourceSize));
    if (m_source.atEnd()) {
        endRecording();
        return;
    }
    m_blockTimer.start(int(qMin(m_options.block * 1000 / m_options.rate, kMaxBlockIntervalMs)));
}

void StandinGame::endRecording()
{
    m_demo.close();
    console(QStringLiteral("Stopped demo."));
    emit statusChanged(QStringLiteral("Recorded %1: %2 bytes").arg(m_demoRelative).arg(m_written));
    linger();
}

void StandinGame::linger()
{
    if (m_options.lingerMs < 0)
        return;
    QTimer::singleShot(m_options.lingerMs, this, [this] { emit finished(0); });
}

void StandinGame::fail(const QString &message)
{
    std::fprintf(stderr, "arbelon-standin-game: %s\n", message.toLocal8Bit().constData());
    emit finished(1);
}

} // namespace arbelon
