// FrmMain: the program's only window, with its one button CmdOK. A press of
// the button restores the MMI's user keys, tells the operator the outcome
// in a message box and closes the window, which ends the program.
#pragma once

#include <windows.h>

#include "app/FrmMainLayout.h"
#include "app/Handles.h"
#include "registry/RegistryApi.h"

namespace kz {

class FrmMain {
public:
    // The exit code of a run whose restore failed or whose window could not
    // be made; every other run ends with 0.
    static constexpr int kExitFailed = 1;

    // A press restores the user keys through `registry`, which must outlive the window.
    explicit FrmMain(RegistryApi& registry) : registry_(registry) {}
    // Destroys the window if it is still up (its message loop ended early),
    // so that no message of it reaches a FrmMain that is gone.
    ~FrmMain();
    FrmMain(const FrmMain&) = delete;
    FrmMain& operator=(const FrmMain&) = delete;

    // Registers the class and creates the window centred on the primary
    // screen, with its button; false when Windows refused any of them.
    bool Create(HINSTANCE instance);
    void Show(int showCommand);

    // Gives the window's keyboard handling (Enter, Space, Esc, Tab) its turn
    // before the message loop dispatches `message`.
    bool PreTranslate(MSG& message);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    bool CreateCmdOK();
    void CmdOKClick();

    RegistryApi& registry_;
    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
    HWND cmdOK_ = nullptr;  // a child: destroyed with the window
    FontHandle cmdOKFont_;
    int dpi_ = kDefaultDpi;
    int exitCode_ = 0;
    bool pressed_ = false;
};

}  // namespace kz
