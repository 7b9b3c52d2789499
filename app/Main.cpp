// Program entry: hardens the DLL search, then runs the program. The command
// line is not used.
#include <windows.h>

#include "app/DllSearch.h"
#include "app/Program.h"
#include "registry/Win32Registry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    kz::RestrictDllSearchToSystem32(::GetModuleHandleW(L"kernel32.dll"));
    return kz::RunProgram(instance, showCommand, kz::SystemRegistry());
}
