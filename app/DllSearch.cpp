#include "app/DllSearch.h"

namespace kz {

// Operators run the exe from USB sticks and download folders, where a planted
// DLL could stand in for a system one: from here on, DLLs come from System32
// only. Looked up at run time, since Windows XP, Vista and 7 without
// KB2533623 lack it. There the fallback takes only the current folder out of
// the search: a DLL Windows loads by name later is still looked for in the
// exe's own folder first. And on every Windows, the DLLs the exe imports are
// loaded before this runs, each one that is not a KnownDLL from the exe's
// folder first: which is why the operator guide asks for a folder that holds
// nothing but the exe.
void RestrictDllSearchToSystem32(HMODULE kernel32) {
    // SetDefaultDllDirectories' flag, which the headers (held to Windows XP)
    // need not declare. It reaches only a Windows whose kernel32 has the function.
    constexpr DWORD kLoadLibrarySearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    // Through void(*)(): the one function-pointer type that casts to any other cleanly.
    const auto setDefaultDllDirectories =
        kernel32 == nullptr ? nullptr
                            : reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(
                                  ::GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories == nullptr || !setDefaultDllDirectories(kLoadLibrarySearchSystem32)) {
        ::SetDllDirectoryW(L"");
    }
}

}  // namespace kz
