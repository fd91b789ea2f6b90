#pragma once
// Starts a game program without a shell: an argument list and a working directory.

#include "processfinder.h"

#include <QString>
#include <QStringList>

namespace arbelon {

class ProgramStarter {
public:
    virtual ~ProgramStarter() = default;
    // Returns false when the program could not be started; callers stay silent about it.
    virtual bool start(const QString &program, const QStringList &arguments,
                       const QString &workingDirectory) = 0;
    // Ends the program started last, when it still runs: the client restarts the game it
    // started for live play. False when there was none to end.
    virtual bool stopStarted() { return false; }
    // The program started last still runs: a second start of the game is asked about first.
    virtual bool startedRunning() const { return false; }
};

// Starts the game detached: it outlives the client. Its standard output and error go to the
// output file, made anew at each start, so that its console does not flood the client's own
// output; without one they are the client's.
class DetachedProgramStarter : public ProgramStarter {
public:
    void setOutputFile(const QString &path) { m_outputFile = path; }
    QString outputFile() const { return m_outputFile; }

    bool start(const QString &program, const QStringList &arguments,
               const QString &workingDirectory) override;
    bool stopStarted() override;
    bool startedRunning() const override;

private:
    QString m_outputFile;
    ProcessTicket m_started;
};

} // namespace arbelon
