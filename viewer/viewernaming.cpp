#include "viewernaming.h"

#include <QRegularExpression>

namespace arbelon::viewernaming {

QString demoName(const QString &gameName, const QDateTime &when)
{
    return safeName(gameName + when.toString(QStringLiteral("ddMMyy_HHmmss")));
}

QString safeName(const QString &gameName)
{
    QString name = gameName;
    for (QChar &c : name) {
        char16_t u = c.unicode();
        if (u >= u'a' && u <= u'z')
            u = char16_t(u - (u'a' - u'A'));
        // Digits and capitals only: the name reaches the game's command line, where ";" would
        // end a command, and ":<>?" are no file names on Windows.
        if (!((u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'Z')))
            u = u'_';
        c = QChar(u);
    }
    return name;
}

bool isDemoOfGame(const QString &fileName, const QString &safeGameName, const QString &extension)
{
    if (!fileName.startsWith(safeGameName) || !fileName.endsWith(extension))
        return false;
    const QString stamp = fileName.mid(safeGameName.size(), fileName.size() - safeGameName.size() - extension.size());
    static const QRegularExpression rule(QStringLiteral("^[0-9]{6}_[0-9]{6}(_[0-9]+)?$"));
    return rule.match(stamp).hasMatch();
}

QString numberedPath(const QString &path, int n)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    const qsizetype at = dot > slash ? dot : path.size();
    return path.left(at) + QLatin1Char('_') + QString::number(n) + path.mid(at);
}

} // namespace arbelon::viewernaming
