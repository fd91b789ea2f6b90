// The program: the application, the main window, and the message loop until it closes.
// One argument, a watch link (arbelon://HOST[:PORT]/watch/ID), watches that game.
#include "instancelock.h"
#include "linkwatch.h"
#include "mainclient.h"
#include "quitsignals.h"
#include "settingsstore.h"
#include "watchlink.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QSessionManager>
#include <QTimer>

#include <cstdio>

namespace {
// A desktop's link handler shows no terminal: a refusal is told in a box as well.
int refuse(const QString &text)
{
    std::fprintf(stderr, "arbelon-client: %s\n", qPrintable(text));
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Arbelon"), text);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return 2;
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Arbelon Client"));
    QApplication::setOrganizationName(QStringLiteral("Arbelon"));

    const QStringList args = QApplication::arguments().mid(1);
    QString link;
    if (args.size() > 1)
        return refuse(QStringLiteral("Cannot open the link: give one watch link at most "
                                     "(arbelon://HOST[:PORT]/watch/ID)"));
    if (args.size() == 1) {
        arbelon::WatchLink parsed;
        QString error;
        if (!arbelon::parseWatchLink(args.first(), &parsed, &error))
            return refuse(QStringLiteral("Cannot open the link: ") + error);
        link = args.first();
    }

    // A second client on the same settings would overwrite the first one's.
    const QString folder = QFileInfo(arbelon::SettingsStore::defaultFilePath()).absolutePath();
    QDir().mkpath(folder);
    arbelon::InstanceLock lock(folder);
    if (!lock.acquire(link)) {
        if (!link.isEmpty() && lock.delivered()) {
            std::fprintf(stderr, "arbelon-client: the running client opens the link\n");
            return 0;
        }
        QMessageBox::information(nullptr, QStringLiteral("Arbelon"), arbelon::InstanceLock::runningText());
        return 0;
    }
    // Before the window: its start-up prompt may be open when the signal comes.
    arbelon::QuitSignals quit;
    arbelon::MainFormHooks hooks;
    hooks.quitting = [&quit] { return quit.requested(); };
    arbelon::TMainForm form(hooks);
    if (quit.requested())
        return 0; // the window's end saves the settings
    QObject::connect(&quit, &arbelon::QuitSignals::quitRequested, &form, &QWidget::close);
    // The desktop session ends (on Windows, WM_QUERYENDSESSION): saved as at a normal close.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &form,
                     [&form](QSessionManager &) { form.sessionEnding(); });
    QObject::connect(&lock, &arbelon::InstanceLock::raiseRequested, &form, [&form] {
        form.showNormal();
        form.raise();
        form.activateWindow();
    });
    QObject::connect(&lock, &arbelon::InstanceLock::linkRequested, &form,
                     [&form](const QString &text) { form.openWatchLink(text); });
    // Also for a desktop's log: the link's outcome is otherwise only in a box.
    QObject::connect(&form.linkWatch(), &arbelon::LinkWatch::failed, &form, [](const QString &text) {
        std::fprintf(stderr, "arbelon-client: %s\n", qPrintable(text));
    });
    form.show();
    // From the message loop: the window is up for any question on the way.
    if (!link.isEmpty())
        QTimer::singleShot(0, &form, [&form, link] { form.openWatchLink(link); });
    return QApplication::exec();
}
