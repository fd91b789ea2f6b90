#include "programstarter.h"

#include <QProcess>

namespace arbelon {

bool DetachedProgramStarter::start(const QString &program, const QStringList &arguments,
                                   const QString &workingDirectory)
{
    return QProcess::startDetached(program, arguments, workingDirectory);
}

} // namespace arbelon
