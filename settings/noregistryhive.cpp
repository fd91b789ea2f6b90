// Where there is no registry the settings live in the registry-export file (FileHive).
#include "registryhive.h"

namespace arbelon {

bool nativeRegistryAvailable()
{
    return false;
}

std::unique_ptr<RegistryHive> openNativeRegistry()
{
    return nullptr;
}

} // namespace arbelon
