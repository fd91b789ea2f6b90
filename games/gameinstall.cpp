#include "gameinstall.h"

#include <QDir>
#include <QFileInfo>

namespace arbelon {

namespace {

QString withSlash(QString dir)
{
    if (!dir.isEmpty() && !dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

} // namespace

GameInstall GameInstall::make(const EngineProfile &engine, const QString &dataDir, const QString &program,
                              const QString &demoExtension, const QStringList &pathFolders)
{
    GameInstall g;
    g.engine = engine;
    g.dataDir = withSlash(dataDir);
    const bool beside = engine.dataDir.isEmpty();
    if (beside)
        g.program = g.dataDir.isEmpty() || engine.programs.isEmpty() ? QString() : g.dataDir + engine.programs.first();
    else if (!program.isEmpty())
        g.program = program;
    else
        g.program = engineprofiles::findProgram(engine, pathFolders);
    g.demoExtension = demoExtension.isEmpty() ? engine.viewerExtension : demoExtension.toLower();
    return g;
}

bool GameInstall::holdsGame(const QString &mod) const
{
    if (!installed())
        return false;
    if (QFileInfo(dataDir + engine.baseFolder).isDir() || QFileInfo(gameFolderPath(mod)).isDir())
        return true;
    if (engine.dataDir.isEmpty()) {
        for (const QString &name : engine.programs) {
            if (!name.contains(QLatin1Char('/')) && QFileInfo(dataDir + name).isFile())
                return true;
        }
        return false;
    }
    // A native engine makes its own data folder at its first run: before that, the program
    // being there is enough (its game data lives with the program, not below this folder).
    const QString own = engineprofiles::dataPath(engine, QDir::homePath(), program);
    return !own.isEmpty() && QDir::cleanPath(own) == QDir::cleanPath(dataDir);
}

QString GameInstall::gameFolderPath(const QString &mod) const
{
    if (!installed())
        return {};
    return dataDir + engineprofiles::gameFolder(engine, mod) + QLatin1Char('/');
}

QString GameInstall::demosFolder(const QString &mod) const
{
    const QString folder = gameFolderPath(mod);
    return folder.isEmpty() ? folder : folder + QStringLiteral("demos/");
}

QStringList GameInstall::recordFolders(const QString &mod) const
{
    if (!installed())
        return {};
    QStringList out{demosFolder(mod)};
    const QString base = dataDir + engine.baseFolder + QStringLiteral("/demos/");
    if (!out.contains(base))
        out << base;
    return out;
}

QStringList GameInstall::logCandidates(const QString &mod) const
{
    if (!installed())
        return {};
    // Both, even when they are one: with both present the second (the base game's) wins.
    return {gameFolderPath(mod) + engine.logFile, dataDir + engine.baseFolder + QLatin1Char('/') + engine.logFile};
}

QString GameInstall::autoexecPath(const QString &mod) const
{
    const QString folder = gameFolderPath(mod);
    return folder.isEmpty() ? folder : folder + QStringLiteral("autoexec.cfg");
}

QString GameInstall::recordBase(const QString &mod) const
{
    if (engine.recordBase == EngineProfile::RecordBase::DataFolder)
        return dataDir;
    return gameFolderPath(mod);
}

QString GameInstall::workingDirectory() const
{
    if (program.isEmpty())
        return {};
    return withSlash(QFileInfo(program).absolutePath());
}

QStringList GameInstall::playArguments(const QString &mod, const QString &name) const
{
    return engineprofiles::playArguments(engine, mod, name, demoExtension);
}

} // namespace arbelon
