#pragma once
// Test doubles for the platform services the core asks for.

#include "programstarter.h"
#include "userprompts.h"

#include <QList>
#include <QStringList>

namespace arbelon::test {

// Answers the connect dialog from a queue (an empty queue cancels) and records every prompt.
class ScriptedPrompts : public UserPrompts {
public:
    QList<ConnectValues> answers;
    QList<ConnectValues> shown; // the values each dialog opened with
    QStringList messages;
    QStringList errors;
    QStringList questions;
    bool confirmAnswer = true;

    bool runConnectDialog(ConnectValues &values) override
    {
        shown.append(values);
        if (answers.isEmpty())
            return false;
        values = answers.takeFirst();
        return true;
    }
    void showMessage(const QString &text) override { messages.append(text); }
    void showError(const QString &text) override { errors.append(text); }
    bool confirm(const QString &question) override
    {
        questions.append(question);
        return confirmAnswer;
    }
};

class RecordingStarter : public ProgramStarter {
public:
    struct Launch {
        QString program;
        QStringList arguments;
        QString workingDirectory;
    };
    QList<Launch> launches;
    bool result = true;

    bool start(const QString &program, const QStringList &arguments,
               const QString &workingDirectory) override
    {
        launches.append({program, arguments, workingDirectory});
        return result;
    }
    int stops = 0;
    bool stopStarted() override
    {
        ++stops;
        return !launches.isEmpty();
    }
    // A game started stays running until the test says otherwise.
    bool keepsRunning = false;
    bool startedRunning() const override { return keepsRunning && !launches.isEmpty(); }
};

} // namespace arbelon::test
