#include "viewernaming.h"

#include "gamelayout.h"

namespace arbelon::viewernaming {

namespace {
constexpr int kQuake3 = 1;
}

QString demoName(const QString &gameName, const QDateTime &when)
{
    QString name = gameName + when.toString(QStringLiteral("ddMMyy_HHmmss"));
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

QString demoExtension(int gameType)
{
    return gameType == kQuake3 ? QStringLiteral(".dm3") : QStringLiteral(".dm2");
}

QString demoFilePath(int gameType, const QString &gameDir, const QString &mod,
                     const QString &name)
{
    // demoFolder never uses the mod for Quake 3 and replaces an unsafe one for Quake 2.
    return gamelayout::demoFolder(gameType, gameDir, mod) + name + demoExtension(gameType);
}

QString numberedPath(const QString &path, int n)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    const qsizetype at = dot > slash ? dot : path.size();
    return path.left(at) + QLatin1Char('_') + QString::number(n) + path.mid(at);
}

QString gameProgramPath(int gameType, const QString &gameDir)
{
    return gameDir + gamelayout::executableName(gameType);
}

QString programFolder(const QString &programPath)
{
    const qsizetype slash = programPath.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : programPath.left(slash + 1);
}

QStringList launchArguments(int gameType, const QString &mod, const QString &name)
{
    if (gameType == kQuake3)
        return {QStringLiteral("+demo"), name + demoExtension(gameType)};
    return {QStringLiteral("+set"), QStringLiteral("game"), gamelayout::safeQuake2Mod(mod),
            QStringLiteral("+map"), name + demoExtension(gameType)};
}

} // namespace arbelon::viewernaming
