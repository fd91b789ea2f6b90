#include "widgetprompts.h"

#include <QMessageBox>

namespace arbelon {

bool WidgetPrompts::runConnectDialog(ConnectValues &values)
{
    if (!m_connectDialog)
        return false;
    return m_connectDialog(m_parent.data(), values);
}

void WidgetPrompts::showMessage(const QString &text)
{
    QMessageBox::information(m_parent.data(), title(), text, QMessageBox::Ok);
}

void WidgetPrompts::showError(const QString &text)
{
    QMessageBox::critical(m_parent.data(), title(), text, QMessageBox::Ok);
}

bool WidgetPrompts::confirm(const QString &question)
{
    return QMessageBox::question(m_parent.data(), title(), question,
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
           == QMessageBox::Yes;
}

} // namespace arbelon
