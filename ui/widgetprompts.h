#pragma once
// The core's questions answered with the standard message boxes of the window.

#include "userprompts.h"

#include <QPointer>
#include <QWidget>
#include <functional>

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
    // Closes an open question as No (its subject has gone).
    void dismissQuestion();

    static QString title() { return QStringLiteral("Arbelon"); }

private:
    QPointer<QWidget> m_parent;
    ConnectDialog m_connectDialog;
    QPointer<QWidget> m_question;
};

} // namespace arbelon
