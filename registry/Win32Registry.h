// The real registry behind the RegistryApi seam, on Windows only. On any other
// host there is no registry, and only tests supply one.
#pragma once

#include "registry/RegistryApi.h"

namespace kz {

#ifdef _WIN32
// advapi32's registry functions and kernel32's code-page conversion.
RegistryApi& SystemRegistry();
#endif

}  // namespace kz
