#pragma once
// A main window for tests that drive it as a user would: its own settings file and game
// folders, message boxes recorded and answered, the connect dialog answered from a queue (or
// the real dialog, filled in by DialogDriver), and helpers that click, type and read controls
// by their object names.

#include "connectform.h"
#include "gamerunning.h"
#include "mainclient.h"
#include "common/fakerelay.h"
#include "common/testdoubles.h"

#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

class QLineEdit;
class QToolButton;

namespace arbelon::test {

// Message boxes are recorded and answered here; the connect dialog stays the window's own.
class FormPrompts : public UserPrompts {
public:
    WidgetPrompts *dialogs = nullptr;
    QStringList messages;
    QStringList errors;
    QStringList questions;
    bool confirmAnswer = true;
    bool realQuestions = false; // the window's own question box instead of confirmAnswer

    bool runConnectDialog(ConnectValues &values) override;
    void showMessage(const QString &text) override { messages << text; }
    void showError(const QString &text) override { errors << text; }
    bool confirm(const QString &question) override;
};

// The scripted relay, counting the records the client owes an answer for.
class Relay : public FakeRelay {
public:
    int owed = 0;
    // Sends whole records and counts those that the client answers.
    void give(const QByteArray &records);
};

// Fills in each real connect dialog as it opens with the next script; a dialog with no script
// left is cancelled with its Cancel button.
class DialogDriver : public QObject {
public:
    using Script = std::function<void(TConnectForm &)>;
    QList<Script> scripts;
    int opened = 0;

    DialogDriver();

private:
    void poll();

    QTimer m_timer;
    QPointer<TConnectForm> m_current;
};

// Replaces the text of an edit as typed keys do.
void typeInto(QLineEdit *edit, const QString &text);

template <typename T>
T *inDialog(TConnectForm &d, const char *name)
{
    return d.findChild<T *>(QLatin1String(name));
}

class WindowRig {
public:
    explicit WindowRig(const QString &userName = QStringLiteral("tester"));
    ~WindowRig();

    // ---- set before make() ----
    bool realDialog = false;      // the real TConnectForm instead of the answer queue
    QList<ConnectValues> answers; // the queued dialog's answers; empty: Cancel
    FormPrompts prompts;
    FakeGameRunningCheck running;
    RecordingStarter starter;
    std::function<bool()> quitting; // MainFormHooks::quitting

    // Builds the window, points the games at folders of its own and shows it.
    TMainForm &make();
    TMainForm &form() { return *m_form; }
    ClientCore &core() { return m_form->core(); }
    // A path below the rig's folder; "q2/" and "q3/" are the game folders.
    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    // ---- controls ----
    template <typename T>
    T *control(const char *name) const
    {
        return m_form->findChild<T *>(QLatin1String(name));
    }
    QToolButton *tool(const char *name) const;
    void clickTool(const char *name);
    // A click on a row of a list; twice: a double-click.
    void clickRow(const char *view, int row, bool twice = false);
    // Types a line into LobbyEdit and presses Enter.
    void say(const QString &text);

    // The toolbar (Connect, Disconnect, Leave Lobby, Watch Game), the page, the option tree
    // and the status bar's panel, in one line.
    QString shown() const;
    QString page() const;
    QString cell(int row, int column) const; // of the game list
    int gameRows() const;
    int gameRow(const QString &name) const; // -1 when not listed
    QStringList users() const;
    QString chat() const;

    static ConnectValues viewerValues(const QString &serverAddress);

private:
    QString m_userName;
    QTemporaryDir m_dir;
    std::unique_ptr<TMainForm> m_form;
};

} // namespace arbelon::test
