#include "quitsignals.h"

#include <QApplication>
#include <QWidget>

namespace arbelon {

QuitSignals::QuitSignals(QObject *parent) : QObject(parent)
{
    connect(&m_requests, &QuitRequests::quitRequested, this, &QuitSignals::onRequested);
}

void QuitSignals::onRequested()
{
    // A box open at the time (the user-name prompt) would hold the program in its own loop.
    while (QWidget *modal = QApplication::activeModalWidget()) {
        if (!modal->close())
            break;
    }
    emit quitRequested();
}

} // namespace arbelon
