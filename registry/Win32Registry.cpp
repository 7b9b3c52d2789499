// The Windows side of the registry seam: the only file that calls the Win32
// registry API. Each member forwards to the function it is named after and
// hands back the function's own error code (Reg* functions return it; they do
// not set the thread's last error).
#include "registry/Win32Registry.h"

#include <windows.h>

#include <climits>

#include "registry/WideText.h"

namespace kz {

namespace {

// The headers are held to Windows XP, which lacks this flag (Vista and later
// have it). It is passed only when the ANSI code page is UTF-8, which only
// Windows 10 1903 and later can be set to, so XP never receives it.
constexpr DWORD kWcErrInvalidChars = 0x00000080;  // WC_ERR_INVALID_CHARS

HKEY ToHkey(RootKey root) {
    switch (root) {
    case RootKey::CurrentUser:
        return HKEY_CURRENT_USER;
    }
    return nullptr;
}

HKEY ToHkey(RegKeyHandle key) { return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(key)); }

RegKeyHandle FromHkey(HKEY key) {
    return static_cast<RegKeyHandle>(reinterpret_cast<std::uintptr_t>(key));
}

const BYTE* AsBytePointer(const std::byte* data) { return reinterpret_cast<const BYTE*>(data); }

class Win32Registry final : public RegistryApi {
public:
    constexpr Win32Registry() = default;

    WinError CreateKeyA(RootKey root, const char* path, RegKeyHandle& key) override {
        HKEY opened = nullptr;
        const LSTATUS status = ::RegCreateKeyA(ToHkey(root), path, &opened);
        if (status == ERROR_SUCCESS) {
            key = FromHkey(opened);
        }
        return static_cast<WinError>(status);
    }

    WinError CreateKeyW(RootKey root, const char16_t* path, RegKeyHandle& key) override {
        HKEY opened = nullptr;
        const LSTATUS status = ::RegCreateKeyW(ToHkey(root), AsWide(path), &opened);
        if (status == ERROR_SUCCESS) {
            key = FromHkey(opened);
        }
        return static_cast<WinError>(status);
    }

    // RegSetValueEx's third argument is reserved and must be 0.
    WinError SetValueA(RegKeyHandle key, const char* name, RegValueKind kind, const std::byte* data,
                       std::uint32_t size) override {
        return static_cast<WinError>(::RegSetValueExA(ToHkey(key), name, 0, static_cast<DWORD>(kind),
                                                      AsBytePointer(data), size));
    }

    WinError SetValueW(RegKeyHandle key, const char16_t* name, RegValueKind kind, const std::byte* data,
                       std::uint32_t size) override {
        return static_cast<WinError>(::RegSetValueExW(ToHkey(key), AsWide(name), 0,
                                                      static_cast<DWORD>(kind), AsBytePointer(data),
                                                      size));
    }

    WinError FlushKey(RegKeyHandle key) override {
        return static_cast<WinError>(::RegFlushKey(ToHkey(key)));
    }

    WinError CloseKey(RegKeyHandle key) override {
        return static_cast<WinError>(::RegCloseKey(ToHkey(key)));
    }

    AnsiConversion ToAnsi(std::u16string_view text, std::span<char> out) override {
        if (text.empty()) {
            return {win_error::kSuccess, 0, true};
        }
        if (text.size() > INT_MAX || out.size() > INT_MAX) {
            return {win_error::kInvalidParameter, 0, false};
        }
        // A UTF-8 ANSI code page (the "Beta: use Unicode UTF-8" setting) holds
        // every character, but refuses WC_NO_BEST_FIT_CHARS and the default-
        // character flag; there only broken surrogates can be lost.
        const UINT codePage = ::GetACP();
        const bool utf8 = codePage == CP_UTF8;
        BOOL usedDefaultChar = FALSE;
        const int written = ::WideCharToMultiByte(
            CP_ACP, utf8 ? kWcErrInvalidChars : WC_NO_BEST_FIT_CHARS,
            AsWide(text.data()), static_cast<int>(text.size()),
            out.data(), static_cast<int>(out.size()), nullptr, utf8 ? nullptr : &usedDefaultChar);
        if (written <= 0) {
            return {static_cast<WinError>(::GetLastError()), 0, false};
        }
        return {win_error::kSuccess, static_cast<std::size_t>(written), usedDefaultChar == FALSE};
    }
};

// Stateless, so one shared instance serves every RegWriter.
constinit Win32Registry systemRegistry;

}  // namespace

RegistryApi& SystemRegistry() { return systemRegistry; }

}  // namespace kz
