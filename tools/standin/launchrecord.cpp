#include "standin/launchrecord.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

namespace arbelon {

bool appendLaunchRecord(const QString &file, const QStringList &argv, const QString &cwd)
{
    QJsonObject record;
    record.insert(QStringLiteral("argv"), QJsonArray::fromStringList(argv));
    record.insert(QStringLiteral("cwd"), cwd);
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    QFile out(file);
    // One write in append mode, so launches that overlap do not mix their lines.
    return out.open(QIODevice::WriteOnly | QIODevice::Append) && out.write(line) == line.size();
}

QString startedExecutableDir(const QString &argv0)
{
    if (argv0.contains(QLatin1Char('/')))
        return QFileInfo(QDir::current(), argv0).absolutePath();
    const QString found = QStandardPaths::findExecutable(argv0);
    if (!found.isEmpty())
        return QFileInfo(found).absolutePath();
    return QCoreApplication::applicationDirPath();
}

} // namespace arbelon
