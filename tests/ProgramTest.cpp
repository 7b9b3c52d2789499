// The program's run as wWinMain starts it, in this process, where a CBT hook
// can make Windows refuse what the program asks for or press for the
// operator, a recording registry stands in for the real one, and the exit
// code that the run ends with is there to compare.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>

#include "RecordingRegistry.h"
#include "app/DllSearch.h"
#include "app/Program.h"

namespace kz::test {
namespace {

constexpr wchar_t kFrmMainClass[] = L"KZviVIVaru.FrmMain";

bool IsClass(const CBT_CREATEWNDW* create, const wchar_t* name) {
    const wchar_t* className = create->lpcs->lpszClass;
    const bool isAtom = reinterpret_cast<std::uintptr_t>(className) <= 0xFFFF;  // MAKEINTATOM
    return !isAtom && ::lstrcmpiW(className, name) == 0;
}

// The operator closes the window as soon as it is there.
LRESULT CALLBACK CloseFrmMainAtOnce(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && IsClass(reinterpret_cast<const CBT_CREATEWNDW*>(lParam), kFrmMainClass)) {
        ::PostMessageW(reinterpret_cast<HWND>(wParam), WM_CLOSE, 0, 0);
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

// As if Windows could not make the button (Common Controls 6 not loaded on
// Windows XP, or out of resources). The window is closed as well, so that a
// program that went on without its button ends (with 0) instead of waiting.
LRESULT CALLBACK RefuseButtons(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && IsClass(reinterpret_cast<const CBT_CREATEWNDW*>(lParam), L"BUTTON")) {
        return 1;
    }
    return CloseFrmMainAtOnce(code, wParam, lParam);
}

// The message loop ends with the window still up, as it does when GetMessage
// fails or anything else on the thread posts WM_QUIT.
LRESULT CALLBACK QuitWithTheWindowUp(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && IsClass(reinterpret_cast<const CBT_CREATEWNDW*>(lParam), kFrmMainClass)) {
        ::PostQuitMessage(0);
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

bool IsMessageBox(HWND window) {
    wchar_t className[16] = {};
    ::GetClassNameW(window, className, 16);
    return ::lstrcmpW(className, L"#32770") == 0;  // the dialog class MessageBox uses
}

int boxesShown = 0;  // a hook procedure has no context of its own

// Two presses queued before the first is handled, as an impatient double
// click on a busy station queues them; every message box is counted and
// answered with OK as soon as it is made.
LRESULT CALLBACK PressTwiceAndConfirm(int code, WPARAM wParam, LPARAM lParam) {
    const auto window = reinterpret_cast<HWND>(wParam);
    const WPARAM okClicked = MAKEWPARAM(IDOK, BN_CLICKED);
    if (code == HCBT_CREATEWND && IsClass(reinterpret_cast<const CBT_CREATEWNDW*>(lParam), kFrmMainClass)) {
        ::PostMessageW(window, WM_COMMAND, okClicked, 0);
        ::PostMessageW(window, WM_COMMAND, okClicked, 0);
    } else if (code == HCBT_CREATEWND && IsMessageBox(window)) {
        ++boxesShown;
        ::PostMessageW(window, WM_COMMAND, okClicked, 0);
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

class ProgramRun : public ::testing::Test {
protected:
    int RunWithHook(HOOKPROC hook) {
        const HHOOK installed = ::SetWindowsHookExW(WH_CBT, hook, nullptr, ::GetCurrentThreadId());
        EXPECT_NE(installed, nullptr);
        const int exitCode = RunProgram(::GetModuleHandleW(nullptr), SW_SHOWNORMAL, registry);
        if (installed != nullptr) {
            ::UnhookWindowsHookEx(installed);
        }
        return exitCode;
    }

    RecordingRegistry registry;

    // A run that ends early may leave its WM_QUIT behind; the next run must
    // not see it.
    void TearDown() override {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
};

TEST_F(ProgramRun, WindowClosedWithoutAPressEndsWithExitCodeZero) {
    EXPECT_EQ(RunWithHook(CloseFrmMainAtOnce), 0);
    EXPECT_EQ(::FindWindowW(kFrmMainClass, nullptr), nullptr);
}

TEST_F(ProgramRun, SecondPressQueuedBehindTheFirstNeitherRestoresNorConfirmsAgain) {
    boxesShown = 0;
    EXPECT_EQ(RunWithHook(PressTwiceAndConfirm), 0);
    EXPECT_EQ(boxesShown, 1);
    // One restore: one create, nine sets, one flush, one close.
    EXPECT_EQ(registry.calls().size(), 12u);
    EXPECT_EQ(::FindWindowW(kFrmMainClass, nullptr), nullptr);
}

TEST_F(ProgramRun, FailedFlushIsNotConfirmedAndEndsWithExitCodeOne) {
    // The values may not have reached the disk: a restart of the MMI, or of
    // the machine, could lose them.
    boxesShown = 0;
    registry.FailFlush(win_error::kRegistryIo);
    EXPECT_EQ(RunWithHook(PressTwiceAndConfirm), 1);
    EXPECT_EQ(boxesShown, 1);  // the error box
}

TEST_F(ProgramRun, WindowWithoutItsButtonIsNotShownAndEndsWithExitCodeOne) {
    EXPECT_EQ(RunWithHook(RefuseButtons), 1);
    EXPECT_EQ(::FindWindowW(kFrmMainClass, nullptr), nullptr) << "a window without its button was left";
}

TEST_F(ProgramRun, LoopThatEndsEarlyTakesTheWindowAlong) {
    RunWithHook(QuitWithTheWindowUp);
    const HWND left = ::FindWindowW(kFrmMainClass, nullptr);
    EXPECT_EQ(left, nullptr) << "the window outlived its FrmMain";
    if (left != nullptr) {
        // Its messages would reach the FrmMain that is gone: cut it loose first.
        ::SetWindowLongPtrW(left, GWLP_USERDATA, 0);
        ::DestroyWindow(left);
    }
}

// Where kernel32 lacks SetDefaultDllDirectories (XP, Vista, 7 without
// KB2533623) the DLL directory is emptied, which takes the current folder out
// of the search. This exe stands in for such a kernel32.
TEST(DllSearch, WithoutSetDefaultDllDirectoriesTheDllDirectoryIsEmptied) {
    ASSERT_TRUE(::SetDllDirectoryW(L"C:\\before"));
    RestrictDllSearchToSystem32(::GetModuleHandleW(nullptr));
    wchar_t directory[MAX_PATH] = L"unread";
    EXPECT_EQ(::GetDllDirectoryW(MAX_PATH, directory), 0u);
    EXPECT_STREQ(directory, L"");
}

}  // namespace
}  // namespace kz::test
