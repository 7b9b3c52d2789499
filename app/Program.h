// RunProgram: what the program does once its process is set up: the common
// controls, FrmMain and its message loop. Kept apart from wWinMain so that a
// test can run it in its own process and see the exit code.
#pragma once

#include <windows.h>

namespace kz {

// The process's exit code: 0 after the confirmation or a close without a
// press, 1 when the user keys were not restored or the window could not be
// made.
int RunProgram(HINSTANCE instance, int showCommand);

}  // namespace kz
