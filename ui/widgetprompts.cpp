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
    QMessageBox box(QMessageBox::Question, title(), question, QMessageBox::Yes | QMessageBox::No,
                    m_parent.data());
    box.setObjectName(QStringLiteral("QuestionBox"));
    box.setDefaultButton(QMessageBox::No);
    m_question = &box;
    const int answer = box.exec();
    m_question = nullptr;
    return answer == QMessageBox::Yes;
}

void WidgetPrompts::dismissQuestion()
{
    if (auto *box = qobject_cast<QMessageBox *>(m_question.data()))
        box->done(QMessageBox::No);
}

} // namespace arbelon
