// The native engines on Windows. None is installed into PATH as a rule, so their programs are
// the release file names (found in PATH, else named by the user); the running check compares
// these names with the process's image file name. Where each keeps its files is read from the
// engine's own source (docs/ENGINES.md names the files).
#include "nativeengines.h"

namespace arbelon::engineprofiles::detail {

QList<EngineProfile> nativeEngines()
{
    EngineProfile yq2 = quake2Engine(QStringLiteral("yamagi-quake2"), QStringLiteral("Yamagi Quake II"));
    // quake2.exe beside it is only a wrapper that starts yquake2.exe and waits for it.
    yq2.programs = {QStringLiteral("yquake2.exe")};
    // "My Documents"\YamagiQ2 unless started with -portable.
    yq2.dataDir = QStringLiteral("{documents}/YamagiQ2");
    // It prints absolute paths; a relative one would be inside the mod's folder.
    yq2.recordBase = EngineProfile::RecordBase::GameFolder;
    yq2.processNames = yq2.programs;

    EngineProfile ioq3 = quake3Engine(QStringLiteral("ioquake3"), QStringLiteral("ioquake3"),
                                      QStringLiteral("baseq3"),
                                      {QStringLiteral(".dm_68"), QStringLiteral(".dm_71")});
    // Releases name the architecture; builds since it was dropped from the names do not.
    ioq3.programs = {QStringLiteral("ioquake3.x86_64.exe"), QStringLiteral("ioquake3.exe"),
                     QStringLiteral("ioquake3.x86.exe")};
    ioq3.dataDir = QStringLiteral("{appdata}/Quake3");
    ioq3.processNames = ioq3.programs;

    // Built without USE_PROFILES (the default) it keeps everything beside its program, in the
    // Quake 3 folder the user names, as quake3.exe did; the first program is the one started.
    EngineProfile q3e = quake3Engine(QStringLiteral("quake3e"), QStringLiteral("Quake3e"),
                                     QStringLiteral("baseq3"), {QStringLiteral(".dm_68")});
    q3e.programs = {QStringLiteral("quake3e.x64.exe"), QStringLiteral("quake3e-vulkan.x64.exe"),
                    QStringLiteral("quake3e.exe"), QStringLiteral("quake3e-vulkan.exe"),
                    QStringLiteral("quake3e.arm64.exe"), QStringLiteral("quake3e-vulkan.arm64.exe")};
    // Its CL_StopRecord_f says more than the others'.
    q3e.stopLine = QByteArrayLiteral("Stopped demo recording.");
    q3e.processNames = q3e.programs;

    EngineProfile oa = quake3Engine(QStringLiteral("openarena"), QStringLiteral("OpenArena"),
                                    QStringLiteral("baseoa"), {QStringLiteral(".dm_71")});
    oa.programs = {QStringLiteral("openarena.x86_64.exe"), QStringLiteral("openarena.x86.exe"),
                   QStringLiteral("openarena.exe")};
    oa.dataDir = QStringLiteral("{appdata}/OpenArena");
    oa.processNames = oa.programs;

    return {yq2, ioq3, q3e, oa};
}

} // namespace arbelon::engineprofiles::detail
