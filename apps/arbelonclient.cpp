// The program: the application, the main window, and the message loop until it closes.
#include "mainclient.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Arbelon Client"));
    QApplication::setOrganizationName(QStringLiteral("Arbelon"));
    arbelon::TMainForm form;
    form.show();
    return QApplication::exec();
}
