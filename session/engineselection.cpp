// The session's part in choosing engines: what is installed, and what choosing one sets.

#include "clientcore.h"

#include <QDir>

namespace arbelon {

QList<EngineProfile> ClientCore::installedEngines(GameType gameType) const
{
    QList<EngineProfile> found;
    const QStringList path = engineprofiles::pathFolders();
    for (const EngineProfile &e : m_engines) {
        // The Windows programs live in a folder the user names; they are not looked for.
        if (e.gameType == int(gameType) && !e.dataDir.isEmpty() && !engineprofiles::findProgram(e, path).isEmpty())
            found << e;
    }
    return found;
}

void ClientCore::chooseEngine(GameType gameType, const QString &id)
{
    const std::optional<EngineProfile> engine = engineprofiles::find(m_engines, id);
    if (!engine || engine->gameType != int(gameType))
        return;
    const bool q3 = gameType == GameType::Quake3;
    QString &current = q3 ? m_settings.quake3Engine : m_settings.quake2Engine;
    if (current == id)
        return;
    current = id;
    QString &dir = q3 ? m_settings.quake3Dir : m_settings.quake2Dir;
    QString &program = q3 ? m_settings.quake3Program : m_settings.quake2Program;
    program.clear();
    // A native engine keeps its data under the home folder: that is where its folders are
    // until the user says otherwise. A Windows program's folder is for the user to pick.
    if (!engine->dataDir.isEmpty()) {
        program = engineprofiles::findProgram(*engine, engineprofiles::pathFolders());
        dir = engineprofiles::dataPath(*engine, QDir::homePath(), program);
    }
    if (q3)
        m_settings.quake3DemoExtension.clear();
    notify();
}

} // namespace arbelon
