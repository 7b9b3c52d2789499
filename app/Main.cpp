// Program entry: hardens the DLL search, shows FrmMain and runs its message
// loop until the window is gone. The command line is not used.
#include <windows.h>

#include "app/FrmMain.h"

namespace {

// Operators run the exe from USB sticks and download folders, where a planted
// DLL could stand in for a system one: from here on, DLLs come from System32
// only. Looked up at run time, since Windows 7 without KB2533623 lacks it;
// there, the current folder is at least taken out of the search.
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

    kz::FrmMain form;
    if (!form.Create(instance)) {
        return 1;
    }
    form.Show(showCommand);

    MSG message{};
    BOOL got = FALSE;
    while ((got = ::GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1) {
            return 1;
        }
        if (!form.PreTranslate(message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}
