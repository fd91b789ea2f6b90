#pragma once
// The core's questions answered with the standard message boxes of the window.

#include "userprompts.h"

#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>

namespace arbelon {

class WidgetPrompts : public UserPrompts {
public:
    explicit WidgetPrompts(QWidget *parent = nullptr) : m_parent(parent) {}

    void setParentWidget(QWidget *parent) { m_parent = parent; }

    // The connect dialog, set by whoever provides it; without it the dialog counts as
    // cancelled.
    using ConnectDialog = std::function<bool(QWidget *parent, ConnectValues &values)>;
    void setConnectDialog(ConnectDialog dialog) { m_connectDialog = std::move(dialog); }

    bool runConnectDialog(ConnectValues &values) override;
    void showMessage(const QString &text) override;
    void showError(const QString &text) override;
    bool confirm(const QString &question) override;
    // The same question with Yes as the default answer (Enter): for an offer, not a risk.
    bool confirmYes(const QString &question);
    // Closes an open question as No (its subject has gone).
    void dismissQuestion();

    static QString title() { return QStringLiteral("Arbelon"); }

    // The input box "Enter user name" holding the current name; empty when cancelled.
    // again: the last box ended without a name, so this one says that a name is needed.
    static std::optional<QString> askUserName(QWidget *parent, const QString &current, bool again);
    static QString userNamePrompt() { return QStringLiteral("Your name, as others see it in lobbies:"); }
    static QString userNameNeeded() { return QStringLiteral("A name is needed to go on."); }

private:
    bool ask(const QString &question, bool yesByDefault);

    QPointer<QWidget> m_parent;
    ConnectDialog m_connectDialog;
    QPointer<QWidget> m_question;
};

} // namespace arbelon
