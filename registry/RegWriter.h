// RegWriter: the program's one contact with the registry. It opens one key,
// writes REG_DWORD and REG_SZ values into it, flushes it to the disk and
// closes it again; it owns the key handle from Open to Close (or to its own
// end, whichever comes first).
//
// Texts come in as UTF-16 and are converted to the system's ANSI code page
// just before the call, so the ANSI entry points (RegCreateKeyA,
// RegSetValueExA) are used as the MMI's own tools use them. Text that the code
// page cannot hold exactly goes through the wide entry points instead, so the
// registry never receives question marks in place of characters.
#pragma once

#include <cstdint>

#include "registry/RegistryApi.h"
#include "registry/WinError.h"

namespace kz {

class RegWriter {
public:
    explicit RegWriter(RegistryApi& registry) : registry_(registry) {}
    ~RegWriter();

    RegWriter(const RegWriter&) = delete;
    RegWriter& operator=(const RegWriter&) = delete;

    // Each operation returns the Windows error code of the platform call it
    // made. A failure never stops the next operation from being tried: after
    // a failed Open the handle stays empty and the writes fail in turn.
    [[nodiscard]] WinError Open(RootKey root, const char16_t* path);
    [[nodiscard]] WinError WriteDword(const char16_t* name, std::uint32_t value);
    [[nodiscard]] WinError WriteString(const char16_t* name, const char16_t* text);
    // Windows writes the hive lazily, seconds after the close: only a flush
    // makes the values survive a power cut that comes straight after.
    [[nodiscard]] WinError Flush();
    [[nodiscard]] WinError Close();

    [[nodiscard]] bool IsOpen() const { return key_ != RegKeyHandle::Empty; }

private:
    RegistryApi& registry_;
    RegKeyHandle key_ = RegKeyHandle::Empty;
};

}  // namespace kz
