// The seam between the user-key restore and the Windows registry.
//
// RegWriter reaches the platform only through this interface: on Windows the
// default is the real advapi32/kernel32 one (Win32Registry), and tests put a
// recording fake in its place. Every call mirrors the platform function it
// stands for and returns that function's Windows error code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "registry/RegValueKind.h"
#include "registry/WinError.h"

namespace kz {

// The only root the program writes under; the seam maps it to the real HKEY.
enum class RootKey : std::uint8_t { CurrentUser };

// An opened registry key as the platform handed it out; Empty is the null HKEY.
enum class RegKeyHandle : std::uintptr_t { Empty = 0 };

// Result of converting UTF-16 text to the system's ANSI code page.
struct AnsiConversion {
    WinError error = win_error::kSuccess;
    std::size_t length = 0;  // bytes written, without a terminating NUL
    bool exact = false;      // false when some character has no ANSI form
};

class RegistryApi {
public:
    RegistryApi() = default;
    RegistryApi(const RegistryApi&) = delete;
    RegistryApi& operator=(const RegistryApi&) = delete;

    // RegCreateKeyA / RegCreateKeyW: opens the key, creating it and any
    // missing parents. `key` is left untouched when the call fails.
    virtual WinError CreateKeyA(RootKey root, const char* path, RegKeyHandle& key) = 0;
    virtual WinError CreateKeyW(RootKey root, const char16_t* path, RegKeyHandle& key) = 0;

    // RegSetValueExA / RegSetValueExW; the implementation passes their
    // reserved word, which is always 0.
    virtual WinError SetValueA(RegKeyHandle key, const char* name, RegValueKind kind,
                               const std::byte* data, std::uint32_t size) = 0;
    virtual WinError SetValueW(RegKeyHandle key, const char16_t* name, RegValueKind kind,
                               const std::byte* data, std::uint32_t size) = 0;

    // RegFlushKey: returns once the key's hive is on the disk.
    virtual WinError FlushKey(RegKeyHandle key) = 0;

    // RegCloseKey.
    virtual WinError CloseKey(RegKeyHandle key) = 0;

    // WideCharToMultiByte into the system's ANSI code page, without best-fit
    // substitution, so that `exact` tells whether the text survives the trip.
    virtual AnsiConversion ToAnsi(std::u16string_view text, std::span<char> out) = 0;

protected:
    ~RegistryApi() = default;
};

}  // namespace kz
