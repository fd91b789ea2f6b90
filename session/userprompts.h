#pragma once
// What the core asks of the user. The window answers with dialogs; tests and the
// headless client answer in their own way.

#include "records.h"

#include <QString>

namespace arbelon {

// The six values the connect dialog edits.
struct ConnectValues {
    QString serverAddress;
    QString password;
    Role role = Role::Viewer;
    QString gameName;
    int gameType = 0; // the dialog's choice as stored: 0 Quake 2, 1 Quake 3, -1 none
    QString mod;
    quint16 serverPort = 0; // 0: the role's own port (a watch link may name another)
};

class UserPrompts {
public:
    virtual ~UserPrompts() = default;
    // Modal connect dialog; false when cancelled. On true the values hold the user's choice.
    virtual bool runConnectDialog(ConnectValues &values) = 0;
    // Plain message box with an OK button ("Cannot Connect").
    virtual void showMessage(const QString &text) = 0;
    // The application's error message box (errors of button and timer handlers).
    virtual void showError(const QString &text) = 0;
    // Yes/No question; true for Yes.
    virtual bool confirm(const QString &question) = 0;
};

} // namespace arbelon
