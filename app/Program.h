// RunProgram: what the program does once its process is set up: the common
// controls, FrmMain and its message loop. Kept apart from wWinMain so that a
// test can run it in its own process, over a registry of its own, and see
// the exit code.
#pragma once

#include <windows.h>

#include "registry/RegistryApi.h"

namespace kz {

// The process's exit code: 0 after the confirmation or a close without a
// press, 1 when the user keys were not restored or the window could not be
// made. A press restores the user keys through `registry`.
int RunProgram(HINSTANCE instance, int showCommand, RegistryApi& registry);

}  // namespace kz
