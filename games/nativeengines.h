#pragma once
// Inside the engine profiles: the builders every built-in engine starts from, and the native
// engines of this system. Their programs and folders differ by system, so the table is in one
// file per platform (posixnativeengines.cpp, win32nativeengines.cpp), chosen by CMake.

#include "engineprofile.h"

namespace arbelon::engineprofiles::detail {

// A Quake 2 engine: mods are folders, "recording to" paths start at the data folder.
EngineProfile quake2Engine(const QString &id, const QString &title);
// A Quake 3 engine with its base folder and demo extensions (the first is the Viewer's).
EngineProfile quake3Engine(const QString &id, const QString &title, const QString &base,
                           const QStringList &extensions);

// The native engines of this system, in the order they are listed after the originals.
QList<EngineProfile> nativeEngines();

} // namespace arbelon::engineprofiles::detail
