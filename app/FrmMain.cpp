#include "app/FrmMain.h"

#include "app/FailureMessage.h"
#include "app/FrmMainLayout.h"
#include "app/SystemErrorText.h"
#include "app/Texts.h"
#include "registry/WideText.h"
#include "resources/resource.h"
#include "userkeys/RestoreUserKeys.h"

namespace kz {

namespace {

constexpr wchar_t kClassName[] = L"KZviVIVaru.FrmMain";

// A fixed single border with a caption and the close box only: the window
// cannot be resized, minimised or maximised.
constexpr DWORD kFrameStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kFrameExStyle = WS_EX_APPWINDOW;  // keeps its taskbar button

int ScreenDpi() {
    const ScreenDC screen;
    const int dpi = screen.get() != nullptr ? ::GetDeviceCaps(screen.get(), LOGPIXELSY) : 0;
    return dpi > 0 ? dpi : kDefaultDpi;
}

}  // namespace

FrmMain::~FrmMain() {
    if (window_ != nullptr) {
        // Its WM_NCDESTROY, on the way, detaches it from this object; the
        // button goes with it, before the font it was drawn in.
        ::DestroyWindow(window_);
    }
}

bool FrmMain::Create(HINSTANCE instance) {
    instance_ = instance;

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(IDI_KZVIVIVARU));
    // The headers spell IDC_ARROW as an ANSI resource name (the program does
    // not define UNICODE); the wide call takes the same number.
    windowClass.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(reinterpret_cast<ULONG_PTR>(IDC_ARROW)));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kClassName;
    // A second window in one process finds the class registered already.
    if (::RegisterClassExW(&windowClass) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return false;
    }

    // Sizes follow the display's logical resolution; the manifest declares
    // the process DPI-aware so that Windows does not stretch the result.
    dpi_ = ScreenDpi();
    const FrmMainLayout layout = LayoutForDpi(dpi_);
    RECT frame = {0, 0, layout.clientWidth, layout.clientHeight};
    ::AdjustWindowRectEx(&frame, kFrameStyle, FALSE, kFrameExStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int left = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int top = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;

    window_ = ::CreateWindowExW(kFrameExStyle, kClassName, AsWide(text::kFrmMainCaption), kFrameStyle,
                                left, top, width, height, nullptr, nullptr, instance, this);
    return window_ != nullptr;
}

void FrmMain::Show(int showCommand) {
    ::ShowWindow(window_, showCommand);
    ::UpdateWindow(window_);
    ::SetFocus(cmdOK_);
}

bool FrmMain::PreTranslate(MSG& message) {
    return window_ != nullptr && ::IsDialogMessageW(window_, &message) != FALSE;
}

LRESULT CALLBACK FrmMain::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto* self = static_cast<FrmMain*>(create->lpCreateParams);
        self->window_ = window;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<FrmMain*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) {
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    return self->HandleMessage(message, wParam, lParam);
}

LRESULT FrmMain::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND window = window_;  // still needed after WM_NCDESTROY forgets it
    switch (message) {
    case WM_CREATE:
        // A window without its button would ignore every key and end with a
        // clean exit code: refuse to exist instead.
        if (!CreateCmdOK()) {
            exitCode_ = kExitFailed;
            return -1;
        }
        return 0;
    case WM_SETFOCUS:
        // The button is the only control: it holds the focus whenever the
        // window does.
        ::SetFocus(cmdOK_);
        return 0;
    case DM_GETDEFID:
        return MAKELRESULT(IDOK, DC_HASDEFID);
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK && HIWORD(wParam) == BN_CLICKED) {
            CmdOKClick();
        } else if (LOWORD(wParam) == IDCANCEL) {
            // Esc leaves like the close box: nothing written.
            ::DestroyWindow(window);
        }
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(exitCode_);
        return 0;
    case WM_NCDESTROY:
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        window_ = nullptr;
        cmdOK_ = nullptr;
        break;
    default:
        break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

bool FrmMain::CreateCmdOK() {
    const FrmMainLayout layout = LayoutForDpi(dpi_);
    // The button's id is IDOK, so Enter reaches it through the dialog
    // keyboard handling wherever the focus is.
    cmdOK_ = ::CreateWindowExW(0, L"BUTTON", AsWide(text::kCmdOKCaption),
                               WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                               layout.cmdOK.left, layout.cmdOK.top, layout.cmdOK.width,
                               layout.cmdOK.height, window_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDOK)), instance_, nullptr);
    if (cmdOK_ == nullptr) {
        return false;
    }
    // Without its font the button still works, in the system's.
    cmdOKFont_ = FontHandle(::CreateFontW(-layout.fontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                          GB2312_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                          DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                                          AsWide(text::kCmdOKFontFace)));
    ::SendMessageW(cmdOK_, WM_SETFONT, reinterpret_cast<WPARAM>(cmdOKFont_.get()), FALSE);
    return true;
}

void FrmMain::CmdOKClick() {
    // A second click queued behind the first must not run the restore again.
    if (pressed_) {
        return;
    }
    pressed_ = true;

    const RestoreResult result = RestoreUserKeys(registry_);
    if (result.Clean()) {
        ::MessageBoxW(window_, AsWide(text::kRestartMessage), AsWide(text::kRestartTitle),
                      MB_OK | MB_ICONINFORMATION);
    } else {
        // Decided before the box is shown: if the window is closed while the
        // box is up (Task Manager's End task), the run still ends as failed.
        exitCode_ = kExitFailed;
        const SystemErrorText systemText = DescribeSystemError(result.firstError);
        const FailureText message = FailureMessage(result, systemText.view());
        ::MessageBoxW(window_, AsWide(message.c_str()), AsWide(text::kFailureTitle),
                      MB_OK | MB_ICONERROR);
    }
    if (window_ != nullptr) {  // gone already when it was closed during the box
        ::DestroyWindow(window_);
    }
}

}  // namespace kz
