#pragma once
// Starts a game program without a shell: an argument list and a working directory.

#include <QString>
#include <QStringList>

namespace arbelon {

class ProgramStarter {
public:
    virtual ~ProgramStarter() = default;
    // Returns false when the program could not be started; callers stay silent about it.
    virtual bool start(const QString &program, const QStringList &arguments,
                       const QString &workingDirectory) = 0;
};

class DetachedProgramStarter : public ProgramStarter {
public:
    bool start(const QString &program, const QStringList &arguments,
               const QString &workingDirectory) override;
};

} // namespace arbelon
