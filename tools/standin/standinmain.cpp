// The stand-in game: plays Quake 2 or Quake 3 Arena's part for tests and demos. Installed
// under a game's executable name it also records how it was started.

#include "windowfinder.h"
#include "standin/launchrecord.h"
#include "standin/standingame.h"
#include "standin/standinoptions.h"
#include "standin/titlewindow.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <memory>

namespace {

// A window only where one can be shown; the tool must also run headless, where creating
// a GUI application for an unreachable display would abort.
bool wantsWindow(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--no-window") == 0 || qstrcmp(argv[i], "-no-window") == 0)
            return false;
    }
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("windows"))
        return true;
    return arbelon::WindowFinder::create()->reachable();
}

void complain(const QString &text)
{
    std::fprintf(stderr, "arbelon-standin-game: %s\n", text.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char **argv)
{
    // Taken before the application object removes its own options from argv.
    QStringList rawArgs;
    for (int i = 0; i < argc; ++i)
        rawArgs.append(QString::fromLocal8Bit(argv[i]));

    const bool window = wantsWindow(argc, argv);
    std::unique_ptr<QCoreApplication> app;
    if (window && arbelon::titleWindowNeedsGuiApplication())
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);

    const QString argv0 = rawArgs.value(0);
    const int asGame = arbelon::gameForExecutableName(QFileInfo(argv0).fileName());
    const QString exeDir = arbelon::startedExecutableDir(argv0);
    const QString cwd = QDir::currentPath();
    // Recorded before anything else can fail, so that a bad launch is seen too.
    if (asGame != 0
        && !arbelon::appendLaunchRecord(QDir(exeDir).filePath(QStringLiteral("standin-launch.log")),
                                        rawArgs, cwd))
        complain(QStringLiteral("cannot write the launch record in ") + exeDir);

    const arbelon::StandinParseResult parsed =
        arbelon::parseStandinOptions(rawArgs, asGame, exeDir);
    if (!parsed.options) {
        complain(parsed.error);
        return 2;
    }
    const arbelon::StandinOptions &options = *parsed.options;
    if (!options.recordLaunch.isEmpty()
        && !arbelon::appendLaunchRecord(options.recordLaunch, rawArgs, cwd))
        complain(QStringLiteral("cannot write the launch record ") + options.recordLaunch);

    arbelon::StandinGame game(options);
    QObject::connect(&game, &arbelon::StandinGame::finished, app.get(), &QCoreApplication::exit);

    std::unique_ptr<arbelon::TitleWindow> gameWindow;
    if (window)
        gameWindow = arbelon::showTitleWindow(game.windowTitle(), game);

    QString error;
    if (!game.start(&error)) {
        complain(error);
        return 1;
    }
    return app->exec();
}
