#include "autoexec.h"

#include "regularfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <stdexcept>

namespace arbelon::autoexec {

namespace {
[[noreturn]] void fail(const QString &what, const QString &path, const QString &reason)
{
    throw std::runtime_error((what + QLatin1Char(' ') + path + QStringLiteral(": ") + reason).toStdString());
}
}

QByteArray loggingLine(int gameType)
{
    return gameType == 1 ? QByteArrayLiteral("seta logfile \"2\"") : QByteArrayLiteral("logfile 2");
}

QList<QByteArray> splitLines(QByteArrayView content)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    const qsizetype n = content.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = content.at(i);
        if (c != '\n' && c != '\r')
            continue;
        lines.append(content.sliced(start, i - start).toByteArray());
        if (c == '\r' && i + 1 < n && content.at(i + 1) == '\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        lines.append(content.sliced(start).toByteArray());
    return lines;
}

bool hasLoggingLine(const QList<QByteArray> &lines)
{
    for (const QByteArray &line : lines) {
        if (line.toUpper().contains("LOGFILE") && line.contains('2'))
            return true;
    }
    return false;
}

bool ensureLogging(const QString &path, int gameType)
{
    return ensureLogging(path, loggingLine(gameType));
}

bool ensureLogging(const QString &path, const QByteArray &loggingLine)
{
    QList<QByteArray> lines;
    QFile in;
    QString why;
    const RegularOpen opened = openRegularForReading(in, path, {}, &why);
    if (opened == RegularOpen::NotRegular)
        throw NotAFile(path);
    if (opened == RegularOpen::Failed)
        fail(QStringLiteral("Cannot read"), path, why);
    if (opened == RegularOpen::Opened) {
        if (in.size() > kMaxBytes)
            fail(QStringLiteral("Cannot use"), path, QStringLiteral("the file is too large"));
        const QByteArray content = in.read(kMaxBytes + 1);
        if (in.error() != QFileDevice::NoError)
            fail(QStringLiteral("Cannot read"), path, in.errorString());
        in.close();
        lines = splitLines(content);
        if (hasLoggingLine(lines))
            return false;
    }
    lines.append(loggingLine);

    QByteArray out;
    for (const QByteArray &line : std::as_const(lines)) {
        out.append(line);
        out.append("\r\n");
    }
    // The mod's folder may not be there yet; the file belongs inside it all the same.
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Written whole or not at all: a failed write never leaves the user's configuration cut.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size() || !file.commit())
        fail(QStringLiteral("Cannot write"), path, file.errorString());
    return true;
}

} // namespace arbelon::autoexec
