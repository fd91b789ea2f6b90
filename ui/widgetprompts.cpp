#include "widgetprompts.h"

#include <QInputDialog>
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
    return ask(question, false);
}

bool WidgetPrompts::confirmYes(const QString &question)
{
    return ask(question, true);
}

bool WidgetPrompts::ask(const QString &question, bool yesByDefault)
{
    QMessageBox box(QMessageBox::Question, title(), question, QMessageBox::Yes | QMessageBox::No,
                    m_parent.data());
    box.setObjectName(QStringLiteral("QuestionBox"));
    box.setDefaultButton(yesByDefault ? QMessageBox::Yes : QMessageBox::No);
    m_question = &box;
    const int answer = box.exec();
    m_question = nullptr;
    return answer == QMessageBox::Yes;
}

std::optional<QString> WidgetPrompts::askUserName(QWidget *parent, const QString &current, bool again)
{
    QInputDialog box(parent);
    box.setObjectName(QStringLiteral("UserNameBox"));
    box.setWindowTitle(QStringLiteral("Enter user name"));
    box.setLabelText(again ? userNamePrompt() + QLatin1Char('\n') + userNameNeeded() : userNamePrompt());
    box.setTextValue(current);
    if (box.exec() != QDialog::Accepted)
        return std::nullopt;
    return box.textValue();
}

void WidgetPrompts::dismissQuestion()
{
    if (auto *box = qobject_cast<QMessageBox *>(m_question.data()))
        box->done(QMessageBox::No);
}

} // namespace arbelon
