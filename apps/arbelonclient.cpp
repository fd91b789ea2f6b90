// The program: the application, the main window, and the message loop until it closes.
#include "instancelock.h"
#include "mainclient.h"
#include "quitsignals.h"
#include "settingsstore.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Arbelon Client"));
    QApplication::setOrganizationName(QStringLiteral("Arbelon"));
    // A second client on the same settings would overwrite the first one's.
    const QString folder = QFileInfo(arbelon::SettingsStore::defaultFilePath()).absolutePath();
    QDir().mkpath(folder);
    arbelon::InstanceLock lock(folder);
    if (!lock.acquire()) {
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
    QObject::connect(&lock, &arbelon::InstanceLock::raiseRequested, &form, [&form] {
        form.showNormal();
        form.raise();
        form.activateWindow();
    });
    form.show();
    return QApplication::exec();
}
