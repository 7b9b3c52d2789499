// A program like ours in every way but one: it imports GetTickCount64, which
// Windows XP lacks. The headers, held to XP, do not declare it; declared here
// by hand, it gets past the compiler, and the oldest-Windows check must name
// that one import.
#include <windows.h>

extern "C" __declspec(dllimport) ULONGLONG WINAPI GetTickCount64();

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return static_cast<int>(::GetTickCount64() % 2);
}
