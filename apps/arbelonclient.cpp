// The program: the application, the main window, and the message loop until it closes.
#include "instancelock.h"
#include "mainclient.h"
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
    arbelon::TMainForm form;
    QObject::connect(&lock, &arbelon::InstanceLock::raiseRequested, &form, [&form] {
        form.showNormal();
        form.raise();
        form.activateWindow();
    });
    form.show();
    return QApplication::exec();
}
