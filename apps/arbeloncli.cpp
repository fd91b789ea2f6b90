// arbelon-cli: the headless client. Lists games, watches one, or films a local game.

#include "arbelonversion.h"
#include "clirunner.h"
#include "quitrequests.h"
#include "watchlink.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <optional>

namespace {

const char *kUsage =
    "Usage:\n"
    "  arbelon-cli games --server HOST [--seconds N] [--details]\n"
    "  arbelon-cli watch --server HOST --game ID|NAME --quake2-dir DIR --quake3-dir DIR\n"
    "  arbelon-cli watch --url arbelon://HOST[:PORT]/watch/ID --quake2-dir DIR --quake3-dir DIR\n"
    "  arbelon-cli watch --server HOST --game ID|NAME --quake2-engine NAME --quake3-engine NAME\n"
    "                    [--quake2-dir DIR] [--quake3-dir DIR] [--play | --from N|MM:SS] [--verbose]\n"
    "  arbelon-cli film  --server HOST --name NAME --game 2|3 --dir DIR [--mod MOD]\n"
    "                    [--password PW] [--rate BYTES]\n"
    "  arbelon-cli film  --server HOST --name NAME --engine NAME [--data-dir DIR] [--mod MOD]\n"
    "                    [--password PW] [--rate BYTES]\n"
    "  arbelon-cli engines\n";

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("arbelon-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ARBELON_VERSION));

    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Arbelon headless client: games, watch, film."));
    p.addHelpOption();
    p.addVersionOption();
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("games, watch or film"));
    const QCommandLineOption server(QStringLiteral("server"), QStringLiteral("Relay address."), QStringLiteral("HOST"));
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("User name (at most 15 characters)."), QStringLiteral("NAME"), QStringLiteral("arbelon-cli"));
    const QCommandLineOption game(QStringLiteral("game"), QStringLiteral("watch: game ID or name; film: 2 or 3."), QStringLiteral("GAME"));
    const QCommandLineOption q2(QStringLiteral("quake2-dir"), QStringLiteral("Quake 2 directory."), QStringLiteral("DIR"));
    const QCommandLineOption q3(QStringLiteral("quake3-dir"), QStringLiteral("Quake 3 directory."), QStringLiteral("DIR"));
    const QCommandLineOption name(QStringLiteral("name"), QStringLiteral("film: the game's name."), QStringLiteral("NAME"));
    const QCommandLineOption dir(QStringLiteral("dir"), QStringLiteral("film: the game directory."), QStringLiteral("DIR"));
    const QCommandLineOption mod(QStringLiteral("mod"), QStringLiteral("film: Quake 2 mod."), QStringLiteral("MOD"), QStringLiteral("baseq2"));
    const QCommandLineOption password(QStringLiteral("password"), QStringLiteral("film: the relay's film password."), QStringLiteral("PW"));
    const QCommandLineOption rate(QStringLiteral("rate"), QStringLiteral("film: bytes per block (1..10000)."), QStringLiteral("BYTES"), QStringLiteral("10000"));
    const QCommandLineOption engine(QStringLiteral("engine"), QStringLiteral("film: the game's engine (see the engines command)."), QStringLiteral("NAME"));
    const QCommandLineOption dataDir(QStringLiteral("data-dir"), QStringLiteral("film: the engine's data folder (default: the engine's own)."), QStringLiteral("DIR"));
    const QCommandLineOption q2engine(QStringLiteral("quake2-engine"), QStringLiteral("watch: the Quake 2 engine."), QStringLiteral("NAME"));
    const QCommandLineOption q3engine(QStringLiteral("quake3-engine"), QStringLiteral("watch: the Quake 3 engine."), QStringLiteral("NAME"));
    const QCommandLineOption play(QStringLiteral("play"), QStringLiteral("watch: start the game on the first demo once it is listed."));
    const QCommandLineOption url(QStringLiteral("url"), QStringLiteral("watch: a watch link, arbelon://HOST[:PORT]/watch/ID (instead of --server and --game)."), QStringLiteral("LINK"));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("watch: show the started game's console output here instead of in game-output.log."));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("games: stop after N seconds."), QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption details(QStringLiteral("details"), QStringLiteral("games: also what is on in each game (map, players, scoreboard, numbered events), from the relay's web page."));
    const QCommandLineOption from(QStringLiteral("from"), QStringLiteral("watch: play the demo from 10 s before event N (as games --details numbers them), or from game time MM:SS."), QStringLiteral("N|MM:SS"));
    p.addOptions({server, user, game, q2, q3, name, dir, mod, password, rate, seconds, engine, dataDir, q2engine,
                  q3engine, play, url, verbose, details, from});
    p.process(app);

    auto usage = [&](const QString &why) {
        err << "arbelon-cli: " << why << "\n"
            << kUsage;
        err.flush();
        return 64;
    };

    const QStringList args = p.positionalArguments();
    if (args.size() != 1)
        return usage(QStringLiteral("one command is needed"));
    arbelon::CliOptions o;
    const QString cmd = args.first();
    if (cmd == QLatin1String("games"))
        o.command = arbelon::CliOptions::Games;
    else if (cmd == QLatin1String("watch"))
        o.command = arbelon::CliOptions::Watch;
    else if (cmd == QLatin1String("film"))
        o.command = arbelon::CliOptions::Film;
    else if (cmd == QLatin1String("engines"))
        o.command = arbelon::CliOptions::Engines;
    else
        return usage(QStringLiteral("unknown command \"%1\"").arg(cmd));

    // The built-in engines and the user's profile file; a bad entry is told and left out.
    const auto fromFile = arbelon::engineprofiles::loadFile(arbelon::engineprofiles::userFilePath());
    for (const QString &e : fromFile.errors)
        err << "arbelon-cli: " << arbelon::CliRunner::printable(e) << "\n";
    const QList<arbelon::EngineProfile> engines = arbelon::engineprofiles::merged(fromFile.profiles);
    if (o.command == arbelon::CliOptions::Engines) {
        arbelon::printEngines(engines, out);
        return 0;
    }
    const QStringList pathFolders = arbelon::engineprofiles::pathFolders();
    // An engine by name, of the game type wanted (-1: any), or a usage error.
    auto engineNamed = [&](const QString &id, int gameType, QString *why) -> std::optional<arbelon::EngineProfile> {
        const auto e = arbelon::engineprofiles::find(engines, id);
        if (!e)
            *why = QStringLiteral("no engine \"%1\" (see arbelon-cli engines)").arg(id);
        else if (gameType >= 0 && e->gameType != gameType)
            *why = QStringLiteral("engine \"%1\" is no Quake %2 engine").arg(id, gameType == 1 ? QStringLiteral("3") : QStringLiteral("2"));
        else
            return e;
        return std::nullopt;
    };
    // Where an engine keeps its game folders unless told.
    auto defaultDataDir = [&](const arbelon::EngineProfile &e) {
        return arbelon::engineprofiles::dataPath(e, QDir::homePath(), arbelon::engineprofiles::findProgram(e, pathFolders));
    };

    arbelon::WatchLink link;
    if (p.isSet(url)) {
        QString why;
        if (o.command != arbelon::CliOptions::Watch || p.isSet(server) || p.isSet(game))
            return usage(QStringLiteral("--url goes with watch, instead of --server and --game"));
        if (!arbelon::parseWatchLink(p.value(url), &link, &why))
            return usage(why);
        o.server = link.host;
        o.serverPort = link.port;
    } else if (!p.isSet(server)) {
        return usage(QStringLiteral("--server is needed"));
    } else {
        o.server = p.value(server);
    }
    o.user = p.value(user);
    if (o.user.isEmpty() || o.user.size() > 15)
        return usage(QStringLiteral("--user must have 1 to 15 characters"));
    bool ok = true;
    o.details = p.isSet(details);
    o.listSeconds = p.value(seconds).toInt(&ok);
    if (!ok || o.listSeconds < 0)
        return usage(QStringLiteral("--seconds must be a whole number"));

    if (o.command == arbelon::CliOptions::Watch) {
        if (!p.isSet(game) && link.gameId == 0)
            return usage(QStringLiteral("--game is needed"));
        if (!p.isSet(q2) && !p.isSet(q3) && !p.isSet(q2engine) && !p.isSet(q3engine))
            return usage(QStringLiteral("--quake2-dir, --quake3-dir or an engine is needed"));
        o.game = link.gameId != 0 ? QString::number(link.gameId) : p.value(game);
        o.quake2Dir = p.value(q2);
        o.quake3Dir = p.value(q3);
        o.play = p.isSet(play);
        if (p.isSet(from)) {
            if (o.play)
                return usage(QStringLiteral("--play and --from do not go together"));
            QString why;
            if (!arbelon::CliOptions::parseFrom(p.value(from), &o, &why))
                return usage(why);
        }
        o.verbose = p.isSet(verbose);
        QString why;
        if (p.isSet(q2engine)) {
            const auto e = engineNamed(p.value(q2engine), 0, &why);
            if (!e)
                return usage(why);
            o.quake2Engine = e->id;
            if (!p.isSet(q2) && !e->dataDir.isEmpty())
                o.quake2Dir = defaultDataDir(*e);
        }
        if (p.isSet(q3engine)) {
            const auto e = engineNamed(p.value(q3engine), 1, &why);
            if (!e)
                return usage(why);
            o.quake3Engine = e->id;
            if (!p.isSet(q3) && !e->dataDir.isEmpty())
                o.quake3Dir = defaultDataDir(*e);
        }
    } else if (o.command == arbelon::CliOptions::Film) {
        if (!p.isSet(name) || p.value(name).isEmpty() || p.value(name).size() > 31)
            return usage(QStringLiteral("--name with 1 to 31 characters is needed"));
        o.name = p.value(name);
        if (p.isSet(engine)) {
            QString why;
            const int wanted = p.isSet(game) ? (p.value(game) == QLatin1String("3") ? 1 : 0) : -1;
            const auto e = engineNamed(p.value(engine), wanted, &why);
            if (!e)
                return usage(why);
            o.engine = e->id;
            o.gameType = e->gameType;
            o.dir = p.isSet(dataDir) ? p.value(dataDir) : p.isSet(dir) ? p.value(dir)
                                                                       : defaultDataDir(*e);
            if (o.dir.isEmpty())
                return usage(QStringLiteral("engine \"%1\" keeps its data in the game folder: --data-dir is needed").arg(e->id));
        } else {
            const QString g = p.value(game);
            if (g != QLatin1String("2") && g != QLatin1String("3"))
                return usage(QStringLiteral("--game must be 2 or 3"));
            if (!p.isSet(dir))
                return usage(QStringLiteral("--dir is needed"));
            o.gameType = g == QLatin1String("3") ? 1 : 0;
            o.dir = p.value(dir);
        }
        o.mod = p.value(mod);
        if (o.mod.isEmpty() || o.mod.size() > 16)
            return usage(QStringLiteral("--mod must have 1 to 16 characters"));
        o.password = p.value(password);
        if (o.password.size() > 14)
            return usage(QStringLiteral("--password has at most 14 characters"));
        o.rate = p.value(rate).toInt(&ok);
        // At 0 a Filmer would send nothing at all.
        if (!ok || o.rate < 1 || o.rate > 10000)
            return usage(QStringLiteral("--rate must be 1..10000"));
    }

    // Ctrl-C, SIGTERM, and on Windows Ctrl-Break and the console's close: the same clean end.
    arbelon::QuitRequests quit;
    arbelon::CliRunner runner(o, out, err);
    runner.core().setEngines(engines);
    QObject::connect(&quit, &arbelon::QuitRequests::quitRequested, &runner, [&runner] { runner.interrupt(); });

    QObject::connect(
        &runner, &arbelon::CliRunner::finished, &app,
        [](int status) { QCoreApplication::exit(status); }, Qt::QueuedConnection);
    QMetaObject::invokeMethod(
        &runner, [&runner] { runner.start(); }, Qt::QueuedConnection);
    const int status = app.exec();
    out.flush();
    err.flush();
    return status;
}
