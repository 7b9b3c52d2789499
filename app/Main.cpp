// Program entry: hardens the DLL search, then runs the program. The command
// line is not used.
#include <windows.h>

#include "app/Program.h"
#include "registry/Win32Registry.h"

namespace {

// Operators run the exe from USB sticks and download folders, where a planted
// DLL could stand in for a system one: from here on, DLLs come from System32
// only. Looked up at run time, since Windows XP, Vista and 7 without
// KB2533623 lack it. There the fallback takes only the current folder out of
// the search: a DLL Windows loads by name later is still looked for in the
// exe's own folder first, which is why the operator guide asks for a folder
// that holds nothing but the exe.
void RestrictDllSearchToSystem32() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    // Through void(*)(): the one function-pointer type that casts to any other cleanly.
    const auto setDefaultDllDirectories =
        kernel32 == nullptr ? nullptr
                            : reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(
                                  ::GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories == nullptr || !setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        ::SetDllDirectoryW(L"");
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    RestrictDllSearchToSystem32();
    return kz::RunProgram(instance, showCommand, kz::SystemRegistry());
}
