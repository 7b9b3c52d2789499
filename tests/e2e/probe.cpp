// e2e_probe: the end-to-end tests' eyes inside Wine. It runs in the same
// prefix as KZviVIVaru.exe and prints, one `name=value` line each, what other
// processes can learn of a window (texts, styles, rectangles, focus) and of
// the MMI's user key; it also prepares the registry for a test. It judges
// nothing: the test script compares.
//
//   e2e_probe window TITLE   the visible top-level window with that caption
//   e2e_probe values         every value and subkey of the MMI's user key
//   e2e_probe reset          delete HKCU\Software\PowerAutomation
//   e2e_probe volatile       make HKCU\Software\PowerAutomation a volatile key
//   e2e_probe dpi N          set the logical resolution new processes get
//   e2e_probe close TITLE    post WM_CLOSE to that window, as Task Manager's End task does
//   e2e_probe bits           32 or 64: which registry view the probe reads
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kVendorKey[] = L"Software\\PowerAutomation";
constexpr wchar_t kUserKey[] = L"Software\\PowerAutomation\\Mmi\\User";

std::string Utf8(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// One line per fact: line breaks inside a value (a message box's text) are
// written as the two characters \n.
void Line(const std::string& name, const std::string& value) {
    std::string escaped;
    for (const char c : value) {
        if (c == '\n') {
            escaped += "\\n";
        } else if (c != '\r') {
            escaped += c;
        }
    }
    std::fputs((name + "=" + escaped + "\n").c_str(), stdout);
}

std::string Hex32(unsigned long long value) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%08llX", value);
    return text;
}

std::string Rect(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) +
           "," + std::to_string(r.bottom);
}

std::wstring WindowText(HWND window) {
    wchar_t text[512] = {};
    // WM_GETTEXT reaches across processes; GetWindowTextW would not for controls.
    SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                        2000, nullptr);
    return text;
}

std::wstring ClassName(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

struct Search {
    std::wstring title;
    HWND found = nullptr;
};

BOOL CALLBACK MatchTitle(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    if (IsWindowVisible(window) && WindowText(window) == search->title) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

// The caption buttons Windows would act on, found by asking the window what
// lies under each point of its caption row.
void CaptionButtons(HWND window, const RECT& frame, const RECT& client) {
    const int y = (frame.top + client.top) / 2;
    std::string found;
    for (int x = frame.right - 1; x >= frame.left; --x) {
        DWORD_PTR hit = HTNOWHERE;
        SendMessageTimeoutW(window, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG, 2000, &hit);
        const char* name = hit == HTCLOSE ? "close" : hit == HTMINBUTTON ? "minimize"
                         : hit == HTMAXBUTTON ? "maximize" : nullptr;
        if (name != nullptr && found.find(name) == std::string::npos) {
            found += found.empty() ? "" : " ";
            found += name;
            Line(std::string("caption.") + name, std::to_string(x) + "," + std::to_string(y));
        }
    }
    Line("caption.buttons", found);
}

int ProbeWindow(const std::wstring& title) {
    Search search{title};
    EnumWindows(MatchTitle, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) {
        Line("found", "0");
        return 1;
    }
    const HWND window = search.found;
    Line("found", "1");
    DWORD pid = 0;
    const DWORD thread = GetWindowThreadProcessId(window, &pid);
    Line("title", Utf8(WindowText(window)));
    Line("class", Utf8(ClassName(window)));
    Line("style", Hex32(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE))));
    Line("exstyle", Hex32(static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE))));
    RECT frame{};
    GetWindowRect(window, &frame);
    Line("window", Rect(frame));
    RECT client{};
    GetClientRect(window, &client);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    OffsetRect(&client, origin.x, origin.y);
    Line("client", Rect(client));
    Line("screen", std::to_string(GetSystemMetrics(SM_CXSCREEN)) + "," +
                       std::to_string(GetSystemMetrics(SM_CYSCREEN)));
    CaptionButtons(window, frame, client);

    GUITHREADINFO gui{};
    gui.cbSize = sizeof(gui);
    GetGUIThreadInfo(thread, &gui);

    std::vector<HWND> children;
    EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
    Line("children", std::to_string(children.size()));
    std::string focus = gui.hwndFocus == window ? "window" : "none";
    for (std::size_t i = 0; i < children.size(); ++i) {
        const HWND child = children[i];
        const std::string key = "child." + std::to_string(i) + ".";
        Line(key + "class", Utf8(ClassName(child)));
        Line(key + "text", Utf8(WindowText(child)));
        Line(key + "id", std::to_string(GetDlgCtrlID(child)));
        Line(key + "style", Hex32(static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE))));
        RECT rect{};
        GetWindowRect(child, &rect);
        OffsetRect(&rect, -origin.x, -origin.y);  // relative to the client area
        Line(key + "rect", Rect(rect));
        if (gui.hwndFocus == child) {
            focus = "child." + std::to_string(i);
        }
    }
    Line("focus", focus);
    return 0;
}

std::string HexBytes(const BYTE* data, DWORD size) {
    std::string text;
    char pair[4];
    for (DWORD i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof(pair), "%02X", data[i]);
        text += pair;
    }
    return text;
}

int ProbeValues() {
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExW(HKEY_CURRENT_USER, kUserKey, 0, KEY_READ, &key);
    Line("key", opened == ERROR_SUCCESS ? "1" : "0");
    if (opened != ERROR_SUCCESS) {
        return 0;
    }
    int count = 0;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        BYTE data[2048];
        DWORD size = sizeof(data);
        DWORD type = 0;
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) {
            break;
        }
        ++count;
        // kind:byte count:bytes in hex, exactly as stored.
        Line("value." + Utf8({name, nameLength}),
             std::to_string(type) + ":" + std::to_string(size) + ":" + HexBytes(data, size));
    }
    Line("values", std::to_string(count));
    int subkeys = 0;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        ++subkeys;
        Line("subkey", Utf8({name, nameLength}));
    }
    Line("subkeys", std::to_string(subkeys));
    RegCloseKey(key);
    return 0;
}

int Reset() {
    const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, kVendorKey);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        RegDeleteKeyW(HKEY_CURRENT_USER, kVendorKey);
        return 0;
    }
    Line("error", std::to_string(status));
    return 1;
}

int MakeVolatile() {
    HKEY key = nullptr;
    const LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, kVendorKey, 0, nullptr,
                                           REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        Line("error", std::to_string(status));
        return 1;
    }
    RegCloseKey(key);
    return 0;
}

int PostClose(const std::wstring& title) {
    Search search{title};
    EnumWindows(MatchTitle, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr || !PostMessageW(search.found, WM_CLOSE, 0, 0)) {
        Line("closed", "0");
        return 1;
    }
    Line("closed", "1");
    return 0;
}

int SetDpi(DWORD dpi) {
    HKEY key = nullptr;
    if (RegCreateKeyW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", &key) != ERROR_SUCCESS) {
        return 1;
    }
    const LSTATUS status =
        RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof(dpi));
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"window" && argc > 2) {
        return ProbeWindow(argv[2]);
    }
    if (command == L"values") {
        return ProbeValues();
    }
    if (command == L"reset") {
        return Reset();
    }
    if (command == L"volatile") {
        return MakeVolatile();
    }
    if (command == L"close" && argc > 2) {
        return PostClose(argv[2]);
    }
    if (command == L"bits") {
        Line("bits", std::to_string(sizeof(void*) * 8));
        return 0;
    }
    if (command == L"dpi" && argc > 2) {
        return SetDpi(static_cast<DWORD>(_wtoi(argv[2])));
    }
    std::fputs("usage: e2e_probe window TITLE | values | reset | volatile | dpi N | close TITLE | bits\n",
               stderr);
    return 2;
}
