#include "gamelayout.h"

#include <QDir>
#include <QFileInfo>

namespace arbelon::gamelayout {

QString executableName(int gameType)
{
    return gameType == 1 ? QStringLiteral("quake3.exe") : QStringLiteral("quake2.exe");
}

bool isPlainFolderName(const QString &name)
{
    if (name.isEmpty() || name.size() > 16)
        return false;
    // A name that starts with "-" or "+" reads as an option or a command on the game's
    // command line; one of dots only is no folder; the program's own name is no mod.
    const char16_t first = name.at(0).unicode();
    if (!((first >= u'a' && first <= u'z') || (first >= u'A' && first <= u'Z') || (first >= u'0' && first <= u'9')))
        return false;
    for (int type = 0; type <= 1; ++type) {
        if (name.compare(executableName(type), Qt::CaseInsensitive) == 0)
            return false;
    }
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool ok = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9')
                        || u == u'_' || u == u'-' || u == u'.';
        if (!ok)
            return false;
    }
    return true;
}

bool hasDemoExtension(int gameType, const QString &fileName)
{
    const QString lower = fileName.toLower();
    if (gameType != 1)
        return lower.endsWith(QLatin1String(".dm2"));
    if (lower.endsWith(QLatin1String(".dm3")))
        return true;
    const qsizetype dot = lower.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return false;
    const QString ext = lower.mid(dot + 1);
    if (!ext.startsWith(QLatin1String("dm_")) || ext.size() < 4 || ext.size() > 6)
        return false;
    for (qsizetype i = 3; i < ext.size(); ++i) {
        if (!ext.at(i).isDigit())
            return false;
    }
    return true;
}

bool isInside(const QString &dir, const QString &path)
{
    if (dir.isEmpty() || path.isEmpty())
        return false;
    const QString d = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
    const QString p = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QString prefix = d.endsWith(QLatin1Char('/')) ? d : d + QLatin1Char('/');
    return p.startsWith(prefix) && p.size() > prefix.size();
}

} // namespace arbelon::gamelayout
