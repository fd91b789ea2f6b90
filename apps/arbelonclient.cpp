// The program: the application, the main window, and the message loop until it closes.
#include "mainclient.h"
#include "quitsignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Arbelon Client"));
    QApplication::setOrganizationName(QStringLiteral("Arbelon"));
    // Before the window: its start-up prompt may be open when the signal comes.
    arbelon::QuitSignals quit;
    arbelon::MainFormHooks hooks;
    hooks.quitting = [&quit] { return quit.requested(); };
    arbelon::TMainForm form(hooks);
    if (quit.requested())
        return 0; // the window's end saves the settings
    QObject::connect(&quit, &arbelon::QuitSignals::quitRequested, &form, &QWidget::close);
    form.show();
    return QApplication::exec();
}
