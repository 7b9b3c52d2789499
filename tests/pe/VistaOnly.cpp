// A program like ours in every way but one: it imports GetTickCount64, which
// Windows XP lacks. The oldest-Windows check must name that one import.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return static_cast<int>(::GetTickCount64() % 2);
}
