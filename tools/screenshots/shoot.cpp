// Renders the main window (introduction, setup, game list and lobby) and the game folder
// dialog into PNG files, with sample settings in a private config folder so that the user's
// own are never touched.
//
//   xvfb-run -a arbelon-screenshots docs/

#include "folderselect.h"
#include "mainclient.h"
#include "screenshots/sessionshots.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTreeWidget>

#include <cstdio>

using namespace arbelon;

namespace {

void settle(int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool save(QWidget &w, const QString &path)
{
    const bool ok = w.grab().save(path, "PNG");
    std::fprintf(stderr, "%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/arbelon-XXXXXX"));
    if (!home.isValid())
        return 1;
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QApplication app(argc, argv);
    const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    if (!QDir().mkpath(outDir))
        return 1;

    // Sample settings; the game folders need not exist (the start-up check is answered
    // with Cancel below).
    QDir().mkpath(home.filePath(QStringLiteral("Arbelon")));
    {
        QFile f(home.filePath(QStringLiteral("Arbelon/settings.reg")));
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        QTextStream out(&f);
        out << "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_CURRENT_USER\\Arbelon Client\\Setup]\n"
               "\"ServerIP\"=\"relay.example.org\"\n"
               "\"UserNameEdit\"=\"Player\"\n"
               "\"TransferRateSpin\"=dword:00000bb8\n"
               "\"Quake2DirectoryEdit\"=\"/usr/local/games/quake2/\"\n"
               "\"Quake3DirectoryEdit\"=\"\"\n";
    }

    bool ok = true;
    {
        MainFormHooks hooks;
        hooks.runFolderDialog = [](QWidget *, QString &, const QString &, const QString &) { return false; };
        TMainForm form(hooks);
        form.show();
        settle(500);
        ok &= save(form, outDir + QStringLiteral("/mainwindow-intro.png"));
        auto *tree = form.findChild<QTreeWidget *>(QStringLiteral("OptionTree"));
        tree->setCurrentItem(tree->topLevelItem(0)->child(1)); // "Setup"
        settle(300);
        ok &= save(form, outDir + QStringLiteral("/mainwindow-setup.png"));
    }
    {
        // A first start on a machine with native engines: each one found is offered and taken.
        struct Yes : UserPrompts {
            bool runConnectDialog(ConnectValues &) override { return false; }
            void showMessage(const QString &) override {}
            void showError(const QString &) override {}
            bool confirm(const QString &) override { return true; }
        } yes;
        const QByteArray realHome = qgetenv("HOME");
        qputenv("HOME", "/home/player");
        MainFormHooks hooks;
        hooks.prompts = &yes;
        hooks.askUserName = [](QWidget *, const QString &) { return std::optional<QString>(QStringLiteral("Player")); };
        hooks.runFolderDialog = [](QWidget *, QString &, const QString &, const QString &) { return false; };
        hooks.store = SettingsStore(home.filePath(QStringLiteral("first/settings.reg")));
        TMainForm form(hooks);
        qputenv("HOME", realHome);
        form.show();
        auto *tree = form.findChild<QTreeWidget *>(QStringLiteral("OptionTree"));
        tree->setCurrentItem(tree->topLevelItem(0)->child(1)); // "Setup"
        settle(500);
        ok &= save(form, outDir + QStringLiteral("/setup-engines.png"));
    }
    {
        TFolderSelectForm dialog;
        // A folder every machine has, so the picture shows no one's files.
        const QString folder = QDir(QStringLiteral("/usr/local/games")).exists() ? QStringLiteral("/usr/local/games")
                                                                                 : QStringLiteral("/usr");
        dialog.setFolder(folder);
        dialog.setExecutableName(QStringLiteral("quake2.exe"));
        dialog.setGameTitle(QStringLiteral("Quake 2"));
        dialog.show();
        settle(1500); // the folder tree reads its folders in the background
        dialog.selectPath(folder);
        settle(300);
        ok &= save(dialog, outDir + QStringLiteral("/folder-dialog.png"));
    }
    // A session against a scripted relay; its demo lands in a game folder of its own.
    ok &= shots::shootSession(outDir, home.filePath(QStringLiteral("quake2")));
    ok &= shots::shootTelling(outDir);
    return ok ? 0 : 1;
}
