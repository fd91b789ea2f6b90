// The native engines on Linux: packaged programs in PATH or /usr, data under the home folder.
#include "nativeengines.h"

namespace arbelon::engineprofiles::detail {

QList<EngineProfile> nativeEngines()
{
    EngineProfile yq2 = quake2Engine(QStringLiteral("yamagi-quake2"), QStringLiteral("Yamagi Quake II"));
    yq2.programs = {QStringLiteral("/usr/lib/yamagi-quake2/quake2"), QStringLiteral("yquake2"),
                    QStringLiteral("quake2"), QStringLiteral("/usr/games/yquake2")};
    yq2.dataDir = QStringLiteral("~/.yq2");
    // It prints absolute paths; a relative one would be inside the mod's folder.
    yq2.recordBase = EngineProfile::RecordBase::GameFolder;
    yq2.processNames = {QStringLiteral("quake2"), QStringLiteral("yquake2")};
    yq2.windowClasses = {QStringLiteral("quake2")};

    EngineProfile ioq3 = quake3Engine(QStringLiteral("ioquake3"), QStringLiteral("ioquake3"),
                                      QStringLiteral("baseq3"),
                                      {QStringLiteral(".dm_68"), QStringLiteral(".dm_71")});
    // The wrapper, not the bare engine in /usr/lib/ioquake3: that one is there for OpenArena
    // too, and without Quake 3's data it plays nothing.
    ioq3.programs = {QStringLiteral("ioquake3"), QStringLiteral("/usr/games/ioquake3")};
    ioq3.dataDir = QStringLiteral("~/.q3a");
    ioq3.processNames = {QStringLiteral("ioquake3")};
    ioq3.windowClasses = {QStringLiteral("ioquake3")};

    EngineProfile q3e = quake3Engine(QStringLiteral("quake3e"), QStringLiteral("Quake3e"),
                                     QStringLiteral("baseq3"), {QStringLiteral(".dm_68")});
    q3e.programs = {QStringLiteral("quake3e"), QStringLiteral("quake3e.x64"), QStringLiteral("/usr/games/quake3e")};
    q3e.dataDir = QStringLiteral("~/.q3a");
    // Its CL_StopRecord_f says more than the others'.
    q3e.stopLine = QByteArrayLiteral("Stopped demo recording.");
    q3e.processNames = {QStringLiteral("quake3e"), QStringLiteral("quake3e.x64")};

    // Debian's wrapper runs the ioquake3 engine on OpenArena's data.
    EngineProfile oa = quake3Engine(QStringLiteral("openarena"), QStringLiteral("OpenArena"),
                                    QStringLiteral("baseoa"), {QStringLiteral(".dm_71")});
    oa.programs = {QStringLiteral("/usr/games/openarena"), QStringLiteral("openarena")};
    oa.dataDir = QStringLiteral("~/.openarena");
    oa.processNames = {QStringLiteral("ioquake3"), QStringLiteral("openarena")};
    oa.windowClasses = {QStringLiteral("ioquake3")};

    return {yq2, ioq3, q3e, oa};
}

} // namespace arbelon::engineprofiles::detail
