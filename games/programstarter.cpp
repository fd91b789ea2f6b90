#include "programstarter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace arbelon {

namespace {

// Empties the file (making its folder); false when it cannot be written.
bool startAfresh(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

} // namespace

bool DetachedProgramStarter::start(const QString &program, const QStringList &arguments,
                                   const QString &workingDirectory)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(workingDirectory);
    // Both streams append to the emptied file, so that neither writes over the other. A file
    // that cannot be written does not keep the game from starting.
    if (!m_outputFile.isEmpty() && startAfresh(m_outputFile)) {
        process.setStandardOutputFile(m_outputFile, QIODevice::Append);
        process.setStandardErrorFile(m_outputFile, QIODevice::Append);
    }
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        return false;
    m_started = processTicket(pid);
    return true;
}

bool DetachedProgramStarter::stopStarted()
{
    const bool stopped = stopProcess(m_started);
    m_started = {};
    return stopped;
}

bool DetachedProgramStarter::startedRunning() const
{
    if (!m_started.valid())
        return false;
    // The start time tells the game from a process that got its number since.
    const ProcessTicket now = processTicket(m_started.pid);
    return now.valid() && now.startTime == m_started.startTime;
}

} // namespace arbelon
