#pragma once
// Programs a test starts: their output kept, and stopped when the test ends however it ends.
// A child may lead a process group of its own, so that what it starts (a client that
// xdg-open launches, a game a wrapper runs) ends with it.

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <unistd.h>

namespace arbelon::test {

struct ChildProcess {
    QProcess process;
    QByteArray output;
    qint64 group = 0; // the process group it leads, when started with ownGroup

    void start(const QString &program, const QStringList &args, const QProcessEnvironment &env,
               const QString &dir = QString(), bool ownGroup = false)
    {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        if (!dir.isEmpty())
            process.setWorkingDirectory(dir);
        if (ownGroup)
            process.setChildProcessModifier([] { ::setsid(); });
        process.start(program, args);
        if (ownGroup && process.waitForStarted(30000))
            group = process.processId();
    }
    bool waitFor(const QByteArray &text, int ms)
    {
        return QTest::qWaitFor([&] {
                   output += process.readAll();
                   return output.contains(text) || process.state() == QProcess::NotRunning;
               },
                               ms)
               && (output += process.readAll()).contains(text);
    }
    ~ChildProcess()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        if (group != 0) {
            ::kill(pid_t(-group), SIGTERM);
            process.waitForFinished(3000);
            // A group whose leader has gone may be empty, and its number someone else's later.
            if (process.state() != QProcess::NotRunning)
                ::kill(pid_t(-group), SIGKILL);
        } else {
            process.terminate();
            if (!process.waitForFinished(10000))
                process.kill();
        }
        process.waitForFinished(5000);
    }
};

// Starts Xvfb on a display it picks itself (so parallel runs never share one); the display
// name (":N"), or empty when it did not come up within ms.
inline QString startXvfb(ChildProcess &server, const QString &screen, int ms)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty())
        return {};
    server.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"), screen},
                 QProcessEnvironment::systemEnvironment());
    // Its number comes alone on a line, among complaints about the displays already taken.
    static const QRegularExpression number(QStringLiteral("(?:^|\n)(\\d+)\n"));
    QRegularExpressionMatch shown;
    const bool ended = QTest::qWaitFor([&] {
        server.output += server.process.readAll();
        shown = number.match(QString::fromLatin1(server.output));
        return shown.hasMatch() || server.process.state() == QProcess::NotRunning;
    },
                                       ms);
    return ended && shown.hasMatch() ? QLatin1Char(':') + shown.captured(1) : QString();
}

// A game the client started is detached from it, out of reach of its process group: found by
// the home it was given (HOME in its environment) and killed.
inline void stopProcessesWithHome(const QString &home)
{
    const QByteArray marker = "HOME=" + QFile::encodeName(home) + '\0';
    QDirIterator it(QStringLiteral("/proc"));
    while (it.hasNext()) {
        it.next();
        bool ok = false;
        const int pid = it.fileName().toInt(&ok);
        QFile env(it.filePath() + QStringLiteral("/environ"));
        if (ok && env.open(QIODevice::ReadOnly) && env.readAll().contains(marker))
            ::kill(pid_t(pid), SIGKILL);
    }
}

} // namespace arbelon::test
