// StartupTimer: measures, inside Wine, the time from process start to the
// program's main window being visible. It starts each program in turn
// (alternating, after a warm-up), polls for a visible top-level window of the
// new process, closes it and waits for the process to end.
//
//   StartupTimer RUNS WARMUP PROGRAM...
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Search {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindVisible(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == search->processId && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Milliseconds from CreateProcess to a visible window; negative on failure.
double TimeOneStart(const std::wstring& program) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::wstring commandLine = L"\"" + program + L"\"";
    LARGE_INTEGER frequency, start, visible;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return -1;
    }
    Search search{process.dwProcessId, nullptr};
    const ULONGLONG deadline = GetTickCount64() + 20000;
    while (search.found == nullptr && GetTickCount64() < deadline) {
        EnumWindows(FindVisible, reinterpret_cast<LPARAM>(&search));
        if (search.found == nullptr) {
            Sleep(1);
        }
    }
    QueryPerformanceCounter(&visible);
    if (search.found != nullptr) {
        PostMessageW(search.found, WM_CLOSE, 0, 0);
    }
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (search.found == nullptr) {
        return -1;
    }
    return static_cast<double>(visible.QuadPart - start.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::fputs("usage: StartupTimer RUNS WARMUP PROGRAM...\n", stderr);
        return 2;
    }
    const int runs = _wtoi(argv[1]);
    const int warmup = _wtoi(argv[2]);
    const std::vector<std::wstring> programs(argv + 3, argv + argc);
    std::vector<std::vector<double>> times(programs.size());
    for (int round = 0; round < warmup + runs; ++round) {
        for (std::size_t p = 0; p < programs.size(); ++p) {
            const double ms = TimeOneStart(programs[p]);
            if (ms < 0) {
                std::fprintf(stderr, "program %zu did not show a window\n", p);
                return 1;
            }
            if (round >= warmup) {
                times[p].push_back(ms);
            }
        }
    }
    for (std::size_t p = 0; p < programs.size(); ++p) {
        std::printf("program%zu runs_ms=", p);
        for (const double ms : times[p]) {
            std::printf("%.1f ", ms);
        }
        std::printf("\nprogram%zu median_ms=%.1f\n", p, Median(times[p]));
    }
    return 0;
}
