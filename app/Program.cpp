#include "app/Program.h"

#include <commctrl.h>

#include "app/FrmMain.h"

namespace kz {

namespace {

// The manifest asks for Common Controls 6, which holds the button and the
// message box's controls. From Vista on, user32 loads it by itself; Windows XP
// registers those classes only once the program has called into comctl32, and
// without that the button cannot be created and MessageBox shows nothing.
void LoadCommonControls() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_STANDARD_CLASSES;
    // A failure shows up as the button's failed creation, which ends the program.
    ::InitCommonControlsEx(&controls);
}

}  // namespace

int RunProgram(HINSTANCE instance, int showCommand, RegistryApi& registry) {
    LoadCommonControls();

    FrmMain form(registry);
    if (!form.Create(instance)) {
        return FrmMain::kExitFailed;
    }
    form.Show(showCommand);

    MSG message{};
    BOOL got = FALSE;
    while ((got = ::GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1) {
            return FrmMain::kExitFailed;
        }
        if (!form.PreTranslate(message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}

}  // namespace kz
