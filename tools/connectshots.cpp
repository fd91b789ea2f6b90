// Renders the connect dialog as a Viewer and as a Filmer into connect-viewer.png and
// connect-filmer.png in the folder given on the command line (default: the current folder).
// Run it on a real display or Xvfb for the platform's own fonts and style.

#include "connectform.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTextStream>

namespace {

bool shoot(const arbelon::ConnectValues &values, const QString &path)
{
    arbelon::TConnectForm dialog;
    dialog.setValues(values);
    dialog.show();
    QApplication::processEvents();
    const bool saved = dialog.grab().save(path, "PNG");
    dialog.close();
    return saved;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    const QDir out(args.size() > 1 ? args.at(1) : QDir::currentPath());
    QTextStream err(stderr);
    if (!out.exists()) {
        err << "no such folder: " << out.path() << '\n';
        return 2;
    }

    arbelon::ConnectValues viewer;
    viewer.serverAddress = QStringLiteral("relay.example.org");
    viewer.role = arbelon::Role::Viewer;
    viewer.gameType = 0;
    viewer.mod = QStringLiteral("ctf");

    arbelon::ConnectValues filmer = viewer;
    filmer.role = arbelon::Role::Filmer;
    filmer.password = QStringLiteral("duel");
    filmer.gameName = QStringLiteral("Friday Duel");

    bool ok = shoot(viewer, out.filePath(QStringLiteral("connect-viewer.png")));
    ok = shoot(filmer, out.filePath(QStringLiteral("connect-filmer.png"))) && ok;
    if (!ok)
        err << "could not write the pictures into " << out.path() << '\n';
    return ok ? 0 : 1;
}
