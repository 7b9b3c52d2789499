// The process's DLL search, limited by wWinMain before anything else is
// loaded. Apart from it so that a test can hand in a kernel32 that lacks
// SetDefaultDllDirectories, as Windows XP's, Vista's and 7's without
// KB2533623 do.
#pragma once

#include <windows.h>

namespace kz {

// From here on, DLLs load from System32 only, where `kernel32` has
// SetDefaultDllDirectories; elsewhere the current folder leaves the search.
void RestrictDllSearchToSystem32(HMODULE kernel32);

}  // namespace kz
